#include "model/JsonWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace
{

using vornconv::json::jsonQuoted;
using vornconv::json::toJsonLine;

TEST (JsonWriter, EscapesStringsAsJson)
{
    // JUCE's own parser does not join surrogate pairs, so only BMP texts are read back with it.
    struct Case { juce::String text; const char* json; bool readBack = true; };
    const Case cases[] = {
        { "plain", "\"plain\"" },
        { "q\"b\\", "\"q\\\"b\\\\\"" },
        { "\a\x01\x1f\x7f", "\"\\u0007\\u0001\\u001f\\u007f\"" },
        { "\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\"" },
        { juce::String::fromUTF8 ("채널"), "\"\\ucc44\\ub110\"" },
        { juce::String::fromUTF8 ("\xf0\x9f\x8e\xb8"), "\"\\ud83c\\udfb8\"", false },
        { "/<>", "\"/<>\"" },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (jsonQuoted (c.text), c.json) << c.json;
        // What we write reads back as the same text.
        if (c.readBack)
            EXPECT_EQ (juce::JSON::parse ("[" + jsonQuoted (c.text) + "]")[0].toString(), c.text) << c.json;
    }
}

TEST (JsonWriter, QuotesTextForAOneLineMessage)
{
    // Quotes, backslashes and control characters are escaped; other characters stay as they are.
    EXPECT_EQ (vornconv::json::quotedForMessage (juce::String::fromUTF8 ("a\"b\\\n\t\x7f\xc2\x85 \xed\x82\xa5\xf0\x9f\x8e\xb8")),
               juce::String::fromUTF8 ("\"a\\\"b\\\\\\n\\t\\u007f\\u0085 \xed\x82\xa5\xf0\x9f\x8e\xb8\""));
    EXPECT_EQ (vornconv::json::quotedForMessage ({}), "\"\"");
}

TEST (JsonWriter, WritesNumbersInJuceFormAndNeverANonFiniteOne)
{
    struct Case { juce::var value; const char* json; };
    const Case cases[] = {
        { 0.0, "0.0" },
        { 48000.0, "48000.0" },
        { -6.0, "-6.0" },
        { (double) 0.1f, "0.1000000014901161" },
        { 1234567.0, "1.234567e6" },
        { std::numeric_limits<double>::quiet_NaN(), "null" },
        { std::numeric_limits<double>::infinity(), "null" },
        { -std::numeric_limits<double>::infinity(), "null" },
        { -1, "-1" },
        { (juce::int64) 1 << 40, "1099511627776" },
        { true, "true" },
        { juce::var(), "null" },
        { juce::var::undefined(), "null" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (toJsonLine (c.value), c.json) << c.json;
}

TEST (JsonWriter, KeepsKeyOrderOnOneLine)
{
    juce::var inner (new juce::DynamicObject());
    inner.getDynamicObject()->setProperty ("z", 1);
    inner.getDynamicObject()->setProperty ("a", juce::Array<juce::var> {});
    juce::var root (new juce::DynamicObject());
    root.getDynamicObject()->setProperty ("b", juce::Array<juce::var> { 1, "x", inner });
    root.getDynamicObject()->setProperty ("a\n", juce::var (new juce::DynamicObject()));
    EXPECT_EQ (toJsonLine (root), "{\"b\": [1, \"x\", {\"z\": 1, \"a\": []}], \"a\\n\": {}}");
}

} // namespace
