#pragma once

#include "model/RackModel.h"

// REAPER's binary wrapper around a VST3 plug-in's state: the plug-in's numeric id, the input and
// output pin maps, the component and controller streams with their lengths, and a program tail
// whose last byte is the plug-in's channel configuration. Only the shapes seen in REAPER saves are
// accepted (pin maps a rack strip can hold, see ReaperPinMap; known header markers); anything else
// is refused with a reason. All integers are little-endian.
namespace vornconv
{

// Largest component or controller stream inside a wrapper.
constexpr juce::uint32 maxReaperVst3StreamBytes = 64u * 1024u * 1024u;

// Checks wrapper against reaperId (the id of the project's VST line) and, on success, resets out
// and fills raw (the whole wrapper), component and controller, with encoding host-specific. out is
// untouched on failure.
bool splitReaperVst3State (const juce::MemoryBlock& wrapper, juce::uint32 reaperId, PluginState& out, juce::String& error);

// The same, taking the wrapper's bytes for raw instead of copying them (a state may be 64 MiB);
// the wrapper is left as it was when the split fails.
bool splitReaperVst3State (juce::MemoryBlock&& wrapper, juce::uint32 reaperId, PluginState& out, juce::String& error);

// The same; when the wrapper is refused because its pin map routes the plug-in to other track
// channels, routing says where its pins go (describeReaperPinRouting), else it is empty.
bool splitReaperVst3State (juce::MemoryBlock&& wrapper, juce::uint32 reaperId, PluginState& out, juce::String& error,
                           juce::String& routing);

// REAPER saves some plug-ins' state as the list of their parameter values instead of a component
// state: the same id, magic and pin maps, then the length of what follows the marker word, 0 where
// a component state holds 1, the marker word, the words 0xDEADBEEF 0xDEADF00D, the values as
// float32, and the program tail. Every function here refuses such a wrapper for what it is ("REAPER
// VST3 state holds the plug-in's parameter values instead of a component state"); this gives the
// number of its values, or -1 for any other wrapper (one of that shape whose length does not fit
// among them).
int reaperVst3ParameterValueCount (const juce::MemoryBlock& wrapper, juce::uint32 reaperId);

// A new wrapper for hostId around component and controller, with the magic, pin maps and program
// tail of templateWrapper (checked against templateId); the header marker keeps the template's
// high half and gets 0 in its low half. The result is split again and must give the same streams
// byte for byte. out is emptied on any failure.
bool buildReaperVst3State (const juce::MemoryBlock& templateWrapper, juce::uint32 templateId, juce::uint32 hostId,
                           const juce::MemoryBlock& component, const juce::MemoryBlock& controller,
                           juce::MemoryBlock& out, juce::String& error);

// The same with one id for the template and the output.
bool buildReaperVst3State (const juce::MemoryBlock& templateWrapper, juce::uint32 id,
                           const juce::MemoryBlock& component, const juce::MemoryBlock& controller,
                           juce::MemoryBlock& out, juce::String& error);

// The channel configuration in the last byte of the program tail (0..128).
bool readReaperVst3ChannelConfig (const juce::MemoryBlock& wrapper, juce::uint32 reaperId, int& count, juce::String& error);

// Writes count (1..128) into the last byte of a wrapper whose configuration is readable; the
// wrapper is untouched when the request is refused.
bool setReaperVst3ChannelConfig (juce::MemoryBlock& wrapper, juce::uint32 reaperId, int count, juce::String& error);

// True for exactly 4 input pins, all connected, 2 or 4 output pins and channel configuration 2: a
// stereo main input with a stereo sidechain.
bool validateReaperVst3StereoSidechainConfig (const juce::MemoryBlock& wrapper, juce::uint32 reaperId, juce::String& error);

} // namespace vornconv
