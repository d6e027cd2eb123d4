// The native Waves transfer through the real program, one row per case: the selection report is
// taken with --waves-selection-report, edited as a user would, and handed to --waves-convert.
// Every row ends in the output holding what was selected (and the note naming what was not), or
// in a refusal naming the channel, plug-in or key; the inputs are never changed and a refusal
// leaves nothing behind.

#include "WavesFixture.h"

#include "model/JsonWriter.h"
#include "waves/WavesSessionTransfer.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cctype>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

using vornconv::waves::genericChannelName;

const char* const lv1Note = "Native Waves preset payloads and active bypass/mute values were copied exactly. Only physical I/O routes are "
                            "translated; LV1 mixer-only bus feed, trim, and pan have no verified SuperRack equivalent. Target-host "
                            "load/save validation is still required.";
const char* const soundGridNote = "Native Waves preset payloads and active bypass/mute values were copied exactly. Only physical I/O "
                                  "routes are translated; SuperRack channel parameters have no verified LV1 equivalent. Target-host "
                                  "load/save validation is still required.";
// The LV1 show's hot plug-ins, which no transfer carries.
const char* const lv1Hot = "2 hot plug-in assignments of the source were not carried: hot plug-in 1 \"EQ\" (Input 1, slot 0), hot plug-in 2 "
                           "\"Comp\" (Input 1, slot 1).";
// What the templates' own channels lose: their names, their plug-in and hot plug-ins.
const char* const soundGridTemplateLost = "64 channels of the host-save template lost content of their own: 64 names were replaced (by the "
                                          "transferred channel's name or the generic one); 1 plug-in and 2 hot plug-in assignments were cleared.";
const char* const lv1TemplateLost = "18 channels of the host-save template lost content of their own: 18 names were replaced (by the "
                                    "transferred channel's name or the generic one); 1 plug-in and 2 hot plug-in assignments were cleared.";

// LV1 show: inputs 1..8 ("Kick", "Snare", "In3".."In8"), auxes 1..4, groups 1..2, matrices 1..4;
// five plug-ins (Kick: EQ@0 and Comp@1 sharing EQ's preset, Snare: C1@0, Aux 1: Verb@0,
// Matrix 1: Q10@0); physical in 3 -> Kick, Kick -> physical out 1, Snare -> Group 1.
void buildLv1Show (vorntest::WavesFixture& f)
{
    f.addChannels (0, 8, "In");
    f.addChannels (2, 4, "Aux");
    f.addChannels (1, 2, "Grp");
    f.addChannels (6, 4, "Mtx", false);
    f.exec ("UPDATE snapshot_chainer SET name='Kick' WHERE chainer_id=1000; UPDATE snapshot_chainer SET name='Snare' WHERE chainer_id=1001;");
    f.addPlug (5, 0, 0, 0, "EQ");
    f.addPlug (6, 0, 0, 1, "Comp", 5);
    f.addPlug (7, 0, 1, 0, "C1");
    f.addPlug (8, 2, 0, 0, "Verb");
    f.addPlug (9, 6, 0, 0, "Q10");
    f.addRoute (1, 10, 2, 0, 0, 3);
    f.addRoute (2, 0, 0, 11, 0, 1);
    f.addRoute (3, 0, 1, 1, 0, 0);
}

// SoundGrid template: 64 rack channels "T1".."T64" (object ids 6000 + rack) with a plug-in of its own.
void buildSoundGridTemplate (vorntest::WavesFixture& f)
{
    f.base = 5000;
    f.addChannels (0, 64, "T");
    f.addPlug (77, 0, 3, 0, "Old");
}

// SoundGrid show: rack channels 1..8 ("Kick", "Snare", "R3".."R8"); Kick: EQ@0, Comp@1; Snare:
// C1@0; physical in 1 -> Kick, Snare -> physical out 5.
void buildSoundGridShow (vorntest::WavesFixture& f)
{
    f.addChannels (0, 8, "R");
    f.exec ("UPDATE snapshot_chainer SET name='Kick' WHERE chainer_id=1000; UPDATE snapshot_chainer SET name='Snare' WHERE chainer_id=1001;");
    f.addPlug (30, 0, 0, 0, "EQ");
    f.addPlug (31, 0, 0, 1, "Comp");
    f.addPlug (32, 0, 1, 0, "C1");
    f.addRoute (1, 10, 0, 0, 0, 2);
    f.addRoute (2, 0, 1, 11, 0, 5);
    f.exec ("UPDATE snapshot_hot_plugins SET hp_1_plug_id=-1,hp_2_plug_id=-1;");
}

// LV1 template: an LV1 show of 8 inputs (ids 1100 + index), 4 auxes (3100 + index), 2 groups
// (2100 + index) and 4 matrices (7100 + index), with a plug-in of its own.
void buildLv1Template (vorntest::WavesFixture& f)
{
    f.base = 100;
    f.addChannels (0, 8, "L");
    f.addChannels (2, 4, "A");
    f.addChannels (1, 2, "G");
    f.addChannels (6, 4, "M", false);
    f.addPlug (88, 0, 0, 0, "Old");
}

juce::var& channelAt (juce::var& doc, int i)
{
    return doc["channels"].getArray()->getReference (i);
}

juce::var& pluginAt (juce::var& doc, int channel, int plugin)
{
    return channelAt (doc, channel)["plugins"].getArray()->getReference (plugin);
}

void set (juce::var& object, const char* key, const juce::var& value)
{
    object.getDynamicObject()->setProperty (key, value);
}

// A channel moved with every field that names its destination.
void toRack (juce::var& doc, int channel, int rack)
{
    auto& c = channelAt (doc, channel);
    set (c, "targetIndex", rack);
    set (c, "destinationIndex", rack);
    set (c, "destinationName", genericChannelName (0, rack));
}

// Toward LV1: a channel given another destination, with every field that names it (targetIndex
// repeats destinationIndex).
void toChannel (juce::var& doc, int channel, int type, int index)
{
    auto& c = channelAt (doc, channel);
    set (c, "targetIndex", index);
    set (c, "destinationType", type);
    set (c, "destinationIndex", index);
    set (c, "destinationName", genericChannelName (type, index));
}

// Where a piece of the one-line selection stands, as the refusal gives it.
juce::String at (const juce::String& text, const juce::String& piece, int from = 0)
{
    return " at line 1, column " + juce::String (text.indexOf (from, piece) + 1);
}

using Query = std::pair<const char*, juce::StringArray>;

// The files of a run and the selection's text, for the lines that name them.
struct RunFiles
{
    juce::String text;
    juce::File source, selection, hostTemplate, output;
};

// Every line a run prints.
using Lines = std::function<juce::StringArray (const RunFiles&)>;

struct TransferCase
{
    const char* name;
    bool toLv1;
    juce::String sourceSql, templateSql;
    std::function<void (juce::var&)> edit;                     // on the report
    std::function<juce::String (const juce::String&)> rewrite; // on the selection's text
    // Applied to the source after the report; with craft, the selection is given the new
    // fingerprint, as a user who computes it would.
    juce::String afterReportSql;
    bool craft = false;
    Lines lines;
    std::vector<Query> queries; // on the output
    std::function<void (const juce::var& report)> checkReport;
    const char* outputFolder = nullptr; // a folder of the output that does not exist
};

Lines printed (const juce::StringArray& lines)
{
    return [lines] (const RunFiles&) { return lines; };
}

Lines refused (const juce::String& error)
{
    return printed ({ "ERROR   " + error });
}

// A refusal about one file of the run: it names the file, after the option that gave it.
Lines refusedFor (juce::File RunFiles::*file, const char* option, const juce::String& error)
{
    return [file, option, error] (const RunFiles& run) {
        return juce::StringArray ("ERROR   " + juce::String (option) + error + " (in " + (run.*file).getFullPathName() + ")");
    };
}

Lines selectionRefused (const juce::String& error)
{
    return refusedFor (&RunFiles::selection, "--selection: ", error);
}

// A refusal of what the selection says at a place in its text (at (text, ...) gives where).
Lines selectionRefusedAt (const std::function<juce::String (const juce::String& text)>& error)
{
    return [error] (const RunFiles& run) { return selectionRefused (error (run.text)) (run); };
}

juce::String ok (int channels, int plugins, int routes)
{
    return "OK      Waves candidate created: " + juce::String (channels) + " channels, " + juce::String (plugins) + " plug-ins, "
           + juce::String (routes) + " physical routes";
}

// A source of 64 inputs "In1".."In64" (the show's first eight and 56 more), so that its auxes,
// groups and matrices lie beyond what a transfer carries.
const char* const sixtyFourInputs =
    "UPDATE config_info SET num_tracks=64 WHERE track_type=0;"
    "WITH RECURSIVE c(i) AS (SELECT 8 UNION ALL SELECT i+1 FROM c WHERE i<63) INSERT INTO object(id,obj_type,obj_index,name) SELECT 1000+i,0,i,'' FROM c;"
    "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name,preset_name,selected_slot) SELECT id,-1,'In'||(obj_index+1),'',1 FROM object WHERE obj_type=0 AND obj_index>=8;";

// Layout rows (chainer) of every channel of a session, stereo as a host saves them.
const char* const layouts = "CREATE TABLE chainer(id INTEGER PRIMARY KEY, obj_id INTEGER UNIQUE REFERENCES object(id), num_inputs INTEGER DEFAULT 2, "
                            "num_outputs INTEGER DEFAULT 2, input_stem_format INTEGER DEFAULT 101, output_stem_format INTEGER DEFAULT 101);"
                            "INSERT INTO chainer(obj_id) SELECT id FROM object;";
// The plug-ins refer to their channel's layout row, as a host's schema can have it.
const char* const plugsOnLayouts =
    "PRAGMA legacy_alter_table=ON; ALTER TABLE plug RENAME TO plug_old;"
    "CREATE TABLE plug(id INTEGER PRIMARY KEY, chainer_id INTEGER REFERENCES chainer(obj_id), slot INTEGER, plugin_name TEXT, plugin_4cc TEXT, "
    "additional_info TEXT, disabled INTEGER DEFAULT 0, recall_safe INTEGER DEFAULT 0, side_chain INTEGER DEFAULT 0, hot_plugin INTEGER DEFAULT -1, "
    "vendor_name TEXT, plug_role INTEGER DEFAULT 0, ignore_latency INTEGER DEFAULT 0);"
    "INSERT INTO plug SELECT * FROM plug_old; DROP TABLE plug_old; PRAGMA legacy_alter_table=OFF;";
// The scope of each channel in the active snapshot.
const char* const scopes = "ALTER TABLE snapshot_chainer ADD COLUMN ch_scope_type_id INTEGER; ALTER TABLE snapshot_chainer ADD COLUMN in_scope INTEGER;";
// Columns a newer host adds to the tables a channel's rows live in.
const char* const newerColumns = "ALTER TABLE plug ADD COLUMN plugin_version TEXT; ALTER TABLE snapshot_plugin ADD COLUMN preset_version INTEGER;"
                                 "ALTER TABLE snapshot_chainer ADD COLUMN color INTEGER; ALTER TABLE routes ADD COLUMN gain REAL;";
const char* const hotPlugs = "CREATE TABLE hot_plug(id INTEGER PRIMARY KEY, plug_id INTEGER REFERENCES plug(id));";

// A table declared anew with columns (its values kept, and the keys of other tables still naming it).
juce::String declaredAnew (const char* table, const char* columns)
{
    const juce::String t (table);
    return "PRAGMA legacy_alter_table=ON; ALTER TABLE " + t + " RENAME TO " + t + "_old; CREATE TABLE " + t + "(" + columns + "); INSERT INTO " + t
           + " SELECT * FROM " + t + "_old; DROP TABLE " + t + "_old; PRAGMA legacy_alter_table=OFF;";
}

// The active rows' table declared anew with columns (their values kept).
juce::String activeRowsDeclared (const char* columns)
{
    return declaredAnew ("snapshot_chainer", columns);
}

// The tables a channel's rows live in as a source without declared column types holds them.
const char* const untypedActiveRows = "id, chainer_id, snapshot_id, name, preset_name, selected_slot";
const char* const untypedStates = "id INTEGER PRIMARY KEY, plug_id, preset_id, snapshot_id, setup_type_id DEFAULT -1, bypass DEFAULT 0, mute DEFAULT 0, "
                                  "docked DEFAULT 1, fw_posx DEFAULT 0, fw_posy DEFAULT 0, fw_scale_precentage DEFAULT 100, fw_always_on_top DEFAULT 0";
const char* const untypedPlugs = "id INTEGER PRIMARY KEY, chainer_id, slot, plugin_name, plugin_4cc, additional_info, disabled DEFAULT 0, "
                                 "recall_safe DEFAULT 0, side_chain DEFAULT 0, hot_plugin DEFAULT -1, vendor_name, plug_role DEFAULT 0, "
                                 "ignore_latency DEFAULT 0";
const char* const untypedRoutes = "id INTEGER PRIMARY KEY, src_cluster_type, src_cluster_type_index, src_section_type, src_section_index, "
                                  "src_channel_index, src_control_id, src_asgn_type, dst_cluster_type, dst_cluster_type_index, dst_section_type, "
                                  "dst_section_index, dst_channel_index, dst_control_id, dst_asgn_type, status";
const char* const untypedParameters = "id INTEGER PRIMARY KEY, chainer_id, snapshot_id, param_id, param_value";
const char* const untypedHotPlugins = "id INTEGER PRIMARY KEY, snapshot_id, hp_1_plug_id, hp_2_plug_id, hp_3_plug_id, hp_4_plug_id, hp_5_plug_id, "
                                      "hp_6_plug_id, hp_7_plug_id, hp_8_plug_id, hp_9_plug_id, hp_10_plug_id, hp_11_plug_id, hp_12_plug_id";

std::vector<TransferCase> transferCases()
{
    const juce::String mismatch = "Waves selection schema is invalid: ";
    std::vector<TransferCase> cases;

    //==========================================================================
    // eMotion LV1 -> SuperRack SoundGrid
    {
        TransferCase c { "lv1 as proposed", false };
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT chainer_id,name,selected_slot FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id IN (6000,6001,6008,6014,6018) ORDER BY 1",
                        { "6000|Kick|1", "6001|Snare|1", "6008|Aux1|1", "6014|Mtx1|1", "6018|Input 19|1" } },
                      { "SELECT id,chainer_id,slot,plugin_name FROM plug ORDER BY id",
                        { "5|6000|0|EQ", "6|6000|1|Comp", "7|6001|0|C1", "8|6008|0|Verb", "9|6014|0|Q10" } },
                      { "SELECT id,ref_count FROM plugin_preset ORDER BY id", { "5|2", "7|1", "8|1", "9|1" } },
                      { "SELECT src_cluster_type,src_cluster_type_index,dst_cluster_type,dst_cluster_type_index FROM routes ORDER BY id",
                        { "10|2|0|0", "0|0|11|0" } },
                      { "SELECT hp_1_plug_id,hp_2_plug_id FROM snapshot_hot_plugins", { "-1|-1" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "lv1 channel moved with every field naming it", false };
        c.edit = [] (juce::var& d) {
            for (int i = 2; i < 18; ++i)
                set (channelAt (d, i), "selected", false);
            toRack (d, 0, 40);
        };
        c.lines = printed ({ ok (2, 3, 2), lv1Note, lv1Hot,
                             "16 source channels were not selected and not carried: Input 3 \"In3\", Input 4 \"In4\", Input 5 \"In5\", Input 6 "
                             "\"In6\", Input 7 \"In7\", Input 8 \"In8\", Aux 1 \"Aux1\", Aux 2 \"Aux2\", Aux 3 \"Aux3\", Aux 4 \"Aux4\", Group 1 "
                             "\"Grp1\", Group 2 \"Grp2\", Matrix 1 \"Mtx1\", Matrix 2 \"Mtx2\", Matrix 3 \"Mtx3\", Matrix 4 \"Mtx4\".",
                             "2 source plug-ins were not selected and not carried: \"Verb\" (Aux 1, slot 0), \"Q10\" (Matrix 1, slot 0).",
                             soundGridTemplateLost });
        c.queries = { { "SELECT chainer_id,slot FROM plug ORDER BY id", { "6040|0", "6040|1", "6001|0" } },
                      { "SELECT name FROM snapshot_chainer WHERE chainer_id IN (6000,6040) ORDER BY chainer_id", { "Input 1", "Kick" } } };
        cases.push_back (c);
    }
    {
        // 64 inputs fill the rack; the auxes (one with a reverb), groups and matrices are named.
        TransferCase c { "channels beyond the rack", false };
        c.sourceSql = sixtyFourInputs;
        c.lines = printed ({ ok (64, 3, 2), lv1Note, lv1Hot,
                             "10 source channels were not selected and not carried: Aux 1 \"Aux1\", Aux 2 \"Aux2\", Aux 3 \"Aux3\", Aux 4 \"Aux4\", "
                             "Group 1 \"Grp1\", Group 2 \"Grp2\", Matrix 1 \"Mtx1\", Matrix 2 \"Mtx2\", Matrix 3 \"Mtx3\", Matrix 4 \"Mtx4\".",
                             "2 source plug-ins were not selected and not carried: \"Verb\" (Aux 1, slot 0), \"Q10\" (Matrix 1, slot 0).",
                             soundGridTemplateLost });
        c.queries = { { "SELECT count(*) FROM plug WHERE plugin_name='Verb'", { "0" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "swapped plug-ins keep their selection", false };
        c.edit = [] (juce::var& d) {
            set (pluginAt (d, 0, 0), "targetSlot", 1);
            set (pluginAt (d, 0, 1), "targetSlot", 0);
        };
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT id,slot FROM plug WHERE chainer_id=6000 ORDER BY id", { "5|1", "6|0" } },
                      { "SELECT selected_slot FROM snapshot_chainer WHERE chainer_id=6000 AND snapshot_id=-1", { "0" } } };
        cases.push_back (c);
    }
    {
        // The selected plug-in sits in slot 9: the report renumbers the channel into the rack.
        TransferCase c { "selected plug-in moved into the rack", false };
        c.sourceSql = "INSERT INTO plug(id,chainer_id,slot,plugin_name,vendor_name) VALUES(10,1000,9,'Late','Waves');"
                      "INSERT INTO plugin_preset(id,hash,ref_count,preset) VALUES(10,'h10',1,X'0A');"
                      "INSERT INTO snapshot_plugin(id,plug_id,preset_id,snapshot_id) VALUES(510,10,10,-1);"
                      "UPDATE snapshot_chainer SET selected_slot=9 WHERE chainer_id=1000;";
        c.checkReport = [] (const juce::var& report) { EXPECT_TRUE ((bool) report["channels"][0]["pluginOverflow"]); };
        c.lines = printed ({ ok (18, 6, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT id,slot FROM plug WHERE chainer_id=6000 ORDER BY id", { "5|0", "6|1", "10|2" } },
                      { "SELECT selected_slot FROM snapshot_chainer WHERE chainer_id=6000 AND snapshot_id=-1", { "2" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "selected plug-in left out", false };
        c.edit = [] (juce::var& d) { set (pluginAt (d, 0, 1), "selected", false); };
        c.lines = printed ({ ok (18, 4, 2), lv1Note, lv1Hot,
                             "1 channel selects another slot than in the source, since the plug-in or slot selected there was not carried: Input 1 "
                             "(slot 1, now slot 0).",
                             "1 source plug-in was not selected and not carried: \"Comp\" (Input 1, slot 1).", soundGridTemplateLost });
        c.queries = { { "SELECT selected_slot FROM snapshot_chainer WHERE chainer_id=6000 AND snapshot_id=-1", { "0" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "lv1 channel parameters", false };
        c.sourceSql = "INSERT INTO chainer_params(id,name) VALUES(1,'PARAM_OUTPUT_GAIN'),(2,'PARAM_IN_ON_OFF');"
                      "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,1,-6),(1000,-1,2,0),(1004,-1,1,-2);";
        c.lines = printed ({ ok (18, 5, 2),
                             juce::String (lv1Note).replace ("SuperRack equivalent.",
                                                             "SuperRack equivalent, and 3 LV1 channel parameter values of the transferred "
                                                             "channels (PARAM_IN_ON_OFF, PARAM_OUTPUT_GAIN) were not carried."),
                             lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT count(*) FROM snapshot_chainer_params", { "0" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "template rack channel without its active row", false };
        c.templateSql = "DELETE FROM snapshot_chainer WHERE chainer_id=6005 AND snapshot_id=-1;";
        c.lines = refused ("Waves host-save template has no active-snapshot row for Input 6 (snapshot_chainer); the channel's name, preset "
                           "name and selected slot would be lost");
        cases.push_back (c);
    }
    {
        // A trigger of the template would rename every copied plug-in and invert every bypass.
        TransferCase c { "template with triggers", false };
        c.templateSql = "CREATE TRIGGER tr AFTER INSERT ON plug BEGIN UPDATE plug SET plugin_name='HIJACK' WHERE id=NEW.id; END;"
                        "CREATE TRIGGER flip AFTER INSERT ON snapshot_plugin BEGIN UPDATE snapshot_plugin SET bypass=1-bypass WHERE id=NEW.id; END;";
        c.lines = refusedFor (&RunFiles::hostTemplate, "--template: ", "Waves host-save template is not a host save: it holds trigger \"tr\" (on \"plug\"), trigger \"flip\" (on "
                           "\"snapshot_plugin\"); a host saves tables and their indexes only");
        cases.push_back (c);
    }
    {
        TransferCase c { "template with a view and a virtual table", false };
        c.templateSql = "CREATE VIEW named AS SELECT name FROM snapshot_chainer; CREATE VIRTUAL TABLE places USING rtree(id, x0, x1);";
        c.lines = refusedFor (&RunFiles::hostTemplate, "--template: ", "Waves host-save template is not a host save: it holds view \"named\", virtual table \"places\"; a host saves "
                           "tables and their indexes only");
        cases.push_back (c);
    }
    {
        // The template's hot plug-in row points at its plug-in: it goes first.
        TransferCase c { "template with a hot plug-in", false };
        c.templateSql = "CREATE TABLE hot_plug(id INTEGER PRIMARY KEY, plug_id INTEGER REFERENCES plug(id)); INSERT INTO hot_plug(plug_id) VALUES(77);";
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, juce::String (soundGridTemplateLost).replace ("2 hot plug-in", "3 hot plug-in") });
        c.queries = { { "SELECT count(*) FROM hot_plug", { "0" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "template table of its own pointing at its plug-in", false };
        c.templateSql = "CREATE TABLE plug_notes(id INTEGER PRIMARY KEY, plug_id INTEGER REFERENCES plug(id)); INSERT INTO plug_notes(plug_id) VALUES(77);";
        c.lines = refused ("Waves host-save template cannot be emptied: its table \"plug_notes\" holds 1 row that refers to \"plug\", which the "
                           "transfer empties");
        cases.push_back (c);
    }
    {
        // Its states belong to the active snapshot, as a host's schema says.
        TransferCase c { "template without its active snapshot row", false };
        c.templateSql = "DROP TABLE snapshot_plugin; CREATE TABLE snapshot_plugin(id INTEGER PRIMARY KEY, plug_id INTEGER REFERENCES plug(id), "
                        "preset_id INTEGER REFERENCES plugin_preset(id), snapshot_id INTEGER REFERENCES snapshot(id), setup_type_id INTEGER DEFAULT -1, "
                        "bypass INTEGER DEFAULT 0, mute INTEGER DEFAULT 0, docked INTEGER DEFAULT 1, fw_posx INTEGER DEFAULT 0, fw_posy INTEGER DEFAULT 0, "
                        "fw_scale_precentage INTEGER DEFAULT 100, fw_always_on_top INTEGER DEFAULT 0);"
                        "DELETE FROM snapshot WHERE id=-1;";
        c.lines = refused ("Waves host-save template has no active snapshot row");
        cases.push_back (c);
    }
    {
        TransferCase c { "second active setup of a plug-in", false };
        c.sourceSql = "INSERT INTO snapshot_plugin(id,plug_id,preset_id,snapshot_id,setup_type_id) VALUES(950,5,5,-1,1);";
        c.lines = printed ({ ok (18, 5, 2),
                             juce::String (lv1Note).replace ("copied exactly.", "copied exactly, except the second active states named below."),
                             "Active states of a second setup (setup_type_id other than -1) were not carried: \"EQ\" (Input 1, slot 0) setup 1.",
                             lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT plug_id,setup_type_id FROM snapshot_plugin ORDER BY id", { "5|-1", "6|-1", "7|-1", "8|-1", "9|-1" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "snapshots of source and template", false };
        c.sourceSql = "INSERT INTO snapshot(id,number,name,info) VALUES(1,1,'Song',''),(2,2,'Outro','');"
                      "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1000,1,'Kick song');";
        c.templateSql = "INSERT INTO snapshot(id,number,name,info) VALUES(4,1,'Song',''),(5,2,'Spare','');"
                        "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(6000,4,'other'),(6040,5,'spare');";
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost,
                             "Source snapshots were not carried: \"Song\" (number 1), \"Outro\" (number 2).",
                             "Host-save template snapshots were kept with the template's values on the transferred channels (recalling one "
                             "undoes the transfer there): \"Song\" (number 1)." });
        c.queries = { { "SELECT snapshot_id,name FROM snapshot_chainer WHERE chainer_id=6000 ORDER BY snapshot_id", { "-1|Kick", "4|other" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "lv1 recall-safe and hot plug-in flags", false };
        c.sourceSql = "UPDATE plug SET recall_safe=1 WHERE id=5; UPDATE plug SET hot_plugin=3 WHERE id=8;";
        c.lines = printed ({ ok (18, 5, 2), lv1Note,
                             "Recall-safe or hot-plug-in flags of 2 plug-ins were reset (recall_safe 0, hot_plugin -1): \"EQ\" (Input 1, slot 0), "
                             "\"Verb\" (Aux 1, slot 0).",
                             lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT id,recall_safe,hot_plugin FROM plug WHERE id IN (5,8) ORDER BY id", { "5|0|-1", "8|0|-1" } } };
        cases.push_back (c);
    }
    {
        // Input 3 has an empty active name: it shows and takes the generic name of where it goes,
        // here as the README moves it (name given the new destination's name). Input 4 has no
        // active name: its object's name stands, in the report and the output.
        TransferCase c { "lv1 channels without a name", false };
        c.sourceSql = "UPDATE snapshot_chainer SET name='' WHERE chainer_id=1002; UPDATE object SET name='obj0_2' WHERE id=1002;"
                      "UPDATE snapshot_chainer SET name=NULL WHERE chainer_id=1003; UPDATE object SET name='obj0_3' WHERE id=1003;";
        c.checkReport = [] (const juce::var& report) {
            EXPECT_EQ (report["channels"][2]["name"].toString(), "Input 3");
            EXPECT_EQ (report["channels"][3]["name"].toString(), "obj0_3");
        };
        c.edit = [] (juce::var& d) {
            toRack (d, 2, 20);
            set (channelAt (d, 2), "name", "Input 21");
        };
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot,
                             "1 channel has no name in the source and got the generic name of its destination: Input 3 as \"Input 21\".",
                             soundGridTemplateLost });
        c.queries = { { "SELECT chainer_id,name FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id IN (6002,6003,6020) ORDER BY 1",
                        { "6002|Input 3", "6003|obj0_3", "6020|Input 21" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "channel without a name moved, its name left out", false };
        c.sourceSql = "UPDATE snapshot_chainer SET name='' WHERE chainer_id=1002;";
        c.edit = [] (juce::var& d) {
            toRack (d, 2, 20);
            channelAt (d, 2).getDynamicObject()->removeProperty ("name");
        };
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot,
                             "1 channel has no name in the source and got the generic name of its destination: Input 3 as \"Input 21\".",
                             soundGridTemplateLost });
        c.queries = { { "SELECT name FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id=6020", { "Input 21" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "channel without a name moved with its old name", false };
        c.sourceSql = "UPDATE snapshot_chainer SET name='' WHERE chainer_id=1002;";
        c.edit = [] (juce::var& d) { toRack (d, 2, 20); };
        c.lines = selectionRefused ("Waves selection channels[2] (Input 3): name \"Input 3\" disagrees with the name the channel gets, the generic name of "
                           "its destination \"Input 21\"; give it that name or leave name out");
        cases.push_back (c);
    }
    {
        TransferCase c { "misspelled key", false };
        c.edit = [] (juce::var& d) {
            channelAt (d, 2).getDynamicObject()->removeProperty ("selected");
            set (channelAt (d, 2), "selectd", false);
        };
        c.lines = selectionRefusedAt ([mismatch] (const juce::String& text) {
            return mismatch + "unknown key \"selectd\" in channels[2]" + at (text, "\"selectd\"");
        });
        cases.push_back (c);
    }
    {
        TransferCase c { "selected flag on a plug-in that cannot be transferred", false };
        c.sourceSql = "INSERT INTO object(id,obj_type,obj_index,name) VALUES(1020,0,20,'');"
                      "INSERT INTO plug(id,chainer_id,slot,plugin_name,vendor_name) VALUES(40,1020,0,'Far','Waves');";
        c.edit = [] (juce::var& d) { set (d["notTransferable"].getArray()->getReference (0), "selected", true); };
        c.lines = selectionRefusedAt ([mismatch] (const juce::String& text) {
            return mismatch + "unknown key \"selected\" in notTransferable[0]" + at (text, "\"selected\"", text.indexOf ("\"notTransferable\""));
        });
        cases.push_back (c);
    }
    {
        TransferCase c { "output folder that does not exist", false };
        c.outputFolder = "gone";
        c.lines = [] (const RunFiles& run) {
            return juce::StringArray ("ERROR   --output: Could not create the Waves output beside " + run.output.getFullPathName()
                                      + ": No such file or directory");
        };
        cases.push_back (c);
    }
    {
        TransferCase c { "text after the document", false };
        c.rewrite = [] (const juce::String& text) { return text + " garbage}}"; };
        c.lines = selectionRefusedAt ([mismatch] (const juce::String& text) { return mismatch + "text after the JSON document" + at (text, "garbage"); });
        cases.push_back (c);
    }
    {
        TransferCase c { "two documents", false };
        c.rewrite = [] (const juce::String& text) { return text + text; };
        c.lines = selectionRefusedAt ([mismatch] (const juce::String& text) {
            return mismatch + "a second JSON document at line 1, column " + juce::String (text.length() / 2 + 1);
        });
        cases.push_back (c);
    }
    {
        TransferCase c { "repeated targetIndex", false };
        c.rewrite = [] (const juce::String& text) {
            return text.replaceFirstOccurrenceOf ("\"targetIndex\": 0,", "\"targetIndex\": 0, \"targetIndex\": 40,");
        };
        c.lines = selectionRefusedAt ([mismatch] (const juce::String& text) {
            return mismatch + "duplicate key \"targetIndex\"" + at (text, "\"targetIndex\": 40");
        });
        cases.push_back (c);
    }
    {
        TransferCase c { "leading zero", false };
        c.rewrite = [] (const juce::String& text) { return text.replaceFirstOccurrenceOf ("\"targetIndex\": 1,", "\"targetIndex\": 01,"); };
        c.lines = selectionRefusedAt ([mismatch] (const juce::String& text) {
            return mismatch + "number with a leading zero" + at (text, "01,", text.indexOf ("\"targetIndex\": 01"));
        });
        cases.push_back (c);
    }
    {
        TransferCase c { "plug-in entry that is not an object", false };
        c.edit = [] (juce::var& d) { channelAt (d, 0)["plugins"].getArray()->add (3); };
        c.lines = selectionRefused (mismatch + "channels[0].plugins[2] is not an object");
        cases.push_back (c);
    }
    {
        TransferCase c { "destinationIndex edited alone", false };
        c.edit = [] (juce::var& d) { set (channelAt (d, 0), "destinationIndex", 40); };
        c.lines = selectionRefused ("Waves selection channels[0] (Input 1): destinationIndex 40 disagrees with targetIndex 0; toward SuperRack "
                           "SoundGrid the destination is the rack channel targetIndex");
        cases.push_back (c);
    }
    {
        TransferCase c { "channel renamed in the selection", false };
        c.edit = [] (juce::var& d) { set (channelAt (d, 1), "name", "Snare top"); };
        c.lines = selectionRefused ("Waves selection channels[1] (Input 2): name \"Snare top\" disagrees with the source channel's name \"Snare\"");
        cases.push_back (c);
    }
    {
        TransferCase c { "destinationSlot edited toward SoundGrid", false };
        c.edit = [] (juce::var& d) { set (pluginAt (d, 0, 1), "destinationSlot", 5); };
        c.lines = selectionRefused ("Waves selection channels[0] (Input 1) plugins[1] (slot 1): destinationSlot 5 disagrees with targetSlot 1; "
                           "toward SuperRack SoundGrid the destination is the rack slot targetSlot");
        cases.push_back (c);
    }
    {
        TransferCase c { "two active rows for one channel", false };
        c.sourceSql = "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1001,-1,'Snare 2');";
        c.lines = refusedFor (&RunFiles::source, "", "Waves source holds 2 active-snapshot rows for Input 2 (snapshot_chainer); nothing tells which one is meant");
        cases.push_back (c);
    }
    {
        TransferCase c { "two active rows in a crafted selection", false };
        c.afterReportSql = "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1001,-1,'Snare 2');";
        c.craft = true;
        c.lines = refused ("Waves source holds 2 active-snapshot rows for Input 2 (snapshot_chainer); nothing tells which one is meant");
        cases.push_back (c);
    }
    {
        TransferCase c { "two objects for one input in a crafted selection", false };
        c.afterReportSql = "INSERT INTO object(id,obj_type,obj_index,name) VALUES(1999,0,1,'');";
        c.craft = true;
        c.lines = refused ("Waves source holds 2 channel objects for Input 2; nothing tells which one is meant");
        cases.push_back (c);
    }
    {
        TransferCase c { "seventy-two channels selected", false };
        c.sourceSql = "UPDATE config_info SET num_tracks=62 WHERE track_type=0;"
                      "WITH RECURSIVE c(i) AS (SELECT 8 UNION ALL SELECT i+1 FROM c WHERE i<61) INSERT INTO object(id,obj_type,obj_index,name) SELECT 1000+i,0,i,'' FROM c;"
                      "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name,preset_name,selected_slot) SELECT id,-1,'In'||(obj_index+1),'',1 FROM object WHERE obj_type=0 AND obj_index>=8;";
        c.edit = [] (juce::var& d) {
            for (auto& channel : *d["channels"].getArray())
                set (channel, "selected", true);
        };
        c.lines = selectionRefused ("Select between 1 and 64 Waves channels: the selection selects 72, and the host-save template holds 64 Input channels");
        cases.push_back (c);
    }
    {
        TransferCase c { "sidechained plug-in", false };
        c.sourceSql = "INSERT INTO plug_sidechain(plug_id,TrackHandle) VALUES(7,2);";
        c.lines = refused ("Selected Waves plug-ins use sidechain routing that has not been host-validated for this direction: \"C1\" (Input 2, slot 0)");
        cases.push_back (c);
    }
    {
        TransferCase c { "plug-in without its active state", false };
        c.sourceSql = "DELETE FROM snapshot_plugin WHERE id=507;";
        c.lines = refused ("A selected Waves plug-in has no unique active state: \"C1\" (Input 2, slot 0) has 0 active states");
        cases.push_back (c);
    }
    {
        TransferCase c { "two channels on one rack channel", false };
        c.edit = [] (juce::var& d) { toRack (d, 1, 0); };
        c.lines = selectionRefused ("Waves selection channel mapping is invalid or duplicated: channels[0] (Input 1 \"Kick\") and channels[1] (Input 2 "
                           "\"Snare\") both go to Input 1");
        cases.push_back (c);
    }
    {
        TransferCase c { "two plug-ins on one slot", false };
        c.edit = [] (juce::var& d) { set (pluginAt (d, 0, 1), "targetSlot", 0); };
        c.lines = selectionRefused ("Waves selection plug-in mapping is invalid or duplicated: channels[0] (Input 1 \"Kick\") plugins[0] (slot 0 \"EQ\") and "
                           "plugins[1] (slot 1 \"Comp\") both go to slot 0");
        cases.push_back (c);
    }
    {
        // A newer host's columns, in source and template: carried as they are, and proven.
        TransferCase c { "columns a newer host adds", false };
        c.sourceSql = juce::String (newerColumns)
                      + "UPDATE plug SET plugin_version='14.1.2' WHERE id=7; UPDATE snapshot_plugin SET preset_version=7 WHERE id=507;"
                        "UPDATE snapshot_chainer SET color=3 WHERE chainer_id=1001; UPDATE routes SET gain=-6 WHERE id=1;";
        c.templateSql = newerColumns;
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT id,plugin_version FROM plug WHERE plugin_version IS NOT NULL", { "7|14.1.2" } },
                      { "SELECT id,preset_version FROM snapshot_plugin WHERE preset_version IS NOT NULL", { "507|7" } },
                      { "SELECT chainer_id,color FROM snapshot_chainer WHERE color IS NOT NULL", { "6001|3" } },
                      { "SELECT id,gain FROM routes WHERE gain IS NOT NULL", { "1|-6.0" } } };
        cases.push_back (c);
    }
    {
        // Only the source holds them, at their defaults or NULL: nothing is lost. Only the
        // template holds one: it keeps its default.
        TransferCase c { "columns one side holds at their defaults", false };
        c.sourceSql = "ALTER TABLE plug ADD COLUMN plugin_version TEXT; ALTER TABLE routes ADD COLUMN gain REAL DEFAULT 0; UPDATE routes SET gain=0 WHERE id=1;";
        c.templateSql = "ALTER TABLE snapshot_plugin ADD COLUMN preset_version INTEGER DEFAULT 1;";
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT DISTINCT preset_version FROM snapshot_plugin", { "1" } } };
        cases.push_back (c);
    }
    {
        // Only the source holds a column, with a value of its own: the transfer would lose it.
        const struct
        {
            const char *name, *sql, *error;
        } sourceOnly[] = {
            { "plug column only the source holds", "ALTER TABLE plug ADD COLUMN plugin_version TEXT; UPDATE plug SET plugin_version='14.1.2' WHERE id=7;",
              "Waves source holds plug.plugin_version \"14.1.2\" for \"C1\" (Input 2, slot 0), a column the host-save template does not have; "
              "the transfer would lose it" },
            { "state column only the source holds",
              "ALTER TABLE snapshot_plugin ADD COLUMN preset_version INTEGER DEFAULT 0; UPDATE snapshot_plugin SET preset_version=7 WHERE id=507;",
              "Waves source holds snapshot_plugin.preset_version 7 for \"C1\" (Input 2, slot 0), a column the host-save template does not have; "
              "the transfer would lose it" },
            { "active row column only the source holds",
              "ALTER TABLE snapshot_chainer ADD COLUMN color INTEGER; UPDATE snapshot_chainer SET color=3 WHERE chainer_id=1001;",
              "Waves source holds snapshot_chainer.color 3 for Input 2 \"Snare\", a column the host-save template does not have; the transfer "
              "would lose it" },
            { "route column only the source holds", "ALTER TABLE routes ADD COLUMN gain REAL; UPDATE routes SET gain=-6 WHERE id=1;",
              "Waves source holds routes.gain -6 for physical route 1 of Input 1 \"Kick\", a column the host-save template does not have; the "
              "transfer would lose it" },
        };
        for (const auto& o : sourceOnly)
        {
            TransferCase c { o.name, false };
            c.sourceSql = o.sql;
            c.lines = refused (o.error);
            cases.push_back (c);
        }
    }
    {
        // A mono channel with its scope keeps both on the rack channel it lands on.
        TransferCase c { "mono channel with its scope", false };
        c.sourceSql = juce::String (layouts) + scopes
                      + "UPDATE chainer SET num_inputs=1,num_outputs=1,input_stem_format=100,output_stem_format=100 WHERE obj_id=1001;"
                        "UPDATE snapshot_chainer SET ch_scope_type_id=2,in_scope=0 WHERE chainer_id=1001;";
        c.templateSql = juce::String (layouts) + scopes;
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT obj_id,num_inputs,num_outputs,input_stem_format,output_stem_format FROM chainer WHERE obj_id IN (6000,6001) ORDER BY obj_id",
                        { "6000|2|2|101|101", "6001|1|1|100|100" } },
                      { "SELECT chainer_id,ch_scope_type_id,in_scope FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id IN (6000,6001) ORDER BY 1",
                        { "6000|NULL|NULL", "6001|2|0" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "source hot_plug row", false };
        c.sourceSql = juce::String (hotPlugs) + "INSERT INTO hot_plug(id,plug_id) VALUES(1,7);";
        c.templateSql = hotPlugs;
        c.lines = printed ({ ok (18, 5, 2), lv1Note,
                             "3 hot plug-in assignments of the source were not carried: hot plug-in 1 \"EQ\" (Input 1, slot 0), hot plug-in 2 "
                             "\"Comp\" (Input 1, slot 1), hot_plug row 1 \"C1\" (Input 2, slot 0).",
                             soundGridTemplateLost });
        c.queries = { { "SELECT count(*) FROM hot_plug", { "0" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "active state naming a missing preset", false };
        c.sourceSql = "UPDATE snapshot_plugin SET preset_id=999 WHERE id=507;";
        c.lines = refused ("Waves source plug-in \"C1\" (Input 2, slot 0) has an active state (snapshot_plugin 507) naming preset 999, which the "
                           "source does not hold");
        cases.push_back (c);
    }
    {
        TransferCase c { "template channel without its chainer row", false };
        c.sourceSql = layouts;
        c.templateSql = juce::String (layouts) + plugsOnLayouts + "DELETE FROM chainer WHERE obj_id=6001;";
        c.lines = refused ("Waves host-save template has no chainer row for Input 2 (the channel's layout); the transferred channel's layout "
                           "cannot be written there");
        cases.push_back (c);
    }
    {
        TransferCase c { "template that already breaks a foreign key", false };
        c.templateSql = "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(9999,-1,'ghost');";
        c.lines = refused ("Waves host-save template already breaks a foreign key: snapshot_chainer.chainer_id 9999 (row 65) names no row of object");
        cases.push_back (c);
    }
    {
        // A source without declared types holds the selected slot as text: the same slot.
        TransferCase c { "selected slot held as text", false };
        c.sourceSql = activeRowsDeclared ("id, chainer_id, snapshot_id, name, preset_name, selected_slot")
                      + "UPDATE snapshot_chainer SET selected_slot='1' WHERE chainer_id=1000;";
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT selected_slot,typeof(selected_slot) FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id=6000", { "1|integer" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "template declaring the selected slot as text", false };
        c.templateSql = activeRowsDeclared ("id INTEGER PRIMARY KEY, chainer_id INTEGER REFERENCES object(id), snapshot_id INTEGER REFERENCES "
                                            "snapshot(id), name TEXT, preset_name TEXT, selected_slot TEXT");
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT selected_slot,typeof(selected_slot) FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id=6000", { "1|text" } } };
        cases.push_back (c);
    }
    {
        // A newer host's table whose rows refer, through a declared key, to a row the transfer
        // takes for a selected channel or plug-in: the transfer would lose them.
        const struct
        {
            const char *name, *sql, *error;
        } referring[] = {
            { "newer table referring to a selected plug-in",
              "CREATE TABLE plug_automation(id INTEGER PRIMARY KEY, plug_id INTEGER REFERENCES plug(id), value REAL);"
              "INSERT INTO plug_automation VALUES(1,99,0.1),(3,7,0.5);",
              "Waves source holds plug_automation row 3 for \"C1\" (Input 2, slot 0), a table the transfer does not carry; the transfer would "
              "lose it" },
            { "newer table referring to a channel object",
              "CREATE TABLE channel_color(id INTEGER PRIMARY KEY, obj_id INTEGER REFERENCES object, rgb INTEGER);"
              "INSERT INTO channel_color VALUES(1,1001,255);",
              "Waves source holds channel_color row 1 for Input 2 \"Snare\", a table the transfer does not carry; the transfer would lose it" },
            { "newer table referring to a channel layout",
              "CREATE TABLE chainer_meter(id INTEGER PRIMARY KEY, layout INTEGER REFERENCES chainer(obj_id)); INSERT INTO chainer_meter VALUES(2,1000);",
              "Waves source holds chainer_meter row 2 for Input 1 \"Kick\", a table the transfer does not carry; the transfer would lose it" },
            { "newer table referring to an active row",
              "CREATE TABLE scope_meters(id INTEGER PRIMARY KEY, active_row INTEGER REFERENCES snapshot_chainer(id)); INSERT INTO scope_meters VALUES(4,2);",
              "Waves source holds scope_meters row 4 for Input 2 \"Snare\", a table the transfer does not carry; the transfer would lose it" },
            { "newer table referring to an active state",
              "CREATE TABLE state_links(id INTEGER PRIMARY KEY, state_id INTEGER REFERENCES snapshot_plugin(id)); INSERT INTO state_links VALUES(5,506);",
              "Waves source holds state_links row 5 for \"Comp\" (Input 1, slot 1), a table the transfer does not carry; the transfer would "
              "lose it" },
            { "newer table without rowid referring to a preset",
              "CREATE TABLE preset_tags(preset_id INTEGER REFERENCES plugin_preset(id), tag TEXT, PRIMARY KEY(preset_id, tag)) WITHOUT ROWID;"
              "INSERT INTO preset_tags VALUES(5,'warm');",
              "Waves source holds preset_tags row (5, \"warm\") for \"EQ\" (Input 1, slot 0), a table the transfer does not carry; the transfer "
              "would lose it" },
            { "newer table referring to a physical route",
              "CREATE TABLE route_notes(id INTEGER PRIMARY KEY, route_id INTEGER REFERENCES routes(id), note TEXT); INSERT INTO route_notes VALUES(6,2,'x');",
              "Waves source holds route_notes row 6 for physical route 2 of Input 1 \"Kick\", a table the transfer does not carry; the transfer "
              "would lose it" },
        };
        for (const auto& r : referring)
        {
            TransferCase c { r.name, false };
            c.sourceSql = juce::String (layouts) + r.sql;
            c.templateSql = layouts;
            c.lines = refused (r.error);
            cases.push_back (c);
        }
    }
    {
        // Rows of such tables that refer to what was not selected (a plug-in and a channel left
        // out, a route to a group, no row at all) are counted among what was not selected.
        TransferCase c { "newer tables referring to rows not selected", false };
        c.sourceSql = "CREATE TABLE plug_automation(id INTEGER PRIMARY KEY, plug_id INTEGER REFERENCES plug(id), value REAL);"
                      "INSERT INTO plug_automation VALUES(1,8,0.1),(2,9,0.2),(3,99,0.3);"
                      "CREATE TABLE channel_color(id INTEGER PRIMARY KEY, obj_id INTEGER REFERENCES object(id)); INSERT INTO channel_color VALUES(1,1002);"
                      "CREATE TABLE route_notes(id INTEGER PRIMARY KEY, route_id INTEGER REFERENCES routes(id)); INSERT INTO route_notes VALUES(1,3);";
        c.edit = [] (juce::var& d) {
            for (int i = 2; i < 18; ++i)
                set (channelAt (d, i), "selected", false);
        };
        c.lines = printed ({ ok (2, 3, 2), lv1Note, lv1Hot,
                             "16 source channels were not selected and not carried: Input 3 \"In3\", Input 4 \"In4\", Input 5 \"In5\", Input 6 "
                             "\"In6\", Input 7 \"In7\", Input 8 \"In8\", Aux 1 \"Aux1\", Aux 2 \"Aux2\", Aux 3 \"Aux3\", Aux 4 \"Aux4\", Group 1 "
                             "\"Grp1\", Group 2 \"Grp2\", Matrix 1 \"Mtx1\", Matrix 2 \"Mtx2\", Matrix 3 \"Mtx3\", Matrix 4 \"Mtx4\".",
                             "2 source plug-ins were not selected and not carried: \"Verb\" (Aux 1, slot 0), \"Q10\" (Matrix 1, slot 0).",
                             soundGridTemplateLost });
        c.queries = { { "SELECT id FROM plug ORDER BY id", { "5", "6", "7" } } };
        cases.push_back (c);
    }
    {
        // An untyped source holds the active snapshot's number as text on Snare's active row, its
        // channel parameter value and its hot plug-ins: the same snapshot, so all of it counts.
        TransferCase c { "active snapshot held as text", false };
        c.sourceSql = activeRowsDeclared (untypedActiveRows) + declaredAnew ("snapshot_chainer_params", untypedParameters)
                      + declaredAnew ("snapshot_hot_plugins", untypedHotPlugins)
                      + "UPDATE snapshot_chainer SET snapshot_id='-1' WHERE chainer_id=1001; UPDATE snapshot_hot_plugins SET snapshot_id='-1';"
                        "INSERT INTO chainer_params(id,name) VALUES(1,'PARAM_OUTPUT_GAIN');"
                        "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1001,'-1',1,-6);";
        c.checkReport = [] (const juce::var& report) { EXPECT_EQ (report["channels"][1]["name"].toString(), "Snare"); };
        c.lines = printed ({ ok (18, 5, 2),
                             juce::String (lv1Note).replace ("SuperRack equivalent.",
                                                             "SuperRack equivalent, and 1 LV1 channel parameter value of the transferred "
                                                             "channels (PARAM_OUTPUT_GAIN) was not carried."),
                             lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT name,preset_name,selected_slot FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id=6001", { "Snare|P1001|1" } } };
        cases.push_back (c);
    }
    {
        // The same for a selected plug-in's active state: its snapshot and setup as text.
        TransferCase c { "active state held as text", false };
        c.sourceSql = declaredAnew ("snapshot_plugin", untypedStates) + "UPDATE snapshot_plugin SET snapshot_id='-1',setup_type_id='-1' WHERE id=507;";
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT id,preset_id,snapshot_id,setup_type_id FROM snapshot_plugin WHERE plug_id=7", { "507|7|-1|-1" } },
                      { "SELECT id FROM plugin_preset WHERE id=7", { "7" } } };
        cases.push_back (c);
    }
    {
        // A plug-in's slot as text: the slot of that number, selected there as in the source.
        TransferCase c { "plug-in slot held as text", false };
        c.sourceSql = declaredAnew ("plug", untypedPlugs) + "UPDATE plug SET slot='1' WHERE id=6;";
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT id,slot,typeof(slot) FROM plug WHERE chainer_id=6000 ORDER BY id", { "5|0|integer", "6|1|integer" } },
                      { "SELECT selected_slot FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id=6000", { "1" } } };
        cases.push_back (c);
    }
    {
        // Physical routes whose cluster types and indexes are held as text are physical routes.
        TransferCase c { "physical routes held as text", false };
        c.sourceSql = declaredAnew ("routes", untypedRoutes)
                      + "UPDATE routes SET src_cluster_type='10',dst_cluster_type_index='0' WHERE id=1; UPDATE routes SET dst_cluster_type='11' WHERE id=2;";
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot, soundGridTemplateLost });
        c.queries = { { "SELECT id,src_cluster_type,src_cluster_type_index,dst_cluster_type,dst_cluster_type_index FROM routes ORDER BY id",
                        { "1|10|2|0|0", "2|0|0|11|0" } } };
        cases.push_back (c);
    }
    {
        // A template without declared types holding its active snapshot as text: its active rows
        // take the transfer, and its active channel parameter value is cleared and counted.
        TransferCase c { "template holding its active snapshot as text", false };
        c.templateSql = activeRowsDeclared (untypedActiveRows) + declaredAnew ("snapshot_chainer_params", untypedParameters)
                        + "UPDATE snapshot_chainer SET snapshot_id='-1';"
                          "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(6001,'-1',1,-3);";
        c.lines = printed ({ ok (18, 5, 2), lv1Note, lv1Hot,
                             juce::String (soundGridTemplateLost).replace ("1 plug-in and", "1 plug-in, 1 channel parameter value and") });
        c.queries = { { "SELECT name,preset_name FROM snapshot_chainer WHERE chainer_id IN (6001,6040) ORDER BY chainer_id", { "Snare|P1001", "Input 41|P6040" } },
                      { "SELECT count(*) FROM snapshot_chainer_params", { "0" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "source saved after the report", false };
        c.afterReportSql = "UPDATE snapshot_chainer SET name='Kick 2' WHERE chainer_id=1000;";
        c.lines = selectionRefused ("Waves selection source fingerprint does not match the current input file");
        cases.push_back (c);
    }

    //==========================================================================
    // SuperRack SoundGrid -> eMotion LV1
    {
        TransferCase c { "soundgrid as proposed", true };
        c.lines = printed ({ ok (8, 3, 2), soundGridNote, lv1TemplateLost });
        c.queries = { { "SELECT chainer_id,name FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id IN (1100,1101,1107,3100) ORDER BY 1",
                        { "1100|Kick", "1101|Snare", "1107|R8", "3100|Aux 1" } },
                      { "SELECT id,chainer_id,slot FROM plug ORDER BY id", { "30|1100|0", "31|1100|1", "32|1101|0" } },
                      { "SELECT src_cluster_type,src_cluster_type_index,dst_cluster_type,dst_cluster_type_index FROM routes ORDER BY id",
                        { "10|0|0|0", "0|1|11|0" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "soundgrid channel to a group with every field naming it", true };
        c.edit = [] (juce::var& d) { toChannel (d, 1, 1, 1); };
        c.lines = printed ({ ok (8, 3, 2), soundGridNote, lv1TemplateLost });
        c.queries = { { "SELECT chainer_id,slot FROM plug WHERE id=32", { "2101|0" } },
                      { "SELECT name FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id IN (1101,2101) ORDER BY chainer_id", { "Input 2", "Snare" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "soundgrid plug-in moved with both slot fields", true };
        c.edit = [] (juce::var& d) {
            set (pluginAt (d, 0, 1), "targetSlot", 5);
            set (pluginAt (d, 0, 1), "destinationSlot", 5);
        };
        c.lines = printed ({ ok (8, 3, 2), soundGridNote, lv1TemplateLost });
        c.queries = { { "SELECT id,slot FROM plug WHERE chainer_id=1100 ORDER BY id", { "30|0", "31|5" } },
                      { "SELECT selected_slot FROM snapshot_chainer WHERE chainer_id=1100 AND snapshot_id=-1", { "5" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "soundgrid targetSlot edited alone", true };
        c.edit = [] (juce::var& d) { set (pluginAt (d, 0, 1), "targetSlot", 5); };
        c.lines = selectionRefused ("Waves selection channels[0] (Input 1) plugins[1] (slot 1): targetSlot 5 disagrees with destinationSlot 1; toward "
                           "eMotion LV1 the destination is the slot destinationSlot, and targetSlot repeats it");
        cases.push_back (c);
    }
    {
        TransferCase c { "soundgrid targetIndex edited alone", true };
        c.edit = [] (juce::var& d) { set (channelAt (d, 1), "targetIndex", 5); };
        c.lines = selectionRefused ("Waves selection channels[1] (Input 2): targetIndex 5 disagrees with destinationIndex 1; toward eMotion LV1 the "
                           "destination is destinationType and destinationIndex, and targetIndex repeats destinationIndex");
        cases.push_back (c);
    }
    {
        TransferCase c { "snare onto an input without its active row", true };
        c.templateSql = "DELETE FROM snapshot_chainer WHERE chainer_id=1102 AND snapshot_id=-1;";
        c.edit = [] (juce::var& d) {
            set (channelAt (d, 2), "selected", false);
            toChannel (d, 1, 0, 2);
        };
        c.lines = refused ("Waves host-save template has no active-snapshot row for Input 3 (snapshot_chainer); the channel's name, preset "
                           "name and selected slot would be lost");
        cases.push_back (c);
    }
    {
        TransferCase c { "superrack channel parameters", true };
        c.sourceSql = "INSERT INTO chainer_params(id,name) VALUES(1,'PARAM_OUTPUT_GAIN'),(2,'PARAM_IN_ON_OFF');"
                      "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,1,-3.5),(1000,-1,2,1),(1001,-1,2,0),(1001,1,1,-6);";
        c.lines = printed ({ ok (8, 3, 2),
                             juce::String (soundGridNote)
                                 .replace ("SuperRack channel parameters have no verified LV1 equivalent",
                                           "3 SuperRack channel parameter values of the transferred rack channels (PARAM_IN_ON_OFF, "
                                           "PARAM_OUTPUT_GAIN) have no verified LV1 equivalent and were not carried"),
                             lv1TemplateLost });
        c.queries = { { "SELECT count(*) FROM snapshot_chainer_params", { "0" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "template snapshot keeps its own channel values", true };
        c.templateSql = "INSERT INTO snapshot(id,number,name,info) VALUES(1,1,'Song','');"
                        "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1101,1,'other');";
        c.lines = printed ({ ok (8, 3, 2), soundGridNote, lv1TemplateLost,
                             "Host-save template snapshots were kept with the template's values on the transferred channels (recalling one "
                             "undoes the transfer there): \"Song\" (number 1)." });
        c.queries = { { "SELECT snapshot_id,name FROM snapshot_chainer WHERE chainer_id=1101 ORDER BY snapshot_id", { "-1|Snare", "1|other" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "soundgrid hot plug-ins", true };
        c.sourceSql = "UPDATE plug SET hot_plugin=2 WHERE id=31; UPDATE snapshot_hot_plugins SET hp_1_plug_id=31,hp_2_plug_id=99;";
        c.lines = printed ({ ok (8, 3, 2), soundGridNote,
                             "Recall-safe or hot-plug-in flags of 1 plug-in were reset (recall_safe 0, hot_plugin -1): \"Comp\" (Input 1, slot 1).",
                             "2 hot plug-in assignments of the source were not carried: hot plug-in 1 \"Comp\" (Input 1, slot 1), hot plug-in 2 "
                             "plug-in id 99 (not a plug-in of the source).",
                             lv1TemplateLost });
        c.queries = { { "SELECT recall_safe,hot_plugin FROM plug WHERE id=31", { "0|-1" } },
                      { "SELECT hp_1_plug_id,hp_2_plug_id FROM snapshot_hot_plugins", { "-1|-1" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "soundgrid channels without a name", true };
        c.sourceSql = "UPDATE snapshot_chainer SET name=NULL WHERE chainer_id=1002; UPDATE object SET name='obj0_2' WHERE id=1002;"
                      "UPDATE snapshot_chainer SET name='' WHERE chainer_id=1003;";
        c.checkReport = [] (const juce::var& report) {
            EXPECT_EQ (report["channels"][2]["name"].toString(), "obj0_2");
            EXPECT_EQ (report["channels"][3]["name"].toString(), "Input 4");
        };
        c.lines = printed ({ ok (8, 3, 2), soundGridNote,
                             "1 channel has no name in the source and got the generic name of its destination: Input 4 as \"Input 4\".",
                             lv1TemplateLost });
        c.queries = { { "SELECT chainer_id,name FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id IN (1102,1103) ORDER BY 1",
                        { "1102|obj0_2", "1103|Input 4" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "missing destinationIndex", true };
        c.edit = [] (juce::var& d) { channelAt (d, 1).getDynamicObject()->removeProperty ("destinationIndex"); };
        c.lines = selectionRefused (mismatch + "channels[1] has no destinationIndex");
        cases.push_back (c);
    }
    {
        TransferCase c { "missing destinationType", true };
        c.edit = [] (juce::var& d) { channelAt (d, 0).getDynamicObject()->removeProperty ("destinationType"); };
        c.lines = selectionRefused (mismatch + "channels[0] has no destinationType");
        cases.push_back (c);
    }
    {
        TransferCase c { "destination edited without its name", true };
        c.edit = [] (juce::var& d) { set (channelAt (d, 1), "destinationType", 2); };
        c.lines = selectionRefused ("Waves selection channels[1] (Input 2): destinationName \"Input 2\" disagrees with destinationType 2 and "
                           "destinationIndex 1 (Aux 2)");
        cases.push_back (c);
    }
    {
        TransferCase c { "plug-in on a rack beyond the configured ones", true };
        c.sourceSql = "INSERT INTO object(id,obj_type,obj_index,name) VALUES(1009,0,9,'');"
                      "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1009,-1,'Far');"
                      "INSERT INTO plug(id,chainer_id,slot,plugin_name,vendor_name) VALUES(40,1009,2,'Far EQ','Waves');";
        c.checkReport = [] (const juce::var& report) {
            EXPECT_EQ (report["channels"].size(), 8);
            EXPECT_EQ (vornconv::json::toJsonLine (report["notTransferable"]),
                       R"([{"sourceType": 0, "sourceIndex": 9, "typeName": "Input", "sourceSlot": 2, "name": "Far EQ", "vendor": "Waves", )"
                       R"("reason": "Input 10 lies beyond the 8 Input channels the session configures"}])");
        };
        c.lines = printed ({ ok (8, 3, 2), soundGridNote, "1 source plug-in was not selected and not carried: \"Far EQ\" (Input 10, slot 2).",
                             lv1TemplateLost });
        c.queries = { { "SELECT count(*) FROM plug WHERE id=40", { "0" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "rack beyond the configured ones in a selection", true };
        c.sourceSql = "INSERT INTO object(id,obj_type,obj_index,name) VALUES(1009,0,9,'');";
        c.edit = [] (juce::var& d) { set (channelAt (d, 7), "sourceIndex", 9); };
        c.lines = selectionRefused ("Waves selection takes Input 10 from the source, but the source session configures 8 Input channels");
        cases.push_back (c);
    }
    {
        TransferCase c { "soundgrid columns a newer host adds", true };
        c.sourceSql = juce::String (newerColumns) + "UPDATE plug SET plugin_version='2.0' WHERE id=32; UPDATE snapshot_chainer SET color=5 WHERE chainer_id=1001;";
        c.templateSql = newerColumns;
        c.lines = printed ({ ok (8, 3, 2), soundGridNote, lv1TemplateLost });
        c.queries = { { "SELECT id,plugin_version FROM plug WHERE plugin_version IS NOT NULL", { "32|2.0" } },
                      { "SELECT chainer_id,color FROM snapshot_chainer WHERE color IS NOT NULL", { "1101|5" } } };
        cases.push_back (c);
    }
    {
        TransferCase c { "soundgrid hot_plug row", true };
        c.sourceSql = juce::String (hotPlugs) + "INSERT INTO hot_plug(id,plug_id) VALUES(1,32);";
        c.templateSql = hotPlugs;
        c.lines = printed ({ ok (8, 3, 2), soundGridNote, "1 hot plug-in assignment of the source was not carried: hot_plug row 1 \"C1\" (Input 2, slot 0).",
                             lv1TemplateLost });
        c.queries = { { "SELECT count(*) FROM hot_plug", { "0" } } };
        cases.push_back (c);
    }
    {
        // Toward LV1 as well: a newer table's row for a selected plug-in (its key held as text by
        // an untyped column) is refused; an active state held as text is carried.
        TransferCase c { "soundgrid newer table referring to a selected plug-in", true };
        c.sourceSql = "CREATE TABLE plug_automation(id INTEGER PRIMARY KEY, plug_id REFERENCES plug(id), value); INSERT INTO plug_automation VALUES(3,'32',0.5);";
        c.lines = refused ("Waves source holds plug_automation row 3 for \"C1\" (Input 2, slot 0), a table the transfer does not carry; the transfer "
                           "would lose it");
        cases.push_back (c);
    }
    {
        TransferCase c { "soundgrid active state held as text", true };
        c.sourceSql = declaredAnew ("snapshot_plugin", untypedStates) + "UPDATE snapshot_plugin SET snapshot_id='-1' WHERE id=532;";
        c.lines = printed ({ ok (8, 3, 2), soundGridNote, lv1TemplateLost });
        c.queries = { { "SELECT id,chainer_id,slot FROM plug ORDER BY id", { "30|1100|0", "31|1100|1", "32|1101|0" } },
                      { "SELECT id,snapshot_id FROM snapshot_plugin WHERE plug_id=32", { "532|-1" } } };
        cases.push_back (c);
    }
    {
        // A blank template name, or the generic one, is no name the template loses.
        TransferCase c { "template channels with blank names", true };
        c.templateSql = "UPDATE snapshot_chainer SET name='' WHERE chainer_id BETWEEN 1101 AND 1107; UPDATE snapshot_chainer SET name='Aux 2' "
                        "WHERE chainer_id=3101; UPDATE snapshot_chainer SET name=NULL WHERE chainer_id=3102;";
        c.lines = printed ({ ok (8, 3, 2), soundGridNote,
                             "9 channels of the host-save template lost content of their own: 9 names were replaced (by the transferred channel's "
                             "name or the generic one); 1 plug-in and 2 hot plug-in assignments were cleared." });
        cases.push_back (c);
    }
    return cases;
}

void PrintTo (const TransferCase& c, std::ostream* os)
{
    *os << c.name;
}

class WavesTransferProgram : public ::testing::TestWithParam<TransferCase>
{
};

juce::StringArray folderEntries (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*", juce::File::FollowSymlinks::no))
        names.add (f.getFileName());
    names.sort (false);
    return names;
}

TEST_P (WavesTransferProgram, EndsInWhatWasSelectedANoteOrARefusal)
{
    const auto& c = GetParam();
    const char* target = c.toLv1 ? "waves-lv1" : "superrack-soundgrid";
    vorntest::WavesFixture source (c.toLv1 ? "show.sprk" : "show.emo", ! c.toLv1);
    vorntest::WavesFixture hostTemplate (c.toLv1 ? "template.emo" : "template.sprk", c.toLv1);
    if (c.toLv1)
    {
        buildSoundGridShow (source);
        buildLv1Template (hostTemplate);
    }
    else
    {
        buildLv1Show (source);
        buildSoundGridTemplate (hostTemplate);
    }
    source.exec (c.sourceSql);
    hostTemplate.exec (c.templateSql);
    hostTemplate.close();
    source.close();

    vorntest::TempFolder out, tmp;
    const std::vector<std::string> env { "TMPDIR=" + tmp.path() };
    const auto report = vorntest::runVornconvBinary ({ "--waves-selection-report", target, source.file.getFullPathName().toStdString() }, {}, env);
    const auto reportLines = report.outLines();
    ASSERT_EQ (reportLines.size(), 1) << report.out;
    if (report.exitCode != 0)
    {
        EXPECT_EQ (report.exitCode, 1);
        EXPECT_EQ (reportLines, c.lines ({ {}, source.file, {}, {}, {} }));
        EXPECT_EQ (tmp.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
        return;
    }
    juce::var doc;
    ASSERT_TRUE (juce::JSON::parse (reportLines[0], doc).wasOk());
    if (c.checkReport)
        c.checkReport (doc);
    if (c.edit)
        c.edit (doc);
    auto text = vornconv::json::toJsonLine (doc);
    if (c.rewrite)
        text = c.rewrite (text);
    if (c.afterReportSql.isNotEmpty())
    {
        vorntest::executeOn (source.file, c.afterReportSql);
        if (c.craft)
            text = text.replace (doc["sourceSha256"].toString(), vornconv::waves::fileSha256 (source.file));
    }
    const auto selection = out.file ("pick.json");
    ASSERT_TRUE (selection.replaceWithText (text));
    const auto sums = juce::SHA256 (source.file).toHexString() + juce::SHA256 (hostTemplate.file).toHexString()
                      + juce::SHA256 (selection).toHexString();

    const auto output = c.outputFolder != nullptr ? out.file (c.outputFolder).getChildFile (c.toLv1 ? "result.emo" : "result.sprk")
                                                  : out.file (c.toLv1 ? "result.emo" : "result.sprk");
    const auto run = vorntest::runVornconvBinary ({ "--waves-convert", target, source.file.getFullPathName().toStdString(), "--selection",
                                                    selection.getFullPathName().toStdString(), "--template",
                                                    hostTemplate.file.getFullPathName().toStdString(), "--output",
                                                    output.getFullPathName().toStdString() },
                                                  {}, env);
    const auto expected = c.lines ({ text, source.file, selection, hostTemplate.file, output });
    EXPECT_EQ (run.outLines(), expected) << run.out;
    EXPECT_EQ (run.err, std::string());
    const bool succeeded = expected[0].startsWith ("OK");
    EXPECT_EQ (run.exitCode, succeeded ? 0 : 1);
    juce::StringArray left { "pick.json" };
    if (succeeded)
        left.add (output.getFileName());
    EXPECT_EQ (folderEntries (out.folder), left);
    EXPECT_EQ (tmp.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
    EXPECT_EQ (juce::SHA256 (source.file).toHexString() + juce::SHA256 (hostTemplate.file).toHexString()
                   + juce::SHA256 (selection).toHexString(),
               sums);
    if (! succeeded)
        return;
    EXPECT_EQ (vorntest::queryRows (output, "PRAGMA integrity_check"), juce::StringArray ({ "ok" }));
    EXPECT_EQ (vorntest::queryRows (output, "PRAGMA foreign_key_check"), juce::StringArray());
    for (const auto& [sql, rows] : c.queries)
        EXPECT_EQ (vorntest::queryRows (output, sql), rows) << sql;
}

std::string caseName (const ::testing::TestParamInfo<TransferCase>& info)
{
    std::string name;
    for (const char* p = info.param.name; *p != 0; ++p)
        name += std::isalnum ((unsigned char) *p) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P (Cases, WavesTransferProgram, ::testing::ValuesIn (transferCases()), caseName);

// The README's moves, there and back. Toward SoundGrid Kick goes to rack channel 30, Snare to 0
// and In4 to 1 (rack 3, where In4 was proposed, is left to the template); In3 has no name and is
// named after its place. The report of that output proposes where each rack channel came from,
// without two selected channels on one destination; with the channels after the 18th left out
// and In3 moved onto Input 1 (given the new destinationName, as the README says for a channel
// without a name of its own), the way back is taken as proposed.
TEST (WavesTransferProgram, TheReadmeMovesGoThereAndBack)
{
    vorntest::WavesFixture show ("show.emo", true);
    vorntest::WavesFixture rackTemplate ("template.sprk", false);
    vorntest::WavesFixture showTemplate ("template.emo", true);
    buildLv1Show (show);
    show.exec ("UPDATE snapshot_chainer SET name='' WHERE chainer_id=1002;");
    buildSoundGridTemplate (rackTemplate);
    buildLv1Template (showTemplate);
    for (auto* f : { &show, &rackTemplate, &showTemplate })
        f->close();
    vorntest::TempFolder out;
    const auto run = [] (const std::vector<juce::String>& args) {
        std::vector<std::string> words;
        for (const auto& a : args)
            words.push_back (a.toStdString());
        return vorntest::runVornconvBinary (words);
    };
    const auto reportOf = [&] (const juce::File& session, const char* target, juce::var& doc) {
        const auto report = run ({ "--waves-selection-report", target, session.getFullPathName() });
        ASSERT_EQ (report.exitCode, 0) << report.out;
        ASSERT_TRUE (juce::JSON::parse (report.outLines()[0], doc).wasOk());
    };

    juce::var there;
    reportOf (show.file, "superrack-soundgrid", there);
    ASSERT_EQ (channelAt (there, 2)["name"].toString(), "Input 3");
    toRack (there, 0, 30);
    toRack (there, 1, 0);
    toRack (there, 3, 1);
    const auto pick = out.file ("there.json");
    ASSERT_TRUE (pick.replaceWithText (vornconv::json::toJsonLine (there)));
    const auto rack = out.file ("rack.sprk");
    const auto forward = run ({ "--waves-convert", "superrack-soundgrid", show.file.getFullPathName(), "--selection", pick.getFullPathName(),
                                "--template", rackTemplate.file.getFullPathName(), "--output", rack.getFullPathName() });
    ASSERT_EQ (forward.exitCode, 0) << forward.out;

    juce::var back;
    reportOf (rack, "waves-lv1", back);
    auto& channels = *back["channels"].getArray();
    ASSERT_EQ (channels.size(), 64);
    std::map<std::pair<int, int>, int> destinations;
    for (int i = 0; i < channels.size(); ++i)
    {
        if (! (bool) channels[i]["selected"])
            continue;
        const auto key = std::make_pair ((int) channels[i]["destinationType"], (int) channels[i]["destinationIndex"]);
        EXPECT_EQ (destinations.count (key), 0u) << "rack " << i << " and rack " << destinations[key] << " both go to "
                                                 << channels[i]["destinationName"].toString();
        destinations[key] = i;
    }
    EXPECT_EQ (juce::JSON::toString (channels[1], true).upToFirstOccurrenceOf (", \"pluginOverflow\"", false, false),
               R"({"sourceType": 0, "sourceIndex": 1, "targetIndex": 3, "typeName": "Input", "name": "In4", "selected": true, "overflow": true, )"
               R"("destinationType": 0, "destinationIndex": 3, "destinationName": "Input 4")");
    EXPECT_EQ (channels[2]["name"].toString(), "Input 3");
    for (int i = 18; i < channels.size(); ++i)
        set (channels.getReference (i), "selected", false);
    toChannel (back, 2, 0, 0);
    set (channels.getReference (2), "name", "Input 1");
    const auto pickBack = out.file ("back.json");
    ASSERT_TRUE (pickBack.replaceWithText (vornconv::json::toJsonLine (back)));
    const auto again = out.file ("again.emo");
    const auto backward = run ({ "--waves-convert", "waves-lv1", rack.getFullPathName(), "--selection", pickBack.getFullPathName(), "--template",
                                 showTemplate.file.getFullPathName(), "--output", again.getFullPathName() });
    ASSERT_EQ (backward.exitCode, 0) << backward.out;
    EXPECT_EQ (backward.outLines()[0], ok (17, 3, 0));
    EXPECT_EQ (vorntest::queryRows (again, "SELECT chainer_id,name FROM snapshot_chainer WHERE snapshot_id=-1 AND chainer_id IN (1100,1101,1102,1103,3100) "
                                           "ORDER BY 1"),
               juce::StringArray ({ "1100|Input 1", "1101|Snare", "1102|Input 3", "1103|In4", "3100|Aux1" }));
    EXPECT_EQ (vorntest::queryRows (again, "SELECT id,chainer_id,slot FROM plug ORDER BY id"), juce::StringArray ({ "7|1101|0", "8|3100|0", "9|7100|0" }));
}

// Every refusal of a file given to a Waves operation names it, and one of a file given to an option
// begins with the option, as the conversion's do: a file that is not there (or a link to
// nothing), a FIFO, an empty file, bytes that are no database, a SQLite file that is no Waves
// session, a session of the other Waves kind, a SuperRack Performer session, and an output that
// stands there or cannot be made. A source is refused for itself, not by a selection made for
// another: its runs are given a selection with the source's own fingerprint, as a user who
// computes it would. Nothing is written, nothing is left in $TMPDIR.
TEST (WavesTransferProgram, EveryRefusalOfAFileNamesItAndTheOptionItCameFrom)
{
    vorntest::WavesFixture show ("show.emo", true), rackTemplate ("template.sprk", false), showTemplate ("template.emo", true);
    vorntest::WavesFixture rack ("rack.sprk", false), performer ("performer.sprk", false), plain ("plain.emo", true);
    buildLv1Show (show);
    buildSoundGridTemplate (rackTemplate);
    buildLv1Template (showTemplate);
    buildSoundGridShow (rack);
    buildSoundGridShow (performer);
    performer.exec ("UPDATE mixer_settings SET native_buffer_size=64; DELETE FROM device;");
    plain.exec ("DROP TABLE info;");
    for (auto* f : { &show, &rackTemplate, &showTemplate, &rack, &performer, &plain })
        f->close();

    vorntest::TempFolder box, tmp;
    const std::vector<std::string> env { "TMPDIR=" + tmp.path() };
    const auto put = [&box] (const char* name, const std::string& bytes) {
        const auto file = box.file (name);
        // JUCE deletes a file it is to fill with no bytes.
        EXPECT_TRUE (bytes.empty() ? file.create().wasOk() : file.replaceWithData (bytes.data(), bytes.size()));
        return file;
    };
    const auto special = [&box] (const char* name, bool fifo) {
        const auto file = box.file (name);
        EXPECT_EQ (fifo ? ::mkfifo (file.getFullPathName().toRawUTF8(), 0600) : ::symlink ("nothing", file.getFullPathName().toRawUTF8()), 0);
        return file;
    };
    const auto empty = put ("empty.emo", ""), junk = put ("junk.emo", std::string (600, 'x')), emptySelection = put ("empty.json", "");
    const auto latin1Selection = put ("latin1.json", "{\"schema\": \"caf\xE9\"}"), taken = put ("taken.sprk", "mine");
    const auto fifoSession = special ("fifo.emo", true), fifoSelection = special ("fifo.json", true), fifoTemplate = special ("fifo.sprk", true);
    const auto lostSelection = special ("lost.json", false), lostTemplate = special ("lost.sprk", false), lostOutput = special ("lost-out.sprk", false);

    // The report of a session, as the program gives it; for another file the same document with that
    // file's fingerprint.
    const auto reportOf = [&env] (const juce::File& session, const char* target) {
        const auto report = vorntest::runVornconvBinary ({ "--waves-selection-report", target, session.getFullPathName().toStdString() }, {}, env);
        EXPECT_EQ (report.exitCode, 0) << report.out;
        return report.outLines()[0];
    };
    const auto toSoundGrid = reportOf (show.file, "superrack-soundgrid"), toLv1 = reportOf (rack.file, "waves-lv1");
    const auto pick = box.file ("pick.json"), otherTarget = box.file ("lv1-pick.json");
    ASSERT_TRUE (pick.replaceWithText (toSoundGrid) && otherTarget.replaceWithText (toLv1));
    const auto pickFor = [&box] (const juce::File& session, const juce::String& report) {
        juce::var doc;
        EXPECT_TRUE (juce::JSON::parse (report, doc).wasOk());
        const auto file = box.file ("pick-" + session.getFileName() + ".json");
        EXPECT_TRUE (file.replaceWithText (report.replace (doc["sourceSha256"].toString(), vornconv::waves::fileSha256 (session))));
        return file;
    };

    const auto p = [] (const juce::File& f) { return f.getFullPathName().toStdString(); };
    const auto toRackFrom = [&] (const juce::File& source, const juce::File& selection, const juce::File& hostTemplate, const juce::File& output) {
        return std::vector<std::string> { "--waves-convert", "superrack-soundgrid", p (source), "--selection", p (selection),
                                          "--template", p (hostTemplate), "--output", p (output) };
    };
    const auto newRack = box.file ("new.sprk");
    const auto withSource = [&] (const juce::File& source) { return toRackFrom (source, pickFor (source, toSoundGrid), rackTemplate.file, newRack); };
    const auto withSelection = [&] (const juce::File& selection) { return toRackFrom (show.file, selection, rackTemplate.file, newRack); };
    const auto withTemplate = [&] (const juce::File& hostTemplate) { return toRackFrom (show.file, pick, hostTemplate, newRack); };
    const auto withOutput = [&] (const juce::File& output) { return toRackFrom (show.file, pick, rackTemplate.file, output); };
    const auto report = [&] (const char* target, const juce::File& session) {
        return std::vector<std::string> { "--waves-selection-report", target, p (session) };
    };
    const auto in = [] (const juce::File& f) { return " (in " + f.getFullPathName() + ")"; };
    const auto notFound = [] (const juce::File& f) { return "file not found: " + f.getFullPathName(); };
    const auto notRegular = [] (const juce::File& f) { return "not a regular file: " + f.getFullPathName(); };
    const juce::String direction = "Waves source/template application types do not match the requested direction: superrack-soundgrid takes ";
    const auto sourceKind = [&] (const juce::File& f) { return direction + "an eMotion LV1 session (.emo) as its source" + in (f); };
    const auto templateKind = [&] (const juce::File& f) {
        return "--template: " + direction + "a SuperRack SoundGrid session (.sprk) as its host-save template" + in (f);
    };

    const struct
    {
        const char* what;
        std::vector<std::string> args;
        juce::String error;
    } cases[] = {
        { "source not there", withSource (box.file ("none.emo")), "Waves source is unavailable: " + box.file ("none.emo").getFullPathName() },
        { "source that is a FIFO", toRackFrom (fifoSession, pick, rackTemplate.file, newRack), notRegular (fifoSession) },
        { "empty source", withSource (empty), sourceKind (empty) },
        { "source of bytes that are no database", withSource (junk), "file is not a database" + in (junk) },
        { "SQLite source that is no Waves session", withSource (plain.file), sourceKind (plain.file) },
        { "source of the other Waves kind", withSource (rack.file), sourceKind (rack.file) },
        { "SuperRack Performer source",
          { "--waves-convert", "waves-lv1", p (performer.file), "--selection", p (pickFor (performer.file, toLv1)), "--template",
            p (showTemplate.file), "--output", p (box.file ("new.emo")) },
          "The .sprk source is not a verified SuperRack SoundGrid session" + in (performer.file) },
        { "selection not there", withSelection (box.file ("none.json")), "--selection: " + notFound (box.file ("none.json")) },
        { "selection that is a link to nothing", withSelection (lostSelection), "--selection: " + notFound (lostSelection) },
        { "selection that is a FIFO", withSelection (fifoSelection), "--selection: Waves selection file cannot be read: " + notRegular (fifoSelection) },
        { "empty selection", withSelection (emptySelection), "--selection: Waves selection schema is invalid: no JSON document" + in (emptySelection) },
        { "selection that is not UTF-8", withSelection (latin1Selection),
          "--selection: Waves selection file cannot be read: not valid UTF-8 text (byte 15): " + latin1Selection.getFullPathName() },
        { "selection for the other direction", withSelection (otherTarget),
          "--selection: Waves selection target does not match the conversion target" + in (otherTarget) },
        { "template not there", withTemplate (box.file ("none.sprk")), "--template: " + notFound (box.file ("none.sprk")) },
        { "template that is a link to nothing", withTemplate (lostTemplate), "--template: " + notFound (lostTemplate) },
        { "template that is a FIFO", withTemplate (fifoTemplate), "--template: " + notRegular (fifoTemplate) },
        { "empty template", withTemplate (empty), templateKind (empty) },
        { "template of bytes that are no database", withTemplate (junk), "--template: file is not a database" + in (junk) },
        { "SQLite template that is no Waves session", withTemplate (plain.file), templateKind (plain.file) },
        { "template of the other Waves kind", withTemplate (showTemplate.file), templateKind (showTemplate.file) },
        { "SuperRack Performer template", withTemplate (performer.file),
          "--template: The SuperRack host-save template is not a verified SuperRack SoundGrid session" + in (performer.file) },
        { "output of another extension", withOutput (box.file ("new.txt")),
          "--output: Waves output extension must be .sprk: " + box.file ("new.txt").getFullPathName() },
        { "output that stands there", withOutput (taken), "--output: Waves output already exists; it was not overwritten" + in (taken) },
        { "output that is a link to nothing", withOutput (lostOutput), "--output: Waves output already exists; it was not overwritten" + in (lostOutput) },
        { "output below a file", withOutput (junk.getChildFile ("new.sprk")),
          "--output: Could not create the Waves output beside " + junk.getChildFile ("new.sprk").getFullPathName() + ": Not a directory" },
        { "report of an empty session", report ("superrack-soundgrid", empty), "no such table: main.info" + in (empty) },
        { "report of bytes that are no database", report ("superrack-soundgrid", junk), "file is not a database" + in (junk) },
        { "report of a SQLite file that is no Waves session", report ("superrack-soundgrid", plain.file), "no such table: main.info" + in (plain.file) },
        { "report of the other Waves kind", report ("superrack-soundgrid", rack.file),
          "Waves native transfer supports only LV1 .emo -> SuperRack SoundGrid .sprk and the reverse" + in (rack.file) },
        { "report of a SuperRack Performer session", report ("waves-lv1", performer.file),
          "The .sprk source is not a verified SuperRack SoundGrid session" + in (performer.file) },
        { "report of a FIFO", report ("superrack-soundgrid", fifoSession), notRegular (fifoSession) },
    };
    const auto before = folderEntries (box.folder);
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto run = vorntest::runVornconvBinary (c.args, {}, env);
        EXPECT_EQ (run.exitCode, 1);
        EXPECT_EQ (run.outLines(), juce::StringArray ("ERROR   " + c.error)) << run.out;
        EXPECT_EQ (run.err, std::string());
        EXPECT_EQ (folderEntries (box.folder), before);
        EXPECT_EQ (tmp.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
    }
}

} // namespace

#if VORN_TEST_HOOKS
namespace
{

// A Waves session or template that the host saves in place while it is copied keeps its size:
// the copy would be a database that never existed. Its copy is proven unchanged (the program's
// test hook changes one byte of the named file just after its bytes were read), and the
// operation is refused with nothing written and nothing left below $TMPDIR.
TEST (WavesTransferProgram, ASessionChangedWhileItIsCopiedIsRefused)
{
    vorntest::WavesFixture source ("show.sprk", false);
    vorntest::WavesFixture hostTemplate ("template.emo", true);
    buildSoundGridShow (source);
    buildLv1Template (hostTemplate);
    source.close();
    hostTemplate.close();
    for (const auto* file : { &source.file, &hostTemplate.file })
        ASSERT_TRUE (vorntest::setFileTime (*file, 1500000000, 0));

    vorntest::TempFolder out, tmp;
    const std::vector<std::string> env { "TMPDIR=" + tmp.path() };
    const auto report = vorntest::runVornconvBinary ({ "--waves-selection-report", "waves-lv1", source.file.getFullPathName().toStdString() }, {}, env);
    ASSERT_EQ (report.exitCode, 0) << report.out;
    const auto selection = out.file ("pick.json");
    ASSERT_TRUE (selection.replaceWithText (report.outLines()[0]));
    const std::vector<std::string> convert { "--waves-convert", "waves-lv1", source.file.getFullPathName().toStdString(), "--selection",
                                             selection.getFullPathName().toStdString(), "--template",
                                             hostTemplate.file.getFullPathName().toStdString(), "--output",
                                             out.file ("result.emo").getFullPathName().toStdString() };

    struct Case { const juce::File* changed; std::vector<std::string> args; };
    const Case cases[] = {
        { &source.file, { "--waves-selection-report", "waves-lv1", source.file.getFullPathName().toStdString() } },
        { &source.file, convert },
        { &hostTemplate.file, convert },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.args[0] + ", " + c.changed->getFileName().toStdString() + " changed");
        juce::MemoryBlock pristine;
        ASSERT_TRUE (c.changed->loadFileAsData (pristine));
        auto withHook = env;
        withHook.push_back ("VORN_TEST_CHANGE_WHILE_READ=" + c.changed->getFileName().toStdString());
        const auto run = vorntest::runVornconvBinary (c.args, {}, withHook);
        EXPECT_EQ (run.exitCode, 1) << run.out;
        ASSERT_EQ (run.outLines().size(), 1) << run.out;
        EXPECT_TRUE (run.outLines()[0].startsWith ("ERROR   ")) << run.out;
        EXPECT_TRUE (run.outLines()[0].endsWith ("file changed while it was read: " + c.changed->getFullPathName())) << run.out;
        EXPECT_EQ (folderEntries (out.folder), juce::StringArray ({ "pick.json" }));
        EXPECT_EQ (tmp.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
        // The hook did change the file: put it back for the next case.
        juce::MemoryBlock now;
        ASSERT_TRUE (c.changed->loadFileAsData (now));
        EXPECT_EQ (now.getSize(), pristine.getSize());
        EXPECT_FALSE (now == pristine);
        ASSERT_TRUE (c.changed->replaceWithData (pristine.getData(), pristine.getSize()));
        ASSERT_TRUE (vorntest::setFileTime (*c.changed, 1500000000, 0));
    }
}

} // namespace
#endif
