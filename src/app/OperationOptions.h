#pragma once

#include "app/CommandLine.h"
#include "rapp/ParameterMirrorHydrator.h"

// What each operation takes from the command line, and the checks of the options given against
// it, all before anything runs: a run does what was asked or is refused by name.
namespace vornconv::app
{

struct Host;

enum class Operation
{
    dump,                   // no operation: the dump of each input
    exportStates,           // --export-states
    sessionReport,          // --session-report
    plan,                   // --plan <target>
    convert,                // --convert <target>
    selectionReport,        // --selection-report <target>
    wavesSelectionReport,   // --waves-selection-report <target>
    wavesConvert            // --waves-convert <target>
};

// The one operation the options ask for; the count of operations is checked before.
Operation operationOf (const CommandLineOptions& options);

// Each check fails with its one refusal.

// An option word taken as the value of the option before it, which was left without its own
// ("--plan takes a target word; got --factory-catalog").
Expected<void> checkOptionWordsAsValues (const CommandLineOptions& options);

// An option given twice ("--output is given twice; give it once"): no later one silently wins.
Expected<void> checkRepeatedOptions (const CommandLineOptions& options);

// The options against the operation: an option it does not take, and for the operations toward a
// target (host, null for the others) one the target's host does not take, is refused naming what
// takes it.
Expected<void> checkOptionsOfOperation (const CommandLineOptions& options, Operation operation, const Host* host);

// The paths given to options, once the operation's own checks of which options it needs are done:
// a folder where the option reads or writes a file is refused as a folder, and a selection,
// template or probe program that the operation reads (plan, convert, --waves-convert) and that is
// not there as not found.
Expected<void> checkOptionPaths (const CommandLineOptions& options, Operation operation);

// The refusal of the file given to an option, from its loader's error (which names the file): the
// option, the error, and, when the file is there but is not what the option reads, what the
// option takes ("--factory-catalog: invalid factory catalog row ... at line 1 of /x/c.ini;
// --factory-catalog takes a catalog as vornvst3catalog prints it"). A refusal of several lines
// gets these words on its first.
juce::String optionFileRefusal (const juce::String& option, const juce::File& file, const juce::String& error);

// The refusal of a parameter mirror preparation that failed for its probe program or its cache
// folder (fault), as optionFileRefusal gives it for --plugin-probe or --parameter-cache; any other
// error as it is.
juce::String mirrorInputRefusal (rapp::MirrorInputFault fault, const juce::File& probeProgram, const juce::File& cacheDir,
                                 const juce::String& error);

} // namespace vornconv::app
