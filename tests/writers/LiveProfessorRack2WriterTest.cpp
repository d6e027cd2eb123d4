#include "RackBuilders.h"
#include "TestSupport.h"

#include "app/HostRegistry.h"
#include "model/ParameterSnapshot.h"
#include "model/RackSemanticCompare.h"
#include "model/Vst3State.h"
#include "rapp/RappConversionPlan.h"
#include "readers/LiveProfessorRack2Reader.h"
#include "readers/ValueTreeReader.h"
#include "writers/LiveProfessorRack2Writer.h"
#include "writers/LiveProfessorRack2WriterInternal.h"

#include "ValueTreeBridge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace vornconv;
using namespace vornconv::rapp;
using namespace vornconv::rapp::liveProfessorWriter;
using juce::String;
using juce::ValueTree;
using vorntest::fromJuce;
using vorntest::proven;
using vorntest::toJuce;

namespace
{

juce::MemoryBlock bytes (const char* text) { return juce::MemoryBlock (text, strlen (text)); }

// An AudioUnit ClassInfo property list for aufx/cmp1/Acme.
juce::MemoryBlock auState()
{
    const String text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                        "<key>type</key><integer>" + String (0x61756678) + "</integer>"
                        "<key>subtype</key><integer>" + String (0x636D7031) + "</integer>"
                        "<key>manufacturer</key><integer>" + String (0x41636D65) + "</integer>"
                        "</dict></plist>\n";
    return juce::MemoryBlock (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

const String verifiedCid = "ED57BD725C60467EA64DD2F400758B6F"; // JUCE uniqueId beb1ab47, host-verified

// Two strips: a stereo "Vox" with a VST3 at slot 0 and full routing, and a mono "Bus" with an
// AudioUnit (no parameter mirror) at slot 2 that takes strip 0 as its sidechain.
struct Fixture
{
    vorntest::TempFolder temp;
    Vst3ModuleIndex index;
    LiveProfessorPluginCatalog catalog;
    RackReadResult source;
    DeploymentProfile profile { 2, 8, 4, 4 };

    Fixture()
    {
        const auto bundle = temp.file ("Eq.vst3");
        bundle.createDirectory();
        const auto module = vorntest::installedModule (verifiedCid, "EQ Test", bundle);
        index.entries.add (module);
        catalog.entries.add (vorntest::liveProfessorVst3 (module, 2, 2));
        auto au = vorntest::liveProfessorAu ("AU Comp", "aufx", "cmp1", "Acme", 0x1234);
        au.numInputs = 2;
        au.numOutputs = 1;
        catalog.entries.add (au);

        source.ok = true;
        source.status = readComplete;
        auto& session = source.session;
        session.sourceFormat = "vorn.ksn";
        session.bufferSize = 256;
        session.inputDevice = "In Device";
        session.outputDevice = "Out Device";

        auto vox = proven (vorntest::strip (0, "Vox", 2, 2));
        vox.routeInL = 0;
        vox.routeInR = 1;
        vox.routeOutL = 0;
        vox.routeOutR = 1;
        vox.inputGainDb = -6.0206f;
        vox.plugins.add (vst3Slot());
        auto bus = proven (vorntest::strip (1, "Bus", 1, 1));
        bus.routeInL = 2;
        bus.routeOutL = 3;
        bus.muted = true;
        bus.bypassed = true;
        bus.plugins.add (PluginRef(), PluginRef(), auSlot());
        bus.plugins.getReference (2).sidechainSource = 0;
        session.strips.add (vox, bus);
    }

    RackSession& session() { return source.session; }

    static PluginRef vst3Slot()
    {
        auto p = vorntest::vst3Slot (verifiedCid, "EQ Test");
        p.uniqueId = deriveUniqueId (verifiedCid);
        p.state = vorntest::vst3State (PluginStateEncoding::juceVst3Xml, "COMP", "CTRL");
        p.state.parameters = parameterState::encode ({ 0.25f, 0.75f }, 0);
        p.state.parameterMirrorComplete = true;
        return proven (p);
    }

    static PluginRef auSlot()
    {
        auto p = vorntest::auSlot ("AU Comp", "aufx", "cmp1", "Acme");
        p.uniqueId = 0x1234;
        p.inactive = true;
        p.state.encoding = PluginStateEncoding::audioUnitPlist;
        p.state.raw = auState();
        return proven (p);
    }

    // The road of the convert runner: the preflight of the source, then the writer with its verdict.
    // LiveProfessor's plug-in list goes to the preflight and the writer as the host's record loads it.
    ConversionPlan plan() const
    {
        const SideInput pluginList = catalog;
        return inspect (source, app::hostOf (targetLiveProfessor)->rules, index, &profile, &pluginList);
    }

    WriteResult write (const juce::File& output, const juce::File& templateFile = {}) const
    {
        const SideInput pluginList = catalog;
        WriteOptions options;
        options.output = output;
        options.templateFile = templateFile;
        options.profile = &profile;
        options.sideInput = &pluginList;
        return writeLiveProfessorRack2 (source, index, plan(), options);
    }

    WriteResult check (const juce::File& templateFile = {}) const
    {
        const SideInput pluginList = catalog;
        WriteOptions options;
        options.templateFile = templateFile;
        options.profile = &profile;
        options.sideInput = &pluginList;
        return checkLiveProfessorRack2Write (source, index, plan(), options);
    }

    // The built-in tree, bound, as the writer has it before the state placement.
    TreeNode boundTree (ChainIdMap& chainIds, juce::Array<PluginBinding>& bindings, String& error) const
    {
        auto root = buildInternalProfile2026_1 (source.session, index, catalog, profile, error);
        if (isValidTree (root) && ! bindMainTopology (root, source.session, profile, index, catalog, chainIds, bindings, error))
            return {};
        return root;
    }

    juce::StringArray folderEntries() const
    {
        juce::StringArray names;
        for (const auto& f : temp.folder.findChildFiles (juce::File::findFilesAndDirectories, true))
            names.add (f.getRelativePathFrom (temp.folder));
        names.sort (false);
        return names;
    }
};

ValueTree readTree (const juce::File& file)
{
    TreeNode root;
    String error;
    EXPECT_TRUE (readValueTreeFile (file, root, error)) << error;
    return toJuce (root);
}

bool writeTree (const ValueTree& tree, const juce::File& file)
{
    juce::FileOutputStream out (file);
    if (! out.openedOk())
        return false;
    tree.writeToStream (out);
    out.flush();
    return out.getStatus().wasOk();
}

// Depth-first pre-order, the tree itself included.
juce::Array<ValueTree> nodes (const ValueTree& root, const char* type)
{
    juce::Array<ValueTree> out;
    if (root.hasType (type))
        out.add (root);
    for (const auto& child : root)
        out.addArray (nodes (child, type));
    return out;
}

// The session as a LiveProfessor project identifies it: catalog uniqueIds, no class ids, no
// sample rate.
RackSession expectedOf (const Fixture& f)
{
    RackSession expected = f.source.session;
    expected.sampleRate = 0.0;
    for (auto& strip : expected.strips)
        for (auto& slot : strip.plugins)
            if (slot.occupied)
            {
                slot.uniqueId = f.catalog.findUnique (slot, f.index)->uniqueId;
                slot.classId = {};
                slot.deprecatedUid = 0;
                slot.file = juce::File();
            }
    return expected;
}

} // namespace

//==============================================================================
TEST (LiveProfessorWriter, WritesReadsBackExactlyWithStableIdsAndNoLeftovers)
{
    struct Case
    {
        const char* name;
        std::function<void (Fixture&)> change;
        juce::StringArray extraNotes;
    };
    const String srNote = String::fromUTF8 (u8"LiveProfessor project에는 검증된 sample-rate 필드가 없어 audio device 설정이 결정한다");
    const String bufferNote = String::fromUTF8 (u8"source buffer size가 없어 LiveProfessor profile의 BufferSize를 유지했다");
    const Case cases[] = {
        { "routing, gains, sidechain and an AudioUnit without mirror", [] (Fixture&) {}, {} },
        { "explicit patches over summary routes",
          [] (Fixture& f) {
              auto& vox = f.session().strips.getReference (0);
              for (const RackPhysicalPatch p : { RackPhysicalPatch { true, 0, 3 }, RackPhysicalPatch { true, 1, 2 },
                                                RackPhysicalPatch { false, 0, 1 }, RackPhysicalPatch { false, 1, 0 } })
                  vox.routePatches.add (p);
          }, {} },
        { "sample rate and no buffer size", [] (Fixture& f) { f.session().sampleRate = 48000.0; f.session().bufferSize = 0; },
          { srNote, bufferNote } },
        { "no plug-ins at all",
          [] (Fixture& f) { for (auto& s : f.session().strips) s.plugins.clear(); }, {} },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        Fixture f;
        c.change (f);
        const auto output = f.temp.file ("out/nested/show.rack2");
        const auto written = f.write (output);
        ASSERT_TRUE (written.ok) << written.error;

        juce::StringArray notes { "internal liveprofessor-2026.1-native-v1 exact reread passed; LiveProfessor host load/save/DSP validation pending" };
        notes.addArray (c.extraNotes);
        EXPECT_EQ (written.notes, notes);
        EXPECT_EQ (f.folderEntries(), juce::StringArray ({ "Eq.vst3", "out", "out/nested", "out/nested/show.rack2" }));

        const auto reread = readLiveProfessorRack2 (output);
        ASSERT_TRUE (reread.ok && reread.status == readComplete) << reread.error;
        EXPECT_EQ (compareRackSemantics (expectedOf (f), reread.session).summary(), "exact");

        const auto root = readTree (output);
        EXPECT_EQ (root.getChildWithName ("projectSettings").getProperty ("BufferSize"),
                   juce::var (f.session().bufferSize > 0 ? f.session().bufferSize : 512));
        EXPECT_EQ (root.getChildWithName ("AudioMidiHardware").getChildWithName ("IOdeviceProperties")
                       .getProperty ("inputDeviceName").toString(), "In Device");

        // Every plug-in id is its stable id; no provisional id survives anywhere.
        bool present = false;
        ConverterSlotMap slots;
        String error;
        ASSERT_TRUE (readConverterMetadata (fromJuce (root), present, slots, error)) << error;
        EXPECT_TRUE (present);
        const int plugins = f.session().countPlugins();
        EXPECT_EQ ((int) slots.size(), plugins);
        for (const auto& strip : f.session().strips)
            for (int s = 0; s < strip.plugins.size(); ++s)
                if (strip.plugins.getReference (s).occupied)
                {
                    const auto stable = makeStableRuntimeId (strip.index, s, strip.plugins.getReference (s).sidechainSource);
                    EXPECT_EQ (slots.count (stable), 1u);
                    EXPECT_FALSE (treeContainsNumericValue (fromJuce (root), internalPluginRuntimeId (strip.index, s)));
                }
        const auto metadata = root.getChildWithName ("VORNConverterMetadata");
        EXPECT_EQ (metadata.getProperty ("nativeWriterProfile").toString(), "liveprofessor-2026.1-native-v1");
    }
}

TEST (LiveProfessorWriter, PlacesStatesAndRoutingIntoEveryRepeatedPlace)
{
    Fixture f;
    ChainIdMap chainIds;
    juce::Array<PluginBinding> bindings;
    String error;
    auto tree = f.boundTree (chainIds, bindings, error);
    ASSERT_TRUE (isValidTree (tree)) << error;
    ASSERT_EQ (bindings.size(), 2);
    EXPECT_TRUE (bindings[0].hasParameters);
    EXPECT_FALSE (bindings[1].hasParameters);
    EXPECT_EQ (bindings[1].slotIndex, 2);

    // Stale values the placement must overwrite in every copy.
    auto root = toJuce (tree);
    for (auto node : nodes (root, "parameters"))
        node.setProperty ("P0", 0.0, nullptr);
    for (auto node : nodes (root, "parameters"))
        if (node.getNumProperties() == 1)
            node.setProperty ("P1", 0.0, nullptr);
    tree = fromJuce (root);
    ASSERT_TRUE (updateRepeatedState (tree, f.session(), chainIds, bindings, error)) << error;
    root = toJuce (tree);

    int voxContainers = 0, busContainers = 0, vstContainers = 0, auContainers = 0;
    for (const auto& container : nodes (root, "ProcessorSettingsContainer"))
    {
        const auto state = container.getChildWithName ("processorState");
        const auto id = (juce::int64) container.getProperty ("id");
        if (id == chainIds[0])
        {
            ++voxContainers;
            EXPECT_NEAR ((double) state.getProperty ("inputGain"), 0.5, 1e-6);
            EXPECT_EQ ((double) state.getProperty ("outputGain"), 1.0);
            EXPECT_TRUE ((bool) state.getProperty ("enabled"));
        }
        else if (id == chainIds[1])
        {
            ++busContainers;
            EXPECT_FALSE ((bool) state.getProperty ("enabled"));
            EXPECT_TRUE ((bool) state.getProperty ("bypassed"));
            EXPECT_TRUE ((bool) state.getProperty ("audioMute"));
        }
        else if (id == bindings[0].runtimeId)
        {
            ++vstContainers;
            EXPECT_TRUE ((bool) state.getProperty ("enabled"));
        }
        else if (id == bindings[1].runtimeId)
        {
            ++auContainers;
            EXPECT_FALSE ((bool) state.getProperty ("enabled"));
        }
    }
    // The live chain, the clean and the current snapshot.
    EXPECT_EQ (voxContainers, 3);
    EXPECT_EQ (busContainers, 3);
    EXPECT_EQ (vstContainers, 3);
    EXPECT_EQ (auContainers, 3);

    int vstSnapshots = 0, auSnapshots = 0;
    for (const auto& snapshot : nodes (root, "PluginSnapshot"))
    {
        const auto parameters = snapshot.getChildWithName ("parameters");
        const auto id = (juce::int64) snapshot.getProperty ("SnapshotIdTag");
        if (id == bindings[0].runtimeId)
        {
            ++vstSnapshots;
            EXPECT_EQ (parameters.getNumProperties(), 2);
            EXPECT_EQ ((double) parameters.getProperty ("P0"), 0.25);
            EXPECT_EQ ((double) parameters.getProperty ("P1"), 0.75);
            EXPECT_EQ (*snapshot.getProperty ("chunkData").getBinaryData(),
                       vst3::buildJuceVst3State (bytes ("COMP"), bytes ("CTRL")));
        }
        else if (id == bindings[1].runtimeId)
        {
            ++auSnapshots;
            EXPECT_EQ (parameters.getNumProperties(), 0);
            EXPECT_EQ (*snapshot.getProperty ("chunkData").getBinaryData(), auState());
        }
    }
    EXPECT_EQ (vstSnapshots, 3);
    EXPECT_EQ (auSnapshots, 3);

    // Each audio patch holds exactly the session's points: two inputs and two outputs of Vox, one
    // input and one output of Bus, and the mono Bus fed from Vox's channel 0 into its input 1.
    const auto vox = chainIds[0], bus = chainIds[1];
    const juce::StringArray expectedPoints {
        "1:0->" + String (vox) + ":0", "1:1->" + String (vox) + ":1", "1:2->" + String (bus) + ":0",
        String (vox) + ":0->" + String (bus) + ":1", String (vox) + ":0->2:0", String (vox) + ":1->2:1",
        String (bus) + ":0->2:3",
    };
    const auto audioPatches = nodes (root, "AudioPatch");
    ASSERT_EQ (audioPatches.size(), 2);
    for (const auto& patch : audioPatches)
    {
        juce::StringArray points;
        for (const auto& outputs : patch)
            for (const auto& point : outputs)
            {
                EXPECT_TRUE (point.getProperty ("outputNodeId").isInt64());
                EXPECT_TRUE (point.getProperty ("isMidi").isBool());
                points.add (point.getProperty ("outputNodeId").toString() + ":" + point.getProperty ("outputChannelId").toString()
                            + "->" + point.getProperty ("inputNodeId").toString() + ":"
                            + point.getProperty ("inputChannelId").toString());
            }
        points.sort (false);
        auto sortedExpected = expectedPoints;
        sortedExpected.sort (false);
        EXPECT_EQ (points, sortedExpected);
    }
}

TEST (LiveProfessorWriter, BindingAndPlacementRefuseTreesTheyCannotAccountFor)
{
    struct Case
    {
        const char* message;
        std::function<void (ValueTree&, Fixture&)> change;
        bool failsInBinding;
    };
    const auto firstOf = [] (ValueTree& root, const char* type) { return nodes (root, type)[0]; };
    const Case cases[] = {
        { "LiveProfessor template chain runtime id is invalid",
          [&] (ValueTree& root, Fixture&) {
              root.getChildWithName ("Chains").getChild (0).getChildWithName ("ChainSettings")
                  .getChildWithName ("ProcessorSettingsContainer").setProperty ("id", juce::var ((juce::int64) 2), nullptr);
          }, true },
        { "LiveProfessor template/source channel layout mismatch at strip 0",
          [&] (ValueTree& root, Fixture& f) {
              // Agreeing, but far beyond any chain: the patch steps would loop over every channel.
              f.session().strips.getReference (0).inputChannels = 1000000;
              root.getChildWithName ("Chains").getChild (0).getChildWithName ("ChainSettings")
                  .setProperty ("ChainInputCount", 1000000, nullptr);
          }, true },
        { "LiveProfessor template pluginTypeId is malformed",
          [&] (ValueTree& root, Fixture&) {
              auto plug = firstOf (root, "plug");
              const auto id = plug.getProperty ("id");
              for (auto plugin : nodes (root, "Plugin"))
                  if (plugin.getProperty ("pluginUid") == id)
                      plugin.setProperty ("pluginTypeId", "VST3-EQ Test-1-0", nullptr);
              plug.setProperty ("type", "VST3-EQ Test-1-0", nullptr);
          }, true },
        { "LiveProfessor template/source plugin identity mismatch at strip 0, slot 0",
          [&] (ValueTree& root, Fixture&) {
              auto plug = firstOf (root, "plug");
              const auto id = plug.getProperty ("id");
              for (auto plugin : nodes (root, "Plugin"))
                  if (plugin.getProperty ("pluginUid") == id)
                      plugin.setProperty ("pluginTypeName", "Other EQ", nullptr);
          }, true },
        { "LiveProfessor output requires a complete valid VNPM parameter mirror",
          [&] (ValueTree&, Fixture& f) { f.session().strips.getReference (0).plugins.getReference (0).state.parameterMirrorComplete = false; },
          true },
        { "LiveProfessor template AudioPatch contains an unmodelled or malformed graph point",
          [&] (ValueTree& root, Fixture&) {
              auto outputs = ValueTree ("outputs");
              outputs.setProperty ("nodeId", juce::var ((juce::int64) 1), nullptr);
              outputs.setProperty ("channelId", 0, nullptr);
              auto point = ValueTree ("point");
              point.setProperty ("outputNodeId", juce::var ((juce::int64) 1), nullptr);
              point.setProperty ("outputChannelId", 0, nullptr);
              point.setProperty ("inputNodeId", juce::var ((juce::int64) chainRuntimeId (0)), nullptr);
              point.setProperty ("inputChannelId", 0, nullptr);
              point.setProperty ("isMidi", true, nullptr);
              outputs.appendChild (point, nullptr);
              firstOf (root, "AudioPatch").appendChild (outputs, nullptr);
          }, false },
        { "LiveProfessor template AudioPatch contains an unmodelled or malformed graph point",
          [&] (ValueTree& root, Fixture&) {
              // Bus's output into Vox's main input.
              auto outputs = ValueTree ("outputs");
              outputs.setProperty ("nodeId", juce::var ((juce::int64) chainRuntimeId (1)), nullptr);
              outputs.setProperty ("channelId", 0, nullptr);
              auto point = ValueTree ("point");
              point.setProperty ("outputNodeId", juce::var ((juce::int64) chainRuntimeId (1)), nullptr);
              point.setProperty ("outputChannelId", 0, nullptr);
              point.setProperty ("inputNodeId", juce::var ((juce::int64) chainRuntimeId (0)), nullptr);
              point.setProperty ("inputChannelId", 0, nullptr);
              point.setProperty ("isMidi", false, nullptr);
              outputs.appendChild (point, nullptr);
              firstOf (root, "AudioPatch").appendChild (outputs, nullptr);
          }, false },
        { "LiveProfessor template AudioPatch has duplicate output inventory",
          [&] (ValueTree& root, Fixture&) {
              for (int i = 0; i < 2; ++i)
              {
                  auto outputs = ValueTree ("outputs");
                  outputs.setProperty ("nodeId", juce::var ((juce::int64) 1), nullptr);
                  outputs.setProperty ("channelId", 0, nullptr);
                  firstOf (root, "AudioPatch").appendChild (outputs, nullptr);
              }
          }, false },
        { "LiveProfessor template parameter topology does not match source parameter mirror",
          [&] (ValueTree& root, Fixture&) { firstOf (root, "parameters").setProperty ("P2", 0.0, nullptr); }, false },
        { "LiveProfessor template parameters are not a contiguous P0..Pn set",
          [&] (ValueTree& root, Fixture&) {
              auto parameters = firstOf (root, "parameters");
              parameters.removeProperty ("P1", nullptr);
              parameters.setProperty ("P3", 0.0, nullptr);
          }, false },
        { "LiveProfessor repeated PluginSnapshot identity mismatch",
          [&] (ValueTree& root, Fixture&) { firstOf (root, "PluginSnapshot").setProperty ("pluginTypeId", "VST3-x-1-2", nullptr); },
          false },
        // Text a template must hold, holding a number: JUCE would print it by way of an int cast,
        // undefined for NaN.
        { "LiveProfessor template plug property type is not text at strip 0",
          [&] (ValueTree& root, Fixture&) { firstOf (root, "plug").setProperty ("type", std::nan (""), nullptr); }, true },
        { "LiveProfessor template Plugin property pluginTypeId is not text at strip 0",
          [&] (ValueTree& root, Fixture&) {
              const auto id = firstOf (root, "plug").getProperty ("id");
              for (auto plugin : nodes (root, "Plugin"))
                  if (plugin.getProperty ("pluginUid") == id)
                      plugin.setProperty ("pluginTypeId", std::nan (""), nullptr);
          }, true },
        { "LiveProfessor template Plugin property pluginTypeName is not text at strip 0",
          [&] (ValueTree& root, Fixture&) {
              const auto id = firstOf (root, "plug").getProperty ("id");
              for (auto plugin : nodes (root, "Plugin"))
                  if (plugin.getProperty ("pluginUid") == id)
                      plugin.setProperty ("pluginTypeName", std::nan (""), nullptr);
          }, true },
        { "LiveProfessor template PluginSnapshot property pluginTypeId is not text",
          [&] (ValueTree& root, Fixture&) { firstOf (root, "PluginSnapshot").setProperty ("pluginTypeId", std::nan (""), nullptr); },
          false },
        { "LiveProfessor plugin state was not found in template",
          [&] (ValueTree& root, Fixture&) {
              for (auto snapshot : nodes (root, "PluginSnapshot"))
                  if (snapshot.getProperty ("SnapshotIdTag") == juce::var ((juce::int64) internalPluginRuntimeId (1, 2)))
                      snapshot.getParent().removeChild (snapshot, nullptr);
          }, false },
        { "LiveProfessor repeated chain processorState is incomplete",
          [&] (ValueTree& root, Fixture&) {
              auto container = nodes (root, "ProcessorSettingsContainer").getLast();
              for (auto c : nodes (root, "ProcessorSettingsContainer"))
                  if (c.getProperty ("id") == juce::var ((juce::int64) chainRuntimeId (1)))
                      container = c;
              container.getChildWithName ("processorState").removeProperty ("audioMute", nullptr);
          }, false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.message);
        Fixture f;
        String error;
        auto root = toJuce (buildInternalProfile2026_1 (f.session(), f.index, f.catalog, f.profile, error));
        ASSERT_TRUE (root.isValid()) << error;
        c.change (root, f);
        auto tree = fromJuce (root);
        ChainIdMap chainIds;
        juce::Array<PluginBinding> bindings;
        const bool bound = bindMainTopology (tree, f.session(), f.profile, f.index, f.catalog, chainIds, bindings, error);
        if (c.failsInBinding)
        {
            EXPECT_FALSE (bound);
            EXPECT_EQ (error, c.message);
            continue;
        }
        ASSERT_TRUE (bound) << error;
        EXPECT_FALSE (updateRepeatedState (tree, f.session(), chainIds, bindings, error));
        EXPECT_EQ (error, c.message);
    }
}

TEST (LiveProfessorWriter, StableIdsRefuseWhatTheyCannotEncodeOrWouldCollideWith)
{
    Fixture f;
    ChainIdMap chainIds;
    juce::Array<PluginBinding> bindings;
    String error;
    const auto tree = f.boundTree (chainIds, bindings, error);
    ASSERT_TRUE (isValidTree (tree)) << error;
    const auto root = toJuce (tree);

    auto session = f.session();
    session.strips.getReference (1).plugins.getReference (2).sidechainSource = 64;
    auto copy = bindings;
    auto work = tree;
    EXPECT_FALSE (remapPluginRuntimeIds (work, session, copy, error));
    EXPECT_EQ (error, "LiveProfessor stable runtime id cannot represent source location");

    session.strips.getReference (1).plugins.getReference (2).sidechainSource = 63;
    copy = bindings;
    work = tree;
    ASSERT_TRUE (remapPluginRuntimeIds (work, session, copy, error)) << error;
    EXPECT_EQ (copy[1].runtimeId & 127, 64);

    // The stable id already stands in the tree as some other value.
    auto colliding = root.createCopy();
    colliding.getChildWithName ("GlobalSnapshots").setProperty ("Stray", juce::var (makeStableRuntimeId (0, 0, -1)), nullptr);
    copy = bindings;
    work = fromJuce (colliding);
    EXPECT_FALSE (remapPluginRuntimeIds (work, f.session(), copy, error));
    EXPECT_EQ (error, "LiveProfessor stable runtime id collides with template state");

    // A reference the replacement does not know would keep the old id alive.
    auto unmodelled = root.createCopy();
    unmodelled.getChildWithName ("TempoAndSync").setProperty ("Link", juce::var ((int) internalPluginRuntimeId (0, 0)), nullptr);
    copy = bindings;
    work = fromJuce (unmodelled);
    EXPECT_FALSE (remapPluginRuntimeIds (work, f.session(), copy, error));
    EXPECT_EQ (error, "LiveProfessor plugin runtime id has an unmodelled native reference");
}

TEST (LiveProfessorWriter, RefusesWithoutLeavingAnythingBehind)
{
    struct Case
    {
        const char* name;
        std::function<void (Fixture&, juce::File& output, juce::File& templateFile)> setUp;
        String message; // empty: starts with the output path refusal
    };
    const Case cases[] = {
        { "existing file", [] (Fixture& f, juce::File& out, juce::File&) { out = f.temp.file ("show.rack2"); out.replaceWithText ("x"); }, {} },
        { "existing empty folder", [] (Fixture& f, juce::File& out, juce::File&) { out = f.temp.file ("show.rack2"); out.createDirectory(); }, {} },
        { "missing template", [] (Fixture& f, juce::File&, juce::File& t) { t = f.temp.file ("none.rack2"); },
          "LiveProfessor template file does not exist" },
        { "template that is no value tree",
          [] (Fixture& f, juce::File&, juce::File& t) { t = f.temp.file ("bad.rack2"); t.replaceWithText ("not a tree"); },
          "LiveProfessor template reader is not complete: ValueTree parse failed" },
        { "blocked preflight", [] (Fixture& f, juce::File&, juce::File&) { f.source.status = readPartial; },
          "RAPP preflight blocked LiveProfessor output" },
        { "reader refuses what the tree steps accept: a mono strip patched on rack channel 1",
          [] (Fixture& f, juce::File&, juce::File&) { f.session().strips.getReference (1).routePatches.add (RackPhysicalPatch { false, 1, 0 }); },
          "written LiveProfessor project failed converter reread validation" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        Fixture f;
        auto output = f.temp.file ("sub/show.rack2");
        juce::File templateFile;
        c.setUp (f, output, templateFile);
        const auto entries = f.folderEntries();
        const auto written = f.write (output, templateFile);
        EXPECT_FALSE (written.ok);
        if (c.message.isEmpty())
            EXPECT_EQ (written.error, "refusing to replace existing output: " + output.getFullPathName());
        else
            EXPECT_TRUE (written.error.startsWith (c.message)) << written.error;
        // Neither the temporary file nor the folder made for the output is left.
        EXPECT_EQ (f.folderEntries(), entries);
    }
}

//==============================================================================
TEST (LiveProfessorWriterTemplate, KeepsAMatchingTopologyAndRewritesItsStates)
{
    Fixture f;
    const auto templateFile = f.temp.file ("template.rack2");
    ASSERT_TRUE (f.write (templateFile).ok);
    const auto templateRoot = readTree (templateFile);

    auto& vox = f.session().strips.getReference (0);
    vox.outputGainDb = -12.0f;
    vox.soloed = true;
    vox.plugins.getReference (0).state.parameters = parameterState::encode ({ 0.5f, 0.125f }, 0);
    const auto output = f.temp.file ("show.rack2");
    const auto written = f.write (output, templateFile);
    ASSERT_TRUE (written.ok) << written.error;
    EXPECT_EQ (written.notes, juce::StringArray ({ "converter exact reread passed; LiveProfessor host load/DSP validation pending" }));

    const auto reread = readLiveProfessorRack2 (output);
    ASSERT_TRUE (reread.ok && reread.status == readComplete) << reread.error;
    EXPECT_EQ (compareRackSemantics (expectedOf (f), reread.session).summary(), "exact");

    const auto root = readTree (output);
    EXPECT_FALSE (root.getChildWithName ("VORNConverterMetadata").hasProperty ("nativeWriterProfile"));
    EXPECT_EQ (nodes (root, "VORNConverterMetadata").size(), 1);
    // The template's chains and their ids stay; the plug-in ids already were the stable ones.
    const auto chains = root.getChildWithName ("Chains");
    ASSERT_EQ (chains.getNumChildren(), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ (chains.getChild (i).getChildWithName ("ChainSettings").getChildWithName ("ProcessorSettingsContainer")
                       .getProperty ("id"),
                   templateRoot.getChildWithName ("Chains").getChild (i).getChildWithName ("ChainSettings")
                       .getChildWithName ("ProcessorSettingsContainer").getProperty ("id"));
    EXPECT_EQ (nodes (root, "plug")[0].getProperty ("id"), juce::var (makeStableRuntimeId (0, 0, -1)));
}

TEST (LiveProfessorWriterTemplate, SynthesisesEveryChainFromASinglePrototype)
{
    // A one-chain template with one plug-in, written for a one-strip session.
    Fixture single;
    single.session().strips.removeLast();
    single.profile.strips = 1;
    const auto templateFile = single.temp.file ("one.rack2");
    ASSERT_TRUE (single.write (templateFile).ok);

    Fixture f;
    f.session().strips.add (proven (vorntest::strip (2, "Keys", 2, 2)));
    auto& keys = f.session().strips.getReference (2);
    keys.plugins.add (Fixture::vst3Slot(), PluginRef(), PluginRef(), Fixture::vst3Slot());
    keys.routeOutL = 2;
    keys.routeOutR = 3;
    f.profile.strips = 3;
    // The prototype's own chain snapshot would recall its old plug-in in every synthesised chain.
    auto prototype = readTree (templateFile);
    auto chainSnapshot = ValueTree ("ChainSnapshot");
    chainSnapshot.setProperty ("Stale", juce::var ((juce::int64) 0x12345678), nullptr);
    prototype.getChildWithName ("Chains").getChild (0).getChildWithName ("ChainSnapshotList").appendChild (chainSnapshot, nullptr);
    const auto copied = f.temp.file ("one.rack2");
    ASSERT_TRUE (writeTree (prototype, copied));

    const auto output = f.temp.file ("show.rack2");
    const auto written = f.write (output, copied);
    ASSERT_TRUE (written.ok) << written.error;
    const auto reread = readLiveProfessorRack2 (output);
    ASSERT_TRUE (reread.ok && reread.status == readComplete) << reread.error;
    EXPECT_EQ (compareRackSemantics (expectedOf (f), reread.session).summary(), "exact");

    const auto root = readTree (output);
    const auto chains = root.getChildWithName ("Chains");
    ASSERT_EQ (chains.getNumChildren(), 3);
    const int expectedPlugs[] = { 1, 1, 2 };
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ (chains.getChild (i).getProperty ("ChainViewOrder"), juce::var (i));
        EXPECT_EQ (chains.getChild (i).getChildWithName ("ChainSettings").getChildWithName ("ProcessorOrder").getNumChildren(),
                   expectedPlugs[i]);
    }
    for (const auto& snapshot : nodes (root, "GlobalSnapshot"))
        EXPECT_EQ (snapshot.getChildWithName ("Chains").getNumChildren(), 3);
    EXPECT_FALSE (treeContainsNumericValue (fromJuce (root), 0x12345678));
    EXPECT_TRUE (nodes (root, "storedViewSetItem").isEmpty());
    EXPECT_TRUE (nodes (root, "WireViewNode").isEmpty());
}

TEST (LiveProfessorWriterTemplate, RefusesTemplatesItCannotProve)
{
    struct Case
    {
        String message;
        std::function<void (ValueTree&, Fixture&)> change;
    };
    const auto emptyFirstOrder = [] (ValueTree& root) {
        auto order = root.getChildWithName ("Chains").getChild (0).getChildWithName ("ChainSettings").getChildWithName ("ProcessorOrder");
        order.removeAllChildren (nullptr);
        root.getChildWithName ("Chains").getChild (0).getChildWithName ("ChainPlugins").removeAllChildren (nullptr);
        // A host-saved template carries no metadata for plug-ins it does not hold.
        root.removeChild (root.getChildWithName ("VORNConverterMetadata"), nullptr);
    };
    const Case cases[] = {
        // A MIDI point makes the template's own reading partial; the reader gives no error text,
        // only the note that made it partial.
        { "LiveProfessor template reader is not complete: routing.audioPatch - AudioPatch contains a non-main-bus or malformed graph point",
          [] (ValueTree& root, Fixture&) {
              // The live patch: the current snapshot's, after the clean one.
              auto outputs = nodes (root, "AudioPatch").getLast().getChild (0);
              auto point = ValueTree ("point");
              point.setProperty ("outputNodeId", outputs.getProperty ("nodeId"), nullptr);
              point.setProperty ("outputChannelId", outputs.getProperty ("channelId"), nullptr);
              point.setProperty ("inputNodeId", juce::var ((juce::int64) 2), nullptr);
              point.setProperty ("inputChannelId", 0, nullptr);
              point.setProperty ("isMidi", true, nullptr);
              outputs.appendChild (point, nullptr);
          } },
        { "LiveProfessor variable topology prototype must contain a plugin",
          [&] (ValueTree& root, Fixture& f) {
              // Two chains for one strip: the chains are rebuilt from the first one, which has no plug-in.
              emptyFirstOrder (root);
              f.session().strips.removeLast();
              f.profile.strips = 1;
          } },
        { "LiveProfessor variable topology snapshot has no prototype",
          [&] (ValueTree& root, Fixture& f) {
              // The snapshot's chains have no plug to repeat while the session holds plug-ins.
              f.session().strips.removeLast();
              f.profile.strips = 1;
              for (auto snapshot : nodes (root, "GlobalSnapshot"))
                  snapshot.getChildWithName ("Chains").getChild (0).getChildWithName ("ProcessorOrder").removeAllChildren (nullptr);
          } },
        { "LiveProfessor template/profile/source plugin topology mismatch at strip 0",
          [&] (ValueTree& root, Fixture&) { emptyFirstOrder (root); } },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.message);
        Fixture f;
        const auto original = f.temp.file ("written.rack2");
        ASSERT_TRUE (f.write (original).ok);
        auto root = readTree (original);
        c.change (root, f);
        const auto templateFile = f.temp.file ("template.rack2");
        ASSERT_TRUE (writeTree (root, templateFile));
        const auto entries = f.folderEntries();
        const auto written = f.write (f.temp.file ("show.rack2"), templateFile);
        EXPECT_FALSE (written.ok);
        EXPECT_EQ (written.error, c.message);
        EXPECT_EQ (f.folderEntries(), entries);
    }
}

namespace
{

// The Assignments list of the project's controller map.
ValueTree assignments (const ValueTree& root)
{
    return root.getChildWithName ("HardwareControllers").getChildWithName ("HardwareCtrlMaps")
        .getChildWithName ("HardwareCtrlMap").getChildWithName ("Assignments");
}

ValueTree assignment (const String& controllable)
{
    ValueTree node ("Assignment");
    node.setProperty ("ControllableId", controllable, nullptr);
    node.setProperty ("ParameterIndex", 3, nullptr);
    return node;
}

juce::StringArray controllables (const ValueTree& tree)
{
    juce::StringArray ids;
    if (tree.hasProperty ("ControllableId"))
        ids.add (tree.getProperty ("ControllableId").toString());
    for (const auto& child : tree)
        ids.addArray (controllables (child));
    return ids;
}

} // namespace

TEST (LiveProfessorWriterTemplate, ChecksEveryBoundPluginAgainstTheCurrentList)
{
    // A template whose chains match the session keeps its plug-ins; each must still be the one
    // LiveProfessor's list holds now, installed, under the type id the list gives it.
    struct Case
    {
        const char* what;
        std::function<void (Fixture&)> change;
    };
    const Case cases[] = {
        { "the class was installed again in another bundle",
          [] (Fixture& f) {
              const auto moved = f.temp.file ("Moved/Eq.vst3");
              ASSERT_TRUE (moved.createDirectory());
              f.index.entries.getReference (0).bundle = moved;
              auto& entry = f.catalog.entries.getReference (0);
              entry.file = moved.getFullPathName();
              entry.bundle = moved;
              entry.identifier = liveProfessorPluginIdentifier ("VST3", entry.name, entry.file, entry.uniqueId);
          } },
        { "the bundle the list names is gone", [] (Fixture& f) { ASSERT_TRUE (f.temp.file ("Eq.vst3").deleteRecursively()); } },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        Fixture f;
        const auto templateFile = f.temp.file ("template.rack2");
        ASSERT_TRUE (f.write (templateFile).ok);
        c.change (f);
        const auto written = f.write (f.temp.file ("show.rack2"), templateFile);
        EXPECT_FALSE (written.ok);
        EXPECT_EQ (written.error, "LiveProfessor generated plugin identity is unavailable at strip 0, slot 0");
        EXPECT_FALSE (f.temp.file ("show.rack2").exists());
    }
}

TEST (LiveProfessorWriterTemplate, DropsControllerAssignmentsWhoseProcessorIsGone)
{
    // A two-chain template written for a one-strip session: the chains are rebuilt from the first
    // one, so the second chain and its AudioUnit are gone; the first chain and its VST3 come back
    // under the same ids.
    Fixture f;
    const auto original = f.temp.file ("two.rack2");
    ASSERT_TRUE (f.write (original).ok);
    const auto chain0 = "Processor" + String (chainRuntimeId (0));
    const auto chain1 = "Processor" + String (chainRuntimeId (1));
    const auto vst3 = "Processor" + String (makeStableRuntimeId (0, 0, -1));
    const auto au = "Processor" + String (makeStableRuntimeId (1, 2, 0));
    auto root = readTree (original);
    auto list = assignments (root);
    for (const auto& id : { chain0, chain1, vst3, au, String ("Processor1"), String ("Tempo") })
        list.appendChild (assignment (id), nullptr);
    // Anywhere in the tree, however deep: the node that holds a dangling ControllableId goes.
    auto group = ValueTree ("AssignmentGroup");
    group.appendChild (assignment (chain1), nullptr);
    root.getChildWithName ("uiComp").appendChild (group, nullptr);
    const auto templateFile = f.temp.file ("template.rack2");
    ASSERT_TRUE (writeTree (root, templateFile));

    // Written for the session the template was made from, the chains stay and so does every
    // assignment.
    const auto same = f.write (f.temp.file ("same.rack2"), templateFile);
    ASSERT_TRUE (same.ok) << same.error;
    EXPECT_EQ (same.notes, juce::StringArray ({ "converter exact reread passed; LiveProfessor host load/DSP validation pending" }));
    EXPECT_EQ (controllables (readTree (f.temp.file ("same.rack2"))),
               juce::StringArray (chain0, chain1, vst3, au, "Processor1", "Tempo", chain1));

    f.session().strips.removeLast();
    f.profile.strips = 1;
    const auto output = f.temp.file ("show.rack2");
    const auto written = f.write (output, templateFile);
    ASSERT_TRUE (written.ok) << written.error;
    EXPECT_EQ (written.notes, juce::StringArray ("converter exact reread passed; LiveProfessor host load/DSP validation pending",
                                                 "3" + String::fromUTF8 (u8" LiveProfessor controller assignment는 출력에 없는 processor를 가리켜 제거했다")));
    const auto result = readTree (output);
    EXPECT_EQ (controllables (result), juce::StringArray (chain0, vst3, "Processor1", "Tempo"));
    EXPECT_EQ (assignments (result).getNumChildren(), 4);
    EXPECT_EQ (result.getChildWithName ("uiComp").getChildWithName ("AssignmentGroup").getNumChildren(), 0);
}

// A plug-in whose host-made runtime id is replaced by a stable one is still there: the
// assignments that control it follow it to its new id, and nothing else changes.
TEST (LiveProfessorWriterTemplate, ControllerAssignmentsFollowARenamedPlugin)
{
    Fixture f;
    ChainIdMap chainIds;
    juce::Array<PluginBinding> bindings;
    String error;
    const auto tree = f.boundTree (chainIds, bindings, error);
    ASSERT_TRUE (isValidTree (tree)) << error;
    auto root = toJuce (tree);
    const auto before = "Processor" + String (internalPluginRuntimeId (0, 0));
    auto holder = ValueTree ("Assignments");
    for (const auto& id : { before, String ("Processor1"), String ("Tempo") })
        holder.appendChild (assignment (id), nullptr);
    root.appendChild (holder, nullptr);

    auto work = fromJuce (root);
    auto copy = bindings;
    ASSERT_TRUE (remapPluginRuntimeIds (work, f.session(), copy, error)) << error;
    EXPECT_EQ (controllables (toJuce (work)),
               juce::StringArray ("Processor" + String (makeStableRuntimeId (0, 0, -1)), "Processor1", "Tempo"));
}

namespace
{

// A template: the fixture's own project, changed as a host or a user might have changed it.
juce::File templateFrom (Fixture& f, const std::function<void (ValueTree&)>& change)
{
    const auto written = f.temp.file ("written.rack2");
    if (! written.existsAsFile())
        EXPECT_TRUE (f.write (written).ok);
    auto root = readTree (written);
    change (root);
    const auto file = f.temp.file ("template.rack2");
    file.deleteFile();
    EXPECT_TRUE (writeTree (root, file));
    return file;
}

} // namespace

TEST (LiveProfessorWriter, TheCheckGivesTheWritersRefusalBeforeAnyOutput)
{
    struct Case
    {
        const char* what;
        std::function<void (Fixture&, juce::File& templateFile)> setUp;
    };
    const auto keys = [] (Fixture& f) {
        f.session().strips.add (proven (vorntest::strip (2, "Keys", 2, 2)));
        auto& strip = f.session().strips.getReference (2);
        strip.plugins.add (Fixture::vst3Slot(), PluginRef(), PluginRef(), Fixture::vst3Slot());
        strip.routeOutL = 2;
        strip.routeOutR = 3;
        f.profile.strips = 3;
    };
    const Case cases[] = {
        { "blocked preflight", [] (Fixture& f, juce::File&) { f.source.status = readPartial; } },
        { "missing template", [] (Fixture& f, juce::File& t) { t = f.temp.file ("none.rack2"); } },
        { "template that is no value tree", [] (Fixture& f, juce::File& t) { t = f.temp.file ("bad.rack2"); t.replaceWithText ("x"); } },
        { "template whose own reading is partial",
          [] (Fixture& f, juce::File& t) {
              t = templateFrom (f, [] (ValueTree& root) {
                  root.getChildWithName ("GlobalSnapshots").appendChild (ValueTree ("GlobalSnapshot"), nullptr);
              });
          } },
        { "template without device settings",
          [] (Fixture& f, juce::File& t) {
              t = templateFrom (f, [] (ValueTree& root) { root.removeChild (root.getChildWithName ("AudioMidiHardware"), nullptr); });
          } },
        { "profile strips other than the session's, built-in", [] (Fixture& f, juce::File&) { f.profile.strips = 3; } },
        { "profile strips other than the session's, template",
          [] (Fixture& f, juce::File& t) { t = templateFrom (f, [] (ValueTree&) {}); f.profile.strips = 3; } },
        { "no host-verified class without a template",
          [] (Fixture& f, juce::File&) {
              const String cid = "00000000000000000000000000000001";
              const auto bundle = f.temp.file ("Odd.vst3");
              bundle.createDirectory();
              Vst3ModuleEntry module = f.index.entries.getReference (0);
              module.classId = cid;
              module.name = "Odd EQ";
              module.bundle = bundle;
              module.uniqueId = deriveUniqueId (cid);
              module.uid = deriveUid (cid);
              f.index.entries.add (module);
              auto entry = f.catalog.entries.getReference (0);
              entry.name = "Odd EQ";
              entry.file = bundle.getFullPathName();
              entry.bundle = bundle;
              entry.uniqueId = module.uniqueId;
              entry.uid = module.uid;
              entry.identifier = liveProfessorPluginIdentifier ("VST3", entry.name, entry.file, entry.uniqueId);
              f.catalog.entries.add (entry);
              auto& slot = f.session().strips.getReference (0).plugins.getReference (0);
              slot.name = "Odd EQ";
              slot.classId = cid;
              slot.uniqueId = module.uniqueId;
          } },
        { "a catalog bundle that is not installed, built-in",
          [] (Fixture& f, juce::File&) { f.temp.file ("Eq.vst3").deleteRecursively(); } },
        { "a catalog bundle that is not installed, template",
          [] (Fixture& f, juce::File& t) { t = templateFrom (f, [] (ValueTree&) {}); f.temp.file ("Eq.vst3").deleteRecursively(); } },
        { "no complete parameter mirror",
          [] (Fixture& f, juce::File&) { f.session().strips.getReference (0).plugins.getReference (0).state.parameterMirrorComplete = false; } },
        { "a prototype chain without a plug-in",
          [=] (Fixture& f, juce::File& t) {
              t = templateFrom (f, [] (ValueTree& root) {
                  auto chain = root.getChildWithName ("Chains").getChild (0);
                  chain.getChildWithName ("ChainSettings").getChildWithName ("ProcessorOrder").removeAllChildren (nullptr);
                  chain.getChildWithName ("ChainPlugins").removeAllChildren (nullptr);
                  root.removeChild (root.getChildWithName ("VORNConverterMetadata"), nullptr);
              });
              keys (f);
          } },
        { "a template plug-in of another name",
          [] (Fixture& f, juce::File& t) {
              t = templateFrom (f, [] (ValueTree& root) {
                  root.getChildWithName ("Chains").getChild (0).getChildWithName ("ChainPlugins").getChild (0)
                      .setProperty ("pluginTypeName", "Other EQ", nullptr);
              });
          } },
        { "an unmodelled point in the template",
          [] (Fixture& f, juce::File& t) {
              t = templateFrom (f, [] (ValueTree& root) {
                  auto outputs = root.getChildWithName ("GlobalSnapshots").getChild (0).getChildWithName ("AudioPatch").getChild (0);
                  ValueTree point ("point");
                  point.setProperty ("outputNodeId", outputs.getProperty ("nodeId"), nullptr);
                  point.setProperty ("outputChannelId", outputs.getProperty ("channelId"), nullptr);
                  point.setProperty ("inputNodeId", juce::var ((juce::int64) 2), nullptr);
                  point.setProperty ("inputChannelId", 7, nullptr);
                  point.setProperty ("isMidi", true, nullptr);
                  outputs.appendChild (point, nullptr);
              });
          } },
        { "a stable id that collides with template state",
          [=] (Fixture& f, juce::File& t) {
              t = templateFrom (f, [] (ValueTree& root) {
                  root.getChildWithName ("TempoAndSync").setProperty ("Stray", juce::var (makeStableRuntimeId (2, 3, -1)), nullptr);
              });
              keys (f);
          } },
        { "a read-back that refuses what the tree steps accept",
          [] (Fixture& f, juce::File&) { f.session().strips.getReference (1).routePatches.add (RackPhysicalPatch { false, 1, 0 }); } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        Fixture f;
        juce::File templateFile;
        c.setUp (f, templateFile);
        const auto entries = f.folderEntries();
        const auto checked = f.check (templateFile);
        EXPECT_EQ (f.folderEntries(), entries);
        const auto written = f.write (f.temp.file ("out/show.rack2"), templateFile);
        EXPECT_FALSE (written.ok);
        EXPECT_FALSE (checked.ok);
        EXPECT_TRUE (checked.error.isNotEmpty());
        EXPECT_EQ (checked.error, written.error);
        // A read-back that is refused says why.
        if (juce::String (c.what).startsWith ("a read-back"))
            EXPECT_EQ (written.error, "written LiveProfessor project failed converter reread validation: routing.audioPatch - "
                                      "AudioPatch contains a non-main-bus or malformed graph point");
    }

    // Where the writer writes, the check allows, and neither says anything else.
    Fixture f;
    const auto checked = f.check();
    EXPECT_TRUE (checked.ok) << checked.error;
    EXPECT_TRUE (checked.error.isEmpty());
    EXPECT_TRUE (f.write (f.temp.file ("show.rack2")).ok);
    const auto withTemplate = f.check (f.temp.file ("show.rack2"));
    EXPECT_TRUE (withTemplate.ok) << withTemplate.error;
}

TEST (LiveProfessorWriterTemplate, TemplatesThatNestWhatTheWriterRebuildsAreVisitedSafely)
{
    // Patches and snapshots found inside parts of the tree that the writer replaces are still
    // visited in order (as JUCE visits a removed node), never after they are gone.
    const auto nestPatch = [] (ValueTree& root) {
        auto live = root.getChildWithName ("GlobalSnapshot").getChildWithName ("AudioPatch");
        live.getChild (0).getChild (0).appendChild (ValueTree ("AudioPatch"), nullptr);
        auto midi = root.getChildWithName ("GlobalSnapshot").getChildWithName ("MidiPatch");
        midi.getChild (0).appendChild (ValueTree ("MidiPatch"), nullptr);
    };
    struct Case
    {
        const char* what;
        std::function<void (ValueTree&)> change;
        bool synthesise;
        String error;   // empty: written
    };
    const Case cases[] = {
        { "a patch inside a live point, chains kept", nestPatch, false, {} },
        { "a patch inside a live point, chains rebuilt", nestPatch, true, {} },
        { "a snapshot inside the clean snapshot's plug-in list, chains rebuilt",
          [] (ValueTree& root) {
              root.getChildWithName ("GlobalSnapshots").getChild (0).getChildWithName ("Plugins")
                  .appendChild (ValueTree ("GlobalSnapshot"), nullptr);
          },
          true, "LiveProfessor variable topology snapshot has no prototype" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        Fixture f;
        const auto templateFile = templateFrom (f, c.change);
        if (c.synthesise)
        {
            f.session().strips.add (proven (vorntest::strip (2, "Keys", 2, 2)));
            f.session().strips.getReference (2).plugins.add (Fixture::vst3Slot());
            f.profile.strips = 3;
        }
        const auto output = f.temp.file ("show.rack2");
        const auto written = f.write (output, templateFile);
        if (c.error.isNotEmpty())
        {
            EXPECT_FALSE (written.ok);
            EXPECT_EQ (written.error, c.error);
            continue;
        }
        ASSERT_TRUE (written.ok) << written.error;
        const auto reread = readLiveProfessorRack2 (output);
        EXPECT_TRUE (reread.ok && reread.status == readComplete) << reread.error;
        // The live patch holds the session's points only; whatever was inside its old points is gone.
        EXPECT_EQ (nodes (readTree (output).getChildWithName ("GlobalSnapshot").getChildWithName ("AudioPatch"), "AudioPatch").size(), 1);
    }
}
