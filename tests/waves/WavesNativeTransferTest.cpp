#include "SprkFixture.h"
#include "WavesFixture.h"

#include "model/TestHooks.h"
#include "waves/WavesSessionTransfer.h"

#include <juce_cryptography/juce_cryptography.h>

#include <functional>

using namespace vornconv;
using vorntest::PrivateTmp;

namespace
{

// LV1 show: Input 1 "Snare", Input 2 "Kick" {EQ@0, Comp@1 sharing EQ's preset}, Aux 1 "Verb";
// routes: physical in 3 -> Kick, Kick -> Group 1, Verb -> physical out 5, Snare -> physical out 1.
void buildLv1Show (vorntest::WavesFixture& lv1)
{
    lv1.exec ("INSERT INTO config_info(track_type,num_tracks) VALUES(0,2),(2,1),(1,1);");
    lv1.addChannel (0, 0, "'Snare'");
    lv1.addChannel (0, 1, "'Kick'");
    lv1.addChannel (2, 0, "'Verb'");
    lv1.addChannel (1, 0, "'Drums'");
    lv1.addPlug (5, 0, 1, 0, "EQ", 0, 1, 0);
    lv1.addPlug (6, 0, 1, 1, "Comp", 5, 0, 1);
    lv1.exec ("INSERT INTO snapshot_plugin(id,plug_id,preset_id,snapshot_id,bypass) VALUES(900,5,5,3,1);"); // another snapshot
    lv1.addRoute (1, 10, 0, 0, 1, 3);
    lv1.addRoute (2, 0, 1, 1, 0, 0);
    lv1.addRoute (3, 2, 0, 11, 0, 5);
    lv1.addRoute (4, 0, 0, 11, 0, 1);
}

// SoundGrid template: 12 input chainers (ids 6000 + i) named "T<i>", with a plug-in, a route and
// a parameter of its own that the transfer must clear.
void buildSoundGridTemplate (vorntest::WavesFixture& sg, int channels = 12)
{
    sg.base = 5000;
    sg.addChannels (0, channels, "T");
    sg.addPlug (77, 0, 3, 0, "Old");
    sg.addRoute (70, 10, 0, 0, 3, 1);
    sg.exec ("INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(6003,-1,1,0.5);");
}

// The report of input for target, edited by edit and written to file.
bool writeSelection (const juce::File& input, const char* target, const juce::File& file, const std::function<void (juce::var&)>& edit)
{
    juce::String error;
    const auto text = waves::buildSelectionReport (input, target, error);
    EXPECT_EQ (error, juce::String());
    juce::var doc;
    if (! juce::JSON::parse (text, doc).wasOk())
        return false;
    if (edit)
        edit (doc);
    return file.replaceWithText (juce::JSON::toString (doc));
}

juce::var& channel (juce::var& doc, int i)
{
    return doc["channels"].getArray()->getReference (i);
}

void set (juce::var& object, const char* key, const juce::var& value)
{
    object.getDynamicObject()->setProperty (key, value);
}

// Toward SoundGrid: a channel moved to another rack channel, with every field that names it.
void toRack (juce::var& entry, int rack)
{
    set (entry, "targetIndex", rack);
    set (entry, "destinationIndex", rack);
    set (entry, "destinationName", waves::genericChannelName (0, rack));
}

// Toward LV1: a channel given another destination, with every field that names it (targetIndex
// repeats destinationIndex).
void toChannel (juce::var& entry, int type, int index)
{
    set (entry, "targetIndex", index);
    set (entry, "destinationType", type);
    set (entry, "destinationIndex", index);
    set (entry, "destinationName", waves::genericChannelName (type, index));
}

// Lv1 show selection: Snare off, Kick to rack channel 5, Verb to rack channel 2, Drums off.
void lv1Choice (juce::var& doc)
{
    set (channel (doc, 0), "selected", false);
    toRack (channel (doc, 1), 5);
    set (channel (doc, 3), "selected", false);
}

juce::StringArray folderEntries (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*", juce::File::FollowSymlinks::no))
        names.add (f.getFileName());
    names.sort (false);
    return names;
}

} // namespace

TEST (WavesNativeTransfer, Lv1ToSoundGridCopiesSelectedChannelsPluginsAndPhysicalRoutes)
{
    vorntest::WavesFixture lv1 ("show.emo", true);
    buildLv1Show (lv1);
    lv1.close();
    vorntest::WavesFixture sg ("template.sprk", false);
    buildSoundGridTemplate (sg);
    sg.close();
    vorntest::TempFolder out;
    const auto selection = out.file ("pick.json");
    ASSERT_TRUE (writeSelection (lv1.file, "superrack-soundgrid", selection, lv1Choice));
    const auto output = out.file ("result.sprk");
    const auto sums = juce::SHA256 (lv1.file).toHexString() + juce::SHA256 (sg.file).toHexString() + juce::SHA256 (selection).toHexString();

    vorntest::PrivateTmp tmp;
    const auto result = waves::convertSession (lv1.file, "superrack-soundgrid", selection, sg.file, output);
    ASSERT_TRUE (result.ok) << result.error;
    EXPECT_EQ (result.summary, "Waves candidate created: 2 channels, 2 plug-ins, 2 physical routes");
    EXPECT_TRUE (result.note.startsWith ("Native Waves preset payloads and active bypass/mute values were copied exactly."));

    using vorntest::queryRows;
    EXPECT_EQ (queryRows (output, "SELECT id,chainer_id,slot,plugin_name,plugin_4cc,recall_safe,side_chain,hot_plugin FROM plug ORDER BY id"),
               juce::StringArray ({ "5|6005|0|EQ|4CC5|0|0|-1", "6|6005|1|Comp|4CC6|0|0|-1" }));
    EXPECT_EQ (queryRows (output, "SELECT id,hash,ref_count,hex(preset) FROM plugin_preset"), juce::StringArray ({ "5|h5|2|000005FF" }));
    EXPECT_EQ (queryRows (output, "SELECT id,plug_id,preset_id,snapshot_id,setup_type_id,bypass,mute,fw_posx FROM snapshot_plugin ORDER BY id"),
               juce::StringArray ({ "505|5|5|-1|-1|1|0|15", "506|6|5|-1|-1|0|1|18" }));
    // Physical in renumbered onto rack channel 5, Verb's output from rack channel 2; the route to
    // a group and the unselected Snare's output stay behind.
    EXPECT_EQ (queryRows (output, "SELECT * FROM routes ORDER BY id"),
               juce::StringArray ({ "1|10|0|-1|0|3|7|1|0|5|0|0|3|8|2|4", "3|0|2|-1|0|5|7|1|11|0|0|0|5|8|2|4" }));
    EXPECT_EQ (queryRows (output, "SELECT chainer_id,name,preset_name,selected_slot FROM snapshot_chainer WHERE chainer_id IN (6000,6002,6005,6011) ORDER BY chainer_id"),
               juce::StringArray ({ "6000|Input 1|P6000|1", "6002|Verb|P3000|1", "6005|Kick|P1001|1", "6011|Input 12|P6011|1" }));
    EXPECT_EQ (queryRows (output, "SELECT count(*) FROM snapshot_chainer_params"), juce::StringArray ({ "0" }));
    EXPECT_EQ (queryRows (output, "SELECT hp_1_plug_id,hp_2_plug_id FROM snapshot_hot_plugins"), juce::StringArray ({ "-1|-1" }));
    EXPECT_EQ (queryRows (output, "PRAGMA journal_mode"), juce::StringArray ({ "delete" }));
    EXPECT_EQ (queryRows (output, "PRAGMA integrity_check"), juce::StringArray ({ "ok" }));

    const auto info = queryRows (output, "SELECT info FROM snapshot WHERE id=-1")[0];
    ASSERT_TRUE (info.startsWith ("VORN_WAVES_CHANNEL_MAP_V1\n"));
    juce::var record;
    ASSERT_TRUE (juce::JSON::parse (info.substring (26), record).wasOk());
    EXPECT_EQ (record["schema"].toString(), "vorn-waves-channel-map-v1");
    EXPECT_EQ (juce::JSON::toString (record["channels"], true),
               R"([{"rackIndex": 5, "sourceType": 0, "sourceIndex": 1, "plugins": [{"rackSlot": 0, "sourceSlot": 0}, {"rackSlot": 1, "sourceSlot": 1}]}, )"
               R"({"rackIndex": 2, "sourceType": 2, "sourceIndex": 0, "plugins": []}])");

    EXPECT_EQ (folderEntries (out.folder), juce::StringArray ({ "pick.json", "result.sprk" }));
    EXPECT_EQ (tmp.entries(), 0);
    EXPECT_EQ (juce::SHA256 (lv1.file).toHexString() + juce::SHA256 (sg.file).toHexString() + juce::SHA256 (selection).toHexString(), sums);

    // Back again: the SoundGrid result proposes the LV1 channels it came from, and the reverse
    // transfer puts them there.
    const auto back = out.file ("back.json");
    ASSERT_TRUE (writeSelection (output, "waves-lv1", back, [] (juce::var& doc) {
        for (int i = 0; i < doc["channels"].getArray()->size(); ++i)
            set (channel (doc, i), "selected", i == 5 || i == 2);
        EXPECT_EQ (channel (doc, 5)["destinationName"].toString(), "Input 2");
        EXPECT_EQ (channel (doc, 2)["destinationName"].toString(), "Aux 1");
        auto& comp = channel (doc, 5)["plugins"].getArray()->getReference (1);
        set (comp, "targetSlot", 40); // repeats destinationSlot
        set (comp, "destinationSlot", 40);
    }));
    vorntest::WavesFixture lv1Template ("lv1-template.emo", true);
    lv1Template.base = 100;
    lv1Template.addChannels (0, 4, "L");
    lv1Template.addChannels (2, 2, "A");
    lv1Template.close();
    const auto lv1Output = out.file ("again.EMO");
    const auto reverse = waves::convertSession (output, "waves-lv1", back, lv1Template.file, lv1Output);
    ASSERT_TRUE (reverse.ok) << reverse.error;
    EXPECT_EQ (reverse.summary, "Waves candidate created: 2 channels, 2 plug-ins, 2 physical routes");
    EXPECT_EQ (queryRows (lv1Output, "SELECT id,chainer_id,slot FROM plug ORDER BY id"), juce::StringArray ({ "5|1101|0", "6|1101|40" }));
    EXPECT_EQ (queryRows (lv1Output, "SELECT src_cluster_type,src_cluster_type_index,dst_cluster_type,dst_cluster_type_index FROM routes ORDER BY id"),
               juce::StringArray ({ "10|0|0|1", "2|0|11|0" }));
    EXPECT_EQ (queryRows (lv1Output, "SELECT name FROM snapshot_chainer WHERE chainer_id IN (1100,1101,3100) ORDER BY chainer_id"),
               juce::StringArray ({ "Input 1", "Kick", "Verb" }));
    juce::var reverseRecord;
    ASSERT_TRUE (juce::JSON::parse (queryRows (lv1Output, "SELECT info FROM snapshot WHERE id=-1")[0].substring (26), reverseRecord).wasOk());
    EXPECT_EQ (juce::JSON::toString (reverseRecord["channels"][0], true),
               R"({"rackIndex": 2, "sourceType": 2, "sourceIndex": 0, "plugins": []})");
    EXPECT_EQ (juce::JSON::toString (reverseRecord["channels"][1]["plugins"], true),
               R"([{"rackSlot": 0, "sourceSlot": 0}, {"rackSlot": 1, "sourceSlot": 40}])");
}

TEST (WavesNativeTransfer, RefusesInvalidSelections)
{
    vorntest::WavesFixture lv1 ("show.emo", true);
    buildLv1Show (lv1);
    lv1.close();
    vorntest::WavesFixture sg ("template.sprk", false);
    buildSoundGridTemplate (sg);
    sg.close();
    vorntest::TempFolder out;
    const auto selection = out.file ("pick.json");
    const auto output = out.file ("result.sprk");

    // The one-line report, and where a piece of text stands in it (column of its first character).
    juce::String reportError;
    const auto report = waves::buildSelectionReport (lv1.file, "superrack-soundgrid", reportError);
    ASSERT_EQ (reportError, juce::String());
    const auto at = [] (const juce::String& text, const juce::String& piece, int from = 0) {
        return " at line 1, column " + juce::String (text.indexOf (from, piece) + 1);
    };
    const auto replaced = [&report] (const juce::String& from, const juce::String& to) { return report.replaceFirstOccurrenceOf (from, to); };

    using Edit = std::function<void (juce::var&)>;
    const auto plugin = [] (juce::var& doc, int i) -> juce::var& { return channel (doc, 1)["plugins"].getArray()->getReference (i); };
    const auto leadingZero = replaced ("\"targetIndex\": 1,", "\"targetIndex\": 01,");
    const auto twice = replaced ("\"targetIndex\": 1,", "\"targetIndex\": 1, \"targetIndex\": 40,");
    const auto shaTwice = replaced ("\"sourceSha256\": \"", "\"sourceSha256\": \"" + juce::String::repeatedString ("0", 64) + "\", \"sourceSha256\": \"");
    const auto quoted = replaced ("\"Kick\"", "'Kick'");
    const struct
    {
        const char* name;
        Edit edit;
        juce::String text; // replaces the document when set
        juce::String error;
    } cases[] = {
        { "other schema", [] (juce::var& d) { set (d, "schema", "vorn-rapp-selection-v1"); }, {},
          "Waves selection schema is invalid: schema is not \"vorn-waves-selection-v1\"" },
        { "not an object", nullptr, "[" + report + "]", "Waves selection schema is invalid: the document is not a JSON object" },
        { "not JSON", nullptr, "{\"schema\": ", "Waves selection schema is invalid: unexpected end of the document at line 1, column 12" },
        { "empty", nullptr, " \n", "Waves selection schema is invalid: no JSON document" },
        { "too deep", nullptr, juce::String::repeatedString ("[", 100000), "Waves selection schema is invalid: nesting deeper than 16 at line 1, column 17" },
        // Exactly one document: nothing may follow it, no key may come twice, numbers are JSON's.
        { "trailing junk", nullptr, report + " garbage}}", "Waves selection schema is invalid: text after the JSON document" + at (report + " garbage}}", "garbage") },
        { "two documents", nullptr, report + report, "Waves selection schema is invalid: a second JSON document at line 1, column " + juce::String (report.length() + 1) },
        { "leading zero", nullptr, leadingZero, "Waves selection schema is invalid: number with a leading zero" + at (leadingZero, "01", leadingZero.indexOf ("\"targetIndex\": 01")) },
        { "repeated key", nullptr, twice,
          "Waves selection schema is invalid: duplicate key \"targetIndex\"" + at (twice, "\"targetIndex\"", twice.indexOf ("\"targetIndex\": 1,") + 1) },
        { "repeated fingerprint", nullptr, shaTwice,
          "Waves selection schema is invalid: duplicate key \"sourceSha256\"" + at (shaTwice, "\"sourceSha256\"", shaTwice.indexOf ("\"sourceSha256\"") + 1) },
        { "single quotes", nullptr, quoted, "Waves selection schema is invalid: unexpected a single quote" + at (quoted, "'Kick'") },
        { "plug-in entry not an object", [] (juce::var& d) { channel (d, 1)["plugins"].getArray()->add ("EQ"); }, {},
          "Waves selection schema is invalid: channels[1].plugins[2] is not an object" },
        { "name not a string", [] (juce::var& d) { set (channel (d, 1), "name", 3); }, {}, "Waves selection schema is invalid: channels[1].name is not a string" },
        { "other target", [] (juce::var& d) { set (d, "target", "waves-lv1"); }, {}, "Waves selection target does not match the conversion target" },
        { "other source state", [] (juce::var& d) { set (d, "sourceSha256", juce::String::repeatedString ("0", 64)); }, {},
          "Waves selection source fingerprint does not match the current input file" },
        { "no channel list", [] (juce::var& d) { set (d, "channels", 3); }, {}, "Waves selection channel list is missing" },
        { "channel not an object", [] (juce::var& d) { d["channels"].getArray()->add (7); }, {},
          "Waves selection contains an invalid channel: channels[4] is not an object" },
        { "selected not a boolean", [] (juce::var& d) { set (channel (d, 0), "selected", 0); }, {},
          "Waves selection contains an invalid channel: channels[0] \"selected\" is not true or false" },
        { "missing key", [] (juce::var& d) { channel (d, 1).getDynamicObject()->removeProperty ("sourceIndex"); }, {},
          "Waves selection property is missing: sourceIndex" },
        { "double index", [] (juce::var& d) { set (channel (d, 1), "targetIndex", 3.0); }, {},
          "Waves selection property must be an integer: targetIndex" },
        { "index beyond int32", [] (juce::var& d) { set (channel (d, 1), "targetIndex", (juce::int64) 4294967297LL); }, {},
          "Waves selection property must be an integer: targetIndex" },
        { "rack channel 64", [] (juce::var& d) { set (channel (d, 1), "targetIndex", 64); }, {},
          "Waves selection channel mapping is invalid or duplicated: channels[1] (Input 2 \"Kick\") targetIndex 64 is not a rack channel (0 to 63)" },
        { "unsupported source type", [] (juce::var& d) { set (channel (d, 1), "sourceType", 3); }, {},
          "Waves selection channel mapping is invalid or duplicated: channels[1] sourceType 3 is not a channel type (0 Input, 1 Group, 2 Aux, 6 Matrix)" },
        { "negative source index", [] (juce::var& d) { set (channel (d, 1), "sourceIndex", -1); }, {},
          "Waves selection channel mapping is invalid or duplicated: channels[1] sourceIndex -1 is below 0" },
        { "rack channel twice", [] (juce::var& d) { set (channel (d, 1), "targetIndex", 0); }, {},
          "Waves selection channel mapping is invalid or duplicated: channels[0] (Input 1 \"Snare\") and channels[1] (Input 2 \"Kick\") both go to Input 1" },
        { "source channel twice", [] (juce::var& d) { set (channel (d, 0), "sourceIndex", 1); }, {},
          "Waves selection channel mapping is invalid or duplicated: channels[0] (Input 2 \"Snare\") and channels[1] (Input 2 \"Kick\") both take Input 2 from the source" },
        // What an entry repeats must agree with the rest of it: toward SoundGrid targetIndex decides.
        { "only destinationIndex edited", [] (juce::var& d) { set (channel (d, 1), "destinationIndex", 7); }, {},
          "Waves selection channels[1] (Input 2): destinationIndex 7 disagrees with targetIndex 1; toward SuperRack SoundGrid the destination is the rack channel targetIndex" },
        { "only targetIndex edited", [] (juce::var& d) { set (channel (d, 1), "targetIndex", 7); }, {},
          "Waves selection channels[1] (Input 2): destinationIndex 1 disagrees with targetIndex 7; toward SuperRack SoundGrid the destination is the rack channel targetIndex" },
        { "destinationType edited", [] (juce::var& d) { set (channel (d, 1), "destinationType", 2); }, {},
          "Waves selection channels[1] (Input 2): destinationType 2 disagrees with targetIndex 1; toward SuperRack SoundGrid the destination is the rack channel targetIndex (type 0)" },
        { "destinationName edited", [] (juce::var& d) { set (channel (d, 1), "destinationName", "Input 9"); }, {},
          "Waves selection channels[1] (Input 2): destinationName \"Input 9\" disagrees with destinationType 0 and destinationIndex 1 (Input 2)" },
        { "typeName edited", [] (juce::var& d) { set (channel (d, 2), "typeName", "Input"); }, {},
          "Waves selection channels[2] (Aux 1): typeName \"Input\" disagrees with sourceType 2 (Aux)" },
        { "name edited", [] (juce::var& d) { set (channel (d, 1), "name", juce::String::fromUTF8 ("킥")); }, {},
          juce::String::fromUTF8 ("Waves selection channels[1] (Input 2): name \"킥\" disagrees with the source channel's name \"Kick\"") },
        { "destinationSlot edited", [plugin] (juce::var& d) { set (plugin (d, 1), "destinationSlot", 4); }, {},
          "Waves selection channels[1] (Input 2) plugins[1] (slot 1): destinationSlot 4 disagrees with targetSlot 1; toward SuperRack SoundGrid the destination is the rack slot targetSlot" },
        { "plug-in name edited", [plugin] (juce::var& d) { set (plugin (d, 0), "name", "EQ2"); }, {},
          "Waves selection channels[1] (Input 2) plugins[0] (slot 0): name \"EQ2\" disagrees with the source plug-in's name \"EQ\"" },
        { "plug-in vendor edited", [plugin] (juce::var& d) { set (plugin (d, 0), "vendor", "Acme"); }, {},
          "Waves selection channels[1] (Input 2) plugins[0] (slot 0): vendor \"Acme\" disagrees with the source plug-in's vendor \"Waves\"" },
        { "sidechain asked for", [plugin] (juce::var& d) { set (plugin (d, 0), "sidechainSource", 0); }, {},
          "Waves selection channels[1] (Input 2) plugins[0] (slot 0): sidechainSource 0 disagrees with the source: the Waves transfer carries no sidechain (-1)" },
        { "no plug-in list", [] (juce::var& d) { channel (d, 1).getDynamicObject()->removeProperty ("plugins"); }, {},
          "Waves selection plug-in list is missing: channels[1] (Input 2) has no plugins array" },
        { "rack slot 8", [plugin] (juce::var& d) { set (plugin (d, 1), "targetSlot", 8); }, {},
          "Waves selection plug-in mapping is invalid or duplicated: channels[1] (Input 2 \"Kick\") plugins[1] (slot 1 \"Comp\") targetSlot 8 is not a slot of the target (0 to 7)" },
        { "rack slot twice", [plugin] (juce::var& d) { set (plugin (d, 1), "targetSlot", 0); }, {},
          "Waves selection plug-in mapping is invalid or duplicated: channels[1] (Input 2 \"Kick\") plugins[0] (slot 0 \"EQ\") and plugins[1] (slot 1 \"Comp\") both go to slot 0" },
        { "source slot twice", [plugin] (juce::var& d) { set (plugin (d, 1), "sourceSlot", 0); }, {},
          "Waves selection plug-in mapping is invalid or duplicated: channels[1] (Input 2 \"Kick\") plugins[0] (slot 0 \"EQ\") and plugins[1] (slot 0 \"Comp\") both take slot 0 from the source" },
        { "plug-in selected flag not a boolean", [plugin] (juce::var& d) { set (plugin (d, 1), "selected", "yes"); }, {},
          "Waves selection plug-in mapping is invalid or duplicated: channels[1] (Input 2 \"Kick\") plugins[1] \"selected\" is not true or false" },
        { "nothing selected", [] (juce::var& d) { for (auto& c : *d["channels"].getArray()) set (c, "selected", false); }, {},
          "Select between 1 and 64 Waves channels" },
        { "missing source plug-in", [plugin] (juce::var& d) { set (plugin (d, 1), "sourceSlot", 6); }, {},
          "Waves selection references a missing source plug-in: channels[1] (Input 2) plugins[1] (slot 6): Input 2 of the source holds no plug-in in slot 6" },
        { "destination beyond the template's channels", [] (juce::var& d) { toRack (channel (d, 1), 40); }, {},
          "Waves selection places Input 2 on Input 41, but the host-save template holds 12 Input channels" },
        { "source channel the report does not list", [] (juce::var& d) { set (channel (d, 1), "sourceIndex", 5); }, {},
          "Waves selection takes Input 6 from the source, but the source session configures 2 Input channels" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        ASSERT_TRUE (writeSelection (lv1.file, "superrack-soundgrid", selection, c.edit));
        if (c.text.isNotEmpty())
            selection.replaceWithText (c.text);
        vorntest::PrivateTmp tmp;
        const auto result = waves::convertSession (lv1.file, "superrack-soundgrid", selection, sg.file, output);
        EXPECT_FALSE (result.ok);
        EXPECT_EQ (result.error, c.error);
        EXPECT_EQ (result.summary + result.note, juce::String());
        EXPECT_EQ (folderEntries (out.folder), juce::StringArray ({ "pick.json" }));
        EXPECT_EQ (tmp.entries(), 0);
    }
}

TEST (WavesNativeTransfer, BlocksWhatCannotBeCarriedAndLeavesNothingBehind)
{
    const struct
    {
        const char* name;
        const char* sourceSql;
        const char* templateSql;
        const char* error;
    } cases[] = {
        { "sidechain assignment", "INSERT INTO plug_sidechain(plug_id,TrackHandle) VALUES(6,2);", "",
          "Selected Waves plug-ins use sidechain routing that has not been host-validated for this direction: \"Comp\" (Input 2, slot 1)" },
        { "sidechain flag without assignment", "UPDATE plug SET side_chain=1 WHERE id=5;", "",
          "Selected Waves plug-ins use sidechain routing that has not been host-validated for this direction: \"EQ\" (Input 2, slot 0)" },
        { "no active state", "DELETE FROM snapshot_plugin WHERE plug_id=6;", "",
          "A selected Waves plug-in has no unique active state: \"Comp\" (Input 2, slot 1) has 0 active states" },
        { "two states balance a missing one", "DELETE FROM snapshot_plugin WHERE plug_id=6; INSERT INTO snapshot_plugin(id,plug_id,preset_id,snapshot_id) VALUES(950,5,5,-1);",
          "", "A selected Waves plug-in has no unique active state: \"EQ\" (Input 2, slot 0) has 2 active states, \"Comp\" (Input 2, slot 1) has 0 active states" },
        { "performer template", "", "UPDATE mixer_settings SET native_buffer_size=64; DELETE FROM device;",
          "The SuperRack host-save template is not a verified SuperRack SoundGrid session" },
        { "lv1 template", "", "UPDATE info SET application_type='com.waves.mixer.lv1';",
          "Waves source/template application types do not match the requested direction: superrack-soundgrid takes a SuperRack SoundGrid "
          "session (.sprk) as its host-save template" },
        { "template without an active snapshot", "", "DELETE FROM snapshot;", "Waves host-save template has no active snapshot row" },
        { "template rack channel without its object", "", "DELETE FROM snapshot_chainer WHERE chainer_id=6005; DELETE FROM object WHERE id=6005;",
          "Selected Waves source or destination channel object is missing: channels[1] (Input 2): the host-save template holds no channel object for Input 6" },
        { "template rack channel with two active rows", "", "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(6005,-1,'dup');",
          "Waves host-save template holds 2 active-snapshot rows for Input 6 (snapshot_chainer); nothing tells which one is meant" },
        { "template foreign key broken", "", "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(9999,-1,'ghost');",
          "Waves host-save template already breaks a foreign key: snapshot_chainer.chainer_id 9999 (row 13) names no row of object" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::WavesFixture lv1 ("show.emo", true);
        buildLv1Show (lv1);
        lv1.exec (c.sourceSql);
        lv1.close();
        vorntest::WavesFixture sg ("template.sprk", false);
        buildSoundGridTemplate (sg);
        sg.exec (c.templateSql);
        sg.close();
        vorntest::TempFolder out;
        const auto selection = out.file ("pick.json");
        ASSERT_TRUE (writeSelection (lv1.file, "superrack-soundgrid", selection, lv1Choice));
        const auto templateSum = juce::SHA256 (sg.file).toHexString();
        vorntest::PrivateTmp tmp;
        const auto result = waves::convertSession (lv1.file, "superrack-soundgrid", selection, sg.file, out.file ("result.sprk"));
        EXPECT_FALSE (result.ok);
        EXPECT_EQ (result.error, juce::String (c.error));
        EXPECT_EQ (folderEntries (out.folder), juce::StringArray ({ "pick.json" }));
        EXPECT_EQ (tmp.entries(), 0);
        EXPECT_EQ (juce::SHA256 (sg.file).toHexString(), templateSum);
    }
}

TEST (WavesNativeTransfer, CommandLine)
{
    vorntest::WavesFixture lv1 ("show.emo", true);
    buildLv1Show (lv1);
    lv1.close();
    vorntest::WavesFixture sg ("template.sprk", false);
    buildSoundGridTemplate (sg);
    sg.close();
    vorntest::TempFolder out;
    const auto selection = out.file ("pick.json");
    ASSERT_TRUE (writeSelection (lv1.file, "superrack-soundgrid", selection, lv1Choice));
    const auto input = lv1.file.getFullPathName(), pick = selection.getFullPathName(), templ = sg.file.getFullPathName();
    const auto output = out.file ("r.SPRK").getFullPathName();

    const struct
    {
        juce::StringArray args;
        juce::StringArray lines;
    } refusals[] = {
        { { "--waves-convert", "superrack-soundgrid", input, "--output", output, "--template", templ },
          { "ERROR   Waves conversion requires --output, --template, and --selection" } },
        { { "--waves-convert", "waves-lv1", input, "--output", output, "--template", templ, "--selection", pick },
          { "ERROR   --output: Waves output extension must be .emo: " + output } },
        { { "--waves-convert", "superrack-soundgrid", input, "--output", out.file ("r.emo").getFullPathName(), "--template", templ, "--selection", pick },
          { "ERROR   --output: Waves output extension must be .sprk: " + out.file ("r.emo").getFullPathName() } },
        { { "--waves-convert", "superrack-soundgrid", input, "--output", output, "--template", templ, "--selection", out.file ("none.json").getFullPathName() },
          { "ERROR   --selection: file not found: " + out.file ("none.json").getFullPathName() } },
        { { "--waves-convert", "superrack", input, "--output", output }, { "ERROR   Waves target must be superrack-soundgrid or waves-lv1" } },
    };
    for (const auto& r : refusals)
    {
        const auto inv = vorntest::invoke (r.args);
        EXPECT_EQ (inv.status, 1);
        EXPECT_EQ (inv.lines, r.lines);
    }

    const juce::StringArray args { "--waves-convert", "SuperRack-SoundGrid", input, "--output", output, "--template", templ, "--selection", pick };
    auto inv = vorntest::invoke (args);
    EXPECT_EQ (inv.status, 0);
    EXPECT_EQ (inv.lines, juce::StringArray ({ "OK      Waves candidate created: 2 channels, 2 plug-ins, 2 physical routes",
                                               "Native Waves preset payloads and active bypass/mute values were copied exactly. Only physical I/O routes are translated; LV1 mixer-only bus feed, trim, and pan have no verified SuperRack equivalent. Target-host load/save validation is still required.",
                                               "2 hot plug-in assignments of the source were not carried: hot plug-in 1 \"EQ\" (Input 2, slot 0), hot plug-in 2 \"Comp\" (Input 2, slot 1).",
                                               "2 source channels were not selected and not carried: Input 1 \"Snare\", Group 1 \"Drums\".",
                                               "12 channels of the host-save template lost content of their own: 12 names were replaced (by the transferred channel's name or the generic one); 1 plug-in, 1 channel parameter value, 1 route and 2 hot plug-in assignments were cleared." }))
        << inv.lines.joinIntoString ("\n");
    const auto written = juce::SHA256 (juce::File (output)).toHexString();
    inv = vorntest::invoke (args);
    EXPECT_EQ (inv.status, 1);
    EXPECT_EQ (inv.lines, juce::StringArray ({ "ERROR   --output: Waves output already exists; it was not overwritten (in " + output + ")" }));
    EXPECT_EQ (juce::SHA256 (juce::File (output)).toHexString(), written);
}

TEST (WavesNativeTransfer, TemplateSaveStillInItsWriteAheadLogCounts)
{
    vorntest::WavesFixture lv1 ("show.emo", true);
    buildLv1Show (lv1);
    lv1.close();
    vorntest::WavesFixture sg ("template.sprk", false);
    buildSoundGridTemplate (sg);
    // The host keeps the session open: its last save (rack channel 12) lives only in the -wal.
    sg.exec ("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
    sg.addChannel (0, 12, "'late'");
    sg.exec ("UPDATE config_info SET num_tracks=13 WHERE track_type=0;");
    ASSERT_TRUE (sg.file.getSiblingFile ("template.sprk-wal").getSize() > 0);
    vorntest::TempFolder out;
    const auto selection = out.file ("pick.json");
    ASSERT_TRUE (writeSelection (lv1.file, "superrack-soundgrid", selection, [] (juce::var& doc) {
        lv1Choice (doc);
        toRack (channel (doc, 2), 12);
    }));
    const auto output = out.file ("result.sprk");
    const auto result = waves::convertSession (lv1.file, "superrack-soundgrid", selection, sg.file, output);
    ASSERT_TRUE (result.ok) << result.error;
    EXPECT_EQ (vorntest::queryRows (output, "SELECT name FROM snapshot_chainer WHERE chainer_id=6012"), juce::StringArray ({ "Verb" }));
    EXPECT_EQ (folderEntries (out.folder), juce::StringArray ({ "pick.json", "result.sprk" }));
}

TEST (WavesNativeTransfer, SoundGridToLv1DestinationFields)
{
    vorntest::WavesFixture sg ("rack.sprk", false);
    sg.addChannels (0, 2, "R");
    sg.addChannel (0, 2, "none"); // no active row: the generic name stands, not NULL
    sg.exec ("UPDATE config_info SET num_tracks=3;");
    sg.addPlug (30, 0, 1, 2, "EQ");
    sg.close();
    vorntest::WavesFixture lv1Template ("template.emo", true);
    lv1Template.addChannels (0, 4);
    lv1Template.addChannels (1, 2);
    lv1Template.close();
    vorntest::TempFolder out;
    const auto selection = out.file ("pick.json");
    const auto pluginOf = [] (juce::var& doc) -> juce::var& { return channel (doc, 1)["plugins"].getArray()->getReference (0); };
    const struct
    {
        const char* name;
        std::function<void (juce::var&)> edit;
        const char* error;
        const char* plug; // chainer|slot of the copied plug-in
    } cases[] = {
        { "as proposed", nullptr, "", "1001|2" },
        { "to a group, slot 63", [&] (juce::var& d) { toChannel (channel (d, 1), 1, 1); set (pluginOf (d), "destinationSlot", 63); set (pluginOf (d), "targetSlot", 63); }, "", "2001|63" },
        { "fractional destination", [] (juce::var& d) { set (channel (d, 1), "destinationIndex", 1.5); }, "Waves selection property must be an integer: destinationIndex", "" },
        { "slot 64", [&] (juce::var& d) { set (pluginOf (d), "destinationSlot", 64); },
          "Waves selection plug-in mapping is invalid or duplicated: channels[1] (Input 2 \"R2\") plugins[0] (slot 2 \"EQ\") destinationSlot 64 is not a slot of the target (0 to 63)", "" },
        { "destination twice", [] (juce::var& d) { set (channel (d, 1), "destinationIndex", 0); },
          "Waves selection channel mapping is invalid or duplicated: channels[0] (Input 1 \"R1\") and channels[1] (Input 2 \"R2\") both go to Input 1", "" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        ASSERT_TRUE (writeSelection (sg.file, "waves-lv1", selection, c.edit));
        const auto output = out.file ("show.emo");
        const auto result = waves::convertSession (sg.file, "waves-lv1", selection, lv1Template.file, output);
        EXPECT_EQ (result.error, juce::String (c.error));
        if (result.ok)
        {
            EXPECT_EQ (vorntest::queryRows (output, "SELECT chainer_id,slot FROM plug"), juce::StringArray (c.plug));
            EXPECT_EQ (vorntest::queryRows (output, "SELECT name FROM snapshot_chainer WHERE chainer_id IN (1002,1003) ORDER BY chainer_id"),
                       juce::StringArray ({ "Input 3", "Input 4" }));
        }
        output.deleteFile();
    }
}

TEST (WavesNativeTransfer, RefusesDestinationsBeyondTheTemplatesConfiguredChannels)
{
    // LV1 show of 8 inputs, 4 auxes, 2 groups and 4 matrices; the SoundGrid template has its 64
    // input chainers, 8 of them configured.
    vorntest::WavesFixture lv1 ("show.emo", true);
    lv1.addChannels (0, 8, "In");
    lv1.addChannels (2, 4, "Aux");
    lv1.addChannels (1, 2, "Grp");
    lv1.addChannels (6, 4, "Mtx");
    lv1.addPlug (5, 2, 0, 0, "Verb");
    lv1.addRoute (1, 10, 0, 2, 0, 4);
    lv1.close();
    vorntest::WavesFixture sg ("template.sprk", false);
    sg.base = 5000;
    sg.addChannels (0, 64, "T", false);
    sg.exec ("INSERT INTO config_info(track_type,num_tracks) VALUES(0,8);");
    sg.close();
    vorntest::TempFolder out;
    const auto selection = out.file ("pick.json");
    const auto output = out.file ("result.sprk");

    // As proposed, all 18 channels go to rack channels 0..17.
    ASSERT_TRUE (writeSelection (lv1.file, "superrack-soundgrid", selection, nullptr));
    {
        vorntest::PrivateTmp tmp;
        const auto result = waves::convertSession (lv1.file, "superrack-soundgrid", selection, sg.file, output);
        EXPECT_FALSE (result.ok);
        EXPECT_EQ (result.error, "Waves selection places Aux 1 on Input 9, but the host-save template holds 8 Input channels");
        EXPECT_EQ (folderEntries (out.folder), juce::StringArray ({ "pick.json" }));
        EXPECT_EQ (tmp.entries(), 0);
    }
    // The first eight fit.
    ASSERT_TRUE (writeSelection (lv1.file, "superrack-soundgrid", selection, [] (juce::var& doc) {
        for (int i = 8; i < doc["channels"].getArray()->size(); ++i)
            set (channel (doc, i), "selected", false);
    }));
    const auto fits = waves::convertSession (lv1.file, "superrack-soundgrid", selection, sg.file, output);
    ASSERT_TRUE (fits.ok) << fits.error;
    EXPECT_EQ (fits.summary, "Waves candidate created: 8 channels, 0 plug-ins, 0 physical routes");

    // Toward LV1: the template has 8 inputs, 2 groups and 2 matrices (no configured matrix count).
    vorntest::WavesFixture rack ("rack.sprk", false);
    rack.addChannels (0, 2, "R");
    rack.close();
    vorntest::WavesFixture lv1Template ("template.emo", true);
    lv1Template.base = 100;
    lv1Template.addChannels (0, 8);
    lv1Template.addChannels (1, 2);
    lv1Template.addChannels (6, 2, "", false);
    lv1Template.close();
    const struct
    {
        int type, index;
        const char* error;
    } cases[] = {
        { 0, 11, "Waves selection places Input 1 on Input 12, but the host-save template holds 8 Input channels" },
        { 0, 8, "Waves selection places Input 1 on Input 9, but the host-save template holds 8 Input channels" },
        { 2, 0, "Waves selection places Input 1 on Aux 1, but the host-save template holds 0 Aux channels" },
        { 6, 2, "Waves selection places Input 1 on Matrix 3, but the host-save template holds 2 Matrix channels" },
        { 1, 1, "" },
        { 6, 1, "" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.type) + "/" + juce::String (c.index));
        ASSERT_TRUE (writeSelection (rack.file, "waves-lv1", selection, [&c] (juce::var& doc) {
            set (channel (doc, 1), "selected", false);
            toChannel (channel (doc, 0), c.type, c.index);
        }));
        const auto lv1Output = out.file ("show.emo");
        vorntest::PrivateTmp tmp;
        const auto result = waves::convertSession (rack.file, "waves-lv1", selection, lv1Template.file, lv1Output);
        EXPECT_EQ (result.error, juce::String (c.error));
        EXPECT_EQ (lv1Output.existsAsFile(), result.ok);
        EXPECT_EQ (tmp.entries(), 0);
        lv1Output.deleteFile();
    }
}

TEST (WavesNativeTransfer, UnfinishedWriteTransactionsOfSourceAndTemplateAreNotCopied)
{
    for (const bool wal : { false, true })
    {
        SCOPED_TRACE (wal ? "write-ahead log" : "rollback journal");
        vorntest::WavesFixture lv1 ("show.emo", true);
        buildLv1Show (lv1);
        vorntest::WavesFixture sg ("template.sprk", false);
        buildSoundGridTemplate (sg);
        if (wal)
            for (auto* f : { &lv1, &sg })
                f->exec ("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
        // Both hosts are in the middle of a save that may never be committed.
        vorntest::writeUnfinishedTransaction (lv1.handle, "UPDATE snapshot_chainer SET name='Half'; DELETE FROM snapshot_plugin; DELETE FROM plug;");
        vorntest::writeUnfinishedTransaction (sg.handle, "UPDATE config_info SET num_tracks=1; UPDATE snapshot_chainer SET name='Torn';");
        vorntest::TempFolder out;
        const auto selection = out.file ("pick.json");
        vorntest::PrivateTmp tmp;
        ASSERT_TRUE (writeSelection (lv1.file, "superrack-soundgrid", selection, [] (juce::var& doc) {
            EXPECT_EQ (channel (doc, 1)["name"].toString(), "Kick");
            EXPECT_EQ (channel (doc, 1)["plugins"].getArray()->size(), 2);
            lv1Choice (doc);
        }));
        const auto output = out.file ("result.sprk");
        const auto result = waves::convertSession (lv1.file, "superrack-soundgrid", selection, sg.file, output);
        ASSERT_TRUE (result.ok) << result.error;
        EXPECT_EQ (result.summary, "Waves candidate created: 2 channels, 2 plug-ins, 2 physical routes");
        EXPECT_EQ (vorntest::queryRows (output, "SELECT name FROM snapshot_chainer WHERE chainer_id IN (6001,6005) ORDER BY chainer_id"),
                   juce::StringArray ({ "Input 2", "Kick" }));
        EXPECT_EQ (vorntest::queryRows (output, "SELECT num_tracks FROM config_info"), juce::StringArray ({ "12" }));
        EXPECT_EQ (folderEntries (out.folder), juce::StringArray ({ "pick.json", "result.sprk" }));
        EXPECT_EQ (tmp.entries(), 0);
        lv1.exec ("ROLLBACK;");
        sg.exec ("ROLLBACK;");
    }
}

TEST (WavesNativeTransfer, NoteKeepsOneFindingPerLine)
{
    // Names from the session that hold a line break are quoted: they cannot start a line of their own.
    vorntest::WavesFixture sg ("rack.sprk", false);
    sg.addChannels (0, 2, "R");
    sg.exec ("UPDATE snapshot_chainer SET name='R2' || char(10) || 'OK      fake' WHERE chainer_id=1001;");
    sg.addPlug (30, 0, 0, 0, "EQ\nOK      fake");
    sg.addPlug (31, 0, 0, 1, "Spare\nERROR   fake");
    sg.exec ("INSERT INTO chainer_params(id,name) VALUES(1,'PARAM_X' || char(10) || 'OK      fake');"
             "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(1000,-1,1,0);"
             "INSERT INTO snapshot_plugin(id,plug_id,preset_id,snapshot_id,setup_type_id) VALUES(900,30,30,-1,'a' || char(10) || 'b');"
             "INSERT INTO snapshot(id,number,name,info) VALUES(1,1,'Song' || char(10) || 'x','');");
    sg.close();
    vorntest::WavesFixture lv1Template ("template.emo", true);
    lv1Template.addChannels (0, 1);
    lv1Template.close();
    vorntest::TempFolder out;
    const auto selection = out.file ("pick.json");
    ASSERT_TRUE (writeSelection (sg.file, "waves-lv1", selection, [] (juce::var& doc) {
        set (channel (doc, 1), "selected", false);
        set (channel (doc, 0)["plugins"].getArray()->getReference (1), "selected", false);
    }));
    const auto result = waves::convertSession (sg.file, "waves-lv1", selection, lv1Template.file, out.file ("show.emo"));
    ASSERT_TRUE (result.ok) << result.error;
    const auto lines = juce::StringArray::fromLines (result.note);
    ASSERT_EQ (lines.size(), 8) << result.note;
    EXPECT_TRUE (lines[0].contains ("1 SuperRack channel parameter value of the transferred rack channels (\"PARAM_X\\nOK      fake\") has no verified LV1 equivalent and was not carried.")) << lines[0];
    EXPECT_EQ (lines[1], "Active states of a second setup (setup_type_id other than -1) were not carried: \"EQ\\nOK      fake\" (Input 1, slot 0) setup \"a\\nb\".");
    EXPECT_EQ (lines[2], "2 hot plug-in assignments of the source were not carried: hot plug-in 1 plug-in id 5 (not a plug-in of the source), hot plug-in 2 plug-in id 6 (not a plug-in of the source).");
    EXPECT_EQ (lines[3], "1 channel selects another slot than in the source, since the plug-in or slot selected there was not carried: Input 1 (slot 1, now slot 0).");
    EXPECT_EQ (lines[4], "1 source channel was not selected and not carried: Input 2 \"R2\\nOK      fake\".");
    EXPECT_EQ (lines[5], "1 source plug-in was not selected and not carried: \"Spare\\nERROR   fake\" (Input 1, slot 1).");
    EXPECT_EQ (lines[6], "The host-save template lost content of its own: 2 hot plug-in assignments were cleared.");
    EXPECT_EQ (lines[7], "Source snapshots were not carried: \"Song\\nx\" (number 1).");
}

namespace
{

// The fault a test puts into a transfer's written session before the read-back proves it.
juce::String injectedFault;

void injectFault (const char* path)
{
    vorntest::executeOn (juce::File (path), injectedFault);
}

} // namespace

TEST (WavesNativeTransfer, TheReadBackRefusesAnOutputThatDiffersFromTheSelection)
{
    // Both sessions hold a newer host's plug-in column, the channels' scope and their layouts:
    // Kick is mono, out of scope, and its EQ has a version.
    const juce::String carried = "ALTER TABLE plug ADD COLUMN plugin_version TEXT; ALTER TABLE snapshot_chainer ADD COLUMN in_scope INTEGER;"
                                 "CREATE TABLE chainer(obj_id INTEGER PRIMARY KEY REFERENCES object(id), num_inputs INTEGER);"
                                 "INSERT INTO chainer SELECT id,2 FROM object;";
    vorntest::WavesFixture lv1 ("show.emo", true);
    buildLv1Show (lv1);
    lv1.exec (carried + "UPDATE plug SET plugin_version='14.1.2' WHERE id=5; UPDATE snapshot_chainer SET in_scope=0 WHERE chainer_id=1001;"
                        "UPDATE chainer SET num_inputs=1 WHERE obj_id=1001;");
    lv1.close();
    vorntest::WavesFixture sg ("template.sprk", false);
    buildSoundGridTemplate (sg);
    sg.exec (carried);
    sg.close();
    vorntest::TempFolder out;
    const auto selection = out.file ("pick.json");
    ASSERT_TRUE (writeSelection (lv1.file, "superrack-soundgrid", selection, lv1Choice));
    const auto output = out.file ("result.sprk");
    const auto sums = juce::SHA256 (lv1.file).toHexString() + juce::SHA256 (sg.file).toHexString();

    // Kick (Input 2 of the show) lands on Input 6 with EQ (bypassed) and Comp, Verb (Aux 1) on Input 3.
    const juce::String kick = "written Waves session differs from the selection at Input 6 (from Input 2): ";
    const juce::String whole = "written Waves session differs from the selection: ";
    const struct
    {
        const char* name;
        const char* sql;
        juce::String error;
    } cases[] = {
        { "nothing changed", "", {} },
        { "channel renamed", "UPDATE snapshot_chainer SET name='Kik' WHERE chainer_id=6005;", kick + "name is \"Kik\", the selection asks for \"Kick\"" },
        { "preset name", "UPDATE snapshot_chainer SET preset_name=NULL WHERE chainer_id=6005;",
          kick + "preset_name is NULL, the selection asks for \"P1001\"" },
        { "selected slot", "UPDATE snapshot_chainer SET selected_slot=7 WHERE chainer_id=6005;", kick + "selected_slot is 7, the selection asks for 1" },
        { "plug-in renamed", "UPDATE plug SET plugin_name='HIJACK' WHERE id=5;",
          kick + "the plug-in in slot 0 plugin_name is \"HIJACK\", the selection asks for \"EQ\"" },
        { "plug-in moved", "UPDATE plug SET slot=4 WHERE id=6;", kick + "a plug-in's slot is 4, the selection asks for 1" },
        { "plug-in gone", "DELETE FROM snapshot_plugin WHERE plug_id=6; DELETE FROM plug WHERE id=6;",
          kick + "it holds 1 plug-in, the selection asks for 2" },
        { "newer column lost", "UPDATE plug SET plugin_version=NULL WHERE id=5;",
          kick + "the plug-in in slot 0 plugin_version is NULL, the selection asks for \"14.1.2\"" },
        { "scope lost", "UPDATE snapshot_chainer SET in_scope=1 WHERE chainer_id=6005;", kick + "in_scope is 1, the selection asks for 0" },
        { "layout lost", "UPDATE chainer SET num_inputs=2 WHERE obj_id=6005;", kick + "chainer num_inputs is 2, the selection asks for 1" },
        { "bypass inverted", "UPDATE snapshot_plugin SET bypass=1-bypass;", kick + "the plug-in in slot 0 active state bypass is 0, the selection asks for 1" },
        { "integer turned text", "UPDATE snapshot_plugin SET mute='off' WHERE plug_id=5;",
          kick + "the plug-in in slot 0 active state mute is \"off\", the selection asks for 0" },
        { "preset one byte short", "UPDATE plugin_preset SET preset=X'000005';",
          kick + "the plug-in in slot 0 active state preset is a blob of 3 bytes, the selection asks for a blob of 4 bytes" },
        { "route renumbered", "UPDATE routes SET dst_channel_index=9 WHERE id=1;",
          kick + "physical route 1 dst_channel_index is 9, the selection asks for 3" },
        { "route gone", "DELETE FROM routes WHERE id=3;",
          "written Waves session differs from the selection at Input 3 (from Aux 1): it has 0 physical routes, the selection asks for 1" },
        { "channel parameter", "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(6005,-1,1,0.5);",
          kick + "it holds 1 channel parameter value, the transfer carries none" },
        { "stray plug-in", "INSERT INTO plug(id,chainer_id,slot,plugin_name) VALUES(99,6000,0,'Stray');", whole + "it holds 3 plug-ins, the selection asks for 2" },
        { "stray route", "INSERT INTO routes(id,src_cluster_type,src_cluster_type_index,dst_cluster_type,dst_cluster_type_index) VALUES(99,0,0,1,0);",
          whole + "it holds 3 routes, the selection asks for 2" },
        { "recall-safe flag", "UPDATE plug SET recall_safe=1 WHERE id=6;",
          whole + "it holds 1 plug-in with recall_safe, side_chain or hot_plugin set, the selection asks for 0" },
        { "preset count", "UPDATE plugin_preset SET ref_count=1;",
          whole + "it holds 1 preset that no copied state uses or whose ref_count is not the number of states using it, the selection asks for 0" },
        { "hot plug-in", "UPDATE snapshot_hot_plugins SET hp_3_plug_id=5;",
          whole + "snapshot_hot_plugins.hp_3_plug_id holds a hot plug-in assignment, the transfer carries none" },
        { "template channel keeps its name", "UPDATE snapshot_chainer SET name='T1' WHERE chainer_id=6000;",
          whole + "Input 1 of the host-save template is named \"T1\", the transfer gives it \"Input 1\"" },
        { "snapshot added", "INSERT INTO snapshot(id,number,name,info) VALUES(9,9,'New','');", whole + "its snapshots are not the host-save template's" },
        { "channel map", "UPDATE snapshot SET info='VORN_WAVES_CHANNEL_MAP_V1' WHERE id=-1;", whole + "the active snapshot does not hold the channel map" },
    };
    struct HookGuard
    {
        HookGuard() { testHooks::afterWavesSessionWritten = injectFault; }
        ~HookGuard() { testHooks::afterWavesSessionWritten = nullptr; }
    } hook;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        injectedFault = c.sql;
        vorntest::PrivateTmp tmp;
        const auto result = waves::convertSession (lv1.file, "superrack-soundgrid", selection, sg.file, output);
        EXPECT_EQ (result.error, c.error);
        EXPECT_EQ (result.ok, c.error.isEmpty());
        EXPECT_EQ (output.existsAsFile(), c.error.isEmpty());
        EXPECT_EQ (tmp.entries(), 0);
        EXPECT_EQ (juce::SHA256 (lv1.file).toHexString() + juce::SHA256 (sg.file).toHexString(), sums);
        output.deleteFile();
    }
}
