// The bounded reader of JUCE's binary value-tree form, and the value-tree dump of what it reads.

#include "ReadResultChecks.h"

#include "readers/ValueTreeDump.h"
#include "readers/ValueTreeReader.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    juce::ValueTree tree;
    juce::String error;
    if (! vornconv::readValueTreeBytes (data, size, tree, error))
    {
        FUZZ_CHECK (error.isNotEmpty());
        return 0;
    }
    FUZZ_CHECK (tree.isValid());

    const auto dump = vornconv::describeValueTree (tree, 0, vornconv::maxValueTreeDepth);
    FUZZ_CHECK (vornfuzz::isCleanText (dump));
    FUZZ_CHECK (dump.endsWithChar ('\n'));

    // What was read whole is written whole, and that is read again.
    juce::MemoryOutputStream out;
    tree.writeToStream (out);
    juce::ValueTree again;
    juce::String againError;
    FUZZ_CHECK (vornconv::readValueTreeBytes (out.getData(), out.getDataSize(), again, againError));
    return 0;
}
