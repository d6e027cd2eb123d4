// REAPER's VST plug-in cache (--reaper-cache), joined onto an index that already holds classes
// from a factory catalog, as the program does.

#include "IndexChecks.h"

#include "readers/ReaperPluginCache.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    vornconv::rapp::Vst3ModuleIndex index;
    juce::String error;
    FUZZ_CHECK (index.loadFactoryCatalogText ("ED57BD725C60467EA64DD2F400758B6F\tPro-Q 4\tFabFilter\t4.0\t/opt/vst3/Pro-Q 4.vst3\n"
                                              "0123456789ABCDEF0123456789ABCDEF\tComp\tVendor\t1.0\t/p/Comp.vst3\t0\n",
                                              error));

    const auto file = vornfuzz::ScratchFolder::get().write ("reaper-vstplugins64.ini", data, size);
    juce::StringArray warnings;
    const bool loaded = vornconv::loadReaperCache (index, file, warnings, error);
    FUZZ_CHECK (loaded == error.isEmpty());
    FUZZ_CHECK (vornfuzz::isCleanText (error));
    for (const auto& warning : warnings)
        FUZZ_CHECK (vornfuzz::isCleanText (warning));
    FUZZ_CHECK (index.entries.size() >= 2);
    vornfuzz::checkIndex (index);
    return 0;
}
