// The note of a Waves transfer, one finding a line: what the source holds beyond the copy (channel
// parameters, second active states, reset flags, hot plug-in assignments, what was not selected,
// its snapshots) and what the template keeps or loses of its own.

#include "waves/WavesNativeTransferInternal.h"

#include "model/JsonWriter.h"

#include <limits>
#include <map>

namespace vornconv::waves::nativeTransfer
{

namespace
{

// A channel of a session row by its type and index columns: "Input 3", or "no channel".
juce::String channelAt (sqlite3_stmt* statement, int typeColumn, int indexColumn)
{
    if (sqlite3_column_type (statement, typeColumn) != SQLITE_INTEGER || sqlite3_column_type (statement, indexColumn) != SQLITE_INTEGER)
        return "no channel";
    const auto type = sqlite3_column_int64 (statement, typeColumn), index = sqlite3_column_int64 (statement, indexColumn);
    if (type < std::numeric_limits<int>::min() || type > std::numeric_limits<int>::max() || index < 0 || index >= std::numeric_limits<int>::max())
        return "channel " + noteText (statement, typeColumn) + "/" + noteText (statement, indexColumn);
    return genericChannelName ((int) type, (int) index);
}

// "EQ" (Input 1, slot 0), from the columns name, channel type, channel index and slot.
juce::String describePlugin (sqlite3_stmt* statement, int first)
{
    return json::quotedForMessage (rowText (statement, first)) + " (" + channelAt (statement, first + 1, first + 2) + ", slot "
           + noteText (statement, first + 3) + ")";
}

// "Song" (number 3), from the columns name and number.
juce::String describeSnapshot (sqlite3_stmt* statement)
{
    auto text = json::quotedForMessage (rowText (statement, 0));
    if (sqlite3_column_type (statement, 1) != SQLITE_NULL)
        text << " (number " << noteText (statement, 1) << ")";
    return text;
}

// Every row of a query (bound to nothing) as one text for a note.
bool noteRows (sqlite3* db, const juce::String& sql, const std::function<juce::String (sqlite3_stmt*)>& describe, juce::StringArray& out,
               juce::String& error)
{
    return eachRow (db, sql, [&] (sqlite3_stmt* st) { out.add (describe (st)); }, error);
}

} // namespace

juce::String counted (juce::int64 n, const char* one, const char* many)
{
    return juce::String (n) + " " + (n == 1 ? one : many);
}

juce::String listed (const juce::StringArray& items)
{
    if (items.size() < 2)
        return items.joinIntoString ("");
    juce::StringArray head (items);
    head.remove (head.size() - 1);
    return head.joinIntoString (", ") + " and " + items[items.size() - 1];
}

juce::String TransferNotes::text (bool toLv1) const
{
    juce::StringArray lines;
    const auto parameters = counted (channelParameters, toLv1 ? "SuperRack channel parameter value" : "LV1 channel parameter value",
                                     toLv1 ? "SuperRack channel parameter values" : "LV1 channel parameter values")
                            + " of the transferred " + (toLv1 ? "rack channels (" : "channels (") + parameterNames.joinIntoString (", ") + ")";
    juce::String unmapped;
    if (toLv1)
        unmapped = channelParameters == 0 ? juce::String ("SuperRack channel parameters have no verified LV1 equivalent")
                                          : parameters + (channelParameters == 1 ? " has no verified LV1 equivalent and was not carried"
                                                                                  : " have no verified LV1 equivalent and were not carried");
    else
        unmapped = juce::String ("LV1 mixer-only bus feed, trim, and pan have no verified SuperRack equivalent")
                   + (channelParameters == 0 ? juce::String() : ", and " + parameters + (channelParameters == 1 ? " was not carried" : " were not carried"));
    lines.add (juce::String ("Native Waves preset payloads and active bypass/mute values were copied exactly")
               + (secondStates.isEmpty() ? "" : ", except the second active states named below") + ". Only physical I/O routes are translated; "
               + unmapped + ". Target-host load/save validation is still required.");
    const auto add = [&lines] (const juce::StringArray& items, const juce::String& head) {
        if (! items.isEmpty())
            lines.add (head + items.joinIntoString (", ") + ".");
    };
    if (! secondStates.isEmpty())
        lines.add ("Active states of a second setup (setup_type_id other than -1) were not carried: " + secondStates.joinIntoString ("; ") + ".");
    add (resetPlugins, "Recall-safe or hot-plug-in flags of " + counted (resetPlugins.size(), "plug-in were", "plug-ins were")
                           + " reset (recall_safe 0, hot_plugin -1): ");
    add (hotAssignments, counted (hotAssignments.size(), "hot plug-in assignment", "hot plug-in assignments")
                             + " of the source " + (hotAssignments.size() == 1 ? "was" : "were") + " not carried: ");
    add (movedSelections, counted (movedSelections.size(), "channel selects", "channels select")
                              + " another slot than in the source, since the plug-in or slot selected there was not carried: ");
    add (genericNames, counted (genericNames.size(), "channel has", "channels have")
                           + " no name in the source and got the generic name of " + (genericNames.size() == 1 ? "its" : "their") + " destination: ");
    add (unselectedChannels, counted (unselectedChannels.size(), "source channel was", "source channels were") + " not selected and not carried: ");
    add (unselectedPlugins, counted (unselectedPlugins.size(), "source plug-in was", "source plug-ins were") + " not selected and not carried: ");
    const auto& lost = templateLosses;
    if (lost.channels > 0 || lost.plugins > 0 || lost.parameters > 0 || lost.routes > 0 || lost.hotPlugins > 0)
    {
        juce::StringArray cleared;
        if (lost.plugins > 0)
            cleared.add (counted (lost.plugins, "plug-in", "plug-ins"));
        if (lost.parameters > 0)
            cleared.add (counted (lost.parameters, "channel parameter value", "channel parameter values"));
        if (lost.routes > 0)
            cleared.add (counted (lost.routes, "route", "routes"));
        if (lost.hotPlugins > 0)
            cleared.add (counted (lost.hotPlugins, "hot plug-in assignment", "hot plug-in assignments"));
        juce::StringArray parts;
        if (lost.names > 0)
            parts.add (counted (lost.names, "name was", "names were")
                       + " replaced (by the transferred channel's name or the generic one)");
        if (! cleared.isEmpty())
            parts.add (listed (cleared) + (lost.plugins + lost.parameters + lost.routes + lost.hotPlugins == 1 ? " was cleared" : " were cleared"));
        // What no channel of the template held (a hot plug-in assignment of a plug-in it does
        // not hold) is the template's loss, not a channel's.
        lines.add ((lost.channels == 0 ? juce::String ("The host-save template lost content of its")
                                       : counted (lost.channels, "channel", "channels") + " of the host-save template lost content of "
                                             + (lost.channels == 1 ? "its" : "their"))
                   + " own: " + parts.joinIntoString ("; ") + ".");
    }
    add (sourceSnapshots, "Source snapshots were not carried: ");
    add (keptSnapshots, "Host-save template snapshots were kept with the template's values on the transferred channels (recalling one "
                        "undoes the transfer there): ");
    return lines.joinIntoString ("\n");
}

namespace
{

// The columns describePlugin reads of a plug-in row of the source (p, with its channel object o),
// and the order the note lists plug-ins in.
constexpr const char* plugColumns = "p.plugin_name,o.obj_type,o.obj_index,p.slot";
constexpr const char* plugOrder = " ORDER BY o.obj_type,o.obj_index,p.slot,p.id";

juce::String describePluginRow (sqlite3_stmt* st) { return describePlugin (st, 0); }

// What the selection itself says: the channels that got a generic name or select another slot;
// and plugins receives each selected plug-in by its name and where the selection took it from.
void noteChoices (const std::vector<ChannelChoice>& choices, TransferNotes& notes, std::map<juce::int64, juce::String>& plugins)
{
    for (const auto& choice : choices)
    {
        const auto from = genericChannelName (choice.source.type, choice.source.index);
        if (choice.blank)
            notes.genericNames.add (from + " as " + json::quotedForMessage (choice.outputName));
        if (choice.selectionMoved)
            notes.movedSelections.add (from + " (slot " + choice.content.selectedSlot.describe() + ", now "
                                       + (choice.selectedSlot.integer < 0 ? juce::String ("none") : "slot " + choice.selectedSlot.describe()) + ")");
        for (const auto& plugin : choice.plugins)
            plugins[plugin.plugId] = json::quotedForMessage (plugin.sourceName) + " (" + from + ", slot " + juce::String (plugin.sourceSlot) + ")";
    }
}

// The source's active channel parameter values on the transferred channels, and their names.
bool noteChannelParameters (sqlite3* db, TransferNotes& notes, juce::String& error)
{
    bool exists = false;
    if (! tableExists (db, "source_session", "snapshot_chainer_params", exists, error))
        return false;
    if (exists)
    {
        bool named = false;
        if (! tableExists (db, "source_session", "chainer_params", named, error)
            || ! countQuery (db, "SELECT count(*) FROM source_session.snapshot_chainer_params scp JOIN vorn_channel_map m ON m.source_id=scp.chainer_id WHERE vorn_value(scp.snapshot_id)=-1",
                             {}, notes.channelParameters, error))
            return false;
        const juce::String name = named ? "COALESCE((SELECT cp.name FROM source_session.chainer_params cp WHERE cp.id=scp.param_id LIMIT 1),'parameter '||scp.param_id)"
                                        : "'parameter '||scp.param_id";
        if (! noteRows (db, "SELECT DISTINCT " + name + " AS n FROM source_session.snapshot_chainer_params scp JOIN vorn_channel_map m ON m.source_id=scp.chainer_id WHERE vorn_value(scp.snapshot_id)=-1 ORDER BY n",
                        [] (sqlite3_stmt* st) { return noteText (st, 0); }, notes.parameterNames, error))
            return false;
    }
    return true;
}

// The selected plug-ins' active states of a second setup, and those whose recall-safe or
// hot-plug-in flags the copy resets.
bool noteSelectedPlugins (sqlite3* db, std::map<juce::int64, juce::String>& plugins, TransferNotes& notes, juce::String& error)
{
    if (! noteRows (db, "SELECT sp.plug_id,sp.setup_type_id FROM source_session.snapshot_plugin sp JOIN vorn_plugin_map pm ON pm.source_id=sp.plug_id WHERE vorn_value(sp.snapshot_id)=-1 AND vorn_value(sp.setup_type_id) IS NOT -1 ORDER BY sp.plug_id,sp.setup_type_id,sp.id",
                    [&plugins] (sqlite3_stmt* st) {
                        return plugins[sqlite3_column_int64 (st, 0)] + " setup " + (sqlite3_column_type (st, 1) == SQLITE_NULL ? juce::String ("NULL") : noteText (st, 1));
                    },
                    notes.secondStates, error))
        return false;

    bool recallSafe = false, hotPlugin = false;
    if (! columnExists (db, "source_session", "plug", "recall_safe", recallSafe, error)
        || ! columnExists (db, "source_session", "plug", "hot_plugin", hotPlugin, error))
        return false;
    if ((recallSafe || hotPlugin)
        && ! noteRows (db, juce::String ("SELECT ") + plugColumns + " FROM source_session.plug p JOIN vorn_plugin_map pm ON pm.source_id=p.id LEFT JOIN source_session.object o ON o.id=p.chainer_id WHERE "
                               + (recallSafe ? "COALESCE(p.recall_safe,0)<>0" : "0") + " OR " + (hotPlugin ? "COALESCE(p.hot_plugin,-1)<>-1" : "0") + plugOrder,
                       describePluginRow, notes.resetPlugins, error))
        return false;
    return true;
}

// The source's hot plug-in assignments, in the slots of its active snapshot and in its hot_plug
// rows.
bool noteHotAssignments (sqlite3* db, TransferNotes& notes, juce::String& error)
{
    // The source's hot plug-in assignments of its active snapshot: no verified equivalent in the
    // other product, so none is carried.
    juce::StringArray hot;
    bool snapshotColumn = false;
    if (! hotPluginColumns (db, "source_session", hot, error)
        || ! columnExists (db, "source_session", "snapshot_hot_plugins", "snapshot_id", snapshotColumn, error))
        return false;
    for (const auto& column : hot)
    {
        const auto number = column.fromFirstOccurrenceOf ("hp_", false, false).upToFirstOccurrenceOf ("_", false, false);
        const auto value = "h." + sqlIdentifier (column);
        if (! noteRows (db, "SELECT " + value + ",p.id,p.plugin_name,o.obj_type,o.obj_index,p.slot FROM source_session.snapshot_hot_plugins h LEFT JOIN source_session.plug p ON p.id="
                                + value + " LEFT JOIN source_session.object o ON o.id=p.chainer_id WHERE " + (snapshotColumn ? "vorn_value(h.snapshot_id)=-1" : "1") + " AND "
                                + value + " IS NOT NULL AND " + value + " IS NOT -1 ORDER BY h.id",
                        [&number] (sqlite3_stmt* st) {
                            return "hot plug-in " + number + " "
                                   + (sqlite3_column_type (st, 1) == SQLITE_NULL ? "plug-in id " + noteText (st, 0) + " (not a plug-in of the source)"
                                                                                 : describePlugin (st, 2));
                        },
                        notes.hotAssignments, error))
            return false;
    }
    // And its hot_plug rows: none is carried either.
    bool hotPlug = false, hotPlugColumn = false;
    if (! tableExists (db, "source_session", "hot_plug", hotPlug, error)
        || ! columnExists (db, "source_session", "hot_plug", "plug_id", hotPlugColumn, error))
        return false;
    if (hotPlug
        && ! noteRows (db,
                       hotPlugColumn ? "SELECT h.rowid,h.plug_id,p.id,p.plugin_name,o.obj_type,o.obj_index,p.slot FROM source_session.hot_plug h LEFT JOIN "
                                       "source_session.plug p ON p.id=h.plug_id LEFT JOIN source_session.object o ON o.id=p.chainer_id ORDER BY h.rowid"
                                     : "SELECT h.rowid,NULL,NULL FROM source_session.hot_plug h ORDER BY h.rowid",
                       [hotPlugColumn] (sqlite3_stmt* st) {
                           const auto row = "hot_plug row " + noteText (st, 0);
                           if (! hotPlugColumn)
                               return row;
                           return row + " "
                                  + (sqlite3_column_type (st, 2) == SQLITE_NULL ? "plug-in id " + noteText (st, 1) + " (not a plug-in of the source)"
                                                                                : describePlugin (st, 3));
                       },
                       notes.hotAssignments, error))
        return false;
    return true;
}

// Everything the source holds that the selection left out.
bool noteUnselected (sqlite3* db, bool toLv1, TransferNotes& notes, juce::String& error)
{
    // Everything the source holds that the selection left out: its channels as the report lists
    // them, and every plug-in not carried (on those channels, on selected ones, or on channels the
    // report cannot list).
    const std::vector<int> types = toLv1 ? std::vector<int> { 0 } : std::vector<int> { 0, 2, 1, 6 };
    for (const int type : types)
    {
        juce::int64 configured = 0;
        if (! configuredChannelCount (db, "source_session", type, configured, error))
            return false;
        if (! noteRows (db, "SELECT o.obj_type,o.obj_index,COALESCE((SELECT sc.name FROM source_session.snapshot_chainer sc WHERE sc.chainer_id=o.id AND vorn_value(sc.snapshot_id)=-1 LIMIT 1),o.name) "
                            "FROM source_session.object o WHERE o.obj_type=" + juce::String (type) + " AND typeof(o.obj_index)='integer' AND o.obj_index>=0 AND o.obj_index<"
                                + juce::String (configured) + " AND o.id NOT IN (SELECT source_id FROM vorn_channel_map) ORDER BY o.obj_index,o.id",
                        [] (sqlite3_stmt* st) {
                            const auto name = rowText (st, 2);
                            return channelAt (st, 0, 1) + (name.isEmpty() ? juce::String() : " " + json::quotedForMessage (name));
                        },
                        notes.unselectedChannels, error))
            return false;
    }
    if (! noteRows (db, juce::String ("SELECT ") + plugColumns + " FROM source_session.plug p LEFT JOIN source_session.object o ON o.id=p.chainer_id WHERE p.id NOT IN (SELECT source_id FROM vorn_plugin_map)" + plugOrder,
                    describePluginRow, notes.unselectedPlugins, error))
        return false;
    return true;
}

// The source's snapshots, none carried, and the template's that keep its values on a transferred
// channel.
bool noteSnapshots (sqlite3* db, TransferNotes& notes, juce::String& error)
{
    bool exists = false;
    return noteRows (db, "SELECT name,number FROM source_session.snapshot WHERE id<>-1 ORDER BY number,id", describeSnapshot, notes.sourceSnapshots, error)
        && tableExists (db, "main", "snapshot_chainer_params", exists, error)
        && noteRows (db,
                     juce::String ("SELECT s.name,s.number FROM main.snapshot s WHERE s.id<>-1 AND (EXISTS(SELECT 1 FROM main.snapshot_chainer sc WHERE sc.snapshot_id=s.id AND sc.chainer_id IN (SELECT target_id FROM vorn_channel_map))")
                         + (exists ? " OR EXISTS(SELECT 1 FROM main.snapshot_chainer_params scp WHERE scp.snapshot_id=s.id AND scp.chainer_id IN (SELECT target_id FROM vorn_channel_map))" : "")
                         + ") ORDER BY s.number,s.id",
                     describeSnapshot, notes.keptSnapshots, error);
}

} // namespace

bool collectNotes (sqlite3* db, const std::vector<ChannelChoice>& choices, bool toLv1, TransferNotes& notes, juce::String& error)
{
    // A plug-in by its name and where the selection took it from.
    std::map<juce::int64, juce::String> plugins;
    noteChoices (choices, notes, plugins);
    return noteChannelParameters (db, notes, error) && noteSelectedPlugins (db, plugins, notes, error)
        && noteHotAssignments (db, notes, error) && noteUnselected (db, toLv1, notes, error) && noteSnapshots (db, notes, error);
}

} // namespace vornconv::waves::nativeTransfer
