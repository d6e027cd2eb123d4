#include "writers/ReaperRppWriter.h"

#include "RackBuilders.h"
#include "ReaperFixtures.h"
#include "TestSupport.h"

#include "app/HostRegistry.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/Vst3ModuleIndex.h"
#include "readers/ReaperRppReader.h"
#include "readers/ReaperRppText.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vornconv;
using vorntest::bytesOf;
using vorntest::completeRead;
using vorntest::makeWrapper;
using vorntest::programTail;
using vorntest::proven;
using vorntest::stringOf;
using vorntest::strip;

namespace
{

const juce::String eqCid = "ED57BD725C60467EA64DD2F400758B6F";

// What the reader notes when a track or the project is not the converter's shape.
const juce::String notControlled = juce::String::fromUTF8 (u8"reaper.prototype - converter TRACKID/FXID 또는 검증된 layout/routing 불변조건이 없어 역변환을 차단한다");
const juce::String masterChain = juce::String::fromUTF8 (u8"master.fxchain - REAPER Master FX 체인은 대상 호스트의 개별 랙 스트립에 일대일 대응되지 않아 변환 대상에서 제외한다");
const juce::String compCid = "0123456789ABCDEF0123456789ABCDEF";
constexpr juce::uint32 eqId = 934538646u;

// The road of the convert runner: the preflight of the source for REAPER with the profile, then
// the writer with its verdict.
rapp::ConversionPlan reaperPlan (const RackReadResult& source, const rapp::Vst3ModuleIndex& index, const rapp::DeploymentProfile& profile)
{
    return rapp::inspect (source, app::hostOf (rapp::targetReaper)->rules, index, &profile);
}

rapp::WriteOptions writeOptions (const juce::File& templateFile, const rapp::DeploymentProfile& profile, const juce::File& output = {})
{
    rapp::WriteOptions options;
    options.output = output;
    options.templateFile = templateFile;
    options.profile = &profile;
    return options;
}

rapp::WriteResult writeProject (const RackReadResult& source, const rapp::Vst3ModuleIndex& index, const juce::File& templateFile,
                                const rapp::DeploymentProfile& profile, const juce::File& output)
{
    return rapp::writeReaperRpp (source, index, reaperPlan (source, index, profile), writeOptions (templateFile, profile, output));
}

rapp::WriteResult checkProject (const RackReadResult& source, const rapp::Vst3ModuleIndex& index, const juce::File& templateFile,
                                const rapp::DeploymentProfile& profile)
{
    return rapp::checkReaperRppWrite (source, index, reaperPlan (source, index, profile), writeOptions (templateFile, profile));
}

rapp::Vst3ModuleEntry entry (const juce::String& cid, const juce::String& name, juce::uint32 reaperId, const juce::String& key)
{
    rapp::Vst3ModuleEntry e;
    e.classId = cid;
    e.name = name;
    e.vendor = "Vendor";
    e.available = true;
    e.reaperId = reaperId;
    e.reaperKey = key;
    e.reaperName = reaperId != 0 ? name + " (Vendor)" : juce::String();
    return e;
}

rapp::Vst3ModuleIndex makeIndex (bool withCache = true)
{
    rapp::Vst3ModuleIndex index;
    index.entries.add (entry (eqCid, "Pro-Q 4", withCache ? eqId : 0, withCache ? "FabFilter_Pro-Q_4.vst3" : ""));
    index.entries.add (entry (compCid, "Comp", withCache ? 4000000000u : 0, withCache ? "Comp.vst3" : ""));
    return index;
}

PluginRef vst3 (const juce::String& cid, const juce::String& name, const std::string& comp)
{
    auto slot = vorntest::vst3Slot (cid, name, "Vendor");
    slot.state = vorntest::vst3State (PluginStateEncoding::hostSpecific, comp, "CTRL-" + comp);
    return proven (slot);
}

PluginRef audioUnit()
{
    auto slot = vorntest::auSlot ("Satt", "aufx", "Satt", "Acme");
    slot.vendor = "Acme";
    slot.state.encoding = PluginStateEncoding::audioUnitPlist;
    slot.state.raw = vorntest::auClassInfo ("aufx", "Satt", "Acme");
    return proven (slot);
}

// A strict one-track project holding one VST3 plug-in of eqCid: usable as a template.
juce::String templateText (const juce::String& extraTrackLine = {}, const juce::String& extraProjectLines = {})
{
    return vorntest::oneTrackTemplate (eqCid, extraTrackLine, extraProjectLines);
}

juce::StringArray folderNames (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*"))
        names.add (f.getRelativePathFrom (folder));
    names.sort (false);
    return names;
}

// The first occupied slots agree in identity and state bytes.
void expectSameStates (const RackSession& expected, const RackSession& actual)
{
    ASSERT_EQ (expected.strips.size(), actual.strips.size());
    for (int i = 0; i < expected.strips.size(); ++i)
        for (int k = 0; k < expected.strips.getReference (i).plugins.size(); ++k)
        {
            const auto& want = expected.strips.getReference (i).plugins.getReference (k);
            if (! want.occupied)
                continue;
            ASSERT_LT (k, actual.strips.getReference (i).plugins.size());
            const auto& got = actual.strips.getReference (i).plugins.getReference (k);
            EXPECT_EQ (got.name, want.name) << i << ":" << k;
            EXPECT_EQ (got.vendor, want.vendor) << i << ":" << k;
            if (want.format == "AU")
                EXPECT_EQ (stringOf (got.state.raw), stringOf (want.state.raw)) << i << ":" << k;
            else
            {
                EXPECT_EQ (got.classId, want.classId) << i << ":" << k;
                EXPECT_EQ (stringOf (got.state.component), stringOf (want.state.component)) << i << ":" << k;
                EXPECT_EQ (stringOf (got.state.controller), stringOf (want.state.controller)) << i << ":" << k;
            }
        }
}

} // namespace

TEST (ReaperRppWriterBuiltIn, WritesVerifiesAndCommitsAMultiPluginProject)
{
    auto kick = proven (strip (0, "Kick"));
    kick.plugins.add (vst3 (eqCid, "Pro-Q 4", "EQ-A"));
    kick.plugins.add (audioUnit());
    auto vox = proven (strip (1, "Vox"));
    vox.plugins.add (PluginRef());
    vox.plugins.add (vst3 (compCid, "Comp", "COMP-B"));
    vox.plugins.add (vst3 (eqCid, "Pro-Q 4", "EQ-C"));
    vox.outputGainDb = -3.5f;
    vox.bypassed = true;
    auto source = completeRead ("test", { kick, vox });
    source.session.sampleRate = 48000;
    source.session.bufferSize = 256;

    vorntest::TempFolder folder;
    const auto output = folder.file ("new/out.rpp");
    const auto index = makeIndex();
    const auto written = writeProject (source, index, {}, { 2, 3, 0, 0 }, output);
    ASSERT_TRUE (written.ok) << written.error;
    const juce::StringArray expectedNotes {
        "exact converter reread passed for REAPER cache-verified multi-CID reaper-7.65-native-v1; host load pending",
        juce::String::fromUTF8 (u8"REAPER project에는 audio buffer size 필드가 없어 Preferences/Audio Device 설정이 결정한다") };
    EXPECT_EQ (written.notes, expectedNotes);
    EXPECT_EQ (folderNames (folder.file ({})), juce::StringArray ({ "new", "new/out.rpp" }));

    juce::MemoryBlock bytes;
    ASSERT_TRUE (output.loadFileAsData (bytes));
    const auto text = bytes.toString();
    EXPECT_TRUE (text.startsWith ("<REAPER_PROJECT 0.1 \"7.65/macOS-arm64\"\r\n"));
    EXPECT_TRUE (text.endsWith (">\r\n") && ! text.endsWith ("\r\n\r\n"));
    EXPECT_FALSE (text.replace ("\r\n", "").containsAnyOf ("\r\n")) << "every line ends with CR LF";
    EXPECT_TRUE (text.contains ("\r\n  SAMPLERATE 48000 0 0\r\n"));
    EXPECT_TRUE (text.contains ("<VST \"VST3: Pro-Q 4 (Vendor)\" \"FabFilter_Pro-Q_4.vst3\" 0 \"\" 934538646{" + eqCid + "} \"\""));
    EXPECT_TRUE (text.contains ("<VST \"VST3: Comp (Vendor)\" \"Comp.vst3\" 0 \"\" 4000000000{" + compCid + "} \"\""));
    EXPECT_FALSE (text.contains ("AAABDE1A") || text.contains ("1CB0EB53")) << "the skeleton's ids never reach an output";

    const auto reread = readReaperRpp (output);
    ASSERT_EQ (reread.status, readComplete);
    expectSameStates (source.session, reread.session);
    EXPECT_TRUE (reread.session.strips[1].bypassed);

    // The ids are stable and the states are rebuilt from the same prototype, so a written
    // project converts to the very same text.
    const auto again = folder.file ("again.rpp");
    const auto second = writeProject (reread, index, {}, { 2, 3, 0, 0 }, again);
    ASSERT_TRUE (second.ok) << second.error;
    EXPECT_EQ (again.loadFileAsString(), text);
}

TEST (ReaperRppWriterBuiltIn, AudioUnitOnlySourceAndSharedMonoInput)
{
    auto gtr = proven (strip (0, "Gtr"));
    gtr.routeInL = gtr.routeInR = 3;
    gtr.routePatches.add ({ true, 0, 3 });
    gtr.routePatches.add ({ true, 1, 3 });
    gtr.plugins.add (audioUnit());
    auto empty = proven (strip (1, "Empty"));
    const auto source = completeRead ("test", { gtr, empty });

    vorntest::TempFolder folder;
    const auto output = folder.file ("au.rpp");
    const auto written = writeProject (source, makeIndex (false), {}, { 2, 1, 8, 8 }, output);
    ASSERT_TRUE (written.ok) << written.error;
    ASSERT_EQ (written.notes.size(), 3);
    EXPECT_EQ (written.notes[1], "1 VORN shared stereo input route was represented as a REAPER stereo track with a shared mono record input");
    EXPECT_EQ (written.notes[2], juce::String::fromUTF8 (u8"source sample rate가 없어 REAPER profile 설정을 유지했다"));
    const auto text = output.loadFileAsString();
    EXPECT_FALSE (text.contains ("<VST ")) << "the fallback prototype's unit is never written";
    EXPECT_TRUE (text.contains ("SAMPLERATE 44100 0 0"));
    const auto reread = readReaperRpp (output);
    ASSERT_EQ (reread.status, readComplete);
    expectSameStates (source.session, reread.session);
    EXPECT_EQ (reread.session.strips[0].routeInR, 3);
}

TEST (ReaperRppWriterRefusals, NothingIsWrittenOrLeftBehind)
{
    auto ok = [] {
        auto s = proven (strip (0, "Kick"));
        s.plugins.add (vst3 (eqCid, "Pro-Q 4", "EQ"));
        auto r = completeRead ("test", { s });
        r.session.sampleRate = 48000;
        return r;
    };
    struct Case
    {
        const char* label;
        std::function<void (RackReadResult&)> change;
        rapp::DeploymentProfile profile;
        bool withCache;
        juce::String error;
    };
    const Case cases[] = {
        { "partial source", [] (RackReadResult& r) { r.status = readPartial; }, { 1, 1, 0, 0 }, true, "RAPP preflight blocked REAPER output" },
        { "muted plug-in", [] (RackReadResult& r) { r.session.strips.getReference (0).plugins.getReference (0).muted = true; }, { 1, 1, 0, 0 }, true,
          "RAPP preflight blocked REAPER output" },
        { "profile not source-shaped", [] (RackReadResult&) {}, { 2, 1, 0, 0 }, true, "REAPER writer requires an exact positive source-shaped profile: the session has 1 strip, --profile 2x1 shapes 2; give --profile 1x1" },
        { "strips out of order", [] (RackReadResult& r) { r.session.strips.insert (0, proven (strip (1, "Snare"))); }, { 2, 1, 0, 0 }, true,
          "REAPER prototype writer requires ordered strips" },
        { "quote in name", [] (RackReadResult& r) { r.session.strips.getReference (0).name = "Kick \"2\""; }, { 1, 1, 0, 0 }, true,
          "REAPER prototype writer requires non-empty names without quotes/newlines: strip 0's name \"Kick \\\"2\\\"\" holds a double quote" },
        { "newline in name", [] (RackReadResult& r) { r.session.strips.getReference (0).name = "Kick\n"; }, { 1, 1, 0, 0 }, true,
          "REAPER prototype writer requires non-empty names without quotes/newlines: strip 0's name \"Kick\\n\" holds a line break" },
        { "no name", [] (RackReadResult& r) { r.session.strips.getReference (0).name = {}; }, { 1, 1, 0, 0 }, true,
          "REAPER prototype writer requires non-empty names without quotes/newlines: strip 0 has no name" },
        { "no cache identity", [] (RackReadResult&) {}, { 1, 1, 0, 0 }, false,
          "REAPER internal profile requires a complete native cache identity for CID ED57BD725C60467EA64DD2F400758B6F of Pro-Q 4 (strip 0, slot 0)"
          ": --reaper-cache supplies it (REAPER's reaper-vstplugins64.ini, with a row for the plug-in)" },
        { "second CID without cache identity", [] (RackReadResult& r) { r.session.strips.getReference (0).plugins.add (vst3 (compCid, "Comp", "C")); },
          { 1, 2, 0, 0 }, true, "REAPER cache lacks a complete identity for source CID 0123456789ABCDEF0123456789ABCDEF of Comp (strip 0, slot 1)"
          ": --reaper-cache supplies it (REAPER's reaper-vstplugins64.ini, with a row for the plug-in)" },
        { "fractional sample rate", [] (RackReadResult& r) { r.session.sampleRate = 48000.4; }, { 1, 1, 0, 0 }, true,
          "written REAPER project failed strict reread: sample rate differs (source=48000.400, output=48000.000)" },
        { "sample rate too large", [] (RackReadResult& r) { r.session.sampleRate = 3.0e9; }, { 1, 1, 0, 0 }, true,
          "source sample rate cannot be represented by REAPER" },
        { "output route past what the reader takes back", [] (RackReadResult& r) { r.session.strips.getReference (0).routeOutL = 1023; r.session.strips.getReference (0).routeOutR = 1024; },
          { 1, 1, 2048, 2048 }, true, "written REAPER project failed strict reread: " + notControlled },
    };
    for (const auto& c : cases)
    {
        auto source = ok();
        c.change (source);
        auto index = makeIndex();
        if (! c.withCache)
            index.entries.getReference (0).reaperId = 0;
        if (juce::String (c.label) == "second CID without cache identity")
            index.entries.getReference (1).reaperKey.clear();
        vorntest::TempFolder folder;
        const auto written = writeProject (source, index, {}, c.profile, folder.file ("sub/dir/out.rpp"));
        EXPECT_FALSE (written.ok) << c.label;
        EXPECT_EQ (written.error, c.error) << c.label;
        EXPECT_TRUE (folderNames (folder.file ({})).isEmpty()) << c.label << ": " << folderNames (folder.file ({})).joinIntoString (", ");
    }

    vorntest::TempFolder folder;
    const auto existing = folder.file ("out.rpp");
    ASSERT_TRUE (existing.replaceWithText ("keep"));
    const auto written = writeProject (ok(), makeIndex(), {}, { 1, 1, 0, 0 }, existing);
    EXPECT_EQ (written.error, "refusing to replace existing output: " + existing.getFullPathName());
    EXPECT_EQ (existing.loadFileAsString(), "keep");
    EXPECT_EQ (folderNames (folder.file ({})), juce::StringArray ("out.rpp"));
}

TEST (ReaperRppWriterTemplate, ClonesTheTemplateTrack)
{
    auto kick = proven (strip (0, "Kick"));
    kick.plugins.add (vst3 (eqCid, "Pro-Q 4", "EQ-A"));
    auto bass = proven (strip (1, "Bass"));
    bass.plugins.add (vst3 (eqCid, "Pro-Q 4", "EQ-B"));
    bass.muted = true;
    auto source = completeRead ("test", { kick, bass });
    source.session.sampleRate = 96000;

    vorntest::TempFolder folder;
    const auto templateFile = folder.file ("template.rpp");
    ASSERT_TRUE (templateFile.replaceWithText (templateText()));
    const auto output = folder.file ("out.rpp");
    // The template's own plug-in identity carries the same CID, so no cache identity is needed.
    const auto written = writeProject (source, makeIndex (false), templateFile, { 2, 1, 0, 0 }, output);
    ASSERT_TRUE (written.ok) << written.error;
    EXPECT_EQ (written.notes[0], "exact converter reread passed for REAPER cache-verified multi-CID external-template compatibility profile; host load pending");
    const auto text = output.loadFileAsString();
    EXPECT_TRUE (text.contains ("SAMPLERATE 96000 0 0"));
    EXPECT_EQ (text.removeCharacters ("\r").length() - text.removeCharacters ("\r").replace ("\"VST3: Template EQ (Somebody)\" \"Template EQ.vst3\"", "").length(),
               2 * juce::String ("\"VST3: Template EQ (Somebody)\" \"Template EQ.vst3\"").length())
        << "both tracks keep the template's VST line";
    const auto reread = readReaperRpp (output);
    ASSERT_EQ (reread.status, readComplete);
    expectSameStates (source.session, reread.session);
    EXPECT_TRUE (reread.session.strips[1].muted);

    struct Case { const char* label; juce::String text; juce::String error; };
    const Case cases[] = {
        { "hardware output in the template", templateText ("    HWOUT 0 0 1 0 0 0 0 -1:U -1\n"),
          "REAPER template must use the strict default route without EXT/AUX/HWOUT" },
        { "master chain in the template", templateText ({}, "  <MASTERFXLIST\n    BYPASS 0 0 0\n    <JS gain \"\"\n    >\n  >\n"),
          "written REAPER project failed strict reread: " + masterChain },
        // Timeline content of the track is refused as the template is read, by its block.
        { "an item in the track", templateText ("    <ITEM\n      POSITION 0\n      LENGTH 1\n    >\n"),
          "REAPER template track holds a block the output cannot hold: ITEM" },
        { "an envelope in the track", templateText ("    <VOLENV2\n      ACT 1 -1\n      PT 0 1 0\n    >\n"),
          "REAPER template track holds a block the output cannot hold: VOLENV2" },
        { "a block in the FX chain", templateText().replace ("      SHOW 0\n", "      SHOW 0\n      <COMMENT\n        note\n      >\n"),
          "REAPER template track holds a block the output cannot hold: FXCHAIN/COMMENT" },
        { "a block in the plug-in", templateText().replace ("      >\n      FXID", "        <PARMENV 0\n        >\n      >\n      FXID"),
          "REAPER template track holds a block the output cannot hold: FXCHAIN/VST/PARMENV" },
        // The refusal of a template that is not one track with one decoded VST3 says what it holds.
        { "a state of another plug-in", templateText().replace ("934538646{", "1{"),
          "REAPER template must contain one strictly decoded VST3 state: the state of Template EQ was not decoded: "
          "plugin[0:0].state - REAPER VST3 header id does not match the VST line" },
        { "two tracks", templateText().replace ("  <TRACK ", "  <TRACK {0}\n  >\n  <TRACK "),
          "REAPER template must contain one strictly decoded VST3 state: it holds 2 tracks" },
    };
    for (const auto& c : cases)
    {
        vorntest::TempFolder f;
        ASSERT_TRUE (f.file ("t.rpp").replaceWithText (c.text));
        const auto r = writeProject (source, makeIndex(), f.file ("t.rpp"), { 2, 1, 0, 0 }, f.file ("o.rpp"));
        EXPECT_EQ (r.error, c.error) << c.label;
        EXPECT_EQ (folderNames (f.file ({})), juce::StringArray ("t.rpp")) << c.label;
    }
    const auto missing = writeProject (source, makeIndex(), folder.file ("none.rpp"), { 2, 1, 0, 0 }, folder.file ("o.rpp"));
    EXPECT_EQ (missing.error, "explicit REAPER template file does not exist");

    // A template that is not UTF-8 is refused, naming the file, before anything is written.
    const auto latin1 = folder.file ("latin1.rpp");
    std::string raw = templateText().toStdString();
    raw.replace (raw.find ("Kick"), 4, "Caf\xe9");
    ASSERT_TRUE (latin1.replaceWithData (raw.data(), raw.size()));
    const auto refused = writeProject (source, makeIndex(), latin1, { 2, 1, 0, 0 }, folder.file ("o.rpp"));
    EXPECT_TRUE (refused.error.startsWith ("REAPER template cannot be read: not valid UTF-8 text (byte ")) << refused.error;
    EXPECT_TRUE (refused.error.endsWith (latin1.getFullPathName())) << refused.error;
    EXPECT_FALSE (folder.file ("o.rpp").exists());
}

TEST (ReaperRppWriterBuiltIn, InstrumentsColoursAndClassIdsTheCacheGivesTwoPlugins)
{
    const juce::String synthCid = "5353594E5448000000000000000000AA";
    auto index = makeIndex();
    auto synth = entry (synthCid, "Synth", 77, "Synth.vst3");
    synth.reaperName = "Synth (Vendor)!!!VSTi";  // how REAPER's cache marks an instrument
    index.entries.add (synth);

    auto keys = proven (strip (0, "Keys"));
    keys.plugins.add (vst3 (synthCid, "Synth", "SYNTH"));
    keys.plugins.add (vst3 (eqCid, "Pro-Q 4", "EQ"));
    keys.hasColour = true;
    keys.colour = 0x1FF0000u;
    auto vox = proven (strip (1, "Vox"));
    auto pad = proven (strip (2, "Pad"));
    pad.hasColour = true;
    pad.colour = 0x1000001u;
    auto source = completeRead ("test", { keys, vox, pad });
    source.session.sampleRate = 48000;

    vorntest::TempFolder folder;
    const auto output = folder.file ("out.rpp");
    const auto written = writeProject (source, index, {}, { 3, 2, 0, 0 }, output);
    ASSERT_TRUE (written.ok) << written.error;
    EXPECT_EQ (written.notes[written.notes.size() - 1],
               "2 strip colours were not transferred: REAPER output keeps the profile's track colour (strips 0, 2)");
    const auto text = output.loadFileAsString();
    EXPECT_TRUE (text.contains ("<VST \"VST3i: Synth (Vendor)\" \"Synth.vst3\" 0 \"\" 77{" + synthCid + "} \"\"")) << text;
    EXPECT_FALSE (text.contains ("!!!VSTi"));
    const auto reread = readReaperRpp (output);
    ASSERT_EQ (reread.status, readComplete);
    EXPECT_EQ (reread.session.strips[0].plugins[0].format, "VST3");
    expectSameStates (source.session, reread.session);

    // A class id the cache gave two plug-ins has no REAPER identity: only the plug-ins that need it
    // are refused, and the refusal names both keys.
    auto shared = index;
    auto& ambiguous = shared.entries.getReference (1);  // compCid
    ambiguous.reaperId = 0;
    ambiguous.reaperKey.clear();
    ambiguous.reaperName.clear();
    ambiguous.reaperAmbiguousKeys = { "DirectionalCompressor.vst3", "DistanceCompensator.vst3" };
    const juce::String why = " (the REAPER cache gives this class id to DirectionalCompressor.vst3 and DistanceCompensator.vst3)";
    EXPECT_TRUE (writeProject (source, shared, {}, { 3, 2, 0, 0 }, folder.file ("fine.rpp")).ok);

    auto second = source;
    second.session.strips.getReference (1).plugins.add (vst3 (compCid, "Comp", "C"));
    EXPECT_EQ (writeProject (second, shared, {}, { 3, 2, 0, 0 }, folder.file ("a.rpp")).error,
               "REAPER cache lacks a complete identity for source CID " + compCid + " of Comp (strip 1, slot 0)" + why);
    auto first = completeRead ("test", { proven (strip (0, "Comp")) });
    first.session.strips.getReference (0).plugins.add (vst3 (compCid, "Comp", "C"));
    EXPECT_EQ (writeProject (first, shared, {}, { 1, 1, 0, 0 }, folder.file ("b.rpp")).error,
               "REAPER internal profile requires a complete native cache identity for CID " + compCid + " of Comp (strip 0, slot 0)" + why);
    EXPECT_FALSE (folder.file ("a.rpp").exists() || folder.file ("b.rpp").exists());
}

TEST (ReaperRppWriterTemplate, AOneTrackProjectAsReaperSavesItServesAsTemplate)
{
    // No converter ids or markers, REAPER's own extra lines, and a state in REAPER's saved shape.
    const auto wrapper = makeWrapper (eqId, 2, 2, vorntest::reaperMarkerFull, "REAPER-COMP", "REAPER-CONT", vorntest::reaperSavedTail ("Init"));
    const juce::String text =
        "<REAPER_PROJECT 0.1 \"7.30/linux-x86_64\" 1733300000 0\r\n"
        "  RIPPLE 0 0\r\n  SAMPLERATE 48000 1 0\r\n"
        "  <TRACK {3F2C7C59-93F1-4E5D-8C7B-0F3A3AFC1E11}\r\n"
        "    NAME Vox\r\n    PEAKCOL 16576\r\n    BEAT -1\r\n    AUTOMODE 0\r\n    PANLAWFLAGS 3\r\n    VOLPAN 1 0 -1 -1 1\r\n"
        "    MUTESOLO 0 0 0\r\n    IPHASE 0\r\n    PLAYOFFS 0 1\r\n    ISBUS 0 0\r\n    BUSCOMP 0 0 0 0 0\r\n    SHOWINMIX 1 0.6667 0.5 1 0.5 0 0 0\r\n"
        "    FIXEDLANES 9 0 0 0 0\r\n    SEL 1\r\n    REC 0 0 1 0 0 0 0 0\r\n    VU 2\r\n    TRACKHEIGHT 0 0 0 0 0 0 0\r\n    INQ 0 0 0 0.5 100 0 0 100\r\n"
        "    NCHAN 2\r\n    FX 1\r\n    TRACKID {3F2C7C59-93F1-4E5D-8C7B-0F3A3AFC1E11}\r\n    PERF 0\r\n    MIDIOUT -1\r\n    MAINSEND 1 0\r\n"
        "    <FXCHAIN\r\n      WNDRECT 24 52 861 571\r\n      SHOW 0\r\n      LASTSEL 0\r\n      DOCKED 0\r\n      BYPASS 0 0 0\r\n"
        "      <VST \"VST3: Pro-Q 4 (FabFilter)\" \"FabFilter Pro-Q 4.vst3\" 0 \"\" 934538646{" + eqCid + "} \"\"\r\n"
        "        " + juce::Base64::toBase64 (wrapper.getData(), wrapper.getSize()) + "\r\n"
        "      >\r\n      PRESETNAME Init\r\n      FLOATPOS 0 0 0 0\r\n      FXID {0E2A1D4C-7E55-4F0B-9C43-6C0C2D1B9A77}\r\n      WAK 0 0 0\r\n"
        "    >\r\n  >\r\n>\r\n";
    vorntest::TempFolder folder;
    const auto templateFile = folder.file ("reaper-saved.rpp");
    ASSERT_TRUE (templateFile.replaceWithText (text));

    auto kick = proven (strip (0, "Kick"));
    kick.plugins.add (vst3 (eqCid, "Pro-Q 4", "EQ-A"));
    auto bass = proven (strip (1, "Bass"));
    bass.plugins.add (vst3 (compCid, "Comp", "COMP-B"));
    auto source = completeRead ("test", { kick, bass });
    source.session.sampleRate = 48000;
    const auto output = folder.file ("out.rpp");
    const auto written = writeProject (source, makeIndex(), templateFile, { 2, 1, 0, 0 }, output);
    ASSERT_TRUE (written.ok) << written.error;
    const auto reread = readReaperRpp (output);
    ASSERT_EQ (reread.status, readComplete);
    expectSameStates (source.session, reread.session);
    EXPECT_TRUE (output.loadFileAsString().contains ("PRESETNAME Init"));

    // The rebuilt wrapper keeps the template's marker high half and tail.
    EXPECT_EQ (reread.session.strips[0].plugins[0].state.raw,
               makeWrapper (eqId, 2, 2, vorntest::reaperMarkerZero, "EQ-A", "CTRL-EQ-A", vorntest::reaperSavedTail ("Init")));
}

TEST (ReaperRppWriterCheck, GivesTheWritersRefusalBeforeTheOutputIsNeeded)
{
    auto kick = proven (strip (0, "Kick"));
    kick.plugins.add (vst3 (eqCid, "Pro-Q 4", "EQ"));
    const auto ok = completeRead ("test", { kick });
    vorntest::TempFolder folder;
    const auto goodTemplate = folder.file ("t.rpp");
    ASSERT_TRUE (goodTemplate.replaceWithText (templateText()));
    const auto hwoutTemplate = folder.file ("hwout.rpp");
    ASSERT_TRUE (hwoutTemplate.replaceWithText (templateText ("    HWOUT 0 0 1 0 0 0 0 -1:U -1\n")));
    const auto twoTracks = folder.file ("two.rpp");
    ASSERT_TRUE (twoTracks.replaceWithText (templateText().replace ("  <TRACK ", "  <TRACK {0}\n  >\n  <TRACK ")));
    const auto latin1 = folder.file ("latin1.rpp");
    ASSERT_TRUE (latin1.replaceWithData ("<REAPER_PROJECT\xe9\n>\n", 18));
    const auto masterTemplate = folder.file ("master.rpp");
    ASSERT_TRUE (masterTemplate.replaceWithText (templateText ({}, "  <MASTERFXLIST\n    BYPASS 0 0 0\n    <JS gain \"\"\n    >\n  >\n")));
    const auto itemTemplate = folder.file ("item.rpp");
    ASSERT_TRUE (itemTemplate.replaceWithText (templateText ("    <ITEM\n      POSITION 0\n    >\n")));

    struct Case
    {
        const char* label;
        std::function<void (RackReadResult&, rapp::Vst3ModuleIndex&)> change;
        rapp::DeploymentProfile profile;
        juce::File templateFile;
        juce::String readBackRefusal = {};   // for a project the writer builds and then cannot read back as it meant
    };
    const Case cases[] = {
        { "writable", [] (RackReadResult&, rapp::Vst3ModuleIndex&) {}, { 1, 1, 0, 0 }, {} },
        { "writable from a template", [] (RackReadResult&, rapp::Vst3ModuleIndex&) {}, { 1, 1, 0, 0 }, goodTemplate },
        { "partial source", [] (RackReadResult& r, rapp::Vst3ModuleIndex&) { r.status = readPartial; }, { 1, 1, 0, 0 }, {} },
        { "profile", [] (RackReadResult&, rapp::Vst3ModuleIndex&) {}, { 2, 1, 0, 0 }, {} },
        { "name", [] (RackReadResult& r, rapp::Vst3ModuleIndex&) { r.session.strips.getReference (0).name = "a\"b"; }, { 1, 1, 0, 0 }, {} },
        { "routing", [] (RackReadResult& r, rapp::Vst3ModuleIndex&) { r.session.strips.getReference (0).routeInL = 4; }, { 1, 1, 8, 8 }, {} },
        { "unresolved", [] (RackReadResult& r, rapp::Vst3ModuleIndex&) { r.session.strips.getReference (0).plugins.getReference (0).classId = "11111111111111111111111111111111"; },
          { 1, 1, 0, 0 }, {} },
        { "no native identity", [] (RackReadResult&, rapp::Vst3ModuleIndex& i) { i.entries.getReference (0).reaperId = 0; }, { 1, 1, 0, 0 }, {} },
        { "second CID", [] (RackReadResult& r, rapp::Vst3ModuleIndex& i) {
              r.session.strips.getReference (0).plugins.add (vst3 (compCid, "Comp", "C"));
              i.entries.getReference (1).reaperName.clear(); },
          { 1, 2, 0, 0 }, {} },
        { "second CID against a template", [] (RackReadResult& r, rapp::Vst3ModuleIndex& i) {
              r.session.strips.getReference (0).plugins.add (vst3 (compCid, "Comp", "C"));
              i.entries.getReference (1).reaperId = 0; },
          { 1, 2, 0, 0 }, goodTemplate },
        { "sample rate", [] (RackReadResult& r, rapp::Vst3ModuleIndex&) { r.session.sampleRate = 1.0e12; }, { 1, 1, 0, 0 }, {} },
        { "missing template", [] (RackReadResult&, rapp::Vst3ModuleIndex&) {}, { 1, 1, 0, 0 }, folder.file ("none.rpp") },
        { "template not UTF-8", [] (RackReadResult&, rapp::Vst3ModuleIndex&) {}, { 1, 1, 0, 0 }, latin1 },
        { "template with HWOUT", [] (RackReadResult&, rapp::Vst3ModuleIndex&) {}, { 1, 1, 0, 0 }, hwoutTemplate },
        { "template with two tracks", [] (RackReadResult&, rapp::Vst3ModuleIndex&) {}, { 1, 1, 0, 0 }, twoTracks },
        { "template with an item", [] (RackReadResult&, rapp::Vst3ModuleIndex&) {}, { 1, 1, 0, 0 }, itemTemplate },
        // What only the read-back finds: the plan proves it as the write does.
        { "template with a master chain", [] (RackReadResult&, rapp::Vst3ModuleIndex&) {}, { 1, 1, 0, 0 }, masterTemplate,
          "written REAPER project failed strict reread: " + masterChain },
        { "fractional sample rate", [] (RackReadResult& r, rapp::Vst3ModuleIndex&) { r.session.sampleRate = 48000.4; }, { 1, 1, 0, 0 }, {},
          "written REAPER project failed strict reread: sample rate differs (source=48000.400, output=48000.000)" },
        { "output route past what the reader takes back", [] (RackReadResult& r, rapp::Vst3ModuleIndex&) {
              r.session.strips.getReference (0).routeOutL = 1023;
              r.session.strips.getReference (0).routeOutR = 1024; },
          { 1, 1, 2048, 2048 }, {}, "written REAPER project failed strict reread: " + notControlled },
        { "a volume the project cannot hold", [] (RackReadResult& r, rapp::Vst3ModuleIndex&) {
              auto bass = proven (strip (1, "Bass"));
              bass.outputGainDb = -170.0f;
              r.session.strips.add (bass); },
          { 2, 1, 0, 0 }, {}, "written REAPER project failed exact strip-field validation: strip 1.outputGainDb: -170.0000000 != -170.000" },
    };
    int n = 0;
    for (const auto& c : cases)
    {
        auto source = ok;
        auto index = makeIndex();
        c.change (source, index);
        const auto checked = checkProject (source, index, c.templateFile, c.profile);
        const auto output = folder.file ("out" + juce::String (n++) + ".rpp");
        const auto written = writeProject (source, index, c.templateFile, c.profile, output);
        EXPECT_EQ (written.ok, juce::String (c.label).startsWith ("writable")) << c.label << ": " << written.error;
        EXPECT_EQ (checked.ok, written.ok) << c.label << ": " << written.error;
        EXPECT_EQ (checked.error, written.error) << c.label;
        EXPECT_EQ (output.exists(), written.ok) << c.label;
        EXPECT_TRUE (checked.notes.isEmpty()) << c.label;
        if (c.readBackRefusal.isNotEmpty())
            EXPECT_TRUE (written.error.startsWith (c.readBackRefusal)) << c.label << ": " << written.error;
        // A proof that compared hands over what the REAPER reader read back.
        if (checked.compared != nullptr)
            EXPECT_EQ (checked.compared->readBack.session.sourceFormat, "reaper.rpp") << c.label;
        EXPECT_EQ (checked.compared != nullptr, written.compared != nullptr) << c.label;
    }
}

TEST (ReaperRppWriterBuiltIn, StatesAtTheStreamLimitAndJustOver)
{
    // The built-in wrapper adds 107 bytes around an empty controller: a component of 64 MiB - 107
    // bytes makes a wrapper of exactly 64 MiB, which the reader takes back; one byte more does not.
    constexpr size_t overhead = 107;
    for (const size_t extra : { (size_t) 0, (size_t) 1 })
    {
        std::string component (maxReaperPluginStateBytes - overhead + extra, '\0');
        for (size_t i = 0; i < component.size(); i += 4096)
            component[i] = (char) (i >> 12);
        auto big = proven (strip (0, "Big"));
        big.plugins.add (vst3 (eqCid, "Pro-Q 4", component));
        big.plugins.getReference (0).state.controller.reset();
        const auto source = completeRead ("test", { big });

        vorntest::TempFolder folder;
        const auto output = folder.file ("big.rpp");
        const auto written = writeProject (source, makeIndex(), {}, { 1, 1, 0, 0 }, output);
        if (extra == 0)
        {
            ASSERT_TRUE (written.ok) << written.error;
            const auto reread = readReaperRpp (output);
            ASSERT_EQ (reread.status, readComplete);
            EXPECT_EQ (reread.session.strips[0].plugins[0].state.raw.getSize(), maxReaperPluginStateBytes);
            EXPECT_TRUE (reread.session.strips[0].plugins[0].state.component == source.session.strips[0].plugins[0].state.component);
        }
        else
        {
            EXPECT_EQ (written.error, "written REAPER project failed strict reread: plugin[0:0].state - decoded VST3 state exceeds limit");
            EXPECT_TRUE (folderNames (folder.file ({})).isEmpty());
        }
    }
}

TEST (ReaperRppWriterProof, ARefusedReadBackNamesTheFirstDifference)
{
    // A volume of -170 dB is written as 0.000000003162, which reads back 0.0008 dB away: more
    // than the comparison allows.
    auto kick = proven (strip (0, "Kick"));
    kick.plugins.add (vst3 (eqCid, "Pro-Q 4", "EQ"));
    auto bass = proven (strip (1, "Bass"));
    bass.outputGainDb = -170.0f;
    const auto source = completeRead ("test", { kick, bass });

    vorntest::TempFolder folder;
    const auto written = writeProject (source, makeIndex(), {}, { 2, 1, 0, 0 }, folder.file ("sub/out.rpp"));
    EXPECT_FALSE (written.ok);
    EXPECT_TRUE (written.error.startsWith ("written REAPER project failed exact strip-field validation: strip 1.outputGainDb: -170.0000000 != -170.000"))
        << written.error;
    EXPECT_TRUE (folderNames (folder.file ({})).isEmpty());
}
