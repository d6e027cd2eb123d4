#pragma once

// Points between two steps of a run where a test build lets a test act without racing the run
// (move a folder, make one, interrupt). When the environment variable VORN_TEST_STOP names a
// point as "<point>:<n>", the run stops itself (SIGSTOP) the n-th time it reaches that point and
// goes on once the test continues it (SIGCONT). Only a build configured with VORN_TEST_HOOKS
// reads the variable; in every other build a point does nothing.
namespace vornconv::testHooks
{

// True in a build whose points can stop a run.
constexpr bool available =
#if VORN_TEST_HOOKS
    true;
#else
    false;
#endif

// The point named point.
void stopPoint (const char* point);

} // namespace vornconv::testHooks
