// vornvst3catalog: lists the audio-effect classes of VST3 bundles as factory-catalog rows.

#include "vst3catalog/BundleReader.h"
#include "vst3catalog/BundleWalk.h"
#include "vst3catalog/CatalogCommandLine.h"
#include "vst3catalog/IsolatedReader.h"

#include <cerrno>
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

} // namespace

int main (int argc, char** argv)
{
    using namespace vornconv::vst3catalog;
    occupyStandardDescriptors();

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back (argv[i]);

    if (isChildModeInvocation (args))
        return runChildMode (args[1]);

    CatalogSettings settings;
    settings.selfPath = selfExecutablePath (argc > 0 ? argv[0] : nullptr);
    settings.roots = defaultScanRoots();
    return runCatalogCommandLine (args, settings, std::cout, std::cerr);
}
