#include "vst3catalog/IsolatedReader.h"

#include "model/ChildSpawn.h"
#include "vst3catalog/CatalogInterrupts.h"
#include "vst3catalog/CatalogText.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vornconv::vst3catalog
{
namespace
{

struct Stream
{
    int fd = -1;
    bool open = true;    // false once the child's end is closed
    std::string text;
};

// Reads what the pipe holds now. False on a read error or when the text would outgrow the cap.
bool drain (Stream& stream, std::size_t cap)
{
    char buffer[4096];
    while (stream.open)
    {
        const ssize_t n = ::read (stream.fd, buffer, sizeof (buffer));
        if (n > 0)
        {
            if (static_cast<std::size_t> (n) > cap - stream.text.size())
                return false;
            stream.text.append (buffer, static_cast<std::size_t> (n));
            continue;
        }
        if (n == 0)
        {
            stream.open = false;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        return false;
    }
    return true;
}

bool setNonBlocking (int fd)
{
    const int flags = ::fcntl (fd, F_GETFL);
    return flags >= 0 && ::fcntl (fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void closeFd (int& fd)
{
    if (fd >= 0)
        ::close (fd);
    fd = -1;
}

// In the child, before it execs: the interrupt signals as they were before the tool took them
// over, and the signal mask from before the fork.
void restoreInterruptsInChild (const void* savedMask)
{
    restoreInterrupts (*static_cast<const sigset_t*> (savedMask), true);
}

void killChild (pid_t pid)
{
    ::kill (-pid, SIGKILL);   // its own process group: helpers it started go too
    ::kill (pid, SIGKILL);
}

// Blocks until the child is gone; false when it cannot be waited for.
bool reap (pid_t pid, int& status)
{
    for (;;)
    {
        const pid_t r = ::waitpid (pid, &status, 0);
        if (r == pid)
            return true;
        if (r < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// Splits text at LF; a final LF does not start another line.
template <typename Fn>
void forEachLine (const std::string& text, Fn&& fn)
{
    std::size_t start = 0;
    while (start < text.size())
    {
        const std::size_t end = text.find ('\n', start);
        if (end == std::string::npos)
        {
            fn (text.substr (start), false);
            return;
        }
        fn (text.substr (start, end - start), true);
        start = end + 1;
    }
}

} // namespace

std::string selfExecutablePath (const char* invokedName)
{
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlink ("/proc/self/exe", buffer, PATH_MAX);
    if (n > 0 && n < PATH_MAX)
        return std::string (buffer, static_cast<std::size_t> (n));
    return invokedName != nullptr ? invokedName : std::string();
}

std::string interruptedLine (const std::string& bundlePath, int signalNumber)
{
    return "ERROR\t" + quotedPath (bundlePath) + "\tinterrupted (signal " + std::to_string (signalNumber) + ")\n";
}

std::string outputFailedLine (int systemError)
{
    std::string line = "ERROR\t" + quotedPath ("/dev/stdout") + "\tunable to write catalog rows";
    if (systemError != 0)
        line += std::string (": ") + std::strerror (systemError);
    return line + "\n";
}

namespace
{

// The two pipes the reader writes its rows and its diagnostics into; false, with the error line
// written, when one cannot be made.
bool makePipes (int (&catalogPipe)[2], int (&diagnosticPipe)[2], const std::string& prefix, std::ostream& err)
{
    if (::pipe2 (catalogPipe, O_CLOEXEC) != 0)
    {
        err << prefix << "\tunable to create catalog pipe\n" << std::flush;
        return false;
    }
    if (::pipe2 (diagnosticPipe, O_CLOEXEC) != 0)
    {
        closeFd (catalogPipe[0]);
        closeFd (catalogPipe[1]);
        err << prefix << "\tunable to create diagnostic pipe\n" << std::flush;
        return false;
    }
    return true;
}

// The reader started on the bundle, with the read ends of its pipes non-blocking in catalog and
// diagnostic; false, with the error line written and nothing left open or running, when it
// cannot be.
bool launchReader (const std::string& selfPath, const std::string& bundlePath, const IsolationLimits& limits, int (&catalogPipe)[2],
                   int (&diagnosticPipe)[2], const std::string& prefix, std::ostream& err, pid_t& pid, Stream& catalog, Stream& diagnostic)
{
    // The child gets the two pipes as standard output and error, the tool's standard input, and
    // no other descriptor: a plug-in cannot write to anything the tool's caller left open (the
    // catalog itself, with `3>&1`). A program that cannot be executed makes the child exit 127,
    // which is reported below like any failed reader.
    ChildLaunch launch;
    launch.arguments = { selfPath, "--one", bundlePath };
    launch.standardOutput = catalogPipe[1];
    launch.standardError = diagnosticPipe[1];
    launch.alarmSeconds = limits.childAlarmSeconds;
    sigset_t savedMask;
    launch.prepareChild = restoreInterruptsInChild;
    launch.context = &savedMask;
    blockInterrupts (savedMask);
    const LaunchedChild child = launchChild (launch);
    restoreInterrupts (savedMask, false);
    if (child.pid < 0)
    {
        closeFd (catalogPipe[0]);
        closeFd (catalogPipe[1]);
        closeFd (diagnosticPipe[0]);
        closeFd (diagnosticPipe[1]);
        err << prefix << "\tunable to fork catalog reader\n" << std::flush;
        return false;
    }
    pid = child.pid;
    closeFd (catalogPipe[1]);
    closeFd (diagnosticPipe[1]);
    catalog.fd = catalogPipe[0];
    diagnostic.fd = diagnosticPipe[0];

    if (! setNonBlocking (catalog.fd) || ! setNonBlocking (diagnostic.fd))
    {
        int status = 0;
        killChild (pid);
        reap (pid, status);
        closeFd (catalog.fd);
        closeFd (diagnostic.fd);
        err << prefix << "\tunable to configure catalog pipe\n" << std::flush;
        return false;
    }
    return true;
}

// How the wait for the reader ended: failed (timed out, or its output failed), whether it was
// reaped, the interrupt that stopped the tool, and the status it ended with.
struct ReaderEnd
{
    bool failed = false;
    bool ended = false;
    int interruptedBy = 0;
    int status = 0;
};

// Reads both pipes until the reader ends, the deadline passes, its output fails or outgrows the
// cap, or the tool is interrupted; a reader still running then is killed and reaped.
ReaderEnd waitForReader (pid_t pid, Stream& catalog, Stream& diagnostic, const IsolationLimits& limits)
{
    ReaderEnd end;
    auto& [failed, ended, interruptedBy, status] = end;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds (limits.deadlineMilliseconds);

    for (;;)
    {
        interruptedBy = receivedInterrupt();
        if (interruptedBy != 0)
        {
            killChild (pid);
            reap (pid, status);
            break;
        }

        if (! drain (catalog, limits.outputCap) || ! drain (diagnostic, limits.outputCap))
            failed = true;

        if (! failed)
        {
            const pid_t r = ::waitpid (pid, &status, WNOHANG);
            if (r == pid)
            {
                ended = true;
                if (! drain (catalog, limits.outputCap) || ! drain (diagnostic, limits.outputCap))
                    failed = true;
                break;
            }
            if (r < 0 && errno != EINTR)
            {
                failed = true;
                ended = errno == ECHILD;   // nothing left to reap
            }
        }

        if (failed || std::chrono::steady_clock::now() >= deadline)
        {
            failed = true;
            if (! ended)
            {
                killChild (pid);
                reap (pid, status);
                ended = true;
            }
            break;
        }

        pollfd fds[3];
        nfds_t count = 0;
        for (Stream* stream : { &catalog, &diagnostic })
            if (stream->open)
                fds[count++] = pollfd { stream->fd, POLLIN, 0 };
        if (interruptWakeDescriptor() >= 0)
            fds[count++] = pollfd { interruptWakeDescriptor(), POLLIN, 0 };
        ::poll (count > 0 ? fds : nullptr, count, 50);
    }
    return end;
}

// What the reader's row channel held beside the bundle's own well-formed rows: whether it held
// only those (and some), the lines shown as diagnostics instead, and the first bundle another row
// spoke for.
struct ReaderAnswer
{
    bool clean = false;
    std::string rejected;
    std::string foreignBundle;
};

ReaderAnswer checkAnswer (const std::string& bundlePath, const std::string& text, bool exitedCleanly)
{
    ReaderAnswer answer;
    auto& answerIsClean = answer.clean;
    auto& rejected = answer.rejected;
    auto& foreignBundle = answer.foreignBundle;
    // The child is our own program, but it runs foreign code, which can write to any descriptor
    // it inherited, the row channel included: only well-formed rows of the bundle being read count
    // as an answer. Anything else is shown as a diagnostic and costs the bundle its rows; a row
    // that speaks for another bundle is refused by name, since rows are what prove a class
    // available.
    answerIsClean = ! text.empty();
    if (exitedCleanly)
    {
        const std::string ownPath = catalogBundlePath (bundlePath);
        forEachLine (text, [&] (const std::string& line, bool terminated)
        {
            const bool row = terminated && isCatalogRow (line);
            if (row && rowBundlePathOf (line) == ownPath)
                return;
            answerIsClean = false;
            rejected += line + '\n';
            if (row && foreignBundle.empty())
                foreignBundle = rowBundlePathOf (line);
        });
    }
    return answer;
}

} // namespace

IsolationOutcome catalogBundleIsolated (const std::string& selfPath, const std::string& bundlePath,
                                        const IsolationLimits& limits, std::ostream& out, std::ostream& err)
{
    const std::string prefix = "ERROR\t" + quotedPath (bundlePath);

    int catalogPipe[2] = { -1, -1 };
    int diagnosticPipe[2] = { -1, -1 };
    if (! makePipes (catalogPipe, diagnosticPipe, prefix, err))
        return bundleFailed;

    out.flush();
    err.flush();

    pid_t pid = -1;
    Stream catalog, diagnostic;
    if (! launchReader (selfPath, bundlePath, limits, catalogPipe, diagnosticPipe, prefix, err, pid, catalog, diagnostic))
        return bundleFailed;

    const auto end = waitForReader (pid, catalog, diagnostic, limits);
    const bool failed = end.failed;
    const int interruptedBy = end.interruptedBy, status = end.status;

    closeFd (catalog.fd);
    closeFd (diagnostic.fd);

    const bool exitedCleanly = ! failed && interruptedBy == 0 && WIFEXITED (status) && WEXITSTATUS (status) == 0;

    const auto [answerIsClean, rejected, foreignBundle] = checkAnswer (bundlePath, catalog.text, exitedCleanly);
    const std::string diagnosticText = diagnostic.text + rejected;

    if (! diagnosticText.empty())
    {
        err << "DIAGNOSTIC\t" << quotedPath (bundlePath) << '\n';
        forEachLine (diagnosticText, [&err] (const std::string& line, bool)
        {
            err << "DIAGNOSTIC\t" << line << '\n';
        });
        err.flush();
    }

    if (interruptedBy != 0)
    {
        err << interruptedLine (bundlePath, interruptedBy) << std::flush;
        return bundleInterrupted;
    }
    if (failed)
    {
        err << prefix << "\tcatalog reader timed out or output failed\n" << std::flush;
        return bundleFailed;
    }
    if (exitedCleanly && ! foreignBundle.empty())
    {
        err << prefix << "\tcatalog row for another bundle refused: " << quotedPath (foreignBundle) << '\n' << std::flush;
        return bundleFailed;
    }
    if (exitedCleanly && answerIsClean)
    {
        errno = 0;
        out << catalog.text << std::flush;
        if (! out)
        {
            err << outputFailedLine (errno) << std::flush;
            return catalogOutputFailed;
        }
        return bundleRead;
    }
    err << prefix << "\tisolation reader failed";
    if (WIFSIGNALED (status))
        err << " (signal " << WTERMSIG (status) << ")";
    err << '\n' << std::flush;
    return bundleFailed;
}

} // namespace vornconv::vst3catalog
