#include "TestSupport.h"

#include "rapp/HostDescriptor.h"
#include "readers/HostReaders.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace vornconv;

// A host is one descriptor: every target has one, its target and its format id lead back to it,
// its facts are its own, and its readers, of a file and of bytes, stamp its format id.
TEST (HostDescriptors, EachIsFoundByItsTargetAndFormatAndItsReadersStampItsFormatId)
{
    std::set<std::string> ids, extensions, hostNames, targetNames;
    for (const auto& host : rapp::hostDescriptors())
    {
        const juce::String extension = host.extension;
        SCOPED_TRACE (host.formatId);
        EXPECT_EQ (rapp::findHostDescriptor (host.target), &host);
        EXPECT_EQ (&rapp::hostDescriptor (host.target), &host);
        EXPECT_EQ (rapp::hostDescriptorForFormat (host.formatId), &host);
        EXPECT_EQ (rapp::targetName (host.target), host.targetName);
        EXPECT_EQ (rapp::targetCapacity (host.target).fixed, host.capacity.fixed);
        EXPECT_TRUE (extension.startsWithChar ('.') && extension == extension.toLowerCase());
        EXPECT_TRUE (juce::String (host.targetName).endsWith ("(" + extension + ")"));
        EXPECT_TRUE (juce::String (host.targetName).startsWith (host.hostName));
        EXPECT_TRUE (ids.insert (host.formatId).second);
        EXPECT_TRUE (extensions.insert (host.extension).second);
        EXPECT_TRUE (hostNames.insert (host.hostName).second);
        EXPECT_TRUE (targetNames.insert (host.targetName).second);

        // What a reader refuses still names the format it was asked to read.
        const auto& readers = readersOf (host);
        ASSERT_NE (readers.file, nullptr);
        vorntest::TempFolder folder;
        const auto file = folder.file ("not-a-session" + extension);
        ASSERT_TRUE (file.replaceWithText ("not a session"));
        const auto read = readers.file (file);
        EXPECT_FALSE (read.isComplete());
        EXPECT_EQ (read.session.sourceFormat, juce::String (host.formatId));
        if (readers.bytes != nullptr)
        {
            const auto fromBytes = readers.bytes (file, "not a session");
            EXPECT_FALSE (fromBytes.isComplete());
            EXPECT_EQ (fromBytes.session.sourceFormat, juce::String (host.formatId));
        }
    }
    for (const auto target : { rapp::targetVornScene, rapp::targetSuperRackPerformer, rapp::targetLiveProfessor, rapp::targetReaper })
        EXPECT_NE (rapp::findHostDescriptor (target), nullptr) << (int) target;
    EXPECT_EQ (rapp::findHostDescriptor ((rapp::Target) 4), nullptr);
    EXPECT_EQ (rapp::hostDescriptorForFormat ("reaper.state-probe"), nullptr);
}
