#include "TestSupport.h"

#include "readers/ReaperRppReader.h"

#include <juce_cryptography/juce_cryptography.h>

#include <gtest/gtest.h>

namespace
{

const juce::File exampleScene (VORN_EXAMPLES_DIR "/stage-left.ksn");

// The bundled example, copied to a private folder so that the printed paths are known.
struct ExampleCopy
{
    ExampleCopy() { EXPECT_TRUE (exampleScene.copyFileTo (scene)); }
    vorntest::TempFolder tmp;
    juce::File scene = tmp.file ("stage-left.ksn");
};

// The example with an AudioUnit compressor added on the "Lead Vocal" strip.
juce::String exampleWithAudioUnit()
{
    const juce::String plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                               "<key>type</key><integer>1635083896</integer><key>subtype</key><integer>1131245682</integer>"
                               "<key>manufacturer</key><integer>1165520240</integer><key>name</key><string>Warm</string>"
                               "</dict></plist>";
    const auto state = juce::MemoryBlock (plist.toRawUTF8(), plist.getNumBytesAsUTF8()).toBase64Encoding();
    auto text = exampleScene.loadFileAsString();
    const juce::String vocal = "name=\"Lead Vocal\" trimDb=\"0.0\" outTrimDb=\"0.0\" pan=\"0.0\" muted=\"0\" soloed=\"0\" "
                               "bypassed=\"0\" inputStereo=\"1\" outputStereo=\"1\"/>";
    EXPECT_TRUE (text.contains (vocal));
    return text.replace (vocal, vocal.dropLastCharacters (2) + "><Slot index=\"1\" state=\"0\" sidechainSrc=\"0\" pluginState=\""
                                    + state + "\"><PLUGIN name=\"Warm Compressor\" format=\"AudioUnit\" manufacturer=\"Example Audio\" "
                                    "file=\"AudioUnit:Effects/aufx,Cmpr,Exmp\"/></Slot></Strip>");
}

std::string golden (const char* name, const juce::File& scene)
{
    return juce::File (VORN_TEST_SOURCE_DIR "/app/" + juce::String (name)).loadFileAsString()
        .replace ("@SCENE@", scene.getFullPathName()).toStdString();
}

juce::String digestOf (const juce::File& file)
{
    return juce::SHA256 (file).toHexString();
}

TEST (ExampleScene, DumpAndManifestMatchTheirGoldens)
{
    ExampleCopy example;
    ASSERT_TRUE (example.scene.replaceWithText (exampleWithAudioUnit()));
    const auto before = digestOf (example.scene);

    const auto dump = vorntest::runVornconvBinary ({ example.scene.getFullPathName().toStdString() }, example.tmp.path());
    EXPECT_EQ (dump.exitCode, 0);
    EXPECT_EQ (dump.err, "");
    EXPECT_EQ (dump.out, golden ("stage-left.dump.golden", example.scene));

    const auto manifest = vorntest::runVornconvBinary ({ "--manifest", "stage-left.ksn" }, example.tmp.path());
    EXPECT_EQ (manifest.exitCode, 0);
    EXPECT_EQ (manifest.err, "");
    EXPECT_EQ (manifest.out, golden ("stage-left.manifest.golden", example.scene));
    const auto again = vorntest::runVornconvBinary ({ "--manifest", example.scene.getFullPathName().toStdString() });
    EXPECT_EQ (again.out, manifest.out);

    EXPECT_EQ (digestOf (example.scene), before);
}

TEST (ExampleScene, ExportWritesWhatTheManifestDigestsAndNeverReplaces)
{
    ExampleCopy example;
    const auto before = digestOf (example.scene);
    const auto out = example.tmp.file ("states");
    const auto first = vorntest::runVornconvBinary ({ "--export-states", "states", "stage-left.ksn" }, example.tmp.path());
    EXPECT_EQ (first.exitCode, 0);
    const auto lines = first.outLines();
    ASSERT_GE (lines.size(), 3);
    EXPECT_EQ (lines[lines.size() - 2], "EXPORT  plugin states -> " + out.getFullPathName());

    juce::StringArray names;
    for (const auto& f : out.findChildFiles (juce::File::findFilesAndDirectories, false))
        names.add (f.getFileName());
    names.sort (false);
    EXPECT_EQ (names, juce::StringArray ({ "FreqShaper__0-0.comp", "FreqShaper__0-0.cont", "Gate One__1-2.comp" }));

    const auto manifest = juce::JSON::parse (juce::String::fromUTF8 (
        vorntest::runVornconvBinary ({ "--manifest", "stage-left.ksn" }, example.tmp.path()).out.c_str()).trim());
    ASSERT_TRUE (manifest["strips"].isArray());
    ASSERT_EQ (manifest["strips"].size(), 16);
    ASSERT_EQ (manifest["strips"][1]["plugins"].size(), 1);
    const auto kick = manifest["strips"][0]["plugins"][0];
    EXPECT_EQ (digestOf (out.getChildFile ("FreqShaper__0-0.comp")), kick["componentSha256"].toString());
    EXPECT_EQ (digestOf (out.getChildFile ("FreqShaper__0-0.cont")), kick["controllerSha256"].toString());
    EXPECT_EQ (digestOf (out.getChildFile ("Gate One__1-2.comp")), manifest["strips"][1]["plugins"][0]["componentSha256"].toString());

    const auto modified = out.getChildFile ("FreqShaper__0-0.comp").getLastModificationTime();
    const auto second = vorntest::runVornconvBinary ({ "--export-states", "states", "stage-left.ksn" }, example.tmp.path());
    EXPECT_EQ (second.exitCode, 1);
    EXPECT_EQ (second.outLines()[second.outLines().size() - 2],
               "ERROR   --export-states: refusing to replace existing state export: " + out.getChildFile ("FreqShaper__0-0.comp").getFullPathName());
    EXPECT_EQ (out.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 3);
    EXPECT_EQ (out.getChildFile ("FreqShaper__0-0.comp").getLastModificationTime(), modified);
    EXPECT_EQ (digestOf (example.scene), before);

    // An AudioUnit state has no component: the whole export is refused before anything is written.
    ASSERT_TRUE (example.scene.replaceWithText (exampleWithAudioUnit()));
    const auto refused = vorntest::runVornconvBinary ({ "--export-states", "other", "stage-left.ksn" }, example.tmp.path());
    EXPECT_EQ (refused.exitCode, 1);
    EXPECT_EQ (refused.outLines()[refused.outLines().size() - 2], "ERROR   refusing partial state export at strip 2, slot 1 (Warm Compressor): its AudioUnit state is one "
                                                                       "property list, not the component and controller parts an export writes");
    EXPECT_FALSE (example.tmp.file ("other").exists());
}

// A user who leaves out the factory catalog: no plug-in is proven available, so the convert
// writes each inactive (REAPER: bypassed) and names every one, as the plan does.
TEST (ExampleScene, AConvertNamesThePlugInsItWritesInactive)
{
    vorntest::ProgramSandbox box;
    box.write ("stage-left.ksn", exampleScene.loadFileAsString());
    box.write ("reaper.ini", juce::File (VORN_EXAMPLES_DIR "/stage-left-reaper.ini").loadFileAsString());
    box.write ("catalog.tsv", juce::File (VORN_EXAMPLES_DIR "/stage-left-catalog.tsv").loadFileAsString());
    const std::vector<std::string> options = { "reaper", "--profile", "16x8", "--io", "16x16", "--reaper-cache", "reaper.ini" };
    const auto run = [&box, &options] (const char* operation, std::vector<std::string> more)
    {
        std::vector<std::string> args { operation };
        args.insert (args.end(), options.begin(), options.end());
        args.insert (args.end(), more.begin(), more.end());
        args.push_back ("stage-left.ksn");
        return box.run (args);
    };
    const auto inactive = juce::String::fromUTF8 (u8"최신 factory cache에 없어 inactive로 기록한다");
    const auto writtenInactive = [&inactive] (const juce::StringArray& lines)
    {
        juce::StringArray found;
        for (const auto& line : lines)
            if (line.startsWith ("  WARNING strip ") && line.endsWith (inactive))
                found.add (line);
        return found;
    };

    const auto planned = writtenInactive (run ("--plan", {}).outLines());
    ASSERT_EQ (planned.size(), 2);
    EXPECT_EQ (planned[0], "  WARNING " + juce::String ("strip 0, slot 0 (FreqShaper)").paddedRight (' ', 36) + inactive);

    const auto converted = run ("--convert", { "--output", "stage-left.rpp" });
    ASSERT_EQ (converted.exitCode, 0) << converted.out;
    const auto lines = converted.outLines();
    EXPECT_EQ (writtenInactive (lines), planned) << converted.out;
    // Beside the count of unavailable plug-ins.
    EXPECT_EQ (lines.indexOf (planned[1]) + 1, lines.indexOf ("UNAVAILABLE_PLUGINS 2")) << converted.out;
    // The Kick's FreqShaper, active in the scene, is written switched off.
    const auto written = vornconv::readReaperRpp (box.work.getChildFile ("stage-left.rpp"));
    ASSERT_EQ (written.session.strips.size(), 16);
    EXPECT_TRUE (written.session.strips[0].plugins[0].bypassed);

    // With the catalog, nothing is written inactive and no line says so.
    const auto proven = run ("--convert", { "--factory-catalog", "catalog.tsv", "--output", "proven.rpp" });
    ASSERT_EQ (proven.exitCode, 0) << proven.out;
    EXPECT_TRUE (writtenInactive (proven.outLines()).isEmpty()) << proven.out;
}

} // namespace
