#include "RackBuilders.h"
#include "SprkFixture.h"

#include "app/HostRegistry.h"
#include "model/ParameterSnapshot.h"
#include "model/Vst3State.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/Vst3ModuleIndex.h"
#include "readers/SuperRackSprkReader.h"
#include "waves/WavesSessionTransfer.h"
#include "writers/SuperRackSprkWriter.h"

#include <juce_cryptography/juce_cryptography.h>

#include <functional>
#include <sys/stat.h>

using namespace vornconv;
using vorntest::proven;
using vorntest::strip;

namespace
{

const juce::String fabFilterCid = "ED57BD725C60467EA64DD2F400758B6F"; // built-in table, "VS2S"
const juce::String soundtoysCid = "5653544C504C386C6974746C65706C61"; // built-in table, "VS0S"
const juce::String unknownCid = "00112233445566778899AABBCCDDEEFF";   // in no table
const juce::String templateCid = "0123456789ABCDEF0123456789ABCDEF";  // only in the template below

const char* const auPlist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>type</key><integer>1635083896"
                            "</integer><key>subtype</key><integer>1415934836</integer><key>manufacturer</key><integer>1147497839"
                            "</integer></dict></plist>";

// The road of the convert runner: the preflight of the source for SuperRack Performer, then the
// writer with its verdict.
rapp::ConversionPlan performerPlan (const RackReadResult& source, const rapp::Vst3ModuleIndex& index)
{
    return rapp::inspect (source, app::hostOf (rapp::targetSuperRackPerformer)->rules, index, nullptr);
}

rapp::WriteOptions writeOptions (const juce::File& hostSaveTemplate, const juce::File& output = {})
{
    rapp::WriteOptions options;
    options.output = output;
    options.templateFile = hostSaveTemplate;
    return options;
}

rapp::WriteResult writeSession (const RackReadResult& source, const rapp::Vst3ModuleIndex& index, const juce::File& hostSaveTemplate,
                                const juce::File& output)
{
    return rapp::writeSuperRackSprk (source, index, performerPlan (source, index), writeOptions (hostSaveTemplate, output));
}

rapp::WriteResult checkSession (const RackReadResult& source, const rapp::Vst3ModuleIndex& index, const juce::File& hostSaveTemplate)
{
    return rapp::checkSuperRackSprkWrite (source, index, performerPlan (source, index), writeOptions (hostSaveTemplate));
}

juce::StringArray rows (std::initializer_list<juce::String> items)
{
    juce::StringArray out;
    for (const auto& item : items)
        out.add (item);
    return out;
}

juce::String utf8 (const char* text) { return juce::String (juce::CharPointer_UTF8 (text)); }

juce::MemoryBlock bytes (const char* text) { return juce::MemoryBlock (text, std::strlen (text)); }

// A proven slot of a class with the state streams "ABC" and "xy".
PluginRef vst3Slot (const juce::String& cid, const juce::String& name, const juce::String& vendor)
{
    auto p = vorntest::vst3Slot (cid, name, vendor);
    p.state = vorntest::vst3State (PluginStateEncoding::vst3Container, "ABC", "xy");
    return proven (p);
}

PluginRef auSlot (const juce::String& format = "AU")
{
    auto p = vorntest::auSlot ("TestAU", "aufx", "Test", "Demo"); // the codes auPlist names
    p.vendor = "Demo Audio";
    p.format = format;
    p.uniqueId = 0x90000001u; // top bit set, as half of all AudioUnit ids are
    p.state.encoding = PluginStateEncoding::audioUnitPlist;
    p.state.raw = bytes (auPlist);
    return proven (p);
}

RackReadResult sourceOf (const juce::Array<RackStrip>& strips, double rate = 48000.0, int buffer = 128)
{
    auto r = vorntest::completeRead ("vorn.ksn", strips);
    r.session.sourceFile = "/somewhere/Main Show.ksn";
    r.session.sampleRate = rate;
    r.session.bufferSize = buffer;
    r.session.capacityStrips = 64;
    r.session.capacitySlots = 8;
    return r;
}

rapp::Vst3ModuleIndex catalog()
{
    rapp::Vst3ModuleIndex index;
    juce::String error;
    juce::String text;
    for (const auto& [cid, name, vendor] : { std::tuple { fabFilterCid, "Pro-Q 3", "FabFilter" }, std::tuple { soundtoysCid, "Little", "Soundtoys" },
                                             std::tuple { unknownCid, "Odd", "Acme" }, std::tuple { templateCid, "Base", "Acme" } })
        text << cid << "\t" << name << "\t" << vendor << "\t1.0\t/opt/vst3/" << name << ".vst3\n";
    EXPECT_TRUE (index.loadFactoryCatalogText (text, error)) << error;
    return index;
}

// Runs one SQL query on a database and gives its rows, columns joined by "|".
juce::StringArray query (const juce::File& database, const juce::String& sql)
{
    juce::StringArray rows;
    sqlite3* db = nullptr;
    EXPECT_EQ (sqlite3_open_v2 (database.getFullPathName().toRawUTF8(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ (sqlite3_prepare_v2 (db, sql.toRawUTF8(), -1, &st, nullptr), SQLITE_OK) << sql << ": " << sqlite3_errmsg (db);
    while (st != nullptr && sqlite3_step (st) == SQLITE_ROW)
    {
        juce::StringArray columns;
        for (int c = 0; c < sqlite3_column_count (st); ++c)
        {
            const auto* t = sqlite3_column_text (st, c);
            columns.add (t != nullptr ? juce::String::fromUTF8 (reinterpret_cast<const char*> (t), sqlite3_column_bytes (st, c)) : "NULL");
        }
        rows.add (columns.joinIntoString ("|"));
    }
    sqlite3_finalize (st);
    sqlite3_close (db);
    return rows;
}

juce::StringArray filesIn (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*"))
        names.add (f.getRelativePathFrom (folder));
    names.sort (false);
    return names;
}

struct WriteSandbox
{
    WriteSandbox()
    {
        vorntest::makeSprkTemplate (base);
        base.close();
    }

    rapp::WriteResult write (const RackReadResult& source, const rapp::Vst3ModuleIndex& index) const
    {
        return writeSession (source, index, base.file, output);
    }

    vorntest::SprkFixture base { "template.sprk" };
    vorntest::TempFolder outFolder;
    juce::File output = outFolder.file ("show.sprk");
};

} // namespace

TEST (SuperRackWriter, WritesTheSessionIntoACopyOfTheTemplateAndReadsBackEqual)
{
    WriteSandbox box;
    const auto templateDigest = waves::fileSha256 (box.base.file);

    auto kick = proven (strip (0, "Kick"));
    kick.inputChannels = kick.outputChannels = 1;
    kick.outputGainDb = 0.5f;
    kick.routePatches.add ({ true, 0, 3 });
    kick.routePatches.add ({ false, 0, 5 });
    kick.plugins.add (vst3Slot (fabFilterCid.toLowerCase(), "Pro-Q 3", "FabFilter"));
    kick.plugins.getReference (0).state.parameters = parameterState::encode ({ 0.0f, 1.0f }, 0);
    kick.plugins.getReference (0).state.parameterMirrorComplete = true;
    kick.plugins.getReference (0).muted = true;
    kick.plugins.add (auSlot());

    auto unnamed = proven (strip (1, ""));
    unnamed.bypassed = true;
    unnamed.outputGainDb = 0.0000005f; // below what the host stores
    unnamed.routeInL = 6;              // summary routing only; no right input
    unnamed.plugins.add (vst3Slot (soundtoysCid, "Little", "Soundtoys"));
    unnamed.plugins.add (vst3Slot (soundtoysCid, "Little", "Soundtoys"));
    unnamed.plugins.getReference (1).sidechainSource = 0;
    unnamed.plugins.getReference (1).bypassed = true;

    const auto source = sourceOf ({ kick, unnamed });
    rapp::WriteResult checked;
    {
        vorntest::PrivateTmp tmp;
        checked = checkSession (source, catalog(), box.base.file);
        EXPECT_EQ (tmp.entries(), 0);
    }
    const auto written = box.write (source, catalog());
    ASSERT_TRUE (written.ok) << written.error;
    EXPECT_TRUE (checked.ok) << checked.error;
    EXPECT_EQ (checked.notes.joinIntoString ("\n") + "\n" + "converter exact reread passed; SuperRack host load/DSP validation pending",
               written.notes.joinIntoString ("\n"));
    EXPECT_EQ (written.notes, rows ({ utf8 ("1 Vorn sidechain source를 source strip physical input으로 patch했다"),
                                                   utf8 ("1 AU slot은 SuperRack Performer가 지원하지 않아 host graph에서 제외하고 사용 불가/비활성 메타데이터로 보존했다"),
                                                   "converter exact reread passed; SuperRack host load/DSP validation pending" }));

    const auto& out = box.output;
    EXPECT_EQ (filesIn (box.outFolder.folder), rows ({ "show.sprk" }));
    EXPECT_EQ (waves::fileSha256 (box.base.file), templateDigest);

    const auto preset = vst3::buildSuperRackPreset (fabFilterCid, bytes ("ABC"), bytes ("xy"));
    const auto littlePreset = vst3::buildSuperRackPreset (soundtoysCid, bytes ("ABC"), bytes ("xy"));
    const auto mirror = parameterState::encode ({ 0.0f, 1.0f }, 0);
    const auto info = rows ({
                          "VORN_CONVERTER_SUPERRACK_V2|3",
                          "P|0|0|" + fabFilterCid + "|" + juce::SHA256 (bytes ("ABC")).toHexString() + "|"
                              + juce::SHA256 (bytes ("xy")).toHexString() + "|" + mirror.toBase64Encoding(),
                          "U|0|1|" + juce::Base64::toBase64 ("TestAU") + "|" + juce::Base64::toBase64 ("Demo Audio") + "|2415919105|0|1635083896|"
                              "1415934836|1147497839|" + juce::Base64::toBase64 (auPlist, std::strlen (auPlist)),
                          "S|1|1|0" })
                          .joinIntoString ("\n");
    EXPECT_EQ (query (out, "SELECT id,number,name,note,info,tempo,sync_tempo FROM snapshot"),
               rows ({ "-1|-1|Active|Converted from Main Show by Vorn Converter|" + info + "|120.0|0" }));
    EXPECT_EQ (query (out, "SELECT number FROM recalled_snapshot"), rows ({ "-1" }));
    EXPECT_EQ (query (out, "SELECT sample_rate_preference,user_sample_rate,native_buffer_size FROM mixer_settings"),
               rows ({ "-1|48000|128" }));
    EXPECT_EQ (query (out, "SELECT num_tracks FROM config_info WHERE track_type=0"), rows ({ "2" }));
    EXPECT_EQ (query (out, "SELECT o.obj_index,o.name,c.num_inputs,c.num_outputs,c.input_stem_format,c.output_stem_format FROM chainer c "
                           "JOIN object o ON o.id=c.obj_id WHERE o.obj_type=0 AND o.obj_index IN (0,1,5) ORDER BY 1"),
               rows ({ "0|Kick|1|1|100|100", "1|Ch 2|2|2|101|101", "5||2|2|101|101" }));
    EXPECT_EQ (query (out, "SELECT chainer_id,name,preset_name,selected_slot,in_scope FROM snapshot_chainer WHERE chainer_id IN (1000,1001,1005) "
                           "ORDER BY 1"),
               rows ({ "1000|Kick||-1|1", "1001|Ch 2||-1|1", "1005|||-1|1" }));
    EXPECT_EQ (query (out, "SELECT chainer_id,param_id,param_value FROM snapshot_chainer_params ORDER BY 1,2"),
               rows ({ "1000|1|0.5", "1001|2|0.0" }));
    EXPECT_EQ (query (out, "SELECT src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,"
                           "dst_cluster_type,dst_cluster_type_index,dst_section_type,dst_section_index,dst_channel_index,status FROM routes ORDER BY id"),
               rows ({ "0|0|-1|0|0|11|0|0|-1|5|4", "10|0|-1|-1|3|0|0|0|0|0|4", "10|0|-1|-1|6|0|1|0|0|0|4" }));
    EXPECT_EQ (query (out, "SELECT id,chainer_id,slot,plugin_name,plugin_4cc,additional_info,disabled,side_chain,vendor_name FROM plug ORDER BY id"),
               rows ({ "1|1000|0|Pro-Q 3|VS2S|" + rapp::makeAdditionalInfo (fabFilterCid) + "|0|0|FabFilter",
                                    "2|1001|0|Little|VS0S|" + rapp::makeAdditionalInfo (soundtoysCid) + "|0|0|Soundtoys",
                                    "3|1001|1|Little|VS0S|" + rapp::makeAdditionalInfo (soundtoysCid) + "|1|1|Soundtoys" }));
    EXPECT_EQ (query (out, "SELECT plug_id,AsgnType,ControlType,TrackType,TrackHandle,SectionType,SectionIndex,ChannelIndex,controlID FROM plug_sidechain"),
               rows ({ "3|-1|2|10|0|-1|-1|3|-1" }));
    // The host keys a preset by the digest of its text without the last byte; equal texts share a row.
    const auto digest = [] (const juce::String& text) { return juce::SHA256 (text.toRawUTF8(), text.getNumBytesAsUTF8() - 1).toHexString(); };
    EXPECT_EQ (query (out, "SELECT hash,ref_count,preset FROM plugin_preset ORDER BY id"),
               rows ({ digest (preset) + "|1|" + preset, digest (littlePreset) + "|2|" + littlePreset }));
    EXPECT_EQ (query (out, "SELECT sp.plug_id,pp.hash,sp.snapshot_id,sp.setup_type_id,sp.bypass,sp.mute,sp.docked FROM snapshot_plugin sp "
                           "JOIN plugin_preset pp ON pp.id=sp.preset_id ORDER BY sp.plug_id"),
               rows ({ "1|" + digest (preset) + "|-1|-1|0|1|1", "2|" + digest (littlePreset) + "|-1|-1|0|0|1",
                                    "3|" + digest (littlePreset) + "|-1|-1|1|0|1" }));
    EXPECT_EQ (query (out, "PRAGMA integrity_check"), rows ({ "ok" }));

    const auto back = readSuperRackSprk (out);
    ASSERT_TRUE (back.ok) << back.error;
    ASSERT_EQ (back.status, readComplete);
    ASSERT_EQ (back.session.strips.size(), 2);
    const auto& au = back.session.strips[0].plugins[1];
    EXPECT_TRUE (au.occupied && au.unavailable && au.inactive && au.bypassed);
    EXPECT_EQ (au.uniqueId, 0x90000001u);
    EXPECT_EQ (au.name, "TestAU");
    EXPECT_TRUE (back.session.strips[0].plugins[0].state.parameterMirrorComplete);
    EXPECT_EQ (back.session.strips[1].plugins[1].sidechainSource, 0);
    EXPECT_EQ (back.session.strips[1].name, "Ch 2");
}

TEST (SuperRackWriter, PlainSessionsKeepTheTemplateSettingsAndSayWhatWasNotCarried)
{
    WriteSandbox box;
    auto only = proven (strip (0, "Vox"));
    only.hasColour = true;
    only.plugins.add (vst3Slot (unknownCid, "Odd", "Acme")); // served by the template's other Acme plug-in
    auto source = sourceOf ({ only }, 0.0, 0);
    source.session.inputDevice = "Interface";

    // A template with session content of its own: one plug-in on an active strip, a saved
    // snapshot, a physical route and a route between chainers.
    vorntest::SprkFixture custom ("custom.sprk");
    vorntest::makeSprkTemplate (custom);
    custom.setTracks (1);
    custom.exec ("UPDATE snapshot_chainer SET name='Old'; INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1000,-1,'Old');"
                 "INSERT INTO snapshot(id,number,name,note,info) VALUES(7,7,'Saved','','');");
    custom.inRoute (0, 0, 9);
    custom.exec ("INSERT INTO routes(src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,"
                 "dst_cluster_type,dst_cluster_type_index,dst_section_type,dst_section_index,dst_channel_index,status) VALUES(0,0,-1,0,0,1,0,0,0,0,4);");
    custom.addPlug (1, 0, 0, "Base", "Acme", "'VSXS'", "'" + rapp::makeAdditionalInfo (templateCid).replace ("\n", "'||char(10)||'") + "'");
    custom.addState (1, vst3::buildSuperRackPreset (templateCid, bytes ("T"), {}));
    custom.close();
    const auto digest = waves::fileSha256 (custom.file);

    const auto written = writeSession (source, catalog(), custom.file, box.output);
    ASSERT_TRUE (written.ok) << written.error;
    EXPECT_EQ (written.notes,
               rows ({ utf8 ("source sample rate가 없어 SuperRack base 설정을 유지했다"),
                                    utf8 ("source buffer size가 없어 SuperRack base 설정을 유지했다"),
                                    "SuperRack has no verified session field for audio device identity; source device names were not transferred",
                                    utf8 ("1 plugin CID는 template에 없어서 동일 vendor의 검증된 SuperRack VST3 metadata를 적용했다; host load 검증이 필요하다"),
                                    "1 strip colours were not transferred: SuperRack has no verified colour field",
                                    "converter exact reread passed; SuperRack host load/DSP validation pending" }));
    EXPECT_EQ (waves::fileSha256 (custom.file), digest);
    const auto& out = box.output;
    EXPECT_EQ (query (out, "SELECT sample_rate_preference,user_sample_rate,native_buffer_size FROM mixer_settings"),
               rows ({ "-1|44100|512" }));
    EXPECT_EQ (query (out, "SELECT id,info FROM snapshot"), rows ({ "-1|RAPP v1: plugin state and chain only" }));
    EXPECT_EQ (query (out, "SELECT plugin_name,plugin_4cc FROM plug"), rows ({ "Odd|VSXS" }));
    EXPECT_EQ (query (out, "SELECT count(*) FROM plugin_preset"), rows ({ "1" }));
    // Only the physical routes are the session's; the route between chainers is the template's.
    EXPECT_EQ (query (out, "SELECT src_cluster_type,dst_cluster_type FROM routes"), rows ({ "0|1" }));
    EXPECT_EQ (query (out, "SELECT name FROM snapshot_chainer WHERE chainer_id=1000"), rows ({ "Vox" }));
}

TEST (SuperRackWriter, AudioUnitWordIsKeptOutOfTheHostGraphLikeAuAndItsLostSettingsAreSaid)
{
    WriteSandbox box;
    auto s = proven (strip (0, "Keys"));
    s.plugins.add (auSlot ("AudioUnit"));
    s.plugins.getReference (0).muted = true;
    const auto written = box.write (sourceOf ({ s }), catalog());
    ASSERT_TRUE (written.ok) << written.error;
    EXPECT_TRUE (written.notes.contains ("1 AU slot mute, sidechain or parameter mirror settings were not transferred: the unavailable AU "
                                         "record keeps identity and state only"))
        << written.notes.joinIntoString ("\n");
    EXPECT_EQ (query (box.output, "SELECT count(*) FROM plug"), rows ({ "0" }));
    const auto back = readSuperRackSprk (box.output);
    ASSERT_TRUE (back.ok) << back.error;
    EXPECT_EQ (back.session.strips[0].plugins[0].format, "AU");
}

TEST (SuperRackWriter, AChannelFedFromSeveralInputsKeepsItsMainInput)
{
    WriteSandbox box;
    auto s = proven (strip (0, "Spread"));
    s.routePatches.add ({ true, 0, 3 });
    s.routePatches.add ({ true, 0, 7 });
    s.routeInL = 7;
    const auto written = box.write (sourceOf ({ s }), catalog());
    ASSERT_TRUE (written.ok) << written.error;
    const auto back = readSuperRackSprk (box.output);
    ASSERT_TRUE (back.ok) << back.error;
    EXPECT_EQ (back.session.strips[0].routeInL, 7);
    EXPECT_EQ (back.session.strips[0].routePatches.size(), 2);
}

TEST (SuperRackWriter, RefusalsLeaveTheOutputTheTemplateAndTheFolderUntouched)
{
    using Setup = std::function<void (WriteSandbox&, RackReadResult&, juce::File& templateFile, juce::File& output)>;
    struct Case
    {
        const char* what;
        Setup setup;
        juce::String error;
    };
    const auto onTemplate = [] (const juce::String& sql)
    {
        return [sql] (WriteSandbox&, RackReadResult&, juce::File& t, juce::File&)
        {
            sqlite3* db = nullptr;
            sqlite3_open (t.getFullPathName().toRawUTF8(), &db);
            EXPECT_EQ (sqlite3_exec (db, sql.toRawUTF8(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg (db);
            sqlite3_close (db);
        };
    };
    const std::vector<Case> cases = {
        { "no template", [] (auto&, auto&, auto& t, auto&) { t = juce::File(); }, "SuperRack writer requires a verified 5.0.0.19 host-save base" },
        { "missing template", [] (auto&, auto&, auto& t, auto&) { t = t.getSiblingFile ("none.sprk"); },
          "SuperRack template path was provided but the file was not found" },
        { "output exists", [] (auto&, auto&, auto&, auto& o) { o.replaceWithText ("keep"); },
          "refusing to replace existing output: " },
        { "unsupported format", [] (auto&, auto& s, auto&, auto&) { s.session.strips.getReference (0).plugins.getReference (0).format = "CLAP"; },
          "RAPP preflight blocked SuperRack output" },
        { "strip index gap", [] (auto&, auto& s, auto&, auto&) { s.session.strips.getReference (0).index = 4; },
          "SuperRack output requires strip indices 0 to 0 without gaps or repeats" },
        { "63 chainers", onTemplate ("DELETE FROM chainer WHERE obj_id=1063; DELETE FROM object WHERE id=1063;"),
          "SuperRack template preflight failed: template input chainer count does not match target capacity" },
        { "missing parameter", onTemplate ("DELETE FROM chainer_params WHERE name='PARAM_IN_ON_OFF';"),
          "SuperRack template preflight failed: SuperRack template is missing chainer parameter PARAM_IN_ON_OFF" },
        { "doubled parameter", onTemplate ("INSERT INTO chainer_params(id,name) VALUES(99,'PARAM_OUTPUT_GAIN');"),
          "SuperRack template preflight failed: SuperRack template has duplicate chainer parameter PARAM_OUTPUT_GAIN" },
        { "no encoding", [] (auto&, auto& s, auto&, auto&) { s.session.strips.getReference (0).plugins.getReference (0).classId = unknownCid; },
          "template has no verified SuperRack metadata for Pro-Q 3 (" + unknownCid + ")" },
        { "soundgrid template", onTemplate ("UPDATE mixer_settings SET native_buffer_size=0; INSERT INTO device(device_gender,description) VALUES(0,'sgs');"),
          "SuperRack template is not a SuperRack Performer session (SuperRack SoundGrid)" },
        { "table to clear missing", onTemplate ("DROP TABLE hot_snapshots;"),
          "could not clear template session content: no such table: hot_snapshots" },
        { "foreign key orphan", onTemplate ("CREATE TABLE extra(id INTEGER PRIMARY KEY, obj INTEGER REFERENCES object(id)); INSERT INTO extra VALUES(1,77);"),
          "could not finalise SuperRack output: written .sprk failed SQLite foreign_key_check at table extra" },
        { "metadata above 64 MiB", [] (auto&, auto& s, auto&, auto&)
          {
              auto au = auSlot();
              au.state.raw.setSize (50331648, true); // base64 alone is 64 MiB
              s.session.strips.getReference (0).plugins.add (au);
          },
          "SuperRack converter metadata exceeds 64 MiB" },
        { "rate the host rounds", [] (auto&, auto& s, auto&, auto& o)
          {
              s.session.sampleRate = 44100.5;
              o = o.getSiblingFile ("new/deeper/show.sprk"); // folders made for it go again
          },
          "written SuperRack session failed converter reread validation: sample rate differs (source=44100.500, output=44101.000)" },
        { "opaque state", [] (auto&, auto& s, auto&, auto&) { s.session.strips.getReference (0).plugins.getReference (0).state.opaqueStatePending = true; },
          "written SuperRack state differs at strip 0, slot 0" },
        { "sample rate beyond the host's range", [] (auto&, auto& s, auto&, auto&) { s.session.sampleRate = 1e12; },
          "source sample rate cannot be represented by SuperRack" },
        // A template the reader reads partially is refused with the note that made it partial.
        { "template with a state that does not split",
          onTemplate ("UPDATE config_info SET num_tracks=1 WHERE track_type=0;"
                      "INSERT INTO plug(id,chainer_id,slot,plugin_name,vendor_name,plugin_4cc,additional_info,disabled,side_chain)"
                      " VALUES(1,1000,0,'EQ','Acme','','',0,0);"
                      "INSERT INTO plugin_preset(id,preset) VALUES(1,'not a preset');"
                      "INSERT INTO snapshot_plugin(plug_id,preset_id,snapshot_id,bypass,mute) VALUES(1,1,-1,0,0);"),
          utf8 ("SuperRack template is not completely readable: plugin.state - 1개 상태는 청크 분리 실패") },
        { "template that is a folder", [] (auto&, auto&, auto& t, auto& o) { t = o.getSiblingFile ("folder.sprk"); t.createDirectory(); },
          "SuperRack template is not completely readable: a folder, not a file: " },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        WriteSandbox box;
        auto s = proven (strip (0, "Kick"));
        s.plugins.add (vst3Slot (fabFilterCid, "Pro-Q 3", "FabFilter"));
        auto source = sourceOf ({ s });
        auto templateFile = box.base.file;
        auto output = box.output;
        c.setup (box, source, templateFile, output);
        const auto before = filesIn (box.outFolder.folder);
        const auto templateDigest = waves::fileSha256 (box.base.file);

        const auto written = writeSession (source, catalog(), templateFile, output);
        EXPECT_FALSE (written.ok);
        EXPECT_TRUE (written.error.startsWith (c.error)) << written.error;
        EXPECT_TRUE (written.notes.isEmpty());
        // Every refusal that does not depend on the output comes from the check as well, word for word.
        if (juce::String (c.what) != "output exists")
        {
            vorntest::PrivateTmp tmp;
            const auto checked = checkSession (source, catalog(), templateFile);
            EXPECT_FALSE (checked.ok);
            EXPECT_EQ (checked.error, written.error);
            EXPECT_TRUE (checked.notes.isEmpty());
            EXPECT_EQ (tmp.entries(), 0);
        }
        EXPECT_EQ (filesIn (box.outFolder.folder), before);
        EXPECT_EQ (filesIn (box.base.folder.folder), rows ({ "template.sprk" }));
        EXPECT_EQ (waves::fileSha256 (box.base.file), templateDigest);
    }
}

TEST (SuperRackWriter, AnUnfinishedTemplateSaveIsNotPartOfTheTemplate)
{
    for (const bool wal : { false, true })
    {
        SCOPED_TRACE (wal ? "write-ahead log" : "rollback journal");
        vorntest::SprkFixture base ("template.sprk");
        vorntest::makeSprkTemplate (base);
        if (wal)
            base.exec ("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
        vorntest::writeUnfinishedTransaction (base.handle, "DELETE FROM chainer WHERE obj_id=1063; DELETE FROM object WHERE id=1063;"
                                                           "DELETE FROM chainer_params WHERE name='PARAM_IN_ON_OFF';");
        vorntest::TempFolder out;
        const auto output = out.file ("show.sprk");
        auto s = proven (strip (0, "Kick"));
        s.bypassed = true;
        s.plugins.add (vst3Slot (fabFilterCid, "Pro-Q 3", "FabFilter"));
        vorntest::PrivateTmp tmp;
        const auto written = writeSession (sourceOf ({ s }), catalog(), base.file, output);
        ASSERT_TRUE (written.ok) << written.error;
        EXPECT_EQ (filesIn (out.folder), rows ({ "show.sprk" }));
        EXPECT_EQ (query (output, "SELECT count(*) FROM chainer c JOIN object o ON o.id=c.obj_id WHERE o.obj_type=0"), rows ({ "64" }));
        EXPECT_EQ (tmp.entries(), 0);
        base.exec ("ROLLBACK;");
    }
}

// The temporary file lies beside the output, whatever the output's name: a name starting with
// '~' once put it in the current folder, from where the final rename cannot reach an output on
// another file system.
TEST (SuperRackWriter, TheTemporaryLiesBesideAnOutputNamedWithATilde)
{
    const juce::File shm ("/dev/shm");
    struct stat here {}, there {};
    vorntest::TempFolder cwd;
    if (! shm.isDirectory() || ::stat (cwd.path().c_str(), &here) != 0 || ::stat ("/dev/shm", &there) != 0 || here.st_dev == there.st_dev)
        GTEST_SKIP() << "needs /dev/shm on a file system of its own";
    std::string pattern = "/dev/shm/vorntest-XXXXXX";
    ASSERT_NE (::mkdtemp (pattern.data()), nullptr);
    const juce::File outFolder (pattern);
    const auto previous = juce::File::getCurrentWorkingDirectory();
    ASSERT_TRUE (cwd.folder.setAsCurrentWorkingDirectory());

    WriteSandbox box;
    auto s = proven (strip (0, "Kick"));
    s.plugins.add (vst3Slot (fabFilterCid, "Pro-Q 3", "FabFilter"));
    const juce::File output (outFolder.getFullPathName() + "/~x.sprk"); // not getChildFile, which takes "~x" for a home folder
    const auto written = writeSession (sourceOf ({ s }), catalog(), box.base.file, output);
    EXPECT_TRUE (written.ok) << written.error;
    EXPECT_EQ (filesIn (outFolder), rows ({ "~x.sprk" }));
    EXPECT_EQ (filesIn (cwd.folder), juce::StringArray());

    previous.setAsCurrentWorkingDirectory();
    outFolder.deleteRecursively();
}

// What only the read-back finds is refused by the check (a plan) as by the write, with its reason.
TEST (SuperRackWriter, ARefusedReadBackNamesTheFirstDifference)
{
    struct Case
    {
        const char* what;
        std::function<void (RackReadResult&)> change;
        juce::String refusal;
    };
    const Case cases[] = {
        // A state still pending in the source cannot come back pending from a written session.
        { "a pending state", [] (RackReadResult& r) { r.session.strips.getReference (0).plugins.getReference (0).state.opaqueStatePending = true; },
          "written SuperRack state differs at strip 0, slot 0: strip 0, slot 0.state.opaqueStatePending: true != false" },
        // A session stores whole sample rates only.
        { "a fractional sample rate", [] (RackReadResult& r) { r.session.sampleRate = 48000.4; },
          "written SuperRack session failed converter reread validation: sample rate differs (source=48000.400, output=48000.000)" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        WriteSandbox box;
        auto s = proven (strip (0, "Kick"));
        s.plugins.add (vst3Slot (fabFilterCid, "Pro-Q 3", "FabFilter"));
        auto source = sourceOf ({ s });
        c.change (source);

        const auto written = box.write (source, catalog());
        EXPECT_FALSE (written.ok);
        EXPECT_EQ (written.error, c.refusal);
        EXPECT_TRUE (written.notes.isEmpty());
        EXPECT_TRUE (filesIn (box.outFolder.folder).isEmpty());
        vorntest::PrivateTmp tmp;
        const auto checked = checkSession (source, catalog(), box.base.file);
        EXPECT_EQ (checked.error, c.refusal);
        EXPECT_EQ (checked.compared != nullptr, written.compared != nullptr);
    }
}
