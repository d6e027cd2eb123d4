// The built-in native LiveProfessor 2 profile: a complete project tree made from nothing but the
// session, the plug-in list and the deployment profile. Host scaffolding, device settings, one
// chain per strip and one plug-in per occupied slot, repeated in the clean and the current global
// snapshot, with provisional plug-in runtime ids that the writer replaces by stable ones.

#include "writers/LiveProfessorRack2WriterInternal.h"

namespace vornconv::rapp::liveProfessorWriter
{

const char* const internalProfileName = "liveprofessor-2026.1-native-v1";

namespace
{

using juce::int64;
using juce::String;
using juce::var;

constexpr int midiPatchChannel = 4096;

// The uniqueIds of the VST3 classes LiveProfessor has been seen to load from this profile.
constexpr juce::uint32 hostVerifiedUniqueIds[] = {
    0xF0582F35u, 0x63C90B15u, 0xFD51F54Au, 0xBEB1AB47u, 0x84D4BD9Cu, 0xA1D8F949u,
    0xFDDD35D6u, 0xDAEEB97Eu, 0xF682A142u, 0xF6829D4Bu, 0xF6829560u, 0xF6829543u,
    0xBD9F9A35u, 0xD63E55D3u, 0xA4A502F5u, 0x910A73F0u, 0x3F2478CAu
};

var emptyText() { return var (String()); }

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

TreeNode makeMidiPatchEntry (int64 nodeId)
{
    auto entry = makeNode ("outputs");
    set (entry, "nodeId", int64Value (nodeId));
    set (entry, "channelId", midiPatchChannel);
    return entry;
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

} // namespace vornconv::rapp::liveProfessorWriter
