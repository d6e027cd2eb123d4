// REAPER's binary wrapper around an AudioUnit property list (pin maps, property list, preset name),
// and JUCE's AudioUnit descriptor text.

#include "FuzzSupport.h"

#include "model/AudioUnitState.h"
#include "model/Utf8Text.h"

using namespace vornconv;

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto wrapper = vornfuzz::blockOf (data, size);
    const auto split = audioUnit::splitReaperState (wrapper);
    FUZZ_CHECK (split.ok == split.error.isEmpty());
    if (split.ok || split.pinMapRouted)
    {
        // The property list was read whole: the plain wrapper around it splits back to it, with
        // no preset name and two inputs and outputs on their own channels.
        FUZZ_CHECK (split.ok != split.pinMapRouted);
        juce::MemoryBlock rebuilt;
        juce::String buildError;
        FUZZ_CHECK (audioUnit::buildReaperState (split.plist, rebuilt, buildError));
        const auto again = audioUnit::splitReaperState (rebuilt);
        FUZZ_CHECK (again.ok && vornfuzz::sameBytes (again.plist, split.plist) && again.presetName.isEmpty());
        FUZZ_CHECK (again.inputPins == 2 && again.connectedInputs == 2 && again.outputPins == 2);
        FUZZ_CHECK (again.identity.type == split.identity.type && again.identity.subtype == split.identity.subtype
                    && again.identity.manufacturer == split.identity.manufacturer);

        // A wrapper in that plain shape is rebuilt to its own bytes.
        const bool plain = split.ok && split.presetName.isEmpty() && split.inputPins == 2 && split.connectedInputs == 2
                        && split.outputPins == 2;
        FUZZ_CHECK (plain == vornfuzz::sameBytes (rebuilt, data, size));
        FUZZ_CHECK (split.connectedInputs <= split.inputPins && split.outputPins >= 1);
    }
    else
    {
        FUZZ_CHECK (split.plist.isEmpty() && split.presetName.isEmpty());
    }

    juce::String text;
    if (utf8::toText (data, size, text))
    {
        audioUnit::Identity identity;
        if (audioUnit::parseDescriptorFile (text, identity))
            for (const auto code : { identity.type, identity.subtype, identity.manufacturer })
                FUZZ_CHECK (audioUnit::fourCcText (code).length() == 4);
    }
    return 0;
}
