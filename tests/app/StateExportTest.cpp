#include "RackBuilders.h"
#include "SceneFixture.h"
#include "TestSupport.h"

#include "app/StateExport.h"
#include "model/TestHooks.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

using namespace vornconv;
using vorntest::bytesOf;
using vorntest::stripWith;

namespace
{

PluginRef slotWith (const juce::String& name, const char* component, const char* controller)
{
    auto p = vorntest::plugin ("VST3", name);
    p.state = vorntest::vst3State (PluginStateEncoding::none, component, controller);
    return p;
}

juce::StringArray listing (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*", juce::File::FollowSymlinks::no))
        names.add (f.getRelativePathFrom (folder));
    names.sort (false);
    return names;
}

TEST (StateExport, WritesEveryStateByteExact)
{
    vorntest::TempFolder tmp;
    RackSession session;
    session.strips.add (stripWith (3, { PluginRef(), slotWith ("Comp/EQ?", "abc", "") }));
    session.strips.add (stripWith (7, { slotWith ("~evil", "c1", "k1"), slotWith ("..", "c2", "") }));
    const auto target = tmp.file ("deep/er/out");
    const auto exported = app::exportStates (session, target);
    ASSERT_TRUE (exported.ok()) << exported.message();
    EXPECT_EQ (listing (tmp.folder), juce::StringArray ({ "deep", "deep/er", "deep/er/out", "deep/er/out/..__7-1.comp",
                                                          "deep/er/out/CompEQ__3-1.comp", "deep/er/out/~evil__7-0.comp",
                                                          "deep/er/out/~evil__7-0.cont" }));
    EXPECT_EQ (target.getChildFile ("CompEQ__3-1.comp").loadFileAsString(), "abc");
    EXPECT_EQ (target.getChildFile ("./~evil__7-0.cont").loadFileAsString(), "k1");
}

TEST (StateExport, RefusesBeforeWritingAnything)
{
    vorntest::TempFolder tmp;
    auto auOnlyRaw = slotWith ("AU", "", "");
    auOnlyRaw.state.raw = bytesOf ("plist");
    struct Case { RackSession session; bool existingFile; juce::String error; };
    RackSession partial, existing, duplicate;
    partial.strips.add (stripWith (0, { slotWith ("A", "a", "") }));
    partial.strips.add (stripWith (2, { PluginRef(), PluginRef(), auOnlyRaw }));
    existing.strips.add (stripWith (0, { slotWith ("A", "a", "") }));
    duplicate.strips.add (stripWith (5, { slotWith ("Same", "a", "") }));
    duplicate.strips.add (stripWith (5, { slotWith ("Same", "b", "") }));
    const auto out = tmp.file ("out");
    const Case cases[] = {
        { partial, false, "refusing partial state export at strip 2, slot 2 (AU): its VST3 state could not be split into component and controller parts" },
        { existing, true, "--export-states: refusing to replace existing state export: " + out.getChildFile ("A__0-0.comp").getFullPathName() },
        { duplicate, false, "duplicate state export target: " + out.getChildFile ("Same__5-0.comp").getFullPathName() },
    };
    for (const auto& c : cases)
    {
        if (c.existingFile)
        {
            ASSERT_TRUE (out.createDirectory());
            ASSERT_TRUE (out.getChildFile ("A__0-0.comp").replaceWithText ("old"));
        }
        const auto refused = app::exportStates (c.session, out);
        EXPECT_FALSE (refused.ok());
        EXPECT_EQ (refused.message(), c.error);
        if (c.existingFile)
        {
            EXPECT_EQ (listing (out), juce::StringArray ({ "A__0-0.comp" }));
            EXPECT_EQ (out.getChildFile ("A__0-0.comp").loadFileAsString(), "old");
            out.deleteRecursively();
        }
        EXPECT_FALSE (out.exists()) << c.error;
    }
}

// A slot without a component state is named with the reason its state cannot be split, from
// what the slot holds.
TEST (StateExport, RefusalNamesThePluginAndWhyItsStateDoesNotSplit)
{
    vorntest::TempFolder tmp;
    auto withRaw = [] (PluginRef slot, PluginStateEncoding encoding) {
        slot.state.encoding = encoding;
        slot.state.raw = bytesOf ("state");
        return slot;
    };
    auto pending = withRaw (vorntest::plugin ("VST3", "Pro-Q 3"), PluginStateEncoding::opaque);
    pending.pendingStateReason = "missing active plugin preset row";
    struct Case { PluginRef slot; juce::String error; };
    const juce::String at = "refusing partial state export at strip 4, slot 1 ";
    const Case cases[] = {
        { withRaw (vorntest::plugin ("VST", "ReaComp"), PluginStateEncoding::hostSpecific),
          at + "(ReaComp): its VST2 state is one block, not the component and controller parts an export writes" },
        { withRaw (vorntest::plugin ("VSTi", "Synth"), PluginStateEncoding::opaque),
          at + "(Synth): its VST2 state is one block, not the component and controller parts an export writes" },
        { withRaw (vorntest::plugin ("JS", "volume"), PluginStateEncoding::hostSpecific),
          at + "(volume): its JS state is one block, not the component and controller parts an export writes" },
        { withRaw (vorntest::plugin ("AU", "AUDelay"), PluginStateEncoding::audioUnitPlist),
          at + "(AUDelay): its AudioUnit state is one property list, not the component and controller parts an export writes" },
        { withRaw (vorntest::plugin ("AudioUnit", "AUDelay"), PluginStateEncoding::opaque),
          at + "(AUDelay): its AudioUnit state is one property list, not the component and controller parts an export writes" },
        { pending, at + "(Pro-Q 3): its VST3 state could not be split into component and controller parts (missing active plugin preset row)" },
        { vorntest::plugin ("VST3", "Empty"), at + "(Empty): it carries no saved state" },
        { withRaw (vorntest::plugin ("", ""), PluginStateEncoding::opaque),
          at + "(unnamed plug-in): its format is unknown, so its state has no component and controller parts" },
    };
    for (const auto& c : cases)
    {
        RackSession session;
        session.strips.add (stripWith (4, { slotWith ("Fine", "a", "b"), c.slot }));
        const auto refused = app::exportStates (session, tmp.file ("out"));
        EXPECT_FALSE (refused.ok());
        EXPECT_EQ (refused.message(), c.error);
        EXPECT_FALSE (tmp.file ("out").exists()) << c.error;
    }
}

TEST (StateExport, EmptySessionMakesTheFolderOnly)
{
    vorntest::TempFolder tmp;
    RackSession session;
    session.strips.add (stripWith (0, { PluginRef() }));
    const auto exported = app::exportStates (session, tmp.file ("a/b"));
    ASSERT_TRUE (exported.ok()) << exported.message();
    EXPECT_EQ (listing (tmp.folder), juce::StringArray ({ "a", "a/b" }));

    ASSERT_TRUE (tmp.file ("file").replaceWithText ("x"));
    const auto refused = app::exportStates (session, tmp.file ("file"));
    EXPECT_FALSE (refused.ok());
    EXPECT_EQ (refused.message(), "--export-states: could not create state export directory " + tmp.file ("file").getFullPathName() + ": Not a directory ("
                          + tmp.file ("file").getFullPathName() + " is a file, not a folder)");
}

TEST (StateExport, AFailedWriteLeavesNothingBehind)
{
    vorntest::TempFolder tmp;
    // The second name is too long for the file system.
    RackSession session;
    session.strips.add (stripWith (0, { slotWith ("Fine", "a", "b"),
                                        slotWith (juce::String::repeatedString (juce::String::fromUTF8 ("가"), 120), "c", "") }));
    const auto refused = app::exportStates (session, tmp.file ("new/out"));
    EXPECT_FALSE (refused.ok());
    EXPECT_EQ (refused.message(), "--export-states: could not write temporary state export: File name too long (in " + tmp.file ("new/out").getFullPathName()
                          + ")");
    EXPECT_EQ (listing (tmp.folder), juce::StringArray());

    // Into a folder that exists already: the folder stays, and stays empty.
    ASSERT_TRUE (tmp.file ("kept").createDirectory());
    EXPECT_FALSE (app::exportStates (session, tmp.file ("kept")).ok());
    EXPECT_EQ (listing (tmp.folder), juce::StringArray ({ "kept" }));
}

// Control characters go the way the characters a file name cannot hold go.
TEST (StateExport, NamesLoseControlCharacters)
{
    vorntest::TempFolder tmp;
    const auto controls = juce::String ("a\tb\nc\x7f") + juce::String::charToString (0x85) + juce::String ("d\r");
    RackSession session;
    session.strips.add (stripWith (0, { slotWith (controls, "c", "") }));
    const auto exported = app::exportStates (session, tmp.file ("out"));
    ASSERT_TRUE (exported.ok()) << exported.message();
    EXPECT_EQ (listing (tmp.file ("out")), juce::StringArray ("abcd__0-0.comp"));
}

// A final name that fits the folder (250 bytes) is written, although its temporary's name would
// not fit whole.
TEST (StateExport, LongNamesThatFitAreWritten)
{
    vorntest::TempFolder tmp;
    const auto korean = juce::String::repeatedString (juce::String::fromUTF8 ("가"), 80);
    RackSession session;
    session.strips.add (stripWith (0, { PluginRef(), slotWith (korean, "long", "longer") }));
    const auto exported = app::exportStates (session, tmp.file ("out"));
    ASSERT_TRUE (exported.ok()) << exported.message();
    const auto longName = korean + "__0-1.comp";
    ASSERT_EQ (longName.getNumBytesAsUTF8(), (size_t) 250);
    EXPECT_EQ (listing (tmp.file ("out")), juce::StringArray (longName, korean + "__0-1.cont"));
    EXPECT_EQ (tmp.file ("out").getChildFile (longName).loadFileAsString(), "long");
}

} // namespace

namespace
{

// Where an interruption falls: after the count-th event of this kind in the export's folder
// (IN_CREATE: a temporary file made; IN_MOVED_TO: a file put under its final name).
struct InterruptPoint
{
    uint32_t event;
    int count;
};

struct InterruptedRun
{
    vorntest::ProcessResult result;
    bool stopped = false;     // the point was reached before the export ended
    int finalNamesAtStop = 0; // files under their final names when the run was stopped
};

// Runs the export of many.ksn into out/states, stops the program (SIGSTOP) at the point, counts
// what stands in the folder, and then interrupts it (SIGTERM, delivered on SIGCONT). A run that
// ends before the point is simply left to end.
InterruptedRun interruptExport (const vorntest::ProgramSandbox& box, const InterruptPoint& point)
{
    InterruptedRun run;
    const auto out = box.work.getChildFile ("out");
    const auto states = out.getChildFile ("states");
    const int events = inotify_init1 (IN_CLOEXEC);
    const int outWatch = inotify_add_watch (events, out.getFullPathName().toRawUTF8(), IN_CREATE | IN_ONLYDIR);
    if (events < 0 || outWatch < 0)
    {
        ADD_FAILURE() << "inotify";
        return run;
    }
    auto running = box.start ({ "--export-states", "out/states", "many.ksn" });
    int statesWatch = -1;
    int seen = 0;
    std::string printed; // the dump comes first and must be drained, or the program blocks on it
    for (bool open = true; open && ! run.stopped;)
    {
        pollfd fds[2] = { { events, POLLIN, 0 }, { running.outFd, POLLIN, 0 } };
        if (poll (fds, 2, vorntest::hangSilenceMs) <= 0)
            break;
        if (fds[0].revents != 0)
        {
            alignas (inotify_event) char buffer[65536];
            const auto n = read (events, buffer, sizeof (buffer));
            for (auto* p = buffer; n > 0 && p < buffer + n && ! run.stopped;)
            {
                const auto* e = reinterpret_cast<const inotify_event*> (p);
                if (e->wd == outWatch && e->len > 0 && std::string (e->name) == "states")
                    statesWatch = inotify_add_watch (events, states.getFullPathName().toRawUTF8(), IN_CREATE | IN_MOVED_TO);
                else if (e->wd == statesWatch && (e->mask & point.event) != 0 && ++seen >= point.count)
                {
                    kill (running.pid, SIGSTOP);
                    run.stopped = true;
                }
                p += sizeof (inotify_event) + e->len;
            }
        }
        if (! run.stopped && fds[1].revents != 0)
        {
            char buffer[65536];
            const auto n = read (running.outFd, buffer, sizeof (buffer));
            if (n > 0)
                printed.append (buffer, (size_t) n);
            else
                open = false; // the program has ended
        }
    }
    close (events);
    if (run.stopped)
    {
        for (const auto& f : states.findChildFiles (juce::File::findFiles, false, "*"))
            if (! f.getFileName().contains (".tmp-"))
                ++run.finalNamesAtStop;
        kill (running.pid, SIGTERM);
        kill (running.pid, SIGCONT);
    }
    run.result = vorntest::finishProgram (running, vorntest::hangSilenceMs);
    run.result.out = printed + run.result.out;
    return run;
}

} // namespace

// The listing of the session is out before its export, which may take long: a run interrupted
// while the export's files are put in place has said the listing.
TEST (StateExportInterrupts, TheListingIsSaidBeforeTheExport)
{
    if (! vornconv::testHooks::available)
        GTEST_SKIP() << "a build without test hooks";
    vorntest::ProgramSandbox box;
    vorntest::SceneShape shape;
    shape.occupiedStrips = 16;
    shape.slotsPerStrip = 8;
    const auto scene = box.write ("many.ksn", vorntest::convertibleScene (shape));
    const auto run = box.runStoppedAt ({ "--export-states", "states", "many.ksn" }, "commit:1", [] (pid_t) {}, true);
    EXPECT_EQ (run.exitCode, 1);
    const auto printed = run.outLines();
    ASSERT_GE (printed.size(), 5) << run.out;
    EXPECT_EQ (printed[2], "FILE    " + scene.getFullPathName());
    EXPECT_EQ (printed[3], "READ    complete");
    EXPECT_EQ (printed[printed.size() - 1], "ERROR   interrupted");
}

// An export interrupted anywhere, while its temporary files are written or while they are put
// under their final names, leaves nothing: no file (temporary or final) and not the folder it
// made. A run the signal reaches only after the last file is in place keeps the whole export.
TEST (StateExportInterrupts, AnInterruptedExportIsAllOrNothing)
{
    vorntest::ProgramSandbox box;
    vorntest::SceneShape shape;
    shape.occupiedStrips = 16;
    shape.slotsPerStrip = 8;
    box.write ("many.ksn", vorntest::convertibleScene (shape));
    ASSERT_TRUE (box.work.getChildFile ("out").createDirectory());
    const auto states = box.work.getChildFile ("out/states");
    constexpr int total = 256; // a component and a controller file per slot

    const InterruptPoint points[] = { { IN_CREATE, 1 }, { IN_CREATE, 200 }, { IN_MOVED_TO, 1 },
                                      { IN_MOVED_TO, 100 }, { IN_MOVED_TO, 250 } };
    // The points inside the renaming are met in time on any machine but a stalled one; a round
    // that met none of them is tried again.
    bool metARenaming = false;
    for (int round = 0; round < 5 && ! metARenaming; ++round)
    {
        for (const auto& point : points)
        {
            SCOPED_TRACE ((point.event == IN_CREATE ? "created " : "renamed ") + std::to_string (point.count));
            const auto run = interruptExport (box, point);
            metARenaming = metARenaming || (run.stopped && run.finalNamesAtStop > 0 && run.finalNamesAtStop < total);
            const auto lines = run.result.outLines();
            if (! states.exists())
            {
                EXPECT_TRUE (run.stopped);
                EXPECT_EQ (run.result.exitCode, 1);
                EXPECT_EQ (lines[lines.size() - 1], "ERROR   interrupted");
            }
            else
            {
                // Complete: every file under its final name, no temporary.
                const auto files = states.findChildFiles (juce::File::findFiles, false, "*");
                int temporaries = 0;
                for (const auto& f : files)
                    temporaries += f.getFileName().contains (".tmp-") ? 1 : 0;
                EXPECT_EQ (files.size(), total) << "stopped with " << run.finalNamesAtStop << " in place";
                EXPECT_EQ (temporaries, 0);
                // Said so, unless the signal came before it could be said.
                EXPECT_TRUE (lines.contains ("EXPORT  plugin states -> " + states.getFullPathName())
                             || (run.result.exitCode == 1 && lines[lines.size() - 1] == "ERROR   interrupted"))
                    << run.result.out;
            }
            EXPECT_EQ (run.result.err, "");
            EXPECT_EQ (box.tmpEntries(), 0);
            states.deleteRecursively();
        }
    }
    EXPECT_TRUE (metARenaming) << "no run was stopped while the files were being put in place";
}
