// Parameter mirrors for LiveProfessor: the normalised values of every parameter of a VST3 state,
// obtained from an outside probe program run in isolation (a private folder for the state copies
// that is also its working folder, a process group of its own, a deadline and an output cap) and
// kept in a cache folder as binary snapshots named by a SHA-256 key over the state and the
// installed plug-in, its module binary included. The probe's answer is untrusted text and is
// parsed strictly on its bytes.
//
// Two ways in: hydrateParameterMirrors fills every VST3 slot on the calling thread and stops at
// the first failure; prepareParameterMirrorsBestEffort only fills the cache, one job per distinct
// key on up to three worker threads that take jobs from a shared counter, retries each failed job
// once on the calling thread, and reports per-slot issues instead of failing. A complete mirror
// that the source brings and that decodes is the source's: both keep it and run no probe for it.
//
// In this file, in order:
//   - VNPM text: lines, fields, bounded indices and unit floats on byte ranges, and the last line
//     of a failed probe's output made safe to quote.
//   - Files: the staged state copies, the module binary and the cache key, and reading and
//     atomically replacing a cache file.
//   - One probe run: how a probe ended; a private folder, also the probe's working folder, the
//     isolated run and its outcomes, the parsed answer.
//   - Slots: whether a source's own mirror stands, resolving a slot's installed plug-in, the
//     preconditions and the cache file name.
//   - Best-effort preparation: the jobs and one job's run.
//   - Entry points: parseParameterProbeOutput, preparationWorkerCount, hydrateParameterMirrors and
//     prepareParameterMirrorsBestEffort.

#include "rapp/ParameterMirrorHydrator.h"

#include "model/AtomicFileCommit.h"
#include "model/FileTimes.h"
#include "model/Folders.h"
#include "model/HeldFolder.h"
#include "model/ParameterSnapshot.h"
#include "model/PrivateFiles.h"
#include "model/StrictDecimal.h"
#include "model/UntrustedFile.h"
#include "model/Utf8Text.h"
#include "model/Vst3ClassId.h"
#include "rapp/IsolatedProcess.h"

#include <juce_cryptography/juce_cryptography.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace vornconv::rapp
{

namespace
{

const char* const probeDirectoryPrefix = "vorn-parameter-probe-";
const char* const cacheKeyTag = "vorn-parameter-mirror-v2-float-max-digits10";
constexpr int maxProbeIndex = 1000000;
constexpr int maxWorkers = 3;

// The longest probe line quoted in an error message, in bytes.
constexpr size_t maxQuotedLineBytes = 300;

// ---------------------------------------------------------------------------------------------
// VNPM text

struct ByteRange
{
    const char* data = nullptr;
    size_t size = 0;

    bool startsWith (const char* prefix) const
    {
        const size_t n = std::strlen (prefix);
        return size >= n && std::memcmp (data, prefix, n) == 0;
    }
};

bool isAsciiSpace (char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

ByteRange trimmedEnd (ByteRange r)
{
    while (r.size > 0 && isAsciiSpace (r.data[r.size - 1]))
        --r.size;
    return r;
}

ByteRange trimmed (ByteRange r)
{
    r = trimmedEnd (r);
    while (r.size > 0 && isAsciiSpace (r.data[0]))
    {
        ++r.data;
        --r.size;
    }
    return r;
}

// Calls visit for every line; LF, CR LF and CR each end one.
template <typename Visit>
bool forEachLine (const char* data, size_t size, Visit&& visit)
{
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i)
    {
        if (i < size && data[i] != '\n' && data[i] != '\r')
            continue;
        if (i == size && start == size)
            break;
        if (! visit (ByteRange { data + start, i - start }))
            return false;
        if (i < size && data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    return true;
}

std::vector<ByteRange> splitTabs (ByteRange line)
{
    std::vector<ByteRange> fields;
    size_t start = 0;
    for (size_t i = 0; i <= line.size; ++i)
    {
        if (i < line.size && line.data[i] != '\t')
            continue;
        fields.push_back ({ line.data + start, i - start });
        start = i + 1;
    }
    return fields;
}

// Decimal digits only, at most maxProbeIndex (leading zeros allowed).
bool parseBoundedDecimal (ByteRange field, int& out)
{
    juce::int64 value = 0;
    if (! parseStrictDecimal ({ field.data, field.size }, DecimalForm::digits, 0, maxProbeIndex, value))
        return false;
    out = (int) value;
    return true;
}

// A "C" decimal read straight into a 32-bit float (one rounding), the whole field consumed; the
// range is tested on the rounded value.
bool parseUnitFloat (ByteRange field, float& out)
{
    if (field.size == 0)
        return false;
    float value = 0.0f;
    const auto end = field.data + field.size;
    const auto parsed = std::from_chars (field.data, end, value, std::chars_format::general);
    if (parsed.ec != std::errc() || parsed.ptr != end || ! std::isfinite (value) || value < 0.0f || value > 1.0f)
        return false;
    out = value;
    return true;
}

bool parseProbeBytes (const char* data, size_t size, juce::Array<float>& values, juce::String& error)
{
    values.clearQuick();
    error.clear();

    bool headerSeen = false;
    int count = 0;
    std::vector<bool> seen;
    std::vector<std::pair<int, float>> rows;

    const bool linesOk = forEachLine (data, size, [&] (ByteRange raw)
    {
        const auto line = trimmedEnd (raw);
        if (line.startsWith ("VNPM\t"))
        {
            const auto fields = splitTabs (line);
            int parsed = 0;
            if (headerSeen || fields.size() != 2 || ! parseBoundedDecimal (fields[1], parsed))
            {
                error = "malformed or duplicate VNPM header";
                return false;
            }
            headerSeen = true;
            count = parsed;
        }
        else if (line.startsWith ("P\t"))
        {
            const auto fields = splitTabs (line);
            int index = 0;
            float value = 0.0f;
            if (seen.empty())
                seen.assign ((size_t) maxProbeIndex + 1, false);
            if (fields.size() != 3 || ! parseBoundedDecimal (fields[1], index) || seen[(size_t) index]
                || ! parseUnitFloat (fields[2], value))
            {
                error = "malformed or duplicate VNPM parameter row";
                return false;
            }
            seen[(size_t) index] = true;
            rows.emplace_back (index, value);
        }
        return true;
    });
    if (! linesOk)
        return false;

    if (! headerSeen || rows.size() != (size_t) count)
    {
        error = "VNPM parameter row count does not match the header";
        return false;
    }
    // The indices are distinct and as many as the count: all below it means exactly 0 .. count - 1.
    for (const auto& row : rows)
    {
        if (row.first >= count)
        {
            error = "VNPM parameter rows are not contiguous";
            return false;
        }
    }
    values.resize (count);
    for (const auto& row : rows)
        values.setUnchecked (row.first, row.second);
    return true;
}

// The last non-empty line of what a probe printed, trimmed, made safe to print in one line:
// bounded in length, a TAB as a blank, invalid UTF-8 and other control characters as '?'.
juce::String lastOutputLine (const std::string& output)
{
    ByteRange last;
    forEachLine (output.data(), output.size(), [&last] (ByteRange line)
    {
        const auto t = trimmed (line);
        if (t.size > 0)
            last = t;
        return true;
    });
    if (last.size == 0)
        return {};

    size_t n = last.size;
    if (n > maxQuotedLineBytes)
    {
        n = maxQuotedLineBytes;
        while (n > 0 && ((unsigned char) last.data[n] & 0xC0) == 0x80)
            --n; // do not cut a character in half
    }
    std::string bytes (last.data, n);
    if (! utf8::isValid (bytes.data(), bytes.size()))
        for (auto& c : bytes)
            if ((unsigned char) c >= 0x80)
                c = '?';
    for (auto& c : bytes)
        if (c == '\t')
            c = ' ';
        else if ((unsigned char) c < 0x20 || c == 0x7F)
            c = '?';
    return utf8::toTextReplacingMalformed (bytes.data(), bytes.size());
}

bool isBlank (const std::string& output)
{
    for (char c : output)
        if (! isAsciiSpace (c))
            return false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Files

// Writes the whole block to a new file (close-on-exec: a probe another worker starts meanwhile
// must not hold it), every step checked; on failure reason is ": " and the system's reason.
bool writeWholeFile (const juce::File& file, const juce::MemoryBlock& bytes, juce::String& reason)
{
    const int fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
    {
        reason = systemReason (errno);
        return false;
    }
    const bool written = writeAllBytes (fd, bytes.getData(), bytes.getSize());
    const int code = errno;
    const bool closed = ::close (fd) == 0;
    if (written && closed)
        return true;
    reason = systemReason (written ? errno : code);
    return false;
}

// The files that a VST3 host loads from a bundle, which the probe runs. On Linux the module
// Contents/<machine>-linux/<bundle name>.so, with the machine as uname reports it (the one path
// JUCE's host and the VST3 SDK open). On macOS the executable in Contents/MacOS that the bundle's
// Info.plist names: rather than reading that list, every regular file directly in the folder is
// taken, which holds it whatever its name.
std::vector<juce::File> moduleBinaryFiles (const juce::File& bundle)
{
   #if JUCE_MAC
    auto files = bundle.getChildFile ("Contents/MacOS")
                     .findChildFiles (juce::File::findFiles, false, "*", juce::File::FollowSymlinks::yes);
    files.sort();
    return { files.begin(), files.end() };
   #else
    juce::String machine;
    struct utsname names {};
    if (::uname (&names) == 0)
        machine = juce::String::fromUTF8 (names.machine);
    return { bundle.getChildFile ("Contents").getChildFile (machine + "-linux")
                   .getChildFile (bundle.getFileNameWithoutExtension() + ".so") };
   #endif
}

juce::String stateCacheKey (const juce::String& cid, const Vst3ModuleEntry& entry, const PluginState& state)
{
    juce::MemoryOutputStream out (256 + state.component.getSize() + state.controller.getSize());
    out.writeString (cacheKeyTag);
    out.writeString (storedClassId (cid));
    out.writeString (entry.version);
    out.writeString (entry.bundle.getFullPathName());
    out.writeInt64 (modificationMillis (entry.bundle));
    // What the probe loads: a binary replaced inside the bundle leaves the bundle's own time as it
    // was, so its size and time (to the nanosecond) are part of the key. A missing binary counts
    // with size -1, and the key changes when one appears.
    const auto binaries = moduleBinaryFiles (entry.bundle);
    out.writeInt64 ((juce::int64) binaries.size());
    for (const auto& binary : binaries)
    {
        const auto stamp = fileStamp (binary);
        out.writeString (binary.getFullPathName());
        out.writeInt64 (stamp.regularFile ? stamp.size : -1);
        out.writeInt64 (stamp.regularFile ? stamp.modifiedNanos : 0);
    }
    for (const auto* block : { &state.component, &state.controller })
    {
        out.writeInt64 ((juce::int64) block->getSize());
        if (block->getSize() > 0)
            out.write (block->getData(), block->getSize());
    }
    return juce::SHA256 (out.getData(), out.getDataSize()).toHexString();
}

// A usable cache file: a regular file no larger than the largest snapshot, that decodes. Anything
// else (a FIFO or a link to a device put in the folder included) counts as missing.
bool loadCacheEntry (const juce::File& file, juce::MemoryBlock& bytes)
{
    constexpr juce::int64 largest = (juce::int64) parameterState::snapshotHeaderSize
                                  + 4 * (juce::int64) parameterState::maxSnapshotValues;
    juce::MemoryBlock loaded;
    juce::String ignored;
    if (! readUntrustedBytes (file, largest, loaded, ignored))
        return false;
    parameterState::Snapshot snapshot;
    juce::String error;
    if (! parameterState::decode (loaded, snapshot, error))
        return false;
    bytes = std::move (loaded);
    return true;
}

// The bytes go to a new, exclusively created file beside the target, which then replaces the
// target in one rename: a reader sees the old file or the new one, never a part. mkstemps names
// the file without any shared random state, so worker threads can write at the same time.
// A failure names the entry and the system's reason.
bool writeCacheEntry (const juce::File& file, const juce::MemoryBlock& bytes, juce::String& error)
{
    const auto failed = [&file, &error] (int code)
    {
        error = "could not atomically update parameter mirror cache " + file.getFullPathName() + systemReason (code);
        return false;
    };
    auto pattern = file.getSiblingFile (file.getFileNameWithoutExtension() + "_tempXXXXXX" + file.getFileExtension())
                       .getFullPathName().toStdString();
    const int suffix = (int) file.getFileExtension().getNumBytesAsUTF8();
    const int fd = ::mkostemps (pattern.data(), suffix, O_CLOEXEC); // a probe started meanwhile must not hold it
    if (fd < 0)
        return failed (errno);

    const auto* data = static_cast<const char*> (bytes.getData());
    int code = 0;
    bool ok = writeAllBytes (fd, data, bytes.getSize()) && ::fsync (fd) == 0;
    code = ok ? 0 : errno;
    if (::close (fd) != 0 && ok)
    {
        ok = false;
        code = errno;
    }
    if (ok && std::rename (pattern.c_str(), file.getFullPathName().toRawUTF8()) != 0)
    {
        ok = false;
        code = errno;
    }
    if (! ok)
    {
        ::unlink (pattern.c_str());
        return failed (code);
    }
    error.clear();
    return true;
}

// ---------------------------------------------------------------------------------------------
// One probe run

// How a probe ended that ended by itself or by a signal: "exit status 3", "killed by signal 11".
juce::String howItEnded (const ProcessRun& run)
{
    if (run.outcome == ProcessOutcome::signalled)
        return "killed by signal " + juce::String (run.signalNumber);
    return "exit status " + juce::String (run.exitCode);
}

// A program that cannot be started at all is the probe program's fault (programFault).
bool runProbe (const juce::File& probeProgram, const juce::File& temporaryRoot, const Vst3ModuleEntry& entry,
               const PluginState& state, int timeoutMs, juce::MemoryBlock& snapshot, juce::String& error, bool& programFault)
{
    programFault = false;
    // A fresh folder (mode 0700) that no other process can have chosen, removed on every path out
    // of the run, an interruption included. The probe also works in it, so whatever it or the
    // plug-in writes to a relative path goes away with it instead of landing in the user's folder.
    PrivateFolder probeDirectory;
    juce::String folderError;
    if (temporaryRoot == juce::File() || ! makePrivateFolder (temporaryRoot, probeDirectoryPrefix, probeDirectory, folderError))
    {
        const int code = errno;
        error = "could not create isolated parameter probe directory"
              + (temporaryRoot == juce::File() ? juce::String()
                                               : " in the temporary folder " + temporaryRoot.getFullPathName() + " (TMPDIR)"
                                                     + systemReason (code));
        return false;
    }

    const auto component = probeDirectory.folder.getChildFile ("component.bin");
    const auto controller = probeDirectory.folder.getChildFile ("controller.bin");
    juce::String reason;
    if (! writeWholeFile (component, state.component, reason) || ! writeWholeFile (controller, state.controller, reason))
    {
        error = "could not stage VST3 state for parameter probe" + reason;
        return false;
    }

    const auto run = runIsolatedProcess ({ probeProgram.getFullPathName().toStdString(), "--vnpm",
                                           entry.bundle.getFullPathName().toStdString(),
                                           component.getFullPathName().toStdString(),
                                           controller.getFullPathName().toStdString() },
                                         timeoutMs, maxProbeOutputBytes,
                                         probeDirectory.folder.getFullPathName().toStdString(), true);
    switch (run.outcome)
    {
        case ProcessOutcome::startFailed:
            error = "could not start isolated parameter probe " + probeProgram.getFullPathName() + systemReason (run.startError);
            programFault = true;
            return false;
        case ProcessOutcome::timedOut:
            error = "isolated parameter probe timed out for " + entry.name;
            return false;
        case ProcessOutcome::outputTooLarge:
            error = "isolated parameter probe failed for " + entry.name + ": output exceeds "
                  + juce::String ((juce::int64) (maxProbeOutputBytes / (1024 * 1024))) + " MiB";
            return false;
        case ProcessOutcome::signalled:
        case ProcessOutcome::exited:
            break;
    }

    // A probe killed by a signal (a crashing plug-in) failed, whatever it printed before. How it
    // ended is told before its last line, which may be any answer it printed before the crash.
    if (run.outcome == ProcessOutcome::signalled || run.exitCode != 0)
    {
        error = "isolated parameter probe failed for " + entry.name + " (" + howItEnded (run) + ")";
        const auto line = lastOutputLine (run.output);
        if (line.isNotEmpty())
            error << ": " << line;
        return false;
    }
    if (isBlank (run.output))
    {
        error = "isolated parameter probe terminated without output for " + entry.name;
        return false;
    }
    juce::Array<float> values;
    juce::String parseError;
    if (! parseProbeBytes (run.output.data(), run.output.size(), values, parseError))
    {
        error = "invalid parameter probe output for " + entry.name + ": " + parseError;
        return false;
    }
    snapshot = parameterState::encode (values, 0);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Slots

bool isAudioUnit (const PluginRef& slot) { return isAudioUnitFormat (slot.format); }

// Whether the slot's own mirror stands: marked complete and decoding. When it is marked complete
// but does not decode, reason says why.
bool sourceMirrorStands (const PluginRef& slot, juce::String& reason)
{
    reason.clear();
    if (! slot.state.parameterMirrorComplete)
        return false;
    parameterState::Snapshot snapshot;
    if (parameterState::decode (slot.state.parameters, snapshot, reason))
        return true;
    if (reason.isEmpty())
        reason = "it does not decode";
    return false;
}

// Resolves the installed plug-in of a slot that needs a mirror; false with the slot's message.
bool resolveSlot (const PluginRef& slot, int stripIndex, const Vst3ModuleIndex& index, const Vst3ModuleEntry*& entry,
                  juce::String& cid, juce::String& message)
{
    entry = nullptr;
    if (slot.state.component.isEmpty())
    {
        message = "cannot generate LiveProfessor parameters without Comp state at strip " + juce::String (stripIndex);
        return false;
    }
    cid = index.classIdOf (slot);
    entry = cid.isEmpty() ? nullptr : index.findByClassId (cid);
    if (entry == nullptr || ! entry->available || ! entry->bundle.exists())
    {
        message = "cannot generate LiveProfessor parameters because the installed plug-in is unavailable at strip "
                + juce::String (stripIndex) + ": " + slot.name;
        return false;
    }
    return true;
}

// The probe program and the cache folder, each named when it is the fault.
bool checkPreconditions (const juce::File& probeProgram, const juce::File& cacheDir, int timeoutMs,
                         const juce::String& prefix, juce::String& error, MirrorInputFault& fault)
{
    fault = MirrorInputFault::none;
    const auto unavailable = [&] (MirrorInputFault which, const juce::String& what, const juce::String& why)
    {
        fault = which;
        error = prefix + what + " is unavailable" + why;
        return false;
    };
    if (probeProgram == juce::File())
        return unavailable (MirrorInputFault::probeProgram, "parameter probe helper", {});
    if (const auto probe = checkProbeProgram (probeProgram); ! probe)
        return unavailable (MirrorInputFault::probeProgram, "parameter probe helper", ": " + probe.message());
    if (timeoutMs < 1)
        return unavailable (MirrorInputFault::none, "parameter mirror cache", {});
    if (cacheDir == juce::File())
        return unavailable (MirrorInputFault::cacheFolder, "parameter mirror cache", {});
    // Other runs may be making the same cache folder at this moment: one that stands when this
    // run comes to make it is theirs, and it is used.
    if (! makeFolderWithParents (cacheDir))
        return unavailable (MirrorInputFault::cacheFolder, "parameter mirror cache", ":" + heldFolderFailure (cacheDir, errno));
    return true;
}

juce::File cacheFileFor (const juce::File& cacheDir, const juce::String& key) { return cacheDir.getChildFile (key + ".vnpm"); }

// ---------------------------------------------------------------------------------------------
// Best-effort preparation

struct PreparationSlot
{
    int strip = 0;
    int slot = 0;
    juce::String name;
};

struct PreparationJob
{
    // Built by copy construction only: copy-assigning an empty MemoryBlock is not safe.
    PreparationJob (juce::String k, const Vst3ModuleEntry& e, const PluginState& s, juce::File f)
        : key (std::move (k)), entry (e), state (s), cacheFile (std::move (f)) {}

    juce::String key;
    Vst3ModuleEntry entry;
    PluginState state;
    juce::File cacheFile;
    std::vector<PreparationSlot> slots;
    bool servedFromCache = false;
    bool probedAndWritten = false;
    bool replacedInvalid = false;
    juce::String error;
};

void runJob (PreparationJob& job, const juce::File& probeProgram, const juce::File& temporaryRoot, int timeoutMs)
{
    job.servedFromCache = job.probedAndWritten = job.replacedInvalid = false;
    job.error.clear();
    try
    {
        juce::MemoryBlock snapshot;
        if (loadCacheEntry (job.cacheFile, snapshot))
        {
            job.servedFromCache = true;
            return;
        }
        const bool existed = job.cacheFile.exists();
        juce::String error;
        bool programFault = false;
        if (! runProbe (probeProgram, temporaryRoot, job.entry, job.state, timeoutMs, snapshot, error, programFault)
            || ! writeCacheEntry (job.cacheFile, snapshot, error))
        {
            job.error = error;
            return;
        }
        job.probedAndWritten = true;
        job.replacedInvalid = existed;
    }
    catch (...)
    {
        // Nothing may escape a worker thread; the job simply failed.
        job.error = "could not run isolated parameter probe for " + job.entry.name;
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Entry points

bool parseParameterProbeOutput (const juce::String& text, juce::Array<float>& values, juce::String& error)
{
    return parseProbeBytes (text.toRawUTF8(), text.getNumBytesAsUTF8(), values, error);
}

Expected<void> checkProbeProgram (const juce::File& probeProgram)
{
    if (probeProgram.isDirectory())
        return failure (folderNotFileError (probeProgram));
    if (! probeProgram.existsAsFile())
        return failure (fileNotFoundError (probeProgram));
    return success();
}

int preparationWorkerCount (int jobs)
{
    return juce::jlimit (0, maxWorkers, jobs);
}

bool hydrateParameterMirrors (RackReadResult& result, const Vst3ModuleIndex& index, const juce::File& probeProgram,
                              const juce::File& cacheDir, ParameterMirrorHydrationStats& stats, juce::String& error,
                              int timeoutMs)
{
    stats = ParameterMirrorHydrationStats();
    error.clear();
    if (! checkPreconditions (probeProgram, cacheDir, timeoutMs, "LiveProfessor ", error, stats.inputFault))
        return false;

    const auto temporaryRoot = vornconv::temporaryRoot();
    std::map<juce::String, juce::MemoryBlock> obtained;
    for (auto& strip : result.session.strips)
    {
        for (int position = 0; position < strip.plugins.size(); ++position)
        {
            auto& slot = strip.plugins.getReference (position);
            if (! slot.occupied)
                continue;
            if (isAudioUnit (slot))
            {
                ++stats.auSkipped;
                continue;
            }
            juce::String unusable;
            if (sourceMirrorStands (slot, unusable))
            {
                ++stats.alreadyComplete;
                continue;
            }
            const bool replacing = slot.state.parameterMirrorComplete;

            const Vst3ModuleEntry* entry = nullptr;
            juce::String cid;
            if (! resolveSlot (slot, strip.index, index, entry, cid, error))
                return false;

            const auto key = stateCacheKey (cid, *entry, slot.state);
            const auto cacheFile = cacheFileFor (cacheDir, key);
            juce::MemoryBlock snapshot;
            const auto known = obtained.find (key);
            if (known != obtained.end())
            {
                snapshot = known->second;
                ++stats.reusedInCall;
            }
            else if (loadCacheEntry (cacheFile, snapshot))
            {
                ++stats.cacheHits;
            }
            else
            {
                const bool existed = cacheFile.exists();
                bool programFault = false;
                if (! runProbe (probeProgram, temporaryRoot, *entry, slot.state, timeoutMs, snapshot, error, programFault))
                {
                    stats.inputFault = programFault ? MirrorInputFault::probeProgram : MirrorInputFault::none;
                    return false;
                }
                if (! writeCacheEntry (cacheFile, snapshot, error))
                {
                    stats.inputFault = MirrorInputFault::cacheFolder;
                    return false;
                }
                ++stats.probed;
                if (existed)
                    ++stats.replacedInvalid;
            }
            if (known == obtained.end())
                obtained.emplace (key, snapshot);
            stats.cacheFiles.addIfNotAlreadyThere (cacheFile);
            slot.state.parameters = std::move (snapshot);
            slot.state.parameterMirrorComplete = true;
            if (replacing)
            {
                ++stats.replaced;
                stats.replacements.add ({ strip.index, position, slot.name, unusable });
            }
            else
            {
                ++stats.filled;
            }
        }
    }
    return true;
}

namespace
{

// Scan on the calling thread: problems become issues, the rest become one job per key.
std::vector<PreparationJob> collectJobs (const RackReadResult& result, const Vst3ModuleIndex& index, const juce::File& cacheDir,
                                        ParameterMirrorPreparationReport& report)
{
    std::vector<PreparationJob> jobs;
    std::map<juce::String, size_t> jobOfKey;
    for (const auto& strip : result.session.strips)
    {
        for (int position = 0; position < strip.plugins.size(); ++position)
        {
            const auto& slot = strip.plugins.getReference (position);
            if (! slot.occupied)
                continue;
            if (isAudioUnit (slot))
            {
                ++report.auSkipped;
                continue;
            }
            juce::String unusable;
            if (sourceMirrorStands (slot, unusable))
            {
                ++report.alreadyComplete;
                continue;
            }

            const Vst3ModuleEntry* entry = nullptr;
            juce::String cid, message;
            if (! resolveSlot (slot, strip.index, index, entry, cid, message))
            {
                report.issues.add (ParameterMirrorPreparationIssue { strip.index, position, slot.name, message });
                continue;
            }
            const auto key = stateCacheKey (cid, *entry, slot.state);
            auto found = jobOfKey.find (key);
            if (found == jobOfKey.end())
            {
                jobs.emplace_back (key, *entry, slot.state, cacheFileFor (cacheDir, key));
                found = jobOfKey.emplace (key, jobs.size() - 1).first;
            }
            jobs[found->second].slots.push_back ({ strip.index, position, slot.name });
        }
    }
    return jobs;
}

// Workers touch nothing but their own job; the join orders their writes before the fold.
void runJobs (std::vector<PreparationJob>& jobs, const juce::File& probeProgram, const juce::File& temporaryRoot, int timeoutMs)
{
    const int jobCount = (int) jobs.size();
    std::atomic<int> next { 0 };
    const auto work = [&jobs, &next, jobCount, &probeProgram, &temporaryRoot, timeoutMs]
    {
        for (;;)
        {
            const int i = next.fetch_add (1, std::memory_order_relaxed);
            if (i >= jobCount)
                break;
            runJob (jobs[(size_t) i], probeProgram, temporaryRoot, timeoutMs);
        }
    };
    std::vector<std::thread> workers;
    for (int w = 0; w < preparationWorkerCount (jobCount); ++w)
    {
        try
        {
            workers.emplace_back (work);
        }
        catch (...)
        {
            break; // the workers that did start take the remaining jobs
        }
    }
    if (workers.empty())
        work();
    for (auto& worker : workers)
        worker.join();
}

// The report of every job: its slots as issues when it failed, or a cache hit, a probe and the
// cache file it filled.
void foldJobs (const std::vector<PreparationJob>& jobs, ParameterMirrorPreparationReport& report)
{
    for (const auto& job : jobs)
    {
        if (job.error.isNotEmpty())
        {
            for (const auto& slot : job.slots)
                report.issues.add (ParameterMirrorPreparationIssue { slot.strip, slot.slot, slot.name, job.error });
            continue;
        }
        if (job.servedFromCache)
            report.cacheHits += (juce::int32) job.slots.size();
        if (job.probedAndWritten)
        {
            ++report.probed;
            report.reusedInCall += (juce::int32) job.slots.size() - 1;
            if (job.replacedInvalid)
                ++report.replacedInvalid;
        }
        report.cacheFiles.addIfNotAlreadyThere (job.cacheFile);
    }
}

} // namespace

bool prepareParameterMirrorsBestEffort (const RackReadResult& result, const Vst3ModuleIndex& index,
                                        const juce::File& probeProgram, const juce::File& cacheDir,
                                        ParameterMirrorPreparationReport& report, juce::String& error, int timeoutMs)
{
    report = ParameterMirrorPreparationReport();
    error.clear();
    if (! checkPreconditions (probeProgram, cacheDir, timeoutMs, {}, error, report.inputFault))
        return false;

    auto jobs = collectJobs (result, index, cacheDir, report);
    const auto temporaryRoot = vornconv::temporaryRoot();
    runJobs (jobs, probeProgram, temporaryRoot, timeoutMs);

    // A failure may be passing (a busy machine, a probe that fails once): each failed job gets one
    // more run here, in job order.
    for (auto& job : jobs)
        if (job.error.isNotEmpty())
            runJob (job, probeProgram, temporaryRoot, timeoutMs);

    foldJobs (jobs, report);
    return true;
}

} // namespace vornconv::rapp
