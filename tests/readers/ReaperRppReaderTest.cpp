#include "readers/ReaperRppReader.h"
#include "readers/ReaperRppText.h"

#include "RackBuilders.h"
#include "ReaperFixtures.h"
#include "TestSupport.h"

#include "model/AudioUnitState.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vornconv;
using vorntest::fourCc;
using vorntest::makeWrapper;
using vorntest::programTail;
using vorntest::stringOf;

namespace
{

// Standard base64 in lines of 96 bytes each (128 characters), each line a whole unit.
std::string base64Lines (const juce::MemoryBlock& data, const std::string& indent)
{
    std::string out;
    for (size_t at = 0; at < data.getSize(); at += 96)
    {
        const size_t n = juce::jmin ((size_t) 96, data.getSize() - at);
        out += indent + juce::Base64::toBase64 (static_cast<const char*> (data.getData()) + at, n).toStdString() + "\n";
    }
    return out;
}

std::string hexOf (const std::string& utf8)
{
    return juce::String::toHexString (utf8.data(), (int) utf8.size(), 0).toUpperCase().toStdString();
}

const juce::uint32 proQId = 934538646u;

juce::MemoryBlock auPlist (const char* manufacturer = "Acme")
{
    return vorntest::auClassInfo ("aufx", "Satt", manufacturer, "<key>data</key><data>AAEC</data>");
}

std::string auWrapperLines (const juce::MemoryBlock& plist)
{
    juce::MemoryBlock wrapper;
    juce::String error;
    EXPECT_TRUE (audioUnit::buildReaperState (plist, wrapper, error)) << error;
    return base64Lines (wrapper, "        ");
}

std::string sidechainWrapperLines (int ins = 4)
{
    return base64Lines (makeWrapper (12, ins, 2, 0, "SIDE", "", programTail (2)), "        ");
}

// Two converter-shaped tracks: track 0 stereo in on 4/5, mono out on 2, a VST3 in slot 0 and an
// AudioUnit in slot 2; track 1 a sidechain from track 0 on a 4-in wrapper with configuration 2.
std::string strictProject()
{
    const auto t0 = makeReaperStableTrackId (0).toStdString();
    const auto t1 = makeReaperStableTrackId (1).toStdString();
    return "junk before the root\n"
        "<REAPER_PROJECT 0.1 \"7.65/macOS-arm64\" 1700000000\n"
        "  SAMPLERATE 48000 0 0\n"
        "  <TRACK " + t0 + "\n"
        "    NAME \"Kick In\"\n"
        "    PEAKCOL 16576\n"
        "    VOLPAN 0.5 -0.5 -1 -1 1\n"
        "    MUTESOLO 1 0 0\n"
        "    IPHASE 0\n"
        "    PLAYOFFS 0 1\n"
        "    REC 0 1028 1 0 0 0 0 0\n"
        "    NCHAN 2\n"
        "    <EXT\n"
        "      VORN_CHANNEL_LAYOUT 2,1\n"
        "      VORN_PLUGIN_NAME_SLOT_0 " + hexOf ("Pro-Q 4") + "\n"
        "      VORN_PLUGIN_VENDOR_SLOT_0 " + hexOf ("FabFilter") + "\n"
        "      VORN_PLUGIN_NAME_SLOT_2 " + hexOf ("S\xc3\xa4tt") + "\n"
        "      VORN_PLUGIN_VENDOR_SLOT_2 -\n"
        "    >\n"
        "    FX 1\n"
        "    TRACKID " + t0 + "\n"
        "    MAINSEND 0 0\n"
        "    HWOUT 1026 0 1 0 0 0 1024 -1:U -1\n"
        "    <FXCHAIN\n"
        "      SHOW 0\n"
        "      BYPASS 0 0 0\n"
        "      <VST \"VST3: Header Name (Header Vendor)\" \"x.vst3\" 0 \"\" 934538646{ed57bd725c60467ea64dd2f400758b6f} \"\"\n"
        + base64Lines (makeWrapper (proQId, 2, 2, 0, "COMP", "CONT", programTail()), "        ") +
        "      >\n"
        "      FXID " + makeReaperStableFxId (0, 0).toStdString() + "\n"
        "      BYPASS 1 0 0\n"
        "      <AU \"AU: Satt (Acme)\" \"Acme: Satt\" \"\" " + std::to_string (fourCc ("aufx")) + " "
            + std::to_string (fourCc ("Satt")) + " " + std::to_string (fourCc ("Acme")) + "\n"
        + auWrapperLines (auPlist()) +
        "      >\n"
        "      FXID " + makeReaperStableFxId (0, 2).toStdString() + "\n"
        "    >\n"
        "  >\n"
        "  <TRACK " + t1 + "\n"
        "\t NAME Side\r\n"
        "    VOLPAN 1 0 -1 -1 1\r\n"
        "    MUTESOLO 0 0 0\r"
        "    IPHASE 0\n"
        "    PLAYOFFS 0 1\n"
        "    REC 0 -1 1 0 0 0 0 0\n"
        "    NCHAN 4\n"
        "   \t \n"
        "    <EXT\n"
        "      VORN_CHANNEL_LAYOUT 2,2\n"
        "      VORN_SIDECHAIN_SLOT_0 0\n"
        "    >\n"
        "    AUXRECV 0 0 1 0 0 0 0 0 2 -1:U 31 -1 ''\n"
        "    FX 0\n"
        "    TRACKID " + t1 + "\n"
        "    MAINSEND 1 0\n"
        "    <FXCHAIN\n"
        "      BYPASS 0 0 0\n"
        "      <VST \"VST3: Comp (Maker)\" c.vst3 0 \"\" 12{0123456789ABCDEF0123456789ABCDEF} \"\"\n"
        + sidechainWrapperLines() +
        "      >\n"
        "      FXID " + makeReaperStableFxId (1, 0).toStdString() + "\n"
        "    >\n"
        "  >\n"
        ">\n";
}

RackReadResult readText (const std::string& text)
{
    vorntest::TempFolder folder;
    const auto file = folder.file ("session.rpp");
    file.replaceWithData (text.data(), text.size());
    return readReaperRpp (file);
}

std::string replaced (std::string text, const std::string& from, const std::string& to)
{
    const auto at = text.find (from);
    EXPECT_NE (at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace (at, from.size(), to);
    return text;
}

juce::StringArray noteCodes (const RackSession& session)
{
    juce::StringArray codes;
    for (const auto& note : session.notes)
        codes.add (note.code);
    return codes;
}

juce::String noteText (const RackSession& session, const juce::String& code)
{
    for (const auto& note : session.notes)
        if (note.code == code)
            return note.text;
    return "<no note " + code + ">";
}

} // namespace

TEST (ReaperRppReader, StrictProjectReadsEveryField)
{
    const auto result = readText (strictProject());
    ASSERT_TRUE (result.ok) << result.error;
    EXPECT_EQ (result.status, readComplete) << noteCodes (result.session).joinIntoString (",");
    const auto& s = result.session;
    EXPECT_TRUE (s.notes.isEmpty());
    EXPECT_EQ (s.sourceFormat, "reaper.rpp");
    EXPECT_EQ (s.sourceApp, "REAPER");
    EXPECT_EQ (s.sourceVersion, "7.65/macOS-arm64");
    EXPECT_EQ (s.sampleRate, 48000.0);
    ASSERT_EQ (s.strips.size(), 2);

    const auto& a = s.strips.getReference (0);
    EXPECT_EQ (a.index, 0);
    EXPECT_EQ (a.name, "Kick In");
    EXPECT_FALSE (a.hasColour); // 16576 is REAPER's default, not a chosen colour
    EXPECT_NEAR (a.outputGainDb, 20.0 * std::log10 (0.5), 1e-5);
    EXPECT_FLOAT_EQ (a.pan, 0.25f);
    EXPECT_TRUE (a.muted);
    EXPECT_FALSE (a.soloed);
    EXPECT_FALSE (a.bypassed);
    EXPECT_EQ (a.inputChannels, 2);
    EXPECT_EQ (a.outputChannels, 1);
    EXPECT_EQ (a.routeInL, 4);
    EXPECT_EQ (a.routeInR, 5);
    EXPECT_EQ (a.routeOutL, 2);
    EXPECT_EQ (a.routeOutR, -1);
    ASSERT_EQ (a.routePatches.size(), 3);
    EXPECT_TRUE (a.routePatches[2].isInput == false && a.routePatches[2].rackChannel == 0 && a.routePatches[2].physicalChannel == 2);
    EXPECT_TRUE (a.routePatches[1].isInput && a.routePatches[1].rackChannel == 1 && a.routePatches[1].physicalChannel == 5);
    EXPECT_TRUE (a.coverage.name && a.coverage.outputGain && a.coverage.pan && a.coverage.mute && a.coverage.solo
                 && a.coverage.bypass && a.coverage.channelLayout && a.coverage.route && a.coverage.inputGain);

    ASSERT_EQ (a.plugins.size(), 3);
    const auto& vst = a.plugins.getReference (0);
    EXPECT_TRUE (vst.occupied);
    EXPECT_EQ (vst.format, "VST3");
    EXPECT_EQ (vst.name, "Pro-Q 4");          // the EXT markers win over the header text
    EXPECT_EQ (vst.vendor, "FabFilter");
    EXPECT_EQ (vst.classId, "ED57BD725C60467EA64DD2F400758B6F");
    EXPECT_EQ (vst.state.encoding, PluginStateEncoding::hostSpecific);
    EXPECT_EQ (stringOf (vst.state.component), "COMP");
    EXPECT_EQ (stringOf (vst.state.controller), "CONT");
    EXPECT_FALSE (vst.bypassed);
    EXPECT_EQ (vst.sidechainSource, -1);
    EXPECT_TRUE (vst.coverage.identity && vst.coverage.activation && vst.coverage.mute && vst.coverage.sidechain && vst.coverage.state);

    EXPECT_FALSE (a.plugins.getReference (1).occupied);

    const auto& au = a.plugins.getReference (2);
    EXPECT_EQ (au.format, "AU");
    EXPECT_EQ (au.name, juce::String::fromUTF8 ("S\xc3\xa4tt"));
    EXPECT_EQ (au.vendor, "");
    EXPECT_TRUE (au.bypassed);
    EXPECT_EQ (au.auType, fourCc ("aufx"));
    EXPECT_EQ (au.auSubtype, fourCc ("Satt"));
    EXPECT_EQ (au.auManufacturer, fourCc ("Acme"));
    EXPECT_EQ (au.uniqueId, fourCc ("aufx") ^ fourCc ("Satt") ^ fourCc ("Acme"));
    EXPECT_EQ (au.deprecatedUid, au.uniqueId);
    EXPECT_EQ (au.state.encoding, PluginStateEncoding::audioUnitPlist);
    EXPECT_EQ (au.state.raw, auPlist());
    EXPECT_TRUE (au.coverage.identity && au.coverage.state && au.coverage.activation && au.coverage.sidechain);

    const auto& b = s.strips.getReference (1);
    EXPECT_EQ (b.name, "Side");
    EXPECT_TRUE (b.bypassed);
    EXPECT_EQ (b.outputGainDb, 0.0f);
    EXPECT_EQ (b.pan, 0.5f);
    EXPECT_EQ (b.routeInL, -1);
    EXPECT_EQ (b.routeOutL, -1);
    EXPECT_TRUE (b.routePatches.isEmpty());
    ASSERT_EQ (b.plugins.size(), 1);
    EXPECT_EQ (b.plugins[0].name, "Comp");
    EXPECT_EQ (b.plugins[0].vendor, "Maker");
    EXPECT_EQ (b.plugins[0].sidechainSource, 0);
    EXPECT_TRUE (b.plugins[0].coverage.sidechain);
}

TEST (ReaperRppReader, SingleEditsLowerTheGradeWithTheRightNote)
{
    const auto base = strictProject();
    const auto t1 = makeReaperStableTrackId (1).toStdString();
    const auto fx00 = makeReaperStableFxId (0, 0).toStdString();
    const auto fx02 = makeReaperStableFxId (0, 2).toStdString();
    const auto vstHeader = std::string ("934538646{ed57bd725c60467ea64dd2f400758b6f}");
    const auto firstStateLine = base64Lines (makeWrapper (proQId, 2, 2, 0, "COMP", "CONT", programTail()), "        ");
    using Check = std::function<void (const RackSession&)>;
    struct Case
    {
        const char* what;
        std::function<std::string()> edit;
        int status;
        juce::String note;       // a code that must be among the notes ("" for none beyond reaper.prototype)
        const char* text;        // its UTF-8 text, when given
        Check check;
    };
    const Case cases[] = {
        { "track GUID case", [&] { return replaced (base, "<TRACK " + t1, "<TRACK " + juce::String (t1).toLowerCase().toStdString()); },
          2, "reaper.prototype", "converter TRACKID/FXID 또는 검증된 layout/routing 불변조건이 없어 역변환을 차단한다", {} },
        { "TRACKID differs", [&] { return replaced (base, "TRACKID " + t1, "TRACKID " + makeReaperStableTrackId (2).toStdString()); },
          2, "reaper.prototype", nullptr, {} },
        { "IPHASE 1", [&] { return replaced (base, "IPHASE 0", "IPHASE 1"); }, 2, "reaper.prototype", nullptr, {} },
        { "an ITEM", [&] { return replaced (base, "    FX 1\n", "    FX 1\n    <ITEM\n      POSITION 0\n    >\n"); },
          2, "track.timeline", "트랙의 아이템·오토메이션은 랙 모델에 대응물이 없어 무시한다",
          [] (const RackSession& s) { EXPECT_FALSE (s.strips[0].coverage.route); EXPECT_EQ (s.strips[0].routeInL, -1); } },
        { "a master chain with a plug-in", [&] { return replaced (base, "  SAMPLERATE", "  <MASTERFXLIST\n    <JS x\n    >\n  >\n  SAMPLERATE"); },
          2, "master.fxchain", "REAPER Master FX 체인은 대상 호스트의 개별 랙 스트립에 일대일 대응되지 않아 변환 대상에서 제외한다",
          [] (const RackSession& s) { EXPECT_EQ (s.notes.size(), 1); } },
        { "an empty master chain", [&] { return replaced (base, "  SAMPLERATE", "  <MASTERFXLIST\n    SHOW 0\n    LASTSEL 0\n  >\n  SAMPLERATE"); },
          1, {}, nullptr, [] (const RackSession& s) { EXPECT_TRUE (s.notes.isEmpty()); } },
        { "pan 1.5", [&] { return replaced (base, "VOLPAN 0.5 -0.5", "VOLPAN 0.5 1.5"); }, 2, "reaper.prototype", nullptr,
          [] (const RackSession& s) { EXPECT_EQ (s.strips[0].outputGainDb, 0.0f); EXPECT_EQ (s.strips[0].pan, 0.5f); EXPECT_FALSE (s.strips[0].coverage.pan); } },
        { "volume 0", [&] { return replaced (base, "VOLPAN 0.5 -0.5", "VOLPAN 0 -0.5"); }, 1, {}, nullptr,
          [] (const RackSession& s) { EXPECT_EQ (s.strips[0].outputGainDb, -100.0f); } },
        { "MUTESOLO 2", [&] { return replaced (base, "MUTESOLO 1 0 0", "MUTESOLO 2 0 0"); }, 2, "reaper.prototype", nullptr,
          [] (const RackSession& s) { EXPECT_FALSE (s.strips[0].muted); EXPECT_FALSE (s.strips[0].coverage.mute); } },
        { "FX 2", [&] { return replaced (base, "FX 1", "FX 2"); }, 2, "reaper.prototype", nullptr, {} },
        { "duplicate layout marker", [&] { return replaced (base, "VORN_CHANNEL_LAYOUT 2,1\n", "VORN_CHANNEL_LAYOUT 2,1\nVORN_CHANNEL_LAYOUT 2,1\n"); },
          2, "reaper.prototype", {}, [] (const RackSession& s) { EXPECT_EQ (s.strips[0].outputChannels, 2); EXPECT_FALSE (s.strips[0].coverage.channelLayout); } },
        { "lower-case hex name", [&] { return replaced (base, hexOf ("FabFilter"), juce::String (hexOf ("FabFilter")).toLowerCase().toStdString()); },
          2, "reaper.prototype", {}, [] (const RackSession& s) { EXPECT_EQ (s.strips[0].plugins[0].name, "Header Name"); } },
        { "hex name not UTF-8", [&] { return replaced (base, hexOf ("Pro-Q 4"), "C328"); }, 2, "reaper.prototype", nullptr, {} },
        { "hex name an overlong form", [&] { return replaced (base, hexOf ("Pro-Q 4"), "50C0AF"); }, 2, "reaper.prototype", nullptr, {} },
        { "hex vendor a surrogate", [&] { return replaced (base, hexOf ("FabFilter"), "EDA080"); }, 2, "reaper.prototype", nullptr, {} },
        { "hex name with zero byte", [&] { return replaced (base, hexOf ("Pro-Q 4"), "4100"); }, 2, "reaper.prototype", nullptr, {} },
        { "REC stereo value 5", [&] { return replaced (base, "REC 0 1028", "REC 0 5"); }, 2, "reaper.prototype", nullptr, {} },
        { "HWOUT source flag", [&] { return replaced (base, "0 0 1024 -1:U", "0 0 0 -1:U"); }, 2, "reaper.prototype", nullptr, {} },
        { "MAINSEND 1 0 with HWOUT", [&] { return replaced (base, "MAINSEND 0 0", "MAINSEND 1 0"); }, 2, "reaper.prototype", nullptr, {} },
        { "AUXRECV source differs", [&] { return replaced (base, "AUXRECV 0 0", "AUXRECV 3 0"); }, 2, "reaper.prototype", nullptr, {} },
        { "NCHAN 2 with a marker", [&] { return replaced (base, "NCHAN 4", "NCHAN 2"); }, 2, "reaper.prototype", nullptr, {} },
        { "sidechain on a 2-in plug-in", [&] { return replaced (base, sidechainWrapperLines(), sidechainWrapperLines (2)); },
          2, "plugin[1:0].sidechainConfig",
          "REAPER VST3 wrapper is not stereo main + stereo sidechain (4 inputs, observed 2/4 output pin map, channel_config=2)",
          [] (const RackSession& s) { EXPECT_EQ (s.strips[1].plugins[0].sidechainSource, -1); EXPECT_FALSE (s.strips[1].plugins[0].coverage.sidechain); } },
        { "sidechain source beyond the tracks",
          [&] { return replaced (replaced (base, "VORN_SIDECHAIN_SLOT_0 0", "VORN_SIDECHAIN_SLOT_0 5"), "AUXRECV 0 0", "AUXRECV 5 0"); },
          2, "reaper.prototype", {}, [] (const RackSession& s) { EXPECT_FALSE (s.strips[1].plugins[0].coverage.sidechain); } },
        { "FXID check off by one", [&] { return replaced (base, "FXID " + fx00, "FXID " + fx00.substr (0, 36) + "4}"); },
          2, "reaper.prototype", {}, [] (const RackSession& s) { EXPECT_FALSE (noteCodes (s).contains ("plugin[0].stableFxId")); } },
        { "FXID decreasing", [&] { return replaced (base, "FXID " + fx02, "FXID " + fx00); },
          2, "plugin[0].stableFxId", "converter FXID strip/slot is inconsistent or duplicated",
          [] (const RackSession& s) { EXPECT_EQ (s.strips[0].plugins.size(), 2); EXPECT_FALSE (s.strips[0].plugins[1].coverage.identity); } },
        { "FXID in lower case without braces",
          [&] { return replaced (base, "FXID " + fx00, "FXID " + juce::String (fx00).removeCharacters ("{}").toLowerCase().toStdString()); },
          1, {}, nullptr, {} },
        { "non-canonical base64", [&] { return replaced (base, firstStateLine, "        AB==\n"); },
          2, "plugin[0:0].state", "base64 line is not canonical",
          [] (const RackSession& s) { EXPECT_EQ (s.strips[0].plugins[0].state.encoding, PluginStateEncoding::none); } },
        { "two id fields", [&] { return replaced (base, vstHeader, vstHeader + " 5{ED57BD725C60467EA64DD2F400758B6F}"); },
          2, "plugin[0:0].state", "VST3 header has multiple REAPER id/CID fields", {} },
        { "no id field", [&] { return replaced (base, vstHeader, "934538646{ED57BD725C60467EA64DD2F400758B6}"); },
          2, "plugin[0:0].state", "VST3 header has no valid REAPER id/CID",
          [] (const RackSession& s) { EXPECT_EQ (s.strips[0].plugins[0].state.encoding, PluginStateEncoding::opaque); } },
        { "header marker of a REAPER save",
          [&] { return replaced (base, firstStateLine, base64Lines (makeWrapper (proQId, 2, 2, vorntest::reaperMarkerFull, "COMP", "CONT", programTail()), "        ")); },
          1, {}, nullptr,
          [] (const RackSession& s) {
              const auto& slot = s.strips[0].plugins[0];
              EXPECT_EQ (slot.state.encoding, PluginStateEncoding::hostSpecific);
              EXPECT_EQ (stringOf (slot.state.component), "COMP");
              EXPECT_TRUE (slot.coverage.state);
          } },
        { "unknown header marker",
          [&] { return replaced (base, firstStateLine, base64Lines (makeWrapper (proQId, 2, 2, 0x0011FFFFu, "COMP", "CONT", programTail()), "        ")); },
          2, "plugin[0:0].state", "REAPER VST3 state header markers are invalid",
          [] (const RackSession& s) {
              const auto& slot = s.strips[0].plugins[0];
              EXPECT_EQ (slot.state.encoding, PluginStateEncoding::opaque);
              EXPECT_EQ (slot.state.raw, makeWrapper (proQId, 2, 2, 0x0011FFFFu, "COMP", "CONT", programTail()));
              EXPECT_FALSE (slot.coverage.state);
          } },
        { "AU header names other codes", [&] { return replaced (base, auWrapperLines (auPlist()), auWrapperLines (auPlist ("Bcme"))); },
          2, "plugin[0:1].state", "REAPER AudioUnit header identity does not match the property list",
          [] (const RackSession& s) { EXPECT_EQ (s.strips[0].plugins[2].state.encoding, PluginStateEncoding::opaque); } },
        { "AU header code zero", [&] { return replaced (base, " " + std::to_string (fourCc ("Acme")) + "\n", " 0\n"); },
          2, "plugin[0:1].state", "REAPER AudioUnit identity is malformed", {} },
        { "name quoted the REAPER way", [&] { return replaced (base, "NAME \"Kick In\"", "NAME 'say \"hi\" now'"); },
          1, {}, nullptr, [] (const RackSession& s) { EXPECT_EQ (s.strips[0].name, "say \"hi\" now"); } },
        { "empty name", [&] { return replaced (base, "NAME \"Kick In\"", "NAME \"\""); }, 2, "reaper.prototype", nullptr,
          [] (const RackSession& s) { EXPECT_TRUE (s.strips[0].name.isEmpty()); EXPECT_FALSE (s.strips[0].coverage.name); } },
        { "custom colour", [&] { return replaced (base, "PEAKCOL 16576", "PEAKCOL 25362292"); }, 1, {}, nullptr,
          [] (const RackSession& s) { EXPECT_TRUE (s.strips[0].hasColour); EXPECT_EQ (s.strips[0].colour, 25362292u); } },
        { "offline plug-in", [&] { return replaced (base, "BYPASS 1 0 0", "BYPASS 0 1 0"); }, 2, "reaper.prototype", nullptr,
          [] (const RackSession& s) { EXPECT_FALSE (s.strips[0].plugins[2].coverage.activation); } },
        { "shared mono input", [&] { return replaced (replaced (base, "REC 0 1028", "REC 0 4"), "VORN_CHANNEL_LAYOUT 2,1", "VORN_CHANNEL_LAYOUT 2,1\nVORN_SHARED_MONO_INPUT 4"); },
          1, {}, nullptr, [] (const RackSession& s) { EXPECT_EQ (s.strips[0].routeInL, 4); EXPECT_EQ (s.strips[0].routeInR, 4); } },
        { "stereo output on 2/3", [&] { return replaced (replaced (base, "HWOUT 1026 0 1 0 0 0 1024", "HWOUT 2 0 1 0 0 0 0"), "LAYOUT 2,1", "LAYOUT 2,2"); },
          1, {}, nullptr, [] (const RackSession& s) { EXPECT_EQ (s.strips[0].routeOutL, 2); EXPECT_EQ (s.strips[0].routeOutR, 3); } },
        { "sample rate twice", [&] { return replaced (base, "SAMPLERATE 48000 0 0", "SAMPLERATE 48000 0 0\nSAMPLERATE 44100 0 0"); },
          1, {}, nullptr, [] (const RackSession& s) { EXPECT_EQ (s.sampleRate, 0.0); } },
    };
    for (const auto& c : cases)
    {
        const auto result = readText (c.edit());
        ASSERT_TRUE (result.ok) << c.what << ": " << result.error;
        EXPECT_EQ (result.status, c.status) << c.what << " " << noteCodes (result.session).joinIntoString (",");
        if (c.note.isNotEmpty())
        {
            EXPECT_TRUE (noteCodes (result.session).contains (c.note)) << c.what << " " << noteCodes (result.session).joinIntoString (",");
            if (c.text != nullptr)
                EXPECT_EQ (noteText (result.session, c.note), juce::String::fromUTF8 (c.text)) << c.what;
        }
        if (c.status == 2)
            EXPECT_TRUE (noteCodes (result.session).contains ("reaper.prototype") || noteCodes (result.session).contains ("master.fxchain")) << c.what;
        if (c.check)
        {
            SCOPED_TRACE (c.what);
            c.check (result.session);
        }
    }
}

TEST (ReaperRppReader, AudioUnitWrappersAsReaperSavesThem)
{
    // The AudioUnit of the strict project's slot 2 in each shape REAPER saves; the header codes
    // name aufx/Satt/Acme throughout.
    const auto base = strictProject();
    const auto plainState = auWrapperLines (auPlist());
    const std::string plainHeader = "<AU \"AU: Satt (Acme)\"";
    auto withState = [&] (const juce::MemoryBlock& wrapper, const std::string& header = "<AU \"AU: Satt (Acme)\"")
    {
        return replaced (replaced (base, plainState, base64Lines (wrapper, "        ")), plainHeader, header);
    };
    using vorntest::makeAudioUnitWrapper;
    using vorntest::sequentialMasks;
    const auto identity = fourCc ("aufx") ^ fourCc ("Satt") ^ fourCc ("Acme");
    const auto routedWrapper = makeAudioUnitWrapper ({ 4, 8 }, { 4, 8 }, auPlist());
    // A refused routing names the plug-in and where its pins go.
    const juce::String routedText = "REAPER AudioUnit pin-map is not the observed sequential topology: Satt, ";
    const juce::String numbering = " (pins and track channels count from 1)";

    struct Case
    {
        const char* what;
        std::string text;
        int status;
        bool stateRead;
        const char* noteCode;   // the slot's one note, or none
        Fidelity fidelity;
        juce::String noteText;
        bool identityKept;
    };
    const Case cases[] = {
        { "instrument, 0 in / 34 out, as AUi", withState (makeAudioUnitWrapper ({}, sequentialMasks (34), auPlist()),
                                                        "<AU \"AUi: Satt (Acme) (34ch)\""),
          1, true, nullptr, {}, {}, true },
        { "sidechain pair unconnected", withState (makeAudioUnitWrapper ({ 1, 2, 0, 0 }, sequentialMasks (2), auPlist())),
          1, true, nullptr, {}, {}, true },
        { "a preset name", withState (makeAudioUnitWrapper (sequentialMasks (2), sequentialMasks (2), auPlist(), "Freeze 1")),
          1, true, "plugin[0:1].presetName", Fidelity::approx, "REAPER preset name \"Freeze 1\" is not carried", true },
        { "a preset name with a line break", withState (makeAudioUnitWrapper ({}, sequentialMasks (2), auPlist(), "No\nAutogain"),
                                                          "<AU \"AUi: Satt (Acme)\""),
          1, true, "plugin[0:1].presetName", Fidelity::approx, "REAPER preset name \"No Autogain\" is not carried", true },
        { "routed to channels 3/4", withState (routedWrapper), 2, false, "plugin[0:1].state", Fidelity::dropped,
          routedText + "input pin 1 is fed by channel 3, input pin 2 is fed by channel 4, output pin 1 feeds channel 3,"
                       " output pin 2 feeds channel 4" + numbering, true },
        { "routed instrument", withState (makeAudioUnitWrapper ({}, { 0x100, 0x200 }, auPlist(), "Freeze 1"), "<AU \"AUi: Satt (Acme)\""),
          2, false, "plugin[0:1].state", Fidelity::dropped,
          routedText + "output pin 1 feeds channel 9, output pin 2 feeds channel 10" + numbering, true },
        { "routed, and the property list names other codes", withState (makeAudioUnitWrapper ({ 4, 8 }, { 4, 8 }, auPlist ("Bcme"))),
          2, false, "plugin[0:1].state", Fidelity::dropped, "REAPER AudioUnit header identity does not match the property list", false },
        { "preset name without its NUL", [&] {
              auto w = makeAudioUnitWrapper (sequentialMasks (2), sequentialMasks (2), auPlist(), "Freeze 1");
              w[w.getSize() - 6] = 'x';
              return withState (w); }(),
          2, false, "plugin[0:1].state", Fidelity::dropped, "REAPER AudioUnit preset name is not NUL-terminated", false },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto result = readText (c.text);
        ASSERT_TRUE (result.ok) << result.error;
        EXPECT_EQ (result.status, c.status) << noteCodes (result.session).joinIntoString (",");
        const auto& slot = result.session.strips[0].plugins[2];
        EXPECT_EQ (slot.format, "AU");
        // The converter's name for the slot replaces the header's only on a track read whole.
        EXPECT_EQ (slot.name, c.status == 1 ? juce::String::fromUTF8 ("S\xc3\xa4tt") : juce::String ("Satt"));
        EXPECT_EQ (slot.coverage.state, c.stateRead);
        if (c.stateRead)
        {
            EXPECT_EQ (slot.state.encoding, PluginStateEncoding::audioUnitPlist);
            EXPECT_EQ (slot.state.raw, auPlist());
        }
        EXPECT_EQ (slot.coverage.identity, c.identityKept);
        EXPECT_EQ (slot.auType, c.identityKept ? fourCc ("aufx") : 0u);
        EXPECT_EQ (slot.auSubtype, c.identityKept ? fourCc ("Satt") : 0u);
        EXPECT_EQ (slot.auManufacturer, c.identityKept ? fourCc ("Acme") : 0u);
        EXPECT_EQ (slot.uniqueId, c.identityKept ? identity : 0u);

        juce::StringArray slotNotes;
        for (const auto& note : result.session.notes)
            if (note.code.startsWith ("plugin[0:"))
                slotNotes.add (note.code);
        if (c.noteCode == nullptr)
        {
            EXPECT_TRUE (slotNotes.isEmpty()) << slotNotes.joinIntoString (",");
            continue;
        }
        EXPECT_EQ (slotNotes, juce::StringArray (c.noteCode));
        for (const auto& note : result.session.notes)
            if (note.code == c.noteCode)
            {
                EXPECT_EQ (note.fidelity, c.fidelity);
                EXPECT_EQ (note.text, c.noteText);
            }
        if (! c.stateRead)
        {
            // What was not read is kept as the wrapper's bytes.
            EXPECT_EQ (slot.state.encoding, PluginStateEncoding::opaque);
            EXPECT_FALSE (slot.state.raw.isEmpty());
        }
    }
    EXPECT_EQ (readText (withState (routedWrapper)).session.strips[0].plugins[2].state.raw, routedWrapper);

    // Only "AU" and "AUi" name an AudioUnit; any other prefix keeps the bytes as they are.
    const auto other = readText (replaced (base, plainHeader, "<AU \"AUx: Satt (Acme)\""));
    ASSERT_TRUE (other.ok);
    EXPECT_EQ (other.status, readPartial);
    const auto& slot = other.session.strips[0].plugins[2];
    EXPECT_EQ (slot.format, "AUx");
    EXPECT_EQ (slot.state.encoding, PluginStateEncoding::hostSpecific);
    EXPECT_EQ (slot.auType, 0u);
}

TEST (ReaperRppReader, TextLevelFailuresAndMinimalProjects)
{
    struct Case { std::string text; const char* error; };
    const Case cases[] = {
        { "", "file empty or unreadable" },
        { " \n\r\n\t\n", "file empty or unreadable" },
        { "hello\n", "no root block found" },
        { "<FOO\n", "unexpected root block: FOO" },
        { "<FOO\n>\n", "unexpected root block: FOO" },
        { "<REAPER_PROJECT 0.1 \"7\"\n>\nx\n", "unbalanced or trailing REAPER project data" },
        { "<REAPER_PROJECT 0.1 \"7\"\n<TRACK\n>\n", "unbalanced or trailing REAPER project data" },
        { "<REAPER_PROJECT 0.1 \"7\"\n>\n<REAPER_PROJECT\n>\n", "unbalanced or trailing REAPER project data" },
    };
    for (const auto& c : cases)
    {
        const auto result = readText (c.text);
        EXPECT_FALSE (result.ok) << c.text;
        EXPECT_EQ (result.status, readFailed);
        EXPECT_EQ (result.error, c.error) << c.text;
        EXPECT_EQ (result.session.sourceFormat, "reaper.rpp");
        EXPECT_EQ (result.session.sourceApp, "REAPER");
        EXPECT_TRUE (result.session.sourceFile.endsWith ("session.rpp"));
    }

    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<A\n";
    EXPECT_EQ (readText ("<REAPER_PROJECT\n" + deep).error, "unbalanced or trailing REAPER project data");

    const auto missing = readReaperRpp (juce::File ("/nonexistent/x.rpp"));
    EXPECT_EQ (missing.error, "file empty or unreadable");

    const auto empty = readText ("preamble\n<REAPER_PROJECT 0.1 \"7.65/macOS-arm64\"\n  SAMPLERATE abc\n>\n");
    ASSERT_TRUE (empty.ok);
    EXPECT_EQ (empty.status, readComplete);
    EXPECT_EQ (empty.session.sourceVersion, "7.65/macOS-arm64");
    EXPECT_EQ (empty.session.sampleRate, 0.0);
    EXPECT_TRUE (empty.session.strips.isEmpty());
    EXPECT_TRUE (empty.session.notes.isEmpty());

    // A converter track without EXT but with the default routing lines is controlled.
    const auto id = makeReaperStableTrackId (0).toStdString();
    const std::string plain = "<REAPER_PROJECT 0.1 x\n<TRACK " + id + "\nNAME A\nVOLPAN 1 0 -1 -1 1\nMUTESOLO 0 0 1\n"
        "IPHASE 0\nPLAYOFFS 0 1\nREC 0 0 1 0 0 0 0 0\nNCHAN 2\nMAINSEND 1 0\nFX 1\nTRACKID " + id + "\n<FXCHAIN\n>\n>\n>\n";
    EXPECT_EQ (readText (plain).status, readPartial); // MUTESOLO's third value must be 0
    const auto controlled = readText (replaced (plain, "MUTESOLO 0 0 1", "MUTESOLO 0 0 0"));
    EXPECT_EQ (controlled.status, readComplete);
    ASSERT_EQ (controlled.session.strips.size(), 1);
    EXPECT_EQ (controlled.session.strips[0].routeInL, -1);
    EXPECT_TRUE (controlled.session.strips[0].coverage.route);
}

TEST (ReaperRppReader, ProjectShapedLikeReaperSavesItReadsAsPartial)
{
    // VST3 states as REAPER saves them: its header markers, its program tail, an instrument
    // without input pins, and a mono plug-in whose outputs both carry its one channel.
    const auto vst3 = base64Lines (makeWrapper (42, 2, 2, vorntest::reaperMarkerFull, "C", "D", vorntest::reaperSavedTail()), "");
    const auto instrument = base64Lines (makeWrapper (77, 0, 2, vorntest::reaperMarkerZero, "I", "", vorntest::reaperSavedTail()), "");
    const auto mono = base64Lines (vorntest::makeWrapperWithMasks (78, vorntest::sequentialMasks (2), { 0x3, 0x2 }, vorntest::reaperMarkerZero,
                                                                   "M", "", vorntest::reaperSavedTail()), "");
    const std::string text =
        "<REAPER_PROJECT 0.1 \"7.22/macOS-arm64\" 1712345678 0\r\n"
        "  RIPPLE 0\r\n  SAMPLERATE 44100 1 0\r\n"
        "  <METRONOME 6 2\r\n    VOL 0.25 0.125\r\n  >\r\n"
        "  MASTER_VOLUME 1 0 -1 -1 1\r\n"
        "  <MASTERFXLIST\r\n    SHOW 0\r\n    LASTSEL 0\r\n    DOCKED 0\r\n  >\r\n"
        "  <TRACK {1A2B3C4D-0000-4000-8000-000000000001}\r\n"
        "    NAME Vox\r\n    PEAKCOL 16576\r\n    VOLPAN 2 -1 -1 -1 1\r\n    MUTESOLO 0 1 0\r\n"
        "    <VOLENV2\r\n      ACT 1 -1\r\n      PT 0 1 0\r\n    >\r\n"
        "    <FXCHAIN\r\n      WNDRECT 0 0 0 0\r\n"
        "      BYPASS 0 0 0\r\n      <VST \"VST: ReaEQ (Cockos)\" reaeq.so 0 \"\" 1919247729<56535472656571726561657100000000> \"\"\r\n"
        "        cWVlcu5e7f4=\r\n      >\r\n      FLOATPOS 0 0 0 0\r\n      FXID {AAAAAAAA-0000-4000-8000-000000000002}\r\n      WAK 0 0\r\n"
        "      BYPASS 0 1 0\r\n      <JS utility/volume \"\"\r\n        0.000000 - - - -\r\n      >\r\n"
        "      FXID {AAAAAAAA-0000-4000-8000-000000000003}\r\n"
        "      BYPASS 0 0 0\r\n      <CLAP \"CLAP: Thing (Maker) (34ch)\" com.maker.thing \"\"\r\n        CFG 4 0 0 \"\"\r\n"
        "        <STATE\r\n          AAAA\r\n        >\r\n      >\r\n"
        "      FXID {AAAAAAAA-0000-4000-8000-000000000004}\r\n"
        "      BYPASS 0 0 0\r\n      <VST \"VST3: Graillon 3 (Auburn Sounds)\" \"Graillon 3.vst3\" 0 \"\" 42{ABCDEF0123456789ABCDEF0123456789} \"\"\r\n"
        + vst3 +
        "      >\r\n      FXID {AAAAAAAA-0000-4000-8000-000000000005}\r\n"
        "      BYPASS 0 0 0\r\n      <VST \"VST3i: Playbeat (Audiomodern) (10 out)\" Playbeat.vst3 0 \"\" 77{00000000000000000000000000000077} \"\"\r\n"
        + instrument +
        "      >\r\n      FXID {AAAAAAAA-0000-4000-8000-000000000006}\r\n"
        "      BYPASS 0 0 0\r\n      <VST \"VST3: Soundboard (Ultraschall) (mono)\" Soundboard.vst3 0 \"\" 78{00000000000000000000000000000078} \"\"\r\n"
        + mono +
        "      >\r\n      FXID {AAAAAAAA-0000-4000-8000-000000000007}\r\n"
        "    >\r\n"
        "    <ITEM\r\n      POSITION 1\r\n      <SOURCE WAVE\r\n        FILE \"a.wav\"\r\n      >\r\n    >\r\n"
        "  >\r\n"
        "  <TRACK {1A2B3C4D-0000-4000-8000-000000000009}\r\n    NAME \"\"\r\n    PEAKCOL 25362292\r\n  >\r\n"
        ">\r\n";
    const auto result = readText (text);
    ASSERT_TRUE (result.ok) << result.error;
    EXPECT_EQ (result.status, readPartial);
    const auto& s = result.session;
    EXPECT_EQ (s.sourceVersion, "7.22/macOS-arm64");
    EXPECT_EQ (s.sampleRate, 44100.0);
    EXPECT_EQ (noteCodes (s), juce::StringArray ({ "plugin[0:5].state", "track.timeline", "reaper.prototype" }));
    EXPECT_EQ (noteText (s, "plugin[0:5].state"), "REAPER VST3 pin-map is not the observed sequential topology: Soundboard,"
                                                   " output pin 1 feeds channels 1 and 2 (pins and track channels count from 1)");
    ASSERT_EQ (s.strips.size(), 2);

    const auto& vox = s.strips.getReference (0);
    EXPECT_EQ (vox.name, "Vox");
    EXPECT_FALSE (vox.hasColour);
    EXPECT_NEAR (vox.outputGainDb, 20.0 * std::log10 (2.0), 1e-5);
    EXPECT_FLOAT_EQ (vox.pan, 0.0f);
    EXPECT_TRUE (vox.soloed);
    EXPECT_FALSE (vox.coverage.route);
    ASSERT_EQ (vox.plugins.size(), 6);
    struct Slot { const char* format; const char* name; const char* vendor; PluginStateEncoding encoding; bool activation; };
    const Slot slots[] = {
        { "VST", "ReaEQ", "Cockos", PluginStateEncoding::hostSpecific, true },
        { "JS", "utility/volume", "", PluginStateEncoding::opaque, false },
        { "CLAP", "Thing", "Maker", PluginStateEncoding::opaque, true },
        { "VST3", "Graillon 3", "Auburn Sounds", PluginStateEncoding::hostSpecific, true },
        { "VST3", "Playbeat", "Audiomodern", PluginStateEncoding::hostSpecific, true },
        { "VST3", "Soundboard", "Ultraschall", PluginStateEncoding::opaque, true },
    };
    for (int i = 0; i < 6; ++i)
    {
        const auto& slot = vox.plugins.getReference (i);
        EXPECT_TRUE (slot.occupied) << i;
        EXPECT_EQ (slot.format, slots[i].format) << i;
        EXPECT_EQ (slot.name, slots[i].name) << i;
        EXPECT_EQ (slot.vendor, slots[i].vendor) << i;
        EXPECT_EQ (slot.state.encoding, slots[i].encoding) << i;
        EXPECT_EQ (slot.coverage.activation, slots[i].activation) << i;
        EXPECT_TRUE (slot.coverage.identity) << i;
        EXPECT_FALSE (slot.coverage.mute) << i;
    }
    EXPECT_EQ (stringOf (vox.plugins[0].state.raw), "qeer\xee^\xed\xfe");
    EXPECT_EQ (vox.plugins[3].classId, "ABCDEF0123456789ABCDEF0123456789");
    EXPECT_EQ (stringOf (vox.plugins[3].state.component), "C");
    EXPECT_EQ (stringOf (vox.plugins[3].state.controller), "D");
    EXPECT_EQ (stringOf (vox.plugins[4].state.component), "I");
    EXPECT_EQ (vox.plugins[4].classId, "00000000000000000000000000000077");

    const auto& empty = s.strips.getReference (1);
    EXPECT_TRUE (empty.name.isEmpty());
    EXPECT_TRUE (empty.hasColour);
    EXPECT_EQ (empty.colour, 25362292u);
    EXPECT_TRUE (empty.plugins.isEmpty());
}

TEST (ReaperRppReader, HeaderNamesAndVendorsOfRealSaves)
{
    struct Case { const char* first; const char* format; const char* name; const char* vendor; };
    const Case cases[] = {
        { "VST3: Pro-Q 4 (FabFilter)", "VST3", "Pro-Q 4", "FabFilter" },
        { "VST3: Soundboard (Ultraschall) (mono)", "VST3", "Soundboard", "Ultraschall" },
        { "VST3i: Playbeat (Audiomodern) (10 out)", "VST3", "Playbeat", "Audiomodern" },
        { "VST3: Kontakt (Native Instruments) (34ch)", "VST3", "Kontakt", "Native Instruments" },
        { "VST3: Pro-Q 3 (Mono) (FabFilter)", "VST3", "Pro-Q 3 (Mono)", "FabFilter" },
        { "VST3: Thing (mono)", "VST3", "Thing", "mono" },             // no vendor before it: the group is the vendor
        { "VST3: Thing (Maker) (Mono)", "VST3", "Thing (Maker)", "Mono" },
        { "VST3: Thing (Maker) (out)", "VST3", "Thing (Maker)", "out" },
        { "VST3: Thing (Maker) (2 outs)", "VST3", "Thing (Maker)", "2 outs" },
        { "VST3: Thing (Maker) (ch)", "VST3", "Thing (Maker)", "ch" },
    };
    for (const auto& c : cases)
    {
        const auto t0 = makeReaperStableTrackId (0).toStdString();
        const auto wrapper = base64Lines (makeWrapper (5, 2, 2, vorntest::reaperMarkerZero, "C", "", vorntest::reaperSavedTail()), "");
        const auto result = readText ("<REAPER_PROJECT 0.1 x\n<TRACK " + t0 + "\nNAME A\nVOLPAN 1 0 -1 -1 1\nMUTESOLO 0 0 0\n"
                                      "IPHASE 0\nPLAYOFFS 0 1\nREC 0 0 1 0 0 0 0 0\nNCHAN 2\nMAINSEND 1 0\nFX 1\nTRACKID " + t0 + "\n"
                                      "<FXCHAIN\nBYPASS 0 0 0\n<VST \"" + c.first + "\" x.vst3 0 \"\" 5{0123456789ABCDEF0123456789ABCDEF} \"\"\n"
                                      + wrapper + ">\nFXID " + makeReaperStableFxId (0, 0).toStdString() + "\n>\n>\n>\n");
        ASSERT_TRUE (result.ok) << c.first;
        EXPECT_EQ (result.status, readComplete) << c.first;
        ASSERT_EQ (result.session.strips.size(), 1);
        ASSERT_EQ (result.session.strips[0].plugins.size(), 1);
        const auto& slot = result.session.strips[0].plugins[0];
        EXPECT_EQ (slot.format, c.format) << c.first;
        EXPECT_EQ (slot.name, c.name) << c.first;
        EXPECT_EQ (slot.vendor, c.vendor) << c.first;
        EXPECT_EQ (stringOf (slot.state.component), "C") << c.first;
    }
}

TEST (ReaperRppReader, EveryByteOfTheFileIsRead)
{
    const std::string project = "<REAPER_PROJECT 0.1 x\n  SAMPLERATE 48000 0 0\n>\n";
    const auto clean = readText (project + "\n \t\r\n");
    EXPECT_TRUE (clean.ok) << clean.error;

    // A zero byte is never taken for the end of the text, nor passed over: wherever it stands,
    // after the root or inside a name, it refuses the file, saying where.
    const auto t0 = makeReaperStableTrackId (0).toStdString();
    const std::string track = "<REAPER_PROJECT 0.1 x\n<TRACK " + t0 + "\nNAME A\nVOLPAN 1 0 -1 -1 1\nMUTESOLO 0 0 0\n"
                              "IPHASE 0\nPLAYOFFS 0 1\nREC 0 0 1 0 0 0 0 0\nNCHAN 2\nMAINSEND 1 0\nFX 1\nTRACKID " + t0 + "\n<FXCHAIN\n>\n>\n>\n";
    ASSERT_EQ (readText (track).status, readComplete);
    const struct { std::string text; size_t at; } zeros[] = {
        { project + std::string ("\0", 1), project.size() },
        { project + std::string ("  \0  \n", 6), project.size() + 2 },
        { replaced (track, "NAME A", std::string ("NAME A\0B", 8)), track.find ("NAME A") + 6 },
    };
    for (const auto& zero : zeros)
    {
        const auto result = readText (zero.text);
        EXPECT_FALSE (result.ok);
        EXPECT_EQ (result.status, readFailed);
        EXPECT_TRUE (result.error.startsWith ("NUL byte in text (byte " + juce::String ((juce::int64) zero.at) + "): ")) << result.error;
        EXPECT_TRUE (result.error.endsWith ("/session.rpp")) << result.error;
        EXPECT_TRUE (result.session.strips.isEmpty());
    }

    // One byte that is not UTF-8 refuses the project, naming the file; the rest is never
    // re-decoded as another encoding (which would turn every "Caf\xc3\xa9" into "Caf\xc3\x83\xc2\xa9").
    const auto cafe = replaced (track, "NAME A", "NAME Caf\xc3\xa9");
    ASSERT_EQ (readText (cafe).session.strips[0].name, juce::String::fromUTF8 ("Caf\xc3\xa9"));
    const auto stray = readText (cafe + "\xe9\n");
    EXPECT_FALSE (stray.ok);
    EXPECT_EQ (stray.status, readFailed);
    EXPECT_TRUE (stray.error.startsWith ("not valid UTF-8 text (byte ")) << stray.error;
    EXPECT_TRUE (stray.error.endsWith ("/session.rpp")) << stray.error;
    EXPECT_TRUE (stray.session.strips.isEmpty());
}
