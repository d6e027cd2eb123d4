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

// Starts selfPath with "--one" and the bundle path, collects its rows and diagnostics, and
// prints rows to out (only when the child ended with exit code 0 and a clean answer) and the
// DIAGNOSTIC and ERROR lines to err. Returns 0 when the bundle was read, else 1.
int catalogBundleIsolated (const std::string& selfPath, const std::string& bundlePath,
                           const IsolationLimits& limits, std::ostream& out, std::ostream& err);

} // namespace vornconv::vst3catalog
