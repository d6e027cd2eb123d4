#include "app/Operations.h"

namespace vornconv::app
{

int runDump (const CommandLineOptions& options)
{
    juce::ignoreUnused (options);
    return refuseUnavailable ("dump");
}

} // namespace vornconv::app
