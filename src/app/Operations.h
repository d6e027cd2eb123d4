#pragma once

#include "app/CommandLine.h"

// The operations an invocation is handed to (the dispatch of CommandLine.cpp). Each performs its
// own command-line checks before doing any work and returns its decision (its lines and its exit
// status), which the invocation prints. An operation that reads inputs hands each input's lines to
// stream once that input is done, and the lines it must print before a long step of that input
// before the step; its decision holds what is left.
namespace vornconv::app
{

// WavesOperations.cpp
Decision runWavesSelectionReport (const CommandLineOptions& options);
Decision runWavesConvert (const CommandLineOptions& options);

// SessionReport.cpp
Decision runSessionReport (const CommandLineOptions& options);

// DumpMain.cpp
Decision runDump (const CommandLineOptions& options, const Stream& stream);

// ConversionRunners.cpp: --plan, --convert and --selection-report
Decision runTargetOperation (const CommandLineOptions& options, const Stream& stream);

} // namespace vornconv::app
