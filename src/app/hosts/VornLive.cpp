// Vorn Live as a host: its record, and the preflight's rules of its scenes (a fixed 64 x 8 rack
// with trim limits, one physical channel per rack channel, and sidechains from strips, physical
// inputs or post-fader rack points that must not loop).

#include "app/HostRegistry.h"

#include "readers/VornKsnReader.h"
#include "writers/VornKsnWriter.h"

#include <cmath>
#include <set>
#include <utility>
#include <vector>

namespace vornconv::app
{

namespace
{

// The issue texts of its rules, printed exactly as written.
namespace text
{
constexpr const char* trimRange = "Vorn Live trim range is -24..+12 dB; gain is not clamped";
constexpr const char* multiplePatch = "Vorn는 동일 rack channel의 다중 physical patch를 저장하지 못한다";
constexpr const char* slotMute = "Vorn slot에는 SuperRack plugin mute의 동등 필드가 없다";
constexpr const char* sidechainAccepted = "sidechain 입력 경로는 저장되지만 플러그인의 auxiliary bus 활성화, 채널 폭과 실신호 동등성은 실제 호스트에서 검증해야 한다";
constexpr const char* sidechainUnproven = "Vorn sidechain source 또는 입력 L 라우팅을 확인할 수 없다";
constexpr const char* sidechainCycle = "VORN Live Post-FX sidechain dependencies contain a cycle";
} // namespace text

using rapp::ruleText;

// The physical inputs a sidechain may come from, and the strips a post-fader sidechain loop is
// looked for among.
constexpr int physicalSidechainSources = 256;
constexpr int cycleNodes = 64;

void stripRules (rapp::HostCheck& in, const RackStrip& strip, const juce::String& c)
{
    auto inTrimRange = [] (float db) { return std::isfinite (db) && db >= -24.0f && db <= 12.0f; };
    if (! inTrimRange (strip.inputGainDb) || ! inTrimRange (strip.outputGainDb))
        in.blocker (c, ruleText (text::trimRange));

    // The scene keeps one physical channel per rack channel; a repeated identical patch is the
    // same routing and is not a second channel.
    std::vector<std::pair<std::pair<bool, int>, std::set<int>>> groups;
    for (const auto& patch : strip.routePatches)
    {
        if (patch.physicalChannel < 0)
            continue;
        const std::pair<bool, int> key { patch.isInput, patch.rackChannel };
        auto it = groups.begin();
        while (it != groups.end() && it->first != key)
            ++it;
        if (it == groups.end())
            groups.push_back ({ key, { patch.physicalChannel } });
        else
            it->second.insert (patch.physicalChannel);
    }
    for (const auto& group : groups)
        if (group.second.size() >= 2)
            in.blocker (c, ruleText (text::multiplePatch));
}

void slotRules (rapp::HostCheck& in, const RackStrip&, const PluginRef& plugin, const juce::String& c, bool isAu)
{
    if (plugin.muted)
        in.blocker (c, ruleText (text::slotMute));

    const int kind = plugin.sidechainKind;
    // A kind outside the four has been refused already.
    if (plugin.sidechainSource >= 0 && kind >= sidechainStrip && kind <= sidechainRackPost)
    {
        bool accepted = false;
        if (kind == sidechainPhysical)
        {
            accepted = plugin.sidechainSource < physicalSidechainSources;
        }
        else
        {
            const auto* sourceStrip = rapp::firstStrip (in.session, plugin.sidechainSource);
            accepted = sourceStrip != nullptr && plugin.sidechainSource < in.plan.capacity.strips
                       && (kind != sidechainStrip || (sourceStrip->coverage.route && sourceStrip->routeInL >= 0));
        }
        if (accepted)
            in.warning (c, ruleText (text::sidechainAccepted));
        else
            in.blocker (c, ruleText (text::sidechainUnproven));
    }

    in.moduleIdentity (plugin, c, isAu);
}

// Post-fader sidechains between strips must not form a cycle.
void sessionRules (rapp::HostCheck& in)
{
    std::vector<std::vector<int>> edges (cycleNodes);
    for (const auto& strip : in.session.strips)
    {
        if (strip.index < 0 || strip.index >= cycleNodes)
            continue;
        for (const auto& plugin : strip.plugins)
            if (plugin.occupied && plugin.sidechainEnabled && plugin.sidechainKind == sidechainRackPost
                && plugin.sidechainSource >= 0 && plugin.sidechainSource < cycleNodes)
                edges[(size_t) plugin.sidechainSource].push_back (strip.index);
    }

    enum Colour { unvisited, inProgress, done };
    std::vector<Colour> colour (cycleNodes, unvisited);

    // Iterative depth-first search: the stack holds (node, next edge to follow).
    for (int start = 0; start < cycleNodes; ++start)
    {
        if (colour[(size_t) start] != unvisited)
            continue;
        std::vector<std::pair<int, size_t>> stack { { start, 0 } };
        colour[(size_t) start] = inProgress;
        while (! stack.empty())
        {
            auto& [node, next] = stack.back();
            const auto& out = edges[(size_t) node];
            if (next == out.size())
            {
                colour[(size_t) node] = done;
                stack.pop_back();
                continue;
            }
            const int to = out[next++];
            if (colour[(size_t) to] == inProgress)
            {
                in.blocker (rapp::hostRuleCode::sidechainCycle, ruleText (text::sidechainCycle));
                return;
            }
            if (colour[(size_t) to] == unvisited)
            {
                colour[(size_t) to] = inProgress;
                stack.push_back ({ to, 0 });
            }
        }
    }
}

Host describeHost()
{
    Host host;
    host.target = rapp::targetVornScene;
    host.targetWord = "vorn";
    host.formatId = vornKsnFormatId;
    host.extension = ".ksn";
    host.targetName = "Vorn Live (.ksn)";
    host.output = &rapp::vornKsnOutput;

    host.rules.target = host.target;
    host.rules.capacity = { 64, 8, true };
    host.rules.keepsUndockOmission = true;
    host.rules.takesPerformerActiveState = true;
    host.rules.stripRules = stripRules;
    host.rules.slotRules = slotRules;
    host.rules.sessionRules = sessionRules;

    // Built from the session alone: a template has no effect.
    host.check = rapp::checkVornKsnWrite;
    host.write = rapp::writeVornKsn;

    host.usageInput = "<input.sprk>";
    return host;
}

} // namespace

const Host& vornLiveHost()
{
    static const Host host = describeHost();
    return host;
}

} // namespace vornconv::app
