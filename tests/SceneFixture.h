#pragma once

// A Vorn Live scene shaped as the scene writer makes it (64 strips), with one plug-in class in the
// slots asked for, and the factory catalog row that proves that class: a scene that converts and
// exports.

#include "TestSupport.h"
#include "model/Vst3State.h"

#include <juce_core/juce_core.h>

#include <string>

namespace vorntest
{

// Every occupied slot carries this many component bytes (and a small controller state).
struct SceneShape
{
    int occupiedStrips = 1;
    int slotsPerStrip = 1;
    size_t componentBytes = 3;
};

inline juce::String convertibleScene (const SceneShape& shape = {})
{
    juce::MemoryBlock component (shape.componentBytes);
    for (size_t i = 0; i < shape.componentBytes; ++i)
        component[i] = (char) ('a' + i % 26);
    const auto pluginState = vornconv::vst3::buildJuceVst3State (component, juce::MemoryBlock ("ctl", 3)).toBase64Encoding();

    juce::XmlElement root ("VornLiveScene");
    root.setAttribute ("version", 1);
    auto* strips = root.createNewChildElement ("Strips");
    for (int i = 0; i < 64; ++i)
    {
        auto* strip = strips->createNewChildElement ("Strip");
        strip->setAttribute ("index", i);
        strip->setAttribute ("name", "Ch " + juce::String (i + 1));
        strip->setAttribute ("inputStereo", 1);
        strip->setAttribute ("outputStereo", 1);
        for (int k = 0; i < shape.occupiedStrips && k < shape.slotsPerStrip; ++k)
        {
            auto* slot = strip->createNewChildElement ("Slot");
            slot->setAttribute ("index", k);
            slot->setAttribute ("state", 0);
            auto* plugin = slot->createNewChildElement ("PLUGIN");
            plugin->setAttribute ("name", "TestComp");
            plugin->setAttribute ("format", "VST3");
            plugin->setAttribute ("manufacturer", "Acme");
            plugin->setAttribute ("file", "/opt/fake/TestComp.vst3");
            plugin->setAttribute ("uniqueId", "e26ab0d0");
            plugin->setAttribute ("uid", "99edfa10");
            slot->setAttribute ("pluginState", pluginState);
        }
    }
    auto* routing = root.createNewChildElement ("Routing");
    for (int i = 0; i < 64; ++i)
        routing->createNewChildElement ("Route")->setAttribute ("strip", i);
    return root.toString();
}

inline juce::String convertibleSceneCatalog()
{
    return "0123456789ABCDEF0123456789ABCDEF\tTestComp\tAcme\t1.0\t/opt/fake/TestComp.vst3\n";
}

// A sandbox for runs of the program holding in.ksn, a scene that converts whose plug-in carries
// 200 KiB of state (more than a small temporary folder or file system takes, and a document of
// many pages), and cat.tsv, the catalog that proves it.
struct ConvertibleSceneSandbox : ProgramSandbox
{
    ConvertibleSceneSandbox()
    {
        SceneShape shape;
        shape.componentBytes = 200 * 1024;
        write ("in.ksn", convertibleScene (shape));
        write ("cat.tsv", convertibleSceneCatalog());
    }

    std::vector<std::string> convertTo (const juce::String& output) const
    {
        return { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", output.toStdString(), "in.ksn" };
    }
};

} // namespace vorntest
