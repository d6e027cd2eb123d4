#pragma once

#include "model/Expected.h"

#include <juce_core/juce_core.h>
#include <functional>
#include <vector>

// The command line of vornconv: what one invocation asks for and how its words are parsed, what
// an operation decides and the one place that prints it, and the invocation itself.
namespace vornconv::app
{

// Everything one invocation asked for, as parsed from the argument list.
struct CommandLineOptions
{
    bool tree = false;
    bool manifest = false;
    bool sessionReport = false;
    juce::File exportStates;
    juce::String plan;
    juce::String selectionReport;
    juce::String wavesSelectionReport;
    juce::File selection;
    juce::File factoryCatalog;
    juce::File reaperCache;
    juce::File pluginProbe;
    juce::File parameterCache;
    juce::String convert;
    juce::String wavesConvert;
    juce::File output;
    juce::File templateFile;
    juce::String profile;
    juce::String io;
    int probeStrip = -1;
    int probeSlot = -1;
    bool reaperNormalizedProbe = false;
    bool help = false; // --help or -h: the usage, and nothing else
    juce::StringArray inputs;

    // Every option word met, in order, with the argument it took as its value (empty for one
    // that takes none): what the checks of an operation's options look at.
    struct Given
    {
        juce::String word;
        juce::String value;
    };
    std::vector<Given> given;
};

// A file option counts as given when it differs from the empty File().
bool isGiven (const juce::File& file);

// Resolves a file argument the way every file option and input word is resolved.
juce::File resolveArgument (const juce::String& word);

// What an operation, a check or one input of an operation decided: the lines that say so, each
// with its prefix ("ERROR   ", "WARNING ", ...), in the order they are printed, and whether it
// failed (the run then ends with status 1). The steps below the operations print nothing: they
// return what they found, or their failure, and the operation turns that into its decision, which
// one place prints (print).
struct Decision
{
    juce::StringArray lines;
    bool failed = false;

    void add (const juce::String& line) { lines.add (line); }
    void add (const juce::StringArray& more) { lines.addArray (more); }
    // Adds "ERROR   " followed by the refusal, and fails.
    Decision& refuse (const juce::String& refusal);
    int status() const noexcept { return failed ? 1 : 0; }
};

// The decision of one refusal: "ERROR   " followed by message, status 1.
Decision refusal (const juce::String& message);

// Where an operation hands the lines it has decided so far when they must reach the user before
// what it does next: before a step that may take long (reading an input, the parameter probe, a
// writer's proof, an export) and, with several inputs, before the next input. So they are out
// before an interrupt or a failure that comes during that step, as a line printed there would be.
using Stream = std::function<void (const juce::StringArray& lines)>;

// Where print sends its lines; standard output unless an invocation installed its own sink.
using LineSink = std::function<void (const juce::String&)>;

// Prints the decision's lines, in order, each as the UTF-8 bytes of its text and one newline byte,
// and returns its exit status. A line that standard output does not take (a full disk, a reader
// that is gone) is remembered for finishStandardOutput.
int print (const Decision& decision);

// Records that output now stands complete under its final name (a converted session, a folder of
// exported states), so that a run whose standard output fails afterwards still says so.
void noteOutputWritten (const juce::File& output);

// Ends the program's standard output: flushes and closes it. When it failed, now or at any line
// before, says so on standard error ("vornconv: could not write standard output: " and the
// system's reason), followed by one line for each output the run wrote all the same ("vornconv:
// the output was written all the same: " and its path, so that a second try is not surprised by
// an existing output), and returns 1; otherwise returns status.
int finishStandardOutput (int status);

// Strict decimal parse: digits 0-9 only, value below 2^31 and at least 1 (0 when zeroAllowed).
// On failure out is left unchanged.
bool parseDecimalInt (juce::StringRef text, bool zeroAllowed, int& out);

// Two positive values given as one option's value ("64x8", "128x128").
struct Dimensions
{
    int first = 0;
    int second = 0;
};

// Parses "<a>x<b>" (the first "x", else the first "X") into two positive decimal values.
// A misplaced or missing separator fails with shapeError, a value that is not positive decimal
// with valueError.
Expected<Dimensions> parseDimensions (const juce::String& text, const juce::String& shapeError, const juce::String& valueError);

// The argument bytes as the system passed them (without the program name), before any becomes a
// String: a path among them (a file option's value or an input word, told apart as the parse does)
// that is not valid UTF-8 would name another file once it is text, and so would a relative one
// below a working folder that is not, and one beginning with '~' below a home folder that is not
// ($HOME, or the home folder of the user it names). The first such path fails with "path is not
// valid UTF-8: " and the path's bytes escaped (utf8::escapedBytes) (a relative one with the
// working folder before it, one below a home folder with that folder in place of '~', when that
// folder is the fault). Then the same for the temporary folder ($TMPDIR, temporaryRootBytes):
// "temporary folder (TMPDIR) is not valid UTF-8: " and its bytes. Success when every path is text.
Expected<void> checkPathsAreText (int count, const char* const* words);

// Parses arguments (without the program name) into options; fails with the refusal of an option
// value that cannot be taken (an empty one, a malformed --reaper-state-probe), which ends the parse.
Expected<CommandLineOptions> parseArguments (const juce::StringArray& arguments);

// The usage lines, in order.
const juce::StringArray& usageLines();

// One whole invocation: parse, check, dispatch. Lines go to sink when one is given.
// Always returns 0 or 1, also when an exception escapes an operation.
int runVornconv (const juce::StringArray& arguments, const LineSink& sink = {});

} // namespace vornconv::app
