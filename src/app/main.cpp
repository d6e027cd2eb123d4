#include "app/CommandLine.h"
#include "model/PrivateFiles.h"
#include "model/TestHooks.h"
#include "model/Utf8Text.h"

#include <csignal>
#include <cstdio>
#include <string>

namespace
{

void onWriteRefused (int) {}

// A write refused by a reader that is gone (SIGPIPE) or by the file-size limit (SIGXFSZ) must fail
// like any other write, with EPIPE or EFBIG, so that the refusal paths report it and take away
// what the run made, instead of the signal ending the run on the spot with nothing said. A handler
// that does nothing has that effect and, unlike ignoring the signals, is not handed on to the
// programs this one starts: exec gives them the default actions back.
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

int main (int argc, char* argv[])
{
    // Before anything else, so that every thread started later leaves the three signals to the
    // one thread that cleans up after them.
    vornconv::installInterruptCleanup ("ERROR   interrupted");
    letRefusedWritesFail();
    vornconv::testHooks::installFromEnvironment();
    int status = 1;
    try
    {
        // A path is checked as the bytes it is before it becomes text, which could not hold it
        // unchanged; any other word only ever is compared, so its malformed bytes are replaced.
        if (const auto paths = vornconv::app::checkPathsAreText (argc - 1, argv + 1); ! paths)
        {
            status = vornconv::app::print (vornconv::app::refusal (paths.message()));
        }
        else
        {
            juce::StringArray arguments;
            for (int i = 1; i < argc; ++i)
                arguments.add (vornconv::utf8::toTextReplacingMalformed (argv[i]));
            status = vornconv::app::runVornconv (arguments);
        }
    }
    catch (...)
    {
        std::fputs ("ERROR   internal error: could not read the arguments\n", stdout);
        status = 1;
    }
    // Lines that never reached their reader are a failure, whatever the operation said.
    return vornconv::app::finishStandardOutput (status);
}
