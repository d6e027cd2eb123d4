#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"

#include <juce_core/juce_core.h>

// What the preflight (rapp::inspect) asks of the target host beyond the checks every host shares:
// its target and capacity, three yes-or-no rules, and its own strip, slot and session checks. A
// host's record (app/hosts) fills one by field name and gives it to inspect, which asks it instead
// of testing which host it is; the host's checks see the inspection through a HostCheck.
namespace vornconv::rapp
{

struct Vst3ModuleIndex;

// The rules' messages are written in the source as UTF-8 (many of them Korean): their text.
inline juce::String ruleText (const char* s) { return juce::String::fromUTF8 (s); }

// What a host's own checks see of the session being inspected, and how they add to its plan.
struct HostCheck
{
    const RackSession& session;
    const Vst3ModuleIndex& index;
    const SideInput* sideInput;   // what the host's record loaded for the run; null when nothing
    ConversionPlan& plan;         // its capacity is the profile's once a host shaped by one has it

    void blocker (const juce::String& code, const juce::String& message);
    void warning (const juce::String& code, const juce::String& message);
    // A warning of what the output will hold differently from the source.
    void outputWarning (const juce::String& code, const juce::String& message);

    // Hosts that have verified only enabled legacy sidechains refuse every other kind.
    void unverifiedSidechain (const PluginRef& plugin, const juce::String& code);

    // The identity check of the hosts that name a VST3 plug-in by the module index alone: an
    // AudioUnit counts as resolved; a VST3 slot must resolve to a class the index has, and one
    // the index has as unavailable is written inactive (a warning).
    void moduleIdentity (const PluginRef& plugin, const juce::String& code, bool isAu);
};

struct HostRules
{
    Target target = targetVornScene;
    // Fixed, or 0 x 0 (not fixed) for a host shaped by the deployment profile.
    HostCapacity capacity;

    // The host keeps the window docking records that a Performer source leaves out (and says so
    // with the source's note); every other host refuses a session that left them out.
    bool keepsUndockOmission = false;
    // A SuperRack Performer source's saved snapshots may be left out when its Active state is
    // unambiguous; otherwise two or more snapshots block.
    bool takesPerformerActiveState = false;
    // Physical routing needs the host's I/O capacity from --io, and every patch must fit it.
    bool checksPhysicalIo = false;

    // The host's own strip checks, after the shared ones and before the physical I/O check.
    void (*stripRules) (HostCheck&, const RackStrip&, const juce::String& code) = nullptr;
    // Everything after the shared proof of the slot's format and state, identity included. Every
    // host has them: rules without them are no host's.
    void (*slotRules) (HostCheck&, const RackStrip&, const PluginRef&, const juce::String& code, bool isAu) = nullptr;
    // After all strips; null when the host has none.
    void (*sessionRules) (HostCheck&) = nullptr;
};

// The keys of the issues that hosts' own checks give and that the preflight lists among its own
// (preflightIssueCodes); every other issue of theirs is keyed by its strip or slot.
namespace hostRuleCode
{
constexpr const char* catalog = "target.catalog";
constexpr const char* sidechainCycle = "source.sidechainCycle";
} // namespace hostRuleCode

// A strip field that differs from its default value; NaN and infinity never count as the default.
bool differsFrom (float value, float reference);

// The first strip of the session with this index; null when none has it.
const RackStrip* firstStrip (const RackSession& session, juce::int32 index);

} // namespace vornconv::rapp
