#include "writers/LiveProfessorRack2WriterInternal.h"

#include "model/ParameterSnapshot.h"
#include "model/Vst3State.h"

#include <cmath>

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
