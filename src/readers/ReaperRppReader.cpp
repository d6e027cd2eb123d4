// The reader of REAPER projects (.rpp). The text is parsed once into the block tree of
// ReaperRppText, and every TRACK block becomes a strip with its FXCHAIN's plug-ins as slots. Text
// that is no project (no root block, unbalanced, trailing data) fails the read. Any well-formed
// project is read; it is graded complete only when every track has exactly the shape the converter
// writes (stable track and effect ids, the converter's EXT markers, the fixed routing lines,
// plug-in states that decode strictly) and there is no master effect chain. Whatever falls short
// lowers the grade and leaves a note.
//
// In this file, in order:
//   - Note texts and read state: the notes, limits, and what one track's routing and the whole
//     read collect.
//   - Small helpers: text for messages, walking child blocks, token forms, marker names.
//   - Track routing: the EXT markers, then the REC, HWOUT, MAINSEND, AUXRECV and NCHAN lines of
//     one track.
//   - Names: the track name, REAPER's lenient integers, and a plug-in's name and vendor.
//   - Plug-in blocks: one VST, AU or other plug-in block with its BYPASS and FXID lines.
//   - Tracks: a TRACK block with its id and fixed lines, volume, pan, mute, solo and FX, routing,
//     plug-ins, the sidechain slot and the marker names.
//   - The reader: readReaperRpp (through the untrusted-file loader) and readReaperRppBytes.

#include "readers/ReaperRppReader.h"

#include "model/AudioUnitState.h"
#include "model/ReaperVst3State.h"
#include "model/UntrustedFile.h"
#include "model/Utf8Text.h"
#include "rapp/RappConversionPlan.h"
#include "readers/ReaperRppText.h"

#include <cmath>
#include <map>

namespace vornconv
{

namespace
{

//==============================================================================
// Note texts and read state

const char* const noteTimeline = "트랙의 아이템·오토메이션은 랙 모델에 대응물이 없어 무시한다";
const char* const noteMasterFx = "REAPER Master FX 체인은 대상 호스트의 개별 랙 스트립에 일대일 대응되지 않아 변환 대상에서 제외한다";
const char* const notePrototype = "converter TRACKID/FXID 또는 검증된 layout/routing 불변조건이 없어 역변환을 차단한다";
const char* const noteSidechainConfig = "REAPER VST3 wrapper is not stereo main + stereo sidechain (4 inputs, observed 2/4 output pin map, channel_config=2)";
const char* const noteFxIdInconsistent = "converter FXID strip/slot is inconsistent or duplicated";

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

//==============================================================================
// Small helpers

// Text the user sees but nothing depends on.
juce::String shownText (std::string_view bytes)
{
    return utf8::toTextReplacingMalformed (bytes.data(), bytes.size());
}

// Text from a binary field for a one-line message: control characters become blanks.
juce::String lineSafe (const juce::String& text)
{
    std::string bytes (text.toRawUTF8(), text.getNumBytesAsUTF8());
    for (auto& c : bytes)
        if ((unsigned char) c < 0x20 || c == 0x7F)
            c = ' ';
    return shownText (bytes);
}

bool isPluginTag (std::string_view tag)
{
    return tag == "VST" || tag == "AU" || tag == "JS" || tag == "CLAP";
}

// Calls visit (child, tag) for every child block of node.
template <typename Visit>
void forEachChild (RppNode node, Visit&& visit)
{
    auto walk = startRppWalk (node);
    RppItem item;
    while (nextRppItem (walk, item))
        if (item.isBlock)
            visit (item.block, rppTag (item.block));
}

bool tokensAre (const std::vector<std::string>& tokens, std::initializer_list<const char*> expected, std::initializer_list<int> free)
{
    if (tokens.size() != expected.size())
        return false;
    int i = 0;
    for (auto* e : expected)
    {
        const bool isFree = std::find (free.begin(), free.end(), i) != free.end();
        if (! isFree && tokens[(size_t) i] != e)
            return false;
        ++i;
    }
    return true;
}

// "PREFIX<n>" with n a strict int in 0..maxRppMarkerIndex.
bool markerIndex (std::string_view token, std::string_view prefix, int& index)
{
    int n = 0;
    if (token.substr (0, prefix.size()) != prefix || ! parseStrictInt (token.substr (prefix.size()), n) || n < 0
        || n > maxRppMarkerIndex)
        return false;
    index = n;
    return true;
}

//==============================================================================
// Track routing

bool parseExtMarkers (RppNode ext, int trackIndex, ParsedTrackRouting& routing, bool& seenShared, int& sharedChannel,
                      bool& seenSidechain)
{
    bool seenLayout = false;
    bool anyLine = false;
    auto walk = startRppWalk (ext);
    RppItem item;
    while (nextRppItem (walk, item))
    {
        if (item.isBlock)
            return false;
        anyLine = true;
        const auto tokens = tokenise (item.line);
        if (tokens.size() != 2)
            return false;
        const auto& key = tokens[0];
        const auto& value = tokens[1];
        int n = 0;
        if (key == rppMarker::channelLayout)
        {
            const auto comma = value.find (',');
            int in = 0, out = 0;
            if (seenLayout || comma == std::string::npos || value.find (',', comma + 1) != std::string::npos
                || ! parseStrictInt (std::string_view (value).substr (0, comma), in)
                || ! parseStrictInt (std::string_view (value).substr (comma + 1), out) || in < 1 || in > 2 || out < 1 || out > 2)
                return false;
            seenLayout = true;
            routing.inputLayout = in;
            routing.outputLayout = out;
        }
        else if (key == rppMarker::sharedMonoInput)
        {
            if (seenShared || ! parseStrictInt (value, n) || n < 0 || n > maxRppMarkerIndex)
                return false;
            seenShared = true;
            sharedChannel = n;
        }
        else if (markerIndex (key, rppMarker::sidechainSlot, n))
        {
            int source = 0;
            if (seenSidechain || ! parseStrictInt (value, source) || source < 0 || source == trackIndex)
                return false;
            seenSidechain = true;
            routing.sidechainSlot = n;
            routing.sidechainSource = source;
        }
        else if (markerIndex (key, rppMarker::pluginName, n))
        {
            juce::String text;
            if (routing.pluginNames.count (n) != 0 || ! decodeMarkerText (value, text))
                return false;
            routing.pluginNames[n] = text;
        }
        else if (markerIndex (key, rppMarker::pluginVendor, n))
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
    return anyLine && seenLayout;
}

bool parseRouting (RppNode track, int trackIndex, ParsedTrackRouting& routing)
{
    int extCount = 0;
    RppNode ext;
    forEachChild (track, [&] (RppNode child, const std::string& tag) {
        if (tag == rppMarker::extTag && extCount++ == 0)
            ext = child;
    });
    if (extCount == 0)
    {
        if (hasExactUniqueCommand (track, "REC", defaultRecLine) && hasExactUniqueCommand (track, "NCHAN", nchanLine (false).toRawUTF8())
            && hasExactUniqueCommand (track, "MAINSEND", mainSendLine (false).toRawUTF8()) && countCommand (track, "AUXRECV") == 0
            && countCommand (track, "HWOUT") == 0)
            routing.valid = true;
        return routing.valid;
    }
    if (extCount != 1 || ! rppParams (ext).empty())
        return false;

    bool seenShared = false, seenSidechain = false;
    int sharedChannel = -1;
    if (! parseExtMarkers (ext, trackIndex, routing, seenShared, sharedChannel, seenSidechain))
        return false;

    // Input.
    if (countCommand (track, "REC") != 1)
        return false;
    int input = 0;
    if (! matchRecLine (findCommand (track, "REC"), input))
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
        if (! hasExactUniqueCommand (track, "MAINSEND", mainSendLine (false).toRawUTF8()))
            return false;
    }
    else
    {
        int out = 0, flag = 0;
        if (! matchHwOutLine (findCommand (track, "HWOUT"), out, flag)
            || ! hasExactUniqueCommand (track, "MAINSEND", mainSendLine (true).toRawUTF8()))
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
        if (countCommand (track, "AUXRECV") != 0 || ! hasExactUniqueCommand (track, "NCHAN", nchanLine (false).toRawUTF8()))
            return false;
    }
    else
    {
        int source = 0;
        if (countCommand (track, "AUXRECV") != 1 || ! matchAuxRecvLine (findCommand (track, "AUXRECV"), source)
            || source != routing.sidechainSource || ! hasExactUniqueCommand (track, "NCHAN", nchanLine (true).toRawUTF8()))
            return false;
    }
    routing.valid = true;
    return true;
}

//==============================================================================
// Names

// The NAME value. REAPER quotes a value that holds a double quote with single quotes or
// backquotes instead; such a value runs to the matching closing character. present is false when
// there is no value or it cannot be text.
juce::String trackName (RppNode track, bool& present)
{
    present = false;
    auto walk = startRppWalk (track);
    RppItem item;
    while (nextRppItem (walk, item))
    {
        if (item.isBlock || ! firstTokenIs (item.line, "NAME"))
            continue;
        const auto line = item.line;
        std::string_view value;
        bool found = false;
        if (line.substr (0, 4) == "NAME")
        {
            const auto rest = trimRppLine (line.substr (4));
            if (! rest.empty() && (rest[0] == '\'' || rest[0] == '`'))
            {
                const auto close = rest.find (rest[0], 1);
                if (close != std::string_view::npos && close > 1)
                {
                    value = rest.substr (1, close - 1);
                    found = true;
                }
            }
        }
        std::vector<std::string> tokens;
        if (! found)
        {
            tokens = tokenise (line);
            if (tokens.size() < 2)
                return {};
            value = tokens[1];
        }
        juce::String name;
        present = rppTextValue (value, name);
        return name;
    }
    return {};
}

// The leading integer of a value as REAPER reads it (0 when there is none), modulo 2^64.
juce::uint64 leadingInteger (std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (negative)
        ++i;
    juce::uint64 value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + (juce::uint64) (text[i] - '0');
    return negative ? ~value + 1u : value;
}

// A trailing group REAPER adds after the vendor to describe the channels: "(34ch)", "(mono)",
// "(10 out)".
bool isChannelGroup (std::string_view group)
{
    auto digitsOnly = [] (std::string_view digits) {
        if (digits.empty())
            return false;
        for (const char c : digits)
            if (c < '0' || c > '9')
                return false;
        return true;
    };
    const auto ends = [&] (std::string_view suffix) {
        return group.size() > suffix.size() && group.substr (group.size() - suffix.size()) == suffix
            && digitsOnly (group.substr (0, group.size() - suffix.size()));
    };
    return group == "mono" || ends ("ch") || ends (" out");
}

// "name (vendor)", perhaps followed by one channel group.
void splitNameVendor (std::string_view rest, std::string_view& name, std::string_view& vendor)
{
    name = rest;
    vendor = {};
    auto text = rest;
    for (int pass = 0; pass < 2; ++pass)
    {
        const auto open = text.rfind ('(');
        if (text.empty() || text.back() != ')' || open == std::string_view::npos)
            return;
        const auto group = trimRppLine (text.substr (open + 1, text.size() - open - 2));
        const auto before = trimRppLine (text.substr (0, open));
        const bool channels = pass == 0 && isChannelGroup (group) && ! before.empty() && before.back() == ')'
                           && before.find ('(') != std::string_view::npos;
        if (! channels)
        {
            vendor = group;
            name = before;
            return;
        }
        text = before;
    }
}

//==============================================================================
// Plug-in blocks

juce::String stateNoteCode (int trackIndex, int slot)
{
    return "plugin[" + juce::String (trackIndex) + ":" + juce::String (slot) + "].state";
}

// The note of a state refused because its pin map routes the plug-in to other track channels
// names the plug-in and where its pins go.
juce::String pinMapNote (const juce::String& refusal, const juce::String& plugin, const juce::String& routing)
{
    return refusal + ": " + (plugin.isNotEmpty() ? lineSafe (plugin) + ", " : juce::String()) + routing;
}

// The note of a state in which REAPER saved the plug-in's parameter values instead of its
// component state names the plug-in and what REAPER saved.
juce::String parameterValuesNote (const juce::String& plugin, int values)
{
    return "REAPER saved the parameter values of " + (plugin.isNotEmpty() ? lineSafe (plugin) : juce::String ("the plug-in")) + " ("
         + juce::String (values) + (values == 1 ? " value" : " values") + ") instead of a component state; the state is kept as "
         + "bytes and cannot be carried";
}

struct PlacedSlots
{
    std::map<int, bool> sidechainCapable; // by slot position, for plug-ins placed by their id
};

// A VST3 plug-in's REAPER id and class id from its header, and its state split out of REAPER's
// wrapper; a state that cannot be split is kept as bytes with a DROPPED note. True when the
// state's wrapper is a stereo main with a stereo sidechain.
bool readVst3Plugin (RppNode block, const std::vector<std::string>& params, int trackIndex, int k, bool texts, PluginRef& slot,
                     bool& strict, NoteList& notes)
{
    bool sidechainCapable = false;
    int fields = 0;
    juce::uint32 reaperId = 0;
    for (const auto& param : params)
    {
        juce::uint32 id = 0;
        juce::String classId;
        if (parseReaperIdField (param, id, classId) && ++fields == 1)
        {
            reaperId = id;
            slot.classId = classId;
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
    juce::String routing;
    if (idFound && decoded)
    {
        split = splitReaperVst3State (std::move (bytes), reaperId, slot.state, error, routing);
        juce::String ignored;
        if (split)
            sidechainCapable = validateReaperVst3StereoSidechainConfig (slot.state.raw, reaperId, ignored);
    }
    slot.coverage.identity = idFound && slot.name.isNotEmpty() && texts;
    slot.coverage.state = split;
    if (! split)
    {
        auto note = ! idFound ? headerError : routing.isNotEmpty() ? pinMapNote (error, slot.name, routing) : error;
        if (idFound && decoded)
            if (const int values = reaperVst3ParameterValueCount (bytes, reaperId); values >= 0)
                note = parameterValuesNote (slot.name, values);
        if (decoded)
        {
            slot.state.raw = std::move (bytes);
            slot.state.encoding = PluginStateEncoding::opaque;
        }
        notes.add (Fidelity::dropped, stateNoteCode (trackIndex, k), note);
        strict = false;
    }
    return sidechainCapable;
}

// An AudioUnit plug-in's identity from its header, which must be the one its property list
// names, and its state split out of REAPER's wrapper; a state that cannot be taken is kept as
// bytes with a DROPPED note.
void readAudioUnitPlugin (RppNode block, const std::vector<std::string>& params, int trackIndex, int k, bool texts, PluginRef& slot,
                         bool& strict, NoteList& notes)
{
    // The header is the display name, the component's "maker: name", REAPER's preset name,
    // then the type, subtype and manufacturer: the codes are the last three parameters,
    // whatever the quoted fields before them hold (an empty one leaves no token at all).
    audioUnit::Identity header;
    const size_t n = params.size();
    const bool headerValid = n >= 4 && parseUnsignedDecimal (params[n - 3], header.type)
                          && parseUnsignedDecimal (params[n - 2], header.subtype)
                          && parseUnsignedDecimal (params[n - 1], header.manufacturer)
                          && header.type != 0 && header.subtype != 0 && header.manufacturer != 0;
    juce::MemoryBlock bytes;
    juce::String error;
    const bool decoded = decodeReaperPluginLines (block, bytes, error);
    audioUnit::ReaperStateSplit split;
    if (decoded)
    {
        split = audioUnit::splitReaperState (bytes);
        error = split.error;
    }
    // The property list is sound when the wrapper is, or when only its pin map was refused.
    bool matched = false;
    if (headerValid && (split.ok || split.pinMapRouted))
    {
        const auto& named = split.identity;
        matched = named.type == header.type && named.subtype == header.subtype && named.manufacturer == header.manufacturer;
        if (! matched)
            error = "REAPER AudioUnit header identity does not match the property list";
        else if (split.pinMapRouted)
            error = pinMapNote (split.error, slot.name, split.routing);
    }
    // A plug-in whose state was refused for its routing alone is still the component its
    // header names, so the reports can say which plug-in lost its state.
    if (matched)
    {
        slot.auType = header.type;
        slot.auSubtype = header.subtype;
        slot.auManufacturer = header.manufacturer;
        slot.uniqueId = slot.deprecatedUid = header.type ^ header.subtype ^ header.manufacturer;
        slot.coverage.identity = slot.name.isNotEmpty() && texts;
    }
    if (matched && split.ok)
    {
        slot.state.raw = std::move (split.plist);
        slot.state.encoding = PluginStateEncoding::audioUnitPlist;
        slot.coverage.state = true;
        if (split.presetName.isNotEmpty())
            notes.add (Fidelity::approx, "plugin[" + juce::String (trackIndex) + ":" + juce::String (k) + "].presetName",
                       "REAPER preset name \"" + lineSafe (split.presetName) + "\" is not carried");
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

// A plug-in of another format: its state lines are kept for that host alone.
void readOtherPlugin (RppNode block, bool texts, PluginRef& slot, bool& strict)
{
    slot.coverage.identity = slot.name.isNotEmpty() && slot.format.isNotEmpty() && texts;
    auto walk = startRppWalk (block);
    RppItem item;
    bool hasLines = false;
    while (! hasLines && nextRppItem (walk, item))
        hasLines = ! item.isBlock;
    if (hasLines)
    {
        juce::String ignored;
        const bool whole = decodeReaperPluginLines (block, slot.state.raw, ignored);
        slot.state.encoding = whole ? PluginStateEncoding::hostSpecific : PluginStateEncoding::opaque;
    }
    strict = false;
}

// The slot's place from its converter FXID: the slots before it stay empty. Without one, or with
// one that does not fit the track and the slots read so far, the read is not strict.
void placeByFxId (const RppUnit& unit, int trackIndex, bool sidechainCapable, RackStrip& strip, PluginRef& slot, bool& strict,
                  PlacedSlots& placed, NoteList& notes)
{
    int fxTrack = 0, fxSlot = 0;
    if (! parseReaperStableFxId (std::string_view (unit.fxid), fxTrack, fxSlot))
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
}

void readPluginBlock (const RppUnit& unit, const std::string& tag, int trackIndex, RackStrip& strip, bool& strict,
                      PlacedSlots& placed, NoteList& notes)
{
    const auto block = unit.block;
    PluginRef slot;
    slot.occupied = true;
    if (! unit.bypass.empty())
    {
        slot.bypassed = (juce::uint32) leadingInteger (unit.bypass[0]) != 0;
        slot.coverage.activation = unit.bypass.size() == 3 && (unit.bypass[0] == "0" || unit.bypass[0] == "1")
                                && unit.bypass[1] == "0" && unit.bypass[2] == "0";
    }

    const auto params = rppParams (block);
    std::string_view format = tag;
    bool texts = true;
    if (! params.empty())
    {
        const std::string_view p = params[0];
        std::string_view rest = p;
        const auto colon = p.find (':');
        if (colon != std::string_view::npos)
        {
            format = trimRppLine (p.substr (0, colon));
            rest = trimRppLine (p.substr (colon + 1));
        }
        std::string_view name, vendor;
        splitNameVendor (rest, name, vendor);
        texts = rppTextValue (name, slot.name) && rppTextValue (vendor, slot.vendor);
    }
    // REAPER names an instrument "VST3i" or "AUi"; the rack model knows it as a VST3 or an
    // AudioUnit plug-in.
    const bool vst3 = isVst3Format (format);
    const bool isAudioUnit = tag == "AU" && (format == "AU" || format == "AUi");
    slot.format = vst3 ? juce::String ("VST3") : isAudioUnit ? juce::String ("AU") : shownText (format);

    const int k = strip.plugins.size();
    bool sidechainCapable = false;
    if (vst3)
        sidechainCapable = readVst3Plugin (block, params, trackIndex, k, texts, slot, strict, notes);
    else if (isAudioUnit)
        readAudioUnitPlugin (block, params, trackIndex, k, texts, slot, strict, notes);
    else
        readOtherPlugin (block, texts, slot, strict);

    placeByFxId (unit, trackIndex, sidechainCapable, strip, slot, strict, placed, notes);

    const bool knownFormat = (slot.format == "VST3" && slot.coverage.identity) || slot.format == "AU";
    if (rppHasChildren (block) || ! knownFormat || ! slot.coverage.identity || ! slot.coverage.state
        || ! slot.coverage.activation)
        strict = false;
    slot.muted = false;
    slot.sidechainSource = -1;
    slot.coverage.mute = strict;
    slot.coverage.sidechain = strict;
    strip.plugins.add (std::move (slot));
}

//==============================================================================
// Tracks

// The track's volume and pan, mute and solo, and FX bypass, each taken when it is in the form the
// converter writes; false when one of them is not, or is given more than once.
bool readTrackMixer (RppNode track, RackStrip& strip)
{
    bool strict = true;
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
    return strict;
}

// The strip's channel layout and routes, from a routing the read proved.
void applyRouting (const ParsedTrackRouting& routing, RackStrip& strip)
{
    strip.inputChannels = routing.inputLayout;
    strip.outputChannels = routing.outputLayout;
    strip.routeInL = routing.routeInL;
    strip.routeInR = routing.routeInR;
    strip.routeOutL = routing.routeOutL;
    strip.routeOutR = routing.routeOutR;
    strip.routePatches = routing.patches;
    normaliseRoutes (strip);
    strip.coverage.inputGain = strip.coverage.bypass = strip.coverage.channelLayout = strip.coverage.route = true;
}

// The plug-ins of the track's FX chain as its slots. A chain whose BYPASS and FXID lines do not
// match its plug-in blocks, or that holds any other block, makes the read partial.
void readFxChain (RppNode track, int trackIndex, RackStrip& strip, bool& strict, PlacedSlots& placed, NoteList& notes,
                  ReadFlags& flags)
{
    forEachChild (track, [&] (RppNode chain, const std::string& tag) {
        if (tag != "FXCHAIN")
            return;
        int pluginBlocks = 0;
        forEachChild (chain, [&] (RppNode, const std::string& childTag) { pluginBlocks += isPluginTag (childTag) ? 1 : 0; });
        if (countCommand (chain, "BYPASS") != pluginBlocks || countCommand (chain, "FXID") != pluginBlocks)
            strict = false;
        forEachRppUnit (chain, [&] (const RppUnit& unit) {
            const auto childTag = rppTag (unit.block);
            if (! isPluginTag (childTag))
            {
                flags.timeline = true;
                strict = false;
                return;
            }
            readPluginBlock (unit, childTag, trackIndex, strip, strict, placed, notes);
        });
    });
}

// The routing's sidechain, on the slot it names: that slot must hold a plug-in whose REAPER
// wrapper is a stereo main with a stereo sidechain.
void takeSidechain (const ParsedTrackRouting& routing, int trackIndex, PlacedSlots& placed, RackStrip& strip, bool& strict,
                   NoteList& notes)
{
    if (strict && routing.sidechainSlot >= 0)
    {
        const int s = routing.sidechainSlot;
        if (s >= strip.plugins.size() || ! strip.plugins.getReference (s).occupied)
            strict = false;
        else if (placed.sidechainCapable.count (s) != 0 && placed.sidechainCapable[s])
            strip.plugins.getReference (s).sidechainSource = routing.sidechainSource;
        else
        {
            notes.add (Fidelity::dropped,
                       "plugin[" + juce::String (trackIndex) + ":" + juce::String (s) + "].sidechainConfig",
                       noteSidechainConfig);
            strict = false;
        }
    }
}

// The plug-in names and vendors the routing marker records, one for every occupied slot and no
// other, replace the ones the plug-in headers gave.
void takePluginNames (ParsedTrackRouting& routing, RackStrip& strip, bool& strict)
{
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
}

bool readTrack (RppNode track, int trackIndex, RackSession& session, ReadFlags& flags)
{
    RackStrip strip;
    strip.index = trackIndex;

    ParsedTrackRouting routing;
    parseRouting (track, trackIndex, routing);
    const auto stableId = makeReaperStableTrackId (trackIndex).toStdString();
    const auto params = rppParams (track);
    bool strict = routing.valid && params.size() == 1 && params[0] == stableId
               && hasExactUniqueCommand (track, "TRACKID", "TRACKID " + stableId)
               && hasExactUniqueCommand (track, "IPHASE", defaultPhaseLine)
               && hasExactUniqueCommand (track, "PLAYOFFS", defaultPlayOffsetLine);

    bool hasName = false;
    strip.name = trackName (track, hasName);
    strip.coverage.name = hasName;
    strict = strict && countCommand (track, "NAME") == 1 && strip.name.isNotEmpty();

    if (countCommand (track, "PEAKCOL") > 0)
    {
        const auto values = findCommand (track, "PEAKCOL");
        strip.colour = (juce::uint32) (values.empty() ? 0 : leadingInteger (values[0]) & 0xFFFFFFFFu);
        strip.hasColour = (strip.colour & reaperCustomColourFlag) != 0;
    }

    strict = readTrackMixer (track, strip) && strict;

    int chains = 0;
    forEachChild (track, [&] (RppNode, const std::string& tag) {
        if (tag == "FXCHAIN")
            ++chains;
        else if (tag != rppMarker::extTag)
        {
            flags.timeline = true;
            strict = false;
        }
    });
    strict = strict && chains == 1;
    if (strict)
        applyRouting (routing, strip);

    PlacedSlots placed;
    readFxChain (track, trackIndex, strip, strict, placed, session.notes, flags);
    takeSidechain (routing, trackIndex, placed, strip, strict, session.notes);
    takePluginNames (routing, strip, strict);

    if (! strict)
        for (auto& slot : strip.plugins)
            if (slot.occupied)
                slot.coverage.mute = slot.coverage.sidechain = false;
    session.strips.add (std::move (strip));
    return strict;
}

} // namespace

//==============================================================================
// The reader

RackReadResult readReaperRpp (const juce::File& file)
{
    juce::MemoryBlock bytes;
    juce::String error;
    if (file.exists() && ! readUntrustedUtf8 (file, maxReaperRppFileBytes, bytes, error))
    {
        // Refused by the loader (a folder, not a regular file, too large, not UTF-8, a NUL byte anywhere,
        // also after the root's closing line): it says why.
        RackReadResult result;
        result.session.sourceFormat = rapp::reaperProjectFormat;
        result.session.sourceApp = "REAPER";
        result.session.sourceFile = file.getFullPathName();
        result.error = error;
        return result;
    }
    return readReaperRppBytes (file, std::string_view (static_cast<const char*> (bytes.getData()), bytes.getSize()));
}

RackReadResult readReaperRppBytes (const juce::File& file, std::string_view text)
{
    RackReadResult result;
    auto& session = result.session;
    session.sourceFormat = rapp::reaperProjectFormat;
    session.sourceApp = "REAPER";
    session.sourceFile = file.getFullPathName();
    auto fail = [&result] (const juce::String& message)
    {
        result.ok = false;
        result.status = readFailed;
        result.error = message;
        return result;
    };

    size_t pos = 0;
    std::string_view line;
    bool anyLine = false;
    while (nextRppLine (text, pos, line))
    {
        anyLine = true;
        if (line[0] == '<')
            break;
    }
    if (! anyLine)
        return fail ("file empty or unreadable");
    if (line.empty() || line[0] != '<')
        return fail ("no root block found");

    pos = (size_t) (line.data() - text.data());
    RppDocument document;
    const bool ok = parseRppBlock (text, pos, document);
    const auto root = rppRoot (document);
    const auto tag = rppTag (root);
    if (tag != "REAPER_PROJECT")
        return fail ("unexpected root block: " + shownText (tag));
    std::string_view trailing;
    if (! ok || nextRppLine (text, pos, trailing))
        return fail ("unbalanced or trailing REAPER project data");

    const auto rootParams = rppParams (root);
    if (rootParams.size() >= 2)
        session.sourceVersion = shownText (rootParams[1]);
    if (countCommand (root, "SAMPLERATE") == 1)
    {
        const auto values = findCommand (root, "SAMPLERATE");
        const double rate = values.empty() ? 0.0 : leadingDecimal (values[0]);
        if (std::isfinite (rate) && rate > 0)
            session.sampleRate = rate;
    }
    session.capacityStrips = 0;
    session.capacitySlots = 0;

    ReadFlags flags;
    int trackIndex = 0;
    forEachChild (root, [&] (RppNode child, const std::string& childTag) {
        // An empty master chain (REAPER writes one once its window has been opened) holds nothing
        // that a conversion would lose.
        if (childTag == "MASTERFXLIST" && rppHasChildren (child))
            flags.masterFx = true;
        else if (childTag == "TRACK")
        {
            if (! readTrack (child, trackIndex, session, flags))
                flags.allControlled = false;
            ++trackIndex;
        }
    });

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
