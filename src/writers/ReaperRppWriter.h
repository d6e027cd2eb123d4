#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"
#include "writers/OutputHost.h"
#include "writers/WriteOptions.h"
#include "writers/WriteResult.h"

// The REAPER project writer: what it says of REAPER (reaperRppOutput), the write of a session as a
// new .rpp project, and its check (the same steps without an output) that a plan runs.
// Like every writer it is declared in namespace rapp, the namespace of the conversion it completes
// (the README's "RAPP"): it takes that conversion's plan as its verdict.
namespace vornconv::rapp
{

struct Vst3ModuleIndex;

// REAPER as its project writer names it: "REAPER" "projects", read back with the REAPER reader;
// every track is the profile's track with the source's fields, so its colour stays the profile's.
extern const OutputHost reaperRppOutput;

// The name of the built-in project profile, used when no template is given.
extern const char* const reaperNativeProfileName;

// The writer takes plan, the preflight of source for REAPER with the profile (rapp::inspect), as
// its verdict: a plan that blocks is "RAPP preflight blocked REAPER output". Of the options it
// takes the profile (which it cannot do without), the template (optional) and the output.

// Everything writeReaperRpp does but what needs the output: the profile's shape, the plug-in
// identities, the template and its shape, and the whole project text written without an output
// (proveVerifiedDocument), read back and proven as the write proves it. ok, or the refusal
// writeReaperRpp would give; nothing is written.
WriteResult checkReaperRppWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                 const WriteOptions& options);

// Writes source as a new REAPER project at options.output, one track per strip, cloned from the
// one track of the template or, when none is given, of the built-in profile: build, then a
// temporary file beside the output, strict read-back, field-by-field check, exclusive commit.
// Never replaces an existing file and leaves nothing behind when it fails.
WriteResult writeReaperRpp (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                            const WriteOptions& options);

} // namespace vornconv::rapp
