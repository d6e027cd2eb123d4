#include "model/Vst3ClassId.h"

#include <gtest/gtest.h>

#include <string>

using namespace vornconv;

namespace
{
const char* const mixed = "0123456789abcdefABCDEF0123456789";
const char* const upper = "0123456789ABCDEFABCDEF0123456789";
} // namespace

TEST (Vst3ClassId, IsThirtyTwoHexDigitsInEitherCase)
{
    struct Case { const char* name; std::string text; bool valid; };
    const Case cases[] = {
        { "mixed case", mixed, true },
        { "upper case", upper, true },
        { "empty", "", false },
        { "31 digits", std::string (upper, 31), false },
        { "33 digits", std::string (upper) + "0", false },
        { "a letter past F", "0123456789ABCDEF0123456789ABCDEG", false },
        { "a blank in front", " 0123456789ABCDEF0123456789ABCDE", false },
        { "braces", "{0123456789ABCDEF0123456789ABCD}", false },
        { "a NUL inside", std::string ("0123456789ABCDEF\0" "123456789ABCDE", 31) + "F", false },
        { "a fullwidth digit", std::string (upper, 31) + "\xEF\xBC\x90", false },
        { "an accented letter", std::string (upper, 31) + "\xC3\xA9", false },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (isHexClassIdBytes (c.text.data(), c.text.size()), c.valid) << c.name;
        // The text form sees characters, not bytes: a multi-byte character is one of the 32.
        const auto text = juce::String::fromUTF8 (c.text.data(), (int) c.text.size());
        if (c.text.find ('\0') == std::string::npos)
            EXPECT_EQ (isHexClassId (text), c.valid) << c.name;
    }
}

TEST (Vst3ClassId, IsStoredInUpperCaseAndComparedWithoutRegardToCase)
{
    EXPECT_EQ (storedClassId (mixed), upper);
    EXPECT_EQ (storedClassId (upper), upper);
    // A text that is no class id keeps its shape: refusing it is the caller's.
    EXPECT_EQ (storedClassId ("not-a-cid"), "NOT-A-CID");
    EXPECT_EQ (storedClassId (""), "");

    struct Case { const char* a; const char* b; bool same; };
    const Case cases[] = {
        { mixed, upper, true },
        { upper, mixed, true },
        { mixed, "0123456789abcdefABCDEF0123456788", false },
        { upper, "0123456789ABCDEFABCDEF012345678", false },
        { "abc", "ABC", true },
        { "", "", true },
        { upper, "", false },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (sameClassId (c.a, c.b), c.same) << c.a << " / " << c.b;
        // The same rule as comparing the stored forms.
        EXPECT_EQ (sameClassId (c.a, c.b), storedClassId (c.a) == storedClassId (c.b)) << c.a << " / " << c.b;
    }
}
