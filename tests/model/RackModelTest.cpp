#include "model/RackModel.h"

#include <gtest/gtest.h>

using namespace vornconv;

// What the writers take: a read that a reader made and graded complete. A result no reader filled
// is a failed read, and neither a failed nor a partial read is complete.
TEST (RackModel, OnlyAReadGradedCompleteIsComplete)
{
    const RackReadResult unread;
    EXPECT_FALSE (unread.isComplete());
    EXPECT_EQ (readStatusName (unread.status), "failed");

    const struct { bool ok; ReadStatus status; bool complete; } cases[] = {
        { true, readComplete, true },
        { true, readPartial, false },
        { true, readFailed, false },
        { false, readComplete, false },
        { false, readFailed, false },
    };
    for (const auto& c : cases)
    {
        RackReadResult read;
        read.ok = c.ok;
        read.status = c.status;
        EXPECT_EQ (read.isComplete(), c.complete) << c.ok << " " << readStatusName (c.status);
    }
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
