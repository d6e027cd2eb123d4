#include "writers/ConversionLedger.h"

#include "RackBuilders.h"

#include "app/HostRegistry.h"
#include "model/ParameterSnapshot.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

using namespace vornconv;
using namespace vornconv::rapp;

namespace
{

juce::String utf8 (const char* text) { return juce::String::fromUTF8 (text); }

// The host of a target as its writer names it to the ledger.
const OutputHost& outputOf (Target target) { return *app::hostOf (target)->output; }

PluginRef proQ (const juce::String& name = "Pro-Q 3")
{
    auto p = vorntest::proven (vorntest::vst3Slot ("ED57BD725C60467EA64DD2F400758B6F", name, "FabFilter"));
    p.state = vorntest::vst3State (PluginStateEncoding::vst3Container, "COMP", "CTRL");
    p.state.parameters = parameterState::encode ({ 0.25f, 1.0f }, 0);
    p.state.parameterMirrorComplete = true;
    return p;
}

// Two proven strips: a coloured mono "Kick" with a plug-in in its first slot, a stereo "Snare"
// with one in its second.
RackSession carried()
{
    RackSession session;
    session.sampleRate = 48000.0;
    session.bufferSize = 128;
    session.inputDevice = "Stage In";
    session.outputDevice = "Stage Out";
    auto kick = vorntest::proven (vorntest::strip (0, "Kick", 1, 2));
    kick.hasColour = true;
    kick.colour = 0xff3366ccu;
    kick.outputGainDb = -1.5f;
    for (const RackPhysicalPatch patch : { RackPhysicalPatch { true, 0, 0 }, RackPhysicalPatch { false, 0, 0 }, RackPhysicalPatch { false, 1, 1 } })
        kick.routePatches.add (patch);
    kick.plugins.add (proQ());
    auto snare = vorntest::proven (vorntest::strip (1, "Snare"));
    snare.plugins.add (PluginRef());
    snare.plugins.add (proQ());
    session.strips.add (kick, snare);
    return session;
}

PluginRef& slotOf (RackSession& session, int strip, int slot)
{
    return session.strips.getReference (strip).plugins.getReference (slot);
}

using ExpectedNotes = std::vector<std::tuple<juce::String, Fidelity, juce::String>>;   // code, fidelity, text

} // namespace

// What the ledger finds between a session and its output, and how its notes say it: one note per
// field, DROPPED when a value is lost and APPROX when replaced, naming the field, how many strips
// or plug-ins it touches and the first of them.
TEST (ConversionLedger, SaysOfEachFieldThatChangedHowManyItTouchesAndTheFirst)
{
    struct Case
    {
        const char* label;
        Target target;
        std::function<void (RackSession&)> change;   // of the output, a copy of the carried session
        ExpectedNotes notes;
    };
    const std::vector<Case> cases = {
        { "the same session", targetReaper, [] (RackSession&) {}, {} },
        { "what the read-back comparison lets pass", targetReaper,
          [] (RackSession& s)
          {
              s.sampleRate = 48000.0009;
              s.strips.getReference (0).outputGainDb = -1.50009f;
              // The same routing, as summary routes.
              auto& kick = s.strips.getReference (0);
              kick.routePatches.clear();
              kick.routeInL = 0;
              kick.routeInR = 0;   // a mono input has no R
              kick.routeOutL = 0;
              kick.routeOutR = 1;
              // What names the host or its encoding is not a field of the ledger.
              s.sourceFormat = "reaper.rpp";
              s.capacityStrips = 3;
              auto& p = slotOf (s, 0, 0);
              p.classId = {};
              p.uniqueId = 7;
              p.state.encoding = PluginStateEncoding::hostSpecific;
              p.coverage.identity = false;
          },
          {} },
        { "vendors lost", targetLiveProfessor,
          [] (RackSession& s) { slotOf (s, 0, 0).vendor = slotOf (s, 1, 1).vendor = {}; },
          { { "ledger.slot.vendor", Fidelity::dropped,
              utf8 (u8"2 plug-ins: vendor not carried — LiveProfessor projects store no vendor (first: strip 0, slot 0, FabFilter)") } } },
        { "a name replaced", targetVornScene, [] (RackSession& s) { slotOf (s, 1, 1).name = "EQ Test"; },
          { { "ledger.slot.name", Fidelity::approx,
              utf8 (u8"1 plug-in: name replaced — Vorn Live scenes hold another value (first: strip 1, slot 1, Pro-Q 3 → EQ Test)") } } },
        { "a vendor lost and one filled in", targetVornScene,
          [] (RackSession& s)
          {
              slotOf (s, 0, 0).vendor = {};
              slotOf (s, 1, 1).vendor = "Acme";
          },
          { { "ledger.slot.vendor", Fidelity::dropped,
              utf8 (u8"2 plug-ins: vendor not carried or replaced — Vorn Live scenes store no vendor or another value "
                    u8"(first: strip 0, slot 0, FabFilter)") } } },
        { "the session's fields", targetReaper,
          [] (RackSession& s)
          {
              s.sampleRate = 44100.0;
              s.bufferSize = 0;
              s.inputDevice = {};
              s.outputDevice = "Other Out";
          },
          { { "ledger.sampleRate", Fidelity::approx, utf8 (u8"sampleRate replaced — REAPER projects hold another value (48000 → 44100)") },
            { "ledger.bufferSize", Fidelity::dropped, utf8 (u8"bufferSize not carried — REAPER projects store no bufferSize (source: 128)") },
            { "ledger.inputDevice", Fidelity::dropped, utf8 (u8"inputDevice not carried — REAPER projects store no inputDevice (source: Stage In)") },
            { "ledger.outputDevice", Fidelity::approx,
              utf8 (u8"outputDevice replaced — REAPER projects hold another value (Stage Out → Other Out)") } } },
        { "strips added and one not carried", targetVornScene,
          [] (RackSession& s)
          {
              s.strips.remove (1);
              s.strips.add (vorntest::strip (2, "Ch 3"), vorntest::strip (3, "Ch 4"));
          },
          { { "ledger.strips", Fidelity::dropped,
              utf8 (u8"strips: 1 not carried, 2 added — Vorn Live scenes hold 3 strips where the source has 2 (first: strip 1, Snare)") } } },
        { "colours: one lost, one filled in", targetLiveProfessor,
          [] (RackSession& s)
          {
              s.strips.getReference (0).hasColour = false;
              s.strips.getReference (1).hasColour = true;
              s.strips.getReference (1).colour = 0xffff7b33u;
          },
          { { "ledger.strip.colour", Fidelity::dropped,
              utf8 (u8"2 strips: colour not carried or replaced — LiveProfessor projects store no colour or another value "
                    u8"(first: strip 0, ff3366cc)") } } },
        // A REAPER project can hold a colour, but every track is the profile's, with its colour.
        { "colours of REAPER tracks: the profile's", targetReaper,
          [] (RackSession& s)
          {
              s.strips.getReference (0).hasColour = false;
              s.strips.getReference (1).hasColour = true;
              s.strips.getReference (1).colour = 0x01004060u;
          },
          { { "ledger.strip.colour", Fidelity::dropped,
              utf8 (u8"2 strips: colour not carried or replaced — REAPER output keeps the profile's colour (first: strip 0, ff3366cc)") } } },
        { "a field the output's reader does not prove is lost; a proven one replaced", targetSuperRackPerformer,
          [] (RackSession& s)
          {
              s.strips.getReference (0).pan = 0.25f;
              s.strips.getReference (0).coverage.pan = false;
              s.strips.getReference (1).outputGainDb = -3.0f;
              s.strips.getReference (1).muted = true;
          },
          { { "ledger.strip.outputGainDb", Fidelity::approx,
              utf8 (u8"1 strip: outputGainDb replaced — SuperRack sessions hold another value (first: strip 1, 0 → -3)") },
            { "ledger.strip.pan", Fidelity::dropped,
              utf8 (u8"1 strip: pan not carried — SuperRack sessions store no pan (first: strip 0, 0.5)") },
            { "ledger.strip.muted", Fidelity::approx,
              utf8 (u8"1 strip: muted replaced — SuperRack sessions hold another value (first: strip 1, false → true)") } } },
        { "the routing as a set of physical patches", targetReaper,
          [] (RackSession& s) { s.strips.getReference (0).routePatches.getReference (0).physicalChannel = 5; },
          { { "ledger.strip.routePatches", Fidelity::approx,
              utf8 (u8"1 strip: routePatches replaced — REAPER projects hold another value "
                    u8"(first: strip 0, out 0=0, out 1=1, in 0=0 → out 0=0, out 1=1, in 0=5)") } } },
        { "a state's bytes and a mirror's stored bytes, each its own digest", targetReaper,
          [] (RackSession& s)
          {
              slotOf (s, 0, 0).state.component = vorntest::bytesOf ("COMP2");
              // The same values under another key: the stored bytes differ, the values do not.
              slotOf (s, 1, 1).state.parameters = parameterState::encode ({ 0.25f, 1.0f }, 7);
          },
          { { "ledger.slot.componentSha256", Fidelity::approx,
              utf8 (u8"1 plug-in: componentSha256 replaced — REAPER projects hold another value (first: strip 0, slot 0, Pro-Q 3)") },
            { "ledger.slot.parameterSha256", Fidelity::approx,
              utf8 (u8"1 plug-in: parameterSha256 replaced — REAPER projects hold another value (first: strip 1, slot 1, Pro-Q 3)") } } },
        { "a mirror lost", targetReaper,
          [] (RackSession& s)
          {
              for (auto* p : { &slotOf (s, 0, 0), &slotOf (s, 1, 1) })
              {
                  p->state.parameters.reset();
                  p->state.parameterMirrorComplete = false;
              }
          },
          { { "ledger.slot.parameterSha256", Fidelity::dropped,
              utf8 (u8"2 plug-ins: parameterSha256 not carried — REAPER projects store no parameterSha256 (first: strip 0, slot 0, Pro-Q 3)") },
            { "ledger.slot.parameterValuesSha256", Fidelity::dropped,
              utf8 (u8"2 plug-ins: parameterValuesSha256 not carried — REAPER projects store no parameterValuesSha256 "
                    u8"(first: strip 0, slot 0, Pro-Q 3)") },
            { "ledger.slot.parameterMirrorComplete", Fidelity::dropped,
              utf8 (u8"2 plug-ins: parameterMirrorComplete not carried — REAPER projects store no parameterMirrorComplete "
                    u8"(first: strip 0, slot 0, Pro-Q 3)") } } },
        { "a bypass written, and one on a plug-in that is unavailable", targetSuperRackPerformer,
          [] (RackSession& s)
          {
              slotOf (s, 0, 0).bypassed = true;
              slotOf (s, 1, 1).bypassed = true;
              slotOf (s, 1, 1).sidechainSource = 0;
          },
          { { "ledger.slot.bypassed", Fidelity::approx,
              utf8 (u8"1 plug-in: bypassed replaced — SuperRack sessions hold another value (first: strip 0, slot 0, false → true)") },
            { "ledger.slot.sidechainSource", Fidelity::approx,
              utf8 (u8"1 plug-in: sidechainSource replaced — SuperRack sessions hold another value (first: strip 1, slot 1, (none) → 0)") } } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        auto source = carried();
        // The run found the second plug-in unavailable: it is written switched off.
        slotOf (source, 1, 1).unavailable = juce::String (c.label).contains ("unavailable");
        auto output = source;
        c.change (output);
        const auto notes = balanceLedger (source, output, outputOf (c.target));
        ExpectedNotes found;
        for (const auto& note : notes)
            found.emplace_back (note.code, note.fidelity, note.text);
        EXPECT_EQ (found.size(), c.notes.size());
        for (size_t i = 0; i < found.size() && i < c.notes.size(); ++i)
        {
            EXPECT_EQ (std::get<0> (found[i]), std::get<0> (c.notes[i]));
            EXPECT_EQ (std::get<1> (found[i]), std::get<1> (c.notes[i])) << std::get<0> (found[i]);
            EXPECT_EQ (std::get<2> (found[i]), std::get<2> (c.notes[i]));
        }
    }
}

// Session text in a note is made printable: a note is one line.
TEST (ConversionLedger, QuotesSessionTextOnOneLine)
{
    auto source = carried();
    auto output = source;
    slotOf (output, 0, 0).name = "EQ\nTest";
    const auto notes = balanceLedger (source, output, outputOf (targetVornScene));
    ASSERT_EQ (notes.size(), 1);
    EXPECT_EQ (notes[0].text, utf8 (u8"1 plug-in: name replaced — Vorn Live scenes hold another value "
                                    u8"(first: strip 0, slot 0, Pro-Q 3 → EQ\\nTest)"));
}

// What the convert prints of a write's ledger: the fields its writer's own notes do not account for.
TEST (ConversionLedger, LeavesOutWhatTheWritersNotesSay)
{
    WriteResult written;
    EXPECT_TRUE (unnotedLedger (written).isEmpty());

    auto document = std::make_shared<ProvenDocument>();
    document->ledger.add (Fidelity::dropped, ledgerNoteCode (ledgerField::inputDevice), "inputDevice not carried");
    document->ledger.add (Fidelity::dropped, ledgerNoteCode ("slot.vendor"), "vendor not carried");
    written.compared = document;
    EXPECT_EQ (unnotedLedger (written).size(), 2);
    written.notedFields.add (ledgerField::inputDevice);
    const auto printed = unnotedLedger (written);
    ASSERT_EQ (printed.size(), 1);
    EXPECT_EQ (printed[0].code, "ledger.slot.vendor");
    EXPECT_EQ (printed[0].fidelity, Fidelity::dropped);
}
