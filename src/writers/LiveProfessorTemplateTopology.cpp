// The topology of a LiveProfessor 2 project taken from a host-saved template: every chain and
// every global snapshot's chain list rebuilt from a single prototype when the template's chains do
// not match the session, and the binding that proves the chains and plug-ins correspond one to
// one with the session's strips and occupied slots, each plug-in one that LiveProfessor's current
// list holds. Also the strip look-ups and child removal the later steps share.

#include "writers/LiveProfessorRack2WriterInternal.h"

#include "model/ParameterSnapshot.h"
#include "model/Vst3State.h"

#include <algorithm>

namespace vornconv::rapp::liveProfessorWriter
{

namespace
{

using juce::String;
using juce::var;

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

int countOccupied (const RackStrip& strip)
{
    int count = 0;
    for (const auto& slot : strip.plugins)
        count += slot.occupied ? 1 : 0;
    return count;
}

// A template's text property that holds another kind, refused by its node and name.
juce::String templateKindFault (const TreeNode& node, std::string_view name, const juce::String& stripIndex)
{
    return "LiveProfessor template " + propertyKindFault (node, name, PropertyKind::text) + " at strip " + stripIndex;
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

juce::String hexSuffix (const juce::String& type) { return type.fromLastOccurrenceOf ("-", false, false); }

void copyBytes (juce::MemoryBlock& target, const juce::MemoryBlock& source)
{
    // Copy-assigning an empty block hands a null pointer to memcpy.
    if (source.isEmpty())
        target.reset();
    else
        target = source;
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

bool idProperty (const TreeNode& node, std::string_view name, juce::int64& out)
{
    const auto* value = findProperty (node, name);
    return value != nullptr && readId (*value, out);
}

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

void removeAllChildren (TreeNode* node, Graveyard* graveyard)
{
    if (node == nullptr)
        return;
    if (graveyard != nullptr && ! node->children.empty())
        graveyard->push_back (std::move (node->children));
    node->children.clear();
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

void removeNodesOfType (TreeNode& tree, std::string_view type)
{
    for (auto& child : tree.children)
        if (child.type != type)
            removeNodesOfType (child, type);
    tree.children.erase (std::remove_if (tree.children.begin(), tree.children.end(),
                                         [type] (const TreeNode& child) { return child.type == type; }),
                         tree.children.end());
}

namespace
{

// The prototype of every main chain, taken from the template's first chain: the chain with its
// plug and plug-in lists emptied, its first plug, and its first plug-in (empty when it has none).
struct ChainPrototype
{
    TreeNode chain, plug, plugin;
};

bool takeChainPrototype (const TreeNode& chains, ChainPrototype& prototype, juce::String& error)
{
    auto& prototypeChain = prototype.chain;
    prototypeChain = chains.children.front();
    auto* prototypeSettings = findChild (prototypeChain, "ChainSettings");
    auto* prototypeOrder = prototypeSettings != nullptr ? findChild (*prototypeSettings, "ProcessorOrder") : nullptr;
    if (prototypeOrder == nullptr || prototypeOrder->children.empty())
        return fails (error, "LiveProfessor variable topology prototype must contain a plugin");
    prototype.plug = prototypeOrder->children.front();
    auto* prototypePlugins = findChild (prototypeChain, "ChainPlugins");
    auto& prototypePlugin = prototype.plugin;
    if (prototypePlugins != nullptr && ! prototypePlugins->children.empty())
        prototypePlugin = prototypePlugins->children.front();
    dropReplacedPrototypeState (prototypePlugin);
    // Every copy of the chain empties these lists; the prototype's own chain snapshots carry its
    // old ids and states, and repeated into every chain they would recall the prototype, not the
    // session.
    removeAllChildren (prototypeOrder);
    removeAllChildren (prototypePlugins);
    removeAllChildren (findChild (prototypeChain, "ChainSnapshotList"));
    return true;
}

// One main chain per strip, copied from the prototype, with a plug and a plug-in per occupied slot.
bool appendMainChains (TreeNode& chains, const ChainPrototype& prototype, const RackSession& session,
                       const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog, juce::uint32& uIdCounter,
                       juce::String& error)
{
    const auto& prototypeChain = prototype.chain;
    const auto& prototypePlug = prototype.plug;
    const auto& prototypePlugin = prototype.plugin;
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
        append (chains, std::move (chain));
    }
    return true;
}

// One global snapshot's chains and plug-ins, rebuilt from its own first chain, plug and plug-in;
// what the rebuild drops goes into the graveyard.
bool rebuildSnapshotTopology (TreeNode& snapshot, const RackSession& session, const Vst3ModuleIndex& index,
                              const LiveProfessorPluginCatalog& catalog, juce::uint32& uIdCounter, Graveyard& graveyard,
                              juce::String& error)
{
    auto* snapshotChains = findChild (snapshot, "Chains");
    auto* snapshotPlugins = findChild (snapshot, "Plugins");
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
    return true;
}

} // namespace

bool synthesiseTopologyFromSinglePrototype (TreeNode& root, const RackSession& session,
                                            const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                                            juce::String& error)
{
    auto* chains = findChild (root, "Chains");
    if (chains == nullptr || chains->children.empty())
        return fails (error, "LiveProfessor variable topology requires a native prototype chain");

    ChainPrototype prototype;
    if (! takeChainPrototype (*chains, prototype, error))
        return false;

    removeAllChildren (chains);
    chains->children.reserve ((size_t) session.strips.size());
    juce::uint32 uIdCounter = firstSnapshotUId;
    if (! appendMainChains (*chains, prototype, session, index, catalog, uIdCounter, error))
        return false;

    // A snapshot nested inside what another snapshot's rebuild drops stays alive in the graveyard,
    // so that every snapshot found is visited in order, as JUCE does.
    std::vector<TreeNode*> snapshots;
    collectNodes (root, "GlobalSnapshot", snapshots);
    if (snapshots.empty())
        return fails (error, "LiveProfessor variable topology template has no global snapshots");

    Graveyard graveyard;
    for (auto* snapshot : snapshots)
        if (! rebuildSnapshotTopology (*snapshot, session, index, catalog, uIdCounter, graveyard, error))
            return false;
    graveyard.clear();

    removeNodesOfType (root, "storedViewSetItem");
    removeNodesOfType (root, "WireViewNode");
    rebuildPatchInventories (root, session);
    return true;
}

namespace
{

// The chain's plug-ins by pluginUid: how many carry each id, and the last of them.
using PluginsByUid = std::map<juce::int64, std::pair<int, const TreeNode*>>;

PluginsByUid indexPluginsByUid (const TreeNode& chainPlugins)
{
    PluginsByUid pluginsByUid;
    for (const auto& candidate : chainPlugins.children)
        if (juce::int64 uid = 0; idProperty (candidate, "pluginUid", uid))
        {
            auto& found = pluginsByUid[uid];
            ++found.first;
            found.second = &candidate;
        }
    return pluginsByUid;
}

// The chain's channel and sidechain layout must be the strip's.
bool checkChainLayout (const TreeNode& settings, const RackStrip& strip, const String& at, juce::String& error)
{
    juce::int64 inputs = 0, outputs = 0;
    if (! readProperty (settings, "ChainInputCount", inputs) || inputs != strip.inputChannels
        || ! readProperty (settings, "ChainOutputCount", outputs) || outputs != strip.outputChannels
        || strip.inputChannels < 0 || strip.inputChannels > maxStripChannels || strip.outputChannels < 0
        || strip.outputChannels > maxStripChannels)
        return fails (error, "LiveProfessor template/source channel layout mismatch at strip " + at);

    int source = -1;
    if (! sidechainSourceForStrip (strip, source, error))
        return false;
    juce::int64 sidechains = 0;
    if (! readProperty (settings, "SideChainCount", sidechains) || sidechains != (source < 0 ? 0 : strip.inputChannels))
        return fails (error, "LiveProfessor template/source sidechain layout mismatch at strip " + at);
    return true;
}

// The state a binding writes for its slot: the AudioUnit's raw state or the VST3 state in JUCE's
// form, and the parameter values of its mirror, which must be complete and decode (an AudioUnit
// without a complete mirror has none to write).
bool takeSlotState (const PluginRef& slot, PluginBinding& binding, juce::String& error)
{
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
    return true;
}

// Binds the occupied slot s of the strip to its plug in the chain's ProcessorOrder: the plug must
// name one plug-in of the chain, once in the project, under the type of the slot's entry in
// LiveProfessor's current list, installed.
bool bindSlot (const TreeNode& plug, const PluginsByUid& pluginsByUid, const RackStrip& strip, int s, const String& at,
               const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog, std::set<juce::int64>& boundIds,
               PluginBinding& binding, juce::String& error)
{
    const auto& slot = strip.plugins.getReference (s);
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

    binding.chainIndex = strip.index;
    binding.slotIndex = s;
    binding.runtimeId = id;
    binding.typeId = type;
    return takeSlotState (slot, binding, error);
}

} // namespace

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
        if (! checkChainLayout (*settings, strip, at, error))
            return false;

        juce::int64 chainId = 0;
        if (! idProperty (*container, "id", chainId) || chainId < 3 || ! usedChainIds.insert (chainId).second)
            return fails (error, "LiveProfessor template chain runtime id is invalid");
        chainIds[strip.index] = chainId;

        const int occupied = countOccupied (strip);
        if (occupied > profile.slots || (size_t) occupied != order->children.size())
            return fails (error, "LiveProfessor template/profile/source plugin topology mismatch at strip " + at);

        const auto pluginsByUid = indexPluginsByUid (*chainPlugins);
        size_t k = 0;
        for (int s = 0; s < strip.plugins.size(); ++s)
        {
            if (! strip.plugins.getReference (s).occupied)
                continue;
            PluginBinding binding;
            if (! bindSlot (order->children[k++], pluginsByUid, strip, s, at, index, catalog, boundIds, binding, error))
                return false;
            bindings.add (std::move (binding));
        }
    }
    return true;
}

} // namespace vornconv::rapp::liveProfessorWriter
