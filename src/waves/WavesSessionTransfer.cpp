#include "waves/WavesSessionTransfer.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace vornconv::waves
{

namespace
{

const char* const unavailableDatabase = "SQLite database is unavailable";

// Progress callbacks come every progressInterval virtual-machine instructions; a statement that
// needs more than maxProgressCalls of them is interrupted, so a hostile schema (a recursive view
// in place of a table) cannot keep the program busy for ever.
constexpr int progressInterval = 10000;
constexpr int maxProgressCalls = 10000;

int progressGuard (void* counter)
{
    auto& calls = *static_cast<int*> (counter);
    return ++calls > maxProgressCalls ? 1 : 0;
}

// The budget belongs to the statement being run: prepare and execute reset it, and so does any
// caller that prepares statements itself (resetWorkBudget).
thread_local int workCounter = 0;

juce::String sha256Hex (const juce::File& file)
{
    return juce::SHA256 (file).toHexString();
}

juce::String sidecarLine (const juce::File& database, const char* suffix)
{
    const auto sidecar = database.getSiblingFile (database.getFileName() + suffix);
    return juce::String (suffix) + ":" + (sidecar.existsAsFile() ? sha256Hex (sidecar) : juce::String ("absent"));
}

juce::String messageOf (sqlite3* db)
{
    return db != nullptr ? juce::String::fromUTF8 (sqlite3_errmsg (db)) : juce::String (unavailableDatabase);
}

bool openWithFlags (const juce::File& database, Database& db, int flags, juce::String& error)
{
    if (db.handle != nullptr)
    {
        sqlite3_close_v2 (db.handle);
        db.handle = nullptr;
    }
    sqlite3* handle = nullptr;
    const auto rc = sqlite3_open_v2 (database.getFullPathName().toRawUTF8(), &handle, flags, nullptr);
    if (rc != SQLITE_OK)
    {
        error = handle != nullptr ? messageOf (handle) : juce::String (unavailableDatabase);
        if (handle != nullptr)
            sqlite3_close_v2 (handle);
        return false;
    }
    db.handle = handle;
    sqlite3_busy_timeout (handle, 5000);
    hardenConnection (handle);
    return true;
}

} // namespace

juce::String superRackProductName (SuperRackProductKind kind)
{
    switch (kind)
    {
        case SuperRackProductKind::performer: return "SuperRack Performer";
        case SuperRackProductKind::soundGrid: return "SuperRack SoundGrid";
        case SuperRackProductKind::unknown:   break;
    }
    return "Unknown SuperRack";
}

juce::String fileSha256 (const juce::File& database)
{
    if (! database.existsAsFile())
        return {};
    auto text = "main:" + sha256Hex (database) + "\n" + sidecarLine (database, "-wal") + "\n" + sidecarLine (database, "-shm");
    // A rollback journal is staged with the database (it holds what an unfinished write
    // transaction overwrote), so it is part of the state; without one the text stays as before.
    if (database.getSiblingFile (database.getFileName() + "-journal").existsAsFile())
        text << "\n" << sidecarLine (database, "-journal");
    return juce::SHA256 (text.toUTF8()).toHexString();
}

bool makePrivateDirectory (const juce::String& prefix, juce::File& directory)
{
    const auto base = juce::File::getSpecialLocation (juce::File::tempDirectory);
    std::string pattern = base.getChildFile (prefix + "XXXXXX").getFullPathName().toStdString();
    if (mkdtemp (pattern.data()) == nullptr)
        return false;
    directory = juce::File (juce::String::fromUTF8 (pattern.c_str()));
    return directory.isDirectory();
}

StagedSource::~StagedSource()
{
    if (directory != juce::File() && directory.isDirectory())
        directory.deleteRecursively();
}

bool stageSourceSnapshot (const juce::File& source, StagedSource& staged, juce::String& fingerprint, juce::String& error)
{
    fingerprint = fileSha256 (source);
    if (fingerprint.isEmpty())
    {
        error = "Waves source is unavailable";
        return false;
    }
    juce::File directory;
    if (! makePrivateDirectory ("vorn-waves-source", directory))
    {
        error = "Could not create a private Waves source staging directory";
        return false;
    }
    staged.directory = directory;
    staged.database = directory.getChildFile (source.getFileName());
    if (! source.copyFileTo (staged.database))
    {
        error = "Could not stage the Waves source database";
        return false;
    }
    // A hot rollback journal goes with the copy, so that SQLite rolls the copy back to the last
    // committed state instead of reading a half-written transaction as the session.
    for (const char* suffix : { "-wal", "-shm", "-journal" })
    {
        const auto sidecar = source.getSiblingFile (source.getFileName() + suffix);
        if (sidecar.existsAsFile()
            && ! sidecar.copyFileTo (directory.getChildFile (staged.database.getFileName() + suffix)))
        {
            error = "Could not stage the Waves source " + juce::String (suffix) + " sidecar";
            return false;
        }
    }
    if (fileSha256 (source) != fingerprint)
    {
        error = "Waves source changed while it was being staged";
        return false;
    }
    return true;
}

Database::~Database()
{
    if (handle != nullptr)
        sqlite3_close_v2 (handle);
}

Statement::~Statement()
{
    if (handle != nullptr)
        sqlite3_finalize (handle);
}

void resetWorkBudget()
{
    workCounter = 0;
}

void hardenConnection (sqlite3* db)
{
    if (db == nullptr)
        return;
    sqlite3_db_config (db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config (db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_limit (db, SQLITE_LIMIT_LENGTH, maxValueBytes);
    sqlite3_progress_handler (db, progressInterval, progressGuard, &workCounter);
}

bool openDatabase (const juce::File& database, Database& db, juce::String& error)
{
    return openWithFlags (database, db, SQLITE_OPEN_READWRITE, error);
}

bool prepare (sqlite3* db, const char* sql, Statement& statement, juce::String& error)
{
    if (db == nullptr)
    {
        error = unavailableDatabase;
        return false;
    }
    if (statement.handle != nullptr)
    {
        sqlite3_finalize (statement.handle);
        statement.handle = nullptr;
    }
    if (sqlite3_prepare_v2 (db, sql, -1, &statement.handle, nullptr) != SQLITE_OK || statement.handle == nullptr)
    {
        error = messageOf (db);
        return false;
    }
    workCounter = 0;
    return true;
}

bool stepRow (sqlite3* db, sqlite3_stmt* statement, bool& hasRow, juce::String& error)
{
    hasRow = false;
    if (db == nullptr || statement == nullptr)
    {
        error = messageOf (db);
        return false;
    }
    const auto rc = sqlite3_step (statement);
    if (rc == SQLITE_ROW)
    {
        hasRow = true;
        return true;
    }
    if (rc == SQLITE_DONE)
        return true;
    error = messageOf (db);
    return false;
}

bool stepDone (sqlite3* db, sqlite3_stmt* statement, juce::String& error)
{
    bool hasRow = false;
    if (! stepRow (db, statement, hasRow, error))
        return false;
    if (hasRow)
    {
        error = "SQLite statement returned an unexpected row";
        return false;
    }
    return true;
}

bool execute (sqlite3* db, const juce::String& sql, juce::String& error)
{
    if (db == nullptr)
    {
        error = unavailableDatabase;
        return false;
    }
    workCounter = 0;
    char* message = nullptr;
    const auto rc = sqlite3_exec (db, sql.toRawUTF8(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK)
    {
        error = message != nullptr ? juce::String::fromUTF8 (message) : messageOf (db);
        sqlite3_free (message);
        return false;
    }
    sqlite3_free (message);
    return true;
}

juce::String applicationType (sqlite3* db, const char* schema, juce::String& error)
{
    const auto sql = "SELECT application_type FROM " + juce::String (schema) + ".info WHERE id=0";
    Statement statement;
    juce::String problem;
    if (! prepare (db, sql.toRawUTF8(), statement, problem))
    {
        error = problem;
        return {};
    }
    bool hasRow = false;
    if (! stepRow (db, statement.handle, hasRow, problem))
    {
        error = problem;
        return {};
    }
    if (! hasRow)
    {
        error = "Waves session info row is missing";
        return {};
    }
    const auto* text = sqlite3_column_text (statement.handle, 0);
    return text != nullptr ? juce::String::fromUTF8 (reinterpret_cast<const char*> (text)) : juce::String();
}

bool verifyIntegrity (sqlite3* db, juce::String& error)
{
    {
        Statement statement;
        juce::String problem;
        bool hasRow = false;
        if (! prepare (db, "PRAGMA integrity_check", statement, problem)
            || ! stepRow (db, statement.handle, hasRow, problem))
        {
            error = problem;
            return false;
        }
        const auto* text = hasRow ? sqlite3_column_text (statement.handle, 0) : nullptr;
        if (text == nullptr || std::string (reinterpret_cast<const char*> (text)) != "ok")
        {
            error = "written Waves session failed integrity_check";
            return false;
        }
    }
    Statement statement;
    juce::String problem;
    bool hasRow = false;
    if (! prepare (db, "PRAGMA foreign_key_check", statement, problem)
        || ! stepRow (db, statement.handle, hasRow, problem))
    {
        error = problem;
        return false;
    }
    if (hasRow)
    {
        const auto* table = sqlite3_column_text (statement.handle, 0);
        error = "written Waves session failed foreign_key_check at "
                + (table != nullptr ? juce::String::fromUTF8 (reinterpret_cast<const char*> (table)) : juce::String());
        return false;
    }
    return true;
}

SuperRackProductInspection inspectSuperRackProduct (const juce::File& sprk)
{
    SuperRackProductInspection result;
    if (! sprk.existsAsFile() || ! sprk.getFileExtension().equalsIgnoreCase (".sprk"))
    {
        result.error = "SuperRack product inspection requires an existing .sprk file";
        return result;
    }
    // Declared before the database so that the connection is closed before the folder goes.
    StagedSource staged;
    juce::String fingerprint, error;
    if (! stageSourceSnapshot (sprk, staged, fingerprint, error))
    {
        result.error = error;
        return result;
    }
    // Read-write on the private copy: rolling back a staged hot journal needs it.
    Database db;
    if (! openDatabase (staged.database, db, error))
    {
        result.error = error;
        return result;
    }
    juce::String typeError;
    result.applicationType = applicationType (db.handle, "main", typeError);
    if (result.applicationType != "com.waves.mixer.MRSG")
    {
        result.error = typeError.isNotEmpty() ? typeError : juce::String ("The .sprk application_type is not com.waves.mixer.MRSG");
        return result;
    }
    {
        Statement statement;
        bool hasRow = false;
        if (! prepare (db.handle, "SELECT native_buffer_size FROM mixer_settings LIMIT 2", statement, error)
            || ! stepRow (db.handle, statement.handle, hasRow, error))
        {
            result.error = error;
            return result;
        }
        if (! hasRow)
        {
            result.error = "SuperRack mixer_settings row is missing";
            return result;
        }
        // A value that is not a whole number in int32 range cannot be a buffer size; it counts
        // as no marker rather than being truncated into one.
        const auto type = sqlite3_column_type (statement.handle, 0);
        const auto value = sqlite3_column_double (statement.handle, 0);
        const bool whole = (type == SQLITE_INTEGER || type == SQLITE_FLOAT) && value >= 0.0 && value <= 2147483647.0
                           && value == std::floor (value);
        result.nativeBufferSize = whole ? (juce::int32) value : -1;
        if (! stepRow (db.handle, statement.handle, hasRow, error))
        {
            result.error = error;
            return result;
        }
        if (hasRow)
        {
            result.error = "SuperRack mixer_settings contains multiple rows";
            return result;
        }
    }
    {
        Statement statement;
        bool hasRow = false;
        juce::String problem;
        if (! prepare (db.handle, "SELECT COUNT(*) FROM device WHERE device_gender=3 OR UPPER(description)='SGS'", statement, problem)
            || ! stepRow (db.handle, statement.handle, hasRow, problem) || ! hasRow)
        {
            result.error = problem.isNotEmpty() ? problem : juce::String ("SuperRack device inventory could not be read");
            return result;
        }
        const auto count = sqlite3_column_int64 (statement.handle, 0);
        result.soundGridServers = (juce::int32) juce::jlimit<juce::int64> (0, 0x7fffffff, count);
    }
    if (result.soundGridServers == 0 && result.nativeBufferSize > 0)
        result.kind = SuperRackProductKind::performer;
    else if (result.soundGridServers > 0 && result.nativeBufferSize == 0)
        result.kind = SuperRackProductKind::soundGrid;
    else
        result.error = "Ambiguous SuperRack product markers: native_buffer_size=" + juce::String (result.nativeBufferSize)
                       + ", SoundGrid servers=" + juce::String (result.soundGridServers);
    return result;
}

} // namespace vornconv::waves
