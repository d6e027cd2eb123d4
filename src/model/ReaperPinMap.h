#pragma once

#include <juce_core/juce_core.h>

#include <array>
#include <cstddef>

// The pin maps that REAPER writes into its VST3 and AudioUnit state wrappers: a little-endian
// uint32 count (at most 64) followed by one 8-byte channel mask per pin, the plug-in's input map
// first, then its output map. Both wrappers read them through this one reader, so that they grade
// a plug-in's routing alike.
//
// A map a rack strip can hold connects pin i to track channel i: every output mask i is 1 << i,
// and the input masks are 1 << i up to some pin and 0 after it (the trailing inputs, such as an
// unfed sidechain pair, are left unconnected). Any other map routes the plug-in to other track
// channels, which a strip cannot express.
namespace vornconv
{

constexpr juce::uint32 maxReaperPins = 64;

// The most bytes one map takes: the count and 64 masks.
constexpr size_t maxReaperPinMapBytes = 4 + 8 * (size_t) maxReaperPins;

enum class ReaperPinMapSide
{
    inputs,  // instruments have none
    outputs  // at least one
};

enum class ReaperPinMapFault
{
    none,
    countTruncated, // fewer than 4 bytes left for the count
    countInvalid,   // above 64, no output pin, or more masks than the bytes that remain
    routed          // well formed, but the plug-in is routed to other track channels
};

struct ReaperPinMap
{
    juce::uint32 pins = 0;
    juce::uint32 connected = 0; // pins 0 .. connected - 1 carry their own channel; the rest none
    std::array<juce::uint64, maxReaperPins> masks {}; // pin i's track channels: bit c is channel c
};

// Reads the map at pos of the size bytes at data. On none and on routed, pos has moved past the
// map and out holds its counts (connected is 0 for a routed map); on the other faults pos and out
// are as they were.
ReaperPinMapFault readReaperPinMap (const juce::uint8* data, size_t size, size_t& pos, ReaperPinMapSide side,
                                    ReaperPinMap& out) noexcept;

// Where a plug-in's pins go that a strip cannot hold, in words: each pin not on its own track
// channel (trailing unconnected inputs aside), input pins first, e.g. "output pin 1 feeds
// channels 1 and 2" or "input pin 2 is fed by no channel", followed by the numbering. Pins and
// track channels count from 1, as REAPER's pin connector shows them. A map that was not read has
// no pins. The text names at most a few pins and then how many more there are.
juce::String describeReaperPinRouting (const ReaperPinMap& inputs, const ReaperPinMap& outputs);

} // namespace vornconv
