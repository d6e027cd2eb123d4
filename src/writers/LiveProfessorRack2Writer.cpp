#include "writers/LiveProfessorRack2Writer.h"
#include "writers/LiveProfessorRack2WriterInternal.h"

#include "model/AtomicFileCommit.h"
#include "model/ParameterSnapshot.h"
#include "model/RackSemanticCompare.h"
#include "model/Vst3State.h"
#include "readers/ValueTreeReader.h"

#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vornconv::rapp::liveProfessorWriter
{

const char* const internalProfileName = "liveprofessor-2026.1-native-v1";

namespace
{

using juce::int64;
using juce::String;
using juce::ValueTree;
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

ValueTree makeNode (const char* type) { return ValueTree (juce::Identifier (type)); }

void set (ValueTree& node, const juce::Identifier& name, const var& value) { node.setProperty (name, value, nullptr); }

// JUCE compares the old and the new block before it replaces a binary value, and comparing two
// empty blocks hands null pointers to memcmp; an empty block over an empty block is left alone.
void setBytes (ValueTree& node, const juce::Identifier& name, const juce::MemoryBlock& bytes)
{
    if (bytes.isEmpty())
        if (const auto* old = node.getPropertyPointer (name); old != nullptr && old->isBinaryData()
                                                              && old->getBinaryData()->isEmpty())
            return;
    set (node, name, var (bytes));
}

void append (ValueTree& parent, const ValueTree& child) { parent.appendChild (child, nullptr); }

ValueTree makeEmptyChild (ValueTree& parent, const char* type)
{
    auto child = makeNode (type);
    append (parent, child);
    return child;
}

String busConfig (int channels) { return channels == 1 ? String ("C") : String ("L R"); }

//==============================================================================
ValueTree makeProcessorContainer (juce::StringRef name, int64 id)
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
    append (container, state);

    auto midi = makeNode ("midi");
    set (midi, "midiMute", false);
    set (midi, "midiThru", false);
    makeEmptyChild (midi, "midiChannels");
    auto modifiers = makeEmptyChild (midi, "modifiers");
    set (modifiers, "modifiersEnabled", false);
    set (modifiers, "transpose", 0);
    set (modifiers, "channelChange", 0);
    auto keyzone = makeEmptyChild (midi, "keyzone");
    set (keyzone, "keyZoneEnabled", false);
    set (keyzone, "upperNote", 127);
    set (keyzone, "lowerNote", 0);
    auto filter = makeEmptyChild (midi, "filter");
    set (filter, "filterEnabled", false);
    append (container, midi);
    return container;
}

ValueTree makeStoredViewSet (const char* type)
{
    auto viewSet = makeNode (type);
    set (viewSet, "storedViewSetName", String ("VORN Converter"));
    set (viewSet, "storedViewSetId", int64Value (viewSetId));
    makeEmptyChild (viewSet, "storedViewSetItems");
    return viewSet;
}

ValueTree makeProfileWorkspace (int viewMode)
{
    auto workspace = makeNode ("Workspace");
    set (workspace, "WorkspaceId", int64Value (workspaceId));
    set (workspace, "WorkspaceName", emptyText());
    set (workspace, "storedViewSetId", int64Value (viewSetId));
    set (workspace, "ViewMode", viewMode);
    makeEmptyChild (workspace, "DockablePanelLayout");
    auto cueListWindows = makeEmptyChild (workspace, "CueListWindows");
    set (cueListWindows, "SelectedLiveListId", 0);
    append (workspace, makeStoredViewSet ("storedViewSet"));
    return workspace;
}

ValueTree makeMidiPatchEntry (int64 nodeId)
{
    auto entry = makeNode ("outputs");
    set (entry, "nodeId", int64Value (nodeId));
    set (entry, "channelId", midiPatchChannel);
    return entry;
}

ValueTree makeProfileMidiPatch (const RackSession& session)
{
    auto patch = makeNode ("MidiPatch");
    for (auto id : fixedHostNodeIds)
        append (patch, makeMidiPatchEntry (id));
    for (const auto& strip : session.strips)
        append (patch, makeMidiPatchEntry (chainRuntimeId (strip.index)));
    return patch;
}

ValueTree makeProfileSnapshotFilter (bool allFlags)
{
    auto filterNode = makeNode ("GlobalSnapshotFilter");
    set (filterNode, "name", emptyText());
    auto snapshotFilter = makeEmptyChild (filterNode, "SnapshotFilter");
    auto global = makeEmptyChild (snapshotFilter, "GlobalFilter");
    if (allFlags)
        for (auto flag : { "workspace", "audioPatch", "midiPatch", "chainOrder" })
            set (global, flag, true);
    makeEmptyChild (snapshotFilter, "PluginFilter");
    return filterNode;
}

ValueTree makeChainSettingsSkeleton (const RackStrip& strip, int64 chainId, bool snapshotForm, String& error)
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
    makeEmptyChild (node, "ProcessorOrder");
    if (! configureChainProperties (node, strip, chainId, snapshotForm, error))
        return {};
    return node;
}

bool appendInternalProfilePlugin (ValueTree processorOrder, ValueTree pluginList, const RackStrip& strip, int slot,
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
    if (processorOrder.isValid())
    {
        auto plug = makeNode ("plug");
        set (plug, "id", int64Value (runtimeId));
        set (plug, "type", entry->identifier);
        append (processorOrder, plug);
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
    auto snapshot = makeEmptyChild (payload, "PluginSnapshot");
    set (snapshot, "name", emptyText());
    set (snapshot, "uId", int64Value (0));
    set (snapshot, "updateTime", int64Value (0));
    set (snapshot, "pluginTypeId", emptyText());
    set (snapshot, "loadedPreset", false);
    set (snapshot, "SnapshotIdTag", int64Value (runtimeId));
    set (snapshot, "chunkData", var());
    makeEmptyChild (snapshot, "parameters");
    makeEmptyChild (payload, "PluginSnapshotList");
    append (plugin, payload);

    if (! snapshotForm)
    {
        auto layout = makeEmptyChild (plugin, "bussesLayout");
        makeEmptyChild (layout, "inputBusses");
        makeEmptyChild (layout, "outputBusses");
    }

    if (! configurePluginPrototype (plugin, ref, *entry, runtimeId, uIdCounter, error))
        return false;
    append (pluginList, plugin);
    return true;
}

// Chains and Plugins of one global snapshot; nothing is added to the snapshot on failure.
bool appendInternalProfileSnapshotTopology (ValueTree snapshot, const RackSession& session,
                                            const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                                            juce::uint32& uIdCounter, String& error)
{
    auto chains = makeNode ("Chains");
    auto plugins = makeNode ("Plugins");
    for (const auto& strip : session.strips)
    {
        auto chain = makeChainSettingsSkeleton (strip, chainRuntimeId (strip.index), true, error);
        if (! chain.isValid())
            return false;
        auto order = chain.getChildWithName ("ProcessorOrder");
        for (int slot = 0; slot < strip.plugins.size(); ++slot)
            if (strip.plugins.getReference (slot).occupied
                && ! appendInternalProfilePlugin (order, plugins, strip, slot, true, index, catalog, uIdCounter, error))
                return false;
        append (chains, chain);
    }
    append (snapshot, chains);
    append (snapshot, plugins);
    return true;
}

ValueTree makeGlobalSnapshot (int64 id, const String& name, int viewMode, const RackSession& session)
{
    auto snapshot = makeNode ("GlobalSnapshot");
    set (snapshot, "GSid", int64Value (id));
    set (snapshot, "GSname", name);
    set (snapshot, "GSupdateTime", int64Value (0));
    set (snapshot, "ControllerMapId", int64Value (controllerMapId));
    append (snapshot, makeProfileWorkspace (viewMode));
    append (snapshot, makeProfileMidiPatch (session));
    makeEmptyChild (snapshot, "AudioPatch");
    return snapshot;
}

ValueTree makeIoChannel (const char* type, int index)
{
    auto channel = makeNode (type);
    set (channel, "Index", index);
    set (channel, "UserLabel", emptyText());
    return channel;
}

ValueTree makeAudioMidiHardware (const DeploymentProfile& profile)
{
    auto hardware = makeNode ("AudioMidiHardware");
    auto device = makeEmptyChild (hardware, "IOdeviceProperties");
    set (device, "audioDeviceType", emptyText());
    set (device, "inputDeviceName", emptyText());
    set (device, "outputDeviceName", emptyText());
    set (device, "RequiredInputs", profile.ioInputs);
    set (device, "RequiredOutputs", profile.ioOutputs);
    auto inputs = makeEmptyChild (hardware, "AudioInputs");
    for (int i = 0; i < profile.ioInputs; ++i)
        append (inputs, makeIoChannel ("InputChannel", i));
    auto outputs = makeEmptyChild (hardware, "AudioOutputs");
    for (int i = 0; i < profile.ioOutputs; ++i)
        append (outputs, makeIoChannel ("OutputChannel", i));
    auto midi = makeEmptyChild (hardware, "MidiDevices");
    makeEmptyChild (midi, "MidiInputDevices");
    makeEmptyChild (midi, "MidiOutputDevices");
    return hardware;
}

void appendHostScaffolding (ValueTree& root, const RackSession& session)
{
    auto cueLists = makeEmptyChild (root, "CueLists");
    set (cueLists, "MSCenabled", false);
    set (cueLists, "MSCid", 0);
    set (cueLists, "TCenabled", false);
    makeEmptyChild (cueLists, "OSCdestinations");

    auto osc = makeEmptyChild (root, "GlobalOscController");
    set (osc, "enabled", false);
    set (osc, "hostIp", emptyText());
    set (osc, "inputPort", 50055);
    set (osc, "outputPort", 50056);

    auto controllers = makeNode ("HardwareControllers");
    set (controllers, "ActiveMap", int64Value (controllerMapId));
    makeEmptyChild (controllers, "HardwareControllers");
    auto maps = makeEmptyChild (controllers, "HardwareCtrlMaps");
    auto map = makeEmptyChild (maps, "HardwareCtrlMap");
    set (map, "Name", String ("VORN Converter"));
    set (map, "mapId", int64Value (controllerMapId));
    makeEmptyChild (map, "Assignments");
    append (root, controllers);

    makeEmptyChild (root, "Workspaces");

    auto ui = makeNode ("uiComp");
    set (ui, "ID", String ("root-1527771136"));
    set (ui, "idInt", int64Value (uiRootId));
    set (ui, "name", String ("root"));
    set (ui, "contentType", String ("folder"));
    auto content = makeEmptyChild (ui, "content1527771137");
    set (content, "ID", int64Value (cleanSnapshotId));
    set (content, "contentType", String ("item"));
    append (root, ui);

    auto wireView = makeNode ("WireView");
    auto nodes = makeEmptyChild (wireView, "Nodes");
    juce::Array<int64> nodeIds;
    for (auto id : fixedHostNodeIds)
        nodeIds.add (id);
    for (const auto& strip : session.strips)
        nodeIds.add (chainRuntimeId (strip.index));
    for (int k = 0; k < nodeIds.size(); ++k)
    {
        auto node = makeEmptyChild (nodes, "WireViewNode");
        set (node, "NodeId", int64Value (nodeIds[k]));
        set (node, "XPos", (k % 4) * 215 + 5);
        set (node, "YPos", (k / 4) * 117 + 5);
    }
    append (root, wireView);
}

bool checkProfileLimits (const RackSession& session, const DeploymentProfile& profile, String& error)
{
    const int strips = session.strips.size();
    if (strips < 1 || strips > 64 || strips != profile.strips || profile.slots < 1 || profile.slots > 8
        || profile.ioInputs < 1 || profile.ioInputs > 128 || profile.ioOutputs < 1 || profile.ioOutputs > 128)
    {
        error = String ("LiveProfessor internal profile ") + internalProfileName
              + " supports 1..64 source-shaped chains, 1..8 slots, and explicit 1..128 channel I/O capacity";
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

void collectNodes (const juce::ValueTree& tree, const juce::Identifier& type, juce::Array<juce::ValueTree>& out)
{
    if (! tree.isValid())
        return;
    if (tree.hasType (type))
        out.add (tree);
    for (int i = 0; i < tree.getNumChildren(); ++i)
        collectNodes (tree.getChild (i), type, out);
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

bool configureChainProperties (juce::ValueTree chainNode, const RackStrip& strip, juce::int64 chainId,
                               bool setChainId, juce::String& error)
{
    const auto isMonoOrStereo = [] (int channels) { return channels == 1 || channels == 2; };
    if (! chainNode.isValid() || ! isMonoOrStereo (strip.inputChannels) || ! isMonoOrStereo (strip.outputChannels))
    {
        error = "LiveProfessor generated chain layout is outside mono/stereo scope";
        return false;
    }
    int source = -1;
    if (! sidechainSourceForStrip (strip, source, error))
        return false;

    if (setChainId)
        set (chainNode, "ChainId", int64Value (chainId));
    set (chainNode, "ChainInputCount", strip.inputChannels);
    set (chainNode, "ChainOutputCount", strip.outputChannels);
    set (chainNode, "ChainMainInputBusConfig", busConfig (strip.inputChannels));
    set (chainNode, "ChainMainOutputBusConfig", busConfig (strip.outputChannels));
    set (chainNode, "SideChainCount", source >= 0 ? strip.inputChannels : 0);

    auto container = chainNode.getChildWithName ("ProcessorSettingsContainer");
    if (! container.isValid())
    {
        error = "LiveProfessor generated chain has no processor settings";
        return false;
    }
    set (container, "id", int64Value (chainId));
    set (container, "name", strip.name);
    return true;
}

bool rebuildBusList (juce::ValueTree busses, const char* busType, int channelCount, juce::String& error)
{
    if (channelCount < 0 || channelCount > 4 || ! busses.isValid())
    {
        error = "LiveProfessor plugin bus inventory is outside the observed 0..4 channel scope";
        return false;
    }
    for (int i = busses.getNumChildren(); --i >= 0;)
        busses.removeChild (i, nullptr);
    int remaining = channelCount;
    for (int index = 0; remaining > 0; ++index)
    {
        const int channels = remaining > 1 ? 2 : 1;
        auto bus = makeNode (busType);
        set (bus, "channelCount", channels);
        set (bus, "index", index);
        set (bus, "busLayoutName", remaining == 1 ? String ("C") : String ("L R"));
        append (busses, bus);
        remaining -= channels;
    }
    return true;
}

bool configurePluginPrototype (juce::ValueTree pluginNode, const PluginRef& slot,
                               const LiveProfessorPluginEntry& entry, juce::int64 runtimeId,
                               juce::uint32& uIdCounter, juce::String& error)
{
    // LiveProfessor names a plug-in type by its own list entry, and the topology binding checks
    // pluginTypeName against that entry; a source name that differs (a class matched through the
    // module index) would otherwise make every write of that slot fail.
    if (pluginNode.hasProperty ("pluginTypeId"))
        set (pluginNode, "pluginTypeId", entry.identifier);
    if (pluginNode.hasProperty ("pluginTypeName"))
        set (pluginNode, "pluginTypeName", entry.name);
    if (pluginNode.hasProperty ("pluginUid"))
        set (pluginNode, "pluginUid", int64Value (runtimeId));
    if (pluginNode.hasProperty ("PluginId"))
        set (pluginNode, "PluginId", int64Value (runtimeId));

    juce::Array<ValueTree> containers, snapshots, layouts;
    collectNodes (pluginNode, "ProcessorSettingsContainer", containers);
    collectNodes (pluginNode, "PluginSnapshot", snapshots);
    collectNodes (pluginNode, "bussesLayout", layouts);
    if (containers.size() != 1 || snapshots.size() != 1 || layouts.size() > 1)
    {
        error = "LiveProfessor plugin prototype structure is not unique";
        return false;
    }

    auto container = containers.getReference (0);
    set (container, "id", int64Value (runtimeId));
    auto processorState = container.getChildWithName ("processorState");
    if (! processorState.isValid())
    {
        error = "LiveProfessor plugin prototype has no processorState";
        return false;
    }
    set (processorState, "enabled", ! slot.inactive);
    set (processorState, "bypassed", slot.bypassed);
    set (processorState, "audioMute", slot.muted);

    auto snapshot = snapshots.getReference (0);
    set (snapshot, "pluginTypeId", entry.identifier);
    set (snapshot, "SnapshotIdTag", int64Value (runtimeId));
    set (snapshot, "uId", int64Value ((int64) uIdCounter));
    ++uIdCounter;

    const bool isAudioUnit = slot.format == "AU";
    if (isAudioUnit)
        setBytes (snapshot, "chunkData", slot.state.raw);
    else
        setBytes (snapshot, "chunkData", vst3::buildJuceVst3State (slot.state.component, slot.state.controller));

    auto parameters = snapshot.getChildWithName ("parameters");
    if (! parameters.isValid())
    {
        error = "LiveProfessor plugin prototype has no parameters node";
        return false;
    }
    parameters.removeAllProperties (nullptr);

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
        for (int i = 0; i < mirror.values.size(); ++i)
            set (parameters, juce::Identifier ("P" + String (i)), (double) mirror.values.getUnchecked (i));
    }

    if (layouts.isEmpty())
        return true;
    auto layout = layouts.getReference (0);
    return rebuildBusList (layout.getChildWithName ("inputBusses"), "inputBus", entry.numInputs, error)
        && rebuildBusList (layout.getChildWithName ("outputBusses"), "outputBus", entry.numOutputs, error);
}

juce::ValueTree buildInternalProfile2026_1 (const RackSession& session, const Vst3ModuleIndex& index,
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
    append (root, settings);
    makeEmptyChild (root, "Plugins");

    juce::uint32 uIdCounter = firstSnapshotUId;

    auto chains = makeNode ("Chains");
    for (int i = 0; i < session.strips.size(); ++i)
    {
        const auto& strip = session.strips.getReference (i);
        auto chain = makeNode ("Chain");
        set (chain, "ChainViewOrder", i);
        auto chainSettings = makeChainSettingsSkeleton (strip, chainRuntimeId (strip.index), false, error);
        if (! chainSettings.isValid())
            return {};
        auto order = chainSettings.getChildWithName ("ProcessorOrder");
        auto chainPlugins = makeNode ("ChainPlugins");
        for (int slot = 0; slot < strip.plugins.size(); ++slot)
            if (strip.plugins.getReference (slot).occupied
                && ! appendInternalProfilePlugin (order, chainPlugins, strip, slot, false, index, catalog, uIdCounter, error))
                return {};
        append (chain, chainSettings);
        append (chain, chainPlugins);
        makeEmptyChild (chain, "ChainSnapshotList");
        append (chains, chain);
    }
    append (root, chains);

    auto windowManager = makeNode ("WindowManager");
    set (windowManager, "navigatorOpenness", emptyText());
    append (windowManager, makeStoredViewSet ("ViewSet"));
    append (root, windowManager);

    auto tempo = makeNode ("TempoAndSync");
    set (tempo, "Tempo", 120.0);
    set (tempo, "Playing", false);
    set (tempo, "TimeSigNum", 4);
    set (tempo, "TimeSigDenum", 4);
    set (tempo, "MidiClockActive", false);
    append (root, tempo);

    auto snapshots = makeNode ("GlobalSnapshots");
    set (snapshots, "ActiveSnapshot", int64Value (cleanSnapshotId));
    auto clean = makeGlobalSnapshot (cleanSnapshotId, "VORN_CLEAN_SNAPSHOT", 1, session);
    if (! appendInternalProfileSnapshotTopology (clean, session, index, catalog, uIdCounter, error))
        return {};
    append (clean, makeProfileSnapshotFilter (true));
    append (snapshots, clean);
    append (snapshots, makeProfileSnapshotFilter (true));
    makeEmptyChild (snapshots, "GlobalSnapshotTriggers");
    append (root, snapshots);

    auto current = makeGlobalSnapshot (currentSnapshotId, {}, 3, session);
    if (! appendInternalProfileSnapshotTopology (current, session, index, catalog, uIdCounter, error))
        return {};
    append (current, makeProfileSnapshotFilter (false));
    append (root, current);

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

bool propertyEquals (const juce::ValueTree& node, const juce::Identifier& name, juce::int64 expected)
{
    juce::int64 value = 0;
    return readAsInt64 (node.getProperty (name), value) && value == expected;
}

int countOutputs (const juce::ValueTree& audioPatch, juce::int64 nodeId, int channel, juce::ValueTree* match)
{
    int count = 0;
    for (const auto& child : audioPatch)
    {
        if (child.hasType ("outputs") && propertyEquals (child, "nodeId", nodeId)
            && propertyEquals (child, "channelId", channel))
        {
            ++count;
            if (match != nullptr)
                *match = child;
        }
    }
    return count;
}

juce::ValueTree makeAudioPatchEntry (juce::int64 nodeId, int channel)
{
    auto entry = makeNode ("outputs");
    set (entry, "nodeId", int64Value (nodeId));
    set (entry, "channelId", channel);
    return entry;
}

bool replaceIfReference (juce::ValueTree& node, const juce::Identifier& name, juce::int64 oldId, juce::int64 newId)
{
    const auto* value = node.getPropertyPointer (name);
    if (value == nullptr || ! isIntegerValue (*value) || (juce::int64) *value != oldId)
        return false;
    set (node, name, int64Value (newId));
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

void rebuildPatchInventories (juce::ValueTree root, const RackSession& session)
{
    juce::Array<juce::ValueTree> audioPatches;
    collectNodes (root, "AudioPatch", audioPatches);
    for (auto& patch : audioPatches)
    {
        for (int i = patch.getNumChildren(); --i >= 0;)
            patch.removeChild (i, nullptr);

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
        for (const auto& [nodeId, channel] : entries)
            append (patch, makeAudioPatchEntry (nodeId, channel));
    }

    juce::Array<juce::ValueTree> midiPatches;
    collectNodes (root, "MidiPatch", midiPatches);
    for (auto& patch : midiPatches)
    {
        for (int i = patch.getNumChildren(); --i >= 0;)
        {
            juce::int64 nodeId = 0;
            if (! readAsInt64 (patch.getChild (i).getProperty ("nodeId"), nodeId) || ! isFixedHostNode (nodeId))
                patch.removeChild (i, nullptr);
        }
        for (const auto& strip : session.strips)
            append (patch, makeMidiPatchEntry (chainRuntimeId (strip.index)));
    }
}

juce::ValueTree findOutputs (const juce::ValueTree& audioPatch, juce::int64 nodeId, int channel)
{
    juce::ValueTree match;
    return countOutputs (audioPatch, nodeId, channel, &match) == 1 ? match : juce::ValueTree();
}

bool ensureAudioPatchOutput (juce::ValueTree audioPatch, juce::int64 nodeId, int channel, juce::String& error)
{
    if (! audioPatch.isValid())
    {
        // Appending to a missing node would silently drop the entry.
        error = "LiveProfessor AudioPatch is missing";
        return false;
    }
    const int count = countOutputs (audioPatch, nodeId, channel, nullptr);
    if (count >= 2)
    {
        error = "LiveProfessor template AudioPatch has duplicate output inventory";
        return false;
    }
    if (count == 0)
        append (audioPatch, makeAudioPatchEntry (nodeId, channel));
    return true;
}

bool updateProcessorState (juce::ValueTree node, bool enabled, bool bypassed, bool audioMute, bool isolate,
                           float inputGain, float outputGain)
{
    auto state = node.getChildWithName ("processorState");
    if (! state.isValid() || ! state.hasProperty ("enabled") || ! state.hasProperty ("bypassed")
        || ! state.hasProperty ("audioMute"))
        return false;
    set (state, "enabled", enabled);
    set (state, "bypassed", bypassed);
    set (state, "audioMute", audioMute);
    if (state.hasProperty ("isolate"))
        set (state, "isolate", isolate);
    if (state.hasProperty ("inputGain"))
        set (state, "inputGain", (double) inputGain);
    if (state.hasProperty ("outputGain"))
        set (state, "outputGain", (double) outputGain);
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

bool treeContainsNumericValue (const juce::ValueTree& tree, juce::int64 value)
{
    for (int i = 0; i < tree.getNumProperties(); ++i)
    {
        const auto& property = tree.getProperty (tree.getPropertyName (i));
        if (isIntegerValue (property) && (juce::int64) property == value)
            return true;
    }
    for (const auto& child : tree)
        if (treeContainsNumericValue (child, value))
            return true;
    return false;
}

void replaceRuntimeIdReferences (juce::ValueTree tree, juce::int64 oldId, juce::int64 newId,
                                 RuntimeIdReplacementCounts& counts)
{
    if (tree.hasType ("plug"))
    {
        counts.plug += replaceIfReference (tree, "id", oldId, newId) ? 1 : 0;
    }
    else if (tree.hasType ("Plugin"))
    {
        counts.plugin += replaceIfReference (tree, "pluginUid", oldId, newId) ? 1 : 0;
        counts.plugin += replaceIfReference (tree, "PluginId", oldId, newId) ? 1 : 0;
    }
    else if (tree.hasType ("ProcessorSettingsContainer"))
    {
        counts.processorSettings += replaceIfReference (tree, "id", oldId, newId) ? 1 : 0;
    }
    else if (tree.hasType ("PluginSnapshot"))
    {
        counts.snapshot += replaceIfReference (tree, "SnapshotIdTag", oldId, newId) ? 1 : 0;
    }
    else if (tree.hasType ("storedViewSetItem"))
    {
        replaceIfReference (tree, "storedViewSetItemPluginId", oldId, newId);
    }
    for (auto child : tree)
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

bool idProperty (const juce::ValueTree& node, const juce::Identifier& name, juce::int64& out)
{
    return readId (node.getProperty (name), out);
}

const RackStrip* stripWithIndex (const RackSession& session, int stripIndex)
{
    for (const auto& strip : session.strips)
        if (strip.index == stripIndex)
            return &strip;
    return nullptr;
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

void removeAllChildren (juce::ValueTree node)
{
    for (int i = node.getNumChildren(); --i >= 0;)
        node.removeChild (i, nullptr);
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

} // namespace

void removeNodesOfType (juce::ValueTree tree, const juce::Identifier& type)
{
    for (int i = tree.getNumChildren(); --i >= 0;)
    {
        auto child = tree.getChild (i);
        if (child.hasType (type))
            tree.removeChild (i, nullptr);
        else
            removeNodesOfType (child, type);
    }
}

bool synthesiseTopologyFromSinglePrototype (juce::ValueTree root, const RackSession& session,
                                            const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                                            juce::String& error)
{
    auto chains = root.getChildWithName ("Chains");
    if (! chains.isValid() || chains.getNumChildren() < 1)
        return fails (error, "LiveProfessor variable topology requires a native prototype chain");

    const auto prototypeChain = chains.getChild (0).createCopy();
    const auto prototypeOrder = prototypeChain.getChildWithName ("ChainSettings").getChildWithName ("ProcessorOrder");
    if (! prototypeOrder.isValid() || prototypeOrder.getNumChildren() < 1)
        return fails (error, "LiveProfessor variable topology prototype must contain a plugin");
    const auto prototypePlug = prototypeOrder.getChild (0).createCopy();
    const auto prototypePlugin = prototypeChain.getChildWithName ("ChainPlugins").getChild (0).createCopy();

    removeAllChildren (chains);
    juce::uint32 uIdCounter = firstSnapshotUId;

    for (int i = 0; i < session.strips.size(); ++i)
    {
        const auto& strip = session.strips.getReference (i);
        const auto chainId = chainRuntimeId (strip.index);
        auto chain = prototypeChain.createCopy();
        set (chain, "ChainViewOrder", i);
        auto settings = chain.getChildWithName ("ChainSettings");
        if (! configureChainProperties (settings, strip, chainId, false, error))
            return false;
        auto order = settings.getChildWithName ("ProcessorOrder");
        auto chainPlugins = chain.getChildWithName ("ChainPlugins");
        removeAllChildren (order);
        removeAllChildren (chainPlugins);
        // The prototype's own chain snapshots carry its old ids and states; repeated into every
        // chain they would recall the prototype, not the session.
        removeAllChildren (chain.getChildWithName ("ChainSnapshotList"));

        for (int s = 0; s < strip.plugins.size(); ++s)
        {
            const auto& slot = strip.plugins.getReference (s);
            if (! slot.occupied)
                continue;
            const auto* entry = installedEntry (slot, index, catalog);
            if (entry == nullptr)
                return fails (error, "LiveProfessor generated plugin identity is unavailable at strip "
                                         + String (strip.index) + ", slot " + String (s));
            const auto runtimeId = internalPluginRuntimeId (strip.index, s);
            auto plug = prototypePlug.createCopy();
            set (plug, "id", int64Value (runtimeId));
            set (plug, "type", entry->identifier);
            auto plugin = prototypePlugin.createCopy();
            if (! configurePluginPrototype (plugin, slot, *entry, runtimeId, uIdCounter, error))
                return false;
            append (order, plug);
            append (chainPlugins, plugin);
        }
        append (chains, chain);
    }

    juce::Array<ValueTree> snapshots;
    collectNodes (root, "GlobalSnapshot", snapshots);
    if (snapshots.isEmpty())
        return fails (error, "LiveProfessor variable topology template has no global snapshots");

    for (auto& snapshot : snapshots)
    {
        auto snapshotChains = snapshot.getChildWithName ("Chains");
        auto snapshotPlugins = snapshot.getChildWithName ("Plugins");
        if (! snapshotChains.isValid() || snapshotChains.getNumChildren() < 1 || ! snapshotPlugins.isValid()
            || snapshotPlugins.getNumChildren() < 1)
            return fails (error, "LiveProfessor variable topology snapshot has no prototype");
        const auto chainPrototype = snapshotChains.getChild (0).createCopy();
        const auto pluginPrototype = snapshotPlugins.getChild (0).createCopy();
        const auto plugPrototype = chainPrototype.getChildWithName ("ProcessorOrder").getChild (0).createCopy();
        // Without a plug to copy, the snapshot's chains would recall empty chains in the host
        // while the live chains hold plug-ins.
        if (! chainPrototype.getChildWithName ("ProcessorOrder").isValid()
            || (! plugPrototype.isValid() && session.countPlugins() > 0))
            return fails (error, "LiveProfessor variable topology snapshot has no prototype");

        removeAllChildren (snapshotChains);
        removeAllChildren (snapshotPlugins);
        for (const auto& strip : session.strips)
        {
            auto chain = chainPrototype.createCopy();
            if (! configureChainProperties (chain, strip, chainRuntimeId (strip.index), true, error))
                return false;
            auto order = chain.getChildWithName ("ProcessorOrder");
            removeAllChildren (order);
            append (snapshotChains, chain);
            for (int s = 0; s < strip.plugins.size(); ++s)
            {
                const auto& slot = strip.plugins.getReference (s);
                if (! slot.occupied)
                    continue;
                const auto* entry = installedEntry (slot, index, catalog);
                if (entry == nullptr)
                    return fails (error, "LiveProfessor snapshot plugin identity is unavailable");
                const auto runtimeId = internalPluginRuntimeId (strip.index, s);
                auto plug = plugPrototype.createCopy();
                set (plug, "id", int64Value (runtimeId));
                set (plug, "type", entry->identifier);
                append (order, plug);
                auto plugin = pluginPrototype.createCopy();
                if (! configurePluginPrototype (plugin, slot, *entry, runtimeId, uIdCounter, error))
                    return false;
                append (snapshotPlugins, plugin);
            }
        }
    }

    removeNodesOfType (root, "storedViewSetItem");
    removeNodesOfType (root, "WireViewNode");
    rebuildPatchInventories (root, session);
    return true;
}

bool bindMainTopology (juce::ValueTree root, const RackSession& session, const DeploymentProfile& profile,
                       const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                       ChainIdMap& chainIds, juce::Array<PluginBinding>& bindings, juce::String& error)
{
    const auto chains = root.getChildWithName ("Chains");
    if (! chains.isValid() || chains.getNumChildren() != session.strips.size() || session.strips.size() != profile.strips)
        return fails (error, "LiveProfessor template/profile/source chain count mismatch");

    std::set<juce::int64> usedChainIds, boundIds;
    for (int i = 0; i < session.strips.size(); ++i)
    {
        const auto& strip = session.strips.getReference (i);
        const auto chain = chains.getChild (i);
        const String at (strip.index);
        if (strip.index != i)
            return fails (error, "LiveProfessor topology writer requires contiguous strip indices");

        const auto settings = chain.getChildWithName ("ChainSettings");
        const auto container = settings.getChildWithName ("ProcessorSettingsContainer");
        const auto order = settings.getChildWithName ("ProcessorOrder");
        const auto chainPlugins = chain.getChildWithName ("ChainPlugins");
        if (! chain.hasType ("Chain") || ! container.isValid() || ! container.hasProperty ("id") || ! order.isValid()
            || ! chainPlugins.isValid())
            return fails (error, "LiveProfessor template main chain structure is incomplete");

        juce::int64 inputs = 0, outputs = 0;
        if (! readAsInt64 (settings.getProperty ("ChainInputCount"), inputs) || inputs != strip.inputChannels
            || ! readAsInt64 (settings.getProperty ("ChainOutputCount"), outputs) || outputs != strip.outputChannels
            || strip.inputChannels < 0 || strip.inputChannels > maxStripChannels || strip.outputChannels < 0
            || strip.outputChannels > maxStripChannels)
            return fails (error, "LiveProfessor template/source channel layout mismatch at strip " + at);

        int source = -1;
        if (! sidechainSourceForStrip (strip, source, error))
            return false;
        juce::int64 sidechains = 0;
        if (! readAsInt64 (settings.getProperty ("SideChainCount"), sidechains)
            || sidechains != (source < 0 ? 0 : strip.inputChannels))
            return fails (error, "LiveProfessor template/source sidechain layout mismatch at strip " + at);

        juce::int64 chainId = 0;
        if (! idProperty (container, "id", chainId) || chainId < 3 || ! usedChainIds.insert (chainId).second)
            return fails (error, "LiveProfessor template chain runtime id is invalid");
        chainIds[strip.index] = chainId;

        const int occupied = countOccupied (strip);
        if (occupied > profile.slots || occupied != order.getNumChildren())
            return fails (error, "LiveProfessor template/profile/source plugin topology mismatch at strip " + at);

        int k = 0;
        for (int s = 0; s < strip.plugins.size(); ++s)
        {
            const auto& slot = strip.plugins.getReference (s);
            if (! slot.occupied)
                continue;
            const auto plug = order.getChild (k++);
            juce::int64 id = 0;
            const auto type = plug.getProperty ("type").toString();
            juce::ValueTree plugin;
            int matches = 0;
            if (idProperty (plug, "id", id))
                for (const auto& candidate : chainPlugins)
                    if (juce::int64 uid = 0; idProperty (candidate, "pluginUid", uid) && uid == id)
                    {
                        ++matches;
                        plugin = candidate;
                    }
            if (! plug.hasType ("plug") || id == 0 || type.isEmpty() || matches != 1
                || plugin.getProperty ("pluginTypeId").toString() != type)
                return fails (error, "LiveProfessor template ProcessorOrder is inconsistent");
            if (! boundIds.insert (id).second)
                return fails (error, "LiveProfessor template runtime id is duplicated");
            const auto hex = hexSuffix (type);
            if (! type.contains ("-") || ! isJuceHexId (hex))
                return fails (error, "LiveProfessor template pluginTypeId is malformed");

            const auto* entry = catalog.findUnique (slot, index);
            if (entry == nullptr || (juce::uint32) hex.getHexValue32() != entry->uniqueId
                || plugin.getProperty ("pluginTypeName").toString() != entry->name)
                return fails (error, "LiveProfessor template/source plugin identity mismatch at strip " + at
                                         + ", slot " + String (s));

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
                binding.parameterValues = mirror.values;
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
    std::map<juce::int64, const RackStrip*> stripOfChain;
};

// The entries one strip needs in an audio patch: its physical patches, then its sidechain feeds.
bool ensureStripInventory (juce::ValueTree patch, const PatchContext& context, const RackStrip& strip, juce::String& error)
{
    const auto found = context.chainIds.find (strip.index);
    if (found == context.chainIds.end())
        return fails (error, "internal LiveProfessor chain id mapping failed");
    for (const auto& [isInput, rackChannel, physicalChannel] : sourcePatches (strip))
        if (! (isInput == 1 ? ensureAudioPatchOutput (patch, 1, physicalChannel, error)
                            : ensureAudioPatchOutput (patch, found->second, rackChannel, error)))
            return false;

    int source = -1;
    if (! sidechainSourceForStrip (strip, source, error))
        return false;
    if (source < 0)
        return true;
    const auto* sourceStrip = stripWithIndex (context.session, source);
    const auto sourceChain = context.chainIds.find (source);
    if (sourceStrip == nullptr || sourceChain == context.chainIds.end() || sourceStrip->outputChannels < 1)
        return fails (error, "LiveProfessor sidechain source strip is missing");
    for (int j = 0; j < strip.inputChannels; ++j)
        if (! ensureAudioPatchOutput (patch, sourceChain->second, juce::jmin (j, sourceStrip->outputChannels - 1), error))
            return false;
    return true;
}

// A point the writer itself would have made: physical input, physical output or sidechain feed.
bool isModelledPoint (const juce::ValueTree& point, juce::int64 nodeId, juce::int64 channel, const PatchContext& context)
{
    juce::int64 outNode = 0, outChannel = 0, inNode = 0, inChannel = 0, midi = 0;
    if (! point.hasType ("point") || ! readAsInt64 (point.getProperty ("outputNodeId"), outNode)
        || ! readAsInt64 (point.getProperty ("outputChannelId"), outChannel)
        || ! readAsInt64 (point.getProperty ("inputNodeId"), inNode)
        || ! readAsInt64 (point.getProperty ("inputChannelId"), inChannel)
        || ! readAsInt64 (point.getProperty ("isMidi"), midi) || midi != 0)
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

bool validateExistingPoints (const juce::ValueTree& patch, const PatchContext& context, juce::String& error)
{
    for (const auto& outputs : patch)
    {
        juce::int64 nodeId = 0, channel = 0;
        if (! outputs.hasType ("outputs") || ! readAsInt64 (outputs.getProperty ("nodeId"), nodeId)
            || ! readAsInt64 (outputs.getProperty ("channelId"), channel))
            return fails (error, "LiveProfessor template AudioPatch contains an invalid outputs node");
        for (const auto& point : outputs)
            if (! isModelledPoint (point, nodeId, channel, context))
                return fails (error, "LiveProfessor template AudioPatch contains an unmodelled or malformed graph point");
    }
    return true;
}

bool checkStripPresence (const juce::ValueTree& patch, const PatchContext& context, const RackStrip& strip,
                         juce::String& error)
{
    const auto chainId = context.chainIds.find (strip.index);
    if (chainId == context.chainIds.end())
        return fails (error, "internal LiveProfessor chain id mapping failed");
    for (const auto& [isInput, rackChannel, physicalChannel] : sourcePatches (strip))
    {
        const bool present = isInput == 1 ? findOutputs (patch, 1, physicalChannel).isValid()
                                          : findOutputs (patch, chainId->second, rackChannel).isValid();
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
    const auto* sourceStrip = stripWithIndex (context.session, source);
    const auto sourceChain = context.chainIds.find (source);
    if (sourceStrip == nullptr || sourceChain == context.chainIds.end() || sourceStrip->outputChannels < 1)
        return fails (error, "LiveProfessor sidechain source strip is missing");
    for (int j = 0; j < strip.inputChannels; ++j)
        if (! findOutputs (patch, sourceChain->second, juce::jmin (j, sourceStrip->outputChannels - 1)).isValid())
            return fails (error, "LiveProfessor template AudioPatch lacks sidechain source output");
    return true;
}

void appendPoint (const juce::ValueTree& patch, juce::int64 outNode, int outChannel, juce::int64 inNode, int inChannel)
{
    auto point = makeNode ("point");
    set (point, "outputNodeId", int64Value (outNode));
    set (point, "outputChannelId", outChannel);
    set (point, "inputNodeId", int64Value (inNode));
    set (point, "inputChannelId", inChannel);
    set (point, "isMidi", false);
    auto outputs = findOutputs (patch, outNode, outChannel);
    append (outputs, point);
}

void addSessionPoints (const juce::ValueTree& patch, const PatchContext& context, const RackStrip& strip)
{
    const auto chainId = context.chainIds.at (strip.index);
    for (const auto& [isInput, rackChannel, physicalChannel] : sourcePatches (strip))
    {
        if (isInput == 1)
            appendPoint (patch, 1, physicalChannel, chainId, rackChannel);
        else
            appendPoint (patch, chainId, rackChannel, 2, physicalChannel);
    }
    int source = -1;
    juce::String ignored;
    if (! sidechainSourceForStrip (strip, source, ignored) || source < 0)
        return;
    const auto* sourceStrip = stripWithIndex (context.session, source);
    const auto sourceChain = context.chainIds.at (source);
    for (int j = 0; j < strip.inputChannels; ++j)
        appendPoint (patch, sourceChain, juce::jmin (j, sourceStrip->outputChannels - 1), chainId,
                     strip.inputChannels + j);
}

} // namespace

bool updateRepeatedState (juce::ValueTree root, const RackSession& session, const ChainIdMap& chainIds,
                          const juce::Array<PluginBinding>& bindings, juce::String& error)
{
    PatchContext context { session, chainIds, {} };
    for (const auto& [stripIndex, chainId] : chainIds)
        context.stripOfChain[chainId] = stripWithIndex (session, stripIndex);
    std::map<juce::int64, const PluginBinding*> bindingOf;
    for (const auto& binding : bindings)
        bindingOf[binding.runtimeId] = &binding;
    std::map<juce::int64, int> chainCount, containerCount, snapshotCount;

    juce::Array<ValueTree> containers;
    collectNodes (root, "ProcessorSettingsContainer", containers);
    for (auto& container : containers)
    {
        juce::int64 id = 0;
        if (! readAsInt64 (container.getProperty ("id"), id))
            continue;
        if (const auto chain = context.stripOfChain.find (id); chain != context.stripOfChain.end() && chain->second != nullptr)
        {
            const auto& strip = *chain->second;
            if (container.hasProperty ("name"))
                set (container, "name", strip.name);
            if (! updateProcessorState (container, ! strip.bypassed, strip.bypassed, strip.muted, strip.soloed,
                                        linearGain (strip.inputGainDb), linearGain (strip.outputGainDb)))
                return fails (error, "LiveProfessor repeated chain processorState is incomplete");
            ++chainCount[id];
        }
        else if (const auto bound = bindingOf.find (id); bound != bindingOf.end())
        {
            const auto* slot = occupiedSlot (stripWithIndex (session, bound->second->chainIndex), bound->second->slotIndex);
            if (slot == nullptr)
                return fails (error, "internal LiveProfessor plugin state mapping failed");
            if (! updateProcessorState (container, ! slot->inactive, slot->bypassed, slot->muted, false, 1.0f, 1.0f))
                return fails (error, "LiveProfessor repeated plugin processorState is incomplete");
            ++containerCount[id];
        }
    }

    juce::Array<ValueTree> snapshots;
    collectNodes (root, "PluginSnapshot", snapshots);
    for (auto& snapshot : snapshots)
    {
        juce::int64 id = 0;
        if (! readAsInt64 (snapshot.getProperty ("SnapshotIdTag"), id))
            continue;
        const auto bound = bindingOf.find (id);
        if (bound == bindingOf.end())
            continue;
        const auto& binding = *bound->second;
        if (snapshot.hasProperty ("pluginTypeId") && snapshot.getProperty ("pluginTypeId").toString() != binding.typeId)
            return fails (error, "LiveProfessor repeated PluginSnapshot identity mismatch");
        setBytes (snapshot, "chunkData", binding.stateBytes);

        juce::Array<ValueTree> parameterNodes;
        for (const auto& child : snapshot)
            if (child.hasType ("parameters"))
                parameterNodes.add (child);
        if (parameterNodes.size() != 1 || parameterNodes.getReference (0).getNumChildren() != 0)
            return fails (error, "LiveProfessor template parameter topology does not match source parameter mirror");
        auto parameters = parameterNodes.getReference (0);
        if (! binding.hasParameters)
        {
            parameters.removeAllProperties (nullptr);
        }
        else
        {
            if (parameters.getNumProperties() != binding.parameterValues.size())
                return fails (error, "LiveProfessor template parameter topology does not match source parameter mirror");
            for (int i = 0; i < binding.parameterValues.size(); ++i)
            {
                const juce::Identifier name ("P" + String (i));
                if (! parameters.hasProperty (name))
                    return fails (error, "LiveProfessor template parameters are not a contiguous P0..Pn set");
                set (parameters, name, (double) binding.parameterValues.getUnchecked (i));
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

    juce::Array<ValueTree> patches;
    collectNodes (root, "AudioPatch", patches);
    if (patches.isEmpty())
        return fails (error, "LiveProfessor template has no AudioPatch");
    for (auto& patch : patches)
    {
        for (const auto& strip : session.strips)
            if (! ensureStripInventory (patch, context, strip, error))
                return false;
        if (! validateExistingPoints (patch, context, error))
            return false;
        for (const auto& strip : session.strips)
            if (! checkStripPresence (patch, context, strip, error))
                return false;
        for (auto outputs : patch)
            removeAllChildren (outputs);
        for (const auto& strip : session.strips)
            addSessionPoints (patch, context, strip);
    }
    return true;
}

bool remapPluginRuntimeIds (juce::ValueTree root, const RackSession& session, juce::Array<PluginBinding>& bindings,
                            juce::String& error)
{
    for (auto& binding : bindings)
    {
        const auto* slot = occupiedSlot (stripWithIndex (session, binding.chainIndex), binding.slotIndex);
        if (slot == nullptr || binding.chainIndex < 0 || binding.chainIndex > 63 || binding.slotIndex > 7
            || slot->sidechainSource < -1 || slot->sidechainSource > 63)
            return fails (error, "LiveProfessor stable runtime id cannot represent source location");

        const auto stable = makeStableRuntimeId (binding.chainIndex, binding.slotIndex, slot->sidechainSource);
        if (binding.runtimeId == stable)
            continue;
        if (treeContainsNumericValue (root, stable))
            return fails (error, "LiveProfessor stable runtime id collides with template state");

        RuntimeIdReplacementCounts counts;
        replaceRuntimeIdReferences (root, binding.runtimeId, stable, counts);
        if (counts.plug < 1 || counts.plugin < 1 || counts.processorSettings < 1 || counts.snapshot < 1
            || treeContainsNumericValue (root, binding.runtimeId))
            return fails (error, "LiveProfessor plugin runtime id has an unmodelled native reference");
        binding.runtimeId = stable;
    }
    return true;
}

} // namespace vornconv::rapp::liveProfessorWriter

//==============================================================================
namespace vornconv::rapp
{

namespace
{

using namespace liveProfessorWriter;

juce::ValueTree child (const juce::ValueTree& tree, const char* name) { return tree.getChildWithName (name); }

// The template is read once: the same tree is checked by the project reader and becomes the
// starting tree, so the file cannot change between the check and its use.
bool readTemplate (const juce::File& templateFile, juce::ValueTree& tree, juce::String& error)
{
    if (! templateFile.existsAsFile())
    {
        error = "LiveProfessor template file does not exist";
        return false;
    }
    const auto path = templateFile.getFullPathName();
    juce::ValueTree root;
    juce::String parseError;
    const bool opened = juce::FileInputStream (templateFile).openedOk();
    if (! opened || ! readValueTreeFile (templateFile, root, parseError))
        root = juce::ValueTree();
    auto checked = readLiveProfessorRack2Tree (root, path);
    if (! opened)
        checked.error = "could not open file";
    if (! checked.ok || checked.status != readComplete)
    {
        error = "LiveProfessor template reader is not complete";
        if (checked.error.isNotEmpty())
            error << ": " << checked.error;
        return false;
    }
    if (! root.isValid() || ! root.hasType ("LiveProfessorProjectFile"))
    {
        error = "LiveProfessor template ValueTree parse failed";
        return false;
    }
    tree = root.createCopy();
    return true;
}

} // namespace

WriteResult writeLiveProfessorRack2 (const RackReadResult& source, const Vst3ModuleIndex& index,
                                     const LiveProfessorPluginCatalog& catalog, const juce::File& templateFile,
                                     const DeploymentProfile& profile, const juce::File& output)
{
    WriteResult result;
    const auto& session = source.session;
    const bool withTemplate = templateFile != juce::File();

    const auto plan = inspect (source, targetLiveProfessor, index, &profile, &catalog);
    if (! plan.canWrite())
    {
        result.error = "RAPP preflight blocked LiveProfessor output";
        return result;
    }
    PendingOutput pending;
    if (! beginNewOutput (output, pending, result.error))
        return result;
    // What this call makes for the output is gone on every path out but the commit.
    auto fail = [&] (const juce::String& message) {
        pending.abandon();
        result.error = message;
        return result;
    };

    juce::String error;
    juce::ValueTree root;
    if (withTemplate)
    {
        if (! readTemplate (templateFile, root, error))
            return fail (error);
    }
    else
    {
        root = buildInternalProfile2026_1 (session, index, catalog, profile, error);
        if (! root.isValid())
            return fail (error);
    }

    auto device = child (child (root, "AudioMidiHardware"), "IOdeviceProperties");
    auto settings = child (root, "projectSettings");
    if (! device.isValid() || ! settings.isValid())
        return fail ("LiveProfessor profile lacks audio device/project settings");
    if (session.inputDevice.isNotEmpty())
        device.setProperty ("inputDeviceName", session.inputDevice, nullptr);
    if (session.outputDevice.isNotEmpty())
        device.setProperty ("outputDeviceName", session.outputDevice, nullptr);
    if (session.bufferSize > 0)
        settings.setProperty ("BufferSize", (int) session.bufferSize, nullptr);

    removeNodesOfType (root, "VORNConverterMetadata");

    const auto chains = child (root, "Chains");
    if (! chains.isValid() || chains.getNumChildren() != session.strips.size())
        if (! synthesiseTopologyFromSinglePrototype (root, session, index, catalog, error))
            return fail (error);

    ChainIdMap chainIds;
    juce::Array<PluginBinding> bindings;
    if (! bindMainTopology (root, session, profile, index, catalog, chainIds, bindings, error)
        || ! updateRepeatedState (root, session, chainIds, bindings, error)
        || ! remapPluginRuntimeIds (root, session, bindings, error)
        || ! markConverterCleanSnapshot (root, error)
        || ! appendConverterMetadata (root, bindings, profile, withTemplate ? juce::StringRef() : juce::StringRef (internalProfileName),
                                      error))
        return fail (error);

    if (! writeNewFileExclusive (pending.temporary, pending.temporaryCreated, [&root] (juce::OutputStream& out) {
            root.writeToStream (out);
            return true;
        }))
        return fail ("temporary LiveProfessor project write failed");
    root = juce::ValueTree();

    const auto reread = readLiveProfessorRack2 (pending.temporary);
    if (! reread.ok || reread.status != readComplete)
    {
        juce::String detail;
        if (reread.error.isNotEmpty())
            detail = ": " + reread.error;
        else
            for (const auto& note : reread.session.notes.items)
                if (note.fidelity == Fidelity::dropped)
                {
                    detail = ": " + note.code + " - " + note.text;
                    break;
                }
        return fail ("written LiveProfessor project failed converter reread validation" + detail);
    }

    // The project as LiveProfessor identifies its plug-ins; it stores no sample rate, so the
    // device decides that (and the notes below say so).
    RackSession expected = session;
    expected.sampleRate = 0.0;
    for (auto& strip : expected.strips)
        for (auto& slot : strip.plugins)
        {
            if (! slot.occupied)
                continue;
            const auto* entry = catalog.findUnique (slot, index);
            if (entry == nullptr)
                return fail ("internal LiveProfessor canonical identity mapping failed");
            slot.uniqueId = entry->uniqueId;
            slot.classId = {};
            slot.deprecatedUid = 0;
            slot.file = juce::File();
        }

    const auto comparison = compareRackSemantics (expected, reread.session);
    if (! comparison.mismatches.isEmpty())
        return fail ("written LiveProfessor project failed exact semantic validation: " + comparison.summary());

    juce::String commitError;
    if (! commitNewFileExclusive (pending.temporary, output, commitError))
        return fail ("atomic LiveProfessor project move failed: " + commitError);

    result.notes.add (withTemplate
                          ? juce::String ("converter exact reread passed; LiveProfessor host load/DSP validation pending")
                          : juce::String ("internal liveprofessor-2026.1-native-v1 exact reread passed; LiveProfessor host load/save/DSP validation pending"));
    if (session.sampleRate > 0.0)
        result.notes.add (juce::String::fromUTF8 (u8"LiveProfessor project에는 검증된 sample-rate 필드가 없어 audio device 설정이 결정한다"));
    if (session.bufferSize < 1)
        result.notes.add (juce::String::fromUTF8 (u8"source buffer size가 없어 LiveProfessor profile의 BufferSize를 유지했다"));
    result.ok = true;
    return result;
}

} // namespace vornconv::rapp
