// The reader of LiveProfessor 2 projects (.rack2): the binary value tree is read by the bounded
// reader (ValueTreeReader) and then checked node by node. Chains become strips, the plug-ins of a
// chain (in ProcessorOrder) its slots with their activation, state and normalised parameters, the
// live audio patch the physical patches and sidechain sources, and the chain and global snapshots
// RackSnapshot rows. A structural fault fails the read; what cannot be proven becomes a DROPPED
// note and a partial grade.
//
// A project the converter wrote carries stable runtime ids and its metadata node, which place
// every plug-in at its source strip and slot; when the host has since saved the project and
// dropped the hardware connections from the live patch, the patch and the plug-in states are
// recovered from the marked clean global snapshot.
//
// In this file, in order:
//   - Names and value conversions: the metadata node's names, integers read "as ints", and flags
//     read the lenient way JUCE reads them. Every other property is read as the kind it must hold
//     (ValueTreeReader.h); one of another kind is refused, or left out with a note where the
//     project can do without it, by the node and the property.
//   - Limits, notes and tree access: hardware node ids, channel and padding limits, the note
//     texts, and lookups on nodes that may be missing.
//   - Plug-in payloads: one Plugin node's activation, state (VST3 container or AudioUnit property
//     list) and P0..Pn parameters.
//   - Patch points and the clean snapshot: strict patch points, restoring the plug-in states from
//     the clean snapshot, and choosing when it is used.
//   - The audio patch: physical patches and sidechain feeds, then the summary routes and coverage.
//   - Plug-in types and failed reads: pluginTypeId, and the result of a stream or file that could
//     not be read.
//   - Stable runtime ids
//   - Converter metadata: reading, marking the clean snapshot, appending.
//   - The reader: readLiveProfessorRack2Tree, and the file and byte entry points that feed it.

#include "readers/LiveProfessorRack2Reader.h"

#include "model/AudioUnitState.h"
#include "model/ParameterSnapshot.h"
#include "model/StrictDecimal.h"
#include "model/ValueComparison.h"
#include "model/Vst3State.h"
#include "readers/ValueTreeReader.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <tuple>
#include <vector>
#include <utility>

namespace vornconv
{

//==============================================================================
// Names and value conversions

const char* const cleanSnapshotName = "VORN_CLEAN_SNAPSHOT";

namespace
{

constexpr const char* metadataType = "VORNConverterMetadata";
constexpr const char* slotType = "Slot";
constexpr const char* schemaVersionName = "schemaVersion";
constexpr const char* slotsPerStripName = "sourceSlotsPerStrip";
constexpr const char* nativeWriterProfileName = "nativeWriterProfile";
constexpr const char* chainIndexName = "chainIndex";
constexpr const char* slotIndexName = "slotIndex";
constexpr const char* runtimeIdName = "pluginRuntimeId";

// Leading decimal digits of a text, as JUCE reads a number from text, but saturating instead
// of overflowing. Only a flag is read from text this way.
juce::int64 leadingInteger (const juce::String& text)
{
    auto p = text.trimStart().getCharPointer();
    bool negative = false;
    if (*p == '-' || *p == '+')
    {
        negative = *p == '-';
        ++p;
    }
    juce::uint64 magnitude = 0;
    constexpr juce::uint64 cap = (juce::uint64) std::numeric_limits<juce::int64>::max();
    for (; *p >= '0' && *p <= '9'; ++p)
    {
        magnitude = magnitude * 10 + (juce::uint64) (*p - '0');
        if (magnitude > cap)
            magnitude = cap;
    }
    return negative ? -(juce::int64) magnitude : (juce::int64) magnitude;
}

// An integer property read "as an int": narrowed, saturating at the ends of the int range.
int saturatedInt (juce::int64 v)
{
    return (int) juce::jlimit ((juce::int64) std::numeric_limits<int>::min(),
                               (juce::int64) std::numeric_limits<int>::max(), v);
}

// A flag the lenient way JUCE reads one: a bool, a number other than 0, or a text that reads as
// such a number or "true".
bool asBool (const juce::var& v)
{
    if (v.isBool() || v.isInt() || v.isInt64())
        return (bool) v;
    if (v.isDouble())
        return (double) v != 0.0;
    if (v.isString())
    {
        const auto text = v.toString().trim();
        return leadingInteger (text) != 0 || text.equalsIgnoreCase ("true");
    }
    return false;
}

//==============================================================================
// Limits, notes and tree access

// Node 1 is the hardware input device and node 2 the hardware output device in an audio patch.
constexpr juce::int64 hardwareInputNode = 1;
constexpr juce::int64 hardwareOutputNode = 2;
constexpr juce::int64 maxChannelId = 2147483647;
constexpr int maxChainChannels = 128;
constexpr int maxSideChainCount = 2;

// Empty slots that converter metadata may ask for in front of placed plug-ins, over the whole
// session. Without a limit a few bytes of metadata could ask for billions of empty slots.
constexpr juce::int64 maxPaddingSlots = 65536;

const char* const noteUnassigned = "chain 밖의 독립 plugin processor는 RackIR에 넣지 않는다";
const char* const parseFailed = "ValueTree parse failed — not a JUCE ValueTree stream?";

using PatchPoint = std::tuple<juce::int64, juce::int64, juce::int64, juce::int64>;
using PatchPointSet = std::set<PatchPoint>;

// The first child of the type, or null; a missing node has no children.
const TreeNode* firstChild (const TreeNode* tree, std::string_view type)
{
    return tree != nullptr ? findChild (*tree, type) : nullptr;
}

// A property's value, or void when the node has none of that name. It is handed out in place:
// a copy of a var copies a binary value's bytes.
const juce::var& valueOf (const TreeNode& tree, std::string_view name)
{
    static const juce::var none;
    const auto* value = findProperty (tree, name);
    return value != nullptr ? *value : none;
}

// The children of a node that may be missing.
const std::vector<TreeNode>& childrenOf (const TreeNode* tree)
{
    static const std::vector<TreeNode> none;
    return tree != nullptr ? tree->children : none;
}

bool isNumeric (const juce::var& v)
{
    return v.isInt() || v.isInt64() || v.isDouble();
}

bool hasAll (const TreeNode& tree, std::initializer_list<const char*> names)
{
    for (auto* name : names)
        if (! hasProperty (tree, name))
            return false;
    return true;
}

// What a property of another kind is refused or noted with: the node, the property and, inside a
// chain, which chain.
juce::String kindFault (const TreeNode& node, std::string_view name, PropertyKind kind, const juce::String& where = {})
{
    return "LiveProfessor " + propertyKindFault (node, name, kind) + where;
}

juce::String inChain (int k)
{
    return " in chain " + juce::String (k);
}

// Code of the DROPPED note for an optional property of another kind, which the read leaves out.
constexpr const char* propertyKindNote = "property.kind";

// Integer properties that must all be there and hold integers, as for the ids of a patch point.
bool readIntegers (const TreeNode& node, std::initializer_list<std::pair<const char*, juce::int64*>> properties)
{
    for (const auto& [name, out] : properties)
        if (readIntegerProperty (node, name, *out) != PropertyRead::read)
            return false;
    return true;
}

// The index i when name is "P" followed by i in decimal, as JUCE spells a number, for an i below
// count; -1 otherwise.
int parameterIndex (const std::string& name, int count) noexcept
{
    juce::int64 index = 0;
    return name.size() >= 2 && name[0] == 'P' && count > 0
               && parseStrictDecimal (std::string_view (name).substr (1), DecimalForm::canonical, 0, count - 1, index)
             ? (int) index : -1;
}

//==============================================================================
// Plug-in payloads

// How a plug-in's stored state bytes go from the tree into the slot: copied, or taken out of a
// tree that the read owns and throws away afterwards (a state may be tens of megabytes, and the
// tree has no further use for it). Every Plugin node is read at most once, so a node whose bytes
// were taken is never read again.
enum class StateBytes { copy, take };

// The plug-in processor's activation; its container must carry the runtime id.
bool readActivation (const TreeNode& pluginNode, juce::int64 runtimeId, PluginRef& slot, juce::String& error)
{
    const auto* container = findChild (pluginNode, "ProcessorSettingsContainer");
    const auto* processor = firstChild (container, "processorState");
    juce::int64 containerId = 0;
    const auto containerIdRead = container != nullptr ? readIntegerProperty (*container, "id", containerId) : PropertyRead::absent;
    if (containerIdRead == PropertyRead::wrongKind)
    {
        error = kindFault (*container, "id", PropertyKind::integer);
        return false;
    }
    if (processor == nullptr || containerIdRead != PropertyRead::read || containerId != runtimeId
        || ! hasAll (*processor, { "enabled", "bypassed", "audioMute" }))
    {
        error = "LiveProfessor plugin processorState is incomplete";
        return false;
    }
    slot.inactive = ! asBool (valueOf (*processor, "enabled"));
    slot.bypassed = asBool (valueOf (*processor, "bypassed"));
    slot.muted = asBool (valueOf (*processor, "audioMute"));
    slot.coverage.activation = true;
    slot.coverage.mute = true;
    return true;
}

// The state bytes of the plug-in's one PluginSnapshot (tagged with the runtime id, not empty,
// within the limit) into the slot; snapshot receives that PluginSnapshot.
bool takeStateBytes (const TreeNode& pluginNode, juce::int64 runtimeId, PluginRef& slot, StateBytes stateBytes, const TreeNode*& snapshot,
                     juce::String& error)
{
    int snapshots = 0;
    for (const auto& child : childrenOf (findChild (pluginNode, "Plugin")))
        if (child.type == "PluginSnapshot" && snapshots++ == 0)
            snapshot = &child;
    auto* chunk = snapshot != nullptr ? valueOf (*snapshot, "chunkData").getBinaryData() : nullptr;
    juce::int64 tag = 0;
    const auto tagRead = snapshot != nullptr ? readIntegerProperty (*snapshot, "SnapshotIdTag", tag) : PropertyRead::absent;
    if (snapshots == 1 && tagRead == PropertyRead::wrongKind)
    {
        error = kindFault (*snapshot, "SnapshotIdTag", PropertyKind::integer);
        return false;
    }
    if (snapshots != 1 || chunk == nullptr || chunk->getSize() == 0 || tagRead != PropertyRead::read || tag != runtimeId)
    {
        error = "LiveProfessor plugin chunkData is missing";
        return false;
    }
    if (chunk->getSize() > vst3::maxStateBytes)
    {
        error = "LiveProfessor plugin chunkData exceeds the safety limit";
        return false;
    }
    if (stateBytes == StateBytes::take)
    {
        slot.state.raw.reset();
        slot.state.raw.swapWith (*chunk);
    }
    else
    {
        slot.state.raw = *chunk;
    }
    return true;
}

// The slot's state bytes parsed strictly as its format keeps them: a VST3 container split into
// its component and controller states, or an AudioUnit property list with the unit's identity.
bool parseStateBytes (PluginRef& slot, juce::String& error)
{
    if (slot.format == "VST3")
    {
        slot.state.encoding = PluginStateEncoding::juceVst3Xml;
        auto split = vst3::parseJuceVst3State (slot.state.raw);
        if (! split.ok)
        {
            error = "LiveProfessor VST3 chunkData failed strict parse: " + split.error;
            return false;
        }
        slot.state.component = std::move (split.component);
        slot.state.controller = std::move (split.controller);
    }
    else
    {
        audioUnit::Identity identity;
        juce::String plistError;
        if (! audioUnit::parsePropertyList (slot.state.raw, identity, plistError))
        {
            error = "LiveProfessor AudioUnit chunkData failed strict parse: " + plistError;
            return false;
        }
        slot.auType = identity.type;
        slot.auSubtype = identity.subtype;
        slot.auManufacturer = identity.manufacturer;
        slot.state.encoding = PluginStateEncoding::audioUnitPlist;
    }
    return true;
}

// The PluginSnapshot's one parameters node as the slot's parameter mirror: P0 .. Pn, each a
// normalised number.
bool readParameters (const TreeNode& snapshot, PluginRef& slot, juce::String& error)
{
    const TreeNode* parameters = nullptr;
    int parameterNodes = 0;
    for (const auto& child : snapshot.children)
        if (child.type == "parameters" && parameterNodes++ == 0)
            parameters = &child;
    if (parameterNodes != 1 || ! parameters->children.empty())
    {
        error = "LiveProfessor PluginSnapshot parameters are missing or malformed";
        return false;
    }
    if (parameters->properties.size() > (size_t) parameterState::maxSnapshotValues)
    {
        error = "LiveProfessor PluginSnapshot parameter count exceeds the safety limit";
        return false;
    }
    const int count = (int) parameters->properties.size();
    const auto& properties = parameters->properties;
    // Hosts write P0 .. Pn in order, and then each value stands where its index says. Otherwise
    // each property is placed by the index its name spells, so P0 .. Pn are found in one pass.
    bool inOrder = true;
    for (int i = 0; i < count && inOrder; ++i)
        inOrder = parameterIndex (properties[(size_t) i].name, count) == i;
    std::vector<const juce::var*> byIndex;
    if (! inOrder)
    {
        byIndex.assign ((size_t) count, nullptr);
        for (const auto& property : properties)
            if (const auto index = parameterIndex (property.name, count); index >= 0)
                byIndex[(size_t) index] = &property.value;
    }
    std::vector<float> values;
    values.reserve ((size_t) count);
    for (int i = 0; i < count; ++i)
    {
        const auto* value = inOrder ? &properties[(size_t) i].value : byIndex[(size_t) i];
        if (value == nullptr)
        {
            error = "LiveProfessor PluginSnapshot parameters are not a contiguous P0..Pn set";
            return false;
        }
        if (! isNumeric (*value))
        {
            error = "LiveProfessor PluginSnapshot parameter is not numeric";
            return false;
        }
        const double d = *value;
        // Range-check the double before narrowing: a float conversion of a huge double is undefined.
        const float f = (std::isfinite (d) && d >= -1.0 && d <= 2.0) ? (float) d : -1.0f;
        if (! (f >= 0.0f && f <= 1.0f))
        {
            error = "LiveProfessor PluginSnapshot parameter is not normalized";
            return false;
        }
        values.push_back (f);
    }
    slot.state.parameters = parameterState::encode (values.data(), values.size(), 0);
    slot.state.parameterMirrorComplete = true;
    return true;
}

// Reads one Plugin node's activation, state and parameters into slot; the slot's format must be
// set already. What was set before a failure stays set.
bool parsePluginPayload (const TreeNode& pluginNode, juce::int64 runtimeId, PluginRef& slot, juce::String& error,
                         StateBytes stateBytes)
{
    const TreeNode* snapshot = nullptr;
    if (! readActivation (pluginNode, runtimeId, slot, error) || ! takeStateBytes (pluginNode, runtimeId, slot, stateBytes, snapshot, error)
        || ! parseStateBytes (slot, error) || ! readParameters (*snapshot, slot, error))
        return false;
    slot.coverage.identity = true;
    slot.coverage.state = true;
    return true;
}

//==============================================================================
// Patch points and the clean snapshot

// The (nodeId, channelId) of an outputs node and the points below it, checked strictly.
bool collectPatchPoints (const TreeNode* audioPatch, PatchPointSet& points, juce::String& error)
{
    if (audioPatch == nullptr)
    {
        error = "AudioPatch is missing";
        return false;
    }
    for (const auto& outputs : audioPatch->children)
    {
        juce::int64 nodeId = 0, channelId = 0;
        if (outputs.type != "outputs" || ! readIntegers (outputs, { { "nodeId", &nodeId }, { "channelId", &channelId } }))
        {
            error = "AudioPatch contains an invalid outputs node";
            return false;
        }
        if (channelId < 0 || channelId > maxChannelId)
        {
            error = "AudioPatch outputs channel is out of range";
            return false;
        }
        for (const auto& point : outputs.children)
        {
            juce::int64 outNode = 0, outChannel = 0, inNode = 0, inChannel = 0;
            if (point.type != "point"
                || ! readIntegers (point, { { "outputNodeId", &outNode }, { "outputChannelId", &outChannel },
                                            { "inputNodeId", &inNode }, { "inputChannelId", &inChannel } })
                || ! hasProperty (point, "isMidi") || asBool (valueOf (point, "isMidi")))
            {
                error = "AudioPatch contains a malformed or MIDI point";
                return false;
            }
            const PatchPoint tuple { outNode, outChannel, inNode, inChannel };
            if (std::get<0> (tuple) != nodeId || std::get<1> (tuple) != channelId
                || std::get<3> (tuple) < 0 || std::get<3> (tuple) > maxChannelId
                || ! points.insert (tuple).second)
            {
                error = "AudioPatch contains an inconsistent or duplicate point";
                return false;
            }
        }
    }
    return true;
}

// The runtime id each occupied slot was placed from, by (strip, slot).
using PlacedIdMap = std::map<std::pair<int, int>, juce::int64>;

// Replaces the occupied slots' activation, state and parameters by the clean snapshot's copies.
// Every clean plug-in must carry exactly the runtime id of the slot it names, and every occupied
// slot must be restored once. Slots restored before a failure keep their restored values.
// A restored slot whose values differ from the live ones gets an APPROX note, so the older
// clean state never replaces an edited live state unreported.
bool restoreCleanSnapshotPluginStates (const TreeNode& cleanSnapshot, RackSession& session,
                                       const PlacedIdMap& placedIds, StateBytes stateBytes, juce::String& error)
{
    const auto* plugins = findChild (cleanSnapshot, "Plugins");
    if (plugins == nullptr)
    {
        error = "VORN_CLEAN_SNAPSHOT Plugins is missing";
        return false;
    }
    std::set<juce::int64> seenIds;
    std::set<std::pair<int, int>> restored;
    for (const auto& plugin : plugins->children)
    {
        juce::int64 id = 0;
        const auto idRead = plugin.type == "Plugin" ? readIntegerProperty (plugin, "PluginId", id) : PropertyRead::absent;
        if (idRead == PropertyRead::wrongKind)
        {
            error = "VORN_CLEAN_SNAPSHOT " + kindFault (plugin, "PluginId", PropertyKind::integer);
            return false;
        }
        if (idRead != PropertyRead::read)
        {
            error = "VORN_CLEAN_SNAPSHOT contains an invalid Plugin";
            return false;
        }
        if (! seenIds.insert (id).second || ! isStableRuntimeId (id) || stableRuntimeIdChain (id) >= session.strips.size())
        {
            error = "VORN_CLEAN_SNAPSHOT plugin runtime id is invalid";
            return false;
        }
        const int chain = stableRuntimeIdChain (id);
        const int slotIndex = stableRuntimeIdSlot (id);
        auto& strip = session.strips.getReference (chain);
        const auto placed = placedIds.find ({ chain, slotIndex });
        if (strip.index != chain || strip.plugins.size() <= slotIndex || ! strip.plugins.getReference (slotIndex).occupied
            || placed == placedIds.end() || placed->second != id || restored.count ({ chain, slotIndex }) != 0)
        {
            error = "VORN_CLEAN_SNAPSHOT plugin location is not present in the current graph";
            return false;
        }
        auto& live = strip.plugins.getReference (slotIndex);
        // The restored slot starts as the live one without its state: the clean payload sets every
        // part of the state that the live payload had set, so copying the live state first would
        // only hold it twice.
        auto liveState = std::move (live.state);
        live.state = {};
        PluginRef copy (live);
        live.state = std::move (liveState);
        juce::String payloadError;
        if (! parsePluginPayload (plugin, id, copy, payloadError, stateBytes))
        {
            error = "VORN_CLEAN_SNAPSHOT " + payloadError;
            return false;
        }
        if (! sameBytes (copy.state.raw, live.state.raw) || ! sameBytes (copy.state.parameters, live.state.parameters)
            || copy.inactive != live.inactive || copy.bypassed != live.bypassed || copy.muted != live.muted)
            session.notes.add (Fidelity::approx, "plugin.state",
                               "clean snapshot state replaces a different live state at strip " + juce::String (chain)
                                   + ", slot " + juce::String (slotIndex));
        live = std::move (copy);
        restored.insert ({ chain, slotIndex });
    }
    if ((int) restored.size() != session.countPlugins())
    {
        error = "VORN_CLEAN_SNAPSHOT plugin count does not match the current graph";
        return false;
    }
    return true;
}

// Whether a patch holds a point from the hardware input or into the hardware output.
bool touchesHardware (const PatchPointSet& points)
{
    for (const auto& p : points)
        if (std::get<0> (p) == hardwareInputNode || std::get<2> (p) == hardwareOutputNode)
            return true;
    return false;
}

// The clean snapshot to recover from, or null when the live patch is to be walked as it is: it
// is used only when there is exactly one, both patches are well formed, the live patch lost every
// hardware connection, and the clean patch has some and holds every live point.
const TreeNode* chooseCleanSnapshot (const TreeNode& globalSnapshots, const TreeNode* livePatch)
{
    const TreeNode* clean = nullptr;
    int count = 0;
    for (const auto& snapshot : globalSnapshots.children)
    {
        juce::String name;
        if (snapshot.type == "GlobalSnapshot" && readTextProperty (snapshot, "GSname", name) == PropertyRead::read
            && name == cleanSnapshotName && count++ == 0)
            clean = &snapshot;
    }
    if (count != 1)
        return nullptr;
    PatchPointSet livePoints, cleanPoints;
    juce::String ignored;
    if (! collectPatchPoints (livePatch, livePoints, ignored)
        || ! collectPatchPoints (findChild (*clean, "AudioPatch"), cleanPoints, ignored))
        return nullptr;
    if (touchesHardware (livePoints) || ! touchesHardware (cleanPoints))
        return nullptr;
    for (const auto& p : livePoints)
        if (cleanPoints.count (p) == 0)
            return nullptr;
    return clean;
}

//==============================================================================
// The audio patch

struct ChainFacts
{
    int sideChainCount = 0;
};

struct SidechainFeed
{
    int source = 0;
    juce::int64 sourceChannel = 0;
    juce::int64 inputChannel = 0;

    bool operator< (const SidechainFeed& o) const
    {
        return std::tie (source, sourceChannel, inputChannel) < std::tie (o.source, o.sourceChannel, o.inputChannel);
    }

    bool operator== (const SidechainFeed& o) const
    {
        return std::tie (source, sourceChannel, inputChannel) == std::tie (o.source, o.sourceChannel, o.inputChannel);
    }
};

using SidechainFeeds = std::map<int, std::set<SidechainFeed>>;

// One point of the outputs entry (nodeId, channelId) as a physical patch of its strip or a
// sidechain feed of its destination; false when it is malformed, seen before, or neither.
bool placePatchPoint (const TreeNode& point, juce::int64 nodeId, juce::int64 channelId, RackSession& session,
                      const std::map<juce::int64, int>& chainStrip, const std::vector<ChainFacts>& facts, PatchPointSet& seen,
                      SidechainFeeds& feeds)
{
    auto stripOf = [&chainStrip] (juce::int64 node)
    {
        const auto it = chainStrip.find (node);
        return it == chainStrip.end() ? -1 : it->second;
    };
    juce::int64 outNode = 0, outChannel = 0, inNode = 0, inChannel = 0;
    if (point.type != "point"
        || ! readIntegers (point, { { "outputNodeId", &outNode }, { "outputChannelId", &outChannel },
                                    { "inputNodeId", &inNode }, { "inputChannelId", &inChannel } })
        || ! hasProperty (point, "isMidi") || asBool (valueOf (point, "isMidi")))
        return false;
    if (outNode != nodeId || outChannel != channelId || outChannel < 0 || outChannel > maxChannelId
        || inChannel < 0 || inChannel > maxChannelId || ! seen.insert ({ outNode, outChannel, inNode, inChannel }).second)
        return false;

    const int source = stripOf (outNode);
    const int destination = stripOf (inNode);
    if (destination >= 0 && outNode == hardwareInputNode)
    {
        auto& strip = session.strips.getReference (destination);
        if (inChannel >= strip.inputChannels)
            return false;
        strip.routePatches.add ({ true, (juce::int32) inChannel, (juce::int32) outChannel });
    }
    else if (source >= 0 && inNode == hardwareOutputNode)
    {
        auto& strip = session.strips.getReference (source);
        if (outChannel >= strip.outputChannels)
            return false;
        strip.routePatches.add ({ false, (juce::int32) outChannel, (juce::int32) inChannel });
    }
    else if (source >= 0 && destination >= 0)
    {
        const auto& from = session.strips.getReference (source);
        const auto& to = session.strips.getReference (destination);
        const int sideChains = facts[(size_t) destination].sideChainCount;
        if (source == destination || outChannel >= from.outputChannels || sideChains < 1
            || inChannel < to.inputChannels || inChannel >= to.inputChannels + sideChains)
            return false;
        feeds[destination].insert ({ source, outChannel, inChannel });
    }
    else
    {
        return false;
    }
    return true;
}

// The slot that takes a strip's sidechain from source: with stable runtime ids, the one slot
// whose id names that source; otherwise the strip's one plug-in.
bool placeSidechainSource (RackStrip& to, int source, bool stableIds)
{
    if (stableIds)
    {
        int carriers = 0;
        for (const auto& slot : to.plugins)
            if (slot.occupied && slot.sidechainSource >= 0)
            {
                ++carriers;
                if (slot.sidechainSource != source)
                    return false;
            }
        if (carriers != 1)
            return false;
    }
    else
    {
        PluginRef* only = nullptr;
        int occupied = 0;
        for (auto& slot : to.plugins)
            if (slot.occupied && occupied++ == 0)
                only = &slot;
        if (occupied != 1)
            return false;
        only->sidechainSource = source;
    }
    return true;
}

// The feeds of each destination must be exactly one source strip's main outputs into all of the
// destination's sidechain inputs, and the slot that takes them must be known; with stable runtime
// ids, no slot of a strip without feeds may name a sidechain source.
bool placeSidechainFeeds (RackSession& session, const std::vector<ChainFacts>& facts, bool stableIds, const SidechainFeeds& feeds)
{
    for (const auto& [destination, destinationFeeds] : feeds)
    {
        const int source = destinationFeeds.begin()->source;
        auto& to = session.strips.getReference (destination);
        const int sideChains = facts[(size_t) destination].sideChainCount;
        if (source < 0 || source >= session.strips.size() || sideChains != to.inputChannels)
            return false;
        const auto& from = session.strips.getReference (source);
        if (from.outputChannels < 1)
            return false;
        std::set<SidechainFeed> expected;
        for (int j = 0; j < sideChains; ++j)
            expected.insert ({ source, (juce::int64) juce::jmin (j, from.outputChannels - 1), (juce::int64) to.inputChannels + j });
        if (destinationFeeds != expected)
            return false;

        if (! placeSidechainSource (to, source, stableIds))
            return false;
    }
    if (stableIds)
        for (int s = 0; s < session.strips.size(); ++s)
            if (feeds.count (s) == 0)
                for (const auto& slot : session.strips.getReference (s).plugins)
                    if (slot.occupied && slot.sidechainSource >= 0)
                        return false;
    return true;
}

// Walks the audio patch into the strips' physical patches and the slots' sidechain sources.
// Returns false (with every patch appended so far kept) when any point is malformed or cannot be
// told apart as a main-bus physical connection or an exact sidechain feed.
bool walkAudioPatch (const TreeNode& audioPatch, RackSession& session, const std::map<juce::int64, int>& chainStrip,
                     const std::vector<ChainFacts>& facts, bool stableIds, std::set<int>& fedStrips)
{
    bool ok = true;
    PatchPointSet seen;
    SidechainFeeds feeds;
    for (const auto& outputs : audioPatch.children)
    {
        juce::int64 nodeId = 0, channelId = 0;
        if (outputs.type != "outputs" || ! readIntegers (outputs, { { "nodeId", &nodeId }, { "channelId", &channelId } }))
        {
            ok = false;
            continue;
        }
        for (const auto& point : outputs.children)
            ok = placePatchPoint (point, nodeId, channelId, session, chainStrip, facts, seen, feeds) && ok;
    }
    if (! ok)
        return false;

    for (const auto& entry : feeds)
        fedStrips.insert (entry.first);
    return placeSidechainFeeds (session, facts, stableIds, feeds);
}

// Summary routes, route coverage and sidechain coverage once the patch has been read whole.
void finishRoutes (RackSession& session, const std::set<int>& fedStrips)
{
    for (int s = 0; s < session.strips.size(); ++s)
    {
        auto& strip = session.strips.getReference (s);
        for (const auto& patch : strip.routePatches)
        {
            auto* route = patch.isInput ? (patch.rackChannel == 0 ? &strip.routeInL : patch.rackChannel == 1 ? &strip.routeInR : nullptr)
                                        : (patch.rackChannel == 0 ? &strip.routeOutL : patch.rackChannel == 1 ? &strip.routeOutR : nullptr);
            if (route != nullptr && *route < 0)
                *route = patch.physicalChannel;
        }
        // In the form every reader gives them (the patch walks outputs before inputs).
        normaliseRoutes (strip);
        strip.coverage.route = true;
        const bool fed = fedStrips.count (s) != 0;
        for (auto& slot : strip.plugins)
        {
            if (! fed)
                slot.sidechainSource = -1;
            slot.coverage.sidechain = true;
        }
    }
}

//==============================================================================
// Plug-in types and failed reads

// Checks a pluginTypeId and sets the slot's format and uniqueId from it; false with the slot
// failure text otherwise.
bool readPluginType (const juce::String& typeId, PluginRef& slot, juce::String& error)
{
    const bool vst3 = typeId.startsWith ("VST3-");
    if (! vst3 && ! typeId.startsWith ("AudioUnit-"))
    {
        error = "unsupported LiveProfessor plugin type: " + typeId;
        return false;
    }
    const int dash = typeId.lastIndexOfChar ('-');
    const auto hex = typeId.substring (dash + 1);
    bool valid = dash >= 6 && hex.length() >= 1 && hex.length() <= 8 && hex.containsOnly ("0123456789abcdefABCDEF");
    const auto value = valid ? (juce::uint32) hex.getHexValue64() : 0u;
    if (! valid || value == 0)
    {
        error = "invalid LiveProfessor pluginTypeId: " + typeId;
        return false;
    }
    slot.format = vst3 ? "VST3" : "AU";
    slot.uniqueId = value;
    return true;
}

// The result for bytes that are no value tree, one beyond the reader's limits (which is told
// apart: such a file is a value tree, only too large to be taken in), or a file that could not be
// read at all (the loader's refusal names it).
RackReadResult treeReadFailure (const juce::String& path, const juce::String& error, TreeReadFault fault)
{
    auto result = readLiveProfessorRack2Tree ({}, path);
    if (fault == TreeReadFault::overLimit)
        result.error = "LiveProfessor project exceeds a safety limit: " + error;
    else if (fault == TreeReadFault::unreadableFile)
        result.error = error;
    return result;
}

} // namespace

//==============================================================================
// Stable runtime ids

bool isStableRuntimeId (juce::int64 id) noexcept
{
    return id >= 0 && id <= (juce::int64) 0xFFFFFFFF
        && (id >> 16) == (stableRuntimeIdBase >> 16)
        && (id & 0x7F) <= 64;
}

int stableRuntimeIdChain (juce::int64 id) noexcept { return (int) ((id >> 10) & 0x3F); }
int stableRuntimeIdSlot (juce::int64 id) noexcept { return (int) ((id >> 7) & 0x7); }
int stableRuntimeIdSidechainSource (juce::int64 id) noexcept { return (int) (id & 0x7F) - 1; }

juce::int64 makeStableRuntimeId (int chain, int slot, int sidechainSource) noexcept
{
    if (chain < 0 || chain > 63 || slot < 0 || slot > 7 || sidechainSource < -1 || sidechainSource > 63)
        return 0;
    return stableRuntimeIdBase + chain * 1024 + slot * 128 + sidechainSource + 1;
}

//==============================================================================
// Converter metadata

bool readConverterMetadata (const TreeNode& root, bool& present, ConverterSlotMap& entries, juce::String& error)
{
    present = false;
    entries.clear();
    const TreeNode* node = nullptr;
    int count = 0;
    for (const auto& child : root.children)
        if (child.type == metadataType)
        {
            if (count++ == 0)
                node = &child;
        }
    if (count == 0)
        return true;
    if (count > 1)
    {
        error = "VORN converter metadata header is invalid";
        return false;
    }
    juce::int64 schemaVersion = 0, slotsPerStripValue = 0;
    for (const auto& [name, out] : { std::pair (schemaVersionName, &schemaVersion), std::pair (slotsPerStripName, &slotsPerStripValue) })
        if (readIntegerProperty (*node, name, *out) == PropertyRead::wrongKind)
        {
            error = kindFault (*node, name, PropertyKind::integer);
            return false;
        }
    if (! hasProperty (*node, schemaVersionName) || saturatedInt (schemaVersion) != 1 || ! hasProperty (*node, slotsPerStripName))
    {
        error = "VORN converter metadata header is invalid";
        return false;
    }
    const int slotsPerStrip = saturatedInt (slotsPerStripValue);
    if (slotsPerStrip < 1)
    {
        error = "VORN converter metadata slot capacity is invalid";
        return false;
    }

    ConverterSlotMap map;
    std::set<std::pair<int, int>> places;
    for (const auto& slot : node->children)
    {
        if (slot.type != slotType || ! hasProperty (slot, chainIndexName) || ! hasProperty (slot, slotIndexName)
            || ! hasProperty (slot, runtimeIdName))
        {
            error = "VORN converter metadata contains an invalid Slot";
            return false;
        }
        juce::int64 chainValue = 0, slotValue = 0, runtimeId = 0;
        for (const auto& [name, out] : { std::pair (chainIndexName, &chainValue), std::pair (slotIndexName, &slotValue),
                                         std::pair (runtimeIdName, &runtimeId) })
            if (readIntegerProperty (slot, name, *out) != PropertyRead::read)
            {
                error = kindFault (slot, name, PropertyKind::integer);
                return false;
            }
        const int chainIndex = saturatedInt (chainValue);
        const int slotIndex = saturatedInt (slotValue);
        if (chainIndex < 0 || slotIndex < 0 || slotIndex >= slotsPerStrip || runtimeId == 0
            || map.count (runtimeId) != 0 || ! places.insert ({ chainIndex, slotIndex }).second)
        {
            error = "VORN converter metadata contains duplicate or out-of-range slot mapping";
            return false;
        }
        map[runtimeId] = { chainIndex, slotIndex };
    }
    entries = std::move (map);
    present = true;
    return true;
}

bool markConverterCleanSnapshot (TreeNode& root, juce::String& error)
{
    TreeNode* only = nullptr;
    int count = 0;
    if (auto* snapshots = findChild (root, "GlobalSnapshots"))
        for (auto& child : snapshots->children)
            if (child.type == "GlobalSnapshot")
            {
                if (count++ == 0)
                    only = &child;
            }
    if (count != 1)
    {
        error = "LiveProfessor output requires one recallable clean snapshot";
        return false;
    }
    setProperty (*only, "GSname", juce::String (cleanSnapshotName));
    return true;
}

bool appendConverterMetadata (TreeNode& root, const juce::Array<PluginBinding>& bindings,
                              const rapp::DeploymentProfile& profile, juce::StringRef nativeWriterProfile,
                              juce::String& error)
{
    if (findChild (root, metadataType) != nullptr)
    {
        error = "LiveProfessor template already contains VORN converter metadata";
        return false;
    }
    TreeNode node { metadataType, {}, {} };
    setProperty (node, schemaVersionName, 1);
    setProperty (node, slotsPerStripName, (int) profile.slots);
    if (nativeWriterProfile.isNotEmpty())
        setProperty (node, nativeWriterProfileName, juce::String (nativeWriterProfile));
    node.children.reserve ((size_t) bindings.size());
    for (const auto& binding : bindings)
    {
        TreeNode slot { slotType, {}, {} };
        setProperty (slot, chainIndexName, (int) binding.chainIndex);
        setProperty (slot, slotIndexName, (int) binding.slotIndex);
        setProperty (slot, runtimeIdName, binding.runtimeId);
        node.children.push_back (std::move (slot));
    }
    root.children.push_back (std::move (node));
    return true;
}

//==============================================================================
// The reader

namespace
{

// One read of a project's tree, step by step: the result it builds, whether everything so far was
// read as it is (a property of another kind left out, or a plug-in that could not be read, makes
// the read partial), and what the walk of the chains keeps for the later steps. A step that fails
// says why in error, and the read fails with that message.
struct ProjectRead
{
    StateBytes stateBytes = StateBytes::copy;
    RackReadResult result;
    bool strict = true;
    juce::String error;

    // The converter metadata; each entry is taken off as its plug-in is placed.
    bool hasMetadata = false;
    ConverterSlotMap metadata;

    // The strip of each chain runtime id, the chains' sidechain counts, the runtime id placed at
    // each strip and slot, the kinds of runtime ids seen, and the empty slots asked for so far.
    std::map<juce::int64, int> chainStrip;
    std::vector<ChainFacts> facts;
    PlacedIdMap placedIds;
    bool stableIds = false, nativeIds = false;
    juce::int64 paddingSlots = 0;

    bool fail (const juce::String& message)
    {
        error = message;
        return false;
    }

    // The read as a failure, with what it built so far; the read ends with it.
    RackReadResult failed()
    {
        result.ok = false;
        result.status = readFailed;
        result.error = error;
        return std::move (result);
    }

    void dropped (const char* code, const juce::String& text)
    {
        result.session.notes.add (Fidelity::dropped, code, text);
        strict = false;
    }

    // Properties the project can do without: one of another kind is left out (empty, or 0) with a
    // DROPPED note that names it.
    juce::String optionalText (const TreeNode& node, const char* name, const juce::String& where = {})
    {
        juce::String text;
        if (readTextProperty (node, name, text) == PropertyRead::wrongKind)
            dropped (propertyKindNote, kindFault (node, name, PropertyKind::text, where));
        return text;
    }

    bool optionalInteger (const TreeNode& node, const char* name, juce::int64& out)
    {
        const auto read = readIntegerProperty (node, name, out);
        if (read == PropertyRead::wrongKind)
            dropped (propertyKindNote, kindFault (node, name, PropertyKind::integer));
        return read == PropertyRead::read;
    }

    bool readHeader (const TreeNode& root);
    bool readChains (const TreeNode& root);
    bool readChain (const TreeNode& chain);
    bool readChainLayout (const TreeNode& chainSettings, int k, RackStrip& strip, int& sideChains);
    bool readChainProcessor (const TreeNode& chainSettings, int k, RackStrip& strip);
    bool readProcessorOrder (const TreeNode& order, const TreeNode& chainPlugins, int k, juce::Array<juce::int64>& orderIds,
                             juce::StringArray& orderTypes);
    bool readChainSlots (const TreeNode& chainPlugins, const TreeNode& order, int k, RackStrip& strip);
    bool readSlot (const TreeNode& pluginNode, juce::int64 r, const juce::String& orderType, int k, PluginRef& slot);
    bool placeSlot (juce::int64 r, int k, int p, int& lastSlot, RackStrip& strip, PluginRef& slot);
    const TreeNode* readGlobalSnapshots (const TreeNode& root);
    void readRouting (const TreeNode& root, const TreeNode* globalSnapshots);
};

// The root, the application version, the converter metadata and the device settings.
bool ProjectRead::readHeader (const TreeNode& root)
{
    auto& session = result.session;
    if (! isValidTree (root))
        return fail (juce::String::fromUTF8 (parseFailed));
    if (root.type != "LiveProfessorProjectFile")
        return fail ("unexpected root type: " + juce::String::fromUTF8 (root.type.data(), (int) root.type.size()));
    session.sourceVersion = optionalText (root, "appVersion");

    if (! readConverterMetadata (root, hasMetadata, metadata, error))
        return fail (error);

    const auto* device = firstChild (firstChild (&root, "AudioMidiHardware"), "IOdeviceProperties");
    if (device != nullptr)
    {
        session.inputDevice = optionalText (*device, "inputDeviceName");
        session.outputDevice = optionalText (*device, "outputDeviceName");
    }
    const auto* settings = firstChild (&root, "projectSettings");
    if (juce::int64 bufferSize = 0; settings != nullptr && optionalInteger (*settings, "BufferSize", bufferSize))
        session.bufferSize = saturatedInt (bufferSize);
    return true;
}

// Every chain, one strip each, and then what the runtime ids and the metadata say of them all.
bool ProjectRead::readChains (const TreeNode& root)
{
    const auto* chains = firstChild (&root, "Chains");
    if (chains == nullptr)
        return fail ("no Chains node");
    for (const auto& chain : chains->children)
        if (chain.type == "Chain" && ! readChain (chain))
            return false;

    if (stableIds && nativeIds)
        return fail ("LiveProfessor project mixes stable and native plugin runtime ids");
    if (hasMetadata && ! metadata.empty())
        return fail ("VORN converter metadata references plugins outside ProcessorOrder");

    if (! childrenOf (firstChild (&root, "Plugins")).empty())
        dropped ("plugin.unassigned", juce::String::fromUTF8 (noteUnassigned));
    return true;
}

// One chain as the next strip: its layout, its processor, its slots and its chain snapshots.
bool ProjectRead::readChain (const TreeNode& chain)
{
    auto& session = result.session;
    const int k = session.strips.size();
    RackStrip strip;
    strip.index = k;

    const auto* chainSettings = findChild (chain, "ChainSettings");
    if (chainSettings == nullptr)
        return fail ("LiveProfessor ChainSettings is missing");
    int sideChains = 0;
    if (! readChainLayout (*chainSettings, k, strip, sideChains) || ! readChainProcessor (*chainSettings, k, strip))
        return false;

    const auto* chainPlugins = findChild (chain, "ChainPlugins");
    const auto* order = firstChild (chainSettings, "ProcessorOrder");
    if (chainPlugins == nullptr || order == nullptr)
        return fail ("LiveProfessor ChainPlugins/ProcessorOrder is missing");
    if (! readChainSlots (*chainPlugins, *order, k, strip))
        return false;

    int position = 0;
    for (const auto& entry : childrenOf (findChild (chain, "ChainSnapshotList")))
        session.snapshots.add ({ position++, optionalText (entry, "name", inChain (k)), {} });

    facts.push_back ({ sideChains });
    session.strips.add (std::move (strip));
    return true;
}

// The chain's colour and its input, output and sidechain channel counts.
bool ProjectRead::readChainLayout (const TreeNode& chainSettings, int k, RackStrip& strip, int& sideChains)
{
    const auto colour = optionalText (chainSettings, "ChainColour", inChain (k));
    if (colour.isNotEmpty())
    {
        strip.hasColour = true;
        strip.colour = (juce::uint32) (colour.getHexValue64() & 0xFFFFFFFF);
    }
    double inputCount = 0, outputCount = 0, sideChainCount = 0;
    if (readNumberProperty (chainSettings, "ChainInputCount", inputCount) != PropertyRead::read
        || readNumberProperty (chainSettings, "ChainOutputCount", outputCount) != PropertyRead::read
        || readNumberProperty (chainSettings, "SideChainCount", sideChainCount) != PropertyRead::read)
        return fail ("LiveProfessor chain channel-count property is missing or invalid");
    // The counts as ints: a finite number, cut to its whole part, and held to the int range.
    auto asCount = [] (double count) { return (int) juce::jlimit (-1.0e9, 1.0e9, std::trunc (count)); };
    const int inputs = asCount (inputCount), outputs = asCount (outputCount);
    sideChains = asCount (sideChainCount);
    if (inputs < 1 || inputs > maxChainChannels || outputs < 1 || outputs > maxChainChannels
        || sideChains < 0 || sideChains > maxSideChainCount)
        return fail ("LiveProfessor chain channel count is out of supported range");
    strip.inputChannels = inputs;
    strip.outputChannels = outputs;
    return true;
}

// The chain's processor: its runtime id (unique, and no hardware node's), its name, and its gains
// and flags.
bool ProjectRead::readChainProcessor (const TreeNode& chainSettings, int k, RackStrip& strip)
{
    const auto* container = firstChild (&chainSettings, "ProcessorSettingsContainer");
    if (container == nullptr)
        return fail ("LiveProfessor ProcessorSettingsContainer is missing");
    juce::int64 chainId = 0;
    const auto chainIdRead = readIntegerProperty (*container, "id", chainId);
    if (chainIdRead == PropertyRead::absent)
        return fail ("LiveProfessor chain runtime id is missing");
    if (chainIdRead == PropertyRead::wrongKind)
        return fail (kindFault (*container, "id", PropertyKind::integer, inChain (k)));
    // A chain carrying a hardware node id would make its patch points read as physical I/O.
    if (chainId == hardwareInputNode || chainId == hardwareOutputNode)
        return fail ("LiveProfessor chain runtime id collides with a hardware node id");
    if (! chainStrip.emplace (chainId, k).second)
        return fail ("LiveProfessor chain runtime id is duplicated");
    strip.name = optionalText (*container, "name", inChain (k));

    const auto* processor = firstChild (container, "processorState");
    if (processor == nullptr)
        return fail ("LiveProfessor chain processorState is missing");
    double inputGain = 0, outputGain = 0;
    if (readNumberProperty (*processor, "inputGain", inputGain) != PropertyRead::read
        || readNumberProperty (*processor, "outputGain", outputGain) != PropertyRead::read
        || inputGain < 0.0 || outputGain < 0.0)
        return fail ("LiveProfessor chain processorState property is missing or invalid");
    for (auto* flag : { "audioMute", "isolate", "bypassed", "enabled" })
        if (! valueOf (*processor, flag).isBool())
            return fail ("LiveProfessor chain processorState property is missing or invalid");
    auto toDb = [] (double gain) { return gain > 0.0 ? (float) (20.0 * std::log10 (gain)) : -100.0f; };
    strip.inputGainDb = toDb (inputGain);
    strip.outputGainDb = toDb (outputGain);
    strip.muted = valueOf (*processor, "audioMute");
    strip.soloed = valueOf (*processor, "isolate");
    strip.bypassed = (bool) valueOf (*processor, "bypassed") || ! (bool) valueOf (*processor, "enabled");
    strip.coverage.name = strip.coverage.inputGain = strip.coverage.outputGain = strip.coverage.pan = true;
    strip.coverage.mute = strip.coverage.solo = strip.coverage.bypass = strip.coverage.channelLayout = true;
    return true;
}

// The plug ids and types of the ProcessorOrder, each id once, one per ChainPlugins child.
bool ProjectRead::readProcessorOrder (const TreeNode& order, const TreeNode& chainPlugins, int k, juce::Array<juce::int64>& orderIds,
                                      juce::StringArray& orderTypes)
{
    std::set<juce::int64> distinctIds;
    for (const auto& plug : order.children)
    {
        if (plug.type != "plug" || ! hasAll (plug, { "id", "type" }))
            return fail ("LiveProfessor ProcessorOrder contains an invalid node");
        juce::int64 id = 0;
        juce::String type;
        if (readIntegerProperty (plug, "id", id) != PropertyRead::read)
            return fail (kindFault (plug, "id", PropertyKind::integer, inChain (k)));
        if (readTextProperty (plug, "type", type) != PropertyRead::read)
            return fail (kindFault (plug, "type", PropertyKind::text, inChain (k)));
        if (! distinctIds.insert (id).second)
            return fail ("LiveProfessor ProcessorOrder contains a duplicate plugin id");
        orderIds.add (id);
        orderTypes.add (type);
    }
    if (chainPlugins.children.size() != (size_t) orderIds.size())
        return fail ("LiveProfessor ProcessorOrder/ChainPlugins count mismatch");
    return true;
}

// The chain's plug-ins in ProcessorOrder, each resolved to its one Plugin child, read, and placed
// at its slot.
bool ProjectRead::readChainSlots (const TreeNode& chainPlugins, const TreeNode& order, int k, RackStrip& strip)
{
    juce::Array<juce::int64> orderIds;
    juce::StringArray orderTypes;
    if (! readProcessorOrder (order, chainPlugins, k, orderIds, orderTypes))
        return false;

    // pluginUid of every Plugin child, so each ProcessorOrder id is resolved without rescanning.
    std::map<juce::int64, std::vector<size_t>> pluginsByUid;
    for (size_t c = 0; c < chainPlugins.children.size(); ++c)
    {
        const auto& child = chainPlugins.children[c];
        juce::int64 uid = 0;
        const auto uidRead = child.type == "Plugin" ? readIntegerProperty (child, "pluginUid", uid) : PropertyRead::absent;
        if (uidRead == PropertyRead::wrongKind)
            return fail (kindFault (child, "pluginUid", PropertyKind::integer, inChain (k)));
        if (uidRead == PropertyRead::read)
            pluginsByUid[uid].push_back (c);
    }

    int lastSlot = -1;
    for (int p = 0; p < orderIds.size(); ++p)
    {
        const auto r = orderIds[p];
        const auto found = pluginsByUid.find (r);
        if (found == pluginsByUid.end() || found->second.size() != 1)
            return fail ("LiveProfessor ProcessorOrder id does not resolve uniquely");
        const auto& pluginNode = chainPlugins.children[found->second.front()];
        PluginRef slot;
        if (! readSlot (pluginNode, r, orderTypes[p], k, slot) || ! placeSlot (r, k, p, lastSlot, strip, slot))
            return false;
    }
    return true;
}

// One plug-in of the chain into slot; its type must be the one ProcessorOrder names. A plug-in
// that cannot be read is kept as an occupied slot with a DROPPED note.
bool ProjectRead::readSlot (const TreeNode& pluginNode, juce::int64 r, const juce::String& orderType, int k, PluginRef& slot)
{
    juce::String typeId;
    if (readTextProperty (pluginNode, "pluginTypeId", typeId) == PropertyRead::wrongKind)
        return fail (kindFault (pluginNode, "pluginTypeId", PropertyKind::text, inChain (k)));
    if (typeId != orderType)
        return fail ("LiveProfessor ProcessorOrder type does not match ChainPlugins");

    slot.occupied = true;
    juce::String slotError;
    const auto nameRead = readTextProperty (pluginNode, "pluginTypeName", slot.name);
    if (nameRead == PropertyRead::wrongKind)
        slotError = kindFault (pluginNode, "pluginTypeName", PropertyKind::text, inChain (k));
    const bool slotOk = nameRead == PropertyRead::read && slot.name.isNotEmpty() && hasProperty (pluginNode, "pluginUid")
                     && readPluginType (typeId, slot, slotError)
                     && parsePluginPayload (pluginNode, r, slot, slotError, stateBytes);
    if (! slotOk)
        dropped ("plugin.state", slotError);
    return true;
}

// The slot at its place in the strip: a stable runtime id says the place itself, a native one is
// the next place, or where the converter metadata puts it; the places between stay empty.
bool ProjectRead::placeSlot (juce::int64 r, int k, int p, int& lastSlot, RackStrip& strip, PluginRef& slot)
{
    int slotIndex = p;
    if (isStableRuntimeId (r))
    {
        stableIds = true;
        const int s = stableRuntimeIdSlot (r);
        if (stableRuntimeIdChain (r) != k || s <= lastSlot)
            return fail ("LiveProfessor stable runtime id does not match ProcessorOrder");
        slot.sidechainSource = stableRuntimeIdSidechainSource (r);
        if (hasMetadata)
        {
            const auto entry = metadata.find (r);
            if (entry == metadata.end() || entry->second.chainIndex != k || entry->second.slotIndex != s)
                return fail ("VORN converter metadata does not match ProcessorOrder");
            metadata.erase (entry);
        }
        slotIndex = s;
    }
    else
    {
        nativeIds = true;
        if (hasMetadata)
        {
            const auto entry = metadata.find (r);
            if (entry == metadata.end() || entry->second.chainIndex != k || entry->second.slotIndex <= lastSlot)
                return fail ("VORN converter metadata does not match ProcessorOrder");
            slotIndex = entry->second.slotIndex;
            metadata.erase (entry);
        }
    }
    paddingSlots += slotIndex - strip.plugins.size();
    if (paddingSlots > maxPaddingSlots)
        return fail ("LiveProfessor slot layout exceeds the safety limit");
    lastSlot = slotIndex;
    while (strip.plugins.size() < slotIndex)
        strip.plugins.add (PluginRef());
    placedIds[{ k, slotIndex }] = r;
    strip.plugins.add (std::move (slot));
    return true;
}

// The global snapshots as RackSnapshot rows; more than one, or an active one that does not
// resolve, is noted. The GlobalSnapshots node, or null.
const TreeNode* ProjectRead::readGlobalSnapshots (const TreeNode& root)
{
    auto& session = result.session;
    const auto* globalSnapshots = firstChild (&root, "GlobalSnapshots");
    if (globalSnapshots != nullptr)
    {
        int position = 0;
        std::vector<juce::int64> ids;
        for (const auto& snapshot : globalSnapshots->children)
        {
            if (snapshot.type != "GlobalSnapshot")
                continue;
            juce::int64 id = 0;
            optionalInteger (snapshot, "GSid", id);
            ids.push_back (id);
            session.snapshots.add ({ position++, optionalText (snapshot, "GSname"), "GSid=" + juce::String (id) });
        }
        if (ids.size() > 1)
            dropped ("snapshots", "multiple GlobalSnapshots need per-snapshot RackIR state");
        if (juce::int64 active = 0; ! ids.empty() && optionalInteger (*globalSnapshots, "ActiveSnapshot", active))
        {
            if (std::count (ids.begin(), ids.end(), active) != 1)
                dropped ("snapshots.active", "ActiveSnapshot does not resolve uniquely");
        }
    }
    return globalSnapshots;
}

// The live audio patch (or, for a converter's project the host has saved since, the clean
// snapshot's, with the plug-in states it holds) as physical patches and sidechain sources; the
// result's status says whether the read was complete.
void ProjectRead::readRouting (const TreeNode& root, const TreeNode* globalSnapshots)
{
    auto& session = result.session;
    result.ok = true;
    const auto* audioPatch = firstChild (firstChild (&root, "GlobalSnapshot"), "AudioPatch");
    bool cleanUsed = false;
    if (stableIds && globalSnapshots != nullptr)
    {
        if (const auto* clean = chooseCleanSnapshot (*globalSnapshots, audioPatch))
        {
            cleanUsed = true;
            audioPatch = findChild (*clean, "AudioPatch");
            juce::String restoreError;
            if (! restoreCleanSnapshotPluginStates (*clean, session, placedIds, stateBytes, restoreError))
                dropped ("plugin.state", restoreError);
        }
    }

    if (audioPatch == nullptr)
    {
        dropped ("routing.audioPatch", "current GlobalSnapshot/AudioPatch is missing");
        result.status = readPartial;
        return;
    }
    std::set<int> fedStrips;
    if (! walkAudioPatch (*audioPatch, session, chainStrip, facts, stableIds, fedStrips))
    {
        dropped ("routing.audioPatch", "AudioPatch contains a non-main-bus or malformed graph point");
        result.status = readPartial;
        return;
    }
    if (cleanUsed)
        session.notes.add (Fidelity::lossless, "routing.audioPatch", "host-normalized physical I/O restored from VORN_CLEAN_SNAPSHOT");
    finishRoutes (session, fedStrips);
    result.status = strict ? readComplete : readPartial;
}

RackReadResult readProject (const TreeNode& root, const juce::String& sourcePath, StateBytes stateBytes)
{
    ProjectRead reader;
    reader.stateBytes = stateBytes;
    auto& session = reader.result.session;
    session.sourceFormat = liveProfessorRack2FormatId;
    session.sourceApp = "LiveProfessor";
    session.sourceFile = sourcePath;
    if (! reader.readHeader (root) || ! reader.readChains (root))
        return reader.failed();
    reader.readRouting (root, reader.readGlobalSnapshots (root));
    // The result holds every plug-in state read: it is handed over, not copied.
    return std::move (reader.result);
}

// The project in the file; the tree that was read stays in root.
RackReadResult readProjectFile (const juce::File& file, TreeNode& root, StateBytes stateBytes)
{
    root = TreeNode();
    const auto path = file.getFullPathName();
    if (! file.exists())
    {
        auto result = readLiveProfessorRack2Tree ({}, path);
        result.error = "could not open file";
        return result;
    }
    juce::String error;
    TreeReadFault fault;
    if (! readValueTreeFile (file, root, error, fault))
        return treeReadFailure (path, error, fault);
    return readProject (root, path, stateBytes);
}

} // namespace

RackReadResult readLiveProfessorRack2Tree (const TreeNode& root, const juce::String& sourcePath)
{
    return readProject (root, sourcePath, StateBytes::copy);
}

RackReadResult readLiveProfessorRack2 (const juce::File& file, TreeNode& root)
{
    return readProjectFile (file, root, StateBytes::copy);
}

// The two entry points below own their tree and throw it away after the read: the plug-in states
// are taken out of it instead of being copied.
RackReadResult readLiveProfessorRack2 (const juce::File& file)
{
    TreeNode root;
    return readProjectFile (file, root, StateBytes::take);
}

RackReadResult readLiveProfessorRack2Bytes (const void* data, size_t size, const juce::String& sourcePath)
{
    TreeNode root;
    juce::String error;
    TreeReadFault fault;
    if (! readValueTreeBytes (data, size, root, error, fault))
        return treeReadFailure (sourcePath, error, fault);
    return readProject (root, sourcePath, StateBytes::take);
}

} // namespace vornconv
