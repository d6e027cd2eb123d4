#pragma once

#include <juce_core/juce_core.h>

#include <string>
#include <string_view>
#include <vector>

// The REAPER project text as the converter reads and writes it: lines, tokens, the block tree,
// strict numbers, strict base64 bodies, the stable track and effect ids, the converter's EXT
// markers and the routing lines of fixed form. The reader and the writer both speak through this
// unit, so every line form is spelled here once.
//
// The reader works on the bytes of the whole file: a line is a span of those bytes, trimmed of
// ASCII whitespace (the only whitespace the format knows), and blocks record byte positions, so
// nothing is copied per line and every walk is linear in the bytes it covers.
namespace vornconv
{

// Largest project file that is read at all.
constexpr juce::int64 maxReaperRppFileBytes = (juce::int64) 1 << 30;

// Deepest block nesting accepted; REAPER itself nests a handful of levels (FX containers and MIDI
// data a few more). A deeper file is reported as unbalanced rather than parsed.
constexpr int maxRppBlockDepth = 256;

// Largest total of decoded base64 bytes in one plug-in block.
constexpr size_t maxReaperPluginStateBytes = 64u * 1024u * 1024u;

// ---- lines and tokens --------------------------------------------------------------------------

// The line without leading and trailing ASCII whitespace (blank, TAB, LF, VT, FF, CR).
std::string_view trimRppLine (std::string_view line) noexcept;

// The next line at or after pos that is not blank, trimmed; lines end at CR, LF or CR LF. pos
// moves past that line's end. False when only blank lines remain (pos then stands at the end).
bool nextRppLine (std::string_view text, size_t& pos, std::string_view& line) noexcept;

// Splits a trimmed line into tokens. A double quote toggles quoting and belongs to no token;
// whitespace outside quotes separates tokens; empty tokens are dropped. There is no escape
// character: single quotes and backquotes are ordinary characters.
std::vector<std::string> tokenise (std::string_view line);

// The first token of the line (by the rules of tokenise) equals name.
bool firstTokenIs (std::string_view line, std::string_view name);

// ---- blocks ------------------------------------------------------------------------------------

// One "<TAG params ..." ... ">" block: byte positions of its opening line and of its closing ">"
// (the end of the text for a block that never closes), and how many blocks it holds at any depth.
struct RppBlock
{
    juce::uint32 openAt = 0;
    juce::uint32 closeAt = 0;
    juce::uint32 descendants = 0;
};

// The block tree of a text, in file order: a block's children follow it directly, so a subtree
// is one run of the array. The text is not owned and must outlive the document.
struct RppDocument
{
    std::string_view text;
    std::vector<RppBlock> blocks;
};

// Parses the block whose opening line (starting with "<") begins at pos; on return pos stands past
// the block's closing ">". A missing ">" (or nesting deeper than maxRppBlockDepth) gives false;
// the blocks met are still recorded, the unclosed ones ending at the end of the text.
bool parseRppBlock (std::string_view text, size_t& pos, RppDocument& document);

// One block of a document. The first block of a document is its root.
struct RppNode
{
    const RppDocument* document = nullptr;
    juce::uint32 index = 0;
};

RppNode rppRoot (const RppDocument& document);

// The opening line, trimmed, with its "<".
std::string_view rppOpeningLine (RppNode node);

// The first token after the "<" (empty when there is none) and the other tokens of that line.
std::string rppTag (RppNode node);
std::vector<std::string> rppParams (RppNode node);

bool rppHasChildren (RppNode node);

// A walk over a node's own body lines and child blocks in file order. The lines of a nested
// block belong to that block, not to the node.
struct RppItem
{
    bool isBlock = false;
    std::string_view line;   // a body line (when not a block)
    RppNode block;           // a child block (when a block)
};

struct RppWalk
{
    RppNode node;
    size_t pos = 0;
    size_t end = 0;
    juce::uint32 nextChild = 0;
    juce::uint32 childrenEnd = 0;
};

RppWalk startRppWalk (RppNode node);
bool nextRppItem (RppWalk& walk, RppItem& item);

// A child block with what its parent's body says about it: the values (without the word BYPASS)
// of the last BYPASS line met since the previous child block, and the second token of the last
// two-token FXID line that followed it before the next child block.
struct RppUnit
{
    RppNode block;
    std::vector<std::string> bypass;
    std::string fxid;
};

// Calls visit for every child block of node, in order.
template <typename Visit>
void forEachRppUnit (RppNode node, Visit&& visit);

// Number of the node's body lines whose first token equals name (case-sensitive).
int countCommand (RppNode node, std::string_view name);

// The tokens after the first of the first body line whose first token is name; empty when none.
std::vector<std::string> findCommand (RppNode node, std::string_view name);

// countCommand (node, name) == 1 and one body line is exactly line.
bool hasExactUniqueCommand (RppNode node, std::string_view name, std::string_view line);

// ---- strict values -----------------------------------------------------------------------------

// Optional "-", then one or more ASCII digits and nothing else, within 32 bits. out is untouched
// on refusal.
bool parseStrictInt (std::string_view text, int& out);

// The whole non-empty text is one finite number by strtod, without range error.
bool parseStrictDouble (std::string_view text, double& out);

// Only the digits 0-9, at least one, at most 4294967295.
bool parseUnsignedDecimal (std::string_view text, juce::uint32& out);

// The leading decimal number of a text, 0 when there is none (REAPER's own lenient reading).
double leadingDecimal (std::string_view text);

// "<digits>{<32 hex>}": REAPER's numeric plug-in id and the class id (upper-cased).
bool parseReaperIdField (std::string_view text, juce::uint32& id, juce::String& classId);

// The bytes as text when they are well-formed UTF-8 without a zero byte (utf8::toText).
bool rppTextValue (std::string_view bytes, juce::String& out);

// ---- base64 bodies -----------------------------------------------------------------------------

// The node's body lines as strict base64, each line one canonical, self-contained unit, the
// decoded lines concatenated into out (cleared first). On failure out keeps the bytes of the
// lines before the failing one.
bool decodeReaperPluginLines (RppNode node, juce::MemoryBlock& out, juce::String& error);

// Standard base64 with padding, cut into lines of 128 characters (each a whole unit), each line
// indent + its characters.
void appendReaperBase64Lines (juce::StringArray& lines, const juce::MemoryBlock& bytes, const juce::String& indent);

// The whole of bytes as one line of standard base64.
juce::String reaperBase64 (const juce::MemoryBlock& bytes);

// ---- stable ids --------------------------------------------------------------------------------

// "{564F524E-5250-5401-...}": the id the converter gives the track at trackIndex.
juce::String makeReaperStableTrackId (int trackIndex);

// "{564F524E-5250-5001-...}": the id the converter gives the plug-in at (track, slot).
juce::String makeReaperStableFxId (int track, int slot);

// Reads a converter effect id in any letter case, with or without braces and dashes. track and
// slot are set only on success.
bool parseReaperStableFxId (std::string_view text, int& track, int& slot);

// ---- the converter's EXT markers ---------------------------------------------------------------

namespace rppMarker
{
constexpr const char* extTag = "EXT";
constexpr const char* channelLayout = "VORN_CHANNEL_LAYOUT";
constexpr const char* sharedMonoInput = "VORN_SHARED_MONO_INPUT";
constexpr const char* sidechainSlot = "VORN_SIDECHAIN_SLOT_";
constexpr const char* pluginName = "VORN_PLUGIN_NAME_SLOT_";
constexpr const char* pluginVendor = "VORN_PLUGIN_VENDOR_SLOT_";
} // namespace rppMarker

// Largest slot or channel number a marker names, and the longest hex value.
constexpr int maxRppMarkerIndex = 1023;
constexpr int maxRppMarkerHexChars = 16384;

// "-" for an empty text, else the UTF-8 bytes as upper-case hexadecimal pairs.
juce::String utf8Hex (const juce::String& text);

// The reverse of utf8Hex: "-" or 1 to maxRppMarkerHexChars upper-case hex digits, an even count,
// whose bytes are well-formed UTF-8 (no overlong form, no surrogate) without a zero byte, so
// that the text gives the same bytes again.
bool decodeMarkerText (std::string_view value, juce::String& out);

// "VORN_CHANNEL_LAYOUT in,out" and the other marker lines, without indentation.
juce::String channelLayoutMarkerLine (int inputChannels, int outputChannels);
juce::String sharedMonoInputMarkerLine (int channel);
juce::String pluginNameMarkerLine (int slot, const juce::String& name);
juce::String pluginVendorMarkerLine (int slot, const juce::String& vendor);
juce::String sidechainMarkerLine (int slot, int source);

// ---- routing lines of fixed form ---------------------------------------------------------------

// REC: the record input (-1 for none; a stereo pair from c is c + 1024).
juce::String recLine (juce::int64 recordInput);
bool matchRecLine (const std::vector<std::string>& values, int& recordInput);

// HWOUT: the hardware output (a mono output on c is c + 1024) and its source flag (1024 mono,
// 0 stereo).
juce::String hwOutLine (juce::int64 output, bool mono);
bool matchHwOutLine (const std::vector<std::string>& values, int& output, int& sourceFlag);

// AUXRECV: the sidechain feed from a source track into channels 3/4.
juce::String auxRecvLine (int source);
bool matchAuxRecvLine (const std::vector<std::string>& values, int& source);

// MAINSEND with and without a hardware output, NCHAN with and without a sidechain, and the lines
// a track without EXT markers must hold.
juce::String mainSendLine (bool hardwareOutput);
juce::String nchanLine (bool sidechain);
extern const char* const defaultRecLine;
extern const char* const defaultPhaseLine;
extern const char* const defaultPlayOffsetLine;

// BYPASS, FXID and FX lines.
juce::String bypassLine (bool off);
juce::String fxIdLine (int track, int slot);
juce::String fxLine (bool stripBypassed);

// The text can stand between double quotes on one line: it holds no double quote, CR or LF.
bool canQuoteInRpp (const juce::String& text);

// The first parameter of a VST line: "VST3: name" ("VST3i: name" for an instrument, which
// REAPER's plug-in cache marks by ending the name in "!!!VSTi").
juce::String vst3DisplayName (const juce::String& cacheName);

// The whole VST line of a VST3 plug-in.
juce::String vst3Line (const juce::String& indent, const juce::String& cacheName, const juce::String& file,
                       juce::uint32 hostId, const juce::String& cid);

// The prefixes of a plug-in block's first parameter that name a VST3 plug-in.
bool isVst3Format (std::string_view format) noexcept;

//==================================================================================================
template <typename Visit>
void forEachRppUnit (RppNode node, Visit&& visit)
{
    auto walk = startRppWalk (node);
    RppItem item;
    RppUnit pending;
    bool havePending = false;
    std::vector<std::string> pendingBypass;
    while (nextRppItem (walk, item))
    {
        if (item.isBlock)
        {
            if (havePending)
                visit (static_cast<const RppUnit&> (pending));
            pending = RppUnit();
            pending.block = item.block;
            pending.bypass = std::move (pendingBypass);
            pendingBypass.clear();
            havePending = true;
            continue;
        }
        if (firstTokenIs (item.line, "BYPASS"))
        {
            auto tokens = tokenise (item.line);
            tokens.erase (tokens.begin());
            pendingBypass = std::move (tokens);
        }
        else if (havePending && firstTokenIs (item.line, "FXID"))
        {
            auto tokens = tokenise (item.line);
            if (tokens.size() == 2)
                pending.fxid = std::move (tokens[1]);
        }
    }
    if (havePending)
        visit (static_cast<const RppUnit&> (pending));
}

} // namespace vornconv
