// The command line of vornconv: the option words, the parse of the arguments, the usage, the
// check that one operation was asked for and the hand-over to it, and the way every line is
// printed.
//
// In this file, in order:
//   - the option words and how each stores its value;
//   - the operation count and the dispatch, after the usage asked for, the refusal of words that
//     look like options and the checks of the options against the operation (OperationOptions);
//   - decisions and printing, refusals, the strict decimal parse and the parse of two dimensions;
//   - the parse of the arguments;
//   - the usage, with the hosts filled in from the registry of hosts;
//   - one whole invocation.

#include "app/CommandLine.h"

#include "app/HostRegistry.h"
#include "app/OperationOptions.h"
#include "app/Operations.h"
#include "model/PrivateFiles.h"
#include "model/StrictDecimal.h"
#include "model/Utf8Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <pwd.h>
#include <unistd.h>

namespace vornconv::app
{

namespace
{
// Where print sends the lines of this invocation (runVornconv's sink), or null for standard output.
const LineSink* currentSink = nullptr;

// Standard output of this run: the system's reason for the first line it did not take, and the
// outputs written so far.
int standardOutputError = 0;
juce::StringArray outputsWritten;

struct ScopedSink
{
    explicit ScopedSink (const LineSink* sink) : previous (currentSink) { currentSink = sink; }
    ~ScopedSink() { currentSink = previous; }
    const LineSink* previous;
};

enum class ValueKind { none, file, lowerText, text, probe };

struct OptionWord
{
    const char* word;
    ValueKind kind;
};

// Compared in this order; the first equal word decides.
const OptionWord optionWords[] = {
    { "--tree", ValueKind::none },
    { "--manifest", ValueKind::none },
    { "--session-report", ValueKind::none },
    { "--export-states", ValueKind::file },
    { "--plan", ValueKind::lowerText },
    { "--selection-report", ValueKind::lowerText },
    { "--waves-selection-report", ValueKind::lowerText },
    { "--selection", ValueKind::file },
    { "--factory-catalog", ValueKind::file },
    { "--reaper-cache", ValueKind::file },
    { "--plugin-probe", ValueKind::file },
    { "--parameter-cache", ValueKind::file },
    { "--convert", ValueKind::lowerText },
    { "--waves-convert", ValueKind::lowerText },
    { "--output", ValueKind::file },
    { "--template", ValueKind::file },
    { "--profile", ValueKind::text },
    { "--io", ValueKind::text },
    { "--reaper-state-probe", ValueKind::probe },
    { "--reaper-normalized-probe", ValueKind::none },
    { "--help", ValueKind::none },
    { "-h", ValueKind::none },
};

void storeFlag (const juce::String& word, CommandLineOptions& o)
{
    if (word == "--tree") o.tree = true;
    else if (word == "--manifest") o.manifest = true;
    else if (word == "--session-report") o.sessionReport = true;
    else if (word == "--reaper-normalized-probe") o.reaperNormalizedProbe = true;
    else if (word == "--help" || word == "-h") o.help = true;
}

void storeValue (const juce::String& word, const juce::String& value, CommandLineOptions& o)
{
    if (word == "--export-states") o.exportStates = resolveArgument (value);
    else if (word == "--plan") o.plan = value.toLowerCase();
    else if (word == "--selection-report") o.selectionReport = value.toLowerCase();
    else if (word == "--waves-selection-report") o.wavesSelectionReport = value.toLowerCase();
    else if (word == "--selection") o.selection = resolveArgument (value);
    else if (word == "--factory-catalog") o.factoryCatalog = resolveArgument (value);
    else if (word == "--reaper-cache") o.reaperCache = resolveArgument (value);
    else if (word == "--plugin-probe") o.pluginProbe = resolveArgument (value);
    else if (word == "--parameter-cache") o.parameterCache = resolveArgument (value);
    else if (word == "--convert") o.convert = value.toLowerCase();
    else if (word == "--waves-convert") o.wavesConvert = value.toLowerCase();
    else if (word == "--output") o.output = resolveArgument (value);
    else if (word == "--template") o.templateFile = resolveArgument (value);
    else if (word == "--profile") o.profile = value;
    else if (word == "--io") o.io = value;
}

Expected<void> parseProbe (const juce::String& value, CommandLineOptions& o)
{
    const int colon = value.indexOfChar (':');
    if (colon <= 0 || colon == value.length() - 1)
        return failure ("--reaper-state-probe must be <strip>:<slot>");
    int strip = -1, slot = -1;
    if (! parseDecimalInt (value.substring (0, colon), true, strip)
        || ! parseDecimalInt (value.substring (colon + 1), true, slot))
        return failure ("--reaper-state-probe indices must be non-negative decimal integers");
    o.probeStrip = strip;
    o.probeSlot = slot;
    return success();
}

int countOperations (const CommandLineOptions& o)
{
    int count = 0;
    if (isGiven (o.exportStates)) ++count;
    if (o.sessionReport) ++count;
    for (auto* value : { &o.plan, &o.selectionReport, &o.convert, &o.wavesSelectionReport, &o.wavesConvert })
        if (value->isNotEmpty())
            ++count;
    return count;
}

// The option word of the one operation asked for, or nullptr when none is.
const char* operationWord (const CommandLineOptions& o)
{
    if (isGiven (o.exportStates)) return "--export-states";
    if (o.sessionReport) return "--session-report";
    if (o.plan.isNotEmpty()) return "--plan";
    if (o.selectionReport.isNotEmpty()) return "--selection-report";
    if (o.convert.isNotEmpty()) return "--convert";
    if (o.wavesSelectionReport.isNotEmpty()) return "--waves-selection-report";
    if (o.wavesConvert.isNotEmpty()) return "--waves-convert";
    return nullptr;
}

Decision dispatch (const CommandLineOptions& o, const Stream& stream)
{
    if (countOperations (o) > 1)
        return refusal ("choose exactly one conversion/report operation");
    // The options are checked against the operation (and its target) before it runs.
    const auto operation = operationOf (o);
    const Host* host = nullptr;
    if (operation == Operation::plan || operation == Operation::convert || operation == Operation::selectionReport)
    {
        host = hostForTargetWord (o.convert.isNotEmpty() ? o.convert : o.plan.isNotEmpty() ? o.plan : o.selectionReport);
        if (host == nullptr)
            return refusal (unknownTargetRefusal());
    }
    if (const auto taken = checkOptionsOfOperation (o, operation, host); ! taken)
        return refusal (taken.message());
    // The operations toward a target look at the paths after their own checks of what they need.
    if (host == nullptr)
        if (const auto paths = checkOptionPaths (o, operation); ! paths)
            return refusal (paths.message());
    switch (operation)
    {
        case Operation::wavesSelectionReport: return runWavesSelectionReport (o);
        case Operation::wavesConvert:         return runWavesConvert (o);
        case Operation::sessionReport:        return runSessionReport (o);
        case Operation::dump:
        case Operation::exportStates:         return runDump (o, stream);
        case Operation::plan:
        case Operation::convert:
        case Operation::selectionReport:      return runTargetOperation (o, stream);
    }
    Decision none;
    none.failed = true;
    return none;
}

Decision usage (bool failed)
{
    Decision decided;
    decided.add (usageLines());
    decided.failed = failed;
    return decided;
}

// An input word that begins with "-" is a mistyped option (or one in another case), or an option
// word in last place that found no value: taken as a file, it would be reported missing while the
// run went on without the option. Such a word is refused, naming it, before anything runs; a file
// whose name begins with "-" is given with its folder, as "./-name".
Expected<void> checkOptionLikeInputs (const CommandLineOptions& o)
{
    for (const auto& word : o.inputs)
    {
        if (! word.startsWithChar ('-'))
            continue;
        const bool known = std::any_of (std::begin (optionWords), std::end (optionWords),
                                        [&word] (const OptionWord& option) { return word == option.word; });
        return failure (known ? "option " + word + " takes a value, and none follows it"
                              : "unknown option: " + word + " (an input file of this name is given as ./" + word + ")");
    }
    return success();
}

Decision invoke (const juce::StringArray& arguments, const Stream& stream)
{
    const auto parsed = parseArguments (arguments);
    if (! parsed)
        return refusal (parsed.message());
    const auto& options = *parsed;
    if (options.help)
        return usage (false);
    if (const auto values = checkOptionWordsAsValues (options); ! values)
        return refusal (values.message());
    if (const auto inputs = checkOptionLikeInputs (options); ! inputs)
        return refusal (inputs.message());
    if (options.inputs.isEmpty() && countOperations (options) <= 1)
    {
        // An operation asked for without its input says so; without one, the usage is the answer.
        if (const auto* operation = operationWord (options))
            return refusal (juce::String (operation) + " requires an input file");
        return usage (true);
    }
    if (const auto once = checkRepeatedOptions (options); ! once)
        return refusal (once.message());
    return dispatch (options, stream);
}

// Writes the UTF-8 bytes of text and one newline byte to this invocation's sink or to standard
// output, where a line it does not take is remembered for finishStandardOutput.
void printLine (const juce::String& text)
{
    if (currentSink != nullptr && *currentSink)
    {
        (*currentSink) (text);
        return;
    }
    const auto bytes = text.toRawUTF8();
    const auto size = std::strlen (bytes);
    errno = 0;
    if ((std::fwrite (bytes, 1, size, stdout) != size || std::fputc ('\n', stdout) == EOF) && standardOutputError == 0)
        standardOutputError = errno != 0 ? errno : EIO;
}

void printLines (const juce::StringArray& lines)
{
    for (const auto& line : lines)
        printLine (line);
}

} // namespace

bool isGiven (const juce::File& file)
{
    return file != juce::File();
}

juce::File resolveArgument (const juce::String& word)
{
    return juce::File::getCurrentWorkingDirectory().getChildFile (word);
}

Decision& Decision::refuse (const juce::String& refusal)
{
    lines.add ("ERROR   " + refusal);
    failed = true;
    return *this;
}

Decision refusal (const juce::String& message)
{
    Decision decided;
    decided.refuse (message);
    return decided;
}

int print (const Decision& decision)
{
    printLines (decision.lines);
    return decision.status();
}

void noteOutputWritten (const juce::File& output)
{
    outputsWritten.add (output.getFullPathName());
}

int finishStandardOutput (int status)
{
    errno = 0;
    const bool flushed = std::fflush (stdout) == 0 && ! std::ferror (stdout);
    int code = flushed ? 0 : errno;
    if (std::fclose (stdout) != 0 && code == 0)
        code = errno;
    if (standardOutputError != 0)
        code = standardOutputError;
    else if (flushed && code == 0)
        return status;
    if (code == 0)
        code = EIO;
    // With standard output gone, standard error is the one place left to say so.
    std::fprintf (stderr, "vornconv: could not write standard output: %s\n", std::strerror (code));
    for (const auto& path : outputsWritten)
        std::fprintf (stderr, "vornconv: the output was written all the same: %s\n", path.toRawUTF8());
    std::fflush (stderr);
    return 1;
}

bool parseDecimalInt (juce::StringRef text, bool zeroAllowed, int& out)
{
    juce::int64 value = 0;
    if (! parseStrictDecimal (text.text.getAddress(), DecimalForm::digits, zeroAllowed ? 0 : 1,
                              std::numeric_limits<juce::int32>::max(), value))
        return false;
    out = (int) value;
    return true;
}

Expected<Dimensions> parseDimensions (const juce::String& text, const juce::String& shapeError, const juce::String& valueError)
{
    int separator = text.indexOfChar ('x');
    if (separator < 0)
        separator = text.indexOfChar ('X');
    if (separator <= 0 || separator == text.length() - 1)
        return failure (shapeError);
    Dimensions parsed;
    if (! parseDecimalInt (text.substring (0, separator), false, parsed.first)
        || ! parseDecimalInt (text.substring (separator + 1), false, parsed.second))
        return failure (valueError);
    return parsed;
}

namespace
{

// A word beginning with '~' as the path a File makes of it: "~" and "~/x" below the home folder
// ($HOME, else the user's entry in the password database), "~name/x" below name's home folder
// (a name no user has leaves the word as it is). As bytes, before any of them becomes text.
std::string homeRelativeBytes (const char* word)
{
    const std::string text (word);
    const auto slash = text.find ('/');
    const auto name = text.substr (1, slash == std::string::npos ? std::string::npos : slash - 1);
    if (name.empty())
    {
        const char* home = std::getenv ("HOME");
        const passwd* entry = home == nullptr ? ::getpwuid (::getuid()) : nullptr;
        const std::string folder = home != nullptr ? home : entry != nullptr ? entry->pw_dir : "";
        return folder + text.substr (1);
    }
    const passwd* entry = ::getpwnam (name.c_str());
    if (entry == nullptr)
        return text;
    std::string folder (entry->pw_dir);
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder + (slash == std::string::npos ? std::string() : text.substr (slash + 1));
}

} // namespace

Expected<void> checkPathsAreText (int count, const char* const* words)
{
    juce::String refused;
    const auto refuse = [&refused] (const std::string& path, const char* what)
    {
        if (utf8::isValid (path.data(), path.size()))
            return false;
        refused = juce::String (what) + " is not valid UTF-8: " + utf8::escapedBytes (path.data(), path.size());
        return true;
    };
    // A relative path lies below the working folder, whose bytes it takes on: a working folder
    // that is not text would give it another folder's name as well. So does a word below a home
    // folder, whose bytes are the home folder's.
    std::string workingFolder;
    const auto belowWorkingFolder = [&workingFolder] (const std::string& word)
    {
        if (workingFolder.empty())
            workingFolder = workingFolderBytes();
        return workingFolder.empty() ? word : workingFolder + "/" + word;
    };
    const auto asUsed = [&belowWorkingFolder] (const char* word)
    {
        if (word[0] == 0 || word[0] == '/')
            return std::string (word);
        if (word[0] == '~')
        {
            const auto path = homeRelativeBytes (word);
            return path.empty() || path[0] == '/' ? path : belowWorkingFolder (path);
        }
        return belowWorkingFolder (word);
    };
    for (int i = 0; i < count; ++i)
    {
        const OptionWord* option = nullptr;
        for (const auto& o : optionWords)
            if (std::strcmp (words[i], o.word) == 0)
            {
                option = &o;
                break;
            }
        if (option == nullptr)
        {
            // A word that looks like an option is refused as one, never taken as a path.
            if (refuse (words[i], "path") || (words[i][0] != '-' && refuse (asUsed (words[i]), "path")))
                return failure (refused);
            continue;
        }
        // As the parse takes them: a flag takes no value, an option word in last place none.
        if (option->kind == ValueKind::none || i + 1 >= count)
            continue;
        ++i;
        if (option->kind == ValueKind::file && (refuse (words[i], "path") || refuse (asUsed (words[i]), "path")))
            return failure (refused);
    }
    // $TMPDIR is a path like any other, checked before anything is made below it.
    if (refuse (temporaryRootBytes(), "temporary folder (TMPDIR)"))
        return failure (refused);
    return success();
}

Expected<CommandLineOptions> parseArguments (const juce::StringArray& arguments)
{
    CommandLineOptions options;
    for (int i = 0; i < arguments.size(); ++i)
    {
        const int wordAt = i;
        const auto& arg = arguments[i];
        bool matched = false;
        for (const auto& option : optionWords)
        {
            if (arg != option.word)
                continue;
            if (option.kind == ValueKind::none)
            {
                storeFlag (arg, options);
                matched = true;
                break;
            }
            if (i + 1 >= arguments.size())
                continue; // an option word in last place takes no value and stays a word
            const auto& value = arguments[++i];
            // An empty value ("$DEST" unset) is no value: as a path it would name the working
            // folder, as a word nothing that was meant.
            if (value.isEmpty())
                return failure ("option " + arg + " takes a value, and the value given is empty");
            if (option.kind == ValueKind::probe)
            {
                if (const auto probe = parseProbe (value, options); ! probe)
                    return failure (probe.message());
            }
            else
            {
                storeValue (arg, value, options);
            }
            matched = true;
            break;
        }
        if (! matched)
            options.inputs.add (arg);
        else
            options.given.push_back ({ arg, i > wordAt ? arguments[i] : juce::String() });
    }
    return options;
}

const juce::StringArray& usageLines()
{
    static const juce::StringArray lines = [] {
        const char* const texts[] = {
#include "app/UsageLines.inc"
        };
        juce::StringArray result;
        for (auto* t : texts)
        {
            const auto line = juce::String::fromUTF8 (t);
            if (line == "{convert lines}")
                result.addArray (usageConvertLines());
            else
                result.add (line.replace ("{target words}", usageTargetWords()).replace ("{extensions}", usageExtensions()));
        }
        return result;
    }();
    return lines;
}

int runVornconv (const juce::StringArray& arguments, const LineSink& sink)
{
    ScopedSink scoped (sink ? &sink : nullptr);
    outputsWritten.clear();
    try
    {
        // The one place that prints: what the operation streams before its long steps, then its
        // decision.
        return print (invoke (arguments, printLines));
    }
    catch (const std::bad_alloc&)
    {
        printLine ("ERROR   internal error: out of memory");
    }
    catch (const std::exception& e)
    {
        printLine ("ERROR   internal error: " + utf8::toTextReplacingMalformed (e.what()));
    }
    catch (...)
    {
        printLine ("ERROR   internal error: unknown exception");
    }
    return 1;
}

} // namespace vornconv::app
