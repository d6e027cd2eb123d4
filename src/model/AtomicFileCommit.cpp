#include "model/AtomicFileCommit.h"

#include "model/PrivateFiles.h"
#include "model/TestHooks.h"
#include "model/Utf8Text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vornconv
{
namespace
{

// A buffered stream over a descriptor we created ourselves. Writing through that descriptor, and
// never reopening the file by its name, means nothing raced into the name's place (a link to a
// file elsewhere) is ever written.
struct DescriptorOutputStream final : juce::OutputStream
{
    explicit DescriptorOutputStream (int descriptor) : fd (descriptor) { buffer.reserve (bufferSize); }
    ~DescriptorOutputStream() override { flush(); }

    void flush() override
    {
        if (! buffer.empty() && failed == false)
            noteWrite (writeAllBytes (fd, buffer.data(), buffer.size()));
        buffer.clear();
    }

    void noteWrite (bool written)
    {
        if (! written && ! failed)
        {
            failed = true;
            systemError = errno;
        }
    }

    bool setPosition (juce::int64) override { return false; }
    juce::int64 getPosition() override { return position; }

    bool write (const void* data, size_t size) override
    {
        if (failed)
            return false;
        position += (juce::int64) size;
        if (buffer.size() + size <= bufferSize)
        {
            const auto* bytes = static_cast<const char*> (data);
            buffer.insert (buffer.end(), bytes, bytes + size);
            return true;
        }
        flush();
        if (size >= bufferSize)
        {
            if (! failed)
                noteWrite (writeAllBytes (fd, data, size));
        }
        else
        {
            const auto* bytes = static_cast<const char*> (data);
            buffer.insert (buffer.end(), bytes, bytes + size);
        }
        return ! failed;
    }

    static constexpr size_t bufferSize = 65536;
    int fd;
    std::vector<char> buffer;
    juce::int64 position = 0;
    bool failed = false;
    int systemError = 0; // errno of the first failed write
};

bool commitExclusive (const juce::File& temporary, const juce::File& target, bool stayRegistered, juce::String& error)
{
    testHooks::stopPoint ("commit");
    const juce::String from = temporary.getFullPathName();
    const juce::String to = target.getFullPathName();

    struct stat info;
    if (from.isEmpty() || ::lstat (from.toRawUTF8(), &info) != 0 || ! S_ISREG (info.st_mode))
    {
        error = "temporary output does not exist";
        return false;
    }

    // The registration changes in the same step as the name: the temporary's name is no longer
    // ours to remove, and a file that stays registered goes with an interruption at its new name.
    const bool moved = moveRegisteredFile (temporary, target, stayRegistered, [&] {
        return ::renameat2 (AT_FDCWD, from.toRawUTF8(), AT_FDCWD, to.toRawUTF8(), RENAME_NOREPLACE) == 0;
    });
    if (! moved)
    {
        const int code = errno;
        error = "exclusive atomic rename failed: " + juce::String (std::strerror (code));
        return false;
    }
    return true;
}

} // namespace

bool commitNewFileExclusive (const juce::File& temporary, const juce::File& target, juce::String& error)
{
    return commitExclusive (temporary, target, false, error);
}

bool commitNewFileExclusiveProvisionally (const juce::File& temporary, const juce::File& target, juce::String& error)
{
    return commitExclusive (temporary, target, true, error);
}

juce::String systemReason (int code)
{
    return code != 0 ? ": " + utf8::toTextReplacingMalformed (std::strerror (code)) : juce::String();
}

bool writeNewFileExclusive (const juce::File& file, bool& created,
                            const std::function<bool (juce::OutputStream&)>& writeBody)
{
    int fd = -1;
    if (! createRegisteredFile (file, fd))
        return false;
    created = true;
    // Closed on every way out, an exception from writeBody included.
    struct Closer
    {
        int fd;
        ~Closer() { if (fd >= 0) ::close (fd); }
    } closer { fd };
    bool written;
    int code = 0;
    {
        DescriptorOutputStream out (fd);
        written = writeBody (out);
        out.flush();
        code = out.systemError;
    }
    closer.fd = -1;
    // Some file systems report a failed write only when the file is closed.
    if (::close (fd) != 0 && code == 0)
        code = errno;
    errno = code;
    return written && code == 0;
}

bool writeAllBytes (int fd, const void* data, size_t size)
{
    const auto* p = static_cast<const char*> (data);
    while (size > 0)
    {
        const auto n = ::write (fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO; // no progress and no reason given
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
    struct stat info;
    if (::lstat (dir.getFullPathName().toRawUTF8(), &info) == 0 || dir.getParentDirectory() == dir)
    {
        errno = ENOTDIR;
        return false;
    }
    // Why it does not exist: a name too long or a folder that may not be searched says more than
    // the mkdir that would follow.
    if (errno != ENOENT)
        return false;
    if (! createMissingFolders (dir.getParentDirectory(), created))
        return false;
    if (! makeFolderForOutput (dir))
        return false;
    created.add (dir);
    return true;
}

void removeCreatedFolders (juce::Array<juce::File>& created)
{
    for (int i = created.size(); --i >= 0;)
    {
        ::rmdir (created.getReference (i).getFullPathName().toRawUTF8());
        forgetFolderMadeForOutput (created.getReference (i));
    }
    created.clear();
}

void PendingOutput::abandon()
{
    if (temporaryCreated)
    {
        ::unlink (temporary.getFullPathName().toRawUTF8());
        forgetFile (temporary);
    }
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
        const int code = errno;
        removeCreatedFolders (pending.createdFolders);
        error = "could not create output directory" + systemReason (code);
        return false;
    }
    pending.temporary = temporaryNameBeside (output);
    return true;
}

} // namespace vornconv
