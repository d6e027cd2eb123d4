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

// REAPER's wrapper: twelve uint32 (1001, 0, 2, 1, 0, 2, 0, 2, 1, 0, 2, 0), uint32 P, P bytes of
// property list, then 1 and nine 0 bytes. The property list must pass parsePropertyList.
bool splitReaperState (const juce::MemoryBlock& wrapper, juce::MemoryBlock& plist, juce::String& error);

// The wrapper around plist; out is left untouched when plist does not pass parsePropertyList.
bool buildReaperState (const juce::MemoryBlock& plist, juce::MemoryBlock& out, juce::String& error);

// The four characters of a code, most significant byte first, or an empty text when any byte is
// outside printable ASCII (32..126).
juce::String fourCcText (juce::uint32 code);

// "AudioUnit:" + category + "/" + type "," subtype "," manufacturer, each code exactly four
// printable ASCII characters. out is all zero on failure.
bool parseDescriptorFile (juce::StringRef text, Identity& out);

} // namespace vornconv::audioUnit
