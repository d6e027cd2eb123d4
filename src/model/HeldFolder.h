#pragma once

#include "model/PrivateFiles.h"

#include <juce_core/juce_core.h>

#include <string>
#include <vector>

// The folder an output goes into (a converted file's folder, the state export's folder, the Waves
// output's folder), opened once and from then on used only through its handle. The temporary
// files, their read-back, their commits under their final names and every removal are relative
// to that handle, so that none of them reaches another folder put at its path meanwhile (a link
// to a folder of the user's included), and a whole path is never longer than the system takes:
// only each name is bounded, by the folder's own limit. The folders the run has to make for it
// are made and opened one by one, each from its parent's handle.
//
// Before anything is published, the folder's path must still name the held folder
// (stillAtItsPath); a folder moved or replaced meanwhile is refused, and what the run made goes
// again through the handles, wherever the folder is now.
namespace vornconv
{

struct HeldFile;

struct HeldFolder
{
    juce::File path;   // the folder as the run names it
    juce::String role; // what a refusal calls it ("output folder")
    SharedFolder handle;

    HeldFolder() = default;
    HeldFolder (HeldFolder&&) = default;
    HeldFolder& operator= (HeldFolder&& other) noexcept;
    HeldFolder (const HeldFolder&) = delete;
    HeldFolder& operator= (const HeldFolder&) = delete;
    ~HeldFolder(); // removes the folders the run made for it, unless kept

    bool isOpen() const { return handle != nullptr; }

    // True when anything (a file, a folder, a link, even a dangling one) stands at name in it.
    bool holds (const juce::String& name) const;

    // True while the folder's path still names the held folder: the folder the run opened by its
    // path is still the one at that path (same device and inode), and each folder made below it
    // still stands under its name in its parent. Else false, with error = role + " was moved or
    // replaced during the run: " + the folder's full path.
    bool stillAtItsPath (juce::String& error) const;

    // Removes the folders made for it, the deepest first, each only while it is empty and its
    // name in its parent still stands for it.
    void removeMadeFolders();

    // Everything made for the folder's output is in place and stays: the registrations of the
    // folders made for it and of files (committed under their final names) are dropped in one
    // step, so that an interruption finds either all of them registered or none.
    void keep();
    void keep (std::vector<HeldFile>& files);

    // The folder the run found by its path (the folder itself when nothing had to be made), and
    // the folders made below it, outermost first.
    juce::File foundPath;
    SharedFolder found;
    struct MadeFolder
    {
        SharedFolder parent;
        std::string name;
        SharedFolder folder;
        int registration = 0; // 0 for a folder another run made meanwhile
    };
    std::vector<MadeFolder> made;
};

// Opens folder. The deepest folder of its path that exists is opened by that path (links in the
// path are followed as the user's path follows them); with create, each missing folder below it
// is then made and opened from its parent's handle (not following a link); a folder another run
// makes meanwhile is taken when it is a folder. False with errno holding the system's reason
// (ENOTDIR when something other than a folder stands in the way); nothing made stays.
bool openHeldFolder (const juce::File& folder, bool create, const juce::String& role, HeldFolder& out);

// What follows a refusal of openHeldFolder ("could not create output directory"): the folder's
// path and the system's reason, and when a file stands in the way (ENOTDIR), which one, as
// " /x/a.ksn/out: Not a directory (/x/a.ksn is a file, not a folder)".
juce::String heldFolderFailure (const juce::File& folder, int code);

// A file the run made in a held folder: registered by the folder's handle, its name there and its
// identity, so that its removal (its owner's or an interruption's) never takes anything else.
struct HeldFile
{
    SharedFolder folder;
    std::string name; // its name in the folder now
    int fd = -1;      // open for writing while it is being written (close-on-exec)
    int registration = 0;

    HeldFile() = default;
    HeldFile (HeldFile&& other) noexcept;
    HeldFile& operator= (HeldFile&& other) noexcept;
    HeldFile (const HeldFile&) = delete;
    HeldFile& operator= (const HeldFile&) = delete;
    ~HeldFile(); // closes fd and removes the file unless it was released

    bool exists() const { return registration != 0; }

    // Closes fd once the file is written; false when closing reports an error (a write that
    // failed late), errno kept. A file closed so is sealed (sealRegisteredFile): its commit
    // refuses it once it has changed.
    bool close();
    // Removes the file now.
    void remove();
    // The file stays where it is, no longer the run's to remove.
    void release();

    // A path that reaches the file through the folder's handle, never through the folder's own
    // path (Linux resolves /proc/self/fd/<handle> to the open folder itself): for reading the
    // file back with a reader that takes a path.
    juce::File pathThroughHandle() const;
};

// Creates a new, empty temporary file in folder for the file finalName: "<finalName>.tmp-<random>",
// where finalName is cut short (at a character boundary) when the two would pass the folder's
// limit on the length of a name while finalName fits it, so that a temporary fits wherever its
// final name fits. Another name is tried when one is taken. False with errno kept.
bool makeTemporaryIn (const HeldFolder& folder, const juce::String& finalName, HeldFile& out);

} // namespace vornconv
