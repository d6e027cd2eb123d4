// REAPER's binary wrapper around an AudioUnit property list, and JUCE's AudioUnit descriptor text.

#include "FuzzSupport.h"

#include "model/AudioUnitState.h"
#include "model/Utf8Text.h"

using namespace vornconv;

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto wrapper = vornfuzz::blockOf (data, size);
    juce::MemoryBlock plist;
    juce::String error;
    if (audioUnit::splitReaperState (wrapper, plist, error))
    {
        // The wrapper is accepted in one exact shape only, so building it again gives the input.
        juce::MemoryBlock rebuilt;
        juce::String buildError;
        FUZZ_CHECK (audioUnit::buildReaperState (plist, rebuilt, buildError));
        FUZZ_CHECK (vornfuzz::sameBytes (rebuilt, data, size));
    }
    else
    {
        FUZZ_CHECK (error.isNotEmpty());
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
