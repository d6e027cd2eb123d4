// REAPER as a host: its record, its plug-in cache (which every plan and convert may join onto the
// module index), its diagnostic state probe session, and the preflight's rules of its projects
// (tracks shaped by the deployment profile, mono or stereo without input trim, active and unmuted
// plug-ins, and at most one legacy sidechain per track from another track). A one-track template
// is optional.

#include "app/HostRegistry.h"

#include "app/OperationOptions.h"
#include "readers/ReaperPluginCache.h"
#include "writers/ReaperRppWriter.h"
#include "writers/ReaperStateProbe.h"

namespace vornconv::app
{

const Host& reaperHost();

namespace
{

// The issue texts of its rules, printed exactly as written.
namespace text
{
constexpr const char* fieldsPrefix = "REAPER v1 template proof 범위 밖 필드: ";
constexpr const char* muteInactive = "REAPER v1은 inactive/plugin mute 매핑을 아직 검증하지 않았다";
constexpr const char* sidechain = "REAPER track은 유효한 non-self sidechain target 하나만 허용한다";
} // namespace text

using rapp::ruleText;

int occupiedWithSidechain (const RackStrip& strip)
{
    int n = 0;
    for (const auto& p : strip.plugins)
        if (p.occupied && p.sidechainSource >= 0)
            ++n;
    return n;
}

void stripRules (rapp::HostCheck& in, const RackStrip& strip, const juce::String& c)
{
    auto monoOrStereo = [] (int n) { return n == 1 || n == 2; };
    juce::StringArray fields;
    if (! (monoOrStereo (strip.inputChannels) && monoOrStereo (strip.outputChannels)))
        fields.add ("nonMonoStereoLayout");
    if (rapp::differsFrom (strip.inputGainDb, 0.0f))
        fields.add ("inputGain");
    if (! fields.isEmpty())
        in.blocker (c, ruleText (text::fieldsPrefix) + fields.joinIntoString (", "));
}

void slotRules (rapp::HostCheck& in, const RackStrip& strip, const PluginRef& plugin, const juce::String& c, bool isAu)
{
    if (plugin.muted || (plugin.inactive && ! plugin.unavailable))
        in.blocker (c, ruleText (text::muteInactive));

    in.unverifiedSidechain (plugin, c);

    if (plugin.sidechainSource >= 0 && plugin.sidechainKind == sidechainStrip)
    {
        const auto* sourceStrip = rapp::firstStrip (in.session, plugin.sidechainSource);
        if (! (sourceStrip != nullptr && sourceStrip->index != strip.index && occupiedWithSidechain (strip) == 1))
            in.blocker (c, ruleText (text::sidechain));
    }

    in.moduleIdentity (plugin, c, isAu);
}

std::optional<rapp::Issue> missingOption (const Host& host, const rapp::WriteOptions& options)
{
    if (options.profile == nullptr)
        return missingProfile (host);
    return {};
}

// --reaper-cache: REAPER's plug-in cache joined onto the module index. A refused cache may say
// why on a second line.
Expected<juce::StringArray> joinPluginCache (const CommandLineOptions& o, rapp::Vst3ModuleIndex& index)
{
    juce::StringArray warnings;
    if (! isGiven (o.reaperCache))
        return warnings;
    juce::String error;
    if (! loadReaperCache (index, o.reaperCache, warnings, error))
        return failure (optionFileRefusal ("--reaper-cache", o.reaperCache, error));
    return warnings;
}

rapp::ReaperStateProbe probeAsked (const CommandLineOptions& o)
{
    return { o.probeStrip, o.probeSlot, o.reaperNormalizedProbe };
}

// "--reaper-state-probe 0:1" or "--reaper-normalized-probe": the probe a plan plans.
juce::String stateProbeWords (const CommandLineOptions& o)
{
    const auto probe = probeAsked (o);
    if (! probe.requested())
        return {};
    if (probe.normalized)
        return "--reaper-normalized-probe";
    return "--reaper-state-probe " + juce::String (probe.strip) + ":" + juce::String (probe.slot);
}

Expected<RackReadResult> makeStateProbe (const CommandLineOptions& o, const RackReadResult& source, const rapp::Vst3ModuleIndex& index,
                                         const rapp::WriteOptions& options)
{
    if (options.profile == nullptr)
        return failure (missingProfile (reaperHost()).message);
    return rapp::makeReaperStateProbe (source, index, *options.profile, probeAsked (o));
}

Host describeHost()
{
    Host host;
    host.target = rapp::targetReaper;
    host.targetWord = "reaper";
    host.formatId = rapp::reaperProjectFormat;
    host.extension = ".rpp";
    host.targetName = "REAPER (.rpp)";
    host.output = &rapp::reaperRppOutput;

    host.rules.target = host.target;
    host.rules.checksPhysicalIo = true;
    host.rules.stripRules = stripRules;
    host.rules.slotRules = slotRules;
    host.holdsStripsInOrder = true;

    host.templateUse = TemplateUse::optional;
    host.missingOption = missingOption;
    host.check = rapp::checkReaperRppWrite;
    host.write = rapp::writeReaperRpp;

    host.joinModuleIndex = joinPluginCache;
    host.stateProbe.asked = stateProbeWords;
    host.stateProbe.make = makeStateProbe;

    host.usageInput = "<input>";
    return host;
}

} // namespace

const Host& reaperHost()
{
    static const Host host = describeHost();
    return host;
}

} // namespace vornconv::app
