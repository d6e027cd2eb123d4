#include "model/LittleEndian.h"

#include <gtest/gtest.h>

#include <limits>

using namespace vornconv;

TEST (LittleEndian, ReadsLeastSignificantByteFirstAtAnyAlignment)
{
    // One byte in front, so that every word is read from an odd address.
    const juce::uint8 b[] = { 0xEE, 0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A };
    EXPECT_EQ (littleEndian::u32 (b + 1), 0x12345678u);
    EXPECT_EQ (littleEndian::u64 (b + 1), 0x9ABCDEF012345678ull);

    const juce::uint8 minusOne[] = { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF };
    EXPECT_EQ (littleEndian::i32 (minusOne), -1);
    EXPECT_EQ (littleEndian::i64 (minusOne), -1);
    EXPECT_EQ (littleEndian::u32 (minusOne), 0xFFFFFFFFu);

    const juce::uint8 lowest[] = { 0, 0, 0, 0, 0, 0, 0, 0x80 };
    EXPECT_EQ (littleEndian::i64 (lowest), std::numeric_limits<juce::int64>::min());
    EXPECT_EQ (littleEndian::i32 (lowest + 4), std::numeric_limits<juce::int32>::min());

    const juce::uint8 one[] = { 0x00, 0x00, 0x80, 0x3F };
    const juce::uint8 negativeHalf[] = { 0x00, 0x00, 0x00, 0xBF };
    EXPECT_EQ (littleEndian::f32 (one), 1.0f);
    EXPECT_EQ (littleEndian::f32 (negativeHalf), -0.5f);
}

TEST (LittleEndian, BoundedReadStopsAtTheEndOfTheBlock)
{
    const juce::uint8 b[] = { 1, 0, 0, 0, 2, 0, 0, 0 };
    struct Case { size_t size, at; bool read; juce::uint32 value; };
    const Case cases[] = {
        { 8, 0, true, 1 },
        { 8, 4, true, 2 },
        { 8, 5, false, 0 },
        { 8, 8, false, 0 },
        { 8, 9, false, 0 },                                        // an offset past the end
        { 8, std::numeric_limits<size_t>::max() - 1, false, 0 },   // one where offset + 4 wraps
        { 3, 0, false, 0 },
        { 0, 0, false, 0 },
    };
    for (const auto& c : cases)
    {
        juce::uint32 out = 0xCAFEF00Du;
        EXPECT_EQ (littleEndian::u32At (b, c.size, c.at, out), c.read) << c.size << " at " << c.at;
        EXPECT_EQ (out, c.read ? c.value : 0xCAFEF00Du) << "a failed read leaves its output alone";
    }
}
