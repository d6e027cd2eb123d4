#include "SceneFixture.h"
#include "SprkFixture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

// A host that saves a session in place while it is read keeps its size; a run that took the bytes
// as they came would act on a file that never existed. Every operation reads its input through
// the one loader, which proves the file unchanged after the read and refuses it otherwise, before
// anything is written. The program's test hook changes one byte of the named file just after its
// bytes were read, so that the change falls between the read and the proof without a race.
#if VORN_TEST_HOOKS

namespace
{

using vorntest::entriesOf;

struct Sandbox : vorntest::ProgramSandbox
{
    Sandbox()
    {
        write ("in.ksn", vorntest::convertibleScene());
        write ("cat.tsv", vorntest::convertibleSceneCatalog());
        vorntest::SprkFixture sprk ("show.sprk");
        sprk.close();
        EXPECT_TRUE (sprk.file.copyFileTo (work.getChildFile ("show.sprk")));
        // Times in the past: the change made during the read moves them, whatever the clock's
        // resolution.
        for (const char* name : { "in.ksn", "cat.tsv", "show.sprk" })
            EXPECT_TRUE (vorntest::setFileTime (work.getChildFile (name), 1500000000, 250));
    }

    // Runs args with the named file changed while it is read.
    vorntest::ProcessResult runChanging (const char* name, const std::vector<std::string>& args) const
    {
        const std::string changed = name;
        return run (args, vorntest::hangSilenceMs, [changed] { ::setenv ("VORN_TEST_CHANGE_WHILE_READ", changed.c_str(), 1); });
    }
};

} // namespace

TEST (ChangedInput, AnInputChangedWhileItIsReadIsRefusedWithNothingWritten)
{
    struct Case
    {
        const char* changed;
        std::vector<std::string> args;
    };
    const std::vector<Case> cases = {
        { "in.ksn", { "in.ksn" } },
        { "in.ksn", { "--manifest", "in.ksn" } },
        { "in.ksn", { "--session-report", "in.ksn" } },
        { "in.ksn", { "--export-states", "states", "in.ksn" } },
        { "in.ksn", { "--plan", "vorn", "--factory-catalog", "cat.tsv", "in.ksn" } },
        { "in.ksn", { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "out.ksn", "in.ksn" } },
        { "cat.tsv", { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "out.ksn", "in.ksn" } },
        { "show.sprk", { "show.sprk" } },
        { "show.sprk", { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "out.ksn", "show.sprk" } },
    };
    for (const auto& c : cases)
    {
        Sandbox box;
        std::string command;
        for (const auto& a : c.args)
            command += a + " ";
        SCOPED_TRACE (command + "(" + c.changed + " changed)");
        const auto before = entriesOf (box.work);
        const auto r = box.runChanging (c.changed, c.args);
        EXPECT_EQ (r.exitCode, 1) << r.out;
        // The refusal, on its own or as the reason of the operation's own refusal.
        const auto refusal = "file changed while it was read: " + box.path (c.changed);
        int refusals = 0;
        for (const auto& line : r.outLines())
            refusals += line.endsWith (refusal) && (line.startsWith ("ERROR   ") || line.startsWith ("  BLOCKER ")) ? 1 : 0;
        EXPECT_EQ (refusals, 1) << r.out;
        EXPECT_EQ (r.err, "");
        EXPECT_EQ (entriesOf (box.work), before);
        EXPECT_EQ (box.tmpEntries(), 0);
    }

    // Without the change, the same convert writes its output.
    Sandbox box;
    const auto r = box.run ({ "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "out.ksn", "in.ksn" });
    EXPECT_EQ (r.exitCode, 0) << r.out;
    EXPECT_TRUE (box.work.getChildFile ("out.ksn").existsAsFile());
}

#endif
