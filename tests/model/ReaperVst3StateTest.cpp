#include "model/ReaperVst3State.h"

#include "RackBuilders.h"
#include "ReaperFixtures.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vornconv;
using vorntest::bytesOf;
using vorntest::makeWrapper;
using vorntest::makeWrapperWithMasks;
using vorntest::programTail;
using vorntest::reaperMarkerFull;
using vorntest::reaperMarkerZero;
using vorntest::reaperSavedTail;
using vorntest::sequentialMasks;
using vorntest::stringOf;

namespace
{

constexpr juce::uint32 id = 934538646u;

// 2 in / 2 out: P = 48, component at 68, Q = 72, controller at 80, tail at 84.
juce::MemoryBlock validWrapper()
{
    return makeWrapper (id, 2, 2, 0, "COMP", "CONT", programTail());
}

void setU32 (juce::MemoryBlock& b, size_t at, juce::uint32 v)
{
    auto* d = static_cast<juce::uint8*> (b.getData());
    for (int i = 0; i < 4; ++i)
        d[at + (size_t) i] = (juce::uint8) (v >> (8 * i));
}

} // namespace

TEST (ReaperVst3State, InspectionRefusesEachMalformedField)
{
    using Edit = std::function<void (juce::MemoryBlock&)>;
    struct Case { const char* what; Edit edit; const char* error; };
    const Case cases[] = {
        { "43 bytes", [] (auto& b) { b.setSize (43); }, "REAPER VST3 wrapper is too small" },
        { "id + 1", [] (auto& b) { setU32 (b, 0, id + 1); }, "REAPER VST3 header id does not match the VST line" },
        { "magic", [] (auto& b) { setU32 (b, 4, 0xFEED5EEFu); }, "REAPER VST3 wrapper magic/version is unsupported" },
        { "O = 0", [] (auto& b) { setU32 (b, 28, 0); }, "REAPER VST3 pin-map count is invalid" },
        { "I = 65", [] (auto& b) { setU32 (b, 8, 65); }, "REAPER VST3 pin-map count is invalid" },
        { "I past end", [] (auto& b) { b = makeWrapper (id, 2, 2, 0, "COMP", "CONT", programTail()); setU32 (b, 8, 13); },
          "REAPER VST3 pin-map count is invalid" },
        { "O count cut off", [] (auto& b) { b = makeWrapper (id, 4, 1, 0, "C", "", ""); b.setSize (46); },
          "REAPER VST3 pin-map count is truncated" },
        { "masks 1,2,8", [] (auto& b) { b = makeWrapper (id, 2, 3, 0, "COMP", "CONT", programTail()); setU32 (b, 48, 8); },
          "REAPER VST3 pin-map is not the observed sequential topology" },
        { "mask high word", [] (auto& b) { setU32 (b, 16, 1); }, "REAPER VST3 pin-map is not the observed sequential topology" },
        { "P+4 = 2", [] (auto& b) { setU32 (b, 52, 2); }, "REAPER VST3 state header markers are invalid" },
        { "P+8 = 0x0011FFFF", [] (auto& b) { setU32 (b, 56, 0x0011FFFFu); }, "REAPER VST3 state header markers are invalid" },
        { "P+8 = 0x00100001", [] (auto& b) { setU32 (b, 56, 0x00100001u); }, "REAPER VST3 state header markers are invalid" },
        { "P+8 = 0xFFFF0000", [] (auto& b) { setU32 (b, 56, 0xFFFF0000u); }, "REAPER VST3 state header markers are invalid" },
        { "P+16 = 0", [] (auto& b) { setU32 (b, 64, 0); }, "REAPER VST3 state header markers are invalid" },
        { "under 20 bytes after maps", [] (auto& b) { b = makeWrapper (id, 4, 1, 0, "C", "", ""); b.setSize (70); },
          "REAPER VST3 state header is truncated" },
        { "C = 0", [] (auto& b) { setU32 (b, 60, 0); }, "REAPER VST3 component length is invalid" },
        { "C past end", [] (auto& b) { setU32 (b, 60, 200); }, "REAPER VST3 component length is invalid" },
        { "C huge", [] (auto& b) { setU32 (b, 60, 0xFFFFFFFFu); }, "REAPER VST3 component length is invalid" },
        { "7 bytes after comp", [] (auto& b) { b.setSize (79); }, "REAPER VST3 controller header is truncated" },
        { "Q+4 = 1", [] (auto& b) { setU32 (b, 76, 1); }, "REAPER VST3 controller length/type is invalid" },
        { "T past end", [] (auto& b) { setU32 (b, 72, 100); }, "REAPER VST3 controller length/type is invalid" },
        { "T huge", [] (auto& b) { setU32 (b, 72, 0xFFFFFFF0u); }, "REAPER VST3 controller length/type is invalid" },
        { "A - 1", [] (auto& b) { setU32 (b, 48, 23); }, "REAPER VST3 aggregate state length is inconsistent" },
    };
    for (const auto& c : cases)
    {
        auto wrapper = validWrapper();
        c.edit (wrapper);
        PluginState out;
        out.raw = bytesOf ("keep");
        juce::String error;
        EXPECT_FALSE (splitReaperVst3State (wrapper, id, out, error)) << c.what;
        EXPECT_EQ (error, c.error) << c.what;
        EXPECT_EQ (stringOf (out.raw), "keep") << c.what;
    }
}

TEST (ReaperVst3State, SplitAndRebuildAreByteExact)
{
    const auto wrapper = makeWrapper (id, 2, 2, 65535, "COMP", "CONT", programTail());
    PluginState state;
    state.parameterMirrorComplete = true;
    juce::String error;
    ASSERT_TRUE (splitReaperVst3State (wrapper, id, state, error)) << error;
    EXPECT_EQ (state.encoding, PluginStateEncoding::hostSpecific);
    EXPECT_EQ (state.raw, wrapper);
    EXPECT_EQ (stringOf (state.component), "COMP");
    EXPECT_EQ (stringOf (state.controller), "CONT");
    EXPECT_FALSE (state.parameterMirrorComplete);

    // A new host id and new streams: the pin maps and tail are copied, P + 8 becomes 0.
    juce::MemoryBlock rebuilt;
    ASSERT_TRUE (buildReaperVst3State (wrapper, id, 77, bytesOf ("NEWCOMP"), bytesOf ("C2"), rebuilt, error)) << error;
    EXPECT_EQ (rebuilt, makeWrapper (77, 2, 2, 0, "NEWCOMP", "C2", programTail()));

    // An empty controller splits to an empty block and rebuilds to the same bytes.
    const auto noController = makeWrapper (id, 4, 2, 0, "X", "", programTail (2));
    ASSERT_TRUE (splitReaperVst3State (noController, id, state, error)) << error;
    EXPECT_TRUE (state.controller.isEmpty());
    ASSERT_TRUE (buildReaperVst3State (noController, id, state.component, state.controller, rebuilt, error)) << error;
    EXPECT_EQ (rebuilt, noController);

    // The marker 68 is accepted in a template too.
    ASSERT_TRUE (buildReaperVst3State (makeWrapper (id, 1, 1, 68, "Q", "", ""), id, bytesOf ("Z"), {}, rebuilt, error)) << error;
    EXPECT_EQ (rebuilt, makeWrapper (id, 1, 1, 0, "Z", "", ""));
}

TEST (ReaperVst3State, BuildRefusalsEmptyTheOutput)
{
    const auto wrapper = validWrapper();
    juce::MemoryBlock big;
    big.setSize ((size_t) maxReaperVst3StreamBytes + 1, true);
    auto broken = wrapper;
    setU32 (broken, 4, 0);
    struct Case { juce::MemoryBlock templ; juce::uint32 host; juce::MemoryBlock comp; juce::MemoryBlock ctrl; juce::String error; };
    const Case cases[] = {
        { wrapper, 0, bytesOf ("C"), {}, "REAPER output host ID is zero" },
        { wrapper, 5, {}, bytesOf ("x"), "REAPER output requires a non-empty Comp state" },
        { wrapper, 5, big, {}, "REAPER output state exceeds the 64 MiB stream limit" },
        { wrapper, 5, bytesOf ("C"), big, "REAPER output state exceeds the 64 MiB stream limit" },
        { broken, 5, bytesOf ("C"), {}, "REAPER template wrapper rejected: REAPER VST3 wrapper magic/version is unsupported" },
    };
    for (const auto& c : cases)
    {
        juce::MemoryBlock out = bytesOf ("stale");
        juce::String error;
        EXPECT_FALSE (buildReaperVst3State (c.templ, id, c.host, c.comp, c.ctrl, out, error)) << c.error;
        EXPECT_EQ (error, c.error);
        EXPECT_TRUE (out.isEmpty()) << c.error;
    }
}

TEST (ReaperVst3State, ChannelConfiguration)
{
    struct ReadCase { std::string tail; int count; const char* error; };
    const ReadCase reads[] = {
        { programTail (2), 2, nullptr },
        { std::string ("\0\0\0\0\0", 5), 0, nullptr },
        { std::string ("\0\0\0\x80", 4), 0, "REAPER VST3 program tail has no channel_config field" },
        { std::string ("\0\0\x10\0\0\0", 6), 0, "REAPER VST3 channel_config tail marker is invalid" },
        { std::string ("\0\0\0\0\0\x81", 6), 0, "REAPER VST3 channel_config count is out of range" },
    };
    for (const auto& c : reads)
    {
        int count = -1;
        juce::String error;
        const auto wrapper = makeWrapper (id, 2, 2, 0, "COMP", "CONT", c.tail);
        EXPECT_EQ (readReaperVst3ChannelConfig (wrapper, id, count, error), c.error == nullptr) << c.tail.size();
        if (c.error != nullptr)
            EXPECT_EQ (error, c.error);
        else
            EXPECT_EQ (count, c.count);
    }

    struct SetCase { std::string tail; int count; const char* error; };
    const SetCase sets[] = {
        { programTail(), 0, "REAPER VST3 channel_config request is invalid" },
        { programTail(), 129, "REAPER VST3 channel_config request is invalid" },
        { std::string ("\0\0\0\0", 4), 2, "REAPER VST3 program tail has no channel_config field" },
        { programTail (7), 2, nullptr },
        { programTail(), 128, nullptr },
    };
    for (const auto& c : sets)
    {
        const auto original = makeWrapper (id, 4, 2, 0, "COMP", "CONT", c.tail);
        auto wrapper = original;
        juce::String error;
        EXPECT_EQ (setReaperVst3ChannelConfig (wrapper, id, c.count, error), c.error == nullptr) << c.count;
        if (c.error != nullptr)
        {
            EXPECT_EQ (error, c.error);
            EXPECT_EQ (wrapper, original);
        }
        else
        {
            auto expected = original;
            static_cast<juce::uint8*> (expected.getData())[expected.getSize() - 1] = (juce::uint8) c.count;
            EXPECT_EQ (wrapper, expected);
        }
    }

    struct SidechainCase { int ins; int outs; juce::uint8 config; bool ok; };
    const SidechainCase sidechains[] = {
        { 4, 2, 2, true }, { 4, 4, 2, true }, { 2, 2, 2, false }, { 4, 3, 2, false }, { 4, 2, 1, false },
    };
    for (const auto& c : sidechains)
    {
        juce::String error;
        const auto wrapper = makeWrapper (id, c.ins, c.outs, 0, "COMP", "CONT", programTail (c.config));
        EXPECT_EQ (validateReaperVst3StereoSidechainConfig (wrapper, id, error), c.ok) << c.ins << "/" << c.outs;
        if (! c.ok)
            EXPECT_EQ (error, "REAPER VST3 sidechain target is not stereo main + stereo sidechain (4 inputs, observed 2/4 output pin map, channel_config=2)");
    }
}

TEST (ReaperVst3State, ShapesOfRealSavesSplitAndRebuild)
{
    // Pin maps and markers as REAPER 5 to 7 save them; each ends in a program name's zero and 16.
    struct Case { const char* what; int ins; int outs; juce::uint32 marker; };
    const Case cases[] = {
        { "2/2, marker 0x00100000", 2, 2, reaperMarkerZero },
        { "2/2, marker 0x0010FFFF", 2, 2, reaperMarkerFull },
        { "4/2 with a controller", 4, 2, reaperMarkerFull },
        { "4/4", 4, 4, reaperMarkerZero },
        { "2/4", 2, 4, reaperMarkerZero },
        { "instrument without input pins", 0, 2, reaperMarkerFull },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto saved = makeWrapper (id, c.ins, c.outs, c.marker, "COMPONENT", "CTRL", reaperSavedTail());
        PluginState state;
        juce::String error;
        ASSERT_TRUE (splitReaperVst3State (saved, id, state, error)) << error;
        EXPECT_EQ (stringOf (state.component), "COMPONENT");
        EXPECT_EQ (stringOf (state.controller), "CTRL");

        // Rebuilt around its own streams: the same bytes, except that the marker's low half is 0.
        juce::MemoryBlock rebuilt;
        ASSERT_TRUE (buildReaperVst3State (saved, id, state.component, state.controller, rebuilt, error)) << error;
        EXPECT_EQ (rebuilt, makeWrapper (id, c.ins, c.outs, reaperMarkerZero, "COMPONENT", "CTRL", reaperSavedTail()));
        if (c.marker == reaperMarkerZero)
            EXPECT_EQ (rebuilt, saved);
        PluginState again;
        ASSERT_TRUE (splitReaperVst3State (rebuilt, id, again, error)) << error;
        EXPECT_EQ (again.component, state.component);
        EXPECT_EQ (again.controller, state.controller);

        // The channel configuration cannot be read from such a tail, so a sidechain cannot be set.
        int count = -1;
        EXPECT_FALSE (readReaperVst3ChannelConfig (saved, id, count, error));
        EXPECT_EQ (error, "REAPER VST3 channel_config tail marker is invalid");
        auto copy = saved;
        EXPECT_FALSE (setReaperVst3ChannelConfig (copy, id, 2, error));
        EXPECT_EQ (error, "REAPER VST3 channel_config tail marker is invalid");
        EXPECT_EQ (copy, saved);
        EXPECT_FALSE (validateReaperVst3StereoSidechainConfig (saved, id, error));
    }

    // Trailing inputs left unconnected (an unfed sidechain pair): read, and rebuilt with the same
    // pin maps; such a plug-in has no sidechain, whatever its channel configuration.
    for (const auto& inputs : { std::vector<juce::uint64> { 1, 2, 0, 0 }, std::vector<juce::uint64> { 1, 0 },
                                std::vector<juce::uint64> { 0, 0 } })
    {
        SCOPED_TRACE (inputs.size());
        const auto saved = makeWrapperWithMasks (id, inputs, sequentialMasks (2), reaperMarkerZero, "C", "T", programTail (2));
        PluginState state;
        juce::String error;
        ASSERT_TRUE (splitReaperVst3State (saved, id, state, error)) << error;
        EXPECT_EQ (stringOf (state.component), "C");
        juce::MemoryBlock rebuilt;
        ASSERT_TRUE (buildReaperVst3State (saved, id, state.component, state.controller, rebuilt, error)) << error;
        EXPECT_EQ (rebuilt, saved);
        EXPECT_FALSE (validateReaperVst3StereoSidechainConfig (saved, id, error));
        EXPECT_EQ (error, "REAPER VST3 sidechain target is not stereo main + stereo sidechain (4 inputs, observed 2/4 output pin map, channel_config=2)");
    }

    // Mono plug-ins map both outputs onto their one channel, others are routed to other track
    // channels or connect an input after an unconnected one: refused, as every such topology, and
    // the refusal says where each pin off its own channel goes (pins and channels from 1).
    using Masks = std::vector<juce::uint64>;
    const struct { Masks inputs, outputs; const char* routing; } routed[] = {
        { sequentialMasks (2), { 0x3, 0x2 }, "output pin 1 feeds channels 1 and 2" },
        { sequentialMasks (2), { 0x2 }, "output pin 1 feeds channel 2" },
        { sequentialMasks (2), { 1, 0 }, "output pin 2 feeds no channel" },
        { { 4, 8 }, { 4, 8 }, "input pin 1 is fed by channel 3, input pin 2 is fed by channel 4, output pin 1 feeds channel 3,"
                              " output pin 2 feeds channel 4" },
        { { 0x100, 0x200 }, sequentialMasks (2), "input pin 1 is fed by channel 9, input pin 2 is fed by channel 10" },
        { { 1, 0, 4 }, sequentialMasks (2), "input pin 2 is fed by no channel" },
        { { 0, 2 }, sequentialMasks (2), "input pin 1 is fed by no channel" },
        { { 0x3 }, { 0x1F, 0x2 }, "input pin 1 is fed by channels 1 and 2, output pin 1 feeds channels 1 to 5" },
        { sequentialMasks (2), { 0x8000000000000015ull }, "output pin 1 feeds channels 1, 3, 5 and 64" },
        { { 2, 1, 0, 0 }, { 0xFFFFFFFFFFFFFFFFull, 0 },
          "input pin 1 is fed by channel 2, input pin 2 is fed by channel 1, output pin 1 feeds channels 1 to 64, output pin 2 feeds no channel" },
        { sequentialMasks (2), { 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024 },
          "output pin 1 feeds channel 2, output pin 2 feeds channel 3, output pin 3 feeds channel 4, output pin 4 feeds channel 5,"
          " output pin 5 feeds channel 6, output pin 6 feeds channel 7, output pin 7 feeds channel 8, output pin 8 feeds channel 9"
          " and 2 more pins off their own channels" },
        { sequentialMasks (2), { 2, 4, 8, 16, 32, 64, 128, 256, 512 },
          "output pin 1 feeds channel 2, output pin 2 feeds channel 3, output pin 3 feeds channel 4, output pin 4 feeds channel 5,"
          " output pin 5 feeds channel 6, output pin 6 feeds channel 7, output pin 7 feeds channel 8, output pin 8 feeds channel 9"
          " and 1 more pin off its own channel" },
    };
    for (const auto& c : routed)
    {
        SCOPED_TRACE (c.routing);
        auto wrapper = makeWrapperWithMasks (id, c.inputs, c.outputs, reaperMarkerZero, "C", "", reaperSavedTail());
        const auto saved = wrapper;
        PluginState state;
        juce::String error, routing;
        EXPECT_FALSE (splitReaperVst3State (std::move (wrapper), id, state, error, routing));
        EXPECT_EQ (error, "REAPER VST3 pin-map is not the observed sequential topology");
        EXPECT_EQ (routing, juce::String (c.routing) + " (pins and track channels count from 1)");
        EXPECT_EQ (wrapper, saved);
    }

    // A routed input map followed by an output map that cannot be read: the refusal stays the
    // input map's, and only the inputs are described.
    {
        auto wrapper = makeWrapperWithMasks (id, { 4, 8 }, sequentialMasks (2), reaperMarkerZero, "C", "", reaperSavedTail());
        setU32 (wrapper, 28, 65);
        PluginState state;
        juce::String error, routing;
        EXPECT_FALSE (splitReaperVst3State (std::move (wrapper), id, state, error, routing));
        EXPECT_EQ (error, "REAPER VST3 pin-map is not the observed sequential topology");
        EXPECT_EQ (routing, "input pin 1 is fed by channel 3, input pin 2 is fed by channel 4 (pins and track channels count from 1)");
    }
    // A wrapper refused for anything else, or read, has no routing to tell.
    {
        PluginState state;
        juce::String error, routing = "stale";
        EXPECT_TRUE (splitReaperVst3State (validWrapper(), id, state, error, routing));
        EXPECT_EQ (routing, "");
        routing = "stale";
        EXPECT_FALSE (splitReaperVst3State (validWrapper(), id + 1, state, error, routing));
        EXPECT_EQ (routing, "");
    }
    // An instrument still needs an output pin.
    PluginState state;
    juce::String error;
    EXPECT_FALSE (splitReaperVst3State (makeWrapper (id, 0, 0, reaperMarkerZero, "COMPONENT", "", reaperSavedTail()), id, state, error));
    EXPECT_EQ (error, "REAPER VST3 pin-map count is invalid");
}

// REAPER's list of parameter values saved in place of a component state (2 in / 2 out, six
// values, a program tail without a name: 98 bytes) is told by its own markers, and counted; one
// of that shape whose length does not fit is malformed, and a header with 0 where the component
// state's 1 stands but without the markers keeps the markers' refusal.
TEST (ReaperVst3State, ParameterValuesSavedInPlaceOfAComponentStateAreToldApart)
{
    const std::vector<float> six = { 0.5f, 0.25f, 1.0f, 0.0f, 0.75f, 0.125f };
    const auto saved = vorntest::makeParameterValueWrapper (id, 2, 2, six, reaperSavedTail (""));
    ASSERT_EQ (saved.getSize(), 98u);
    PluginState out;
    out.raw = bytesOf ("keep");
    juce::String error;
    EXPECT_FALSE (splitReaperVst3State (saved, id, out, error));
    EXPECT_EQ (error, "REAPER VST3 state holds the plug-in's parameter values instead of a component state");
    EXPECT_EQ (stringOf (out.raw), "keep");
    EXPECT_EQ (reaperVst3ParameterValueCount (saved, id), 6);
    EXPECT_EQ (reaperVst3ParameterValueCount (vorntest::makeParameterValueWrapper (id, 4, 2, {}, ""), id), 0);
    int count = -1;
    EXPECT_FALSE (readReaperVst3ChannelConfig (saved, id, count, error));
    EXPECT_EQ (error, "REAPER VST3 state holds the plug-in's parameter values instead of a component state");

    using Edit = std::function<void (juce::MemoryBlock&)>;
    struct Case { const char* what; Edit edit; const char* error; };
    const Case cases[] = {
        { "length past the end", [] (auto& b) { setU32 (b, 48, 8 + 4 * 20); }, "REAPER VST3 parameter-value length is invalid" },
        { "length below the markers", [] (auto& b) { setU32 (b, 48, 4); }, "REAPER VST3 parameter-value length is invalid" },
        { "length not whole values", [] (auto& b) { setU32 (b, 48, 8 + 4 * 6 - 1); }, "REAPER VST3 parameter-value length is invalid" },
        { "second marker", [] (auto& b) { setU32 (b, 64, 0xDEADF00Eu); }, "REAPER VST3 state header markers are invalid" },
        { "unknown marker word", [] (auto& b) { setU32 (b, 56, 0x0011FFFFu); }, "REAPER VST3 state header markers are invalid" },
        { "wrong id", [] (auto& b) { setU32 (b, 0, id + 1); }, "REAPER VST3 header id does not match the VST line" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        auto wrapper = saved;
        c.edit (wrapper);
        EXPECT_FALSE (splitReaperVst3State (wrapper, id, out, error));
        EXPECT_EQ (error, c.error);
        EXPECT_EQ (reaperVst3ParameterValueCount (wrapper, id), -1);
    }
    // A component state keeps being one.
    EXPECT_EQ (reaperVst3ParameterValueCount (validWrapper(), id), -1);
}
