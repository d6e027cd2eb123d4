// The LiveProfessor 2 project reader: the bounded value-tree read of the file's bytes, then the
// project checks on the tree (what readLiveProfessorRack2 does with a file).

#include "ReadResultChecks.h"

#include "readers/LiveProfessorRack2Reader.h"
#include "readers/ValueTreeReader.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    juce::ValueTree root;
    juce::String error;
    if (! vornconv::readValueTreeBytes (data, size, root, error))
        root = juce::ValueTree();
    vornfuzz::checkReadResult (vornconv::readLiveProfessorRack2Tree (root, "/fuzz/project.rack2"));
    return 0;
}
