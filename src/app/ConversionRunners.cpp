// The runners of the target operations: --plan (one plan per input, planRappFile), --convert (one
// input, convertRappFile) and --selection-report, whatever the input's host and the target's, with
// the command-line checks and set-up they share. Every choice that depends on the target host comes
// from its record in the registry of hosts. Plan and convert share their whole first half (the
// input read, the selection applied, availability, the parameter mirrors, the state probe session,
// the preflight and the blockers of the options the writer cannot do without), so that each
// refuses what the other refuses, under the same key. Each runner returns its decision; what must
// be out before a long step (a plan's banner before the read, the mirrors' line before the
// writer's proof or write) goes to the stream first.
//
// In this file, in order:
//   - reading the input and applying a selection;
//   - the parameter mirrors and the printers shared by plan and convert;
//   - the request of one run and the first half that plan and convert share;
//   - the plan runner;
//   - the convert runner;
//   - the selection-report runner;
//   - the checks and set-up of the command line, and the dispatch to the runners.

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

juce::String profileText (const DeploymentProfile& profile)
{
    return juce::String (profile.strips) + "x" + juce::String (profile.slots);
}

// Applies the selection file to the result. For a host whose files hold their strips from 0
// without gaps, the kept channels must take exactly those places. A host shaped by the profile
// then takes as many strips as the selection keeps: a selection of fewer channels than the
// profile has strips fits the profile to them (fitted), saying so in fitLine.
Expected<void> applySelection (RackReadResult& result, const juce::File& selection, const Host& host, const DeploymentProfile* profile,
                               DeploymentProfile& fitted, juce::String& fitLine)
{
    if (selection == juce::File())
        return success();
    auto capacity = host.rules.capacity;
    if (! capacity.fixed && profile != nullptr)
        capacity = { profile->strips, profile->slots, true };
    if (! capacity.fixed)
        return failure ("selection requires a fixed target capacity or --profile");
    const rapp::SelectionPlacement placement { host.holdsStripsInOrder, juce::String (host.hostName()) + " " + host.documents() };
    RackReadResult projected;
    juce::String error;
    if (! rapp::applySelectionFile (result, selection, capacity, host.targetWord, projected, error, placement))
    {
        // Whatever the file holds that the conversion cannot take, the refusal names it and the option.
        return failure ("--selection: " + namingFile (error, selection));
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
    return success();
}

// What the mirrors kept of the source, filled and replaced, then where those filled and replaced
// came from; and each slot whose mirror was replaced, with the reason.
juce::StringArray parameterMirrorLines (const rapp::ParameterMirrorHydrationStats& stats)
{
    juce::StringArray lines;
    lines.add ("PARAMETER_MIRRORS kept=" + juce::String (stats.alreadyComplete) + " filled=" + juce::String (stats.filled)
               + " replaced=" + juce::String (stats.replaced) + " memory=" + juce::String (stats.reusedInCall)
               + " cache=" + juce::String (stats.cacheHits) + " probed=" + juce::String (stats.probed)
               + " repaired=" + juce::String (stats.replacedInvalid) + " skippedAU=" + juce::String (stats.auSkipped));
    for (const auto& replaced : stats.replacements)
        lines.add ("WARNING    strip " + juce::String (replaced.strip) + ", slot " + juce::String (replaced.slot) + " ("
                   + rapp::printableSessionText (replaced.plugin) + "): parameter mirror replaced by the probe's: the source's "
                   + "is marked complete but does not decode (" + replaced.reason + ")");
    return lines;
}

// Fills every VST3 slot's parameter mirror, from the cache folder or by running the probe program
// (30 s per run): the mirror lines, or the refusal.
Expected<juce::StringArray> prepareParameterMirrors (RackReadResult& result, const Vst3ModuleIndex& index, const juce::File& probe,
                                                     const juce::File& cacheDir)
{
    rapp::ParameterMirrorHydrationStats stats;
    juce::String error;
    if (! rapp::hydrateParameterMirrors (result, index, probe, cacheDir, stats, error, 30000))
        return failure (mirrorInputRefusal (stats.inputFault, probe, cacheDir, error));
    return parameterMirrorLines (stats);
}

void addDuganOmissions (Decision& decided, const NoteList& notes)
{
    for (const auto& note : notes)
        if (note.code == "dugan.disabled" && note.fidelity == Fidelity::dropped)
            decided.add ("WARNING    " + note.text);
}

void addUnavailablePlugins (Decision& decided, int count)
{
    if (count > 0)
        decided.add ("UNAVAILABLE_PLUGINS " + juce::String (count));
}

// The plan's lines of the issues that pass: the blockers of a refused convert, or the warnings
// that say what a written one holds differently from its source.
void addIssues (Decision& decided, const rapp::ConversionPlan& plan, bool (*passes) (const rapp::Issue&))
{
    for (const auto& issue : plan.issues)
        if (passes (issue))
            decided.add (rapp::formatIssueLine (issue));
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
    std::optional<rapp::Issue> missing; // an option the writer cannot do without, when it is missing
    juce::String fitLine;               // what fitting the profile to a selection says; empty when it was not fitted

    const RackReadResult& written() const { return stateProbe ? probeSession : source; }
};

// The first part of the first half of plan and convert: reads the input (a failed read is left to
// the preflight, or refused when refuseFailedRead), applies the selection, marks availability on a
// private copy of the index and fills the parameter mirrors: the mirrors' lines (none when the host
// prepares none, or the read failed), or the refusal.
Expected<juce::StringArray> prepareSource (const ConvertRequest& request, const Vst3ModuleIndex& index, bool refuseFailedRead,
                                           PreparedRun& run)
{
    const auto& host = *request.host;
    run.options = request.options;
    run.index = index;
    auto read = readHostInput (request.input);
    if (! read)
        return failure (read.message());
    run.source = std::move (*read);
    if (! run.source.ok && refuseFailedRead)
        return failure (run.source.error);

    // A failed read goes straight to the preflight, which reports it: nothing else may act on a
    // session that was never read completely.
    juce::StringArray mirrorLines;
    if (run.source.ok)
    {
        if (auto selected = applySelection (run.source, request.selection, host, request.options.profile, run.fittedProfile, run.fitLine);
            ! selected)
            return failure (selected.message());
        if (run.fitLine.isNotEmpty())
            run.options.profile = &run.fittedProfile;
        run.unavailable = run.index.applyCachedAvailability (run.source);
        // The mirrors are prepared (and cached) before the writer's options are looked at.
        if (host.preparesParameterMirrors)
        {
            auto mirrors = prepareParameterMirrors (run.source, run.index, request.probe, request.cacheDir);
            if (! mirrors)
                return failure (mirrors.message());
            mirrorLines = std::move (*mirrors);
        }
    }
    return mirrorLines;
}

// The second part: builds the state probe session when asked for, and runs the preflight once on
// what would be written, adding the blockers of the options the writer cannot do without and the
// line of a profile fitted to a selection; or the refusal.
Expected<void> preflight (const ConvertRequest& request, PreparedRun& run)
{
    const auto& host = *request.host;
    run.missing = host.missingFrom (run.options);
    // A state probe session is shaped by the profile; without one the preflight blocks for want of it.
    if (request.stateProbe.isNotEmpty() && run.options.profile != nullptr)
    {
        auto probe = host.stateProbe.make (*request.commandLine, run.source, run.index, run.options);
        if (! probe)
            return failure (probe.message());
        run.probeSession = std::move (*probe);
        run.stateProbe = true;
    }

    // The preflight, once: the writer's proof and the writer take its verdict and do not run it again.
    run.plan = rapp::inspect (run.written(), host.rules, run.index, run.options.profile, run.options.sideInput);
    if (run.missing.has_value())
    {
        bool listed = false;
        for (const auto& issue : run.plan.issues)
            listed = listed || issue.code == run.missing->code;
        if (! listed)
            run.plan.issues.add (*run.missing);
    }
    if (run.fitLine.isNotEmpty())
        run.plan.issues.add ({ rapp::severityWarning, issueCode::fittedProfile, run.fitLine, true });
    return success();
}

// The whole first half, as plan and convert run it: the mirrors' lines go to the stream before
// anything else is done with the session (the writer's proof or write may take long).
Expected<void> prepareRun (const ConvertRequest& request, const Vst3ModuleIndex& index, bool refuseFailedRead, PreparedRun& run,
                           const Stream& stream)
{
    auto mirrorLines = prepareSource (request, index, refuseFailedRead, run);
    if (! mirrorLines)
        return failure (mirrorLines.message());
    if (! mirrorLines->isEmpty())
        stream (*mirrorLines);
    return preflight (request, run);
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

// The plan of one input for the target host: its banner (streamed before the input is read), then
// what the first half and the writer's proof decided. Fails when the plan does not allow writing.
Decision planRappFile (const ConvertRequest& request, const Vst3ModuleIndex& index, const Stream& stream)
{
    const auto& input = request.input;
    const auto& host = *request.host;
    stream ({ {}, juce::String::repeatedString ("=", 68), "FILE    " + input.getFullPathName() });

    PreparedRun run;
    if (const auto prepared = prepareRun (request, index, false, run, stream); ! prepared)
        return refusal (prepared.message());
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
    Decision decided;
    decided.add (juce::String ("RAPP PLAN  target=") + host.targetName);
    if (run.stateProbe)
        decided.add ("  state probe session: " + request.stateProbe);
    if (plan.capacity.fixed)
        decided.add ("  capacity=" + juce::String (plan.capacity.strips) + " strips x " + juce::String (plan.capacity.slots)
                     + " slots");
    else
        decided.add ("  capacity=source-shaped deployment profile required");
    juce::String indexed = "  VST3 moduleinfo: " + juce::String (run.index.entries.size()) + " indexed";
    if (! run.index.warnings.isEmpty())
        indexed << ", " << run.index.warnings.size() << " skipped";
    decided.add (indexed);
    decided.add ("  plugins=" + juce::String (plan.plugins) + " state-portable=" + juce::String (plan.statePortable)
                 + " identity-resolved=" + juce::String (plan.identityResolved));
    decided.add (juce::String ("  WRITE: ") + (plan.canWrite() ? "allowed" : "BLOCKED"));
    addIssues (decided, plan, [] (const rapp::Issue&) { return true; });
    decided.failed = ! plan.canWrite();
    return decided;
}

// The convert of one input for the target host: the file written, and what it holds differently
// from its source; or the refusal, after the blockers of a plan that refuses.
Decision convertRappFile (const ConvertRequest& request, const Vst3ModuleIndex& index, const Stream& stream)
{
    const auto& host = *request.host;
    const auto& output = request.options.output;
    const juce::String extension = host.extension;
    if (output.getFileExtension().toLowerCase() != extension)
        return refusal ("--output: output extension must be " + extension + ": " + output.getFullPathName());

    PreparedRun run;
    if (const auto prepared = prepareRun (request, index, true, run, stream); ! prepared)
        return refusal (prepared.message());

    // A convert the preflight refuses says why before it says that it was refused: the plan's
    // blockers, then what supplies a missing option, or the writer's own refusal.
    Decision decided;
    const auto& plan = run.plan;
    if (! plan.canWrite())
    {
        addIssues (decided, plan, isBlocker);
        if (run.missing.has_value())
            return decided.refuse (run.missing->message);
    }
    const auto outcome = host.write (run.written(), run.index, plan, run.options);
    if (! outcome.ok)
        return decided.refuse (writerRefusal (outcome, run.options));
    noteOutputWritten (output);
    decided.add ((run.stateProbe ? "STATE PROBE  " : "CANDIDATE  ") + request.input.getFullPathName() + " -> " + output.getFullPathName());
    for (const auto& note : outcome.notes)
        decided.add ("WARNING    " + note);
    // What the output holds differently from the source and the writer's notes do not say.
    for (const auto& note : rapp::unnotedLedger (outcome))
        decided.add ("WARNING    " + note.text);
    addDuganOmissions (decided, run.source.session.notes);
    // What the preflight decided the output holds differently (a plug-in written inactive, each
    // named; a profile fitted to the selection), beside the count of unavailable plug-ins.
    addIssues (decided, plan, changesWhatIsWritten);
    addUnavailablePlugins (decided, run.unavailable);
    return decided;
}

// The selection a host could take of one input, as one line of JSON.
Decision selectionReportFile (const juce::File& input, const Host& host, const DeploymentProfile* profile)
{
    const auto read = readHostInput (input);
    if (! read)
        return refusal (read.message());
    const auto& result = *read;
    if (! result.ok)
        return refusal (result.error);

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
    Decision decided;
    decided.add (rapp::buildSelectionReportJson (result, capacity, host.targetWord));
    return decided;
}

// The module index of every plan and convert: the factory catalog given, or the plug-in folders
// scanned, and each host's own file joined onto it (REAPER's plug-in cache). Its decision: the
// warnings about what a joined file could not use, or the refusal, which may say why on a second
// line (an ERROR line each).
Decision buildModuleIndex (const CommandLineOptions& o, Vst3ModuleIndex& index)
{
    if (isGiven (o.factoryCatalog))
    {
        juce::String error;
        if (! index.loadFactoryCatalog (o.factoryCatalog, error))
            return refusal (optionFileRefusal ("--factory-catalog", o.factoryCatalog, error));
    }
    else
    {
        index.scanDefaultLocations();
    }
    Decision decided;
    for (const auto* host : hosts())
    {
        if (host->joinModuleIndex == nullptr)
            continue;
        const auto warnings = host->joinModuleIndex (o, index);
        if (! warnings)
        {
            for (const auto& line : juce::StringArray::fromLines (warnings.message()))
                decided.refuse (line);
            return decided;
        }
        for (const auto& warning : *warnings)
            decided.add ("WARNING " + warning);
    }
    return decided;
}

} // namespace

namespace
{

// The deployment profile that --profile and --io give; none without --profile.
Expected<std::optional<DeploymentProfile>> deploymentProfileOf (const CommandLineOptions& o)
{
    std::optional<DeploymentProfile> profile;
    if (o.profile.isNotEmpty())
    {
        const auto dimensions = parseDimensions (o.profile, "--profile must be <positive strips>x<positive slots>, e.g. 64x8",
                                                 "--profile values must both be positive decimal integers, e.g. 64x8");
        if (! dimensions)
            return failure (dimensions.message());
        profile.emplace();
        profile->strips = dimensions->first;
        profile->slots = dimensions->second;
    }
    if (o.io.isNotEmpty())
    {
        const auto dimensions = parseDimensions (o.io, "--io must be <positive inputs>x<positive outputs>, e.g. 128x128",
                                                 "--io values must both be positive decimal integers, e.g. 128x128");
        if (! dimensions)
            return failure (dimensions.message());
        if (! profile.has_value())
            return failure ("--io requires --profile for a variable host target");
        profile->ioInputs = dimensions->first;
        profile->ioOutputs = dimensions->second;
    }
    return profile;
}

} // namespace

Decision runTargetOperation (const CommandLineOptions& o, const Stream& stream)
{
    // The target word, and the options neither the operation nor the target takes, were checked
    // with the options (OperationOptions).
    const auto word = o.convert.isNotEmpty() ? o.convert : (o.plan.isNotEmpty() ? o.plan : o.selectionReport);
    const auto* host = hostForTargetWord (word);
    if (host == nullptr)
        return refusal (unknownTargetRefusal());
    const bool convert = o.convert.isNotEmpty();
    const bool plan = ! convert && o.plan.isNotEmpty();
    const bool selectionReport = ! convert && ! plan;

    if (host->preparesParameterMirrors && ! selectionReport && (! isGiven (o.pluginProbe) || ! isGiven (o.parameterCache)))
        return refusal (host->hostName() + juce::String (" requires --plugin-probe and --parameter-cache"));
    if (convert)
    {
        if (! isGiven (o.output))
            return refusal ("--convert requires --output <new file>");
        if (o.inputs.size() != 1)
            return refusal ("--convert accepts exactly one input file");
    }
    if (selectionReport && o.inputs.size() != 1)
        return refusal ("--selection-report accepts exactly one input file");
    if (const auto paths = checkOptionPaths (o, operationOf (o)); ! paths)
        return refusal (paths.message());
    if (const auto templateTaken = checkTemplateExtension (*host, o.templateFile); ! templateTaken)
        return refusal (templateTaken.message());

    // A selection report proposes from the session and the capacity alone: it takes neither a
    // catalog nor a REAPER cache, so it needs no module index. The index's warnings are out before
    // anything else is decided: reading the inputs may take long.
    Vst3ModuleIndex index;
    if (! selectionReport)
    {
        const auto indexed = buildModuleIndex (o, index);
        if (indexed.failed)
            return indexed;
        stream (indexed.lines);
    }

    const auto profileGiven = deploymentProfileOf (o);
    if (! profileGiven)
        return refusal (profileGiven.message());
    const DeploymentProfile* profile = profileGiven->has_value() ? &**profileGiven : nullptr;

    if (selectionReport)
        return selectionReportFile (resolveArgument (o.inputs[0]), *host, profile);

    // What the host takes besides (LiveProfessor's plug-in list), loaded once for every input.
    rapp::SideInput sideInput;
    if (host->loadSideInput != nullptr)
    {
        auto loaded = host->loadSideInput();
        if (! loaded)
            return refusal (loaded.message());
        sideInput = std::move (*loaded);
    }
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
        // Each input's decision is out before the next input is read.
        const auto decided = convert ? convertRappFile (request, index, stream) : planRappFile (request, index, stream);
        stream (decided.lines);
        if (decided.failed)
            ++failures;
    }
    Decision end;
    end.add (juce::String());
    end.failed = failures > 0;
    return end;
}

} // namespace vornconv::app
