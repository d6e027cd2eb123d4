#include "rapp/LiveProfessorPluginCatalog.h"

#include "RackBuilders.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace vornconv;
using vornconv::rapp::LiveProfessorPluginCatalog;

namespace
{

const juce::String cidA = "0123456789ABCDEF0123456789ABCDEF";  // uniqueId e26ab0d0

juce::String plugin (const juce::String& attributes)
{
    return "<PLUGIN " + attributes + "/>";
}

juce::String vst3 (const juce::String& name, const juce::String& file, const juce::String& uniqueId,
                   const juce::String& extra = "version=\"1.0\" numInputs=\"2\" numOutputs=\"2\" uid=\"6d1d17dd\"")
{
    return plugin ("format=\"VST3\" name=\"" + name + "\" manufacturer=\"Maker\" file=\"" + file + "\" uniqueId=\""
                   + uniqueId + "\" " + extra);
}

juce::String audioUnit (const juce::String& name, const juce::String& file, const juce::String& uniqueId = "1234")
{
    return plugin ("format=\"AudioUnit\" name=\"" + name + "\" manufacturer=\"Maker\" version=\"1\" file=\"" + file
                   + "\" numInputs=\"0\" numOutputs=\"2\" uniqueId=\"" + uniqueId + "\" uid=\"5\"");
}

juce::String pluginList (const juce::String& records)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PROPERTIES>\n  <VALUE name=\"other\" val=\"1\"/>\n"
           "  <VALUE name=\"KnownPluginList\">\n    <KNOWNPLUGINS>\n      "
         + records + "\n    </KNOWNPLUGINS>\n  </VALUE>\n</PROPERTIES>\n";
}

PluginRef slot (const juce::String& format, const juce::String& name, juce::uint32 uniqueId = 0)
{
    auto ref = vorntest::plugin (format, name);
    ref.uniqueId = uniqueId;
    return ref;
}

struct CatalogFixture : ::testing::Test
{
    vorntest::TempFolder temp;

    juce::File write (const juce::String& text)
    {
        auto file = temp.file ("Plugins.xml");
        EXPECT_TRUE (file.replaceWithText (text));
        return file;
    }

    LiveProfessorPluginCatalog loaded (const juce::String& records)
    {
        LiveProfessorPluginCatalog catalog;
        juce::String error;
        EXPECT_TRUE (catalog.load (write (pluginList (records)), error)) << error;
        return catalog;
    }
};

} // namespace

//==============================================================================
TEST_F (CatalogFixture, EveryRefusalLeavesTheCatalogEmpty)
{
    const auto good = vst3 ("EQ Test", "/x/EQ.vst3", "beb1ab47");
    const auto malformed = [] (const juce::String& name) { return "malformed LiveProfessor supported catalog record: " + name; };
    const juce::String parseFailed = "LiveProfessor plugin catalog XML parse failed";

    struct Case { juce::String text, error; };
    const Case cases[] = {
        { "not xml", parseFailed },
        { "<PROPERTIES><VALUE name=\"KnownPluginList\"><KNOWNPLUGINS>" + good + "</KNOWNPLUGINS></VALUE>", parseFailed },
        { "<!DOCTYPE p [<!ENTITY e \"EQ\">]>" + pluginList (vst3 ("&e;", "/x/EQ.vst3", "beb1ab47")), parseFailed },
        { juce::String::repeatedString ("<a>", 5000) + juce::String::repeatedString ("</a>", 5000), parseFailed },
        { "<x/>", "LiveProfessor plugin catalog root is not PROPERTIES" },
        { "<x><VALUE name=\"KnownPluginList\"><KNOWNPLUGINS>" + plugin ("format=\"VST3\"") + "</KNOWNPLUGINS></VALUE></x>",
          "LiveProfessor plugin catalog root is not PROPERTIES" },
        { "<PROPERTIES><VALUE name=\"Other\"/></PROPERTIES>", "LiveProfessor KnownPluginList does not resolve uniquely" },
        { "<PROPERTIES><VALUE name=\"KnownPluginList\"/><VALUE name=\"KnownPluginList\"/></PROPERTIES>",
          "LiveProfessor KnownPluginList does not resolve uniquely" },
        { "<PROPERTIES><VALUE name=\"KnownPluginList\"><OTHER/></VALUE></PROPERTIES>", "LiveProfessor KNOWNPLUGINS node is missing" },
        { pluginList (good + vst3 ("", "/x/B.vst3", "1")), malformed ("") },
        { pluginList (vst3 ("Rel", "x/EQ.vst3", "1")), malformed ("Rel") },
        { pluginList (vst3 ("Home", "~/EQ.vst3", "1")), malformed ("Home") },
        { pluginList (vst3 ("Comp", "/x/EQ.component", "1")), malformed ("Comp") },
        { pluginList (vst3 ("Zero", "/x/EQ.vst3", "0")), malformed ("Zero") },
        { pluginList (vst3 ("Nine", "/x/EQ.vst3", "123456789")), malformed ("Nine") },
        { pluginList (vst3 ("NotHex", "/x/EQ.vst3", "12G4")), malformed ("NotHex") },
        { pluginList (vst3 ("Signed", "/x/EQ.vst3", "-1")), malformed ("Signed") },
        { pluginList (vst3 ("NoUid", "/x/EQ.vst3", "1", "numInputs=\"2\" numOutputs=\"2\" uid=\"00000000\"")), malformed ("NoUid") },
        { pluginList (vst3 ("NoIns", "/x/EQ.vst3", "1", "numOutputs=\"2\" uid=\"1\"")), malformed ("NoIns") },
        { pluginList (vst3 ("LooseIns", "/x/EQ.vst3", "1", "numInputs=\"2x\" numOutputs=\"2\" uid=\"1\"")), malformed ("LooseIns") },
        { pluginList (vst3 ("NegOuts", "/x/EQ.vst3", "1", "numInputs=\"2\" numOutputs=\"-1\" uid=\"1\"")), malformed ("NegOuts") },
        { pluginList (audioUnit ("TwoCodes", "AudioUnit:Effects/aufx,Abcd")), malformed ("TwoCodes") },
        { pluginList (audioUnit ("NoSlash", "AudioUnit:aufx,Abcd,Manu")), malformed ("NoSlash") },
        { pluginList (audioUnit ("Short", "AudioUnit:Effects/aufx,Abc,Manu")), malformed ("Short") },
        { pluginList (audioUnit ("Prefix", "Audio:Effects/aufx,Abcd,Manu")), malformed ("Prefix") },
        { pluginList (good + vst3 ("EQ Test", "/x/EQ.vst3", "beb1ab47", "version=\"2.0\" numInputs=\"2\" numOutputs=\"2\" uid=\"7\"")),
          "duplicate LiveProfessor plugin identifier: VST3-EQ Test-3aed27d8-beb1ab47" },
        { pluginList (plugin ("format=\"VST\" name=\"Old\"") + plugin ("format=\"LADSPA\" name=\"L\"")),
          "LiveProfessor plugin catalog has no supported records" },
        { pluginList (""), "LiveProfessor plugin catalog has no supported records" },
    };

    for (const auto& c : cases)
    {
        LiveProfessorPluginCatalog catalog;
        juce::String error;
        ASSERT_TRUE (catalog.load (write (pluginList (good)), error)) << error;
        ASSERT_EQ (catalog.entries.size(), 1);

        const auto file = write (c.text);
        EXPECT_FALSE (catalog.load (file, error)) << c.text;
        EXPECT_EQ (error, c.error + " (in " + file.getFullPathName() + ")") << c.text;
        EXPECT_TRUE (catalog.entries.isEmpty()) << c.text;
    }

    LiveProfessorPluginCatalog catalog;
    juce::String error;
    const auto missing = temp.file ("none/Plugins.xml");
    EXPECT_FALSE (catalog.load (missing, error));
    EXPECT_EQ (error, "LiveProfessor plugin catalog does not exist: " + missing.getFullPathName());
    EXPECT_FALSE (catalog.load (temp.folder, error));
    EXPECT_EQ (error, "LiveProfessor plugin catalog does not exist: " + temp.folder.getFullPathName());
}

TEST_F (CatalogFixture, ReadsRecordsAndBuildsLiveProfessorIdentifiers)
{
    const auto catalog = loaded (vst3 ("EQ Test", "/x/EQ.vst3", "BeB1aB47") + plugin ("format=\"VST\" name=\"Skipped\"")
                                 + audioUnit ("Verb", "AudioUnit:Effects/aufx,Abcd,Manu", "0000beef")
                                 + vst3 ("Upper", "/x/EQ.VST3", "1", "numInputs=\"0\" numOutputs=\"0\" uid=\"ffffffff\"")
                                 + vst3 ("Emoji", juce::CharPointer_UTF8 ("/x/\xf0\x9f\x98\x80.vst3"), "2"));
    ASSERT_EQ (catalog.entries.size(), 4);

    const auto& eq = catalog.entries.getReference (0);
    EXPECT_EQ (eq.format, "VST3");
    EXPECT_EQ (eq.name, "EQ Test");
    EXPECT_EQ (eq.manufacturer, "Maker");
    EXPECT_EQ (eq.version, "1.0");
    EXPECT_EQ (eq.file, "/x/EQ.vst3");
    EXPECT_EQ (eq.bundle, juce::File ("/x/EQ.vst3"));
    EXPECT_EQ (eq.uniqueId, 0xbeb1ab47u);
    EXPECT_EQ (eq.uid, 0x6d1d17ddu);
    EXPECT_EQ (eq.numInputs, 2);
    EXPECT_EQ (eq.numOutputs, 2);
    EXPECT_EQ (eq.auType, 0u);
    EXPECT_EQ (eq.identifier, "VST3-EQ Test-3aed27d8-beb1ab47");
    EXPECT_FALSE (eq.xml.containsChar ('\n'));
    EXPECT_TRUE (eq.xml.startsWith ("<PLUGIN ")) << eq.xml;
    EXPECT_TRUE (eq.xml.contains ("uniqueId=\"BeB1aB47\"")) << eq.xml;

    const auto& verb = catalog.entries.getReference (1);
    EXPECT_EQ (verb.format, "AU");
    EXPECT_EQ (verb.bundle, juce::File());
    EXPECT_EQ (verb.auType, 0x61756678u);          // 'aufx'
    EXPECT_EQ (verb.auSubtype, 0x41626364u);       // 'Abcd'
    EXPECT_EQ (verb.auManufacturer, 0x4d616e75u);  // 'Manu'
    EXPECT_EQ (verb.identifier, "AudioUnit-Verb-e3c63d4c-beef");  // the hash is negative as int32

    EXPECT_EQ (catalog.entries.getReference (2).identifier, "VST3-Upper-3ade1ff8-1");
    EXPECT_EQ (catalog.entries.getReference (2).numInputs, 0);
    EXPECT_EQ (catalog.entries.getReference (3).identifier, "VST3-Emoji-43e9af90-2");  // hashed by code point
}

TEST_F (CatalogFixture, DefaultFileFollowsTheHomeFolder)
{
    const juce::String oldHome = std::getenv ("HOME") != nullptr ? std::getenv ("HOME") : "";
    setenv ("HOME", temp.path().c_str(), 1);
    const auto file = LiveProfessorPluginCatalog::defaultFile();
    setenv ("HOME", oldHome.toRawUTF8(), 1);
    EXPECT_EQ (file, temp.file ("Library/Application Support/audiostrom/LiveProfessor 2/Plugins.xml"));
}

//==============================================================================
TEST_F (CatalogFixture, SlotLookupTable)
{
    const auto catalog = loaded (vst3 ("EQ", "/x/EQ.vst3", "10") + vst3 ("Twin", "/x/T1.vst3", "20")
                                 + vst3 ("Twin", "/x/T2.vst3", "20") + audioUnit ("Verb", "AudioUnit:Effects/aufx,Abcd,Manu")
                                 + audioUnit ("Verb", "AudioUnit:Effects/aufx,Dcba,Manu"));

    auto au = slot ("AU", "Verb");
    au.auType = 0x61756678u;
    au.auSubtype = 0x41626364u;
    au.auManufacturer = 0x4d616e75u;
    auto auOther = au;
    auOther.auSubtype = 0x41626365u;
    auto auWrongId = au;
    auWrongId.uniqueId = 0x99;

    struct Case { PluginRef ref; int expected; };
    const Case cases[] = {
        { slot ("VST3", "EQ", 0x10), 0 },
        { slot ("VST3", "EQ", 0x11), -1 },
        { slot ("VST3", "EQ", 0), -1 },          // a VST3 slot needs its uniqueId
        { slot ("VST3", "Twin", 0x20), -1 },     // two valid records: not unique
        { slot ("VST", "EQ", 0x10), -1 },
        { slot ("VST3", "", 0x10), -1 },
        { slot ("AU", "EQ", 0x10), -1 },         // the format must match
        { au, 3 },
        { auOther, -1 },
        { auWrongId, -1 },
    };
    for (const auto& c : cases)
    {
        const auto* found = catalog.findUnique (c.ref);
        EXPECT_EQ (found, c.expected < 0 ? nullptr : &catalog.entries.getReference (c.expected))
            << c.ref.format << " " << c.ref.name << " " << c.ref.uniqueId;
    }
}

TEST_F (CatalogFixture, LookupThroughTheModuleIndexNeedsTheSameBundle)
{
    const auto uniqueId = juce::String::toHexString (rapp::deriveUniqueId (cidA));
    const auto catalog = loaded (vst3 ("Comp", "/p/Comp.vst3", uniqueId) + vst3 ("Copy", "/p/Copy.vst3", uniqueId)
                                 + vst3 ("Dup", "/p/Dup.vst3", uniqueId) + vst3 ("Dup2", "/p/Dup.vst3", uniqueId)
                                 + audioUnit ("Colliding", "AudioUnit:Effects/aufx,Abcd,Manu", uniqueId));

    rapp::Vst3ModuleIndex index;
    juce::String error;
    ASSERT_TRUE (index.loadFactoryCatalogText (cidA + "\tComp\tMaker\t1\t/p/Comp.vst3\n", error)) << error;

    auto bySlot = slot ("VST3", "Other name", 1);
    bySlot.classId = cidA.toLowerCase();
    EXPECT_EQ (catalog.findUnique (bySlot, index), &catalog.entries.getReference (0));  // name and ids not compared

    auto unknown = slot ("VST3", "Comp", rapp::deriveUniqueId (cidA));
    unknown.classId = "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF";
    EXPECT_EQ (catalog.findUnique (unknown, index), nullptr);

    auto noClassId = slot ("VST3", "Copy", rapp::deriveUniqueId (cidA));
    EXPECT_EQ (catalog.findUnique (noClassId, index), &catalog.entries.getReference (1));

    auto au = slot ("AU", "Colliding");
    au.auType = 0x61756678u;
    au.auSubtype = 0x41626364u;
    au.auManufacturer = 0x4d616e75u;
    EXPECT_EQ (catalog.findUnique (au, index), &catalog.entries.getReference (4));
    EXPECT_EQ (catalog.findUnique (slot ("VST", "Comp", 1), index), nullptr);

    // The module's bundle decides; two records of one bundle are not unique.
    index.entries.getReference (0).bundle = juce::File ("/p/Dup.vst3");
    EXPECT_EQ (catalog.findUnique (bySlot, index), nullptr);
    index.entries.getReference (0).bundle = juce::File ("/p/Elsewhere.vst3");
    EXPECT_EQ (catalog.findUnique (bySlot, index), nullptr);

    // A module entry without a bundle (a source identity) never matches the AudioUnit record
    // whose id collides with it.
    index.entries.getReference (0).bundle = juce::File();
    EXPECT_EQ (catalog.findUnique (bySlot, index), nullptr);
}
