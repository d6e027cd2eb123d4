// The one loader for files we did not write: one open that never waits on a FIFO, an fstat that
// must find a regular file within the caller's size limit, one read of exactly that many bytes (a
// file that changes meanwhile is refused), and for text the strict UTF-8 check. Every refusal
// names the file.
//
// The file holds, in order: the private read and UTF-8 checks, then openUntrustedFile, the
// reading of a file in pieces, and the three readers built on them (bytes, UTF-8 bytes, text).

#include "model/UntrustedFile.h"

#include "model/Utf8Text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vornconv
{
namespace
{

juce::String pathOf (const juce::File& file)
{
    return file.getFullPathName();
}

juce::String systemError (int code)
{
    return utf8::toTextReplacingMalformed (std::strerror (code));
}

juce::String changedWhileRead (const juce::File& file)
{
    return "file changed while it was read: " + pathOf (file);
}

// Reads exactly size bytes into buffer; a file that ends before them has changed meanwhile.
bool readPiece (int fd, char* buffer, size_t size, const juce::File& file, juce::String& error)
{
    size_t got = 0;
    while (got < size)
    {
        const auto n = ::read (fd, buffer + got, std::min<size_t> (size - got, (size_t) 1 << 30));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            error = "cannot read " + pathOf (file) + ": " + systemError (errno);
            return false;
        }
        if (n == 0)
        {
            error = changedWhileRead (file);
            return false;
        }
        got += (size_t) n;
    }
    return true;
}

// Makes sure nothing follows the bytes read: a file that changes while it is read is refused
// rather than read half old, half new.
bool finishRead (int fd, const juce::File& file, juce::String& error)
{
    char extra;
    ssize_t more;
    do
        more = ::read (fd, &extra, 1);
    while (more < 0 && errno == EINTR);
    if (more != 0)
    {
        error = changedWhileRead (file);
        return false;
    }
    return true;
}

bool readExactly (int fd, char* buffer, size_t size, const juce::File& file, juce::String& error)
{
    return readPiece (fd, buffer, size, file, error) && finishRead (fd, file, error);
}

bool checkUtf8 (const void* data, size_t size, bool allowNul, const juce::File& file, juce::String& error)
{
    const auto bad = utf8::firstMalformedByte (data, size);
    if (bad != size)
    {
        error = "not valid UTF-8 text (byte " + juce::String ((juce::int64) bad) + "): " + pathOf (file);
        return false;
    }
    if (! allowNul)
        if (const auto* nul = std::memchr (data, 0, size))
        {
            const auto at = static_cast<const char*> (nul) - static_cast<const char*> (data);
            error = "NUL byte in text (byte " + juce::String ((juce::int64) at) + "): " + pathOf (file);
            return false;
        }
    return true;
}

struct Descriptor
{
    int fd = -1;
    ~Descriptor() { if (fd >= 0) ::close (fd); }
};

} // namespace

bool openUntrustedFile (const juce::File& file, juce::int64 maxBytes, int& fd, juce::int64& size, juce::String& error)
{
    fd = -1;
    size = 0;
    const auto path = pathOf (file);
    if (path.isEmpty())
    {
        error = "file not found: (no path)";
        return false;
    }
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer; it is refused below.
    const int opened = ::open (path.toRawUTF8(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (opened < 0)
    {
        const int code = errno;
        error = code == ENOENT ? "file not found: " + path : "cannot open " + path + ": " + systemError (code);
        return false;
    }
    struct stat info;
    if (::fstat (opened, &info) != 0 || ! S_ISREG (info.st_mode))
    {
        ::close (opened);
        error = "not a regular file: " + path;
        return false;
    }
    if (info.st_size < 0 || (juce::int64) info.st_size > maxBytes)
    {
        ::close (opened);
        error = "file is larger than " + juce::String (maxBytes) + " bytes: " + path;
        return false;
    }
    const int flags = ::fcntl (opened, F_GETFL);
    if (flags < 0 || ::fcntl (opened, F_SETFL, flags & ~O_NONBLOCK) != 0)
    {
        ::close (opened);
        error = "cannot open " + path + ": " + systemError (errno);
        return false;
    }
    fd = opened;
    size = (juce::int64) info.st_size;
    return true;
}

bool readUntrustedPiece (int fd, const juce::File& file, void* buffer, size_t size, juce::String& error)
{
    return readPiece (fd, static_cast<char*> (buffer), size, file, error);
}

bool finishUntrustedRead (int fd, const juce::File& file, juce::String& error)
{
    return finishRead (fd, file, error);
}

bool readUntrustedBytes (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& bytes, juce::String& error)
{
    bytes.reset();
    Descriptor in;
    juce::int64 size = 0;
    if (! openUntrustedFile (file, maxBytes, in.fd, size, error))
        return false;
    juce::MemoryBlock read ((size_t) size, false);
    if (! readExactly (in.fd, static_cast<char*> (read.getData()), (size_t) size, file, error))
        return false;
    bytes = std::move (read);
    return true;
}

bool readUntrustedUtf8 (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& bytes, juce::String& error)
{
    if (! readUntrustedBytes (file, maxBytes, bytes, error))
        return false;
    if (checkUtf8 (bytes.getData(), bytes.getSize(), true, file, error))
        return true;
    bytes.reset();
    return false;
}

bool readUntrustedText (const juce::File& file, juce::int64 maxBytes, juce::String& text, juce::String& error)
{
    text.clear();
    Descriptor in;
    juce::int64 size = 0;
    if (! openUntrustedFile (file, maxBytes, in.fd, size, error))
        return false;
    if (size == 0)
        return readExactly (in.fd, nullptr, 0, file, error);
    if (size >= std::numeric_limits<int>::max())
    {
        error = "file is too large to be held as text: " + pathOf (file);
        return false;
    }
    // The bytes go straight into the text's own storage; they are checked before anything reads
    // them as text, and the text is cleared again when they are refused.
    juce::String read;
    read.preallocateBytes ((size_t) size + 1);
    auto* buffer = read.getCharPointer().getAddress();
    buffer[0] = 0;
    if (! readExactly (in.fd, buffer, (size_t) size, file, error))
        return false;
    buffer[size] = 0;
    if (! checkUtf8 (buffer, (size_t) size, false, file, error))
    {
        buffer[0] = 0;
        return false;
    }
    text = std::move (read);
    return true;
}

} // namespace vornconv
