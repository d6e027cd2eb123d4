#pragma once

#include <juce_core/juce_core.h>

#include <map>
#include <utility>

// The one in-memory form of a rack session. Every reader fills a RackReadResult; everything
// else only reads it. All types are plain values: copies are deep, moves are cheap, and objects
// refer to each other only by strip index or slot position.
namespace vornconv
{

enum class Fidelity : juce::int32
{
    lossless = 0,
    approx = 1,
    dropped = 2
};

juce::String fidelityName (Fidelity fidelity);

struct ConversionNote
{
    Fidelity fidelity = Fidelity::lossless;
    juce::String code;
    juce::String text;
};

struct NoteList
{
    juce::Array<ConversionNote> items;

    void add (Fidelity fidelity, juce::StringRef code, juce::StringRef text);
    int size() const noexcept { return items.size(); }
    bool isEmpty() const noexcept { return items.isEmpty(); }
    const ConversionNote& operator[] (int i) const { return items.getReference (i); }
    const ConversionNote* begin() const noexcept { return items.begin(); }
    const ConversionNote* end() const noexcept { return items.end(); }
};

enum class PluginStateEncoding : juce::int32
{
    none = 0,
    juceVst3Xml = 1,
    vst3Container = 2,
    audioUnitPlist = 3,
    hostSpecific = 4,
    opaque = 5
};

// "none", "juce-vst3-xml", ...; an out-of-range value gives an empty text.
juce::String pluginStateEncodingName (PluginStateEncoding encoding);

struct PluginState
{
    PluginStateEncoding encoding = PluginStateEncoding::none;
    juce::MemoryBlock raw;
    juce::MemoryBlock component;
    juce::MemoryBlock controller;
    juce::MemoryBlock parameters;
    bool parameterMirrorComplete = false;
    bool opaqueStatePending = false;
};

struct PluginCoverage
{
    bool identity = false;
    bool activation = false;
    bool mute = false;
    bool sidechain = false;
    bool state = false;
};

// What a slot's sidechain source (sidechainSource) is: a strip, by its index; a physical input
// channel; or a strip, by its index, tapped before (rackPre) or after (rackPost) its processing.
// The scene format calls the first kind "legacy", and so does sidechainKindName.
enum SidechainKind : juce::int32
{
    sidechainStrip = 0,
    sidechainPhysical = 1,
    sidechainRackPre = 2,
    sidechainRackPost = 3
};

// "legacy", "physical", "rackPre", "rackPost"; an out-of-range kind gives an empty text.
juce::String sidechainKindName (juce::int32 kind);

struct PluginRef
{
    bool occupied = false;
    juce::String name;
    juce::String vendor;
    juce::String format;
    juce::String classId;
    juce::String descriptionXml;
    juce::File file;
    juce::uint32 uniqueId = 0;
    juce::uint32 deprecatedUid = 0;
    juce::uint32 auType = 0;
    juce::uint32 auSubtype = 0;
    juce::uint32 auManufacturer = 0;
    bool bypassed = false;
    bool inactive = false;
    bool unavailable = false;
    bool muted = false;
    juce::int32 sidechainSource = -1;
    juce::int32 sidechainKind = sidechainStrip;
    bool sidechainEnabled = true;
    PluginState state;
    PluginCoverage coverage;
    juce::String pendingSidechainReason;
    juce::String pendingStateReason;
};

struct RackPhysicalPatch
{
    bool isInput = true;
    juce::int32 rackChannel = 0;
    juce::int32 physicalChannel = -1;
};

struct RackSourceParameter
{
    juce::String name;
    juce::String value;
};

struct RackSnapshot
{
    juce::int32 number = 0;
    juce::String name;
    juce::String note;
};

struct StripCoverage
{
    bool name = false;
    bool inputGain = false;
    bool outputGain = false;
    bool pan = false;
    bool mute = false;
    bool solo = false;
    bool bypass = false;
    bool channelLayout = false;
    bool route = false;
};

struct RackStrip
{
    juce::int32 index = 0;
    juce::String name;
    bool hasColour = false;
    juce::uint32 colour = 0;
    float inputGainDb = 0.0f;
    float outputGainDb = 0.0f;
    float pan = 0.5f;
    bool muted = false;
    bool soloed = false;
    bool bypassed = false;
    juce::int32 inputChannels = 2;
    juce::int32 outputChannels = 2;
    juce::Array<PluginRef> plugins;
    juce::int32 routeInL = -1;
    juce::int32 routeInR = -1;
    juce::int32 routeOutL = -1;
    juce::int32 routeOutR = -1;
    juce::Array<RackPhysicalPatch> routePatches;
    juce::Array<RackSourceParameter> sourceParameters;
    StripCoverage coverage;
};

// Where the strips and plug-ins of a session that a selection projected stood in the session as
// it was read (RappSelection.h), so that what speaks of the source names it as read. A session as
// read has none (sourceStrips -1).
struct SelectionOrigin
{
    juce::int32 sourceStrips = -1;                                        // the strips of the session as read
    std::map<juce::int32, juce::int32> stripIndex;                        // kept strip's index -> its index as read
    std::map<std::pair<juce::int32, juce::int32>, juce::int32> slot;      // (kept strip's index, slot) -> its slot as read

    bool isProjection() const noexcept { return sourceStrips >= 0; }
};

struct RackSession
{
    juce::String sourceFormat;
    juce::String sourceApp;
    juce::String sourceVersion;
    juce::String sourceFile;
    juce::String sourceSnapshotStatus;
    juce::int32 pluginUndockExclusions = 0;
    double sampleRate = 0.0;
    juce::int32 bufferSize = 0;
    juce::String inputDevice;
    juce::String outputDevice;
    juce::int32 capacityStrips = 0;
    juce::int32 capacitySlots = 0;
    juce::Array<RackStrip> strips;
    juce::Array<RackSnapshot> snapshots;
    NoteList notes;
    SelectionOrigin selectedFrom;

    // Occupied slots over every position of every strip.
    int countPlugins() const;
};

enum ReadStatus : juce::int32
{
    readFailed = 0,
    readComplete = 1,
    readPartial = 2
};

// "failed", "complete", "partial (writer blocked)"; an unknown status gives an empty text.
juce::String readStatusName (juce::int32 status);

// True for an AudioUnit slot's format, in either spelling the readers meet ("AU", "AudioUnit").
inline bool isAudioUnitFormat (const juce::String& format) { return format == "AU" || format == "AudioUnit"; }

// A slot's format as a message names it: REAPER's "VST" and "VSTi" are VST2 plug-ins.
inline juce::String formatForMessage (const juce::String& format)
{
    return format == "VST" || format == "VSTi" ? juce::String ("VST2") : format;
}

// A strip's routes in the one form every reader gives them: its physical patches inputs first,
// then by rack channel (in the order read within one rack channel: the first is the main route);
// and a strip with one input channel has no right input route, one with one output channel no
// right output route (-1), whatever its file repeats there.
void normaliseRoutes (RackStrip& strip);

struct RackReadResult
{
    bool ok = false;
    juce::int32 status = readFailed;
    juce::String error;
    RackSession session;

    // A strict read the writers accept: read, and graded complete.
    bool isComplete() const noexcept { return ok && status == readComplete; }
};

} // namespace vornconv
