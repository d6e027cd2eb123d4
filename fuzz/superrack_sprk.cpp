// The SuperRack session reader: the input is the bytes of an SQLite database file.

#include "ReadResultChecks.h"

#include "readers/SuperRackSprkReader.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto file = vornfuzz::ScratchFolder::get().write ("session.sprk", data, size);
    vornfuzz::checkReadResult (vornconv::readSuperRackSprk (file));
    return 0;
}
