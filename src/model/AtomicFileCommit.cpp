#include "model/AtomicFileCommit.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool writeNewFileExclusive (const juce::File& file, bool& created,
                            const std::function<bool (juce::OutputStream&)>& writeBody)
{
    const int fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    created = true;
    ::close (fd);
    juce::FileOutputStream out (file, 65536);
    if (! out.openedOk())
        return false;
    const bool written = writeBody (out);
    out.flush();
    return written && out.getStatus().wasOk();
}

bool writeAllBytes (int fd, const void* data, size_t size)
{
    const auto* p = static_cast<const char*> (data);
    while (size > 0)
    {
        const auto n = ::write (fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= (size_t) n;
    }
    return true;
}

bool anythingExistsAt (const juce::File& file)
{
    struct stat st;
    return ::lstat (file.getFullPathName().toRawUTF8(), &st) == 0;
}

bool createMissingFolders (const juce::File& dir, juce::Array<juce::File>& created)
{
    if (dir.isDirectory())
        return true;
    if (anythingExistsAt (dir) || dir.getParentDirectory() == dir)
        return false;
    if (! createMissingFolders (dir.getParentDirectory(), created))
        return false;
    if (::mkdir (dir.getFullPathName().toRawUTF8(), 0777) != 0)
        return false;
    created.add (dir);
    return true;
}

void removeCreatedFolders (juce::Array<juce::File>& created)
{
    for (int i = created.size(); --i >= 0;)
        ::rmdir (created.getReference (i).getFullPathName().toRawUTF8());
    created.clear();
}

void PendingOutput::abandon()
{
    if (temporaryCreated)
        temporary.deleteFile();
    temporaryCreated = false;
    removeCreatedFolders (createdFolders);
}

bool beginNewOutput (const juce::File& output, PendingOutput& pending, juce::String& error)
{
    if (anythingExistsAt (output))
    {
        error = "refusing to replace existing output: " + output.getFullPathName();
        return false;
    }
    if (! createMissingFolders (output.getParentDirectory(), pending.createdFolders))
    {
        removeCreatedFolders (pending.createdFolders);
        error = "could not create output directory";
        return false;
    }
    pending.temporary = juce::TemporaryFile (output).getFile();
    return true;
}

} // namespace vornconv
