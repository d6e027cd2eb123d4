#pragma once

#include "model/RackModel.h"

#include <vector>

// Reader of REAPER projects (.rpp text). Any well-formed project is read; it is graded complete
// only when every track has exactly the shape the converter writes: stable track and effect ids,
// the converter's EXT markers, fixed routing lines and plug-in states that decode strictly.
namespace vornconv
{

// Largest project file that is read at all.
constexpr juce::int64 maxReaperRppFileBytes = (juce::int64) 1 << 30;

// Deepest block nesting accepted; REAPER itself nests a handful of levels (FX containers and MIDI
// data a few more). A deeper file is reported as unbalanced rather than parsed.
constexpr int maxRppBlockDepth = 256;

// Largest total of decoded base64 bytes in one plug-in block.
constexpr size_t maxReaperPluginStateBytes = 64u * 1024u * 1024u;

// One "<TAG params ..." ... ">" block of a project.
struct RppNode
{
    juce::String tag;
    juce::StringArray params;
    juce::StringArray lines;   // own body lines only, trimmed, file order (BYPASS and FXID included)
    juce::StringArray bypass;  // values of the last BYPASS line in the parent before this block
    juce::String fxid;         // second token of the FXID line that followed this block in the parent
    std::vector<RppNode> children;
};

// Splits a trimmed line into tokens. A double quote toggles quoting and belongs to no token;
// whitespace outside quotes separates tokens; empty tokens are dropped. There is no escape
// character: single quotes and backquotes are ordinary characters.
juce::StringArray tokenise (const juce::String& line);

// Parses the block whose opening line is lines[index] (it starts with "<"). On return index stands
// on the line after the block's ">". A missing ">" (or nesting deeper than maxRppBlockDepth) sets
// ok to false; what was built is still returned.
RppNode parseBlock (const juce::StringArray& lines, int& index, bool& ok);

// Number of the node's body lines whose first token equals name (case-sensitive).
int countCommand (const RppNode& node, juce::StringRef name);

// The tokens after the first of the first body line whose first token is name; empty when none.
juce::StringArray findCommand (const RppNode& node, juce::StringRef name);

// countCommand (node, name) == 1 and one body line is exactly line.
bool hasExactUniqueCommand (const RppNode& node, juce::StringRef name, juce::StringRef line);

// Optional "-", then one or more ASCII digits and nothing else, within 32 bits. out is untouched
// on refusal.
bool parseStrictInt (const juce::String& text, int& out);

// The whole non-empty text is one finite number by strtod, without range error.
bool parseStrictDouble (const juce::String& text, double& out);

// Only the digits 0-9, at least one, at most 4294967295.
bool parseUnsignedDecimal (const juce::String& text, juce::uint32& out);

// The node's body lines as strict base64, each line one canonical, self-contained unit, the
// decoded lines concatenated into out (cleared first). On failure out keeps the bytes of the
// lines before the failing one.
bool decodeReaperPluginLines (const RppNode& node, juce::MemoryBlock& out, juce::String& error);

// "{564F524E-5250-5401-...}": the id the converter gives the track at trackIndex.
juce::String makeReaperStableTrackId (int trackIndex);

// "{564F524E-5250-5001-...}": the id the converter gives the plug-in at (track, slot).
juce::String makeReaperStableFxId (int track, int slot);

// Reads a converter effect id in any letter case, with or without braces and dashes. track and
// slot are set only on success.
bool parseReaperStableFxId (juce::StringRef text, int& track, int& slot);

// Reads the project. Never throws: a text-level failure gives ok false and status 0 (format,
// application and file still set); everything else that is unexpected only lowers the grade.
RackReadResult readReaperRpp (const juce::File& file);

} // namespace vornconv
