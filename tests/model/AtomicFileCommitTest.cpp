#include "model/AtomicFileCommit.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace vornconv;

namespace
{

bool pathExists (const juce::File& f)
{
    struct stat info;
    return ::lstat (f.getFullPathName().toRawUTF8(), &info) == 0;
}

// A temporary holding text, made in folder for the file named finalName.
HeldFile temporaryWith (const HeldFolder& folder, const juce::String& finalName, const char* text)
{
    HeldFile temporary;
    EXPECT_TRUE (makeTemporaryIn (folder, finalName, temporary));
    EXPECT_TRUE (writeAllBytes (temporary.fd, text, std::strlen (text)));
    EXPECT_TRUE (temporary.close());
    return temporary;
}

juce::File where (const HeldFolder& folder, const HeldFile& file)
{
    return folder.path.getChildFile (juce::String (file.name));
}

} // namespace

TEST (AtomicFileCommit, MovesTemporaryOntoNewTarget)
{
    vorntest::TempFolder dir;
    HeldFolder folder;
    ASSERT_TRUE (openHeldFolder (dir.folder, false, "output folder", folder));
    auto tmp = temporaryWith (folder, "out.rpp", "payload");
    const auto tmpPath = where (folder, tmp);
    ASSERT_TRUE (pathExists (tmpPath));

    juce::String error;
    ASSERT_TRUE (commitNewFileExclusive (folder, tmp, "out.rpp", error)) << error;
    EXPECT_FALSE (pathExists (tmpPath));
    EXPECT_EQ (dir.file ("out.rpp").loadFileAsString(), "payload");
    tmp.remove(); // no longer the run's: stays
    EXPECT_EQ (dir.file ("out.rpp").loadFileAsString(), "payload");
}

TEST (AtomicFileCommit, NeverReplacesAnythingAtTarget)
{
    enum Kind { regularFile, folderAtTarget, danglingLink, linkToFile };
    for (auto kind : { regularFile, folderAtTarget, danglingLink, linkToFile })
    {
        vorntest::TempFolder dir;
        HeldFolder folder;
        ASSERT_TRUE (openHeldFolder (dir.folder, false, "output folder", folder));
        auto tmp = temporaryWith (folder, "existing", "new");
        const auto target = dir.file ("existing");
        const auto other = dir.file ("other");
        switch (kind)
        {
            case regularFile: ASSERT_TRUE (target.replaceWithText ("old")); break;
            case folderAtTarget: ASSERT_TRUE (target.createDirectory().wasOk()); break;
            case danglingLink: ASSERT_EQ (::symlink ("nowhere", target.getFullPathName().toRawUTF8()), 0); break;
            case linkToFile:
                ASSERT_TRUE (other.replaceWithText ("old"));
                ASSERT_EQ (::symlink ("other", target.getFullPathName().toRawUTF8()), 0);
                break;
        }

        juce::String error;
        EXPECT_FALSE (commitNewFileExclusive (folder, tmp, "existing", error)) << kind;
        EXPECT_EQ (error, "exclusive atomic rename failed: File exists: " + target.getFullPathName()) << kind;
        EXPECT_EQ (where (folder, tmp).loadFileAsString(), "new") << kind;
        if (kind == regularFile) EXPECT_EQ (target.loadFileAsString(), "old");
        if (kind == folderAtTarget) EXPECT_TRUE (target.isDirectory());
        if (kind == danglingLink) EXPECT_TRUE (target.isSymbolicLink() && ! target.exists());
        if (kind == linkToFile) EXPECT_EQ (other.loadFileAsString(), "old");
    }
}

// The temporary's name must still stand for the file the run made: gone, or replaced by a
// folder, a link, a FIFO or another file, nothing is published.
TEST (AtomicFileCommit, TemporaryMustBeTheFileTheRunMade)
{
    enum Kind { removed, folderInstead, linkInstead, fifoInstead, otherFileInstead, madeElsewhere };
    for (auto kind : { removed, folderInstead, linkInstead, fifoInstead, otherFileInstead, madeElsewhere })
    {
        vorntest::TempFolder dir, elsewhere;
        HeldFolder folder, otherFolder;
        ASSERT_TRUE (openHeldFolder (dir.folder, false, "output folder", folder));
        ASSERT_TRUE (openHeldFolder (elsewhere.folder, false, "output folder", otherFolder));
        auto tmp = temporaryWith (kind == madeElsewhere ? otherFolder : folder, "target", "x");
        const auto path = where (kind == madeElsewhere ? otherFolder : folder, tmp).getFullPathName();
        ASSERT_TRUE (dir.file ("real").replaceWithText ("real"));
        // Another file is made while the run's still exists, so that it cannot get its inode.
        ASSERT_TRUE (dir.file ("someone").replaceWithText ("someone else's"));
        if (kind != madeElsewhere)
            ASSERT_EQ (::unlink (path.toRawUTF8()), 0);
        switch (kind)
        {
            case folderInstead: ASSERT_EQ (::mkdir (path.toRawUTF8(), 0700), 0); break;
            case linkInstead: ASSERT_EQ (::symlink ("real", path.toRawUTF8()), 0); break;
            case fifoInstead: ASSERT_EQ (::mkfifo (path.toRawUTF8(), 0600), 0); break;
            case otherFileInstead: ASSERT_TRUE (dir.file ("someone").moveFileTo (juce::File (path))); break;
            case removed: case madeElsewhere: break;
        }

        juce::String error;
        EXPECT_FALSE (commitNewFileExclusive (folder, tmp, "target", error)) << kind;
        EXPECT_EQ (error, "temporary output does not exist") << kind;
        EXPECT_FALSE (pathExists (dir.file ("target"))) << kind;
        tmp.remove(); // what stands at its name now is not the run's
        EXPECT_EQ (pathExists (juce::File (path)), kind != removed && kind != madeElsewhere) << kind;
        EXPECT_EQ (dir.file ("real").loadFileAsString(), "real");
    }
}
