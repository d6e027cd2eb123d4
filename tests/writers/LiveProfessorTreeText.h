#pragma once

#include <juce_data_structures/juce_data_structures.h>

// Value trees as text for the LiveProfessor writer tests, with the kind of every value.
namespace vorntest
{

// One node as "Type name:kind=value ..."; the kind letters make int/int64/double/string mix-ups
// visible: i int, l int64, b bool, d double, s string, x binary (with its size), v void.
inline juce::String describe (const juce::ValueTree& node)
{
    juce::String text = node.getType().toString();
    for (int i = 0; i < node.getNumProperties(); ++i)
    {
        const auto name = node.getPropertyName (i);
        const auto& value = node.getProperty (name);
        juce::String kind, shown = value.toString();
        if (value.isInt()) kind = "i";
        else if (value.isInt64()) kind = "l";
        else if (value.isBool()) kind = "b";
        else if (value.isDouble()) kind = "d";
        else if (value.isString()) kind = "s";
        else if (value.isBinaryData()) { kind = "x"; shown = juce::String ((int) value.getBinaryData()->getSize()); }
        else if (value.isVoid()) { kind = "v"; shown = {}; }
        else kind = "?";
        text << " " << name.toString() << ":" << kind << "=" << shown;
    }
    return text;
}

inline juce::String describeTree (const juce::ValueTree& node, int depth = 0)
{
    juce::String text = juce::String::repeatedString (" ", depth) + describe (node) + "\n";
    for (const auto& child : node)
        text << describeTree (child, depth + 1);
    return text;
}

inline juce::String childTypes (const juce::ValueTree& node)
{
    juce::StringArray types;
    for (const auto& child : node)
        types.add (child.getType().toString());
    return types.joinIntoString (",");
}

} // namespace vorntest
