// vornvst3catalog: lists the audio-effect classes of VST3 bundles as factory-catalog rows.

#include "vst3catalog/BundleReader.h"
#include "vst3catalog/BundleWalk.h"
#include "vst3catalog/CatalogCommandLine.h"
#include "vst3catalog/CatalogInterrupts.h"
#include "vst3catalog/IsolatedReader.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

// With a standard descriptor closed, a pipe could take its number and the child's descriptor
// shuffle would lose one end: fill the gaps with /dev/null first.
void occupyStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl (fd, F_GETFD) < 0 && errno == EBADF)
            if (::open ("/dev/null", O_RDWR) < 0)
                return;
}

// Rows may still sit in a buffer, and some file systems report a failed write only when the
// file is closed: flush and close standard output before the exit code can claim success.
// False (with the line printed) when that fails.
bool finishStandardOutput()
{
    errno = 0;
    std::cout.flush();
    bool written = std::cout.good();
    if (written && (std::fflush (stdout) != 0 || std::ferror (stdout) != 0))
        written = false;
    if (written && ::close (STDOUT_FILENO) != 0 && errno != EINTR)
        written = false;
    if (! written)
        std::cerr << vornconv::vst3catalog::outputFailedLine (errno) << std::flush;
    return written;
}

void onWriteRefused (int) {}

// Rows that standard output does not take (a reader that is gone: SIGPIPE) must fail as a write,
// with EPIPE, so that the run ends with its message and exit code 1 instead of dying in silence;
// the same for the file-size limit (SIGXFSZ, EFBIG). A handler that does nothing has that effect
// and, unlike ignoring the signals, is not handed on across exec to the child that loads a plug-in.
void letRefusedWritesFail()
{
    struct sigaction action {};
    action.sa_handler = onWriteRefused;
    sigemptyset (&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction (SIGPIPE, &action, nullptr);
    sigaction (SIGXFSZ, &action, nullptr);
}

} // namespace

int main (int argc, char** argv)
{
    using namespace vornconv::vst3catalog;
    occupyStandardDescriptors();
    letRefusedWritesFail();

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back (argv[i]);

    if (isChildModeInvocation (args))
        return runChildMode (args[1]);

    watchInterrupts();
    CatalogSettings settings;
    settings.selfPath = selfExecutablePath (argc > 0 ? argv[0] : nullptr);
    settings.roots = defaultScanRoots();
    const int exitCode = runCatalogCommandLine (args, settings, std::cout, std::cerr);

    // A failed write of rows has been reported already and ended the run.
    if (! std::cout.good())
        return 1;
    return finishStandardOutput() ? exitCode : 1;
}
