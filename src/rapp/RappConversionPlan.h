#pragma once

#include "model/RackModel.h"

#include <juce_core/juce_core.h>

#include <any>

// The conversion targets, their capacities and the preflight that decides, before any writer
// touches a file, what the chosen target host can hold exactly. Everything it cannot hold becomes
// an Issue: a BLOCKER stops the writer, a WARNING is printed and writing goes on. What the
// preflight asks of the target host it is given by the host's record (HostRules.h).
namespace vornconv::rapp
{

struct Vst3ModuleIndex;
struct HostRules;

// The id of each host (app/HostRegistry.h holds one record per value).
enum Target : juce::int32
{
    targetVornScene = 0,
    targetSuperRackPerformer = 1,
    targetLiveProfessor = 2,
    targetReaper = 3
};

// The format ids (RackSession::sourceFormat) of the two sources the preflight treats apart, which
// their readers stamp: a SuperRack session carries diagnostics of its reader that the preflight
// passes on, and a REAPER project that REAPER saved itself is refused in plain words.
constexpr const char* superRackSessionFormat = "waves.sprk";
constexpr const char* reaperProjectFormat = "reaper.rpp";

// What a host takes for a run besides the session, the module index and the profile, loaded once
// by the host's record and read only by its own rules and writer (LiveProfessor's plug-in list);
// empty for a host that takes nothing more.
using SideInput = std::any;

struct HostCapacity
{
    juce::int32 strips = 0;
    juce::int32 slots = 0;      // per strip
    bool fixed = false;         // false: a variable host that needs a deployment profile
};

// From --profile <strips>x<slots> and --io <inputs>x<outputs>.
struct DeploymentProfile
{
    juce::int32 strips = 0;
    juce::int32 slots = 0;
    juce::int32 ioInputs = 0;
    juce::int32 ioOutputs = 0;
};

enum IssueSeverity : juce::int32
{
    severityBlocker = 0,
    severityWarning = 1
};

struct Issue
{
    juce::int32 severity = severityBlocker;
    juce::String code;      // a fixed key ("target.io"), "strip N" or "strip N, slot S (name)"
    juce::String message;   // always a single line
    // A WARNING that says what the output will hold differently from the source (a plug-in
    // written inactive, saved snapshots left out), which a convert prints with what it wrote.
    bool changesOutput = false;
};

struct ConversionPlan
{
    Target target = targetVornScene;
    HostCapacity capacity;
    juce::int32 plugins = 0;
    juce::int32 statePortable = 0;
    juce::int32 auComplete = 0;
    juce::int32 identityResolved = 0;
    juce::Array<Issue> issues;      // in the order they were found

    // True when no issue is a BLOCKER (an empty list is writable).
    bool canWrite() const;
};

// Walks the source and lists every issue for the target host, whose rules (its target, capacity
// and checks of its own) its record gives. Reads only. The module index is the evidence for VST3
// identities; the profile is null when none was given; sideInput is what the host's record loaded
// for the run (null when it loads nothing, or did not). Rules without slot checks are no host's:
// such a plan is never writable.
ConversionPlan inspect (const RackReadResult& source, const HostRules& target, const Vst3ModuleIndex& index,
                        const DeploymentProfile* profile, const SideInput* sideInput = nullptr);

// The fixed keys of the issues inspect gives ("target.profile", "source.snapshots", ...), with the
// codes of the source's notes it passes on and "source.diagnostic" for its SuperRack diagnostics
// ("source.diagnostic strip N, slot S (name)"); every other issue is keyed by its strip or slot.
const juce::StringArray& preflightIssueCodes();

// "BLOCKER" for severity 0, "WARNING" for any other severity.
juce::String severityName (juce::int32 severity);

// The plan line of one issue: two blanks, "BLOCKER " or "WARNING ", the code cut or padded with
// blanks to 36 characters, then the message.
juce::String formatIssueLine (const Issue& issue);

// Session text made safe for a one-line issue: CR, LF, TAB and every other control character
// (C0, DEL, C1, U+2028, U+2029) are written as escapes ("\r", "\n", "\t", "\xHH", "\uHHHH").
juce::String printableSessionText (const juce::String& text);

} // namespace vornconv::rapp
