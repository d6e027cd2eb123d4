#include "model/AtomicFileCommit.h"
#include "model/HeldFolder.h"
#include "model/PrivateFiles.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace vornconv;

// A temporary for any final name lies in the held folder itself (JUCE would read a name starting
// with '~' as a home folder), and is published there.
TEST (PrivateFiles, TemporariesLieInTheHeldFolderWhateverTheName)
{
    vorntest::TempFolder dir;
    HeldFolder folder;
    ASSERT_TRUE (openHeldFolder (dir.folder, false, "output folder", folder));
    for (const char* name : { "~x.ksn", "~", "~root", "plain.rpp", "two words.rack2" })
    {
        HeldFile temporary;
        ASSERT_TRUE (makeTemporaryIn (folder, name, temporary)) << name;
        EXPECT_TRUE (juce::File (dir.folder.getFullPathName() + "/" + juce::String (temporary.name)).existsAsFile()) << name;
        ASSERT_TRUE (writeThroughDescriptor (temporary, [] (juce::OutputStream& out) { return out.writeText ("payload", false, false, nullptr); }))
            << name;
        EXPECT_EQ (temporary.pathThroughHandle().loadFileAsString(), "payload") << name;
        juce::String error;
        ASSERT_TRUE (commitNewFileExclusive (folder, temporary, name, error)) << error;
        EXPECT_EQ (juce::File (dir.folder.getFullPathName() + "/" + name).loadFileAsString(), "payload") << name;
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

    HeldFolder folder;
    ASSERT_TRUE (openHeldFolder (work, false, "output folder", folder));
    for (int round = 0; round < 3000; ++round)
    {
        HeldFile temporary;
        if (makeTemporaryIn (folder, "out" + juce::String (round) + ".rpp", temporary))
            writeThroughDescriptor (temporary, [] (juce::OutputStream& out) { return out.writeText ("ATTACK", false, false, nullptr); });
    }
    stop = true;
    racer.join();
    ::close (watch);
    EXPECT_EQ (victim.loadFileAsString(), "untouched");
}

// What the run made in a held folder goes again only while its name still stands for it: a file
// or folder put at its name since (someone else's) stays, and so does a folder that is not empty.
TEST (PrivateFiles, WhatTheRunMadeIsRemovedOnlyWhileItsNameStandsForIt)
{
    vorntest::TempFolder dir;
    const auto userFolder = dir.file ("user");
    ASSERT_TRUE (userFolder.createDirectory());
    ASSERT_TRUE (dir.file ("user-file").replaceWithText ("the user's"));

    HeldFolder folder;
    ASSERT_TRUE (openHeldFolder (dir.file ("a/b"), true, "output folder", folder));
    ASSERT_TRUE (dir.file ("a/b").isDirectory());
    HeldFile mine, replaced;
    ASSERT_TRUE (makeTemporaryIn (folder, "mine", mine));
    ASSERT_TRUE (makeTemporaryIn (folder, "replaced", replaced));
    const auto replacedPath = dir.file ("a/b").getChildFile (juce::String (replaced.name));
    ASSERT_TRUE (dir.file ("user-file").moveFileTo (replacedPath));
    mine.remove();
    replaced.remove();
    EXPECT_EQ (dir.file ("a/b").getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 1);
    EXPECT_EQ (replacedPath.loadFileAsString(), "the user's");

    // The made folder b, not empty, stays; a, replaced by the user's folder, stays too.
    ASSERT_TRUE (dir.file ("a").moveFileTo (dir.file ("moved")));
    ASSERT_TRUE (userFolder.moveFileTo (dir.file ("a")));
    folder.removeMadeFolders();
    EXPECT_TRUE (dir.file ("moved/b").isDirectory());
    EXPECT_TRUE (dir.file ("a").isDirectory());

    // An empty folder the run made goes through its parent's handle, wherever the parent is now.
    HeldFolder again;
    ASSERT_TRUE (openHeldFolder (dir.file ("a/c"), true, "output folder", again));
    ASSERT_TRUE (dir.file ("a").moveFileTo (dir.file ("user-again")));
    again.removeMadeFolders();
    EXPECT_FALSE (dir.file ("user-again/c").exists());
    EXPECT_TRUE (dir.file ("user-again").isDirectory());
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
