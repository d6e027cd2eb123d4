// The selection report and the selection file. The report proposes, for a target's capacity, which
// channels and plug-ins to keep and where to put them; the user edits it and hands it back, and
// the file then projects the session onto the kept channels and plug-ins. Both are tied to the
// exact input file by its SHA-256. The file is untrusted JSON: it goes through the loader and the
// strict parse (exactly one JSON document, no repeated key, no key the report does not write,
// refused with its line and column), every integer must be a JSON integer
// in range, every "selected" a JSON boolean, every mapping must point at something that exists,
// once, and what an entry repeats of the source (names, vendors, sidechain sources) must still be
// what the source holds.
//
// In this file, in order:
//   - Reading a selection file: the source digest, the document, strict properties, and the
//     channel and plug-in mappings.
//   - Projection: the projected session, with sidechain sources renumbered, where its strips and
//     plug-ins stood in the session as read, and notes that name what was left out.
//   - The report: buildSelectionReportJson.
//   - Applying a selection file: applySelectionFile, which checks schema, target, digest and
//     capacity before it projects.

#include "rapp/RappSelection.h"

#include "model/Expected.h"
#include "model/JsonWriter.h"
#include "model/StrictJson.h"
#include "model/UntrustedFile.h"

#include <juce_cryptography/juce_cryptography.h>

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <vector>

namespace vornconv::rapp
{

const char* const selectionSchema = "vorn-rapp-selection-v1";

namespace
{

//==============================================================================
// Reading a selection file

struct PluginMapping
{
    juce::int32 sourceSlot = 0;
    juce::int32 targetSlot = 0;
};

struct ChannelMapping
{
    juce::int32 sourceIndex = 0;
    juce::int32 targetIndex = 0;
    std::vector<PluginMapping> plugins;
    int element = 0; // its place in the document's channels
};

// The keys the report writes, of the document, a channel and a plug-in: no other is taken, so that
// a misspelt one is never silently ignored.
const char* const documentKeys[] = { "schema", "target", "sourceSha256", "targetStrips", "targetSlots", "required", "channelOverflow",
                                     "channels", nullptr };
const char* const channelKeys[] = { "sourceIndex", "targetIndex", "name", "selected", "overflow", "pluginOverflow", "plugins", nullptr };
const char* const pluginKeys[] = { "sourceSlot", "targetSlot", "name", "vendor", "selected", "sidechainSource", nullptr };

// No session reader takes a larger file, so a larger one cannot be the source that was read.
constexpr juce::int64 maxSourceFileBytes = (juce::int64) 1 << 30;

// SHA-256 of the session's source file, resolved against the working directory; empty when
// there is no such readable file. It is read through the loader like every file we did not
// write, so a source swapped for a FIFO or a device after its read cannot hang the digest.
juce::String sourceSha256 (const RackSession& session)
{
    if (session.sourceFile.isEmpty())
        return {};
    const auto file = juce::File::getCurrentWorkingDirectory().getChildFile (session.sourceFile);
    juce::MemoryBlock bytes;
    juce::String ignored;
    if (! readUntrustedBytes (file, maxSourceFileBytes, bytes, ignored))
        return {};
    return juce::SHA256 (bytes).toHexString().toLowerCase();
}

// The whole file as exactly one JSON document: a void var when the loader refuses the file
// (too large, not a regular file, not UTF-8 text; readError says why) or when it is not one
// JSON document within the parse's limits (shapeReason says what and where).
juce::var parseSelectionFile (const juce::File& file, juce::String& text, json::KeyOffsets& keys, juce::String& readError,
                              juce::String& shapeReason)
{
    if (! readUntrustedText (file, maxSelectionFileBytes, text, readError))
        return {};
    return json::parseStrictJson (text, (size_t) maxSelectionFileBytes, maxSelectionJsonDepth, shapeReason, &keys);
}

// The document is not of the declared shape; reason says where.
bool shapeError (const juce::String& reason, juce::String& error)
{
    error = "selection schema is invalid: " + reason;
    return false;
}

// Every key of value (when it is an object) must be one of keys; the first other one is refused,
// naming it, where it stands in the document (path) and its line and column in the file.
bool checkKeys (const juce::var& value, const char* const* keys, const juce::String& path, const juce::String& text,
                const json::KeyOffsets& offsets, juce::String& error)
{
    const auto known = json::checkKnownKeys (value, keys, path, text, offsets);
    return known.ok() || shapeError (known.message(), error);
}

bool checkDocumentKeys (const juce::var& document, const juce::String& text, const json::KeyOffsets& offsets, juce::String& error)
{
    if (! checkKeys (document, documentKeys, "the document", text, offsets, error))
        return false;
    const auto* channels = document.getProperty ("channels", {}).getArray();
    for (int i = 0; channels != nullptr && i < channels->size(); ++i)
    {
        const auto& channel = channels->getReference (i);
        const auto path = "channels[" + juce::String (i) + "]";
        if (! checkKeys (channel, channelKeys, path, text, offsets, error))
            return false;
        if (channel.getDynamicObject() == nullptr)
            continue;
        if (const auto* plugins = channel.getProperty ("plugins", {}).getArray())
            for (int j = 0; j < plugins->size(); ++j)
                if (! checkKeys (plugins->getReference (j), pluginKeys, path + ".plugins[" + juce::String (j) + "]", text, offsets, error))
                    return false;
    }
    return true;
}

// A field the projection does not take from the document disagrees with the source: refused, so
// that an edit is never silently ignored.
bool disagreement (const juce::String& where, const juce::String& what, juce::String& error)
{
    error = "selection " + where + ": " + what;
    return false;
}

// An optional text field, which must be the source's when it is given.
bool checkTextField (const juce::var& object, const char* key, const juce::String& path, const juce::String& where,
                     const juce::String& sourceValue, const char* sourceWhat, juce::String& error)
{
    auto* dynamic = object.getDynamicObject();
    if (! dynamic->hasProperty (key))
        return true;
    const auto v = dynamic->getProperty (key);
    if (! v.isString())
        return shapeError (path + "." + key + " is not a string", error);
    if (v.toString() != sourceValue)
        return disagreement (where, juce::String (key) + " " + json::quotedForMessage (v.toString()) + " disagrees with the source "
                                        + sourceWhat + "'s " + key + " " + json::quotedForMessage (sourceValue),
                             error);
    return true;
}

bool stringPropertyEquals (const juce::var& object, const char* key, const juce::String& expected)
{
    const auto value = object.getProperty (key, {});
    return value.isString() && value.toString() == expected;
}

// An integer property in the int32 range; JSON numbers with a fraction or exponent, strings,
// booleans and null are not integers. A refusal names the entry the property belongs to (path,
// such as "channels[1].plugins[0]"; empty for the document itself).
bool intProperty (const juce::var& object, const char* key, const juce::String& path, juce::int32& value, juce::String& error)
{
    const auto place = path.isEmpty() ? juce::String() : " in " + path;
    auto* dynamic = object.getDynamicObject();
    if (dynamic == nullptr || ! dynamic->hasProperty (key))
    {
        error = juce::String ("selection property is missing: ") + key + place;
        return false;
    }
    const auto v = dynamic->getProperty (key);
    if (v.isInt())
    {
        value = (int) v;
        return true;
    }
    if (v.isInt64())
    {
        // A wider value would otherwise wrap onto another strip or slot without a word.
        const auto wide = (juce::int64) v;
        if (wide >= std::numeric_limits<juce::int32>::min() && wide <= std::numeric_limits<juce::int32>::max())
        {
            value = (juce::int32) wide;
            return true;
        }
    }
    error = juce::String ("selection property must be an integer: ") + key + place;
    return false;
}

// The positions 0 to limit - 1 of what a target or a source holds, for a refusal.
juce::String positionsText (juce::int32 limit, const char* what)
{
    return juce::String (limit) + " " + what + (limit > 0 ? " (0 to " + juce::String (limit - 1) + ")" : juce::String());
}

// Why an entry's "selected" is refused.
const char* const selectedNotBoolean = " \"selected\" is not true or false";

enum class Selected
{
    yes,
    no,
    invalid
};

// A missing "selected" keeps the element; anything but a JSON boolean is refused, so that 0,
// "false" or null are not silently read as a decision either way.
Selected selectedFlag (const juce::var& object)
{
    auto* dynamic = object.getDynamicObject();
    if (! dynamic->hasProperty ("selected"))
        return Selected::yes;
    const auto v = dynamic->getProperty ("selected");
    if (! v.isBool())
        return Selected::invalid;
    return (bool) v ? Selected::yes : Selected::no;
}

const RackStrip* firstStripWithIndex (const RackSession& session, juce::int32 index)
{
    for (const auto& strip : session.strips)
        if (strip.index == index)
            return &strip;
    return nullptr;
}

// Success when a kept plug-in's mapping can be placed, else why it cannot; sourceSlots and
// targetSlots hold the element position of every slot this channel kept so far.
Expected<void> checkPluginMapping (const PluginMapping& mapping, const RackStrip& strip, const HostCapacity& capacity,
                                  const std::map<juce::int32, int>& sourceSlots, const std::map<juce::int32, int>& targetSlots)
{
    const auto source = juce::String (mapping.sourceSlot), target = juce::String (mapping.targetSlot);
    if (mapping.sourceSlot < 0 || mapping.sourceSlot >= strip.plugins.size())
        return failure ("sourceSlot " + source + " is outside the source channel's " + positionsText (strip.plugins.size(), "slots"));
    if (! strip.plugins.getReference (mapping.sourceSlot).occupied)
        return failure ("sourceSlot " + source + " is an empty slot of the source channel");
    // The projection pads every strip up to each target slot, so no target takes more than the
    // selection's own limit, whatever the capacity says.
    if (capacity.slots > maxSelectionSlotsPerStrip && (mapping.targetSlot < 0 || mapping.targetSlot >= maxSelectionSlotsPerStrip))
        return failure ("targetSlot " + target + " is outside the " + positionsText (maxSelectionSlotsPerStrip, "slots")
                        + " a selection can place");
    if (mapping.targetSlot < 0 || mapping.targetSlot >= capacity.slots)
        return failure ("targetSlot " + target + " is outside the target's " + positionsText (capacity.slots, "slots"));
    if (const auto earlier = sourceSlots.find (mapping.sourceSlot); earlier != sourceSlots.end())
        return failure ("sourceSlot " + source + " is kept by plugins[" + juce::String (earlier->second) + "] too");
    if (const auto earlier = targetSlots.find (mapping.targetSlot); earlier != targetSlots.end())
        return failure ("targetSlot " + target + " is taken by plugins[" + juce::String (earlier->second) + "] too");
    return success();
}

bool readPluginMappings (const juce::var& channel, const juce::String& channelPath, const juce::String& channelWhere,
                         const RackStrip& strip, const HostCapacity& capacity, std::vector<PluginMapping>& mappings, juce::String& error)
{
    const auto* plugins = channel.getProperty ("plugins", {}).getArray();
    if (plugins == nullptr)
    {
        error = "selection plugins array is missing: " + channelWhere;
        return false;
    }
    std::map<juce::int32, int> sourceSlots, targetSlots;
    for (int j = 0; j < plugins->size(); ++j)
    {
        const auto& element = plugins->getReference (j);
        const auto entry = channelWhere + " plugins[" + juce::String (j) + "]";
        if (element.getDynamicObject() == nullptr)
        {
            error = "selection plugin entry is invalid: " + entry + " is not an object";
            return false;
        }
        const auto selected = selectedFlag (element);
        if (selected == Selected::invalid)
        {
            error = "selection plugin entry is invalid: " + entry + selectedNotBoolean;
            return false;
        }
        if (selected == Selected::no)
            continue;
        PluginMapping mapping;
        const auto path = channelPath + ".plugins[" + juce::String (j) + "]";
        if (! intProperty (element, "sourceSlot", path, mapping.sourceSlot, error)
            || ! intProperty (element, "targetSlot", path, mapping.targetSlot, error))
            return false;
        if (const auto placed = checkPluginMapping (mapping, strip, capacity, sourceSlots, targetSlots); ! placed)
        {
            error = "selection plugin mapping is out of range, absent, or duplicated: " + entry + " " + placed.message();
            return false;
        }
        sourceSlots.emplace (mapping.sourceSlot, j);
        targetSlots.emplace (mapping.targetSlot, j);
        const auto& slot = strip.plugins.getReference (mapping.sourceSlot);
        const auto where = entry + " (slot " + juce::String (mapping.sourceSlot) + ")";
        if (! checkTextField (element, "name", path, where, slot.name, "plugin", error)
            || ! checkTextField (element, "vendor", path, where, slot.vendor, "plugin", error))
            return false;
        if (element.getDynamicObject()->hasProperty ("sidechainSource"))
        {
            juce::int32 sidechain = 0;
            if (! intProperty (element, "sidechainSource", path, sidechain, error))
                return false;
            if (sidechain != slot.sidechainSource)
                return disagreement (where, "sidechainSource " + juce::String (sidechain) + " disagrees with the source plugin's sidechainSource "
                                                + juce::String (slot.sidechainSource),
                                     error);
        }
        mappings.push_back (mapping);
    }
    std::sort (mappings.begin(), mappings.end(),
               [] (const PluginMapping& a, const PluginMapping& b) { return a.targetSlot < b.targetSlot; });
    return true;
}

bool readChannelMappings (const juce::var& document, const RackSession& session, const HostCapacity& capacity,
                          std::vector<ChannelMapping>& mappings, juce::String& error)
{
    const auto* channels = document.getProperty ("channels", {}).getArray();
    if (channels == nullptr)
    {
        error = "selection channels array is missing";
        return false;
    }
    // The element position of every channel kept so far, by its source and its target index.
    std::map<juce::int32, int> sourceIndices, targetIndices;
    for (int i = 0; i < channels->size(); ++i)
    {
        const auto& element = channels->getReference (i);
        const auto path = "channels[" + juce::String (i) + "]";
        if (element.getDynamicObject() == nullptr)
        {
            error = "selection channel entry is invalid: " + path + " is not an object";
            return false;
        }
        const auto selected = selectedFlag (element);
        if (selected == Selected::invalid)
        {
            error = "selection channel entry is invalid: " + path + selectedNotBoolean;
            return false;
        }
        if (selected == Selected::no)
            continue;
        ChannelMapping mapping;
        mapping.element = i;
        if (! intProperty (element, "sourceIndex", path, mapping.sourceIndex, error)
            || ! intProperty (element, "targetIndex", path, mapping.targetIndex, error))
            return false;
        const auto* strip = firstStripWithIndex (session, mapping.sourceIndex);
        if (strip == nullptr)
        {
            error = "selection references a missing source channel: " + path + " sourceIndex " + juce::String (mapping.sourceIndex)
                  + " is no strip of the source";
            return false;
        }
        const auto where = path + " (source index " + juce::String (mapping.sourceIndex) + ")";
        juce::String fault;
        if (mapping.targetIndex < 0 || mapping.targetIndex >= capacity.strips)
            fault = "targetIndex " + juce::String (mapping.targetIndex) + " is outside the target's " + positionsText (capacity.strips, "strips");
        else if (const auto earlier = sourceIndices.find (mapping.sourceIndex); earlier != sourceIndices.end())
            fault = "keeps the same source channel as channels[" + juce::String (earlier->second) + "]";
        else if (const auto taken = targetIndices.find (mapping.targetIndex); taken != targetIndices.end())
            fault = "targetIndex " + juce::String (mapping.targetIndex) + " is taken by channels[" + juce::String (taken->second) + "] too";
        if (fault.isNotEmpty())
        {
            error = "selection channel mapping is out of range or duplicated: " + where + " " + fault;
            return false;
        }
        sourceIndices.emplace (mapping.sourceIndex, i);
        targetIndices.emplace (mapping.targetIndex, i);
        if (! checkTextField (element, "name", path, where, strip->name, "channel", error)
            || ! readPluginMappings (element, path, where, *strip, capacity, mapping.plugins, error))
            return false;
        mappings.push_back (std::move (mapping));
    }
    if (mappings.empty())
    {
        error = "selection must keep at least one channel";
        return false;
    }
    std::sort (mappings.begin(), mappings.end(),
               [] (const ChannelMapping& a, const ChannelMapping& b) { return a.targetIndex < b.targetIndex; });
    return true;
}

// A target that holds its strips at 0 to n - 1 in order takes the n kept channels only at exactly
// those indices (mappings sorted by targetIndex): the refusal names the first strip left empty,
// the first entry beyond the kept ones and the rule.
bool checkPlacement (const std::vector<ChannelMapping>& mappings, const SelectionPlacement& placement, juce::String& error)
{
    if (! placement.fromZeroWithoutGaps)
        return true;
    const int kept = (int) mappings.size();
    int gap = -1;
    for (int i = 0; i < kept && gap < 0; ++i)
        if (mappings[(size_t) i].targetIndex != i)
            gap = i;
    if (gap < 0)
        return true;
    // Indices are distinct and none is negative, so with a strip left empty one lies beyond them.
    const auto beyond = std::find_if (mappings.begin(), mappings.end(), [kept] (const ChannelMapping& m) { return m.targetIndex >= kept; });
    const auto last = juce::String (kept - 1);
    error = "selection channel mapping leaves a gap: " + placement.hostFiles + " hold the " + juce::String (kept)
          + (kept == 1 ? " kept channel as strip 0" : " kept channels as strips 0 to " + last + " in order") + "; strip " + juce::String (gap)
          + " is kept by no channel";
    if (beyond != mappings.end())
        error << ", and channels[" << beyond->element << "] (source index " << beyond->sourceIndex << ") has targetIndex "
              << beyond->targetIndex;
    error << "; give the kept channel" << (kept == 1 ? " targetIndex 0" : "s targetIndex 0 to " + last);
    return false;
}

//==============================================================================
// Projection

// projected starts as a copy of source (copy-constructed: assigning empty memory blocks is not safe).
bool project (const RackReadResult& source, const HostCapacity& capacity, const std::vector<ChannelMapping>& channels,
              RackReadResult& projected, juce::String& error)
{
    auto& session = projected.session;
    session.strips.clear();
    session.capacityStrips = capacity.strips;
    session.capacitySlots = capacity.slots;

    std::map<juce::int32, juce::int32> keptTargetIndex;
    for (const auto& channel : channels)
        keptTargetIndex[channel.sourceIndex] = channel.targetIndex;

    // Where each kept strip and plug-in stood in the session as read, for what speaks of it.
    auto& origin = session.selectedFrom;
    origin = SelectionOrigin();
    origin.sourceStrips = source.session.strips.size();
    std::set<juce::int32> keptStrips;                          // source indices
    std::set<std::pair<juce::int32, juce::int32>> keptSlots;   // (source index, source slot)

    int keptPlugins = 0;
    for (const auto& channel : channels)
    {
        const auto& original = *firstStripWithIndex (source.session, channel.sourceIndex);
        RackStrip strip = original;
        strip.index = channel.targetIndex;
        strip.plugins.clear();
        origin.stripIndex[channel.targetIndex] = channel.sourceIndex;
        keptStrips.insert (channel.sourceIndex);
        for (const auto& mapping : channel.plugins)
        {
            origin.slot[{ channel.targetIndex, mapping.targetSlot }] = mapping.sourceSlot;
            keptSlots.emplace (channel.sourceIndex, mapping.sourceSlot);
            PluginRef slot = original.plugins.getReference (mapping.sourceSlot);
            if (slot.sidechainSource >= 0 && slot.sidechainKind != sidechainPhysical)
            {
                const auto kept = keptTargetIndex.find (slot.sidechainSource);
                // A source that is no strip of the session is no channel any entry could keep: it
                // stays the source's, for the preflight to judge as it judges the source. Only
                // when a kept channel lands on its number does it take one that no strip has.
                if (firstStripWithIndex (source.session, slot.sidechainSource) == nullptr)
                {
                    bool taken = false;
                    for (const auto& keptChannel : keptTargetIndex)
                        taken = taken || keptChannel.second == slot.sidechainSource;
                    if (taken)
                        slot.sidechainSource = capacity.strips;
                }
                else if (kept == keptTargetIndex.end())
                {
                    error = "selected sidechain plugin requires a channel that was not selected: "
                          + (slot.name.isEmpty() ? juce::String ("the plug-in") : json::quotedForMessage (slot.name))
                          + " in slot " + juce::String (mapping.sourceSlot) + " of source index " + juce::String (channel.sourceIndex)
                          + " takes its sidechain from source index " + juce::String (slot.sidechainSource) + ", which is not kept";
                    return false;
                }
                else
                {
                    slot.sidechainSource = kept->second;
                }
            }
            while (strip.plugins.size() < mapping.targetSlot)
                strip.plugins.add (PluginRef());
            strip.plugins.add (std::move (slot));
            ++keptPlugins;
        }
        session.strips.add (std::move (strip));
    }

    // What was left out, named as the session as read names it (the plug-ins of a channel left
    // out among them).
    juce::StringArray leftOutChannels, leftOutPlugins;
    for (const auto& strip : source.session.strips)
    {
        const auto place = "strip " + juce::String (strip.index);
        if (keptStrips.count (strip.index) == 0)
            leftOutChannels.add (place + " (" + strip.name + ")");
        for (int p = 0; p < strip.plugins.size(); ++p)
            if (strip.plugins.getReference (p).occupied && keptSlots.count ({ strip.index, p }) == 0)
                leftOutPlugins.add (place + ", slot " + juce::String (p) + " (" + strip.plugins.getReference (p).name + ")");
    }
    const int excludedChannels = source.session.strips.size() - (int) channels.size();
    if (excludedChannels > 0)
        session.notes.add (Fidelity::dropped, "selection.channels",
                           "user excluded " + juce::String (excludedChannels) + " channels for target capacity: "
                               + leftOutChannels.joinIntoString (", "));
    const int excludedPlugins = source.session.countPlugins() - keptPlugins;
    if (excludedPlugins > 0)
        session.notes.add (Fidelity::dropped, "selection.plugins",
                           "user excluded " + juce::String (excludedPlugins) + " plugins for target capacity: "
                               + leftOutPlugins.joinIntoString (", "));
    return true;
}

} // namespace

//==============================================================================
// The report

juce::String buildSelectionReportJson (const RackReadResult& source, const HostCapacity& capacity,
                                       const juce::String& targetId)
{
    const auto& session = source.session;
    const bool fixed = capacity.fixed;

    bool channelOverflow = false;
    if (fixed)
    {
        channelOverflow = session.strips.size() > capacity.strips;
        for (const auto& strip : session.strips)
            channelOverflow = channelOverflow || strip.index < 0 || strip.index >= capacity.strips;
    }

    bool required = channelOverflow;
    juce::Array<juce::var> channels;
    int selectedChannels = 0;
    for (const auto& strip : session.strips)
    {
        bool selected = true;
        juce::int32 targetIndex = strip.index;
        if (fixed && ! channelOverflow)
        {
            selected = strip.index >= 0 && strip.index < capacity.strips;
        }
        else if (fixed)
        {
            selected = selectedChannels < capacity.strips;
            targetIndex = selectedChannels;
        }
        if (selected)
            ++selectedChannels;

        juce::Array<int> occupied;
        for (int p = 0; p < strip.plugins.size(); ++p)
            if (strip.plugins.getReference (p).occupied)
                occupied.add (p);
        bool pluginOverflow = false;
        if (fixed)
        {
            pluginOverflow = occupied.size() > capacity.slots;
            for (const auto p : occupied)
                pluginOverflow = pluginOverflow || p >= capacity.slots;
        }
        required = required || pluginOverflow;

        juce::Array<juce::var> plugins;
        int selectedPlugins = 0;
        for (const auto p : occupied)
        {
            const auto& slot = strip.plugins.getReference (p);
            const bool pluginSelected = selectedPlugins < capacity.slots || ! (fixed && pluginOverflow);
            const int targetSlot = pluginOverflow ? selectedPlugins : p;
            if (pluginSelected)
                ++selectedPlugins;
            auto* plugin = new juce::DynamicObject();
            plugin->setProperty ("sourceSlot", p);
            plugin->setProperty ("targetSlot", targetSlot);
            plugin->setProperty ("name", slot.name);
            plugin->setProperty ("vendor", slot.vendor);
            plugin->setProperty ("selected", pluginSelected);
            plugin->setProperty ("sidechainSource", (int) slot.sidechainSource);
            plugins.add (juce::var (plugin));
        }

        auto* channel = new juce::DynamicObject();
        channel->setProperty ("sourceIndex", (int) strip.index);
        channel->setProperty ("targetIndex", (int) targetIndex);
        channel->setProperty ("name", strip.name);
        channel->setProperty ("selected", selected);
        channel->setProperty ("overflow", channelOverflow);
        channel->setProperty ("pluginOverflow", pluginOverflow);
        channel->setProperty ("plugins", plugins);
        channels.add (juce::var (channel));
    }

    auto* document = new juce::DynamicObject();
    const juce::var root (document);
    document->setProperty ("schema", selectionSchema);
    document->setProperty ("target", targetId);
    document->setProperty ("sourceSha256", sourceSha256 (session));
    document->setProperty ("targetStrips", (int) capacity.strips);
    document->setProperty ("targetSlots", (int) capacity.slots);
    document->setProperty ("required", required);
    document->setProperty ("channelOverflow", channelOverflow);
    document->setProperty ("channels", channels);
    return json::toJsonLine (root);
}

//==============================================================================
// Applying a selection file

bool applySelectionFile (const RackReadResult& source, const juce::File& selection, const HostCapacity& capacity,
                         const juce::String& targetId, RackReadResult& out, juce::String& error, const SelectionPlacement& placement)
{
    // A folder is left to the loader, which names it as one.
    if (! selection.exists())
    {
        error = "selection file does not exist: " + selection.getFullPathName();
        return false;
    }
    juce::String text, readError, shapeReason;
    json::KeyOffsets keys;
    const auto document = parseSelectionFile (selection, text, keys, readError, shapeReason);
    if (readError.isNotEmpty())
    {
        error = "selection file cannot be read: " + readError;
        return false;
    }
    if (shapeReason.isNotEmpty())
        return shapeError (shapeReason, error);
    if (document.getDynamicObject() == nullptr)
        return shapeError ("the document is not a JSON object", error);
    if (! stringPropertyEquals (document, "schema", selectionSchema))
        return shapeError ("schema is not \"" + juce::String (selectionSchema) + "\"", error);
    if (! stringPropertyEquals (document, "target", targetId))
    {
        const auto named = document.getProperty ("target", {});
        error = "selection target does not match conversion target: the file is for "
              + (named.isString() ? json::quotedForMessage (named.toString()) : juce::String ("no target"))
              + ", the conversion for " + json::quotedForMessage (targetId);
        return false;
    }
    const auto fingerprint = sourceSha256 (source.session);
    if (fingerprint.isEmpty() || ! stringPropertyEquals (document, "sourceSha256", fingerprint))
    {
        error = "selection source fingerprint does not match the current input file";
        return false;
    }
    juce::int32 strips = 0, slots = 0;
    if (! intProperty (document, "targetStrips", {}, strips, error) || ! intProperty (document, "targetSlots", {}, slots, error))
        return false;
    if (! capacity.fixed || strips != capacity.strips || slots != capacity.slots)
    {
        error = "selection capacity does not match conversion capacity: the file is for " + juce::String (strips) + " strips x "
              + juce::String (slots) + " slots, the conversion "
              + (capacity.fixed ? "for " + juce::String (capacity.strips) + " strips x " + juce::String (capacity.slots) + " slots"
                                : juce::String ("has no fixed capacity"));
        return false;
    }

    if (! checkDocumentKeys (document, text, keys, error))
        return false;

    std::vector<ChannelMapping> channels;
    if (! readChannelMappings (document, source.session, capacity, channels, error) || ! checkPlacement (channels, placement, error))
        return false;

    // Built aside, so that a failure half-way leaves the caller's output untouched.
    RackReadResult projected = source;
    if (! project (source, capacity, channels, projected, error))
        return false;
    out = std::move (projected);
    return true;
}

} // namespace vornconv::rapp
