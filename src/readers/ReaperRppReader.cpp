#include "readers/ReaperRppReader.h"

#include "model/AudioUnitState.h"
#include "model/ReaperVst3State.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace vornconv
{

namespace
{

// ---- text layer -------------------------------------------------------------------------------

const char* const base64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value (juce::juce_wchar c) noexcept
{
    if (c >= 'A' && c <= 'Z') return (int) (c - 'A');
    if (c >= 'a' && c <= 'z') return (int) (c - 'a') + 26;
    if (c >= '0' && c <= '9') return (int) (c - '0') + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Plain RFC 4648 decoding of whole four-character units with at most two trailing "=" in the
// last unit; false on anything else.
bool decodeBase64Units (const std::string& text, std::vector<juce::uint8>& out)
{
    out.clear();
    if (text.size() % 4 != 0)
        return false;
    out.reserve (text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4)
    {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k)
        {
            const auto c = (juce::juce_wchar) (unsigned char) text[i + (size_t) k];
            if (c == '=')
            {
                if (i + 4 != text.size() || k < 2)
                    return false;
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0)
                return false;
            v[k] = base64Value (c);
            if (v[k] < 0)
                return false;
        }
        const juce::uint32 word = ((juce::uint32) v[0] << 18) | ((juce::uint32) v[1] << 12)
                                | ((juce::uint32) v[2] << 6) | (juce::uint32) v[3];
        out.push_back ((juce::uint8) (word >> 16));
        if (pad < 2) out.push_back ((juce::uint8) (word >> 8));
        if (pad < 1) out.push_back ((juce::uint8) word);
    }
    return true;
}

std::string encodeBase64 (const juce::uint8* data, size_t size)
{
    std::string text;
    text.reserve ((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3)
    {
        const size_t n = juce::jmin ((size_t) 3, size - i);
        juce::uint32 word = (juce::uint32) data[i] << 16;
        if (n > 1) word |= (juce::uint32) data[i + 1] << 8;
        if (n > 2) word |= (juce::uint32) data[i + 2];
        text += base64Alphabet[(word >> 18) & 63];
        text += base64Alphabet[(word >> 12) & 63];
        text += n > 1 ? base64Alphabet[(word >> 6) & 63] : '=';
        text += n > 2 ? base64Alphabet[word & 63] : '=';
    }
    return text;
}

// The first token of a line by the rules of tokenise, without building the others.
juce::String firstToken (const juce::String& line)
{
    juce::String token;
    bool quoted = false;
    auto runStart = line.getCharPointer();
    bool inRun = false;
    auto p = line.getCharPointer();
    for (; ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        const bool quote = c == '"';
        const bool separator = ! quoted && ! quote && juce::CharacterFunctions::isWhitespace (c);
        if (quote || separator)
        {
            if (inRun)
                token += juce::String (runStart, p);
            inRun = false;
            if (quote)
                quoted = ! quoted;
            else if (token.isNotEmpty())
                return token;
            continue;
        }
        if (! inRun)
        {
            runStart = p;
            inRun = true;
        }
    }
    if (inRun)
        token += juce::String (runStart, p);
    return token;
}

struct OpenBlock
{
    RppNode node;
    juce::StringArray pendingBypass;
};

RppNode openNode (const juce::String& line)
{
    RppNode node;
    auto tokens = tokenise (line.substring (1));
    if (! tokens.isEmpty())
    {
        node.tag = tokens[0];
        tokens.remove (0);
        node.params = std::move (tokens);
    }
    return node;
}

// Body line bookkeeping: BYPASS values wait for the next child, FXID goes to the last child.
void takeBodyLine (OpenBlock& block, const juce::String& line)
{
    block.node.lines.add (line);
    const auto first = firstToken (line);
    if (first == "BYPASS")
    {
        auto tokens = tokenise (line);
        tokens.remove (0);
        block.pendingBypass = std::move (tokens);
    }
    else if (first == "FXID")
    {
        const auto tokens = tokenise (line);
        if (tokens.size() == 2 && ! block.node.children.empty())
            block.node.children.back().fxid = tokens[1];
    }
}

// ---- stable ids -------------------------------------------------------------------------------

const char* const trackIdTag = "564F524E52505401";
const char* const fxIdTag = "564F524E52505001";

juce::String guidText (const char* tag, juce::uint32 a, juce::uint32 b, juce::uint32 c)
{
    char fields[32];
    std::snprintf (fields, sizeof (fields), "%08X%04X%04X", (unsigned) a, (unsigned) (b & 0xFFFFu), (unsigned) (c & 0xFFFFu));
    const juce::String digits = juce::String (tag) + juce::String (fields);
    return "{" + digits.substring (0, 8) + "-" + digits.substring (8, 12) + "-" + digits.substring (12, 16)
         + "-" + digits.substring (16, 20) + "-" + digits.substring (20, 32) + "}";
}


// ---- project reader ---------------------------------------------------------------------------

const char* const noteTimeline = "트랙의 아이템·오토메이션은 랙 모델에 대응물이 없어 무시한다";
const char* const noteMasterFx = "REAPER Master FX 체인은 대상 호스트의 개별 랙 스트립에 일대일 대응되지 않아 변환 대상에서 제외한다";
const char* const notePrototype = "converter TRACKID/FXID 또는 검증된 layout/routing 불변조건이 없어 역변환을 차단한다";
const char* const noteSidechainConfig = "REAPER VST3 wrapper is not stereo main + stereo sidechain (4 inputs, observed 2/4 output pin map, channel_config=2)";
const char* const noteFxIdInconsistent = "converter FXID strip/slot is inconsistent or duplicated";

constexpr int maxMarkerIndex = 1023;
constexpr int maxMarkerHexChars = 16384;
constexpr int maxSlotPosition = 1024;
// REAPER marks a custom track colour with this bit; without it the value is the theme default.
constexpr juce::uint32 reaperCustomColourFlag = 0x1000000u;

struct ParsedTrackRouting
{
    bool valid = false;
    int inputLayout = 2;
    int outputLayout = 2;
    int sidechainSlot = -1;
    int sidechainSource = -1;
    std::map<int, juce::String> pluginNames;
    std::map<int, juce::String> pluginVendors;
    int routeInL = -1, routeInR = -1, routeOutL = -1, routeOutR = -1;
    juce::Array<RackPhysicalPatch> patches;
};

struct ReadFlags
{
    bool timeline = false;
    bool masterFx = false;
    bool allControlled = true;
};

bool isPluginTag (const juce::String& tag)
{
    return tag == "VST" || tag == "AU" || tag == "JS" || tag == "CLAP";
}

const RppNode* onlyChild (const RppNode& node, juce::StringRef tag, int& count)
{
    const RppNode* found = nullptr;
    count = 0;
    for (const auto& child : node.children)
        if (child.tag == tag)
        {
            if (found == nullptr)
                found = &child;
            ++count;
        }
    return found;
}

bool tokensAre (const juce::StringArray& tokens, std::initializer_list<const char*> expected, std::initializer_list<int> free)
{
    if (tokens.size() != (int) expected.size())
        return false;
    int i = 0;
    for (auto* e : expected)
    {
        const bool isFree = std::find (free.begin(), free.end(), i) != free.end();
        if (! isFree && tokens[i] != e)
            return false;
        ++i;
    }
    return true;
}

// "-" or upper-case hex pairs of valid UTF-8 without zero bytes.
bool decodeMarkerText (const juce::String& value, juce::String& out)
{
    if (value == "-")
    {
        out.clear();
        return true;
    }
    const int length = value.length();
    if (length < 1 || length > maxMarkerHexChars || length % 2 != 0 || ! value.containsOnly ("0123456789ABCDEF"))
        return false;
    std::string raw;
    raw.reserve ((size_t) length / 2);
    for (int i = 0; i < length; i += 2)
    {
        const auto byte = (char) value.substring (i, i + 2).getHexValue32();
        if (byte == 0)
            return false;
        raw += byte;
    }
    if (! juce::CharPointer_UTF8::isValidString (raw.data(), (int) raw.size()))
        return false;
    const auto text = juce::String::fromUTF8 (raw.data(), (int) raw.size());
    if (text.toStdString() != raw)
        return false;
    out = text;
    return true;
}

// "PREFIX<n>" with n a strict int in 0..1023.
bool markerIndex (const juce::String& token, juce::StringRef prefix, int& index)
{
    int n = 0;
    if (! token.startsWith (prefix) || ! parseStrictInt (token.substring (juce::String (prefix).length()), n)
        || n < 0 || n > maxMarkerIndex)
        return false;
    index = n;
    return true;
}

bool parseRouting (const RppNode& track, int trackIndex, ParsedTrackRouting& routing)
{
    int extCount = 0;
    const RppNode* ext = onlyChild (track, "EXT", extCount);
    if (ext == nullptr)
    {
        if (hasExactUniqueCommand (track, "REC", "REC 0 0 1 0 0 0 0 0") && hasExactUniqueCommand (track, "NCHAN", "NCHAN 2")
            && hasExactUniqueCommand (track, "MAINSEND", "MAINSEND 1 0") && countCommand (track, "AUXRECV") == 0
            && countCommand (track, "HWOUT") == 0)
            routing.valid = true;
        return routing.valid;
    }
    if (extCount != 1 || ! ext->params.isEmpty() || ! ext->children.empty() || ext->lines.isEmpty())
        return false;

    bool seenLayout = false, seenShared = false, seenSidechain = false;
    int sharedChannel = -1;
    for (const auto& line : ext->lines)
    {
        const auto tokens = tokenise (line);
        if (tokens.size() != 2)
            return false;
        const auto& key = tokens[0];
        const auto& value = tokens[1];
        int n = 0;
        if (key == "VORN_CHANNEL_LAYOUT")
        {
            juce::StringArray parts;
            parts.addTokens (value, ",", "");
            int in = 0, out = 0;
            if (seenLayout || parts.size() != 2 || ! parseStrictInt (parts[0], in) || ! parseStrictInt (parts[1], out)
                || in < 1 || in > 2 || out < 1 || out > 2)
                return false;
            seenLayout = true;
            routing.inputLayout = in;
            routing.outputLayout = out;
        }
        else if (key == "VORN_SHARED_MONO_INPUT")
        {
            if (seenShared || ! parseStrictInt (value, n) || n < 0 || n > maxMarkerIndex)
                return false;
            seenShared = true;
            sharedChannel = n;
        }
        else if (markerIndex (key, "VORN_SIDECHAIN_SLOT_", n))
        {
            int source = 0;
            if (seenSidechain || ! parseStrictInt (value, source) || source < 0 || source == trackIndex)
                return false;
            seenSidechain = true;
            routing.sidechainSlot = n;
            routing.sidechainSource = source;
        }
        else if (markerIndex (key, "VORN_PLUGIN_NAME_SLOT_", n))
        {
            juce::String text;
            if (routing.pluginNames.count (n) != 0 || ! decodeMarkerText (value, text))
                return false;
            routing.pluginNames[n] = text;
        }
        else if (markerIndex (key, "VORN_PLUGIN_VENDOR_SLOT_", n))
        {
            juce::String text;
            if (routing.pluginVendors.count (n) != 0 || ! decodeMarkerText (value, text))
                return false;
            routing.pluginVendors[n] = text;
        }
        else
        {
            return false;
        }
    }
    if (! seenLayout)
        return false;

    // Input.
    if (countCommand (track, "REC") != 1)
        return false;
    const auto rec = findCommand (track, "REC");
    int input = 0;
    if (! tokensAre (rec, { "0", "", "1", "0", "0", "0", "0", "0" }, { 1 }) || ! parseStrictInt (rec[1], input))
        return false;
    if (input == -1)
    {
        if (seenShared)
            return false;
    }
    else
    {
        if (input < 0)
            return false;
        const bool stereoPair = routing.inputLayout == 2 && ! seenShared;
        const juce::int64 c = stereoPair ? (juce::int64) input - 1024 : input;
        if (c < 0 || c > 1023 || (stereoPair && c > 1022))
            return false;
        if (seenShared && (routing.inputLayout != 2 || c != sharedChannel))
            return false;
        routing.routeInL = (int) c;
        routing.patches.add ({ true, 0, (int) c });
        if (routing.inputLayout == 2)
        {
            routing.routeInR = seenShared ? (int) c : (int) c + 1;
            routing.patches.add ({ true, 1, routing.routeInR });
        }
    }

    // Output.
    const int hwouts = countCommand (track, "HWOUT");
    if (hwouts > 1)
        return false;
    if (hwouts == 0)
    {
        if (! hasExactUniqueCommand (track, "MAINSEND", "MAINSEND 1 0"))
            return false;
    }
    else
    {
        const auto hw = findCommand (track, "HWOUT");
        int out = 0, flag = 0;
        if (! tokensAre (hw, { "", "0", "1", "0", "0", "0", "", "-1:U", "-1" }, { 0, 6 })
            || ! parseStrictInt (hw[0], out) || ! parseStrictInt (hw[6], flag)
            || ! hasExactUniqueCommand (track, "MAINSEND", "MAINSEND 0 0"))
            return false;
        const bool mono = routing.outputLayout == 1;
        const juce::int64 c = mono ? (juce::int64) out - 1024 : out;
        if (flag != (mono ? 1024 : 0) || c < 0 || c > 1023 || (! mono && c > 1022))
            return false;
        routing.routeOutL = (int) c;
        routing.patches.add ({ false, 0, (int) c });
        if (! mono)
        {
            routing.routeOutR = (int) c + 1;
            routing.patches.add ({ false, 1, (int) c + 1 });
        }
    }

    // Sidechain feed.
    if (! seenSidechain)
    {
        if (countCommand (track, "AUXRECV") != 0 || ! hasExactUniqueCommand (track, "NCHAN", "NCHAN 2"))
            return false;
    }
    else
    {
        if (countCommand (track, "AUXRECV") != 1)
            return false;
        const auto aux = findCommand (track, "AUXRECV");
        int source = 0;
        if (! tokensAre (aux, { "", "0", "1", "0", "0", "0", "0", "0", "2", "-1:U", "31", "-1", "''" }, { 0 })
            || ! parseStrictInt (aux[0], source) || source != routing.sidechainSource
            || ! hasExactUniqueCommand (track, "NCHAN", "NCHAN 4"))
            return false;
    }
    routing.valid = true;
    return true;
}

// The NAME value. REAPER quotes a value that holds a double quote with single quotes or
// backquotes instead; such a value runs to the matching closing character.
juce::String trackName (const RppNode& track, bool& present)
{
    present = false;
    for (const auto& line : track.lines)
    {
        const auto tokens = tokenise (line);
        if (tokens.isEmpty() || tokens[0] != "NAME")
            continue;
        const auto rest = line.fromFirstOccurrenceOf ("NAME", false, false).trimStart();
        if (line.startsWith ("NAME") && rest.isNotEmpty() && (rest[0] == '\'' || rest[0] == '`'))
        {
            const auto quote = rest[0];
            const int close = rest.indexOfChar (1, quote);
            if (close > 1)
            {
                present = true;
                return rest.substring (1, close);
            }
        }
        if (tokens.size() >= 2)
        {
            present = true;
            return tokens[1];
        }
        return {};
    }
    return {};
}

// "name (vendor)": REAPER may append a channel-count group, "(34ch)", after the vendor.
void splitNameVendor (const juce::String& rest, juce::String& name, juce::String& vendor)
{
    name = rest;
    vendor.clear();
    auto text = rest;
    for (int pass = 0; pass < 2; ++pass)
    {
        if (! text.endsWithChar (')') || ! text.containsChar ('('))
            return;
        const int open = text.lastIndexOfChar ('(');
        const auto group = text.substring (open + 1, text.length() - 1).trim();
        const auto before = text.substring (0, open).trim();
        const bool channelCount = pass == 0 && group.endsWith ("ch") && group.length() > 2
                               && group.dropLastCharacters (2).containsOnly ("0123456789")
                               && before.endsWithChar (')') && before.containsChar ('(');
        if (! channelCount)
        {
            vendor = group;
            name = before;
            return;
        }
        text = before;
    }
}

// "<digits>{<32 hex>}".
bool parseIdField (const juce::String& text, juce::uint32& id, juce::String& classId)
{
    const int brace = text.indexOfChar ('{');
    if (brace < 1 || ! text.endsWithChar ('}') || text.length() != brace + 34)
        return false;
    const auto inner = text.substring (brace + 1, text.length() - 1);
    juce::uint32 value = 0;
    if (! parseUnsignedDecimal (text.substring (0, brace), value) || ! inner.containsOnly ("0123456789ABCDEFabcdef"))
        return false;
    id = value;
    classId = inner.toUpperCase();
    return true;
}

juce::String stateNoteCode (int trackIndex, int slot)
{
    return "plugin[" + juce::String (trackIndex) + ":" + juce::String (slot) + "].state";
}

struct PlacedSlots
{
    std::map<int, bool> sidechainCapable; // by slot position, for plug-ins placed by their id
};

void readPluginBlock (const RppNode& block, int trackIndex, RackStrip& strip, bool& strict, PlacedSlots& placed,
                      NoteList& notes)
{
    PluginRef slot;
    slot.occupied = true;
    if (! block.bypass.isEmpty())
    {
        slot.bypassed = block.bypass[0].getIntValue() != 0;
        slot.coverage.activation = block.bypass.size() == 3 && (block.bypass[0] == "0" || block.bypass[0] == "1")
                                && block.bypass[1] == "0" && block.bypass[2] == "0";
    }

    juce::String rest;
    if (! block.params.isEmpty())
    {
        const auto& p = block.params[0];
        if (p.containsChar (':'))
        {
            slot.format = p.upToFirstOccurrenceOf (":", false, false).trim();
            rest = p.fromFirstOccurrenceOf (":", false, false).trim();
        }
        else
        {
            slot.format = block.tag;
            rest = p;
        }
        splitNameVendor (rest, slot.name, slot.vendor);
    }
    else
    {
        slot.format = block.tag;
    }

    const int k = strip.plugins.size();
    bool sidechainCapable = false;
    if (slot.format == "VST3")
    {
        int fields = 0;
        juce::uint32 reaperId = 0;
        for (const auto& param : block.params)
        {
            juce::uint32 id = 0;
            juce::String classId;
            if (parseIdField (param, id, classId))
            {
                if (++fields == 1)
                {
                    reaperId = id;
                    slot.classId = classId;
                }
            }
        }
        const bool idFound = fields == 1;
        if (! idFound)
            slot.classId.clear();
        const juce::String headerError = fields > 1 ? "VST3 header has multiple REAPER id/CID fields"
                                                    : "VST3 header has no valid REAPER id/CID";
        juce::MemoryBlock bytes;
        juce::String error;
        const bool decoded = decodeReaperPluginLines (block, bytes, error);
        bool split = false;
        if (idFound && decoded)
        {
            split = splitReaperVst3State (bytes, reaperId, slot.state, error);
            juce::String ignored;
            if (split)
                sidechainCapable = validateReaperVst3StereoSidechainConfig (bytes, reaperId, ignored);
        }
        slot.coverage.identity = idFound && slot.name.isNotEmpty();
        slot.coverage.state = split;
        if (! split)
        {
            if (decoded)
            {
                slot.state.raw = std::move (bytes);
                slot.state.encoding = PluginStateEncoding::opaque;
            }
            notes.add (Fidelity::dropped, stateNoteCode (trackIndex, k), idFound ? error : headerError);
            strict = false;
        }
    }
    else if (slot.format == "AU" && block.tag == "AU")
    {
        audioUnit::Identity header;
        const bool headerValid = block.params.size() >= 5 && parseUnsignedDecimal (block.params[2], header.type)
                              && parseUnsignedDecimal (block.params[3], header.subtype)
                              && parseUnsignedDecimal (block.params[4], header.manufacturer)
                              && header.type != 0 && header.subtype != 0 && header.manufacturer != 0;
        juce::MemoryBlock bytes, plist;
        juce::String error;
        const bool decoded = decodeReaperPluginLines (block, bytes, error);
        bool unwrapped = decoded && audioUnit::splitReaperState (bytes, plist, error);
        bool matched = false;
        if (unwrapped && headerValid)
        {
            audioUnit::Identity fromList;
            if (audioUnit::parsePropertyList (plist, fromList, error))
            {
                matched = fromList.type == header.type && fromList.subtype == header.subtype
                       && fromList.manufacturer == header.manufacturer;
                if (! matched)
                    error = "REAPER AudioUnit header identity does not match the property list";
            }
        }
        if (matched)
        {
            slot.auType = header.type;
            slot.auSubtype = header.subtype;
            slot.auManufacturer = header.manufacturer;
            slot.uniqueId = slot.deprecatedUid = header.type ^ header.subtype ^ header.manufacturer;
            slot.state.raw = std::move (plist);
            slot.state.encoding = PluginStateEncoding::audioUnitPlist;
            slot.coverage.identity = slot.name.isNotEmpty();
            slot.coverage.state = true;
        }
        else
        {
            if (decoded)
            {
                slot.state.raw = std::move (bytes);
                slot.state.encoding = PluginStateEncoding::opaque;
            }
            notes.add (Fidelity::dropped, stateNoteCode (trackIndex, k),
                       headerValid ? error : juce::String ("REAPER AudioUnit identity is malformed"));
            strict = false;
        }
    }
    else
    {
        slot.coverage.identity = slot.name.isNotEmpty() && slot.format.isNotEmpty();
        if (! block.lines.isEmpty())
        {
            juce::String ignored;
            const bool whole = decodeReaperPluginLines (block, slot.state.raw, ignored);
            slot.state.encoding = whole ? PluginStateEncoding::hostSpecific : PluginStateEncoding::opaque;
        }
        strict = false;
    }

    int fxTrack = 0, fxSlot = 0;
    if (! parseReaperStableFxId (block.fxid, fxTrack, fxSlot))
    {
        strict = false;
    }
    else if (fxTrack != trackIndex || fxSlot < strip.plugins.size() || fxSlot >= maxSlotPosition)
    {
        notes.add (Fidelity::dropped, "plugin[" + juce::String (trackIndex) + "].stableFxId", noteFxIdInconsistent);
        slot.coverage.identity = false;
        strict = false;
    }
    else
    {
        placed.sidechainCapable[fxSlot] = sidechainCapable;
        while (strip.plugins.size() < fxSlot)
            strip.plugins.add (PluginRef());
    }

    const bool knownFormat = (slot.format == "VST3" && slot.coverage.identity) || slot.format == "AU";
    if (! block.children.empty() || ! knownFormat || ! slot.coverage.identity || ! slot.coverage.state
        || ! slot.coverage.activation)
        strict = false;
    slot.muted = false;
    slot.sidechainSource = -1;
    slot.coverage.mute = strict;
    slot.coverage.sidechain = strict;
    strip.plugins.add (std::move (slot));
}

bool readTrack (const RppNode& track, int trackIndex, RackSession& session, ReadFlags& flags)
{
    RackStrip strip;
    strip.index = trackIndex;

    ParsedTrackRouting routing;
    parseRouting (track, trackIndex, routing);
    const auto stableId = makeReaperStableTrackId (trackIndex);
    bool strict = routing.valid && track.params.size() == 1 && track.params[0] == stableId
               && hasExactUniqueCommand (track, "TRACKID", "TRACKID " + stableId)
               && hasExactUniqueCommand (track, "IPHASE", "IPHASE 0")
               && hasExactUniqueCommand (track, "PLAYOFFS", "PLAYOFFS 0 1");

    bool hasName = false;
    strip.name = trackName (track, hasName);
    strip.coverage.name = hasName;
    strict = strict && countCommand (track, "NAME") == 1 && strip.name.isNotEmpty();

    if (countCommand (track, "PEAKCOL") > 0)
    {
        const auto values = findCommand (track, "PEAKCOL");
        strip.colour = (juce::uint32) (values[0].getLargeIntValue() & 0xFFFFFFFF);
        strip.hasColour = (strip.colour & reaperCustomColourFlag) != 0;
    }

    {
        const auto v = findCommand (track, "VOLPAN");
        double volume = 0, pan = 0;
        const bool taken = tokensAre (v, { "", "", "-1", "-1", "1" }, { 0, 1 }) && parseStrictDouble (v[0], volume)
                        && parseStrictDouble (v[1], pan) && volume >= 0 && std::abs (pan) <= 1;
        if (taken)
        {
            strip.outputGainDb = volume == 0 ? -100.0f : (float) (20.0 * std::log10 (volume));
            strip.pan = (float) ((pan + 1.0) / 2.0);
            strip.coverage.outputGain = strip.coverage.pan = true;
        }
        strict = strict && taken && countCommand (track, "VOLPAN") == 1;
    }
    {
        const auto v = findCommand (track, "MUTESOLO");
        int m = 0, so = 0, x = 0;
        const bool taken = v.size() == 3 && parseStrictInt (v[0], m) && parseStrictInt (v[1], so) && parseStrictInt (v[2], x)
                        && (m == 0 || m == 1) && (so == 0 || so == 1) && x == 0;
        if (taken)
        {
            strip.muted = m == 1;
            strip.soloed = so == 1;
            strip.coverage.mute = strip.coverage.solo = true;
        }
        strict = strict && taken && countCommand (track, "MUTESOLO") == 1;
    }
    {
        const auto v = findCommand (track, "FX");
        const bool taken = v.size() == 1 && (v[0] == "0" || v[0] == "1");
        if (taken)
            strip.bypassed = v[0] == "0";
        strict = strict && taken && countCommand (track, "FX") == 1;
    }

    int chains = 0;
    for (const auto& child : track.children)
    {
        if (child.tag == "FXCHAIN")
            ++chains;
        else if (child.tag != "EXT")
        {
            flags.timeline = true;
            strict = false;
        }
    }
    strict = strict && chains == 1;
    if (strict)
    {
        strip.inputChannels = routing.inputLayout;
        strip.outputChannels = routing.outputLayout;
        strip.routeInL = routing.routeInL;
        strip.routeInR = routing.routeInR;
        strip.routeOutL = routing.routeOutL;
        strip.routeOutR = routing.routeOutR;
        strip.routePatches = routing.patches;
        strip.coverage.inputGain = strip.coverage.bypass = strip.coverage.channelLayout = strip.coverage.route = true;
    }

    PlacedSlots placed;
    for (const auto& chain : track.children)
    {
        if (chain.tag != "FXCHAIN")
            continue;
        int pluginBlocks = 0;
        for (const auto& child : chain.children)
            if (isPluginTag (child.tag))
                ++pluginBlocks;
        if (countCommand (chain, "BYPASS") != pluginBlocks || countCommand (chain, "FXID") != pluginBlocks)
            strict = false;
        for (const auto& child : chain.children)
        {
            if (! isPluginTag (child.tag))
            {
                flags.timeline = true;
                strict = false;
                continue;
            }
            readPluginBlock (child, trackIndex, strip, strict, placed, session.notes);
        }
    }

    if (strict && routing.sidechainSlot >= 0)
    {
        const int s = routing.sidechainSlot;
        if (s >= strip.plugins.size() || ! strip.plugins.getReference (s).occupied)
            strict = false;
        else if (placed.sidechainCapable.count (s) != 0 && placed.sidechainCapable[s])
            strip.plugins.getReference (s).sidechainSource = routing.sidechainSource;
        else
        {
            session.notes.add (Fidelity::dropped,
                               "plugin[" + juce::String (trackIndex) + ":" + juce::String (s) + "].sidechainConfig",
                               noteSidechainConfig);
            strict = false;
        }
    }

    if (strict && (! routing.pluginNames.empty() || ! routing.pluginVendors.empty()))
    {
        int occupied = 0;
        bool complete = true;
        for (int s = 0; s < strip.plugins.size(); ++s)
        {
            if (! strip.plugins.getReference (s).occupied)
                continue;
            ++occupied;
            const auto name = routing.pluginNames.find (s);
            if (name == routing.pluginNames.end() || name->second.isEmpty() || routing.pluginVendors.count (s) == 0)
                complete = false;
        }
        if (complete && occupied == (int) routing.pluginNames.size() && occupied == (int) routing.pluginVendors.size())
        {
            for (int s = 0; s < strip.plugins.size(); ++s)
            {
                auto& slot = strip.plugins.getReference (s);
                if (slot.occupied)
                {
                    slot.name = routing.pluginNames[s];
                    slot.vendor = routing.pluginVendors[s];
                }
            }
        }
        else
        {
            strict = false;
        }
    }

    if (! strict)
        for (auto& slot : strip.plugins)
            if (slot.occupied)
                slot.coverage.mute = slot.coverage.sidechain = false;
    session.strips.add (std::move (strip));
    return strict;
}

// Lines cut at CR, LF or CR LF, trimmed, blank ones dropped.
juce::StringArray projectLines (const juce::String& text)
{
    juce::StringArray lines;
    auto start = text.getCharPointer();
    auto p = start;
    for (;;)
    {
        const auto c = *p;
        if (c == 0 || c == '\r' || c == '\n')
        {
            if (p != start)
            {
                auto line = juce::String (start, p).trim();
                if (line.isNotEmpty())
                    lines.add (std::move (line));
            }
            if (c == 0)
                break;
            ++p;
            start = p;
            continue;
        }
        ++p;
    }
    return lines;
}
} // namespace

juce::StringArray tokenise (const juce::String& line)
{
    juce::StringArray tokens;
    juce::String current;
    bool quoted = false;
    auto runStart = line.getCharPointer();
    bool inRun = false;
    auto flushRun = [&] (juce::CharPointer_UTF8 end)
    {
        if (inRun)
            current += juce::String (runStart, end);
        inRun = false;
    };
    auto p = line.getCharPointer();
    for (; ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (c == '"')
        {
            flushRun (p);
            quoted = ! quoted;
            continue;
        }
        if (! quoted && juce::CharacterFunctions::isWhitespace (c))
        {
            flushRun (p);
            if (current.isNotEmpty())
                tokens.add (current);
            current.clear();
            continue;
        }
        if (! inRun)
        {
            runStart = p;
            inRun = true;
        }
    }
    flushRun (p);
    if (current.isNotEmpty())
        tokens.add (current);
    return tokens;
}

RppNode parseBlock (const juce::StringArray& lines, int& index, bool& ok)
{
    // An explicit stack instead of recursion, so no nesting depth reaches the call stack; the depth
    // is still capped because the finished tree is freed recursively.
    std::vector<OpenBlock> open;
    open.reserve (16);
    open.push_back ({ openNode (lines[index]), {} });
    ++index;
    const int count = lines.size();
    while (index < count)
    {
        const auto& line = lines.getReference (index);
        if (line == ">")
        {
            ++index;
            OpenBlock done = std::move (open.back());
            open.pop_back();
            if (open.empty())
                return std::move (done.node);
            auto& parent = open.back();
            done.node.bypass = std::move (parent.pendingBypass);
            parent.pendingBypass.clear();
            parent.node.children.push_back (std::move (done.node));
            continue;
        }
        if (line.startsWithChar ('<'))
        {
            if ((int) open.size() >= maxRppBlockDepth)
            {
                index = count;
                break;
            }
            open.push_back ({ openNode (line), {} });
            ++index;
            continue;
        }
        takeBodyLine (open.back(), line);
        ++index;
    }

    // Out of lines (or too deep): close what is open so the caller still gets the partial tree.
    ok = false;
    while (open.size() > 1)
    {
        OpenBlock done = std::move (open.back());
        open.pop_back();
        auto& parent = open.back();
        done.node.bypass = std::move (parent.pendingBypass);
        parent.pendingBypass.clear();
        parent.node.children.push_back (std::move (done.node));
    }
    return std::move (open.back().node);
}

int countCommand (const RppNode& node, juce::StringRef name)
{
    int n = 0;
    for (const auto& line : node.lines)
        if (firstToken (line) == name)
            ++n;
    return n;
}

juce::StringArray findCommand (const RppNode& node, juce::StringRef name)
{
    for (const auto& line : node.lines)
    {
        if (firstToken (line) == name)
        {
            auto tokens = tokenise (line);
            tokens.remove (0);
            return tokens;
        }
    }
    return {};
}

bool hasExactUniqueCommand (const RppNode& node, juce::StringRef name, juce::StringRef line)
{
    if (countCommand (node, name) != 1)
        return false;
    for (const auto& own : node.lines)
        if (own == line)
            return true;
    return false;
}

bool parseStrictInt (const juce::String& text, int& out)
{
    auto p = text.getCharPointer();
    bool negative = false;
    if (*p == '-')
    {
        negative = true;
        ++p;
    }
    if (p.isEmpty())
        return false;
    juce::int64 value = 0;
    for (; ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
        if (value > ((juce::int64) 1 << 31))
            return false;
    }
    if (! negative && value > 2147483647)
        return false;
    out = (int) (negative ? -value : value);
    return true;
}

bool parseStrictDouble (const juce::String& text, double& out)
{
    if (text.isEmpty())
        return false;
    const std::string utf8 = text.toStdString();
    const char* begin = utf8.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod (begin, &end);
    if (errno == ERANGE || end != begin + utf8.size() || ! std::isfinite (value))
        return false;
    out = value;
    return true;
}

bool parseUnsignedDecimal (const juce::String& text, juce::uint32& out)
{
    auto p = text.getCharPointer();
    if (p.isEmpty())
        return false;
    juce::uint64 value = 0;
    for (; ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (juce::uint64) (c - '0');
        if (value > 4294967295ull)
            return false;
    }
    out = (juce::uint32) value;
    return true;
}

bool decodeReaperPluginLines (const RppNode& node, juce::MemoryBlock& out, juce::String& error)
{
    juce::MemoryOutputStream decoded;
    auto finish = [&] (bool ok, const char* message)
    {
        out.reset();
        if (decoded.getDataSize() > 0)
            out.append (decoded.getData(), decoded.getDataSize());
        if (! ok)
            error = message;
        return ok;
    };

    std::vector<juce::uint8> unit;
    for (const auto& line : node.lines)
    {
        const std::string text = line.toStdString();
        if (text.empty() || text.size() % 4 != 0)
            return finish (false, "base64 line length is invalid");
        size_t padding = 0;
        for (const char ch : text)
        {
            if (ch == '=')
                ++padding;
            else if (padding > 0 || base64Value ((juce::juce_wchar) (unsigned char) ch) < 0)
                return finish (false, "base64 line contains invalid characters or padding");
        }
        if (padding >= 3)
            return finish (false, "base64 line has excessive padding");
        const size_t expected = text.size() / 4 * 3 - padding;
        if (expected > maxReaperPluginStateBytes - decoded.getDataSize())
            return finish (false, "decoded VST3 state exceeds limit");
        if (! decodeBase64Units (text, unit))
            return finish (false, "base64 line decode failed");
        if (encodeBase64 (unit.data(), unit.size()) != text)
            return finish (false, "base64 line is not canonical");
        if (unit.size() != expected)
            return finish (false, "base64 decoded length is inconsistent");
        if (! unit.empty())
            decoded.write (unit.data(), unit.size());
    }
    if (decoded.getDataSize() == 0)
        return finish (false, "VST3 state block is empty");
    return finish (true, "");
}

juce::String makeReaperStableTrackId (int trackIndex)
{
    const auto track = (juce::uint32) trackIndex;
    return guidText (trackIdTag, track, 0, track * 257u + 0x5A3Cu);
}

juce::String makeReaperStableFxId (int track, int slot)
{
    const auto t = (juce::uint32) track;
    const auto s = (juce::uint32) slot;
    return guidText (fxIdTag, t, s, t * 257u + s * 17u + 0xA5C3u);
}

bool parseReaperStableFxId (juce::StringRef text, int& track, int& slot)
{
    const auto digits = juce::String (text).trim().removeCharacters ("{}-").toUpperCase();
    if (digits.length() != 32 || ! digits.startsWith (fxIdTag) || ! digits.containsOnly ("0123456789ABCDEF"))
        return false;
    const auto t = (juce::uint32) digits.substring (16, 24).getHexValue64();
    const auto s = (juce::uint32) digits.substring (24, 28).getHexValue64();
    const auto check = (juce::uint32) digits.substring (28, 32).getHexValue64();
    if (t >= 0x80000000u || s >= 0x80000000u)
        return false;
    if (((check ^ (t * 257u + s * 17u + 0xA5C3u)) & 0xFFFFu) != 0)
        return false;
    track = (int) t;
    slot = (int) s;
    return true;
}


RackReadResult readReaperRpp (const juce::File& file)
{
    RackReadResult result;
    auto& session = result.session;
    session.sourceFormat = "reaper.rpp";
    session.sourceApp = "REAPER";
    session.sourceFile = file.getFullPathName();
    auto fail = [&result] (const juce::String& message)
    {
        result.ok = false;
        result.status = readFailed;
        result.error = message;
        return result;
    };

    if (! file.existsAsFile() || file.getSize() > maxReaperRppFileBytes)
        return fail ("file empty or unreadable");
    const auto lines = projectLines (file.loadFileAsString());
    if (lines.isEmpty())
        return fail ("file empty or unreadable");

    int index = 0;
    while (index < lines.size() && ! lines[index].startsWithChar ('<'))
        ++index;
    if (index == lines.size())
        return fail ("no root block found");
    bool ok = true;
    const RppNode root = parseBlock (lines, index, ok);
    if (root.tag != "REAPER_PROJECT")
        return fail ("unexpected root block: " + root.tag);
    if (! ok || index != lines.size())
        return fail ("unbalanced or trailing REAPER project data");

    if (root.params.size() >= 2)
        session.sourceVersion = root.params[1];
    if (countCommand (root, "SAMPLERATE") == 1)
    {
        const auto values = findCommand (root, "SAMPLERATE");
        const double rate = values.isEmpty() ? 0.0 : values[0].getDoubleValue();
        if (std::isfinite (rate) && rate > 0)
            session.sampleRate = rate;
    }
    session.capacityStrips = 0;
    session.capacitySlots = 0;

    ReadFlags flags;
    int trackIndex = 0;
    for (const auto& child : root.children)
    {
        // An empty master chain (REAPER writes one once its window has been opened) holds nothing
        // that a conversion would lose.
        if (child.tag == "MASTERFXLIST" && ! child.children.empty())
            flags.masterFx = true;
        else if (child.tag == "TRACK")
        {
            if (! readTrack (child, trackIndex, session, flags))
                flags.allControlled = false;
            ++trackIndex;
        }
    }

    const int strips = session.strips.size();
    for (auto& strip : session.strips)
        for (auto& slot : strip.plugins)
            if (slot.occupied && slot.sidechainSource >= strips)
            {
                slot.coverage.sidechain = false;
                flags.allControlled = false;
            }

    if (flags.timeline)
        session.notes.add (Fidelity::dropped, "track.timeline", noteTimeline);
    if (flags.masterFx)
        session.notes.add (Fidelity::dropped, "master.fxchain", noteMasterFx);
    if (! flags.allControlled)
        session.notes.add (Fidelity::dropped, "reaper.prototype", notePrototype);
    result.ok = true;
    result.status = flags.allControlled && ! flags.masterFx ? readComplete : readPartial;
    return result;
}

} // namespace vornconv
