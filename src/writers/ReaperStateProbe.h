#pragma once

#include "model/Expected.h"
#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"

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

// The diagnostic session of a complete source: what the convert writes with writeReaperRpp (the
// template or the built-in profile, the profile, the output) once the preflight of that session
// allows; or the probe's own refusal ("REAPER probe requires a complete source and exactly one
// probe mode", ...).
Expected<RackReadResult> makeReaperStateProbe (const RackReadResult& source, const Vst3ModuleIndex& index,
                                               const DeploymentProfile& profile, const ReaperStateProbe& request);

} // namespace vornconv::rapp
