// The proof of a Waves transfer: the written session read back on a connection of its own and
// compared by value, channel by channel, with what the selection asked, then that nothing else
// came in and the snapshots are the template's with the channel map in the active one.

#include "waves/WavesNativeTransferInternal.h"

#include "model/JsonWriter.h"

#include <algorithm>
#include <limits>
#include <set>

namespace vornconv::waves::nativeTransfer
{

namespace
{

// What the selection asks of a channel: the name it gets, the source's preset name (empty when it
// has none), the mapped selected slot and the further columns of its active row and of its layout
// row (when the source holds them); each selected plug-in with its row and active state at its
// target slot; the physical routes with the channel's end renumbered; no channel parameter.
ChannelContent expectedContent (const ChannelChoice& choice, const CarriedColumns& columns)
{
    ChannelContent expected;
    expected.activeRow = choice.content.activeRow;
    expected.name = SqlValue::of (choice.outputName);
    expected.presetName = choice.content.presetName.isNull() ? SqlValue::of (juce::String()) : choice.content.presetName;
    expected.selectedSlot = choice.selectedSlot;
    expected.activeColumns = choice.content.activeColumns;
    expected.layoutRows = choice.content.layoutRows;
    expected.layout = choice.content.layout;
    auto plugins = choice.plugins;
    std::sort (plugins.begin(), plugins.end(), [] (const PluginChoice& a, const PluginChoice& b) { return a.targetSlot < b.targetSlot; });
    for (const auto& plugin : plugins)
    {
        auto content = choice.content.plugins[plugin.sourcePlugin];
        content.slot = SqlValue::of ((juce::int64) plugin.targetSlot);
        expected.plugins.push_back (std::move (content));
    }
    const int srcType = CarriedColumns::indexOf (columns.route, "src_cluster_type"), srcIndex = CarriedColumns::indexOf (columns.route, "src_cluster_type_index");
    const int dstType = CarriedColumns::indexOf (columns.route, "dst_cluster_type"), dstIndex = CarriedColumns::indexOf (columns.route, "dst_cluster_type_index");
    const auto type = SqlValue::of ((juce::int64) choice.source.type), index = SqlValue::of ((juce::int64) choice.source.index);
    for (auto route : choice.content.routes)
    {
        const bool in = route[(size_t) srcType] == SqlValue::of ((juce::int64) 10) && route[(size_t) dstType] == type && route[(size_t) dstIndex] == index;
        route[(size_t) (in ? dstType : srcType)] = SqlValue::of ((juce::int64) choice.destination.type);
        route[(size_t) (in ? dstIndex : srcIndex)] = SqlValue::of ((juce::int64) choice.destination.index);
        expected.routes.push_back (std::move (route));
    }
    return expected;
}

// The first difference between a written channel and what the selection asks of it, or nothing.
juce::String contentDifference (const ChannelContent& expected, const ChannelContent& actual, const CarriedColumns& columns)
{
    const auto differs = [] (const juce::String& what, const SqlValue& is, const SqlValue& asked) {
        return what + " is " + is.describe() + ", the selection asks for " + asked.describe();
    };
    const auto rowDifference = [&differs] (const juce::String& what, const ColumnList& names, const SqlRow& is, const SqlRow& asked) {
        for (size_t c = 0; c < is.size() && c < asked.size() && c < names.size(); ++c)
            if (is[c] != asked[c])
                return differs (what + names[c], is[c], asked[c]);
        return juce::String();
    };
    if (actual.name != expected.name)
        return differs ("name", actual.name, expected.name);
    if (actual.presetName != expected.presetName)
        return differs ("preset_name", actual.presetName, expected.presetName);
    if (actual.selectedSlot != expected.selectedSlot)
        return differs ("selected_slot", actual.selectedSlot, expected.selectedSlot);
    if (expected.activeRow)
        if (const auto row = rowDifference ({}, columns.activeRow, actual.activeColumns, expected.activeColumns); row.isNotEmpty())
            return row;
    if (columns.layouts && expected.layoutRows == 1)
    {
        if (actual.layoutRows != 1)
            return "it has " + counted (actual.layoutRows, "chainer row", "chainer rows") + ", the selection asks for 1";
        if (const auto row = rowDifference ("chainer ", columns.layout, actual.layout, expected.layout); row.isNotEmpty())
            return row;
    }
    if (actual.plugins.size() != expected.plugins.size())
        return "it holds " + counted ((juce::int64) actual.plugins.size(), "plug-in", "plug-ins") + ", the selection asks for "
               + juce::String ((juce::int64) expected.plugins.size());
    const auto stateColumns = columns.stateRow();
    for (size_t p = 0; p < actual.plugins.size(); ++p)
    {
        const auto& is = actual.plugins[p];
        const auto& asked = expected.plugins[p];
        const auto what = "the plug-in in slot " + asked.slot.describe();
        if (is.slot != asked.slot)
            return differs ("a plug-in's slot", is.slot, asked.slot);
        if (is.id != asked.id)
            return differs (what + " id", SqlValue::of (is.id), SqlValue::of (asked.id));
        if (const auto row = rowDifference (what + " ", columns.plugin, is.row, asked.row); row.isNotEmpty())
            return row;
        if (is.states.size() != asked.states.size())
            return what + " has " + counted ((juce::int64) is.states.size(), "active state", "active states") + ", the selection asks for "
                   + juce::String ((juce::int64) asked.states.size());
        for (size_t s = 0; s < is.states.size(); ++s)
            if (const auto state = rowDifference (what + " active state ", stateColumns, is.states[s], asked.states[s]); state.isNotEmpty())
                return state;
    }
    if (actual.routes.size() != expected.routes.size())
        return "it has " + counted ((juce::int64) actual.routes.size(), "physical route", "physical routes") + ", the selection asks for "
               + juce::String ((juce::int64) expected.routes.size());
    const int id = CarriedColumns::indexOf (columns.route, "id");
    for (size_t r = 0; r < actual.routes.size(); ++r)
        if (const auto route = rowDifference ("physical route " + expected.routes[r][(size_t) id].describe() + " ", columns.route, actual.routes[r],
                                              expected.routes[r]);
            route.isNotEmpty())
            return route;
    if (! actual.parameters.empty())
        return "it holds " + counted ((juce::int64) actual.parameters.size(), "channel parameter value", "channel parameter values")
               + ", the transfer carries none";
    return {};
}

} // namespace

bool readSnapshots (sqlite3* db, std::vector<SqlRow>& rows, juce::String& error)
{
    rows.clear();
    return eachRow (db, "SELECT id,number,name FROM main.snapshot ORDER BY id",
                    [&rows] (sqlite3_stmt* st) { rows.push_back ({ SqlValue::column (st, 0), SqlValue::column (st, 1), SqlValue::column (st, 2) }); },
                    error);
}

namespace
{

// A written session that differs from the selection, where (at which channel, or empty) and in what.
bool refuseDifference (juce::String& error, const juce::String& where, const juce::String& what)
{
    error = "written Waves session differs from the selection" + where + ": " + what;
    return false;
}

// Each transferred channel of the written session, on its template channel object with its active
// row, holds what the selection asks of it; targets receives those channel objects.
bool proveChannels (const Database& db, const std::vector<ChannelChoice>& choices, const TransferShape& shape,
                    std::set<juce::int64>& targets, juce::String& error)
{
    const auto refuse = [&error] (const juce::String& where, const juce::String& what) { return refuseDifference (error, where, what); };
    for (const auto& choice : choices)
    {
        const auto where = " at " + genericChannelName (choice.destination.type, choice.destination.index) + " (from "
                           + genericChannelName (choice.source.type, choice.source.index) + ")";
        bool found = false;
        WavesChannel channel;
        if (! readChannel (db.handle, "main", choice.destination.type, choice.destination.index, "written Waves session", found, channel, error))
            return false;
        if (! found || channel.objectId != choice.targetId || ! channel.activeRow)
            return refuse (where, "its channel object or active row is not the template's");
        targets.insert (channel.objectId);
        ChannelContent actual;
        if (! readChannelContent (db.handle, "main", shape.carried, channel.objectId, choice.destination.type, choice.destination.index, actual, error))
            return false;
        if (const auto difference = contentDifference (expectedContent (choice, shape.carried), actual, shape.carried); difference.isNotEmpty())
            return refuse (where, difference);
    }
    return true;
}

// The written session holds the plug-ins, states and routes the transfer copied and nothing else:
// no active channel parameter value, no reset flag set, no preset that no copied state uses.
bool proveTotals (const Database& db, const TransferShape& shape, const TransferProof& proof, juce::String& error)
{
    const auto refuse = [&error] (const juce::String& where, const juce::String& what) { return refuseDifference (error, where, what); };
    // The flags the transfer resets, where the template holds them.
    juce::StringArray resets, resetNames;
    for (const auto& [column, value] : shape.pluginResets)
    {
        resets.add (sqlIdentifier (column) + " IS NOT " + juce::String (value));
        resetNames.add (column);
    }
    const auto resetWords = listed (resetNames).replace (" and ", " or ");
    const auto withResets = "plug-in with " + resetWords + " set", withResetsMany = "plug-ins with " + resetWords + " set";
    const bool refCount = shape.preset.templateHolds ("ref_count");
    const struct
    {
        juce::String sql;
        juce::int64 expected;
        juce::String one, many;
    } totals[] = {
        { "SELECT count(*) FROM plug", proof.plugins, "plug-in", "plug-ins" },
        { "SELECT count(*) FROM snapshot_plugin", proof.plugins, "plug-in state", "plug-in states" },
        { "SELECT count(*) FROM routes", proof.routes, "route", "routes" },
        { "SELECT count(*) FROM snapshot_chainer_params WHERE vorn_value(snapshot_id)=-1", 0, "active channel parameter value", "active channel parameter values" },
        { resets.isEmpty() ? juce::String ("SELECT 0") : "SELECT count(*) FROM plug WHERE " + resets.joinIntoString (" OR "), 0, withResets, withResetsMany },
        { juce::String ("SELECT count(*) FROM plugin_preset pp WHERE ")
              + (refCount ? "pp.ref_count IS NOT (SELECT count(*) FROM snapshot_plugin sp WHERE sp.preset_id=pp.id) OR " : "")
              + "NOT EXISTS(SELECT 1 FROM snapshot_plugin sp WHERE sp.preset_id=pp.id)",
          0, "preset that no copied state uses or whose ref_count is not the number of states using it",
          "presets that no copied state uses or whose ref_count is not the number of states using them" },
    };
    for (const auto& total : totals)
    {
        juce::int64 count = 0;
        if (! countQuery (db.handle, total.sql.toRawUTF8(), {}, count, error))
            return false;
        if (count != total.expected)
            return refuse ({}, "it holds " + counted (count, total.one.toRawUTF8(), total.many.toRawUTF8()) + ", the selection asks for "
                                   + juce::String (total.expected));
    }
    return true;
}

// The written session holds no hot plug-in assignment, in the snapshots' slots or in hot_plug.
bool proveNoHotAssignments (const Database& db, juce::String& error)
{
    const auto refuse = [&error] (const juce::String& where, const juce::String& what) { return refuseDifference (error, where, what); };
    juce::StringArray hot;
    bool hotPlug = false;
    if (! hotPluginColumns (db.handle, "main", hot, error) || ! tableExists (db.handle, "main", "hot_plug", hotPlug, error))
        return false;
    for (const auto& column : hot)
    {
        juce::int64 assigned = 0;
        if (! countQuery (db.handle, ("SELECT count(*) FROM snapshot_hot_plugins WHERE " + sqlIdentifier (column) + " IS NOT -1").toRawUTF8(), {}, assigned,
                          error))
            return false;
        if (assigned != 0)
            return refuse ({}, "snapshot_hot_plugins." + column + " holds a hot plug-in assignment, the transfer carries none");
    }
    juce::int64 hotRows = 0;
    if (hotPlug && ! countQuery (db.handle, "SELECT count(*) FROM hot_plug", {}, hotRows, error))
        return false;
    if (hotRows != 0)
        return refuse ({}, "hot_plug holds " + juce::String (hotRows) + " rows, the transfer carries none");
    return true;
}

// Every template channel not transferred onto carries its generic name.
bool proveGenericNames (const Database& db, const std::set<juce::int64>& targets, juce::String& error)
{
    const auto refuse = [&error] (const juce::String& where, const juce::String& what) { return refuseDifference (error, where, what); };
    juce::String misnamed;
    if (! eachRow (db.handle,
                   "SELECT o.id,o.obj_type,o.obj_index,sc.name FROM object o JOIN snapshot_chainer sc ON sc.chainer_id=o.id AND vorn_value(sc.snapshot_id)=-1 "
                   "WHERE o.obj_type IN (0,1,2,6) AND typeof(o.obj_index)='integer' AND o.obj_index>=0 ORDER BY o.obj_type,o.obj_index",
                   [&] (sqlite3_stmt* st) {
                       const auto index = sqlite3_column_int64 (st, 2);
                       if (misnamed.isNotEmpty() || targets.count (sqlite3_column_int64 (st, 0)) != 0 || index >= std::numeric_limits<int>::max())
                           return;
                       const auto generic = genericChannelName (sqlite3_column_int (st, 1), (int) index);
                       const auto name = SqlValue::column (st, 3);
                       if (name != SqlValue::of (generic))
                           misnamed = generic + " of the host-save template is named " + name.describe() + ", the transfer gives it "
                                      + json::quotedForMessage (generic);
                   },
                   error))
        return false;
    if (misnamed.isNotEmpty())
        return refuse ({}, misnamed);
    return true;
}

// The snapshots are the template's, with the channel map in the active one.
bool proveSnapshots (const Database& db, const TransferProof& proof, juce::String& error)
{
    const auto refuse = [&error] (const juce::String& where, const juce::String& what) { return refuseDifference (error, where, what); };
    std::vector<SqlRow> snapshots;
    if (! readSnapshots (db.handle, snapshots, error))
        return false;
    if (snapshots.size() != proof.snapshots.size() || ! std::equal (snapshots.begin(), snapshots.end(), proof.snapshots.begin()))
        return refuse ({}, "its snapshots are not the host-save template's");
    Statement info;
    bool hasRow = false;
    if (! prepare (db.handle, "SELECT info FROM snapshot WHERE id=-1", info, error) || ! stepRow (db.handle, info.handle, hasRow, error))
        return false;
    if (! hasRow || SqlValue::column (info.handle, 0) != SqlValue::of (proof.record))
        return refuse ({}, "the active snapshot does not hold the channel map");
    return true;
}

} // namespace

bool proveTransfer (const juce::File& written, const std::vector<ChannelChoice>& choices, const TransferShape& shape, const TransferProof& proof,
                    juce::String& error)
{
    Database db;
    if (! openDatabase (written, db, error) || ! addValueFunction (db.handle, error))
        return false;
    std::set<juce::int64> targets;
    return proveChannels (db, choices, shape, targets, error) && proveTotals (db, shape, proof, error)
        && proveNoHotAssignments (db, error) && proveGenericNames (db, targets, error) && proveSnapshots (db, proof, error);
}

} // namespace vornconv::waves::nativeTransfer
