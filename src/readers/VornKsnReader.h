#pragma once

#include "model/RackModel.h"

#include <functional>
#include <string_view>

// Reader of Vorn Live scene files (.ksn): one XML document holding up to 64 strips of 8 plug-in
// slots, as the host saves it and as the scene writer produces it.
namespace vornconv
{

// The sourceFormat of every session this reader reads.
constexpr const char* vornKsnFormatId = "vorn.ksn";

// Largest scene file that is read at all.
constexpr juce::int64 maxVornKsnFileBytes = (juce::int64) 1 << 30;

// Deepest element nesting accepted in a scene (the format itself needs five levels).
constexpr int maxVornKsnXmlDepth = 64;

// Reads the scene strictly. Never throws: a hard error gives ok false, status 0 and the error;
// a readable scene that cannot be proven complete gives status 2 with a "source.snapshot" note.
RackReadResult readVornKsn (const juce::File& file);

// The same for a scene whose bytes are loaded already (they must be UTF-8 without a NUL byte);
// file names it in the result, and relative plug-in files lie in its folder.
RackReadResult readVornKsnBytes (const juce::File& file, std::string_view bytes);

// The same for a scene's bytes that the read may overwrite (size bytes, and one more after them):
// it lifts the states out of them where they lie and then lets go of them (release), so that it
// never holds the scene's text twice.
RackReadResult readVornKsnDocument (const juce::File& file, char* bytes, size_t size, const std::function<void()>& release);

} // namespace vornconv
