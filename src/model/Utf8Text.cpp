#include "model/Utf8Text.h"

#include <cstring>
#include <string>

namespace vornconv::utf8
{
namespace
{

// Length of the well-formed sequence starting at p[0] (1 to 4), or 0 when it is malformed.
size_t sequenceLength (const juce::uint8* p, size_t available) noexcept
{
    const juce::uint8 b = p[0];
    if (b < 0x80)
        return 1;
    size_t extra = 0;
    juce::uint32 cp = 0, smallest = 0;
    if ((b & 0xE0) == 0xC0) { extra = 1; cp = b & 0x1Fu; smallest = 0x80; }
    else if ((b & 0xF0) == 0xE0) { extra = 2; cp = b & 0x0Fu; smallest = 0x800; }
    else if ((b & 0xF8) == 0xF0) { extra = 3; cp = b & 0x07u; smallest = 0x10000; }
    else return 0;
    if (available <= extra)
        return 0;
    for (size_t k = 1; k <= extra; ++k)
    {
        if ((p[k] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[k] & 0x3Fu);
    }
    if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return extra + 1;
}

} // namespace

size_t firstMalformedByte (const void* data, size_t size) noexcept
{
    const auto* p = static_cast<const juce::uint8*> (data);
    size_t i = 0;
    while (i < size)
    {
        // Eight ASCII bytes at a time: most text, and all of the base64 that carries states.
        if (size - i >= 8)
        {
            juce::uint64 word;
            std::memcpy (&word, p + i, sizeof word);
            if ((word & 0x8080808080808080ull) == 0)
            {
                i += 8;
                continue;
            }
        }
        const auto n = sequenceLength (p + i, size - i);
        if (n == 0)
            return i;
        i += n;
    }
    return size;
}

TextCheck checkText (const void* data, size_t size) noexcept
{
    if (size == 0)
        return {};
    const auto malformed = firstMalformedByte (data, size);
    // A NUL before the first malformed byte comes first; none is searched for beyond it.
    if (const auto* nul = std::memchr (data, 0, malformed))
        return { TextFault::nulByte, (size_t) (static_cast<const char*> (nul) - static_cast<const char*> (data)) };
    if (malformed != size)
        return { TextFault::malformed, malformed };
    return {};
}

const char* faultName (TextFault fault) noexcept
{
    switch (fault)
    {
        case TextFault::nulByte:   return "NUL byte";
        case TextFault::malformed: return "invalid UTF-8 text";
        case TextFault::tooLarge:  return "oversized text";
        case TextFault::none:      break;
    }
    return "";
}

bool toText (const void* data, size_t size, juce::String& out, TextFault& fault)
{
    out.clear();
    fault = TextFault::none;
    if (size == 0)
        return true;
    if (size > (size_t) std::numeric_limits<int>::max())
    {
        fault = TextFault::tooLarge;
        return false;
    }
    fault = checkText (data, size).fault;
    if (fault != TextFault::none)
        return false;
    out = juce::String::fromUTF8 (static_cast<const char*> (data), (int) size);
    return true;
}

bool toText (const void* data, size_t size, juce::String& out)
{
    TextFault ignored;
    return toText (data, size, out, ignored);
}

juce::String toTextReplacingMalformed (const void* data, size_t size)
{
    const auto* p = static_cast<const juce::uint8*> (data);
    std::string text;
    text.reserve (size);
    for (size_t i = 0; i < size;)
    {
        const auto n = p[i] == 0 ? 0 : sequenceLength (p + i, size - i);
        if (n == 0)
        {
            text.append ("\xEF\xBF\xBD");
            ++i;
        }
        else
        {
            text.append (reinterpret_cast<const char*> (p + i), n);
            i += n;
        }
    }
    juce::String out;
    toText (text.data(), text.size(), out);
    return out;
}

juce::String toTextReplacingMalformed (const char* nulTerminated)
{
    return nulTerminated != nullptr ? toTextReplacingMalformed (nulTerminated, std::strlen (nulTerminated)) : juce::String();
}

juce::String escapedBytes (const void* data, size_t size)
{
    static const char hex[] = "0123456789ABCDEF";
    const auto* bytes = static_cast<const unsigned char*> (data);
    std::string out;
    out.reserve (size);
    const auto escape = [&out] (unsigned char b)
    {
        out += "\\x";
        out += hex[b >> 4];
        out += hex[b & 15];
    };
    for (size_t at = 0; at < size;)
    {
        const size_t end = at + firstMalformedByte (bytes + at, size - at);
        for (; at < end; ++at)
        {
            const auto b = bytes[at];
            if (b == '\\')
                out += "\\\\";
            else if (b < 0x20 || b == 0x7F)
                escape (b);
            else
                out += (char) b;
        }
        if (at < size)
            escape (bytes[at++]);
    }
    return toTextReplacingMalformed (out.data(), out.size()); // well-formed by now: nothing is replaced
}

} // namespace vornconv::utf8
