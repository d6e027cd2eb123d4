// The bounded reader of JUCE's binary value-tree form, its writer, and the value-tree dump of
// what it reads.

#include "ReadResultChecks.h"

#include "readers/ValueTreeDump.h"
#include "readers/ValueTreeReader.h"

using namespace vornconv;

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    TreeNode tree;
    juce::String error;
    if (! readValueTreeBytes (data, size, tree, error))
    {
        FUZZ_CHECK (error.isNotEmpty() && ! isValidTree (tree));
        return 0;
    }
    FUZZ_CHECK (isValidTree (tree));

    const auto dump = describeValueTree (tree, 0, maxValueTreeDepth);
    FUZZ_CHECK (vornfuzz::isCleanText (dump));
    FUZZ_CHECK (dump.endsWithChar ('\n'));

    // What was read whole is written whole; that is read again and written to the same bytes.
    juce::MemoryOutputStream first;
    FUZZ_CHECK (writeValueTree (tree, first));
    TreeNode again;
    FUZZ_CHECK (readValueTreeBytes (first.getData(), first.getDataSize(), again, error));
    juce::MemoryOutputStream second;
    FUZZ_CHECK (writeValueTree (again, second));
    FUZZ_CHECK (vornfuzz::sameBytes (second.getMemoryBlock(), first.getMemoryBlock()));
    return 0;
}
