#include "RackBuilders.h"
#include "TestSupport.h"

#include "model/ParameterSnapshot.h"
#include "model/Vst3State.h"
#include "readers/ValueTreeReader.h"
#include "writers/LiveProfessorRack2WriterInternal.h"

#include "LiveProfessorTreeText.h"
#include "ValueTreeBridge.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vornconv;
using namespace vornconv::rapp;
using namespace vornconv::rapp::liveProfessorWriter;
using juce::String;
using juce::ValueTree;
using vorntest::childTypes;
using vorntest::describe;
using vorntest::describeTree;
using vorntest::fromJuce;
using vorntest::toJuce;

namespace
{

ValueTree at (const ValueTree& node, std::initializer_list<const char*> path)
{
    ValueTree current = node;
    for (auto* step : path)
    {
        const String text (step);
        current = text.containsOnly ("0123456789") ? current.getChild (text.getIntValue())
                                                   : current.getChildWithName (step);
    }
    return current;
}

juce::MemoryBlock bytes (const char* text) { return juce::MemoryBlock (text, strlen (text)); }

const juce::String verifiedCid = "ED57BD725C60467EA64DD2F400758B6F";   // JUCE uniqueId beb1ab47
const juce::String unverifiedCid = "00000000000000000000000000000001"; // JUCE uniqueId 1

// A session, the module index and LiveProfessor's list for one installed VST3 class and one
// AudioUnit, with the VST3 bundle present on disk.
struct Fixture
{
    vorntest::TempFolder temp;
    Vst3ModuleIndex index;
    LiveProfessorPluginCatalog catalog;
    RackSession session;
    DeploymentProfile profile { 3, 8, 3, 2 };

    Fixture()
    {
        addVst3 (verifiedCid, "EQ Test", "Eq.vst3");
        addVst3 (unverifiedCid, "Odd EQ", "Odd.vst3");

        auto au = vorntest::liveProfessorAu ("AU Comp", "aufx", "cmp1", "Acme", 0x1234);
        au.numInputs = 1;
        au.numOutputs = 1;
        catalog.entries.add (au);

        // Strip 0: mono, the VST3 at slot 1 fed by strip 2. Strip 1: stereo, empty, own colour.
        // Strip 2: stereo, an inactive, bypassed, muted AudioUnit without a mirror at slot 0.
        auto s0 = vorntest::strip (0, "Vox", 1, 1);
        s0.plugins.add (PluginRef());
        s0.plugins.add (vst3Slot (verifiedCid, "EQ Test"));
        s0.plugins.getReference (1).sidechainSource = 2;
        auto s1 = vorntest::strip (1, "Keys", 2, 2);
        s1.hasColour = true;
        s1.colour = 0xff336699;
        auto s2 = vorntest::strip (2, "Bus", 2, 2);
        s2.plugins.add (auSlot());
        session.strips.add (s0, s1, s2);
    }

    void addVst3 (const String& cid, const String& name, const String& bundleName)
    {
        const auto bundle = temp.file (bundleName);
        bundle.createDirectory();
        const auto module = vorntest::installedModule (cid, name, bundle);
        index.entries.add (module);
        catalog.entries.add (vorntest::liveProfessorVst3 (module, 2, 2));
    }

    static PluginRef vst3Slot (const String& cid, const String& name)
    {
        auto p = vorntest::vst3Slot (cid, name);
        p.uniqueId = deriveUniqueId (cid);
        p.state = vorntest::vst3State (PluginStateEncoding::juceVst3Xml, "COMP", "CTRL");
        p.state.parameters = parameterState::encode ({ 0.25f, 1.0f }, 0);
        p.state.parameterMirrorComplete = true;
        return p;
    }

    static PluginRef auSlot()
    {
        auto p = vorntest::auSlot ("AU Comp", "aufx", "cmp1", "Acme");
        p.uniqueId = 0x1234;
        p.inactive = true;
        p.bypassed = true;
        p.muted = true;
        p.state.encoding = PluginStateEncoding::audioUnitPlist;
        p.state.raw = bytes ("<plist>au-state</plist>");
        return p;
    }

    const LiveProfessorPluginEntry& entryNamed (const String& name) const
    {
        for (const auto& e : catalog.entries)
            if (e.name == name)
                return e;
        ADD_FAILURE() << "no catalog entry " << name;
        return catalog.entries.getReference (0);
    }

    TreeNode buildTree (String& error) const { return buildInternalProfile2026_1 (session, index, catalog, profile, error); }
    ValueTree build (String& error) const { return toJuce (buildTree (error)); }
};

const String processorStateNeutral =
    "processorState enabled:b=1 bypassed:b=0 isolate:b=0 audioMute:b=0 inputGain:d=1.0 outputGain:d=1.0";

TEST (LiveProfessorInternalProfile, BuildsTheProjectScaffoldWithExactKindsAndIds)
{
    Fixture f;
    String error;
    const auto root = f.build (error);
    ASSERT_TRUE (root.isValid()) << error;

    EXPECT_EQ (describe (root), "LiveProfessorProjectFile isTemplate:b=0 ProjectFileVersion:i=1 appVersion:s=2026.1.0 "
                                "description:s= fixGainBug:b=0");
    EXPECT_EQ (childTypes (root), "AudioMidiHardware,projectSettings,Plugins,Chains,WindowManager,TempoAndSync,"
                                  "GlobalSnapshots,GlobalSnapshot,CueLists,GlobalOscController,HardwareControllers,"
                                  "Workspaces,uiComp,WireView");
    EXPECT_EQ (describeTree (root.getChildWithName ("AudioMidiHardware")),
               "AudioMidiHardware\n"
               " IOdeviceProperties audioDeviceType:s= inputDeviceName:s= outputDeviceName:s= RequiredInputs:i=3 RequiredOutputs:i=2\n"
               " AudioInputs\n"
               "  InputChannel Index:i=0 UserLabel:s=\n"
               "  InputChannel Index:i=1 UserLabel:s=\n"
               "  InputChannel Index:i=2 UserLabel:s=\n"
               " AudioOutputs\n"
               "  OutputChannel Index:i=0 UserLabel:s=\n"
               "  OutputChannel Index:i=1 UserLabel:s=\n"
               " MidiDevices\n"
               "  MidiInputDevices\n"
               "  MidiOutputDevices\n");
    EXPECT_EQ (describe (root.getChildWithName ("projectSettings")),
               "projectSettings BufferSize:i=512 AutoSaveCounter:i=0 useSIPmode:b=0");
    EXPECT_EQ (root.getChildWithName ("Plugins").getNumChildren(), 0);
    EXPECT_EQ (describeTree (root.getChildWithName ("WindowManager")),
               "WindowManager navigatorOpenness:s=\n"
               " ViewSet storedViewSetName:s=VORN Converter storedViewSetId:l=1527775249\n"
               "  storedViewSetItems\n");
    EXPECT_EQ (describe (root.getChildWithName ("TempoAndSync")),
               "TempoAndSync Tempo:d=120.0 Playing:b=0 TimeSigNum:i=4 TimeSigDenum:i=4 MidiClockActive:b=0");
    EXPECT_EQ (describeTree (root.getChildWithName ("CueLists")),
               "CueLists MSCenabled:b=0 MSCid:i=0 TCenabled:b=0\n OSCdestinations\n");
    EXPECT_EQ (describe (root.getChildWithName ("GlobalOscController")),
               "GlobalOscController enabled:b=0 hostIp:s= inputPort:i=50055 outputPort:i=50056");
    EXPECT_EQ (describeTree (root.getChildWithName ("HardwareControllers")),
               "HardwareControllers ActiveMap:l=1527775234\n"
               " HardwareControllers\n"
               " HardwareCtrlMaps\n"
               "  HardwareCtrlMap Name:s=VORN Converter mapId:l=1527775234\n"
               "   Assignments\n");
    EXPECT_EQ (root.getChildWithName ("Workspaces").getNumChildren(), 0);
    EXPECT_EQ (describeTree (root.getChildWithName ("uiComp")),
               "uiComp ID:s=root-1527771136 idInt:l=1527775264 name:s=root contentType:s=folder\n"
               " content1527771137 ID:l=1527775233 contentType:s=item\n");

    // Five host nodes and three chains, four to a row of the wire view.
    EXPECT_EQ (describeTree (root.getChildWithName ("WireView")),
               "WireView\n"
               " Nodes\n"
               "  WireViewNode NodeId:l=1 XPos:i=5 YPos:i=5\n"
               "  WireViewNode NodeId:l=2 XPos:i=220 YPos:i=5\n"
               "  WireViewNode NodeId:l=158 XPos:i=435 YPos:i=5\n"
               "  WireViewNode NodeId:l=159 XPos:i=650 YPos:i=5\n"
               "  WireViewNode NodeId:l=160 XPos:i=5 YPos:i=122\n"
               "  WireViewNode NodeId:l=2893152256 XPos:i=220 YPos:i=122\n"
               "  WireViewNode NodeId:l=2893152257 XPos:i=435 YPos:i=122\n"
               "  WireViewNode NodeId:l=2893152258 XPos:i=650 YPos:i=122\n");
}

TEST (LiveProfessorInternalProfile, MainChainsCarryTheStripLayoutAndPluginPayloads)
{
    Fixture f;
    String error;
    const auto root = f.build (error);
    ASSERT_TRUE (root.isValid()) << error;
    const auto chains = root.getChildWithName ("Chains");
    ASSERT_EQ (childTypes (chains), "Chain,Chain,Chain");

    // Strip 0: mono with a sidechain source, so one sidechain channel; the colour is the
    // profile's own whatever the strip holds.
    const auto chain0 = chains.getChild (0);
    EXPECT_EQ (describe (chain0), "Chain ChainViewOrder:i=0");
    EXPECT_EQ (childTypes (chain0), "ChainSettings,ChainPlugins,ChainSnapshotList");
    EXPECT_EQ (describe (at (chain0, { "ChainSettings" })),
               "ChainSettings ChainADCgroup:i=0 ChainColour:s=ffff7b33 DelayMode:i=0 ManualDelayMs:d=0.0 AuxCount:i=0 "
               "MuteAffectsInput:b=0 ChainInputCount:i=1 ChainOutputCount:i=1 ChainMainInputBusConfig:s=C "
               "ChainMainOutputBusConfig:s=C SideChainCount:i=1");
    EXPECT_EQ (describeTree (at (chain0, { "ChainSettings", "ProcessorSettingsContainer" })),
               "ProcessorSettingsContainer name:s=Vox id:l=2893152256\n"
               " " + processorStateNeutral + "\n"
               " midi midiMute:b=0 midiThru:b=0\n"
               "  midiChannels\n"
               "  modifiers modifiersEnabled:b=0 transpose:i=0 channelChange:i=0\n"
               "  keyzone keyZoneEnabled:b=0 upperNote:i=127 lowerNote:i=0\n"
               "  filter filterEnabled:b=0\n");

    const auto& eq = f.entryNamed ("EQ Test");
    EXPECT_EQ (describeTree (at (chain0, { "ChainSettings", "ProcessorOrder" })),
               "ProcessorOrder\n plug id:l=1509949441 type:s=" + eq.identifier + "\n");

    const auto plugin = at (chain0, { "ChainPlugins", "0" });
    EXPECT_EQ (at (chain0, { "ChainPlugins" }).getNumChildren(), 1);
    EXPECT_EQ (describe (plugin), "Plugin pluginTypeId:s=" + eq.identifier + " pluginTypeName:s=EQ Test pluginUid:l=1509949441");
    EXPECT_EQ (childTypes (plugin), "ProcessorSettingsContainer,Plugin,bussesLayout");
    EXPECT_EQ (describe (at (plugin, { "ProcessorSettingsContainer" })), "ProcessorSettingsContainer name:s= id:l=1509949441");
    EXPECT_EQ (describe (at (plugin, { "ProcessorSettingsContainer", "processorState" })), processorStateNeutral);

    const auto payload = at (plugin, { "Plugin" });
    EXPECT_EQ (describe (payload), "Plugin useMinimalView:b=0");
    EXPECT_EQ (childTypes (payload), "PluginSnapshot,PluginSnapshotList");
    const auto chunk = vst3::buildJuceVst3State (bytes ("COMP"), bytes ("CTRL"));
    const auto snapshot = at (payload, { "PluginSnapshot" });
    EXPECT_EQ (describeTree (snapshot),
               "PluginSnapshot name:s= uId:l=1526726656 updateTime:l=0 pluginTypeId:s=" + eq.identifier
                   + " loadedPreset:b=0 SnapshotIdTag:l=1509949441 chunkData:x=" + String ((int) chunk.getSize()) + "\n"
                   " parameters P0:d=0.25 P1:d=1.0\n");
    EXPECT_TRUE (*snapshot.getProperty ("chunkData").getBinaryData() == chunk);
    EXPECT_EQ (describeTree (at (plugin, { "bussesLayout" })),
               "bussesLayout\n"
               " inputBusses\n  inputBus channelCount:i=2 index:i=0 busLayoutName:s=L R\n"
               " outputBusses\n  outputBus channelCount:i=2 index:i=0 busLayoutName:s=L R\n");

    // Strip 1: stereo, no plug-ins, no sidechain.
    const auto chain1 = chains.getChild (1);
    EXPECT_EQ (describe (chain1), "Chain ChainViewOrder:i=1");
    EXPECT_TRUE (describe (at (chain1, { "ChainSettings" }))
                     .endsWith ("ChainColour:s=ffff7b33 DelayMode:i=0 ManualDelayMs:d=0.0 AuxCount:i=0 MuteAffectsInput:b=0 "
                                "ChainInputCount:i=2 ChainOutputCount:i=2 ChainMainInputBusConfig:s=L R "
                                "ChainMainOutputBusConfig:s=L R SideChainCount:i=0"));
    EXPECT_EQ (at (chain1, { "ChainSettings", "ProcessorOrder" }).getNumChildren(), 0);
    EXPECT_EQ (at (chain1, { "ChainPlugins" }).getNumChildren(), 0);

    // Strip 2: the AudioUnit keeps its raw state and has no parameters without a mirror; its
    // activation flags come from the slot, its mono buses from the list.
    const auto au = at (chains.getChild (2), { "ChainPlugins", "0" });
    const auto& auEntry = f.entryNamed ("AU Comp");
    EXPECT_EQ (describe (au), "Plugin pluginTypeId:s=" + auEntry.identifier + " pluginTypeName:s=AU Comp pluginUid:l=1509949952");
    EXPECT_EQ (describe (at (au, { "ProcessorSettingsContainer", "processorState" })),
               "processorState enabled:b=0 bypassed:b=1 isolate:b=0 audioMute:b=1 inputGain:d=1.0 outputGain:d=1.0");
    const auto auSnapshot = at (au, { "Plugin", "PluginSnapshot" });
    EXPECT_EQ (auSnapshot.getProperty ("uId"), juce::var ((juce::int64) 0x5B000001));
    EXPECT_TRUE (*auSnapshot.getProperty ("chunkData").getBinaryData() == bytes ("<plist>au-state</plist>"));
    EXPECT_EQ (describeTree (at (auSnapshot, { "parameters" })), "parameters\n");
    EXPECT_EQ (describeTree (at (au, { "bussesLayout" })),
               "bussesLayout\n"
               " inputBusses\n  inputBus channelCount:i=1 index:i=0 busLayoutName:s=C\n"
               " outputBusses\n  outputBus channelCount:i=1 index:i=0 busLayoutName:s=C\n");
}

TEST (LiveProfessorInternalProfile, SnapshotsRepeatTheTopologyWithTheirOwnUIds)
{
    Fixture f;
    String error;
    const auto root = f.build (error);
    ASSERT_TRUE (root.isValid()) << error;

    const auto snapshots = root.getChildWithName ("GlobalSnapshots");
    EXPECT_EQ (describe (snapshots), "GlobalSnapshots ActiveSnapshot:l=1527775233");
    EXPECT_EQ (childTypes (snapshots), "GlobalSnapshot,GlobalSnapshotFilter,GlobalSnapshotTriggers");
    EXPECT_EQ (describeTree (snapshots.getChild (1)),
               "GlobalSnapshotFilter name:s=\n SnapshotFilter\n"
               "  GlobalFilter workspace:b=1 audioPatch:b=1 midiPatch:b=1 chainOrder:b=1\n  PluginFilter\n");
    EXPECT_EQ (snapshots.getChild (2).getNumChildren(), 0);

    const auto clean = snapshots.getChild (0);
    const auto current = root.getChildWithName ("GlobalSnapshot");
    EXPECT_EQ (describe (clean), "GlobalSnapshot GSid:l=1527775233 GSname:s=VORN_CLEAN_SNAPSHOT GSupdateTime:l=0 "
                                 "ControllerMapId:l=1527775234");
    EXPECT_EQ (describe (current), "GlobalSnapshot GSid:l=1527775235 GSname:s= GSupdateTime:l=0 ControllerMapId:l=1527775234");

    const String midiPatch = "MidiPatch\n"
                             " outputs nodeId:l=1 channelId:i=4096\n"
                             " outputs nodeId:l=2 channelId:i=4096\n"
                             " outputs nodeId:l=158 channelId:i=4096\n"
                             " outputs nodeId:l=159 channelId:i=4096\n"
                             " outputs nodeId:l=160 channelId:i=4096\n"
                             " outputs nodeId:l=2893152256 channelId:i=4096\n"
                             " outputs nodeId:l=2893152257 channelId:i=4096\n"
                             " outputs nodeId:l=2893152258 channelId:i=4096\n";
    const auto workspace = [] (int mode) {
        return "Workspace WorkspaceId:l=1527775248 WorkspaceName:s= storedViewSetId:l=1527775249 ViewMode:i=" + String (mode)
             + "\n DockablePanelLayout\n CueListWindows SelectedLiveListId:i=0\n"
               " storedViewSet storedViewSetName:s=VORN Converter storedViewSetId:l=1527775249\n  storedViewSetItems\n";
    };
    const auto& eq = f.entryNamed ("EQ Test");

    // Main chains took uIds +0 and +1, the clean snapshot takes +2 and +3, the current +4 and +5.
    const std::pair<ValueTree, int> cases[] = { { clean, 1 }, { current, 3 } };
    for (const auto& [snapshot, mode] : cases)
    {
        SCOPED_TRACE (describe (snapshot));
        const juce::int64 firstUId = 0x5B000000 + (mode == 1 ? 2 : 4);
        EXPECT_EQ (childTypes (snapshot), "Workspace,MidiPatch,AudioPatch,Chains,Plugins,GlobalSnapshotFilter");
        EXPECT_EQ (describeTree (at (snapshot, { "Workspace" })), workspace (mode));
        EXPECT_EQ (describeTree (at (snapshot, { "MidiPatch" })), midiPatch);
        EXPECT_EQ (at (snapshot, { "AudioPatch" }).getNumChildren(), 0);
        EXPECT_EQ (describe (at (snapshot, { "GlobalSnapshotFilter", "SnapshotFilter", "GlobalFilter" })),
                   mode == 1 ? "GlobalFilter workspace:b=1 audioPatch:b=1 midiPatch:b=1 chainOrder:b=1" : "GlobalFilter");

        const auto chains = at (snapshot, { "Chains" });
        ASSERT_EQ (childTypes (chains), "Chain,Chain,Chain");
        EXPECT_EQ (describe (chains.getChild (0)),
                   "Chain ChainId:l=2893152256 ChainInputCount:i=1 ChainOutputCount:i=1 ChainMainInputBusConfig:s=C "
                   "ChainMainOutputBusConfig:s=C SideChainCount:i=1");
        EXPECT_EQ (childTypes (chains.getChild (0)), "ProcessorSettingsContainer,ProcessorOrder");
        EXPECT_EQ (describe (at (chains, { "0", "ProcessorSettingsContainer" })),
                   "ProcessorSettingsContainer name:s=Vox id:l=2893152256");
        EXPECT_EQ (describeTree (at (chains, { "0", "ProcessorOrder" })),
                   "ProcessorOrder\n plug id:l=1509949441 type:s=" + eq.identifier + "\n");
        EXPECT_EQ (at (chains, { "1", "ProcessorOrder" }).getNumChildren(), 0);

        const auto plugins = at (snapshot, { "Plugins" });
        ASSERT_EQ (childTypes (plugins), "Plugin,Plugin");
        EXPECT_EQ (describe (plugins.getChild (0)), "Plugin PluginId:l=1509949441");
        EXPECT_EQ (childTypes (plugins.getChild (0)), "ProcessorSettingsContainer,Plugin");
        EXPECT_EQ (describe (plugins.getChild (1)), "Plugin PluginId:l=1509949952");
        EXPECT_EQ (at (plugins, { "0", "Plugin", "PluginSnapshot" }).getProperty ("uId"), juce::var (firstUId));
        EXPECT_EQ (at (plugins, { "1", "Plugin", "PluginSnapshot" }).getProperty ("uId"), juce::var (firstUId + 1));
        EXPECT_EQ (describeTree (at (plugins, { "0", "Plugin", "PluginSnapshot", "parameters" })),
                   "parameters P0:d=0.25 P1:d=1.0\n");
    }
}

TEST (LiveProfessorInternalProfile, StreamsAndReadsBackWithEveryKindAndIsDeterministic)
{
    Fixture f;
    String error;
    const auto root = f.buildTree (error);
    ASSERT_TRUE (isValidTree (root)) << error;

    juce::MemoryOutputStream first, second;
    ASSERT_TRUE (writeValueTree (root, first));
    ASSERT_TRUE (writeValueTree (f.buildTree (error), second));
    EXPECT_TRUE (first.getMemoryBlock() == second.getMemoryBlock());

    TreeNode back;
    ASSERT_TRUE (readValueTreeBytes (first.getData(), first.getDataSize(), back, error)) << error;
    EXPECT_EQ (describeTree (toJuce (back)), describeTree (toJuce (root)));
}

TEST (LiveProfessorInternalProfile, AcceptsTheFullProfileRange)
{
    Fixture f;
    f.session.strips.clear();
    for (int i = 0; i < 64; ++i)
    {
        auto s = vorntest::strip (i, "S" + String (i), 2, 2);
        for (int slot = 0; slot < 8; ++slot)
            s.plugins.add (Fixture::vst3Slot (verifiedCid, "EQ Test"));
        f.session.strips.add (s);
    }
    f.profile = { 64, 8, 128, 128 };
    String error;
    const auto root = f.build (error);
    ASSERT_TRUE (root.isValid()) << error;
    const auto lastPlug = at (root, { "Chains", "63", "ChainSettings", "ProcessorOrder", "7" });
    EXPECT_EQ (lastPlug.getProperty ("id"), juce::var ((juce::int64) (0x5A000000 | (63 << 8) | 7)));
    EXPECT_EQ (at (root, { "GlobalSnapshot", "Plugins" }).getNumChildren(), 512);
    EXPECT_EQ (at (root, { "GlobalSnapshot", "Plugins", "511", "Plugin", "PluginSnapshot" }).getProperty ("uId"),
               juce::var ((juce::int64) 0x5B000000 + 3 * 512 - 1));
    EXPECT_EQ (at (root, { "AudioMidiHardware", "AudioOutputs" }).getNumChildren(), 128);
}

TEST (LiveProfessorInternalProfile, RefusesWhatItCannotBuildWithOneMessage)
{
    const String limits = "LiveProfessor internal profile liveprofessor-2026.1-native-v1 supports 1..64 source-shaped "
                          "chains, 1..8 slots, and explicit 1..128 channel I/O capacity";
    const String contiguity = "LiveProfessor internal profile requires contiguous profile-range chain/slot topology";
    const String mirror = "LiveProfessor topology synthesis requires a complete VNPM parameter mirror";
    const String bus = "LiveProfessor plugin bus inventory is outside the observed 0..4 channel scope";
    const String unresolved = "LiveProfessor internal profile cannot resolve an installed catalog identity for EQ Test";

    const auto slot01 = [] (Fixture& f) -> PluginRef& { return f.session.strips.getReference (0).plugins.getReference (1); };
    struct Case
    {
        const char* what;
        std::function<void (Fixture&)> change;
        String message;
    };
    const Case cases[] = {
        { "no strips", [] (Fixture& f) { f.session.strips.clear(); f.profile.strips = 0; }, limits },
        { "65 strips", [] (Fixture& f) {
              while (f.session.strips.size() < 65)
                  f.session.strips.add (vorntest::strip (f.session.strips.size(), "x", 2, 2));
              f.profile.strips = 65; }, limits },
        // A profile of another shape than the session's says which one fits.
        { "profile strips differ", [] (Fixture& f) { f.profile.strips = 4; },
          limits + ": the session has 3 strips, --profile 4x8 shapes 4; give --profile 3x8" },
        { "no slots", [] (Fixture& f) { f.profile.slots = 0; }, limits },
        { "9 slots", [] (Fixture& f) { f.profile.slots = 9; }, limits },
        { "no inputs", [] (Fixture& f) { f.profile.ioInputs = 0; }, limits },
        { "129 outputs", [] (Fixture& f) { f.profile.ioOutputs = 129; }, limits },
        { "index gap", [] (Fixture& f) { f.session.strips.getReference (2).index = 3; }, contiguity },
        { "nine empty slot entries", [] (Fixture& f) {
              auto& plugins = f.session.strips.getReference (1).plugins;
              while (plugins.size() < 9)
                  plugins.add (PluginRef()); }, contiguity },
        { "occupied slot beyond the profile", [] (Fixture& f) { f.profile.slots = 1; },
          "LiveProfessor internal profile source has an occupied slot outside the deployment profile" },
        { "three input channels", [] (Fixture& f) { f.session.strips.getReference (1).inputChannels = 3; },
          "LiveProfessor generated chain layout is outside mono/stereo scope" },
        { "two sidechain sources", [] (Fixture& f) {
              auto extra = Fixture::vst3Slot (verifiedCid, "EQ Test");
              extra.sidechainSource = 1;
              f.session.strips.getReference (0).plugins.add (extra); },
          "LiveProfessor chain cannot represent multiple sidechain sources" },
        { "two slots fed by one source", [] (Fixture& f) {
              auto extra = Fixture::vst3Slot (verifiedCid, "EQ Test");
              extra.sidechainSource = 2;
              f.session.strips.getReference (0).plugins.add (extra); },
          "LiveProfessor chain sidechain cannot identify multiple target plugins exactly" },
        { "no catalog entry", [] (Fixture& f) { f.catalog.entries.remove (0); }, unresolved },
        { "VST3 bundle gone", [] (Fixture& f) { f.temp.file ("Eq.vst3").deleteRecursively(); }, unresolved },
        { "class not host-verified", [=] (Fixture& f) { slot01 (f) = Fixture::vst3Slot (unverifiedCid, "Odd EQ"); },
          "LiveProfessor internal profile liveprofessor-2026.1-native-v1 has no host-verified CID mapping for Odd EQ "
          "(JUCE uniqueId=1)" },
        { "VST3 mirror incomplete", [=] (Fixture& f) { slot01 (f).state.parameterMirrorComplete = false; }, mirror },
        { "VST3 mirror undecodable", [=] (Fixture& f) { slot01 (f).state.parameters = bytes ("VNPM"); }, mirror + ": " },
        { "AU mirror marked complete but undecodable", [] (Fixture& f) {
              f.session.strips.getReference (2).plugins.getReference (0).state.parameterMirrorComplete = true; }, mirror + ": " },
        { "five catalog inputs", [] (Fixture& f) { f.catalog.entries.getReference (0).numInputs = 5; }, bus },
        { "no catalog outputs attribute", [] (Fixture& f) { f.catalog.entries.getReference (0).numOutputs = -1; }, bus },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        Fixture f;
        c.change (f);
        String error;
        const auto root = f.build (error);
        EXPECT_FALSE (root.isValid());
        if (c.message.endsWith (": "))
        {
            EXPECT_TRUE (error.startsWith (c.message)) << error;
            EXPECT_GT (error.length(), c.message.length());
        }
        else
        {
            EXPECT_EQ (error, c.message);
        }
    }
}

TEST (LiveProfessorInternalProfile, NamesThePluginTypeAsLiveProfessorListsIt)
{
    // A class found through the module index keeps LiveProfessor's own type name even when the
    // source calls the plug-in something else.
    Fixture f;
    f.session.strips.getReference (0).plugins.getReference (1).name = "EQ (renamed in the source)";
    String error;
    const auto root = f.build (error);
    ASSERT_TRUE (root.isValid()) << error;
    EXPECT_EQ (at (root, { "Chains", "0", "ChainPlugins", "0" }).getProperty ("pluginTypeName").toString(), "EQ Test");
}

//==============================================================================
// The node makers on nodes that come from a template

ValueTree templatePlugin()
{
    auto plugin = ValueTree ("Plugin", { { "pluginTypeId", "VST3-Old-1-2" }, { "custom", 7 } });
    ValueTree container ("ProcessorSettingsContainer", { { "id", 99 } });
    container.appendChild (ValueTree ("processorState", { { "enabled", false }, { "bypassed", true }, { "audioMute", true } }), nullptr);
    plugin.appendChild (container, nullptr);
    ValueTree payload ("Plugin");
    ValueTree snapshot ("PluginSnapshot", { { "uId", 5 }, { "SnapshotIdTag", 99 }, { "pluginTypeId", "old" } });
    snapshot.appendChild (ValueTree ("parameters", { { "P0", 0.5 }, { "P7", 0.1 }, { "Extra", "x" } }), nullptr);
    payload.appendChild (snapshot, nullptr);
    plugin.appendChild (payload, nullptr);
    ValueTree layout ("bussesLayout");
    ValueTree inputs ("inputBusses");
    inputs.appendChild (ValueTree ("inputBus", { { "channelCount", 8 } }), nullptr);
    layout.appendChild (inputs, nullptr);
    layout.appendChild (ValueTree ("outputBusses"), nullptr);
    plugin.appendChild (layout, nullptr);
    return plugin;
}

TEST (LiveProfessorNodeMakers, ConfigurePluginPrototypeChangesOnlyWhatTheTemplateHas)
{
    Fixture f;
    const auto& eq = f.entryNamed ("EQ Test");
    auto slot = Fixture::vst3Slot (verifiedCid, "EQ Test");
    auto tree = fromJuce (templatePlugin());
    juce::uint32 counter = 0x5B000007;
    String error;
    ASSERT_TRUE (configurePluginPrototype (tree, slot, eq, 0x5A000102, counter, error)) << error;
    const auto plugin = toJuce (tree);
    EXPECT_EQ (counter, 0x5B000008u);
    EXPECT_EQ (describe (plugin), "Plugin pluginTypeId:s=" + eq.identifier + " custom:i=7");
    EXPECT_EQ (describe (at (plugin, { "ProcessorSettingsContainer" })), "ProcessorSettingsContainer id:l=1509949698");
    EXPECT_EQ (describe (at (plugin, { "ProcessorSettingsContainer", "processorState" })),
               "processorState enabled:b=1 bypassed:b=0 audioMute:b=0");
    const auto chunk = vst3::buildJuceVst3State (bytes ("COMP"), bytes ("CTRL"));
    EXPECT_EQ (describeTree (at (plugin, { "Plugin", "PluginSnapshot" })),
               "PluginSnapshot uId:l=1526726663 SnapshotIdTag:l=1509949698 pluginTypeId:s=" + eq.identifier
                   + " chunkData:x=" + String ((int) chunk.getSize()) + "\n parameters P0:d=0.25 P1:d=1.0\n");
    EXPECT_EQ (describeTree (at (plugin, { "bussesLayout" })),
               "bussesLayout\n inputBusses\n  inputBus channelCount:i=2 index:i=0 busLayoutName:s=L R\n"
               " outputBusses\n  outputBus channelCount:i=2 index:i=0 busLayoutName:s=L R\n");

    // The snapshot form carries PluginId instead of pluginUid.
    auto snapshotForm = templatePlugin();
    snapshotForm.removeChild (snapshotForm.getChildWithName ("bussesLayout"), nullptr);
    snapshotForm.setProperty ("PluginId", 1, nullptr);
    auto snapshotTree = fromJuce (snapshotForm);
    ASSERT_TRUE (configurePluginPrototype (snapshotTree, slot, eq, 0x5A000102, counter, error)) << error;
    EXPECT_EQ (toJuce (snapshotTree).getProperty ("PluginId"), juce::var ((juce::int64) 0x5A000102));
}

TEST (LiveProfessorNodeMakers, ConfigurePluginPrototypeRefusesBrokenPrototypes)
{
    Fixture f;
    const auto& eq = f.entryNamed ("EQ Test");
    const auto slot = Fixture::vst3Slot (verifiedCid, "EQ Test");
    const String notUnique = "LiveProfessor plugin prototype structure is not unique";
    const std::pair<std::function<void (ValueTree&)>, String> cases[] = {
        { [] (ValueTree& p) { at (p, { "Plugin" }).appendChild (ValueTree ("PluginSnapshot"), nullptr); }, notUnique },
        { [] (ValueTree& p) { p.appendChild (ValueTree ("ProcessorSettingsContainer"), nullptr); }, notUnique },
        { [] (ValueTree& p) { p.appendChild (ValueTree ("bussesLayout"), nullptr); }, notUnique },
        { [] (ValueTree& p) { at (p, { "ProcessorSettingsContainer" }).removeAllChildren (nullptr); },
          "LiveProfessor plugin prototype has no processorState" },
        { [] (ValueTree& p) { at (p, { "Plugin", "PluginSnapshot" }).removeAllChildren (nullptr); },
          "LiveProfessor plugin prototype has no parameters node" },
        { [] (ValueTree& p) { at (p, { "bussesLayout" }).removeChild (1, nullptr); },
          "LiveProfessor plugin bus inventory is outside the observed 0..4 channel scope" },
    };
    for (const auto& [change, message] : cases)
    {
        auto plugin = templatePlugin();
        change (plugin);
        auto tree = fromJuce (plugin);
        juce::uint32 counter = 0;
        String error;
        EXPECT_FALSE (configurePluginPrototype (tree, slot, eq, 1, counter, error));
        EXPECT_EQ (error, message);
    }
}

TEST (LiveProfessorNodeMakers, RebuildBusListSplitsChannelsIntoStereoAndMonoBuses)
{
    const std::pair<int, String> cases[] = {
        { 0, "" },
        { 1, "bus channelCount:i=1 index:i=0 busLayoutName:s=C\n" },
        { 2, "bus channelCount:i=2 index:i=0 busLayoutName:s=L R\n" },
        { 3, "bus channelCount:i=2 index:i=0 busLayoutName:s=L R\nbus channelCount:i=1 index:i=1 busLayoutName:s=C\n" },
        { 4, "bus channelCount:i=2 index:i=0 busLayoutName:s=L R\nbus channelCount:i=2 index:i=1 busLayoutName:s=L R\n" },
    };
    for (const auto& [count, expected] : cases)
    {
        ValueTree old ("busses");
        old.appendChild (ValueTree ("old"), nullptr);
        auto tree = fromJuce (old);
        String error;
        ASSERT_TRUE (rebuildBusList (&tree, "bus", count, error)) << count;
        String text;
        for (const auto& child : toJuce (tree))
            text << describe (child) << "\n";
        EXPECT_EQ (text, expected) << count;
    }
    for (int bad : { -1, 5 })
    {
        ValueTree old ("busses");
        old.appendChild (ValueTree ("old"), nullptr);
        auto tree = fromJuce (old);
        String error;
        EXPECT_FALSE (rebuildBusList (&tree, "bus", bad, error));
        EXPECT_EQ (error, "LiveProfessor plugin bus inventory is outside the observed 0..4 channel scope");
        EXPECT_EQ (tree.children.size(), 1u);
    }
    String error;
    EXPECT_FALSE (rebuildBusList (nullptr, "bus", 2, error));
}

TEST (LiveProfessorNodeMakers, SidechainSourceLooksOnlyAtOccupiedSlotSources)
{
    const auto slot = [] (bool occupied, int source, int kind = sidechainStrip, bool enabled = true) {
        PluginRef p;
        p.occupied = occupied;
        p.sidechainSource = source;
        p.sidechainKind = kind;
        p.sidechainEnabled = enabled;
        return p;
    };
    struct Case
    {
        juce::Array<PluginRef> slots;
        bool ok;
        int source;
        String error;
    };
    const Case cases[] = {
        { {}, true, -1, {} },
        { { slot (true, -1), slot (false, 4) }, true, -1, {} },
        { { slot (true, -1), slot (true, 3, sidechainPhysical, false) }, true, 3, {} },
        { { slot (true, 3), slot (true, 3) }, false, 3,
          "LiveProfessor chain sidechain cannot identify multiple target plugins exactly" },
        // A differing source is reported at once, before the count.
        { { slot (true, 3), slot (true, 3), slot (true, 5) }, false, 3,
          "LiveProfessor chain cannot represent multiple sidechain sources" },
    };
    for (const auto& c : cases)
    {
        RackStrip strip;
        strip.plugins = c.slots;
        int source = 99;
        String error;
        EXPECT_EQ (sidechainSourceForStrip (strip, source, error), c.ok);
        EXPECT_EQ (error, c.error);
        if (c.ok)
            EXPECT_EQ (source, c.source);
    }
}

TEST (LiveProfessorNodeMakers, ConfigureChainPropertiesNeedsAProcessorContainer)
{
    auto strip = vorntest::strip (4, "Drums", 2, 1);
    strip.plugins.add (PluginRef());
    strip.plugins.getReference (0).occupied = true;
    strip.plugins.getReference (0).sidechainSource = 0;

    ValueTree chainTemplate ("Chain", { { "ChainId", 1 }, { "Keep", "me" } });
    chainTemplate.appendChild (ValueTree ("ProcessorSettingsContainer", { { "name", "old" }, { "id", 3 } }), nullptr);
    auto tree = fromJuce (chainTemplate);
    String error;
    ASSERT_TRUE (configureChainProperties (&tree, strip, chainRuntimeId (4), true, error)) << error;
    const auto chain = toJuce (tree);
    EXPECT_EQ (describe (chain), "Chain ChainId:l=2893152260 Keep:s=me ChainInputCount:i=2 ChainOutputCount:i=1 "
                                 "ChainMainInputBusConfig:s=L R ChainMainOutputBusConfig:s=C SideChainCount:i=2");
    EXPECT_EQ (describe (chain.getChild (0)), "ProcessorSettingsContainer name:s=Drums id:l=2893152260");

    auto bareTree = fromJuce (ValueTree ("ChainSettings"));
    EXPECT_FALSE (configureChainProperties (&bareTree, strip, chainRuntimeId (4), false, error));
    EXPECT_EQ (error, "LiveProfessor generated chain has no processor settings");
    const auto bare = toJuce (bareTree);
    EXPECT_EQ (bare.getProperty ("SideChainCount"), juce::var (2));
    EXPECT_FALSE (bare.hasProperty ("ChainId"));
    EXPECT_FALSE (configureChainProperties (nullptr, strip, chainRuntimeId (4), false, error));
    EXPECT_EQ (error, "LiveProfessor generated chain layout is outside mono/stereo scope");
}

TEST (LiveProfessorNodeMakers, CollectNodesIsPreOrderAndIncludesTheRoot)
{
    ValueTree root ("X", { { "n", 0 } });
    ValueTree a ("Y");
    ValueTree inner ("X", { { "n", 1 } });
    a.appendChild (inner, nullptr);
    root.appendChild (a, nullptr);
    root.appendChild (ValueTree ("X", { { "n", 2 } }), nullptr);
    const auto tree = fromJuce (root);
    std::vector<const TreeNode*> found;
    collectNodes (tree, "X", found);
    ASSERT_EQ (found.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ (propertyValue (*found[(size_t) i], "n"), juce::var (i));
}

} // namespace
