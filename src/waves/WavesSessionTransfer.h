#pragma once

#include "model/PrivateFiles.h"

#include <juce_core/juce_core.h>

#include <functional>

#include <sqlite3.h>

// Waves session databases (SuperRack .sprk, eMotion LV1 .emo) as the converter touches them:
// the fingerprint of a database with its write-ahead sidecars, private staged copies, one error
// convention around SQLite, and the check that tells a SuperRack Performer session from a
// SuperRack SoundGrid one (WavesSessionTransfer.cpp); then the channel-selection report
// (WavesSelectionReport.cpp) and the native transfer between eMotion LV1 and SuperRack SoundGrid
// (WavesNativeTransfer.cpp). The user's file is only ever read and copied; SQLite opens copies.
namespace vornconv::waves
{

enum class SuperRackProductKind : int
{
    unknown = 0,
    performer = 1,
    soundGrid = 2
};

struct SuperRackProductInspection
{
    SuperRackProductKind kind = SuperRackProductKind::unknown;
    juce::String applicationType;
    juce::int32 nativeBufferSize = -1;
    juce::int32 soundGridServers = 0;
    juce::String error; // set exactly when kind stays unknown
};

// "SuperRack Performer", "SuperRack SoundGrid", any other value "Unknown SuperRack".
juce::String superRackProductName (SuperRackProductKind kind);

// Reads a staged copy of sprk; never modifies the file and leaves no staging folder behind.
SuperRackProductInspection inspectSuperRackProduct (const juce::File& sprk);

// The same verdict for a session already open (a private copy), in the given schema.
SuperRackProductInspection inspectSuperRackDatabase (sqlite3* db, const char* schema);

// ---- Shared by the Waves operations, the SuperRack reader and the SuperRack writer ----------

// The largest database or sidecar file that is fingerprinted or staged.
constexpr juce::int64 maxDatabaseFileBytes = (juce::int64) 1 << 30;

// The fingerprint of database and its sidecars (64 lower-case hex digits): SHA-256 over "main:"
// and the digest of the database file, "-wal:" and "-shm:" with the digests of those siblings or
// "absent", and "-journal:" with the digest of a rollback journal when there is one. Every file
// is read through the untrusted-file loader; false with its refusal (naming the file) when a file
// is not a regular file of bounded size or the database file is missing.
bool sourceFingerprint (const juce::File& database, juce::String& fingerprint, juce::String& error);

// The same, or an empty text when it cannot be taken.
juce::String fileSha256 (const juce::File& database);

// A copy of a database and its existing sidecars ("-wal", "-shm", "-journal"): every file is
// opened once through the untrusted-file loader and copied from those bytes into a new file at
// copy (+ the suffix), created exclusively. A staged hot journal makes SQLite roll the copy back
// to the last committed state when it is first opened read-write.
struct DatabaseCopy
{
    juce::String fingerprint; // of the bytes copied, as sourceFingerprint gives it
    juce::String refusal;     // set when a file to copy was refused by the loader (names the file)
    juce::String failedPart;  // when a copy could not be written: empty for the database, else the suffix
    int systemError = 0;      // then the system's reason (errno)
};
bool copyDatabase (const juce::File& source, const juce::File& copy, DatabaseCopy& result);

// A staged copy of a database in a private folder of its own. The folder and everything in it
// go with the owner, or with an interrupted run.
struct StagedSource
{
    PrivateFolder folder;
    juce::File database;
};

// Copies source and its existing sidecars into a fresh private folder "vorn-waves-source...",
// and checks that the source still has the fingerprint of what was copied; fingerprint receives
// it. Open the copy read-write: a staged hot journal is rolled back on first access.
bool stageSourceSnapshot (const juce::File& source, StagedSource& staged, juce::String& fingerprint, juce::String& error);

struct Database
{
    sqlite3* handle = nullptr;

    Database() = default;
    Database (const Database&) = delete;
    Database& operator= (const Database&) = delete;
    ~Database();
};

struct Statement
{
    sqlite3_stmt* handle = nullptr;

    Statement() = default;
    Statement (const Statement&) = delete;
    Statement& operator= (const Statement&) = delete;
    ~Statement();
};

// Limits every connection to an untrusted database: no trusted schema, defensive mode, no
// triggers (a trigger the file brings never runs on what the converter writes), a cap on the size
// of one text or blob value, and a cap on the work of one statement.
void hardenConnection (sqlite3* db);
// Gives the next statement on this thread its full work budget.
void resetWorkBudget();

// The largest text or blob value a hardened connection reads (larger ones fail with
// SQLITE_TOOBIG).
constexpr int maxValueBytes = 128 * 1024 * 1024;

// Opens read-write, busy timeout 5000 ms. Only ever given private copies.
bool openDatabase (const juce::File& database, Database& db, juce::String& error);

juce::String applicationType (sqlite3* db, const char* schema, juce::String& error);
bool prepare (sqlite3* db, const char* sql, Statement& statement, juce::String& error);
bool stepRow (sqlite3* db, sqlite3_stmt* statement, bool& hasRow, juce::String& error);
bool stepDone (sqlite3* db, sqlite3_stmt* statement, juce::String& error);
bool execute (sqlite3* db, const juce::String& sql, juce::String& error);
// Steps a prepared statement through every row and hands each to take, each step with its full
// work budget; take returns false (with error set) to stop with a failure.
bool eachRowOf (sqlite3* db, sqlite3_stmt* statement, const std::function<bool (sqlite3_stmt*)>& take, juce::String& error);
// Runs sql (bound to nothing) and hands every row to take, as eachRowOf does.
bool eachRow (sqlite3* db, const juce::String& sql, const std::function<void (sqlite3_stmt*)>& take, juce::String& error);
bool verifyIntegrity (sqlite3* db, juce::String& error);

// A host saves tables and their indexes, nothing else. A template whose schema (in schema of db)
// holds a trigger (which would run in the writer's transaction and later in the host), a view or
// a virtual table (which would stand in for a table) is refused before anything is written:
// error names every such object, after owner ("SuperRack template", "Waves host-save template").
bool checkHostShapedSchema (sqlite3* db, const char* schema, const juce::String& owner, juce::String& error);

// ---- Channel selection report and native transfer between eMotion LV1 and SuperRack SoundGrid

// Target identifiers of the two directions.
constexpr const char* superRackSoundGridTarget = "superrack-soundgrid"; // LV1 .emo -> SoundGrid .sprk
constexpr const char* wavesLv1Target = "waves-lv1";                     // SoundGrid .sprk -> LV1 .emo

// True for ("com.waves.mixer.lv1", "superrack-soundgrid") and ("com.waves.mixer.MRSG", "waves-lv1").
bool expectedDirection (const juce::String& applicationType, juce::StringRef target);

// "Input", "Group", "Aux", "Matrix"; other types are "Unsupported".
juce::String channelTypeName (int type);

// "Input 1", "Group 3", "Aux 2", "Matrix 4"; other types are "Unsupported N".
juce::String genericChannelName (int type, int index);

// The one-line selection document of every configured channel of input, with the proposed
// destination of each in the other product; empty with error set on failure (every refusal is
// about input; its words need not name it). Only a staged copy of input is opened.
juce::String buildSelectionReport (const juce::File& input, juce::StringRef target, juce::String& error);

// The file given to the transfer that a refusal is about, for the caller to name it (and the
// option it came from): the input, the selection, the host-save template or the output. none: a
// refusal about the transfer's own work (the temporary folder, the written session), or about
// what the source and the template hold once both are open, which says in its words whose it is.
enum class TransferFile
{
    none,
    source,
    selection,
    hostSaveTemplate,
    output
};

struct TransferResult
{
    bool ok = false;
    juce::String error;
    TransferFile refusedFile = TransferFile::none; // which file error is about
    juce::String summary;
    juce::String note; // one finding per line: what was copied as it was, and what was not
};

// Copies the channels and plug-ins that the selection document marks into a copy of the
// host-saved template and publishes it at output, which must not exist yet. The input, the
// selection and the template are only read; nothing is left behind when it fails. A refusal of
// one of the four files (one that is not there or cannot be read, of another kind, a selection
// whose document or entries do not hold, an output that stands there or cannot be made) says in
// refusedFile which one it is about; its words need not name it, but for a refusal about the
// output, which names the output or its folder.
TransferResult convertSession (const juce::File& input, juce::StringRef target, const juce::File& selection,
                               const juce::File& hostSaveTemplate, const juce::File& output);

} // namespace vornconv::waves
