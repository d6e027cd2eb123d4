#include "model/RackSemanticCompare.h"
#include "model/ParameterSnapshot.h"

#include "RackBuilders.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

using namespace vornconv;
using vorntest::proven;

namespace
{

using Row = std::vector<std::string>; // path, field, expected, actual

juce::MemoryBlock bytes (std::initializer_list<int> values)
{
    juce::MemoryBlock block;
    for (int v : values)
        block.append (&v, 1);
    return block;
}

// One strip (index 3) with a VST3 slot carrying a parameter mirror and an AU slot; every field
// proven, so that each case below changes exactly one thing.
RackSession richSession()
{
    RackSession s;
    s.sampleRate = 48000.0;
    s.bufferSize = 256;
    s.inputDevice = "In";
    s.outputDevice = "Out";

    auto strip = proven (vorntest::strip (3, "Kick"));
    strip.routeInL = 4;

    auto vst = proven (vorntest::vst3Slot ("0123456789ABCDEF0123456789ABCDEF", "EQ", "Acme"));
    vst.state.component = bytes ({ 1, 2, 3 });
    vst.state.controller = bytes ({ 4 });
    vst.state.parameters = parameterState::encode ({ 0.25f, 0.5f }, 0);
    vst.state.parameterMirrorComplete = true;

    auto au = proven (vorntest::auSlot ("Delay", "aufx", "dely", "Acme"));
    au.state.raw = bytes ({ 9, 9 });

    strip.plugins.add (vst);
    strip.plugins.add (au);
    s.strips.add (strip);
    return s;
}

std::vector<Row> rowsOf (const RackSemanticComparison& c)
{
    std::vector<Row> rows;
    for (const auto& m : c.mismatches)
        rows.push_back ({ m.path.toStdString(), m.field.toStdString(), m.expected.toStdString(), m.actual.toStdString() });
    return rows;
}

RackStrip& strip0 (RackSession& s) { return s.strips.getReference (0); }
PluginRef& vstSlot (RackSession& s) { return strip0 (s).plugins.getReference (0); }
PluginRef& auSlot (RackSession& s) { return strip0 (s).plugins.getReference (1); }

struct Case
{
    const char* name;
    std::function<void (RackSession& expected, RackSession& actual)> change;
    std::vector<Row> rows;
};

const std::string slot0 = "strip 3, slot 0";
const std::string slot1 = "strip 3, slot 1";

} // namespace

TEST (RackSemanticCompare, IdenticalSessionsAreExact)
{
    EXPECT_EQ (compareRackSemantics (RackSession(), RackSession()).summary(), "exact");
    const auto rich = richSession();
    const auto c = compareRackSemantics (rich, rich);
    EXPECT_TRUE (c.isExact());
    EXPECT_EQ (c.summary(), "exact");
}

TEST (RackSemanticCompare, OneFieldChanges)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<Case> cases = {
        { "rate within tolerance", [] (auto&, auto& a) { a.sampleRate = 48000.0009; }, {} },
        { "rate unknown", [] (auto&, auto& a) { a.sampleRate = 0.0; }, { { "session", "sampleRate", "48000.000", "<unknown>" } } },
        { "rate differs", [] (auto&, auto& a) { a.sampleRate = 44100.0; }, { { "session", "sampleRate", "48000.000", "44100.000" } } },
        { "rate not finite", [] (auto&, auto& a) { a.sampleRate = std::numeric_limits<double>::infinity(); },
          { { "session", "sampleRate", "48000.000", juce::String (std::numeric_limits<double>::infinity(), 3).toStdString() } } },
        { "rate not expected", [] (auto& e, auto& a) { e.sampleRate = 0.0; a.sampleRate = 1.0; }, {} },
        { "buffer differs", [] (auto&, auto& a) { a.bufferSize = 512; }, { { "session", "bufferSize", "256", "512" } } },
        { "buffer unknown", [] (auto&, auto& a) { a.bufferSize = 0; }, { { "session", "bufferSize", "256", "<unknown>" } } },
        { "input device empty", [] (auto&, auto& a) { a.inputDevice = {}; }, { { "session", "inputDevice", "In", "<unknown>" } } },
        { "output device case", [] (auto&, auto& a) { a.outputDevice = "out"; }, { { "session", "outputDevice", "Out", "out" } } },
        { "device not expected", [] (auto& e, auto&) { e.inputDevice = {}; }, {} },
        { "strip index moved", [] (auto&, auto& a) { strip0 (a).index = 4; },
          { { "strip 3", "presence", "present", "missing" }, { "strip 4", "presence", "missing", "present" } } },
        { "name", [] (auto&, auto& a) { strip0 (a).name = "kick"; }, { { "strip 3", "name", "Kick", "kick" } } },
        { "name unknown", [] (auto&, auto& a) { strip0 (a).coverage.name = false; }, { { "strip 3", "name", "Kick", "<unknown>" } } },
        { "gain 0.0001", [] (auto&, auto& a) { strip0 (a).inputGainDb = 0.0001f; }, {} },
        { "gain 0.0002", [] (auto&, auto& a) { strip0 (a).inputGainDb = 0.0002f; }, { { "strip 3", "inputGainDb", "0.0000000", "0.0002000" } } },
        { "output gain unknown", [] (auto&, auto& a) { strip0 (a).coverage.outputGain = false; }, { { "strip 3", "outputGainDb", "0.0000000", "<unknown>" } } },
        { "pan", [] (auto&, auto& a) { strip0 (a).pan = 0.25f; }, { { "strip 3", "pan", "0.5000000", "0.2500000" } } },
        { "pan actual NaN", [nan] (auto&, auto& a) { strip0 (a).pan = nan; }, { { "strip 3", "pan", "0.5000000", juce::String (nan, 7).toStdString() } } },
        { "pan expected NaN", [nan] (auto& e, auto&) { strip0 (e).pan = nan; }, { { "strip 3", "pan", juce::String (nan, 7).toStdString(), "0.5000000" } } },
        { "pan not covered", [] (auto& e, auto& a) { strip0 (e).coverage.pan = false; strip0 (a).pan = 0.0f; }, {} },
        { "muted", [] (auto&, auto& a) { strip0 (a).muted = true; }, { { "strip 3", "muted", "false", "true" } } },
        { "soloed", [] (auto&, auto& a) { strip0 (a).soloed = true; }, { { "strip 3", "soloed", "false", "true" } } },
        { "bypassed", [] (auto&, auto& a) { strip0 (a).coverage.bypass = false; }, { { "strip 3", "bypassed", "false", "<unknown>" } } },
        { "input channels", [] (auto&, auto& a) { strip0 (a).inputChannels = 1; }, { { "strip 3", "inputChannels", "2", "1" } } },
        { "layout unknown", [] (auto&, auto& a) { strip0 (a).coverage.channelLayout = false; },
          { { "strip 3", "inputChannels", "2", "<unknown>" }, { "strip 3", "outputChannels", "2", "<unknown>" } } },
        { "route unknown", [] (auto&, auto& a) { strip0 (a).coverage.route = false; }, { { "strip 3", "route", "known physical patches", "<unknown>" } } },
        { "route differs", [] (auto&, auto& a) { strip0 (a).routeInL = 5; }, { { "strip 3", "route", "exact physical patches", "different patches" } } },
        { "slot emptied", [] (auto&, auto& a) { vstSlot (a).occupied = false; }, { { slot0, "presence", "present", "empty" } } },
        { "slot beyond actual end", [] (auto&, auto& a) { strip0 (a).plugins.removeLast(); }, { { slot1, "presence", "present", "empty" } } },
        { "slot only in actual", [] (auto&, auto& a) { strip0 (a).plugins.add (vstSlot (a)); }, { { "strip 3, slot 2", "presence", "empty", "present" } } },
        { "class id case", [] (auto&, auto& a) { vstSlot (a).classId = vstSlot (a).classId.toLowerCase(); }, {} },
        { "class id differs", [] (auto&, auto& a) { vstSlot (a).classId = "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"; },
          { { slot0, "identity", "0123456789ABCDEF0123456789ABCDEF", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF" } } },
        { "identity unknown", [] (auto&, auto& a) { vstSlot (a).coverage.identity = false; }, { { slot0, "identity", "EQ", "<unknown>" } } },
        { "format differs", [] (auto&, auto& a) { vstSlot (a).format = "VST"; },
          { { slot0, "identity", "0123456789ABCDEF0123456789ABCDEF", "0123456789ABCDEF0123456789ABCDEF" } } },
        { "name and vendor path", [] (auto& e, auto& a) { vstSlot (e).classId = {}; vstSlot (a).vendor = "Other"; },
          { { slot0, "identity", "EQ", "0123456789ABCDEF0123456789ABCDEF" } } },
        { "unique id path", [] (auto& e, auto& a) { vstSlot (e).classId = {}; vstSlot (a).classId = {};
                                                    vstSlot (e).uniqueId = 7; vstSlot (a).uniqueId = 8; },
          { { slot0, "identity", "EQ", "EQ" } } },
        { "unique id path ignores name", [] (auto& e, auto& a) { vstSlot (e).classId = {}; vstSlot (e).uniqueId = 7;
                                                                 vstSlot (a).classId = {}; vstSlot (a).uniqueId = 7; vstSlot (a).name = "X"; }, {} },
        { "deprecated uid", [] (auto& e, auto& a) { vstSlot (e).classId = {}; vstSlot (e).uniqueId = 7; vstSlot (e).deprecatedUid = 9;
                                                    vstSlot (a).classId = {}; vstSlot (a).uniqueId = 7; },
          { { slot0, "identity", "EQ", "EQ" } } },
        { "file", [] (auto& e, auto& a) { vstSlot (e).classId = {}; vstSlot (e).uniqueId = 7; vstSlot (e).file = juce::File ("/p/EQ.vst3");
                                          vstSlot (a).classId = {}; vstSlot (a).uniqueId = 7; vstSlot (a).file = juce::File ("/q/EQ.vst3"); },
          { { slot0, "identity", "EQ", "EQ" } } },
        { "au subtype", [] (auto&, auto& a) { auSlot (a).auSubtype = 1; }, { { slot1, "identity", "Delay", "Delay" } } },
        { "au type zero never matches", [] (auto& e, auto& a) { auSlot (e).auType = 0; auSlot (a).auType = 0; },
          { { slot1, "identity", "Delay", "Delay" } } },
        { "plugin bypassed", [] (auto&, auto& a) { vstSlot (a).bypassed = true; }, { { slot0, "bypassed", "false", "true" } } },
        { "plugin inactive unknown", [] (auto&, auto& a) { vstSlot (a).coverage.activation = false; },
          { { slot0, "bypassed", "false", "<unknown>" }, { slot0, "inactive", "false", "<unknown>" } } },
        { "plugin muted", [] (auto&, auto& a) { vstSlot (a).muted = true; }, { { slot0, "muted", "false", "true" } } },
        { "unavailable ignored", [] (auto&, auto& a) { vstSlot (a).unavailable = true; }, {} },
        { "sidechain source", [] (auto&, auto& a) { vstSlot (a).sidechainSource = 2; }, { { slot0, "sidechainSource", "-1", "2" } } },
        { "kind ignored without source", [] (auto&, auto& a) { vstSlot (a).sidechainKind = 3; vstSlot (a).sidechainEnabled = false; }, {} },
        { "kind with source", [] (auto& e, auto& a) { vstSlot (e).sidechainSource = 2; vstSlot (a).sidechainSource = 2; vstSlot (a).sidechainKind = 3; },
          { { slot0, "sidechainKind", "0", "3" } } },
        { "enabled with source", [] (auto& e, auto& a) { vstSlot (e).sidechainSource = 2; vstSlot (a).sidechainSource = 2; vstSlot (a).sidechainEnabled = false; },
          { { slot0, "sidechainEnabled", "true", "false" } } },
        { "state unknown", [] (auto&, auto& a) { vstSlot (a).coverage.state = false; }, { { slot0, "state", "Comp/Cont", "<unknown>" } } },
        { "component", [] (auto&, auto& a) { vstSlot (a).state.component = bytes ({ 1, 2, 4 }); }, { { slot0, "state.component", "exact bytes", "different bytes" } } },
        { "controller", [] (auto&, auto& a) { vstSlot (a).state.controller = {}; }, { { slot0, "state.controller", "exact bytes", "different bytes" } } },
        { "au raw", [] (auto&, auto& a) { auSlot (a).state.raw = bytes ({ 9 }); }, { { slot1, "state.auClassInfo", "exact bytes", "different bytes" } } },
        { "au ignores component", [] (auto&, auto& a) { auSlot (a).state.component = bytes ({ 1 }); }, {} },
        { "mirror key ignored", [] (auto&, auto& a) { vstSlot (a).state.parameters = parameterState::encode ({ 0.25f, 0.5f }, 99); }, {} },
        { "mirror values", [] (auto&, auto& a) { vstSlot (a).state.parameters = parameterState::encode ({ 0.25f, 0.75f }, 0); },
          { { slot0, "state.parameters", "exact normalized values", "different values" } } },
        { "mirror count", [] (auto&, auto& a) { vstSlot (a).state.parameters = parameterState::encode ({ 0.25f }, 0); },
          { { slot0, "state.parameters", "exact normalized values", "different values" } } },
        { "mirror undecodable on both", [] (auto& e, auto& a) { vstSlot (e).state.parameters = bytes ({ 1 }); vstSlot (a).state.parameters = bytes ({ 1 }); },
          { { slot0, "state.parameters", "exact normalized values", "different values" } } },
        { "mirror incomplete", [] (auto&, auto& a) { vstSlot (a).state.parameterMirrorComplete = false; },
          { { slot0, "state.parameters", "complete VNPM mirror", "<unknown>" } } },
        { "mirror not expected", [] (auto& e, auto& a) { vstSlot (e).state.parameterMirrorComplete = false; vstSlot (a).state.parameters = {}; }, {} },
        { "duplicate on actual", [] (auto&, auto& a) { a.strips.add (strip0 (a)); }, { { "strip 3", "presence", "present", "duplicate" } } },
        { "duplicate on expected", [] (auto& e, auto&) { e.strips.add (strip0 (e)); }, { { "strip 3", "presence", "duplicate", "present" } } },
    };

    for (const auto& c : cases)
    {
        auto expected = richSession();
        auto actual = richSession();
        c.change (expected, actual);
        EXPECT_EQ (rowsOf (compareRackSemantics (expected, actual)), c.rows) << c.name;
    }
}

TEST (RackSemanticCompare, UncoveredStripOnlyNeedsToExist)
{
    RackSession expected, actual;
    RackStrip e;
    e.index = 1;
    expected.strips.add (e);

    auto a = proven (vorntest::strip (1, "different", 1, 1));
    a.inputGainDb = 6.0f;
    a.pan = 0.0f;
    a.muted = a.soloed = a.bypassed = true;
    a.routeInL = 3;
    actual.strips.add (a);

    EXPECT_TRUE (compareRackSemantics (expected, actual).isExact());
}

TEST (RackSemanticCompare, RoutingIgnoresOrderAndRepetition)
{
    auto patch = [] (bool in, int rack, int phys) { return RackPhysicalPatch { in, rack, phys }; };
    struct RouteCase
    {
        const char* name;
        std::function<void (RackStrip&)> expected, actual;
        bool equal;
    };
    const std::vector<RouteCase> cases = {
        { "repetition", [&] (auto& s) { s.routePatches = { patch (true, 0, 4), patch (true, 0, 4) }; },
          [&] (auto& s) { s.routePatches = { patch (true, 0, 4) }; }, true },
        { "order", [&] (auto& s) { s.routePatches = { patch (false, 1, 2), patch (true, 0, 4), patch (true, 0, 5) }; },
          [&] (auto& s) { s.routePatches = { patch (true, 0, 5), patch (false, 1, 2), patch (true, 0, 4) }; }, true },
        { "summary route equals patch", [] (auto& s) { s.routeInL = 4; },
          [&] (auto& s) { s.routePatches = { patch (true, 0, 4) }; }, true },
        { "unpatched entries ignored", [&] (auto& s) { s.routePatches = { patch (true, 1, -1) }; s.routeOutL = 2; },
          [] (auto& s) { s.routeOutL = 2; }, true },
        { "mono ignores right input", [] (auto& s) { s.inputChannels = 1; s.routeInL = 0; s.routeInR = 1; },
          [] (auto& s) { s.inputChannels = 1; s.routeInL = 0; }, true },
        { "patches win over summary", [&] (auto& s) { s.routePatches = { patch (true, 0, 4) }; s.routeInL = 7; },
          [&] (auto& s) { s.routeInL = 7; }, false },
        { "direction matters", [&] (auto& s) { s.routePatches = { patch (true, 0, 4) }; },
          [&] (auto& s) { s.routePatches = { patch (false, 0, 4) }; }, false },
        { "extra patch", [&] (auto& s) { s.routePatches = { patch (true, 0, 4) }; },
          [&] (auto& s) { s.routePatches = { patch (true, 0, 4), patch (true, 1, 5) }; }, false },
    };

    for (const auto& c : cases)
    {
        RackSession expected, actual;
        RackStrip e, a;
        e.coverage.route = a.coverage.route = true;
        c.expected (e);
        c.actual (a);
        expected.strips.add (e);
        actual.strips.add (a);
        EXPECT_EQ (compareRackSemantics (expected, actual).isExact(), c.equal) << c.name;
    }
}

TEST (RackSemanticCompare, SummaryListsTheFirstEight)
{
    RackSession expected, actual;
    for (int i = 0; i < 10; ++i)
    {
        RackStrip s;
        s.index = i;
        expected.strips.add (s);
    }

    const auto c = compareRackSemantics (expected, actual);
    juce::StringArray lines;
    lines.addLines (c.summary());
    ASSERT_EQ (lines.size(), 9);
    EXPECT_EQ (lines[0], "10 mismatch(es)");
    EXPECT_EQ (lines[1], "strip 0.presence: present != missing");
    EXPECT_EQ (lines[8], "strip 7.presence: present != missing");

    RackSession rated;
    rated.sampleRate = 48000.0;
    EXPECT_EQ (compareRackSemantics (rated, RackSession()).summary(),
               "1 mismatch(es)\nsession.sampleRate: 48000.000 != <unknown>");
}
