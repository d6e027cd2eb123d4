#include "app/Manifest.h"

#include "app/JsonWriter.h"
#include "model/ParameterSnapshot.h"

#include <juce_cryptography/juce_cryptography.h>

namespace vornconv::app
{

namespace
{

juce::String encodingName (PluginStateEncoding encoding)
{
    const auto name = pluginStateEncodingName (encoding);
    return name.isEmpty() ? juce::String ("?") : name;
}

// The digest of the parameter values alone: the snapshot re-encoded with key 0, so that two
// mirrors with the same values agree whatever key they were stored with.
juce::String parameterValuesDigest (const PluginState& state)
{
    if (! state.parameterMirrorComplete)
        return {};
    parameterState::Snapshot snapshot;
    juce::String error;
    if (! parameterState::decode (state.parameters, snapshot, error))
        return {};
    return sha256Hex (parameterState::encode (snapshot.values, 0));
}

juce::var object()
{
    return juce::var (new juce::DynamicObject());
}

void put (juce::var& target, const char* key, const juce::var& value)
{
    target.getDynamicObject()->setProperty (key, value);
}

juce::var pluginObject (const PluginRef& slot, int position)
{
    auto o = object();
    put (o, "slot", position);
    put (o, "name", slot.name);
    put (o, "vendor", slot.vendor);
    put (o, "format", slot.format);
    put (o, "classId", slot.classId.toUpperCase());
    put (o, "uniqueId", (int) (juce::int32) slot.uniqueId);
    put (o, "deprecatedUid", (int) (juce::int32) slot.deprecatedUid);
    put (o, "bypassed", slot.bypassed);
    put (o, "inactive", slot.inactive);
    put (o, "unavailable", slot.unavailable);
    put (o, "muted", slot.muted);
    put (o, "sidechainSource", (int) slot.sidechainSource);
    put (o, "encoding", encodingName (slot.state.encoding));
    put (o, "componentBytes", (juce::int64) slot.state.component.getSize());
    put (o, "controllerBytes", (juce::int64) slot.state.controller.getSize());
    put (o, "componentSha256", sha256Hex (slot.state.component));
    put (o, "controllerSha256", sha256Hex (slot.state.controller));
    put (o, "parameterSha256", sha256Hex (slot.state.parameters));
    put (o, "parameterValuesSha256", parameterValuesDigest (slot.state));
    put (o, "parameterMirrorComplete", slot.state.parameterMirrorComplete);
    put (o, "opaqueStatePending", slot.state.opaqueStatePending);
    auto coverage = object();
    put (coverage, "identity", slot.coverage.identity);
    put (coverage, "activation", slot.coverage.activation);
    put (coverage, "mute", slot.coverage.mute);
    put (coverage, "sidechain", slot.coverage.sidechain);
    put (coverage, "state", slot.coverage.state);
    put (o, "coverage", coverage);
    return o;
}

juce::var stripObject (const RackStrip& strip)
{
    auto o = object();
    put (o, "index", (int) strip.index);
    put (o, "name", strip.name);
    put (o, "inputGainDb", (double) strip.inputGainDb);
    put (o, "outputGainDb", (double) strip.outputGainDb);
    put (o, "pan", (double) strip.pan);
    put (o, "muted", strip.muted);
    put (o, "soloed", strip.soloed);
    put (o, "bypassed", strip.bypassed);
    put (o, "inputChannels", (int) strip.inputChannels);
    put (o, "outputChannels", (int) strip.outputChannels);
    put (o, "routeInL", (int) strip.routeInL);
    put (o, "routeInR", (int) strip.routeInR);
    put (o, "routeOutL", (int) strip.routeOutL);
    put (o, "routeOutR", (int) strip.routeOutR);

    juce::Array<juce::var> patches;
    for (const auto& patch : strip.routePatches)
    {
        auto p = object();
        put (p, "direction", patch.isInput ? "input" : "output");
        put (p, "rackChannel", (int) patch.rackChannel);
        put (p, "physicalChannel", (int) patch.physicalChannel);
        patches.add (p);
    }
    put (o, "routePatches", patches);

    auto coverage = object();
    put (coverage, "name", strip.coverage.name);
    put (coverage, "inputGain", strip.coverage.inputGain);
    put (coverage, "outputGain", strip.coverage.outputGain);
    put (coverage, "pan", strip.coverage.pan);
    put (coverage, "mute", strip.coverage.mute);
    put (coverage, "solo", strip.coverage.solo);
    put (coverage, "bypass", strip.coverage.bypass);
    put (coverage, "channelLayout", strip.coverage.channelLayout);
    put (coverage, "route", strip.coverage.route);
    put (o, "coverage", coverage);

    juce::Array<juce::var> plugins;
    for (int position = 0; position < strip.plugins.size(); ++position)
        if (strip.plugins.getReference (position).occupied)
            plugins.add (pluginObject (strip.plugins.getReference (position), position));
    put (o, "plugins", plugins);
    return o;
}

} // namespace

juce::String sha256Hex (const juce::MemoryBlock& bytes)
{
    if (bytes.isEmpty())
        return {};
    return juce::SHA256 (bytes).toHexString();
}

juce::String buildManifestJson (const RackSession& session)
{
    auto root = object();
    put (root, "schema", "vorn-rack-manifest-v1");
    put (root, "sourceFormat", session.sourceFormat);
    put (root, "sourceApp", session.sourceApp);
    put (root, "sourceVersion", session.sourceVersion);
    put (root, "sourceSnapshotStatus", session.sourceSnapshotStatus);
    put (root, "sampleRate", session.sampleRate);
    put (root, "bufferSize", (int) session.bufferSize);
    put (root, "inputDevice", session.inputDevice);
    put (root, "outputDevice", session.outputDevice);
    put (root, "capacityStrips", (int) session.capacityStrips);
    put (root, "capacitySlots", (int) session.capacitySlots);
    juce::Array<juce::var> strips;
    for (const auto& strip : session.strips)
        strips.add (stripObject (strip));
    put (root, "strips", strips);
    return toJsonLine (root);
}

} // namespace vornconv::app
