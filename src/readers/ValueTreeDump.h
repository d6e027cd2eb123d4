#pragma once

#include "readers/ValueTreeReader.h"

// The readable dump of a value tree (the tree operation's output for a .rack2 file).
namespace vornconv
{

// Indented text of a value tree, one line per node ending in "\n": depth times two blanks, the
// type, then "  [name=value, ...]" when the node has properties. Each value shows as valueText
// gives it (binary values as "<binary:N>", arrays as "<array:N>", a double that is not finite as
// "nan", "inf" or "-inf"); a value text longer than 40 characters is cut to 37 and "...". Nodes
// deeper than maxDepth are left out; the result is empty when depth > maxDepth.
juce::String describeValueTree (const TreeNode& tree, int depth, int maxDepth);

} // namespace vornconv
