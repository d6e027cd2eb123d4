#pragma once

#include "app/CommandLine.h"
#include "model/RackModel.h"
#include "rapp/ParameterMirrorHydrator.h"

// The session report: one JSON line (schema "vorn-session-report-v1") that summarises one rack
// session, its plug-in usage and the state of its parameter mirrors, which it first prepares on a
// best-effort basis when a factory catalog, the probe program and a cache folder are given.
namespace vornconv::app
{

// Reads input and prepares the mirrors when it can: the document (whatever the preparation
// status), or the refusal of an input, or of a catalog, that cannot be read.
Decision sessionReportFile (const juce::File& input, const juce::File& factoryCatalog, const juce::File& probeProgram,
                            const juce::File& cacheDir);

// The document on one line. report is null for the status "skipped": then the preparation object
// carries no counters.
juce::String buildSessionReportJson (const RackReadResult& result, const rapp::ParameterMirrorPreparationReport* report,
                                     juce::StringRef status, juce::StringRef error);

} // namespace vornconv::app
