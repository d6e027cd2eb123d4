#include "vst3catalog/CatalogInterrupts.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vornconv::vst3catalog
{
namespace
{

const int watchedSignals[] = { SIGINT, SIGTERM, SIGHUP };

constexpr int watchedCount = sizeof (watchedSignals) / sizeof (watchedSignals[0]);

// What each signal did before the tool took it over: a child gets this back before exec.
struct sigaction originalActions[watchedCount];

volatile std::sig_atomic_t received = 0;
int wakeRead = -1;
int wakeWrite = -1;
bool watching = false;

// Only async-signal-safe work: note the signal and write one byte to the wake-up pipe (which
// never blocks; a full pipe already wakes the reader).
void onInterrupt (int signalNumber)
{
    const int savedErrno = errno;
    if (received == 0)
        received = signalNumber;
    if (wakeWrite >= 0)
    {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write (wakeWrite, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

void watchInterrupts()
{
    if (watching)
        return;
    watching = true;

    // Without the pipe a signal is still noticed, at the latest when the wait for the child
    // next wakes up on its own.
    int ends[2];
    if (::pipe2 (ends, O_CLOEXEC | O_NONBLOCK) == 0)
    {
        wakeRead = ends[0];
        wakeWrite = ends[1];
    }

    struct sigaction action {};
    action.sa_handler = onInterrupt;
    ::sigemptyset (&action.sa_mask);
    for (int signalNumber : watchedSignals)
        ::sigaddset (&action.sa_mask, signalNumber);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < watchedCount; ++i)
    {
        // A signal ignored from the start (nohup, a background job) stays ignored.
        if (::sigaction (watchedSignals[i], nullptr, &originalActions[i]) == 0
            && originalActions[i].sa_handler == SIG_IGN)
            continue;
        ::sigaction (watchedSignals[i], &action, nullptr);
    }
}

int receivedInterrupt()
{
    return received;
}

int interruptWakeDescriptor()
{
    return wakeRead;
}

void blockInterrupts (sigset_t& previous)
{
    sigset_t set;
    ::sigemptyset (&set);
    for (int signalNumber : watchedSignals)
        ::sigaddset (&set, signalNumber);
    ::sigprocmask (SIG_BLOCK, &set, &previous);
}

void restoreInterrupts (const sigset_t& previous, bool inChild)
{
    if (inChild && watching)
        for (int i = 0; i < watchedCount; ++i)
            ::sigaction (watchedSignals[i], &originalActions[i], nullptr);
    ::sigprocmask (SIG_SETMASK, &previous, nullptr);
}

} // namespace vornconv::vst3catalog
