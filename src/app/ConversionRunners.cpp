// The runners of the target operations: --plan (one plan per input), --convert (one input) and
// --selection-report, with the command-line checks and set-up they share. Every choice that
// depends on the target host comes from its descriptor and its row in the table of hosts.
//
// In this file, in order:
//   - reading the input and applying a selection;
//   - the parameter mirrors and the printers shared by plan and convert;
//   - the request of one run, the writer's proof that a plan runs, and the plan's lines a convert
//     prints;
//   - the plan runner;
//   - the convert runner;
//   - the selection-report runner;
//   - the checks and set-up of the command line, and the dispatch to the runners.

#include "app/ConversionRunners.h"

#include "app/HostFormats.h"
#include "app/Operations.h"
#include "rapp/LiveProfessorPluginCatalog.h"
#include "rapp/ParameterMirrorHydrator.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/RappSelection.h"
#include "rapp/Vst3ModuleIndex.h"
#include "writers/ConversionLedger.h"

namespace vornconv::app
{

using rapp::DeploymentProfile;
using rapp::LiveProfessorPluginCatalog;
using rapp::Vst3ModuleIndex;

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

bool applySelection (RackReadResult& result, const juce::File& selection, const HostFormat& host,
                     const DeploymentProfile* profile, juce::String& error)
{
    if (selection == juce::File())
        return true;
    auto capacity = rapp::targetCapacity (host.target);
    if (! capacity.fixed && profile != nullptr)
        capacity = { profile->strips, profile->slots, true };
    if (! capacity.fixed)
    {
        error = "selection requires a fixed target capacity or --profile";
        return false;
    }
    RackReadResult projected;
    if (! rapp::applySelectionFile (result, selection, capacity, host.targetWord, projected, error))
        return false;
    result.ok = projected.ok;
    result.status = projected.status;
    result.error = projected.error;
    result.session = std::move (projected.session);
    return true;
}

void printParameterMirrorStats (const rapp::ParameterMirrorHydrationStats& stats)
{
    printLine ("PARAMETER_MIRRORS source=" + juce::String (stats.alreadyComplete) + " memory=" + juce::String (stats.reusedInCall)
               + " cache=" + juce::String (stats.cacheHits) + " probed=" + juce::String (stats.probed)
               + " repaired=" + juce::String (stats.replacedInvalid) + " skippedAU=" + juce::String (stats.auSkipped));
}

// Fills every VST3 slot's parameter mirror, from the cache folder or by running the probe program
// (30 s per run), and prints the mirror line.
bool prepareParameterMirrors (RackReadResult& result, const Vst3ModuleIndex& index, const juce::File& probe,
                              const juce::File& cacheDir, juce::String& error)
{
    rapp::ParameterMirrorHydrationStats stats;
    if (! rapp::hydrateParameterMirrors (result, index, probe, cacheDir, stats, error, 30000))
        return false;
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

struct ConvertRequest
{
    juce::File input;
    const HostFormat* host = nullptr;
    WriteOptions options;
    rapp::ReaperStateProbe stateProbe;
    juce::File selection;
    juce::File probe;
    juce::File cacheDir;
};

// The target's writer's proof without an output, run on the session the convert would write with
// the plan as its verdict: ok, or the writer's refusal in its own words.
rapp::WriteResult checkWrite (const RackReadResult& result, const ConvertRequest& request, const Vst3ModuleIndex& index,
                              const rapp::ConversionPlan& plan)
{
    rapp::WriteResult refused;
    refused.error = request.host->optionRefusal (*request.host, request.options);
    if (refused.error.isNotEmpty())
        return refused;
    return request.host->checkWrite (result, index, request.options, plan);
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

int planRappFile (const ConvertRequest& request, const Vst3ModuleIndex& index)
{
    const auto& input = request.input;
    const auto& host = *request.host;
    const auto* profile = request.options.profile;
    printLine ({});
    printLine (juce::String::repeatedString ("=", 68));
    printLine ("FILE    " + input.getFullPathName());

    RackReadResult result;
    if (! readInput (input, result))
        return 1;

    // A failed read goes straight to the preflight, which reports it: nothing else may act on a
    // session that was never read completely.
    Vst3ModuleIndex copy = index;
    if (result.ok)
    {
        juce::String error;
        if (! applySelection (result, request.selection, host, profile, error))
            return printError (error);
        copy.applyCachedAvailability (result);
        if (host.preparesParameterMirrors && ! prepareParameterMirrors (result, copy, request.probe, request.cacheDir, error))
            return printError (error);
    }

    // The preflight, once: the writer's proof takes its verdict and does not run it again.
    auto plan = rapp::inspect (result, host.target, copy, profile, request.options.catalog);
    // "Allowed" promises that the convert with the same options will write: what its writer's
    // proof refuses (everything but what only an output can meet) is a blocker here, in the
    // writer's words. A proof that holds lists what the output will hold differently from the
    // source: every field of the ledger, since a plan prints none of the notes of the writer.
    // What was proven goes once its ledger is taken.
    if (plan.canWrite())
    {
        const auto checked = checkWrite (result, request, copy, plan);
        if (! checked.ok)
            plan.issues.add ({ rapp::severityBlocker, checked.temporaryFolderFault ? "temporary.folder" : "target.writer",
                               rapp::printableSessionText (checked.error) });
        else if (checked.compared != nullptr)
            for (const auto& note : checked.compared->ledger)
                plan.issues.add ({ rapp::severityWarning, note.code, note.text });
    }
    printLine ("RAPP PLAN  target=" + rapp::targetName (plan.target));
    if (plan.capacity.fixed)
        printLine ("  capacity=" + juce::String (plan.capacity.strips) + " strips x " + juce::String (plan.capacity.slots)
                   + " slots");
    else
        printLine ("  capacity=source-shaped deployment profile required");
    juce::String indexed = "  VST3 moduleinfo: " + juce::String (copy.entries.size()) + " indexed";
    if (! copy.warnings.isEmpty())
        indexed << ", " << copy.warnings.size() << " skipped";
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
    const juce::String extension = host.descriptor().extension;
    if (output.getFileExtension().toLowerCase() != extension)
        return printError ("output extension must be " + extension);

    RackReadResult result;
    if (! readInput (request.input, result))
        return 1;
    if (! result.ok)
        return printError (result.error);

    juce::String error;
    if (! applySelection (result, request.selection, host, request.options.profile, error))
        return printError (error);
    Vst3ModuleIndex copy = index;
    const int unavailable = copy.applyCachedAvailability (result);

    // The mirrors are prepared (and cached) before the writer's options are refused.
    const auto optionRefusal = host.optionRefusal (host, request.options);
    if (host.preparesParameterMirrors && ! prepareParameterMirrors (result, copy, request.probe, request.cacheDir, error))
        return printError (error);
    if (optionRefusal.isNotEmpty())
        return printError (optionRefusal);

    // A state probe writes its diagnostic session in place of the source.
    const bool stateProbe = host.makeStateProbe != nullptr && request.stateProbe.requested();
    RackReadResult probeSession;
    if (stateProbe && ! host.makeStateProbe (result, copy, request.options, request.stateProbe, probeSession, error))
        return printError (error);
    const auto& written = stateProbe ? probeSession : result;

    // The preflight, once, of what is written: the writer takes its verdict and does not run it
    // again. A convert it refuses says why before it says that it was refused.
    const auto plan = rapp::inspect (written, host.target, copy, request.options.profile, request.options.catalog);
    if (! plan.canWrite())
        printIssues (plan, isBlocker);
    const auto outcome = host.write (written, copy, request.options, plan);
    if (! outcome.ok)
        return printError (outcome.error);
    noteOutputWritten (output);
    printLine ((stateProbe ? "STATE PROBE  " : "CANDIDATE  ") + request.input.getFullPathName() + " -> " + output.getFullPathName());
    for (const auto& note : outcome.notes)
        printLine ("WARNING    " + note);
    // What the output holds differently from the source and the writer's notes do not say.
    for (const auto& note : rapp::unnotedLedger (outcome))
        printLine ("WARNING    " + note.text);
    printDuganOmissions (result.session.notes);
    // What the preflight decided the output holds differently (a plug-in written inactive, each
    // named), beside the count of unavailable plug-ins.
    printIssues (plan, changesWhatIsWritten);
    printUnavailablePlugins (unavailable);
    return 0;
}

int selectionReportFile (const juce::File& input, const HostFormat& host, const DeploymentProfile* profile)
{
    RackReadResult result;
    if (! readInput (input, result))
        return 1;
    if (! result.ok)
        return printError (result.error);

    auto capacity = rapp::targetCapacity (host.target);
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
            printError (error);
            return false;
        }
    }
    else
    {
        index.scanDefaultLocations();
    }
    if (isGiven (o.reaperCache))
    {
        if (! index.loadReaperCache (o.reaperCache, error))
        {
            // A refused cache may say why on a second line.
            for (const auto& line : juce::StringArray::fromLines (error))
                printError (line);
            return false;
        }
        for (const auto& warning : index.cacheWarnings)
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
    const auto word = o.convert.isNotEmpty() ? o.convert : (o.plan.isNotEmpty() ? o.plan : o.selectionReport);
    const auto* host = hostForTargetWord (word);
    if (host == nullptr)
        return printError (unknownTargetRefusal());
    const bool convert = o.convert.isNotEmpty();
    const bool plan = ! convert && o.plan.isNotEmpty();
    const bool selectionReport = ! convert && ! plan;

    const rapp::ReaperStateProbe stateProbe { o.probeStrip, o.probeSlot, o.reaperNormalizedProbe };
    if (host->makeStateProbe == nullptr && stateProbe.requested())
    {
        const juce::String name = hostWithStateProbe()->descriptor().hostName;
        return printError (name + " probe options require a " + name + " conversion target");
    }
    if (host->preparesParameterMirrors)
    {
        if (! selectionReport && (! isGiven (o.pluginProbe) || ! isGiven (o.parameterCache)))
            return printError (host->descriptor().hostName + juce::String (" requires --plugin-probe and --parameter-cache"));
    }
    else if (isGiven (o.pluginProbe) || isGiven (o.parameterCache))
    {
        return printError (juce::String ("parameter probe options require a ")
                           + hostWith (&HostFormat::preparesParameterMirrors)->descriptor().hostName + " target");
    }
    if (convert)
    {
        if (! isGiven (o.output))
            return printError ("--convert requires --output <new file>");
        if (o.inputs.size() != 1)
            return printError ("--convert accepts exactly one input file");
    }
    if (selectionReport && o.inputs.size() != 1)
        return printError ("--selection-report accepts exactly one input file");
    if (isGiven (o.selection) && selectionReport)
        return printError ("--selection requires --plan or --convert");

    Vst3ModuleIndex index;
    if (! buildModuleIndex (o, index))
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

    LiveProfessorPluginCatalog catalogValue;
    const LiveProfessorPluginCatalog* catalog = nullptr;
    if (host->needsPluginCatalog)
    {
        if (! catalogValue.load (LiveProfessorPluginCatalog::defaultFile(), error))
            return printError (error);
        catalog = &catalogValue;
    }

    int failures = 0;
    for (const auto& word : o.inputs)
    {
        ConvertRequest request;
        request.input = resolveArgument (word);
        request.host = host;
        request.options.output = o.output;
        request.options.templateFile = o.templateFile;
        request.options.profile = profile;
        request.options.catalog = catalog;
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
