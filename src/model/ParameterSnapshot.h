#pragma once

#include <juce_core/juce_core.h>

// The binary parameter snapshot: the one byte form of a parameter mirror (the normalised values
// of all parameters of one plug-in state). Little-endian, no padding:
//   int32 magic 0x564E504D ("VNPM"), int32 version 1, int32 count (0..1,000,000), int64 key,
//   then count float32 values, each finite and within [0, 1]. Exactly 20 + 4 * count bytes.
namespace vornconv::parameterState
{

constexpr juce::int32 snapshotMagic = 0x564E504D;
constexpr juce::int32 snapshotVersion = 1;
constexpr juce::int32 maxSnapshotValues = 1000000;
constexpr size_t snapshotHeaderSize = 20;

struct Snapshot
{
    juce::int64 key = 0;
    juce::Array<float> values;
};

// Writes the layout with count = values.size(). Checks nothing: callers pass values that are
// already normalised, and at most maxSnapshotValues of them.
juce::MemoryBlock encode (const juce::Array<float>& values, juce::int64 key);

// The same for count values at values.
juce::MemoryBlock encode (const float* values, size_t count, juce::int64 key);

// Parses and validates. On false, error names the reason and out must not be used.
bool decode (const juce::MemoryBlock& data, Snapshot& out, juce::String& error);

} // namespace vornconv::parameterState
