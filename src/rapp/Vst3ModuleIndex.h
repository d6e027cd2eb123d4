#pragma once

#include "model/RackModel.h"
#include "model/Vst3ClassId.h"

#include <juce_core/juce_core.h>

#include <unordered_map>

// The VST3 plug-in classes the converter may name in a target file: built from the
// moduleinfo.json of installed bundles and from a factory catalog; REAPER's plug-in cache
// (readers/ReaperPluginCache.h) adds REAPER's identity of the classes it lists. A class counts as
// available only through a factory catalog row.
namespace vornconv::rapp
{

struct Vst3ModuleEntry
{
    juce::String classId;   // 32 hexadecimal digits, upper case
    juce::String name;
    juce::String vendor;
    juce::String version;
    juce::File bundle;      // the .vst3 bundle directory, or File() when unknown
    juce::uint32 uniqueId = 0;  // derived from classId (deriveUniqueId)
    juce::uint32 uid = 0;       // derived from classId (deriveUid)
    juce::uint32 reaperId = 0;  // REAPER's numeric id, the full unsigned range; 0 = none
    juce::String reaperKey;     // the REAPER cache key of the first row stored for this class
    juce::String reaperName;
    // The cache keys of two or more plug-ins that share this class id under different REAPER
    // identities. When set, the class has no REAPER identity: reaperId is 0, reaperKey and
    // reaperName are empty.
    juce::StringArray reaperAmbiguousKeys;
    // The cache keys (malformed bytes shown as U+FFFD) of rows for this class id whose key or
    // name is not valid UTF-8 text. When set, the class has no REAPER identity either.
    juce::StringArray reaperUnreadableKeys;
    bool available = false;
};

// The id JUCE-based hosts store as a VST3 plug-in's uniqueId: the 31-fold of the class id's
// four big-endian 32-bit words. 0 for a text that is not a class id.
juce::uint32 deriveUniqueId (juce::StringRef classId);

// The older uid JUCE-based hosts store: the 31-fold of the sixteen class-id bytes, each taken as
// a signed char (so bytes 0x80 and above are sign-extended). 0 for a text that is not a class id.
juce::uint32 deriveUid (juce::StringRef classId);

// Removes every comma that stands outside a double-quoted string and whose next non-whitespace
// character closes an array or object; everything else is kept as it is.
juce::String removeTrailingJsonCommas (const juce::String& text);

// The line and column rules of the tab-separated catalogs: lines end with LF, CR LF or CR (so no
// CR survives into a field); columns are split at every TAB and empty columns count.
juce::StringArray splitLines (const juce::String& text);
juce::StringArray splitTabs (const juce::String& line);

struct Vst3ModuleIndex
{
    // Insertion order, one entry per classId. Entries may be read, edited (except their classId)
    // and appended to directly; remove entries or change a classId only by building a new index.
    juce::Array<Vst3ModuleEntry> entries;
    juce::StringArray warnings;             // problems met while scanning bundles

    // The folders scanDefaultLocations walks, in order: the system and the user VST3 folders of
    // macOS and, on Linux, also ~/.vst3, /usr/lib/vst3 and /usr/local/lib/vst3.
    static juce::Array<juce::File> defaultScanRoots();

    // Clears the index, then scans defaultScanRoots().
    void scanDefaultLocations();

    // Clears the index, then adds every *.vst3 bundle found below the given roots. Each folder is
    // walked in name order, a bundle is never searched for further bundles, symbolic links are
    // followed but no folder is entered twice; missing roots are skipped in silence.
    void scanLocations (const juce::Array<juce::File>& roots);

    // Adds the Audio Module classes of one bundle's Contents/Resources/moduleinfo.json; problems
    // become warnings. A bundle without that file is skipped in silence.
    void addBundle (const juce::File& bundle);

    // Updates the entry with the same classId (texts only when the new ones are not empty, the
    // bundle only when the new one exists, ids and availability always, REAPER data kept), or
    // appends the entry.
    void addOrReplace (const Vst3ModuleEntry& entry);

    // Tab-separated rows: CID, name, vendor, version, bundle path [, "1" | "0"]; merged into the
    // index. The first bad row ends the load, named by its line (" at line 3", and " of " the
    // file's path when loaded from a file); rows before it stay merged. Every refusal of a file
    // names it.
    bool loadFactoryCatalog (const juce::File& file, juce::String& error);
    bool loadFactoryCatalogText (juce::StringRef text, juce::String& error);

    // Registers a VST3 slot's class id as an unavailable entry unless the index has it already.
    // False for a slot that is not VST3 or has no valid class id.
    bool addUnavailableSourceIdentity (const PluginRef& plugin);

    // The entry with this class id (any case), or null. The entry to edit stays where it is until
    // the index gets another entry.
    const Vst3ModuleEntry* findByClassId (juce::StringRef classId) const;
    Vst3ModuleEntry* findByClassId (juce::StringRef classId);

    // The one entry whose bundle is this File; null for File(), for none, or for several.
    const Vst3ModuleEntry* findUniqueByBundle (const juce::File& bundle) const;

    // The class id of the one entry whose uniqueId matches the slot's, else (when none matched)
    // of the one entry whose uid matches the slot's deprecatedUid; empty when unresolved.
    juce::String resolveClassId (const PluginRef& plugin) const;

    // The class id a slot names, in stored form: its own when it carries one, else the one
    // resolveClassId finds; empty when neither gives one.
    juce::String classIdOf (const PluginRef& plugin) const;

    // Marks every occupied VST3 slot whose class is unknown or not available as inactive and
    // unavailable; returns how many slots it marked. Unknown class ids enter the index.
    int applyCachedAvailability (RackReadResult& result);

private:
    // classId -> position in entries. A hit is checked against entries before it is trusted and
    // an index whose entries were appended to directly falls back to a linear search; every
    // operation that changes the index rebuilds it first when it is out of step.
    std::unordered_map<juce::String, int> positions;

    void syncPositions();
    bool loadCatalogText (juce::StringRef text, const juce::File& file, juce::String& error);
    void appendEntry (const Vst3ModuleEntry& entry);
    int positionOf (const juce::String& upperClassId) const;
};

} // namespace vornconv::rapp
