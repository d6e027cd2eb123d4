// The runners of the target operations: --plan (one plan per input), --convert (one input) and
// --selection-report, with the command-line checks and set-up they share. Every choice that
// depends on the target host comes from its record in the registry of hosts. Plan and
// convert share their whole first half (the input read, the selection applied, availability, the
// parameter mirrors, the state probe session, the preflight and the blockers of the options the
// writer cannot do without), so that each refuses what the other refuses, under the same key.
//
// In this file, in order:
//   - reading the input and applying a selection;
//   - the parameter mirrors and the printers shared by plan and convert;
//   - the request of one run and the first half that plan and convert share;
//   - the plan runner;
//   - the convert runner;
//   - the selection-report runner;
//   - the checks and set-up of the command line, and the dispatch to the runners.

#include "app/ConversionRunners.h"

#include "app/HostRegistry.h"
#include "app/OperationOptions.h"
#include "app/Operations.h"
#include "model/UntrustedFile.h"
#include "rapp/ParameterMirrorHydrator.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/RappSelection.h"
#include "rapp/Vst3ModuleIndex.h"
#include "writers/ConversionLedger.h"

namespace vornconv::app
{

using rapp::DeploymentProfile;
using rapp::Vst3ModuleIndex;
using rapp::WriteOptions;

namespace
{

// Reads an input by its extension; an extension no host has is refused before anything is read.
bool readInput (const juce::File& input, RackReadResult& result)
{
    if (readHostInput (input, result))
        return true;
    printError (result.error);
    return false;
}

// Prints the refusal; false.
bool refused (const juce::String& error)
{
    printError (error);
    return false;
}

juce::String profileText (const DeploymentProfile& profile)
{
    return juce::String (profile.strips) + "x" + juce::String (profile.slots);
}

// Applies the selection file to the result. For a host whose files hold their strips from 0
// without gaps, the kept channels must take exactly those places. A host shaped by the profile
// then takes as many strips as the selection keeps: a selection of fewer channels than the
// profile has strips fits the profile to them (fitted), saying so in fitLine.
bool applySelection (RackReadResult& result, const juce::File& selection, const Host& host, const DeploymentProfile* profile,
                     DeploymentProfile& fitted, juce::String& fitLine, juce::String& error)
{
    if (selection == juce::File())
        return true;
    auto capacity = host.rules.capacity;
    if (! capacity.fixed && profile != nullptr)
        capacity = { profile->strips, profile->slots, true };
    if (! capacity.fixed)
    {
        error = "selection requires a fixed target capacity or --profile";
        return false;
    }
    const rapp::SelectionPlacement placement { host.holdsStripsInOrder, juce::String (host.hostName()) + " " + host.documents() };
    RackReadResult projected;
    if (! rapp::applySelectionFile (result, selection, capacity, host.targetWord, projected, error, placement))
    {
        // Whatever the file holds that the conversion cannot take, the refusal names it and the option.
        error = "--selection: " + namingFile (error, selection);
        return false;
    }
    result.ok = projected.ok;
    result.status = projected.status;
    result.error = projected.error;
    result.session = std::move (projected.session);

    const int kept = result.session.strips.size();
    if (! host.rules.capacity.fixed && profile != nullptr && kept < profile->strips)
    {
        fitted = *profile;
        fitted.strips = kept;
        result.session.capacityStrips = kept;
        fitLine = "the selection keeps " + juce::String (kept) + " of the " + juce::String (profile->strips) + " strips of --profile "
                + profileText (*profile) + ": written as --profile " + profileText (fitted);
    }
    return true;
}

// What the mirrors kept of the source, filled and replaced, then where those filled and replaced
// came from; and each slot whose mirror was replaced, with the reason.
void printParameterMirrorStats (const rapp::ParameterMirrorHydrationStats& stats)
{
    printLine ("PARAMETER_MIRRORS kept=" + juce::String (stats.alreadyComplete) + " filled=" + juce::String (stats.filled)
               + " replaced=" + juce::String (stats.replaced) + " memory=" + juce::String (stats.reusedInCall)
               + " cache=" + juce::String (stats.cacheHits) + " probed=" + juce::String (stats.probed)
               + " repaired=" + juce::String (stats.replacedInvalid) + " skippedAU=" + juce::String (stats.auSkipped));
    for (const auto& replaced : stats.replacements)
        printLine ("WARNING    strip " + juce::String (replaced.strip) + ", slot " + juce::String (replaced.slot) + " ("
                   + rapp::printableSessionText (replaced.plugin) + "): parameter mirror replaced by the probe's: the source's "
                   + "is marked complete but does not decode (" + replaced.reason + ")");
}

// Fills every VST3 slot's parameter mirror, from the cache folder or by running the probe program
// (30 s per run), and prints the mirror line.
bool prepareParameterMirrors (RackReadResult& result, const Vst3ModuleIndex& index, const juce::File& probe,
                              const juce::File& cacheDir, juce::String& error)
{
    rapp::ParameterMirrorHydrationStats stats;
    if (! rapp::hydrateParameterMirrors (result, index, probe, cacheDir, stats, error, 30000))
    {
        error = mirrorInputRefusal (stats.inputFault, probe, cacheDir, error);
        return false;
    }
    printParameterMirrorStats (stats);
    return true;
}

void printDuganOmissions (const NoteList& notes)
{
    for (const auto& note : notes)
        if (note.code == "dugan.disabled" && note.fidelity == Fidelity::dropped)
            printLine ("WARNING    " + note.text);
}

void printUnavailablePlugins (int count)
{
    if (count > 0)
        printLine ("UNAVAILABLE_PLUGINS " + juce::String (count));
}

// The plan's lines of the issues that pass: the blockers of a refused convert, or the warnings
// that say what a written one holds differently from its source.
void printIssues (const rapp::ConversionPlan& plan, bool (*passes) (const rapp::Issue&))
{
    for (const auto& issue : plan.issues)
        if (passes (issue))
            printLine (rapp::formatIssueLine (issue));
}

bool isBlocker (const rapp::Issue& issue) { return issue.severity == rapp::severityBlocker; }
bool changesWhatIsWritten (const rapp::Issue& issue) { return issue.severity == rapp::severityWarning && issue.changesOutput; }

struct ConvertRequest
{
    juce::File input;
    const Host* host = nullptr;
    const CommandLineOptions* commandLine = nullptr;
    WriteOptions options;
    juce::String stateProbe;   // the state probe the options ask for, as a plan names it; empty for none
    juce::File selection;
    juce::File probe;
    juce::File cacheDir;
};

// What plan and convert both hold once their first half is done.
struct PreparedRun
{
    RackReadResult source;              // as read, with the selection applied
    RackReadResult probeSession;        // the diagnostic state probe session, when one is asked for
    bool stateProbe = false;
    Vst3ModuleIndex index;              // the private copy, with availability marked
    int unavailable = 0;
    DeploymentProfile fittedProfile;    // the profile fitted to a selection's kept channels
    WriteOptions options;               // the request's, the profile fitted to a selection
    rapp::ConversionPlan plan;          // of what is written
    rapp::Issue missing;                // an option the writer cannot do without, when it is missing (code not empty)

    const RackReadResult& written() const { return stateProbe ? probeSession : source; }
};

// The first half of plan and convert: reads the input (a failed read is left to the preflight, or
// refused when refuseFailedRead), applies the selection, marks availability on a private copy of
// the index, fills the parameter mirrors, builds the state probe session when asked for, and runs
// the preflight once on what would be written, adding the blockers of the options the writer
// cannot do without and the line of a profile fitted to a selection. False when refused, with
// its ERROR line printed.
bool prepareRun (const ConvertRequest& request, const Vst3ModuleIndex& index, bool refuseFailedRead, PreparedRun& run)
{
    const auto& host = *request.host;
    run.options = request.options;
    run.index = index;
    if (! readInput (request.input, run.source))
        return false;
    if (! run.source.ok && refuseFailedRead)
        return refused (run.source.error);

    // A failed read goes straight to the preflight, which reports it: nothing else may act on a
    // session that was never read completely.
    juce::String error, fitLine;
    if (run.source.ok)
    {
        if (! applySelection (run.source, request.selection, host, request.options.profile, run.fittedProfile, fitLine, error))
            return refused (error);
        if (fitLine.isNotEmpty())
            run.options.profile = &run.fittedProfile;
        run.unavailable = run.index.applyCachedAvailability (run.source);
        // The mirrors are prepared (and cached) before the writer's options are looked at.
        if (host.preparesParameterMirrors && ! prepareParameterMirrors (run.source, run.index, request.probe, request.cacheDir, error))
            return refused (error);
    }

    run.missing = host.missingFrom (run.options);
    // A state probe session is shaped by the profile; without one the preflight blocks for want of it.
    if (request.stateProbe.isNotEmpty() && run.options.profile != nullptr)
    {
        if (! host.stateProbe.make (*request.commandLine, run.source, run.index, run.options, run.probeSession, error))
            return refused (error);
        run.stateProbe = true;
    }

    // The preflight, once: the writer's proof and the writer take its verdict and do not run it again.
    run.plan = rapp::inspect (run.written(), host.rules, run.index, run.options.profile, run.options.sideInput);
    if (run.missing.code.isNotEmpty())
    {
        bool listed = false;
        for (const auto& issue : run.plan.issues)
            listed = listed || issue.code == run.missing.code;
        if (! listed)
            run.plan.issues.add (run.missing);
    }
    if (fitLine.isNotEmpty())
        run.plan.issues.add ({ rapp::severityWarning, issueCode::fittedProfile, fitLine, true });
    return true;
}

// A writer's refusal as plan and convert give it: one about the template or the output given
// names the option and the path.
juce::String writerRefusal (const rapp::WriteResult& result, const WriteOptions& options)
{
    switch (result.refusedPath)
    {
        case rapp::RefusedPath::templateFile: return "--template: " + namingFile (result.error, options.templateFile);
        case rapp::RefusedPath::output:       return "--output: " + result.error;
        case rapp::RefusedPath::none:         break;
    }
    return result.error;
}

int planRappFile (const ConvertRequest& request, const Vst3ModuleIndex& index)
{
    const auto& input = request.input;
    const auto& host = *request.host;
    printLine ({});
    printLine (juce::String::repeatedString ("=", 68));
    printLine ("FILE    " + input.getFullPathName());

    PreparedRun run;
    if (! prepareRun (request, index, false, run))
        return 1;
    auto& plan = run.plan;
    // "Allowed" promises that the convert with the same options will write: what its writer's
    // proof refuses (everything but what only an output can meet) is a blocker here, in the
    // writer's words. A proof that holds lists what the output will hold differently from the
    // source: every field of the ledger, since a plan prints none of the notes of the writer.
    // What was proven goes once its ledger is taken.
    if (plan.canWrite())
    {
        const auto checked = host.check (run.written(), run.index, plan, run.options);
        if (! checked.ok)
            plan.issues.add ({ rapp::severityBlocker, checked.temporaryFolderFault ? issueCode::temporaryFolder : issueCode::writer,
                               rapp::printableSessionText (writerRefusal (checked, run.options)) });
        else if (checked.compared != nullptr)
            for (const auto& note : checked.compared->ledger)
                plan.issues.add ({ rapp::severityWarning, note.code, note.text });
    }
    printLine (juce::String ("RAPP PLAN  target=") + host.targetName);
    if (run.stateProbe)
        printLine ("  state probe session: " + request.stateProbe);
    if (plan.capacity.fixed)
        printLine ("  capacity=" + juce::String (plan.capacity.strips) + " strips x " + juce::String (plan.capacity.slots)
                   + " slots");
    else
        printLine ("  capacity=source-shaped deployment profile required");
    juce::String indexed = "  VST3 moduleinfo: " + juce::String (run.index.entries.size()) + " indexed";
    if (! run.index.warnings.isEmpty())
        indexed << ", " << run.index.warnings.size() << " skipped";
    printLine (indexed);
    printLine ("  plugins=" + juce::String (plan.plugins) + " state-portable=" + juce::String (plan.statePortable)
               + " identity-resolved=" + juce::String (plan.identityResolved));
    printLine (juce::String ("  WRITE: ") + (plan.canWrite() ? "allowed" : "BLOCKED"));
    for (const auto& issue : plan.issues)
        printLine (rapp::formatIssueLine (issue));
    return plan.canWrite() ? 0 : 1;
}

int convertRappFile (const ConvertRequest& request, const Vst3ModuleIndex& index)
{
    const auto& host = *request.host;
    const auto& output = request.options.output;
    const juce::String extension = host.extension;
    if (output.getFileExtension().toLowerCase() != extension)
        return printError ("--output: output extension must be " + extension + ": " + output.getFullPathName());

    PreparedRun run;
    if (! prepareRun (request, index, true, run))
        return 1;

    // A convert the preflight refuses says why before it says that it was refused: the plan's
    // blockers, then what supplies a missing option, or the writer's own refusal.
    const auto& plan = run.plan;
    if (! plan.canWrite())
    {
        printIssues (plan, isBlocker);
        if (run.missing.code.isNotEmpty())
            return printError (run.missing.message);
    }
    const auto outcome = host.write (run.written(), run.index, plan, run.options);
    if (! outcome.ok)
        return printError (writerRefusal (outcome, run.options));
    noteOutputWritten (output);
    printLine ((run.stateProbe ? "STATE PROBE  " : "CANDIDATE  ") + request.input.getFullPathName() + " -> " + output.getFullPathName());
    for (const auto& note : outcome.notes)
        printLine ("WARNING    " + note);
    // What the output holds differently from the source and the writer's notes do not say.
    for (const auto& note : rapp::unnotedLedger (outcome))
        printLine ("WARNING    " + note.text);
    printDuganOmissions (run.source.session.notes);
    // What the preflight decided the output holds differently (a plug-in written inactive, each
    // named; a profile fitted to the selection), beside the count of unavailable plug-ins.
    printIssues (plan, changesWhatIsWritten);
    printUnavailablePlugins (run.unavailable);
    return 0;
}

int selectionReportFile (const juce::File& input, const Host& host, const DeploymentProfile* profile)
{
    RackReadResult result;
    if (! readInput (input, result))
        return 1;
    if (! result.ok)
        return printError (result.error);

    auto capacity = host.rules.capacity;
    if (! capacity.fixed && profile != nullptr)
    {
        capacity = { profile->strips, profile->slots, true };
    }
    else if (! capacity.fixed)
    {
        // A variable host without a profile: propose the session's own shape.
        int slots = 1;
        for (const auto& strip : result.session.strips)
            slots = juce::jmax (slots, strip.plugins.size());
        capacity = { result.session.strips.size(), slots, true };
    }
    printLine (rapp::buildSelectionReportJson (result, capacity, host.targetWord));
    return 0;
}

bool buildModuleIndex (const CommandLineOptions& o, Vst3ModuleIndex& index)
{
    juce::String error;
    if (isGiven (o.factoryCatalog))
    {
        if (! index.loadFactoryCatalog (o.factoryCatalog, error))
        {
            printError (optionFileRefusal ("--factory-catalog", o.factoryCatalog, error));
            return false;
        }
    }
    else
    {
        index.scanDefaultLocations();
    }
    // A host's own file that every plan and convert joins onto the index (REAPER's plug-in cache).
    for (const auto* host : hosts())
    {
        if (host->joinModuleIndex == nullptr)
            continue;
        juce::StringArray warnings;
        if (! host->joinModuleIndex (o, index, warnings, error))
        {
            // A refusal may say why on a second line.
            for (const auto& line : juce::StringArray::fromLines (error))
                printError (line);
            return false;
        }
        for (const auto& warning : warnings)
            printLine ("WARNING " + warning);
    }
    return true;
}

} // namespace

bool parseDimensions (const juce::String& text, const juce::String& shapeError, const juce::String& valueError,
                      int& first, int& second, juce::String& error)
{
    int separator = text.indexOfChar ('x');
    if (separator < 0)
        separator = text.indexOfChar ('X');
    if (separator <= 0 || separator == text.length() - 1)
    {
        error = shapeError;
        return false;
    }
    int a = 0, b = 0;
    if (! parseDecimalInt (text.substring (0, separator), false, a) || ! parseDecimalInt (text.substring (separator + 1), false, b))
    {
        error = valueError;
        return false;
    }
    first = a;
    second = b;
    return true;
}

int runTargetOperation (const CommandLineOptions& o)
{
    // The target word, and the options neither the operation nor the target takes, were checked
    // with the options (OperationOptions).
    const auto word = o.convert.isNotEmpty() ? o.convert : (o.plan.isNotEmpty() ? o.plan : o.selectionReport);
    const auto* host = hostForTargetWord (word);
    if (host == nullptr)
        return printError (unknownTargetRefusal());
    const bool convert = o.convert.isNotEmpty();
    const bool plan = ! convert && o.plan.isNotEmpty();
    const bool selectionReport = ! convert && ! plan;

    if (host->preparesParameterMirrors && ! selectionReport && (! isGiven (o.pluginProbe) || ! isGiven (o.parameterCache)))
        return printError (host->hostName() + juce::String (" requires --plugin-probe and --parameter-cache"));
    if (convert)
    {
        if (! isGiven (o.output))
            return printError ("--convert requires --output <new file>");
        if (o.inputs.size() != 1)
            return printError ("--convert accepts exactly one input file");
    }
    if (selectionReport && o.inputs.size() != 1)
        return printError ("--selection-report accepts exactly one input file");
    if (refusedOptionPaths (o, operationOf (o)))
        return 1;
    if (const auto refusal = templateExtensionRefusal (*host, o.templateFile); refusal.isNotEmpty())
        return printError (refusal);

    // A selection report proposes from the session and the capacity alone: it takes neither a
    // catalog nor a REAPER cache, so it needs no module index.
    Vst3ModuleIndex index;
    if (! selectionReport && ! buildModuleIndex (o, index))
        return 1;

    DeploymentProfile profileValue;
    const DeploymentProfile* profile = nullptr;
    juce::String error;
    if (o.profile.isNotEmpty())
    {
        if (! parseDimensions (o.profile, "--profile must be <positive strips>x<positive slots>, e.g. 64x8",
                               "--profile values must both be positive decimal integers, e.g. 64x8",
                               profileValue.strips, profileValue.slots, error))
            return printError (error);
        profile = &profileValue;
    }
    if (o.io.isNotEmpty())
    {
        int inputs = 0, outputs = 0;
        if (! parseDimensions (o.io, "--io must be <positive inputs>x<positive outputs>, e.g. 128x128",
                               "--io values must both be positive decimal integers, e.g. 128x128", inputs, outputs, error))
            return printError (error);
        if (profile == nullptr)
            return printError ("--io requires --profile for a variable host target");
        profileValue.ioInputs = inputs;
        profileValue.ioOutputs = outputs;
    }

    if (selectionReport)
        return selectionReportFile (resolveArgument (o.inputs[0]), *host, profile);

    // What the host takes besides (LiveProfessor's plug-in list), loaded once for every input.
    rapp::SideInput sideInput;
    if (host->loadSideInput != nullptr && ! host->loadSideInput (sideInput, error))
        return printError (error);
    const juce::String stateProbe = host->stateProbe.asked != nullptr ? host->stateProbe.asked (o) : juce::String();

    int failures = 0;
    for (const auto& word : o.inputs)
    {
        ConvertRequest request;
        request.input = resolveArgument (word);
        request.host = host;
        request.commandLine = &o;
        request.options.output = o.output;
        request.options.templateFile = o.templateFile;
        request.options.profile = profile;
        request.options.sideInput = sideInput.has_value() ? &sideInput : nullptr;
        request.stateProbe = stateProbe;
        request.selection = o.selection;
        request.probe = o.pluginProbe;
        request.cacheDir = o.parameterCache;
        const int status = convert ? convertRappFile (request, index) : planRappFile (request, index);
        if (status != 0)
            ++failures;
    }
    printLine ({});
    return failures > 0 ? 1 : 0;
}

} // namespace vornconv::app
