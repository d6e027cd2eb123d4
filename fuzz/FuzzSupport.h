#pragma once

// Shared by the fuzz targets: a private scratch folder for the readers that take a file, and a
// check that turns a broken promise of the code under test into a crash the fuzzer records.

#include <juce_core/juce_core.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

// A failed promise: the condition is printed (the fuzzer's own output, not the program's) and the
// run stops as a crash, so the input is saved like any other fault.
#define FUZZ_CHECK(condition)                                                                     \
    do                                                                                            \
    {                                                                                             \
        if (! (condition))                                                                        \
        {                                                                                         \
            std::fprintf (stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)

namespace vornfuzz
{

// One private folder per fuzzing process (mkdtemp below $TMPDIR), removed when the process ends
// normally. Readers that take a file get the input written to a file of the name they expect.
class ScratchFolder
{
public:
    static ScratchFolder& get()
    {
        static ScratchFolder folder;
        return folder;
    }

    const juce::File& root() const { return dir; }

    // Writes the bytes to root/name (replacing what was there) and returns that file. A failed
    // write is the machine's fault, not the input's: it ends the run loudly.
    juce::File write (const char* name, const uint8_t* data, size_t size) const
    {
        const auto file = dir.getChildFile (name);
        writeBytes (file, data, size);
        return file;
    }

    static void writeBytes (const juce::File& file, const uint8_t* data, size_t size)
    {
        const int fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        FUZZ_CHECK (fd >= 0);
        size_t done = 0;
        while (done < size)
        {
            const auto n = ::write (fd, data + done, size - done);
            if (n < 0 && errno == EINTR)
                continue;
            FUZZ_CHECK (n > 0);
            done += (size_t) n;
        }
        FUZZ_CHECK (::close (fd) == 0);
    }

private:
    ScratchFolder()
    {
        const char* base = std::getenv ("TMPDIR");
        std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
        pattern += "/vornfuzz-XXXXXX";
        FUZZ_CHECK (::mkdtemp (pattern.data()) != nullptr);
        dir = juce::File (juce::String::fromUTF8 (pattern.c_str()));
    }

    ~ScratchFolder() { dir.deleteRecursively(); }

    juce::File dir;
};

inline juce::MemoryBlock blockOf (const uint8_t* data, size_t size)
{
    return juce::MemoryBlock (data, size);
}

inline bool sameBytes (const juce::MemoryBlock& a, const uint8_t* data, size_t size)
{
    return a.getSize() == size && (size == 0 || std::memcmp (a.getData(), data, size) == 0);
}

// MemoryBlock's own == hands memcmp the null data of an empty block.
inline bool sameBytes (const juce::MemoryBlock& a, const juce::MemoryBlock& b)
{
    return sameBytes (a, static_cast<const uint8_t*> (b.getData()), b.getSize());
}

} // namespace vornfuzz
