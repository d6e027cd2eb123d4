// One way to start a child for both programs: fork, then in the child only async-signal-safe
// calls up to the exec (the death signal, the process group, the caller's signal set-up, the
// alarm, the descriptors, the working folder), and a failed exec reported back through a
// close-on-exec pipe, so that "could not be started" stays told apart from a child that ran.
//
// The file holds, in order: closing descriptors (with and without close_range), putting the
// standard descriptors in place, the child's side, then launchChild.

#include "model/ChildSpawn.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
 #include <sys/prctl.h>
 #include <sys/syscall.h>
#endif

extern char** environ;

namespace vornconv
{
namespace
{

// The descriptor that carries a failed exec's errno back to the parent, once the child has put
// its standard descriptors in place.
constexpr int reportDescriptor = 3;

#if defined(__linux__)
// One record of getdents64, as the kernel lays it out.
struct DirectoryRecord
{
    std::uint64_t inode;
    std::int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// The descriptor a /proc/self/fd name stands for, or -1 for "." and "..".
int descriptorNamed (const char* name) noexcept
{
    if (*name < '0' || *name > '9')
        return -1;
    int fd = 0;
    for (; *name >= '0' && *name <= '9'; ++name)
        fd = fd * 10 + (*name - '0');
    return fd;
}

// Closes what /proc/self/fd lists from first up; false when the list cannot be read.
bool closeListedDescriptors (int first) noexcept
{
    const int listing = ::open ("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0)
        return false;
    // Closing a descriptor behind the listing's position leaves the ones after it listed.
    alignas (8) char buffer[4096];
    for (;;)
    {
        const long n = ::syscall (SYS_getdents64, listing, buffer, sizeof (buffer));
        if (n <= 0)
            break;
        for (long at = 0; at < n;)
        {
            const auto* record = reinterpret_cast<const DirectoryRecord*> (buffer + at);
            const int fd = descriptorNamed (record->name);
            if (fd >= first && fd != listing)
                ::close (fd);
            at += record->length;
        }
    }
    ::close (listing);
    return true;
}
#endif

// Puts source at the standard number target unless it is -1; the copy made by dup2 is handed on
// across exec.
bool placeStandard (int source, int target) noexcept
{
    return source < 0 || ::dup2 (source, target) == target;
}

// The three standard descriptors from the sources, the report descriptor at reportDescriptor
// (close-on-exec), everything else closed. Every source is first copied above the numbers it may
// have to give up, so that putting one in place never overwrites another. 0 or errno; reportFd
// follows the report descriptor wherever it is.
int placeDescriptors (const ChildLaunch& launch, int& reportFd) noexcept
{
    const int sources[3] = { launch.standardInput, launch.standardOutput, launch.standardError };
    int copies[3] = { -1, -1, -1 };
    const int reportCopy = ::fcntl (reportFd, F_DUPFD_CLOEXEC, reportDescriptor + 1);
    if (reportCopy < 0)
        return errno;
    reportFd = reportCopy;
    for (int i = 0; i < 3; ++i)
        if (sources[i] >= 0 && (copies[i] = ::fcntl (sources[i], F_DUPFD_CLOEXEC, reportDescriptor + 1)) < 0)
            return errno;
    for (int i = 0; i < 3; ++i)
        if (! placeStandard (copies[i], i))
            return errno;
    if (reportCopy != reportDescriptor)
    {
       #if defined(__linux__)
        if (::dup3 (reportCopy, reportDescriptor, O_CLOEXEC) != reportDescriptor)
            return errno;
       #else
        if (::dup2 (reportCopy, reportDescriptor) != reportDescriptor || ::fcntl (reportDescriptor, F_SETFD, FD_CLOEXEC) != 0)
            return errno;
       #endif
        reportFd = reportDescriptor;
    }
    closeDescriptorsFrom (reportDescriptor + 1);
    return 0;
}

// The child's side from its own signal set-up on: the caller's set-up, the alarm, the
// descriptors, the working folder and the exec, whose failure goes back through reportFd.
[[noreturn]] void startProgram (const ChildLaunch& launch, char* const* argv, int reportFd)
{
    if (launch.prepareChild != nullptr)
        launch.prepareChild (launch.context);
    if (launch.alarmSeconds > 0)
    {
        // The alarm must be able to end the child whatever this process inherited.
        struct sigaction defaultAction {};
        defaultAction.sa_handler = SIG_DFL;
        ::sigemptyset (&defaultAction.sa_mask);
        ::sigaction (SIGALRM, &defaultAction, nullptr);
        sigset_t alarmOnly;
        ::sigemptyset (&alarmOnly);
        ::sigaddset (&alarmOnly, SIGALRM);
        ::sigprocmask (SIG_UNBLOCK, &alarmOnly, nullptr);
        ::alarm (launch.alarmSeconds);
    }
    int failure = placeDescriptors (launch, reportFd);
    if (failure == 0 && ! launch.workingDirectory.empty() && ::chdir (launch.workingDirectory.c_str()) != 0)
        failure = errno;
    if (failure == 0)
    {
        ::execve (argv[0], argv, environ);
        failure = errno;
    }
    (void) ! ::write (reportFd, &failure, sizeof failure);
    ::_exit (127);
}

#if defined(__linux__)
// What tells the keeper of a group that its caller has died.
constexpr int callerDeathSignal = SIGUSR1;

// Removes name in parent (a folder's handle, or AT_FDCWD) and, when it is a folder, everything in
// it, at most depth folders deep, never following a link. A folder written into meanwhile gets a
// few passes. Only async-signal-safe calls.
void removeTreeAt (int parent, const char* name, int depth) noexcept
{
    if (::unlinkat (parent, name, 0) == 0 || errno == ENOENT || depth <= 0)
        return;
    const int folder = ::openat (parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return;
    alignas (8) char buffer[2048];
    for (int pass = 0; pass < 3; ++pass)
    {
        bool found = false;
        ::lseek (folder, 0, SEEK_SET);
        for (;;)
        {
            const long n = ::syscall (SYS_getdents64, folder, buffer, sizeof (buffer));
            if (n <= 0)
                break;
            for (long at = 0; at < n;)
            {
                const auto* record = reinterpret_cast<const DirectoryRecord*> (buffer + at);
                at += record->length;
                const char* entry = record->name;
                if (entry[0] == '.' && (entry[1] == 0 || (entry[1] == '.' && entry[2] == 0)))
                    continue;
                found = true;
                removeTreeAt (folder, entry, depth - 1);
            }
        }
        if (! found)
            break;
    }
    ::close (folder);
    ::unlinkat (parent, name, AT_REMOVEDIR);
}

// The caller died before the group ended: the program and everything in its group go, and with
// them the folder of the program's own. A process of its own, in a group of its own, removes the
// folder once the group is gone (nothing of the group then writes into it any more); the keeper
// waits until that process has left the group, then kills the group and itself.
[[noreturn]] void endGroupWithoutCaller (pid_t program, const std::string& folder)
{
    if (program > 0)
        ::kill (program, SIGKILL);
    const pid_t group = ::getpgrp();
    int ready[2];
    if (! folder.empty() && ::pipe2 (ready, O_CLOEXEC) == 0)
    {
        const pid_t remover = ::fork();
        if (remover == 0)
        {
            ::setpgid (0, 0);
            ::close (ready[0]);
            ::close (ready[1]); // the keeper reads the end of the pipe once this is gone
            const timespec pause { 0, 10 * 1000 * 1000 };
            for (int waited = 0; waited < 500 && ::kill (-group, 0) == 0; ++waited)
                ::nanosleep (&pause, nullptr);
            removeTreeAt (AT_FDCWD, folder.c_str(), 64);
            ::_exit (0);
        }
        ::close (ready[1]);
        char ignored;
        while (remover > 0 && ::read (ready[0], &ignored, 1) < 0 && errno == EINTR)
        {
        }
        ::close (ready[0]);
    }
    ::kill (0, SIGKILL);
    ::_exit (1);
}

// Ends the keeper the way its program ended: the same exit status, or the same signal (with no
// core file of the keeper's own).
[[noreturn]] void endAsProgramEnded (int status)
{
    if (WIFSIGNALED (status))
    {
        const int signalNumber = WTERMSIG (status);
        const struct rlimit noCore { 0, 0 };
        ::setrlimit (RLIMIT_CORE, &noCore);
        ::signal (signalNumber, SIG_DFL);
        sigset_t only;
        ::sigemptyset (&only);
        ::sigaddset (&only, signalNumber);
        ::sigprocmask (SIG_UNBLOCK, &only, nullptr);
        ::raise (signalNumber);
        ::_exit (128 + signalNumber);
    }
    ::_exit (WIFEXITED (status) ? WEXITSTATUS (status) : 127);
}

// The keeper of the child's process group (ChildLaunch::keepGroup): it stays the group's leader,
// starts the program in a child of its own and passes on how it ended; should the caller die
// first, it ends the whole group (endGroupWithoutCaller).
[[noreturn]] void keepGroup (const ChildLaunch& launch, char* const* argv, pid_t parent, int reportFd)
{
    sigset_t waited, inherited;
    ::sigemptyset (&waited);
    ::sigaddset (&waited, callerDeathSignal);
    ::sigaddset (&waited, SIGCHLD);
    ::sigprocmask (SIG_BLOCK, &waited, &inherited);
    ::signal (SIGCHLD, SIG_DFL);
    if (::prctl (PR_SET_PDEATHSIG, callerDeathSignal) != 0)
        ::_exit (127);
    if (::getppid() != parent)
        endGroupWithoutCaller (-1, launch.removeWithGroup);

    const pid_t keeper = ::getpid();
    const pid_t program = ::fork();
    if (program == 0)
    {
        // The program dies with its keeper, and gets the mask the keeper was started with.
        if (::prctl (PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != keeper)
            ::_exit (127);
        ::sigprocmask (SIG_SETMASK, &inherited, nullptr);
        startProgram (launch, argv, reportFd);
    }
    if (program < 0)
    {
        const int failure = errno;
        (void) ! ::write (reportFd, &failure, sizeof failure);
        ::_exit (127);
    }
    // The keeper holds nothing: the end of the program's output and of its start report is seen
    // as soon as the program's side lets go of them.
    closeDescriptorsFrom (0);
    for (;;)
    {
        siginfo_t info {};
        const int got = ::sigwaitinfo (&waited, &info);
        int status = 0;
        if (got == SIGCHLD && ::waitpid (program, &status, WNOHANG) == program)
            endAsProgramEnded (status);
        if (got == callerDeathSignal && ::getppid() != parent)
            endGroupWithoutCaller (program, launch.removeWithGroup);
    }
}
#endif

[[noreturn]] void runChild (const ChildLaunch& launch, char* const* argv, pid_t parent, int reportFd)
{
   #if defined(__linux__)
    if (launch.forkInOwnGroup == nullptr)
        ::setpgid (0, 0);
    if (launch.keepGroup)
        keepGroup (launch, argv, parent, reportFd);
    // A child must not outlive its parent, even one killed without a chance to clean up. The
    // parent may be gone before the request is in place: then nobody would ever end the child.
    if (::prctl (PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
        ::_exit (127);
   #else
    if (::getppid() != parent)
        ::_exit (127);
    if (launch.forkInOwnGroup == nullptr)
        ::setpgid (0, 0);
   #endif
    startProgram (launch, argv, reportFd);
}

} // namespace

void closeDescriptorsOneByOne (int first) noexcept
{
   #if defined(__linux__)
    if (closeListedDescriptors (first))
        return;
   #endif
    struct rlimit limit {};
    const rlim_t last = ::getrlimit (RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur : 65536;
    for (rlim_t fd = (rlim_t) first; fd < last; ++fd)
        ::close ((int) fd);
}

void closeDescriptorsFrom (int first) noexcept
{
   #if defined(__linux__)
    if (::close_range ((unsigned) first, ~0U, 0) == 0)
        return;
   #endif
    closeDescriptorsOneByOne (first);
}

LaunchedChild launchChild (const ChildLaunch& launch)
{
    LaunchedChild child;
    if (launch.arguments.empty() || launch.arguments[0].empty())
    {
        child.startError = ENOENT;
        return child;
    }
    // Everything the child needs is made before the fork: after it only async-signal-safe calls.
    std::vector<char*> argv;
    argv.reserve (launch.arguments.size() + 1);
    for (const auto& a : launch.arguments)
        argv.push_back (const_cast<char*> (a.c_str()));
    argv.push_back (nullptr);

    int report[2];
   #if defined(__linux__)
    const bool piped = ::pipe2 (report, O_CLOEXEC) == 0;
   #else
    const bool piped = ::pipe (report) == 0 && ::fcntl (report[0], F_SETFD, FD_CLOEXEC) == 0
                    && ::fcntl (report[1], F_SETFD, FD_CLOEXEC) == 0;
   #endif
    if (! piped)
    {
        child.startError = errno;
        return child;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = launch.forkInOwnGroup != nullptr ? launch.forkInOwnGroup() : ::fork();
    if (pid == 0)
    {
        ::close (report[0]);
        runChild (launch, argv.data(), parent, report[1]);
    }
    const int forkError = errno;
    ::close (report[1]);
    if (pid < 0)
    {
        ::close (report[0]);
        child.startError = forkError;
        return child;
    }
    if (launch.forkInOwnGroup == nullptr)
        ::setpgid (pid, pid); // either side may run first; both make the group

    child.pid = pid;
    int failure = 0;
    ssize_t got;
    do
        got = ::read (report[0], &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    ::close (report[0]);
    if (got != 0) // the exec closes the pipe; anything else is a child that did not get there
        child.startError = got == (ssize_t) sizeof failure && failure != 0 ? failure : EIO;
    return child;
}

} // namespace vornconv
