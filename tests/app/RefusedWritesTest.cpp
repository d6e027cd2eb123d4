#include "SceneFixture.h"
#include "SprkFixture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

// Writes the file system, a limit or a reader that is gone refuses: each ends in the refusal's own
// words with the system's reason, exit 1, and nothing the run made left behind; never a death by
// signal with nothing said.
namespace
{

using vorntest::errorLines;

using vorntest::entriesOf;

using vorntest::ProcessResult;

// A sandbox with a scene that converts (one plug-in of 200 KiB of state: more than the small
// places below can take) and its catalog.
struct Sandbox : vorntest::ConvertibleSceneSandbox
{
    std::vector<std::string> exportTo (const juce::String& folder) const
    {
        return { "--export-states", folder.toStdString(), "in.ksn" };
    }
};

struct Case
{
    std::vector<std::string> args;
    juce::String error;
};

// Runs each case and checks its one ERROR line, its exit code, and that place holds afterwards
// exactly what it held before.
void expectRefusals (const Sandbox& box, const juce::File& place, const std::vector<Case>& cases,
                     const vorntest::ChildSetup& inChild = {})
{
    const auto before = entriesOf (place);
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.error);
        const auto r = box.run (c.args, vorntest::hangSilenceMs, inChild);
        EXPECT_EQ (r.exitCode, 1) << r.out;
        EXPECT_EQ (errorLines (r), juce::StringArray (c.error)) << r.out;
        EXPECT_EQ (r.err, "");
        EXPECT_EQ (entriesOf (place), before);
        EXPECT_EQ (box.tmpEntries(), 0);
    }
}

} // namespace

TEST (RefusedWrites, AFullOrReadOnlyPlaceNamesTheReason)
{
    Sandbox box;
    vorntest::PrivateMount full (box.work.getChildFile ("full"), "size=64k", false);
    vorntest::PrivateMount readOnly (box.work.getChildFile ("ro"), "size=64k", true);
    if (! full.available || ! readOnly.available)
        GTEST_SKIP() << "no private mounts on this system";

    expectRefusals (box, full.folder, {
        { box.convertTo ("full/new/out.ksn"), "ERROR   --output: temporary scene write failed: No space left on device (in "
                                                  + box.path ("full/new/out.ksn") + ")" },
        { box.exportTo ("full/states"), "ERROR   --export-states: could not write temporary state export: No space left on device (in "
                                            + box.path ("full/states") + ")" },
    });
    expectRefusals (box, readOnly.folder, {
        { box.convertTo ("ro/new/out.ksn"), "ERROR   --output: could not create output directory " + box.path ("ro/new") + ": Read-only file system" },
        { box.convertTo ("ro/out.ksn"), "ERROR   --output: temporary scene write failed: Read-only file system (in " + box.path ("ro/out.ksn") + ")" },
        { box.exportTo ("ro/states"), "ERROR   --export-states: could not create state export directory " + box.path ("ro/states") + ": Read-only file system" },
        { box.exportTo ("ro"), "ERROR   --export-states: could not write temporary state export: Read-only file system (in " + box.path ("ro") + ")" },
    });
}

TEST (RefusedWrites, AFolderThatMayNotBeWrittenOrNamedNamesTheReason)
{
    Sandbox box;
    const auto locked = box.work.getChildFile ("locked");
    ASSERT_TRUE (locked.createDirectory());
    ASSERT_EQ (::chmod (locked.getFullPathName().toRawUTF8(), 0555), 0);

    // The super-user writes any folder: the runs then go as an ordinary user, who must reach the
    // sandbox.
    vorntest::ChildSetup asOrdinaryUser;
    if (::geteuid() == 0)
    {
        for (const auto& f : { box.root.folder, box.work, box.home, box.tmp })
            ASSERT_EQ (::chmod (f.getFullPathName().toRawUTF8(), 0777), 0);
        asOrdinaryUser = [] {
            if (::setgroups (0, nullptr) != 0 || ::setgid (65534) != 0 || ::setuid (65534) != 0)
                ::_exit (126);
        };
    }
    expectRefusals (box, locked, {
        { box.convertTo ("locked/new/out.ksn"), "ERROR   --output: could not create output directory " + box.path ("locked/new") + ": Permission denied" },
        { box.convertTo ("locked/out.ksn"), "ERROR   --output: temporary scene write failed: Permission denied (in " + box.path ("locked/out.ksn")
                                                + ")" },
        { box.exportTo ("locked/states"), "ERROR   --export-states: could not create state export directory " + box.path ("locked/states") + ": Permission denied" },
    }, asOrdinaryUser);

    const auto tooLong = juce::String::repeatedString ("d", 300);
    expectRefusals (box, box.work, {
        { box.convertTo (tooLong + "/out.ksn"), "ERROR   --output: could not create output directory " + box.path (tooLong) + ": File name too long" },
        { box.exportTo (tooLong), "ERROR   --export-states: could not create state export directory " + box.path (tooLong) + ": File name too long" },
    });
}

// `ulimit -f`: the write that passes the limit fails (EFBIG) and goes the way of any refused write.
TEST (RefusedWrites, AFileSizeLimitIsARefusalNotADeath)
{
    Sandbox box;
    expectRefusals (box, box.work, {
        { box.convertTo ("new/out.ksn"), "ERROR   --output: temporary scene write failed: File too large (in " + box.path ("new/out.ksn") + ")" },
        { box.exportTo ("states"), "ERROR   --export-states: could not write temporary state export: File too large (in " + box.path ("states")
                                       + ")" },
    }, vorntest::fileSizeLimit (64 * 1024));

    // Reading a session staged below $TMPDIR: the staging folder goes too.
    {
        vorntest::SprkFixture f ("made.sprk");
        f.close();
        ASSERT_GT (f.file.getSize(), 4096);
        ASSERT_TRUE (f.file.copyFileTo (box.work.getChildFile ("session.sprk")));
    }
    expectRefusals (box, box.work, {
        { { "session.sprk" }, "ERROR   could not copy session to temporary directory: File too large (in " + box.path ("session.sprk") + ")" },
    }, vorntest::fileSizeLimit (4096));
}

// `vornconv ... | head -c 10`: standard output's reader is gone. The run says so on standard error
// and exits 1; a run that wrote its output before that says that too, so that a second try is not
// surprised to find it.
TEST (RefusedWrites, AReaderThatIsGoneIsAnErrorNotASilentDeath)
{
    Sandbox box;
    const juce::String broken = "vornconv: could not write standard output: Broken pipe\n";
    const juce::String writtenAnyway = "vornconv: the output was written all the same: ";
    const auto output = box.work.getChildFile ("new/out.ksn");
    const auto states = box.work.getChildFile ("states");
    const struct
    {
        std::vector<std::string> args;
        juce::String err;
        juce::File written;
    } cases[] = {
        { { "--manifest", "in.ksn" }, broken, {} },
        { { "in.ksn" }, broken, {} },
        { box.convertTo ("new/out.ksn"), broken + writtenAnyway + output.getFullPathName() + "\n", output },
        { box.convertTo ("new/out.ksn"), broken, {} }, // refused: the output exists now
        { box.exportTo ("states"), broken + writtenAnyway + states.getFullPathName() + "\n", states },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.args.front());
        const auto r = box.run (c.args, vorntest::hangSilenceMs, vorntest::stdoutToGoneReader);
        EXPECT_EQ (r.exitCode, 1);
        EXPECT_EQ (juce::String (r.err), c.err);
        if (c.written != juce::File())
            EXPECT_TRUE (c.written.exists());
        EXPECT_EQ (box.tmpEntries(), 0);
    }
    EXPECT_EQ (entriesOf (box.work.getChildFile ("new")), juce::StringArray ("out.ksn"));
    EXPECT_EQ (entriesOf (states), juce::StringArray ({ "TestComp__0-0.comp", "TestComp__0-0.cont" }));

    // A full stream, for comparison.
    const auto r = box.run ({ "--manifest", "in.ksn" }, vorntest::hangSilenceMs, [] {
        const int full = ::open ("/dev/full", O_WRONLY);
        if (full < 0 || ::dup2 (full, 1) < 0)
            ::_exit (126);
    });
    EXPECT_EQ (r.exitCode, 1);
    EXPECT_EQ (juce::String (r.err), "vornconv: could not write standard output: No space left on device\n");
}

// A final name that fits the folder is written, although name and temporary suffix together
// would not fit.
TEST (RefusedWrites, AnOutputNameOf250BytesIsWritten)
{
    Sandbox box;
    const auto name = juce::String::repeatedString ("n", 246) + ".ksn";
    ASSERT_EQ (name.getNumBytesAsUTF8(), (size_t) 250);
    const auto r = box.run (box.convertTo ("new/" + name), vorntest::hangSilenceMs);
    EXPECT_EQ (r.exitCode, 0) << r.out;
    EXPECT_EQ (entriesOf (box.work.getChildFile ("new")), juce::StringArray (name));
}
