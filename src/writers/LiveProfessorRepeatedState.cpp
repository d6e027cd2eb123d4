// Repeated state placement in a LiveProfessor 2 project: the mixer state and activation of every
// chain and plug-in processor, the state bytes and parameter values of every plug-in snapshot,
// and every audio patch's inventory and graph points for the session's routing, in each place
// of the project that repeats them.

#include "writers/LiveProfessorRack2WriterInternal.h"

#include <cmath>

namespace vornconv::rapp::liveProfessorWriter
{

namespace
{

using juce::String;

float linearGain (float db) { return std::pow (10.0f, db / 20.0f); }

// The index i when name is "P" followed by i in decimal, for an i below count; -1 otherwise.
int parameterIndex (const std::string& name, size_t count) noexcept
{
    if (name.size() < 2 || name.size() > 11 || name[0] != 'P' || (name.size() > 2 && name[1] == '0'))
        return -1;
    juce::int64 index = 0;
    for (size_t i = 1; i < name.size(); ++i)
    {
        if (name[i] < '0' || name[i] > '9')
            return -1;
        index = index * 10 + (name[i] - '0');
    }
    return index < (juce::int64) count ? (int) index : -1;
}

struct PatchContext
{
    const RackSession& session;
    const ChainIdMap& chainIds;
    StripsByIndex strips;
    std::map<juce::int64, const RackStrip*> stripOfChain;
};

// The outputs entries of one audio patch by (node, channel), each with the positions of the
// children that list it, so that every lookup of the state placement is one search in a map.
using OutputsIndex = std::map<std::pair<juce::int64, juce::int64>, std::vector<size_t>>;

OutputsIndex indexOutputs (const TreeNode& patch)
{
    OutputsIndex index;
    for (size_t i = 0; i < patch.children.size(); ++i)
    {
        const auto& child = patch.children[i];
        juce::int64 nodeId = 0, channel = 0;
        if (child.type == "outputs" && readProperty (child, "nodeId", nodeId) && readProperty (child, "channelId", channel))
            index[{ nodeId, channel }].push_back (i);
    }
    return index;
}

// The one entry for the node and channel, or null when there is none or several.
TreeNode* uniqueOutputs (TreeNode& patch, const OutputsIndex& index, juce::int64 nodeId, int channel)
{
    const auto found = index.find ({ nodeId, (juce::int64) channel });
    return found != index.end() && found->second.size() == 1 ? &patch.children[found->second.front()] : nullptr;
}

// The output check on an indexed patch: a missing entry is appended, a repeated one refused.
bool ensureIndexedOutput (TreeNode& patch, OutputsIndex& index, juce::int64 nodeId, int channel, juce::String& error)
{
    auto& positions = index[{ nodeId, (juce::int64) channel }];
    if (positions.size() >= 2)
        return fails (error, "LiveProfessor template AudioPatch has duplicate output inventory");
    if (positions.empty())
    {
        positions.push_back (patch.children.size());
        append (patch, makeAudioPatchEntry (nodeId, channel));
    }
    return true;
}

// The entries one strip needs in an audio patch: its physical patches, then its sidechain feeds.
bool ensureStripInventory (TreeNode& patch, OutputsIndex& index, const PatchContext& context, const RackStrip& strip,
                           juce::String& error)
{
    const auto found = context.chainIds.find (strip.index);
    if (found == context.chainIds.end())
        return fails (error, "internal LiveProfessor chain id mapping failed");
    for (const auto& [isInput, rackChannel, physicalChannel] : sourcePatches (strip))
        if (! (isInput == 1 ? ensureIndexedOutput (patch, index, 1, physicalChannel, error)
                            : ensureIndexedOutput (patch, index, found->second, rackChannel, error)))
            return false;

    int source = -1;
    if (! sidechainSourceForStrip (strip, source, error))
        return false;
    if (source < 0)
        return true;
    const auto* sourceStrip = stripWithIndex (context.strips, source);
    const auto sourceChain = context.chainIds.find (source);
    if (sourceStrip == nullptr || sourceChain == context.chainIds.end() || sourceStrip->outputChannels < 1)
        return fails (error, "LiveProfessor sidechain source strip is missing");
    for (int j = 0; j < strip.inputChannels; ++j)
        if (! ensureIndexedOutput (patch, index, sourceChain->second, juce::jmin (j, sourceStrip->outputChannels - 1), error))
            return false;
    return true;
}

// A point the writer itself would have made: physical input, physical output or sidechain feed.
bool isModelledPoint (const TreeNode& point, juce::int64 nodeId, juce::int64 channel, const PatchContext& context)
{
    juce::int64 outNode = 0, outChannel = 0, inNode = 0, inChannel = 0, midi = 0;
    if (point.type != "point" || ! readProperty (point, "outputNodeId", outNode)
        || ! readProperty (point, "outputChannelId", outChannel)
        || ! readProperty (point, "inputNodeId", inNode)
        || ! readProperty (point, "inputChannelId", inChannel)
        || ! readProperty (point, "isMidi", midi) || midi != 0)
        return false;
    if (outNode != nodeId || outChannel != channel || outChannel < 0 || inChannel < 0)
        return false;

    const auto strip = [&context] (juce::int64 id) -> const RackStrip* {
        const auto found = context.stripOfChain.find (id);
        return found == context.stripOfChain.end() ? nullptr : found->second;
    };
    const auto* from = strip (outNode);
    const auto* to = strip (inNode);
    if (outNode == 1 && to != nullptr)
        return inChannel < to->inputChannels;
    if (from != nullptr && inNode == 2)
        return outChannel < from->outputChannels;
    if (from == nullptr || to == nullptr || from == to || from->outputChannels < 1)
        return false;
    int source = -1;
    juce::String ignored;
    if (! sidechainSourceForStrip (*to, source, ignored) || source != from->index)
        return false;
    const auto k = inChannel - to->inputChannels;
    return k >= 0 && k < to->inputChannels && outChannel == juce::jmin ((juce::int64) from->outputChannels - 1, k);
}

bool validateExistingPoints (const TreeNode& patch, const PatchContext& context, juce::String& error)
{
    for (const auto& outputs : patch.children)
    {
        juce::int64 nodeId = 0, channel = 0;
        if (outputs.type != "outputs" || ! readProperty (outputs, "nodeId", nodeId) || ! readProperty (outputs, "channelId", channel))
            return fails (error, "LiveProfessor template AudioPatch contains an invalid outputs node");
        for (const auto& point : outputs.children)
            if (! isModelledPoint (point, nodeId, channel, context))
                return fails (error, "LiveProfessor template AudioPatch contains an unmodelled or malformed graph point");
    }
    return true;
}

bool checkStripPresence (TreeNode& patch, const OutputsIndex& index, const PatchContext& context, const RackStrip& strip,
                         juce::String& error)
{
    const auto chainId = context.chainIds.find (strip.index);
    if (chainId == context.chainIds.end())
        return fails (error, "internal LiveProfessor chain id mapping failed");
    for (const auto& [isInput, rackChannel, physicalChannel] : sourcePatches (strip))
    {
        const bool present = isInput == 1 ? uniqueOutputs (patch, index, 1, physicalChannel) != nullptr
                                          : uniqueOutputs (patch, index, chainId->second, rackChannel) != nullptr;
        if (! present)
            return fails (error, "LiveProfessor template AudioPatch lacks output node/channel for strip "
                                     + String (strip.index) + (isInput == 1 ? " input " : " output ")
                                     + String (rackChannel) + " -> physical " + String (physicalChannel));
    }
    int source = -1;
    if (! sidechainSourceForStrip (strip, source, error))
        return false;
    if (source < 0)
        return true;
    const auto* sourceStrip = stripWithIndex (context.strips, source);
    const auto sourceChain = context.chainIds.find (source);
    if (sourceStrip == nullptr || sourceChain == context.chainIds.end() || sourceStrip->outputChannels < 1)
        return fails (error, "LiveProfessor sidechain source strip is missing");
    for (int j = 0; j < strip.inputChannels; ++j)
        if (uniqueOutputs (patch, index, sourceChain->second, juce::jmin (j, sourceStrip->outputChannels - 1)) == nullptr)
            return fails (error, "LiveProfessor template AudioPatch lacks sidechain source output");
    return true;
}

void appendPoint (TreeNode& patch, const OutputsIndex& index, juce::int64 outNode, int outChannel, juce::int64 inNode,
                  int inChannel)
{
    auto point = makeNode ("point");
    set (point, "outputNodeId", int64Value (outNode));
    set (point, "outputChannelId", outChannel);
    set (point, "inputNodeId", int64Value (inNode));
    set (point, "inputChannelId", inChannel);
    set (point, "isMidi", false);
    appendIfPresent (uniqueOutputs (patch, index, outNode, outChannel), std::move (point));
}

void addSessionPoints (TreeNode& patch, const OutputsIndex& index, const PatchContext& context, const RackStrip& strip)
{
    const auto chainId = context.chainIds.at (strip.index);
    for (const auto& [isInput, rackChannel, physicalChannel] : sourcePatches (strip))
    {
        if (isInput == 1)
            appendPoint (patch, index, 1, physicalChannel, chainId, rackChannel);
        else
            appendPoint (patch, index, chainId, rackChannel, 2, physicalChannel);
    }
    int source = -1;
    juce::String ignored;
    if (! sidechainSourceForStrip (strip, source, ignored) || source < 0)
        return;
    const auto* sourceStrip = stripWithIndex (context.strips, source);
    const auto sourceChain = context.chainIds.at (source);
    for (int j = 0; j < strip.inputChannels; ++j)
        appendPoint (patch, index, sourceChain, juce::jmin (j, sourceStrip->outputChannels - 1), chainId,
                     strip.inputChannels + j);
}

} // namespace

bool updateProcessorState (TreeNode& node, bool enabled, bool bypassed, bool audioMute, bool isolate,
                           float inputGain, float outputGain)
{
    auto* state = findChild (node, "processorState");
    if (state == nullptr || ! hasProperty (*state, "enabled") || ! hasProperty (*state, "bypassed")
        || ! hasProperty (*state, "audioMute"))
        return false;
    set (*state, "enabled", enabled);
    set (*state, "bypassed", bypassed);
    set (*state, "audioMute", audioMute);
    if (hasProperty (*state, "isolate"))
        set (*state, "isolate", isolate);
    if (hasProperty (*state, "inputGain"))
        set (*state, "inputGain", (double) inputGain);
    if (hasProperty (*state, "outputGain"))
        set (*state, "outputGain", (double) outputGain);
    return true;
}

namespace
{

using BindingsById = std::map<juce::int64, const PluginBinding*>;
using PlacementCounts = std::map<juce::int64, int>;

// The mixer state of every chain processor and the activation of every bound plug-in processor,
// counted by id. Only properties change, so the nodes found stay where they are.
bool placeProcessorStates (TreeNode& root, const PatchContext& context, const BindingsById& bindingOf,
                           PlacementCounts& chainCount, PlacementCounts& containerCount, juce::String& error)
{
    std::vector<TreeNode*> containers;
    collectNodes (root, "ProcessorSettingsContainer", containers);
    for (auto* container : containers)
    {
        juce::int64 id = 0;
        if (! readProperty (*container, "id", id))
            continue;
        if (const auto chain = context.stripOfChain.find (id); chain != context.stripOfChain.end() && chain->second != nullptr)
        {
            const auto& strip = *chain->second;
            if (hasProperty (*container, "name"))
                set (*container, "name", strip.name);
            if (! updateProcessorState (*container, ! strip.bypassed, strip.bypassed, strip.muted, strip.soloed,
                                        linearGain (strip.inputGainDb), linearGain (strip.outputGainDb)))
                return fails (error, "LiveProfessor repeated chain processorState is incomplete");
            ++chainCount[id];
        }
        else if (const auto bound = bindingOf.find (id); bound != bindingOf.end())
        {
            const auto* slot = occupiedSlot (stripWithIndex (context.strips, bound->second->chainIndex), bound->second->slotIndex);
            if (slot == nullptr)
                return fails (error, "internal LiveProfessor plugin state mapping failed");
            if (! updateProcessorState (*container, ! slot->inactive, slot->bypassed, slot->muted, false, 1.0f, 1.0f))
                return fails (error, "LiveProfessor repeated plugin processorState is incomplete");
            ++containerCount[id];
        }
    }
    return true;
}

// The binding's parameter values in the snapshot's one parameters node, each where its name
// stands; a binding without parameters leaves the node empty.
bool placeParameters (TreeNode& snapshot, const PluginBinding& binding, juce::String& error)
{
    TreeNode* parameters = nullptr;
    int parameterNodes = 0;
    for (auto& child : snapshot.children)
        if (child.type == "parameters" && parameterNodes++ == 0)
            parameters = &child;
    if (parameterNodes != 1 || ! parameters->children.empty())
        return fails (error, "LiveProfessor template parameter topology does not match source parameter mirror");
    if (! binding.hasParameters)
    {
        parameters->properties.clear();
    }
    else
    {
        const auto count = (size_t) binding.parameterValues.size();
        if (parameters->properties.size() != count)
            return fails (error, "LiveProfessor template parameter topology does not match source parameter mirror");
        // Each value goes where its name stands; names are unique, so P0 .. Pn are all there
        // exactly when every index below the count is named once.
        std::vector<juce::var*> byIndex (count, nullptr);
        for (auto& property : parameters->properties)
            if (const auto i = parameterIndex (property.name, count); i >= 0)
                byIndex[(size_t) i] = &property.value;
        for (size_t i = 0; i < count; ++i)
        {
            if (byIndex[i] == nullptr)
                return fails (error, "LiveProfessor template parameters are not a contiguous P0..Pn set");
            *byIndex[i] = (double) binding.parameterValues.getUnchecked ((int) i);
        }
    }
    return true;
}

// The state bytes and parameter values of every snapshot of a bound plug-in, counted by id. Only
// properties change, so the nodes found stay where they are.
bool placePluginSnapshots (TreeNode& root, const BindingsById& bindingOf, PlacementCounts& snapshotCount, juce::String& error)
{
    std::vector<TreeNode*> snapshots;
    collectNodes (root, "PluginSnapshot", snapshots);
    for (auto* snapshot : snapshots)
    {
        juce::int64 id = 0;
        if (! readProperty (*snapshot, "SnapshotIdTag", id))
            continue;
        const auto bound = bindingOf.find (id);
        if (bound == bindingOf.end())
            continue;
        const auto& binding = *bound->second;
        String typeId;
        const auto typeRead = readTextProperty (*snapshot, "pluginTypeId", typeId);
        if (typeRead == PropertyRead::wrongKind)
            return fails (error, "LiveProfessor template " + propertyKindFault (*snapshot, "pluginTypeId", PropertyKind::text));
        if (typeRead == PropertyRead::read && typeId != binding.typeId)
            return fails (error, "LiveProfessor repeated PluginSnapshot identity mismatch");
        setBytes (*snapshot, "chunkData", binding.stateBytes);
        if (! placeParameters (*snapshot, binding, error))
            return false;
        ++snapshotCount[id];
    }
    return true;
}

// Every audio patch's inventory, checked and completed, and its graph points for the session's
// routing.
bool placeRouting (TreeNode& root, const RackSession& session, const PatchContext& context, juce::String& error)
{
    std::vector<TreeNode*> patches;
    collectNodes (root, "AudioPatch", patches);
    if (patches.empty())
        return fails (error, "LiveProfessor template has no AudioPatch");
    // A patch can only sit inside another one below a point (anywhere else the outer patch is
    // refused), and the points of a patch are taken out into the graveyard: a patch found there is
    // still visited in order, as JUCE does, without touching the tree.
    Graveyard graveyard;
    for (auto* patch : patches)
    {
        auto index = indexOutputs (*patch);
        for (const auto& strip : session.strips)
            if (! ensureStripInventory (*patch, index, context, strip, error))
                return false;
        if (! validateExistingPoints (*patch, context, error))
            return false;
        for (const auto& strip : session.strips)
            if (! checkStripPresence (*patch, index, context, strip, error))
                return false;
        for (auto& outputs : patch->children)
            removeAllChildren (&outputs, &graveyard);
        for (const auto& strip : session.strips)
            addSessionPoints (*patch, index, context, strip);
    }
    return true;
}

} // namespace

bool updateRepeatedState (TreeNode& root, const RackSession& session, const ChainIdMap& chainIds,
                          const juce::Array<PluginBinding>& bindings, juce::String& error)
{
    PatchContext context { session, chainIds, stripsByIndex (session), {} };
    for (const auto& [stripIndex, chainId] : chainIds)
        context.stripOfChain[chainId] = stripWithIndex (context.strips, stripIndex);
    BindingsById bindingOf;
    for (const auto& binding : bindings)
        bindingOf[binding.runtimeId] = &binding;
    PlacementCounts chainCount, containerCount, snapshotCount;

    // The first two steps change properties only, so the nodes found stay where they are.
    if (! placeProcessorStates (root, context, bindingOf, chainCount, containerCount, error)
        || ! placePluginSnapshots (root, bindingOf, snapshotCount, error))
        return false;

    for (const auto& [chainId, strip] : context.stripOfChain)
        if (strip != nullptr && chainCount[chainId] < 1)
            return fails (error, "LiveProfessor chain processor state was not found");
    for (const auto& binding : bindings)
        if (containerCount[binding.runtimeId] < 1 || snapshotCount[binding.runtimeId] < 1)
            return fails (error, "LiveProfessor plugin state was not found in template");

    return placeRouting (root, session, context, error);
}

} // namespace vornconv::rapp::liveProfessorWriter
