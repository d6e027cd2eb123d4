#include "model/ValueComparison.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace vornconv;

TEST (WithinTolerance, HoldsUpToTheToleranceAndNeverForAValueThatIsNotFinite)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A gain stored as a float: the float nearest 0.0001 lies just below it, the next one above.
    const float levelAsFloat = 0.0001f;
    const float nextFloat = std::nextafter (levelAsFloat, 1.0f);
    struct Case { const char* name; double a, b, tolerance; bool within; };
    const Case cases[] = {
        { "equal", 0.5, 0.5, tolerance::level, true },
        { "level at the edge", 0.0, 0.0001, tolerance::level, true },
        { "level at the edge, other side", 0.0001, 0.0, tolerance::level, true },
        { "level past the edge", 0.0, 0.00011, tolerance::level, false },
        { "float gain at the edge", levelAsFloat, 0.0, tolerance::level, true },
        { "next float past the edge", nextFloat, 0.0, tolerance::level, false },
        { "sample rate within", 48000.0, 48000.0009, tolerance::sampleRate, true },
        { "sample rate past", 48000.0, 48000.0011, tolerance::sampleRate, false },
        { "NaN and NaN", nan, nan, tolerance::level, false },
        { "NaN and a number", nan, 0.0, 1.0e9, false },
        { "a number and NaN", 0.0, nan, 1.0e9, false },
        { "infinity and itself", inf, inf, tolerance::level, false },
        { "infinity and a number", -inf, 0.0, 1.0e300, false },
        { "finite values whose difference overflows", 1.7e308, -1.7e308, 1.0e308, false },
    };
    for (const auto& c : cases)
        EXPECT_EQ (withinTolerance (c.a, c.b, c.tolerance), c.within) << c.name;
}

TEST (SameBytes, ComparesSizeAndEveryByte)
{
    const juce::MemoryBlock empty, alsoEmpty;
    const juce::MemoryBlock abc ("abc", 3), abcAgain ("abc", 3), abd ("abd", 3), ab ("ab", 2), zeros (3, true);
    struct Case { const char* name; const juce::MemoryBlock& a; const juce::MemoryBlock& b; bool same; };
    const Case cases[] = {
        { "two empty blocks", empty, alsoEmpty, true },
        { "the same bytes in two blocks", abc, abcAgain, true },
        { "last byte differs", abc, abd, false },
        { "a prefix", abc, ab, false },
        { "a prefix, other side", ab, abc, false },
        { "empty and zeros", empty, zeros, false },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (sameBytes (c.a, c.b), c.same) << c.name;
        EXPECT_EQ (sameBytes (c.a.getData(), c.a.getSize(), c.b.getData(), c.b.getSize()), c.same) << c.name;
    }
    // No bytes at no address are no bytes.
    EXPECT_TRUE (sameBytes (nullptr, 0, "x", 0));
}
