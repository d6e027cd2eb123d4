// The native transfer of selected channels between an eMotion LV1 session and a SuperRack
// SoundGrid session, database to database, inside a copy of a host-saved template. The selection
// file is untrusted and checked strictly against the input's fingerprint. The input and the
// template are staged as private copies; the template copy is opened, the staged input attached,
// both application types and the SoundGrid side proven, and every selected destination checked to
// lie inside the template's channels before anything is written. Then, in one transaction, the
// template's plug-ins and routes go, the selected channels' names, plug-ins, presets and physical
// routes come over, and the channel map is recorded; the integrity checks must pass. The finished
// file goes into a temporary file beside the output and is published with an exclusive rename. The
// input, the selection and the template are only read.
//
// In this file, in order:
//   - Limits and the selection file: channel keys and choices, strict integers and flags, and
//     readSelection.
//   - The output stage and SQL helpers: the private copy that becomes the output, and statements
//     bound to integers.
//   - Names, routes and the template's capacity: generic channel names, the physical routes of the
//     selected channels, and the channel counts of the template.
//   - The channel-map record: the record a later report reads back.
//   - The transfer: convertSession.

#include "waves/WavesSessionTransfer.h"

#include "model/JsonWriter.h"
#include "model/UntrustedFile.h"
#include "model/AtomicFileCommit.h"
#include "model/PrivateFiles.h"

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

// The selection file is untrusted: read only up to this size, nesting refused beyond this depth
// before JUCE's recursive parser sees it. A selection document is five levels deep.
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
};

struct ChannelChoice
{
    ChannelKey source;
    ChannelKey destination;
    int rackIndex = 0;
    std::vector<PluginChoice> plugins;
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

juce::var readSelectionDocument (const juce::File& selection, juce::String& reason)
{
    juce::String text;
    if (! readUntrustedText (selection, (juce::int64) maxSelectionBytes, text, reason) || text.isEmpty())
        return {};
    return json::parseBoundedJson (text, maxSelectionBytes, maxSelectionDepth);
}

bool readSelection (const juce::File& selection, const juce::String& target, const juce::String& fingerprint,
                    std::vector<ChannelChoice>& choices, juce::String& error)
{
    juce::String reason;
    const auto document = readSelectionDocument (selection, reason);
    if (reason.isNotEmpty())
    {
        error = "Waves selection file cannot be read: " + reason;
        return false;
    }
    auto* root = document.getDynamicObject();
    if (root == nullptr || root->getProperty ("schema").toString() != "vorn-waves-selection-v1")
    {
        error = "Waves selection schema is invalid";
        return false;
    }
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
    const bool toLv1 = target == wavesLv1Target;
    const int targetSlots = toLv1 ? lv1Slots : superRackSlots;
    std::set<ChannelKey> sources, destinations;
    std::set<int> rackIndices;
    for (const auto& element : *channels)
    {
        auto* channel = element.getDynamicObject();
        const auto selected = channel != nullptr ? selectedFlag (*channel) : Selected::invalid;
        if (selected == Selected::invalid)
        {
            error = "Waves selection contains an invalid channel";
            return false;
        }
        if (selected == Selected::no)
            continue;
        ChannelChoice choice;
        if (! intProperty (*channel, "sourceType", choice.source.type, error)
            || ! intProperty (*channel, "sourceIndex", choice.source.index, error)
            || ! intProperty (*channel, "targetIndex", choice.rackIndex, error))
            return false;
        if (toLv1)
        {
            // A missing destination key proposes type 0 / index 0; a present one must be an integer.
            for (const auto& [key, value] : { std::pair<const char*, int*> { "destinationType", &choice.destination.type },
                                              std::pair<const char*, int*> { "destinationIndex", &choice.destination.index } })
                if (channel->hasProperty (key) && ! intProperty (*channel, key, *value, error))
                    return false;
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
        const auto* plugins = channel->getProperty ("plugins").getArray();
        if (plugins == nullptr)
        {
            error = "Waves selection plug-in list is missing";
            return false;
        }
        std::set<int> sourceSlots, usedTargetSlots;
        for (const auto& pluginElement : *plugins)
        {
            auto* plugin = pluginElement.getDynamicObject();
            if (plugin == nullptr)
                continue;
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
            choice.plugins.push_back (slot);
        }
        choices.push_back (std::move (choice));
    }
    if (choices.empty() || choices.size() > (size_t) maxChannels)
    {
        error = "Select between 1 and 64 Waves channels";
        return false;
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

    if (! input.existsAsFile() || ! hostSaveTemplate.existsAsFile())
        return fail ("Waves source or host-save template is unavailable");
    if (anythingExistsAt (output))
        return fail ("Waves output already exists; it was not overwritten");
    if (! selection.existsAsFile())
        return fail ("Waves conversion requires a channel selection");

    juce::String error;
    std::vector<ChannelChoice> choices;
    juce::String selectedFingerprint;
    if (! sourceFingerprint (input, selectedFingerprint, error) || ! readSelection (selection, target, selectedFingerprint, choices, error))
        return fail (error);

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

    // Before anything is written: the selection must fit the template as the host saved it.
    if (! checkDestinationsFitTemplate (db(), choices, error))
        return fail (error);

    if (! execute (db(),
                   "BEGIN IMMEDIATE;CREATE TEMP TABLE vorn_channel_map(source_type INTEGER,source_index INTEGER,source_id INTEGER,target_type INTEGER,target_index INTEGER,target_id INTEGER,rack_index INTEGER,PRIMARY KEY(source_type,source_index),UNIQUE(target_type,target_index));CREATE TEMP TABLE vorn_plugin_map(source_id INTEGER PRIMARY KEY,target_id INTEGER UNIQUE,source_slot INTEGER,target_slot INTEGER);",
                   error))
        return fail (error);

    std::map<ChannelKey, ChannelKey> mapped;
    for (const auto& choice : choices)
    {
        std::vector<juce::int64> ids;
        bool hasRow = false;
        if (! queryInts (db(), "SELECT (SELECT id FROM source_session.object WHERE obj_type=? AND obj_index=?),(SELECT id FROM main.object WHERE obj_type=? AND obj_index=?)",
                         { choice.source.type, choice.source.index, choice.destination.type, choice.destination.index }, ids, hasRow, error)
            || ! hasRow || ids.size() != 2 || ids[0] == sqlNull || ids[1] == sqlNull)
            return fail ("Selected Waves source or destination channel object is missing");
        if (! bindAndStep (db(), "INSERT INTO vorn_channel_map VALUES(?,?,?,?,?,?,?)",
                           { choice.source.type, choice.source.index, ids[0], choice.destination.type, choice.destination.index, ids[1],
                             choice.rackIndex },
                           error))
            return fail (error);
        for (const auto& plugin : choice.plugins)
        {
            std::vector<juce::int64> plug;
            if (! queryInts (db(), "SELECT id FROM source_session.plug WHERE chainer_id=? AND slot=?", { ids[0], plugin.sourceSlot }, plug,
                             hasRow, error)
                || ! hasRow || plug.empty() || plug[0] == sqlNull)
                return fail ("Waves selection references a missing source plug-in");
            if (! bindAndStep (db(), "INSERT INTO vorn_plugin_map(source_id,target_id,source_slot,target_slot) VALUES(?,?,?,?)",
                               { plug[0], plug[0], plugin.sourceSlot, plugin.targetSlot }, error))
                return fail (error);
        }
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

    // A mapped channel whose source has no active name (or an empty one) keeps the generic name,
    // as the selection report showed it, instead of a NULL or empty name.
    if (! execute (db(),
                   "UPDATE snapshot_chainer AS d SET name=COALESCE(NULLIF((SELECT s.name FROM source_session.snapshot_chainer s JOIN vorn_channel_map m ON m.source_id=s.chainer_id WHERE m.target_id=d.chainer_id AND s.snapshot_id=-1),''),d.name),preset_name=COALESCE((SELECT s.preset_name FROM source_session.snapshot_chainer s JOIN vorn_channel_map m ON m.source_id=s.chainer_id WHERE m.target_id=d.chainer_id AND s.snapshot_id=-1),''),selected_slot=COALESCE((SELECT s.selected_slot FROM source_session.snapshot_chainer s JOIN vorn_channel_map m ON m.source_id=s.chainer_id WHERE m.target_id=d.chainer_id AND s.snapshot_id=-1),-1) WHERE d.snapshot_id=-1 AND d.chainer_id IN (SELECT target_id FROM vorn_channel_map);INSERT INTO plug(id,chainer_id,slot,plugin_name,plugin_4cc,additional_info,disabled,recall_safe,side_chain,hot_plugin,vendor_name,plug_role,ignore_latency) SELECT p.id,m.target_id,pm.target_slot,p.plugin_name,p.plugin_4cc,p.additional_info,p.disabled,0,0,-1,p.vendor_name,p.plug_role,p.ignore_latency FROM source_session.plug p JOIN vorn_plugin_map pm ON pm.source_id=p.id JOIN vorn_channel_map m ON m.source_id=p.chainer_id;INSERT INTO plugin_preset(id,hash,ref_count,preset) SELECT pp.id,pp.hash,count(*),pp.preset FROM source_session.plugin_preset pp JOIN source_session.snapshot_plugin sp ON sp.preset_id=pp.id JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE sp.snapshot_id=-1 AND sp.setup_type_id=-1 GROUP BY pp.id;INSERT INTO snapshot_plugin(id,plug_id,preset_id,snapshot_id,setup_type_id,bypass,mute,docked,fw_posx,fw_posy,fw_scale_precentage,fw_always_on_top) SELECT sp.id,pm.target_id,sp.preset_id,-1,-1,sp.bypass,sp.mute,sp.docked,sp.fw_posx,sp.fw_posy,sp.fw_scale_precentage,sp.fw_always_on_top FROM source_session.snapshot_plugin sp JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE sp.snapshot_id=-1 AND sp.setup_type_id=-1;",
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
    result.note = "Native Waves preset payloads and active bypass/mute values were copied exactly. Only physical I/O routes are translated; LV1 mixer-only bus feed, trim, and pan have no verified SuperRack equivalent. Target-host load/save validation is still required.";
    return result;
}

} // namespace vornconv::waves
