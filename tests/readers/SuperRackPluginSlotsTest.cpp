#include "SprkFixture.h"

#include "model/Vst3State.h"
#include "readers/SuperRackSprkReader.h"

#include <string>

using namespace vornconv;

namespace
{

const char* const eqClassId = "ED57BD725C60467EA64DD2F400758B6F";

juce::MemoryBlock bytesOf (const char* text) { return juce::MemoryBlock (text, std::strlen (text)); }

juce::String eqPreset() { return vst3::buildSuperRackPreset (eqClassId, bytesOf ("ABC"), bytesOf ("xy")); }

juce::String b64 (const juce::MemoryBlock& b) { return "'" + juce::Base64::toBase64 (b.getData(), b.getSize()) + "'"; }

} // namespace

TEST (SuperRackPluginSlots, RowsBecomeSlotsWithTheirActiveState)
{
    vorntest::SprkFixture f;
    f.setTracks (2);
    juce::MemoryBlock cid;
    cid.loadFromHexString ("00112233445566778899AABBCCDDEEFF");
    const juce::MemoryBlock head (cid.getData(), 3), tail (static_cast<const char*> (cid.getData()) + 3, 13);
    // Slot 3 alone; class id from the plug row (3 + 13 bytes), disabled but active row says on.
    f.addPlug (1, 0, 3, "Comp", "Acme", b64 (head), b64 (tail), "1");
    f.addState (1, vst3::buildSuperRackPreset ("00112233445566778899aabbccddeeff", bytesOf ("c"), {}), 0, 1);
    // Host-style additional_info with a line break does not decode: the class id comes from the preset.
    f.addPlug (2, 1, 0, "Pro-Q 3", "FabFilter", "'VS2S'", "'7Ve9'||char(10)||'clxgRn6mTdL0AHWLbw=='");
    f.addState (2, eqPreset(), 1, 0);
    // Output chainers are no strips: their plug-ins are ignored whatever their slot.
    f.exec ("INSERT INTO plug(id,chainer_id,slot,plugin_name,vendor_name,disabled) VALUES(3,2000,12,'Bus','X',0);");
    f.close();

    const auto result = readSuperRackSprk (f.file);
    ASSERT_TRUE (result.ok) << result.error;
    EXPECT_EQ (result.status, readComplete);
    const auto& first = result.session.strips[0].plugins;
    ASSERT_EQ (first.size(), 4);
    EXPECT_FALSE (first[0].occupied || first[1].occupied || first[2].occupied);
    EXPECT_EQ (first[3].classId, "00112233445566778899AABBCCDDEEFF");
    EXPECT_TRUE (first[3].bypassed);
    EXPECT_TRUE (first[3].muted);
    EXPECT_EQ (first[3].state.component, bytesOf ("c"));
    EXPECT_EQ (first[3].state.controller.getSize(), (size_t) 0);

    const auto& eq = result.session.strips[1].plugins[0];
    EXPECT_EQ (eq.classId, eqClassId);
    EXPECT_EQ (eq.format, "VST3");
    EXPECT_TRUE (eq.coverage.identity);
    EXPECT_TRUE (eq.bypassed);
    EXPECT_FALSE (eq.muted);
    EXPECT_EQ (result.session.countPlugins(), 2);
}

TEST (SuperRackPluginSlots, DuganExclusionAndSlotRangeDiagnostics)
{
    struct Case
    {
        const char* name;
        const char* schemaChange;
        const char* plug;
        const char* error; // nullptr: reads with the Dugan note
    };
    const Case cases[] = {
        { "disabled Dugan in slot 8", "", "8,'Dugan Speech','Waves',1", nullptr },
        { "enabled Dugan in slot 8", "", "8,'Dugan Speech','Waves',0",
          "SuperRack plugin slot is outside supported range 0-7 (rack=1, slot=8, pluginId=7)\nPlugin: Dugan Speech\nVendor: Waves\n"
          "Disabled: 0\nPlugin role: NULL\nActive snapshot rows: 0" },
        { "no role column", "ALTER TABLE plug DROP COLUMN plug_role;", "9,'Big','Acme',NULL",
          "SuperRack plugin slot is outside supported range 0-7 (rack=1, slot=9, pluginId=7)\nPlugin: Big\nVendor: Acme\n"
          "Disabled: 0\nPlugin role: unavailable\nActive snapshot rows: 0" },
        { "negative slot", "", "-1,'Big','Acme',0",
          "SuperRack plugin slot is outside supported range 0-7 (rack=1, slot=-1, pluginId=7)\nPlugin: Big\nVendor: Acme\n"
          "Disabled: 0\nPlugin role: NULL\nActive snapshot rows: 0" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::SprkFixture f;
        f.setTracks (1);
        f.exec (c.schemaChange);
        f.exec (juce::String ("INSERT INTO plug(id,chainer_id,slot,plugin_name,vendor_name,disabled) VALUES(7,1000,") + c.plug + ");");
        f.close();
        const auto result = readSuperRackSprk (f.file);
        if (c.error == nullptr)
        {
            ASSERT_TRUE (result.ok) << result.error;
            EXPECT_EQ (result.session.countPlugins(), 0);
            bool found = false;
            for (const auto& note : result.session.notes)
                if (note.code == "dugan.disabled")
                {
                    found = true;
                    EXPECT_EQ (note.fidelity, Fidelity::dropped);
                    EXPECT_EQ (note.text, "1 disabled Waves Dugan Speech record(s) excluded; automixer settings are not converted");
                }
            EXPECT_TRUE (found);
        }
        else
        {
            EXPECT_FALSE (result.ok);
            EXPECT_EQ (result.error, c.error);
        }
    }
}

TEST (SuperRackPluginSlots, StatesThatCannotBeSplitKeepTheirBytes)
{
    struct Case
    {
        const char* name;
        juce::String preset; // empty: no active row at all
        PluginStateEncoding encoding;
        juce::String reason;
        juce::String firstFailure;
    };
    // A well-formed wrapper whose chunk list has lost its "List" magic.
    juce::MemoryOutputStream blob;
    juce::Base64::convertFromBase64 (blob, eqPreset().fromFirstOccurrenceOf ("\n", false, false));
    juce::MemoryBlock corrupted (blob.getData(), blob.getDataSize());
    const std::string bytes (static_cast<const char*> (corrupted.getData()), corrupted.getSize());
    const auto at = bytes.rfind ("List");
    ASSERT_NE (at, std::string::npos);
    ASSERT_GT (at, (size_t) 45);
    static_cast<char*> (corrupted.getData())[at] = 'X';
    const auto broken = "VlNU\n" + juce::Base64::toBase64 (corrupted.getData(), corrupted.getSize());
    const Case cases[] = {
        { "AudioUnit tag", "QVU=\nAAAA", PluginStateEncoding::opaque,
          "preset format tag is not VST; formatTag=AU; presetTextBytes=9", "preset format tag is not VST" },
        { "one section", "VlNU", PluginStateEncoding::opaque,
          "preset text has fewer than two base64 sections; formatTag=other/unknown; presetTextBytes=4",
          "preset text has fewer than two base64 sections" },
        { "missing row", {}, PluginStateEncoding::none, "missing active plugin preset row", "active snapshot is missing a plugin state row" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::SprkFixture f;
        f.setTracks (1);
        f.addPlug (1, 0, 0);
        if (c.preset.isNotEmpty())
            f.addState (1, c.preset);
        f.close();
        const auto result = readSuperRackSprk (f.file);
        ASSERT_TRUE (result.ok) << result.error;
        EXPECT_EQ (result.status, readPartial);
        const auto& slot = result.session.strips[0].plugins[0];
        EXPECT_EQ (slot.state.encoding, c.encoding);
        EXPECT_EQ (slot.pendingStateReason, c.reason);
        EXPECT_FALSE (slot.coverage.state);
        EXPECT_EQ (slot.state.raw.toString(), c.preset);
        const auto& last = result.session.notes[result.session.notes.size() - 2];
        EXPECT_EQ (last.code, "plugin.state");
        EXPECT_EQ (last.fidelity, Fidelity::approx);
        EXPECT_TRUE (last.text.startsWith ("1")) << last.text;
        EXPECT_TRUE (last.text.endsWith (c.firstFailure)) << last.text;
    }

    vorntest::SprkFixture f;
    f.setTracks (1);
    f.addPlug (1, 0, 0);
    f.addState (1, broken);
    f.close();
    const auto result = readSuperRackSprk (f.file);
    ASSERT_TRUE (result.ok) << result.error;
    const auto& slot = result.session.strips[0].plugins[0];
    EXPECT_EQ (slot.state.encoding, PluginStateEncoding::vst3Container);
    EXPECT_EQ (slot.classId, eqClassId);
    EXPECT_TRUE (slot.pendingStateReason.endsWith ("; formatTag=VST; presetTextBytes=" + juce::String (broken.length())))
        << slot.pendingStateReason;
    EXPECT_EQ (result.status, readPartial);
}

TEST (SuperRackPluginSlots, SidechainAssignments)
{
    struct Case
    {
        const char* name;
        bool soundGrid;
        const char* assignment; // nullptr: side_chain set but no row
        int source;
        int kind;
        const char* reason;     // empty: resolved
    };
    const Case cases[] = {
        { "rack output", false, "1,2,0,2,7,-1,-1,0", 2, sidechainRackPost, "" },
        { "rack output of a spare chainer", false, "1,2,0,5,7,-1,-1,0", -1, 0, "rack output source is invalid: 5" },
        { "rack output 64", false, "1,2,0,64,7,-1,-1,0", -1, 0, "rack output source is invalid: 64" },
        { "rack output on SoundGrid", true, "1,2,0,2,7,-1,-1,0", -1, 0,
          "unsupported assignment shape; physical=-1 shape=1,2,0,2,7,-1,0 inputCandidates=none" },
        { "free physical input", false, "-1,2,10,0,-1,-1,5,-1", 5, sidechainPhysical, "" },
        { "free physical input on SoundGrid", true, "-1,2,10,0,-1,-1,5,-1", -1, 0,
          "physical input not mapped; physical=5 shape=-1,2,10,0,-1,-1,-1 inputCandidates=none" },
        { "owned by one strip's left input", false, "-1,2,10,0,-1,-1,1,-1", 1, sidechainStrip, "" },
        { "owned by one strip's left input on SoundGrid", true, "-1,2,10,0,-1,-1,1,-1", 1, sidechainStrip, "" },
        { "only the owner's right input", false, "-1,2,10,0,-1,-1,4,-1", -1, 0,
          "physical input is not the source strip's active left input; physical=4 shape=-1,2,10,0,-1,-1,-1 inputCandidates=1:1" },
        { "shared input", false, "-1,2,10,0,-1,-1,3,-1", -1, 0,
          "ambiguous physical input; physical=3 shape=-1,2,10,0,-1,-1,-1 inputCandidates=0:0,2:0" },
        { "text field", false, "-1,2,10,0,-1,-1,5,'x'", -1, 0, "non-integer sidechain assignment field 8" },
        { "no row", false, nullptr, -1, 0, "missing sidechain assignment row" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::SprkFixture f;
        if (c.soundGrid)
            f.makeSoundGrid();
        f.setTracks (3);
        f.inRoute (0, 0, 3);
        f.inRoute (1, 0, 1);
        f.inRoute (1, 1, 4);
        f.inRoute (2, 0, 3);
        f.addPlug (1, 0, 0, "Gate", "Acme", "''", "''", "0", "1");
        f.addState (1, eqPreset());
        if (c.assignment != nullptr)
            f.addSidechain (1, c.assignment);
        f.close();
        const auto result = readSuperRackSprk (f.file);
        ASSERT_TRUE (result.ok) << result.error;
        const auto& slot = result.session.strips[0].plugins[0];
        EXPECT_EQ (slot.sidechainSource, c.source);
        EXPECT_EQ (slot.sidechainKind, c.kind);
        EXPECT_EQ (slot.pendingSidechainReason, c.reason);
        const bool resolved = juce::String (c.reason).isEmpty();
        EXPECT_EQ (slot.coverage.sidechain, resolved);
        EXPECT_EQ (result.status, resolved ? readComplete : readPartial);
    }

    vorntest::SprkFixture f;
    f.setTracks (1);
    f.addPlug (1, 0, 0, "Gate", "Acme", "''", "''", "0", "1");
    f.addState (1, eqPreset());
    f.addSidechain (1, "-1,2,10,0,-1,-1,5,-1");
    f.addSidechain (1, "-1,2,10,0,-1,-1,6,-1");
    f.close();
    EXPECT_EQ (readSuperRackSprk (f.file).error, "duplicate SuperRack plug_sidechain row");
}

TEST (SuperRackPluginSlots, HardErrorsOfActiveStateRowsComeInRowOrder)
{
    // The stored presets are read once the rows are all taken; a preset's error still belongs to
    // its row, so whichever row comes first names the failure.
    const auto mismatch = [] (vorntest::SprkFixture& f) {
        f.addPlug (1, 0, 0, "Pro-Q 3", "FabFilter", "'AAAA'", "'clxgRn6mTdL0AHWLbw=='");
        f.addState (1, eqPreset());
    };
    const auto duplicate = [] (vorntest::SprkFixture& f) {
        f.addPlug (2, 1, 0);
        f.addState (2, eqPreset());
        f.exec ("INSERT INTO snapshot_plugin(plug_id,preset_id,snapshot_id,bypass,mute) VALUES(2,2,-1,0,0);");
    };
    struct Case { const char* what; bool mismatchFirst; const char* error; };
    const Case cases[] = {
        { "class id mismatch first", true, "SuperRack plug CID differs from preset CID at strip 0, slot 0" },
        { "duplicate row first", false, "duplicate plugin state in active SuperRack snapshot" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        vorntest::SprkFixture f;
        f.setTracks (2);
        if (c.mismatchFirst)
            mismatch (f);
        duplicate (f);
        if (! c.mismatchFirst)
            mismatch (f);
        f.close();
        const auto result = readSuperRackSprk (f.file);
        EXPECT_FALSE (result.ok);
        EXPECT_EQ (result.status, readFailed);
        EXPECT_EQ (result.error, c.error);
    }
}
