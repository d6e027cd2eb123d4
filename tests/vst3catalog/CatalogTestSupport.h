#pragma once

// Helpers for the catalog tool's tests: temporary folders, fake bundles laid out from the built
// fake modules, and running the tool in-process or as a real program.

#include "vst3catalog/CatalogCommandLine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace catalogtest
{

namespace fs = std::filesystem;

struct TempDir
{
    fs::path path;
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "vst3catalog-XXXXXX").string();
        if (::mkdtemp (pattern.data()) != nullptr)
            path = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (! path.empty())
            fs::remove_all (path, ec);
    }
    TempDir (const TempDir&) = delete;
    TempDir& operator= (const TempDir&) = delete;
};

inline std::string fakeModule (const std::string& mode)
{
    return std::string (VORN_FAKE_VST3_DIR) + "/" + mode + ".so";
}

// folder/<bundleName>/Contents/x86_64-linux/<binaryName> as a copy of the fake module of mode
// (binaryName defaults to the bundle's name with ".so").
inline std::string makeBundle (const fs::path& folder, const std::string& bundleName, const std::string& mode,
                               std::string binaryName = {})
{
    const fs::path bundle = folder / bundleName;
    const fs::path binaryFolder = bundle / "Contents" / "x86_64-linux";
    fs::create_directories (binaryFolder);
    if (binaryName.empty())
        binaryName = fs::path (bundleName).stem().string() + ".so";
    if (! mode.empty())
        fs::copy_file (fakeModule (mode), binaryFolder / binaryName, fs::copy_options::overwrite_existing);
    return bundle.string();
}

inline std::vector<std::string> splitLines (const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream (text);
    for (std::string line; std::getline (stream, line);)
        lines.push_back (line);
    return lines;
}

struct ToolRun
{
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline vornconv::vst3catalog::CatalogSettings testSettings()
{
    vornconv::vst3catalog::CatalogSettings settings;
    settings.selfPath = VORNVST3CATALOG_BIN;
    return settings;
}

inline ToolRun runInProcess (const std::vector<std::string>& args,
                             const vornconv::vst3catalog::CatalogSettings& settings = testSettings())
{
    std::ostringstream out, err;
    ToolRun run;
    run.exitCode = vornconv::vst3catalog::runCatalogCommandLine (args, settings, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

inline std::string readFile (const fs::path& path)
{
    std::string text;
    if (FILE* f = std::fopen (path.c_str(), "rb"))
    {
        char buffer[4096];
        for (size_t n; (n = std::fread (buffer, 1, sizeof buffer, f)) > 0;)
            text.append (buffer, n);
        std::fclose (f);
    }
    return text;
}

// The standard output runProcess gives its program: a pipe whose reader is gone before the
// program starts.
const char* const goneReader = "(a pipe without a reader)";

// Runs program (searched in PATH when it has no slash) as a real process with PATH set to
// pathFolder when that is given; output captured through files, unless stdoutPath names a file
// to open with stdoutFlags as its standard output instead, or is goneReader (run.out is then
// empty). The program starts with the default action of SIGPIPE, whatever this process does;
// inChild runs just before the exec (to leave another descriptor open, as a shell's `3>&1` does).
inline ToolRun runProcess (const std::string& program, const std::vector<std::string>& args,
                           const std::string& pathFolder = {}, const std::string& stdoutPath = {},
                           int stdoutFlags = O_WRONLY, void (*inChild)() = nullptr)
{
    int pipeEnds[2] = { -1, -1 };
    const bool toGoneReader = stdoutPath == goneReader;
    if (toGoneReader)
    {
        if (::pipe2 (pipeEnds, O_CLOEXEC) != 0)
            return {};
        ::close (pipeEnds[0]); // before the program starts, so that its first write already fails
    }
    TempDir capture;
    const std::string outFile = (capture.path / "out").string();
    const std::string errFile = (capture.path / "err").string();
    std::vector<char*> argv;
    argv.push_back (const_cast<char*> (program.c_str()));
    for (const auto& a : args)
        argv.push_back (const_cast<char*> (a.c_str()));
    argv.push_back (nullptr);

    ToolRun run;
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        ::signal (SIGPIPE, SIG_DFL);
        const int o = toGoneReader ? pipeEnds[1]
                    : stdoutPath.empty() ? ::open (outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                                         : ::open (stdoutPath.c_str(), stdoutFlags);
        const int e = ::open (errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (o < 0 || e < 0 || ::dup2 (o, 1) < 0 || ::dup2 (e, 2) < 0)
            ::_exit (126);
        if (! pathFolder.empty())
            ::setenv ("PATH", pathFolder.c_str(), 1);
        if (inChild != nullptr)
            inChild();
        ::execvp (program.c_str(), argv.data());
        ::_exit (127);
    }
    if (toGoneReader)
        ::close (pipeEnds[1]);
    int status = 0;
    if (pid > 0 && ::waitpid (pid, &status, 0) == pid && WIFEXITED (status))
        run.exitCode = WEXITSTATUS (status);
    run.out = readFile (outFile);
    run.err = readFile (errFile);
    return run;
}

} // namespace catalogtest
