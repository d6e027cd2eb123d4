#include "model/UntrustedFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

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

} // namespace

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
        { dir.folder, "not a regular file: " + dir.folder.getFullPathName() },
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

    writeBytes (file, std::string ("<a/>\0<b/>", 9));
    EXPECT_FALSE (readUntrustedText (file, 1 << 20, text, error));
    EXPECT_EQ (error, "NUL byte in text (byte 4): " + file.getFullPathName());
    // Formats that judge a NUL themselves get every byte, the NUL and what follows it included.
    ASSERT_TRUE (readUntrustedUtf8 (file, 1 << 20, bytes, error)) << error;
    EXPECT_EQ (bytes.getSize(), 9u);

    ASSERT_TRUE (file.deleteFile() && file.create().wasOk());
    error.clear();
    EXPECT_TRUE (readUntrustedText (file, 1 << 20, text, error)) << error;
    EXPECT_TRUE (text.isEmpty());
}
