#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"
#include "writers/WriteResult.h"

namespace vornconv::rapp
{

struct Vst3ModuleIndex;

// The name of the built-in project profile, used when no template is given.
extern const char* const reaperNativeProfileName;

// The writer takes plan, the preflight of source for REAPER with the profile (rapp::inspect), as
// its verdict: a plan that blocks is "RAPP preflight blocked REAPER output".

// Everything writeReaperRpp does but what needs the output: the profile's shape, the plug-in
// identities, the template and its shape, and the whole project text written without an output
// (proveVerifiedDocument), read back and proven as the write proves it. ok, or the refusal
// writeReaperRpp would give; nothing is written.
WriteResult checkReaperRppWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                 const juce::File& templateFile, const DeploymentProfile& profile);

// Writes source as a new REAPER project at output, one track per strip, cloned from the one
// track of templateFile or, when templateFile is File(), of the built-in profile: build, then a
// temporary file beside the output, strict read-back, field-by-field check, exclusive commit.
// Never replaces an existing file and leaves nothing behind when it fails.
WriteResult writeReaperRpp (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                            const juce::File& templateFile, const DeploymentProfile& profile, const juce::File& output);

} // namespace vornconv::rapp
