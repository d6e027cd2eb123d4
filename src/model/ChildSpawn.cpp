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
#include <sys/resource.h>
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

[[noreturn]] void runChild (const ChildLaunch& launch, char* const* argv, pid_t parent, int reportFd)
{
   #if defined(__linux__)
    // A child must not outlive its parent, even one killed without a chance to clean up. The
    // parent may be gone before the request is in place: then nobody would ever end the child.
    if (::prctl (PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
        ::_exit (127);
   #else
    if (::getppid() != parent)
        ::_exit (127);
   #endif
    if (launch.forkInOwnGroup == nullptr)
        ::setpgid (0, 0);
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
