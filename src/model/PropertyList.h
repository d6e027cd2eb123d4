#pragma once

#include <juce_core/juce_core.h>

// A strict reader of Apple property lists, XML ("<plist>") and binary ("bplist00"), for state
// bytes from untrusted files. The whole document is validated: every value anywhere must be
// well-formed, binary object references must stay in range and form no cycle, nesting is limited,
// and shared objects are checked once, so no input can exhaust the stack, the memory or the time.
// Only the top-level entries of a dictionary root are handed out; the values below them are
// checked, never built.
namespace vornconv::propertyList
{

constexpr int maxNestingDepth = 256;

enum class ValueKind
{
    integer,
    real,
    boolean,
    date,
    data,
    string,
    uid,
    array,
    set,
    dictionary
};

struct TopLevelEntry
{
    juce::String key;
    ValueKind kind = ValueKind::string;
    bool integerFitsInt64 = false; // integers only: whether integerValue holds the exact value
    juce::int64 integerValue = 0;
};

// True when data is one well-formed XML or binary property list whose root is a dictionary;
// entries then holds that dictionary's entries in document order (duplicate keys included).
// False with a short reason in error otherwise.
bool readDictionary (const void* data, size_t size, juce::Array<TopLevelEntry>& entries, juce::String& error);

} // namespace vornconv::propertyList
