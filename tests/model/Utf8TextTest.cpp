#include "model/Utf8Text.h"

#include <gtest/gtest.h>

#include <string>

using namespace vornconv;

TEST (Utf8Text, OnlyStrictlyWellFormedBytesBecomeData)
{
    struct Case { std::string bytes; size_t firstMalformed; bool becomesText; };
    const Case cases[] = {
        { "", 0, true },
        { "plain ascii text of more than eight bytes", 41, true },
        { "Caf\xC3\xA9 \xEC\x9D\x8C \xF0\x9F\x8E\x9B", 14, true },
        { std::string ("a\0b", 3), 3, false },        // well-formed, but a NUL would end the text
        { "Caf\xE9", 3, false },                     // Latin-1
        { "x\xC0\xAF", 1, false },                   // overlong '/'
        { "x\xE0\x80\xAF", 1, false },               // overlong, three bytes
        { "x\xED\xA0\x80", 1, false },               // surrogate
        { "x\xF4\x90\x80\x80", 1, false },           // above U+10FFFF
        { "x\xF8\x88\x80\x80\x80", 1, false },       // five-byte form
        { "abcdefgh\xE2\x82", 8, false },            // cut off at the end
        { "\xE2\x82x", 0, false },                   // cut off by a plain byte
        { "\x80", 0, false },                        // lone continuation byte
        { "\xFF\x80", 0, false },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (utf8::firstMalformedByte (c.bytes.data(), c.bytes.size()), c.firstMalformed) << c.bytes;
        juce::String text = "stale";
        EXPECT_EQ (utf8::toText (c.bytes.data(), c.bytes.size(), text), c.becomesText) << c.bytes;
        if (c.becomesText)
            EXPECT_EQ (std::string (text.toRawUTF8()), c.bytes);
        else
            EXPECT_TRUE (text.isEmpty()) << c.bytes;
    }
}

TEST (Utf8Text, MessagesReplaceEachMalformedByteAndKeepTheRest)
{
    struct Case { std::string bytes; std::string shown; };
    const Case cases[] = {
        { "no such table: t", "no such table: t" },
        { "near \"\xFF\x80\": syntax error", "near \"\xEF\xBF\xBD\xEF\xBF\xBD\": syntax error" },
        { "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD" },
        { "\xED\xA0\x80!", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD!" },
        { "Caf\xC3\xA9\xE2\x82", "Caf\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD" },
        { std::string ("a\0b", 3), "a\xEF\xBF\xBD" "b" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (std::string (utf8::toTextReplacingMalformed (c.bytes.data(), c.bytes.size()).toRawUTF8()), c.shown) << c.bytes;
    EXPECT_EQ (utf8::toTextReplacingMalformed ("x\xFF"), juce::String::fromUTF8 ("x\xEF\xBF\xBD"));
    EXPECT_EQ (utf8::toTextReplacingMalformed (nullptr), juce::String());
}
