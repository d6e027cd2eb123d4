#pragma once

#include "model/Expected.h"

#include <juce_core/juce_core.h>

#include <map>
#include <string>
#include <utility>

// The parse of JSON documents that a user edits and hands back (the selection files). JUCE's own
// parser takes far more than JSON and keeps quiet about it: text after the document (a second
// document, stray braces), leading zeros, single-quoted strings, unknown escapes and repeated keys,
// where the last one silently wins. Here the text must be exactly one JSON document (RFC 8259)
// with white space around it and nothing else, every key of an object must be new to it, and
// every number must be representable (an integer within 64 bits, a finite double). Nothing is
// handed to JUCE's parser: the value is built here, with nesting and keys bounded so that cost and
// memory grow linearly with the text.
namespace vornconv::json
{

// No object may hold more keys than this, and no document more distinct key names (JUCE keeps
// every name in one global pool and searches an object's properties one by one).
constexpr int maxStrictJsonKeysPerObject = 256;
constexpr int maxStrictJsonKeyNames = 4096;

// The document's value. On refusal a void var, and reason says what was wrong and where: the key
// for a repeated key, the line and column (counted in characters from 1) of the first byte that
// does not fit, for example "duplicate key \"targetIndex\" at line 1, column 40" or "text after
// the JSON document at line 3, column 2". Integers that fit 32 bits are int vars, wider ones int64
// vars; numbers with a fraction or an exponent are doubles. Nesting deeper than maxDepth arrays
// and objects (the outermost counts as 1) is refused, and so is text longer than maxBytes.
//
// With keys given, it also receives where every key of every object stands (the byte offset of its
// opening quote), so that a reader can name the place of a key it does not know.
struct KeyOffsets
{
    std::map<std::pair<const juce::DynamicObject*, std::string>, size_t> offsets;

    // "line 3, column 7" of key in object (an object of the document parsed from text), or an
    // empty text when the document has no such key there.
    juce::String placeOf (const juce::String& text, const juce::DynamicObject* object, const juce::String& key) const;
};

juce::var parseStrictJson (const juce::String& text, size_t maxBytes, int maxDepth, juce::String& reason, KeyOffsets* keys = nullptr);

// Every key of value (when it is an object) must be one of keys (a list that ends with nullptr):
// the first other one is a failure that names it, where it stands in the document (path, as
// "channels[3]") and its line and column in text, the document value was parsed from with offsets.
Expected<void> checkKnownKeys (const juce::var& value, const char* const* keys, const juce::String& path, const juce::String& text,
                               const KeyOffsets& offsets);

} // namespace vornconv::json
