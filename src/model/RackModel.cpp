#include "model/RackModel.h"

#include <algorithm>

namespace vornconv
{

juce::String fidelityName (Fidelity fidelity)
{
    switch (fidelity)
    {
        case Fidelity::lossless: return "LOSSLESS";
        case Fidelity::approx:   return "APPROX";
        case Fidelity::dropped:  return "DROPPED";
    }
    return {};
}

void NoteList::add (Fidelity fidelity, juce::StringRef code, juce::StringRef text)
{
    items.add ({ fidelity, juce::String (code), juce::String (text) });
}

juce::String pluginStateEncodingName (PluginStateEncoding encoding)
{
    switch (encoding)
    {
        case PluginStateEncoding::none:           return "none";
        case PluginStateEncoding::juceVst3Xml:    return "juce-vst3-xml";
        case PluginStateEncoding::vst3Container:  return "vst3-container";
        case PluginStateEncoding::audioUnitPlist: return "audio-unit-plist";
        case PluginStateEncoding::hostSpecific:   return "host-specific";
        case PluginStateEncoding::opaque:         return "opaque";
    }
    return {};
}

juce::String sidechainKindName (juce::int32 kind)
{
    switch (kind)
    {
        case sidechainStrip:   return "legacy";
        case sidechainPhysical: return "physical";
        case sidechainRackPre:  return "rackPre";
        case sidechainRackPost: return "rackPost";
        default:                return {};
    }
}

juce::String readStatusName (juce::int32 status)
{
    switch (status)
    {
        case readFailed:   return "failed";
        case readComplete: return "complete";
        case readPartial:  return "partial (writer blocked)";
        default:           return {};
    }
}

void normaliseRoutes (RackStrip& strip)
{
    std::stable_sort (strip.routePatches.begin(), strip.routePatches.end(),
                      [] (const RackPhysicalPatch& a, const RackPhysicalPatch& b)
                      {
                          if (a.isInput != b.isInput)
                              return a.isInput;
                          return a.rackChannel < b.rackChannel;
                      });
    if (strip.inputChannels == 1)
        strip.routeInR = -1;
    if (strip.outputChannels == 1)
        strip.routeOutR = -1;
}

int RackSession::countPlugins() const
{
    int count = 0;
    for (const auto& strip : strips)
        for (const auto& slot : strip.plugins)
            if (slot.occupied)
                ++count;
    return count;
}

} // namespace vornconv
