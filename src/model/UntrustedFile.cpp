// The one loader for files we did not write: one open that never waits on a FIFO, an fstat that
// must find a regular file within the caller's size limit, one read of exactly that many bytes, a
// second fstat on the same descriptor that must find the file as the first one did (a file that
// changes meanwhile is refused), and for text the byte-order mark and the strict UTF-8 and NUL
// checks. Every refusal names the file.
//
// The file holds, in order: the private read, stamp, mark and text checks, then openUntrustedFile,
// the reading of a file in pieces, and the four readers built on them (bytes, UTF-8 bytes, text,
// lines).

#include "model/UntrustedFile.h"

#include "model/TestHooks.h"
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

UntrustedFileStamp stampOf (const struct stat& info) noexcept
{
    UntrustedFileStamp stamp;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = (juce::int64) info.st_size;
    stamp.modified = info.st_mtim;
    stamp.changed = info.st_ctim;
    return stamp;
}

bool sameTime (const timespec& a, const timespec& b) noexcept
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool sameStamp (const UntrustedFileStamp& a, const UntrustedFileStamp& b) noexcept
{
    return a.device == b.device && a.inode == b.inode && a.size == b.size && sameTime (a.modified, b.modified)
        && sameTime (a.changed, b.changed);
}

// Makes sure nothing follows the bytes read and that the file is still the one stamped at
// opening: a file that changes while it is read is refused rather than read half old, half new,
// also when it keeps its size (a host saving a session in place).
bool finishRead (int fd, const juce::File& file, const UntrustedFileStamp& opened, juce::String& error)
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
    if (testHooks::afterFileRead != nullptr)
        testHooks::afterFileRead (pathOf (file).toRawUTF8());
    struct stat info;
    if (::fstat (fd, &info) != 0)
    {
        error = "cannot read " + pathOf (file) + ": " + systemError (errno);
        return false;
    }
    if (! sameStamp (stampOf (info), opened))
    {
        error = changedWhileRead (file);
        return false;
    }
    return true;
}

bool readExactly (int fd, char* buffer, size_t size, const juce::File& file, const UntrustedFileStamp& opened, juce::String& error)
{
    return readPiece (fd, buffer, size, file, error) && finishRead (fd, file, opened, error);
}

juce::String notUtf8 (size_t at, const juce::File& file)
{
    return "not valid UTF-8 text (byte " + juce::String ((juce::int64) at) + "): " + pathOf (file);
}

juce::String nulByte (size_t at, const juce::File& file)
{
    return "NUL byte in text (byte " + juce::String ((juce::int64) at) + "): " + pathOf (file);
}

// The size of the UTF-8 byte-order mark the text starts with: 3, or 0 when there is none.
size_t leadingMarkSize (const char* data, size_t size) noexcept
{
    return size >= 3 && std::memcmp (data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
}

// The text after its mark (at offset skip of the file) must be well-formed UTF-8 without a NUL
// byte, or, for lines, hold no NUL byte and begin with no UTF-16 mark.
bool checkText (const char* data, size_t size, size_t skip, bool wholeUtf8, const juce::File& file, juce::String& error)
{
    const auto length = size - skip;
    if (length == 0)
        return true;
    const auto* text = data + skip;
    if (wholeUtf8)
    {
        const auto check = utf8::checkText (text, length);
        if (check.fault == utf8::TextFault::none)
            return true;
        error = check.fault == utf8::TextFault::nulByte ? nulByte (skip + check.at, file) : notUtf8 (skip + check.at, file);
        return false;
    }
    // FF FE or FE FF: the start of UTF-16 text, whose lines are not UTF-8 anywhere.
    const auto startsWith = [text, length] (juce::uint8 a, juce::uint8 b)
    { return length >= 2 && (juce::uint8) text[0] == a && (juce::uint8) text[1] == b; };
    if (startsWith (0xFF, 0xFE) || startsWith (0xFE, 0xFF))
    {
        error = notUtf8 (skip, file);
        return false;
    }
    if (const auto* nul = std::memchr (text, 0, length))
    {
        error = nulByte (skip + (size_t) (static_cast<const char*> (nul) - text), file);
        return false;
    }
    return true;
}

// The bytes of a text file, checked, without the mark.
bool readTextBytes (const juce::File& file, juce::int64 maxBytes, bool wholeUtf8, juce::MemoryBlock& bytes, juce::String& error)
{
    if (! readUntrustedBytes (file, maxBytes, bytes, error))
        return false;
    const auto* data = static_cast<const char*> (bytes.getData());
    const auto skip = leadingMarkSize (data, bytes.getSize());
    if (! checkText (data, bytes.getSize(), skip, wholeUtf8, file, error))
    {
        bytes.reset();
        return false;
    }
    if (skip > 0)
        bytes.removeSection (0, skip);
    return true;
}

struct Descriptor
{
    int fd = -1;
    ~Descriptor() { if (fd >= 0) ::close (fd); }
};

} // namespace

juce::String folderNotFileError (const juce::File& folder)
{
    return "a folder, not a file: " + pathOf (folder);
}

juce::String fileNotFoundError (const juce::File& file)
{
    return "file not found: " + pathOf (file);
}

juce::String namingFile (const juce::String& reason, const juce::File& file)
{
    const auto path = pathOf (file);
    return reason.contains (path) ? reason : reason + " (in " + path + ")";
}

bool openUntrustedFile (const juce::File& file, juce::int64 maxBytes, int& fd, juce::int64& size, UntrustedFileStamp& stamp,
                        juce::String& error)
{
    fd = -1;
    size = 0;
    stamp = {};
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
        error = code == ENOENT ? fileNotFoundError (file) : "cannot open " + path + ": " + systemError (code);
        return false;
    }
    struct stat info {};
    const bool described = ::fstat (opened, &info) == 0;
    if (! described || ! S_ISREG (info.st_mode))
    {
        ::close (opened);
        error = described && S_ISDIR (info.st_mode) ? folderNotFileError (file) : "not a regular file: " + path;
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
    stamp = stampOf (info);
    return true;
}

bool readUntrustedPiece (int fd, const juce::File& file, void* buffer, size_t size, juce::String& error)
{
    return readPiece (fd, static_cast<char*> (buffer), size, file, error);
}

bool finishUntrustedRead (int fd, const juce::File& file, const UntrustedFileStamp& stamp, juce::String& error)
{
    return finishRead (fd, file, stamp, error);
}

bool readUntrustedBytes (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& bytes, juce::String& error)
{
    bytes.reset();
    Descriptor in;
    juce::int64 size = 0;
    UntrustedFileStamp stamp;
    if (! openUntrustedFile (file, maxBytes, in.fd, size, stamp, error))
        return false;
    juce::MemoryBlock read ((size_t) size, false);
    if (! readExactly (in.fd, static_cast<char*> (read.getData()), (size_t) size, file, stamp, error))
        return false;
    bytes = std::move (read);
    return true;
}

bool readUntrustedUtf8 (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& bytes, juce::String& error)
{
    return readTextBytes (file, maxBytes, true, bytes, error);
}

bool readUntrustedLines (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& bytes, juce::String& error)
{
    return readTextBytes (file, maxBytes, false, bytes, error);
}

bool readUntrustedText (const juce::File& file, juce::int64 maxBytes, juce::String& text, juce::String& error)
{
    text.clear();
    Descriptor in;
    juce::int64 size = 0;
    UntrustedFileStamp stamp;
    if (! openUntrustedFile (file, maxBytes, in.fd, size, stamp, error))
        return false;
    if (size == 0)
        return readExactly (in.fd, nullptr, 0, file, stamp, error);
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
    if (! readExactly (in.fd, buffer, (size_t) size, file, stamp, error))
        return false;
    buffer[size] = 0;
    const auto skip = leadingMarkSize (buffer, (size_t) size);
    if (! checkText (buffer, (size_t) size, skip, true, file, error))
    {
        buffer[0] = 0;
        return false;
    }
    if (skip > 0)
        std::memmove (buffer, buffer + skip, (size_t) size - skip + 1);
    text = std::move (read);
    return true;
}

} // namespace vornconv
