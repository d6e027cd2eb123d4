// The Waves channel-selection report: every configured channel of an eMotion LV1 session (inputs,
// auxes, groups, matrices) or a SuperRack SoundGrid session, with its plug-ins and the destination
// proposed for it in the other product, as one JSON line for the user to edit into a selection
// file. Only a staged copy of the input is opened, and the input must still have the copy's
// fingerprint when the report is done. For a SoundGrid session that an earlier transfer wrote, the
// channel-map record it left refines the proposals; that record is untrusted and never blocks the
// report; a rack channel it does not know is not proposed onto a place it records for another.
// A channel without a name of its own (none, or only the generic name of its place) shows the
// name the transfer gives it (the generic name of its destination), and plug-ins on channels the
// report does not list are named as not transferable. Each destination a field repeats is written the same in both: toward SoundGrid
// the destination fields repeat targetIndex and targetSlot, toward LV1 targetIndex and targetSlot
// repeat destinationIndex and destinationSlot.
//
// In this file, in order:
//   - Limits and the channel-map record: the embedded channel map, read leniently (whatever cannot
//     be read is left out).
//   - Channels and plug-ins of the source: the plug-ins of one channel, and those on channels the
//     report does not list.
//   - Channel names and directions: channelTypeName, expectedDirection and genericChannelName.
//   - The report: buildSelectionReport.

#include "waves/WavesChannels.h"

#include "model/JsonWriter.h"
#include "model/Utf8Text.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>

namespace vornconv::waves
{

namespace
{

//==============================================================================
// Limits and the channel-map record

constexpr int maxChannels = 64;
constexpr int maxSlots = 8;
constexpr int maxSourceSlot = 63;

// The channel-map record is untrusted text from a session database.
constexpr size_t maxChannelMapBytes = 4 * 1024 * 1024;
constexpr int maxChannelMapDepth = 8;

const char* const channelMapHeader = "VORN_WAVES_CHANNEL_MAP_V1\n";

// The transfer refuses a destination at or beyond the channels the host-save template is
// configured with; the proposals here are made without the template.
const char* const destinationLimitNote = "destinationIndex must be below the host-save template's configured channel count of destinationType";

struct EmbeddedChannel
{
    int sourceType = 0;
    int sourceIndex = 0;
    std::map<int, int> plugins; // rack slot -> LV1 slot
};

using EmbeddedMap = std::map<int, EmbeddedChannel>;

bool isChannelType (juce::int64 type)
{
    return type == 0 || type == 1 || type == 2 || type == 6;
}

// A JSON integer (int or int64 var) within int32; anything else is not one.
bool strictInt (const juce::var& value, int& out)
{
    if (value.isInt())
    {
        out = (int) value;
        return true;
    }
    if (value.isInt64())
    {
        const auto wide = (juce::int64) value;
        if (wide < std::numeric_limits<int>::min() || wide > std::numeric_limits<int>::max())
            return false;
        out = (int) wide;
        return true;
    }
    return false;
}

bool intMember (const juce::var& object, const char* key, int& out)
{
    auto* dynamic = object.getDynamicObject();
    return dynamic != nullptr && dynamic->hasProperty (key) && strictInt (dynamic->getProperty (key), out);
}

// Where each rack channel of a SoundGrid session came from, as an earlier transfer recorded it.
// Whatever cannot be read leaves the map empty or the entry out: the record only refines the
// proposal, it never blocks the report.
EmbeddedMap readEmbeddedMap (sqlite3* db)
{
    EmbeddedMap map;
    Statement statement;
    juce::String ignored;
    bool hasRow = false;
    if (! prepare (db, "SELECT info FROM snapshot WHERE id=-1", statement, ignored)
        || ! stepRow (db, statement.handle, hasRow, ignored) || ! hasRow
        || sqlite3_column_type (statement.handle, 0) != SQLITE_TEXT)
        return map;
    const auto* text = reinterpret_cast<const char*> (sqlite3_column_text (statement.handle, 0));
    const auto bytes = (size_t) sqlite3_column_bytes (statement.handle, 0);
    const auto headerBytes = std::strlen (channelMapHeader);
    juce::String document;
    if (text == nullptr || bytes < headerBytes || std::memcmp (text, channelMapHeader, headerBytes) != 0
        || bytes - headerBytes > maxChannelMapBytes || ! utf8::toText (text + headerBytes, bytes - headerBytes, document))
        return map;
    const auto parsed = json::parseBoundedJson (document, maxChannelMapBytes, maxChannelMapDepth);
    if (parsed.getDynamicObject() == nullptr)
        return map;
    const auto* channels = parsed.getProperty ("channels", {}).getArray();
    if (channels == nullptr)
        return map;
    for (const auto& channel : *channels)
    {
        int rackIndex = 0, sourceType = 0, sourceIndex = 0;
        if (! intMember (channel, "rackIndex", rackIndex) || ! intMember (channel, "sourceType", sourceType)
            || ! intMember (channel, "sourceIndex", sourceIndex) || rackIndex < 0 || rackIndex >= maxChannels
            || ! isChannelType (sourceType) || sourceIndex < 0 || map.count (rackIndex) != 0)
            continue;
        EmbeddedChannel entry;
        entry.sourceType = sourceType;
        entry.sourceIndex = sourceIndex;
        if (const auto* plugins = channel.getProperty ("plugins", {}).getArray())
        {
            for (const auto& plugin : *plugins)
            {
                int rackSlot = 0, sourceSlot = 0;
                if (intMember (plugin, "rackSlot", rackSlot) && intMember (plugin, "sourceSlot", sourceSlot))
                    entry.plugins.emplace (rackSlot, sourceSlot); // the first pair for a slot wins
            }
        }
        map.emplace (rackIndex, std::move (entry));
    }
    return map;
}

//==============================================================================
// Channels and plug-ins of the source

struct ListedPlugin
{
    int slot = 0;
    juce::String name, vendor;
};

bool listPlugins (sqlite3* db, juce::int64 objectId, juce::Array<ListedPlugin>& plugins, juce::String& error)
{
    Statement statement;
    if (! prepare (db, "SELECT slot,plugin_name,vendor_name FROM plug WHERE chainer_id=? ORDER BY vorn_value(slot)", statement, error))
        return false;
    sqlite3_bind_int64 (statement.handle, 1, objectId);
    return eachRowOf (db, statement.handle, [&] (sqlite3_stmt* row)
    {
        // A slot is the number it holds, also when an untyped column holds it as text ('1').
        const auto slot = SqlValue::column (row, 0).asInteger();
        if (! slot || *slot < 0 || *slot > maxSourceSlot)
        {
            error = "Waves channel contains an invalid plug-in slot";
            return false;
        }
        ListedPlugin plugin { (int) *slot, {}, {} };
        if (! textColumn (row, 1, "plug.plugin_name", plugin.name, error) || ! textColumn (row, 2, "plug.vendor_name", plugin.vendor, error))
            return false;
        plugins.add (plugin);
        return true;
    }, error);
}

// The plug-ins on channels of a type that the report does not list (below index 0, at or beyond
// the configured count, or beyond the 64 a transfer carries): named, so that nothing the session
// holds is left out of the report without a word.
bool listNotTransferable (sqlite3* db, int type, juce::int64 configured, juce::Array<juce::var>& entries, juce::String& error)
{
    const auto listed = juce::jmin<juce::int64> (configured, maxChannels);
    Statement statement;
    if (! prepare (db,
                   "SELECT o.obj_index,p.slot,p.plugin_name,p.vendor_name FROM object o JOIN plug p ON p.chainer_id=o.id "
                   "WHERE o.obj_type=? AND (o.obj_index<0 OR o.obj_index>=?) ORDER BY o.obj_index,p.slot,p.id",
                   statement, error))
        return false;
    sqlite3_bind_int (statement.handle, 1, type);
    sqlite3_bind_int64 (statement.handle, 2, listed);
    return eachRowOf (db, statement.handle, [&] (sqlite3_stmt* row)
    {
        if (sqlite3_column_type (row, 0) != SQLITE_INTEGER)
            return true;
        const auto index = sqlite3_column_int64 (row, 0);
        const auto channelName = genericChannelName (type, (int) juce::jlimit<juce::int64> (0, std::numeric_limits<int>::max() - 1, index));
        juce::String reason;
        if (index < 0)
            reason = channelTypeName (type) + " index " + juce::String (index) + " is not a configured channel of the session";
        else if (index >= configured)
            reason = channelName + " lies beyond the " + juce::String (configured) + " " + channelTypeName (type)
                     + " channels the session configures";
        else
            reason = channelName + " lies beyond the " + juce::String (maxChannels) + " channels a transfer carries";
        juce::String name, vendor;
        if (! textColumn (row, 2, "plug.plugin_name", name, error) || ! textColumn (row, 3, "plug.vendor_name", vendor, error))
            return false;
        auto* entry = new juce::DynamicObject();
        entry->setProperty ("sourceType", type);
        entry->setProperty ("sourceIndex", index);
        entry->setProperty ("typeName", channelTypeName (type));
        entry->setProperty ("sourceSlot", sqlite3_column_int64 (row, 1));
        entry->setProperty ("name", name);
        entry->setProperty ("vendor", vendor);
        entry->setProperty ("reason", reason);
        entries.add (juce::var (entry));
        return true;
    }, error);
}

} // namespace

//==============================================================================
// Channel names and directions

juce::String channelTypeName (int type)
{
    switch (type)
    {
        case 0: return "Input";
        case 1: return "Group";
        case 2: return "Aux";
        case 6: return "Matrix";
        default: break;
    }
    return "Unsupported";
}

bool expectedDirection (const juce::String& applicationType, juce::StringRef target)
{
    const juce::String t (target);
    return (applicationType == "com.waves.mixer.lv1" && t == superRackSoundGridTarget)
        || (applicationType == "com.waves.mixer.MRSG" && t == wavesLv1Target);
}

juce::String genericChannelName (int type, int index)
{
    return channelTypeName (type) + " " + juce::String ((juce::int64) index + 1);
}

//==============================================================================
// The report

// The staged copy of the input opened, proven to be of the direction's source application, and a
// SuperRack source proven SoundGrid; lv1Source says which product it is.
bool openSource (const juce::File& input, const juce::String& targetId, StagedSource& staged, Database& db, juce::String& sourceSha256,
                 bool& lv1Source, juce::String& error)
{
    juce::String problem;
    if (! stageSourceSnapshot (input, staged, sourceSha256, problem))
    {
        error = problem;
        return false;
    }
    if (! openDatabase (staged.database, db, problem) || ! addValueFunction (db.handle, problem))
    {
        error = problem;
        return false;
    }
    const auto appType = applicationType (db.handle, "main", problem);
    if (problem.isNotEmpty() || ! expectedDirection (appType, targetId))
    {
        error = problem.isNotEmpty() ? problem
                                     : juce::String ("Waves native transfer supports only LV1 .emo -> SuperRack SoundGrid .sprk and the reverse");
        return false;
    }
    lv1Source = appType == "com.waves.mixer.lv1";
    if (! lv1Source)
    {
        const auto inspection = inspectSuperRackDatabase (db.handle, "main");
        if (inspection.kind != SuperRackProductKind::soundGrid)
        {
            error = inspection.error.isNotEmpty() ? inspection.error
                                                  : juce::String ("The .sprk source is not a verified SuperRack SoundGrid session");
            return false;
        }
    }
    return true;
}

// The plug-ins of a channel as the report lists them: when the channel holds more than the
// target's slots (or one beyond them), in order and only the first ones selected; toward LV1 each
// at the slot the embedded map says it came from.
bool listPluginsOf (const Database& db, juce::int64 objectId, bool toLv1, const EmbeddedChannel* entry, juce::Array<juce::var>& plugins,
                   bool& pluginOverflow, juce::String& error)
{
    juce::String problem;
    juce::Array<ListedPlugin> rows;
    if (! listPlugins (db.handle, objectId, rows, problem))
    {
        error = problem;
        return false;
    }
    pluginOverflow = rows.size() > maxSlots;
    for (const auto& row : rows)
        pluginOverflow = pluginOverflow || row.slot >= maxSlots;

    for (int k = 0; k < rows.size(); ++k)
    {
        const auto& row = rows.getReference (k);
        int targetSlot = pluginOverflow ? (k < maxSlots ? k : -1) : row.slot;
        // Toward LV1 the slot is where the embedded map says the plug-in came from (a
        // renumbered one goes where it is renumbered to), and targetSlot repeats it.
        int destinationSlot = targetSlot;
        if (toLv1 && ! pluginOverflow && entry != nullptr)
            if (const auto slot = entry->plugins.find (row.slot); slot != entry->plugins.end())
                destinationSlot = targetSlot = slot->second;
        auto* plugin = new juce::DynamicObject();
        plugin->setProperty ("sourceSlot", row.slot);
        plugin->setProperty ("targetSlot", targetSlot);
        plugin->setProperty ("name", row.name);
        plugin->setProperty ("vendor", row.vendor);
        plugin->setProperty ("selected", k < maxSlots);
        plugin->setProperty ("sidechainSource", -1);
        if (toLv1)
            plugin->setProperty ("destinationSlot", destinationSlot);
        plugins.add (juce::var (plugin));
    }
    return true;
}

// The report's entry for channel i of the type, with the destination it is proposed for and its
// plug-ins; listed counts the channels listed so far.
bool listChannel (const Database& db, int type, int i, bool toLv1, const EmbeddedMap& embedded,
                  const std::map<std::pair<int, int>, int>& recorded, int& listed, juce::Array<juce::var>& channels, juce::String& error)
{
    juce::String problem;
    bool found = false;
    WavesChannel source;
    if (! readChannel (db.handle, "main", type, i, "Waves source", found, source, problem) || ! found)
    {
        error = problem.isNotEmpty() ? problem : juce::String ("configured Waves channel object is missing");
        return false;
    }
    const auto objectId = source.objectId;

    const int n = listed;
    listed = std::min (listed + 1, maxChannels);
    const EmbeddedChannel* entry = nullptr;
    if (toLv1)
        if (const auto found = embedded.find (i); found != embedded.end())
            entry = &found->second;
    const int destinationType = toLv1 ? (entry != nullptr ? entry->sourceType : 0) : 0;
    const int destinationIndex = toLv1 ? (entry != nullptr ? entry->sourceIndex : i) : n;
    bool selected = n < maxChannels;
    if (toLv1)
        if (const auto claim = recorded.find ({ destinationType, destinationIndex }); claim != recorded.end() && claim->second != i)
            selected = false;
    // A channel without a name of its own takes the generic name of its destination, and
    // the report shows that name.
    const auto name = destinationChannelName (source, destinationType, destinationIndex);

    juce::Array<juce::var> plugins;
    bool pluginOverflow = false;
    if (! listPluginsOf (db, objectId, toLv1, entry, plugins, pluginOverflow, error))
        return false;

    auto* channel = new juce::DynamicObject();
    channel->setProperty ("sourceType", type);
    channel->setProperty ("sourceIndex", i);
    channel->setProperty ("targetIndex", toLv1 ? destinationIndex : (n < maxChannels ? n : -1));
    channel->setProperty ("typeName", channelTypeName (type));
    channel->setProperty ("name", name);
    channel->setProperty ("selected", selected);
    channel->setProperty ("overflow", true);
    channel->setProperty ("destinationType", destinationType);
    channel->setProperty ("destinationIndex", destinationIndex);
    channel->setProperty ("destinationName", genericChannelName (destinationType, destinationIndex));
    channel->setProperty ("pluginOverflow", pluginOverflow);
    channel->setProperty ("plugins", plugins);
    channels.add (juce::var (channel));
    return true;
}

// The configured channels of a type (at most the target's strips), each an entry of the report,
// and the plug-ins of the type's other channels as not transferable.
bool listChannelsOfType (const Database& db, int type, bool toLv1, const EmbeddedMap& embedded, int& listed, juce::Array<juce::var>& channels,
                         juce::Array<juce::var>& notTransferable, juce::String& error)
{
    juce::String problem;
    juce::int64 configured = 0;
    if (! configuredChannelCount (db.handle, "main", type, configured, problem))
    {
        error = problem;
        return false;
    }
    const int count = (int) juce::jmin<juce::int64> (configured, maxChannels);
    if (! listNotTransferable (db.handle, type, configured, notTransferable, problem))
    {
        error = problem;
        return false;
    }
    // Toward LV1 the destinations the record gives the listed rack channels, each to the first
    // rack channel that claims it. A rack channel the record does not know would go to the
    // input of its own number; where the record sends another rack channel there, it is
    // proposed unselected, so that no two selected channels share a destination.
    std::map<std::pair<int, int>, int> recorded;
    if (toLv1)
        for (const auto& [rack, entry] : embedded)
            if (rack < count)
                recorded.emplace (std::make_pair (entry.sourceType, entry.sourceIndex), rack);
    for (int i = 0; i < count; ++i)
        if (! listChannel (db, type, i, toLv1, embedded, recorded, listed, channels, error))
            return false;
    return true;
}

juce::String buildSelectionReport (const juce::File& input, juce::StringRef target, juce::String& error)
{
    const juce::String targetId (target);
    // The staged folder outlives the connection that reads from it.
    StagedSource staged;
    Database db;
    juce::String sourceSha256;
    bool lv1Source = false;
    if (! openSource (input, targetId, staged, db, sourceSha256, lv1Source, error))
        return {};
    const bool toLv1 = targetId == wavesLv1Target;
    const auto embedded = lv1Source ? EmbeddedMap() : readEmbeddedMap (db.handle);

    juce::Array<juce::var> channels, notTransferable;
    int listed = 0; // n: channels listed so far, never above 64
    const int lv1Types[] = { 0, 2, 1, 6 };
    const int superRackTypes[] = { 0 };
    const auto* types = lv1Source ? lv1Types : superRackTypes;
    const int typeCount = lv1Source ? 4 : 1;
    for (int t = 0; t < typeCount; ++t)
        if (! listChannelsOfType (db, types[t], toLv1, embedded, listed, channels, notTransferable, error))
            return {};

    if (fileSha256 (input) != sourceSha256)
    {
        error = "Waves source changed while the channel list was being read";
        return {};
    }
    auto* root = new juce::DynamicObject();
    root->setProperty ("schema", "vorn-waves-selection-v1");
    root->setProperty ("target", targetId);
    root->setProperty ("sourceSha256", sourceSha256);
    root->setProperty ("targetStrips", maxChannels);
    root->setProperty ("targetSlots", maxSlots);
    root->setProperty ("required", true);
    root->setProperty ("channelOverflow", true);
    root->setProperty ("wavesNative", true);
    // The report does not know the template: say what its proposals must still fit.
    root->setProperty ("destinationLimit", destinationLimitNote);
    root->setProperty ("sourceApp", lv1Source ? "Waves LV1" : "SuperRack SoundGrid");
    root->setProperty ("channels", channels);
    // Plug-ins on channels the report does not list, which no selection can take.
    root->setProperty ("notTransferable", notTransferable);
    return json::toJsonLine (juce::var (root));
}

} // namespace vornconv::waves
