#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"
#include "writers/WriteResult.h"

// The REAPER diagnostic state probe: a REAPER project of the profile's shape that carries the
// source's plug-in states with everything around them normalised, so that one plug-in state can be
// checked in REAPER in isolation.
namespace vornconv::rapp
{

struct Vst3ModuleIndex;

// The probe's mode: one source slot (strip and slot both 0 or more) and every instance of its
// class, or every plug-in (normalized).
struct ReaperStateProbe
{
    int strip = -1;
    int slot = -1;
    bool normalized = false;

    // Any probe option was given.
    bool requested() const noexcept { return strip >= 0 || slot >= 0 || normalized; }
};

// Builds the diagnostic session from a complete source and writes it with writeReaperRpp (the
// template or the built-in profile, the profile, the output). Refusals are the write's, or the
// probe's own ("REAPER probe requires a complete source and exactly one probe mode", ...).
WriteResult writeReaperStateProbe (const RackReadResult& source, const Vst3ModuleIndex& index, const juce::File& templateFile,
                                   const DeploymentProfile& profile, const ReaperStateProbe& probe, const juce::File& output);

} // namespace vornconv::rapp
