// The REAPER diagnostic state probe: the diagnostic session the convert writes.

#include "writers/ReaperStateProbe.h"

#include "rapp/Vst3ModuleIndex.h"

namespace vornconv::rapp
{

namespace
{

const RackStrip* lastStripWithIndex (const RackSession& session, int stripIndex)
{
    const RackStrip* found = nullptr;
    for (const auto& strip : session.strips)
        if (strip.index == stripIndex)
            found = &strip;
    return found;
}

} // namespace

Expected<RackReadResult> makeReaperStateProbe (const RackReadResult& source, const Vst3ModuleIndex& index,
                                               const DeploymentProfile& profile, const ReaperStateProbe& request)
{
    const bool slotMode = request.strip >= 0 && request.slot >= 0;
    if (! source.isComplete() || slotMode == request.normalized)
        return failure ("REAPER probe requires a complete source and exactly one probe mode");

    juce::String selectedClassId;
    if (slotMode)
    {
        const auto* strip = lastStripWithIndex (source.session, request.strip);
        if (strip == nullptr || request.slot >= strip->plugins.size() || ! strip->plugins.getReference (request.slot).occupied)
            return failure ("REAPER state probe source slot is absent");
        selectedClassId = index.classIdOf (strip->plugins.getReference (request.slot));
        if (selectedClassId.isEmpty() || request.strip >= profile.strips || request.slot >= profile.slots)
            return failure ("REAPER state probe CID/profile is unresolved or undersized");
    }

    RackReadResult probe;
    probe.ok = true;
    probe.status = readComplete;
    probe.session.sourceFormat = "reaper.state-probe";
    probe.session.sourceApp = "Vorn Converter diagnostic";
    int taken = 0;
    for (int t = 0; t < profile.strips; ++t)
    {
        const auto* strip = lastStripWithIndex (source.session, t);
        if (strip == nullptr)
            return failure ("REAPER state probe profile exceeds source strips");
        RackStrip copy = *strip;
        copy.inputGainDb = 0.0f;
        copy.bypassed = false;
        copy.inputChannels = 2;
        copy.outputChannels = 2;
        copy.routeInL = copy.routeInR = copy.routeOutL = copy.routeOutR = -1;
        copy.routePatches.clear();
        copy.sourceParameters.clear();
        copy.plugins.clear();
        // The fields set here are known by construction; the kept ones stay as the source proved them.
        copy.coverage.inputGain = copy.coverage.bypass = copy.coverage.channelLayout = copy.coverage.route = true;
        const int slots = juce::jmin (profile.slots, strip->plugins.size());
        for (int s = 0; s < slots; ++s)
        {
            const auto& slot = strip->plugins.getReference (s);
            if (! slot.occupied || (slotMode && index.classIdOf (slot) != selectedClassId))
                continue;
            while (copy.plugins.size() < s)
                copy.plugins.add (PluginRef());
            PluginRef kept = slot;
            kept.inactive = false;
            kept.muted = false;
            kept.sidechainSource = -1;
            kept.coverage.activation = kept.coverage.mute = kept.coverage.sidechain = true;
            copy.plugins.add (kept);
            ++taken;
        }
        probe.session.strips.add (copy);
    }
    if (taken == 0)
        return failure ("REAPER state probe found no selected-CID instances in profile");
    return probe;
}

} // namespace vornconv::rapp
