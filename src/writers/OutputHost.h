#pragma once

#include "rapp/RappConversionPlan.h"
#include "readers/HostReaders.h"

#include <vector>

// What a writer says of the host it writes for, in one constant beside the writer (its header
// declares it): the host as messages name it, what its own readers are, and what the ledger of a
// write must know of it. The host's record (app/hosts) refers to the same constant, so that each
// of these is said once.
namespace vornconv::rapp
{

struct OutputHost
{
    Target target = targetVornScene;
    const char* hostName = "";    // the host as refusals and notes name it ("REAPER")
    const char* documents = "";   // its files as a sentence names them, after the host ("projects")
    // The fields of the conversion ledger (ConversionLedger.h) whose value the writer takes from
    // its template or built-in profile, never from the source.
    std::vector<const char*> profileFields;
    // Its documents hold one snapshot, named after the document's file.
    bool snapshotNamedAfterFile = false;
    // The host's own readers: they read its inputs, and read back every document written for it.
    HostReaders readers;
};

} // namespace vornconv::rapp
