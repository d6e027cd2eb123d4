#include "model/ParameterSnapshot.h"

#include "model/LittleEndian.h"

#include <cmath>
#include <cstring>

namespace vornconv::parameterState
{

juce::MemoryBlock encode (const juce::Array<float>& values, juce::int64 key)
{
    return encode (values.begin(), (size_t) values.size(), key);
}

juce::MemoryBlock encode (const float* values, size_t count, juce::int64 key)
{
    // Written straight into a block of the final size: a mirror may hold a million values.
    juce::MemoryBlock block (snapshotHeaderSize + count * 4, false);
    auto* p = static_cast<juce::uint8*> (block.getData());
    const auto put32 = [&p] (juce::uint32 v)
    {
        for (int i = 0; i < 4; ++i)
            *p++ = (juce::uint8) (v >> (8 * i));
    };
    put32 ((juce::uint32) snapshotMagic);
    put32 ((juce::uint32) snapshotVersion);
    put32 ((juce::uint32) count);
    put32 ((juce::uint32) ((juce::uint64) key & 0xFFFFFFFFu));
    put32 ((juce::uint32) ((juce::uint64) key >> 32));
    for (size_t i = 0; i < count; ++i)
    {
        juce::uint32 bits;
        std::memcpy (&bits, values + i, sizeof bits);
        put32 (bits);
    }
    return block;
}

bool decode (const juce::MemoryBlock& data, Snapshot& out, juce::String& error)
{
    out = Snapshot();
    const auto* bytes = static_cast<const juce::uint8*> (data.getData());
    const size_t size = data.getSize();

    if (size < snapshotHeaderSize)
    {
        error = "parameter snapshot is shorter than the VNPM header";
        return false;
    }
    if (littleEndian::i32 (bytes) != snapshotMagic)
    {
        error = "parameter snapshot VNPM magic mismatch";
        return false;
    }
    if (littleEndian::i32 (bytes + 4) != snapshotVersion)
    {
        error = "parameter snapshot version is unsupported";
        return false;
    }

    const juce::int32 count = littleEndian::i32 (bytes + 8);
    out.key = littleEndian::i64 (bytes + 12);

    // The sign is tested on its own and the size in 64 bits, so no count can wrap into a match.
    const juce::uint64 remaining = (juce::uint64) (size - snapshotHeaderSize);
    if (count < 0 || count > maxSnapshotValues || remaining != (juce::uint64) count * 4u)
    {
        error = "parameter snapshot count/size mismatch";
        return false;
    }

    out.values.ensureStorageAllocated (count);
    for (juce::int32 i = 0; i < count; ++i)
    {
        const float v = littleEndian::f32 (bytes + snapshotHeaderSize + (size_t) i * 4u);
        if (! std::isfinite (v) || v < 0.0f || v > 1.0f)
        {
            error = "parameter snapshot contains a non-normalized value at index " + juce::String (i);
            return false;
        }
        out.values.add (v);
    }
    return true;
}

} // namespace vornconv::parameterState
