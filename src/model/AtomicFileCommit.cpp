#include "model/AtomicFileCommit.h"

#include "model/PrivateFiles.h"
#include "model/TestHooks.h"
#include "model/Utf8Text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// What a refusal calls name in folder: the folder's path as the run names it, then the name.
juce::String pathIn (const HeldFolder& folder, const std::string& name)
{
    return folder.path.getFullPathName() + "/" + utf8::toTextReplacingMalformed (name.data(), name.size());
}

bool commitExclusive (const HeldFolder& folder, HeldFile& temporary, const juce::String& name, bool stayRegistered,
                      juce::String& error)
{
    testHooks::stopPoint ("commit");
    if (! folder.stillAtItsPath (error))
        return false;
    if (temporary.folder != folder.handle)
    {
        error = "temporary output does not exist";
        return false;
    }
    // The registration changes in the same step as the name: the temporary's name is no longer
    // ours to remove, and a file that stays registered goes with an interruption at its new name.
    switch (renameRegisteredFile (temporary.registration, name.toStdString(), stayRegistered))
    {
        case RenameOutcome::renamed:
            if (stayRegistered)
                temporary.name = name.toStdString();
            return true;
        case RenameOutcome::missing:
            error = "temporary output does not exist";
            return false;
        case RenameOutcome::changed:
            error = "temporary output changed after it was written: " + pathIn (folder, temporary.name);
            return false;
        case RenameOutcome::failed:
            break;
    }
    error = "exclusive atomic rename failed: " + utf8::toTextReplacingMalformed (std::strerror (errno)) + ": "
          + pathIn (folder, name.toStdString());
    return false;
}

} // namespace

bool commitNewFileExclusive (const HeldFolder& folder, HeldFile& temporary, const juce::String& name, juce::String& error)
{
    return commitExclusive (folder, temporary, name, false, error);
}

bool commitNewFileExclusiveProvisionally (const HeldFolder& folder, HeldFile& temporary, const juce::String& name,
                                          juce::String& error)
{
    return commitExclusive (folder, temporary, name, true, error);
}

juce::String systemReason (int code)
{
    return code != 0 ? ": " + utf8::toTextReplacingMalformed (std::strerror (code)) : juce::String();
}

bool writeThroughDescriptor (HeldFile& file, const std::function<bool (juce::OutputStream&)>& writeBody)
{
    bool written;
    int code = 0;
    {
        DescriptorOutputStream out (file.fd);
        written = writeBody (out);
        out.flush();
        code = out.systemError;
    }
    // Some file systems report a failed write only when the file is closed.
    if (! file.close() && code == 0)
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

} // namespace vornconv
