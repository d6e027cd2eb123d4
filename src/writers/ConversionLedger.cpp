// The ledger of a conversion (what it compares and what its notes say is in the header).
//
// In this file, in order:
//   - the value texts of the notes;
//   - how two values of each kind differ: not at all, lost or replaced;
//   - the tally of one field over strips or plug-ins, and its note;
//   - the session's fields, the strips, their fields and their plug-ins' fields (walked over the
//     field tables, model/RackFields.h);
//   - the snapshots;
//   - the ledger, and what of it a writer's notes leave unsaid.

#include "writers/ConversionLedger.h"

#include "model/ParameterSnapshot.h"
#include "model/RackFields.h"
#include "model/RackSemanticCompare.h"
#include "model/ValueComparison.h"
#include "rapp/RappConversionPlan.h"

#include <map>
#include <optional>
#include <set>
#include <vector>

namespace vornconv::rapp
{

namespace
{

const juce::String& dash()
{
    static const auto text = juce::String::fromUTF8 (u8" \u2014 ");
    return text;
}

const juce::String& arrow()
{
    static const auto text = juce::String::fromUTF8 (u8" \u2192 ");
    return text;
}

//==============================================================================
// Value texts: session text made printable, "(empty)" and "(none)" for what is not there.

juce::String textValue (const juce::String& text) { return text.isEmpty() ? juce::String ("(empty)") : printableSessionText (text); }
juce::String boolValue (bool value) { return value ? "true" : "false"; }
juce::String floatValue (float value) { return juce::String (value); }
juce::String rateValue (double rate) { return rate > 0.0 ? juce::String (rate) : juce::String ("(none)"); }
juce::String bufferValue (juce::int32 size) { return size >= 1 ? juce::String (size) : juce::String ("(none)"); }
juce::String sidechainValue (juce::int32 source) { return source >= 0 ? juce::String (source) : juce::String ("(none)"); }

juce::String colourValue (const RackStrip& strip)
{
    return strip.hasColour ? juce::String::toHexString ((juce::int64) strip.colour).paddedLeft ('0', 8) : juce::String ("(none)");
}

juce::String routingValue (const juce::Array<RackPhysicalPatch>& patches)
{
    juce::StringArray parts;
    for (const auto& patch : patches)
        parts.add ((patch.isInput ? "in " : "out ") + juce::String (patch.rackChannel) + "=" + juce::String (patch.physicalChannel));
    return parts.isEmpty() ? juce::String ("(none)") : parts.joinIntoString (", ");
}

//==============================================================================
// How a value of the output differs from the carried one.

enum class Change
{
    none,
    lost,       // the output holds no value, or its reader does not prove the field
    replaced    // the output holds another value (also where the source had none)
};

Change ofTexts (const juce::String& carried, const juce::String& output)
{
    if (carried == output)
        return Change::none;
    return output.isEmpty() ? Change::lost : Change::replaced;
}

// A field under a coverage flag: a value the output's reader does not prove is lost.
Change ofProven (bool same, bool outputProven)
{
    if (same)
        return Change::none;
    return outputProven ? Change::replaced : Change::lost;
}

// What a digest of the manifest stands for is compared, not the digest: the bytes themselves
// (an empty block has no digest).
Change ofBytes (const juce::MemoryBlock& carried, const juce::MemoryBlock& output)
{
    if (sameBytes (carried, output))
        return Change::none;
    return output.isEmpty() ? Change::lost : Change::replaced;
}

// The values the manifest's parameter-value digest covers: a complete mirror that decodes.
std::optional<juce::Array<float>> parameterValues (const PluginState& state)
{
    if (! state.parameterMirrorComplete)
        return std::nullopt;
    parameterState::Snapshot snapshot;
    juce::String error;
    if (! parameterState::decode (state.parameters, snapshot, error))
        return std::nullopt;
    return std::move (snapshot.values);
}

// The same digest means the same values bit for bit (the digest is taken over their encoding).
Change ofParameterValues (const PluginState& carried, const PluginState& output)
{
    const auto a = parameterValues (carried);
    const auto b = parameterValues (output);
    if (! a.has_value() && ! b.has_value())
        return Change::none;
    if (! b.has_value())
        return Change::lost;
    if (a.has_value()
        && sameBytes (a->begin(), sizeof (float) * (size_t) a->size(), b->begin(), sizeof (float) * (size_t) b->size()))
        return Change::none;
    return Change::replaced;
}

bool samePatches (const juce::Array<RackPhysicalPatch>& a, const juce::Array<RackPhysicalPatch>& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i)
    {
        const auto& x = a.getReference (i);
        const auto& y = b.getReference (i);
        if (x.isInput != y.isInput || x.rackChannel != y.rackChannel || x.physicalChannel != y.physicalChannel)
            return false;
    }
    return true;
}

//==============================================================================
// One field over every strip or plug-in it touches.

struct Tally
{
    Tally (const juce::String& name, bool plugins) : field (name), ofPlugins (plugins) {}

    juce::String field;  // "strip.pan", "slot.vendor"
    bool ofPlugins;
    int lost = 0;
    int replaced = 0;
    juce::String first;  // where the first difference is, and its values

    // Counts a change; where is only asked for the first one.
    template <typename Where>
    void count (Change change, const Where& where)
    {
        if (change == Change::none)
            return;
        if (lost + replaced == 0)
            first = where (change);
        ++(change == Change::lost ? lost : replaced);
    }
};

// The manifest's key: the field after its "strip." or "slot.".
juce::String keyOf (const juce::String& field)
{
    return field.fromLastOccurrenceOf (".", false, false);
}

// The host's documents as the notes name them ("REAPER projects").
juce::String documentsOf (const OutputHost& target)
{
    return juce::String (target.hostName) + " " + target.documents;
}

bool takenFromProfile (const OutputHost& target, const juce::String& field)
{
    for (const auto* kept : target.profileFields)
        if (field == kept)
            return true;
    return false;
}

void addNote (NoteList& notes, const Tally& tally, const OutputHost& target)
{
    const int count = tally.lost + tally.replaced;
    if (count == 0)
        return;
    const auto key = keyOf (tally.field);
    const auto unit = tally.ofPlugins ? (count == 1 ? "plug-in" : "plug-ins") : (count == 1 ? "strip" : "strips");
    const auto documents = documentsOf (target);
    juce::String what, why;
    if (tally.replaced == 0)
    {
        what = "not carried";
        why = documents + " store no " + key;
    }
    else if (tally.lost == 0)
    {
        what = "replaced";
        why = documents + " hold another value";
    }
    else
    {
        what = "not carried or replaced";
        why = documents + " store no " + key + " or another value";
    }
    // A field the documents can hold but the writer takes from its profile: the output holds the
    // profile's value, as the writer's own note says.
    if (takenFromProfile (target, tally.field))
        why = juce::String (target.hostName) + " output keeps the profile's " + key;
    notes.add (tally.lost > 0 ? Fidelity::dropped : Fidelity::approx, ledgerNoteCode (tally.field),
               juce::String (count) + " " + unit + ": " + key + " " + what + dash() + why + " (first: " + tally.first + ")");
}

// A difference's values: the source's when it is lost, else the source's and the output's.
juce::String changeText (Change change, const juce::String& carried, const juce::String& output)
{
    return change == Change::lost ? carried : carried + arrow() + output;
}

//==============================================================================
// The session's own fields: one note each.

void sessionField (NoteList& notes, const char* field, Change change, const juce::String& carried, const juce::String& output,
                   const OutputHost& target)
{
    if (change == Change::none)
        return;
    const auto documents = documentsOf (target);
    if (change == Change::lost)
        notes.add (Fidelity::dropped, ledgerNoteCode (field),
                   juce::String (field) + " not carried" + dash() + documents + " store no " + field + " (source: " + carried + ")");
    else
        notes.add (Fidelity::approx, ledgerNoteCode (field),
                   juce::String (field) + " replaced" + dash() + documents + " hold another value (" + carried + arrow() + output
                       + ")");
}

void compareSession (NoteList& notes, const RackSession& carried, const RackSession& output, const OutputHost& target)
{
    const bool sameRate = (! (carried.sampleRate > 0.0) && ! (output.sampleRate > 0.0))
                          || withinTolerance (carried.sampleRate, output.sampleRate, tolerance::sampleRate);
    const auto rate = sameRate ? Change::none : (carried.sampleRate > 0.0 && ! (output.sampleRate > 0.0) ? Change::lost : Change::replaced);
    sessionField (notes, ledgerField::sampleRate, rate, rateValue (carried.sampleRate), rateValue (output.sampleRate), target);

    const bool sameBuffer = (carried.bufferSize < 1 && output.bufferSize < 1) || carried.bufferSize == output.bufferSize;
    const auto buffer = sameBuffer ? Change::none : (carried.bufferSize >= 1 && output.bufferSize < 1 ? Change::lost : Change::replaced);
    sessionField (notes, ledgerField::bufferSize, buffer, bufferValue (carried.bufferSize), bufferValue (output.bufferSize), target);

    sessionField (notes, ledgerField::inputDevice, ofTexts (carried.inputDevice, output.inputDevice), textValue (carried.inputDevice),
                  textValue (output.inputDevice), target);
    sessionField (notes, ledgerField::outputDevice, ofTexts (carried.outputDevice, output.outputDevice),
                  textValue (carried.outputDevice), textValue (output.outputDevice), target);
}

//==============================================================================
// Strips: matched by index (the first strip of each), counted, then compared field by field.

using StripsByIndex = std::map<juce::int32, const RackStrip*>;

StripsByIndex stripsByIndex (const RackSession& session)
{
    StripsByIndex strips;
    for (const auto& strip : session.strips)
        strips.emplace (strip.index, &strip);
    return strips;
}

// Strips and slots by their indices, counted from 0 as every other line counts them: a strip or
// slot of the session carried by the index and position it had in the session as read (a
// selection's projection renumbers them), a strip only the output has by its own.
struct Places
{
    const SelectionOrigin& origin;

    juce::String strip (const RackStrip& carried) const
    {
        const auto found = origin.stripIndex.find (carried.index);
        return "strip " + juce::String (found != origin.stripIndex.end() ? found->second : carried.index);
    }

    juce::String slot (const RackStrip& carried, int position) const
    {
        const auto found = origin.slot.find ({ carried.index, position });
        return strip (carried) + ", slot " + juce::String (found != origin.slot.end() ? found->second : position);
    }
};

juce::String outputStripPlace (const RackStrip& strip) { return "strip " + juce::String (strip.index); }

// "strips: 13 added — Vorn Live scenes hold 16 strips where the source has 3 (first: strip 3, Ch 4)"; the
// source is the session as read, of which a selection keeps some strips ("... where the source has
// 16 and the selection keeps 4 ...": what it left out its own note names).
void compareStripCount (NoteList& notes, const RackSession& carried, const RackSession& output, const StripsByIndex& carriedStrips,
                        const StripsByIndex& outputStrips, const OutputHost& target, const Places& places)
{
    int lost = 0, added = 0;
    juce::String first;
    for (const auto& strip : carried.strips)
        if (outputStrips.count (strip.index) == 0 && lost++ == 0)
            first = places.strip (strip) + ", " + textValue (strip.name);
    for (const auto& strip : output.strips)
        if (carriedStrips.count (strip.index) == 0 && added++ == 0 && lost == 0)
            first = outputStripPlace (strip) + ", " + textValue (strip.name);
    if (lost + added == 0)
        return;
    juce::StringArray what;
    if (lost > 0)
        what.add (juce::String (lost) + " not carried");
    if (added > 0)
        what.add (juce::String (added) + " added");
    const auto& origin = carried.selectedFrom;
    const auto source = origin.isProjection()
                            ? juce::String (origin.sourceStrips) + " and the selection keeps " + juce::String (carried.strips.size())
                            : juce::String (carried.strips.size());
    notes.add (lost > 0 ? Fidelity::dropped : Fidelity::approx, ledgerNoteCode ("strips"),
               "strips: " + what.joinIntoString (", ") + dash() + documentsOf (target) + " hold " + juce::String (output.strips.size())
                   + " strips where the source has " + source + " (first: " + first + ")");
}

// A state is accounted for by the manifest's digests of it and the completeness of its mirror.
constexpr const char* stateKeys[] = { "componentSha256", "controllerSha256", "parameterSha256", "parameterValuesSha256",
                                      "parameterMirrorComplete" };

// One tally per field the ledger compares, in the order of the field tables (so in the manifest's).
struct Tallies
{
    std::vector<Tally> strips;
    std::vector<Tally> plugins;

    Tallies()
    {
        for (const auto& field : rackFields::stripFields)
            strips.emplace_back ("strip." + juce::String (field.key), false);
        for (const auto& field : rackFields::slotFields)
        {
            if (! field.inLedger)
                continue;
            if (field.kind == rackFields::SlotKind::state)
                for (const auto* key : stateKeys)
                    plugins.emplace_back ("slot." + juce::String (key), true);
            else
                plugins.emplace_back ("slot." + juce::String (field.key), true);
        }
    }
};

// A field under a coverage flag that the output's reader did not prove is lost; a field under
// none is proven by being there.
template <typename Coverage>
bool provenIn (const Coverage& coverage, bool Coverage::* flag)
{
    return flag == nullptr || coverage.*flag;
}

void compareStripFields (Tallies& tallies, const RackStrip& a, const RackStrip& b, const Places& places)
{
    const auto at = [&a, &places] (const juce::String& carried, const juce::String& output)
    {
        return [&a, &places, carried, output] (Change change) { return places.strip (a) + ", " + changeText (change, carried, output); };
    };

    using rackFields::StripKind;
    auto tally = tallies.strips.begin();
    for (const auto& field : rackFields::stripFields)
    {
        auto& t = *tally++;
        const bool outputProven = provenIn (b.coverage, field.proven);
        switch (field.kind)
        {
            case StripKind::text:
            {
                const auto& x = a.*field.text;
                const auto& y = b.*field.text;
                t.count (x == y ? Change::none : (y.isEmpty() || ! outputProven ? Change::lost : Change::replaced),
                         at (textValue (x), textValue (y)));
                break;
            }
            case StripKind::level:
            {
                const float x = a.*field.level, y = b.*field.level;
                t.count (ofProven (withinTolerance (x, y, tolerance::level), outputProven), at (floatValue (x), floatValue (y)));
                break;
            }
            case StripKind::flag:
            {
                const bool x = a.*field.flag, y = b.*field.flag;
                t.count (ofProven (x == y, outputProven), at (boolValue (x), boolValue (y)));
                break;
            }
            case StripKind::count:
            {
                const juce::int32 x = a.*field.count, y = b.*field.count;
                t.count (ofProven (x == y, outputProven), at (juce::String (x), juce::String (y)));
                break;
            }
            case StripKind::routing:
            {
                const auto carriedPatches = canonicalPatchSet (a);
                const auto outputPatches = canonicalPatchSet (b);
                const auto routing = samePatches (carriedPatches, outputPatches)
                                         ? Change::none
                                         : (outputPatches.isEmpty() || ! outputProven ? Change::lost : Change::replaced);
                t.count (routing, at (routingValue (carriedPatches), routingValue (outputPatches)));
                break;
            }
            case StripKind::colour:
            {
                const bool sameColour = a.hasColour == b.hasColour && (! a.hasColour || a.colour == b.colour);
                const auto colourChange = sameColour ? Change::none : (a.hasColour && ! b.hasColour ? Change::lost : Change::replaced);
                t.count (colourChange, at (colourValue (a), colourValue (b)));
                break;
            }
        }
    }
}

void comparePluginFields (Tallies& tallies, const RackStrip& strip, int slot, const PluginRef& a, const PluginRef& b,
                          const Places& places)
{
    const auto at = [&strip, slot, &places] (const juce::String& carried, const juce::String& output)
    {
        return [&strip, slot, &places, carried, output] (Change change)
        {
            return places.slot (strip, slot) + ", " + changeText (change, carried, output);
        };
    };
    // A state's digests say nothing a reader can use: the plug-in is named instead.
    const auto named = [&strip, slot, &a, &places] (Change) { return places.slot (strip, slot) + ", " + textValue (a.name); };

    using rackFields::SlotKind;
    auto tally = tallies.plugins.begin();
    for (const auto& field : rackFields::slotFields)
    {
        if (! field.inLedger)
            continue;
        const bool outputProven = provenIn (b.coverage, field.proven);
        switch (field.kind)
        {
            case SlotKind::text:
            {
                const auto& x = a.*field.text;
                const auto& y = b.*field.text;
                (*tally++).count (x == y ? Change::none : (y.isEmpty() || ! outputProven ? Change::lost : Change::replaced),
                                  at (textValue (x), textValue (y)));
                break;
            }
            case SlotKind::flag:
            {
                auto& t = *tally++;
                // An unavailable plug-in is written switched off, as the preflight says: its
                // activation is no difference.
                if (field.proven == &PluginCoverage::activation && a.unavailable)
                    break;
                const bool x = a.*field.flag, y = b.*field.flag;
                t.count (ofProven (x == y, outputProven), at (boolValue (x), boolValue (y)));
                break;
            }
            case SlotKind::sidechain:
            {
                const auto sidechain = a.sidechainSource == b.sidechainSource
                                           ? Change::none
                                           : (b.sidechainSource < 0 || ! outputProven ? Change::lost : Change::replaced);
                (*tally++).count (sidechain, at (sidechainValue (a.sidechainSource), sidechainValue (b.sidechainSource)));
                break;
            }
            case SlotKind::state:
            {
                // In the order of stateKeys.
                (*tally++).count (ofBytes (a.state.component, b.state.component), named);
                (*tally++).count (ofBytes (a.state.controller, b.state.controller), named);
                (*tally++).count (ofBytes (a.state.parameters, b.state.parameters), named);
                (*tally++).count (ofParameterValues (a.state, b.state), named);
                const auto mirror = a.state.parameterMirrorComplete == b.state.parameterMirrorComplete
                                        ? Change::none
                                        : (a.state.parameterMirrorComplete ? Change::lost : Change::replaced);
                (*tally++).count (mirror, named);
                break;
            }
            case SlotKind::identity:
                break; // what names the host's own classes is not compared
        }
    }
}

void compareStrip (Tallies& tallies, const RackStrip& a, const RackStrip& b, const Places& places)
{
    compareStripFields (tallies, a, b, places);
    // A plug-in on one side only is what every proof refuses; only plug-ins on both sides are
    // compared.
    for (int k = 0; k < a.plugins.size() && k < b.plugins.size(); ++k)
    {
        const auto& x = a.plugins.getReference (k);
        const auto& y = b.plugins.getReference (k);
        if (x.occupied && y.occupied)
            comparePluginFields (tallies, a, k, x, y, places);
    }
}

//==============================================================================
// The snapshots: matched by name, one note for all of them.

// "snapshots: 1 renamed — LiveProfessor projects hold 1 snapshot where the source has 1 (first: s → VORN_CLEAN_SNAPSHOT)";
// a host whose one snapshot takes its document's file name says so, and names it by the output's
// name (outputName; a proof without an output has none).
void compareSnapshots (NoteList& notes, const RackSession& carried, const RackSession& output, const OutputHost& target,
                       const juce::String& outputName)
{
    const auto fileName = outputName.isNotEmpty() ? outputName : juce::String ("the output's file name");
    std::multiset<juce::String> unmatched;
    for (const auto& snapshot : output.snapshots)
        unmatched.insert (target.snapshotNamedAfterFile ? fileName : snapshot.name);
    juce::StringArray lostNames;
    for (const auto& snapshot : carried.snapshots)
    {
        const auto found = unmatched.find (snapshot.name);
        if (found != unmatched.end())
            unmatched.erase (found);
        else
            lostNames.add (snapshot.name);
    }
    // In the output's order: what is left of it was added or took the place of a lost one.
    juce::StringArray addedNames;
    for (const auto& snapshot : output.snapshots)
    {
        const auto name = target.snapshotNamedAfterFile ? fileName : snapshot.name;
        if (const auto found = unmatched.find (name); found != unmatched.end())
        {
            unmatched.erase (found);
            addedNames.add (name);
        }
    }
    if (lostNames.isEmpty() && addedNames.isEmpty())
        return;

    const int renamed = juce::jmin (lostNames.size(), addedNames.size());
    const int lost = lostNames.size() - renamed;
    const int added = addedNames.size() - renamed;
    juce::StringArray what;
    if (renamed > 0)
        what.add (juce::String (renamed) + " renamed");
    if (lost > 0)
        what.add (juce::String (lost) + " not carried");
    if (added > 0)
        what.add (juce::String (added) + " added");
    const auto first = renamed > 0 ? textValue (lostNames[0]) + arrow() + textValue (addedNames[0])
                                   : textValue (lost > 0 ? lostNames[0] : addedNames[0]);
    const auto count = output.snapshots.size();
    const auto why = target.snapshotNamedAfterFile
                         ? documentsOf (target) + " name their snapshot after their file"
                         : documentsOf (target) + " hold " + juce::String (count) + (count == 1 ? " snapshot" : " snapshots")
                               + " where the source has " + juce::String (carried.snapshots.size());
    notes.add (lost > 0 ? Fidelity::dropped : Fidelity::approx, ledgerNoteCode ("snapshots"),
               "snapshots: " + what.joinIntoString (", ") + dash() + why + " (first: " + first + ")");
}

} // namespace

juce::String ledgerNoteCode (const juce::String& field)
{
    return "ledger." + field;
}

NoteList balanceLedger (const RackSession& carried, const RackSession& output, const OutputHost& target,
                        const juce::String& outputName)
{
    NoteList notes;
    compareSession (notes, carried, output, target);

    const Places places { carried.selectedFrom };
    const auto carriedStrips = stripsByIndex (carried);
    const auto outputStrips = stripsByIndex (output);
    compareStripCount (notes, carried, output, carriedStrips, outputStrips, target, places);

    Tallies tallies;
    // In the order of the manifest; the first strip of an index stands for it (a repeated index
    // is what the preflight refuses).
    for (const auto& strip : carried.strips)
        if (carriedStrips.at (strip.index) == &strip)
            if (const auto found = outputStrips.find (strip.index); found != outputStrips.end())
                compareStrip (tallies, strip, *found->second, places);
    for (const auto& tally : tallies.strips)
        addNote (notes, tally, target);
    for (const auto& tally : tallies.plugins)
        addNote (notes, tally, target);
    compareSnapshots (notes, carried, output, target, outputName);
    return notes;
}

NoteList unnotedLedger (const WriteResult& written)
{
    NoteList notes;
    if (written.compared == nullptr)
        return notes;
    for (const auto& note : written.compared->ledger)
    {
        bool noted = false;
        for (const auto& field : written.notedFields)
            noted = noted || note.code == ledgerNoteCode (field);
        if (! noted)
            notes.add (note.fidelity, note.code, note.text);
    }
    return notes;
}

} // namespace vornconv::rapp
