#pragma once

#include "model/RackModel.h"

// The dump operation: for each input file a readable listing of its session, or its raw value
// tree (--tree, .rack2 only), or its manifest (--manifest), optionally followed by the export of
// its plug-in states (--export-states).
namespace vornconv::app
{

// Cuts text to its first width characters, or pads it on the right with blanks to width.
juce::String fitColumn (const juce::String& text, int width);

// The text listing of a read session, line by line (without the banner).
juce::StringArray formatTextDump (const RackReadResult& read);

// Dumps one file. Returns true when the dump of this file FAILED (the caller counts failures).
bool dumpFile (const juce::File& file, bool tree, bool manifest, const juce::File& exportDirectory);

} // namespace vornconv::app
