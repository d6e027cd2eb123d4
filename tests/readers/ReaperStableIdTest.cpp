#include "readers/ReaperRppText.h"

#include <gtest/gtest.h>

using namespace vornconv;

TEST (ReaperStableIds, WorkedValuesMakeAndParseBack)
{
    struct Track { int track; const char* id; };
    const Track tracks[] = {
        { 0, "{564F524E-5250-5401-0000-000000005A3C}" },
        { 1, "{564F524E-5250-5401-0000-000100005B3D}" },
        { 63, "{564F524E-5250-5401-0000-003F0000997B}" },
        { 300, "{564F524E-5250-5401-0000-012C00008768}" },
    };
    for (const auto& c : tracks)
        EXPECT_EQ (makeReaperStableTrackId (c.track), c.id);

    struct Fx { int track; int slot; const char* id; };
    const Fx effects[] = {
        { 0, 0, "{564F524E-5250-5001-0000-00000000A5C3}" },
        { 2, 3, "{564F524E-5250-5001-0000-00020003A7F8}" },
        { 63, 7, "{564F524E-5250-5001-0000-003F0007E579}" },
        { 1, 1, "{564F524E-5250-5001-0000-00010001A6D5}" },
    };
    for (const auto& c : effects)
    {
        EXPECT_EQ (makeReaperStableFxId (c.track, c.slot), c.id);
        int track = -1, slot = -1;
        ASSERT_TRUE (parseReaperStableFxId (c.id, track, slot)) << c.id;
        EXPECT_EQ (track, c.track);
        EXPECT_EQ (slot, c.slot);
    }
    // A large track index wraps in 32 bits instead of overflowing.
    int track = -1, slot = -1;
    ASSERT_TRUE (parseReaperStableFxId (makeReaperStableFxId (0x7FFFFFFF, 1023).toStdString(), track, slot));
    EXPECT_EQ (track, 0x7FFFFFFF);
    EXPECT_EQ (slot, 1023);
}

TEST (ReaperStableIds, FxIdParsingAcceptsLooseFormsAndRefusesOthers)
{
    struct Case { const char* text; bool ok; };
    const Case cases[] = {
        { "  564f524e-5250-5001-0000-00020003a7f8 ", true },
        { "564F524E525050010000000200 03A7F8", false },
        { "564F524E52505001000000020003A7F8", true },
        { "{{564F524E5250-5001-0000-00020003A7F8}}", true },
        { "{564F524E-5250-5401-0000-00020003A7F8}", false },   // track tag
        { "{564F524E-5250-5001-0000-00020003A7F9}", false },   // check off by one
        { "{564F524E-5250-5001-0000-00020003A7F}", false },    // 31 digits
        { "{564F524E-5250-5001-0000-0002000GA7F8}", false },   // not hex
        { "{564F524E-5250-5001-8000-00000000A5C3}", false },   // track at 0x80000000
        { "", false },
    };
    for (const auto& c : cases)
    {
        int track = -5, slot = -6;
        EXPECT_EQ (parseReaperStableFxId (c.text, track, slot), c.ok) << c.text;
        if (c.ok)
        {
            EXPECT_EQ (track, 2);
            EXPECT_EQ (slot, 3);
        }
        else
        {
            EXPECT_EQ (track, -5) << c.text;
            EXPECT_EQ (slot, -6) << c.text;
        }
    }
}
