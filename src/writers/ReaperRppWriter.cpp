// The REAPER project writer: a rack session as a new .rpp project, one track per strip cloned
// from the one track of a template or of the built-in profile, proven by reading it back.
//
// Divisions, in order:
//   1. Line helpers: indentation, commands and blocks matched after leading whitespace.
//   2. Plug-in units: the VST block of a unit, a VST3 unit rebuilt for a slot, an AudioUnit unit.
//   3. Line editing and the canonical routing of a strip (the shape a track can carry).
//   4. The track builder.
//   5. The built-in profile: its prototype state and project skeleton; the plug-in checks.
//   6. The project prepared in memory (everything before the output is needed).
//   7. The proof of a written project: expected session, routing and marker checks, refusal.
//   8. checkReaperRppWrite and writeReaperRpp, the latter through the verified-write pipeline.

#include "writers/ReaperRppWriter.h"
#include "writers/ReaperRppWriterInternal.h"

#include "model/AudioUnitState.h"
#include "model/JsonWriter.h"
#include "model/ReaperVst3State.h"
#include "model/UntrustedFile.h"
#include "model/ValueComparison.h"
#include "model/Vst3ClassId.h"
#include "readers/ReaperRppReader.h"
#include "writers/ConversionLedger.h"
#include "writers/VerifiedWrite.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vornconv::rapp::reaperWriter
{

namespace
{

// The whitespace a line may be indented with: ASCII's (the only whitespace the format knows, and
// the only whitespace JUCE's trimming sees in the C locale).
bool isIndent (char c) noexcept
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

const char* afterIndent (const juce::String& line) noexcept
{
    const char* p = line.toRawUTF8();
    while (isIndent (*p))
        ++p;
    return p;
}

// The leading whitespace of a line: the indentation every rewritten line keeps.
juce::String leadingWhitespace (const juce::String& line)
{
    const char* start = line.toRawUTF8();
    return juce::String (juce::CharPointer_UTF8 (start), juce::CharPointer_UTF8 (afterIndent (line)));
}

// The line without its indentation starts with prefix. Compares in place, stopping at the first
// difference: these tests run over every line of tracks that hold whole plug-in states.
bool startsAfterIndent (const juce::String& line, const char* prefix) noexcept
{
    const char* p = afterIndent (line);
    for (; *prefix != 0; ++p, ++prefix)
        if (*p != *prefix)
            return false;
    return true;
}

// The line is exactly text once its surrounding whitespace is dropped.
bool isTrimmed (const juce::String& line, const char* text) noexcept
{
    const char* p = afterIndent (line);
    for (; *text != 0; ++p, ++text)
        if (*p != *text)
            return false;
    while (isIndent (*p))
        ++p;
    return *p == 0;
}

juce::String fixed12 (double value)
{
    char buffer[64];
    std::snprintf (buffer, sizeof (buffer), "%.12f", value);
    return juce::String (buffer);
}

int countStartingWith (const juce::StringArray& lines, const char* prefix, int& lastIndex)
{
    int count = 0;
    lastIndex = -1;
    for (int i = 0; i < lines.size(); ++i)
        if (startsAfterIndent (lines.getReference (i), prefix))
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
        const auto& line = lines.getReference (i);
        if (startsAfterIndent (line, "<"))
            ++depth;
        else if (isTrimmed (line, ">"))
        {
            if (--depth == 0)
                return i;
        }
    }
    return -1;
}

bool locateVstBlock (const juce::StringArray& unitLines, int& vstIndex, int& end, juce::uint32& hostId, juce::String& cid,
                     juce::String& error)
{
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

    // Positions count characters, as the line is text; the walks are over its bytes.
    const auto line = unitLines[vstIndex].trimStart();
    const char* bytes = line.toRawUTF8();
    const char* openAt = std::strchr (bytes, '{');
    const char* closeAt = openAt != nullptr ? std::strchr (openAt, '}') : nullptr;
    const int open = openAt != nullptr ? juce::CharPointer_UTF8 (bytes).lengthUpTo (juce::CharPointer_UTF8 (openAt)) : -1;
    const int close = closeAt != nullptr ? open + juce::CharPointer_UTF8 (openAt).lengthUpTo (juce::CharPointer_UTF8 (closeAt)) : -1;
    if (open < 1 || close != open + 33)
    {
        error = "REAPER template VST line has no exact 32-hex CID";
        return false;
    }
    const char* digitsStart = openAt;
    while (digitsStart > bytes && digitsStart[-1] >= '0' && digitsStart[-1] <= '9')
        --digitsStart;
    juce::uint32 id = 0;
    if (! parseUnsignedDecimal (std::string_view (digitsStart, (size_t) (openAt - digitsStart)), id))
    {
        error = "REAPER template VST line has no valid numeric host id";
        return false;
    }
    const juce::String inner (juce::CharPointer_UTF8 (openAt + 1), juce::CharPointer_UTF8 (closeAt));
    if (! inner.containsOnly ("0123456789ABCDEFabcdef"))
    {
        error = "REAPER template VST CID is not hexadecimal";
        return false;
    }
    end = blockEnd (unitLines, vstIndex);
    if (end < 0)
    {
        error = "REAPER template VST block is unbalanced";
        return false;
    }
    hostId = id;
    cid = storedClassId (inner);
    return true;
}

// The state in base64 lines of the VST line's indentation and two blanks, at insertAt.
void insertStateLines (juce::StringArray& unitLines, int vstIndex, int insertAt, const juce::MemoryBlock& state)
{
    juce::StringArray body;
    appendReaperBase64Lines (body, state, leadingWhitespace (unitLines[vstIndex]) + "  ");
    replaceRange (unitLines, insertAt, insertAt - 1, std::move (body));
}

// What a refusal for want of a cache identity adds when the cache gave the class id to several
// plug-ins, or in a row that is not UTF-8 text.
juce::String missingIdentityReason (const Vst3ModuleEntry* entry)
{
    if (entry == nullptr)
        return {};
    juce::StringArray reasons;
    if (entry->reaperAmbiguousKeys.size() >= 2)
        reasons.add ("the REAPER cache gives this class id to " + entry->reaperAmbiguousKeys.joinIntoString (" and "));
    if (! entry->reaperUnreadableKeys.isEmpty())
        reasons.add ((entry->reaperUnreadableKeys.size() == 1 ? "the REAPER cache row " : "the REAPER cache rows ")
                     + entry->reaperUnreadableKeys.joinIntoString (" and ")
                     + (entry->reaperUnreadableKeys.size() == 1 ? " is" : " are") + " not valid UTF-8 text");
    return reasons.isEmpty() ? juce::String() : " (" + reasons.joinIntoString ("; ") + ")";
}

// What a refusal for want of a REAPER identity adds after the class id: the plug-in that needs
// it, and what supplies it.
juce::String identityWanted (const SourcePlugin& source)
{
    const auto& name = source.plugin->name;
    const auto plugin = " of " + (name.isEmpty() ? juce::String ("an unnamed plug-in") : name) + " (strip " + juce::String (source.strip)
                      + ", slot " + juce::String (source.slot) + ")";
    // A cache that holds the class id in a way that cannot be used says so; otherwise none had it.
    const auto reason = missingIdentityReason (source.entry);
    return plugin + (reason.isNotEmpty() ? reason : ": --reaper-cache supplies it (REAPER's reaper-vstplugins64.ini, with a row for the plug-in)");
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
        error = "REAPER cache has no numeric host ID for CID " + source.cid + identityWanted (source);
        return false;
    }
    if (! sameCid)
    {
        const auto& entry = *source.entry;
        if (entry.reaperName.isEmpty() || ! canQuoteInRpp (entry.reaperName) || ! canQuoteInRpp (entry.reaperKey))
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
        unit.set (vstIndex, vst3Line (leadingWhitespace (unit[vstIndex]), entry.reaperName, entry.reaperKey, hostId, source.cid));
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

    // As replaceVstState, with the BYPASS and FXID lines set before the state lines go in: the
    // state lines match neither, so the searches need not walk them.
    juce::uint32 writtenId = 0;
    juce::String writtenCid;
    int vstIndex = -1, end = -1;
    if (! locateVstBlock (unit, vstIndex, end, writtenId, writtenCid, error))
        return false;
    replaceRange (unit, vstIndex + 1, end - 1, {});
    if (writtenId != hostId || writtenCid != source.cid)
    {
        error = "REAPER plugin unit VST line does not carry CID " + source.cid;
        return false;
    }

    const bool off = plugin.bypassed || plugin.unavailable;
    if (! replaceUniqueCommand (unit, "BYPASS", bypassLine (off), error)
        || ! replaceUniqueCommand (unit, "FXID", fxIdLine (strip.index, source.slot), error))
        return false;
    insertStateLines (unit, vstIndex, vstIndex + 1, state);
    return true;
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
    if (! canQuoteInRpp (display) || ! canQuoteInRpp (second))
    {
        error = "REAPER AudioUnit identity contains unsafe text";
        return false;
    }

    const auto ind = leadingWhitespace (prototype.unit[0]);
    const bool off = plugin.bypassed || plugin.unavailable;
    unit.clear();
    unit.add (ind + bypassLine (off));
    unit.add (ind + "<AU \"AU: " + display + "\" \"" + second + "\" \"\" " + juce::String (plugin.auType) + " "
              + juce::String (plugin.auSubtype) + " " + juce::String (plugin.auManufacturer));
    appendReaperBase64Lines (unit, wrapper, ind + "  ");
    unit.add (ind + ">");
    unit.add (ind + fxIdLine (strip.index, source.slot));
    unit.add (ind + "WAK 0 0");
    return true;
}

} // namespace

void appendMoved (juce::StringArray& lines, juce::StringArray& more)
{
    lines.ensureStorageAllocated (lines.size() + more.size());
    for (auto& line : more)
        lines.add (std::move (line));
    more.clear();
}

// sources is in strip then slot order, so a session of any size is looked up in log time.
const SourcePlugin* findSourcePlugin (const std::vector<SourcePlugin>& sources, int stripIndex, int slot)
{
    const auto at = std::lower_bound (sources.begin(), sources.end(), std::make_pair (stripIndex, slot),
                                      [] (const SourcePlugin& s, const std::pair<int, int>& key) {
                                          return std::make_pair (s.strip, s.slot) < key;
                                      });
    return at != sources.end() && at->strip == stripIndex && at->slot == slot ? &*at : nullptr;
}

bool replaceUniqueCommand (juce::StringArray& lines, const juce::String& name, const juce::String& newText, juce::String& error)
{
    int found = -1;
    int count = 0;
    const auto prefix = name + " ";
    for (int i = 0; i < lines.size(); ++i)
        if (startsAfterIndent (lines.getReference (i), prefix.toRawUTF8()))
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
        if (startsAfterIndent (lines.getReference (i), opener.toRawUTF8()) && startsAfterIndent (lines.getReference (i), "<"))
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

void replaceRange (juce::StringArray& lines, int first, int last, juce::StringArray newLines)
{
    if (first < 0 || first > lines.size())
        return;
    // Rebuilt in one pass, moving every line: inserting line by line would move the tail once
    // per new line.
    juce::StringArray result;
    result.ensureStorageAllocated (lines.size() + newLines.size());
    for (int i = 0; i < first; ++i)
        result.add (std::move (lines.getReference (i)));
    appendMoved (result, newLines);
    for (int i = juce::jmax (first, last + 1); i < lines.size(); ++i)
        result.add (std::move (lines.getReference (i)));
    lines = std::move (result);
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
    int vstIndex = -1, end = -1;
    juce::uint32 id = 0;
    juce::String found;
    if (! locateVstBlock (unitLines, vstIndex, end, id, found, error))
        return false;
    replaceRange (unitLines, vstIndex + 1, end - 1, {});
    insertStateLines (unitLines, vstIndex, vstIndex + 1, state);
    hostId = id;
    cid = found;
    return true;
}

// The track's own commands for the strip: name, volume and pan, mute and solo, record input,
// channel count, main send and track id.
bool setTrackCommands (juce::StringArray& lines, const RackStrip& strip, const CanonicalPhysicalRouting& routing,
                       const juce::String& trackId, juce::String& error)
{
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
        || ! replaceUniqueCommand (lines, "REC", recLine (recordInput), error)
        || ! replaceUniqueCommand (lines, "NCHAN", nchanLine (routing.sidechainSlot >= 0), error)
        || ! replaceUniqueCommand (lines, "MAINSEND", mainSendLine (outputRoute), error)
        || ! replaceUniqueCommand (lines, "TRACKID", "TRACKID " + trackId, error))
        return false;
    return true;
}

// The plug-in chain: the prototype's header lines, one unit per written slot, its footer lines.
bool buildChain (const TrackPrototype& prototype, const juce::StringArray& lines, const RackStrip& strip,
                 const CanonicalPhysicalRouting& routing, const std::vector<SourcePlugin>& sources, juce::StringArray& chain,
                 juce::String& error)
{
    chain = copyRange (lines, prototype.fxChain.first, prototype.unitFirst - 1);
    for (int k = 0; k < strip.plugins.size(); ++k)
    {
        const auto* source = findSourcePlugin (sources, strip.index, k);
        if (source == nullptr || source->plugin == nullptr)
            continue;
        juce::StringArray unit;
        const bool built = source->plugin->format == "AU" ? buildAudioUnitUnit (prototype, strip, routing, *source, unit, error)
                                                          : buildVst3Unit (prototype, strip, routing, *source, unit, error);
        if (! built)
            return false;
        appendMoved (chain, unit);
    }
    chain.addArray (copyRange (lines, prototype.unitLast + 1, prototype.fxChain.last));
    return true;
}

// The FX line for the strip's bypass: in place of the track's one FX line, or after its one NCHAN
// line when it has none.
bool placeFxLine (juce::StringArray& lines, bool bypassed, juce::String& error)
{
    const auto fxText = fxLine (bypassed);
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
    return true;
}

// The routing's lines: the converter's EXT marker block (channel layout, shared mono input,
// plug-in names and vendors, sidechain) and the sidechain's AUXRECV after NCHAN, and the hardware
// output after MAINSEND.
bool insertRoutingLines (juce::StringArray& lines, const RackStrip& strip, const CanonicalPhysicalRouting& routing, juce::String& error)
{
    const bool outputRoute = routing.outputFirst >= 0;
    int nchanIndex = -1;
    if (countStartingWith (lines, "NCHAN ", nchanIndex) == 0)
    {
        error = "REAPER generated track lost NCHAN";
        return false;
    }
    const auto ind = leadingWhitespace (lines[nchanIndex]);
    juce::StringArray ext;
    ext.add (ind + "<" + rppMarker::extTag);
    ext.add (ind + "  " + channelLayoutMarkerLine (routing.inputChannels, routing.outputChannels));
    if (routing.sharedMonoInput)
        ext.add (ind + "  " + sharedMonoInputMarkerLine (routing.inputFirst));
    for (int k = 0; k < strip.plugins.size(); ++k)
    {
        const auto& slot = strip.plugins.getReference (k);
        if (! slot.occupied)
            continue;
        ext.add (ind + "  " + pluginNameMarkerLine (k, slot.name));
        ext.add (ind + "  " + pluginVendorMarkerLine (k, slot.vendor));
    }
    if (routing.sidechainSlot >= 0)
        ext.add (ind + "  " + sidechainMarkerLine (routing.sidechainSlot, routing.sidechainSource));
    ext.add (ind + ">");
    if (routing.sidechainSlot >= 0)
        ext.add (ind + auxRecvLine (routing.sidechainSource));
    replaceRange (lines, nchanIndex + 1, nchanIndex, std::move (ext));

    if (outputRoute)
    {
        int mainSendIndex = -1;
        if (countStartingWith (lines, "MAINSEND ", mainSendIndex) == 0)
        {
            error = "REAPER generated track lost MAINSEND";
            return false;
        }
        const bool mono = routing.outputChannels == 1;
        lines.insert (mainSendIndex + 1, ind + hwOutLine (mono ? (juce::int64) routing.outputFirst + 1024
                                                               : (juce::int64) routing.outputFirst, mono));
    }
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

    if (! setTrackCommands (lines, strip, routing, trackId, error))
        return false;

    juce::StringArray chain;
    if (! buildChain (prototype, lines, strip, routing, sources, chain, error))
        return false;

    // The FX, NCHAN and MAINSEND searches below see the whole track. When the chain holds none of
    // those lines (a unit of plug-in states never does), one placeholder line stands for it while
    // they run, so they need not walk the states; it is replaced by the chain at the end.
    bool chainIsInert = true;
    for (const auto& line : chain)
        chainIsInert = chainIsInert && ! startsAfterIndent (line, "FX ") && ! startsAfterIndent (line, "NCHAN ")
                    && ! startsAfterIndent (line, "MAINSEND ");
    const juce::String placeholder ("\n");  // no other line can hold a line break
    if (chainIsInert)
        replaceRange (lines, prototype.fxChain.first, prototype.fxChain.last, juce::StringArray (placeholder));
    else
        replaceRange (lines, prototype.fxChain.first, prototype.fxChain.last, std::move (chain));

    if (! placeFxLine (lines, strip.bypassed, error) || ! insertRoutingLines (lines, strip, routing, error))
        return false;

    if (chainIsInert)
    {
        const int at = lines.indexOf (placeholder);
        replaceRange (lines, at, at, std::move (chain));
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
                        "MUTESOLO 0 0 0", defaultPhaseLine, defaultPlayOffsetLine, "ISBUS 0 0", "BUSCOMP 0 0 0 0 0" })
        lines.add (juce::String ("    ") + text);
    lines.add ("    " + juce::String (defaultRecLine));
    lines.add ("    " + nchanLine (false));
    lines.add ("    " + fxLine (false));
    lines.add ("    TRACKID {AAABDE1A-5CB6-A84B-9FAD-D8341BB68D98}");
    lines.add ("    PERF 0");
    lines.add ("    MIDIOUT -1");
    lines.add ("    " + mainSendLine (false));
    lines.add ("    <FXCHAIN");
    for (auto* text : { "SHOW 0", "LASTSEL 0", "DOCKED 0" })
        lines.add (juce::String ("      ") + text);
    lines.add ("      " + bypassLine (false));
    lines.add (vst3Line ("      ", name, file, hostId, cid));
    lines.add ("        " + reaperBase64 (state));
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

// Why a strip's name cannot be a REAPER track name, naming the strip.
juce::String unquotableName (const RackStrip& strip)
{
    const auto strip_ = "strip " + juce::String (strip.index);
    if (strip.name.isEmpty())
        return strip_ + " has no name";
    return strip_ + "'s name " + json::quotedForMessage (strip.name)
         + (strip.name.containsChar ('"') ? " holds a double quote" : " holds a line break");
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

// The prototype unit without the base64 lines of its VST block. Such lines match no command and
// open or close no block, so every search over the unit or the track finds what it found before;
// the state lines are replaced in every built unit anyway, and a large template state is then not
// copied into every track.
juce::StringArray withoutStateLines (const juce::StringArray& lines, int vstFirst, int vstLast)
{
    juce::StringArray kept;
    for (int i = 0; i < lines.size(); ++i)
    {
        if (i > vstFirst && i < vstLast)
        {
            const auto text = lines.getReference (i).trim();
            if (text.isNotEmpty() && text.containsOnly ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="))
                continue;
        }
        kept.add (lines.getReference (i));
    }
    return kept;
}

// The first block of the prototype track that a written track could not hold, named by its tags
// below the track ("ITEM", "FXCHAIN/JS"); empty when there is none. A track holds its FXCHAIN, the
// FXCHAIN the one plug-in block, and that block nothing: any other block (an item, an envelope,
// anything else REAPER nests in a track) would be cloned into every track and make the read-back
// partial.
juce::String blockTheTrackCannotHold (const juce::StringArray& track)
{
    juce::StringArray open;   // the tags of the blocks around a line, the track's own first
    for (const auto& line : track)
    {
        if (isTrimmed (line, ">"))
        {
            open.remove (open.size() - 1);
            continue;
        }
        if (! startsAfterIndent (line, "<"))
            continue;
        const juce::String opener (juce::CharPointer_UTF8 (afterIndent (line) + 1));
        const auto tag = opener.upToFirstOccurrenceOf (" ", false, false).upToFirstOccurrenceOf ("\t", false, false);
        const bool held = open.isEmpty() || (open.size() == 1 && tag == "FXCHAIN")
                          || (open.size() == 2 && open[1] == "FXCHAIN" && tag == "VST");
        open.add (tag);
        if (! held)
        {
            open.remove (0);
            return open.joinIntoString ("/");
        }
    }
    return {};
}

// Success when a template as read is the one track with one strictly decoded VST3 plug-in the
// tracks are cloned from; else why it is not.
Expected<void> checkTemplateShape (const RackReadResult& read)
{
    if (! read.ok)
        return failure (read.error);
    const auto& strips = read.session.strips;
    if (strips.size() != 1)
        return failure ("it holds " + juce::String (strips.size()) + " tracks");
    const auto& strip = strips.getReference (0);
    int plugins = 0;
    for (const auto& slot : strip.plugins)
        plugins += slot.occupied ? 1 : 0;
    if (plugins != 1)
        return failure ("its track holds " + juce::String (plugins) + " plug-ins");
    if (strip.plugins.size() != 1)
        return failure ("its plug-in is not the first of its track's FX chain");
    const auto& slot = strip.plugins.getReference (0);
    const auto name = slot.name.isEmpty() ? juce::String ("its plug-in") : slot.name;
    if (slot.format != "VST3")
        return failure (slot.format.isEmpty() ? name + " is of no known format, not VST3"
                                              : name + "'s format is " + formatForMessage (slot.format) + ", not VST3");
    if (! slot.coverage.state)
    {
        // A read that is ok has no error: the reader's own note on the state says why.
        return failure ("the state of " + name + " was not decoded"
                        + incompleteReadReason (read, "plugin[" + juce::String (strip.index) + ":0].state"));
    }
    return success();
}

// Everything the writer does before it needs the output: the project, its sources and what the
// notes will tell.
struct PreparedProject
{
    juce::StringArray lines;
    std::vector<SourcePlugin> sources;
    bool builtIn = false;
    // While the track prototype is taken from a template: a refusal then is the template's.
    bool takingTemplate = false;
    int sharedMonoInputs = 0;
    juce::StringArray colouredStrips;
};

// A refusal of the project: refusal says why.
bool refuse (juce::String& refusal, const juce::String& text)
{
    refusal = text;
    return false;
}

// The profile must have the session's shape.
bool checkProfileShape (const RackSession& session, const DeploymentProfile& profile, juce::String& refusal)
{
    if (profile.strips < 1 || profile.slots < 1 || session.strips.size() != profile.strips)
    {
        refusal = "REAPER writer requires an exact positive source-shaped profile";
        if (profile.slots >= 1 && ! session.strips.isEmpty())
            refusal << ": the session has " << session.strips.size() << (session.strips.size() == 1 ? " strip" : " strips") << ", --profile "
                    << profile.strips << "x" << profile.slots << " shapes " << profile.strips << "; give --profile "
                    << session.strips.size() << "x" << profile.slots;
        return false;
    }
    return true;
}

// Every strip in order, with a routing REAPER can hold, a name it can quote and no input trim;
// every occupied slot a plug-in the profile takes, and a VST3 one found in REAPER's cache by its
// class id. prepared receives the plug-ins and the strips that have a colour.
bool collectSources (const RackReadResult& source, const Vst3ModuleIndex& index, const DeploymentProfile& profile,
                     PreparedProject& prepared, juce::String& refusal)
{
    const auto& session = source.session;
    auto& sources = prepared.sources;
    juce::String error;
    for (int i = 0; i < session.strips.size(); ++i)
    {
        const auto& strip = session.strips.getReference (i);
        if (strip.index != i)
            return refuse (refusal, "REAPER prototype writer requires ordered strips");
        CanonicalPhysicalRouting routing;
        if (! canonicalRouting (source, strip, profile, routing, error))
            return refuse (refusal, error);
        if (strip.name.isEmpty() || ! canQuoteInRpp (strip.name))
            return refuse (refusal, "REAPER prototype writer requires non-empty names without quotes/newlines: " + unquotableName (strip));
        if (! withinTolerance (strip.inputGainDb, 0.0, tolerance::level))
            return refuse (refusal, "REAPER prototype writer only supports default input trim");
        for (int k = 0; k < strip.plugins.size(); ++k)
        {
            const auto& slot = strip.plugins.getReference (k);
            if (! slot.occupied)
                continue;
            if (! supportedSlot (slot, k, profile))
                return refuse (refusal, "REAPER prototype writer found an out-of-profile or unsupported plugin");
            if (slot.format == "AU")
            {
                sources.push_back ({ i, k, &slot, nullptr, {} });
                continue;
            }
            const auto cid = index.classIdOf (slot);
            const auto* entry = cid.isNotEmpty() ? index.findByClassId (cid) : nullptr;
            if (entry == nullptr)
                return refuse (refusal, "REAPER source plugin CID/cache identity is unresolved");
            sources.push_back ({ i, k, &slot, entry, cid });
        }
        if (strip.hasColour)
            prepared.colouredStrips.add (juce::String (i));
    }
    return true;
}

// The built-in native profile's lines, with the first source plug-in REAPER's cache identifies
// completely (or the profile's own) as the prototype plug-in.
bool startFromNativeProfile (const std::vector<SourcePlugin>& sources, juce::StringArray& lines, PluginState& prototypeState,
                            juce::String& refusal)
{
    juce::String error;
    juce::String name = fallbackPrototypeName, file = fallbackPrototypeFile, cid = fallbackPrototypeCid;
    juce::uint32 hostId = fallbackPrototypeId;
    for (const auto& s : sources)
    {
        if (s.entry == nullptr)
            continue;
        if (! completeCacheIdentity (s.entry))
            return refuse (refusal, "REAPER internal profile requires a complete native cache identity for CID " + s.cid + identityWanted (s));
        name = s.entry->reaperName;
        file = s.entry->reaperKey;
        hostId = s.entry->reaperId;
        cid = s.cid;
        break;
    }
    if (! canQuoteInRpp (name) || ! canQuoteInRpp (file))
        return refuse (refusal, "REAPER internal profile cache identity contains unsafe text");
    if (hostId == 0)
        return refuse (refusal, "REAPER internal profile cannot encode a zero host ID");
    const auto state = nativePrototypeState (hostId);
    if (! splitReaperVst3State (state, hostId, prototypeState, error))
        return refuse (refusal, "REAPER internal native profile is invalid: " + error);
    lines = nativeSkeleton (name, file, hostId, cid, state);
    return true;
}

// The template's lines; it must hold one track with one strictly decoded VST3 state, which becomes
// the prototype's.
bool startFromTemplate (const juce::File& templateFile, juce::StringArray& lines, PluginState& prototypeState, juce::String& refusal)
{
    if (! templateFile.existsAsFile())
        return refuse (refusal, "explicit REAPER template file does not exist");
    // Opened once: the text read is the text cloned.
    juce::String text, loadError;
    if (! readUntrustedText (templateFile, maxReaperRppFileBytes, text, loadError))
        return refuse (refusal, "REAPER template cannot be read: " + loadError);
    const auto read = readReaperRppBytes (templateFile, std::string_view (text.toRawUTF8(), text.getNumBytesAsUTF8()));
    if (const auto shape = checkTemplateShape (read); ! shape)
        return refuse (refusal, "REAPER template must contain one strictly decoded VST3 state: " + shape.message());
    // Copy-construct, then move: copy-assigning an empty MemoryBlock hands memcpy a null pointer.
    PluginState taken (read.session.strips.getReference (0).plugins.getReference (0).state);
    prototypeState = std::move (taken);
    lines = projectLinesOf (text);
    return true;
}

// The prototype every track is cloned from: the template's one track, holding no EXT, AUXRECV or
// HWOUT and no block the output cannot hold, with its FX chain and its one VST unit (from its
// BYPASS line), the unit's state lines dropped once.
bool takeTrackPrototype (const juce::StringArray& lines, BlockSpan trackSpan, PluginState&& prototypeState, TrackPrototype& prototype,
                        juce::String& refusal)
{
    juce::String error;
    prototype.track = copyRange (lines, trackSpan.first, trackSpan.last);
    for (const auto& line : prototype.track)
    {
        const auto text = line.trimStart();
        if (text.startsWith ("<" + juce::String (rppMarker::extTag)) || text.startsWith ("AUXRECV ") || text.startsWith ("HWOUT "))
            return refuse (refusal, "REAPER template must use the strict default route without EXT/AUX/HWOUT");
    }
    if (const auto block = blockTheTrackCannotHold (prototype.track); block.isNotEmpty())
        return refuse (refusal, "REAPER template track holds a block the output cannot hold: " + block);
    prototype.fxChain = findUniqueBlock (prototype.track, "<FXCHAIN", error);
    if (! prototype.fxChain.isValid())
        return refuse (refusal, error);
    const auto vst = findUniqueBlock (prototype.track, "<VST ", error);
    if (! vst.isValid())
        return refuse (refusal, error);
    if (vst.first <= prototype.fxChain.first || vst.last >= prototype.fxChain.last)
        return refuse (refusal, "REAPER template VST block is outside FXCHAIN");
    for (int i = vst.first - 1; i > prototype.fxChain.first && prototype.unitFirst < 0; --i)
        if (prototype.track[i].trimStart().startsWith ("BYPASS "))
            prototype.unitFirst = i;
    if (prototype.unitFirst < 0)
        return refuse (refusal, "REAPER template VST block has no preceding BYPASS");
    prototype.unitLast = prototype.fxChain.last - 1;
    prototype.unit = copyRange (prototype.track, prototype.unitFirst, prototype.unitLast);
    prototype.state = std::move (prototypeState);

    {
        auto unitCopy = prototype.unit;
        if (! replaceVstState (unitCopy, prototype.state.raw, prototype.hostId, prototype.cid, error))
            return refuse (refusal, error);
    }
    {
        // Every built unit replaces the state lines: drop them from the prototype once.
        const auto bareTrack = withoutStateLines (prototype.track, vst.first, vst.last);
        const int dropped = prototype.track.size() - bareTrack.size();
        prototype.track = bareTrack;
        prototype.fxChain.last -= dropped;
        prototype.unitLast -= dropped;
        prototype.unit = copyRange (prototype.track, prototype.unitFirst, prototype.unitLast);
    }
    return true;
}

// Every VST3 source plug-in other than the template's own must have a complete REAPER cache
// identity that the project can quote.
bool checkSourceIdentities (const std::vector<SourcePlugin>& sources, bool builtIn, const juce::String& prototypeCid, juce::String& refusal)
{
    for (const auto& s : sources)
    {
        if (s.entry == nullptr || (! builtIn && s.cid == prototypeCid))
            continue;
        if (! completeCacheIdentity (s.entry))
            return refuse (refusal, "REAPER cache lacks a complete identity for source CID " + s.cid + identityWanted (s));
        if (! canQuoteInRpp (s.entry->reaperName) || ! canQuoteInRpp (s.entry->reaperKey))
            return refuse (refusal, "REAPER cache lacks a complete identity for source CID " + s.cid + missingIdentityReason (s.entry));
    }
    return true;
}

// Everything the writer does before it needs the output: the project's lines, with one track per
// strip cloned from the prototype track; or the refusal.
Expected<void> prepareProject (const RackReadResult& source, const Vst3ModuleIndex& index, const juce::File& templateFile,
                               const DeploymentProfile& profile, PreparedProject& prepared)
{
    const auto& session = source.session;
    juce::String refusal;
    if (! checkProfileShape (session, profile, refusal) || ! collectSources (source, index, profile, prepared, refusal))
        return failure (refusal);

    // A sample rate REAPER cannot hold is the session's, whatever the track prototype.
    if (session.sampleRate > 0 && (! std::isfinite (session.sampleRate) || session.sampleRate > 2147483647.0))
        return failure ("source sample rate cannot be represented by REAPER");

    juce::String error;
    prepared.builtIn = templateFile == juce::File();
    prepared.takingTemplate = ! prepared.builtIn;
    auto& lines = prepared.lines;
    PluginState prototypeState;
    if (prepared.builtIn ? ! startFromNativeProfile (prepared.sources, lines, prototypeState, refusal)
                         : ! startFromTemplate (templateFile, lines, prototypeState, refusal))
        return failure (refusal);

    if (session.sampleRate > 0
        && ! replaceUniqueCommand (lines, "SAMPLERATE", "SAMPLERATE " + juce::String ((juce::int64) std::llround (session.sampleRate)) + " 0 0", error))
        return failure (error);

    const auto trackSpan = findUniqueBlock (lines, "<TRACK ", error);
    if (! trackSpan.isValid())
        return failure (error);
    TrackPrototype prototype;
    if (! takeTrackPrototype (lines, trackSpan, std::move (prototypeState), prototype, refusal))
        return failure (refusal);
    prepared.takingTemplate = false;
    if (! checkSourceIdentities (prepared.sources, prepared.builtIn, prototype.cid, refusal))
        return failure (refusal);

    const auto& sources = prepared.sources;
    juce::StringArray tracks;
    for (const auto& strip : session.strips)
    {
        CanonicalPhysicalRouting routing;
        juce::StringArray track;
        if (! canonicalRouting (source, strip, profile, routing, error) || ! buildTrack (prototype, strip, routing, sources, track, error))
            return failure (error);
        appendMoved (tracks, track);
        prepared.sharedMonoInputs += routing.sharedMonoInput ? 1 : 0;
    }
    replaceRange (lines, trackSpan.first, trackSpan.last, std::move (tracks));
    return success();
}

int occupiedCount (const RackStrip& strip)
{
    int n = 0;
    for (const auto& slot : strip.plugins)
        n += slot.occupied ? 1 : 0;
    return n;
}

// A track's routing as a refusal shows it.
juce::String routingText (const CanonicalPhysicalRouting& r)
{
    juce::String text ("input ");
    text << (r.inputFirst < 0 ? juce::String ("none")
                              : juce::String (r.inputFirst) + (r.sharedMonoInput ? " shared mono" : " x" + juce::String (r.inputSpan)));
    text << ", output " << (r.outputFirst < 0 ? juce::String ("none") : juce::String (r.outputFirst) + " x" + juce::String (r.outputChannels));
    text << ", sidechain " << (r.sidechainSlot < 0 ? juce::String ("none")
                                                   : "slot " + juce::String (r.sidechainSlot) + " from strip " + juce::String (r.sidechainSource));
    return text;
}

bool sameRouting (const CanonicalPhysicalRouting& a, const CanonicalPhysicalRouting& b)
{
    return a.inputFirst == b.inputFirst && a.outputFirst == b.outputFirst && a.sharedMonoInput == b.sharedMonoInput
        && a.inputSpan == b.inputSpan && a.sidechainSlot == b.sidechainSlot && a.sidechainSource == b.sidechainSource;
}

// What a correct project reads back as: every track's name, volume, pan, mute, solo, FX bypass and
// channel layout, and every plug-in's identity (the class id the writer resolved), bypass (an
// unavailable plug-in is written bypassed), sidechain and state bytes. A project holds no input
// trim (only the default is written), no plug-in mute or offline state, no parameter mirror, no
// buffer size and no devices; its sample rate is checked as the read is accepted. The routing and
// the plug-in names are proven by the writer's own checks.
RackSession expectedReaperSession (const RackSession& source, const std::vector<SourcePlugin>& sources)
{
    RackSession expected;
    for (const auto& strip : source.strips)
    {
        auto want = copyWithoutSlots (strip);
        auto& c = want.coverage;
        c.name = c.outputGain = c.pan = c.mute = c.solo = c.bypass = c.channelLayout = true;
        c.inputGain = c.route = false;
        for (int k = 0; k < strip.plugins.size(); ++k)
        {
            const auto& slot = strip.plugins.getReference (k);
            if (! slot.occupied)
            {
                want.plugins.add (PluginRef());
                continue;
            }
            auto p = copyForStateComparison (slot, slot.format == "AU");
            p.bypassed = slot.bypassed || slot.unavailable;
            p.inactive = false;
            p.coverage.identity = p.coverage.activation = p.coverage.sidechain = p.coverage.state = true;
            p.coverage.mute = false;
            if (const auto* written = findSourcePlugin (sources, strip.index, k); written != nullptr && slot.format != "AU")
                p.classId = written->cid;
            want.plugins.add (std::move (p));
        }
        expected.strips.add (std::move (want));
    }
    return expected;
}

// The checks the project needs beyond the comparison: each track's routing in the one shape a
// track can carry (one record input, one hardware output, the shared-mono marker, the one
// sidechain slot and its source), and each plug-in's name and vendor as its markers carry them.
void checkTracksAndMarkers (const RackReadResult& source, const DeploymentProfile& profile, const RackSession& expected,
                            const RackReadResult& reread, juce::Array<RackSemanticMismatch>& mismatches)
{
    // An accepted read holds as many strips as the source, in its order.
    for (int i = 0; i < expected.strips.size(); ++i)
    {
        const auto& want = expected.strips.getReference (i);
        const auto& have = reread.session.strips.getReference (i);
        CanonicalPhysicalRouting wanted, got;
        juce::String wantError, gotError;
        const bool wantOk = canonicalRouting (source, source.session.strips.getReference (i), profile, wanted, wantError);
        const bool gotOk = canonicalRouting (reread, have, profile, got, gotError);
        if (! wantOk || ! gotOk || ! sameRouting (wanted, got))
            mismatches.add ({ semanticStripPath (want.index), "routing", wantOk ? routingText (wanted) : wantError,
                              gotOk ? routingText (got) : gotError });

        for (int k = 0; k < want.plugins.size() && k < have.plugins.size(); ++k)
        {
            const auto& w = want.plugins.getReference (k);
            const auto& h = have.plugins.getReference (k);
            if (! w.occupied || ! h.occupied)
                continue;
            if (w.name != h.name)
                mismatches.add ({ semanticSlotPath (want.index, k), "name", w.name, h.name });
            if (w.vendor != h.vendor)
                mismatches.add ({ semanticSlotPath (want.index, k), "vendor", w.vendor, h.vendor });
        }
    }
}

// The refusal in the order the project is proven: the fields and routing of every track first,
// then, track by track, the number of plug-ins and each plug-in.
juce::String reaperRefusal (const RackSession& expected, const RackSession& actual, const RackSemanticComparison& comparison)
{
    const FirstMismatches first (comparison);
    for (const auto& strip : expected.strips)
        if (const auto* m = first.at (semanticStripPath (strip.index)))
            return refusalNaming ("written REAPER project failed exact strip-field validation", *m);

    for (int i = 0; i < expected.strips.size(); ++i)
    {
        const auto& want = expected.strips.getReference (i);
        const auto& have = actual.strips.getReference (i);
        if (occupiedCount (want) != occupiedCount (have))
            return refusalNaming ("written REAPER project changed plugin count",
                                  { semanticStripPath (want.index), "pluginCount", juce::String (occupiedCount (want)),
                                    juce::String (occupiedCount (have)) });
        for (int k = 0; k < want.plugins.size(); ++k)
        {
            if (! want.plugins.getReference (k).occupied)
                continue;
            const auto* m = first.at (semanticSlotPath (want.index, k));
            if (k >= have.plugins.size())
                return m != nullptr ? refusalNaming ("written REAPER project lost a fixed slot", *m)
                                    : juce::String ("written REAPER project lost a fixed slot");
            if (m != nullptr)
                return refusalNaming ("written REAPER project failed exact plugin/state validation", *m);
        }
    }
    return refusalNaming ("written REAPER project failed exact plugin/state validation", comparison.mismatches.getReference (0));
}

ReadBackProof reaperProof (const RackReadResult& source, const DeploymentProfile& profile, const std::vector<SourcePlugin>& sources)
{
    const auto& session = source.session;
    ReadBackProof proof;
    proof.accept = [&session] (const RackReadResult& reread) -> Expected<void>
    {
        // Why, in the order the read is judged: what made it partial, the tracks it holds, the
        // sample rate it holds.
        juce::String reason;
        const auto& got = reread.session;
        if (! reread.isComplete())
            reason = incompleteReadReason (reread);
        else if (got.strips.size() != session.strips.size())
            reason = ": track count differs (source=" + juce::String (session.strips.size()) + ", output="
                   + juce::String (got.strips.size()) + ")";
        else if (session.sampleRate > 0 && ! withinTolerance (got.sampleRate, session.sampleRate, tolerance::sampleRate))
            reason = ": sample rate differs (source=" + juce::String (session.sampleRate, 3) + ", output="
                   + juce::String (got.sampleRate, 3) + ")";
        else
            return success();
        return failure ("written REAPER project failed strict reread" + reason);
    };
    proof.expected = [&session, &sources]() -> Expected<RackSession> { return expectedReaperSession (session, sources); };
    proof.ownChecks = [&source, &profile] (const RackSession& expected, const RackReadResult& reread,
                                           juce::Array<RackSemanticMismatch>& mismatches)
    {
        checkTracksAndMarkers (source, profile, expected, reread, mismatches);
    };
    proof.refusal = reaperRefusal;
    return proof;
}

} // namespace

namespace
{

// The write's steps once the project is prepared: its lines written with CR LF line ends,
// released, read back with the REAPER reader and proven.
VerifiedOutput projectSteps (const RackReadResult& source, const DeploymentProfile& profile, PreparedProject& prepared)
{
    VerifiedOutput steps;
    // Every line ends in CR LF; no line holds a line break of its own (the template's lines were
    // split at every break, and every written value was refused one).
    steps.writeDocument = [&prepared] (juce::OutputStream& out)
    {
        juce::MemoryOutputStream buffer (1 << 20);
        for (const auto& line : prepared.lines)
        {
            const char* bytes = line.toRawUTF8();
            buffer.write (bytes, std::strlen (bytes));
            buffer.write ("\r\n", 2);
            if (buffer.getDataSize() >= (1 << 20))
            {
                if (! out.write (buffer.getData(), buffer.getDataSize()))
                    return false;
                buffer.reset();
            }
        }
        return out.write (buffer.getData(), buffer.getDataSize());
    };
    steps.documentWritten = [&prepared] { prepared.lines.clear(); };
    readBackWith (steps, reaperRppOutput);
    steps.ledger.carried = &source.session;
    steps.proof = reaperProof (source, profile, prepared.sources);
    steps.writeFailed = "temporary REAPER project write failed";
    steps.commitFailed = "atomic REAPER project move failed: ";
    return steps;
}

// The REAPER writer in the shell every writer's check and write runs in.
PlannedWrite projectWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const juce::File& templateFile,
                           const DeploymentProfile& profile, PreparedProject& prepared)
{
    PlannedWrite write;
    write.target = reaperRppOutput.target;
    write.blocked = "RAPP preflight blocked REAPER output";
    write.admit = [&source, &index, &templateFile, &profile, &prepared] (WriteResult& result)
    {
        auto madeProject = prepareProject (source, index, templateFile, profile, prepared);
        if (! madeProject && prepared.takingTemplate)
            result.refusedPath = RefusedPath::templateFile;
        return madeProject;
    };
    write.steps = [&source, &profile, &prepared] (WriteResult&) { return projectSteps (source, profile, prepared); };
    write.committed = [&source, &prepared] (WriteResult& result)
    {
        const auto& session = source.session;
        result.notes.add (juce::String ("exact converter reread passed for REAPER cache-verified multi-CID ")
                          + (prepared.builtIn ? reaperNativeProfileName : "external-template compatibility profile") + "; host load pending");
        if (prepared.sharedMonoInputs > 0)
            result.notes.add (juce::String (prepared.sharedMonoInputs)
                              + " VORN shared stereo input route was represented as a REAPER stereo track with a shared mono record input");
        if (! (session.sampleRate > 0))
        {
            result.notes.add (juce::String::fromUTF8 (noteNoSampleRate));
            result.notedFields.add (ledgerField::sampleRate);
        }
        if (session.bufferSize > 0)
        {
            result.notes.add (juce::String::fromUTF8 (noteNoBufferSize));
            result.notedFields.add (ledgerField::bufferSize);
        }
        if (! prepared.colouredStrips.isEmpty())
        {
            result.notes.add (juce::String (prepared.colouredStrips.size()) + " strip colours were not transferred: REAPER output keeps"
                              " the profile's track colour (strips " + prepared.colouredStrips.joinIntoString (", ") + ")");
            result.notedFields.add (ledgerField::stripColour);
        }
    };
    return write;
}

// A request without the profile a project is shaped by is refused as the command line refuses it.
WriteResult withoutProfile()
{
    WriteResult result;
    result.error = "REAPER writer requires --profile <strips>x<slots>";
    return result;
}

} // namespace

const OutputHost reaperRppOutput = []
{
    OutputHost host;
    host.target = targetReaper;
    host.hostName = "REAPER";
    host.documents = "projects";
    host.profileFields = { ledgerField::stripColour };
    host.readers.file = readReaperRpp;
    host.readers.bytes = readReaperRppBytes;
    return host;
}();

WriteResult checkReaperRppWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                 const WriteOptions& options)
{
    if (options.profile == nullptr)
        return withoutProfile();
    PreparedProject prepared;
    return checkPlannedWrite (plan, projectWrite (source, index, options.templateFile, *options.profile, prepared));
}

WriteResult writeReaperRpp (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                            const WriteOptions& options)
{
    if (options.profile == nullptr)
        return withoutProfile();
    PreparedProject prepared;
    return writePlannedOutput (plan, projectWrite (source, index, options.templateFile, *options.profile, prepared), options.output);
}

} // namespace vornconv::rapp
