// Stopping the tool while a plug-in hangs in its child: the child and its process group must go
// with the tool, whether the tool is interrupted or killed outright.

#include "CatalogTestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/prctl.h>

using namespace catalogtest;

namespace
{

// The parent process id from /proc/<pid>/stat, or 0.
pid_t parentOf (pid_t pid)
{
    const std::string stat = readFile ("/proc/" + std::to_string (pid) + "/stat");
    const auto close = stat.rfind (')');   // the command name may hold anything
    if (close == std::string::npos)
        return 0;
    char state = 0;
    int parent = 0;
    return std::sscanf (stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 ? parent : 0;
}

// A child of parent that runs the child mode (after its exec), or 0.
pid_t childModeProcessOf (pid_t parent)
{
    std::error_code ec;
    for (fs::directory_iterator it ("/proc", ec), end; ! ec && it != end; it.increment (ec))
    {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of ("0123456789") != std::string::npos)
            continue;
        const pid_t pid = static_cast<pid_t> (std::stol (name));
        if (parentOf (pid) != parent)
            continue;
        const std::string commandLine = readFile (it->path() / "cmdline");
        if (commandLine.find (std::string ("\0--one\0", 7)) != std::string::npos)
            return pid;
    }
    return 0;
}

template <typename Condition>
bool waitFor (Condition&& condition, std::chrono::milliseconds limit = std::chrono::seconds (10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (! condition())
    {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        ::usleep (10000);
    }
    return true;
}

// Starts the tool on args with the three signals at their default action (whatever the test
// runner set) but ignored, TMPDIR pointed at tmp, and its standard output and error in files of
// capture.
pid_t startTool (const std::vector<std::string>& args, const fs::path& capture, const fs::path& tmp, int ignored = 0)
{
    const std::string outFile = (capture / "out").string();
    const std::string errFile = (capture / "err").string();
    std::vector<std::string> words { VORNVST3CATALOG_BIN };
    words.insert (words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back (w.data());
    argv.push_back (nullptr);

    const pid_t pid = ::fork();
    if (pid == 0)
    {
        for (int s : { SIGINT, SIGTERM, SIGHUP })
            ::signal (s, s == ignored ? SIG_IGN : SIG_DFL);
        sigset_t none;
        ::sigemptyset (&none);
        ::sigprocmask (SIG_SETMASK, &none, nullptr);
        const int o = ::open (outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open (errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (o < 0 || e < 0 || ::dup2 (o, 1) < 0 || ::dup2 (e, 2) < 0)
            ::_exit (126);
        ::setenv ("TMPDIR", tmp.c_str(), 1);
        ::execv (argv[0], argv.data());
        ::_exit (127);
    }
    return pid;
}

} // namespace

TEST (CatalogInterrupts, TheToolTakesItsHangingChildWithItOnEverySignal)
{
    // Orphans of the tool come to this process, so that a child left running is seen (and can
    // be cleaned up) instead of escaping to the system.
    ASSERT_EQ (::prctl (PR_SET_CHILD_SUBREAPER, 1), 0);

    const int signals[] = { SIGINT, SIGTERM, SIGHUP, SIGKILL };
    for (const int signalNumber : signals)
    {
        SCOPED_TRACE (::strsignal (signalNumber));
        TempDir dir;
        TempDir capture;
        const fs::path tmp = dir.path / "tmp";
        fs::create_directory (tmp);
        // The plug-in blocks the child's alarm and sleeps; a good bundle waits behind it.
        const std::string hang = makeBundle (dir.path, "Hang.vst3", "blockalarm");
        const std::string good = makeBundle (dir.path, "Good.vst3", "ok");

        const pid_t tool = startTool ({ hang, good }, capture.path, tmp);
        ASSERT_GT (tool, 0);
        pid_t child = 0;
        ASSERT_TRUE (waitFor ([&] { return (child = childModeProcessOf (tool)) != 0; }));

        ASSERT_EQ (::kill (tool, signalNumber), 0);
        int status = 0;
        const bool toolEnded = waitFor ([&] { return ::waitpid (tool, &status, WNOHANG) == tool; });

        // No process of the child's group may remain; any that was orphaned is reaped here.
        const bool groupGone = waitFor ([&]
        {
            while (::waitpid (-1, nullptr, WNOHANG) > 0) {}
            return ::kill (-child, 0) != 0 && errno == ESRCH;
        }, std::chrono::seconds (5));
        if (! toolEnded || ! groupGone)
        {
            ::kill (-child, SIGKILL);
            ::kill (tool, SIGKILL);
            while (::waitpid (-1, nullptr, 0) > 0) {}
        }
        ASSERT_TRUE (toolEnded);
        EXPECT_TRUE (groupGone);
        errno = 0;
        EXPECT_EQ (::waitpid (-1, nullptr, WNOHANG), -1);   // nothing of theirs left at all
        EXPECT_EQ (errno, ECHILD);

        const std::string out = readFile (capture.path / "out");
        const std::string err = readFile (capture.path / "err");
        EXPECT_EQ (out, "");   // the run stopped: the good bundle was not read
        if (signalNumber == SIGKILL)
        {
            EXPECT_TRUE (WIFSIGNALED (status) && WTERMSIG (status) == SIGKILL);
        }
        else
        {
            EXPECT_TRUE (WIFEXITED (status) && WEXITSTATUS (status) == 1) << status;
            EXPECT_EQ (err, "ERROR\t\"" + hang + "\"\tinterrupted (signal " + std::to_string (signalNumber) + ")\n");
        }
        EXPECT_TRUE (fs::is_empty (tmp));
    }
}

// nohup, or a background job of a script: a signal ignored when the tool started stays ignored,
// in the tool and in the child reading the current bundle; the others still interrupt it.
TEST (CatalogInterrupts, ASignalIgnoredByTheCallerStaysIgnored)
{
    for (const int ignored : { SIGHUP, SIGINT })
    {
        SCOPED_TRACE (::strsignal (ignored));
        TempDir dir;
        TempDir capture;
        const fs::path tmp = dir.path / "tmp";
        fs::create_directory (tmp);
        const std::string hang = makeBundle (dir.path, "Hang.vst3", "blockalarm");

        const pid_t tool = startTool ({ hang }, capture.path, tmp, ignored);
        ASSERT_GT (tool, 0);
        pid_t child = 0;
        ASSERT_TRUE (waitFor ([&] { return (child = childModeProcessOf (tool)) != 0; }));

        ASSERT_EQ (::kill (tool, ignored), 0);
        ASSERT_EQ (::kill (child, ignored), 0);
        ::usleep (200000);
        int status = 0;
        EXPECT_EQ (::waitpid (tool, &status, WNOHANG), 0) << "the tool ended on an ignored signal";
        EXPECT_EQ (childModeProcessOf (tool), child) << "the child ended on an ignored signal";

        ::kill (tool, SIGTERM);
        const bool ended = waitFor ([&] { return ::waitpid (tool, &status, WNOHANG) == tool; });
        if (! ended)
        {
            ::kill (-child, SIGKILL);
            ::kill (tool, SIGKILL);
            ::waitpid (tool, &status, 0);
        }
        ASSERT_TRUE (ended);
        EXPECT_TRUE (WIFEXITED (status) && WEXITSTATUS (status) == 1) << status;
        EXPECT_EQ (readFile (capture.path / "err"), "ERROR\t\"" + hang + "\"\tinterrupted (signal " + std::to_string (SIGTERM) + ")\n");
    }
}
