#pragma once

#include "model/RackModel.h"
#include "rapp/LiveProfessorPluginCatalog.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/Vst3ModuleIndex.h"
#include "readers/LiveProfessorRack2Reader.h"
#include "readers/ValueTreeReader.h"

#include <juce_core/juce_core.h>

#include <map>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

// The tree steps of the LiveProfessor 2 project writer: the built-in native project profile,
// the node makers the template path shares with it, and the routines that rebuild patch
// inventories and rewrite plug-in runtime ids. Only the writer itself (and its tests) call them.
// Each step lives in a file of its own, named in the heading of its section below; the writer
// (LiveProfessorRack2Writer.cpp) runs them in order.
//
// Property kinds are part of a .rack2 file (the value-tree stream records each value's kind),
// so every id below is stored as an int64 even where it would fit in 32 bits.
//
// The tree is the plain TreeNode of the value-tree reader. A node's address stays as it is while
// nodes are added to or removed from other nodes' child lists; only the direct children of a list
// that grows or shrinks move. The steps below hold on to nodes only where that cannot happen.
namespace vornconv::rapp::liveProfessorWriter
{

//==============================================================================
// Tree editing every step shares: inline here, or defined beside the step that needs it first
// (setBytes and collectNodes with the node makers, readProperty with the patch inventories,
// removeNodesOfType, removeAllChildren and the strip look-ups with the topology)

// The host's own nodes: hardware input, hardware output and three further host nodes.
inline constexpr juce::int64 fixedHostNodeIds[] = { 1, 2, 158, 159, 160 };

inline juce::var int64Value (juce::int64 value) { return juce::var (value); }

inline TreeNode makeNode (const char* type) { return TreeNode { type, {}, {} }; }

inline void set (TreeNode& node, std::string_view name, juce::var value) { setProperty (node, name, std::move (value)); }

// An empty block over an empty block is left as it is, as JUCE leaves a value it is set to again.
void setBytes (TreeNode& node, std::string_view name, const juce::MemoryBlock& bytes);

inline void append (TreeNode& parent, TreeNode child) { parent.children.push_back (std::move (child)); }

// Appending to a node that is not there does nothing, as with JUCE's invalid trees.
inline void appendIfPresent (TreeNode* parent, TreeNode child)
{
    if (parent != nullptr)
        append (*parent, std::move (child));
}

inline bool isIntegerValue (const juce::var& value) { return value.isInt() || value.isInt64(); }

// The property read as int64; false when the node lacks it or it is no number. A number is read
// as JUCE would, but without its undefined conversions: a double must be finite and in range, and
// a text (which JUCE would parse without overflow checks) is no number.
bool readProperty (const TreeNode& node, std::string_view name, juce::int64& out);

inline bool fails (juce::String& error, const juce::String& message)
{
    error = message;
    return false;
}

// Depth-first pre-order, the tree itself included.
void collectNodes (const TreeNode& tree, std::string_view type, std::vector<const TreeNode*>& out);
void collectNodes (TreeNode& tree, std::string_view type, std::vector<TreeNode*>& out);

// Removes every node of the type anywhere below tree, with its subtree.
void removeNodesOfType (TreeNode& tree, std::string_view type);

// Nodes taken out of the tree while other nodes of it are still being worked on. Moving a child
// list here keeps every node in it where it is, so a node found before (and perhaps inside what
// was taken out) can still be visited, to no effect on the tree, as JUCE visits a removed node.
using Graveyard = std::vector<std::vector<TreeNode>>;

void removeAllChildren (TreeNode* node, Graveyard* graveyard = nullptr);

// The first strip of each index, looked up in log time.
using StripsByIndex = std::map<int, const RackStrip*>;

StripsByIndex stripsByIndex (const RackSession& session);
const RackStrip* stripWithIndex (const StripsByIndex& strips, int stripIndex);
const PluginRef* occupiedSlot (const RackStrip* strip, int slot);

//==============================================================================
// The built-in native profile (LiveProfessorInternalProfile.cpp)

// The name of the built-in profile; it appears in its messages and in the converter metadata.
extern const char* const internalProfileName;

// Id spaces of the built-in profile.
juce::int64 chainRuntimeId (juce::int32 stripIndex);                          // 0xAC720000 | index
juce::int64 internalPluginRuntimeId (juce::int32 stripIndex, int slot);      // 0x5A000000 | index << 8 | slot
constexpr juce::uint32 firstSnapshotUId = 0x5B000000u;
constexpr juce::int64 cleanSnapshotId = 0x5B100001;
constexpr juce::int64 controllerMapId = 0x5B100002;
constexpr juce::int64 currentSnapshotId = 0x5B100003;
constexpr juce::int64 workspaceId = 0x5B100010;
constexpr juce::int64 viewSetId = 0x5B100011;
constexpr juce::int64 uiRootId = 0x5B100020;

// True when the 32-bit JUCE uniqueId belongs to one of the VST3 classes LiveProfessor has been
// verified to load from this profile.
bool isHostVerifiedUniqueId (juce::uint32 uniqueId);

// A complete LiveProfessorProjectFile tree: one chain per strip, one plug-in per occupied slot,
// repeated in the clean and the current global snapshot, with fixed host scaffolding. Plug-in
// runtime ids are provisional (internalPluginRuntimeId) until the writer replaces them. On
// failure: an invalid (empty) tree and the message in error.
TreeNode buildInternalProfile2026_1 (const RackSession& session, const Vst3ModuleIndex& index,
                                     const LiveProfessorPluginCatalog& catalog,
                                     const DeploymentProfile& profile, juce::String& error);

// A MidiPatch entry for the node on the MIDI patch channel.
TreeNode makeMidiPatchEntry (juce::int64 nodeId);

//==============================================================================
// Node makers the profile and the template path share (LiveProfessorNodeMakers.cpp)

// The strip's one sidechain source over its occupied slots (-1 = none); false, with the message,
// when the slots name different sources or more than one slot names a source.
bool sidechainSourceForStrip (const RackStrip& strip, int& source, juce::String& error);

// Sets the channel layout (and ChainId when setChainId) on a Chain or ChainSettings node and the
// id and name of its first ProcessorSettingsContainer. A null node is refused like a chain of the
// wrong layout.
bool configureChainProperties (TreeNode* chainNode, const RackStrip& strip, juce::int64 chainId,
                               bool setChainId, juce::String& error);

// Fills a Plugin node (built-in or taken from a template) for one slot: identity, runtime id,
// activation, the next snapshot uId, the state bytes, the parameter mirror and the bus lists.
// Only properties the node already has are changed.
bool configurePluginPrototype (TreeNode& pluginNode, const PluginRef& slot,
                               const LiveProfessorPluginEntry& entry, juce::int64 runtimeId,
                               juce::uint32& uIdCounter, juce::String& error);

// Replaces the children of a bus list by buses of the type for 0..4 channels: "L R" buses of
// two channels and a last "C" bus for an odd count. A null list is refused.
bool rebuildBusList (TreeNode* busses, const char* busType, int channelCount, juce::String& error);

//==============================================================================
// Patch inventories (LiveProfessorPatchInventory.cpp)

// (isInput 1 or 0, rack channel, physical channel)
using SourcePatch = std::tuple<juce::int32, juce::int32, juce::int32>;

// The strip's physical patches: its explicit patches with a physical channel, or, when it has
// none, its summary routes (the R routes only for a stereo side).
std::set<SourcePatch> sourcePatches (const RackStrip& strip);

// Every AudioPatch becomes a bare inventory of the used physical inputs and every chain output;
// every MidiPatch keeps its fixed host nodes and gets one entry per chain.
void rebuildPatchInventories (TreeNode& root, const RackSession& session);

// The one outputs entry for the node and channel; null when there is none or several.
const TreeNode* findOutputs (const TreeNode& audioPatch, juce::int64 nodeId, int channel);

// Makes sure the audio patch lists the node and channel exactly once (appending a bare entry
// when it is missing); false with the message when it is listed twice or more, or when there
// is no audio patch (null) to hold the entry.
bool ensureAudioPatchOutput (TreeNode* audioPatch, juce::int64 nodeId, int channel, juce::String& error);

// A bare outputs entry of an audio patch for the node and channel.
TreeNode makeAudioPatchEntry (juce::int64 nodeId, int channel);

//==============================================================================
// Topology from a template or a single prototype (LiveProfessorTemplateTopology.cpp)

// One bound source slot of the writer, the same record the converter metadata is written from.
using PluginBinding = vornconv::PluginBinding;

// A strip's index to the runtime id of its chain (the id of the chain's processor container).
using ChainIdMap = std::map<juce::int32, juce::int64>;

// Rebuilds every chain, and every global snapshot's chain list, from the tree's first chain and
// its first plug-in, one chain per strip and one plug-in per occupied slot.
bool synthesiseTopologyFromSinglePrototype (TreeNode& root, const RackSession& session,
                                            const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                                            juce::String& error);

// Proves that the tree's chains and plug-ins correspond one to one with the session's strips and
// occupied slots, and records the chain ids and one binding per occupied slot.
bool bindMainTopology (const TreeNode& root, const RackSession& session, const DeploymentProfile& profile,
                       const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                       ChainIdMap& chainIds, juce::Array<PluginBinding>& bindings, juce::String& error);

// 1 to 8 ASCII hexadecimal digits with a value other than 0.
bool isJuceHexId (juce::StringRef text);

// The id property (an int or int64; a text or a double that happens to read as the same number is
// not the same reference); false when the node lacks it or it holds another kind.
bool idProperty (const TreeNode& node, std::string_view name, juce::int64& out);

//==============================================================================
// Repeated state placement (LiveProfessorRepeatedState.cpp)

// Writes the mixer state, activation, plug-in states, parameter values and routing into every
// place of the tree that repeats them.
bool updateRepeatedState (TreeNode& root, const RackSession& session, const ChainIdMap& chainIds,
                          const juce::Array<PluginBinding>& bindings, juce::String& error);

// Sets the node's processorState flags and, where present, isolate and the linear gains. False,
// with nothing changed, when processorState or one of enabled, bypassed and audioMute is missing.
bool updateProcessorState (TreeNode& node, bool enabled, bool bypassed, bool audioMute, bool isolate,
                           float inputGain, float outputGain);

//==============================================================================
// Stable runtime ids and controller assignments (LiveProfessorRuntimeIds.cpp)

// Replaces every bound plug-in's runtime id by the stable id of its source place.
bool remapPluginRuntimeIds (TreeNode& root, const RackSession& session,
                            juce::Array<PluginBinding>& bindings, juce::String& error);

// True when some int or int64 property anywhere in the tree equals the value.
bool treeContainsNumericValue (const TreeNode& tree, juce::int64 value);

struct RuntimeIdReplacementCounts
{
    juce::int32 plug = 0;
    juce::int32 plugin = 0;
    juce::int32 processorSettings = 0;
    juce::int32 snapshot = 0;
};

// Rewrites every int or int64 reference to oldId by the plug-in id properties (plug id,
// Plugin pluginUid and PluginId, ProcessorSettingsContainer id, PluginSnapshot SnapshotIdTag,
// storedViewSetItem storedViewSetItemPluginId) as an int64 newId, counting all but the last.
void replaceRuntimeIdReferences (TreeNode& tree, juce::int64 oldId, juce::int64 newId,
                                 RuntimeIdReplacementCounts& counts);

// The ids of every ProcessorSettingsContainer of the tree.
std::set<juce::int64> processorIds (const TreeNode& root);

// Removes every node whose ControllableId names a processor ("Processor" and its runtime id)
// among the gone ones, with its subtree, and returns how many were removed. Assignments that name
// anything else are kept.
int removeDanglingControllerAssignments (TreeNode& root, const std::set<juce::int64>& goneProcessors);

} // namespace vornconv::rapp::liveProfessorWriter
