#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"
#include "writers/OutputHost.h"
#include "writers/WriteOptions.h"
#include "writers/WriteResult.h"

// The Vorn Live scene writer: what it says of Vorn Live (vornKsnOutput), the write of a session as
// a new .ksn scene, and its check (the same steps without an output) that a plan runs.
// Like every writer it is declared in namespace rapp, the namespace of the conversion it completes
// (the README's "RAPP"): it takes that conversion's plan as its verdict.
namespace vornconv::rapp
{

struct Vst3ModuleIndex;

// Vorn Live as its scene writer names it: "Vorn Live" "scenes", read back with the scene
// reader; a scene holds one snapshot, named after its file.
extern const OutputHost vornKsnOutput;

// The writer takes plan, the preflight of source for the scene (rapp::inspect), as its verdict:
// a plan that blocks is "RAPP preflight blocked Vorn output". Of the options it takes only the
// output: a scene is built from the session alone.

// Everything writeVornKsn does but what needs the output: the placement, the document, written
// without an output (proveVerifiedDocument), read back with the scene reader and proven as the
// write proves it. ok, or the refusal the write would give, in its words; nothing is written.
WriteResult checkVornKsnWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                               const WriteOptions& options);

// Writes source as a new Vorn Live scene at options.output: build, temporary file beside the
// output, read back, exact comparison, exclusive commit. Never replaces an existing file.
WriteResult writeVornKsn (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                          const WriteOptions& options);

} // namespace vornconv::rapp
