#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"

#include <juce_core/juce_core.h>

// The selection report proposes which channels and plug-ins of a session fit a target's capacity;
// the user edits it and hands it back as a selection file, which projects the session onto the
// kept channels and plug-ins. Both sides are tied to the exact input file by its SHA-256.
namespace vornconv::rapp
{

// The "schema" value of both documents.
extern const char* const selectionSchema;

// The selection file is untrusted: it is read only up to this size, and deeper JSON nesting
// than this is refused. A report is five levels deep.
constexpr juce::int64 maxSelectionFileBytes = 16 * 1024 * 1024;
constexpr int maxSelectionJsonDepth = 16;

// A kept plug-in's target slot must stay below this as well as below the capacity: the
// projection pads every strip with empty slots up to each target slot.
constexpr juce::int32 maxSelectionSlotsPerStrip = 256;

// The one-line JSON document for the source, the capacity and the target id (the target host's
// target word, "reaper").
juce::String buildSelectionReportJson (const RackReadResult& source, const HostCapacity& capacity,
                                       const juce::String& targetId);

// What the target's files require of the places of the kept channels.
struct SelectionPlacement
{
    // The target holds its strips at 0 to n - 1 in order, without gaps: the n kept channels must
    // take exactly those target indices.
    bool fromZeroWithoutGaps = false;
    // The target's files as a refusal names them ("SuperRack sessions").
    juce::String hostFiles;
};

// Checks the selection file against the source, the capacity and the target id and projects the
// source onto the kept channels and plug-ins. The file holds no key that the report does not
// write (a refusal names the key and its line and column). out is written only on success; on
// failure error says why and out is left as it was. A kept plug-in keyed from a strip the source
// does not have keeps that source for the preflight to judge, as it judges the source.
bool applySelectionFile (const RackReadResult& source, const juce::File& selection, const HostCapacity& capacity,
                         const juce::String& targetId, RackReadResult& out, juce::String& error,
                         const SelectionPlacement& placement = {});

} // namespace vornconv::rapp
