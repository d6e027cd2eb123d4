// The node makers the built-in profile and the template path share: state bytes set on a node,
// the pre-order node search, a strip's one sidechain source, a chain's layout properties, a
// plug-in node filled for one slot (identity, runtime id, activation, state, parameter mirror)
// and a plug-in's bus lists.

#include "writers/LiveProfessorRack2WriterInternal.h"

#include "model/ParameterSnapshot.h"
#include "model/Vst3State.h"

#include <string>

namespace vornconv::rapp::liveProfessorWriter
{

namespace
{

using juce::int64;
using juce::String;
using juce::var;

String busConfig (int channels) { return channels == 1 ? String ("C") : String ("L R"); }

// "P" and the index in decimal: the name of a plug-in parameter.
std::string parameterName (int index) { return "P" + std::to_string (index); }

} // namespace

// An empty block over an empty block is left as it is, as JUCE leaves a value it is set to again.
void setBytes (TreeNode& node, std::string_view name, const juce::MemoryBlock& bytes)
{
    if (bytes.isEmpty())
        if (const auto* old = findProperty (node, name); old != nullptr && old->isBinaryData()
                                                          && old->getBinaryData()->isEmpty())
            return;
    set (node, name, var (bytes));
}

void collectNodes (const TreeNode& tree, std::string_view type, std::vector<const TreeNode*>& out)
{
    if (tree.type == type)
        out.push_back (&tree);
    for (const auto& child : tree.children)
        collectNodes (child, type, out);
}

void collectNodes (TreeNode& tree, std::string_view type, std::vector<TreeNode*>& out)
{
    if (tree.type == type)
        out.push_back (&tree);
    for (auto& child : tree.children)
        collectNodes (child, type, out);
}

bool sidechainSourceForStrip (const RackStrip& strip, int& source, juce::String& error)
{
    source = -1;
    int count = 0;
    for (const auto& slot : strip.plugins)
    {
        if (! slot.occupied || slot.sidechainSource < 0)
            continue;
        ++count;
        if (source < 0)
        {
            source = slot.sidechainSource;
        }
        else if (slot.sidechainSource != source)
        {
            error = "LiveProfessor chain cannot represent multiple sidechain sources";
            return false;
        }
    }
    if (count >= 2)
    {
        error = "LiveProfessor chain sidechain cannot identify multiple target plugins exactly";
        return false;
    }
    return true;
}

bool configureChainProperties (TreeNode* chainNode, const RackStrip& strip, juce::int64 chainId,
                               bool setChainId, juce::String& error)
{
    const auto isMonoOrStereo = [] (int channels) { return channels == 1 || channels == 2; };
    if (chainNode == nullptr || ! isValidTree (*chainNode) || ! isMonoOrStereo (strip.inputChannels)
        || ! isMonoOrStereo (strip.outputChannels))
    {
        error = "LiveProfessor generated chain layout is outside mono/stereo scope";
        return false;
    }
    int source = -1;
    if (! sidechainSourceForStrip (strip, source, error))
        return false;

    auto& node = *chainNode;
    if (setChainId)
        set (node, "ChainId", int64Value (chainId));
    set (node, "ChainInputCount", strip.inputChannels);
    set (node, "ChainOutputCount", strip.outputChannels);
    set (node, "ChainMainInputBusConfig", busConfig (strip.inputChannels));
    set (node, "ChainMainOutputBusConfig", busConfig (strip.outputChannels));
    set (node, "SideChainCount", source >= 0 ? strip.inputChannels : 0);

    auto* container = findChild (node, "ProcessorSettingsContainer");
    if (container == nullptr)
    {
        error = "LiveProfessor generated chain has no processor settings";
        return false;
    }
    set (*container, "id", int64Value (chainId));
    set (*container, "name", strip.name);
    return true;
}

bool rebuildBusList (TreeNode* busses, const char* busType, int channelCount, juce::String& error)
{
    if (channelCount < 0 || channelCount > 4 || busses == nullptr)
    {
        error = "LiveProfessor plugin bus inventory is outside the observed 0..4 channel scope";
        return false;
    }
    busses->children.clear();
    int remaining = channelCount;
    for (int index = 0; remaining > 0; ++index)
    {
        const int channels = remaining > 1 ? 2 : 1;
        auto bus = makeNode (busType);
        set (bus, "channelCount", channels);
        set (bus, "index", index);
        set (bus, "busLayoutName", remaining == 1 ? String ("C") : String ("L R"));
        append (*busses, std::move (bus));
        remaining -= channels;
    }
    return true;
}

bool configurePluginPrototype (TreeNode& pluginNode, const PluginRef& slot,
                               const LiveProfessorPluginEntry& entry, juce::int64 runtimeId,
                               juce::uint32& uIdCounter, juce::String& error)
{
    // LiveProfessor names a plug-in type by its own list entry, and the topology binding checks
    // pluginTypeName against that entry; a source name that differs (a class matched through the
    // module index) would otherwise make every write of that slot fail.
    if (hasProperty (pluginNode, "pluginTypeId"))
        set (pluginNode, "pluginTypeId", entry.identifier);
    if (hasProperty (pluginNode, "pluginTypeName"))
        set (pluginNode, "pluginTypeName", entry.name);
    if (hasProperty (pluginNode, "pluginUid"))
        set (pluginNode, "pluginUid", int64Value (runtimeId));
    if (hasProperty (pluginNode, "PluginId"))
        set (pluginNode, "PluginId", int64Value (runtimeId));

    // Only properties change from here on, and the bus lists last, so the nodes found stay put.
    std::vector<TreeNode*> containers, snapshots, layouts;
    collectNodes (pluginNode, "ProcessorSettingsContainer", containers);
    collectNodes (pluginNode, "PluginSnapshot", snapshots);
    collectNodes (pluginNode, "bussesLayout", layouts);
    if (containers.size() != 1 || snapshots.size() != 1 || layouts.size() > 1)
    {
        error = "LiveProfessor plugin prototype structure is not unique";
        return false;
    }

    auto& container = *containers.front();
    set (container, "id", int64Value (runtimeId));
    auto* processorState = findChild (container, "processorState");
    if (processorState == nullptr)
    {
        error = "LiveProfessor plugin prototype has no processorState";
        return false;
    }
    set (*processorState, "enabled", ! slot.inactive);
    set (*processorState, "bypassed", slot.bypassed);
    set (*processorState, "audioMute", slot.muted);

    auto& snapshot = *snapshots.front();
    set (snapshot, "pluginTypeId", entry.identifier);
    set (snapshot, "SnapshotIdTag", int64Value (runtimeId));
    set (snapshot, "uId", int64Value ((int64) uIdCounter));
    ++uIdCounter;

    const bool isAudioUnit = slot.format == "AU";
    if (isAudioUnit)
        setBytes (snapshot, "chunkData", slot.state.raw);
    else
        setBytes (snapshot, "chunkData", vst3::buildJuceVst3State (slot.state.component, slot.state.controller));

    auto* parameters = findChild (snapshot, "parameters");
    if (parameters == nullptr)
    {
        error = "LiveProfessor plugin prototype has no parameters node";
        return false;
    }
    parameters->properties.clear();

    if (slot.format == "VST3" || (isAudioUnit && slot.state.parameterMirrorComplete))
    {
        parameterState::Snapshot mirror;
        String decodeError;
        if (! slot.state.parameterMirrorComplete || ! parameterState::decode (slot.state.parameters, mirror, decodeError))
        {
            error = "LiveProfessor topology synthesis requires a complete VNPM parameter mirror";
            if (slot.state.parameterMirrorComplete && decodeError.isNotEmpty())
                error << ": " << decodeError;
            return false;
        }
        // The list was emptied above, so each value is appended in its place without a lookup.
        parameters->properties.reserve ((size_t) mirror.values.size());
        for (int i = 0; i < mirror.values.size(); ++i)
            parameters->properties.push_back ({ parameterName (i), var ((double) mirror.values.getUnchecked (i)) });
    }

    if (layouts.empty())
        return true;
    auto& layout = *layouts.front();
    return rebuildBusList (findChild (layout, "inputBusses"), "inputBus", entry.numInputs, error)
        && rebuildBusList (findChild (layout, "outputBusses"), "outputBus", entry.numOutputs, error);
}

} // namespace vornconv::rapp::liveProfessorWriter
