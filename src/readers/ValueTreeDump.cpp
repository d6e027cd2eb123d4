// The indented text of a value tree that the tree operation prints: one line per node, its
// properties in brackets, long values cut. Everything is written into one memory stream as bytes,
// so a large tree costs no repeated string building.
//
// The file holds, in order: the byte writers and the cut value text (private), the recursive walk,
// then describeValueTree.

#include "readers/ValueTreeDump.h"

namespace vornconv
{

namespace
{

constexpr int maxValueTextLength = 40;

void writeBytes (juce::MemoryOutputStream& out, std::string_view bytes)
{
    out.write (bytes.data(), bytes.size());
}

void writeText (juce::MemoryOutputStream& out, const juce::String& text)
{
    out.write (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

// The value's text (valueText: every kind printed without undefined formatting, a number that is
// not finite as a word), cut to 37 characters and "..." when it is longer than 40 characters.
// Only the characters up to the cut are walked, however long the text.
void writeValueText (juce::MemoryOutputStream& out, const juce::var& value)
{
    const auto text = valueText (value);
    const auto start = text.getCharPointer();
    auto p = start;
    int characters = 0;
    auto cut = start;
    while (! p.isEmpty() && characters <= maxValueTextLength)
    {
        if (characters == maxValueTextLength - 3)
            cut = p;
        ++p;
        ++characters;
    }
    if (characters <= maxValueTextLength)
    {
        writeText (out, text);
        return;
    }
    out.write (start.getAddress(), (size_t) (cut.getAddress() - start.getAddress()));
    out << "...";
}

void describeInto (juce::MemoryOutputStream& out, const TreeNode& tree, int depth, int maxDepth)
{
    if (depth > maxDepth)
        return;
    for (int i = 0; i < depth; ++i)
        out << "  ";
    writeBytes (out, tree.type);
    if (! tree.properties.empty())
    {
        out << "  [";
        bool first = true;
        for (const auto& property : tree.properties)
        {
            if (! first)
                out << ", ";
            first = false;
            writeBytes (out, property.name);
            out << "=";
            writeValueText (out, property.value);
        }
        out << "]";
    }
    out << "\n";
    for (const auto& child : tree.children)
        describeInto (out, child, depth + 1, maxDepth);
}

} // namespace

juce::String describeValueTree (const TreeNode& tree, int depth, int maxDepth)
{
    juce::MemoryOutputStream out;
    describeInto (out, tree, depth, maxDepth);
    return out.toUTF8();
}

} // namespace vornconv
