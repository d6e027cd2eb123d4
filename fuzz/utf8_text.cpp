// The one checked conversion of untrusted bytes to text, against a plain reference decoder.

#include "FuzzSupport.h"

#include "model/Utf8Text.h"

using namespace vornconv;

namespace
{

// Length of the well-formed sequence at p (RFC 3629: no overlong form, no surrogate, nothing
// above U+10FFFF, nothing cut off), or 0.
size_t sequenceLength (const uint8_t* p, size_t left)
{
    const uint8_t b = p[0];
    if (b < 0x80)
        return 1;
    size_t n = 0;
    uint32_t cp = 0, min = 0;
    if ((b & 0xE0) == 0xC0) { n = 2; cp = b & 0x1F; min = 0x80; }
    else if ((b & 0xF0) == 0xE0) { n = 3; cp = b & 0x0F; min = 0x800; }
    else if ((b & 0xF8) == 0xF0) { n = 4; cp = b & 0x07; min = 0x10000; }
    else return 0;
    if (left < n)
        return 0;
    for (size_t i = 1; i < n; ++i)
    {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

size_t referenceFirstMalformed (const uint8_t* data, size_t size)
{
    size_t i = 0;
    while (i < size)
    {
        const auto n = sequenceLength (data + i, size - i);
        if (n == 0)
            return i;
        i += n;
    }
    return size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto first = utf8::firstMalformedByte (data, size);
    FUZZ_CHECK (first == referenceFirstMalformed (data, size));
    const bool valid = first == size;
    const bool hasNul = std::memchr (data, 0, size) != nullptr;

    juce::String text;
    const bool converted = utf8::toText (data, size, text);
    FUZZ_CHECK (converted == (valid && ! hasNul));

    // The fault named is the first one: a NUL before the first malformed byte, else that byte.
    const auto* nul = static_cast<const uint8_t*> (std::memchr (data, 0, size));
    const auto check = utf8::checkText (data, size);
    if (nul != nullptr && (size_t) (nul - data) < first)
        FUZZ_CHECK (check.fault == utf8::TextFault::nulByte && check.at == (size_t) (nul - data));
    else if (! valid)
        FUZZ_CHECK (check.fault == utf8::TextFault::malformed && check.at == first);
    else
        FUZZ_CHECK (check.fault == utf8::TextFault::none && check.at == 0);
    juce::String again;
    auto fault = utf8::TextFault::tooLarge;
    FUZZ_CHECK (utf8::toText (data, size, again, fault) == converted && fault == check.fault && again == text);
    if (converted)
    {
        FUZZ_CHECK (text.getNumBytesAsUTF8() == size && std::memcmp (text.toRawUTF8(), data, size) == 0);
    }
    else
    {
        FUZZ_CHECK (text.isEmpty());
    }

    // The replacing form never fails, always gives well-formed text without NUL, and changes
    // nothing in text that needed no change.
    const auto replaced = utf8::toTextReplacingMalformed (data, size);
    const auto* out = reinterpret_cast<const uint8_t*> (replaced.toRawUTF8());
    const auto outSize = replaced.getNumBytesAsUTF8();
    FUZZ_CHECK (referenceFirstMalformed (out, outSize) == outSize);
    FUZZ_CHECK (std::memchr (out, 0, outSize) == nullptr);
    if (converted)
        FUZZ_CHECK (replaced == text);
    FUZZ_CHECK (outSize <= 3 * size);

    // The NUL-terminated form stops at the first NUL.
    const std::string terminated (reinterpret_cast<const char*> (data), size);
    FUZZ_CHECK (utf8::toTextReplacingMalformed (terminated.c_str())
                == utf8::toTextReplacingMalformed (data, std::strlen (terminated.c_str())));
    return 0;
}
