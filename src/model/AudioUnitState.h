#pragma once

#include <juce_core/juce_core.h>

// AudioUnit plug-in states: the property list ("ClassInfo" dictionary) that names its component
// by three four-character codes, REAPER's binary wrapper around it, and JUCE's AudioUnit
// descriptor text. The rest of the dictionary is carried as bytes, never interpreted.
namespace vornconv::audioUnit
{

// The largest property list accepted, and so the largest state inside REAPER's wrapper.
constexpr size_t maxPropertyListBytes = 64u * 1024u * 1024u;

struct Identity
{
    juce::uint32 type = 0;         // 0 = unknown; the first character is the most significant byte
    juce::uint32 subtype = 0;
    juce::uint32 manufacturer = 0;
};

// Checks that plist is one whole, well-formed XML or binary property list with a dictionary root
// whose "type", "subtype" and "manufacturer" are integers in 1..0xFFFFFFFF, each given once.
// out is zeroed first and filled only on success.
bool parsePropertyList (const juce::MemoryBlock& plist, Identity& out, juce::String& error);

// The longest preset name a REAPER wrapper may hold, its NUL included.
constexpr size_t maxReaperPresetNameBytes = 64u * 1024u;

// REAPER's wrapper around an AudioUnit state, as every REAPER save holds it (little-endian):
// int64 1001; the input and the output pin map (ReaperPinMap); uint32 P and the P bytes of the
// property list; uint32 L and L bytes of preset name ending in its only NUL (L = 1: no name);
// five zero bytes. The plain shape that buildReaperState writes is the case of two inputs and two
// outputs on their own channels and no preset name.
struct ReaperStateSplit
{
    bool ok = false;
    juce::String error;               // set when ok is false
    // Refused only because the pin map routes the plug-in to other track channels: everything
    // else is sound, and plist and identity are filled as on success.
    bool pinMapRouted = false;
    juce::String routing;             // then: where the pins go (describeReaperPinRouting)
    juce::MemoryBlock plist;
    Identity identity;                // the property list's component
    juce::String presetName;          // REAPER's preset name, empty when there is none
    juce::uint32 inputPins = 0;
    juce::uint32 connectedInputs = 0; // the inputs after these are unconnected
    juce::uint32 outputPins = 0;
};

// Checks the wrapper's every field and the property list (parsePropertyList).
ReaperStateSplit splitReaperState (const juce::MemoryBlock& wrapper);

// The plain wrapper around plist; out is left untouched when plist does not pass parsePropertyList.
bool buildReaperState (const juce::MemoryBlock& plist, juce::MemoryBlock& out, juce::String& error);

// The four characters of a code, most significant byte first, or an empty text when any byte is
// outside printable ASCII (32..126).
juce::String fourCcText (juce::uint32 code);

// "AudioUnit:" + category + "/" + type "," subtype "," manufacturer, each code exactly four
// printable ASCII characters. out is all zero on failure.
bool parseDescriptorFile (juce::StringRef text, Identity& out);

} // namespace vornconv::audioUnit
