// The native transfer of selected channels between an eMotion LV1 session and a SuperRack
// SoundGrid session, database to database, inside a copy of a host-saved template. The selection
// file is untrusted: exactly one JSON document, checked strictly against the input's fingerprint,
// and every field it repeats of the source must agree with the rest of it and with the source. The
// input and the template are staged as private copies; the template copy is opened, the staged
// input attached, both application types and the SoundGrid side proven, and every selected
// channel checked before anything is written: a channel the report lists, one source channel, one
// template channel inside the template's channels with its active row, one plug-in per selected
// slot. Then, in one transaction, the template's plug-ins and routes go, the selected channels'
// names, plug-ins, presets and physical routes come over, and the channel map is recorded; the
// integrity checks must pass. The finished file goes into a temporary file beside the output and
// is published with an exclusive rename. The note says what was not carried. The input, the
// selection and the template are only read.
//
// In this file, in order:
//   - Limits and the selection file: channel keys and choices, strict integers and flags, the
//     fields an entry repeats, and readSelection.
//   - The output stage and SQL helpers: the private copy that becomes the output, and statements
//     bound to integers.
//   - Names, routes and the template's capacity: generic channel names, the physical routes of the
//     selected channels, the channel counts of the template, and the rows every choice names.
//   - The notes: what the source holds beyond the copy and what the template keeps.
//   - The channel-map record: the record a later report reads back.
//   - The transfer: convertSession.

#include "waves/WavesChannels.h"

#include "model/JsonWriter.h"
#include "model/StrictJson.h"
#include "model/UntrustedFile.h"
#include "model/AtomicFileCommit.h"
#include "model/PrivateFiles.h"
#include "model/Utf8Text.h"

#include <functional>
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
    juce::String outputName; // the source's name, or the template's for a channel without one
    bool blank = false;      // no name of its own: it takes the template's
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
// the mapping, and toward SoundGrid the destination fields repeat targetIndex.
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
    const auto destination = genericChannelName (choice.destination.type, choice.destination.index);
    if (destinationName && *destinationName != destination)
        return disagreement (choice.where, "destinationName " + json::quotedForMessage (*destinationName) + " disagrees with destinationType "
                                               + juce::String (choice.destination.type) + " and destinationIndex "
                                               + juce::String (choice.destination.index) + " (" + destination + ")",
                             error);
    return true;
}

// The fields of a plug-in entry beside its slots: toward SoundGrid destinationSlot repeats
// targetSlot, and no sidechain is carried.
bool checkPluginFields (const juce::DynamicObject& plugin, const juce::String& path, bool toLv1, PluginChoice& slot, juce::String& error)
{
    if (! optionalText (plugin, "name", path, slot.name, error) || ! optionalText (plugin, "vendor", path, slot.vendor, error))
        return false;
    bool differs = false;
    int value = 0;
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
    const auto document = json::parseStrictJson (text, maxSelectionBytes, maxSelectionDepth, reason);
    if (reason.isNotEmpty())
        return shapeError (reason, error);
    auto* root = document.getDynamicObject();
    if (root == nullptr)
        return shapeError ("the document is not a JSON object", error);
    if (root->getProperty ("schema").toString() != "vorn-waves-selection-v1")
        return shapeError ("schema is not \"vorn-waves-selection-v1\"", error);
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
    for (const auto& element : *channels)
    {
        auto* channel = element.getDynamicObject();
        const auto selected = channel != nullptr ? selectedFlag (*channel) : Selected::invalid;
        if (selected == Selected::invalid)
        {
            error = "Waves selection contains an invalid channel";
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
    std::set<ChannelKey> sources, destinations;
    std::set<int> rackIndices;
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
        if (! isChannelType (choice.source.type) || ! isChannelType (choice.destination.type) || choice.source.index < 0
            || choice.destination.index < 0 || choice.rackIndex < 0 || choice.rackIndex >= maxChannels
            || ! sources.insert (choice.source).second || ! destinations.insert (choice.destination).second
            || ! rackIndices.insert (choice.rackIndex).second)
        {
            error = "Waves selection channel mapping is invalid or duplicated";
            return false;
        }
        choice.where = path + " (" + genericChannelName (choice.source.type, choice.source.index) + ")";
        if (! checkChannelFields (*channel, path, toLv1, choice, error))
            return false;
        const auto* plugins = channel->getProperty ("plugins").getArray();
        if (plugins == nullptr)
        {
            error = "Waves selection plug-in list is missing";
            return false;
        }
        std::set<int> sourceSlots, usedTargetSlots;
        for (int j = 0; j < plugins->size(); ++j)
        {
            const auto pluginPath = path + ".plugins[" + juce::String (j) + "]";
            auto* plugin = plugins->getReference (j).getDynamicObject();
            if (plugin == nullptr)
                return shapeError (pluginPath + " is not an object", error);
            const auto pluginSelected = selectedFlag (*plugin);
            if (pluginSelected == Selected::no)
                continue;
            if (pluginSelected == Selected::invalid)
            {
                error = "Waves selection plug-in mapping is invalid or duplicated";
                return false;
            }
            PluginChoice slot;
            const char* targetKey = toLv1 && plugin->hasProperty ("destinationSlot") ? "destinationSlot" : "targetSlot";
            if (! intProperty (*plugin, "sourceSlot", slot.sourceSlot, error) || ! intProperty (*plugin, targetKey, slot.targetSlot, error))
                return false;
            if (slot.sourceSlot < 0 || slot.sourceSlot > maxSourceSlot || slot.targetSlot < 0
                || slot.targetSlot >= targetSlots || ! sourceSlots.insert (slot.sourceSlot).second
                || ! usedTargetSlots.insert (slot.targetSlot).second)
            {
                error = "Waves selection plug-in mapping is invalid or duplicated";
                return false;
            }
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
        if (! prepare (db, "UPDATE snapshot_chainer SET name=? WHERE snapshot_id=-1 AND chainer_id IN (SELECT id FROM object WHERE obj_type=? AND obj_index=?)",
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
// end renumbered; every other column is copied as it is.
bool copyPhysicalRoutes (sqlite3* db, const std::map<ChannelKey, ChannelKey>& mapped, int& copied, juce::String& error)
{
    Statement select, insert;
    if (! prepare (db, "SELECT id,src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,src_control_id,src_asgn_type,dst_cluster_type,dst_cluster_type_index,dst_section_type,dst_section_index,dst_channel_index,dst_control_id,dst_asgn_type,status FROM source_session.routes ORDER BY id",
                   select, error)
        || ! prepare (db, "INSERT INTO routes(id,src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,src_control_id,src_asgn_type,dst_cluster_type,dst_cluster_type_index,dst_section_type,dst_section_index,dst_channel_index,dst_control_id,dst_asgn_type,status) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                      insert, error))
        return false;
    const auto intColumn = [&select] (int column) {
        const auto v = sqlite3_column_int64 (select.handle, column);
        return sqlite3_column_type (select.handle, column) == SQLITE_INTEGER && v >= std::numeric_limits<int>::min()
                       && v <= std::numeric_limits<int>::max()
                   ? std::optional<int> ((int) v)
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
        const auto srcType = intColumn (1), srcIndex = intColumn (2), dstType = intColumn (8), dstIndex = intColumn (9);
        const auto srcMapped = srcType && srcIndex ? mapped.find ({ *srcType, *srcIndex }) : mapped.end();
        const auto dstMapped = dstType && dstIndex ? mapped.find ({ *dstType, *dstIndex }) : mapped.end();
        const bool physicalIn = srcType == 10 && dstMapped != mapped.end();
        const bool physicalOut = srcMapped != mapped.end() && dstType == 11;
        if (! physicalIn && ! physicalOut)
            continue;
        sqlite3_reset (insert.handle);
        for (int c = 0; c < 16; ++c)
            sqlite3_bind_value (insert.handle, c + 1, sqlite3_column_value (select.handle, c));
        if (physicalIn)
        {
            sqlite3_bind_int (insert.handle, 9, dstMapped->second.type);
            sqlite3_bind_int (insert.handle, 10, dstMapped->second.index);
        }
        else
        {
            sqlite3_bind_int (insert.handle, 2, srcMapped->second.type);
            sqlite3_bind_int (insert.handle, 3, srcMapped->second.index);
        }
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

// Every selected channel is one the report lists, one object with at most one active row in the
// source, and lands on one template channel that has its one active row (the name, preset name
// and selected slot go there); every selected plug-in is the one plug-in in its source slot. What
// the entry says of a channel's or plug-in's name must be what the transfer writes.
bool resolveChannels (sqlite3* db, std::vector<ChannelChoice>& choices, juce::String& error)
{
    std::map<int, juce::int64> configured;
    for (auto& choice : choices)
    {
        const auto& from = choice.source;
        const auto& to = choice.destination;
        const auto sourceName = genericChannelName (from.type, from.index);
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
            error = "Selected Waves source or destination channel object is missing";
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
        choice.blank = source.name.isEmpty();
        choice.outputName = destinationChannelName (source, to.type, to.index);
        if (choice.name && *choice.name != choice.outputName)
            return disagreement (choice.where, "name " + json::quotedForMessage (*choice.name) + " disagrees with "
                                                   + (choice.blank ? "the name the channel gets, the host-save template's "
                                                                   : "the source channel's name ")
                                                   + json::quotedForMessage (choice.outputName),
                                 error);
        for (auto& plugin : choice.plugins)
        {
            juce::int64 plugs = 0;
            if (! countQuery (db, "SELECT count(*) FROM source_session.plug WHERE chainer_id=? AND slot=?", { choice.sourceId, plugin.sourceSlot },
                              plugs, error))
                return false;
            if (plugs == 0)
            {
                error = "Waves selection references a missing source plug-in";
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
            if (! prepare (db, "SELECT id,plugin_name,vendor_name FROM source_session.plug WHERE chainer_id=? AND slot=?", statement, error))
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
            if (plugin.name && *plugin.name != plugin.sourceName)
                return disagreement (plugin.where, "name " + json::quotedForMessage (*plugin.name) + " disagrees with the source plug-in's name "
                                                       + json::quotedForMessage (plugin.sourceName),
                                     error);
            if (plugin.vendor && *plugin.vendor != vendor)
                return disagreement (plugin.where, "vendor " + json::quotedForMessage (*plugin.vendor) + " disagrees with the source plug-in's vendor "
                                                       + json::quotedForMessage (vendor),
                                     error);
        }
    }
    return true;
}

//==============================================================================
// The notes

// What the transfer leaves behind or changes beyond the copy itself, for the note.
struct TransferNotes
{
    juce::int64 channelParameters = 0;  // SuperRack channel parameter values of the transferred racks
    juce::StringArray parameterNames;   // their names
    juce::StringArray secondStates;     // selected plug-ins' active states of another setup
    juce::int64 resetFlags = 0;         // plug-ins whose recall-safe or hot-plug-in flags were reset
    int templateNames = 0;              // channels without a name that took the template's
    juce::StringArray sourceSnapshots;  // source snapshots not carried
    juce::StringArray keptSnapshots;    // template snapshots kept with the template's values on transferred channels

    juce::String text (bool toLv1) const
    {
        juce::StringArray lines;
        lines.add (juce::String ("Native Waves preset payloads and active bypass/mute values were copied exactly")
                   + (secondStates.isEmpty() ? "" : ", except the second active states named below") + ". Only physical I/O routes are translated; "
                   + (! toLv1 ? "LV1 mixer-only bus feed, trim, and pan have no verified SuperRack equivalent"
                      : channelParameters == 0
                          ? "SuperRack channel parameters have no verified LV1 equivalent"
                          : juce::String (channelParameters)
                                + (channelParameters == 1 ? " SuperRack channel parameter value" : " SuperRack channel parameter values")
                                + " of the transferred rack channels (" + parameterNames.joinIntoString (", ")
                                + (channelParameters == 1 ? ") has no verified LV1 equivalent and was not carried"
                                                          : ") have no verified LV1 equivalent and were not carried"))
                   + ". Target-host load/save validation is still required.");
        if (! secondStates.isEmpty())
            lines.add ("Active states of a second setup (setup_type_id other than -1) were not carried: " + secondStates.joinIntoString ("; ") + ".");
        if (resetFlags > 0)
            lines.add ("Recall-safe or hot-plug-in flags of " + juce::String (resetFlags) + (resetFlags == 1 ? " plug-in were" : " plug-ins were")
                       + " reset (recall_safe 0, hot_plugin -1).");
        if (templateNames > 0)
            lines.add (juce::String (templateNames) + (templateNames == 1 ? " channel has" : " channels have")
                       + " no name in the source and took the host-save template's name.");
        if (! sourceSnapshots.isEmpty())
            lines.add ("Source snapshots were not carried: " + sourceSnapshots.joinIntoString (", ") + ".");
        if (! keptSnapshots.isEmpty())
            lines.add ("Host-save template snapshots were kept with the template's values on the transferred channels (recalling one undoes the transfer there): "
                       + keptSnapshots.joinIntoString (", ") + ".");
        return lines.joinIntoString ("\n");
    }
};

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

// Every row of a query (bound to nothing) as one text for a note.
bool noteRows (sqlite3* db, const juce::String& sql, const std::function<juce::String (sqlite3_stmt*)>& describe, juce::StringArray& out,
               juce::String& error)
{
    Statement statement;
    if (! prepare (db, sql.toRawUTF8(), statement, error))
        return false;
    for (;;)
    {
        resetWorkBudget();
        bool hasRow = false;
        if (! stepRow (db, statement.handle, hasRow, error))
            return false;
        if (! hasRow)
            return true;
        out.add (describe (statement.handle));
    }
}

// "Song" (number 3), from the columns name and number.
juce::String describeSnapshot (sqlite3_stmt* statement)
{
    auto text = json::quotedForMessage (rowText (statement, 0));
    if (sqlite3_column_type (statement, 1) != SQLITE_NULL)
        text << " (number " << noteText (statement, 1) << ")";
    return text;
}

bool collectNotes (sqlite3* db, const std::vector<ChannelChoice>& choices, bool toLv1, TransferNotes& notes, juce::String& error)
{
    // A plug-in by its name and where the selection took it from.
    std::map<juce::int64, juce::String> plugins;
    for (const auto& choice : choices)
    {
        notes.templateNames += choice.blank ? 1 : 0;
        for (const auto& plugin : choice.plugins)
            plugins[plugin.plugId] = json::quotedForMessage (plugin.sourceName) + " ("
                                     + genericChannelName (choice.source.type, choice.source.index) + ", slot " + juce::String (plugin.sourceSlot) + ")";
    }

    bool exists = false;
    if (toLv1)
    {
        if (! tableExists (db, "source_session", "snapshot_chainer_params", exists, error))
            return false;
        if (exists)
        {
            bool named = false;
            if (! tableExists (db, "source_session", "chainer_params", named, error)
                || ! countQuery (db, "SELECT count(*) FROM source_session.snapshot_chainer_params scp JOIN vorn_channel_map m ON m.source_id=scp.chainer_id WHERE scp.snapshot_id=-1",
                                 {}, notes.channelParameters, error))
                return false;
            const juce::String name = named ? "COALESCE((SELECT cp.name FROM source_session.chainer_params cp WHERE cp.id=scp.param_id LIMIT 1),'parameter '||scp.param_id)"
                                            : "'parameter '||scp.param_id";
            if (! noteRows (db, "SELECT DISTINCT " + name + " AS n FROM source_session.snapshot_chainer_params scp JOIN vorn_channel_map m ON m.source_id=scp.chainer_id WHERE scp.snapshot_id=-1 ORDER BY n",
                            [] (sqlite3_stmt* st) { return noteText (st, 0); }, notes.parameterNames, error))
                return false;
        }
    }

    if (! noteRows (db, "SELECT sp.plug_id,sp.setup_type_id FROM source_session.snapshot_plugin sp JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE sp.snapshot_id=-1 AND sp.setup_type_id IS NOT -1 ORDER BY sp.plug_id,sp.setup_type_id,sp.id",
                    [&plugins] (sqlite3_stmt* st) {
                        return plugins[sqlite3_column_int64 (st, 0)] + " setup " + (sqlite3_column_type (st, 1) == SQLITE_NULL ? juce::String ("NULL") : noteText (st, 1));
                    },
                    notes.secondStates, error))
        return false;

    bool recallSafe = false, hotPlugin = false;
    if (! columnExists (db, "source_session", "plug", "recall_safe", recallSafe, error)
        || ! columnExists (db, "source_session", "plug", "hot_plugin", hotPlugin, error))
        return false;
    if (recallSafe || hotPlugin)
    {
        const juce::String sql = juce::String ("SELECT count(*) FROM source_session.plug p JOIN vorn_plugin_map pm ON pm.source_id=p.id WHERE ")
                                 + (recallSafe ? "COALESCE(p.recall_safe,0)<>0" : "0") + " OR " + (hotPlugin ? "COALESCE(p.hot_plugin,-1)<>-1" : "0");
        if (! countQuery (db, sql.toRawUTF8(), {}, notes.resetFlags, error))
            return false;
    }

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
    if (! input.existsAsFile() || ! hostSaveTemplate.existsAsFile())
        return fail ("Waves source or host-save template is unavailable");
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

    // The output's temporary file is made first, beside the output, so that an output folder that
    // cannot take it fails before any work; it is written once the session is finished.
    TemporaryFileBeside temporary;
    OutputStage stage;
    juce::String ignored;
    if (! makeTemporaryBeside (output, temporary, ignored) || ! makePrivateFolder (temporaryRoot(), "vorn-waves-output", stage.folder, ignored))
        return fail ("Could not stage the Waves host-save template" + systemReason (errno));
    // A host save that still sits in the template's write-ahead log belongs to the template; an
    // unfinished one in its rollback journal is rolled back on the copy by SQLite.
    stage.file = stage.folder.folder.getChildFile ("template" + output.getFileExtension());
    DatabaseCopy templateCopy;
    if (! copyDatabase (hostSaveTemplate, stage.file, templateCopy))
        return fail (templateCopy.refusal.isNotEmpty() ? templateCopy.refusal
                                                       : "Could not stage the Waves host-save template" + systemReason (templateCopy.systemError));
    juce::String templateNow;
    if (! sourceFingerprint (hostSaveTemplate, templateNow, ignored) || templateNow != templateCopy.fingerprint)
        return fail ("Waves host-save template changed while it was being staged");

    const auto db = [&stage] { return stage.db.handle; };
    if (! openDatabase (stage.file, stage.db, error) || ! execute (db(), "PRAGMA journal_mode=DELETE", error)
        || ! execute (db(), "PRAGMA foreign_keys=ON", error))
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
    if (! checkDestinationsFitTemplate (db(), choices, error) || ! resolveChannels (db(), choices, error))
        return fail (error);

    if (! execute (db(),
                   "BEGIN IMMEDIATE;CREATE TEMP TABLE vorn_channel_map(source_type INTEGER,source_index INTEGER,source_id INTEGER,target_type INTEGER,target_index INTEGER,target_id INTEGER,rack_index INTEGER,PRIMARY KEY(source_type,source_index),UNIQUE(target_type,target_index));CREATE TEMP TABLE vorn_plugin_map(source_id INTEGER PRIMARY KEY,target_id INTEGER UNIQUE,source_slot INTEGER,target_slot INTEGER);",
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

    {
        // A plug-in flagged as sidechained is blocked as well when its assignment row is missing:
        // the copy writes side_chain 0 and would drop the flag without a word.
        std::vector<juce::int64> counts;
        bool hasRow = false;
        if (! queryInts (db(), "SELECT count(*) FROM source_session.plug_sidechain ps JOIN vorn_plugin_map pm ON pm.source_id=ps.plug_id", {},
                         counts, hasRow, error))
            return fail (error);
        const bool listed = hasRow && ! counts.empty() && counts[0] != 0;
        std::vector<juce::int64> flagged { 0 };
        std::vector<juce::int64> hasColumn;
        if (! queryInts (db(), "SELECT count(*) FROM pragma_table_info('plug','source_session') WHERE name='side_chain'", {}, hasColumn,
                         hasRow, error))
            return fail (error);
        if (hasRow && ! hasColumn.empty() && hasColumn[0] != 0
            && ! queryInts (db(), "SELECT count(*) FROM source_session.plug p JOIN vorn_plugin_map pm ON pm.source_id=p.id WHERE p.side_chain<>0",
                            {}, flagged, hasRow, error))
            return fail (error);
        if (listed || (! flagged.empty() && flagged[0] != 0))
            return fail ("Selected Waves plug-ins use sidechain routing that has not been host-validated for this direction");
    }

    // The template's plug-ins go with the rows that point at them, children first, so that the
    // delete holds under the host's foreign keys and no orphaned state is counted below.
    if (! execute (db(),
                   "DELETE FROM snapshot_plugin;DELETE FROM plug_sidechain;"
                   "DELETE FROM plug;DELETE FROM plugin_preset;DELETE FROM routes;DELETE FROM snapshot_chainer_params WHERE snapshot_id=-1;UPDATE snapshot_hot_plugins SET hp_1_plug_id=-1,hp_2_plug_id=-1,hp_3_plug_id=-1,hp_4_plug_id=-1,hp_5_plug_id=-1,hp_6_plug_id=-1,hp_7_plug_id=-1,hp_8_plug_id=-1,hp_9_plug_id=-1,hp_10_plug_id=-1,hp_11_plug_id=-1,hp_12_plug_id=-1;",
                   error)
        || ! applyGenericNames (db(), error))
        return fail (error);

    // The notes are taken before the copy: what the source holds beyond the copy, and what the
    // template keeps of its own on the transferred channels.
    TransferNotes notes;
    if (! collectNotes (db(), choices, toLv1, notes, error))
        return fail (error);

    // Each mapped channel takes the name the selection showed for it: its own, or for a channel
    // without one the template's (generic) name, which it already has.
    for (const auto& choice : choices)
    {
        Statement rename;
        if (! prepare (db(), "UPDATE snapshot_chainer SET name=? WHERE snapshot_id=-1 AND chainer_id=?", rename, error))
            return fail (error);
        sqlite3_bind_text (rename.handle, 1, choice.outputName.toRawUTF8(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64 (rename.handle, 2, choice.targetId);
        if (! stepDone (db(), rename.handle, error))
            return fail (error);
    }
    if (! execute (db(),
                   "UPDATE snapshot_chainer AS d SET preset_name=COALESCE((SELECT s.preset_name FROM source_session.snapshot_chainer s JOIN vorn_channel_map m ON m.source_id=s.chainer_id WHERE m.target_id=d.chainer_id AND s.snapshot_id=-1),''),selected_slot=COALESCE((SELECT s.selected_slot FROM source_session.snapshot_chainer s JOIN vorn_channel_map m ON m.source_id=s.chainer_id WHERE m.target_id=d.chainer_id AND s.snapshot_id=-1),-1) WHERE d.snapshot_id=-1 AND d.chainer_id IN (SELECT target_id FROM vorn_channel_map);INSERT INTO plug(id,chainer_id,slot,plugin_name,plugin_4cc,additional_info,disabled,recall_safe,side_chain,hot_plugin,vendor_name,plug_role,ignore_latency) SELECT p.id,m.target_id,pm.target_slot,p.plugin_name,p.plugin_4cc,p.additional_info,p.disabled,0,0,-1,p.vendor_name,p.plug_role,p.ignore_latency FROM source_session.plug p JOIN vorn_plugin_map pm ON pm.source_id=p.id JOIN vorn_channel_map m ON m.source_id=p.chainer_id;INSERT INTO plugin_preset(id,hash,ref_count,preset) SELECT pp.id,pp.hash,count(*),pp.preset FROM source_session.plugin_preset pp JOIN source_session.snapshot_plugin sp ON sp.preset_id=pp.id JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE sp.snapshot_id=-1 AND sp.setup_type_id=-1 GROUP BY pp.id;INSERT INTO snapshot_plugin(id,plug_id,preset_id,snapshot_id,setup_type_id,bypass,mute,docked,fw_posx,fw_posy,fw_scale_precentage,fw_always_on_top) SELECT sp.id,pm.target_id,sp.preset_id,-1,-1,sp.bypass,sp.mute,sp.docked,sp.fw_posx,sp.fw_posy,sp.fw_scale_precentage,sp.fw_always_on_top FROM source_session.snapshot_plugin sp JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE sp.snapshot_id=-1 AND sp.setup_type_id=-1;",
                   error))
        return fail (error);

    int pluginCount = 0;
    {
        // Equal totals are not enough: one plug-in with two active states and another with none
        // would balance out. Every selected plug-in must have exactly one.
        std::vector<juce::int64> counts, unmatched;
        bool hasRow = false;
        if (! queryInts (db(), "SELECT (SELECT count(*) FROM vorn_plugin_map),(SELECT count(*) FROM snapshot_plugin)", {}, counts, hasRow, error)
            || ! queryInts (db(), "SELECT count(*) FROM vorn_plugin_map pm WHERE (SELECT count(*) FROM source_session.snapshot_plugin sp WHERE sp.plug_id=pm.source_id AND sp.snapshot_id=-1 AND sp.setup_type_id=-1)<>1",
                            {}, unmatched, hasRow, error))
            return fail (error);
        if (counts.size() != 2 || counts[0] != counts[1] || unmatched.empty() || unmatched[0] != 0)
            return fail ("A selected Waves plug-in has no unique active state");
        pluginCount = (int) counts[1];
    }

    int routeCount = 0;
    if (! copyPhysicalRoutes (db(), mapped, routeCount, error))
        return fail (error);

    {
        Statement update;
        if (! prepare (db(), "UPDATE snapshot SET info=? WHERE id=-1", update, error))
            return fail (error);
        const auto record = channelMapRecord (choices, toLv1);
        sqlite3_bind_text (update.handle, 1, record.toRawUTF8(), -1, SQLITE_TRANSIENT);
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

    // The finished session goes into the temporary file beside the output, and from there to
    // the output in one step that never replaces anything.
    {
        juce::MemoryBlock bytes;
        if (! readUntrustedBytes (stage.file, maxDatabaseFileBytes, bytes, error))
            return fail (error);
        if (! writeAllBytes (temporary.fd, bytes.getData(), bytes.getSize()) || ! temporary.close())
            return fail ("Could not write the Waves output beside " + output.getFullPathName() + systemReason (errno));
    }
    if (! commitNewFileExclusive (temporary.file, output, error))
        return fail (error);
    temporary.release();

    result.ok = true;
    result.summary = "Waves candidate created: " + juce::String ((int) choices.size()) + " channels, " + juce::String (pluginCount)
                     + " plug-ins, " + juce::String (routeCount) + " physical routes";
    result.note = notes.text (toLv1);
    return result;
}

} // namespace vornconv::waves
