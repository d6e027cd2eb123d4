// AudioUnit plug-in states: the component identity (type, subtype, manufacturer) that a state's
// property list must name, REAPER's binary wrapper around that property list, and the
// four-character codes as text and in JUCE's "AudioUnit:" descriptor. The property list itself is
// checked by the strict reader in PropertyList; only its top-level identity keys are looked at
// here.
//
// The file holds, in order: the wrapper's layout and the identity-field lookup (private),
// then parsePropertyList, splitReaperState and buildReaperState, fourCcText and
// parseDescriptorFile.

#include "model/AudioUnitState.h"

#include "model/LittleEndian.h"
#include "model/PropertyList.h"
#include "model/ReaperPinMap.h"
#include "model/Utf8Text.h"

#include <cstring>

namespace vornconv::audioUnit
{

namespace
{

// The plain wrapper's header: the version 1001 as an int64, then two input and two output pins
// on their own channels (masks 1 and 2).
constexpr juce::uint32 reaperHeaderWords[12] = { 1001, 0, 2, 1, 0, 2, 0, 2, 1, 0, 2, 0 };
constexpr size_t reaperOverheadBytes = 62; // the header, P, and L = 1 with its NUL and the zero bytes
constexpr juce::uint32 reaperWrapperVersion = 1001;
constexpr size_t reaperZeroTailBytes = 5;
// The version, no input pin, one output pin, a one-byte property list and no preset name.
constexpr size_t minReaperWrapperBytes = 8 + 4 + 12 + 4 + 1 + 4 + 1 + reaperZeroTailBytes;
constexpr size_t maxReaperWrapperBytes = 8 + 2 * maxReaperPinMapBytes + 4 + maxPropertyListBytes + 4
                                       + maxReaperPresetNameBytes + reaperZeroTailBytes;

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

ReaperStateSplit splitReaperState (const juce::MemoryBlock& wrapper)
{
    ReaperStateSplit split;
    auto fail = [&split] (const juce::String& message)
    {
        split = ReaperStateSplit();
        split.error = message;
        return split;
    };

    const size_t size = wrapper.getSize();
    if (size < minReaperWrapperBytes || size > maxReaperWrapperBytes)
        return fail ("REAPER AudioUnit wrapper size is invalid");
    const auto* b = static_cast<const juce::uint8*> (wrapper.getData());
    if (littleEndian::u32 (b) != reaperWrapperVersion || littleEndian::u32 (b + 4) != 0)
        return fail ("REAPER AudioUnit pin-map header is unsupported");

    // The pin maps. One that routes the plug-in to other channels is well formed: the rest of
    // the wrapper is still checked, so that such a refusal is the only fault of the state.
    size_t pos = 8;
    ReaperPinMap inputs, outputs;
    const auto inputFault = readReaperPinMap (b, size, pos, ReaperPinMapSide::inputs, inputs);
    const auto outputFault = inputFault == ReaperPinMapFault::none || inputFault == ReaperPinMapFault::routed
                           ? readReaperPinMap (b, size, pos, ReaperPinMapSide::outputs, outputs)
                           : inputFault;
    if (outputFault == ReaperPinMapFault::countTruncated || outputFault == ReaperPinMapFault::countInvalid)
        return fail ("REAPER AudioUnit pin-map header is unsupported");
    const bool routed = inputFault == ReaperPinMapFault::routed || outputFault == ReaperPinMapFault::routed;

    // The property list must leave room for the name's length, at least its NUL and the five
    // zero bytes.
    constexpr size_t shortestTail = 4 + 1 + reaperZeroTailBytes;
    if (size - pos < 4 + shortestTail)
        return fail ("REAPER AudioUnit property-list length is inconsistent");
    const size_t length = littleEndian::u32 (b + pos);
    pos += 4;
    if (length < 1 || length > maxPropertyListBytes || length > size - pos - shortestTail)
        return fail ("REAPER AudioUnit property-list length is inconsistent");
    const auto* plistAt = b + pos;
    pos += length;

    const size_t nameLength = littleEndian::u32 (b + pos);
    pos += 4;
    if (nameLength < 1 || nameLength > maxReaperPresetNameBytes || nameLength != size - pos - reaperZeroTailBytes)
        return fail ("REAPER AudioUnit preset-name length is inconsistent");
    const auto* name = b + pos;
    for (size_t i = size - reaperZeroTailBytes; i < size; ++i)
        if (b[i] != 0)
            return fail ("REAPER AudioUnit wrapper tail is unsupported");
    if (name[nameLength - 1] != 0 || std::memchr (name, 0, nameLength - 1) != nullptr)
        return fail ("REAPER AudioUnit preset name is not NUL-terminated");
    juce::String presetName;
    if (! utf8::toText (name, nameLength - 1, presetName))
        return fail ("REAPER AudioUnit preset name is not valid UTF-8");

    split.plist = juce::MemoryBlock (plistAt, length);
    juce::String plistError;
    if (! parsePropertyList (split.plist, split.identity, plistError))
        return fail (plistError);
    split.presetName = presetName;
    split.inputPins = inputs.pins;
    split.connectedInputs = inputs.connected;
    split.outputPins = outputs.pins;
    if (routed)
    {
        split.pinMapRouted = true;
        split.routing = describeReaperPinRouting (inputs, outputs);
        split.error = "REAPER AudioUnit pin-map is not the observed sequential topology";
        return split;
    }
    split.ok = true;
    return split;
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
    stream.writeInt (1);     // no preset name: its length covers only the NUL
    stream.writeByte (0);
    for (size_t i = 0; i < reaperZeroTailBytes; ++i)
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
