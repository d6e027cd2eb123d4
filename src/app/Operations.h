#pragma once

#include "app/CommandLine.h"

// The operations main hands an invocation to. Each returns the exit status (0 or 1) and
// performs its own command-line checks before doing any work.
namespace vornconv::app
{

int runWavesSelectionReport (const CommandLineOptions& options);
int runWavesConvert (const CommandLineOptions& options);
int runSessionReport (const CommandLineOptions& options);
int runDump (const CommandLineOptions& options);
int runTargetOperation (const CommandLineOptions& options);

} // namespace vornconv::app
