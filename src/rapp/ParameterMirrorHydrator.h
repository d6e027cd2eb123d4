#pragma once

#include "model/Expected.h"
#include "model/RackModel.h"
#include "rapp/Vst3ModuleIndex.h"

#include <juce_core/juce_core.h>

// Parameter mirrors: the normalised values of all parameters of one VST3 plug-in state, which a
// LiveProfessor project stores beside the opaque state. The converter never loads a plug-in
// itself. An outside probe program is started once per distinct state, in a child process of its
// own with a time limit, as
//     <probe> --vnpm <bundle> <dir>/component.bin <dir>/controller.bin
// and prints the values as VNPM text. The answer is kept as a binary parameter snapshot (key 0)
// in <cache>/<sha256 key>.vnpm; the key covers the state bytes, the plug-in version, the bundle
// path and the bundle's modification time, and the size and modification time (to the
// nanosecond) of the module binary inside the bundle, so a changed plug-in or state never meets
// an old file. The probe works in the private folder that holds the state copies.
namespace vornconv::rapp
{

// Which of the call's own inputs a failure of the whole call is about, when it is one of them: the
// probe program (not a file, or one that cannot be started) or the cache folder (one that cannot be
// made or used, an entry that cannot be put in place in it). The error then names the path.
enum class MirrorInputFault
{
    none,
    probeProgram,
    cacheFolder
};

// A slot whose mirror the source marks complete but which does not decode: the hydration put a
// mirror of its own in its place.
struct ParameterMirrorReplacement
{
    juce::int32 strip = 0;
    juce::int32 slot = 0;
    juce::String plugin;
    juce::String reason;             // why the source's mirror could not be used
};

// What the hydration kept, filled and replaced, and where the mirrors it put in came from: every
// VST3 slot is kept, filled or replaced; the slots filled and replaced were served from memory or
// the cache, or by a probe run.
struct ParameterMirrorHydrationStats
{
    juce::int32 alreadyComplete = 0; // slots whose complete mirror is the source's, kept as it is
    juce::int32 filled = 0;          // slots without a mirror that got one
    juce::int32 replaced = 0;        // slots whose complete mirror did not decode, replaced
    juce::int32 reusedInCall = 0;    // slots served by a mirror obtained earlier in the same call
    juce::int32 cacheHits = 0;       // slots served from a valid cache file
    juce::int32 probed = 0;          // probe runs
    juce::int32 replacedInvalid = 0; // probe runs that replaced an unusable cache file
    juce::int32 auSkipped = 0;       // AudioUnit slots
    juce::Array<juce::File> cacheFiles; // every cache file used, once
    juce::Array<ParameterMirrorReplacement> replacements; // the slots replaced, in session order
    MirrorInputFault inputFault = MirrorInputFault::none; // what a failed call's error is about
};

struct ParameterMirrorPreparationIssue
{
    juce::int32 strip = 0;
    juce::int32 slot = 0;
    juce::String plugin;
    juce::String message;
};

struct ParameterMirrorPreparationReport
{
    juce::int32 alreadyComplete = 0; // slots whose complete mirror is the source's (no job)
    juce::int32 reusedInCall = 0;    // further slots served by another slot's probe run
    juce::int32 cacheHits = 0;       // slots served from the cache
    juce::int32 probed = 0;          // jobs probed and written
    juce::int32 replacedInvalid = 0; // unusable cache files replaced
    juce::int32 auSkipped = 0;       // AudioUnit slots
    juce::Array<juce::File> cacheFiles;
    juce::Array<ParameterMirrorPreparationIssue> issues;
    MirrorInputFault inputFault = MirrorInputFault::none; // what a failed call's error is about
};

// The most a probe may print (standard output and error together); more kills it.
constexpr size_t maxProbeOutputBytes = size_t (64) * 1024 * 1024;

// The VNPM text: lines ending in LF, CR LF or CR, trailing whitespace ignored; one header
// "VNPM" TAB count, rows "P" TAB index TAB value (any order, each index once, indices exactly
// 0 .. count - 1), every other line ignored. Counts and indices are plain decimal digits up to
// 1,000,000; a value is a "C" decimal read as a 32-bit float, finite and within [0, 1].
// On success values holds the values in index order.
bool parseParameterProbeOutput (const juce::String& text, juce::Array<float>& values, juce::String& error);

// Gives every VST3 slot a complete mirror (state.parameters, parameterMirrorComplete). A complete
// mirror of the source that decodes is the source's: it is kept as it is, and no probe runs for
// it. Every other slot is filled (or, when its mirror is marked complete but does not decode,
// replaced) from this call's earlier answers, from the cache or by running the probe;
// single-threaded. The first failure ends the call with false; the slots handled before it stay
// hydrated. A probe program that is not a file or cannot be started, and a cache folder that
// cannot be made or an entry that cannot be put in place in it, are named in the error
// ("LiveProfessor parameter probe helper is unavailable: file not found: <path>", "LiveProfessor
// parameter mirror cache is unavailable: <folder>: <reason>", "could not start isolated parameter
// probe <path>: <reason>", "could not atomically update parameter mirror cache <entry>: <reason>")
// and stats.inputFault says which.
bool hydrateParameterMirrors (RackReadResult& result, const Vst3ModuleIndex& index, const juce::File& probeProgram,
                              const juce::File& cacheDir, ParameterMirrorHydrationStats& stats, juce::String& error,
                              int timeoutMs);

// Fills the cache for every VST3 slot the hydration would fill or replace and that can be probed
// (a complete mirror of the source that decodes needs none), on at most three worker threads, and
// reports per-slot problems as issues instead of failing; a failed probe is tried once more on the
// calling thread. False only when the probe program or the cache folder is unusable (named as the
// hydration names them, without its "LiveProfessor ", report.inputFault saying which). The
// session is not changed.
bool prepareParameterMirrorsBestEffort (const RackReadResult& result, const Vst3ModuleIndex& index,
                                        const juce::File& probeProgram, const juce::File& cacheDir,
                                        ParameterMirrorPreparationReport& report, juce::String& error, int timeoutMs);

// Success when probeProgram is a file that can be the probe; else "file not found: " or "a folder,
// not a file: " and its path.
Expected<void> checkProbeProgram (const juce::File& probeProgram);

// The number of worker threads for a number of jobs: none for none, at most three.
int preparationWorkerCount (int jobs);

} // namespace vornconv::rapp
