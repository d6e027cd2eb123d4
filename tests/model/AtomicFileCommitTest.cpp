#include "model/AtomicFileCommit.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

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

} // namespace

TEST (AtomicFileCommit, MovesTemporaryOntoNewTarget)
{
    vorntest::TempFolder dir;
    const auto tmp = dir.file ("out.rpp.tmp");
    const auto target = dir.file ("out.rpp");
    ASSERT_TRUE (tmp.replaceWithText ("payload"));

    juce::String error;
    ASSERT_TRUE (commitNewFileExclusive (tmp, target, error)) << error;
    EXPECT_FALSE (pathExists (tmp));
    EXPECT_EQ (target.loadFileAsString(), "payload");
}

TEST (AtomicFileCommit, NeverReplacesAnythingAtTarget)
{
    enum Kind { regularFile, folder, danglingLink, linkToFile };
    for (auto kind : { regularFile, folder, danglingLink, linkToFile })
    {
        vorntest::TempFolder dir;
        const auto tmp = dir.file ("new.tmp");
        const auto target = dir.file ("existing");
        const auto other = dir.file ("other");
        ASSERT_TRUE (tmp.replaceWithText ("new"));
        switch (kind)
        {
            case regularFile: ASSERT_TRUE (target.replaceWithText ("old")); break;
            case folder: ASSERT_TRUE (target.createDirectory().wasOk()); break;
            case danglingLink: ASSERT_EQ (::symlink ("nowhere", target.getFullPathName().toRawUTF8()), 0); break;
            case linkToFile:
                ASSERT_TRUE (other.replaceWithText ("old"));
                ASSERT_EQ (::symlink ("other", target.getFullPathName().toRawUTF8()), 0);
                break;
        }

        juce::String error;
        EXPECT_FALSE (commitNewFileExclusive (tmp, target, error)) << kind;
        EXPECT_EQ (error, "exclusive atomic rename failed: File exists") << kind;
        EXPECT_EQ (tmp.loadFileAsString(), "new") << kind;
        if (kind == regularFile) EXPECT_EQ (target.loadFileAsString(), "old");
        if (kind == folder) EXPECT_TRUE (target.isDirectory());
        if (kind == danglingLink) EXPECT_TRUE (target.isSymbolicLink() && ! target.exists());
        if (kind == linkToFile) EXPECT_EQ (other.loadFileAsString(), "old");
    }
}

TEST (AtomicFileCommit, TemporaryMustBeARegularFile)
{
    vorntest::TempFolder dir;
    const auto target = dir.file ("target");
    const auto realFile = dir.file ("real");
    ASSERT_TRUE (realFile.replaceWithText ("x"));
    const auto folder = dir.file ("folder");
    ASSERT_TRUE (folder.createDirectory().wasOk());
    const auto link = dir.file ("link");
    ASSERT_EQ (::symlink ("real", link.getFullPathName().toRawUTF8()), 0);
    const auto fifo = dir.file ("fifo");
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);

    for (const auto& tmp : { dir.file ("missing"), folder, link, fifo, juce::File() })
    {
        juce::String error;
        EXPECT_FALSE (commitNewFileExclusive (tmp, target, error)) << tmp.getFullPathName();
        EXPECT_EQ (error, "temporary output does not exist");
        EXPECT_FALSE (pathExists (target));
    }
    EXPECT_TRUE (pathExists (link));
}
