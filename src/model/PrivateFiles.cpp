// What a run makes for itself and must take away again: private folders, temporary files beside an
// output, folders made for an output and the process groups of its children. Each is registered
// under one lock as it is made, so that the interrupt thread can kill and remove everything still
// registered when SIGINT, SIGTERM or SIGHUP arrives.
//
// In this file, in order:
//   - The registry: the entries and their removal, the thread that waits for the interrupt
//     signals, fresh random name suffixes.
//   - Interrupts and the temporary folder: installInterruptCleanup and temporaryRoot.
//   - Private folders: PrivateFolder and makePrivateFolder.
//   - Temporary files, output folders and child groups: TemporaryFileBeside, registered files,
//     folders made for an output, and children forked into a process group of their own.

#include "model/PrivateFiles.h"

#include "model/TestHooks.h"
#include "model/Utf8Text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <set>
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
    tree,        // a private folder and everything in it
    file,        // one temporary file
    emptyFolder, // a folder made for an output, removed only while empty
    childGroup   // a child's process group
};

struct Entry
{
    int id = 0;
    Kind kind = Kind::file;
    std::string path;
    pid_t group = 0;
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

int addEntry (Kind kind, std::string path, pid_t group)
{
    // Called with the lock held.
    auto& r = registry();
    r.entries.push_back ({ ++r.lastId, kind, std::move (path), group });
    return r.lastId;
}

void dropEntry (int id)
{
    if (id == 0)
        return;
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    for (auto it = r.entries.begin(); it != r.entries.end(); ++it)
        if (it->id == id)
        {
            r.entries.erase (it);
            return;
        }
}

void forgetPath (Kind kind, const std::string& path)
{
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    for (auto it = r.entries.rbegin(); it != r.entries.rend(); ++it)
        if (it->kind == kind && it->path == path)
        {
            r.entries.erase (std::next (it).base());
            return;
        }
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
        case Kind::tree:        removeTree (e.path); break;
        case Kind::file:        ::unlink (e.path.c_str()); break;
        case Kind::emptyFolder: ::rmdir (e.path.c_str()); break;
        case Kind::childGroup:  break;
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

std::string randomSuffix()
{
    static std::atomic<unsigned> counter { 0 };
    auto& random = juce::Random::getSystemRandom();
    return juce::String::toHexString (random.nextInt64()).paddedLeft ('0', 16).toStdString()
         + juce::String::toHexString ((int) ++counter).toStdString();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Interrupts and the temporary folder

void installInterruptCleanup (const char* line)
{
    static std::once_flag once;
    std::call_once (once, [line] {
        sigset_t signals;
        sigemptyset (&signals);
        for (int s : { SIGINT, SIGTERM, SIGHUP })
            sigaddset (&signals, s);
        ::pthread_sigmask (SIG_BLOCK, &signals, nullptr);
        std::thread (waitForInterrupt, signals, std::string (line)).detach();
    });
}

juce::File temporaryRoot()
{
    const char* fromEnvironment = std::getenv ("TMPDIR");
    if (fromEnvironment == nullptr || fromEnvironment[0] == 0)
        return juce::File ("/tmp");
    const auto path = utf8::toTextReplacingMalformed (fromEnvironment);
    if (fromEnvironment[0] == '/')
        return juce::File (path);
    // A relative folder is the user's word too: it lies below the working folder, as for any
    // other program. Joined as text, so that a name starting with '~' is never a home folder.
    return juce::File (juce::File::getCurrentWorkingDirectory().getFullPathName() + "/" + path);
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
// Temporary files, output folders and child groups

TemporaryFileBeside::TemporaryFileBeside (TemporaryFileBeside&& other) noexcept
    : file (std::move (other.file)), fd (other.fd), registered (other.registered)
{
    other.fd = -1;
    other.registered = false;
    other.file = juce::File();
}

TemporaryFileBeside& TemporaryFileBeside::operator= (TemporaryFileBeside&& other) noexcept
{
    if (this != &other)
    {
        remove();
        file = std::move (other.file);
        fd = other.fd;
        registered = other.registered;
        other.fd = -1;
        other.registered = false;
        other.file = juce::File();
    }
    return *this;
}

TemporaryFileBeside::~TemporaryFileBeside()
{
    remove();
}

bool TemporaryFileBeside::close()
{
    if (fd < 0)
        return true;
    const int result = ::close (fd);
    fd = -1;
    return result == 0;
}

void TemporaryFileBeside::remove()
{
    close();
    if (! registered)
        return;
    ::unlink (file.getFullPathName().toRawUTF8());
    forgetFile (file);
    registered = false;
    file = juce::File();
}

void TemporaryFileBeside::release()
{
    close();
    if (registered)
        forgetFile (file);
    registered = false;
}

bool createRegisteredFile (const juce::File& file, int& fd)
{
    const auto path = file.getFullPathName();
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    fd = ::open (path.toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    addEntry (Kind::file, path.toStdString(), 0);
    return true;
}

void forgetFile (const juce::File& file)
{
    forgetPath (Kind::file, file.getFullPathName().toStdString());
}

bool moveRegisteredFile (const juce::File& from, const juce::File& to, bool stayRegistered,
                         const std::function<bool()>& move)
{
    const auto fromPath = from.getFullPathName().toStdString();
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    if (! move())
        return false;
    auto found = r.entries.end();
    for (auto it = r.entries.begin(); it != r.entries.end(); ++it)
        if (it->kind == Kind::file && it->path == fromPath)
            found = it;
    if (stayRegistered)
    {
        // The entry keeps its place, so that the folders made before the file still go after it.
        if (found != r.entries.end())
            found->path = to.getFullPathName().toStdString();
        else
            addEntry (Kind::file, to.getFullPathName().toStdString(), 0);
    }
    else if (found != r.entries.end())
    {
        r.entries.erase (found);
    }
    return true;
}

void forgetFiles (const juce::Array<juce::File>& files)
{
    std::set<std::string> paths;
    for (const auto& f : files)
        paths.insert (f.getFullPathName().toStdString());
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    r.entries.erase (std::remove_if (r.entries.begin(), r.entries.end(),
                                     [&paths] (const Entry& e) { return e.kind == Kind::file && paths.count (e.path) != 0; }),
                     r.entries.end());
}

juce::File temporaryNameBeside (const juce::File& target)
{
    const auto folder = target.getParentDirectory().getFullPathName();
    const std::string name = target.getFileName().toStdString();
    const std::string suffix = ".tmp-" + randomSuffix();

    // The limit is the folder's own (255 bytes on most file systems, less on a few).
    const long fromSystem = ::pathconf (folder.toRawUTF8(), _PC_NAME_MAX);
    const size_t limit = fromSystem > 0 ? (size_t) fromSystem : 255;
    std::string stem = name;
    if (name.size() <= limit && name.size() + suffix.size() > limit)
    {
        // A name too long for the folder is left whole, so that its refusal is the system's own.
        size_t keep = limit > suffix.size() ? limit - suffix.size() : 0;
        while (keep > 0 && (static_cast<unsigned char> (name[keep]) & 0xC0) == 0x80)
            --keep; // never inside a character's bytes
        stem = name.substr (0, keep);
    }
    const auto temporaryName = stem + suffix; // the bytes of a juce::String, cut at a character boundary
    return juce::File (folder + "/" + utf8::toTextReplacingMalformed (temporaryName.data(), temporaryName.size()));
}

bool makeTemporaryBeside (const juce::File& target, TemporaryFileBeside& out, juce::String& error)
{
    out.remove();
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        const auto candidate = temporaryNameBeside (target);
        int fd = -1;
        if (createRegisteredFile (candidate, fd))
        {
            out.fd = fd;
            out.file = candidate;
            out.registered = true;
            return true;
        }
        const int code = errno;
        if (code != EEXIST)
        {
            error = "could not create temporary file beside " + target.getFullPathName() + ": "
                  + utf8::toTextReplacingMalformed (std::strerror (code));
            errno = code;
            return false;
        }
    }
    error = "could not create temporary file beside " + target.getFullPathName();
    errno = EEXIST;
    return false;
}

bool makeFolderForOutput (const juce::File& folder)
{
    testHooks::stopPoint ("make-folder");
    auto& r = registry();
    std::lock_guard<std::mutex> hold (r.lock);
    if (::mkdir (folder.getFullPathName().toRawUTF8(), 0777) != 0)
        return false;
    addEntry (Kind::emptyFolder, folder.getFullPathName().toStdString(), 0);
    return true;
}

void forgetFolderMadeForOutput (const juce::File& folder)
{
    forgetPath (Kind::emptyFolder, folder.getFullPathName().toStdString());
}

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
