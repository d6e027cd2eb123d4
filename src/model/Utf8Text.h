#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>

// The one way bytes we did not write become a juce::String.
//
// JUCE 7.0.5 takes UTF-8 bytes on trust: String::fromUTF8 on malformed bytes sizes its buffer
// from a decode that stops early and then copies every byte (a heap overflow), a cut-off sequence
// lets its character walks run past the end, and CharPointer_UTF8::isValidString lets overlong
// forms and surrogates through. Everything here checks the bytes first, strictly: no overlong
// form, no surrogate, nothing above U+10FFFF, no cut-off sequence.
namespace vornconv::utf8
{

// Offset of the first byte that does not begin a well-formed sequence, or size when the bytes
// are all well-formed UTF-8. NUL is well-formed here.
size_t firstMalformedByte (const void* data, size_t size) noexcept;

inline bool isValid (const void* data, size_t size) noexcept
{
    return firstMalformedByte (data, size) == size;
}

// What keeps bytes from becoming text. A NUL is well-formed UTF-8, but a juce::String would end
// at it, so text that becomes data may not hold one either.
enum class TextFault
{
    none,
    nulByte,     // a NUL byte
    malformed,   // a byte that does not begin a well-formed UTF-8 sequence
    tooLarge     // more bytes than a juce::String can hold
};

// The fault and its offset: the first malformed byte or NUL, whichever comes first.
struct TextCheck
{
    TextFault fault = TextFault::none;
    size_t at = 0;
};
TextCheck checkText (const void* data, size_t size) noexcept;

// What a message calls the fault, as in "NUL byte in SuperRack plug.plugin_name": "NUL byte",
// "invalid UTF-8 text" or "oversized text"; empty for none.
const char* faultName (TextFault fault) noexcept;

// For text that becomes data (names, paths, documents): the bytes as text when they are
// well-formed UTF-8 without a NUL byte (a juce::String would end at it); false otherwise, and out
// is then empty. The second form also says why it failed (TextFault::none on success).
bool toText (const void* data, size_t size, juce::String& out);
bool toText (const void* data, size_t size, juce::String& out, TextFault& fault);

// For text that only goes into a message (an SQLite error, a quoted foreign value): every byte
// that does not begin a well-formed sequence, and every NUL, becomes U+FFFD; never fails.
juce::String toTextReplacingMalformed (const void* data, size_t size);
juce::String toTextReplacingMalformed (const char* nulTerminated);

// For a message that must show bytes exactly (a path the system passed, which may not be text):
// each well-formed sequence as it is, except that a backslash becomes "\\"; a control byte
// (below 0x20, NUL included, or 0x7F) and every byte that does not begin a well-formed sequence
// become "\x" and two upper-case hexadecimal digits ("\xFF"). So the text tells the bytes apart,
// on one line.
juce::String escapedBytes (const void* data, size_t size);

} // namespace vornconv::utf8
