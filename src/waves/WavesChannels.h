#pragma once

#include "waves/WavesSessionTransfer.h"

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

// A text column that becomes part of a document or a session: NULL is empty; bytes that are not
// UTF-8 (or hold a NUL) are refused, naming where they were found.
bool textColumn (sqlite3_stmt* statement, int column, const char* where, juce::String& out, juce::String& error);

} // namespace vornconv::waves
