#include "writers/ReaperRppWriterInternal.h"

#include "model/AudioUnitState.h"
#include "model/ReaperVst3State.h"
#include "readers/ReaperRppReader.h"

#include <cmath>
#include <cstdio>

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

const SourcePlugin* sourceFor (const std::vector<SourcePlugin>& sources, int stripIndex, int slot)
{
    for (const auto& source : sources)
        if (source.strip == stripIndex && source.slot == slot)
            return &source;
    return nullptr;
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
    if (last >= first)
        lines.removeRange (first, last - first + 1);
    for (int i = 0; i < newLines.size(); ++i)
        lines.insert (first + i, newLines[i]);
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
