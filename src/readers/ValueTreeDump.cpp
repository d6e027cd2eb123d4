#include "readers/ValueTreeDump.h"

namespace vornconv
{

namespace
{

constexpr int maxValueTextLength = 40;

juce::String valueText (const juce::var& value)
{
    juce::String text;
    if (auto* block = value.getBinaryData())
        text = "<binary:" + juce::String ((juce::int64) block->getSize()) + ">";
    else if (auto* array = value.getArray())
        text = "<array:" + juce::String (array->size()) + ">";
    else
        text = value.toString();
    if (text.length() > maxValueTextLength)
        text = text.substring (0, maxValueTextLength - 3) + "...";
    return text;
}

void describeInto (juce::MemoryOutputStream& out, const juce::ValueTree& tree, int depth, int maxDepth)
{
    if (depth > maxDepth)
        return;
    out << juce::String::repeatedString ("  ", depth) << tree.getType().toString();
    if (tree.getNumProperties() > 0)
    {
        juce::StringArray entries;
        for (int i = 0; i < tree.getNumProperties(); ++i)
        {
            const auto name = tree.getPropertyName (i);
            entries.add (name.toString() + "=" + valueText (tree.getProperty (name)));
        }
        out << "  [" << entries.joinIntoString (", ") << "]";
    }
    out << "\n";
    for (const auto& child : tree)
        describeInto (out, child, depth + 1, maxDepth);
}

} // namespace

juce::String describeValueTree (const juce::ValueTree& tree, int depth, int maxDepth)
{
    juce::MemoryOutputStream out;
    describeInto (out, tree, depth, maxDepth);
    return out.toUTF8();
}

} // namespace vornconv
