#include "RackBuilders.h"
#include "ReaperFixtures.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace
{

// One converter-shaped track with one VST3 plug-in: 2 in / 2 out, component "COMP",
// controller "CONT", tail "\0Program 1\0" and four zero bytes.
const char* const strictState =
    "lu2zN+5e7f4CAAAAAQAAAAAAAAACAAAAAAAAAAIAAAABAAAAAAAAAAIAAAAAAAAAGAAAAAEAAAAAAAAABAAAAAEAAABDT01QBAAAAAAAAABDT05UAFByb2dyYW0gMQAAAAAA";
// The same with the header word that REAPER itself writes after the pin maps.
const char* const reaperMarkerState =
    "lu2zN+5e7f4CAAAAAQAAAAAAAAACAAAAAAAAAAIAAAABAAAAAAAAAAIAAAAAAAAAGAAAAAEAAAD//xAABAAAAAEAAABDT01QBAAAAAAAAABDT05UAFByb2dyYW0gMQAAAAAA";
// The same with a header word no REAPER save holds (0x0011FFFF).
const char* const unknownMarkerState =
    "lu2zN+5e7f4CAAAAAQAAAAAAAAACAAAAAAAAAAIAAAABAAAAAAAAAAIAAAAAAAAAGAAAAAEAAAD//xEABAAAAAEAAABDT01QBAAAAAAAAABDT05UAFByb2dyYW0gMQAAAAAA";

std::string project (const char* state)
{
    return std::string ("<REAPER_PROJECT 0.1 \"7.65/macOS-arm64\"\n"
        "  SAMPLERATE 48000 0 0\n"
        "  <TRACK {564F524E-5250-5401-0000-000000005A3C}\n"
        "    NAME \"Kick\"\n    VOLPAN 1 0 -1 -1 1\n    MUTESOLO 0 0 0\n    IPHASE 0\n    PLAYOFFS 0 1\n"
        "    REC 0 -1 1 0 0 0 0 0\n    NCHAN 2\n"
        "    <EXT\n      VORN_CHANNEL_LAYOUT 2,2\n      VORN_PLUGIN_NAME_SLOT_0 50726F2D512034\n"
        "      VORN_PLUGIN_VENDOR_SLOT_0 46616246696C746572\n    >\n"
        "    FX 1\n    TRACKID {564F524E-5250-5401-0000-000000005A3C}\n    MAINSEND 1 0\n"
        "    <FXCHAIN\n      SHOW 0\n      BYPASS 0 0 0\n"
        "      <VST \"VST3: Pro-Q 4 (FabFilter)\" \"FabFilter Pro-Q 4.vst3\" 0 \"\" 934538646{ED57BD725C60467EA64DD2F400758B6F} \"\"\n"
        "        ") + state + "\n"
        "      >\n      FXID {564F524E-5250-5001-0000-00000000A5C3}\n    >\n  >\n>\n";
}

bool hasLineContaining (const juce::StringArray& lines, const juce::String& part)
{
    for (const auto& line : lines)
        if (line.contains (part))
            return true;
    return false;
}

} // namespace

TEST (ReaperDump, StrictAndReaperShapedProjectsThroughTheProgram)
{
    vorntest::TempFolder tmp;
    tmp.file ("A.rpp").replaceWithText (project (strictState));
    tmp.file ("B.rpp").replaceWithText (project (unknownMarkerState));
    tmp.file ("C.rpp").replaceWithText (project (reaperMarkerState));
    tmp.file ("empty.rpp").create();

    const auto a = vorntest::runVornconvBinary ({ "A.rpp" }, tmp.path());
    EXPECT_EQ (a.exitCode, 0) << a.out;
    EXPECT_TRUE (a.err.empty());
    const auto aLines = a.outLines();
    EXPECT_TRUE (aLines.contains ("READ    complete")) << a.out;
    EXPECT_TRUE (hasLineContaining (aLines, "FORMAT  reaper.rpp")) << a.out;
    EXPECT_TRUE (hasLineContaining (aLines, "RACK    1 strips (1 in use), 1 plugins, 0 snapshots")) << a.out;
    EXPECT_TRUE (hasLineContaining (aLines, "VST3  host-specific  split=OK comp=4B cont=4B")) << a.out;
    EXPECT_TRUE (hasLineContaining (aLines, "FabFilter")) << a.out;

    const auto b = vorntest::runVornconvBinary ({ "B.rpp" }, tmp.path());
    EXPECT_EQ (b.exitCode, 0) << b.out;
    const auto bLines = b.outLines();
    EXPECT_TRUE (bLines.contains ("READ    partial (writer blocked)")) << b.out;
    EXPECT_TRUE (hasLineContaining (bLines, "VST3  opaque  split=NO raw=99B")) << b.out;
    EXPECT_TRUE (hasLineContaining (bLines, "REAPER VST3 state header markers are invalid")) << b.out;

    const auto c = vorntest::runVornconvBinary ({ "C.rpp" }, tmp.path());
    EXPECT_EQ (c.exitCode, 0) << c.out;
    EXPECT_TRUE (c.outLines().contains ("READ    complete")) << c.out;
    EXPECT_TRUE (hasLineContaining (c.outLines(), "VST3  host-specific  split=OK comp=4B cont=4B")) << c.out;

    const auto empty = vorntest::runVornconvBinary ({ "empty.rpp" }, tmp.path());
    EXPECT_EQ (empty.exitCode, 1);
    EXPECT_TRUE (empty.outLines().contains ("ERROR   file empty or unreadable (in " + tmp.file ("empty.rpp").getFullPathName() + ")")) << empty.out;

    const auto exported = vorntest::runVornconvBinary ({ "--export-states", "ex", "A.rpp" }, tmp.path());
    EXPECT_EQ (exported.exitCode, 0) << exported.out;
    EXPECT_EQ (tmp.file ("ex/Pro-Q 4__0-0.comp").loadFileAsString(), "COMP");
    EXPECT_EQ (tmp.file ("ex/Pro-Q 4__0-0.cont").loadFileAsString(), "CONT");

    const auto manifest = vorntest::runVornconvBinary ({ "--manifest", "A.rpp" }, tmp.path());
    EXPECT_EQ (manifest.exitCode, 0) << manifest.out;
    EXPECT_NE (manifest.out.find ("\"reaper.rpp\""), std::string::npos) << manifest.out;
}

namespace
{

// Standard base64 in lines of 96 bytes, as REAPER writes a state.
std::string stateLines (const juce::MemoryBlock& data)
{
    std::string out;
    for (size_t at = 0; at < data.getSize(); at += 96)
        out += "        " + juce::Base64::toBase64 (static_cast<const char*> (data.getData()) + at,
                                                   juce::jmin ((size_t) 96, data.getSize() - at)).toStdString() + "\n";
    return out;
}

// An AU block as REAPER saves it: the display name and the component's name (header), REAPER's
// preset name (preset, often empty), then the type, subtype and manufacturer codes.
std::string auBlock (int fx, const std::string& header, const char* type, const char* subtype, const juce::MemoryBlock& wrapper,
                     const std::string& preset = "")
{
    return "      BYPASS 0 0 0\n      <AU " + header + " \"" + preset + "\" " + std::to_string (vorntest::fourCc (type)) + " "
         + std::to_string (vorntest::fourCc (subtype)) + " " + std::to_string (vorntest::fourCc ("Acme")) + "\n"
         + stateLines (wrapper) + "      >\n      FLOATPOS 0 0 0 0\n      FXID {5E1C0A11-0000-4000-8000-00000000000"
         + std::to_string (fx) + "}\n";
}

} // namespace

TEST (ReaperDump, AudioUnitsOfARealProjectThroughTheProgram)
{
    // A project as REAPER saves it: an instrument (AUi) without inputs and with 34 outputs and a
    // preset name, an effect whose sidechain pair is unconnected, and one routed to channels 3/4.
    using vorntest::makeAudioUnitWrapper;
    using vorntest::sequentialMasks;
    const auto plist = [] (const char* type, const char* subtype) { return vorntest::auClassInfo (type, subtype, "Acme", "<key>data</key><data>AAEC</data>"); };
    const auto synth = plist ("aumu", "Syn1");
    const auto comp = plist ("aufx", "Cmp2");
    const auto bus = plist ("aufx", "Bus3");
    const std::string text =
        "<REAPER_PROJECT 0.1 \"6.81/OSX64\" 1700000000\n  SAMPLERATE 48000 0 0\n"
        "  <TRACK {0D6B2C1E-0000-4000-8000-000000000001}\n    NAME Keys\n    NCHAN 34\n    <FXCHAIN\n      SHOW 0\n"
        + auBlock (1, "\"AUi: Synth One (Acme) (34ch)\" \"Acme: Synth One\"", "aumu", "Syn1",
                   makeAudioUnitWrapper ({}, sequentialMasks (34), synth, "Freeze 1"), "Freeze 1")
        + auBlock (2, "\"AU: Comp Two (Acme)\" \"Acme: Comp Two\"", "aufx", "Cmp2",
                   makeAudioUnitWrapper ({ 1, 2, 0, 0 }, sequentialMasks (2), comp))
        + "    >\n  >\n"
        "  <TRACK {0D6B2C1E-0000-4000-8000-000000000002}\n    NAME Bus\n    NCHAN 4\n    <FXCHAIN\n"
        + auBlock (3, "\"AU: Bus Three (Acme)\" \"Acme: Bus Three\"", "aufx", "Bus3", makeAudioUnitWrapper ({ 4, 8 }, { 4, 8 }, bus))
        + "    >\n  >\n>\n";
    vorntest::TempFolder tmp;
    tmp.file ("live.rpp").replaceWithText (text);

    const auto dump = vorntest::runVornconvBinary ({ "live.rpp" }, tmp.path());
    EXPECT_EQ (dump.exitCode, 0) << dump.out;
    const auto lines = dump.outLines();
    auto row = [] (int slot, const char* name, const juce::String& rest) {
        return "         [" + juce::String (slot) + "] " + juce::String (name).paddedRight (' ', 34)
             + juce::String ("Acme").paddedRight (' ', 22) + "AU    " + rest;
    };
    EXPECT_TRUE (lines.contains (row (0, "Synth One", "audio-unit-plist  split=NO raw=" + juce::String ((int) synth.getSize()) + "B"))) << dump.out;
    EXPECT_TRUE (lines.contains (row (1, "Comp Two", "audio-unit-plist  split=NO raw=" + juce::String ((int) comp.getSize()) + "B"))) << dump.out;
    EXPECT_TRUE (hasLineContaining (lines, row (0, "Bus Three", "opaque  split=NO raw="))) << dump.out;
    // Note rows: the grade in 9 columns, the code in 22 (a longer one whole, then a blank), the text.
    EXPECT_TRUE (lines.contains ("  APPROX   plugin[0:0].presetName REAPER preset name \"Freeze 1\" is not carried")) << dump.out;
    EXPECT_TRUE (lines.contains ("  DROPPED  plugin[1:0].state     REAPER AudioUnit pin-map is not the observed sequential topology:"
                                 " Bus Three, input pin 1 is fed by channel 3, input pin 2 is fed by channel 4, output pin 1 feeds"
                                 " channel 3, output pin 2 feeds channel 4 (pins and track channels count from 1)")) << dump.out;

    // The report lists each plug-in by its identity; the routed one is named too.
    const auto report = vorntest::runVornconvBinary ({ "--session-report", "live.rpp" }, tmp.path());
    EXPECT_EQ (report.exitCode, 0) << report.out;
    juce::var document;
    ASSERT_TRUE (juce::JSON::parse (juce::String::fromUTF8 (report.out.c_str()), document).wasOk()) << report.out;
    EXPECT_EQ ((int) document["totalPlugins"], 3);
    EXPECT_EQ ((int) document["uniquePlugins"], 3);
    juce::StringArray usage;
    if (auto* entries = document["pluginUsage"].getArray())
        for (const auto& entry : *entries)
            usage.add (entry["name"].toString() + "|" + entry["vendor"].toString() + "|" + entry["format"].toString());
    usage.sort (false);
    EXPECT_EQ (usage, juce::StringArray ({ "Bus Three|Acme|AU", "Comp Two|Acme|AU", "Synth One|Acme|AU" })) << report.out;
    EXPECT_EQ ((int) document["vnpm"]["skippedAudioUnits"], 3);

    // The manifest carries the identity and the encoding of each state.
    const auto manifest = vorntest::runVornconvBinary ({ "--manifest", "live.rpp" }, tmp.path());
    EXPECT_EQ (manifest.exitCode, 0) << manifest.out;
    juce::var m;
    ASSERT_TRUE (juce::JSON::parse (juce::String::fromUTF8 (manifest.out.c_str()), m).wasOk()) << manifest.out;
    const auto& keys = m["strips"][0]["plugins"];
    const auto& routed = m["strips"][1]["plugins"][0];
    EXPECT_EQ (keys[0]["encoding"].toString(), "audio-unit-plist");
    EXPECT_EQ ((juce::int64) keys[0]["uniqueId"], (juce::int64) (juce::int32) (vorntest::fourCc ("aumu") ^ vorntest::fourCc ("Syn1") ^ vorntest::fourCc ("Acme")));
    EXPECT_TRUE ((bool) keys[0]["coverage"]["state"]);
    EXPECT_EQ (keys[1]["encoding"].toString(), "audio-unit-plist");
    EXPECT_EQ (routed["encoding"].toString(), "opaque");
    EXPECT_EQ ((juce::int64) routed["uniqueId"], (juce::int64) (juce::int32) (vorntest::fourCc ("aufx") ^ vorntest::fourCc ("Bus3") ^ vorntest::fourCc ("Acme")));
    EXPECT_TRUE ((bool) routed["coverage"]["identity"]);
    EXPECT_FALSE ((bool) routed["coverage"]["state"]);
}

TEST (ReaperDump, AudioUnitHeadersAreReadByTheirOwnGrammarThroughTheProgram)
{
    // The header's type, subtype and manufacturer are its last three fields, whatever the quoted
    // fields before them hold: REAPER's preset name may be empty (and then leaves no token) or not.
    const auto plist = vorntest::auClassInfo ("aumf", "Trn2", "B4b1", "<key>data</key><data>AAEC</data>");
    const auto codes = std::to_string (vorntest::fourCc ("aumf")) + " " + std::to_string (vorntest::fourCc ("Trn2")) + " "
                     + std::to_string (vorntest::fourCc ("B4b1"));
    const auto identity = (juce::int64) (juce::int32) (vorntest::fourCc ("aumf") ^ vorntest::fourCc ("Trn2") ^ vorntest::fourCc ("B4b1"));
    const struct
    {
        const char* what;
        std::string fields;   // what stands between "<AU" and the state lines
        bool read;
    } cases[] = {
        { "a named preset", "\"AU: Transit 2 (BABY Audio)\" \"BABY Audio: Transit 2\" \"T2 addLooperation\" " + codes, true },
        { "no preset", "\"AU: Transit 2 (BABY Audio)\" \"BABY Audio: Transit 2\" \"\" " + codes, true },
        { "no component name and no preset", "\"AU: Transit 2 (BABY Audio)\" \"\" \"\" " + codes, true },
        { "a field after the codes", "\"AU: Transit 2 (BABY Audio)\" \"BABY Audio: Transit 2\" \"\" " + codes + " 0", false },
        { "two codes", "\"AU: Transit 2 (BABY Audio)\" \"BABY Audio: Transit 2\" \"\" " + std::to_string (vorntest::fourCc ("aumf")) + " "
                       + std::to_string (vorntest::fourCc ("Trn2")), false },
    };
    vorntest::TempFolder tmp;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        tmp.file ("chain.rpp").replaceWithText (
            "<REAPER_PROJECT 0.1 \"7.22/macOS-arm64\" 1720000000\n  <TRACK {0D6B2C1E-0000-4000-8000-000000000001}\n    NAME Vox\n"
            "    <FXCHAIN\n      BYPASS 0 0 0\n      <AU " + c.fields + "\n"
            + stateLines (vorntest::makeAudioUnitWrapper (vorntest::sequentialMasks (2), vorntest::sequentialMasks (2), plist))
            + "      >\n      FXID {5E1C0A11-0000-4000-8000-000000000001}\n    >\n  >\n>\n");

        const auto dump = vorntest::runVornconvBinary ({ "chain.rpp" }, tmp.path());
        EXPECT_EQ (dump.exitCode, 0) << dump.out;
        const auto row = "         [0] " + juce::String ("Transit 2").paddedRight (' ', 34) + juce::String ("BABY Audio").paddedRight (' ', 22) + "AU    ";
        if (c.read)
        {
            EXPECT_TRUE (dump.outLines().contains (row + "audio-unit-plist  split=NO raw=" + juce::String ((int) plist.getSize()) + "B")) << dump.out;
            EXPECT_FALSE (hasLineContaining (dump.outLines(), "plugin[0:0].state")) << dump.out;
        }
        else
        {
            EXPECT_TRUE (hasLineContaining (dump.outLines(), row + "opaque")) << dump.out;
            EXPECT_TRUE (dump.outLines().contains ("  DROPPED  plugin[0:0].state     REAPER AudioUnit identity is malformed")) << dump.out;
        }

        const auto manifest = vorntest::runVornconvBinary ({ "--manifest", "chain.rpp" }, tmp.path());
        EXPECT_EQ (manifest.exitCode, 0) << manifest.out;
        juce::var m;
        ASSERT_TRUE (juce::JSON::parse (juce::String::fromUTF8 (manifest.out.c_str()), m).wasOk()) << manifest.out;
        const auto& slot = m["strips"][0]["plugins"][0];
        EXPECT_EQ (slot["encoding"].toString(), c.read ? "audio-unit-plist" : "opaque");
        EXPECT_EQ ((juce::int64) slot["uniqueId"], c.read ? identity : 0);
        EXPECT_EQ ((bool) slot["coverage"]["identity"], c.read);
        EXPECT_EQ ((bool) slot["coverage"]["state"], c.read);
    }
}

TEST (ReaperDump, APinMapNoteNamesThePluginAndItsRoutingThroughTheProgram)
{
    // A Waves mono component as REAPER saves it: its one output pin fanned to both track channels.
    const std::string cid = "5657534331434D6331636F6D70206D6F";
    const auto wrapper = vorntest::makeWrapperWithMasks (1448297313u, { 1 }, { 3 }, vorntest::reaperMarkerFull, "COMP", "CONT",
                                                         vorntest::reaperSavedTail());
    vorntest::TempFolder tmp;
    tmp.file ("mono.rpp").replaceWithText (
        "<REAPER_PROJECT 0.1 \"7.22/macOS-arm64\" 1720000000\n  <TRACK {0D6B2C1E-0000-4000-8000-000000000001}\n    NAME Vox\n"
        "    <FXCHAIN\n      BYPASS 0 0 0\n      <VST \"VST3: C1 comp Mono (Waves)\" \"WaveShell1-VST3 15.vst3\" 0 \"\" 1448297313{" + cid + "} \"\"\n"
        + stateLines (wrapper) + "      >\n      FXID {5E1C0A11-0000-4000-8000-000000000001}\n    >\n  >\n>\n");

    const auto dump = vorntest::runVornconvBinary ({ "mono.rpp" }, tmp.path());
    EXPECT_EQ (dump.exitCode, 0) << dump.out;
    EXPECT_TRUE (dump.outLines().contains ("  DROPPED  plugin[0:0].state     REAPER VST3 pin-map is not the observed sequential topology:"
                                           " C1 comp Mono, output pin 1 feeds channels 1 and 2 (pins and track channels count from 1)"))
        << dump.out;

    // The export that cannot split the state says so in the same words.
    const auto exported = vorntest::runVornconvBinary ({ "--export-states", "states", "mono.rpp" }, tmp.path());
    EXPECT_EQ (exported.exitCode, 1) << exported.out;
    EXPECT_NE (exported.out.find ("refusing partial state export at strip 0, slot 0 (C1 comp Mono): its VST3 state could not be split"
                                        " into component and controller parts (REAPER VST3 pin-map is not the observed sequential"
                                        " topology: C1 comp Mono, output pin 1 feeds channels 1 and 2"),
               std::string::npos)
        << exported.out;
    EXPECT_FALSE (tmp.file ("states").exists());
}

// A project in which REAPER saved a plug-in's parameter values instead of its component state:
// the dump, the plan and the export name the plug-in and say what REAPER saved.
TEST (ReaperDump, ParameterValuesSavedInPlaceOfAStateAreNamedThroughTheProgram)
{
    const auto wrapper = vorntest::makeParameterValueWrapper (934538646u, 2, 2, { 0.5f, 0.25f, 1.0f, 0.0f, 0.75f, 0.125f },
                                                              vorntest::reaperSavedTail (""));
    vorntest::TempFolder tmp;
    tmp.file ("values.rpp").replaceWithText (
        "<REAPER_PROJECT 0.1 \"6.80/linux-x86_64\" 1690000000\n  <TRACK {0D6B2C1E-0000-4000-8000-000000000001}\n    NAME Vox\n"
        "    <FXCHAIN\n      BYPASS 0 0 0\n      <VST \"VST3: Pro-Q 3 (FabFilter)\" \"FabFilter Pro-Q 3.vst3\" 0 \"\" "
        "934538646{72C4DB717A4D459AB97E51745D84B39D} \"\"\n"
        + stateLines (wrapper) + "      >\n      FXID {5E1C0A11-0000-4000-8000-000000000001}\n    >\n  >\n>\n");
    const juce::String note = "REAPER saved the parameter values of Pro-Q 3 (6 values) instead of a component state; the state is "
                              "kept as bytes and cannot be carried";

    const auto dump = vorntest::runVornconvBinary ({ "values.rpp" }, tmp.path());
    EXPECT_EQ (dump.exitCode, 0) << dump.out;
    EXPECT_TRUE (dump.outLines().contains ("  DROPPED  plugin[0:0].state     " + note)) << dump.out;
    EXPECT_TRUE (hasLineContaining (dump.outLines(), "VST3  opaque  split=NO raw=98B")) << dump.out;

    const auto plan = vorntest::runVornconvBinary ({ "--plan", "reaper", "--profile", "1x8", "values.rpp" }, tmp.path());
    EXPECT_EQ (plan.exitCode, 1) << plan.out;
    EXPECT_TRUE (hasLineContaining (plan.outLines(), note)) << plan.out;

    const auto exported = vorntest::runVornconvBinary ({ "--export-states", "states", "values.rpp" }, tmp.path());
    EXPECT_EQ (exported.exitCode, 1) << exported.out;
    EXPECT_NE (exported.out.find ("(" + note.toStdString() + ")"), std::string::npos) << exported.out;
    EXPECT_FALSE (tmp.file ("states").exists());
}
