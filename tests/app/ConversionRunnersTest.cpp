#include "TestSupport.h"

#include "app/ConversionRunners.h"
#include "model/Vst3State.h"

#include <gtest/gtest.h>

#include <juce_cryptography/juce_cryptography.h>

namespace
{
const char* const testCid = "0123456789ABCDEF0123456789ABCDEF";

juce::String memoryBlockText (const juce::MemoryBlock& bytes) { return bytes.toBase64Encoding(); }

juce::MemoryBlock bytesOf (const char* text) { return juce::MemoryBlock (text, std::strlen (text)); }

struct SceneSlot
{
    int strip = 0;
    int slot = 0;
    juce::String name = "TestComp";
    juce::String vendor = "Acme";
    juce::String file = "/opt/fake/TestComp.vst3";
    juce::String uniqueId = "e26ab0d0";
    juce::String uid = "99edfa10";
    int state = 0;
};

// A scene shaped as the writer makes it: 64 strips, 64 routes, no status, no counts.
juce::String writerShapedScene (const std::vector<SceneSlot>& slots, int strips = 64, bool withRouting = true)
{
    juce::XmlElement root ("VornLiveScene");
    root.setAttribute ("version", 1);
    auto* s = root.createNewChildElement ("Strips");
    for (int i = 0; i < strips; ++i)
    {
        auto* strip = s->createNewChildElement ("Strip");
        strip->setAttribute ("index", i);
        strip->setAttribute ("name", i == 0 ? juce::String ("Vox") : "Ch " + juce::String (i + 1));
        strip->setAttribute ("inputStereo", 1);
        strip->setAttribute ("outputStereo", 1);
        for (const auto& sl : slots)
        {
            if (sl.strip != i)
                continue;
            auto* slot = strip->createNewChildElement ("Slot");
            slot->setAttribute ("index", sl.slot);
            slot->setAttribute ("state", sl.state);
            auto* plugin = slot->createNewChildElement ("PLUGIN");
            plugin->setAttribute ("name", sl.name);
            plugin->setAttribute ("format", "VST3");
            plugin->setAttribute ("manufacturer", sl.vendor);
            plugin->setAttribute ("file", sl.file);
            plugin->setAttribute ("uniqueId", sl.uniqueId);
            plugin->setAttribute ("uid", sl.uid);
            slot->setAttribute ("pluginState", memoryBlockText (vornconv::vst3::buildJuceVst3State (bytesOf ("abc"), bytesOf ("ctl"))));
        }
    }
    if (withRouting)
    {
        auto* routing = root.createNewChildElement ("Routing");
        for (int i = 0; i < strips; ++i)
        {
            auto* route = routing->createNewChildElement ("Route");
            route->setAttribute ("strip", i);
            if (i == 0)
            {
                route->setAttribute ("inL", 0);
                route->setAttribute ("inR", 1);
                route->setAttribute ("outL", 0);
                route->setAttribute ("outR", 1);
            }
        }
    }
    return root.toString();
}

juce::String catalogRow (const juce::String& flag = {})
{
    juce::String row = juce::String (testCid) + "\tTestComp\tAcme\t1.0\t/opt/fake/TestComp.vst3";
    if (flag.isNotEmpty())
        row << "\t" << flag;
    return row + "\n";
}

juce::String digestOf (const juce::File& file)
{
    juce::MemoryBlock data;
    file.loadFileAsData (data);
    return juce::SHA256 (data).toHexString();
}

// One folder per test: working directory, HOME and TMPDIR of the program under test.
struct RunnerSandbox
{
    vorntest::TempFolder root;
    juce::File work = root.file ("work");
    juce::File home = root.file ("home");
    juce::File tmp = root.file ("tmp");

    RunnerSandbox()
    {
        work.createDirectory();
        home.createDirectory();
        tmp.createDirectory();
    }

    juce::File write (const juce::String& name, const juce::String& text) const
    {
        auto f = work.getChildFile (name);
        f.replaceWithText (text);
        return f;
    }

    vorntest::ProcessResult run (const std::vector<std::string>& args) const
    {
        return vorntest::runVornconvBinary (args, work.getFullPathName().toStdString(),
                                            { "HOME=" + home.getFullPathName().toStdString(),
                                              "TMPDIR=" + tmp.getFullPathName().toStdString() });
    }

    bool tmpIsEmpty() const { return tmp.getNumberOfChildFiles (juce::File::findFilesAndDirectories | juce::File::ignoreHiddenFiles) == 0
                                     && tmp.findChildFiles (juce::File::findFilesAndDirectories, false, "*").isEmpty(); }
};

} // namespace

TEST (ConversionRunnerParsing, ProfileDimensions)
{
    using vornconv::app::parseDimensions;
    struct Case { const char* text; bool ok; int a; int b; const char* error; };
    const Case cases[] = {
        { "64x8", true, 64, 8, "" },
        { "64X8", true, 64, 8, "" },
        { "007x1", true, 7, 1, "" },
        { "64x", false, 0, 0, "shape" },
        { "x8", false, 0, 0, "shape" },
        { "648", false, 0, 0, "shape" },
        { "0x8", false, 0, 0, "value" },
        { "64x8x2", false, 0, 0, "value" },
        { "64 x8", false, 0, 0, "value" },
        { "2147483648x1", false, 0, 0, "value" },
    };
    for (const auto& c : cases)
    {
        int a = -1, b = -1;
        juce::String error;
        EXPECT_EQ (parseDimensions (c.text, "shape", "value", a, b, error), c.ok) << c.text;
        EXPECT_EQ (error, juce::String (c.error)) << c.text;
        if (c.ok)
        {
            EXPECT_EQ (a, c.a);
            EXPECT_EQ (b, c.b);
        }
    }
}
