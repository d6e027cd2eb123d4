// A run does what was asked or refuses before it starts, and every refusal names its thing and the
// way on: options an operation does not take, options given twice, a forgotten target word, a
// selection that holds a key the report never writes, an export of several inputs, plan and
// convert refusing alike, files given to the wrong option, what supplies a missing identity or
// template, and the selections the README invites. All through the program, on the bundled example.

#include "TestSupport.h"

#include "app/HostRegistry.h"
#include "model/JsonWriter.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{

const juce::File examples (VORN_EXAMPLES_DIR);

// The program's sandbox with the example scene, its catalog and its REAPER cache.
struct ExampleSandbox : vorntest::ProgramSandbox
{
    ExampleSandbox()
    {
        examples.getChildFile ("stage-left.ksn").copyFileTo (work.getChildFile ("show.ksn"));
        examples.getChildFile ("stage-left-catalog.tsv").copyFileTo (work.getChildFile ("cat.tsv"));
        examples.getChildFile ("stage-left-reaper.ini").copyFileTo (work.getChildFile ("reaper.ini"));
    }

    // The example scene with one text replaced, under another name.
    void sceneWith (const juce::String& name, const juce::String& from, const juce::String& to) const
    {
        const auto text = work.getChildFile ("show.ksn").loadFileAsString();
        ASSERT_TRUE (text.contains (from)) << from;
        write (name, text.replace (from, to));
    }

    // The selection report the program prints for args, edited, written to name.
    void editedSelection (const std::vector<std::string>& args, const std::function<void (juce::Array<juce::var>&)>& edit,
                          const juce::String& name) const
    {
        const auto report = run (args);
        ASSERT_EQ (report.exitCode, 0) << report.out;
        auto document = juce::JSON::parse (juce::String::fromUTF8 (report.out.c_str()));
        ASSERT_NE (document["channels"].getArray(), nullptr) << report.out;
        edit (*document["channels"].getArray());
        write (name, vornconv::json::toJsonLine (document));
    }
};

void setProperty (juce::var& object, const char* key, const juce::var& value)
{
    object.getDynamicObject()->setProperty (key, value);
}

std::vector<std::string> joined (std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert (a.end(), b.begin(), b.end());
    return a;
}

juce::StringArray linesStartingWith (const vorntest::ProcessResult& run, const juce::String& prefix)
{
    juce::StringArray found;
    for (const auto& line : run.outLines())
        if (line.startsWith (prefix))
            found.add (line);
    return found;
}

juce::String issueLine (const char* severity, const juce::String& code, const juce::String& message)
{
    return "  " + juce::String (severity) + " " + code.paddedRight (' ', 36) + message;
}

const std::vector<std::string> reaperOptions = { "--profile", "16x8", "--io", "16x16", "--factory-catalog", "cat.tsv",
                                                 "--reaper-cache", "reaper.ini" };

} // namespace

// Each operation takes its own options: one it does not take, or one given twice, is refused by
// name before anything runs (no banner, no file), and so is an option word taken as the value of
// another option.
TEST (OperationOptions, AnOptionNotTakenGivenTwiceOrTakenAsAValueIsRefusedByName)
{
    ExampleSandbox box;
    struct Case { std::vector<std::string> args; juce::String refusal; };
    const Case cases[] = {
        { { "--output", "out/z.ksn", "show.ksn" },
          "--output is not an option of a dump (no operation); it goes with --convert or --waves-convert" },
        { { "--factory-catalog", "cat.tsv", "show.ksn" },
          "--factory-catalog is not an option of a dump (no operation); it goes with --plan, --convert or --session-report" },
        { { "--export-states", "out", "--tree", "show.ksn" },
          "--tree is not an option of --export-states; it goes with a dump (no operation)" },
        { { "--session-report", "--reaper-cache", "reaper.ini", "show.ksn" },
          "--reaper-cache is not an option of --session-report; it goes with --plan or --convert" },
        { { "--plan", "vorn", "--factory-catalog", "cat.tsv", "--output", "out/z.ksn", "show.ksn" },
          "--output is not an option of --plan vorn; it goes with --convert or --waves-convert" },
        { { "--selection-report", "vorn", "--profile", "4x3", "show.ksn" },
          "--profile is not an option of --selection-report vorn; it goes with --plan, --convert or --selection-report "
          "toward liveprofessor or reaper" },
        { { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--template", "cat.tsv", "--output", "out/z.ksn", "show.ksn" },
          "--template is not an option of --convert vorn; it goes with --plan or --convert toward superrack-performer, "
          "liveprofessor or reaper, or with --waves-convert" },
        { { "--selection-report", "reaper", "--factory-catalog", "cat.tsv", "show.ksn" },
          "--factory-catalog is not an option of --selection-report reaper; it goes with --plan, --convert or --session-report" },
        { { "--convert", "vorn", "--convert", "reaper", "--factory-catalog", "cat.tsv", "--output", "out/z.ksn", "show.ksn" },
          "--convert is given twice; give it once" },
        { { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "out/a.ksn", "--output", "out/b.ksn", "show.ksn" },
          "--output is given twice; give it once" },
        { { "--plan", "vorn", "--plan", "reaper", "show.ksn" }, "--plan is given twice; give it once" },
        { { "--tree", "--tree", "show.ksn" }, "--tree is given twice; give it once" },
        // A forgotten value: the next option word was taken for it.
        { { "--plan", "--factory-catalog", "cat.tsv", "show.ksn" }, "--plan takes a target word; got --factory-catalog" },
        { { "--convert", "vorn", "--output", "--factory-catalog", "cat.tsv", "show.ksn" },
          "--output takes the new file; got --factory-catalog" },
    };
    for (const auto& c : cases)
    {
        const auto run = box.run (c.args);
        EXPECT_EQ (run.exitCode, 1) << c.refusal;
        EXPECT_EQ (run.outLines(), juce::StringArray ("ERROR   " + c.refusal)) << run.out;
    }
    EXPECT_FALSE (box.work.getChildFile ("out").exists());
    EXPECT_EQ (box.tmpEntries(), 0);
}

// A key that the report never writes (a misspelt "selected") is refused with its place, as the
// Waves selection refuses it, by the plan and the convert alike; the channel is not written.
TEST (ConversionSelection, AnUnknownKeyIsRefusedWithItsLineAndColumn)
{
    ExampleSandbox box;
    box.editedSelection ({ "--selection-report", "reaper", "--profile", "16x8", "show.ksn" },
                         [] (juce::Array<juce::var>& channels) { setProperty (channels.getReference (0), "selectd", false); },
                         "sel.json");
    const auto text = box.work.getChildFile ("sel.json").loadFileAsString();
    const int column = text.indexOf ("\"selectd\"") + 1;
    ASSERT_GT (column, 0);
    const juce::String refusal = "ERROR   --selection: selection schema is invalid: unknown key \"selectd\" in channels[0] at line 1, "
                                 "column " + juce::String (column) + " (in " + box.path ("sel.json") + ")";

    const auto plan = box.run (joined ({ "--plan", "reaper" }, joined (reaperOptions, { "--selection", "sel.json", "show.ksn" })));
    EXPECT_EQ (plan.exitCode, 1);
    EXPECT_EQ (vorntest::errorLines (plan), juce::StringArray (refusal)) << plan.out;
    const auto convert = box.run (joined ({ "--convert", "reaper" },
                                          joined (reaperOptions, { "--selection", "sel.json", "--output", "kick.rpp", "show.ksn" })));
    EXPECT_EQ (convert.exitCode, 1);
    EXPECT_EQ (vorntest::errorLines (convert), juce::StringArray (refusal)) << convert.out;
    EXPECT_FALSE (box.work.getChildFile ("kick.rpp").exists());
}

// An export of several inputs would leave the first one's files when a later one is refused: it
// is refused before anything is read or written.
TEST (StateExportOfSeveralInputs, IsRefusedBeforeAnythingIsWritten)
{
    ExampleSandbox box;
    ASSERT_TRUE (box.work.getChildFile ("show.ksn").copyFileTo (box.work.getChildFile ("again.ksn")));
    const auto run = box.run ({ "--export-states", "states", "show.ksn", "again.ksn" });
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (run.outLines(), juce::StringArray ("ERROR   --export-states takes one input file (2 were given); export each on its own"));
    EXPECT_FALSE (box.work.getChildFile ("states").exists());
}

// Plan and convert share their first half: a refusal is the same blocker with the same key in
// both (the convert then says what to do), and the plan of a state probe plans the probe session.
TEST (PlanAndConvert, RefuseWithTheSameBlockersAndPlanTheSessionTheConvertWrites)
{
    ExampleSandbox box;
    struct Case
    {
        const char* what;
        std::vector<std::string> options;
        const char* extension;
        juce::String blocker;    // one blocker line both print
        juce::String refusal;    // the convert's last line
    };
    const Case cases[] = {
        { "REAPER without --profile", { "reaper", "--factory-catalog", "cat.tsv", "--reaper-cache", "reaper.ini" }, ".rpp",
          issueLine ("BLOCKER", "target.profile", juce::String::fromUTF8 (u8"가변 구조 호스트의 source-shaped output profile이 제공되지 않았다")),
          "ERROR   REAPER writer requires --profile <strips>x<slots>" },
        { "SuperRack Performer without --template", { "superrack-performer", "--factory-catalog", "cat.tsv" }, ".sprk",
          issueLine ("BLOCKER", "target.template",
                     "SuperRack writer requires a verified 5.0.0.19 host-save base: --template supplies it (a session "
                     "SuperRack Performer 5.0.0.19 saved)"),
          "ERROR   SuperRack writer requires a verified 5.0.0.19 host-save base: --template supplies it (a session SuperRack "
          "Performer 5.0.0.19 saved)" },
    };
    for (const auto& c : cases)
    {
        const auto plan = box.run (joined (joined ({ "--plan" }, c.options), { "show.ksn" }));
        const auto convert = box.run (joined (joined ({ "--convert" }, c.options), { "--output", std::string ("out") + c.extension, "show.ksn" }));
        EXPECT_EQ (plan.exitCode, 1) << c.what;
        EXPECT_EQ (convert.exitCode, 1) << c.what;
        EXPECT_TRUE (plan.outLines().contains (c.blocker)) << c.what << "\n" << plan.out;
        EXPECT_EQ (linesStartingWith (convert, "  BLOCKER "), linesStartingWith (plan, "  BLOCKER ")) << c.what << "\n" << convert.out;
        EXPECT_EQ (vorntest::errorLines (convert), juce::StringArray (c.refusal)) << c.what << "\n" << convert.out;
    }

    // The probe session holds the first strip's plug-in only: the plan counts what the convert writes.
    const auto probeOptions = joined (reaperOptions, { "--reaper-state-probe", "0:0" });
    const auto plan = box.run (joined (joined ({ "--plan", "reaper" }, probeOptions), { "show.ksn" }));
    EXPECT_EQ (plan.exitCode, 0) << plan.out;
    EXPECT_TRUE (plan.outLines().contains ("  state probe session: --reaper-state-probe 0:0")) << plan.out;
    EXPECT_TRUE (plan.outLines().contains ("  plugins=1 state-portable=1 identity-resolved=1")) << plan.out;
    const auto convert = box.run (joined (joined ({ "--convert", "reaper" }, probeOptions), { "--output", "probe.rpp", "show.ksn" }));
    EXPECT_EQ (convert.exitCode, 0) << convert.out;
    const auto dump = box.run ({ "probe.rpp" });
    EXPECT_TRUE (dump.outLines().contains ("RACK    16 strips (1 in use), 1 plugins, 0 snapshots")) << dump.out;
    EXPECT_FALSE (box.work.getChildFile ("out.rpp").exists());
    EXPECT_FALSE (box.work.getChildFile ("out.sprk").exists());
    EXPECT_EQ (box.tmpEntries(), 0);
}

// A file given to an option is refused naming the option and the file, and, when it is not of the
// kind the option reads, what the option takes; a folder is a folder for options as for inputs.
TEST (OptionFiles, ARefusalNamesTheOptionTheFileAndWhatTheOptionTakes)
{
    ExampleSandbox box;
    for (const auto* name : { "d", "d.rpp", "d.ksn" })
        ASSERT_TRUE (box.work.getChildFile (name).createDirectory());
    box.write ("bad.tsv", box.work.getChildFile ("cat.tsv").loadFileAsString() + "not\ta row\n");
    box.write ("chain.RfxChain", "<REAPER_FXCHAIN\n>\n");
    const auto path = [&box] (const char* name) { return box.path (name); };
    const juce::String takesCatalog = "; --factory-catalog takes a catalog as vornvst3catalog prints it";
    const juce::String takesCache = "; --reaper-cache takes REAPER's VST plug-in cache, reaper-vstplugins64.ini";

    struct Case { std::vector<std::string> args; juce::String refusal; };
    const Case cases[] = {
        { { "--plan", "reaper", "--profile", "16x8", "--factory-catalog", "cat.tsv", "--reaper-cache", "cat.tsv", "show.ksn" },
          "--reaper-cache: REAPER VST cache has no entries matching the module index in " + path ("cat.tsv") + takesCache },
        { { "--plan", "reaper", "--profile", "16x8", "--factory-catalog", "reaper.ini", "show.ksn" },
          "--factory-catalog: invalid factory catalog row (expected 5 or 6 tab-separated columns) at line 1 of " + path ("reaper.ini")
              + takesCatalog },
        { { "--plan", "vorn", "--factory-catalog", "bad.tsv", "show.ksn" },
          "--factory-catalog: invalid factory catalog row (expected 5 or 6 tab-separated columns) at line 3 of " + path ("bad.tsv")
              + takesCatalog },
        { { "--plan", "vorn", "--factory-catalog", "missing.tsv", "show.ksn" }, "--factory-catalog: file not found: " + path ("missing.tsv") },
        { { "--plan", "vorn", "--factory-catalog", "d", "show.ksn" }, "--factory-catalog: a folder, not a file: " + path ("d") },
        { { "--plan", "reaper", "--profile", "16x8", "--factory-catalog", "cat.tsv", "--reaper-cache", "d", "show.ksn" },
          "--reaper-cache: a folder, not a file: " + path ("d") },
        { { "--plan", "vorn", "--factory-catalog", "cat.tsv", "--selection", "d", "show.ksn" }, "--selection: a folder, not a file: " + path ("d") },
        { joined (joined ({ "--convert", "reaper" }, reaperOptions), { "--template", "d.rpp", "--output", "n.rpp", "show.ksn" }),
          "--template: a folder, not a file: " + path ("d.rpp") },
        { { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "d.ksn", "show.ksn" }, "--output: a folder, not a file: " + path ("d.ksn") },
        { { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "show.ksn/x.ksn", "show.ksn" },
          "--output: could not create output directory " + path ("show.ksn") + ": Not a directory (" + path ("show.ksn")
              + " is a file, not a folder)" },
        { { "--export-states", "show.ksn/states", "show.ksn" },
          "--export-states: could not create state export directory " + path ("show.ksn/states") + ": Not a directory ("
              + path ("show.ksn") + " is a file, not a folder)" },
        { { "chain.RfxChain" }, "unrecognised extension: .RfxChain (" + vornconv::app::inputKindsRead() + "): " + path ("chain.RfxChain") },
    };
    for (const auto& c : cases)
    {
        const auto run = box.run (c.args);
        EXPECT_EQ (run.exitCode, 1) << c.refusal;
        EXPECT_EQ (vorntest::errorLines (run), juce::StringArray ("ERROR   " + c.refusal)) << run.out;
    }
    EXPECT_FALSE (box.work.getChildFile ("n.rpp").exists());
    EXPECT_EQ (box.tmpEntries(), 0);
}

// Every other refusal of a file or folder given to an option names the option and the path: the
// selection (not there, not a regular file, not a selection, made for another target), the
// template (its extension, a link to nothing, not a regular file, not a template), the output
// (its extension, one that stands there) and the export folder (a state file that stands there).
// A plan blocks a template as its convert refuses it.
TEST (OptionFiles, EveryRefusalOfAnOptionsFileOrFolderNamesTheOptionAndThePath)
{
    ExampleSandbox box;
    const auto path = [&box] (const char* name) { return box.path (name); };
    for (const auto* name : { "fifo.json", "fifo.rpp" })
        ASSERT_EQ (::mkfifo (path (name).toRawUTF8(), 0600), 0);
    for (const auto* name : { "gone.json", "gone.rpp" })
        ASSERT_EQ (::symlink ("nowhere", path (name).toRawUTF8()), 0);
    box.write ("notes.txt", "not a template");
    box.write ("bad.rpp", "not a project");
    box.write ("states/FreqShaper__0-0.comp", "kept");
    box.editedSelection ({ "--selection-report", "reaper", "--profile", "16x8", "show.ksn" }, [] (juce::Array<juce::var>&) {},
                         "reaper.json");

    const auto plan = [] (std::vector<std::string> options) { return joined (joined ({ "--plan", "vorn", "--factory-catalog", "cat.tsv" }, options), { "show.ksn" }); };
    const auto toReaper = [] (const char* templateFile)
    {
        return joined (joined ({ "--convert", "reaper" }, reaperOptions), { "--template", templateFile, "--output", "n.rpp", "show.ksn" });
    };
    const auto toVorn = [] (const char* output)
    {
        return std::vector<std::string> { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", output, "show.ksn" };
    };
    struct Case { std::vector<std::string> args; juce::String refusal; };
    const Case cases[] = {
        { plan ({ "--selection", "none.json" }), "--selection: file not found: " + path ("none.json") },
        { plan ({ "--selection", "gone.json" }), "--selection: file not found: " + path ("gone.json") },
        { plan ({ "--selection", "fifo.json" }), "--selection: selection file cannot be read: not a regular file: " + path ("fifo.json") },
        { plan ({ "--selection", "cat.tsv" }), "--selection: selection schema is invalid: integer out of range at line 1, column 1 (in "
                                                   + path ("cat.tsv") + ")" },
        { plan ({ "--selection", "reaper.json" }), "--selection: selection target does not match conversion target: the file is for "
                                                       "\"reaper\", the conversion for \"vorn\" (in " + path ("reaper.json") + ")" },
        { toReaper ("notes.txt"), "--template: REAPER optional template extension must be .rpp: " + path ("notes.txt") },
        { toReaper ("gone.rpp"), "--template: file not found: " + path ("gone.rpp") },
        { toReaper ("fifo.rpp"), "--template: REAPER template cannot be read: not a regular file: " + path ("fifo.rpp") },
        { toReaper ("bad.rpp"), "--template: REAPER template must contain one strictly decoded VST3 state: no root block found (in "
                                    + path ("bad.rpp") + ")" },
        { toVorn ("n.txt"), "--output: output extension must be .ksn: " + path ("n.txt") },
        { toVorn ("cat.ksn"), "--output: refusing to replace existing output: " + path ("cat.ksn") },
        { { "--export-states", "states", "show.ksn" },
          "--export-states: refusing to replace existing state export: " + path ("states/FreqShaper__0-0.comp") },
    };
    box.write ("cat.ksn", "stands there");
    for (const auto& c : cases)
    {
        const auto run = box.run (c.args);
        EXPECT_EQ (run.exitCode, 1) << c.refusal;
        EXPECT_EQ (vorntest::errorLines (run), juce::StringArray ("ERROR   " + c.refusal)) << run.out;
    }
    // The plan of a template the convert refuses blocks with the same words.
    const auto planned = box.run (joined (joined ({ "--plan", "reaper" }, reaperOptions), { "--template", "bad.rpp", "show.ksn" }));
    EXPECT_EQ (planned.exitCode, 1);
    EXPECT_TRUE (planned.outLines().contains (issueLine ("BLOCKER", "target.writer", cases[8].refusal))) << planned.out;

    EXPECT_FALSE (box.work.getChildFile ("n.rpp").exists());
    EXPECT_EQ (box.work.getChildFile ("cat.ksn").loadFileAsString(), "stands there");
    EXPECT_EQ (vorntest::entriesOf (box.work.getChildFile ("states")), juce::StringArray ("FreqShaper__0-0.comp"));
    EXPECT_EQ (box.tmpEntries(), 0);
}

// A blocker about something missing names what supplies it: the plug-in and --reaper-cache for a
// REAPER identity, the strip and its name for a name REAPER cannot hold.
TEST (MissingSupplies, ABlockerNamesThePluginOrStripAndWhatSuppliesIt)
{
    ExampleSandbox box;
    box.write ("kick-only.ini", box.work.getChildFile ("reaper.ini").loadFileAsString().upToLastOccurrenceOf ("GateOne", false, false));
    box.sceneWith ("quoted.ksn", "name=\"Bass DI\"", "name=\"Say &quot;hi&quot;\"");
    const juce::String supply = ": --reaper-cache supplies it (REAPER's reaper-vstplugins64.ini, with a row for the plug-in)";

    struct Case { std::vector<std::string> args; juce::String blocker; };
    const Case cases[] = {
        { { "--plan", "reaper", "--profile", "16x8", "--io", "16x16", "--factory-catalog", "cat.tsv", "show.ksn" },
          "REAPER internal profile requires a complete native cache identity for CID 56534746524551534841504552000001 of "
          "FreqShaper (strip 0, slot 0)" + supply },
        { { "--plan", "reaper", "--profile", "16x8", "--io", "16x16", "--factory-catalog", "cat.tsv", "--reaper-cache", "kick-only.ini",
            "show.ksn" },
          "REAPER cache lacks a complete identity for source CID 5653474741544F4E4500000000000002 of Gate One (strip 1, slot 2)"
              + supply },
        { joined (joined ({ "--plan", "reaper" }, reaperOptions), { "quoted.ksn" }),
          "REAPER prototype writer requires non-empty names without quotes/newlines: strip 3's name \"Say \\\"hi\\\"\" holds a "
          "double quote" },
    };
    for (const auto& c : cases)
    {
        const auto run = box.run (c.args);
        EXPECT_EQ (run.exitCode, 1) << c.blocker;
        EXPECT_EQ (linesStartingWith (run, "  BLOCKER "), juce::StringArray (issueLine ("BLOCKER", "target.writer", c.blocker))) << run.out;
    }
}

// The selections the README invites are written as chosen or refused with the way on: fewer kept
// channels than the profile's strips are written with the profile fitted to them; a gap that a
// host's strips cannot hold names the strip left empty, the entry and the rule; a sidechain from
// a strip the source does not have is the source's blocker, not the selection's.
TEST (SelectionsTheReadmeInvites, AreWrittenAsChosenOrRefusedWithTheWayOn)
{
    ExampleSandbox box;
    const auto leaveOutFrom = [] (int first) {
        return [first] (juce::Array<juce::var>& channels) {
            for (int i = first; i < channels.size(); ++i)
                setProperty (channels.getReference (i), "selected", false);
        };
    };
    box.editedSelection ({ "--selection-report", "reaper", "--profile", "16x8", "show.ksn" }, leaveOutFrom (4), "four.json");
    const juce::String fitted = "the selection keeps 4 of the 16 strips of --profile 16x8: written as --profile 4x8";
    const auto plan = box.run (joined (joined ({ "--plan", "reaper" }, reaperOptions), { "--selection", "four.json", "show.ksn" }));
    EXPECT_EQ (plan.exitCode, 0) << plan.out;
    EXPECT_TRUE (plan.outLines().contains (issueLine ("WARNING", "selection.profile", fitted))) << plan.out;
    const auto convert = box.run (joined (joined ({ "--convert", "reaper" }, reaperOptions),
                                          { "--selection", "four.json", "--output", "four.rpp", "show.ksn" }));
    EXPECT_EQ (convert.exitCode, 0) << convert.out;
    EXPECT_TRUE (convert.outLines().contains (issueLine ("WARNING", "selection.profile", fitted))) << convert.out;
    const auto dump = box.run ({ "four.rpp" });
    EXPECT_TRUE (dump.outLines().contains ("RACK    4 strips (2 in use), 2 plugins, 0 snapshots")) << dump.out;

    // SuperRack Performer sessions hold their strips from 0 without gaps.
    const std::vector<std::string> performerReport = { "--selection-report", "superrack-performer", "show.ksn" };
    box.editedSelection (performerReport, [] (juce::Array<juce::var>& c) { setProperty (c.getReference (2), "selected", false); },
                         "gap.json");
    box.editedSelection (performerReport, [] (juce::Array<juce::var>& c) { setProperty (c.getReference (3), "targetIndex", 40); },
                         "moved.json");
    struct Case { const char* file; juce::String refusal; };
    const Case cases[] = {
        { "gap.json", "selection channel mapping leaves a gap: SuperRack sessions hold the 15 kept channels as strips 0 to 14 in "
                      "order; strip 2 is kept by no channel, and channels[15] (source index 15) has targetIndex 15; give the kept "
                      "channels targetIndex 0 to 14" },
        { "moved.json", "selection channel mapping leaves a gap: SuperRack sessions hold the 16 kept channels as strips 0 to 15 in "
                        "order; strip 3 is kept by no channel, and channels[3] (source index 3) has targetIndex 40; give the kept "
                        "channels targetIndex 0 to 15" },
    };
    for (const auto& c : cases)
    {
        const auto run = box.run ({ "--plan", "superrack-performer", "--factory-catalog", "cat.tsv", "--selection", c.file, "show.ksn" });
        EXPECT_EQ (run.exitCode, 1) << c.file;
        EXPECT_EQ (vorntest::errorLines (run), juce::StringArray ("ERROR   --selection: " + c.refusal + " (in " + box.path (c.file) + ")"))
            << run.out;
    }

    // The gate keyed from strip 40, which the source does not have: the unedited report is taken,
    // and the plan blocks as it does without a selection.
    box.sceneWith ("dangling.ksn", "sidechainSrc=\"1\"", "sidechainSrc=\"41\"");
    box.editedSelection ({ "--selection-report", "vorn", "dangling.ksn" }, [] (juce::Array<juce::var>&) {}, "dangling.json");
    const auto without = box.run ({ "--plan", "vorn", "--factory-catalog", "cat.tsv", "dangling.ksn" });
    const auto with = box.run ({ "--plan", "vorn", "--factory-catalog", "cat.tsv", "--selection", "dangling.json", "dangling.ksn" });
    EXPECT_EQ (with.exitCode, 1);
    EXPECT_EQ (vorntest::errorLines (with), juce::StringArray()) << with.out;
    const auto blockers = linesStartingWith (without, "  BLOCKER ");
    EXPECT_FALSE (blockers.isEmpty()) << without.out;
    EXPECT_EQ (linesStartingWith (with, "  BLOCKER "), blockers) << with.out;
    EXPECT_EQ (box.tmpEntries(), 0);
}
