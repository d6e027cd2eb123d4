#pragma once

#include "model/RackModel.h"
#include "rapp/LiveProfessorPluginCatalog.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/Vst3ModuleIndex.h"
#include "writers/WriteResult.h"

namespace vornconv::rapp
{

// The writer takes plan, the preflight of source for LiveProfessor with the profile and the
// catalog (rapp::inspect), as its verdict: a plan that blocks is "RAPP preflight blocked
// LiveProfessor output".

// Everything writeLiveProfessorRack2 does but what needs the output, on the same steps: the
// template (or built-in profile) and its binding to the session and profile, the catalog checks,
// the whole project written without an output (proveVerifiedDocument), read back and proven. ok,
// or the exact refusal that writeLiveProfessorRack2 would give for the same arguments.
WriteResult checkLiveProfessorRack2Write (const RackReadResult& source, const Vst3ModuleIndex& index,
                                          const LiveProfessorPluginCatalog& catalog, const ConversionPlan& plan,
                                          const juce::File& templateFile, const DeploymentProfile& profile);

// Writes source as a new LiveProfessor 2 project at output, from the host-saved template or,
// when templateFile is File(), from the built-in native profile: topology, states in every
// repeated place, stable runtime ids, converter metadata, temporary file beside the output, read
// back, exact comparison, exclusive commit. Never replaces an existing file.
WriteResult writeLiveProfessorRack2 (const RackReadResult& source, const Vst3ModuleIndex& index,
                                     const LiveProfessorPluginCatalog& catalog, const ConversionPlan& plan,
                                     const juce::File& templateFile, const DeploymentProfile& profile, const juce::File& output);

} // namespace vornconv::rapp
