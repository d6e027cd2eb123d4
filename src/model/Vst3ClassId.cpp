// The VST3 class id's one rule: what counts as one, its stored form, and when two are the same.

#include "model/Vst3ClassId.h"

namespace vornconv
{

namespace
{

constexpr int classIdDigits = 32;

bool isHexDigit (juce::juce_wchar c) noexcept
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

bool isHexClassId (juce::StringRef text) noexcept
{
    int count = 0;
    for (auto p = text.text; ! p.isEmpty(); ++count)
        if (count >= classIdDigits || ! isHexDigit (p.getAndAdvance()))
            return false;
    return count == classIdDigits;
}

bool isHexClassIdBytes (const void* bytes, size_t size) noexcept
{
    if (size != (size_t) classIdDigits)
        return false;
    const auto* b = static_cast<const juce::uint8*> (bytes);
    for (size_t i = 0; i < size; ++i)
        if (! isHexDigit ((juce::juce_wchar) b[i]))
            return false;
    return true;
}

juce::String storedClassId (const juce::String& classId)
{
    return classId.toUpperCase();
}

bool sameClassId (const juce::String& a, const juce::String& b)
{
    // Character by character in upper case: the same as comparing the stored forms.
    return a.equalsIgnoreCase (b);
}

} // namespace vornconv
