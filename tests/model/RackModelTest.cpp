#include "model/RackModel.h"

#include <gtest/gtest.h>

using namespace vornconv;

TEST (RackModel, DefaultsOfNewValues)
{
    RackReadResult r;
    EXPECT_FALSE (r.ok);
    EXPECT_EQ (r.status, 0);
    EXPECT_EQ (readStatusName (r.status), "failed");
    EXPECT_EQ (r.session.capacityStrips, 0);
    EXPECT_EQ (r.session.capacitySlots, 0);
    EXPECT_EQ (r.session.countPlugins(), 0);

    RackStrip s;
    EXPECT_EQ (s.pan, 0.5f);
    EXPECT_EQ (s.inputChannels, 2);
    EXPECT_EQ (s.outputChannels, 2);
    for (auto route : { s.routeInL, s.routeInR, s.routeOutL, s.routeOutR })
        EXPECT_EQ (route, -1);
    EXPECT_FALSE (s.coverage.name || s.coverage.route || s.coverage.channelLayout);

    PluginRef p;
    EXPECT_EQ (p.sidechainSource, -1);
    EXPECT_EQ (p.sidechainKind, 0);
    EXPECT_TRUE (p.sidechainEnabled);
    EXPECT_EQ (p.state.encoding, PluginStateEncoding::none);
}

TEST (RackModel, TextNames)
{
    EXPECT_EQ (readStatusName (1), "complete");
    EXPECT_EQ (readStatusName (2), "partial (writer blocked)");
    EXPECT_EQ (fidelityName (Fidelity::approx), "APPROX");
    EXPECT_EQ (fidelityName (Fidelity::dropped), "DROPPED");
    const char* encodings[] = { "none", "juce-vst3-xml", "vst3-container", "audio-unit-plist", "host-specific", "opaque" };
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ (pluginStateEncodingName ((PluginStateEncoding) i), encodings[i]);
    const char* kinds[] = { "legacy", "physical", "rackPre", "rackPost" };
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ (sidechainKindName (i), kinds[i]);
    EXPECT_EQ (sidechainKindName (4), "");
}

TEST (RackModel, CountPluginsVisitsEveryPosition)
{
    RackSession session;
    RackStrip a, b, empty;
    PluginRef used;
    used.occupied = true;
    a.plugins.add (PluginRef(), used, PluginRef(), used); // gaps do not count
    b.plugins.add (PluginRef());
    session.strips.add (a, empty, b);
    EXPECT_EQ (session.countPlugins(), 2);
}

TEST (RackModel, CopiesAreDeep)
{
    RackSession original;
    RackStrip strip;
    PluginRef slot;
    slot.occupied = true;
    const char bytes[] = { 1, 2, 3 };
    slot.state.component.append (bytes, 3);
    strip.plugins.add (slot);
    original.strips.add (strip);
    original.notes.add (Fidelity::approx, "strip.colour", u8"색상");

    RackSession copy = original;
    static_cast<char*> (copy.strips.getReference (0).plugins.getReference (0).state.component.getData())[0] = 9;
    copy.notes.add (Fidelity::dropped, "x", "y");
    copy.strips.getReference (0).name = "changed";

    EXPECT_EQ (static_cast<const char*> (original.strips[0].plugins[0].state.component.getData())[0], 1);
    EXPECT_EQ (original.notes.size(), 1);
    EXPECT_EQ (original.notes[0].text, juce::String::fromUTF8 (u8"색상"));
    EXPECT_TRUE (original.strips[0].name.isEmpty());

    RackSession moved = std::move (copy);
    EXPECT_EQ (moved.notes.size(), 2);
    EXPECT_EQ (static_cast<const char*> (moved.strips[0].plugins[0].state.component.getData())[0], 9);
}
