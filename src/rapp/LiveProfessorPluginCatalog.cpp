// LiveProfessor 2's own plug-in list (Plugins.xml), read as untrusted XML: through the loader and
// the strict guard, then every VST3 and AudioUnit record checked strictly (absolute .vst3 paths,
// JUCE descriptors, non-zero hexadecimal ids, plain counts). A malformed record or a repeated
// plug-in identifier fails the whole load, and lookups answer only when exactly one record
// matches.
//
// In this file, in order:
//   - Records: the size limit, strict ids and counts, the parsed list, one record to an entry.
//   - Identifiers, loading and lookups: the identifier LiveProfessor stores as pluginTypeId, the
//     default file, load, and findUnique by slot or through the module index.

#include "rapp/LiveProfessorPluginCatalog.h"

#include "model/UntrustedFile.h"
#include "model/StrictDecimal.h"
#include "model/AudioUnitState.h"
#include "model/StrictXml.h"

#include <unordered_set>

namespace vornconv::rapp
{
namespace
{

//==============================================================================
// Records

// LiveProfessor's own lists are a few hundred kilobytes; anything near this is not one.
constexpr juce::int64 maxCatalogBytes = 64 * 1024 * 1024;

// 1 to 8 hexadecimal digits with a non-zero value.
bool parseHexId (juce::StringRef text, juce::uint32& out)
{
    juce::uint32 value = 0;
    int digits = 0;
    for (auto p = text.text; ! p.isEmpty(); ++digits)
    {
        const auto c = p.getAndAdvance();
        int v = -1;
        if (c >= '0' && c <= '9') v = (int) (c - '0');
        else if (c >= 'a' && c <= 'f') v = (int) (c - 'a') + 10;
        else if (c >= 'A' && c <= 'F') v = (int) (c - 'A') + 10;
        if (v < 0 || digits >= 8)
            return false;
        value = (value << 4) | (juce::uint32) v;
    }
    if (digits == 0 || value == 0)
        return false;
    out = value;
    return true;
}

// Digits 0-9 only, at most 2^31 - 1; zero allowed.
bool parseCount (const juce::String& text, juce::int32& out)
{
    const auto bytes = utf8Bytes (text);
    juce::int64 value = 0;
    if (bytes.size() > 10 || ! parseStrictDecimal (bytes, DecimalForm::digits, 0, 0x7fffffff, value))
        return false;
    out = (juce::int32) value;
    return true;
}

// The list's root element, or null. The text comes through the loader (a regular file of
// bounded size, read whole, UTF-8 without a NUL byte and without a leading byte-order mark; its
// refusal is in reason) and must pass the strict XML guard (one well-formed document, bounded
// nesting, no DOCTYPE) before JUCE parses it from memory, so nothing outside the file is ever
// resolved.
std::unique_ptr<juce::XmlElement> parseUntrustedXml (const juce::File& file, juce::String& reason)
{
    juce::MemoryBlock bytes;
    if (! readUntrustedUtf8 (file, maxCatalogBytes, bytes, reason))
        return {};
    juce::String ignored;
    return strictXml::parse (bytes.getData(), bytes.getSize(), strictXml::defaultMaxDepth, ignored);
}

bool fillEntry (const juce::XmlElement& record, bool isAudioUnit, LiveProfessorPluginEntry& entry)
{
    entry.format = isAudioUnit ? "AU" : "VST3";
    entry.name = record.getStringAttribute ("name");
    entry.manufacturer = record.getStringAttribute ("manufacturer");
    entry.version = record.getStringAttribute ("version");
    entry.file = record.getStringAttribute ("file");
    entry.numInputs = entry.numOutputs = -1;

    if (entry.name.isEmpty())
        return false;

    if (isAudioUnit)
    {
        audioUnit::Identity identity;
        if (! audioUnit::parseDescriptorFile (entry.file, identity))
            return false;
        entry.auType = identity.type;
        entry.auSubtype = identity.subtype;
        entry.auManufacturer = identity.manufacturer;
    }
    else
    {
        // Absolute as written, before the text ever becomes a File.
        if (! entry.file.startsWithChar ('/'))
            return false;
        entry.bundle = juce::File (entry.file);
        if (entry.bundle.getFileExtension().toLowerCase() != ".vst3")
            return false;
    }

    const auto count = [&record] (const char* attribute, juce::int32& out)
    { return record.hasAttribute (attribute) && parseCount (record.getStringAttribute (attribute), out); };

    return count ("numInputs", entry.numInputs) && count ("numOutputs", entry.numOutputs)
        && parseHexId (record.getStringAttribute ("uniqueId"), entry.uniqueId)
        && parseHexId (record.getStringAttribute ("uid"), entry.uid);
}

} // namespace

//==============================================================================
// Identifiers, loading and lookups

juce::uint32 liveProfessorStringHash (juce::StringRef text)
{
    juce::uint32 hash = 0;
    for (auto p = text.text; ! p.isEmpty();)
        hash = hash * 31u + (juce::uint32) p.getAndAdvance();
    return hash;
}

juce::String liveProfessorPluginIdentifier (juce::StringRef format, juce::StringRef name, juce::StringRef file,
                                            juce::uint32 uniqueId)
{
    juce::String id (juce::String (format.text) == "AU" ? "AudioUnit-" : "VST3-");
    id << juce::String (name.text) << "-" << juce::String::toHexString (liveProfessorStringHash (file)) << "-"
       << juce::String::toHexString (uniqueId);
    return id;
}

juce::File LiveProfessorPluginCatalog::defaultFile()
{
    return juce::File::getSpecialLocation (juce::File::userHomeDirectory)
        .getChildFile ("Library/Application Support/audiostrom/LiveProfessor 2/Plugins.xml");
}

bool LiveProfessorPluginCatalog::load (const juce::File& file, juce::String& error)
{
    entries.clear();
    error.clear();

    // The list is found below $HOME, not given by the user: every refusal says which file it is.
    const auto fail = [this, &error, &file] (const juce::String& message)
    {
        entries.clear();
        error = namingFile (message, file);
        return false;
    };

    if (! file.existsAsFile())
        return fail ("LiveProfessor plugin catalog does not exist: " + file.getFullPathName());

    juce::String reason;
    const auto root = parseUntrustedXml (file, reason);
    if (reason.isNotEmpty())
        return fail ("LiveProfessor plugin catalog cannot be read: " + reason);
    if (root == nullptr)
        return fail ("LiveProfessor plugin catalog XML parse failed");
    if (root->getTagName() != "PROPERTIES")
        return fail ("LiveProfessor plugin catalog root is not PROPERTIES");

    const juce::XmlElement* list = nullptr;
    int lists = 0;
    for (const auto* value : root->getChildIterator())
    {
        if (value->getTagName() == "VALUE" && value->getStringAttribute ("name") == "KnownPluginList")
        {
            list = value;
            ++lists;
        }
    }
    if (lists != 1)
        return fail ("LiveProfessor KnownPluginList does not resolve uniquely");

    const juce::XmlElement* known = nullptr;
    for (const auto* child : list->getChildIterator())
    {
        if (child->getTagName() == "KNOWNPLUGINS")
        {
            known = child;
            break;
        }
    }
    if (known == nullptr)
        return fail ("LiveProfessor KNOWNPLUGINS node is missing");

    std::unordered_set<juce::String> identifiers;
    for (const auto* record : known->getChildIterator())
    {
        if (record->getTagName() != "PLUGIN")
            continue;
        const auto format = record->getStringAttribute ("format");
        if (format != "VST3" && format != "AudioUnit")
            continue;

        LiveProfessorPluginEntry entry;
        if (! fillEntry (*record, format == "AudioUnit", entry))
            return fail ("malformed LiveProfessor supported catalog record: " + entry.name);

        entry.identifier = liveProfessorPluginIdentifier (entry.format, entry.name, entry.file, entry.uniqueId);
        entry.xml = record->toString (juce::XmlElement::TextFormat().singleLine().withoutHeader());

        if (! identifiers.insert (entry.identifier).second)
            return fail ("duplicate LiveProfessor plugin identifier: " + entry.identifier);
        entries.add (std::move (entry));
    }

    if (entries.isEmpty())
        return fail ("LiveProfessor plugin catalog has no supported records");
    return true;
}

const LiveProfessorPluginEntry* LiveProfessorPluginCatalog::findUnique (const PluginRef& slot) const
{
    const bool isAudioUnit = slot.format == "AU";
    if ((! isAudioUnit && slot.format != "VST3") || slot.name.isEmpty() || (! isAudioUnit && slot.uniqueId == 0))
        return nullptr;

    const LiveProfessorPluginEntry* match = nullptr;
    for (const auto& entry : entries)
    {
        if (entry.format != slot.format || entry.name != slot.name)
            continue;
        if (slot.uniqueId != 0 && entry.uniqueId != slot.uniqueId)
            continue;
        if (isAudioUnit && (entry.auType != slot.auType || entry.auSubtype != slot.auSubtype
                            || entry.auManufacturer != slot.auManufacturer))
            continue;
        if (match != nullptr)
            return nullptr;
        match = &entry;
    }
    return match;
}

const LiveProfessorPluginEntry* LiveProfessorPluginCatalog::findUnique (const PluginRef& slot,
                                                                        const Vst3ModuleIndex& index) const
{
    if (slot.format == "AU")
        return findUnique (slot);
    if (slot.format != "VST3")
        return nullptr;
    if (slot.classId.isEmpty())
        return findUnique (slot);

    const auto* module = index.findByClassId (slot.classId);
    if (module == nullptr || module->uniqueId == 0)
        return nullptr;

    // Only a VST3 record of the module's own bundle: an AudioUnit record never stands in for a
    // VST3 class, even when their 32-bit ids collide.
    const LiveProfessorPluginEntry* match = nullptr;
    for (const auto& entry : entries)
    {
        if (entry.format != "VST3" || entry.uniqueId != module->uniqueId || entry.bundle != module->bundle)
            continue;
        if (match != nullptr)
            return nullptr;
        match = &entry;
    }
    return match;
}

} // namespace vornconv::rapp
