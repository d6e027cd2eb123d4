#include "SprkFixture.h"

#include "model/ParameterSnapshot.h"
#include "model/Vst3State.h"
#include "readers/SuperRackSprkReader.h"

#include <juce_cryptography/juce_cryptography.h>

#include <functional>

using namespace vornconv;

namespace
{

const char* const eqClassId = "ED57BD725C60467EA64DD2F400758B6F";
const char* const abcHash = "b5d4045c3f466fa91fe2cc6abe79232a1a57cdf104f7a26e716e0a1e2789df78";
const char* const xyHash = "769a4e6d0003189c7e96c5d9b7e810a0d11c3a12832527ec94b0f86d277f51ca";

juce::MemoryBlock bytesOf (const char* text) { return juce::MemoryBlock (text, std::strlen (text)); }

juce::String eqPreset() { return vst3::buildSuperRackPreset (eqClassId, bytesOf ("ABC"), bytesOf ("xy")); }

juce::MemoryBlock mirrorBytes() { return parameterState::encode ({ 0.0f, 1.0f }, 0); }

juce::String pRecord (const juce::String& strip = "0", const juce::String& slot = "0", const juce::String& cid = eqClassId,
                      const juce::String& comp = abcHash, const juce::String& cont = xyHash,
                      const juce::String& mirror = mirrorBytes().toBase64Encoding())
{
    return "P|" + strip + "|" + slot + "|" + cid + "|" + comp + "|" + cont + "|" + mirror;
}

const char* const auPlist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>type</key><integer>1635083896</integer>"
                            "<key>subtype</key><integer>1415934836</integer><key>manufacturer</key><integer>1147497839</integer></dict></plist>";

juce::String b64 (const juce::String& text) { return juce::Base64::toBase64 (text.toRawUTF8(), text.getNumBytesAsUTF8()); }

juce::String uRecord (const juce::String& slot = "1", const juce::String& name = b64 ("TestAU"), const juce::String& vendor = b64 ("Demo Audio"),
                      const juce::String& uniqueId = "4294967295", const juce::String& subtype = "1415934836")
{
    return "U|0|" + slot + "|" + name + "|" + vendor + "|" + uniqueId + "|7|1635083896|" + subtype + "|1147497839|" + b64 (auPlist);
}

juce::String v2 (const juce::StringArray& records)
{
    return "VORN_CONVERTER_SUPERRACK_V2|" + juce::String (records.size()) + (records.isEmpty() ? "" : "\n" + records.joinIntoString ("\n"));
}

juce::String repeated (const juce::String& header, int lines, const juce::String& line)
{
    juce::StringArray all;
    all.add (header);
    for (int i = 0; i < lines; ++i)
        all.add (line);
    return all.joinIntoString ("\n");
}

// Strip 0: an EQ with a split state in slot 0. Strips 0 and 1 both take physical input 3 on the
// left; strip 1's slot 0 listens to that input (ambiguous). Strip 2: slot 0 sidechained without an
// assignment row, slot 1 on free physical input 5, and its own left input 9.
RackReadResult readWithInfo (const juce::String& info, bool onlyAmbiguity = false)
{
    vorntest::SprkFixture f;
    f.setTracks (3);
    f.inRoute (0, 0, 3);
    f.inRoute (1, 0, 3);
    f.inRoute (2, 0, 9);
    f.addPlug (1, 0, 0, "Pro-Q 3", "FabFilter");
    f.addState (1, eqPreset());
    f.addPlug (2, 1, 0, "Gate", "Acme", "''", "''", "0", "1");
    f.addState (2, eqPreset());
    f.addSidechain (2, "-1,2,10,0,-1,-1,3,-1");
    if (! onlyAmbiguity)
    {
        f.addPlug (3, 2, 0, "Duck", "Acme", "''", "''", "0", "1");
        f.addState (3, eqPreset());
        f.addPlug (4, 2, 1, "Key", "Acme", "''", "''", "0", "1");
        f.addState (4, eqPreset());
        f.addSidechain (4, "-1,2,10,0,-1,-1,5,-1");
    }
    f.setInfo (info);
    f.close();
    return readSuperRackSprk (f.file);
}

bool hasNote (const RackReadResult& r, const char* code)
{
    for (const auto& note : r.session.notes)
        if (note.code == code)
            return true;
    return false;
}

} // namespace

TEST (SuperRackConverterMetadata, HeaderAndRecordShapes)
{
    struct Case
    {
        const char* name;
        juce::String info;
        const char* error; // nullptr: reads
    };
    const juce::String header = "invalid SuperRack converter metadata header";
    const Case cases[] = {
        { "empty", "", nullptr },
        { "other text", "RAPP v1: plugin state and chain only", nullptr },
        { "header word without bar", "VORN_CONVERTER_SUPERRACK_V2", nullptr },
        { "no records", "VORN_CONVERTER_SUPERRACK_V2|0", nullptr },
        { "leading zeros", "VORN_CONVERTER_SUPERRACK_V2|00", nullptr },
        { "count without record", "VORN_CONVERTER_SUPERRACK_V2|1", "invalid SuperRack converter metadata header" },
        { "third header field", "VORN_CONVERTER_SUPERRACK_V2|0|x", "invalid SuperRack converter metadata header" },
        { "trailing line break", "VORN_CONVERTER_SUPERRACK_V2|0\n", "invalid SuperRack converter metadata header" },
        { "signed count", "VORN_CONVERTER_SUPERRACK_V2|+0", "invalid SuperRack converter metadata header" },
        { "unknown version", "VORN_CONVERTER_SUPERRACK_V3|0", nullptr },
        { "v2 above the record limit", repeated ("VORN_CONVERTER_SUPERRACK_V2|1025", 1025, "S|0|0|0"), "invalid SuperRack converter metadata header" },
        { "v1 above the record limit", repeated ("VORN_CONVERTER_SUPERRACK_V1|513", 513, "0|0|x|x|x|x"), "invalid SuperRack converter metadata header" },
        { "v1 with a marker", "VORN_CONVERTER_SUPERRACK_V1|1\n" + pRecord(), "invalid SuperRack converter metadata record" },
        { "v1 record", "VORN_CONVERTER_SUPERRACK_V1|1\n" + pRecord().fromFirstOccurrenceOf ("|", false, false), nullptr },
        { "unknown marker", v2 ({ "Q|0|0|0" }), "invalid SuperRack converter metadata record" },
        { "strip out of range", v2 ({ pRecord ("64") }), "invalid SuperRack converter metadata record" },
        { "signed slot", v2 ({ pRecord ("0", "-0") }), "invalid SuperRack converter metadata record" },
        { "two records for a slot", v2 ({ pRecord(), pRecord() }), "duplicate SuperRack converter metadata slot record" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto result = readWithInfo (c.info);
        if (c.error == nullptr)
        {
            EXPECT_TRUE (result.ok) << result.error;
        }
        else
        {
            EXPECT_FALSE (result.ok);
            EXPECT_EQ (result.error, c.error);
        }
    }
}

TEST (SuperRackConverterMetadata, SizeLimitComesFirst)
{
    juce::String big ("VORN_CONVERTER_SUPERRACK_V2|0");
    big = big.paddedRight ('x', 67108865);
    EXPECT_EQ (readWithInfo (big).error, "SuperRack converter metadata exceeds 64 MiB");
    EXPECT_EQ (readWithInfo (big.dropLastCharacters (1)).error, "invalid SuperRack converter metadata header");
}

TEST (SuperRackConverterMetadata, ParameterMirrors)
{
    struct Case
    {
        const char* name;
        juce::String record;
        const char* error; // nullptr: restored; otherwise the start of the error
    };
    juce::String upperHash = juce::String (abcHash).toUpperCase();
    const Case cases[] = {
        { "matching record", pRecord(), nullptr },
        { "class id in lower case", pRecord ("0", "0", juce::String (eqClassId).toLowerCase()), nullptr },
        { "hash in upper case", pRecord ("0", "0", eqClassId, upperHash), "SuperRack converter parameter mirror does not match active plugin state" },
        { "other class id", pRecord ("0", "0", "00112233445566778899AABBCCDDEEFF"),
          "SuperRack converter parameter mirror does not match active plugin state" },
        { "other controller", pRecord ("0", "0", eqClassId, abcHash, abcHash),
          "SuperRack converter parameter mirror does not match active plugin state" },
        { "strip without plug-ins", pRecord ("3", "0"), "SuperRack converter parameter mirror references a missing slot" },
        { "missing slot", pRecord ("0", "3"), "SuperRack converter parameter mirror references a missing slot" },
        { "mirror text broken", pRecord ("0", "0", eqClassId, abcHash, xyHash, "28.!!"), "invalid SuperRack converter parameter mirror: " },
        { "mirror not a snapshot", pRecord ("0", "0", eqClassId, abcHash, xyHash, bytesOf ("ABCDEFGHIJKLMNOPQRSTUVWX").toBase64Encoding()),
          "invalid SuperRack converter VNPM mirror: " },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto result = readWithInfo (v2 ({ c.record }));
        if (c.error == nullptr)
        {
            ASSERT_TRUE (result.ok) << result.error;
            const auto& state = result.session.strips[0].plugins[0].state;
            EXPECT_EQ (state.parameters, mirrorBytes());
            EXPECT_TRUE (state.parameterMirrorComplete);
            bool found = false;
            for (const auto& note : result.session.notes)
                if (note.code == "plugin.parameterState")
                {
                    found = true;
                    EXPECT_EQ (note.text, juce::String::fromUTF8 ("1개 converter mirror를 active state hash 검증 후 복원했다"));
                }
            EXPECT_TRUE (found);
        }
        else
        {
            EXPECT_FALSE (result.ok);
            EXPECT_TRUE (result.error.startsWith (c.error)) << result.error;
            EXPECT_GT (result.error.length(), juce::String (c.error).length() - 1);
        }
    }
    EXPECT_FALSE (hasNote (readWithInfo (""), "plugin.parameterState"));
}

TEST (SuperRackConverterMetadata, UnavailableAudioUnits)
{
    const auto restored = readWithInfo (v2 ({ uRecord() }));
    ASSERT_TRUE (restored.ok) << restored.error;
    const auto& plugins = restored.session.strips[0].plugins;
    ASSERT_EQ (plugins.size(), 2);
    const auto& au = plugins[1];
    EXPECT_TRUE (au.occupied && au.bypassed && au.inactive && au.unavailable);
    EXPECT_FALSE (au.muted);
    EXPECT_EQ (au.name, "TestAU");
    EXPECT_EQ (au.vendor, "Demo Audio");
    EXPECT_EQ (au.format, "AU");
    EXPECT_EQ (au.uniqueId, 4294967295u);
    EXPECT_EQ (au.deprecatedUid, 7u);
    EXPECT_EQ (au.auType, 1635083896u);
    EXPECT_EQ (au.auSubtype, 1415934836u);
    EXPECT_EQ (au.auManufacturer, 1147497839u);
    EXPECT_EQ (au.state.encoding, PluginStateEncoding::audioUnitPlist);
    EXPECT_EQ (au.state.raw, bytesOf (auPlist));
    EXPECT_TRUE (au.coverage.identity && au.coverage.activation && au.coverage.mute && au.coverage.sidechain && au.coverage.state);

    const auto grown = readWithInfo (v2 ({ uRecord ("5", b64 ("TestAU"), "") }));
    ASSERT_TRUE (grown.ok) << grown.error;
    ASSERT_EQ (grown.session.strips[0].plugins.size(), 6);
    EXPECT_FALSE (grown.session.strips[0].plugins[3].occupied);
    EXPECT_EQ (grown.session.strips[0].plugins[5].vendor, "");

    struct Case
    {
        const char* name;
        juce::String record;
        const char* error;
    };
    const Case cases[] = {
        { "beyond the host's slots", uRecord ("8"), "SuperRack unavailable AU metadata overlaps a host plugin slot" },
        { "host plug-in slot", uRecord ("0"), "SuperRack unavailable AU metadata overlaps a host plugin slot" },
        { "empty name", uRecord ("1", ""), "invalid SuperRack unavailable AU metadata payload" },
        { "name outside the alphabet", uRecord ("1", "VGVz*EFV"), "invalid SuperRack unavailable AU metadata payload" },
        { "name not UTF-8", uRecord ("1", juce::Base64::toBase64 ("\xc0\xaf", 2)), "invalid SuperRack unavailable AU metadata payload" },
        { "name with a zero byte", uRecord ("1", juce::Base64::toBase64 ("a\0b", 3)), "invalid SuperRack unavailable AU metadata payload" },
        { "id above 32 bits", uRecord ("1", b64 ("TestAU"), b64 ("V"), "4294967296"), "invalid SuperRack unavailable AU metadata payload" },
        { "other component", uRecord ("1", b64 ("TestAU"), b64 ("V"), "1", "1"), "SuperRack unavailable AU state identity mismatch: " },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto result = readWithInfo (v2 ({ c.record }));
        EXPECT_FALSE (result.ok);
        EXPECT_EQ (result.error, c.error);
    }
    // Nothing is added to the slot list before the slot bound is tested.
    EXPECT_EQ (readWithInfo (v2 ({ uRecord ("8") })).session.strips[0].plugins.size(), 1);
    EXPECT_EQ (readWithInfo (v2 ({ uRecord(), pRecord ("0", "1") })).error, "duplicate SuperRack converter metadata slot record");
}

TEST (SuperRackConverterMetadata, SidechainSources)
{
    struct Case
    {
        const char* name;
        juce::StringArray records;
        const char* error; // nullptr: reads
        std::function<void (const RackReadResult&)> check;
    };
    const Case cases[] = {
        { "resolves the ambiguous slot", { "S|1|0|0" }, nullptr,
          [] (const RackReadResult& r)
          {
              const auto& slot = r.session.strips[1].plugins[0];
              EXPECT_EQ (slot.sidechainSource, 0);
              EXPECT_EQ (slot.sidechainKind, sidechainStrip);
              EXPECT_TRUE (slot.coverage.sidechain);
              EXPECT_TRUE (slot.pendingSidechainReason.isEmpty());
          } },
        { "repeats what the host resolved", { "S|2|1|5" }, nullptr,
          [] (const RackReadResult& r) { EXPECT_EQ (r.session.strips[2].plugins[1].sidechainKind, sidechainPhysical); } },
        { "mirror and source for one slot", { "S|0|0|1", pRecord() }, "SuperRack converter sidechain reference conflicts with host routing", nullptr },
        { "contradicts the host", { "S|2|1|6" }, "SuperRack converter sidechain reference conflicts with host routing", nullptr },
        { "slot without plug-in", { "S|1|0|0", "S|0|0|0" }, "SuperRack converter sidechain reference conflicts with host routing", nullptr },
        { "not ambiguous", { "S|2|0|0" }, "SuperRack converter sidechain reference has no matching ambiguous host route", nullptr },
        { "source without that input", { "S|1|0|2" }, "SuperRack converter sidechain reference conflicts with physical input L", nullptr },
        { "twice", { "S|1|0|0", "S|1|0|0" }, "invalid SuperRack converter sidechain reference", nullptr },
        { "missing slot", { "S|1|4|0" }, "invalid SuperRack converter sidechain reference", nullptr },
        { "source out of range", { "S|1|0|64" }, "invalid SuperRack converter sidechain reference", nullptr },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto result = readWithInfo (v2 (c.records));
        if (c.error == nullptr)
        {
            ASSERT_TRUE (result.ok) << result.error;
            c.check (result);
        }
        else
        {
            EXPECT_FALSE (result.ok);
            EXPECT_EQ (result.error, c.error);
        }
    }

    // The record that settles the only open sidechain makes the read complete.
    const auto open = readWithInfo ("", true);
    ASSERT_TRUE (open.ok) << open.error;
    EXPECT_EQ (open.status, readPartial);
    EXPECT_TRUE (hasNote (open, "plugin.sidechain"));
    const auto settled = readWithInfo (v2 ({ "S|1|0|0" }), true);
    ASSERT_TRUE (settled.ok) << settled.error;
    EXPECT_EQ (settled.status, readComplete);
    EXPECT_FALSE (hasNote (settled, "plugin.sidechain"));
}
