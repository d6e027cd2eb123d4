#pragma once

#include <juce_core/juce_core.h>
#include <functional>
#include <vector>

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

// Where printLine sends its lines; standard output unless an invocation installed its own sink.
using LineSink = std::function<void (const juce::String&)>;

// Writes the UTF-8 bytes of text and one newline byte. A line that standard output does not take
// (a full disk, a reader that is gone) is remembered for finishStandardOutput.
void printLine (const juce::String& text);

// Records that output now stands complete under its final name (a converted session, a folder of
// exported states), so that a run whose standard output fails afterwards still says so.
void noteOutputWritten (const juce::File& output);

// Ends the program's standard output: flushes and closes it. When it failed, now or at any line
// before, says so on standard error ("vornconv: could not write standard output: " and the
// system's reason), followed by one line for each output the run wrote all the same ("vornconv:
// the output was written all the same: " and its path, so that a second try is not surprised by
// an existing output), and returns 1; otherwise returns status.
int finishStandardOutput (int status);

// Prints "ERROR   " followed by error, and returns 1: the exit status of a refusal.
int printError (const juce::String& error);

// Strict decimal parse: digits 0-9 only, value below 2^31 and at least 1 (0 when zeroAllowed).
// On failure out is left unchanged.
bool parseDecimalInt (juce::StringRef text, bool zeroAllowed, int& out);

enum class ParseOutcome
{
    parsed,
    refused // the refusal line has been printed; the invocation ends with status 1
};

// The argument bytes as the system passed them (without the program name), before any becomes a
// String: a path among them (a file option's value or an input word, told apart as the parse does)
// that is not valid UTF-8 would name another file once it is text, and so would a relative one
// below a working folder that is not, and one beginning with '~' below a home folder that is not
// ($HOME, or the home folder of the user it names). Prints "ERROR   path is not valid UTF-8: " and the path's
// bytes escaped (utf8::escapedBytes) for the first one (a relative one with the working folder
// before it, one below a home folder with that folder in place of '~', when that folder is the
// fault), and returns true. Then the same for the temporary
// folder ($TMPDIR, temporaryRootBytes): "ERROR   temporary folder (TMPDIR) is not valid UTF-8: "
// and its bytes. False when every path is text.
bool refuseNonUtf8Paths (int count, const char* const* words);

// Parses arguments (without the program name) into options.
ParseOutcome parseArguments (const juce::StringArray& arguments, CommandLineOptions& options);

// The usage lines, in order.
const juce::StringArray& usageLines();

// One whole invocation: parse, check, dispatch. Lines go to sink when one is given.
// Always returns 0 or 1, also when an exception escapes an operation.
int runVornconv (const juce::StringArray& arguments, const LineSink& sink = {});

} // namespace vornconv::app
