#include "app/ConversionRunners.h"

#include "app/SessionFormats.h"
#include "app/Operations.h"
#include "rapp/LiveProfessorPluginCatalog.h"
#include "rapp/ParameterMirrorHydrator.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/RappSelection.h"
#include "rapp/Vst3ModuleIndex.h"
#include "writers/LiveProfessorRack2Writer.h"
#include "writers/ReaperRppWriter.h"
#include "writers/SuperRackSprkWriter.h"
#include "writers/VornKsnWriter.h"

namespace vornconv::app
{

using rapp::DeploymentProfile;
using rapp::LiveProfessorPluginCatalog;
using rapp::Vst3ModuleIndex;

namespace
{
const char* const targetWords[] = { "vorn", "superrack-performer", "liveprofessor", "reaper" };
const char* const targetExtensions[] = { ".ksn", ".sprk", ".rack2", ".rpp" };

constexpr int targetVorn = 0;
constexpr int targetSuperRack = 1;
constexpr int targetLiveProfessor = 2;
constexpr int targetReaper = 3;

int fail (const juce::String& error)
{
    printLine ("ERROR   " + error);
    return 1;
}

rapp::Target asTarget (int target) { return static_cast<rapp::Target> (target); }

// Reads an input by its extension; an empty format id is refused before anything is read.
bool readInput (const juce::File& input, RackReadResult& result)
{
    const auto format = detectFormat (input);
    if (format.isEmpty())
    {
        printLine ("ERROR   RAPP input must be .ksn, .sprk, .rack2, or .rpp");
        return false;
    }
    result = readSessionFile (input, format);
    return true;
}

bool applySelection (RackReadResult& result, const juce::File& selection, int target,
                     const DeploymentProfile* profile, juce::String& error)
{
    if (selection == juce::File())
        return true;
    auto capacity = rapp::targetCapacity (asTarget (target));
    if (! capacity.fixed && profile != nullptr)
        capacity = { profile->strips, profile->slots, true };
    if (! capacity.fixed)
    {
        error = "selection requires a fixed target capacity or --profile";
        return false;
    }
    RackReadResult projected;
    if (! rapp::applySelectionFile (result, selection, capacity, targetWords[target], projected, error))
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
    int target = -1;
    juce::File output;
    juce::File templateFile;
    const DeploymentProfile* profile = nullptr;
    const LiveProfessorPluginCatalog* catalog = nullptr;
    int probeStrip = -1;
    int probeSlot = -1;
    bool normalizedProbe = false;
    juce::File selection;
    juce::File probe;
    juce::File cacheDir;
};

// The convert's own refusals that need neither the output nor a session: the options each writer
// requires. Empty when there is none.
juce::String writerOptionRefusal (const ConvertRequest& request)
{
    const auto extension = request.templateFile.getFileExtension().toLowerCase();
    switch (request.target)
    {
        case targetSuperRack:
            if (request.templateFile == juce::File())
                return "SuperRack writer requires a verified 5.0.0.19 host-save base";
            if (extension != ".sprk")
                return "SuperRack template extension must be .sprk";
            break;
        case targetLiveProfessor:
            if (request.templateFile != juce::File() && extension != ".rack2")
                return "LiveProfessor optional template extension must be .rack2";
            if (request.profile == nullptr)
                return "LiveProfessor writer requires --profile <strips>x<slots>";
            if (request.catalog == nullptr)
                return "LiveProfessor plugin catalog is unavailable";
            break;
        case targetReaper:
            if (request.templateFile != juce::File() && extension != ".rpp")
                return "REAPER optional template extension must be .rpp";
            if (request.profile == nullptr)
                return "REAPER writer requires --profile <strips>x<slots>";
            break;
        default:
            break;
    }
    return {};
}

// Everything the target's writer checks before it needs the output, run on the session the
// convert would write: ok, or the writer's refusal in its own words.
rapp::WriteResult checkWrite (const RackReadResult& result, const ConvertRequest& request, const Vst3ModuleIndex& index)
{
    rapp::WriteResult refused;
    refused.error = writerOptionRefusal (request);
    if (refused.error.isNotEmpty())
        return refused;
    switch (request.target)
    {
        case targetVorn:          return rapp::checkVornKsnWrite (result, index);
        case targetSuperRack:     return rapp::checkSuperRackSprkWrite (result, index, request.templateFile);
        case targetLiveProfessor: return rapp::checkLiveProfessorRack2Write (result, index, *request.catalog,
                                                                            request.templateFile, *request.profile);
        case targetReaper:        return rapp::checkReaperRppWrite (result, index, request.templateFile, *request.profile);
        default:                  break;
    }
    refused.error = "target must be vorn, superrack-performer, liveprofessor, or reaper";
    return refused;
}

int planRappFile (const ConvertRequest& request, const Vst3ModuleIndex& index)
{
    const auto& input = request.input;
    const int target = request.target;
    const auto* profile = request.profile;
    const auto* catalog = request.catalog;
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
        if (! applySelection (result, request.selection, target, profile, error))
            return fail (error);
        copy.applyCachedAvailability (result);
        if (target == targetLiveProfessor && ! prepareParameterMirrors (result, copy, request.probe, request.cacheDir, error))
            return fail (error);
    }

    auto plan = rapp::inspect (result, asTarget (target), copy, profile, catalog);
    // "Allowed" promises that the convert with the same options will write: what its writer would
    // refuse before it needs the output is a blocker here, in the writer's words.
    if (plan.canWrite())
    {
        const auto checked = checkWrite (result, request, copy);
        if (! checked.ok)
            plan.issues.add ({ rapp::severityBlocker, "target.writer", rapp::printableSessionText (checked.error) });
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

juce::String upperClassId (const PluginRef& slot, const Vst3ModuleIndex& index)
{
    return (slot.classId.isNotEmpty() ? slot.classId : index.resolveClassId (slot)).toUpperCase();
}

const RackStrip* lastStripWithIndex (const RackSession& session, int stripIndex)
{
    const RackStrip* found = nullptr;
    for (const auto& strip : session.strips)
        if (strip.index == stripIndex)
            found = &strip;
    return found;
}

// The REAPER diagnostic probe: a session of the profile's shape that carries the source's plug-in
// states with everything around them normalised, so one plug-in state can be checked in isolation.
int runReaperStateProbe (const RackReadResult& source, const ConvertRequest& request, const Vst3ModuleIndex& index,
                         int unavailable)
{
    const bool slotMode = request.probeStrip >= 0 && request.probeSlot >= 0;
    if (! source.isComplete() || slotMode == request.normalizedProbe)
        return fail ("REAPER probe requires a complete source and exactly one probe mode");

    const auto& profile = *request.profile;
    juce::String selectedClassId;
    if (slotMode)
    {
        const auto* strip = lastStripWithIndex (source.session, request.probeStrip);
        if (strip == nullptr || request.probeSlot >= strip->plugins.size()
            || ! strip->plugins.getReference (request.probeSlot).occupied)
            return fail ("REAPER state probe source slot is absent");
        selectedClassId = upperClassId (strip->plugins.getReference (request.probeSlot), index);
        if (selectedClassId.isEmpty() || request.probeStrip >= profile.strips || request.probeSlot >= profile.slots)
            return fail ("REAPER state probe CID/profile is unresolved or undersized");
    }

    RackReadResult probe;
    probe.ok = true;
    probe.status = readComplete;
    probe.session.sourceFormat = "reaper.state-probe";
    probe.session.sourceApp = "Vorn Converter diagnostic";
    int taken = 0;
    for (int t = 0; t < profile.strips; ++t)
    {
        const auto* strip = lastStripWithIndex (source.session, t);
        if (strip == nullptr)
            return fail ("REAPER state probe profile exceeds source strips");
        RackStrip copy = *strip;
        copy.inputGainDb = 0.0f;
        copy.bypassed = false;
        copy.inputChannels = 2;
        copy.outputChannels = 2;
        copy.routeInL = copy.routeInR = copy.routeOutL = copy.routeOutR = -1;
        copy.routePatches.clear();
        copy.sourceParameters.clear();
        copy.plugins.clear();
        // The fields set here are known by construction; the kept ones stay as the source proved them.
        copy.coverage.inputGain = copy.coverage.bypass = copy.coverage.channelLayout = copy.coverage.route = true;
        const int slots = juce::jmin (profile.slots, strip->plugins.size());
        for (int s = 0; s < slots; ++s)
        {
            const auto& slot = strip->plugins.getReference (s);
            if (! slot.occupied || (slotMode && upperClassId (slot, index) != selectedClassId))
                continue;
            while (copy.plugins.size() < s)
                copy.plugins.add (PluginRef());
            PluginRef kept = slot;
            kept.inactive = false;
            kept.muted = false;
            kept.sidechainSource = -1;
            kept.coverage.activation = kept.coverage.mute = kept.coverage.sidechain = true;
            copy.plugins.add (kept);
            ++taken;
        }
        probe.session.strips.add (copy);
    }
    if (taken == 0)
        return fail ("REAPER state probe found no selected-CID instances in profile");
    const auto written = rapp::writeReaperRpp (probe, index, request.templateFile, profile, request.output);
    if (! written.ok)
        return fail (written.error);
    printLine ("STATE PROBE  " + request.input.getFullPathName() + " -> " + request.output.getFullPathName());
    for (const auto& note : written.notes)
        printLine ("WARNING    " + note);
    printDuganOmissions (source.session.notes);
    printUnavailablePlugins (unavailable);
    return 0;
}

int convertRappFile (const ConvertRequest& request, const Vst3ModuleIndex& index)
{
    const int target = request.target;
    const juce::String extension = targetExtensions[target];
    if (request.output.getFileExtension().toLowerCase() != extension)
        return fail ("output extension must be " + extension);

    RackReadResult result;
    if (! readInput (request.input, result))
        return 1;
    if (! result.ok)
        return fail (result.error);

    juce::String error;
    if (! applySelection (result, request.selection, target, request.profile, error))
        return fail (error);
    Vst3ModuleIndex copy = index;
    const int unavailable = copy.applyCachedAvailability (result);

    const auto optionRefusal = writerOptionRefusal (request);
    if (target == targetLiveProfessor && ! prepareParameterMirrors (result, copy, request.probe, request.cacheDir, error))
        return fail (error);
    if (optionRefusal.isNotEmpty())
        return fail (optionRefusal);

    rapp::WriteResult written;
    const bool probeOptions = request.probeStrip >= 0 || request.probeSlot >= 0 || request.normalizedProbe;
    switch (target)
    {
        case targetVorn:
            written = rapp::writeVornKsn (result, copy, request.output);
            break;
        case targetSuperRack:
            written = rapp::writeSuperRackSprk (result, copy, request.templateFile, request.output);
            break;
        case targetLiveProfessor:
            written = rapp::writeLiveProfessorRack2 (result, copy, *request.catalog, request.templateFile,
                                                     *request.profile, request.output);
            break;
        case targetReaper:
            if (probeOptions)
                return runReaperStateProbe (result, request, copy, unavailable);
            written = rapp::writeReaperRpp (result, copy, request.templateFile, *request.profile, request.output);
            break;
        default:
            return fail ("target must be vorn, superrack-performer, liveprofessor, or reaper");
    }

    if (! written.ok)
        return fail (written.error);
    printLine ("CANDIDATE  " + request.input.getFullPathName() + " -> " + request.output.getFullPathName());
    for (const auto& note : written.notes)
        printLine ("WARNING    " + note);
    printDuganOmissions (result.session.notes);
    printUnavailablePlugins (unavailable);
    return 0;
}

int selectionReportFile (const juce::File& input, int target, const DeploymentProfile* profile)
{
    RackReadResult result;
    if (! readInput (input, result))
        return 1;
    if (! result.ok)
        return fail (result.error);

    auto capacity = rapp::targetCapacity (asTarget (target));
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
    printLine (rapp::buildSelectionReportJson (result, capacity, targetWords[target]));
    return 0;
}

bool buildModuleIndex (const CommandLineOptions& o, Vst3ModuleIndex& index)
{
    juce::String error;
    if (isGiven (o.factoryCatalog))
    {
        if (! index.loadFactoryCatalog (o.factoryCatalog, error))
        {
            fail (error);
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
                fail (line);
            return false;
        }
        for (const auto& warning : index.cacheWarnings)
            printLine ("WARNING " + warning);
    }
    return true;
}

} // namespace

int targetFromWord (const juce::String& word)
{
    for (int i = 0; i < 4; ++i)
        if (word == targetWords[i])
            return i;
    return -1;
}

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
    const int target = targetFromWord (word);
    if (target < 0)
        return fail ("target must be vorn, superrack-performer, liveprofessor, or reaper");
    const bool convert = o.convert.isNotEmpty();
    const bool plan = ! convert && o.plan.isNotEmpty();
    const bool selectionReport = ! convert && ! plan;

    if (target != targetReaper && (o.probeStrip >= 0 || o.probeSlot >= 0 || o.reaperNormalizedProbe))
        return fail ("REAPER probe options require a REAPER conversion target");
    if (target == targetLiveProfessor)
    {
        if (! selectionReport && (! isGiven (o.pluginProbe) || ! isGiven (o.parameterCache)))
            return fail ("LiveProfessor requires --plugin-probe and --parameter-cache");
    }
    else if (isGiven (o.pluginProbe) || isGiven (o.parameterCache))
    {
        return fail ("parameter probe options require a LiveProfessor target");
    }
    if (convert)
    {
        if (! isGiven (o.output))
            return fail ("--convert requires --output <new file>");
        if (o.inputs.size() != 1)
            return fail ("--convert accepts exactly one input file");
    }
    if (selectionReport && o.inputs.size() != 1)
        return fail ("--selection-report accepts exactly one input file");
    if (isGiven (o.selection) && selectionReport)
        return fail ("--selection requires --plan or --convert");

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
            return fail (error);
        profile = &profileValue;
    }
    if (o.io.isNotEmpty())
    {
        int inputs = 0, outputs = 0;
        if (! parseDimensions (o.io, "--io must be <positive inputs>x<positive outputs>, e.g. 128x128",
                               "--io values must both be positive decimal integers, e.g. 128x128", inputs, outputs, error))
            return fail (error);
        if (profile == nullptr)
            return fail ("--io requires --profile for a variable host target");
        profileValue.ioInputs = inputs;
        profileValue.ioOutputs = outputs;
    }

    if (selectionReport)
        return selectionReportFile (resolveArgument (o.inputs[0]), target, profile);

    LiveProfessorPluginCatalog catalogValue;
    const LiveProfessorPluginCatalog* catalog = nullptr;
    if (target == targetLiveProfessor)
    {
        if (! catalogValue.load (LiveProfessorPluginCatalog::defaultFile(), error))
            return fail (error);
        catalog = &catalogValue;
    }

    int failures = 0;
    for (const auto& word : o.inputs)
    {
        ConvertRequest request;
        request.input = resolveArgument (word);
        request.target = target;
        request.output = o.output;
        request.templateFile = o.templateFile;
        request.profile = profile;
        request.catalog = catalog;
        request.probeStrip = o.probeStrip;
        request.probeSlot = o.probeSlot;
        request.normalizedProbe = o.reaperNormalizedProbe;
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
