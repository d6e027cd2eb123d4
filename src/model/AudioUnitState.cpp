// AudioUnit plug-in states: the component identity (type, subtype, manufacturer) that a state's
// property list must name, REAPER's fixed binary wrapper around that property list, and the
// four-character codes as text and in JUCE's "AudioUnit:" descriptor. The property list itself is
// checked by the strict reader in PropertyList; only its top-level identity keys are looked at
// here.
//
// The file holds, in order: the wrapper's header words and the identity-field lookup (private),
// then parsePropertyList, splitReaperState and buildReaperState, fourCcText and
// parseDescriptorFile.

#include "model/AudioUnitState.h"

#include "model/PropertyList.h"

#include <cstring>

namespace vornconv::audioUnit
{

namespace
{

constexpr juce::uint32 reaperHeaderWords[12] = { 1001, 0, 2, 1, 0, 2, 0, 2, 1, 0, 2, 0 };
constexpr size_t reaperHeaderBytes = 52; // twelve words and the length
constexpr size_t reaperOverheadBytes = 62;

juce::uint32 readU32 (const juce::uint8* p) noexcept
{
    return (juce::uint32) p[0] | ((juce::uint32) p[1] << 8) | ((juce::uint32) p[2] << 16) | ((juce::uint32) p[3] << 24);
}

// Finds one identity field: it must be given exactly once, as an integer within 1..0xFFFFFFFF.
// A real number is not accepted even when its value is whole, and a repeated key is refused
// rather than resolved, since either reading could then be the intended one.
bool identityField (const juce::Array<propertyList::TopLevelEntry>& entries, const char* key, juce::uint32& value)
{
    const propertyList::TopLevelEntry* found = nullptr;
    for (const auto& entry : entries)
        if (entry.key == key)
        {
            if (found != nullptr)
                return false;
            found = &entry;
        }
    if (found == nullptr || found->kind != propertyList::ValueKind::integer || ! found->integerFitsInt64
        || found->integerValue < 1 || found->integerValue > 0xFFFFFFFFll)
        return false;
    value = (juce::uint32) found->integerValue;
    return true;
}

} // namespace

bool parsePropertyList (const juce::MemoryBlock& plist, Identity& out, juce::String& error)
{
    out = Identity();
    error.clear();

    if (plist.getSize() < 1 || plist.getSize() > maxPropertyListBytes)
    {
        error = "AudioUnit property list is empty or exceeds the safety limit";
        return false;
    }

    // The bytes are read in place, so there is nothing to stage and "could not stage AudioUnit
    // property list" cannot arise here.
    juce::Array<propertyList::TopLevelEntry> entries;
    juce::String reason;
    if (! propertyList::readDictionary (plist.getData(), plist.getSize(), entries, reason))
    {
        error = "AudioUnit state is not a property-list dictionary";
        return false;
    }

    Identity identity;
    if (! identityField (entries, "type", identity.type) || ! identityField (entries, "subtype", identity.subtype)
        || ! identityField (entries, "manufacturer", identity.manufacturer))
    {
        error = "AudioUnit property list has no complete component identity";
        return false;
    }
    out = identity;
    return true;
}

bool splitReaperState (const juce::MemoryBlock& wrapper, juce::MemoryBlock& plist, juce::String& error)
{
    plist.reset();
    error.clear();

    const size_t size = wrapper.getSize();
    if (size < reaperOverheadBytes || size > maxPropertyListBytes + reaperOverheadBytes)
    {
        error = "REAPER AudioUnit wrapper size is invalid";
        return false;
    }

    const auto* b = static_cast<const juce::uint8*> (wrapper.getData());
    for (int i = 0; i < 12; ++i)
        if (readU32 (b + 4 * i) != reaperHeaderWords[i])
        {
            error = "REAPER AudioUnit pin-map header is unsupported";
            return false;
        }

    const size_t length = readU32 (b + 48);
    if (length < 1 || length > maxPropertyListBytes || length != size - reaperOverheadBytes)
    {
        error = "REAPER AudioUnit property-list length is inconsistent";
        return false;
    }

    const auto* tail = b + reaperHeaderBytes + length;
    static const juce::uint8 expectedTail[10] = { 1, 0, 0, 0, 0, 0, 0, 0, 0, 0 };
    if (std::memcmp (tail, expectedTail, sizeof expectedTail) != 0)
    {
        error = "REAPER AudioUnit wrapper tail is unsupported";
        return false;
    }

    plist = juce::MemoryBlock (b + reaperHeaderBytes, length);
    Identity identity;
    return parsePropertyList (plist, identity, error);
}

bool buildReaperState (const juce::MemoryBlock& plist, juce::MemoryBlock& out, juce::String& error)
{
    Identity identity;
    if (! parsePropertyList (plist, identity, error))
        return false;

    juce::MemoryOutputStream stream (plist.getSize() + reaperOverheadBytes);
    for (auto word : reaperHeaderWords)
        stream.writeInt ((int) word);
    stream.writeInt ((int) plist.getSize());
    stream.write (plist.getData(), plist.getSize());
    stream.writeByte (1);
    stream.writeInt64 (0);
    stream.writeByte (0);
    out = stream.getMemoryBlock();
    return true;
}

juce::String fourCcText (juce::uint32 code)
{
    char chars[5] = {};
    for (int i = 0; i < 4; ++i)
    {
        const auto c = (juce::uint8) (code >> (24 - 8 * i));
        if (c < 32 || c > 126)
            return {};
        chars[i] = (char) c;
    }
    return juce::String (chars, 4);
}

bool parseDescriptorFile (juce::StringRef text, Identity& out)
{
    out = Identity();
    const juce::String descriptor (text.text);
    if (! descriptor.startsWith ("AudioUnit:"))
        return false;

    const int slash = descriptor.indexOfChar ('/');
    const juce::String codes = slash >= 0 ? descriptor.substring (slash + 1) : juce::String();
    juce::StringArray tokens;
    tokens.addTokens (codes, ",", "");
    if (tokens.size() != 3)
        return false;

    juce::uint32 values[3] = {};
    for (int t = 0; t < 3; ++t)
    {
        const auto& token = tokens[t];
        if (token.length() != 4)
            return false;
        for (auto c : token)
        {
            if (c < 32 || c > 126)
                return false;
            values[t] = (values[t] << 8) | (juce::uint32) c;
        }
    }
    out.type = values[0];
    out.subtype = values[1];
    out.manufacturer = values[2];
    return true;
}

} // namespace vornconv::audioUnit
