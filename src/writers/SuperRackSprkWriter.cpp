#include "writers/SuperRackSprkWriter.h"

#include "model/Vst3State.h"
#include "rapp/Vst3ModuleIndex.h"
#include "waves/WavesSessionTransfer.h"

#include <cstring>

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

// Bytes of a text that JUCE can hold unchanged: valid UTF-8 without an embedded NUL (a JUCE
// text would end at it).
bool isPlainUtf8 (const char* bytes, int size)
{
    return size == 0
        || (std::memchr (bytes, 0, (size_t) size) == nullptr && juce::CharPointer_UTF8::isValidString (bytes, size));
}

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
    if (text == nullptr || size < 0 || size > maxMetadataColumnBytes || ! isPlainUtf8 (text, size))
        return false;
    out = juce::String::fromUTF8 (text, size);
    return true;
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
    if (text == nullptr || ! isPlainUtf8 (text, size))
        return {};
    const auto preset = vst3::parseSuperRackPreset (juce::String::fromUTF8 (text, size));
    return preset.ok ? preset.classId.toUpperCase() : juce::String();
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
    const auto wanted = juce::String (classId).toUpperCase();
    for (const auto& row : SuperRackNativeProfile::plugins)
        if (wanted == row.cid)
            return &row;
    return nullptr;
}

juce::String resolvedClassId (const PluginRef& plugin, const Vst3ModuleIndex& index)
{
    if (plugin.classId.isNotEmpty())
        return plugin.classId.toUpperCase();
    return index.resolveClassId (plugin);
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

            const auto cid = resolvedClassId (slot, index);
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

} // namespace vornconv::rapp
