#pragma once

#include <juce_core/juce_core.h>

#include <ctime>
#include <sys/types.h>

// The one loader for files we did not write (sessions, templates, catalogs, caches, selection
// files, plug-in lists). A file is opened once, without waiting on a FIFO, and must then be a
// regular file no larger than the caller's limit; its bytes are read whole through that one
// descriptor, and then proven unchanged: a file that grows or shrinks meanwhile, or whose device,
// inode, size, modification or change time (to the nanosecond, as fstat tells them on that one
// descriptor) are not what they were at opening, is refused as changed while it was read. So a
// host that saves a session in place while it is read never hands out half old, half new bytes.
// Text must also be well-formed UTF-8: it is never re-decoded as another encoding and never cut
// short at a NUL.
//
// Every text file is handed out without one leading UTF-8 byte-order mark (EF BB BF), which
// editors on Windows put before the text; a mark anywhere else is ordinary text. A UTF-16 mark
// is not UTF-8 and is refused as such. Byte offsets in messages count from the start of the file,
// the mark included.
//
// Every refusal is a message that names the file, ready to follow "ERROR   "; a changed file is
// "file changed while it was read: " and its path.
namespace vornconv
{

// What fstat told of an opened file: who it is and when it last changed.
struct UntrustedFileStamp
{
    dev_t device = 0;
    ino_t inode = 0;
    juce::int64 size = 0;
    timespec modified {};
    timespec changed {};
};

// The refusal of a folder named where a file is wanted, as the loader gives it. Callers that look
// at a path before reading it say the same.
juce::String folderNotFileError (const juce::File& folder);

// The refusal of a file that is not there: "file not found: " and its path.
juce::String fileNotFoundError (const juce::File& file);

// A refusal about file that names it, once: reason as it is when it names the file already (every
// refusal of this loader does), else reason + " (in " + the file's path + ")", set apart so that
// it is never taken for the end of the reason (a system's reason, a quoted value). For the words
// of a reader that do not say which file they are about.
juce::String namingFile (const juce::String& reason, const juce::File& file);

// Opens file for reading: a regular file of at most maxBytes. On success fd is an open
// descriptor (close-on-exec, blocking) that the caller closes, size its size at opening and stamp
// what its read must find unchanged at the end.
bool openUntrustedFile (const juce::File& file, juce::int64 maxBytes, int& fd, juce::int64& size, UntrustedFileStamp& stamp,
                        juce::String& error);

// For a file read in pieces through the descriptor of openUntrustedFile, with the refusals of
// the readers below: reads exactly size bytes into buffer (a file that ends before them has
// changed while it was read), and, once every byte of the size found at opening has been read,
// finishes the read by making sure that nothing follows and that the file is still as stamped.
bool readUntrustedPiece (int fd, const juce::File& file, void* buffer, size_t size, juce::String& error);
bool finishUntrustedRead (int fd, const juce::File& file, const UntrustedFileStamp& stamp, juce::String& error);

// The file's bytes.
bool readUntrustedBytes (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& bytes, juce::String& error);

// The file's text as bytes: well-formed UTF-8 without a NUL byte.
bool readUntrustedUtf8 (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& bytes, juce::String& error);

// The file as text: well-formed UTF-8 without a NUL byte. The bytes are read straight into the
// text, so the file is held once.
bool readUntrustedText (const juce::File& file, juce::int64 maxBytes, juce::String& text, juce::String& error);

// The file's text as bytes for a reader that takes it line by line and skips lines it does not
// use: no NUL byte anywhere, but UTF-8 is left for the reader to check in the lines it uses.
bool readUntrustedLines (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& bytes, juce::String& error);

} // namespace vornconv
