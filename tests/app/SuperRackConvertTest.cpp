#include "SprkFixture.h"
#include "WavesFixture.h"

#include "model/Vst3State.h"
#include "waves/WavesSessionTransfer.h"
#include "writers/SuperRackSprkWriter.h"

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace vornconv;

namespace
{

const juce::String proQ = "ED57BD725C60467EA64DD2F400758B6F";

// A SuperRack Performer session with one named mono strip holding one FabFilter plug-in.
void fillSource (vorntest::SprkFixture& f)
{
    f.setTracks (2);
    f.exec ("INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1000,-1,'Kick');"
            "UPDATE chainer SET num_inputs=1,num_outputs=1 WHERE obj_id=1000;");
    f.inRoute (0, 0, 3);
    f.outRoute (0, 0, 5);
    f.addPlug (1, 0, 0, "Pro-Q 3", "FabFilter", "'VS2S'", "'" + rapp::makeAdditionalInfo (proQ).replace ("\n", "'||char(10)||'") + "'");
    f.addState (1, vst3::buildSuperRackPreset (proQ, juce::MemoryBlock ("ABC", 3), juce::MemoryBlock ("xy", 2)));
}

} // namespace

TEST (SuperRackConvert, ConvertRunnerWritesAVerifiedPerformerSessionOnce)
{
    vorntest::ProgramSandbox box;
    vorntest::SprkFixture source ("src.sprk");
    fillSource (source);
    source.close();
    vorntest::SprkFixture base ("tmpl.sprk");
    vorntest::makeSprkTemplate (base);
    base.close();
    const auto catalog = box.work.getChildFile ("cat.tsv");
    catalog.replaceWithText (proQ + "\tPro-Q 3\tFabFilter\t3.0\t/opt/vst3/ProQ3.vst3\n");
    const auto output = box.work.getChildFile ("out/new.sprk");
    const auto sourceDigest = waves::fileSha256 (source.file);

    const std::vector<std::string> args = { "--convert", "superrack-performer", "--factory-catalog", catalog.getFullPathName().toStdString(),
                                            "--template", base.file.getFullPathName().toStdString(), "--output",
                                            output.getFullPathName().toStdString(), source.file.getFullPathName().toStdString() };
    const auto run = box.run (args);
    EXPECT_EQ (run.exitCode, 0) << run.out;
    EXPECT_EQ (run.out, ("CANDIDATE  " + source.file.getFullPathName() + " -> " + output.getFullPathName()
                         + "\nWARNING    converter exact reread passed; SuperRack host load/DSP validation pending\n\n")
                            .toStdString());
    ASSERT_TRUE (output.existsAsFile());
    EXPECT_EQ (waves::fileSha256 (source.file), sourceDigest);
    EXPECT_EQ (box.tmpEntries(), 0);

    // The same conversion again refuses to replace what it wrote.
    const auto digest = waves::fileSha256 (output);
    const auto again = box.run (args);
    EXPECT_EQ (again.exitCode, 1);
    EXPECT_EQ (again.out, ("ERROR   --output: refusing to replace existing output: " + output.getFullPathName() + "\n\n").toStdString());
    EXPECT_EQ (waves::fileSha256 (output), digest);
    EXPECT_EQ (output.getParentDirectory().getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1);
}

// A template that no host would save is refused before anything is written: a trigger (which
// would run in the write and later in the host), a view or a virtual table standing in for a
// table. The output is not made, the template stays as it was, and no private copy is left.
TEST (SuperRackConvert, AHostShapedTemplateOnly)
{
    vorntest::ProgramSandbox box;
    vorntest::SprkFixture source ("src.sprk");
    fillSource (source);
    source.close();
    const auto catalog = box.work.getChildFile ("cat.tsv");
    catalog.replaceWithText (proQ + "\tPro-Q 3\tFabFilter\t3.0\t/opt/vst3/ProQ3.vst3\n");
    const struct
    {
        const char* name;
        const char* sql;
        const char* error;
    } cases[] = {
        { "trigger on plug", "CREATE TABLE fired(x); CREATE TRIGGER tr AFTER INSERT ON plug BEGIN INSERT INTO fired VALUES(NEW.id); END;",
          "SuperRack template is not a host save: it holds trigger \"tr\" (on \"plug\"); a host saves tables and their indexes only" },
        { "view in place of a table", "DROP TABLE hot_snapshots; CREATE VIEW hot_snapshots AS SELECT 1 AS id, -1 AS snapshot_id;",
          "SuperRack template is not a host save: it holds view \"hot_snapshots\"; a host saves tables and their indexes only" },
        { "virtual table", "CREATE VIRTUAL TABLE places USING rtree(id, x0, x1);",
          "SuperRack template is not a host save: it holds virtual table \"places\"; a host saves tables and their indexes only" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::SprkFixture base ("tmpl.sprk");
        vorntest::makeSprkTemplate (base);
        base.exec (c.sql);
        base.close();
        const auto templateDigest = waves::fileSha256 (base.file);
        const auto output = box.work.getChildFile ("new.sprk");
        const auto before = box.work.getNumberOfChildFiles (juce::File::findFilesAndDirectories);
        const auto run = box.run ({ "--convert", "superrack-performer", "--factory-catalog", catalog.getFullPathName().toStdString(), "--template",
                                    base.file.getFullPathName().toStdString(), "--output", output.getFullPathName().toStdString(),
                                    source.file.getFullPathName().toStdString() });
        EXPECT_EQ (run.exitCode, 1) << run.out;
        juce::StringArray errors;
        for (const auto& line : run.outLines())
            if (line.startsWith ("ERROR"))
                errors.add (line);
        EXPECT_EQ (errors, juce::StringArray ("ERROR   --template: " + juce::String (c.error) + " (in " + base.file.getFullPathName() + ")"))
            << run.out;
        EXPECT_FALSE (output.exists());
        EXPECT_EQ (box.work.getNumberOfChildFiles (juce::File::findFilesAndDirectories), before);
        EXPECT_EQ (waves::fileSha256 (base.file), templateDigest);
        EXPECT_EQ (box.tmpEntries(), 0);
    }
}

namespace
{

// Writes a schema entry whose name and text hold bytes that are not UTF-8: every statement on
// the database then fails with an SQLite message that quotes them.
void breakSchema (sqlite3* db)
{
    ASSERT_EQ (sqlite3_exec (db, "PRAGMA writable_schema=ON; INSERT INTO sqlite_master VALUES('table',CAST(X'62FF80' AS TEXT),"
                                 "CAST(X'62FF80' AS TEXT),0,'CREATE TABLE b(x) ' || CAST(X'FF80' AS TEXT));",
                             nullptr, nullptr, nullptr),
               SQLITE_OK)
        << sqlite3_errmsg (db);
}

} // namespace

// Waves databases an attacker or a careless user could hand the program: a FIFO or a device in
// place of a session, a template or a sidecar; a schema or text columns with bytes that are not
// UTF-8. Each ends in one ERROR line and exit 1, without a hang, a crash or a private copy left
// in $TMPDIR.
TEST (SuperRackHostileFiles, EachEndsInOneErrorLineAndLeavesNothingBehind)
{
    vorntest::ProgramSandbox box;
    const auto make = [&box] (const juce::String& name, const std::function<void (vorntest::SprkFixture&)>& edit)
    {
        vorntest::SprkFixture f ("made.sprk");
        fillSource (f);
        if (edit)
            edit (f);
        f.close();
        EXPECT_TRUE (f.file.copyFileTo (box.work.getChildFile (name)));
    };
    make ("good.sprk", nullptr);
    make ("badschema.sprk", [] (auto& f) { breakSchema (f.handle); });
    make ("badtext.sprk", [] (auto& f) { f.exec ("UPDATE plug SET plugin_name=CAST(X'50FF80' AS TEXT);"); });
    make ("nultext.sprk", [] (auto& f) { f.exec ("UPDATE plug SET plugin_name=CAST(X'500051' AS TEXT);"); });
    {
        vorntest::SprkFixture base ("tmpl.sprk");
        vorntest::makeSprkTemplate (base);
        base.close();
        EXPECT_TRUE (base.file.copyFileTo (box.work.getChildFile ("tmpl.sprk")));
    }
    const auto makeEmo = [&box] (const juce::String& name, const std::function<void (vorntest::WavesFixture&)>& edit)
    {
        vorntest::WavesFixture lv1 ("made.emo", true);
        lv1.addChannels (0, 2, "In");
        if (edit)
            edit (lv1);
        lv1.close();
        EXPECT_TRUE (lv1.file.copyFileTo (box.work.getChildFile (name)));
    };
    makeEmo ("good.emo", nullptr);
    makeEmo ("badschema.emo", [] (auto& lv1) { breakSchema (lv1.handle); });
    makeEmo ("badtext.emo", [] (auto& lv1) { lv1.exec ("UPDATE snapshot_chainer SET name=CAST(X'4BFF80' AS TEXT);"); });
    makeEmo ("nultext.emo", [] (auto& lv1) { lv1.exec ("UPDATE snapshot_chainer SET name=CAST(X'4B0069' AS TEXT);"); });
    {
        vorntest::WavesFixture sg ("sg.sprk", false);
        sg.addChannels (0, 8, "T");
        sg.close();
        EXPECT_TRUE (sg.file.copyFileTo (box.work.getChildFile ("sg.sprk")));
    }
    juce::String reportError;
    const auto report = waves::buildSelectionReport (box.work.getChildFile ("good.emo"), "superrack-soundgrid", reportError);
    ASSERT_TRUE (box.work.getChildFile ("pick.json").replaceWithText (report)) << reportError;
    box.work.getChildFile ("cat.tsv").replaceWithText (proQ + "\tPro-Q 3\tFabFilter\t3.0\t/opt/vst3/ProQ3.vst3\n");
    for (const char* name : { "fifo.sprk", "fifo.emo", "fifo-template.sprk" })
        ASSERT_EQ (::mkfifo (box.path (name).toRawUTF8(), 0600), 0);
    for (const char* name : { "zero.sprk", "zero.emo", "zero-template.sprk" })
        ASSERT_EQ (::symlink ("/dev/zero", box.path (name).toRawUTF8()), 0);
    ASSERT_TRUE (box.work.getChildFile ("good.sprk").copyFileTo (box.work.getChildFile ("walfifo.sprk")));
    ASSERT_EQ (::mkfifo (box.path ("walfifo.sprk-wal").toRawUTF8(), 0600), 0);

    const juce::String replaced = juce::String::fromUTF8 ("b\xEF\xBF\xBD\xEF\xBF\xBD");
    const auto convert = [] (const char* templateName) {
        return std::vector<std::string> { "--convert", "superrack-performer", "--factory-catalog", "cat.tsv", "--template", templateName,
                                          "--output", "out/new.sprk", "good.sprk" };
    };
    const auto wavesConvert = [] (const char* templateName) {
        return std::vector<std::string> { "--waves-convert", "superrack-soundgrid", "good.emo", "--output", "out.sprk", "--template", templateName,
                                          "--selection", "pick.json" };
    };
    const struct
    {
        const char* what;
        std::vector<std::string> args;
        juce::String error; // the start of the one ERROR line
    } cases[] = {
        { "FIFO session", { "fifo.sprk" }, "ERROR   not a regular file: " + box.path ("fifo.sprk") },
        { "device session", { "zero.sprk" }, "ERROR   not a regular file: " + box.path ("zero.sprk") },
        { "FIFO write-ahead log", { "walfifo.sprk" }, "ERROR   not a regular file: " + box.path ("walfifo.sprk-wal") },
        { "schema quoting malformed bytes", { "badschema.sprk" },
          "ERROR   could not distinguish SuperRack Performer from SoundGrid: malformed database schema (" + replaced + ")" },
        { "malformed plug-in name", { "badtext.sprk" }, "ERROR   invalid UTF-8 text in SuperRack plug.plugin_name" },
        // A NUL is well-formed UTF-8, but cutting the name at it would lose the rest in silence.
        { "NUL in a plug-in name", { "nultext.sprk" }, "ERROR   NUL byte in SuperRack plug.plugin_name" },
        { "FIFO LV1 session", { "--waves-selection-report", "superrack-soundgrid", "fifo.emo" }, "ERROR   not a regular file: " + box.path ("fifo.emo") },
        { "device LV1 session", { "--waves-selection-report", "superrack-soundgrid", "zero.emo" }, "ERROR   not a regular file: " + box.path ("zero.emo") },
        { "LV1 schema quoting malformed bytes", { "--waves-selection-report", "superrack-soundgrid", "badschema.emo" },
          "ERROR   malformed database schema (" + replaced + ")" },
        { "malformed LV1 channel name", { "--waves-selection-report", "superrack-soundgrid", "badtext.emo" },
          "ERROR   invalid UTF-8 text in Waves snapshot_chainer.name" },
        { "NUL in an LV1 channel name", { "--waves-selection-report", "superrack-soundgrid", "nultext.emo" },
          "ERROR   NUL byte in Waves snapshot_chainer.name" },
        { "FIFO Performer template", convert ("fifo-template.sprk"),
          "ERROR   --template: SuperRack template is not completely readable: not a regular file: " + box.path ("fifo-template.sprk") },
        { "device Performer template", convert ("zero-template.sprk"),
          "ERROR   --template: SuperRack template is not completely readable: not a regular file: " + box.path ("zero-template.sprk") },
        { "FIFO SoundGrid template", wavesConvert ("fifo-template.sprk"), "ERROR   --template: not a regular file: " + box.path ("fifo-template.sprk") },
        { "device SoundGrid template", wavesConvert ("zero-template.sprk"), "ERROR   --template: not a regular file: " + box.path ("zero-template.sprk") },
        { "schema of a SoundGrid template", wavesConvert ("badschema.sprk"), "ERROR   --template: malformed database schema (" + replaced + ")" },
    };
    const auto before = box.work.getNumberOfChildFiles (juce::File::findFilesAndDirectories);
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto r = box.run (c.args, vorntest::hangSilenceMs);
        EXPECT_EQ (r.exitCode, 1) << r.out;
        EXPECT_EQ (r.err, "");
        juce::StringArray errors;
        for (const auto& line : r.outLines())
            if (line.startsWith ("ERROR"))
                errors.add (line);
        ASSERT_EQ (errors.size(), 1) << r.out;
        EXPECT_TRUE (errors[0].startsWith (c.error)) << errors[0];
        EXPECT_EQ (box.tmpEntries(), 0);
        EXPECT_EQ (box.work.getNumberOfChildFiles (juce::File::findFilesAndDirectories), before);
    }
}

// The private copy of a session goes where TMPDIR says: a relative folder lies below the working
// folder, as for any program, and one that does not exist refuses the read, naming the copy, the
// folder and the system's reason, instead of sending the copy elsewhere.
TEST (SuperRackHostileFiles, ThePrivateCopyGoesWhereTmpdirSays)
{
    vorntest::ProgramSandbox box;
    {
        vorntest::SprkFixture f ("made.sprk");
        fillSource (f);
        f.close();
        ASSERT_TRUE (f.file.copyFileTo (box.work.getChildFile ("good.sprk")));
    }
    ASSERT_TRUE (box.work.getChildFile ("scratch").createDirectory());
    const auto home = "HOME=" + box.home.getFullPathName().toStdString();
    const juce::String missing = "ERROR   could not copy the SuperRack session into the temporary folder "
                               + box.work.getChildFile ("gone").getFullPathName() + " (TMPDIR): No such file or directory (in "
                               + box.path ("good.sprk") + ")";
    const struct
    {
        const char* what;
        std::string tmpdir;
        juce::String error; // the one ERROR line, or none
    } cases[] = {
        { "absolute folder that does not exist", box.work.getChildFile ("gone").getFullPathName().toStdString(), missing },
        { "relative folder that does not exist", "gone", missing },
        { "relative folder below the working folder", "scratch", {} },
        { "relative folder given with a dot", "./scratch", {} },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto r = vorntest::runProgram (vorntest::vornconvBinary(), { "good.sprk" }, box.work.getFullPathName().toStdString(),
                                             { home, "TMPDIR=" + c.tmpdir });
        juce::StringArray errors;
        for (const auto& line : r.outLines())
            if (line.startsWith ("ERROR"))
                errors.add (line);
        EXPECT_EQ (errors, c.error.isEmpty() ? juce::StringArray() : juce::StringArray (c.error)) << r.out;
        EXPECT_EQ (r.exitCode, c.error.isEmpty() ? 0 : 1) << r.out;
        EXPECT_TRUE (c.error.isNotEmpty() || r.out.find ("READ    ") != std::string::npos) << r.out;
        EXPECT_EQ (r.err, "");
        EXPECT_FALSE (box.work.getChildFile ("gone").exists());
        EXPECT_EQ (box.work.getChildFile ("scratch").getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
    }
}

// An interrupted read takes its private copy of the session with it.
// Every private copy that cannot be made says which copy it was, the temporary folder it was to
// go below, and the system's reason.
TEST (SuperRackHostileFiles, AStagingCopyThatCannotBeMadeSaysWhichWhereAndWhy)
{
    vorntest::ProgramSandbox box;
    {
        vorntest::SprkFixture f ("made.sprk");
        fillSource (f);
        f.close();
        ASSERT_TRUE (f.file.copyFileTo (box.work.getChildFile ("session.sprk")));
    }
    {
        vorntest::SprkFixture base ("tmpl.sprk");
        vorntest::makeSprkTemplate (base);
        base.close();
        ASSERT_TRUE (base.file.copyFileTo (box.work.getChildFile ("template.sprk")));
    }
    {
        vorntest::WavesFixture show ("made.sprk", false);
        show.close();
        ASSERT_TRUE (show.file.copyFileTo (box.work.getChildFile ("show.sprk")));
    }
    // The example scene with its strips centred, which SuperRack output holds.
    box.write ("scene.ksn", juce::File (VORN_EXAMPLES_DIR "/stage-left.ksn").loadFileAsString()
                                .replace ("pan=\"-0.25\"", "pan=\"0.0\"").replace ("pan=\"0.5\"", "pan=\"0.0\""));
    ASSERT_TRUE (juce::File (VORN_EXAMPLES_DIR "/stage-left-catalog.tsv").copyFileTo (box.work.getChildFile ("catalog.tsv")));

    const auto gone = box.work.getChildFile ("gone").getFullPathName();
    const auto below = " into the temporary folder " + gone + " (TMPDIR): No such file or directory";
    const struct
    {
        const char* what;
        std::vector<std::string> args;
        juce::String error;
    } cases[] = {
        { "the SuperRack session read", { "session.sprk" },
          "ERROR   could not copy the SuperRack session" + below + " (in " + box.path ("session.sprk") + ")" },
        { "the Waves source of a selection report", { "--waves-selection-report", "waves-lv1", "show.sprk" },
          "ERROR   Could not create a private Waves source staging directory in the temporary folder " + gone
              + " (TMPDIR): No such file or directory (in " + box.path ("show.sprk") + ")" },
        { "the SuperRack template", { "--convert", "superrack-performer", "--factory-catalog", "catalog.tsv", "--template", "template.sprk",
                                      "--output", "out.sprk", "scene.ksn" },
          "ERROR   could not copy the SuperRack template" + below },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto r = vorntest::runProgram (vorntest::vornconvBinary(), c.args, box.work.getFullPathName().toStdString(),
                                             { "HOME=" + box.home.getFullPathName().toStdString(), "TMPDIR=" + gone.toStdString() });
        juce::StringArray errors;
        for (const auto& line : r.outLines())
            if (line.startsWith ("ERROR"))
                errors.add (line);
        EXPECT_EQ (errors, juce::StringArray (c.error)) << r.out;
        EXPECT_EQ (r.exitCode, 1) << r.out;
        EXPECT_EQ (r.err, "");
        EXPECT_FALSE (box.work.getChildFile ("gone").exists());
        EXPECT_FALSE (box.work.getChildFile ("out.sprk").exists());
    }
}

TEST (SuperRackHostileFiles, AnInterruptedReadLeavesNoPrivateCopy)
{
    vorntest::ProgramSandbox box;
    {
        // A plug table that never ends keeps the read busy until its statement budget runs out.
        vorntest::SprkFixture f ("made.sprk");
        fillSource (f);
        f.exec ("DROP TABLE plug; CREATE VIEW plug AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT x AS id, "
                "1 AS chainer_id, 0 AS slot, 'a' AS plugin_name, 'b' AS vendor_name, '' AS plugin_4cc, '' AS additional_info, "
                "0 AS disabled, 0 AS side_chain, 0 AS plug_role FROM c;");
        f.close();
        ASSERT_TRUE (f.file.copyFileTo (box.work.getChildFile ("busy.sprk")));
    }
    for (int signal : { SIGINT, SIGTERM, SIGHUP })
    {
        SCOPED_TRACE (signal);
        auto running = box.start ({ "busy.sprk" });
        for (int waited = 0; waited < 20000 && box.tmpEntries() == 0; ++waited)
            ::usleep (1000);
        ASSERT_GT (box.tmpEntries(), 0) << "the read never staged its copy";
        ::kill (running.pid, signal);
        const auto result = vorntest::finishProgram (running, 20000);
        EXPECT_EQ (result.exitCode, 1);
        EXPECT_EQ (result.err, "");
        EXPECT_EQ (result.outLines()[result.outLines().size() - 1], "ERROR   interrupted") << result.out;
        EXPECT_EQ (box.tmpEntries(), 0);
    }
}

// A temporary folder with no room for the private copy of the template: the convert refuses,
// and the plan blocks, both naming the temporary folder (the fault is its, not the writer's).
TEST (SuperRackHostileFiles, AFullTemporaryFolderIsNamedByPlanAndConvert)
{
    vorntest::ProgramSandbox box;
    {
        vorntest::SprkFixture base ("tmpl.sprk");
        vorntest::makeSprkTemplate (base);
        base.close();
        ASSERT_TRUE (base.file.copyFileTo (box.work.getChildFile ("template.sprk")));
    }
    box.write ("scene.ksn", juce::File (VORN_EXAMPLES_DIR "/stage-left.ksn").loadFileAsString()
                                .replace ("pan=\"-0.25\"", "pan=\"0.0\"").replace ("pan=\"0.5\"", "pan=\"0.0\""));
    ASSERT_TRUE (juce::File (VORN_EXAMPLES_DIR "/stage-left-catalog.tsv").copyFileTo (box.work.getChildFile ("catalog.tsv")));
    vorntest::PrivateMount full (box.tmp, "size=64k", false);
    if (! full.available)
        GTEST_SKIP() << "no private mounts on this system";
    {
        const auto filler = box.tmp.getChildFile ("filler").getFullPathName().toStdString();
        const int fd = ::open (filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE (fd, 0);
        const std::string block (4096, 'x');
        while (::write (fd, block.data(), block.size()) > 0)
        {
        }
        ::close (fd);
    }
    const juce::String reason = "could not copy the SuperRack template into the temporary folder " + box.tmp.getFullPathName()
                              + " (TMPDIR): No space left on device";
    const std::vector<std::string> options = { "superrack-performer", "--factory-catalog", "catalog.tsv", "--template", "template.sprk" };

    auto planArgs = options;
    planArgs.insert (planArgs.begin(), "--plan");
    planArgs.push_back ("scene.ksn");
    const auto plan = box.run (planArgs);
    EXPECT_EQ (plan.exitCode, 1) << plan.out;
    EXPECT_TRUE (plan.outLines().contains ("  BLOCKER " + juce::String ("temporary.folder").paddedRight (' ', 36) + reason)) << plan.out;

    auto convertArgs = options;
    convertArgs.insert (convertArgs.begin(), "--convert");
    for (const char* word : { "--output", "out.sprk", "scene.ksn" })
        convertArgs.push_back (word);
    const auto convert = box.run (convertArgs);
    EXPECT_EQ (convert.exitCode, 1) << convert.out;
    EXPECT_EQ (vorntest::errorLines (convert), juce::StringArray ("ERROR   " + reason)) << convert.out;
    EXPECT_FALSE (box.work.getChildFile ("out.sprk").exists());
    EXPECT_EQ (full.entries(), juce::StringArray ("filler"));
}
