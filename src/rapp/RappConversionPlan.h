#pragma once

#include "model/RackModel.h"

#include <juce_core/juce_core.h>

// The conversion targets, their capacities and the preflight that decides, before any writer
// touches a file, what the chosen target host can hold exactly. Everything it cannot hold becomes
// an Issue: a BLOCKER stops the writer, a WARNING is printed and writing goes on.
namespace vornconv::rapp
{

struct Vst3ModuleIndex;
struct LiveProfessorPluginCatalog;

enum Target : juce::int32
{
    targetVornScene = 0,
    targetSuperRackPerformer = 1,
    targetLiveProfessor = 2,
    targetReaper = 3
};

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

// "Vorn Live (.ksn)", "SuperRack Performer (.sprk)", "LiveProfessor (.rack2)", "REAPER (.rpp)",
// or "unknown" for any other value.
juce::String targetName (Target target);

// 64 x 8 fixed for the scene and SuperRack Performer targets; 0 x 0 not fixed otherwise.
HostCapacity targetCapacity (Target target);

// Walks the source and lists every issue for the target. Reads only. The module index is the
// evidence for VST3 identities; the LiveProfessor catalog (null when not loaded) for target 2;
// the profile is null when none was given.
ConversionPlan inspect (const RackReadResult& source, Target target, const Vst3ModuleIndex& index,
                        const DeploymentProfile* profile, const LiveProfessorPluginCatalog* catalog);

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
