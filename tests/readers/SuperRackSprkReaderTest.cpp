#include "SprkFixture.h"
#include "WavesFixture.h"

#include "model/ParameterSnapshot.h"
#include "model/Vst3State.h"
#include "readers/SuperRackSprkReader.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cstdlib>

using namespace vornconv;
using vorntest::PrivateTmp;

namespace
{

const char* const eqClassId = "ED57BD725C60467EA64DD2F400758B6F";

// The preset text of eqClassId with component "ABC" and controller "xy", as the host stores it.
const char* const eqPreset = "VlNU\nMwEAAABFRDU3QkQ3MjVDNjA0NjdFQTY0REQyRjQwMDc1OEI2RjUAAAAAAAAAQUJDeHlMaXN0AgAAAENvbXAwAAAAAAAAAAMAAAAAAAAAQ29udDMAAAAAAAAAAgAAAAAAAAA=";

juce::MemoryBlock bytesOf (const char* text) { return juce::MemoryBlock (text, std::strlen (text)); }

juce::String preset (const char* classId, const char* component = "ABC", const char* controller = "xy")
{
    return vst3::buildSuperRackPreset (classId, bytesOf (component), bytesOf (controller));
}

juce::String sha (const juce::MemoryBlock& b) { return juce::SHA256 (b).toHexString(); }


// Two active strips: 0 "Kick", mono, one left input and one output patch, an EQ in slot 0;
// 1 unnamed, stereo, -3.5 dB and bypassed, fed by physical inputs 6 and 7.
void twoStrips (vorntest::SprkFixture& f)
{
    f.setTracks (2);
    f.exec ("INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1000,-1,'Kick');"
            "UPDATE chainer SET num_inputs=1,num_outputs=0 WHERE obj_id=1000;");
    f.inRoute (0, 0, 3);
    f.outRoute (0, 0, 5);
    f.inRoute (1, 0, 6);
    f.inRoute (1, 1, 7);
    f.param (1, 1, "-3.5");
    f.param (1, 2, "0.0");
    f.addPlug (1, 0, 0, "Pro-Q 3", "FabFilter");
    f.addState (1, eqPreset);
}

RackReadResult read (vorntest::SprkFixture& f)
{
    return readSuperRackSprk (f.file);
}

juce::StringArray noteLines (const RackSession& session)
{
    juce::StringArray lines;
    for (const auto& note : session.notes)
        lines.add (juce::String ((int) note.fidelity) + " " + note.code + " " + note.text);
    return lines;
}

} // namespace

TEST (SuperRackSprkReader, ReadsTheActiveSnapshotOfAPerformerSession)
{
    vorntest::SprkFixture f;
    twoStrips (f);
    f.exec ("INSERT INTO snapshot(id,number,name,note) VALUES(4,3,'Verse','v');");
    f.close();
    const auto before = juce::SHA256 (f.file).toHexString();
    PrivateTmp tmp;

    const auto result = read (f);
    ASSERT_TRUE (result.ok) << result.error;
    EXPECT_EQ (result.status, readComplete);
    const auto& session = result.session;
    EXPECT_EQ (session.sourceFormat, "waves.sprk");
    EXPECT_EQ (session.sourceApp, "SuperRack Performer");
    EXPECT_EQ (session.sourceFile, f.file.getFullPathName());
    EXPECT_EQ (session.sampleRate, 48000.0);
    EXPECT_EQ (session.bufferSize, 256);
    EXPECT_EQ (session.capacityStrips, 64);
    EXPECT_EQ (session.capacitySlots, 8);
    ASSERT_EQ (session.snapshots.size(), 2);
    EXPECT_EQ (session.snapshots[0].number, -1);
    EXPECT_EQ (session.snapshots[0].name, "Active");
    EXPECT_EQ (session.snapshots[1].name, "Verse");
    EXPECT_EQ (session.snapshots[1].note, "v");

    ASSERT_EQ (session.strips.size(), 2);
    const auto& kick = session.strips[0];
    EXPECT_EQ (kick.name, "Kick");
    EXPECT_EQ (kick.inputChannels, 1);
    EXPECT_EQ (kick.outputChannels, 1);
    // A mono strip has no right routes, as every reader gives it.
    EXPECT_EQ (kick.routeInL, 3);
    EXPECT_EQ (kick.routeInR, -1);
    EXPECT_EQ (kick.routeOutL, 5);
    EXPECT_EQ (kick.routeOutR, -1);
    EXPECT_EQ (kick.routePatches.size(), 2);
    EXPECT_FALSE (kick.bypassed);
    ASSERT_EQ (kick.plugins.size(), 1);
    const auto& eq = kick.plugins[0];
    EXPECT_TRUE (eq.occupied);
    EXPECT_EQ (eq.name, "Pro-Q 3");
    EXPECT_EQ (eq.vendor, "FabFilter");
    EXPECT_EQ (eq.format, "VST3");
    EXPECT_EQ (eq.classId, eqClassId);
    EXPECT_EQ (eq.state.encoding, PluginStateEncoding::vst3Container);
    EXPECT_EQ (eq.state.component, bytesOf ("ABC"));
    EXPECT_EQ (eq.state.controller, bytesOf ("xy"));
    EXPECT_EQ (eq.state.raw, bytesOf (eqPreset));
    EXPECT_TRUE (eq.coverage.identity && eq.coverage.activation && eq.coverage.mute && eq.coverage.sidechain && eq.coverage.state);
    EXPECT_TRUE (eq.pendingStateReason.isEmpty());

    const auto& second = session.strips[1];
    EXPECT_EQ (second.name, "Ch 2");
    EXPECT_EQ (second.outputGainDb, -3.5f);
    EXPECT_TRUE (second.bypassed);
    EXPECT_TRUE (second.coverage.bypass);
    EXPECT_EQ (second.routeInL, 6);
    EXPECT_EQ (second.routeInR, 7);
    EXPECT_TRUE (second.sourceParameters.isEmpty());

    const juce::StringArray expectedNotes {
        juce::String::fromUTF8 ("0 routing.physical SuperRack routes의 physical input/output channel을 해독했다"),
        juce::String::fromUTF8 ("0 plugin.state 1개 상태에서 Comp/Cont 분리 성공 (기준점=-3)"),
        juce::String::fromUTF8 ("0 mixer.outputGain 1 PARAM_OUTPUT_GAIN sparse row를 dB로 해독했다"),
        juce::String::fromUTF8 ("1 mixer.params Active snapshot의 chainer parameter를 원문 이름-값으로 보관함 — 게인·팬 등 의미 매핑은 아직 검증되지 않았다"),
    };
    EXPECT_EQ (noteLines (session), expectedNotes);

    EXPECT_EQ (tmp.entries(), 0);
    EXPECT_EQ (juce::SHA256 (f.file).toHexString(), before);
}

TEST (SuperRackSprkReader, HardErrorsEndTheReadAndLeaveNothingBehind)
{
    struct Case
    {
        const char* sql;
        const char* error;
    };
    const Case cases[] = {
        { "UPDATE info SET application_type='com.waves.mixer.lv1'",
          "could not distinguish SuperRack Performer from SoundGrid: The .sprk application_type is not com.waves.mixer.MRSG" },
        { "DELETE FROM mixer_settings",
          "could not distinguish SuperRack Performer from SoundGrid: SuperRack mixer_settings row is missing" },
        { "UPDATE config_info SET num_tracks=65", "invalid SuperRack input track configuration" },
        { "UPDATE config_info SET num_tracks=-1", "invalid SuperRack input track configuration" },
        { "UPDATE config_info SET num_tracks='2x'", "non-integer SuperRack config_info.num_tracks" },
        { "INSERT INTO config_info(track_type,num_tracks) VALUES(0,2)", "invalid SuperRack input track configuration" },
        { "UPDATE object SET obj_index=64 WHERE id=1063", "invalid/duplicate SuperRack input chainer index" },
        // A 64-bit index must not wrap around onto strip 0.
        { "UPDATE object SET obj_index=4294967296 WHERE id=1063", "invalid/duplicate SuperRack input chainer index" },
        { "UPDATE object SET obj_index=5 WHERE id=1063", "invalid/duplicate SuperRack input chainer index" },
        { "UPDATE object SET obj_type=1", "no input chainers found — not a SuperRack session?" },
        { "INSERT INTO snapshot(id,number,name) VALUES(-5,-1,'X')", "invalid SuperRack Active snapshot identity" },
        { "UPDATE snapshot SET id=-2 WHERE id=-1", "invalid SuperRack Active snapshot identity" },
        { "DROP TABLE snapshot_chainer", "could not query active strip names: no such table: snapshot_chainer" },
        { "INSERT INTO routes(src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,dst_cluster_type,"
          "dst_cluster_type_index,dst_section_type,dst_section_index,dst_channel_index,status) VALUES(10,0,-1,-1,3,0,0,0,0,0,4)",
          "SuperRack routes contains a duplicate physical patch" },
        { "UPDATE routes SET dst_channel_index=2 WHERE id=1", "SuperRack route has unsupported rack channel index" },
        { "UPDATE routes SET dst_cluster_type_index=70 WHERE id=1", "SuperRack route references an unknown rack strip" },
        { "UPDATE routes SET src_channel_index=-4 WHERE id=1", "SuperRack route has unsupported physical channel index" },
        { "UPDATE routes SET dst_channel_index='L' WHERE id=1", "non-integer SuperRack routes.dst_channel_index" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,4,18.5)",
          "invalid/duplicate SuperRack input gain fader" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,4,1),(1000,-1,4,2)",
          "invalid/duplicate SuperRack input gain fader" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,1,9e999)",
          "non-finite SuperRack PARAM_OUTPUT_GAIN" },
        // Finite as a double, infinite as the float the model holds.
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,1,1e308)",
          "non-finite SuperRack PARAM_OUTPUT_GAIN" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,1,-3.5e38)",
          "non-finite SuperRack PARAM_OUTPUT_GAIN" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,1,'loud')",
          "non-numeric SuperRack PARAM_OUTPUT_GAIN" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,1,NULL)",
          "non-numeric SuperRack PARAM_OUTPUT_GAIN" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1001,-1,1,-6)",
          "duplicate SuperRack PARAM_OUTPUT_GAIN" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,3,0.5)",
          "invalid SuperRack Active input bank value" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,3,'1')",
          "invalid/duplicate SuperRack Active input bank" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1005,-1,1,1.0)",
          "reserved SuperRack input chainer contains session data" },
        { "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1005,-1,7,0.5)",
          "reserved SuperRack input chainer contains session data" },
        { "INSERT INTO plug(id,chainer_id,slot,plugin_name,vendor_name,disabled) VALUES(9,1007,0,'X','Y',0)",
          "reserved SuperRack input chainer contains session data" },
        { "UPDATE routes SET dst_cluster_type_index=9 WHERE id=1", "reserved SuperRack input chainer contains session data" },
        { "UPDATE object SET name='Spare' WHERE id=1010", "reserved SuperRack input chainer contains session data" },
        { "DELETE FROM chainer WHERE obj_id=1063; UPDATE config_info SET num_tracks=64", "SuperRack input track configuration exceeds stored chainers" },
        { "INSERT INTO plug(id,chainer_id,slot,plugin_name,vendor_name,disabled) VALUES(2,1000,0,'X','Y',0)",
          "duplicate SuperRack plugin slot (rack=1, slot=0, pluginId=2)" },
        { "INSERT INTO snapshot_plugin(plug_id,preset_id,snapshot_id,bypass,mute) VALUES(1,1,-1,0,0)",
          "duplicate plugin state in active SuperRack snapshot" },
        { "UPDATE plug SET disabled='no' WHERE id=1", "non-integer SuperRack plug.disabled" },
        { "UPDATE snapshot_plugin SET mute='on'", "non-integer SuperRack snapshot_plugin.mute" },
        { "UPDATE plug SET disabled=NULL WHERE id=1; UPDATE snapshot_plugin SET bypass=0.0, mute=NULL", nullptr },
        { "UPDATE plug SET plugin_4cc='7Ve9',additional_info='clxgRn6mTdL0AHWLbw==' WHERE id=1", nullptr },
        { "UPDATE plug SET plugin_4cc='AAAA',additional_info='clxgRn6mTdL0AHWLbw==' WHERE id=1",
          "SuperRack plug CID differs from preset CID at strip 0, slot 0" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.sql);
        vorntest::SprkFixture f;
        twoStrips (f);
        f.exec (c.sql);
        f.close();
        PrivateTmp tmp;
        const auto result = read (f);
        if (c.error == nullptr)
        {
            EXPECT_TRUE (result.ok) << result.error;
            EXPECT_EQ (result.status, readComplete);
        }
        else
        {
            EXPECT_FALSE (result.ok);
            EXPECT_EQ (result.status, readFailed);
            EXPECT_EQ (result.error, juce::String::fromUTF8 (c.error));
        }
        EXPECT_EQ (tmp.entries(), 0);
    }
}

TEST (SuperRackSprkReader, KeysAndWholeNumbersOfAnotherTypeAreErrorsNotMissingRows)
{
    // A key stored as text never equals the integer it spells: without the check the plug-in or
    // the gain would drop out of a read that still says complete.
    struct Case
    {
        const char* table; // its column is rebuilt without a type first; null: no rebuild
        const char* column;
        const char* sql;
    };
    const Case cases[] = {
        { "plug", "chainer_id", "UPDATE plug SET chainer_id='1000'" },
        { "snapshot_chainer_params", "chainer_id", "UPDATE snapshot_chainer_params SET chainer_id='1001'" },
        { "snapshot_chainer_params", "snapshot_id", "UPDATE snapshot_chainer_params SET snapshot_id='-1'" },
        { "snapshot_chainer_params", "param_id", "UPDATE snapshot_chainer_params SET param_id='1' WHERE param_id=1" },
        { "snapshot_plugin", "plug_id", "UPDATE snapshot_plugin SET plug_id='1'" },
        { "snapshot_plugin", "preset_id", "UPDATE snapshot_plugin SET preset_id='1'" },
        { "snapshot_chainer", "chainer_id", "UPDATE snapshot_chainer SET chainer_id='1000'" },
        { "object", "obj_type", "UPDATE object SET obj_type='0' WHERE id=1001" },
        { nullptr, "routes.src_cluster_type", "UPDATE routes SET src_cluster_type='10' WHERE id=1" },
        { nullptr, "plug.slot", "UPDATE plug SET slot=0.5" },
        { nullptr, "snapshot_plugin.bypass", "UPDATE snapshot_plugin SET bypass=0.25" },
        { nullptr, "chainer.num_inputs", "UPDATE chainer SET num_inputs=1.5 WHERE obj_id=1040" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.sql);
        vorntest::SprkFixture f;
        twoStrips (f);
        if (c.table != nullptr)
            vorntest::untypeColumn (f.handle, c.table, c.column);
        f.exec (c.sql);
        f.close();
        PrivateTmp tmp;
        const auto result = read (f);
        EXPECT_FALSE (result.ok);
        EXPECT_EQ (result.error, "non-integer SuperRack " + (c.table != nullptr ? juce::String (c.table) + "." : juce::String()) + c.column);
        EXPECT_EQ (tmp.entries(), 0);
    }
}

TEST (SuperRackSprkReader, AnUnfinishedWriteTransactionIsNotReadAsTheSession)
{
    for (const bool wal : { false, true })
    {
        SCOPED_TRACE (wal ? "write-ahead log" : "rollback journal");
        vorntest::SprkFixture f;
        twoStrips (f);
        if (wal)
            f.exec ("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
        // The host renames the strip and drops its plug-in, but has not committed.
        vorntest::writeUnfinishedTransaction (f.handle, "UPDATE snapshot_chainer SET name='Half'; DELETE FROM snapshot_plugin;"
                                                        "DELETE FROM plug; UPDATE snapshot_chainer_params SET param_value=-20;");
        const auto sidecar = f.folder.file (wal ? "session.sprk-wal" : "session.sprk-journal");
        ASSERT_GT (sidecar.getSize(), 0);
        if (! wal)
        {
            // The database file alone already holds the uncommitted rows.
            const auto alone = f.folder.file ("alone.sprk");
            ASSERT_TRUE (f.file.copyFileTo (alone));
            ASSERT_EQ (vorntest::queryRows (alone, "SELECT name FROM snapshot_chainer WHERE chainer_id=1000"), juce::StringArray ({ "Half" }));
            alone.deleteFile();
        }
        const auto digests = juce::SHA256 (f.file).toHexString() + juce::SHA256 (sidecar).toHexString();

        PrivateTmp tmp;
        const auto result = read (f);
        ASSERT_TRUE (result.ok) << result.error;
        EXPECT_EQ (result.status, readComplete);
        ASSERT_EQ (result.session.strips.size(), 2);
        EXPECT_EQ (result.session.strips[0].name, "Kick");
        EXPECT_EQ (result.session.countPlugins(), 1);
        EXPECT_EQ (result.session.strips[1].outputGainDb, -3.5f);
        EXPECT_EQ (tmp.entries(), 0);
        EXPECT_EQ (juce::SHA256 (f.file).toHexString() + juce::SHA256 (sidecar).toHexString(), digests);
        f.exec ("ROLLBACK;");
    }
}

TEST (SuperRackSprkReader, ProductDecidesBanksFadersAndRouteStatus)
{
    for (const bool soundGrid : { false, true })
    {
        SCOPED_TRACE (soundGrid ? "SoundGrid" : "Performer");
        vorntest::SprkFixture f;
        if (soundGrid)
            f.makeSoundGrid();
        f.setTracks (3);
        f.param (0, 3, "1");               // strip 0 listens to bank 1
        f.inRoute (0, 0, 10, 0);           // bank 0: ignored on Performer
        f.inRoute (0, 0, 20, 1);           // bank 1
        f.inRoute (1, 0, 30, 0, 2);        // status 2: not routed on Performer
        f.param (1, 4, "12.0");            // input gain fader
        f.param (2, 5, "1");               // undock, counted
        f.param (2, 5, "0.5");             // undock of another value, kept
        f.param (2, 6, "7");               // colour
        f.param (2, 7, "0.25");            // pan
        f.param (2, 2, "1");               // strip on: bypass unproven
        f.close();
        const auto result = read (f);
        ASSERT_TRUE (result.ok) << result.error;
        const auto& strips = result.session.strips;
        ASSERT_EQ (strips.size(), 3);
        if (! soundGrid)
        {
            EXPECT_EQ (result.session.sourceApp, "SuperRack Performer");
            EXPECT_EQ (result.session.bufferSize, 256);
            EXPECT_EQ (strips[0].routeInL, 20);
            EXPECT_EQ (strips[0].routePatches.size(), 1);
            EXPECT_TRUE (strips[1].routePatches.isEmpty());
            EXPECT_FALSE (strips[1].coverage.route);
            EXPECT_EQ (strips[1].inputGainDb, 12.0f);
            EXPECT_TRUE (strips[1].coverage.inputGain);
            EXPECT_EQ (result.session.pluginUndockExclusions, 1);
            ASSERT_EQ (strips[2].sourceParameters.size(), 3);
            EXPECT_EQ (strips[2].sourceParameters[0].name, "PARAM_PLUGINS_UNDOCK");
            EXPECT_EQ (strips[2].sourceParameters[0].value, "0.5");
        }
        else
        {
            EXPECT_EQ (result.session.sourceApp, "SuperRack SoundGrid");
            EXPECT_EQ (result.session.bufferSize, 0);
            EXPECT_EQ (strips[0].routeInL, 10);
            EXPECT_EQ (strips[1].routeInL, 30);
            EXPECT_TRUE (strips[1].coverage.route);
            EXPECT_EQ (strips[1].inputGainDb, 0.0f);
            EXPECT_FALSE (strips[1].coverage.inputGain);
            EXPECT_EQ (result.session.pluginUndockExclusions, 0);
            // Bank, undock twice, colour, pan and the strip switch are all kept as they are.
            EXPECT_EQ (strips[0].sourceParameters.size(), 1);
            EXPECT_EQ (strips[2].sourceParameters.size(), 5);
        }
        EXPECT_FALSE (strips[2].coverage.pan);
        EXPECT_FALSE (strips[2].coverage.bypass);
        EXPECT_FALSE (strips[2].bypassed);
        juce::StringArray codes;
        for (const auto& note : result.session.notes)
            codes.add (note.code);
        EXPECT_EQ (codes.contains ("mixer.inputGain"), ! soundGrid);
        EXPECT_EQ (codes.contains ("ui.pluginUndock"), ! soundGrid);
        EXPECT_EQ (codes.contains ("ui.channelColour"), ! soundGrid);
    }
}

TEST (SuperRackSprkReader, SettingsMulticastAndChannelLayouts)
{
    vorntest::SprkFixture f;
    f.setTracks (2);
    f.exec ("UPDATE mixer_settings SET sample_rate_preference=0; UPDATE chainer SET num_inputs=0,num_outputs=6 WHERE obj_id=1001;");
    f.inRoute (0, 0, 2);
    f.inRoute (0, 0, 4);
    f.inRoute (1, 0, 4);
    f.close();
    const auto result = read (f);
    ASSERT_TRUE (result.ok) << result.error;
    EXPECT_EQ (result.session.sampleRate, 0.0);
    const auto& strips = result.session.strips;
    EXPECT_EQ (strips[0].routeInL, 2);
    EXPECT_EQ (strips[0].routeInR, -1); // stereo: no copy of the left input
    EXPECT_EQ (strips[0].routePatches.size(), 2);
    EXPECT_EQ (strips[1].inputChannels, 1);
    EXPECT_EQ (strips[1].outputChannels, 6);
    EXPECT_EQ (strips[1].routeInL, 4);
    EXPECT_EQ (strips[1].routeInR, -1); // mono: no right input either
    ASSERT_GE (result.session.notes.size(), 2);
    EXPECT_EQ (result.session.notes[1].code, "routing.multicast");
    EXPECT_EQ (result.session.notes[1].text, juce::String::fromUTF8 ("1개 추가 physical patch를 다중 route IR에 보존했다"));
}

TEST (SuperRackSprkReader, NoActiveTracksLeavesNoStrips)
{
    vorntest::SprkFixture f;
    f.exec ("INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1000,-1,'Leftover');");
    f.close();
    const auto result = read (f);
    ASSERT_TRUE (result.ok) << result.error;
    EXPECT_TRUE (result.session.strips.isEmpty());
}

TEST (SuperRackSprkReader, ReadsCommittedChangesFromTheWriteAheadLog)
{
    vorntest::SprkFixture f;
    f.exec ("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
    f.setTracks (1);
    f.exec ("INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1000,-1,'FromWal');");
    // The connection stays open, so the change lives only in the -wal sidecar.
    ASSERT_TRUE (f.folder.file ("session.sprk-wal").existsAsFile());
    const auto walBefore = juce::SHA256 (f.folder.file ("session.sprk-wal")).toHexString();
    PrivateTmp tmp;
    const auto result = read (f);
    ASSERT_TRUE (result.ok) << result.error;
    ASSERT_EQ (result.session.strips.size(), 1);
    EXPECT_EQ (result.session.strips[0].name, "FromWal");
    EXPECT_EQ (juce::SHA256 (f.folder.file ("session.sprk-wal")).toHexString(), walBefore);
    EXPECT_EQ (tmp.entries(), 0);
}

TEST (SuperRackSprkReader, DumpReadsSprkFiles)
{
    vorntest::SprkFixture f;
    twoStrips (f);
    f.close();
    const auto run = vorntest::runVornconvBinary ({ f.file.getFullPathName().toStdString() });
    EXPECT_EQ (run.exitCode, 0);
    EXPECT_TRUE (run.err.empty());
    const auto lines = run.outLines();
    EXPECT_TRUE (lines.contains ("READ    complete"));
    EXPECT_TRUE (lines.contains ("FORMAT  waves.sprk   app=SuperRack Performer"));
}

// JUCE reads a file name starting with '~' as a home folder: the staged copy of such a session,
// and the sidecars it needs, must still be where the reader put and looks for them.
TEST (SuperRackSprkReader, ASessionNamedWithATildeIsStagedInItsPrivateFolder)
{
    vorntest::SprkFixture f ("~x.sprk");
    f.exec ("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
    f.setTracks (1);
    f.exec ("INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1000,-1,'FromWal');");
    ASSERT_TRUE (juce::File (f.file.getFullPathName() + "-wal").existsAsFile());
    vorntest::TempFolder cwd, tmp;
    const auto run = vorntest::runVornconvBinary ({ f.file.getFullPathName().toStdString() }, cwd.path(),
                                                  { "HOME=" + cwd.path(), "TMPDIR=" + tmp.path() });
    EXPECT_EQ (run.exitCode, 0) << run.out;
    EXPECT_TRUE (run.outLines().contains ("READ    complete")) << run.out;
    EXPECT_NE (run.out.find ("FromWal"), std::string::npos) << run.out;
    EXPECT_EQ (cwd.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 0);
    EXPECT_EQ (tmp.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 0);
}
