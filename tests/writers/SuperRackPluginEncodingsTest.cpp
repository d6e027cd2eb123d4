#include "RackBuilders.h"

#include "model/Vst3State.h"
#include "rapp/Vst3ModuleIndex.h"
#include "writers/SuperRackSprkWriter.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <set>
#include <vector>

using namespace vornconv;
using vorntest::vst3Slot;

namespace
{

const juce::String fabFilterCid = "ED57BD725C60467EA64DD2F400758B6F"; // in the built-in table, "VS2S"
const juce::String soundtoysCid = "5653544C504C386C6974746C65706C61"; // in the built-in table, "VS0S"
const juce::String unknownCid = "00112233445566778899AABBCCDDEEFF";
const juce::String otherCid = "0123456789ABCDEF0123456789ABCDEF";

juce::String presetFor (const juce::String& cid)
{
    return vst3::buildSuperRackPreset (cid, juce::MemoryBlock ("ABC", 3), juce::MemoryBlock ("xy", 2));
}

// One template plug-in as stored: each value is an SQL literal, so NULL and wrongly typed values
// can be stored too.
struct TemplateRow
{
    juce::String plugin4cc;
    juce::String additionalInfo;
    juce::String vendor;
    juce::String preset;
};

juce::String quoted (const juce::String& text)
{
    return "'" + text.replace ("'", "''").replace ("\n", "'||char(10)||'") + "'";
}

TemplateRow row (const juce::String& plugin4cc, const juce::String& info, const juce::String& vendor, const juce::String& cid)
{
    return { quoted (plugin4cc), quoted (info), quoted (vendor), quoted (presetFor (cid)) };
}

TemplateRow derivedRow (const juce::String& plugin4cc, const juce::String& vendor, const juce::String& cid)
{
    return row (plugin4cc, rapp::makeAdditionalInfo (cid), vendor, cid);
}

// The three tables the collection joins, in a private in-memory database.
struct TemplateDatabase
{
    sqlite3* db = nullptr;

    explicit TemplateDatabase (const std::vector<TemplateRow>& rows, bool withPresetTable = true)
    {
        EXPECT_EQ (sqlite3_open (":memory:", &db), SQLITE_OK);
        juce::String sql = "CREATE TABLE plug(id INTEGER PRIMARY KEY, plugin_4cc TEXT, additional_info TEXT, vendor_name);" // untyped: a number stays a number
                           "CREATE TABLE snapshot_plugin(id INTEGER PRIMARY KEY, plug_id INTEGER, preset_id INTEGER, snapshot_id INTEGER);";
        if (withPresetTable)
            sql << "CREATE TABLE plugin_preset(id INTEGER PRIMARY KEY, hash TEXT UNIQUE, preset);";
        int id = 1;
        for (const auto& r : rows)
        {
            const juce::String n (id++);
            sql << "INSERT INTO plug VALUES(" << n << "," << r.plugin4cc << "," << r.additionalInfo << "," << r.vendor << ");"
                << "INSERT INTO snapshot_plugin VALUES(" << n << "," << n << "," << n << ",-1);";
            if (withPresetTable)
                sql << "INSERT INTO plugin_preset VALUES(" << n << ",'h" << n << "'," << r.preset << ");";
        }
        char* message = nullptr;
        EXPECT_EQ (sqlite3_exec (db, sql.toRawUTF8(), nullptr, nullptr, &message), SQLITE_OK) << (message != nullptr ? message : "");
        sqlite3_free (message);
    }

    ~TemplateDatabase() { sqlite3_close (db); }
};

RackSession sessionWith (const std::vector<std::vector<PluginRef>>& strips)
{
    RackSession session;
    session.strips = vorntest::stripsOf (strips);
    return session;
}

rapp::TemplatePluginMetadata metadataOf (std::map<juce::String, rapp::TemplatePluginEncoding> byCid,
                                         std::map<juce::String, juce::String> byVendor)
{
    rapp::TemplatePluginMetadata m;
    m.byCid = std::move (byCid);
    m.byVendor = std::move (byVendor);
    return m;
}

} // namespace

TEST (SuperRackAdditionalInfo, DerivesTwoBase64LinesFromTheClassIdBytesAndRefusesAnythingElse)
{
    struct Case
    {
        juce::String cid;
        juce::String expected;
    };
    const Case cases[] = {
        { fabFilterCid, "7Ve9\nclxgRn6mTdL0AHWLbw==" },
        { unknownCid, "ABEi\nM0RVZneImaq7zN3u/w==" },
        { soundtoysCid, "VlNU\nTFBMOGxpdHRsZXBsYQ==" },
        { fabFilterCid.toLowerCase(), "7Ve9\nclxgRn6mTdL0AHWLbw==" },
        { fabFilterCid.dropLastCharacters (1), "" },
        { fabFilterCid + "0", "" },
        { fabFilterCid.replaceSection (4, 1, "G"), "" },
        { fabFilterCid.replaceSection (4, 1, " "), "" },
        { fabFilterCid.replaceSection (4, 1, juce::String::charToString ((juce::juce_wchar) 0xE9)), "" },
        { "", "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (rapp::makeAdditionalInfo (c.cid), c.expected) << c.cid;
}

TEST (SuperRackNativeProfile, HoldsSeventeenDistinctUpperCaseClassesFoundInAnyCase)
{
    std::set<juce::String> ids;
    std::set<juce::String> vs2s;
    for (const auto& plugin : rapp::SuperRackNativeProfile::plugins)
    {
        const juce::String cid (plugin.cid);
        EXPECT_TRUE (isHexClassId (cid) && cid == cid.toUpperCase()) << cid;
        EXPECT_TRUE (juce::String (plugin.plugin4cc) == "VS0S" || juce::String (plugin.plugin4cc) == "VS2S") << cid;
        EXPECT_EQ (rapp::nativePluginForCid (cid.toLowerCase()), &plugin) << cid;
        ids.insert (cid);
        if (juce::String (plugin.plugin4cc) == "VS2S")
            vs2s.insert (cid);
    }
    EXPECT_EQ (ids.size(), rapp::SuperRackNativeProfile::plugins.size());
    const std::set<juce::String> expectedVs2s { "20301A062A1843898BBD1C43E26A2250", "ABCDEF019182FAEB4F656B5353746833", fabFilterCid,
                                                "56535437485031736576656E74682068" };
    EXPECT_EQ (vs2s, expectedVs2s);

    const auto* fabFilter = rapp::nativePluginForCid (fabFilterCid);
    ASSERT_NE (fabFilter, nullptr);
    EXPECT_STREQ (fabFilter->vendor, "FabFilter");
    EXPECT_EQ (rapp::nativePluginForCid (unknownCid), nullptr);
    EXPECT_EQ (rapp::nativePluginForCid (fabFilterCid.dropLastCharacters (1)), nullptr);
}

TEST (SuperRackTemplateEncodings, CollectsClassesAndVendorsFromTheTemplatePlugins)
{
    const TemplateRow unparsable { "'XXXX'", "'other'", "'Acme'", "'QVU='||char(10)||'AAAA'" };
    const TemplateRow nullColumns { "NULL", "NULL", "NULL", quoted (presetFor (otherCid)) };

    struct Case
    {
        const char* what;
        std::vector<TemplateRow> rows;
        std::map<juce::String, rapp::TemplatePluginEncoding> byCid;
        std::map<juce::String, juce::String> byVendor;
    };
    const Case cases[] = {
        { "one class twice with equal values",
          { derivedRow ("VS2S", "FabFilter", fabFilterCid), derivedRow ("VS2S", "FabFilter", fabFilterCid) },
          { { fabFilterCid, { "VS2S", rapp::makeAdditionalInfo (fabFilterCid) } } },
          { { "FabFilter", "VS2S" } } },
        { "one vendor, two classes, one 4cc",
          { derivedRow ("VS2S", "Acme", unknownCid), derivedRow ("VS2S", "Acme", otherCid) },
          { { unknownCid, { "VS2S", rapp::makeAdditionalInfo (unknownCid) } },
            { otherCid, { "VS2S", rapp::makeAdditionalInfo (otherCid) } } },
          { { "Acme", "VS2S" } } },
        { "one vendor whose two classes disagree keeps no 4cc, not even the first",
          { derivedRow ("VS2S", "Acme", unknownCid), derivedRow ("VS0S", "Acme", otherCid) },
          { { unknownCid, { "VS2S", rapp::makeAdditionalInfo (unknownCid) } },
            { otherCid, { "VS0S", rapp::makeAdditionalInfo (otherCid) } } },
          { { "Acme", "" } } },
        { "a vendor lost once stays lost although later rows agree with the first",
          { derivedRow ("VS2S", "Acme", unknownCid), derivedRow ("VS0S", "Acme", otherCid),
            derivedRow ("VS2S", "Acme", fabFilterCid) },
          { { unknownCid, { "VS2S", rapp::makeAdditionalInfo (unknownCid) } },
            { otherCid, { "VS0S", rapp::makeAdditionalInfo (otherCid) } },
            { fabFilterCid, { "VS2S", rapp::makeAdditionalInfo (fabFilterCid) } } },
          { { "Acme", "" } } },
        { "an additional info that is not derived from the class serves the class but not its vendor",
          { row ("VS0S", "hand made", "Acme", unknownCid) },
          { { unknownCid, { "VS0S", "hand made" } } },
          { { "Acme", "" } } },
        { "a later row with a non-derived additional info ends its vendor",
          { derivedRow ("VS0S", "Acme", unknownCid), row ("VS0S", "hand made", "Acme", otherCid) },
          { { unknownCid, { "VS0S", rapp::makeAdditionalInfo (unknownCid) } }, { otherCid, { "VS0S", "hand made" } } },
          { { "Acme", "" } } },
        { "vendors are told apart by exact case",
          { derivedRow ("VS2S", "FabFilter", fabFilterCid), derivedRow ("VS0S", "Fabfilter", otherCid) },
          { { fabFilterCid, { "VS2S", rapp::makeAdditionalInfo (fabFilterCid) } },
            { otherCid, { "VS0S", rapp::makeAdditionalInfo (otherCid) } } },
          { { "FabFilter", "VS2S" }, { "Fabfilter", "VS0S" } } },
        { "a preset that does not parse is skipped, conflicting values and all",
          { derivedRow ("VS2S", "Acme", unknownCid), unparsable },
          { { unknownCid, { "VS2S", rapp::makeAdditionalInfo (unknownCid) } } },
          { { "Acme", "VS2S" } } },
        { "NULL columns read as empty texts and an empty vendor gives no vendor entry",
          { nullColumns },
          { { otherCid, { "", "" } } },
          {} },
        { "a preset stored as a blob names its class like a text",
          { { "'VS0S'", quoted (rapp::makeAdditionalInfo (unknownCid)), "'Acme'", "CAST(" + quoted (presetFor (unknownCid)) + " AS BLOB)" } },
          { { unknownCid, { "VS0S", rapp::makeAdditionalInfo (unknownCid) } } },
          { { "Acme", "VS0S" } } },
        { "a preset whose class id was written in lower case is keyed in upper case",
          { derivedRow ("VS0S", "Acme", unknownCid.toLowerCase()) },
          { { unknownCid, { "VS0S", rapp::makeAdditionalInfo (unknownCid) } } },
          { { "Acme", "VS0S" } } },
        { "NULL and an empty text are the same value",
          { { "NULL", "NULL", "'Acme'", quoted (presetFor (unknownCid)) }, { "''", "''", "'Acme'", quoted (presetFor (unknownCid)) } },
          { { unknownCid, { "", "" } } },
          { { "Acme", "" } } },
        { "no plug-ins", {}, {}, {} },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        TemplateDatabase t (c.rows);
        rapp::TemplatePluginMetadata metadata;
        metadata.byVendor["stale"] = "VS0S"; // what a caller had before must not survive
        juce::String error;
        ASSERT_TRUE (rapp::collectTemplatePluginEncodings (t.db, metadata, error)) << error;
        ASSERT_EQ (metadata.byCid.size(), c.byCid.size());
        for (const auto& [cid, expected] : c.byCid)
        {
            ASSERT_EQ (metadata.byCid.count (cid), 1u) << cid;
            EXPECT_EQ (metadata.byCid.at (cid).plugin4cc, expected.plugin4cc) << cid;
            EXPECT_EQ (metadata.byCid.at (cid).additionalInfo, expected.additionalInfo) << cid;
        }
        EXPECT_EQ (metadata.byVendor, c.byVendor);
    }
}

TEST (SuperRackTemplateEncodings, RefusesConflictingOrUnprovableTemplateValues)
{
    const juce::String longText = juce::String::repeatedString ("A", 5000);
    struct Case
    {
        const char* what;
        std::vector<TemplateRow> rows;
        juce::String error;
    };
    const Case cases[] = {
        { "one class with two 4cc values",
          { derivedRow ("VS2S", "FabFilter", fabFilterCid), derivedRow ("VS0S", "FabFilter", fabFilterCid) },
          "template has conflicting SuperRack metadata for VST3 CID " + fabFilterCid },
        { "one class with two additional infos",
          { derivedRow ("VS2S", "FabFilter", fabFilterCid), row ("VS2S", "other", "FabFilter", fabFilterCid) },
          "template has conflicting SuperRack metadata for VST3 CID " + fabFilterCid },
        { "one class stored once without values and once with them",
          { { "NULL", "NULL", "'Acme'", quoted (presetFor (unknownCid)) }, derivedRow ("VS2S", "Acme", unknownCid) },
          "template has conflicting SuperRack metadata for VST3 CID " + unknownCid },
        { "a 4cc stored as a blob",
          { { "X'56533053'", quoted (rapp::makeAdditionalInfo (unknownCid)), "'Acme'", quoted (presetFor (unknownCid)) } },
          "template has invalid SuperRack metadata column plugin_4cc for VST3 CID " + unknownCid },
        { "a vendor stored as a number",
          { { "'VS0S'", quoted (rapp::makeAdditionalInfo (unknownCid)), "7", quoted (presetFor (unknownCid)) } },
          "template has invalid SuperRack metadata column vendor_name for VST3 CID " + unknownCid },
        { "an additional info stored as a blob",
          { { "'VS0S'", "X'41'", "'Acme'", quoted (presetFor (unknownCid)) } },
          "template has invalid SuperRack metadata column additional_info for VST3 CID " + unknownCid },
        { "a vendor with an embedded NUL",
          { { "'VS0S'", quoted (rapp::makeAdditionalInfo (unknownCid)), "CAST(X'416300' AS TEXT)", quoted (presetFor (unknownCid)) } },
          "template has invalid SuperRack metadata column vendor_name for VST3 CID " + unknownCid },
        { "a vendor that is not UTF-8",
          { { "'VS0S'", quoted (rapp::makeAdditionalInfo (unknownCid)), "CAST(X'41FF' AS TEXT)", quoted (presetFor (unknownCid)) } },
          "template has invalid SuperRack metadata column vendor_name for VST3 CID " + unknownCid },
        { "an oversized 4cc",
          { { quoted (longText), quoted (rapp::makeAdditionalInfo (unknownCid)), "'Acme'", quoted (presetFor (unknownCid)) } },
          "template has invalid SuperRack metadata column plugin_4cc for VST3 CID " + unknownCid },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        TemplateDatabase t (c.rows);
        rapp::TemplatePluginMetadata metadata;
        juce::String error;
        EXPECT_FALSE (rapp::collectTemplatePluginEncodings (t.db, metadata, error));
        EXPECT_EQ (error, c.error);
        EXPECT_TRUE (metadata.byCid.empty() && metadata.byVendor.empty());
    }

    // A wrongly typed value on a row that is skipped anyway is never looked at.
    {
        TemplateDatabase t ({ { "42", "X'41'", "NULL", "'QVU='||char(10)||'AAAA'" } });
        rapp::TemplatePluginMetadata metadata;
        juce::String error;
        EXPECT_TRUE (rapp::collectTemplatePluginEncodings (t.db, metadata, error)) << error;
        EXPECT_TRUE (metadata.byCid.empty());
    }
}

TEST (SuperRackTemplateEncodings, ReportsSQLiteFailures)
{
    TemplateDatabase t ({}, false);
    rapp::TemplatePluginMetadata metadata;
    juce::String error;
    EXPECT_FALSE (rapp::collectTemplatePluginEncodings (t.db, metadata, error));
    EXPECT_EQ (error, "no such table: plugin_preset");

    // A failure met while stepping (here a value that overflows on the first row read) is an
    // error too, not the end of the rows.
    TemplateDatabase failing ({ { "'VS0S'", "''", "'Acme'", "NULL" } }, false);
    char* message = nullptr;
    ASSERT_EQ (sqlite3_exec (failing.db, "CREATE VIEW plugin_preset AS SELECT 1 AS id, abs(-9223372036854775807-1) AS preset",
                             nullptr, nullptr, &message),
               SQLITE_OK);
    sqlite3_free (message);
    error.clear();
    EXPECT_FALSE (rapp::collectTemplatePluginEncodings (failing.db, metadata, error));
    EXPECT_EQ (error, "integer overflow");

    error.clear();
    EXPECT_FALSE (rapp::collectTemplatePluginEncodings (nullptr, metadata, error));
    EXPECT_TRUE (error.isNotEmpty());
}

TEST (SuperRackEncodingResolution, TakesTemplateThenBuiltInTableThenVendorAndCountsFallbacksPerClass)
{
    const auto fabInfo = rapp::makeAdditionalInfo (fabFilterCid);
    const auto templateMetadata = metadataOf ({ { fabFilterCid, { "TMPL", "template info" } } },
                                              { { "Acme", "VS2S" }, { "Lost", "" } });

    const auto au = vorntest::plugin ("AU", "TestAU"); // not resolved here: SuperRack keeps AU slots out of its plug-in table
    PluginRef empty;
    empty.format = "VST3";
    empty.name = "Empty"; // an unoccupied position is not a plug-in

    const auto session = sessionWith ({
        { vst3Slot (fabFilterCid.toLowerCase(), "Pro-Q 3", "FabFilter"), empty, au },
        { vst3Slot (soundtoysCid, "Little Plate", "Soundtoys"), vst3Slot (unknownCid, "Acme One", "Acme") },
        { vst3Slot (unknownCid.toLowerCase(), "Acme One again", "Acme"), vst3Slot (otherCid, "Acme Two", "Acme") },
    });

    rapp::Vst3ModuleIndex index;
    const auto result = rapp::resolvePluginEncodings (session, index, templateMetadata);
    ASSERT_TRUE (result.ok) << result.error;
    EXPECT_EQ (result.vendorFallbacks, 2);

    struct Expected
    {
        juce::String cid, plugin4cc, info;
    };
    const Expected expected[] = {
        { fabFilterCid, "TMPL", "template info" }, // the template beats the built-in table
        { soundtoysCid, "VS0S", rapp::makeAdditionalInfo (soundtoysCid) },
        { unknownCid, "VS2S", rapp::makeAdditionalInfo (unknownCid) },
        { otherCid, "VS2S", rapp::makeAdditionalInfo (otherCid) },
    };
    ASSERT_EQ (result.byCid.size(), std::size (expected));
    for (const auto& e : expected)
    {
        ASSERT_EQ (result.byCid.count (e.cid), 1u) << e.cid;
        EXPECT_EQ (result.byCid.at (e.cid).plugin4cc, e.plugin4cc) << e.cid;
        EXPECT_EQ (result.byCid.at (e.cid).additionalInfo, e.info) << e.cid;
    }

    // Without the template row the built-in table serves the class.
    const auto builtIn = rapp::resolvePluginEncodings (sessionWith ({ { vst3Slot (fabFilterCid, "Pro-Q 3", "FabFilter") } }), index, {});
    ASSERT_TRUE (builtIn.ok) << builtIn.error;
    EXPECT_EQ (builtIn.vendorFallbacks, 0);
    EXPECT_EQ (builtIn.byCid.at (fabFilterCid).plugin4cc, "VS2S");
    EXPECT_EQ (builtIn.byCid.at (fabFilterCid).additionalInfo, fabInfo);
}

TEST (SuperRackEncodingResolution, FindsTheClassThroughTheModuleIndexWhenTheSlotHasNone)
{
    rapp::Vst3ModuleIndex index;
    rapp::Vst3ModuleEntry entry;
    entry.classId = soundtoysCid;
    entry.uniqueId = rapp::deriveUniqueId (soundtoysCid);
    entry.uid = rapp::deriveUid (soundtoysCid);
    index.addOrReplace (entry);

    auto slot = vst3Slot ("", "Little Plate", "Soundtoys");
    slot.uniqueId = rapp::deriveUniqueId (soundtoysCid);
    EXPECT_EQ (index.classIdOf (slot), soundtoysCid);

    const auto result = rapp::resolvePluginEncodings (sessionWith ({ { slot } }), index, {});
    ASSERT_TRUE (result.ok) << result.error;
    EXPECT_EQ (result.byCid.at (soundtoysCid).plugin4cc, "VS0S");

    // A class id of its own wins over the ids.
    EXPECT_EQ (index.classIdOf (vst3Slot (unknownCid.toLowerCase(), "x", "")), unknownCid);
}

TEST (SuperRackEncodingResolution, StopsAtTheFirstSlotWithoutAVerifiedSource)
{
    const auto templateMetadata = metadataOf ({}, { { "Acme", "VS2S" }, { "Lost", "" } });
    rapp::Vst3ModuleIndex index;

    struct Case
    {
        const char* what;
        RackSession session;
        juce::String error;
    };
    const Case cases[] = {
        { "no class id and none resolvable", sessionWith ({ { vst3Slot ("", "Mystery", "Acme") } }),
          "could not resolve VST3 CID for Mystery" },
        { "a vendor the template does not know", sessionWith ({ { vst3Slot (unknownCid, "Gadget", "Nobody") } }),
          "template has no verified SuperRack metadata for Gadget (" + unknownCid + ")" },
        { "a vendor whose template rows disagree", sessionWith ({ { vst3Slot (unknownCid, "Gadget", "Lost") } }),
          "template has no verified SuperRack metadata for Gadget (" + unknownCid + ")" },
        { "a vendor known only in another case", sessionWith ({ { vst3Slot (unknownCid, "Gadget", "acme") } }),
          "template has no verified SuperRack metadata for Gadget (" + unknownCid + ")" },
        { "a slot without a vendor", sessionWith ({ { vst3Slot (unknownCid, "Gadget", "") } }),
          "template has no verified SuperRack metadata for Gadget (" + unknownCid + ")" },
        { "a class id of 31 digits from a known vendor",
          sessionWith ({ { vst3Slot (unknownCid.dropLastCharacters (1), "Short", "Acme") } }),
          "template has no verified SuperRack metadata for Short (" + unknownCid.dropLastCharacters (1) + ")" },
        { "a built-in class cut to 31 digits", sessionWith ({ { vst3Slot (fabFilterCid.dropLastCharacters (1), "Short", "FabFilter") } }),
          "template has no verified SuperRack metadata for Short (" + fabFilterCid.dropLastCharacters (1) + ")" },
        { "the first failing slot in strip order wins",
          sessionWith ({ { vst3Slot (otherCid, "Good", "Acme"), vst3Slot (unknownCid, "First", "Nobody") },
                         { vst3Slot ("", "Second", "") } }),
          "template has no verified SuperRack metadata for First (" + unknownCid + ")" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto result = rapp::resolvePluginEncodings (c.session, index, templateMetadata);
        EXPECT_FALSE (result.ok);
        EXPECT_EQ (result.error, c.error);
        EXPECT_TRUE (result.byCid.empty());
        EXPECT_EQ (result.vendorFallbacks, 0);
    }
}
