// Rows of the source's other tables that refer to what a Waves transfer takes: a table the
// transfer knows nothing of (a newer host's) may hold rows that refer, through a foreign key its
// schema declares, to a row taken for a selected channel or plug-in; the first such row refuses
// the transfer before anything is written.

#include "waves/WavesNativeTransferInternal.h"

#include <iterator>
#include <map>
#include <set>
#include <string>

namespace vornconv::waves::nativeTransfer
{

namespace
{

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
    const auto where = "source column of " + table;
    return eachRowOf (db, statement.handle, [&] (sqlite3_stmt* row)
    {
        juce::String name;
        if (! textColumn (row, 0, where.toRawUTF8(), name, error))
            return false;
        columns.add (name);
        return true;
    }, error);
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

} // namespace

namespace
{

// The tables of the source that refer, through the foreign keys their schema declares, to a table
// the transfer takes rows of, each with those keys; the tables the transfer accounts for are left
// out.
using ReferringTables = std::vector<std::pair<juce::String, std::vector<ForeignKey>>>;

bool readReferringTables (sqlite3* db, std::set<juce::String>& tables, ReferringTables& referring, juce::String& error)
{
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
    return true;
}

// One foreign key of a referring table, by the keys of the rows the transfer takes from the table
// it names (with their owners) and the number of its columns.
struct Reference
{
    const KeyOwners* owners;
    int columns;
};

// The references of a referring table's keys to rows the transfer takes, and the table's columns
// that hold them, quoted; taken keeps the keys of each table and column list once read.
bool takenReferences (sqlite3* db, const std::vector<ForeignKey>& keys, const std::set<juce::String>& tables,
                      const std::vector<ChannelChoice>& choices, std::map<juce::String, KeyOwners>& taken,
                      std::vector<Reference>& references, juce::StringArray& selected, juce::String& error)
{
    for (auto key : keys)
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
    return true;
}

// The first row of the table whose key names a row the transfer takes refuses the transfer,
// naming the row and what it belongs to.
bool checkTableRows (sqlite3* db, const juce::String& table, const std::vector<Reference>& references, const juce::StringArray& selected,
                     juce::String& error)
{
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
    return true;
}

} // namespace

bool checkReferringRows (sqlite3* db, const std::vector<ChannelChoice>& choices, juce::String& error)
{
    std::set<juce::String> tables; // of the source, in lower case
    ReferringTables referring;
    if (! readReferringTables (db, tables, referring, error))
        return false;

    std::map<juce::String, KeyOwners> taken; // by table and key columns
    for (const auto& entry : referring)
    {
        const auto& table = entry.first;
        std::vector<Reference> references;
        juce::StringArray selected;
        if (! takenReferences (db, entry.second, tables, choices, taken, references, selected, error))
            return false;
        if (references.empty())
            continue;
        if (! checkTableRows (db, table, references, selected, error))
            return false;
    }
    return true;
}

} // namespace vornconv::waves::nativeTransfer
