#pragma once

#include <juce_core/juce_core.h>

// The host-neutral wrappers around a VST3 plug-in's two state streams (component "Comp" and
// edit controller "Cont"): JUCE memory-block text, JUCE's VST3 state container, SuperRack preset
// text and the Steinberg chunk list that ends a VST3 preset body. Parsers are strict and never
// read outside their input; builders are exact. All binary integers are little-endian.
namespace vornconv::vst3
{

// The limit callers pass for every decoded state stream, and the limit of embedded XML text.
constexpr size_t maxStateBytes = 64u * 1024u * 1024u;

struct JuceStateSplit
{
    bool ok = false;
    juce::String error;
    juce::MemoryBlock component;
    juce::MemoryBlock controller;
    juce::int64 delta = 0;      // chunk list: add to a chunk offset to get its position in the blob
    juce::int64 chunkCount = 0; // chunk list: 1 or 2; 0 for the other parsers
};

struct SuperRackPreset
{
    bool ok = false;
    juce::String error;
    juce::String formatTag;
    juce::int32 marker = 0;
    juce::String classId;        // 32 upper-case hexadecimal digits
    juce::MemoryBlock blob;      // the decoded wrapper
    juce::MemoryBlock body;      // the VST3 preset body inside it
    juce::uint64 bodyOffset = 0; // 45 once parsed
};

// Standard (RFC 4648) base64 as JUCE's Base64::convertFromBase64 reads it, with no canonical
// check: out is emptied; an empty text succeeds with an empty block; true only when the text
// decodes and the decoded size is at most maxBytes (a text too long for that is refused before
// decoding).
bool decodeStandardBase64 (juce::StringRef text, juce::MemoryBlock& out, size_t maxBytes);

// JUCE's MemoryBlock text ("<size>.<JUCE base64>"), accepted only in its canonical form. out is
// emptied first and stays empty on failure.
bool decodeJuceMemoryBlock (juce::StringRef text, juce::MemoryBlock& out, size_t maxBytes, juce::String& error);

// Writes the canonical memory-block text of size bytes at data (what MemoryBlock::toBase64Encoding
// gives, without building it as one string); false when the stream fails.
bool writeJuceMemoryBlockText (juce::OutputStream& out, const void* data, size_t size);

// At least 9 bytes starting with the magic "VC2!".
bool looksLikeJuceXmlContainer (const juce::MemoryBlock& data);

// "VC2!", uint32 N, N bytes of XML <VST3PluginState><IComponent/><IEditController/>, one 0 byte.
JuceStateSplit parseJuceVst3State (const juce::MemoryBlock& data);

// Writes a child only for a non-empty block. An empty component gives a container that
// parseJuceVst3State refuses.
juce::MemoryBlock buildJuceVst3State (const juce::MemoryBlock& component, const juce::MemoryBlock& controller);

// Two or more base64 lines: the format tag "VST", then the wrapper (marker 307, 0, class id,
// int64 body length, body).
SuperRackPreset parseSuperRackPreset (const juce::String& text);

// The same reading of preset text held as size bytes of well-formed UTF-8 (what utf8::toText
// accepts; the text ends at a NUL byte, as a juce::String would), without making a text of it and
// without copying the body out of the wrapper: blob holds the wrapper, the body starts at
// bodyOffset within it, and body stays empty.
SuperRackPreset parseSuperRackPresetBytes (const void* text, size_t size);

// The two-line preset text, or an empty text when the component is empty or the class id is not
// exactly 32 hexadecimal digits.
juce::String buildSuperRackPreset (juce::StringRef classId, const juce::MemoryBlock& component, const juce::MemoryBlock& controller);

// The "List" table at the end of blob locates "Comp" (and "Cont") in the body that starts at base.
JuceStateSplit extractSteinbergChunks (const juce::MemoryBlock& blob, size_t base);

// The same split of a blob that is not needed afterwards: on success the component is cut out of
// the blob's own storage instead of being copied, and blob is left empty; on failure blob is
// left as it was.
JuceStateSplit extractSteinbergChunks (juce::MemoryBlock&& blob, size_t base);

} // namespace vornconv::vst3
