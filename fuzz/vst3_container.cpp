// JUCE's VST3 state container ("VC2!" and an XML document) and the Steinberg chunk list at the
// end of a VST3 preset body.

#include "FuzzSupport.h"

#include "model/Vst3State.h"

using namespace vornconv;

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto bytes = vornfuzz::blockOf (data, size);

    const auto split = vst3::parseJuceVst3State (bytes);
    if (split.ok)
    {
        FUZZ_CHECK (vst3::looksLikeJuceXmlContainer (bytes));
        FUZZ_CHECK (split.component.getSize() > 0);
        // What was taken out goes back in and comes out again unchanged.
        const auto again = vst3::parseJuceVst3State (vst3::buildJuceVst3State (split.component, split.controller));
        FUZZ_CHECK (again.ok);
        FUZZ_CHECK (vornfuzz::sameBytes (again.component, split.component) && vornfuzz::sameBytes (again.controller, split.controller));
    }
    else
    {
        FUZZ_CHECK (split.error.isNotEmpty());
    }

    // The SuperRack reader's base, and the start of the data.
    for (const size_t base : { (size_t) 45, (size_t) 0 })
    {
        const auto chunks = vst3::extractSteinbergChunks (bytes, base);
        if (! chunks.ok)
            continue;
        FUZZ_CHECK (chunks.chunkCount == 1 || chunks.chunkCount == 2);
        FUZZ_CHECK (chunks.component.getSize() > 0);
        FUZZ_CHECK (base + chunks.component.getSize() + chunks.controller.getSize() <= size);
        FUZZ_CHECK (std::memcmp (data + base, chunks.component.getData(), chunks.component.getSize()) == 0);
    }
    return 0;
}
