// The Waves session databases as every part of the converter touches them. The user's file is
// never opened by SQLite: it and its sidecars ("-wal", "-shm", "-journal") are read once each
// through the untrusted-file loader, fingerprinted, and copied into a private folder, and the copy
// is opened on a hardened connection (no trusted schema, defensive mode, a cap on values and on
// the work of one statement). Errors are values with SQLite's message, its foreign bytes replaced.
// The selection report and the native transfer declared beside these live in
// WavesSelectionReport.cpp and WavesNativeTransfer.cpp.
//
// In this file, in order:
//   - Work budget, sidecars and connections: the progress guard, one file of a database read
//     through the loader, the fingerprint text, a new copy, SQLite's message, opening with flags.
//   - Product names
//   - Fingerprints and staged copies: sourceFingerprint, fileSha256, copyDatabase and
//     stageSourceSnapshot.
//   - Connections and statements: the owners of a connection and a statement, hardening, opening,
//     prepare, step and execute, the application type, and the integrity checks of a written
//     session.
//   - Telling Performer from SoundGrid: the buffer-size and SoundGrid-server markers, on a staged
//     copy or an open database.

#include "waves/WavesSessionTransfer.h"

#include "model/AtomicFileCommit.h"
#include "model/JsonWriter.h"
#include "model/UntrustedFile.h"
#include "model/Utf8Text.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cmath>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace vornconv::waves
{

namespace
{

//==============================================================================
// Work budget, sidecars and connections

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

// The sidecars that belong to a database's state: the write-ahead log and its index, and a
// rollback journal that holds what an unfinished write transaction overwrote.
const char* const sidecarSuffixes[] = { "-wal", "-shm", "-journal" };

juce::File partFile (const juce::File& database, int part)
{
    // Built from the full path: JUCE reads a sibling name that starts with '~' as a home folder.
    return part == 0 ? database : juce::File (database.getFullPathName() + sidecarSuffixes[part - 1]);
}

// One file of a database as it is now, read through the loader: its bytes, or absent (a
// sidecar only; one that the host removes meanwhile counts as absent too).
bool readPart (const juce::File& database, int part, bool& present, juce::MemoryBlock& bytes, juce::String& error)
{
    present = false;
    bytes.reset();
    const auto file = partFile (database, part);
    if (part > 0 && ! anythingExistsAt (file))
        return true;
    juce::String refusal;
    if (readUntrustedBytes (file, maxDatabaseFileBytes, bytes, refusal))
    {
        present = true;
        return true;
    }
    if (part > 0 && ! anythingExistsAt (file))
        return true;
    error = refusal;
    return false;
}

// The fingerprint of the four digests (empty: absent). Without a journal its text is that of
// the database, "-wal" and "-shm" alone.
juce::String fingerprintOf (const juce::String (&digests)[4])
{
    auto text = "main:" + digests[0];
    for (int part = 1; part < 4; ++part)
    {
        if (part == 3 && digests[part].isEmpty())
            break;
        text << "\n" << sidecarSuffixes[part - 1] << ":" << (digests[part].isEmpty() ? juce::String ("absent") : digests[part]);
    }
    return juce::SHA256 (text.toUTF8()).toHexString();
}

// Creates file (which must not exist yet) and writes bytes to it.
bool writeNewCopy (const juce::File& file, const juce::MemoryBlock& bytes)
{
    const int fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = writeAllBytes (fd, bytes.getData(), bytes.getSize());
    const int code = errno;
    const bool closed = ::close (fd) == 0;
    if (! written)
        errno = code; // the write's reason, not the close's
    return closed && written;
}

juce::String messageOf (sqlite3* db)
{
    // SQLite quotes bytes of the file (its schema, its values) in its messages.
    return db != nullptr ? utf8::toTextReplacingMalformed (sqlite3_errmsg (db)) : juce::String (unavailableDatabase);
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

//==============================================================================
// Product names

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

//==============================================================================
// Fingerprints and staged copies

bool sourceFingerprint (const juce::File& database, juce::String& fingerprint, juce::String& error)
{
    juce::String digests[4];
    for (int part = 0; part < 4; ++part)
    {
        bool present = false;
        juce::MemoryBlock bytes;
        if (! readPart (database, part, present, bytes, error))
            return false;
        if (present)
            digests[part] = juce::SHA256 (bytes).toHexString();
    }
    fingerprint = fingerprintOf (digests);
    return true;
}

juce::String fileSha256 (const juce::File& database)
{
    juce::String fingerprint, ignored;
    return sourceFingerprint (database, fingerprint, ignored) ? fingerprint : juce::String();
}

bool copyDatabase (const juce::File& source, const juce::File& copy, DatabaseCopy& result)
{
    result = {};
    juce::String digests[4];
    for (int part = 0; part < 4; ++part)
    {
        bool present = false;
        juce::MemoryBlock bytes;
        if (! readPart (source, part, present, bytes, result.refusal))
            return false;
        if (! present)
            continue;
        if (! writeNewCopy (partFile (copy, part), bytes))
        {
            result.systemError = errno;
            result.failedPart = part == 0 ? juce::String() : juce::String (sidecarSuffixes[part - 1]);
            return false;
        }
        digests[part] = juce::SHA256 (bytes).toHexString();
    }
    result.fingerprint = fingerprintOf (digests);
    return true;
}

bool stageSourceSnapshot (const juce::File& source, StagedSource& staged, juce::String& fingerprint, juce::String& error)
{
    if (! anythingExistsAt (source))
    {
        error = "Waves source is unavailable: " + source.getFullPathName();
        return false;
    }
    juce::String ignored;
    const auto root = temporaryRoot();
    if (! makePrivateFolder (root, "vorn-waves-source", staged.folder, ignored))
    {
        const int code = errno;
        error = "Could not create a private Waves source staging directory in the temporary folder " + root.getFullPathName()
              + " (TMPDIR)" + systemReason (code);
        return false;
    }
    staged.database = juce::File (staged.folder.folder.getFullPathName() + "/" + source.getFileName());
    DatabaseCopy copy;
    if (! copyDatabase (source, staged.database, copy))
    {
        if (copy.refusal.isNotEmpty())
            error = copy.refusal;
        else if (copy.failedPart.isEmpty())
            error = "Could not stage the Waves source database" + systemReason (copy.systemError);
        else
            error = "Could not stage the Waves source " + copy.failedPart + " sidecar" + systemReason (copy.systemError);
        return false;
    }
    juce::String now;
    if (! sourceFingerprint (source, now, ignored) || now != copy.fingerprint)
    {
        error = "Waves source changed while it was being staged";
        return false;
    }
    fingerprint = copy.fingerprint;
    return true;
}

//==============================================================================
// Connections and statements

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
    sqlite3_db_config (db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
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
        error = message != nullptr ? utf8::toTextReplacingMalformed (message) : messageOf (db);
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
    // Only compared with the known types: bytes that are no UTF-8 can never equal one.
    const auto* text = sqlite3_column_text (statement.handle, 0);
    return text != nullptr ? utf8::toTextReplacingMalformed (text, (size_t) sqlite3_column_bytes (statement.handle, 0)) : juce::String();
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
                + (table != nullptr ? utf8::toTextReplacingMalformed (reinterpret_cast<const char*> (table)) : juce::String());
        return false;
    }
    return true;
}

bool eachRowOf (sqlite3* db, sqlite3_stmt* statement, const std::function<bool (sqlite3_stmt*)>& take, juce::String& error)
{
    for (;;)
    {
        resetWorkBudget();
        bool hasRow = false;
        if (! stepRow (db, statement, hasRow, error))
            return false;
        if (! hasRow)
            return true;
        if (! take (statement))
            return false;
    }
}

bool eachRow (sqlite3* db, const juce::String& sql, const std::function<void (sqlite3_stmt*)>& take, juce::String& error)
{
    Statement statement;
    return prepare (db, sql.toRawUTF8(), statement, error)
        && eachRowOf (db, statement.handle, [&take] (sqlite3_stmt* row) { take (row); return true; }, error);
}

bool checkHostShapedSchema (sqlite3* db, const char* schema, const juce::String& owner, juce::String& error)
{
    juce::StringArray foreign;
    const auto sql = "SELECT type,name,tbl_name,sql FROM " + juce::String (schema) + ".sqlite_master ORDER BY rowid";
    const bool listed = eachRow (db, sql, [&foreign] (sqlite3_stmt* row)
    {
        const auto text = [row] (int column) {
            const auto* bytes = sqlite3_column_text (row, column);
            return bytes != nullptr ? utf8::toTextReplacingMalformed (bytes, (size_t) sqlite3_column_bytes (row, column))
                                    : juce::String();
        };
        const auto type = text (0);
        const auto name = json::quotedForMessage (text (1));
        if (type == "index")
            return;
        if (type == "table")
        {
            // The stored text of a virtual table starts with these words, whatever case was typed.
            if (! text (3).trimStart().startsWithIgnoreCase ("CREATE VIRTUAL"))
                return;
            foreign.add ("virtual table " + name);
        }
        else if (type == "trigger")
            foreign.add ("trigger " + name + " (on " + json::quotedForMessage (text (2)) + ")");
        else if (type == "view")
            foreign.add ("view " + name);
        else
            foreign.add ("schema object " + name + " of type " + json::quotedForMessage (type));
    }, error);
    if (! listed)
        return false;
    if (foreign.isEmpty())
        return true;
    error = owner + " is not a host save: it holds " + foreign.joinIntoString (", ") + "; a host saves tables and their indexes only";
    return false;
}

//==============================================================================
// Telling Performer from SoundGrid

SuperRackProductInspection inspectSuperRackProduct (const juce::File& sprk)
{
    SuperRackProductInspection result;
    if (! anythingExistsAt (sprk) || ! sprk.getFileExtension().equalsIgnoreCase (".sprk"))
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
    return inspectSuperRackDatabase (db.handle, "main");
}

SuperRackProductInspection inspectSuperRackDatabase (sqlite3* db, const char* schema)
{
    SuperRackProductInspection result;
    // Unqualified in the main schema, so that SQLite's messages name the tables as they are.
    const auto prefix = juce::String (schema) == "main" ? juce::String() : juce::String (schema) + ".";
    juce::String error, typeError;
    result.applicationType = applicationType (db, schema, typeError);
    if (result.applicationType != "com.waves.mixer.MRSG")
    {
        result.error = typeError.isNotEmpty() ? typeError : juce::String ("The .sprk application_type is not com.waves.mixer.MRSG");
        return result;
    }
    {
        Statement statement;
        bool hasRow = false;
        const auto sql = "SELECT native_buffer_size FROM " + prefix + "mixer_settings LIMIT 2";
        if (! prepare (db, sql.toRawUTF8(), statement, error) || ! stepRow (db, statement.handle, hasRow, error))
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
        if (! stepRow (db, statement.handle, hasRow, error))
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
        const auto sql = "SELECT COUNT(*) FROM " + prefix + "device WHERE device_gender=3 OR UPPER(description)='SGS'";
        if (! prepare (db, sql.toRawUTF8(), statement, problem) || ! stepRow (db, statement.handle, hasRow, problem) || ! hasRow)
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
