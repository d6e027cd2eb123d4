#pragma once

#include <juce_core/juce_core.h>

// The one JSON writing path of the program: every document it prints (manifest, session report,
// selection reports) goes through here, so that each is valid JSON (RFC 8259).
//
// The layout is JUCE's single-line form: separators ", " and ": ", object keys in insertion
// order, integers in decimal and doubles in JUCE's own number form (0.0, 48000.0, 1.234567e6).
// Where JUCE would write something that is not JSON we write JSON instead:
//   - every control character below 0x20 that has no short escape (\b \f \n \r \t) is \u00XX,
//     never JUCE's "\a";
//   - a non-finite double, an undefined value, a method or a binary block are null;
//   - nesting deeper than maxJsonDepth is written as null rather than recursing further.
namespace vornconv::json
{

constexpr int maxJsonDepth = 64;

// The document on one line, without a line break.
juce::String toJsonLine (const juce::var& value);

// text as a JSON string literal, quotes included.
juce::String jsonQuoted (const juce::String& text);

// text in double quotes for a one-line message: quotes, backslashes and control characters (C0,
// DEL and C1) escaped as in a JSON string, every other character as it is.
juce::String quotedForMessage (const juce::String& text);

// Untrusted JSON text parsed with JUCE's parser only when it stays within what that parser takes
// safely (it recurses without limit and folds digits into unchecked accumulators): at most
// maxBytes of UTF-8, nesting no deeper than maxDepth, digit runs of at most 18 (8 in an exponent)
// and a minus sign always directly followed by a digit. A void var otherwise, or when it does not parse.
juce::var parseBoundedJson (const juce::String& text, size_t maxBytes, int maxDepth);

} // namespace vornconv::json
