#include "readers/ReaperRppReader.h"

#include <gtest/gtest.h>

using namespace vornconv;

namespace
{

juce::StringArray linesOf (std::initializer_list<const char*> lines)
{
    juce::StringArray out;
    for (auto* l : lines)
        out.add (juce::String::fromUTF8 (l));
    return out;
}

RppNode bodyNode (std::initializer_list<const char*> lines)
{
    RppNode node;
    node.lines = linesOf (lines);
    return node;
}

} // namespace

TEST (ReaperRppText, TokeniseFollowsQuotingRules)
{
    struct Case { const char* line; std::vector<std::string> tokens; };
    const Case cases[] = {
        { "NAME \"a b\"", { "NAME", "a b" } },
        { "VST \"\" x", { "VST", "x" } },
        { "AUXRECV 0 -1:U 31 -1 ''", { "AUXRECV", "0", "-1:U", "31", "-1", "''" } },
        { "a\"b c\"d", { "ab cd" } },
        { "NAME \"open ended", { "NAME", "open ended" } },
        { "REC 0 -1 1 0 0 0 0 0", { "REC", "0", "-1", "1", "0", "0", "0", "0", "0" } },
        { "NAME 'say hi'", { "NAME", "'say", "hi'" } },
        { "x\t\ty", { "x", "y" } },
        { "", {} },
    };
    for (const auto& c : cases)
    {
        const auto tokens = tokenise (juce::String::fromUTF8 (c.line));
        std::vector<std::string> got;
        for (const auto& t : tokens)
            got.push_back (t.toStdString());
        EXPECT_EQ (got, c.tokens) << c.line;
    }
}

TEST (ReaperRppText, ParseBlockBuildsTreeWithBypassAndFxid)
{
    const auto lines = linesOf ({ "<ROOT 0.1 \"v 7\"", "A 1", "<FXCHAIN", "SHOW 0", "BYPASS 1 0 0", "<VST \"VST3: X (Y)\" x.vst3",
                                  "QUJD", ">", "FXID {abc}", "<JS j", ">", "FXID a b", "BYPASS 0 0 0", ">", "B 2", ">" });
    int index = 0;
    bool ok = true;
    const auto root = parseBlock (lines, index, ok);
    EXPECT_TRUE (ok);
    EXPECT_EQ (index, lines.size());
    EXPECT_EQ (root.tag, "ROOT");
    EXPECT_EQ (root.params, linesOf ({ "0.1", "v 7" }));
    EXPECT_EQ (root.lines, linesOf ({ "A 1", "B 2" }));
    ASSERT_EQ (root.children.size(), 1u);
    const auto& chain = root.children[0];
    EXPECT_EQ (chain.lines, linesOf ({ "SHOW 0", "BYPASS 1 0 0", "FXID {abc}", "FXID a b", "BYPASS 0 0 0" }));
    ASSERT_EQ (chain.children.size(), 2u);
    EXPECT_EQ (chain.children[0].tag, "VST");
    EXPECT_EQ (chain.children[0].bypass, linesOf ({ "1", "0", "0" }));
    EXPECT_EQ (chain.children[0].fxid, "{abc}");
    EXPECT_EQ (chain.children[0].lines, linesOf ({ "QUJD" }));
    // The BYPASS values went to the first plug-in and were then cleared; a three-token FXID is ignored.
    EXPECT_TRUE (chain.children[1].bypass.isEmpty());
    EXPECT_TRUE (chain.children[1].fxid.isEmpty());

    EXPECT_EQ (countCommand (chain, "FXID"), 2);
    EXPECT_EQ (countCommand (chain, "BYPASS"), 2);
    EXPECT_EQ (findCommand (chain, "BYPASS"), linesOf ({ "1", "0", "0" }));
    EXPECT_TRUE (findCommand (chain, "NONE").isEmpty());
    EXPECT_TRUE (hasExactUniqueCommand (chain, "SHOW", "SHOW 0"));
    EXPECT_FALSE (hasExactUniqueCommand (chain, "SHOW", "SHOW 1"));
    EXPECT_FALSE (hasExactUniqueCommand (chain, "BYPASS", "BYPASS 1 0 0"));
}

TEST (ReaperRppText, ParseBlockReportsMissingCloseAndKeepsPartialTree)
{
    const auto lines = linesOf ({ "<", "<A", "x", ">", "<B", "y" });
    int index = 0;
    bool ok = true;
    const auto root = parseBlock (lines, index, ok);
    EXPECT_FALSE (ok);
    EXPECT_TRUE (root.tag.isEmpty());
    ASSERT_EQ (root.children.size(), 2u);
    EXPECT_EQ (root.children[1].tag, "B");
    EXPECT_EQ (root.children[1].lines, linesOf ({ "y" }));
}

TEST (ReaperRppText, ParseBlockSurvivesHostileNesting)
{
    juce::StringArray lines;
    for (int i = 0; i < 200000; ++i)
        lines.add ("<A");
    for (int i = 0; i < 200000; ++i)
        lines.add (">");
    int index = 0;
    bool ok = true;
    const auto root = parseBlock (lines, index, ok);
    EXPECT_FALSE (ok);
    EXPECT_EQ (index, lines.size());

    // Within the limit, nesting parses normally.
    juce::StringArray shallow;
    for (int i = 0; i < maxRppBlockDepth; ++i)
        shallow.add ("<A");
    for (int i = 0; i < maxRppBlockDepth; ++i)
        shallow.add (">");
    index = 0;
    ok = true;
    parseBlock (shallow, index, ok);
    EXPECT_TRUE (ok);
    EXPECT_EQ (index, shallow.size());
}

TEST (ReaperRppText, StrictNumbers)
{
    struct IntCase { const char* text; bool ok; int value; };
    const IntCase ints[] = {
        { "-2147483648", true, std::numeric_limits<int>::min() }, { "2147483647", true, 2147483647 },
        { "007", true, 7 }, { "-0", true, 0 }, { "2147483648", false, 0 }, { "-2147483649", false, 0 },
        { "+5", false, 0 }, { "05x", false, 0 }, { "", false, 0 }, { "-", false, 0 }, { "1.0", false, 0 },
        { "99999999999999999999", false, 0 },
    };
    for (const auto& c : ints)
    {
        int value = 12345;
        EXPECT_EQ (parseStrictInt (c.text, value), c.ok) << c.text;
        EXPECT_EQ (value, c.ok ? c.value : 12345) << c.text;
    }

    struct DoubleCase { const char* text; bool ok; double value; };
    const DoubleCase doubles[] = {
        { "1.5", true, 1.5 }, { "-1", true, -1.0 }, { "1e3", true, 1000.0 }, { "1e999", false, 0 },
        { "nan", false, 0 }, { "inf", false, 0 }, { "", false, 0 }, { "1.5x", false, 0 }, { "0.5 ", false, 0 },
    };
    for (const auto& c : doubles)
    {
        double value = -7.0;
        EXPECT_EQ (parseStrictDouble (c.text, value), c.ok) << c.text;
        EXPECT_EQ (value, c.ok ? c.value : -7.0) << c.text;
    }

    struct UnsignedCase { const char* text; bool ok; juce::uint32 value; };
    const UnsignedCase unsigneds[] = {
        { "4294967295", true, 4294967295u }, { "0", true, 0 }, { "4294967296", false, 0 },
        { "-1", false, 0 }, { "", false, 0 }, { "12a", false, 0 }, { "184467440737095516160", false, 0 },
    };
    for (const auto& c : unsigneds)
    {
        juce::uint32 value = 77;
        EXPECT_EQ (parseUnsignedDecimal (c.text, value), c.ok) << c.text;
        EXPECT_EQ (value, c.ok ? c.value : 77u) << c.text;
    }
}

TEST (ReaperRppText, Base64BodyIsStrictPerLine)
{
    struct Case { std::vector<const char*> lines; const char* error; std::vector<juce::uint8> bytes; };
    const Case cases[] = {
        { { "AAAA", "AA==" }, nullptr, { 0, 0, 0, 0 } },
        { { "QUJD", "RA==" }, nullptr, { 'A', 'B', 'C', 'D' } },
        { { "A" }, "base64 line length is invalid", {} },
        { { "QUJD", "" }, "base64 line length is invalid", { 'A', 'B', 'C' } },
        { { "AB=C" }, "base64 line contains invalid characters or padding", {} },
        { { "QUJD", "AB*C" }, "base64 line contains invalid characters or padding", { 'A', 'B', 'C' } },
        { { "A===" }, "base64 line has excessive padding", {} },
        { { "AB==" }, "base64 line is not canonical", {} },
        { { "QUJD", "QUI=", "QQ=B" }, "base64 line contains invalid characters or padding", { 'A', 'B', 'C', 'A', 'B' } },
        { { "QU", "JD" }, "base64 line length is invalid", {} },
        { { "QUJ", "D" }, "base64 line length is invalid", {} },
        { {}, "VST3 state block is empty", {} },
    };
    for (const auto& c : cases)
    {
        RppNode node;
        for (auto* l : c.lines)
            node.lines.add (l);
        juce::MemoryBlock out ("stale", 5);
        juce::String error;
        const bool ok = decodeReaperPluginLines (node, out, error);
        const std::string where = node.lines.joinIntoString ("|").toStdString();
        EXPECT_EQ (ok, c.error == nullptr) << where;
        if (c.error != nullptr)
            EXPECT_EQ (error, c.error) << where;
        const auto* data = static_cast<const juce::uint8*> (out.getData());
        EXPECT_EQ (std::vector<juce::uint8> (data, data + out.getSize()), c.bytes) << where;
    }
}

TEST (ReaperRppText, Base64BodyLimitCountsTheTotalBeforeDecoding)
{
    // The second line alone would fit in 64 MiB; together with the first it does not.
    const int units = (int) ((maxReaperPluginStateBytes - 3) / 3 + 1);
    RppNode node;
    node.lines.add ("QUJD");
    node.lines.add (juce::String::repeatedString ("AAAA", units));
    juce::MemoryBlock out;
    juce::String error;
    EXPECT_FALSE (decodeReaperPluginLines (node, out, error));
    EXPECT_EQ (error, "decoded VST3 state exceeds limit");
    EXPECT_EQ (out, juce::MemoryBlock ("ABC", 3));
}
