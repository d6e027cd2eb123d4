#include "app/Operations.h"

namespace vornconv::app
{

int runSessionReport (const CommandLineOptions& options)
{
    juce::ignoreUnused (options);
    return refuseUnavailable ("--session-report");
}

} // namespace vornconv::app
