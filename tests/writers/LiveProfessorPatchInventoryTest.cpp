#include "readers/ValueTreeReader.h"
#include "writers/LiveProfessorRack2WriterInternal.h"

#include "LiveProfessorTreeText.h"
#include "RackBuilders.h"
#include "ValueTreeBridge.h"

#include <gtest/gtest.h>

#include <limits>

using namespace vornconv;
using namespace vornconv::rapp::liveProfessorWriter;
using juce::int64;
using juce::String;
using juce::ValueTree;
using vorntest::describe;
using vorntest::describeTree;
using vorntest::fromJuce;
using vorntest::toJuce;

namespace
{

const int64 chain0 = 0xAC720000;
const int64 chain1 = 0xAC720001;

ValueTree outputs (const juce::var& nodeId, const juce::var& channelId)
{
    return ValueTree ("outputs", { { "nodeId", nodeId }, { "channelId", channelId } });
}

ValueTree withChild (ValueTree parent, const ValueTree& child)
{
    parent.appendChild (child, nullptr);
    return parent;
}

RackPhysicalPatch patch (bool isInput, int rack, int physical)
{
    RackPhysicalPatch p;
    p.isInput = isInput;
    p.rackChannel = rack;
    p.physicalChannel = physical;
    return p;
}

// An audio patch with a connected output, a duplicate and a hostile number, and a MIDI patch
// with host nodes, an unknown node and a stale chain.
ValueTree snapshotWithPatches (const char* type)
{
    ValueTree snapshot (type);
    ValueTree audio ("AudioPatch");
    audio.appendChild (withChild (outputs ((int64) 1, (int64) 0),
                                  ValueTree ("point", { { "outputNodeId", (int64) 1 }, { "outputChannelId", (int64) 0 },
                                                        { "inputNodeId", chain0 }, { "inputChannelId", (int64) 0 },
                                                        { "isMidi", false } })),
                       nullptr);
    audio.appendChild (outputs ((int64) 1, (int64) 0), nullptr);
    audio.appendChild (outputs (1.0e300, std::numeric_limits<double>::quiet_NaN()), nullptr);
    snapshot.appendChild (audio, nullptr);

    ValueTree midi ("MidiPatch");
    for (const juce::var id : { juce::var ((int64) 1), juce::var ((int64) 2), juce::var ((int64) 7),
                                juce::var ((int64) 158), juce::var ((int64) 0xAC720009), juce::var ("159"),
                                juce::var (1.0e300) })
        midi.appendChild (outputs (id, 4096), nullptr);
    snapshot.appendChild (midi, nullptr);
    return snapshot;
}

TEST (LiveProfessorPatchInventory, RebuildListsUsedInputsAndEveryChainOutputInEachPatch)
{
    ValueTree root ("LiveProfessorProjectFile");
    root.appendChild (withChild (ValueTree ("GlobalSnapshots"), snapshotWithPatches ("GlobalSnapshot")), nullptr);
    root.appendChild (snapshotWithPatches ("GlobalSnapshot"), nullptr);

    RackSession session;
    // Explicit patches win over the summary route; strip 1 is mono, so its R input route is not
    // used, and it shares physical input 4 with strip 0.
    auto s0 = vorntest::strip (0, {}, 2, 2);
    s0.routeInL = 9;
    s0.routePatches.add (patch (true, 0, 4), patch (true, 1, 5), patch (false, 0, 0));
    auto s1 = vorntest::strip (1, {}, 1, 1);
    s1.routeInL = 4;
    s1.routeInR = 9;
    session.strips.add (s0, s1);

    auto tree = fromJuce (root);
    rebuildPatchInventories (tree, session);
    root = toJuce (tree);

    const String audio = "AudioPatch\n"
                         " outputs nodeId:l=1 channelId:i=4\n"
                         " outputs nodeId:l=1 channelId:i=5\n"
                         " outputs nodeId:l=2893152256 channelId:i=0\n"
                         " outputs nodeId:l=2893152256 channelId:i=1\n"
                         " outputs nodeId:l=2893152257 channelId:i=0\n";
    const String midi = "MidiPatch\n"
                        " outputs nodeId:l=1 channelId:i=4096\n"
                        " outputs nodeId:l=2 channelId:i=4096\n"
                        " outputs nodeId:l=158 channelId:i=4096\n"
                        " outputs nodeId:l=2893152256 channelId:i=4096\n"
                        " outputs nodeId:l=2893152257 channelId:i=4096\n";
    for (const auto& snapshot : { root.getChild (0).getChild (0), root.getChild (1) })
    {
        EXPECT_EQ (describeTree (snapshot.getChildWithName ("AudioPatch")), audio);
        EXPECT_EQ (describeTree (snapshot.getChildWithName ("MidiPatch")), midi);
    }

    juce::MemoryOutputStream stream;
    ASSERT_TRUE (writeValueTree (tree, stream));
    TreeNode back;
    String error;
    ASSERT_TRUE (readValueTreeBytes (stream.getData(), stream.getDataSize(), back, error)) << error;
    EXPECT_EQ (describeTree (toJuce (back)), describeTree (root));
}

TEST (LiveProfessorPatchInventory, RebuildStaysBoundedForAnImpossibleChannelCount)
{
    ValueTree root ("LiveProfessorProjectFile");
    root.appendChild (ValueTree ("AudioPatch"), nullptr);
    RackSession session;
    session.strips.add (vorntest::strip (0, {}, 2, std::numeric_limits<int>::max()));
    auto tree = fromJuce (root);
    rebuildPatchInventories (tree, session);
    const auto audio = toJuce (tree).getChild (0);
    ASSERT_EQ (audio.getNumChildren(), 128);
    EXPECT_EQ (describe (audio.getChild (127)), "outputs nodeId:l=2893152256 channelId:i=127");
}

TEST (LiveProfessorPatchInventory, SourcePatchesPreferExplicitPatchesOverSummaryRoutes)
{
    using Set = std::set<SourcePatch>;
    auto explicitPatches = vorntest::strip (0, {}, 2, 2);
    explicitPatches.routeInL = 7;
    explicitPatches.routePatches.add (patch (false, 0, 3), patch (true, 1, 5), patch (true, 1, 5), patch (true, 0, -1));

    auto monoSummary = vorntest::strip (0, {}, 1, 2);
    monoSummary.routeInL = 4;
    monoSummary.routeInR = 9;
    monoSummary.routeOutL = 1;
    monoSummary.routeOutR = 2;

    auto unpatchedPatches = vorntest::strip (0, {}, 2, 1);
    unpatchedPatches.routePatches.add (patch (true, 0, -1));
    unpatchedPatches.routeInL = 3;
    unpatchedPatches.routeOutR = 6;

    const std::pair<RackStrip, Set> cases[] = {
        { explicitPatches, Set { { 0, 0, 3 }, { 1, 1, 5 } } },
        { monoSummary, Set { { 1, 0, 4 }, { 0, 0, 1 }, { 0, 1, 2 } } },
        { unpatchedPatches, Set { { 1, 0, 3 } } },
        { vorntest::strip (0, {}, 2, 2), Set {} },
    };
    for (const auto& [s, expected] : cases)
        EXPECT_EQ (sourcePatches (s), expected);
}

TEST (LiveProfessorPatchInventory, FindOutputsAndTheOutputCheckAgreeOnUniqueEntries)
{
    ValueTree audio ("AudioPatch");
    audio.appendChild (outputs ((int64) 1, 0), nullptr);
    audio.appendChild (outputs ((int64) 1, 0), nullptr);
    const auto chainEntry = withChild (outputs (chain0, (int64) 1), ValueTree ("point"));
    audio.appendChild (chainEntry, nullptr);
    audio.appendChild (outputs (1.0e300, std::numeric_limits<double>::infinity()), nullptr);
    // Same numbers on another node type, and a channel beyond 32 bits: neither is an entry for
    // (chain1, 0).
    audio.appendChild (ValueTree ("point", { { "nodeId", chain1 }, { "channelId", 0 } }), nullptr);
    audio.appendChild (outputs (chain1, (int64) 1 << 32), nullptr);
    auto tree = fromJuce (audio);

    EXPECT_EQ (findOutputs (tree, 1, 0), nullptr);
    EXPECT_EQ (findOutputs (tree, chain0, 1), &tree.children[2]);
    EXPECT_EQ (describeTree (toJuce (*findOutputs (tree, chain0, 1))), describeTree (chainEntry));
    EXPECT_EQ (findOutputs (tree, chain1, 0), nullptr);

    String error;
    EXPECT_FALSE (ensureAudioPatchOutput (&tree, 1, 0, error));
    EXPECT_EQ (error, "LiveProfessor template AudioPatch has duplicate output inventory");

    const auto before = tree.children.size();
    error.clear();
    EXPECT_TRUE (ensureAudioPatchOutput (&tree, chain0, 1, error));
    EXPECT_EQ (tree.children.size(), before);
    EXPECT_TRUE (ensureAudioPatchOutput (&tree, chain1, 0, error));
    ASSERT_EQ (tree.children.size(), before + 1);
    const auto& added = tree.children[before];
    EXPECT_EQ (describeTree (toJuce (added)), "outputs nodeId:l=2893152257 channelId:i=0\n");
    EXPECT_EQ (findOutputs (tree, chain1, 0), &added);
    EXPECT_TRUE (error.isEmpty());

    EXPECT_FALSE (ensureAudioPatchOutput (nullptr, chain1, 0, error));
    EXPECT_FALSE (error.isEmpty());
}

TEST (LiveProfessorPatchInventory, UpdateProcessorStateSetsOnlyWhatExists)
{
    const auto node = [] (std::initializer_list<juce::NamedValueSet::NamedValue> properties) {
        return withChild (ValueTree ("ProcessorSettingsContainer"), ValueTree ("processorState", properties));
    };
    struct Case
    {
        ValueTree node;
        bool ok;
        String after;
    };
    const Case cases[] = {
        { node ({ { "enabled", true }, { "bypassed", false }, { "isolate", false }, { "audioMute", false },
                  { "inputGain", 1 }, { "outputGain", 1.0 } }),
          true, "processorState enabled:b=0 bypassed:b=1 isolate:b=1 audioMute:b=1 inputGain:d=0.5 outputGain:d=2.0" },
        { node ({ { "audioMute", false }, { "bypassed", false }, { "enabled", true }, { "outputGain", 1.0 } }),
          true, "processorState audioMute:b=1 bypassed:b=1 enabled:b=0 outputGain:d=2.0" },
        { node ({ { "enabled", true }, { "bypassed", false }, { "isolate", false }, { "inputGain", 1.0 } }),
          false, "processorState enabled:b=1 bypassed:b=0 isolate:b=0 inputGain:d=1.0" },
        { ValueTree ("ProcessorSettingsContainer"), false, {} },
    };
    for (const auto& c : cases)
    {
        auto tree = fromJuce (c.node);
        EXPECT_EQ (updateProcessorState (tree, false, true, true, true, 0.5f, 2.0f), c.ok);
        const auto node = toJuce (tree);
        if (c.after.isNotEmpty())
            EXPECT_EQ (describe (node.getChildWithName ("processorState")), c.after);
        else
            EXPECT_EQ (node.getNumChildren(), 0);
    }
}

TEST (LiveProfessorPatchInventory, IsJuceHexIdAcceptsOneToEightNonZeroAsciiHexDigits)
{
    const std::pair<const char*, bool> cases[] = {
        { "1A2b", true }, { "00000001", true }, { "ffffffff", true }, { "abcdef0", true },
        { "", false }, { "0", false }, { "00000000", false }, { "123456789", false }, { "12G4", false },
        { "1 2", false }, { "-1", false }, { "\xef\xbc\x91", false } /* a full-width digit one */,
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ (isJuceHexId (String::fromUTF8 (text)), expected) << text;
}

TEST (LiveProfessorRuntimeIds, ReplacementRewritesOnlyIntegerPluginReferences)
{
    const int64 oldId = 0x5A000102;
    const int64 newId = 0xAC710000 + 1024 + 2 * 128;

    ValueTree root ("LiveProfessorProjectFile");
    ValueTree nest ("Unlisted");   // children of other node types are searched too
    nest.appendChild (ValueTree ("plug", { { "id", (int) oldId }, { "type", "x" } }), nullptr);
    nest.appendChild (ValueTree ("plug", { { "id", String (oldId) } }), nullptr);
    root.appendChild (nest, nullptr);
    auto plugin = ValueTree ("Plugin", { { "pluginUid", oldId }, { "PluginId", (int) oldId }, { "other", oldId } });
    plugin.appendChild (ValueTree ("ProcessorSettingsContainer", { { "name", "" }, { "id", oldId } }), nullptr);
    auto payload = withChild (ValueTree ("Plugin"), ValueTree ("PluginSnapshot", { { "SnapshotIdTag", oldId } }));
    payload.appendChild (ValueTree ("PluginSnapshot", { { "SnapshotIdTag", (double) oldId } }), nullptr);
    plugin.appendChild (payload, nullptr);
    root.appendChild (plugin, nullptr);
    root.appendChild (ValueTree ("storedViewSetItem", { { "storedViewSetItemPluginId", (int) oldId } }), nullptr);
    auto tree = fromJuce (root);

    EXPECT_TRUE (treeContainsNumericValue (tree, oldId));
    EXPECT_FALSE (treeContainsNumericValue (tree, newId));

    RuntimeIdReplacementCounts counts;
    replaceRuntimeIdReferences (tree, oldId, newId, counts);
    EXPECT_EQ (counts.plug, 1);
    EXPECT_EQ (counts.plugin, 2);
    EXPECT_EQ (counts.processorSettings, 1);
    EXPECT_EQ (counts.snapshot, 1);

    const String n = String (newId), o = String (oldId);
    EXPECT_EQ (describeTree (toJuce (tree)),
               "LiveProfessorProjectFile\n"
               " Unlisted\n"
               "  plug id:l=" + n + " type:s=x\n"
               "  plug id:s=" + o + "\n"
               " Plugin pluginUid:l=" + n + " PluginId:l=" + n + " other:l=" + o + "\n"
               "  ProcessorSettingsContainer name:s= id:l=" + n + "\n"
               "  Plugin\n"
               "   PluginSnapshot SnapshotIdTag:l=" + n + "\n"
               "   PluginSnapshot SnapshotIdTag:d=" + juce::var ((double) oldId).toString() + "\n"
               " storedViewSetItem storedViewSetItemPluginId:l=" + n + "\n");

    // Only the unrelated `other` property still holds the old id as an integer; the double and
    // the text copies are never numeric references.
    EXPECT_TRUE (treeContainsNumericValue (tree, oldId));
    ASSERT_EQ (tree.children[1].type, "Plugin");
    removeProperty (tree.children[1], "other");
    EXPECT_FALSE (treeContainsNumericValue (tree, oldId));
    EXPECT_TRUE (treeContainsNumericValue (tree, newId));
}

} // namespace
