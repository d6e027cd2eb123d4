#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <sys/types.h>

// What a run makes for itself and must take away again on every way out: private folders below
// the temporary folder (staging copies of sessions, probe folders), temporary files beside an
// output, the folders made for an output, and the process groups of its children.
//
// Each is made and registered in one step under one lock. When the program is interrupted
// (SIGINT, SIGTERM, SIGHUP), one thread that waits for those signals takes that lock, so nothing
// new is made after it, kills every registered child process group, removes every registered path
// (the newest first), prints the interruption line and ends the process with status 1. Without
// installInterruptCleanup (in tests that run an invocation in-process) the registry is kept all
// the same and the owners remove what they made as usual.
namespace vornconv
{

// Blocks the three signals in the calling thread (and so in every thread started after it) and
// starts the thread that waits for them. Call once, first thing in main. line is printed on
// standard output, followed by a newline, after the clean-up.
void installInterruptCleanup (const char* line);

// The folder temporary files go to: $TMPDIR when set and not empty (a relative one below the
// working folder), else /tmp.
juce::File temporaryRoot();

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

// A new, empty file beside target (same folder, so that the final rename never crosses file
// systems), created exclusively without following links; written only through fd.
struct TemporaryFileBeside
{
    juce::File file;
    int fd = -1;

    TemporaryFileBeside() = default;
    TemporaryFileBeside (TemporaryFileBeside&& other) noexcept;
    TemporaryFileBeside& operator= (TemporaryFileBeside&& other) noexcept;
    TemporaryFileBeside (const TemporaryFileBeside&) = delete;
    TemporaryFileBeside& operator= (const TemporaryFileBeside&) = delete;
    ~TemporaryFileBeside(); // closes fd and removes the file unless it was released

    bool exists() const { return registered; }

    // Closes fd; false when closing reports an error (a write that failed late).
    bool close();
    // Removes the file now.
    void remove();
    // The file is no longer at its name (it was committed): forget it without touching anything.
    void release();

    bool registered = false;
};

// A fresh name "<target's name>.tmp-<random>" in target's folder, built from the folder's full
// path, so that a name starting with '~' is never read as a home folder. Where that would pass
// the folder's limit on the length of a name while target's own name fits, the target's name is
// cut short (at a character boundary) before the suffix: a temporary fits wherever its final
// name fits. The folder must exist.
juce::File temporaryNameBeside (const juce::File& target);

// Creates a temporary file under such a name (another name when one is taken). False with errno
// kept and error set when the file cannot be created.
bool makeTemporaryBeside (const juce::File& target, TemporaryFileBeside& out, juce::String& error);

// Creates file exclusively (O_EXCL, not following a link at its name) for writing, registered so
// that an interruption removes it; fd is then open (close-on-exec). False with errno kept when
// the file cannot be created. forgetFile drops the registration (the file was moved or removed).
bool createRegisteredFile (const juce::File& file, int& fd);
void forgetFile (const juce::File& file);

// Moves a registered file from one name to another with move (which renames it and returns false,
// errno kept, when it cannot), under the registry's lock, so that no interruption falls between
// the rename and the change of registration. On success the registration follows the file to its
// new name when stayRegistered (an interruption then removes it there), or is dropped.
bool moveRegisteredFile (const juce::File& from, const juce::File& to, bool stayRegistered,
                         const std::function<bool()>& move);

// Drops the registrations of all these files in one step: an interruption finds either every one
// of them still registered or none.
void forgetFiles (const juce::Array<juce::File>& files);

// Makes one folder (mkdir, mode 0777 before umask) that an interruption removes again while it is
// empty; false when mkdir fails. Forget it with forgetFolderMadeForOutput once it stays.
bool makeFolderForOutput (const juce::File& folder);
void forgetFolderMadeForOutput (const juce::File& folder);

// fork() for starting a child in its own process group: the child's group is registered before an
// interruption can be handled, so an interrupted run kills it. In the child (0 returned) only
// async-signal-safe calls may follow, and the signal mask must be cleared before exec. The parent
// forgets the group with forgetChildGroup once the child is reaped.
pid_t forkChildInOwnGroup();
void forgetChildGroup (pid_t child);

} // namespace vornconv
