#pragma once

#include <juce_core/juce_core.h>

#include <string_view>

// The one strict reading of a decimal integer: the whole text is ASCII digits, at least one,
// after a single '-' only where the caller allows a sign, and the value lies in the caller's
// range. No blank, no '+', no other character anywhere; nothing is taken from a longer text.
namespace vornconv
{

enum class DecimalForm
{
    digits,            // "0042" is 42
    signedDigits,      // as digits, after an optional '-' ("-0" is 0)
    canonical,         // digits without a leading zero ("0" itself is fine)
    signedCanonical    // canonical, after an optional '-'; "-0" is refused
};

// out is set only on success.
bool parseStrictDecimal (std::string_view text, DecimalForm form, juce::int64 minimum, juce::int64 maximum,
                         juce::int64& out) noexcept;

// JUCE's own reading of a number's text (String::getDoubleValue: leading blanks, then as much of
// a decimal number as is there), except that an exponent of ten or more digits, which overflows
// the integer JUCE reads it into, counts as the huge exponent it is: infinity or zero.
double juceDoubleValue (std::string_view text);

// The UTF-8 bytes of text, for the parse above.
inline std::string_view utf8Bytes (const juce::String& text) noexcept
{
    return { text.toRawUTF8(), text.getNumBytesAsUTF8() };
}

} // namespace vornconv
