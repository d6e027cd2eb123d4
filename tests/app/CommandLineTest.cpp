#include "SceneFixture.h"
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
    const auto parsed = parseArguments (args ({ "--plan", "REAPER", "--profile", "64X8", "--io", "8x8", "--tree",
                                                "--output", "out.rpp", "in.ksn", "--manifest", "~/x.ksn",
                                                "/abs/y.ksn", "--convert", "Vorn", "--convert", "LiveProfessor" }));
    ASSERT_TRUE (parsed.ok()) << parsed.message();
    const auto& o = *parsed;
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
    const auto parsed = parseArguments (args ({ "--tree", "--export-states" }));
    ASSERT_TRUE (parsed.ok()) << parsed.message();
    const auto& o = *parsed;
    EXPECT_FALSE (isGiven (o.exportStates));
    ASSERT_EQ (o.inputs.size(), 1);
    EXPECT_EQ (o.inputs[0], "--export-states");

    // A value may itself look like an option word: it is consumed as the value.
    const auto parsedValue = parseArguments (args ({ "--profile", "--tree" }));
    ASSERT_TRUE (parsedValue.ok()) << parsedValue.message();
    const auto& p = *parsedValue;
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
        const auto inv = invoke (args ({ "--reaper-state-probe", c.value, "--plan", "bogus" }));
        const auto parsed = parseArguments (args ({ "--reaper-state-probe", c.value }));
        if (c.error == nullptr)
        {
            ASSERT_TRUE (parsed.ok()) << parsed.message();
            EXPECT_EQ (parsed->probeStrip, c.strip);
            EXPECT_EQ (parsed->probeSlot, c.slot);
            // Parsed: the run goes on to find that the operation has no input.
            EXPECT_EQ (inv.lines, juce::StringArray ("ERROR   --plan requires an input file")) << c.value;
        }
        else
        {
            EXPECT_FALSE (parsed.ok());
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
    // --tree and --manifest are no operations; an empty operation value is refused as no value.
    auto inv = invoke (args ({ "--tree", "--manifest", "--session-report", "missing.ksn" }));
    EXPECT_FALSE (inv.lines.contains (refusal));
    inv = invoke (args ({ "--plan", "vorn", "--convert", "", "missing.ksn" }));
    EXPECT_EQ (inv.lines, juce::StringArray ("ERROR   option --convert takes a value, and the value given is empty"));
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

    // A word that is no path and is not UTF-8 (a cut-off sequence) is read with U+FFFD in place of
    // each bad byte: it is only ever compared.
    const std::string bad = "\xC3";
    auto lowered = vorntest::runVornconvBinary ({ "--plan", bad, "x.ksn" }, tmp.path());
    EXPECT_EQ (lowered.exitCode, 1);
    EXPECT_EQ (lowered.err, "");
}

// A path that is not UTF-8 cannot become text unchanged: as text it would name another file (one
// with U+FFFD in its name, written or looked for). Every path option's value and every input word
// is checked as the bytes the system passed, before anything is read or written, and refused with
// its bytes escaped; a word that is no path is not.
TEST (Binary, PathsThatAreNotUtf8AreRefusedAsTheyAre)
{
    vorntest::ProgramSandbox box;
    box.write ("in.ksn", vorntest::convertibleScene());
    box.write ("cat.tsv", vorntest::convertibleSceneCatalog());
    // The input that exists under the bytes asked for.
    box.write ("x", vorntest::convertibleScene());
    ASSERT_EQ (::rename (box.path ("x").toRawUTF8(), (box.work.getFullPathName().toStdString() + "/in\xFE.ksn").c_str()), 0);
    const std::string ff = "\xFF";
    struct Case { std::vector<std::string> args; std::string shown; };
    const std::vector<Case> cases = {
        { { "--manifest", "in\xFE.ksn" }, "in\\xFE.ksn" },
        { { "in.ksn", "in\xFE.ksn" }, "in\\xFE.ksn" },
        { { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "x" + ff + ".ksn", "in.ksn" }, "x\\xFF.ksn" },
        { { "--export-states", "st" + ff, "in.ksn" }, "st\\xFF" },
        { { "--plan", "vorn", "--factory-catalog", "c\xC0\xAF.tsv", "in.ksn" }, "c\\xC0\\xAF.tsv" },
        { { "--plan", "reaper", "--reaper-cache", "r\xED\xA0\x80", "in.ksn" }, "r\\xED\\xA0\\x80" },
        { { "--plan", "vorn", "--selection", "s\xE2\x82", "in.ksn" }, "s\\xE2\\x82" },
        { { "--session-report", "--plugin-probe", "p" + ff, "--parameter-cache", "c", "in.ksn" }, "p\\xFF" },
        { { "--session-report", "--plugin-probe", "p", "--parameter-cache", "\xEC\x84\xB8\\" + ff + "\t", "in.ksn" },
          "\xEC\x84\xB8\\\\\\xFF\\x09" },
        { { "--waves-convert", "waves-lv1", "--template", "t" + ff, "in.ksn" }, "t\\xFF" },
        // The first path that is not UTF-8 is the one named, before any other check.
        { { "--reaper-state-probe", "x", "--output", ff, "in.ksn" }, "\\xFF" },
    };
    const auto before = box.work.findChildFiles (juce::File::findFilesAndDirectories, true).size();
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.shown);
        const auto r = box.run (c.args);
        EXPECT_EQ (r.exitCode, 1);
        EXPECT_EQ (r.out, "ERROR   path is not valid UTF-8: " + c.shown + "\n");
        EXPECT_EQ (r.err, "");
        EXPECT_EQ (box.work.findChildFiles (juce::File::findFilesAndDirectories, true).size(), before);
        EXPECT_EQ (box.tmpEntries(), 0);
    }

    // Text that is UTF-8 is a path like any other; a word that is no path is never refused as one.
    EXPECT_EQ (box.run ({ "--manifest", "in.ksn" }).exitCode, 0);
    const auto profile = box.run ({ "--profile", ff, "in.ksn" });
    EXPECT_EQ (profile.out.find ("path is not valid UTF-8"), std::string::npos) << profile.out;
}
