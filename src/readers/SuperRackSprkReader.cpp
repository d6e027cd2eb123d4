// The reader of Waves SuperRack sessions (.sprk), Performer and SoundGrid alike. The user's file
// and its journal sidecars are copied once into a private folder and only the copy is opened, on a
// hardened connection; the product is told from that copy. The read then runs as a fixed sequence
// of steps over one shared state, each step one or a few queries; the first hard error ends it. A
// session is complete only when every plug-in state splits into its streams and every sidechain
// resolves to a strip or a physical input; otherwise it is partial.
//
// Every column the reader matches rows on must hold integers in every row, text that becomes part
// of the session must be UTF-8, and counts are bounded, so a crafted database can neither drop
// rows silently nor make the reader hold without limit.
//
// In this file, in order:
//   - the read, SQLite rows and strips: bounds, the shared read state, running a statement, strict
//     column values, the integer-column check, strip and slot lookup.
//   - session settings, strips and snapshots: sample rate and buffer size, the input track count,
//     the input chainers, the snapshots with the active one and its info text, the active strip
//     names, Performer's input banks.
//   - physical routes: input and output patches and their summary routes.
//   - plug-in slots, sidechains and active states: the plug rows, the owners of physical inputs,
//     sidechain assignments, and the active presets split into their streams.
//   - converter metadata: the converter's own records in the active snapshot's info text
//     (parameter mirrors, unavailable AudioUnits, sidechain references).
//   - mixer parameters and reserved strips: the chainer parameters of the active snapshot, the
//     spare chainers past the track count, and the plug-in notes.
//   - staging: the private copy of the session.
//   - the reader: the state digest shared with the writer, and readSuperRackSprk, which stages,
//     opens, inspects and runs the steps in order.

#include "readers/SuperRackSprkReader.h"

#include "model/AtomicFileCommit.h"
#include "model/AudioUnitState.h"
#include "model/ParameterSnapshot.h"
#include "model/PrivateFiles.h"
#include "model/StrictDecimal.h"
#include "model/Utf8Text.h"
#include "model/Vst3ClassId.h"
#include "model/Vst3State.h"
#include "rapp/RappConversionPlan.h"
#include "waves/WavesSessionTransfer.h"

#include <juce_cryptography/juce_cryptography.h>

#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vornconv
{

namespace
{

// ---- the read, SQLite rows and strips ------------------------------------------------------

using Int64 = juce::int64;
using SlotKey = std::pair<int, int>; // strip position, slot

// Bounds on what one session may make the reader hold, far above anything a host stores.
constexpr int maxSnapshots = 100000;
constexpr int maxSourceParameters = 1000000;
constexpr int maxRoutePatches = 65536;
constexpr size_t maxMetadataBytes = superRackMetadata::maxBytes;
constexpr size_t maxDecodedNameBytes = 16384;

struct ReadState
{
    RackReadResult& result;
    sqlite3* db = nullptr;
    bool performer = false;
    juce::String error;
    juce::StringArray messages;

    std::map<Int64, int> chainerMap; // chainer object id -> position in strips
    int activeTracks = 0;
    int activeSnapshots = 0;
    Int64 activeId = 0;
    bool activeIdKnown = false;
    juce::String activeInfo;
    std::map<int, int> bankByStripIndex;
    std::set<Int64> bankChainers;
    int extraPatches = 0;
    int totalPatches = 0;
    int outputGains = 0, inputGains = 0, undockRows = 0, colourRows = 0;
    std::set<Int64> inputGainChainers, outputGainChainers;
    int sourceParameterCount = 0;

    // plug-in slots
    std::map<Int64, SlotKey> plugLocation;
    std::set<std::pair<Int64, Int64>> takenSlots;
    std::set<Int64> acceptedPlugs, sidechainPlugs, plugsWithSidechainRow, plugsWithStateRow;
    std::map<Int64, int> physicalOwner; // physical input channel -> strip index, -1 when shared
    std::set<SlotKey> ambiguousSlots;
    std::map<SlotKey, Int64> ambiguousChannel;
    int duganExcluded = 0, unresolvedSidechains = 0, statesSplit = 0, failedStates = 0;
    juce::String firstFailure;
    juce::String basePoint;
    bool rangeErrorPlugKnown = false;
    Int64 rangeErrorPlug = 0;
    int restoredMirrors = 0;

    explicit ReadState (RackReadResult& r) : result (r) {}
    RackSession& session() { return result.session; }
    juce::Array<RackStrip>& strips() { return result.session.strips; }
};

void fail (ReadState& s, const juce::String& message)
{
    if (s.error.isEmpty())
        s.error = message;
}

juce::String sqliteMessages (const ReadState& s)
{
    return s.messages.joinIntoString ("; ");
}

// Prepares the whole text and hands every row to onRow; a failure leaves SQLite's message in the
// list. Handlers never stop the loop: they record problems in the read's error.
bool runStatement (ReadState& s, const juce::String& sql, const std::function<void (sqlite3_stmt*)>& onRow)
{
    waves::resetWorkBudget();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2 (s.db, sql.toRawUTF8(), -1, &statement, nullptr) != SQLITE_OK || statement == nullptr)
    {
        s.messages.add (utf8::toTextReplacingMalformed (sqlite3_errmsg (s.db)));
        if (statement != nullptr)
            sqlite3_finalize (statement);
        return false;
    }
    int rc = SQLITE_DONE;
    while ((rc = sqlite3_step (statement)) == SQLITE_ROW)
        onRow (statement);
    if (rc != SQLITE_DONE)
        s.messages.add (utf8::toTextReplacingMalformed (sqlite3_errmsg (s.db)));
    sqlite3_finalize (statement);
    return rc == SQLITE_DONE;
}

// A text column that becomes part of the session (a name, a vendor, a stored value): NULL is
// empty; bytes that are not UTF-8, or hold a NUL (cutting the text there would lose the rest of
// it in silence), end the read with an error that says which and names the column.
bool textAt (ReadState& s, sqlite3_stmt* statement, int column, const char* tableColumn, juce::String& out)
{
    out = {};
    const auto* text = sqlite3_column_text (statement, column);
    utf8::TextFault fault;
    if (text == nullptr || utf8::toText (text, (size_t) sqlite3_column_bytes (statement, column), out, fault))
        return true;
    fail (s, juce::String (utf8::faultName (fault)) + " in SuperRack " + tableColumn);
    return false;
}

// A text column quoted in a message only: malformed bytes become U+FFFD.
juce::String messageText (sqlite3_stmt* statement, int column)
{
    const auto* text = sqlite3_column_text (statement, column);
    return text != nullptr ? utf8::toTextReplacingMalformed (text, (size_t) sqlite3_column_bytes (statement, column)) : juce::String();
}

// Only a value stored as INTEGER is an integer: a text or real is never truncated into one.
bool integerAt (sqlite3_stmt* statement, int column, Int64& out)
{
    if (sqlite3_column_type (statement, column) != SQLITE_INTEGER)
        return false;
    out = sqlite3_column_int64 (statement, column);
    return true;
}

bool numberAt (sqlite3_stmt* statement, int column, double& out)
{
    const auto type = sqlite3_column_type (statement, column);
    if (type != SQLITE_INTEGER && type != SQLITE_FLOAT)
        return false;
    out = sqlite3_column_double (statement, column);
    return true;
}

// A stored on/off flag: a number (non-zero is on) or NULL (off). A text or blob is no flag, and
// reading it as off would report a guess as a fact.
bool flagAt (sqlite3_stmt* statement, int column, bool& on)
{
    const auto type = sqlite3_column_type (statement, column);
    if (type == SQLITE_NULL)
    {
        on = false;
        return true;
    }
    if (type != SQLITE_INTEGER && type != SQLITE_FLOAT)
        return false;
    on = sqlite3_column_double (statement, column) != 0.0;
    return true;
}

// The integer of a column for texts shown to the user: the stored text when it is no integer.
juce::String integerText (sqlite3_stmt* statement, int column)
{
    Int64 value = 0;
    return integerAt (statement, column, value) ? juce::String (value) : messageText (statement, column);
}

// The columns the reader matches rows on or reads whole numbers from must hold integers (or
// NULL) in every row: a key stored as the text '1000' never equals chainer 1000, so its rows
// would drop out of the read without a word. A table or column that is missing is left to the
// statement that reads it, which reports it.
void requireIntegerColumns (ReadState& s, const char* table, std::initializer_list<const char*> columns)
{
    if (s.error.isNotEmpty())
        return;
    juce::String select, where;
    for (const auto* column : columns)
    {
        const auto type = "typeof(" + juce::String (column) + ")";
        select << (select.isEmpty() ? "" : ",") << type;
        where << (where.isEmpty() ? "" : " OR ") << type << " NOT IN ('integer','null')";
    }
    const auto sql = "SELECT " + select + " FROM " + table + " WHERE " + where + " LIMIT 1";
    waves::resetWorkBudget();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2 (s.db, sql.toRawUTF8(), -1, &statement, nullptr) == SQLITE_OK && statement != nullptr
        && sqlite3_step (statement) == SQLITE_ROW)
    {
        int index = 0;
        for (const auto* column : columns)
        {
            const auto* type = reinterpret_cast<const char*> (sqlite3_column_text (statement, index++));
            const std::string name (type != nullptr ? type : "");
            if (name != "integer" && name != "null")
            {
                fail (s, "non-integer SuperRack " + juce::String (table) + "." + column);
                break;
            }
        }
    }
    sqlite3_finalize (statement);
}

// The strip with this index, or null: readStrips refuses a repeated index, so there is never
// more than one.
RackStrip* stripWithIndex (ReadState& s, Int64 index)
{
    for (auto& strip : s.strips())
        if (strip.index == index)
            return &strip;
    return nullptr;
}

PluginRef& slotAt (ReadState& s, const SlotKey& key)
{
    return s.strips().getReference (key.first).plugins.getReference (key.second);
}

// ---- session settings, strips and snapshots ------------------------------------------------

void readSettings (ReadState& s)
{
    auto& session = s.session();
    Int64 tableCount = 0;
    if (! runStatement (s, "SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='mixer_settings'",
                        [&] (sqlite3_stmt* st) { tableCount = sqlite3_column_int64 (st, 0); }))
    {
        fail (s, "could not inspect SuperRack mixer settings schema: " + sqliteMessages (s));
        return;
    }
    if (tableCount == 1)
    {
        requireIntegerColumns (s, "mixer_settings", { "sample_rate_preference", "user_sample_rate", "native_buffer_size" });
        if (s.error.isNotEmpty())
            return;
        int rows = 0;
        const bool ok = runStatement (s, "SELECT sample_rate_preference,user_sample_rate,native_buffer_size FROM mixer_settings",
                                      [&] (sqlite3_stmt* st)
                                      {
                                          ++rows;
                                          double preference = 0.0, rate = 0.0, buffer = 0.0;
                                          const bool hasPreference = numberAt (st, 0, preference);
                                          const bool hasRate = numberAt (st, 1, rate);
                                          session.sampleRate = (hasPreference && preference == -1.0 && hasRate && std::isfinite (rate) && rate > 0.0)
                                                                   ? rate : 0.0;
                                          const bool wholeBuffer = numberAt (st, 2, buffer) && buffer > 0.0 && buffer <= 2147483647.0
                                                                   && buffer == std::floor (buffer);
                                          session.bufferSize = wholeBuffer ? (juce::int32) buffer : 0;
                                      });
        if (! ok)
        {
            fail (s, "could not query SuperRack sample-rate/buffer settings: " + sqliteMessages (s));
            return;
        }
        if (rows != 1)
        {
            fail (s, "invalid SuperRack mixer settings row count");
            return;
        }
    }
    requireIntegerColumns (s, "config_info", { "track_type", "num_tracks" });
    if (s.error.isNotEmpty())
        return;
    int rows = 0;
    bool valid = true;
    Int64 tracks = 0;
    if (! runStatement (s, "SELECT num_tracks FROM config_info WHERE track_type = 0",
                        [&] (sqlite3_stmt* st)
                        {
                            ++rows;
                            valid = integerAt (st, 0, tracks);
                        }))
    {
        fail (s, "could not query SuperRack input track configuration: " + sqliteMessages (s));
        return;
    }
    if (rows != 1 || ! valid || tracks < 0 || tracks > 64)
    {
        fail (s, "invalid SuperRack input track configuration");
        return;
    }
    s.activeTracks = (int) tracks;
}

// The active snapshot's info text. Only the converter's own metadata is read from it, and that
// must be UTF-8; any other text is not read, whatever its bytes.
void readActiveInfo (ReadState& s, sqlite3_stmt* statement, int column)
{
    s.activeInfo = {};
    const auto* text = reinterpret_cast<const char*> (sqlite3_column_text (statement, column));
    const auto size = (size_t) sqlite3_column_bytes (statement, column);
    utf8::TextFault fault;
    if (text == nullptr || utf8::toText (text, size, s.activeInfo, fault))
        return;
    const auto prefix = juce::String (superRackMetadata::headerV1).dropLastCharacters (1);
    if (size >= (size_t) prefix.length() && std::memcmp (text, prefix.toRawUTF8(), (size_t) prefix.length()) == 0)
        fail (s, juce::String (utf8::faultName (fault)) + " in SuperRack snapshot.info");
}

// The input chainers as strips, in index order; a session without any is no SuperRack session.
void readInputChainers (ReadState& s)
{
    requireIntegerColumns (s, "chainer", { "obj_id", "num_inputs", "num_outputs" });
    requireIntegerColumns (s, "object", { "id", "obj_type", "obj_index" });
    requireIntegerColumns (s, "snapshot", { "id", "number" });
    requireIntegerColumns (s, "snapshot_chainer", { "snapshot_id", "chainer_id" });
    if (s.error.isNotEmpty())
        return;
    std::set<Int64> seenIndices;
    const bool ok = runStatement (s, "SELECT c.obj_id, o.obj_index, o.name, c.num_inputs, c.num_outputs FROM chainer c JOIN object o "
                                     "ON o.id = c.obj_id WHERE o.obj_type = 0 ORDER BY o.obj_index",
                                  [&] (sqlite3_stmt* st)
                                  {
                                      Int64 objId = 0, index = 0, inputs = 0, outputs = 0;
                                      if (! integerAt (st, 0, objId) || ! integerAt (st, 1, index) || index < 0
                                          || index >= s.session().capacityStrips || seenIndices.count (index) > 0
                                          || s.chainerMap.count (objId) > 0)
                                      {
                                          fail (s, "invalid/duplicate SuperRack input chainer index");
                                          return;
                                      }
                                      if (! integerAt (st, 3, inputs) || ! integerAt (st, 4, outputs) || inputs > 0x7fffffff
                                          || outputs > 0x7fffffff)
                                      {
                                          fail (s, "invalid SuperRack input chainer channel count");
                                          return;
                                      }
                                      RackStrip strip;
                                      strip.index = (juce::int32) index;
                                      if (! textAt (s, st, 2, "object.name", strip.name))
                                          return;
                                      strip.inputChannels = inputs < 2 ? 1 : (juce::int32) inputs;
                                      strip.outputChannels = outputs < 2 ? 1 : (juce::int32) outputs;
                                      auto& c = strip.coverage;
                                      c.name = c.inputGain = c.outputGain = c.pan = c.mute = c.solo = c.bypass = c.channelLayout = true;
                                      seenIndices.insert (index);
                                      s.chainerMap[objId] = s.strips().size();
                                      s.strips().add (std::move (strip));
                                  });
    if (! ok)
        fail (s, "could not query input chainers: " + sqliteMessages (s));
    if (s.error.isNotEmpty())
        return;
    if (s.strips().isEmpty())
    {
        juce::String message = juce::String (juce::CharPointer_UTF8 ("no input chainers found — not a SuperRack session?"));
        if (! s.messages.isEmpty())
            message << "  (sqlite: " << sqliteMessages (s) << ")";
        fail (s, message);
        return;
    }
}

// The snapshot rows, among them the one Active snapshot (number -1, id -1) with its converter
// information.
void readSnapshotRows (ReadState& s)
{
    Int64 activeId = 0;
    if (! runStatement (s, "SELECT id, number, name, note, info FROM snapshot ORDER BY number",
                        [&] (sqlite3_stmt* st)
                        {
                            if (s.error.isNotEmpty())
                                return;
                            Int64 number = 0;
                            if (! integerAt (st, 1, number) || number < INT32_MIN || number > INT32_MAX)
                            {
                                fail (s, "invalid SuperRack snapshot number");
                                return;
                            }
                            if (s.session().snapshots.size() >= maxSnapshots)
                            {
                                fail (s, "SuperRack snapshot table exceeds the supported size");
                                return;
                            }
                            RackSnapshot snapshot;
                            snapshot.number = (juce::int32) number;
                            if (! textAt (s, st, 2, "snapshot.name", snapshot.name) || ! textAt (s, st, 3, "snapshot.note", snapshot.note))
                                return;
                            s.session().snapshots.add (std::move (snapshot));
                            if (number == -1)
                            {
                                ++s.activeSnapshots;
                                s.activeIdKnown = integerAt (st, 0, activeId);
                                s.activeId = activeId;
                                readActiveInfo (s, st, 4);
                            }
                        }))
        fail (s, "could not query snapshots: " + sqliteMessages (s));
    if (s.error.isNotEmpty())
        return;
    if (s.activeSnapshots != 1 || ! s.activeIdKnown || s.activeId != -1)
    {
        fail (s, "invalid SuperRack Active snapshot identity");
        return;
    }
}

// The active snapshot's strip names; an active strip without one is named by its number.
void readActiveStripNames (ReadState& s)
{
    if (! runStatement (s, "SELECT chainer_id, name FROM snapshot_chainer WHERE snapshot_id = " + juce::String (s.activeId),
                        [&] (sqlite3_stmt* st)
                        {
                            Int64 chainer = 0;
                            if (! integerAt (st, 0, chainer) || s.chainerMap.count (chainer) == 0)
                                return;
                            auto& strip = s.strips().getReference (s.chainerMap[chainer]);
                            juce::String name;
                            if (! textAt (s, st, 1, "snapshot_chainer.name", name))
                                return;
                            strip.name = strip.index < s.activeTracks ? name : juce::String();
                        }))
    {
        fail (s, "could not query active strip names: " + sqliteMessages (s));
        return;
    }
    for (auto& strip : s.strips())
        if (strip.index < s.activeTracks && strip.name.isEmpty())
            strip.name = "Ch " + juce::String (strip.index + 1);
}

void readStrips (ReadState& s)
{
    readInputChainers (s);
    if (s.error.isNotEmpty())
        return;
    readSnapshotRows (s);
    if (s.error.isNotEmpty())
        return;
    readActiveStripNames (s);
}

void readInputBanks (ReadState& s)
{
    // Both products read the mixer parameters later; their keys are checked once, here.
    requireIntegerColumns (s, "snapshot_chainer_params", { "snapshot_id", "chainer_id", "param_id" });
    requireIntegerColumns (s, "chainer_params", { "id" });
    if (! s.performer || s.error.isNotEmpty())
        return;
    const auto sql = "SELECT scp.chainer_id,scp.param_value FROM snapshot_chainer_params scp JOIN chainer_params cp ON cp.id=scp.param_id "
                     "WHERE scp.snapshot_id=" + juce::String (s.activeId) + " AND cp.name='PARAM_INPUT_CHOOSE_BANK'";
    const bool ok = runStatement (s, sql,
                                  [&] (sqlite3_stmt* st)
                                  {
                                      Int64 chainer = 0;
                                      if (! integerAt (st, 0, chainer) || s.chainerMap.count (chainer) == 0)
                                          return;
                                      double value = 0.0;
                                      const bool numeric = numberAt (st, 1, value);
                                      if (s.bankChainers.count (chainer) > 0 || ! numeric)
                                      {
                                          s.bankChainers.insert (chainer);
                                          s.error = "invalid/duplicate SuperRack Active input bank";
                                          return;
                                      }
                                      s.bankChainers.insert (chainer);
                                      if (! (value == 0.0 || value == 1.0))
                                      {
                                          s.error = "invalid SuperRack Active input bank value";
                                          return;
                                      }
                                      s.bankByStripIndex[s.strips()[s.chainerMap[chainer]].index] = (int) value;
                                  });
    if (! ok)
        fail (s, "could not query SuperRack Active input bank: " + sqliteMessages (s));
}

// ---- physical routes -----------------------------------------------------------------------

void addPatch (ReadState& s, Int64 stripIndex, Int64 rackChannel, Int64 physicalChannel, bool isInput)
{
    if (s.error.isNotEmpty())
        return;
    auto* strip = stripWithIndex (s, stripIndex);
    if (strip == nullptr)
        return fail (s, "SuperRack route references an unknown rack strip");
    if (rackChannel != 0 && rackChannel != 1)
        return fail (s, "SuperRack route has unsupported rack channel index");
    if (physicalChannel < 0 || physicalChannel > INT32_MAX)
        return fail (s, "SuperRack route has unsupported physical channel index");
    for (const auto& patch : strip->routePatches)
        if (patch.isInput == isInput && patch.rackChannel == rackChannel && patch.physicalChannel == physicalChannel)
            return fail (s, "SuperRack routes contains a duplicate physical patch");
    if (++s.totalPatches > maxRoutePatches)
        return fail (s, "SuperRack routes exceed the supported number of physical patches");
    RackPhysicalPatch patch;
    patch.isInput = isInput;
    patch.rackChannel = (juce::int32) rackChannel;
    patch.physicalChannel = (juce::int32) physicalChannel;
    strip->routePatches.add (patch);
    auto& summary = isInput ? (rackChannel == 0 ? strip->routeInL : strip->routeInR)
                            : (rackChannel == 0 ? strip->routeOutL : strip->routeOutR);
    if (summary < 0)
        summary = patch.physicalChannel;
    else if (summary != patch.physicalChannel)
        ++s.extraPatches;
}

void readRoutes (ReadState& s)
{
    requireIntegerColumns (s, "routes", { "src_cluster_type", "src_cluster_type_index", "src_section_type", "src_section_index",
                                          "src_channel_index", "dst_cluster_type", "dst_cluster_type_index", "dst_section_type",
                                          "dst_section_index", "dst_channel_index", "status" });
    if (s.error.isNotEmpty())
        return;
    for (auto& strip : s.strips())
        strip.coverage.route = true;

    const bool inputsOk = runStatement (s, "SELECT dst_cluster_type_index,dst_channel_index,src_channel_index,dst_section_index,status FROM routes "
                                           "WHERE src_cluster_type=10 AND src_cluster_type_index=0 AND dst_cluster_type=0 AND dst_section_type=0 AND status<>0",
                                        [&] (sqlite3_stmt* st)
                                        {
                                            Int64 strip = 0, rack = 0, physical = 0, section = 0, status = 0;
                                            if (! integerAt (st, 0, strip) || ! integerAt (st, 1, rack) || ! integerAt (st, 2, physical)
                                                || ! integerAt (st, 3, section) || ! integerAt (st, 4, status))
                                                return fail (s, "SuperRack route has a non-integer field");
                                            const auto bank = s.bankByStripIndex.find ((int) juce::jlimit<Int64> (-1, 64, strip));
                                            const Int64 stripBank = (s.performer && bank != s.bankByStripIndex.end()) ? bank->second : 0;
                                            if (section != stripBank)
                                                return;
                                            if (s.performer && status != 4)
                                            {
                                                for (auto& r : s.strips())
                                                    if (r.index == strip)
                                                        r.coverage.route = false;
                                                return;
                                            }
                                            addPatch (s, strip, rack, physical, true);
                                        });
    const bool outputsOk = inputsOk
                           && runStatement (s, "SELECT src_cluster_type_index,src_channel_index,dst_channel_index FROM routes WHERE src_cluster_type=0 "
                                               "AND src_section_type=-1 AND src_section_index=0 AND dst_cluster_type=11 AND dst_cluster_type_index=0 AND status<>0",
                                            [&] (sqlite3_stmt* st)
                                            {
                                                Int64 strip = 0, rack = 0, physical = 0;
                                                if (! integerAt (st, 0, strip) || ! integerAt (st, 1, rack) || ! integerAt (st, 2, physical))
                                                    return fail (s, "SuperRack route has a non-integer field");
                                                addPatch (s, strip, rack, physical, false);
                                            });
    if (! inputsOk || ! outputsOk)
        fail (s, "could not query SuperRack physical routes: " + sqliteMessages (s));
    if (s.error.isNotEmpty())
        return;

    // The routes in the form every reader gives them: a mono side has no right route.
    for (auto& strip : s.strips())
        normaliseRoutes (strip);
    auto& notes = s.session().notes;
    notes.add (Fidelity::lossless, "routing.physical",
               juce::String (juce::CharPointer_UTF8 ("SuperRack routes의 physical input/output channel을 해독했다")));
    if (s.extraPatches > 0)
        notes.add (Fidelity::lossless, "routing.multicast",
                   juce::String (s.extraPatches)
                       + juce::String (juce::CharPointer_UTF8 ("개 추가 physical patch를 다중 route IR에 보존했다")));
}

// ---- plug-in slots, sidechains and active states -------------------------------------------

// Each of the two columns contributes its bytes only when it decodes as a whole.
juce::String classIdFromPlugRow (sqlite3_stmt* statement)
{
    juce::MemoryOutputStream bytes;
    for (int column : { 5, 6 })
    {
        // Bytes that are not UTF-8 are no Base64 either: they contribute nothing.
        juce::String text;
        const auto* stored = sqlite3_column_text (statement, column);
        if (stored == nullptr || ! utf8::toText (stored, (size_t) sqlite3_column_bytes (statement, column), text))
            continue;
        juce::MemoryBlock decoded;
        if (vst3::decodeStandardBase64 (text, decoded, std::numeric_limits<size_t>::max()))
            bytes.write (decoded.getData(), decoded.getSize());
    }
    if (bytes.getDataSize() != 16)
        return {};
    return storedClassId (juce::String::toHexString (bytes.getData(), 16, 0));
}

void appendPlugDiagnostics (ReadState& s)
{
    const auto id = juce::String (s.rangeErrorPlug);
    // Run without touching the read's message list: these lines are for the user only.
    auto query = [&] (const juce::String& sql, const std::function<void (sqlite3_stmt*)>& onRow)
    {
        juce::StringArray saved = s.messages;
        const bool ok = runStatement (s, sql, onRow);
        s.messages = saved;
        return ok;
    };
    bool hasRoleColumn = false;
    const bool pragmaOk = query ("PRAGMA table_info(plug)",
                                 [&] (sqlite3_stmt* st) { hasRoleColumn = hasRoleColumn || messageText (st, 1).equalsIgnoreCase ("plug_role"); });
    if (pragmaOk && hasRoleColumn)
    {
        juce::String roles;
        const bool ok = query ("SELECT plug_role FROM plug WHERE id=" + id,
                               [&] (sqlite3_stmt* st)
                               {
                                   roles << "\nPlugin role: "
                                         << (sqlite3_column_type (st, 0) == SQLITE_NULL ? juce::String ("NULL") : messageText (st, 0));
                               });
        s.error << roles;
        if (! ok)
            s.error << "\nPlugin role: unavailable";
    }
    else
    {
        s.error << "\nPlugin role: unavailable";
    }
    juce::String counts;
    const bool ok = query ("SELECT COUNT(*) FROM snapshot_plugin WHERE plug_id=" + id + " AND snapshot_id=" + juce::String (s.activeId),
                           [&] (sqlite3_stmt* st) { counts << "\nActive snapshot rows: " << integerText (st, 0); });
    s.error << counts;
    if (! ok)
        s.error << "\nActive snapshot rows: unavailable";
}

void readPlugRows (ReadState& s)
{
    requireIntegerColumns (s, "plug", { "id", "chainer_id", "slot", "disabled", "side_chain" });
    if (s.error.isNotEmpty())
        return;
    const int capacitySlots = s.session().capacitySlots;
    const bool ok = runStatement (s, "SELECT id, chainer_id, slot, plugin_name, vendor_name, plugin_4cc, additional_info, disabled, side_chain "
                                     "FROM plug ORDER BY chainer_id, slot",
                                  [&] (sqlite3_stmt* st)
                                  {
                                      if (s.error.isNotEmpty())
                                          return;
                                      Int64 chainer = 0;
                                      if (! integerAt (st, 1, chainer) || s.chainerMap.count (chainer) == 0)
                                          return;
                                      const int position = s.chainerMap[chainer];
                                      juce::String name, vendor;
                                      if (! textAt (s, st, 3, "plug.plugin_name", name) || ! textAt (s, st, 4, "plug.vendor_name", vendor))
                                          return;
                                      Int64 slot = -1, id = 0;
                                      const bool slotIsInteger = integerAt (st, 2, slot);
                                      double disabledValue = 0.0;
                                      const bool disabledIsOne = numberAt (st, 7, disabledValue) && disabledValue == 1.0;
                                      if (slotIsInteger && slot == 8 && name == "Dugan Speech" && vendor == "Waves" && disabledIsOne)
                                      {
                                          ++s.duganExcluded;
                                          return;
                                      }
                                      const auto& strip = s.strips().getReference (position);
                                      const auto context = " (rack=" + juce::String (strip.index + 1) + ", slot=" + integerText (st, 2)
                                                           + ", pluginId=" + integerText (st, 0) + ")";
                                      const bool idIsInteger = integerAt (st, 0, id);
                                      if (! slotIsInteger || slot < 0 || slot >= capacitySlots)
                                      {
                                          s.rangeErrorPlugKnown = idIsInteger;
                                          s.rangeErrorPlug = id;
                                          fail (s, "SuperRack plugin slot is outside supported range 0-" + juce::String (capacitySlots - 1) + context
                                                       + "\nPlugin: " + name + "\nVendor: " + vendor
                                                       + "\nDisabled: " + juce::String (sqlite3_column_int64 (st, 7)));
                                          return;
                                      }
                                      if (! idIsInteger)
                                          return fail (s, "invalid SuperRack plugin ID" + context);
                                      bool disabled = false, sidechained = false;
                                      if (! flagAt (st, 7, disabled) || ! flagAt (st, 8, sidechained))
                                          return fail (s, "invalid SuperRack plugin flag" + context);
                                      if (s.takenSlots.count ({ chainer, slot }) > 0)
                                          return fail (s, "duplicate SuperRack plugin slot" + context);
                                      if (s.acceptedPlugs.count (id) > 0)
                                          return fail (s, "duplicate SuperRack plugin ID" + context);

                                      auto& plugins = s.strips().getReference (position).plugins;
                                      while (plugins.size() < slot + 1)
                                          plugins.add (PluginRef());
                                      auto& ref = plugins.getReference ((int) slot);
                                      ref.occupied = true;
                                      ref.name = name;
                                      ref.vendor = vendor;
                                      ref.classId = classIdFromPlugRow (st);
                                      ref.format = ref.classId.isNotEmpty() ? "VST3" : "";
                                      ref.bypassed = disabled;
                                      ref.sidechainSource = -1;
                                      ref.sidechainKind = sidechainStrip;
                                      ref.sidechainEnabled = true;
                                      ref.coverage.identity = ref.classId.isNotEmpty();
                                      ref.coverage.activation = true;
                                      ref.coverage.sidechain = ! sidechained;
                                      if (sidechained)
                                          ref.pendingSidechainReason = "missing sidechain assignment row";
                                      ref.pendingStateReason = "missing active plugin preset row";

                                      s.takenSlots.insert ({ chainer, slot });
                                      s.plugLocation[id] = { position, (int) slot };
                                      s.acceptedPlugs.insert (id);
                                      if (sidechained)
                                          s.sidechainPlugs.insert (id);
                                  });
    if (! ok)
        fail (s, "could not query plug instances: " + sqliteMessages (s));
    if (s.error.isNotEmpty() && s.rangeErrorPlugKnown)
        appendPlugDiagnostics (s);
}

void mapPhysicalInputOwners (ReadState& s)
{
    for (const auto& strip : s.strips())
        for (const auto& patch : strip.routePatches)
        {
            if (! patch.isInput)
                continue;
            const auto found = s.physicalOwner.find (patch.physicalChannel);
            if (found == s.physicalOwner.end())
                s.physicalOwner[patch.physicalChannel] = strip.index;
            else if (found->second != strip.index)
                found->second = -1;
        }
}

void readSidechains (ReadState& s)
{
    // Only the key: the assignment fields have a reading of their own when they are no integers.
    requireIntegerColumns (s, "plug_sidechain", { "plug_id" });
    if (s.error.isNotEmpty())
        return;
    const bool ok = runStatement (s, "SELECT plug_id,AsgnType,ControlType,TrackType,TrackHandle,SectionType,SectionIndex,ChannelIndex,controlID FROM plug_sidechain",
                                  [&] (sqlite3_stmt* st)
                                  {
                                      Int64 plug = 0;
                                      if (! integerAt (st, 0, plug) || s.acceptedPlugs.count (plug) == 0 || s.sidechainPlugs.count (plug) == 0)
                                          return;
                                      if (s.plugsWithSidechainRow.count (plug) > 0)
                                          return fail (s, "duplicate SuperRack plug_sidechain row");
                                      s.plugsWithSidechainRow.insert (plug);
                                      const auto key = s.plugLocation[plug];
                                      auto& ref = slotAt (s, key);

                                      Int64 v[8] = {};
                                      for (int i = 0; i < 8; ++i)
                                          if (! integerAt (st, i + 1, v[i]))
                                          {
                                              ref.pendingSidechainReason = "non-integer sidechain assignment field " + juce::String (i + 1);
                                              ++s.unresolvedSidechains;
                                              return;
                                          }
                                      const Int64 asgn = v[0], control = v[1], trackType = v[2], handle = v[3], sectionType = v[4],
                                                  sectionIndex = v[5], channel = v[6], controlId = v[7];
                                      const bool rackOutputShape = asgn == 1 && control == 2 && trackType == 0 && sectionType == 7
                                                                   && sectionIndex == -1 && channel == -1 && controlId == 0;
                                      const bool physicalShape = asgn == -1 && control == 2 && trackType == 10 && handle == 0
                                                                 && sectionType == -1 && sectionIndex == -1 && controlId == -1;
                                      auto resolve = [&] (Int64 source, juce::int32 kind)
                                      {
                                          ref.sidechainSource = (juce::int32) source;
                                          ref.sidechainKind = kind;
                                          ref.coverage.sidechain = true;
                                          ref.pendingSidechainReason.clear();
                                      };
                                      if (s.performer && rackOutputShape)
                                      {
                                          // Only an active strip can feed a sidechain: spare chainers are dropped
                                          // from the session, and a source among them would dangle.
                                          if (handle >= 0 && handle <= 63 && handle < s.activeTracks && stripWithIndex (s, handle) != nullptr)
                                              return resolve (handle, sidechainRackPost);
                                          ref.pendingSidechainReason = "rack output source is invalid: " + juce::String (handle);
                                          ++s.unresolvedSidechains;
                                          return;
                                      }
                                      const auto owner = s.physicalOwner.find (channel);
                                      if (s.performer && physicalShape && channel >= 0 && channel <= 255 && owner == s.physicalOwner.end())
                                          return resolve (channel, sidechainPhysical);

                                      juce::StringArray candidates;
                                      for (const auto& strip : s.strips())
                                          for (const auto& patch : strip.routePatches)
                                              if (patch.isInput && patch.physicalChannel == channel)
                                                  candidates.add (juce::String (strip.index) + ":" + juce::String (patch.rackChannel));
                                      const auto diagnostic = "physical=" + juce::String (channel) + " shape=" + juce::String (asgn) + ","
                                                              + juce::String (control) + "," + juce::String (trackType) + "," + juce::String (handle)
                                                              + "," + juce::String (sectionType) + "," + juce::String (sectionIndex) + ","
                                                              + juce::String (controlId) + " inputCandidates="
                                                              + (candidates.isEmpty() ? juce::String ("none") : candidates.joinIntoString (","));
                                      if (! physicalShape)
                                          ref.pendingSidechainReason = "unsupported assignment shape; " + diagnostic;
                                      else if (owner == s.physicalOwner.end())
                                          ref.pendingSidechainReason = "physical input not mapped; " + diagnostic;
                                      else if (owner->second == -1)
                                      {
                                          ref.pendingSidechainReason = "ambiguous physical input; " + diagnostic;
                                          s.ambiguousSlots.insert (key);
                                          s.ambiguousChannel[key] = channel;
                                      }
                                      else
                                      {
                                          const auto* source = stripWithIndex (s, owner->second);
                                          if (source != nullptr && source->coverage.route && source->routeInL == channel)
                                              return resolve (owner->second, sidechainStrip);
                                          ref.pendingSidechainReason = "physical input is not the source strip's active left input; " + diagnostic;
                                      }
                                      ++s.unresolvedSidechains;
                                  });
    if (! ok)
        fail (s, "could not query SuperRack plugin sidechains: " + sqliteMessages (s));
    if (s.error.isNotEmpty())
        return;
    for (const auto plug : s.sidechainPlugs)
        if (s.plugsWithSidechainRow.count (plug) == 0)
            ++s.unresolvedSidechains;
}

void noteFirstFailure (ReadState& s, const juce::String& reason)
{
    if (s.firstFailure.isEmpty())
        s.firstFailure = reason;
}

// One active state row whose stored preset is read once the statement is done. While a row is
// current SQLite holds its own copy of the preset text; reading the text in the row would hold it
// a third time beside the stored bytes and the decoded wrapper.
struct StoredPreset
{
    SlotKey key;
    Int64 stripIndex = 0;
    int row = 0; // position among the statement's rows
};

// Reads the stored preset of one slot into its state. The stored bytes are kept exactly as
// stored, whatever the parser makes of them. Returns the hard error of the row, if any.
juce::String readStoredPreset (ReadState& s, const StoredPreset& stored)
{
    auto& ref = slotAt (s, stored.key);
    const auto& raw = ref.state.raw;
    const auto textBytes = juce::String ((Int64) raw.getSize());
    if (raw.getSize() > 0 && (std::memchr (raw.getData(), 0, raw.getSize()) != nullptr || ! utf8::isValid (raw.getData(), raw.getSize())))
    {
        // Kept as stored, but no preset text can be read from it.
        const juce::String reason = "preset text is not valid UTF-8";
        ref.state.encoding = PluginStateEncoding::opaque;
        ref.pendingStateReason = reason + "; formatTag=other/unknown; presetTextBytes=" + textBytes;
        ++s.failedStates;
        noteFirstFailure (s, reason);
        return {};
    }

    auto preset = vst3::parseSuperRackPresetBytes (raw.getData(), raw.getSize());
    if (! preset.ok)
    {
        ref.state.encoding = PluginStateEncoding::opaque;
        const auto tag = (preset.formatTag == "VST" || preset.formatTag == "AU") ? preset.formatTag : juce::String ("other/unknown");
        ref.pendingStateReason = preset.error + "; formatTag=" + tag + "; presetTextBytes=" + textBytes;
        ++s.failedStates;
        noteFirstFailure (s, preset.error);
        return {};
    }
    ref.state.encoding = PluginStateEncoding::vst3Container;
    if (ref.classId.isNotEmpty() && ! sameClassId (ref.classId, preset.classId))
        return "SuperRack plug CID differs from preset CID at strip " + juce::String (stored.stripIndex) + ", slot "
               + juce::String (stored.key.second);
    if (ref.classId.isEmpty())
        ref.classId = preset.classId;
    if (ref.classId.isNotEmpty())
    {
        ref.format = "VST3";
        ref.coverage.identity = true;
    }
    // The wrapper is not needed once split: the component is cut out of it in place.
    auto split = vst3::extractSteinbergChunks (std::move (preset.blob), (size_t) preset.bodyOffset);
    if (split.ok)
    {
        ref.state.component = std::move (split.component);
        ref.state.controller = std::move (split.controller);
        ref.coverage.state = true;
        ref.pendingStateReason.clear();
        s.basePoint = juce::String (split.delta);
        ++s.statesSplit;
    }
    else
    {
        ref.pendingStateReason = split.error + "; formatTag=VST; presetTextBytes=" + textBytes;
        ++s.failedStates;
        noteFirstFailure (s, split.error);
    }
    return {};
}

void readActiveStates (ReadState& s)
{
    requireIntegerColumns (s, "snapshot_plugin", { "plug_id", "preset_id", "snapshot_id", "bypass", "mute" });
    requireIntegerColumns (s, "plugin_preset", { "id" });
    if (s.error.isNotEmpty())
        return;

    // The rows are taken in order; the presets are read after the statement, in the same order.
    // A hard error belongs to the row that met it, so the error of the earliest row wins, as if
    // every row had been read whole in its turn.
    std::vector<StoredPreset> stored;
    int rows = 0;
    int errorRow = std::numeric_limits<int>::max();
    const auto failAtRow = [&] (int row, const juce::String& message)
    {
        if (s.error.isEmpty() || row < errorRow)
        {
            s.error = message;
            errorRow = row;
        }
    };
    const bool ok = runStatement (s, "SELECT sp.plug_id, sp.bypass, sp.mute, pp.preset FROM snapshot_plugin sp JOIN plugin_preset pp "
                                     "ON pp.id = sp.preset_id WHERE sp.snapshot_id = " + juce::String (s.activeId),
                                  [&] (sqlite3_stmt* st)
                                  {
                                      const int row = rows++;
                                      Int64 plug = 0;
                                      if (! integerAt (st, 0, plug) || s.acceptedPlugs.count (plug) == 0)
                                          return;
                                      if (s.plugsWithStateRow.count (plug) > 0)
                                          return failAtRow (row, "duplicate plugin state in active SuperRack snapshot");
                                      s.plugsWithStateRow.insert (plug);
                                      const auto key = s.plugLocation[plug];
                                      const auto stripIndex = s.strips()[key.first].index;
                                      auto& ref = slotAt (s, key);
                                      bool bypass = false, mute = false;
                                      if (! flagAt (st, 1, bypass) || ! flagAt (st, 2, mute))
                                          return failAtRow (row, "invalid SuperRack active plugin flag at strip " + juce::String (stripIndex)
                                                                     + ", slot " + juce::String (key.second));
                                      if (! ref.bypassed)
                                          ref.bypassed = bypass;
                                      ref.muted = mute;
                                      ref.coverage.mute = true;

                                      const auto* bytes = sqlite3_column_text (st, 3);
                                      const int size = sqlite3_column_bytes (st, 3);
                                      ref.state.raw.reset();
                                      if (bytes != nullptr && size > 0)
                                          ref.state.raw.append (bytes, (size_t) size);
                                      stored.push_back ({ key, stripIndex, row });
                                  });
    // The statement is finalized: SQLite's copies of the rows are gone.
    for (const auto& preset : stored)
        if (const auto error = readStoredPreset (s, preset); error.isNotEmpty())
            failAtRow (preset.row, error);
    if (! ok)
        fail (s, "could not query active plugin states: " + sqliteMessages (s));
    if (s.error.isNotEmpty())
        return;
    for (const auto plug : s.acceptedPlugs)
        if (s.plugsWithStateRow.count (plug) == 0)
        {
            ++s.failedStates;
            noteFirstFailure (s, "active snapshot is missing a plugin state row");
        }
}

// ---- converter metadata --------------------------------------------------------------------

bool parseNonNegativeInt (juce::StringRef text, int& out)
{
    juce::int64 value = 0;
    if (! parseStrictDecimal (std::string_view (text.text.getAddress()), DecimalForm::digits, 0, 2147483647, value))
        return false;
    out = (int) value;
    return true;
}

// The AudioUnit numbers of an unavailable-plug-in record are written as unsigned 32-bit values;
// half of all AudioUnit ids have the top bit set, so the whole range has to read back.
bool parseUnsigned32 (juce::StringRef text, juce::uint32& out)
{
    juce::int64 value = 0;
    if (! parseStrictDecimal (std::string_view (text.text.getAddress()), DecimalForm::digits, 0, 0xffffffffll, value))
        return false;
    out = (juce::uint32) value;
    return true;
}

bool decodeUtf8Base64 (juce::StringRef text, juce::String& out)
{
    juce::MemoryBlock bytes;
    if (! vst3::decodeStandardBase64 (text, bytes, maxDecodedNameBytes))
        return false;
    // Well-formed UTF-8 without a NUL byte, so that the text holds every decoded byte.
    return utf8::toText (bytes.getData(), bytes.getSize(), out);
}

// Splits at "\r\n", "\r" or "\n"; a break at the end gives an empty last line. Stops once more
// than maxLines lines are found (the caller then refuses the text).
juce::StringArray splitLines (const juce::String& text, int maxLines)
{
    juce::StringArray lines;
    const char* p = text.toRawUTF8();
    const char* end = p + text.getNumBytesAsUTF8();
    if (p == end)
        return lines;
    const char* start = p;
    while (true)
    {
        // Cut at ASCII line breaks, each piece of the checked text is well-formed in turn.
        if (p == end)
        {
            lines.add (utf8::toTextReplacingMalformed (start, (size_t) (p - start)));
            break;
        }
        if (*p == '\n' || *p == '\r')
        {
            lines.add (utf8::toTextReplacingMalformed (start, (size_t) (p - start)));
            if (lines.size() > maxLines)
                break;
            if (*p == '\r' && p + 1 != end && p[1] == '\n')
                ++p;
            start = ++p;
            continue;
        }
        ++p;
    }
    return lines;
}

// A parameter mirror record: the slot it names must hold the plug-in whose class and states the
// record names, and the mirror must decode.
void applyParameterMirror (ReadState& s, RackStrip& strip, int slot, const juce::StringArray& fields)
{
    if (slot >= strip.plugins.size())
        return fail (s, "SuperRack converter parameter mirror references a missing slot");
    auto& ref = strip.plugins.getReference (slot);
    if (! ref.occupied || ! ref.coverage.state || ! sameClassId (ref.classId, fields[2])
        || superRackMetadata::stateDigest (ref.state.component) != fields[3]
        || superRackMetadata::stateDigest (ref.state.controller) != fields[4])
        return fail (s, "SuperRack converter parameter mirror does not match active plugin state");
    juce::MemoryBlock mirror;
    juce::String error;
    if (! vst3::decodeJuceMemoryBlock (fields[5], mirror, maxMetadataBytes, error))
        return fail (s, "invalid SuperRack converter parameter mirror: " + error);
    parameterState::Snapshot snapshot;
    if (! parameterState::decode (mirror, snapshot, error))
        return fail (s, "invalid SuperRack converter VNPM mirror: " + error);
    ref.state.parameters = std::move (mirror);
    ref.state.parameterMirrorComplete = true;
    ++s.restoredMirrors;
}

// An unavailable AudioUnit record: the AU the host cannot load, kept in a slot the host leaves
// empty, with its identity and its state, which must name the same unit.
void applyUnavailableAu (ReadState& s, const RackSession& session, RackStrip& strip, int slot, const juce::StringArray& fields)
{
    if (slot >= session.capacitySlots)
        return fail (s, "SuperRack unavailable AU metadata overlaps a host plugin slot");
    while (strip.plugins.size() < slot + 1)
        strip.plugins.add (PluginRef());
    if (strip.plugins[slot].occupied)
        return fail (s, "SuperRack unavailable AU metadata overlaps a host plugin slot");
    PluginRef ref;
    juce::MemoryBlock plist;
    if (! decodeUtf8Base64 (fields[2], ref.name) || ref.name.isEmpty() || ! decodeUtf8Base64 (fields[3], ref.vendor)
        || ! parseUnsigned32 (fields[4], ref.uniqueId) || ! parseUnsigned32 (fields[5], ref.deprecatedUid)
        || ! parseUnsigned32 (fields[6], ref.auType) || ! parseUnsigned32 (fields[7], ref.auSubtype)
        || ! parseUnsigned32 (fields[8], ref.auManufacturer) || ! vst3::decodeStandardBase64 (fields[9], plist, maxMetadataBytes))
        return fail (s, "invalid SuperRack unavailable AU metadata payload");
    audioUnit::Identity identity;
    juce::String error;
    if (! audioUnit::parsePropertyList (plist, identity, error) || identity.type != ref.auType
        || identity.subtype != ref.auSubtype || identity.manufacturer != ref.auManufacturer)
        return fail (s, "SuperRack unavailable AU state identity mismatch: " + error);
    ref.occupied = true;
    ref.format = "AU";
    ref.bypassed = ref.inactive = ref.unavailable = true;
    ref.state.encoding = PluginStateEncoding::audioUnitPlist;
    ref.state.raw = std::move (plist);
    ref.coverage.identity = ref.coverage.activation = ref.coverage.mute = ref.coverage.sidechain = ref.coverage.state = true;
    strip.plugins.getReference (slot) = std::move (ref);
}

// A sidechain record: it settles the source of a slot whose host route was ambiguous, which must be
// the strip whose physical input L the route takes; a slot whose sidechain the host proved must
// agree with it.
void applySidechainRecord (ReadState& s, RackStrip& strip, const SlotKey& key, int slot, const juce::StringArray& fields,
                          std::set<SlotKey>& sidechainRecords)
{
    const auto& strips = s.strips();
    int source = 0;
    if (! parseNonNegativeInt (fields[2], source) || slot >= strip.plugins.size() || source >= strips.size()
        || sidechainRecords.count (key) > 0)
        return fail (s, "invalid SuperRack converter sidechain reference");
    sidechainRecords.insert (key);
    auto& ref = strip.plugins.getReference (slot);
    if (! ref.occupied)
        return fail (s, "SuperRack converter sidechain reference conflicts with host routing");
    if (ref.coverage.sidechain)
    {
        if (ref.sidechainSource != source)
            return fail (s, "SuperRack converter sidechain reference conflicts with host routing");
        return;
    }
    if (s.ambiguousSlots.erase (key) == 0)
        return fail (s, "SuperRack converter sidechain reference has no matching ambiguous host route");
    const auto* sourceStrip = stripWithIndex (s, source);
    if (sourceStrip == nullptr || ! sourceStrip->coverage.route || sourceStrip->routeInL != s.ambiguousChannel[key])
        return fail (s, "SuperRack converter sidechain reference conflicts with physical input L");
    ref.sidechainSource = source;
    ref.coverage.sidechain = true;
    ref.pendingSidechainReason.clear();
    --s.unresolvedSidechains;
}

void applyConverterMetadata (ReadState& s)
{
    const auto& info = s.activeInfo;
    const bool v1 = info.startsWith (juce::String (superRackMetadata::headerV1) + "|");
    const bool v2 = info.startsWith (juce::String (superRackMetadata::headerV2) + "|");
    if (! v1 && ! v2)
        return;
    if (info.getNumBytesAsUTF8() > maxMetadataBytes)
        return fail (s, superRackMetadata::tooLargeMessage);

    auto& session = s.session();
    auto& strips = s.strips();
    const int maxRecords = session.capacityStrips * (v2 ? 2 : 1) * session.capacitySlots;
    const auto lines = splitLines (info, maxRecords + 1);
    const auto header = juce::StringArray::fromTokens (lines[0], "|", "");
    int count = 0;
    if (header.size() != 2 || (header[0] != superRackMetadata::headerV1 && header[0] != superRackMetadata::headerV2)
        || ! parseNonNegativeInt (header[1], count) || count > maxRecords || count != lines.size() - 1)
        return fail (s, "invalid SuperRack converter metadata header");

    std::set<SlotKey> slotRecords, sidechainRecords;
    for (int lineIndex = 1; lineIndex < lines.size() && s.error.isEmpty(); ++lineIndex)
    {
        auto fields = juce::StringArray::fromTokens (lines[lineIndex], "|", "");
        enum { none, parameters, unavailableAu, sidechain } kind = none;
        if (v2 && fields.size() == 11 && fields[0] == "U")
            kind = unavailableAu;
        else if ((v1 && fields.size() == 6) || (v2 && fields.size() == 7 && fields[0] == "P"))
            kind = parameters;
        else if (v2 && fields.size() == 4 && fields[0] == "S")
            kind = sidechain;
        if (kind == none)
            return fail (s, "invalid SuperRack converter metadata record");
        if (v2)
            fields.remove (0);

        int stripPosition = 0, slot = 0;
        // The writer names a strip by its index and the reader finds it by position: the two
        // agree only where they are equal, and a record is never moved onto another strip.
        if (! parseNonNegativeInt (fields[0], stripPosition) || ! parseNonNegativeInt (fields[1], slot)
            || stripPosition >= strips.size() || strips[stripPosition].index != stripPosition)
            return fail (s, "invalid SuperRack converter metadata record");
        auto& strip = strips.getReference (stripPosition);
        const SlotKey key { stripPosition, slot };

        if (kind == parameters || kind == unavailableAu)
        {
            if (slotRecords.count (key) > 0)
                return fail (s, "duplicate SuperRack converter metadata slot record");
            slotRecords.insert (key);
        }

        if (kind == parameters)
            applyParameterMirror (s, strip, slot, fields);
        else if (kind == unavailableAu)
            applyUnavailableAu (s, session, strip, slot, fields);
        else
            applySidechainRecord (s, strip, key, slot, fields, sidechainRecords);
    }
}

// ---- mixer parameters and reserved strips --------------------------------------------------

void keepRaw (ReadState& s, RackStrip& strip, const juce::String& name, sqlite3_stmt* st)
{
    if (++s.sourceParameterCount > maxSourceParameters)
        return fail (s, "SuperRack chainer parameters exceed the supported count");
    juce::String value;
    if (textAt (s, st, 2, "snapshot_chainer_params.param_value", value))
        strip.sourceParameters.add ({ name, value });
}

// A row of the Performer's own (its input bank, channel colour, plug-in docking and input gain
// fader), taken or counted; false when the row is none of those.
bool takePerformerRow (ReadState& s, Int64 chainer, RackStrip& strip, const juce::String& name, bool numeric, bool finite, double value)
{
    if (s.performer && name == "PARAM_INPUT_CHOOSE_BANK")
        return true;
    if (s.performer && name == "PARAM_COLOR_VALUE")
    {
        ++s.colourRows;
        return true;
    }
    if (s.performer && name == "PARAM_PLUGINS_UNDOCK" && numeric && (value == 0.0 || value == 1.0))
    {
        ++s.undockRows;
        return true;
    }
    if (s.performer && name == "PARAM_INPUT_GAIN_FADER")
    {
        if (s.inputGainChainers.count (chainer) > 0 || ! finite || std::abs (value) > 18.0)
        {
            fail (s, "invalid/duplicate SuperRack input gain fader");
            return true;
        }
        s.inputGainChainers.insert (chainer);
        strip.inputGainDb = (float) value;
        ++s.inputGains;
        return true;
    }
    return false;
}

// The strip's output gain in dB: one stored finite number within a float's range per chainer.
void takeOutputGain (ReadState& s, Int64 chainer, RackStrip& strip, bool numeric, bool finite, double value)
{
    // A text, blob or missing value is no gain: reading it as 0 dB would
    // report an unknown level as a proven one.
    if (! numeric)
        return fail (s, "non-numeric SuperRack PARAM_OUTPUT_GAIN");
    if (! finite)
        return fail (s, "non-finite SuperRack PARAM_OUTPUT_GAIN");
    if (s.outputGainChainers.count (chainer) > 0)
        return fail (s, "duplicate SuperRack PARAM_OUTPUT_GAIN");
    // The model holds a float: a finite double beyond its range
    // would become infinity there.
    if (std::abs (value) > (double) std::numeric_limits<float>::max()
        || ! std::isfinite ((float) value))
        return fail (s, "non-finite SuperRack PARAM_OUTPUT_GAIN");
    s.outputGainChainers.insert (chainer);
    strip.outputGainDb = (float) value;
    ++s.outputGains;
}

// A parameter the model does not map (input trims, main mute, pan and width, the input switch that
// is not a proven bypass, and every other) is kept as the row has it, and the field it touches
// loses its coverage.
void keepUnmappedParameter (ReadState& s, RackStrip& strip, const juce::String& name, bool finite, double value, sqlite3_stmt* st)
{
    if (name == "PARAM_INPUT_DIGITAL_TRIM" || name == "PARAM_INPUT_DIGITAL_TRIM_L"
        || name == "PARAM_INPUT_DIGITAL_TRIM_R" || name == "PARAM_INPUT_GAIN_FADER")
    {
        strip.coverage.inputGain = false;
        return keepRaw (s, strip, name, st);
    }
    if (name == "PARAM_OUTPUT_MAIN_MUTE")
    {
        strip.coverage.mute = false;
        return keepRaw (s, strip, name, st);
    }
    if (name == "PARAM_OUTPUT_PAN_L" || name == "PARAM_OUTPUT_PAN_R" || name == "PARAM_OUTPUT_WIDTH"
        || name == "PARAM_OUTPUT_BALANCE")
    {
        strip.coverage.pan = false;
        return keepRaw (s, strip, name, st);
    }
    if (name == "PARAM_IN_ON_OFF")
    {
        // Only a stored number can prove a bypass; anything else stays unproven.
        if (finite && std::abs (value) < 1e-6)
        {
            strip.bypassed = true;
            strip.coverage.bypass = true;
            return;
        }
        strip.coverage.bypass = false;
        return keepRaw (s, strip, name, st);
    }
    keepRaw (s, strip, name, st);
}

// One active chainer parameter row of a strip.
void readMixerParameter (ReadState& s, sqlite3_stmt* st)
{
    if (s.error.isNotEmpty())
        return;
    Int64 chainer = 0;
    if (! integerAt (st, 0, chainer) || s.chainerMap.count (chainer) == 0)
        return;
    auto& strip = s.strips().getReference (s.chainerMap[chainer]);
    juce::String name;
    if (! textAt (s, st, 1, "chainer_params.name", name))
        return;
    double value = 0.0;
    const bool numeric = numberAt (st, 2, value);
    const bool finite = numeric && std::isfinite (value);

    if (takePerformerRow (s, chainer, strip, name, numeric, finite, value))
        return;
    if (name == "PARAM_OUTPUT_GAIN")
        return takeOutputGain (s, chainer, strip, numeric, finite, value);
    keepUnmappedParameter (s, strip, name, finite, value, st);
}

// The notes on what the mixer parameters gave: decoded gains, and what is excluded or kept raw.
void noteMixerParameters (ReadState& s)
{
    auto& notes = s.session().notes;
    if (s.outputGains > 0)
        notes.add (Fidelity::lossless, "mixer.outputGain", juce::String (s.outputGains) + juce::String (juce::CharPointer_UTF8 (" PARAM_OUTPUT_GAIN sparse row를 dB로 해독했다")));
    if (s.inputGains > 0)
        notes.add (Fidelity::lossless, "mixer.inputGain", juce::String (s.inputGains) + juce::String (juce::CharPointer_UTF8 (" Performer input gain fader values decoded as dB")));
    if (s.undockRows > 0)
    {
        notes.add (Fidelity::dropped, "ui.pluginUndock", juce::String (s.undockRows) + juce::String (juce::CharPointer_UTF8 (" Performer plug-in window docking states excluded; window layout not converted")));
        s.session().pluginUndockExclusions = s.undockRows;
    }
    if (s.colourRows > 0)
        notes.add (Fidelity::dropped, "ui.channelColour", juce::String (s.colourRows) + juce::String (juce::CharPointer_UTF8 (" Performer channel colour values excluded; target defaults apply")));
    notes.add (Fidelity::approx, "mixer.params", juce::String (juce::CharPointer_UTF8 ("Active snapshot의 chainer parameter를 원문 이름-값으로 보관함 — 게인·팬 등 의미 매핑은 아직 검증되지 않았다")));
}

void readMixerParameters (ReadState& s)
{
    const bool ok = runStatement (s, "SELECT scp.chainer_id, cp.name, scp.param_value FROM snapshot_chainer_params scp JOIN chainer_params cp "
                                     "ON cp.id = scp.param_id WHERE scp.snapshot_id = " + juce::String (s.activeId),
                                  [&] (sqlite3_stmt* st)
                                  {
                                      readMixerParameter (s, st);
                                  });
    if (! ok)
        fail (s, "could not query active chainer parameters: " + sqliteMessages (s));
    if (s.error.isNotEmpty())
        return;
    noteMixerParameters (s);
}

void checkAndDropReservedStrips (ReadState& s)
{
    auto& strips = s.strips();
    if (strips.size() < s.activeTracks)
        return fail (s, "SuperRack input track configuration exceeds stored chainers");
    for (int p = s.activeTracks; p < strips.size(); ++p)
    {
        const auto& strip = strips.getReference (p);
        bool occupied = false;
        for (const auto& ref : strip.plugins)
            occupied = occupied || ref.occupied;
        if (strip.index != p || strip.name.isNotEmpty() || occupied || ! strip.routePatches.isEmpty()
            || ! strip.sourceParameters.isEmpty() || std::abs (strip.inputGainDb) > 1e-6f || std::abs (strip.outputGainDb) > 1e-6f
            || std::abs (strip.pan - 0.5f) > 1e-6f || strip.muted || strip.soloed || strip.bypassed)
            return fail (s, "reserved SuperRack input chainer contains session data");
    }
    strips.removeRange (s.activeTracks, strips.size() - s.activeTracks);
}

void addPluginNotes (ReadState& s)
{
    auto& notes = s.session().notes;
    if (s.unresolvedSidechains > 0)
        notes.add (Fidelity::approx, "plugin.sidechain", juce::String (s.unresolvedSidechains) + juce::String (juce::CharPointer_UTF8 ("개 SuperRack sidechain source를 rack strip으로 해소하지 못했다")));
    if (s.statesSplit > 0)
        notes.add (Fidelity::lossless, "plugin.state", juce::String (s.statesSplit) + juce::String (juce::CharPointer_UTF8 ("개 상태에서 Comp/Cont 분리 성공 (기준점=")) + s.basePoint + ")");
    if (s.restoredMirrors > 0)
        notes.add (Fidelity::lossless, "plugin.parameterState", juce::String (s.restoredMirrors) + juce::String (juce::CharPointer_UTF8 ("개 converter mirror를 active state hash 검증 후 복원했다")));
    if (s.failedStates > 0)
        notes.add (Fidelity::approx, "plugin.state", juce::String (s.failedStates) + juce::String (juce::CharPointer_UTF8 ("개 상태는 청크 분리 실패 — 원본 블롭은 보존됨. 첫 사유: ")) + s.firstFailure);
}

// ---- staging -------------------------------------------------------------------------------

// Copies the session and its journal sidecars into the read's own private folder: each file
// opened once through the untrusted-file loader, and the copy checked against the file as it is
// afterwards, so that a host writing at the same time cannot hand the reader a database and a
// log from different moments. A hot rollback journal goes with the copy: SQLite then rolls the
// copy back to the last committed state.
bool stageSession (const juce::File& sprk, waves::StagedSource& staged, juce::String& error)
{
    juce::String ignored;
    const auto root = temporaryRoot();
    if (! makePrivateFolder (root, "vornconv_", staged.folder, ignored))
    {
        const int code = errno;
        error = "could not copy the SuperRack session into the temporary folder " + root.getFullPathName() + " (TMPDIR)"
              + systemReason (code);
        return false;
    }
    // Joined as text: JUCE would read a name starting with '~' as a home folder.
    staged.database = juce::File (staged.folder.folder.getFullPathName() + "/" + sprk.getFileName());
    waves::DatabaseCopy copy;
    if (! waves::copyDatabase (sprk, staged.database, copy))
    {
        if (copy.refusal.isNotEmpty())
            error = copy.refusal;
        else if (copy.failedPart.isEmpty())
            error = "could not copy session to temporary directory" + systemReason (copy.systemError);
        else
            error = "could not copy SuperRack journal sidecar: " + sprk.getFileName() + copy.failedPart + systemReason (copy.systemError);
        return false;
    }
    juce::String now;
    if (! waves::sourceFingerprint (sprk, now, ignored) || now != copy.fingerprint)
    {
        error = "SuperRack session changed while it was being copied";
        return false;
    }
    return true;
}

} // namespace

// ---- the reader ----------------------------------------------------------------------------

juce::String superRackMetadata::stateDigest (const juce::MemoryBlock& bytes)
{
    return juce::SHA256 (bytes).toHexString();
}

RackReadResult readSuperRackSprk (const juce::File& sprk)
{
    RackReadResult result;
    auto& session = result.session;
    session.sourceFormat = rapp::superRackSessionFormat;
    session.sourceFile = sprk.getFullPathName();
    session.capacityStrips = 64;
    session.capacitySlots = 8;

    // The file is copied once; the product is told from that copy.
    if (! anythingExistsAt (sprk) || ! sprk.getFileExtension().equalsIgnoreCase (".sprk"))
    {
        result.error = "could not distinguish SuperRack Performer from SoundGrid: SuperRack product inspection requires an existing .sprk file";
        return result;
    }

    // The folder outlives the connection: members are destroyed in reverse order.
    waves::StagedSource staged;
    if (! stageSession (sprk, staged, result.error))
        return result;

    waves::Database db;
    sqlite3* handle = nullptr;
    // Read-write on the private copy: rolling back a staged hot journal needs it.
    if (sqlite3_open_v2 (staged.database.getFullPathName().toRawUTF8(), &handle, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
    {
        result.error = "sqlite open failed: " + (handle != nullptr ? utf8::toTextReplacingMalformed (sqlite3_errmsg (handle)) : juce::String ("unknown"));
        if (handle != nullptr)
            sqlite3_close_v2 (handle);
        return result;
    }
    db.handle = handle;
    waves::hardenConnection (handle);

    const auto inspection = waves::inspectSuperRackDatabase (handle, "main");
    if (inspection.kind == waves::SuperRackProductKind::unknown)
    {
        result.error = "could not distinguish SuperRack Performer from SoundGrid: " + inspection.error;
        return result;
    }
    session.sourceApp = waves::superRackProductName (inspection.kind);

    ReadState s (result);
    s.db = handle;
    s.performer = session.sourceApp == "SuperRack Performer";

    const std::function<void (ReadState&)> steps[] = {
        readSettings, readStrips, readInputBanks, readRoutes, readPlugRows,
        [] (ReadState& st)
        {
            if (st.duganExcluded > 0)
                st.session().notes.add (Fidelity::dropped, "dugan.disabled", juce::String (st.duganExcluded) + juce::String (juce::CharPointer_UTF8 (" disabled Waves Dugan Speech record(s) excluded; automixer settings are not converted")));
        },
        mapPhysicalInputOwners, readSidechains, readActiveStates, applyConverterMetadata, addPluginNotes,
        readMixerParameters, checkAndDropReservedStrips,
    };
    for (const auto& step : steps)
    {
        step (s);
        if (s.error.isNotEmpty())
        {
            result.error = s.error;
            return result;
        }
    }
    result.ok = true;
    result.status = (s.unresolvedSidechains > 0 || s.failedStates > 0) ? readPartial : readComplete;
    return result;
}

} // namespace vornconv
