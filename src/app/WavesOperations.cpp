// The runners of the two Waves operations, --waves-selection-report and --waves-convert: the
// checks they share, and the hand-over to the Waves transfer.

#include "app/Operations.h"

#include "waves/WavesSessionTransfer.h"

namespace vornconv::app
{

namespace
{

// The checks both Waves operations share.
Expected<void> checkWavesTarget (const juce::String& target, const CommandLineOptions& options)
{
    if (target != waves::superRackSoundGridTarget && target != waves::wavesLv1Target)
        return failure ("Waves target must be superrack-soundgrid or waves-lv1");
    if (options.inputs.size() != 1)
        return failure ("Waves operation accepts exactly one input file");
    return success();
}

} // namespace

Decision runWavesSelectionReport (const CommandLineOptions& options)
{
    const auto& target = options.wavesSelectionReport;
    if (const auto checked = checkWavesTarget (target, options); ! checked)
        return refusal (checked.message());
    juce::String error;
    const auto document = waves::buildSelectionReport (resolveArgument (options.inputs[0]), target, error);
    if (document.isEmpty())
        return refusal (error);
    Decision decided;
    decided.add (document);
    return decided;
}

Decision runWavesConvert (const CommandLineOptions& options)
{
    const auto& target = options.wavesConvert;
    if (const auto checked = checkWavesTarget (target, options); ! checked)
        return refusal (checked.message());
    if (! isGiven (options.output) || ! isGiven (options.templateFile) || ! isGiven (options.selection))
        return refusal ("Waves conversion requires --output, --template, and --selection");
    const juce::String extension = target == waves::superRackSoundGridTarget ? ".sprk" : ".emo";
    if (! options.output.getFileExtension().equalsIgnoreCase (extension))
        return refusal ("Waves output extension must be " + extension);
    const auto result = waves::convertSession (resolveArgument (options.inputs[0]), target, options.selection, options.templateFile,
                                               options.output);
    if (result.ok)
        noteOutputWritten (options.output);
    Decision decided;
    if (result.ok)
        decided.add ("OK      " + result.summary);
    else
        decided.refuse (result.error);
    // The note is one finding per line.
    if (result.note.isNotEmpty())
        decided.add (juce::StringArray::fromLines (result.note));
    return decided;
}

} // namespace vornconv::app
