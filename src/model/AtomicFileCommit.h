#pragma once

#include <juce_core/juce_core.h>

#include <functional>

namespace vornconv
{

// Publishes a finished temporary file at target in one atomic step that fails, and changes
// nothing, when anything (file, folder, link, even a dangling one) already stands at target.
// temporary must be a regular file (not a link, FIFO or folder). Both paths must lie on one file
// system, so callers create their temporary file beside the target. There is no retry and no
// copy fallback; on failure the temporary file stays where it is for its owner to delete.
bool commitNewFileExclusive (const juce::File& temporary, const juce::File& target, juce::String& error);

// The same for one file of a set that is published all or nothing (the state export): the file
// stays registered under its final name, so that an interruption before the whole set is in place
// removes it there too, until the caller forgets the set (forgetFiles) once it is complete.
bool commitNewFileExclusiveProvisionally (const juce::File& temporary, const juce::File& target, juce::String& error);

// ": " followed by the system's text for the error number code (as strerror gives it, for
// example ": No space left on device"), or nothing when code is 0: what a refusal caused by the
// file system adds to its own words.
juce::String systemReason (int code);

// Creates file, which must not exist yet (so nothing raced into its place is written through),
// and fills it through a buffered stream over the descriptor that created it, whose every write
// is checked: writeBody gets the stream and returns false on a failure of its own. created tells
// whether this call made the file, which is then the caller's to delete on failure (an
// interrupted run removes it as well, until it is committed). On failure errno holds the system's
// reason, or 0 when the file system refused nothing (writeBody failed on its own).
bool writeNewFileExclusive (const juce::File& file, bool& created,
                            const std::function<bool (juce::OutputStream&)>& writeBody);

// A new output file in the making: the folders made for it and its temporary file beside it
// (beside it, so the final rename never crosses file systems).
struct PendingOutput
{
    juce::File temporary;               // named by beginNewOutput, created by writeNewFileExclusive
    bool temporaryCreated = false;
    juce::Array<juce::File> createdFolders;

    // Takes away what this output's writer made: the temporary file first, then the folders.
    void abandon();
};

// Refuses an output that anything stands at already ("refusing to replace existing output: ...")
// and makes its missing folders ("could not create output directory" and the system's reason);
// then names the temporary beside the output (a fresh name built from the folder's full path).
bool beginNewOutput (const juce::File& output, PendingOutput& pending, juce::String& error);

// Writes all size bytes to the open descriptor, going on after interruptions; false on any error,
// with errno holding it.
bool writeAllBytes (int fd, const void* data, size_t size);

// True when anything (file, folder, link, even a dangling one) stands at file.
bool anythingExistsAt (const juce::File& file);

// Creates dir and its missing parents, each with mkdir (never taking over a folder someone else
// made meanwhile); created receives every folder this call made, outermost first, so that a
// failed write can take them away again. False when dir cannot be made a folder, with errno
// holding the system's reason (ENOTDIR when something else stands in the way).
bool createMissingFolders (const juce::File& dir, juce::Array<juce::File>& created);

// Removes the folders listed by createMissingFolders, deepest first, as long as they are empty,
// and clears the list.
void removeCreatedFolders (juce::Array<juce::File>& created);

} // namespace vornconv
