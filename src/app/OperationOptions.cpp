// What each operation takes from the command line: one table of the options, each with the
// operations that take it (and, for the operations toward a target, the hosts that take it), what
// its value is and whether it names a file or a folder. The checks of a run's options against
// its operation all read this table, so that an option is either used or refused by name before
// anything runs.
//
// In this file, in order:
//   - the operations and how a refusal names them;
//   - the table of options;
//   - the checks: an option word taken as a value, an option given twice, an option the
//     operation or its target does not take, and the kind of the paths given to options.

#include "app/OperationOptions.h"

#include "app/HostRegistry.h"
#include "model/UntrustedFile.h"

#include <set>

namespace vornconv::app
{

namespace
{

//==============================================================================
// The operations

using OperationSet = unsigned;

constexpr OperationSet bit (Operation operation) { return 1u << (unsigned) operation; }

constexpr OperationSet targetOperations = bit (Operation::plan) | bit (Operation::convert) | bit (Operation::selectionReport);
constexpr OperationSet planAndConvert = bit (Operation::plan) | bit (Operation::convert);
constexpr OperationSet everyOperation = 0xffu;

// The order in which a refusal lists the operations that take an option.
const Operation listingOrder[] = { Operation::plan, Operation::convert, Operation::selectionReport, Operation::sessionReport,
                                   Operation::exportStates, Operation::dump, Operation::wavesSelectionReport,
                                   Operation::wavesConvert };

juce::String operationWord (Operation operation)
{
    switch (operation)
    {
        case Operation::dump:                 return "a dump (no operation)";
        case Operation::exportStates:         return "--export-states";
        case Operation::sessionReport:        return "--session-report";
        case Operation::plan:                 return "--plan";
        case Operation::convert:              return "--convert";
        case Operation::selectionReport:      return "--selection-report";
        case Operation::wavesSelectionReport: return "--waves-selection-report";
        case Operation::wavesConvert:         return "--waves-convert";
    }
    return {};
}

// The operation as the command line asked for it, with its target word.
juce::String operationAsked (Operation operation, const CommandLineOptions& o)
{
    switch (operation)
    {
        case Operation::plan:            return "--plan " + o.plan;
        case Operation::convert:         return "--convert " + o.convert;
        case Operation::selectionReport: return "--selection-report " + o.selectionReport;
        default:                         return operationWord (operation);
    }
}

// "a", "a or b", "a, b or c"
juce::String alternatives (const juce::StringArray& items)
{
    juce::String text;
    for (int i = 0; i < items.size(); ++i)
        text << (i == 0 ? "" : i == items.size() - 1 ? " or " : ", ") << items[i];
    return text;
}

//==============================================================================
// The table of options

enum class PathKind
{
    none,
    fileToRead,   // a file the run reads
    fileToWrite,  // the new file the run writes
    folder        // a folder the run reads or fills (made when missing)
};

bool takesStateProbe (const Host& host) { return host.stateProbe.make != nullptr; }
bool preparesMirrors (const Host& host) { return host.preparesParameterMirrors; }
bool takesTemplate (const Host& host) { return host.templateUse != TemplateUse::none; }
bool shapedByProfile (const Host& host) { return ! host.rules.capacity.fixed; }

// The refusals that operations toward a target have always given for these options.
juce::String stateProbeRefusal()
{
    const juce::String name = hostWhere (takesStateProbe)->hostName();
    return name + " probe options require a " + name + " conversion target";
}

juce::String parameterProbeRefusal()
{
    return juce::String ("parameter probe options require a ") + hostWhere (preparesMirrors)->hostName() + " target";
}

struct OptionUse
{
    const char* word;
    const char* takes;               // what its value is; null for a flag
    OperationSet operations;         // the operations that take it
    bool (*hostTakes) (const Host&); // among the operations toward a target, the hosts that take it; null: every host
    juce::String (*hostRefusal)();   // what a plan or convert toward another host says; null: the common refusal
    PathKind path;
    OperationSet mustExist;          // the operations that read the file and refuse it when it is not there
};

// Every option word of the command line. The operation words themselves are taken by their own
// operation only, which the count of operations makes sure of.
const OptionUse optionUses[] = {
    { "--tree", nullptr, bit (Operation::dump), nullptr, nullptr, PathKind::none, 0 },
    { "--manifest", nullptr, bit (Operation::dump), nullptr, nullptr, PathKind::none, 0 },
    { "--session-report", nullptr, bit (Operation::sessionReport), nullptr, nullptr, PathKind::none, 0 },
    { "--export-states", "a folder", bit (Operation::exportStates), nullptr, nullptr, PathKind::folder, 0 },
    { "--plan", "a target word", bit (Operation::plan), nullptr, nullptr, PathKind::none, 0 },
    { "--selection-report", "a target word", bit (Operation::selectionReport), nullptr, nullptr, PathKind::none, 0 },
    { "--waves-selection-report", "a Waves target word", bit (Operation::wavesSelectionReport), nullptr, nullptr, PathKind::none, 0 },
    { "--selection", "a selection file", planAndConvert | bit (Operation::wavesConvert), nullptr, nullptr, PathKind::fileToRead,
      planAndConvert | bit (Operation::wavesConvert) },
    { "--factory-catalog", "a catalog as vornvst3catalog prints it", planAndConvert | bit (Operation::sessionReport), nullptr, nullptr,
      PathKind::fileToRead, 0 },
    { "--reaper-cache", "REAPER's VST plug-in cache, reaper-vstplugins64.ini", planAndConvert, nullptr, nullptr, PathKind::fileToRead, 0 },
    { "--plugin-probe", "the probe program", planAndConvert | bit (Operation::sessionReport), preparesMirrors, parameterProbeRefusal,
      PathKind::fileToRead, planAndConvert },
    { "--parameter-cache", "a folder", planAndConvert | bit (Operation::sessionReport), preparesMirrors, parameterProbeRefusal,
      PathKind::folder, 0 },
    { "--convert", "a target word", bit (Operation::convert), nullptr, nullptr, PathKind::none, 0 },
    { "--waves-convert", "a Waves target word", bit (Operation::wavesConvert), nullptr, nullptr, PathKind::none, 0 },
    { "--output", "the new file", bit (Operation::convert) | bit (Operation::wavesConvert), nullptr, nullptr, PathKind::fileToWrite, 0 },
    { "--template", "a template file", planAndConvert | bit (Operation::wavesConvert), takesTemplate, nullptr, PathKind::fileToRead,
      planAndConvert | bit (Operation::wavesConvert) },
    { "--profile", "<strips>x<slots>", targetOperations, shapedByProfile, nullptr, PathKind::none, 0 },
    { "--io", "<inputs>x<outputs>", planAndConvert, shapedByProfile, nullptr, PathKind::none, 0 },
    { "--reaper-state-probe", "<strip>:<slot>", planAndConvert, takesStateProbe, stateProbeRefusal, PathKind::none, 0 },
    { "--reaper-normalized-probe", nullptr, planAndConvert, takesStateProbe, stateProbeRefusal, PathKind::none, 0 },
    { "--help", nullptr, everyOperation, nullptr, nullptr, PathKind::none, 0 },
    { "-h", nullptr, everyOperation, nullptr, nullptr, PathKind::none, 0 },
};

const OptionUse* useOf (const juce::String& word)
{
    for (const auto& use : optionUses)
        if (word == use.word)
            return &use;
    return nullptr;
}

// Where an option goes: "--convert or --waves-convert", "--plan, --convert or --selection-report
// toward liveprofessor or reaper", "--plan or --convert toward liveprofessor, or with
// --session-report".
juce::String whereItGoes (const OptionUse& use)
{
    juce::StringArray towardTarget, others;
    for (const auto operation : listingOrder)
        if ((use.operations & bit (operation)) != 0)
            (use.hostTakes != nullptr && (targetOperations & bit (operation)) != 0 ? towardTarget : others).add (operationWord (operation));
    if (towardTarget.isEmpty())
        return alternatives (others);
    juce::StringArray hosts;
    for (const auto* host : app::hosts())
        if (use.hostTakes (*host))
            hosts.add (host->targetWord);
    auto text = alternatives (towardTarget) + " toward " + alternatives (hosts);
    if (! others.isEmpty())
        text << ", or with " << alternatives (others);
    return text;
}

// Something that is not a folder (a file, a link to nothing, a device) stands at folder or at a
// folder above it: the deepest that stands decides.
bool notAFolderInTheWay (const juce::File& folder)
{
    for (auto part = folder; part.getParentDirectory() != part; part = part.getParentDirectory())
        if (part.exists() || part.isSymbolicLink())
            return ! part.isDirectory();
    return false;
}

// The path check of one option given to the operation: fails unless the path is of its kind.
Expected<void> checkPath (const OptionUse& use, const juce::String& value, Operation operation)
{
    const auto file = resolveArgument (value);
    const juce::String option (use.word);
    switch (use.path)
    {
        case PathKind::none:
            return success();
        case PathKind::fileToRead:
        case PathKind::fileToWrite:
            if (file.isDirectory())
                return failure (option + ": " + folderNotFileError (file));
            // A link to nothing is not there either.
            if (use.path == PathKind::fileToRead && (use.mustExist & bit (operation)) != 0 && ! file.exists())
                return failure (option + ": " + fileNotFoundError (file));
            return success();
        case PathKind::folder:
            // Made when missing; a file in the way is named where the folder is opened.
            return success();
    }
    return success();
}

} // namespace

Operation operationOf (const CommandLineOptions& o)
{
    if (o.wavesSelectionReport.isNotEmpty()) return Operation::wavesSelectionReport;
    if (o.wavesConvert.isNotEmpty())         return Operation::wavesConvert;
    if (o.sessionReport)                     return Operation::sessionReport;
    if (o.convert.isNotEmpty())              return Operation::convert;
    if (o.plan.isNotEmpty())                 return Operation::plan;
    if (o.selectionReport.isNotEmpty())      return Operation::selectionReport;
    if (isGiven (o.exportStates))            return Operation::exportStates;
    return Operation::dump;
}

Expected<void> checkOptionWordsAsValues (const CommandLineOptions& o)
{
    for (const auto& given : o.given)
    {
        const auto* use = useOf (given.word);
        if (use != nullptr && use->takes != nullptr && useOf (given.value) != nullptr)
            return failure (given.word + " takes " + use->takes + "; got " + given.value);
    }
    return success();
}

Expected<void> checkRepeatedOptions (const CommandLineOptions& o)
{
    std::set<juce::String> seen;
    for (const auto& given : o.given)
        if (! seen.insert (given.word).second)
            return failure (given.word + " is given twice; give it once");
    return success();
}

Expected<void> checkOptionsOfOperation (const CommandLineOptions& o, Operation operation, const Host* host)
{
    const bool towardTarget = (targetOperations & bit (operation)) != 0;
    for (const auto& given : o.given)
    {
        const auto* use = useOf (given.word);
        if (use == nullptr)
            continue;
        const bool operationTakes = (use->operations & bit (operation)) != 0;
        const bool hostTakes = ! towardTarget || host == nullptr || use->hostTakes == nullptr || use->hostTakes (*host);
        if (operationTakes && hostTakes)
            continue;
        if (operationTakes && use->hostRefusal != nullptr)
            return failure (use->hostRefusal());
        return failure (given.word + " is not an option of " + operationAsked (operation, o) + "; it goes with " + whereItGoes (*use));
    }
    return success();
}

Expected<void> checkOptionPaths (const CommandLineOptions& o, Operation operation)
{
    for (const auto& given : o.given)
        if (const auto* use = useOf (given.word))
            if (auto path = checkPath (*use, given.value, operation); ! path)
                return path;
    return success();
}

juce::String optionFileRefusal (const juce::String& option, const juce::File& file, const juce::String& error)
{
    const auto first = error.upToFirstOccurrenceOf ("\n", false, false);
    const auto rest = error.fromFirstOccurrenceOf ("\n", true, false);
    const auto* use = useOf (option);
    // The loaders say "cannot be read" of a file whose bytes they could not take (one that is no
    // regular file, is not text or changed meanwhile); of any other file that is there they refused
    // what it holds. A folder the run makes is of the wrong kind when something else stands in its
    // place or in the place of a folder above it.
    const bool wrongKind = use != nullptr && use->takes != nullptr
                        && (use->path == PathKind::folder ? notAFolderInTheWay (file)
                                                          : file.existsAsFile() && ! first.contains (" cannot be read: "));
    return option + ": " + first + (wrongKind ? "; " + option + " takes " + use->takes : juce::String()) + rest;
}

juce::String mirrorInputRefusal (rapp::MirrorInputFault fault, const juce::File& probeProgram, const juce::File& cacheDir,
                                 const juce::String& error)
{
    switch (fault)
    {
        case rapp::MirrorInputFault::probeProgram: return optionFileRefusal ("--plugin-probe", probeProgram, error);
        case rapp::MirrorInputFault::cacheFolder:  return optionFileRefusal ("--parameter-cache", cacheDir, error);
        case rapp::MirrorInputFault::none:         break;
    }
    return error;
}

} // namespace vornconv::app
