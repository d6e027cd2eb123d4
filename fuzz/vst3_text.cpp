// The text forms of VST3 states: JUCE memory-block text ("<size>.<base64>") and SuperRack's
// two-line preset text.

#include "FuzzSupport.h"

#include "model/Utf8Text.h"
#include "model/Vst3State.h"

using namespace vornconv;

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    juce::String text;
    if (! utf8::toText (data, size, text))
        return 0;

    juce::MemoryBlock decoded;
    juce::String error;
    if (vst3::decodeJuceMemoryBlock (text, decoded, vst3::maxStateBytes, error))
    {
        // Only the canonical text is accepted, so writing the bytes again gives the input.
        juce::MemoryOutputStream out;
        FUZZ_CHECK (vst3::writeJuceMemoryBlockText (out, decoded.getData(), decoded.getSize()));
        FUZZ_CHECK (vornfuzz::sameBytes (out.getMemoryBlock(), data, size));
    }
    else
    {
        FUZZ_CHECK (error.isNotEmpty() && decoded.isEmpty());
    }

    const auto preset = vst3::parseSuperRackPreset (text);
    if (preset.ok)
    {
        FUZZ_CHECK (preset.classId.length() == 32 && preset.bodyOffset == 45);
        FUZZ_CHECK (preset.blob.getSize() == preset.body.getSize() + 45);
        const auto chunks = vst3::extractSteinbergChunks (preset.blob, 45);
        if (chunks.ok)
        {
            const auto rebuilt = vst3::parseSuperRackPreset (
                vst3::buildSuperRackPreset (preset.classId, chunks.component, chunks.controller));
            FUZZ_CHECK (rebuilt.ok && rebuilt.classId == preset.classId);
            const auto again = vst3::extractSteinbergChunks (rebuilt.blob, 45);
            FUZZ_CHECK (again.ok && vornfuzz::sameBytes (again.component, chunks.component)
                        && vornfuzz::sameBytes (again.controller, chunks.controller));
        }
    }
    else
    {
        FUZZ_CHECK (preset.error.isNotEmpty());
    }
    return 0;
}
