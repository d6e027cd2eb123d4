// The queries the steps of a Waves transfer share: one row of integers or a count of a statement
// bound to integers, every row of one, whether a schema holds a table or a column (and which hot
// plug-in columns), and the text of a row for a note.

#include "waves/WavesNativeTransferInternal.h"

#include "model/JsonWriter.h"
#include "model/Utf8Text.h"

#include <limits>

namespace vornconv::waves::nativeTransfer
{

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

bool eachRowBound (sqlite3* db, const juce::String& sql, std::initializer_list<juce::int64> values, const std::function<void (sqlite3_stmt*)>& take,
                   juce::String& error)
{
    Statement statement;
    if (! prepare (db, sql.toRawUTF8(), statement, error))
        return false;
    int column = 1;
    for (const auto value : values)
        sqlite3_bind_int64 (statement.handle, column++, value);
    return eachRowOf (db, statement.handle, [&take] (sqlite3_stmt* row) { take (row); return true; }, error);
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

juce::String rowText (sqlite3_stmt* statement, int column)
{
    const auto* bytes = sqlite3_column_text (statement, column);
    return bytes == nullptr ? juce::String() : utf8::toTextReplacingMalformed (bytes, (size_t) sqlite3_column_bytes (statement, column));
}

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

} // namespace vornconv::waves::nativeTransfer
