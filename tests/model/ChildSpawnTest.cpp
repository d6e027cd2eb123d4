#include "model/ChildSpawn.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace vornconv;

namespace
{

// Descriptors 3 to 64 that the program finds open, one per line ("3\n"), from a shell that tries
// each as its standard output.
const char* const listOpenDescriptors =
    "fd=3; while [ $fd -le 64 ]; do if (: >&$fd) 2>/dev/null; then echo $fd; fi; fd=$((fd+1)); done";

struct Launched
{
    LaunchedChild child;
    int exitCode = -1;
    std::string output;
};

// Launches launch with standard output into a pipe (unless launch names its own), collects what
// the program prints and reaps it.
Launched launchAndWait (ChildLaunch launch, bool ownOutput = false)
{
    Launched result;
    int ends[2];
    if (::pipe2 (ends, O_CLOEXEC) != 0)
        return result;
    if (! ownOutput)
        launch.standardOutput = ends[1];
    result.child = launchChild (launch);
    ::close (ends[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read (ends[0], buffer, sizeof buffer)) > 0;)
        result.output.append (buffer, (size_t) n);
    ::close (ends[0]);
    int status = 0;
    if (result.child.pid > 0 && ::waitpid (result.child.pid, &status, 0) == result.child.pid && WIFEXITED (status))
        result.exitCode = WEXITSTATUS (status);
    return result;
}

} // namespace

// The program gets its three standard descriptors and nothing else: not the descriptors its
// caller left open without close-on-exec (here at 4 and 40, as a shell's `4>log` leaves them),
// nor the one that reports a failed exec.
TEST (ChildSpawn, TheProgramGetsTheStandardDescriptorsOnly)
{
    vorntest::TempFolder dir;
    const int log = ::open (dir.file ("log").getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE (log, 0);
    ASSERT_EQ (::dup2 (log, 4), 4);
    ASSERT_EQ (::dup2 (log, 40), 40);

    ChildLaunch launch;
    launch.arguments = { "/bin/sh", "-c", listOpenDescriptors };
    const auto run = launchAndWait (launch);
    ::close (4);
    ::close (40);
    ::close (log);
    EXPECT_EQ (run.child.startError, 0);
    EXPECT_EQ (run.exitCode, 0);
    EXPECT_EQ (run.output, "");

    // The listing sees a descriptor the program opens itself.
    launch.arguments = { "/bin/sh", "-c", std::string ("exec 7>/dev/null; ") + listOpenDescriptors };
    EXPECT_EQ (launchAndWait (launch).output, "7\n");
}

// Sources that sit at each other's standard numbers still land where they are asked to go: here
// standard output and standard error are given crosswise.
TEST (ChildSpawn, StandardDescriptorsGivenCrosswiseLandWhereAsked)
{
    int out[2], err[2];
    ASSERT_EQ (::pipe2 (out, O_CLOEXEC), 0);
    ASSERT_EQ (::pipe2 (err, O_CLOEXEC), 0);
    const int savedOut = ::dup (1), savedErr = ::dup (2);
    ASSERT_GE (savedOut, 0);
    ASSERT_GE (savedErr, 0);
    // The pipe for the program's output at 2, the one for its errors at 1.
    ::dup2 (out[1], 2);
    ::dup2 (err[1], 1);
    ::close (out[1]);
    ::close (err[1]);
    ChildLaunch launch;
    launch.arguments = { "/bin/sh", "-c", "echo out; echo err >&2" };
    launch.standardOutput = 2;
    launch.standardError = 1;
    const auto child = launchChild (launch);
    ::dup2 (savedOut, 1);
    ::dup2 (savedErr, 2);
    ::close (savedOut);
    ::close (savedErr);
    ASSERT_GT (child.pid, 0);
    EXPECT_EQ (child.startError, 0);
    int status = 0;
    ::waitpid (child.pid, &status, 0);
    char buffer[64];
    const auto n = ::read (out[0], buffer, sizeof buffer);
    EXPECT_EQ (std::string (buffer, n > 0 ? (size_t) n : 0), "out\n");
    const auto m = ::read (err[0], buffer, sizeof buffer);
    EXPECT_EQ (std::string (buffer, m > 0 ? (size_t) m : 0), "err\n");
    ::close (out[0]);
    ::close (err[0]);
}

// A program that cannot be executed, or a working folder that cannot be entered, is told apart
// from a program that ran: the reason comes back, and the child is left to be reaped with 127.
TEST (ChildSpawn, AProgramThatCannotStartSaysWhy)
{
    vorntest::TempFolder dir;
    struct Case { ChildLaunch launch; int error; };
    Case cases[2];
    cases[0].launch.arguments = { dir.file ("missing").getFullPathName().toStdString() };
    cases[0].error = ENOENT;
    cases[1].launch.arguments = { "/bin/sh", "-c", "true" };
    cases[1].launch.workingDirectory = dir.file ("gone").getFullPathName().toStdString();
    cases[1].error = ENOENT;
    for (const auto& c : cases)
    {
        const auto run = launchAndWait (c.launch);
        EXPECT_GT (run.child.pid, 0);
        EXPECT_EQ (run.child.startError, c.error);
        EXPECT_EQ (run.exitCode, 127);
    }
}

// Where close_range is missing, every descriptor from the first up is closed one by one, the
// ones /proc/self/fd lists.
TEST (ChildSpawn, DescriptorsAreClosedOneByOneWithoutCloseRange)
{
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        for (int fd : { 5, 9, 63, 200 })
            if (::dup2 (1, fd) != fd)
                ::_exit (2);
        closeDescriptorsOneByOne (5);
        for (int fd = 5; fd < 1024; ++fd)
            if (::fcntl (fd, F_GETFD) >= 0 || errno != EBADF)
                ::_exit (1);
        ::_exit (::fcntl (2, F_GETFD) >= 0 ? 0 : 3);
    }
    ASSERT_GT (pid, 0);
    int status = 0;
    ASSERT_EQ (::waitpid (pid, &status, 0), pid);
    ASSERT_TRUE (WIFEXITED (status));
    EXPECT_EQ (WEXITSTATUS (status), 0);
}
