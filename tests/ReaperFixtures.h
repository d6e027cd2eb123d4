#pragma once

// Builders of REAPER state wrappers for tests: VST3 wrappers (a header with the given id, pin maps,
// the marker word at P + 8, the two streams and a program tail) and a project holding one, and
// AudioUnit wrappers as REAPER saves them.

#include "readers/ReaperRppText.h"

#include <juce_core/juce_core.h>

#include <cstring>
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

// REAPER's list of a plug-in's parameter values saved in place of a component state: the header
// and pin maps of a VST3 wrapper, then the length of what follows the marker word (8 + 4 per
// value), 0 where a component state holds 1, the marker word, the words 0xDEADBEEF 0xDEADF00D,
// the values as little-endian float32, and the tail.
inline juce::MemoryBlock makeParameterValueWrapper (juce::uint32 id, int ins, int outs, const std::vector<float>& values,
                                                    const std::string& tail, juce::uint32 marker = reaperMarkerFull)
{
    juce::MemoryOutputStream out;
    putU32 (out, id);
    putU32 (out, 0xFEED5EEEu);
    for (const int pins : { ins, outs })
    {
        putU32 (out, (juce::uint32) pins);
        for (int i = 0; i < pins; ++i)
            putU64 (out, (juce::uint64) 1 << i);
    }
    putU32 (out, (juce::uint32) (8 + 4 * values.size()));
    putU32 (out, 0);
    putU32 (out, marker);
    putU32 (out, 0xDEADBEEFu);
    putU32 (out, 0xDEADF00Du);
    for (const float value : values)
    {
        juce::uint32 bits = 0;
        std::memcpy (&bits, &value, sizeof (bits));
        putU32 (out, bits);
    }
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

// REAPER's AudioUnit wrapper as its saves hold it: the int64 1001, the pin maps, the property
// list, the preset name with its NUL (only the NUL when the name is empty) and five zero bytes.
inline juce::MemoryBlock makeAudioUnitWrapper (const std::vector<juce::uint64>& inputMasks,
                                               const std::vector<juce::uint64>& outputMasks,
                                               const juce::MemoryBlock& plist, const std::string& presetName = {})
{
    juce::MemoryOutputStream out;
    putU64 (out, 1001);
    for (const auto* masks : { &inputMasks, &outputMasks })
    {
        putU32 (out, (juce::uint32) masks->size());
        for (auto mask : *masks)
            putU64 (out, mask);
    }
    putU32 (out, (juce::uint32) plist.getSize());
    out.write (plist.getData(), plist.getSize());
    putU32 (out, (juce::uint32) presetName.size() + 1);
    out.write (presetName.data(), presetName.size());
    out.write ("\0\0\0\0\0\0", 6);
    return juce::MemoryBlock (out.getData(), out.getDataSize());
}

// A strict one-track project with one VST3 plug-in of classId (REAPER id 934538646), as the
// converter writes it.
inline juce::String oneTrackProject (const juce::String& classId)
{
    const auto wrapper = makeWrapper (934538646u, 2, 2, 0, "COMP", "CONT", programTail());
    return "<REAPER_PROJECT 0.1 \"7.65/macOS-arm64\"\n"
           "  SAMPLERATE 48000 0 0\n"
           "  <TRACK " + vornconv::makeReaperStableTrackId (0) + "\n"
           "    NAME \"Kick\"\n"
           "    VOLPAN 1 0 -1 -1 1\n"
           "    MUTESOLO 0 0 0\n"
           "    IPHASE 0\n"
           "    PLAYOFFS 0 1\n"
           "    REC 0 -1 1 0 0 0 0 0\n"
           "    NCHAN 2\n"
           "    <EXT\n"
           "      VORN_CHANNEL_LAYOUT 2,2\n"
           "      VORN_PLUGIN_NAME_SLOT_0 50726F2D512034\n"
           "      VORN_PLUGIN_VENDOR_SLOT_0 46616246696C746572\n"
           "    >\n"
           "    FX 1\n"
           "    TRACKID " + vornconv::makeReaperStableTrackId (0) + "\n"
           "    MAINSEND 1 0\n"
           "    <FXCHAIN\n"
           "      SHOW 0\n"
           "      BYPASS 0 0 0\n"
           "      <VST \"VST3: Pro-Q 4 (FabFilter)\" \"FabFilter Pro-Q 4.vst3\" 0 \"\" 934538646{" + classId + "} \"\"\n"
           "        " + juce::Base64::toBase64 (wrapper.getData(), wrapper.getSize()) + "\n"
           "      >\n"
           "      FXID " + vornconv::makeReaperStableFxId (0, 0) + "\n"
           "    >\n"
           "  >\n"
           ">\n";
}

// A strict one-track project without the converter's markers, holding one VST3 plug-in of
// classId (REAPER id 934538646): usable as a template. extraTrackLines go into the track before its
// FX chain, extraProjectLines into the project before the track.
inline juce::String oneTrackTemplate (const juce::String& classId, const juce::String& extraTrackLines = {},
                                      const juce::String& extraProjectLines = {})
{
    const auto wrapper = makeWrapper (934538646u, 2, 2, 0, "COMP", "CONT", programTail());
    return "<REAPER_PROJECT 0.1 \"7.65/macOS-arm64\"\n"
           "  SAMPLERATE 48000 0 0\n" + extraProjectLines +
           "  <TRACK " + vornconv::makeReaperStableTrackId (0) + "\n"
           "    NAME \"Kick\"\n"
           "    VOLPAN 1 0 -1 -1 1\n"
           "    MUTESOLO 0 0 0\n"
           "    IPHASE 0\n"
           "    PLAYOFFS 0 1\n"
           "    REC 0 0 1 0 0 0 0 0\n"
           "    NCHAN 2\n"
           "    FX 1\n"
           "    TRACKID " + vornconv::makeReaperStableTrackId (0) + "\n"
           "    MAINSEND 1 0\n" + extraTrackLines +
           "    <FXCHAIN\n"
           "      SHOW 0\n"
           "      BYPASS 0 0 0\n"
           "      <VST \"VST3: Template EQ (Somebody)\" \"Template EQ.vst3\" 0 \"\" 934538646{" + classId + "} \"\"\n"
           "        " + juce::Base64::toBase64 (wrapper.getData(), wrapper.getSize()) + "\n"
           "      >\n"
           "      FXID " + vornconv::makeReaperStableFxId (0, 0) + "\n"
           "    >\n"
           "  >\n"
           ">\n";
}

// A one-track project with one VST3 plug-in of classId (REAPER id 934538646) as REAPER itself
// saves it: a template for the converter.
inline juce::String hostSavedProject (const juce::String& classId)
{
    const auto wrapper = makeWrapper (934538646u, 2, 2, reaperMarkerFull, "T", "", reaperSavedTail());
    return "<REAPER_PROJECT 0.1 \"7.30/linux-x86_64\" 1733300000\n  SAMPLERATE 48000 1 0\n"
           "  <TRACK {3F2C7C59-93F1-4E5D-8C7B-0F3A3AFC1E11}\n    NAME Vox\n    VOLPAN 1 0 -1 -1 1\n    MUTESOLO 0 0 0\n"
           "    IPHASE 0\n    PLAYOFFS 0 1\n    SEL 1\n    REC 0 0 1 0 0 0 0 0\n    VU 2\n    NCHAN 2\n    FX 1\n"
           "    TRACKID {3F2C7C59-93F1-4E5D-8C7B-0F3A3AFC1E11}\n    MAINSEND 1 0\n    <FXCHAIN\n      SHOW 0\n      BYPASS 0 0 0\n"
           "      <VST \"VST3: Pro-Q 4 (FabFilter)\" \"FabFilter Pro-Q 4.vst3\" 0 \"\" 934538646{" + classId + "} \"\"\n"
           "        " + juce::Base64::toBase64 (wrapper.getData(), wrapper.getSize()) + "\n"
           "      >\n      FLOATPOS 0 0 0 0\n      FXID {0E2A1D4C-7E55-4F0B-9C43-6C0C2D1B9A77}\n      WAK 0 0 0\n    >\n  >\n>\n";
}

} // namespace vorntest
