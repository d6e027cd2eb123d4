// REAPER's binary wrapper around a VST3 state: plug-in id, magic, the input and output pin maps, a
// state header with the component and controller streams, and a program tail whose last byte is
// the channel configuration. One strict walk (inspect) finds every field's place; splitting,
// rebuilding around a template and the channel-configuration calls all go through it, and a
// rebuilt wrapper is walked again before it is handed out.
//
// In this file, in order:
//   - The wrapper's layout: the header markers, little-endian fields, the pin maps, REAPER's
//     parameter values in place of a state, inspect and the channel-configuration field.
//   - Splitting and building: splitReaperVst3State and buildReaperVst3State.
//   - Channel configuration: reading, setting and checking the stereo-sidechain shape.

#include "model/ReaperVst3State.h"

#include "model/LittleEndian.h"
#include "model/ReaperPinMap.h"
#include "model/ValueComparison.h"

namespace vornconv
{

namespace
{

//==============================================================================
// The wrapper's layout

constexpr juce::uint32 wrapperMagic = 0xFEED5EEEu;

// The word after the aggregate length: REAPER's saves hold 0x00100000 or 0x0010FFFF there, older
// shapes 0, 65535 or 68. The high half is kept when a wrapper is rebuilt; the low half becomes 0.
constexpr juce::uint32 markerHighMask = 0xFFFF0000u;
constexpr juce::uint32 markerHighReaper = 0x00100000u;

bool isKnownMarker (juce::uint32 word) noexcept
{
    const auto high = word & markerHighMask;
    const auto low = word & ~markerHighMask;
    return (high == 0 || high == markerHighReaper) && (low == 0 || low == 65535 || low == 68);
}

// Some plug-ins' states REAPER saves as the list of their parameter values instead: after the pin
// maps the length of what follows the marker word, 0 where a component state holds 1, the marker
// word, then these two words and the values as float32 (then the program tail).
constexpr juce::uint32 parameterValuesFirst = 0xDEADBEEFu;
constexpr juce::uint32 parameterValuesSecond = 0xDEADF00Du;

struct Layout
{
    juce::uint32 inputPins = 0;
    juce::uint32 connectedInputs = 0; // the inputs after these are unconnected
    juce::uint32 outputPins = 0;
    juce::uint64 p = 0;               // the aggregate length word after the pin maps
    juce::uint32 marker = 0;          // the word at p + 8
    juce::uint64 componentLengthAt = 0;
    juce::uint64 componentAt = 0;
    juce::uint32 c = 0;
    juce::uint32 t = 0;
    juce::uint64 q = 0;               // the controller length word
    juce::uint64 controllerAt = 0;
    juce::uint64 tailAt = 0;
};

juce::uint8* putU32 (juce::uint8* at, juce::uint32 v) noexcept
{
    at[0] = (juce::uint8) v;
    at[1] = (juce::uint8) (v >> 8);
    at[2] = (juce::uint8) (v >> 16);
    at[3] = (juce::uint8) (v >> 24);
    return at + 4;
}

// Both pin maps through the shared reader; a map that routes the plug-in to other track channels
// is refused, as a strip cannot hold it, and routing (when given) then says where its pins go.
// After a routed input map the output map is still read for that description; the refusal stays
// the input map's.
bool readPinMaps (const juce::uint8* b, juce::uint64 size, juce::uint64& pos, Layout& l, juce::String& error,
                  juce::String* routing)
{
    size_t at = (size_t) pos;
    ReaperPinMap inputs, outputs;
    auto fault = readReaperPinMap (b, (size_t) size, at, ReaperPinMapSide::inputs, inputs);
    if (fault == ReaperPinMapFault::none)
        fault = readReaperPinMap (b, (size_t) size, at, ReaperPinMapSide::outputs, outputs);
    else if (fault == ReaperPinMapFault::routed)
        readReaperPinMap (b, (size_t) size, at, ReaperPinMapSide::outputs, outputs); // left empty when it cannot be read
    switch (fault)
    {
        case ReaperPinMapFault::none: break;
        case ReaperPinMapFault::countTruncated: error = "REAPER VST3 pin-map count is truncated"; return false;
        case ReaperPinMapFault::countInvalid: error = "REAPER VST3 pin-map count is invalid"; return false;
        case ReaperPinMapFault::routed:
            error = "REAPER VST3 pin-map is not the observed sequential topology";
            if (routing != nullptr)
                *routing = describeReaperPinRouting (inputs, outputs);
            return false;
    }
    l.inputPins = inputs.pins;
    l.connectedInputs = inputs.connected;
    l.outputPins = outputs.pins;
    pos = at;
    return true;
}

// A wrapper that holds REAPER's parameter values, told by its markers (p: the length word after
// the pin maps, at least 20 bytes before the end), is refused with its own reason; parameterValues
// (when given) then gets their number.
bool refuseParameterValues (const juce::uint8* b, juce::uint64 size, juce::uint64 p, juce::String& error, int* parameterValues)
{
    const auto length = (juce::uint64) littleEndian::u32 (b + p);
    if (length < 8 || (length - 8) % 4 != 0 || length > size - (p + 12))
    {
        error = "REAPER VST3 parameter-value length is invalid";
        return false;
    }
    error = "REAPER VST3 state holds the plug-in's parameter values instead of a component state";
    if (parameterValues != nullptr)
        *parameterValues = (int) ((length - 8) / 4);
    return false;
}

bool inspect (const juce::MemoryBlock& wrapper, juce::uint32 reaperId, Layout& layout, juce::String& error,
              juce::String* routing = nullptr, int* parameterValues = nullptr)
{
    const auto* b = static_cast<const juce::uint8*> (wrapper.getData());
    const juce::uint64 size = wrapper.getSize();
    if (size <= 43)
    {
        error = "REAPER VST3 wrapper is too small";
        return false;
    }
    if (littleEndian::u32 (b) != reaperId)
    {
        error = "REAPER VST3 header id does not match the VST line";
        return false;
    }
    if (littleEndian::u32 (b + 4) != wrapperMagic)
    {
        error = "REAPER VST3 wrapper magic/version is unsupported";
        return false;
    }
    Layout l;
    juce::uint64 pos = 8;
    if (! readPinMaps (b, size, pos, l, error, routing))
        return false;
    l.p = pos;
    if (size - l.p < 20)
    {
        error = "REAPER VST3 state header is truncated";
        return false;
    }
    l.marker = littleEndian::u32 (b + l.p + 8);
    if (littleEndian::u32 (b + l.p + 4) == 0 && isKnownMarker (l.marker) && littleEndian::u32 (b + l.p + 12) == parameterValuesFirst
        && littleEndian::u32 (b + l.p + 16) == parameterValuesSecond)
        return refuseParameterValues (b, size, l.p, error, parameterValues);
    if (littleEndian::u32 (b + l.p + 4) != 1 || littleEndian::u32 (b + l.p + 16) != 1 || ! isKnownMarker (l.marker))
    {
        error = "REAPER VST3 state header markers are invalid";
        return false;
    }
    l.componentLengthAt = l.p + 12;
    l.componentAt = l.p + 20;
    l.c = littleEndian::u32 (b + l.componentLengthAt);
    if (l.c < 1 || l.c > maxReaperVst3StreamBytes || (juce::uint64) l.c > size - l.componentAt)
    {
        error = "REAPER VST3 component length is invalid";
        return false;
    }
    l.q = l.componentAt + l.c;
    if (size - l.q < 8)
    {
        error = "REAPER VST3 controller header is truncated";
        return false;
    }
    l.t = littleEndian::u32 (b + l.q);
    l.controllerAt = l.q + 8;
    if (littleEndian::u32 (b + l.q + 4) != 0 || l.t > maxReaperVst3StreamBytes || (juce::uint64) l.t > size - l.controllerAt)
    {
        error = "REAPER VST3 controller length/type is invalid";
        return false;
    }
    if ((juce::uint64) littleEndian::u32 (b + l.p) != (juce::uint64) l.c + l.t + 16)
    {
        error = "REAPER VST3 aggregate state length is inconsistent";
        return false;
    }
    l.tailAt = l.controllerAt + l.t;
    layout = l;
    return true;
}

bool readConfig (const juce::MemoryBlock& wrapper, const Layout& layout, int& count, juce::String& error)
{
    const auto* b = static_cast<const juce::uint8*> (wrapper.getData());
    const juce::uint64 size = wrapper.getSize();
    if (size - layout.tailAt <= 4)
    {
        error = "REAPER VST3 program tail has no channel_config field";
        return false;
    }
    if (littleEndian::u32 (b + size - 5) != 0)
    {
        error = "REAPER VST3 channel_config tail marker is invalid";
        return false;
    }
    const int value = b[size - 1];
    if (value > 128)
    {
        error = "REAPER VST3 channel_config count is out of range";
        return false;
    }
    count = value;
    return true;
}

} // namespace

//==============================================================================
// Splitting and building

bool splitReaperVst3State (const juce::MemoryBlock& wrapper, juce::uint32 reaperId, PluginState& out, juce::String& error)
{
    auto copy = wrapper;
    return splitReaperVst3State (std::move (copy), reaperId, out, error);
}

bool splitReaperVst3State (juce::MemoryBlock&& wrapper, juce::uint32 reaperId, PluginState& out, juce::String& error)
{
    juce::String routing;
    return splitReaperVst3State (std::move (wrapper), reaperId, out, error, routing);
}

bool splitReaperVst3State (juce::MemoryBlock&& wrapper, juce::uint32 reaperId, PluginState& out, juce::String& error,
                           juce::String& routing)
{
    routing.clear();
    Layout layout;
    if (! inspect (wrapper, reaperId, layout, error, &routing))
        return false;
    const auto* b = static_cast<const juce::uint8*> (wrapper.getData());
    PluginState state;
    state.encoding = PluginStateEncoding::hostSpecific;
    state.component.append (b + layout.componentAt, layout.c);
    if (layout.t > 0)
        state.controller.append (b + layout.controllerAt, layout.t);
    state.raw.swapWith (wrapper);
    out = std::move (state);
    return true;
}

int reaperVst3ParameterValueCount (const juce::MemoryBlock& wrapper, juce::uint32 reaperId)
{
    Layout layout;
    juce::String error;
    int count = -1;
    inspect (wrapper, reaperId, layout, error, nullptr, &count);
    return count;
}

bool buildReaperVst3State (const juce::MemoryBlock& templateWrapper, juce::uint32 templateId, juce::uint32 hostId,
                           const juce::MemoryBlock& component, const juce::MemoryBlock& controller,
                           juce::MemoryBlock& out, juce::String& error)
{
    auto fail = [&] (const juce::String& message)
    {
        out.reset();
        error = message;
        return false;
    };

    Layout layout;
    juce::String inspectError;
    if (! inspect (templateWrapper, templateId, layout, inspectError))
        return fail ("REAPER template wrapper rejected: " + inspectError);
    if (hostId == 0)
        return fail ("REAPER output host ID is zero");
    if (component.isEmpty())
        return fail ("REAPER output requires a non-empty Comp state");
    if (component.getSize() > maxReaperVst3StreamBytes || controller.getSize() > maxReaperVst3StreamBytes)
        return fail ("REAPER output state exceeds the 64 MiB stream limit");

    const auto* t = static_cast<const juce::uint8*> (templateWrapper.getData());
    const auto c = (juce::uint32) component.getSize();
    const auto ctrl = (juce::uint32) controller.getSize();
    const auto tailSize = (size_t) (templateWrapper.getSize() - layout.tailAt);
    juce::MemoryBlock built ((size_t) layout.p + 28 + c + ctrl + tailSize, false);
    auto* o = static_cast<juce::uint8*> (built.getData());
    putU32 (o, hostId);
    std::memcpy (o + 4, t + 4, (size_t) layout.p - 4);
    o += layout.p;
    for (const juce::uint32 word : { c + ctrl + 16, 1u, layout.marker & markerHighMask, c, 1u })
        o = putU32 (o, word);
    std::memcpy (o, component.getData(), c);
    o = putU32 (putU32 (o + c, ctrl), 0);
    if (ctrl > 0)
        std::memcpy (o, controller.getData(), ctrl);
    if (tailSize > 0)
        std::memcpy (o + ctrl, t + layout.tailAt, tailSize);

    // The new wrapper must split again into exactly the given streams.
    Layout check;
    juce::String splitError;
    if (! inspect (built, hostId, check, splitError))
        return fail (splitError.isNotEmpty() ? splitError : juce::String ("REAPER rebuilt wrapper failed byte-exact state verification"));
    const auto* b = static_cast<const juce::uint8*> (built.getData());
    if (! sameBytes (component.getData(), component.getSize(), b + check.componentAt, check.c)
        || ! sameBytes (controller.getData(), controller.getSize(), b + check.controllerAt, check.t))
        return fail ("REAPER rebuilt wrapper failed byte-exact state verification");
    out = std::move (built);
    return true;
}

bool buildReaperVst3State (const juce::MemoryBlock& templateWrapper, juce::uint32 id,
                           const juce::MemoryBlock& component, const juce::MemoryBlock& controller,
                           juce::MemoryBlock& out, juce::String& error)
{
    return buildReaperVst3State (templateWrapper, id, id, component, controller, out, error);
}

//==============================================================================
// Channel configuration

bool readReaperVst3ChannelConfig (const juce::MemoryBlock& wrapper, juce::uint32 reaperId, int& count, juce::String& error)
{
    Layout layout;
    return inspect (wrapper, reaperId, layout, error) && readConfig (wrapper, layout, count, error);
}

bool setReaperVst3ChannelConfig (juce::MemoryBlock& wrapper, juce::uint32 reaperId, int count, juce::String& error)
{
    int current = 0;
    if (! readReaperVst3ChannelConfig (wrapper, reaperId, current, error))
        return false;
    if (count < 1 || count > 128)
    {
        error = "REAPER VST3 channel_config request is invalid";
        return false;
    }
    static_cast<juce::uint8*> (wrapper.getData())[wrapper.getSize() - 1] = (juce::uint8) count;
    int readBack = 0;
    return readReaperVst3ChannelConfig (wrapper, reaperId, readBack, error) && readBack == count;
}

bool validateReaperVst3StereoSidechainConfig (const juce::MemoryBlock& wrapper, juce::uint32 reaperId, juce::String& error)
{
    Layout layout;
    int config = 0;
    if (! inspect (wrapper, reaperId, layout, error) || ! readConfig (wrapper, layout, config, error))
        return false;
    // An unconnected input pin receives nothing, so the sidechain pair must be connected too.
    if (layout.inputPins == 4 && layout.connectedInputs == 4 && (layout.outputPins == 2 || layout.outputPins == 4) && config == 2)
        return true;
    error = "REAPER VST3 sidechain target is not stereo main + stereo sidechain (4 inputs, observed 2/4 output pin map, channel_config=2)";
    return false;
}

} // namespace vornconv
