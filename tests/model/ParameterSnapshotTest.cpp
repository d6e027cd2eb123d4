#include "model/ParameterSnapshot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using namespace vornconv;

namespace
{

// A little-endian byte writer for hand-made snapshots.
struct Bytes
{
    juce::MemoryOutputStream out;
    Bytes& i32 (juce::int32 v) { out.writeInt (v); return *this; }
    Bytes& i64 (juce::int64 v) { out.writeInt64 (v); return *this; }
    Bytes& f32 (float v) { out.writeFloat (v); return *this; }
    Bytes& zeros (size_t n) { out.writeRepeatedByte (0, n); return *this; }
    juce::MemoryBlock block() const { return out.getMemoryBlock(); }
};

juce::uint32 bitsOf (float f)
{
    juce::uint32 u;
    std::memcpy (&u, &f, sizeof u);
    return u;
}

} // namespace

TEST (ParameterSnapshot, RoundTripIsBitExactWithLayout)
{
    struct Case { juce::Array<float> values; juce::int64 key; };
    const Case cases[] = {
        { {}, 7 },
        { { 0.0f, -0.0f, 0.5f, 1.0f, std::numeric_limits<float>::denorm_min() }, 0 },
        { { 0.25f }, std::numeric_limits<juce::int64>::min() },
    };
    for (const auto& c : cases)
    {
        const auto bytes = parameterState::encode (c.values, c.key);
        ASSERT_EQ (bytes.getSize(), 20u + 4u * (size_t) c.values.size());
        const auto* b = static_cast<const juce::uint8*> (bytes.getData());
        const juce::uint8 header[] = { 0x4D, 0x50, 0x4E, 0x56, 1, 0, 0, 0 };
        EXPECT_EQ (std::memcmp (b, header, sizeof header), 0);
        EXPECT_EQ ((int) b[8] | ((int) b[9] << 8), c.values.size());

        parameterState::Snapshot s;
        juce::String error;
        ASSERT_TRUE (parameterState::decode (bytes, s, error)) << error;
        EXPECT_EQ (s.key, c.key);
        ASSERT_EQ (s.values.size(), c.values.size());
        for (int i = 0; i < c.values.size(); ++i)
            EXPECT_EQ (bitsOf (s.values[i]), bitsOf (c.values[i])) << i;
    }
}

TEST (ParameterSnapshot, RefusesMalformedBytes)
{
    const juce::String header = "parameter snapshot is shorter than the VNPM header";
    const juce::String countSize = "parameter snapshot count/size mismatch";
    const juce::String atIndex2 = "parameter snapshot contains a non-normalized value at index 2";

    auto withValueAt2 = [] (float v) { return Bytes().i32 (0x564E504D).i32 (1).i32 (3).i64 (0).f32 (0.1f).f32 (0.2f).f32 (v).block(); };
    auto withCount = [] (juce::int32 n, size_t valueBytes) { return Bytes().i32 (0x564E504D).i32 (1).i32 (n).i64 (0).zeros (valueBytes).block(); };

    auto valid19 = Bytes().i32 (0x564E504D).i32 (1).i32 (0).i32 (0).zeros (3).block();
    struct Case { const char* what; juce::MemoryBlock bytes; juce::String message; };
    const Case cases[] = {
        { "empty", {}, header },
        { "19 bytes with a good magic", valid19, header },
        { "19 bytes of junk", Bytes().zeros (19).block(), header },
        { "magic", Bytes().i32 (0x4D504E56).i32 (1).i32 (0).i64 (0).block(), "parameter snapshot VNPM magic mismatch" },
        { "version", Bytes().i32 (0x564E504D).i32 (2).i32 (0).i64 (0).block(), "parameter snapshot version is unsupported" },
        { "count above the limit", withCount (1000001, 4000004), countSize },
        { "trailing byte", withCount (1, 5), countSize },
        { "missing byte", withCount (1, 3), countSize },
        { "count -1", withCount (-1, 0), countSize },
        { "count wraps to 0 in 32 bits", withCount (-1073741824, 0), countSize },
        { "count INT32_MIN", withCount (std::numeric_limits<juce::int32>::min(), 0), countSize },
        { "NaN", withValueAt2 (std::nanf ("")), atIndex2 },
        { "+inf", withValueAt2 (std::numeric_limits<float>::infinity()), atIndex2 },
        { "-inf", withValueAt2 (-std::numeric_limits<float>::infinity()), atIndex2 },
        { "next float above 1", withValueAt2 (std::nextafter (1.0f, 2.0f)), atIndex2 },
        { "negative denormal", withValueAt2 (-std::numeric_limits<float>::denorm_min()), atIndex2 },
    };
    for (const auto& c : cases)
    {
        parameterState::Snapshot s;
        juce::String error;
        EXPECT_FALSE (parameterState::decode (c.bytes, s, error)) << c.what;
        EXPECT_EQ (error, c.message) << c.what;
    }
}

TEST (ParameterSnapshot, EmptyMirrorKeepsKeyAndLimitIsInclusive)
{
    parameterState::Snapshot s;
    s.values.add (0.5f);
    juce::String error;
    ASSERT_TRUE (parameterState::decode (Bytes().i32 (0x564E504D).i32 (1).i32 (0).i64 (-5).block(), s, error));
    EXPECT_EQ (s.key, -5);
    EXPECT_TRUE (s.values.isEmpty());

    ASSERT_TRUE (parameterState::decode (Bytes().i32 (0x564E504D).i32 (1).i32 (1000000).i64 (0).zeros (4000000).block(), s, error)) << error;
    EXPECT_EQ (s.values.size(), 1000000);
}
