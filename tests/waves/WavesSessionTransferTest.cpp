#include "SprkFixture.h"
#include "WavesFixture.h"

#include "waves/WavesSessionTransfer.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cstdlib>

using namespace vornconv;
using vorntest::PrivateTmp;

namespace
{


juce::String sha (const juce::File& f) { return juce::SHA256 (f).toHexString(); }

} // namespace

TEST (SuperRackProductInspection, VerdictsAndRefusals)
{
    struct Case
    {
        const char* name;
        const char* fileName;
        const char* sql;
        waves::SuperRackProductKind kind;
        const char* error;
    };
    const Case cases[] = {
        { "performer", "a.sprk", "", waves::SuperRackProductKind::performer, "" },
        { "upper-case extension", "a.SPRK", "", waves::SuperRackProductKind::performer, "" },
        { "soundgrid by description in any case", "a.sprk",
          "UPDATE mixer_settings SET native_buffer_size=0; INSERT INTO device(device_gender,description) VALUES(0,'sGs');",
          waves::SuperRackProductKind::soundGrid, "" },
        { "soundgrid by gender", "a.sprk",
          "UPDATE mixer_settings SET native_buffer_size=0; INSERT INTO device(device_gender,description) VALUES(3,'x');",
          waves::SuperRackProductKind::soundGrid, "" },
        { "emo file", "a.emo", "", waves::SuperRackProductKind::unknown, "SuperRack product inspection requires an existing .sprk file" },
        { "lv1 type", "a.sprk", "UPDATE info SET application_type='com.waves.mixer.lv1';", waves::SuperRackProductKind::unknown,
          "The .sprk application_type is not com.waves.mixer.MRSG" },
        { "null type", "a.sprk", "UPDATE info SET application_type=NULL;", waves::SuperRackProductKind::unknown,
          "The .sprk application_type is not com.waves.mixer.MRSG" },
        { "no info row", "a.sprk", "DELETE FROM info;", waves::SuperRackProductKind::unknown, "Waves session info row is missing" },
        { "no markers", "a.sprk", "UPDATE mixer_settings SET native_buffer_size=0;", waves::SuperRackProductKind::unknown,
          "Ambiguous SuperRack product markers: native_buffer_size=0, SoundGrid servers=0" },
        { "both markers", "a.sprk", "INSERT INTO device(device_gender,description) VALUES(3,'x'),(3,'y');",
          waves::SuperRackProductKind::unknown, "Ambiguous SuperRack product markers: native_buffer_size=256, SoundGrid servers=2" },
        { "text buffer size is no marker", "a.sprk", "UPDATE mixer_settings SET native_buffer_size='big';",
          waves::SuperRackProductKind::unknown, "Ambiguous SuperRack product markers: native_buffer_size=-1, SoundGrid servers=0" },
        { "no settings row", "a.sprk", "DELETE FROM mixer_settings;", waves::SuperRackProductKind::unknown,
          "SuperRack mixer_settings row is missing" },
        { "two settings rows", "a.sprk", "INSERT INTO mixer_settings(native_buffer_size) VALUES(64);",
          waves::SuperRackProductKind::unknown, "SuperRack mixer_settings contains multiple rows" },
        { "no device table", "a.sprk", "DROP TABLE device;", waves::SuperRackProductKind::unknown, "no such table: device" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::SprkFixture fixture (c.fileName);
        ASSERT_TRUE (fixture.ok);
        fixture.exec (c.sql);
        fixture.close();
        const auto before = sha (fixture.file);
        PrivateTmp tmp;
        const auto result = waves::inspectSuperRackProduct (fixture.file);
        EXPECT_EQ (result.kind, c.kind);
        EXPECT_EQ (result.error, juce::String (c.error));
        EXPECT_EQ (tmp.entries(), 0);
        EXPECT_EQ (sha (fixture.file), before);
    }
}

TEST (SuperRackProductInspection, ReportsMarkersAndNames)
{
    vorntest::SprkFixture fixture;
    fixture.makeSoundGrid();
    const auto result = waves::inspectSuperRackProduct (fixture.file);
    EXPECT_EQ (result.applicationType, "com.waves.mixer.MRSG");
    EXPECT_EQ (result.nativeBufferSize, 0);
    EXPECT_EQ (result.soundGridServers, 1);
    EXPECT_EQ (waves::superRackProductName (result.kind), "SuperRack SoundGrid");
    EXPECT_EQ (waves::superRackProductName (waves::SuperRackProductKind::performer), "SuperRack Performer");
    EXPECT_EQ (waves::superRackProductName ((waves::SuperRackProductKind) 7), "Unknown SuperRack");
    EXPECT_EQ (waves::inspectSuperRackProduct (fixture.folder.file ("missing.sprk")).error,
               "SuperRack product inspection requires an existing .sprk file");
}

TEST (WavesStaging, FingerprintCoversSidecars)
{
    vorntest::TempFolder folder;
    const auto db = folder.file ("s.emo");
    EXPECT_EQ (waves::fileSha256 (db), juce::String());
    db.replaceWithText ("main bytes");
    const auto mainHash = juce::SHA256 (db).toHexString();
    const auto expected = juce::SHA256 (("main:" + mainHash + "\n-wal:absent\n-shm:absent").toUTF8()).toHexString();
    EXPECT_EQ (waves::fileSha256 (db), expected);

    folder.file ("s.emo-wal").replaceWithText ("w");
    const auto withWal = waves::fileSha256 (db);
    EXPECT_NE (withWal, expected);
    folder.file ("s.emo-shm").replaceWithText ("s");
    EXPECT_NE (waves::fileSha256 (db), withWal);

    // A rollback journal adds its own line; without one the text is the three lines above.
    folder.file ("s.emo-wal").deleteFile();
    folder.file ("s.emo-shm").deleteFile();
    folder.file ("s.emo-journal").replaceWithText ("j");
    const auto journalHash = juce::SHA256 (folder.file ("s.emo-journal")).toHexString();
    EXPECT_EQ (waves::fileSha256 (db),
               juce::SHA256 (("main:" + mainHash + "\n-wal:absent\n-shm:absent\n-journal:" + journalHash).toUTF8()).toHexString());
}

TEST (WavesStaging, CopiesExistingSidecarsOnlyAndRemovesTheFolder)
{
    vorntest::TempFolder folder;
    const auto db = folder.file ("s.sprk");
    db.replaceWithText ("main bytes");
    folder.file ("s.sprk-wal").replaceWithText ("wal bytes");
    folder.file ("s.sprk-journal").replaceWithText ("journal bytes");
    PrivateTmp tmp;
    juce::File stagedFolder;
    {
        waves::StagedSource staged;
        juce::String fingerprint, error;
        ASSERT_TRUE (waves::stageSourceSnapshot (db, staged, fingerprint, error)) << error;
        EXPECT_EQ (fingerprint, waves::fileSha256 (db));
        stagedFolder = staged.folder.folder;
        EXPECT_TRUE (stagedFolder.getFileName().startsWith ("vorn-waves-source"));
        EXPECT_EQ (stagedFolder.getParentDirectory(), tmp.tmp.folder);
        EXPECT_EQ (staged.database.loadFileAsString(), "main bytes");
        EXPECT_EQ (stagedFolder.getChildFile ("s.sprk-wal").loadFileAsString(), "wal bytes");
        EXPECT_FALSE (stagedFolder.getChildFile ("s.sprk-shm").exists());
        EXPECT_EQ (stagedFolder.getChildFile ("s.sprk-journal").loadFileAsString(), "journal bytes");
        EXPECT_EQ (waves::fileSha256 (staged.database), fingerprint);
    }
    EXPECT_FALSE (stagedFolder.exists());
    EXPECT_EQ (tmp.entries(), 0);

    waves::StagedSource missing;
    juce::String fingerprint, error;
    EXPECT_FALSE (waves::stageSourceSnapshot (folder.file ("none.sprk"), missing, fingerprint, error));
    EXPECT_EQ (error, "Waves source is unavailable: " + folder.file ("none.sprk").getFullPathName());
}

TEST (WavesSqlite, ErrorConventionAndIntegrityChecks)
{
    vorntest::SprkFixture fixture;
    fixture.exec ("CREATE TABLE parent(id INTEGER PRIMARY KEY); CREATE TABLE child(pid INTEGER REFERENCES parent(id));");
    fixture.close();

    waves::Database db;
    juce::String error;
    EXPECT_FALSE (waves::openDatabase (fixture.folder.file ("absent.sprk"), db, error));
    EXPECT_FALSE (error.isEmpty());
    ASSERT_TRUE (waves::openDatabase (fixture.file, db, error)) << error;
    EXPECT_EQ (waves::applicationType (db.handle, "main", error), "com.waves.mixer.MRSG");

    EXPECT_TRUE (waves::verifyIntegrity (db.handle, error)) << error;
    ASSERT_TRUE (waves::execute (db.handle, "INSERT INTO child VALUES(5)", error)) << error;
    EXPECT_FALSE (waves::verifyIntegrity (db.handle, error));
    EXPECT_EQ (error, "written Waves session failed foreign_key_check at child");

    EXPECT_FALSE (waves::execute (db.handle, "SELECT * FROM nowhere", error));
    EXPECT_EQ (error, "no such table: nowhere");
    waves::Statement statement;
    EXPECT_FALSE (waves::prepare (nullptr, "SELECT 1", statement, error));
    EXPECT_EQ (error, "SQLite database is unavailable");
    ASSERT_TRUE (waves::prepare (db.handle, "SELECT 1", statement, error));
    EXPECT_FALSE (waves::stepDone (db.handle, statement.handle, error));
}

TEST (WavesSqlite, HostileSchemaCannotRunForever)
{
    vorntest::SprkFixture fixture;
    fixture.exec ("DROP TABLE device; CREATE VIEW device AS WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n) "
                  "SELECT i AS device_gender, 'x' AS description FROM n;");
    fixture.close();
    const auto result = waves::inspectSuperRackProduct (fixture.file);
    EXPECT_EQ (result.kind, waves::SuperRackProductKind::unknown);
    EXPECT_EQ (result.error, "interrupted");
}

// A trigger that a file brings never runs on a connection the converter opens, and a template that
// holds one (or anything else a host never saves) is refused with every such object named.
TEST (WavesSqlite, TriggersNeverRunAndOnlyHostShapedSchemasPass)
{
    vorntest::SprkFixture fixture;
    fixture.exec ("CREATE TABLE fired(x); CREATE TRIGGER tr AFTER INSERT ON plug BEGIN INSERT INTO fired VALUES(NEW.id); "
                  "UPDATE plug SET plugin_name='HIJACK' WHERE id=NEW.id; END;");
    fixture.close();
    waves::Database db;
    juce::String error;
    ASSERT_TRUE (waves::openDatabase (fixture.file, db, error)) << error;
    ASSERT_TRUE (waves::execute (db.handle, "INSERT INTO plug(id,chainer_id,slot,plugin_name) VALUES(1,1000,0,'EQ')", error)) << error;
    EXPECT_EQ (vorntest::queryRows (fixture.file, "SELECT count(*) FROM fired"), juce::StringArray ({ "0" }));
    EXPECT_EQ (vorntest::queryRows (fixture.file, "SELECT plugin_name FROM plug"), juce::StringArray ({ "EQ" }));

    const struct
    {
        const char* name;
        const char* sql;
        const char* error;
    } cases[] = {
        { "tables and indexes", "CREATE INDEX plug_slot ON plug(chainer_id,slot); CREATE TABLE own(x);", "" },
        { "trigger", "CREATE TRIGGER t1 BEFORE DELETE ON routes BEGIN SELECT 1; END;",
          "SuperRack template is not a host save: it holds trigger \"t1\" (on \"routes\"); a host saves tables and their indexes only" },
        { "view and virtual table", "CREATE VIEW \"v\"\"x\" AS SELECT 1; create virtual table vt using rtree(id, a, b);",
          "SuperRack template is not a host save: it holds view \"v\\\"x\", virtual table \"vt\"; a host saves tables and their indexes only" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        vorntest::SprkFixture f;
        f.exec (c.sql);
        f.close();
        waves::Database template_;
        ASSERT_TRUE (waves::openDatabase (f.file, template_, error)) << error;
        error.clear();
        EXPECT_EQ (waves::checkHostShapedSchema (template_.handle, "main", "SuperRack template", error), *c.error == 0);
        EXPECT_EQ (error, juce::String (c.error));
    }
}
