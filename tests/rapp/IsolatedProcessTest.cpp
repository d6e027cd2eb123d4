#include "TestSupport.h"

#include "rapp/IsolatedProcess.h"

#include <gtest/gtest.h>

#include <chrono>

using vornconv::rapp::ProcessOutcome;
using vornconv::rapp::runIsolatedProcess;

namespace
{

std::string script (const vorntest::TempFolder& folder, const juce::String& name, const juce::String& body)
{
    auto file = folder.file (name);
    file.replaceWithText ("#!/bin/sh\n" + body + "\n", false, false, "\n");
    file.setExecutePermission (true);
    return file.getFullPathName().toStdString();
}

// True while a process with this pid runs (a zombie counts as gone).
bool isRunning (int pid)
{
    juce::String stat;
    if (! juce::File ("/proc/" + juce::String (pid) + "/stat").existsAsFile())
        return false;
    stat = juce::File ("/proc/" + juce::String (pid) + "/stat").loadFileAsString();
    const auto afterName = stat.fromLastOccurrenceOf (")", false, false).trimStart();
    return afterName.isNotEmpty() && afterName[0] != 'Z' && afterName[0] != 'X';
}

double secondsSince (std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST (IsolatedProcess, OutcomesOfWellAndBadlyBehavedChildren)
{
    vorntest::TempFolder folder;
    const auto notExecutable = folder.file ("plain.sh");
    notExecutable.replaceWithText ("#!/bin/sh\necho hi\n", false, false, "\n");

    struct Case
    {
        const char* what;
        std::string program;
        size_t cap;
        ProcessOutcome outcome;
        int exitCode;
        std::string output;
    };
    const std::vector<Case> cases = {
        { "stdout and stderr arrive in one stream", script (folder, "two.sh", "echo out; echo err >&2; exit 3"), 1024,
          ProcessOutcome::exited, 3, "out\nerr\n" },
        { "a clean exit", script (folder, "ok.sh", "printf 'VNPM\\t0\\n'"), 1024, ProcessOutcome::exited, 0, "VNPM\t0\n" },
        { "a crash is not an exit", script (folder, "crash.sh", "echo before; kill -SEGV $$"), 1024,
          ProcessOutcome::signalled, -1, "before\n" },
        { "output beyond the cap", script (folder, "flood.sh", "yes 0123456789"), 4096, ProcessOutcome::outputTooLarge, -1,
          {} },
        { "a missing program", folder.file ("missing.sh").getFullPathName().toStdString(), 1024,
          ProcessOutcome::startFailed, -1, {} },
        { "a program without execute permission", notExecutable.getFullPathName().toStdString(), 1024,
          ProcessOutcome::startFailed, -1, {} },
    };
    for (const auto& c : cases)
    {
        const auto run = runIsolatedProcess ({ c.program }, 10000, c.cap);
        EXPECT_EQ (run.outcome, c.outcome) << c.what;
        EXPECT_EQ (run.exitCode, c.exitCode) << c.what;
        if (c.outcome == ProcessOutcome::outputTooLarge)
            EXPECT_EQ (run.output.size(), c.cap) << c.what;
        else
            EXPECT_EQ (run.output, c.output) << c.what;
    }
    EXPECT_EQ (runIsolatedProcess ({ script (folder, "segv.sh", "kill -SEGV $$") }, 10000, 16).signalNumber, SIGSEGV);
}

TEST (IsolatedProcess, ArgumentsReachTheChildUnchanged)
{
    vorntest::TempFolder folder;
    const auto run = runIsolatedProcess ({ script (folder, "args.sh", "for a in \"$@\"; do printf '[%s]' \"$a\"; done"),
                                           "--vnpm", "with space", "", "tab\there" },
                                         10000, 1024);
    EXPECT_EQ (run.outcome, ProcessOutcome::exited);
    EXPECT_EQ (run.output, "[--vnpm][with space][][tab\there]");
}

TEST (IsolatedProcess, TheChildStartsInTheFolderAskedFor)
{
    vorntest::TempFolder folder;
    const auto inside = folder.file ("inside");
    ASSERT_TRUE (inside.createDirectory());
    const auto program = script (folder, "where.sh", "pwd; echo x > relative.txt");

    const auto run = runIsolatedProcess ({ program }, 10000, 1024, inside.getFullPathName().toStdString());
    EXPECT_EQ (run.outcome, ProcessOutcome::exited);
    EXPECT_EQ (run.output, inside.getFullPathName().toStdString() + "\n");
    EXPECT_TRUE (inside.getChildFile ("relative.txt").existsAsFile());
    EXPECT_FALSE (juce::File::getCurrentWorkingDirectory().getChildFile ("relative.txt").exists());

    // A folder that cannot be entered: the program never runs.
    const auto missing = runIsolatedProcess ({ program }, 10000, 1024, folder.file ("missing").getFullPathName().toStdString());
    EXPECT_EQ (missing.outcome, ProcessOutcome::startFailed);
    EXPECT_EQ (missing.output, "");
}

TEST (IsolatedProcess, OutputLargerThanThePipeIsReadWhileTheChildRuns)
{
    vorntest::TempFolder folder;
    // About 4 MB: a runner that waits for the exit before reading would hang until the deadline.
    const auto run = runIsolatedProcess ({ script (folder, "big.sh", "seq 1 500000") }, 20000, size_t (16) << 20);
    EXPECT_EQ (run.outcome, ProcessOutcome::exited);
    EXPECT_EQ (run.exitCode, 0);
    EXPECT_EQ (run.output.size(), 3388895u); // the digits and newlines of 1 .. 500000
}

TEST (IsolatedProcess, TimeOutKillsTheWholeGroup)
{
    vorntest::TempFolder folder;
    const auto pidFile = folder.file ("helper.pid");
    const auto program = script (folder, "hang.sh",
                                 "sleep 60 & echo $! > '" + pidFile.getFullPathName() + "'\necho started\nwait");
    const auto start = std::chrono::steady_clock::now();
    const auto run = runIsolatedProcess ({ program }, 400, 1024);
    EXPECT_EQ (run.outcome, ProcessOutcome::timedOut);
    EXPECT_LT (secondsSince (start), 5.0);
    EXPECT_EQ (run.output, "started\n");
    const int helper = pidFile.loadFileAsString().trim().getIntValue();
    ASSERT_GT (helper, 0);
    for (int i = 0; i < 100 && isRunning (helper); ++i)
        juce::Thread::sleep (20);
    EXPECT_FALSE (isRunning (helper));
}

TEST (IsolatedProcess, AChildThatEndsIsNotHeldUpByWhatItLeftRunning)
{
    vorntest::TempFolder folder;
    const auto pidFile = folder.file ("helper.pid");
    // The helper keeps the output pipe open; the child's own end must still end the run at once.
    const auto program = script (folder, "leave.sh", "sleep 60 & echo $! > '" + pidFile.getFullPathName() + "'\necho done");
    const auto start = std::chrono::steady_clock::now();
    const auto run = runIsolatedProcess ({ program }, 20000, 1024);
    EXPECT_LT (secondsSince (start), 5.0);
    EXPECT_EQ (run.outcome, ProcessOutcome::exited);
    EXPECT_EQ (run.exitCode, 0);
    EXPECT_EQ (run.output, "done\n");
    const int helper = pidFile.loadFileAsString().trim().getIntValue();
    ASSERT_GT (helper, 0);
    for (int i = 0; i < 100 && isRunning (helper); ++i)
        juce::Thread::sleep (20);
    EXPECT_FALSE (isRunning (helper));
}
