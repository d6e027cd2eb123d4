// The semantic comparison of an expected session with a re-read one, field by field.
//
// Divisions, in order:
//   1. Value texts, strip lookup and the canonical patch set.
//   2. Session fields; a value, an identity, a sidechain, a state and a route of each kind; the
//      slots and the strips, walked over the field tables (model/RackFields.h).
//   3. Paths, the mismatch text and the summary.
//   4. compareRackSemantics: session, expected strips, strips only the re-read side has, repeats.

#include "model/RackSemanticCompare.h"

#include "model/ParameterSnapshot.h"
#include "model/RackFields.h"
#include "model/ValueComparison.h"
#include "model/Vst3ClassId.h"

#include <map>
#include <set>
#include <tuple>

namespace vornconv
{
namespace
{

const char* const unknownText = "<unknown>";
constexpr int summaryLines = 8;

struct MismatchSink
{
    juce::Array<RackSemanticMismatch>& list;

    void add (const juce::String& path, const juce::String& field,
              const juce::String& expected, const juce::String& actual)
    {
        list.add ({ path, field, expected, actual });
    }
};

juce::String boolText (bool b) { return b ? "true" : "false"; }
juce::String floatText (float f) { return juce::String (f, 7); }

juce::String stripPath (const RackStrip& strip) { return semanticStripPath (strip.index); }

// The first strip of each index: a lookup per strip, not a walk over all of them.
std::map<juce::int32, const RackStrip*> firstStrips (const RackSession& session)
{
    std::map<juce::int32, const RackStrip*> first;
    for (const auto& strip : session.strips)
        first.emplace (strip.index, &strip);
    return first;
}

const RackStrip* findFirstStrip (const std::map<juce::int32, const RackStrip*>& strips, juce::int32 index)
{
    const auto found = strips.find (index);
    return found != strips.end() ? found->second : nullptr;
}

using PatchTriple = std::tuple<bool, juce::int32, juce::int32>;

std::set<PatchTriple> canonicalPatches (const RackStrip& strip)
{
    std::set<PatchTriple> set;
    for (const auto& patch : strip.routePatches)
        if (patch.physicalChannel >= 0)
            set.emplace (patch.isInput, patch.rackChannel, patch.physicalChannel);

    if (set.empty())
    {
        if (strip.routeInL >= 0)
            set.emplace (true, 0, strip.routeInL);
        if (strip.inputChannels >= 2 && strip.routeInR >= 0)
            set.emplace (true, 1, strip.routeInR);
        if (strip.routeOutL >= 0)
            set.emplace (false, 0, strip.routeOutL);
        if (strip.outputChannels >= 2 && strip.routeOutR >= 0)
            set.emplace (false, 1, strip.routeOutR);
    }
    return set;
}

void compareSession (const RackSession& e, const RackSession& a, MismatchSink& sink)
{
    const juce::String path ("session");

    if (e.sampleRate > 0.0)
    {
        if (a.sampleRate <= 0.0)
            sink.add (path, "sampleRate", juce::String (e.sampleRate, 3), unknownText);
        else if (! withinTolerance (e.sampleRate, a.sampleRate, tolerance::sampleRate))
            sink.add (path, "sampleRate", juce::String (e.sampleRate, 3), juce::String (a.sampleRate, 3));
    }

    if (e.bufferSize >= 1)
    {
        if (a.bufferSize <= 0)
            sink.add (path, "bufferSize", juce::String (e.bufferSize), unknownText);
        else if (a.bufferSize != e.bufferSize)
            sink.add (path, "bufferSize", juce::String (e.bufferSize), juce::String (a.bufferSize));
    }

    auto compareDevice = [&] (const char* field, const juce::String& ev, const juce::String& av)
    {
        if (ev.isNotEmpty() && ev != av)
            sink.add (path, field, ev, av.isEmpty() ? juce::String (unknownText) : av);
    };
    compareDevice ("inputDevice", e.inputDevice, a.inputDevice);
    compareDevice ("outputDevice", e.outputDevice, a.outputDevice);
}

void compareText (const juce::String& path, const char* field, bool expectedKnown, bool actualKnown,
                  const juce::String& ev, const juce::String& av, MismatchSink& sink)
{
    if (! expectedKnown)
        return;
    if (! actualKnown)
        sink.add (path, field, ev, unknownText);
    else if (ev != av)
        sink.add (path, field, ev, av);
}

void compareFloat (const juce::String& path, const char* field, bool expectedKnown, bool actualKnown,
                   float ev, float av, MismatchSink& sink)
{
    if (! expectedKnown)
        return;
    if (! actualKnown)
        sink.add (path, field, floatText (ev), unknownText);
    else if (! withinTolerance (ev, av, tolerance::level))
        sink.add (path, field, floatText (ev), floatText (av));
}

void compareBool (const juce::String& path, const char* field, bool expectedKnown, bool actualKnown,
                  bool ev, bool av, MismatchSink& sink)
{
    if (! expectedKnown)
        return;
    if (! actualKnown)
        sink.add (path, field, boolText (ev), unknownText);
    else if (ev != av)
        sink.add (path, field, boolText (ev), boolText (av));
}

void compareInt (const juce::String& path, const char* field, bool expectedKnown, bool actualKnown,
                 juce::int32 ev, juce::int32 av, MismatchSink& sink)
{
    if (! expectedKnown)
        return;
    if (! actualKnown)
        sink.add (path, field, juce::String (ev), unknownText);
    else if (ev != av)
        sink.add (path, field, juce::String (ev), juce::String (av));
}

bool sameIdentity (const PluginRef& e, const PluginRef& a)
{
    if (e.format != a.format)
        return false;

    if (e.format == "AU")
        return e.auType != 0 && e.auType == a.auType && e.auSubtype == a.auSubtype
               && e.auManufacturer == a.auManufacturer;

    if (e.classId.isNotEmpty() && a.classId.isNotEmpty())
        return sameClassId (e.classId, a.classId);

    if (e.uniqueId == 0)
        return e.name == a.name && e.vendor == a.vendor;

    if (e.uniqueId != a.uniqueId)
        return false;
    if (e.deprecatedUid != 0 && e.deprecatedUid != a.deprecatedUid)
        return false;
    if (e.file != juce::File() && e.file != a.file)
        return false;
    return true;
}

juce::String identityText (const PluginRef& p)
{
    return p.classId.isNotEmpty() ? p.classId : p.name;
}

bool sameMirror (const juce::MemoryBlock& e, const juce::MemoryBlock& a)
{
    parameterState::Snapshot es, as;
    juce::String error;
    if (! parameterState::decode (e, es, error) || ! parameterState::decode (a, as, error))
        return false;
    if (es.values.size() != as.values.size())
        return false;
    for (int i = 0; i < es.values.size(); ++i)
        if (! (es.values.getUnchecked (i) == as.values.getUnchecked (i)))
            return false;
    return true;
}

void compareIdentity (const juce::String& path, bool expectedKnown, bool actualKnown, const PluginRef& e,
                      const PluginRef& a, MismatchSink& sink)
{
    if (! expectedKnown)
        return;
    if (! actualKnown)
        sink.add (path, "identity", e.name, unknownText);
    else if (! sameIdentity (e, a))
        sink.add (path, "identity", identityText (e), identityText (a));
}

// The kind and the enabling of a sidechain count only where it has a source.
void compareSidechain (const juce::String& path, bool expectedKnown, bool actualKnown, const PluginRef& e,
                       const PluginRef& a, MismatchSink& sink)
{
    compareInt (path, "sidechainSource", expectedKnown, actualKnown, e.sidechainSource, a.sidechainSource, sink);
    if (e.sidechainSource >= 0)
    {
        compareInt (path, "sidechainKind", expectedKnown, actualKnown, e.sidechainKind, a.sidechainKind, sink);
        compareBool (path, "sidechainEnabled", expectedKnown, actualKnown, e.sidechainEnabled, a.sidechainEnabled, sink);
    }
}

// The streams byte for byte where the state is proven (an AudioUnit's ClassInfo, a VST3
// plug-in's component and controller); a complete parameter mirror by its values.
void compareState (const juce::String& path, bool expectedKnown, bool actualKnown, const PluginRef& e,
                   const PluginRef& a, MismatchSink& sink)
{
    if (expectedKnown)
    {
        if (! actualKnown)
        {
            sink.add (path, "state", "Comp/Cont", unknownText);
        }
        else if (e.format == "AU")
        {
            if (! sameBytes (e.state.raw, a.state.raw))
                sink.add (path, "state.auClassInfo", "exact bytes", "different bytes");
        }
        else
        {
            if (! sameBytes (e.state.component, a.state.component))
                sink.add (path, "state.component", "exact bytes", "different bytes");
            if (! sameBytes (e.state.controller, a.state.controller))
                sink.add (path, "state.controller", "exact bytes", "different bytes");
        }
    }

    if (e.state.parameterMirrorComplete)
    {
        if (! a.state.parameterMirrorComplete)
            sink.add (path, "state.parameters", "complete VNPM mirror", unknownText);
        else if (! sameMirror (e.state.parameters, a.state.parameters))
            sink.add (path, "state.parameters", "exact normalized values", "different values");
    }
}

void compareSlot (const juce::String& path, const PluginRef& e, const PluginRef& a, MismatchSink& sink)
{
    if (e.occupied != a.occupied)
    {
        sink.add (path, "presence", e.occupied ? "present" : "empty", a.occupied ? "present" : "empty");
        return;
    }
    if (! e.occupied)
        return;

    using rackFields::SlotKind;
    for (const auto& field : rackFields::slotFields)
    {
        // Only what a reader can prove is compared.
        if (field.proven == nullptr)
            continue;
        const bool ek = e.coverage.*field.proven;
        const bool ak = a.coverage.*field.proven;
        switch (field.kind)
        {
            case SlotKind::text: compareText (path, field.key, ek, ak, e.*field.text, a.*field.text, sink); break;
            case SlotKind::identity: compareIdentity (path, ek, ak, e, a, sink); break;
            case SlotKind::flag: compareBool (path, field.key, ek, ak, e.*field.flag, a.*field.flag, sink); break;
            case SlotKind::sidechain: compareSidechain (path, ek, ak, e, a, sink); break;
            case SlotKind::state: compareState (path, ek, ak, e, a, sink); break;
        }
    }
}

void compareRoute (const juce::String& path, bool expectedKnown, bool actualKnown, const RackStrip& e,
                   const RackStrip& a, MismatchSink& sink)
{
    if (! expectedKnown)
        return;
    if (! actualKnown)
        sink.add (path, "route", "known physical patches", unknownText);
    else if (canonicalPatches (e) != canonicalPatches (a))
        sink.add (path, "route", "exact physical patches", "different patches");
}

void compareStrip (const RackStrip& e, const RackStrip& a, MismatchSink& sink)
{
    const auto path = stripPath (e);

    using rackFields::StripKind;
    for (const auto& field : rackFields::stripFields)
    {
        // Only what a reader can prove is compared (the colour is not).
        if (field.proven == nullptr)
            continue;
        const bool ek = e.coverage.*field.proven;
        const bool ak = a.coverage.*field.proven;
        switch (field.kind)
        {
            case StripKind::text: compareText (path, field.key, ek, ak, e.*field.text, a.*field.text, sink); break;
            case StripKind::level: compareFloat (path, field.key, ek, ak, e.*field.level, a.*field.level, sink); break;
            case StripKind::flag: compareBool (path, field.key, ek, ak, e.*field.flag, a.*field.flag, sink); break;
            case StripKind::count: compareInt (path, field.key, ek, ak, e.*field.count, a.*field.count, sink); break;
            case StripKind::routing: compareRoute (path, ek, ak, e, a, sink); break;
            case StripKind::colour: break;
        }
    }

    const int slotCount = juce::jmax (e.plugins.size(), a.plugins.size());
    const PluginRef emptySlot;
    for (int s = 0; s < slotCount; ++s)
    {
        const auto& es = s < e.plugins.size() ? e.plugins.getReference (s) : emptySlot;
        const auto& as = s < a.plugins.size() ? a.plugins.getReference (s) : emptySlot;
        compareSlot (semanticSlotPath (e.index, s), es, as, sink);
    }
}

juce::String occurrenceText (int count)
{
    return count == 0 ? "missing" : (count == 1 ? "present" : "duplicate");
}

// Matching takes the first strip with an index, so a repeated index on either side would hide
// a strip from the proof; every repeated index is reported once.
void reportDuplicateIndices (const RackSession& e, const RackSession& a, MismatchSink& sink)
{
    std::map<juce::int32, int> expectedCount, actualCount;
    for (const auto& strip : e.strips)
        ++expectedCount[strip.index];
    for (const auto& strip : a.strips)
        ++actualCount[strip.index];

    std::set<juce::int32> reported;
    auto visit = [&] (const RackSession& side)
    {
        for (const auto& strip : side.strips)
        {
            const int ec = expectedCount[strip.index];
            const int ac = actualCount[strip.index];
            if ((ec > 1 || ac > 1) && reported.insert (strip.index).second)
                sink.add (stripPath (strip), "presence", occurrenceText (ec), occurrenceText (ac));
        }
    };
    visit (e);
    visit (a);
}

} // namespace

juce::Array<RackPhysicalPatch> canonicalPatchSet (const RackStrip& strip)
{
    juce::Array<RackPhysicalPatch> patches;
    for (const auto& [isInput, rackChannel, physicalChannel] : canonicalPatches (strip))
        patches.add ({ isInput, rackChannel, physicalChannel });
    return patches;
}

juce::String semanticStripPath (juce::int32 stripIndex)
{
    return "strip " + juce::String (stripIndex);
}

juce::String semanticSlotPath (juce::int32 stripIndex, int slot)
{
    return semanticStripPath (stripIndex) + ", slot " + juce::String (slot);
}

juce::String RackSemanticMismatch::text() const
{
    return path + "." + field + ": " + expected + " != " + actual;
}

juce::String RackSemanticComparison::summary() const
{
    if (mismatches.isEmpty())
        return "exact";

    juce::String text = juce::String (mismatches.size()) + " mismatch(es)";
    for (int i = 0; i < juce::jmin (summaryLines, mismatches.size()); ++i)
        text << "\n" << mismatches.getReference (i).text();
    return text;
}

RackSemanticComparison compareRackSemantics (const RackSession& expected, const RackSession& actual)
{
    RackSemanticComparison result;
    MismatchSink sink { result.mismatches };

    compareSession (expected, actual, sink);

    const auto expectedStrips = firstStrips (expected);
    const auto actualStrips = firstStrips (actual);
    for (const auto& strip : expected.strips)
    {
        const auto* other = findFirstStrip (actualStrips, strip.index);
        if (other == nullptr)
        {
            sink.add (stripPath (strip), "presence", "present", "missing");
            continue;
        }
        compareStrip (strip, *other, sink);
    }

    for (const auto& strip : actual.strips)
        if (findFirstStrip (expectedStrips, strip.index) == nullptr)
            sink.add (stripPath (strip), "presence", "missing", "present");

    reportDuplicateIndices (expected, actual, sink);
    return result;
}

} // namespace vornconv
