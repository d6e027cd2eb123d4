#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Runs an untrusted helper program as a child process and collects what it prints, without
// ever waiting on it for longer than a deadline or holding more of its output than a cap.
//
// The child gets its own process group, /dev/null as standard input and one pipe for standard
// output and standard error together, and no other descriptor: neither one of ours (so children
// started at the same time from several threads never hold each other's pipes open) nor one our
// caller left open. Whatever the outcome, the child is reaped before the call returns, and
// anything left in its process group (helpers it started itself) is killed.
namespace vornconv::rapp
{

enum class ProcessOutcome
{
    exited,         // ended on its own; exitCode holds its status
    signalled,      // ended by a signal (a crash); signalNumber holds it
    timedOut,       // still running at the deadline; killed
    outputTooLarge, // printed more than the cap; killed
    startFailed     // could not be started at all (missing, not executable, no resources)
};

struct ProcessRun
{
    ProcessOutcome outcome = ProcessOutcome::startFailed;
    int exitCode = -1;
    int signalNumber = 0;
    int startError = 0; // startFailed: the system's reason (an errno), when it gave one
    std::string output; // standard output and standard error as they arrived, at most the cap
};

// arguments[0] is the program path (not searched for in PATH; a relative one is taken from the
// folder the child starts in). The child starts in workingDirectory when it is given, else in the
// caller's working folder; a folder it cannot enter means it is not started. timeoutMs below 1
// counts as 1.
//
// The child's process group ends with the caller in any case: a caller killed outright (where the
// system tells a process of its parent's death) takes the group with it, whatever the child
// started in it, and then workingDirectory too when workingDirectoryIsPrivate (a folder the caller
// made for the child alone, removed with everything in it).
ProcessRun runIsolatedProcess (const std::vector<std::string>& arguments, int timeoutMs, std::size_t outputCap,
                               const std::string& workingDirectory = {}, bool workingDirectoryIsPrivate = false);

} // namespace vornconv::rapp
