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
    EXPECT_TRUE (empty.outLines().contains ("ERROR   file empty or unreadable")) << empty.out;

    const auto exported = vorntest::runVornconvBinary ({ "--export-states", "ex", "A.rpp" }, tmp.path());
    EXPECT_EQ (exported.exitCode, 0) << exported.out;
    EXPECT_EQ (tmp.file ("ex/Pro-Q 4__0-0.comp").loadFileAsString(), "COMP");
    EXPECT_EQ (tmp.file ("ex/Pro-Q 4__0-0.cont").loadFileAsString(), "CONT");

    const auto manifest = vorntest::runVornconvBinary ({ "--manifest", "A.rpp" }, tmp.path());
    EXPECT_EQ (manifest.exitCode, 0) << manifest.out;
    EXPECT_NE (manifest.out.find ("\"reaper.rpp\""), std::string::npos) << manifest.out;
}
