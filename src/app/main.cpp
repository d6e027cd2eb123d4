#include "app/CommandLine.h"
#include "model/PrivateFiles.h"
#include "model/Utf8Text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

int main (int argc, char* argv[])
{
    // Before anything else, so that every thread started later leaves the three signals to the
    // one thread that cleans up after them.
    vornconv::installInterruptCleanup ("ERROR   interrupted");
    int status = 1;
    try
    {
        juce::StringArray arguments;
        for (int i = 1; i < argc; ++i)
            arguments.add (vornconv::utf8::toTextReplacingMalformed (argv[i])); // the system passes any bytes
        status = vornconv::app::runVornconv (arguments);
    }
    catch (...)
    {
        std::fputs ("ERROR   internal error: could not read the arguments\n", stdout);
        status = 1;
    }
    // Lines that never reached their reader are a failure, whatever the operation said: with
    // standard output gone, standard error is the one place left to say so.
    if (std::fflush (stdout) != 0 || std::ferror (stdout) || std::fclose (stdout) != 0)
    {
        const int code = errno;
        std::fprintf (stderr, "vornconv: could not write standard output: %s\n", std::strerror (code));
        status = 1;
    }
    return status;
}
