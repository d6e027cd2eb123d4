// The channels of a Waves session as the selection report lists them and the native transfer
// takes them: the configured count per type, the rows of one channel (refused when ambiguous) and
// the name it carries. Queries name their schema, since the transfer's connection holds two
// sessions.

#include "waves/WavesChannels.h"

#include "model/Utf8Text.h"

namespace vornconv::waves
{

namespace
{

// sql with every "@." naming the schema.
juce::String inSchema (const char* sql, const char* schema)
{
    return juce::String (sql).replace ("@.", juce::String (schema) + ".");
}

bool countRows (sqlite3* db, const juce::String& sql, int type, int index, juce::int64& count, juce::String& error)
{
    Statement statement;
    if (! prepare (db, sql.toRawUTF8(), statement, error))
        return false;
    sqlite3_bind_int (statement.handle, 1, type);
    sqlite3_bind_int (statement.handle, 2, index);
    bool hasRow = false;
    if (! stepRow (db, statement.handle, hasRow, error))
        return false;
    count = hasRow ? sqlite3_column_int64 (statement.handle, 0) : 0;
    return true;
}

} // namespace

bool configuredChannelCount (sqlite3* db, const char* schema, int type, juce::int64& configured, juce::String& error)
{
    static const char* const matrixCount =
        "SELECT COALESCE(MAX(o.obj_index)+1,0) FROM @.object o WHERE o.obj_type=6 AND (EXISTS(SELECT 1 FROM @.plug p WHERE "
        "p.chainer_id=o.id) OR EXISTS(SELECT 1 FROM @.routes r WHERE (r.src_cluster_type=6 AND "
        "r.src_cluster_type_index=o.obj_index) OR (r.dst_cluster_type=6 AND r.dst_cluster_type_index=o.obj_index)) OR "
        "EXISTS(SELECT 1 FROM @.snapshot_chainer sc WHERE sc.chainer_id=o.id AND sc.snapshot_id=-1 AND trim(sc.name)<>''))";
    Statement statement;
    const auto sql = inSchema (type == 6 ? matrixCount : "SELECT num_tracks FROM @.config_info WHERE track_type=?", schema);
    if (! prepare (db, sql.toRawUTF8(), statement, error))
        return false;
    if (type != 6)
        sqlite3_bind_int (statement.handle, 1, type);
    bool hasRow = false;
    if (! stepRow (db, statement.handle, hasRow, error))
        return false;
    configured = hasRow ? juce::jmax<juce::int64> (0, sqlite3_column_int64 (statement.handle, 0)) : 0;
    return true;
}

bool readChannel (sqlite3* db, const char* schema, int type, int index, const char* owner, bool& found, WavesChannel& channel,
                  juce::String& error)
{
    found = false;
    channel = {};
    juce::int64 objects = 0;
    if (! countRows (db, inSchema ("SELECT count(*) FROM @.object WHERE obj_type=? AND obj_index=?", schema), type, index, objects, error))
        return false;
    if (objects == 0)
        return true;
    const auto what = genericChannelName (type, index);
    if (objects > 1)
    {
        error = juce::String (owner) + " holds " + juce::String (objects) + " channel objects for " + what
                + "; nothing tells which one is meant";
        return false;
    }
    Statement statement;
    const auto sql = inSchema ("SELECT o.id,o.name,(SELECT count(*) FROM @.snapshot_chainer sc WHERE sc.chainer_id=o.id AND sc.snapshot_id=-1),"
                               "(SELECT sc.name FROM @.snapshot_chainer sc WHERE sc.chainer_id=o.id AND sc.snapshot_id=-1 LIMIT 1) "
                               "FROM @.object o WHERE o.obj_type=? AND o.obj_index=?",
                               schema);
    if (! prepare (db, sql.toRawUTF8(), statement, error))
        return false;
    sqlite3_bind_int (statement.handle, 1, type);
    sqlite3_bind_int (statement.handle, 2, index);
    bool hasRow = false;
    if (! stepRow (db, statement.handle, hasRow, error))
        return false;
    if (! hasRow)
        return true;
    const auto activeRows = sqlite3_column_int64 (statement.handle, 2);
    if (activeRows > 1)
    {
        error = juce::String (owner) + " holds " + juce::String (activeRows) + " active-snapshot rows for " + what
                + " (snapshot_chainer); nothing tells which one is meant";
        return false;
    }
    channel.objectId = sqlite3_column_int64 (statement.handle, 0);
    channel.activeRow = activeRows == 1;
    // The active name, else the object's name (the active row may hold NULL, or be missing).
    const bool activeName = sqlite3_column_type (statement.handle, 3) != SQLITE_NULL;
    if (! textColumn (statement.handle, activeName ? 3 : 1, activeName ? "snapshot_chainer.name" : "object.name", channel.name, error))
        return false;
    found = true;
    return true;
}

juce::String destinationChannelName (const WavesChannel& channel, int destinationType, int destinationIndex)
{
    return channel.name.isNotEmpty() ? channel.name : genericChannelName (destinationType, destinationIndex);
}

bool textColumn (sqlite3_stmt* statement, int column, const char* where, juce::String& out, juce::String& error)
{
    out = {};
    const auto* text = sqlite3_column_text (statement, column);
    utf8::TextFault fault;
    if (text == nullptr || utf8::toText (text, (size_t) sqlite3_column_bytes (statement, column), out, fault))
        return true;
    error = juce::String (utf8::faultName (fault)) + " in Waves " + where;
    return false;
}

} // namespace vornconv::waves
