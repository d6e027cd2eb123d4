#pragma once

#include "model/RackModel.h"
#include "rapp/LiveProfessorPluginCatalog.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/Vst3ModuleIndex.h"
#include "writers/OutputHost.h"
#include "writers/WriteOptions.h"
#include "writers/WriteResult.h"

// The LiveProfessor project writer: what it says of LiveProfessor (liveProfessorRack2Output), the
// write of a session as a new .rack2 project, and its check (the same steps without an output)
// that a plan runs.
// Like every writer it is declared in namespace rapp, the namespace of the conversion it completes
// (the README's "RAPP"): it takes that conversion's plan as its verdict.
namespace vornconv::rapp
{

// LiveProfessor as its project writer names it: "LiveProfessor" "projects", read back with the
// project reader.
extern const OutputHost liveProfessorRack2Output;

// The writer takes plan, the preflight of source for LiveProfessor with the profile and
// LiveProfessor's plug-in list (rapp::inspect), as its verdict: a plan that blocks is "RAPP
// preflight blocked LiveProfessor output". Of the options it takes the profile and the plug-in
// list (options.sideInput, a LiveProfessorPluginCatalog), which it cannot do without, the template
// (optional) and the output.

// Everything writeLiveProfessorRack2 does but what needs the output, on the same steps: the
// template (or built-in profile) and its binding to the session and profile, the catalog checks,
// the whole project written without an output (proveVerifiedDocument), read back and proven. ok,
// or the exact refusal that writeLiveProfessorRack2 would give for the same arguments.
WriteResult checkLiveProfessorRack2Write (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                          const WriteOptions& options);

// Writes source as a new LiveProfessor 2 project at options.output, from the host-saved template
// or, when none is given, from the built-in native profile: topology, states in every repeated
// place, stable runtime ids, converter metadata, temporary file beside the output, read back,
// exact comparison, exclusive commit. Never replaces an existing file.
WriteResult writeLiveProfessorRack2 (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                     const WriteOptions& options);

} // namespace vornconv::rapp
