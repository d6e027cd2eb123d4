#include "readers/ValueTreeDump.h"
#include "readers/ValueTreeReader.h"

#include <gtest/gtest.h>

namespace
{

juce::MemoryBlock streamOf (const juce::ValueTree& tree)
{
    juce::MemoryOutputStream out;
    tree.writeToStream (out);
    return out.getMemoryBlock();
}

juce::MemoryBlock hexBytes (const char* hex)
{
    juce::MemoryBlock block;
    block.loadFromHexString (hex);
    return block;
}

bool readBlock (const juce::MemoryBlock& bytes, juce::ValueTree& tree, juce::String& error)
{
    return vornconv::readValueTreeBytes (bytes.getData(), bytes.getSize(), tree, error);
}

juce::ValueTree everyKindOfValue()
{
    juce::ValueTree root ("Project");
    root.setProperty ("int", 7, nullptr);
    root.setProperty ("negative", -123456, nullptr);
    root.setProperty ("big", (juce::int64) 1 << 40, nullptr);
    root.setProperty ("double", 0.25, nullptr);
    root.setProperty ("yes", true, nullptr);
    root.setProperty ("no", false, nullptr);
    root.setProperty ("text", juce::String::fromUTF8 ("채널 1"), nullptr);
    root.setProperty ("empty", juce::String(), nullptr);
    const char blob[] = { 0, 1, 2, 3, 0 };
    root.setProperty ("blob", juce::var (blob, sizeof (blob)), nullptr);
    juce::Array<juce::var> inner { 1, "x" };
    root.setProperty ("list", juce::Array<juce::var> { 3, juce::var (inner), 2.5 }, nullptr);
    juce::ValueTree chain ("Chain");
    chain.setProperty ("id", 42, nullptr);
    chain.appendChild (juce::ValueTree ("Plugin"), nullptr);
    root.appendChild (chain, nullptr);
    root.appendChild (juce::ValueTree ("Chain"), nullptr);
    return root;
}

TEST (ValueTreeReader, ReadsWhatJuceWritesAndOnlyThat)
{
    const auto original = everyKindOfValue();
    const auto bytes = streamOf (original);
    juce::ValueTree tree;
    juce::String error;
    ASSERT_TRUE (readBlock (bytes, tree, error)) << error;
    EXPECT_TRUE (tree.isEquivalentTo (original));
    EXPECT_EQ (tree.getProperty ("big"), juce::var ((juce::int64) 1 << 40));
    ASSERT_NE (tree.getProperty ("blob").getBinaryData(), nullptr);
    EXPECT_EQ (tree.getProperty ("blob").getBinaryData()->getSize(), 5u);

    // Every proper prefix is truncated input, and a single extra byte is trailing data.
    for (size_t cut = 0; cut < bytes.getSize(); ++cut)
    {
        juce::ValueTree partial;
        EXPECT_FALSE (vornconv::readValueTreeBytes (bytes.getData(), cut, partial, error)) << "prefix " << cut;
        EXPECT_FALSE (partial.isValid());
    }
    auto longer = bytes;
    longer.append ("\0", 1);
    EXPECT_FALSE (readBlock (longer, tree, error));
    EXPECT_TRUE (error.contains ("trailing")) << error;
}

TEST (ValueTreeReader, RefusesMalformedStreams)
{
    struct Case { const char* what; const char* hex; };
    const Case cases[] = {
        { "property without a value", "410001017000" },
        { "negative property count", "41008101" },
        { "child count beyond the bytes", "410000017f" },
        { "five-byte compressed int", "41000501000000000000" },
        { "negative-zero compressed int", "41008000" },
        { "empty type name", "000000" },
        { "empty property name", "410001010001010200" },
        { "unknown value marker", "41000101700001" "0a" "00" },
        { "int of the wrong size", "41000101700001030107000000" },
        { "string without its NUL", "41000101700001030561620000" },
        { "string with an inner NUL", "410001017000" "0105" "0561006200" "00" },
        { "repeated property", "41000102" "7000010102" "7000010103" "00" },
        { "array shorter than its elements", "41000101700001030701020000" },
        { "name that is not UTF-8", "ff0000000000" },
    };
    for (const auto& c : cases)
    {
        juce::ValueTree tree;
        juce::String error;
        EXPECT_FALSE (readBlock (hexBytes (c.hex), tree, error)) << c.what;
        EXPECT_FALSE (tree.isValid()) << c.what;
        EXPECT_TRUE (error.isNotEmpty()) << c.what;
    }
}

// A chain of nested single children, as bytes: "N\0" 00 01 01 ... innermost "N\0" 00 00.
juce::MemoryBlock nested (int levels)
{
    juce::MemoryOutputStream out;
    for (int i = 0; i < levels; ++i)
    {
        const bool innermost = i == levels - 1;
        out.write ("N\0", 2);
        out.writeByte (0);
        if (innermost)
            out.writeByte (0);
        else
            out.write ("\x01\x01", 2);
    }
    return out.getMemoryBlock();
}

TEST (ValueTreeReader, LimitsNesting)
{
    juce::ValueTree tree;
    juce::String error;
    EXPECT_TRUE (readBlock (nested (vornconv::maxValueTreeDepth + 1), tree, error)) << error;
    EXPECT_FALSE (readBlock (nested (vornconv::maxValueTreeDepth + 2), tree, error));
    EXPECT_TRUE (error.contains ("nested")) << error;
    // Deep enough to overflow the stack of a reader without a limit.
    EXPECT_FALSE (readBlock (nested (300000), tree, error));

    // Arrays count as levels too: 300 arrays, each holding the next.
    juce::var value (1);
    for (int i = 0; i < 300; ++i)
        value = juce::Array<juce::var> { value };
    juce::ValueTree holder ("A");
    holder.setProperty ("deep", value, nullptr);
    EXPECT_FALSE (readBlock (streamOf (holder), tree, error));
}

TEST (ValueTreeReader, ReadsFilesWhole)
{
    juce::TemporaryFile temp (".rack2");
    juce::ValueTree tree;
    juce::String error;
    EXPECT_FALSE (vornconv::readValueTreeFile (temp.getFile(), tree, error));
    ASSERT_TRUE (temp.getFile().replaceWithData ("", 0));
    EXPECT_FALSE (vornconv::readValueTreeFile (temp.getFile(), tree, error));
    const auto bytes = streamOf (everyKindOfValue());
    ASSERT_TRUE (temp.getFile().replaceWithData (bytes.getData(), bytes.getSize()));
    ASSERT_TRUE (vornconv::readValueTreeFile (temp.getFile(), tree, error)) << error;
    EXPECT_EQ (tree.getNumChildren(), 2);
}

TEST (ValueTreeDump, DescribesNodesAndCutsLongValues)
{
    juce::ValueTree root ("Root");
    root.setProperty ("forty", juce::String::repeatedString ("a", 40), nullptr);
    root.setProperty ("fortyOne", juce::String::repeatedString ("b", 41), nullptr);
    root.setProperty ("korean", juce::String::repeatedString (juce::String::fromUTF8 ("가"), 41), nullptr);
    root.setProperty ("none", juce::var (nullptr, 0), nullptr);
    root.setProperty ("list", juce::Array<juce::var> { 1, 2, 3 }, nullptr);
    root.setProperty ("half", 0.5, nullptr);
    juce::ValueTree child ("Child");
    child.appendChild (juce::ValueTree ("Grandchild"), nullptr);
    root.appendChild (child, nullptr);

    const auto expected = "Root  [forty=" + juce::String::repeatedString ("a", 40)
                        + ", fortyOne=" + juce::String::repeatedString ("b", 37) + "..."
                        + ", korean=" + juce::String::repeatedString (juce::String::fromUTF8 ("가"), 37) + "..."
                        + ", none=<binary:0>, list=<array:3>, half=0.5]\n"
                          "  Child\n"
                          "    Grandchild\n";
    EXPECT_EQ (vornconv::describeValueTree (root, 0, 12), expected);
    EXPECT_EQ (vornconv::describeValueTree (child, 1, 1), "  Child\n");
    EXPECT_EQ (vornconv::describeValueTree (child, 2, 1), "");
}

TEST (ValueTreeDump, ReadsAHandWrittenStream)
{
    juce::ValueTree tree;
    juce::String error;
    ASSERT_TRUE (readBlock (hexBytes ("41000101700001050107000000010142000101730001070568656c6c6f0000"), tree, error)) << error;
    EXPECT_EQ (vornconv::describeValueTree (tree, 0, 12), "A  [p=7]\n  B  [s=hello]\n");
}

} // namespace
