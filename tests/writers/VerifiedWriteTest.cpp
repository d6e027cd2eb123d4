#include "writers/VerifiedWrite.h"

#include "TestSupport.h"

#include "writers/ReaperRppWriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace vornconv;
using namespace vornconv::rapp;

namespace
{

juce::StringArray namesIn (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*", juce::File::FollowSymlinks::no))
        names.add (f.getRelativePathFrom (folder));
    names.sort (false);
    return names;
}

RackSession oneStrip (const juce::String& name)
{
    RackSession session;
    RackStrip strip;
    strip.name = name;
    strip.coverage.name = true;
    session.strips.add (strip);
    return session;
}

RackReadResult kick()
{
    RackReadResult read;
    read.ok = true;
    read.status = readComplete;
    read.session = oneStrip ("Kick");
    return read;
}

// A write whose every step records itself: the document "DOC", a reader that looks at what it is
// given (a file, or bytes) and reads back a strip named "Kick", and a proof that expects a strip
// named "Kick".
struct RecordedWrite
{
    juce::StringArray steps;
    juce::File output;
    juce::File readFrom;
    juce::File readFromFolder; // the folder readFrom's folder resolves to at the read
    juce::String readBytes;
    bool outputExistedWhenRead = false;
    juce::StringArray besideOutputWhenRead;
    VerifiedOutput out;

    explicit RecordedWrite (const juce::File& target) : output (target)
    {
        out.prepare = [this] { steps.add ("prepare"); return success(); };
        out.writeDocument = [this] (juce::OutputStream& stream) { steps.add ("write"); return stream.writeText ("DOC", false, false, nullptr); };
        out.documentWritten = [this] { steps.add ("written"); };
        out.readBack = [this] (const juce::File& file)
        {
            steps.add ("read");
            readFrom = file;
            readFromFolder = file.getParentDirectory().getLinkedTarget();
            readBytes = file.loadFileAsString();
            outputExistedWhenRead = output.exists();
            besideOutputWhenRead = namesIn (output.getParentDirectory());
            return kick();
        };
        out.readBackBytes = [this] (char* bytes, size_t size, const std::function<void()>&)
        {
            steps.add ("read bytes");
            readBytes = juce::String (juce::CharPointer_UTF8 (bytes), size);
            return kick();
        };
        out.proof.accept = [this] (const RackReadResult&) { steps.add ("accept"); return success(); };
        out.proof.expected = [this]() -> Expected<RackSession>
        {
            steps.add ("expected");
            return oneStrip ("Kick");
        };
        out.proof.refusal = [this] (const RackSession&, const RackSession&, const RackSemanticComparison& comparison)
        {
            steps.add ("refusal");
            return "refused: " + comparison.summary();
        };
        out.writeFailed = "write failed";
        out.commitFailed = "commit failed: ";
    }
};

} // namespace

TEST (VerifiedWrite, ProvesTheTemporaryBesideTheOutputAndThenPublishesIt)
{
    vorntest::TempFolder folder;
    RecordedWrite write (folder.file ("new/deeper/show.x"));
    const auto outcome = writeVerifiedOutput (write.output, write.out);
    ASSERT_TRUE (outcome.committed.ok()) << outcome.committed.message();
    EXPECT_TRUE (outcome.proven);
    EXPECT_EQ (write.steps, juce::StringArray ({ "prepare", "write", "written", "read", "accept", "expected" }));

    // The read-back saw the temporary, beside the output and holding the document, while nothing
    // stood at the output.
    EXPECT_EQ (write.readFromFolder, write.output.getParentDirectory());
    EXPECT_TRUE (write.readFrom.getFileName().startsWith ("show.x.tmp-")) << write.readFrom.getFileName();
    EXPECT_EQ (write.readBytes, "DOC");
    EXPECT_FALSE (write.outputExistedWhenRead);
    EXPECT_EQ (write.besideOutputWhenRead, juce::StringArray (write.readFrom.getFileName()));

    EXPECT_EQ (write.output.loadFileAsString(), "DOC");
    EXPECT_EQ (namesIn (folder.folder), juce::StringArray ({ "new", "new/deeper", "new/deeper/show.x" }));
}

TEST (VerifiedWrite, EveryRefusalLeavesNothingBehind)
{
    struct Case
    {
        const char* label;
        std::function<void (RecordedWrite&)> change;
        juce::String error;        // the outcome's error ("<output>" stands for the output's path)
        juce::String lastStep;     // the last step that ran
        bool outputFault = false;  // the refusal is the output's place, not the writer's
    };
    const std::vector<Case> cases = {
        { "an output that exists", [] (RecordedWrite& w) { w.output.getParentDirectory().createDirectory(); w.output.replaceWithText ("keep"); },
          "refusing to replace existing output: <output>", "", true },
        { "an output that is a folder", [] (RecordedWrite& w) { w.output.createDirectory(); },
          "refusing to replace existing output: <output>", "", true },
        { "a refused preparation", [] (RecordedWrite& w) { w.out.prepare = [&w]() -> Expected<void> { w.steps.add ("prepare"); return failure ("no document"); }; },
          "no document", "prepare" },
        { "a failed write", [] (RecordedWrite& w) { w.out.writeDocument = [&w] (juce::OutputStream& s) { w.steps.add ("write"); s.writeText ("DO", false, false, nullptr); return false; }; },
          "write failed (in <output>)", "write", true },
        { "a refused read", [] (RecordedWrite& w) { w.out.proof.accept = [&w] (const RackReadResult&) -> Expected<void> { w.steps.add ("accept"); return failure ("not complete"); }; },
          "not complete", "accept" },
        { "an expected session that cannot be built", [] (RecordedWrite& w) { w.out.proof.expected = [&w]() -> Expected<RackSession> { w.steps.add ("expected"); return failure ("no mapping"); }; },
          "no mapping", "expected" },
        { "a read-back that differs", [] (RecordedWrite& w) { w.out.proof.expected = [&w]() -> Expected<RackSession> { w.steps.add ("expected"); return oneStrip ("Snare"); }; },
          "refused: 1 mismatch(es)\nstrip 0.name: Snare != Kick", "refusal" },
        { "a difference only the writer's own check sees", [] (RecordedWrite& w)
          {
              w.out.proof.ownChecks = [&w] (const RackSession&, const RackReadResult&, juce::Array<RackSemanticMismatch>& m)
              {
                  w.steps.add ("own");
                  m.add ({ "strip 0", "routing", "input 3", "input 4" });
              };
          },
          "refused: 1 mismatch(es)\nstrip 0.routing: input 3 != input 4", "refusal" },
        { "an output that appears before the commit", [] (RecordedWrite& w)
          {
              const auto read = w.out.readBack;
              w.out.readBack = [&w, read] (const juce::File& f) { auto r = read (f); w.output.replaceWithText ("raced"); return r; };
          },
          "commit failed: exclusive atomic rename failed: File exists: <output>", "expected", true },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        vorntest::TempFolder folder;
        RecordedWrite write (folder.file ("new/deeper/show.x"));
        c.change (write);
        const auto before = namesIn (folder.folder);
        const auto kept = write.output.existsAsFile() ? write.output.loadFileAsString() : juce::String();

        const auto outcome = writeVerifiedOutput (write.output, write.out);
        EXPECT_FALSE (outcome.committed.ok());
        EXPECT_EQ (outcome.committed.message(), c.error.replace ("<output>", write.output.getFullPathName()));
        EXPECT_EQ (outcome.outputFault, c.outputFault);
        EXPECT_EQ (write.steps.isEmpty() ? juce::String() : write.steps[write.steps.size() - 1], c.lastStep);
        EXPECT_EQ (outcome.proven, juce::String (c.label) == "an output that appears before the commit");
        if (juce::String (c.label) == "an output that appears before the commit")
        {
            EXPECT_EQ (write.output.loadFileAsString(), "raced");
            EXPECT_EQ (namesIn (folder.folder), juce::StringArray ({ "new", "new/deeper", "new/deeper/show.x" }));
        }
        else
        {
            // Only what stood there before: no temporary, none of the folders made for the output.
            EXPECT_EQ (namesIn (folder.folder), before);
            if (kept.isNotEmpty())
                EXPECT_EQ (write.output.loadFileAsString(), kept);
        }
    }
}

TEST (VerifiedWrite, ADocumentThatIsAFileOfItsOwnIsProvenBeforeItIsCopied)
{
    for (const bool accepted : { true, false })
    {
        SCOPED_TRACE (accepted ? "accepted" : "refused");
        vorntest::TempFolder folder;
        vorntest::TempFolder work;
        const auto document = work.file ("session.db");
        ASSERT_TRUE (document.replaceWithText ("DB"));
        RecordedWrite write (folder.file ("show.x"));
        write.out.documentFile = [document] { return document; };
        write.out.writeDocument = [&write, document] (juce::OutputStream& s)
        {
            write.steps.add ("write");
            return s.writeText (document.loadFileAsString(), false, false, nullptr);
        };
        if (! accepted)
            write.out.proof.accept = [] (const RackReadResult&) -> Expected<void> { return failure ("not complete"); };

        const auto outcome = writeVerifiedOutput (write.output, write.out);
        EXPECT_EQ (write.readFrom, document);
        EXPECT_TRUE (write.besideOutputWhenRead.isEmpty()) << "the temporary does not exist yet";
        EXPECT_EQ (outcome.committed.ok(), accepted) << outcome.committed.message();
        if (accepted)
        {
            EXPECT_EQ (write.steps, juce::StringArray ({ "prepare", "read", "accept", "expected", "write", "written" }));
            EXPECT_EQ (write.output.loadFileAsString(), "DB");
        }
        else
        {
            EXPECT_EQ (outcome.committed.message(), "not complete");
            EXPECT_EQ (write.steps, juce::StringArray ({ "prepare", "read" }));
            EXPECT_TRUE (namesIn (folder.folder).isEmpty());
        }
    }
}

// A plan runs the write's steps without an output: the document is written into memory and read
// back from there, or read where it was made when it is a file of its own; the proof is the
// write's, and nothing is claimed, created or left anywhere.
TEST (VerifiedWrite, TheProofWithoutAnOutputRunsTheWritesSteps)
{
    vorntest::TempFolder folder;
    vorntest::TempFolder work;
    const auto document = work.file ("session.db");
    ASSERT_TRUE (document.replaceWithText ("DB"));
    struct Case
    {
        const char* label;
        std::function<void (RecordedWrite&)> change;
        juce::String refusal;
        juce::StringArray steps;
    };
    const std::vector<Case> cases = {
        { "a proven document", [] (RecordedWrite&) {}, {},
          { "prepare", "write", "written", "read bytes", "accept", "expected" } },
        { "a document that is a file of its own", [document] (RecordedWrite& w) { w.out.documentFile = [document] { return document; }; }, {},
          { "prepare", "read", "accept", "expected" } },
        { "a refused preparation", [] (RecordedWrite& w) { w.out.prepare = [&w]() -> Expected<void> { w.steps.add ("prepare"); return failure ("no document"); }; },
          "no document", { "prepare" } },
        { "a failed write", [] (RecordedWrite& w) { w.out.writeDocument = [&w] (juce::OutputStream&) { w.steps.add ("write"); return false; }; },
          "write failed", { "prepare", "write" } },
        { "a refused read", [] (RecordedWrite& w) { w.out.proof.accept = [&w] (const RackReadResult&) -> Expected<void> { w.steps.add ("accept"); return failure ("not complete"); }; },
          "not complete", { "prepare", "write", "written", "read bytes", "accept" } },
        { "a read-back that differs", [] (RecordedWrite& w) { w.out.proof.expected = [&w]() -> Expected<RackSession> { w.steps.add ("expected"); return oneStrip ("Snare"); }; },
          "refused: 1 mismatch(es)\nstrip 0.name: Snare != Kick", { "prepare", "write", "written", "read bytes", "accept", "expected", "refusal" } },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        RecordedWrite write (folder.file ("new/show.x"));
        c.change (write);
        const auto proof = proveVerifiedDocument (write.out);
        EXPECT_EQ (proof.verdict.ok(), c.refusal.isEmpty());
        EXPECT_EQ (proof.verdict.message(), c.refusal);
        EXPECT_EQ (write.steps, c.steps);
        EXPECT_TRUE (namesIn (folder.folder).isEmpty());
        // What was compared reaches the caller, refused or not; nothing when the read was not compared.
        const bool compared = c.steps.contains ("expected");
        ASSERT_EQ (proof.compared != nullptr, compared);
        if (compared)
        {
            EXPECT_EQ (proof.compared->readBack.session.strips[0].name, "Kick");
            EXPECT_EQ (proof.compared->expected.strips[0].name, c.refusal.isEmpty() ? "Kick" : "Snare");
        }
        if (juce::String (c.label) == "a proven document")
            EXPECT_EQ (write.readBytes, "DOC");
        if (juce::String (c.label) == "a document that is a file of its own")
            EXPECT_EQ (write.readFrom, document);
    }
    EXPECT_EQ (document.loadFileAsString(), "DB");
}

// An exception that unwinds through a write (out of memory while the document is built, written,
// read back or proven) takes away what the write made for its output, as a refusal does: the
// temporary, complete or not, and the folders made for it. The exception itself goes on to the
// caller, which reports it.
TEST (VerifiedWrite, AnExceptionUnwindingThroughTheWriteLeavesNothingBehind)
{
    const auto outOfMemory = [] { throw std::bad_alloc(); };
    struct Case
    {
        const char* step;
        std::function<void (RecordedWrite&)> change;
    };
    const std::vector<Case> cases = {
        { "prepare", [&] (RecordedWrite& w) { w.out.prepare = [&]() -> Expected<void> { outOfMemory(); return success(); }; } },
        { "write", [&] (RecordedWrite& w)
          {
              // Past the stream's buffer, so that the temporary holds bytes when the write is abandoned.
              w.out.writeDocument = [&] (juce::OutputStream& s) -> bool
              {
                  s.writeRepeatedByte ('x', 200000);
                  outOfMemory();
                  return true;
              };
          } },
        { "written", [&] (RecordedWrite& w) { w.out.documentWritten = [&] { outOfMemory(); }; } },
        { "read", [&] (RecordedWrite& w)
          {
              w.out.readBack = [&w, &outOfMemory] (const juce::File& f) -> RackReadResult
              {
                  w.readFrom = f;
                  outOfMemory();
                  return {};
              };
          } },
        { "expected", [&] (RecordedWrite& w) { w.out.proof.expected = [&]() -> Expected<RackSession> { outOfMemory(); return RackSession(); }; } },
        { "own checks", [&] (RecordedWrite& w)
          {
              w.out.proof.ownChecks = [&] (const RackSession&, const RackReadResult&, juce::Array<RackSemanticMismatch>&) { outOfMemory(); };
          } },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.step);
        vorntest::TempFolder folder;
        RecordedWrite write (folder.file ("new/deeper/show.x"));
        c.change (write);
        EXPECT_THROW (writeVerifiedOutput (write.output, write.out), std::bad_alloc);
        EXPECT_EQ (namesIn (folder.folder), juce::StringArray());
        if (juce::String (c.step) == "read")
            EXPECT_TRUE (write.readFrom.getFileName().startsWith ("show.x.tmp-")) << "the temporary existed when the read began";
    }
}

// A temporary fits wherever its final name fits: beside an output whose name takes (nearly) all
// of the folder's limit, its name is cut short before the suffix, at a character boundary.
TEST (VerifiedWrite, ALongOutputNameIsWrittenThoughItsTemporaryIsCutShort)
{
    for (const auto& name : { juce::String::repeatedString ("x", 251) + ".k",
                              juce::String::repeatedString (juce::String::fromUTF8 ("가"), 83) + ".k", // 249 + 2 bytes
                              juce::String::repeatedString ("y", 253) + ".k" })
    {
        SCOPED_TRACE (name.getNumBytesAsUTF8());
        vorntest::TempFolder folder;
        RecordedWrite write (folder.file ("new/" + name));
        const auto outcome = writeVerifiedOutput (write.output, write.out);
        ASSERT_TRUE (outcome.committed.ok()) << outcome.committed.message();
        EXPECT_EQ (write.readFromFolder, write.output.getParentDirectory());
        EXPECT_LE (write.readFrom.getFileName().getNumBytesAsUTF8(), (size_t) 255);
        EXPECT_TRUE (write.readFrom.getFileName().contains (".tmp-"));
        EXPECT_EQ (write.output.loadFileAsString(), "DOC");
        EXPECT_EQ (namesIn (folder.folder), juce::StringArray ("new", "new/" + name));
    }

    // A final name the folder cannot hold is the system's refusal, and nothing is left.
    vorntest::TempFolder folder;
    RecordedWrite write (folder.file ("new/" + juce::String::repeatedString ("z", 256)));
    const auto outcome = writeVerifiedOutput (write.output, write.out);
    EXPECT_FALSE (outcome.committed.ok());
    EXPECT_EQ (outcome.committed.message(), "write failed: File name too long (in " + write.output.getFullPathName() + ")");
    EXPECT_TRUE (outcome.outputFault);
    EXPECT_EQ (namesIn (folder.folder), juce::StringArray());
}

// The ledger of a proof reads the read-back as its reader gave it, before the state bytes the
// comparison does not read are let go: an AudioUnit's component that the output holds as the
// source does is no difference, a plug-in's component that changed is one. The ledger comes with
// what was compared only when the proof holds.
TEST (VerifiedWrite, TheLedgerReadsTheWholeReadBackAndComesOnlyWithAProofThatHolds)
{
    const auto slot = [] (const char* format, const char* name, const char* component)
    {
        PluginRef p;
        p.occupied = true;
        p.format = format;
        p.name = name;
        p.state.component = juce::MemoryBlock (component, std::strlen (component));
        return p;
    };
    auto carried = oneStrip ("Kick");
    carried.strips.getReference (0).plugins.add (slot ("AU", "Satt", "AU-COMP"), slot ("VST3", "EQ", "A"));
    auto read = kick();
    read.session = carried;
    read.session.strips.getReference (0).plugins.getReference (1).state.component = juce::MemoryBlock ("B", 1);

    const auto proofExpecting = [] (const juce::String& name)
    {
        ReadBackProof proof;
        proof.accept = [] (const RackReadResult&) { return success(); };
        proof.expected = [name]() -> Expected<RackSession>
        {
            auto expected = oneStrip (name);
            PluginRef occupied;
            occupied.occupied = true;
            expected.strips.getReference (0).plugins.add (occupied, occupied);
            return expected;
        };
        proof.refusal = [] (const RackSession&, const RackSession&, const RackSemanticComparison& c) { return c.summary(); };
        return proof;
    };
    const LedgerTerms terms { &carried, &reaperRppOutput };

    const auto held = proveReadBack (read, proofExpecting ("Kick"), terms);
    ASSERT_TRUE (held.verdict.ok()) << held.verdict.message();
    ASSERT_NE (held.compared, nullptr);
    EXPECT_TRUE (held.compared->readBack.session.strips[0].plugins[0].state.component.isEmpty());   // let go of
    ASSERT_EQ (held.compared->ledger.size(), 1);
    EXPECT_EQ (held.compared->ledger[0].code, "ledger.slot.componentSha256");
    EXPECT_TRUE (held.compared->ledger[0].text.endsWith ("(first: strip 0, slot 1, EQ)")) << held.compared->ledger[0].text;

    const auto refused = proveReadBack (read, proofExpecting ("Snare"), terms);
    EXPECT_FALSE (refused.verdict.ok());
    EXPECT_TRUE (refused.verdict.message().isNotEmpty());
    ASSERT_NE (refused.compared, nullptr);
    EXPECT_TRUE (refused.compared->ledger.isEmpty());

    const auto withoutLedger = proveReadBack (read, proofExpecting ("Kick"));
    ASSERT_NE (withoutLedger.compared, nullptr);
    EXPECT_TRUE (withoutLedger.compared->ledger.isEmpty());
}

namespace
{

// A writer in the shell: the recorded steps, its own check (admit) and a note for a committed
// output; the steps add a note of a proven document as they prepare.
struct ShelledWrite
{
    explicit ShelledWrite (const juce::File& output) : recorded (output)
    {
        write.target = targetReaper;
        write.blocked = "RAPP preflight blocked REAPER output";
        write.admit = [this] (WriteResult&) -> Expected<void>
        {
            recorded.steps.add ("admit");
            if (admitRefusal.isNotEmpty())
                return failure (admitRefusal);
            return success();
        };
        write.steps = [this] (WriteResult& result)
        {
            auto steps = recorded.out;
            steps.prepare = [this, &result]
            {
                recorded.steps.add ("prepare");
                result.notes.add ("what the document left out");
                return success();
            };
            return steps;
        };
        write.committed = [] (WriteResult& result) { result.notes.add ("written"); };
    }

    RecordedWrite recorded;
    PlannedWrite write;
    juce::String admitRefusal;   // the writer's own refusal; none when empty
};

ConversionPlan planFor (Target target, bool blocked)
{
    ConversionPlan plan;
    plan.target = target;
    plan.issues.add ({ severityWarning, "target.hostLoad", "candidate" });
    if (blocked)
        plan.issues.add ({ severityBlocker, "target.io", "no I/O" });
    return plan;
}

} // namespace

// The check and the write take the caller's plan as their verdict: one that blocks, or one made
// for another host, is refused in the writer's words before its own checks and steps; a refusal
// carries none of the notes, a write that is proven but not committed keeps them, and only a
// committed one adds what says it is written.
TEST (VerifiedWrite, TheShellTakesThePlansVerdictFirst)
{
    vorntest::TempFolder folder;
    const juce::StringArray allSteps { "admit", "prepare", "write", "written", "read", "accept", "expected" };
    const juce::StringArray checkSteps { "admit", "prepare", "write", "written", "read bytes", "accept", "expected" };
    struct Case
    {
        const char* label;
        ConversionPlan plan;
        juce::String admitRefusal;
        juce::String refusal;
        juce::StringArray checkNotes, writeNotes;
    };
    const Case cases[] = {
        { "a plan that allows", planFor (targetReaper, false), {}, {}, { "what the document left out" },
          { "what the document left out", "written" } },
        { "a plan that blocks", planFor (targetReaper, true), {}, "RAPP preflight blocked REAPER output", {}, {} },
        { "a plan for another host", planFor (targetVornScene, false), {}, "RAPP preflight blocked REAPER output", {}, {} },
        { "the writer's own refusal", planFor (targetReaper, false), "REAPER template must contain one strictly decoded VST3 state",
          "REAPER template must contain one strictly decoded VST3 state", {}, {} },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        const auto output = folder.file ("show.rpp");
        ShelledWrite checking (output), writing (output);
        checking.admitRefusal = writing.admitRefusal = c.admitRefusal;
        const auto checked = checkPlannedWrite (c.plan, checking.write);
        const auto written = writePlannedOutput (c.plan, writing.write, output);
        const bool allowed = c.refusal.isEmpty();
        EXPECT_EQ (checked.ok, allowed);
        EXPECT_EQ (written.ok, allowed);
        EXPECT_EQ (checked.error, c.refusal);
        EXPECT_EQ (written.error, c.refusal);
        EXPECT_EQ (checked.notes, c.checkNotes);
        EXPECT_EQ (written.notes, c.writeNotes);
        // A refused plan stops everything; the writer's own refusal stops it after its checks.
        const auto ran = [&] (const juce::StringArray& all) { return allowed ? all : c.admitRefusal.isNotEmpty() ? juce::StringArray ("admit") : juce::StringArray(); };
        EXPECT_EQ (checking.recorded.steps, ran (checkSteps));
        EXPECT_EQ (writing.recorded.steps, ran (allSteps));
        EXPECT_EQ (output.existsAsFile(), allowed);
        output.deleteFile();
    }

    // A proven document whose commit fails keeps the notes of what it left out beside the error.
    const auto taken = folder.file ("taken.rpp");
    ShelledWrite write (taken);
    const auto plan = planFor (targetReaper, false);
    write.write.steps = [&write, &taken] (WriteResult& result)
    {
        auto steps = write.recorded.out;
        steps.prepare = [&result] { result.notes.add ("what the document left out"); return success(); };
        // Something takes the output while the document is proven.
        steps.proof.accept = [&taken] (const RackReadResult&) { taken.replaceWithText ("theirs"); return success(); };
        return steps;
    };
    const auto late = writePlannedOutput (plan, write.write, taken);
    EXPECT_FALSE (late.ok);
    EXPECT_TRUE (late.error.startsWith ("commit failed: ")) << late.error;
    EXPECT_EQ (late.notes, juce::StringArray ("what the document left out"));
    EXPECT_EQ (taken.loadFileAsString(), "theirs");
}

// A document proven without an output reaches its reader whole, written in pieces of every size.
TEST (VerifiedWrite, TheProofWithoutAnOutputHandsTheWholeDocumentToItsReader)
{
    vorntest::TempFolder folder;
    RecordedWrite write (folder.file ("show.x"));
    juce::MemoryBlock meant;
    juce::Random random (7);
    for (int piece = 0; piece < 60; ++piece)
    {
        juce::MemoryBlock bytes ((size_t) random.nextInt (9000));
        random.fillBitsRandomly (bytes.getData(), bytes.getSize());
        meant.append (bytes.getData(), bytes.getSize());
    }
    // One piece larger than anything gathered before it is written.
    const size_t large = (3 << 20) / 2;
    juce::MemoryBlock pattern (large);
    for (size_t i = 0; i < large; ++i)
        static_cast<char*> (pattern.getData())[i] = (char) (i * 31 + (i >> 12));
    const auto smallPart = meant.getSize();
    meant.append (pattern.getData(), pattern.getSize());
    meant.append ("end", 3);
    write.out.writeDocument = [&meant, smallPart, large] (juce::OutputStream& out)
    {
        // In pieces of every size, one of none.
        const auto* bytes = static_cast<const char*> (meant.getData());
        size_t done = 0;
        for (size_t n = 0; done < smallPart; n = (n * 7 + 13) % 70000)
        {
            const auto size = juce::jmin (n, smallPart - done);
            if (! out.write (bytes + done, size))
                return false;
            done += size;
        }
        return out.write (bytes + done, large) && out.write (bytes + done + large, 3);
    };
    // Read into a block of the proof's own: the same bytes, the byte after them the reader's to
    // write, and the reader may let them go at once.
    juce::MemoryBlock read;
    write.out.readBackBytes = [&read] (char* bytes, size_t size, const std::function<void()>& release)
    {
        bytes[size] = 0;
        bytes[0] ^= 1;
        bytes[0] ^= 1;
        read = juce::MemoryBlock (bytes, size);
        release();
        release();
        return kick();
    };
    const auto proof = proveVerifiedDocument (write.out);
    EXPECT_TRUE (proof.verdict.ok()) << proof.verdict.message();
    EXPECT_EQ (read.getSize(), meant.getSize());
    EXPECT_TRUE (read == meant);
}
