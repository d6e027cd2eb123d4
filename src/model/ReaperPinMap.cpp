// One pin map of a REAPER state wrapper: its count, bounded by the bytes that remain before a
// mask is read, and whether its masks connect each pin to its own track channel.

#include "model/ReaperPinMap.h"

namespace vornconv
{

namespace
{

juce::uint32 readU32 (const juce::uint8* b) noexcept
{
    return (juce::uint32) b[0] | ((juce::uint32) b[1] << 8) | ((juce::uint32) b[2] << 16) | ((juce::uint32) b[3] << 24);
}

juce::uint64 readU64 (const juce::uint8* b) noexcept
{
    return (juce::uint64) readU32 (b) | ((juce::uint64) readU32 (b + 4) << 32);
}

} // namespace

ReaperPinMapFault readReaperPinMap (const juce::uint8* data, size_t size, size_t& pos, ReaperPinMapSide side,
                                    ReaperPinMap& out) noexcept
{
    if (pos > size || size - pos < 4)
        return ReaperPinMapFault::countTruncated;
    const auto n = readU32 (data + pos);
    const juce::uint32 minPins = side == ReaperPinMapSide::outputs ? 1 : 0;
    if (n < minPins || n > maxReaperPins || (size_t) n > (size - pos - 4) / 8)
        return ReaperPinMapFault::countInvalid;

    // Sequential pins first; on the input side the rest may then be unconnected, and nothing
    // connected may follow an unconnected pin.
    const auto* masks = data + pos + 4;
    juce::uint32 connected = 0;
    while (connected < n && readU64 (masks + 8 * (size_t) connected) == ((juce::uint64) 1 << connected))
        ++connected;
    bool holdable = connected == n;
    if (! holdable && side == ReaperPinMapSide::inputs)
    {
        holdable = true;
        for (juce::uint32 i = connected; i < n; ++i)
            holdable = holdable && readU64 (masks + 8 * (size_t) i) == 0;
    }

    pos += 4 + 8 * (size_t) n;
    out.pins = n;
    out.connected = holdable ? connected : 0;
    return holdable ? ReaperPinMapFault::none : ReaperPinMapFault::routed;
}

} // namespace vornconv
