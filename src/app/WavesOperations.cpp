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
    const auto& target = options.wavesConvert;
    if (! checkWavesTarget (target, options))
        return 1;
    if (! isGiven (options.output) || ! isGiven (options.templateFile) || ! isGiven (options.selection))
    {
        printLine ("ERROR   Waves conversion requires --output, --template, and --selection");
        return 1;
    }
    const juce::String extension = target == waves::superRackSoundGridTarget ? ".sprk" : ".emo";
    if (! options.output.getFileExtension().equalsIgnoreCase (extension))
    {
        printLine ("ERROR   Waves output extension must be " + extension);
        return 1;
    }
    const auto result = waves::convertSession (resolveArgument (options.inputs[0]), target, options.selection, options.templateFile,
                                               options.output);
    if (result.ok)
        noteOutputWritten (options.output);
    printLine (result.ok ? "OK      " + result.summary : "ERROR   " + result.error);
    // The note is one finding per line.
    if (result.note.isNotEmpty())
        for (const auto& line : juce::StringArray::fromLines (result.note))
            printLine (line);
    return result.ok ? 0 : 1;
}

} // namespace vornconv::app
