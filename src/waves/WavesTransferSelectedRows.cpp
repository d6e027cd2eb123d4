// The selected channels and plug-ins of a Waves transfer resolved against the source and the
// template: each channel one the report lists, one object with its active and layout rows,
// landing on one template channel with its own; each plug-in the one in its source slot, with the
// slot the output selects. Then the rows they bring that the write would not carry as they are:
// a sidechain, no unique active state, a preset the source does not hold, a value of a column
// only the source holds.

#include "waves/WavesNativeTransferInternal.h"

#include "model/JsonWriter.h"

#include <map>

namespace vornconv::waves::nativeTransfer
{

namespace
{

// The slot the output selects on a channel: where the plug-in that the source selects landed; an
// empty slot that the source selects stays selected when the target has it and nothing lands
// there. Otherwise (the plug-in was not carried, or the slot cannot be kept) the first slot that
// holds a plug-in, or -1 when none does, and the note says so. A source that selects nothing (-1,
// NULL, no active row) selects nothing. Slots compare by value: a selected slot held as the text
// "1" is slot 1.
void mapSelectedSlot (ChannelChoice& choice, int targetSlots)
{
    const auto& held = choice.content.selectedSlot;
    const auto selected = held.asInteger();
    choice.selectionMoved = false;
    choice.selectedSlot = SqlValue::of ((juce::int64) -1);
    if (held.isNull() || selected == -1)
        return;
    for (const auto& plugin : choice.plugins)
        if (selected == plugin.sourceSlot)
        {
            choice.selectedSlot = SqlValue::of ((juce::int64) plugin.targetSlot);
            return;
        }
    bool sourceHolds = false, targetHolds = false;
    for (const auto& plugin : choice.content.plugins)
        sourceHolds = sourceHolds || (selected && plugin.slot.asInteger() == selected);
    for (const auto& plugin : choice.plugins)
        targetHolds = targetHolds || plugin.targetSlot == selected;
    if (selected && *selected >= 0 && *selected < targetSlots && ! sourceHolds && ! targetHolds)
    {
        choice.selectedSlot = SqlValue::of (*selected);
        return;
    }
    juce::int64 first = -1;
    for (const auto& plugin : choice.plugins)
        if (first < 0 || plugin.targetSlot < first)
            first = plugin.targetSlot;
    choice.selectedSlot = SqlValue::of (first);
    choice.selectionMoved = true;
}

} // namespace

juce::String pluginLabel (const ChannelChoice& choice, const PluginChoice& plugin)
{
    return json::quotedForMessage (plugin.sourceName) + " (" + genericChannelName (choice.source.type, choice.source.index) + ", slot "
           + juce::String (plugin.sourceSlot) + ")";
}

namespace
{

// The source channel must be one the report lists: toward SoundGrid an Input channel of the LV1
// session, and within the first channels of its type the source configures (configured keeps
// each type's count once read).
bool checkSourceListed (sqlite3* db, bool toLv1, const ChannelKey& from, const juce::String& sourceName,
                        std::map<int, juce::int64>& configured, juce::String& error)
{
    if (toLv1 && from.type != 0)
    {
        error = "Waves selection takes " + sourceName + " from the source, but the channels of a SuperRack SoundGrid session are its "
                + channelTypeName (0) + " (rack) channels";
        return false;
    }
    if (configured.count (from.type) == 0
        && ! configuredChannelCount (db, "source_session", from.type, configured[from.type], error))
        return false;
    const auto count = configured[from.type];
    if (from.index >= juce::jmin<juce::int64> (count, maxChannels))
    {
        error = "Waves selection takes " + sourceName + " from the source, but "
                + (count <= maxChannels ? "the source session configures " + juce::String (count) + " " + channelTypeName (from.type) + " channels"
                                        : "a transfer carries only the first " + juce::String (maxChannels) + " " + channelTypeName (from.type)
                                              + " channels of the source");
        return false;
    }
    return true;
}

// The channel objects of the source channel and of its destination in the template, which must
// have its active row; the choice takes their ids, the name the channel gets and its label.
bool findChannelObjects (sqlite3* db, ChannelChoice& choice, const juce::String& sourceName, juce::String& error)
{
    const auto& from = choice.source;
    const auto& to = choice.destination;
    bool found = false;
    WavesChannel source, destination;
    if (! readChannel (db, "source_session", from.type, from.index, "Waves source", found, source, error))
        return false;
    bool destinationFound = false;
    if (found && ! readChannel (db, "main", to.type, to.index, "Waves host-save template", destinationFound, destination, error))
        return false;
    if (! found || ! destinationFound)
    {
        error = "Selected Waves source or destination channel object is missing: " + choice.where + ": "
                + (found ? "the host-save template holds no channel object for " + genericChannelName (to.type, to.index)
                         : "the source holds no channel object for " + sourceName);
        return false;
    }
    if (! destination.activeRow)
    {
        error = "Waves host-save template has no active-snapshot row for " + genericChannelName (to.type, to.index)
                + " (snapshot_chainer); the channel's name, preset name and selected slot would be lost";
        return false;
    }
    choice.sourceId = source.objectId;
    choice.targetId = destination.objectId;
    choice.blank = ! source.ownName;
    choice.outputName = destinationChannelName (source, to.type, to.index);
    choice.label = sourceName + (source.ownName ? " " + json::quotedForMessage (source.name) : juce::String());
    if (choice.name && *choice.name != choice.outputName)
        return disagreement (choice.where, "name " + json::quotedForMessage (*choice.name) + " disagrees with "
                                               + (choice.blank ? "the name the channel gets, the generic name of its destination "
                                                               : "the source channel's name ")
                                               + json::quotedForMessage (choice.outputName)
                                               + (choice.blank ? "; give it that name or leave name out" : ""),
                             error);
    return true;
}

// The template channel a choice lands on must have one layout row (chainer) to take the
// source's.
bool checkTemplateLayoutRow (sqlite3* db, const ChannelChoice& choice, juce::String& error)
{
    const auto& to = choice.destination;
    const auto place = genericChannelName (to.type, to.index);
    juce::int64 layouts = 0;
    if (! countQuery (db, "SELECT count(*) FROM main.chainer WHERE obj_id=?", { choice.targetId }, layouts, error))
        return false;
    if (layouts == 0)
    {
        error = "Waves host-save template has no chainer row for " + place
                + " (the channel's layout); the transferred channel's layout cannot be written there";
        return false;
    }
    if (layouts > 1)
    {
        error = "Waves host-save template holds " + juce::String (layouts) + " chainer rows for " + place
                + "; nothing tells which one is meant";
        return false;
    }
    return true;
}

// A selected plug-in must be the one plug-in in its source slot of the channel; it takes its id,
// its name and its place in the channel's content, and what the entry says of its name and
// vendor must be the source's.
bool resolvePlugin (sqlite3* db, const ChannelChoice& choice, const juce::String& sourceName, PluginChoice& plugin, juce::String& error)
{
    juce::int64 plugs = 0;
    if (! countQuery (db, "SELECT count(*) FROM source_session.plug WHERE chainer_id=? AND vorn_value(slot)=?", { choice.sourceId, plugin.sourceSlot },
                      plugs, error))
        return false;
    if (plugs == 0)
    {
        error = "Waves selection references a missing source plug-in: " + plugin.where + ": " + sourceName
                + " of the source holds no plug-in in slot " + juce::String (plugin.sourceSlot);
        return false;
    }
    if (plugs > 1)
    {
        error = "Waves source holds " + juce::String (plugs) + " plug-ins in slot " + juce::String (plugin.sourceSlot) + " of " + sourceName
                + "; nothing tells which one is meant";
        return false;
    }
    Statement statement;
    bool hasRow = false;
    if (! prepare (db, "SELECT id,plugin_name,vendor_name FROM source_session.plug WHERE chainer_id=? AND vorn_value(slot)=?", statement, error))
        return false;
    sqlite3_bind_int64 (statement.handle, 1, choice.sourceId);
    sqlite3_bind_int (statement.handle, 2, plugin.sourceSlot);
    juce::String vendor;
    if (! stepRow (db, statement.handle, hasRow, error) || ! hasRow
        || ! textColumn (statement.handle, 1, "plug.plugin_name", plugin.sourceName, error)
        || ! textColumn (statement.handle, 2, "plug.vendor_name", vendor, error))
    {
        if (error.isEmpty())
            error = "Waves selection references a missing source plug-in";
        return false;
    }
    plugin.plugId = sqlite3_column_int64 (statement.handle, 0);
    for (size_t p = 0; p < choice.content.plugins.size(); ++p)
        if (choice.content.plugins[p].id == plugin.plugId)
            plugin.sourcePlugin = p;
    if (plugin.name && *plugin.name != plugin.sourceName)
        return disagreement (plugin.where, "name " + json::quotedForMessage (*plugin.name) + " disagrees with the source plug-in's name "
                                               + json::quotedForMessage (plugin.sourceName),
                             error);
    if (plugin.vendor && *plugin.vendor != vendor)
        return disagreement (plugin.where, "vendor " + json::quotedForMessage (*plugin.vendor) + " disagrees with the source plug-in's vendor "
                                               + json::quotedForMessage (vendor),
                             error);
    return true;
}

} // namespace

bool resolveChannels (sqlite3* db, bool toLv1, const TransferShape& shape, std::vector<ChannelChoice>& choices, juce::String& error)
{
    std::map<int, juce::int64> configured;
    for (auto& choice : choices)
    {
        const auto& from = choice.source;
        const auto sourceName = genericChannelName (from.type, from.index);
        if (! checkSourceListed (db, toLv1, from, sourceName, configured, error) || ! findChannelObjects (db, choice, sourceName, error))
            return false;
        if (! readChannelContent (db, "source_session", shape.carried, choice.sourceId, from.type, from.index, choice.content, error))
            return false;
        if (choice.content.layoutRows > 1)
        {
            error = "Waves source holds " + juce::String (choice.content.layoutRows) + " chainer rows for " + sourceName
                    + "; nothing tells which one is meant";
            return false;
        }
        if (shape.layout.inTemplate && ! checkTemplateLayoutRow (db, choice, error))
            return false;
        for (auto& plugin : choice.plugins)
            if (! resolvePlugin (db, choice, sourceName, plugin, error))
                return false;
        mapSelectedSlot (choice, toLv1 ? lv1Slots : superRackSlots);
    }
    return true;
}

namespace
{

// No selected plug-in may use a sidechain (an assignment or the flag), and each must have
// exactly one active state; each refusal lists every plug-in it is about.
bool checkSelectedPlugins (sqlite3* db, const std::vector<ChannelChoice>& choices, juce::String& error)
{
    bool sidechainTable = false, sidechainFlag = false;
    if (! tableExists (db, "source_session", "plug_sidechain", sidechainTable, error)
        || ! columnExists (db, "source_session", "plug", "side_chain", sidechainFlag, error))
        return false;
    juce::StringArray sidechained, stateless;
    for (const auto& choice : choices)
        for (const auto& plugin : choice.plugins)
        {
            juce::int64 assigned = 0, flagged = 0;
            if ((sidechainTable
                 && ! countQuery (db, "SELECT count(*) FROM source_session.plug_sidechain WHERE plug_id=?", { plugin.plugId }, assigned, error))
                || (sidechainFlag
                    && ! countQuery (db, "SELECT count(*) FROM source_session.plug WHERE id=? AND side_chain<>0", { plugin.plugId }, flagged, error)))
                return false;
            if (assigned + flagged > 0)
                sidechained.add (pluginLabel (choice, plugin));
            const auto states = choice.content.plugins[plugin.sourcePlugin].states.size();
            if (states != 1)
                stateless.add (pluginLabel (choice, plugin) + " has " + juce::String ((juce::int64) states) + " active states");
        }
    if (! sidechained.isEmpty())
    {
        error = "Selected Waves plug-ins use sidechain routing that has not been host-validated for this direction: " + sidechained.joinIntoString (", ");
        return false;
    }
    if (! stateless.isEmpty())
    {
        error = "A selected Waves plug-in has no unique active state: " + stateless.joinIntoString (", ");
        return false;
    }
    return true;
}

// No active state of a selected plug-in may name a preset the source does not hold.
bool checkActivePresets (sqlite3* db, const std::vector<ChannelChoice>& choices, juce::String& error)
{
    for (const auto& choice : choices)
        for (const auto& plugin : choice.plugins)
        {
            Statement statement;
            bool hasRow = false;
            if (! prepare (db,
                           "SELECT sp.id,sp.preset_id FROM source_session.snapshot_plugin sp WHERE sp.plug_id=? AND vorn_value(sp.snapshot_id)=-1 AND "
                           "vorn_value(sp.setup_type_id)=-1 "
                           "AND sp.preset_id IS NOT NULL AND NOT EXISTS(SELECT 1 FROM source_session.plugin_preset pp WHERE pp.id=sp.preset_id) LIMIT 1",
                           statement, error))
                return false;
            sqlite3_bind_int64 (statement.handle, 1, plugin.plugId);
            if (! stepRow (db, statement.handle, hasRow, error))
                return false;
            if (hasRow)
            {
                error = "Waves source plug-in " + pluginLabel (choice, plugin) + " has an active state (snapshot_plugin "
                        + SqlValue::column (statement.handle, 0).describe() + ") naming preset " + SqlValue::column (statement.handle, 1).describe()
                        + ", which the source does not hold";
                return false;
            }
        }
    return true;
}

// No row the transfer carries may hold a value other than NULL or the default in a column only
// the source holds.
bool checkSourceOnlyValues (sqlite3* db, const TransferShape& shape, const std::vector<ChannelChoice>& choices, juce::String& error)
{
    // Every value of a column only the source holds, on the rows the transfer carries.
    // idColumn names a row in the message (routes), or is NULL.
    const auto lost = [&] (const char* table, const TableShape& shape, const char* idColumn, const juce::String& where,
                           std::initializer_list<juce::int64> values, const std::function<juce::String (const SqlValue& id)>& owner) {
        if (shape.sourceOnly.empty())
            return true;
        juce::StringArray columns { idColumn };
        for (const auto& column : shape.sourceOnly)
            columns.add (sqlIdentifier (column.name));
        juce::String refusal;
        bool ok = eachRowBound (db, "SELECT " + columns.joinIntoString (",") + " FROM source_session." + table + " WHERE " + where, values,
                                [&] (sqlite3_stmt* st) {
                                    for (size_t c = 0; c < shape.sourceOnly.size() && refusal.isEmpty(); ++c)
                                    {
                                        const auto& column = shape.sourceOnly[c];
                                        const auto value = SqlValue::column (st, (int) c + 1);
                                        if (value.isNull() || (column.defaultKnown && value == column.byDefault))
                                            continue;
                                        refusal = "Waves source holds " + juce::String (table) + "." + column.name + " " + value.describe() + " for "
                                                  + owner (SqlValue::column (st, 0))
                                                  + ", a column the host-save template does not have; the transfer would lose it";
                                    }
                                },
                                error);
        if (ok && refusal.isNotEmpty())
        {
            error = refusal;
            ok = false;
        }
        return ok;
    };
    for (const auto& choice : choices)
    {
        const auto channel = [&choice] (const SqlValue&) { return choice.label; };
        if (! lost ("snapshot_chainer", shape.activeRow, "NULL", activeRowOf, { choice.sourceId }, channel)
            || (shape.layout.inSource && ! lost ("chainer", shape.layout, "NULL", "obj_id=?", { choice.sourceId }, channel)))
            return false;
        for (const auto& plugin : choice.plugins)
        {
            const auto owner = [&] (const SqlValue&) { return pluginLabel (choice, plugin); };
            if (! lost ("plug", shape.plugin, "NULL", "id=?", { plugin.plugId }, owner)
                || ! lost ("snapshot_plugin", shape.state, "NULL", activeStatesOf, { plugin.plugId }, owner)
                || ! lost ("plugin_preset", shape.preset, "NULL", activePresetsOf, { plugin.plugId }, owner))
                return false;
        }
        if (! lost ("routes", shape.route, "id", juce::String (physicalRouteFilter) + " ORDER BY id",
                    { choice.source.type, choice.source.index, choice.source.type, choice.source.index },
                    [&choice] (const SqlValue& id) { return "physical route " + id.describe() + " of " + choice.label; }))
            return false;
    }
    return true;
}

} // namespace

bool checkSelectedRows (sqlite3* db, const TransferShape& shape, const std::vector<ChannelChoice>& choices, juce::String& error)
{
    return checkSelectedPlugins (db, choices, error) && checkActivePresets (db, choices, error)
        && checkSourceOnlyValues (db, shape, choices, error);
}

} // namespace vornconv::waves::nativeTransfer
