#pragma once

#include "rapp/RappConversionPlan.h"

#include <juce_core/juce_core.h>

#include <vector>

// One descriptor per host whose sessions this build reads and writes: the facts the preflight,
// the readers, the writers and the command line ask of a host, each said once. The readers of a
// host are bound to its descriptor where the readers are (readers/HostReaders), the writer
// adapters and what the command line shows of it in the app's table of hosts (app/HostFormats).
namespace vornconv::rapp
{

// The preflight's own rules of a host (RappConversionPlan.cpp).
struct HostRules;
extern const HostRules vornSceneRules;
extern const HostRules superRackPerformerRules;
extern const HostRules liveProfessorRules;
extern const HostRules reaperRules;

struct HostDescriptor
{
    Target target;
    const char* formatId;      // the sourceFormat its reader stamps
    const char* extension;     // lower case, with its dot: its sessions' files carry it
    const char* hostName;      // the host as refusals name it ("REAPER")
    const char* documents;     // its files as a sentence names them, after the host ("projects")
    const char* targetName;    // what targetName gives ("REAPER (.rpp)")
    HostCapacity capacity;     // fixed, or 0 x 0 for a host shaped by the deployment profile
    const HostRules& rules;
    // The fields of the conversion ledger (writers/ConversionLedger.h) whose value the host's
    // writer takes from its template or built-in profile, never from the source.
    std::vector<const char*> profileFields = {};
    // Its documents hold one snapshot, named after the document's file.
    bool snapshotNamedAfterFile = false;
    // Its files hold their strips at 0 to n - 1 in order, without gaps: a selection's kept
    // channels must take exactly those places.
    bool holdsStripsInOrder = false;
};

// Every host, in the order the usage and the refusals list them.
const std::vector<HostDescriptor>& hostDescriptors();

// The host of a target; null for a value no host has.
const HostDescriptor* findHostDescriptor (Target target);

// The host of a target that has one (every value of Target does).
const HostDescriptor& hostDescriptor (Target target);

// The host whose reader stamps formatId; null for any other text.
const HostDescriptor* hostDescriptorForFormat (const juce::String& formatId);

} // namespace vornconv::rapp
