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
