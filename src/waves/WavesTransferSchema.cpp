// What a Waves transfer carries of each table a selected channel's rows live in, taken from the
// two schemas: a column both hold is copied as it is and proven, a column only the source holds
// must hold nothing but NULL or its default on the rows carried, and a column only the template
// holds keeps the template's default on a row the transfer adds and the template's value on a row
// of its own; also the plug-in flags the transfer resets where the template holds them.

#include "waves/WavesNativeTransferInternal.h"

namespace vornconv::waves::nativeTransfer
{

namespace
{

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
    const auto where = juce::String (juce::String (schema) == "main" ? "host-save template" : "source") + " column of " + table;
    return eachRowOf (db, statement.handle, [&] (sqlite3_stmt* row)
    {
        ColumnInfo column;
        if (! textColumn (row, 0, where.toRawUTF8(), column.name, error))
            return false;
        if (sqlite3_column_type (row, 1) != SQLITE_NULL)
        {
            juce::String text;
            if (! textColumn (row, 1, where.toRawUTF8(), text, error))
                return false;
            column.defaultText = text;
        }
        column.key = sqlite3_column_int64 (row, 2) != 0;
        columns.push_back (column);
        return true;
    }, error);
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

} // namespace

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

} // namespace vornconv::waves::nativeTransfer
