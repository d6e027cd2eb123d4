#pragma once

#include <juce_core/juce_core.h>

#include <string>
#include <string_view>
#include <vector>

// A strict reader of JUCE's binary value-tree stream form (the form ValueTree::writeToStream
// writes), for bytes that come from untrusted files, and the writer of the same form. JUCE's own
// readFromStream returns partial trees for truncated data, ignores trailing bytes, allocates
// declared sizes before reading and recurses without a limit; building a juce::ValueTree is also
// quadratic in the number of property names (every name goes into one sorted global pool, and a
// node looks its properties up one by one). This reader checks every count and length against
// the bytes that remain and against the limits below before it stores anything, limits nesting,
// refuses anything it cannot read whole, and builds a plain tree of its own in time linear in
// the input.
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

// The most properties one node, and the most elements one array, may hold: a plug-in's
// parameter list is the largest of them.
constexpr juce::int64 maxValueTreeProperties = 1000000;

// The largest binary value: a plug-in's state stream.
constexpr juce::int64 maxValueTreeBinaryBytes = (juce::int64) 64 << 20;

struct TreeProperty
{
    std::string name;   // UTF-8, never empty
    juce::var value;    // int, int64, bool, double, string, binary, array, void or undefined
};

// One node of a value tree as a plain value: copying it copies the whole subtree. A node whose
// type is empty stands for no node at all (what JUCE calls an invalid tree).
struct TreeNode
{
    std::string type;
    std::vector<TreeProperty> properties;   // in stream order, names unique
    std::vector<TreeNode> children;         // in stream order
};

inline bool isValidTree (const TreeNode& node) noexcept { return ! node.type.empty(); }

// The value of the property, or null when the node has none of that name.
const juce::var* findProperty (const TreeNode& node, std::string_view name) noexcept;
juce::var* findProperty (TreeNode& node, std::string_view name) noexcept;

inline bool hasProperty (const TreeNode& node, std::string_view name) noexcept { return findProperty (node, name) != nullptr; }

// The property's value, or a void value when the node has none of that name.
juce::var propertyValue (const TreeNode& node, std::string_view name);

// Replaces the value of the property in its place, or appends the property when the node has
// none of that name.
void setProperty (TreeNode& node, std::string_view name, juce::var value);

// Removes the property; the others keep their order.
void removeProperty (TreeNode& node, std::string_view name);

// Reading a property as the kind it must hold. A value is never converted from another kind: a
// number is no text and a text no number (JUCE would parse the one and print the other, and it
// prints a double by first casting it to int, which is undefined for NaN), and a double that is
// not finite is no number.
enum class PropertyKind { text, integer, number };

// How a property came out: the node has none of that name, it holds another kind, or it was read.
enum class PropertyRead { absent, wrongKind, read };

// Text: a string value. out is empty unless the property was read.
PropertyRead readTextProperty (const TreeNode& node, std::string_view name, juce::String& out);

// Integer: an int or an int64, or a double holding a whole number within the int64 range (a count
// or an id stored as 2.0 reads as 2). out is 0 unless the property was read.
PropertyRead readIntegerProperty (const TreeNode& node, std::string_view name, juce::int64& out);

// Number: an int, an int64 or a finite double. out is 0 unless the property was read.
PropertyRead readNumberProperty (const TreeNode& node, std::string_view name, double& out);

// The same rules on a value already in hand; false (out 0) for another kind.
bool integerValue (const juce::var& value, juce::int64& out) noexcept;
bool numberValue (const juce::var& value, double& out) noexcept;

// What a property of another kind is refused or noted with, naming the node and the property:
// "<type> property <name> is not text", "... is not an integer" or "... is not a finite number".
juce::String propertyKindFault (const TreeNode& node, std::string_view name, PropertyKind kind);

// The text of any value as the tree dump shows it: a text as it is; an int, an int64, a bool and a
// finite double as JUCE prints them; a double that is not finite as "nan", "inf" or "-inf"; a
// binary value as "<binary:N>" and an array as "<array:N>"; no value as nothing.
juce::String valueText (const juce::var& value);

// The first child of the type, or null.
const TreeNode* findChild (const TreeNode& node, std::string_view type) noexcept;
TreeNode* findChild (TreeNode& node, std::string_view type) noexcept;

// Why a tree was not read: its bytes are no value tree; they are one as far as they were read but
// hold a count or a size beyond the limits above (refused as soon as the count or size is read);
// or the file itself could not be read (missing, not a regular file, too large).
enum class TreeReadFault { malformed, overLimit, unreadableFile };

// Reads exactly one tree from data; no byte may follow it. On false, error names the fault and
// out is empty.
bool readValueTreeBytes (const void* data, size_t size, TreeNode& out, juce::String& error, TreeReadFault& fault);
bool readValueTreeBytes (const void* data, size_t size, TreeNode& out, juce::String& error);

// Reads the whole file (at most maxValueTreeFileBytes) as one tree, through a window rather than
// whole, and each binary value straight into its own block. Every byte is read before the tree is
// judged: a file that cannot be read, or that changes while it is read, is refused as such.
bool readValueTreeFile (const juce::File& file, TreeNode& out, juce::String& error, TreeReadFault& fault);
bool readValueTreeFile (const juce::File& file, TreeNode& out, juce::String& error);

// Writes the tree in the stream form, byte for byte as juce::ValueTree::writeToStream writes the
// same tree. False when the stream reported a failed write.
bool writeValueTree (const TreeNode& tree, juce::OutputStream& out);

} // namespace vornconv
