#pragma once

#include "waves/WavesChannels.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

// The steps of the native Waves transfer (convertSession in WavesNativeTransfer.cpp), declared for
// the files that hold them: the selection a transfer carries, the queries its steps share and the
// records one step hands to the next. Only the transfer calls them. Every query runs on the
// connection of the template copy ("main") with the staged source attached ("source_session").
namespace vornconv::waves::nativeTransfer
{

//==============================================================================
// The selection (WavesTransferSelection.cpp)

constexpr int maxChannels = 64;
constexpr int superRackSlots = 8;
constexpr int lv1Slots = 64;

struct ChannelKey
{
    int type = 0;
    int index = 0;

    bool operator< (const ChannelKey& other) const
    {
        return type != other.type ? type < other.type : index < other.index;
    }
};

struct PluginChoice
{
    int sourceSlot = 0;
    int targetSlot = 0;
    std::optional<juce::String> name, vendor; // as the entry gives them; they must be the source's
    juce::String where;                      // "channels[1] (Input 2) plugins[0] (slot 0)", for messages
    // Once the source is open:
    juce::int64 plugId = 0;
    juce::String sourceName;
    size_t sourcePlugin = 0; // its place in the channel's content
};

struct ChannelChoice
{
    ChannelKey source;
    ChannelKey destination;
    int rackIndex = 0;
    std::vector<PluginChoice> plugins;
    std::optional<juce::String> name; // as the entry gives it; it must be the name the channel gets
    juce::String where;               // "channels[1] (Input 2)", for messages
    // Once the source and the template are open:
    juce::int64 sourceId = 0, targetId = 0;
    juce::String outputName; // the source's name, or the generic name of the destination for a channel without one
    bool blank = false;      // no name of its own: it takes the generic name of its destination
    juce::String label;      // the source channel for a message: Input 2 "Snare", or Input 3 without a name of its own
    ChannelContent content;  // the source channel as the transfer carries it
    SqlValue selectedSlot;   // the slot the output selects
    bool selectionMoved = false; // and it is not the source's: what the source selects was not carried
};

// The selected channels of a selection file. More than 64 selected are refused once the template
// says how many it holds; their entries are not read.
struct Selection
{
    std::vector<ChannelChoice> choices;
    int selectedCount = 0;
};

// Reads the selection file for target, made of the input whose fingerprint is given: exactly one
// JSON document of the keys the report writes; every field an entry repeats of the source or of
// itself must agree, and a refusal names the entry (or the two entries) it is about. More than
// maxChannels selected channels are counted, not read.
bool readSelection (const juce::File& selection, const juce::String& target, const juce::String& fingerprint, Selection& result,
                    juce::String& error);

// An entry's field that the transfer does not take from the document disagrees with the rest of
// it or with the source: refused, so that an edit is never silently ignored.
bool disagreement (const juce::String& where, const juce::String& what, juce::String& error);

//==============================================================================
// Queries the steps share (WavesTransferQueries.cpp)

// One integer-valued row of a query bound to values; false with error when it fails or has no row.
bool queryInts (sqlite3* db, const char* sql, std::initializer_list<juce::int64> values, std::vector<juce::int64>& row,
                bool& hasRow, juce::String& error);

constexpr juce::int64 sqlNull = std::numeric_limits<juce::int64>::min();

// Every row of a query bound to values, handed to take.
bool eachRowBound (sqlite3* db, const juce::String& sql, std::initializer_list<juce::int64> values, const std::function<void (sqlite3_stmt*)>& take,
                   juce::String& error);

// The first column of the one row of a query bound to values as a count: 0 for no row or NULL.
bool countQuery (sqlite3* db, const char* sql, std::initializer_list<juce::int64> values, juce::int64& count, juce::String& error);

// Whether the table exists in schema, and whether the column exists in that table of schema.
bool tableExists (sqlite3* db, const char* schema, const char* table, bool& exists, juce::String& error);

bool columnExists (sqlite3* db, const char* schema, const char* table, const char* column, bool& exists, juce::String& error);

// Text of a row for a note: malformed bytes are replaced, since it only goes into a message.
juce::String rowText (sqlite3_stmt* statement, int column);

// The same, quoted when it holds a control character, so that the note keeps one finding per line.
juce::String noteText (sqlite3_stmt* statement, int column);

// The hot plug-in columns of snapshot_hot_plugins in schema that exist, hp_1_plug_id to hp_12_plug_id.
bool hotPluginColumns (sqlite3* db, const char* schema, juce::StringArray& columns, juce::String& error);

//==============================================================================
// What a transfer carries, from the two schemas (WavesTransferSchema.cpp)

// A column that only the source holds, with its default (evaluated in the source's schema).
struct SourceOnlyColumn
{
    juce::String name;
    SqlValue byDefault;
    bool defaultKnown = true; // false when the default could not be evaluated: any value but NULL is lost
};

// One table a selected channel's rows live in, as the two schemas hold it.
struct TableShape
{
    bool inSource = false, inTemplate = false;
    ColumnList templateColumns;
    std::vector<SourceOnlyColumn> sourceOnly;

    bool templateHolds (const char* column) const { return CarriedColumns::indexOf (templateColumns, column) >= 0; }
};

// What the transfer carries of each table, from the two schemas: the columns it copies and proves
// (CarriedColumns), those only the source holds (whose values must be NULL or the default, or the
// transfer would lose them), and the flags it resets where the template holds them.
struct TransferShape
{
    CarriedColumns carried;
    TableShape activeRow, layout, plugin, state, preset, route;
    std::vector<std::pair<juce::String, int>> pluginResets; // recall_safe 0, side_chain 0, hot_plugin -1
};

// Shapes each table a selected channel's rows live in: the active row, the layout, the plug-in,
// its active states and presets, and the routes; a table or column the transfer needs that a
// session lacks is refused, naming the session.
bool shapeTransfer (sqlite3* db, TransferShape& shape, juce::String& error);

//==============================================================================
// The selected channels and their rows (WavesTransferSelectedRows.cpp)

// The rows of the source a selected channel or plug-in brings beside its object, its layout
// (chainer, obj_id=?) and its physical routes: the channel's active row (bound to its object id),
// a plug-in's active states and the presets they use (bound to the plug-in's id).
const char* const activeRowOf = "chainer_id=? AND vorn_value(snapshot_id)=-1";
const char* const activeStatesOf = "plug_id=? AND vorn_value(snapshot_id)=-1 AND vorn_value(setup_type_id)=-1";
const char* const activePresetsOf = "id IN (SELECT preset_id FROM source_session.snapshot_plugin WHERE plug_id=? AND vorn_value(snapshot_id)=-1 AND "
                                    "vorn_value(setup_type_id)=-1)";

// A selected plug-in for a message: "EQ" (Input 1, slot 0), as the source holds it.
juce::String pluginLabel (const ChannelChoice& choice, const PluginChoice& plugin);

// Every selected channel is one the report lists, one object with at most one active row and at
// most one layout row in the source, and lands on one template channel that has its one active
// row (the name, preset name, selected slot and further columns go there) and, when the template
// keeps layouts, its one layout row; every selected plug-in is the one plug-in in its source slot. What
// the entry says of a channel's or plug-in's name must be what the transfer writes.
bool resolveChannels (sqlite3* db, bool toLv1, const TransferShape& shape, std::vector<ChannelChoice>& choices, juce::String& error);

// The rows of the selected channels and plug-ins the write would not carry as they are, each
// refused with what it is about, before anything is written: a selected plug-in with a sidechain
// (its assignment or its flag), without exactly one active state, or whose active state names a
// preset the source does not hold; and a value of a column only the source holds that is neither
// NULL nor the column's default.
bool checkSelectedRows (sqlite3* db, const TransferShape& shape, const std::vector<ChannelChoice>& choices, juce::String& error);

//==============================================================================
// Rows of the source's other tables (WavesTransferReferringRows.cpp)

// A table the transfer knows nothing of (a newer host's) may hold rows that refer, through a
// foreign key its schema declares, to a row the transfer takes for a selected channel or plug-in:
// its object, active row, layout or physical route, a plug-in's row, active state or preset. The
// transfer would lose such a row in silence, so the first one refuses it before anything is
// written, naming the table, the row and the channel or plug-in. Keys are compared by value; a
// row that refers to a row not taken belongs to what was not selected, and the note names that.
// Each such table is read once.
bool checkReferringRows (sqlite3* db, const std::vector<ChannelChoice>& choices, juce::String& error);

//==============================================================================
// The host-save template (WavesTransferTemplate.cpp)

// Every destination must lie inside the template's configured channels of its type.
bool checkDestinationsFitTemplate (sqlite3* db, const std::vector<ChannelChoice>& choices, juce::String& error);

// What the host-save template holds, for a selection of more channels than a transfer carries.
bool templateCapacityText (sqlite3* db, bool toLv1, juce::String& text, juce::String& error);

// Before anything is written, the template must take the transfer: its active snapshot row (the
// channel map goes there, the copied states belong to it), and no rows of a table of its own that
// refer to what the transfer empties (the transfer cannot know what they mean, and emptying the
// tables under them would break them or, through a cascade, delete them in silence).
bool checkTemplateTakesTheTransfer (sqlite3* db, juce::String& error);

// A template that already breaks one of its own foreign keys is refused before anything is
// written, in words that say it is the template's fault: the table, the key's columns and values,
// the row, and the table it names.
bool checkTemplateKeys (sqlite3* db, juce::String& error);

// What the template's own channels lose: their names (generic ones or the transferred channels'
// take their place; a blank name, or a generic one, is no name to lose, nor one the transferred
// channel brings again), and every plug-in, active channel parameter value, route and hot plug-in
// assignment of the template; channels counts the channels that lose any of it.
struct TemplateLosses
{
    int channels = 0;
    int names = 0;
    juce::int64 plugins = 0, parameters = 0, routes = 0, hotPlugins = 0;
};

// What the template's own channels lose, counted before anything is written.
bool collectTemplateLosses (sqlite3* db, const std::vector<ChannelChoice>& choices, TemplateLosses& losses, juce::String& error);

//==============================================================================
// The notes (WavesTransferNotes.cpp)

// "1 route", "3 routes".
juce::String counted (juce::int64 n, const char* one, const char* many);

// "a", "a and b", "a, b and c".
juce::String listed (const juce::StringArray& items);

// What the transfer leaves behind or changes beyond the copy itself, one line of the note each.
struct TransferNotes
{
    juce::int64 channelParameters = 0;    // active channel parameter values of the transferred channels
    juce::StringArray parameterNames;     // their names
    juce::StringArray secondStates;       // selected plug-ins' active states of another setup
    juce::StringArray resetPlugins;       // plug-ins whose recall-safe or hot-plug-in flags were reset
    juce::StringArray hotAssignments;     // the source's active hot plug-in assignments
    juce::StringArray movedSelections;    // channels that select another slot than in the source
    juce::StringArray genericNames;       // channels without a name, and the name they got
    juce::StringArray unselectedChannels; // source channels not selected
    juce::StringArray unselectedPlugins;  // source plug-ins not selected
    TemplateLosses templateLosses;
    juce::StringArray sourceSnapshots;    // source snapshots not carried
    juce::StringArray keptSnapshots;      // template snapshots kept with the template's values on transferred channels

    // The note: one finding a line.
    juce::String text (bool toLv1) const;
};

// What the source holds beyond the copy and what the template keeps, taken once the template is
// emptied and the channel and plug-in maps are recorded, before the copy.
bool collectNotes (sqlite3* db, const std::vector<ChannelChoice>& choices, bool toLv1, TransferNotes& notes, juce::String& error);

//==============================================================================
// The proof (WavesTransferProof.cpp)

// What the written session must hold besides its channels: the template's snapshots as they were
// (id, number, name), the channel map in the active one, and exactly the plug-ins, states and
// routes the transfer copied.
struct TransferProof
{
    std::vector<SqlRow> snapshots;
    juce::String record;
    int plugins = 0, routes = 0;
};

// The snapshots of the session on db (id, number, name), by id.
bool readSnapshots (sqlite3* db, std::vector<SqlRow>& rows, juce::String& error);

// Reads the written session back on a connection of its own, with the readers that read the
// source, and compares it by value, channel by channel, with what the selection asked: names,
// preset names, selected slots, the further columns of the active rows and the layouts, plug-ins
// by slot with their rows and active states, physical routes (every column the transfer carries),
// channel parameters; then that nothing else came in (plug-ins, states, presets, routes, parameters, hot
// plug-in assignments), that every template channel not transferred onto carries its generic
// name, and that the snapshots are the template's with the channel map in the active one. The
// first difference refuses the transfer.
bool proveTransfer (const juce::File& written, const std::vector<ChannelChoice>& choices, const TransferShape& shape, const TransferProof& proof,
                    juce::String& error);

} // namespace vornconv::waves::nativeTransfer
