#pragma once

// Reading one bundle in a child process of its own, so that a plug-in that crashes, hangs or
// floods its output costs only its own rows.

#include <cstddef>
#include <ostream>
#include <string>

namespace vornconv::vst3catalog
{

struct IsolationLimits
{
    unsigned childAlarmSeconds = 15;          // SIGALRM in the child
    long long deadlineMilliseconds = 20000;   // the parent kills the child after this
    std::size_t outputCap = 16777216;         // bytes per output stream of the child
};

// The program to start for each bundle: the running executable itself (so that a start through
// PATH works), falling back to the invoked name when the system cannot tell.
std::string selfExecutablePath (const char* invokedName);

enum IsolationOutcome
{
    bundleRead = 0,
    bundleFailed = 1,
    bundleInterrupted = 2,      // a watched signal came; the child is gone and the line printed
    catalogOutputFailed = 3,    // the rows could not be written to out; the line printed
};

// The ERROR line for a bundle whose reading was stopped by signal signalNumber.
std::string interruptedLine (const std::string& bundlePath, int signalNumber);

// The ERROR line for rows that could not be written to standard output; systemError is the
// errno of the failure, or 0 when it is not known.
std::string outputFailedLine (int systemError);

// Starts selfPath with "--one" and the bundle path, collects its rows and diagnostics, and
// prints rows to out (only when the child ended with exit code 0 and a clean answer) and the
// DIAGNOSTIC and ERROR lines to err. A signal noted by the interrupt watch (see
// CatalogInterrupts.h) ends the child's process group at once. The child is killed when this
// process dies, however it dies.
IsolationOutcome catalogBundleIsolated (const std::string& selfPath, const std::string& bundlePath,
                                        const IsolationLimits& limits, std::ostream& out, std::ostream& err);

} // namespace vornconv::vst3catalog
