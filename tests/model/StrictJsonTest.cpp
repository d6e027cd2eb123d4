#include "model/StrictJson.h"

#include "model/JsonWriter.h"

#include <gtest/gtest.h>

namespace
{

using vornconv::json::parseStrictJson;
using vornconv::json::toJsonLine;

juce::var parse (const juce::String& text, juce::String& reason, int maxDepth = 16)
{
    return parseStrictJson (text, 1 << 20, maxDepth, reason);
}

TEST (StrictJson, TakesExactlyOneDocument)
{
    // Each document, and the same written back on one line.
    struct Case { juce::String text; const char* written; };
    const Case cases[] = {
        { " {\"a\": [1, -2, 3.5, -0.25e-3, 1E+2, true, false, null]}\r\n\t", "{\"a\": [1, -2, 3.5, -0.00025, 100.0, true, false, null]}" },
        { "{\"s\": \"q\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83c\\udfb8\"}", "{\"s\": \"q\\\"\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83c\\udfb8\"}" },
        { juce::String::fromUTF8 ("[\"킥\", {}, [], \"\"]"), "[\"\\ud0a5\", {}, [], \"\"]" },
        { "[0, -0, 2147483647, 2147483648, -2147483648, -2147483649, 9223372036854775807, -9223372036854775808]",
          "[0, 0, 2147483647, 2147483648, -2147483648, -2147483649, 9223372036854775807, -9223372036854775808]" },
        { "[1e-99999999, 0.5e1]", "[0.0, 5.0]" },
        { "\"text\"", "\"text\"" },
        { "7", "7" },
    };
    for (const auto& c : cases)
    {
        juce::String reason;
        const auto value = parse (c.text, reason);
        EXPECT_EQ (reason, juce::String()) << c.text;
        EXPECT_EQ (toJsonLine (value), c.written) << c.text;
    }

    // Integers keep their kind: 32 bits as int, wider as int64; a fraction or exponent is a double.
    juce::String reason;
    const auto numbers = parse ("[1, 4294967296, 1.0, 1e0]", reason);
    EXPECT_TRUE (numbers[0].isInt());
    EXPECT_TRUE (numbers[1].isInt64());
    EXPECT_TRUE (numbers[2].isDouble());
    EXPECT_TRUE (numbers[3].isDouble());
    // Keys keep their order.
    const auto object = parse ("{\"z\": 1, \"a\": 2}", reason);
    EXPECT_EQ (object.getDynamicObject()->getProperties().getName (0).toString(), "z");
}

TEST (StrictJson, RefusesWhatJuceWouldTakeAndSaysWhereItStands)
{
    struct Case { juce::String text; juce::String reason; };
    const Case cases[] = {
        { "", "no JSON document" },
        { " \n ", "no JSON document" },
        { "{\"a\": 1} garbage}}", "text after the JSON document at line 1, column 10" },
        { "{\"a\": 1}\n{\"a\": 1}", "a second JSON document at line 2, column 1" },
        { "[1] [2]", "a second JSON document at line 1, column 5" },
        { "{\"a\": 01}", "number with a leading zero at line 1, column 7" },
        { "{\"a\": -00}", "number with a leading zero at line 1, column 7" },
        { "{\"a\": 1, \"b\": 2, \"a\": 3}", "duplicate key \"a\" at line 1, column 18" },
        { "{\"o\": {\"k\": 1}, \"p\": {\"k\": 1, \"k\": 2}}", "duplicate key \"k\" at line 1, column 31" },
        { "{'a': 1}", "a key in double quotes expected, not a single quote at line 1, column 2" },
        { "['a']", "unexpected a single quote at line 1, column 2" },
        { "{\"a\" 1}", "':' expected, not '1' at line 1, column 6" },
        { "{\"a\": 1,}", "a key in double quotes expected, not '}' at line 1, column 9" },
        { "[1,]", "unexpected ']' at line 1, column 4" },
        { "[1 2]", "',' or ']' expected, not '2' at line 1, column 4" },
        { "{\"a\": 1 \"b\": 2}", "',' or '}' expected, not '\"' at line 1, column 9" },
        { "[1", "unexpected end of the document at line 1, column 3" },
        { "[\"abc", "unterminated string at line 1, column 6" },
        { "[\"a\tb\"]", "control character U+0009 in a string at line 1, column 4" },
        { "[\"\\a\"]", "invalid escape: a backslash followed by 'a' at line 1, column 3" },
        { "[\"\\u12G4\"]", "invalid \\u escape at line 1, column 3" },
        { "[\"\\ud83c\"]", "unpaired surrogate in a \\u escape at line 1, column 3" },
        { "[\"\\udfb8\"]", "unpaired surrogate in a \\u escape at line 1, column 3" },
        { "[\"x\\u0000\"]", "a NUL character (\\u0000) in a string at line 1, column 4" },
        { "{\"\": 1}", "empty key at line 1, column 2" },
        { "[- 1]", "a digit expected, not U+0020 at line 1, column 3" },
        { "[1.]", "a digit expected after '.' at line 1, column 4" },
        { "[.5]", "unexpected '.' at line 1, column 2" },
        { "[1e]", "a digit expected in the exponent at line 1, column 4" },
        { "[+1]", "unexpected '+' at line 1, column 2" },
        { "[9223372036854775808]", "integer out of range at line 1, column 2" },
        { "[-9223372036854775809]", "integer out of range at line 1, column 2" },
        { "[1e999]", "number out of range at line 1, column 2" },
        { "[NaN]", "unexpected 'N' at line 1, column 2" },
        { "[tru]", "unexpected 't' at line 1, column 2" },
        { "[nul", "unexpected 'n' at line 1, column 2" },
        { juce::String::fromUTF8 ("\xef\xbb\xbf{}"), "unexpected U+FEFF at line 1, column 1" },
        { juce::String::fromUTF8 ("{\"채널\": 1,\n \"채널\": 2}"), juce::String::fromUTF8 ("duplicate key \"채널\" at line 2, column 2") },
        { juce::String::fromUTF8 ("[\"킥\" x]"), "',' or ']' expected, not 'x' at line 1, column 6" },
        { juce::String::repeatedString ("[", 17) + juce::String::repeatedString ("]", 17), "nesting deeper than 16 at line 1, column 17" },
    };
    for (const auto& c : cases)
    {
        juce::String reason;
        EXPECT_TRUE (parse (c.text, reason).isVoid()) << c.text;
        EXPECT_EQ (reason, c.reason) << c.text;
    }

    // Nesting right at the limit still parses; the size limit is checked before anything else.
    juce::String reason;
    EXPECT_FALSE (parse (juce::String::repeatedString ("[", 16) + juce::String::repeatedString ("]", 16), reason).isVoid());
    EXPECT_EQ (reason, juce::String());
    EXPECT_TRUE (parseStrictJson ("[1, 2]", 5, 16, reason).isVoid());
    EXPECT_EQ (reason, "the document is larger than 5 bytes");
}

TEST (StrictJson, KeysAreBoundedPerObjectAndPerDocument)
{
    const auto objectWith = [] (int keys, const juce::String& prefix) {
        juce::StringArray members;
        for (int i = 0; i < keys; ++i)
            members.add ("\"" + prefix + juce::String (i) + "\": " + juce::String (i));
        return "{" + members.joinIntoString (", ") + "}";
    };
    juce::String reason;
    const auto full = parse (objectWith (vornconv::json::maxStrictJsonKeysPerObject, "k"), reason);
    EXPECT_EQ (reason, juce::String());
    EXPECT_EQ (full.getDynamicObject()->getProperties().size(), vornconv::json::maxStrictJsonKeysPerObject);
    EXPECT_TRUE (parse (objectWith (vornconv::json::maxStrictJsonKeysPerObject + 1, "k"), reason).isVoid());
    EXPECT_TRUE (reason.startsWith ("an object with more than 256 keys at line 1, column ")) << reason;

    // Many objects may share their names; distinct names are bounded across the document.
    juce::StringArray same, distinct;
    for (int i = 0; i < 40; ++i)
    {
        same.add (objectWith (200, "k"));
        distinct.add (objectWith (200, "k" + juce::String (i) + "_"));
    }
    EXPECT_FALSE (parse ("[" + same.joinIntoString (", ") + "]", reason).isVoid());
    EXPECT_EQ (reason, juce::String());
    EXPECT_TRUE (parse ("[" + distinct.joinIntoString (", ") + "]", reason).isVoid());
    EXPECT_TRUE (reason.startsWith ("more than 4096 distinct key names at line 1, column ")) << reason;
}

// Where each key stands, for a reader that refuses a key it does not know: line and column (in
// characters) of its opening quote, per object.
TEST (StrictJson, SaysWhereEachKeyStands)
{
    const auto text = juce::String::fromUTF8 ("{\"a\": 1,\n  \"b\": [{\"\xed\x82\xa5\": 2, \"c\": 3}],\r\n \"c\": 4}");
    juce::String reason;
    vornconv::json::KeyOffsets keys;
    const auto value = parseStrictJson (text, 1 << 20, 16, reason, &keys);
    ASSERT_EQ (reason, juce::String());
    const auto* root = value.getDynamicObject();
    const auto* inner = value["b"][0].getDynamicObject();
    EXPECT_EQ (keys.placeOf (text, root, "a"), "line 1, column 2");
    EXPECT_EQ (keys.placeOf (text, root, "b"), "line 2, column 3");
    EXPECT_EQ (keys.placeOf (text, root, "c"), "line 3, column 2");
    EXPECT_EQ (keys.placeOf (text, inner, juce::String::fromUTF8 ("\xed\x82\xa5")), "line 2, column 10");
    EXPECT_EQ (keys.placeOf (text, inner, "c"), "line 2, column 18");
    EXPECT_EQ (keys.placeOf (text, inner, "a"), juce::String());
}

} // namespace
