// The factory catalog file (--factory-catalog): tab-separated rows of VST3 classes.

#include "IndexChecks.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto file = vornfuzz::ScratchFolder::get().write ("catalog.tsv", data, size);
    vornconv::rapp::Vst3ModuleIndex index;
    juce::String error;
    const bool loaded = index.loadFactoryCatalog (file, error);
    FUZZ_CHECK (loaded == error.isEmpty());
    FUZZ_CHECK (vornfuzz::isCleanText (error));
    vornfuzz::checkIndex (index);
    return 0;
}
