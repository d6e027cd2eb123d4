// The verified-write pipeline (its states and invariants are described in the header): the
// proof of a read-back, the write itself, the same steps without an output for a plan, and the
// helpers writers build their expected sessions and refusals with.

#include "writers/VerifiedWrite.h"

#include "model/AtomicFileCommit.h"
#include "model/TestHooks.h"
#include "writers/ConversionLedger.h"

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

// The document a proof without an output writes: in memory, as the write would write it.
struct DocumentInMemory
{
    juce::MemoryOutputStream bytes;

    std::string_view view() const { return { static_cast<const char*> (bytes.getData()), bytes.getDataSize() }; }
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
        ledger = balanceLedger (*terms.carried, readBack.session, *terms.target);
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
    if (readers.bytes != nullptr)
        steps.readBackBytes = [read = readers.bytes] (std::string_view bytes) { return read (juce::File(), bytes); };
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
        outcome.error = "could not create output directory" + systemReason (errno);
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

    // A document that is a file of its own is proven where it was made, before it is copied.
    const bool ownFile = steps.documentFile != nullptr;
    if (ownFile)
    {
        auto proof = proveReadBack (steps.readBack (steps.documentFile()), steps.proof, steps.ledger);
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
        auto proof = proveReadBack (steps.readBack (temporary.pathThroughHandle()), steps.proof, steps.ledger);
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

    // Any other document is written as the write writes it, into memory, and released as the
    // write releases it; its bytes go once they are read.
    auto document = std::make_unique<DocumentInMemory>();
    if (! steps.writeDocument (document->bytes))
    {
        refused.refusal = steps.writeFailed;
        return refused;
    }
    if (steps.documentWritten)
        steps.documentWritten();
    auto readBack = steps.readBackBytes (document->view());
    document.reset();
    return proveReadBack (std::move (readBack), steps.proof, steps.ledger);
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
