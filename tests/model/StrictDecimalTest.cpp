#include "model/StrictDecimal.h"

#include <gtest/gtest.h>

#include <limits>

using namespace vornconv;

TEST (StrictDecimal, OnlyWholeDecimalTextWithinTheRange)
{
    constexpr auto i32min = (juce::int64) std::numeric_limits<juce::int32>::min();
    constexpr auto i32max = (juce::int64) std::numeric_limits<juce::int32>::max();
    constexpr auto i64min = std::numeric_limits<juce::int64>::min();
    constexpr auto i64max = std::numeric_limits<juce::int64>::max();
    struct Case { const char* text; DecimalForm form; juce::int64 minimum, maximum; bool ok; juce::int64 value; };
    const Case cases[] = {
        { "0", DecimalForm::digits, 0, i32max, true, 0 },
        { "0042", DecimalForm::digits, 0, i32max, true, 42 },
        { "0042", DecimalForm::canonical, 0, i32max, false, 0 },
        { "2147483647", DecimalForm::digits, 0, i32max, true, i32max },
        { "2147483648", DecimalForm::digits, 0, i32max, false, 0 },
        { "4294967295", DecimalForm::digits, 0, 0xffffffffll, true, 0xffffffffll },
        { "4294967296", DecimalForm::digits, 0, 0xffffffffll, false, 0 },
        { "99999999999999999999999", DecimalForm::digits, 0, i64max, false, 0 },
        { "9223372036854775807", DecimalForm::digits, 0, i64max, true, i64max },
        { "-9223372036854775808", DecimalForm::signedDigits, i64min, i64max, true, i64min },
        { "-9223372036854775809", DecimalForm::signedDigits, i64min, i64max, false, 0 },
        { "-2147483648", DecimalForm::signedCanonical, i32min, i32max, true, i32min },
        { "-2147483649", DecimalForm::signedCanonical, i32min, i32max, false, 0 },
        { "-5", DecimalForm::digits, i32min, i32max, false, 0 },
        { "-0", DecimalForm::signedDigits, i32min, i32max, true, 0 },
        { "-0", DecimalForm::signedCanonical, i32min, i32max, false, 0 },
        { "-07", DecimalForm::signedCanonical, i32min, i32max, false, 0 },
        { "0", DecimalForm::digits, 1, 10, false, 0 },
        { "11", DecimalForm::digits, 1, 10, false, 0 },
        { "", DecimalForm::digits, 0, 10, false, 0 },
        { "-", DecimalForm::signedDigits, -10, 10, false, 0 },
        { "+1", DecimalForm::signedDigits, -10, 10, false, 0 },
        { " 1", DecimalForm::digits, 0, 10, false, 0 },
        { "1 ", DecimalForm::digits, 0, 10, false, 0 },
        { "3abc", DecimalForm::digits, 0, 10, false, 0 },
        { "1e3", DecimalForm::digits, 0, 10000, false, 0 },
        { "\xD9\xA3", DecimalForm::digits, 0, 10, false, 0 },   // ARABIC-INDIC DIGIT THREE
    };
    for (const auto& c : cases)
    {
        juce::int64 value = -12345;
        EXPECT_EQ (parseStrictDecimal (c.text, c.form, c.minimum, c.maximum, value), c.ok) << c.text;
        EXPECT_EQ (value, c.ok ? c.value : -12345) << c.text;
    }
}

// JUCE's reading of a number, less the integer overflow an exponent of ten or more digits meets.
TEST (StrictDecimal, JuceNumberReadingWithoutOverflow)
{
    struct Case { const char* text; double value; };
    const Case cases[] = {
        { "48000", 48000.0 }, { "  -3.5dB", -3.5 }, { "1e3", 1000.0 }, { "2.5E-1", 0.25 }, { "abc", 0.0 },
        { "1e0000000000002", 100.0 },                          // leading zeros are not digits of weight
        { "4.8e4444444444444444", HUGE_VAL }, { "-4.8e4444444444444444", -HUGE_VAL },
        { "4.8e-4444444444444444", 0.0 }, { "480888888888888888888.8e444444444444444444444444", HUGE_VAL },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (juceDoubleValue (c.text), c.value) << c.text;
        if (std::string_view (c.text).find ("444444") == std::string_view::npos)
            EXPECT_EQ (juceDoubleValue (c.text), juce::String (c.text).getDoubleValue()) << c.text;
    }
}
