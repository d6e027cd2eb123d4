// The channels of a Waves session as the selection report lists them and the native transfer
// takes them: the configured count per type, the rows of one channel (refused when ambiguous), the
// name it carries, and what the transfer carries of it, read alike from a source and from an
// output so that the one can be proven against the other. Queries name their schema, since the
// transfer's connection holds two sessions.

#include "waves/WavesChannels.h"

#include "model/JsonWriter.h"
#include "model/Utf8Text.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace vornconv::waves
{

namespace
{

// sql with every "@." naming the schema.
juce::String inSchema (const char* sql, const char* schema)
{
    return juce::String (sql).replace ("@.", juce::String (schema) + ".");
}

// Texts and blobs up to this length are kept as they are; longer ones as their digest.
constexpr size_t maxKeptValueBytes = 256;

// ",a,b" for the columns a and b (each quoted) with "," as separator; nothing for no column.
juce::String columnList (const ColumnList& columns, const char* separator)
{
    juce::String text;
    for (const auto& column : columns)
        text << separator << sqlIdentifier (column);
    return text;
}

// Every row of a prepared statement, all columns.
bool allRows (sqlite3* db, sqlite3_stmt* statement, std::vector<SqlRow>& rows, juce::String& error)
{
    rows.clear();
    return eachRowOf (db, statement, [&rows] (sqlite3_stmt* step)
    {
        SqlRow row;
        for (int c = 0; c < sqlite3_column_count (step); ++c)
            row.push_back (SqlValue::column (step, c));
        rows.push_back (std::move (row));
        return true;
    }, error);
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
        "p.chainer_id=o.id) OR EXISTS(SELECT 1 FROM @.routes r WHERE (vorn_value(r.src_cluster_type)=6 AND vorn_value("
        "r.src_cluster_type_index)=o.obj_index) OR (vorn_value(r.dst_cluster_type)=6 AND vorn_value(r.dst_cluster_type_index)=o.obj_index)) OR "
        "EXISTS(SELECT 1 FROM @.snapshot_chainer sc WHERE sc.chainer_id=o.id AND vorn_value(sc.snapshot_id)=-1 AND trim(sc.name)<>''))";
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
    const auto sql = inSchema ("SELECT o.id,o.name,(SELECT count(*) FROM @.snapshot_chainer sc WHERE sc.chainer_id=o.id AND vorn_value(sc.snapshot_id)=-1),"
                               "(SELECT sc.name FROM @.snapshot_chainer sc WHERE sc.chainer_id=o.id AND vorn_value(sc.snapshot_id)=-1 LIMIT 1) "
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
    channel.ownName = channel.name.isNotEmpty() && channel.name != genericChannelName (type, index);
    found = true;
    return true;
}

juce::String destinationChannelName (const WavesChannel& channel, int destinationType, int destinationIndex)
{
    return channel.ownName ? channel.name : genericChannelName (destinationType, destinationIndex);
}

ColumnList CarriedColumns::stateRow() const
{
    auto row = state;
    row.insert (row.end(), preset.begin(), preset.end());
    return row;
}

int CarriedColumns::indexOf (const ColumnList& columns, const char* name)
{
    for (size_t c = 0; c < columns.size(); ++c)
        if (columns[c].equalsIgnoreCase (name))
            return (int) c;
    return -1;
}

juce::String sqlIdentifier (const juce::String& name)
{
    return "\"" + name.replace ("\"", "\"\"") + "\"";
}

SqlValue SqlValue::column (sqlite3_stmt* statement, int column)
{
    SqlValue value;
    value.type = sqlite3_column_type (statement, column);
    if (value.type == SQLITE_INTEGER)
    {
        value.integer = sqlite3_column_int64 (statement, column);
    }
    else if (value.type == SQLITE_FLOAT)
    {
        value.real = sqlite3_column_double (statement, column);
    }
    else if (value.type == SQLITE_TEXT || value.type == SQLITE_BLOB)
    {
        const auto* data = value.type == SQLITE_TEXT ? static_cast<const void*> (sqlite3_column_text (statement, column))
                                                     : sqlite3_column_blob (statement, column);
        value.length = (size_t) sqlite3_column_bytes (statement, column);
        if (data == nullptr || value.length == 0)
            value.length = 0;
        else if (value.length <= maxKeptValueBytes)
            value.bytes.assign (static_cast<const char*> (data), value.length);
        else
            value.bytes = juce::SHA256 (data, value.length).toHexString().toStdString();
    }
    return value;
}

SqlValue SqlValue::of (juce::int64 number)
{
    SqlValue value;
    value.type = SQLITE_INTEGER;
    value.integer = number;
    return value;
}

SqlValue SqlValue::of (const juce::String& text)
{
    SqlValue value;
    value.type = SQLITE_TEXT;
    value.length = text.getNumBytesAsUTF8();
    if (value.length <= maxKeptValueBytes)
        value.bytes.assign (text.toRawUTF8(), value.length);
    else
        value.bytes = juce::SHA256 (text.toRawUTF8(), value.length).toHexString().toStdString();
    return value;
}

std::optional<juce::int64> SqlValue::asInteger() const
{
    if (type == SQLITE_INTEGER)
        return integer;
    if (type == SQLITE_FLOAT)
    {
        if (std::isfinite (real) && std::floor (real) == real && std::fabs (real) < 9.0e18)
            return (juce::int64) real;
        return {};
    }
    if (type != SQLITE_TEXT || length == 0 || length > 20 || bytes.size() != length)
        return {};
    // Written as SQLite writes an integer as text: an optional minus, no leading zero.
    const bool negative = bytes[0] == '-';
    const size_t first = negative ? 1 : 0;
    if (first == length || (bytes[first] == '0' && length > first + 1) || (negative && bytes[first] == '0'))
        return {};
    juce::uint64 magnitude = 0;
    for (size_t i = first; i < length; ++i)
    {
        if (bytes[i] < '0' || bytes[i] > '9')
            return {};
        const auto digit = (juce::uint64) (bytes[i] - '0');
        if (magnitude > (std::numeric_limits<juce::uint64>::max() - digit) / 10)
            return {};
        magnitude = magnitude * 10 + digit;
    }
    const auto limit = (juce::uint64) std::numeric_limits<juce::int64>::max() + (negative ? 1u : 0u);
    if (magnitude > limit)
        return {};
    return negative ? (juce::int64) (0 - magnitude) : (juce::int64) magnitude;
}

namespace
{

// The number a value holds: an integer or a real as they are, a text when it is written as a
// number and nothing else (digits, a sign, a point and an exponent; no blanks, no hexadecimal,
// no infinity). A blob is never a number.
struct Number
{
    bool whole = false;
    juce::int64 integer = 0;
    double real = 0.0;
};

std::optional<Number> numberOf (const SqlValue& value)
{
    if (value.type == SQLITE_INTEGER)
        return Number { true, value.integer, 0.0 };
    if (value.type == SQLITE_FLOAT)
        return Number { false, 0, value.real };
    if (value.type != SQLITE_TEXT)
        return {};
    if (const auto whole = value.asInteger())
        return Number { true, *whole, 0.0 };
    if (value.length == 0 || value.length > 64 || value.bytes.size() != value.length)
        return {};
    for (const char c : value.bytes)
        if (! ((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E'))
            return {};
    char* end = nullptr;
    const auto real = std::strtod (value.bytes.c_str(), &end);
    if (end != value.bytes.c_str() + value.length || ! std::isfinite (real))
        return {};
    return Number { false, 0, real };
}

bool sameNumber (const Number& a, const Number& b)
{
    if (a.whole && b.whole)
        return a.integer == b.integer;
    if (! a.whole && ! b.whole)
        return a.real == b.real;
    const auto& whole = a.whole ? a : b;
    const auto real = a.whole ? b.real : a.real;
    return std::isfinite (real) && std::floor (real) == real && std::fabs (real) < 9.0e18 && (juce::int64) real == whole.integer;
}

// A number in the one form it is compared in: a whole real as the integer it is.
Number canonical (Number number)
{
    if (! number.whole && std::isfinite (number.real) && std::floor (number.real) == number.real && std::fabs (number.real) < 9.0e18)
        return Number { true, (juce::int64) number.real, 0.0 };
    return number;
}

// vorn_value(x): see addValueFunction.
void valueFunction (sqlite3_context* context, int, sqlite3_value** arguments)
{
    auto* argument = arguments[0];
    const auto type = sqlite3_value_type (argument);
    std::optional<Number> number;
    if (type == SQLITE_FLOAT)
    {
        number = Number { false, 0, sqlite3_value_double (argument) };
    }
    else if (type == SQLITE_TEXT)
    {
        const auto* text = sqlite3_value_text (argument);
        const auto length = (size_t) sqlite3_value_bytes (argument);
        // A number is never written longer than this (numberOf refuses longer texts).
        if (text != nullptr && length <= 64)
        {
            SqlValue value;
            value.type = SQLITE_TEXT;
            value.length = length;
            value.bytes.assign (reinterpret_cast<const char*> (text), length);
            number = numberOf (value);
        }
    }
    if (! number)
    {
        sqlite3_result_value (context, argument);
        return;
    }
    const auto form = canonical (*number);
    if (form.whole)
        sqlite3_result_int64 (context, form.integer);
    else
        sqlite3_result_double (context, form.real);
}

} // namespace

std::optional<std::string> SqlValue::key() const
{
    if (type == SQLITE_NULL)
        return {};
    if (type != SQLITE_BLOB)
        if (const auto number = numberOf (*this))
        {
            const auto form = canonical (*number);
            if (form.whole)
                return "i" + std::to_string (form.integer);
            char text[40];
            std::snprintf (text, sizeof (text), "r%.17g", form.real);
            return std::string (text);
        }
    // The length keeps a text apart from the digest of a long one.
    return std::string (type == SQLITE_BLOB ? "b" : "t") + std::to_string (length) + ":" + bytes;
}

bool addValueFunction (sqlite3* db, juce::String& error)
{
    if (sqlite3_create_function_v2 (db, "vorn_value", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr, valueFunction, nullptr,
                                    nullptr, nullptr)
        == SQLITE_OK)
        return true;
    error = sqlite3_errmsg (db);
    return false;
}

const char* const physicalRouteFilter =
    "((vorn_value(src_cluster_type)=10 AND vorn_value(dst_cluster_type)=? AND vorn_value(dst_cluster_type_index)=?) OR "
    "(vorn_value(src_cluster_type)=? AND vorn_value(src_cluster_type_index)=? AND vorn_value(dst_cluster_type)=11))";

bool SqlValue::operator== (const SqlValue& other) const
{
    if (type == other.type)
    {
        switch (type)
        {
            case SQLITE_INTEGER: return integer == other.integer;
            case SQLITE_FLOAT: return real == other.real || (std::isnan (real) && std::isnan (other.real));
            case SQLITE_TEXT:
            case SQLITE_BLOB: return length == other.length && bytes == other.bytes;
            default: return true;
        }
    }
    // Another storage class of the same value: a number as a column of another declared type,
    // or of none, holds it.
    if (type == SQLITE_NULL || other.type == SQLITE_NULL || type == SQLITE_BLOB || other.type == SQLITE_BLOB)
        return false;
    const auto a = numberOf (*this), b = numberOf (other);
    return a && b && sameNumber (*a, *b);
}

juce::String SqlValue::describe() const
{
    switch (type)
    {
        case SQLITE_INTEGER: return juce::String (integer);
        case SQLITE_FLOAT: return juce::String (real);
        case SQLITE_TEXT:
            if (length <= maxKeptValueBytes)
                return json::quotedForMessage (utf8::toTextReplacingMalformed (bytes.data(), bytes.size()));
            return "a text of " + juce::String ((juce::int64) length) + " bytes";
        case SQLITE_BLOB: return "a blob of " + juce::String ((juce::int64) length) + " bytes";
        default: return "NULL";
    }
}

bool readChannelContent (sqlite3* db, const char* schema, const CarriedColumns& columns, juce::int64 objectId, int type, int index,
                         ChannelContent& content, juce::String& error)
{
    content = {};
    {
        Statement statement;
        bool hasRow = false;
        const auto sql = "SELECT name,preset_name,selected_slot" + columnList (columns.activeRow, ",")
                         + " FROM @.snapshot_chainer WHERE chainer_id=? AND vorn_value(snapshot_id)=-1 LIMIT 1";
        if (! prepare (db, inSchema (sql.toRawUTF8(), schema).toRawUTF8(), statement, error))
            return false;
        sqlite3_bind_int64 (statement.handle, 1, objectId);
        if (! stepRow (db, statement.handle, hasRow, error))
            return false;
        if (hasRow)
        {
            content.activeRow = true;
            content.name = SqlValue::column (statement.handle, 0);
            content.presetName = SqlValue::column (statement.handle, 1);
            content.selectedSlot = SqlValue::column (statement.handle, 2);
            for (int c = 3; c < sqlite3_column_count (statement.handle); ++c)
                content.activeColumns.push_back (SqlValue::column (statement.handle, c));
        }
    }
    if (columns.layouts)
    {
        Statement count, layout;
        bool hasRow = false;
        const auto sql = "SELECT 0" + columnList (columns.layout, ",") + " FROM @.chainer WHERE obj_id=? LIMIT 1";
        if (! prepare (db, inSchema ("SELECT count(*) FROM @.chainer WHERE obj_id=?", schema).toRawUTF8(), count, error)
            || ! prepare (db, inSchema (sql.toRawUTF8(), schema).toRawUTF8(), layout, error))
            return false;
        sqlite3_bind_int64 (count.handle, 1, objectId);
        sqlite3_bind_int64 (layout.handle, 1, objectId);
        if (! stepRow (db, count.handle, hasRow, error))
            return false;
        content.layoutRows = hasRow ? sqlite3_column_int64 (count.handle, 0) : 0;
        if (! stepRow (db, layout.handle, hasRow, error))
            return false;
        for (int c = 1; hasRow && c < sqlite3_column_count (layout.handle); ++c)
            content.layout.push_back (SqlValue::column (layout.handle, c));
    }
    {
        Statement plugs, states;
        const auto plugSql = "SELECT id,slot" + columnList (columns.plugin, ",") + " FROM @.plug WHERE chainer_id=? ORDER BY vorn_value(slot),id";
        juce::StringArray stateColumns;
        for (const auto& column : columns.state)
            stateColumns.add ("sp." + sqlIdentifier (column));
        for (const auto& column : columns.preset)
            stateColumns.add ("pp." + sqlIdentifier (column));
        const auto stateSql = "SELECT " + (stateColumns.isEmpty() ? juce::String ("sp.id") : stateColumns.joinIntoString (","))
                              + " FROM @.snapshot_plugin sp LEFT JOIN @.plugin_preset pp ON pp.id=sp.preset_id "
                                "WHERE sp.plug_id=? AND vorn_value(sp.snapshot_id)=-1 AND vorn_value(sp.setup_type_id)=-1 ORDER BY sp.id";
        if (! prepare (db, inSchema (plugSql.toRawUTF8(), schema).toRawUTF8(), plugs, error)
            || ! prepare (db, inSchema (stateSql.toRawUTF8(), schema).toRawUTF8(), states, error))
            return false;
        sqlite3_bind_int64 (plugs.handle, 1, objectId);
        std::vector<SqlRow> rows;
        if (! allRows (db, plugs.handle, rows, error))
            return false;
        for (auto& row : rows)
        {
            PluginContent plugin;
            plugin.id = row[0].integer;
            plugin.slot = row[1];
            plugin.row.assign (row.begin() + 2, row.end());
            sqlite3_reset (states.handle);
            sqlite3_bind_int64 (states.handle, 1, plugin.id);
            if (! allRows (db, states.handle, plugin.states, error))
                return false;
            content.plugins.push_back (std::move (plugin));
        }
    }
    {
        Statement routes;
        const auto sql = "SELECT " + (columns.route.empty() ? juce::String ("id") : columnList (columns.route, ",").substring (1))
                         + " FROM @.routes WHERE " + physicalRouteFilter + " ORDER BY id";
        if (! prepare (db, inSchema (sql.toRawUTF8(), schema).toRawUTF8(), routes, error))
            return false;
        sqlite3_bind_int (routes.handle, 1, type);
        sqlite3_bind_int (routes.handle, 2, index);
        sqlite3_bind_int (routes.handle, 3, type);
        sqlite3_bind_int (routes.handle, 4, index);
        if (! allRows (db, routes.handle, content.routes, error))
            return false;
    }
    Statement table;
    bool hasRow = false;
    if (! prepare (db, inSchema ("SELECT count(*) FROM @.sqlite_master WHERE type='table' AND name='snapshot_chainer_params'", schema).toRawUTF8(),
                   table, error)
        || ! stepRow (db, table.handle, hasRow, error))
        return false;
    if (! hasRow || sqlite3_column_int64 (table.handle, 0) == 0)
        return true;
    Statement parameters;
    if (! prepare (db, inSchema ("SELECT param_id,param_value FROM @.snapshot_chainer_params WHERE chainer_id=? AND vorn_value(snapshot_id)=-1 ORDER BY id", schema)
                           .toRawUTF8(),
                   parameters, error))
        return false;
    sqlite3_bind_int64 (parameters.handle, 1, objectId);
    return allRows (db, parameters.handle, content.parameters, error);
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
