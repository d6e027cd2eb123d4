#pragma once

// Small helpers shared by the test programs: running the real binary, temporary folders,
// and in-process invocations with their lines captured.

#include "app/CommandLine.h"

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vorntest
{

struct ProcessResult
{
    int exitCode = -1;      // -1 when the child did not exit normally
    std::string out;
    std::string err;

    juce::StringArray outLines() const
    {
        juce::StringArray lines;
        lines.addTokens (juce::String::fromUTF8 (out.c_str()), "\n", "");
        if (! lines.isEmpty() && lines[lines.size() - 1].isEmpty())
            lines.remove (lines.size() - 1);
        return lines;
    }
};

inline std::string vornconvBinary()
{
    const char* bin = std::getenv ("VORNCONV_BIN");
    return bin != nullptr ? bin : "vornconv";
}

// A program started by startProgram and not yet waited for.
struct RunningProgram
{
    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
};

// What a test does in the child between fork and exec (a limit, another standard output).
using ChildSetup = std::function<void()>;

// Starts program with arguments in cwd (empty: inherited), extra environment entries "K=V" added,
// and inChild run just before the exec. The program starts with the default action of SIGPIPE,
// whatever this process does with it.
inline RunningProgram startProgram (const std::string& program, const std::vector<std::string>& args,
                                    const std::string& cwd = {}, const std::vector<std::string>& env = {},
                                    const ChildSetup& inChild = {})
{
    RunningProgram running;
    int outPipe[2], errPipe[2];
    if (pipe2 (outPipe, O_CLOEXEC) != 0 || pipe2 (errPipe, O_CLOEXEC) != 0)
        return running;
    const pid_t pid = fork();
    if (pid == 0)
    {
        dup2 (outPipe[1], 1);
        dup2 (errPipe[1], 2);
        int devnull = open ("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2 (devnull, 0);
        if (! cwd.empty() && chdir (cwd.c_str()) != 0)
            _exit (127);
        for (const auto& e : env)
        {
            const auto eq = e.find ('=');
            setenv (e.substr (0, eq).c_str(), e.substr (eq + 1).c_str(), 1);
        }
        std::vector<char*> argv;
        argv.push_back (const_cast<char*> (program.c_str()));
        for (const auto& a : args)
            argv.push_back (const_cast<char*> (a.c_str()));
        argv.push_back (nullptr);
        signal (SIGPIPE, SIG_DFL);
        if (inChild)
            inChild();
        execv (program.c_str(), argv.data());
        _exit (127);
    }
    close (outPipe[1]);
    close (errPipe[1]);
    running.pid = pid;
    running.outFd = outPipe[0];
    running.errFd = errPipe[0];
    return running;
}

// Collects what a started program prints until it ends (killed when it prints nothing for
// silenceMs), and reaps it.
inline ProcessResult finishProgram (RunningProgram& running, int silenceMs = 120000)
{
    ProcessResult result;
    if (running.pid < 0)
        return result;
    pollfd fds[2] = { { running.outFd, POLLIN, 0 }, { running.errFd, POLLIN, 0 } };
    int open = 2;
    char buffer[65536];
    while (open > 0)
    {
        if (poll (fds, 2, silenceMs) <= 0)
        {
            kill (running.pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i)
        {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const auto n = read (fds[i].fd, buffer, sizeof (buffer));
            if (n <= 0)
            {
                close (fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? result.out : result.err).append (buffer, (size_t) n);
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close (f.fd);
    int status = 0;
    waitpid (running.pid, &status, 0);
    running = {};
    result.exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : -1;
    return result;
}

// Runs program with arguments in cwd (empty: inherited), extra environment entries "K=V" added.
inline ProcessResult runProgram (const std::string& program, const std::vector<std::string>& args,
                                 const std::string& cwd = {}, const std::vector<std::string>& env = {})
{
    auto running = startProgram (program, args, cwd, env);
    return finishProgram (running);
}

// For startProgram: standard output becomes a pipe whose reader is gone before the program
// starts, so that its first write to it fails (`vornconv ... | head -c 10`, once head is done).
inline void stdoutToGoneReader()
{
    int ends[2];
    if (pipe (ends) != 0 || close (ends[0]) != 0 || dup2 (ends[1], 1) < 0)
        _exit (126);
    close (ends[1]);
}

// For startProgram: a limit on the size of any file the program writes (RLIMIT_FSIZE), as
// `ulimit -f` sets it.
inline ChildSetup fileSizeLimit (rlim_t bytes)
{
    return [bytes] {
        const rlimit limit { bytes, bytes };
        if (setrlimit (RLIMIT_FSIZE, &limit) != 0)
            _exit (126);
    };
}

// True while a process with this pid exists and has not ended (a zombie, left for a parent that
// does not reap it, counts as ended).
inline bool processIsAlive (pid_t pid)
{
    if (pid <= 0 || kill (pid, 0) != 0)
        return false;
    const auto stat = juce::File ("/proc/" + juce::String (pid) + "/stat").loadFileAsString();
    const int close = stat.lastIndexOfChar (')');
    return close < 0 || stat.substring (close + 2, close + 3) != "Z";
}

inline ProcessResult runVornconvBinary (const std::vector<std::string>& args, const std::string& cwd = {},
                                        const std::vector<std::string>& env = {})
{
    return runProgram (vornconvBinary(), args, cwd, env);
}

// Where a VST3 host on this machine loads a bundle's module from:
// Contents/<machine>-linux/<bundle name>.so.
inline juce::File moduleBinaryOf (const juce::File& bundle)
{
    struct utsname names {};
    if (uname (&names) != 0)
        return {};
    return bundle.getChildFile ("Contents").getChildFile (juce::String (names.machine) + "-linux")
                 .getChildFile (bundle.getFileNameWithoutExtension() + ".so");
}

// Sets a file's access and modification times to the nanosecond (JUCE sets whole seconds only).
inline bool setFileTime (const juce::File& file, juce::int64 seconds, long nanoseconds)
{
    const timespec times[2] = { { (time_t) seconds, nanoseconds }, { (time_t) seconds, nanoseconds } };
    return utimensat (AT_FDCWD, file.getFullPathName().toRawUTF8(), times, 0) == 0;
}

// An in-process invocation with its printed lines.
struct Invocation
{
    int status = -1;
    juce::StringArray lines;
};

inline Invocation invoke (const juce::StringArray& args)
{
    Invocation inv;
    inv.status = vornconv::app::runVornconv (args, [&inv] (const juce::String& line) { inv.lines.add (line); });
    return inv;
}

// The ERROR lines of what a run printed.
inline juce::StringArray errorLines (const ProcessResult& r)
{
    juce::StringArray errors;
    for (const auto& line : r.outLines())
        if (line.startsWith ("ERROR"))
            errors.add (line);
    return errors;
}

// Every entry below folder (links not followed), as relative paths in order: what a run left there.
inline juce::StringArray entriesOf (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*", juce::File::FollowSymlinks::no))
        names.add (f.getRelativePathFrom (folder));
    names.sort (false);
    return names;
}

// A fresh folder under the system temporary folder, removed with everything in it at the end.
struct TempFolder
{
    TempFolder()
    {
        std::string pattern = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                  .getChildFile ("vorntest-XXXXXX").getFullPathName().toStdString();
        if (mkdtemp (pattern.data()) != nullptr)
            folder = juce::File (pattern);
    }
    ~TempFolder() { folder.deleteRecursively(); }
    TempFolder (const TempFolder&) = delete;
    TempFolder& operator= (const TempFolder&) = delete;

    juce::File file (const juce::String& name) const { return folder.getChildFile (name); }
    std::string path() const { return folder.getFullPathName().toStdString(); }

    juce::File folder;
};

// A silence that ends a run which must not hang, so that a hang fails its case instead of the
// whole test program.
constexpr int hangSilenceMs = 20000;

// A private root for runs of the program: the working folder it runs in and the folders its HOME
// and TMPDIR point at, all removed at the end.
struct ProgramSandbox
{
    // Texts that write() puts down get these line ends ("\n" or "\r\n").
    explicit ProgramSandbox (const char* textLineEnds = "\n") : lineEnds (textLineEnds)
    {
        work.createDirectory();
        home.createDirectory();
        tmp.createDirectory();
    }

    // A text in the working folder, its folder made first.
    juce::File write (const juce::String& name, const juce::String& text) const
    {
        const auto file = work.getChildFile (name);
        file.getParentDirectory().createDirectory();
        file.replaceWithText (text, false, false, lineEnds);
        return file;
    }

    // Bytes as they are in the working folder, its folder made first.
    juce::File writeBytes (const juce::String& name, const std::string& bytes) const
    {
        const auto file = work.getChildFile (name);
        file.getParentDirectory().createDirectory();
        file.replaceWithData (bytes.data(), bytes.size());
        return file;
    }

    juce::String path (const juce::String& name) const { return work.getChildFile (name).getFullPathName(); }

    // Where LiveProfessor keeps its plug-in list, under HOME.
    juce::File liveProfessorList() const
    {
        return home.getChildFile ("Library/Application Support/audiostrom/LiveProfessor 2/Plugins.xml");
    }

    std::vector<std::string> environment() const
    {
        return { "HOME=" + home.getFullPathName().toStdString(), "TMPDIR=" + tmp.getFullPathName().toStdString() };
    }

    RunningProgram start (const std::vector<std::string>& args, const ChildSetup& inChild = {}) const
    {
        return startProgram (vornconvBinary(), args, work.getFullPathName().toStdString(), environment(), inChild);
    }

    // The run is killed when it prints nothing for silenceMs.
    ProcessResult run (const std::vector<std::string>& args, int silenceMs = 120000, const ChildSetup& inChild = {}) const
    {
        auto running = start (args, inChild);
        return finishProgram (running, silenceMs);
    }

    // Runs args stopped at point ("<point>:<n>", a build with test hooks only), calls whileStopped
    // with the run's process id, then continues the run (after a SIGTERM when interrupt) and
    // collects what it printed. A run that ends before the point fails the case.
    ProcessResult runStoppedAt (const std::vector<std::string>& args, const std::string& point,
                                const std::function<void (pid_t)>& whileStopped, bool interrupt = false,
                                const ChildSetup& inChild = {}) const
    {
        auto env = environment();
        env.push_back ("VORN_TEST_STOP=" + point);
        auto running = startProgram (vornconvBinary(), args, work.getFullPathName().toStdString(), env, inChild);
        siginfo_t info {};
        // Left waitable, so that finishProgram reaps it either way.
        if (waitid (P_PID, (id_t) running.pid, &info, WSTOPPED | WEXITED | WNOWAIT) != 0 || info.si_code != CLD_STOPPED)
            ADD_FAILURE() << "the run did not stop at " << point;
        else
        {
            whileStopped (running.pid);
            if (interrupt)
                kill (running.pid, SIGTERM);
            kill (running.pid, SIGCONT);
        }
        return finishProgram (running, hangSilenceMs);
    }

    // Files and folders the runs left directly in TMPDIR, hidden ones too.
    int tmpEntries() const { return tmp.getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"); }

    TempFolder root;
    juce::File work = root.file ("work");
    juce::File home = root.file ("home");
    juce::File tmp = root.file ("tmp");
    const char* lineEnds;
};

// Points the system temporary folder at a private folder for the life of the object, so that a
// test can see every staging folder the code under test leaves behind.
struct PrivateTmp
{
    PrivateTmp()
    {
        const char* old = std::getenv ("TMPDIR");
        hadOld = old != nullptr;
        if (hadOld)
            previous = old;
        setenv ("TMPDIR", tmp.path().c_str(), 1);
    }
    ~PrivateTmp()
    {
        if (hadOld)
            setenv ("TMPDIR", previous.c_str(), 1);
        else
            unsetenv ("TMPDIR");
    }
    PrivateTmp (const PrivateTmp&) = delete;
    PrivateTmp& operator= (const PrivateTmp&) = delete;

    int entries() const { return tmp.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"); }

    TempFolder tmp;
    bool hadOld = false;
    std::string previous;
};

// A small file system of its own (tmpfs, "size=..." in options) mounted at folder for the life of
// the object, read-only when asked: a full or a read-only place for the program to meet. The mount
// lives in a mount namespace private to this test process (and the programs it starts), so
// nothing else ever sees it. available is false where the system does not allow it.
struct PrivateMount
{
    PrivateMount (const juce::File& mountPoint, const char* options, bool readOnly) : folder (mountPoint)
    {
        static const bool ownNamespace = unshare (CLONE_NEWNS) == 0
                                      && mount (nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        available = ownNamespace && folder.createDirectory()
                 && mount ("vorntest", folder.getFullPathName().toRawUTF8(), "tmpfs", readOnly ? MS_RDONLY : 0UL, options) == 0;
    }
    ~PrivateMount()
    {
        if (available)
            umount2 (folder.getFullPathName().toRawUTF8(), MNT_DETACH);
    }
    PrivateMount (const PrivateMount&) = delete;
    PrivateMount& operator= (const PrivateMount&) = delete;

    // What the programs left in it.
    juce::StringArray entries() const
    {
        juce::StringArray names;
        for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*", juce::File::FollowSymlinks::no))
            names.add (f.getRelativePathFrom (folder));
        return names;
    }

    juce::File folder;
    bool available = false;
};

} // namespace vorntest
