#include "TestSupport.h"

#include "model/ParameterSnapshot.h"
#include "model/RackSemanticCompare.h"
#include "model/Vst3State.h"
#include "readers/VornKsnReader.h"

#include <gtest/gtest.h>

using namespace vornconv;

namespace
{

juce::MemoryBlock bytesOf (const char* text)
{
    return juce::MemoryBlock (text, std::strlen (text));
}

juce::String vst3State (const char* component, const char* controller)
{
    return vst3::buildJuceVst3State (bytesOf (component), bytesOf (controller)).toBase64Encoding();
}

juce::String mirror (juce::int64 key)
{
    return parameterState::encode ({ 0.0f, 0.25f, 1.0f }, key).toBase64Encoding();
}

// A scene exactly in the shape the scene writer produces: version "1", no status, no counts,
// 64 strips, 64 routes, and one VST3 slot with its complete state.
juce::String canonicalScene()
{
    juce::String text;
    text << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         << "<VornLiveScene version=\"1\">\n"
         << "  <AudioDevice outputDevice=\"Out\" inputDevice=\"In\" sampleRate=\"48000.0\" bufferSize=\"64\"/>\n"
         << "  <Strips>\n"
         << "    <Strip index=\"0\" name=\"Kick\" trimDb=\"-3.5\" outTrimDb=\"1.0\" pan=\"-0.5\" inputStereo=\"1\" outputStereo=\"1\">\n"
         << "      <Slot index=\"0\" state=\"0\" sidechainSrc=\"0\" pluginState=\"" << vst3State ("abc", "xy")
         << "\" parameterState=\"" << mirror (0) << "\" vornconvParameterMirrorComplete=\"1\">\n"
         << "        <PLUGIN name=\"EQ\" format=\"VST3\" manufacturer=\"Acme\" uniqueId=\"1a2b\" uid=\"ffffffff\" file=\"EQ.vst3\"/>\n"
         << "      </Slot>\n"
         << "    </Strip>\n";
    for (int i = 1; i < 64; ++i)
        text << "    <Strip index=\"" << i << "\" inputStereo=\"1\" outputStereo=\"1\"/>\n";
    text << "  </Strips>\n  <Routing>\n"
         << "    <Route strip=\"0\" inL=\"0\" inR=\"1\" outL=\"0\" outR=\"1\"/>\n";
    for (int i = 1; i < 64; ++i)
        text << "    <Route strip=\"" << i << "\"/>\n";
    text << "  </Routing>\n</VornLiveScene>\n";
    return text;
}

struct SceneFile
{
    explicit SceneFile (const juce::String& text, const juce::String& name = "scene.ksn") : file (tmp.file (name))
    {
        file.replaceWithText (text);
    }
    vorntest::TempFolder tmp;
    juce::File file;
};

RackReadResult readText (const juce::String& text)
{
    SceneFile scene (text);
    return readVornKsn (scene.file);
}

// Replaces the first occurrence of from, which must be there.
juce::String edited (const juce::String& text, const juce::String& from, const juce::String& to)
{
    const int at = text.indexOf (from);
    EXPECT_GE (at, 0) << from;
    return text.substring (0, at) + to + text.substring (at + from.length());
}

juce::StringArray noteCodes (const RackSession& session)
{
    juce::StringArray codes;
    for (const auto& note : session.notes)
        codes.add (fidelityName (note.fidelity) + " " + note.code);
    return codes;
}

TEST (VornKsnReader, ReadsTheConverterShapeCompletely)
{
    SceneFile scene (canonicalScene(), "Show One.ksn");
    const auto read = readVornKsn (scene.file);
    ASSERT_TRUE (read.ok) << read.error;
    EXPECT_EQ (read.status, readComplete);
    const auto& s = read.session;
    EXPECT_EQ (s.sourceFormat, "vorn.ksn");
    EXPECT_EQ (s.sourceApp, "Vorn Live");
    EXPECT_EQ (s.sourceVersion, "1");
    EXPECT_EQ (s.sourceSnapshotStatus, "");
    EXPECT_EQ (s.sourceFile, scene.file.getFullPathName());
    EXPECT_EQ (s.sampleRate, 48000.0);
    EXPECT_EQ (s.bufferSize, 64);
    EXPECT_EQ (s.inputDevice, "In");
    EXPECT_EQ (s.outputDevice, "Out");
    EXPECT_EQ (s.capacityStrips, 64);
    EXPECT_EQ (s.capacitySlots, 8);
    ASSERT_EQ (s.strips.size(), 64);
    ASSERT_EQ (s.snapshots.size(), 1);
    EXPECT_EQ (s.snapshots[0].name, "Show One");
    EXPECT_EQ (noteCodes (s), juce::StringArray ({ "LOSSLESS source.snapshot", "DROPPED strip.colour", "APPROX plugin.identity" }));
    EXPECT_EQ (s.notes[1].text, juce::String::fromUTF8 ("Vorn Live 는 스트립 색상을 저장하지 않는다"));

    const auto& strip = s.strips.getReference (0);
    EXPECT_EQ (strip.name, "Kick");
    EXPECT_EQ (strip.inputGainDb, -3.5f);
    EXPECT_EQ (strip.outputGainDb, 1.0f);
    EXPECT_EQ (strip.pan, 0.25f);
    EXPECT_EQ (strip.inputChannels, 2);
    EXPECT_EQ (strip.routeInR, 1);
    ASSERT_EQ (strip.routePatches.size(), 4);
    EXPECT_FALSE (strip.routePatches[2].isInput);
    EXPECT_EQ (strip.routePatches[3].rackChannel, 1);
    EXPECT_TRUE (strip.coverage.route && strip.coverage.channelLayout && strip.coverage.pan);

    ASSERT_EQ (strip.plugins.size(), 1);
    const auto& slot = strip.plugins.getReference (0);
    EXPECT_TRUE (slot.occupied);
    EXPECT_EQ (slot.name, "EQ");
    EXPECT_EQ (slot.vendor, "Acme");
    EXPECT_EQ (slot.format, "VST3");
    EXPECT_EQ (slot.uniqueId, 0x1a2bu);
    EXPECT_EQ (slot.deprecatedUid, 0xffffffffu);
    EXPECT_EQ (slot.file, scene.tmp.file ("EQ.vst3"));
    EXPECT_TRUE (slot.descriptionXml.contains ("<PLUGIN name=\"EQ\""));
    EXPECT_EQ (slot.sidechainSource, -1);
    EXPECT_EQ (slot.state.encoding, PluginStateEncoding::juceVst3Xml);
    EXPECT_EQ (slot.state.component, bytesOf ("abc"));
    EXPECT_EQ (slot.state.controller, bytesOf ("xy"));
    EXPECT_EQ (slot.state.parameters, parameterState::encode ({ 0.0f, 0.25f, 1.0f }, 0));
    EXPECT_TRUE (slot.state.parameterMirrorComplete);
    EXPECT_TRUE (slot.coverage.identity && slot.coverage.state && slot.coverage.sidechain);

    // Unrouted, empty strips keep their defaults.
    EXPECT_TRUE (s.strips.getReference (5).routePatches.isEmpty());
    EXPECT_EQ (s.strips.getReference (5).routeInL, -1);
}

TEST (VornKsnReader, OneLineEdits)
{
    const auto base = canonicalScene();
    const juce::String root = "<VornLiveScene version=\"1\">";
    const juce::String strip1 = "<Strip index=\"1\" inputStereo=\"1\" outputStereo=\"1\"/>";
    const juce::String strip20 = "<Strip index=\"20\" inputStereo=\"1\" outputStereo=\"1\"/>";
    const juce::String slot0 = "<Slot index=\"0\" state=\"0\" sidechainSrc=\"0\"";
    const juce::String route0 = "<Route strip=\"0\" inL=\"0\"";
    const juce::String strip0 = "<Strip index=\"0\" name=\"Kick\" trimDb=\"-3.5\" outTrimDb=\"1.0\" pan=\"-0.5\"";
    const auto stripAttr = [&] (const char* attrs) { return "<Strip index=\"0\" name=\"Kick\" " + juce::String (attrs); };
    const auto slotAttr = [&] (const juce::String& attrs) { return "<Slot index=\"0\" state=\"0\" " + attrs; };
    const auto setup = [&] (const char* attrs) { return root + "\n  <Setup " + attrs + "/>"; };
    const auto confirmed = [&] (const char* counts) { return "<VornLiveScene version=\"1\" snapshotStatus=\"confirmed\" " + juce::String (counts) + ">"; };

    struct Case { juce::String from, to; int status; juce::String error; };
    const Case cases[] = {
        { root, "<VornLiveScene version=\"1\" snapshotStatus=\"draft\">", 2, {} },
        { root, setup (""), 0, "invalid Vorn channelMode" },
        { root, setup ("channelMode=\"3\""), 0, "invalid Vorn channelMode" },
        { root, setup ("channelMode=\"01\""), 0, "invalid Vorn channelMode" },
        { root, setup ("channelMode=\"2\""), 1, {} },
        { root, "<!DOCTYPE x SYSTEM \"/etc/passwd\">" + root, 0, "XML parse failed" },
        { "</VornLiveScene>", "</VornLiveScene><x/>", 0, "XML parse failed" },
        { strip1, "<Strip index=\"64\"/>", 0, "invalid or duplicate Strip index: 64" },
        { strip1, "<Strip name=\"x\"/>", 0, "invalid or duplicate Strip index: -1" },
        { strip1, "<Strip index=\"0\"/>", 0, "invalid or duplicate Strip index: 0" },
        { strip1, "<Strip index=\"1abc\"/>", 0, "invalid or duplicate Strip index: 1abc" },
        { strip0, stripAttr ("pan=\"1\""), 1, {} },
        { strip0, stripAttr ("pan=\"1.0001\""), 0, "invalid Vorn pan at strip 0" },
        { strip0, stripAttr ("pan=\"nan\""), 0, "invalid Vorn pan at strip 0" },
        { strip0, stripAttr ("trimDb=\"nan\""), 0, "invalid Vorn trimDb at strip 0" },
        { strip0, stripAttr ("trimDb=\"inf\""), 0, "invalid Vorn trimDb at strip 0" },
        { strip0, stripAttr ("outTrimDb=\"1e39\""), 0, "invalid Vorn outTrimDb at strip 0" },
        { "sampleRate=\"48000.0\"", "sampleRate=\"NaN\"", 0, "invalid Vorn sampleRate" },
        { "bufferSize=\"64\"", "bufferSize=\"64x\"", 0, "invalid Vorn bufferSize" },
        { slot0, "<Slot index=\"8\" state=\"0\" sidechainSrc=\"0\"", 0, "invalid or duplicate Slot index in strip 0: 8" },
        { slot0, "<Slot state=\"0\" sidechainSrc=\"0\"", 0, "invalid or duplicate Slot index in strip 0: -1" },
        { slot0, "<Slot index=\"0\" state=\"3\" sidechainSrc=\"0\"", 0, "invalid plugin activation state at strip 0, slot 0" },
        { slot0, "<Slot index=\"0\" state=\"-1\" sidechainSrc=\"0\"", 0, "invalid plugin activation state at strip 0, slot 0" },
        { slot0, slotAttr ("sidechainSrc=\"65\""), 0, "invalid Vorn legacy sidechain at strip 0, slot 0" },
        { slot0, slotAttr ("sidechainSrc=\"-2\""), 0, "invalid Vorn legacy sidechain at strip 0, slot 0" },
        { slot0, slotAttr ("sidechainSrc=\"0\" sidechainSchema=\"2\" sidechainKind=\"rackPre\" sidechainIndex=\"07\" sidechainEnabled=\"1\""),
          0, "invalid Vorn sidechain schema 2 at strip 0, slot 0" },
        { slot0, slotAttr ("sidechainSrc=\"0\" sidechainSchema=\"2\" sidechainKind=\"rackPre\" sidechainIndex=\"64\" sidechainEnabled=\"1\""),
          0, "invalid Vorn sidechain schema 2 at strip 0, slot 0" },
        { slot0, slotAttr ("sidechainSrc=\"1\" sidechainSchema=\"2\" sidechainKind=\"rackPre\" sidechainIndex=\"6\" sidechainEnabled=\"1\""),
          0, "invalid Vorn sidechain schema 2 at strip 0, slot 0" },
        { slot0, slotAttr ("sidechainSrc=\"99\" sidechainSchema=\"2\" sidechainKind=\"rackPre\" sidechainIndex=\"6\" sidechainEnabled=\"1\""),
          0, "invalid Vorn sidechain schema 2 at strip 0, slot 0" },
        { slot0, slotAttr ("sidechainSrc=\"0\" sidechainKind=\"physical\""), 0, "invalid Vorn sidechain schema 2 at strip 0, slot 0" },
        { strip1, "<Strip index=\"1\" inputStereo=\"1\" outputStereo=\"1\"><Slot index=\"0\" pluginState=\"3.gI1X\"/></Strip>",
          0, "pluginState without PLUGIN descriptor at strip 1, slot 0" },
        { "pluginState=\"", "pluginState=\"0", 0, "invalid JUCE pluginState encoding at strip 0, slot 0: JUCE base64 payload is not canonical" },
        { "pluginState=\"" + vst3State ("abc", "xy"), "pluginState=\"3.gI1X", 2, {} },
        { "pluginState=\"" + vst3State ("abc", "xy"), "pluginState=\"" + vst3State ("", "xy"),
          0, "invalid VST3 state at strip 0, slot 0: IComponent stream missing or empty" },
        { "parameterState=\"", "parameterState=\"x", 0, "invalid Vorn parameterState at strip 0, slot 0: JUCE base64 length prefix is invalid" },
        { "vornconvParameterMirrorComplete=\"1\"", "vornconvParameterMirrorComplete=\"0\"", 0,
          "invalid converter parameter mirror provenance at strip 0, slot 0" },
        { "parameterState=\"" + mirror (0), "parameterState=\"3.gI1X", 0, "invalid converter parameter mirror provenance at strip 0, slot 0" },
        { "vornconvParameterMirrorComplete=\"1\"", "opaqueStatePending=\"1\"", 2, {} },
        { root, confirmed ("dirtyPluginStateCount=\"0\" opaqueStatePendingCount=\"0\" incompleteParameterMirrorCount=\"1\""), 1, {} },
        { root, confirmed ("dirtyPluginStateCount=\"0\" opaqueStatePendingCount=\"0\" incompleteParameterMirrorCount=\"0\""),
          0, "Vorn root persistence counts disagree with occupied slot flags" },
        { root, confirmed ("dirtyPluginStateCount=\"1\" opaqueStatePendingCount=\"0\""), 0, "Vorn root persistence counts disagree with occupied slot flags" },
        { root, confirmed ("opaqueStatePendingCount=\"0\""), 2, {} },
        { root, "<VornLiveScene version=\"1\" snapshotStatus=\"convertedCanonical\" dirtyPluginStateCount=\"0\" opaqueStatePendingCount=\"0\">", 1, {} },
        { route0, "<Route strip=\"64\" inL=\"0\"", 0, "invalid or duplicate Vorn Route index: 64" },
        { route0, "<Route strip=\"1\" inL=\"0\"", 0, "invalid or duplicate Vorn Route index: 1" },
        { route0, "<Route inL=\"0\"", 0, "invalid or duplicate Vorn Route index: -1" },
        { route0, "<Route strip=\"0\" inL=\"-2\"", 0, "invalid Vorn route inL at strip 0" },
        { "<Route strip=\"5\"/>", "", 2, {} },
        { strip20, "<Strip index=\"20\" name=\"Ch 21\"/>", 1, {} },
    };
    for (const auto& c : cases)
    {
        const auto read = readText (edited (base, c.from, c.to));
        EXPECT_EQ (read.status, c.status) << c.to << " / " << read.error;
        EXPECT_EQ (read.ok, c.status != 0) << c.to;
        EXPECT_EQ (read.error, c.error) << c.to;
        if (c.status == 2)
            EXPECT_EQ (read.session.notes.items.getLast().code, "source.snapshot") << c.to;
    }
}

TEST (VornKsnReader, StatusTextAndPartialReads)
{
    const auto base = canonicalScene();
    auto read = readText (edited (base, "<VornLiveScene version=\"1\">", "<VornLiveScene version=\"1\" snapshotStatus=\"draft\">"));
    EXPECT_EQ (read.status, readPartial);
    EXPECT_EQ (noteCodes (read.session), juce::StringArray ({ "DROPPED strip.colour", "APPROX plugin.identity", "DROPPED source.snapshot" }));
    EXPECT_TRUE (read.session.notes[2].text.endsWith ("(status=draft)"));

    // The legacy root is never complete and names its status "legacy".
    read = readText (base.replace ("VornLiveScene", "VornLegacyScene"));
    EXPECT_EQ (read.status, readPartial);
    EXPECT_EQ (read.session.sourceSnapshotStatus, "legacy");
    EXPECT_TRUE (read.session.notes.items.getLast().text.endsWith ("(status=legacy)"));

    // Host-specific bytes on a VST3 slot: kept as raw, no component, so the read is partial.
    read = readText (edited (base, "pluginState=\"" + vst3State ("abc", "xy"), "pluginState=\"3.gI1X"));
    const auto& slot = read.session.strips.getReference (0).plugins.getReference (0);
    EXPECT_EQ (slot.state.encoding, PluginStateEncoding::hostSpecific);
    EXPECT_EQ (slot.state.raw, bytesOf ("abc"));
    EXPECT_TRUE (slot.state.component.isEmpty());
    EXPECT_FALSE (slot.coverage.state);

    // Missing structure is refused whatever the rest holds.
    EXPECT_EQ (readText (base.replace ("VornLiveScene", "Foo")).error, "unexpected root tag: Foo");
    EXPECT_EQ (readText (base.replace ("<Strip ", "<Other ").replace ("</Strip>", "</Other>")).error,
               "Strips node contains no Strip records");
    EXPECT_EQ (readText (base.replace ("Strips>", "Things>")).error, "missing Strips node");
    read = readText (base.replace ("Routing>", "Unused>"));
    EXPECT_EQ (read.status, readPartial);
}

TEST (VornKsnReader, SidechainsSlotsAndFiles)
{
    const auto base = canonicalScene();
    const juce::String slot0 = "<Slot index=\"0\" state=\"0\" sidechainSrc=\"0\"";
    auto read = readText (edited (base, slot0, "<Slot index=\"3\" state=\"1\" sidechainSrc=\"3\""));
    ASSERT_TRUE (read.ok) << read.error;
    auto& plugins = read.session.strips.getReference (0).plugins;
    ASSERT_EQ (plugins.size(), 4);
    EXPECT_FALSE (plugins[0].occupied);
    EXPECT_EQ (plugins[3].sidechainSource, 2);
    EXPECT_EQ (plugins[3].sidechainKind, sidechainStrip);
    EXPECT_TRUE (plugins[3].sidechainEnabled);
    EXPECT_TRUE (plugins[3].bypassed);

    read = readText (edited (base, slot0, "<Slot index=\"0\" state=\"2\" sidechainSrc=\"0\" sidechainSchema=\"2\" "
                                          "sidechainKind=\"physical\" sidechainIndex=\"255\" sidechainEnabled=\"0\""));
    ASSERT_TRUE (read.ok) << read.error;
    const auto& physical = read.session.strips.getReference (0).plugins.getReference (0);
    EXPECT_EQ (physical.sidechainSource, 255);
    EXPECT_EQ (physical.sidechainKind, sidechainPhysical);
    EXPECT_FALSE (physical.sidechainEnabled);
    EXPECT_TRUE (physical.inactive);

    // Relative plug-in files stay in the scene's folder, even one that starts with "~".
    SceneFile scene (edited (base, "file=\"EQ.vst3\"", "file=\"~x/EQ.vst3\""));
    read = readVornKsn (scene.file);
    EXPECT_EQ (read.session.strips.getReference (0).plugins.getReference (0).file.getFullPathName(),
               scene.tmp.folder.getFullPathName() + "/~x/EQ.vst3");
    read = readText (edited (base, "file=\"EQ.vst3\"", "file=\"/abs/EQ.vst3\""));
    EXPECT_EQ (read.session.strips.getReference (0).plugins.getReference (0).file.getFullPathName(), "/abs/EQ.vst3");

    // The host's own flag wins over the converter's: outside the converter shape it is ignored.
    read = readText (edited (base, "vornconvParameterMirrorComplete=\"1\"", "vornconvParameterMirrorComplete=\"junk\" parameterMirrorComplete=\"0\""));
    ASSERT_TRUE (read.ok) << read.error;
    EXPECT_FALSE (read.session.strips.getReference (0).plugins.getReference (0).state.parameterMirrorComplete);
}

TEST (VornKsnReader, AudioUnitStates)
{
    const juce::String plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                               "<key>type</key><integer>1635083896</integer><key>subtype</key><integer>1094861636</integer>"
                               "<key>manufacturer</key><integer>1097035109</integer></dict></plist>"; // aufx ABCD Acme
    const auto state = juce::MemoryBlock (plist.toRawUTF8(), plist.getNumBytesAsUTF8()).toBase64Encoding();
    const auto withAudioUnit = [&] (const juce::String& pluginState, const juce::String& file) {
        return edited (canonicalScene(), "<Strip index=\"1\" inputStereo=\"1\" outputStereo=\"1\"/>",
                       "<Strip index=\"1\" inputStereo=\"1\" outputStereo=\"1\"><Slot index=\"0\" pluginState=\"" + pluginState
                           + "\"><PLUGIN name=\"AUEQ\" format=\"AudioUnit\" manufacturer=\"Acme\" file=\"" + file + "\"/></Slot></Strip>");
    };
    for (const char* file : { "AudioUnit:Effects/aufx,ABCD,Acme", "" })
    {
        const auto read = readText (withAudioUnit (state, file));
        ASSERT_TRUE (read.ok) << read.error;
        EXPECT_EQ (read.status, readComplete) << file;
        const auto& slot = read.session.strips.getReference (1).plugins.getReference (0);
        EXPECT_EQ (slot.format, "AU");
        EXPECT_EQ (slot.state.encoding, PluginStateEncoding::audioUnitPlist);
        EXPECT_EQ (slot.auType, 0x61756678u);
        EXPECT_EQ (slot.auSubtype, 0x41424344u);
        EXPECT_EQ (slot.auManufacturer, 0x41636d65u);
        EXPECT_TRUE (slot.coverage.state);
        EXPECT_TRUE (slot.state.component.isEmpty());
    }
    EXPECT_EQ (readText (withAudioUnit (state, "AudioUnit:Effects/aufx,WXYZ,Acme")).error,
               "AudioUnit descriptor/state identity mismatch at strip 1, slot 0");
    EXPECT_TRUE (readText (withAudioUnit ("3.gI1X", "")).error.startsWith ("invalid AudioUnit state at strip 1, slot 0: "));
}

TEST (VornKsnReader, InactiveChannelsMustBePristine)
{
    auto base = edited (canonicalScene(), "<VornLiveScene version=\"1\">", "<VornLiveScene version=\"1\">\n  <Setup channelMode=\"0\"/>");
    auto read = readText (base);
    ASSERT_TRUE (read.ok) << read.error;
    EXPECT_EQ (read.status, readComplete);
    EXPECT_EQ (read.session.strips.size(), 16);

    const juce::String strip20 = "<Strip index=\"20\" inputStereo=\"1\" outputStereo=\"1\"/>";
    for (const char* dirty : { "<Strip index=\"20\" muted=\"1\"/>", "<Strip index=\"20\" name=\"Snare\"/>",
                               "<Strip index=\"20\" trimDb=\"0.5\"/>", "<Strip index=\"20\" pan=\"0.1\"/>" })
        EXPECT_EQ (readText (edited (base, strip20, dirty)).error, "inactive Vorn channel contains session data") << dirty;
    EXPECT_EQ (readText (edited (base, "<Route strip=\"20\"/>", "<Route strip=\"20\" outL=\"3\"/>")).error,
               "inactive Vorn channel contains session data");
}

TEST (VornKsnReader, ImpossibleFilesFailCleanly)
{
    vorntest::TempFolder tmp;
    EXPECT_EQ (readVornKsn (tmp.file ("missing.ksn")).error, "XML parse failed");
    EXPECT_EQ (readVornKsn (tmp.folder).error, "a folder, not a file: " + tmp.folder.getFullPathName());
    const auto deep = tmp.file ("deep.ksn");
    deep.replaceWithText (juce::String::repeatedString ("<a>", 200000) + juce::String::repeatedString ("</a>", 200000));
    EXPECT_EQ (readVornKsn (deep).error, "XML parse failed");
    const auto secret = tmp.file ("secret.txt");
    secret.replaceWithText ("SECRET");
    const auto entity = tmp.file ("entity.ksn");
    entity.replaceWithText ("<!DOCTYPE r [<!ENTITY e SYSTEM \"" + secret.getFullPathName() + "\">]>"
                            "<VornLiveScene><Strips><Strip index=\"0\" name=\"&e;\"/></Strips></VornLiveScene>");
    const auto read = readVornKsn (entity);
    EXPECT_FALSE (read.ok);
    EXPECT_EQ (read.error, "XML parse failed");
}

} // namespace

// Large states are decoded straight from the file's bytes rather than through JUCE's tree; what a
// scene means must not depend on it: a value spelled with a character reference (left to JUCE),
// a broken value, and a pluginState on the PLUGIN element itself read as they always did.
TEST (VornKsnReader, LargeStatesReadTheSameHoweverTheyAreSpelled)
{
    const auto scene = canonicalScene();
    const auto state = vst3State ("abc", "xy");
    ASSERT_GT (state.length(), 64);
    const auto plain = readText (scene);
    ASSERT_TRUE (plain.isComplete()) << plain.error;
    const auto& slot = plain.session.strips[0].plugins[0];

    // The same value with one character written as a reference reads to the same state.
    const auto referenced = readText (edited (scene, "pluginState=\"" + state.substring (0, 8),
                                              "pluginState=\"" + state.substring (0, 7) + "&#"
                                                  + juce::String ((int) state[7]) + ";"));
    ASSERT_TRUE (referenced.isComplete()) << referenced.error;
    const auto& same = referenced.session.strips[0].plugins[0];
    EXPECT_EQ (same.state.component, slot.state.component);
    EXPECT_EQ (same.state.controller, slot.state.controller);
    EXPECT_EQ (same.state.encoding, slot.state.encoding);

    // A broken value gives the same refusal whichever way it is spelled.
    const auto broken = state.substring (0, 40) + "!" + state.substring (41);
    const auto liftedError = readText (edited (scene, state, broken));
    const auto parsedError = readText (edited (scene, state, broken.replace ("!", "&#33;")));
    EXPECT_FALSE (liftedError.ok);
    EXPECT_TRUE (liftedError.error.startsWith ("invalid JUCE pluginState encoding at strip 0, slot 0: ")) << liftedError.error;
    EXPECT_EQ (liftedError.error, parsedError.error);

    // A pluginState attribute of another element is nobody's state and stays in its text.
    const auto described = readText (edited (scene, "<PLUGIN ", "<PLUGIN pluginState=\"" + state + "\" "));
    ASSERT_TRUE (described.ok) << described.error;
    EXPECT_TRUE (described.session.strips[0].plugins[0].descriptionXml.contains ("pluginState=\"" + state + "\""));
    EXPECT_EQ (described.session.strips[0].plugins[0].state.component, slot.state.component);
}

// The three roads into a scene read the same: of a file, of bytes, and of bytes the read may
// overwrite (a document proven before it is written), for a scene, a broken one and bytes that
// are no text.
TEST (VornKsnReader, BytesItMayOverwriteReadAsTheFileReads)
{
    const auto scene = canonicalScene();
    const auto state = vst3State ("abc", "xy");
    const auto broken = edited (scene, state, state.substring (0, 40) + "!" + state.substring (41));
    const std::string notText ("<VornLiveScene\xC0\xAF/>");
    struct Case { const char* what; std::string bytes; };
    const Case cases[] = {
        { "a scene", scene.toStdString() },
        { "a broken state", broken.toStdString() },
        { "bytes that are no text", notText },
        { "a NUL byte", std::string ("<VornLiveScene\0/>", 17) },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const SceneFile file (scene);
        const auto& name = file.file;
        const auto fromBytes = readVornKsnBytes (name, c.bytes);
        auto writable = c.bytes + '!';   // the byte after them is the read's to write
        bool released = false;
        const auto taken = readVornKsnDocument (name, writable.data(), c.bytes.size(), [&released] { released = true; });
        EXPECT_EQ (taken.ok, fromBytes.ok);
        EXPECT_EQ (taken.status, fromBytes.status);
        EXPECT_EQ (taken.error, fromBytes.error);
        EXPECT_TRUE (compareRackSemantics (fromBytes.session, taken.session).isExact());
        // Text the read could take lets its bytes go; bytes that are no text are refused at once.
        EXPECT_EQ (released, c.what == std::string ("a scene") || c.what == std::string ("a broken state"));
        if (c.what == std::string ("a scene"))
        {
            ASSERT_TRUE (taken.isComplete()) << taken.error;
            EXPECT_EQ (taken.session.strips[0].plugins[0].state.component, bytesOf ("abc"));
            EXPECT_TRUE (compareRackSemantics (readVornKsn (name).session, taken.session).isExact());
        }
    }
}
