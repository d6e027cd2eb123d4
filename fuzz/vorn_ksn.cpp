// The Vorn Live scene reader (.ksn, XML).

#include "ReadResultChecks.h"

#include "readers/VornKsnReader.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto file = vornfuzz::ScratchFolder::get().write ("scene.ksn", data, size);
    vornfuzz::checkReadResult (vornconv::readVornKsn (file));
    return 0;
}
