// The one value rule of the Waves transfer as the SQL filters that pick a channel's rows use it
// (vorn_value) and as the keys that find the rows another table refers to use it: every spelling
// of a number is that number, and nothing else is.

#include "waves/WavesChannels.h"

#include <gtest/gtest.h>

namespace
{

using vornconv::waves::SqlValue;

// The value of one SQL expression on db.
SqlValue valueOf (sqlite3* db, const juce::String& expression)
{
    vornconv::waves::Statement statement;
    juce::String error;
    bool hasRow = false;
    EXPECT_TRUE (vornconv::waves::prepare (db, ("SELECT " + expression).toRawUTF8(), statement, error)) << error;
    EXPECT_TRUE (vornconv::waves::stepRow (db, statement.handle, hasRow, error) && hasRow) << error;
    return statement.handle != nullptr ? SqlValue::column (statement.handle, 0) : SqlValue();
}

TEST (WavesChannels, EverySpellingOfANumberIsThatNumberAndNothingElseIs)
{
    vornconv::waves::Database db;
    ASSERT_EQ (sqlite3_open (":memory:", &db.handle), SQLITE_OK);
    juce::String error;
    ASSERT_TRUE (vornconv::waves::addValueFunction (db.handle, error)) << error;

    const struct
    {
        const char* held; // as SQL
        const char* read; // vorn_value of it: its storage class and value
    } cases[] = {
        { "-1", "integer -1" },        { "-1.0", "integer -1" },     { "'-1'", "integer -1" },    { "'-1.0'", "integer -1" },
        { "'-1e0'", "integer -1" },    { "10", "integer 10" },       { "'10'", "integer 10" },    { "2.5", "real 2.5" },
        { "'2.5'", "real 2.5" },       { "' -1'", "text \" -1\"" },  { "'-1 '", "text \"-1 \"" }, { "'-1x'", "text \"-1x\"" },
        { "'0x10'", "text \"0x10\"" }, { "'inf'", "text \"inf\"" }, { "'1e999'", "text \"1e999\"" }, { "''", "text \"\"" },
        { "'Kick'", "text \"Kick\"" }, { "X'2D31'", "blob a blob of 2 bytes" }, { "NULL", "null NULL" },
    };
    const auto minusOne = valueOf (db.handle, "-1").key();
    ASSERT_TRUE (minusOne.has_value());
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.held);
        const auto read = valueOf (db.handle, juce::String ("vorn_value(") + c.held + ")");
        const auto type = valueOf (db.handle, juce::String ("typeof(vorn_value(") + c.held + "))");
        EXPECT_EQ (juce::String (type.bytes) + " " + read.describe(), c.read);
        // The key of what is held is the key of what the filter reads: a row found by one is
        // found by the other.
        const auto held = valueOf (db.handle, c.held);
        EXPECT_EQ (held.key(), read.key());
        EXPECT_EQ (held.key() == minusOne, juce::String (c.read) == "integer -1");
    }
    EXPECT_FALSE (valueOf (db.handle, "NULL").key().has_value());
}

} // namespace
