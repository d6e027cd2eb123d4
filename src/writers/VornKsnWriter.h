#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"
#include "writers/WriteResult.h"

namespace vornconv::rapp
{

struct Vst3ModuleIndex;

// The writer takes plan, the preflight of source for the scene (rapp::inspect), as its verdict:
// a plan that blocks is "RAPP preflight blocked Vorn output".

// Everything writeVornKsn does but what needs the output: the placement, the document, written
// without an output (proveVerifiedDocument), read back with the scene reader and proven as the
// write proves it. ok, or the refusal the write would give, in its words; nothing is written.
WriteResult checkVornKsnWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan);

// Writes source as a new Vorn Live scene at output: build, temporary file beside the output, read
// back, exact comparison, exclusive commit. Never replaces an existing file.
WriteResult writeVornKsn (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                          const juce::File& output);

} // namespace vornconv::rapp
