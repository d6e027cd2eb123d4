// The VST3 module index: the plug-in classes the converter may name in a target file, gathered
// from the moduleinfo.json of installed bundles and from factory catalogs (the only source that
// makes a class available); REAPER's plug-in cache (readers/ReaperPluginCache) adds REAPER's own
// id and name. Entries
// keep their insertion order and are found by class id through a position map that is checked
// against the entries before it is trusted. Every file is untrusted: it goes through the loader,
// JSON through the bounded parse, and the bundle walk is bounded in depth and never enters a
// folder twice.
//
// In this file, in order:
//   - Limits and helpers: class-id bytes, absolute paths, whole text files, and the bundle walk.
//   - Catalog lines and columns: splitLines and splitTabs.
//   - Class ids and moduleinfo text: the two derived ids, and the trailing-comma
//     clean-up of moduleinfo.json.
//   - Scanning bundles: the default folders, scanLocations and addBundle.
//   - Entries by class id: the position map and addOrReplace.
//   - Factory catalogs
//   - Lookups and availability: unavailable source identities, finding by class id or bundle,
//     resolving a class id from a slot's ids, and marking unavailable slots.

#include "rapp/Vst3ModuleIndex.h"

#include "model/JsonWriter.h"
#include "model/UntrustedFile.h"
#include "model/Utf8Text.h"

#include <algorithm>
#include <set>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace vornconv::rapp
{
namespace
{

//==============================================================================
// Limits and helpers

// Text files larger than this are refused before they are read.
constexpr juce::int64 maxTextFileBytes = 64 * 1024 * 1024;

// Deeper JSON nesting is refused before the (recursive) parser sees it.
constexpr int maxJsonDepth = 256;

// Bundles nested deeper than this below a root are not looked for.
constexpr int maxScanDepth = 64;

int hexDigitValue (juce::juce_wchar c) noexcept
{
    if (c >= '0' && c <= '9') return (int) (c - '0');
    if (c >= 'a' && c <= 'f') return (int) (c - 'a') + 10;
    if (c >= 'A' && c <= 'F') return (int) (c - 'A') + 10;
    return -1;
}

// The sixteen bytes of a class id; false when the text is not a class id.
bool classIdBytes (juce::StringRef text, juce::uint8 (&bytes)[16])
{
    if (! isHexClassId (text))
        return false;
    auto p = text.text;
    for (int i = 0; i < 16; ++i)
    {
        const int hi = hexDigitValue (p.getAndAdvance());
        const int lo = hexDigitValue (p.getAndAdvance());
        bytes[i] = (juce::uint8) ((hi << 4) | lo);
    }
    return true;
}

// A File only for a path that is absolute as written; anything else stays File(), so that
// untrusted relative text is never resolved against the working folder.
juce::File absoluteFileOrNone (const juce::String& path)
{
    if (! path.startsWithChar ('/'))
        return {};
    return juce::File (path);
}

// The whole file as text. False when it is empty (reason empty) or refused by the loader (reason
// says why and names the file: one that is not there, a folder, a file that is not text).
bool readWholeText (const juce::File& file, juce::String& text, juce::String& reason)
{
    text.clear();
    reason.clear();
    if (! readUntrustedText (file, maxTextFileBytes, text, reason))
        return false;
    return text.isNotEmpty();
}

Vst3ModuleEntry entryForClassId (const juce::String& upperClassId)
{
    Vst3ModuleEntry entry;
    entry.classId = upperClassId;
    entry.uniqueId = deriveUniqueId (upperClassId);
    entry.uid = deriveUid (upperClassId);
    return entry;
}

bool isBundleName (const juce::File& dir)
{
    return dir.getFileName().matchesWildcard ("*.vst3", ! juce::File::areFileNamesCaseSensitive());
}

using FolderKey = std::pair<juce::uint64, juce::uint64>;

bool folderKey (const juce::File& dir, FolderKey& key)
{
    struct stat info {};
    if (::stat (dir.getFullPathName().toRawUTF8(), &info) != 0)
        return false;
    key = { (juce::uint64) info.st_dev, (juce::uint64) info.st_ino };
    return true;
}

// Collects the bundles below dir in name order, never inside a bundle, never twice into one
// folder (symbolic link cycles), at most maxScanDepth levels deep.
void collectBundles (const juce::File& dir, int depth, std::set<FolderKey>& visited, juce::Array<juce::File>& bundles)
{
    FolderKey key;
    if (depth > maxScanDepth || ! folderKey (dir, key) || ! visited.insert (key).second)
        return;

    auto children = dir.findChildFiles (juce::File::findDirectories, false, "*", juce::File::FollowSymlinks::yes);
    std::sort (children.begin(), children.end(), [] (const juce::File& a, const juce::File& b)
               { return a.getFileName().compare (b.getFileName()) < 0; });

    for (const auto& child : children)
    {
        if (isBundleName (child))
            bundles.add (child);
        else
            collectBundles (child, depth + 1, visited, bundles);
    }
}

} // namespace

//==============================================================================
// Catalog lines and columns

// Lines split at LF, CR LF or CR.
juce::StringArray splitLines (const juce::String& text)
{
    juce::StringArray lines;
    auto p = text.getCharPointer();
    auto start = p;
    for (;;)
    {
        const auto c = *p;
        if (c == 0)
        {
            if (start != p)
                lines.add (juce::String (start, p));
            break;
        }
        if (c == '\n' || c == '\r')
        {
            lines.add (juce::String (start, p));
            ++p;
            if (c == '\r' && *p == '\n')
                ++p;
            start = p;
            continue;
        }
        ++p;
    }
    return lines;
}

// Columns split at every TAB; empty columns count.
juce::StringArray splitTabs (const juce::String& line)
{
    juce::StringArray columns;
    int start = 0;
    for (;;)
    {
        const int tab = line.indexOfChar (start, '\t');
        if (tab < 0)
        {
            columns.add (line.substring (start));
            return columns;
        }
        columns.add (line.substring (start, tab));
        start = tab + 1;
    }
}

//==============================================================================
// Class ids and moduleinfo text

juce::uint32 deriveUniqueId (juce::StringRef classId)
{
    juce::uint8 b[16];
    if (! classIdBytes (classId, b))
        return 0;
    juce::uint32 h = 0;
    for (int w = 0; w < 4; ++w)
    {
        const auto word = ((juce::uint32) b[4 * w] << 24) | ((juce::uint32) b[4 * w + 1] << 16)
                        | ((juce::uint32) b[4 * w + 2] << 8) | (juce::uint32) b[4 * w + 3];
        h = h * 31u + word;
    }
    return h;
}

juce::uint32 deriveUid (juce::StringRef classId)
{
    juce::uint8 b[16];
    if (! classIdBytes (classId, b))
        return 0;
    juce::uint32 h = 0;
    for (auto byte : b)
        h = h * 31u + (juce::uint32) (juce::int32) (juce::int8) byte;
    return h;
}

juce::String removeTrailingJsonCommas (const juce::String& text)
{
    // On the bytes: every character that matters here is ASCII, and appending to a juce::String
    // one character at a time walks the whole text each time.
    const char* p = text.toRawUTF8();
    const size_t size = text.getNumBytesAsUTF8();
    std::string cleaned;
    cleaned.reserve (size);
    bool inString = false, escaped = false;
    for (size_t i = 0; i < size; ++i)
    {
        const char c = p[i];
        if (inString)
        {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        }
        else if (c == '"')
        {
            inString = true;
        }
        else if (c == ',')
        {
            size_t next = i + 1;
            while (next < size && (p[next] == ' ' || (p[next] >= '\t' && p[next] <= '\r')))
                ++next;
            if (next < size && (p[next] == ']' || p[next] == '}'))
                continue;
        }
        cleaned += c;
    }
    juce::String out;
    utf8::toText (cleaned.data(), cleaned.size(), out);
    return out;
}

//==============================================================================
// Scanning bundles

juce::Array<juce::File> Vst3ModuleIndex::defaultScanRoots()
{
    const auto home = juce::File::getSpecialLocation (juce::File::userHomeDirectory);
    juce::Array<juce::File> roots { juce::File ("/Library/Audio/Plug-Ins/VST3"),
                                    home.getChildFile ("Library/Audio/Plug-Ins/VST3") };
   #if JUCE_LINUX
    roots.add (home.getChildFile (".vst3"));
    roots.add (juce::File ("/usr/lib/vst3"));
    roots.add (juce::File ("/usr/local/lib/vst3"));
   #endif
    return roots;
}

void Vst3ModuleIndex::scanDefaultLocations()
{
    scanLocations (defaultScanRoots());
}

void Vst3ModuleIndex::scanLocations (const juce::Array<juce::File>& roots)
{
    entries.clear();
    warnings.clear();
    positions.clear();

    for (const auto& root : roots)
    {
        if (! root.isDirectory())
            continue;
        std::set<FolderKey> visited;
        juce::Array<juce::File> bundles;
        collectBundles (root, 0, visited, bundles);
        for (const auto& bundle : bundles)
            addBundle (bundle);
    }
}

void Vst3ModuleIndex::addBundle (const juce::File& bundle)
{
    const auto info = bundle.getChildFile ("Contents/Resources/moduleinfo.json");
    if (! info.existsAsFile())
        return;

    const auto path = info.getFullPathName();
    juce::String text, reason;
    if (! readWholeText (info, text, reason) && reason.isNotEmpty())
    {
        warnings.add (path + ": " + reason);
        return;
    }
    const auto parsed = json::parseBoundedJson (removeTrailingJsonCommas (text), (size_t) maxTextFileBytes, maxJsonDepth);
    if (! parsed.isObject())
    {
        warnings.add (path + ": invalid JSON");
        return;
    }

    const auto classes = parsed.getProperty ("Classes", {});
    const auto* list = classes.getArray();
    if (list == nullptr)
    {
        warnings.add (path + ": missing Classes");
        return;
    }

    for (const auto& item : *list)
    {
        if (! item.isObject() || item.getProperty ("Category", {}).toString() != "Audio Module Class")
            continue;

        const auto cid = storedClassId (item.getProperty ("CID", {}).toString());
        if (! isHexClassId (cid))
        {
            warnings.addIfNotAlreadyThere (path + ": invalid Audio Module CID");
            continue;
        }

        auto entry = entryForClassId (cid);
        entry.name = item.getProperty ("Name", {}).toString();
        entry.vendor = item.getProperty ("Vendor", {}).toString();
        entry.version = item.getProperty ("Version", {}).toString();
        entry.bundle = bundle;
        addOrReplace (entry);
    }
}

//==============================================================================
// Entries by class id

void Vst3ModuleIndex::syncPositions()
{
    if (positions.size() == (size_t) entries.size())
        return;
    positions.clear();
    for (int i = 0; i < entries.size(); ++i)
        positions.emplace (entries.getReference (i).classId, i);
}

void Vst3ModuleIndex::appendEntry (const Vst3ModuleEntry& entry)
{
    syncPositions();
    entries.add (entry);
    positions.emplace (entry.classId, entries.size() - 1);
}

int Vst3ModuleIndex::positionOf (const juce::String& upperClassId) const
{
    if (positions.size() == (size_t) entries.size())
    {
        const auto found = positions.find (upperClassId);
        if (found == positions.end())
            return -1;
        if (juce::isPositiveAndBelow (found->second, entries.size())
            && entries.getReference (found->second).classId == upperClassId)
            return found->second;
    }
    for (int i = 0; i < entries.size(); ++i)
        if (entries.getReference (i).classId == upperClassId)
            return i;
    return -1;
}

void Vst3ModuleIndex::addOrReplace (const Vst3ModuleEntry& entry)
{
    syncPositions();
    const int at = positionOf (entry.classId);
    if (at < 0)
    {
        appendEntry (entry);
        return;
    }

    auto& existing = entries.getReference (at);
    if (entry.name.isNotEmpty()) existing.name = entry.name;
    if (entry.vendor.isNotEmpty()) existing.vendor = entry.vendor;
    if (entry.version.isNotEmpty()) existing.version = entry.version;
    if (entry.bundle.exists()) existing.bundle = entry.bundle;
    existing.uniqueId = entry.uniqueId;
    existing.uid = entry.uid;
    existing.available = entry.available;
}

//==============================================================================
// Factory catalogs

bool Vst3ModuleIndex::loadFactoryCatalog (const juce::File& file, juce::String& error)
{
    juce::String text, reason;
    if (! readWholeText (file, text, reason))
    {
        // A file that is not there, or a folder, is said as the loader says it, naming the path.
        error = reason.isEmpty() ? "factory catalog is empty or unreadable: " + file.getFullPathName()
              : file.isDirectory() || ! file.exists() ? reason
                                                      : "factory catalog cannot be read: " + reason;
        return false;
    }
    return loadCatalogText (text, file, error);
}

bool Vst3ModuleIndex::loadFactoryCatalogText (juce::StringRef text, juce::String& error)
{
    return loadCatalogText (text, {}, error);
}

bool Vst3ModuleIndex::loadCatalogText (juce::StringRef text, const juce::File& file, juce::String& error)
{
    const auto source = file == juce::File() ? juce::String() : " of " + file.getFullPathName();
    error.clear();
    int stored = 0;
    int lineNumber = 0;

    for (const auto& rawLine : splitLines (juce::String (text.text)))
    {
        ++lineNumber;
        const auto line = rawLine.trimEnd();
        if (line.isEmpty())
            continue;

        // The first bad row ends the load, named by its line.
        const auto at = " at line " + juce::String (lineNumber) + source;
        const auto columns = splitTabs (line);
        if (columns.size() < 5 || columns.size() > 6)
        {
            error = "invalid factory catalog row (expected 5 or 6 tab-separated columns)" + at;
            return false;
        }

        const auto cid = storedClassId (columns[0].trim());
        if (! isHexClassId (cid))
        {
            error = "invalid VST3 CID in factory catalog: " + columns[0] + at;
            return false;
        }

        bool available = true;
        if (columns.size() == 6)
        {
            if (columns[5] == "1") available = true;
            else if (columns[5] == "0") available = false;
            else
            {
                error = "invalid availability flag in factory catalog" + at;
                return false;
            }
        }

        auto entry = entryForClassId (cid);
        entry.name = columns[1];
        entry.vendor = columns[2];
        entry.version = columns[3];
        entry.bundle = absoluteFileOrNone (columns[4]);
        entry.available = available;
        addOrReplace (entry);
        ++stored;
    }

    if (stored == 0)
    {
        error = "factory catalog has no plugin records" + (file == juce::File() ? juce::String() : ": " + file.getFullPathName());
        return false;
    }
    return true;
}

//==============================================================================
// Lookups and availability

bool Vst3ModuleIndex::addUnavailableSourceIdentity (const PluginRef& plugin)
{
    const auto cid = storedClassId (plugin.classId);
    if (plugin.format != "VST3" || ! isHexClassId (cid))
        return false;
    if (positionOf (cid) >= 0)
        return true;

    auto entry = entryForClassId (cid);
    entry.name = plugin.name;
    entry.vendor = plugin.vendor;
    entry.bundle = plugin.file;
    appendEntry (entry);
    return true;
}

const Vst3ModuleEntry* Vst3ModuleIndex::findByClassId (juce::StringRef classId) const
{
    const int at = positionOf (storedClassId (juce::String (classId.text)));
    return at < 0 ? nullptr : &entries.getReference (at);
}

Vst3ModuleEntry* Vst3ModuleIndex::findByClassId (juce::StringRef classId)
{
    syncPositions();
    const int at = positionOf (storedClassId (juce::String (classId.text)));
    return at < 0 ? nullptr : &entries.getReference (at);
}

const Vst3ModuleEntry* Vst3ModuleIndex::findUniqueByBundle (const juce::File& bundle) const
{
    if (bundle == juce::File())
        return nullptr;
    const Vst3ModuleEntry* match = nullptr;
    for (const auto& entry : entries)
    {
        if (entry.bundle != bundle)
            continue;
        if (match != nullptr)
            return nullptr;
        match = &entry;
    }
    return match;
}

juce::String Vst3ModuleIndex::resolveClassId (const PluginRef& plugin) const
{
    if (plugin.format != "VST3" || (plugin.uniqueId == 0 && plugin.deprecatedUid == 0))
        return {};

    // One pass over one id: the class id of the single match; empty for none or several.
    const auto single = [this] (juce::uint32 wanted, bool byUniqueId, bool& any) -> juce::String
    {
        const Vst3ModuleEntry* match = nullptr;
        for (const auto& entry : entries)
        {
            if ((byUniqueId ? entry.uniqueId : entry.uid) != wanted)
                continue;
            any = true;
            if (match != nullptr)
                return {};
            match = &entry;
        }
        return match != nullptr ? match->classId : juce::String();
    };

    bool any = false;
    if (plugin.uniqueId != 0)
    {
        const auto found = single (plugin.uniqueId, true, any);
        if (any)
            return found;
    }
    // A slot without an older uid cannot be singled out by it.
    if (plugin.deprecatedUid == 0)
        return {};
    return single (plugin.deprecatedUid, false, any);
}

juce::String Vst3ModuleIndex::classIdOf (const PluginRef& plugin) const
{
    return storedClassId (plugin.classId.isNotEmpty() ? plugin.classId : resolveClassId (plugin));
}

int Vst3ModuleIndex::applyCachedAvailability (RackReadResult& result)
{
    int marked = 0;
    for (auto& strip : result.session.strips)
    {
        for (auto& slot : strip.plugins)
        {
            if (! slot.occupied || slot.format != "VST3")
                continue;

            if (slot.classId.isNotEmpty())
                addUnavailableSourceIdentity (slot);
            const auto key = classIdOf (slot);
            const auto* entry = key.isEmpty() ? nullptr : findByClassId (key);
            if (entry == nullptr || ! entry->available)
            {
                slot.inactive = true;
                slot.unavailable = true;
                ++marked;
            }
        }
    }
    return marked;
}

} // namespace vornconv::rapp
