#include "ReaperFixtures.h"
#include "TestSupport.h"
#include "WavesFixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

// Text files as real machines hold them, through the real program: REAPER caches with 8-bit
// names in the rows REAPER writes for VST2 plug-ins, files that editors on Windows begin with a
// byte-order mark, and NUL bytes where no text has one.
namespace
{

const juce::String proQ = "ED57BD725C60467EA64DD2F400758B6F";
const juce::String tonic = "56534D54546F6E696300000000000001";
const juce::File examples (VORN_EXAMPLES_DIR);

const std::string byteOrderMark = "\xEF\xBB\xBF";

std::string fileBytes (const juce::File& file)
{
    juce::MemoryBlock bytes;
    EXPECT_TRUE (file.loadFileAsData (bytes)) << file.getFullPathName();
    return bytes.isEmpty() ? std::string() : std::string (static_cast<const char*> (bytes.getData()), bytes.getSize());
}

juce::StringArray linesStartingWith (const vorntest::ProcessResult& r, const char* prefix)
{
    juce::StringArray found;
    for (const auto& line : r.outLines())
        if (line.startsWith (prefix))
            found.add (line);
    return found;
}

// REAPER's cache: two VST2 rows with the 8-bit names real machines hold (a Windows one and a
// macOS one), then the rows the conversions use.
const std::string vst2Rows = "[vstcache]\r\n"
                             "MicroTonicVST.vst=00A0,1397572658,\xB5Tonic (Sonic Charge)!!!VSTi\r\n"
                             "UAD_Precision_Reflection_Engine.vst=00A1,1,UAD Precision Reflection Engine\xC5 (Universal Audio, Inc.)\r\n";
const std::string proQRow = "FabFilter_Pro-Q_4.vst3=0000000000000000,934538646{" + proQ.toStdString() + ",Pro-Q 4 (FabFilter)\r\n";

struct Sandbox : vorntest::ProgramSandbox
{
    Sandbox()
    {
        write ("proq.rpp", vorntest::oneTrackProject (proQ));
        write ("tonic.rpp", vorntest::oneTrackProject (tonic));
        write ("cat.tsv", proQ + "\tPro-Q 4\tFabFilter\t4.0\t/opt/vst3/FabFilter Pro-Q 4.vst3\n"
                          + tonic + "\tMicroTonic\tSonic Charge\t3.0\t/opt/vst3/MicroTonic.vst3\n");
    }

    vorntest::ProcessResult convertToReaper (const char* cache, const char* input, const char* output) const
    {
        return run ({ "--convert", "reaper", "--profile", "1x1", "--factory-catalog", "cat.tsv", "--reaper-cache", cache,
                      "--output", output, input });
    }
};

} // namespace

// A row the cache load skips is skipped whatever its bytes. A .vst3 row whose name or key is not
// UTF-8 is warned about once and costs only its class id: other plug-ins convert, and only a
// session that needs that class id is refused, naming the row.
TEST (TextFiles, ReaperCacheRowsAreCheckedWhereTheyAreUsed)
{
    Sandbox box;
    box.writeBytes ("vst2.ini", vst2Rows + proQRow);
    const std::string tonicRow = ",1397572659{" + tonic.toStdString() + ",";
    box.writeBytes ("name.ini", vst2Rows + proQRow + "MicroTonic.vst3=00A2" + tonicRow + "\xB5Tonic (Sonic Charge)\r\n"
                                + "MicroTonic.vst3=00A2" + tonicRow + "\xB5Tonic (Sonic Charge)\r\n");
    box.writeBytes ("key.ini", vst2Rows + proQRow + "\xB5Tonic.vst3=00A2" + tonicRow + "MicroTonic (Sonic Charge)\r\n");

    const auto warning = [] (const juce::String& key)
    {
        return "WARNING REAPER cache row " + key + " is not valid UTF-8 text; plug-ins of class id " + tonic
             + " cannot be written to REAPER";
    };
    const auto refusal = [] (const juce::String& key)
    {
        return "ERROR   REAPER internal profile requires a complete native cache identity for CID " + tonic
             + " of Pro-Q 4 (strip 0, slot 0) (the REAPER cache row " + key + " is not valid UTF-8 text)";
    };
    const auto shownKey = juce::String::fromUTF8 ("\xEF\xBF\xBDTonic.vst3");
    const struct
    {
        const char* what;
        const char* cache;
        const char* input;
        juce::StringArray warnings;
        juce::String error; // the one ERROR line; none when the conversion writes
    } cases[] = {
        { "8-bit VST2 rows are skipped", "vst2.ini", "proq.rpp", {}, {} },
        { "a malformed name costs only its class id", "name.ini", "proq.rpp", { warning ("MicroTonic.vst3") }, {} },
        { "a session that needs it is refused", "name.ini", "tonic.rpp", { warning ("MicroTonic.vst3") }, refusal ("MicroTonic.vst3") },
        { "a malformed key is shown as well as it can be", "key.ini", "tonic.rpp", { warning (shownKey) }, refusal (shownKey) },
    };
    int n = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto output = "out" + std::to_string (n++) + ".rpp";
        const auto r = box.convertToReaper (c.cache, c.input, output.c_str());
        EXPECT_EQ (r.err, "");
        EXPECT_EQ (linesStartingWith (r, "WARNING REAPER cache"), c.warnings) << r.out;
        EXPECT_EQ (linesStartingWith (r, "ERROR"), c.error.isEmpty() ? juce::StringArray() : juce::StringArray (c.error)) << r.out;
        EXPECT_EQ (r.exitCode, c.error.isEmpty() ? 0 : 1) << r.out;
        const auto written = box.work.getChildFile (output);
        EXPECT_EQ (written.existsAsFile(), c.error.isEmpty());
        if (c.error.isEmpty())
        {
            // The cache serves the plug-in it names: its key and id are what the project loads.
            EXPECT_EQ (linesStartingWith (r, "CANDIDATE  "), juce::StringArray ("CANDIDATE  " + box.path (c.input) + " -> " + written.getFullPathName()));
            const auto project = written.loadFileAsString();
            EXPECT_TRUE (project.contains ("\"FabFilter_Pro-Q_4.vst3\" 0 \"\" 934538646{" + proQ + "}")) << project;
        }
        EXPECT_EQ (box.tmpEntries(), 0);
    }
}

// Every text file kind read with one leading UTF-8 byte-order mark gives exactly what it gives
// without one: the same lines, the same exit status and the same written file.
TEST (TextFiles, ALeadingByteOrderMarkChangesNothing)
{
    Sandbox box;
    for (const char* name : { "stage-left.ksn", "stage-left-catalog.tsv" })
        ASSERT_TRUE (examples.getChildFile (name).copyFileTo (box.work.getChildFile (name)));
    box.write ("template.rpp", vorntest::hostSavedProject (proQ));
    box.writeBytes ("reaper.ini", proQRow);   // the mark stands before a row that is used
    const auto selection = box.run ({ "--selection-report", "vorn", "stage-left.ksn" });
    ASSERT_EQ (selection.exitCode, 0) << selection.out;
    box.writeBytes ("pick.json", selection.out);

    {
        vorntest::WavesFixture lv1 ("made.emo", true);
        lv1.addChannels (0, 2, "In");
        lv1.close();
        ASSERT_TRUE (lv1.file.copyFileTo (box.work.getChildFile ("show.emo")));
        vorntest::WavesFixture sg ("made.sprk", false);
        sg.base = 5000;
        sg.addChannels (0, 8, "T");
        sg.close();
        ASSERT_TRUE (sg.file.copyFileTo (box.work.getChildFile ("template.sprk")));
    }
    const auto wavesSelection = box.run ({ "--waves-selection-report", "superrack-soundgrid", "show.emo" });
    ASSERT_EQ (wavesSelection.exitCode, 0) << wavesSelection.out;
    box.writeBytes ("waves-pick.json", wavesSelection.out);

    const auto bundle = box.home.getChildFile (".vst3/FreqShaper.vst3/Contents/Resources/moduleinfo.json");
    ASSERT_TRUE (bundle.getParentDirectory().createDirectory());
    ASSERT_TRUE (bundle.replaceWithText ("{ \"Name\": \"FreqShaper\", \"Classes\": [ { \"CID\": \"56534746524551534841504552000001\", "
                                         "\"Category\": \"Audio Module Class\", \"Name\": \"FreqShaper\", \"Vendor\": \"Example Audio\" } ] }"));
    const auto pluginList = box.liveProfessorList();
    ASSERT_TRUE (pluginList.getParentDirectory().createDirectory());
    ASSERT_TRUE (pluginList.replaceWithText ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PROPERTIES><VALUE name=\"KnownPluginList\"><KNOWNPLUGINS>"
                                             "<PLUGIN format=\"VST3\" name=\"FreqShaper\" manufacturer=\"Example Audio\" version=\"1.2.0\" "
                                             "file=\"/Library/Audio/Plug-Ins/VST3/FreqShaper.vst3\" numInputs=\"2\" numOutputs=\"2\" "
                                             "uniqueId=\"1\" uid=\"1\"/></KNOWNPLUGINS></VALUE></PROPERTIES>\n"));

    const struct
    {
        const char* what;
        juce::File file;                 // gets the mark
        std::vector<std::string> args;
        const char* output;              // written by the run, compared and removed; none when empty
        int exitCode;
    } cases[] = {
        { "REAPER project", box.work.getChildFile ("proq.rpp"), { "proq.rpp" }, "", 0 },
        { "REAPER template", box.work.getChildFile ("template.rpp"),
          { "--convert", "reaper", "--profile", "1x1", "--factory-catalog", "cat.tsv", "--template", "template.rpp", "--output", "t.rpp", "proq.rpp" },
          "t.rpp", 0 },
        { "REAPER cache", box.work.getChildFile ("reaper.ini"),
          { "--convert", "reaper", "--profile", "1x1", "--factory-catalog", "cat.tsv", "--reaper-cache", "reaper.ini", "--output", "c.rpp", "proq.rpp" },
          "c.rpp", 0 },
        { "scene", box.work.getChildFile ("stage-left.ksn"), { "stage-left.ksn" }, "", 0 },
        { "factory catalog", box.work.getChildFile ("stage-left-catalog.tsv"),
          { "--plan", "vorn", "--factory-catalog", "stage-left-catalog.tsv", "stage-left.ksn" }, "", 0 },
        { "moduleinfo.json", bundle, { "--plan", "vorn", "stage-left.ksn" }, "", 1 },
        { "selection file", box.work.getChildFile ("pick.json"),
          { "--plan", "vorn", "--factory-catalog", "stage-left-catalog.tsv", "--selection", "pick.json", "stage-left.ksn" }, "", 0 },
        { "Waves selection file", box.work.getChildFile ("waves-pick.json"),
          { "--waves-convert", "superrack-soundgrid", "show.emo", "--output", "w.sprk", "--template", "template.sprk", "--selection", "waves-pick.json" },
          "", 0 },
        { "LiveProfessor's plug-in list", pluginList,
          { "--plan", "liveprofessor", "--profile", "64x8", "--factory-catalog", "stage-left-catalog.tsv", "--plugin-probe", "probe",
            "--parameter-cache", "cache", "stage-left.ksn" }, "", 1 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        ASSERT_TRUE (c.file.existsAsFile());
        const auto plain = fileBytes (c.file);
        ASSERT_NE (plain.rfind (byteOrderMark, 0), 0u);

        const auto without = box.run (c.args);
        EXPECT_EQ (without.exitCode, c.exitCode) << without.out;
        std::string writtenWithout;
        const auto written = box.work.getChildFile (c.output);
        if (*c.output != 0)
        {
            writtenWithout = fileBytes (written);
            ASSERT_TRUE (written.deleteFile());
        }
        box.work.getChildFile ("w.sprk").deleteFile();

        ASSERT_TRUE (c.file.replaceWithData ((byteOrderMark + plain).data(), plain.size() + 3));
        const auto with = box.run (c.args);
        EXPECT_EQ (with.exitCode, without.exitCode);
        EXPECT_EQ (with.out, without.out);
        EXPECT_EQ (with.err, "");
        if (*c.output != 0)
        {
            EXPECT_EQ (fileBytes (written), writtenWithout);
            written.deleteFile();
        }
        box.work.getChildFile ("w.sprk").deleteFile();
        ASSERT_TRUE (c.file.replaceWithData (plain.data(), plain.size()));
        EXPECT_EQ (box.tmpEntries(), 0);
    }
}

// A NUL byte has no place in REAPER's text: wherever it stands, in a name, a plug-in header, any
// other line or after the root's closing line, it refuses the file, saying where, as it refuses
// every other text file; the same holds for a template and for a project the converter wrote.
TEST (TextFiles, ANulByteRefusesAReaperProject)
{
    Sandbox box;
    box.write ("template.rpp", vorntest::hostSavedProject (proQ));
    box.writeBytes ("reaper.ini", proQRow);
    const auto written = box.run ({ "--convert", "reaper", "--profile", "1x1", "--factory-catalog", "cat.tsv", "--reaper-cache", "reaper.ini",
                                    "--output", "written.rpp", "proq.rpp" });
    ASSERT_EQ (written.exitCode, 0) << written.out;

    const auto withNul = [&box] (const char* name, const char* to, const std::string& after)
    {
        const auto text = fileBytes (box.work.getChildFile (name));
        const auto at = text.find (after);
        EXPECT_NE (at, std::string::npos) << after;
        box.writeBytes (to, text.substr (0, at + after.size()) + std::string (1, '\0') + text.substr (at + after.size()));
        return at + after.size();
    };
    const struct
    {
        const char* what;
        const char* file;
        size_t at;
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        { "in a track name", "name.rpp", withNul ("proq.rpp", "name.rpp", "NAME \"Ki"), { "name.rpp" }, "" },
        { "in a plug-in header", "header.rpp", withNul ("proq.rpp", "header.rpp", "<VST \"VST3: Pro"), { "header.rpp" }, "" },
        { "in a line", "line.rpp", withNul ("proq.rpp", "line.rpp", "VOLPAN 1 0"), { "line.rpp" }, "" },
        { "after the root", "after.rpp", withNul ("proq.rpp", "after.rpp", "  >\n>\n"), { "after.rpp" }, "" },
        { "in a converter-written project", "ripple.rpp", withNul ("written.rpp", "ripple.rpp", "RIPPLE 0 0"),
          { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", "ripple.ksn", "ripple.rpp" }, "" },
        { "in a template", "nul-template.rpp", withNul ("template.rpp", "nul-template.rpp", "NAME Vox"),
          { "--convert", "reaper", "--profile", "1x1", "--factory-catalog", "cat.tsv", "--template", "nul-template.rpp", "--output",
            "t.rpp", "proq.rpp" },
          "--template: REAPER template cannot be read: " },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto r = box.run (c.args);
        EXPECT_EQ (r.exitCode, 1) << r.out;
        EXPECT_EQ (r.err, "");
        EXPECT_EQ (linesStartingWith (r, "ERROR"), juce::StringArray ("ERROR   " + juce::String (c.message) + "NUL byte in text (byte "
                                                                       + juce::String ((juce::int64) c.at) + "): " + box.path (c.file)))
            << r.out;
        EXPECT_FALSE (box.work.getChildFile ("ripple.ksn").exists());
        EXPECT_FALSE (box.work.getChildFile ("t.rpp").exists());
    }
}
