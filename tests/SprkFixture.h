#pragma once

// Small SuperRack session databases built in the test: the tables the converter reads, seeded as
// an empty Performer session with 64 spare input chainers (object ids 1000 + index).

#include "TestSupport.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

namespace vorntest
{

inline const char* sprkSchema()
{
    return R"SQL(
CREATE TABLE info(id INTEGER PRIMARY KEY, application_type TEXT);
CREATE TABLE mixer_settings(id INTEGER PRIMARY KEY, sample_rate_preference INTEGER, user_sample_rate INTEGER, native_buffer_size INTEGER);
CREATE TABLE device(id INTEGER PRIMARY KEY, device_gender INTEGER, description TEXT);
CREATE TABLE config_info(id INTEGER PRIMARY KEY, track_type INTEGER, num_tracks INTEGER);
CREATE TABLE object(id INTEGER PRIMARY KEY, obj_type INTEGER, obj_index INTEGER, name TEXT);
CREATE TABLE chainer(obj_id INTEGER PRIMARY KEY, num_inputs INTEGER, num_outputs INTEGER);
CREATE TABLE chainer_params(id INTEGER PRIMARY KEY, name TEXT);
CREATE TABLE snapshot(id INTEGER PRIMARY KEY, number INTEGER, name TEXT, note TEXT, info TEXT);
CREATE TABLE snapshot_chainer(id INTEGER PRIMARY KEY, chainer_id INTEGER, snapshot_id INTEGER, name TEXT);
CREATE TABLE snapshot_chainer_params(id INTEGER PRIMARY KEY, chainer_id INTEGER, snapshot_id INTEGER, param_id INTEGER, param_value);
CREATE TABLE routes(id INTEGER PRIMARY KEY, src_cluster_type, src_cluster_type_index, src_section_type, src_section_index, src_channel_index,
                    dst_cluster_type, dst_cluster_type_index, dst_section_type, dst_section_index, dst_channel_index, status);
CREATE TABLE plug(id INTEGER PRIMARY KEY, chainer_id INTEGER, slot INTEGER, plugin_name TEXT, plugin_4cc TEXT, additional_info TEXT,
                  disabled INTEGER, side_chain INTEGER DEFAULT 0, vendor_name TEXT, plug_role INTEGER);
CREATE TABLE plug_sidechain(id INTEGER PRIMARY KEY, plug_id INTEGER, AsgnType, ControlType, TrackType, TrackHandle, SectionType,
                            SectionIndex, ChannelIndex, controlID);
CREATE TABLE plugin_preset(id INTEGER PRIMARY KEY, preset TEXT);
CREATE TABLE snapshot_plugin(id INTEGER PRIMARY KEY, plug_id INTEGER, preset_id INTEGER, snapshot_id INTEGER, bypass INTEGER, mute INTEGER);
INSERT INTO info VALUES(0,'com.waves.mixer.MRSG');
INSERT INTO mixer_settings(sample_rate_preference,user_sample_rate,native_buffer_size) VALUES(-1,48000,256);
INSERT INTO config_info(track_type,num_tracks) VALUES(0,0);
INSERT INTO chainer_params(id,name) VALUES(1,'PARAM_OUTPUT_GAIN'),(2,'PARAM_IN_ON_OFF'),(3,'PARAM_INPUT_CHOOSE_BANK'),
  (4,'PARAM_INPUT_GAIN_FADER'),(5,'PARAM_PLUGINS_UNDOCK'),(6,'PARAM_COLOR_VALUE'),(7,'PARAM_OUTPUT_PAN_L'),(8,'PARAM_OUTPUT_MAIN_MUTE');
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<63)
  INSERT INTO object(id,obj_type,obj_index,name) SELECT 1000+i,0,i,'' FROM n;
INSERT INTO object(id,obj_type,obj_index,name) VALUES(2000,1,0,'Out');
INSERT INTO chainer(obj_id,num_inputs,num_outputs) SELECT id,2,2 FROM object;
INSERT INTO snapshot(id,number,name,note,info) VALUES(-1,-1,'Active','','');
)SQL";
}

struct SprkFixture
{
    explicit SprkFixture (const juce::String& name = "session.sprk") : file (folder.folder.getFullPathName() + "/" + name)
    {
        sqlite3* db = nullptr;
        ok = sqlite3_open_v2 (file.getFullPathName().toRawUTF8(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
        handle = db;
        ok = ok && exec (sprkSchema());
    }

    ~SprkFixture() { close(); }

    bool exec (const juce::String& sql)
    {
        char* message = nullptr;
        const auto rc = sqlite3_exec (handle, sql.toRawUTF8(), nullptr, nullptr, &message);
        if (rc != SQLITE_OK)
            ADD_FAILURE() << "fixture SQL failed: " << (message != nullptr ? message : "?") << "\n" << sql;
        sqlite3_free (message);
        return rc == SQLITE_OK;
    }

    // A SoundGrid session: no native buffer and one server device.
    void makeSoundGrid()
    {
        exec ("UPDATE mixer_settings SET native_buffer_size=0; INSERT INTO device(device_gender,description) VALUES(0,'sgs');");
    }

    void setTracks (int n) { exec ("UPDATE config_info SET num_tracks=" + juce::String (n) + " WHERE track_type=0;"); }

    void inRoute (int strip, int rack, int physical, int section = 0, int status = 4)
    {
        exec ("INSERT INTO routes(src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,"
              "dst_cluster_type,dst_cluster_type_index,dst_section_type,dst_section_index,dst_channel_index,status) VALUES(10,0,-1,-1,"
              + juce::String (physical) + ",0," + juce::String (strip) + ",0," + juce::String (section) + "," + juce::String (rack)
              + "," + juce::String (status) + ");");
    }

    void outRoute (int strip, int rack, int physical)
    {
        exec ("INSERT INTO routes(src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,"
              "dst_cluster_type,dst_cluster_type_index,dst_section_type,dst_section_index,dst_channel_index,status) VALUES(0,"
              + juce::String (strip) + ",-1,0," + juce::String (rack) + ",11,0,0,-1," + juce::String (physical) + ",4);");
    }

    // value is SQL text: 1.5, 'x', NULL ...
    void param (int strip, int paramId, const juce::String& value)
    {
        exec ("INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(" + juce::String (1000 + strip)
              + ",-1," + juce::String (paramId) + "," + value + ");");
    }

    // The last four are SQL value texts: 'VS2S', NULL, 1 ...
    void addPlug (int id, int strip, int slot, const juce::String& name = "EQ", const juce::String& vendor = "Acme",
                  const juce::String& fourCc = "''", const juce::String& additionalInfo = "''", const juce::String& disabled = "0",
                  const juce::String& sideChain = "0")
    {
        exec ("INSERT INTO plug(id,chainer_id,slot,plugin_name,vendor_name,plugin_4cc,additional_info,disabled,side_chain) VALUES("
              + juce::String (id) + "," + juce::String (1000 + strip) + "," + juce::String (slot) + ",'" + name + "','" + vendor + "',"
              + fourCc + "," + additionalInfo + "," + disabled + "," + sideChain + ");");
    }

    // A plug_sidechain row; values is the eight assignment fields as SQL text.
    void addSidechain (int plug, const juce::String& values)
    {
        exec ("INSERT INTO plug_sidechain(plug_id,AsgnType,ControlType,TrackType,TrackHandle,SectionType,SectionIndex,ChannelIndex,controlID) VALUES("
              + juce::String (plug) + "," + values + ");");
    }

    // A preset row and the active state row of plug that uses it.
    void addState (int plug, const juce::String& preset, int bypass = 0, int mute = 0)
    {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2 (handle, "INSERT INTO plugin_preset(id,preset) VALUES(?,?)", -1, &st, nullptr);
        sqlite3_bind_int (st, 1, plug);
        sqlite3_bind_text (st, 2, preset.toRawUTF8(), -1, SQLITE_TRANSIENT);
        EXPECT_EQ (sqlite3_step (st), SQLITE_DONE);
        sqlite3_finalize (st);
        exec ("INSERT INTO snapshot_plugin(plug_id,preset_id,snapshot_id,bypass,mute) VALUES(" + juce::String (plug) + ","
              + juce::String (plug) + ",-1," + juce::String (bypass) + "," + juce::String (mute) + ");");
    }

    void setInfo (const juce::String& info)
    {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2 (handle, "UPDATE snapshot SET info=? WHERE id=-1", -1, &st, nullptr);
        sqlite3_bind_text (st, 1, info.toRawUTF8(), -1, SQLITE_TRANSIENT);
        EXPECT_EQ (sqlite3_step (st), SQLITE_DONE);
        sqlite3_finalize (st);
    }

    void close()
    {
        if (handle != nullptr)
            sqlite3_close_v2 (handle);
        handle = nullptr;
    }

    TempFolder folder;
    juce::File file;
    sqlite3* handle = nullptr;
    bool ok = false;
};

// Runs sql inside a write transaction that stays open, with its pages pushed out to the files
// (the database and its rollback journal, or the write-ahead log) as a host that crashed or is
// still saving leaves them. The caller ends it with "ROLLBACK".
inline void writeUnfinishedTransaction (sqlite3* db, const juce::String& sql)
{
    ASSERT_EQ (sqlite3_exec (db, ("BEGIN IMMEDIATE;" + sql).toRawUTF8(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg (db);
    ASSERT_EQ (sqlite3_db_cacheflush (db), SQLITE_OK);
}

// Rebuilds table with column declared without a type, so that a text or real stored in it stays
// one (a column declared INTEGER turns the text '1000' into the number).
inline void untypeColumn (sqlite3* db, const juce::String& table, const juce::String& column)
{
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2 (db, "SELECT sql FROM sqlite_master WHERE type='table' AND name=?", -1, &st, nullptr);
    sqlite3_bind_text (st, 1, table.toRawUTF8(), -1, SQLITE_TRANSIENT);
    ASSERT_EQ (sqlite3_step (st), SQLITE_ROW);
    const auto create = juce::String::fromUTF8 (reinterpret_cast<const char*> (sqlite3_column_text (st, 0)));
    sqlite3_finalize (st);
    ASSERT_TRUE (create.contains (" " + column + " INTEGER")) << create;
    const auto sql = "ALTER TABLE " + table + " RENAME TO old_" + table + ";" + create.replaceFirstOccurrenceOf (" " + column + " INTEGER", " " + column)
                     + ";INSERT INTO " + table + " SELECT * FROM old_" + table + ";DROP TABLE old_" + table + ";";
    ASSERT_EQ (sqlite3_exec (db, sql.toRawUTF8(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg (db);
}

// Turns a fixture into a writer template: the tables and columns a host-saved Performer session has
// beyond what the reader needs (the unique preset hash, the cleared snapshot tables, ...), and
// mixer settings of 44100 Hz / 512 samples that a written session may replace.
inline void makeSprkTemplate (SprkFixture& f)
{
    f.exec (R"SQL(
ALTER TABLE chainer ADD COLUMN input_stem_format INTEGER;
ALTER TABLE chainer ADD COLUMN output_stem_format INTEGER;
ALTER TABLE snapshot ADD COLUMN tempo REAL;
ALTER TABLE snapshot ADD COLUMN sync_tempo INTEGER;
ALTER TABLE snapshot_chainer ADD COLUMN preset_name TEXT;
ALTER TABLE snapshot_chainer ADD COLUMN selected_slot INTEGER;
ALTER TABLE snapshot_chainer ADD COLUMN ch_scope_type_id INTEGER;
ALTER TABLE snapshot_chainer ADD COLUMN in_scope INTEGER;
ALTER TABLE routes ADD COLUMN src_control_id INTEGER;
ALTER TABLE routes ADD COLUMN src_asgn_type INTEGER;
ALTER TABLE routes ADD COLUMN dst_control_id INTEGER;
ALTER TABLE routes ADD COLUMN dst_asgn_type INTEGER;
ALTER TABLE plugin_preset ADD COLUMN hash TEXT;
ALTER TABLE plugin_preset ADD COLUMN ref_count INTEGER;
CREATE UNIQUE INDEX plugin_preset_hash ON plugin_preset(hash);
ALTER TABLE snapshot_plugin ADD COLUMN setup_type_id INTEGER;
ALTER TABLE snapshot_plugin ADD COLUMN docked INTEGER;
CREATE TABLE recalled_snapshot(id INTEGER PRIMARY KEY, number INTEGER);
CREATE TABLE hot_plug(id INTEGER PRIMARY KEY, plug_id INTEGER REFERENCES plug(id));
CREATE TABLE snapshot_hot_plugins(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE snapshot_assignment(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE snapshot_iom(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE snapshot_mute_group(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE snapshot_output_chainer_preset(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE snapshot_scope_settings(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE chainer_snapshot_scope_settings(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id), chainer_id INTEGER);
CREATE TABLE hot_snapshots(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
UPDATE mixer_settings SET user_sample_rate=44100, native_buffer_size=512;
INSERT INTO recalled_snapshot(number) VALUES(-1);
)SQL");
}

} // namespace vorntest
