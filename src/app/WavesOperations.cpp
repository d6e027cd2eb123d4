#include "app/Operations.h"

#include "waves/WavesSessionTransfer.h"

namespace vornconv::app
{

namespace
{

// The checks both Waves operations share; the refusal line is printed here.
bool checkWavesTarget (const juce::String& target, const CommandLineOptions& options)
{
    if (target != waves::superRackSoundGridTarget && target != waves::wavesLv1Target)
    {
        printLine ("ERROR   Waves target must be superrack-soundgrid or waves-lv1");
        return false;
    }
    if (options.inputs.size() != 1)
    {
        printLine ("ERROR   Waves operation accepts exactly one input file");
        return false;
    }
    return true;
}

} // namespace

int runWavesSelectionReport (const CommandLineOptions& options)
{
    const auto& target = options.wavesSelectionReport;
    if (! checkWavesTarget (target, options))
        return 1;
    juce::String error;
    const auto document = waves::buildSelectionReport (resolveArgument (options.inputs[0]), target, error);
    if (document.isEmpty())
    {
        printLine ("ERROR   " + error);
        return 1;
    }
    printLine (document);
    return 0;
}

int runWavesConvert (const CommandLineOptions& options)
{
    juce::ignoreUnused (options);
    return refuseUnavailable ("--waves-convert");
}

} // namespace vornconv::app
