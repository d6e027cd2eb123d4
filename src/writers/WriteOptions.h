#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"
#include "writers/WriteResult.h"

#include <juce_core/juce_core.h>

// The one signature of every writer's check and write, so that a host's record names them as
// they are, and what they take besides the session.
namespace vornconv::rapp
{

struct Vst3ModuleIndex;

// What a writer takes from the command line besides the session, the module index and the plan.
// Each writer uses what it needs; the host's record names to the command line the options its
// writer cannot do without before any writer runs, and the writer refuses a request without them.
struct WriteOptions
{
    juce::File output;                          // the new file; a check has none
    juce::File templateFile;                    // File() when not given
    const DeploymentProfile* profile = nullptr; // null when --profile is absent
    const SideInput* sideInput = nullptr;       // what the host's record loaded for the run; null when nothing
};

// A writer's check (everything its write does but what needs the output: what a plan's "WRITE:
// allowed" promises) or its write. plan is the preflight of source for the writer's host
// (rapp::inspect), which the writer takes as its verdict.
using WriterFunction = WriteResult (*) (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                        const WriteOptions& options);

} // namespace vornconv::rapp
