// The LiveProfessor 2 project reader on a file's bytes: the bounded value-tree read, then the
// project checks on the tree.

#include "ReadResultChecks.h"

#include "readers/LiveProfessorRack2Reader.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    vornfuzz::checkReadResult (vornconv::readLiveProfessorRack2Bytes (data, size, "/fuzz/project.rack2"));
    return 0;
}
