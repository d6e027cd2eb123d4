// Patch inventories of a LiveProfessor 2 project: the physical patches a strip brings, every
// AudioPatch rebuilt as a bare inventory of the used inputs and every chain output, every
// MidiPatch with its host nodes and one entry per chain, the one outputs entry of a node and
// channel, and the numbers read from the tree's properties that these look-ups stand on.

#include "writers/LiveProfessorRack2WriterInternal.h"

#include <algorithm>
#include <cmath>

namespace vornconv::rapp::liveProfessorWriter
{

namespace
{

// The most channels a LiveProfessor chain has; a larger count in a session is never written
// (the chain makers refuse it), so the inventory never lists more outputs per chain than this.
constexpr int maxChainChannels = 128;

bool isFixedHostNode (juce::int64 nodeId)
{
    for (auto id : fixedHostNodeIds)
        if (id == nodeId)
            return true;
    return false;
}

// A number read as int64, as JUCE would, but without its undefined conversions: a double must be
// finite and in range, and a text (which JUCE would parse without overflow checks) is no number.
bool readAsInt64 (const juce::var& value, juce::int64& out)
{
    if (value.isInt() || value.isInt64() || value.isBool())
    {
        out = (juce::int64) value;
        return true;
    }
    if (value.isDouble())
    {
        const double d = value;
        if (! std::isfinite (d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
            return false;
        out = (juce::int64) d;
        return true;
    }
    return false;
}

bool propertyEquals (const TreeNode& node, std::string_view name, juce::int64 expected)
{
    juce::int64 value = 0;
    return readProperty (node, name, value) && value == expected;
}

int countOutputs (const TreeNode& audioPatch, juce::int64 nodeId, int channel, const TreeNode** match)
{
    int count = 0;
    for (const auto& child : audioPatch.children)
    {
        if (child.type == "outputs" && propertyEquals (child, "nodeId", nodeId) && propertyEquals (child, "channelId", channel))
        {
            ++count;
            if (match != nullptr)
                *match = &child;
        }
    }
    return count;
}

} // namespace

// The property read as int64; false when the node lacks it or it is no number.
bool readProperty (const TreeNode& node, std::string_view name, juce::int64& out)
{
    const auto* value = findProperty (node, name);
    return value != nullptr && readAsInt64 (*value, out);
}

TreeNode makeAudioPatchEntry (juce::int64 nodeId, int channel)
{
    auto entry = makeNode ("outputs");
    set (entry, "nodeId", int64Value (nodeId));
    set (entry, "channelId", channel);
    return entry;
}

std::set<SourcePatch> sourcePatches (const RackStrip& strip)
{
    std::set<SourcePatch> patches;
    for (const auto& patch : strip.routePatches)
        if (patch.physicalChannel >= 0)
            patches.emplace (patch.isInput ? 1 : 0, patch.rackChannel, patch.physicalChannel);
    if (! patches.empty())
        return patches;

    if (strip.routeInL >= 0)
        patches.emplace (1, 0, strip.routeInL);
    if (strip.inputChannels >= 2 && strip.routeInR >= 0)
        patches.emplace (1, 1, strip.routeInR);
    if (strip.routeOutL >= 0)
        patches.emplace (0, 0, strip.routeOutL);
    if (strip.outputChannels >= 2 && strip.routeOutR >= 0)
        patches.emplace (0, 1, strip.routeOutR);
    return patches;
}

void rebuildPatchInventories (TreeNode& root, const RackSession& session)
{
    // Every audio patch gets the same inventory.
    std::set<std::pair<juce::int64, int>> entries;
    for (const auto& strip : session.strips)
    {
        for (const auto& [isInput, rackChannel, physicalChannel] : sourcePatches (strip))
        {
            juce::ignoreUnused (rackChannel);
            if (isInput == 1)
                entries.emplace (1, physicalChannel);
        }
        const auto chainId = chainRuntimeId (strip.index);
        for (int channel = 0; channel < juce::jmin (strip.outputChannels, maxChainChannels); ++channel)
            entries.emplace (chainId, channel);
    }

    // Each patch is rebuilt from its own content alone, so they are taken last first: a patch
    // found inside another one is done before the outer one drops it, and rebuilding a patch never
    // moves a patch still to come.
    std::vector<TreeNode*> audioPatches;
    collectNodes (root, "AudioPatch", audioPatches);
    for (auto it = audioPatches.rbegin(); it != audioPatches.rend(); ++it)
    {
        auto& patch = **it;
        patch.children.clear();
        patch.children.reserve (entries.size());
        for (const auto& [nodeId, channel] : entries)
            append (patch, makeAudioPatchEntry (nodeId, channel));
    }

    std::vector<TreeNode*> midiPatches;
    collectNodes (root, "MidiPatch", midiPatches);
    for (auto it = midiPatches.rbegin(); it != midiPatches.rend(); ++it)
    {
        auto& patch = **it;
        patch.children.erase (std::remove_if (patch.children.begin(), patch.children.end(),
                                              [] (const TreeNode& child) {
                                                  juce::int64 nodeId = 0;
                                                  return ! readProperty (child, "nodeId", nodeId) || ! isFixedHostNode (nodeId);
                                              }),
                              patch.children.end());
        for (const auto& strip : session.strips)
            append (patch, makeMidiPatchEntry (chainRuntimeId (strip.index)));
    }
}

const TreeNode* findOutputs (const TreeNode& audioPatch, juce::int64 nodeId, int channel)
{
    const TreeNode* match = nullptr;
    return countOutputs (audioPatch, nodeId, channel, &match) == 1 ? match : nullptr;
}

bool ensureAudioPatchOutput (TreeNode* audioPatch, juce::int64 nodeId, int channel, juce::String& error)
{
    if (audioPatch == nullptr)
    {
        // Appending to a missing node would silently drop the entry.
        error = "LiveProfessor AudioPatch is missing";
        return false;
    }
    const int count = countOutputs (*audioPatch, nodeId, channel, nullptr);
    if (count >= 2)
    {
        error = "LiveProfessor template AudioPatch has duplicate output inventory";
        return false;
    }
    if (count == 0)
        append (*audioPatch, makeAudioPatchEntry (nodeId, channel));
    return true;
}

} // namespace vornconv::rapp::liveProfessorWriter
