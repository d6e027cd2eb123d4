#pragma once

#include <juce_core/juce_core.h>

#include <functional>

// The converter cache: a persistent, verified list of installed VST3 plug-in classes in one text
// file, one record per class id saying in which bundle the class was seen and whether it is known
// to load. The file uses the factory catalog's columns (so --factory-catalog reads it) with a
// sixth availability column that is always written:
//
//   CID \t name \t vendor \t version \t bundle path \t 1|0  CR LF
//
// in ascending class-id order, UTF-8 without a byte-order mark, every line ended by CR LF.
// Nothing on the command line reaches the cache; its operations stand ready for an importer. They
// run on the calling thread, keep no state between calls and write only the files named in their
// arguments.
namespace vornconv::rapp
{

struct FactoryCacheStats
{
    juce::int32 available = 0;      // records known to load
    juce::int32 unavailable = 0;    // all other records
};

enum class FactoryScanScope : int
{
    Global = 0,       // a full scan: every record already cached ends unavailable unless scanned
    Individual = 1    // a per-bundle merge: records not scanned keep their flags
};

namespace Vst3FactoryCache
{

struct Record
{
    juce::String classId;   // 32 hexadecimal digits, upper case
    juce::String name;      // never empty
    juce::String vendor;
    juce::String version;
    juce::String path;      // absolute path of the .vst3 bundle
    bool available = true;
};

// Given a bundle, gives that bundle's classes as factory catalog rows of five columns (what the
// catalog tool prints for one bundle); on failure may set an error text.
using IsolatedCheck = std::function<bool (const juce::File& bundle, juce::String& rows, juce::String& error)>;

// The cache exists, parses and holds at least one record; stats count its records.
bool validate (const juce::File& cache, FactoryCacheStats& stats, juce::String& error);

// Merges scanner rows (the catalog tool's output: rows of five columns; "ERROR\t" lines and
// diagnostics are skipped) into the records of existing and replaces output in one atomic rename.
// existing and output may be the same file. A malformed existing cache is rebuilt by a Global
// scan but refused by an Individual merge, which would otherwise drop every record it does not
// rescan. On failure output is left as it was.
bool mergeScan (const juce::File& existing, juce::StringRef scanText, const juce::File& output,
                FactoryScanScope scope, FactoryCacheStats& stats, juce::String& error);

// Imports the VST3 identities that the live host Vorn Live has verified plug-in by plug-in: reads
// liveCache (its KNOWNPLUGINS list) and the siblings "plugin_scan_environment.xml" and
// "plugin_layout_capabilities.xml", matches each verified plug-in against the installed bundles
// (or, when given, the isolated check's rows), makes sure nothing changed meanwhile and merges the
// result into converterCache. report holds one summary line followed by a line per note and per
// skipped plug-in (on a failure after the plug-ins were examined, only those lines).
bool importVornLive (const juce::File& liveCache, const juce::File& converterCache, FactoryCacheStats& stats,
                     juce::String& report, juce::String& error, const IsolatedCheck& isolatedCheck);

// What this machine reports as its operating-system build (the kernel release on Linux); empty
// when it cannot be read.
juce::String hostOsBuild();

// True when the process runs translated (Rosetta); never on Linux.
bool hostIsTranslated();

// The bundle fingerprint a verified layout record carries: empty for a missing bundle, else path,
// modification time and size of the bundle, of each file in its executable folder and of its
// Contents/Info.plist.
juce::String bundleFingerprint (const juce::File& bundle);

// The key under which the live host files a plug-in's verified layout.
juce::String liveIdentityKey (const juce::String& bundlePath, juce::int32 uniqueId, const juce::String& version);

} // namespace Vst3FactoryCache

} // namespace vornconv::rapp
