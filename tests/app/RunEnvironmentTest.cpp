#include "SceneFixture.h"
#include "TestSupport.h"

#include "model/TestHooks.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

// What a run inherits from its caller is taken as the caller gave it: a signal the caller ignores
// stays ignored, an empty option value is no value, and $TMPDIR and the working folder are paths
// of bytes like every path on the command line. A temporary folder that is full costs a plan
// nothing its convert does not pay.
namespace
{

using vorntest::errorLines;
using vorntest::entriesOf;

// A sandbox with a scene that converts (one plug-in of 200 KiB of state: more than a small
// temporary folder takes) and its catalog.
struct Sandbox : vorntest::ConvertibleSceneSandbox
{
    std::vector<std::string> plan() const { return { "--plan", "vorn", "--factory-catalog", "cat.tsv", "in.ksn" }; }
};

// A folder made under a name of bytes that need not be text; its path as bytes.
std::string makeFolderOfBytes (const juce::File& parent, const std::string& name)
{
    const auto path = parent.getFullPathName().toStdString() + "/" + name;
    EXPECT_EQ (::mkdir (path.c_str(), 0700), 0) << path;
    return path;
}

bool isEmptyFolder (const std::string& path)
{
    std::error_code ec;
    return std::filesystem::is_directory (path, ec) && std::filesystem::is_empty (path, ec) && ! ec;
}

} // namespace

// nohup, or a background job of a script: the caller ignores SIGHUP or SIGINT before the run
// starts, and such a signal arriving in the middle of a convert (before its read-back) changes
// nothing. A signal the caller left at its default still interrupts the run there.
TEST (InheritedSignals, ASignalIgnoredByTheCallerStaysIgnored)
{
    if (! vornconv::testHooks::available)
        GTEST_SKIP() << "a build without test hooks";

    const struct
    {
        int signal;
        bool ignored;
    } cases[] = { { SIGHUP, true }, { SIGINT, true }, { SIGHUP, false }, { SIGINT, false } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::string (::strsignal (c.signal)) + (c.ignored ? " ignored" : " at its default"));
        Sandbox box;
        const int signalNumber = c.signal;
        const bool ignored = c.ignored;
        const auto r = box.runStoppedAt (box.convertTo ("new.ksn"), "read-back:1", [signalNumber] (pid_t run) { ::kill (run, signalNumber); },
                                         false, [signalNumber, ignored] {
                                             for (int s : { SIGINT, SIGTERM, SIGHUP })
                                                 ::signal (s, SIG_DFL);
                                             ::signal (signalNumber, ignored ? SIG_IGN : SIG_DFL);
                                         });
        EXPECT_EQ (r.err, "");
        EXPECT_EQ (box.tmpEntries(), 0);
        if (c.ignored)
        {
            EXPECT_EQ (r.exitCode, 0) << r.out;
            EXPECT_TRUE (errorLines (r).isEmpty()) << r.out;
            EXPECT_TRUE (box.work.getChildFile ("new.ksn").existsAsFile());
        }
        else
        {
            EXPECT_EQ (r.exitCode, 1) << r.out;
            EXPECT_EQ (errorLines (r), juce::StringArray ("ERROR   interrupted")) << r.out;
            EXPECT_EQ (entriesOf (box.work), juce::StringArray ({ "cat.tsv", "in.ksn" }));
        }
    }
}

// `--export-states "$DEST"` with DEST unset: an empty value would name the working folder (or a
// target word nobody asked for). Every option that takes a value refuses an empty one by name, as
// it refuses a missing one, before anything is read or written.
TEST (EmptyValues, AreRefusedByTheOptionsName)
{
    Sandbox box;
    const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
        { "--export-states", { "--export-states", "", "in.ksn" } },
        { "--parameter-cache", { "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "probe", "--parameter-cache", "", "in.ksn" } },
        { "--plugin-probe", { "--session-report", "--plugin-probe", "", "--parameter-cache", "cache", "in.ksn" } },
        { "--output", { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "", "in.ksn" } },
        { "--convert", { "--convert", "", "--output", "new.ksn", "in.ksn" } },
        { "--plan", { "--plan", "", "in.ksn" } },
        { "--selection-report", { "--selection-report", "", "in.ksn" } },
        { "--waves-selection-report", { "--waves-selection-report", "", "in.ksn" } },
        { "--waves-convert", { "--waves-convert", "", "in.ksn" } },
        { "--selection", { "--plan", "vorn", "--selection", "", "in.ksn" } },
        { "--factory-catalog", { "--plan", "vorn", "--factory-catalog", "", "in.ksn" } },
        { "--reaper-cache", { "--plan", "reaper", "--profile", "64x8", "--reaper-cache", "", "in.ksn" } },
        { "--template", { "--convert", "vorn", "--template", "", "--output", "new.ksn", "in.ksn" } },
        { "--profile", { "--plan", "reaper", "--profile", "", "in.ksn" } },
        { "--io", { "--plan", "reaper", "--profile", "64x8", "--io", "", "in.ksn" } },
        { "--reaper-state-probe", { "--reaper-state-probe", "", "in.ksn" } },
    };
    const auto before = entriesOf (box.work);
    for (const auto& [option, args] : cases)
    {
        SCOPED_TRACE (option);
        const auto r = box.run (args, vorntest::hangSilenceMs);
        EXPECT_EQ (r.exitCode, 1);
        EXPECT_EQ (r.out, "ERROR   option " + std::string (option) + " takes a value, and the value given is empty\n");
        EXPECT_EQ (r.err, "");
        EXPECT_EQ (entriesOf (box.work), before);
        EXPECT_EQ (box.tmpEntries(), 0);
    }
}

// An operation asked for without its input says so; without any operation the usage is the
// answer, as before.
TEST (MissingInput, AnOperationWithoutItsInputSaysSo)
{
    Sandbox box;
    const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
        { { "--convert", "vorn", "--output", "new.ksn" }, "ERROR   --convert requires an input file" },
        { { "--plan", "vorn" }, "ERROR   --plan requires an input file" },
        { { "--selection-report", "reaper" }, "ERROR   --selection-report requires an input file" },
        { { "--session-report" }, "ERROR   --session-report requires an input file" },
        { { "--export-states", "states" }, "ERROR   --export-states requires an input file" },
        { { "--waves-selection-report", "waves-lv1" }, "ERROR   --waves-selection-report requires an input file" },
        { { "--waves-convert", "waves-lv1", "--output", "new.emo" }, "ERROR   --waves-convert requires an input file" },
        { { "--plan", "vorn", "--convert", "vorn" }, "ERROR   choose exactly one conversion/report operation" },
    };
    for (const auto& [args, refusal] : cases)
    {
        SCOPED_TRACE (refusal);
        const auto r = box.run (args, vorntest::hangSilenceMs);
        EXPECT_EQ (r.exitCode, 1);
        EXPECT_EQ (r.out, std::string (refusal) + "\n");
    }
    const auto usage = box.run ({ "--profile", "64x8" }, vorntest::hangSilenceMs);
    EXPECT_EQ (usage.exitCode, 1);
    EXPECT_TRUE (errorLines (usage).isEmpty()) << usage.out;
    EXPECT_EQ (usage.outLines().size(), 29);
}

// $TMPDIR holds bytes that are no text, and beside that folder stands its look-alike (the bytes
// turned into text, U+FFFD for the bad one): nothing may go to the look-alike, nor be refused
// with a false reason. The same for a working folder of such bytes below which a relative path
// (an input, an output, $TMPDIR itself) lies; an absolute path is untouched by it.
TEST (PathsOfBytes, ATemporaryOrWorkingFolderThatIsNotTextIsRefusedAsItIs)
{
    Sandbox box;
    const auto root = box.root.folder.getFullPathName().toStdString();
    const auto badTmp = makeFolderOfBytes (box.root.folder, "d\xE8r");
    const auto lookAlike = makeFolderOfBytes (box.root.folder, "d\xEF\xBF\xBDr");
    const auto badWork = makeFolderOfBytes (box.root.folder, "w\xE8");
    const juce::File workLookAlike (juce::CharPointer_UTF8 (makeFolderOfBytes (box.root.folder, "w\xEF\xBF\xBD").c_str()));
    ASSERT_EQ (::mkdir ((badWork + "/tmp").c_str(), 0700), 0);
    ASSERT_TRUE (box.work.getChildFile ("in.ksn").copyFileTo (workLookAlike.getChildFile ("in.ksn")));
    ASSERT_EQ (::link (box.path ("in.ksn").toRawUTF8(), (badWork + "/in.ksn").c_str()), 0);
    const auto home = "HOME=" + box.home.getFullPathName().toStdString();
    const auto input = box.path ("in.ksn").toStdString();
    const auto catalog = box.path ("cat.tsv").toStdString();

    const struct
    {
        const char* what;
        std::vector<std::string> args;
        std::string cwd;
        std::string tmpdir;
        std::string out; // the whole output of a refusal, or empty for a run that succeeds
    } cases[] = {
        { "plan with TMPDIR of bytes", { "--plan", "vorn", "--factory-catalog", catalog, input }, box.work.getFullPathName().toStdString(),
          badTmp, "ERROR   temporary folder (TMPDIR) is not valid UTF-8: " + root + "/d\\xE8r\n" },
        { "dump with TMPDIR of bytes", { input }, box.work.getFullPathName().toStdString(), badTmp,
          "ERROR   temporary folder (TMPDIR) is not valid UTF-8: " + root + "/d\\xE8r\n" },
        { "relative TMPDIR below a working folder of bytes", { "--plan", "vorn", "--factory-catalog", catalog, input }, badWork, "tmp",
          "ERROR   temporary folder (TMPDIR) is not valid UTF-8: " + root + "/w\\xE8/tmp\n" },
        { "relative input", { "in.ksn" }, badWork, box.tmp.getFullPathName().toStdString(),
          "ERROR   path is not valid UTF-8: " + root + "/w\\xE8/in.ksn\n" },
        { "relative output", { "--convert", "vorn", "--factory-catalog", catalog, "--output", "new.ksn", input }, badWork,
          box.tmp.getFullPathName().toStdString(), "ERROR   path is not valid UTF-8: " + root + "/w\\xE8/new.ksn\n" },
        { "absolute paths only", { "--convert", "vorn", "--factory-catalog", catalog, "--output", box.path ("new.ksn").toStdString(), input },
          badWork, box.tmp.getFullPathName().toStdString(), {} },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto r = vorntest::runProgram (vorntest::vornconvBinary(), c.args, c.cwd, { home, "TMPDIR=" + c.tmpdir });
        EXPECT_EQ (r.err, "");
        if (c.out.empty())
        {
            EXPECT_EQ (r.exitCode, 0) << r.out;
            EXPECT_TRUE (box.work.getChildFile ("new.ksn").existsAsFile());
        }
        else
        {
            EXPECT_EQ (r.exitCode, 1);
            EXPECT_EQ (r.out, c.out);
        }
        EXPECT_TRUE (isEmptyFolder (badTmp));
        EXPECT_TRUE (isEmptyFolder (lookAlike));
        EXPECT_TRUE (isEmptyFolder (badWork + "/tmp"));
    }
    // The look-alike of the working folder holds only what was put there.
    EXPECT_EQ (entriesOf (workLookAlike), juce::StringArray ("in.ksn"));
}

// A path word that begins with '~' names a file below the home folder: with a $HOME that is not
// text it would name a look-alike's file. Such a word is checked as the bytes it stands for and
// refused before anything is read or made; a $HOME of bytes costs nothing to a run whose words do
// not begin with '~'.
TEST (PathsOfBytes, AWordBelowAHomeFolderOfBytesIsRefusedAsItIs)
{
    Sandbox box;
    const auto root = box.root.folder.getFullPathName().toStdString();
    const auto badHome = makeFolderOfBytes (box.root.folder, "h\xE8");
    const juce::File lookAlike (juce::CharPointer_UTF8 (makeFolderOfBytes (box.root.folder, "h\xEF\xBF\xBD").c_str()));
    for (const auto* name : { "in.ksn", "cat.tsv" })
        ASSERT_TRUE (box.work.getChildFile (name).copyFileTo (lookAlike.getChildFile (name)));
    const auto home = "HOME=" + badHome;
    const auto tmpdir = "TMPDIR=" + box.tmp.getFullPathName().toStdString();
    const auto input = box.path ("in.ksn").toStdString();
    const auto catalog = box.path ("cat.tsv").toStdString();
    const auto refusal = [&root] (const std::string& rest) { return "ERROR   path is not valid UTF-8: " + root + "/h\\xE8" + rest + "\n"; };

    const struct
    {
        const char* what;
        std::vector<std::string> args;
        std::string out; // the whole output of a refusal, or empty for a run that succeeds
    } cases[] = {
        { "input", { "~/in.ksn" }, refusal ("/in.ksn") },
        { "the home folder itself", { "--export-states", "~", input }, refusal ("") },
        { "output", { "--convert", "vorn", "--factory-catalog", catalog, "--output", "~/new.ksn", input }, refusal ("/new.ksn") },
        { "file read by an option", { "--plan", "vorn", "--factory-catalog", "~/cat.tsv", input }, refusal ("/cat.tsv") },
        { "no word below the home folder", { "--convert", "vorn", "--factory-catalog", catalog, "--output", "new.ksn", input }, {} },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto r = vorntest::runProgram (vorntest::vornconvBinary(), c.args, box.work.getFullPathName().toStdString(), { home, tmpdir });
        EXPECT_EQ (r.err, "");
        if (c.out.empty())
        {
            EXPECT_EQ (r.exitCode, 0) << r.out;
            EXPECT_TRUE (box.work.getChildFile ("new.ksn").existsAsFile());
        }
        else
        {
            EXPECT_EQ (r.exitCode, 1);
            EXPECT_EQ (r.out, c.out);
        }
        EXPECT_TRUE (isEmptyFolder (badHome));
        EXPECT_EQ (entriesOf (lookAlike), juce::StringArray ({ "cat.tsv", "in.ksn" }));
    }
}

// A temporary folder with no room left: a plan's document, which needs no temporary folder where
// its convert needs none, is proven in memory instead, so that the plan allows what the convert
// then writes.
TEST (FullTemporaryFolder, APlanDecidesAsItsConvertDoes)
{
    Sandbox box;
    vorntest::PrivateMount full (box.tmp, "size=64k", false);
    if (! full.available)
        GTEST_SKIP() << "no private mounts on this system";
    {
        // Filled to the last block.
        const auto filler = box.tmp.getChildFile ("filler").getFullPathName().toStdString();
        const int fd = ::open (filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE (fd, 0);
        const std::string block (4096, 'x');
        while (::write (fd, block.data(), block.size()) > 0)
        {
        }
        ::close (fd);
    }
    const auto plan = box.run (box.plan(), vorntest::hangSilenceMs);
    EXPECT_EQ (plan.exitCode, 0) << plan.out;
    EXPECT_TRUE (plan.outLines().contains ("  WRITE: allowed")) << plan.out;
    const auto convert = box.run (box.convertTo ("new.ksn"), vorntest::hangSilenceMs);
    EXPECT_EQ (convert.exitCode, 0) << convert.out;
    EXPECT_TRUE (box.work.getChildFile ("new.ksn").existsAsFile());
    EXPECT_EQ (full.entries(), juce::StringArray ("filler"));
}
