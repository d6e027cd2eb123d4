#include "SceneFixture.h"
#include "TestSupport.h"

#include "model/TestHooks.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

// What a run writes for itself is read back and published only as it wrote it: the plan's
// unnamed document cut short under it, or a temporary output changed between its read-back and
// its commit, ends in a refusal or does not matter, never in a death by signal or in a published
// file that is not the one proven; and a commit that loses to a file put at its name says which.
namespace
{

using vorntest::errorLines;
using vorntest::entriesOf;

// A scene whose document spans many pages (one plug-in of 200 KiB of state) and its catalog.
using Sandbox = vorntest::ConvertibleSceneSandbox;

// The descriptors of process run that stand for a file below folder that no folder holds any
// more (an unnamed file shows as "<folder>/#<inode> (deleted)"), as /proc/<pid>/fd paths.
std::vector<std::string> unnamedFilesOf (pid_t run, const juce::File& folder)
{
    std::vector<std::string> found;
    const auto fds = "/proc/" + std::to_string (run) + "/fd";
    const auto prefix = folder.getFullPathName().toStdString() + "/";
    DIR* dir = ::opendir (fds.c_str());
    if (dir == nullptr)
        return found;
    while (const auto* entry = ::readdir (dir))
    {
        const auto path = fds + "/" + entry->d_name;
        char target[4096];
        const auto n = ::readlink (path.c_str(), target, sizeof (target) - 1);
        if (n <= 0)
            continue;
        const std::string linked (target, (size_t) n);
        if (linked.rfind (prefix, 0) == 0 && linked.find (" (deleted)") != std::string::npos)
            found.push_back (path);
    }
    ::closedir (dir);
    return found;
}

// The one file in folder whose name begins with prefix, or an empty path.
juce::File onlyFileStartingWith (const juce::File& folder, const juce::String& prefix)
{
    const auto files = folder.findChildFiles (juce::File::findFiles, false, prefix + "*");
    return files.size() == 1 ? files[0] : juce::File();
}

} // namespace

// The plan's document lies in an unnamed file in $TMPDIR, which another process can still reach
// (through /proc/<pid>/fd). Cut short after it was written and before its bytes were read back,
// it is refused as changed, naming the temporary folder; cut short once its bytes are read, it
// changes nothing, since the read works on bytes of its own.
TEST (PlanDocument, CutShortUnderThePlanIsRefusedOrHarmlessNeverADeath)
{
    if (! vornconv::testHooks::available)
        GTEST_SKIP() << "a build without test hooks";

    const struct
    {
        const char* point;
        bool refused;
    } cases[] = { { "plan-document-written:1", true }, { "plan-document-read:1", false } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.point);
        Sandbox box;
        int truncated = 0;
        const auto r = box.runStoppedAt ({ "--plan", "vorn", "--factory-catalog", "cat.tsv", "in.ksn" }, c.point, [&] (pid_t run) {
            for (const auto& document : unnamedFilesOf (run, box.tmp))
                truncated += ::truncate (document.c_str(), 4096) == 0 ? 1 : 0;
        });
        EXPECT_EQ (truncated, 1);
        EXPECT_EQ (r.err, "");
        const auto lines = r.outLines();
        if (c.refused)
        {
            EXPECT_EQ (r.exitCode, 1) << r.out;
            EXPECT_TRUE (lines.contains ("  WRITE: BLOCKED")) << r.out;
            EXPECT_TRUE (lines.contains ("  BLOCKER " + juce::String ("temporary.folder").paddedRight (' ', 36)
                                         + "the unnamed document in the temporary folder " + box.tmp.getFullPathName()
                                         + " (TMPDIR) changed while it was read back"))
                << r.out;
        }
        else
        {
            EXPECT_EQ (r.exitCode, 0) << r.out;
            EXPECT_TRUE (lines.contains ("  WRITE: allowed")) << r.out;
        }
        EXPECT_EQ (box.tmpEntries(), 0);
    }
}

// The temporary output, proven by its read-back, is changed before the commit (cut short, or one
// byte rewritten in place at the same size): the commit refuses it, naming it, and nothing is
// published or left behind.
TEST (TemporaryOutput, ChangedBetweenItsReadBackAndItsCommitIsNeverPublished)
{
    if (! vornconv::testHooks::available)
        GTEST_SKIP() << "a build without test hooks";

    for (const bool cutShort : { true, false })
    {
        SCOPED_TRACE (cutShort ? "cut short" : "one byte rewritten");
        Sandbox box;
        const auto out = box.work.getChildFile ("out");
        ASSERT_TRUE (out.createDirectory());
        juce::File temporary;
        const auto r = box.runStoppedAt ({ "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "out/new.ksn", "in.ksn" },
                                         "commit:1", [&] (pid_t) {
            temporary = onlyFileStartingWith (out, "new.ksn.tmp-");
            ASSERT_TRUE (temporary.existsAsFile());
            if (cutShort)
                ASSERT_EQ (::truncate (temporary.getFullPathName().toRawUTF8(), 4096), 0);
            else
                vornconv::testHooks::changeOneByteInPlace (temporary.getFullPathName().toRawUTF8());
        });
        EXPECT_EQ (r.exitCode, 1) << r.out;
        EXPECT_EQ (errorLines (r), juce::StringArray ("ERROR   --output: atomic scene move failed: temporary output changed after it was written: "
                                                      + temporary.getFullPathName()))
            << r.out;
        EXPECT_EQ (r.err, "");
        EXPECT_EQ (entriesOf (out), juce::StringArray());
        EXPECT_EQ (box.tmpEntries(), 0);
    }
}

// Another process puts a file at the output's name just before the commit (the loser of two runs
// into one folder): the refusal names the path it lost, for a convert and for an export of states,
// and the other's file stays.
TEST (TemporaryOutput, ACommitThatLosesToAnotherFileNamesIt)
{
    if (! vornconv::testHooks::available)
        GTEST_SKIP() << "a build without test hooks";

    const struct
    {
        std::vector<std::string> args;
        const char* taken;
        const char* refusal;
    } cases[] = {
        { { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "out/new.ksn", "in.ksn" }, "out/new.ksn",
          "ERROR   --output: atomic scene move failed: exclusive atomic rename failed: File exists: " },
        { { "--export-states", "out", "in.ksn" }, "out/TestComp__0-0.comp",
          "ERROR   --export-states: exclusive atomic rename failed: File exists: " },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.taken);
        Sandbox box;
        ASSERT_TRUE (box.work.getChildFile ("out").createDirectory());
        const auto taken = box.work.getChildFile (c.taken);
        const auto r = box.runStoppedAt (c.args, "commit:1", [&] (pid_t) { ASSERT_TRUE (taken.replaceWithText ("the other's")); });
        EXPECT_EQ (r.exitCode, 1) << r.out;
        EXPECT_EQ (errorLines (r), juce::StringArray (c.refusal + taken.getFullPathName())) << r.out;
        EXPECT_EQ (entriesOf (box.work.getChildFile ("out")), juce::StringArray (taken.getFileName()));
        EXPECT_EQ (taken.loadFileAsString(), "the other's");
        EXPECT_EQ (box.tmpEntries(), 0);
    }
}
