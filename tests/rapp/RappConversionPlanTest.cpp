#include "rapp/RappConversionPlan.h"

#include "app/HostRegistry.h"
#include "rapp/HostRules.h"
#include "rapp/LiveProfessorPluginCatalog.h"
#include "rapp/Vst3ModuleIndex.h"

#include "RackBuilders.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

using namespace vornconv;
using namespace vornconv::rapp;
using vorntest::proven;

namespace
{


const juce::String cidA = "0123456789ABCDEF0123456789ABCDEF";
const juce::String cidB = "00112233445566770011223344556677";
const juce::File eqBundle ("/plugins/EQ.vst3");
const float notANumber = std::numeric_limits<float>::quiet_NaN();

juce::String u (const char* s) { return juce::String::fromUTF8 (s); }

std::string issueText (int severity, const juce::String& code, const juce::String& message)
{
    return (severity == 0 ? "BLOCKER " : "WARNING ") + code.toStdString() + " / " + message.toStdString();
}
std::string B (const juce::String& code, const char* message) { return issueText (0, code, u (message)); }
std::string B (const juce::String& code, const juce::String& message) { return issueText (0, code, message); }
std::string W (const juce::String& code, const char* message) { return issueText (1, code, u (message)); }
std::string W (const juce::String& code, const juce::String& message) { return issueText (1, code, message); }

const std::string hostLoad = W ("target.hostLoad", "converter exact reread는 통과 가능하지만 실제 host load/DSP 검증 전에는 candidate다");
const juce::String eqCode = "strip 0, slot 0 (EQ)";

juce::MemoryBlock someBytes() { return juce::MemoryBlock ("state", 5); }

RackStrip makeStrip (int index)
{
    return proven (vorntest::strip (index, "Strip " + juce::String (index)));
}

PluginRef vst3Plugin (const juce::String& name, const juce::String& classId)
{
    auto p = vorntest::vst3Slot (classId, name, "Acme");
    p.file = eqBundle;
    p.state = vorntest::vst3State (PluginStateEncoding::vst3Container, "state");
    return proven (p);
}

PluginRef auPlugin (const juce::String& name)
{
    auto p = vorntest::auSlot (name, "aufx", "dely", "Acme");
    p.vendor = "Acme";
    p.state.encoding = PluginStateEncoding::audioUnitPlist;
    p.state.raw = someBytes();
    return proven (p);
}

// A clean session: strip 0 holds one VST3 plug-in that the module index knows and reports
// available and that LiveProfessor's list holds once; strip 1 is empty (a sidechain source).
struct Fixture
{
    RackReadResult source;
    Vst3ModuleIndex index;
    LiveProfessorPluginCatalog catalog;
    DeploymentProfile profile { 64, 8, 0, 0 };
    bool withProfile = true;
    bool withCatalog = true;

    Fixture()
    {
        auto strip = makeStrip (0);
        strip.plugins.add (vst3Plugin ("EQ", cidA));
        source = vorntest::completeRead ("vorn.ksn", { strip, makeStrip (1) });

        auto entry = vorntest::installedModule (cidA, "EQ", eqBundle);
        entry.vendor = "Acme";
        index.addOrReplace (entry);

        catalog.entries.add (catalogEntry ("VST3", "EQ", 2));
    }

    LiveProfessorPluginEntry catalogEntry (const juce::String& format, const juce::String& name, int numInputs)
    {
        LiveProfessorPluginEntry e;
        e.format = format;
        e.name = name;
        e.numInputs = numInputs;
        e.numOutputs = 2;
        if (format == "VST3")
        {
            e.bundle = eqBundle;
            e.file = eqBundle.getFullPathName();
            e.uniqueId = deriveUniqueId (cidA);
            e.uid = deriveUid (cidA);
        }
        else
        {
            const auto au = auPlugin (name);
            e.auType = au.auType;
            e.auSubtype = au.auSubtype;
            e.auManufacturer = au.auManufacturer;
            e.uniqueId = e.uid = 7;
        }
        return e;
    }

    RackSession& session() { return source.session; }
    RackStrip& strip (int i = 0) { return source.session.strips.getReference (i); }
    PluginRef& slot (int s = 0) { return strip (0).plugins.getReference (s); }

    // The preflight for the host of target, with its rules as its record gives them; a value no
    // host has gets rules that are no host's.
    ConversionPlan run (Target target) const
    {
        HostRules noHost;
        noHost.target = target;
        const auto* host = app::hostOf (target);
        const SideInput pluginList = catalog;
        return inspect (source, host != nullptr ? host->rules : noHost, index, withProfile ? &profile : nullptr,
                        withCatalog ? &pluginList : nullptr);
    }
};

std::vector<std::string> issuesOf (const ConversionPlan& plan)
{
    std::vector<std::string> out;
    for (const auto& issue : plan.issues)
        out.push_back (issueText (issue.severity, issue.code, issue.message));
    return out;
}

struct Case
{
    const char* name;
    std::function<void (Fixture&)> change;
    std::vector<std::string> issues;
};

void runTable (Target target, const std::vector<Case>& cases)
{
    for (const auto& c : cases)
    {
        Fixture f;
        c.change (f);
        const auto plan = f.run (target);
        EXPECT_EQ (issuesOf (plan), c.issues) << (int) target << ": " << c.name;
        bool blocked = false;
        for (const auto& issue : plan.issues)
            blocked = blocked || issue.severity == severityBlocker;
        EXPECT_EQ (plan.canWrite(), ! blocked) << c.name;
    }
}

void addPatch (RackStrip& strip, bool isInput, int rack, int physical)
{
    strip.routePatches.add ({ isInput, rack, physical });
}

} // namespace

// The name a plan gives each target, and the capacity its plan starts from: fixed, or shaped by
// the profile (0 x 0 until one is given).
TEST (RappConversionPlan, TargetsAndCapacities)
{
    const struct { Target target; const char* name; int strips, slots; bool fixed; } rows[] = {
        { targetVornScene, "Vorn Live (.ksn)", 64, 8, true },
        { targetSuperRackPerformer, "SuperRack Performer (.sprk)", 64, 8, true },
        { targetLiveProfessor, "LiveProfessor (.rack2)", 0, 0, false },
        { targetReaper, "REAPER (.rpp)", 0, 0, false },
    };
    for (const auto& r : rows)
    {
        const auto* host = app::hostOf (r.target);
        ASSERT_NE (host, nullptr) << r.name;
        EXPECT_EQ (juce::String (host->targetName), r.name);
        Fixture f;
        f.withProfile = false;
        const auto c = f.run (r.target).capacity;
        EXPECT_EQ (c.strips, r.strips) << r.name;
        EXPECT_EQ (c.slots, r.slots) << r.name;
        EXPECT_EQ (c.fixed, r.fixed) << r.name;
    }
    EXPECT_EQ (app::hostOf ((Target) -1), nullptr);
}

TEST (RappConversionPlan, UnknownTargetIsNeverWritable)
{
    Fixture f;
    const auto plan = f.run ((Target) -1);
    EXPECT_EQ (issuesOf (plan), std::vector<std::string> { B ("target", "unknown conversion target: -1") });
    EXPECT_FALSE (plan.canWrite());
}

TEST (RappConversionPlan, CleanSessionPassesEveryTarget)
{
    for (const auto* host : app::hosts())
    {
        Fixture f;
        const auto plan = f.run (host->target);
        EXPECT_EQ (issuesOf (plan), std::vector<std::string> { hostLoad }) << host->targetWord;
        EXPECT_TRUE (plan.canWrite());
        EXPECT_EQ (plan.plugins, 1);
        EXPECT_EQ (plan.statePortable, 1);
        EXPECT_EQ (plan.identityResolved, 1);
        EXPECT_TRUE (plan.capacity.fixed);
        EXPECT_EQ (plan.capacity.strips, 64);
    }
}

TEST (RappConversionPlan, SessionLevelFindings)
{
    const auto coverageMsg = [] (const char* entries) { return u ("source reader가 의미를 증명하지 못한 필드: ") + entries; };
    auto note = [] (Fixture& f, Fidelity fidelity, const char* code) { f.session().notes.add (fidelity, code, "colour\nlost"); };
    auto snapshots = [] (Fixture& f, int first, int second) { f.session().snapshots.add ({ first, "A", {} }); f.session().snapshots.add ({ second, "B", {} }); };
    auto performer = [] (Fixture& f) { f.session().sourceFormat = "waves.sprk"; f.session().sourceApp = "SuperRack Performer"; };
    const auto severalSnapshots = B ("source.snapshots", "여러 snapshot의 개별 mixer/plugin 상태를 아직 IR에 보존하지 못한다");

    runTable (targetVornScene, {
        { "reader failed: nothing else is inspected",
          [] (Fixture& f) { f.source.ok = false; f.source.status = 0; f.source.error = "XML parse failed"; f.strip().index = 99; },
          { B ("source", "입력 리더가 실패했다: XML parse failed") } },
        { "reader error stays one line", [] (Fixture& f) { f.source.ok = false; f.source.error = "bad\r\nline"; },
          { B ("source", "입력 리더가 실패했다: bad\\r\\nline") } },
        { "partial read is inspected in full", [] (Fixture& f) { f.source.status = readPartial; f.strip().index = 64; },
          { B ("source", "입력 세션의 변환 필수 상태를 완전히 증명하지 못해 RAPP writer를 막았다"), hostLoad, B ("strip 64", "대상 호스트의 64-strip capacity를 초과한다") } },
        { "dropped Dugan note", [&] (Fixture& f) { note (f, Fidelity::dropped, "dugan.disabled"); },
          { W ("dugan.disabled", "colour\\nlost"), hostLoad } },
        { "dropped colour note", [&] (Fixture& f) { note (f, Fidelity::dropped, "ui.channelColour"); },
          { W ("ui.channelColour", "colour\\nlost"), hostLoad } },
        { "approximate note is not passed on", [&] (Fixture& f) { note (f, Fidelity::approx, "dugan.disabled"); }, { hostLoad } },
        { "undock note on the scene target", [&] (Fixture& f) { note (f, Fidelity::dropped, "ui.pluginUndock"); },
          { W ("ui.pluginUndock", "colour\\nlost"), hostLoad } },
        { "other notes", [&] (Fixture& f) { note (f, Fidelity::dropped, "plugin.identity"); }, { hostLoad } },
        { "docking omission allowed for the scene", [] (Fixture& f) { f.session().pluginUndockExclusions = 2; }, { hostLoad } },
        { "strip coverage in key order", [] (Fixture& f) {
              f.strip (1).coverage.route = false; f.strip (0).coverage.name = false; f.strip (1).coverage.name = false;
              f.strip (1).sourceParameters.add ({ "x", "1" }); f.strip (1).sourceParameters.add ({ "y", "2" }); },
          { B ("source.stripCoverage", coverageMsg ("name=2, nativeParameters=2, route=1")), hostLoad } },
        { "plugin coverage", [] (Fixture& f) { f.slot().coverage.state = false; f.slot().coverage.activation = false;
                                              f.strip().plugins.add (PluginRef()); },
          { B ("source.pluginCoverage", coverageMsg ("activation=1, state=1")), hostLoad } },
        // A slot's fields start unproven: what no reader proved blocks.
        { "a slot no reader proved", [] (Fixture& f) { auto unproven = f.slot(); unproven.coverage = PluginCoverage(); f.strip().plugins.add (unproven); },
          { B ("source.pluginCoverage", coverageMsg ("activation=1, identity=1, mute=1, sidechain=1, state=1")), hostLoad } },
        { "two snapshots", [&] (Fixture& f) { snapshots (f, 1, 2); }, { hostLoad, severalSnapshots } },
        { "one snapshot", [] (Fixture& f) { f.session().snapshots.add ({ 1, "A", {} }); }, { hostLoad } },
        { "Performer active snapshot only", [&] (Fixture& f) { performer (f); snapshots (f, -1, 3); },
          { hostLoad, W ("source.snapshots", "Saved snapshots excluded; Active state only") } },
        { "Performer without one active snapshot", [&] (Fixture& f) { performer (f); snapshots (f, -1, -1); },
          { hostLoad, severalSnapshots } },
        { "SoundGrid snapshots", [&] (Fixture& f) { performer (f); f.session().sourceApp = "SuperRack SoundGrid"; snapshots (f, -1, 3); },
          { hostLoad, severalSnapshots } },
    });

    runTable (targetSuperRackPerformer, {
        { "docking omission", [] (Fixture& f) { f.session().pluginUndockExclusions = 1; },
          { B ("source.ui.pluginUndock", "Performer window docking omission is only authorized for Vorn Live"), hostLoad } },
        { "undock note only for the scene", [&] (Fixture& f) { note (f, Fidelity::dropped, "ui.pluginUndock"); }, { hostLoad } },
        { "Performer snapshots on another target", [&] (Fixture& f) { performer (f); snapshots (f, -1, 3); },
          { hostLoad, severalSnapshots } },
    });
}

TEST (RappConversionPlan, SuperRackDiagnostics)
{
    runTable (targetVornScene, {
        { "pending reasons", [] (Fixture& f) {
              f.session().sourceFormat = "waves.sprk";
              f.slot().name = "Comp\tX\r\n" + juce::String::repeatedString ("n", 200);
              f.slot().coverage.sidechain = false;
              f.slot().pendingSidechainReason = "no route\x01";
              f.slot().coverage.state = false;
              f.slot().pendingStateReason = "stale";
              f.strip (1).sourceParameters.add ({ "Fader", "0" });
              f.strip (1).sourceParameters.add ({ "", "1" });
              f.strip (0).sourceParameters.add ({ "Fader", "2" }); },
          { B ("source.stripCoverage", "source reader가 의미를 증명하지 못한 필드: nativeParameters=3"),
            B ("source.pluginCoverage", "source reader가 의미를 증명하지 못한 필드: sidechain=1, state=1"),
            W ("source.diagnostic strip 0, slot 0 (Comp X  " + juce::String::repeatedString ("n", 120) + ")", "sidechain: no route\\x01"),
            W ("source.diagnostic strip 0, slot 0 (Comp X  " + juce::String::repeatedString ("n", 120) + ")", "identity=known; state: stale"),
            W ("source.nativeParameterNames", "unmapped Active mixer fields: <empty>=1, Fader=2"),
            hostLoad } },
    });
}

TEST (RappConversionPlan, VornSceneTarget)
{
    const auto trim = B ("strip 0", "Vorn Live trim range is -24..+12 dB; gain is not clamped");
    const auto multiPatch = B ("strip 1", "Vorn는 동일 rack channel의 다중 physical patch를 저장하지 못한다");
    auto sidechain = [] (Fixture& f, int kind, int source) { f.slot().sidechainKind = kind; f.slot().sidechainSource = source; };
    const auto accepted = W (eqCode, "sidechain 입력 경로는 저장되지만 플러그인의 auxiliary bus 활성화, 채널 폭과 실신호 동등성은 실제 호스트에서 검증해야 한다");
    const auto unproven = B (eqCode, "Vorn sidechain source 또는 입력 L 라우팅을 확인할 수 없다");

    runTable (targetVornScene, {
        { "strip beyond capacity", [] (Fixture& f) { f.strip (1).index = 64; },
          { hostLoad, B ("strip 64", "대상 호스트의 64-strip capacity를 초과한다") } },
        { "negative strip index", [] (Fixture& f) { f.strip (1).index = -1; }, { hostLoad, B ("strip -1", "strip index is negative and cannot be placed in the target host") } },
        { "duplicate strip index", [] (Fixture& f) { f.strip (1).index = 0; }, { hostLoad, B ("strip 0", "strip index is shared with an earlier strip; the strips cannot be told apart") } },
        { "more than stereo", [] (Fixture& f) { f.strip (1).outputChannels = 3; }, { hostLoad, B ("strip 1", "RAPP v1은 mono/stereo chain만 지원한다") } },
        { "trim +12 passes", [] (Fixture& f) { f.strip().inputGainDb = 12.0f; }, { hostLoad } },
        { "trim -24 passes", [] (Fixture& f) { f.strip().outputGainDb = -24.0f; }, { hostLoad } },
        { "trim +12.0001", [] (Fixture& f) { f.strip().inputGainDb = 12.0001f; }, { hostLoad, trim } },
        { "trim -24.01", [] (Fixture& f) { f.strip().outputGainDb = -24.01f; }, { hostLoad, trim } },
        { "trim NaN", [] (Fixture& f) { f.strip().inputGainDb = notANumber; }, { hostLoad, trim } },
        { "trim infinite", [] (Fixture& f) { f.strip().outputGainDb = std::numeric_limits<float>::infinity(); }, { hostLoad, trim } },
        { "two channels on one rack channel", [] (Fixture& f) { addPatch (f.strip (1), true, 0, 2); addPatch (f.strip (1), true, 0, 3); },
          { hostLoad, multiPatch } },
        { "three channels on one rack channel", [] (Fixture& f) { for (int p : { 2, 3, 4 }) addPatch (f.strip (1), false, 1, p); },
          { hostLoad, multiPatch } },
        { "a repeated patch is one channel", [] (Fixture& f) { addPatch (f.strip (1), true, 0, 2); addPatch (f.strip (1), true, 0, 2); },
          { hostLoad } },
        { "left and right are different rack channels", [] (Fixture& f) {
              addPatch (f.strip (1), true, 0, 2); addPatch (f.strip (1), true, 1, 3); addPatch (f.strip (1), false, 0, 2); addPatch (f.strip (1), true, 0, -1); },
          { hostLoad } },
        { "slot beyond capacity", [] (Fixture& f) { f.strip().plugins.resize (8); f.strip().plugins.add (PluginRef (f.slot())); },
          { hostLoad, B ("strip 0, slot 8", "대상 호스트의 채널당 8-slot capacity를 초과한다 — 잘라내지 않는다") } },
        { "unsupported format", [] (Fixture& f) { f.slot().format = "VST"; }, { hostLoad, B (eqCode, "지원하지 않는 플러그인 포맷은 대상 호스트에 이식하지 않는다") } },
        { "missing component", [] (Fixture& f) { f.slot().state.component.reset(); }, { hostLoad, B (eqCode, "Comp 상태 스트림이 없어 플러그인 상태를 이식할 수 없다") } },
        { "complete AU", [] (Fixture& f) { f.slot() = auPlugin ("EQ"); }, { hostLoad } },
        { "AudioUnit word", [] (Fixture& f) { f.slot() = auPlugin ("EQ"); f.slot().format = "AudioUnit"; }, { hostLoad } },
        { "AU without plist", [] (Fixture& f) { f.slot() = auPlugin ("EQ"); f.slot().state.encoding = PluginStateEncoding::opaque; },
          { hostLoad, B (eqCode, "AU ClassInfo 상태 또는 component identity가 완전하지 않다") } },
        { "AU without manufacturer", [] (Fixture& f) { f.slot() = auPlugin ("EQ"); f.slot().auManufacturer = 0; },
          { hostLoad, B (eqCode, "AU ClassInfo 상태 또는 component identity가 완전하지 않다") } },
        { "plug-in mute", [] (Fixture& f) { f.slot().muted = true; }, { hostLoad, B (eqCode, "Vorn slot에는 SuperRack plugin mute의 동등 필드가 없다") } },
        { "inactive is kept", [] (Fixture& f) { f.slot().inactive = true; }, { hostLoad } },
        { "physical sidechain 255", [&] (Fixture& f) { sidechain (f, 1, 255); }, { hostLoad, accepted } },
        { "physical sidechain 256", [&] (Fixture& f) { sidechain (f, 1, 256); }, { hostLoad, unproven } },
        { "legacy sidechain with input L", [&] (Fixture& f) { sidechain (f, 0, 1); f.strip (1).routeInL = 0; }, { hostLoad, accepted } },
        { "legacy sidechain without input L", [&] (Fixture& f) { sidechain (f, 0, 1); }, { hostLoad, unproven } },
        { "legacy sidechain with unproven route", [&] (Fixture& f) { sidechain (f, 0, 1); f.strip (1).routeInL = 0; f.strip (1).coverage.route = false; },
          { B ("source.stripCoverage", "source reader가 의미를 증명하지 못한 필드: route=1"), hostLoad, unproven } },
        { "rack sidechain from a strip", [&] (Fixture& f) { sidechain (f, 2, 1); }, { hostLoad, accepted } },
        { "rack sidechain from a missing strip", [&] (Fixture& f) { sidechain (f, 3, 5); }, { hostLoad, unproven } },
        { "rack sidechain beyond capacity", [&] (Fixture& f) { sidechain (f, 2, 70); f.strip (1).index = 70; },
          { hostLoad, unproven, B ("strip 70", "대상 호스트의 64-strip capacity를 초과한다") } },
        { "unknown sidechain kind", [&] (Fixture& f) { sidechain (f, 7, 1); }, { hostLoad, B (eqCode, "sidechain kind is not legacy, physical, rackPre or rackPost and cannot be carried over") } },
        { "class not in the index", [] (Fixture& f) { f.slot().classId = cidB; }, { hostLoad, B (eqCode, "factory cache에 target identity가 없어 inactive placeholder를 만들 수 없다") } },
        { "class unavailable", [] (Fixture& f) { f.index.entries.getReference (0).available = false; }, { hostLoad, W (eqCode, "최신 factory cache에 없어 inactive로 기록한다") } },
        { "slot unavailable", [] (Fixture& f) { f.slot().unavailable = true; }, { hostLoad, W (eqCode, "최신 factory cache에 없어 inactive로 기록한다") } },
        { "class resolved from unique id", [] (Fixture& f) { f.slot().classId = {}; f.slot().uniqueId = deriveUniqueId (cidA); }, { hostLoad } },
        { "class unresolved", [] (Fixture& f) { f.slot().classId = {}; f.slot().uniqueId = 5; f.slot().file = juce::File ("/plugins/Other.vst3"); },
          { hostLoad, B (eqCode, "설치된 VST3 moduleinfo와 CID를 고유하게 검증하지 못했다") } },
        { "class unresolved but bundle known", [] (Fixture& f) {
              f.slot().classId = {}; f.slot().uniqueId = 0x1a2b; f.slot().deprecatedUid = 0; f.index.entries.getReference (0).uniqueId = 0xffffffffu;
              f.index.entries.getReference (0).uid = 0x00c0ffeeu; },
          { hostLoad, B (eqCode, "저장 ID (1a2b, 0)와 현재 bundle factory ID (ffffffff, c0ffee)가 다르다. 상태를 다른 CID에 쓰지 않는다") } },
        { "slot name is escaped in the code", [] (Fixture& f) { f.slot().name = "E\nQ"; f.slot().muted = true; },
          { hostLoad, B ("strip 0, slot 0 (E\\nQ)", "Vorn slot에는 SuperRack plugin mute의 동등 필드가 없다") } },
    });
}

TEST (RappConversionPlan, VornSceneSidechainCycle)
{
    auto postFader = [] (Fixture& f, int strip, int source) {
        auto p = vst3Plugin ("EQ", cidA);
        p.sidechainKind = sidechainRackPost;
        p.sidechainSource = source;
        f.strip (strip).plugins.add (p);
    };
    const auto accepted = [] (int strip, int slot) {
        return W ("strip " + juce::String (strip) + ", slot " + juce::String (slot) + " (EQ)", "sidechain 입력 경로는 저장되지만 플러그인의 auxiliary bus 활성화, 채널 폭과 실신호 동등성은 실제 호스트에서 검증해야 한다");
    };
    const auto cycle = B ("source.sidechainCycle", "VORN Live Post-FX sidechain dependencies contain a cycle");

    runTable (targetVornScene, {
        { "two strips feeding each other", [&] (Fixture& f) { f.session().strips.add (makeStrip (5)); postFader (f, 1, 5); postFader (f, 2, 1); },
          { hostLoad, accepted (1, 0), accepted (5, 0), cycle } },
        { "a chain is no cycle", [&] (Fixture& f) { f.session().strips.add (makeStrip (5)); postFader (f, 1, 5); postFader (f, 2, 0); },
          { hostLoad, accepted (1, 0), accepted (5, 0) } },
        { "a strip feeding itself", [&] (Fixture& f) { postFader (f, 1, 1); }, { hostLoad, accepted (1, 0), cycle } },
        { "a disabled feed breaks the cycle", [&] (Fixture& f) { postFader (f, 1, 1); f.strip (1).plugins.getReference (0).sidechainEnabled = false; },
          { hostLoad, accepted (1, 0) } },
        { "strips outside the graph are ignored", [&] (Fixture& f) {
              f.strip (1).index = -3; postFader (f, 1, 0); f.session().strips.add (makeStrip (90)); postFader (f, 2, 90); },
          { hostLoad, B ("strip -3", "strip index is negative and cannot be placed in the target host"), accepted (-3, 0),
            B ("strip 90", "대상 호스트의 64-strip capacity를 초과한다"), B ("strip 90, slot 0 (EQ)", "Vorn sidechain source 또는 입력 L 라우팅을 확인할 수 없다") } },
    });
}

TEST (RappConversionPlan, SuperRackPerformerTarget)
{
    const auto fields = [] (const char* list) { return B ("strip 0", u ("SuperRack one-change fixture가 아직 없는 non-default field: ") + list); };
    const auto waves = B (eqCode, "Waves plug-ins cannot be transferred to SuperRack Performer");
    auto legacySidechain = [] (Fixture& f) { f.slot().sidechainSource = 1; };
    const auto patchUnknown = B (eqCode, "sidechain source strip의 physical input L patch가 하나로 확정되지 않았다");

    runTable (targetSuperRackPerformer, {
        { "pan 0.50005 passes", [] (Fixture& f) { f.strip().pan = 0.50005f; }, { hostLoad } },
        { "pan 0.5002", [] (Fixture& f) { f.strip().pan = 0.5002f; }, { hostLoad, fields ("pan") } },
        { "pan NaN", [] (Fixture& f) { f.strip().pan = notANumber; }, { hostLoad, fields ("pan") } },
        { "gain NaN", [] (Fixture& f) { f.strip().inputGainDb = notANumber; }, { hostLoad, fields ("inputGain") } },
        { "every field in order", [] (Fixture& f) { f.strip().soloed = f.strip().muted = true; f.strip().pan = 0.0f; f.strip().inputGainDb = -3.0f; },
          { hostLoad, fields ("inputGain, pan, mute, solo") } },
        { "output gain is not listed", [] (Fixture& f) { f.strip().outputGainDb = -3.0f; }, { hostLoad } },
        { "vendor Waves Audio", [] (Fixture& f) { f.index.entries.getReference (0).vendor = "Waves Audio"; }, { hostLoad, waves } },
        { "vendor WAVES with blanks", [] (Fixture& f) { f.index.entries.getReference (0).vendor = " WAVES "; }, { hostLoad, waves } },
        { "vendor WavesLib", [] (Fixture& f) { f.index.entries.getReference (0).vendor = "WavesLib"; }, { hostLoad } },
        { "slot vendor when the entry has none", [] (Fixture& f) { f.index.entries.getReference (0).vendor = {}; f.slot().vendor = "waves"; },
          { hostLoad, waves } },
        { "entry vendor wins over the slot's", [] (Fixture& f) { f.slot().vendor = "Waves"; }, { hostLoad } },
        { "WaveShell bundle", [] (Fixture& f) { f.index.entries.getReference (0).bundle = juce::File ("/p/WaveShell1-VST3 14.vst3"); },
          { hostLoad, waves } },
        { "unindexed slot uses its own vendor", [] (Fixture& f) { f.slot().classId = cidB; f.slot().vendor = "Waves"; }, { hostLoad, waves } },
        { "inactive slot", [] (Fixture& f) { f.slot().inactive = true; }, { hostLoad, B (eqCode, "Vorn inactive slot은 SuperRack bypass/disabled와 동등성이 검증되지 않았다") } },
        { "inactive because unavailable", [] (Fixture& f) { f.slot().inactive = f.slot().unavailable = true; },
          { hostLoad, W (eqCode, "최신 factory cache에 없어 inactive로 기록한다") } },
        { "AU is kept unavailable", [] (Fixture& f) { f.slot() = auPlugin ("EQ"); f.slot().muted = true; },
          { hostLoad, W (eqCode, "SuperRack Performer는 AU를 지원하지 않아 해당 슬롯을 사용 불가/비활성으로 보존한다") } },
        { "schema-2 sidechain", [] (Fixture& f) { f.slot().sidechainSource = 1; f.slot().sidechainKind = sidechainRackPre; },
          { hostLoad, B (eqCode, "This target has not verified schema-2 sidechain source semantics") } },
        { "disabled sidechain", [] (Fixture& f) { f.slot().sidechainSource = 1; f.slot().sidechainEnabled = false; },
          { hostLoad, B (eqCode, "This target has not verified schema-2 sidechain source semantics"), patchUnknown } },
        { "legacy sidechain with one input L patch", [&] (Fixture& f) { legacySidechain (f); addPatch (f.strip (1), true, 0, 4); addPatch (f.strip (1), true, 1, 5); },
          { hostLoad } },
        { "legacy sidechain without a patch", [&] (Fixture& f) { legacySidechain (f); f.strip (1).routeInL = 4; }, { hostLoad, patchUnknown } },
        { "legacy sidechain with two input L patches", [&] (Fixture& f) { legacySidechain (f); addPatch (f.strip (1), true, 0, 4); addPatch (f.strip (1), true, 0, 6); },
          { hostLoad, patchUnknown } },
        { "legacy sidechain from a missing strip", [] (Fixture& f) { f.slot().sidechainSource = 9; }, { hostLoad, patchUnknown } },
        { "identity through the index", [] (Fixture& f) { f.slot().classId = cidB; }, { hostLoad, B (eqCode, "factory cache에 target identity가 없어 inactive placeholder를 만들 수 없다") } },
    });
}

TEST (RappConversionPlan, LiveProfessorTarget)
{
    const auto unlinked = B (eqCode, "VST3 CID를 현재 설치 모듈과 LiveProfessor KnownPluginList에 고유하게 연결하지 못했다");
    const auto chainRule = B (eqCode, "LiveProfessor chain sidechain은 catalog상 추가 input bus를 가진 stereo target plugin 하나에만 고유하게 도달해야 한다");
    const auto catalogMissing = B ("target.catalog", "LiveProfessor KnownPluginList catalog가 제공되지 않았다");
    auto sidechainFrom = [] (PluginRef& p, int source) { p.sidechainSource = source; };

    runTable (targetLiveProfessor, {
        { "no profile: no strip or slot checks", [] (Fixture& f) { f.withProfile = false; f.strip().pan = 0.0f; f.source.status = readPartial; },
          { B ("source", "입력 세션의 변환 필수 상태를 완전히 증명하지 못해 RAPP writer를 막았다"), hostLoad, B ("target.profile", "가변 구조 호스트의 source-shaped output profile이 제공되지 않았다") } },
        { "profile without slots", [] (Fixture& f) { f.profile.slots = 0; }, { hostLoad, B ("target.profile", "가변 구조 호스트의 source-shaped output profile이 제공되지 않았다") } },
        // A strip starts unproven, and centred, stereo and unrouted, which asks nothing of a
        // target that has no pan and needs --io for a route: only what no reader proved blocks.
        { "a strip no reader filled", [] (Fixture& f) { RackStrip unread; unread.index = 2; f.session().strips.add (unread); },
          { B ("source.stripCoverage", "source reader가 의미를 증명하지 못한 필드: bypass=1, channelLayout=1, inputGain=1, mute=1, name=1, "
                                       "outputGain=1, pan=1, route=1, solo=1"),
            hostLoad } },
        { "profile capacity", [] (Fixture& f) { f.profile.strips = 1; }, { hostLoad, B ("strip 1", "대상 호스트의 1-strip capacity를 초과한다") } },
        { "pan", [] (Fixture& f) { f.strip (1).pan = 0.6f; }, { hostLoad, B ("strip 1", "LiveProfessor chain에는 pan 동등 필드가 없다") } },
        { "pan NaN", [] (Fixture& f) { f.strip (1).pan = notANumber; }, { hostLoad, B ("strip 1", "LiveProfessor chain에는 pan 동등 필드가 없다") } },
        { "routing without io", [] (Fixture& f) { f.strip (1).routeOutR = 0; },
          { hostLoad, B ("target.io", "물리 라우팅을 보존하려면 대상 호스트 입출력 용량을 --io <inputs>x<outputs>로 명시해야 한다") } },
        { "routing within io", [] (Fixture& f) { f.profile.ioInputs = f.profile.ioOutputs = 8; f.strip (1).routeInL = 7; f.strip (1).routeOutR = 7; },
          { hostLoad } },
        { "routing beyond io, outputs first", [] (Fixture& f) {
              f.profile.ioInputs = 4; f.profile.ioOutputs = 8;
              addPatch (f.strip (1), true, 1, 4); addPatch (f.strip (1), false, 0, 8); addPatch (f.strip (1), true, 0, 9); addPatch (f.strip (1), true, 0, 1); },
          { hostLoad,
            B ("strip 1", "물리 output 8번이 대상 I/O capacity 8ch를 초과한다"),
            B ("strip 1", "물리 input 9번이 대상 I/O capacity 4ch를 초과한다"),
            B ("strip 1", "물리 input 4번이 대상 I/O capacity 4ch를 초과한다") } },
        { "mono strip ignores its right route", [] (Fixture& f) { f.profile.ioInputs = f.profile.ioOutputs = 2; f.strip (1).inputChannels = 1; f.strip (1).routeInR = 5; },
          { hostLoad } },
        { "no catalog: one issue per slot", [] (Fixture& f) { f.withCatalog = false; f.strip().plugins.add (PluginRef (f.slot())); f.strip().plugins.add (PluginRef()); },
          { hostLoad, catalogMissing, catalogMissing } },
        { "VST3 not in the catalog", [] (Fixture& f) { f.catalog.entries.clear(); }, { hostLoad, unlinked } },
        { "VST3 twice in the catalog", [] (Fixture& f) { f.catalog.entries.add (f.catalog.entries[0]); }, { hostLoad, unlinked } },
        { "VST3 class not in the index", [] (Fixture& f) { f.slot().classId = cidB; }, { hostLoad, unlinked } },
        { "AU in the catalog", [] (Fixture& f) { f.slot() = auPlugin ("EQ"); f.catalog.entries.add (f.catalogEntry ("AU", "EQ", 2)); },
          { hostLoad } },
        { "AU not in the catalog", [] (Fixture& f) { f.slot() = auPlugin ("EQ"); }, { hostLoad, B (eqCode, "AU identity를 LiveProfessor KnownPluginList에 고유하게 연결하지 못했다") } },
        { "class unavailable", [] (Fixture& f) { f.index.entries.getReference (0).available = false; }, { hostLoad, W (eqCode, "최신 factory cache에 없어 LiveProfessor에서 inactive로 기록한다") } },
        { "slot unavailable", [] (Fixture& f) { f.slot().unavailable = true; }, { hostLoad, W (eqCode, "최신 factory cache에 없어 LiveProfessor에서 inactive로 기록한다") } },
        { "chain sidechain into a wide plug-in", [&] (Fixture& f) { f.catalog.entries.getReference (0).numInputs = 4; sidechainFrom (f.slot(), 1); },
          { hostLoad } },
        { "chain sidechain into a plug-in without a side bus", [&] (Fixture& f) { sidechainFrom (f.slot(), 1); }, { hostLoad, chainRule } },
        { "chain sidechain without a catalog", [&] (Fixture& f) { f.withCatalog = false; f.catalog.entries.getReference (0).numInputs = 4; sidechainFrom (f.slot(), 1); },
          { hostLoad, chainRule, catalogMissing } },
        { "chain sidechain from itself", [&] (Fixture& f) { f.catalog.entries.getReference (0).numInputs = 4; sidechainFrom (f.slot(), 0); },
          { hostLoad, B (eqCode, "LiveProfessor sidechain source strip이 유효하지 않다") } },
        { "chain sidechain from a strip without outputs", [&] (Fixture& f) {
              f.catalog.entries.getReference (0).numInputs = 4; sidechainFrom (f.slot(), 1); f.strip (1).outputChannels = 0; },
          { hostLoad, B (eqCode, "LiveProfessor sidechain source strip이 유효하지 않다") } },
        { "two sidechained slots", [&] (Fixture& f) {
              f.catalog.entries.getReference (0).numInputs = 4; sidechainFrom (f.slot(), 1); f.strip().plugins.add (PluginRef (f.slot())); },
          { hostLoad, chainRule, B ("strip 0, slot 1 (EQ)", "LiveProfessor chain sidechain은 catalog상 추가 input bus를 가진 stereo target plugin 하나에만 고유하게 도달해야 한다") } },
        { "mono strip with two slots", [&] (Fixture& f) {
              f.catalog.entries.getReference (0).numInputs = 2; f.strip().inputChannels = 1; sidechainFrom (f.slot(), 1);
              f.strip().plugins.add (f.strip().plugins[0]); f.strip().plugins.getReference (1).sidechainSource = -1; },
          { hostLoad, chainRule } },
        { "mono strip with one slot", [&] (Fixture& f) { f.strip().inputChannels = 1; sidechainFrom (f.slot(), 1); }, { hostLoad } },
    });
}

TEST (RappConversionPlan, ReaperTarget)
{
    const auto fields = [] (const char* list) { return B ("strip 1", u ("REAPER v1 template proof 범위 밖 필드: ") + list); };
    const auto sidechainRule = [] (int slot) { return B ("strip 0, slot " + juce::String (slot) + " (EQ)", "REAPER track은 유효한 non-self sidechain target 하나만 허용한다"); };

    runTable (targetReaper, {
        { "no profile", [] (Fixture& f) { f.withProfile = false; }, { hostLoad, B ("target.profile", "가변 구조 호스트의 source-shaped output profile이 제공되지 않았다") } },
        { "mono strip passes", [] (Fixture& f) { f.strip (1).inputChannels = f.strip (1).outputChannels = 1; }, { hostLoad } },
        { "no input channels", [] (Fixture& f) { f.strip (1).inputChannels = 0; }, { hostLoad, fields ("nonMonoStereoLayout") } },
        { "three input channels", [] (Fixture& f) { f.strip (1).inputChannels = 3; },
          { hostLoad, B ("strip 1", "RAPP v1은 mono/stereo chain만 지원한다"), fields ("nonMonoStereoLayout") } },
        { "input gain", [] (Fixture& f) { f.strip (1).inputGainDb = 0.0002f; f.strip (1).outputChannels = 0; },
          { hostLoad, fields ("nonMonoStereoLayout, inputGain") } },
        { "input gain within tolerance", [] (Fixture& f) { f.strip (1).inputGainDb = 0.0001f; }, { hostLoad } },
        { "input gain NaN", [] (Fixture& f) { f.strip (1).inputGainDb = notANumber; }, { hostLoad, fields ("inputGain") } },
        { "slot beyond the profile", [] (Fixture& f) { f.profile.slots = 4; f.strip().plugins.resize (7); f.strip().plugins.add (PluginRef (f.slot())); },
          { hostLoad, B ("strip 0, slot 7", "대상 호스트의 채널당 4-slot capacity를 초과한다 — 잘라내지 않는다") } },
        { "plug-in mute", [] (Fixture& f) { f.slot().muted = true; }, { hostLoad, B (eqCode, "REAPER v1은 inactive/plugin mute 매핑을 아직 검증하지 않았다") } },
        { "inactive", [] (Fixture& f) { f.slot().inactive = true; }, { hostLoad, B (eqCode, "REAPER v1은 inactive/plugin mute 매핑을 아직 검증하지 않았다") } },
        { "inactive because unavailable", [] (Fixture& f) { f.slot().inactive = f.slot().unavailable = true; },
          { hostLoad, W (eqCode, "최신 factory cache에 없어 inactive로 기록한다") } },
        { "one legacy sidechain from another strip", [] (Fixture& f) { f.slot().sidechainSource = 1; }, { hostLoad } },
        { "legacy sidechain from itself", [] (Fixture& f) { f.slot().sidechainSource = 0; }, { hostLoad, sidechainRule (0) } },
        { "legacy sidechain from a missing strip", [] (Fixture& f) { f.slot().sidechainSource = 4; }, { hostLoad, sidechainRule (0) } },
        { "two legacy sidechains on one strip", [] (Fixture& f) { f.slot().sidechainSource = 1; f.strip().plugins.add (PluginRef (f.slot())); },
          { hostLoad, sidechainRule (0), sidechainRule (1) } },
        { "physical sidechain", [] (Fixture& f) { f.slot().sidechainSource = 1; f.slot().sidechainKind = sidechainPhysical; },
          { hostLoad, B (eqCode, "This target has not verified schema-2 sidechain source semantics") } },
        { "identity through the index", [] (Fixture& f) { f.slot().classId = {}; f.slot().file = juce::File(); }, { hostLoad, B (eqCode, "설치된 VST3 moduleinfo와 CID를 고유하게 검증하지 못했다") } },
    });
}

TEST (RappConversionPlan, CountersFollowTheSlotChecks)
{
    Fixture f;
    auto& plugins = f.strip().plugins;
    auto noComp = vst3Plugin ("NoComp", cidA);
    noComp.state.component.reset();
    auto badAu = auPlugin ("BadAu");
    badAu.auType = 0;
    auto vst2 = vst3Plugin ("Old", cidA);
    vst2.format = "VST";
    auto unresolved = vst3Plugin ("Lost", {});
    plugins.add (noComp, auPlugin ("Au"), badAu, vst2, unresolved, PluginRef(), PluginRef());
    plugins.add (vst3Plugin ("Late", cidA)); // position 8: beyond 8 slots

    for (auto target : { targetVornScene, targetSuperRackPerformer, targetReaper })
    {
        const auto plan = f.run (target);
        EXPECT_EQ (plan.plugins, 6) << target;
        EXPECT_EQ (plan.statePortable, 2) << target;    // EQ, Lost
        EXPECT_EQ (plan.auComplete, 1) << target;
        EXPECT_EQ (plan.identityResolved, target == targetSuperRackPerformer ? 1 : 2) << target; // the AU ends early on Performer
        EXPECT_FALSE (plan.canWrite());
    }
}

// A slot whose state cannot be carried is blocked for the reason its reader gave, where it gave
// one: the DROPPED note on that slot's state.
TEST (RappConversionPlan, ASlotWhoseStateTheReaderRefusedBlocksWithItsReason)
{
    const auto refusedState = [] (Fixture& f, const char* code, Fidelity fidelity = Fidelity::dropped)
    {
        f.slot().state.component.reset();
        f.session().notes.add (fidelity, code, "REAPER VST3 pin-map is not the observed sequential topology");
    };
    const auto au = [] (Fixture& f)
    {
        f.slot() = auPlugin ("EQ");
        f.slot().auType = 0;
        f.session().notes.add (Fidelity::dropped, "plugin[0:0].state", "REAPER AudioUnit identity is malformed");
    };
    const auto noComponent = B (eqCode, "Comp 상태 스트림이 없어 플러그인 상태를 이식할 수 없다");
    runTable (targetReaper, {
        { "the reader's reason", [&] (Fixture& f) { refusedState (f, "plugin[0:0].state"); },
          { hostLoad, B (eqCode, "REAPER VST3 pin-map is not the observed sequential topology") } },
        { "an AudioUnit's", au, { hostLoad, B (eqCode, "REAPER AudioUnit identity is malformed") } },
        { "a note on another slot", [&] (Fixture& f) { refusedState (f, "plugin[0:1].state"); },
          { hostLoad, noComponent } },
        { "a note on another strip", [&] (Fixture& f) { refusedState (f, "plugin[1:0].state"); },
          { hostLoad, noComponent } },
        { "a note that lost nothing", [&] (Fixture& f) { refusedState (f, "plugin[0:0].state", Fidelity::approx); },
          { hostLoad, noComponent } },
        { "no note", [] (Fixture& f) { f.slot().state.component.reset(); }, { hostLoad, noComponent } },
        { "a reason on two lines stays one", [] (Fixture& f) {
              f.slot().state.component.reset();
              f.session().notes.add (Fidelity::dropped, "plugin[0:0].state", "first\nsecond"); },
          { hostLoad, B (eqCode, "first\\nsecond") } },
    });
}

// A REAPER project the reader could not prove to be the converter's own says why its coverage
// blocks, once, after the coverage blockers.
TEST (RappConversionPlan, AReaperProjectOfReaperItselfSaysItIsNotConverted)
{
    const juce::String saved = "a project REAPER itself saved, without this converter's track ids and markers, is read, "
                               "reported and exported, but not converted: only projects this converter wrote convert back";
    const auto reaperSaved = [] (Fixture& f, bool gap)
    {
        f.session().sourceFormat = "reaper.rpp";
        f.session().notes.add (Fidelity::dropped, "reaper.prototype", "not the converter's");
        f.strip (0).coverage.route = ! gap;
        f.slot().coverage.mute = ! gap;
    };
    runTable (targetVornScene, {
        { "a project REAPER saved", [&] (Fixture& f) { reaperSaved (f, true); },
          { B ("source.stripCoverage", "source reader가 의미를 증명하지 못한 필드: route=1"), B ("source.pluginCoverage", "source reader가 의미를 증명하지 못한 필드: mute=1"),
            B ("source.reaperSaved", saved), hostLoad } },
        { "nothing unproven", [&] (Fixture& f) { reaperSaved (f, false); }, { hostLoad } },
        { "another format", [&] (Fixture& f) { reaperSaved (f, true); f.session().sourceFormat = "vorn.ksn"; },
          { B ("source.stripCoverage", "source reader가 의미를 증명하지 못한 필드: route=1"), B ("source.pluginCoverage", "source reader가 의미를 증명하지 못한 필드: mute=1"),
            hostLoad } },
    });
}

// The warnings a convert prints with what it wrote: those that say what the output holds
// differently from the source, and no other.
TEST (RappConversionPlan, WarningsThatChangeTheOutputAreMarked)
{
    struct Marked
    {
        const char* name;
        Target target;
        std::function<void (Fixture&)> change;
        std::vector<std::string> marked;   // the codes of the marked warnings, in order
    };
    const auto unavailable = [] (Fixture& f) { f.slot().inactive = f.slot().unavailable = true; };
    const Marked cases[] = {
        { "clean", targetVornScene, [] (Fixture&) {}, {} },
        { "unavailable, scene", targetVornScene, unavailable, { eqCode.toStdString() } },
        { "unavailable, Performer", targetSuperRackPerformer, unavailable, { eqCode.toStdString() } },
        { "unavailable, LiveProfessor", targetLiveProfessor, unavailable, { eqCode.toStdString() } },
        { "unavailable, REAPER", targetReaper, unavailable, { eqCode.toStdString() } },
        { "an AudioUnit kept unavailable by Performer", targetSuperRackPerformer, [] (Fixture& f) { f.slot() = auPlugin ("EQ"); },
          { eqCode.toStdString() } },
        { "saved snapshots left out", targetVornScene,
          [] (Fixture& f)
          {
              f.session().sourceFormat = "waves.sprk";
              f.session().sourceApp = "SuperRack Performer";
              f.session().snapshots.add ({ -1, "Active", {} });
              f.session().snapshots.add ({ 3, "B", {} });
          },
          { "source.snapshots" } },
        { "what the reader left out", targetVornScene,
          [] (Fixture& f)
          {
              f.session().notes.add (Fidelity::dropped, "ui.channelColour", "colours");
              f.session().notes.add (Fidelity::dropped, "ui.pluginUndock", "docking");
              f.session().notes.add (Fidelity::dropped, "dugan.disabled", "printed on its own line");
          },
          { "ui.channelColour", "ui.pluginUndock" } },
        { "a sidechain to verify in the host", targetVornScene,
          [] (Fixture& f)
          {
              f.slot().sidechainSource = 1;
              f.strip (1).routeInL = 0;
          },
          {} },
    };
    for (const auto& c : cases)
    {
        Fixture f;
        c.change (f);
        const auto plan = f.run (c.target);
        EXPECT_TRUE (plan.canWrite()) << c.name << "\n" << ::testing::PrintToString (issuesOf (plan));
        std::vector<std::string> marked;
        for (const auto& issue : plan.issues)
        {
            if (issue.changesOutput)
                marked.push_back (issue.code.toStdString());
            EXPECT_FALSE (issue.changesOutput && issue.severity == severityBlocker) << c.name;
        }
        EXPECT_EQ (marked, c.marked) << c.name;
    }
}

TEST (RappConversionPlan, PrintableParts)
{
    EXPECT_EQ (formatIssueLine ({ severityWarning, "target.hostLoad", "m" }),
               "  WARNING target.hostLoad" + juce::String::repeatedString (" ", 21) + "m");
    EXPECT_EQ (formatIssueLine ({ severityBlocker, "strip 0, slot 0 (ABCDEFGHIJKLMNOPQR)", "m" }),
               "  BLOCKER strip 0, slot 0 (ABCDEFGHIJKLMNOPQR)m");
    EXPECT_EQ (formatIssueLine ({ severityBlocker, "strip 0, slot 0 (ABCDEFGHIJKLMNOPQRS)", "m" }),
               "  BLOCKER strip 0, slot 0 (ABCDEFGHIJKLMNOPQRSm");
    EXPECT_EQ (formatIssueLine ({ 7, "c", "" }), "  WARNING c" + juce::String::repeatedString (" ", 35));

    const struct { const char* in; const char* out; } rows[] = {
        { "plain", "plain" }, { "a\rb\nc\td", "a\\rb\\nc\\td" }, { "x\x01y\x7f", "x\\x01y\\x7f" },
        { "back\\slash", "back\\slash" },
    };
    for (const auto& r : rows)
        EXPECT_EQ (printableSessionText (r.in), r.out) << r.in;
    EXPECT_EQ (printableSessionText (juce::String::fromUTF8 ("\xec\x9e\x85\xe2\x80\xa8\xc2\x85")),
               juce::String::fromUTF8 ("\xec\x9e\x85") + "\\u2028\\u0085");
}
