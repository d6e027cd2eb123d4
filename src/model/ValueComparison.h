#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>

// How two values of a session are told to be the same: levels and sample rates within their
// tolerances, byte streams byte for byte. The read-back comparison, the conversion ledger, the
// preflight and the writers' own read-back checks all ask here, so that what one of them lets pass
// no other calls a difference.
namespace vornconv
{

namespace tolerance
{
// Gains in dB and the pan: how far a re-read value may lie from the written one, and a field from
// its default, and still be the same.
constexpr double level = 0.0001;
// Sample rates in Hz.
constexpr double sampleRate = 0.001;
} // namespace tolerance

// |a - b| <= tolerance with both values finite: NaN and infinity are never within tolerance, not
// even of themselves.
bool withinTolerance (double a, double b, double tolerance) noexcept;

// The same number of bytes and the same bytes; two empty spans are the same whatever their
// pointers (which may then be null).
bool sameBytes (const void* a, size_t aSize, const void* b, size_t bSize) noexcept;
bool sameBytes (const juce::MemoryBlock& a, const juce::MemoryBlock& b) noexcept;

} // namespace vornconv
