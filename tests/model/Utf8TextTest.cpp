#include "model/Utf8Text.h"

#include <gtest/gtest.h>

#include <string>

using namespace vornconv;

// Each refusal says what it is, at the first fault: a NUL is well-formed UTF-8 and is named as
// a NUL byte, not as malformed text.
TEST (Utf8Text, OnlyStrictlyWellFormedBytesBecomeData)
{
    using utf8::TextFault;
    struct Case { std::string bytes; size_t firstMalformed; TextFault fault; size_t at; };
    const Case cases[] = {
        { "", 0, TextFault::none, 0 },
        { "plain ascii text of more than eight bytes", 41, TextFault::none, 0 },
        { "Caf\xC3\xA9 \xEC\x9D\x8C \xF0\x9F\x8E\x9B", 14, TextFault::none, 0 },
        { std::string ("a\0b", 3), 3, TextFault::nulByte, 1 },        // well-formed, but a NUL would end the text
        { std::string ("Ki\0ck \xE9", 7), 6, TextFault::nulByte, 2 }, // the NUL comes first
        { std::string ("\xE9 Ki\0ck", 7), 0, TextFault::malformed, 0 }, // the stray byte comes first
        { "Caf\xE9", 3, TextFault::malformed, 3 },                     // Latin-1
        { "x\xC0\xAF", 1, TextFault::malformed, 1 },                   // overlong '/'
        { "x\xE0\x80\xAF", 1, TextFault::malformed, 1 },               // overlong, three bytes
        { "x\xED\xA0\x80", 1, TextFault::malformed, 1 },               // surrogate
        { "x\xF4\x90\x80\x80", 1, TextFault::malformed, 1 },           // above U+10FFFF
        { "x\xF8\x88\x80\x80\x80", 1, TextFault::malformed, 1 },       // five-byte form
        { "abcdefgh\xE2\x82", 8, TextFault::malformed, 8 },            // cut off at the end
        { "\xE2\x82x", 0, TextFault::malformed, 0 },                   // cut off by a plain byte
        { "\x80", 0, TextFault::malformed, 0 },                        // lone continuation byte
        { "\xFF\x80", 0, TextFault::malformed, 0 },
    };
    for (const auto& c : cases)
    {
        const bool becomesText = c.fault == TextFault::none;
        EXPECT_EQ (utf8::firstMalformedByte (c.bytes.data(), c.bytes.size()), c.firstMalformed) << c.bytes;
        const auto check = utf8::checkText (c.bytes.data(), c.bytes.size());
        EXPECT_EQ (check.fault, c.fault) << c.bytes;
        EXPECT_EQ (check.at, c.at) << c.bytes;
        juce::String text = "stale";
        EXPECT_EQ (utf8::toText (c.bytes.data(), c.bytes.size(), text), becomesText) << c.bytes;
        if (becomesText)
            EXPECT_EQ (std::string (text.toRawUTF8()), c.bytes);
        else
            EXPECT_TRUE (text.isEmpty()) << c.bytes;
        auto fault = TextFault::tooLarge;
        EXPECT_EQ (utf8::toText (c.bytes.data(), c.bytes.size(), text, fault), becomesText) << c.bytes;
        EXPECT_EQ (fault, c.fault) << c.bytes;
    }
    EXPECT_STREQ (utf8::faultName (TextFault::nulByte), "NUL byte");
    EXPECT_STREQ (utf8::faultName (TextFault::malformed), "invalid UTF-8 text");
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

// A path the system passed is shown as the bytes it is: every byte that is no text, and every
// control byte, as \xHH, a backslash doubled, well-formed text as it is.
TEST (Utf8Text, EscapedBytesShowEveryByte)
{
    struct Case { std::string bytes; std::string shown; };
    const Case cases[] = {
        { "plain/path.ksn", "plain/path.ksn" },
        { "x\xFF.ksn", "x\\xFF.ksn" },
        { "Caf\xC3\xA9\xE2\x82", "Caf\xC3\xA9\\xE2\\x82" },
        { "\xC0\xAF\xED\xA0\x80", "\\xC0\\xAF\\xED\\xA0\\x80" },
        { "a\\xFF", "a\\\\xFF" },
        { std::string ("t\tn\n\x7F\0z", 7), "t\\x09n\\x0A\\x7F\\x00z" },
        { "\xEC\x84\xB8", "\xEC\x84\xB8" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (std::string (utf8::escapedBytes (c.bytes.data(), c.bytes.size()).toRawUTF8()), c.shown) << c.bytes;
}
