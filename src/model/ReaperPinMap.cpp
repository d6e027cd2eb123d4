// One pin map of a REAPER state wrapper: its count, bounded by the bytes that remain before a
// mask is read, and whether its masks connect each pin to its own track channel.

#include "model/ReaperPinMap.h"

#include "model/LittleEndian.h"

namespace vornconv
{

namespace
{

// The pins a description names before it only counts the rest.
constexpr int describedPins = 8;

// "channel 3", "channels 1 and 2", "channels 1 to 4 and 8", "no channel": the set bits of mask,
// counted from 1, runs of three or more as a range.
juce::String channelsOf (juce::uint64 mask)
{
    juce::StringArray items;
    int channels = 0;
    for (int c = 0; c < 64;)
    {
        if ((mask & ((juce::uint64) 1 << c)) == 0)
        {
            ++c;
            continue;
        }
        int last = c;
        while (last + 1 < 64 && (mask & ((juce::uint64) 1 << (last + 1))) != 0)
            ++last;
        const int run = last - c + 1;
        channels += run;
        if (run >= 3)
            items.add (juce::String (c + 1) + " to " + juce::String (last + 1));
        else
            for (int k = c; k <= last; ++k)
                items.add (juce::String (k + 1));
        c = last + 1;
    }
    if (items.isEmpty())
        return "no channel";
    juce::String text = channels == 1 ? "channel " : "channels ";
    for (int i = 0; i < items.size(); ++i)
        text << (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") << items[i];
    return text;
}

} // namespace

ReaperPinMapFault readReaperPinMap (const juce::uint8* data, size_t size, size_t& pos, ReaperPinMapSide side,
                                    ReaperPinMap& out) noexcept
{
    juce::uint32 n = 0;
    if (! littleEndian::u32At (data, size, pos, n))
        return ReaperPinMapFault::countTruncated;
    const juce::uint32 minPins = side == ReaperPinMapSide::outputs ? 1 : 0;
    if (n < minPins || n > maxReaperPins || (size_t) n > (size - pos - 4) / 8)
        return ReaperPinMapFault::countInvalid;

    // Sequential pins first; on the input side the rest may then be unconnected, and nothing
    // connected may follow an unconnected pin.
    const auto* masks = data + pos + 4;
    juce::uint32 connected = 0;
    while (connected < n && littleEndian::u64 (masks + 8 * (size_t) connected) == ((juce::uint64) 1 << connected))
        ++connected;
    bool holdable = connected == n;
    if (! holdable && side == ReaperPinMapSide::inputs)
    {
        holdable = true;
        for (juce::uint32 i = connected; i < n; ++i)
            holdable = holdable && littleEndian::u64 (masks + 8 * (size_t) i) == 0;
    }

    pos += 4 + 8 * (size_t) n;
    out.pins = n;
    out.connected = holdable ? connected : 0;
    for (juce::uint32 i = 0; i < n; ++i)
        out.masks[i] = littleEndian::u64 (masks + 8 * (size_t) i);
    return holdable ? ReaperPinMapFault::none : ReaperPinMapFault::routed;
}

juce::String describeReaperPinRouting (const ReaperPinMap& inputs, const ReaperPinMap& outputs)
{
    juce::StringArray pins;
    int more = 0;
    const auto note = [&] (const juce::String& text)
    {
        if (pins.size() < describedPins)
            pins.add (text);
        else
            ++more;
    };

    // Inputs after the last connected one feed nothing a strip would miss.
    juce::uint32 fedInputs = juce::jmin (inputs.pins, maxReaperPins);
    while (fedInputs > 0 && inputs.masks[fedInputs - 1] == 0)
        --fedInputs;
    for (juce::uint32 i = 0; i < fedInputs; ++i)
        if (inputs.masks[i] != ((juce::uint64) 1 << i))
            note ("input pin " + juce::String (i + 1) + " is fed by " + channelsOf (inputs.masks[i]));
    for (juce::uint32 i = 0; i < juce::jmin (outputs.pins, maxReaperPins); ++i)
        if (outputs.masks[i] != ((juce::uint64) 1 << i))
            note ("output pin " + juce::String (i + 1) + " feeds " + channelsOf (outputs.masks[i]));

    auto text = pins.joinIntoString (", ");
    if (more > 0)
        text << " and " << more << (more == 1 ? " more pin off its own channel" : " more pins off their own channels");
    return text + " (pins and track channels count from 1)";
}

} // namespace vornconv
