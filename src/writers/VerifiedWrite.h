#pragma once

#include "model/Expected.h"
#include "model/RackModel.h"
#include "model/RackSemanticCompare.h"
#include "rapp/RappConversionPlan.h"
#include "readers/HostReaders.h"
#include "writers/OutputHost.h"
#include "writers/WriteResult.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <map>
#include <memory>
#include <string_view>

// The one road every writer's output takes: claim the output, write the document into a
// temporary file beside it, read the document back with the target's own reader, prove the
// read-back against the session the writer meant to write, and publish the file. A writer
// supplies only its document and its proof (how it accepts a read-back, the expected session,
// the checks of its own and the words of its refusal); everything about files is here.
//
// A plan runs the same steps up to the proof without an output (proveVerifiedDocument): the
// document is built, written into an anonymous file (or left where it was made, for a document
// that is a file of its own), read back and proven exactly as the write proves it, so that the
// plan's verdict is the write's, at no more cost: the proof holds what the write holds.
//
// States of one write, in order; a failure in any of them abandons the write:
//   claimed    the output's folder is held (HeldFolder.h: opened once, its missing folders made
//              and opened one by one from their parents' handles, and remembered), and nothing
//              stands at the output's name in it.
//   prepared   the writer's own work once the output is claimed (building its document) is done.
//   written    a temporary file under a fresh name is created exclusively in the held folder and
//              filled through the descriptor that created it; an interrupted run removes it.
//   read back  the document is read with the target's own reader: the temporary file itself,
//              reached through the folder's handle, or, for a document that is a file of its own
//              (a database that SQLite wrote into a private copy), that file, before its bytes
//              are copied into the temporary file.
//   proven     the writer accepts the read-back; the ledger compares it with the session the
//              conversion carries; it lets go of the state bytes the comparison does not read;
//              the writer builds the expected session, and compareRackSemantics together with the
//              writer's own checks finds no difference. The ledger then says what the output
//              holds differently from the source (ConversionLedger.h).
//   committed  the output's path still names the held folder, and the temporary file is renamed
//              onto the output's name within it in one step that fails rather than replace
//              anything.
//   abandoned  the temporary file and the folders made for the output are gone again, removed
//              through their folders' handles and only while their names still stand for them.
//
// Invariants:
//   - Nothing stands at the output before the commit, and the commit never replaces a file: an
//     output that appears meanwhile makes the commit fail and stays untouched.
//   - The temporary lies in the output's held folder, so the commit never crosses folders or
//     file systems, and a folder moved or replaced meanwhile is refused, never written through.
//   - The temporary is written only through the descriptor that created it, never reopened.
//   - The read-back uses the target's own reader on the document as written.
//   - The expected session is built only once the read-back is accepted and has let go of what
//     the comparison does not read, and, where the document is written first, only after the
//     writer has released it: a write never holds its document and the expected session at once.
//   - A write is ok only once committed; on every other way out nothing of it is left behind.
namespace vornconv::rapp
{

// How a writer proves a read-back of its output.
struct ReadBackProof
{
    // Success when the read may be compared at all (complete, of the right shape), else the refusal.
    std::function<Expected<void> (const RackReadResult& readBack)> accept;
    // The session a correct output reads back as, or the refusal when it cannot be built.
    std::function<Expected<RackSession>()> expected;
    // What the writer proves beyond compareRackSemantics (optional), added as mismatches of the
    // same form.
    std::function<void (const RackSession& expected, const RackReadResult& readBack,
                        juce::Array<RackSemanticMismatch>& mismatches)> ownChecks;
    // The refusal, in the writer's own words, for a comparison that found differences.
    std::function<juce::String (const RackSession& expected, const RackSession& actual,
                                const RackSemanticComparison& comparison)> refusal;
};

// What a proof gives its caller: whether it held (or its refusal) and, once the read-back was
// accepted and compared, what was compared (ProvenDocument, WriteResult.h).
struct ProofOutcome
{
    Expected<void> verdict;
    std::shared_ptr<const ProvenDocument> compared;
    // The refusal is the temporary folder's fault (the document in it changed or could not be
    // read back), not the writer's.
    bool temporaryFolderFault = false;
};

// What the ledger of a proof (ConversionLedger.h) compares the read-back with.
struct LedgerTerms
{
    const RackSession* carried = nullptr;    // the session the conversion carries; null keeps no ledger
    const OutputHost* target = nullptr;      // the host of the document
    juce::String outputName;                 // the output's file name without extension; empty without an output
};

// Runs the proof on a read-back. Once the read is accepted, the ledger compares it whole with the
// session carried (so that a state is compared by its own bytes, not by what is left of it); then
// the state bytes the comparison does not read (an AudioUnit's component and controller, any
// other plug-in's raw block) are released before the expected session is built. The ledger's
// notes go with what was compared only when the proof holds.
ProofOutcome proveReadBack (RackReadResult readBack, const ReadBackProof& proof, const LedgerTerms& ledger = {});

// The refusal of a read-back the target's reader did not read completely, in its own words:
// the reader's error, else the first note of the given code (any code when empty) that the read
// graded DROPPED, as ": " + code + " - " + text; empty when there is neither.
juce::String incompleteReadReason (const RackReadResult& readBack, const juce::String& noteCode = {});

// One output to write.
struct VerifiedOutput
{
    // The writer's work once the output is claimed (optional), or its refusal.
    std::function<Expected<void>()> prepare;
    // Writes the whole document; false on a failure of its own.
    std::function<bool (juce::OutputStream& out)> writeDocument;
    // Releases the document once it is written (optional).
    std::function<void()> documentWritten;
    // For a document that is a file of its own (optional): that file, known once prepared; it is
    // read back in place of the temporary file.
    std::function<juce::File()> documentFile;
    // The target's own readers (OutputHost::readers): of the temporary file (or the document's own
    // file), and of the document's bytes, which a proof without an output reads back from its
    // anonymous file into memory of its own (size bytes, and one more after them, which the read
    // may overwrite as it may them) and which the read lets go of (release) as soon as it can.
    std::function<RackReadResult (const juce::File&)> readBack;
    std::function<RackReadResult (char* bytes, size_t size, const std::function<void()>& release)> readBackBytes;
    ReadBackProof proof;
    LedgerTerms ledger;            // the ledger the proof keeps (target: set by readBackWith)
    juce::String writeFailed;      // the refusal when the temporary file cannot be written
    juce::String commitFailed;     // put before the commit's own reason
};

// readBack and readBackBytes of steps become the host's own readers, and the host the ledger's
// target.
void readBackWith (VerifiedOutput& steps, const OutputHost& host);

struct VerifiedWriteOutcome
{
    // The output now holds the proven document, or the refusal (until the write says otherwise).
    Expected<void> committed = failure ("the output was not written");
    bool proven = false;       // written and proven: only the commit was left (it may have failed)
    bool outputFault = false;  // the refusal is the output's place: its folder, its name taken, the temporary, the commit
    std::shared_ptr<const ProvenDocument> compared;   // as the proof left it
};

// Claims output ("could not create output directory" and the system's reason, "refusing to replace
// existing output: ..." when anything stands there), then prepares, writes (a temporary the
// output's folder does not take: writeFailed, the system's reason and " (in <output>)"), reads
// back, proves and commits (a commit refused because the output's folder was moved or replaced
// says so after commitFailed). A refusal of the claim, the temporary or the commit is the
// output's (outputFault).
VerifiedWriteOutcome writeVerifiedOutput (const juce::File& output, const VerifiedOutput& steps);

// The write's steps up to the proof, without an output: prepares, writes the document into an
// anonymous file (no name, in no folder) in the temporary folder, or in memory where the temporary
// folder cannot hold it (full, over its quota, any write error, no file without a name), lets the
// writer release it, reads it back whole with readBackBytes (read, never mapped, and refused as
// changed unless the file is still as written) (a document that is a file of its own is read where
// it was made, as the write reads it) and proves it. Claims, creates and commits nothing; the
// refusal is the write's, except for what only an output can meet (an output that stands there,
// its folders, the temporary file and the commit) and for what another process does to the
// anonymous file in the temporary folder ("the unnamed document in the temporary folder <path>
// (TMPDIR) changed while it was read back", a fault of the temporary folder).
ProofOutcome proveVerifiedDocument (const VerifiedOutput& steps);

//==============================================================================
// The one shell of every writer's check and write. The preflight is its caller's: rapp::inspect
// of the session to be written, for the writer's host, run once; the writer takes its verdict
// and never runs it again. A plan for another host, or one that blocks, is refused in the
// writer's words before anything else; then come the writer's own checks, then the steps above
// (without an output for a check, with one for a write).

// What a writer gives the shell.
struct PlannedWrite
{
    Target target = targetVornScene;   // the writer's host: a plan for any other is refused
    juce::String blocked;              // the refusal of a plan that blocks ("RAPP preflight blocked ...")
    // The writer's own checks and preparation once the plan allows, before the output is looked
    // at (optional): success, or the refusal. What it adds to result stays with a proven document.
    std::function<Expected<void> (WriteResult& result)> admit;
    // The steps of the document, made once admitted; their work may add notes (and notedFields)
    // to result, which stay only with a proven document.
    std::function<VerifiedOutput (WriteResult& result)> steps;
    // What only a committed output adds to result (optional): the notes that say it is written.
    std::function<void (WriteResult& result)> committed;
};

// The check: the write's refusal without an output (proveVerifiedDocument), or ok with the notes
// of the proven document; compared as the proof left it.
WriteResult checkPlannedWrite (const ConversionPlan& plan, const PlannedWrite& write);

// The write (writeVerifiedOutput): ok only once committed. A document proven whose commit then
// failed keeps its notes beside the error; every other refusal keeps none. A refusal of the
// output's place is marked RefusedPath::output.
WriteResult writePlannedOutput (const ConversionPlan& plan, const PlannedWrite& write, const juce::File& output);

//==============================================================================
// For expected sessions that copy only the state blocks the target proves (a session's states are
// most of its size, and the expected session lives beside the source and the read-back).

// The strip's own fields, without its slots.
RackStrip copyWithoutSlots (const RackStrip& strip);

// The slot's fields with only the state bytes a comparison reads of it: the property list of an
// AudioUnit, the component and controller of any other plug-in. It carries no parameter mirror:
// a writer whose target keeps one proves it on its own.
PluginRef copyForStateComparison (const PluginRef& slot, bool audioUnit);

//==============================================================================
// For refusals that name the first difference of the first strip or slot in the writer's order.

// The first mismatch at each path of a comparison (which must outlive it).
struct FirstMismatches
{
    explicit FirstMismatches (const RackSemanticComparison& comparison);

    // The first mismatch at path, or null.
    const RackSemanticMismatch* at (const juce::String& path) const;

    std::map<juce::String, const RackSemanticMismatch*> byPath;
};

// message + ": " + the mismatch as the summary lists it.
juce::String refusalNaming (const juce::String& message, const RackSemanticMismatch& first);

} // namespace vornconv::rapp
