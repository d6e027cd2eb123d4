#include "app/HostFormats.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace vornconv;

// A host is one row: what the program finds by the row must lead back to that row, and the row's
// target must have preflight rules, or every plan for it is blocked as an unknown target.
TEST (HostTable, EveryRowIsFoundByItsExtensionAndWordAndHasPreflightRules)
{
    std::set<std::string> ids, extensions, words, names;
    std::set<int> targets;
    for (const auto& host : app::hostFormats())
    {
        const juce::String extension = host.extension;
        EXPECT_TRUE (extension.startsWithChar ('.') && extension == extension.toLowerCase()) << host.extension;
        EXPECT_EQ (app::hostForFile (juce::File ("/x/session" + extension.toUpperCase())), &host) << host.extension;
        EXPECT_EQ (app::detectFormat (juce::File ("/x/session" + extension)), juce::String (host.formatId));
        EXPECT_EQ (app::hostForTargetWord (host.targetWord), &host) << host.targetWord;

        const auto name = rapp::targetName (host.target);
        EXPECT_NE (name, "unknown") << host.targetWord;
        EXPECT_TRUE (name.endsWith ("(" + extension + ")")) << name;

        EXPECT_TRUE (ids.insert (host.formatId).second) << host.formatId;
        EXPECT_TRUE (extensions.insert (host.extension).second) << host.extension;
        EXPECT_TRUE (words.insert (host.targetWord).second) << host.targetWord;
        EXPECT_TRUE (names.insert (name.toStdString()).second) << name;
        EXPECT_TRUE (targets.insert ((int) host.target).second) << host.targetWord;
    }
    EXPECT_EQ (app::hostForFile (juce::File ("/x/session.emo")), nullptr);
    EXPECT_EQ (app::hostForTargetWord ("superrack-soundgrid"), nullptr);
}

// The writers take the profile and the catalog by reference: a row must refuse, in words, the
// options its writer cannot do without before anything reaches the writer.
TEST (HostTable, WritersNeverMeetAMissingProfileOrCatalog)
{
    const rapp::DeploymentProfile profile { 8, 8, 0, 0 };
    for (const auto& host : app::hostFormats())
    {
        // A host shaped by the profile needs it, and so does the state probe.
        if (! rapp::targetCapacity (host.target).fixed || host.takesStateProbes)
            EXPECT_TRUE (host.optionRefusal ({}).isNotEmpty()) << host.targetWord;
        if (host.needsPluginCatalog)
        {
            app::WriteOptions withProfile;
            withProfile.profile = &profile;
            EXPECT_TRUE (host.optionRefusal (withProfile).isNotEmpty()) << host.targetWord;
        }
    }
}
