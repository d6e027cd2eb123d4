#pragma once

#include "model/RackModel.h"

// Reader of Waves SuperRack sessions (.sprk, SQLite), Performer and SoundGrid alike: the active
// snapshot's strips, routes, plug-in slots with their states and sidechains, and the converter's
// own metadata records. The user's file is only copied (each of its files opened once, as a
// regular file of bounded size); the private copy is opened instead.
namespace vornconv
{

// The converter's own metadata text in the active snapshot's info column: a header line of the
// header word, "|" and the record count, then one record per line. The reader and the writer
// share these words and the size limit.
namespace superRackMetadata
{
inline constexpr const char* headerV1 = "VORN_CONVERTER_SUPERRACK_V1";
inline constexpr const char* headerV2 = "VORN_CONVERTER_SUPERRACK_V2";
// What the writer stores when there is no record to keep.
inline constexpr const char* noRecordsInfo = "RAPP v1: plugin state and chain only";
// The largest metadata text (UTF-8 bytes) either side accepts.
constexpr size_t maxBytes = 67108864;
inline constexpr const char* tooLargeMessage = "SuperRack converter metadata exceeds 64 MiB";

// SHA-256 of a state block as the records carry it: 64 lower-case hexadecimal digits.
juce::String stateDigest (const juce::MemoryBlock& bytes);
} // namespace superRackMetadata

// Every session it reads carries the format id rapp::superRackSessionFormat (the preflight's,
// which passes on the diagnostics of this reader).

// Never throws: a hard error gives ok false, status 0 and the error; a session whose plug-in
// states or sidechains cannot all be proven gives status 2.
RackReadResult readSuperRackSprk (const juce::File& sprk);

} // namespace vornconv
