// The verified-write pipeline (its states and invariants are described in the header): the
// targets' readers, the proof of a read-back, the write itself, and the helpers writers build
// their expected sessions and refusals with.

#include "writers/VerifiedWrite.h"

#include "model/AtomicFileCommit.h"
#include "readers/LiveProfessorRack2Reader.h"
#include "readers/ReaperRppReader.h"
#include "readers/SuperRackSprkReader.h"
#include "readers/VornKsnReader.h"

namespace vornconv::rapp
{

namespace
{

RackReadResult readLiveProfessorBytes (const juce::File& name, std::string_view bytes)
{
    return readLiveProfessorRack2Bytes (bytes.data(), bytes.size(), name == juce::File() ? juce::String() : name.getFullPathName());
}

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

// Whatever leaves a write before its commit (a refusal, or an exception such as bad_alloc that
// unwinds through it) takes away what the write made for its output: the temporary file and the
// folders made for it.
struct AbandonUnlessCommitted
{
    explicit AbandonUnlessCommitted (PendingOutput& p) : pending (p) {}
    AbandonUnlessCommitted (const AbandonUnlessCommitted&) = delete;
    AbandonUnlessCommitted& operator= (const AbandonUnlessCommitted&) = delete;
    ~AbandonUnlessCommitted()
    {
        if (! committed)
            pending.abandon();
    }

    PendingOutput& pending;
    bool committed = false;
};

} // namespace

const TargetReaders& readersOf (Target target)
{
    static const TargetReaders scene { readVornKsn, nullptr };
    static const TargetReaders superRack { readSuperRackSprk, nullptr };
    static const TargetReaders liveProfessor { readLiveProfessorRack2, readLiveProfessorBytes };
    static const TargetReaders reaper { readReaperRpp, readReaperRppBytes };
    static const TargetReaders none;
    switch (target)
    {
        case targetVornScene: return scene;
        case targetSuperRackPerformer: return superRack;
        case targetLiveProfessor: return liveProfessor;
        case targetReaper: return reaper;
    }
    return none;
}

juce::String proveReadBack (RackReadResult readBack, const ReadBackProof& proof)
{
    auto refusal = proof.accept (readBack);
    if (refusal.isNotEmpty())
        return refusal;
    releaseUncomparedStates (readBack.session);
    RackSession expected;
    if (! proof.expected (expected, refusal))
        return refusal;
    auto comparison = compareRackSemantics (expected, readBack.session);
    if (proof.ownChecks)
        proof.ownChecks (expected, readBack, comparison.mismatches);
    return comparison.isExact() ? juce::String() : proof.refusal (expected, readBack.session, comparison);
}

VerifiedWriteOutcome writeVerifiedOutput (const juce::File& output, const VerifiedOutput& steps)
{
    VerifiedWriteOutcome outcome;
    PendingOutput pending;
    if (! beginNewOutput (output, pending, outcome.error))
        return outcome;
    // What this write made for the output is gone again on every way out but the commit.
    AbandonUnlessCommitted guard (pending);
    const auto abandon = [&] (const juce::String& message)
    {
        pending.abandon();
        outcome.error = message;
        return outcome;
    };

    juce::String error;
    if (steps.prepare && ! steps.prepare (error))
        return abandon (error);

    // A document that is a file of its own is proven where it was made, before it is copied.
    const bool ownFile = steps.documentFile != nullptr;
    if (ownFile)
    {
        error = proveReadBack (steps.readBack (steps.documentFile()), steps.proof);
        if (error.isNotEmpty())
            return abandon (error);
    }
    if (! writeNewFileExclusive (pending.temporary, pending.temporaryCreated, steps.writeDocument))
        return abandon (steps.writeFailed + systemReason (errno));
    if (steps.documentWritten)
        steps.documentWritten();
    if (! ownFile)
    {
        error = proveReadBack (steps.readBack (pending.temporary), steps.proof);
        if (error.isNotEmpty())
            return abandon (error);
    }
    outcome.proven = true;

    if (! commitNewFileExclusive (pending.temporary, output, error))
        return abandon (steps.commitFailed + error);
    guard.committed = outcome.committed = true;
    return outcome;
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
