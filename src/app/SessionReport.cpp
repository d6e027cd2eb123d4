// The session report: one line of JSON that summarises a session (where it came from, its audio
// setup, its channel and plug-in counts, each distinct plug-in, the features the reader dropped)
// and the state of its parameter mirrors, which it prepares on a best-effort basis when asked.
//
// In this file, in order:
//   - the plug-in usage entries and the JSON helpers;
//   - the preparation object;
//   - the report document;
//   - the operation: reading, the optional preparation, and its command-line checks.

#include "app/SessionReport.h"

#include "app/CommandLine.h"
#include "app/HostRegistry.h"
#include "app/OperationOptions.h"
#include "app/Operations.h"
#include "model/JsonWriter.h"
#include "model/Vst3ClassId.h"
#include "rapp/Vst3ModuleIndex.h"

#include <algorithm>
#include <map>
#include <vector>

namespace vornconv::app
{

namespace
{

// The preparation limit of one probe run.
constexpr int probeTimeoutMs = 30000;

struct UsageEntry
{
    juce::String name;
    juce::String vendor;
    juce::String format;
    juce::String classId;
    int count = 0;
    int bypassed = 0;
    int inactive = 0;
    int unavailable = 0;
};

// A plug-in is one class id whatever its format; without one, its texts and unique id tell it.
juce::String usageKey (const PluginRef& slot)
{
    if (slot.classId.isNotEmpty())
        return "cid:" + storedClassId (slot.classId);
    return "text:" + slot.format + "\n" + slot.vendor + "\n" + slot.name + "\n" + juce::String ((juce::int32) slot.uniqueId);
}

bool needsMirror (const PluginRef& slot) { return slot.occupied && slot.format == "VST3" && ! slot.state.component.isEmpty(); }

juce::var newObject() { return juce::var (new juce::DynamicObject()); }

void put (juce::var& target, const char* key, const juce::var& value) { target.getDynamicObject()->setProperty (key, value); }

juce::var usageObject (const UsageEntry& entry)
{
    auto o = newObject();
    put (o, "name", entry.name);
    put (o, "vendor", entry.vendor);
    put (o, "format", entry.format);
    put (o, "classId", entry.classId);
    put (o, "count", entry.count);
    put (o, "bypassed", entry.bypassed);
    put (o, "inactive", entry.inactive);
    put (o, "unavailable", entry.unavailable);
    return o;
}

juce::var preparationObject (int requiredStates, const rapp::ParameterMirrorPreparationReport* report,
                             juce::StringRef status, juce::StringRef error)
{
    auto o = newObject();
    put (o, "status", juce::String (status));
    put (o, "requiredStates", requiredStates);
    put (o, "error", juce::String (error));
    if (report == nullptr)
        return o;
    put (o, "preparedInstances", report->reusedInCall + report->cacheHits + report->probed);
    put (o, "sourceMirrors", report->alreadyComplete);
    put (o, "memoryHits", report->reusedInCall);
    put (o, "cacheHits", report->cacheHits);
    put (o, "probed", report->probed);
    put (o, "repaired", report->replacedInvalid);
    put (o, "skippedAudioUnits", report->auSkipped);
    put (o, "cacheEntries", report->cacheFiles.size());
    juce::Array<juce::var> issues;
    for (const auto& issue : report->issues)
    {
        auto i = newObject();
        put (i, "strip", issue.strip);
        put (i, "slot", issue.slot);
        put (i, "plugin", issue.plugin);
        put (i, "detail", issue.message);
        issues.add (i);
    }
    put (o, "issues", issues);
    return o;
}

} // namespace

juce::String buildSessionReportJson (const RackReadResult& result, const rapp::ParameterMirrorPreparationReport* report,
                                     juce::StringRef status, juce::StringRef error)
{
    const auto& session = result.session;
    int pluginChannels = 0, totalPlugins = 0, bypassed = 0, inactive = 0, unavailable = 0, requiredStates = 0;
    std::vector<UsageEntry> usage;
    std::map<juce::String, size_t> usageOfKey;

    for (const auto& strip : session.strips)
    {
        bool hasPlugin = false;
        for (const auto& slot : strip.plugins)
        {
            if (! slot.occupied)
                continue;
            hasPlugin = true;
            ++totalPlugins;
            bypassed += slot.bypassed ? 1 : 0;
            inactive += slot.inactive ? 1 : 0;
            unavailable += slot.unavailable ? 1 : 0;
            requiredStates += needsMirror (slot) ? 1 : 0;

            const auto key = usageKey (slot);
            auto found = usageOfKey.find (key);
            if (found == usageOfKey.end())
            {
                UsageEntry entry;
                entry.name = slot.name;
                entry.vendor = slot.vendor;
                entry.format = slot.format;
                entry.classId = storedClassId (slot.classId);
                usage.push_back (entry);
                found = usageOfKey.emplace (key, usage.size() - 1).first;
            }
            auto& entry = usage[found->second];
            ++entry.count;
            entry.bypassed += slot.bypassed ? 1 : 0;
            entry.inactive += slot.inactive ? 1 : 0;
            entry.unavailable += slot.unavailable ? 1 : 0;
        }
        pluginChannels += hasPlugin ? 1 : 0;
    }

    // Ties beyond count, name and vendor keep the order of first appearance.
    std::stable_sort (usage.begin(), usage.end(), [] (const UsageEntry& a, const UsageEntry& b)
    {
        if (a.count != b.count)
            return a.count > b.count;
        if (const int byName = a.name.compareIgnoreCase (b.name))
            return byName < 0;
        return a.vendor.compareIgnoreCase (b.vendor) < 0;
    });

    juce::Array<juce::var> omitted;
    for (const auto& note : session.notes)
        if (note.fidelity == Fidelity::dropped && note.code == "dugan.disabled")
            omitted.add (note.text);

    juce::Array<juce::var> usageArray;
    for (const auto& entry : usage)
        usageArray.add (usageObject (entry));

    auto document = newObject();
    put (document, "schema", "vorn-session-report-v1");
    put (document, "sourceFile", session.sourceFile);
    put (document, "sourceFormat", session.sourceFormat);
    put (document, "sourceApp", session.sourceApp);
    put (document, "sourceVersion", session.sourceVersion);
    put (document, "readComplete", result.isComplete());
    put (document, "activeChannels", session.strips.size());
    put (document, "pluginChannels", pluginChannels);
    put (document, "sampleRate", session.sampleRate);
    put (document, "bufferSize", (int) session.bufferSize);
    put (document, "inputDevice", session.inputDevice);
    put (document, "outputDevice", session.outputDevice);
    put (document, "totalPlugins", totalPlugins);
    put (document, "uniquePlugins", (int) usage.size());
    put (document, "bypassedPlugins", bypassed);
    put (document, "inactivePlugins", inactive);
    put (document, "unavailablePlugins", unavailable);
    put (document, "omittedFeatures", omitted);
    put (document, "pluginUsage", usageArray);
    put (document, "vnpm", preparationObject (requiredStates, report, status, error));
    return json::toJsonLine (document);
}

Decision sessionReportFile (const juce::File& input, const juce::File& factoryCatalog, const juce::File& probeProgram,
                            const juce::File& cacheDir)
{
    auto read = readHostInput (input);
    if (! read)
        return refusal (read.message());
    auto& result = *read;
    if (! result.ok)
        return refusal (result.error);

    // A catalog given is loaded, or refused as every operation that takes one refuses it (one
    // that is not there included); the report never scans the plug-in folders.
    rapp::Vst3ModuleIndex index;
    const bool catalogLoaded = isGiven (factoryCatalog);
    if (catalogLoaded)
    {
        juce::String error;
        if (! index.loadFactoryCatalog (factoryCatalog, error))
            return refusal (optionFileRefusal ("--factory-catalog", factoryCatalog, error));
        index.applyCachedAvailability (result);
    }

    int required = 0, audioUnits = 0;
    for (const auto& strip : result.session.strips)
        for (const auto& slot : strip.plugins)
        {
            required += needsMirror (slot) ? 1 : 0;
            audioUnits += slot.occupied && slot.format == "AU" ? 1 : 0;
        }

    rapp::ParameterMirrorPreparationReport report;
    const rapp::ParameterMirrorPreparationReport* passed = nullptr;
    juce::String status = "skipped", error;
    if (required == 0)
    {
        status = "not-required";
        report.auSkipped = audioUnits;
        passed = &report;
    }
    else if (! catalogLoaded)
        error = "VST3 factory cache is unavailable";
    else if (! isGiven (probeProgram))
        error = "parameter probe helper is unavailable";
    else if (const auto probe = rapp::checkProbeProgram (probeProgram); ! probe)
        error = optionFileRefusal ("--plugin-probe", probeProgram, "parameter probe helper is unavailable: " + probe.message());
    else if (! isGiven (cacheDir))
        error = "parameter mirror cache directory is unavailable";
    else
    {
        passed = &report;
        if (! rapp::prepareParameterMirrorsBestEffort (result, index, probeProgram, cacheDir, report, error, probeTimeoutMs))
        {
            status = "failed";
            error = mirrorInputRefusal (report.inputFault, probeProgram, cacheDir, error);
        }
        else
            status = report.issues.isEmpty() ? "ready" : "partial";
    }

    Decision decided;
    decided.add (buildSessionReportJson (result, passed, status, error));
    return decided;
}

Decision runSessionReport (const CommandLineOptions& options)
{
    if (options.inputs.size() != 1)
        return refusal ("--session-report accepts exactly one input file");
    if (isGiven (options.pluginProbe) != isGiven (options.parameterCache))
        return refusal ("session report VNPM preparation requires both --plugin-probe and --parameter-cache");
    return sessionReportFile (resolveArgument (options.inputs[0]), options.factoryCatalog, options.pluginProbe,
                              options.parameterCache);
}

} // namespace vornconv::app
