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
// The steps live in files of their own, declared in WavesNativeTransferInternal.h:
//   - WavesTransferSelection.cpp: the selection file and readSelection.
//   - WavesTransferQueries.cpp: the queries the steps share.
//   - WavesTransferSchema.cpp: what each table a selected channel's rows live in carries.
//   - WavesTransferSelectedRows.cpp: the selected channels and plug-ins resolved, and their rows
//     checked.
//   - WavesTransferReferringRows.cpp: rows of the source's other tables that refer to what the
//     transfer takes.
//   - WavesTransferTemplate.cpp: what the template holds and must hold, its own keys, and what it
//     loses.
//   - WavesTransferNotes.cpp: the note.
//   - WavesTransferProof.cpp: the written session read back and compared with the selection.
// This file holds the output stage, the steps of the write itself (staging, the channel and
// plug-in maps, the copy, the channel-map record, publication) and convertSession, which runs
// every step in order.

#include "waves/WavesNativeTransferInternal.h"

#include "model/AtomicFileCommit.h"
#include "model/JsonWriter.h"
#include "model/PrivateFiles.h"
#include "model/TestHooks.h"
#include "model/UntrustedFile.h"

#include <limits>
#include <map>

namespace vornconv::waves
{

namespace
{

using namespace nativeTransfer;

//==============================================================================
// The output stage and the steps of the write

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
            if (! eachRowOf (db, statement.handle, [&indices] (sqlite3_stmt* row)
                             {
                                 if (sqlite3_column_type (row, 0) == SQLITE_INTEGER)
                                     indices.push_back (sqlite3_column_int64 (row, 0));
                                 return true;
                             }, error))
                return false;
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
    return eachRowOf (db, select.handle, [&] (sqlite3_stmt*)
    {
        const auto fromType = intColumn (srcType), fromIndex = intColumn (srcIndex), toType = intColumn (dstType), toIndex = intColumn (dstIndex);
        const auto srcMapped = fromType && fromIndex ? mapped.find ({ *fromType, *fromIndex }) : mapped.end();
        const auto dstMapped = toType && toIndex ? mapped.find ({ *toType, *toIndex }) : mapped.end();
        const bool physicalIn = fromType == 10 && dstMapped != mapped.end();
        const bool physicalOut = srcMapped != mapped.end() && toType == 11;
        if (! physicalIn && ! physicalOut)
            return true;
        sqlite3_reset (insert.handle);
        for (int c = 0; c < (int) columns.size(); ++c)
            sqlite3_bind_value (insert.handle, c + 1, sqlite3_column_value (select.handle, c));
        const auto& renumbered = physicalIn ? dstMapped->second : srcMapped->second;
        sqlite3_bind_int (insert.handle, (physicalIn ? dstType : srcType) + 1, renumbered.type);
        sqlite3_bind_int (insert.handle, (physicalIn ? dstIndex : srcIndex) + 1, renumbered.index);
        if (! stepDone (db, insert.handle, error))
            return false;
        ++copied;
        return true;
    }, error);
}

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


// A refusal of the transfer: error says why.
bool refuse (juce::String& error, const juce::String& message)
{
    error = message;
    return false;
}

// A refusal of the transfer about one of its files: about says which, error why.
bool refuseFor (TransferFile file, TransferFile& about, juce::String& error, const juce::String& message)
{
    about = file;
    return refuse (error, message);
}

// The input and the template must be files, the output must not exist yet, and a selection must
// be given (one that is given is refused, when it cannot be read, as its reading says); about
// receives the file a refusal is about.
bool checkFiles (const juce::File& input, const juce::File& selection, const juce::File& hostSaveTemplate, const juce::File& output,
                 TransferFile& about, juce::String& error)
{
    const std::pair<const juce::File*, TransferFile> read[] = { { &input, TransferFile::source },
                                                                { &hostSaveTemplate, TransferFile::hostSaveTemplate } };
    for (const auto& [named, file] : read)
        if (named->isDirectory())
            return refuseFor (file, about, error, folderNotFileError (*named));
    if (! input.existsAsFile())
        return refuseFor (TransferFile::source, about, error, "Waves source is unavailable: " + input.getFullPathName());
    if (! hostSaveTemplate.existsAsFile())
        return refuseFor (TransferFile::hostSaveTemplate, about, error,
                          "Waves host-save template is unavailable: " + hostSaveTemplate.getFullPathName());
    if (anythingExistsAt (output))
        return refuseFor (TransferFile::output, about, error, namingFile ("Waves output already exists; it was not overwritten", output));
    if (selection == juce::File())
        return refuseFor (TransferFile::selection, about, error, "Waves conversion requires a channel selection");
    return true;
}

// The output's folder held and the output's temporary file made in it, and the template staged
// as a private copy in the output stage, proven to be the template as it was; about receives the
// file a refusal is about (none for the temporary folder's).
bool stageOutput (const juce::File& hostSaveTemplate, const juce::File& output, HeldFolder& outputFolder, HeldFile& temporary,
                  OutputStage& stage, TransferFile& about, juce::String& error)
{
    juce::String ignored;
    if (! openHeldFolder (output.getParentDirectory(), false, "output folder", outputFolder)
        || ! makeTemporaryIn (outputFolder, output.getFileName(), temporary))
        return refuseFor (TransferFile::output, about, error,
                          "Could not create the Waves output beside " + output.getFullPathName() + systemReason (errno));
    const auto root = temporaryRoot();
    const auto stagingFailed = "Could not stage the Waves host-save template in the temporary folder " + root.getFullPathName() + " (TMPDIR)";
    if (! makePrivateFolder (root, "vorn-waves-output", stage.folder, ignored))
        return refuseFor (TransferFile::none, about, error, stagingFailed + systemReason (errno));
    // A host save that still sits in the template's write-ahead log belongs to the template; an
    // unfinished one in its rollback journal is rolled back on the copy by SQLite.
    stage.file = stage.folder.folder.getChildFile ("template" + output.getFileExtension());
    DatabaseCopy templateCopy;
    if (! copyDatabase (hostSaveTemplate, stage.file, templateCopy))
        return templateCopy.refusal.isNotEmpty()
                   ? refuseFor (TransferFile::hostSaveTemplate, about, error, templateCopy.refusal)
                   : refuseFor (TransferFile::none, about, error, stagingFailed + systemReason (templateCopy.systemError));
    juce::String templateNow;
    if (! sourceFingerprint (hostSaveTemplate, templateNow, ignored) || templateNow != templateCopy.fingerprint)
        return refuseFor (TransferFile::hostSaveTemplate, about, error, "Waves host-save template changed while it was being staged");
    return true;
}

// What a direction takes as its source (source true) or its host-save template, for a refusal of
// a file of the other kind.
juce::String sessionTaken (bool toLv1, bool source)
{
    return toLv1 == source ? "a SuperRack SoundGrid session (.sprk)" : "an eMotion LV1 session (.emo)";
}

// The template copy opened and proven a host's, the staged source attached, both application
// types proven for the direction, and the SuperRack side proven SoundGrid; about receives the file
// a refusal is about.
bool openStage (OutputStage& stage, const StagedSource& staged, const juce::String& target, bool toLv1, TransferFile& about,
                juce::String& error)
{
    const auto db = [&stage] { return stage.db.handle; };
    about = TransferFile::hostSaveTemplate;
    if (! openDatabase (stage.file, stage.db, error) || ! addValueFunction (db(), error)
        || ! checkHostShapedSchema (db(), "main", "Waves host-save template", error)
        || ! execute (db(), "PRAGMA journal_mode=DELETE", error) || ! execute (db(), "PRAGMA foreign_keys=ON", error))
        return false;
    about = TransferFile::source;
    {
        Statement attach;
        if (! prepare (db(), "ATTACH DATABASE ? AS source_session", attach, error))
            return false;
        const auto path = staged.database.getFullPathName();
        sqlite3_bind_text (attach.handle, 1, path.toRawUTF8(), -1, SQLITE_TRANSIENT);
        if (! stepDone (db(), attach.handle, error))
            return false;
    }

    // A file that is no Waves session (its type unreadable) is of the wrong kind as well.
    juce::String sourceTypeError, mainTypeError;
    const auto sourceType = applicationType (db(), "source_session", sourceTypeError);
    const auto mainType = applicationType (db(), "main", mainTypeError);
    const juce::String mismatch = "Waves source/template application types do not match the requested direction: " + target + " takes ";
    if (! expectedDirection (sourceType, target))
        return refuseFor (TransferFile::source, about, error, mismatch + sessionTaken (toLv1, true) + " as its source");
    if (mainType != (toLv1 ? "com.waves.mixer.lv1" : "com.waves.mixer.MRSG"))
        return refuseFor (TransferFile::hostSaveTemplate, about, error, mismatch + sessionTaken (toLv1, false) + " as its host-save template");

    // A SuperRack Performer session carries the same application type as a SoundGrid one; the
    // SuperRack side of either direction must prove that it is SoundGrid.
    about = toLv1 ? TransferFile::source : TransferFile::hostSaveTemplate;
    {
        const auto inspection = inspectSuperRackDatabase (db(), toLv1 ? "source_session" : "main");
        if (inspection.kind != SuperRackProductKind::soundGrid)
        {
            const juce::String what = toLv1 ? "The .sprk source is not a verified SuperRack SoundGrid session"
                                            : "The SuperRack host-save template is not a verified SuperRack SoundGrid session";
            return refuse (error, toLv1 && inspection.error.isNotEmpty() ? inspection.error
                                                                        : what + (inspection.error.isNotEmpty() && ! toLv1 ? ": " + inspection.error : juce::String()));
        }
    }
    return true;
}

// Before anything is written: the selection must fit the template as the host saved it, and
// every row it names must be there, once; shape receives what each table carries.
bool checkBeforeWriting (sqlite3* db, bool toLv1, Selection& picked, TransferShape& shape, juce::String& error)
{
    auto& choices = picked.choices;
    if (picked.selectedCount > maxChannels)
    {
        juce::String capacity;
        if (! templateCapacityText (db, toLv1, capacity, error))
            return false;
        return refuse (error, "Select between 1 and 64 Waves channels: the selection selects " + juce::String (picked.selectedCount) + ", and "
                             + capacity);
    }
    // What each table a selected channel's rows live in carries, from the two schemas; a
    // template that already breaks one of its own keys is its own fault, said before anything is
    // written. Then every row the selection names, and every value the write would lose.
    return shapeTransfer (db, shape, error) && checkDestinationsFitTemplate (db, choices, error)
        && resolveChannels (db, toLv1, shape, choices, error) && checkTemplateTakesTheTransfer (db, error)
        && checkTemplateKeys (db, error) && checkSelectedRows (db, shape, choices, error) && checkReferringRows (db, choices, error);
}

// The transaction begun with the channel and plug-in maps recorded (mapped receives each source
// channel's destination), the template's plug-ins, routes and active channel parameters gone,
// and every template channel named by its place.
bool beginWrite (sqlite3* db, const std::vector<ChannelChoice>& choices, bool hotPlugTable, std::map<ChannelKey, ChannelKey>& mapped,
                 juce::String& error)
{
    // Keys are checked once the write is done (by the integrity check before the commit), so that a
    // fault the checks above did not foresee is named with its table rather than as a bare failure.
    if (! execute (db,
                   "BEGIN IMMEDIATE;PRAGMA defer_foreign_keys=ON;CREATE TEMP TABLE vorn_channel_map(source_type INTEGER,source_index INTEGER,source_id INTEGER,target_type INTEGER,target_index INTEGER,target_id INTEGER,rack_index INTEGER,PRIMARY KEY(source_type,source_index),UNIQUE(target_type,target_index));CREATE TEMP TABLE vorn_plugin_map(source_id INTEGER PRIMARY KEY,target_id INTEGER UNIQUE,source_slot INTEGER,target_slot INTEGER);",
                   error))
        return false;

    for (const auto& choice : choices)
    {
        if (! bindAndStep (db, "INSERT INTO vorn_channel_map VALUES(?,?,?,?,?,?,?)",
                           { choice.source.type, choice.source.index, choice.sourceId, choice.destination.type, choice.destination.index,
                             choice.targetId, choice.rackIndex },
                           error))
            return false;
        for (const auto& plugin : choice.plugins)
            if (! bindAndStep (db, "INSERT INTO vorn_plugin_map(source_id,target_id,source_slot,target_slot) VALUES(?,?,?,?)",
                               { plugin.plugId, plugin.plugId, plugin.sourceSlot, plugin.targetSlot }, error))
                return false;
        mapped[choice.source] = choice.destination;
    }

    // The template's plug-ins go with the rows that point at them, children first, so that the
    // delete holds under the host's foreign keys and no orphaned state is counted below.
    if (! execute (db,
                   juce::String ("DELETE FROM snapshot_plugin;DELETE FROM plug_sidechain;") + (hotPlugTable ? "DELETE FROM hot_plug;" : "")
                       + "DELETE FROM plug;DELETE FROM plugin_preset;DELETE FROM routes;DELETE FROM snapshot_chainer_params WHERE vorn_value(snapshot_id)=-1;UPDATE snapshot_hot_plugins SET hp_1_plug_id=-1,hp_2_plug_id=-1,hp_3_plug_id=-1,hp_4_plug_id=-1,hp_5_plug_id=-1,hp_6_plug_id=-1,hp_7_plug_id=-1,hp_8_plug_id=-1,hp_9_plug_id=-1,hp_10_plug_id=-1,hp_11_plug_id=-1,hp_12_plug_id=-1;",
                   error)
        || ! applyGenericNames (db, error))
        return false;
    return true;
}

// Each mapped channel takes the name the selection showed for it (its own, or for a channel
// without one the generic name of its destination, which it already has) and selects the slot
// where the plug-in the source selects landed.
bool renameChannels (sqlite3* db, const std::vector<ChannelChoice>& choices, juce::String& error)
{
    for (const auto& choice : choices)
    {
        Statement rename;
        if (! prepare (db, "UPDATE snapshot_chainer SET name=?,selected_slot=? WHERE vorn_value(snapshot_id)=-1 AND chainer_id=?", rename, error))
            return false;
        sqlite3_bind_text (rename.handle, 1, choice.outputName.toRawUTF8(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64 (rename.handle, 2, choice.selectedSlot.integer);
        sqlite3_bind_int64 (rename.handle, 3, choice.targetId);
        if (! stepDone (db, rename.handle, error))
            return false;
    }
    return true;
}

// The rest of each mapped channel's active row and its layout, as the source holds them, and
// the selected plug-ins with their presets and active states: every column both sessions hold
// is copied as it is (a plug-in keeps its id and takes its target slot, with its recall-safe,
// sidechain and hot-plug-in flags reset where the template holds them; a preset counts the
// copied states that use it).
bool copyChannelRows (sqlite3* db, const std::vector<ChannelChoice>& choices, const TransferShape& shape, juce::String& error)
{
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
            && ! bindAndStep (db,
                              ("UPDATE main.snapshot_chainer SET " + assignments (carried.activeRow)
                               + " FROM source_session.snapshot_chainer s WHERE s.chainer_id=? AND vorn_value(s.snapshot_id)=-1 LIMIT 1) WHERE vorn_value(snapshot_id)=-1 AND chainer_id=?")
                                  .toRawUTF8(),
                              { choice.sourceId, choice.targetId }, error))
            return false;
        if (carried.layouts && choice.content.layoutRows == 1 && ! carried.layout.empty()
            && ! bindAndStep (db,
                              ("UPDATE main.chainer SET " + assignments (carried.layout) + " FROM source_session.chainer s WHERE s.obj_id=? LIMIT 1) WHERE obj_id=?")
                                  .toRawUTF8(),
                              { choice.sourceId, choice.targetId }, error))
            return false;
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
    if (! execute (db,
                   "UPDATE snapshot_chainer AS d SET preset_name=COALESCE((SELECT s.preset_name FROM source_session.snapshot_chainer s JOIN vorn_channel_map m ON m.source_id=s.chainer_id WHERE m.target_id=d.chainer_id AND vorn_value(s.snapshot_id)=-1),'') WHERE vorn_value(d.snapshot_id)=-1 AND d.chainer_id IN (SELECT target_id FROM vorn_channel_map);"
                   "INSERT INTO main.plug(" + plugColumns.joinIntoString (",") + ") SELECT " + plugValues.joinIntoString (",")
                       + " FROM source_session.plug p JOIN vorn_plugin_map pm ON pm.source_id=p.id JOIN vorn_channel_map m ON m.source_id=p.chainer_id;"
                         "INSERT INTO main.plugin_preset(" + presetColumns.joinIntoString (",") + ") SELECT " + presetValues.joinIntoString (",")
                       + " FROM source_session.plugin_preset pp JOIN source_session.snapshot_plugin sp ON sp.preset_id=pp.id JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE vorn_value(sp.snapshot_id)=-1 AND vorn_value(sp.setup_type_id)=-1 GROUP BY pp.id;"
                         "INSERT INTO main.snapshot_plugin(" + stateColumns.joinIntoString (",") + ") SELECT " + stateValues.joinIntoString (",")
                       + " FROM source_session.snapshot_plugin sp JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE vorn_value(sp.snapshot_id)=-1 AND vorn_value(sp.setup_type_id)=-1;",
                   error))
        return false;
    return true;
}

// The channel map recorded in the active snapshot (proof keeps the record), once the source is
// proven unchanged since it was staged.
bool recordChannelMap (sqlite3* db, const juce::File& input, const juce::String& fingerprint, const std::vector<ChannelChoice>& choices,
                       bool toLv1, TransferProof& proof, juce::String& error)
{
    Statement update;
    if (! prepare (db, "UPDATE snapshot SET info=? WHERE id=-1", update, error))
        return false;
    proof.record = channelMapRecord (choices, toLv1);
    sqlite3_bind_text (update.handle, 1, proof.record.toRawUTF8(), -1, SQLITE_TRANSIENT);
    if (fileSha256 (input) != fingerprint)
        return refuse (error, "Waves source changed during conversion; no output was published");
    if (! stepDone (db, update.handle, error))
        return false;
    // Without the active snapshot row the output would carry no channel map at all.
    if (sqlite3_changes (db) != 1)
        return refuse (error, "Waves host-save template has no active snapshot row");
    return true;
}

// The finished session goes into the temporary file beside the output, and from there to the
// output in one step that never replaces anything; about receives the file a refusal is about
// (the output's, but for the finished session that cannot be read back).
bool publishOutput (const juce::File& written, HeldFile& temporary, const HeldFolder& outputFolder, const juce::File& output,
                   TransferFile& about, juce::String& error)
{
    {
        juce::MemoryBlock bytes;
        if (! readUntrustedBytes (written, maxDatabaseFileBytes, bytes, error))
            return false;
        about = TransferFile::output;
        if (! writeAllBytes (temporary.fd, bytes.getData(), bytes.getSize()) || ! temporary.close())
            return refuse (error, "Could not write the Waves output beside " + output.getFullPathName() + systemReason (errno));
    }
    return commitNewFileExclusive (outputFolder, temporary, output.getFileName(), error);
}

// The checks before writing word every refusal of what the selection says as the selection's
// own ("Waves selection ...", "Select between ..."): of its entries as of an entry that does not
// fit the source or the template. Their other refusals are about what the source and the
// template hold, and say whose in their words.
bool inSelectionsWords (const juce::String& error)
{
    return error.startsWith ("Waves selection ") || error.startsWith ("Select between ");
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
    // A refusal says which of the four files it is about (about), for the caller to name it.
    const auto fail = [&result] (const juce::String& error, TransferFile about = TransferFile::none) {
        result = {};
        result.error = error;
        result.refusedFile = about;
        return result;
    };

    juce::String error;
    TransferFile about = TransferFile::none;
    if (! checkFiles (input, selection, hostSaveTemplate, output, about, error))
        return fail (error, about);

    Selection picked;
    juce::String selectedFingerprint;
    if (! sourceFingerprint (input, selectedFingerprint, error))
        return fail (error, TransferFile::source);
    if (! readSelection (selection, target, selectedFingerprint, picked, error))
        return fail (error, TransferFile::selection);
    auto& choices = picked.choices;

    // Declared before the output stage: the connection that attaches the staged input closes first.
    StagedSource staged;
    juce::String fingerprint;
    if (! stageSourceSnapshot (input, staged, fingerprint, error))
        return fail (error, TransferFile::source);
    // The staged copy must be the state the selection was made for, not a later save.
    if (fingerprint != selectedFingerprint)
        return fail ("Waves selection source fingerprint does not match the current input file", TransferFile::selection);

    // The output's folder is held, and the output's temporary file made in it, first, so that an
    // output folder that cannot take it fails before any work; it is written once the session is
    // finished, and committed through the folder's handle.
    HeldFolder outputFolder;
    HeldFile temporary;
    OutputStage stage;
    if (! stageOutput (hostSaveTemplate, output, outputFolder, temporary, stage, about, error)
        || ! openStage (stage, staged, target, toLv1, about, error))
        return fail (error, about);
    sqlite3* const db = stage.db.handle;

    TransferShape shape;
    if (! checkBeforeWriting (db, toLv1, picked, shape, error))
        return fail (error, inSelectionsWords (error) ? TransferFile::selection : TransferFile::none);

    // What the template holds before the write: its snapshots stay as they are, and the note says
    // what its own channels lose.
    TransferProof proof;
    TemplateLosses templateLosses;
    bool hotPlugTable = false;
    if (! readSnapshots (db, proof.snapshots, error) || ! collectTemplateLosses (db, choices, templateLosses, error)
        || ! tableExists (db, "main", "hot_plug", hotPlugTable, error))
        return fail (error);

    std::map<ChannelKey, ChannelKey> mapped;
    if (! beginWrite (db, choices, hotPlugTable, mapped, error))
        return fail (error);

    // The notes are taken before the copy: what the source holds beyond the copy, and what the
    // template keeps of its own on the transferred channels.
    TransferNotes notes;
    notes.templateLosses = templateLosses;
    if (! collectNotes (db, choices, toLv1, notes, error))
        return fail (error);

    // Every selected plug-in has its one active state (checked above).
    int pluginCount = 0;
    for (const auto& choice : choices)
        pluginCount += (int) choice.plugins.size();

    int routeCount = 0;
    if (! renameChannels (db, choices, error) || ! copyChannelRows (db, choices, shape, error)
        || ! copyPhysicalRoutes (db, shape.carried.route, mapped, routeCount, error)
        || ! recordChannelMap (db, input, fingerprint, choices, toLv1, proof, error) || ! verifyIntegrity (db, error)
        || ! execute (db, "COMMIT", error))
        return fail (error);
    stage.close();

    // The written session is read back and proven against the selection before it is published.
    proof.plugins = pluginCount;
    proof.routes = routeCount;
    if (testHooks::afterWavesSessionWritten != nullptr)
        testHooks::afterWavesSessionWritten (stage.file.getFullPathName().toRawUTF8());
    if (! proveTransfer (stage.file, choices, shape, proof, error))
        return fail (error);

    about = TransferFile::none;
    if (! publishOutput (stage.file, temporary, outputFolder, output, about, error))
        return fail (error, about);

    result.ok = true;
    result.summary = "Waves candidate created: " + juce::String ((int) choices.size()) + " channels, " + juce::String (pluginCount)
                     + " plug-ins, " + juce::String (routeCount) + " physical routes";
    result.note = notes.text (toLv1);
    return result;
}

} // namespace vornconv::waves
