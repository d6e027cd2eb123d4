// REAPER's VST plug-in cache, read as bytes line by line and joined onto the VST3 module index.
//
// In this file, in order:
//   - the cache's lines as bytes: line ends, sections, keys, character offsets, checked text;
//   - one load: what it has seen, the identity a row gives joined onto its class's entry, a row
//     whose key or name is not UTF-8, and the rows themselves;
//   - the verdict on a load that could use no row, and loadReaperCache.

#include "readers/ReaperPluginCache.h"

#include "model/StrictDecimal.h"
#include "model/UntrustedFile.h"
#include "model/Utf8Text.h"
#include "model/Vst3ClassId.h"

#include <map>
#include <string_view>

namespace vornconv
{

using rapp::Vst3ModuleEntry;
using rapp::Vst3ModuleIndex;

namespace
{

//==============================================================================
// The cache's lines as bytes

// Cache files larger than this are refused before they are read.
constexpr juce::int64 maxCacheFileBytes = 64 * 1024 * 1024;

bool isAsciiSpace (char c) noexcept
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Calls visit with every line of the text, lines ending at LF, CR LF or CR, each without its
// trailing whitespace, until visit returns false.
template <typename Visit>
void forEachCacheLine (std::string_view text, Visit&& visit)
{
    size_t start = 0;
    while (start < text.size())
    {
        auto end = text.find_first_of ("\r\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        auto line = text.substr (start, end - start);
        while (! line.empty() && isAsciiSpace (line.back()))
            line.remove_suffix (1);
        if (! visit (line))
            return;
        start = end + (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n' ? 2 : 1);
    }
}

// "[auplugins]" (any case, with whatever REAPER appends to the name, as for another architecture).
bool isAudioUnitSection (std::string_view line) noexcept
{
    constexpr std::string_view name = "[auplugins";
    if (line.size() < name.size() + 1 || line.back() != ']')
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (juce::CharacterFunctions::toLowerCase ((juce::juce_wchar) (juce::uint8) line[i]) != (juce::juce_wchar) name[i])
            return false;
    return true;
}

bool endsWithVst3 (std::string_view key) noexcept
{
    constexpr std::string_view suffix = ".vst3";
    if (key.size() < suffix.size())
        return false;
    for (size_t i = 0; i < suffix.size(); ++i)
        if (juce::CharacterFunctions::toLowerCase ((juce::juce_wchar) (juce::uint8) key[key.size() - suffix.size() + i])
            != (juce::juce_wchar) suffix[i])
            return false;
    return true;
}

// The byte offset in line of the character count characters after from, counting each byte that
// does not continue a UTF-8 sequence as the start of one; npos when the line ends first.
size_t characterOffset (std::string_view line, size_t from, int count) noexcept
{
    size_t at = from;
    for (int k = 0; k < count; ++k)
    {
        if (at >= line.size())
            return std::string_view::npos;
        ++at;
        while (at < line.size() && ((juce::uint8) line[at] & 0xC0) == 0x80)
            ++at;
    }
    return at < line.size() ? at : std::string_view::npos;
}

// Bytes known to be well-formed UTF-8 without a NUL byte, as text.
juce::String checkedText (std::string_view bytes)
{
    juce::String text;
    utf8::toText (bytes.data(), bytes.size(), text);
    return text;
}

// A key for a message: malformed bytes shown as U+FFFD.
juce::String shownKey (std::string_view bytes)
{
    return utf8::toTextReplacingMalformed (bytes.data(), bytes.size());
}

// REAPER's id of a plug-in: digits only, 1 to 4294967295.
bool parseReaperId (std::string_view bytes, juce::uint32& out)
{
    juce::int64 value = 0;
    if (bytes.size() > 10 || ! parseStrictDecimal (bytes, DecimalForm::digits, 1, 0xffffffffll, value))
        return false;
    out = (juce::uint32) value;
    return true;
}

//==============================================================================
// One load

// The identity a row gives its class id.
struct Identity
{
    juce::uint32 id;
    juce::String name;
};

// What one load of a cache has seen so far.
struct CacheLoad
{
    Vst3ModuleIndex& index;
    juce::StringArray& warnings;
    juce::String& error;
    // The identities this cache gives each class id, by key: one key with two identities is a
    // broken cache, two keys with two identities are two plug-ins sharing one class id.
    std::map<juce::String, std::map<juce::String, Identity>> seen {};
    int stored = 0;
    int vst3Rows = 0;
    int rowsWithClassId = 0;
    // What the rows say about the kind of cache, for a cache of which no row could be used:
    // REAPER's AudioUnit cache has the section [auplugins] and keys its rows by the component's
    // "maker: name", where its VST cache names plug-in files.
    bool audioUnitSection = false;
    int keyedRows = 0;
    int componentKeyedRows = 0;

    // Refuses the cache with message: false.
    bool fail (const juce::String& message)
    {
        error = message;
        return false;
    }
};

// The entry of a cache row's class id, made (known, not available) when the index has none; null
// when it cannot be kept. It stays where it is until the index gets another entry.
Vst3ModuleEntry* entryOf (Vst3ModuleIndex& index, const juce::String& cid, const juce::String& name)
{
    if (auto* entry = index.findByClassId (cid))
        return entry;
    PluginRef ref;
    ref.occupied = true;
    ref.format = "VST3";
    ref.classId = cid;
    ref.name = name;
    index.addUnavailableSourceIdentity (ref);
    return index.findByClassId (cid);
}

// The class id of a row whose key or name cannot be read as UTF-8 text loses its REAPER
// identity: what the row says about it is unknown, so no other row can be trusted to agree.
bool markUnreadable (CacheLoad& load, const juce::String& cid, const juce::String& key, const juce::String& name)
{
    auto* entry = entryOf (load.index, cid, name);
    if (entry == nullptr)
        return false;
    entry->reaperUnreadableKeys.addIfNotAlreadyThere (key);
    entry->reaperId = 0;
    entry->reaperKey.clear();
    entry->reaperName.clear();
    load.warnings.addIfNotAlreadyThere ("REAPER cache row " + key + " is not valid UTF-8 text; plug-ins of class id " + cid
                                        + " cannot be written to REAPER");
    return true;
}

// Joins the identity a row gives (key, id, name) onto its class's entry; firstOfThisCache when no
// earlier row of this cache named the class. False when it contradicts an earlier cache.
bool joinIdentity (CacheLoad& load, Vst3ModuleEntry& entry, const juce::String& key, juce::uint32 id, const juce::String& name,
                   bool firstOfThisCache)
{
    if (! entry.reaperUnreadableKeys.isEmpty())
        return true;
    if (! entry.reaperAmbiguousKeys.isEmpty())
    {
        entry.reaperAmbiguousKeys.addIfNotAlreadyThere (key);
        return true;
    }
    if (entry.reaperId == 0 || (entry.reaperId == id && entry.reaperName == name))
    {
        entry.reaperId = id;
        if (entry.reaperKey.isEmpty())
            entry.reaperKey = key;
        entry.reaperName = name;
        return true;
    }
    // Another identity: from an earlier cache it contradicts that cache; within this cache,
    // under another key, it is a second plug-in with the same class id.
    if (firstOfThisCache)
        return load.fail ("conflicting REAPER cache identity for CID " + entry.classId);
    entry.reaperAmbiguousKeys.add (entry.reaperKey);
    entry.reaperAmbiguousKeys.addIfNotAlreadyThere (key);
    entry.reaperId = 0;
    entry.reaperKey.clear();
    entry.reaperName.clear();
    return true;
}

// A .vst3 row that carries a class id: "<key>=<anything>,<REAPER id>{<32 characters>,<name>",
// the comma and the brace found already. False when it refuses the cache.
bool readIdentityRow (CacheLoad& load, std::string_view line, std::string_view keyBytes, size_t comma, size_t brace)
{
    const auto cidEnd = characterOffset (line, brace + 1, 32);
    if (brace - comma < 2 || cidEnd == std::string_view::npos || line[cidEnd] != ',')
        return load.fail ("invalid REAPER VST3 cache row: " + shownKey (keyBytes));

    // Hexadecimal digits and decimal digits are ASCII: bytes that are not UTF-8 fail them.
    const auto cidBytes = line.substr (brace + 1, cidEnd - brace - 1);
    const auto nameBytes = line.substr (cidEnd + 1);
    juce::uint32 id = 0;
    const auto cid = utf8::isValid (cidBytes.data(), cidBytes.size()) ? storedClassId (checkedText (cidBytes)) : juce::String();
    if (! parseReaperId (line.substr (comma + 1, brace - comma - 1), id) || ! isHexClassId (cid) || nameBytes.empty())
        return load.fail ("invalid REAPER VST3 identity row: " + shownKey (keyBytes));

    const bool nameReadable = utf8::isValid (nameBytes.data(), nameBytes.size());
    if (! nameReadable || ! utf8::isValid (keyBytes.data(), keyBytes.size()))
        return markUnreadable (load, cid, shownKey (keyBytes), nameReadable ? checkedText (nameBytes) : juce::String())
            || load.fail ("could not retain REAPER cache identity for CID " + cid);
    const auto key = checkedText (keyBytes);
    const auto name = checkedText (nameBytes);

    auto* entry = entryOf (load.index, cid, name);
    if (entry == nullptr)
        return load.fail ("could not retain REAPER cache identity for CID " + cid);

    auto& keys = load.seen[cid];
    const auto earlier = keys.find (key);
    if (earlier != keys.end() && (earlier->second.id != id || earlier->second.name != name))
        return load.fail ("conflicting REAPER cache identity for CID " + cid);
    const bool firstOfThisCache = keys.empty();
    keys.emplace (key, Identity { id, name });
    ++load.stored;
    return joinIdentity (load, *entry, key, id, name, firstOfThisCache);
}

// One line of the cache: counted for the verdict on a cache of which no row could be used, and
// read when it is a .vst3 row that carries a class id. A row that is not used is skipped whatever
// its bytes. False when it refuses the cache.
bool readLine (CacheLoad& load, std::string_view line)
{
    if (! line.empty() && line.front() == '[')
        load.audioUnitSection = load.audioUnitSection || isAudioUnitSection (line);
    const auto equals = line.find ('=');
    if (equals == std::string_view::npos || equals == 0)
        return true;
    const auto keyBytes = line.substr (0, equals);
    ++load.keyedRows;
    if (keyBytes.find (": ") != std::string_view::npos)
        ++load.componentKeyedRows;
    if (! endsWithVst3 (keyBytes))
        return true;
    ++load.vst3Rows;

    const auto comma = line.find (',', equals + 1);
    if (comma == std::string_view::npos)
        return true;
    const auto brace = line.find ('{', comma + 1);
    if (brace == std::string_view::npos)
        return true;
    ++load.rowsWithClassId;
    return readIdentityRow (load, line, keyBytes, comma, brace);
}

//==============================================================================
// The verdict on a load

// A class id that two keys of this cache give different identities, once per class.
void warnOfAmbiguousClasses (CacheLoad& load)
{
    for (const auto& entry : load.index.entries)
        if (entry.reaperAmbiguousKeys.size() > 1 && load.seen.count (entry.classId) != 0)
            load.warnings.addIfNotAlreadyThere ("REAPER cache gives class id " + entry.classId + " to "
                                                + entry.reaperAmbiguousKeys.joinIntoString (" and ")
                                                + "; plug-ins of this class id cannot be written to REAPER");
}

// The refusal of a cache of which no row could be used: REAPER's AudioUnit cache, or a VST cache
// with no row the index could take (and why, when its rows carry no class ids at all).
juce::String nothingUsedRefusal (const CacheLoad& load, const juce::File& file)
{
    if (load.vst3Rows == 0 && (load.audioUnitSection || (load.keyedRows > 0 && load.componentKeyedRows == load.keyedRows)))
        return "REAPER cache " + file.getFullPathName() + " is REAPER's AudioUnit plug-in cache, not its VST cache";
    juce::String refusal = "REAPER VST cache has no entries matching the module index in " + file.getFullPathName();
    // Caches that REAPER 5 and some REAPER 6 versions saved carry no class ids at all.
    if (load.vst3Rows > 0 && load.rowsWithClassId == 0)
        refusal << "\nno .vst3 row of this REAPER VST cache carries a class id: the REAPER that saved it recorded"
                   " none; rescan the plug-ins in a newer REAPER";
    return refusal;
}

} // namespace

bool loadReaperCache (Vst3ModuleIndex& index, const juce::File& file, juce::StringArray& warnings, juce::String& error)
{
    error.clear();
    // REAPER writes plug-in names as the plug-ins report them, 8-bit text included: UTF-8 is
    // checked in the rows that are used, not in the file. A NUL byte still refuses the file.
    juce::MemoryBlock bytes;
    juce::String reason;
    if (! readUntrustedLines (file, maxCacheFileBytes, bytes, reason) || bytes.isEmpty())
    {
        // A file that is not there, or a folder, is said as the loader says it, naming the path.
        error = reason.isEmpty() ? "REAPER VST cache is empty or unreadable: " + file.getFullPathName()
              : file.isDirectory() || ! file.exists() ? reason
                                                      : "REAPER VST cache cannot be read: " + reason;
        return false;
    }

    CacheLoad load { index, warnings, error };
    bool refused = false;
    forEachCacheLine (std::string_view (static_cast<const char*> (bytes.getData()), bytes.getSize()), [&] (std::string_view line)
    {
        refused = ! readLine (load, line);
        return ! refused;
    });
    if (refused)
        return false;

    warnOfAmbiguousClasses (load);
    if (load.stored == 0)
    {
        error = nothingUsedRefusal (load, file);
        return false;
    }
    return true;
}

} // namespace vornconv
