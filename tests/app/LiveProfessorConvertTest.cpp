#include "TestSupport.h"

#include "model/TestHooks.h"
#include "model/Vst3State.h"
#include "rapp/Vst3ModuleIndex.h"

#include <gtest/gtest.h>
#include <juce_data_structures/juce_data_structures.h>

namespace
{

const juce::String verifiedCid = "ED57BD725C60467EA64DD2F400758B6F";

// The program's sandbox with a scene of one strip with one host-verified VST3, its factory
// catalog, LiveProfessor's list in HOME and a probe that answers with two parameters.
struct ConvertSandbox : vorntest::ProgramSandbox
{
    juce::File bundle = root.file ("work/Eq.vst3");

    ConvertSandbox()
    {
        bundle.createDirectory();
        const auto uniqueId = juce::String::toHexString ((juce::int64) vornconv::rapp::deriveUniqueId (verifiedCid));
        const auto uid = juce::String::toHexString ((juce::int64) vornconv::rapp::deriveUid (verifiedCid));
        write ("cat.tsv", verifiedCid + "\tEQ Test\tAcme\t1.0.0\t" + bundle.getFullPathName() + "\n");
        const auto state = vornconv::vst3::buildJuceVst3State (juce::MemoryBlock ("ABC", 3), {}).toBase64Encoding();
        write ("one.ksn", scene (uniqueId, uid));
        write ("probe.sh", "#!/bin/sh\nprintf 'VNPM\\t2\\nP\\t0\\t0.25\\nP\\t1\\t1\\n'\n");
        work.getChildFile ("probe.sh").setExecutePermission (true);
        liveProfessorList().getParentDirectory().createDirectory();
        liveProfessorList().replaceWithText (
            "<PROPERTIES><VALUE name=\"KnownPluginList\"><KNOWNPLUGINS><PLUGIN format=\"VST3\" name=\"EQ Test\" manufacturer=\"Acme\" "
            "version=\"1.0.0\" file=\"" + bundle.getFullPathName() + "\" numInputs=\"2\" numOutputs=\"2\" uniqueId=\"" + uniqueId
            + "\" uid=\"" + uid + "\"/></KNOWNPLUGINS></VALUE></PROPERTIES>");
    }

    // A confirmed scene of 64 strips; the first holds the plug-in and is routed.
    juce::String scene (const juce::String& uniqueId, const juce::String& uid) const
    {
        const auto state = vornconv::vst3::buildJuceVst3State (juce::MemoryBlock ("ABC", 3), {}).toBase64Encoding();
        juce::String text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VornLiveScene version=\"1\" operatingMode=\"0\" "
                            "unmappedMixerParameterCount=\"0\" disabledSidechainCount=\"0\" snapshotStatus=\"confirmed\" dirtyPluginStateCount=\"0\" opaqueStatePendingCount=\"0\" incompleteParameterMirrorCount=\"1\"><Strips>";
        juce::String routes;
        for (int s = 0; s < 64; ++s)
        {
            text << "<Strip index=\"" << s << "\" name=\"Ch" << s << "\" trimDb=\"0.0\" outTrimDb=\"0.0\" pan=\"0.0\" muted=\"0\" "
                 << "soloed=\"0\" bypassed=\"0\" inputStereo=\"1\" outputStereo=\"1\">";
            if (s == 0)
                text << "<Slot index=\"0\" state=\"0\" pluginState=\"" << state << "\"><PLUGIN name=\"EQ Test\" format=\"VST3\" "
                     << "manufacturer=\"Acme\" uniqueId=\"" << uniqueId << "\" uid=\"" << uid << "\" file=\""
                     << bundle.getFullPathName() << "\"/></Slot>";
            text << "</Strip>";
            routes << "<Route strip=\"" << s << "\" " << (s == 0 ? "inL=\"0\" inR=\"1\" outL=\"0\" outR=\"1\""
                                                              : "inL=\"-1\" inR=\"-1\" outL=\"-1\" outR=\"-1\"") << "/>";
        }
        return text + "</Strips><Routing>" + routes + "</Routing><Setup channelMode=\"2\"/></VornLiveScene>";
    }

    vorntest::ProcessResult convert (std::vector<std::string> extra, const char* profile = "64x8") const
    {
        std::vector<std::string> args = { "--convert", "liveprofessor", "--profile", profile, "--io", "2x2", "--factory-catalog",
                                          "cat.tsv", "--plugin-probe", "probe.sh", "--parameter-cache", "cache" };
        args.insert (args.end(), extra.begin(), extra.end());
        return run (args);
    }
};

} // namespace

TEST (LiveProfessorConvert, WritesOnceAndThenRefusesToReplaceOrToGuessATemplate)
{
    ConvertSandbox box;
    const auto output = box.work.getChildFile ("show.rack2");

    const auto first = box.convert ({ "--output", "show.rack2", "one.ksn" });
    EXPECT_EQ (first.exitCode, 0);
    const auto lines = first.outLines();
    ASSERT_GE (lines.size(), 3);
    EXPECT_TRUE (lines[0].startsWith ("PARAMETER_MIRRORS ")) << lines[0];
    EXPECT_EQ (lines[1], "CANDIDATE  " + box.work.getChildFile ("one.ksn").getFullPathName() + " -> " + output.getFullPathName());
    EXPECT_TRUE (lines.contains ("WARNING    internal liveprofessor-2026.1-native-v1 exact reread passed; "
                                 "LiveProfessor host load/save/DSP validation pending"));
    EXPECT_TRUE (output.existsAsFile());

    const auto again = box.convert ({ "--output", "show.rack2", "one.ksn" });
    EXPECT_EQ (again.exitCode, 1);
    EXPECT_TRUE (again.outLines().contains ("ERROR   --output: refusing to replace existing output: " + output.getFullPathName()));

    const auto missingTemplate = box.convert ({ "--template", "none.rack2", "--output", "next.rack2", "one.ksn" });
    EXPECT_EQ (missingTemplate.exitCode, 1);
    EXPECT_EQ (vorntest::errorLines (missingTemplate),
               juce::StringArray ("ERROR   --template: file not found: " + box.path ("none.rack2")));
    EXPECT_FALSE (box.work.getChildFile ("next.rack2").exists());

    const auto fromTemplate = box.convert ({ "--template", "show.rack2", "--output", "next.rack2", "one.ksn" });
    EXPECT_EQ (fromTemplate.exitCode, 0);
    EXPECT_TRUE (fromTemplate.outLines().contains ("WARNING    converter exact reread passed; LiveProfessor host load/DSP validation pending"));

    // Nothing but the outputs and the cache is left behind.
    juce::StringArray names;
    for (const auto& f : box.work.findChildFiles (juce::File::findFilesAndDirectories, false, "*.rack2"))
        names.add (f.getFileName());
    names.sort (false);
    EXPECT_EQ (names, juce::StringArray ({ "next.rack2", "show.rack2" }));
    EXPECT_EQ (box.tmpEntries(), 0);
}

// The mirrors are prepared before the write, which may take long: their line is out before it, so
// that a run interrupted while the written project is read back has said it.
TEST (LiveProfessorConvert, TheMirrorsLineIsSaidBeforeTheWrite)
{
    if (! vornconv::testHooks::available)
        GTEST_SKIP() << "a build without test hooks";
    ConvertSandbox box;
    const auto run = box.runStoppedAt ({ "--convert", "liveprofessor", "--profile", "64x8", "--io", "2x2", "--factory-catalog", "cat.tsv",
                                         "--plugin-probe", "probe.sh", "--parameter-cache", "cache", "--output", "show.rack2", "one.ksn" },
                                       "read-back:1", [] (pid_t) {}, true);
    EXPECT_EQ (run.exitCode, 1);
    const auto printed = run.outLines();
    ASSERT_EQ (printed.size(), 2) << run.out;
    EXPECT_TRUE (printed[0].startsWith ("PARAMETER_MIRRORS kept=0 filled=1 ")) << printed[0];
    EXPECT_EQ (printed[1], "ERROR   interrupted");
    EXPECT_FALSE (box.work.getChildFile ("show.rack2").exists());
}

// A template the project reader reads only partially, such as a host-saved project with several
// global snapshots, is refused with the reader's reason.
TEST (LiveProfessorConvert, ATemplateReadPartiallyIsRefusedWithTheReason)
{
    ConvertSandbox box;
    ASSERT_EQ (box.convert ({ "--output", "show.rack2", "one.ksn" }).exitCode, 0);
    juce::MemoryBlock bytes;
    ASSERT_TRUE (box.work.getChildFile ("show.rack2").loadFileAsData (bytes));
    auto root = juce::ValueTree::readFromData (bytes.getData(), bytes.getSize());
    auto snapshots = root.getChildWithName ("GlobalSnapshots");
    if (! snapshots.isValid())
    {
        snapshots = juce::ValueTree ("GlobalSnapshots");
        root.appendChild (snapshots, nullptr);
    }
    for (int id = 101; snapshots.getNumChildren() < 5; ++id)
    {
        juce::ValueTree snapshot ("GlobalSnapshot");
        snapshot.setProperty ("GSid", id, nullptr);
        snapshot.setProperty ("GSname", "Scene " + juce::String (id), nullptr);
        snapshots.appendChild (snapshot, nullptr);
    }
    juce::MemoryOutputStream out;
    root.writeToStream (out);
    box.writeBytes ("five.rack2", std::string (static_cast<const char*> (out.getData()), out.getDataSize()));

    const auto refused = box.convert ({ "--template", "five.rack2", "--output", "next.rack2", "one.ksn" });
    EXPECT_EQ (refused.exitCode, 1);
    EXPECT_TRUE (refused.outLines().contains ("ERROR   --template: LiveProfessor template reader is not complete: snapshots - multiple "
                                              "GlobalSnapshots need per-snapshot RackIR state (in " + box.path ("five.rack2") + ")"))
        << refused.out;
    EXPECT_FALSE (box.work.getChildFile ("next.rack2").exists());
}

// A scene whose plug-in carries a complete parameter mirror (written from a LiveProfessor project)
// converted to LiveProfessor with a probe that would answer other values: the mirror is the
// source's and is kept, the probe does not run, and the mirror line says what was kept.
TEST (LiveProfessorConvert, ACompleteMirrorOfTheSourceIsKept)
{
    ConvertSandbox box;
    ASSERT_EQ (box.convert ({ "--output", "show.rack2", "one.ksn" }).exitCode, 0);
    const auto scene = box.run ({ "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "mirrored.ksn", "show.rack2" });
    ASSERT_EQ (scene.exitCode, 0) << scene.out;

    const auto log = box.work.getChildFile ("other.log");
    box.write ("other.sh", "#!/bin/sh\necho run >> '" + log.getFullPathName() + "'\nprintf 'VNPM\\t3\\nP\\t0\\t0.5\\nP\\t1\\t0.25\\nP\\t2\\t0.125\\n'\n");
    box.work.getChildFile ("other.sh").setExecutePermission (true);
    const std::vector<std::string> options = { "liveprofessor", "--profile", "64x8", "--io", "2x2", "--factory-catalog", "cat.tsv",
                                               "--plugin-probe", "other.sh", "--parameter-cache", "other-cache" };
    const auto kept = "PARAMETER_MIRRORS kept=1 filled=0 replaced=0 memory=0 cache=0 probed=0 repaired=0 skippedAU=0";

    auto planArgs = options;
    planArgs.insert (planArgs.begin(), "--plan");
    planArgs.push_back ("mirrored.ksn");
    const auto plan = box.run (planArgs);
    EXPECT_EQ (plan.exitCode, 0) << plan.out;
    EXPECT_TRUE (plan.outLines().contains (kept)) << plan.out;

    auto convertArgs = options;
    convertArgs.insert (convertArgs.begin(), "--convert");
    convertArgs.insert (convertArgs.end(), { "--output", "again.rack2", "mirrored.ksn" });
    const auto convert = box.run (convertArgs);
    ASSERT_EQ (convert.exitCode, 0) << convert.out;
    EXPECT_EQ (convert.outLines()[0], kept) << convert.out;
    EXPECT_FALSE (log.exists());

    const auto mirrorOf = [&box] (const char* file)
    {
        const auto manifest = juce::JSON::parse (juce::String::fromUTF8 (box.run ({ "--manifest", file }).out.c_str()).trim());
        const auto slot = manifest["strips"][0]["plugins"][0];
        return slot["parameterSha256"].toString() + ((bool) slot["parameterMirrorComplete"] ? " complete" : " incomplete");
    };
    const auto source = mirrorOf ("mirrored.ksn");
    EXPECT_TRUE (source.endsWith (" complete")) << source;
    EXPECT_EQ (mirrorOf ("again.rack2"), source);
}

// A selection that leaves the last channel out is written with the profile fitted to the kept
// channels, and says so.
TEST (LiveProfessorConvert, ASelectionOfFewerChannelsIsWrittenWithTheProfileFittedToThem)
{
    ConvertSandbox box;
    const auto report = box.run ({ "--selection-report", "liveprofessor", "--profile", "64x3", "one.ksn" });
    ASSERT_EQ (report.exitCode, 0) << report.out;
    auto document = juce::JSON::parse (juce::String::fromUTF8 (report.out.c_str()));
    auto* channels = document["channels"].getArray();
    ASSERT_NE (channels, nullptr);
    channels->getReference (63).getDynamicObject()->setProperty ("selected", false);
    box.write ("sel.json", juce::JSON::toString (document, true));

    const auto run = box.convert ({ "--selection", "sel.json", "--output", "fitted.rack2", "one.ksn" }, "64x3");
    EXPECT_EQ (run.exitCode, 0) << run.out;
    EXPECT_TRUE (run.outLines().contains ("  WARNING " + juce::String ("selection.profile").paddedRight (' ', 36)
                                          + "the selection keeps 63 of the 64 strips of --profile 64x3: written as --profile 63x3"))
        << run.out;
    const auto dump = box.run ({ "fitted.rack2" });
    EXPECT_TRUE (dump.outLines().contains ("RACK    63 strips (1 in use), 1 plugins, 1 snapshots")) << dump.out;
}
