#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace vornconv::app;
using vorntest::invoke;

namespace
{
juce::StringArray args (std::initializer_list<const char*> words)
{
    juce::StringArray a;
    for (auto* w : words)
        a.add (juce::String::fromUTF8 (w));
    return a;
}

juce::File cwdChild (const char* name)
{
    return juce::File::getCurrentWorkingDirectory().getChildFile (name);
}
} // namespace

TEST (ParseDecimalInt, StrictDecimalOnly)
{
    struct Case { const char* text; bool zeroAllowed; bool ok; int value; };
    const Case cases[] = {
        { "", true, false, 0 },
        { "0", true, true, 0 },
        { "0", false, false, 0 },
        { "000", false, false, 0 },
        { "007", false, true, 7 },
        { "1", false, true, 1 },
        { "2147483647", false, true, 2147483647 },
        { "2147483648", true, false, 0 },
        { "99999999999999999999999999999999", true, false, 0 },
        { "+5", true, false, 0 },
        { "-5", true, false, 0 },
        { " 5", true, false, 0 },
        { "5 ", true, false, 0 },
        { "1e3", true, false, 0 },
        { "\xd9\xa3", true, false, 0 },   // ARABIC-INDIC DIGIT THREE
        { "\xef\xbc\x95", true, false, 0 }, // FULLWIDTH DIGIT FIVE
    };
    for (const auto& c : cases)
    {
        int out = -77;
        EXPECT_EQ (parseDecimalInt (juce::String::fromUTF8 (c.text), c.zeroAllowed, out), c.ok) << c.text;
        EXPECT_EQ (out, c.ok ? c.value : -77) << c.text;
    }
}

TEST (ParseArguments, OptionsValuesAndInputWords)
{
    CommandLineOptions o;
    ASSERT_EQ (parseArguments (args ({ "--plan", "REAPER", "--profile", "64X8", "--io", "8x8", "--tree",
                                       "--output", "out.rpp", "in.ksn", "--manifest", "~/x.ksn",
                                       "/abs/y.ksn", "--convert", "Vorn", "--convert", "LiveProfessor" }),
                               o),
               ParseOutcome::parsed);
    EXPECT_EQ (o.plan, "reaper");
    EXPECT_EQ (o.profile, "64X8");
    EXPECT_EQ (o.io, "8x8");
    EXPECT_TRUE (o.tree);
    EXPECT_TRUE (o.manifest);
    EXPECT_EQ (o.convert, "liveprofessor"); // the later occurrence wins
    EXPECT_EQ (o.output, cwdChild ("out.rpp"));
    ASSERT_EQ (o.inputs.size(), 3);
    EXPECT_EQ (o.inputs[0], "in.ksn");
    EXPECT_EQ (resolveArgument (o.inputs[1]),
               juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile ("x.ksn"));
    EXPECT_EQ (resolveArgument (o.inputs[2]), juce::File ("/abs/y.ksn"));
    EXPECT_FALSE (isGiven (o.templateFile));
    EXPECT_EQ (o.probeStrip, -1);
}

TEST (ParseArguments, OptionWordInLastPlaceBecomesInputWord)
{
    CommandLineOptions o;
    ASSERT_EQ (parseArguments (args ({ "--tree", "--export-states" }), o), ParseOutcome::parsed);
    EXPECT_FALSE (isGiven (o.exportStates));
    ASSERT_EQ (o.inputs.size(), 1);
    EXPECT_EQ (o.inputs[0], "--export-states");

    // A value may itself look like an option word: it is consumed as the value.
    CommandLineOptions p;
    ASSERT_EQ (parseArguments (args ({ "--profile", "--tree" }), p), ParseOutcome::parsed);
    EXPECT_EQ (p.profile, "--tree");
    EXPECT_FALSE (p.tree);
    EXPECT_TRUE (p.inputs.isEmpty());
}

TEST (ReaperStateProbe, ParsedAtOnceAndRefusedBeforeUsage)
{
    const char* mustBe = "ERROR   --reaper-state-probe must be <strip>:<slot>";
    const char* decimals = "ERROR   --reaper-state-probe indices must be non-negative decimal integers";
    struct Case { const char* value; const char* error; int strip; int slot; };
    const Case cases[] = {
        { "0:0", nullptr, 0, 0 },
        { "12:007", nullptr, 12, 7 },
        { ":3", mustBe, 0, 0 },
        { "3:", mustBe, 0, 0 },
        { "3", mustBe, 0, 0 },
        { ":", mustBe, 0, 0 },
        { "1:-2", decimals, 0, 0 },
        { "1:2:3", decimals, 0, 0 },
        { "a:1", decimals, 0, 0 },
        { "1:2147483648", decimals, 0, 0 },
    };
    for (const auto& c : cases)
    {
        CommandLineOptions o;
        const auto inv = invoke (args ({ "--reaper-state-probe", c.value, "--plan", "bogus" }));
        if (c.error == nullptr)
        {
            ASSERT_EQ (parseArguments (args ({ "--reaper-state-probe", c.value }), o), ParseOutcome::parsed);
            EXPECT_EQ (o.probeStrip, c.strip);
            EXPECT_EQ (o.probeSlot, c.slot);
            EXPECT_EQ (inv.lines.size(), 29) << c.value; // no input word: the usage
        }
        else
        {
            EXPECT_EQ (inv.status, 1);
            EXPECT_EQ (inv.lines, juce::StringArray (c.error)) << c.value;
        }
    }
    // The refusal ends parsing: a second, valid probe later on never runs.
    const auto inv = invoke (args ({ "--reaper-state-probe", "x", "--reaper-state-probe", "1:1", "in.ksn" }));
    EXPECT_EQ (inv.lines, juce::StringArray (mustBe));
}

TEST (Usage, PrintedWhenNoInputWordRemains)
{
    const auto golden = juce::File (VORN_TEST_SOURCE_DIR "/app/usage.golden").loadFileAsString();
    juce::StringArray expected;
    expected.addLines (golden);
    expected.remove (expected.size() - 1); // the file ends with a newline
    ASSERT_EQ (expected.size(), 29);

    for (const auto& a : { args ({}), args ({ "--profile", "64x8" }), args ({ "--tree", "--manifest" }) })
    {
        const auto inv = invoke (a);
        EXPECT_EQ (inv.status, 1);
        EXPECT_EQ (inv.lines, expected);
    }
}

TEST (OperationCount, MoreThanOneIsRefused)
{
    const char* refusal = "ERROR   choose exactly one conversion/report operation";
    const std::vector<std::vector<const char*>> pairs = {
        { "--plan", "vorn", "--export-states", "out" },
        { "--export-states", "out", "--plan", "vorn" },
        { "--session-report", "--convert", "reaper" },
        { "--waves-convert", "waves-lv1", "--session-report" },
        { "--selection-report", "reaper", "--waves-selection-report", "waves-lv1" },
        { "--plan", "vorn", "--convert", "vorn" },
    };
    for (const auto& pair : pairs)
    {
        juce::StringArray a;
        for (auto* w : pair)
            a.add (w);
        a.add ("input.ksn");
        const auto inv = invoke (a);
        EXPECT_EQ (inv.status, 1);
        EXPECT_EQ (inv.lines, juce::StringArray (refusal)) << a.joinIntoString (" ");
    }
    // An empty operation value is no operation; --tree and --manifest are no operations.
    const auto inv = invoke (args ({ "--convert", "", "--plan", "", "--tree", "--manifest", "--session-report",
                                     "missing.ksn" }));
    EXPECT_FALSE (inv.lines.contains (refusal));
}

TEST (Binary, RealProcessWritesOnlyToStandardOutput)
{
    vorntest::TempFolder tmp;
    const auto golden = juce::File (VORN_TEST_SOURCE_DIR "/app/usage.golden").loadFileAsString().toStdString();

    auto usage = vorntest::runVornconvBinary ({}, tmp.path());
    EXPECT_EQ (usage.exitCode, 1);
    EXPECT_EQ (usage.out, golden);
    EXPECT_EQ (usage.err, "");

    auto twoOps = vorntest::runVornconvBinary ({ "--plan", "vorn", "--export-states", "x", "a.ksn" }, tmp.path());
    EXPECT_EQ (twoOps.exitCode, 1);
    EXPECT_EQ (twoOps.out, "ERROR   choose exactly one conversion/report operation\n");
    EXPECT_EQ (twoOps.err, "");

    auto probe = vorntest::runVornconvBinary ({ "--reaper-state-probe", "3:" }, tmp.path());
    EXPECT_EQ (probe.exitCode, 1);
    EXPECT_EQ (probe.out, "ERROR   --reaper-state-probe must be <strip>:<slot>\n");
    EXPECT_EQ (probe.err, "");

    // Arguments that are not UTF-8 (a cut-off sequence, a stray continuation byte, an overlong
    // form) are read with U+FFFD in place of each bad byte; well-formed text stays as it is.
    const std::string bad = "\xC3", stray = "\x80", overlong = "\xC0\xAF";
    auto lowered = vorntest::runVornconvBinary ({ "--plan", bad, "x.ksn" }, tmp.path());
    EXPECT_EQ (lowered.exitCode, 1);
    EXPECT_EQ (lowered.err, "");
    auto dumped = vorntest::runVornconvBinary ({ "a" + bad + "b" + stray + overlong + "\xEC\x84\xB8.ksn" }, tmp.path());
    EXPECT_EQ (dumped.exitCode, 1);
    EXPECT_EQ (dumped.err, "");
    EXPECT_EQ (dumped.outLines()[2], "FILE    " + tmp.folder.getFullPathName()
                                         + juce::String::fromUTF8 ("/a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEC\x84\xB8.ksn"));
}
