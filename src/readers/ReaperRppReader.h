#pragma once

#include "model/RackModel.h"

#include <string_view>

// Reader of REAPER projects (.rpp text). Any well-formed project is read; it is graded complete
// only when every track has exactly the shape the converter writes: stable track and effect ids,
// the converter's EXT markers, fixed routing lines and plug-in states that decode strictly. The
// text format itself (lines, blocks, values, ids, markers) is ReaperRppText.
namespace vornconv
{

// Every session it reads carries the format id rapp::reaperProjectFormat (the preflight's, which
// treats REAPER projects apart).

// Reads the project. Never throws: a text-level failure gives ok false and status 0 (format,
// application and file still set); everything else that is unexpected only lowers the grade.
RackReadResult readReaperRpp (const juce::File& file);

// The same for a project whose bytes were loaded already (checked as UTF-8 without a NUL byte,
// the byte-order mark dropped); file only names it in the result. A missing file reads as empty.
RackReadResult readReaperRppBytes (const juce::File& file, std::string_view bytes);

} // namespace vornconv
