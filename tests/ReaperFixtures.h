#pragma once

// Builders of REAPER VST3 state wrappers for tests: a header with the given id, sequential pin
// maps, the marker word at P + 8, the two streams and a program tail.

#include <juce_core/juce_core.h>

#include <string>
#include <vector>

namespace vorntest
{

inline void putU32 (juce::MemoryOutputStream& out, juce::uint32 v)
{
    const juce::uint8 b[4] = { (juce::uint8) v, (juce::uint8) (v >> 8), (juce::uint8) (v >> 16), (juce::uint8) (v >> 24) };
    out.write (b, 4);
}

inline void putU64 (juce::MemoryOutputStream& out, juce::uint64 v)
{
    putU32 (out, (juce::uint32) v);
    putU32 (out, (juce::uint32) (v >> 32));
}

// The program tail REAPER writes: "\0Program 1\0", four zero bytes and the channel configuration.
inline std::string programTail (juce::uint8 config = 0)
{
    std::string tail ("\0Program 1\0\0\0\0\0", 15);
    tail += (char) config;
    return tail;
}

// The tail every REAPER save ends a VST3 state with: a program name, its terminating zero and the
// little-endian 32-bit 16.
inline std::string reaperSavedTail (const std::string& programName = "Default")
{
    return std::string (1, '\0') + programName + std::string ("\0\x10\0\0\0", 5);
}

// The header marker words REAPER saves hold at P + 8.
constexpr juce::uint32 reaperMarkerZero = 0x00100000u;
constexpr juce::uint32 reaperMarkerFull = 0x0010FFFFu;

inline juce::MemoryBlock makeWrapperWithMasks (juce::uint32 id, const std::vector<juce::uint64>& inputMasks,
                                               const std::vector<juce::uint64>& outputMasks, juce::uint32 p8,
                                               const std::string& comp, const std::string& ctrl, const std::string& tail)
{
    juce::MemoryOutputStream out;
    putU32 (out, id);
    putU32 (out, 0xFEED5EEEu);
    putU32 (out, (juce::uint32) inputMasks.size());
    for (auto mask : inputMasks)
        putU64 (out, mask);
    putU32 (out, (juce::uint32) outputMasks.size());
    for (auto mask : outputMasks)
        putU64 (out, mask);
    putU32 (out, (juce::uint32) (comp.size() + ctrl.size() + 16));
    putU32 (out, 1);
    putU32 (out, p8);
    putU32 (out, (juce::uint32) comp.size());
    putU32 (out, 1);
    out.write (comp.data(), comp.size());
    putU32 (out, (juce::uint32) ctrl.size());
    putU32 (out, 0);
    out.write (ctrl.data(), ctrl.size());
    out.write (tail.data(), tail.size());
    return juce::MemoryBlock (out.getData(), out.getDataSize());
}

inline std::vector<juce::uint64> sequentialMasks (int count)
{
    std::vector<juce::uint64> masks;
    for (int i = 0; i < count; ++i)
        masks.push_back ((juce::uint64) 1 << i);
    return masks;
}

inline juce::MemoryBlock makeWrapper (juce::uint32 id, int ins, int outs, juce::uint32 p8, const std::string& comp,
                                      const std::string& ctrl, const std::string& tail)
{
    return makeWrapperWithMasks (id, sequentialMasks (ins), sequentialMasks (outs), p8, comp, ctrl, tail);
}

} // namespace vorntest
