// The descriptors of the hosts: the one place for a host's target, format id, extension, names,
// capacity and preflight rules.

#include "rapp/HostDescriptor.h"

namespace vornconv::rapp
{

const std::vector<HostDescriptor>& hostDescriptors()
{
    // target, format id, extension, host name, its documents, target name, capacity, preflight rules,
    // the fields its writer takes from the profile, whether its one snapshot takes its file's name,
    // whether its strips are 0 to n - 1 in order.
    static const std::vector<HostDescriptor> hosts = {
        { targetVornScene, "vorn.ksn", ".ksn", "Vorn Live", "scenes", "Vorn Live (.ksn)", { 64, 8, true }, vornSceneRules, {},
          true, false },
        { targetSuperRackPerformer, "waves.sprk", ".sprk", "SuperRack", "sessions", "SuperRack Performer (.sprk)", { 64, 8, true },
          superRackPerformerRules, {}, false, true },
        { targetLiveProfessor, "liveprofessor.rack2", ".rack2", "LiveProfessor", "projects", "LiveProfessor (.rack2)", {},
          liveProfessorRules, {}, false, true },
        // Every track is the profile's track with the source's fields: its colour stays the profile's.
        { targetReaper, "reaper.rpp", ".rpp", "REAPER", "projects", "REAPER (.rpp)", {}, reaperRules, { "strip.colour" }, false, true },
    };
    return hosts;
}

const HostDescriptor* findHostDescriptor (Target target)
{
    for (const auto& host : hostDescriptors())
        if (host.target == target)
            return &host;
    return nullptr;
}

const HostDescriptor& hostDescriptor (Target target)
{
    const auto* host = findHostDescriptor (target);
    jassert (host != nullptr);
    return host != nullptr ? *host : hostDescriptors().front();
}

const HostDescriptor* hostDescriptorForFormat (const juce::String& formatId)
{
    for (const auto& host : hostDescriptors())
        if (formatId == host.formatId)
            return &host;
    return nullptr;
}

} // namespace vornconv::rapp
