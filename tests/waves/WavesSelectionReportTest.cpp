#include "WavesFixture.h"

#include "waves/WavesSessionTransfer.h"

#include <juce_cryptography/juce_cryptography.h>

using namespace vornconv;
using vorntest::PrivateTmp;

namespace
{

juce::var report (const juce::File& input, const char* target, juce::String& error)
{
    const auto text = waves::buildSelectionReport (input, target, error);
    juce::var parsed;
    if (text.isNotEmpty())
        EXPECT_TRUE (juce::JSON::parse (text, parsed).wasOk()) << text;
    return parsed;
}

juce::String field (const juce::var& channels, const char* key)
{
    juce::StringArray values;
    for (const auto& c : *channels.getArray())
        values.add (c[key].toString());
    return values.joinIntoString (",");
}

juce::String pluginField (const juce::var& channel, const char* key)
{
    juce::StringArray values;
    for (const auto& p : *channel["plugins"].getArray())
        values.add (p[key].toString());
    return values.joinIntoString (",");
}

} // namespace

TEST (WavesSelectionReport, SmallLv1SessionDocument)
{
    vorntest::WavesFixture lv1 ("show.emo", true);
    lv1.exec ("INSERT INTO config_info(track_type,num_tracks) VALUES(0,2),(2,1),(1,0);");
    lv1.addChannel (0, 0, "'Kick'");
    lv1.addChannel (0, 1, "''", "'Object name'"); // empty active name: generic, not the object's name
    lv1.addChannel (2, 0, "none", "'Verb'");      // no active row: the object's name
    lv1.addChannel (6, 0, "'  '");                // blank matrix 0, matrix 1 holds a plug-in
    lv1.addChannel (6, 1, "NULL");               // no name at all: the template's name for its destination
    lv1.addChannel (6, 2, "''");
    lv1.addPlug (5, 0, 0, 1, "C1 \"comp\"");
    lv1.addPlug (6, 6, 1, 0, "Q10");
    lv1.close();
    const auto fingerprint = waves::fileSha256 (lv1.file);

    vorntest::PrivateTmp tmp;
    juce::String error;
    const auto text = waves::buildSelectionReport (lv1.file, "superrack-soundgrid", error);
    EXPECT_EQ (error, juce::String());
    const juce::String plugin = R"({"sourceSlot": 1, "targetSlot": 1, "name": "C1 \"comp\"", "vendor": "Waves", "selected": true, "sidechainSource": -1})";
    const juce::String expected
        = R"({"schema": "vorn-waves-selection-v1", "target": "superrack-soundgrid", "sourceSha256": ")" + fingerprint
          + R"(", "targetStrips": 64, "targetSlots": 8, "required": true, "channelOverflow": true, "wavesNative": true, "destinationLimit": "destinationIndex must be below the host-save template's configured channel count of destinationType", "sourceApp": "Waves LV1", "channels": [)"
          + R"({"sourceType": 0, "sourceIndex": 0, "targetIndex": 0, "typeName": "Input", "name": "Kick", "selected": true, "overflow": true, "destinationType": 0, "destinationIndex": 0, "destinationName": "Input 1", "pluginOverflow": false, "plugins": [)"
          + plugin + "]}, "
          + R"({"sourceType": 0, "sourceIndex": 1, "targetIndex": 1, "typeName": "Input", "name": "Input 2", "selected": true, "overflow": true, "destinationType": 0, "destinationIndex": 1, "destinationName": "Input 2", "pluginOverflow": false, "plugins": []}, )"
          + R"({"sourceType": 2, "sourceIndex": 0, "targetIndex": 2, "typeName": "Aux", "name": "Verb", "selected": true, "overflow": true, "destinationType": 0, "destinationIndex": 2, "destinationName": "Input 3", "pluginOverflow": false, "plugins": []}, )"
          + R"({"sourceType": 6, "sourceIndex": 0, "targetIndex": 3, "typeName": "Matrix", "name": "  ", "selected": true, "overflow": true, "destinationType": 0, "destinationIndex": 3, "destinationName": "Input 4", "pluginOverflow": false, "plugins": []}, )"
          + R"({"sourceType": 6, "sourceIndex": 1, "targetIndex": 4, "typeName": "Matrix", "name": "Input 5", "selected": true, "overflow": true, "destinationType": 0, "destinationIndex": 4, "destinationName": "Input 5", "pluginOverflow": false, "plugins": [)"
          + R"({"sourceSlot": 0, "targetSlot": 0, "name": "Q10", "vendor": "Waves", "selected": true, "sidechainSource": -1})" + "]}], "
          + R"("notTransferable": []})";
    EXPECT_EQ (text, expected);
    EXPECT_EQ (tmp.entries(), 0);
    EXPECT_EQ (waves::fileSha256 (lv1.file), fingerprint);
}

TEST (WavesSelectionReport, ChannelsBeyondSixtyFourAreProposedButNotSelected)
{
    struct Case
    {
        const char* name;
        int inputs, auxes, groups, matrices;
        const char* targetIndices; // of the channels listed after the first 60
        int listed;
    };
    const Case cases[] = {
        { "48/8/8/8 puts every matrix over the edge", 48, 8, 8, 8, "60,61,62,63,-1,-1,-1,-1,-1,-1,-1,-1", 72 },
        { "96 inputs list 64", 96, 0, 0, 0, "60,61,62,63", 64 },
        { "a negative count lists none", -1, 2, 0, 0, "", 2 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::WavesFixture lv1 ("a.emo", true);
        lv1.exec ("INSERT INTO config_info(track_type,num_tracks) VALUES(0," + juce::String (c.inputs) + "),(2," + juce::String (c.auxes)
                  + "),(1," + juce::String (c.groups) + ");");
        for (int i = 0; i < juce::jmin (64, c.inputs); ++i)
            lv1.addChannel (0, i, "''");
        lv1.addChannels (2, c.auxes, "", false);
        lv1.addChannels (1, c.groups, "", false);
        lv1.addChannels (6, c.matrices, "M");
        lv1.close();
        juce::String error;
        const auto doc = report (lv1.file, "superrack-soundgrid", error);
        ASSERT_EQ (error, juce::String());
        const auto* channels = doc["channels"].getArray();
        ASSERT_EQ (channels->size(), c.listed);
        juce::StringArray tail;
        for (int i = 60; i < channels->size(); ++i)
            tail.add ((*channels)[i]["targetIndex"].toString());
        EXPECT_EQ (tail.joinIntoString (","), juce::String (c.targetIndices));
        const auto& last = channels->getReference (channels->size() - 1);
        if (c.listed > 64)
        {
            EXPECT_FALSE ((bool) last["selected"]);
            EXPECT_EQ ((int) last["destinationIndex"], 64);
            EXPECT_EQ (last["destinationName"].toString(), "Input 65");
            EXPECT_EQ (last["typeName"].toString(), "Matrix");
        }
        else
        {
            EXPECT_TRUE ((bool) last["selected"]);
        }
    }
}

TEST (WavesSelectionReport, NamesPlugInsOnChannelsItDoesNotList)
{
    // 96 configured inputs, of which the report lists 64; 2 configured auxes; plug-ins on input
    // 71, on aux 3 (not configured), on an object with a negative index, and on listed channels.
    vorntest::WavesFixture lv1 ("a.emo", true);
    lv1.exec ("INSERT INTO config_info(track_type,num_tracks) VALUES(0,96);");
    for (int i = 0; i < 64; ++i)
        lv1.addChannel (0, i, "''");
    lv1.addChannel (0, 70, "'Far'");
    lv1.addChannels (2, 2, "Aux");
    lv1.addChannel (2, 2, "'Unconfigured'");
    lv1.addChannel (2, -1, "'Odd'");
    lv1.addPlug (5, 0, 70, 1, "EQ");
    lv1.addPlug (6, 2, 2, 0, "Verb");
    lv1.addPlug (7, 2, -1, 3, "Odd");
    lv1.addPlug (8, 0, 63, 0, "Listed");
    lv1.close();
    juce::String error;
    const auto doc = report (lv1.file, "superrack-soundgrid", error);
    ASSERT_EQ (error, juce::String());
    juce::StringArray listed;
    for (const auto& entry : *doc["notTransferable"].getArray())
        listed.add (entry["typeName"].toString() + " " + entry["sourceIndex"].toString() + " slot " + entry["sourceSlot"].toString() + " "
                    + entry["name"].toString() + ": " + entry["reason"].toString());
    EXPECT_EQ (listed, juce::StringArray ({ "Input 70 slot 1 EQ: Input 71 lies beyond the 64 channels a transfer carries",
                                            "Aux -1 slot 3 Odd: Aux index -1 is not a configured channel of the session",
                                            "Aux 2 slot 0 Verb: Aux 3 lies beyond the 2 Aux channels the session configures" }));
    EXPECT_EQ (doc["channels"].size(), 64 + 2);
}

TEST (WavesSelectionReport, PluginOverflowRenumbersInRowOrder)
{
    struct Case
    {
        const char* name;
        std::vector<int> slots;
        const char* targetSlots;
        const char* selected; // 1 or 0 per plug-in
        bool overflow;
        const char* error;
    };
    const Case cases[] = {
        { "slot above 7", { 9, 0, 1 }, "0,1,2", "1,1,1", true, "" },
        { "nine plug-ins", { 0, 1, 2, 3, 4, 5, 6, 7, 8 }, "0,1,2,3,4,5,6,7,-1", "1,1,1,1,1,1,1,1,0", true, "" },
        { "eight in place", { 7, 2, 0 }, "0,2,7", "1,1,1", false, "" },
        { "slot 64", { 0, 64 }, "", "", false, "Waves channel contains an invalid plug-in slot" },
        { "negative slot", { -1 }, "", "", false, "Waves channel contains an invalid plug-in slot" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::WavesFixture lv1 ("a.emo", true);
        lv1.addChannels (0, 1);
        int id = 10;
        for (const auto slot : c.slots)
            lv1.addPlug (id++, 0, 0, slot, "P" + juce::String (slot));
        lv1.close();
        juce::String error;
        const auto doc = report (lv1.file, "superrack-soundgrid", error);
        EXPECT_EQ (error, juce::String (c.error));
        if (*c.error != 0)
            continue;
        const auto& channel = doc["channels"][0];
        EXPECT_EQ ((bool) channel["pluginOverflow"], c.overflow);
        EXPECT_EQ (pluginField (channel, "targetSlot"), juce::String (c.targetSlots));
        EXPECT_EQ (pluginField (channel, "selected"), juce::String (c.selected));
    }
}

TEST (WavesSelectionReport, SoundGridSourceFollowsItsEmbeddedChannelMap)
{
    struct Case
    {
        const char* name;
        const char* info;
        const char* destinations; // type:index of rack channels 0..2
        const char* slots;        // destinationSlot of rack channel 0's plug-ins (rack slots 0 and 3)
        const char* selected = "1,1,1";
        const char* record = nullptr; // replaces the record's JSON
    };
    const juce::String good = R"({"schema": "vorn-waves-channel-map-v1", "channels": [)"
                              R"({"rackIndex": 0, "sourceType": 2, "sourceIndex": 4, "plugins": [{"rackSlot": 3, "sourceSlot": 12}, {"rackSlot": 3, "sourceSlot": 1}]},)"
                              R"({"rackIndex": 0, "sourceType": 1, "sourceIndex": 0, "plugins": []},)"
                              R"({"rackIndex": 1, "sourceType": 3, "sourceIndex": 0},)"
                              R"({"rackIndex": 2, "sourceType": 6, "sourceIndex": 2.0}]})";
    const Case cases[] = {
        { "record: first entry wins, bad entries ignored", "VORN_WAVES_CHANNEL_MAP_V1\n", "2:4,0:1,0:2", "0,12" },
        { "header without newline", "VORN_WAVES_CHANNEL_MAP_V1 ", "0:0,0:1,0:2", "0,3" },
        { "broken JSON", "VORN_WAVES_CHANNEL_MAP_V1\n{\"channels\": [", "0:0,0:1,0:2", "0,3" },
        { "deep JSON", "VORN_WAVES_CHANNEL_MAP_V1\n", "0:0,0:1,0:2", "0,3" },
        // Rack channel 1, which the record does not know, would go where rack channel 0 came
        // from: it is proposed unselected, so that the proposal is one a transfer takes.
        { "unknown rack channel on a recorded place", "VORN_WAVES_CHANNEL_MAP_V1\n", "0:1,0:1,0:2", "0,3", "1,0,1",
          R"({"schema": "vorn-waves-channel-map-v1", "channels": [{"rackIndex": 0, "sourceType": 0, "sourceIndex": 1, "plugins": []}]})" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::WavesFixture sg ("rack.sprk", false);
        sg.addChannels (0, 3, "Rack ");
        sg.addPlug (20, 0, 0, 0, "EQ");
        sg.addPlug (21, 0, 0, 3, "Comp");
        const juce::String name (c.name);
        if (name == "deep JSON")
            sg.setInfo (c.info + juce::String::repeatedString ("[", 100000) + juce::String::repeatedString ("]", 100000));
        else if (name == "broken JSON")
            sg.setInfo (c.info);
        else
            sg.setInfo (c.info + (c.record != nullptr ? juce::String (c.record) : good));
        sg.close();
        juce::String error;
        const auto doc = report (sg.file, "waves-lv1", error);
        ASSERT_EQ (error, juce::String());
        EXPECT_EQ (doc["sourceApp"].toString(), "SuperRack SoundGrid");
        juce::StringArray destinations;
        for (const auto& ch : *doc["channels"].getArray())
            destinations.add (ch["destinationType"].toString() + ":" + ch["destinationIndex"].toString());
        EXPECT_EQ (destinations.joinIntoString (","), juce::String (c.destinations));
        EXPECT_EQ (field (doc["channels"], "selected"), juce::String (c.selected));
        // Toward LV1 targetIndex and targetSlot repeat the destination.
        EXPECT_EQ (pluginField (doc["channels"][0], "destinationSlot"), juce::String (c.slots));
        EXPECT_EQ (pluginField (doc["channels"][0], "targetSlot"), juce::String (c.slots));
        EXPECT_EQ (field (doc["channels"], "targetIndex"), field (doc["channels"], "destinationIndex"));
        EXPECT_EQ (field (doc["channels"], "name"), "Rack 1,Rack 2,Rack 3");
    }
}

TEST (WavesSelectionReport, RefusesWrongSourcesAndLeavesNothingBehind)
{
    struct Case
    {
        const char* name;
        bool lv1;
        const char* target;
        const char* sql;
        const char* error;
    };
    const Case cases[] = {
        { "lv1 towards lv1", true, "waves-lv1", "", "Waves native transfer supports only LV1 .emo -> SuperRack SoundGrid .sprk and the reverse" },
        { "soundgrid towards soundgrid", false, "superrack-soundgrid", "",
          "Waves native transfer supports only LV1 .emo -> SuperRack SoundGrid .sprk and the reverse" },
        { "performer", false, "waves-lv1", "UPDATE mixer_settings SET native_buffer_size=128; DELETE FROM device;",
          "The .sprk source is not a verified SuperRack SoundGrid session" },
        { "ambiguous", false, "waves-lv1", "DELETE FROM device;", "Ambiguous SuperRack product markers: native_buffer_size=0, SoundGrid servers=0" },
        { "no info row", true, "superrack-soundgrid", "DELETE FROM info;", "Waves session info row is missing" },
        { "configured channel without object", true, "superrack-soundgrid", "UPDATE config_info SET num_tracks=3 WHERE track_type=0;",
          "configured Waves channel object is missing" },
        { "no plug table", true, "superrack-soundgrid", "DROP TABLE snapshot_plugin; DROP TABLE plug_sidechain; DROP TABLE plug;",
          "no such table: plug" },
        // Nothing would tell which of two rows a selection means.
        { "two objects for one input", true, "superrack-soundgrid", "INSERT INTO object(id,obj_type,obj_index,name) VALUES(1999,0,1,'');",
          "Waves source holds 2 channel objects for Input 2; nothing tells which one is meant" },
        { "two active rows for one rack channel", false, "waves-lv1", "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1000,-1,'x');",
          "Waves source holds 2 active-snapshot rows for Input 1 (snapshot_chainer); nothing tells which one is meant" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::WavesFixture db (c.lv1 ? "a.emo" : "a.sprk", c.lv1);
        db.addChannels (0, 2);
        db.exec (c.sql);
        db.close();
        const auto before = juce::SHA256 (db.file).toHexString();
        vorntest::PrivateTmp tmp;
        juce::String error;
        EXPECT_EQ (waves::buildSelectionReport (db.file, c.target, error), juce::String());
        EXPECT_EQ (error, juce::String (c.error));
        EXPECT_EQ (tmp.entries(), 0);
        EXPECT_EQ (juce::SHA256 (db.file).toHexString(), before);
    }
}

TEST (WavesSelectionReport, CommandLine)
{
    vorntest::WavesFixture lv1 ("a.emo", true);
    lv1.addChannels (0, 1, "Vox ");
    lv1.close();
    const auto path = lv1.file.getFullPathName();

    auto inv = vorntest::invoke ({ "--waves-selection-report", "SUPERRACK-SOUNDGRID", path });
    EXPECT_EQ (inv.status, 0);
    ASSERT_EQ (inv.lines.size(), 1);
    EXPECT_TRUE (inv.lines[0].startsWith (R"({"schema": "vorn-waves-selection-v1", "target": "superrack-soundgrid", "sourceSha256": ")"));
    EXPECT_TRUE (inv.lines[0].contains (R"("name": "Vox 1")"));

    const auto missing = "ERROR   Waves source is unavailable: " + lv1.folder.file ("missing.sprk").getFullPathName();
    const struct
    {
        juce::StringArray args;
        juce::String line;
    } refusals[] = {
        { { "--waves-selection-report", "reaper", path }, "ERROR   Waves target must be superrack-soundgrid or waves-lv1" },
        { { "--waves-selection-report", "waves-lv1", path, path }, "ERROR   Waves operation accepts exactly one input file" },
        { { "--waves-selection-report", "waves-lv1", path },
          "ERROR   Waves native transfer supports only LV1 .emo -> SuperRack SoundGrid .sprk and the reverse (in " + path + ")" },
        { { "--waves-selection-report", "waves-lv1", lv1.folder.file ("missing.sprk").getFullPathName() }, missing },
    };
    for (const auto& r : refusals)
    {
        inv = vorntest::invoke (r.args);
        EXPECT_EQ (inv.status, 1);
        EXPECT_EQ (inv.lines, juce::StringArray (r.line));
    }
}
