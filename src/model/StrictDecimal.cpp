#include "model/StrictDecimal.h"

#include <string>

namespace vornconv
{

bool parseStrictDecimal (std::string_view text, DecimalForm form, juce::int64 minimum, juce::int64 maximum,
                         juce::int64& out) noexcept
{
    const bool signAllowed = form == DecimalForm::signedDigits || form == DecimalForm::signedCanonical;
    const bool canonical = form == DecimalForm::canonical || form == DecimalForm::signedCanonical;
    const bool negative = signAllowed && ! text.empty() && text.front() == '-';
    const auto digits = negative ? text.substr (1) : text;
    if (digits.empty() || (canonical && digits.size() > 1 && digits.front() == '0'))
        return false;
    if (canonical && negative && digits == "0")
        return false;

    // The magnitude never grows past what the range can hold, so it never overflows.
    const juce::uint64 limit = negative ? (minimum < 0 ? (juce::uint64) -(minimum + 1) + 1 : 0)
                                        : (maximum > 0 ? (juce::uint64) maximum : 0);
    juce::uint64 magnitude = 0;
    for (const char c : digits)
    {
        if (c < '0' || c > '9')
            return false;
        const auto digit = (juce::uint64) (c - '0');
        if (digit > limit || magnitude > (limit - digit) / 10)
            return false;
        magnitude = magnitude * 10 + digit;
    }
    const juce::int64 value = negative ? (juce::int64) (0 - magnitude) : (juce::int64) magnitude;
    if (value < minimum || value > maximum)
        return false;
    out = value;
    return true;
}

double juceDoubleValue (std::string_view text)
{
    std::string copy (text);
    // Every run of digits after an 'e' that could be read as an exponent is cut to eight
    // significant digits: far beyond any double's range, so the value is the same, and far below
    // what overflows.
    for (size_t e = copy.find_first_of ("eE"); e != std::string::npos; e = copy.find_first_of ("eE", e + 1))
    {
        size_t first = e + 1;
        if (first < copy.size() && (copy[first] == '+' || copy[first] == '-'))
            ++first;
        while (first < copy.size() && copy[first] == '0')
            ++first;
        size_t end = first;
        while (end < copy.size() && copy[end] >= '0' && copy[end] <= '9')
            ++end;
        if (end - first >= 10)
            copy.replace (first, end - first, "99999999");
    }
    return juce::CharacterFunctions::getDoubleValue (juce::CharPointer_UTF8 (copy.c_str()));
}

} // namespace vornconv
