// The converter's persistent factory cache: one text file of VST3 class records in ascending
// class-id order, written whole and then renamed into place so that a reader sees the old cache or
// the new one, never a part. A full scan replaces what it finds and marks everything else
// unavailable; a per-bundle merge keeps the records it does not touch. The import from Vorn Live
// takes only the plug-ins that the live host has verified one by one in this very environment,
// matches each against the installed bundles (or an isolated factory check), and makes sure that
// none of the files it relied on changed before it merges.
//
// Every file read here is untrusted: it comes through the loader, and XML through the strict
// guard.
//
// In this file, in order:
//   - Text helpers: class-id lines, the untrusted reads, digests, strict integer and hexadecimal
//     attributes, file times.
//   - Records: parsing, merging and writing records, and the atomic replacement of the cache file.
//   - The live host's verified layouts: the layout records, their capability check, the
//     environment signature, matching a bundle's classes, and the isolated factory check.
//   - This machine and its bundles: the operating-system build, translation, the live host's
//     identity key and a bundle's fingerprint.
//   - The cache operations: validate, mergeScan and importVornLive.

#include "rapp/Vst3FactoryCache.h"

#include "model/AtomicFileCommit.h"
#include "model/FileTimes.h"
#include "model/Folders.h"
#include "model/StrictXml.h"
#include "model/UntrustedFile.h"
#include "model/Utf8Text.h"
#include "model/Vst3ClassId.h"
#include "rapp/Vst3ModuleIndex.h"

#include <juce_cryptography/juce_cryptography.h>

#include <climits>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#if JUCE_MAC
 #include <sys/sysctl.h>
#else
 #include <sys/utsname.h>
#endif

namespace vornconv::rapp
{
namespace Vst3FactoryCache
{
namespace
{

using RecordMap = std::map<std::string, Record>;

// Cache files and the live host's files larger than this are refused before they are read.
constexpr juce::int64 maxFileBytes = 64 * 1024 * 1024;

const char* const environmentFileName = "plugin_scan_environment.xml";
const char* const layoutFileName = "plugin_layout_capabilities.xml";

// ---------------------------------------------------------------------------------------------
// Text helpers

// The text before the first TAB (the whole line without one) is a class id.
bool startsWithClassId (const juce::String& line)
{
    const int tab = line.indexOfChar ('\t');
    return isHexClassId (tab < 0 ? line : line.substring (0, tab));
}

bool hasLineBreakOrTab (const juce::String& text)
{
    return text.containsAnyOf ("\t\r\n");
}

// Exactly what the bytes say: false for a missing or unreadable file, one that is not a regular
// file, one larger than the limit, or one that changes size while it is read.
bool readFileBytes (const juce::File& file, juce::MemoryBlock& bytes)
{
    juce::String ignored;
    return readUntrustedBytes (file, maxFileBytes, bytes, ignored);
}

// UTF-8 text without NUL bytes; false for anything else.
bool bytesAsText (const juce::MemoryBlock& bytes, juce::String& text)
{
    return utf8::toText (bytes.getData(), bytes.getSize(), text);
}

juce::String sha256Hex (const juce::MemoryBlock& bytes)
{
    return juce::SHA256 (bytes.getData(), bytes.getSize()).toHexString();
}

// An integer attribute: the default when it is missing, INT_MIN (which no rule accepts) when it
// is not a plain decimal number. JUCE's getIntAttribute would read "2abc" as 2.
int strictIntAttribute (const juce::XmlElement& element, const char* name, int missing)
{
    if (! element.hasAttribute (name))
        return missing;
    const auto text = element.getStringAttribute (name);
    auto p = text.getCharPointer();
    bool negative = false;
    if (*p == '-')
    {
        negative = true;
        ++p;
    }
    if (p.isEmpty())
        return INT_MIN;
    juce::int64 value = 0;
    for (; ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (c < '0' || c > '9' || value > 100000000)
            return INT_MIN;
        value = value * 10 + (c - '0');
    }
    return (int) (negative ? -value : value);
}

// 1 to maxDigits hexadecimal digits, any case; false for anything else.
bool parseHex (const juce::String& text, int maxDigits, juce::uint64& value)
{
    value = 0;
    if (text.isEmpty() || text.length() > maxDigits)
        return false;
    for (auto p = text.getCharPointer(); ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        int digit;
        if (c >= '0' && c <= '9') digit = (int) (c - '0');
        else if (c >= 'a' && c <= 'f') digit = (int) (c - 'a') + 10;
        else if (c >= 'A' && c <= 'F') digit = (int) (c - 'A') + 10;
        else return false;
        value = (value << 4) | (juce::uint64) digit;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Records

// A bundle path as the cache keeps it: absolute as written (a leading "~" is not), no trailing
// separator, and a file name with the extension .vst3 in any case.
bool isBundlePath (const juce::String& path)
{
    if (! path.startsWithChar ('/') || path.endsWithChar ('/'))
        return false;
    return juce::File (path).getFileExtension().toLowerCase() == ".vst3";
}

bool parseRecord (const juce::String& line, bool scannerRow, Record& record, juce::String& error)
{
    const auto fields = splitTabs (line);
    if (scannerRow ? fields.size() != 5 : (fields.size() < 5 || fields.size() > 6))
    {
        error = scannerRow ? "invalid factory scanner row" : "invalid persistent factory cache row";
        return false;
    }
    if (! isHexClassId (fields[0]) || fields[1].isEmpty() || ! isBundlePath (fields[4]))
    {
        error = "invalid VST3 identity in factory cache";
        return false;
    }
    bool available = true;
    if (fields.size() == 6)
    {
        if (fields[5] != "0" && fields[5] != "1")
        {
            error = "invalid factory cache availability flag";
            return false;
        }
        available = fields[5] == "1";
    }
    record.classId = storedClassId (fields[0]);
    record.name = fields[1];
    record.vendor = fields[2];
    record.version = fields[3];
    record.path = fields[4];
    record.available = available;
    return true;
}

bool addRecord (RecordMap& records, const Record& record, bool replace, juce::String& error)
{
    const auto key = record.classId.toStdString();
    const auto found = records.find (key);
    if (found == records.end())
    {
        records.emplace (key, record);
        return true;
    }
    if (replace)
    {
        found->second = record;
        return true;
    }
    const auto& stored = found->second;
    if (stored.name == record.name && stored.vendor == record.vendor && stored.version == record.version
        && stored.path == record.path && stored.available == record.available)
        return true;
    error = "conflicting duplicate VST3 CID in factory cache: " + record.classId;
    return false;
}

bool parsePersistentText (const juce::String& text, RecordMap& records, juce::String& error)
{
    for (const auto& rawLine : splitLines (text))
    {
        const auto line = rawLine.trimEnd();
        if (line.isEmpty())
            continue;
        Record record;
        if (! parseRecord (line, false, record, error) || ! addRecord (records, record, false, error))
            return false;
    }
    return true;
}

FactoryCacheStats statsOf (const RecordMap& records)
{
    FactoryCacheStats stats;
    for (const auto& item : records)
        ++(item.second.available ? stats.available : stats.unavailable);
    return stats;
}

std::string cacheText (const RecordMap& records)
{
    juce::MemoryOutputStream out;
    for (const auto& item : records)
    {
        const auto& r = item.second;
        out << r.classId << "\t" << r.name << "\t" << r.vendor << "\t" << r.version << "\t" << r.path
            << "\t" << (r.available ? "1" : "0") << "\r\n";
    }
    return std::string (static_cast<const char*> (out.getData()), out.getDataSize());
}

// The bytes go to a new, exclusively created file beside the output, are synced, and then replace
// the output in one rename: readers see the old cache or the new one, never a part, and a failed
// write (a full disk) leaves the old cache in place. A replaced cache keeps its permissions.
bool replaceFileAtomically (const juce::File& output, const std::string& bytes)
{
    const auto target = output.getFullPathName().toStdString();
    std::string pattern = output.getSiblingFile (output.getFileName() + ".tmp-XXXXXX").getFullPathName().toStdString();
    const int fd = ::mkostemp (pattern.data(), O_CLOEXEC);
    if (fd < 0)
        return false;

    struct stat existing;
    const mode_t mode = ::stat (target.c_str(), &existing) == 0 && S_ISREG (existing.st_mode)
                            ? (mode_t) (existing.st_mode & 0777) : (mode_t) 0644;
    bool ok = ::fchmod (fd, mode) == 0;
    ok = ok && writeAllBytes (fd, bytes.data(), bytes.size());
    ok = ok && ::fsync (fd) == 0;
    ok = (::close (fd) == 0) && ok;
    ok = ok && std::rename (pattern.c_str(), target.c_str()) == 0;
    if (! ok)
    {
        ::unlink (pattern.c_str());
        return false;
    }
    const int folder = ::open (output.getParentDirectory().getFullPathName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0)
    {
        ::fsync (folder);
        ::close (folder);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The live host's verified layouts

// The layout records by identity key and environment hash, gathered once per import so that
// every plug-in looks up its own records instead of walking the whole file.
using LayoutIndex = std::map<std::pair<juce::String, juce::String>, std::vector<const juce::XmlElement*>>;

LayoutIndex indexLayouts (const juce::XmlElement& root)
{
    LayoutIndex index;
    for (const auto* child : root.getChildIterator())
        if (child->hasTagName ("Plugin"))
            index[{ child->getStringAttribute ("identity"), child->getStringAttribute ("environment") }].push_back (child);
    return index;
}

bool verifiedCapabilities (const juce::XmlElement& plugin)
{
    // A plug-in record has one Capabilities child; should there be more, the first one counts.
    const auto* capabilities = plugin.getChildByName ("Capabilities");
    if (capabilities == nullptr || strictIntAttribute (*capabilities, "schema", -1) != 2)
        return false;
    for (const char* name : { "defaultMainInputs", "defaultMainOutputs", "defaultAuxInputs", "defaultAuxOutputs" })
        if (strictIntAttribute (*capabilities, name, -1) < 0)
            return false;
    if (capabilities->getNumChildElements() == 0)
        return false;

    bool seen[4] = { false, false, false, false };
    bool anySupported = false;
    for (const auto* mode : capabilities->getChildIterator())
    {
        if (! mode->hasTagName ("Mode"))
            return false;
        const int index = strictIntAttribute (*mode, "index", -1);
        if (index < 0 || index > 3 || seen[index])
            return false;
        seen[index] = true;
        const int status = strictIntAttribute (*mode, "status", -1);
        if (status < 0 || status > 2)
            return false;
        const auto supported = mode->getStringAttribute ("supported");
        if (! mode->hasAttribute ("supported") || (supported != "0" && supported != "1"))
            return false;
        const int aux = strictIntAttribute (*mode, "selectedAuxInputs", -2);
        if (aux < -1)
            return false;
        if (supported == "1")
        {
            if (status != 1 || aux < 0)
                return false;
            anySupported = true;
        }
        else if (aux != -1)
        {
            return false;
        }
    }
    return seen[0] && seen[1] && seen[2] && seen[3] && anySupported;
}

// A root without Plugin children gives an empty index, so it verifies nothing.
bool verifiedLiveLayout (const LayoutIndex& layouts, const juce::String& identityKey,
                         const juce::String& environmentHash, const juce::File& bundle,
                         const juce::String& fingerprint, juce::String& lastProbeError)
{
    lastProbeError.clear();
    if (fingerprint.isEmpty())
        return false;
    const auto found = layouts.find ({ identityKey, environmentHash });
    if (found == layouts.end() || found->second.size() != 1)
        return false;
    const auto& plugin = *found->second.front();
    if (plugin.getStringAttribute ("path") != bundle.getFullPathName()
        || plugin.getStringAttribute ("fingerprint") != fingerprint)
        return false;
    lastProbeError = plugin.getStringAttribute ("lastProbeError");
    return verifiedCapabilities (plugin);
}

// The environment signature must describe this very converter on this very machine.
bool signatureMatchesHost (const juce::String& signature)
{
    juce::String ignored;
    const auto bytes = signature.toStdString();
    const auto environment = strictXml::parse (bytes.data(), bytes.size(), strictXml::defaultMaxDepth, ignored);
    if (environment == nullptr || ! environment->hasTagName ("Environment")
        || strictIntAttribute (*environment, "schema", 0) != 1)
        return false;
    const auto build = hostOsBuild();
    const auto recorded = environment->getStringAttribute ("build");
    return recorded.isNotEmpty() && recorded == build
        && environment->getStringAttribute ("architecture") == "x86_64"
        && environment->getStringAttribute ("translation") == (hostIsTranslated() ? "rosetta" : "native")
        && environment->getStringAttribute ("juce") == juce::SystemStats::getJUCEVersion();
}

std::unique_ptr<juce::XmlElement> parseXmlBytes (const juce::MemoryBlock& bytes)
{
    juce::String ignored;
    return strictXml::parse (bytes.getData(), bytes.getSize(), strictXml::defaultMaxDepth, ignored);
}

int countMatches (const Vst3ModuleIndex& index, const juce::File& bundle, juce::uint32 uniqueId,
                  const juce::String& name, const Vst3ModuleEntry*& last)
{
    int count = 0;
    for (const auto& entry : index.entries)
        if (entry.bundle == bundle && entry.uniqueId == uniqueId && entry.name == name)
        {
            ++count;
            last = &entry;
        }
    return count;
}

// Runs the isolated check for one bundle and turns its rows into a module index of that bundle
// alone; false with the reason when the check or its rows cannot be trusted.
bool isolatedIndexFor (const juce::File& bundle, const juce::String& fingerprint, const IsolatedCheck& check,
                       Vst3ModuleIndex& result, juce::String& failure)
{
    juce::String rows, checkError;
    if (! check (bundle, rows, checkError))
    {
        failure = checkError.isNotEmpty() ? checkError : juce::String ("isolated factory check failed");
        return false;
    }

    const auto bundlePath = bundle.getFullPathName();
    bool bad = false;
    std::set<juce::String> seenIds;
    juce::MemoryOutputStream good;
    for (const auto& rawLine : splitLines (rows))
    {
        const auto line = rawLine.trimEnd();
        if (! startsWithClassId (line))
            continue;
        const auto fields = splitTabs (line);
        if (fields.size() != 5 || fields[1].isEmpty() || fields[4] != bundlePath
            || ! seenIds.insert (storedClassId (fields[0])).second)
        {
            bad = true;
            continue;
        }
        good << line << "\n";
    }

    if (bundleFingerprint (bundle) != fingerprint)
    {
        failure = "plug-in changed during isolated factory check";
        return false;
    }
    if (bad)
    {
        failure = "isolated factory returned invalid, conflicting or foreign rows";
        return false;
    }
    Vst3ModuleIndex index;
    juce::String loadError;
    if (! index.loadFactoryCatalogText (good.toString(), loadError))
    {
        failure = "invalid isolated factory results: " + loadError;
        return false;
    }
    for (const auto& entry : index.entries)
        if (entry.bundle != bundle || ! entry.available)
        {
            failure = "isolated factory returned a different bundle path";
            return false;
        }
    result = std::move (index);
    return true;
}

bool failImport (juce::String& error, const char* message)
{
    error = message;
    return false;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// This machine and its bundles

juce::String hostOsBuild()
{
   #if JUCE_MAC
    char buffer[256] = {};
    size_t size = sizeof (buffer) - 1;
    if (::sysctlbyname ("kern.osversion", buffer, &size, nullptr, 0) != 0)
        return {};
    return utf8::toTextReplacingMalformed (buffer, juce::jmin (size, strlen (buffer)));
   #else
    struct utsname names;
    if (::uname (&names) != 0)
        return {};
    return utf8::toTextReplacingMalformed (names.release);
   #endif
}

bool hostIsTranslated()
{
   #if JUCE_MAC
    int translated = 0;
    size_t size = sizeof (translated);
    if (::sysctlbyname ("sysctl.proc_translated", &translated, &size, nullptr, 0) != 0)
        return false;
    return translated != 0;
   #else
    return false;
   #endif
}

juce::String liveIdentityKey (const juce::String& bundlePath, juce::int32 uniqueId, const juce::String& version)
{
    juce::String key;
    for (const auto& part : { juce::String ("VST3"), bundlePath, juce::String (uniqueId), version })
        key << juce::String (part.length()) << ":" << part;
    return key;
}

juce::String bundleFingerprint (const juce::File& bundle)
{
    if (! bundle.exists())
        return {};
    juce::MemoryOutputStream out;
    out << bundle.getFullPathName() << ":" << juce::String (modificationMillis (bundle)) << ":"
        << juce::String (bundle.getSize());

    auto executables = bundle.getChildFile ("Contents/MacOS");
    if (! executables.isDirectory())
        executables = bundle.getChildFile ("Contents/x86_64-win");
   #if JUCE_LINUX
    // Linux bundles keep their module here; without it a replaced binary would go unnoticed.
    if (! executables.isDirectory())
        executables = bundle.getChildFile ("Contents/x86_64-linux");
   #endif
    if (executables.isDirectory())
    {
        auto files = executables.findChildFiles (juce::File::findFiles, false, "*", juce::File::FollowSymlinks::yes);
        files.sort();
        for (const auto& file : files)
            out << "|" << file.getFileName() << ":" << juce::String (file.getSize()) << ":"
                << juce::String (modificationMillis (file));
    }

    const auto info = bundle.getChildFile ("Contents/Info.plist");
    if (info.existsAsFile())
        out << "|Info:" << juce::String (info.getSize()) << ":" << juce::String (modificationMillis (info));
    return out.toString();
}

// ---------------------------------------------------------------------------------------------
// The cache operations

bool validate (const juce::File& cache, FactoryCacheStats& stats, juce::String& error)
{
    stats = {};
    error.clear();
    if (! cache.existsAsFile())
    {
        error = "factory cache does not exist: " + cache.getFullPathName();
        return false;
    }
    juce::MemoryBlock bytes;
    juce::String text;
    if (! readFileBytes (cache, bytes) || ! bytesAsText (bytes, text) || text.isEmpty())
    {
        error = "factory cache is empty or unreadable";
        return false;
    }
    RecordMap records;
    if (! parsePersistentText (text, records, error))
        return false;
    if (records.empty())
    {
        error = "factory cache has no plugin identities";
        return false;
    }
    stats = statsOf (records);
    return true;
}

bool mergeScan (const juce::File& existing, juce::StringRef scanText, const juce::File& output,
                FactoryScanScope scope, FactoryCacheStats& stats, juce::String& error)
{
    stats = {};
    error.clear();
    RecordMap records;

    if (existing.exists())
    {
        juce::MemoryBlock bytes;
        juce::String text, parseError;
        bool readable = readFileBytes (existing, bytes) && bytesAsText (bytes, text);
        if (! readable)
            parseError = "factory cache is empty or unreadable";
        else if (! parsePersistentText (text, records, parseError))
            readable = false;

        if (! readable)
        {
            // A full scan rebuilds what is installed, so a damaged cache is simply replaced. A
            // per-bundle merge would keep only the bundle it rescans and lose every other record.
            if (scope != FactoryScanScope::Global)
            {
                error = "existing factory cache is invalid and was kept: " + parseError;
                return false;
            }
            records.clear();
        }
    }

    if (scope == FactoryScanScope::Global)
        for (auto& item : records)
            item.second.available = false;

    int stored = 0;
    for (const auto& rawLine : splitLines (juce::String (scanText.text)))
    {
        const auto line = rawLine.trimEnd();
        if (line.isEmpty() || line.startsWith ("ERROR\t") || ! startsWithClassId (line))
            continue;
        Record record;
        if (! parseRecord (line, true, record, error) || ! addRecord (records, record, true, error))
            return false;
        ++stored;
    }
    if (stored == 0)
    {
        error = "factory scan produced no valid VST3 identities";
        return false;
    }

    const auto folder = output.getParentDirectory();
    if (! makeFolderWithParents (folder))
    {
        error = "could not create factory cache directory";
        return false;
    }
    if (! replaceFileAtomically (output, cacheText (records)))
    {
        error = "could not atomically replace factory cache";
        return false;
    }
    stats = statsOf (records);
    return true;
}

namespace
{

// The VORN Live records an import reads, each proven to be what it claims: the plug-in cache, its
// scan environment (complete and matching the cache, or pending) recorded for this converter, and
// the per-plug-in verified layouts; with the hash of each file's bytes, so that a change during
// the import is seen.
struct LiveRecords
{
    juce::File environmentFile, layoutFile;
    juce::String liveHash, environmentHashOfFile, layoutHash;
    std::unique_ptr<juce::XmlElement> live, layout;
    juce::String state;           // of the scan: "complete" or "pending"
    juce::String environmentHash; // of the environment's signature
    LayoutIndex layouts;          // of layout
};

bool readLiveRecords (const juce::File& liveCache, LiveRecords& records, juce::String& error)
{
    auto& environmentFile = records.environmentFile;
    auto& layoutFile = records.layoutFile;
    auto& liveHash = records.liveHash;
    auto& environmentHashOfFile = records.environmentHashOfFile;
    auto& live = records.live;
    auto& layout = records.layout;
    auto& state = records.state;
    auto& environmentHash = records.environmentHash;
    auto& layoutHash = records.layoutHash;
    auto& layouts = records.layouts;
    environmentFile = liveCache.getSiblingFile (environmentFileName);
    layoutFile = liveCache.getSiblingFile (layoutFileName);

    juce::MemoryBlock liveBytes, environmentBytes;
    if (! readFileBytes (liveCache, liveBytes) || ! readFileBytes (environmentFile, environmentBytes))
        return failImport (error, "VORN Live cache or scan environment could not be read. Existing converter cache was kept.");
    liveHash = sha256Hex (liveBytes);
    environmentHashOfFile = sha256Hex (environmentBytes);
    live = parseXmlBytes (liveBytes);
    const auto environment = parseXmlBytes (environmentBytes);

    if (live == nullptr || ! live->hasTagName ("KNOWNPLUGINS"))
        return failImport (error, "VORN Live plugin cache is missing or invalid.");
    if (environment == nullptr || ! environment->hasTagName ("PluginScanEnvironment")
        || strictIntAttribute (*environment, "schema", 0) != 1)
        return failImport (error, "VORN Live scan environment record is missing or invalid. Existing converter cache was kept.");

    state = environment->getStringAttribute ("state");
    if (state != "complete" && state != "pending")
        return failImport (error, "VORN Live scan environment state is invalid; existing converter cache was kept.");
    if (state == "complete"
        && (! environment->hasAttribute ("catalogHash") || environment->getStringAttribute ("catalogHash") != liveHash))
        return failImport (error, "VORN Live plugin cache does not match its completed environment record. Existing converter cache was kept.");

    const auto signature = environment->getStringAttribute ("signature");
    if (! signatureMatchesHost (signature))
        return failImport (error, "VORN Live cache environment does not match this converter. Existing cache was kept.");
    const auto signatureBytes = signature.toStdString();
    environmentHash = juce::SHA256 (signatureBytes.data(), signatureBytes.size()).toHexString();

    juce::MemoryBlock layoutBytes;
    if (! readFileBytes (layoutFile, layoutBytes))
        return failImport (error, "VORN Live per-plugin verified layout cache could not be read; existing converter cache was kept.");
    layoutHash = sha256Hex (layoutBytes);
    layout = parseXmlBytes (layoutBytes);
    if (layout == nullptr || ! layout->hasTagName ("PluginLayoutCache") || strictIntAttribute (*layout, "schema", -1) != 2)
        return failImport (error, "VORN Live per-plugin verified layout cache is missing or invalid; existing converter cache was kept.");
    layouts = indexLayouts (*layout);
    return true;
}

// What an import keeps across the plug-ins of the cache: the installed modules, the rows to merge,
// the bundles they come from with their fingerprints, the isolated checks' results and failures by
// bundle, and the counts of plug-ins imported and skipped.
struct ImportRun
{
    Vst3ModuleIndex installed;
    juce::MemoryOutputStream rows;
    std::vector<std::pair<juce::File, juce::String>> importedBundles;
    std::map<juce::String, Vst3ModuleIndex> isolatedResults;
    std::map<juce::String, juce::String> isolatedFailures;
    int imported = 0, skipped = 0;
};

// The plug-in's matches in its bundle's isolated factory check, which runs once per bundle; a
// failed check is kept for the report.
int isolatedMatches (const juce::File& bundle, const juce::String& fingerprint, juce::uint32 uniqueId, const juce::String& name,
                     const IsolatedCheck& isolatedCheck, ImportRun& run, const Vst3ModuleEntry*& match)
{
    auto& isolatedResults = run.isolatedResults;
    auto& isolatedFailures = run.isolatedFailures;
    const auto bundleKey = bundle.getFullPathName();
    if (isolatedResults.count (bundleKey) == 0 && isolatedFailures.count (bundleKey) == 0)
    {
        Vst3ModuleIndex result;
        juce::String failure;
        if (isolatedIndexFor (bundle, fingerprint, isolatedCheck, result, failure))
            isolatedResults.emplace (bundleKey, std::move (result));
        else
            isolatedFailures.emplace (bundleKey, failure);
    }
    const auto found = isolatedResults.find (bundleKey);
    if (found != isolatedResults.end())
        return countMatches (found->second, bundle, uniqueId, name, match);
    return 0;
}

// Why a plug-in was not imported, for the report.
juce::String skipReason (bool isBundle, bool layoutVerified, bool timeHolds, int matches, const juce::String& bundleKey,
                         const ImportRun& run, const IsolatedCheck& isolatedCheck)
{
    const auto& isolatedFailures = run.isolatedFailures;
    juce::String reason;
    if (! isBundle)
        reason = "VST3 bundle is missing";
    else if (! layoutVerified)
        reason = "no valid same-environment, same-fingerprint verified layout";
    else if (! timeHolds)
        reason = "catalog file timestamp changed or unavailable";
    else if (matches == 0)
    {
        const auto failure = isolatedFailures.find (bundleKey);
        if (failure != isolatedFailures.end())
            reason = "isolated factory check failed: " + failure->second;
        else
            reason = isolatedCheck ? "isolated factory CID could not be uniquely matched"
                                   : "installed moduleinfo CID could not be matched";
    }
    else if (matches == 1)
        reason = "catalog fields contain unsupported control characters";
    else
        reason = "installed moduleinfo CID is ambiguous";
    return reason;
}

// One plug-in of the cache: a VST3 bundle with a verified layout of this environment and
// fingerprint, its catalog timestamp unchanged, matched once by the installed modules (or the
// isolated check) with fields a row can hold, becomes a row; any other is skipped, with the
// reason in the report.
void importPlugin (const juce::XmlElement& plugin, const LiveRecords& records, const IsolatedCheck& isolatedCheck, ImportRun& run,
                   juce::String& report)
{
    auto& installed = run.installed;
    auto& rows = run.rows;
    auto& importedBundles = run.importedBundles;
    auto& imported = run.imported;
    auto& skipped = run.skipped;
    const auto& layouts = records.layouts;
    const auto& environmentHash = records.environmentHash;
    if (! plugin.hasTagName ("PLUGIN") || plugin.getStringAttribute ("format") != "VST3")
        return;

    // A path that is not absolute as written names no bundle (and is never resolved against
    // the working folder).
    const auto path = plugin.getStringAttribute ("file");
    const auto bundle = path.startsWithChar ('/') ? juce::File (path) : juce::File();
    const auto name = plugin.getStringAttribute ("name");
    juce::uint64 uniqueValue = 0, timeValue = 0;
    const bool uniqueOk = parseHex (plugin.getStringAttribute ("uniqueId"), 8, uniqueValue);
    const auto uniqueId = (juce::uint32) uniqueValue;
    const auto fileTimeText = plugin.getStringAttribute ("fileTime");
    const bool timeOk = parseHex (fileTimeText, 16, timeValue);
    const auto version = plugin.getStringAttribute ("version");

    const auto fingerprint = bundle == juce::File() ? juce::String() : bundleFingerprint (bundle);
    juce::String lastProbeError;
    const bool layoutVerified = bundle != juce::File() && uniqueOk
        && verifiedLiveLayout (layouts, liveIdentityKey (bundle.getFullPathName(), (juce::int32) uniqueId, version),
                               environmentHash, bundle, fingerprint, lastProbeError);

    const bool isBundle = bundle.isDirectory();
    const bool timeHolds = timeOk && timeValue != 0 && fileTimeText.isNotEmpty()
                        && bundle != juce::File() && (juce::uint64) modificationMillis (bundle) == timeValue;
    const bool preconditions = isBundle && layoutVerified && timeHolds;

    const Vst3ModuleEntry* match = nullptr;
    int matches = preconditions ? countMatches (installed, bundle, uniqueId, name, match) : 0;

    const auto bundleKey = bundle.getFullPathName();
    if (matches == 0 && isolatedCheck && preconditions)
        matches = isolatedMatches (bundle, fingerprint, uniqueId, name, isolatedCheck, run, match);

    const bool cleanFields = match != nullptr && ! hasLineBreakOrTab (match->name) && ! hasLineBreakOrTab (match->vendor)
                          && ! hasLineBreakOrTab (match->version) && ! hasLineBreakOrTab (bundleKey);
    if (matches == 1 && cleanFields)
    {
        rows << match->classId << "\t" << match->name << "\t" << match->vendor << "\t" << match->version
             << "\t" << bundleKey << "\n";
        importedBundles.emplace_back (bundle, fingerprint);
        if (lastProbeError.isNotEmpty())
            report << "Note: " << name << " has a retained verified layout and later probe issue: "
                   << lastProbeError.replaceCharacters ("\r\n", "  ") << "\n";
        ++imported;
        return;
    }
    report << "Skipped: " << name << " (" << skipReason (isBundle, layoutVerified, timeHolds, matches, bundleKey, run, isolatedCheck)
           << ")\n";
    ++skipped;
}

// The records read at the start, and every imported bundle, must be as they were.
bool checkUnchanged (const juce::File& liveCache, const LiveRecords& records,
                     const std::vector<std::pair<juce::File, juce::String>>& importedBundles, juce::String& error)
{
    const auto& environmentFile = records.environmentFile;
    const auto& layoutFile = records.layoutFile;
    const auto& liveHash = records.liveHash;
    const auto& environmentHashOfFile = records.environmentHashOfFile;
    const auto& layoutHash = records.layoutHash;
    juce::MemoryBlock again;
    if (! readFileBytes (layoutFile, again) || sha256Hex (again) != layoutHash
        || ! readFileBytes (liveCache, again) || sha256Hex (again) != liveHash
        || ! readFileBytes (environmentFile, again) || sha256Hex (again) != environmentHashOfFile)
        return failImport (error, "VORN Live cache changed during import; existing converter cache was kept.");
    for (const auto& [bundle, fingerprint] : importedBundles)
        if (fingerprint.isEmpty() || bundleFingerprint (bundle) != fingerprint)
            return failImport (error, "A verified plug-in changed during import; existing converter cache was kept.");
    return true;
}

} // namespace

bool importVornLive (const juce::File& liveCache, const juce::File& converterCache, FactoryCacheStats& stats,
                     juce::String& report, juce::String& error, const IsolatedCheck& isolatedCheck)
{
    stats = {};
    report.clear();
    error.clear();

    LiveRecords records;
    if (! readLiveRecords (liveCache, records, error))
        return false;

    ImportRun run;
    run.installed.scanDefaultLocations();
    for (const auto* plugin : records.live->getChildIterator())
        importPlugin (*plugin, records, isolatedCheck, run, report);

    if (run.imported == 0)
        return failImport (error, "No verified VST3 identities could be imported. Existing converter cache was kept.");

    if (! checkUnchanged (liveCache, records, run.importedBundles, error))
        return false;

    if (converterCache.existsAsFile())
    {
        FactoryCacheStats existingStats;
        juce::String validateError;
        if (! validate (converterCache, existingStats, validateError))
        {
            error = "Existing converter cache is invalid and was kept: " + validateError;
            return false;
        }
    }

    if (! mergeScan (converterCache, run.rows.toString(), converterCache, FactoryScanScope::Individual, stats, error))
        return false;

    report = "VORN Live individually verified layouts (global scan: " + records.state + "): imported " + juce::String (run.imported)
           + ", skipped " + juce::String (run.skipped) + ".\n" + report;
    return true;
}

} // namespace Vst3FactoryCache
} // namespace vornconv::rapp
