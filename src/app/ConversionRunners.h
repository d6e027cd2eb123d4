#pragma once

#include <juce_core/juce_core.h>

namespace vornconv::app
{

// Parses "<a>x<b>" (the first "x", else the first "X") into two positive decimal values.
// A misplaced or missing separator gives shapeError, a value that is not positive decimal
// gives valueError.
bool parseDimensions (const juce::String& text, const juce::String& shapeError, const juce::String& valueError,
                      int& first, int& second, juce::String& error);

} // namespace vornconv::app
