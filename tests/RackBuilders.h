#pragma once

// Builders of rack-model values for tests: slots, strips and reads that set the few fields a test
// names and leave the rest at the model's defaults, for the test to assign what it is about; and
// the entries of installed plug-ins that slots are looked up by.

#include "model/RackModel.h"
#include "rapp/LiveProfessorPluginCatalog.h"
#include "rapp/Vst3ModuleIndex.h"

#include <juce_core/juce_core.h>

#include <string>
#include <vector>

namespace vorntest
{

// A four-character code as an AudioUnit identity holds it: the first character in the top byte.
constexpr juce::uint32 fourCc (const char* code)
{
    return ((juce::uint32) (juce::uint8) code[0] << 24) | ((juce::uint32) (juce::uint8) code[1] << 16)
         | ((juce::uint32) (juce::uint8) code[2] << 8) | (juce::uint32) (juce::uint8) code[3];
}

inline juce::MemoryBlock bytesOf (const std::string& s)
{
    return juce::MemoryBlock (s.data(), s.size());
}

inline std::string stringOf (const juce::MemoryBlock& b)
{
    return std::string (static_cast<const char*> (b.getData()), b.getSize());
}

// An AudioUnit ClassInfo property list in XML naming type, subtype and manufacturer, with further
// keys (property-list XML) after them.
inline juce::MemoryBlock auClassInfo (const char* type, const char* subtype, const char* manufacturer,
                                      const std::string& moreKeys = {})
{
    return bytesOf ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>"
                    "<key>type</key><integer>" + std::to_string (fourCc (type)) + "</integer>"
                    "<key>subtype</key><integer>" + std::to_string (fourCc (subtype)) + "</integer>"
                    "<key>manufacturer</key><integer>" + std::to_string (fourCc (manufacturer)) + "</integer>"
                    + moreKeys + "</dict>\n</plist>\n");
}

// A plug-in state of an encoding with a VST3 component and controller stream.
inline vornconv::PluginState vst3State (vornconv::PluginStateEncoding encoding, const std::string& component,
                                        const std::string& controller = {})
{
    vornconv::PluginState state;
    state.encoding = encoding;
    state.component = bytesOf (component);
    state.controller = bytesOf (controller);
    return state;
}

// An occupied slot: its plug-in's format, name and vendor.
inline vornconv::PluginRef plugin (const juce::String& format, const juce::String& name, const juce::String& vendor = {})
{
    vornconv::PluginRef slot;
    slot.occupied = true;
    slot.format = format;
    slot.name = name;
    slot.vendor = vendor;
    return slot;
}

// An occupied VST3 slot of a class.
inline vornconv::PluginRef vst3Slot (const juce::String& classId, const juce::String& name, const juce::String& vendor = {})
{
    auto slot = plugin ("VST3", name, vendor);
    slot.classId = classId;
    return slot;
}

// An occupied AudioUnit slot ("AU") with its type, subtype and manufacturer codes.
inline vornconv::PluginRef auSlot (const juce::String& name, const char* type, const char* subtype, const char* manufacturer)
{
    auto slot = plugin ("AU", name);
    slot.auType = fourCc (type);
    slot.auSubtype = fourCc (subtype);
    slot.auManufacturer = fourCc (manufacturer);
    return slot;
}

// The slot with every field group proven by its reader.
inline vornconv::PluginRef proven (vornconv::PluginRef slot)
{
    slot.coverage = { true, true, true, true, true };
    return slot;
}

// The strip with every field group proven by its reader.
inline vornconv::RackStrip proven (vornconv::RackStrip strip)
{
    strip.coverage = { true, true, true, true, true, true, true, true, true };
    return strip;
}

inline vornconv::RackStrip strip (int index, const juce::String& name = {}, int inputChannels = 2, int outputChannels = 2)
{
    vornconv::RackStrip s;
    s.index = index;
    s.name = name;
    s.inputChannels = inputChannels;
    s.outputChannels = outputChannels;
    return s;
}

// A strip holding these slots, position by position.
inline vornconv::RackStrip stripWith (int index, const std::vector<vornconv::PluginRef>& slots)
{
    auto s = strip (index);
    for (const auto& slot : slots)
        s.plugins.add (slot);
    return s;
}

// Strips 0, 1, ..., each holding its slots.
inline juce::Array<vornconv::RackStrip> stripsOf (const std::vector<std::vector<vornconv::PluginRef>>& slotsPerStrip)
{
    juce::Array<vornconv::RackStrip> strips;
    for (const auto& slots : slotsPerStrip)
        strips.add (stripWith (strips.size(), slots));
    return strips;
}

// A complete read of a session in a source format that holds these strips.
inline vornconv::RackReadResult completeRead (const juce::String& sourceFormat, const juce::Array<vornconv::RackStrip>& strips = {})
{
    vornconv::RackReadResult read;
    read.ok = true;
    read.status = vornconv::readComplete;
    read.session.sourceFormat = sourceFormat;
    read.session.strips = strips;
    return read;
}

// A VST3 class installed in a bundle: available, its JUCE ids derived from the class id.
inline vornconv::rapp::Vst3ModuleEntry installedModule (const juce::String& classId, const juce::String& name, const juce::File& bundle)
{
    vornconv::rapp::Vst3ModuleEntry module;
    module.classId = classId;
    module.name = name;
    module.bundle = bundle;
    module.uniqueId = vornconv::rapp::deriveUniqueId (classId);
    module.uid = vornconv::rapp::deriveUid (classId);
    module.available = true;
    return module;
}

// LiveProfessor's record of an installed VST3 class.
inline vornconv::rapp::LiveProfessorPluginEntry liveProfessorVst3 (const vornconv::rapp::Vst3ModuleEntry& module, int numInputs,
                                                                   int numOutputs)
{
    vornconv::rapp::LiveProfessorPluginEntry entry;
    entry.format = "VST3";
    entry.name = module.name;
    entry.file = module.bundle.getFullPathName();
    entry.bundle = module.bundle;
    entry.uniqueId = module.uniqueId;
    entry.uid = module.uid;
    entry.numInputs = numInputs;
    entry.numOutputs = numOutputs;
    entry.identifier = vornconv::rapp::liveProfessorPluginIdentifier ("VST3", entry.name, entry.file, entry.uniqueId);
    return entry;
}

// LiveProfessor's record of an AudioUnit effect, one id serving as its uniqueId and uid.
inline vornconv::rapp::LiveProfessorPluginEntry liveProfessorAu (const juce::String& name, const char* type, const char* subtype,
                                                                 const char* manufacturer, juce::uint32 id)
{
    vornconv::rapp::LiveProfessorPluginEntry entry;
    entry.format = "AU";
    entry.name = name;
    entry.file = "AudioUnit:Effects/" + juce::String (type) + "," + subtype + "," + manufacturer;
    entry.auType = fourCc (type);
    entry.auSubtype = fourCc (subtype);
    entry.auManufacturer = fourCc (manufacturer);
    entry.uniqueId = id;
    entry.uid = id;
    entry.identifier = vornconv::rapp::liveProfessorPluginIdentifier ("AU", entry.name, entry.file, entry.uniqueId);
    return entry;
}

} // namespace vorntest
