#include "TestSupport.h"

#include "model/FileTimes.h"

#include <gtest/gtest.h>

using namespace vornconv;

TEST (FileTimes, FullPrecisionMillisecondsAndStamps)
{
    vorntest::TempFolder folder;
    const auto file = folder.file ("module.so");
    ASSERT_TRUE (file.replaceWithText ("12345"));

    struct Case { juce::int64 seconds; long nanoseconds; juce::int64 nanos; juce::int64 millis; };
    const std::vector<Case> cases = {
        { 1700000000, 123456789, 1700000000123456789, 1700000000123 }, // JUCE would say ...000
        { 1700000000, 999999999, 1700000000999999999, 1700000000999 },
        { 0, 0, 0, 0 },
        { -2, 500000000, -1500000000, -1500 },                         // before 1970: rounded down
        { -1, 999999999, -1, -1 },
    };
    for (const auto& c : cases)
    {
        ASSERT_TRUE (vorntest::setFileTime (file, c.seconds, c.nanoseconds));
        const auto stamp = fileStamp (file);
        EXPECT_TRUE (stamp.exists);
        EXPECT_TRUE (stamp.regularFile);
        EXPECT_EQ (stamp.size, 5);
        EXPECT_EQ (stamp.modifiedNanos, c.nanos) << c.seconds;
        EXPECT_EQ (modificationMillis (file), c.millis) << c.seconds;
    }

    // Far beyond what nanoseconds in 64 bits hold: held at the limit, not wrapped around.
    ASSERT_TRUE (vorntest::setFileTime (file, (juce::int64) 1 << 40, 0));
    EXPECT_GT (fileStamp (file).modifiedNanos, (juce::int64) 9000000000 * 1000000000);

    // A folder, and a path that is not there.
    EXPECT_TRUE (fileStamp (folder.folder).exists);
    EXPECT_FALSE (fileStamp (folder.folder).regularFile);
    const auto missing = fileStamp (folder.file ("missing"));
    EXPECT_FALSE (missing.exists);
    EXPECT_EQ (missing.size, 0);
    EXPECT_EQ (missing.modifiedNanos, 0);
    EXPECT_EQ (modificationMillis (folder.file ("missing")), 0);
    EXPECT_FALSE (fileStamp (juce::File()).exists);
}
