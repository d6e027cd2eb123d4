#pragma once

// Small Waves session databases built in the test: an eMotion LV1 session (.emo) or a SuperRack
// SoundGrid session (.sprk) with the tables the native transfer reads and writes. Foreign keys
// are declared without cascades, so a transfer that deletes parents before children fails.

#include "TestSupport.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

namespace vorntest
{

inline const char* wavesSchema()
{
    return R"SQL(
CREATE TABLE info(id INTEGER PRIMARY KEY, application_type TEXT);
CREATE TABLE mixer_settings(id INTEGER PRIMARY KEY, native_buffer_size INTEGER);
CREATE TABLE device(id INTEGER PRIMARY KEY, device_gender INTEGER, description TEXT);
CREATE TABLE config_info(id INTEGER PRIMARY KEY, track_type INTEGER, num_tracks INTEGER);
CREATE TABLE object(id INTEGER PRIMARY KEY, obj_type INTEGER NOT NULL, obj_index INTEGER NOT NULL, name TEXT);
CREATE TABLE snapshot(id INTEGER PRIMARY KEY, number INTEGER, name TEXT, info TEXT);
CREATE TABLE snapshot_chainer(id INTEGER PRIMARY KEY, chainer_id INTEGER REFERENCES object(id), snapshot_id INTEGER REFERENCES snapshot(id),
                              name TEXT, preset_name TEXT, selected_slot INTEGER);
CREATE TABLE chainer_params(id INTEGER PRIMARY KEY, name TEXT);
CREATE TABLE snapshot_chainer_params(id INTEGER PRIMARY KEY, chainer_id INTEGER REFERENCES object(id), snapshot_id INTEGER, param_id INTEGER, param_value);
CREATE TABLE snapshot_hot_plugins(id INTEGER PRIMARY KEY, snapshot_id INTEGER, hp_1_plug_id INTEGER, hp_2_plug_id INTEGER, hp_3_plug_id INTEGER,
  hp_4_plug_id INTEGER, hp_5_plug_id INTEGER, hp_6_plug_id INTEGER, hp_7_plug_id INTEGER, hp_8_plug_id INTEGER, hp_9_plug_id INTEGER,
  hp_10_plug_id INTEGER, hp_11_plug_id INTEGER, hp_12_plug_id INTEGER);
CREATE TABLE plug(id INTEGER PRIMARY KEY, chainer_id INTEGER REFERENCES object(id), slot INTEGER, plugin_name TEXT, plugin_4cc TEXT,
                  additional_info TEXT, disabled INTEGER DEFAULT 0, recall_safe INTEGER DEFAULT 0, side_chain INTEGER DEFAULT 0,
                  hot_plugin INTEGER DEFAULT -1, vendor_name TEXT, plug_role INTEGER DEFAULT 0, ignore_latency INTEGER DEFAULT 0);
CREATE TABLE plug_sidechain(id INTEGER PRIMARY KEY, plug_id INTEGER REFERENCES plug(id), TrackHandle INTEGER);
CREATE TABLE plugin_preset(id INTEGER PRIMARY KEY, hash TEXT UNIQUE, ref_count INTEGER, preset BLOB);
CREATE TABLE snapshot_plugin(id INTEGER PRIMARY KEY, plug_id INTEGER REFERENCES plug(id), preset_id INTEGER REFERENCES plugin_preset(id),
                             snapshot_id INTEGER, setup_type_id INTEGER DEFAULT -1, bypass INTEGER DEFAULT 0, mute INTEGER DEFAULT 0,
                             docked INTEGER DEFAULT 1, fw_posx INTEGER DEFAULT 0, fw_posy INTEGER DEFAULT 0,
                             fw_scale_precentage INTEGER DEFAULT 100, fw_always_on_top INTEGER DEFAULT 0);
CREATE TABLE routes(id INTEGER PRIMARY KEY, src_cluster_type INTEGER, src_cluster_type_index INTEGER, src_section_type INTEGER,
                    src_section_index INTEGER, src_channel_index INTEGER, src_control_id INTEGER, src_asgn_type INTEGER,
                    dst_cluster_type INTEGER, dst_cluster_type_index INTEGER, dst_section_type INTEGER, dst_section_index INTEGER,
                    dst_channel_index INTEGER, dst_control_id INTEGER, dst_asgn_type INTEGER, status INTEGER);
INSERT INTO snapshot(id,number,name,info) VALUES(-1,-1,'Active','');
INSERT INTO snapshot_hot_plugins(snapshot_id,hp_1_plug_id,hp_2_plug_id) VALUES(-1,5,6);
)SQL";
}

struct WavesFixture
{
    // lv1: an eMotion LV1 session; otherwise a SuperRack SoundGrid session.
    WavesFixture (const juce::String& name, bool lv1) : file (folder.file (name))
    {
        sqlite3* db = nullptr;
        ok = sqlite3_open_v2 (file.getFullPathName().toRawUTF8(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
        handle = db;
        // A test session needs no durability: without a sync per statement it builds in a moment.
        ok = ok && exec ("PRAGMA synchronous=OFF;") && exec (wavesSchema());
        if (lv1)
            ok = ok && exec ("INSERT INTO info VALUES(0,'com.waves.mixer.lv1');");
        else
            ok = ok && exec ("INSERT INTO info VALUES(0,'com.waves.mixer.MRSG'); INSERT INTO mixer_settings(native_buffer_size) VALUES(0);"
                             "INSERT INTO device(device_gender,description) VALUES(3,'SGS');");
    }

    ~WavesFixture() { close(); }

    bool exec (const juce::String& sql)
    {
        char* message = nullptr;
        const auto rc = sqlite3_exec (handle, sql.toRawUTF8(), nullptr, nullptr, &message);
        if (rc != SQLITE_OK)
            ADD_FAILURE() << "fixture SQL failed: " << (message != nullptr ? message : "?") << "\n" << sql;
        sqlite3_free (message);
        return rc == SQLITE_OK;
    }

    // Object id of a channel: 1000 * (type + 1) + index, plus base (to tell templates apart).
    int objectId (int type, int index) const { return base + 1000 * (type + 1) + index; }

    // count channels of type with active names "name<i>" (nameSql NULL gives no active row).
    void addChannels (int type, int count, const juce::String& prefix = "", bool configured = true)
    {
        if (configured)
            exec ("INSERT INTO config_info(track_type,num_tracks) VALUES(" + juce::String (type) + "," + juce::String (count) + ");");
        for (int i = 0; i < count; ++i)
            addChannel (type, i, prefix.isEmpty() ? "''" : "'" + prefix + juce::String (i + 1) + "'");
    }

    // One object row and its active snapshot_chainer row; activeName is SQL text ('Kick', '', NULL)
    // or "none" for no active row.
    void addChannel (int type, int index, const juce::String& activeName, const juce::String& objectName = "''")
    {
        const auto id = juce::String (objectId (type, index));
        exec ("INSERT INTO object(id,obj_type,obj_index,name) VALUES(" + id + "," + juce::String (type) + "," + juce::String (index) + ","
              + objectName + ");");
        if (activeName != "none")
            exec ("INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name,preset_name,selected_slot) VALUES(" + id + ",-1," + activeName
                  + ",'P" + id + "',1);");
    }

    // A plug-in on channel (type, index) at slot with its own preset (presetId 0: a new one with
    // the plug id) and its active state.
    void addPlug (int id, int type, int index, int slot, const juce::String& name, int presetId = 0, int bypass = 0, int mute = 0)
    {
        exec ("INSERT INTO plug(id,chainer_id,slot,plugin_name,plugin_4cc,additional_info,vendor_name) VALUES(" + juce::String (id) + ","
              + juce::String (objectId (type, index)) + "," + juce::String (slot) + ",'" + name + "','4CC" + juce::String (id)
              + "','info','Waves');");
        if (presetId == 0)
        {
            presetId = id;
            exec ("INSERT INTO plugin_preset(id,hash,ref_count,preset) VALUES(" + juce::String (id) + ",'h" + juce::String (id) + "',1,X'00"
                  + juce::String::formatted ("%04X", id) + "FF');");
        }
        exec ("INSERT INTO snapshot_plugin(id,plug_id,preset_id,snapshot_id,bypass,mute,fw_posx) VALUES(" + juce::String (id + 500) + ","
              + juce::String (id) + "," + juce::String (presetId) + ",-1," + juce::String (bypass) + "," + juce::String (mute) + ","
              + juce::String (id * 3) + ");");
    }

    void addRoute (int id, int srcType, int srcIndex, int dstType, int dstIndex, int channel)
    {
        exec ("INSERT INTO routes VALUES(" + juce::String (id) + "," + juce::String (srcType) + "," + juce::String (srcIndex) + ",-1,0,"
              + juce::String (channel) + ",7,1," + juce::String (dstType) + "," + juce::String (dstIndex) + ",0,0," + juce::String (channel)
              + ",8,2,4);");
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
    int base = 0;
    bool ok = false;
};


// Runs SQL on a database file (a session built and closed before).
inline void executeOn (const juce::File& database, const juce::String& sql)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2 (database.getFullPathName().toRawUTF8(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
    {
        char* message = nullptr;
        if (sqlite3_exec (db, sql.toRawUTF8(), nullptr, nullptr, &message) != SQLITE_OK)
            ADD_FAILURE() << "SQL failed: " << (message != nullptr ? message : "?") << "\n" << sql;
        sqlite3_free (message);
    }
    else
    {
        ADD_FAILURE() << "cannot open " << database.getFullPathName();
    }
    sqlite3_close_v2 (db);
}

// Runs one query on a database file and returns the rows, columns joined by "|".
inline juce::StringArray queryRows (const juce::File& database, const juce::String& sql)
{
    juce::StringArray rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2 (database.getFullPathName().toRawUTF8(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    {
        sqlite3_close_v2 (db);
        ADD_FAILURE() << "cannot open " << database.getFullPathName();
        return rows;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2 (db, sql.toRawUTF8(), -1, &st, nullptr) != SQLITE_OK)
        ADD_FAILURE() << "query failed: " << sqlite3_errmsg (db) << "\n" << sql;
    while (st != nullptr && sqlite3_step (st) == SQLITE_ROW)
    {
        juce::StringArray columns;
        for (int c = 0; c < sqlite3_column_count (st); ++c)
        {
            const auto* text = sqlite3_column_text (st, c);
            columns.add (text != nullptr ? juce::String::fromUTF8 (reinterpret_cast<const char*> (text)) : juce::String ("NULL"));
        }
        rows.add (columns.joinIntoString ("|"));
    }
    sqlite3_finalize (st);
    sqlite3_close_v2 (db);
    return rows;
}

} // namespace vorntest
