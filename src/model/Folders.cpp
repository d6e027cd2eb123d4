// Making a folder that other runs may be making at the same moment: the missing folders from the
// top down, each mkdir that finds its name taken settled by what lstat finds there.

#include "model/Folders.h"

#include "model/TestHooks.h"

#include <cerrno>
#include <sys/stat.h>
#include <vector>

namespace vornconv
{
namespace
{

bool lstatOf (const juce::File& file, struct stat& info)
{
    return ::lstat (file.getFullPathName().toRawUTF8(), &info) == 0;
}

// One folder, its parent standing: made now, or made by someone else just before.
bool makeOne (const juce::File& folder)
{
    const auto path = folder.getFullPathName();
    if (testHooks::beforeFolderMade != nullptr)
        testHooks::beforeFolderMade (path.toRawUTF8());
    if (::mkdir (path.toRawUTF8(), 0777) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat info;
    if (lstatOf (folder, info) && S_ISDIR (info.st_mode))
        return true;
    errno = EEXIST;
    return false;
}

} // namespace

bool makeFolderWithParents (const juce::File& folder)
{
    if (folder.isDirectory())
        return true;
    // The folders that are missing, the deepest first; an existing name ends the walk up.
    std::vector<juce::File> missing;
    struct stat info;
    for (auto f = folder; ! lstatOf (f, info); f = f.getParentDirectory())
    {
        if (errno != ENOENT)
            return false;
        missing.push_back (f);
        if (f.getParentDirectory() == f)
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        if (! makeOne (*it))
            return false;
    if (missing.empty())
    {
        errno = EEXIST; // a file, or a link to no folder, holds the name
        return false;
    }
    return true;
}

} // namespace vornconv
