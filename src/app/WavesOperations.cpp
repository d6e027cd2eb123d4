#include "app/Operations.h"

namespace vornconv::app
{

int runWavesSelectionReport (const CommandLineOptions& options)
{
    juce::ignoreUnused (options);
    return refuseUnavailable ("--waves-selection-report");
}

int runWavesConvert (const CommandLineOptions& options)
{
    juce::ignoreUnused (options);
    return refuseUnavailable ("--waves-convert");
}

} // namespace vornconv::app
