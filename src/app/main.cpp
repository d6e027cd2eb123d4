#include "app/CommandLine.h"

#include <cstdio>

int main (int argc, char* argv[])
{
    int status = 1;
    try
    {
        juce::StringArray arguments;
        for (int i = 1; i < argc; ++i)
            arguments.add (juce::String::fromUTF8 (argv[i]));
        status = vornconv::app::runVornconv (arguments);
    }
    catch (...)
    {
        std::fputs ("ERROR   internal error: could not read the arguments\n", stdout);
        status = 1;
    }
    std::fflush (stdout);
    return status;
}
