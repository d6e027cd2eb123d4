#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Starting a child program that gets standard input, output and error and no other descriptor:
// whatever the caller of our program left open (a log, another program's pipe, `3>&1`), and
// whatever another thread of ours has open at that moment, stays out of reach of the program we
// start and of the plug-in it may load. Both programs start their children here: vornconv its
// parameter probe, vornvst3catalog its isolated bundle reader. Plain POSIX without JUCE, so that
// the catalog tool, which links nothing else of the converter, builds it too.
namespace vornconv
{

struct ChildLaunch
{
    std::vector<std::string> arguments; // [0] is the program's path, not searched for in PATH

    // The descriptors that become the child's 0, 1 and 2 (one may be given for several); -1
    // leaves the caller's own in place.
    int standardInput = -1;
    int standardOutput = -1;
    int standardError = -1;

    std::string workingDirectory; // empty: the caller's; one the child cannot enter means no exec
    unsigned alarmSeconds = 0;    // SIGALRM, its default action restored and unblocked, after so many seconds; 0: none

    // Forks into a process group of the child's own in the caller's way (registering it, say);
    // null: fork(), and both sides make the group.
    pid_t (*forkInOwnGroup)() = nullptr;

    // The caller's signal set-up in the child, before anything else is changed there; only
    // async-signal-safe calls.
    void (*prepareChild) (const void* context) = nullptr;
    const void* context = nullptr;

    // Where the system offers a parent-death signal (Linux): the child stays the leader of its
    // process group, as the group's keeper, and runs the program in a child of its own (which
    // dies with the keeper), passing on how it ended (its exit status, or its signal). Should the
    // caller die first without ending the group itself (killed outright), the keeper kills the
    // whole group, whatever the program started in it included, and removeWithGroup, a folder of
    // the program's own (when not empty), is removed with everything in it once the group is
    // gone. Elsewhere the child runs the program itself.
    bool keepGroup = false;
    std::string removeWithGroup;
};

struct LaunchedChild
{
    pid_t pid = -1;     // -1: no child was made (startError says why)
    int startError = 0; // with a pid: the program could not be executed (errno); the child has exited with 127 and is still to be reaped
};

// Forks, and in the child: enters its own process group, asks to be killed when the caller dies
// (and stops at once when it is gone already), or keeps its group (keepGroup), then, in the child
// that runs the program, runs prepareChild, sets the alarm, puts the three standard descriptors
// in place, closes every other descriptor, enters the working folder and executes the program
// with the caller's environment. Returns once the program runs or has failed to start.
LaunchedChild launchChild (const ChildLaunch& launch);

// Closes every descriptor from first up: close_range, or, where the system lacks it, each one
// that /proc/self/fd lists (every number below the descriptor limit without /proc). Only
// async-signal-safe calls, so a child may call it between fork and exec.
void closeDescriptorsFrom (int first) noexcept;

// The way without close_range on its own, so that tests can try it where close_range works.
void closeDescriptorsOneByOne (int first) noexcept;

} // namespace vornconv
