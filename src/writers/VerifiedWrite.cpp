// The verified-write pipeline (its states and invariants are described in the header): the
// proof of a read-back, the write itself, the same steps without an output for a plan, and the
// helpers writers build their expected sessions and refusals with.

#include "writers/VerifiedWrite.h"

#include "model/AtomicFileCommit.h"
#include "model/PrivateFiles.h"
#include "model/TestHooks.h"
#include "model/UntrustedFile.h"
#include "writers/ConversionLedger.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <utility>
#include <vector>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vornconv::rapp
{

namespace
{

// The comparison reads an AudioUnit's property list and any other plug-in's component and
// controller. The rest of a read-back's state bytes goes before the expected session is built, so
// that the copy of the states an expected session holds takes the place of bytes no longer needed.
void releaseUncomparedStates (RackSession& readBack)
{
    for (auto& strip : readBack.strips)
        for (auto& slot : strip.plugins)
        {
            if (slot.format == "AU")
            {
                slot.state.component.reset();
                slot.state.controller.reset();
            }
            else
            {
                slot.state.raw.reset();
            }
        }
}

// The file a proof without an output writes its document into, as the write writes its own into
// its temporary: a file in the temporary folder, so that what the document is written from and
// the document itself are never both held in memory, and read back only once the writer has let
// go of the former. It is anonymous (O_TMPFILE: it has no name and is gone with its descriptor,
// whatever ends the run). Where no such file can be made there (a file system that cannot hold a
// file without a name, a temporary folder that is missing), or the temporary folder refuses a
// write into it (full, over its quota, any write error), the document lives in memory instead,
// with whatever was already written: a plan needs no temporary folder where its convert needs
// none, and decides as its convert does.
struct AnonymousDocument
{
    AnonymousDocument()
    {
        fd = ::open (temporaryRoot().getFullPathName().toRawUTF8(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0)
            moveToMemory (0);
    }
    ~AnonymousDocument()
    {
        if (fd >= 0)
            ::close (fd);
    }
    AnonymousDocument (const AnonymousDocument&) = delete;
    AnonymousDocument& operator= (const AnonymousDocument&) = delete;

    // From here on the document lives in memory, holding the first kept bytes of the file it
    // leaves; false with errno when it cannot.
    bool moveToMemory (size_t kept)
    {
        const int memory = ::memfd_create ("vornconv-document", MFD_CLOEXEC);
        if (memory < 0)
            return false;
        std::vector<char> piece (std::min<size_t> (kept, (size_t) 1 << 20));
        for (size_t done = 0; done < kept;)
        {
            const auto n = ::pread (fd, piece.data(), std::min (piece.size(), kept - done), (off_t) done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || ! writeAllBytes (memory, piece.data(), (size_t) n))
            {
                const int code = n == 0 ? EIO : errno;
                ::close (memory);
                errno = code;
                return false;
            }
            done += (size_t) n;
        }
        if (fd >= 0)
            ::close (fd);
        fd = memory;
        inMemory = true;
        return true;
    }

    // Where the document lies, as a refusal names it.
    juce::String place() const
    {
        return inMemory ? juce::String ("memory")
                        : "the temporary folder " + temporaryRoot().getFullPathName() + " (TMPDIR)";
    }

    int fd = -1;
    bool inMemory = false;
};

// Writes through the document's descriptor: small pieces gathered, large ones as they come. A
// piece the temporary folder refuses moves the document into memory and goes there.
struct AnonymousDocumentStream final : juce::OutputStream
{
    explicit AnonymousDocumentStream (AnonymousDocument& target) : document (target) {}
    ~AnonymousDocumentStream() override { flush(); }

    void flush() override
    {
        const auto pending = std::exchange (used, (size_t) 0);
        if (pending > 0)
            writeThrough (buffer.get(), pending);
    }
    bool setPosition (juce::int64) override { return false; }
    juce::int64 getPosition() override { return position; }

    bool write (const void* data, size_t n) override
    {
        if (failed)
            return false;
        position += (juce::int64) n;
        if (used + n > pieceBytes)
            flush();
        if (n >= pieceBytes)
            writeThrough (data, n);
        else if (n > 0)
        {
            std::memcpy (buffer.get() + used, data, n);
            used += n;
        }
        return ! failed;
    }

    void writeThrough (const void* data, size_t n)
    {
        if (failed)
            return;
        if (writeAllBytes (document.fd, data, n))
        {
            written += n;
            return;
        }
        const int refused = errno;
        if (! document.inMemory && document.moveToMemory (written) && writeAllBytes (document.fd, data, n))
        {
            written += n;
            return;
        }
        failed = true;
        systemError = document.inMemory ? errno : refused;
    }

    static constexpr size_t pieceBytes = 1 << 20;
    AnonymousDocument& document;
    juce::HeapBlock<char> buffer { pieceBytes };
    size_t used = 0;
    juce::int64 position = 0;
    size_t written = 0; // through to the descriptor
    bool failed = false;
    int systemError = 0;
};

// Who the document's file is and when it last changed, as fstat tells it.
struct DocumentStamp
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};
    timespec changed {};

    static bool take (int fd, DocumentStamp& out)
    {
        struct stat info {};
        if (::fstat (fd, &info) != 0)
            return false;
        out = { info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim };
        return true;
    }

    bool operator== (const DocumentStamp& other) const
    {
        return device == other.device && inode == other.inode && size == other.size
            && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec
            && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

// The document's bytes, read back from its anonymous file into memory of our own, with one byte
// more after them, which the reader may overwrite as it may them. They are read (never mapped: a
// mapping of a file that another process cuts short kills the reader with SIGBUS when it touches
// a page past the new end), and only as they were written: the file must be what it was once
// written (identity, size, times) before and after the read, else the read is refused as changed.
// A reader that works on them where they lie lets go of them as soon as it can.
struct DocumentBytes
{
    enum class Outcome { read, changed, failed };

    DocumentBytes (int fd, const DocumentStamp& written)
    {
        DocumentStamp before;
        if (! DocumentStamp::take (fd, before))
            return;
        if (! (before == written))
        {
            outcome = Outcome::changed;
            return;
        }
        const auto size = (size_t) written.size;
        block.setSize (size + 1);
        for (size_t done = 0; done < size;)
        {
            const auto n = ::pread (fd, static_cast<char*> (block.getData()) + done, size - done, (off_t) done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
            {
                outcome = n == 0 ? Outcome::changed : Outcome::failed;
                block.reset();
                return;
            }
            done += (size_t) n;
        }
        DocumentStamp after;
        const bool told = DocumentStamp::take (fd, after);
        if (! told || ! (after == written))
        {
            outcome = told ? Outcome::changed : Outcome::failed;
            block.reset();
            return;
        }
        outcome = Outcome::read;
        view = { static_cast<char*> (block.getData()), size };
    }

    void release() { block.reset(); }

    Outcome outcome = Outcome::failed; // failed: errno holds the system's reason
    juce::MemoryBlock block;
    std::pair<char*, size_t> view { nullptr, 0 };
};

} // namespace

ProofOutcome proveReadBack (RackReadResult readBack, const ReadBackProof& proof, const LedgerTerms& terms)
{
    ProofOutcome outcome;
    outcome.verdict = proof.accept (readBack);
    if (! outcome.verdict)
        return outcome;
    // The ledger reads the read-back as the reader gave it: nothing of its states is released yet.
    NoteList ledger;
    if (terms.carried != nullptr && terms.target != nullptr)
        ledger = balanceLedger (*terms.carried, readBack.session, *terms.target, terms.outputName);
    releaseUncomparedStates (readBack.session);
    auto document = std::make_shared<ProvenDocument>();
    {
        auto expected = proof.expected();
        if (! expected)
        {
            outcome.verdict = failure (expected.message());
            return outcome;
        }
        document->expected = std::move (*expected);
    }
    document->readBack = std::move (readBack);
    const auto& expected = document->expected;
    const auto& read = document->readBack;
    auto comparison = compareRackSemantics (expected, read.session);
    if (proof.ownChecks)
        proof.ownChecks (expected, read, comparison.mismatches);
    if (! comparison.isExact())
        outcome.verdict = failure (proof.refusal (expected, read.session, comparison));
    else
        document->ledger = std::move (ledger);
    outcome.compared = std::move (document);
    return outcome;
}

juce::String incompleteReadReason (const RackReadResult& readBack, const juce::String& noteCode)
{
    if (readBack.error.isNotEmpty())
        return ": " + readBack.error;
    for (const auto& note : readBack.session.notes.items)
        if (note.fidelity == Fidelity::dropped && (noteCode.isEmpty() || note.code == noteCode))
            return ": " + note.code + " - " + note.text;
    return {};
}

void readBackWith (VerifiedOutput& steps, const OutputHost& host)
{
    const auto& readers = host.readers;
    steps.ledger.target = &host;
    steps.readBack = readers.file;
    steps.readBackBytes = nullptr;
    if (readers.document != nullptr)
        steps.readBackBytes = [read = readers.document] (char* bytes, size_t size, const std::function<void()>& release)
        {
            return read (juce::File(), bytes, size, release);
        };
    else if (readers.bytes != nullptr)
        steps.readBackBytes = [read = readers.bytes] (char* bytes, size_t size, const std::function<void()>&)
        {
            return read (juce::File(), std::string_view (bytes, size));
        };
}

VerifiedWriteOutcome writeVerifiedOutput (const juce::File& output, const VerifiedOutput& steps)
{
    VerifiedWriteOutcome outcome;
    // The output's folder is held from here on. Whatever leaves the write before its commit (a
    // refusal, or an exception such as bad_alloc unwinding through it) takes away, through the
    // folder's handle, the temporary file and then the folders made for the output.
    const auto refuse = [&outcome] (const juce::String& message)
    {
        outcome.committed = failure (message);
        return outcome;
    };
    const auto refuseForOutput = [&outcome, &refuse] (const juce::String& message)
    {
        outcome.outputFault = true;
        return refuse (message);
    };
    HeldFolder folder;
    if (! openHeldFolder (output.getParentDirectory(), true, "output folder", folder))
    {
        const int code = errno;
        return refuseForOutput ("could not create output directory" + heldFolderFailure (output.getParentDirectory(), code));
    }
    const auto name = output.getFileName();
    if (folder.holds (name))
        return refuseForOutput ("refusing to replace existing output: " + output.getFullPathName());
    HeldFile temporary;

    if (steps.prepare)
        if (const auto prepared = steps.prepare(); ! prepared)
            return refuse (prepared.message());

    // The ledger names what the output holds by the output's name, not the temporary's.
    auto ledger = steps.ledger;
    ledger.outputName = output.getFileNameWithoutExtension();

    // A document that is a file of its own is proven where it was made, before it is copied.
    const bool ownFile = steps.documentFile != nullptr;
    if (ownFile)
    {
        auto proof = proveReadBack (steps.readBack (steps.documentFile()), steps.proof, ledger);
        outcome.compared = std::move (proof.compared);
        if (! proof.verdict)
            return refuse (proof.verdict.message());
    }
    if (! makeTemporaryIn (folder, name, temporary) || ! writeThroughDescriptor (temporary, steps.writeDocument))
        return refuseForOutput (namingFile (steps.writeFailed + systemReason (errno), output));
    if (steps.documentWritten)
        steps.documentWritten();
    if (! ownFile)
    {
        testHooks::stopPoint ("read-back");
        auto proof = proveReadBack (steps.readBack (temporary.pathThroughHandle()), steps.proof, ledger);
        outcome.compared = std::move (proof.compared);
        if (! proof.verdict)
            return refuse (proof.verdict.message());
    }
    outcome.proven = true;

    juce::String error;
    if (! commitNewFileExclusive (folder, temporary, name, error))
        return refuseForOutput (steps.commitFailed + error);
    folder.keep();
    outcome.committed = success();
    return outcome;
}

ProofOutcome proveVerifiedDocument (const VerifiedOutput& steps)
{
    ProofOutcome refused;
    if (steps.prepare)
        if (refused.verdict = steps.prepare(); ! refused.verdict)
            return refused;

    // A document that is a file of its own is proven where it was made, as the write proves it.
    if (steps.documentFile != nullptr)
        return proveReadBack (steps.readBack (steps.documentFile()), steps.proof, steps.ledger);

    // Any other document is written as the write writes it, into a file (an anonymous one: a
    // proof claims no name), released as the write releases it, and then read back whole, as the
    // write reads back its temporary file.
    RackReadResult readBack;
    {
        AnonymousDocument document;
        if (document.fd < 0)
        {
            refused.verdict = failure (steps.writeFailed + systemReason (errno));
            return refused;
        }
        {
            AnonymousDocumentStream out (document);
            const bool written = steps.writeDocument (out);
            out.flush();
            if (! written || out.failed)
            {
                refused.verdict = failure (steps.writeFailed + systemReason (out.systemError));
                return refused;
            }
        } // its buffer goes before the document is read
        if (steps.documentWritten)
            steps.documentWritten();
        // What the temporary folder does to the document from here on is its fault, not the
        // writer's: a refusal then names the folder.
        const auto refuseFromDocument = [&refused, &document] (const juce::String& what)
        {
            refused.verdict = failure ("the unnamed document in " + document.place() + what);
            refused.temporaryFolderFault = ! document.inMemory;
            return refused;
        };
        DocumentStamp written;
        if (! DocumentStamp::take (document.fd, written))
            return refuseFromDocument (" could not be read back" + systemReason (errno));
        testHooks::stopPoint ("plan-document-written");
        DocumentBytes bytes (document.fd, written);
        if (bytes.outcome == DocumentBytes::Outcome::changed)
            return refuseFromDocument (" changed while it was read back");
        if (bytes.outcome != DocumentBytes::Outcome::read)
            return refuseFromDocument (" could not be read back" + systemReason (errno));
        testHooks::stopPoint ("plan-document-read");
        readBack = steps.readBackBytes (bytes.view.first, bytes.view.second, [&bytes] { bytes.release(); });
    }
    return proveReadBack (std::move (readBack), steps.proof, steps.ledger);
}

namespace
{

// A refusal says only why: the notes of a document that was never proven go with it.
WriteResult& refusedWith (WriteResult& result, const juce::String& error)
{
    result.ok = false;
    result.error = error;
    result.notes.clear();
    result.notedFields.clear();
    return result;
}

// The plan's verdict for this writer, then the writer's own checks; false with the refusal in result.
bool admitted (const ConversionPlan& plan, const PlannedWrite& write, WriteResult& result)
{
    Expected<void> verdict;
    if (plan.target != write.target || ! plan.canWrite())
        verdict = failure (write.blocked);
    else if (write.admit)
        verdict = write.admit (result);
    if (verdict)
        return true;
    refusedWith (result, verdict.message());
    return false;
}

} // namespace

WriteResult checkPlannedWrite (const ConversionPlan& plan, const PlannedWrite& write)
{
    WriteResult result;
    if (! admitted (plan, write, result))
        return result;
    auto proof = proveVerifiedDocument (write.steps (result));
    result.compared = std::move (proof.compared);
    result.temporaryFolderFault = result.temporaryFolderFault || proof.temporaryFolderFault;
    if (! proof.verdict)
        return refusedWith (result, proof.verdict.message());
    result.ok = true;
    return result;
}

WriteResult writePlannedOutput (const ConversionPlan& plan, const PlannedWrite& write, const juce::File& output)
{
    WriteResult result;
    if (! admitted (plan, write, result))
        return result;
    auto outcome = writeVerifiedOutput (output, write.steps (result));
    result.compared = std::move (outcome.compared);
    if (outcome.outputFault)
        result.refusedPath = RefusedPath::output;
    if (! outcome.proven)
        return refusedWith (result, outcome.committed.message());
    if (! outcome.committed)
    {
        result.error = outcome.committed.message();
        return result;
    }
    if (write.committed)
        write.committed (result);
    result.ok = true;
    return result;
}

RackStrip copyWithoutSlots (const RackStrip& strip)
{
    RackStrip copy;
    copy.index = strip.index;
    copy.name = strip.name;
    copy.hasColour = strip.hasColour;
    copy.colour = strip.colour;
    copy.inputGainDb = strip.inputGainDb;
    copy.outputGainDb = strip.outputGainDb;
    copy.pan = strip.pan;
    copy.muted = strip.muted;
    copy.soloed = strip.soloed;
    copy.bypassed = strip.bypassed;
    copy.inputChannels = strip.inputChannels;
    copy.outputChannels = strip.outputChannels;
    copy.routeInL = strip.routeInL;
    copy.routeInR = strip.routeInR;
    copy.routeOutL = strip.routeOutL;
    copy.routeOutR = strip.routeOutR;
    copy.routePatches = strip.routePatches;
    copy.sourceParameters = strip.sourceParameters;
    copy.coverage = strip.coverage;
    return copy;
}

PluginRef copyForStateComparison (const PluginRef& slot, bool audioUnit)
{
    PluginRef copy;
    copy.occupied = slot.occupied;
    copy.name = slot.name;
    copy.vendor = slot.vendor;
    copy.format = slot.format;
    copy.classId = slot.classId;
    copy.descriptionXml = slot.descriptionXml;
    copy.file = slot.file;
    copy.uniqueId = slot.uniqueId;
    copy.deprecatedUid = slot.deprecatedUid;
    copy.auType = slot.auType;
    copy.auSubtype = slot.auSubtype;
    copy.auManufacturer = slot.auManufacturer;
    copy.bypassed = slot.bypassed;
    copy.inactive = slot.inactive;
    copy.unavailable = slot.unavailable;
    copy.muted = slot.muted;
    copy.sidechainSource = slot.sidechainSource;
    copy.sidechainKind = slot.sidechainKind;
    copy.sidechainEnabled = slot.sidechainEnabled;
    copy.state.encoding = slot.state.encoding;
    copy.state.opaqueStatePending = slot.state.opaqueStatePending;
    // Copy-constructed: assigning an empty block hands memcpy a null pointer.
    if (audioUnit)
        copy.state.raw = juce::MemoryBlock (slot.state.raw);
    else
    {
        copy.state.component = juce::MemoryBlock (slot.state.component);
        copy.state.controller = juce::MemoryBlock (slot.state.controller);
    }
    copy.coverage = slot.coverage;
    copy.pendingSidechainReason = slot.pendingSidechainReason;
    copy.pendingStateReason = slot.pendingStateReason;
    return copy;
}

FirstMismatches::FirstMismatches (const RackSemanticComparison& comparison)
{
    for (const auto& mismatch : comparison.mismatches)
        byPath.emplace (mismatch.path, &mismatch);
}

const RackSemanticMismatch* FirstMismatches::at (const juce::String& path) const
{
    const auto found = byPath.find (path);
    return found != byPath.end() ? found->second : nullptr;
}

juce::String refusalNaming (const juce::String& message, const RackSemanticMismatch& first)
{
    return message + ": " + first.text();
}

} // namespace vornconv::rapp
