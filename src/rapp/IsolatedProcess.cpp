// Runs an untrusted helper program as a child and collects what it prints, never waiting past a
// deadline or holding more than a cap. The child is forked into a process group of its own
// (registered, so an interrupted run kills it) whose keeper ends the whole group when we die
// without a chance to (and takes a private working folder with it), starts in the working folder
// asked for, gets /dev/null as input, one close-on-exec pipe for its output and no other descriptor,
// and reports a failed exec back (both through the spawn both programs share, ChildSpawn). The parent polls in short slices, so a child that has ended is
// noticed even while something it started still holds the pipe open; the whole group is killed
// and the child reaped on every way out.
//
// The file holds, in order: the descriptor holder, reading without blocking, the
// ended-but-not-reaped check, the child's signals and the spawn (private), then
// runIsolatedProcess.

#include "rapp/IsolatedProcess.h"

#include "model/ChildSpawn.h"
#include "model/PrivateFiles.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vornconv::rapp
{

namespace
{

using Clock = std::chrono::steady_clock;

// How long one wait for output may last before we look whether the child has ended: a child can
// end while something it started still holds the pipe open, and that must not cost the deadline.
constexpr int waitSliceMs = 20;

struct Descriptor
{
    int fd = -1;
    ~Descriptor() { closeNow(); }
    void closeNow()
    {
        if (fd >= 0)
            ::close (fd);
        fd = -1;
    }
};

enum class ReadState { more, drained, ended, capped };

// Reads what is there without blocking; stops at the cap.
ReadState readAvailable (int fd, std::string& output, std::size_t cap)
{
    char buffer[65536];
    for (;;)
    {
        const auto n = ::read (fd, buffer, sizeof (buffer));
        if (n > 0)
        {
            const auto room = cap - output.size();
            if ((std::size_t) n > room)
            {
                output.append (buffer, room);
                return ReadState::capped;
            }
            output.append (buffer, (std::size_t) n);
            continue;
        }
        if (n == 0)
            return ReadState::ended;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return ReadState::drained;
        return ReadState::ended;
    }
}

// True once the child has ended; it stays a zombie (not reaped), so its pid and process group id
// cannot be taken by another process before we have killed the group.
bool hasEnded (pid_t pid)
{
    siginfo_t info {};
    info.si_pid = 0;
    return ::waitid (P_PID, (id_t) pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// What a probe must not inherit from us: the interrupt signals blocked (the one thread that
// cleans up after them waits for them), a handler of ours, or children reaped unseen. The
// interrupt signals keep the actions the run itself was started with: one its caller ignores
// stays ignored. Only async-signal-safe calls.
void giveSignalsBack (const void*)
{
    for (int s : { SIGPIPE, SIGCHLD })
        ::signal (s, SIG_DFL);
    sigset_t noSignals;
    sigemptyset (&noSignals);
    ::sigprocmask (SIG_SETMASK, &noSignals, nullptr);
}

// Starts the child in its own process group, registered so that an interrupted run kills it,
// with /dev/null as input, outputFd as output and error and no other descriptor. False with the
// system's reason in startError when it could not be started.
bool spawnChild (const std::vector<std::string>& arguments, const std::string& workingDirectory, bool privateFolder, int outputFd,
                 pid_t& pid, int& startError)
{
    Descriptor input { ::open ("/dev/null", O_RDONLY | O_CLOEXEC) };
    if (input.fd < 0)
    {
        startError = errno;
        return false;
    }
    ChildLaunch launch;
    launch.arguments = arguments;
    launch.standardInput = input.fd;
    launch.standardOutput = outputFd;
    launch.standardError = outputFd;
    launch.workingDirectory = workingDirectory;
    launch.forkInOwnGroup = forkChildInOwnGroup;
    launch.prepareChild = giveSignalsBack;
    launch.keepGroup = true;
    if (privateFolder)
        launch.removeWithGroup = workingDirectory;
    const auto child = launchChild (launch);
    startError = child.startError;
    if (child.pid < 0)
        return false;
    pid = child.pid;
    if (child.startError == 0)
        return true; // the program runs

    int status = 0;
    while (::waitpid (pid, &status, 0) < 0 && errno == EINTR)
    {
    }
    forgetChildGroup (pid);
    return false;
}

} // namespace

ProcessRun runIsolatedProcess (const std::vector<std::string>& arguments, int timeoutMs, std::size_t outputCap,
                               const std::string& workingDirectory, bool workingDirectoryIsPrivate)
{
    ProcessRun run;
    if (arguments.empty() || arguments[0].empty())
        return run;

    int ends[2];
    if (::pipe2 (ends, O_CLOEXEC) != 0)
    {
        run.startError = errno;
        return run;
    }
    Descriptor readEnd { ends[0] };
    Descriptor writeEnd { ends[1] };
    if (::fcntl (readEnd.fd, F_SETFL, O_NONBLOCK) != 0)
    {
        run.startError = errno;
        return run;
    }

    pid_t pid = -1;
    if (! spawnChild (arguments, workingDirectory, workingDirectoryIsPrivate, writeEnd.fd, pid, run.startError))
        return run;
    writeEnd.closeNow(); // only the child may hold the write end, or the end of output is never seen

    const auto deadline = Clock::now() + std::chrono::milliseconds (timeoutMs < 1 ? 1 : timeoutMs);
    enum class Ending { ended, timedOut, capped } ending = Ending::ended;
    bool outputEnded = false;

    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - Clock::now()).count();
        const int slice = (int) (left < 0 ? 0 : (left < waitSliceMs ? left : waitSliceMs));
        if (! outputEnded)
        {
            pollfd p { readEnd.fd, POLLIN, 0 };
            if (::poll (&p, 1, slice) > 0)
            {
                const auto state = readAvailable (readEnd.fd, run.output, outputCap);
                if (state == ReadState::capped)
                {
                    ending = Ending::capped;
                    break;
                }
                outputEnded = state == ReadState::ended;
            }
        }
        else
        {
            ::poll (nullptr, 0, slice);
        }

        if (hasEnded (pid))
        {
            // What the child wrote before it ended is still in the pipe.
            if (! outputEnded && readAvailable (readEnd.fd, run.output, outputCap) == ReadState::capped)
                ending = Ending::capped;
            break;
        }
        if (Clock::now() >= deadline)
        {
            ending = Ending::timedOut;
            break;
        }
    }

    // The whole group goes: the child when it is still running, and whatever it left behind.
    ::kill (-pid, SIGKILL);
    int status = 0;
    pid_t reaped = -1;
    do
        reaped = ::waitpid (pid, &status, 0);
    while (reaped < 0 && errno == EINTR);
    forgetChildGroup (pid);

    if (ending == Ending::timedOut)
        run.outcome = ProcessOutcome::timedOut;
    else if (ending == Ending::capped)
        run.outcome = ProcessOutcome::outputTooLarge;
    else if (reaped == pid && WIFEXITED (status))
    {
        run.outcome = ProcessOutcome::exited;
        run.exitCode = WEXITSTATUS (status);
    }
    else
    {
        run.outcome = ProcessOutcome::signalled;
        run.signalNumber = WIFSIGNALED (status) ? WTERMSIG (status) : 0;
    }
    return run;
}

} // namespace vornconv::rapp
