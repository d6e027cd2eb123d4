#include "readers/ReaperRppText.h"

#include <gtest/gtest.h>

using namespace vornconv;

namespace
{

std::vector<std::string> strings (std::initializer_list<const char*> items)
{
    return std::vector<std::string> (items.begin(), items.end());
}

std::string joinLines (std::initializer_list<const char*> lines)
{
    std::string text;
    for (auto* l : lines)
        text += std::string (l) + "\n";
    return text;
}

// A text and its parsed block tree; the document refers into the text.
struct Parsed
{
    std::string text;
    RppDocument document;
    bool ok = false;
    size_t pos = 0;

    explicit Parsed (std::string t) : text (std::move (t))
    {
        ok = parseRppBlock (text, pos, document);
    }

    RppNode root() const { return rppRoot (document); }
};

std::vector<std::string> bodyLines (RppNode node)
{
    std::vector<std::string> lines;
    auto walk = startRppWalk (node);
    RppItem item;
    while (nextRppItem (walk, item))
        if (! item.isBlock)
            lines.emplace_back (item.line);
    return lines;
}

std::vector<RppUnit> units (RppNode node)
{
    std::vector<RppUnit> all;
    forEachRppUnit (node, [&] (const RppUnit& unit) { all.push_back (unit); });
    return all;
}

// A plug-in block whose body is the given lines.
std::string pluginBlock (const std::vector<std::string>& lines)
{
    std::string text = "<VST x\n";
    for (const auto& l : lines)
        text += "  " + l + "\n";
    return text + ">\n";
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
        EXPECT_EQ (tokenise (c.line), c.tokens) << c.line;
        EXPECT_EQ (firstTokenIs (c.line, c.tokens.empty() ? std::string ("x") : c.tokens[0]), ! c.tokens.empty()) << c.line;
    }
    // A zero byte is an ordinary character of a token: it neither ends the line nor the token.
    EXPECT_EQ (tokenise (std::string ("NAME a\0b c", 10)), (std::vector<std::string> { "NAME", std::string ("a\0b", 3), "c" }));
    EXPECT_TRUE (firstTokenIs ("\"NA\"ME x", "NAME"));
    EXPECT_FALSE (firstTokenIs ("NAMEX x", "NAME"));
    EXPECT_FALSE (firstTokenIs ("\"\"", ""));
}

TEST (ReaperRppText, LinesAreTrimmedSpansWithoutBlankOnes)
{
    const std::string text = "  a b \r\n\r\n\t\nc\rd\n \x0b\x0c e";
    std::vector<std::string> lines;
    size_t pos = 0;
    std::string_view line;
    while (nextRppLine (text, pos, line))
    {
        lines.emplace_back (line);
        EXPECT_TRUE (line.data() >= text.data() && line.data() + line.size() <= text.data() + text.size()) << "a span, not a copy";
    }
    EXPECT_EQ (lines, strings ({ "a b", "c", "d", "e" }));
    EXPECT_EQ (pos, text.size());
}

TEST (ReaperRppText, ParseBlockBuildsTreeWithBypassAndFxid)
{
    const Parsed parsed (joinLines ({ "<ROOT 0.1 \"v 7\"", "A 1", "<FXCHAIN", "SHOW 0", "BYPASS 1 0 0", "<VST \"VST3: X (Y)\" x.vst3",
                                      "QUJD", ">", "FXID {abc}", "<JS j", ">", "FXID a b", "BYPASS 0 0 0", ">", "B 2", ">" }));
    EXPECT_TRUE (parsed.ok);
    EXPECT_EQ (parsed.pos, parsed.text.size());
    const auto root = parsed.root();
    EXPECT_EQ (rppTag (root), "ROOT");
    EXPECT_EQ (rppParams (root), strings ({ "0.1", "v 7" }));
    EXPECT_EQ (bodyLines (root), strings ({ "A 1", "B 2" }));
    const auto rootUnits = units (root);
    ASSERT_EQ (rootUnits.size(), 1u);
    const auto chain = rootUnits[0].block;
    EXPECT_EQ (bodyLines (chain), strings ({ "SHOW 0", "BYPASS 1 0 0", "FXID {abc}", "FXID a b", "BYPASS 0 0 0" }));
    const auto plugins = units (chain);
    ASSERT_EQ (plugins.size(), 2u);
    EXPECT_EQ (rppTag (plugins[0].block), "VST");
    EXPECT_EQ (plugins[0].bypass, strings ({ "1", "0", "0" }));
    EXPECT_EQ (plugins[0].fxid, "{abc}");
    EXPECT_EQ (bodyLines (plugins[0].block), strings ({ "QUJD" }));
    // The BYPASS values went to the first plug-in and were then cleared; a three-token FXID is ignored.
    EXPECT_TRUE (plugins[1].bypass.empty());
    EXPECT_TRUE (plugins[1].fxid.empty());
    EXPECT_FALSE (rppHasChildren (plugins[1].block));
    EXPECT_TRUE (rppHasChildren (chain));

    EXPECT_EQ (countCommand (chain, "FXID"), 2);
    EXPECT_EQ (countCommand (chain, "BYPASS"), 2);
    EXPECT_EQ (findCommand (chain, "BYPASS"), strings ({ "1", "0", "0" }));
    EXPECT_TRUE (findCommand (chain, "NONE").empty());
    EXPECT_TRUE (hasExactUniqueCommand (chain, "SHOW", "SHOW 0"));
    EXPECT_FALSE (hasExactUniqueCommand (chain, "SHOW", "SHOW 1"));
    EXPECT_FALSE (hasExactUniqueCommand (chain, "BYPASS", "BYPASS 1 0 0"));
}

TEST (ReaperRppText, ParseBlockReportsMissingCloseAndKeepsPartialTree)
{
    const Parsed parsed (joinLines ({ "<", "<A", "x", ">", "<B", "y" }));
    EXPECT_FALSE (parsed.ok);
    EXPECT_TRUE (rppTag (parsed.root()).empty());
    const auto children = units (parsed.root());
    ASSERT_EQ (children.size(), 2u);
    EXPECT_EQ (rppTag (children[1].block), "B");
    EXPECT_EQ (bodyLines (children[1].block), strings ({ "y" }));
}

TEST (ReaperRppText, ParseBlockSurvivesHostileNesting)
{
    std::string deep;
    for (int i = 0; i < 200000; ++i)
        deep += "<A\n";
    for (int i = 0; i < 200000; ++i)
        deep += ">\n";
    const Parsed hostile (deep);
    EXPECT_FALSE (hostile.ok);
    EXPECT_EQ (hostile.pos, hostile.text.size());

    // Within the limit, nesting parses normally.
    std::string shallow;
    for (int i = 0; i < maxRppBlockDepth; ++i)
        shallow += "<A\n";
    for (int i = 0; i < maxRppBlockDepth; ++i)
        shallow += ">\n";
    const Parsed fine (shallow);
    EXPECT_TRUE (fine.ok);
    EXPECT_EQ (fine.pos, fine.text.size());
    EXPECT_EQ (fine.document.blocks[0].descendants, (juce::uint32) maxRppBlockDepth - 1);
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
    double value = -7.0;
    EXPECT_FALSE (parseStrictDouble (std::string ("1\0" "5", 3), value));

    struct UnsignedCase { const char* text; bool ok; juce::uint32 value; };
    const UnsignedCase unsigneds[] = {
        { "4294967295", true, 4294967295u }, { "0", true, 0 }, { "4294967296", false, 0 },
        { "-1", false, 0 }, { "", false, 0 }, { "12a", false, 0 }, { "184467440737095516160", false, 0 },
    };
    for (const auto& c : unsigneds)
    {
        juce::uint32 u = 77;
        EXPECT_EQ (parseUnsignedDecimal (c.text, u), c.ok) << c.text;
        EXPECT_EQ (u, c.ok ? c.value : 77u) << c.text;
    }
}

TEST (ReaperRppText, Base64BodyIsStrictPerLine)
{
    struct Case { std::vector<std::string> lines; const char* error; std::vector<juce::uint8> bytes; };
    const Case cases[] = {
        { { "AAAA", "AA==" }, nullptr, { 0, 0, 0, 0 } },
        { { "QUJD", "RA==" }, nullptr, { 'A', 'B', 'C', 'D' } },
        { { "QUJDRA==" }, nullptr, { 'A', 'B', 'C', 'D' } },
        { { "A" }, "base64 line length is invalid", {} },
        { { "QUJD", "QUJ" }, "base64 line length is invalid", { 'A', 'B', 'C' } },
        { { "AB=C" }, "base64 line contains invalid characters or padding", {} },
        { { "QUJD", "AB*C" }, "base64 line contains invalid characters or padding", { 'A', 'B', 'C' } },
        { { "A===" }, "base64 line has excessive padding", {} },
        { { "AB==" }, "base64 line is not canonical", {} },
        { { "QUJD", "QUK=" }, "base64 line is not canonical", { 'A', 'B', 'C' } },
        { { "QUJD", "QUI=", "QQ=B" }, "base64 line contains invalid characters or padding", { 'A', 'B', 'C', 'A', 'B' } },
        { { "QU", "JD" }, "base64 line length is invalid", {} },
        { { "QUJ", "D" }, "base64 line length is invalid", {} },
        { {}, "VST3 state block is empty", {} },
    };
    for (const auto& c : cases)
    {
        const Parsed parsed (pluginBlock (c.lines));
        ASSERT_TRUE (parsed.ok);
        juce::MemoryBlock out ("stale", 5);
        juce::String error;
        const bool ok = decodeReaperPluginLines (parsed.root(), out, error);
        std::string where;
        for (const auto& l : c.lines)
            where += l + "|";
        EXPECT_EQ (ok, c.error == nullptr) << where;
        if (c.error != nullptr)
            EXPECT_EQ (error, c.error) << where;
        const auto* data = static_cast<const juce::uint8*> (out.getData());
        EXPECT_EQ (std::vector<juce::uint8> (data, data + out.getSize()), c.bytes) << where;
    }

    // Lines of a nested block are not the plug-in's.
    const Parsed nested ("<VST x\n  QUJD\n  <CHILD\n    RA==\n  >\n>\n");
    juce::MemoryBlock out;
    juce::String error;
    ASSERT_TRUE (decodeReaperPluginLines (nested.root(), out, error)) << error;
    EXPECT_EQ (out, juce::MemoryBlock ("ABC", 3));

    // What the writer cuts decodes back, line by line.
    juce::MemoryBlock bytes;
    for (int i = 0; i < 1000; ++i)
        bytes.append (&i, 1);
    juce::StringArray lines;
    appendReaperBase64Lines (lines, bytes, "  ");
    ASSERT_EQ (lines.size(), 11);
    EXPECT_EQ (lines[0].length(), 130);
    EXPECT_EQ (lines[0], "  " + juce::Base64::toBase64 (bytes.getData(), 96));
    const Parsed written ("<VST x\n" + lines.joinIntoString ("\n").toStdString() + "\n>\n");
    ASSERT_TRUE (decodeReaperPluginLines (written.root(), out, error)) << error;
    EXPECT_EQ (out, bytes);
    EXPECT_EQ (reaperBase64 (bytes), juce::Base64::toBase64 (bytes.getData(), bytes.getSize()));
}

TEST (ReaperRppText, Base64BodyLimitCountsTheTotalBeforeDecoding)
{
    // The second line alone would fit in 64 MiB; together with the first it does not.
    const size_t units = (maxReaperPluginStateBytes - 3) / 3 + 1;
    std::string text = "<VST x\nQUJD\n";
    text.reserve (text.size() + units * 4 + 8);
    for (size_t i = 0; i < units; ++i)
        text += "AAAA";
    text += "\n>\n";
    const Parsed parsed (std::move (text));
    juce::MemoryBlock out;
    juce::String error;
    EXPECT_FALSE (decodeReaperPluginLines (parsed.root(), out, error));
    EXPECT_EQ (error, "decoded VST3 state exceeds limit");
    EXPECT_EQ (out, juce::MemoryBlock ("ABC", 3));
}

TEST (ReaperRppText, MarkerTextIsStrictUtf8WithoutZeroBytes)
{
    struct Case { const char* hex; bool ok; const char* text; };
    const Case cases[] = {
        { "-", true, "" },
        { "4B69636B", true, "Kick" },
        { "C3A9EAB080F09F8EB8", true, "\xc3\xa9\xea\xb0\x80\xf0\x9f\x8e\xb8" },
        { "C0AF", false, nullptr },        // an overlong "/"
        { "E080AF", false, nullptr },      // overlong in three bytes
        { "EDA080", false, nullptr },      // a surrogate
        { "F4908080", false, nullptr },    // above U+10FFFF
        { "C328", false, nullptr },        // a broken sequence
        { "4100", false, nullptr },        // a zero byte
        { "4b69", false, nullptr },        // lower case is not what the writer writes
        { "4B6", false, nullptr },
        { "", false, nullptr },
        { "4G", false, nullptr },
    };
    for (const auto& c : cases)
    {
        juce::String out ("stale");
        EXPECT_EQ (decodeMarkerText (c.hex, out), c.ok) << c.hex;
        if (c.ok)
            EXPECT_EQ (out, juce::String::fromUTF8 (c.text)) << c.hex;
    }

    // The longest value, and one pair more.
    const std::string longest ((size_t) maxRppMarkerHexChars / 2, 'A');
    juce::String out;
    EXPECT_TRUE (decodeMarkerText (utf8Hex (longest).toStdString(), out));
    EXPECT_EQ (out.length(), maxRppMarkerHexChars / 2);
    EXPECT_FALSE (decodeMarkerText (utf8Hex (longest + "A").toStdString(), out));

    // utf8Hex and decodeMarkerText are each other's reverse.
    for (const auto* text : { "Kick", "S\xc3\xa4tt (Mono)", "\xea\xb0\x80\xeb\x82\x98" })
    {
        const auto hex = utf8Hex (juce::String::fromUTF8 (text));
        ASSERT_TRUE (decodeMarkerText (hex.toStdString(), out)) << text;
        EXPECT_EQ (out, juce::String::fromUTF8 (text));
    }
}

TEST (ReaperRppText, RoutingLineFormsAreReadAsTheyAreWritten)
{
    EXPECT_EQ (recLine (1028), "REC 0 1028 1 0 0 0 0 0");
    EXPECT_EQ (recLine (0), defaultRecLine);
    EXPECT_EQ (hwOutLine (1026, true), "HWOUT 1026 0 1 0 0 0 1024 -1:U -1");
    EXPECT_EQ (hwOutLine (2, false), "HWOUT 2 0 1 0 0 0 0 -1:U -1");
    EXPECT_EQ (auxRecvLine (3), "AUXRECV 3 0 1 0 0 0 0 0 2 -1:U 31 -1 ''");
    EXPECT_EQ (mainSendLine (false), "MAINSEND 1 0");
    EXPECT_EQ (mainSendLine (true), "MAINSEND 0 0");

    auto values = [] (const juce::String& line) {
        auto tokens = tokenise (line.toStdString());
        tokens.erase (tokens.begin());
        return tokens;
    };
    int a = 0, b = 0;
    ASSERT_TRUE (matchRecLine (values (recLine (-1)), a));
    EXPECT_EQ (a, -1);
    ASSERT_TRUE (matchHwOutLine (values (hwOutLine (1029, true)), a, b));
    EXPECT_EQ (a, 1029);
    EXPECT_EQ (b, 1024);
    ASSERT_TRUE (matchAuxRecvLine (values (auxRecvLine (7)), a));
    EXPECT_EQ (a, 7);
    EXPECT_FALSE (matchRecLine (values ("REC 1 5 1 0 0 0 0 0"), a));
    EXPECT_FALSE (matchRecLine (values ("REC 0 5 1 0 0 0 0"), a));
    EXPECT_FALSE (matchHwOutLine (values ("HWOUT 2 0 1 0 0 0 x -1:U -1"), a, b));
    EXPECT_FALSE (matchAuxRecvLine (values ("AUXRECV 1 0 1 0 0 0 0 0 2 -1:U 31 -1 x"), a));
}

TEST (ReaperRppText, Vst3LinesNameInstrumentsAsReaperDoes)
{
    EXPECT_EQ (vst3Line ("  ", "Pro-Q 4 (FabFilter)", "FabFilter Pro-Q 4.vst3", 934538646u, "ED57BD725C60467EA64DD2F400758B6F"),
               "  <VST \"VST3: Pro-Q 4 (FabFilter)\" \"FabFilter Pro-Q 4.vst3\" 0 \"\" 934538646{ED57BD725C60467EA64DD2F400758B6F} \"\"");
    EXPECT_EQ (vst3DisplayName ("Surge XT (Surge Synth Team)!!!VSTi"), "VST3i: Surge XT (Surge Synth Team)");
    EXPECT_EQ (vst3DisplayName ("Odd!!!VSTi name"), "VST3: Odd!!!VSTi name");
    EXPECT_TRUE (isVst3Format ("VST3"));
    EXPECT_TRUE (isVst3Format ("VST3i"));
    EXPECT_FALSE (isVst3Format ("VST"));
    EXPECT_FALSE (isVst3Format ("vst3"));
}
