#include "model/AtomicFileCommit.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

namespace vornconv
{

bool commitNewFileExclusive (const juce::File& temporary, const juce::File& target, juce::String& error)
{
    const juce::String from = temporary.getFullPathName();
    const juce::String to = target.getFullPathName();

    struct stat info;
    if (from.isEmpty() || ::lstat (from.toRawUTF8(), &info) != 0 || ! S_ISREG (info.st_mode))
    {
        error = "temporary output does not exist";
        return false;
    }

    if (::renameat2 (AT_FDCWD, from.toRawUTF8(), AT_FDCWD, to.toRawUTF8(), RENAME_NOREPLACE) != 0)
    {
        const int code = errno;
        error = "exclusive atomic rename failed: " + juce::String (std::strerror (code));
        return false;
    }
    return true;
}

} // namespace vornconv
