#pragma once

#include "model/RackModel.h"
#include "writers/WriteResult.h"

namespace vornconv::rapp
{

struct Vst3ModuleIndex;

// Writes source as a new Vorn Live scene at output: preflight, build, temporary file beside the
// output, read back, exact comparison, exclusive commit. Never replaces an existing file.
// Everything writeVornKsn does before it needs the output (preflight, placement, the document):
// ok, or the refusal the write would give, in its words.
WriteResult checkVornKsnWrite (const RackReadResult& source, const Vst3ModuleIndex& index);

WriteResult writeVornKsn (const RackReadResult& source, const Vst3ModuleIndex& index, const juce::File& output);

} // namespace vornconv::rapp
