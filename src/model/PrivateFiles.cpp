// What a run makes for itself and must take away again: private folders, files and folders made in
// a folder the run holds (an output's temporaries and folders) and the process groups of its
// children. Each is registered under one lock as it is made, so that the interrupt thread can
// kill and remove everything still registered when SIGINT, SIGTERM or SIGHUP arrives.
//
// In this file, in order:
//   - The registry: the entries and their removal, the thread that waits for the interrupt
//     signals.
//   - Interrupts and the temporary folder: installInterruptCleanup and temporaryRoot.
//   - Private folders: PrivateFolder and makePrivateFolder.
//   - Made in a held folder: folder handles, registered files and folders, their renaming and
//     removal through the handle.
//   - Child groups: children forked into a process group of their own.

#include "model/PrivateFiles.h"

#include "model/TestHooks.h"
#include "model/Utf8Text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vornconv
{
namespace
{

// ---------------------------------------------------------------------------------------------
// The registry

enum class Kind
{
    tree,       // a private folder and everything in it
    madeFile,   // a file made in a held folder
    madeFolder, // a folder made in a held folder, removed only while empty
    childGroup  // a child's process group
};

struct Entry
{
    int id = 0;
    Kind kind = Kind::tree;
    std::string path;     // a tree: its whole path; made in a held folder: the name there
    SharedFolder folder;  // made in a held folder: that folder
    dev_t device = 0;     // made in a held folder: the identity it had when made
    ino_t inode = 0;
    pid_t group = 0;
    bool sealed = false;  // a file: written, and to be published only as it was then
    off_t size = 0;
    timespec modified {};
    timespec changed {};
};

struct Registry
{
    std::mutex lock;
    std::vector<Entry> entries;
    int lastId = 0;
};

Registry& registry()
{
    static Registry* r = new Registry(); // never destroyed: the interrupt thread may use it at exit
    return *r;
}

// Called with the lock held.
int addEntry (Entry entry)
{
    auto& r = registry();
    entry.id = ++r.lastId;
    r.entries.push_back (std::move (entry));
    return r.lastId;
}

// Called with the lock held.
int addEntry (Kind kind, std::string path, pid_t group)
{
    Entry entry;
    entry.kind = kind;
    entry.path = std::move (path);
    entry.group = group;
    return addEntry (std::move (entry));
}

// Called with the lock held. Entries stay in the order they were added, which is the order of
// their ids; end() when there is none.
std::vector<Entry>::iterator findEntry (int id)
{
    auto& r = registry();
    const auto found = std::lower_bound (r.entries.begin(), r.entries.end(), id,
                                         [] (const Entry& e, int wanted) { return e.id < wanted; });
    return found != r.entries.end() && found->id == id ? found : r.entries.end();
}

void dropEntry (int id)
{
    if (id == 0)
        return;
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    const auto found = findEntry (id);
    if (found != r.entries.end())
        r.entries.erase (found);
}

// True while the entry's name in its folder still stands for what was made there: the same
// device and inode, and still a file (or a folder), the name's own link never followed. info then
// holds what fstatat told of it.
bool stillMade (const Entry& e, struct stat& info)
{
    if (::fstatat (e.folder->fd, e.path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    const bool rightKind = e.kind == Kind::madeFolder ? S_ISDIR (info.st_mode) : S_ISREG (info.st_mode);
    return rightKind && info.st_dev == e.device && info.st_ino == e.inode;
}

bool stillMade (const Entry& e)
{
    struct stat info;
    return stillMade (e, info);
}

bool sameTime (const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// True while a sealed file is as it was when sealed: its size, modification and change times.
bool stillAsSealed (const Entry& e, const struct stat& info)
{
    return ! e.sealed || (info.st_size == e.size && sameTime (info.st_mtim, e.modified) && sameTime (info.st_ctim, e.changed));
}

void removeTree (const std::string& path)
{
    // A folder being written into while it goes may need a second pass.
    for (int attempt = 0; attempt < 5; ++attempt)
    {
        std::error_code ignored;
        std::filesystem::remove_all (path, ignored);
        struct stat info;
        if (::lstat (path.c_str(), &info) != 0)
            return;
    }
}

void takeAway (const Entry& e)
{
    switch (e.kind)
    {
        case Kind::tree:       removeTree (e.path); break;
        case Kind::madeFile:   if (stillMade (e)) ::unlinkat (e.folder->fd, e.path.c_str(), 0); break;
        case Kind::madeFolder: if (stillMade (e)) ::unlinkat (e.folder->fd, e.path.c_str(), AT_REMOVEDIR); break;
        case Kind::childGroup: break;
    }
}

void waitForInterrupt (sigset_t signals, std::string line)
{
    int received = 0;
    while (sigwait (&signals, &received) != 0)
    {
    }
    auto& r = registry();
    r.lock.lock(); // held until the end: nothing new is made or forgotten after this point
    for (const auto& e : r.entries)
        if (e.kind == Kind::childGroup)
        {
            ::kill (-e.group, SIGKILL);
            ::kill (e.group, SIGKILL);
        }
    for (auto it = r.entries.rbegin(); it != r.entries.rend(); ++it)
        takeAway (*it);

    // Other threads may still be printing; the line comes after whatever they managed to print.
    bool locked = false;
    for (int i = 0; i < 100 && ! locked; ++i)
    {
        locked = ::ftrylockfile (stdout) == 0;
        if (! locked)
            std::this_thread::sleep_for (std::chrono::milliseconds (10));
    }
    if (locked)
        ::fflush_unlocked (stdout);
    line += "\n";
    (void) ! ::write (STDOUT_FILENO, line.data(), line.size());
    ::_exit (1);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Interrupts and the temporary folder

void installInterruptCleanup (const char* line)
{
    static std::once_flag once;
    std::call_once (once, [line] {
        // A signal the caller ignores (nohup, a background job of a script) stays ignored: only
        // the ones left at another action are waited for. A blocked signal is queued even while
        // it is ignored, so an ignored one must stay out of the set, or it would interrupt.
        sigset_t signals;
        sigemptyset (&signals);
        bool any = false;
        for (int s : { SIGINT, SIGTERM, SIGHUP })
        {
            struct sigaction inherited {};
            if (::sigaction (s, nullptr, &inherited) == 0 && (inherited.sa_flags & SA_SIGINFO) == 0
                && inherited.sa_handler == SIG_IGN)
                continue;
            sigaddset (&signals, s);
            any = true;
        }
        if (! any)
            return;
        ::pthread_sigmask (SIG_BLOCK, &signals, nullptr);
        std::thread (waitForInterrupt, signals, std::string (line)).detach();
    });
}

std::string workingFolderBytes()
{
    std::vector<char> buffer (4096);
    for (;;)
    {
        if (::getcwd (buffer.data(), buffer.size()) != nullptr)
            return buffer.data();
        if (errno != ERANGE || buffer.size() >= ((size_t) 1 << 20))
            return {};
        buffer.resize (buffer.size() * 2);
    }
}

std::string temporaryRootBytes()
{
    const char* fromEnvironment = std::getenv ("TMPDIR");
    if (fromEnvironment == nullptr || fromEnvironment[0] == 0)
        return "/tmp";
    if (fromEnvironment[0] == '/')
        return fromEnvironment;
    // A relative folder is the user's word too: it lies below the working folder, as for any
    // other program. Joined as bytes, so that a name starting with '~' is never a home folder.
    const auto workingFolder = workingFolderBytes();
    return workingFolder.empty() ? std::string (fromEnvironment) : workingFolder + "/" + fromEnvironment;
}

juce::File temporaryRoot()
{
    const auto path = temporaryRootBytes();
    return juce::File (utf8::toTextReplacingMalformed (path.data(), path.size()));
}

// ---------------------------------------------------------------------------------------------
// Private folders

PrivateFolder::PrivateFolder (PrivateFolder&& other) noexcept
    : folder (std::move (other.folder)), registration (other.registration)
{
    other.registration = 0;
    other.folder = juce::File();
}

PrivateFolder& PrivateFolder::operator= (PrivateFolder&& other) noexcept
{
    if (this != &other)
    {
        remove();
        folder = std::move (other.folder);
        registration = other.registration;
        other.registration = 0;
        other.folder = juce::File();
    }
    return *this;
}

PrivateFolder::~PrivateFolder()
{
    remove();
}

void PrivateFolder::remove()
{
    if (registration == 0)
        return;
    removeTree (folder.getFullPathName().toStdString());
    dropEntry (registration);
    registration = 0;
    folder = juce::File();
}

bool makePrivateFolder (const juce::File& parent, const juce::String& prefix, PrivateFolder& out, juce::String& error)
{
    out.remove();
    auto pattern = (parent.getFullPathName() + "/" + prefix + "XXXXXX").toStdString();
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    if (parent.getFullPathName().isEmpty() || ::mkdtemp (pattern.data()) == nullptr)
    {
        const int code = parent.getFullPathName().isEmpty() ? ENOENT : errno;
        error = "could not create a private folder in " + parent.getFullPathName() + ": "
              + utf8::toTextReplacingMalformed (std::strerror (code));
        errno = code;
        return false;
    }
    out.registration = addEntry (Kind::tree, pattern, 0);
    out.folder = juce::File (utf8::toTextReplacingMalformed (pattern.data(), pattern.size()));
    return true;
}

// ---------------------------------------------------------------------------------------------
// Made in a held folder

FolderHandle::~FolderHandle()
{
    ::close (fd);
}

namespace
{

// Called with the lock held: registers what was just made as name in folder, open as fd.
bool registerMade (Kind kind, const SharedFolder& folder, const std::string& name, int fd, int& registration)
{
    struct stat info;
    if (::fstat (fd, &info) != 0)
        return false;
    Entry entry;
    entry.kind = kind;
    entry.path = name;
    entry.folder = folder;
    entry.device = info.st_dev;
    entry.inode = info.st_ino;
    registration = addEntry (std::move (entry));
    return true;
}

} // namespace

bool createRegisteredFileIn (const SharedFolder& folder, const std::string& name, int& fd, int& registration)
{
    registration = 0;
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    fd = ::openat (folder->fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    if (! registerMade (Kind::madeFile, folder, name, fd, registration))
    {
        const int code = errno;
        ::close (fd);
        fd = -1;
        ::unlinkat (folder->fd, name.c_str(), 0);
        errno = code;
        return false;
    }
    return true;
}

bool makeRegisteredFolderIn (const SharedFolder& parent, const std::string& name, SharedFolder& made, int& registration)
{
    registration = 0;
    testHooks::stopPoint ("make-folder");
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    const bool madeHere = ::mkdirat (parent->fd, name.c_str(), 0777) == 0;
    if (! madeHere && errno != EEXIST)
        return false;
    // What stands at the name now is taken only when it is a folder: a link or a file fails with
    // ENOTDIR.
    const int fd = ::openat (parent->fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    made = std::make_shared<const FolderHandle> (fd);
    if (madeHere && ! registerMade (Kind::madeFolder, parent, name, fd, registration))
    {
        made.reset();
        return false;
    }
    return true;
}

void sealRegisteredFile (int registration)
{
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    const auto found = findEntry (registration);
    struct stat info;
    if (registration == 0 || found == r.entries.end() || found->kind != Kind::madeFile || ! stillMade (*found, info))
        return;
    found->sealed = true;
    found->size = info.st_size;
    found->modified = info.st_mtim;
    found->changed = info.st_ctim;
}

RenameOutcome renameRegisteredFile (int& registration, const std::string& name, bool stayRegistered)
{
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    const auto found = findEntry (registration);
    struct stat info;
    if (registration == 0 || found == r.entries.end() || found->kind != Kind::madeFile || ! stillMade (*found, info))
        return RenameOutcome::missing;
    // Right before it is published: a file changed since it was written (and proven) is not.
    if (! stillAsSealed (*found, info))
        return RenameOutcome::changed;
    const int folder = found->folder->fd;
    if (::renameat2 (folder, found->path.c_str(), folder, name.c_str(), RENAME_NOREPLACE) != 0)
        return RenameOutcome::failed;
    // The entry keeps its place, so that the folders made before the file still go after it.
    if (stayRegistered)
        found->path = name;
    else
    {
        r.entries.erase (found);
        registration = 0;
    }
    return RenameOutcome::renamed;
}

void removeRegistered (int& registration)
{
    if (registration == 0)
        return;
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    const auto found = findEntry (registration);
    if (found != r.entries.end())
    {
        takeAway (*found);
        r.entries.erase (found);
    }
    registration = 0;
}

void forgetRegistrations (const std::vector<int*>& registrations)
{
    std::vector<int> ids;
    ids.reserve (registrations.size());
    for (const int* registration : registrations)
        ids.push_back (*registration);
    std::sort (ids.begin(), ids.end());
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    r.entries.erase (std::remove_if (r.entries.begin(), r.entries.end(),
                                     [&ids] (const Entry& e) { return std::binary_search (ids.begin(), ids.end(), e.id); }),
                     r.entries.end());
    for (int* registration : registrations)
        *registration = 0;
}

// ---------------------------------------------------------------------------------------------
// Child groups

pid_t forkChildInOwnGroup()
{
    auto& r = registry();
    r.lock.lock();
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        // The child's copy of the lock is never touched again: it only execs or exits.
        ::setpgid (0, 0);
        return 0;
    }
    if (pid > 0)
    {
        ::setpgid (pid, pid); // either side may run first; both make the group
        addEntry (Kind::childGroup, {}, pid);
    }
    r.lock.unlock();
    return pid;
}

void forgetChildGroup (pid_t child)
{
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    for (auto it = r.entries.begin(); it != r.entries.end(); ++it)
        if (it->kind == Kind::childGroup && it->group == child)
        {
            r.entries.erase (it);
            return;
        }
}

} // namespace vornconv
