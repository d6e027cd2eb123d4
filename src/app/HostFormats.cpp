// The table of hosts: for each host format the session reader, the writer, the options the
// writer needs and its checks before the output, and what the command line shows of it.
//
// In this file, in order:
//   - the writer adapters of each host: Vorn Live scene, SuperRack Performer, LiveProfessor,
//     REAPER (each turns the command line's options into its writer's arguments);
//   - the table;
//   - lookups, reading, and the texts that list the hosts.

#include "app/HostFormats.h"

#include "readers/LiveProfessorRack2Reader.h"
#include "readers/ReaperRppReader.h"
#include "readers/SuperRackSprkReader.h"
#include "readers/VornKsnReader.h"
#include "writers/LiveProfessorRack2Writer.h"
#include "writers/ReaperRppWriter.h"
#include "writers/SuperRackSprkWriter.h"
#include "writers/VornKsnWriter.h"

namespace vornconv::app
{

using rapp::Vst3ModuleIndex;
using rapp::WriteResult;

namespace
{

bool templateGiven (const WriteOptions& options) { return options.templateFile != juce::File(); }

bool templateHasExtension (const WriteOptions& options, const char* extension)
{
    return options.templateFile.getFileExtension().toLowerCase() == extension;
}

//==============================================================================
// Vorn Live scene: built from the session alone; a template has no effect.

juce::String vornOptionRefusal (const WriteOptions&) { return {}; }

WriteResult checkVornWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions&)
{
    return rapp::checkVornKsnWrite (source, index);
}

WriteResult writeVorn (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options)
{
    return rapp::writeVornKsn (source, index, options.output);
}

//==============================================================================
// SuperRack Performer: written into a copy of a session the host saved itself.

juce::String superRackOptionRefusal (const WriteOptions& options)
{
    if (! templateGiven (options))
        return "SuperRack writer requires a verified 5.0.0.19 host-save base";
    if (! templateHasExtension (options, ".sprk"))
        return "SuperRack template extension must be .sprk";
    return {};
}

WriteResult checkSuperRackWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options)
{
    return rapp::checkSuperRackSprkWrite (source, index, options.templateFile);
}

WriteResult writeSuperRack (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options)
{
    return rapp::writeSuperRackSprk (source, index, options.templateFile, options.output);
}

//==============================================================================
// LiveProfessor: shaped by the profile, with LiveProfessor's plug-in list; a host-saved
// template is optional.

juce::String liveProfessorOptionRefusal (const WriteOptions& options)
{
    if (templateGiven (options) && ! templateHasExtension (options, ".rack2"))
        return "LiveProfessor optional template extension must be .rack2";
    if (options.profile == nullptr)
        return "LiveProfessor writer requires --profile <strips>x<slots>";
    if (options.catalog == nullptr)
        return "LiveProfessor plugin catalog is unavailable";
    return {};
}

WriteResult checkLiveProfessorWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options)
{
    return rapp::checkLiveProfessorRack2Write (source, index, *options.catalog, options.templateFile, *options.profile);
}

WriteResult writeLiveProfessor (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options)
{
    return rapp::writeLiveProfessorRack2 (source, index, *options.catalog, options.templateFile, *options.profile,
                                          options.output);
}

//==============================================================================
// REAPER: shaped by the profile; a one-track template is optional.

juce::String reaperOptionRefusal (const WriteOptions& options)
{
    if (templateGiven (options) && ! templateHasExtension (options, ".rpp"))
        return "REAPER optional template extension must be .rpp";
    if (options.profile == nullptr)
        return "REAPER writer requires --profile <strips>x<slots>";
    return {};
}

WriteResult checkReaperWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options)
{
    return rapp::checkReaperRppWrite (source, index, options.templateFile, *options.profile);
}

WriteResult writeReaper (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options)
{
    return rapp::writeReaperRpp (source, index, options.templateFile, *options.profile, options.output);
}

//==============================================================================
// "a, b, c, or d"
juce::String spokenList (const juce::StringArray& items)
{
    juce::String text;
    for (int i = 0; i < items.size(); ++i)
        text << (i == 0 ? "" : i == items.size() - 1 ? ", or " : ", ") << items[i];
    return text;
}

juce::StringArray column (const char* HostFormat::*field)
{
    juce::StringArray values;
    for (const auto& host : hostFormats())
        values.add (host.*field);
    return values;
}

} // namespace

const std::vector<HostFormat>& hostFormats()
{
    // format id, extension, target word, preflight target;
    // reader, option refusal, writer's checks, writer;
    // parameter mirrors, plug-in catalog, state probes, value tree; usage input, usage note.
    static const std::vector<HostFormat> hosts = {
        { "vorn.ksn", ".ksn", "vorn", rapp::targetVornScene,
          readVornKsn, vornOptionRefusal, checkVornWrite, writeVorn,
          false, false, false, false, "<input.sprk>", nullptr },
        { "waves.sprk", ".sprk", "superrack-performer", rapp::targetSuperRackPerformer,
          readSuperRackSprk, superRackOptionRefusal, checkSuperRackWrite, writeSuperRack,
          false, false, false, false, "<input.ksn>",
          "           SuperRack Performer transfers third-party VST3 only; Waves plug-ins are not transferable" },
        { "liveprofessor.rack2", ".rack2", "liveprofessor", rapp::targetLiveProfessor,
          readLiveProfessorRack2, liveProfessorOptionRefusal, checkLiveProfessorWrite, writeLiveProfessor,
          true, true, false, true, "<input>", nullptr },
        { "reaper.rpp", ".rpp", "reaper", rapp::targetReaper,
          readReaperRpp, reaperOptionRefusal, checkReaperWrite, writeReaper,
          false, false, true, false, "<input>", nullptr },
    };
    return hosts;
}

const HostFormat* hostForFile (const juce::File& file)
{
    const auto extension = file.getFileExtension().toLowerCase();
    for (const auto& host : hostFormats())
        if (extension == host.extension)
            return &host;
    return nullptr;
}

const HostFormat* hostForTargetWord (const juce::String& word)
{
    for (const auto& host : hostFormats())
        if (word == host.targetWord)
            return &host;
    return nullptr;
}

juce::String detectFormat (const juce::File& file)
{
    const auto* host = hostForFile (file);
    return host != nullptr ? host->formatId : "";
}

bool readHostInput (const juce::File& input, RackReadResult& result)
{
    const auto* host = hostForFile (input);
    if (host == nullptr)
    {
        result = {};
        result.error = "RAPP input must be " + spokenList (column (&HostFormat::extension));
        return false;
    }
    result = host->read (input);
    return true;
}

juce::String unknownTargetRefusal()
{
    return "target must be " + spokenList (column (&HostFormat::targetWord));
}

juce::String usageTargetWords()
{
    return column (&HostFormat::targetWord).joinIntoString ("|");
}

juce::String usageExtensions()
{
    return column (&HostFormat::extension).joinIntoString ("  ");
}

juce::StringArray usageConvertLines()
{
    juce::StringArray lines;
    for (const auto& host : hostFormats())
    {
        // A host without a fixed capacity is shaped by the profile, which its writer requires.
        const bool needsProfile = ! rapp::targetCapacity (host.target).fixed;
        lines.add (juce::String ("  vornconv --convert ") + host.targetWord
                   + (needsProfile ? " --profile <strips>x<slots>" : "") + " --output <new" + host.extension + "> "
                   + host.usageInput);
        if (host.usageNote != nullptr)
            lines.add (host.usageNote);
    }
    return lines;
}

} // namespace vornconv::app
