// The selection file of a Waves transfer. It is untrusted: exactly one JSON document of the keys
// the selection report writes, checked strictly against the input's fingerprint and the
// direction, and every field an entry repeats of the source or of itself must agree; a refusal
// names the entry (or the two entries) it is about.

#include "waves/WavesNativeTransferInternal.h"

#include "model/JsonWriter.h"
#include "model/StrictJson.h"
#include "model/UntrustedFile.h"

#include <limits>
#include <map>

namespace vornconv::waves::nativeTransfer
{

namespace
{

constexpr int maxSourceSlot = 63;

// The selection file is untrusted: read only up to this size, nesting refused beyond this depth.
// A selection document is five levels deep.
constexpr size_t maxSelectionBytes = 16 * 1024 * 1024;
constexpr int maxSelectionDepth = 16;

bool isChannelType (int type)
{
    return type == 0 || type == 1 || type == 2 || type == 6;
}

// The keys of each object of a selection document, as the report writes them. Any other key is
// refused, so that a misspelled one ("selectd") is never silently ignored.
const char* const documentKeys[] = { "schema",         "target",         "sourceSha256", "targetStrips", "targetSlots", "required",
                                     "channelOverflow", "wavesNative",   "destinationLimit", "sourceApp", "channels",    "notTransferable",
                                     nullptr };
const char* const channelKeys[] = { "sourceType", "sourceIndex", "targetIndex", "typeName", "name", "selected", "overflow", "destinationType",
                                    "destinationIndex", "destinationName", "pluginOverflow", "plugins", nullptr };
const char* const pluginKeys[] = { "sourceSlot", "targetSlot", "name", "vendor", "selected", "sidechainSource", "destinationSlot", nullptr };
const char* const notTransferableKeys[] = { "sourceType", "sourceIndex", "typeName", "sourceSlot", "name", "vendor", "reason", nullptr };

// The key must exist and hold a JSON integer within int32; a wider value would otherwise wrap
// onto another channel or slot without a word.
bool intProperty (const juce::DynamicObject& object, const char* key, int& value, juce::String& error)
{
    if (! object.hasProperty (key))
    {
        error = juce::String ("Waves selection property is missing: ") + key;
        return false;
    }
    const auto v = object.getProperty (key);
    if (v.isInt())
    {
        value = (int) v;
        return true;
    }
    if (v.isInt64() && (juce::int64) v >= std::numeric_limits<int>::min() && (juce::int64) v <= std::numeric_limits<int>::max())
    {
        value = (int) (juce::int64) v;
        return true;
    }
    error = juce::String ("Waves selection property must be an integer: ") + key;
    return false;
}

enum class Selected
{
    yes,
    no,
    invalid
};

// A missing "selected" keeps the element; only a JSON boolean decides, so that 0, "false" or
// null cannot be mistaken for either answer.
Selected selectedFlag (const juce::DynamicObject& object)
{
    if (! object.hasProperty ("selected"))
        return Selected::yes;
    const auto v = object.getProperty ("selected");
    if (! v.isBool())
        return Selected::invalid;
    return (bool) v ? Selected::yes : Selected::no;
}

// The selection is not a document of the declared shape; reason says where.
bool shapeError (const juce::String& reason, juce::String& error)
{
    error = "Waves selection schema is invalid: " + reason;
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

// The keys of the document, its channels and their plug-ins, and the entries it lists as not
// transferable (where a "selected" would be ignored as well).
bool checkDocumentKeys (const juce::var& document, const juce::String& text, const json::KeyOffsets& offsets, juce::String& error)
{
    if (! checkKeys (document, documentKeys, "the document", text, offsets, error))
        return false;
    if (const auto* entries = document.getProperty ("notTransferable", {}).getArray())
        for (int i = 0; i < entries->size(); ++i)
            if (! checkKeys (entries->getReference (i), notTransferableKeys, "notTransferable[" + juce::String (i) + "]", text, offsets, error))
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

// An optional text field: absent, or a JSON string.
bool optionalText (const juce::DynamicObject& object, const char* key, const juce::String& path, std::optional<juce::String>& value,
                   juce::String& error)
{
    if (! object.hasProperty (key))
        return true;
    const auto v = object.getProperty (key);
    if (! v.isString())
        return shapeError (path + "." + key + " is not a string", error);
    value = v.toString();
    return true;
}

// An optional integer field that must hold expected when present.
bool optionalIntEquals (const juce::DynamicObject& object, const char* key, int expected, bool& differs, int& value, juce::String& error)
{
    differs = false;
    if (! object.hasProperty (key))
        return true;
    if (! intProperty (object, key, value, error))
        return false;
    differs = value != expected;
    return true;
}

// The fields of a channel entry beside the mapping: its type name and destination name repeat
// the mapping; toward SoundGrid the destination fields repeat targetIndex, toward LV1 targetIndex
// repeats destinationIndex.
bool checkChannelFields (const juce::DynamicObject& channel, const juce::String& path, bool toLv1, ChannelChoice& choice, juce::String& error)
{
    std::optional<juce::String> typeName, destinationName;
    if (! optionalText (channel, "typeName", path, typeName, error) || ! optionalText (channel, "name", path, choice.name, error)
        || ! optionalText (channel, "destinationName", path, destinationName, error))
        return false;
    if (typeName && *typeName != channelTypeName (choice.source.type))
        return disagreement (choice.where, "typeName " + json::quotedForMessage (*typeName) + " disagrees with sourceType "
                                               + juce::String (choice.source.type) + " (" + channelTypeName (choice.source.type) + ")",
                             error);
    if (! toLv1)
    {
        const struct
        {
            const char* key;
            int expected;
            const char* tail;
        } repeats[] = { { "destinationType", 0, " (type 0)" }, { "destinationIndex", choice.rackIndex, "" } };
        for (const auto& r : repeats)
        {
            bool differs = false;
            int value = 0;
            if (! optionalIntEquals (channel, r.key, r.expected, differs, value, error))
                return false;
            if (differs)
                return disagreement (choice.where, juce::String (r.key) + " " + juce::String (value) + " disagrees with targetIndex "
                                                       + juce::String (choice.rackIndex)
                                                       + "; toward SuperRack SoundGrid the destination is the rack channel targetIndex" + r.tail,
                                     error);
        }
    }
    else if (choice.rackIndex != choice.destination.index)
    {
        return disagreement (choice.where, "targetIndex " + juce::String (choice.rackIndex) + " disagrees with destinationIndex "
                                               + juce::String (choice.destination.index)
                                               + "; toward eMotion LV1 the destination is destinationType and destinationIndex, and targetIndex repeats destinationIndex",
                             error);
    }
    const auto destination = genericChannelName (choice.destination.type, choice.destination.index);
    if (destinationName && *destinationName != destination)
        return disagreement (choice.where, "destinationName " + json::quotedForMessage (*destinationName) + " disagrees with destinationType "
                                               + juce::String (choice.destination.type) + " and destinationIndex "
                                               + juce::String (choice.destination.index) + " (" + destination + ")",
                             error);
    return true;
}

// The fields of a plug-in entry beside its slots: toward SoundGrid destinationSlot repeats
// targetSlot, toward LV1 targetSlot repeats destinationSlot, and no sidechain is carried.
bool checkPluginFields (const juce::DynamicObject& plugin, const juce::String& path, bool toLv1, PluginChoice& slot, juce::String& error)
{
    if (! optionalText (plugin, "name", path, slot.name, error) || ! optionalText (plugin, "vendor", path, slot.vendor, error))
        return false;
    bool differs = false;
    int value = 0;
    if (toLv1 && plugin.hasProperty ("destinationSlot"))
    {
        if (! optionalIntEquals (plugin, "targetSlot", slot.targetSlot, differs, value, error))
            return false;
        if (differs)
            return disagreement (slot.where, "targetSlot " + juce::String (value) + " disagrees with destinationSlot " + juce::String (slot.targetSlot)
                                                 + "; toward eMotion LV1 the destination is the slot destinationSlot, and targetSlot repeats it",
                                 error);
    }
    if (! toLv1)
    {
        if (! optionalIntEquals (plugin, "destinationSlot", slot.targetSlot, differs, value, error))
            return false;
        if (differs)
            return disagreement (slot.where, "destinationSlot " + juce::String (value) + " disagrees with targetSlot " + juce::String (slot.targetSlot)
                                                 + "; toward SuperRack SoundGrid the destination is the rack slot targetSlot",
                                 error);
    }
    if (! optionalIntEquals (plugin, "sidechainSource", -1, differs, value, error))
        return false;
    if (differs)
        return disagreement (slot.where, "sidechainSource " + juce::String (value) + " disagrees with the source: the Waves transfer carries no sidechain (-1)",
                             error);
    return true;
}

} // namespace

bool disagreement (const juce::String& where, const juce::String& what, juce::String& error)
{
    error = "Waves selection " + where + ": " + what;
    return false;
}

namespace
{

// The selection file read and parsed, with the checks of the document as a whole: its schema,
// its keys, its target, the input's fingerprint and a channel list.
bool readDocument (const juce::File& selection, const juce::String& target, const juce::String& fingerprint, juce::var& document,
                   juce::String& error)
{
    juce::String text, reason;
    if (! readUntrustedText (selection, (juce::int64) maxSelectionBytes, text, reason))
    {
        error = "Waves selection file cannot be read: " + reason;
        return false;
    }
    json::KeyOffsets offsets;
    document = json::parseStrictJson (text, maxSelectionBytes, maxSelectionDepth, reason, &offsets);
    if (reason.isNotEmpty())
        return shapeError (reason, error);
    auto* root = document.getDynamicObject();
    if (root == nullptr)
        return shapeError ("the document is not a JSON object", error);
    if (root->getProperty ("schema").toString() != "vorn-waves-selection-v1")
        return shapeError ("schema is not \"vorn-waves-selection-v1\"", error);
    if (! checkDocumentKeys (document, text, offsets, error))
        return false;
    if (root->getProperty ("target").toString() != target)
    {
        error = "Waves selection target does not match the conversion target";
        return false;
    }
    if (root->getProperty ("sourceSha256").toString() != fingerprint)
    {
        error = "Waves selection source fingerprint does not match the current input file";
        return false;
    }
    if (root->getProperty ("channels").getArray() == nullptr)
    {
        error = "Waves selection channel list is missing";
        return false;
    }
    return true;
}

// How many channels are selected; every entry must be an object whose "selected" is absent, true
// or false.
bool countSelected (const juce::Array<juce::var>& channels, int& selectedCount, juce::String& error)
{
    selectedCount = 0;
    for (int i = 0; i < channels.size(); ++i)
    {
        auto* channel = channels.getReference (i).getDynamicObject();
        const auto selected = channel != nullptr ? selectedFlag (*channel) : Selected::invalid;
        if (selected == Selected::invalid)
        {
            error = "Waves selection contains an invalid channel: channels[" + juce::String (i) + "]"
                    + (channel == nullptr ? " is not an object" : " \"selected\" is not true or false");
            return false;
        }
        selectedCount += selected == Selected::yes ? 1 : 0;
    }
    if (selectedCount == 0)
    {
        error = "Select between 1 and 64 Waves channels";
        return false;
    }
    return true;
}

// " is not a channel type (0 Input, 1 Group, 2 Aux, 6 Matrix)", for a refusal.
juce::String notAChannelType()
{
    return juce::String (" is not a channel type (0 ") + channelTypeName (0) + ", 1 " + channelTypeName (1) + ", 2 "
           + channelTypeName (2) + ", 6 " + channelTypeName (6) + ")";
}

// The entries seen so far by the source channel and the destination they take, for a refusal
// that names both entries of a pair.
struct SeenEntries
{
    std::map<ChannelKey, juce::String> sources, destinations;
};

// The mapping of a selected channel entry at path: its source, rack index and destination, each
// a channel (or rack channel) that no earlier entry takes, and the fields that repeat them. entry
// is the entry as a refusal of a pair or of a plug-in names it.
bool readChannelMapping (const juce::DynamicObject& channel, const juce::String& path, bool toLv1, ChannelChoice& choice,
                         juce::String& entry, SeenEntries& earlier, juce::String& error)
{
    auto& sources = earlier.sources;
    auto& destinations = earlier.destinations;
    const auto channelMapping = [&error] (const juce::String& what) {
        error = "Waves selection channel mapping is invalid or duplicated: " + what;
        return false;
    };
    if (! intProperty (channel, "sourceType", choice.source.type, error)
        || ! intProperty (channel, "sourceIndex", choice.source.index, error)
        || ! intProperty (channel, "targetIndex", choice.rackIndex, error))
        return false;
    if (toLv1)
    {
        // Toward LV1 the destination is the user's to choose, so it must be given.
        for (const auto& [key, value] : { std::pair<const char*, int*> { "destinationType", &choice.destination.type },
                                          std::pair<const char*, int*> { "destinationIndex", &choice.destination.index } })
        {
            if (! channel.hasProperty (key))
                return shapeError (path + " has no " + key, error);
            if (! intProperty (channel, key, *value, error))
                return false;
        }
    }
    else
    {
        choice.destination = { 0, choice.rackIndex };
    }
    if (! isChannelType (choice.source.type))
        return channelMapping (path + " sourceType " + juce::String (choice.source.type) + notAChannelType());
    if (choice.source.index < 0)
        return channelMapping (path + " sourceIndex " + juce::String (choice.source.index) + " is below 0");
    choice.where = path + " (" + genericChannelName (choice.source.type, choice.source.index) + ")";
    if (! optionalText (channel, "name", path, choice.name, error))
        return false;
    // The entry as a refusal of a pair names it: its place, its source channel and its name.
    entry = path + " (" + genericChannelName (choice.source.type, choice.source.index)
            + (choice.name ? " " + json::quotedForMessage (*choice.name) : juce::String()) + ")";
    // The rack channel is targetIndex toward SoundGrid; toward LV1 it is the source's own, and
    // targetIndex only repeats the destination, which is unique by its type and index.
    if (! toLv1 && (choice.rackIndex < 0 || choice.rackIndex >= maxChannels))
        return channelMapping (entry + " targetIndex " + juce::String (choice.rackIndex) + " is not a rack channel (0 to "
                               + juce::String (maxChannels - 1) + ")");
    if (! isChannelType (choice.destination.type))
        return channelMapping (entry + " destinationType " + juce::String (choice.destination.type) + notAChannelType());
    if (choice.destination.index < 0)
        return channelMapping (entry + " destinationIndex " + juce::String (choice.destination.index) + " is below 0");
    if (const auto seen = sources.find (choice.source); seen != sources.end())
        return channelMapping (seen->second + " and " + entry + " both take " + genericChannelName (choice.source.type, choice.source.index)
                               + " from the source");
    if (const auto seen = destinations.find (choice.destination); seen != destinations.end())
        return channelMapping (seen->second + " and " + entry + " both go to "
                               + genericChannelName (choice.destination.type, choice.destination.index));
    sources.emplace (choice.source, entry);
    destinations.emplace (choice.destination, entry);
    if (! checkChannelFields (channel, path, toLv1, choice, error))
        return false;
    if (toLv1)
        choice.rackIndex = choice.source.index;
    return true;
}

// The selected plug-ins of the channel entry at path: each a source slot and a target slot that
// no other plug-in of the entry takes, and the fields that repeat them.
bool readPluginEntries (const juce::Array<juce::var>& plugins, const juce::String& path, const juce::String& entry, bool toLv1,
                        ChannelChoice& choice, juce::String& error)
{
    const int targetSlots = toLv1 ? lv1Slots : superRackSlots;
    std::map<int, juce::String> sourceSlots, usedTargetSlots;
    const auto pluginMapping = [&error, &entry] (const juce::String& what) {
        error = "Waves selection plug-in mapping is invalid or duplicated: " + entry + " " + what;
        return false;
    };
    for (int j = 0; j < plugins.size(); ++j)
    {
        const auto pluginPath = path + ".plugins[" + juce::String (j) + "]";
        const auto pluginPlace = "plugins[" + juce::String (j) + "]";
        auto* plugin = plugins.getReference (j).getDynamicObject();
        if (plugin == nullptr)
            return shapeError (pluginPath + " is not an object", error);
        const auto pluginSelected = selectedFlag (*plugin);
        if (pluginSelected == Selected::no)
            continue;
        if (pluginSelected == Selected::invalid)
            return pluginMapping (pluginPlace + " \"selected\" is not true or false");
        PluginChoice slot;
        const char* targetKey = toLv1 && plugin->hasProperty ("destinationSlot") ? "destinationSlot" : "targetSlot";
        if (! intProperty (*plugin, "sourceSlot", slot.sourceSlot, error) || ! intProperty (*plugin, targetKey, slot.targetSlot, error)
            || ! optionalText (*plugin, "name", pluginPath, slot.name, error))
            return false;
        const auto pluginEntry = pluginPlace + " (slot " + juce::String (slot.sourceSlot)
                                 + (slot.name ? " " + json::quotedForMessage (*slot.name) : juce::String()) + ")";
        if (slot.sourceSlot < 0 || slot.sourceSlot > maxSourceSlot)
            return pluginMapping (pluginPlace + " sourceSlot " + juce::String (slot.sourceSlot) + " is not a slot (0 to "
                                  + juce::String (maxSourceSlot) + ")");
        if (slot.targetSlot < 0 || slot.targetSlot >= targetSlots)
            return pluginMapping (pluginEntry + " " + targetKey + " " + juce::String (slot.targetSlot) + " is not a slot of the target (0 to "
                                  + juce::String (targetSlots - 1) + ")");
        if (const auto seen = sourceSlots.find (slot.sourceSlot); seen != sourceSlots.end())
            return pluginMapping (seen->second + " and " + pluginEntry + " both take slot " + juce::String (slot.sourceSlot) + " from the source");
        if (const auto seen = usedTargetSlots.find (slot.targetSlot); seen != usedTargetSlots.end())
            return pluginMapping (seen->second + " and " + pluginEntry + " both go to slot " + juce::String (slot.targetSlot));
        sourceSlots.emplace (slot.sourceSlot, pluginEntry);
        usedTargetSlots.emplace (slot.targetSlot, pluginEntry);
        slot.where = choice.where + " plugins[" + juce::String (j) + "] (slot " + juce::String (slot.sourceSlot) + ")";
        if (! checkPluginFields (*plugin, pluginPath, toLv1, slot, error))
            return false;
        choice.plugins.push_back (slot);
    }
    return true;
}

} // namespace

bool readSelection (const juce::File& selection, const juce::String& target, const juce::String& fingerprint, Selection& result,
                    juce::String& error)
{
    juce::var document;
    if (! readDocument (selection, target, fingerprint, document, error))
        return false;
    const auto* channels = document.getDynamicObject()->getProperty ("channels").getArray();
    // First the count: too many channels are refused as that, not by the first entry that no
    // longer fits.
    if (! countSelected (*channels, result.selectedCount, error))
        return false;
    if (result.selectedCount > maxChannels)
        return true;

    const bool toLv1 = target == wavesLv1Target;
    SeenEntries seen;
    for (int i = 0; i < channels->size(); ++i)
    {
        auto* channel = channels->getReference (i).getDynamicObject();
        if (selectedFlag (*channel) == Selected::no)
            continue;
        const auto path = "channels[" + juce::String (i) + "]";
        ChannelChoice choice;
        juce::String entry;
        if (! readChannelMapping (*channel, path, toLv1, choice, entry, seen, error))
            return false;
        const auto* plugins = channel->getProperty ("plugins").getArray();
        if (plugins == nullptr)
        {
            error = "Waves selection plug-in list is missing: " + choice.where + " has no plugins array";
            return false;
        }
        if (! readPluginEntries (*plugins, path, entry, toLv1, choice, error))
            return false;
        result.choices.push_back (std::move (choice));
    }
    return true;
}

} // namespace vornconv::waves::nativeTransfer
