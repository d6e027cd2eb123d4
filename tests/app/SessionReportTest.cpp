#include "RackBuilders.h"
#include "TestSupport.h"

#include "app/HostRegistry.h"
#include "app/SessionReport.h"
#include "model/Vst3State.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>

using namespace vornconv;
using vorntest::bytesOf;

namespace
{

const char* const fakeCid = "0123456789ABCDEF0123456789ABCDEF";

// An Acme AudioUnit told apart by its uniqueId alone.
PluginRef audioUnit (const juce::String& name, juce::uint32 uniqueId)
{
    auto slot = vorntest::plugin ("AU", name, "Acme");
    slot.uniqueId = uniqueId;
    return slot;
}

juce::var parse (const juce::String& json)
{
    juce::var v;
    EXPECT_TRUE (juce::JSON::parse (json, v).wasOk()) << json;
    return v;
}

juce::StringArray keysOf (const juce::var& object)
{
    juce::StringArray keys;
    if (auto* o = object.getDynamicObject())
        for (const auto& p : o->getProperties())
            keys.add (p.name.toString());
    return keys;
}

juce::StringArray words (std::initializer_list<const char*> list)
{
    juce::StringArray a;
    for (auto* w : list)
        a.add (w);
    return a;
}

// The program's sandbox with a bundle, a catalog, a scene of one or two VST3 slots and probes
// that answer well or fail.
struct ReportSandbox : vorntest::ProgramSandbox
{
    juce::File bundle = root.file ("work/Fake.vst3");

    ReportSandbox()
    {
        bundle.createDirectory();
        write ("cat.tsv", catalogRow ({}));
        write ("off.tsv", catalogRow ("\t0"));
        write ("bad.tsv", "0123456789ABCDEF0123456789ABCDEF\tFake EQ\tAcme\t1.0.0\n");
        write ("one.ksn", scene (1));
        write ("two.ksn", scene (2));
        write ("empty.ksn", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VornLiveScene version=\"1\"><Strips><Strip index=\"0\" name=\"A\"/></Strips></VornLiveScene>");
        write ("broken.ksn", "<VornLiveScene");
        probe ("probe.sh", "printf 'VNPM\\t2\\nP\\t0\\t0.25\\nP\\t1\\t1\\n'");
        probe ("fail.sh", "echo boom >&2\nexit 1");
        liveProfessorList().getParentDirectory().createDirectory();
        liveProfessorList().replaceWithText (
            "<PROPERTIES><VALUE name=\"KnownPluginList\"><KNOWNPLUGINS><PLUGIN format=\"VST3\" name=\"Fake EQ\" manufacturer=\"Acme\" "
            "version=\"1.0.0\" file=\"" + bundle.getFullPathName() + "\" numInputs=\"2\" numOutputs=\"2\" uniqueId=\"e26ab0d0\" "
            "uid=\"be9e7a10\"/></KNOWNPLUGINS></VALUE></PROPERTIES>");
    }

    juce::String catalogRow (const juce::String& flag) const
    {
        return juce::String (fakeCid) + "\tFake EQ\tAcme\t1.0.0\t" + bundle.getFullPathName() + flag + "\n";
    }

    juce::String scene (int strips) const
    {
        const auto state = vst3::buildJuceVst3State (bytesOf ("ABC"), {}).toBase64Encoding();
        juce::String text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VornLiveScene version=\"1\"><Strips>";
        for (int s = 0; s < strips; ++s)
            text << "<Strip index=\"" << s << "\" name=\"Ch" << s << "\"><Slot index=\"0\" state=\"0\" pluginState=\"" << state
                 << "\"><PLUGIN name=\"Fake EQ\" format=\"VST3\" manufacturer=\"Acme\" uniqueId=\"e26ab0d0\" uid=\"be9e7a10\" file=\""
                 << bundle.getFullPathName() << "\"/></Slot></Strip>";
        return text + "</Strips></VornLiveScene>";
    }

    void probe (const juce::String& name, const juce::String& body) const
    {
        const auto log = work.getChildFile (name + ".log").getFullPathName();
        write (name, "#!/bin/sh\necho \"$@\" >> '" + log + "'\n" + body + "\n");
        work.getChildFile (name).setExecutePermission (true);
    }

    int probeRuns (const juce::String& name) const
    {
        juce::StringArray lines;
        lines.addLines (work.getChildFile (name + ".log").loadFileAsString());
        lines.removeEmptyStrings();
        return lines.size();
    }

    // The "vnpm" object of a report run that must print exactly one JSON line and exit 0.
    juce::var vnpm (const std::vector<std::string>& args) const
    {
        const auto r = run (args);
        EXPECT_EQ (r.exitCode, 0) << r.out;
        EXPECT_EQ (r.err, "");
        EXPECT_EQ (r.outLines().size(), 1) << r.out;
        return parse (r.outLines()[0])["vnpm"];
    }

    int cacheFiles (const juce::String& folder) const
    {
        return work.getChildFile (folder).findChildFiles (juce::File::findFiles, false, "*.vnpm").size();
    }
};

const juce::StringArray counterKeys = words ({ "status", "requiredStates", "error", "preparedInstances", "sourceMirrors",
                                               "memoryHits", "cacheHits", "probed", "repaired", "skippedAudioUnits",
                                               "cacheEntries", "issues" });

} // namespace

TEST (SessionReportDocument, CountsUsageAndKeyOrder)
{
    RackReadResult result;
    result.ok = true;
    result.status = readPartial;
    result.session.sourceFile = "/x/a.ksn";
    result.session.sourceFormat = "vorn.ksn";
    result.session.sourceApp = "Vorn Live";
    result.session.sourceVersion = "1";
    result.session.sampleRate = 48000.0;
    result.session.bufferSize = 64;
    result.session.inputDevice = juce::String::fromUTF8 (u8"입력\a");
    result.session.notes.add (Fidelity::dropped, "dugan.disabled", "Dugan A");
    result.session.notes.add (Fidelity::approx, "dugan.disabled", "Dugan approx");
    result.session.notes.add (Fidelity::dropped, "routing.physical", "other");
    result.session.notes.add (Fidelity::dropped, "dugan.disabled", "Dugan B");

    auto eq = vorntest::vst3Slot ("0123456789abcdef0123456789abcdef", "beta", "Acme");
    eq.state.component = bytesOf ("x");
    auto eqBypassed = eq;
    eqBypassed.bypassed = true;
    eqBypassed.format = "AU"; // same class id, another format: still the same plug-in
    auto eqOff = eq;
    eqOff.inactive = eqOff.unavailable = true;
    auto au1 = audioUnit ("alpha", 7);
    auto au2 = audioUnit ("alpha", 8);
    auto big1 = audioUnit ("Alpha", 0xFFFFFFFF);
    RackStrip s0, s1, s2;
    s0.index = 0;
    s0.plugins.add (eq, PluginRef(), eqBypassed);
    s1.index = 1; // no plug-ins: an active channel, but not a plug-in channel
    s1.plugins.add (PluginRef());
    s2.index = 2;
    s2.plugins.add (au1, big1, big1, big1, eqOff, au2);
    result.session.strips.add (s0, s1, s2);

    const auto doc = parse (app::buildSessionReportJson (result, nullptr, "skipped", "why"));
    EXPECT_EQ (keysOf (doc), words ({ "schema", "sourceFile", "sourceFormat", "sourceApp", "sourceVersion", "readComplete",
                                      "activeChannels", "pluginChannels", "sampleRate", "bufferSize", "inputDevice",
                                      "outputDevice", "totalPlugins", "uniquePlugins", "bypassedPlugins", "inactivePlugins",
                                      "unavailablePlugins", "omittedFeatures", "pluginUsage", "vnpm" }));
    EXPECT_EQ (doc["schema"], juce::var ("vorn-session-report-v1"));
    EXPECT_EQ (doc["readComplete"], juce::var (false));
    EXPECT_EQ ((int) doc["activeChannels"], 3);
    EXPECT_EQ ((int) doc["pluginChannels"], 2);
    EXPECT_EQ ((double) doc["sampleRate"], 48000.0);
    EXPECT_EQ ((int) doc["bufferSize"], 64);
    EXPECT_EQ (doc["inputDevice"].toString(), juce::String::fromUTF8 (u8"입력\a"));
    EXPECT_EQ ((int) doc["totalPlugins"], 8);
    EXPECT_EQ ((int) doc["uniquePlugins"], 4);
    EXPECT_EQ ((int) doc["bypassedPlugins"], 1);
    EXPECT_EQ ((int) doc["inactivePlugins"], 1);
    EXPECT_EQ ((int) doc["unavailablePlugins"], 1);
    ASSERT_EQ (doc["omittedFeatures"].size(), 2);
    EXPECT_EQ (doc["omittedFeatures"][0].toString(), "Dugan A");
    EXPECT_EQ (doc["omittedFeatures"][1].toString(), "Dugan B");

    // count 3 "Alpha", count 3 "beta", then the two distinct count-1 "alpha" plug-ins.
    const auto usage = doc["pluginUsage"];
    ASSERT_EQ (usage.size(), 4);
    EXPECT_EQ (keysOf (usage[0]), words ({ "name", "vendor", "format", "classId", "count", "bypassed", "inactive", "unavailable" }));
    EXPECT_EQ (usage[0]["name"].toString(), "Alpha");
    EXPECT_EQ ((int) usage[0]["count"], 3);
    EXPECT_EQ (usage[0]["classId"].toString(), "");
    EXPECT_EQ (usage[1]["name"].toString(), "beta");
    EXPECT_EQ (usage[1]["format"].toString(), "VST3"); // texts of the first slot with the key
    EXPECT_EQ (usage[1]["classId"].toString(), fakeCid);
    EXPECT_EQ ((int) usage[1]["count"], 3);
    EXPECT_EQ ((int) usage[1]["bypassed"], 1);
    EXPECT_EQ ((int) usage[1]["inactive"], 1);
    EXPECT_EQ ((int) usage[1]["unavailable"], 1);
    EXPECT_EQ (usage[2]["name"].toString(), "alpha");
    EXPECT_EQ ((int) usage[2]["count"], 1);
    EXPECT_EQ (usage[3]["name"].toString(), "alpha");

    // Without a report the preparation object stops after the error; only the VST3 slots with a
    // component count as required.
    EXPECT_EQ (keysOf (doc["vnpm"]), words ({ "status", "requiredStates", "error" }));
    EXPECT_EQ ((int) doc["vnpm"]["requiredStates"], 2);
    EXPECT_EQ (doc["vnpm"]["error"].toString(), "why");

    rapp::ParameterMirrorPreparationReport report;
    report.alreadyComplete = 1;
    report.reusedInCall = 2;
    report.cacheHits = 3;
    report.probed = 4;
    report.replacedInvalid = 5;
    report.auSkipped = 6;
    report.cacheFiles.add (juce::File ("/c/a.vnpm"), juce::File ("/c/b.vnpm"));
    report.issues.add (rapp::ParameterMirrorPreparationIssue { 2, 4, "beta", "isolated parameter probe failed for beta: boom" });
    const auto withReport = parse (app::buildSessionReportJson (result, &report, "partial", ""))["vnpm"];
    EXPECT_EQ (keysOf (withReport), counterKeys);
    EXPECT_EQ ((int) withReport["preparedInstances"], 9);
    EXPECT_EQ ((int) withReport["sourceMirrors"], 1);
    EXPECT_EQ ((int) withReport["memoryHits"], 2);
    EXPECT_EQ ((int) withReport["cacheHits"], 3);
    EXPECT_EQ ((int) withReport["probed"], 4);
    EXPECT_EQ ((int) withReport["repaired"], 5);
    EXPECT_EQ ((int) withReport["skippedAudioUnits"], 6);
    EXPECT_EQ ((int) withReport["cacheEntries"], 2);
    ASSERT_EQ (withReport["issues"].size(), 1);
    EXPECT_EQ (keysOf (withReport["issues"][0]), words ({ "strip", "slot", "plugin", "detail" }));
    EXPECT_EQ ((int) withReport["issues"][0]["strip"], 2);
    EXPECT_EQ ((int) withReport["issues"][0]["slot"], 4);
    EXPECT_EQ (withReport["issues"][0]["detail"].toString(), "isolated parameter probe failed for beta: boom");
}

TEST (SessionReportCommand, RefusalsPrintOneErrorLine)
{
    ReportSandbox box;
    box.write ("notes.txt", "x");
    struct Case { std::vector<std::string> args; juce::String line; };
    const std::vector<Case> cases = {
        { { "--session-report", "one.ksn", "two.ksn" }, "ERROR   --session-report accepts exactly one input file" },
        { { "--session-report", "--plugin-probe", "probe.sh", "one.ksn" },
          "ERROR   session report VNPM preparation requires both --plugin-probe and --parameter-cache" },
        { { "--session-report", "--parameter-cache", "cache", "one.ksn" },
          "ERROR   session report VNPM preparation requires both --plugin-probe and --parameter-cache" },
        { { "--session-report", "--plan", "vorn", "one.ksn" }, "ERROR   choose exactly one conversion/report operation" },
        { { "--session-report", "notes.txt" }, "ERROR   " + app::unknownInputRefusal() + ": " + box.path ("notes.txt") },
        { { "--session-report", "--factory-catalog", "bad.tsv", "one.ksn" },
          "ERROR   --factory-catalog: invalid factory catalog row (expected 5 or 6 tab-separated columns) at line 1 of "
              + box.path ("bad.tsv") + "; --factory-catalog takes a catalog as vornvst3catalog prints it" },
    };
    for (const auto& c : cases)
    {
        const auto r = box.run (c.args);
        EXPECT_EQ (r.exitCode, 1) << c.line;
        EXPECT_EQ (r.outLines(), juce::StringArray (c.line)) << r.out;
    }
    const auto broken = box.run ({ "--session-report", "broken.ksn" });
    EXPECT_EQ (broken.exitCode, 1);
    ASSERT_EQ (broken.outLines().size(), 1) << broken.out;
    EXPECT_TRUE (broken.outLines()[0].startsWith ("ERROR   ")) << broken.out;
    EXPECT_FALSE (box.work.getChildFile ("cache").exists());
}

TEST (SessionReportCommand, PreparationStatuses)
{
    ReportSandbox box;

    // Nothing to prepare: counters present and zero, even without options.
    const auto none = box.vnpm ({ "--session-report", "empty.ksn" });
    EXPECT_EQ (keysOf (none), counterKeys);
    EXPECT_EQ (none["status"].toString(), "not-required");
    EXPECT_EQ ((int) none["requiredStates"], 0);
    EXPECT_EQ ((int) none["preparedInstances"], 0);
    EXPECT_EQ (none["issues"].size(), 0);

    struct Skip { std::vector<std::string> args; juce::String error; };
    const std::vector<Skip> skips = {
        { { "--session-report", "one.ksn" }, "VST3 factory cache is unavailable" },
        { { "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "nope", "--parameter-cache", "cache", "one.ksn" },
          "--plugin-probe: parameter probe helper is unavailable: file not found: " + box.path ("nope") },
    };
    for (const auto& s : skips)
    {
        const auto v = box.vnpm (s.args);
        EXPECT_EQ (keysOf (v), words ({ "status", "requiredStates", "error" }));
        EXPECT_EQ (v["status"].toString(), "skipped");
        EXPECT_EQ ((int) v["requiredStates"], 1);
        EXPECT_EQ (v["error"].toString(), s.error);
    }
    EXPECT_FALSE (box.work.getChildFile ("cache").exists());
    // A catalog that is not there is refused, as every operation that takes one refuses it.
    const auto missingCatalog = box.run ({ "--session-report", "--factory-catalog", "missing.tsv", "--plugin-probe", "probe.sh",
                                           "--parameter-cache", "cache", "one.ksn" });
    EXPECT_EQ (missingCatalog.exitCode, 1);
    EXPECT_EQ (missingCatalog.outLines(), juce::StringArray ("ERROR   --factory-catalog: file not found: " + box.path ("missing.tsv")));
    EXPECT_FALSE (box.work.getChildFile ("cache").exists());

    const std::vector<std::string> ready = { "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "probe.sh",
                                             "--parameter-cache", "cache", "two.ksn" };
    const auto first = box.vnpm (ready);
    EXPECT_EQ (first["status"].toString(), "ready");
    EXPECT_EQ ((int) first["preparedInstances"], 2);
    EXPECT_EQ ((int) first["probed"], 1);
    EXPECT_EQ ((int) first["memoryHits"], 1);
    EXPECT_EQ ((int) first["cacheEntries"], 1);
    EXPECT_EQ (box.probeRuns ("probe.sh"), 1);
    EXPECT_EQ (box.cacheFiles ("cache"), 1);
    EXPECT_EQ (box.tmpEntries(), 0);

    const auto second = box.vnpm (ready);
    EXPECT_EQ ((int) second["cacheHits"], 2);
    EXPECT_EQ ((int) second["memoryHits"], 0);
    EXPECT_EQ ((int) second["probed"], 0);
    EXPECT_EQ (box.probeRuns ("probe.sh"), 1);

    // A damaged cache file is repaired.
    box.work.getChildFile ("cache").findChildFiles (juce::File::findFiles, false, "*.vnpm")[0].replaceWithText ("junk");
    const auto repaired = box.vnpm (ready);
    EXPECT_EQ ((int) repaired["probed"], 1);
    EXPECT_EQ ((int) repaired["repaired"], 1);
    EXPECT_EQ (box.work.getChildFile ("cache").findChildFiles (juce::File::findFiles, false, "*.vnpm")[0].getSize(), 28);

    // A cache entry that is not a regular file (a FIFO would make a plain read wait for ever)
    // counts as missing: the state is probed again and the entry written afresh.
    const auto entry = box.work.getChildFile ("cache").findChildFiles (juce::File::findFiles, false, "*.vnpm")[0];
    ASSERT_TRUE (entry.deleteFile());
    ASSERT_EQ (::mkfifo (entry.getFullPathName().toRawUTF8(), 0600), 0);
    const auto refilled = box.vnpm (ready);
    EXPECT_EQ (refilled["status"].toString(), "ready");
    EXPECT_EQ ((int) refilled["probed"], 1);
    EXPECT_EQ (entry.getSize(), 28);

    // A failing probe: one issue per slot, exit 0, the probe tried again once.
    const auto failing = box.vnpm ({ "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "fail.sh",
                                     "--parameter-cache", "fresh", "one.ksn" });
    EXPECT_EQ (failing["status"].toString(), "partial");
    EXPECT_EQ ((int) failing["probed"], 0);
    EXPECT_EQ ((int) failing["cacheEntries"], 0);
    ASSERT_EQ (failing["issues"].size(), 1);
    EXPECT_EQ ((int) failing["issues"][0]["strip"], 0);
    EXPECT_EQ ((int) failing["issues"][0]["slot"], 0);
    EXPECT_EQ (failing["issues"][0]["plugin"].toString(), "Fake EQ");
    EXPECT_EQ (failing["issues"][0]["detail"].toString(), "isolated parameter probe failed for Fake EQ (exit status 1): boom");
    EXPECT_EQ (box.probeRuns ("fail.sh"), 2);

    // A cache path that is a regular file: the preparation fails, and the document says so.
    const auto failed = box.vnpm ({ "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "probe.sh",
                                    "--parameter-cache", "cat.tsv", "one.ksn" });
    EXPECT_EQ (keysOf (failed), counterKeys);
    EXPECT_EQ (failed["status"].toString(), "failed");
    EXPECT_EQ (failed["error"].toString(), "--parameter-cache: parameter mirror cache is unavailable: " + box.path ("cat.tsv")
                                               + ": Not a directory (" + box.path ("cat.tsv")
                                               + " is a file, not a folder); --parameter-cache takes a folder");
    EXPECT_EQ ((int) failed["preparedInstances"], 0);

    // A catalog row that marks the plug-in unavailable.
    const auto r = box.run ({ "--session-report", "--factory-catalog", "off.tsv", "--plugin-probe", "probe.sh",
                              "--parameter-cache", "cache", "one.ksn" });
    const auto doc = parse (r.outLines()[0]);
    EXPECT_EQ ((int) doc["inactivePlugins"], 1);
    EXPECT_EQ ((int) doc["unavailablePlugins"], 1);
    EXPECT_EQ (doc["vnpm"]["status"].toString(), "partial");
    EXPECT_EQ (doc["vnpm"]["issues"][0]["detail"].toString(),
               "cannot generate LiveProfessor parameters because the installed plug-in is unavailable at strip 0: Fake EQ");
    EXPECT_EQ (box.tmpEntries(), 0);
}

TEST (LiveProfessorRunners, MirrorsArePreparedBeforeTheWriterChecks)
{
    ReportSandbox box;
    const std::vector<std::string> options = { "--factory-catalog", "cat.tsv", "--plugin-probe", "probe.sh", "--parameter-cache", "cache" };
    const auto with = [&options] (std::vector<std::string> head, std::vector<std::string> tail)
    {
        head.insert (head.end(), options.begin(), options.end());
        head.insert (head.end(), tail.begin(), tail.end());
        return head;
    };

    // Without a profile, the plan's blockers (the profile's among them) and then what supplies it.
    const auto noProfile = box.run (with ({ "--convert", "liveprofessor" }, { "--output", "out.rack2", "two.ksn" }));
    EXPECT_EQ (noProfile.exitCode, 1);
    juce::StringArray profileMissing ("PARAMETER_MIRRORS kept=0 filled=2 replaced=0 memory=1 cache=0 probed=1 repaired=0 skippedAU=0");
    profileMissing.add (juce::String::fromUTF8 (u8"  BLOCKER source                              입력 세션의 변환 필수 상태를 완전히 증명하지 못해 RAPP writer를 막았다"));
    profileMissing.add (juce::String::fromUTF8 (u8"  BLOCKER source.stripCoverage                source reader가 의미를 증명하지 못한 필드: route=2"));
    profileMissing.add (juce::String::fromUTF8 (u8"  BLOCKER target.profile                      가변 구조 호스트의 source-shaped output profile이 제공되지 않았다"));
    profileMissing.addArray ({ "ERROR   LiveProfessor writer requires --profile <strips>x<slots>", "" });
    EXPECT_EQ (noProfile.outLines(), profileMissing) << noProfile.out;
    EXPECT_EQ (box.cacheFiles ("cache"), 1);

    // A template the writer cannot take by its extension is refused with the options, before anything runs.
    box.write ("t.rpp", "x");
    const auto badTemplate = box.run (with ({ "--convert", "liveprofessor" }, { "--template", "t.rpp", "--output", "out.rack2", "one.ksn" }));
    EXPECT_EQ (badTemplate.outLines(), juce::StringArray ("ERROR   --template: LiveProfessor optional template extension must be .rack2: "
                                                          + box.path ("t.rpp")));

    const auto blocked = box.run (with ({ "--convert", "liveprofessor", "--profile", "64x8" }, { "--output", "out.rack2", "one.ksn" }));
    EXPECT_EQ (blocked.exitCode, 1);
    // The preflight's reasons come before its refusal.
    juce::StringArray reasonsFirst ("PARAMETER_MIRRORS kept=0 filled=1 replaced=0 memory=0 cache=1 probed=0 repaired=0 skippedAU=0");
    reasonsFirst.add (juce::String::fromUTF8 (u8"  BLOCKER source                              입력 세션의 변환 필수 상태를 완전히 증명하지 못해 RAPP writer를 막았다"));
    reasonsFirst.add (juce::String::fromUTF8 (u8"  BLOCKER source.stripCoverage                source reader가 의미를 증명하지 못한 필드: route=1"));
    reasonsFirst.addArray ({ "ERROR   RAPP preflight blocked LiveProfessor output", "" });
    EXPECT_EQ (blocked.outLines(), reasonsFirst) << blocked.out;
    EXPECT_FALSE (box.work.getChildFile ("out.rack2").exists());

    const auto plan = box.run (with ({ "--plan", "liveprofessor", "--profile", "64x8" }, { "one.ksn" }));
    const auto planLines = plan.outLines();
    ASSERT_GE (planLines.size(), 5);
    EXPECT_TRUE (planLines[2].startsWith ("FILE    "));
    EXPECT_EQ (planLines[3], "PARAMETER_MIRRORS kept=0 filled=1 replaced=0 memory=0 cache=1 probed=0 repaired=0 skippedAU=0");
    EXPECT_EQ (planLines[4], "RAPP PLAN  target=LiveProfessor (.rack2)");
    EXPECT_EQ (box.probeRuns ("probe.sh"), 1);

    // The plan runs the writer's own checks: it says "allowed" exactly when the convert writes.
    juce::String strips, routes;
    for (int i = 0; i < 64; ++i)
    {
        if (i > 0)
            strips << "<Strip index=\"" << i << "\" name=\"Ch" << i << "\"/>";
        routes << "<Route strip=\"" << i << "\"/>";
    }
    box.write ("routed.ksn", box.scene (1).replace ("</Strips>", strips + "</Strips><Routing>" + routes + "</Routing>"));
    int round = 0;
    for (const auto& shape : std::vector<std::vector<std::string>> { { "--profile", "64x8", "--io", "2x2" },
                                                                      { "--profile", "65x8", "--io", "2x2" },
                                                                      { "--profile", "64x8" } })
    {
        auto planArgs = with ({ "--plan", "liveprofessor" }, { "routed.ksn" });
        auto convertArgs = with ({ "--convert", "liveprofessor" }, { "--output", "agree" + std::to_string (round++) + ".rack2", "routed.ksn" });
        planArgs.insert (planArgs.begin() + 2, shape.begin(), shape.end());
        convertArgs.insert (convertArgs.begin() + 2, shape.begin(), shape.end());
        const auto planned = box.run (planArgs);
        const auto converted = box.run (convertArgs);
        EXPECT_EQ (planned.exitCode, converted.exitCode) << planned.out << converted.out;
        EXPECT_EQ (planned.outLines().contains ("  WRITE: allowed"), converted.exitCode == 0) << planned.out << converted.out;
        // Each of these passes the preflight and is refused by the writer itself (a class with no
        // host-verified mapping, a profile of another strip count, no explicit --io).
        const auto refusal = converted.outLines()[1];
        EXPECT_EQ (converted.exitCode, 1);
        EXPECT_TRUE (refusal.startsWith ("ERROR   LiveProfessor internal profile ")) << converted.out;
        EXPECT_TRUE (planned.outLines().contains ("  BLOCKER target.writer                       " + refusal.substring (8)))
            << planned.out << converted.out;
    }

    // No retry in the hydration: the first failure ends the run.
    const auto failing = box.run ({ "--convert", "liveprofessor", "--factory-catalog", "cat.tsv", "--plugin-probe", "fail.sh",
                                    "--parameter-cache", "other", "--output", "out.rack2", "one.ksn" });
    EXPECT_EQ (failing.exitCode, 1);
    EXPECT_EQ (failing.outLines(), words ({ "ERROR   isolated parameter probe failed for Fake EQ (exit status 1): boom", "" }));
    EXPECT_EQ (box.probeRuns ("fail.sh"), 1);

    const auto missing = box.run ({ "--plan", "liveprofessor", "--factory-catalog", "cat.tsv", "--plugin-probe", "nope",
                                    "--parameter-cache", "other", "one.ksn" });
    EXPECT_EQ (missing.outLines(), juce::StringArray ("ERROR   --plugin-probe: file not found: " + box.path ("nope")));
    EXPECT_EQ (box.tmpEntries(), 0);
    EXPECT_EQ (noProfile.err + failing.err + plan.err, "");
}

// A plug-in updated or rebuilt in place: its module binary inside the bundle is rewritten within
// the same second (even the same millisecond) while the bundle folder keeps its time. Its old
// answer must never be used again, neither by the report nor by the LiveProfessor runners.
TEST (ParameterProbeRuns, AModuleBinaryReplacedInPlaceIsProbedAgain)
{
    ReportSandbox box;
    const auto binary = vorntest::moduleBinaryOf (box.bundle);
    ASSERT_TRUE (binary.getParentDirectory().createDirectory());
    const auto build = [&] (const char* bytes, long nanoseconds)
    {
        std::ofstream (binary.getFullPathName().toStdString(), std::ios::binary | std::ios::trunc) << bytes;
        ASSERT_TRUE (vorntest::setFileTime (binary, 1700000000, nanoseconds));
        ASSERT_TRUE (vorntest::setFileTime (box.bundle, 1700000000, 0));
    };
    const std::vector<std::string> report = { "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "probe.sh",
                                              "--parameter-cache", "cache", "one.ksn" };
    struct Step { const char* bytes; long nanoseconds; int probed; int cacheHits; };
    const std::vector<Step> steps = {
        { "build one", 100000000, 1, 0 },
        { "build one", 100000000, 0, 1 }, // nothing changed
        { "build two", 100000500, 1, 0 }, // same size, same millisecond
        { "build three", 100000500, 1, 0 }, // another size, the same time
    };
    int runs = 0;
    for (const auto& step : steps)
    {
        build (step.bytes, step.nanoseconds);
        const auto v = box.vnpm (report);
        EXPECT_EQ (v["status"].toString(), "ready") << step.bytes;
        EXPECT_EQ ((int) v["probed"], step.probed) << step.bytes;
        EXPECT_EQ ((int) v["cacheHits"], step.cacheHits) << step.bytes;
        EXPECT_EQ ((int) v["repaired"], 0) << step.bytes;
        EXPECT_EQ (box.probeRuns ("probe.sh"), runs += step.probed) << step.bytes;
    }
    EXPECT_EQ (box.cacheFiles ("cache"), 3);

    // The conversion runners use the same key.
    const auto plan = [&box]
    {
        const auto lines = box.run ({ "--plan", "liveprofessor", "--profile", "64x8", "--factory-catalog", "cat.tsv", "--plugin-probe",
                                      "probe.sh", "--parameter-cache", "cache", "one.ksn" }).outLines();
        return lines.size() > 3 ? lines[3] : juce::String();
    };
    EXPECT_EQ (plan(), "PARAMETER_MIRRORS kept=0 filled=1 replaced=0 memory=0 cache=1 probed=0 repaired=0 skippedAU=0");
    build ("build four", 100000501);
    EXPECT_EQ (plan(), "PARAMETER_MIRRORS kept=0 filled=1 replaced=0 memory=0 cache=0 probed=1 repaired=0 skippedAU=0");
    EXPECT_EQ (box.tmpEntries(), 0);
}

// Whatever the probe (or the plug-in it loads) writes to a relative path lands in its private
// folder, which goes away with the run, never in the folder vornconv was started in.
TEST (ParameterProbeRuns, TheProbeWorksInItsPrivateFolder)
{
    ReportSandbox box;
    const auto where = box.work.getChildFile ("where.log");
    box.probe ("scribble.sh", "pwd >> '" + where.getFullPathName() + "'\necho left > relative.txt\nmkdir sub\n"
                              "printf 'VNPM\\t1\\nP\\t0\\t0.5\\n'");
    const auto report = box.vnpm ({ "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "scribble.sh",
                                    "--parameter-cache", "cache", "one.ksn" });
    EXPECT_EQ (report["status"].toString(), "ready");
    const auto convert = box.run ({ "--convert", "liveprofessor", "--factory-catalog", "cat.tsv", "--plugin-probe", "scribble.sh",
                                    "--parameter-cache", "other", "--output", "out.rack2", "one.ksn" });
    EXPECT_EQ (convert.outLines()[0], "PARAMETER_MIRRORS kept=0 filled=1 replaced=0 memory=0 cache=0 probed=1 repaired=0 skippedAU=0");

    EXPECT_FALSE (box.work.getChildFile ("relative.txt").exists());
    EXPECT_FALSE (box.work.getChildFile ("sub").exists());
    juce::StringArray folders;
    folders.addLines (where.loadFileAsString().trim());
    ASSERT_EQ (folders.size(), 2);
    for (const auto& folder : folders)
        EXPECT_TRUE (folder.startsWith (box.tmp.getFullPathName() + "/vorn-parameter-probe-")) << folder;
    EXPECT_EQ (box.tmpEntries(), 0);
}

// A probe that crashes after it printed a complete answer, or that exits with a status of its
// own, is reported with how it ended besides its last line.
TEST (ParameterProbeRuns, AFailedProbeIsReportedWithHowItEnded)
{
    ReportSandbox box;
    box.probe ("crash.sh", "printf 'VNPM\\t2\\nP\\t0\\t0.25\\nP\\t1\\t1\\n'\nkill -SEGV $$");
    box.probe ("three.sh", "echo 'cannot load module' >&2\nexit 3");
    box.probe ("killed.sh", "kill -KILL $$");
    struct Case { const char* probe; juce::String detail; };
    const std::vector<Case> cases = {
        { "crash.sh", "isolated parameter probe failed for Fake EQ (killed by signal 11): P 1 1" },
        { "three.sh", "isolated parameter probe failed for Fake EQ (exit status 3): cannot load module" },
        { "killed.sh", "isolated parameter probe failed for Fake EQ (killed by signal 9)" },
    };
    for (const auto& c : cases)
    {
        const auto v = box.vnpm ({ "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", c.probe,
                                   "--parameter-cache", "cache", "one.ksn" });
        EXPECT_EQ (v["status"].toString(), "partial") << c.probe;
        ASSERT_EQ (v["issues"].size(), 1) << c.probe;
        EXPECT_EQ (v["issues"][0]["detail"].toString(), c.detail);

        const auto converted = box.run ({ "--convert", "liveprofessor", "--factory-catalog", "cat.tsv", "--plugin-probe", c.probe,
                                          "--parameter-cache", "cache", "--output", "out.rack2", "one.ksn" });
        EXPECT_EQ (converted.exitCode, 1);
        EXPECT_EQ (converted.outLines(), juce::StringArray ("ERROR   " + c.detail, juce::String()));
    }
    EXPECT_EQ (box.cacheFiles ("cache"), 0);
    EXPECT_EQ (box.tmpEntries(), 0);
}

// SIGINT reaches only the terminal's own process group, and the probe runs in a group of its own:
// an interrupted run must end its probe and whatever the probe started in its group, and take away
// the probe's folder itself. A run killed outright, without a chance to clean up, still takes the
// probe's whole group with it, and the probe's folder goes too.
TEST (ParameterProbeInterrupts, NoProbeOutlivesTheRunAndNothingStaysInTmp)
{
    ReportSandbox box;
    const auto pidFile = box.work.getChildFile ("hang.pid");
    const auto sleeperFile = box.work.getChildFile ("sleeper.pid");
    box.probe ("hang.sh", "sleep 30 &\necho $! > '" + sleeperFile.getFullPathName() + "'\necho $$ > '" + pidFile.getFullPathName()
                              + "'\ntrap '' INT TERM HUP\nwhile :; do sleep 1; done");
    const std::vector<std::string> args = { "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "hang.sh",
                                            "--parameter-cache", "cache", "one.ksn" };
    for (int signal : { SIGINT, SIGTERM, SIGHUP, SIGKILL })
    {
        SCOPED_TRACE (::strsignal (signal));
        pidFile.deleteFile();
        sleeperFile.deleteFile();
        auto running = box.start (args);
        for (int waited = 0; waited < 2000 && pidFile.loadFileAsString().trim().isEmpty(); ++waited)
            ::usleep (10000);
        const pid_t probe = pidFile.loadFileAsString().trim().getIntValue();
        const pid_t sleeper = sleeperFile.loadFileAsString().trim().getIntValue();
        ASSERT_GT (probe, 0) << "the probe never started";
        ASSERT_GT (sleeper, 0) << "the probe's own child never started";
        EXPECT_GT (box.tmp.getNumberOfChildFiles (juce::File::findDirectories), 0);

        ::kill (running.pid, signal);
        const auto result = vorntest::finishProgram (running, 20000);
        for (int waited = 0; waited < 500 && (vorntest::processIsAlive (probe) || vorntest::processIsAlive (sleeper)
                                              || box.tmpEntries() != 0); ++waited)
            ::usleep (10000);
        EXPECT_FALSE (vorntest::processIsAlive (probe));
        EXPECT_FALSE (vorntest::processIsAlive (sleeper));
        EXPECT_EQ (box.tmpEntries(), 0);
        // Never leave them behind, whatever the outcome.
        ::kill (probe, SIGKILL);
        ::kill (sleeper, SIGKILL);
        if (signal == SIGKILL)
        {
            box.tmp.deleteRecursively();
            box.tmp.createDirectory();
            continue;
        }
        EXPECT_EQ (result.exitCode, 1);
        EXPECT_EQ (result.err, "");
        EXPECT_TRUE (result.outLines().contains ("ERROR   interrupted")) << result.out;
        EXPECT_EQ (result.outLines()[result.outLines().size() - 1], "ERROR   interrupted") << result.out;
    }
}

// A probe (and the plug-in it loads) gets standard input, output and error and nothing else:
// not a descriptor the caller of vornconv left open, such as a log or another program's pipe.
TEST (ParameterProbeRuns, AProbeReachesNoDescriptorOfTheCaller)
{
    ReportSandbox box;
    const auto leak = box.work.getChildFile ("leak.txt");
    box.probe ("leaky.sh", "echo forged >&7\nprintf 'VNPM\\t1\\nP\\t0\\t0.5\\n'");
    const auto leakPath = leak.getFullPathName().toStdString();
    const auto openSeven = [leakPath]
    {
        const int fd = ::open (leakPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2 (fd, 7) < 0)
            ::_exit (126);
    };
    const auto report = box.run ({ "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "leaky.sh",
                                   "--parameter-cache", "cache", "one.ksn" },
                                 vorntest::hangSilenceMs, openSeven);
    EXPECT_EQ (report.exitCode, 0) << report.out;
    EXPECT_EQ (parse (report.outLines()[0])["vnpm"]["status"].toString(), "ready") << report.out;
    const auto convert = box.run ({ "--convert", "liveprofessor", "--factory-catalog", "cat.tsv", "--plugin-probe", "leaky.sh",
                                    "--parameter-cache", "other", "--output", "out.rack2", "one.ksn" },
                                  vorntest::hangSilenceMs, openSeven);
    EXPECT_EQ (convert.outLines()[0], "PARAMETER_MIRRORS kept=0 filled=1 replaced=0 memory=0 cache=0 probed=1 repaired=0 skippedAU=0") << convert.out;
    ASSERT_TRUE (leak.existsAsFile());
    EXPECT_EQ (leak.getSize(), 0);
}

// Runs started at the same moment with one cache folder that does not exist yet: each makes it,
// and the mkdir of all but one finds it made. That folder is theirs to use, at any depth.
TEST (ParameterCacheFolder, RunsThatMakeOneCacheFolderAtOnceAllUseIt)
{
    ReportSandbox box;
    const auto report = [] (const std::string& cache)
    {
        return std::vector<std::string> { "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "probe.sh",
                                          "--parameter-cache", cache, "one.ksn" };
    };

   #if VORN_TEST_HOOKS
    // Another run's folder appears just before this run's mkdir of each folder on the way.
    for (const char* name : { "made", "deep" })
    {
        const auto r = box.run (report ("deep/made"), vorntest::hangSilenceMs, [name] { ::setenv ("VORN_TEST_FOLDER_MADE_MEANWHILE", name, 1); });
        EXPECT_EQ (r.exitCode, 0) << r.out;
        EXPECT_EQ (parse (r.outLines()[0])["vnpm"]["status"].toString(), "ready") << name << r.out;
        box.work.getChildFile ("deep").deleteRecursively();
    }
   #endif

    std::vector<vorntest::RunningProgram> runs;
    for (int i = 0; i < 8; ++i)
        runs.push_back (box.start (report ("shared/a/b/cache")));
    for (auto& running : runs)
    {
        const auto r = vorntest::finishProgram (running, vorntest::hangSilenceMs);
        EXPECT_EQ (r.exitCode, 0) << r.out;
        ASSERT_EQ (r.outLines().size(), 1) << r.out;
        EXPECT_EQ (parse (r.outLines()[0])["vnpm"]["status"].toString(), "ready") << r.out;
    }
    EXPECT_EQ (box.cacheFiles ("shared/a/b/cache"), 1);
    EXPECT_EQ (box.tmpEntries(), 0);
}

// The files the LiveProfessor runners and the report take from --plugin-probe and
// --parameter-cache: a refusal of either names the path, the option and, when something of
// another kind stands there, what the option takes. The report keeps its statuses and says the same
// in its error.
TEST (ParameterMirrorOptions, ARefusalNamesThePathTheOptionAndWhatItTakes)
{
    ReportSandbox box;
    box.write ("plain.txt", "not a program");
    ASSERT_EQ (::symlink ("nowhere", box.path ("gone").toRawUTF8()), 0); // a link to nothing
    const auto path = [&box] (const char* name) { return box.path (name); };
    const auto cacheRefusal = [&path] (const char* given, const char* inTheWay, const char* kind)
    {
        return "parameter mirror cache is unavailable: " + path (given) + ": Not a directory (" + path (inTheWay) + " is a " + kind
             + ", not a folder); --parameter-cache takes a folder";
    };
    const auto mirrorOptions = [] (const char* probe, const char* cache)
    {
        return std::vector<std::string> { "--factory-catalog", "cat.tsv", "--plugin-probe", probe, "--parameter-cache", cache };
    };

    // What plan and convert print, and the report's status with its error (or, for a partial
    // preparation, the issue of the slot).
    struct Case { const char* probe; const char* cache; juce::String runners; const char* status; juce::String report; };
    const juce::String cannotStart = "could not start isolated parameter probe " + path ("plain.txt") + ": Permission denied";
    const Case cases[] = {
        { "probe.sh", "cat.tsv", "--parameter-cache: LiveProfessor " + cacheRefusal ("cat.tsv", "cat.tsv", "file"), "failed",
          "--parameter-cache: " + cacheRefusal ("cat.tsv", "cat.tsv", "file") },
        { "probe.sh", "cat.tsv/cache", "--parameter-cache: LiveProfessor " + cacheRefusal ("cat.tsv/cache", "cat.tsv", "file"), "failed",
          "--parameter-cache: " + cacheRefusal ("cat.tsv/cache", "cat.tsv", "file") },
        { "probe.sh", "gone", "--parameter-cache: LiveProfessor " + cacheRefusal ("gone", "gone", "link"), "failed",
          "--parameter-cache: " + cacheRefusal ("gone", "gone", "link") },
        { "gone", "cache", "--plugin-probe: file not found: " + path ("gone"), "skipped",
          "--plugin-probe: parameter probe helper is unavailable: file not found: " + path ("gone") },
        { "plain.txt", "cache", "--plugin-probe: " + cannotStart + "; --plugin-probe takes the probe program", "partial", cannotStart },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.probe) + " " + c.cache);
        auto plan = mirrorOptions (c.probe, c.cache);
        plan.insert (plan.begin(), { "--plan", "liveprofessor" });
        plan.push_back ("one.ksn");
        auto convert = mirrorOptions (c.probe, c.cache);
        convert.insert (convert.begin(), { "--convert", "liveprofessor" });
        convert.insert (convert.end(), { "--output", "out.rack2", "one.ksn" });
        for (const auto& args : { plan, convert })
        {
            const auto r = box.run (args);
            EXPECT_EQ (r.exitCode, 1);
            EXPECT_EQ (vorntest::errorLines (r), juce::StringArray ("ERROR   " + c.runners)) << r.out;
        }
        auto report = mirrorOptions (c.probe, c.cache);
        report.insert (report.begin(), "--session-report");
        report.push_back ("one.ksn");
        const auto v = box.vnpm (report);
        EXPECT_EQ (v["status"].toString(), juce::String (c.status));
        EXPECT_EQ (juce::String (c.status) == "partial" ? v["issues"][0]["detail"].toString() : v["error"].toString(), c.report);
    }
    EXPECT_FALSE (box.work.getChildFile ("out.rack2").exists());
    EXPECT_EQ (box.cacheFiles ("cache"), 0);
    EXPECT_EQ (box.tmpEntries(), 0);
}

// A cache entry the run cannot put in place (its name taken by a folder): the refusal names the
// entry, the reason and the option.
TEST (ParameterMirrorOptions, ACacheEntryThatCannotBeWrittenIsNamed)
{
    ReportSandbox box;
    const std::vector<std::string> report = { "--session-report", "--factory-catalog", "cat.tsv", "--plugin-probe", "probe.sh",
                                              "--parameter-cache", "cache", "one.ksn" };
    ASSERT_EQ (box.vnpm (report)["status"].toString(), "ready");
    const auto entry = box.work.getChildFile ("cache").findChildFiles (juce::File::findFiles, false, "*.vnpm")[0];
    ASSERT_TRUE (entry.deleteFile());
    ASSERT_TRUE (entry.createDirectory());

    const auto converted = box.run ({ "--convert", "liveprofessor", "--factory-catalog", "cat.tsv", "--plugin-probe", "probe.sh",
                                      "--parameter-cache", "cache", "--output", "out.rack2", "one.ksn" });
    EXPECT_EQ (converted.exitCode, 1);
    EXPECT_EQ (vorntest::errorLines (converted),
               juce::StringArray ("ERROR   --parameter-cache: could not atomically update parameter mirror cache "
                                  + entry.getFullPathName() + ": Is a directory"))
        << converted.out;
    const auto v = box.vnpm (report);
    EXPECT_EQ (v["status"].toString(), "partial");
    EXPECT_EQ (v["issues"][0]["detail"].toString(),
               "could not atomically update parameter mirror cache " + entry.getFullPathName() + ": Is a directory");
    EXPECT_FALSE (box.work.getChildFile ("out.rack2").exists());
    EXPECT_EQ (vorntest::entriesOf (box.work.getChildFile ("cache")), juce::StringArray (entry.getFileName()));
}
