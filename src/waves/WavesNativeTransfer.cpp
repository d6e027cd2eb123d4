// The native transfer of selected channels between an eMotion LV1 session and a SuperRack
// SoundGrid session, database to database, inside a copy of a host-saved template. The selection
// file is untrusted: exactly one JSON document of known keys, checked strictly against the input's
// fingerprint, and every field it repeats of the source or of itself must agree; a refusal names
// the entry (or the two entries) it is about. The input and the template are staged as private
// copies; the template copy is opened, its schema proven to be a host's (tables and indexes only),
// the staged input attached, both application types and the SoundGrid side proven. What each table
// a selected channel's rows live in carries is taken from the two schemas: a column both hold is
// copied as it is and proven, a column only the source holds must hold nothing but NULL or its
// default on the rows carried, and a column only the template holds keeps the template's default
// on a row the transfer adds and the template's value on a row of its own that it updates.
// Before anything is written every selected channel and plug-in is checked: a channel the report
// lists, one source channel, one template channel inside the template's channels with its active
// row and its layout row, one plug-in per selected slot with one active state whose preset the
// source holds and no sidechain, no row of a table the transfer does not know that refers to what
// it takes, a template that can be emptied and breaks none of its own keys. The filters that pick
// a channel's rows compare by value (vorn_value), so that an untyped session holding -1 as text
// is read as one holding the number.
// Then, in one transaction, the template's plug-ins and routes go, the selected channels' names,
// active rows, layouts, selected slots, plug-ins, presets, states and physical routes come over,
// and the channel map is recorded; the integrity checks must pass. The written session is read
// back and compared by value, channel by channel, with what the selection asked; only then does
// it go into a temporary file beside the output and is published with an exclusive rename. The
// note says, one finding a line, what was not carried. The input, the selection and the template
// are only read.
//
// In this file, in order:
//   - Limits and the selection file: channel keys and choices, the keys a document may hold,
//     strict integers and flags, the fields an entry repeats, and readSelection.
//   - The output stage and SQL helpers: the private copy that becomes the output, and statements
//     bound to integers.
//   - Names, routes and the template's capacity: generic channel names, the physical routes of the
//     selected channels, the channel counts of the template and the selected slot.
//   - The template's tables: which exist, and the text of a row for a note.
//   - The schemas: what each table carries, the rows every choice names, and what the source holds
//     of the selected rows that the write would not carry.
//   - The source's other tables: rows of a table the transfer does not know that refer to a row
//     it takes.
//   - The template: what it must hold to take the transfer, its own keys, and what its own
//     channels lose.
//   - The notes: what the source holds beyond the copy and what the template keeps.
//   - The channel-map record: the record a later report reads back.
//   - The proof: the written session read back and compared with the selection.
//   - The transfer: convertSession.

#include "waves/WavesChannels.h"

#include "model/JsonWriter.h"
#include "model/StrictJson.h"
#include "model/UntrustedFile.h"
#include "model/AtomicFileCommit.h"
#include "model/PrivateFiles.h"
#include "model/TestHooks.h"
#include "model/Utf8Text.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace vornconv::waves
{

namespace
{

//==============================================================================
// Limits and the selection file

constexpr int maxChannels = 64;
constexpr int superRackSlots = 8;
constexpr int lv1Slots = 64;
constexpr int maxSourceSlot = 63;

// The selection file is untrusted: read only up to this size, nesting refused beyond this depth.
// A selection document is five levels deep.
constexpr size_t maxSelectionBytes = 16 * 1024 * 1024;
constexpr int maxSelectionDepth = 16;

struct ChannelKey
{
    int type = 0;
    int index = 0;

    bool operator< (const ChannelKey& other) const
    {
        return type != other.type ? type < other.type : index < other.index;
    }
};

struct PluginChoice
{
    int sourceSlot = 0;
    int targetSlot = 0;
    std::optional<juce::String> name, vendor; // as the entry gives them; they must be the source's
    juce::String where;                      // "channels[1] (Input 2) plugins[0] (slot 0)", for messages
    // Once the source is open:
    juce::int64 plugId = 0;
    juce::String sourceName;
    size_t sourcePlugin = 0; // its place in the channel's content
};

struct ChannelChoice
{
    ChannelKey source;
    ChannelKey destination;
    int rackIndex = 0;
    std::vector<PluginChoice> plugins;
    std::optional<juce::String> name; // as the entry gives it; it must be the name the channel gets
    juce::String where;               // "channels[1] (Input 2)", for messages
    // Once the source and the template are open:
    juce::int64 sourceId = 0, targetId = 0;
    juce::String outputName; // the source's name, or the generic name of the destination for a channel without one
    bool blank = false;      // no name of its own: it takes the generic name of its destination
    juce::String label;      // the source channel for a message: Input 2 "Snare", or Input 3 without a name of its own
    ChannelContent content;  // the source channel as the transfer carries it
    SqlValue selectedSlot;   // the slot the output selects
    bool selectionMoved = false; // and it is not the source's: what the source selects was not carried
};

// The selected channels of a selection file. More than 64 selected are refused once the template
// says how many it holds; their entries are not read.
struct Selection
{
    std::vector<ChannelChoice> choices;
    int selectedCount = 0;
};

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

// An entry's field that the transfer does not take from the document disagrees with the rest of
// it or with the source: refused, so that an edit is never silently ignored.
bool disagreement (const juce::String& where, const juce::String& what, juce::String& error)
{
    error = "Waves selection " + where + ": " + what;
    return false;
}

// Every key of object must be one of keys; the first other one is refused, naming it, where it
// stands in the document (path) and its line and column in the file.
bool checkKeys (const juce::var& value, const char* const* keys, const juce::String& path, const juce::String& text,
                const json::KeyOffsets& offsets, juce::String& error)
{
    auto* object = value.getDynamicObject();
    if (object == nullptr)
        return true;
    for (const auto& property : object->getProperties())
    {
        const auto key = property.name.toString();
        bool known = false;
        for (auto* k = keys; *k != nullptr && ! known; ++k)
            known = key == *k;
        if (known)
            continue;
        const auto place = offsets.placeOf (text, object, key);
        return shapeError ("unknown key " + json::quotedForMessage (key) + " in " + path + (place.isNotEmpty() ? " at " + place : juce::String()),
                           error);
    }
    return true;
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

bool readSelection (const juce::File& selection, const juce::String& target, const juce::String& fingerprint, Selection& result,
                    juce::String& error)
{
    juce::String text, reason;
    if (! readUntrustedText (selection, (juce::int64) maxSelectionBytes, text, reason))
    {
        error = "Waves selection file cannot be read: " + reason;
        return false;
    }
    json::KeyOffsets offsets;
    const auto document = json::parseStrictJson (text, maxSelectionBytes, maxSelectionDepth, reason, &offsets);
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
    const auto* channels = root->getProperty ("channels").getArray();
    if (channels == nullptr)
    {
        error = "Waves selection channel list is missing";
        return false;
    }
    // First the count: too many channels are refused as that, not by the first entry that no
    // longer fits.
    result.selectedCount = 0;
    for (int i = 0; i < channels->size(); ++i)
    {
        auto* channel = channels->getReference (i).getDynamicObject();
        const auto selected = channel != nullptr ? selectedFlag (*channel) : Selected::invalid;
        if (selected == Selected::invalid)
        {
            error = "Waves selection contains an invalid channel: channels[" + juce::String (i) + "]"
                    + (channel == nullptr ? " is not an object" : " \"selected\" is not true or false");
            return false;
        }
        result.selectedCount += selected == Selected::yes ? 1 : 0;
    }
    if (result.selectedCount == 0)
    {
        error = "Select between 1 and 64 Waves channels";
        return false;
    }
    if (result.selectedCount > maxChannels)
        return true;

    const bool toLv1 = target == wavesLv1Target;
    const int targetSlots = toLv1 ? lv1Slots : superRackSlots;
    // The entries seen so far by the source channel and the destination they take, for a refusal
    // that names both entries of a pair.
    std::map<ChannelKey, juce::String> sources, destinations;
    const auto channelMapping = [&error] (const juce::String& what) {
        error = "Waves selection channel mapping is invalid or duplicated: " + what;
        return false;
    };
    const auto typeWords = juce::String (" is not a channel type (0 ") + channelTypeName (0) + ", 1 " + channelTypeName (1) + ", 2 "
                           + channelTypeName (2) + ", 6 " + channelTypeName (6) + ")";
    for (int i = 0; i < channels->size(); ++i)
    {
        auto* channel = channels->getReference (i).getDynamicObject();
        if (selectedFlag (*channel) == Selected::no)
            continue;
        const auto path = "channels[" + juce::String (i) + "]";
        ChannelChoice choice;
        if (! intProperty (*channel, "sourceType", choice.source.type, error)
            || ! intProperty (*channel, "sourceIndex", choice.source.index, error)
            || ! intProperty (*channel, "targetIndex", choice.rackIndex, error))
            return false;
        if (toLv1)
        {
            // Toward LV1 the destination is the user's to choose, so it must be given.
            for (const auto& [key, value] : { std::pair<const char*, int*> { "destinationType", &choice.destination.type },
                                              std::pair<const char*, int*> { "destinationIndex", &choice.destination.index } })
            {
                if (! channel->hasProperty (key))
                    return shapeError (path + " has no " + key, error);
                if (! intProperty (*channel, key, *value, error))
                    return false;
            }
        }
        else
        {
            choice.destination = { 0, choice.rackIndex };
        }
        if (! isChannelType (choice.source.type))
            return channelMapping (path + " sourceType " + juce::String (choice.source.type) + typeWords);
        if (choice.source.index < 0)
            return channelMapping (path + " sourceIndex " + juce::String (choice.source.index) + " is below 0");
        choice.where = path + " (" + genericChannelName (choice.source.type, choice.source.index) + ")";
        if (! optionalText (*channel, "name", path, choice.name, error))
            return false;
        // The entry as a refusal of a pair names it: its place, its source channel and its name.
        const auto entry = path + " (" + genericChannelName (choice.source.type, choice.source.index)
                           + (choice.name ? " " + json::quotedForMessage (*choice.name) : juce::String()) + ")";
        // The rack channel is targetIndex toward SoundGrid; toward LV1 it is the source's own, and
        // targetIndex only repeats the destination, which is unique by its type and index.
        if (! toLv1 && (choice.rackIndex < 0 || choice.rackIndex >= maxChannels))
            return channelMapping (entry + " targetIndex " + juce::String (choice.rackIndex) + " is not a rack channel (0 to "
                                   + juce::String (maxChannels - 1) + ")");
        if (! isChannelType (choice.destination.type))
            return channelMapping (entry + " destinationType " + juce::String (choice.destination.type) + typeWords);
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
        if (! checkChannelFields (*channel, path, toLv1, choice, error))
            return false;
        if (toLv1)
            choice.rackIndex = choice.source.index;
        const auto* plugins = channel->getProperty ("plugins").getArray();
        if (plugins == nullptr)
        {
            error = "Waves selection plug-in list is missing: " + choice.where + " has no plugins array";
            return false;
        }
        std::map<int, juce::String> sourceSlots, usedTargetSlots;
        const auto pluginMapping = [&error, &entry] (const juce::String& what) {
            error = "Waves selection plug-in mapping is invalid or duplicated: " + entry + " " + what;
            return false;
        };
        for (int j = 0; j < plugins->size(); ++j)
        {
            const auto pluginPath = path + ".plugins[" + juce::String (j) + "]";
            const auto pluginPlace = "plugins[" + juce::String (j) + "]";
            auto* plugin = plugins->getReference (j).getDynamicObject();
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
        result.choices.push_back (std::move (choice));
    }
    return true;
}

//==============================================================================
// The output stage and SQL helpers

// The copy of the template that becomes the output, in a private folder of its own, and the
// connection that writes it. The folder goes with everything in it (the copy, its journal) on
// every way out and when the run is interrupted; the output is written beside its target only
// once the copy is finished.
struct OutputStage
{
    PrivateFolder folder;
    juce::File file;
    Database db; // closed before the folder goes

    void close()
    {
        if (db.handle != nullptr)
            sqlite3_close_v2 (db.handle);
        db.handle = nullptr;
    }
};

bool bindAndStep (sqlite3* db, const char* sql, std::initializer_list<juce::int64> values, juce::String& error)
{
    Statement statement;
    if (! prepare (db, sql, statement, error))
        return false;
    int column = 1;
    for (const auto value : values)
        sqlite3_bind_int64 (statement.handle, column++, value);
    return stepDone (db, statement.handle, error);
}

// One integer-valued row of a query bound to values; false with error when it fails or has no row.
bool queryInts (sqlite3* db, const char* sql, std::initializer_list<juce::int64> values, std::vector<juce::int64>& row,
                bool& hasRow, juce::String& error)
{
    Statement statement;
    if (! prepare (db, sql, statement, error))
        return false;
    int column = 1;
    for (const auto value : values)
        sqlite3_bind_int64 (statement.handle, column++, value);
    if (! stepRow (db, statement.handle, hasRow, error))
        return false;
    row.clear();
    for (int c = 0; hasRow && c < sqlite3_column_count (statement.handle); ++c)
        row.push_back (sqlite3_column_type (statement.handle, c) == SQLITE_NULL ? std::numeric_limits<juce::int64>::min()
                                                                                  : sqlite3_column_int64 (statement.handle, c));
    return true;
}

constexpr juce::int64 sqlNull = std::numeric_limits<juce::int64>::min();

// Every row of a query bound to values, handed to take.
bool eachRowBound (sqlite3* db, const juce::String& sql, std::initializer_list<juce::int64> values, const std::function<void (sqlite3_stmt*)>& take,
                   juce::String& error)
{
    Statement statement;
    if (! prepare (db, sql.toRawUTF8(), statement, error))
        return false;
    int column = 1;
    for (const auto value : values)
        sqlite3_bind_int64 (statement.handle, column++, value);
    for (;;)
    {
        resetWorkBudget();
        bool hasRow = false;
        if (! stepRow (db, statement.handle, hasRow, error))
            return false;
        if (! hasRow)
            return true;
        take (statement.handle);
    }
}

//==============================================================================
// Names, routes and the template's capacity

// Every template channel starts from its generic name. Only indices that exist are visited, so a
// hostile obj_index cannot make this loop run for ever.
bool applyGenericNames (sqlite3* db, juce::String& error)
{
    for (const int type : { 0, 1, 2, 6 })
    {
        std::vector<juce::int64> indices;
        {
            Statement statement;
            if (! prepare (db, "SELECT DISTINCT obj_index FROM object WHERE obj_type=? ORDER BY obj_index", statement, error))
                return false;
            sqlite3_bind_int (statement.handle, 1, type);
            for (;;)
            {
                bool hasRow = false;
                if (! stepRow (db, statement.handle, hasRow, error))
                    return false;
                if (! hasRow)
                    break;
                if (sqlite3_column_type (statement.handle, 0) == SQLITE_INTEGER)
                    indices.push_back (sqlite3_column_int64 (statement.handle, 0));
            }
        }
        Statement update;
        if (! prepare (db, "UPDATE snapshot_chainer SET name=? WHERE vorn_value(snapshot_id)=-1 AND chainer_id IN (SELECT id FROM object WHERE obj_type=? AND obj_index=?)",
                       update, error))
            return false;
        for (const auto index : indices)
        {
            resetWorkBudget();
            if (index < 0 || index >= std::numeric_limits<int>::max())
                continue;
            const auto name = genericChannelName (type, (int) index);
            sqlite3_reset (update.handle);
            sqlite3_bind_text (update.handle, 1, name.toRawUTF8(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int (update.handle, 2, type);
            sqlite3_bind_int64 (update.handle, 3, index);
            if (! stepDone (db, update.handle, error))
                return false;
        }
    }
    return true;
}

// Physical input to a selected channel and selected channel to a physical output, with the mapped
// end renumbered; every other column both sessions hold is copied as it is.
bool copyPhysicalRoutes (sqlite3* db, const ColumnList& columns, const std::map<ChannelKey, ChannelKey>& mapped, int& copied, juce::String& error)
{
    juce::StringArray names, places;
    for (const auto& column : columns)
    {
        names.add (sqlIdentifier (column));
        places.add ("?");
    }
    const int srcType = CarriedColumns::indexOf (columns, "src_cluster_type"), srcIndex = CarriedColumns::indexOf (columns, "src_cluster_type_index");
    const int dstType = CarriedColumns::indexOf (columns, "dst_cluster_type"), dstIndex = CarriedColumns::indexOf (columns, "dst_cluster_type_index");
    Statement select, insert;
    if (! prepare (db, ("SELECT " + names.joinIntoString (",") + " FROM source_session.routes ORDER BY id").toRawUTF8(), select, error)
        || ! prepare (db, ("INSERT INTO main.routes(" + names.joinIntoString (",") + ") VALUES(" + places.joinIntoString (",") + ")").toRawUTF8(),
                      insert, error))
        return false;
    // An end is the number it holds, also when an untyped column holds it as text ('10').
    const auto intColumn = [&select] (int column) {
        const auto v = SqlValue::column (select.handle, column).asInteger();
        return v && *v >= std::numeric_limits<int>::min() && *v <= std::numeric_limits<int>::max() ? std::optional<int> ((int) *v)
                                                                                                 : std::optional<int>();
    };
    copied = 0;
    for (;;)
    {
        resetWorkBudget();
        bool hasRow = false;
        if (! stepRow (db, select.handle, hasRow, error))
            return false;
        if (! hasRow)
            return true;
        const auto fromType = intColumn (srcType), fromIndex = intColumn (srcIndex), toType = intColumn (dstType), toIndex = intColumn (dstIndex);
        const auto srcMapped = fromType && fromIndex ? mapped.find ({ *fromType, *fromIndex }) : mapped.end();
        const auto dstMapped = toType && toIndex ? mapped.find ({ *toType, *toIndex }) : mapped.end();
        const bool physicalIn = fromType == 10 && dstMapped != mapped.end();
        const bool physicalOut = srcMapped != mapped.end() && toType == 11;
        if (! physicalIn && ! physicalOut)
            continue;
        sqlite3_reset (insert.handle);
        for (int c = 0; c < (int) columns.size(); ++c)
            sqlite3_bind_value (insert.handle, c + 1, sqlite3_column_value (select.handle, c));
        const auto& renumbered = physicalIn ? dstMapped->second : srcMapped->second;
        sqlite3_bind_int (insert.handle, (physicalIn ? dstType : srcType) + 1, renumbered.type);
        sqlite3_bind_int (insert.handle, (physicalIn ? dstIndex : srcIndex) + 1, renumbered.index);
        if (! stepDone (db, insert.handle, error))
            return false;
        ++copied;
    }
}

// How many channels of a type the host-saved template holds: its configured count (a matrix
// without a configured count: the matrices the template has). The transfer never changes the
// template's size, so a channel written at or beyond that count is one the host does not show
// and that would be lost on its next save.
bool templateChannelCount (sqlite3* db, int type, juce::int64& count, juce::String& error)
{
    Statement statement;
    if (! prepare (db, "SELECT num_tracks FROM main.config_info WHERE track_type=?", statement, error))
        return false;
    sqlite3_bind_int (statement.handle, 1, type);
    int rows = 0;
    bool integer = true;
    for (;;)
    {
        bool hasRow = false;
        if (! stepRow (db, statement.handle, hasRow, error))
            return false;
        if (! hasRow)
            break;
        ++rows;
        integer = integer && sqlite3_column_type (statement.handle, 0) == SQLITE_INTEGER;
        count = sqlite3_column_int64 (statement.handle, 0);
    }
    if (rows > 1 || ! integer)
    {
        error = "Waves host-save template channel configuration is invalid";
        return false;
    }
    if (rows == 1)
        return true;
    count = 0;
    if (type != 6)
        return true;
    std::vector<juce::int64> matrices;
    bool hasRow = false;
    if (! queryInts (db, "SELECT COALESCE(MAX(obj_index)+1,0) FROM main.object WHERE obj_type=6", {}, matrices, hasRow, error))
        return false;
    count = hasRow && ! matrices.empty() && matrices[0] != sqlNull ? matrices[0] : 0;
    return true;
}

// Every destination must lie inside the template's configured channels of its type.
bool checkDestinationsFitTemplate (sqlite3* db, const std::vector<ChannelChoice>& choices, juce::String& error)
{
    std::map<int, juce::int64> counts;
    for (const auto& choice : choices)
    {
        const auto type = choice.destination.type;
        if (counts.count (type) == 0)
        {
            juce::int64 count = 0;
            if (! templateChannelCount (db, type, count, error))
                return false;
            counts[type] = juce::jmax<juce::int64> (0, count);
        }
        const auto count = counts[type];
        if (choice.destination.index >= count)
        {
            error = "Waves selection places " + genericChannelName (choice.source.type, choice.source.index) + " on "
                    + genericChannelName (type, choice.destination.index) + ", but the host-save template holds "
                    + juce::String (count) + " " + channelTypeName (type) + " channels";
            return false;
        }
    }
    return true;
}

// What the host-save template holds, for a selection of more channels than a transfer carries.
bool templateCapacityText (sqlite3* db, bool toLv1, juce::String& text, juce::String& error)
{
    if (! toLv1)
    {
        juce::int64 inputs = 0;
        if (! templateChannelCount (db, 0, inputs, error))
            return false;
        text = "the host-save template holds " + juce::String (juce::jmax<juce::int64> (0, inputs)) + " Input channels";
        return true;
    }
    juce::int64 total = 0;
    juce::StringArray parts;
    for (const int type : { 0, 1, 2, 6 })
    {
        juce::int64 count = 0;
        if (! templateChannelCount (db, type, count, error))
            return false;
        count = juce::jmax<juce::int64> (0, count);
        total += count;
        parts.add (juce::String (count) + " " + channelTypeName (type));
    }
    text = "the host-save template holds " + juce::String (total) + " channels (" + parts.joinIntoString (", ") + ")";
    return true;
}

bool countQuery (sqlite3* db, const char* sql, std::initializer_list<juce::int64> values, juce::int64& count, juce::String& error)
{
    std::vector<juce::int64> row;
    bool hasRow = false;
    if (! queryInts (db, sql, values, row, hasRow, error))
        return false;
    count = hasRow && ! row.empty() && row[0] != sqlNull ? row[0] : 0;
    return true;
}

// The slot the output selects on a channel: where the plug-in that the source selects landed; an
// empty slot that the source selects stays selected when the target has it and nothing lands
// there. Otherwise (the plug-in was not carried, or the slot cannot be kept) the first slot that
// holds a plug-in, or -1 when none does, and the note says so. A source that selects nothing (-1,
// NULL, no active row) selects nothing. Slots compare by value: a selected slot held as the text
// "1" is slot 1.
void mapSelectedSlot (ChannelChoice& choice, int targetSlots)
{
    const auto& held = choice.content.selectedSlot;
    const auto selected = held.asInteger();
    choice.selectionMoved = false;
    choice.selectedSlot = SqlValue::of ((juce::int64) -1);
    if (held.isNull() || selected == -1)
        return;
    for (const auto& plugin : choice.plugins)
        if (selected == plugin.sourceSlot)
        {
            choice.selectedSlot = SqlValue::of ((juce::int64) plugin.targetSlot);
            return;
        }
    bool sourceHolds = false, targetHolds = false;
    for (const auto& plugin : choice.content.plugins)
        sourceHolds = sourceHolds || (selected && plugin.slot.asInteger() == selected);
    for (const auto& plugin : choice.plugins)
        targetHolds = targetHolds || plugin.targetSlot == selected;
    if (selected && *selected >= 0 && *selected < targetSlots && ! sourceHolds && ! targetHolds)
    {
        choice.selectedSlot = SqlValue::of (*selected);
        return;
    }
    juce::int64 first = -1;
    for (const auto& plugin : choice.plugins)
        if (first < 0 || plugin.targetSlot < first)
            first = plugin.targetSlot;
    choice.selectedSlot = SqlValue::of (first);
    choice.selectionMoved = true;
}

//==============================================================================
// The template's tables

bool tableExists (sqlite3* db, const char* schema, const char* table, bool& exists, juce::String& error)
{
    Statement statement;
    const auto sql = "SELECT count(*) FROM " + juce::String (schema) + ".sqlite_master WHERE type='table' AND name=?";
    if (! prepare (db, sql.toRawUTF8(), statement, error))
        return false;
    sqlite3_bind_text (statement.handle, 1, table, -1, SQLITE_STATIC);
    bool hasRow = false;
    if (! stepRow (db, statement.handle, hasRow, error))
        return false;
    exists = hasRow && sqlite3_column_int64 (statement.handle, 0) > 0;
    return true;
}

bool columnExists (sqlite3* db, const char* schema, const char* table, const char* column, bool& exists, juce::String& error)
{
    Statement statement;
    if (! prepare (db, "SELECT count(*) FROM pragma_table_info(?,?) WHERE name=?", statement, error))
        return false;
    sqlite3_bind_text (statement.handle, 1, table, -1, SQLITE_STATIC);
    sqlite3_bind_text (statement.handle, 2, schema, -1, SQLITE_STATIC);
    sqlite3_bind_text (statement.handle, 3, column, -1, SQLITE_STATIC);
    bool hasRow = false;
    if (! stepRow (db, statement.handle, hasRow, error))
        return false;
    exists = hasRow && sqlite3_column_int64 (statement.handle, 0) > 0;
    return true;
}

// Text of a row for a note: malformed bytes are replaced, since it only goes into a message.
juce::String rowText (sqlite3_stmt* statement, int column)
{
    const auto* bytes = sqlite3_column_text (statement, column);
    return bytes == nullptr ? juce::String() : utf8::toTextReplacingMalformed (bytes, (size_t) sqlite3_column_bytes (statement, column));
}

// The same, quoted when it holds a control character, so that the note keeps one finding per line.
juce::String noteText (sqlite3_stmt* statement, int column)
{
    const auto text = rowText (statement, column);
    for (auto p = text.getCharPointer(); ! p.isEmpty();)
    {
        const auto c = p.getAndAdvance();
        if (c < 0x20 || (c >= 0x7F && c < 0xA0))
            return json::quotedForMessage (text);
    }
    return text;
}


//==============================================================================
// The schemas: what a transfer carries

// A column that only the source holds, with its default (evaluated in the source's schema).
struct SourceOnlyColumn
{
    juce::String name;
    SqlValue byDefault;
    bool defaultKnown = true; // false when the default could not be evaluated: any value but NULL is lost
};

// One table a selected channel's rows live in, as the two schemas hold it.
struct TableShape
{
    bool inSource = false, inTemplate = false;
    ColumnList templateColumns;
    std::vector<SourceOnlyColumn> sourceOnly;

    bool templateHolds (const char* column) const { return CarriedColumns::indexOf (templateColumns, column) >= 0; }
};

// What the transfer carries of each table, from the two schemas: the columns it copies and proves
// (CarriedColumns), those only the source holds (whose values must be NULL or the default, or the
// transfer would lose them), and the flags it resets where the template holds them.
struct TransferShape
{
    CarriedColumns carried;
    TableShape activeRow, layout, plugin, state, preset, route;
    std::vector<std::pair<juce::String, int>> pluginResets; // recall_safe 0, side_chain 0, hot_plugin -1
};

struct ColumnInfo
{
    juce::String name;
    std::optional<juce::String> defaultText;
    bool key = false;
};

bool readColumns (sqlite3* db, const char* schema, const char* table, std::vector<ColumnInfo>& columns, juce::String& error)
{
    columns.clear();
    Statement statement;
    if (! prepare (db, "SELECT name,dflt_value,pk FROM pragma_table_info(?,?)", statement, error))
        return false;
    sqlite3_bind_text (statement.handle, 1, table, -1, SQLITE_STATIC);
    sqlite3_bind_text (statement.handle, 2, schema, -1, SQLITE_STATIC);
    for (;;)
    {
        resetWorkBudget();
        bool hasRow = false;
        if (! stepRow (db, statement.handle, hasRow, error))
            return false;
        if (! hasRow)
            return true;
        ColumnInfo column;
        juce::String text;
        const auto where = juce::String (juce::String (schema) == "main" ? "host-save template" : "source") + " column of " + table;
        if (! textColumn (statement.handle, 0, where.toRawUTF8(), column.name, error))
            return false;
        if (sqlite3_column_type (statement.handle, 1) != SQLITE_NULL)
        {
            if (! textColumn (statement.handle, 1, where.toRawUTF8(), text, error))
                return false;
            column.defaultText = text;
        }
        column.key = sqlite3_column_int64 (statement.handle, 2) != 0;
        columns.push_back (column);
    }
}

bool holds (const std::vector<ColumnInfo>& columns, const juce::String& name)
{
    for (const auto& column : columns)
        if (column.name.equalsIgnoreCase (name))
            return true;
    return false;
}

// A column's declared default, evaluated; false when it cannot be (the column then has no
// default a value could be compared with).
bool evaluateDefault (sqlite3* db, const juce::String& expression, SqlValue& value)
{
    Statement statement;
    juce::String ignored;
    bool hasRow = false;
    resetWorkBudget();
    if (! prepare (db, ("SELECT " + expression).toRawUTF8(), statement, ignored) || ! stepRow (db, statement.handle, hasRow, ignored) || ! hasRow)
        return false;
    value = SqlValue::column (statement.handle, 0);
    return true;
}

// Splits table's columns as the two schemas hold them. own: the columns the transfer sets itself
// (with keysOwn, the primary key of either schema as well), neither copied nor checked; required:
// the columns the transfer needs in each session that holds the table. The rest both hold is
// copied in the template's order; the rest only the source holds is checked.
bool shapeTable (sqlite3* db, const char* table, std::initializer_list<const char*> own, bool keysOwn, std::initializer_list<const char*> required,
                 bool optional, TableShape& shape, ColumnList& carried, juce::String& error)
{
    std::vector<ColumnInfo> source, target;
    if (! readColumns (db, "source_session", table, source, error) || ! readColumns (db, "main", table, target, error))
        return false;
    shape = {};
    carried.clear();
    shape.inSource = ! source.empty();
    shape.inTemplate = ! target.empty();
    for (const auto& [columns, owner] : { std::make_pair (&source, "Waves source"), std::make_pair (&target, "Waves host-save template") })
    {
        if (columns->empty() && ! optional)
        {
            error = juce::String (owner) + " has no table " + table;
            return false;
        }
        for (const auto* column : required)
            if (! columns->empty() && ! holds (*columns, column))
            {
                error = juce::String (owner) + " has no column " + table + "." + column;
                return false;
            }
    }
    const auto isOwn = [&] (const ColumnInfo& column) {
        for (const auto* name : own)
            if (column.name.equalsIgnoreCase (name))
                return true;
        if (! keysOwn)
            return false;
        for (const auto* columns : { &source, &target })
            for (const auto& other : *columns)
                if (other.key && other.name.equalsIgnoreCase (column.name))
                    return true;
        return false;
    };
    for (const auto& column : target)
    {
        shape.templateColumns.push_back (column.name);
        if (! isOwn (column) && holds (source, column.name))
            carried.push_back (column.name);
    }
    for (const auto& column : source)
    {
        if (isOwn (column) || holds (target, column.name))
            continue;
        SourceOnlyColumn only;
        only.name = column.name;
        if (column.defaultText)
            only.defaultKnown = evaluateDefault (db, *column.defaultText, only.byDefault);
        shape.sourceOnly.push_back (only);
    }
    return true;
}

bool shapeTransfer (sqlite3* db, TransferShape& shape, juce::String& error)
{
    auto& carried = shape.carried;
    if (! shapeTable (db, "snapshot_chainer", { "chainer_id", "snapshot_id", "name", "preset_name", "selected_slot" }, true,
                      { "chainer_id", "snapshot_id", "name", "preset_name", "selected_slot" }, false, shape.activeRow, carried.activeRow, error)
        || ! shapeTable (db, "chainer", { "obj_id" }, true, { "obj_id" }, true, shape.layout, carried.layout, error)
        || ! shapeTable (db, "plug", { "id", "chainer_id", "slot", "recall_safe", "side_chain", "hot_plugin" }, false, { "id", "chainer_id", "slot" }, false,
                         shape.plugin, carried.plugin, error)
        || ! shapeTable (db, "snapshot_plugin", {}, false, { "id", "plug_id", "preset_id", "snapshot_id", "setup_type_id" }, false, shape.state,
                         carried.state, error)
        || ! shapeTable (db, "plugin_preset", { "id", "ref_count" }, false, { "id" }, false, shape.preset, carried.preset, error)
        || ! shapeTable (db, "routes", {}, false, { "id", "src_cluster_type", "src_cluster_type_index", "dst_cluster_type", "dst_cluster_type_index" },
                         false, shape.route, carried.route, error))
        return false;
    carried.layouts = shape.layout.inSource && shape.layout.inTemplate;
    shape.pluginResets.clear();
    for (const auto& [column, value] : { std::make_pair ("recall_safe", 0), std::make_pair ("side_chain", 0), std::make_pair ("hot_plugin", -1) })
        if (shape.plugin.templateHolds (column))
            shape.pluginResets.emplace_back (column, value);
    return true;
}

// The rows of the source a selected channel or plug-in brings beside its object, its layout
// (chainer, obj_id=?) and its physical routes: the channel's active row (bound to its object id),
// a plug-in's active states and the presets they use (bound to the plug-in's id).
const char* const activeRowOf = "chainer_id=? AND vorn_value(snapshot_id)=-1";
const char* const activeStatesOf = "plug_id=? AND vorn_value(snapshot_id)=-1 AND vorn_value(setup_type_id)=-1";
const char* const activePresetsOf = "id IN (SELECT preset_id FROM source_session.snapshot_plugin WHERE plug_id=? AND vorn_value(snapshot_id)=-1 AND "
                                    "vorn_value(setup_type_id)=-1)";

// A selected plug-in for a message: "EQ" (Input 1, slot 0), as the source holds it.
juce::String pluginLabel (const ChannelChoice& choice, const PluginChoice& plugin)
{
    return json::quotedForMessage (plugin.sourceName) + " (" + genericChannelName (choice.source.type, choice.source.index) + ", slot "
           + juce::String (plugin.sourceSlot) + ")";
}

// Every selected channel is one the report lists, one object with at most one active row and at
// most one layout row in the source, and lands on one template channel that has its one active
// row (the name, preset name, selected slot and further columns go there) and, when the template
// keeps layouts, its one layout row; every selected plug-in is the one plug-in in its source slot. What
// the entry says of a channel's or plug-in's name must be what the transfer writes.
bool resolveChannels (sqlite3* db, bool toLv1, const TransferShape& shape, std::vector<ChannelChoice>& choices, juce::String& error)
{
    std::map<int, juce::int64> configured;
    for (auto& choice : choices)
    {
        const auto& from = choice.source;
        const auto& to = choice.destination;
        const auto sourceName = genericChannelName (from.type, from.index);
        if (toLv1 && from.type != 0)
        {
            error = "Waves selection takes " + sourceName + " from the source, but the channels of a SuperRack SoundGrid session are its "
                    + channelTypeName (0) + " (rack) channels";
            return false;
        }
        if (configured.count (from.type) == 0
            && ! configuredChannelCount (db, "source_session", from.type, configured[from.type], error))
            return false;
        const auto count = configured[from.type];
        if (from.index >= juce::jmin<juce::int64> (count, maxChannels))
        {
            error = "Waves selection takes " + sourceName + " from the source, but "
                    + (count <= maxChannels ? "the source session configures " + juce::String (count) + " " + channelTypeName (from.type) + " channels"
                                            : "a transfer carries only the first " + juce::String (maxChannels) + " " + channelTypeName (from.type)
                                                  + " channels of the source");
            return false;
        }
        bool found = false;
        WavesChannel source, destination;
        if (! readChannel (db, "source_session", from.type, from.index, "Waves source", found, source, error))
            return false;
        bool destinationFound = false;
        if (found && ! readChannel (db, "main", to.type, to.index, "Waves host-save template", destinationFound, destination, error))
            return false;
        if (! found || ! destinationFound)
        {
            error = "Selected Waves source or destination channel object is missing: " + choice.where + ": "
                    + (found ? "the host-save template holds no channel object for " + genericChannelName (to.type, to.index)
                             : "the source holds no channel object for " + sourceName);
            return false;
        }
        if (! destination.activeRow)
        {
            error = "Waves host-save template has no active-snapshot row for " + genericChannelName (to.type, to.index)
                    + " (snapshot_chainer); the channel's name, preset name and selected slot would be lost";
            return false;
        }
        choice.sourceId = source.objectId;
        choice.targetId = destination.objectId;
        choice.blank = ! source.ownName;
        choice.outputName = destinationChannelName (source, to.type, to.index);
        choice.label = sourceName + (source.ownName ? " " + json::quotedForMessage (source.name) : juce::String());
        if (choice.name && *choice.name != choice.outputName)
            return disagreement (choice.where, "name " + json::quotedForMessage (*choice.name) + " disagrees with "
                                                   + (choice.blank ? "the name the channel gets, the generic name of its destination "
                                                                   : "the source channel's name ")
                                                   + json::quotedForMessage (choice.outputName)
                                                   + (choice.blank ? "; give it that name or leave name out" : ""),
                                 error);
        if (! readChannelContent (db, "source_session", shape.carried, choice.sourceId, from.type, from.index, choice.content, error))
            return false;
        if (choice.content.layoutRows > 1)
        {
            error = "Waves source holds " + juce::String (choice.content.layoutRows) + " chainer rows for " + sourceName
                    + "; nothing tells which one is meant";
            return false;
        }
        if (shape.layout.inTemplate)
        {
            const auto place = genericChannelName (to.type, to.index);
            juce::int64 layouts = 0;
            if (! countQuery (db, "SELECT count(*) FROM main.chainer WHERE obj_id=?", { choice.targetId }, layouts, error))
                return false;
            if (layouts == 0)
            {
                error = "Waves host-save template has no chainer row for " + place
                        + " (the channel's layout); the transferred channel's layout cannot be written there";
                return false;
            }
            if (layouts > 1)
            {
                error = "Waves host-save template holds " + juce::String (layouts) + " chainer rows for " + place
                        + "; nothing tells which one is meant";
                return false;
            }
        }
        for (auto& plugin : choice.plugins)
        {
            juce::int64 plugs = 0;
            if (! countQuery (db, "SELECT count(*) FROM source_session.plug WHERE chainer_id=? AND vorn_value(slot)=?", { choice.sourceId, plugin.sourceSlot },
                              plugs, error))
                return false;
            if (plugs == 0)
            {
                error = "Waves selection references a missing source plug-in: " + plugin.where + ": " + sourceName
                        + " of the source holds no plug-in in slot " + juce::String (plugin.sourceSlot);
                return false;
            }
            if (plugs > 1)
            {
                error = "Waves source holds " + juce::String (plugs) + " plug-ins in slot " + juce::String (plugin.sourceSlot) + " of " + sourceName
                        + "; nothing tells which one is meant";
                return false;
            }
            Statement statement;
            bool hasRow = false;
            if (! prepare (db, "SELECT id,plugin_name,vendor_name FROM source_session.plug WHERE chainer_id=? AND vorn_value(slot)=?", statement, error))
                return false;
            sqlite3_bind_int64 (statement.handle, 1, choice.sourceId);
            sqlite3_bind_int (statement.handle, 2, plugin.sourceSlot);
            juce::String vendor;
            if (! stepRow (db, statement.handle, hasRow, error) || ! hasRow
                || ! textColumn (statement.handle, 1, "plug.plugin_name", plugin.sourceName, error)
                || ! textColumn (statement.handle, 2, "plug.vendor_name", vendor, error))
            {
                if (error.isEmpty())
                    error = "Waves selection references a missing source plug-in";
                return false;
            }
            plugin.plugId = sqlite3_column_int64 (statement.handle, 0);
            for (size_t p = 0; p < choice.content.plugins.size(); ++p)
                if (choice.content.plugins[p].id == plugin.plugId)
                    plugin.sourcePlugin = p;
            if (plugin.name && *plugin.name != plugin.sourceName)
                return disagreement (plugin.where, "name " + json::quotedForMessage (*plugin.name) + " disagrees with the source plug-in's name "
                                                       + json::quotedForMessage (plugin.sourceName),
                                     error);
            if (plugin.vendor && *plugin.vendor != vendor)
                return disagreement (plugin.where, "vendor " + json::quotedForMessage (*plugin.vendor) + " disagrees with the source plug-in's vendor "
                                                       + json::quotedForMessage (vendor),
                                     error);
        }
        mapSelectedSlot (choice, toLv1 ? lv1Slots : superRackSlots);
    }
    return true;
}

// The rows of the selected channels and plug-ins the write would not carry as they are, each
// refused with what it is about, before anything is written: a selected plug-in with a sidechain
// (its assignment or its flag), without exactly one active state, or whose active state names a
// preset the source does not hold; and a value of a column only the source holds that is neither
// NULL nor the column's default.
bool checkSelectedRows (sqlite3* db, const TransferShape& shape, const std::vector<ChannelChoice>& choices, juce::String& error)
{
    bool sidechainTable = false, sidechainFlag = false;
    if (! tableExists (db, "source_session", "plug_sidechain", sidechainTable, error)
        || ! columnExists (db, "source_session", "plug", "side_chain", sidechainFlag, error))
        return false;
    juce::StringArray sidechained, stateless;
    for (const auto& choice : choices)
        for (const auto& plugin : choice.plugins)
        {
            juce::int64 assigned = 0, flagged = 0;
            if ((sidechainTable
                 && ! countQuery (db, "SELECT count(*) FROM source_session.plug_sidechain WHERE plug_id=?", { plugin.plugId }, assigned, error))
                || (sidechainFlag
                    && ! countQuery (db, "SELECT count(*) FROM source_session.plug WHERE id=? AND side_chain<>0", { plugin.plugId }, flagged, error)))
                return false;
            if (assigned + flagged > 0)
                sidechained.add (pluginLabel (choice, plugin));
            const auto states = choice.content.plugins[plugin.sourcePlugin].states.size();
            if (states != 1)
                stateless.add (pluginLabel (choice, plugin) + " has " + juce::String ((juce::int64) states) + " active states");
        }
    if (! sidechained.isEmpty())
    {
        error = "Selected Waves plug-ins use sidechain routing that has not been host-validated for this direction: " + sidechained.joinIntoString (", ");
        return false;
    }
    if (! stateless.isEmpty())
    {
        error = "A selected Waves plug-in has no unique active state: " + stateless.joinIntoString (", ");
        return false;
    }
    for (const auto& choice : choices)
        for (const auto& plugin : choice.plugins)
        {
            Statement statement;
            bool hasRow = false;
            if (! prepare (db,
                           "SELECT sp.id,sp.preset_id FROM source_session.snapshot_plugin sp WHERE sp.plug_id=? AND vorn_value(sp.snapshot_id)=-1 AND "
                           "vorn_value(sp.setup_type_id)=-1 "
                           "AND sp.preset_id IS NOT NULL AND NOT EXISTS(SELECT 1 FROM source_session.plugin_preset pp WHERE pp.id=sp.preset_id) LIMIT 1",
                           statement, error))
                return false;
            sqlite3_bind_int64 (statement.handle, 1, plugin.plugId);
            if (! stepRow (db, statement.handle, hasRow, error))
                return false;
            if (hasRow)
            {
                error = "Waves source plug-in " + pluginLabel (choice, plugin) + " has an active state (snapshot_plugin "
                        + SqlValue::column (statement.handle, 0).describe() + ") naming preset " + SqlValue::column (statement.handle, 1).describe()
                        + ", which the source does not hold";
                return false;
            }
        }

    // Every value of a column only the source holds, on the rows the transfer carries.
    // idColumn names a row in the message (routes), or is NULL.
    const auto lost = [&] (const char* table, const TableShape& shape, const char* idColumn, const juce::String& where,
                           std::initializer_list<juce::int64> values, const std::function<juce::String (const SqlValue& id)>& owner) {
        if (shape.sourceOnly.empty())
            return true;
        juce::StringArray columns { idColumn };
        for (const auto& column : shape.sourceOnly)
            columns.add (sqlIdentifier (column.name));
        juce::String refusal;
        bool ok = eachRowBound (db, "SELECT " + columns.joinIntoString (",") + " FROM source_session." + table + " WHERE " + where, values,
                                [&] (sqlite3_stmt* st) {
                                    for (size_t c = 0; c < shape.sourceOnly.size() && refusal.isEmpty(); ++c)
                                    {
                                        const auto& column = shape.sourceOnly[c];
                                        const auto value = SqlValue::column (st, (int) c + 1);
                                        if (value.isNull() || (column.defaultKnown && value == column.byDefault))
                                            continue;
                                        refusal = "Waves source holds " + juce::String (table) + "." + column.name + " " + value.describe() + " for "
                                                  + owner (SqlValue::column (st, 0))
                                                  + ", a column the host-save template does not have; the transfer would lose it";
                                    }
                                },
                                error);
        if (ok && refusal.isNotEmpty())
        {
            error = refusal;
            ok = false;
        }
        return ok;
    };
    for (const auto& choice : choices)
    {
        const auto channel = [&choice] (const SqlValue&) { return choice.label; };
        if (! lost ("snapshot_chainer", shape.activeRow, "NULL", activeRowOf, { choice.sourceId }, channel)
            || (shape.layout.inSource && ! lost ("chainer", shape.layout, "NULL", "obj_id=?", { choice.sourceId }, channel)))
            return false;
        for (const auto& plugin : choice.plugins)
        {
            const auto owner = [&] (const SqlValue&) { return pluginLabel (choice, plugin); };
            if (! lost ("plug", shape.plugin, "NULL", "id=?", { plugin.plugId }, owner)
                || ! lost ("snapshot_plugin", shape.state, "NULL", activeStatesOf, { plugin.plugId }, owner)
                || ! lost ("plugin_preset", shape.preset, "NULL", activePresetsOf, { plugin.plugId }, owner))
                return false;
        }
        if (! lost ("routes", shape.route, "id", juce::String (physicalRouteFilter) + " ORDER BY id",
                    { choice.source.type, choice.source.index, choice.source.type, choice.source.index },
                    [&choice] (const SqlValue& id) { return "physical route " + id.describe() + " of " + choice.label; }))
            return false;
    }
    return true;
}

//==============================================================================
// The source's other tables: rows that refer to what the transfer takes

// The tables whose rows the transfer carries, names in its note or refuses by what they hold.
const char* const accountedTables[] = { "object", "snapshot_chainer", "chainer", "plug", "snapshot_plugin", "plugin_preset", "routes",
                                        "hot_plug", "plug_sidechain", "snapshot_hot_plugins", "snapshot_chainer_params" };
// The tables the transfer takes rows of for a selected channel or plug-in.
const char* const takenTables[] = { "object", "snapshot_chainer", "chainer", "plug", "snapshot_plugin", "plugin_preset", "routes" };

bool isOneOf (const juce::String& table, const char* const* names, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (table.equalsIgnoreCase (names[i]))
            return true;
    return false;
}

// A declared foreign key of a table of the source: its columns, the table they name and the
// columns there (none: that table's primary key).
struct ForeignKey
{
    juce::String parent;
    juce::StringArray from, to;
};

// The values of count columns of a row from first on, as one key compared by value; none when
// one of them is NULL (such a row refers to nothing).
std::optional<std::string> rowKey (sqlite3_stmt* statement, int first, int count)
{
    std::string key;
    for (int c = first; c < first + count; ++c)
    {
        const auto part = SqlValue::column (statement, c).key();
        if (! part)
            return {};
        key += std::to_string (part->size()) + ":" + *part;
    }
    return key;
}

// The names of a table's columns in the source (primaryKey: only those of its primary key, in
// their order).
bool sourceColumns (sqlite3* db, const juce::String& table, bool primaryKey, juce::StringArray& columns, juce::String& error)
{
    columns.clear();
    Statement statement;
    if (! prepare (db, primaryKey ? "SELECT name FROM pragma_table_info(?,'source_session') WHERE pk>0 ORDER BY pk"
                                  : "SELECT name FROM pragma_table_info(?,'source_session')",
                   statement, error))
        return false;
    sqlite3_bind_text (statement.handle, 1, table.toRawUTF8(), -1, SQLITE_TRANSIENT);
    for (;;)
    {
        bool hasRow = false;
        if (! stepRow (db, statement.handle, hasRow, error))
            return false;
        if (! hasRow)
            return true;
        juce::String name;
        if (! textColumn (statement.handle, 0, ("source column of " + table).toRawUTF8(), name, error))
            return false;
        columns.add (name);
    }
}

using KeyOwners = std::map<std::string, juce::String>;

// The keys (columns of table) of the rows the transfer takes from table, each with the channel or
// plug-in it belongs to as a refusal names it (the first, when two selected plug-ins share a
// preset).
bool takenKeys (sqlite3* db, const juce::String& table, const juce::StringArray& columns, const std::vector<ChannelChoice>& choices, KeyOwners& keys,
                juce::String& error)
{
    juce::StringArray quoted;
    for (const auto& column : columns)
        quoted.add (sqlIdentifier (column));
    const auto collect = [&] (const char* idColumn, const juce::String& where, std::initializer_list<juce::int64> values,
                              const std::function<juce::String (const SqlValue& id)>& owner) {
        return eachRowBound (db, "SELECT " + juce::String (idColumn) + "," + quoted.joinIntoString (",") + " FROM source_session." + sqlIdentifier (table)
                                     + " WHERE " + where,
                             values,
                             [&] (sqlite3_stmt* st) {
                                 if (const auto key = rowKey (st, 1, quoted.size()); key && keys.count (*key) == 0)
                                     keys.emplace (*key, owner (SqlValue::column (st, 0)));
                             },
                             error);
    };
    for (const auto& choice : choices)
    {
        const auto channel = [&choice] (const SqlValue&) { return choice.label; };
        if ((table.equalsIgnoreCase ("object") && ! collect ("NULL", "id=?", { choice.sourceId }, channel))
            || (table.equalsIgnoreCase ("snapshot_chainer") && ! collect ("NULL", activeRowOf, { choice.sourceId }, channel))
            || (table.equalsIgnoreCase ("chainer") && ! collect ("NULL", "obj_id=?", { choice.sourceId }, channel))
            || (table.equalsIgnoreCase ("routes")
                && ! collect ("id", physicalRouteFilter, { choice.source.type, choice.source.index, choice.source.type, choice.source.index },
                              [&choice] (const SqlValue& id) { return "physical route " + id.describe() + " of " + choice.label; })))
            return false;
        for (const auto& plugin : choice.plugins)
        {
            const auto owner = [&] (const SqlValue&) { return pluginLabel (choice, plugin); };
            if ((table.equalsIgnoreCase ("plug") && ! collect ("NULL", "id=?", { plugin.plugId }, owner))
                || (table.equalsIgnoreCase ("snapshot_plugin") && ! collect ("NULL", activeStatesOf, { plugin.plugId }, owner))
                || (table.equalsIgnoreCase ("plugin_preset") && ! collect ("NULL", activePresetsOf, { plugin.plugId }, owner)))
                return false;
        }
    }
    return true;
}

// A table the transfer knows nothing of (a newer host's) may hold rows that refer, through a
// foreign key its schema declares, to a row the transfer takes for a selected channel or plug-in:
// its object, active row, layout or physical route, a plug-in's row, active state or preset. The
// transfer would lose such a row in silence, so the first one refuses it before anything is
// written, naming the table, the row and the channel or plug-in. Keys are compared by value; a
// row that refers to a row not taken belongs to what was not selected, and the note names that.
// Each such table is read once.
bool checkReferringRows (sqlite3* db, const std::vector<ChannelChoice>& choices, juce::String& error)
{
    std::set<juce::String> tables; // of the source, in lower case
    std::vector<std::pair<juce::String, std::vector<ForeignKey>>> referring;
    juce::String last;
    juce::int64 lastKey = -1;
    bool failed = false;
    if (! eachRow (db, "SELECT name FROM source_session.sqlite_master WHERE type='table'",
                   [&tables] (sqlite3_stmt* st) { tables.insert (rowText (st, 0).toLowerCase()); }, error)
        || ! eachRow (db,
                      "SELECT m.name,f.id,f.\"table\",f.\"from\",f.\"to\" FROM source_session.sqlite_master m JOIN "
                      "pragma_foreign_key_list(m.name,'source_session') f WHERE m.type='table' AND m.sql NOT LIKE 'CREATE VIRTUAL%' "
                      "ORDER BY m.name,f.id,f.seq",
                      [&] (sqlite3_stmt* st) {
                          juce::String table, parent, from, to;
                          if (failed || ! textColumn (st, 0, "source table name", table, error)
                              || ! textColumn (st, 2, ("source foreign key of " + table).toRawUTF8(), parent, error)
                              || ! textColumn (st, 3, ("source foreign key of " + table).toRawUTF8(), from, error)
                              || ! textColumn (st, 4, ("source foreign key of " + table).toRawUTF8(), to, error))
                          {
                              failed = true;
                              return;
                          }
                          if (isOneOf (table, accountedTables, std::size (accountedTables))
                              || ! isOneOf (parent, takenTables, std::size (takenTables)))
                              return;
                          const auto key = sqlite3_column_int64 (st, 1);
                          if (referring.empty() || table != last)
                              referring.push_back ({ table, {} });
                          auto& keys = referring.back().second;
                          if (keys.empty() || table != last || key != lastKey)
                              keys.push_back ({ parent, {}, {} });
                          keys.back().from.add (from);
                          if (to.isNotEmpty())
                              keys.back().to.add (to);
                          last = table;
                          lastKey = key;
                      },
                      error)
        || failed)
        return false;

    std::map<juce::String, KeyOwners> taken; // by table and key columns
    for (const auto& entry : referring)
    {
        const auto& table = entry.first;
        struct Reference
        {
            const KeyOwners* owners;
            int columns;
        };
        std::vector<Reference> references;
        juce::StringArray selected;
        for (auto key : entry.second)
        {
            if (tables.count (key.parent.toLowerCase()) == 0)
                continue;
            // Columns the table it names does not have (or no primary key to stand for them)
            // name no row: SQLite refuses such a key as a mismatch.
            juce::StringArray parentColumns;
            if (! sourceColumns (db, key.parent, key.to.isEmpty(), parentColumns, error))
                return false;
            if (key.to.isEmpty())
                key.to = parentColumns;
            bool known = key.to.size() == key.from.size();
            for (const auto& column : key.to)
                known = known && parentColumns.contains (column, true);
            if (! known)
                continue;
            const auto which = key.parent.toLowerCase() + "(" + key.to.joinIntoString (",").toLowerCase() + ")";
            if (taken.count (which) == 0 && ! takenKeys (db, key.parent, key.to, choices, taken[which], error))
                return false;
            if (taken[which].empty())
                continue;
            references.push_back ({ &taken[which], key.from.size() });
            for (const auto& column : key.from)
                selected.add (sqlIdentifier (column));
        }
        if (references.empty())
            continue;
        // A row by its primary key, or by its rowid when it has none.
        juce::StringArray identity;
        if (! sourceColumns (db, table, true, identity, error))
            return false;
        for (auto& column : identity)
            column = sqlIdentifier (column);
        if (identity.isEmpty())
            identity.add ("rowid");
        juce::String refusal;
        if (! eachRow (db, "SELECT " + identity.joinIntoString (",") + "," + selected.joinIntoString (",") + " FROM source_session." + sqlIdentifier (table),
                       [&] (sqlite3_stmt* st) {
                           if (refusal.isNotEmpty())
                               return;
                           int column = identity.size();
                           for (const auto& reference : references)
                           {
                               const auto key = rowKey (st, column, reference.columns);
                               column += reference.columns;
                               const auto owner = key ? reference.owners->find (*key) : reference.owners->end();
                               if (owner == reference.owners->end())
                                   continue;
                               juce::StringArray row;
                               for (int c = 0; c < identity.size(); ++c)
                                   row.add (SqlValue::column (st, c).describe());
                               refusal = "Waves source holds " + table + " row "
                                         + (row.size() > 1 ? "(" + row.joinIntoString (", ") + ")" : row.joinIntoString (""))
                                         + " for " + owner->second + ", a table the transfer does not carry; the transfer would lose it";
                               return;
                           }
                       },
                       error))
            return false;
        if (refusal.isNotEmpty())
        {
            error = refusal;
            return false;
        }
    }
    return true;
}

//==============================================================================
// The template: what it must hold, its own keys, and what it loses

// The tables the transfer empties (of snapshot_chainer_params the active rows only), in the
// order their foreign keys need: the active states, sidechain assignments and hot plug-ins that
// point at the plug-ins, then the plug-ins, the presets, the routes and the channel parameters.
const char* const emptiedTables[] = { "snapshot_plugin", "plug_sidechain", "hot_plug", "plug", "plugin_preset", "routes", "snapshot_chainer_params" };

// Before anything is written, the template must take the transfer: its active snapshot row (the
// channel map goes there, the copied states belong to it), and no rows of a table of its own that
// refer to what the transfer empties (the transfer cannot know what they mean, and emptying the
// tables under them would break them or, through a cascade, delete them in silence).
bool checkTemplateTakesTheTransfer (sqlite3* db, juce::String& error)
{
    juce::int64 active = 0;
    if (! countQuery (db, "SELECT count(*) FROM main.snapshot WHERE id=-1", {}, active, error))
        return false;
    if (active == 0)
    {
        error = "Waves host-save template has no active snapshot row";
        return false;
    }
    juce::StringArray list;
    for (const auto* table : emptiedTables)
        list.add ("'" + juce::String (table) + "'");
    const auto names = list.joinIntoString (",");
    std::vector<std::pair<juce::String, juce::String>> dependents;
    if (! eachRow (db,
                   "SELECT DISTINCT m.name,f.\"table\" FROM main.sqlite_master m JOIN pragma_foreign_key_list(m.name,'main') f WHERE m.type='table' AND "
                   "lower(f.\"table\") IN (" + names + ") AND lower(m.name) NOT IN (" + names + ") ORDER BY m.name,f.\"table\"",
                   [&dependents] (sqlite3_stmt* st) { dependents.emplace_back (rowText (st, 0), rowText (st, 1)); }, error))
        return false;
    for (const auto& [table, parent] : dependents)
    {
        juce::int64 rows = 0;
        if (! countQuery (db, ("SELECT count(*) FROM main." + sqlIdentifier (table)).toRawUTF8(), {}, rows, error))
            return false;
        if (rows > 0)
        {
            error = "Waves host-save template cannot be emptied: its table " + json::quotedForMessage (table) + " holds "
                    + juce::String (rows) + (rows == 1 ? " row that refers" : " rows that refer") + " to " + json::quotedForMessage (parent)
                    + ", which the transfer empties";
            return false;
        }
    }
    return true;
}

// A template that already breaks one of its own foreign keys is refused before anything is
// written, in words that say it is the template's fault: the table, the key's columns and values,
// the row, and the table it names.
bool checkTemplateKeys (sqlite3* db, juce::String& error)
{
    juce::String table, parent;
    SqlValue row;
    juce::int64 key = -1;
    bool broken = false;
    if (! eachRow (db, "PRAGMA main.foreign_key_check",
                   [&] (sqlite3_stmt* st) {
                       if (broken)
                           return;
                       broken = true;
                       table = rowText (st, 0);
                       row = SqlValue::column (st, 1);
                       parent = rowText (st, 2);
                       key = sqlite3_column_int64 (st, 3);
                   },
                   error))
        return false;
    if (! broken)
        return true;
    juce::StringArray columns;
    Statement statement;
    if (! prepare (db, "SELECT \"from\" FROM pragma_foreign_key_list(?,'main') WHERE id=? ORDER BY seq", statement, error))
        return false;
    sqlite3_bind_text (statement.handle, 1, table.toRawUTF8(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64 (statement.handle, 2, key);
    for (;;)
    {
        bool hasRow = false;
        if (! stepRow (db, statement.handle, hasRow, error))
            return false;
        if (! hasRow)
            break;
        columns.add (rowText (statement.handle, 0));
    }
    juce::StringArray values;
    if (row.type == SQLITE_INTEGER && ! columns.isEmpty())
    {
        juce::StringArray quoted;
        for (const auto& column : columns)
            quoted.add (sqlIdentifier (column));
        Statement value;
        bool hasRow = false;
        if (! prepare (db, ("SELECT " + quoted.joinIntoString (",") + " FROM main." + sqlIdentifier (table) + " WHERE rowid=?").toRawUTF8(), value, error))
            return false;
        sqlite3_bind_int64 (value.handle, 1, row.integer);
        if (! stepRow (db, value.handle, hasRow, error))
            return false;
        for (int c = 0; hasRow && c < sqlite3_column_count (value.handle); ++c)
            values.add (SqlValue::column (value.handle, c).describe());
    }
    // One column as it is, several in parentheses: snapshot_chainer.chainer_id 9999, t.(a, b) (1, 2).
    const auto group = [] (const juce::StringArray& items) {
        return items.size() > 1 ? "(" + items.joinIntoString (", ") + ")" : items.joinIntoString (", ");
    };
    error = "Waves host-save template already breaks a foreign key: " + table + "." + group (columns)
            + (values.isEmpty() ? juce::String() : " " + group (values)) + (row.isNull() ? juce::String() : " (row " + row.describe() + ")")
            + " names no row of " + parent;
    return false;
}

// What the template's own channels lose: their names (generic ones or the transferred channels'
// take their place; a blank name, or a generic one, is no name to lose, nor one the transferred
// channel brings again), and every plug-in, active channel parameter value, route and hot plug-in
// assignment of the template; channels counts the channels that lose any of it.
struct TemplateLosses
{
    int channels = 0;
    int names = 0;
    juce::int64 plugins = 0, parameters = 0, routes = 0, hotPlugins = 0;
};

// The hot plug-in columns of snapshot_hot_plugins in schema that exist, hp_1_plug_id to hp_12_plug_id.
bool hotPluginColumns (sqlite3* db, const char* schema, juce::StringArray& columns, juce::String& error)
{
    columns.clear();
    bool table = false;
    if (! tableExists (db, schema, "snapshot_hot_plugins", table, error))
        return false;
    for (int k = 1; table && k <= 12; ++k)
    {
        const auto column = "hp_" + juce::String (k) + "_plug_id";
        bool exists = false;
        if (! columnExists (db, schema, "snapshot_hot_plugins", column.toRawUTF8(), exists, error))
            return false;
        if (exists)
            columns.add (column);
    }
    return true;
}

bool collectTemplateLosses (sqlite3* db, const std::vector<ChannelChoice>& choices, TemplateLosses& losses, juce::String& error)
{
    losses = {};
    std::map<juce::int64, juce::String> arriving; // the name each transferred-onto channel gets
    for (const auto& choice : choices)
        arriving[choice.targetId] = choice.outputName;
    std::set<juce::int64> channels, lost;
    std::map<ChannelKey, juce::int64> objects;
    if (! eachRow (db,
                   "SELECT o.id,o.obj_type,o.obj_index,COALESCE((SELECT sc.name FROM main.snapshot_chainer sc WHERE sc.chainer_id=o.id AND "
                   "vorn_value(sc.snapshot_id)=-1 LIMIT 1),o.name),"
                   "EXISTS(SELECT 1 FROM main.snapshot_chainer sc WHERE sc.chainer_id=o.id AND vorn_value(sc.snapshot_id)=-1) FROM main.object o "
                   "WHERE o.obj_type IN (0,1,2,6) AND typeof(o.obj_index)='integer'",
                   [&] (sqlite3_stmt* st) {
                       const auto id = sqlite3_column_int64 (st, 0);
                       const auto type = sqlite3_column_int (st, 1);
                       const auto index = sqlite3_column_int64 (st, 2);
                       channels.insert (id);
                       if (index < 0 || index >= std::numeric_limits<int>::max())
                           return;
                       objects.emplace (ChannelKey { type, (int) index }, id);
                       const auto name = SqlValue::column (st, 3);
                       const auto generic = SqlValue::of (genericChannelName (type, (int) index));
                       const bool blank = name.isNull() || name == SqlValue::of (juce::String()) || name == generic;
                       const auto next = arriving.find (id);
                       if (sqlite3_column_int64 (st, 4) != 0 && ! blank && (next == arriving.end() || name != SqlValue::of (next->second)))
                       {
                           ++losses.names;
                           lost.insert (id);
                       }
                   },
                   error))
        return false;
    const auto onChannel = [&channels, &lost] (sqlite3_stmt* st, int column) {
        if (sqlite3_column_type (st, column) == SQLITE_INTEGER && channels.count (sqlite3_column_int64 (st, column)) != 0)
            lost.insert (sqlite3_column_int64 (st, column));
    };
    if (! eachRow (db, "SELECT chainer_id FROM main.plug", [&] (sqlite3_stmt* st) { ++losses.plugins; onChannel (st, 0); }, error)
        || ! eachRow (db, "SELECT chainer_id FROM main.snapshot_chainer_params WHERE vorn_value(snapshot_id)=-1",
                      [&] (sqlite3_stmt* st) { ++losses.parameters; onChannel (st, 0); }, error)
        || ! eachRow (db, "SELECT src_cluster_type,src_cluster_type_index,dst_cluster_type,dst_cluster_type_index FROM main.routes",
                      [&] (sqlite3_stmt* st) {
                          ++losses.routes;
                          for (const int end : { 0, 2 })
                          {
                              const auto endType = SqlValue::column (st, end).asInteger(), endIndex = SqlValue::column (st, end + 1).asInteger();
                              if (! endType || ! endIndex)
                                  continue;
                              const auto type = *endType, index = *endIndex;
                              if (type < 0 || type > 6 || index < 0 || index >= std::numeric_limits<int>::max())
                                  continue;
                              if (const auto found = objects.find ({ (int) type, (int) index }); found != objects.end())
                                  lost.insert (found->second);
                          }
                      },
                      error))
        return false;
    // Hot plug-in assignments, in the snapshots' slots and in hot_plug rows, belong to the channel
    // of the plug-in they name, when the template holds it.
    juce::StringArray hot;
    bool hotPlug = false, hotPlugColumn = false;
    if (! hotPluginColumns (db, "main", hot, error) || ! tableExists (db, "main", "hot_plug", hotPlug, error)
        || ! columnExists (db, "main", "hot_plug", "plug_id", hotPlugColumn, error))
        return false;
    for (const auto& column : hot)
    {
        const auto value = "h." + sqlIdentifier (column);
        if (! eachRow (db, "SELECT p.chainer_id FROM main.snapshot_hot_plugins h LEFT JOIN main.plug p ON p.id=" + value + " WHERE " + value
                               + " IS NOT NULL AND " + value + " IS NOT -1",
                       [&] (sqlite3_stmt* st) { ++losses.hotPlugins; onChannel (st, 0); }, error))
            return false;
    }
    if (hotPlug
        && ! eachRow (db, hotPlugColumn ? "SELECT p.chainer_id FROM main.hot_plug h LEFT JOIN main.plug p ON p.id=h.plug_id" : "SELECT NULL FROM main.hot_plug",
                      [&] (sqlite3_stmt* st) { ++losses.hotPlugins; onChannel (st, 0); }, error))
        return false;
    losses.channels = (int) lost.size();
    return true;
}

//==============================================================================
// The notes

juce::String counted (juce::int64 n, const char* one, const char* many)
{
    return juce::String (n) + " " + (n == 1 ? one : many);
}

// "a", "a and b", "a, b and c".
juce::String listed (const juce::StringArray& items)
{
    if (items.size() < 2)
        return items.joinIntoString ("");
    juce::StringArray head (items);
    head.remove (head.size() - 1);
    return head.joinIntoString (", ") + " and " + items[items.size() - 1];
}

// A channel of a session row by its type and index columns: "Input 3", or "no channel".
juce::String channelAt (sqlite3_stmt* statement, int typeColumn, int indexColumn)
{
    if (sqlite3_column_type (statement, typeColumn) != SQLITE_INTEGER || sqlite3_column_type (statement, indexColumn) != SQLITE_INTEGER)
        return "no channel";
    const auto type = sqlite3_column_int64 (statement, typeColumn), index = sqlite3_column_int64 (statement, indexColumn);
    if (type < std::numeric_limits<int>::min() || type > std::numeric_limits<int>::max() || index < 0 || index >= std::numeric_limits<int>::max())
        return "channel " + noteText (statement, typeColumn) + "/" + noteText (statement, indexColumn);
    return genericChannelName ((int) type, (int) index);
}

// "EQ" (Input 1, slot 0), from the columns name, channel type, channel index and slot.
juce::String describePlugin (sqlite3_stmt* statement, int first)
{
    return json::quotedForMessage (rowText (statement, first)) + " (" + channelAt (statement, first + 1, first + 2) + ", slot "
           + noteText (statement, first + 3) + ")";
}

// "Song" (number 3), from the columns name and number.
juce::String describeSnapshot (sqlite3_stmt* statement)
{
    auto text = json::quotedForMessage (rowText (statement, 0));
    if (sqlite3_column_type (statement, 1) != SQLITE_NULL)
        text << " (number " << noteText (statement, 1) << ")";
    return text;
}

// What the transfer leaves behind or changes beyond the copy itself, one line of the note each.
struct TransferNotes
{
    juce::int64 channelParameters = 0;    // active channel parameter values of the transferred channels
    juce::StringArray parameterNames;     // their names
    juce::StringArray secondStates;       // selected plug-ins' active states of another setup
    juce::StringArray resetPlugins;       // plug-ins whose recall-safe or hot-plug-in flags were reset
    juce::StringArray hotAssignments;     // the source's active hot plug-in assignments
    juce::StringArray movedSelections;    // channels that select another slot than in the source
    juce::StringArray genericNames;       // channels without a name, and the name they got
    juce::StringArray unselectedChannels; // source channels not selected
    juce::StringArray unselectedPlugins;  // source plug-ins not selected
    TemplateLosses templateLosses;
    juce::StringArray sourceSnapshots;    // source snapshots not carried
    juce::StringArray keptSnapshots;      // template snapshots kept with the template's values on transferred channels

    juce::String text (bool toLv1) const
    {
        juce::StringArray lines;
        const auto parameters = counted (channelParameters, toLv1 ? "SuperRack channel parameter value" : "LV1 channel parameter value",
                                         toLv1 ? "SuperRack channel parameter values" : "LV1 channel parameter values")
                                + " of the transferred " + (toLv1 ? "rack channels (" : "channels (") + parameterNames.joinIntoString (", ") + ")";
        juce::String unmapped;
        if (toLv1)
            unmapped = channelParameters == 0 ? juce::String ("SuperRack channel parameters have no verified LV1 equivalent")
                                              : parameters + (channelParameters == 1 ? " has no verified LV1 equivalent and was not carried"
                                                                                      : " have no verified LV1 equivalent and were not carried");
        else
            unmapped = juce::String ("LV1 mixer-only bus feed, trim, and pan have no verified SuperRack equivalent")
                       + (channelParameters == 0 ? juce::String() : ", and " + parameters + (channelParameters == 1 ? " was not carried" : " were not carried"));
        lines.add (juce::String ("Native Waves preset payloads and active bypass/mute values were copied exactly")
                   + (secondStates.isEmpty() ? "" : ", except the second active states named below") + ". Only physical I/O routes are translated; "
                   + unmapped + ". Target-host load/save validation is still required.");
        const auto add = [&lines] (const juce::StringArray& items, const juce::String& head) {
            if (! items.isEmpty())
                lines.add (head + items.joinIntoString (", ") + ".");
        };
        if (! secondStates.isEmpty())
            lines.add ("Active states of a second setup (setup_type_id other than -1) were not carried: " + secondStates.joinIntoString ("; ") + ".");
        add (resetPlugins, "Recall-safe or hot-plug-in flags of " + counted (resetPlugins.size(), "plug-in were", "plug-ins were")
                               + " reset (recall_safe 0, hot_plugin -1): ");
        add (hotAssignments, counted (hotAssignments.size(), "hot plug-in assignment", "hot plug-in assignments")
                                 + " of the source " + (hotAssignments.size() == 1 ? "was" : "were") + " not carried: ");
        add (movedSelections, counted (movedSelections.size(), "channel selects", "channels select")
                                  + " another slot than in the source, since the plug-in or slot selected there was not carried: ");
        add (genericNames, counted (genericNames.size(), "channel has", "channels have")
                               + " no name in the source and got the generic name of " + (genericNames.size() == 1 ? "its" : "their") + " destination: ");
        add (unselectedChannels, counted (unselectedChannels.size(), "source channel was", "source channels were") + " not selected and not carried: ");
        add (unselectedPlugins, counted (unselectedPlugins.size(), "source plug-in was", "source plug-ins were") + " not selected and not carried: ");
        const auto& lost = templateLosses;
        if (lost.channels > 0 || lost.plugins > 0 || lost.parameters > 0 || lost.routes > 0 || lost.hotPlugins > 0)
        {
            juce::StringArray cleared;
            if (lost.plugins > 0)
                cleared.add (counted (lost.plugins, "plug-in", "plug-ins"));
            if (lost.parameters > 0)
                cleared.add (counted (lost.parameters, "channel parameter value", "channel parameter values"));
            if (lost.routes > 0)
                cleared.add (counted (lost.routes, "route", "routes"));
            if (lost.hotPlugins > 0)
                cleared.add (counted (lost.hotPlugins, "hot plug-in assignment", "hot plug-in assignments"));
            juce::StringArray parts;
            if (lost.names > 0)
                parts.add (counted (lost.names, "name was", "names were")
                           + " replaced (by the transferred channel's name or the generic one)");
            if (! cleared.isEmpty())
                parts.add (listed (cleared) + (lost.plugins + lost.parameters + lost.routes + lost.hotPlugins == 1 ? " was cleared" : " were cleared"));
            // What no channel of the template held (a hot plug-in assignment of a plug-in it does
            // not hold) is the template's loss, not a channel's.
            lines.add ((lost.channels == 0 ? juce::String ("The host-save template lost content of its")
                                           : counted (lost.channels, "channel", "channels") + " of the host-save template lost content of "
                                                 + (lost.channels == 1 ? "its" : "their"))
                       + " own: " + parts.joinIntoString ("; ") + ".");
        }
        add (sourceSnapshots, "Source snapshots were not carried: ");
        add (keptSnapshots, "Host-save template snapshots were kept with the template's values on the transferred channels (recalling one "
                            "undoes the transfer there): ");
        return lines.joinIntoString ("\n");
    }
};

// Every row of a query (bound to nothing) as one text for a note.
bool noteRows (sqlite3* db, const juce::String& sql, const std::function<juce::String (sqlite3_stmt*)>& describe, juce::StringArray& out,
               juce::String& error)
{
    return eachRow (db, sql, [&] (sqlite3_stmt* st) { out.add (describe (st)); }, error);
}

bool collectNotes (sqlite3* db, const std::vector<ChannelChoice>& choices, bool toLv1, TransferNotes& notes, juce::String& error)
{
    // A plug-in by its name and where the selection took it from.
    std::map<juce::int64, juce::String> plugins;
    for (const auto& choice : choices)
    {
        const auto from = genericChannelName (choice.source.type, choice.source.index);
        if (choice.blank)
            notes.genericNames.add (from + " as " + json::quotedForMessage (choice.outputName));
        if (choice.selectionMoved)
            notes.movedSelections.add (from + " (slot " + choice.content.selectedSlot.describe() + ", now "
                                       + (choice.selectedSlot.integer < 0 ? juce::String ("none") : "slot " + choice.selectedSlot.describe()) + ")");
        for (const auto& plugin : choice.plugins)
            plugins[plugin.plugId] = json::quotedForMessage (plugin.sourceName) + " (" + from + ", slot " + juce::String (plugin.sourceSlot) + ")";
    }

    bool exists = false;
    if (! tableExists (db, "source_session", "snapshot_chainer_params", exists, error))
        return false;
    if (exists)
    {
        bool named = false;
        if (! tableExists (db, "source_session", "chainer_params", named, error)
            || ! countQuery (db, "SELECT count(*) FROM source_session.snapshot_chainer_params scp JOIN vorn_channel_map m ON m.source_id=scp.chainer_id WHERE vorn_value(scp.snapshot_id)=-1",
                             {}, notes.channelParameters, error))
            return false;
        const juce::String name = named ? "COALESCE((SELECT cp.name FROM source_session.chainer_params cp WHERE cp.id=scp.param_id LIMIT 1),'parameter '||scp.param_id)"
                                        : "'parameter '||scp.param_id";
        if (! noteRows (db, "SELECT DISTINCT " + name + " AS n FROM source_session.snapshot_chainer_params scp JOIN vorn_channel_map m ON m.source_id=scp.chainer_id WHERE vorn_value(scp.snapshot_id)=-1 ORDER BY n",
                        [] (sqlite3_stmt* st) { return noteText (st, 0); }, notes.parameterNames, error))
            return false;
    }

    if (! noteRows (db, "SELECT sp.plug_id,sp.setup_type_id FROM source_session.snapshot_plugin sp JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE vorn_value(sp.snapshot_id)=-1 AND vorn_value(sp.setup_type_id) IS NOT -1 ORDER BY sp.plug_id,sp.setup_type_id,sp.id",
                    [&plugins] (sqlite3_stmt* st) {
                        return plugins[sqlite3_column_int64 (st, 0)] + " setup " + (sqlite3_column_type (st, 1) == SQLITE_NULL ? juce::String ("NULL") : noteText (st, 1));
                    },
                    notes.secondStates, error))
        return false;

    const juce::String plugColumns = "p.plugin_name,o.obj_type,o.obj_index,p.slot";
    const juce::String plugOrder = " ORDER BY o.obj_type,o.obj_index,p.slot,p.id";
    const auto describe = [] (sqlite3_stmt* st) { return describePlugin (st, 0); };
    bool recallSafe = false, hotPlugin = false;
    if (! columnExists (db, "source_session", "plug", "recall_safe", recallSafe, error)
        || ! columnExists (db, "source_session", "plug", "hot_plugin", hotPlugin, error))
        return false;
    if ((recallSafe || hotPlugin)
        && ! noteRows (db, "SELECT " + plugColumns + " FROM source_session.plug p JOIN vorn_plugin_map pm ON pm.source_id=p.id LEFT JOIN source_session.object o ON o.id=p.chainer_id WHERE "
                               + (recallSafe ? "COALESCE(p.recall_safe,0)<>0" : "0") + " OR " + (hotPlugin ? "COALESCE(p.hot_plugin,-1)<>-1" : "0") + plugOrder,
                       describe, notes.resetPlugins, error))
        return false;

    // The source's hot plug-in assignments of its active snapshot: no verified equivalent in the
    // other product, so none is carried.
    juce::StringArray hot;
    bool snapshotColumn = false;
    if (! hotPluginColumns (db, "source_session", hot, error)
        || ! columnExists (db, "source_session", "snapshot_hot_plugins", "snapshot_id", snapshotColumn, error))
        return false;
    for (const auto& column : hot)
    {
        const auto number = column.fromFirstOccurrenceOf ("hp_", false, false).upToFirstOccurrenceOf ("_", false, false);
        const auto value = "h." + sqlIdentifier (column);
        if (! noteRows (db, "SELECT " + value + ",p.id,p.plugin_name,o.obj_type,o.obj_index,p.slot FROM source_session.snapshot_hot_plugins h LEFT JOIN source_session.plug p ON p.id="
                                + value + " LEFT JOIN source_session.object o ON o.id=p.chainer_id WHERE " + (snapshotColumn ? "vorn_value(h.snapshot_id)=-1" : "1") + " AND "
                                + value + " IS NOT NULL AND " + value + " IS NOT -1 ORDER BY h.id",
                        [&number] (sqlite3_stmt* st) {
                            return "hot plug-in " + number + " "
                                   + (sqlite3_column_type (st, 1) == SQLITE_NULL ? "plug-in id " + noteText (st, 0) + " (not a plug-in of the source)"
                                                                                 : describePlugin (st, 2));
                        },
                        notes.hotAssignments, error))
            return false;
    }
    // And its hot_plug rows: none is carried either.
    bool hotPlug = false, hotPlugColumn = false;
    if (! tableExists (db, "source_session", "hot_plug", hotPlug, error)
        || ! columnExists (db, "source_session", "hot_plug", "plug_id", hotPlugColumn, error))
        return false;
    if (hotPlug
        && ! noteRows (db,
                       hotPlugColumn ? "SELECT h.rowid,h.plug_id,p.id,p.plugin_name,o.obj_type,o.obj_index,p.slot FROM source_session.hot_plug h LEFT JOIN "
                                       "source_session.plug p ON p.id=h.plug_id LEFT JOIN source_session.object o ON o.id=p.chainer_id ORDER BY h.rowid"
                                     : "SELECT h.rowid,NULL,NULL FROM source_session.hot_plug h ORDER BY h.rowid",
                       [hotPlugColumn] (sqlite3_stmt* st) {
                           const auto row = "hot_plug row " + noteText (st, 0);
                           if (! hotPlugColumn)
                               return row;
                           return row + " "
                                  + (sqlite3_column_type (st, 2) == SQLITE_NULL ? "plug-in id " + noteText (st, 1) + " (not a plug-in of the source)"
                                                                                : describePlugin (st, 3));
                       },
                       notes.hotAssignments, error))
        return false;

    // Everything the source holds that the selection left out: its channels as the report lists
    // them, and every plug-in not carried (on those channels, on selected ones, or on channels the
    // report cannot list).
    const std::vector<int> types = toLv1 ? std::vector<int> { 0 } : std::vector<int> { 0, 2, 1, 6 };
    for (const int type : types)
    {
        juce::int64 configured = 0;
        if (! configuredChannelCount (db, "source_session", type, configured, error))
            return false;
        if (! noteRows (db, "SELECT o.obj_type,o.obj_index,COALESCE((SELECT sc.name FROM source_session.snapshot_chainer sc WHERE sc.chainer_id=o.id AND vorn_value(sc.snapshot_id)=-1 LIMIT 1),o.name) "
                            "FROM source_session.object o WHERE o.obj_type=" + juce::String (type) + " AND typeof(o.obj_index)='integer' AND o.obj_index>=0 AND o.obj_index<"
                                + juce::String (configured) + " AND o.id NOT IN (SELECT source_id FROM vorn_channel_map) ORDER BY o.obj_index,o.id",
                        [] (sqlite3_stmt* st) {
                            const auto name = rowText (st, 2);
                            return channelAt (st, 0, 1) + (name.isEmpty() ? juce::String() : " " + json::quotedForMessage (name));
                        },
                        notes.unselectedChannels, error))
            return false;
    }
    if (! noteRows (db, "SELECT " + plugColumns + " FROM source_session.plug p LEFT JOIN source_session.object o ON o.id=p.chainer_id WHERE p.id NOT IN (SELECT source_id FROM vorn_plugin_map)" + plugOrder,
                    describe, notes.unselectedPlugins, error))
        return false;

    return noteRows (db, "SELECT name,number FROM source_session.snapshot WHERE id<>-1 ORDER BY number,id", describeSnapshot, notes.sourceSnapshots, error)
        && tableExists (db, "main", "snapshot_chainer_params", exists, error)
        && noteRows (db,
                     juce::String ("SELECT s.name,s.number FROM main.snapshot s WHERE s.id<>-1 AND (EXISTS(SELECT 1 FROM main.snapshot_chainer sc WHERE sc.snapshot_id=s.id AND sc.chainer_id IN (SELECT target_id FROM vorn_channel_map))")
                         + (exists ? " OR EXISTS(SELECT 1 FROM main.snapshot_chainer_params scp WHERE scp.snapshot_id=s.id AND scp.chainer_id IN (SELECT target_id FROM vorn_channel_map))" : "")
                         + ") ORDER BY s.number,s.id",
                     describeSnapshot, notes.keptSnapshots, error);
}

//==============================================================================
// The channel-map record

// The channel-map record: where each rack channel and slot sits on the LV1 side.
juce::String channelMapRecord (const std::vector<ChannelChoice>& choices, bool toLv1)
{
    juce::Array<juce::var> channels;
    for (const auto& choice : choices)
    {
        const auto& lv1Side = toLv1 ? choice.destination : choice.source;
        juce::Array<juce::var> plugins;
        for (const auto& plugin : choice.plugins)
        {
            auto* entry = new juce::DynamicObject();
            entry->setProperty ("rackSlot", toLv1 ? plugin.sourceSlot : plugin.targetSlot);
            entry->setProperty ("sourceSlot", toLv1 ? plugin.targetSlot : plugin.sourceSlot);
            plugins.add (juce::var (entry));
        }
        auto* channel = new juce::DynamicObject();
        channel->setProperty ("rackIndex", choice.rackIndex);
        channel->setProperty ("sourceType", lv1Side.type);
        channel->setProperty ("sourceIndex", lv1Side.index);
        channel->setProperty ("plugins", plugins);
        channels.add (juce::var (channel));
    }
    auto* root = new juce::DynamicObject();
    root->setProperty ("schema", "vorn-waves-channel-map-v1");
    root->setProperty ("channels", channels);
    return "VORN_WAVES_CHANNEL_MAP_V1\n" + json::toJsonLine (juce::var (root));
}

//==============================================================================
// The proof

// What the written session must hold besides its channels: the template's snapshots as they were
// (id, number, name), the channel map in the active one, and exactly the plug-ins, states and
// routes the transfer copied.
struct TransferProof
{
    std::vector<SqlRow> snapshots;
    juce::String record;
    int plugins = 0, routes = 0;
};

bool readSnapshots (sqlite3* db, std::vector<SqlRow>& rows, juce::String& error)
{
    rows.clear();
    return eachRow (db, "SELECT id,number,name FROM main.snapshot ORDER BY id",
                    [&rows] (sqlite3_stmt* st) { rows.push_back ({ SqlValue::column (st, 0), SqlValue::column (st, 1), SqlValue::column (st, 2) }); },
                    error);
}

// What the selection asks of a channel: the name it gets, the source's preset name (empty when it
// has none), the mapped selected slot and the further columns of its active row and of its layout
// row (when the source holds them); each selected plug-in with its row and active state at its
// target slot; the physical routes with the channel's end renumbered; no channel parameter.
ChannelContent expectedContent (const ChannelChoice& choice, const CarriedColumns& columns)
{
    ChannelContent expected;
    expected.activeRow = choice.content.activeRow;
    expected.name = SqlValue::of (choice.outputName);
    expected.presetName = choice.content.presetName.isNull() ? SqlValue::of (juce::String()) : choice.content.presetName;
    expected.selectedSlot = choice.selectedSlot;
    expected.activeColumns = choice.content.activeColumns;
    expected.layoutRows = choice.content.layoutRows;
    expected.layout = choice.content.layout;
    auto plugins = choice.plugins;
    std::sort (plugins.begin(), plugins.end(), [] (const PluginChoice& a, const PluginChoice& b) { return a.targetSlot < b.targetSlot; });
    for (const auto& plugin : plugins)
    {
        auto content = choice.content.plugins[plugin.sourcePlugin];
        content.slot = SqlValue::of ((juce::int64) plugin.targetSlot);
        expected.plugins.push_back (std::move (content));
    }
    const int srcType = CarriedColumns::indexOf (columns.route, "src_cluster_type"), srcIndex = CarriedColumns::indexOf (columns.route, "src_cluster_type_index");
    const int dstType = CarriedColumns::indexOf (columns.route, "dst_cluster_type"), dstIndex = CarriedColumns::indexOf (columns.route, "dst_cluster_type_index");
    const auto type = SqlValue::of ((juce::int64) choice.source.type), index = SqlValue::of ((juce::int64) choice.source.index);
    for (auto route : choice.content.routes)
    {
        const bool in = route[(size_t) srcType] == SqlValue::of ((juce::int64) 10) && route[(size_t) dstType] == type && route[(size_t) dstIndex] == index;
        route[(size_t) (in ? dstType : srcType)] = SqlValue::of ((juce::int64) choice.destination.type);
        route[(size_t) (in ? dstIndex : srcIndex)] = SqlValue::of ((juce::int64) choice.destination.index);
        expected.routes.push_back (std::move (route));
    }
    return expected;
}

// The first difference between a written channel and what the selection asks of it, or nothing.
juce::String contentDifference (const ChannelContent& expected, const ChannelContent& actual, const CarriedColumns& columns)
{
    const auto differs = [] (const juce::String& what, const SqlValue& is, const SqlValue& asked) {
        return what + " is " + is.describe() + ", the selection asks for " + asked.describe();
    };
    const auto rowDifference = [&differs] (const juce::String& what, const ColumnList& names, const SqlRow& is, const SqlRow& asked) {
        for (size_t c = 0; c < is.size() && c < asked.size() && c < names.size(); ++c)
            if (is[c] != asked[c])
                return differs (what + names[c], is[c], asked[c]);
        return juce::String();
    };
    if (actual.name != expected.name)
        return differs ("name", actual.name, expected.name);
    if (actual.presetName != expected.presetName)
        return differs ("preset_name", actual.presetName, expected.presetName);
    if (actual.selectedSlot != expected.selectedSlot)
        return differs ("selected_slot", actual.selectedSlot, expected.selectedSlot);
    if (expected.activeRow)
        if (const auto row = rowDifference ({}, columns.activeRow, actual.activeColumns, expected.activeColumns); row.isNotEmpty())
            return row;
    if (columns.layouts && expected.layoutRows == 1)
    {
        if (actual.layoutRows != 1)
            return "it has " + counted (actual.layoutRows, "chainer row", "chainer rows") + ", the selection asks for 1";
        if (const auto row = rowDifference ("chainer ", columns.layout, actual.layout, expected.layout); row.isNotEmpty())
            return row;
    }
    if (actual.plugins.size() != expected.plugins.size())
        return "it holds " + counted ((juce::int64) actual.plugins.size(), "plug-in", "plug-ins") + ", the selection asks for "
               + juce::String ((juce::int64) expected.plugins.size());
    const auto stateColumns = columns.stateRow();
    for (size_t p = 0; p < actual.plugins.size(); ++p)
    {
        const auto& is = actual.plugins[p];
        const auto& asked = expected.plugins[p];
        const auto what = "the plug-in in slot " + asked.slot.describe();
        if (is.slot != asked.slot)
            return differs ("a plug-in's slot", is.slot, asked.slot);
        if (is.id != asked.id)
            return differs (what + " id", SqlValue::of (is.id), SqlValue::of (asked.id));
        if (const auto row = rowDifference (what + " ", columns.plugin, is.row, asked.row); row.isNotEmpty())
            return row;
        if (is.states.size() != asked.states.size())
            return what + " has " + counted ((juce::int64) is.states.size(), "active state", "active states") + ", the selection asks for "
                   + juce::String ((juce::int64) asked.states.size());
        for (size_t s = 0; s < is.states.size(); ++s)
            if (const auto state = rowDifference (what + " active state ", stateColumns, is.states[s], asked.states[s]); state.isNotEmpty())
                return state;
    }
    if (actual.routes.size() != expected.routes.size())
        return "it has " + counted ((juce::int64) actual.routes.size(), "physical route", "physical routes") + ", the selection asks for "
               + juce::String ((juce::int64) expected.routes.size());
    const int id = CarriedColumns::indexOf (columns.route, "id");
    for (size_t r = 0; r < actual.routes.size(); ++r)
        if (const auto route = rowDifference ("physical route " + expected.routes[r][(size_t) id].describe() + " ", columns.route, actual.routes[r],
                                              expected.routes[r]);
            route.isNotEmpty())
            return route;
    if (! actual.parameters.empty())
        return "it holds " + counted ((juce::int64) actual.parameters.size(), "channel parameter value", "channel parameter values")
               + ", the transfer carries none";
    return {};
}

// Reads the written session back on a connection of its own, with the readers that read the
// source, and compares it by value, channel by channel, with what the selection asked: names,
// preset names, selected slots, the further columns of the active rows and the layouts, plug-ins
// by slot with their rows and active states, physical routes (every column the transfer carries),
// channel parameters; then that nothing else came in (plug-ins, states, presets, routes, parameters, hot
// plug-in assignments), that every template channel not transferred onto carries its generic
// name, and that the snapshots are the template's with the channel map in the active one. The
// first difference refuses the transfer.
bool proveTransfer (const juce::File& written, const std::vector<ChannelChoice>& choices, const TransferShape& shape, const TransferProof& proof,
                    juce::String& error)
{
    Database db;
    if (! openDatabase (written, db, error) || ! addValueFunction (db.handle, error))
        return false;
    const auto refuse = [&error] (const juce::String& where, const juce::String& what) {
        error = "written Waves session differs from the selection" + where + ": " + what;
        return false;
    };
    std::set<juce::int64> targets;
    for (const auto& choice : choices)
    {
        const auto where = " at " + genericChannelName (choice.destination.type, choice.destination.index) + " (from "
                           + genericChannelName (choice.source.type, choice.source.index) + ")";
        bool found = false;
        WavesChannel channel;
        if (! readChannel (db.handle, "main", choice.destination.type, choice.destination.index, "written Waves session", found, channel, error))
            return false;
        if (! found || channel.objectId != choice.targetId || ! channel.activeRow)
            return refuse (where, "its channel object or active row is not the template's");
        targets.insert (channel.objectId);
        ChannelContent actual;
        if (! readChannelContent (db.handle, "main", shape.carried, channel.objectId, choice.destination.type, choice.destination.index, actual, error))
            return false;
        if (const auto difference = contentDifference (expectedContent (choice, shape.carried), actual, shape.carried); difference.isNotEmpty())
            return refuse (where, difference);
    }

    // The flags the transfer resets, where the template holds them.
    juce::StringArray resets, resetNames;
    for (const auto& [column, value] : shape.pluginResets)
    {
        resets.add (sqlIdentifier (column) + " IS NOT " + juce::String (value));
        resetNames.add (column);
    }
    const auto resetWords = listed (resetNames).replace (" and ", " or ");
    const auto withResets = "plug-in with " + resetWords + " set", withResetsMany = "plug-ins with " + resetWords + " set";
    const bool refCount = shape.preset.templateHolds ("ref_count");
    const struct
    {
        juce::String sql;
        juce::int64 expected;
        juce::String one, many;
    } totals[] = {
        { "SELECT count(*) FROM plug", proof.plugins, "plug-in", "plug-ins" },
        { "SELECT count(*) FROM snapshot_plugin", proof.plugins, "plug-in state", "plug-in states" },
        { "SELECT count(*) FROM routes", proof.routes, "route", "routes" },
        { "SELECT count(*) FROM snapshot_chainer_params WHERE vorn_value(snapshot_id)=-1", 0, "active channel parameter value", "active channel parameter values" },
        { resets.isEmpty() ? juce::String ("SELECT 0") : "SELECT count(*) FROM plug WHERE " + resets.joinIntoString (" OR "), 0, withResets, withResetsMany },
        { juce::String ("SELECT count(*) FROM plugin_preset pp WHERE ")
              + (refCount ? "pp.ref_count IS NOT (SELECT count(*) FROM snapshot_plugin sp WHERE sp.preset_id=pp.id) OR " : "")
              + "NOT EXISTS(SELECT 1 FROM snapshot_plugin sp WHERE sp.preset_id=pp.id)",
          0, "preset that no copied state uses or whose ref_count is not the number of states using it",
          "presets that no copied state uses or whose ref_count is not the number of states using them" },
    };
    for (const auto& total : totals)
    {
        juce::int64 count = 0;
        if (! countQuery (db.handle, total.sql.toRawUTF8(), {}, count, error))
            return false;
        if (count != total.expected)
            return refuse ({}, "it holds " + counted (count, total.one.toRawUTF8(), total.many.toRawUTF8()) + ", the selection asks for "
                                   + juce::String (total.expected));
    }
    juce::StringArray hot;
    bool hotPlug = false;
    if (! hotPluginColumns (db.handle, "main", hot, error) || ! tableExists (db.handle, "main", "hot_plug", hotPlug, error))
        return false;
    for (const auto& column : hot)
    {
        juce::int64 assigned = 0;
        if (! countQuery (db.handle, ("SELECT count(*) FROM snapshot_hot_plugins WHERE " + sqlIdentifier (column) + " IS NOT -1").toRawUTF8(), {}, assigned,
                          error))
            return false;
        if (assigned != 0)
            return refuse ({}, "snapshot_hot_plugins." + column + " holds a hot plug-in assignment, the transfer carries none");
    }
    juce::int64 hotRows = 0;
    if (hotPlug && ! countQuery (db.handle, "SELECT count(*) FROM hot_plug", {}, hotRows, error))
        return false;
    if (hotRows != 0)
        return refuse ({}, "hot_plug holds " + juce::String (hotRows) + " rows, the transfer carries none");

    juce::String misnamed;
    if (! eachRow (db.handle,
                   "SELECT o.id,o.obj_type,o.obj_index,sc.name FROM object o JOIN snapshot_chainer sc ON sc.chainer_id=o.id AND vorn_value(sc.snapshot_id)=-1 "
                   "WHERE o.obj_type IN (0,1,2,6) AND typeof(o.obj_index)='integer' AND o.obj_index>=0 ORDER BY o.obj_type,o.obj_index",
                   [&] (sqlite3_stmt* st) {
                       const auto index = sqlite3_column_int64 (st, 2);
                       if (misnamed.isNotEmpty() || targets.count (sqlite3_column_int64 (st, 0)) != 0 || index >= std::numeric_limits<int>::max())
                           return;
                       const auto generic = genericChannelName (sqlite3_column_int (st, 1), (int) index);
                       const auto name = SqlValue::column (st, 3);
                       if (name != SqlValue::of (generic))
                           misnamed = generic + " of the host-save template is named " + name.describe() + ", the transfer gives it "
                                      + json::quotedForMessage (generic);
                   },
                   error))
        return false;
    if (misnamed.isNotEmpty())
        return refuse ({}, misnamed);

    std::vector<SqlRow> snapshots;
    if (! readSnapshots (db.handle, snapshots, error))
        return false;
    if (snapshots.size() != proof.snapshots.size() || ! std::equal (snapshots.begin(), snapshots.end(), proof.snapshots.begin()))
        return refuse ({}, "its snapshots are not the host-save template's");
    Statement info;
    bool hasRow = false;
    if (! prepare (db.handle, "SELECT info FROM snapshot WHERE id=-1", info, error) || ! stepRow (db.handle, info.handle, hasRow, error))
        return false;
    if (! hasRow || SqlValue::column (info.handle, 0) != SqlValue::of (proof.record))
        return refuse ({}, "the active snapshot does not hold the channel map");
    return true;
}

} // namespace

//==============================================================================
// The transfer

TransferResult convertSession (const juce::File& input, juce::StringRef targetRef, const juce::File& selection,
                               const juce::File& hostSaveTemplate, const juce::File& output)
{
    const juce::String target (targetRef);
    const bool toLv1 = target == wavesLv1Target;
    TransferResult result;
    const auto fail = [&result] (const juce::String& error) {
        result = {};
        result.error = error;
        return result;
    };

    for (const auto* named : { &input, &hostSaveTemplate })
        if (named->isDirectory())
            return fail (folderNotFileError (*named));
    if (! input.existsAsFile())
        return fail ("Waves source is unavailable: " + input.getFullPathName());
    if (! hostSaveTemplate.existsAsFile())
        return fail ("Waves host-save template is unavailable: " + hostSaveTemplate.getFullPathName());
    if (anythingExistsAt (output))
        return fail ("Waves output already exists; it was not overwritten");
    if (! selection.existsAsFile())
        return fail ("Waves conversion requires a channel selection");

    juce::String error;
    Selection picked;
    juce::String selectedFingerprint;
    if (! sourceFingerprint (input, selectedFingerprint, error) || ! readSelection (selection, target, selectedFingerprint, picked, error))
        return fail (error);
    auto& choices = picked.choices;

    // Declared before the output stage: the connection that attaches the staged input closes first.
    StagedSource staged;
    juce::String fingerprint;
    if (! stageSourceSnapshot (input, staged, fingerprint, error))
        return fail (error);
    // The staged copy must be the state the selection was made for, not a later save.
    if (fingerprint != selectedFingerprint)
        return fail ("Waves selection source fingerprint does not match the current input file");

    // The output's folder is held, and the output's temporary file made in it, first, so that an
    // output folder that cannot take it fails before any work; it is written once the session is
    // finished, and committed through the folder's handle.
    HeldFolder outputFolder;
    HeldFile temporary;
    OutputStage stage;
    juce::String ignored;
    if (! openHeldFolder (output.getParentDirectory(), false, "output folder", outputFolder)
        || ! makeTemporaryIn (outputFolder, output.getFileName(), temporary))
        return fail ("Could not create the Waves output beside " + output.getFullPathName() + systemReason (errno));
    const auto root = temporaryRoot();
    const auto stagingFailed = "Could not stage the Waves host-save template in the temporary folder " + root.getFullPathName() + " (TMPDIR)";
    if (! makePrivateFolder (root, "vorn-waves-output", stage.folder, ignored))
        return fail (stagingFailed + systemReason (errno));
    // A host save that still sits in the template's write-ahead log belongs to the template; an
    // unfinished one in its rollback journal is rolled back on the copy by SQLite.
    stage.file = stage.folder.folder.getChildFile ("template" + output.getFileExtension());
    DatabaseCopy templateCopy;
    if (! copyDatabase (hostSaveTemplate, stage.file, templateCopy))
        return fail (templateCopy.refusal.isNotEmpty() ? templateCopy.refusal
                                                       : stagingFailed + systemReason (templateCopy.systemError));
    juce::String templateNow;
    if (! sourceFingerprint (hostSaveTemplate, templateNow, ignored) || templateNow != templateCopy.fingerprint)
        return fail ("Waves host-save template changed while it was being staged");

    const auto db = [&stage] { return stage.db.handle; };
    if (! openDatabase (stage.file, stage.db, error) || ! addValueFunction (db(), error)
        || ! checkHostShapedSchema (db(), "main", "Waves host-save template", error)
        || ! execute (db(), "PRAGMA journal_mode=DELETE", error) || ! execute (db(), "PRAGMA foreign_keys=ON", error))
        return fail (error);
    {
        Statement attach;
        if (! prepare (db(), "ATTACH DATABASE ? AS source_session", attach, error))
            return fail (error);
        const auto path = staged.database.getFullPathName();
        sqlite3_bind_text (attach.handle, 1, path.toRawUTF8(), -1, SQLITE_TRANSIENT);
        if (! stepDone (db(), attach.handle, error))
            return fail (error);
    }

    juce::String sourceTypeError, mainTypeError;
    const auto sourceType = applicationType (db(), "source_session", sourceTypeError);
    const auto mainType = applicationType (db(), "main", mainTypeError);
    if (! expectedDirection (sourceType, target) || mainType != (toLv1 ? "com.waves.mixer.lv1" : "com.waves.mixer.MRSG"))
        return fail ("Waves source/template application types do not match the requested direction");

    // A SuperRack Performer session carries the same application type as a SoundGrid one; the
    // SuperRack side of either direction must prove that it is SoundGrid.
    {
        const auto inspection = inspectSuperRackDatabase (db(), toLv1 ? "source_session" : "main");
        if (inspection.kind != SuperRackProductKind::soundGrid)
        {
            const juce::String what = toLv1 ? "The .sprk source is not a verified SuperRack SoundGrid session"
                                            : "The SuperRack host-save template is not a verified SuperRack SoundGrid session";
            return fail (toLv1 && inspection.error.isNotEmpty() ? inspection.error
                                                                : what + (inspection.error.isNotEmpty() && ! toLv1 ? ": " + inspection.error : juce::String()));
        }
    }

    // Before anything is written: the selection must fit the template as the host saved it, and
    // every row it names must be there, once.
    if (picked.selectedCount > maxChannels)
    {
        juce::String capacity;
        if (! templateCapacityText (db(), toLv1, capacity, error))
            return fail (error);
        return fail ("Select between 1 and 64 Waves channels: the selection selects " + juce::String (picked.selectedCount) + ", and "
                     + capacity);
    }
    // What each table a selected channel's rows live in carries, from the two schemas; a
    // template that already breaks one of its own keys is its own fault, said before anything is
    // written. Then every row the selection names, and every value the write would lose.
    TransferShape shape;
    if (! shapeTransfer (db(), shape, error) || ! checkDestinationsFitTemplate (db(), choices, error)
        || ! resolveChannels (db(), toLv1, shape, choices, error) || ! checkTemplateTakesTheTransfer (db(), error)
        || ! checkTemplateKeys (db(), error) || ! checkSelectedRows (db(), shape, choices, error) || ! checkReferringRows (db(), choices, error))
        return fail (error);

    // What the template holds before the write: its snapshots stay as they are, and the note says
    // what its own channels lose.
    TransferProof proof;
    TemplateLosses templateLosses;
    bool hotPlugTable = false;
    if (! readSnapshots (db(), proof.snapshots, error) || ! collectTemplateLosses (db(), choices, templateLosses, error)
        || ! tableExists (db(), "main", "hot_plug", hotPlugTable, error))
        return fail (error);

    // Keys are checked once the write is done (by the integrity check before the commit), so that a
    // fault the checks above did not foresee is named with its table rather than as a bare failure.
    if (! execute (db(),
                   "BEGIN IMMEDIATE;PRAGMA defer_foreign_keys=ON;CREATE TEMP TABLE vorn_channel_map(source_type INTEGER,source_index INTEGER,source_id INTEGER,target_type INTEGER,target_index INTEGER,target_id INTEGER,rack_index INTEGER,PRIMARY KEY(source_type,source_index),UNIQUE(target_type,target_index));CREATE TEMP TABLE vorn_plugin_map(source_id INTEGER PRIMARY KEY,target_id INTEGER UNIQUE,source_slot INTEGER,target_slot INTEGER);",
                   error))
        return fail (error);

    std::map<ChannelKey, ChannelKey> mapped;
    for (const auto& choice : choices)
    {
        if (! bindAndStep (db(), "INSERT INTO vorn_channel_map VALUES(?,?,?,?,?,?,?)",
                           { choice.source.type, choice.source.index, choice.sourceId, choice.destination.type, choice.destination.index,
                             choice.targetId, choice.rackIndex },
                           error))
            return fail (error);
        for (const auto& plugin : choice.plugins)
            if (! bindAndStep (db(), "INSERT INTO vorn_plugin_map(source_id,target_id,source_slot,target_slot) VALUES(?,?,?,?)",
                               { plugin.plugId, plugin.plugId, plugin.sourceSlot, plugin.targetSlot }, error))
                return fail (error);
        mapped[choice.source] = choice.destination;
    }

    // The template's plug-ins go with the rows that point at them, children first, so that the
    // delete holds under the host's foreign keys and no orphaned state is counted below.
    if (! execute (db(),
                   juce::String ("DELETE FROM snapshot_plugin;DELETE FROM plug_sidechain;") + (hotPlugTable ? "DELETE FROM hot_plug;" : "")
                       + "DELETE FROM plug;DELETE FROM plugin_preset;DELETE FROM routes;DELETE FROM snapshot_chainer_params WHERE vorn_value(snapshot_id)=-1;UPDATE snapshot_hot_plugins SET hp_1_plug_id=-1,hp_2_plug_id=-1,hp_3_plug_id=-1,hp_4_plug_id=-1,hp_5_plug_id=-1,hp_6_plug_id=-1,hp_7_plug_id=-1,hp_8_plug_id=-1,hp_9_plug_id=-1,hp_10_plug_id=-1,hp_11_plug_id=-1,hp_12_plug_id=-1;",
                   error)
        || ! applyGenericNames (db(), error))
        return fail (error);

    // The notes are taken before the copy: what the source holds beyond the copy, and what the
    // template keeps of its own on the transferred channels.
    TransferNotes notes;
    notes.templateLosses = templateLosses;
    if (! collectNotes (db(), choices, toLv1, notes, error))
        return fail (error);

    // Each mapped channel takes the name the selection showed for it (its own, or for a channel
    // without one the generic name of its destination, which it already has) and selects the slot
    // where the plug-in the source selects landed.
    for (const auto& choice : choices)
    {
        Statement rename;
        if (! prepare (db(), "UPDATE snapshot_chainer SET name=?,selected_slot=? WHERE vorn_value(snapshot_id)=-1 AND chainer_id=?", rename, error))
            return fail (error);
        sqlite3_bind_text (rename.handle, 1, choice.outputName.toRawUTF8(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64 (rename.handle, 2, choice.selectedSlot.integer);
        sqlite3_bind_int64 (rename.handle, 3, choice.targetId);
        if (! stepDone (db(), rename.handle, error))
            return fail (error);
    }
    // The rest of each mapped channel's active row and its layout, as the source holds them, and
    // the selected plug-ins with their presets and active states: every column both sessions hold
    // is copied as it is (a plug-in keeps its id and takes its target slot, with its recall-safe,
    // sidechain and hot-plug-in flags reset where the template holds them; a preset counts the
    // copied states that use it).
    const auto& carried = shape.carried;
    const auto assignments = [] (const ColumnList& columns) {
        juce::StringArray names, values;
        for (const auto& column : columns)
        {
            names.add (sqlIdentifier (column));
            values.add ("s." + sqlIdentifier (column));
        }
        return "(" + names.joinIntoString (",") + ")=(SELECT " + values.joinIntoString (",");
    };
    for (const auto& choice : choices)
    {
        if (choice.content.activeRow && ! carried.activeRow.empty()
            && ! bindAndStep (db(),
                              ("UPDATE main.snapshot_chainer SET " + assignments (carried.activeRow)
                               + " FROM source_session.snapshot_chainer s WHERE s.chainer_id=? AND vorn_value(s.snapshot_id)=-1 LIMIT 1) WHERE vorn_value(snapshot_id)=-1 AND chainer_id=?")
                                  .toRawUTF8(),
                              { choice.sourceId, choice.targetId }, error))
            return fail (error);
        if (carried.layouts && choice.content.layoutRows == 1 && ! carried.layout.empty()
            && ! bindAndStep (db(),
                              ("UPDATE main.chainer SET " + assignments (carried.layout) + " FROM source_session.chainer s WHERE s.obj_id=? LIMIT 1) WHERE obj_id=?")
                                  .toRawUTF8(),
                              { choice.sourceId, choice.targetId }, error))
            return fail (error);
    }
    juce::StringArray plugColumns { "id", "chainer_id", "slot" }, plugValues { "p.id", "m.target_id", "pm.target_slot" };
    for (const auto& [column, value] : shape.pluginResets)
    {
        plugColumns.add (column);
        plugValues.add (juce::String (value));
    }
    juce::StringArray presetColumns { "id" }, presetValues { "pp.id" };
    if (shape.preset.templateHolds ("ref_count"))
    {
        presetColumns.add ("ref_count");
        presetValues.add ("count(*)");
    }
    juce::StringArray stateColumns, stateValues;
    const auto copied = [] (const ColumnList& columns, const char* from, juce::StringArray& names, juce::StringArray& values) {
        for (const auto& column : columns)
        {
            names.add (sqlIdentifier (column));
            values.add (juce::String (from) + "." + sqlIdentifier (column));
        }
    };
    copied (carried.plugin, "p", plugColumns, plugValues);
    copied (carried.preset, "pp", presetColumns, presetValues);
    copied (carried.state, "sp", stateColumns, stateValues);
    if (! execute (db(),
                   "UPDATE snapshot_chainer AS d SET preset_name=COALESCE((SELECT s.preset_name FROM source_session.snapshot_chainer s JOIN vorn_channel_map m ON m.source_id=s.chainer_id WHERE m.target_id=d.chainer_id AND vorn_value(s.snapshot_id)=-1),'') WHERE vorn_value(d.snapshot_id)=-1 AND d.chainer_id IN (SELECT target_id FROM vorn_channel_map);"
                   "INSERT INTO main.plug(" + plugColumns.joinIntoString (",") + ") SELECT " + plugValues.joinIntoString (",")
                       + " FROM source_session.plug p JOIN vorn_plugin_map pm ON pm.source_id=p.id JOIN vorn_channel_map m ON m.source_id=p.chainer_id;"
                         "INSERT INTO main.plugin_preset(" + presetColumns.joinIntoString (",") + ") SELECT " + presetValues.joinIntoString (",")
                       + " FROM source_session.plugin_preset pp JOIN source_session.snapshot_plugin sp ON sp.preset_id=pp.id JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE vorn_value(sp.snapshot_id)=-1 AND vorn_value(sp.setup_type_id)=-1 GROUP BY pp.id;"
                         "INSERT INTO main.snapshot_plugin(" + stateColumns.joinIntoString (",") + ") SELECT " + stateValues.joinIntoString (",")
                       + " FROM source_session.snapshot_plugin sp JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE vorn_value(sp.snapshot_id)=-1 AND vorn_value(sp.setup_type_id)=-1;",
                   error))
        return fail (error);

    // Every selected plug-in has its one active state (checked above).
    int pluginCount = 0;
    for (const auto& choice : choices)
        pluginCount += (int) choice.plugins.size();

    int routeCount = 0;
    if (! copyPhysicalRoutes (db(), carried.route, mapped, routeCount, error))
        return fail (error);

    {
        Statement update;
        if (! prepare (db(), "UPDATE snapshot SET info=? WHERE id=-1", update, error))
            return fail (error);
        proof.record = channelMapRecord (choices, toLv1);
        sqlite3_bind_text (update.handle, 1, proof.record.toRawUTF8(), -1, SQLITE_TRANSIENT);
        if (fileSha256 (input) != fingerprint)
            return fail ("Waves source changed during conversion; no output was published");
        if (! stepDone (db(), update.handle, error))
            return fail (error);
        // Without the active snapshot row the output would carry no channel map at all.
        if (sqlite3_changes (db()) != 1)
            return fail ("Waves host-save template has no active snapshot row");
    }
    if (! verifyIntegrity (db(), error) || ! execute (db(), "COMMIT", error))
        return fail (error);
    stage.close();

    // The written session is read back and proven against the selection before it is published.
    proof.plugins = pluginCount;
    proof.routes = routeCount;
    if (testHooks::afterWavesSessionWritten != nullptr)
        testHooks::afterWavesSessionWritten (stage.file.getFullPathName().toRawUTF8());
    if (! proveTransfer (stage.file, choices, shape, proof, error))
        return fail (error);

    // The finished session goes into the temporary file beside the output, and from there to
    // the output in one step that never replaces anything.
    {
        juce::MemoryBlock bytes;
        if (! readUntrustedBytes (stage.file, maxDatabaseFileBytes, bytes, error))
            return fail (error);
        if (! writeAllBytes (temporary.fd, bytes.getData(), bytes.getSize()) || ! temporary.close())
            return fail ("Could not write the Waves output beside " + output.getFullPathName() + systemReason (errno));
    }
    if (! commitNewFileExclusive (outputFolder, temporary, output.getFileName(), error))
        return fail (error);

    result.ok = true;
    result.summary = "Waves candidate created: " + juce::String ((int) choices.size()) + " channels, " + juce::String (pluginCount)
                     + " plug-ins, " + juce::String (routeCount) + " physical routes";
    result.note = notes.text (toLv1);
    return result;
}

} // namespace vornconv::waves
