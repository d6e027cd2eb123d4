#include "ReaperFixtures.h"
#include "TestSupport.h"

#include "app/CommandLine.h"
#include "app/HostRegistry.h"
#include "model/JsonWriter.h"
#include "model/TestHooks.h"
#include "model/Vst3State.h"
#include "readers/VornKsnReader.h"

#include <gtest/gtest.h>

#include <juce_cryptography/juce_cryptography.h>

namespace
{
const char* const testCid = "0123456789ABCDEF0123456789ABCDEF";

juce::String memoryBlockText (const juce::MemoryBlock& bytes) { return bytes.toBase64Encoding(); }

juce::MemoryBlock bytesOf (const char* text) { return juce::MemoryBlock (text, std::strlen (text)); }

struct SceneSlot
{
    int strip = 0;
    int slot = 0;
    juce::String name = "TestComp";
    juce::String vendor = "Acme";
    juce::String file = "/opt/fake/TestComp.vst3";
    juce::String uniqueId = "e26ab0d0";
    juce::String uid = "99edfa10";
    int state = 0;
};

// A scene shaped as the writer makes it: 64 strips, 64 routes, no status, no counts.
juce::String writerShapedScene (const std::vector<SceneSlot>& slots, int strips = 64, bool withRouting = true)
{
    juce::XmlElement root ("VornLiveScene");
    root.setAttribute ("version", 1);
    auto* s = root.createNewChildElement ("Strips");
    for (int i = 0; i < strips; ++i)
    {
        auto* strip = s->createNewChildElement ("Strip");
        strip->setAttribute ("index", i);
        strip->setAttribute ("name", i == 0 ? juce::String ("Vox") : "Ch " + juce::String (i + 1));
        strip->setAttribute ("inputStereo", 1);
        strip->setAttribute ("outputStereo", 1);
        for (const auto& sl : slots)
        {
            if (sl.strip != i)
                continue;
            auto* slot = strip->createNewChildElement ("Slot");
            slot->setAttribute ("index", sl.slot);
            slot->setAttribute ("state", sl.state);
            auto* plugin = slot->createNewChildElement ("PLUGIN");
            plugin->setAttribute ("name", sl.name);
            plugin->setAttribute ("format", "VST3");
            plugin->setAttribute ("manufacturer", sl.vendor);
            plugin->setAttribute ("file", sl.file);
            plugin->setAttribute ("uniqueId", sl.uniqueId);
            plugin->setAttribute ("uid", sl.uid);
            slot->setAttribute ("pluginState", memoryBlockText (vornconv::vst3::buildJuceVst3State (bytesOf ("abc"), bytesOf ("ctl"))));
        }
    }
    if (withRouting)
    {
        auto* routing = root.createNewChildElement ("Routing");
        for (int i = 0; i < strips; ++i)
        {
            auto* route = routing->createNewChildElement ("Route");
            route->setAttribute ("strip", i);
            if (i == 0)
            {
                route->setAttribute ("inL", 0);
                route->setAttribute ("inR", 1);
                route->setAttribute ("outL", 0);
                route->setAttribute ("outR", 1);
            }
        }
    }
    return root.toString();
}

juce::String catalogRow (const juce::String& flag = {}, const juce::String& cid = testCid)
{
    juce::String row = cid + "\tTestComp\tAcme\t1.0\t/opt/fake/TestComp.vst3";
    if (flag.isNotEmpty())
        row << "\t" << flag;
    return row + "\n";
}

juce::String digestOf (const juce::File& file)
{
    juce::MemoryBlock data;
    file.loadFileAsData (data);
    return juce::SHA256 (data).toHexString();
}

// One sandbox per test. Its texts get CRLF line ends, juce::File's default, which the readers
// take as they take LF.
struct RunnerSandbox : vorntest::ProgramSandbox
{
    RunnerSandbox() : ProgramSandbox ("\r\n") {}
};

} // namespace

TEST (ConversionRunnerParsing, ProfileDimensions)
{
    using vornconv::app::parseDimensions;
    struct Case { const char* text; bool ok; int a; int b; const char* error; };
    const Case cases[] = {
        { "64x8", true, 64, 8, "" },
        { "64X8", true, 64, 8, "" },
        { "007x1", true, 7, 1, "" },
        { "64x", false, 0, 0, "shape" },
        { "x8", false, 0, 0, "shape" },
        { "648", false, 0, 0, "shape" },
        { "0x8", false, 0, 0, "value" },
        { "64x8x2", false, 0, 0, "value" },
        { "64 x8", false, 0, 0, "value" },
        { "2147483648x1", false, 0, 0, "value" },
    };
    for (const auto& c : cases)
    {
        const auto parsed = parseDimensions (c.text, "shape", "value");
        EXPECT_EQ (parsed.ok(), c.ok) << c.text;
        EXPECT_EQ (parsed.message(), juce::String (c.error)) << c.text;
        if (c.ok)
        {
            EXPECT_EQ (parsed->first, c.a);
            EXPECT_EQ (parsed->second, c.b);
        }
    }
}

namespace
{
std::string str (const juce::File& f) { return f.getFullPathName().toStdString(); }

juce::StringArray lines (std::initializer_list<juce::String> l)
{
    juce::StringArray a;
    for (const auto& s : l)
        a.add (s);
    return a;
}

const juce::String banner = juce::String::repeatedString ("=", 68);
const juce::String hostLoadWarning = juce::String::fromUTF8 (
    u8"  WARNING target.hostLoad                     converter exact reread는 통과 가능하지만 실제 host load/DSP 검증 전에는 candidate다");

// The ledger's note of a scene's snapshot, which takes the name of the scene's file.
juce::String snapshotRenamed (const juce::String& from, const juce::String& to)
{
    return juce::String::fromUTF8 (u8"snapshots: 1 renamed — Vorn Live scenes name their snapshot after their file (first: ") + from
         + juce::String::fromUTF8 (u8" → ") + to + ")";
}

// The plan's line of a slot the output holds inactive, as plan and convert print it.
juce::String writtenInactive (const juce::String& slotCode)
{
    return "  WARNING " + slotCode.paddedRight (' ', 36) + juce::String::fromUTF8 (u8"최신 factory cache에 없어 inactive로 기록한다");
}
} // namespace

TEST (ConversionRunnerSetup, RefusalsComeInTheirOrder)
{
    RunnerSandbox box;
    const auto scene = box.write ("in.ksn", writerShapedScene ({ SceneSlot() }));
    const auto good = box.write ("good.tsv", catalogRow());
    const auto bad = box.write ("bad.tsv", "not a catalog row\n");
    const auto missing = box.work.getChildFile ("missing.tsv");

    struct Case { std::vector<std::string> args; juce::String line; };
    const std::vector<Case> cases = {
        { { "--plan", "bogus", "in.ksn" }, "ERROR   " + vornconv::app::unknownTargetRefusal() },
        { { "--plan", "vorn", "--reaper-state-probe", "0:0", "in.ksn" }, "ERROR   REAPER probe options require a REAPER conversion target" },
        { { "--convert", "liveprofessor", "--reaper-normalized-probe", "in.ksn" }, "ERROR   REAPER probe options require a REAPER conversion target" },
        { { "--plan", "liveprofessor", "--plugin-probe", "p", "in.ksn" }, "ERROR   LiveProfessor requires --plugin-probe and --parameter-cache" },
        { { "--plan", "reaper", "--parameter-cache", "c", "in.ksn" }, "ERROR   parameter probe options require a LiveProfessor target" },
        { { "--convert", "vorn", "in.ksn" }, "ERROR   --convert requires --output <new file>" },
        { { "--convert", "vorn", "--output", "o.ksn", "in.ksn", "in.ksn" }, "ERROR   --convert accepts exactly one input file" },
        { { "--selection-report", "reaper", "in.ksn", "in.ksn" }, "ERROR   --selection-report accepts exactly one input file" },
        { { "--selection-report", "vorn", "--selection", "s.json", "in.ksn" },
          "ERROR   --selection is not an option of --selection-report vorn; it goes with --plan, --convert or --waves-convert" },
        { { "--plan", "vorn", "--factory-catalog", "missing.tsv", "in.ksn" }, "ERROR   --factory-catalog: file not found: " + missing.getFullPathName() },
        // The index is built before the profile is looked at: its error wins.
        { { "--plan", "reaper", "--io", "8x8", "--factory-catalog", "bad.tsv", "in.ksn" },
          "ERROR   --factory-catalog: invalid factory catalog row (expected 5 or 6 tab-separated columns) at line 1 of "
              + bad.getFullPathName() + "; --factory-catalog takes a catalog as vornvst3catalog prints it" },
        { { "--plan", "reaper", "--io", "8x8", "--factory-catalog", "good.tsv", "in.ksn" }, "ERROR   --io requires --profile for a variable host target" },
        { { "--plan", "reaper", "--profile", "64x", "--factory-catalog", "good.tsv", "in.ksn" },
          "ERROR   --profile must be <positive strips>x<positive slots>, e.g. 64x8" },
        { { "--plan", "reaper", "--profile", "0x8", "--factory-catalog", "good.tsv", "in.ksn" },
          "ERROR   --profile values must both be positive decimal integers, e.g. 64x8" },
        { { "--plan", "reaper", "--profile", "8x8", "--io", "x8", "--factory-catalog", "good.tsv", "in.ksn" },
          "ERROR   --io must be <positive inputs>x<positive outputs>, e.g. 128x128" },
        { { "--plan", "reaper", "--profile", "8x8", "--io", "8x-8", "--factory-catalog", "good.tsv", "in.ksn" },
          "ERROR   --io values must both be positive decimal integers, e.g. 128x128" },
        { { "--plan", "liveprofessor", "--plugin-probe", "good.tsv", "--parameter-cache", "c", "--factory-catalog", "good.tsv", "in.ksn" },
          "ERROR   LiveProfessor plugin catalog does not exist: "
              + box.liveProfessorList().getFullPathName() },
    };
    const auto before = digestOf (scene);
    for (const auto& c : cases)
    {
        const auto run = box.run (c.args);
        EXPECT_EQ (run.exitCode, 1) << c.line;
        EXPECT_EQ (run.outLines(), lines ({ c.line })) << c.line;
        EXPECT_EQ (run.err, "");
    }
    EXPECT_EQ (digestOf (scene), before);
    EXPECT_EQ (box.tmpEntries(), 0);
    EXPECT_FALSE (box.work.getChildFile ("o.ksn").exists());
}

TEST (ConversionRunnerPlan, CleanAndBlockedScenes)
{
    RunnerSandbox box;
    const auto scene = box.write ("in.ksn", writerShapedScene ({ SceneSlot() }));
    box.write ("good.tsv", catalogRow());
    box.write ("other.tsv", catalogRow ({}, "FEDCBA9876543210FEDCBA9876543210"));

    const auto clean = box.run ({ "--plan", "VORN", "--factory-catalog", "good.tsv", "in.ksn" });
    EXPECT_EQ (clean.exitCode, 0);
    EXPECT_EQ (clean.outLines(), lines ({ "", banner, "FILE    " + scene.getFullPathName(), "RAPP PLAN  target=Vorn Live (.ksn)",
                                          "  capacity=64 strips x 8 slots", "  VST3 moduleinfo: 1 indexed",
                                          "  plugins=1 state-portable=1 identity-resolved=1", "  WRITE: allowed", hostLoadWarning,
                                          "  WARNING " + juce::String ("ledger.snapshots").paddedRight (' ', 36)
                                              + snapshotRenamed ("in", "the output's file name"),
                                          "" }));

    // No catalog row proves the slot's identity: the write is blocked.
    const auto blocked = box.run ({ "--plan", "vorn", "--factory-catalog", "other.tsv", "in.ksn" });
    EXPECT_EQ (blocked.exitCode, 1);
    const auto blockedLines = blocked.outLines();
    ASSERT_GE (blockedLines.size(), 9);
    EXPECT_EQ (blockedLines[7], "  WRITE: BLOCKED");
    EXPECT_TRUE (blockedLines.contains (hostLoadWarning));
    bool slotBlocker = false;
    for (const auto& l : blockedLines)
        slotBlocker = slotBlocker || l.startsWith ("  BLOCKER strip 0, slot 0 (TestComp)     ");
    EXPECT_TRUE (slotBlocker) << blocked.out;
    EXPECT_EQ (blockedLines[blockedLines.size() - 1], "");

    // Two inputs: two banners, one empty line at the end, and a blocked or unreadable one fails the run.
    box.write ("notes.txt", "x");
    const auto two = box.run ({ "--plan", "vorn", "--factory-catalog", "good.tsv", "in.ksn", "notes.txt" });
    EXPECT_EQ (two.exitCode, 1);
    const auto twoLines = two.outLines();
    ASSERT_EQ (twoLines.size(), 10 + 4 + 1);
    EXPECT_EQ (twoLines[10], "");
    EXPECT_EQ (twoLines[11], banner);
    EXPECT_EQ (twoLines[12], "FILE    " + box.work.getChildFile ("notes.txt").getFullPathName());
    EXPECT_EQ (twoLines[13], "ERROR   " + vornconv::app::unknownInputRefusal() + ": " + box.work.getChildFile ("notes.txt").getFullPathName());
    EXPECT_EQ (twoLines[14], "");
    EXPECT_EQ (box.tmpEntries(), 0);
}

// A plan of several inputs says each input's plan before it reads the next, and the banner of an
// input before its writer's proof (which may take long): a run interrupted during the second
// input's proof has said the first input's whole plan and the second one's banner.
TEST (ConversionRunnerPlan, EachInputIsSaidBeforeTheNextIsPlanned)
{
    if (! vornconv::testHooks::available)
        GTEST_SKIP() << "a build without test hooks";
    RunnerSandbox box;
    const auto scene = box.write ("in.ksn", writerShapedScene ({ SceneSlot() }));
    box.write ("good.tsv", catalogRow());
    const auto run = box.runStoppedAt ({ "--plan", "vorn", "--factory-catalog", "good.tsv", "in.ksn", "in.ksn" },
                                       "plan-document-written:2", [] (pid_t) {}, true);
    EXPECT_EQ (run.exitCode, 1);
    const auto printed = run.outLines();
    ASSERT_EQ (printed.size(), 10 + 3 + 1) << run.out;
    EXPECT_EQ (printed[2], "FILE    " + scene.getFullPathName());
    EXPECT_EQ (printed[7], "  WRITE: allowed");
    EXPECT_EQ (printed[10], "");
    EXPECT_EQ (printed[11], banner);
    EXPECT_EQ (printed[12], "FILE    " + scene.getFullPathName());
    EXPECT_EQ (printed[13], "ERROR   interrupted");
    EXPECT_EQ (box.tmpEntries(), 0);
}

TEST (ConversionRunnerPlan, FailedReadIsReportedByThePreflight)
{
    RunnerSandbox box;
    const auto scene = box.write ("broken.ksn", "<VornLiveScene version=\"1\"><Strips/></VornLiveScene>");
    box.write ("good.tsv", catalogRow());
    const auto run = box.run ({ "--plan", "vorn", "--factory-catalog", "good.tsv", "broken.ksn" });
    EXPECT_EQ (run.exitCode, 1);
    const auto l = run.outLines();
    ASSERT_EQ (l.size(), 10);
    EXPECT_EQ (l[7], "  WRITE: BLOCKED");
    EXPECT_EQ (l[8], juce::String::fromUTF8 (u8"  BLOCKER source                              입력 리더가 실패했다: Strips node contains no Strip records (in ")
                         + scene.getFullPathName() + ")");
}

// "WRITE: allowed" is a promise that the convert with the same options writes: whatever the
// writer refuses but an output in its way (its read-back of what it built included) shows in the
// plan as a blocker, in its words.
TEST (ConversionRunnerPlan, AllowedMeansTheConvertWillWrite)
{
    RunnerSandbox box;
    box.write ("in.ksn", writerShapedScene ({ SceneSlot() }));
    box.write ("good.tsv", catalogRow());
    box.write ("not-a-template.rpp", "<REAPER_PROJECT\n>\n");
    box.write ("reaper.ini", "[vstcache]\nTestComp.vst3=0000000000000000,934538646{" + juce::String (testCid) + ",TestComp (Acme)\n");
    // One-track REAPER templates: as the converter takes them, with a timeline item in the track,
    // and with a master FX chain, which only the read-back of the written project meets.
    box.write ("one-track.rpp", vorntest::oneTrackTemplate (testCid));
    box.write ("item.rpp", vorntest::oneTrackTemplate (testCid, "    <ITEM\n      POSITION 0\n      LENGTH 2\n    >\n"));
    box.write ("master.rpp", vorntest::oneTrackTemplate (testCid, {}, "  <MASTERFXLIST\n    BYPASS 0 0 0\n    <JS gain \"\"\n    >\n  >\n"));

    struct Case
    {
        const char* what;
        std::vector<std::string> options;
        bool writes;
        juce::String writerRefusal = {};   // the convert's refusal, which the plan must block with
    };
    const juce::String masterChain = juce::String::fromUTF8 (
        u8"written REAPER project failed strict reread: master.fxchain - REAPER Master FX 체인은 대상 호스트의 개별 랙 스트립에 일대일 대응되지 않아 변환 대상에서 제외한다");
    const std::vector<std::string> reaper = { "reaper", "--profile", "64x8", "--io", "2x2", "--reaper-cache", "reaper.ini", "--template" };
    const auto withTemplate = [&reaper] (const char* name) { auto o = reaper; o.push_back (name); return o; };
    const Case cases[] = {
        { "REAPER from a one-track template", withTemplate ("one-track.rpp"), true },
        { "REAPER from a template with an item", withTemplate ("item.rpp"), false,
          "--template: REAPER template track holds a block the output cannot hold: ITEM (in " + box.path ("item.rpp") + ")" },
        { "REAPER from a template with a master chain", withTemplate ("master.rpp"), false, masterChain },
        { "scene", { "vorn" }, true },
        { "SuperRack without a template", { "superrack-performer" }, false },
        { "SuperRack with a REAPER template", { "superrack-performer", "--template", "not-a-template.rpp" }, false },
        { "SuperRack with a missing template", { "superrack-performer", "--template", "missing.sprk" }, false },
        { "REAPER without a cache identity", { "reaper", "--profile", "64x8", "--io", "2x2" }, false },
        { "REAPER with a cache identity", { "reaper", "--profile", "64x9", "--io", "2x2", "--reaper-cache", "reaper.ini" }, true },
        { "REAPER with fewer strips", { "reaper", "--profile", "63x8", "--io", "2x2", "--reaper-cache", "reaper.ini" }, false },
        { "REAPER with more strips", { "reaper", "--profile", "65x8", "--io", "2x2", "--reaper-cache", "reaper.ini" }, false },
        { "REAPER with another profile", { "reaper", "--profile", "65x8" }, false },
        { "REAPER with a SuperRack template", { "reaper", "--profile", "64x8", "--template", "x.sprk" }, false },
    };
    int index = 0;
    for (const auto& c : cases)
    {
        std::vector<std::string> plan = { "--plan" }, convert = { "--convert" };
        for (const auto& o : c.options)
        {
            plan.push_back (o);
            convert.push_back (o);
        }
        const std::string output = "out" + std::to_string (index++)
                                 + (c.options[0] == "vorn" ? ".ksn" : c.options[0] == "reaper" ? ".rpp" : ".sprk");
        for (auto* args : { &plan, &convert })
            args->insert (args->end(), { "--factory-catalog", "good.tsv" });
        convert.insert (convert.end(), { "--output", output });
        plan.push_back ("in.ksn");
        convert.push_back ("in.ksn");

        const auto planned = box.run (plan);
        const auto converted = box.run (convert);
        EXPECT_EQ (converted.exitCode, c.writes ? 0 : 1) << c.what << "\n" << converted.out;
        EXPECT_EQ (planned.exitCode, converted.exitCode) << c.what << "\n" << planned.out << converted.out;
        EXPECT_EQ (planned.outLines().contains ("  WRITE: allowed"), c.writes) << c.what << "\n" << planned.out;
        if (c.writes)
            continue;
        // A refusal of the options comes before anything is planned or written, in both alike.
        if (const auto optionRefusal = vorntest::errorLines (planned); ! optionRefusal.isEmpty())
        {
            EXPECT_EQ (vorntest::errorLines (converted), optionRefusal) << c.what;
            EXPECT_FALSE (box.work.getChildFile (output).exists()) << c.what;
            continue;
        }
        // The convert's refusal is the plan's writer blocker, unless the preflight blocked first.
        juce::String refusal;
        for (const auto& line : converted.outLines())
            if (line.startsWith ("ERROR   "))
                refusal = line.substring (8);
        ASSERT_TRUE (refusal.isNotEmpty()) << c.what << "\n" << converted.out;
        bool writerBlocker = false, otherBlocker = false;
        for (const auto& line : planned.outLines())
        {
            if (line.startsWith ("  BLOCKER target.writer "))
            {
                writerBlocker = true;
                EXPECT_EQ (line.substring (46), refusal) << c.what;
            }
            else if (line.startsWith ("  BLOCKER "))
                otherBlocker = true;
        }
        EXPECT_TRUE (writerBlocker || otherBlocker) << c.what << "\n" << planned.out;
        if (c.writerRefusal.isNotEmpty())
        {
            EXPECT_EQ (refusal, c.writerRefusal) << c.what;
            EXPECT_TRUE (writerBlocker && ! otherBlocker) << c.what << "\n" << planned.out;
        }
        EXPECT_FALSE (box.work.getChildFile (output).exists()) << c.what;
    }
    EXPECT_EQ (box.tmpEntries(), 0);
}

TEST (ConversionRunnerConvert, SceneToSceneIsVerifiedExclusiveAndStable)
{
    RunnerSandbox box;
    SceneSlot bypassed;
    bypassed.strip = 3;
    bypassed.slot = 5;
    bypassed.state = 1;
    const auto scene = box.write ("in.ksn", writerShapedScene ({ SceneSlot(), bypassed }));
    box.write ("good.tsv", catalogRow());
    const auto before = digestOf (scene);
    const auto first = box.work.getChildFile ("out/nested/first.ksn");

    const auto run = box.run ({ "--convert", "vorn", "--factory-catalog", "good.tsv", "--output", str (first), "in.ksn" });
    EXPECT_EQ (run.exitCode, 0) << run.out;
    EXPECT_EQ (run.outLines(), lines ({ "CANDIDATE  " + scene.getFullPathName() + " -> " + first.getFullPathName(),
                                        "WARNING    converter exact reread passed; Vorn Live host load/DSP validation pending",
                                        "WARNING    " + snapshotRenamed ("in", "first"), "" }));
    ASSERT_TRUE (first.existsAsFile());
    EXPECT_EQ (first.getParentDirectory().getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1);

    // The written scene reads back as complete and converts again to the very same bytes.
    const auto second = box.work.getChildFile ("second.KSN");
    const auto again = box.run ({ "--convert", "vorn", "--factory-catalog", "good.tsv", "--output", "second.KSN", str (first) });
    EXPECT_EQ (again.exitCode, 0) << again.out;
    EXPECT_EQ (digestOf (second), digestOf (first));

    // A second convert onto an existing file is refused and leaves it untouched.
    const auto firstDigest = digestOf (first);
    const auto refused = box.run ({ "--convert", "vorn", "--factory-catalog", "good.tsv", "--output", str (first), "in.ksn" });
    EXPECT_EQ (refused.exitCode, 1);
    EXPECT_EQ (refused.outLines(), lines ({ "ERROR   --output: refusing to replace existing output: " + first.getFullPathName(), "" }));
    EXPECT_EQ (digestOf (first), firstDigest);

    // A plug-in the catalog knows but marks as not installed is written switched off, and counted.
    box.write ("unavailable.tsv", catalogRow ("0"));
    const auto off = box.work.getChildFile ("off.ksn");
    const auto unavailable = box.run ({ "--convert", "vorn", "--factory-catalog", "unavailable.tsv", "--output", "off.ksn", "in.ksn" });
    EXPECT_EQ (unavailable.exitCode, 0) << unavailable.out;
    EXPECT_EQ (unavailable.outLines(), lines ({ "CANDIDATE  " + scene.getFullPathName() + " -> " + off.getFullPathName(),
                                                "WARNING    strip 3, slot 5 is written switched off; its bypass flag cannot be stored as well",
                                                "WARNING    converter exact reread passed; Vorn Live host load/DSP validation pending",
                                                "WARNING    " + snapshotRenamed ("in", "off"),
                                                writtenInactive ("strip 0, slot 0 (TestComp)"), writtenInactive ("strip 3, slot 5 (TestComp)"),
                                                "UNAVAILABLE_PLUGINS 2", "" })) << unavailable.out;
    EXPECT_TRUE (off.loadFileAsString().contains ("<Slot index=\"0\" state=\"2\""));

    // The input itself is an existing file too.
    const auto onto = box.run ({ "--convert", "vorn", "--factory-catalog", "good.tsv", "--output", "in.ksn", "in.ksn" });
    EXPECT_EQ (onto.exitCode, 1);
    EXPECT_EQ (digestOf (scene), before);
    EXPECT_EQ (box.tmpEntries(), 0);
}

TEST (ConversionRunnerConvert, RefusalsLeaveNothingBehind)
{
    RunnerSandbox box;
    box.write ("in.ksn", writerShapedScene ({ SceneSlot() }));
    box.write ("good.tsv", catalogRow());
    box.write ("other.tsv", catalogRow ({}, "FEDCBA9876543210FEDCBA9876543210"));
    box.write ("notes.txt", "x");

    struct Case { std::vector<std::string> args; juce::String line; };
    const std::vector<Case> cases = {
        // The output's extension is checked before the input is read at all.
        { { "--convert", "vorn", "--output", "out/x.xml", "missing.ksn" }, "ERROR   --output: output extension must be .ksn: " + box.path ("out/x.xml") },
        { { "--convert", "reaper", "--output", "out/x.ksn", "in.ksn" }, "ERROR   --output: output extension must be .rpp: " + box.path ("out/x.ksn") },
        { { "--convert", "vorn", "--output", "out/x.ksn", "notes.txt" }, "ERROR   " + vornconv::app::unknownInputRefusal() + ": " + box.path ("notes.txt") },
        { { "--convert", "vorn", "--output", "out/x.ksn", "missing.ksn" }, "ERROR   file not found: " + box.path ("missing.ksn") },
        { { "--convert", "superrack-performer", "--template", "in.ksn", "--factory-catalog", "good.tsv", "--output", "out/x.sprk", "in.ksn" },
          "ERROR   --template: SuperRack template extension must be .sprk: " + box.path ("in.ksn") },
        { { "--convert", "superrack-performer", "--template", "t.sprk", "--factory-catalog", "good.tsv", "--output", "out/x.sprk", "in.ksn" },
          "ERROR   --template: file not found: " + box.work.getChildFile ("t.sprk").getFullPathName() },
        { { "--convert", "reaper", "--template", "notes.txt", "--factory-catalog", "good.tsv", "--output", "out/x.rpp", "in.ksn" },
          "ERROR   --template: REAPER optional template extension must be .rpp: " + box.path ("notes.txt") },
        { { "--convert", "reaper", "--profile", "1x1", "--reaper-state-probe", "0:1", "--reaper-normalized-probe",
            "--factory-catalog", "good.tsv", "--output", "out/x.rpp", "in.ksn" },
          "ERROR   REAPER probe requires a complete source and exactly one probe mode" },
        { { "--convert", "reaper", "--profile", "1x1", "--reaper-state-probe", "0:1", "--factory-catalog", "good.tsv",
            "--output", "out/x.rpp", "in.ksn" },
          "ERROR   REAPER state probe source slot is absent" },
        { { "--convert", "reaper", "--profile", "1x1", "--reaper-state-probe", "1:0", "--factory-catalog", "good.tsv",
            "--output", "out/x.rpp", "in.ksn" },
          "ERROR   REAPER state probe source slot is absent" },
        { { "--convert", "reaper", "--profile", "70x8", "--reaper-normalized-probe", "--factory-catalog", "good.tsv",
            "--output", "out/x.rpp", "in.ksn" },
          "ERROR   REAPER state probe profile exceeds source strips" },
    };
    for (const auto& c : cases)
    {
        const auto run = box.run (c.args);
        EXPECT_EQ (run.exitCode, 1) << c.line;
        // A refusal of the options stands alone; one of a run is followed by main's empty line.
        const bool ofTheOptions = c.line.contains ("template");
        EXPECT_EQ (run.outLines(), ofTheOptions ? lines ({ c.line }) : lines ({ c.line, "" })) << c.line << "\n" << run.out;
    }
    // An option the writer cannot do without: the plan's blocker that names what supplies it, then
    // the refusal in its words.
    struct Missing { std::vector<std::string> args; juce::String blocker; juce::String refusal; };
    const Missing missing[] = {
        { { "--convert", "superrack-performer", "--factory-catalog", "good.tsv", "--output", "out/x.sprk", "in.ksn" },
          "  BLOCKER target.template                     SuperRack writer requires a verified 5.0.0.19 host-save base: --template "
          "supplies it (a session SuperRack Performer 5.0.0.19 saved)",
          "ERROR   SuperRack writer requires a verified 5.0.0.19 host-save base: --template supplies it (a session SuperRack "
          "Performer 5.0.0.19 saved)" },
        { { "--convert", "reaper", "--factory-catalog", "good.tsv", "--output", "out/x.rpp", "in.ksn" },
          juce::String::fromUTF8 (u8"  BLOCKER target.profile                      가변 구조 호스트의 source-shaped output profile이 제공되지 않았다"),
          "ERROR   REAPER writer requires --profile <strips>x<slots>" },
    };
    for (const auto& m : missing)
    {
        const auto run = box.run (m.args);
        EXPECT_EQ (run.exitCode, 1) << m.refusal;
        EXPECT_EQ (run.outLines(), lines ({ m.blocker, m.refusal, "" })) << run.out;
    }
    EXPECT_FALSE (box.work.getChildFile ("out").exists());
    EXPECT_EQ (box.tmpEntries(), 0);
}

// A convert the preflight refuses says why, as the plan with the same options does: the plan's
// blocker lines, in its order, then the refusal.
TEST (ConversionRunnerConvert, ARefusalOfThePreflightPrintsItsBlockersFirst)
{
    RunnerSandbox box;
    box.write ("in.ksn", writerShapedScene ({ SceneSlot() }));
    box.write ("other.tsv", catalogRow ({}, "FEDCBA9876543210FEDCBA9876543210"));
    const juce::File example (VORN_EXAMPLES_DIR);
    const auto stageLeft = example.getChildFile ("stage-left.ksn").getFullPathName().toStdString();
    const auto catalog = example.getChildFile ("stage-left-catalog.tsv").getFullPathName().toStdString();
    const auto cache = example.getChildFile ("stage-left-reaper.ini").getFullPathName().toStdString();

    struct Case
    {
        const char* what;
        std::vector<std::string> options;   // of the plan and the convert alike
        std::string input;
        juce::String refusal;
        juce::String blockerCode;           // one blocker the lines must hold
    };
    const Case cases[] = {
        { "a plug-in no catalog row proves", { "vorn", "--factory-catalog", "other.tsv" }, "in.ksn",
          "ERROR   RAPP preflight blocked Vorn output", "strip 0, slot 0 (TestComp)" },
        // The example's strips are patched: REAPER needs the I/O capacity.
        { "patched strips without --io", { "reaper", "--profile", "16x8", "--factory-catalog", catalog, "--reaper-cache", cache },
          stageLeft, "ERROR   RAPP preflight blocked REAPER output", "target.io" },
    };
    for (const auto& c : cases)
    {
        std::vector<std::string> plan { "--plan" }, convert { "--convert" };
        plan.insert (plan.end(), c.options.begin(), c.options.end());
        convert.insert (convert.end(), c.options.begin(), c.options.end());
        plan.push_back (c.input);
        convert.insert (convert.end(), { "--output", "out/x" + std::string (c.options[0] == "vorn" ? ".ksn" : ".rpp"), c.input });

        juce::StringArray blockers;
        for (const auto& line : box.run (plan).outLines())
            if (line.startsWith ("  BLOCKER "))
                blockers.add (line);
        ASSERT_FALSE (blockers.isEmpty()) << c.what;
        bool named = false;
        for (const auto& line : blockers)
            named = named || line.startsWith ("  BLOCKER " + c.blockerCode.paddedRight (' ', 36));
        EXPECT_TRUE (named) << c.what << "\n" << blockers.joinIntoString ("\n");

        const auto run = box.run (convert);
        EXPECT_EQ (run.exitCode, 1) << c.what;
        auto expected = blockers;
        expected.addArray ({ c.refusal, "" });
        EXPECT_EQ (run.outLines(), expected) << c.what << "\n" << run.out;
    }
    EXPECT_FALSE (box.work.getChildFile ("out").exists());
    EXPECT_EQ (box.tmpEntries(), 0);
}

namespace
{
juce::var parsedJson (const std::string& text)
{
    juce::var v;
    EXPECT_TRUE (juce::JSON::parse (juce::String::fromUTF8 (text.c_str()), v).wasOk()) << text;
    return v;
}
} // namespace

TEST (ConversionRunnerSelection, ReportCapacityFollowsTargetAndProfile)
{
    RunnerSandbox box;
    SceneSlot late;
    late.strip = 1;
    late.slot = 4;
    SceneSlot second;
    second.strip = 2;
    second.slot = 1;
    // Three strips whose slot lists hold 0, 5 and 2 positions.
    const auto scene = box.write ("in.ksn", writerShapedScene ({ late, second }, 3));
    box.write ("good.tsv", catalogRow());

    struct Case { std::vector<std::string> args; int strips; int slots; };
    const Case cases[] = {
        { { "--selection-report", "reaper", "in.ksn" }, 3, 5 },
        { { "--selection-report", "reaper", "--profile", "16x4", "in.ksn" }, 16, 4 },
        { { "--selection-report", "vorn", "in.ksn" }, 64, 8 },
        { { "--selection-report", "liveprofessor", "in.ksn" }, 3, 5 },
    };
    for (const auto& c : cases)
    {
        const auto& args = c.args;
        const auto run = box.run (args);
        EXPECT_EQ (run.exitCode, 0) << run.out;
        EXPECT_EQ (run.err, "");
        ASSERT_EQ (run.outLines().size(), 1) << run.out;  // one JSON line, no banner, no empty line
        const auto doc = parsedJson (run.out);
        EXPECT_EQ (doc["schema"].toString(), "vorn-rapp-selection-v1");
        EXPECT_EQ (doc["target"].toString(), juce::String (c.args[1]));
        EXPECT_EQ (doc["sourceSha256"].toString(), digestOf (scene));
        EXPECT_EQ ((int) doc["targetStrips"], c.strips) << c.args[1];
        EXPECT_EQ ((int) doc["targetSlots"], c.slots) << c.args[1];
        EXPECT_EQ (doc["channels"].size(), 3);
    }

    const auto failed = box.run ({ "--selection-report", "vorn", "missing.ksn" });
    EXPECT_EQ (failed.exitCode, 1);
    EXPECT_EQ (failed.outLines(), lines ({ "ERROR   file not found: " + box.path ("missing.ksn") }));

    // A profile where no target is shaped, and the options a report does not use, are refused by
    // name rather than ignored in silence.
    const Case refusedCases[] = {
        { { "--selection-report", "vorn", "--profile", "16x4", "in.ksn" }, 0, 0 },
        { { "--selection-report", "liveprofessor", "--plugin-probe", "good.tsv", "in.ksn" }, 0, 0 },
        { { "--selection-report", "reaper", "--factory-catalog", "good.tsv", "in.ksn" }, 0, 0 },
    };
    for (const auto& c : refusedCases)
    {
        const auto run = box.run (c.args);
        EXPECT_EQ (run.exitCode, 1) << run.out;
        EXPECT_TRUE (run.out.rfind ("ERROR   " + c.args[2] + " is not an option of --selection-report " + c.args[1] + "; it goes with ", 0) == 0)
            << run.out;
    }
}

TEST (ConversionRunnerSelection, PlanAndConvertApplyTheEditedReport)
{
    RunnerSandbox box;
    SceneSlot bypassed;
    bypassed.strip = 3;
    bypassed.slot = 5;
    const auto scene = box.write ("in.ksn", writerShapedScene ({ SceneSlot(), bypassed }));
    box.write ("good.tsv", catalogRow());

    // Leave strip 3's plug-in out and move strip 0 to 10.
    const auto report = box.run ({ "--selection-report", "vorn", "in.ksn" });
    ASSERT_EQ (report.exitCode, 0);
    auto doc = parsedJson (report.out);
    auto& channels = *doc["channels"].getArray();
    channels.getReference (3)["plugins"].getArray()->getReference (0).getDynamicObject()->setProperty ("selected", false);
    channels.getReference (0).getDynamicObject()->setProperty ("targetIndex", 10);
    channels.getReference (10).getDynamicObject()->setProperty ("selected", false);
    box.write ("edited.json", vornconv::json::toJsonLine (doc));

    const auto plan = box.run ({ "--plan", "vorn", "--factory-catalog", "good.tsv", "--selection", "edited.json", "in.ksn" });
    EXPECT_EQ (plan.exitCode, 0) << plan.out;
    const auto planLines = plan.outLines();
    EXPECT_TRUE (planLines.contains ("  plugins=1 state-portable=1 identity-resolved=1")) << plan.out;

    const auto out = box.work.getChildFile ("out.ksn");
    const auto convert = box.run ({ "--convert", "vorn", "--factory-catalog", "good.tsv", "--selection", "edited.json",
                                    "--output", "out.ksn", "in.ksn" });
    EXPECT_EQ (convert.exitCode, 0) << convert.out;
    const auto written = vornconv::readVornKsn (out);
    ASSERT_TRUE (written.ok) << written.error;
    EXPECT_EQ (written.session.countPlugins(), 1);
    bool movedStrip = false;
    for (const auto& strip : written.session.strips)
        if (strip.index == 10)
            movedStrip = strip.name == "Vox" && strip.plugins.size() > 0 && strip.plugins.getReference (0).occupied;
    EXPECT_TRUE (movedStrip);

    // Refusals: after the banner for a plan, on their own for a convert; each followed by main's empty line.
    box.write ("anything.json", "{}");
    // A selection is exactly one document: text after it is refused, saying where it stands.
    const auto reaperReport = box.run ({ "--selection-report", "reaper", "--profile", "64x8", "in.ksn" });
    ASSERT_EQ (reaperReport.exitCode, 0) << reaperReport.out;
    const auto reaperSelection = juce::String (reaperReport.out).trimEnd();
    box.write ("trailing.json", reaperSelection + "\n}");
    const auto fileLine = "FILE    " + scene.getFullPathName();
    struct Case { std::vector<std::string> args; juce::StringArray expected; };
    const std::vector<Case> cases = {
        { { "--plan", "reaper", "--selection", "anything.json", "in.ksn" },
          lines ({ "", banner, fileLine, "ERROR   selection requires a fixed target capacity or --profile", "" }) },
        // A selection that is not there is refused with the options, before anything runs.
        { { "--plan", "vorn", "--selection", "none.json", "in.ksn" },
          lines ({ "ERROR   --selection: file not found: " + box.path ("none.json") }) },
        { { "--plan", "reaper", "--profile", "64x8", "--selection", "edited.json", "in.ksn" },
          lines ({ "", banner, fileLine, "ERROR   --selection: selection target does not match conversion target: the file is for \"vorn\", "
                   "the conversion for \"reaper\" (in " + box.path ("edited.json") + ")", "" }) },
        { { "--plan", "reaper", "--profile", "64x8", "--selection", "trailing.json", "in.ksn" },
          lines ({ "", banner, fileLine, "ERROR   --selection: selection schema is invalid: text after the JSON document at line 2, column 1 (in "
                   + box.path ("trailing.json") + ")", "" }) },
        { { "--convert", "vorn", "--selection", "anything.json", "--output", "x.ksn", "in.ksn" },
          lines ({ "ERROR   --selection: selection schema is invalid: schema is not \"vorn-rapp-selection-v1\" (in " + box.path ("anything.json")
                   + ")", "" }) },
    };
    for (const auto& c : cases)
    {
        auto args = c.args;
        args.insert (args.end() - 1, { "--factory-catalog", "good.tsv" });
        const auto run = box.run (args);
        EXPECT_EQ (run.exitCode, 1);
        EXPECT_EQ (run.outLines(), c.expected) << run.out;
    }

    // One changed byte of the input voids the selection.
    scene.replaceWithText (scene.loadFileAsString().replace ("Vox", "Vix"));
    const auto changed = box.run ({ "--plan", "vorn", "--factory-catalog", "good.tsv", "--selection", "edited.json", "in.ksn" });
    EXPECT_EQ (changed.exitCode, 1);
    EXPECT_EQ (changed.outLines(),
               lines ({ "", banner, fileLine, "ERROR   --selection: selection source fingerprint does not match the current input file (in "
                        + box.path ("edited.json") + ")", "" }));
    EXPECT_FALSE (box.work.getChildFile ("x.ksn").exists());
    EXPECT_EQ (box.tmpEntries(), 0);
}
