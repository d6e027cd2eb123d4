#include "model/AtomicFileCommit.h"
#include "model/PrivateFiles.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace vornconv;

// JUCE reads a name starting with '~' as a home folder: a temporary named from such an output
// must still lie beside it, or the final rename crosses folders (and file systems).
TEST (PrivateFiles, TemporariesLieBesideTheirTargetWhateverItsName)
{
    vorntest::TempFolder dir;
    for (const char* name : { "~x.ksn", "~", "~root", "plain.rpp", "two words.rack2" })
    {
        const auto target = juce::File (dir.folder.getFullPathName() + "/" + name);
        PendingOutput pending;
        juce::String error;
        ASSERT_TRUE (beginNewOutput (target, pending, error)) << error;
        EXPECT_EQ (pending.temporary.getParentDirectory(), dir.folder) << name;
        ASSERT_TRUE (writeNewFileExclusive (pending.temporary, pending.temporaryCreated,
                                            [] (juce::OutputStream& out) { return out.writeText ("payload", false, false, nullptr); }))
            << name;
        ASSERT_TRUE (commitNewFileExclusive (pending.temporary, target, error)) << error;
        EXPECT_EQ (target.loadFileAsString(), "payload") << name;

        TemporaryFileBeside beside;
        ASSERT_TRUE (makeTemporaryBeside (target, beside, error)) << error;
        EXPECT_EQ (beside.file.getParentDirectory(), dir.folder) << name;
        beside.remove();
    }
    EXPECT_EQ (dir.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 5);
}

// A link put at the temporary's name between its creation and its writing must never be written
// through: the bytes go through the descriptor that created the file, or nowhere.
TEST (PrivateFiles, ALinkRacedIntoTheTemporarysPlaceIsNeverWrittenThrough)
{
    vorntest::TempFolder dir;
    const auto victim = dir.file ("victim.txt");
    ASSERT_TRUE (victim.replaceWithText ("untouched"));
    const auto work = dir.file ("work");
    ASSERT_TRUE (work.createDirectory());

    // Every file created in the folder is replaced by a link to the victim as fast as possible.
    const int watch = inotify_init1 (IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE (watch, 0);
    ASSERT_GE (inotify_add_watch (watch, work.getFullPathName().toRawUTF8(), IN_CREATE), 0);
    std::atomic<bool> stop { false };
    std::thread racer ([&] {
        alignas (inotify_event) char buffer[4096];
        while (! stop)
        {
            const auto n = ::read (watch, buffer, sizeof buffer);
            for (ssize_t at = 0; n > 0 && at < n;)
            {
                const auto* event = reinterpret_cast<const inotify_event*> (buffer + at);
                if (event->len > 0)
                {
                    const auto path = work.getFullPathName() + "/" + event->name;
                    ::unlink (path.toRawUTF8());
                    (void) ::symlink (victim.getFullPathName().toRawUTF8(), path.toRawUTF8());
                }
                at += (ssize_t) sizeof (inotify_event) + event->len;
            }
        }
    });

    for (int round = 0; round < 3000; ++round)
    {
        const auto target = work.getChildFile ("out" + juce::String (round) + ".rpp");
        PendingOutput pending;
        juce::String error;
        if (beginNewOutput (target, pending, error))
            writeNewFileExclusive (pending.temporary, pending.temporaryCreated,
                                   [] (juce::OutputStream& out) { return out.writeText ("ATTACK", false, false, nullptr); });
        pending.abandon();
    }
    stop = true;
    racer.join();
    ::close (watch);
    EXPECT_EQ (victim.loadFileAsString(), "untouched");
}

TEST (PrivateFiles, PrivateFoldersArePrivateAndGoWithTheirOwner)
{
    vorntest::TempFolder dir;
    juce::File made;
    {
        PrivateFolder folder;
        juce::String error;
        ASSERT_TRUE (makePrivateFolder (dir.folder, "vorn-test-", folder, error)) << error;
        made = folder.folder;
        EXPECT_EQ (made.getParentDirectory(), dir.folder);
        EXPECT_TRUE (made.getFileName().startsWith ("vorn-test-"));
        struct stat info;
        ASSERT_EQ (::stat (made.getFullPathName().toRawUTF8(), &info), 0);
        EXPECT_EQ (info.st_mode & 0777, 0700u);
        ASSERT_TRUE (made.getChildFile ("sub").createDirectory());
        ASSERT_TRUE (made.getChildFile ("sub/copy.sprk").replaceWithText ("session"));

        PrivateFolder moved = std::move (folder); // the folder goes with its last owner only
        EXPECT_FALSE (folder.exists());
        folder.remove();
        EXPECT_TRUE (made.isDirectory());
    }
    EXPECT_FALSE (made.exists());

    PrivateFolder failed;
    juce::String error;
    EXPECT_FALSE (makePrivateFolder (dir.file ("missing"), "x-", failed, error));
    EXPECT_TRUE (error.startsWith ("could not create a private folder in " + dir.file ("missing").getFullPathName()));
}
