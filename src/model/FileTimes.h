#pragma once

#include <juce_core/juce_core.h>

// File times as the file system keeps them. JUCE's File::getLastModificationTime reports whole
// seconds on Linux, which cannot tell a file replaced within the same second from the old one;
// every file time this program reads comes from here instead.
namespace vornconv
{

// What stat reports for a path, symbolic links followed.
struct FileStamp
{
    bool exists = false;
    bool regularFile = false;
    juce::int64 size = 0;
    juce::int64 modifiedNanos = 0; // last modification, nanoseconds since 1970, full precision
};

// All zero and false when the path cannot be examined.
FileStamp fileStamp (const juce::File& file);

// The last modification time in milliseconds since 1970 (rounded down); 0 when the path cannot
// be examined.
juce::int64 modificationMillis (const juce::File& file);

} // namespace vornconv
