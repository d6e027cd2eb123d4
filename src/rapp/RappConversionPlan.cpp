// The preflight of every conversion: before a writer touches a file, `inspect` walks the rack
// model read from the source and lists, as issues, everything the target host cannot hold
// exactly. A BLOCKER stops the writer; a WARNING is printed and writing goes on.
//
// The steps every target runs are written once; what differs from host to host are the host's
// rules (rapp/HostRules.h: its capacity, a few yes-or-no rules and its own strip, slot and session
// checks), which the host's record gives and the steps ask instead of testing which host it is.
//
// In this file, in order:
//   - the issue texts and codes;
//   - small helpers over texts, strips and routing;
//   - the inspection: the steps every target runs, in the order their issues appear;
//   - what the hosts' own checks share (HostCheck): adding issues, and the identity check that
//     most hosts share;
//   - the public functions.

#include "rapp/RappConversionPlan.h"

#include "model/RackFields.h"
#include "model/ValueComparison.h"
#include "rapp/HostRules.h"
#include "rapp/Vst3ModuleIndex.h"

#include <cmath>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace vornconv::rapp
{
namespace
{

// Every issue text the preflight produces. Many are Korean and are printed exactly as written.
namespace text
{
constexpr const char* readerFailedPrefix = "입력 리더가 실패했다: ";
constexpr const char* incompleteProof = "입력 세션의 변환 필수 상태를 완전히 증명하지 못해 RAPP writer를 막았다";
constexpr const char* undockNotAuthorized = "Performer window docking omission is only authorized for Vorn Live";
constexpr const char* coveragePrefix = "source reader가 의미를 증명하지 못한 필드: ";
constexpr const char* reaperSaved = "a project REAPER itself saved, without this converter's track ids and markers, is read, "
                                    "reported and exported, but not converted: only projects this converter wrote convert back";
constexpr const char* pendingSidechainPrefix = "sidechain: ";
constexpr const char* pendingIdentityPrefix = "identity=";
constexpr const char* pendingStateInfix = "; state: ";
constexpr const char* nativeNamesPrefix = "unmapped Active mixer fields: ";
constexpr const char* hostLoad = "converter exact reread는 통과 가능하지만 실제 host load/DSP 검증 전에는 candidate다";
constexpr const char* snapshotsActiveOnly = "Saved snapshots excluded; Active state only";
constexpr const char* snapshotsBlocked = "여러 snapshot의 개별 mixer/plugin 상태를 아직 IR에 보존하지 못한다";
constexpr const char* profileMissing = "가변 구조 호스트의 source-shaped output profile이 제공되지 않았다";
constexpr const char* ioMissingHead = "물리 라우팅을 보존하려면 대상 호스트 입출력 용량을 ";
constexpr const char* ioMissingTail = "--io <inputs>x<outputs>로 명시해야 한다";
constexpr const char* stripCapacityHead = "대상 호스트의 ";
constexpr const char* stripCapacityTail = "-strip capacity를 초과한다";
constexpr const char* monoStereoOnly = "RAPP v1은 mono/stereo chain만 지원한다";
constexpr const char* physicalInputHead = "물리 input ";
constexpr const char* physicalOutputHead = "물리 output ";
constexpr const char* physicalCapacityInfix = "번이 대상 I/O capacity ";
constexpr const char* physicalCapacityTail = "ch를 초과한다";
constexpr const char* slotCapacityHead = "대상 호스트의 채널당 ";
constexpr const char* slotCapacityTail = "-slot capacity를 초과한다 — 잘라내지 않는다";
constexpr const char* unsupportedFormat = "지원하지 않는 플러그인 포맷은 대상 호스트에 이식하지 않는다";
constexpr const char* missingComponent = "Comp 상태 스트림이 없어 플러그인 상태를 이식할 수 없다";
constexpr const char* auIncomplete = "AU ClassInfo 상태 또는 component identity가 완전하지 않다";
constexpr const char* schema2Sidechain = "This target has not verified schema-2 sidechain source semantics";
constexpr const char* vst3Unresolved = "설치된 VST3 moduleinfo와 CID를 고유하게 검증하지 못했다";
constexpr const char* idMismatchHead = "저장 ID (";
constexpr const char* idMismatchInfix = ")와 현재 bundle factory ID (";
constexpr const char* idMismatchTail = ")가 다르다. 상태를 다른 CID에 쓰지 않는다";
constexpr const char* noFactoryIdentity = "factory cache에 target identity가 없어 inactive placeholder를 만들 수 없다";
constexpr const char* factoryUnavailable = "최신 factory cache에 없어 inactive로 기록한다";

// Checks the system adds where the source model alone would let an unprovable session through.
constexpr const char* negativeStripIndex = "strip index is negative and cannot be placed in the target host";
constexpr const char* duplicateStripIndex = "strip index is shared with an earlier strip; the strips cannot be told apart";
constexpr const char* unknownTarget = "unknown conversion target: ";
constexpr const char* invalidSidechainKind = "sidechain kind is not legacy, physical, rackPre or rackPost and cannot be carried over";
} // namespace text

namespace code
{
constexpr const char* source = "source";
constexpr const char* target = "target";
constexpr const char* undock = "source.ui.pluginUndock";
constexpr const char* stripCoverage = "source.stripCoverage";
constexpr const char* pluginCoverage = "source.pluginCoverage";
constexpr const char* reaperSaved = "source.reaperSaved";
constexpr const char* diagnosticPrefix = "source.diagnostic strip ";
constexpr const char* nativeParameterNames = "source.nativeParameterNames";
constexpr const char* hostLoad = "target.hostLoad";
constexpr const char* snapshots = "source.snapshots";
constexpr const char* profile = "target.profile";
constexpr const char* io = "target.io";
constexpr const char* catalog = hostRuleCode::catalog;
constexpr const char* sidechainCycle = hostRuleCode::sidechainCycle;
// The codes of the source's notes that the preflight passes on as warnings.
constexpr const char* dugan = "dugan.disabled";
constexpr const char* channelColour = "ui.channelColour";
constexpr const char* pluginUndock = "ui.pluginUndock";
constexpr const char* selectionChannels = "selection.channels";
constexpr const char* selectionPlugins = "selection.plugins";
} // namespace code

constexpr int labelCharacters = 128;

// The product of SuperRack (the host whose sessions carry diagnostics of their reader that the
// preflight passes on) whose saved snapshots a host may leave out.
constexpr const char* superRackPerformerApp = "SuperRack Performer";

bool isSuperRackSession (const RackSession& session)
{
    return session.sourceFormat == superRackSessionFormat;
}

// A REAPER project whose tracks the reader could not prove to be the converter's own (no
// converter track ids, markers or routing of the converter's form): the reader says so with this
// note, as it does for every project REAPER itself saved.
bool isForeignReaperProject (const RackSession& session)
{
    if (session.sourceFormat != reaperProjectFormat)
        return false;
    for (const auto& note : session.notes)
        if (note.code == "reaper.prototype" && note.fidelity == Fidelity::dropped)
            return true;
    return false;
}

juce::String stateNoteCode (const RackStrip& strip, int slot)
{
    return "plugin[" + juce::String (strip.index) + ":" + juce::String (slot) + "].state";
}

juce::String hex32 (juce::uint32 value)
{
    const char* digits = "0123456789abcdef";
    juce::String s;
    do
    {
        s = juce::String::charToString ((juce::juce_wchar) digits[value & 15u]) + s;
        value >>= 4;
    } while (value != 0);
    return s;
}

juce::String stripCode (const RackStrip& strip) { return "strip " + juce::String (strip.index); }

juce::String slotCode (const RackStrip& strip, int slot)
{
    return stripCode (strip) + ", slot " + juce::String (slot);
}

juce::String namedSlotCode (const RackStrip& strip, int slot, const PluginRef& plugin)
{
    return slotCode (strip, slot) + " (" + printableSessionText (plugin.name) + ")";
}

// CR, LF and TAB become blanks and the text is cut to its first 128 characters.
juce::String cleanedLabel (const juce::String& s)
{
    return s.replaceCharacter ('\r', ' ').replaceCharacter ('\n', ' ').replaceCharacter ('\t', ' ')
            .substring (0, labelCharacters);
}

juce::String countedEntries (const std::map<std::string, int>& counts, bool markEmpty)
{
    juce::StringArray parts;
    for (const auto& [name, count] : counts)
    {
        auto shown = juce::String::fromUTF8 (name.c_str(), (int) name.size());
        if (markEmpty && shown.isEmpty())
            shown = "<empty>";
        parts.add (printableSessionText (shown) + "=" + juce::String (count));
    }
    return parts.joinIntoString (", ");
}

bool usesPhysicalRouting (const RackSession& session)
{
    for (const auto& strip : session.strips)
    {
        for (const auto& patch : strip.routePatches)
            if (patch.physicalChannel >= 0)
                return true;
        if (strip.routeInL >= 0 || strip.routeInR >= 0 || strip.routeOutL >= 0 || strip.routeOutR >= 0)
            return true;
    }
    return false;
}

struct Inspection
{
    const RackReadResult& source;
    const RackSession& session;
    const HostRules& rules;
    const Vst3ModuleIndex& index;
    const DeploymentProfile* profile;
    ConversionPlan& plan;
    // What the host's own checks see of this inspection.
    HostCheck check;
    // The reasons the reader gave for the plug-in states it refused, by the code of its note
    // ("plugin[<strip>:<slot>].state"); gathered once, when a slot first needs one.
    std::map<juce::String, juce::String> refusedStates {};
    bool refusedStatesGathered = false;

    void blocker (const juce::String& c, const juce::String& m) { check.blocker (c, m); }
    void warning (const juce::String& c, const juce::String& m) { check.warning (c, m); }
    void outputWarning (const juce::String& c, const juce::String& m) { check.outputWarning (c, m); }

    bool ioGiven() const { return profile != nullptr && profile->ioInputs >= 1 && profile->ioOutputs >= 1; }

    void passThroughNotes()
    {
        for (const auto& note : session.notes)
        {
            // What a selection left out is named with the rest of what the output will not hold.
            const bool listed = note.code == code::dugan || note.code == code::channelColour
                                || note.code == code::selectionChannels || note.code == code::selectionPlugins
                                || (note.code == code::pluginUndock && rules.keepsUndockOmission);
            if (! listed || note.fidelity != Fidelity::dropped)
                continue;
            // The convert prints a dropped Dugan record with its own line; what else the reader
            // left out is left out of the output too.
            if (note.code == code::dugan)
                warning (printableSessionText (note.code), printableSessionText (note.text));
            else
                outputWarning (printableSessionText (note.code), printableSessionText (note.text));
        }
    }

    void coverage()
    {
        std::map<std::string, int> strips, slots;
        for (const auto& strip : session.strips)
        {
            for (const auto& flag : rackFields::stripFlags)
                if (! (strip.coverage.*flag.proven))
                    ++strips[flag.name];
            if (! strip.sourceParameters.isEmpty())
                strips["nativeParameters"] += strip.sourceParameters.size();

            for (const auto& plugin : strip.plugins)
            {
                if (! plugin.occupied)
                    continue;
                for (const auto& flag : rackFields::slotFlags)
                    if (! (plugin.coverage.*flag.proven))
                        ++slots[flag.name];
            }
        }
        if (! strips.empty())
            blocker (code::stripCoverage, ruleText (text::coveragePrefix) + countedEntries (strips, false));
        if (! slots.empty())
            blocker (code::pluginCoverage, ruleText (text::coveragePrefix) + countedEntries (slots, false));
        // Why a REAPER project lacks them, in plain words.
        if ((! strips.empty() || ! slots.empty()) && isForeignReaperProject (session))
            blocker (code::reaperSaved, ruleText (text::reaperSaved));
    }

    // The blocker of a slot whose state cannot be carried: the reader's reason when it refused
    // the state (its pin map, its wrapper, the identity it names), else the general one.
    juce::String stateRefusal (const RackStrip& strip, int s, const char* general)
    {
        if (! refusedStatesGathered)
        {
            refusedStatesGathered = true;
            for (const auto& note : session.notes)
                if (note.fidelity == Fidelity::dropped && note.code.startsWith ("plugin[") && note.code.endsWith ("].state"))
                    refusedStates.emplace (note.code, note.text);
        }
        const auto found = refusedStates.find (stateNoteCode (strip, s));
        return found != refusedStates.end() ? printableSessionText (found->second) : ruleText (general);
    }

    void superRackDiagnostics()
    {
        if (! isSuperRackSession (session))
            return;

        std::map<std::string, int> names;
        for (const auto& strip : session.strips)
        {
            for (int s = 0; s < strip.plugins.size(); ++s)
            {
                const auto& plugin = strip.plugins.getReference (s);
                if (! plugin.occupied)
                    continue;
                const auto label = ruleText (code::diagnosticPrefix) + juce::String (strip.index) + ", slot "
                                   + juce::String (s) + " (" + printableSessionText (cleanedLabel (plugin.name)) + ")";
                if (! plugin.coverage.sidechain && plugin.pendingSidechainReason.isNotEmpty())
                    warning (label, ruleText (text::pendingSidechainPrefix) + printableSessionText (plugin.pendingSidechainReason));
                if (! (plugin.coverage.identity && plugin.coverage.state) && plugin.pendingStateReason.isNotEmpty())
                    warning (label, ruleText (text::pendingIdentityPrefix) + (plugin.coverage.identity ? "known" : "unknown")
                                        + ruleText (text::pendingStateInfix) + printableSessionText (plugin.pendingStateReason));
            }
            for (const auto& parameter : strip.sourceParameters)
                ++names[cleanedLabel (parameter.name).toStdString()];
        }
        if (! names.empty())
            warning (code::nativeParameterNames, ruleText (text::nativeNamesPrefix) + countedEntries (names, true));
    }

    void snapshots()
    {
        if (session.snapshots.size() < 2)
            return;
        int active = 0;
        for (const auto& snapshot : session.snapshots)
            if (snapshot.number == -1)
                ++active;
        if (rules.takesPerformerActiveState && isSuperRackSession (session)
            && session.sourceApp == superRackPerformerApp && active == 1)
            outputWarning (code::snapshots, ruleText (text::snapshotsActiveOnly));
        else
            blocker (code::snapshots, ruleText (text::snapshotsBlocked));
    }

    void stripChecks (const RackStrip& strip, bool repeatedIndex)
    {
        const auto c = stripCode (strip);

        if (strip.index < 0)
            blocker (c, ruleText (text::negativeStripIndex));
        else if (strip.index >= plan.capacity.strips)
            blocker (c, ruleText (text::stripCapacityHead) + juce::String (plan.capacity.strips) + ruleText (text::stripCapacityTail));
        if (repeatedIndex)
            blocker (c, ruleText (text::duplicateStripIndex));

        if (strip.inputChannels > 2 || strip.outputChannels > 2)
            blocker (c, ruleText (text::monoStereoOnly));

        if (rules.stripRules != nullptr)
            rules.stripRules (check, strip, c);

        if (rules.checksPhysicalIo && ioGiven())
            physicalCapacity (strip, c);
    }

    void physicalCapacity (const RackStrip& strip, const juce::String& c)
    {
        // Keyed by (isInput, rack channel): outputs come first, rack channels ascending.
        std::map<std::pair<bool, int>, int> channels;
        for (const auto& patch : strip.routePatches)
            if (patch.physicalChannel >= 0)
                channels.emplace (std::make_pair (patch.isInput, (int) patch.rackChannel), (int) patch.physicalChannel);

        if (channels.empty())
        {
            if (strip.routeInL >= 0) channels[{ true, 0 }] = strip.routeInL;
            if (strip.inputChannels >= 2 && strip.routeInR >= 0) channels[{ true, 1 }] = strip.routeInR;
            if (strip.routeOutL >= 0) channels[{ false, 0 }] = strip.routeOutL;
            if (strip.outputChannels >= 2 && strip.routeOutR >= 0) channels[{ false, 1 }] = strip.routeOutR;
        }

        for (const auto& [key, physical] : channels)
        {
            const bool isInput = key.first;
            const int limit = isInput ? profile->ioInputs : profile->ioOutputs;
            if (physical >= limit)
                blocker (c, ruleText (isInput ? text::physicalInputHead : text::physicalOutputHead) + juce::String (physical)
                                + ruleText (text::physicalCapacityInfix) + juce::String (limit) + ruleText (text::physicalCapacityTail));
        }
    }

    // The checks every host shares (capacity, format, the state a plug-in must carry), then the
    // host's own.
    void slotChecks (const RackStrip& strip, int s)
    {
        const auto& plugin = strip.plugins.getReference (s);

        if (s >= plan.capacity.slots)
        {
            blocker (slotCode (strip, s), ruleText (text::slotCapacityHead) + juce::String (plan.capacity.slots)
                                              + ruleText (text::slotCapacityTail));
            return;
        }

        const auto c = namedSlotCode (strip, s, plugin);
        ++plan.plugins;

        if (plugin.sidechainSource >= 0 && (plugin.sidechainKind < sidechainStrip || plugin.sidechainKind > sidechainRackPost))
            blocker (c, ruleText (text::invalidSidechainKind));

        const bool isVst3 = plugin.format == "VST3";
        const bool isAu = isAudioUnitFormat (plugin.format);
        if (! isVst3 && ! isAu)
        {
            blocker (c, ruleText (text::unsupportedFormat));
            return;
        }

        if (isVst3)
        {
            if (plugin.state.component.isEmpty())
            {
                blocker (c, stateRefusal (strip, s, text::missingComponent));
                return;
            }
            ++plan.statePortable;
        }
        else
        {
            const auto& st = plugin.state;
            if (st.encoding != PluginStateEncoding::audioUnitPlist || st.raw.isEmpty()
                || plugin.auType == 0 || plugin.auSubtype == 0 || plugin.auManufacturer == 0)
            {
                blocker (c, stateRefusal (strip, s, text::auIncomplete));
                return;
            }
            ++plan.auComplete;
        }

        rules.slotRules (check, strip, plugin, c, isAu);
    }

    void run()
    {
        if (! source.ok)
        {
            blocker (code::source, ruleText (text::readerFailedPrefix) + printableSessionText (source.error));
            return;
        }
        if (source.status != readComplete)
            blocker (code::source, ruleText (text::incompleteProof));

        passThroughNotes();

        if (! rules.keepsUndockOmission && session.pluginUndockExclusions > 0)
            blocker (code::undock, ruleText (text::undockNotAuthorized));

        coverage();
        superRackDiagnostics();
        warning (code::hostLoad, ruleText (text::hostLoad));
        snapshots();

        if (! plan.capacity.fixed)
        {
            if (profile == nullptr || profile->strips <= 0 || profile->slots <= 0)
            {
                blocker (code::profile, ruleText (text::profileMissing));
                return;
            }
            plan.capacity = { profile->strips, profile->slots, true };
        }

        if (rules.checksPhysicalIo && usesPhysicalRouting (session) && ! ioGiven())
            blocker (code::io, ruleText (text::ioMissingHead) + ruleText (text::ioMissingTail));

        std::set<juce::int32> seen;
        for (const auto& strip : session.strips)
        {
            stripChecks (strip, ! seen.insert (strip.index).second);
            for (int s = 0; s < strip.plugins.size(); ++s)
                if (strip.plugins.getReference (s).occupied)
                    slotChecks (strip, s);
        }

        if (rules.sessionRules != nullptr)
            rules.sessionRules (check);
    }
};

} // namespace

//==============================================================================
// What the hosts' own checks share

void HostCheck::blocker (const juce::String& c, const juce::String& m) { plan.issues.add ({ severityBlocker, c, m }); }
void HostCheck::warning (const juce::String& c, const juce::String& m) { plan.issues.add ({ severityWarning, c, m }); }
void HostCheck::outputWarning (const juce::String& c, const juce::String& m) { plan.issues.add ({ severityWarning, c, m, true }); }

void HostCheck::unverifiedSidechain (const PluginRef& plugin, const juce::String& c)
{
    if (plugin.sidechainSource >= 0 && ! (plugin.sidechainKind == sidechainStrip && plugin.sidechainEnabled))
        blocker (c, ruleText (text::schema2Sidechain));
}

void HostCheck::moduleIdentity (const PluginRef& plugin, const juce::String& c, bool isAu)
{
    if (isAu)
    {
        ++plan.identityResolved;
        return;
    }

    const auto key = index.classIdOf (plugin);
    if (key.isEmpty())
    {
        if (const auto* entry = index.findUniqueByBundle (plugin.file))
            blocker (c, ruleText (text::idMismatchHead) + hex32 (plugin.uniqueId) + ", " + hex32 (plugin.deprecatedUid)
                            + ruleText (text::idMismatchInfix) + hex32 ((juce::uint32) entry->uniqueId) + ", "
                            + hex32 ((juce::uint32) entry->uid) + ruleText (text::idMismatchTail));
        else
            blocker (c, ruleText (text::vst3Unresolved));
        return;
    }

    ++plan.identityResolved;
    const auto* entry = index.findByClassId (key);
    if (entry == nullptr)
    {
        blocker (c, ruleText (text::noFactoryIdentity));
        return;
    }
    if (plugin.unavailable || ! entry->available)
        outputWarning (c, ruleText (text::factoryUnavailable));
}

// NaN and infinity never count as the default value.
bool differsFrom (float value, float reference)
{
    return ! withinTolerance (value, reference, tolerance::level);
}

const RackStrip* firstStrip (const RackSession& session, juce::int32 index)
{
    for (const auto& strip : session.strips)
        if (strip.index == index)
            return &strip;
    return nullptr;
}

//==============================================================================
// The public functions

bool ConversionPlan::canWrite() const
{
    for (const auto& issue : issues)
        if (issue.severity == severityBlocker)
            return false;
    return true;
}

ConversionPlan inspect (const RackReadResult& source, const HostRules& target, const Vst3ModuleIndex& index,
                        const DeploymentProfile* profile, const SideInput* sideInput)
{
    ConversionPlan plan;
    plan.target = target.target;
    plan.capacity = target.capacity;
    // No host has rules without slot checks, nor a writer for them: such a plan must never read
    // as writable.
    if (target.slotRules == nullptr)
        plan.issues.add ({ severityBlocker, code::target, ruleText (text::unknownTarget) + juce::String ((int) target.target) });
    else
        Inspection { source, source.session, target, index, profile, plan, { source.session, index, sideInput, plan } }.run();
    return plan;
}

const juce::StringArray& preflightIssueCodes()
{
    static const juce::StringArray codes {
        code::source, code::undock, code::stripCoverage, code::pluginCoverage, code::reaperSaved,
        juce::String (code::diagnosticPrefix).upToFirstOccurrenceOf (" ", false, false), code::nativeParameterNames,
        code::hostLoad, code::snapshots, code::profile, code::io, code::catalog, code::sidechainCycle,
        code::dugan, code::channelColour, code::pluginUndock, code::selectionChannels, code::selectionPlugins,
    };
    return codes;
}

juce::String severityName (juce::int32 severity)
{
    return severity == severityBlocker ? "BLOCKER" : "WARNING";
}

juce::String formatIssueLine (const Issue& issue)
{
    constexpr int codeWidth = 36;
    const auto code = issue.code.length() > codeWidth ? issue.code.substring (0, codeWidth)
                                                      : issue.code.paddedRight (' ', codeWidth);
    return "  " + severityName (issue.severity) + " " + code + issue.message;
}

juce::String printableSessionText (const juce::String& text)
{
    juce::String out;
    out.preallocateBytes (text.getNumBytesAsUTF8());
    for (auto p = text.getCharPointer(); ! p.isEmpty();)
    {
        const auto ch = p.getAndAdvance();
        if (ch == '\r') out << "\\r";
        else if (ch == '\n') out << "\\n";
        else if (ch == '\t') out << "\\t";
        else if (ch < 0x20 || ch == 0x7f) out << "\\x" << juce::String::toHexString ((int) ch).paddedLeft ('0', 2);
        else if ((ch >= 0x80 && ch <= 0x9f) || ch == 0x2028 || ch == 0x2029)
            out << "\\u" << juce::String::toHexString ((int) ch).paddedLeft ('0', 4);
        else out << juce::String::charToString (ch);
    }
    return out;
}

} // namespace vornconv::rapp
