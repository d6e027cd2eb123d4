#include "model/Expected.h"

#include <gtest/gtest.h>

#include <memory>

using namespace vornconv;

namespace
{

// Counts the copies made of it, so that a step's result can be shown to move.
struct Counted
{
    Counted() = default;
    Counted (const Counted& other) : copies (other.copies + 1) {}
    Counted (Counted&& other) noexcept : copies (other.copies) {}
    Counted& operator= (const Counted&) = default;
    Counted& operator= (Counted&&) = default;
    int copies = 0;
};

Expected<Counted> madeByName()
{
    Counted made;
    return made;
}

Expected<std::unique_ptr<int>> handedOver (bool fail)
{
    if (fail)
        return failure ("refused");
    auto value = std::make_unique<int> (7);
    return value;
}

} // namespace

// A failure is a failure whatever its message holds (none at all, several lines), and a success
// has no message: success is never told from the text.
TEST (Expected, AFailureIsAFailureWhateverItsMessageHolds)
{
    for (const char* message : { "", "refused", "first\nsecond" })
    {
        const Expected<int> value = failure (message);
        EXPECT_FALSE (value.ok()) << message;
        EXPECT_FALSE ((bool) value);
        EXPECT_EQ (value.message(), message);

        const Expected<void> done = failure (message);
        EXPECT_FALSE (done.ok()) << message;
        EXPECT_EQ (done.message(), message);
    }
    const Expected<int> value = 0;
    EXPECT_TRUE (value.ok());
    EXPECT_EQ (*value, 0);
    EXPECT_TRUE (value.message().isEmpty());
    EXPECT_TRUE (success().ok());
    EXPECT_TRUE (success().message().isEmpty());
}

// What a step gives is handed over, not copied: a session returned by name is moved into the
// result and out of it (the sessions the steps return hold every plug-in state).
TEST (Expected, WhatAStepGivesIsMovedNotCopied)
{
    auto made = madeByName();
    ASSERT_TRUE (made.ok());
    EXPECT_EQ (made->copies, 0);
    const Counted taken = std::move (*made);
    EXPECT_EQ (taken.copies, 0);

    auto owned = handedOver (false);
    ASSERT_TRUE (owned.ok());
    EXPECT_EQ (**owned, 7);
    const auto refused = handedOver (true);
    EXPECT_FALSE (refused.ok());
    EXPECT_EQ (refused.message(), "refused");
}
