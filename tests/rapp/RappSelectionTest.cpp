#include "rapp/RappSelection.h"

#include "RackBuilders.h"
#include "TestSupport.h"
#include "model/JsonWriter.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <vector>

using namespace vornconv;
using vornconv::rapp::HostCapacity;

namespace
{

// SHA-256 of the three bytes "abc" (the standard's first test vector).
const juce::String abcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct StripSpec
{
    int index = 0;
    std::vector<int> occupied;  // slot positions holding a plug-in
};

PluginRef pluginAt (int strip, int position)
{
    return vorntest::plugin ("VST3", "P" + juce::String (strip) + "." + juce::String (position), "Acme");
}

RackReadResult sessionOf (const std::vector<StripSpec>& strips, const juce::String& sourceFile = {})
{
    auto result = vorntest::completeRead ("vorn.ksn");
    result.session.sourceFile = sourceFile;
    result.session.capacityStrips = 64;
    result.session.capacitySlots = 8;
    result.session.notes.add (Fidelity::approx, "source.note", "kept as it was");
    for (const auto& spec : strips)
    {
        auto strip = vorntest::strip (spec.index, "Ch " + juce::String (spec.index));
        for (const auto p : spec.occupied)
        {
            while (strip.plugins.size() < p)
                strip.plugins.add (PluginRef());
            strip.plugins.add (pluginAt (spec.index, p));
        }
        result.session.strips.add (strip);
    }
    return result;
}

std::vector<StripSpec> consecutiveStrips (int count)
{
    std::vector<StripSpec> strips;
    for (int i = 0; i < count; ++i)
        strips.push_back ({ i, {} });
    return strips;
}

juce::var parsed (const juce::String& json)
{
    juce::var v;
    EXPECT_TRUE (juce::JSON::parse (json, v).wasOk()) << json;
    return v;
}

juce::StringArray keysOf (const juce::var& object)
{
    juce::StringArray keys;
    if (auto* o = object.getDynamicObject())
        for (const auto& p : o->getProperties())
            keys.add (p.name.toString());
    return keys;
}

// Copies of a var share its object, so edits through these reach the document.
juce::var channelAt (const juce::var& doc, int i) { return doc["channels"].getArray()->getReference (i); }
juce::var pluginAt (const juce::var& channel, int i) { return channel["plugins"].getArray()->getReference (i); }

// Sessions tied to a real source file, their report and the selection file written from it.
struct Fixture
{
    vorntest::TempFolder folder;
    juce::File source = folder.file ("in.ksn");
    juce::File selection = folder.file ("selection.json");
    RackReadResult session;
    HostCapacity capacity;
    juce::String target = "reaper";

    Fixture (const std::vector<StripSpec>& strips, HostCapacity c) : capacity (c)
    {
        source.replaceWithText ("abc");
        session = sessionOf (strips, source.getFullPathName());
    }

    juce::var report() const { return parsed (rapp::buildSelectionReportJson (session, capacity, target)); }

    void write (const juce::var& doc) const { selection.replaceWithText (json::toJsonLine (doc)); }

    bool apply (RackReadResult& out, juce::String& error) const
    {
        return rapp::applySelectionFile (session, selection, capacity, target, out, error);
    }
};

} // namespace

TEST (SelectionReport, DocumentShapeAndFingerprint)
{
    Fixture f ({ { 0, { 1 } } }, { 64, 8, true });
    f.session.session.strips.getReference (0).plugins.getReference (1).sidechainSource = 5;
    const auto doc = f.report();
    EXPECT_EQ (keysOf (doc), juce::StringArray ({ "schema", "target", "sourceSha256", "targetStrips", "targetSlots", "required",
                                                  "channelOverflow", "channels" }));
    EXPECT_EQ (doc["schema"].toString(), "vorn-rapp-selection-v1");
    EXPECT_EQ (doc["target"].toString(), "reaper");
    EXPECT_EQ (doc["sourceSha256"].toString(), abcSha256);
    EXPECT_EQ ((int) doc["targetStrips"], 64);
    EXPECT_EQ ((int) doc["targetSlots"], 8);

    const auto& channel = channelAt (doc, 0);
    EXPECT_EQ (keysOf (channel), juce::StringArray ({ "sourceIndex", "targetIndex", "name", "selected", "overflow",
                                                      "pluginOverflow", "plugins" }));
    EXPECT_EQ (channel["name"].toString(), "Ch 0");
    ASSERT_EQ (channel["plugins"].size(), 1);  // unoccupied positions are not listed
    const auto& plugin = pluginAt (channel, 0);
    EXPECT_EQ (keysOf (plugin), juce::StringArray ({ "sourceSlot", "targetSlot", "name", "vendor", "selected", "sidechainSource" }));
    EXPECT_EQ ((int) plugin["sourceSlot"], 1);
    EXPECT_EQ ((int) plugin["targetSlot"], 1);
    EXPECT_EQ (plugin["name"].toString(), "P0.1");
    EXPECT_EQ (plugin["vendor"].toString(), "Acme");
    EXPECT_EQ ((int) plugin["sidechainSource"], 5);

    // The fingerprint follows the file: a relative path is taken against the working directory,
    // and a missing or unnamed file, or one that is no regular file (a source swapped for a FIFO
    // after its read), gives an empty text at once.
    struct Case { juce::String sourceFile; juce::String expected; };
    const auto previous = juce::File::getCurrentWorkingDirectory();
    f.folder.folder.setAsCurrentWorkingDirectory();
    ASSERT_EQ (mkfifo ("fifo.ksn", 0600), 0);
    const Case cases[] = {
        { "in.ksn", abcSha256 },
        { f.source.getFullPathName(), abcSha256 },
        { "missing.ksn", "" },
        { f.folder.folder.getFullPathName(), "" },  // a folder is not a file
        { "fifo.ksn", "" },
        { "", "" },
    };
    for (const auto& c : cases)
    {
        auto copy = f.session;
        copy.session.sourceFile = c.sourceFile;
        EXPECT_EQ (parsed (rapp::buildSelectionReportJson (copy, f.capacity, "vorn"))["sourceSha256"].toString(), c.expected)
            << c.sourceFile;
    }
    previous.setAsCurrentWorkingDirectory();
}

TEST (SelectionReport, ChannelsBeyondTheCapacityAreCompacted)
{
    // 70 strips for 64: the first 64 keep their places, the rest are proposed out, at index 64.
    const auto doc = parsed (rapp::buildSelectionReportJson (sessionOf (consecutiveStrips (70)), { 64, 8, true }, "vorn"));
    EXPECT_TRUE ((bool) doc["channelOverflow"]);
    EXPECT_TRUE ((bool) doc["required"]);
    ASSERT_EQ (doc["channels"].size(), 70);
    for (int i = 0; i < 70; ++i)
    {
        const auto& c = channelAt (doc, i);
        EXPECT_EQ ((bool) c["selected"], i < 64) << i;
        EXPECT_EQ ((int) c["targetIndex"], juce::jmin (i, 64)) << i;
        EXPECT_TRUE ((bool) c["overflow"]);
    }

    // Few strips but an index outside the capacity: compacted in session order.
    struct Case { std::vector<StripSpec> strips; bool overflow; std::vector<int> targets; };
    const Case cases[] = {
        { { { 5, {} }, { -1, {} }, { 2, {} } }, true, { 0, 1, 2 } },
        { { { 9, {} }, { 3, {} } }, true, { 0, 1 } },
        { { { 3, {} }, { 1, {} } }, false, { 3, 1 } },  // fits: in place
    };
    for (const auto& c : cases)
    {
        const auto d = parsed (rapp::buildSelectionReportJson (sessionOf (c.strips), { 4, 8, true }, "vorn"));
        EXPECT_EQ ((bool) d["channelOverflow"], c.overflow);
        EXPECT_EQ ((bool) d["required"], c.overflow);
        for (size_t i = 0; i < c.targets.size(); ++i)
        {
            EXPECT_TRUE ((bool) channelAt (d, (int) i)["selected"]);
            EXPECT_EQ ((int) channelAt (d, (int) i)["targetIndex"], c.targets[i]);
        }
    }
}

TEST (SelectionReport, PluginsBeyondTheSlotsAreCompacted)
{
    struct Expected { int sourceSlot; bool selected; int targetSlot; };
    struct Case { std::vector<int> occupied; bool overflow; std::vector<Expected> plugins; };
    const Case cases[] = {
        { { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 }, true,
          { { 0, true, 0 }, { 1, true, 1 }, { 2, true, 2 }, { 3, true, 3 }, { 4, true, 4 }, { 5, true, 5 }, { 6, true, 6 },
            { 7, true, 7 }, { 8, false, 8 }, { 9, false, 8 } } },
        { { 9 }, true, { { 9, true, 0 } } },
        { { 2, 9 }, true, { { 2, true, 0 }, { 9, true, 1 } } },
        { { 1, 4 }, false, { { 1, true, 1 }, { 4, true, 4 } } },
    };
    for (const auto& c : cases)
    {
        // The second strip is beyond the 1-strip capacity: its plug-ins are proposed all the same.
        const auto doc = parsed (rapp::buildSelectionReportJson (sessionOf ({ { 0, c.occupied }, { 1, c.occupied } }),
                                                                 { 1, 8, true }, "vorn"));
        EXPECT_EQ ((bool) doc["required"], true);
        for (int ch = 0; ch < 2; ++ch)
        {
            const auto& channel = channelAt (doc, ch);
            EXPECT_EQ ((bool) channel["selected"], ch == 0);
            EXPECT_EQ ((bool) channel["pluginOverflow"], c.overflow);
            ASSERT_EQ (channel["plugins"].size(), (int) c.plugins.size());
            for (size_t i = 0; i < c.plugins.size(); ++i)
            {
                const auto& p = pluginAt (channel, (int) i);
                EXPECT_EQ ((int) p["sourceSlot"], c.plugins[i].sourceSlot);
                EXPECT_EQ ((bool) p["selected"], c.plugins[i].selected) << c.plugins[i].sourceSlot;
                EXPECT_EQ ((int) p["targetSlot"], c.plugins[i].targetSlot) << c.plugins[i].sourceSlot;
            }
        }
    }
}

TEST (SelectionReport, AVariableCapacitySelectsEverythingInPlace)
{
    std::vector<StripSpec> strips = consecutiveStrips (70);
    strips[3].occupied = { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 };
    strips.push_back ({ -4, { 12 } });
    const auto doc = parsed (rapp::buildSelectionReportJson (sessionOf (strips), { 0, 0, false }, "reaper"));
    EXPECT_FALSE ((bool) doc["required"]);
    EXPECT_FALSE ((bool) doc["channelOverflow"]);
    for (int i = 0; i < 71; ++i)
    {
        const auto& c = channelAt (doc, i);
        EXPECT_TRUE ((bool) c["selected"]);
        EXPECT_EQ ((int) c["targetIndex"], strips[(size_t) i].index);
        EXPECT_FALSE ((bool) c["pluginOverflow"]);
        for (int p = 0; p < c["plugins"].size(); ++p)
        {
            EXPECT_TRUE ((bool) pluginAt (c, p)["selected"]);
            EXPECT_EQ ((int) pluginAt (c, p)["targetSlot"], strips[(size_t) i].occupied[(size_t) p]);
        }
    }
}

TEST (SelectionFile, UneditedReportOfAFittingSessionKeepsTheSession)
{
    Fixture f ({ { 0, { 0, 2 } }, { 3, { 1 } }, { 1, {} } }, { 4, 4, true });
    f.session.session.strips.getReference (0).plugins.getReference (2).sidechainSource = 3;
    f.write (f.report());

    RackReadResult out;
    juce::String error;
    ASSERT_TRUE (f.apply (out, error)) << error;
    const auto& in = f.session.session;
    EXPECT_TRUE (out.ok);
    EXPECT_EQ (out.status, (int) readComplete);
    EXPECT_EQ (out.session.capacityStrips, 4);
    EXPECT_EQ (out.session.capacitySlots, 4);
    EXPECT_EQ (out.session.sourceFile, in.sourceFile);
    ASSERT_EQ (out.session.notes.size(), 1);  // the source's own note only
    EXPECT_EQ (out.session.notes[0].code, "source.note");

    // Strips come out ordered by target index, each equal to its source strip.
    const int order[] = { 0, 2, 1 };
    ASSERT_EQ (out.session.strips.size(), 3);
    for (int i = 0; i < 3; ++i)
    {
        const auto& a = out.session.strips.getReference (i);
        const auto& b = in.strips.getReference (order[i]);
        EXPECT_EQ (a.index, b.index);
        EXPECT_EQ (a.name, b.name);
        ASSERT_EQ (a.plugins.size(), b.plugins.size());
        for (int s = 0; s < a.plugins.size(); ++s)
        {
            EXPECT_EQ (a.plugins.getReference (s).occupied, b.plugins.getReference (s).occupied);
            EXPECT_EQ (a.plugins.getReference (s).name, b.plugins.getReference (s).name);
            EXPECT_EQ (a.plugins.getReference (s).sidechainSource, b.plugins.getReference (s).sidechainSource);
        }
    }
}

TEST (SelectionFile, ProjectsKeptChannelsAndPlugins)
{
    // Strip 0: plug-ins at 0, 2, 5; strip 1: one at 0, sidechained from strip 0; strip 2: one plug-in.
    Fixture f ({ { 0, { 0, 2, 5 } }, { 1, { 0 } }, { 2, { 1 } } }, { 8, 6, true });
    auto& strip1Slot = f.session.session.strips.getReference (1).plugins.getReference (0);
    strip1Slot.sidechainSource = 0;
    auto& strip0Slot5 = f.session.session.strips.getReference (0).plugins.getReference (5);
    strip0Slot5.sidechainSource = 7;
    strip0Slot5.sidechainKind = sidechainPhysical;

    auto doc = f.report();
    auto c0 = channelAt (doc, 0);
    c0.getDynamicObject()->setProperty ("targetIndex", 6);
    pluginAt (c0, 0).getDynamicObject()->setProperty ("targetSlot", 4);
    pluginAt (c0, 1).getDynamicObject()->setProperty ("selected", false);
    pluginAt (c0, 2).getDynamicObject()->setProperty ("targetSlot", 1);
    auto c1 = channelAt (doc, 1);
    c1.getDynamicObject()->removeProperty ("selected");  // no "selected" keeps the channel
    c1.getDynamicObject()->setProperty ("targetIndex", 2);
    // Left out, so its invalid indices are never looked at.
    auto c2 = channelAt (doc, 2);
    c2.getDynamicObject()->setProperty ("selected", false);
    c2.getDynamicObject()->setProperty ("sourceIndex", "junk");
    c2.getDynamicObject()->setProperty ("plugins", 7);
    f.write (doc);

    RackReadResult out;
    juce::String error;
    ASSERT_TRUE (f.apply (out, error)) << error;
    ASSERT_EQ (out.session.strips.size(), 2);
    const auto& first = out.session.strips.getReference (0);
    const auto& second = out.session.strips.getReference (1);
    EXPECT_EQ (first.index, 2);
    EXPECT_EQ (first.name, "Ch 1");
    ASSERT_EQ (first.plugins.size(), 1);
    EXPECT_EQ (first.plugins.getReference (0).sidechainSource, 6);  // strip 0 now sits at 6

    EXPECT_EQ (second.index, 6);
    EXPECT_EQ (second.name, "Ch 0");
    ASSERT_EQ (second.plugins.size(), 5);
    const char* const names[] = { "", "P0.5", "", "", "P0.0" };
    for (int s = 0; s < 5; ++s)
    {
        EXPECT_EQ (second.plugins.getReference (s).occupied, s == 1 || s == 4) << s;
        EXPECT_EQ (second.plugins.getReference (s).name, names[s]) << s;
    }
    EXPECT_EQ (second.plugins.getReference (1).sidechainSource, 7);  // a physical input keeps its number
    EXPECT_EQ (second.plugins.getReference (1).sidechainKind, (int) sidechainPhysical);
    EXPECT_EQ (second.plugins.getReference (0).sidechainSource, -1);

    // One channel (with one plug-in) and one more plug-in were left out, each named as the source
    // was read.
    ASSERT_EQ (out.session.notes.size(), 3);
    EXPECT_EQ (out.session.notes[1].fidelity, Fidelity::dropped);
    EXPECT_EQ (out.session.notes[1].code, "selection.channels");
    EXPECT_EQ (out.session.notes[1].text, "user excluded 1 channels for target capacity: strip 2 (Ch 2)");
    EXPECT_EQ (out.session.notes[2].fidelity, Fidelity::dropped);
    EXPECT_EQ (out.session.notes[2].code, "selection.plugins");
    EXPECT_EQ (out.session.notes[2].text,
               "user excluded 2 plugins for target capacity: strip 0, slot 2 (P0.2), strip 2, slot 1 (P2.1)");

    // Where each kept strip and plug-in stood in the session as read.
    const auto& origin = out.session.selectedFrom;
    EXPECT_EQ (origin.sourceStrips, 3);
    EXPECT_EQ (origin.stripIndex, (std::map<juce::int32, juce::int32> { { 2, 1 }, { 6, 0 } }));
    EXPECT_EQ (origin.slot, (std::map<std::pair<juce::int32, juce::int32>, juce::int32> { { { 2, 0 }, 0 }, { { 6, 1 }, 5 }, { { 6, 4 }, 0 } }));
    EXPECT_FALSE (f.session.session.selectedFrom.isProjection());
}

TEST (SelectionFile, RefusesEveryForeignOrMalformedDocument)
{
    // Strip 0: plug-ins at 0 and 2; strip 1: one at 0, sidechained from strip 0.
    Fixture f ({ { 0, { 0, 2 } }, { 1, { 0 } } }, { 4, 4, true });
    f.session.session.strips.getReference (1).plugins.getReference (0).sidechainSource = 0;
    const auto reportText = rapp::buildSelectionReportJson (f.session, f.capacity, f.target);

    using Edit = std::function<void (juce::var&)>;
    auto set = [] (const char* key, juce::var value) { return Edit ([=] (juce::var& d) { d.getDynamicObject()->setProperty (key, value); }); };
    auto drop = [] (const char* key) { return Edit ([=] (juce::var& d) { d.getDynamicObject()->removeProperty (key); }); };
    auto onChannel = [] (int i, Edit e) { return Edit ([=] (juce::var& d) { auto c = channelAt (d, i); e (c); }); };
    auto onPlugin = [] (int c, int p, Edit e) { return Edit ([=] (juce::var& d) { auto x = pluginAt (channelAt (d, c), p); e (x); }); };
    auto both = [] (Edit a, Edit b) { return Edit ([=] (juce::var& d) { a (d); b (d); }); };
    auto text = [&] (const juce::String& from, const juce::String& to) { return reportText.replace (from, to); };
    // Where a piece of text stands in a one-line document, as the refusal gives it.
    auto at = [] (const juce::String& raw, const juce::String& piece, int from = 0) {
        return " at line 1, column " + juce::String (raw.indexOf (from, piece) + 1);
    };
    const auto deep = text ("\"channels\"", "\"deep\": " + juce::String::repeatedString ("[", 100000) + ", \"channels\"");
    const auto oneTooDeep = text ("\"channels\"", "\"deep\": " + juce::String::repeatedString ("[", 16) + juce::String::repeatedString ("]", 16) + ", \"channels\"");
    const auto longNumber = text ("\"targetStrips\": 4", "\"targetStrips\": 99999999999999999999");
    const auto longExponent = text ("\"targetStrips\": 4", "\"targetStrips\": 1e99999999999");
    const auto lonelyMinus = text ("\"targetStrips\": 4", "\"targetStrips\": -Z999999999999999999");
    const auto twice = text ("\"targetIndex\": 1,", "\"targetIndex\": 1, \"targetIndex\": 3,");
    const auto leadingZero = text ("\"targetIndex\": 1,", "\"targetIndex\": 01,");
    const juce::String shape = "selection schema is invalid: ";
    const juce::String M = "selection channel mapping is out of range or duplicated: ";
    const juce::String P = "selection plugin mapping is out of range, absent, or duplicated: channels[0] (source index 0) plugins[1] ";

    struct Case { const char* what; Edit edit; juce::String raw; juce::String error; };
    const std::vector<Case> cases = {
        { "not JSON", {}, "not json", shape + "unexpected 'n' at line 1, column 1" },
        { "array", {}, "[" + reportText + "]", shape + "the document is not a JSON object" },
        { "empty file", {}, " ", shape + "no JSON document" },
        { "other schema", set ("schema", "vorn-rapp-selection-v2"), {}, shape + "schema is not \"vorn-rapp-selection-v1\"" },
        { "schema before target", both (set ("schema", 1), set ("target", "vorn")), {}, shape + "schema is not \"vorn-rapp-selection-v1\"" },
        // Exactly one document: nothing after it, no key twice, JSON's own numbers.
        { "trailing junk", {}, reportText + " garbage}}", shape + "text after the JSON document" + at (reportText + " garbage}}", "garbage") },
        { "two documents", {}, reportText + "\n" + reportText, shape + "a second JSON document at line 2, column 1" },
        { "repeated key", {}, twice, shape + "duplicate key \"targetIndex\"" + at (twice, "\"targetIndex\": 3") },
        { "leading zero", {}, leadingZero, shape + "number with a leading zero" + at (leadingZero, "01", leadingZero.indexOf ("\"targetIndex\": 01")) },
        // What an entry repeats of the source must still be the source's.
        { "channel renamed", onChannel (1, set ("name", "Bass")), {},
          "selection channels[1] (source index 1): name \"Bass\" disagrees with the source channel's name \"Ch 1\"" },
        { "channel name not text", onChannel (1, set ("name", 1)), {}, shape + "channels[1].name is not a string" },
        { "plugin renamed", onPlugin (0, 1, set ("name", "Other")), {},
          "selection channels[0] (source index 0) plugins[1] (slot 2): name \"Other\" disagrees with the source plugin's name \"P0.2\"" },
        { "plugin vendor", onPlugin (0, 0, set ("vendor", "")), {},
          "selection channels[0] (source index 0) plugins[0] (slot 0): vendor \"\" disagrees with the source plugin's vendor \"Acme\"" },
        { "sidechain moved", onPlugin (1, 0, set ("sidechainSource", 1)), {},
          "selection channels[1] (source index 1) plugins[0] (slot 0): sidechainSource 1 disagrees with the source plugin's sidechainSource 0" },
        { "sidechain not an integer", onPlugin (1, 0, set ("sidechainSource", "0")), {}, "selection property must be an integer: sidechainSource in channels[1].plugins[0]" },
        { "target", set ("target", "vorn"), {}, "selection target does not match conversion target: the file is for \"vorn\", the conversion for \"reaper\"" },
        { "target type", set ("target", juce::var()), {}, "selection target does not match conversion target: the file is for no target, the conversion for \"reaper\"" },
        { "fingerprint", set ("sourceSha256", abcSha256.toUpperCase()), {}, "selection source fingerprint does not match the current input file" },
        { "no fingerprint", drop ("sourceSha256"), {}, "selection source fingerprint does not match the current input file" },
        { "strips missing", drop ("targetStrips"), {}, "selection property is missing: targetStrips" },
        { "strips text", set ("targetStrips", "4"), {}, "selection property must be an integer: targetStrips" },
        { "strips double", {}, text ("\"targetStrips\": 4", "\"targetStrips\": 4.0"), "selection property must be an integer: targetStrips" },
        { "strips null", set ("targetStrips", juce::var()), {}, "selection property must be an integer: targetStrips" },
        { "slots wrap to 4", set ("targetSlots", (juce::int64) 4294967300LL), {}, "selection property must be an integer: targetSlots" },
        { "slots", set ("targetSlots", 5), {},
          "selection capacity does not match conversion capacity: the file is for 4 strips x 5 slots, the conversion for 4 strips x 4 slots" },
        { "no channels", drop ("channels"), {}, "selection channels array is missing" },
        { "channels object", set ("channels", juce::var (new juce::DynamicObject())), {}, "selection channels array is missing" },
        { "channel entry", set ("channels", juce::Array<juce::var> { 3 }), {}, "selection channel entry is invalid: channels[0] is not an object" },
        { "selected as text", onChannel (0, set ("selected", "false")), {},
          "selection channel entry is invalid: channels[0] \"selected\" is not true or false" },
        { "selected as number", onChannel (0, set ("selected", 0)), {},
          "selection channel entry is invalid: channels[0] \"selected\" is not true or false" },
        { "missing source", onChannel (1, set ("sourceIndex", 9)), {},
          "selection references a missing source channel: channels[1] sourceIndex 9 is no strip of the source" },
        { "no target index", onChannel (0, drop ("targetIndex")), {}, "selection property is missing: targetIndex in channels[0]" },
        { "same target", both (onChannel (0, set ("targetIndex", 3)), onChannel (1, set ("targetIndex", 3))), {},
          M + "channels[1] (source index 1) targetIndex 3 is taken by channels[0] too" },
        { "same source", onChannel (1, set ("sourceIndex", 0)), {}, M + "channels[1] (source index 0) keeps the same source channel as channels[0]" },
        { "target index at capacity", onChannel (0, set ("targetIndex", 4)), {},
          M + "channels[0] (source index 0) targetIndex 4 is outside the target's 4 strips (0 to 3)" },
        { "negative target index", onChannel (0, set ("targetIndex", -1)), {},
          M + "channels[0] (source index 0) targetIndex -1 is outside the target's 4 strips (0 to 3)" },
        { "no plugins", onChannel (0, drop ("plugins")), {}, "selection plugins array is missing: channels[0] (source index 0)" },
        { "plugin entry", onChannel (0, set ("plugins", juce::Array<juce::var> { "x" })), {},
          "selection plugin entry is invalid: channels[0] (source index 0) plugins[0] is not an object" },
        { "plugin selected as number", onPlugin (0, 0, set ("selected", 1)), {},
          "selection plugin entry is invalid: channels[0] (source index 0) plugins[0] \"selected\" is not true or false" },
        { "no target slot", onPlugin (0, 1, drop ("targetSlot")), {}, "selection property is missing: targetSlot in channels[0].plugins[1]" },
        { "empty source slot", onPlugin (0, 1, set ("sourceSlot", 1)), {}, P + "sourceSlot 1 is an empty slot of the source channel" },
        { "source slot beyond", onPlugin (0, 1, set ("sourceSlot", 9)), {},
          P + "sourceSlot 9 is outside the source channel's 3 slots (0 to 2)" },
        { "same source slot", onPlugin (0, 1, set ("sourceSlot", 0)), {}, P + "sourceSlot 0 is kept by plugins[0] too" },
        { "same target slot", onPlugin (0, 1, set ("targetSlot", 0)), {}, P + "targetSlot 0 is taken by plugins[0] too" },
        { "target slot at capacity", onPlugin (0, 1, set ("targetSlot", 4)), {}, P + "targetSlot 4 is outside the target's 4 slots (0 to 3)" },
        { "nothing kept", both (onChannel (0, set ("selected", false)), onChannel (1, set ("selected", false))), {},
          "selection must keep at least one channel" },
        { "sidechain source left out", onChannel (0, set ("selected", false)), {},
          "selected sidechain plugin requires a channel that was not selected: \"P1.0\" in slot 0 of source index 1 takes its "
          "sidechain from source index 0, which is not kept" },
        // Inputs JUCE's parser cannot take safely (unbounded recursion, integer overflow) never reach it.
        { "deep nesting", {}, deep, shape + "nesting deeper than 16" + at (deep, "[", deep.indexOf ("\"deep\"") + 23) },
        { "nesting one too deep", {}, oneTooDeep, shape + "nesting deeper than 16" + at (oneTooDeep, "[", oneTooDeep.indexOf ("\"deep\"") + 23) },
        { "long number", {}, longNumber, shape + "integer out of range" + at (longNumber, "99999") },
        { "long exponent", {}, longExponent, shape + "number out of range" + at (longExponent, "1e999") },
        { "minus without digit", {}, lonelyMinus, shape + "a digit expected, not 'Z'" + at (lonelyMinus, "Z") },
        { "oversized", {}, reportText + juce::String::repeatedString (" ", (int) rapp::maxSelectionFileBytes),
          "selection file cannot be read: file is larger than " + juce::String (rapp::maxSelectionFileBytes) + " bytes: "
              + f.selection.getFullPathName() },
    };
    for (const auto& c : cases)
    {
        if (c.edit)
        {
            auto doc = parsed (reportText);
            c.edit (doc);
            f.write (doc);
        }
        else
        {
            f.selection.replaceWithText (c.raw);
        }
        RackReadResult out;
        out.session.sourceApp = "untouched";
        juce::String error;
        EXPECT_FALSE (f.apply (out, error)) << c.what;
        EXPECT_EQ (error, c.error) << c.what;
        EXPECT_EQ (out.session.sourceApp, "untouched") << c.what;
        EXPECT_TRUE (out.session.strips.isEmpty()) << c.what;
    }

    // Nesting right at the limit, and JSON numbers of the longest accepted form, still parse: what
    // refuses them is only that the report writes no such keys.
    const auto atLimit = text ("\"channels\"", "\"deep\": " + juce::String::repeatedString ("[", 15) + juce::String::repeatedString ("]", 15)
                                                  + ", \"n\": -999999999999999999, \"e\": 1e-99999999, \"channels\"");
    f.selection.replaceWithText (atLimit);
    RackReadResult out;
    juce::String error;
    EXPECT_FALSE (f.apply (out, error));
    EXPECT_EQ (error, shape + "unknown key \"deep\" in the document" + at (atLimit, "\"deep\""));

    // Bytes that are not UTF-8, and a missing file.
    const char bad[] = { '{', '"', 's', '\xff', '"', ':', '1', '}' };
    f.selection.replaceWithData (bad, sizeof (bad));
    EXPECT_FALSE (f.apply (out, error));
    EXPECT_EQ (error, "selection file cannot be read: not valid UTF-8 text (byte 3): " + f.selection.getFullPathName());
    EXPECT_FALSE (rapp::applySelectionFile (f.session, f.folder.file ("none.json"), f.capacity, f.target, out, error));
    EXPECT_EQ (error, "selection file does not exist: " + f.folder.file ("none.json").getFullPathName());
    EXPECT_FALSE (rapp::applySelectionFile (f.session, f.folder.folder, f.capacity, f.target, out, error));
    EXPECT_EQ (error, "selection file cannot be read: a folder, not a file: " + f.folder.folder.getFullPathName());
}

TEST (SelectionFile, IsTiedToTheSourceFileAndAFixedCapacity)
{
    Fixture f ({ { 0, { 0 } } }, { 4, 4, true });
    f.write (f.report());
    RackReadResult out;
    juce::String error;
    ASSERT_TRUE (f.apply (out, error)) << error;

    // The same document against a variable capacity of the same numbers.
    EXPECT_FALSE (rapp::applySelectionFile (f.session, f.selection, { 4, 4, false }, f.target, out, error));
    EXPECT_EQ (error, "selection capacity does not match conversion capacity: the file is for 4 strips x 4 slots, the conversion has no fixed capacity");

    // A source that cannot be fingerprinted matches no selection, not even one with an empty fingerprint.
    auto unnamed = f.session;
    unnamed.session.sourceFile = {};
    f.write (parsed (rapp::buildSelectionReportJson (unnamed, f.capacity, f.target)));
    EXPECT_FALSE (rapp::applySelectionFile (unnamed, f.selection, f.capacity, f.target, out, error));
    EXPECT_EQ (error, "selection source fingerprint does not match the current input file");

    // The source file changes after the report.
    f.write (f.report());
    f.source.replaceWithText ("abd");
    EXPECT_FALSE (f.apply (out, error));
    EXPECT_EQ (error, "selection source fingerprint does not match the current input file");
}

TEST (SelectionFile, PaddingUpToATargetSlotIsBounded)
{
    // A huge profile would otherwise let one target slot allocate millions of empty slots.
    Fixture f ({ { 0, { 0 } } }, { 4, 1000000, true });
    auto doc = f.report();
    struct Case { int targetSlot; bool ok; };
    const Case cases[] = { { rapp::maxSelectionSlotsPerStrip - 1, true }, { rapp::maxSelectionSlotsPerStrip, false }, { 999999, false } };
    for (const auto& c : cases)
    {
        pluginAt (channelAt (doc, 0), 0).getDynamicObject()->setProperty ("targetSlot", c.targetSlot);
        f.write (doc);
        RackReadResult out;
        juce::String error;
        EXPECT_EQ (f.apply (out, error), c.ok) << c.targetSlot;
        if (c.ok)
            EXPECT_EQ (out.session.strips.getReference (0).plugins.size(), c.targetSlot + 1);
        else
            EXPECT_EQ (error, "selection plugin mapping is out of range, absent, or duplicated: channels[0] (source index 0) plugins[0] "
                              "targetSlot " + juce::String (c.targetSlot) + " is outside the 256 slots (0 to 255) a selection can place");
    }
}

// The file holds the keys the report writes and no other: a misspelt one is refused with its place
// in the document and its line and column, at every level.
TEST (SelectionFile, TakesNoKeyTheReportDoesNotWrite)
{
    Fixture f ({ { 0, { 0 } } }, { 4, 4, true });
    using Edit = std::function<juce::var (const juce::var& doc)>;
    struct Case { Edit where; juce::String path; };
    const Case cases[] = {
        { [] (const juce::var& d) { return d; }, "the document" },
        { [] (const juce::var& d) { return channelAt (d, 0); }, "channels[0]" },
        { [] (const juce::var& d) { return pluginAt (channelAt (d, 0), 0); }, "channels[0].plugins[0]" },
    };
    for (const auto& c : cases)
    {
        auto doc = f.report();
        c.where (doc).getDynamicObject()->setProperty ("selectd", false);
        f.write (doc);
        const auto text = f.selection.loadFileAsString();
        RackReadResult out;
        juce::String error;
        EXPECT_FALSE (f.apply (out, error)) << c.path;
        EXPECT_EQ (error, "selection schema is invalid: unknown key \"selectd\" in " + c.path + " at line 1, column "
                              + juce::String (text.indexOf ("\"selectd\"") + 1));
        EXPECT_TRUE (out.session.strips.isEmpty());
    }
}

// A host whose files hold their strips at 0 to n - 1 takes the n kept channels only there: a gap
// is refused naming the strip left empty, the entry beyond the kept ones and the rule.
TEST (SelectionFile, AHostWithStripsInOrderTakesTheKeptChannelsOnlyThere)
{
    Fixture f (consecutiveStrips (3), { 8, 4, true });
    const rapp::SelectionPlacement inOrder { true, "REAPER projects" };
    using Edit = std::function<void (juce::var& doc)>;
    const auto set = [] (int channel, const char* key, const juce::var& value) {
        return [=] (juce::var& d) { channelAt (d, channel).getDynamicObject()->setProperty (key, value); };
    };
    struct Case { const char* what; std::vector<Edit> edits; juce::String error; };
    const Case cases[] = {
        { "unedited", {}, {} },
        { "the middle channel left out", { set (1, "selected", false) },
          "selection channel mapping leaves a gap: REAPER projects hold the 2 kept channels as strips 0 to 1 in order; strip 1 is "
          "kept by no channel, and channels[2] (source index 2) has targetIndex 2; give the kept channels targetIndex 0 to 1" },
        { "the middle channel left out, the last moved up", { set (1, "selected", false), set (2, "targetIndex", 1) }, {} },
        { "one channel kept, elsewhere", { set (1, "selected", false), set (2, "selected", false), set (0, "targetIndex", 3) },
          "selection channel mapping leaves a gap: REAPER projects hold the 1 kept channel as strip 0; strip 0 is kept by no "
          "channel, and channels[0] (source index 0) has targetIndex 3; give the kept channel targetIndex 0" },
        { "two channels swapped", { set (0, "targetIndex", 1), set (1, "targetIndex", 0) }, {} },
    };
    for (const auto& c : cases)
    {
        auto doc = f.report();
        for (const auto& edit : c.edits)
            edit (doc);
        f.write (doc);
        RackReadResult out;
        juce::String error;
        EXPECT_EQ (rapp::applySelectionFile (f.session, f.selection, f.capacity, f.target, out, error, inOrder), c.error.isEmpty()) << c.what;
        EXPECT_EQ (error, c.error) << c.what;
        // A host that takes any places takes the gap.
        EXPECT_TRUE (f.apply (out, error)) << c.what << ": " << error;
    }
}

// A kept plug-in keyed from a strip the source does not have is no channel any entry could keep:
// the source stays, for the preflight to judge, and never lands on a kept channel's new place.
TEST (SelectionFile, ASidechainFromAStripTheSourceLacksStaysTheSources)
{
    Fixture f ({ { 0, {} }, { 1, { 0 } } }, { 8, 4, true });
    f.session.session.strips.getReference (1).plugins.getReference (0).sidechainSource = 5;
    struct Case { juce::int32 channel0Target; juce::int32 sidechain; };
    const Case cases[] = { { 0, 5 }, { 5, 8 } };
    for (const auto& c : cases)
    {
        auto doc = f.report();
        channelAt (doc, 0).getDynamicObject()->setProperty ("targetIndex", c.channel0Target);
        f.write (doc);
        RackReadResult out;
        juce::String error;
        ASSERT_TRUE (f.apply (out, error)) << error;
        const auto* keyed = &out.session.strips.getReference (0);
        if (keyed->index != 1)
            keyed = &out.session.strips.getReference (1);
        EXPECT_EQ (keyed->plugins.getReference (0).sidechainSource, c.sidechain) << c.channel0Target;
        for (const auto& strip : out.session.strips)
            EXPECT_NE (strip.index, keyed->plugins.getReference (0).sidechainSource);
    }
}
