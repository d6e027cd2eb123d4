#include "model/TestHooks.h"
#include "model/UntrustedFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace vornconv;

namespace
{

void writeBytes (const juce::File& file, const std::string& bytes)
{
    ASSERT_TRUE (file.replaceWithData (bytes.data(), bytes.size()));
}

// Sets the hook that runs after a file's bytes were read, for one scope.
struct AfterReadHook
{
    explicit AfterReadHook (void (*hook) (const char*)) { testHooks::afterFileRead = hook; }
    ~AfterReadHook() { testHooks::afterFileRead = nullptr; }
};

void setTimesOnly (const char* path)
{
    const timespec times[2] = { { 1400000000, 7 }, { 1400000000, 7 } };
    ::utimensat (AT_FDCWD, path, times, 0);
}

} // namespace

// A host that saves a session in place while it is read keeps its size, so the bytes read would
// be half old, half new. Every reader, and a read in pieces, proves the file unchanged after its
// last byte (device, inode, size, modification and change time to the nanosecond, from the one
// descriptor) and refuses it as changed. The file's times are set in the past first, so that the
// change is seen whatever the clock's resolution.
TEST (UntrustedFile, AFileChangedWhileItIsReadIsRefused)
{
    vorntest::TempFolder dir;
    const auto file = dir.file ("scene.ksn");
    const std::string content = "<VornLiveScene name=\"Stage left\"/>\n";

    struct Reader { const char* name; std::function<bool (juce::String&)> read; };
    const Reader readers[] = {
        { "bytes", [&file] (juce::String& e) { juce::MemoryBlock b; return readUntrustedBytes (file, 1 << 20, b, e); } },
        { "utf8", [&file] (juce::String& e) { juce::MemoryBlock b; return readUntrustedUtf8 (file, 1 << 20, b, e); } },
        { "text", [&file] (juce::String& e) { juce::String t; return readUntrustedText (file, 1 << 20, t, e); } },
        { "lines", [&file] (juce::String& e) { juce::MemoryBlock b; return readUntrustedLines (file, 1 << 20, b, e); } },
        { "pieces", [&file] (juce::String& e) {
              int fd = -1;
              juce::int64 size = 0;
              UntrustedFileStamp stamp;
              if (! openUntrustedFile (file, 1 << 20, fd, size, stamp, e))
                  return false;
              std::string buffer ((size_t) size, 0);
              const bool ok = readUntrustedPiece (fd, file, buffer.data(), 10, e)
                           && readUntrustedPiece (fd, file, buffer.data() + 10, (size_t) size - 10, e)
                           && finishUntrustedRead (fd, file, stamp, e);
              ::close (fd);
              return ok;
          } },
    };
    struct Change { const char* name; void (*hook) (const char*); };
    const Change changes[] = {
        { "nothing", [] (const char*) {} },
        { "one byte in place", testHooks::changeOneByteInPlace },
        { "the times only", setTimesOnly },
    };
    for (const auto& reader : readers)
        for (const auto& change : changes)
        {
            SCOPED_TRACE (std::string (reader.name) + ", " + change.name);
            writeBytes (file, content);
            ASSERT_TRUE (vorntest::setFileTime (file, 1500000000, 123));
            AfterReadHook hook (change.hook);
            juce::String error;
            const bool read = reader.read (error);
            if (change.name == std::string ("nothing"))
            {
                EXPECT_TRUE (read) << error;
                continue;
            }
            EXPECT_FALSE (read);
            EXPECT_EQ (error, "file changed while it was read: " + file.getFullPathName());
            EXPECT_EQ (file.getSize(), (juce::int64) content.size());
        }
}

// Opening a FIFO for reading, or reading a device, would wait or run for ever: neither is a file
// whose whole content can be known, so neither is read at all.
TEST (UntrustedFile, OnlyRegularFilesWithinTheLimitAreRead)
{
    vorntest::TempFolder dir;
    const auto fifo = dir.file ("x.sprk");
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
    const auto zero = dir.file ("zero.rpp");
    ASSERT_EQ (::symlink ("/dev/zero", zero.getFullPathName().toRawUTF8()), 0);
    const auto big = dir.file ("big.ksn");
    writeBytes (big, std::string (101, 'x'));

    struct Case { juce::File file; juce::String error; };
    const Case cases[] = {
        { fifo, "not a regular file: " + fifo.getFullPathName() },
        { zero, "not a regular file: " + zero.getFullPathName() },
        { dir.folder, "a folder, not a file: " + dir.folder.getFullPathName() },
        { big, "file is larger than 100 bytes: " + big.getFullPathName() },
        { dir.file ("none"), "file not found: " + dir.file ("none").getFullPathName() },
    };
    for (const auto& c : cases)
    {
        juce::MemoryBlock bytes ("stale", 5);
        juce::String text = "stale", error;
        EXPECT_FALSE (readUntrustedBytes (c.file, 100, bytes, error));
        EXPECT_EQ (error, c.error);
        EXPECT_EQ (bytes.getSize(), 0u);
        error.clear();
        EXPECT_FALSE (readUntrustedText (c.file, 100, text, error));
        EXPECT_EQ (error, c.error);
        EXPECT_TRUE (text.isEmpty());
    }

    juce::MemoryBlock bytes;
    juce::String error;
    ASSERT_TRUE (readUntrustedBytes (big, 101, bytes, error)) << error;
    EXPECT_EQ (bytes.toString(), juce::String::repeatedString ("x", 101));
}

// Text is never re-decoded as 8-bit text and never cut short: one stray byte or a NUL refuses the
// whole file, saying where.
TEST (UntrustedFile, TextIsWellFormedUtf8OrRefusedWhole)
{
    vorntest::TempFolder dir;
    const auto file = dir.file ("project.rpp");

    writeBytes (file, "NAME \"Caf\xC3\xA9\"\nNAME \"\xEC\x9D\x8C\"\n");
    juce::String text, error;
    ASSERT_TRUE (readUntrustedText (file, 1 << 20, text, error)) << error;
    EXPECT_EQ (text, juce::String::fromUTF8 ("NAME \"Caf\xC3\xA9\"\nNAME \"\xEC\x9D\x8C\"\n"));

    writeBytes (file, "NAME \"Caf\xC3\xA9\"\nNAME \"Caf\xE9\"\n");
    EXPECT_FALSE (readUntrustedText (file, 1 << 20, text, error));
    EXPECT_EQ (error, "not valid UTF-8 text (byte 22): " + file.getFullPathName());
    EXPECT_TRUE (text.isEmpty());
    juce::MemoryBlock bytes;
    EXPECT_FALSE (readUntrustedUtf8 (file, 1 << 20, bytes, error));
    EXPECT_EQ (error, "not valid UTF-8 text (byte 22): " + file.getFullPathName());

    // A NUL refuses the file in every text reader, wherever it stands; the first fault is named.
    writeBytes (file, std::string ("<a/>\0<b/>\xE9", 10));
    EXPECT_FALSE (readUntrustedText (file, 1 << 20, text, error));
    EXPECT_EQ (error, "NUL byte in text (byte 4): " + file.getFullPathName());
    EXPECT_FALSE (readUntrustedUtf8 (file, 1 << 20, bytes, error));
    EXPECT_EQ (error, "NUL byte in text (byte 4): " + file.getFullPathName());
    EXPECT_EQ (bytes.getSize(), 0u);
    EXPECT_FALSE (readUntrustedLines (file, 1 << 20, bytes, error));
    EXPECT_EQ (error, "NUL byte in text (byte 4): " + file.getFullPathName());

    ASSERT_TRUE (file.deleteFile() && file.create().wasOk());
    error.clear();
    EXPECT_TRUE (readUntrustedText (file, 1 << 20, text, error)) << error;
    EXPECT_TRUE (text.isEmpty());
}

// Editors on Windows begin text files with a UTF-8 byte-order mark: every text reader hands the
// text out without it, so each format sees its first line as written. Only one leading mark goes;
// one anywhere else is text. A UTF-16 mark is no UTF-8, and offsets count the mark's bytes.
TEST (UntrustedFile, OneLeadingByteOrderMarkIsDropped)
{
    vorntest::TempFolder dir;
    const auto file = dir.file ("catalog.tsv");
    const std::string mark = "\xEF\xBB\xBF";

    const auto read = [&file] (const std::string& bytes, juce::String& text, juce::MemoryBlock& utf8, juce::MemoryBlock& lines,
                               juce::String& error)
    {
        writeBytes (file, bytes);
        error.clear();
        juce::String e1, e2, e3;
        const bool ok1 = readUntrustedText (file, 1 << 20, text, e1);
        const bool ok2 = readUntrustedUtf8 (file, 1 << 20, utf8, e2);
        const bool ok3 = readUntrustedLines (file, 1 << 20, lines, e3);
        error = e1 + "|" + e2 + "|" + e3;
        return juce::String (ok1 ? "1" : "0") + (ok2 ? "1" : "0") + (ok3 ? "1" : "0");
    };

    juce::String text, error;
    juce::MemoryBlock utf8, lines;
    const struct { std::string bytes, kept; } kept[] = {
        { mark + "<REAPER_PROJECT\n>\n", "<REAPER_PROJECT\n>\n" },
        { mark + mark + "x", mark + "x" },
        { "x" + mark, "x" + mark },
        { mark, "" },
    };
    for (const auto& c : kept)
    {
        EXPECT_EQ (read (c.bytes, text, utf8, lines, error), "111") << error;
        EXPECT_EQ (text.toStdString(), c.kept);
        EXPECT_EQ (utf8.toString().toStdString(), c.kept);
        EXPECT_EQ (std::string (static_cast<const char*> (lines.getData()), lines.getSize()), c.kept);
    }

    // The lines reader leaves UTF-8 to the lines the caller uses, the mark still dropped.
    EXPECT_EQ (read (mark + "a=\xB5Tonic\n", text, utf8, lines, error), "001");
    EXPECT_EQ (error, "not valid UTF-8 text (byte 5): " + file.getFullPathName() + "|not valid UTF-8 text (byte 5): "
                      + file.getFullPathName() + "|");
    EXPECT_EQ (lines.toString().toStdString(), std::string ("a=\xB5Tonic\n"));
    EXPECT_EQ (read (mark + std::string ("a\0", 2), text, utf8, lines, error), "000");
    const auto nul = "NUL byte in text (byte 4): " + file.getFullPathName();
    EXPECT_EQ (error, nul + "|" + nul + "|" + nul);

    for (const std::string utf16 : { std::string ("\xFF\xFE[\0v\0", 6), std::string ("\xFE\xFF\0[\0v", 6) })
    {
        EXPECT_EQ (read (utf16, text, utf8, lines, error), "000");
        const auto notUtf8 = "not valid UTF-8 text (byte 0): " + file.getFullPathName();
        EXPECT_EQ (error, notUtf8 + "|" + notUtf8 + "|" + notUtf8);
    }
}
