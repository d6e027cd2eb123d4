#pragma once

#include "model/HeldFolder.h"

#include <juce_core/juce_core.h>

#include <functional>

namespace vornconv
{

// Publishes a finished temporary file, made by this run in folder, under name in the same folder,
// in one atomic step that fails, and changes nothing, when anything (file, folder, link, even a
// dangling one) already stands at name. First the folder's path must still name the held folder
// (HeldFolder::stillAtItsPath: its refusal), and temporary's name must still stand for the file
// the run made there ("temporary output does not exist") and, once the file was closed after its
// write, still be as it was then: a temporary changed after it was written (and read back) is
// refused ("temporary output changed after it was written: " and its path); then the rename goes
// from the folder's handle to the same handle ("exclusive atomic rename failed: ", the system's
// reason, ": " and the path it was to take), so it never crosses folders or file systems. There is no retry and no copy fallback; on failure the
// temporary file stays where it is for its owner to remove. On success the temporary is no
// longer the run's to remove.
bool commitNewFileExclusive (const HeldFolder& folder, HeldFile& temporary, const juce::String& name, juce::String& error);

// The same for one file of a set that is published all or nothing (the state export): the file
// stays registered under its final name (temporary then names it), so that an interruption before
// the whole set is in place removes it there too, until the caller keeps the set
// (HeldFolder::keep) once it is complete.
bool commitNewFileExclusiveProvisionally (const HeldFolder& folder, HeldFile& temporary, const juce::String& name,
                                          juce::String& error);

// ": " followed by the system's text for the error number code (as strerror gives it, for
// example ": No space left on device"), or nothing when code is 0: what a refusal caused by the
// file system adds to its own words.
juce::String systemReason (int code);

// Fills file (a temporary just made, open for writing) through a buffered stream over its own
// descriptor, whose every write is checked, then closes it: nothing raced into the file's name
// is ever written through. writeBody gets the stream and returns false on a failure of its own.
// On failure errno holds the system's reason, or 0 when the file system refused nothing
// (writeBody failed on its own).
bool writeThroughDescriptor (HeldFile& file, const std::function<bool (juce::OutputStream&)>& writeBody);

// Writes all size bytes to the open descriptor, going on after interruptions; false on any error,
// with errno holding it.
bool writeAllBytes (int fd, const void* data, size_t size);

// True when anything (file, folder, link, even a dangling one) stands at file.
bool anythingExistsAt (const juce::File& file);

} // namespace vornconv
