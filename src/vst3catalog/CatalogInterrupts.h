#pragma once

// Stopping the catalog tool on SIGINT, SIGTERM and SIGHUP without leaving a plug-in child behind.
//
// The child that loads a plug-in runs in a process group of its own, so a terminal's interrupt
// never reaches it and the default action of these signals would end the tool and orphan it.
// Instead the handler only notes the signal and wakes the wait for the child through a pipe; the
// tool then kills the child's group, reaps it, reports the interruption and exits 1.

#include <csignal>

namespace vornconv::vst3catalog
{

// Installs the handlers for SIGINT, SIGTERM and SIGHUP (once per process; a signal that was
// ignored when the tool started stays ignored). Without them the functions below report no
// interruption and no descriptor.
void watchInterrupts();

// The first of these signals received since watchInterrupts, or 0.
int receivedInterrupt();

// A descriptor that becomes readable once a signal was received, or -1.
int interruptWakeDescriptor();

// Blocks the three signals (keeping the previous mask in previous), so that a fork cannot hand a
// child a pending signal meant for the tool or run the tool's handler in the child.
void blockInterrupts (sigset_t& previous);

// Restores the mask saved by blockInterrupts; in a child it first gives the three signals back
// the actions they had before watchInterrupts. Only async-signal-safe calls, so it may run between fork and exec.
void restoreInterrupts (const sigset_t& previous, bool inChild);

} // namespace vornconv::vst3catalog
