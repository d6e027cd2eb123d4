// REAPER's binary wrapper around a VST3 state: pin maps, the two streams and the program tail
// with its channel configuration.

#include "FuzzSupport.h"

#include "model/ReaperVst3State.h"

using namespace vornconv;

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto wrapper = vornfuzz::blockOf (data, size);
    // The id the project's VST line would give: the wrapper's own first word, so that the rest
    // of the layout is reached; one other id must always be refused.
    const juce::uint32 id = size >= 4 ? juce::ByteOrder::littleEndianInt (data) : 0;

    PluginState state;
    juce::String error;
    const bool split = splitReaperVst3State (wrapper, id, state, error);
    FUZZ_CHECK (split == error.isEmpty());
    PluginState other;
    juce::String otherError;
    FUZZ_CHECK (! splitReaperVst3State (wrapper, id + 1, other, otherError));

    int config = -1;
    juce::String configError;
    const bool readable = readReaperVst3ChannelConfig (wrapper, id, config, configError);
    if (readable)
        FUZZ_CHECK (split && config >= 0 && config <= 128);

    juce::String sidechainError;
    validateReaperVst3StereoSidechainConfig (wrapper, id, sidechainError);

    auto changed = wrapper;
    juce::String setError;
    if (setReaperVst3ChannelConfig (changed, id, 2, setError))
    {
        FUZZ_CHECK (readable);
        FUZZ_CHECK (changed.getSize() == size && (size == 0 || std::memcmp (changed.getData(), data, size - 1) == 0));
    }
    else
    {
        FUZZ_CHECK (vornfuzz::sameBytes (changed, wrapper));
    }

    if (! split)
        return 0;
    FUZZ_CHECK (vornfuzz::sameBytes (state.raw, wrapper) && state.component.getSize() > 0);
    // A wrapper may carry id 0, but no wrapper is built for it.
    if (id == 0)
        return 0;

    // The wrapper as a template: the same streams rebuild it to the same bytes but for the
    // marker word at P + 8, which a rebuilt wrapper always has as 0.
    juce::MemoryBlock rebuilt;
    juce::String buildError;
    FUZZ_CHECK (buildReaperVst3State (wrapper, id, state.component, state.controller, rebuilt, buildError));
    FUZZ_CHECK (rebuilt.getSize() == size);

    // A new host id and other streams keep the pin maps and the tail.
    const juce::MemoryBlock component ("new component", 13);
    const juce::uint32 newId = (id ^ 0x5a5a5a5au) != 0 ? (id ^ 0x5a5a5a5au) : 1u;
    juce::MemoryBlock moved;
    FUZZ_CHECK (buildReaperVst3State (wrapper, id, newId, component, {}, moved, buildError));
    PluginState movedState;
    FUZZ_CHECK (splitReaperVst3State (moved, newId, movedState, buildError));
    FUZZ_CHECK (vornfuzz::sameBytes (movedState.component, component) && movedState.controller.isEmpty());
    return 0;
}
