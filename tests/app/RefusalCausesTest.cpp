// A newcomer's first mistakes, made through the program: asking for help, a misspelt option, a
// folder named as the input, an export of states that cannot be split, an edited selection that
// does not fit, a template that is not the one the writer clones. Each is answered by name, with
// the reason.

#include "TestSupport.h"

#include "model/JsonWriter.h"

#include <gtest/gtest.h>

namespace
{

const juce::File exampleScene (VORN_EXAMPLES_DIR "/stage-left.ksn");
const juce::File exampleCatalog (VORN_EXAMPLES_DIR "/stage-left-catalog.tsv");
const juce::File exampleReaperCache (VORN_EXAMPLES_DIR "/stage-left-reaper.ini");

std::string usageText()
{
    return juce::File (VORN_TEST_SOURCE_DIR "/app/usage.golden").loadFileAsString().toStdString();
}

// A REAPER project of one track holding a VST2 plug-in (REAPER's own ReaEQ), as REAPER saves it.
const char* const reaperVst2Project =
    "<REAPER_PROJECT 0.1 \"7.22/linux-x86_64\" 1712345678 0\n"
    "  SAMPLERATE 48000 1 0\n"
    "  <TRACK {1A2B3C4D-0000-4000-8000-000000000001}\n"
    "    NAME Vox\n"
    "    <FXCHAIN\n"
    "      BYPASS 0 0 0\n"
    "      <VST \"VST: ReaEQ (Cockos)\" reaeq.so 0 \"\" 1919247729<56535472656571726561657100000000> \"\"\n"
    "        cWVlcu5e7f4=\n"
    "      >\n"
    "      FXID {AAAAAAAA-0000-4000-8000-000000000002}\n"
    "    >\n"
    "  >\n"
    ">\n";

} // namespace

TEST (HelpOption, PrintsTheUsageAndSucceeds)
{
    vorntest::ProgramSandbox box;
    for (const auto& args : std::vector<std::vector<std::string>> { { "--help" }, { "-h" }, { "--tree", "--help", "show.ksn" } })
    {
        const auto run = box.run (args);
        EXPECT_EQ (run.exitCode, 0) << args[0];
        EXPECT_EQ (run.out, usageText()) << args[0];
        EXPECT_EQ (run.err, "");
    }
}

// A word that begins with "-" and is no option is named before anything runs, so that a misspelt
// option never leaves a run going on without it; a file of such a name is given with its folder.
TEST (OptionLikeWords, AreRefusedByNameBeforeAnythingRuns)
{
    vorntest::ProgramSandbox box;
    ASSERT_TRUE (exampleScene.copyFileTo (box.work.getChildFile ("show.ksn")));
    ASSERT_TRUE (exampleCatalog.copyFileTo (box.work.getChildFile ("cat.tsv")));
    struct Case { std::vector<std::string> args; juce::String refusal; };
    const auto unknown = [] (const juce::String& word) {
        return "ERROR   unknown option: " + word + " (an input file of this name is given as ./" + word + ")";
    };
    const Case cases[] = {
        { { "--convert", "vorn", "--factory-catalogue", "cat.tsv", "--output", "new.ksn", "show.ksn" }, unknown ("--factory-catalogue") },
        { { "--PLAN", "vorn", "show.ksn" }, unknown ("--PLAN") },
        { { "show.ksn", "-x.ksn" }, unknown ("-x.ksn") },
        { { "-", "show.ksn" }, unknown ("-") },
        { { "--convert", "vorn", "--output", "new.ksn", "show.ksn", "--factory-catalog" },
          "ERROR   option --factory-catalog takes a value, and none follows it" },
        { { "show.ksn", "--output" }, "ERROR   option --output takes a value, and none follows it" },
        // Before the operation count, too.
        { { "--plan", "vorn", "--convert", "vorn", "--Output", "new.ksn", "show.ksn" }, unknown ("--Output") },
    };
    for (const auto& c : cases)
    {
        const auto run = box.run (c.args);
        EXPECT_EQ (run.exitCode, 1) << c.refusal;
        EXPECT_EQ (run.outLines(), juce::StringArray (c.refusal));
        EXPECT_FALSE (box.work.getChildFile ("new.ksn").exists()) << c.refusal;
    }

    // The same name given with its folder is a file like any other.
    ASSERT_TRUE (exampleScene.copyFileTo (box.work.getChildFile ("-x.ksn")));
    const auto dumped = box.run ({ "./-x.ksn" });
    EXPECT_EQ (dumped.exitCode, 0) << dumped.out;
    EXPECT_TRUE (dumped.outLines().contains ("FILE    " + box.path ("-x.ksn"))) << dumped.out;
    EXPECT_TRUE (dumped.outLines().contains ("READ    complete")) << dumped.out;
}

TEST (FolderAsInput, IsNamedAsAFolderInEveryOperation)
{
    vorntest::ProgramSandbox box;
    for (const auto* name : { "d.ksn", "d.rpp", "d.rack2", "d.sprk", "d.emo", "d" })
        ASSERT_TRUE (box.work.getChildFile (name).createDirectory());
    box.write ("sel.json", "{}");
    ASSERT_TRUE (exampleScene.copyFileTo (box.work.getChildFile ("show.ksn")));
    ASSERT_TRUE (exampleCatalog.copyFileTo (box.work.getChildFile ("cat.tsv")));
    const std::vector<std::vector<std::string>> runs = {
        { "d.ksn" },
        { "d" },
        { "d.sprk" },
        { "--manifest", "d.rpp" },
        { "--tree", "d.rack2" },
        { "--export-states", "out", "d.ksn" },
        { "--session-report", "d.ksn" },
        { "--session-report", "d.rpp" },
        { "--session-report", "d.rack2" },
        { "--session-report", "d.sprk" },
        { "--plan", "vorn", "--factory-catalog", "cat.tsv", "d.ksn" },
        { "--plan", "reaper", "--factory-catalog", "cat.tsv", "d.rpp" },
        { "--selection-report", "vorn", "d.rack2" },
        { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "new.ksn", "d.rpp" },
        { "--convert", "reaper", "--profile", "4x4", "--factory-catalog", "cat.tsv", "--output", "new.rpp", "d.sprk" },
        { "--waves-selection-report", "waves-lv1", "d.sprk" },
        { "--waves-selection-report", "superrack-soundgrid", "d.emo" },
        { "--waves-convert", "superrack-soundgrid", "--selection", "sel.json", "--template", "show.ksn", "--output", "new.sprk", "d.emo" },
    };
    for (const auto& args : runs)
    {
        const auto folder = box.work.getChildFile (args.back());
        const auto run = box.run (args);
        EXPECT_EQ (run.exitCode, 1) << args[0];
        bool named = false;
        for (const auto& line : run.outLines())
        {
            const bool refusal = line.startsWith ("ERROR   ") || line.startsWith ("  BLOCKER ");
            named = named || (refusal && line.endsWith ("a folder, not a file: " + folder.getFullPathName()));
        }
        EXPECT_TRUE (named) << args[0] << " " << args.back() << "\n" << run.out;
        EXPECT_EQ (run.out.find ("file not found"), std::string::npos) << run.out;
    }
    EXPECT_EQ (box.work.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 9);
    EXPECT_EQ (box.tmpEntries(), 0);
}

// The export writes component and controller parts; a state that has none says which plug-in
// holds it and why.
TEST (StateExportRefusal, NamesThePluginAndWhyItsStateDoesNotSplit)
{
    vorntest::ProgramSandbox box;
    box.write ("vox.rpp", reaperVst2Project);
    const auto run = box.run ({ "--export-states", "states", "vox.rpp" });
    EXPECT_EQ (run.exitCode, 1);
    const auto lines = run.outLines();
    ASSERT_GE (lines.size(), 2);
    EXPECT_EQ (lines[lines.size() - 2], "ERROR   refusing partial state export at strip 0, slot 0 (ReaEQ): its VST2 state is one "
                                        "block, not the component and controller parts an export writes");
    EXPECT_FALSE (box.work.getChildFile ("states").exists());
}

// An edited selection that does not fit names the channel or plug-in entry, its index and the
// limit, or the plug-in and the channel it needs.
TEST (SelectionRefusals, NameTheEntryTheIndexAndTheLimit)
{
    vorntest::ProgramSandbox box;
    ASSERT_TRUE (exampleScene.copyFileTo (box.work.getChildFile ("show.ksn")));
    ASSERT_TRUE (exampleCatalog.copyFileTo (box.work.getChildFile ("cat.tsv")));
    const auto report = box.run ({ "--selection-report", "vorn", "show.ksn" });
    ASSERT_EQ (report.exitCode, 0) << report.out;

    using Edit = std::function<void (juce::var& channels)>;
    struct Case { const char* what; Edit edit; juce::String refusal; };
    const Case cases[] = {
        { "a channel beyond the target", [] (juce::var& c) { c[3].getDynamicObject()->setProperty ("targetIndex", 64); },
          "selection channel mapping is out of range or duplicated: channels[3] (source index 3) targetIndex 64 is "
          "outside the target's 64 strips (0 to 63)" },
        { "two channels on one strip", [] (juce::var& c) { c[2].getDynamicObject()->setProperty ("targetIndex", 0); },
          "selection channel mapping is out of range or duplicated: channels[2] (source index 2) targetIndex 0 is "
          "taken by channels[0] too" },
        { "a plug-in beyond the target's slots",
          [] (juce::var& c) { c[1]["plugins"][0].getDynamicObject()->setProperty ("targetSlot", 8); },
          "selection plugin mapping is out of range, absent, or duplicated: channels[1] (source index 1) plugins[0] "
          "targetSlot 8 is outside the target's 8 slots (0 to 7)" },
        { "the key channel left out", [] (juce::var& c) { c[0].getDynamicObject()->setProperty ("selected", false); },
          "selected sidechain plugin requires a channel that was not selected: \"Gate One\" in slot 2 of source "
          "index 1 takes its sidechain from source index 0, which is not kept" },
    };
    for (const auto& c : cases)
    {
        auto document = juce::JSON::parse (juce::String::fromUTF8 (report.out.c_str()));
        auto channels = document["channels"];
        c.edit (channels);
        box.write ("sel.json", vornconv::json::toJsonLine (document));
        const auto run = box.run ({ "--convert", "vorn", "--factory-catalog", "cat.tsv", "--selection", "sel.json", "--output",
                                    "new.ksn", "show.ksn" });
        EXPECT_EQ (run.exitCode, 1) << c.what;
        juce::StringArray expected ("ERROR   --selection: " + c.refusal + " (in " + box.path ("sel.json") + ")");
        expected.add ({}); // main's empty line
        EXPECT_EQ (run.outLines(), expected) << c.what;
        EXPECT_FALSE (box.work.getChildFile ("new.ksn").exists()) << c.what;
    }
}

// A REAPER template is one track with one VST3 plug-in whose state decodes: anything else is
// refused saying what it holds.
TEST (TemplateRefusals, AReaperTemplateSaysWhatItHolds)
{
    vorntest::ProgramSandbox box;
    ASSERT_TRUE (exampleScene.copyFileTo (box.work.getChildFile ("show.ksn")));
    ASSERT_TRUE (exampleCatalog.copyFileTo (box.work.getChildFile ("cat.tsv")));
    ASSERT_TRUE (exampleReaperCache.copyFileTo (box.work.getChildFile ("reaper.ini")));
    const std::vector<std::string> convert = { "--convert", "reaper", "--profile", "16x8", "--io", "16x16", "--factory-catalog",
                                               "cat.tsv", "--reaper-cache", "reaper.ini" };
    auto withArgs = [&convert] (std::vector<std::string> more) {
        auto args = convert;
        args.insert (args.end(), more.begin(), more.end());
        return args;
    };
    const auto first = box.run (withArgs ({ "--output", "show.rpp", "show.ksn" }));
    ASSERT_EQ (first.exitCode, 0) << first.out;
    box.write ("vox.rpp", reaperVst2Project);

    struct Case { const char* templateName; juce::String refusal; };
    const Case cases[] = {
        { "show.rpp", "REAPER template must contain one strictly decoded VST3 state: it holds 16 tracks" },
        { "vox.rpp", "REAPER template must contain one strictly decoded VST3 state: ReaEQ's format is VST2, not VST3" },
    };
    for (const auto& c : cases)
    {
        const auto run = box.run (withArgs ({ "--template", c.templateName, "--output", "new.rpp", "show.ksn" }));
        EXPECT_EQ (run.exitCode, 1) << c.templateName;
        EXPECT_TRUE (run.outLines().contains ("ERROR   --template: " + c.refusal + " (in " + box.path (c.templateName) + ")")) << run.out;
        EXPECT_FALSE (box.work.getChildFile ("new.rpp").exists());
    }
}

// A refusal about an input file names it, once, in every operation, whatever the reader's own
// words: a file that is not there, one its reader cannot make sense of, one that is no value tree;
// and a factory catalog that is not there is refused by every operation that takes one.
TEST (InputRefusals, NameTheInputInEveryOperation)
{
    vorntest::ProgramSandbox box;
    ASSERT_TRUE (exampleScene.copyFileTo (box.work.getChildFile ("show.ksn")));
    ASSERT_TRUE (exampleCatalog.copyFileTo (box.work.getChildFile ("cat.tsv")));
    box.write ("broken.ksn", "<VornLiveScene");
    box.write ("empty.rpp", "");
    box.write ("junk.rack2", "junk");
    box.write ("sel.json", "{}");
    const auto missing = [&box] (const char* name) { return "file not found: " + box.path (name); };
    const auto saying = [&box] (const char* name, const char* reason) { return reason + juce::String (" (in ") + box.path (name) + ")"; };
    const struct
    {
        std::vector<std::string> args;
        const char* file;     // the file the refusal is about
        juce::String refusal; // how the one refusal line (ERROR, or a plan's BLOCKER) ends
    } cases[] = {
        { { "nofile.rack2" }, "nofile.rack2", missing ("nofile.rack2") },
        { { "--manifest", "nofile.ksn" }, "nofile.ksn", missing ("nofile.ksn") },
        { { "--tree", "junk.rack2" }, "junk.rack2", saying ("junk.rack2", "ValueTree parse failed") },
        { { "--session-report", "nofile.ksn" }, "nofile.ksn", missing ("nofile.ksn") },
        { { "--session-report", "nofile.sprk" }, "nofile.sprk", missing ("nofile.sprk") },
        { { "--session-report", "broken.ksn" }, "broken.ksn", saying ("broken.ksn", "XML parse failed") },
        { { "--selection-report", "reaper", "--profile", "16x8", "nofile.rpp" }, "nofile.rpp", missing ("nofile.rpp") },
        { { "--selection-report", "reaper", "--profile", "16x8", "empty.rpp" }, "empty.rpp", saying ("empty.rpp", "file empty or unreadable") },
        { { "--plan", "vorn", "--factory-catalog", "cat.tsv", "nofile.rack2" }, "nofile.rack2", missing ("nofile.rack2") },
        { { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "new.ksn", "nofile.rpp" }, "nofile.rpp", missing ("nofile.rpp") },
        { { "--waves-selection-report", "waves-lv1", "nofile.sprk" }, "nofile.sprk", "Waves source is unavailable: " + box.path ("nofile.sprk") },
        { { "--waves-convert", "waves-lv1", "--selection", "sel.json", "--template", "show.ksn", "--output", "new.emo", "nofile.sprk" },
          "nofile.sprk", "Waves source is unavailable: " + box.path ("nofile.sprk") },
        { { "--waves-convert", "waves-lv1", "--selection", "sel.json", "--template", "nofile.emo", "--output", "new.emo", "show.ksn" },
          "nofile.emo", "--template: " + missing ("nofile.emo") },
        { { "--session-report", "--factory-catalog", "nofile.tsv", "show.ksn" }, "nofile.tsv", box.path ("nofile.tsv") },
        { { "--plan", "vorn", "--factory-catalog", "nofile.tsv", "show.ksn" }, "nofile.tsv", box.path ("nofile.tsv") },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.refusal);
        const auto run = box.run (c.args);
        EXPECT_EQ (run.exitCode, 1);
        juce::StringArray refusals;
        for (const auto& line : run.outLines())
            if (line.startsWith ("ERROR   ") || line.startsWith ("  BLOCKER "))
                refusals.add (line);
        ASSERT_EQ (refusals.size(), 1) << run.out;
        EXPECT_TRUE (refusals[0].endsWith (c.refusal)) << refusals[0];
        const auto path = box.path (c.file);
        EXPECT_EQ (refusals[0].indexOf (path), refusals[0].lastIndexOf (path)) << "named more than once: " << refusals[0];
        EXPECT_FALSE (box.work.getChildFile ("new.ksn").exists() || box.work.getChildFile ("new.emo").exists());
    }
    EXPECT_EQ (box.tmpEntries(), 0);
}

// LiveProfessor's own plug-in list, which no option names (the program reads it below $HOME): a
// refusal of what it holds names it, so that a user knows which file to look at.
TEST (InputRefusals, LiveProfessorsOwnPluginListIsNamed)
{
    vorntest::ProgramSandbox box;
    ASSERT_TRUE (exampleScene.copyFileTo (box.work.getChildFile ("show.ksn")));
    ASSERT_TRUE (exampleCatalog.copyFileTo (box.work.getChildFile ("cat.tsv")));
    box.write ("probe.sh", "#!/bin/sh\n");
    const auto list = box.liveProfessorList();
    ASSERT_TRUE (list.getParentDirectory().createDirectory());
    const auto in = " (in " + list.getFullPathName() + ")";
    const struct
    {
        const char* text;
        juce::String error;
    } cases[] = {
        { "not xml", "LiveProfessor plugin catalog XML parse failed" + in },
        { "<x/>", "LiveProfessor plugin catalog root is not PROPERTIES" + in },
        { "<PROPERTIES><VALUE name=\"Other\"/></PROPERTIES>", "LiveProfessor KnownPluginList does not resolve uniquely" + in },
        { "<PROPERTIES><VALUE name=\"KnownPluginList\"><OTHER/></VALUE></PROPERTIES>", "LiveProfessor KNOWNPLUGINS node is missing" + in },
        { "<PROPERTIES><VALUE name=\"KnownPluginList\"><KNOWNPLUGINS/></VALUE></PROPERTIES>",
          "LiveProfessor plugin catalog has no supported records" + in },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.text);
        ASSERT_TRUE (list.replaceWithText (c.text));
        const auto run = box.run ({ "--plan", "liveprofessor", "--plugin-probe", "probe.sh", "--parameter-cache", "cache", "--factory-catalog",
                                    "cat.tsv", "show.ksn" });
        EXPECT_EQ (run.exitCode, 1);
        EXPECT_EQ (run.outLines(), juce::StringArray ("ERROR   " + c.error)) << run.out;
    }
    EXPECT_EQ (box.tmpEntries(), 0);
}
