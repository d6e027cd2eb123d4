#include "app/HostFormats.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace vornconv;

// A host is one descriptor and one row of the command line's table: what the program finds by the
// row must lead back to that row, and every descriptor has its row.
TEST (HostTable, EveryRowIsFoundByItsExtensionAndWordAndEveryDescriptorHasOne)
{
    std::set<std::string> words;
    std::set<int> targets;
    ASSERT_EQ (app::hostFormats().size(), rapp::hostDescriptors().size());
    for (size_t i = 0; i < app::hostFormats().size(); ++i)
    {
        const auto& host = app::hostFormats()[i];
        const auto& descriptor = host.descriptor();
        EXPECT_EQ (&descriptor, &rapp::hostDescriptors()[i]) << host.targetWord << ": the rows follow the descriptors";
        const juce::String extension = descriptor.extension;
        EXPECT_EQ (app::hostForFile (juce::File ("/x/session" + extension.toUpperCase())), &host) << extension;
        EXPECT_EQ (app::detectFormat (juce::File ("/x/session" + extension)), juce::String (descriptor.formatId));
        EXPECT_EQ (app::hostForTargetWord (host.targetWord), &host) << host.targetWord;
        EXPECT_TRUE (words.insert (host.targetWord).second) << host.targetWord;
        EXPECT_TRUE (targets.insert ((int) host.target).second) << host.targetWord;
    }
    EXPECT_EQ (app::hostForFile (juce::File ("/x/session.emo")), nullptr);
    EXPECT_EQ (app::hostForTargetWord ("superrack-soundgrid"), nullptr);
    // The refusals that name the one host with a feature find it.
    ASSERT_NE (app::hostWithStateProbe(), nullptr);
    ASSERT_NE (app::hostWith (&app::HostFormat::preparesParameterMirrors), nullptr);
    ASSERT_NE (app::hostWith (&app::HostFormat::dumpsValueTree), nullptr);
}

// The writers take the profile and the catalog by reference, and a SuperRack session is written
// into its template: a row must name, as a blocker with its key and what supplies it, the options
// its writer cannot do without before anything reaches the writer.
TEST (HostTable, WritersNeverMeetAMissingProfileCatalogOrTemplate)
{
    const rapp::DeploymentProfile profile { 8, 8, 0, 0 };
    for (const auto& host : app::hostFormats())
    {
        const auto missing = host.missingOption (host, {});
        // A host shaped by the profile needs it, and so does the state probe.
        if (! host.descriptor().capacity.fixed || host.makeStateProbe != nullptr)
        {
            EXPECT_EQ (missing.code, "target.profile") << host.targetWord;
            EXPECT_TRUE (missing.message.contains ("--profile")) << host.targetWord;
        }
        if (host.templateUse == app::TemplateUse::required)
        {
            EXPECT_EQ (missing.code, "target.template") << host.targetWord;
            EXPECT_TRUE (missing.message.contains ("--template")) << host.targetWord;
        }
        EXPECT_EQ (missing.severity, rapp::severityBlocker);
        if (host.needsPluginCatalog)
        {
            app::WriteOptions withProfile;
            withProfile.profile = &profile;
            EXPECT_EQ (host.missingOption (host, withProfile).code, "target.catalog") << host.targetWord;
        }
    }
}
