#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <cstring>

// Little-endian numbers in the binary state blocks the readers take apart (parameter snapshots,
// VST3 preset containers, REAPER's state wrappers and pin maps), read byte by byte whatever the
// machine's own order and alignment.
//
// The plain readers take a pointer the caller has already proven to hold the bytes; the bounded
// ones take the whole block and an offset and read nothing past its end.
namespace vornconv::littleEndian
{

inline juce::uint32 u32 (const juce::uint8* p) noexcept
{
    return (juce::uint32) p[0] | ((juce::uint32) p[1] << 8) | ((juce::uint32) p[2] << 16) | ((juce::uint32) p[3] << 24);
}

inline juce::uint64 u64 (const juce::uint8* p) noexcept
{
    return (juce::uint64) u32 (p) | ((juce::uint64) u32 (p + 4) << 32);
}

inline juce::int32 i32 (const juce::uint8* p) noexcept
{
    const auto u = u32 (p);
    juce::int32 v;
    std::memcpy (&v, &u, sizeof v);
    return v;
}

inline juce::int64 i64 (const juce::uint8* p) noexcept
{
    const auto u = u64 (p);
    juce::int64 v;
    std::memcpy (&v, &u, sizeof v);
    return v;
}

// The IEEE 754 single whose bits are the word at p.
inline float f32 (const juce::uint8* p) noexcept
{
    const auto u = u32 (p);
    float v;
    std::memcpy (&v, &u, sizeof v);
    return v;
}

// True when a block of size bytes holds width bytes at offset at (an offset past the end, or one
// so large that at + width wraps, holds none).
inline bool holds (size_t size, size_t at, size_t width) noexcept
{
    return at <= size && size - at >= width;
}

// The word at offset at of a block of size bytes; false, and out untouched, when the block ends
// before it.
inline bool u32At (const juce::uint8* data, size_t size, size_t at, juce::uint32& out) noexcept
{
    if (! holds (size, at, 4))
        return false;
    out = u32 (data + at);
    return true;
}

} // namespace vornconv::littleEndian
