#include "TestSupport.h"

#include "app/HostRegistry.h"
#include "rapp/RappConversionPlan.h"

#include <gtest/gtest.h>

#include <iterator>

// The README's commands are the ones a new user types first: every one of them that needs no
// host-saved file and no probe is run by scripts/run-examples.sh, in the README's own words, and
// that script must run through.
namespace
{

const juce::File root = juce::File (VORN_TEST_SOURCE_DIR).getParentDirectory();

// The README's command lines (indented by four blanks) that name no <placeholder>, as the
// examples script writes them: run-example.sh passes its arguments on to vornconv.
juce::StringArray readmeCommands()
{
    juce::StringArray commands;
    juce::StringArray lines;
    lines.addLines (root.getChildFile ("README.md").loadFileAsString());
    for (const auto& line : lines)
    {
        if (! line.startsWith ("    ") || line.containsChar ('<'))
            continue;
        auto command = line.trim();
        if (command.startsWith ("bash scripts/run-example.sh"))
        {
            const auto arguments = command.fromFirstOccurrenceOf ("run-example.sh", false, false).trim();
            command = "build/release/bin/vornconv " + (arguments.isEmpty() ? juce::String ("examples/stage-left.ksn") : arguments);
        }
        // The benchmark and the test and fuzz scripts are not examples: they build and run for minutes.
        if (command.startsWith ("build/release/bin/") || command.startsWith ("python3 bench/make-"))
            commands.add (command);
    }
    return commands;
}

} // namespace

TEST (Readme, EveryCommandIsRunByTheExamplesScriptAndTheScriptRuns)
{
    const auto script = root.getChildFile ("scripts/run-examples.sh").loadFileAsString();
    const auto commands = readmeCommands();
    EXPECT_GE (commands.size(), 20);
    for (const auto& command : commands)
        EXPECT_TRUE (script.contains ("run \"" + command + "\"")) << command;

    vorntest::TempFolder out;
    const auto bin = juce::File (vorntest::vornconvBinary());
    const auto r = vorntest::runProgram ("/bin/bash", { root.getChildFile ("scripts/run-examples.sh").getFullPathName().toStdString(),
                                                      out.file ("examples").getFullPathName().toStdString() },
                                         {}, { "VORNCONV=" + bin.getFullPathName().toStdString(),
                                               "VORNVST3CATALOG=" + bin.getSiblingFile ("vornvst3catalog").getFullPathName().toStdString() });
    EXPECT_EQ (r.exitCode, 0) << r.err << r.out.substr (r.out.size() > 4000 ? r.out.size() - 4000 : 0);
    EXPECT_TRUE (out.file ("examples/stage-left.rpp").existsAsFile());
    EXPECT_TRUE (out.file ("examples/new.ksn").existsAsFile());
}

// "Adding a host format" lists every file a new host touches: each file it names exists (a name
// with <Host> or <host> in it stands for one file per host), and every source file that names
// every host's target, the per-host lists, is on the list.
TEST (Readme, AddingAHostListsTheFilesThatHoldTheHosts)
{
    const auto readme = root.getChildFile ("README.md").loadFileAsString();
    const auto section = readme.fromFirstOccurrenceOf ("## Adding a host format", false, false)
                             .upToFirstOccurrenceOf ("\n## ", false, false);
    ASSERT_TRUE (section.isNotEmpty());
    juce::StringArray listed;
    for (auto rest = section; rest.contains ("`");)
    {
        const auto quoted = rest.fromFirstOccurrenceOf ("`", false, false).upToFirstOccurrenceOf ("`", false, false);
        rest = rest.fromFirstOccurrenceOf ("`", false, false).fromFirstOccurrenceOf ("`", false, false);
        if (quoted.startsWith ("src/") || quoted.startsWith ("fuzz/") || quoted.startsWith ("tests/"))
            listed.add (quoted);
    }
    EXPECT_GE (listed.size(), 12);
    const char* const hosts[] = { "targetVornScene", "targetSuperRackPerformer", "targetLiveProfessor", "targetReaper" };
    for (const auto& path : listed)
    {
        if (! path.containsChar ('<'))
        {
            EXPECT_TRUE (root.getChildFile (path).exists()) << path;
            continue;
        }
        // One file (or folder) per host at least.
        const auto folder = root.getChildFile (path.upToFirstOccurrenceOf ("<", false, false));
        const auto pattern = path.fromFirstOccurrenceOf ("<", true, false).replace ("<Host>", "*").replace ("<host>", "*");
        const int found = pattern.endsWithChar ('/') ? folder.getNumberOfChildFiles (juce::File::findDirectories)
                                                     : folder.getNumberOfChildFiles (juce::File::findFiles, pattern);
        EXPECT_GE (found, (int) std::size (hosts)) << path;
    }
    for (const auto& file : root.getChildFile ("src").findChildFiles (juce::File::findFiles, true, "*"))
    {
        const auto text = file.loadFileAsString();
        bool all = true;
        for (const auto* target : hosts)
            all = all && text.contains (target);
        if (all)
            EXPECT_TRUE (listed.contains (file.getRelativePathFrom (root))) << file.getRelativePathFrom (root);
    }
}

// The README's one table of blockers and warnings explains every key a plan or a convert prints:
// each fixed key of the preflight, the keys plan and convert add, and the families keyed by a
// strip, a slot or a field of the ledger.
TEST (Readme, ExplainsEveryBlockerAndWarningKey)
{
    const auto readme = root.getChildFile ("README.md").loadFileAsString();
    const auto table = readme.fromFirstOccurrenceOf ("## Blockers and warnings", false, false).upToFirstOccurrenceOf ("\n## ", false, false);
    ASSERT_TRUE (table.isNotEmpty());
    auto keys = vornconv::rapp::preflightIssueCodes();
    keys.addArray ({ vornconv::app::issueCode::writer, vornconv::app::issueCode::missingTemplate,
                     vornconv::app::issueCode::fittedProfile, vornconv::app::issueCode::temporaryFolder, "ledger.", "strip N", "strip N, slot S" });
    // The first cell of each row: the key or keys it explains.
    juce::StringArray firstCells;
    for (const auto& line : juce::StringArray::fromLines (table))
        if (line.startsWith ("| `"))
            firstCells.add (line.fromFirstOccurrenceOf ("| ", false, false).upToFirstOccurrenceOf (" | ", false, false));
    for (const auto& key : keys)
    {
        bool explained = false;
        for (const auto& cell : firstCells)
            explained = explained || cell.contains ("`" + key);
        EXPECT_TRUE (explained) << key;
    }
}
