// The verified-write pipeline (its states and invariants are described in the header): the
// proof of a read-back, the write itself, the same steps without an output for a plan, and the
// helpers writers build their expected sessions and refusals with.

#include "writers/VerifiedWrite.h"

#include "model/AtomicFileCommit.h"
#include "model/PrivateFiles.h"
#include "model/TestHooks.h"
#include "writers/ConversionLedger.h"

#include <cstring>
#include <fcntl.h>
#include <utility>
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
// whatever ends the run). Only where no such file can be made there (a file system that cannot
// hold a file without a name, a temporary folder that is missing) does it live in memory instead,
// since a plan needs no temporary folder where its convert needs none.
int openAnonymousDocument()
{
    const int fd = ::open (temporaryRoot().getFullPathName().toRawUTF8(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    return ::memfd_create ("vornconv-document", MFD_CLOEXEC);
}

struct AnonymousDocument
{
    AnonymousDocument() : fd (openAnonymousDocument()) {}
    ~AnonymousDocument()
    {
        if (fd >= 0)
            ::close (fd);
    }
    AnonymousDocument (const AnonymousDocument&) = delete;
    AnonymousDocument& operator= (const AnonymousDocument&) = delete;

    const int fd;
};

// Writes through the descriptor: small pieces gathered, large ones as they come.
struct AnonymousDocumentStream final : juce::OutputStream
{
    explicit AnonymousDocumentStream (int descriptor) : fd (descriptor) {}
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
        if (! failed && ! writeAllBytes (fd, data, n))
        {
            failed = true;
            systemError = errno;
        }
    }

    static constexpr size_t pieceBytes = 1 << 20;
    const int fd;
    juce::HeapBlock<char> buffer { pieceBytes };
    size_t used = 0;
    juce::int64 position = 0;
    bool failed = false;
    int systemError = 0;
};

// The document's bytes, read back from its anonymous file with one byte more after them. A reader
// that works on them where they lie (readBackInPlace) gets them mapped privately: it may write
// into them without touching the file, nothing it only reads is copied, and they go as soon as
// it lets go of them. Any other reader holds them for its whole read, as it holds a file it reads:
// it gets them read into a block of their own, as the write's read-back gets its temporary file.
struct DocumentBytes
{
    DocumentBytes (int fd, bool inPlace)
    {
        struct stat info {};
        if (::fstat (fd, &info) != 0)
            return;
        const auto size = (size_t) info.st_size;
        if (inPlace)
        {
            if (::ftruncate (fd, info.st_size + 1) != 0)
                return;
            void* mapped = ::mmap (nullptr, size + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
            if (mapped == MAP_FAILED)
                return;
            mapping = static_cast<char*> (mapped);
            view = { mapping, size };
            return;
        }
        block.setSize (size + 1);
        for (size_t done = 0; done < size;)
        {
            const auto n = ::pread (fd, static_cast<char*> (block.getData()) + done, size - done, (off_t) done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
            {
                if (n == 0)
                    errno = EIO;
                block.reset();
                return;
            }
            done += (size_t) n;
        }
        view = { static_cast<char*> (block.getData()), size };
    }
    ~DocumentBytes() { release(); }
    DocumentBytes (const DocumentBytes&) = delete;
    DocumentBytes& operator= (const DocumentBytes&) = delete;

    bool isValid() const { return view.first != nullptr; }

    void release()
    {
        if (mapping != nullptr)
            ::munmap (mapping, view.second + 1);
        mapping = nullptr;
        block.reset();
    }

    char* mapping = nullptr;
    juce::MemoryBlock block;
    std::pair<char*, size_t> view { nullptr, 0 };
};

} // namespace

ProofOutcome proveReadBack (RackReadResult readBack, const ReadBackProof& proof, const LedgerTerms& terms)
{
    ProofOutcome outcome;
    outcome.refusal = proof.accept (readBack);
    if (outcome.refusal.isNotEmpty())
        return outcome;
    // The ledger reads the read-back as the reader gave it: nothing of its states is released yet.
    NoteList ledger;
    if (terms.carried != nullptr && terms.target != nullptr)
        ledger = balanceLedger (*terms.carried, readBack.session, *terms.target, terms.outputName);
    releaseUncomparedStates (readBack.session);
    auto document = std::make_shared<ProvenDocument>();
    if (! proof.expected (document->expected, outcome.refusal))
        return outcome;
    document->readBack = std::move (readBack);
    const auto& expected = document->expected;
    const auto& read = document->readBack;
    auto comparison = compareRackSemantics (expected, read.session);
    if (proof.ownChecks)
        proof.ownChecks (expected, read, comparison.mismatches);
    if (! comparison.isExact())
        outcome.refusal = proof.refusal (expected, read.session, comparison);
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

void readBackWith (VerifiedOutput& steps, const HostDescriptor& host)
{
    const auto& readers = readersOf (host);
    steps.ledger.target = &host;
    steps.readBack = readers.file;
    steps.readBackBytes = nullptr;
    steps.readBackInPlace = readers.document != nullptr;
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
    HeldFolder folder;
    if (! openHeldFolder (output.getParentDirectory(), true, "output folder", folder))
    {
        const int code = errno;
        outcome.error = "could not create output directory" + heldFolderFailure (output.getParentDirectory(), code);
        return outcome;
    }
    const auto name = output.getFileName();
    if (folder.holds (name))
    {
        outcome.error = "refusing to replace existing output: " + output.getFullPathName();
        return outcome;
    }
    HeldFile temporary;
    const auto refuse = [&outcome] (const juce::String& message)
    {
        outcome.error = message;
        return outcome;
    };

    juce::String error;
    if (steps.prepare && ! steps.prepare (error))
        return refuse (error);

    // The ledger names what the output holds by the output's name, not the temporary's.
    auto ledger = steps.ledger;
    ledger.outputName = output.getFileNameWithoutExtension();

    // A document that is a file of its own is proven where it was made, before it is copied.
    const bool ownFile = steps.documentFile != nullptr;
    if (ownFile)
    {
        auto proof = proveReadBack (steps.readBack (steps.documentFile()), steps.proof, ledger);
        outcome.compared = std::move (proof.compared);
        if (proof.refusal.isNotEmpty())
            return refuse (proof.refusal);
    }
    if (! makeTemporaryIn (folder, name, temporary) || ! writeThroughDescriptor (temporary, steps.writeDocument))
        return refuse (steps.writeFailed + systemReason (errno));
    if (steps.documentWritten)
        steps.documentWritten();
    if (! ownFile)
    {
        testHooks::stopPoint ("read-back");
        auto proof = proveReadBack (steps.readBack (temporary.pathThroughHandle()), steps.proof, ledger);
        outcome.compared = std::move (proof.compared);
        if (proof.refusal.isNotEmpty())
            return refuse (proof.refusal);
    }
    outcome.proven = true;

    if (! commitNewFileExclusive (folder, temporary, name, error))
        return refuse (steps.commitFailed + error);
    folder.keep();
    outcome.committed = true;
    return outcome;
}

ProofOutcome proveVerifiedDocument (const VerifiedOutput& steps)
{
    ProofOutcome refused;
    if (steps.prepare && ! steps.prepare (refused.refusal))
        return refused;

    // A document that is a file of its own is proven where it was made, as the write proves it.
    if (steps.documentFile != nullptr)
        return proveReadBack (steps.readBack (steps.documentFile()), steps.proof, steps.ledger);

    // Any other document is written as the write writes it, into a file (an anonymous one: a
    // proof claims no name), released as the write releases it, and then read back whole where
    // it lies, as the write reads back its temporary file.
    RackReadResult readBack;
    {
        const AnonymousDocument document;
        if (document.fd < 0)
        {
            refused.refusal = steps.writeFailed + systemReason (errno);
            return refused;
        }
        {
            AnonymousDocumentStream out (document.fd);
            const bool written = steps.writeDocument (out);
            out.flush();
            if (! written || out.failed)
            {
                refused.refusal = steps.writeFailed + systemReason (out.systemError);
                return refused;
            }
        } // its buffer goes before the document is read
        if (steps.documentWritten)
            steps.documentWritten();
        DocumentBytes bytes (document.fd, steps.readBackInPlace);
        if (! bytes.isValid())
        {
            refused.refusal = steps.writeFailed + systemReason (errno);
            return refused;
        }
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

// The plan's verdict for this writer, then the writer's own checks; false with the refusal.
bool admitted (const ConversionPlan& plan, const PlannedWrite& write, WriteResult& result)
{
    juce::String refusal;
    if (plan.target != write.target || ! plan.canWrite())
        refusal = write.blocked;
    else if (write.admit)
        refusal = write.admit (result);
    if (refusal.isEmpty())
        return true;
    refusedWith (result, refusal);
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
    if (proof.refusal.isNotEmpty())
        return refusedWith (result, proof.refusal);
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
    if (! outcome.proven)
        return refusedWith (result, outcome.error);
    if (! outcome.committed)
    {
        result.error = outcome.error;
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
