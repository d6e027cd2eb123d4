// A VST3 bundle's Contents/Resources/moduleinfo.json, reached through the bundle scan.

#include "IndexChecks.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto& scratch = vornfuzz::ScratchFolder::get();
    const auto root = scratch.root().getChildFile ("VST3");
    const auto info = root.getChildFile ("Fuzz.vst3/Contents/Resources/moduleinfo.json");
    static const bool made = info.getParentDirectory().createDirectory().wasOk();
    FUZZ_CHECK (made);
    vornfuzz::ScratchFolder::writeBytes (info, data, size);

    vornconv::rapp::Vst3ModuleIndex index;
    index.scanLocations ({ root });
    vornfuzz::checkIndex (index);
    for (const auto& entry : index.entries)
        FUZZ_CHECK (! entry.available);
    return 0;
}
