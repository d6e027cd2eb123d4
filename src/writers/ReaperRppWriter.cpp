#include "writers/ReaperRppWriter.h"
#include "writers/ReaperRppWriterInternal.h"

#include "model/AtomicFileCommit.h"
#include "model/AudioUnitState.h"
#include "model/ReaperVst3State.h"
#include "readers/ReaperRppReader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vornconv::rapp::reaperWriter
{

namespace
{
constexpr int base64LineLength = 128;

juce::String leadingWhitespace (const juce::String& line)
{
    int i = 0;
    while (i < line.length() && juce::CharacterFunctions::isWhitespace (line[i]))
        ++i;
    return line.substring (0, i);
}

juce::String afterIndent (const juce::String& line)
{
    return line.trimStart();
}

bool startsCommand (const juce::String& line, const juce::String& name)
{
    return afterIndent (line).startsWith (name + " ");
}

bool holdsUnsafeText (const juce::String& text)
{
    return text.containsAnyOf ("\"\r\n");
}

juce::String fixed12 (double value)
{
    char buffer[64];
    std::snprintf (buffer, sizeof (buffer), "%.12f", value);
    return juce::String (buffer);
}

int countStartingWith (const juce::StringArray& lines, const juce::String& prefix, int& lastIndex)
{
    int count = 0;
    lastIndex = -1;
    for (int i = 0; i < lines.size(); ++i)
        if (afterIndent (lines[i]).startsWith (prefix))
        {
            ++count;
            lastIndex = i;
        }
    return count;
}

// The end of the block opened at lines[first]: the ">" line that brings the depth back to zero.
int blockEnd (const juce::StringArray& lines, int first)
{
    int depth = 0;
    for (int i = first; i < lines.size(); ++i)
    {
        const auto trimmed = lines[i].trim();
        if (trimmed.startsWithChar ('<'))
            ++depth;
        else if (trimmed == ">")
        {
            if (--depth == 0)
                return i;
        }
    }
    return -1;
}

// Standard base64 with padding, cut into lines that each decode on their own.
void appendBase64Lines (juce::StringArray& out, const juce::MemoryBlock& bytes, const juce::String& indent)
{
    const auto text = juce::Base64::toBase64 (bytes.getData(), bytes.getSize());
    for (int i = 0; i < text.length(); i += base64LineLength)
        out.add (indent + text.substring (i, i + base64LineLength));
}

juce::String vstLine (const juce::String& indent, const juce::String& name, const juce::String& file, juce::uint32 hostId,
                      const juce::String& cid)
{
    return indent + "<VST \"VST3: " + name + "\" \"" + file + "\" 0 \"\" " + juce::String (hostId) + "{" + cid + "} \"\"";
}

// sources is in strip then slot order, so a session of any size is looked up in log time.
const SourcePlugin* sourceFor (const std::vector<SourcePlugin>& sources, int stripIndex, int slot)
{
    const auto at = std::lower_bound (sources.begin(), sources.end(), std::make_pair (stripIndex, slot),
                                      [] (const SourcePlugin& s, const std::pair<int, int>& key) {
                                          return std::make_pair (s.strip, s.slot) < key;
                                      });
    return at != sources.end() && at->strip == stripIndex && at->slot == slot ? &*at : nullptr;
}

bool buildVst3Unit (const TrackPrototype& prototype, const RackStrip& strip, const CanonicalPhysicalRouting& routing,
                    const SourcePlugin& source, juce::StringArray& unit, juce::String& error)
{
    unit = prototype.unit;
    const auto& plugin = *source.plugin;
    const bool sameCid = source.cid == prototype.cid;
    const juce::uint32 hostId = sameCid ? prototype.hostId : (source.entry != nullptr ? source.entry->reaperId : 0u);
    if (hostId == 0)
    {
        error = "REAPER cache has no numeric host ID for CID " + source.cid;
        return false;
    }
    if (! sameCid)
    {
        const auto& entry = *source.entry;
        if (entry.reaperName.isEmpty() || holdsUnsafeText (entry.reaperName) || holdsUnsafeText (entry.reaperKey))
        {
            error = "REAPER cache identity cannot be encoded for CID " + source.cid;
            return false;
        }
        int vstIndex = -1;
        const int vstLines = countStartingWith (unit, "<VST ", vstIndex);
        if (vstLines > 1)
        {
            error = "REAPER plugin unit has multiple VST lines";
            return false;
        }
        if (vstLines == 0)
        {
            error = "REAPER plugin unit has no VST line";
            return false;
        }
        unit.set (vstIndex, vstLine (leadingWhitespace (unit[vstIndex]), entry.reaperName, entry.reaperKey, hostId, source.cid));
    }

    juce::MemoryBlock state;
    if (! buildReaperVst3State (prototype.state.raw, prototype.hostId, hostId, plugin.state.component,
                                plugin.state.controller, state, error))
        return false;
    if (source.slot == routing.sidechainSlot)
    {
        if (! setReaperVst3ChannelConfig (state, hostId, 2, error)
            || ! validateReaperVst3StereoSidechainConfig (state, hostId, error))
            return false;
    }

    juce::uint32 writtenId = 0;
    juce::String writtenCid;
    if (! replaceVstState (unit, state, writtenId, writtenCid, error))
        return false;
    if (writtenId != hostId || writtenCid != source.cid)
    {
        error = "REAPER plugin unit VST line does not carry CID " + source.cid;
        return false;
    }

    const bool off = plugin.bypassed || plugin.unavailable;
    return replaceUniqueCommand (unit, "BYPASS", juce::String ("BYPASS ") + (off ? "1" : "0") + " 0 0", error)
        && replaceUniqueCommand (unit, "FXID", "FXID " + makeReaperStableFxId (strip.index, source.slot), error);
}

bool buildAudioUnitUnit (const TrackPrototype& prototype, const RackStrip& strip, const CanonicalPhysicalRouting& routing,
                         const SourcePlugin& source, juce::StringArray& unit, juce::String& error)
{
    const auto& plugin = *source.plugin;
    if (source.slot == routing.sidechainSlot)
    {
        error = "REAPER AudioUnit sidechain wrapper has not been host-verified";
        return false;
    }
    juce::MemoryBlock wrapper;
    if (! audioUnit::buildReaperState (plugin.state.raw, wrapper, error))
        return false;
    const auto display = plugin.vendor.isNotEmpty() ? plugin.name + " (" + plugin.vendor + ")" : plugin.name;
    const auto second = plugin.vendor.isNotEmpty() ? plugin.vendor + ": " + plugin.name : plugin.name;
    if (holdsUnsafeText (display) || holdsUnsafeText (second))
    {
        error = "REAPER AudioUnit identity contains unsafe text";
        return false;
    }

    const auto ind = leadingWhitespace (prototype.unit[0]);
    const bool off = plugin.bypassed || plugin.unavailable;
    unit.clear();
    unit.add (ind + "BYPASS " + (off ? "1" : "0") + " 0 0");
    unit.add (ind + "<AU \"AU: " + display + "\" \"" + second + "\" \"\" " + juce::String (plugin.auType) + " "
              + juce::String (plugin.auSubtype) + " " + juce::String (plugin.auManufacturer));
    appendBase64Lines (unit, wrapper, ind + "  ");
    unit.add (ind + ">");
    unit.add (ind + "FXID " + makeReaperStableFxId (strip.index, source.slot));
    unit.add (ind + "WAK 0 0");
    return true;
}

} // namespace

const SourcePlugin* findSourcePlugin (const std::vector<SourcePlugin>& sources, int stripIndex, int slot)
{
    return sourceFor (sources, stripIndex, slot);
}

bool replaceUniqueCommand (juce::StringArray& lines, const juce::String& name, const juce::String& newText, juce::String& error)
{
    int found = -1;
    int count = 0;
    for (int i = 0; i < lines.size(); ++i)
        if (startsCommand (lines[i], name))
        {
            ++count;
            found = i;
        }
    if (count == 0)
    {
        error = "REAPER template is missing " + name;
        return false;
    }
    if (count > 1)
    {
        error = "REAPER template has multiple " + name + " commands";
        return false;
    }
    lines.set (found, leadingWhitespace (lines[found]) + newText);
    return true;
}

BlockSpan findUniqueBlock (const juce::StringArray& lines, const juce::String& opener, juce::String& error)
{
    int first = -1;
    int count = 0;
    for (int i = 0; i < lines.size(); ++i)
    {
        const auto text = afterIndent (lines[i]);
        if (text.startsWith (opener) && text.startsWithChar ('<'))
        {
            if (count++ == 0)
                first = i;
        }
    }
    if (count > 1)
    {
        error = "REAPER template has multiple " + opener + " blocks";
        return {};
    }
    const int last = first >= 0 ? blockEnd (lines, first) : -1;
    if (first < 0 || last < 0)
    {
        error = "REAPER template is missing or has unbalanced " + opener + " block";
        return {};
    }
    return { first, last };
}

juce::StringArray copyRange (const juce::StringArray& lines, int first, int last)
{
    juce::StringArray out;
    for (int i = juce::jmax (0, first); i <= last && i < lines.size(); ++i)
        out.add (lines[i]);
    return out;
}

void replaceRange (juce::StringArray& lines, int first, int last, const juce::StringArray& newLines)
{
    if (first < 0 || first > lines.size())
        return;
    // Rebuilt in one pass: inserting line by line would move the tail once per new line.
    juce::StringArray result;
    result.ensureStorageAllocated (lines.size() + newLines.size());
    for (int i = 0; i < first; ++i)
        result.add (lines[i]);
    result.addArray (newLines);
    for (int i = juce::jmax (first, last + 1); i < lines.size(); ++i)
        result.add (lines[i]);
    lines = std::move (result);
}

juce::String utf8Hex (const juce::String& text)
{
    if (text.isEmpty())
        return "-";
    static const char digits[] = "0123456789ABCDEF";
    const auto utf8 = text.toStdString();
    juce::MemoryOutputStream out;
    for (const auto c : utf8)
    {
        const auto byte = (juce::uint8) c;
        out.writeByte (digits[byte >> 4]);
        out.writeByte (digits[byte & 15]);
    }
    return out.toString();
}

bool extractCanonicalDirection (const RackStrip& strip, bool input, int channels, bool allowSharedMono, int& first,
                                int& span, bool& shared, juce::String& error)
{
    span = channels;
    shared = false;
    const int l = input ? strip.routeInL : strip.routeOutL;
    const int r = input ? strip.routeInR : strip.routeOutR;
    juce::Array<RackPhysicalPatch> patches;
    for (const auto& patch : strip.routePatches)
        if (patch.isInput == input)
            patches.add (patch);

    if (patches.isEmpty())
    {
        if (l < 0 && r < 0)
            return true;
        if (allowSharedMono && channels == 2 && l >= 0 && r == l)
        {
            first = l;
            span = 1;
            shared = true;
            return true;
        }
        const bool fits = l >= 0 && (channels == 1 ? (r < 0 || r == l) : (channels == 2 && (juce::int64) r == (juce::int64) l + 1));
        if (! fits)
        {
            error = "REAPER writer requires one mono route or one adjacent stereo route";
            return false;
        }
        first = l;
        return true;
    }

    if (patches.size() != channels)
    {
        error = "REAPER writer requires exactly one physical patch per rack channel";
        return false;
    }
    int channel0 = -1;
    for (const auto& patch : patches)
    {
        if (patch.rackChannel < 0 || patch.rackChannel >= channels || patch.physicalChannel < 0)
        {
            error = "REAPER writer found an invalid physical patch";
            return false;
        }
        if (patch.rackChannel == 0)
        {
            if (channel0 >= 0)
            {
                error = "REAPER writer found duplicate rack-channel patches";
                return false;
            }
            channel0 = patch.physicalChannel;
        }
    }
    if (channel0 < 0)
    {
        error = "REAPER writer has no physical patch for rack channel 0";
        return false;
    }
    const int start = channel0;

    if (allowSharedMono && channels == 2 && l == start && r == start)
    {
        int onRack0 = 0, onRack1 = 0;
        bool allOnStart = true;
        for (const auto& patch : patches)
        {
            onRack0 += patch.rackChannel == 0 ? 1 : 0;
            onRack1 += patch.rackChannel == 1 ? 1 : 0;
            allOnStart = allOnStart && patch.physicalChannel == start;
        }
        if (onRack0 == 1 && onRack1 == 1 && allOnStart)
        {
            first = start;
            span = 1;
            shared = true;
            return true;
        }
    }

    for (int c = 0; c < channels; ++c)
    {
        int matches = 0;
        for (const auto& patch : patches)
            if (patch.rackChannel == c)
                matches += (juce::int64) patch.physicalChannel == (juce::int64) start + c ? 1 : 100;
        if (matches != 1)
        {
            error = "REAPER writer requires adjacent ordered physical patches";
            return false;
        }
    }

    const bool lAgrees = l < 0 || l == start;
    const bool rAgrees = r < 0 || (juce::int64) r == (juce::int64) start + (channels == 2 ? 1 : 0);
    if (! lAgrees || ! rAgrees)
    {
        error = "REAPER writer route summary disagrees with physical patches";
        return false;
    }
    first = start;
    return true;
}

bool canonicalRouting (const RackReadResult& session, const RackStrip& strip, const DeploymentProfile& profile,
                       CanonicalPhysicalRouting& routing, juce::String& error)
{
    routing.inputChannels = routing.inputSpan = strip.inputChannels;
    routing.outputChannels = strip.outputChannels;
    if (strip.inputChannels < 1 || strip.inputChannels > 2 || strip.outputChannels < 1 || strip.outputChannels > 2)
    {
        // The preflight refuses such strips first; this keeps a direct call from failing silently.
        error = "REAPER writer supports only mono or stereo strips";
        return false;
    }

    int outputSpan = 0;
    bool outputShared = false;
    if (! extractCanonicalDirection (strip, true, routing.inputChannels, true, routing.inputFirst, routing.inputSpan,
                                     routing.sharedMonoInput, error)
        || ! extractCanonicalDirection (strip, false, routing.outputChannels, false, routing.outputFirst, outputSpan,
                                        outputShared, error))
        return false;

    if (routing.inputFirst >= 0 || routing.outputFirst >= 0)
    {
        if (profile.ioInputs <= 0 || profile.ioOutputs <= 0)
        {
            error = "REAPER physical routing requires an explicit I/O profile";
            return false;
        }
        if (routing.inputFirst >= 0 && (juce::int64) routing.inputFirst + routing.inputSpan > profile.ioInputs)
        {
            error = "REAPER input route exceeds the deployment I/O profile";
            return false;
        }
        if (routing.outputFirst >= 0 && (juce::int64) routing.outputFirst + routing.outputChannels > profile.ioOutputs)
        {
            error = "REAPER output route exceeds the deployment I/O profile";
            return false;
        }
    }

    for (int k = 0; k < strip.plugins.size(); ++k)
    {
        const auto& slot = strip.plugins.getReference (k);
        if (! slot.occupied || slot.sidechainSource < 0)
            continue;
        if (routing.sidechainSlot >= 0 || slot.sidechainSource == strip.index
            || slot.sidechainSource >= session.session.strips.size())
        {
            error = "REAPER writer requires one valid non-self sidechain source per track";
            return false;
        }
        routing.sidechainSlot = k;
        routing.sidechainSource = slot.sidechainSource;
    }
    return true;
}

bool replaceVstState (juce::StringArray& unitLines, const juce::MemoryBlock& state, juce::uint32& hostId,
                      juce::String& cid, juce::String& error)
{
    int vstIndex = -1;
    const int vstLines = countStartingWith (unitLines, "<VST ", vstIndex);
    if (vstLines == 0)
    {
        error = "REAPER plugin unit has no VST line";
        return false;
    }
    if (vstLines > 1)
    {
        error = "REAPER v1 writer requires exactly one VST block";
        return false;
    }

    const auto line = afterIndent (unitLines[vstIndex]);
    const int open = line.indexOfChar ('{');
    const int close = open >= 0 ? line.indexOfChar (open, '}') : -1;
    if (open < 1 || close != open + 33)
    {
        error = "REAPER template VST line has no exact 32-hex CID";
        return false;
    }
    int digitsStart = open;
    while (digitsStart > 0 && line[digitsStart - 1] >= '0' && line[digitsStart - 1] <= '9')
        --digitsStart;
    juce::uint32 id = 0;
    if (! parseUnsignedDecimal (line.substring (digitsStart, open), id))
    {
        error = "REAPER template VST line has no valid numeric host id";
        return false;
    }
    const auto inner = line.substring (open + 1, close);
    if (! inner.containsOnly ("0123456789ABCDEFabcdef"))
    {
        error = "REAPER template VST CID is not hexadecimal";
        return false;
    }
    const int end = blockEnd (unitLines, vstIndex);
    if (end < 0)
    {
        error = "REAPER template VST block is unbalanced";
        return false;
    }

    juce::StringArray body;
    appendBase64Lines (body, state, leadingWhitespace (unitLines[vstIndex]) + "  ");
    replaceRange (unitLines, vstIndex + 1, end - 1, body);
    hostId = id;
    cid = inner.toUpperCase();
    return true;
}

bool buildTrack (const TrackPrototype& prototype, const RackStrip& strip, const CanonicalPhysicalRouting& routing,
                 const std::vector<SourcePlugin>& sources, juce::StringArray& outLines, juce::String& error)
{
    auto lines = prototype.track;
    if (lines.isEmpty() || ! prototype.fxChain.isValid() || prototype.fxChain.last >= lines.size()
        || prototype.unitFirst <= prototype.fxChain.first || prototype.unitLast >= prototype.fxChain.last
        || prototype.unitFirst > prototype.unitLast || prototype.unit.isEmpty())
    {
        error = "REAPER prototype track is malformed";
        return false;
    }
    const auto trackId = makeReaperStableTrackId (strip.index);
    lines.set (0, leadingWhitespace (lines[0]) + "<TRACK " + trackId);

    const double volume = std::pow (10.0, (double) strip.outputGainDb / 20.0);
    const double panValue = 2.0 * (double) strip.pan - 1.0;
    juce::int64 recordInput = -1;
    if (routing.inputFirst >= 0)
        recordInput = routing.inputChannels == 2 && ! routing.sharedMonoInput ? (juce::int64) routing.inputFirst + 1024
                                                                              : routing.inputFirst;
    const bool outputRoute = routing.outputFirst >= 0;

    if (! replaceUniqueCommand (lines, "NAME", "NAME \"" + strip.name + "\"", error)
        || ! replaceUniqueCommand (lines, "VOLPAN", "VOLPAN " + fixed12 (volume) + " " + fixed12 (panValue) + " -1 -1 1", error)
        || ! replaceUniqueCommand (lines, "MUTESOLO", juce::String ("MUTESOLO ") + (strip.muted ? "1" : "0") + " "
                                                          + (strip.soloed ? "1" : "0") + " 0", error)
        || ! replaceUniqueCommand (lines, "REC", "REC 0 " + juce::String (recordInput) + " 1 0 0 0 0 0", error)
        || ! replaceUniqueCommand (lines, "NCHAN", juce::String ("NCHAN ") + (routing.sidechainSlot >= 0 ? "4" : "2"), error)
        || ! replaceUniqueCommand (lines, "MAINSEND", juce::String ("MAINSEND ") + (outputRoute ? "0 0" : "1 0"), error)
        || ! replaceUniqueCommand (lines, "TRACKID", "TRACKID " + trackId, error))
        return false;

    // The plug-in chain: the prototype's header lines, one unit per written slot, its footer lines.
    auto chain = copyRange (lines, prototype.fxChain.first, prototype.unitFirst - 1);
    for (int k = 0; k < strip.plugins.size(); ++k)
    {
        const auto* source = sourceFor (sources, strip.index, k);
        if (source == nullptr || source->plugin == nullptr)
            continue;
        juce::StringArray unit;
        const bool built = source->plugin->format == "AU" ? buildAudioUnitUnit (prototype, strip, routing, *source, unit, error)
                                                          : buildVst3Unit (prototype, strip, routing, *source, unit, error);
        if (! built)
            return false;
        chain.addArray (unit);
    }
    chain.addArray (copyRange (lines, prototype.unitLast + 1, prototype.fxChain.last));
    replaceRange (lines, prototype.fxChain.first, prototype.fxChain.last, chain);

    const auto fxText = juce::String ("FX ") + (strip.bypassed ? "0" : "1");
    int fxIndex = -1;
    const int fxLines = countStartingWith (lines, "FX ", fxIndex);
    if (fxLines > 1)
    {
        error = "REAPER template has multiple FX commands";
        return false;
    }
    if (fxLines == 1)
    {
        lines.set (fxIndex, leadingWhitespace (lines[fxIndex]) + fxText);
    }
    else
    {
        int nchanIndex = -1;
        const int nchanLines = countStartingWith (lines, "NCHAN ", nchanIndex);
        if (nchanLines > 1)
        {
            error = "REAPER template has multiple NCHAN commands";
            return false;
        }
        if (nchanLines == 0)
        {
            error = "REAPER template cannot place missing FX command after NCHAN";
            return false;
        }
        lines.insert (nchanIndex + 1, leadingWhitespace (lines[nchanIndex]) + fxText);
    }

    int nchanIndex = -1;
    if (countStartingWith (lines, "NCHAN ", nchanIndex) == 0)
    {
        error = "REAPER generated track lost NCHAN";
        return false;
    }
    const auto ind = leadingWhitespace (lines[nchanIndex]);
    juce::StringArray ext;
    ext.add (ind + "<EXT");
    ext.add (ind + "  VORN_CHANNEL_LAYOUT " + juce::String (routing.inputChannels) + "," + juce::String (routing.outputChannels));
    if (routing.sharedMonoInput)
        ext.add (ind + "  VORN_SHARED_MONO_INPUT " + juce::String (routing.inputFirst));
    for (int k = 0; k < strip.plugins.size(); ++k)
    {
        const auto& slot = strip.plugins.getReference (k);
        if (! slot.occupied)
            continue;
        ext.add (ind + "  VORN_PLUGIN_NAME_SLOT_" + juce::String (k) + " " + utf8Hex (slot.name));
        ext.add (ind + "  VORN_PLUGIN_VENDOR_SLOT_" + juce::String (k) + " " + utf8Hex (slot.vendor));
    }
    if (routing.sidechainSlot >= 0)
        ext.add (ind + "  VORN_SIDECHAIN_SLOT_" + juce::String (routing.sidechainSlot) + " " + juce::String (routing.sidechainSource));
    ext.add (ind + ">");
    if (routing.sidechainSlot >= 0)
        ext.add (ind + "AUXRECV " + juce::String (routing.sidechainSource) + " 0 1 0 0 0 0 0 2 -1:U 31 -1 ''");
    replaceRange (lines, nchanIndex + 1, nchanIndex, ext);

    if (outputRoute)
    {
        int mainSendIndex = -1;
        if (countStartingWith (lines, "MAINSEND ", mainSendIndex) == 0)
        {
            error = "REAPER generated track lost MAINSEND";
            return false;
        }
        const bool mono = routing.outputChannels == 1;
        lines.insert (mainSendIndex + 1, ind + "HWOUT " + juce::String (mono ? (juce::int64) routing.outputFirst + 1024 : (juce::int64) routing.outputFirst)
                                             + " 0 1 0 0 0 " + (mono ? "1024" : "0") + " -1:U -1");
    }

    outLines = std::move (lines);
    return true;
}

} // namespace vornconv::rapp::reaperWriter

namespace vornconv::rapp
{

const char* const reaperNativeProfileName = "reaper-7.65-native-v1";

namespace
{
using namespace reaperWriter;

// The prototype identity of the built-in profile when the source holds no VST3 plug-in; it is
// used only to check the unit shape and never reaches an output.
const char* const fallbackPrototypeName = "Pro-Q 4 (FabFilter)";
const char* const fallbackPrototypeFile = "FabFilter Pro-Q 4.vst3";
const char* const fallbackPrototypeCid = "ED57BD725C60467EA64DD2F400758B6F";
constexpr juce::uint32 fallbackPrototypeId = 934538646u;

const char* const noteNoSampleRate = u8"source sample rate가 없어 REAPER profile 설정을 유지했다";
const char* const noteNoBufferSize = u8"REAPER project에는 audio buffer size 필드가 없어 Preferences/Audio Device 설정이 결정한다";

bool unsafeText (const juce::String& text)
{
    return text.containsAnyOf ("\"\r\n");
}

bool sameBytes (const juce::MemoryBlock& a, const juce::MemoryBlock& b)
{
    return a.getSize() == b.getSize() && (a.getSize() == 0 || std::memcmp (a.getData(), b.getData(), a.getSize()) == 0);
}

// JUCE gives a text that ends with a line break one empty last line; that line is not part of
// the project and would otherwise grow by one with every conversion of a written file.
juce::StringArray projectLinesOf (const juce::String& text)
{
    auto lines = juce::StringArray::fromLines (text);
    if (! lines.isEmpty() && lines[lines.size() - 1].isEmpty())
        lines.remove (lines.size() - 1);
    return lines;
}

void putU32 (juce::MemoryOutputStream& out, juce::uint32 v)
{
    const juce::uint8 b[4] = { (juce::uint8) v, (juce::uint8) (v >> 8), (juce::uint8) (v >> 16), (juce::uint8) (v >> 24) };
    out.write (b, 4);
}

void putU64 (juce::MemoryOutputStream& out, juce::uint64 v)
{
    putU32 (out, (juce::uint32) v);
    putU32 (out, (juce::uint32) (v >> 32));
}

// The wrapper of the built-in prototype: four input pins, two output pins, an empty component
// and controller, and the program tail with channel configuration 0.
juce::MemoryBlock nativePrototypeState (juce::uint32 hostId)
{
    juce::MemoryOutputStream out;
    putU32 (out, hostId);
    putU32 (out, 0xFEED5EEEu);
    putU32 (out, 4);
    for (juce::uint64 mask : { 1, 2, 4, 8 })
        putU64 (out, mask);
    putU32 (out, 2);
    for (juce::uint64 mask : { 1, 2 })
        putU64 (out, mask);
    for (juce::uint32 word : { 17u, 1u, 0u, 1u, 1u })
        putU32 (out, word);
    out.writeByte (0);
    putU32 (out, 0);
    putU32 (out, 0);
    out.writeByte (0);
    out.write ("Program 1", 9);
    out.writeByte (0);
    putU32 (out, 0);
    return out.getMemoryBlock();
}

juce::StringArray nativeSkeleton (const juce::String& name, const juce::String& file, juce::uint32 hostId,
                                  const juce::String& cid, const juce::MemoryBlock& state)
{
    juce::StringArray lines;
    lines.add ("<REAPER_PROJECT 0.1 \"7.65/macOS-arm64\"");
    for (auto* text : { "RIPPLE 0 0", "AUTOXFADE 129", "PANLAW 1", "CURSOR 0", "TEMPO 120 4 4", "SAMPLERATE 44100 0 0" })
        lines.add (juce::String ("  ") + text);
    lines.add ("  <TRACK {AAABDE1A-5CB6-A84B-9FAD-D8341BB68D98}");
    for (auto* text : { "NAME \"\"", "PEAKCOL 16576", "BEAT -1", "AUTOMODE 0", "PANLAWFLAGS 3", "VOLPAN 1 0 -1 -1 1",
                        "MUTESOLO 0 0 0", "IPHASE 0", "PLAYOFFS 0 1", "ISBUS 0 0", "BUSCOMP 0 0 0 0 0",
                        "REC 0 0 1 0 0 0 0 0", "NCHAN 2", "FX 1", "TRACKID {AAABDE1A-5CB6-A84B-9FAD-D8341BB68D98}",
                        "PERF 0", "MIDIOUT -1", "MAINSEND 1 0" })
        lines.add (juce::String ("    ") + text);
    lines.add ("    <FXCHAIN");
    for (auto* text : { "SHOW 0", "LASTSEL 0", "DOCKED 0", "BYPASS 0 0 0" })
        lines.add (juce::String ("      ") + text);
    lines.add ("      <VST \"VST3: " + name + "\" \"" + file + "\" 0 \"\" " + juce::String (hostId) + "{" + cid + "} \"\"");
    lines.add ("        " + juce::Base64::toBase64 (state.getData(), state.getSize()));
    lines.add ("      >");
    lines.add ("      FXID {1CB0EB53-8D4C-3844-ABD8-3E0B85985EFB}");
    lines.add ("    >");
    lines.add ("  >");
    lines.add (">");
    return lines;
}

bool completeCacheIdentity (const Vst3ModuleEntry* entry)
{
    return entry != nullptr && entry->reaperId != 0 && entry->reaperName.isNotEmpty() && entry->reaperKey.isNotEmpty();
}

bool supportedSlot (const PluginRef& slot, int k, const DeploymentProfile& profile)
{
    const bool vst3 = slot.format == "VST3";
    const bool au = slot.format == "AU";
    if ((! vst3 && ! au) || k >= profile.slots || slot.name.isEmpty() || slot.muted || (slot.inactive && ! slot.unavailable))
        return false;
    if (vst3)
        return slot.state.component.getSize() > 0;
    return slot.state.encoding == PluginStateEncoding::audioUnitPlist && slot.state.raw.getSize() > 0 && slot.auType != 0
        && slot.auSubtype != 0 && slot.auManufacturer != 0;
}

int occupiedCount (const RackStrip& strip)
{
    int n = 0;
    for (const auto& slot : strip.plugins)
        n += slot.occupied ? 1 : 0;
    return n;
}

bool stripsAgree (const RackReadResult& source, const RackStrip& expected, const RackReadResult& reread,
                  const RackStrip& actual, const DeploymentProfile& profile)
{
    CanonicalPhysicalRouting want, got;
    juce::String ignored;
    if (! canonicalRouting (source, expected, profile, want, ignored) || ! canonicalRouting (reread, actual, profile, got, ignored))
        return false;
    // The strip bypass, the shared-mono marker and the input span are written too, so they are
    // checked as well: a written file that lost one of them must not be committed.
    return expected.name == actual.name && std::abs (expected.outputGainDb - actual.outputGainDb) <= 0.0001f
        && std::abs (expected.pan - actual.pan) <= 0.0001f && expected.muted == actual.muted
        && expected.soloed == actual.soloed && expected.bypassed == actual.bypassed
        && actual.inputChannels == want.inputChannels && actual.outputChannels == want.outputChannels
        && want.inputFirst == got.inputFirst && want.outputFirst == got.outputFirst
        && want.sharedMonoInput == got.sharedMonoInput && want.inputSpan == got.inputSpan
        && want.sidechainSlot == got.sidechainSlot && want.sidechainSource == got.sidechainSource;
}

bool pluginsAgree (const SourcePlugin* source, const PluginRef& expected, const PluginRef& actual)
{
    if (! actual.occupied || expected.name != actual.name || expected.vendor != actual.vendor
        || actual.bypassed != (expected.bypassed || expected.unavailable) || actual.sidechainSource != expected.sidechainSource)
        return false;
    if (expected.format == "AU")
        return actual.format == "AU" && actual.auType == expected.auType && actual.auSubtype == expected.auSubtype
            && actual.auManufacturer == expected.auManufacturer && sameBytes (actual.state.raw, expected.state.raw);
    return source != nullptr && actual.classId == source->cid && sameBytes (actual.state.component, expected.state.component)
        && sameBytes (actual.state.controller, expected.state.controller);
}

} // namespace

WriteResult writeReaperRpp (const RackReadResult& source, const Vst3ModuleIndex& index, const juce::File& templateFile,
                            const DeploymentProfile& profile, const juce::File& output)
{
    WriteResult result;
    const auto& session = source.session;
    auto refuse = [&result] (const juce::String& error) {
        result.error = error;
        return result;
    };

    const auto plan = inspect (source, targetReaper, index, &profile, nullptr);
    if (! plan.canWrite())
        return refuse ("RAPP preflight blocked REAPER output");
    if (profile.strips < 1 || profile.slots < 1 || session.strips.size() != profile.strips)
        return refuse ("REAPER writer requires an exact positive source-shaped profile");

    std::vector<SourcePlugin> sources;
    juce::String error;
    for (int i = 0; i < session.strips.size(); ++i)
    {
        const auto& strip = session.strips.getReference (i);
        if (strip.index != i)
            return refuse ("REAPER prototype writer requires ordered strips");
        CanonicalPhysicalRouting routing;
        if (! canonicalRouting (source, strip, profile, routing, error))
            return refuse (error);
        if (strip.name.isEmpty() || unsafeText (strip.name))
            return refuse ("REAPER prototype writer requires non-empty names without quotes/newlines");
        if (! (std::abs (strip.inputGainDb) <= 0.0001f))
            return refuse ("REAPER prototype writer only supports default input trim");
        for (int k = 0; k < strip.plugins.size(); ++k)
        {
            const auto& slot = strip.plugins.getReference (k);
            if (! slot.occupied)
                continue;
            if (! supportedSlot (slot, k, profile))
                return refuse ("REAPER prototype writer found an out-of-profile or unsupported plugin");
            if (slot.format == "AU")
            {
                sources.push_back ({ i, k, &slot, nullptr, {} });
                continue;
            }
            const auto cid = (slot.classId.isNotEmpty() ? slot.classId : index.resolveClassId (slot)).toUpperCase();
            const auto* entry = cid.isNotEmpty() ? index.findByClassId (cid) : nullptr;
            if (entry == nullptr)
                return refuse ("REAPER source plugin CID/cache identity is unresolved");
            sources.push_back ({ i, k, &slot, entry, cid });
        }
    }

    PendingOutput pending;
    juce::String beginError;
    if (! beginNewOutput (output, pending, beginError))
        return refuse (beginError);
    // What this call makes for the output is gone on every path out but the commit.
    auto fail = [&] (const juce::String& message) {
        pending.abandon();
        result.error = message;
        return result;
    };

    const bool builtIn = templateFile == juce::File();
    juce::StringArray lines;
    PluginState prototypeState;
    if (builtIn)
    {
        juce::String name = fallbackPrototypeName, file = fallbackPrototypeFile, cid = fallbackPrototypeCid;
        juce::uint32 hostId = fallbackPrototypeId;
        for (const auto& s : sources)
        {
            if (s.entry == nullptr)
                continue;
            if (! completeCacheIdentity (s.entry))
                return fail ("REAPER internal profile requires a complete native cache identity for CID " + s.cid);
            name = s.entry->reaperName;
            file = s.entry->reaperKey;
            hostId = s.entry->reaperId;
            cid = s.cid;
            break;
        }
        if (unsafeText (name) || unsafeText (file))
            return fail ("REAPER internal profile cache identity contains unsafe text");
        if (hostId == 0)
            return fail ("REAPER internal profile cannot encode a zero host ID");
        const auto state = nativePrototypeState (hostId);
        if (! splitReaperVst3State (state, hostId, prototypeState, error))
            return fail ("REAPER internal native profile is invalid: " + error);
        lines = nativeSkeleton (name, file, hostId, cid, state);
    }
    else
    {
        if (! templateFile.existsAsFile())
            return fail ("explicit REAPER template file does not exist");
        const auto read = readReaperRpp (templateFile);
        if (! read.ok || read.session.strips.size() != 1 || read.session.strips.getReference (0).plugins.size() != 1
            || ! read.session.strips.getReference (0).plugins.getReference (0).occupied
            || read.session.strips.getReference (0).plugins.getReference (0).format != "VST3"
            || ! read.session.strips.getReference (0).plugins.getReference (0).coverage.state)
            return fail ("REAPER template must contain one strictly decoded VST3 state");
        // Copy-construct, then move: copy-assigning an empty MemoryBlock hands memcpy a null pointer.
        PluginState taken (read.session.strips.getReference (0).plugins.getReference (0).state);
        prototypeState = std::move (taken);
        lines = projectLinesOf (templateFile.loadFileAsString());
    }

    if (session.sampleRate > 0)
    {
        if (! std::isfinite (session.sampleRate) || session.sampleRate > 2147483647.0)
            return fail ("source sample rate cannot be represented by REAPER");
        if (! replaceUniqueCommand (lines, "SAMPLERATE", "SAMPLERATE " + juce::String ((juce::int64) std::llround (session.sampleRate)) + " 0 0", error))
            return fail (error);
    }

    const auto trackSpan = findUniqueBlock (lines, "<TRACK ", error);
    if (! trackSpan.isValid())
        return fail (error);
    TrackPrototype prototype;
    prototype.track = copyRange (lines, trackSpan.first, trackSpan.last);
    for (const auto& line : prototype.track)
    {
        const auto text = line.trimStart();
        if (text.startsWith ("<EXT") || text.startsWith ("AUXRECV ") || text.startsWith ("HWOUT "))
            return fail ("REAPER template must use the strict default route without EXT/AUX/HWOUT");
    }
    prototype.fxChain = findUniqueBlock (prototype.track, "<FXCHAIN", error);
    if (! prototype.fxChain.isValid())
        return fail (error);
    const auto vst = findUniqueBlock (prototype.track, "<VST ", error);
    if (! vst.isValid())
        return fail (error);
    if (vst.first <= prototype.fxChain.first || vst.last >= prototype.fxChain.last)
        return fail ("REAPER template VST block is outside FXCHAIN");
    for (int i = vst.first - 1; i > prototype.fxChain.first && prototype.unitFirst < 0; --i)
        if (prototype.track[i].trimStart().startsWith ("BYPASS "))
            prototype.unitFirst = i;
    if (prototype.unitFirst < 0)
        return fail ("REAPER template VST block has no preceding BYPASS");
    prototype.unitLast = prototype.fxChain.last - 1;
    prototype.unit = copyRange (prototype.track, prototype.unitFirst, prototype.unitLast);
    prototype.state = std::move (prototypeState);

    {
        auto unitCopy = prototype.unit;
        if (! replaceVstState (unitCopy, prototype.state.raw, prototype.hostId, prototype.cid, error))
            return fail (error);
    }

    for (const auto& s : sources)
    {
        if (s.entry == nullptr || (! builtIn && s.cid == prototype.cid))
            continue;
        if (! completeCacheIdentity (s.entry) || unsafeText (s.entry->reaperName) || unsafeText (s.entry->reaperKey))
            return fail ("REAPER cache lacks a complete identity for source CID " + s.cid);
    }

    juce::StringArray tracks;
    int sharedMonoInputs = 0;
    for (const auto& strip : session.strips)
    {
        CanonicalPhysicalRouting routing;
        juce::StringArray track;
        if (! canonicalRouting (source, strip, profile, routing, error) || ! buildTrack (prototype, strip, routing, sources, track, error))
            return fail (error);
        tracks.addArray (track);
        sharedMonoInputs += routing.sharedMonoInput ? 1 : 0;
    }
    replaceRange (lines, trackSpan.first, trackSpan.last, tracks);

    const auto text = lines.joinIntoString ("\r\n") + "\r\n";
    if (! writeNewFileExclusive (pending.temporary, pending.temporaryCreated, [&text] (juce::OutputStream& out) {
            return out.write (text.toRawUTF8(), text.getNumBytesAsUTF8());
        }))
        return fail ("temporary REAPER project write failed");
    lines.clear();
    tracks.clear();

    const auto reread = readReaperRpp (pending.temporary);
    if (! reread.ok || reread.status != readComplete || reread.session.strips.size() != session.strips.size()
        || (session.sampleRate > 0 && ! (std::abs (reread.session.sampleRate - session.sampleRate) <= 0.001)))
        return fail ("written REAPER project failed strict reread");

    for (int i = 0; i < session.strips.size(); ++i)
        if (! stripsAgree (source, session.strips.getReference (i), reread, reread.session.strips.getReference (i), profile))
            return fail ("written REAPER project failed exact strip-field validation");

    for (int i = 0; i < session.strips.size(); ++i)
    {
        const auto& expected = session.strips.getReference (i);
        const auto& actual = reread.session.strips.getReference (i);
        if (occupiedCount (expected) != occupiedCount (actual))
            return fail ("written REAPER project changed plugin count");
        for (int k = 0; k < expected.plugins.size(); ++k)
        {
            const auto& slot = expected.plugins.getReference (k);
            if (! slot.occupied)
                continue;
            if (k >= actual.plugins.size())
                return fail ("written REAPER project lost a fixed slot");
            if (! pluginsAgree (findSourcePlugin (sources, i, k), slot, actual.plugins.getReference (k)))
                return fail ("written REAPER project failed exact plugin/state validation");
        }
    }

    juce::String commitError;
    if (! commitNewFileExclusive (pending.temporary, output, commitError))
        return fail ("atomic REAPER project move failed: " + commitError);

    result.notes.add (juce::String ("exact converter reread passed for REAPER cache-verified multi-CID ")
                      + (builtIn ? reaperNativeProfileName : "external-template compatibility profile") + "; host load pending");
    if (sharedMonoInputs > 0)
        result.notes.add (juce::String (sharedMonoInputs)
                          + " VORN shared stereo input route was represented as a REAPER stereo track with a shared mono record input");
    if (! (session.sampleRate > 0))
        result.notes.add (juce::String::fromUTF8 (noteNoSampleRate));
    if (session.bufferSize > 0)
        result.notes.add (juce::String::fromUTF8 (noteNoBufferSize));
    result.ok = true;
    return result;
}

} // namespace vornconv::rapp
