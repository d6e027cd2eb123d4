// The REAPER project reader (.rpp text).

#include "ReadResultChecks.h"

#include "readers/ReaperRppReader.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto file = vornfuzz::ScratchFolder::get().write ("project.rpp", data, size);
    vornfuzz::checkReadResult (vornconv::readReaperRpp (file));
    return 0;
}
