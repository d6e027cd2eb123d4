#include "app/HostRegistry.h"

#include "RackBuilders.h"
#include "TestSupport.h"

#include "rapp/Vst3ModuleIndex.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace vornconv;

// A host is one record: what the program finds by its target, its extension and its target word
// leads back to that record, its names and words are its own, and the parts of it that the layers
// below are given (its preflight rules, its writer's description of it) are of the same host.
TEST (HostRegistry, EveryRecordIsFoundByItsTargetExtensionAndWordAndItsPartsAgree)
{
    std::set<std::string> ids, extensions, hostNames, targetNames, words;
    std::set<int> targets;
    for (const auto* host : app::hosts())
    {
        SCOPED_TRACE (host->targetWord);
        const juce::String extension = host->extension;
        EXPECT_EQ (app::hostOf (host->target), host);
        EXPECT_EQ (app::hostForFile (juce::File ("/x/session" + extension.toUpperCase())), host);
        EXPECT_EQ (app::detectFormat (juce::File ("/x/session" + extension)), juce::String (host->formatId));
        EXPECT_EQ (app::hostForTargetWord (host->targetWord), host);

        EXPECT_TRUE (extension.startsWithChar ('.') && extension == extension.toLowerCase());
        EXPECT_TRUE (juce::String (host->targetName).endsWith ("(" + extension + ")"));
        EXPECT_TRUE (juce::String (host->targetName).startsWith (host->hostName()));
        EXPECT_TRUE (ids.insert (host->formatId).second);
        EXPECT_TRUE (extensions.insert (host->extension).second);
        EXPECT_TRUE (hostNames.insert (host->hostName()).second);
        EXPECT_TRUE (targetNames.insert (host->targetName).second);
        EXPECT_TRUE (words.insert (host->targetWord).second);
        EXPECT_TRUE (targets.insert ((int) host->target).second);

        // The preflight plans for the record's target, and its writer takes only plans for it.
        EXPECT_EQ (host->rules.target, host->target);
        EXPECT_EQ (host->output->target, host->target);
        EXPECT_NE (host->rules.slotRules, nullptr);
        EXPECT_NE (host->check, nullptr);
        EXPECT_NE (host->write, nullptr);
        EXPECT_EQ (host->stateProbe.asked == nullptr, host->stateProbe.make == nullptr);
    }
    EXPECT_EQ (app::hostForFile (juce::File ("/x/session.emo")), nullptr);
    EXPECT_EQ (app::hostForTargetWord ("superrack-soundgrid"), nullptr);
    EXPECT_EQ (app::detectFormat (juce::File ("/x/session.emo")), juce::String());
    // The refusals that name the one host with a feature find it.
    EXPECT_NE (app::hostWhere ([] (const app::Host& h) { return h.stateProbe.make != nullptr; }), nullptr);
    EXPECT_NE (app::hostWhere ([] (const app::Host& h) { return h.preparesParameterMirrors; }), nullptr);
    EXPECT_NE (app::hostWhere ([] (const app::Host& h) { return h.dumpsValueTree; }), nullptr);
}

// A host's readers, of a file and of bytes, stamp the format id its record names, also on what
// they refuse.
TEST (HostRegistry, EachHostsReadersStampItsFormatId)
{
    for (const auto* host : app::hosts())
    {
        SCOPED_TRACE (host->targetWord);
        const auto& readers = host->output->readers;
        ASSERT_NE (readers.file, nullptr);
        vorntest::TempFolder folder;
        const auto file = folder.file (juce::String ("not-a-session") + host->extension);
        ASSERT_TRUE (file.replaceWithText ("not a session"));
        const auto read = readers.file (file);
        EXPECT_FALSE (read.isComplete());
        EXPECT_EQ (read.session.sourceFormat, juce::String (host->formatId));
        if (readers.bytes != nullptr)
        {
            const auto fromBytes = readers.bytes (file, "not a session");
            EXPECT_FALSE (fromBytes.isComplete());
            EXPECT_EQ (fromBytes.session.sourceFormat, juce::String (host->formatId));
        }
    }
}

// The writers take the profile, the plug-in list and the template from the options: a record must
// name, as a blocker with its key and what supplies it, the options its writer cannot do without
// before anything reaches the writer, and the writer refuses a request without them all the same.
TEST (HostRegistry, WritersNeverMeetAMissingProfileCatalogOrTemplate)
{
    const rapp::DeploymentProfile profile { 8, 8, 0, 0 };
    const auto source = vorntest::completeRead ("vorn.ksn", { vorntest::proven (vorntest::strip (0, "Kick")) });
    const rapp::Vst3ModuleIndex index;
    for (const auto* host : app::hosts())
    {
        SCOPED_TRACE (host->targetWord);
        const rapp::WriteOptions none;
        const auto missing = host->missingFrom (none);
        // A host shaped by the profile needs it, and so does the state probe.
        const bool needsProfile = ! host->rules.capacity.fixed || host->stateProbe.make != nullptr;
        const bool needsTemplate = host->templateUse == app::TemplateUse::required;
        EXPECT_EQ (missing.has_value(), needsProfile || needsTemplate || host->loadSideInput != nullptr);
        if (needsProfile)
        {
            ASSERT_TRUE (missing.has_value());
            EXPECT_EQ (missing->code, "target.profile");
            EXPECT_TRUE (missing->message.contains ("--profile"));
        }
        if (needsTemplate)
        {
            ASSERT_TRUE (missing.has_value());
            EXPECT_EQ (missing->code, "target.template");
            EXPECT_TRUE (missing->message.contains ("--template"));
        }
        if (missing.has_value())
            EXPECT_EQ (missing->severity, rapp::severityBlocker);
        if (host->loadSideInput != nullptr)
        {
            rapp::WriteOptions withProfile;
            withProfile.profile = &profile;
            const auto withoutList = host->missingFrom (withProfile);
            ASSERT_TRUE (withoutList.has_value());
            EXPECT_EQ (withoutList->code, "target.catalog");
        }

        if (missing.has_value())
        {
            const auto checked = host->check (source, index, rapp::inspect (source, host->rules, index, nullptr), none);
            EXPECT_FALSE (checked.ok);
            EXPECT_TRUE (checked.error.isNotEmpty());
        }
    }
}

// The texts that list every host, in the registry's order, word for word: the refusals of a target
// word and of an input that no host has, and what the dump reads. (The tests through the program
// check that these are what it prints; the usage's lists are in usage.golden.)
TEST (HostRegistry, TheTextsThatListTheHostsNameEveryHost)
{
    EXPECT_EQ (app::unknownTargetRefusal(), "target must be vorn, superrack-performer, liveprofessor, or reaper");
    EXPECT_EQ (app::unknownInputRefusal(), "RAPP input must be .ksn, .sprk, .rack2, or .rpp");
    EXPECT_EQ (app::inputKindsRead(), "vornconv reads .ksn, .sprk, .rack2 and .rpp");
    const auto read = app::readHostInput (juce::File ("/x/notes.txt"));
    EXPECT_FALSE (read.ok());
    EXPECT_EQ (read.message(), app::unknownInputRefusal() + ": /x/notes.txt");
}
