#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

// What a run makes for itself and must take away again on every way out: private folders below
// the temporary folder (staging copies of sessions, probe folders), temporary files in an
// output's folder, the folders made for an output, and the process groups of its children.
//
// Each is made and registered in one step under one lock. When the program is interrupted
// (SIGINT, SIGTERM, SIGHUP, each unless the caller started it with that signal ignored, which
// then stays ignored), one thread that waits for those signals takes that lock, so nothing
// new is made after it, kills every registered child process group, removes everything registered
// (the newest first), prints the interruption line and ends the process with status 1. Without
// installInterruptCleanup (in tests that run an invocation in-process) the registry is kept all
// the same and the owners remove what they made as usual.
namespace vornconv
{

// Blocks the three signals that the process did not inherit as ignored in the calling thread
// (and so in every thread started after it) and starts the thread that waits for them. Call once,
// first thing in main. line is printed on standard output, followed by a newline, after the
// clean-up.
void installInterruptCleanup (const char* line);

// The folder temporary files go to: $TMPDIR when set and not empty (a relative one below the
// working folder), else /tmp. Its path as the bytes the environment gives (which need not be
// text: the run refuses such a folder before anything is made), and as a File once it is text.
std::string temporaryRootBytes();
juce::File temporaryRoot();

// The working folder as the bytes the system gives, or empty when it cannot be told.
std::string workingFolderBytes();

// A private folder (mode 0700, a fresh unpredictable name starting with prefix) removed with
// everything in it when its owner goes or the run is interrupted.
struct PrivateFolder
{
    juce::File folder;

    PrivateFolder() = default;
    PrivateFolder (PrivateFolder&& other) noexcept;
    PrivateFolder& operator= (PrivateFolder&& other) noexcept;
    PrivateFolder (const PrivateFolder&) = delete;
    PrivateFolder& operator= (const PrivateFolder&) = delete;
    ~PrivateFolder();

    bool exists() const { return registration != 0; }

    // Removes the folder and everything in it now.
    void remove();

    int registration = 0;
};

// Makes a private folder inside parent (temporaryRoot() for staging). False with errno kept and
// error set when it cannot be made.
bool makePrivateFolder (const juce::File& parent, const juce::String& prefix, PrivateFolder& out, juce::String& error);

// An open folder (O_PATH, close-on-exec), shared by whoever holds the folder and by the
// registrations of what was made in it; closed with its last owner.
struct FolderHandle
{
    explicit FolderHandle (int descriptor) : fd (descriptor) {}
    ~FolderHandle();
    FolderHandle (const FolderHandle&) = delete;
    FolderHandle& operator= (const FolderHandle&) = delete;

    const int fd;
};

using SharedFolder = std::shared_ptr<const FolderHandle>;

// What a run makes inside a folder it holds (temporary files, files committed provisionally, the
// folders made for an output) is registered by that folder's handle, its name there and the
// identity (device and inode) it had when it was made. Its removal, by its owner or by an
// interruption, goes through the handle and only while the name still stands for that very file
// or folder (fstatat, links not followed): it never follows a link, never reaches another folder
// put at the held folder's path, and never removes what someone else has put at the name since.
// A registration is a number, 0 for none.

// Creates name in folder exclusively (O_EXCL, not following a link at the name) for writing,
// registered; fd is then open (close-on-exec). False with errno kept.
bool createRegisteredFileIn (const SharedFolder& folder, const std::string& name, int& fd, int& registration);

// Makes the folder name in parent (mkdirat, mode 0777 before umask) and opens it (O_DIRECTORY,
// not following a link), registered so that it goes again while empty. A folder that stands at
// the name already (another run has just made it) is opened all the same and is not the run's to
// remove: registration is then 0. False with errno kept: ENOTDIR when what stands at the name is
// not a folder (a link, a file).
bool makeRegisteredFolderIn (const SharedFolder& parent, const std::string& name, SharedFolder& made, int& registration);

// A registered file is written: from now on it is published only as it is now (size,
// modification and change time, as fstatat tells them through its folder's handle).
void sealRegisteredFile (int registration);

enum class RenameOutcome
{
    renamed,
    missing, // the registered name no longer stands for the file that was made
    changed, // the file was sealed and has changed since (cut short, written in place)
    failed   // the rename itself failed, errno kept
};

// Renames a registered file to name in the same folder, in one step that fails rather than
// replace anything (renameat2, RENAME_NOREPLACE), under the registry's lock, so that no
// interruption falls between the rename and the change of registration; a sealed file is
// renamed only while it is still as sealed, checked under the same lock just before. On success
// the registration follows the file to its new name when stayRegistered (an interruption then
// removes it there), or is dropped (registration becomes 0).
RenameOutcome renameRegisteredFile (int& registration, const std::string& name, bool stayRegistered);

// Removes what registration names (a folder only while it is empty), as described above, and
// drops the registration (it becomes 0).
void removeRegistered (int& registration);

// Drops all these registrations in one step without touching anything (each becomes 0): an
// interruption finds either every one of them still registered or none.
void forgetRegistrations (const std::vector<int*>& registrations);

// fork() for starting a child in its own process group: the child's group is registered before an
// interruption can be handled, so an interrupted run kills it. In the child (0 returned) only
// async-signal-safe calls may follow, and the signal mask must be cleared before exec. The parent
// forgets the group with forgetChildGroup once the child is reaped.
pid_t forkChildInOwnGroup();
void forgetChildGroup (pid_t child);

} // namespace vornconv
