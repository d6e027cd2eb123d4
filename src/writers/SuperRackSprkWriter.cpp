// The SuperRack Performer writer: a rack session as a new .sprk session, written by SQLite into a
// private copy of a host-saved template, proven by reading that copy back, and published beside
// the output through the verified-write pipeline.
//
// Divisions, in order:
//   1. Plug-in encodings: the built-in table, the template's values, their resolution per class.
//   2. Session helpers: physical patches, strips by index, sidechain inputs, converter metadata.
//   3. SQLite helpers and the template's chainers and parameters.
//   4. Writing one chainer and its plug-ins.
//   5. The build: template copy, one transaction for the session content, the notes.
//   6. The proof of a written session: acceptance, expected session, own checks, refusal.
//   7. checkSuperRackSprkWrite and writeSuperRackSprk.

#include "writers/SuperRackSprkWriter.h"

#include "model/AtomicFileCommit.h"
#include "model/PrivateFiles.h"
#include "model/UntrustedFile.h"
#include "model/Utf8Text.h"
#include "model/ValueComparison.h"
#include "model/Vst3ClassId.h"
#include "model/Vst3State.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/Vst3ModuleIndex.h"
#include "readers/SuperRackSprkReader.h"
#include "waves/WavesSessionTransfer.h"
#include "writers/ConversionLedger.h"
#include "writers/VerifiedWrite.h"

#include <juce_cryptography/juce_cryptography.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>
#include <vector>

#include <unistd.h>

namespace vornconv::rapp
{

namespace SuperRackNativeProfile
{
const std::array<Plugin, 17> plugins { {
    { "5653544C504C386C6974746C65706C61", "Soundtoys", "VS0S" },
    { "ABCDEF019182FAEB554144785533394E", "Universal Audio (UADx)", "VS0S" },
    { "20301A062A1843898BBD1C43E26A2250", "Slate Digital", "VS2S" },
    { "ABCDEF019182FAEB4F656B5353746833", "oeksound", "VS2S" },
    { "ED57BD725C60467EA64DD2F400758B6F", "FabFilter", "VS2S" },
    { "5653547665653376616C68616C6C6176", "Valhalla DSP, LLC", "VS0S" },
    { "565354644C617976616C68616C6C6164", "Valhalla DSP, LLC", "VS0S" },
    { "ABCDEF019182FAEB5541447855334139", "Universal Audio (UADx)", "VS0S" },
    { "ABCDEF019182FAEB4D7857764D574C76", "MixWave", "VS0S" },
    { "ABCDEF019182FAEB5541447855334530", "Universal Audio (UADx)", "VS0S" },
    { "56535453744463646563617069746174", "Soundtoys", "VS0S" },
    { "ABCDEF019182FAEB5541447855333931", "Universal Audio (UADx)", "VS0S" },
    { "5653544865726F76616C68616C6C6166", "Valhalla DSP, LLC", "VS0S" },
    { "5653545354494D73736C20667573696F", "SSL", "VS0S" },
    { "F74EF7C4FE404715B06C1DD829DF88E3", "Pulsar", "VS0S" },
    { "56535437485031736576656E74682068", "LiquidSonics", "VS2S" },
    { "ABCDEF019182FAEB5465544F54417263", "Teletone Audio", "VS0S" },
} };
} // namespace SuperRackNativeProfile

namespace
{

// A plug row's 4cc, additional info and vendor are short host-made texts; anything far longer
// is not a value the host wrote.
constexpr int maxMetadataColumnBytes = 4096;

// A preset text longer than this cannot decode to a wrapper the preset parser accepts (two
// state streams of the state limit plus the wrapper and chunk-list overhead, in base64, with room
// for the tag line and line breaks); it is refused before it is copied.
constexpr juce::int64 maxPresetTextBytes = (juce::int64) ((2 * vst3::maxStateBytes + 96) / 3 + 1) * 4 + 65536;

// A TEXT value, or NULL as an empty text. Any other type, an oversized value or bytes that
// would not survive as text fail.
bool readMetadataColumn (sqlite3_stmt* statement, int column, juce::String& out)
{
    const auto type = sqlite3_column_type (statement, column);
    if (type == SQLITE_NULL)
    {
        out = {};
        return true;
    }
    if (type != SQLITE_TEXT)
        return false;
    const auto* text = reinterpret_cast<const char*> (sqlite3_column_text (statement, column));
    const int size = sqlite3_column_bytes (statement, column);
    return text != nullptr && size >= 0 && size <= maxMetadataColumnBytes && utf8::toText (text, (size_t) size, out);
}

// The class id named by a stored preset, or an empty text when the value is no preset text.
juce::String presetClassId (sqlite3_stmt* statement, int column)
{
    const auto type = sqlite3_column_type (statement, column);
    if (type != SQLITE_TEXT && type != SQLITE_BLOB)
        return {};
    const int size = sqlite3_column_bytes (statement, column);
    if (size <= 0 || size > maxPresetTextBytes)
        return {};
    const auto* text = reinterpret_cast<const char*> (type == SQLITE_TEXT ? sqlite3_column_text (statement, column)
                                                                          : sqlite3_column_blob (statement, column));
    juce::String presetText;
    if (text == nullptr || ! utf8::toText (text, (size_t) size, presetText))
        return {};
    const auto preset = vst3::parseSuperRackPreset (presetText);
    return preset.ok ? storedClassId (preset.classId) : juce::String();
}

} // namespace

bool collectTemplatePluginEncodings (sqlite3* db, TemplatePluginMetadata& out, juce::String& error)
{
    out = {};
    const auto fail = [&] (const juce::String& message)
    {
        out = {};
        error = message;
        return false;
    };

    waves::Statement statement;
    juce::String problem;
    if (! waves::prepare (db,
                          "SELECT p.plugin_4cc, p.additional_info, p.vendor_name, pp.preset FROM plug p JOIN snapshot_plugin sp ON "
                          "sp.plug_id = p.id JOIN plugin_preset pp ON pp.id = sp.preset_id",
                          statement, problem))
        return fail (problem);

    for (;;)
    {
        bool hasRow = false;
        if (! waves::stepRow (db, statement.handle, hasRow, problem))
            return fail (problem);
        if (! hasRow)
            break;

        const auto key = presetClassId (statement.handle, 3);
        if (key.isEmpty())
            continue;

        TemplatePluginEncoding encoding;
        juce::String vendor;
        // A value the host cannot have written is not verified metadata: it is refused rather
        // than copied into a new session or skipped in favour of a weaker source.
        if (! readMetadataColumn (statement.handle, 0, encoding.plugin4cc))
            return fail ("template has invalid SuperRack metadata column plugin_4cc for VST3 CID " + key);
        if (! readMetadataColumn (statement.handle, 1, encoding.additionalInfo))
            return fail ("template has invalid SuperRack metadata column additional_info for VST3 CID " + key);
        if (! readMetadataColumn (statement.handle, 2, vendor))
            return fail ("template has invalid SuperRack metadata column vendor_name for VST3 CID " + key);

        const auto known = out.byCid.find (key);
        if (known == out.byCid.end())
            out.byCid.emplace (key, encoding);
        else if (known->second.plugin4cc != encoding.plugin4cc || known->second.additionalInfo != encoding.additionalInfo)
            return fail ("template has conflicting SuperRack metadata for VST3 CID " + key);

        if (vendor.isEmpty())
            continue;
        const bool derived = encoding.additionalInfo == makeAdditionalInfo (key);
        const auto seen = out.byVendor.find (vendor);
        if (seen == out.byVendor.end())
            out.byVendor.emplace (vendor, derived ? encoding.plugin4cc : juce::String());
        else if (! derived || seen->second != encoding.plugin4cc)
            seen->second = {}; // once unusable, for good: an empty 4cc never equals a row's again
    }
    return true;
}

juce::String makeAdditionalInfo (juce::StringRef classId)
{
    if (! isHexClassId (classId))
        return {};
    juce::uint8 bytes[16] {};
    auto p = classId.text;
    for (auto& byte : bytes)
    {
        const int high = juce::CharacterFunctions::getHexDigitValue (p.getAndAdvance());
        const int low = juce::CharacterFunctions::getHexDigitValue (p.getAndAdvance());
        byte = (juce::uint8) ((high << 4) | low);
    }
    return juce::Base64::toBase64 (bytes, 3) + "\n" + juce::Base64::toBase64 (bytes + 3, 13);
}

const SuperRackNativeProfile::Plugin* nativePluginForCid (juce::StringRef classId)
{
    const juce::String wanted (classId.text);
    for (const auto& row : SuperRackNativeProfile::plugins)
        if (sameClassId (wanted, row.cid))
            return &row;
    return nullptr;
}

PluginEncodingResolution resolvePluginEncodings (const RackSession& session, const Vst3ModuleIndex& index,
                                                 const TemplatePluginMetadata& templateMetadata)
{
    PluginEncodingResolution result;
    result.byCid = templateMetadata.byCid;
    // A failed resolution carries no map a caller could write from by mistake.
    const auto failed = [] (const juce::String& message)
    {
        PluginEncodingResolution failure;
        failure.error = message;
        return failure;
    };

    for (const auto& strip : session.strips)
    {
        for (const auto& slot : strip.plugins)
        {
            if (! slot.occupied || slot.format != "VST3")
                continue;

            const auto cid = index.classIdOf (slot);
            if (cid.isEmpty())
            {
                return failed ("could not resolve VST3 CID for " + slot.name);
            }
            if (result.byCid.count (cid) > 0)
                continue;

            const auto info = makeAdditionalInfo (cid);
            if (info.isNotEmpty())
            {
                if (const auto* native = nativePluginForCid (cid))
                {
                    result.byCid.emplace (cid, TemplatePluginEncoding { native->plugin4cc, info });
                    continue;
                }
                const auto vendor = templateMetadata.byVendor.find (slot.vendor);
                if (vendor != templateMetadata.byVendor.end() && vendor->second.isNotEmpty())
                {
                    result.byCid.emplace (cid, TemplatePluginEncoding { vendor->second, info });
                    ++result.vendorFallbacks;
                    continue;
                }
            }
            return failed ("template has no verified SuperRack metadata for " + slot.name + " (" + cid + ")");
        }
    }

    result.ok = true;
    return result;
}

namespace
{

constexpr int chainerCapacity = 64;
const char* const performerApp = "SuperRack Performer";

using PatchSet = std::set<std::tuple<bool, int, int>>; // isInput, rack channel, physical channel

PatchSet physicalPatches (const RackStrip& strip)
{
    PatchSet patches;
    for (const auto& patch : strip.routePatches)
        if (patch.physicalChannel >= 0)
            patches.emplace (patch.isInput, patch.rackChannel, patch.physicalChannel);
    if (! patches.empty())
        return patches;
    if (strip.routeInL >= 0)
        patches.emplace (true, 0, strip.routeInL);
    if (strip.inputChannels >= 2 && strip.routeInR >= 0)
        patches.emplace (true, 1, strip.routeInR);
    if (strip.routeOutL >= 0)
        patches.emplace (false, 0, strip.routeOutL);
    if (strip.outputChannels >= 2 && strip.routeOutR >= 0)
        patches.emplace (false, 1, strip.routeOutR);
    return patches;
}

// The patch set in its order, except that within one direction and rack channel the strip's
// main (summary) route comes first: the reader takes the first route it meets as the main one, so
// a channel fed from several physical inputs keeps its main input.
std::vector<std::tuple<bool, int, int>> routesInWritingOrder (const RackStrip& strip)
{
    const auto patches = physicalPatches (strip);
    std::vector<std::tuple<bool, int, int>> ordered (patches.begin(), patches.end());
    const auto isMain = [&strip] (const std::tuple<bool, int, int>& patch)
    {
        const auto& [isInput, rack, physical] = patch;
        const int main = isInput ? (rack == 0 ? strip.routeInL : strip.routeInR) : (rack == 0 ? strip.routeOutL : strip.routeOutR);
        return rack <= 1 && main >= 0 && physical == main;
    };
    std::stable_sort (ordered.begin(), ordered.end(), [&] (const auto& a, const auto& b)
                      {
                          if (std::get<0> (a) != std::get<0> (b) || std::get<1> (a) != std::get<1> (b))
                              return std::make_pair (std::get<0> (a), std::get<1> (a)) < std::make_pair (std::get<0> (b), std::get<1> (b));
                          return isMain (a) && ! isMain (b);
                      });
    return ordered;
}

const RackStrip* stripWithIndex (const RackSession& session, int index)
{
    for (const auto& strip : session.strips)
        if (strip.index == index)
            return &strip;
    return nullptr;
}

// The one physical channel feeding rack channel L of the source strip, or -1 when there is none
// or more than one.
int sidechainPhysicalInput (const RackSession& session, int sourceStripIndex)
{
    const auto* strip = stripWithIndex (session, sourceStripIndex);
    if (strip == nullptr)
        return -1;
    int channel = -1;
    for (const auto& [isInput, rack, physical] : physicalPatches (*strip))
    {
        if (! isInput || rack != 0)
            continue;
        if (channel >= 0 && channel != physical)
            return -1;
        channel = physical;
    }
    return channel;
}

// Why the reader did not read a template completely, in its words: its error, else its note on
// what it could not resolve (a sidechain source, a state that did not split), which makes a
// SuperRack read partial; else the first note it dropped.
juce::String templateIncompleteReason (const RackReadResult& read)
{
    if (read.error.isEmpty())
        for (const auto* code : { "plugin.sidechain", "plugin.state" })
            for (const auto& note : read.session.notes)
                if (note.code == code && note.fidelity != Fidelity::lossless)
                    return ": " + note.code + " - " + note.text;
    return incompleteReadReason (read);
}

// The name a chainer carries in the written session: the host shows an unnamed input as "Ch N".
juce::String writtenStripName (const RackStrip& strip)
{
    return strip.name.isNotEmpty() ? strip.name : "Ch " + juce::String (strip.index + 1);
}

juce::String base64OfText (const juce::String& text)
{
    return juce::Base64::toBase64 (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

// The converter metadata records (sidechain sources, unavailable AudioUnits, parameter mirrors)
// or the plain marker when there are none. Streamed: mirrors and AudioUnit states can be large.
juce::String buildConverterSnapshotInfo (const RackSession& session, const Vst3ModuleIndex& index)
{
    juce::MemoryOutputStream records;
    int count = 0;
    const auto startRecord = [&]
    {
        records << "\n";
        ++count;
    };
    for (const auto& strip : session.strips)
    {
        for (int slot = 0; slot < strip.plugins.size(); ++slot)
        {
            const auto& plugin = strip.plugins.getReference (slot);
            if (! plugin.occupied)
                continue;
            const juce::String prefix = juce::String (strip.index) + "|" + juce::String (slot) + "|";
            if (plugin.format == "VST3" && plugin.sidechainSource >= 0)
            {
                startRecord();
                records << "S|" << prefix << juce::String (plugin.sidechainSource);
            }
            if (isAudioUnitFormat (plugin.format))
            {
                startRecord();
                records << "U|" << prefix << base64OfText (plugin.name) << "|" << base64OfText (plugin.vendor) << "|"
                        << juce::String (plugin.uniqueId) << "|" << juce::String (plugin.deprecatedUid) << "|"
                        << juce::String (plugin.auType) << "|" << juce::String (plugin.auSubtype) << "|"
                        << juce::String (plugin.auManufacturer) << "|";
                records << juce::Base64::toBase64 (plugin.state.raw.getData(), plugin.state.raw.getSize());
            }
            else if (plugin.state.parameterMirrorComplete && ! plugin.state.parameters.isEmpty())
            {
                startRecord();
                records << "P|" << prefix << index.classIdOf (plugin) << "|"
                        << superRackMetadata::stateDigest (plugin.state.component) << "|"
                        << superRackMetadata::stateDigest (plugin.state.controller) << "|";
                vst3::writeJuceMemoryBlockText (records, plugin.state.parameters.getData(), plugin.state.parameters.getSize());
            }
        }
    }
    if (count == 0)
        return superRackMetadata::noRecordsInfo;
    juce::MemoryOutputStream text;
    text << superRackMetadata::headerV2 << "|" << juce::String (count);
    text.write (records.getData(), records.getDataSize());
    return text.toUTF8();
}

// Owns a statement; reset and cleared after every row.
struct Prepared
{
    waves::Statement statement;
    sqlite3_stmt* get() const { return statement.handle; }
};

bool bindText (sqlite3_stmt* statement, int position, const juce::String& text)
{
    return sqlite3_bind_text64 (statement, position, text.toRawUTF8(), (sqlite3_uint64) text.getNumBytesAsUTF8(), SQLITE_TRANSIENT,
                                SQLITE_UTF8)
           == SQLITE_OK;
}

// Runs a bound statement to its end, then resets it and clears its bindings.
bool runBound (sqlite3* db, sqlite3_stmt* statement, juce::String& error)
{
    waves::resetWorkBudget();
    const bool done = waves::stepDone (db, statement, error);
    sqlite3_reset (statement);
    sqlite3_clear_bindings (statement);
    return done;
}

bool bindFailed (sqlite3* db, juce::String& error)
{
    error = utf8::toTextReplacingMalformed (sqlite3_errmsg (db));
    return false;
}

// Runs "ROLLBACK" (its error ignored) unless the transaction was committed.
struct RollbackGuard
{
    sqlite3* db = nullptr;
    bool active = false;

    ~RollbackGuard()
    {
        if (active && db != nullptr)
        {
            juce::String ignored;
            waves::execute (db, "ROLLBACK", ignored);
        }
    }
};

bool readInputChainers (sqlite3* db, std::vector<juce::int64>& chainers, int capacity, juce::String& error)
{
    chainers.assign ((size_t) capacity, -1);
    waves::Statement statement;
    if (! waves::prepare (db, "SELECT c.obj_id, o.obj_index FROM chainer c JOIN object o ON o.id = c.obj_id WHERE o.obj_type = 0",
                          statement, error))
        return false;
    int rows = 0;
    for (;;)
    {
        bool hasRow = false;
        if (! waves::stepRow (db, statement.handle, hasRow, error))
            return false;
        if (! hasRow)
            break;
        const bool integers = sqlite3_column_type (statement.handle, 0) == SQLITE_INTEGER
                              && sqlite3_column_type (statement.handle, 1) == SQLITE_INTEGER;
        const auto id = sqlite3_column_int64 (statement.handle, 0);
        const auto position = sqlite3_column_int64 (statement.handle, 1);
        if (! integers || position < 0 || position >= capacity || chainers[(size_t) position] != -1)
        {
            error = "template input chainer index is invalid or duplicated";
            return false;
        }
        chainers[(size_t) position] = id;
        ++rows;
    }
    if (rows != capacity)
    {
        error = "template input chainer count does not match target capacity";
        return false;
    }
    return true;
}

bool findChainerParameterId (sqlite3* db, const juce::String& name, juce::int64& id, juce::String& error)
{
    waves::Statement statement;
    if (! waves::prepare (db, "SELECT id FROM chainer_params WHERE name=?", statement, error))
        return false;
    if (! bindText (statement.handle, 1, name))
        return bindFailed (db, error);
    bool hasRow = false;
    if (! waves::stepRow (db, statement.handle, hasRow, error))
        return false;
    if (! hasRow)
    {
        error = "SuperRack template is missing chainer parameter " + name;
        return false;
    }
    id = sqlite3_column_int64 (statement.handle, 0);
    if (! waves::stepRow (db, statement.handle, hasRow, error))
        return false;
    if (hasRow)
    {
        error = "SuperRack template has duplicate chainer parameter " + name;
        return false;
    }
    return true;
}

bool validateForeignKeys (sqlite3* db, juce::String& error)
{
    waves::Statement statement;
    bool hasRow = false;
    if (! waves::prepare (db, "PRAGMA foreign_key_check", statement, error) || ! waves::stepRow (db, statement.handle, hasRow, error))
        return false;
    if (hasRow)
    {
        const auto* table = sqlite3_column_text (statement.handle, 0);
        error = "written .sprk failed SQLite foreign_key_check at table "
                + (table != nullptr ? utf8::toTextReplacingMalformed (reinterpret_cast<const char*> (table)) : juce::String());
        return false;
    }
    return true;
}

// Strip indices the written session can carry: exactly 0 to n-1, each once. The reader numbers
// the strips it finds by position, and a chainer past the track count must stay empty.
bool hasContiguousStripIndices (const RackSession& session)
{
    std::vector<bool> seen ((size_t) session.strips.size(), false);
    for (const auto& strip : session.strips)
    {
        if (strip.index < 0 || strip.index >= session.strips.size() || seen[(size_t) strip.index])
            return false;
        seen[(size_t) strip.index] = true;
    }
    return true;
}

struct Statements
{
    Prepared objectName, snapshotChainer, chainerLayout, chainerParam, inputRoute, outputRoute, plug, plugSidechain, presetUpsert,
        presetId, snapshotPlugin;
};

bool prepareStatements (sqlite3* db, Statements& st, juce::String& error)
{
    const std::pair<Prepared*, const char*> all[] = {
        { &st.objectName, "UPDATE object SET name=? WHERE id=?" },
        { &st.snapshotChainer, "INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name,preset_name,selected_slot,ch_scope_type_id,in_scope) VALUES(?,?,?,'',-1,0,1)" },
        { &st.chainerLayout, "UPDATE chainer SET num_inputs=?,num_outputs=?,input_stem_format=?,output_stem_format=? WHERE obj_id=?" },
        { &st.chainerParam, "INSERT INTO snapshot_chainer_params(chainer_id,snapshot_id,param_id,param_value) VALUES(?,?,?,?)" },
        { &st.inputRoute, "INSERT INTO routes(src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,src_control_id,src_asgn_type,dst_cluster_type,dst_cluster_type_index,dst_section_type,dst_section_index,dst_channel_index,dst_control_id,dst_asgn_type,status) VALUES(10,0,-1,-1,?,-1,-1,0,?,0,0,?,-1,0,4)" },
        { &st.outputRoute, "INSERT INTO routes(src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,src_control_id,src_asgn_type,dst_cluster_type,dst_cluster_type_index,dst_section_type,dst_section_index,dst_channel_index,dst_control_id,dst_asgn_type,status) VALUES(0,?,-1,0,?,-1,-1,11,0,0,-1,?,-1,0,4)" },
        { &st.plug, "INSERT INTO plug(chainer_id,slot,plugin_name,plugin_4cc,additional_info,disabled,side_chain,vendor_name) VALUES(?,?,?,?,?,?,?,?)" },
        { &st.plugSidechain, "INSERT INTO plug_sidechain(plug_id,AsgnType,ControlType,TrackType,TrackHandle,SectionType,SectionIndex,ChannelIndex,controlID) VALUES(?,-1,2,10,0,-1,-1,?,-1)" },
        { &st.presetUpsert, "INSERT INTO plugin_preset(hash,ref_count,preset) VALUES(?,1,?) ON CONFLICT(hash) DO UPDATE SET ref_count=plugin_preset.ref_count+1" },
        { &st.presetId, "SELECT id FROM plugin_preset WHERE hash=?" },
        { &st.snapshotPlugin, "INSERT INTO snapshot_plugin(plug_id,preset_id,snapshot_id,setup_type_id,bypass,mute,docked) VALUES(?,?,?,-1,?,?,1)" },
    };
    for (const auto& [prepared, sql] : all)
        if (! waves::prepare (db, sql, prepared->statement, error))
            return false;
    return true;
}

struct ChainerContext
{
    sqlite3* db = nullptr;
    Statements* st = nullptr;
    const RackSession* session = nullptr;
    const Vst3ModuleIndex* index = nullptr;
    const std::map<juce::String, TemplatePluginEncoding>* encodings = nullptr;
    juce::int64 outputGainId = 0, inOnOffId = 0;
    int unmappedParameters = 0;
    int patchedSidechains = 0;
};

bool writePlugin (ChainerContext& c, juce::int64 chainerId, int slot, const PluginRef& plugin, juce::String& error)
{
    auto& st = *c.st;
    sqlite3* db = c.db;
    const auto cid = c.index->classIdOf (plugin);
    const auto encoding = c.encodings->find (cid);
    if (cid.isEmpty() || encoding == c.encodings->end())
    {
        // Only VST3 slots have an encoding; any other format cannot be hosted.
        error = "SuperRack Performer cannot host plugin " + plugin.name + " (format " + plugin.format + ")";
        return false;
    }
    const auto preset = vst3::buildSuperRackPreset (cid, plugin.state.component, plugin.state.controller);
    if (preset.isEmpty())
    {
        error = "could not build SuperRack preset for " + plugin.name;
        return false;
    }
    const int disabled = plugin.bypassed ? 1 : (plugin.unavailable ? 1 : 0);
    auto* p = st.plug.get();
    if (sqlite3_bind_int64 (p, 1, chainerId) != SQLITE_OK || sqlite3_bind_int (p, 2, slot) != SQLITE_OK || ! bindText (p, 3, plugin.name)
        || ! bindText (p, 4, encoding->second.plugin4cc) || ! bindText (p, 5, encoding->second.additionalInfo)
        || sqlite3_bind_int (p, 6, disabled) != SQLITE_OK || sqlite3_bind_int (p, 7, plugin.sidechainSource >= 0 ? 1 : 0) != SQLITE_OK
        || ! bindText (p, 8, plugin.vendor))
        return bindFailed (db, error);
    if (! runBound (db, p, error))
        return false;
    const auto plugId = sqlite3_last_insert_rowid (db);

    if (plugin.sidechainSource >= 0)
    {
        const int channel = sidechainPhysicalInput (*c.session, plugin.sidechainSource);
        if (channel < 0)
        {
            error = "sidechain source has no unique physical input route";
            return false;
        }
        auto* s = st.plugSidechain.get();
        if (sqlite3_bind_int64 (s, 1, plugId) != SQLITE_OK || sqlite3_bind_int (s, 2, channel) != SQLITE_OK)
            return bindFailed (db, error);
        if (! runBound (db, s, error))
            return false;
        ++c.patchedSidechains;
    }

    // The host keys presets by the digest of the text without its last byte.
    const auto* presetBytes = preset.toRawUTF8();
    const auto presetSize = preset.getNumBytesAsUTF8();
    const auto hash = juce::SHA256 (presetBytes, presetSize - 1).toHexString();
    auto* u = st.presetUpsert.get();
    if (! bindText (u, 1, hash) || ! bindText (u, 2, preset))
        return bindFailed (db, error);
    if (! runBound (db, u, error))
        return false;

    auto* q = st.presetId.get();
    if (! bindText (q, 1, hash))
        return bindFailed (db, error);
    waves::resetWorkBudget();
    bool hasRow = false;
    const bool stepped = waves::stepRow (db, q, hasRow, error);
    const auto presetId = hasRow ? sqlite3_column_int64 (q, 0) : 0;
    sqlite3_reset (q);
    sqlite3_clear_bindings (q);
    if (! stepped)
        return false;
    if (! hasRow)
    {
        error = utf8::toTextReplacingMalformed (sqlite3_errmsg (db));
        return false;
    }

    auto* sp = st.snapshotPlugin.get();
    if (sqlite3_bind_int64 (sp, 1, plugId) != SQLITE_OK || sqlite3_bind_int64 (sp, 2, presetId) != SQLITE_OK
        || sqlite3_bind_int (sp, 3, -1) != SQLITE_OK || sqlite3_bind_int (sp, 4, disabled) != SQLITE_OK
        || sqlite3_bind_int (sp, 5, plugin.muted ? 1 : 0) != SQLITE_OK)
        return bindFailed (db, error);
    return runBound (db, sp, error);
}

bool writeChainer (ChainerContext& c, int number, juce::int64 chainerId, juce::String& error)
{
    auto& st = *c.st;
    sqlite3* db = c.db;
    const auto* strip = stripWithIndex (*c.session, number);
    const auto name = strip != nullptr ? writtenStripName (*strip) : juce::String();

    auto* on = st.objectName.get();
    if (! bindText (on, 1, name) || sqlite3_bind_int64 (on, 2, chainerId) != SQLITE_OK)
        return bindFailed (db, error);
    if (! runBound (db, on, error))
        return false;
    auto* sc = st.snapshotChainer.get();
    if (sqlite3_bind_int64 (sc, 1, chainerId) != SQLITE_OK || sqlite3_bind_int (sc, 2, -1) != SQLITE_OK || ! bindText (sc, 3, name))
        return bindFailed (db, error);
    if (! runBound (db, sc, error))
        return false;

    const int inputs = strip != nullptr ? strip->inputChannels : 2;
    const int outputs = strip != nullptr ? strip->outputChannels : 2;
    auto* cl = st.chainerLayout.get();
    if (sqlite3_bind_int (cl, 1, inputs) != SQLITE_OK || sqlite3_bind_int (cl, 2, outputs) != SQLITE_OK
        || sqlite3_bind_int (cl, 3, inputs == 1 ? 100 : 101) != SQLITE_OK || sqlite3_bind_int (cl, 4, outputs == 1 ? 100 : 101) != SQLITE_OK
        || sqlite3_bind_int64 (cl, 5, chainerId) != SQLITE_OK)
        return bindFailed (db, error);
    if (! runBound (db, cl, error))
        return false;
    if (strip == nullptr)
        return true;

    c.unmappedParameters += strip->sourceParameters.size();
    const auto addParam = [&] (juce::int64 paramId, double value)
    {
        auto* cp = st.chainerParam.get();
        if (sqlite3_bind_int64 (cp, 1, chainerId) != SQLITE_OK || sqlite3_bind_int (cp, 2, -1) != SQLITE_OK
            || sqlite3_bind_int64 (cp, 3, paramId) != SQLITE_OK || sqlite3_bind_double (cp, 4, value) != SQLITE_OK)
            return bindFailed (db, error);
        return runBound (db, cp, error);
    };
    if (std::abs ((double) strip->outputGainDb) > 0.000001 && ! addParam (c.outputGainId, (double) strip->outputGainDb))
        return false;
    if (strip->bypassed && ! addParam (c.inOnOffId, 0.0))
        return false;

    for (const auto& [isInput, rack, physical] : routesInWritingOrder (*strip))
    {
        auto* r = isInput ? st.inputRoute.get() : st.outputRoute.get();
        const bool bound = isInput ? (sqlite3_bind_int (r, 1, physical) == SQLITE_OK && sqlite3_bind_int (r, 2, number) == SQLITE_OK
                                      && sqlite3_bind_int (r, 3, rack) == SQLITE_OK)
                                   : (sqlite3_bind_int (r, 1, number) == SQLITE_OK && sqlite3_bind_int (r, 2, rack) == SQLITE_OK
                                      && sqlite3_bind_int (r, 3, physical) == SQLITE_OK);
        if (! bound)
            return bindFailed (db, error);
        if (! runBound (db, r, error))
            return false;
    }

    for (int slot = 0; slot < strip->plugins.size(); ++slot)
    {
        const auto& plugin = strip->plugins.getReference (slot);
        if (! plugin.occupied || isAudioUnitFormat (plugin.format))
            continue;
        if (! writePlugin (c, chainerId, slot, plugin, error))
            return false;
    }
    return true;
}

juce::String utf8Text (const char* text) { return juce::String (juce::CharPointer_UTF8 (text)); }

// A session written into a private copy of the template: what the proof and the publication
// need. The folder goes with everything in it when its owner does, or with an interrupted run.
struct SuperRackBuild
{
    PrivateFolder folder;
    juce::File database;
};

// The database SQLite wrote into the private copy, copied to out a piece at a time: the proof's
// read-back is still held while it is copied.
bool copyInPieces (const juce::File& database, juce::OutputStream& out)
{
    int fd = -1;
    juce::int64 size = 0;
    UntrustedFileStamp stamp;
    juce::String ignored;
    if (! openUntrustedFile (database, waves::maxDatabaseFileBytes, fd, size, stamp, ignored))
        return false;
    constexpr juce::int64 pieceBytes = 1 << 20;
    juce::HeapBlock<char> piece ((size_t) juce::jmin (size, pieceBytes) + 1);
    bool copied = true;
    for (juce::int64 done = 0; copied && done < size;)
    {
        const auto n = (size_t) juce::jmin (size - done, pieceBytes);
        copied = readUntrustedPiece (fd, database, piece.get(), n, ignored) && out.write (piece.get(), n);
        done += (juce::int64) n;
    }
    copied = copied && finishUntrustedRead (fd, database, stamp, ignored);
    ::close (fd);
    return copied;
}

// The checks that need neither the template's content nor the output, once the preflight allows:
// success, or the refusal.
Expected<void> checkSourceAndTemplatePath (const RackReadResult& source, const juce::File& hostSaveTemplate)
{
    const auto& session = source.session;
    if (! hasContiguousStripIndices (session))
        return failure ("SuperRack output requires strip indices 0 to " + juce::String (session.strips.size() - 1)
                        + " without gaps or repeats");
    if (hostSaveTemplate == juce::File())
        return failure ("SuperRack writer requires a verified 5.0.0.19 host-save base");
    if (! anythingExistsAt (hostSaveTemplate))
        return failure ("SuperRack template path was provided but the file was not found");
    return success();
}

// The template copied into a private folder of its own, proven unchanged while it was copied; result
// marks a fault of the temporary folder as such.
bool copyTemplate (const juce::File& hostSaveTemplate, SuperRackBuild& build, WriteResult& result, juce::String& message)
{
    const auto failWith = [&message] (const juce::String& text) { message = text; return false; };
    // The template as such, whatever the session: not read whole, changed, not a host save of
    // SuperRack Performer, without what every session written into it needs.
    const auto templateRefused = [&result, &failWith] (const juce::String& text)
    {
        result.refusedPath = RefusedPath::templateFile;
        return failWith (text);
    };
    // The template is copied once (each of its files opened once, as a regular file of bounded
    // size, a hot journal going with it) and then read from the copy, so that what is read and
    // what is written into are the same bytes.
    // What the temporary folder cannot take is its fault, named as such, not the writer's.
    juce::String ignored;
    const auto root = temporaryRoot();
    const auto intoTemporaryFolder = " into the temporary folder " + root.getFullPathName() + " (TMPDIR)";
    if (! makePrivateFolder (root, "vornconv_superrack_", build.folder, ignored))
    {
        const int code = errno;
        result.temporaryFolderFault = true;
        return failWith ("could not copy the SuperRack template" + intoTemporaryFolder + systemReason (code));
    }
    const auto copy = build.database = build.folder.folder.getChildFile ("session.sprk");
    waves::DatabaseCopy templateCopy;
    if (! waves::copyDatabase (hostSaveTemplate, copy, templateCopy))
    {
        if (templateCopy.refusal.isNotEmpty())
            return templateRefused ("SuperRack template is not completely readable: " + templateCopy.refusal);
        result.temporaryFolderFault = true;
        return failWith ((templateCopy.failedPart.isEmpty() ? "could not copy the SuperRack template"
                                                            : "could not copy the SuperRack template's journal sidecar")
                         + intoTemporaryFolder + systemReason (templateCopy.systemError));
    }
    juce::String now;
    if (! waves::sourceFingerprint (hostSaveTemplate, now, ignored) || now != templateCopy.fingerprint)
        return templateRefused ("SuperRack template changed while it was being copied");
    return true;
}

// The copy must hold tables and indexes only, read completely, and be a SuperRack Performer session;
// a refusal is the template's (result says so).
bool checkTemplateCopy (const juce::File& copy, WriteResult& result, juce::String& message)
{
    const auto failWith = [&message] (const juce::String& text) { message = text; return false; };
    const auto templateRefused = [&result, &failWith] (const juce::String& text)
    {
        result.refusedPath = RefusedPath::templateFile;
        return failWith (text);
    };
    // A host save holds tables and indexes only: a trigger would run in the write below (and in
    // the host), a view or virtual table would stand in for what the reader and the proof read.
    {
        waves::Database db;
        juce::String error;
        if (! waves::openDatabase (copy, db, error))
            return failWith ("sqlite open output failed: " + error);
        if (! waves::checkHostShapedSchema (db.handle, "main", "SuperRack template", error))
            return templateRefused (error);
    }
    const auto base = readSuperRackSprk (copy);
    if (! base.isComplete())
        return templateRefused ("SuperRack template is not completely readable" + templateIncompleteReason (base));
    if (base.session.sourceApp != performerApp)
        return templateRefused ("SuperRack template is not a SuperRack Performer session (" + base.session.sourceApp + ")");
    return true;
}

// What writing the session counts for the notes.
struct WrittenCounts
{
    int vendorFallbacks = 0;
    int unmappedParameters = 0;
    int patchedSidechains = 0;
};

// The source's sample rate and buffer size, where it has them, and its strip count as the current
// input track count.
bool writeMixerSettings (const waves::Database& db, const RackSession& session, juce::String& message)
{
    const auto failWith = [&message] (const juce::String& text) { message = text; return false; };
    juce::String error;
    juce::StringArray assignments;
    const double rate = session.sampleRate;
    if (rate > 0)
    {
        if (! std::isfinite (rate) || rate > 2147483647.0)
            return failWith ("source sample rate cannot be represented by SuperRack");
        assignments.add ("sample_rate_preference=-1");
        assignments.add ("user_sample_rate=" + juce::String ((juce::int64) std::round (rate)));
    }
    if (session.bufferSize >= 1)
        assignments.add ("native_buffer_size=" + juce::String (session.bufferSize));
    if (! assignments.isEmpty())
    {
        error.clear();
        if (! waves::execute (db.handle, "UPDATE mixer_settings SET " + assignments.joinIntoString (","), error)
            || sqlite3_changes (db.handle) != 1)
            return failWith ("could not set SuperRack sample-rate/buffer settings" + (error.isNotEmpty() ? ": " + error : juce::String()));
    }

    if (! waves::execute (db.handle, "UPDATE config_info SET num_tracks=" + juce::String (session.strips.size()) + " WHERE track_type=0", error))
        return failWith ("could not set SuperRack current input track count: " + error);
    return true;
}

// The template's own session content goes: its snapshots, plug-ins, presets and the physical routes
// of input 0.
bool clearTemplateContent (const waves::Database& db, juce::String& message)
{
    const auto failWith = [&message] (const juce::String& text) { message = text; return false; };
    juce::String error;
    if (! waves::execute (db.handle,
                          "DELETE FROM snapshot_assignment;DELETE FROM snapshot_chainer_params;DELETE FROM snapshot_chainer;DELETE FROM "
                          "snapshot_hot_plugins;DELETE FROM snapshot_iom;DELETE FROM snapshot_mute_group;DELETE FROM "
                          "snapshot_output_chainer_preset;DELETE FROM snapshot_plugin;DELETE FROM snapshot_scope_settings;DELETE FROM "
                          "chainer_snapshot_scope_settings;DELETE FROM hot_snapshots;DELETE FROM recalled_snapshot;DELETE FROM "
                          "plug_sidechain;DELETE FROM hot_plug;DELETE FROM plug;DELETE FROM plugin_preset;DELETE FROM snapshot;DELETE "
                          "FROM routes WHERE (src_cluster_type=10 AND src_cluster_type_index=0 AND dst_cluster_type=0  AND "
                          "dst_section_type=0 AND dst_section_index=0) OR (src_cluster_type=0 AND src_section_type=-1 AND "
                          "src_section_index=0  AND dst_cluster_type=11 AND dst_cluster_type_index=0);",
                          error))
        return failWith ("could not clear template session content: " + error);
    return true;
}

// The active snapshot, carrying the converter's metadata, and selected.
bool writeActiveSnapshot (const waves::Database& db, const RackSession& session, const Vst3ModuleIndex& index, juce::String& message)
{
    const auto failWith = [&message] (const juce::String& text) { message = text; return false; };
    juce::String error;
    {
        waves::Statement snapshot;
        if (! waves::prepare (db.handle, "INSERT INTO snapshot(id,number,name,note,info,tempo,sync_tempo) VALUES(-1,-1,'Active',?,?,120,0)",
                              snapshot, error))
            return failWith ("could not create active snapshot: " + error);
        const auto sourceName = juce::File::getCurrentWorkingDirectory().getChildFile (session.sourceFile).getFileNameWithoutExtension();
        const auto info = buildConverterSnapshotInfo (session, index);
        if (info.getNumBytesAsUTF8() > superRackMetadata::maxBytes)
            return failWith (superRackMetadata::tooLargeMessage);
        if (! bindText (snapshot.handle, 1, "Converted from " + sourceName + " by Vorn Converter") || ! bindText (snapshot.handle, 2, info))
            return failWith ("could not save active snapshot: " + utf8::toTextReplacingMalformed (sqlite3_errmsg (db.handle)));
        if (! runBound (db.handle, snapshot.handle, error))
            return failWith ("could not save active snapshot: " + error);
    }
    if (! waves::execute (db.handle, "INSERT INTO recalled_snapshot(number) VALUES(-1)", error))
        return failWith ("could not select active SuperRack snapshot: " + error);
    return true;
}

// The session written into the template copy in one transaction: every slot's plug-in encoding
// resolved from the template, the mixer settings, the template's content cleared, the active
// snapshot and every chainer; the keys are checked before the commit.
bool writeSessionInto (const juce::File& copy, const RackSession& session, const Vst3ModuleIndex& index, WrittenCounts& counts,
                       WriteResult& result, juce::String& message)
{
    const auto failWith = [&message] (const juce::String& text) { message = text; return false; };
    waves::Database db;
    juce::String error;
    if (! waves::openDatabase (copy, db, error))
        return failWith ("sqlite open output failed: " + error);

    // What every session written into the template needs of it: a refusal is the template's.
    const auto preflightFailed = [&] (const juce::String& e)
    {
        result.refusedPath = RefusedPath::templateFile;
        return failWith ("SuperRack template preflight failed: " + e);
    };
    std::vector<juce::int64> chainers;
    TemplatePluginMetadata templateMetadata;
    juce::int64 outputGainId = 0, inOnOffId = 0;
    if (! waves::execute (db.handle, "PRAGMA foreign_keys=ON", error)
        || ! readInputChainers (db.handle, chainers, chainerCapacity, error)
        || ! collectTemplatePluginEncodings (db.handle, templateMetadata, error)
        || ! findChainerParameterId (db.handle, "PARAM_OUTPUT_GAIN", outputGainId, error)
        || ! findChainerParameterId (db.handle, "PARAM_IN_ON_OFF", inOnOffId, error))
        return preflightFailed (error);

    const auto resolution = resolvePluginEncodings (session, index, templateMetadata);
    if (! resolution.ok)
        return failWith (resolution.error);
    counts.vendorFallbacks = resolution.vendorFallbacks;

    if (! waves::execute (db.handle, "BEGIN IMMEDIATE", error))
        return failWith ("could not begin SuperRack output transaction: " + error);
    RollbackGuard rollback { db.handle, true };

    if (! writeMixerSettings (db, session, message) || ! clearTemplateContent (db, message)
        || ! writeActiveSnapshot (db, session, index, message))
        return false;

    Statements statements;
    if (! prepareStatements (db.handle, statements, error))
        return failWith ("could not prepare SuperRack insert statements: " + error);

    ChainerContext context { db.handle, &statements, &session, &index, &resolution.byCid, outputGainId, inOnOffId };
    for (int i = 0; i < chainerCapacity; ++i)
        if (! writeChainer (context, i, chainers[(size_t) i], error))
            return failWith ("could not write SuperRack session: " + error);
    counts.unmappedParameters = context.unmappedParameters;
    counts.patchedSidechains = context.patchedSidechains;

    if (! validateForeignKeys (db.handle, error) || ! waves::execute (db.handle, "COMMIT", error))
        return failWith ("could not finalise SuperRack output: " + error);
    rollback.active = false;
    if (! waves::execute (db.handle, "PRAGMA wal_checkpoint(TRUNCATE)", error))
        return failWith ("could not finalise SuperRack output: " + error);
    return true;
}

// The notes of what the written session does not carry as the source has it, or carries another way.
void noteWhatIsNotCarried (const RackSession& session, const ConversionPlan& plan, const WrittenCounts& counts, WriteResult& result)
{
    const auto [vendorFallbacks, unmappedParameters, patchedSidechains] = counts;
    if (unmappedParameters > 0)
        result.notes.add (juce::String (unmappedParameters) + utf8Text (" Vorn mixer parameter는 SuperRack 의미 매핑이 미검증이라 출력하지 않았다"));
    if (patchedSidechains > 0)
        result.notes.add (juce::String (patchedSidechains) + utf8Text (" Vorn sidechain source를 source strip physical input으로 patch했다"));
    if (! (session.sampleRate > 0))
    {
        result.notes.add (utf8Text ("source sample rate가 없어 SuperRack base 설정을 유지했다"));
        result.notedFields.add (ledgerField::sampleRate);
    }
    if (session.bufferSize < 1)
    {
        result.notes.add (utf8Text ("source buffer size가 없어 SuperRack base 설정을 유지했다"));
        result.notedFields.add (ledgerField::bufferSize);
    }
    if (session.inputDevice.isNotEmpty() || session.outputDevice.isNotEmpty())
    {
        result.notes.add ("SuperRack has no verified session field for audio device identity; source device names were not transferred");
        result.notedFields.addArray ({ ledgerField::inputDevice, ledgerField::outputDevice });
    }
    if (vendorFallbacks > 0)
        result.notes.add (juce::String (vendorFallbacks)
                          + utf8Text (" plugin CID는 template에 없어서 동일 vendor의 검증된 SuperRack VST3 metadata를 적용했다; host load 검증이 필요하다"));
    if (plan.auComplete > 0)
    {
        result.notes.add (juce::String (plan.auComplete)
                          + utf8Text (" AU slot은 SuperRack Performer가 지원하지 않아 host graph에서 제외하고 사용 불가/비활성 메타데이터로 보존했다"));
        result.notedFields.add (ledgerField::pluginBypassed);
    }

    // What the written session cannot hold is said, not dropped in silence.
    int colours = 0, auSettings = 0;
    for (const auto& strip : session.strips)
    {
        colours += strip.hasColour ? 1 : 0;
        for (const auto& plugin : strip.plugins)
            if (plugin.occupied && isAudioUnitFormat (plugin.format)
                && (plugin.muted || plugin.sidechainSource >= 0 || (plugin.state.parameterMirrorComplete && ! plugin.state.parameters.isEmpty())))
                ++auSettings;
    }
    if (colours > 0)
    {
        result.notes.add (juce::String (colours) + " strip colours were not transferred: SuperRack has no verified colour field");
        result.notedFields.add (ledgerField::stripColour);
    }
    if (auSettings > 0)
    {
        result.notes.add (juce::String (auSettings)
                          + " AU slot mute, sidechain or parameter mirror settings were not transferred: the unavailable AU record keeps identity and state only");
        result.notedFields.addArray ({ ledgerField::pluginMuted, ledgerField::pluginSidechainSource, ledgerField::parameterSha256,
                                       ledgerField::parameterValuesSha256, ledgerField::parameterMirrorComplete });
    }
}

// The template copied into a private folder and read there, the session written into that copy in
// one transaction, and the notes of what was not carried (into result, which also says whether a
// refusal is the template's or the temporary folder's); or the refusal.
Expected<void> buildSuperRackSession (const RackReadResult& source, const Vst3ModuleIndex& index, const juce::File& hostSaveTemplate,
                                      const ConversionPlan& plan, SuperRackBuild& build, WriteResult& result)
{
    const auto& session = source.session;
    juce::String error;
    WrittenCounts counts;
    if (! copyTemplate (hostSaveTemplate, build, result, error) || ! checkTemplateCopy (build.database, result, error)
        || ! writeSessionInto (build.database, session, index, counts, result, error))
        return failure (error);
    noteWhatIsNotCarried (session, plan, counts, result);
    return success();
}

juce::String boolText (bool value) { return value ? "true" : "false"; }

// The read as a whole: complete, a Performer session with the source's plug-ins in one snapshot,
// at the source's sample rate and buffer size. Success when it may be compared.
Expected<void> acceptReadBack (const RackSession& source, const RackReadResult& read)
{
    juce::String detail;
    const auto& got = read.session;
    if (! read.ok)
        detail = "SuperRack reader failed";
    else if (read.status != readComplete)
    {
        detail = "SuperRack reader reported incomplete session semantics";
        juce::StringArray soft;
        for (const auto& note : got.notes)
            if (note.fidelity != Fidelity::lossless)
                soft.add (note.code + ": " + note.text);
        if (! soft.isEmpty())
            detail << " (" << soft.joinIntoString ("; ") << ")";
    }
    else if (got.sourceApp != performerApp)
        detail = "written session is not read as a SuperRack Performer session (" + got.sourceApp + ")";
    else if (got.countPlugins() != source.countPlugins())
        detail = "plugin count differs (source=" + juce::String (source.countPlugins()) + ", output=" + juce::String (got.countPlugins()) + ")";
    else if (got.snapshots.size() != 1)
        detail = "snapshot count differs (expected 1, output=" + juce::String (got.snapshots.size()) + ")";
    else if (source.sampleRate > 0 && ! withinTolerance (got.sampleRate, source.sampleRate, tolerance::sampleRate))
        detail = "sample rate differs (source=" + juce::String (source.sampleRate, 3) + ", output=" + juce::String (got.sampleRate, 3) + ")";
    else if (source.bufferSize >= 1 && got.bufferSize != source.bufferSize)
        detail = "buffer size differs (source=" + juce::String (source.bufferSize) + ", output=" + juce::String (got.bufferSize) + ")";
    if (detail.isEmpty())
        return success();
    auto message = "written SuperRack session failed converter reread validation: " + detail;
    if (read.error.isNotEmpty())
        message << " (" << read.error << ")";
    return failure (message);
}

// What a correct session reads back as: every strip with all its fields (named as the host names
// an unnamed input), every hosted plug-in with the class id the writer resolved, its bypass (an
// unavailable plug-in is written disabled and reads back active), mute, sidechain and state bytes,
// and every AudioUnit as the unavailable, inactive, bypassed record that keeps its identity and
// state. The session fields were checked as the read was accepted; the parameter mirrors and the
// pending-state flags are proven by the writer's own checks.
RackSession expectedSession (const RackSession& source, const Vst3ModuleIndex& index)
{
    RackSession expected;
    for (const auto& strip : source.strips)
    {
        auto want = copyWithoutSlots (strip);
        want.name = writtenStripName (strip);
        auto& c = want.coverage;
        c.name = c.inputGain = c.outputGain = c.pan = c.mute = c.solo = c.bypass = c.channelLayout = c.route = true;
        for (const auto& slot : strip.plugins)
        {
            if (! slot.occupied)
            {
                want.plugins.add (PluginRef());
                continue;
            }
            const bool audioUnit = isAudioUnitFormat (slot.format);
            auto p = copyForStateComparison (slot, audioUnit);
            p.coverage.identity = p.coverage.activation = p.coverage.state = true;
            if (audioUnit)
            {
                p.format = "AU";
                p.bypassed = p.inactive = true;
                p.coverage.mute = p.coverage.sidechain = false;
            }
            else
            {
                p.format = "VST3";
                p.classId = index.classIdOf (slot);
                p.bypassed = slot.bypassed || slot.unavailable;
                p.inactive = slot.unavailable ? false : slot.inactive;
                p.coverage.mute = p.coverage.sidechain = true;
            }
            want.plugins.add (std::move (p));
        }
        expected.strips.add (std::move (want));
    }
    return expected;
}

// The checks the session needs beyond the comparison: a hosted plug-in's parameter mirror byte
// for byte and its pending-state flag, and the unavailable flag of an AudioUnit record.
void checkMirrorsAndRecords (const RackSession& source, const RackSession& expected, const RackReadResult& read,
                             juce::Array<RackSemanticMismatch>& mismatches)
{
    for (int i = 0; i < expected.strips.size(); ++i)
    {
        const auto& want = expected.strips.getReference (i);
        const auto& origin = source.strips.getReference (i);
        const auto* have = stripWithIndex (read.session, want.index);
        if (have == nullptr)
            continue;
        for (int k = 0; k < want.plugins.size() && k < have->plugins.size(); ++k)
        {
            const auto& w = want.plugins.getReference (k);
            const auto& h = have->plugins.getReference (k);
            if (! w.occupied || ! h.occupied)
                continue;
            const auto path = semanticSlotPath (want.index, k);
            if (w.format == "AU")
            {
                if (! h.unavailable)
                    mismatches.add ({ path, "unavailable", "true", "false" });
                continue;
            }
            const auto& o = origin.plugins.getReference (k).state;
            if (h.state.parameterMirrorComplete != o.parameterMirrorComplete)
                mismatches.add ({ path, "state.parameterMirrorComplete", boolText (o.parameterMirrorComplete),
                                  boolText (h.state.parameterMirrorComplete) });
            else if (o.parameterMirrorComplete && ! sameBytes (h.state.parameters, o.parameters))
                mismatches.add ({ path, "state.parameters", "exact bytes", "different bytes" });
            if (h.state.opaqueStatePending != o.opaqueStatePending)
                mismatches.add ({ path, "state.opaqueStatePending", boolText (o.opaqueStatePending), boolText (h.state.opaqueStatePending) });
        }
    }
}

// The refusal in the order the session is proven: strip by strip, its fields, then its slots.
juce::String refusalFor (const RackSession& expected, const RackSession& actual, const RackSemanticComparison& comparison)
{
    const FirstMismatches first (comparison);
    for (const auto& want : expected.strips)
    {
        const juce::String where (want.index);
        const auto* have = stripWithIndex (actual, want.index);
        const auto* stripMismatch = first.at (semanticStripPath (want.index));
        if (have == nullptr || stripMismatch != nullptr)
        {
            const auto message = have == nullptr ? "written SuperRack session lost strip " + where
                                                 : "written SuperRack strip semantics differ at strip " + where;
            return stripMismatch != nullptr ? refusalNaming (message, *stripMismatch) : message;
        }
        for (int k = 0; k < want.plugins.size(); ++k)
        {
            const auto& slot = want.plugins.getReference (k);
            if (! slot.occupied)
                continue;
            const auto* m = first.at (semanticSlotPath (want.index, k));
            if (k >= have->plugins.size())
                return m != nullptr ? refusalNaming ("written SuperRack session lost plugin slot", *m)
                                    : juce::String ("written SuperRack session lost plugin slot");
            if (m != nullptr)
                return refusalNaming ((slot.format == "AU" ? "written SuperRack unavailable AU metadata differs at strip "
                                                           : "written SuperRack state differs at strip ")
                                          + where + ", slot " + juce::String (k),
                                      *m);
        }
    }
    return refusalNaming ("written SuperRack session failed converter reread validation", comparison.mismatches.getReference (0));
}

ReadBackProof superRackProof (const RackSession& source, const Vst3ModuleIndex& index)
{
    ReadBackProof proof;
    proof.accept = [&source] (const RackReadResult& read) { return acceptReadBack (source, read); };
    proof.expected = [&source, &index]() -> Expected<RackSession> { return expectedSession (source, index); };
    proof.ownChecks = [&source] (const RackSession& expected, const RackReadResult& read, juce::Array<RackSemanticMismatch>& mismatches)
    {
        checkMirrorsAndRecords (source, expected, read, mismatches);
    };
    proof.refusal = refusalFor;
    return proof;
}

} // namespace

namespace
{

// The write's steps once the source and the template path are checked: the session written into
// a private copy of the template when the output is claimed (or, for a check, at once), proven
// there with the SuperRack reader, then copied into the temporary file beside the output through
// its own descriptor. The notes of what was not carried go into result.
VerifiedOutput superRackSteps (const RackReadResult& source, const Vst3ModuleIndex& index, const juce::File& hostSaveTemplate,
                               const ConversionPlan& plan, SuperRackBuild& build, WriteResult& result)
{
    VerifiedOutput steps;
    steps.prepare = [&source, &index, &hostSaveTemplate, &plan, &build, &result]
    {
        return buildSuperRackSession (source, index, hostSaveTemplate, plan, build, result);
    };
    steps.documentFile = [&build] { return build.database; };
    steps.writeDocument = [&build] (juce::OutputStream& out) { return copyInPieces (build.database, out); };
    steps.documentWritten = [&build] { build.folder.remove(); };
    readBackWith (steps, superRackSprkOutput);
    steps.ledger.carried = &source.session;
    steps.proof = superRackProof (source.session, index);
    steps.writeFailed = "could not write SuperRack temporary output";
    steps.commitFailed = "atomic SuperRack output move failed: ";
    return steps;
}

// The SuperRack writer in the shell every writer's check and write runs in.
PlannedWrite superRackWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                             const juce::File& hostSaveTemplate, SuperRackBuild& build)
{
    PlannedWrite write;
    write.target = superRackSprkOutput.target;
    write.blocked = "RAPP preflight blocked SuperRack output";
    write.admit = [&source, &hostSaveTemplate] (WriteResult&) { return checkSourceAndTemplatePath (source, hostSaveTemplate); };
    write.steps = [&source, &index, &hostSaveTemplate, &plan, &build] (WriteResult& result)
    {
        return superRackSteps (source, index, hostSaveTemplate, plan, build, result);
    };
    write.committed = [] (WriteResult& result)
    {
        result.notes.add ("converter exact reread passed; SuperRack host load/DSP validation pending");
    };
    return write;
}

} // namespace

const OutputHost superRackSprkOutput = []
{
    OutputHost host;
    host.target = targetSuperRackPerformer;
    host.hostName = "SuperRack";
    host.documents = "sessions";
    host.readers.file = readSuperRackSprk;
    return host;
}();

WriteResult checkSuperRackSprkWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                     const WriteOptions& options)
{
    SuperRackBuild build;
    return checkPlannedWrite (plan, superRackWrite (source, index, plan, options.templateFile, build));
}

WriteResult writeSuperRackSprk (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                const WriteOptions& options)
{
    SuperRackBuild build;
    return writePlannedOutput (plan, superRackWrite (source, index, plan, options.templateFile, build), options.output);
}

} // namespace vornconv::rapp
