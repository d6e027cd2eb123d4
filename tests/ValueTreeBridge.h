#pragma once

// Between JUCE's value trees, which the tests build fixtures and assertions with, and the
// converter's own plain trees: both sides write and read the same stream form.

#include "readers/ValueTreeReader.h"

#include <gtest/gtest.h>
#include <juce_data_structures/juce_data_structures.h>

namespace vorntest
{

inline vornconv::TreeNode fromJuce (const juce::ValueTree& tree)
{
    vornconv::TreeNode node;
    if (! tree.isValid())
        return node;
    juce::MemoryOutputStream out;
    tree.writeToStream (out);
    juce::String error;
    EXPECT_TRUE (vornconv::readValueTreeBytes (out.getData(), out.getDataSize(), node, error)) << error;
    return node;
}

inline juce::ValueTree toJuce (const vornconv::TreeNode& node)
{
    if (! vornconv::isValidTree (node))
        return {};
    juce::MemoryOutputStream out;
    EXPECT_TRUE (vornconv::writeValueTree (node, out));
    return juce::ValueTree::readFromData (out.getData(), out.getDataSize());
}

} // namespace vorntest
