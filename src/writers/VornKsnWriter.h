#pragma once

#include "model/RackModel.h"
#include "writers/WriteResult.h"

namespace vornconv::rapp
{

struct Vst3ModuleIndex;

// Everything writeVornKsn does but what needs the output: the preflight, the placement, the
// document, written into memory, read back with the scene reader and proven as the write proves
// it. ok, or the refusal the write would give, in its words; nothing is written.
WriteResult checkVornKsnWrite (const RackReadResult& source, const Vst3ModuleIndex& index);

// Writes source as a new Vorn Live scene at output: preflight, build, temporary file beside the
// output, read back, exact comparison, exclusive commit. Never replaces an existing file.
WriteResult writeVornKsn (const RackReadResult& source, const Vst3ModuleIndex& index, const juce::File& output);

} // namespace vornconv::rapp
