#pragma once

#include "waves/WavesSessionTransfer.h"

#include <optional>
#include <string>
#include <vector>

// What the selection report and the native transfer must agree on about the channels of a Waves
// session: which channels the report lists, which rows make up one channel, and the name a channel
// carries. The report reads its own staged copy ("main"); the transfer reads the staged source it
// attached ("source_session") and the template copy ("main") through the same functions, so a
// selection is checked against exactly what the report showed.
namespace vornconv::waves
{

// The report lists at most this many channels, and a transfer carries at most this many.
constexpr int maxListedChannels = 64;

// How many channels of a type the session configures: the num_tracks of the type (no row: 0,
// negative: 0); for matrices, which have no configured count, the matrices up to the highest one
// that holds a plug-in, takes part in a route or has a non-blank active name. The report lists
// the first min(configured, 64) of them.
bool configuredChannelCount (sqlite3* db, const char* schema, int type, juce::int64& configured, juce::String& error);

// One channel of a session as the report and the transfer see it.
struct WavesChannel
{
    juce::int64 objectId = 0;
    bool activeRow = false; // the active snapshot holds a row for it
    juce::String name;      // its active name, else its object's name; empty when it has neither
    // name is one of its own: not empty, and not the generic name of the channel's place ("Input
    // 5" on input 4), which a host or an earlier transfer gives a channel left without a name.
    bool ownName = false;
};

// The channel (type, index) of schema, which must be one object row with at most one row in the
// active snapshot: two of either are refused, naming the channel and owner ("Waves source",
// "Waves host-save template"), since nothing tells which one is meant. found is false (and no
// error set) when there is no object row.
bool readChannel (sqlite3* db, const char* schema, int type, int index, const char* owner, bool& found, WavesChannel& channel,
                  juce::String& error);

// The name a channel gets at its destination: its own, or for a channel without one the
// template's name for the destination (its generic name), which the transfer gives every
// template channel.
juce::String destinationChannelName (const WavesChannel& channel, int destinationType, int destinationIndex);

// One value of a session row as SQLite holds it. Values are compared by value, not by storage
// class: an integer, a real of the same whole number and a text that reads as that number are
// one value (a column of another declared type, or of none, stores the same value so), while an
// integer that became another number, a text that is no number, or a preset one byte short is
// another value. A long text or blob is kept as its length and SHA-256 only.
struct SqlValue
{
    int type = SQLITE_NULL;
    juce::int64 integer = 0;
    double real = 0.0;
    std::string bytes; // a text or a blob, or the digest of a long one
    size_t length = 0; // of the text or blob

    static SqlValue column (sqlite3_stmt* statement, int column);
    static SqlValue of (juce::int64 value);
    static SqlValue of (const juce::String& text);

    bool isNull() const { return type == SQLITE_NULL; }
    // The whole number it holds: an integer, a whole real, or a text written as one ("12", "-1").
    std::optional<juce::int64> asInteger() const;
    // A text that is the same for every spelling of one value: an integer, a whole real and a
    // text written as that number share one; so do a real and a text written as it. None for
    // NULL, which names no row.
    std::optional<std::string> key() const;
    bool operator== (const SqlValue& other) const;
    bool operator!= (const SqlValue& other) const { return ! (*this == other); }

    // For a message: NULL, 3, 2.5, "Kick", a text of 70000 bytes, a blob of 12 bytes.
    juce::String describe() const;
};

// Adds to a connection the SQL function vorn_value(x): x as one value by the rule above, an
// integer for an integer, a whole real or a text written as that number, a real for another real
// or a text written as it, and any other value as it is. The filters that pick a channel's rows
// (the active snapshot -1 and setup -1, a plug-in's slot, the cluster types and indexes of a
// route) compare vorn_value of the column, so that a session without declared column types that
// holds -1 as the text '-1' is read as one that holds the number.
bool addValueFunction (sqlite3* db, juce::String& error);

// The physical routes of a channel: from a physical input (cluster type 10) to it, or from it to
// a physical output (11). Binds the channel's type and index, then its type and index again.
extern const char* const physicalRouteFilter;

using SqlRow = std::vector<SqlValue>;
using ColumnList = std::vector<juce::String>;

// The columns of the tables a channel's rows live in that a transfer copies as they are and
// proves: those both the source and the template hold (the template's spelling), but the ones
// the transfer sets itself. They are taken from the two schemas, so that a column a newer host
// adds is carried, not lost.
struct CarriedColumns
{
    ColumnList activeRow; // snapshot_chainer, beside its key, chainer_id, snapshot_id, name, preset_name and selected_slot
    ColumnList layout;    // chainer (the channel's inputs and outputs), beside its key and obj_id
    bool layouts = false; // both sessions have a chainer table
    ColumnList plugin;    // plug, beside id, chainer_id, slot, recall_safe, side_chain and hot_plugin
    ColumnList state;     // snapshot_plugin, every column both hold
    ColumnList preset;    // plugin_preset, beside id and ref_count
    ColumnList route;     // routes, every column both hold

    // An active state's row: the state's columns, then its preset's.
    ColumnList stateRow() const;
    // The place of a column in a list, or -1.
    static int indexOf (const ColumnList& columns, const char* name);
};

// A plug-in of a channel as the transfer carries it: its row, and its active states (snapshot -1,
// setup -1), each with the preset it uses.
struct PluginContent
{
    juce::int64 id = 0;
    SqlValue slot;
    SqlRow row;                 // CarriedColumns::plugin
    std::vector<SqlRow> states; // CarriedColumns::stateRow, by state id
};

// What a transfer carries of one channel, read the same way from the source and from the output:
// the active row's name, preset name, selected slot (all NULL without an active row) and further
// columns, its layout row (chainer), the plug-ins by slot, the physical routes (physical input to
// the channel, channel to physical output: the cluster types 10 and 11, ends by value, by id)
// and the channel parameter values of the active snapshot (param_id, param_value, by id; none
// when the session has no such table).
struct ChannelContent
{
    bool activeRow = false;
    SqlValue name, presetName, selectedSlot;
    SqlRow activeColumns;  // CarriedColumns::activeRow
    juce::int64 layoutRows = 0; // of the channel in chainer (0 when the session has no such table)
    SqlRow layout;         // CarriedColumns::layout of its first layout row
    std::vector<PluginContent> plugins;
    std::vector<SqlRow> routes; // CarriedColumns::route
    std::vector<SqlRow> parameters;
};

bool readChannelContent (sqlite3* db, const char* schema, const CarriedColumns& columns, juce::int64 objectId, int type, int index,
                         ChannelContent& content, juce::String& error);

// A column name quoted for SQL.
juce::String sqlIdentifier (const juce::String& name);

// A text column that becomes part of a document or a session: NULL is empty; bytes that are not
// UTF-8 (or hold a NUL) are refused, naming where they were found.
bool textColumn (sqlite3_stmt* statement, int column, const char* where, juce::String& out, juce::String& error);

} // namespace vornconv::waves
