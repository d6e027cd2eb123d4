#pragma once

// The fixed session the selection target projects, shared with the seed maker so that the seeds
// carry this session's report: four strips with plug-ins (one fed by a strip sidechain, one by a
// physical one), tied to a source file whose bytes are "abc".

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"

namespace vornfuzz
{

// SHA-256 of "abc".
inline const char* const selectionSourceSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

inline vornconv::rapp::HostCapacity selectionCapacity()
{
    vornconv::rapp::HostCapacity capacity;
    capacity.strips = 3;
    capacity.slots = 4;
    capacity.fixed = true;
    return capacity;
}

inline const char* const selectionTarget = "reaper";

inline vornconv::RackReadResult selectionSource (const juce::File& sourceFile)
{
    using namespace vornconv;
    RackReadResult result;
    result.ok = true;
    result.status = readComplete;
    result.session.sourceFormat = "vorn.ksn";
    result.session.sourceFile = sourceFile.getFullPathName();
    result.session.capacityStrips = 64;
    result.session.capacitySlots = 8;
    const int slotsPerStrip[] = { 2, 0, 3, 1 };
    for (int s = 0; s < 4; ++s)
    {
        RackStrip strip;
        strip.index = s * 2;
        strip.name = "Ch " + juce::String (s * 2 + 1);
        for (int p = 0; p < slotsPerStrip[s]; ++p)
        {
            PluginRef slot;
            slot.occupied = p != 1 || s != 2;  // strip 4 has a gap at slot 1
            slot.name = "P" + juce::String (s) + "." + juce::String (p);
            slot.vendor = "Acme";
            slot.format = "VST3";
            if (s == 2 && p == 2)
                slot.sidechainSource = 0;      // fed by the first strip
            if (s == 3 && p == 0)
            {
                slot.sidechainSource = 5;      // a physical input
                slot.sidechainKind = sidechainPhysical;
            }
            strip.plugins.add (slot);
        }
        result.session.strips.add (strip);
    }
    return result;
}

} // namespace vornfuzz
