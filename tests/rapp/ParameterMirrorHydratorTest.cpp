#include "RackBuilders.h"
#include "TestSupport.h"

#include "model/ParameterSnapshot.h"
#include "rapp/ParameterMirrorHydrator.h"

#include <gtest/gtest.h>

#include <juce_cryptography/juce_cryptography.h>

#include <chrono>

#include <sys/stat.h>

using namespace vornconv;
using namespace vornconv::rapp;

namespace
{

const char* const cidA = "0123456789ABCDEF0123456789ABCDEF";
const juce::int64 bundleTime = 1700000000000;

// The fake probe decides by the component state it is given (its third argument):
//   fail, hang, crash, quiet-crash, garbage, silent, noisy, big, flaky, conc*, and anything else
//   answers well.
// Every start is logged, one line of arguments each, and the folder it runs in.
const char* const probeBody = R"(#!/bin/sh
echo "$@" >> "$D/probe.log"
pwd >> "$D/probe.cwd"
mode=$(cat "$3")
good() { printf 'noise before\r\nP\t1\t1\nVNPM\t2\nP\t0\t0.25\n'; }
case "$mode" in
  fail) echo 'first line' >&2; echo 'boom  ' >&2; exit 1 ;;
  hang) sleep 30 ;;
  crash) good; kill -SEGV $$ ;;
  quiet-crash) kill -KILL $$ ;;
  garbage) printf 'VNPM\t2\nP\t0\t0.5\n' ;;
  silent) printf ' \n\n' ;;
  noisy) printf 'bad\033[31m\001news\n'; exit 2 ;;
  big) awk 'BEGIN { print "VNPM\t200000"; for (i = 0; i < 200000; i++) printf "P\t%d\t0.5\n", i }' ;;
  flaky) if [ -e "$D/flaky.seen" ]; then good; else touch "$D/flaky.seen"; echo transient; exit 1; fi ;;
  conc*) mkdir "$D/running.$$"; ls -d "$D"/running.* | wc -l >> "$D/concurrency"; sleep 0.3; rmdir "$D/running.$$"; good ;;
  *) good ;;
esac
)";

juce::MemoryBlock bytes (const juce::String& text) { return juce::MemoryBlock (text.toRawUTF8(), text.getNumBytesAsUTF8()); }

PluginRef vst3Slot (const juce::String& component, const juce::String& name = "Fake EQ", const juce::String& cid = cidA)
{
    auto slot = vorntest::vst3Slot (cid.toLowerCase(), name, "Acme"); // class ids are matched without regard to case
    slot.state.component = bytes (component);
    return slot;
}

PluginRef auSlot()
{
    auto slot = vorntest::plugin ("AU", "Au Comp");
    slot.state.raw = bytes ("plist");
    return slot;
}

RackReadResult session (const std::vector<std::vector<PluginRef>>& strips)
{
    return vorntest::completeRead ({}, vorntest::stripsOf (strips));
}

juce::String hex (const juce::MemoryBlock& block) { return juce::String::toHexString (block.getData(), (int) block.getSize(), 0); }

// One folder per test, and a private temporary folder of the process while the test runs.
struct MirrorSandbox
{
    vorntest::TempFolder root;
    vorntest::PrivateTmp privateTmp;
    juce::File tmp = privateTmp.tmp.folder;
    juce::File cache = root.file ("cache");
    juce::File bundle = root.file ("Fake.vst3");
    juce::File probe = root.file ("probe.sh");
    juce::File log = root.file ("probe.log");
    Vst3ModuleIndex index;

    MirrorSandbox()
    {
        bundle.createDirectory();
        bundle.setLastModificationTime (juce::Time (bundleTime));
        probe.replaceWithText (juce::String (probeBody).replace ("$D", root.folder.getFullPathName()), false, false, "\n");
        probe.setExecutePermission (true);
        Vst3ModuleEntry entry;
        entry.classId = cidA;
        entry.name = "Fake EQ";
        entry.vendor = "Acme";
        entry.version = "1.0.0";
        entry.bundle = bundle;
        entry.available = true;
        index.addOrReplace (entry);
    }

    bool tmpIsEmpty() const { return privateTmp.entries() == 0; }

    juce::StringArray logLines() const
    {
        juce::StringArray lines;
        lines.addLines (log.loadFileAsString());
        lines.removeEmptyStrings();
        return lines;
    }

    juce::String hydrate (RackReadResult& result, ParameterMirrorHydrationStats& stats, int timeoutMs = 20000) const
    {
        juce::String error;
        const bool ok = hydrateParameterMirrors (result, index, probe, cache, stats, error, timeoutMs);
        return ok ? juce::String ("ok") : error;
    }

    juce::String prepare (const RackReadResult& result, ParameterMirrorPreparationReport& report, int timeoutMs = 20000) const
    {
        juce::String error;
        const bool ok = prepareParameterMirrorsBestEffort (result, index, probe, cache, report, error, timeoutMs);
        return ok ? juce::String ("ok") : error;
    }
};

// The module binary as the key sees it: size -1 and time 0 when there is none.
struct BinaryStamp
{
    juce::int64 size = -1;
    juce::int64 nanos = 0;
};

// The key worked out from the layout by hand: four zero-terminated texts, then little-endian
// 64-bit numbers: the bundle's time, the module binary (a count of one, its path, size and time
// in nanoseconds) and the state bytes.
juce::String expectedKey (const juce::File& bundle, juce::int64 time, const std::string& component, const std::string& controller,
                          BinaryStamp binary = {})
{
    std::string stream;
    const auto text = [&stream] (const std::string& t)
    {
        stream += t;
        stream.push_back ('\0');
    };
    for (const auto& t : { std::string ("vorn-parameter-mirror-v2-float-max-digits10"), std::string (cidA),
                           std::string ("1.0.0"), bundle.getFullPathName().toStdString() })
        text (t);
    const auto number = [&stream] (juce::int64 v)
    {
        for (int i = 0; i < 8; ++i)
            stream.push_back ((char) (((juce::uint64) v >> (8 * i)) & 0xFF));
    };
    number (time);
    number (1);
    text (vorntest::moduleBinaryOf (bundle).getFullPathName().toStdString());
    number (binary.size);
    number (binary.nanos);
    number ((juce::int64) component.size());
    stream += component;
    number ((juce::int64) controller.size());
    stream += controller;
    return juce::SHA256 (stream.data(), stream.size()).toHexString();
}

} // namespace

TEST (ParameterProbeText, ParsesAndRefuses)
{
    const juce::String count = "VNPM parameter row count does not match the header";
    const juce::String header = "malformed or duplicate VNPM header";
    const juce::String row = "malformed or duplicate VNPM parameter row";
    const juce::String gap = "VNPM parameter rows are not contiguous";
    struct Case
    {
        const char* text;
        std::vector<float> values;
        juce::String error;
    };
    const std::vector<Case> cases = {
        { "VNPM\t2\nP\t0\t0.25\nP\t1\t1\n", { 0.25f, 1.0f }, {} },
        { "P\t1\t1\r\nP\t0\t0.5\r\nVNPM\t2\r\n", { 0.5f, 1.0f }, {} },         // header last, rows out of order, CR LF
        { "junk\rVNPM\t1  \rP\t0\t0 \t\r", { 0.0f }, {} },                     // CR only, trailing blanks, noise
        { "VNPM\t0\n", {}, {} },
        { "VNPM\t001\nP\t00\t1e-1\n", { 0.1f }, {} },                          // leading zeros, exponent form
        { "VNPM\t1\nP\t0\t1.00000001\n", { 1.0f }, {} },                       // rounds to 1 as a float
        { "VNPM\t1\nP\t0\t-0\n", { -0.0f }, {} },
        { "", {}, count },
        { "VNPM\t2\nP\t0\t0.5\n", {}, count },
        { "P\t0\t0.5\n", {}, count },
        { "VNPM\t\nP\t0\t0.5\n", {}, count },                                  // "VNPM" alone is not a header
        { "VNPM\t2\nP\t0\t0.5\nP\t2\t0.5\n", {}, gap },
        { "VNPM\t1\nVNPM\t1\nP\t0\t0.5\n", {}, header },
        { "VNPM\t1\t2\n", {}, header },
        { "VNPM\t+1\n", {}, header },
        { "VNPM\t1000001\n", {}, header },
        { "VNPM\t99999999999999999999\n", {}, header },
        { "VNPM\t1\nP\t0\t0.5\t1\n", {}, row },
        { "VNPM\t1\nP\t0\t1.5\n", {}, row },
        { "VNPM\t1\nP\t0\t1.0000001\n", {}, row },
        { "VNPM\t1\nP\t0\tnan\n", {}, row },
        { "VNPM\t1\nP\t0\tinf\n", {}, row },
        { "VNPM\t1\nP\t0\t-0.1\n", {}, row },
        { "VNPM\t1\nP\t0\t0.5x\n", {}, row },
        { "VNPM\t1\nP\t0\t+0.5\n", {}, row },
        { "VNPM\t1\nP\t0\t 0.5\n", {}, row },
        { "VNPM\t1\nP\t0\t0x1p-1\n", {}, row },
        { "VNPM\t1\nP\t0\t0,5\n", {}, row },
        { "VNPM\t1\nP\t0\t1e-60\n", {}, row },                                 // underflows a float
        { "VNPM\t1\nP\t0\t\n", {}, row },
        { "VNPM\t1\nP\t-1\t0.5\n", {}, row },
        { "VNPM\t1\nP\t1000001\t0.5\n", {}, row },
        { "VNPM\t2\nP\t0\t0.5\nP\t0\t0.5\n", {}, row },
    };
    for (const auto& c : cases)
    {
        juce::Array<float> values;
        values.add (9.0f); // must be cleared
        juce::String error = "stale";
        const bool ok = parseParameterProbeOutput (c.text, values, error);
        EXPECT_EQ (ok, c.error.isEmpty()) << c.text;
        EXPECT_EQ (error, c.error) << juce::String (c.text).replace ("\t", "\\t").replace ("\n", "\\n");
        if (ok)
        {
            ASSERT_EQ (values.size(), (int) c.values.size()) << c.text;
            for (size_t i = 0; i < c.values.size(); ++i)
            {
                EXPECT_EQ (values[(int) i], c.values[i]) << c.text;
                EXPECT_EQ (std::signbit (values[(int) i]), std::signbit (c.values[i])) << c.text;
            }
        }
    }
}

TEST (ParameterProbeText, AMillionRowsInReverseOrder)
{
    juce::MemoryOutputStream text;
    text << "VNPM\t1000000\n";
    for (int i = 999999; i >= 0; --i)
        text << "P\t" << i << "\t" << (i % 2 == 0 ? "0" : "1") << "\n";
    juce::Array<float> values;
    juce::String error;
    ASSERT_TRUE (parseParameterProbeOutput (text.toString(), values, error)) << error;
    ASSERT_EQ (values.size(), 1000000);
    EXPECT_EQ (values[0], 0.0f);
    EXPECT_EQ (values[999999], 1.0f);
}

TEST (ParameterMirrorHydration, KeyFileAndProbeInvocation)
{
    MirrorSandbox box;
    auto result = session ({ { vst3Slot ("ABC") } });
    ParameterMirrorHydrationStats stats;
    ASSERT_EQ (box.hydrate (result, stats), "ok");

    const auto key = expectedKey (box.bundle, bundleTime, "ABC", "");
    const auto file = box.cache.getChildFile (key + ".vnpm");
    ASSERT_TRUE (file.existsAsFile());
    juce::MemoryBlock stored;
    file.loadFileAsData (stored);
    EXPECT_EQ (hex (stored), "4d504e5601000000020000000000000000000000" "0000803e" "0000803f");
    EXPECT_EQ (stats.cacheFiles, juce::Array<juce::File> { file });

    const auto& slot = result.session.strips.getReference (0).plugins.getReference (0);
    EXPECT_TRUE (slot.state.parameterMirrorComplete);
    EXPECT_EQ (hex (slot.state.parameters), hex (stored));

    const auto log = box.logLines();
    ASSERT_EQ (log.size(), 1);
    juce::StringArray args;
    args.addTokens (log[0], " ", "");
    ASSERT_EQ (args.size(), 4);
    EXPECT_EQ (args[0], "--vnpm");
    EXPECT_EQ (args[1], box.bundle.getFullPathName());
    EXPECT_TRUE (args[2].startsWith (box.tmp.getFullPathName() + "/vorn-parameter-probe-")) << args[2];
    EXPECT_TRUE (args[2].endsWith ("/component.bin"));
    EXPECT_EQ (args[3], juce::File (args[2]).getSiblingFile ("controller.bin").getFullPathName());
    EXPECT_EQ (box.root.file ("probe.cwd").loadFileAsString().trim(), juce::File (args[2]).getParentDirectory().getFullPathName());
    EXPECT_TRUE (box.tmpIsEmpty());

    // The controller state is part of the key.
    auto withController = session ({ { vst3Slot ("ABC") } });
    withController.session.strips.getReference (0).plugins.getReference (0).state.controller = juce::MemoryBlock (1, true);
    ASSERT_EQ (box.hydrate (withController, stats), "ok");
    EXPECT_EQ (stats.probed, 1);
    EXPECT_TRUE (box.cache.getChildFile (expectedKey (box.bundle, bundleTime, "ABC", std::string (1, '\0')) + ".vnpm").existsAsFile());

    // Once the bundle holds its module binary, the binary's size and time to the nanosecond are
    // part of the key.
    const auto binary = vorntest::moduleBinaryOf (box.bundle);
    ASSERT_TRUE (binary.getParentDirectory().createDirectory());
    ASSERT_TRUE (binary.replaceWithText ("module"));
    ASSERT_TRUE (box.bundle.setLastModificationTime (juce::Time (bundleTime)));
    struct stat info {};
    ASSERT_EQ (::stat (binary.getFullPathName().toRawUTF8(), &info), 0);
    const BinaryStamp stamp { 6, (juce::int64) info.st_mtim.tv_sec * 1000000000 + info.st_mtim.tv_nsec };
    auto withBinary = session ({ { vst3Slot ("ABC") } });
    ASSERT_EQ (box.hydrate (withBinary, stats), "ok");
    EXPECT_EQ (stats.probed, 1);
    EXPECT_EQ (stats.cacheFiles, juce::Array<juce::File> { box.cache.getChildFile (expectedKey (box.bundle, bundleTime, "ABC", "", stamp) + ".vnpm") });
}

TEST (ParameterMirrorHydration, CountersOverASessionAndAgain)
{
    MirrorSandbox box;
    ASSERT_TRUE (box.cache.createDirectory());
    // C brings a complete mirror of its own; E's is marked complete but does not decode.
    auto completeSlot = vst3Slot ("C");
    completeSlot.state.parameterMirrorComplete = true;
    completeSlot.state.parameters = parameterState::encode ({ 0.75f }, 0);
    auto brokenSlot = vst3Slot ("E", "Broken EQ");
    brokenSlot.state.parameterMirrorComplete = true;
    brokenSlot.state.parameters = juce::MemoryBlock ("MPNV", 4);
    auto result = session ({ { vst3Slot ("A"), vst3Slot ("A") },
                             { vst3Slot ("B"), auSlot() },
                             { completeSlot, brokenSlot },
                             { vst3Slot ("D") } });
    // B is cached already (with values no probe would give), D's file is garbage.
    const auto fileB = box.cache.getChildFile (expectedKey (box.bundle, bundleTime, "B", "") + ".vnpm");
    const auto snapshotB = parameterState::encode ({ 0.5f, 0.5f, 0.5f }, 0);
    ASSERT_TRUE (fileB.replaceWithData (snapshotB.getData(), snapshotB.getSize()));
    const auto fileD = box.cache.getChildFile (expectedKey (box.bundle, bundleTime, "D", "") + ".vnpm");
    ASSERT_TRUE (fileD.replaceWithText ("junk"));

    ParameterMirrorHydrationStats stats;
    ASSERT_EQ (box.hydrate (result, stats), "ok");
    // C is kept without a probe; A, A, B and D are filled, E replaced; A, D and E are probed.
    EXPECT_EQ (stats.alreadyComplete, 1);
    EXPECT_EQ (stats.filled, 4);
    EXPECT_EQ (stats.replaced, 1);
    EXPECT_EQ (stats.reusedInCall, 1);
    EXPECT_EQ (stats.cacheHits, 1);
    EXPECT_EQ (stats.probed, 3);
    EXPECT_EQ (stats.replacedInvalid, 1);
    EXPECT_EQ (stats.auSkipped, 1);
    EXPECT_EQ (stats.cacheFiles.size(), 4);
    EXPECT_EQ (box.logLines().size(), 3);
    EXPECT_EQ (fileD.getSize(), 28);
    ASSERT_EQ (stats.replacements.size(), 1);
    EXPECT_EQ (stats.replacements[0].strip, 2);
    EXPECT_EQ (stats.replacements[0].slot, 1);
    EXPECT_EQ (stats.replacements[0].plugin, "Broken EQ");
    EXPECT_TRUE (stats.replacements[0].reason.isNotEmpty());

    for (const auto& strip : result.session.strips)
        for (const auto& slot : strip.plugins)
        {
            parameterState::Snapshot snapshot;
            juce::String error;
            EXPECT_EQ (slot.state.parameterMirrorComplete, slot.format == "VST3");
            if (slot.format == "VST3")
                EXPECT_TRUE (parameterState::decode (slot.state.parameters, snapshot, error)) << error;
        }
    EXPECT_EQ (hex (result.session.strips.getReference (1).plugins.getReference (0).state.parameters), hex (snapshotB));
    EXPECT_TRUE (result.session.strips.getReference (1).plugins.getReference (1).state.parameters.isEmpty());
    EXPECT_EQ (hex (result.session.strips.getReference (2).plugins.getReference (0).state.parameters),
               hex (completeSlot.state.parameters)); // the source's own
    EXPECT_EQ (result.session.strips.getReference (2).plugins.getReference (1).state.parameters.getSize(), 28u); // probed afresh

    // Everything is cached now.
    auto again = session ({ { vst3Slot ("A"), vst3Slot ("A") }, { vst3Slot ("B"), auSlot() }, { completeSlot, brokenSlot }, { vst3Slot ("D") } });
    ASSERT_EQ (box.hydrate (again, stats), "ok");
    EXPECT_EQ (stats.probed, 0);
    EXPECT_EQ (stats.cacheHits, 4);
    EXPECT_EQ (stats.reusedInCall, 1);
    EXPECT_EQ (stats.alreadyComplete, 1);

    // A new modification time of the bundle is a new key; the old file stays.
    box.bundle.setLastModificationTime (juce::Time (bundleTime + 5000));
    auto touched = session ({ { vst3Slot ("A") } });
    ASSERT_EQ (box.hydrate (touched, stats), "ok");
    EXPECT_EQ (stats.probed, 1);
    EXPECT_TRUE (box.cache.getChildFile (expectedKey (box.bundle, bundleTime + 5000, "A", "") + ".vnpm").existsAsFile());
    EXPECT_TRUE (box.cache.getChildFile (expectedKey (box.bundle, bundleTime, "A", "") + ".vnpm").existsAsFile());
    EXPECT_TRUE (box.tmpIsEmpty());
}

TEST (ParameterMirrorHydration, RefusalsLeaveEarlierSlotsHydrated)
{
    MirrorSandbox box;
    const juce::String unavailable = "cannot generate LiveProfessor parameters because the installed plug-in is unavailable at strip 1: ";

    // Whole-call preconditions.
    {
        auto result = session ({ { vst3Slot ("A") } });
        ParameterMirrorHydrationStats stats;
        juce::String error;
        const auto nope = box.root.file ("nope").getFullPathName();
        const auto probe = box.probe.getFullPathName();
        EXPECT_FALSE (hydrateParameterMirrors (result, box.index, box.root.file ("nope"), box.cache, stats, error, 1000));
        EXPECT_EQ (error, "LiveProfessor parameter probe helper is unavailable: file not found: " + nope);
        EXPECT_EQ (stats.inputFault, MirrorInputFault::probeProgram);
        EXPECT_FALSE (hydrateParameterMirrors (result, box.index, box.root.folder, box.cache, stats, error, 1000));
        EXPECT_EQ (error, "LiveProfessor parameter probe helper is unavailable: a folder, not a file: " + box.root.folder.getFullPathName());
        EXPECT_FALSE (hydrateParameterMirrors (result, box.index, box.probe, box.probe, stats, error, 1000));
        EXPECT_EQ (error, "LiveProfessor parameter mirror cache is unavailable: " + probe + ": Not a directory (" + probe
                              + " is a file, not a folder)");
        EXPECT_EQ (stats.inputFault, MirrorInputFault::cacheFolder);
        EXPECT_FALSE (hydrateParameterMirrors (result, box.index, box.probe, box.cache, stats, error, 0));
        EXPECT_EQ (error, "LiveProfessor parameter mirror cache is unavailable");
        EXPECT_EQ (stats.inputFault, MirrorInputFault::none);
        EXPECT_FALSE (box.log.exists());
        EXPECT_FALSE (result.session.strips.getReference (0).plugins.getReference (0).state.parameterMirrorComplete);

        // A probe folder the file system refuses says why.
        setenv ("TMPDIR", box.root.file ("gone").getFullPathName().toRawUTF8(), 1);
        EXPECT_EQ (box.hydrate (result, stats), "could not create isolated parameter probe directory in the temporary folder "
                                                    + box.root.file ("gone").getFullPathName() + " (TMPDIR): No such file or directory");
        setenv ("TMPDIR", box.tmp.getFullPathName().toRawUTF8(), 1);
        EXPECT_FALSE (box.log.exists());
    }

    auto unknown = vst3Slot ("B", "Other", "FEDCBA9876543210FEDCBA9876543210");
    Vst3ModuleEntry gone;
    gone.classId = "00000000000000000000000000000001";
    gone.name = "Gone";
    gone.version = "1";
    gone.bundle = box.root.file ("Gone.vst3");
    gone.available = true;
    Vst3ModuleEntry off = gone;
    off.classId = "00000000000000000000000000000002";
    off.bundle = box.bundle;
    off.available = false;
    box.index.addOrReplace (gone);
    box.index.addOrReplace (off);
    auto noComponent = vst3Slot ("");
    auto byUniqueId = vst3Slot ("B", "Resolved", "");
    byUniqueId.uniqueId = deriveUniqueId ("00000000000000000000000000000002");

    struct Case
    {
        PluginRef second;
        juce::String error;
    };
    const std::vector<Case> cases = {
        { noComponent, "cannot generate LiveProfessor parameters without Comp state at strip 1" },
        { unknown, unavailable + "Other" },
        { vst3Slot ("B", "Missing bundle", gone.classId), unavailable + "Missing bundle" },
        { vst3Slot ("B", "Switched off", off.classId), unavailable + "Switched off" },
        { byUniqueId, unavailable + "Resolved" }, // resolved through its uniqueId, then found unavailable
    };
    for (const auto& c : cases)
    {
        auto result = session ({ { vst3Slot ("A") }, { c.second } });
        ParameterMirrorHydrationStats stats;
        EXPECT_EQ (box.hydrate (result, stats), c.error);
        EXPECT_TRUE (result.session.strips.getReference (0).plugins.getReference (0).state.parameterMirrorComplete) << c.error;
        EXPECT_FALSE (result.session.strips.getReference (1).plugins.getReference (0).state.parameterMirrorComplete) << c.error;
    }
}

TEST (ParameterMirrorHydration, ProbeMisbehaviourFailsCleanly)
{
    MirrorSandbox box;
    const auto notExecutable = box.root.file ("plain.sh");
    notExecutable.replaceWithText ("#!/bin/sh\nprintf 'VNPM\\t0\\n'\n", false, false, "\n");

    struct Case
    {
        juce::String mode;
        juce::String error;
        juce::File probe;
    };
    const std::vector<Case> cases = {
        { "fail", "isolated parameter probe failed for Fake EQ (exit status 1): boom", {} },
        { "noisy", "isolated parameter probe failed for Fake EQ (exit status 2): bad?[31m?news", {} },
        { "crash", "isolated parameter probe failed for Fake EQ (killed by signal 11): P 0 0.25", {} },
        { "quiet-crash", "isolated parameter probe failed for Fake EQ (killed by signal 9)", {} },
        { "silent", "isolated parameter probe terminated without output for Fake EQ", {} },
        { "garbage", "invalid parameter probe output for Fake EQ: VNPM parameter row count does not match the header", {} },
        { "hang", "isolated parameter probe timed out for Fake EQ", {} },
        { "any", "could not start isolated parameter probe " + notExecutable.getFullPathName() + ": Permission denied", notExecutable },
    };
    for (const auto& c : cases)
    {
        auto result = session ({ { vst3Slot (c.mode) } });
        ParameterMirrorHydrationStats stats;
        juce::String error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE (hydrateParameterMirrors (result, box.index, c.probe == juce::File() ? box.probe : c.probe, box.cache,
                                               stats, error, 500));
        EXPECT_LT (std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count(), 5.0) << c.mode;
        EXPECT_EQ (error, c.error) << c.mode;
        EXPECT_EQ (stats.inputFault, c.probe == juce::File() ? MirrorInputFault::none : MirrorInputFault::probeProgram) << c.mode;
        EXPECT_EQ (stats.probed, 0) << c.mode;
        EXPECT_TRUE (box.tmpIsEmpty()) << c.mode;
        EXPECT_TRUE (box.cache.findChildFiles (juce::File::findFilesAndDirectories, false, "*").isEmpty()) << c.mode;
        EXPECT_FALSE (result.session.strips.getReference (0).plugins.getReference (0).state.parameterMirrorComplete);
    }

    // A probe folder of the same prefix that someone else made is neither used nor removed.
    const auto foreign = box.tmp.getChildFile ("vorn-parameter-probe-");
    ASSERT_TRUE (foreign.createDirectory());
    ASSERT_TRUE (foreign.getChildFile ("sentinel").replaceWithText ("x"));

    // Far more than a pipe holds: read while the probe runs.
    auto big = session ({ { vst3Slot ("big") } });
    ParameterMirrorHydrationStats stats;
    ASSERT_EQ (box.hydrate (big, stats), "ok");
    EXPECT_EQ (big.session.strips.getReference (0).plugins.getReference (0).state.parameters.getSize(), 20u + 4u * 200000u);
    EXPECT_TRUE (foreign.getChildFile ("sentinel").existsAsFile());
    EXPECT_EQ (box.tmp.findChildFiles (juce::File::findFilesAndDirectories, false, "*").size(), 1);

    // A folder where the cache file belongs: the answer cannot be stored, and nothing is left behind.
    const auto blocked = box.cache.getChildFile (expectedKey (box.bundle, bundleTime, "blocked", "") + ".vnpm");
    ASSERT_TRUE (blocked.createDirectory());
    auto unstorable = session ({ { vst3Slot ("blocked") } });
    EXPECT_EQ (box.hydrate (unstorable, stats), "could not atomically update parameter mirror cache " + blocked.getFullPathName() + ": Is a directory");
    EXPECT_EQ (stats.inputFault, MirrorInputFault::cacheFolder);
    EXPECT_EQ (box.cache.findChildFiles (juce::File::findFilesAndDirectories, false, "*").size(), 2); // big's file and the folder
    EXPECT_TRUE (blocked.isDirectory());
}

TEST (ParameterMirrorPreparation, JobsWorkersRetryAndCounters)
{
    EXPECT_EQ (preparationWorkerCount (0), 0);
    EXPECT_EQ (preparationWorkerCount (1), 1);
    EXPECT_EQ (preparationWorkerCount (2), 2);
    EXPECT_EQ (preparationWorkerCount (3), 3);
    EXPECT_EQ (preparationWorkerCount (10), 3);

    MirrorSandbox box;
    std::vector<PluginRef> many;
    for (int i = 0; i < 10; ++i)
        many.push_back (vst3Slot ("conc" + juce::String (i)));
    const auto result = session ({ many });
    ParameterMirrorPreparationReport report;
    ASSERT_EQ (box.prepare (result, report), "ok");
    EXPECT_EQ (report.probed, 10);
    EXPECT_EQ (report.cacheFiles.size(), 10);
    EXPECT_TRUE (report.issues.isEmpty());
    EXPECT_EQ (box.logLines().size(), 10);
    juce::StringArray seen;
    seen.addLines (box.root.file ("concurrency").loadFileAsString());
    seen.removeEmptyStrings();
    int most = 0;
    for (const auto& s : seen)
        most = juce::jmax (most, s.trim().getIntValue());
    EXPECT_GE (most, 1);
    EXPECT_LE (most, 3);
    for (const auto& slot : result.session.strips.getReference (0).plugins)
        EXPECT_FALSE (slot.state.parameterMirrorComplete); // the session is left as it was
    EXPECT_TRUE (box.tmpIsEmpty());
}

TEST (ParameterMirrorPreparation, IssuesRetriesAndTheDifferenceToHydration)
{
    MirrorSandbox box;
    // Scan issues come first, then job issues; a probe that fails once is retried and succeeds.
    auto unavailable = vst3Slot ("X", "Unknown", "FEDCBA9876543210FEDCBA9876543210");
    const auto result = session ({ { vst3Slot ("fail"), vst3Slot ("flaky") }, { vst3Slot ("fail"), unavailable, auSlot() } });
    ParameterMirrorPreparationReport report;
    ASSERT_EQ (box.prepare (result, report), "ok");
    ASSERT_EQ (report.issues.size(), 3);
    EXPECT_EQ (report.issues[0].strip, 1);
    EXPECT_EQ (report.issues[0].slot, 1);
    EXPECT_EQ (report.issues[0].plugin, "Unknown");
    EXPECT_EQ (report.issues[0].message,
               "cannot generate LiveProfessor parameters because the installed plug-in is unavailable at strip 1: Unknown");
    for (int i : { 1, 2 })
        EXPECT_EQ (report.issues[i].message, "isolated parameter probe failed for Fake EQ (exit status 1): boom");
    EXPECT_EQ (report.issues[1].strip, 0);
    EXPECT_EQ (report.issues[2].strip, 1);
    EXPECT_EQ (report.issues[2].slot, 0);
    EXPECT_EQ (report.probed, 1);
    EXPECT_EQ (report.auSkipped, 1);
    EXPECT_EQ (report.cacheFiles.size(), 1);
    // fail: worker and retry; flaky: worker (fails) and retry (succeeds).
    EXPECT_EQ (box.logLines().size(), 4);

    // Two slots of one cached state: the preparation counts both as cache hits, the hydration one
    // as a hit and one as reused.
    const auto shared = session ({ { vst3Slot ("flaky"), vst3Slot ("flaky") } });
    ASSERT_EQ (box.prepare (shared, report), "ok");
    EXPECT_EQ (report.cacheHits, 2);
    EXPECT_EQ (report.reusedInCall, 0);
    EXPECT_EQ (report.probed, 0);
    auto hydrated = shared;
    ParameterMirrorHydrationStats stats;
    ASSERT_EQ (box.hydrate (hydrated, stats), "ok");
    EXPECT_EQ (stats.cacheHits, 1);
    EXPECT_EQ (stats.reusedInCall, 1);

    // Fresh: one probed job for both slots.
    const auto fresh = session ({ { vst3Slot ("E"), vst3Slot ("E") } });
    ASSERT_EQ (box.prepare (fresh, report), "ok");
    EXPECT_EQ (report.probed, 1);
    EXPECT_EQ (report.reusedInCall, 1);
    EXPECT_EQ (report.cacheHits, 0);

    // A complete mirror the source brings needs no probe, not even one that would fail: the
    // hydration keeps it.
    auto own = vst3Slot ("fail");
    own.state.parameterMirrorComplete = true;
    own.state.parameters = parameterState::encode ({ 0.5f }, 0);
    const auto log = box.logLines().size();
    ASSERT_EQ (box.prepare (session ({ { own } }), report), "ok");
    EXPECT_EQ (report.alreadyComplete, 1);
    EXPECT_TRUE (report.issues.isEmpty());
    EXPECT_EQ (report.probed, 0);
    EXPECT_EQ (box.logLines().size(), log);

    juce::String error;
    EXPECT_FALSE (prepareParameterMirrorsBestEffort (fresh, box.index, box.root.file ("nope"), box.cache, report, error, 1000));
    EXPECT_EQ (error, "parameter probe helper is unavailable: file not found: " + box.root.file ("nope").getFullPathName());
    EXPECT_EQ (report.inputFault, MirrorInputFault::probeProgram);
    EXPECT_FALSE (prepareParameterMirrorsBestEffort (fresh, box.index, box.probe, box.probe, report, error, 1000));
    EXPECT_EQ (error, "parameter mirror cache is unavailable: " + box.probe.getFullPathName() + ": Not a directory ("
                          + box.probe.getFullPathName() + " is a file, not a folder)");
    EXPECT_EQ (report.inputFault, MirrorInputFault::cacheFolder);
    EXPECT_TRUE (box.tmpIsEmpty());
}
