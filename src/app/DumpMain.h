#pragma once

#include "app/CommandLine.h"
#include "model/RackModel.h"

// The dump operation, the runner of a run that asks for no conversion or report (the system's
// documents call this unit DumpMain; it holds no main): for each input file a readable listing of
// its session, or its raw value tree (--tree, .rack2 only), or its manifest (--manifest),
// optionally followed by the export of its plug-in states (--export-states). runDump is declared
// with the other operations (Operations.h).
namespace vornconv::app
{

// How a text that does not fit its column is shown: cut to its first width - 2 characters followed
// by "…" and one blank (a name), or kept whole followed by one blank (a number or a key, which a
// cut would change). Either way it never runs into the next column.
enum class ColumnFit
{
    cutWithMark,
    keepWhole
};

// Pads text on the right with blanks to width characters; a text of width characters or more is
// shown as fit says.
juce::String fitColumn (const juce::String& text, int width, ColumnFit fit = ColumnFit::cutWithMark);

// The text listing of a read session, line by line (without the banner).
juce::StringArray formatTextDump (const RackReadResult& read);

// The dump of one file: its banner (unless a manifest is asked for) goes to stream before the file
// is read, its listing before an export that follows it, and a value tree line by line as it is
// walked; the decision holds the rest. It fails when the dump of this file failed (the caller
// counts the failures).
Decision dumpFile (const juce::File& file, bool tree, bool manifest, const juce::File& exportDirectory, const Stream& stream);

} // namespace vornconv::app
