// The LiveProfessor 2 project writer: a rack session as a new .rack2 value tree, from a host-saved
// template or the built-in native profile, proven by reading it back.
//
// Divisions, in order:
//   1. The built-in native profile: node makers, host scaffolding, chains and plug-ins.
//   2. Patch inventories and runtime-id references.
//   3. Topology: synthesis from a single prototype and the binding of chains and plug-ins.
//   4. Repeated state placement: mixer state, plug-in states and routing in every place.
//   5. Stable runtime ids and the controller assignments that follow or lose their processor.
//   6. The project prepared in memory (everything before the output is needed) and its proof.
//   7. checkLiveProfessorRack2Write and writeLiveProfessorRack2, the latter through the
//      verified-write pipeline.

#include "writers/LiveProfessorRack2Writer.h"
#include "writers/LiveProfessorRack2WriterInternal.h"

#include "model/ParameterSnapshot.h"
#include "model/Vst3State.h"
#include "rapp/HostDescriptor.h"
#include "readers/ValueTreeReader.h"
#include "writers/ConversionLedger.h"
#include "writers/VerifiedWrite.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>

namespace vornconv::rapp::liveProfessorWriter
{

const char* const internalProfileName = "liveprofessor-2026.1-native-v1";

namespace
{

using juce::int64;
using juce::String;
using juce::var;

// The host's own nodes: hardware input, hardware output and three further host nodes.
constexpr int64 fixedHostNodeIds[] = { 1, 2, 158, 159, 160 };
constexpr int midiPatchChannel = 4096;

// The uniqueIds of the VST3 classes LiveProfessor has been seen to load from this profile.
constexpr juce::uint32 hostVerifiedUniqueIds[] = {
    0xF0582F35u, 0x63C90B15u, 0xFD51F54Au, 0xBEB1AB47u, 0x84D4BD9Cu, 0xA1D8F949u,
    0xFDDD35D6u, 0xDAEEB97Eu, 0xF682A142u, 0xF6829D4Bu, 0xF6829560u, 0xF6829543u,
    0xBD9F9A35u, 0xD63E55D3u, 0xA4A502F5u, 0x910A73F0u, 0x3F2478CAu
};

var int64Value (int64 value) { return var (value); }
var emptyText() { return var (String()); }

TreeNode makeNode (const char* type) { return TreeNode { type, {}, {} }; }

void set (TreeNode& node, std::string_view name, var value) { setProperty (node, name, std::move (value)); }

// An empty block over an empty block is left as it is, as JUCE leaves a value it is set to again.
void setBytes (TreeNode& node, std::string_view name, const juce::MemoryBlock& bytes)
{
    if (bytes.isEmpty())
        if (const auto* old = findProperty (node, name); old != nullptr && old->isBinaryData()
                                                          && old->getBinaryData()->isEmpty())
            return;
    set (node, name, var (bytes));
}

void append (TreeNode& parent, TreeNode child) { parent.children.push_back (std::move (child)); }

// Appending to a node that is not there does nothing, as with JUCE's invalid trees.
void appendIfPresent (TreeNode* parent, TreeNode child)
{
    if (parent != nullptr)
        append (*parent, std::move (child));
}

String busConfig (int channels) { return channels == 1 ? String ("C") : String ("L R"); }

// "P" and the index in decimal: the name of a plug-in parameter.
std::string parameterName (int index) { return "P" + std::to_string (index); }

//==============================================================================
TreeNode makeProcessorContainer (juce::StringRef name, int64 id)
{
    auto container = makeNode ("ProcessorSettingsContainer");
    set (container, "name", String (name));
    set (container, "id", int64Value (id));

    auto state = makeNode ("processorState");
    set (state, "enabled", true);
    set (state, "bypassed", false);
    set (state, "isolate", false);
    set (state, "audioMute", false);
    set (state, "inputGain", 1.0);
    set (state, "outputGain", 1.0);
    append (container, std::move (state));

    auto midi = makeNode ("midi");
    set (midi, "midiMute", false);
    set (midi, "midiThru", false);
    append (midi, makeNode ("midiChannels"));
    auto modifiers = makeNode ("modifiers");
    set (modifiers, "modifiersEnabled", false);
    set (modifiers, "transpose", 0);
    set (modifiers, "channelChange", 0);
    append (midi, std::move (modifiers));
    auto keyzone = makeNode ("keyzone");
    set (keyzone, "keyZoneEnabled", false);
    set (keyzone, "upperNote", 127);
    set (keyzone, "lowerNote", 0);
    append (midi, std::move (keyzone));
    auto filter = makeNode ("filter");
    set (filter, "filterEnabled", false);
    append (midi, std::move (filter));
    append (container, std::move (midi));
    return container;
}

TreeNode makeStoredViewSet (const char* type)
{
    auto viewSet = makeNode (type);
    set (viewSet, "storedViewSetName", String ("VORN Converter"));
    set (viewSet, "storedViewSetId", int64Value (viewSetId));
    append (viewSet, makeNode ("storedViewSetItems"));
    return viewSet;
}

TreeNode makeProfileWorkspace (int viewMode)
{
    auto workspace = makeNode ("Workspace");
    set (workspace, "WorkspaceId", int64Value (workspaceId));
    set (workspace, "WorkspaceName", emptyText());
    set (workspace, "storedViewSetId", int64Value (viewSetId));
    set (workspace, "ViewMode", viewMode);
    append (workspace, makeNode ("DockablePanelLayout"));
    auto cueListWindows = makeNode ("CueListWindows");
    set (cueListWindows, "SelectedLiveListId", 0);
    append (workspace, std::move (cueListWindows));
    append (workspace, makeStoredViewSet ("storedViewSet"));
    return workspace;
}

TreeNode makeMidiPatchEntry (int64 nodeId)
{
    auto entry = makeNode ("outputs");
    set (entry, "nodeId", int64Value (nodeId));
    set (entry, "channelId", midiPatchChannel);
    return entry;
}

TreeNode makeProfileMidiPatch (const RackSession& session)
{
    auto patch = makeNode ("MidiPatch");
    for (auto id : fixedHostNodeIds)
        append (patch, makeMidiPatchEntry (id));
    for (const auto& strip : session.strips)
        append (patch, makeMidiPatchEntry (chainRuntimeId (strip.index)));
    return patch;
}

TreeNode makeProfileSnapshotFilter (bool allFlags)
{
    auto filterNode = makeNode ("GlobalSnapshotFilter");
    set (filterNode, "name", emptyText());
    auto snapshotFilter = makeNode ("SnapshotFilter");
    auto global = makeNode ("GlobalFilter");
    if (allFlags)
        for (auto flag : { "workspace", "audioPatch", "midiPatch", "chainOrder" })
            set (global, flag, true);
    append (snapshotFilter, std::move (global));
    append (snapshotFilter, makeNode ("PluginFilter"));
    append (filterNode, std::move (snapshotFilter));
    return filterNode;
}

TreeNode makeChainSettingsSkeleton (const RackStrip& strip, int64 chainId, bool snapshotForm, String& error)
{
    auto node = makeNode (snapshotForm ? "Chain" : "ChainSettings");
    if (! snapshotForm)
    {
        set (node, "ChainADCgroup", 0);
        set (node, "ChainColour", String ("ffff7b33"));
        set (node, "DelayMode", 0);
        set (node, "ManualDelayMs", 0.0);
        set (node, "AuxCount", 0);
        set (node, "MuteAffectsInput", false);
    }
    append (node, makeProcessorContainer (strip.name, chainId));
    append (node, makeNode ("ProcessorOrder"));
    if (! configureChainProperties (&node, strip, chainId, snapshotForm, error))
        return {};
    return node;
}

bool appendInternalProfilePlugin (TreeNode* processorOrder, TreeNode& pluginList, const RackStrip& strip, int slot,
                                  bool snapshotForm, const Vst3ModuleIndex& index,
                                  const LiveProfessorPluginCatalog& catalog, juce::uint32& uIdCounter, String& error)
{
    const auto& ref = strip.plugins.getReference (slot);
    const auto* entry = catalog.findUnique (ref, index);
    if (entry == nullptr || (entry->format == "VST3" && ! entry->bundle.exists()))
    {
        error = "LiveProfessor internal profile cannot resolve an installed catalog identity for " + ref.name;
        return false;
    }
    if (entry->format == "VST3" && ! isHostVerifiedUniqueId (entry->uniqueId))
    {
        error = String ("LiveProfessor internal profile ") + internalProfileName + " has no host-verified CID mapping for "
              + ref.name + " (JUCE uniqueId=" + String::toHexString ((int64) entry->uniqueId) + ")";
        return false;
    }

    const auto runtimeId = internalPluginRuntimeId (strip.index, slot);
    if (processorOrder != nullptr)
    {
        auto plug = makeNode ("plug");
        set (plug, "id", int64Value (runtimeId));
        set (plug, "type", entry->identifier);
        append (*processorOrder, std::move (plug));
    }

    auto plugin = makeNode ("Plugin");
    if (snapshotForm)
    {
        set (plugin, "PluginId", int64Value (runtimeId));
    }
    else
    {
        set (plugin, "pluginTypeId", emptyText());
        set (plugin, "pluginTypeName", emptyText());
        set (plugin, "pluginUid", int64Value (runtimeId));
    }
    append (plugin, makeProcessorContainer ({}, runtimeId));

    auto payload = makeNode ("Plugin");
    set (payload, "useMinimalView", false);
    auto snapshot = makeNode ("PluginSnapshot");
    set (snapshot, "name", emptyText());
    set (snapshot, "uId", int64Value (0));
    set (snapshot, "updateTime", int64Value (0));
    set (snapshot, "pluginTypeId", emptyText());
    set (snapshot, "loadedPreset", false);
    set (snapshot, "SnapshotIdTag", int64Value (runtimeId));
    set (snapshot, "chunkData", var());
    append (snapshot, makeNode ("parameters"));
    append (payload, std::move (snapshot));
    append (payload, makeNode ("PluginSnapshotList"));
    append (plugin, std::move (payload));

    if (! snapshotForm)
    {
        auto layout = makeNode ("bussesLayout");
        append (layout, makeNode ("inputBusses"));
        append (layout, makeNode ("outputBusses"));
        append (plugin, std::move (layout));
    }

    if (! configurePluginPrototype (plugin, ref, *entry, runtimeId, uIdCounter, error))
        return false;
    append (pluginList, std::move (plugin));
    return true;
}

// Chains and Plugins of one global snapshot; nothing is added to the snapshot on failure.
bool appendInternalProfileSnapshotTopology (TreeNode& snapshot, const RackSession& session,
                                            const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                                            juce::uint32& uIdCounter, String& error)
{
    auto chains = makeNode ("Chains");
    auto plugins = makeNode ("Plugins");
    for (const auto& strip : session.strips)
    {
        auto chain = makeChainSettingsSkeleton (strip, chainRuntimeId (strip.index), true, error);
        if (! isValidTree (chain))
            return false;
        auto* order = findChild (chain, "ProcessorOrder");
        for (int slot = 0; slot < strip.plugins.size(); ++slot)
            if (strip.plugins.getReference (slot).occupied
                && ! appendInternalProfilePlugin (order, plugins, strip, slot, true, index, catalog, uIdCounter, error))
                return false;
        append (chains, std::move (chain));
    }
    append (snapshot, std::move (chains));
    append (snapshot, std::move (plugins));
    return true;
}

TreeNode makeGlobalSnapshot (int64 id, const String& name, int viewMode, const RackSession& session)
{
    auto snapshot = makeNode ("GlobalSnapshot");
    set (snapshot, "GSid", int64Value (id));
    set (snapshot, "GSname", name);
    set (snapshot, "GSupdateTime", int64Value (0));
    set (snapshot, "ControllerMapId", int64Value (controllerMapId));
    append (snapshot, makeProfileWorkspace (viewMode));
    append (snapshot, makeProfileMidiPatch (session));
    append (snapshot, makeNode ("AudioPatch"));
    return snapshot;
}

TreeNode makeIoChannel (const char* type, int index)
{
    auto channel = makeNode (type);
    set (channel, "Index", index);
    set (channel, "UserLabel", emptyText());
    return channel;
}

TreeNode makeAudioMidiHardware (const DeploymentProfile& profile)
{
    auto hardware = makeNode ("AudioMidiHardware");
    auto device = makeNode ("IOdeviceProperties");
    set (device, "audioDeviceType", emptyText());
    set (device, "inputDeviceName", emptyText());
    set (device, "outputDeviceName", emptyText());
    set (device, "RequiredInputs", profile.ioInputs);
    set (device, "RequiredOutputs", profile.ioOutputs);
    append (hardware, std::move (device));
    auto inputs = makeNode ("AudioInputs");
    for (int i = 0; i < profile.ioInputs; ++i)
        append (inputs, makeIoChannel ("InputChannel", i));
    append (hardware, std::move (inputs));
    auto outputs = makeNode ("AudioOutputs");
    for (int i = 0; i < profile.ioOutputs; ++i)
        append (outputs, makeIoChannel ("OutputChannel", i));
    append (hardware, std::move (outputs));
    auto midi = makeNode ("MidiDevices");
    append (midi, makeNode ("MidiInputDevices"));
    append (midi, makeNode ("MidiOutputDevices"));
    append (hardware, std::move (midi));
    return hardware;
}

void appendHostScaffolding (TreeNode& root, const RackSession& session)
{
    auto cueLists = makeNode ("CueLists");
    set (cueLists, "MSCenabled", false);
    set (cueLists, "MSCid", 0);
    set (cueLists, "TCenabled", false);
    append (cueLists, makeNode ("OSCdestinations"));
    append (root, std::move (cueLists));

    auto osc = makeNode ("GlobalOscController");
    set (osc, "enabled", false);
    set (osc, "hostIp", emptyText());
    set (osc, "inputPort", 50055);
    set (osc, "outputPort", 50056);
    append (root, std::move (osc));

    auto controllers = makeNode ("HardwareControllers");
    set (controllers, "ActiveMap", int64Value (controllerMapId));
    append (controllers, makeNode ("HardwareControllers"));
    auto maps = makeNode ("HardwareCtrlMaps");
    auto map = makeNode ("HardwareCtrlMap");
    set (map, "Name", String ("VORN Converter"));
    set (map, "mapId", int64Value (controllerMapId));
    append (map, makeNode ("Assignments"));
    append (maps, std::move (map));
    append (controllers, std::move (maps));
    append (root, std::move (controllers));

    append (root, makeNode ("Workspaces"));

    auto ui = makeNode ("uiComp");
    set (ui, "ID", String ("root-1527771136"));
    set (ui, "idInt", int64Value (uiRootId));
    set (ui, "name", String ("root"));
    set (ui, "contentType", String ("folder"));
    auto content = makeNode ("content1527771137");
    set (content, "ID", int64Value (cleanSnapshotId));
    set (content, "contentType", String ("item"));
    append (ui, std::move (content));
    append (root, std::move (ui));

    auto wireView = makeNode ("WireView");
    auto nodes = makeNode ("Nodes");
    juce::Array<int64> nodeIds;
    for (auto id : fixedHostNodeIds)
        nodeIds.add (id);
    for (const auto& strip : session.strips)
        nodeIds.add (chainRuntimeId (strip.index));
    for (int k = 0; k < nodeIds.size(); ++k)
    {
        auto node = makeNode ("WireViewNode");
        set (node, "NodeId", int64Value (nodeIds[k]));
        set (node, "XPos", (k % 4) * 215 + 5);
        set (node, "YPos", (k / 4) * 117 + 5);
        append (nodes, std::move (node));
    }
    append (wireView, std::move (nodes));
    append (root, std::move (wireView));
}

bool checkProfileLimits (const RackSession& session, const DeploymentProfile& profile, String& error)
{
    const int strips = session.strips.size();
    if (strips < 1 || strips > 64 || strips != profile.strips || profile.slots < 1 || profile.slots > 8
        || profile.ioInputs < 1 || profile.ioInputs > 128 || profile.ioOutputs < 1 || profile.ioOutputs > 128)
    {
        error = String ("LiveProfessor internal profile ") + internalProfileName
              + " supports 1..64 source-shaped chains, 1..8 slots, and explicit 1..128 channel I/O capacity";
        // A profile of another shape than the session's: the one that fits.
        if (strips >= 1 && strips <= 64 && strips != profile.strips && profile.slots >= 1)
            error << ": the session has " << strips << (strips == 1 ? " strip" : " strips") << ", --profile " << profile.strips << "x" << profile.slots << " shapes "
                  << profile.strips << "; give --profile " << strips << "x" << profile.slots;
        return false;
    }
    for (int i = 0; i < strips; ++i)
    {
        const auto& strip = session.strips.getReference (i);
        if (strip.index != i || strip.plugins.size() > 8)
        {
            error = "LiveProfessor internal profile requires contiguous profile-range chain/slot topology";
            return false;
        }
        for (int slot = profile.slots; slot < strip.plugins.size(); ++slot)
        {
            if (strip.plugins.getReference (slot).occupied)
            {
                error = "LiveProfessor internal profile source has an occupied slot outside the deployment profile";
                return false;
            }
        }
    }
    return true;
}

} // namespace

//==============================================================================
juce::int64 chainRuntimeId (juce::int32 stripIndex)
{
    return (juce::int64) (0xAC720000u | (juce::uint32) stripIndex);
}

juce::int64 internalPluginRuntimeId (juce::int32 stripIndex, int slot)
{
    return (juce::int64) (0x5A000000u | ((juce::uint32) stripIndex << 8) | (juce::uint32) slot);
}

bool isHostVerifiedUniqueId (juce::uint32 uniqueId)
{
    for (auto id : hostVerifiedUniqueIds)
        if (id == uniqueId)
            return true;
    return false;
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

TreeNode buildInternalProfile2026_1 (const RackSession& session, const Vst3ModuleIndex& index,
                                     const LiveProfessorPluginCatalog& catalog,
                                     const DeploymentProfile& profile, juce::String& error)
{
    if (! checkProfileLimits (session, profile, error))
        return {};

    auto root = makeNode ("LiveProfessorProjectFile");
    set (root, "isTemplate", false);
    set (root, "ProjectFileVersion", 1);
    set (root, "appVersion", String ("2026.1.0"));
    set (root, "description", emptyText());
    set (root, "fixGainBug", false);
    append (root, makeAudioMidiHardware (profile));
    auto settings = makeNode ("projectSettings");
    set (settings, "BufferSize", 512);
    set (settings, "AutoSaveCounter", 0);
    set (settings, "useSIPmode", false);
    append (root, std::move (settings));
    append (root, makeNode ("Plugins"));

    juce::uint32 uIdCounter = firstSnapshotUId;

    auto chains = makeNode ("Chains");
    for (int i = 0; i < session.strips.size(); ++i)
    {
        const auto& strip = session.strips.getReference (i);
        auto chain = makeNode ("Chain");
        set (chain, "ChainViewOrder", i);
        auto chainSettings = makeChainSettingsSkeleton (strip, chainRuntimeId (strip.index), false, error);
        if (! isValidTree (chainSettings))
            return {};
        auto* order = findChild (chainSettings, "ProcessorOrder");
        auto chainPlugins = makeNode ("ChainPlugins");
        for (int slot = 0; slot < strip.plugins.size(); ++slot)
            if (strip.plugins.getReference (slot).occupied
                && ! appendInternalProfilePlugin (order, chainPlugins, strip, slot, false, index, catalog, uIdCounter, error))
                return {};
        append (chain, std::move (chainSettings));
        append (chain, std::move (chainPlugins));
        append (chain, makeNode ("ChainSnapshotList"));
        append (chains, std::move (chain));
    }
    append (root, std::move (chains));

    auto windowManager = makeNode ("WindowManager");
    set (windowManager, "navigatorOpenness", emptyText());
    append (windowManager, makeStoredViewSet ("ViewSet"));
    append (root, std::move (windowManager));

    auto tempo = makeNode ("TempoAndSync");
    set (tempo, "Tempo", 120.0);
    set (tempo, "Playing", false);
    set (tempo, "TimeSigNum", 4);
    set (tempo, "TimeSigDenum", 4);
    set (tempo, "MidiClockActive", false);
    append (root, std::move (tempo));

    auto snapshots = makeNode ("GlobalSnapshots");
    set (snapshots, "ActiveSnapshot", int64Value (cleanSnapshotId));
    auto clean = makeGlobalSnapshot (cleanSnapshotId, "VORN_CLEAN_SNAPSHOT", 1, session);
    if (! appendInternalProfileSnapshotTopology (clean, session, index, catalog, uIdCounter, error))
        return {};
    append (clean, makeProfileSnapshotFilter (true));
    append (snapshots, std::move (clean));
    append (snapshots, makeProfileSnapshotFilter (true));
    append (snapshots, makeNode ("GlobalSnapshotTriggers"));
    append (root, std::move (snapshots));

    auto current = makeGlobalSnapshot (currentSnapshotId, {}, 3, session);
    if (! appendInternalProfileSnapshotTopology (current, session, index, catalog, uIdCounter, error))
        return {};
    append (current, makeProfileSnapshotFilter (false));
    append (root, std::move (current));

    appendHostScaffolding (root, session);
    return root;
}

//==============================================================================
// Patch inventories and runtime-id references

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

bool isIntegerValue (const juce::var& value) { return value.isInt() || value.isInt64(); }

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

// The property read as int64; false when the node lacks it or it is no number.
bool readProperty (const TreeNode& node, std::string_view name, juce::int64& out)
{
    const auto* value = findProperty (node, name);
    return value != nullptr && readAsInt64 (*value, out);
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

TreeNode makeAudioPatchEntry (juce::int64 nodeId, int channel)
{
    auto entry = makeNode ("outputs");
    set (entry, "nodeId", int64Value (nodeId));
    set (entry, "channelId", channel);
    return entry;
}

bool replaceIfReference (TreeNode& node, std::string_view name, juce::int64 oldId, juce::int64 newId)
{
    auto* value = findProperty (node, name);
    if (value == nullptr || ! isIntegerValue (*value) || (juce::int64) *value != oldId)
        return false;
    *value = int64Value (newId);
    return true;
}

} // namespace

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

bool isJuceHexId (juce::StringRef text)
{
    juce::uint32 value = 0;
    int length = 0;
    for (auto p = text.text; ! p.isEmpty();)
    {
        const auto c = p.getAndAdvance();
        if (++length > 8)
            return false;
        int digit = -1;
        if (c >= '0' && c <= '9') digit = (int) (c - '0');
        else if (c >= 'a' && c <= 'f') digit = (int) (c - 'a') + 10;
        else if (c >= 'A' && c <= 'F') digit = (int) (c - 'A') + 10;
        if (digit < 0)
            return false;
        value = (value << 4) | (juce::uint32) digit;
    }
    return length > 0 && value != 0;
}

bool treeContainsNumericValue (const TreeNode& tree, juce::int64 value)
{
    for (const auto& property : tree.properties)
        if (isIntegerValue (property.value) && (juce::int64) property.value == value)
            return true;
    for (const auto& child : tree.children)
        if (treeContainsNumericValue (child, value))
            return true;
    return false;
}

void replaceRuntimeIdReferences (TreeNode& tree, juce::int64 oldId, juce::int64 newId,
                                 RuntimeIdReplacementCounts& counts)
{
    if (tree.type == "plug")
    {
        counts.plug += replaceIfReference (tree, "id", oldId, newId) ? 1 : 0;
    }
    else if (tree.type == "Plugin")
    {
        counts.plugin += replaceIfReference (tree, "pluginUid", oldId, newId) ? 1 : 0;
        counts.plugin += replaceIfReference (tree, "PluginId", oldId, newId) ? 1 : 0;
    }
    else if (tree.type == "ProcessorSettingsContainer")
    {
        counts.processorSettings += replaceIfReference (tree, "id", oldId, newId) ? 1 : 0;
    }
    else if (tree.type == "PluginSnapshot")
    {
        counts.snapshot += replaceIfReference (tree, "SnapshotIdTag", oldId, newId) ? 1 : 0;
    }
    else if (tree.type == "storedViewSetItem")
    {
        replaceIfReference (tree, "storedViewSetItemPluginId", oldId, newId);
    }
    for (auto& child : tree.children)
        replaceRuntimeIdReferences (child, oldId, newId, counts);
}

} // namespace vornconv::rapp::liveProfessorWriter

//==============================================================================
// Topology binding, repeated state placement and stable runtime ids

namespace vornconv::rapp::liveProfessorWriter
{

namespace
{

// A channel count beyond any chain LiveProfessor offers; a larger one (from a hostile template
// or source) would only make the patch steps loop for nothing.
constexpr int maxStripChannels = 128;

// Ids are integers in a project; a text or a double that happens to read as the same number is
// not the same reference.
bool readId (const juce::var& value, juce::int64& out)
{
    if (! isIntegerValue (value))
        return false;
    out = (juce::int64) value;
    return true;
}

bool idProperty (const TreeNode& node, std::string_view name, juce::int64& out)
{
    const auto* value = findProperty (node, name);
    return value != nullptr && readId (*value, out);
}

// The first strip of each index, looked up in log time.
using StripsByIndex = std::map<int, const RackStrip*>;

StripsByIndex stripsByIndex (const RackSession& session)
{
    StripsByIndex strips;
    for (const auto& strip : session.strips)
        strips.emplace (strip.index, &strip);
    return strips;
}

const RackStrip* stripWithIndex (const StripsByIndex& strips, int stripIndex)
{
    const auto found = strips.find (stripIndex);
    return found == strips.end() ? nullptr : found->second;
}

const PluginRef* occupiedSlot (const RackStrip* strip, int slot)
{
    if (strip == nullptr || slot < 0 || slot >= strip->plugins.size())
        return nullptr;
    const auto& ref = strip->plugins.getReference (slot);
    return ref.occupied ? &ref : nullptr;
}

int countOccupied (const RackStrip& strip)
{
    int count = 0;
    for (const auto& slot : strip.plugins)
        count += slot.occupied ? 1 : 0;
    return count;
}

bool fails (juce::String& error, const juce::String& message)
{
    error = message;
    return false;
}

// A template's text property that holds another kind, refused by its node and name.
juce::String templateKindFault (const TreeNode& node, std::string_view name, const juce::String& stripIndex)
{
    return "LiveProfessor template " + propertyKindFault (node, name, PropertyKind::text) + " at strip " + stripIndex;
}

// Nodes taken out of the tree while other nodes of it are still being worked on. Moving a child
// list here keeps every node in it where it is, so a node found before (and perhaps inside what
// was taken out) can still be visited, to no effect on the tree, as JUCE visits a removed node.
using Graveyard = std::vector<std::vector<TreeNode>>;

void removeAllChildren (TreeNode* node, Graveyard* graveyard = nullptr)
{
    if (node == nullptr)
        return;
    if (graveyard != nullptr && ! node->children.empty())
        graveyard->push_back (std::move (node->children));
    node->children.clear();
}

// The catalog entry for a slot written into a synthesised chain: a VST3 entry must still be
// installed where LiveProfessor's list says it is.
const LiveProfessorPluginEntry* installedEntry (const PluginRef& slot, const Vst3ModuleIndex& index,
                                                const LiveProfessorPluginCatalog& catalog)
{
    const auto* entry = catalog.findUnique (slot, index);
    if (entry == nullptr || (entry->format == "VST3" && ! entry->bundle.isDirectory() && ! entry->bundle.existsAsFile()))
        return nullptr;
    return entry;
}

juce::String unavailableIdentity (int stripIndex, int slot)
{
    return "LiveProfessor generated plugin identity is unavailable at strip " + String (stripIndex) + ", slot " + String (slot);
}

float linearGain (float db) { return std::pow (10.0f, db / 20.0f); }

juce::String hexSuffix (const juce::String& type) { return type.fromLastOccurrenceOf ("-", false, false); }

void copyBytes (juce::MemoryBlock& target, const juce::MemoryBlock& source)
{
    // Copy-assigning an empty block hands a null pointer to memcpy.
    if (source.isEmpty())
        target.reset();
    else
        target = source;
}

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

// A prototype plug-in is copied once per slot, and each copy then gets its own state bytes and
// parameter list in place of the prototype's; dropping the prototype's own beforehand keeps the
// copies small. Only what the configuration replaces anyway is dropped, and only when the
// configuration gets that far (one container, one snapshot, at most one bus layout).
void dropReplacedPrototypeState (TreeNode& prototype)
{
    std::vector<TreeNode*> containers, snapshots, layouts;
    collectNodes (prototype, "ProcessorSettingsContainer", containers);
    collectNodes (prototype, "PluginSnapshot", snapshots);
    collectNodes (prototype, "bussesLayout", layouts);
    if (containers.size() != 1 || snapshots.size() != 1 || layouts.size() > 1)
        return;
    auto& snapshot = *snapshots.front();
    if (auto* chunk = findProperty (snapshot, "chunkData"))
        *chunk = var (juce::MemoryBlock());
    if (auto* parameters = findChild (snapshot, "parameters"))
        parameters->properties.clear();
}

} // namespace

void removeNodesOfType (TreeNode& tree, std::string_view type)
{
    for (auto& child : tree.children)
        if (child.type != type)
            removeNodesOfType (child, type);
    tree.children.erase (std::remove_if (tree.children.begin(), tree.children.end(),
                                         [type] (const TreeNode& child) { return child.type == type; }),
                         tree.children.end());
}

bool synthesiseTopologyFromSinglePrototype (TreeNode& root, const RackSession& session,
                                            const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                                            juce::String& error)
{
    auto* chains = findChild (root, "Chains");
    if (chains == nullptr || chains->children.empty())
        return fails (error, "LiveProfessor variable topology requires a native prototype chain");

    auto prototypeChain = chains->children.front();
    auto* prototypeSettings = findChild (prototypeChain, "ChainSettings");
    auto* prototypeOrder = prototypeSettings != nullptr ? findChild (*prototypeSettings, "ProcessorOrder") : nullptr;
    if (prototypeOrder == nullptr || prototypeOrder->children.empty())
        return fails (error, "LiveProfessor variable topology prototype must contain a plugin");
    const auto prototypePlug = prototypeOrder->children.front();
    auto* prototypePlugins = findChild (prototypeChain, "ChainPlugins");
    TreeNode prototypePlugin;
    if (prototypePlugins != nullptr && ! prototypePlugins->children.empty())
        prototypePlugin = prototypePlugins->children.front();
    dropReplacedPrototypeState (prototypePlugin);
    // Every copy of the chain empties these lists; the prototype's own chain snapshots carry its
    // old ids and states, and repeated into every chain they would recall the prototype, not the
    // session.
    removeAllChildren (prototypeOrder);
    removeAllChildren (prototypePlugins);
    removeAllChildren (findChild (prototypeChain, "ChainSnapshotList"));

    removeAllChildren (chains);
    chains->children.reserve ((size_t) session.strips.size());
    juce::uint32 uIdCounter = firstSnapshotUId;

    for (int i = 0; i < session.strips.size(); ++i)
    {
        const auto& strip = session.strips.getReference (i);
        const auto chainId = chainRuntimeId (strip.index);
        auto chain = prototypeChain;
        set (chain, "ChainViewOrder", i);
        auto* settings = findChild (chain, "ChainSettings");
        if (! configureChainProperties (settings, strip, chainId, false, error))
            return false;
        auto* order = findChild (*settings, "ProcessorOrder");
        auto* chainPlugins = findChild (chain, "ChainPlugins");

        for (int s = 0; s < strip.plugins.size(); ++s)
        {
            const auto& slot = strip.plugins.getReference (s);
            if (! slot.occupied)
                continue;
            const auto* entry = installedEntry (slot, index, catalog);
            if (entry == nullptr)
                return fails (error, unavailableIdentity (strip.index, s));
            const auto runtimeId = internalPluginRuntimeId (strip.index, s);
            auto plug = prototypePlug;
            set (plug, "id", int64Value (runtimeId));
            set (plug, "type", entry->identifier);
            auto plugin = prototypePlugin;
            if (! configurePluginPrototype (plugin, slot, *entry, runtimeId, uIdCounter, error))
                return false;
            appendIfPresent (order, std::move (plug));
            appendIfPresent (chainPlugins, std::move (plugin));
        }
        append (*chains, std::move (chain));
    }

    // A snapshot nested inside what another snapshot's rebuild drops stays alive in the graveyard,
    // so that every snapshot found is visited in order, as JUCE does.
    std::vector<TreeNode*> snapshots;
    collectNodes (root, "GlobalSnapshot", snapshots);
    if (snapshots.empty())
        return fails (error, "LiveProfessor variable topology template has no global snapshots");

    Graveyard graveyard;
    for (auto* snapshot : snapshots)
    {
        auto* snapshotChains = findChild (*snapshot, "Chains");
        auto* snapshotPlugins = findChild (*snapshot, "Plugins");
        if (snapshotChains == nullptr || snapshotChains->children.empty() || snapshotPlugins == nullptr
            || snapshotPlugins->children.empty())
            return fails (error, "LiveProfessor variable topology snapshot has no prototype");
        auto chainPrototype = snapshotChains->children.front();
        auto pluginPrototype = snapshotPlugins->children.front();
        auto* prototypeChainOrder = findChild (chainPrototype, "ProcessorOrder");
        TreeNode plugPrototype;
        if (prototypeChainOrder != nullptr && ! prototypeChainOrder->children.empty())
            plugPrototype = prototypeChainOrder->children.front();
        // Without a plug to copy, the snapshot's chains would recall empty chains in the host
        // while the live chains hold plug-ins.
        if (prototypeChainOrder == nullptr || (! isValidTree (plugPrototype) && session.countPlugins() > 0))
            return fails (error, "LiveProfessor variable topology snapshot has no prototype");
        removeAllChildren (prototypeChainOrder);
        dropReplacedPrototypeState (pluginPrototype);

        removeAllChildren (snapshotChains, &graveyard);
        removeAllChildren (snapshotPlugins, &graveyard);
        for (const auto& strip : session.strips)
        {
            auto chain = chainPrototype;
            if (! configureChainProperties (&chain, strip, chainRuntimeId (strip.index), true, error))
                return false;
            auto* order = findChild (chain, "ProcessorOrder");
            removeAllChildren (order);
            for (int s = 0; s < strip.plugins.size(); ++s)
            {
                const auto& slot = strip.plugins.getReference (s);
                if (! slot.occupied)
                    continue;
                const auto* entry = installedEntry (slot, index, catalog);
                if (entry == nullptr)
                    return fails (error, "LiveProfessor snapshot plugin identity is unavailable");
                const auto runtimeId = internalPluginRuntimeId (strip.index, s);
                auto plug = plugPrototype;
                set (plug, "id", int64Value (runtimeId));
                set (plug, "type", entry->identifier);
                appendIfPresent (order, std::move (plug));
                auto plugin = pluginPrototype;
                if (! configurePluginPrototype (plugin, slot, *entry, runtimeId, uIdCounter, error))
                    return false;
                append (*snapshotPlugins, std::move (plugin));
            }
            append (*snapshotChains, std::move (chain));
        }
    }
    graveyard.clear();

    removeNodesOfType (root, "storedViewSetItem");
    removeNodesOfType (root, "WireViewNode");
    rebuildPatchInventories (root, session);
    return true;
}

bool bindMainTopology (const TreeNode& root, const RackSession& session, const DeploymentProfile& profile,
                       const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                       ChainIdMap& chainIds, juce::Array<PluginBinding>& bindings, juce::String& error)
{
    const auto* chains = findChild (root, "Chains");
    if (chains == nullptr || chains->children.size() != (size_t) session.strips.size()
        || session.strips.size() != profile.strips)
        return fails (error, "LiveProfessor template/profile/source chain count mismatch");

    std::set<juce::int64> usedChainIds, boundIds;
    for (int i = 0; i < session.strips.size(); ++i)
    {
        const auto& strip = session.strips.getReference (i);
        const auto& chain = chains->children[(size_t) i];
        const String at (strip.index);
        if (strip.index != i)
            return fails (error, "LiveProfessor topology writer requires contiguous strip indices");

        const auto* settings = findChild (chain, "ChainSettings");
        const auto* container = settings != nullptr ? findChild (*settings, "ProcessorSettingsContainer") : nullptr;
        const auto* order = settings != nullptr ? findChild (*settings, "ProcessorOrder") : nullptr;
        const auto* chainPlugins = findChild (chain, "ChainPlugins");
        if (chain.type != "Chain" || container == nullptr || ! hasProperty (*container, "id") || order == nullptr
            || chainPlugins == nullptr)
            return fails (error, "LiveProfessor template main chain structure is incomplete");

        juce::int64 inputs = 0, outputs = 0;
        if (! readProperty (*settings, "ChainInputCount", inputs) || inputs != strip.inputChannels
            || ! readProperty (*settings, "ChainOutputCount", outputs) || outputs != strip.outputChannels
            || strip.inputChannels < 0 || strip.inputChannels > maxStripChannels || strip.outputChannels < 0
            || strip.outputChannels > maxStripChannels)
            return fails (error, "LiveProfessor template/source channel layout mismatch at strip " + at);

        int source = -1;
        if (! sidechainSourceForStrip (strip, source, error))
            return false;
        juce::int64 sidechains = 0;
        if (! readProperty (*settings, "SideChainCount", sidechains) || sidechains != (source < 0 ? 0 : strip.inputChannels))
            return fails (error, "LiveProfessor template/source sidechain layout mismatch at strip " + at);

        juce::int64 chainId = 0;
        if (! idProperty (*container, "id", chainId) || chainId < 3 || ! usedChainIds.insert (chainId).second)
            return fails (error, "LiveProfessor template chain runtime id is invalid");
        chainIds[strip.index] = chainId;

        const int occupied = countOccupied (strip);
        if (occupied > profile.slots || (size_t) occupied != order->children.size())
            return fails (error, "LiveProfessor template/profile/source plugin topology mismatch at strip " + at);

        // The chain's plug-ins by pluginUid: how many carry each id, and the last of them.
        std::map<juce::int64, std::pair<int, const TreeNode*>> pluginsByUid;
        for (const auto& candidate : chainPlugins->children)
            if (juce::int64 uid = 0; idProperty (candidate, "pluginUid", uid))
            {
                auto& found = pluginsByUid[uid];
                ++found.first;
                found.second = &candidate;
            }

        size_t k = 0;
        for (int s = 0; s < strip.plugins.size(); ++s)
        {
            const auto& slot = strip.plugins.getReference (s);
            if (! slot.occupied)
                continue;
            const auto& plug = order->children[k++];
            juce::int64 id = 0;
            String type, pluginType, pluginName;
            if (readTextProperty (plug, "type", type) == PropertyRead::wrongKind)
                return fails (error, templateKindFault (plug, "type", at));
            const TreeNode* plugin = nullptr;
            int matches = 0;
            if (idProperty (plug, "id", id))
                if (const auto found = pluginsByUid.find (id); found != pluginsByUid.end())
                {
                    matches = found->second.first;
                    plugin = found->second.second;
                }
            if (plugin != nullptr)
                for (const auto& [name, out] : { std::pair ("pluginTypeId", &pluginType), std::pair ("pluginTypeName", &pluginName) })
                    if (readTextProperty (*plugin, name, *out) == PropertyRead::wrongKind)
                        return fails (error, templateKindFault (*plugin, name, at));
            if (plug.type != "plug" || id == 0 || type.isEmpty() || matches != 1 || pluginType != type)
                return fails (error, "LiveProfessor template ProcessorOrder is inconsistent");
            if (! boundIds.insert (id).second)
                return fails (error, "LiveProfessor template runtime id is duplicated");
            const auto hex = hexSuffix (type);
            if (! type.contains ("-") || ! isJuceHexId (hex))
                return fails (error, "LiveProfessor template pluginTypeId is malformed");

            const auto* entry = catalog.findUnique (slot, index);
            if (entry == nullptr || (juce::uint32) hex.getHexValue32() != entry->uniqueId || pluginName != entry->name)
                return fails (error, "LiveProfessor template/source plugin identity mismatch at strip " + at
                                         + ", slot " + String (s));
            // The plug-in must be one LiveProfessor's current list holds, installed, under the very
            // type id the project names: a template saved before the list changed (another bundle
            // of the same class) would otherwise name a type the host no longer knows.
            if (installedEntry (slot, index, catalog) == nullptr || type != entry->identifier)
                return fails (error, unavailableIdentity (strip.index, s));

            PluginBinding binding;
            binding.chainIndex = strip.index;
            binding.slotIndex = s;
            binding.runtimeId = id;
            binding.typeId = type;
            const bool isAudioUnit = slot.format == "AU";
            if (isAudioUnit)
                copyBytes (binding.stateBytes, slot.state.raw);
            else
                binding.stateBytes = vst3::buildJuceVst3State (slot.state.component, slot.state.controller);
            binding.hasParameters = ! isAudioUnit || slot.state.parameterMirrorComplete;
            if (binding.hasParameters)
            {
                parameterState::Snapshot mirror;
                String decodeError;
                if (! slot.state.parameterMirrorComplete
                    || ! parameterState::decode (slot.state.parameters, mirror, decodeError))
                {
                    error = "LiveProfessor output requires a complete valid VNPM parameter mirror";
                    if (decodeError.isNotEmpty())
                        error << ": " << decodeError;
                    return false;
                }
                binding.parameterValues = std::move (mirror.values);
            }
            bindings.add (std::move (binding));
        }
    }
    return true;
}

namespace
{

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

bool updateRepeatedState (TreeNode& root, const RackSession& session, const ChainIdMap& chainIds,
                          const juce::Array<PluginBinding>& bindings, juce::String& error)
{
    PatchContext context { session, chainIds, stripsByIndex (session), {} };
    for (const auto& [stripIndex, chainId] : chainIds)
        context.stripOfChain[chainId] = stripWithIndex (context.strips, stripIndex);
    std::map<juce::int64, const PluginBinding*> bindingOf;
    for (const auto& binding : bindings)
        bindingOf[binding.runtimeId] = &binding;
    std::map<juce::int64, int> chainCount, containerCount, snapshotCount;

    // The first two steps change properties only, so the nodes found stay where they are.
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

        TreeNode* parameters = nullptr;
        int parameterNodes = 0;
        for (auto& child : snapshot->children)
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
        ++snapshotCount[id];
    }

    for (const auto& [chainId, strip] : context.stripOfChain)
        if (strip != nullptr && chainCount[chainId] < 1)
            return fails (error, "LiveProfessor chain processor state was not found");
    for (const auto& binding : bindings)
        if (containerCount[binding.runtimeId] < 1 || snapshotCount[binding.runtimeId] < 1)
            return fails (error, "LiveProfessor plugin state was not found in template");

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

namespace
{

// Every int and int64 property value of a tree, counted, and every place a plug-in runtime id is
// referred to, so that all bindings are remapped with one walk of the tree. The counts follow the
// replacements as they are made.
struct RuntimeIdIndex
{
    enum Counter { plugCounter, pluginCounter, processorCounter, snapshotCounter, noCounter, notAReference };

    struct Reference
    {
        juce::int64 value;
        TreeNode* node;
        size_t property;
        Counter counter;
    };

    std::vector<juce::int64> values;            // sorted
    std::map<juce::int64, juce::int64> changes; // added (or, negative, removed) since the walk
    std::vector<Reference> references;          // sorted by value

    Counter counterFor (const std::string& type, const std::string& name) const
    {
        if (type == "plug" && name == "id") return plugCounter;
        if (type == "Plugin" && (name == "pluginUid" || name == "PluginId")) return pluginCounter;
        if (type == "ProcessorSettingsContainer" && name == "id") return processorCounter;
        if (type == "PluginSnapshot" && name == "SnapshotIdTag") return snapshotCounter;
        if (type == "storedViewSetItem" && name == "storedViewSetItemPluginId") return noCounter;
        return notAReference;
    }

    void walk (TreeNode& node)
    {
        for (size_t i = 0; i < node.properties.size(); ++i)
        {
            const auto& value = node.properties[i].value;
            if (! isIntegerValue (value))
                continue;
            values.push_back ((juce::int64) value);
            const auto counter = counterFor (node.type, node.properties[i].name);
            if (counter != notAReference)
                references.push_back ({ (juce::int64) value, &node, i, counter });
        }
        for (auto& child : node.children)
            walk (child);
    }

    explicit RuntimeIdIndex (TreeNode& root)
    {
        walk (root);
        std::sort (values.begin(), values.end());
        std::sort (references.begin(), references.end(),
                   [] (const Reference& a, const Reference& b) { return a.value < b.value; });
    }

    juce::int64 count (juce::int64 value) const
    {
        const auto range = std::equal_range (values.begin(), values.end(), value);
        const auto changed = changes.find (value);
        return (juce::int64) (range.second - range.first) + (changed != changes.end() ? changed->second : 0);
    }

    // replaceRuntimeIdReferences over the whole tree, without walking it.
    void replace (juce::int64 oldId, juce::int64 newId, RuntimeIdReplacementCounts& counts)
    {
        const auto first = std::lower_bound (references.begin(), references.end(), oldId,
                                             [] (const Reference& r, juce::int64 v) { return r.value < v; });
        juce::int64 replaced = 0;
        for (auto it = first; it != references.end() && it->value == oldId; ++it)
        {
            auto& value = it->node->properties[it->property].value;
            if (! isIntegerValue (value) || (juce::int64) value != oldId)
                continue;
            value = int64Value (newId);
            ++replaced;
            switch (it->counter)
            {
                case plugCounter: ++counts.plug; break;
                case pluginCounter: ++counts.plugin; break;
                case processorCounter: ++counts.processorSettings; break;
                case snapshotCounter: ++counts.snapshot; break;
                case noCounter:
                case notAReference: break;
            }
        }
        changes[oldId] -= replaced;
        changes[newId] += replaced;
    }
};

// The runtime id a ControllableId names ("Processor" and the id in decimal), or -1.
juce::int64 controlledProcessor (const juce::var& value)
{
    if (! value.isString())
        return -1;
    const auto text = value.toString();
    const std::string_view bytes (text.toRawUTF8(), text.getNumBytesAsUTF8());
    constexpr std::string_view prefix ("Processor");
    if (bytes.size() <= prefix.size() || bytes.size() > prefix.size() + 18 || bytes.compare (0, prefix.size(), prefix) != 0)
        return -1;
    juce::int64 id = 0;
    for (const char c : bytes.substr (prefix.size()))
    {
        if (c < '0' || c > '9')
            return -1;
        id = id * 10 + (c - '0');
    }
    return id;
}

// Points every ControllableId that names a renamed processor at its new id.
void renameControllerAssignments (TreeNode& tree, const std::map<juce::int64, juce::int64>& renamed)
{
    for (auto& property : tree.properties)
        if (property.name == "ControllableId")
        {
            const auto found = renamed.find (controlledProcessor (property.value));
            if (found != renamed.end())
                property.value = "Processor" + juce::String (found->second);
        }
    for (auto& child : tree.children)
        renameControllerAssignments (child, renamed);
}

void collectProcessorIds (const TreeNode& tree, std::set<juce::int64>& ids)
{
    juce::int64 id = 0;
    if (tree.type == "ProcessorSettingsContainer" && idProperty (tree, "id", id))
        ids.insert (id);
    for (const auto& child : tree.children)
        collectProcessorIds (child, ids);
}

} // namespace

bool remapPluginRuntimeIds (TreeNode& root, const RackSession& session, juce::Array<PluginBinding>& bindings,
                            juce::String& error)
{
    const auto strips = stripsByIndex (session);
    std::unique_ptr<RuntimeIdIndex> ids;
    std::map<juce::int64, juce::int64> renamed;
    for (auto& binding : bindings)
    {
        const auto* slot = occupiedSlot (stripWithIndex (strips, binding.chainIndex), binding.slotIndex);
        if (slot == nullptr || binding.chainIndex < 0 || binding.chainIndex > 63 || binding.slotIndex > 7
            || slot->sidechainSource < -1 || slot->sidechainSource > 63)
            return fails (error, "LiveProfessor stable runtime id cannot represent source location");

        const auto stable = makeStableRuntimeId (binding.chainIndex, binding.slotIndex, slot->sidechainSource);
        if (binding.runtimeId == stable)
            continue;
        if (ids == nullptr)
            ids = std::make_unique<RuntimeIdIndex> (root);
        if (ids->count (stable) > 0)
            return fails (error, "LiveProfessor stable runtime id collides with template state");

        RuntimeIdReplacementCounts counts;
        ids->replace (binding.runtimeId, stable, counts);
        if (counts.plug < 1 || counts.plugin < 1 || counts.processorSettings < 1 || counts.snapshot < 1
            || ids->count (binding.runtimeId) > 0)
            return fails (error, "LiveProfessor plugin runtime id has an unmodelled native reference");
        renamed[binding.runtimeId] = stable;
        binding.runtimeId = stable;
    }
    // A controller assignment names its processor in text; the plug-in it controls is still there
    // under its new id, so the assignment follows it.
    if (! renamed.empty())
        renameControllerAssignments (root, renamed);
    return true;
}

namespace
{

// The ids of every ProcessorSettingsContainer of the tree.
std::set<juce::int64> processorIds (const TreeNode& root)
{
    std::set<juce::int64> ids;
    collectProcessorIds (root, ids);
    return ids;
}

// Removes every node whose ControllableId names a processor ("Processor" and its runtime id)
// among the gone ones, with its subtree, and returns how many were removed. Assignments that name
// anything else are kept.
int removeDanglingControllerAssignments (TreeNode& root, const std::set<juce::int64>& goneProcessors)
{
    int removed = 0;
    const auto dangling = [&goneProcessors] (const TreeNode& node) {
        const auto* controllable = findProperty (node, "ControllableId");
        if (controllable == nullptr)
            return false;
        const auto id = controlledProcessor (*controllable);
        return id >= 0 && goneProcessors.count (id) != 0;
    };
    for (auto& child : root.children)
        if (! dangling (child))
            removed += removeDanglingControllerAssignments (child, goneProcessors);
    const auto kept = std::remove_if (root.children.begin(), root.children.end(), dangling);
    removed += (int) std::distance (kept, root.children.end());
    root.children.erase (kept, root.children.end());
    return removed;
}

} // namespace

} // namespace vornconv::rapp::liveProfessorWriter

//==============================================================================
namespace vornconv::rapp
{

namespace
{

using namespace liveProfessorWriter;

const char* const preflightRefusal = "RAPP preflight blocked LiveProfessor output";
const char* const noteRemovedAssignments = u8" LiveProfessor controller assignment는 출력에 없는 processor를 가리켜 제거했다";

TreeNode* child (TreeNode* tree, const char* type) { return tree != nullptr ? findChild (*tree, type) : nullptr; }

// The template is read once: the same tree is checked by the project reader and becomes the
// starting tree, so the file cannot change between the check and its use.
bool readTemplate (const juce::File& templateFile, TreeNode& tree, juce::String& error)
{
    if (! templateFile.existsAsFile())
    {
        error = "LiveProfessor template file does not exist";
        return false;
    }
    TreeNode root;
    const auto checked = readLiveProfessorRack2 (templateFile, root);
    if (! checked.isComplete())
    {
        error = "LiveProfessor template reader is not complete" + incompleteReadReason (checked);
        return false;
    }
    if (! isValidTree (root) || root.type != "LiveProfessorProjectFile")
    {
        error = "LiveProfessor template ValueTree parse failed";
        return false;
    }
    tree = std::move (root);
    return true;
}

// The project as it is to be written.
struct PreparedProject
{
    TreeNode root;
    int removedAssignments = 0;   // controller assignments whose processor is gone
    bool templateRefused = false; // the template file was refused as such
};

// Everything the writer does before it needs the output: the starting tree from the template or
// the built-in profile, the device settings, the topology, its binding to the session, the
// states and routing in every repeated place, the stable runtime ids, the controller assignments
// that still resolve, the clean snapshot and the converter metadata.
bool prepareProject (const RackReadResult& source, const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                     const juce::File& templateFile, const DeploymentProfile& profile, PreparedProject& project,
                     juce::String& error)
{
    const auto& session = source.session;
    const bool withTemplate = templateFile != juce::File();
    auto& root = project.root;
    if (withTemplate)
    {
        if (! readTemplate (templateFile, root, error))
        {
            project.templateRefused = true;
            return false;
        }
    }
    else
    {
        root = buildInternalProfile2026_1 (session, index, catalog, profile, error);
        if (! isValidTree (root))
            return false;
    }

    auto* device = child (child (&root, "AudioMidiHardware"), "IOdeviceProperties");
    auto* settings = child (&root, "projectSettings");
    if (device == nullptr || settings == nullptr)
    {
        error = "LiveProfessor profile lacks audio device/project settings";
        return false;
    }
    if (session.inputDevice.isNotEmpty())
        setProperty (*device, "inputDeviceName", session.inputDevice);
    if (session.outputDevice.isNotEmpty())
        setProperty (*device, "outputDeviceName", session.outputDevice);
    if (session.bufferSize > 0)
        setProperty (*settings, "BufferSize", (int) session.bufferSize);

    removeNodesOfType (root, "VORNConverterMetadata");
    const auto processorsBefore = processorIds (root);

    const auto* chains = child (&root, "Chains");
    if (chains == nullptr || chains->children.size() != (size_t) session.strips.size())
        if (! synthesiseTopologyFromSinglePrototype (root, session, index, catalog, error))
            return false;

    ChainIdMap chainIds;
    juce::Array<PluginBinding> bindings;
    if (! bindMainTopology (root, session, profile, index, catalog, chainIds, bindings, error)
        || ! updateRepeatedState (root, session, chainIds, bindings, error)
        || ! remapPluginRuntimeIds (root, session, bindings, error))
        return false;

    // Rebuilt chains and remapped plug-ins leave the processors they replaced behind; a
    // controller assignment naming one of them would name nothing in the host.
    const auto processorsAfter = processorIds (root);
    std::set<juce::int64> gone;
    std::set_difference (processorsBefore.begin(), processorsBefore.end(), processorsAfter.begin(), processorsAfter.end(),
                         std::inserter (gone, gone.end()));
    project.removedAssignments = removeDanglingControllerAssignments (root, gone);

    return markConverterCleanSnapshot (root, error)
        && appendConverterMetadata (root, bindings, profile,
                                    withTemplate ? juce::StringRef() : juce::StringRef (internalProfileName), error);
}

// The written project, read back, must be complete and hold the session exactly, its plug-ins
// identified as LiveProfessor identifies them; it stores no sample rate, so the device decides
// that (and the notes say so).
ReadBackProof liveProfessorProof (const RackReadResult& source, const Vst3ModuleIndex& index,
                                  const LiveProfessorPluginCatalog& catalog)
{
    ReadBackProof proof;
    proof.accept = [] (const RackReadResult& reread)
    {
        if (reread.isComplete())
            return juce::String();
        return "written LiveProfessor project failed converter reread validation" + incompleteReadReason (reread);
    };
    proof.expected = [&source, &index, &catalog] (RackSession& expected, juce::String& error)
    {
        expected = source.session;
        expected.sampleRate = 0.0;
        for (auto& strip : expected.strips)
            for (auto& slot : strip.plugins)
            {
                if (! slot.occupied)
                    continue;
                const auto* entry = catalog.findUnique (slot, index);
                if (entry == nullptr)
                {
                    error = "internal LiveProfessor canonical identity mapping failed";
                    return false;
                }
                slot.uniqueId = entry->uniqueId;
                slot.classId = {};
                slot.deprecatedUid = 0;
                slot.file = juce::File();
            }
        return true;
    };
    proof.refusal = [] (const RackSession&, const RackSession&, const RackSemanticComparison& comparison)
    {
        return "written LiveProfessor project failed exact semantic validation: " + comparison.summary();
    };
    return proof;
}

// The write's steps once the preflight allows: the project prepared when the output is claimed
// (or, for a check, at once), streamed as a value tree, released, read back with the project
// reader and proven.
VerifiedOutput projectSteps (const RackReadResult& source, const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                             const juce::File& templateFile, const DeploymentProfile& profile, PreparedProject& project,
                             WriteResult& result)
{
    VerifiedOutput steps;
    steps.prepare = [&source, &index, &catalog, &templateFile, &profile, &project, &result] (juce::String& error)
    {
        if (prepareProject (source, index, catalog, templateFile, profile, project, error))
            return true;
        if (project.templateRefused)
            result.refusedPath = RefusedPath::templateFile;
        return false;
    };
    steps.writeDocument = [&project] (juce::OutputStream& out) { return writeValueTree (project.root, out); };
    steps.documentWritten = [&project] { project.root = {}; };
    readBackWith (steps, hostDescriptor (targetLiveProfessor));
    steps.ledger.carried = &source.session;
    steps.proof = liveProfessorProof (source, index, catalog);
    steps.writeFailed = "temporary LiveProfessor project write failed";
    steps.commitFailed = "atomic LiveProfessor project move failed: ";
    return steps;
}

// The LiveProfessor writer in the shell every writer's check and write runs in.
PlannedWrite projectWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                           const juce::File& templateFile, const DeploymentProfile& profile, PreparedProject& project)
{
    PlannedWrite write;
    write.target = targetLiveProfessor;
    write.blocked = preflightRefusal;
    write.steps = [&source, &index, &catalog, &templateFile, &profile, &project] (WriteResult& result)
    {
        return projectSteps (source, index, catalog, templateFile, profile, project, result);
    };
    write.committed = [&source, &templateFile, &project] (WriteResult& result)
    {
        const auto& session = source.session;
        result.notes.add (templateFile != juce::File()
                              ? juce::String ("converter exact reread passed; LiveProfessor host load/DSP validation pending")
                              : juce::String ("internal liveprofessor-2026.1-native-v1 exact reread passed; LiveProfessor host load/save/DSP validation pending"));
        if (project.removedAssignments > 0)
            result.notes.add (juce::String (project.removedAssignments) + juce::String::fromUTF8 (noteRemovedAssignments));
        if (session.sampleRate > 0.0)
        {
            result.notes.add (juce::String::fromUTF8 (u8"LiveProfessor project에는 검증된 sample-rate 필드가 없어 audio device 설정이 결정한다"));
            result.notedFields.add (ledgerField::sampleRate);
        }
        if (session.bufferSize < 1)
        {
            result.notes.add (juce::String::fromUTF8 (u8"source buffer size가 없어 LiveProfessor profile의 BufferSize를 유지했다"));
            result.notedFields.add (ledgerField::bufferSize);
        }
    };
    return write;
}

} // namespace

WriteResult checkLiveProfessorRack2Write (const RackReadResult& source, const Vst3ModuleIndex& index,
                                          const LiveProfessorPluginCatalog& catalog, const ConversionPlan& plan,
                                          const juce::File& templateFile, const DeploymentProfile& profile)
{
    PreparedProject project;
    return checkPlannedWrite (plan, projectWrite (source, index, catalog, templateFile, profile, project));
}

WriteResult writeLiveProfessorRack2 (const RackReadResult& source, const Vst3ModuleIndex& index,
                                     const LiveProfessorPluginCatalog& catalog, const ConversionPlan& plan,
                                     const juce::File& templateFile, const DeploymentProfile& profile, const juce::File& output)
{
    PreparedProject project;
    return writePlannedOutput (plan, projectWrite (source, index, catalog, templateFile, profile, project), output);
}

} // namespace vornconv::rapp
