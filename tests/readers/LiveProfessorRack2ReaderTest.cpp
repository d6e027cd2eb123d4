#include "RackBuilders.h"
#include "TestSupport.h"

#include "app/HostRegistry.h"
#include "model/AudioUnitState.h"
#include "model/ParameterSnapshot.h"
#include "model/Vst3State.h"
#include "readers/LiveProfessorRack2Reader.h"

#include "ValueTreeBridge.h"

#include <gtest/gtest.h>
#include <juce_data_structures/juce_data_structures.h>

#include <functional>
#include <limits>
#include <map>
#include <vector>

using namespace vornconv;
using juce::int64;
using juce::ValueTree;
using juce::var;
using vorntest::bytesOf;
using vorntest::fourCc;
using vorntest::fromJuce;
using vorntest::toJuce;

namespace
{

// ---- fixture builders: a LiveProfessor project tree as the host lays it out ----

ValueTree node (const char* type, std::initializer_list<std::pair<const char*, var>> properties = {},
                std::initializer_list<ValueTree> children = {})
{
    ValueTree n (type);
    for (const auto& [name, value] : properties)
        n.setProperty (name, value, nullptr);
    for (const auto& child : children)
        n.appendChild (child, nullptr);
    return n;
}

juce::MemoryBlock vst3Chunk (const char* component, const char* controller)
{
    return vst3::buildJuceVst3State (bytesOf (component), bytesOf (controller));
}

juce::MemoryBlock auChunk()
{
    const auto text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                      "<key>type</key><integer>" + juce::String (fourCc ("aufx")) + "</integer>"
                      "<key>subtype</key><integer>" + juce::String (fourCc ("Dly1")) + "</integer>"
                      "<key>manufacturer</key><integer>" + juce::String (fourCc ("Acme")) + "</integer>"
                      "</dict></plist>\n";
    return juce::MemoryBlock (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

struct PluginFixture
{
    int64 uid = 0;
    juce::String typeId = "VST3-Comp-1a2b3c4d";
    juce::String name = "Comp";
    juce::MemoryBlock chunk = vst3Chunk ("COMP", "CTRL");
    juce::Array<double> parameters { 0.25, 1.0 };
    bool enabled = true, bypassed = false, mute = false;
};

ValueTree pluginPayload (const char* type, const char* idName, const PluginFixture& p)
{
    auto parameters = node ("parameters");
    for (int i = 0; i < p.parameters.size(); ++i)
        parameters.setProperty ("P" + juce::String (i), p.parameters[i], nullptr);
    auto plugin = node (type, {}, {
        node ("ProcessorSettingsContainer", { { "id", p.uid } },
              { node ("processorState", { { "enabled", p.enabled }, { "bypassed", p.bypassed }, { "audioMute", p.mute } }) }),
        node ("Plugin", {}, { node ("PluginSnapshot", { { "chunkData", var (p.chunk) }, { "SnapshotIdTag", p.uid } }, { parameters }) }) });
    plugin.setProperty (idName, p.uid, nullptr);
    return plugin;
}

ValueTree chainPlugin (const PluginFixture& p)
{
    auto plugin = pluginPayload ("Plugin", "pluginUid", p);
    plugin.setProperty ("pluginTypeId", p.typeId, nullptr);
    plugin.setProperty ("pluginTypeName", p.name, nullptr);
    return plugin;
}

struct ChainFixture
{
    int64 id = 0;
    juce::String name;
    int inputs = 2, outputs = 2, sideChains = 0;
    double inputGain = 1.0, outputGain = 1.0;
    bool mute = false, isolate = false, bypassed = false, enabled = true;
    juce::String colour;
    std::vector<PluginFixture> plugins;
    juce::StringArray snapshotNames;
};

ValueTree chainNode (const ChainFixture& c)
{
    auto order = node ("ProcessorOrder");
    auto plugins = node ("ChainPlugins");
    for (const auto& p : c.plugins)
    {
        order.appendChild (node ("plug", { { "id", p.uid }, { "type", p.typeId } }), nullptr);
        plugins.appendChild (chainPlugin (p), nullptr);
    }
    auto snapshots = node ("ChainSnapshotList");
    for (const auto& name : c.snapshotNames)
        snapshots.appendChild (node ("ChainSnapshot", { { "name", name } }), nullptr);
    return node ("Chain", {}, {
        node ("ChainSettings", { { "ChainColour", c.colour }, { "ChainInputCount", c.inputs }, { "ChainOutputCount", c.outputs },
                                 { "SideChainCount", c.sideChains } },
              { node ("ProcessorSettingsContainer", { { "id", c.id }, { "name", c.name } },
                      { node ("processorState", { { "inputGain", c.inputGain }, { "outputGain", c.outputGain }, { "audioMute", c.mute },
                                                  { "isolate", c.isolate }, { "bypassed", c.bypassed }, { "enabled", c.enabled } }) }),
                order }),
        plugins, snapshots });
}

struct Point
{
    int64 outNode, outChannel, inNode, inChannel;
    bool midi = false;
};

ValueTree audioPatch (const std::vector<Point>& points)
{
    auto patch = node ("AudioPatch");
    std::map<std::pair<int64, int64>, ValueTree> outputs;
    for (const auto& p : points)
    {
        auto& o = outputs[{ p.outNode, p.outChannel }];
        if (! o.isValid())
        {
            o = node ("outputs", { { "nodeId", p.outNode }, { "channelId", p.outChannel } });
            patch.appendChild (o, nullptr);
        }
        o.appendChild (node ("point", { { "outputNodeId", p.outNode }, { "outputChannelId", p.outChannel }, { "inputNodeId", p.inNode },
                                        { "inputChannelId", p.inChannel }, { "isMidi", p.midi } }), nullptr);
    }
    return patch;
}

ValueTree project (const std::vector<ChainFixture>& chains, const std::vector<Point>& points)
{
    auto chainList = node ("Chains");
    for (const auto& c : chains)
        chainList.appendChild (chainNode (c), nullptr);
    return node ("LiveProfessorProjectFile", { { "appVersion", "2.5.1" } }, {
        node ("AudioMidiHardware", {}, { node ("IOdeviceProperties", { { "inputDeviceName", "MADI In" }, { "outputDeviceName", "MADI Out" } }) }),
        node ("projectSettings", { { "BufferSize", 128 } }),
        chainList,
        node ("GlobalSnapshot", {}, { audioPatch (points) }) });
}

// Chain 100 in stereo with one VST3 plug-in, its main bus wired to hardware channels 0 and 1.
ValueTree basicProject()
{
    ChainFixture c;
    c.id = 100;
    c.name = "Vox";
    PluginFixture p;
    p.uid = 7001;
    c.plugins = { p };
    return project ({ c }, { { 1, 0, 100, 0 }, { 1, 1, 100, 1 }, { 100, 0, 2, 0 }, { 100, 1, 2, 1 } });
}

// The first child of each type along a path of node types.
ValueTree at (const ValueTree& root, const juce::String& path)
{
    auto n = root;
    for (const auto& type : juce::StringArray::fromTokens (path, "/", ""))
        n = n.getChildWithName (type);
    return n;
}

struct Rack2File
{
    vorntest::TempFolder tmp;
    juce::File file = tmp.file ("project.rack2");
};

RackReadResult readTree (const ValueTree& root)
{
    Rack2File f;
    {
        juce::FileOutputStream out (f.file);
        root.writeToStream (out);
    }
    return readLiveProfessorRack2 (f.file);
}

juce::StringArray lines (std::initializer_list<juce::String> items)
{
    juce::StringArray a;
    for (const auto& item : items)
        a.add (item);
    return a;
}

juce::StringArray noteLines (const RackSession& s)
{
    juce::StringArray lines;
    for (const auto& n : s.notes)
        lines.add (fidelityName (n.fidelity) + " " + n.code + " " + n.text);
    return lines;
}

juce::Array<float> decodedParameters (const PluginState& state)
{
    parameterState::Snapshot snapshot;
    juce::String error;
    EXPECT_TRUE (parameterState::decode (state.parameters, snapshot, error)) << error;
    return snapshot.values;
}

const juce::String patchFailure = "DROPPED routing.audioPatch AudioPatch contains a non-main-bus or malformed graph point";

// ---- the project as a whole ----

TEST (LiveProfessorReader, ReadsChainsSlotsStatesAndRoutesFieldByField)
{
    ChainFixture mono;
    mono.id = 100;
    mono.name = juce::String::fromUTF8 ("킥");
    mono.inputs = 1;
    mono.inputGain = 0.0;
    mono.outputGain = 0.5;
    mono.colour = "1ff336699";
    mono.mute = true;
    mono.snapshotNames = { "A", "B" };
    PluginFixture eq;
    eq.uid = 7001;
    eq.name = "EQ";
    eq.typeId = "VST3-EQ-9-Vendor-BEB1AB47";
    eq.bypassed = true;
    mono.plugins = { eq };

    ChainFixture stereo;
    stereo.id = 200;
    stereo.name = "Bus";
    stereo.enabled = false;
    stereo.isolate = true;
    PluginFixture delay;
    delay.uid = 7002;
    delay.name = "Delay";
    delay.typeId = "AudioUnit-Delay-ab";
    delay.chunk = auChunk();
    delay.parameters = {};
    delay.enabled = false;
    delay.mute = true;
    stereo.plugins = { delay };

    auto root = project ({ mono, stereo }, { { 1, 4, 100, 0 }, { 1, 7, 200, 1 }, { 1, 6, 200, 0 }, { 1, 9, 200, 0 },
                                            { 100, 0, 2, 3 }, { 200, 1, 2, 5 } });
    root.appendChild (node ("GlobalSnapshots", { { "ActiveSnapshot", (int64) 55 } },
                            { node ("GlobalSnapshot", { { "GSid", (int64) 55 }, { "GSname", "Show" } }) }), nullptr);

    Rack2File f;
    {
        juce::FileOutputStream out (f.file);
        root.writeToStream (out);
    }
    const auto r = readLiveProfessorRack2 (f.file);
    ASSERT_TRUE (r.ok) << r.error;
    EXPECT_EQ (r.status, readComplete);
    EXPECT_TRUE (r.session.notes.isEmpty()) << noteLines (r.session).joinIntoString ("\n");

    const auto& s = r.session;
    EXPECT_EQ (s.sourceFormat, "liveprofessor.rack2");
    EXPECT_EQ (s.sourceApp, "LiveProfessor");
    EXPECT_EQ (s.sourceVersion, "2.5.1");
    EXPECT_EQ (s.sourceFile, f.file.getFullPathName());
    EXPECT_EQ (s.inputDevice, "MADI In");
    EXPECT_EQ (s.outputDevice, "MADI Out");
    EXPECT_EQ (s.bufferSize, 128);
    EXPECT_EQ (s.sampleRate, 0.0);
    EXPECT_EQ (s.capacityStrips, 0);
    ASSERT_EQ (s.strips.size(), 2);

    const auto& k = s.strips[0];
    EXPECT_EQ (k.index, 0);
    EXPECT_EQ (k.name, juce::String::fromUTF8 ("킥"));
    EXPECT_TRUE (k.hasColour);
    EXPECT_EQ (k.colour, 0xff336699u);   // the low 32 bits of the hexadecimal value
    EXPECT_FLOAT_EQ (k.inputGainDb, -100.0f);
    EXPECT_FLOAT_EQ (k.outputGainDb, (float) (20.0 * std::log10 (0.5)));
    EXPECT_FLOAT_EQ (k.pan, 0.5f);
    EXPECT_TRUE (k.muted);
    EXPECT_FALSE (k.soloed);
    EXPECT_FALSE (k.bypassed);
    EXPECT_EQ (k.inputChannels, 1);
    EXPECT_EQ (k.outputChannels, 2);
    EXPECT_EQ (k.routeInL, 4);
    EXPECT_EQ (k.routeInR, -1);
    EXPECT_EQ (k.routeOutL, 3);
    EXPECT_EQ (k.routeOutR, -1);
    ASSERT_EQ (k.routePatches.size(), 2);
    EXPECT_TRUE (k.routePatches[0].isInput);
    EXPECT_EQ (k.routePatches[1].isInput, false);
    EXPECT_EQ (k.routePatches[1].rackChannel, 0);
    EXPECT_EQ (k.routePatches[1].physicalChannel, 3);
    EXPECT_TRUE (k.coverage.name && k.coverage.inputGain && k.coverage.outputGain && k.coverage.pan && k.coverage.mute
                 && k.coverage.solo && k.coverage.bypass && k.coverage.channelLayout && k.coverage.route);

    ASSERT_EQ (k.plugins.size(), 1);
    const auto& v = k.plugins[0];
    EXPECT_TRUE (v.occupied);
    EXPECT_EQ (v.name, "EQ");
    EXPECT_EQ (v.format, "VST3");
    EXPECT_EQ (v.uniqueId, 0xBEB1AB47u);
    EXPECT_TRUE (v.bypassed);
    EXPECT_FALSE (v.inactive);
    EXPECT_EQ (v.sidechainSource, -1);
    EXPECT_EQ (v.state.encoding, PluginStateEncoding::juceVst3Xml);
    EXPECT_EQ (v.state.raw, eq.chunk);
    EXPECT_EQ (v.state.component, bytesOf ("COMP"));
    EXPECT_EQ (v.state.controller, bytesOf ("CTRL"));
    EXPECT_EQ (decodedParameters (v.state), (juce::Array<float> { 0.25f, 1.0f }));
    EXPECT_TRUE (v.state.parameterMirrorComplete);
    EXPECT_TRUE (v.coverage.identity && v.coverage.activation && v.coverage.mute && v.coverage.sidechain && v.coverage.state);

    const auto& b = s.strips[1];
    EXPECT_EQ (b.name, "Bus");
    EXPECT_FALSE (b.hasColour);
    EXPECT_FLOAT_EQ (b.inputGainDb, 0.0f);
    EXPECT_TRUE (b.bypassed);   // not enabled reads as bypassed
    EXPECT_TRUE (b.soloed);
    EXPECT_EQ (b.routeInL, 6);  // the first patch of a rack channel wins
    EXPECT_EQ (b.routeInR, 7);
    EXPECT_EQ (b.routeOutR, 5);
    EXPECT_EQ (b.routePatches.size(), 4);
    const auto& d = b.plugins[0];
    EXPECT_EQ (d.format, "AU");
    EXPECT_EQ (d.uniqueId, 0xABu);
    EXPECT_TRUE (d.inactive);
    EXPECT_TRUE (d.muted);
    EXPECT_EQ (d.auType, fourCc ("aufx"));
    EXPECT_EQ (d.auSubtype, fourCc ("Dly1"));
    EXPECT_EQ (d.auManufacturer, fourCc ("Acme"));
    EXPECT_EQ (d.state.encoding, PluginStateEncoding::audioUnitPlist);
    EXPECT_EQ (d.state.raw, auChunk());
    EXPECT_TRUE (decodedParameters (d.state).isEmpty());

    ASSERT_EQ (s.snapshots.size(), 3);
    EXPECT_EQ (s.snapshots[0].number, 0);
    EXPECT_EQ (s.snapshots[1].name, "B");
    EXPECT_EQ (s.snapshots[1].number, 1);
    EXPECT_EQ (s.snapshots[2].number, 0);
    EXPECT_EQ (s.snapshots[2].name, "Show");
    EXPECT_EQ (s.snapshots[2].note, "GSid=55");
}

TEST (LiveProfessorReader, IsTheReaderOfRack2SessionFiles)
{
    Rack2File f;
    {
        juce::FileOutputStream out (f.file);
        basicProject().writeToStream (out);
    }
    const auto* host = app::hostForFile (f.file);
    ASSERT_NE (host, nullptr);
    const auto r = host->read (f.file);
    ASSERT_TRUE (r.ok) << r.error;
    EXPECT_EQ (r.status, readComplete);
    EXPECT_EQ (r.session.countPlugins(), 1);
}

TEST (LiveProfessorReader, TheDumpReadsProjectsAndReportsHardErrors)
{
    Rack2File good, bad;
    {
        juce::FileOutputStream out (good.file);
        basicProject().writeToStream (out);
    }
    {
        juce::FileOutputStream out (bad.file);
        node ("LiveProfessorProjectFile").writeToStream (out);
    }
    const auto read = vorntest::invoke ({ good.file.getFullPathName() });
    EXPECT_EQ (read.status, 0);
    EXPECT_TRUE (read.lines.contains ("READ    complete")) << read.lines.joinIntoString ("\n");
    const auto refused = vorntest::invoke ({ bad.file.getFullPathName() });
    EXPECT_EQ (refused.status, 1);
    EXPECT_TRUE (refused.lines.contains ("ERROR   no Chains node (in " + bad.file.getFullPathName() + ")")) << refused.lines.joinIntoString ("\n");
}

TEST (LiveProfessorReader, RefusesWhatIsNotAReadableProjectFile)
{
    const auto parseFailed = juce::String::fromUTF8 ("ValueTree parse failed — not a JUCE ValueTree stream?");
    juce::MemoryOutputStream whole;
    basicProject().writeToStream (whole);
    const auto bytes = whole.getMemoryBlock();

    struct Case { const char* what; std::function<juce::MemoryBlock()> bytes; juce::String error; };
    const Case cases[] = {
        { "empty file", [] { return juce::MemoryBlock(); }, parseFailed },
        { "truncated", [&] { return juce::MemoryBlock (bytes.getData(), bytes.getSize() - 3); }, parseFailed },
        { "trailing byte", [&] { auto b = bytes; b.append ("x", 1); return b; }, parseFailed },
        { "text", [] { return bytesOf ("<LiveProfessorProjectFile/>"); }, parseFailed },
        { "other root", [] { juce::MemoryOutputStream o; node ("Foo", {}, { node ("Chains") }).writeToStream (o); return o.getMemoryBlock(); },
          "unexpected root type: Foo" },
    };
    for (const auto& c : cases)
    {
        Rack2File f;
        const auto b = c.bytes();
        // replaceWithData deletes the file for an empty block.
        ASSERT_TRUE (b.isEmpty() ? f.file.create().wasOk() : f.file.replaceWithData (b.getData(), b.getSize()));
        const auto r = readLiveProfessorRack2 (f.file);
        EXPECT_FALSE (r.ok) << c.what;
        EXPECT_EQ (r.status, readFailed) << c.what;
        EXPECT_EQ (r.error, c.error) << c.what;
    }
    Rack2File missing;
    EXPECT_EQ (readLiveProfessorRack2 (missing.file).error, "could not open file");
}

TEST (LiveProfessorReader, StructuralFaultsAreHardErrors)
{
    struct Case { const char* path; std::function<void (ValueTree&)> change; const char* error; };
    auto set = [] (const char* path, const char* name, var value)
    {
        return [=] (ValueTree& root) { at (root, path).setProperty (name, value, nullptr); };
    };
    auto remove = [] (const char* path)
    {
        return [=] (ValueTree& root) { auto n = at (root, path); n.getParent().removeChild (n, nullptr); };
    };
    const char* settings = "Chains/Chain/ChainSettings";
    const char* chainState = "Chains/Chain/ChainSettings/ProcessorSettingsContainer/processorState";
    const char* order = "Chains/Chain/ChainSettings/ProcessorOrder";
    const Case cases[] = {
        { "Chains", remove ("Chains"), "no Chains node" },
        { "ChainSettings", remove (settings), "LiveProfessor ChainSettings is missing" },
        { "count absent", [] (ValueTree& r) { at (r, "Chains/Chain/ChainSettings").removeProperty ("SideChainCount", nullptr); },
          "LiveProfessor chain channel-count property is missing or invalid" },
        { "count as text", set (settings, "ChainOutputCount", "2"), "LiveProfessor chain channel-count property is missing or invalid" },
        { "inputs 0", set (settings, "ChainInputCount", 0), "LiveProfessor chain channel count is out of supported range" },
        { "inputs 129", set (settings, "ChainInputCount", 129), "LiveProfessor chain channel count is out of supported range" },
        { "inputs 2^32+2", set (settings, "ChainInputCount", (int64) 4294967298LL), "LiveProfessor chain channel count is out of supported range" },
        { "inputs 1e300", set (settings, "ChainInputCount", 1e300), "LiveProfessor chain channel count is out of supported range" },
        { "sidechains 3", set (settings, "SideChainCount", 3), "LiveProfessor chain channel count is out of supported range" },
        { "container", remove ("Chains/Chain/ChainSettings/ProcessorSettingsContainer"), "LiveProfessor ProcessorSettingsContainer is missing" },
        { "chain id", [] (ValueTree& r) { at (r, "Chains/Chain/ChainSettings/ProcessorSettingsContainer").removeProperty ("id", nullptr); },
          "LiveProfessor chain runtime id is missing" },
        { "chain id twice", [] (ValueTree& r) { auto c = at (r, "Chains/Chain").createCopy(); at (r, "Chains").appendChild (c, nullptr); },
          "LiveProfessor chain runtime id is duplicated" },
        { "chain id 2", set ("Chains/Chain/ChainSettings/ProcessorSettingsContainer", "id", 2),
          "LiveProfessor chain runtime id collides with a hardware node id" },
        { "processorState", remove (chainState), "LiveProfessor chain processorState is missing" },
        { "isolate as int", set (chainState, "isolate", 0), "LiveProfessor chain processorState property is missing or invalid" },
        { "negative gain", set (chainState, "inputGain", -0.5), "LiveProfessor chain processorState property is missing or invalid" },
        { "infinite gain", set (chainState, "outputGain", std::numeric_limits<double>::infinity()),
          "LiveProfessor chain processorState property is missing or invalid" },
        { "ProcessorOrder", remove (order), "LiveProfessor ChainPlugins/ProcessorOrder is missing" },
        { "ChainPlugins", remove ("Chains/Chain/ChainPlugins"), "LiveProfessor ChainPlugins/ProcessorOrder is missing" },
        { "foreign order node", [=] (ValueTree& r) { at (r, order).appendChild (node ("note"), nullptr); },
          "LiveProfessor ProcessorOrder contains an invalid node" },
        { "plug without type", [=] (ValueTree& r) { at (r, order).getChild (0).removeProperty ("type", nullptr); },
          "LiveProfessor ProcessorOrder contains an invalid node" },
        { "plug twice", [=] (ValueTree& r) { auto o = at (r, order); o.appendChild (o.getChild (0).createCopy(), nullptr); },
          "LiveProfessor ProcessorOrder contains a duplicate plugin id" },
        { "extra plug-in", [] (ValueTree& r) { at (r, "Chains/Chain/ChainPlugins").appendChild (node ("Plugin"), nullptr); },
          "LiveProfessor ProcessorOrder/ChainPlugins count mismatch" },
        { "unknown id", set ("Chains/Chain/ChainSettings/ProcessorOrder/plug", "id", (int64) 7002),
          "LiveProfessor ProcessorOrder id does not resolve uniquely" },
        { "type differs", set ("Chains/Chain/ChainSettings/ProcessorOrder/plug", "type", "VST3-Other-1"),
          "LiveProfessor ProcessorOrder type does not match ChainPlugins" },
        { "two metadata nodes", [] (ValueTree& r) { r.appendChild (node ("VORNConverterMetadata"), nullptr); r.appendChild (node ("VORNConverterMetadata"), nullptr); },
          "VORN converter metadata header is invalid" },
    };
    for (const auto& c : cases)
    {
        auto root = basicProject();
        c.change (root);
        const auto r = readTree (root);
        EXPECT_FALSE (r.ok) << c.path;
        EXPECT_EQ (r.status, readFailed) << c.path;
        EXPECT_EQ (r.error, c.error) << c.path;
    }
}

// A property holds the kind it must: text, an integer (an int, an int64 or a whole double) or a
// finite number. Another kind is never converted (JUCE prints a double by casting it to int first,
// undefined for NaN): a property the read cannot do without is refused, an optional one left out
// with a DROPPED note, both naming the node and the property.
TEST (LiveProfessorReader, PropertiesOfAnotherKindAreRefusedOrLeftOutByName)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto set = [] (const char* path, const char* name, var value)
    {
        return [=] (ValueTree& root) { at (root, path).setProperty (name, value, nullptr); };
    };
    const char* plug = "Chains/Chain/ChainSettings/ProcessorOrder/plug";
    const char* plugin = "Chains/Chain/ChainPlugins/Plugin";
    const char* device = "AudioMidiHardware/IOdeviceProperties";
    using Properties = std::vector<std::pair<const char*, var>>;
    auto withProperties = [] (const char* type, const Properties& properties)
    {
        ValueTree n (type);
        for (const auto& [name, value] : properties)
            n.setProperty (name, value, nullptr);
        return n;
    };
    auto metadata = [=] (Properties header, Properties slot)
    {
        return [=] (ValueTree& root)
        {
            auto n = withProperties ("VORNConverterMetadata", header);
            n.appendChild (withProperties ("Slot", slot), nullptr);
            root.appendChild (n, nullptr);
        };
    };
    auto globalSnapshot = [=] (Properties list, Properties snapshot)
    {
        return [=] (ValueTree& root)
        {
            auto n = withProperties ("GlobalSnapshots", list);
            n.appendChild (withProperties ("GlobalSnapshot", snapshot), nullptr);
            root.appendChild (n, nullptr);
        };
    };
    const auto kind = [] (const char* text) { return juce::String ("DROPPED property.kind LiveProfessor ") + text; };

    struct Case
    {
        const char* what;
        std::function<void (ValueTree&)> change;
        juce::String error;                                       // empty: read
        juce::StringArray notes;
        std::function<juce::String (const RackSession&)> leftOut; // the field that must stay empty
    };
    const Case cases[] = {
        // Refused.
        { "plug type NaN", set (plug, "type", nan), "LiveProfessor plug property type is not text in chain 0", {}, {} },
        { "plug id as text", set (plug, "id", "7001"), "LiveProfessor plug property id is not an integer in chain 0", {}, {} },
        { "plug id fractional", set (plug, "id", 7001.5), "LiveProfessor plug property id is not an integer in chain 0", {}, {} },
        { "chain id NaN", set ("Chains/Chain/ChainSettings/ProcessorSettingsContainer", "id", nan),
          "LiveProfessor ProcessorSettingsContainer property id is not an integer in chain 0", {}, {} },
        { "pluginUid NaN", set (plugin, "pluginUid", nan), "LiveProfessor Plugin property pluginUid is not an integer in chain 0", {}, {} },
        { "pluginTypeId NaN", set (plugin, "pluginTypeId", nan), "LiveProfessor Plugin property pluginTypeId is not text in chain 0", {}, {} },
        { "count NaN", set ("Chains/Chain/ChainSettings", "ChainInputCount", nan),
          "LiveProfessor chain channel-count property is missing or invalid", {}, {} },
        { "schemaVersion NaN", metadata ({ { "schemaVersion", nan }, { "sourceSlotsPerStrip", 8 } }, {}),
          "LiveProfessor VORNConverterMetadata property schemaVersion is not an integer", {}, {} },
        { "metadata runtime id as text",
          metadata ({ { "schemaVersion", 1 }, { "sourceSlotsPerStrip", 8 } }, { { "chainIndex", 0 }, { "slotIndex", 0 }, { "pluginRuntimeId", "7001" } }),
          "LiveProfessor Slot property pluginRuntimeId is not an integer", {}, {} },
        // Read: a whole double is an integer.
        { "plug id 7001.0", set (plug, "id", 7001.0), {}, {}, {} },
        // Left out, with a note.
        { "inputDeviceName NaN", set (device, "inputDeviceName", nan), {},
          { kind ("IOdeviceProperties property inputDeviceName is not text") }, [] (const RackSession& s) { return s.inputDevice; } },
        { "outputDeviceName int", set (device, "outputDeviceName", 5), {},
          { kind ("IOdeviceProperties property outputDeviceName is not text") }, [] (const RackSession& s) { return s.outputDevice; } },
        { "appVersion NaN", set ("", "appVersion", nan), {},
          { kind ("LiveProfessorProjectFile property appVersion is not text") }, [] (const RackSession& s) { return s.sourceVersion; } },
        { "BufferSize as text", set ("projectSettings", "BufferSize", "128"), {},
          { kind ("projectSettings property BufferSize is not an integer") }, [] (const RackSession& s) { return s.bufferSize != 0 ? juce::String (s.bufferSize) : juce::String(); } },
        { "ChainColour NaN", set ("Chains/Chain/ChainSettings", "ChainColour", nan), {},
          { kind ("ChainSettings property ChainColour is not text in chain 0") },
          [] (const RackSession& s) { return s.strips[0].hasColour ? juce::String ("colour") : juce::String(); } },
        { "chain name NaN", set ("Chains/Chain/ChainSettings/ProcessorSettingsContainer", "name", nan), {},
          { kind ("ProcessorSettingsContainer property name is not text in chain 0") }, [] (const RackSession& s) { return s.strips[0].name; } },
        { "chain snapshot name NaN",
          [] (ValueTree& r) { at (r, "Chains/Chain/ChainSnapshotList").appendChild (node ("ChainSnapshot", { { "name", std::nan ("") } }), nullptr); },
          {}, { kind ("ChainSnapshot property name is not text in chain 0") }, [] (const RackSession& s) { return s.snapshots[0].name; } },
        { "GSid and GSname NaN", globalSnapshot ({}, { { "GSid", nan }, { "GSname", nan } }), {},
          { kind ("GlobalSnapshot property GSid is not an integer"), kind ("GlobalSnapshot property GSname is not text") },
          [] (const RackSession& s) { return s.snapshots[0].name; } },
        { "ActiveSnapshot NaN", globalSnapshot ({ { "ActiveSnapshot", nan } }, { { "GSid", (int64) 5 }, { "GSname", "A" } }), {},
          { kind ("GlobalSnapshots property ActiveSnapshot is not an integer") }, {} },
        { "pluginTypeName NaN", set (plugin, "pluginTypeName", nan), {},
          { "DROPPED plugin.state LiveProfessor Plugin property pluginTypeName is not text in chain 0" },
          [] (const RackSession& s) { return s.strips[0].plugins[0].name; } },
        { "SnapshotIdTag NaN", set ("Chains/Chain/ChainPlugins/Plugin/Plugin/PluginSnapshot", "SnapshotIdTag", nan), {},
          { "DROPPED plugin.state LiveProfessor PluginSnapshot property SnapshotIdTag is not an integer" }, {} },
        { "plug-in container id NaN", set ("Chains/Chain/ChainPlugins/Plugin/ProcessorSettingsContainer", "id", nan), {},
          { "DROPPED plugin.state LiveProfessor ProcessorSettingsContainer property id is not an integer" }, {} },
        { "patch node id as text", set ("GlobalSnapshot/AudioPatch/outputs", "nodeId", "1"), {}, { patchFailure }, {} },
    };
    for (const auto& c : cases)
    {
        auto root = basicProject();
        c.change (root);
        const auto r = readTree (root);
        EXPECT_EQ (r.ok, c.error.isEmpty()) << c.what << ": " << r.error;
        EXPECT_EQ (r.error, c.error) << c.what;
        if (! r.ok)
            continue;
        EXPECT_EQ (noteLines (r.session), c.notes) << c.what;
        EXPECT_EQ (r.status, c.notes.isEmpty() ? readComplete : readPartial) << c.what;
        if (c.leftOut)
            EXPECT_EQ (c.leftOut (r.session), juce::String()) << c.what;
    }
}

// A project that holds a NaN where the input device's name belongs: the dump leaves the name out
// and says why, and the tree dump prints every property, the NaN as a word.
TEST (LiveProfessorReader, TheProgramLeavesOutANumberWhereTextBelongsAndTheTreeShowsIt)
{
    auto root = basicProject();
    auto device = at (root, "AudioMidiHardware/IOdeviceProperties");
    device.setProperty ("inputDeviceName", std::numeric_limits<double>::quiet_NaN(), nullptr);
    device.setProperty ("sampleRate", -std::numeric_limits<double>::infinity(), nullptr);
    Rack2File f;
    {
        juce::FileOutputStream out (f.file);
        root.writeToStream (out);
    }
    const auto path = f.file.getFullPathName().toStdString();

    const auto dump = vorntest::runVornconvBinary ({ path });
    EXPECT_EQ (dump.exitCode, 0) << dump.out << dump.err;
    EXPECT_EQ (dump.err, "");
    const auto lines = dump.outLines();
    EXPECT_TRUE (lines.contains ("READ    partial (writer blocked)")) << dump.out;
    EXPECT_TRUE (lines.contains ("DEVICE  in=  out=MADI Out  0 Hz / 128 smp")) << dump.out;
    EXPECT_TRUE (lines.contains ("  DROPPED  property.kind         LiveProfessor IOdeviceProperties property inputDeviceName is not text"))
        << dump.out;

    const auto tree = vorntest::runVornconvBinary ({ "--tree", path });
    EXPECT_EQ (tree.exitCode, 0) << tree.out << tree.err;
    EXPECT_EQ (tree.err, "");
    EXPECT_TRUE (tree.outLines().contains ("    IOdeviceProperties  [inputDeviceName=nan, outputDeviceName=MADI Out, sampleRate=-inf]"))
        << tree.out;
}

// The basic project with count parameters on its plug-in, written through the converter's own
// tree: JUCE's tree takes quadratic time over a million property names.
void writeWithParameters (const juce::File& file, int count)
{
    auto tree = fromJuce (basicProject());
    auto* parameters = &tree;
    for (auto* type : { "Chains", "Chain", "ChainPlugins", "Plugin", "Plugin", "PluginSnapshot", "parameters" })
        parameters = findChild (*parameters, type);
    ASSERT_NE (parameters, nullptr);
    parameters->properties.clear();
    for (int i = 0; i < count; ++i)
        parameters->properties.push_back ({ "P" + std::to_string (i), var (i % 4 == 0 ? 1.0 : 0.25) });
    juce::FileOutputStream out (file);
    ASSERT_TRUE (writeValueTree (tree, out));
}

TEST (LiveProfessorReader, ReadsAMillionParametersAndRefusesOneMoreAsItReads)
{
    Rack2File atLimit, beyond;
    writeWithParameters (atLimit.file, 1000000);
    writeWithParameters (beyond.file, 1000001);

    const auto r = readLiveProfessorRack2 (atLimit.file);
    ASSERT_TRUE (r.ok) << r.error;
    EXPECT_EQ (r.status, readComplete);
    const auto values = decodedParameters (r.session.strips[0].plugins[0].state);
    ASSERT_EQ (values.size(), 1000000);
    EXPECT_EQ (values[0], 1.0f);
    EXPECT_EQ (values[999999], 0.25f);

    const auto refused = readLiveProfessorRack2 (beyond.file);
    EXPECT_FALSE (refused.ok);
    EXPECT_EQ (refused.status, readFailed);
    EXPECT_TRUE (refused.error.startsWith ("LiveProfessor project exceeds a safety limit: value tree node holds more than 1000000 items"))
        << refused.error;

    const auto tree = vorntest::invoke ({ "--tree", beyond.file.getFullPathName() });
    EXPECT_EQ (tree.status, 1);
    const auto refusal = tree.lines.indexOf ("ERROR   ValueTree parse failed");
    int limitLines = 0;
    for (const auto& line : tree.lines)
        limitLines += line.startsWith ("ERROR   ValueTree exceeds a safety limit: value tree node holds more than 1000000 items") ? 1 : 0;
    EXPECT_EQ (refusal, -1);
    EXPECT_EQ (limitLines, 1) << tree.lines.joinIntoString ("\n");
}

TEST (LiveProfessorReader, FindsParametersByTheIndexTheirNamesSpell)
{
    // Stored in any order, P0 .. Pn read back in index order; a gap, a name JUCE would not spell
    // for an index, or a value out of range fails at the first index that is wrong.
    struct Case
    {
        const char* what;
        std::vector<std::pair<std::string, var>> properties;
        juce::String note;   // empty: read
    };
    const Case cases[] = {
        { "reversed", { { "P2", 0.5 }, { "P1", 1 }, { "P0", (int64) 0 } }, {} },
        { "in order", { { "P0", (int64) 0 }, { "P1", 1 }, { "P2", 0.5 } }, {} },
        { "in order, text before a value out of range", { { "P0", 0.5 }, { "P1", "x" }, { "P2", 1.5 } },
          "LiveProfessor PluginSnapshot parameter is not numeric" },
        { "in order, out of range", { { "P0", 0.5 }, { "P1", -0.5 } }, "LiveProfessor PluginSnapshot parameter is not normalized" },
        { "in order up to a gap", { { "P0", 0.5 }, { "P1", 0.5 }, { "P3", 0.5 } },
          "LiveProfessor PluginSnapshot parameters are not a contiguous P0..Pn set" },
        { "a gap", { { "P0", 0.5 }, { "P2", 0.5 } }, "LiveProfessor PluginSnapshot parameters are not a contiguous P0..Pn set" },
        { "a leading zero", { { "P0", 0.5 }, { "P01", 0.5 } }, "LiveProfessor PluginSnapshot parameters are not a contiguous P0..Pn set" },
        { "a sign", { { "P0", 0.5 }, { "P+1", 0.5 } }, "LiveProfessor PluginSnapshot parameters are not a contiguous P0..Pn set" },
        { "text before a gap", { { "P1", "x" }, { "P0", 0.5 }, { "P3", 0.5 } }, "LiveProfessor PluginSnapshot parameter is not numeric" },
        { "out of range before text", { { "P1", "x" }, { "P0", 1.5 } }, "LiveProfessor PluginSnapshot parameter is not normalized" },
    };
    for (const auto& c : cases)
    {
        auto tree = fromJuce (basicProject());
        auto* parameters = &tree;
        for (auto* type : { "Chains", "Chain", "ChainPlugins", "Plugin", "Plugin", "PluginSnapshot", "parameters" })
            parameters = findChild (*parameters, type);
        ASSERT_NE (parameters, nullptr);
        parameters->properties.clear();
        for (const auto& [name, value] : c.properties)
            parameters->properties.push_back ({ name, value });
        Rack2File f;
        {
            juce::FileOutputStream out (f.file);
            ASSERT_TRUE (writeValueTree (tree, out));
        }
        const auto r = readLiveProfessorRack2 (f.file);
        ASSERT_TRUE (r.ok) << c.what << ": " << r.error;
        if (c.note.isEmpty())
        {
            EXPECT_EQ (r.status, readComplete) << c.what;
            EXPECT_EQ (decodedParameters (r.session.strips[0].plugins[0].state), (juce::Array<float> { 0.0f, 1.0f, 0.5f })) << c.what;
        }
        else
        {
            EXPECT_EQ (r.status, readPartial) << c.what;
            EXPECT_EQ (noteLines (r.session), juce::StringArray ("DROPPED plugin.state " + c.note)) << c.what;
        }
    }
}

TEST (LiveProfessorReader, AcceptsCountsOfAnyNumericKind)
{
    auto root = basicProject();
    at (root, "Chains/Chain/ChainSettings").setProperty ("ChainInputCount", 2.0, nullptr);
    at (root, "Chains/Chain/ChainSettings").setProperty ("ChainOutputCount", (int64) 2, nullptr);
    at (root, "Chains").appendChild (node ("ChainFolder"), nullptr);   // other node types are skipped
    const auto r = readTree (root);
    ASSERT_TRUE (r.ok) << r.error;
    EXPECT_EQ (r.status, readComplete);
    EXPECT_EQ (r.session.strips.size(), 1);
    EXPECT_EQ (r.session.strips[0].inputChannels, 2);
}

// ---- slots ----

TEST (LiveProfessorReader, ASlotThatCannotBeProvenKeepsItsPlaceAndMakesTheReadPartial)
{
    const auto garbage = bytesOf ("VC2!garbage");
    const auto vst3Error = vst3::parseJuceVst3State (garbage).error;
    audioUnit::Identity identity;
    juce::String plistError;
    ASSERT_FALSE (audioUnit::parsePropertyList (vst3Chunk ("COMP", "CTRL"), identity, plistError));
    struct Case { const char* what; std::function<void (PluginFixture&)> change; juce::String note; };
    const Case cases[] = {
        { "VST2", [] (PluginFixture& p) { p.typeId = "VST2-Comp-1a2b"; }, "unsupported LiveProfessor plugin type: VST2-Comp-1a2b" },
        { "zero suffix", [] (PluginFixture& p) { p.typeId = "VST3-X-0"; }, "invalid LiveProfessor pluginTypeId: VST3-X-0" },
        { "nine digits", [] (PluginFixture& p) { p.typeId = "VST3-Comp-123456789"; }, "invalid LiveProfessor pluginTypeId: VST3-Comp-123456789" },
        { "dash too early", [] (PluginFixture& p) { p.typeId = "VST3-1a"; }, "invalid LiveProfessor pluginTypeId: VST3-1a" },
        { "not hex", [] (PluginFixture& p) { p.typeId = "VST3-Comp-12g4"; }, "invalid LiveProfessor pluginTypeId: VST3-Comp-12g4" },
        { "no name", [] (PluginFixture& p) { p.name = ""; }, "" },
        { "empty chunk", [] (PluginFixture& p) { p.chunk = juce::MemoryBlock(); }, "LiveProfessor plugin chunkData is missing" },
        { "bad VST3 chunk", [&] (PluginFixture& p) { p.chunk = garbage; }, "LiveProfessor VST3 chunkData failed strict parse: " + vst3Error },
        { "AU not a plist", [] (PluginFixture& p) { p.typeId = "AudioUnit-Comp-1"; },
          "LiveProfessor AudioUnit chunkData failed strict parse: " + plistError },
        { "parameter 1.5", [] (PluginFixture& p) { p.parameters = { 0.5, 1.5 }; }, "LiveProfessor PluginSnapshot parameter is not normalized" },
        { "parameter NaN", [] (PluginFixture& p) { p.parameters = { std::nan ("") }; }, "LiveProfessor PluginSnapshot parameter is not normalized" },
        { "parameter 1e300", [] (PluginFixture& p) { p.parameters = { 1e300 }; }, "LiveProfessor PluginSnapshot parameter is not normalized" },
    };
    for (const auto& c : cases)
    {
        ChainFixture chain;
        chain.id = 100;
        PluginFixture p;
        p.uid = 7001;
        c.change (p);
        chain.plugins = { p };
        const auto r = readTree (project ({ chain }, { { 1, 0, 100, 0 } }));
        ASSERT_TRUE (r.ok) << c.what << ": " << r.error;
        EXPECT_EQ (r.status, readPartial) << c.what;
        ASSERT_EQ (r.session.notes.size(), 1) << c.what;
        EXPECT_EQ (r.session.notes[0].fidelity, Fidelity::dropped);
        EXPECT_EQ (r.session.notes[0].code, "plugin.state");
        EXPECT_EQ (r.session.notes[0].text, c.note) << c.what;
        ASSERT_EQ (r.session.strips[0].plugins.size(), 1);
        EXPECT_TRUE (r.session.strips[0].plugins[0].occupied);
        EXPECT_EQ (r.session.strips[0].plugins[0].name, p.name);
        EXPECT_FALSE (r.session.strips[0].plugins[0].coverage.state) << c.what;
    }
}

TEST (LiveProfessorReader, PluginPayloadNodesAreCheckedStrictly)
{
    const char* plugin = "Chains/Chain/ChainPlugins/Plugin";
    const char* snapshot = "Chains/Chain/ChainPlugins/Plugin/Plugin/PluginSnapshot";
    struct Case { const char* what; std::function<void (ValueTree&)> change; const char* note; };
    const Case cases[] = {
        { "no audioMute", [=] (ValueTree& r) { at (r, juce::String (plugin) + "/ProcessorSettingsContainer/processorState").removeProperty ("audioMute", nullptr); },
          "LiveProfessor plugin processorState is incomplete" },
        { "container id differs", [=] (ValueTree& r) { at (r, juce::String (plugin) + "/ProcessorSettingsContainer").setProperty ("id", 5, nullptr); },
          "LiveProfessor plugin processorState is incomplete" },
        { "two snapshots", [=] (ValueTree& r) { auto s = at (r, snapshot); s.getParent().appendChild (s.createCopy(), nullptr); },
          "LiveProfessor plugin chunkData is missing" },
        { "tag differs", [=] (ValueTree& r) { at (r, snapshot).setProperty ("SnapshotIdTag", (int64) 7002, nullptr); },
          "LiveProfessor plugin chunkData is missing" },
        { "chunk as text", [=] (ValueTree& r) { at (r, snapshot).setProperty ("chunkData", "VC2!", nullptr); },
          "LiveProfessor plugin chunkData is missing" },
        { "parameters node child", [=] (ValueTree& r) { at (r, juce::String (snapshot) + "/parameters").appendChild (node ("x"), nullptr); },
          "LiveProfessor PluginSnapshot parameters are missing or malformed" },
        { "no parameters node", [=] (ValueTree& r) { auto p = at (r, juce::String (snapshot) + "/parameters"); p.getParent().removeChild (p, nullptr); },
          "LiveProfessor PluginSnapshot parameters are missing or malformed" },
        { "gap", [=] (ValueTree& r) { auto p = at (r, juce::String (snapshot) + "/parameters"); p.removeProperty ("P0", nullptr); p.setProperty ("P2", 0.5, nullptr); },
          "LiveProfessor PluginSnapshot parameters are not a contiguous P0..Pn set" },
        { "text value", [=] (ValueTree& r) { at (r, juce::String (snapshot) + "/parameters").setProperty ("P1", "0.5", nullptr); },
          "LiveProfessor PluginSnapshot parameter is not numeric" },
    };
    for (const auto& c : cases)
    {
        auto root = basicProject();
        c.change (root);
        const auto r = readTree (root);
        ASSERT_TRUE (r.ok) << c.what << ": " << r.error;
        EXPECT_EQ (r.status, readPartial) << c.what;
        EXPECT_EQ (noteLines (r.session), juce::StringArray ("DROPPED plugin.state " + juce::String (c.note))) << c.what;
    }
}

// ---- runtime ids and converter metadata ----

PluginFixture pluginWithId (int64 id)
{
    PluginFixture p;
    p.uid = id;
    return p;
}

ValueTree metadataNode (int slotsPerStrip, std::initializer_list<std::tuple<int, int, int64>> slots)
{
    auto n = node ("VORNConverterMetadata", { { "schemaVersion", 1 }, { "sourceSlotsPerStrip", slotsPerStrip } });
    for (const auto& [chain, slot, id] : slots)
        n.appendChild (node ("Slot", { { "chainIndex", chain }, { "slotIndex", slot }, { "pluginRuntimeId", id } }), nullptr);
    return n;
}

TEST (LiveProfessorReader, PlacesSlotsByRuntimeIdKindAndMetadata)
{
    const auto s00 = makeStableRuntimeId (0, 0, -1), s03 = makeStableRuntimeId (0, 3, -1), s10 = makeStableRuntimeId (1, 0, -1);
    EXPECT_EQ (s00, (int64) 2893086720LL);
    EXPECT_EQ (s10, (int64) 2893087744LL);

    struct Case
    {
        const char* what;
        std::vector<std::vector<int64>> chains;            // plug-in ids per chain, in ProcessorOrder
        ValueTree metadata;                                // invalid: none
        std::vector<juce::String> layout;                  // per strip: "x" occupied, "." empty
        const char* error;
    };
    const Case cases[] = {
        { "native ids", { { 11, 12, 13 } }, {}, { "xxx" }, "" },
        { "stable gap", { { s00, s03 } }, {}, { "x..x" }, "" },
        { "stable per chain", { { s00 }, { s10 } }, {}, { "x", "x" }, "" },
        { "native with metadata", { { 11, 12 } }, metadataNode (8, { { 0, 2, 11 }, { 0, 5, 12 } }), { "..x..x" }, "" },
        { "stable with metadata", { { s00, s03 } }, metadataNode (8, { { 0, 0, s00 }, { 0, 3, s03 } }), { "x..x" }, "" },
        { "stable out of order", { { s03, s00 } }, {}, {}, "LiveProfessor stable runtime id does not match ProcessorOrder" },
        { "stable in wrong chain", { { s10 } }, {}, {}, "LiveProfessor stable runtime id does not match ProcessorOrder" },
        { "mixed across chains", { { s00 }, { 12 } }, {}, {}, "LiveProfessor project mixes stable and native plugin runtime ids" },
        { "metadata names other slot", { { s00 } }, metadataNode (8, { { 0, 1, s00 } }), {}, "VORN converter metadata does not match ProcessorOrder" },
        { "metadata lacks id", { { 11 } }, metadataNode (8, { { 0, 0, 99 } }), {}, "VORN converter metadata does not match ProcessorOrder" },
        { "metadata goes backwards", { { 11, 12 } }, metadataNode (8, { { 0, 3, 11 }, { 0, 1, 12 } }), {}, "VORN converter metadata does not match ProcessorOrder" },
        { "metadata other chain", { { 11 } }, metadataNode (8, { { 1, 0, 11 } }), {}, "VORN converter metadata does not match ProcessorOrder" },
        { "metadata left over", { { 11 } }, metadataNode (8, { { 0, 0, 11 }, { 0, 1, 12 } }), {}, "VORN converter metadata references plugins outside ProcessorOrder" },
    };
    for (const auto& c : cases)
    {
        std::vector<ChainFixture> chains;
        for (size_t i = 0; i < c.chains.size(); ++i)
        {
            ChainFixture chain;
            chain.id = 100 + (int64) i;
            for (auto id : c.chains[i])
                chain.plugins.push_back (pluginWithId (id));
            chains.push_back (chain);
        }
        auto root = project (chains, {});
        if (c.metadata.isValid())
            root.addChild (c.metadata, 0, nullptr);
        const auto r = readTree (root);
        EXPECT_EQ (r.error, c.error) << c.what;
        if (! r.ok)
            continue;
        ASSERT_EQ ((size_t) r.session.strips.size(), c.layout.size()) << c.what;
        for (size_t i = 0; i < c.layout.size(); ++i)
        {
            juce::String layout;
            for (const auto& slot : r.session.strips[(int) i].plugins)
                layout << (slot.occupied ? "x" : ".");
            EXPECT_EQ (layout, c.layout[i]) << c.what;
        }
        EXPECT_EQ (r.status, readComplete) << c.what << noteLines (r.session).joinIntoString ("; ");
    }
}

TEST (LiveProfessorReader, MetadataIsValidatedBeforeTheChains)
{
    struct Case { const char* what; ValueTree metadata; const char* error; };
    auto header = [] (std::initializer_list<std::pair<const char*, var>> p) { return node ("VORNConverterMetadata", p); };
    const Case cases[] = {
        { "schema 2", header ({ { "schemaVersion", 2 }, { "sourceSlotsPerStrip", 8 } }), "VORN converter metadata header is invalid" },
        { "no capacity", header ({ { "schemaVersion", 1 } }), "VORN converter metadata header is invalid" },
        { "capacity 0", header ({ { "schemaVersion", 1 }, { "sourceSlotsPerStrip", 0 } }), "VORN converter metadata slot capacity is invalid" },
        { "foreign child", [] { auto m = metadataNode (8, {}); m.appendChild (node ("Strip"), nullptr); return m; }(),
          "VORN converter metadata contains an invalid Slot" },
        { "slot without index", [] { auto m = metadataNode (8, { { 0, 0, 11 } }); m.getChild (0).removeProperty ("slotIndex", nullptr); return m; }(),
          "VORN converter metadata contains an invalid Slot" },
        { "place twice", metadataNode (8, { { 0, 0, 11 }, { 0, 0, 12 } }), "VORN converter metadata contains duplicate or out-of-range slot mapping" },
        { "id twice", metadataNode (8, { { 0, 0, 11 }, { 0, 1, 11 } }), "VORN converter metadata contains duplicate or out-of-range slot mapping" },
        { "slot at capacity", metadataNode (8, { { 0, 8, 11 } }), "VORN converter metadata contains duplicate or out-of-range slot mapping" },
        { "negative chain", metadataNode (8, { { -1, 0, 11 } }), "VORN converter metadata contains duplicate or out-of-range slot mapping" },
        { "id 0", metadataNode (8, { { 0, 0, 0 } }), "VORN converter metadata contains duplicate or out-of-range slot mapping" },
    };
    for (const auto& c : cases)
    {
        auto root = basicProject();
        at (root, "Chains").removeAllChildren (nullptr);   // the metadata fails before any chain is read
        root.appendChild (c.metadata, nullptr);
        const auto r = readTree (root);
        EXPECT_FALSE (r.ok) << c.what;
        EXPECT_EQ (r.error, c.error) << c.what;
    }
}

TEST (LiveProfessorReader, MetadataCannotAskForUnboundedEmptySlots)
{
    ChainFixture chain;
    chain.id = 100;
    chain.plugins = { pluginWithId (11) };
    auto root = project ({ chain }, {});
    root.appendChild (metadataNode (std::numeric_limits<int>::max(), { { 0, std::numeric_limits<int>::max() - 1, 11 } }), nullptr);
    const auto r = readTree (root);
    EXPECT_FALSE (r.ok);
    EXPECT_EQ (r.error, "LiveProfessor slot layout exceeds the safety limit");
}

// ---- the audio patch ----

TEST (LiveProfessorReader, WalksTheAudioPatchIntoRoutesAndSidechains)
{
    // Strip 0 mono source (chain 100), strip 1 stereo with two sidechain inputs (chain 200).
    auto chains = [] (std::vector<int64> sourceIds, std::vector<int64> destinationIds, int sideChains = 2, int destinationInputs = 2)
    {
        ChainFixture source;
        source.id = 100;
        source.outputs = 1;
        for (auto id : sourceIds)
            source.plugins.push_back (pluginWithId (id));
        ChainFixture destination;
        destination.id = 200;
        destination.inputs = destinationInputs;
        destination.sideChains = sideChains;
        for (auto id : destinationIds)
            destination.plugins.push_back (pluginWithId (id));
        ChainFixture third;
        third.id = 300;
        return std::vector<ChainFixture> { source, destination, third };
    };
    const auto sidechainFeed = std::vector<Point> { { 100, 0, 200, 2 }, { 100, 0, 200, 3 } };
    auto with = [] (std::vector<Point> a, std::vector<Point> b) { a.insert (a.end(), b.begin(), b.end()); return a; };
    const auto keyed = makeStableRuntimeId (1, 0, 0), plain = makeStableRuntimeId (1, 1, -1);

    struct Case { const char* what; std::vector<ChainFixture> chains; std::vector<Point> points; int sidechainOfStrip1; bool routed; };
    const Case cases[] = {
        { "mono source feeds both sidechain inputs (native)", chains ({}, { 21 }), sidechainFeed, 0, true },
        { "stable id names the source", chains ({}, { keyed, plain }), sidechainFeed, 0, true },
        { "stable id names another source", chains ({}, { makeStableRuntimeId (1, 0, 2) }), sidechainFeed, -2, false },
        { "stable id without a feed", chains ({}, { keyed }), {}, -2, false },
        { "one sidechain input left unfed", chains ({}, { 21 }), { { 100, 0, 200, 2 } }, -2, false },
        { "two sources", chains ({}, { 21 }), { { 100, 0, 200, 2 }, { 300, 1, 200, 3 } }, -2, false },
        { "native feed into two plug-ins", chains ({}, { 21, 22 }), sidechainFeed, -2, false },
        { "sidechain count differs from inputs", chains ({}, { 21 }, 1), { { 100, 0, 200, 2 } }, -2, false },
        { "feed into a main input", chains ({}, { 21 }), { { 100, 0, 200, 0 } }, -2, false },
        { "hardware into a sidechain input", chains ({}, { 21 }), { { 1, 0, 200, 2 } }, -2, false },
        { "hardware to hardware", chains ({}, {}), { { 1, 0, 2, 0 } }, -2, false },
        { "MIDI point", chains ({}, {}), { { 1, 0, 100, 0, true } }, -2, false },
        { "output channel beyond the chain", chains ({}, {}), { { 100, 1, 2, 0 } }, -2, false },
        { "unknown node", chains ({}, {}), { { 1, 0, 999, 0 } }, -2, false },
        { "channel beyond 31 bits", chains ({}, {}), { { 1, (int64) 1 << 31, 100, 0 } }, -2, false },
        { "duplicate point", chains ({}, {}), { { 1, 0, 100, 0 }, { 1, 0, 100, 0 } }, -2, false },
        { "physical plus feed", chains ({}, { 21 }), with ({ { 1, 3, 100, 0 }, { 200, 1, 2, 9 } }, sidechainFeed), 0, true },
    };
    for (const auto& c : cases)
    {
        const auto r = readTree (project (c.chains, c.points));
        ASSERT_TRUE (r.ok) << c.what << ": " << r.error;
        const auto& s = r.session;
        if (c.routed)
        {
            EXPECT_EQ (r.status, readComplete) << c.what << noteLines (s).joinIntoString ("; ");
            EXPECT_TRUE (s.notes.isEmpty()) << c.what;
            for (const auto& strip : s.strips)
            {
                EXPECT_TRUE (strip.coverage.route) << c.what;
                for (const auto& slot : strip.plugins)
                    EXPECT_TRUE (slot.coverage.sidechain) << c.what;
            }
            const auto& fed = s.strips[1].plugins;
            int sources = 0;
            for (const auto& slot : fed)
                if (slot.sidechainSource >= 0)
                {
                    ++sources;
                    EXPECT_EQ (slot.sidechainSource, c.sidechainOfStrip1) << c.what;
                }
            EXPECT_EQ (sources, 1) << c.what;
        }
        else
        {
            EXPECT_EQ (r.status, readPartial) << c.what;
            EXPECT_EQ (noteLines (s), juce::StringArray (patchFailure)) << c.what;
            for (const auto& strip : s.strips)
            {
                EXPECT_FALSE (strip.coverage.route) << c.what;
                EXPECT_EQ (strip.routeInL, -1) << c.what;
            }
        }
        EXPECT_EQ (s.strips.size(), 3) << c.what;
    }
}

TEST (LiveProfessorReader, ProjectWithoutLivePatchOrWithExtraNodesIsPartial)
{
    auto empty = node ("LiveProfessorProjectFile", {}, { node ("Chains") });
    const auto r = readTree (empty);
    ASSERT_TRUE (r.ok) << r.error;
    EXPECT_EQ (r.status, readPartial);
    EXPECT_TRUE (r.session.strips.isEmpty());
    EXPECT_EQ (noteLines (r.session), juce::StringArray ("DROPPED routing.audioPatch current GlobalSnapshot/AudioPatch is missing"));

    auto root = basicProject();
    root.appendChild (node ("Plugins", {}, { node ("Plugin") }), nullptr);
    root.appendChild (node ("GlobalSnapshots", { { "ActiveSnapshot", (int64) 9 } },
                            { node ("GlobalSnapshot", { { "GSid", (int64) 5 }, { "GSname", "A" } }),
                              node ("GlobalSnapshot", { { "GSid", (int64) 6 }, { "GSname", "B" } }) }), nullptr);
    const auto extra = readTree (root);
    ASSERT_TRUE (extra.ok) << extra.error;
    EXPECT_EQ (extra.status, readPartial);
    EXPECT_EQ (noteLines (extra.session), lines ({
        juce::String::fromUTF8 ("DROPPED plugin.unassigned chain 밖의 독립 plugin processor는 RackIR에 넣지 않는다"),
        "DROPPED snapshots multiple GlobalSnapshots need per-snapshot RackIR state",
        "DROPPED snapshots.active ActiveSnapshot does not resolve uniquely" }));
    ASSERT_EQ (extra.session.snapshots.size(), 2);
    EXPECT_EQ (extra.session.snapshots[1].number, 1);
    EXPECT_EQ (extra.session.snapshots[1].note, "GSid=6");
    EXPECT_TRUE (extra.session.strips[0].coverage.route);   // the patch itself was fine
}

// ---- the clean snapshot ----

struct CleanFixture
{
    int64 id0 = makeStableRuntimeId (0, 0, -1);
    int64 id1 = makeStableRuntimeId (1, 0, -1);
    std::vector<Point> physical { { 1, 0, 100, 0 }, { 100, 0, 2, 0 }, { 1, 1, 200, 0 }, { 200, 0, 2, 1 } };

    ValueTree build (const std::vector<Point>& live, const std::vector<Point>& clean, std::vector<PluginFixture> cleanPlugins,
                     int cleanSnapshots = 1) const
    {
        ChainFixture a, b;
        a.id = 100;
        b.id = 200;
        a.plugins = { pluginWithId (id0) };
        b.plugins = { pluginWithId (id1) };
        auto root = project ({ a, b }, live);
        auto snapshots = node ("GlobalSnapshots");
        for (int i = 0; i < cleanSnapshots; ++i)
        {
            auto plugins = node ("Plugins");
            for (const auto& p : cleanPlugins)
                plugins.appendChild (pluginPayload ("Plugin", "PluginId", p), nullptr);
            snapshots.appendChild (node ("GlobalSnapshot", { { "GSid", (int64) 40 + i }, { "GSname", cleanSnapshotName } },
                                         { plugins, audioPatch (clean) }), nullptr);
        }
        root.appendChild (snapshots, nullptr);
        return root;
    }

    PluginFixture restored (int64 id) const
    {
        auto p = pluginWithId (id);
        p.chunk = vst3Chunk ("CLEAN-COMP", "CTRL");
        p.parameters = { 0.75 };
        return p;
    }
};

TEST (LiveProfessorReader, RecoversPatchAndStatesFromTheCleanSnapshot)
{
    const CleanFixture f;
    const auto root = f.build ({}, f.physical, { f.restored (f.id0), pluginWithId (f.id1) });
    const auto r = readTree (root);
    ASSERT_TRUE (r.ok) << r.error;
    // Only one snapshot: the recovery keeps the read complete.
    EXPECT_EQ (r.status, readComplete) << noteLines (r.session).joinIntoString ("; ");
    EXPECT_EQ (noteLines (r.session), lines ({
        "APPROX plugin.state clean snapshot state replaces a different live state at strip 0, slot 0",
        "LOSSLESS routing.audioPatch host-normalized physical I/O restored from VORN_CLEAN_SNAPSHOT" }));
    const auto& s = r.session;
    EXPECT_EQ (s.strips[0].routeInL, 0);
    EXPECT_EQ (s.strips[1].routeOutL, 1);
    EXPECT_EQ (s.strips[0].plugins[0].state.component, bytesOf ("CLEAN-COMP"));
    EXPECT_EQ (decodedParameters (s.strips[0].plugins[0].state), juce::Array<float> { 0.75f });
    EXPECT_EQ (s.strips[1].plugins[0].state.component, bytesOf ("COMP"));
}

TEST (LiveProfessorReader, UsesTheCleanSnapshotOnlyWhenItProvablyHoldsTheLostPatch)
{
    const CleanFixture f;
    const auto both = std::vector<PluginFixture> { f.restored (f.id0), pluginWithId (f.id1) };
    const juce::String recovered = "LOSSLESS routing.audioPatch host-normalized physical I/O restored from VORN_CLEAN_SNAPSHOT";
    struct Case { const char* what; ValueTree root; juce::StringArray notes; int status; bool restoredState; };
    ChainFixture native;
    native.id = 100;
    native.plugins = { pluginWithId (11) };
    auto nativeRoot = project ({ native }, {});
    nativeRoot.appendChild (node ("GlobalSnapshots", {}, { node ("GlobalSnapshot", { { "GSname", cleanSnapshotName } },
                                                                 { node ("Plugins"), audioPatch ({ { 1, 0, 100, 0 } }) }) }), nullptr);
    const Case cases[] = {
        { "live patch still has a hardware point", f.build ({ { 1, 0, 100, 0 } }, f.physical, both), {}, readComplete, false },
        { "two clean snapshots", f.build ({}, f.physical, both, 2),
          { "DROPPED snapshots multiple GlobalSnapshots need per-snapshot RackIR state" }, readPartial, false },
        { "live point missing from the clean patch", f.build ({ { 100, 1, 200, 2 } }, f.physical, both), { patchFailure }, readPartial, false },
        { "clean patch without hardware", f.build ({}, {}, both), {}, readComplete, false },
        { "native ids never use it", nativeRoot, {}, readComplete, false },
        { "one clean plug-in fewer", f.build ({}, f.physical, { f.restored (f.id0) }),
          { "APPROX plugin.state clean snapshot state replaces a different live state at strip 0, slot 0",
            "DROPPED plugin.state VORN_CLEAN_SNAPSHOT plugin count does not match the current graph", recovered }, readPartial, true },
        { "same place twice under another id", f.build ({}, f.physical, { pluginWithId (f.id0), pluginWithId (makeStableRuntimeId (0, 0, 1)) }),
          { "DROPPED plugin.state VORN_CLEAN_SNAPSHOT plugin location is not present in the current graph", recovered }, readPartial, false },
        { "other sidechain bits for the place", f.build ({}, f.physical, { pluginWithId (makeStableRuntimeId (0, 0, 1)), pluginWithId (f.id1) }),
          { "DROPPED plugin.state VORN_CLEAN_SNAPSHOT plugin location is not present in the current graph", recovered }, readPartial, false },
        { "id of an empty slot", f.build ({}, f.physical, { pluginWithId (makeStableRuntimeId (0, 1, -1)) }),
          { "DROPPED plugin.state VORN_CLEAN_SNAPSHOT plugin location is not present in the current graph", recovered }, readPartial, false },
        { "native id in the clean snapshot", f.build ({}, f.physical, { pluginWithId (77) }),
          { "DROPPED plugin.state VORN_CLEAN_SNAPSHOT plugin runtime id is invalid", recovered }, readPartial, false },
        { "bad clean payload", f.build ({}, f.physical, { [&] { auto p = pluginWithId (f.id0); p.parameters = { 2.0 }; return p; }() }),
          { "DROPPED plugin.state VORN_CLEAN_SNAPSHOT LiveProfessor PluginSnapshot parameter is not normalized", recovered }, readPartial, false },
    };
    for (const auto& c : cases)
    {
        const auto r = readTree (c.root);
        ASSERT_TRUE (r.ok) << c.what << ": " << r.error;
        EXPECT_EQ (noteLines (r.session), c.notes) << c.what;
        EXPECT_EQ (r.status, c.status) << c.what;
        EXPECT_EQ (r.session.strips[0].plugins[0].state.component, bytesOf (c.restoredState ? "CLEAN-COMP" : "COMP")) << c.what;
    }

    // A clean snapshot without its Plugins list recovers the patch but not the states.
    auto root = f.build ({}, f.physical, {});
    auto clean = at (root, "GlobalSnapshots/GlobalSnapshot");
    clean.removeChild (clean.getChildWithName ("Plugins"), nullptr);
    const auto r = readTree (root);
    EXPECT_EQ (noteLines (r.session), lines ({ "DROPPED plugin.state VORN_CLEAN_SNAPSHOT Plugins is missing", recovered }));
}

TEST (LiveProfessorReader, EveryEntryPointReadsTheSameStatesAndAKeptTreeStaysWhole)
{
    // A read that keeps the tree for its caller copies the states out of it; the others take
    // them. The clean snapshot's states replace the live ones in both.
    const CleanFixture clean;
    const ValueTree projects[] = { basicProject(), clean.build ({}, clean.physical, { clean.restored (clean.id0), pluginWithId (clean.id1) }) };
    for (const auto& project : projects)
    {
        Rack2File f;
        {
            juce::FileOutputStream out (f.file);
            project.writeToStream (out);
        }
        juce::MemoryBlock bytes;
        ASSERT_TRUE (f.file.loadFileAsData (bytes));
        TreeNode kept;
        const RackReadResult reads[] = {
            readLiveProfessorRack2 (f.file),
            readLiveProfessorRack2 (f.file, kept),
            readLiveProfessorRack2Bytes (bytes.getData(), bytes.getSize(), f.file.getFullPathName()),
            readLiveProfessorRack2Tree (kept, f.file.getFullPathName()),
            readLiveProfessorRack2Tree (kept, f.file.getFullPathName()),
        };
        EXPECT_TRUE (toJuce (kept).isEquivalentTo (project));
        const auto& first = reads[0];
        ASSERT_TRUE (first.ok) << first.error;
        ASSERT_EQ (first.status, readComplete);
        ASSERT_GT (first.session.countPlugins(), 0);
        for (const auto& r : reads)
        {
            ASSERT_EQ (r.ok, first.ok);
            EXPECT_EQ (r.status, first.status);
            EXPECT_EQ (noteLines (r.session), noteLines (first.session));
            ASSERT_EQ (r.session.strips.size(), first.session.strips.size());
            for (int s = 0; s < r.session.strips.size(); ++s)
            {
                const auto& slots = r.session.strips[s].plugins;
                const auto& expected = first.session.strips[s].plugins;
                ASSERT_EQ (slots.size(), expected.size());
                for (int i = 0; i < slots.size(); ++i)
                {
                    const auto& a = slots[i].state;
                    const auto& b = expected[i].state;
                    EXPECT_FALSE (a.raw.isEmpty());
                    EXPECT_EQ (a.raw.toBase64Encoding(), b.raw.toBase64Encoding());
                    EXPECT_EQ (a.component.toBase64Encoding(), b.component.toBase64Encoding());
                    EXPECT_EQ (a.controller.toBase64Encoding(), b.controller.toBase64Encoding());
                    EXPECT_EQ (a.parameters.toBase64Encoding(), b.parameters.toBase64Encoding());
                    EXPECT_EQ (a.encoding, b.encoding);
                }
            }
        }
    }
}

// ---- the writing helpers ----

TEST (ConverterMetadata, WhatTheWriterAppendsTheReaderMapsBack)
{
    ValueTree root ("LiveProfessorProjectFile");
    root.appendChild (node ("Chains"), nullptr);
    rapp::DeploymentProfile profile;
    profile.slots = 8;
    juce::Array<PluginBinding> bindings;
    bindings.add ({ 0, 0, makeStableRuntimeId (0, 0, -1) });
    bindings.add ({ 3, 7, (int64) 1 << 40 });
    juce::String error;
    auto tree = fromJuce (root);
    ASSERT_TRUE (appendConverterMetadata (tree, bindings, profile, "liveprofessor-2026.1-native-v1", error)) << error;
    root = toJuce (tree);

    const auto meta = root.getChild (root.getNumChildren() - 1);
    ASSERT_TRUE (meta.hasType ("VORNConverterMetadata"));
    ASSERT_EQ (meta.getNumProperties(), 3);
    EXPECT_EQ (meta.getPropertyName (0).toString(), "schemaVersion");
    EXPECT_EQ (meta.getPropertyName (1).toString(), "sourceSlotsPerStrip");
    EXPECT_EQ (meta.getPropertyName (2).toString(), "nativeWriterProfile");
    EXPECT_TRUE (meta["sourceSlotsPerStrip"].isInt());
    ASSERT_EQ (meta.getNumChildren(), 2);
    EXPECT_EQ (meta.getChild (1).getPropertyName (2).toString(), "pluginRuntimeId");
    EXPECT_TRUE (meta.getChild (1)["pluginRuntimeId"].isInt64());
    EXPECT_TRUE (meta.getChild (1)["slotIndex"].isInt());

    bool present = false;
    ConverterSlotMap map;
    ASSERT_TRUE (readConverterMetadata (fromJuce (root), present, map, error)) << error;
    EXPECT_TRUE (present);
    ASSERT_EQ (map.size(), 2u);
    EXPECT_EQ (map[(int64) 1 << 40].chainIndex, 3);
    EXPECT_EQ (map[(int64) 1 << 40].slotIndex, 7);

    EXPECT_FALSE (appendConverterMetadata (tree, bindings, profile, "", error));
    EXPECT_EQ (error, "LiveProfessor template already contains VORN converter metadata");

    auto plain = fromJuce (ValueTree ("LiveProfessorProjectFile"));
    ASSERT_TRUE (appendConverterMetadata (plain, {}, profile, "", error));
    EXPECT_FALSE (toJuce (plain).getChild (0).hasProperty ("nativeWriterProfile"));
}

TEST (ConverterMetadata, MarksExactlyOneRecallableSnapshot)
{
    for (int snapshots : { 0, 1, 2 })
    {
        ValueTree root ("LiveProfessorProjectFile");
        auto list = node ("GlobalSnapshots");
        for (int i = 0; i < snapshots; ++i)
            list.appendChild (node ("GlobalSnapshot", { { "GSid", (int64) i }, { "GSname", "Show" } }), nullptr);
        root.appendChild (list, nullptr);
        juce::String error;
        auto tree = fromJuce (root);
        const bool ok = markConverterCleanSnapshot (tree, error);
        EXPECT_EQ (ok, snapshots == 1) << snapshots;
        list = toJuce (tree).getChildWithName ("GlobalSnapshots");
        if (ok)
        {
            EXPECT_EQ (list.getChild (0)["GSname"].toString(), "VORN_CLEAN_SNAPSHOT");
            EXPECT_EQ (list.getChild (0)["GSid"], var ((int64) 0));
        }
        else
        {
            EXPECT_EQ (error, "LiveProfessor output requires one recallable clean snapshot") << snapshots;
        }
    }
    juce::String error;
    auto bare = fromJuce (ValueTree ("LiveProfessorProjectFile"));
    EXPECT_FALSE (markConverterCleanSnapshot (bare, error));
}

TEST (ConverterMetadata, StableRuntimeIdsEncodeTheirPlace)
{
    struct Case { int64 id; bool stable; int chain, slot, sidechain; };
    const Case cases[] = {
        { makeStableRuntimeId (63, 7, 63), true, 63, 7, 63 },
        { makeStableRuntimeId (2, 5, -1), true, 2, 5, -1 },
        { (int64) 0xAC710000 + 65, false, 0, 0, 0 },
        { (int64) 0xAC720000, false, 0, 0, 0 },
        { (int64) 0x1AC710000LL, false, 0, 0, 0 },
        { -1, false, 0, 0, 0 },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (isStableRuntimeId (c.id), c.stable) << c.id;
        if (c.stable)
        {
            EXPECT_EQ (stableRuntimeIdChain (c.id), c.chain);
            EXPECT_EQ (stableRuntimeIdSlot (c.id), c.slot);
            EXPECT_EQ (stableRuntimeIdSidechainSource (c.id), c.sidechain);
        }
    }
    EXPECT_EQ (makeStableRuntimeId (64, 0, -1), 0);
    EXPECT_EQ (makeStableRuntimeId (0, 8, -1), 0);
    EXPECT_EQ (makeStableRuntimeId (0, 0, 64), 0);
}

} // namespace
