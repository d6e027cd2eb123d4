#pragma once

#include <juce_core/juce_core.h>
#include <juce_data_structures/juce_data_structures.h>

// A strict reader of JUCE's binary value-tree stream form (the form ValueTree::writeToStream
// writes), for bytes that come from untrusted files. JUCE's own readFromStream returns partial
// trees for truncated data, ignores trailing bytes, allocates declared sizes before reading and
// recurses without a limit; this reader checks every count and length against the bytes that
// remain, limits nesting, and refuses anything it cannot read whole before it builds the tree.
//
// Stream form of one node: type name (UTF-8, NUL-terminated, not empty); compressed int property
// count; per property a name (UTF-8, NUL-terminated, not empty, unique in the node) and a value;
// compressed int child count; the children. A value is a compressed int byte count n, then (when
// n > 0) a marker byte and n - 1 payload bytes: 1 int32, 2 true, 3 false, 4 double, 5 string
// (UTF-8 with one final NUL), 6 int64, 7 array (compressed int count, then the values), 8 binary,
// 9 undefined.
// A compressed int is a byte holding the number of little-endian magnitude bytes that follow
// (1 to 4, or the single byte 0 for zero) with bit 7 set for a negative value.
namespace vornconv
{

// Nesting limit: tree levels and array levels together.
constexpr int maxValueTreeDepth = 256;

// Largest value-tree file that is read at all.
constexpr juce::int64 maxValueTreeFileBytes = (juce::int64) 1 << 30;

// Reads exactly one tree from data; no byte may follow it. On false, error names the fault and
// out is invalid.
bool readValueTreeBytes (const void* data, size_t size, juce::ValueTree& out, juce::String& error);

// Reads the whole file (at most maxValueTreeFileBytes) as one tree.
bool readValueTreeFile (const juce::File& file, juce::ValueTree& out, juce::String& error);

} // namespace vornconv
