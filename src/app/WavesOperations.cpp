// The runners of the two Waves operations, --waves-selection-report and --waves-convert: the
// checks they share, and the hand-over to the Waves transfer. Every refusal about a file given to
// them names it, and one about a file given to an option begins with the option, as the
// conversion operations' do.

#include "app/Operations.h"

#include "model/UntrustedFile.h"
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

// A refusal of the transfer about one of its files, named (where its words do not name it) and,
// for a file given to an option, after the option. The refusals about the output name the path
// they are about themselves: the output, or its folder.
juce::String transferRefusal (const waves::TransferResult& result, const juce::File& input, const CommandLineOptions& options)
{
    switch (result.refusedFile)
    {
        case waves::TransferFile::source:           return namingFile (result.error, input);
        case waves::TransferFile::selection:        return "--selection: " + namingFile (result.error, options.selection);
        case waves::TransferFile::hostSaveTemplate: return "--template: " + namingFile (result.error, options.templateFile);
        case waves::TransferFile::output:           return "--output: " + result.error;
        case waves::TransferFile::none:             break;
    }
    return result.error;
}

} // namespace

Decision runWavesSelectionReport (const CommandLineOptions& options)
{
    const auto& target = options.wavesSelectionReport;
    if (const auto checked = checkWavesTarget (target, options); ! checked)
        return refusal (checked.message());
    juce::String error;
    const auto input = resolveArgument (options.inputs[0]);
    const auto document = waves::buildSelectionReport (input, target, error);
    // The input is the one file the report reads: every refusal is about it.
    if (document.isEmpty())
        return refusal (namingFile (error, input));
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
        return refusal ("--output: Waves output extension must be " + extension + ": " + options.output.getFullPathName());
    const auto input = resolveArgument (options.inputs[0]);
    const auto result = waves::convertSession (input, target, options.selection, options.templateFile, options.output);
    if (result.ok)
        noteOutputWritten (options.output);
    Decision decided;
    if (result.ok)
        decided.add ("OK      " + result.summary);
    else
        decided.refuse (transferRefusal (result, input, options));
    // The note is one finding per line.
    if (result.note.isNotEmpty())
        decided.add (juce::StringArray::fromLines (result.note));
    return decided;
}

} // namespace vornconv::app
