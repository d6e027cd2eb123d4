// SuperRack Performer as a host: its record, and the preflight's rules of its sessions (a fixed
// 64 x 8 rack that takes third-party VST3 plug-ins only, with default strip fields, and legacy
// sidechains keyed from one physical input). Its sessions are written into a copy of a session
// the host saved itself.

#include "app/HostRegistry.h"

#include "rapp/Vst3ModuleIndex.h"
#include "writers/SuperRackSprkWriter.h"

namespace vornconv::app
{

namespace
{

// The issue texts of its rules, printed exactly as written.
namespace text
{
constexpr const char* fieldsPrefix = "SuperRack one-change fixture가 아직 없는 non-default field: ";
constexpr const char* wavesToPerformer = "Waves plug-ins cannot be transferred to SuperRack Performer";
constexpr const char* performerInactive = "Vorn inactive slot은 SuperRack bypass/disabled와 동등성이 검증되지 않았다";
constexpr const char* performerAu = "SuperRack Performer는 AU를 지원하지 않아 해당 슬롯을 사용 불가/비활성으로 보존한다";
constexpr const char* sidechainPatch = "sidechain source strip의 physical input L patch가 하나로 확정되지 않았다";
} // namespace text

using rapp::ruleText;

const RackStrip* lastStrip (const RackSession& session, juce::int32 index)
{
    const RackStrip* found = nullptr;
    for (const auto& strip : session.strips)
        if (strip.index == index)
            found = &strip;
    return found;
}

bool isWavesPlugin (const rapp::HostCheck& in, const PluginRef& plugin)
{
    juce::String vendor = plugin.vendor;
    juce::String bundleName = plugin.file.getFileName();
    const auto key = in.index.classIdOf (plugin);
    if (key.isNotEmpty())
    {
        if (const auto* entry = in.index.findByClassId (key))
        {
            vendor = entry->vendor.isNotEmpty() ? entry->vendor : plugin.vendor;
            bundleName = entry->bundle.getFileName();
        }
    }
    vendor = vendor.trim().toLowerCase();
    bundleName = bundleName.toLowerCase();
    return vendor == "waves" || vendor.startsWith ("waves ") || bundleName.contains ("waveshell");
}

void stripRules (rapp::HostCheck& in, const RackStrip& strip, const juce::String& c)
{
    juce::StringArray fields;
    if (rapp::differsFrom (strip.inputGainDb, 0.0f)) fields.add ("inputGain");
    if (rapp::differsFrom (strip.pan, 0.5f)) fields.add ("pan");
    if (strip.muted) fields.add ("mute");
    if (strip.soloed) fields.add ("solo");
    if (! fields.isEmpty())
        in.blocker (c, ruleText (text::fieldsPrefix) + fields.joinIntoString (", "));
}

void slotRules (rapp::HostCheck& in, const RackStrip&, const PluginRef& plugin, const juce::String& c, bool isAu)
{
    if (isAu)
    {
        in.outputWarning (c, ruleText (text::performerAu));
        return;
    }
    if (isWavesPlugin (in, plugin))
    {
        in.blocker (c, ruleText (text::wavesToPerformer));
        return;
    }
    if (plugin.inactive && ! plugin.unavailable)
        in.blocker (c, ruleText (text::performerInactive));

    in.unverifiedSidechain (plugin, c);

    if (plugin.sidechainSource >= 0 && plugin.sidechainKind == sidechainStrip)
    {
        const auto* sourceStrip = lastStrip (in.session, plugin.sidechainSource);
        int inputLeft = 0;
        if (sourceStrip != nullptr)
            for (const auto& patch : sourceStrip->routePatches)
                if (patch.isInput && patch.rackChannel == 0 && patch.physicalChannel >= 0)
                    ++inputLeft;
        if (! (sourceStrip != nullptr && inputLeft == 1))
            in.blocker (c, ruleText (text::sidechainPatch));
    }

    in.moduleIdentity (plugin, c, isAu);
}

std::optional<rapp::Issue> missingOption (const Host& host, const rapp::WriteOptions& options)
{
    if (options.templateFile == juce::File())
        return missingOptionIssue (issueCode::missingTemplate,
                                   refusalOf (host, " writer requires a verified 5.0.0.19 host-save base: --template supplies "
                                                    "it (a session SuperRack Performer 5.0.0.19 saved)"));
    return {};
}

Host describeHost()
{
    Host host;
    host.target = rapp::targetSuperRackPerformer;
    host.targetWord = "superrack-performer";
    host.formatId = rapp::superRackSessionFormat;
    host.extension = ".sprk";
    host.targetName = "SuperRack Performer (.sprk)";
    host.output = &rapp::superRackSprkOutput;

    host.rules.target = host.target;
    host.rules.capacity = { 64, 8, true };
    host.rules.stripRules = stripRules;
    host.rules.slotRules = slotRules;
    host.holdsStripsInOrder = true;

    host.templateUse = TemplateUse::required;
    host.missingOption = missingOption;
    host.check = rapp::checkSuperRackSprkWrite;
    host.write = rapp::writeSuperRackSprk;

    host.usageInput = "<input.ksn>";
    host.usageNote = "           SuperRack Performer transfers third-party VST3 only; Waves plug-ins are not transferable";
    return host;
}

} // namespace

const Host& superRackPerformerHost()
{
    static const Host host = describeHost();
    return host;
}

} // namespace vornconv::app
