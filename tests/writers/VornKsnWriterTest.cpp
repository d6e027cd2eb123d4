#include "RackBuilders.h"
#include "TestSupport.h"

#include "app/HostRegistry.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/Vst3ModuleIndex.h"
#include "model/ParameterSnapshot.h"
#include "readers/VornKsnReader.h"
#include "writers/VornKsnWriter.h"

#include <gtest/gtest.h>

using namespace vornconv;
using vorntest::completeRead;
using vorntest::proven;
using vorntest::strip;

namespace
{
const juce::String cid = "0123456789ABCDEF0123456789ABCDEF";

// The road of the convert runner: the preflight of the source, then the writer with its verdict.
rapp::ConversionPlan scenePlan (const RackReadResult& source, const rapp::Vst3ModuleIndex& index)
{
    return rapp::inspect (source, app::hostOf (rapp::targetVornScene)->rules, index, nullptr);
}

rapp::WriteResult writeScene (const RackReadResult& source, const rapp::Vst3ModuleIndex& index, const juce::File& output)
{
    rapp::WriteOptions options;
    options.output = output;
    return rapp::writeVornKsn (source, index, scenePlan (source, index), options);
}

rapp::WriteResult checkScene (const RackReadResult& source, const rapp::Vst3ModuleIndex& index)
{
    return rapp::checkVornKsnWrite (source, index, scenePlan (source, index), {});
}

rapp::Vst3ModuleIndex catalogIndex()
{
    rapp::Vst3ModuleIndex index;
    juce::String error;
    EXPECT_TRUE (index.loadFactoryCatalogText (cid + "\tCatalog Comp\tAcme\t2.1\t/opt/fake/Comp.vst3\n", error)) << error;
    return index;
}

PluginRef comp (const juce::String& name = "Comp")
{
    auto p = vorntest::vst3Slot (cid, name, "Acme");
    p.state = vorntest::vst3State (PluginStateEncoding::vst3Container, "comp", "ctl");
    return proven (p);
}

struct Written
{
    rapp::WriteResult result;
    juce::String text;
    RackReadResult reread;
};

Written write (const RackReadResult& source, const vorntest::TempFolder& tmp, const juce::String& name = "out.ksn")
{
    Written w;
    const auto out = tmp.file (name);
    w.result = writeScene (source, catalogIndex(), out);
    if (w.result.ok)
    {
        w.text = out.loadFileAsString();
        w.reread = readVornKsn (out);
    }
    return w;
}

const RackStrip* findStrip (const RackSession& s, int index)
{
    for (const auto& st : s.strips)
        if (st.index == index)
            return &st;
    return nullptr;
}
} // namespace

TEST (VornKsnWriter, ChannelModeFollowsTheStripsItMustHold)
{
    vorntest::TempFolder tmp;
    juce::Array<RackStrip> twenty;
    for (int i = 0; i < 20; ++i)
        twenty.add (proven (strip (i, "S" + juce::String (i))));
    const auto w = write (completeRead ("vorn.ksn", twenty), tmp, "twenty.ksn");
    ASSERT_TRUE (w.result.ok) << w.result.error;
    EXPECT_TRUE (w.text.contains ("channelMode=\"1\""));
    EXPECT_EQ (w.reread.session.strips.size(), 32);
    ASSERT_NE (findStrip (w.reread.session, 20), nullptr);
    EXPECT_EQ (findStrip (w.reread.session, 20)->name, "Ch 21");

    // Strips placed by index beyond the first sixteen channels are carried, not lost.
    juce::Array<RackStrip> sparse;
    sparse.add (proven (strip (0, "Kick")), proven (strip (40, "Far")));
    const auto s = write (completeRead ("vorn.ksn", sparse), tmp, "sparse.ksn");
    ASSERT_TRUE (s.result.ok) << s.result.error;
    EXPECT_TRUE (s.text.contains ("channelMode=\"2\""));
    ASSERT_NE (findStrip (s.reread.session, 40), nullptr);
    EXPECT_EQ (findStrip (s.reread.session, 40)->name, "Far");
    EXPECT_EQ (findStrip (s.reread.session, 1)->name, "Ch 2");
}

TEST (VornKsnWriter, SlotsRoutesAndSidechainsAsTheSceneStoresThem)
{
    vorntest::TempFolder tmp;
    auto mono = proven (strip (0, "Mono"));
    mono.inputChannels = 1;
    mono.routeInL = 5;
    auto legacy = comp();
    legacy.sidechainSource = 3;
    auto disabled = comp ("Comp (old");
    disabled.sidechainSource = 3;
    disabled.sidechainEnabled = false;
    auto reversed = comp (")Comp(");
    reversed.bypassed = true;
    mono.plugins.add (legacy, disabled, reversed);
    auto key = proven (strip (3, "Key"));
    key.routeInL = 2; // a sidechain source must be fed from a physical input
    const auto source = completeRead ("vorn.ksn", { mono, key });
    const auto w = write (source, tmp);
    const auto plan = scenePlan (source, catalogIndex());
    juce::String issues;
    for (const auto& i : plan.issues)
        issues << rapp::formatIssueLine (i) << "\n";
    ASSERT_TRUE (w.result.ok) << w.result.error << "\n" << issues;

    EXPECT_TRUE (w.text.contains ("<Route strip=\"0\" inL=\"5\" inR=\"5\" outL=\"-1\" outR=\"-1\"/>"));
    auto root = juce::parseXML (w.text);
    ASSERT_NE (root, nullptr);
    auto* slots = root->getChildByName ("Strips")->getChildElement (0);
    auto* s0 = slots->getChildElement (0);
    auto* s1 = slots->getChildElement (1);
    auto* s2 = slots->getChildElement (2);
    EXPECT_EQ (s0->getStringAttribute ("sidechainSrc"), "4");
    EXPECT_FALSE (s0->hasAttribute ("sidechainSchema"));
    EXPECT_EQ (s1->getStringAttribute ("sidechainSrc"), "0");
    EXPECT_EQ (s1->getStringAttribute ("sidechainSchema"), "2");
    EXPECT_EQ (s1->getStringAttribute ("sidechainKind"), "legacy");
    EXPECT_EQ (s1->getStringAttribute ("sidechainIndex"), "3");
    EXPECT_EQ (s1->getStringAttribute ("sidechainEnabled"), "0");
    EXPECT_EQ (s2->getStringAttribute ("state"), "1");
    // Names the host could not show are replaced by the installed plug-in's own name.
    EXPECT_EQ (s0->getChildByName ("PLUGIN")->getStringAttribute ("name"), "Comp");
    EXPECT_EQ (s1->getChildByName ("PLUGIN")->getStringAttribute ("name"), "Catalog Comp");
    EXPECT_EQ (s2->getChildByName ("PLUGIN")->getStringAttribute ("name"), "Catalog Comp");
    EXPECT_EQ (s0->getChildByName ("PLUGIN")->getStringAttribute ("file"), "/opt/fake/Comp.vst3");
    EXPECT_EQ (s0->getChildByName ("PLUGIN")->getStringAttribute ("uniqueId"),
               juce::String::toHexString (rapp::deriveUniqueId (cid)));

    const auto& back = w.reread.session.strips.getReference (0).plugins;
    ASSERT_EQ (back.size(), 8); // every slot of the strip is written, occupied or not
    EXPECT_FALSE (back[3].occupied);
    EXPECT_EQ (back[1].sidechainSource, 3);
    EXPECT_FALSE (back[1].sidechainEnabled);
    EXPECT_EQ (back[0].state.component, legacy.state.component);
    EXPECT_EQ (back[0].state.controller, legacy.state.controller);
}

TEST (VornKsnWriter, LargeStatesAreWrittenInJuceOwnTextFormat)
{
    vorntest::TempFolder tmp;
    juce::Random random (7);
    auto bytes = [&random] (int size) {
        juce::MemoryBlock block ((size_t) size);
        for (int i = 0; i < size; ++i)
            static_cast<juce::uint8*> (block.getData())[i] = (juce::uint8) random.nextInt (256);
        return block;
    };
    auto s = proven (strip (0, "Big"));
    for (int size : { 3, 40, 47, 48, 1000, 70000 })
    {
        auto p = comp();
        p.state.component = bytes (size);
        p.state.controller = bytes (size / 3);
        juce::Array<float> values;
        for (int i = 0; i < size / 8; ++i)
            values.add (random.nextFloat());
        p.state.parameters = parameterState::encode (values, 0);
        p.state.parameterMirrorComplete = true; // one more attribute after the parameter text
        s.plugins.add (p);
    }
    const auto w = write (completeRead ("vorn.ksn", { s }), tmp);
    ASSERT_TRUE (w.result.ok) << w.result.error;

    // JUCE writing back the tree it reads from the file gives the file's own bytes: stand-ins for
    // long texts never change where JUCE breaks lines.
    auto root = juce::parseXML (w.text);
    ASSERT_NE (root, nullptr);
    juce::MemoryOutputStream again;
    root->writeTo (again, juce::XmlElement::TextFormat());
    EXPECT_TRUE (again.toString() == w.text);
    EXPECT_FALSE (w.text.contains ("@"));

    const auto& back = w.reread.session.strips.getReference (0).plugins;
    for (int k = 0; k < s.plugins.size(); ++k)
    {
        EXPECT_EQ (back[k].state.component, s.plugins[k].state.component) << k;
        EXPECT_EQ (back[k].state.controller, s.plugins[k].state.controller) << k;
        EXPECT_EQ (back[k].state.parameters, s.plugins[k].state.parameters) << k;
    }
}

TEST (VornKsnWriter, RefusesWithoutTouchingAnything)
{
    vorntest::TempFolder tmp;
    const auto existing = tmp.file ("taken.ksn");
    ASSERT_TRUE (existing.replaceWithText ("keep"));
    auto s = proven (strip (0, "A"));
    s.plugins.add (comp());
    const auto source = completeRead ("vorn.ksn", { s });

    auto r = writeScene (source, catalogIndex(), existing);
    EXPECT_FALSE (r.ok);
    EXPECT_EQ (r.error, "refusing to replace existing output: " + existing.getFullPathName());
    EXPECT_EQ (existing.loadFileAsString(), "keep");

    // A blocked preflight creates no folder; nor does a pending state found while writing.
    const auto nested = tmp.file ("new/deeper/out.ksn");
    r = writeScene (source, rapp::Vst3ModuleIndex(), nested);
    EXPECT_EQ (r.error, "RAPP preflight blocked Vorn output");
    EXPECT_FALSE (tmp.file ("new").exists());

    auto partial = source;
    partial.status = readPartial;
    r = writeScene (partial, catalogIndex(), nested);
    EXPECT_EQ (r.error, "RAPP preflight blocked Vorn output");

    juce::Array<RackStrip> many;
    for (int i = 0; i < 65; ++i)
        many.add (proven (strip (i, "S")));
    r = writeScene (completeRead ("vorn.ksn", many), catalogIndex(), nested);
    EXPECT_FALSE (r.ok);
    EXPECT_FALSE (tmp.file ("new").exists());
    EXPECT_EQ (tmp.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1);
}

// The plan runs the write's own proof: whatever the write refuses but an output that stands in
// its way, the check refuses with the same words (a read-back that fails too), and a session the
// check passes is written.
TEST (VornKsnWriter, CheckGivesTheWritesOwnRefusal)
{
    vorntest::TempFolder tmp;
    auto s = proven (strip (0, "A"));
    s.plugins.add (comp());
    const auto good = completeRead ("vorn.ksn", { s });
    auto partial = good;
    partial.status = readPartial;
    juce::Array<RackStrip> many;
    for (int i = 0; i < 65; ++i)
        many.add (proven (strip (i, "S")));
    auto emptyMirror = good;
    emptyMirror.session.strips.getReference (0).plugins.getReference (0).state.parameterMirrorComplete = true;

    // What only the read-back finds: an AudioUnit whose state names another plug-in than its
    // descriptor, and a strip without inputs, which a scene stores as mono.
    auto otherAu = good;
    auto au = proven (vorntest::auSlot ("Satt", "aufx", "Satt", "Acme"));
    au.state.encoding = PluginStateEncoding::audioUnitPlist;
    au.state.raw = vorntest::auClassInfo ("aufx", "Othr", "Acme");
    otherAu.session.strips.getReference (0).plugins.add (au);
    auto noInputs = good;
    noInputs.session.strips.getReference (0).inputChannels = 0;

    struct Case { const char* what; RackReadResult source; bool catalog; juce::String readBackRefusal = {}; };
    const Case cases[] = {
        { "unknown plug-in", good, false },
        { "partial read", partial, true },
        { "too many strips", completeRead ("vorn.ksn", many), true },
        { "empty complete mirror", emptyMirror, true },
        { "an AudioUnit state of another plug-in", otherAu, true,
          "written scene failed converter reread validation: AudioUnit descriptor/state identity mismatch at strip 0, slot 1" },
        { "a strip without inputs", noInputs, true,
          "written Vorn scene failed exact semantic validation: 1 mismatch(es)\nstrip 0.inputChannels: 0 != 1" },
    };
    for (const auto& c : cases)
    {
        const auto index = c.catalog ? catalogIndex() : rapp::Vst3ModuleIndex();
        const auto checked = checkScene (c.source, index);
        const auto written = writeScene (c.source, index, tmp.file ("out.ksn"));
        EXPECT_FALSE (written.ok) << c.what;
        EXPECT_FALSE (checked.ok) << c.what;
        EXPECT_EQ (checked.error, written.error) << c.what;
        if (c.readBackRefusal.isNotEmpty())
            EXPECT_EQ (written.error, c.readBackRefusal) << c.what;
        EXPECT_FALSE (tmp.file ("out.ksn").exists()) << c.what;
    }
    const auto checked = checkScene (good, catalogIndex());
    EXPECT_TRUE (checked.ok) << checked.error;
    EXPECT_EQ (tmp.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
    // The proof hands over what the scene reader read back and the session it was proven against.
    ASSERT_NE (checked.compared, nullptr);
    EXPECT_EQ (checked.compared->readBack.session.sourceFormat, "vorn.ksn");
    EXPECT_EQ (checked.compared->readBack.session.countPlugins(), 1);
    EXPECT_EQ (checked.compared->expected.strips.size(), 16);
    const auto written = writeScene (good, catalogIndex(), tmp.file ("out.ksn"));
    EXPECT_TRUE (written.ok);
    ASSERT_NE (written.compared, nullptr);
    EXPECT_EQ (written.compared->readBack.session.strips.size(), checked.compared->readBack.session.strips.size());
}
