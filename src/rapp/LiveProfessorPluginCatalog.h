#pragma once

#include "model/RackModel.h"
#include "rapp/Vst3ModuleIndex.h"

#include <juce_core/juce_core.h>

// The plug-ins LiveProfessor 2 itself knows, read from its own plug-in list (Plugins.xml). The
// converter writes into LiveProfessor projects only plug-ins that this list holds exactly once.
namespace vornconv::rapp
{

struct LiveProfessorPluginEntry
{
    juce::String format;        // "VST3" or "AU"
    juce::String name;          // never empty
    juce::String manufacturer;
    juce::String version;
    juce::File bundle;          // VST3: the absolute .vst3 path of `file`; AU: File()
    juce::String file;          // the record's file attribute as written
    juce::uint32 auType = 0;    // AU only: the component description parsed from `file`
    juce::uint32 auSubtype = 0;
    juce::uint32 auManufacturer = 0;
    juce::uint32 uniqueId = 0;  // non-zero
    juce::uint32 uid = 0;       // non-zero
    juce::int32 numInputs = 0;
    juce::int32 numOutputs = 0;
    juce::String identifier;    // LiveProfessor's plug-in type id, unique in the catalog
    juce::String xml;           // the whole record as single-line XML text
};

// The 31-hash of the text's Unicode code points, wrapping at 32 bits.
juce::uint32 liveProfessorStringHash (juce::StringRef text);

// "VST3-" or "AudioUnit-" (format "AU"), the name, "-", the hash of the file text and "-", the
// uniqueId; both numbers in lower-case hexadecimal without leading zeros. LiveProfessor stores
// the same text as a plug-in's pluginTypeId.
juce::String liveProfessorPluginIdentifier (juce::StringRef format, juce::StringRef name,
                                            juce::StringRef file, juce::uint32 uniqueId);

struct LiveProfessorPluginCatalog
{
    juce::Array<LiveProfessorPluginEntry> entries;  // file order; empty after a failed load

    // ~/Library/Application Support/audiostrom/LiveProfessor 2/Plugins.xml
    static juce::File defaultFile();

    // Replaces the contents with the file's VST3 and AudioUnit records. On failure the catalog
    // is empty and error holds the message, which names the file. The list is untrusted: it is
    // size-limited, parsed from memory, and any document type declaration is refused.
    bool load (const juce::File& file, juce::String& error);

    // The one entry with the slot's format and name (and its uniqueId when not 0; for AU its
    // three codes); null when none or several match, or when the slot cannot be looked up.
    const LiveProfessorPluginEntry* findUnique (const PluginRef& slot) const;

    // A VST3 slot with a class id goes through the module index: the one VST3 entry with the
    // module entry's uniqueId and bundle. AU slots and VST3 slots without a class id use the
    // lookup above; other formats get null.
    const LiveProfessorPluginEntry* findUnique (const PluginRef& slot, const Vst3ModuleIndex& index) const;
};

} // namespace vornconv::rapp
