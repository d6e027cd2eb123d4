// LiveProfessor as a host: its record, its plug-in list (which its preflight rules and its writer
// take), and the preflight's rules of its projects (a rack shaped by the deployment profile, chains
// without pan, and plug-ins that its own plug-in list must name). A host-saved template is optional.

#include "app/HostRegistry.h"

#include "rapp/LiveProfessorPluginCatalog.h"
#include "rapp/Vst3ModuleIndex.h"
#include "readers/LiveProfessorRack2Reader.h"
#include "writers/LiveProfessorRack2Writer.h"

#include <set>

namespace vornconv::app
{

namespace
{

using rapp::LiveProfessorPluginCatalog;

// The issue texts of its rules, printed exactly as written.
namespace text
{
constexpr const char* pan = "LiveProfessor chain에는 pan 동등 필드가 없다";
constexpr const char* sidechainSource = "LiveProfessor sidechain source strip이 유효하지 않다";
constexpr const char* chainSidechainHead = "LiveProfessor chain sidechain은 catalog상 추가 input bus를 가진 ";
constexpr const char* chainSidechainTail = "stereo target plugin 하나에만 고유하게 도달해야 한다";
constexpr const char* catalogMissing = "LiveProfessor KnownPluginList catalog가 제공되지 않았다";
constexpr const char* auUnlinked = "AU identity를 LiveProfessor KnownPluginList에 고유하게 연결하지 못했다";
constexpr const char* vst3Unlinked = "VST3 CID를 현재 설치 모듈과 LiveProfessor KnownPluginList에 고유하게 연결하지 못했다";
constexpr const char* factoryUnavailable = "최신 factory cache에 없어 LiveProfessor에서 inactive로 기록한다";
} // namespace text

using rapp::ruleText;

// LiveProfessor's plug-in list, as loadPluginList loaded it for the run; null when it did not.
const LiveProfessorPluginCatalog* pluginListOf (const rapp::SideInput* input)
{
    return std::any_cast<LiveProfessorPluginCatalog> (input);
}

Expected<rapp::SideInput> loadPluginList()
{
    LiveProfessorPluginCatalog catalog;
    juce::String error;
    if (! catalog.load (LiveProfessorPluginCatalog::defaultFile(), error))
        return failure (error);
    return rapp::SideInput (std::move (catalog));
}

void stripRules (rapp::HostCheck& in, const RackStrip& strip, const juce::String& c)
{
    if (rapp::differsFrom (strip.pan, 0.5f))
        in.blocker (c, ruleText (text::pan));
}

void slotRules (rapp::HostCheck& in, const RackStrip& strip, const PluginRef& plugin, const juce::String& c, bool isAu)
{
    const auto* catalog = pluginListOf (in.sideInput);
    const auto catalogEntry = [&] (const PluginRef& slot) { return catalog != nullptr ? catalog->findUnique (slot, in.index) : nullptr; };

    in.unverifiedSidechain (plugin, c);

    if (plugin.sidechainSource >= 0 && plugin.sidechainKind == sidechainStrip)
    {
        const auto* sourceStrip = rapp::firstStrip (in.session, plugin.sidechainSource);
        if (! (sourceStrip != nullptr && sourceStrip->outputChannels > 0 && sourceStrip->index != strip.index))
            in.blocker (c, ruleText (text::sidechainSource));

        int withSidechain = 0, occupied = 0, wideInputs = 0;
        std::set<juce::int32> sources;
        for (const auto& other : strip.plugins)
        {
            if (! other.occupied)
                continue;
            ++occupied;
            if (other.sidechainSource >= 0)
            {
                ++withSidechain;
                sources.insert (other.sidechainSource);
            }
            if (const auto* entry = catalogEntry (other))
                if (entry->numInputs > strip.inputChannels)
                    ++wideInputs;
        }
        const auto* own = catalogEntry (plugin);
        const bool ownBusWide = own != nullptr && (juce::int64) own->numInputs >= 2 * (juce::int64) strip.inputChannels;
        if (! (withSidechain == 1 && wideInputs == 1 && ownBusWide && sources.size() == 1
               && (strip.inputChannels != 1 || occupied == 1)))
            in.blocker (c, ruleText (text::chainSidechainHead) + ruleText (text::chainSidechainTail));
    }

    if (catalog == nullptr)
    {
        in.blocker (rapp::hostRuleCode::catalog, ruleText (text::catalogMissing));
        return;
    }

    if (catalogEntry (plugin) == nullptr)
    {
        in.blocker (c, ruleText (isAu ? text::auUnlinked : text::vst3Unlinked));
        return;
    }

    ++in.plan.identityResolved;
    if (isAu)
        return;

    const auto key = in.index.classIdOf (plugin);
    const auto* entry = key.isNotEmpty() ? in.index.findByClassId (key) : nullptr;
    if (! (entry != nullptr && ! plugin.unavailable && entry->available))
        in.outputWarning (c, ruleText (text::factoryUnavailable));
}

std::optional<rapp::Issue> missingOption (const Host& host, const rapp::WriteOptions& options)
{
    if (options.profile == nullptr)
        return missingProfile (host);
    if (pluginListOf (options.sideInput) == nullptr)
        return missingOptionIssue (rapp::hostRuleCode::catalog, refusalOf (host, " plugin catalog is unavailable"));
    return {};
}

Host describeHost()
{
    Host host;
    host.target = rapp::targetLiveProfessor;
    host.targetWord = "liveprofessor";
    host.formatId = liveProfessorRack2FormatId;
    host.extension = ".rack2";
    host.targetName = "LiveProfessor (.rack2)";
    host.output = &rapp::liveProfessorRack2Output;
    host.dumpsValueTree = true;

    host.rules.target = host.target;
    host.rules.checksPhysicalIo = true;
    host.rules.stripRules = stripRules;
    host.rules.slotRules = slotRules;
    host.holdsStripsInOrder = true;

    host.templateUse = TemplateUse::optional;
    host.missingOption = missingOption;
    host.check = rapp::checkLiveProfessorRack2Write;
    host.write = rapp::writeLiveProfessorRack2;

    host.preparesParameterMirrors = true;
    host.loadSideInput = loadPluginList;

    host.usageInput = "<input>";
    return host;
}

} // namespace

const Host& liveProfessorHost()
{
    static const Host host = describeHost();
    return host;
}

} // namespace vornconv::app
