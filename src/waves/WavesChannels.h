#pragma once

#include "waves/WavesSessionTransfer.h"

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
};

// The channel (type, index) of schema, which must be one object row with at most one row in the
// active snapshot: two of either are refused, naming the channel and owner ("Waves source",
// "Waves host-save template"), since nothing tells which one is meant. found is false (and no
// error set) when there is no object row.
bool readChannel (sqlite3* db, const char* schema, int type, int index, const char* owner, bool& found, WavesChannel& channel,
                  juce::String& error);

// The name a channel gets at its destination: its own, or for a channel without one the
// template's name for the destination, which the transfer gives every template channel.
juce::String destinationChannelName (const WavesChannel& channel, int destinationType, int destinationIndex);

// One value of a session row as SQLite holds it. Values are equal when their storage classes and
// bytes are (an integer and a real are equal when they are the same number, as a column of another
// declared type stores it), so a comparison sees an integer that became text or a preset one byte
// short. A long text or blob is kept as its length and SHA-256 only.
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
    bool operator== (const SqlValue& other) const;
    bool operator!= (const SqlValue& other) const { return ! (*this == other); }

    // For a message: NULL, 3, 2.5, "Kick", a text of 70000 bytes, a blob of 12 bytes.
    juce::String describe() const;
};

using SqlRow = std::vector<SqlValue>;

// The columns of a plug-in that the transfer copies from the source as they are, in the order
// PluginContent::row holds them.
extern const char* const copiedPluginColumns[7];
// An active state: its snapshot_plugin columns, then its preset's id, hash and payload.
extern const char* const activeStateColumns[11];
// A route row, in the order of the routes table.
extern const char* const routeColumns[16];

// A plug-in of a channel as the transfer carries it: its row, and its active states (snapshot -1,
// setup -1), each with the preset it uses.
struct PluginContent
{
    juce::int64 id = 0;
    SqlValue slot;
    SqlRow row;                 // copiedPluginColumns
    std::vector<SqlRow> states; // activeStateColumns, by state id
};

// What a transfer carries of one channel, read the same way from the source and from the output:
// the active row's name, preset name and selected slot (all NULL without an active row), the
// plug-ins by slot, the physical routes (physical input to the channel, channel to physical
// output: the cluster types 10 and 11 with integer ends, by id) and the channel parameter values
// of the active snapshot (param_id, param_value, by id; none when the session has no such table).
struct ChannelContent
{
    SqlValue name, presetName, selectedSlot;
    std::vector<PluginContent> plugins;
    std::vector<SqlRow> routes; // routeColumns
    std::vector<SqlRow> parameters;
};

bool readChannelContent (sqlite3* db, const char* schema, juce::int64 objectId, int type, int index, ChannelContent& content,
                         juce::String& error);

// A text column that becomes part of a document or a session: NULL is empty; bytes that are not
// UTF-8 (or hold a NUL) are refused, naming where they were found.
bool textColumn (sqlite3_stmt* statement, int column, const char* where, juce::String& out, juce::String& error);

} // namespace vornconv::waves
