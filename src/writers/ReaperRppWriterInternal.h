#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/Vst3ModuleIndex.h"
#include "readers/ReaperRppText.h"

#include <juce_core/juce_core.h>

#include <vector>

// The pieces of the REAPER project writer that turn one strip into one TRACK block: the line
// editing helpers, the canonical routing summary of a strip (which the read-back comparison uses
// as well), the track builder and the rewriting of a VST block's state lines. Only the writer
// itself (and its tests) call them. Every command and block opener is matched after leading
// whitespace only, case-sensitively.
namespace vornconv::rapp::reaperWriter
{

// First and last line (inclusive) of a block in a line array; -1/-1 when absent.
struct BlockSpan
{
    int first = -1;
    int last = -1;

    bool isValid() const noexcept { return first >= 0 && last >= first; }
};

// Exactly one line whose text after leading whitespace starts with name + " " becomes its own
// leading whitespace + newText.
bool replaceUniqueCommand (juce::StringArray& lines, const juce::String& name, const juce::String& newText, juce::String& error);

// The one block whose opening line starts (after leading whitespace) with opener and with "<";
// it ends at the ">" line that brings the nesting depth back to zero.
BlockSpan findUniqueBlock (const juce::StringArray& lines, const juce::String& opener, juce::String& error);

// Lines first..last inclusive; empty when first > last.
juce::StringArray copyRange (const juce::StringArray& lines, int first, int last);

// Removes first..last and inserts newLines at first.
void replaceRange (juce::StringArray& lines, int first, int last, juce::StringArray newLines);

// Moves every line of more to the end of lines; more is left empty.
void appendMoved (juce::StringArray& lines, juce::StringArray& more);

// The physical routing of one strip in the one shape a REAPER track can carry.
struct CanonicalPhysicalRouting
{
    int inputFirst = -1;        // first physical input (0-based); -1 = no input
    int outputFirst = -1;       // first physical output; -1 = no output route
    int inputChannels = 2;
    int inputSpan = 2;          // physical inputs used: the channel count, or 1 for a shared mono input
    int outputChannels = 2;
    bool sharedMonoInput = false;
    int sidechainSlot = -1;
    int sidechainSource = -1;
};

bool canonicalRouting (const RackReadResult& session, const RackStrip& strip, const DeploymentProfile& profile,
                       CanonicalPhysicalRouting& routing, juce::String& error);

bool extractCanonicalDirection (const RackStrip& strip, bool input, int channels, bool allowSharedMono, int& first,
                                int& span, bool& shared, juce::String& error);

// One occupied slot that will be written. plugin and entry point into the caller's session and
// index; entry is null for AudioUnit plug-ins, and cid is then empty.
struct SourcePlugin
{
    int strip = 0;
    int slot = 0;
    const PluginRef* plugin = nullptr;
    const Vst3ModuleEntry* entry = nullptr;
    juce::String cid;
};

// The source plug-in of (strip, slot), or null; sources must be in strip then slot order, as the
// writer builds it.
const SourcePlugin* findSourcePlugin (const std::vector<SourcePlugin>& sources, int stripIndex, int slot);

// What the track builder clones: the prototype track, the span of its FXCHAIN block and the
// first and last line of its plug-in unit (all relative to track), the unit itself and the
// prototype plug-in's state and identity.
struct TrackPrototype
{
    juce::StringArray track;
    BlockSpan fxChain;
    int unitFirst = -1;
    int unitLast = -1;
    juce::StringArray unit;
    PluginState state;
    juce::uint32 hostId = 0;
    juce::String cid;
};

bool buildTrack (const TrackPrototype& prototype, const RackStrip& strip, const CanonicalPhysicalRouting& routing,
                 const std::vector<SourcePlugin>& sources, juce::StringArray& outLines, juce::String& error);

// Reads the host id and class id of the unit's one VST line and replaces the VST block's body by
// state in standard base64, 128 characters a line.
bool replaceVstState (juce::StringArray& unitLines, const juce::MemoryBlock& state, juce::uint32& hostId,
                      juce::String& cid, juce::String& error);

} // namespace vornconv::rapp::reaperWriter
