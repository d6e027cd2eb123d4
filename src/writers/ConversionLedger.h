#pragma once

#include "model/RackModel.h"
#include "writers/OutputHost.h"
#include "writers/WriteResult.h"

#include <juce_core/juce_core.h>

// The ledger of a conversion: the fields of the manifest that carry meaning, compared between the
// session a conversion carries (its source, as the writer was given it) and its output, as the
// target's own reader read it back, so that no field changes without a note. What changed the
// source on its way to the writer accounts for itself: a selection names what it left out (and
// the ledger names strips and slots, and counts the strips, as the session was read), the
// parameter mirrors say what they kept, filled and replaced.
//
// The fields, by their manifest key (a strip's after "strip.", a plug-in's after "slot."): the
// session's sampleRate, bufferSize, inputDevice and outputDevice; the number of strips
// ("strips"); every strip field of the field tables (model/RackFields.h: name, gains, pan,
// switches, channel counts, the physical routing as the comparison sees it, "strip.routePatches",
// and the colour, "strip.colour", which the manifest leaves out); every plug-in field the tables
// keep for the ledger (name, vendor, bypassed, muted, sidechainSource, and the state as the
// manifest's componentSha256, controllerSha256, parameterSha256, parameterValuesSha256 and
// parameterMirrorComplete); and the session's snapshots (by name, which the manifest leaves out).
// Strips are matched by index, plug-ins by strip and slot, snapshots by name. What names the host (source format, application and version,
// capacity, coverage flags, the host's own identifiers and encodings) is not compared, floats are
// compared within the comparison's tolerances, and the digests are compared as what they digest:
// the bytes, and the decoded parameter values.
//
// Every field that differs is one note, whatever the number of strips or plug-ins it touches:
// code "ledger." + the field ("ledger.inputDevice", "ledger.slot.vendor"), fidelity DROPPED when
// a value is lost (the output holds none, or its reader does not prove the field) and APPROX when
// it is replaced (a value filled in where the source had none counts as replaced). The text names
// the field, says how many strips or plug-ins it touches and gives the first of them (by strip
// index and slot position, counted from 0 as the dump and the preflight count them) with the
// source's value, or the source's and the output's (a state's digests by the plug-in's name):
//   "2 plug-ins: vendor not carried — LiveProfessor projects store no vendor (first: strip 0, slot 0, FabFilter)"
//   "1 plug-in: name replaced — Vorn Live scenes hold another value (first: strip 1, slot 2, My EQ (old → EQ Test)"
//   "inputDevice not carried — REAPER projects store no inputDevice (source: Stage Interface)"
//   "strips: 13 added — Vorn Live scenes hold 16 strips where the source has 3 (first: strip 3, Ch 4)"
//   "strips: 12 added — Vorn Live scenes hold 16 strips where the source has 16 and the selection keeps 4 (first: strip 4, Ch 5)"
//   "snapshots: 1 not carried — REAPER projects hold 0 snapshots where the source has 1 (first: stage-left)"
//   "snapshots: 1 renamed — Vorn Live scenes name their snapshot after their file (first: stage-left → new)"
// A field the host's writer takes from its profile (OutputHost::profileFields) says so instead:
//   "2 strips: colour not carried — REAPER output keeps the profile's colour (first: strip 0, ff3366cc)"
// A plug-in the run found unavailable is written switched off, as the preflight's warning and the
// convert's count of unavailable plug-ins say: its bypass is not a difference.
namespace vornconv::rapp
{

// The fields a writer's own notes may account for (WriteResult::notedFields).
namespace ledgerField
{
constexpr const char* sampleRate = "sampleRate";
constexpr const char* bufferSize = "bufferSize";
constexpr const char* inputDevice = "inputDevice";
constexpr const char* outputDevice = "outputDevice";
constexpr const char* stripColour = "strip.colour";
constexpr const char* pluginBypassed = "slot.bypassed";
constexpr const char* pluginMuted = "slot.muted";
constexpr const char* pluginSidechainSource = "slot.sidechainSource";
constexpr const char* parameterSha256 = "slot.parameterSha256";
constexpr const char* parameterValuesSha256 = "slot.parameterValuesSha256";
constexpr const char* parameterMirrorComplete = "slot.parameterMirrorComplete";
} // namespace ledgerField

// "ledger." + the field: the code of its note.
juce::String ledgerNoteCode (const juce::String& field);

// One note per field that differs between carried and output, in the manifest's order (the
// snapshots last). The states are compared where they lie and each parameter mirror is decoded
// once per side; no digest is computed. target names the output in the notes; outputName is the
// output's file name without its extension (the name of a scene's snapshot), empty where there is
// no output yet.
NoteList balanceLedger (const RackSession& carried, const RackSession& output, const OutputHost& target,
                        const juce::String& outputName = {});

// The ledger of what a write compared (none before its proof held), less the fields the writer's
// own notes account for: what the convert prints after the writer's notes.
NoteList unnotedLedger (const WriteResult& written);

} // namespace vornconv::rapp
