// The Vorn Live scene writer: a rack session as a new .ksn scene of 64 strips by 8 slots, proven by
// reading it back.
//
// Divisions, in order:
//   1. Helpers: hexadecimal texts, balanced names, module entries, strips by index.
//   2. Plug-in states streamed into the written document in place of short stand-ins.
//   3. One slot: the PLUGIN description, the sidechain attributes, the states.
//   4. The expected session: what a correct scene reads back as.
//   5. The document: device, strips and slots, routing, setup.
//   6. Placement and the document build: what a write decides before and after it claims the output.
//   7. The steps of the verified-write pipeline: the document, its read-back and its proof.
//   8. checkVornKsnWrite (the steps without an output) and writeVornKsn.

#include "writers/VornKsnWriter.h"

#include "model/AudioUnitState.h"
#include "model/FileTimes.h"
#include "model/Vst3State.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/Vst3ModuleIndex.h"
#include "readers/VornKsnReader.h"
#include "writers/ConversionLedger.h"
#include "writers/VerifiedWrite.h"

#include <string_view>
#include <vector>

namespace vornconv::rapp
{

namespace
{
constexpr int sceneStrips = 64;
constexpr int sceneSlots = 8;

juce::String hex (juce::uint32 value) { return juce::String::toHexString (value); }
juce::String hex64 (juce::int64 value) { return juce::String::toHexString ((juce::uint64) value); }

bool hasBalancedParentheses (const juce::String& text)
{
    int depth = 0;
    for (auto p = text.getCharPointer(); ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (c == '(')
            ++depth;
        else if (c == ')' && --depth < 0)
            return false;
    }
    return depth == 0;
}

const Vst3ModuleEntry* moduleEntryFor (const PluginRef& slot, const Vst3ModuleIndex& index)
{
    const auto cid = index.classIdOf (slot);
    return cid.isEmpty() ? nullptr : index.findByClassId (cid);
}

const RackStrip* stripWithIndex (const RackSession& session, int index)
{
    for (const auto& strip : session.strips)
        if (strip.index == index)
            return &strip;
    return nullptr;
}

// Plug-in states are by far the largest part of a scene. Their memory-block text needs no XML
// escaping, so the document is written by JUCE with a fixed-length stand-in for each of them, and
// the real text is streamed into the stand-in's place while the file is written. A stand-in is
// only used where the real text is at least as long, so JUCE breaks the attribute lines exactly
// where it would have broken them around the real text.
struct SceneStates
{
    struct Text
    {
        const juce::MemoryBlock* bytes = nullptr;      // written as they are
        const juce::MemoryBlock* component = nullptr;  // or wrapped as a JUCE VST3 container
        const juce::MemoryBlock* controller = nullptr;
    };

    static constexpr int standInLength = 64;
    juce::String nonce = juce::Uuid().toString();
    std::vector<Text> texts;

    static size_t textLength (size_t size) { return (size_t) juce::String ((juce::uint64) size).length() + 1 + (8 * size + 5) / 6; }

    juce::String add (const Text& text, size_t size, const juce::MemoryBlock& direct)
    {
        if (textLength (size) < (size_t) standInLength)
            return direct.toBase64Encoding();
        const auto standIn = ("@" + nonce + "@" + juce::String ((int) texts.size()).paddedLeft ('0', 8) + "@")
                                 .paddedRight ('@', standInLength);
        texts.push_back (text);
        return standIn;
    }

    juce::String addBytes (const juce::MemoryBlock& bytes) { return add ({ &bytes, nullptr, nullptr }, bytes.getSize(), bytes); }

    juce::String addContainer (const juce::MemoryBlock& component, const juce::MemoryBlock& controller)
    {
        // The container's own size is only known once built; small ones are built at once.
        if (component.getSize() + controller.getSize() < 1024)
            return vst3::buildJuceVst3State (component, controller).toBase64Encoding();
        return add ({ nullptr, &component, &controller }, 1024, {});
    }

    bool write (juce::OutputStream& out, const Text& text) const
    {
        if (text.bytes != nullptr)
            return vst3::writeJuceMemoryBlockText (out, text.bytes->getData(), text.bytes->getSize());
        const auto container = vst3::buildJuceVst3State (*text.component, *text.controller);
        return vst3::writeJuceMemoryBlockText (out, container.getData(), container.getSize());
    }

    // Copies the document to out with every stand-in replaced by its text.
    bool splice (const juce::MemoryBlock& document, juce::OutputStream& out) const
    {
        const auto* data = static_cast<const char*> (document.getData());
        const size_t size = document.getSize();
        const std::string marker = ("@" + nonce + "@").toStdString();
        const std::string_view all (data, size);
        size_t from = 0;
        for (const auto& text : texts)
        {
            const auto at = all.find (marker, from);
            if (at == std::string_view::npos || at + standInLength > size)
                return false;
            if (! out.write (data + from, at - from) || ! write (out, text))
                return false;
            from = at + standInLength;
        }
        return all.find (marker, from) == std::string_view::npos && out.write (data + from, size - from);
    }
};

// The time the plug-in description was last refreshed: kept from the source description when it
// has one, so that converting a written scene again gives the same bytes.
juce::String infoUpdateTimeFor (const PluginRef& slot)
{
    if (slot.descriptionXml.isNotEmpty())
    {
        if (auto description = juce::parseXML (slot.descriptionXml))
        {
            const auto kept = description->getStringAttribute ("infoUpdateTime");
            if (kept.isNotEmpty() && kept.length() <= 16 && kept.containsOnly ("0123456789abcdef"))
                return kept;
        }
    }
    return hex64 (juce::Time::currentTimeMillis());
}

std::unique_ptr<juce::XmlElement> describePlugin (const PluginRef& slot, const RackStrip& strip,
                                                  const Vst3ModuleEntry* entry)
{
    auto plugin = std::make_unique<juce::XmlElement> ("PLUGIN");
    const bool au = slot.format == "AU";
    if (au)
    {
        const auto unique = slot.uniqueId != 0 ? slot.uniqueId : (slot.auType ^ slot.auSubtype ^ slot.auManufacturer);
        plugin->setAttribute ("name", slot.name);
        plugin->setAttribute ("format", "AudioUnit");
        plugin->setAttribute ("category", "Effect");
        plugin->setAttribute ("manufacturer", slot.vendor);
        plugin->setAttribute ("version", juce::String());
        plugin->setAttribute ("file", "AudioUnit:Effects/" + audioUnit::fourCcText (slot.auType) + ","
                                          + audioUnit::fourCcText (slot.auSubtype) + ","
                                          + audioUnit::fourCcText (slot.auManufacturer));
        plugin->setAttribute ("uniqueId", hex (unique));
        plugin->setAttribute ("uid", hex (slot.deprecatedUid != 0 ? slot.deprecatedUid : unique));
        plugin->setAttribute ("isInstrument", 0);
        plugin->setAttribute ("fileTime", "0");
    }
    else
    {
        const auto name = slot.name.isNotEmpty() && hasBalancedParentheses (slot.name) ? slot.name : entry->name;
        const auto vendor = slot.vendor.isNotEmpty() && hasBalancedParentheses (slot.vendor) ? slot.vendor : entry->vendor;
        plugin->setAttribute ("name", name);
        plugin->setAttribute ("format", "VST3");
        plugin->setAttribute ("category", juce::String());
        plugin->setAttribute ("manufacturer", vendor);
        plugin->setAttribute ("version", entry->version);
        plugin->setAttribute ("file", entry->bundle.getFullPathName());
        plugin->setAttribute ("uniqueId", hex (entry->uniqueId));
        plugin->setAttribute ("uid", hex (entry->uid));
        plugin->setAttribute ("isInstrument", 0);
        plugin->setAttribute ("fileTime", hex64 (modificationMillis (entry->bundle)));
    }
    plugin->setAttribute ("infoUpdateTime", infoUpdateTimeFor (slot));
    plugin->setAttribute ("numInputs", strip.inputChannels < 1 ? 0 : strip.inputChannels);
    plugin->setAttribute ("numOutputs", strip.outputChannels < 1 ? 0 : strip.outputChannels);
    plugin->setAttribute ("isShell", 0);
    plugin->setAttribute ("hasARAExtension", 0);
    return plugin;
}

void writeSidechain (juce::XmlElement& slotXml, const PluginRef& slot)
{
    if (slot.sidechainSource < 0 || (slot.sidechainKind == sidechainStrip && slot.sidechainEnabled))
    {
        slotXml.setAttribute ("sidechainSrc", slot.sidechainSource < 0 ? 0 : slot.sidechainSource + 1);
        return;
    }
    juce::String kind = "legacy";
    if (slot.sidechainKind == sidechainPhysical) kind = "physical";
    else if (slot.sidechainKind == sidechainRackPre) kind = "rackPre";
    else if (slot.sidechainKind == sidechainRackPost) kind = "rackPost";
    slotXml.setAttribute ("sidechainSrc", 0);
    slotXml.setAttribute ("sidechainSchema", 2);
    slotXml.setAttribute ("sidechainKind", kind);
    slotXml.setAttribute ("sidechainIndex", slot.sidechainSource);
    slotXml.setAttribute ("sidechainEnabled", slot.sidechainEnabled ? 1 : 0);
}

// Fills a slot element; false when the slot no longer carries what the preflight accepted.
bool writeSlot (juce::XmlElement& slotXml, const PluginRef& slot, const RackStrip& strip, const Vst3ModuleIndex& index,
                SceneStates& states)
{
    const bool au = slot.format == "AU";
    const Vst3ModuleEntry* entry = nullptr;
    if (au)
    {
        if (slot.state.encoding != PluginStateEncoding::audioUnitPlist || slot.state.raw.isEmpty())
            return false;
    }
    else
    {
        entry = moduleEntryFor (slot, index);
        if (entry == nullptr || slot.state.component.isEmpty())
            return false;
    }
    slotXml.setAttribute ("state", slot.inactive ? 2 : (slot.bypassed ? 1 : 0));
    writeSidechain (slotXml, slot);
    slotXml.addChildElement (describePlugin (slot, strip, entry).release());
    slotXml.setAttribute ("pluginState", au ? states.addBytes (slot.state.raw)
                                            : states.addContainer (slot.state.component, slot.state.controller));
    if (! slot.state.parameters.isEmpty())
        slotXml.setAttribute ("parameterState", states.addBytes (slot.state.parameters));
    if (slot.state.parameterMirrorComplete)
        slotXml.setAttribute ("vornconvParameterMirrorComplete", 1);
    return true;
}

RackStrip defaultSceneStrip (int index)
{
    RackStrip strip;
    strip.index = index;
    strip.name = "Ch " + juce::String (index + 1);
    auto& c = strip.coverage;
    c.name = c.inputGain = c.outputGain = c.pan = c.mute = c.solo = c.bypass = c.channelLayout = c.route = true;
    return strip;
}

// What a correct scene must read back as.
RackSession makeExpectedVornSession (const RackSession& source, const Vst3ModuleIndex& index, int activeChannels)
{
    RackSession expected = source;
    expected.capacityStrips = sceneStrips;
    expected.capacitySlots = sceneSlots;
    for (auto& strip : expected.strips)
    {
        for (auto& slot : strip.plugins)
        {
            if (! slot.occupied)
                continue;
            // A scene slot holds one activation state: switched off wins over bypassed.
            if (slot.inactive)
                slot.bypassed = false;
            if (const auto* entry = moduleEntryFor (slot, index))
            {
                slot.classId = {};
                slot.uniqueId = entry->uniqueId;
                slot.deprecatedUid = entry->uid;
                slot.file = entry->bundle;
            }
        }
    }
    // Every active channel the source does not fill reads back as a default strip of its own index.
    for (int i = 0; i < activeChannels; ++i)
        if (stripWithIndex (expected, i) == nullptr)
            expected.strips.add (defaultSceneStrip (i));
    return expected;
}

std::unique_ptr<juce::XmlElement> buildScene (const RackSession& session, const Vst3ModuleIndex& index,
                                              int unmappedCount, int channelMode, SceneStates& states, juce::String& error)
{
    auto root = std::make_unique<juce::XmlElement> ("VornLiveScene");
    root->setAttribute ("version", 1);
    root->setAttribute ("operatingMode", 0);
    root->setAttribute ("unmappedMixerParameterCount", unmappedCount);
    root->setAttribute ("disabledSidechainCount", 0);

    auto* device = root->createNewChildElement ("AudioDevice");
    device->setAttribute ("outputDevice", session.outputDevice);
    device->setAttribute ("inputDevice", session.inputDevice);
    if (session.sampleRate > 0.0)
        device->setAttribute ("sampleRate", session.sampleRate);
    if (session.bufferSize > 0)
        device->setAttribute ("bufferSize", session.bufferSize);

    auto* strips = root->createNewChildElement ("Strips");
    for (int i = 0; i < sceneStrips; ++i)
    {
        const auto* strip = stripWithIndex (session, i);
        auto* s = strips->createNewChildElement ("Strip");
        s->setAttribute ("index", i);
        s->setAttribute ("name", strip != nullptr ? strip->name : "Ch " + juce::String (i + 1));
        s->setAttribute ("trimDb", strip != nullptr ? (double) strip->inputGainDb : 0.0);
        s->setAttribute ("outTrimDb", strip != nullptr ? (double) strip->outputGainDb : 0.0);
        s->setAttribute ("pan", strip != nullptr ? 2.0 * (double) strip->pan - 1.0 : 0.0);
        s->setAttribute ("muted", strip != nullptr && strip->muted ? 1 : 0);
        s->setAttribute ("soloed", strip != nullptr && strip->soloed ? 1 : 0);
        s->setAttribute ("bypassed", strip != nullptr && strip->bypassed ? 1 : 0);
        s->setAttribute ("inputStereo", strip == nullptr || strip->inputChannels >= 2 ? 1 : 0);
        s->setAttribute ("outputStereo", strip == nullptr || strip->outputChannels >= 2 ? 1 : 0);
        for (int k = 0; k < sceneSlots; ++k)
        {
            auto* slotXml = s->createNewChildElement ("Slot");
            slotXml->setAttribute ("index", k);
            slotXml->setAttribute ("state", 0);
            slotXml->setAttribute ("sidechainSrc", 0);
            if (strip == nullptr || k >= strip->plugins.size() || ! strip->plugins.getReference (k).occupied)
                continue;
            if (! writeSlot (*slotXml, strip->plugins.getReference (k), *strip, index, states))
            {
                error = "preflight changed while writing at strip " + juce::String (i) + ", slot " + juce::String (k);
                return nullptr;
            }
        }
    }

    auto* routing = root->createNewChildElement ("Routing");
    for (int i = 0; i < sceneStrips; ++i)
    {
        const auto* strip = stripWithIndex (session, i);
        auto* route = routing->createNewChildElement ("Route");
        route->setAttribute ("strip", i);
        int inL = -1, inR = -1, outL = -1, outR = -1;
        if (strip != nullptr)
        {
            inL = strip->routeInL;
            inR = strip->inputChannels == 1 && strip->routeInL >= 0 ? strip->routeInL : strip->routeInR;
            outL = strip->routeOutL;
            outR = strip->outputChannels == 1 && strip->routeOutL >= 0 ? strip->routeOutL : strip->routeOutR;
        }
        route->setAttribute ("inL", inL);
        route->setAttribute ("inR", inR);
        route->setAttribute ("outL", outL);
        route->setAttribute ("outR", outR);
    }

    root->createNewChildElement ("Setup")->setAttribute ("channelMode", channelMode);
    return root;
}

// What a scene write decides before it touches the output, then the document it builds.
struct SceneBuild
{
    int channelMode = 0;
    int activeChannels = 16;
    SceneStates states;
    std::unique_ptr<juce::XmlElement> document;
};

// The placement of every strip: what is refused before the output is looked at, once the
// preflight allows.
Expected<void> placeScene (const RackReadResult& source, SceneBuild& build, WriteResult& result)
{
    const auto& session = source.session;
    for (const auto& note : session.notes)
        if (note.fidelity == Fidelity::approx && (note.code == "source.snapshots" || note.code == "ui.pluginUndock"))
            result.notes.add (note.text);

    const int n = session.strips.size();
    if (n > sceneStrips)
        return failure ("Vorn Live output supports at most 64 current channels");
    // A strip is placed by its index, so the channel mode must reach the highest index as well as
    // hold every strip; an index outside the scene, or one used twice, cannot be placed at all.
    int reach = n;
    for (int i = 0; i < n; ++i)
    {
        const int stripIndex = session.strips.getReference (i).index;
        bool repeated = false;
        for (int j = 0; j < i; ++j)
            repeated = repeated || session.strips.getReference (j).index == stripIndex;
        if (stripIndex < 0 || stripIndex >= sceneStrips || repeated)
            return failure ("Vorn Live output cannot place strip index " + juce::String (stripIndex)
                            + " (indices must be unique and 0 to 63)");
        reach = juce::jmax (reach, stripIndex + 1);
    }
    build.channelMode = reach >= 1 && reach <= 16 ? 0 : (reach <= 32 ? 1 : 2);
    build.activeChannels = build.channelMode == 0 ? 16 : (build.channelMode == 1 ? 32 : 64);
    return success();
}

// The states the scene can hold, and the document with a stand-in for every large state.
Expected<void> buildSceneDocument (const RackReadResult& source, const Vst3ModuleIndex& index, SceneBuild& build, WriteResult& result)
{
    const auto& session = source.session;
    int unmappedCount = 0;
    juce::StringArray bypassNotKept;
    for (const auto& strip : session.strips)
    {
        unmappedCount += strip.sourceParameters.size();
        for (int k = 0; k < strip.plugins.size(); ++k)
        {
            const auto& slot = strip.plugins.getReference (k);
            if (! slot.occupied)
                continue;
            if (slot.state.opaqueStatePending || (slot.state.parameterMirrorComplete && slot.state.parameters.isEmpty()))
                return failure ("cannot write pending opaque state or an empty complete parameter mirror");
            if (slot.inactive && slot.bypassed)
                bypassNotKept.add ("strip " + juce::String (strip.index) + ", slot " + juce::String (k)
                                   + " is written switched off; its bypass flag cannot be stored as well");
        }
    }
    result.notes.addArray (bypassNotKept);
    if (! bypassNotKept.isEmpty())
        result.notedFields.add (ledgerField::pluginBypassed);
    if (unmappedCount > 0)
        result.notes.add (juce::String (unmappedCount)
                          + juce::String::fromUTF8 (u8" SuperRack mixer parameter 값은 의미 매핑이 미검증이라 출력하지 않았다"));

    juce::String error;
    build.document = buildScene (session, index, unmappedCount, build.channelMode, build.states, error);
    if (build.document == nullptr)
        return failure (error);
    return success();
}

// The write's steps once the scene is placed: the document built when the output is claimed
// (or, for a check, at once), written with its states spliced in, read back with the scene reader
// and proven against the expected session.
VerifiedOutput sceneSteps (const RackReadResult& source, const Vst3ModuleIndex& index, SceneBuild& build, WriteResult& result)
{
    const auto& session = source.session;
    VerifiedOutput steps;
    steps.prepare = [&] { return buildSceneDocument (source, index, build, result); };
    steps.writeDocument = [&build] (juce::OutputStream& out)
    {
        juce::MemoryOutputStream documentText;
        build.document->writeTo (documentText, juce::XmlElement::TextFormat());
        return build.states.splice (documentText.getMemoryBlock(), out);
    };
    steps.documentWritten = [&build] { build.document.reset(); };
    readBackWith (steps, vornKsnOutput);
    steps.ledger.carried = &session;
    steps.writeFailed = "temporary scene write failed";
    steps.commitFailed = "atomic scene move failed: ";

    auto& proof = steps.proof;
    proof.accept = [&session] (const RackReadResult& reread) -> Expected<void>
    {
        const int written = reread.session.countPlugins(), meant = session.countPlugins();
        if (reread.isComplete() && written == meant)
            return success();
        // Why: the reader's error or the note of the grade it gave, else the plug-ins it found.
        const auto reason = ! reread.isComplete() ? incompleteReadReason (reread, "source.snapshot")
                                                  : ": plugin count differs (source=" + juce::String (meant)
                                                        + ", output=" + juce::String (written) + ")";
        return failure ("written scene failed converter reread validation" + reason);
    };
    proof.expected = [&]() -> Expected<RackSession> { return makeExpectedVornSession (session, index, build.activeChannels); };
    proof.refusal = [] (const RackSession&, const RackSession&, const RackSemanticComparison& comparison)
    {
        return "written Vorn scene failed exact semantic validation: " + comparison.summary();
    };
    return steps;
}

// The scene writer in the shell every writer's check and write runs in.
PlannedWrite sceneWrite (const RackReadResult& source, const Vst3ModuleIndex& index, SceneBuild& build)
{
    PlannedWrite write;
    write.target = vornKsnOutput.target;
    write.blocked = "RAPP preflight blocked Vorn output";
    write.admit = [&source, &build] (WriteResult& result) { return placeScene (source, build, result); };
    write.steps = [&source, &index, &build] (WriteResult& result) { return sceneSteps (source, index, build, result); };
    write.committed = [] (WriteResult& result)
    {
        result.notes.add ("converter exact reread passed; Vorn Live host load/DSP validation pending");
    };
    return write;
}

} // namespace

const OutputHost vornKsnOutput = []
{
    OutputHost host;
    host.target = targetVornScene;
    host.hostName = "Vorn Live";
    host.documents = "scenes";
    host.snapshotNamedAfterFile = true;
    host.readers.file = readVornKsn;
    host.readers.bytes = readVornKsnBytes;
    host.readers.document = readVornKsnDocument;
    return host;
}();

WriteResult checkVornKsnWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                               const WriteOptions&)
{
    SceneBuild build;
    return checkPlannedWrite (plan, sceneWrite (source, index, build));
}

WriteResult writeVornKsn (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                          const WriteOptions& options)
{
    SceneBuild build;
    return writePlannedOutput (plan, sceneWrite (source, index, build), options.output);
}

} // namespace vornconv::rapp
