#pragma once

#include "model/RackModel.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <string_view>

// The shape of a host's readers: what every operation reads a host's files with, and what every
// write reads its document back with. Each host's writer names its readers (writers/OutputHost.h).
namespace vornconv
{

// A host's own readers: of a file, and of a document's bytes already loaded (a template read
// once, a document proven before it is written); name only names the bytes in the result. A
// database has no bytes reader: SQLite reads it from a file.
struct HostReaders
{
    RackReadResult (*file) (const juce::File& file) = nullptr;
    RackReadResult (*bytes) (const juce::File& name, std::string_view bytes) = nullptr;
    // Of a document's bytes that the read may overwrite (a document proven before it is written:
    // size bytes, and one more after them), so that it works on them where they lie instead of
    // copying them, and lets go of (release) as soon as it holds what it needs of
    // them; null where the bytes reader keeps no copy of the bytes it is given.
    RackReadResult (*document) (const juce::File& name, char* bytes, size_t size, const std::function<void()>& release) = nullptr;
};

} // namespace vornconv
