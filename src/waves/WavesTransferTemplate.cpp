// The host-save template of a Waves transfer: the channels it holds of each type (a destination
// must lie inside them), what it must hold to take the transfer, its own foreign keys, and what
// its own channels lose.

#include "waves/WavesNativeTransferInternal.h"

#include "model/JsonWriter.h"

#include <limits>
#include <map>
#include <set>

namespace vornconv::waves::nativeTransfer
{

namespace
{

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
    if (! eachRowOf (db, statement.handle, [&] (sqlite3_stmt* row)
                     {
                         ++rows;
                         integer = integer && sqlite3_column_type (row, 0) == SQLITE_INTEGER;
                         count = sqlite3_column_int64 (row, 0);
                         return true;
                     }, error))
        return false;
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

// The tables the transfer empties (of snapshot_chainer_params the active rows only), in the
// order their foreign keys need: the active states, sidechain assignments and hot plug-ins that
// point at the plug-ins, then the plug-ins, the presets, the routes and the channel parameters.
const char* const emptiedTables[] = { "snapshot_plugin", "plug_sidechain", "hot_plug", "plug", "plugin_preset", "routes", "snapshot_chainer_params" };

} // namespace

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
    if (! eachRowOf (db, statement.handle, [&columns] (sqlite3_stmt* row) { columns.add (rowText (row, 0)); return true; }, error))
        return false;
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

} // namespace vornconv::waves::nativeTransfer
