#include "model/Folders.h"
#include "model/TestHooks.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace vornconv;

namespace
{

// What another run puts at a folder's name between this run's look and its mkdir.
void otherRunMakesAFolder (const char* path) { ::mkdir (path, 0777); }
void otherRunMakesAFile (const char* path) { juce::File (path).replaceWithText ("x"); }
void otherRunMakesALinkToAFolder (const char* path) { (void) ! ::symlink ("/tmp", path); }

struct FolderHook
{
    explicit FolderHook (void (*hook) (const char*)) { testHooks::beforeFolderMade = hook; }
    ~FolderHook() { testHooks::beforeFolderMade = nullptr; }
};

} // namespace

// Several runs make one cache folder at once: the mkdir of all but one finds the name taken. Each
// of the folders on the way, taken by another run's folder just before this run's mkdir, is
// success; a file or a link there is not.
TEST (Folders, AFolderAnotherRunJustMadeIsMade)
{
    struct Case
    {
        const char* what;
        void (*meanwhile) (const char*);
        bool made;
    };
    const Case cases[] = {
        { "nothing else", nullptr, true },
        { "a folder", otherRunMakesAFolder, true },
        { "a file", otherRunMakesAFile, false },
        { "a link to a folder", otherRunMakesALinkToAFolder, false },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        vorntest::TempFolder dir;
        const auto folder = dir.file ("a/b/cache");
        FolderHook hook (c.meanwhile);
        errno = 0;
        EXPECT_EQ (makeFolderWithParents (folder), c.made);
        testHooks::beforeFolderMade = nullptr;
        if (c.made)
            EXPECT_TRUE (folder.isDirectory());
        else
            EXPECT_EQ (errno, ENOTDIR);
    }

    // What stands already is used as it is, a link to a folder included; a file is refused.
    vorntest::TempFolder dir;
    ASSERT_TRUE (dir.file ("real").createDirectory().wasOk());
    ASSERT_EQ (::symlink (dir.file ("real").getFullPathName().toRawUTF8(), dir.file ("link").getFullPathName().toRawUTF8()), 0);
    EXPECT_TRUE (makeFolderWithParents (dir.file ("real")));
    EXPECT_TRUE (makeFolderWithParents (dir.file ("link")));
    ASSERT_TRUE (dir.file ("plain").replaceWithText ("x"));
    EXPECT_FALSE (makeFolderWithParents (dir.file ("plain")));
    EXPECT_FALSE (makeFolderWithParents (dir.file ("plain/below")));
    EXPECT_EQ (errno, ENOTDIR);
}
