#include "ReaperFixtures.h"
#include "TestSupport.h"

#include "readers/ReaperRppReader.h"
#include "readers/ReaperRppText.h"

#include <gtest/gtest.h>

namespace
{

const juce::String cid = "ED57BD725C60467EA64DD2F400758B6F";

// A strict one-track project with one VST3 plug-in, as the converter writes it.
juce::String strictProject()
{
    const auto wrapper = vorntest::makeWrapper (934538646u, 2, 2, 0, "COMP", "CONT", vorntest::programTail());
    return "<REAPER_PROJECT 0.1 \"7.65/macOS-arm64\"\n"
           "  SAMPLERATE 48000 0 0\n"
           "  <TRACK " + vornconv::makeReaperStableTrackId (0) + "\n"
           "    NAME \"Kick\"\n"
           "    VOLPAN 1 0 -1 -1 1\n"
           "    MUTESOLO 0 0 0\n"
           "    IPHASE 0\n"
           "    PLAYOFFS 0 1\n"
           "    REC 0 -1 1 0 0 0 0 0\n"
           "    NCHAN 2\n"
           "    <EXT\n"
           "      VORN_CHANNEL_LAYOUT 2,2\n"
           "      VORN_PLUGIN_NAME_SLOT_0 50726F2D512034\n"
           "      VORN_PLUGIN_VENDOR_SLOT_0 46616246696C746572\n"
           "    >\n"
           "    FX 1\n"
           "    TRACKID " + vornconv::makeReaperStableTrackId (0) + "\n"
           "    MAINSEND 1 0\n"
           "    <FXCHAIN\n"
           "      SHOW 0\n"
           "      BYPASS 0 0 0\n"
           "      <VST \"VST3: Pro-Q 4 (FabFilter)\" \"FabFilter Pro-Q 4.vst3\" 0 \"\" 934538646{" + cid + "} \"\"\n"
           "        " + juce::Base64::toBase64 (wrapper.getData(), wrapper.getSize()) + "\n"
           "      >\n"
           "      FXID " + vornconv::makeReaperStableFxId (0, 0) + "\n"
           "    >\n"
           "  >\n"
           ">\n";
}

struct Files
{
    vorntest::TempFolder folder;
    juce::File input = folder.file ("a.rpp");
    juce::File catalog = folder.file ("cat.tsv");
    juce::File cache = folder.file ("rc.ini");

    Files()
    {
        input.replaceWithText (strictProject());
        catalog.replaceWithText (cid + "\tPro-Q 4\tFabFilter\t4.0\t/opt/vst3/FabFilter Pro-Q 4.vst3\n");
        cache.replaceWithText ("[vstcache]\nFabFilter_Pro-Q_4.vst3=0000000000000000,934538646{" + cid + ",Pro-Q 4 (FabFilter)\n");
    }
};

const char* const writerNote = "WARNING    exact converter reread passed for REAPER cache-verified multi-CID reaper-7.65-native-v1; host load pending";
// The probe session carries no audio setup of its own.
const juce::String noRateNote = juce::String::fromUTF8 (u8"WARNING    source sample rate가 없어 REAPER profile 설정을 유지했다");

} // namespace

TEST (ReaperConvert, ConvertAndStateProbeWriteVerifiedProjects)
{
    Files f;
    struct Case
    {
        const char* label;
        juce::StringArray extra;
        bool withCatalog;
        const char* prefix;
        juce::StringArray tail;
    };
    const Case cases[] = {
        { "convert", {}, true, "CANDIDATE  ", { writerNote } },
        { "slot probe", { "--reaper-state-probe", "0:0" }, true, "STATE PROBE  ", { writerNote, noRateNote } },
        { "normalized probe", { "--reaper-normalized-probe" }, true, "STATE PROBE  ", { writerNote, noRateNote } },
        { "unavailable plug-in", {}, false, "CANDIDATE  ", { writerNote, "UNAVAILABLE_PLUGINS 1" } },
        { "probe keeps the source's unavailable count", { "--reaper-normalized-probe" }, false, "STATE PROBE  ",
          { writerNote, noRateNote, "UNAVAILABLE_PLUGINS 1" } },
    };
    int n = 0;
    for (const auto& c : cases)
    {
        const auto output = f.folder.file ("out" + juce::String (n++) + ".rpp");
        juce::StringArray args { "--convert", "reaper", "--profile", "1x1", "--reaper-cache", f.cache.getFullPathName(),
                                 "--output", output.getFullPathName() };
        if (c.withCatalog)
            args.addArray ({ "--factory-catalog", f.catalog.getFullPathName() });
        args.addArray (c.extra);
        args.add (f.input.getFullPathName());
        const auto run = vorntest::invoke (args);
        juce::StringArray expected { c.prefix + f.input.getFullPathName() + " -> " + output.getFullPathName() };
        expected.addArray (c.tail);
        expected.add ({});
        EXPECT_EQ (run.lines, expected) << c.label << "\n" << run.lines.joinIntoString ("\n");
        EXPECT_EQ (run.status, 0) << c.label;
        const auto read = vornconv::readReaperRpp (output);
        EXPECT_EQ (read.status, vornconv::readComplete) << c.label;
        ASSERT_EQ (read.session.strips.size(), 1) << c.label;
        ASSERT_EQ (read.session.strips.getReference (0).plugins.size(), 1) << c.label;
        const auto& slot = read.session.strips.getReference (0).plugins.getReference (0);
        EXPECT_EQ (vorntest::stringOf (slot.state.component), "COMP") << c.label;
        EXPECT_EQ (slot.bypassed, ! c.withCatalog) << c.label;
    }

    const auto again = vorntest::invoke ({ "--convert", "reaper", "--profile", "1x1", "--factory-catalog", f.catalog.getFullPathName(),
                                           "--output", f.folder.file ("none.rpp").getFullPathName(), f.input.getFullPathName() });
    EXPECT_EQ (again.lines[0], "ERROR   REAPER internal profile requires a complete native cache identity for CID " + cid);
    EXPECT_EQ (again.status, 1);
    EXPECT_FALSE (f.folder.file ("none.rpp").exists());
}
