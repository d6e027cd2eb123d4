#pragma once

#include "model/RackModel.h"

// Field-by-field proof that a re-read session still holds everything an expected session proved.
// The comparison is asymmetric: the expected side's coverage flags decide which fields are
// compared; the re-read ("actual") side only has to agree. A writer commits only on an empty list.
namespace vornconv
{

struct RackSemanticMismatch
{
    juce::String path;      // "session", "strip 3" or "strip 3, slot 0"
    juce::String field;     // e.g. "sampleRate", "inputGainDb", "identity", "state.component"
    juce::String expected;  // the expected side's value as text
    juce::String actual;    // the re-read side's value as text, "<unknown>" when it is not proven

    // "<path>.<field>: <expected> != <actual>", the form the summary lists.
    juce::String text() const;
};

struct RackSemanticComparison
{
    juce::Array<RackSemanticMismatch> mismatches;

    bool isExact() const noexcept { return mismatches.isEmpty(); }

    // "exact", or "<n> mismatch(es)" followed by one "\n<path>.<field>: <expected> != <actual>"
    // line for each of the first eight mismatches.
    juce::String summary() const;
};

// The paths mismatches carry: "strip 3" for a strip's fields, "strip 3, slot 0" for a slot's.
juce::String semanticStripPath (juce::int32 stripIndex);
juce::String semanticSlotPath (juce::int32 stripIndex, int slot);

// A strip's physical routing as the comparison compares it: every patch of routePatches with a
// physical channel, or, when there is none, the summary routes (R only on a stereo side); ordered
// by direction (outputs first), rack channel and physical channel, each patch once.
juce::Array<RackPhysicalPatch> canonicalPatchSet (const RackStrip& strip);

// Never fails: undecodable parameter mirrors and the like show up as mismatches.
RackSemanticComparison compareRackSemantics (const RackSession& expected, const RackSession& actual);

} // namespace vornconv
