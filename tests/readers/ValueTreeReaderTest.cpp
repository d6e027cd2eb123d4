#include "model/TestHooks.h"
#include "readers/ValueTreeDump.h"
#include "readers/ValueTreeReader.h"

#include "TestSupport.h"
#include "ValueTreeBridge.h"

#include <gtest/gtest.h>

#include <cmath>

#include <functional>
#include <limits>
#include <string>

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

using vornconv::TreeNode;
using vorntest::fromJuce;
using vorntest::toJuce;

bool readBlock (const juce::MemoryBlock& bytes, TreeNode& tree, juce::String& error)
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
    TreeNode tree;
    juce::String error;
    ASSERT_TRUE (readBlock (bytes, tree, error)) << error;
    EXPECT_TRUE (toJuce (tree).isEquivalentTo (original));
    EXPECT_EQ (vornconv::propertyValue (tree, "big"), juce::var ((juce::int64) 1 << 40));
    EXPECT_TRUE (vornconv::propertyValue (tree, "big").isInt64());
    ASSERT_NE (vornconv::findProperty (tree, "blob"), nullptr);
    ASSERT_NE (vornconv::findProperty (tree, "blob")->getBinaryData(), nullptr);
    EXPECT_EQ (vornconv::findProperty (tree, "blob")->getBinaryData()->getSize(), 5u);

    // Every proper prefix is truncated input, and a single extra byte is trailing data.
    for (size_t cut = 0; cut < bytes.getSize(); ++cut)
    {
        TreeNode partial;
        EXPECT_FALSE (vornconv::readValueTreeBytes (bytes.getData(), cut, partial, error)) << "prefix " << cut;
        EXPECT_FALSE (vornconv::isValidTree (partial));
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
        TreeNode tree;
        juce::String error;
        EXPECT_FALSE (readBlock (hexBytes (c.hex), tree, error)) << c.what;
        EXPECT_FALSE (vornconv::isValidTree (tree)) << c.what;
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
    TreeNode tree;
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
    TreeNode tree;
    juce::String error;
    EXPECT_FALSE (vornconv::readValueTreeFile (temp.getFile(), tree, error));
    ASSERT_TRUE (temp.getFile().replaceWithData ("", 0));
    EXPECT_FALSE (vornconv::readValueTreeFile (temp.getFile(), tree, error));
    const auto bytes = streamOf (everyKindOfValue());
    ASSERT_TRUE (temp.getFile().replaceWithData (bytes.getData(), bytes.getSize()));
    ASSERT_TRUE (vornconv::readValueTreeFile (temp.getFile(), tree, error)) << error;
    EXPECT_EQ (tree.children.size(), 2u);
}

// A project read through windows is proven unchanged once it is read to its end: one byte changed
// in place after the last window, the size kept, refuses the whole file as unreadable.
TEST (ValueTreeReader, AFileChangedWhileItIsReadIsRefused)
{
    vorntest::TempFolder tmp;
    const auto file = tmp.file ("project.rack2");
    juce::ValueTree root ("Project");
    root.setProperty ("chunkData", juce::var (juce::MemoryBlock ((size_t) 3 << 18, true)), nullptr);
    const auto bytes = streamOf (root);
    for (bool changed : { false, true })
    {
        ASSERT_TRUE (file.replaceWithData (bytes.getData(), bytes.getSize()));
        ASSERT_TRUE (vorntest::setFileTime (file, 1500000000, 0));
        vornconv::testHooks::afterFileRead = changed ? vornconv::testHooks::changeOneByteInPlace : nullptr;
        TreeNode tree;
        juce::String error;
        auto fault = vornconv::TreeReadFault::malformed;
        const bool read = vornconv::readValueTreeFile (file, tree, error, fault);
        vornconv::testHooks::afterFileRead = nullptr;
        EXPECT_EQ (read, ! changed) << error;
        if (changed)
        {
            EXPECT_EQ (error, "file changed while it was read: " + file.getFullPathName());
            EXPECT_EQ (fault, vornconv::TreeReadFault::unreadableFile);
        }
    }
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
    EXPECT_EQ (vornconv::describeValueTree (fromJuce (root), 0, 12), expected);
    EXPECT_EQ (vornconv::describeValueTree (fromJuce (child), 1, 1), "  Child\n");
    EXPECT_EQ (vornconv::describeValueTree (fromJuce (child), 2, 1), "");

    // A file may hold numbers that are not finite; JUCE's own text of them is undefined.
    vornconv::TreeNode odd;
    odd.type = "Odd";
    for (const auto& [name, value] : { std::pair<const char*, double> { "n", std::nan ("") },
                                       { "p", HUGE_VAL }, { "m", -HUGE_VAL } })
        odd.properties.push_back ({ name, value });
    EXPECT_EQ (vornconv::describeValueTree (odd, 0, 1), "Odd  [n=nan, p=inf, m=-inf]\n");
}

// Every property read as the kind it must hold, and nothing converted from another kind; the text
// of any value without JUCE's undefined text of a double that is not finite.
TEST (ValueTreeReader, ReadsPropertiesAsTheKindTheyMustHold)
{
    using vornconv::PropertyRead;
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = HUGE_VAL;
    const char blob[] = { 1, 2, 3 };
    struct Case
    {
        const char* what;
        juce::var value;
        PropertyRead text, integer, number;
        juce::int64 asInteger;
        const char* shown;
    };
    using R = PropertyRead;
    const Case cases[] = {
        { "text", "12", R::read, R::wrongKind, R::wrongKind, 0, "12" },
        { "int", -7, R::wrongKind, R::read, R::read, -7, "-7" },
        { "int64", (juce::int64) 1 << 40, R::wrongKind, R::read, R::read, (juce::int64) 1 << 40, "1099511627776" },
        { "whole double", 2.0, R::wrongKind, R::read, R::read, 2, "2.0" },
        { "fraction", 0.5, R::wrongKind, R::wrongKind, R::read, 0, "0.5" },
        { "-2^63", -9223372036854775808.0, R::wrongKind, R::read, R::read, std::numeric_limits<juce::int64>::min(), "-9.223372036854776e18" },
        { "2^63", 9223372036854775808.0, R::wrongKind, R::wrongKind, R::read, 0, "9.223372036854776e18" },
        { "NaN", nan, R::wrongKind, R::wrongKind, R::wrongKind, 0, "nan" },
        { "infinity", inf, R::wrongKind, R::wrongKind, R::wrongKind, 0, "inf" },
        { "-infinity", -inf, R::wrongKind, R::wrongKind, R::wrongKind, 0, "-inf" },
        { "bool", true, R::wrongKind, R::wrongKind, R::wrongKind, 0, "1" },
        { "binary", juce::var (blob, sizeof (blob)), R::wrongKind, R::wrongKind, R::wrongKind, 0, "<binary:3>" },
        { "array", juce::Array<juce::var> { 1, 2 }, R::wrongKind, R::wrongKind, R::wrongKind, 0, "<array:2>" },
        { "undefined", juce::var::undefined(), R::wrongKind, R::wrongKind, R::wrongKind, 0, "undefined" },
        { "void", juce::var(), R::wrongKind, R::wrongKind, R::wrongKind, 0, "" },
    };
    for (const auto& c : cases)
    {
        TreeNode node { "Node", { { "p", c.value } }, {} };
        juce::String text;
        juce::int64 integer = -1;
        double number = -1;
        EXPECT_EQ (vornconv::readTextProperty (node, "p", text), c.text) << c.what;
        EXPECT_EQ (vornconv::readIntegerProperty (node, "p", integer), c.integer) << c.what;
        EXPECT_EQ (vornconv::readNumberProperty (node, "p", number), c.number) << c.what;
        EXPECT_EQ (integer, c.asInteger) << c.what;
        EXPECT_EQ (text, c.text == R::read ? c.value.toString() : juce::String()) << c.what;
        if (c.number != R::read)
            EXPECT_EQ (number, 0.0) << c.what;
        EXPECT_EQ (vornconv::valueText (c.value), c.shown) << c.what;
    }

    const TreeNode node { "Chain", {}, {} };
    juce::String text;
    EXPECT_EQ (vornconv::readTextProperty (node, "name", text), PropertyRead::absent);
    EXPECT_EQ (vornconv::propertyKindFault (node, "name", vornconv::PropertyKind::text), "Chain property name is not text");
    EXPECT_EQ (vornconv::propertyKindFault (node, "id", vornconv::PropertyKind::integer), "Chain property id is not an integer");
    EXPECT_EQ (vornconv::propertyKindFault (node, "gain", vornconv::PropertyKind::number), "Chain property gain is not a finite number");
}

TEST (ValueTreeDump, ReadsAHandWrittenStream)
{
    TreeNode tree;
    juce::String error;
    ASSERT_TRUE (readBlock (hexBytes ("41000101700001050107000000010142000101730001070568656c6c6f0000"), tree, error)) << error;
    EXPECT_EQ (vornconv::describeValueTree (tree, 0, 12), "A  [p=7]\n  B  [s=hello]\n");
}

} // namespace

namespace
{

// One node of type N in the stream form, with the properties given by name and value writer, and
// no children: built by hand, since JUCE itself takes quadratic time over long property lists.
juce::MemoryBlock nodeWith (size_t count, const std::function<std::string (size_t)>& name,
                            const std::function<void (juce::MemoryOutputStream&, size_t)>& value)
{
    juce::MemoryOutputStream out;
    out.write ("N", 2);
    out.writeCompressedInt ((int) count);
    for (size_t i = 0; i < count; ++i)
    {
        const auto text = name (i);
        out.write (text.c_str(), text.size() + 1);
        value (out, i);
    }
    out.writeCompressedInt (0);
    return out.getMemoryBlock();
}

void writeDouble (juce::MemoryOutputStream& out, size_t) { juce::var (0.5).writeToStream (out); }
void writeInt (juce::MemoryOutputStream& out, size_t) { juce::var (1).writeToStream (out); }
std::string numbered (size_t i) { return "P" + std::to_string (i); }

juce::ValueTree withEveryOperation()
{
    auto tree = everyKindOfValue();
    tree.setProperty ("undefined", juce::var::undefined(), nullptr);
    tree.setProperty ("void", juce::var(), nullptr);
    tree.setProperty ("emptyList", juce::Array<juce::var>(), nullptr);
    tree.setProperty ("minimum", (juce::int64) std::numeric_limits<juce::int64>::min(), nullptr);
    tree.setProperty ("negativeInt", std::numeric_limits<int>::min(), nullptr);
    tree.getChild (0).setProperty ("nested", juce::Array<juce::var> { juce::Array<juce::var> { juce::var::undefined(), "x" }, -7 }, nullptr);
    return tree;
}

} // namespace

TEST (ValueTreeWriter, WritesTheBytesJuceWrites)
{
    // Read and written back, every kind of value and every shape comes out byte for byte.
    for (const auto& tree : { everyKindOfValue(), withEveryOperation(), juce::ValueTree ("Bare") })
    {
        const auto expected = streamOf (tree);
        juce::MemoryOutputStream written;
        ASSERT_TRUE (vornconv::writeValueTree (fromJuce (tree), written));
        EXPECT_TRUE (written.getMemoryBlock() == expected) << tree.getType().toString();
    }
    juce::MemoryOutputStream invalid, juceInvalid;
    EXPECT_TRUE (vornconv::writeValueTree (TreeNode(), invalid));
    juce::ValueTree().writeToStream (juceInvalid);
    EXPECT_TRUE (invalid.getMemoryBlock() == juceInvalid.getMemoryBlock());

    // Setting keeps a property in its place (with its new kind), a new one goes last, removing
    // keeps the order of the rest: as JUCE does.
    auto juceTree = everyKindOfValue();
    auto tree = fromJuce (juceTree);
    const std::pair<const char*, juce::var> changes[] = {
        { "double", juce::var ((juce::int64) 3) }, { "added", "new" }, { "int", 8 }, { "text", juce::var() },
    };
    for (const auto& [name, value] : changes)
    {
        juceTree.setProperty (name, value, nullptr);
        vornconv::setProperty (tree, name, value);
    }
    juceTree.removeProperty ("yes", nullptr);
    vornconv::removeProperty (tree, "yes");
    vornconv::removeProperty (tree, "absent");
    juce::MemoryOutputStream changed;
    ASSERT_TRUE (vornconv::writeValueTree (tree, changed));
    EXPECT_TRUE (changed.getMemoryBlock() == streamOf (juceTree));
}

TEST (ValueTreeReader, RefusesCountsAndSizesBeyondTheLimitsAsTheyAreRead)
{
    struct Case
    {
        const char* what;
        juce::MemoryBlock bytes;
        bool accepted;
    };
    const auto binary = [] (juce::int64 size) {
        return nodeWith (1, [] (size_t) { return std::string ("chunkData"); }, [size] (juce::MemoryOutputStream& out, size_t) {
            out.writeCompressedInt ((int) size + 1);
            out.writeByte (8);
            out.writeRepeatedByte (0x5a, (size_t) size);
        });
    };
    const auto array = [] (int count) {
        return nodeWith (1, [] (size_t) { return std::string ("list"); }, [count] (juce::MemoryOutputStream& out, size_t) {
            juce::MemoryOutputStream elements;
            elements.writeCompressedInt (count);
            elements.writeRepeatedByte (0, (size_t) count);   // void values
            out.writeCompressedInt (1 + (int) elements.getDataSize());
            out.writeByte (7);
            out << elements;
        });
    };
    const Case cases[] = {
        { "1,000,000 properties", nodeWith (1000000, numbered, writeDouble), true },
        { "1,000,001 properties", nodeWith (1000001, numbered, writeDouble), false },
        { "a binary value of 64 MiB", binary (vornconv::maxValueTreeBinaryBytes), true },
        { "a binary value of 64 MiB and one byte", binary (vornconv::maxValueTreeBinaryBytes + 1), false },
        { "1,000,000 array elements", array (1000000), true },
        { "1,000,001 array elements", array (1000001), false },
    };
    for (const auto& c : cases)
    {
        TreeNode tree;
        juce::String error;
        auto fault = vornconv::TreeReadFault::unreadableFile;
        EXPECT_EQ (vornconv::readValueTreeBytes (c.bytes.getData(), c.bytes.getSize(), tree, error, fault), c.accepted)
            << c.what << ": " << error;
        if (! c.accepted)
            EXPECT_EQ (fault, vornconv::TreeReadFault::overLimit) << c.what;
        EXPECT_EQ (vornconv::isValidTree (tree), c.accepted) << c.what;
    }

    // The million properties are all there, in order.
    TreeNode tree;
    juce::String error;
    const auto million = nodeWith (1000000, numbered, writeDouble);
    ASSERT_TRUE (vornconv::readValueTreeBytes (million.getData(), million.getSize(), tree, error)) << error;
    ASSERT_EQ (tree.properties.size(), 1000000u);
    EXPECT_EQ (tree.properties.back().name, "P999999");
    EXPECT_EQ ((double) tree.properties.back().value, 0.5);

    // A stream that is merely broken is no limit case.
    auto fault = vornconv::TreeReadFault::overLimit;
    EXPECT_FALSE (vornconv::readValueTreeBytes (million.getData(), million.getSize() - 1, tree, error, fault));
    EXPECT_EQ (fault, vornconv::TreeReadFault::malformed);
}

TEST (ValueTreeReader, RefusesARepeatedNameInAnyPropertyList)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> names;
        bool unique;
    };
    std::vector<std::string> run;
    for (size_t i = 0; i < 40; ++i)
        run.push_back (numbered (i));
    const auto with = [&run] (size_t at, const std::string& name) {
        auto names = run;
        names[at] = name;
        return names;
    };
    std::vector<std::string> words;
    for (size_t i = 0; i < 40; ++i)
        words.push_back (std::string ("w") + (char) ('a' + i % 26) + (char) ('a' + i / 26));
    const Case cases[] = {
        { "P0 .. P39", run, true },
        { "P7 twice", with (39, "P7"), false },
        { "P0 twice, first and last", with (39, "P0"), false },
        { "an index beyond the count", with (39, "P400"), true },
        { "a name with a leading zero beside its plain twin", with (39, "P01"), true },
        { "another prefix", with (20, "Q20"), true },
        { "another prefix, repeated", [&] { auto n = with (20, "Q20"); n[30] = "Q20"; return n; }(), false },
        { "words", words, true },
        { "words with a repeat", [&] { auto n = words; n[33] = n[2]; return n; }(), false },
        { "three properties, the last repeating the first", { "a", "b", "a" }, false },
    };
    for (const auto& c : cases)
    {
        const auto bytes = nodeWith (c.names.size(), [&c] (size_t i) { return c.names[i]; }, writeInt);
        TreeNode tree;
        juce::String error;
        EXPECT_EQ (vornconv::readValueTreeBytes (bytes.getData(), bytes.getSize(), tree, error), c.unique) << c.what << ": " << error;
        if (! c.unique)
            EXPECT_TRUE (error.contains ("repeats")) << c.what << ": " << error;
    }
}

namespace
{

struct TreeOutcome
{
    bool ok = false;
    juce::String error;
    vornconv::TreeReadFault fault = vornconv::TreeReadFault::malformed;
    std::string tree; // the stream form of what was read
};

TreeOutcome outcome (bool ok, const juce::String& error, vornconv::TreeReadFault fault, const TreeNode& tree)
{
    TreeOutcome o { ok, error, fault, {} };
    juce::MemoryOutputStream out;
    vornconv::writeValueTree (tree, out);
    o.tree.assign (static_cast<const char*> (out.getData()), out.getDataSize());
    return o;
}

TreeOutcome readAsBytes (const juce::MemoryBlock& bytes)
{
    TreeNode tree;
    juce::String error;
    auto fault = vornconv::TreeReadFault::unreadableFile;
    const bool ok = vornconv::readValueTreeBytes (bytes.getData(), bytes.getSize(), tree, error, fault);
    return outcome (ok, error, fault, tree);
}

TreeOutcome readAsFile (const juce::MemoryBlock& bytes, const juce::File& file)
{
    EXPECT_TRUE (file.replaceWithData (bytes.getData(), bytes.getSize()));
    TreeNode tree;
    juce::String error;
    auto fault = vornconv::TreeReadFault::overLimit;
    const bool ok = vornconv::readValueTreeFile (file, tree, error, fault);
    return outcome (ok, error, fault, tree);
}

juce::var randomBinary (size_t n, int seed)
{
    juce::Random r (seed);
    juce::MemoryBlock b (n, false);
    for (size_t i = 0; i < n; ++i)
        b[i] = (char) r.nextInt (256);
    return juce::var (std::move (b));
}

// A tree whose items straddle the windows a file is read through: many small properties, a binary
// value over several windows, a name, a text and an array each longer than a window, and children
// after them.
juce::MemoryBlock straddlingStream()
{
    TreeNode root;
    root.type = "Project";
    for (int i = 0; i < 20000; ++i)
        root.properties.push_back ({ "p" + std::to_string (i), i });
    root.properties.push_back ({ "chunkData", randomBinary (700000, 1) });
    root.properties.push_back ({ std::string (300000, 'n'), "x" });
    root.properties.push_back ({ "text", juce::String::repeatedString (juce::String::fromUTF8 ("채널 "), 100000) });
    juce::Array<juce::var> list;
    for (int i = 0; i < 100000; ++i)
        list.add (i);
    root.properties.push_back ({ "list", list });
    TreeNode chain;
    chain.type = "Chain";
    chain.properties.push_back ({ "small", randomBinary (10, 2) });
    chain.properties.push_back ({ "large", randomBinary (200000, 3) });
    chain.children.resize (3);
    for (auto& child : chain.children)
        child.type = "Plugin";
    root.children = { chain, chain };
    juce::MemoryOutputStream out;
    EXPECT_TRUE (vornconv::writeValueTree (root, out));
    return out.getMemoryBlock();
}

} // namespace

TEST (ValueTreeReader, FilesReadAsTheirBytes)
{
    vorntest::TempFolder tmp;
    const auto file = tmp.file ("project.rack2");
    const auto bytes = straddlingStream();
    const auto whole = readAsFile (bytes, file);
    ASSERT_TRUE (whole.ok) << whole.error;
    EXPECT_EQ (whole.tree, std::string (static_cast<const char*> (bytes.getData()), bytes.getSize()));

    // Cut at every window edge and at many places between; corrupted anywhere; trailing data.
    struct Case { std::string what; juce::MemoryBlock bytes; };
    std::vector<Case> cases;
    const size_t window = (size_t) 1 << 18;
    std::vector<size_t> cuts { 1, 2, 7, 100 };
    for (size_t edge = window; edge < bytes.getSize(); edge += window)
        for (size_t at : { edge - 1, edge, edge + 1 })
            cuts.push_back (at);
    for (size_t at = 1000; at < bytes.getSize(); at += 65537)
        cuts.push_back (at);
    cuts.push_back (bytes.getSize() - 1);
    for (auto at : cuts)
        cases.push_back ({ "cut at " + std::to_string (at), juce::MemoryBlock (bytes.getData(), at) });
    for (size_t at = 3; at < bytes.getSize(); at += 97003)
    {
        auto corrupted = bytes;
        corrupted[at] = (char) 0xFF;
        cases.push_back ({ "0xFF at " + std::to_string (at), corrupted });
    }
    auto longer = bytes;
    longer.append ("\0\0", 2);
    cases.push_back ({ "two trailing bytes", longer });
    cases.push_back ({ "a million and one elements",
                       nodeWith (1, [] (size_t) { return std::string ("list"); }, [] (juce::MemoryOutputStream& out, size_t) {
                           juce::MemoryOutputStream elements;
                           elements.writeCompressedInt (1000001);
                           elements.writeRepeatedByte (0, 1000001);
                           out.writeCompressedInt (1 + (int) elements.getDataSize());
                           out.writeByte (7);
                           out << elements;
                       }) });

    int refused = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto expected = readAsBytes (c.bytes);
        const auto read = readAsFile (c.bytes, file);
        EXPECT_EQ (read.ok, expected.ok);
        EXPECT_EQ (read.error, expected.error);
        EXPECT_EQ (read.fault, expected.fault);
        EXPECT_EQ (read.tree, expected.tree);
        refused += expected.ok ? 0 : 1;
    }
    EXPECT_GT (refused, (int) cuts.size());
}
