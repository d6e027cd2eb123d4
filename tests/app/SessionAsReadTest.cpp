#include "SprkFixture.h"
#include "TestSupport.h"

#include "model/JsonWriter.h"
#include "rapp/RappConversionPlan.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// A conversion accounts for the session as its reader gave it: what a selection leaves out is
// named, a snapshot the output gains, loses or renames has its line in the plan and the convert,
// and a mono strip's routes have one form in every host.

namespace
{

juce::String utf8 (const char* text) { return juce::String::fromUTF8 (text); }

juce::String warningLine (const char* code, const juce::String& text)
{
    return vornconv::rapp::formatIssueLine ({ vornconv::rapp::severityWarning, code, text });
}

juce::var parsedJson (const std::string& text) { return juce::JSON::parse (juce::String::fromUTF8 (text.c_str()).trim()); }

// A confirmed scene of sixteen active strips without plug-ins: a mono strip fed from input 5 (its
// right input written as none), a mono strip in and out as the scene writer writes one (the right
// input and output repeating the left), a stereo strip, and thirteen unrouted ones (with the
// inactive strips up to 64 that a scene lists).
juce::String monoScene()
{
    juce::XmlElement root ("VornLiveScene");
    root.setAttribute ("version", 1);
    root.setAttribute ("snapshotStatus", "confirmed");
    for (const char* count : { "dirtyPluginStateCount", "opaqueStatePendingCount", "incompleteParameterMirrorCount" })
        root.setAttribute (count, 0);
    auto* strips = root.createNewChildElement ("Strips");
    auto* routing = root.createNewChildElement ("Routing");
    struct Shape
    {
        const char* name;
        bool stereoIn, stereoOut;
        int inL, inR, outL, outR;
    };
    const Shape shapes[] = {
        { "Mono In", false, true, 5, -1, 0, 1 },
        { "Mono Both", false, false, 6, 6, 2, 2 },
        { "Stereo", true, true, 8, 9, 0, 1 },
    };
    for (int i = 0; i < 64; ++i)
    {
        const auto shape = i < 3 ? shapes[i] : Shape { nullptr, true, true, -1, -1, -1, -1 };
        auto* strip = strips->createNewChildElement ("Strip");
        strip->setAttribute ("index", i);
        strip->setAttribute ("name", shape.name != nullptr ? juce::String (shape.name) : "Ch " + juce::String (i + 1));
        strip->setAttribute ("inputStereo", shape.stereoIn ? 1 : 0);
        strip->setAttribute ("outputStereo", shape.stereoOut ? 1 : 0);
        auto* route = routing->createNewChildElement ("Route");
        route->setAttribute ("strip", i);
        route->setAttribute ("inL", shape.inL);
        route->setAttribute ("inR", shape.inR);
        route->setAttribute ("outL", shape.outL);
        route->setAttribute ("outR", shape.outR);
    }
    root.createNewChildElement ("Setup")->setAttribute ("channelMode", 0);
    return root.toString();
}

// The program's sandbox with the mono scene as s.ksn, the example scene and its catalog, a
// SuperRack host-save base, LiveProfessor's plug-in list and a probe: every host can take the
// mono scene, whose strips hold no plug-in.
struct SessionSandbox : vorntest::ProgramSandbox
{
    SessionSandbox()
    {
        write ("s.ksn", monoScene());
        write ("stage-left.ksn", juce::File (VORN_EXAMPLES_DIR "/stage-left.ksn").loadFileAsString());
        write ("cat.tsv", juce::File (VORN_EXAMPLES_DIR "/stage-left-catalog.tsv").loadFileAsString());
        vorntest::SprkFixture base ("base.sprk");
        vorntest::makeSprkTemplate (base);
        base.close();
        EXPECT_TRUE (base.file.copyFileTo (work.getChildFile ("base.sprk")));
        liveProfessorList().getParentDirectory().createDirectory();
        liveProfessorList().replaceWithText ("<PROPERTIES><VALUE name=\"KnownPluginList\"><KNOWNPLUGINS><PLUGIN format=\"VST3\" "
                                             "name=\"EQ\" manufacturer=\"Acme\" version=\"1.0\" file=\"/opt/EQ.vst3\" numInputs=\"2\" "
                                             "numOutputs=\"2\" uniqueId=\"1\" uid=\"2\"/></KNOWNPLUGINS></VALUE></PROPERTIES>");
        write ("probe.sh", "#!/bin/sh\nprintf 'VNPM\\t1\\nP\\t0\\t0.5\\n'\n");
        work.getChildFile ("probe.sh").setExecutePermission (true);
    }

    // The target word and the options plan and convert of the mono scene share, by host.
    static std::vector<std::string> target (const std::string& word)
    {
        if (word == "superrack-performer")
            return { word, "--template", "base.sprk" };
        if (word == "liveprofessor")
            return { word, "--profile", "16x8", "--io", "16x16", "--plugin-probe", "probe.sh", "--parameter-cache", "cache" };
        if (word == "reaper")
            return { word, "--profile", "16x8", "--io", "16x16" };
        return { word };
    }

    vorntest::ProcessResult plan (const std::string& word, const std::string& input) const
    {
        auto args = target (word);
        args.insert (args.begin(), "--plan");
        args.push_back (input);
        return run (args);
    }

    vorntest::ProcessResult convert (const std::string& word, const std::string& input, const std::string& output) const
    {
        auto args = target (word);
        args.insert (args.begin(), "--convert");
        args.insert (args.end(), { "--output", output, input });
        return run (args);
    }

    juce::var manifest (const std::string& file) const { return parsedJson (run ({ "--manifest", file }).out); }
};

} // namespace

// A selection that leaves out the Kick's plug-in and the channels 4 to 15: the plan and the
// convert name what it left out, and the ledger counts the strips of the source as read.
TEST (SessionAsRead, ASelectionsExclusionsAreNamedAndTheLedgerCountsTheSourceAsRead)
{
    SessionSandbox box;
    const auto report = box.run ({ "--selection-report", "vorn", "stage-left.ksn" });
    ASSERT_EQ (report.exitCode, 0) << report.out;
    auto document = parsedJson (report.out);
    auto& channels = *document["channels"].getArray();
    ASSERT_EQ (channels.size(), 16);
    channels.getReference (0)["plugins"].getArray()->getReference (0).getDynamicObject()->setProperty ("selected", false);
    for (int i = 4; i < 16; ++i)
        channels.getReference (i).getDynamicObject()->setProperty ("selected", false);
    box.write ("selection.json", vornconv::json::toJsonLine (document));

    juce::StringArray excluded;
    for (int i = 4; i < 16; ++i)
        excluded.add ("strip " + juce::String (i) + " (Ch " + juce::String (i + 1) + ")");
    const auto channelsLeftOut = "user excluded 12 channels for target capacity: " + excluded.joinIntoString (", ");
    const juce::String pluginsLeftOut = "user excluded 1 plugins for target capacity: strip 0, slot 0 (FreqShaper)";
    const auto strips = utf8 (u8"strips: 12 added — Vorn Live scenes hold 16 strips where the source has 16 and the selection keeps 4 "
                              u8"(first: strip 4, Ch 5)");

    const auto plan = box.run ({ "--plan", "vorn", "--factory-catalog", "cat.tsv", "--selection", "selection.json", "stage-left.ksn" });
    EXPECT_EQ (plan.exitCode, 0) << plan.out;
    const auto convert = box.run ({ "--convert", "vorn", "--factory-catalog", "cat.tsv", "--selection", "selection.json",
                                    "--output", "kept.ksn", "stage-left.ksn" });
    ASSERT_EQ (convert.exitCode, 0) << convert.out;
    for (const auto* run : { &plan, &convert })
    {
        const auto lines = run->outLines();
        EXPECT_TRUE (lines.contains (warningLine ("selection.channels", channelsLeftOut))) << run->out;
        EXPECT_TRUE (lines.contains (warningLine ("selection.plugins", pluginsLeftOut))) << run->out;
    }
    EXPECT_TRUE (plan.outLines().contains (warningLine ("ledger.strips", strips))) << plan.out;
    EXPECT_TRUE (convert.outLines().contains ("WARNING    " + strips)) << convert.out;

    // A selection that swaps the Kick with strip 5 and moves its plug-in to slot 3: the ledger still
    // names the plug-in where the source holds it.
    box.write ("reaper.ini", juce::File (VORN_EXAMPLES_DIR "/stage-left-reaper.ini").loadFileAsString());
    const auto reaperReport = box.run ({ "--selection-report", "reaper", "--profile", "16x8", "stage-left.ksn" });
    ASSERT_EQ (reaperReport.exitCode, 0) << reaperReport.out;
    auto moved = parsedJson (reaperReport.out);
    auto& movedChannels = *moved["channels"].getArray();
    movedChannels.getReference (0).getDynamicObject()->setProperty ("targetIndex", 5);
    movedChannels.getReference (0)["plugins"].getArray()->getReference (0).getDynamicObject()->setProperty ("targetSlot", 3);
    movedChannels.getReference (5).getDynamicObject()->setProperty ("targetIndex", 0);
    box.write ("moved.json", vornconv::json::toJsonLine (moved));
    const auto mirror = utf8 (u8"1 plug-in: parameterSha256 not carried — REAPER projects store no parameterSha256 "
                              u8"(first: strip 0, slot 0, FreqShaper)");
    const auto toReaper = box.run ({ "--convert", "reaper", "--profile", "16x8", "--io", "16x16", "--factory-catalog", "cat.tsv",
                                     "--reaper-cache", "reaper.ini", "--selection", "moved.json", "--output", "moved.rpp",
                                     "stage-left.ksn" });
    ASSERT_EQ (toReaper.exitCode, 0) << toReaper.out;
    EXPECT_TRUE (toReaper.outLines().contains ("WARNING    " + mirror)) << toReaper.out;
}

// A snapshot the output gains, loses or renames has its line in the plan and in the convert. A
// scene's one snapshot takes its file's name, so the plan, which has no output, says so.
TEST (SessionAsRead, EverySnapshotTheOutputGainsLosesOrRenamesHasItsLine)
{
    SessionSandbox box;
    const auto zero = box.convert ("reaper", "s.ksn", "zero.rpp");
    ASSERT_EQ (zero.exitCode, 0) << zero.out;

    struct Case
    {
        const char* label;
        const char* target;
        const char* input;
        const char* output;
        juce::String planText;
        juce::String convertText;
    };
    const auto renamedInScene = [] (const char* name)
    {
        return utf8 (u8"snapshots: 1 renamed — Vorn Live scenes name their snapshot after their file (first: s → ") + name + ")";
    };
    const auto renamedInProject = utf8 (u8"snapshots: 1 renamed — LiveProfessor projects hold 1 snapshot where the source has 1 "
                                        u8"(first: s → VORN_CLEAN_SNAPSHOT)");
    const auto gained = utf8 (u8"snapshots: 1 added — LiveProfessor projects hold 1 snapshot where the source has 0 "
                              u8"(first: VORN_CLEAN_SNAPSHOT)");
    const auto lost = utf8 (u8"snapshots: 1 not carried — REAPER projects hold 0 snapshots where the source has 1 (first: s)");
    const std::vector<Case> cases = {
        { "a project gains the LiveProfessor writer's own snapshot", "liveprofessor", "zero.rpp", "gained.rack2", gained, gained },
        { "REAPER loses the scene's snapshot", "reaper", "s.ksn", "lost.rpp", lost, lost },
        { "the scene's snapshot becomes LiveProfessor's own", "liveprofessor", "s.ksn", "renamed.rack2", renamedInProject,
          renamedInProject },
        { "the scene's snapshot takes the new scene's name", "vorn", "s.ksn", "new.ksn", renamedInScene ("the output's file name"),
          renamedInScene ("new") },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        const auto plan = box.plan (c.target, c.input);
        EXPECT_EQ (plan.exitCode, 0) << plan.out;
        EXPECT_TRUE (plan.outLines().contains (warningLine ("ledger.snapshots", c.planText))) << plan.out;
        const auto convert = box.convert (c.target, c.input, c.output);
        ASSERT_EQ (convert.exitCode, 0) << convert.out;
        EXPECT_TRUE (convert.outLines().contains ("WARNING    " + c.convertText)) << convert.out;
    }

    // A scene that keeps its name says nothing of its snapshot.
    box.work.getChildFile ("same").createDirectory();
    const auto same = box.convert ("vorn", "s.ksn", "same/s.ksn");
    ASSERT_EQ (same.exitCode, 0) << same.out;
    EXPECT_EQ (same.out.find ("snapshot"), std::string::npos) << same.out;
}

// A mono strip, fed from one input (its right input written as none, or repeating the left as the
// scene writer writes it), through every host and back to a scene: every manifest on the way holds
// the same routes for it.
TEST (SessionAsRead, AMonoStripKeepsItsManifestThroughEveryHostAndBack)
{
    SessionSandbox box;
    // The routes of the first three strips, one line each.
    const auto routesOf = [] (const juce::var& manifest)
    {
        std::vector<std::string> routes;
        const auto* strips = manifest["strips"].getArray();
        if (strips == nullptr)
            return routes;
        for (int i = 0; i < 3 && i < strips->size(); ++i)
        {
            const auto& strip = strips->getReference (i);
            juce::String line;
            for (const char* key : { "index", "inputChannels", "outputChannels", "routeInL", "routeInR", "routeOutL", "routeOutR" })
                line << key << "=" << strip[key].toString() << " ";
            line << vornconv::json::toJsonLine (strip["routePatches"]);
            routes.push_back (line.toStdString());
        }
        return routes;
    };
    const auto source = routesOf (box.manifest ("s.ksn"));
    ASSERT_EQ (source.size(), 3);
    EXPECT_NE (source[1].find ("routeInR=-1 "), std::string::npos) << source[1];

    const std::map<std::string, std::string> outputs = {
        { "vorn", "out.ksn" }, { "superrack-performer", "out.sprk" }, { "liveprofessor", "out.rack2" }, { "reaper", "out.rpp" },
    };
    for (const auto& [word, output] : outputs)
    {
        SCOPED_TRACE (word);
        const auto there = box.convert (word, "s.ksn", output);
        ASSERT_EQ (there.exitCode, 0) << there.out;
        EXPECT_EQ (routesOf (box.manifest (output)), source);
        const auto back = "back-" + output + ".ksn";
        const auto returned = box.convert ("vorn", output, back);
        ASSERT_EQ (returned.exitCode, 0) << returned.out;
        EXPECT_EQ (routesOf (box.manifest (back)), source);
    }
}
