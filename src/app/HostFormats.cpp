// The command line's table of hosts: for each host the adapters of its writer (the options it
// needs, its proof without an output, its write) and what the command line shows of it; every
// other fact about a host is its descriptor's.
//
// In this file, in order:
//   - the writer adapters of each host: Vorn Live scene, SuperRack Performer, LiveProfessor,
//     REAPER (each turns the command line's options into its writer's arguments);
//   - the table;
//   - lookups, reading, and the texts that list the hosts.

#include "app/HostFormats.h"

#include "model/UntrustedFile.h"
#include "readers/HostReaders.h"
#include "writers/LiveProfessorRack2Writer.h"
#include "writers/ReaperRppWriter.h"
#include "writers/SuperRackSprkWriter.h"
#include "writers/VornKsnWriter.h"

#include <cerrno>
#include <sys/stat.h>

namespace vornconv::app
{

using rapp::ConversionPlan;
using rapp::Vst3ModuleIndex;
using rapp::WriteResult;

namespace
{

bool templateGiven (const WriteOptions& options) { return options.templateFile != juce::File(); }

// The host's name followed by what it refuses.
juce::String refusalOf (const HostFormat& host, const char* what) { return host.descriptor().hostName + juce::String (what); }

// All that the writer needs is there.
rapp::Issue nothingMissing() { return { rapp::severityBlocker, {}, {} }; }

rapp::Issue missing (const char* code, const juce::String& message) { return { rapp::severityBlocker, code, message }; }

// A host shaped by the profile is refused without one, under the preflight's own key.
rapp::Issue missingProfile (const HostFormat& host)
{
    return missing ("target.profile", refusalOf (host, " writer requires --profile <strips>x<slots>"));
}

//==============================================================================
// Vorn Live scene: built from the session alone; a template has no effect.

rapp::Issue vornMissingOption (const HostFormat&, const WriteOptions&) { return nothingMissing(); }

WriteResult checkVornWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions&, const ConversionPlan& plan)
{
    return rapp::checkVornKsnWrite (source, index, plan);
}

WriteResult writeVorn (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options,
                       const ConversionPlan& plan)
{
    return rapp::writeVornKsn (source, index, plan, options.output);
}

//==============================================================================
// SuperRack Performer: written into a copy of a session the host saved itself.

rapp::Issue superRackMissingOption (const HostFormat& host, const WriteOptions& options)
{
    if (! templateGiven (options))
        return missing (issueCode::missingTemplate, refusalOf (host, " writer requires a verified 5.0.0.19 host-save base: --template supplies "
                                                           "it (a session SuperRack Performer 5.0.0.19 saved)"));
    return nothingMissing();
}

WriteResult checkSuperRackWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options,
                                 const ConversionPlan& plan)
{
    return rapp::checkSuperRackSprkWrite (source, index, plan, options.templateFile);
}

WriteResult writeSuperRack (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options,
                            const ConversionPlan& plan)
{
    return rapp::writeSuperRackSprk (source, index, plan, options.templateFile, options.output);
}

//==============================================================================
// LiveProfessor: shaped by the profile, with LiveProfessor's plug-in list; a host-saved
// template is optional.

rapp::Issue liveProfessorMissingOption (const HostFormat& host, const WriteOptions& options)
{
    if (options.profile == nullptr)
        return missingProfile (host);
    if (options.catalog == nullptr)
        return missing ("target.catalog", refusalOf (host, " plugin catalog is unavailable"));
    return nothingMissing();
}

WriteResult checkLiveProfessorWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options,
                                     const ConversionPlan& plan)
{
    return rapp::checkLiveProfessorRack2Write (source, index, *options.catalog, plan, options.templateFile, *options.profile);
}

WriteResult writeLiveProfessor (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options,
                                const ConversionPlan& plan)
{
    return rapp::writeLiveProfessorRack2 (source, index, *options.catalog, plan, options.templateFile, *options.profile,
                                          options.output);
}

//==============================================================================
// REAPER: shaped by the profile; a one-track template is optional.

rapp::Issue reaperMissingOption (const HostFormat& host, const WriteOptions& options)
{
    if (options.profile == nullptr)
        return missingProfile (host);
    return nothingMissing();
}

WriteResult checkReaperWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options,
                              const ConversionPlan& plan)
{
    return rapp::checkReaperRppWrite (source, index, plan, options.templateFile, *options.profile);
}

WriteResult writeReaper (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options,
                         const ConversionPlan& plan)
{
    return rapp::writeReaperRpp (source, index, plan, options.templateFile, *options.profile, options.output);
}

bool makeReaperStateProbe (const RackReadResult& source, const Vst3ModuleIndex& index, const WriteOptions& options,
                           const rapp::ReaperStateProbe& request, RackReadResult& probe, juce::String& error)
{
    return rapp::makeReaperStateProbe (source, index, *options.profile, request, probe, error);
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

juce::StringArray targetWords()
{
    juce::StringArray values;
    for (const auto& host : hostFormats())
        values.add (host.targetWord);
    return values;
}

juce::StringArray extensions()
{
    juce::StringArray values;
    for (const auto& host : hostFormats())
        values.add (host.descriptor().extension);
    return values;
}

} // namespace

const std::vector<HostFormat>& hostFormats()
{
    // target, target word, template;
    // missing option, writer's proof, writer, state probe session;
    // parameter mirrors, plug-in catalog, value tree; usage input, usage note.
    static const std::vector<HostFormat> hosts = {
        { rapp::targetVornScene, "vorn", TemplateUse::none,
          vornMissingOption, checkVornWrite, writeVorn, nullptr,
          false, false, false, "<input.sprk>", nullptr },
        { rapp::targetSuperRackPerformer, "superrack-performer", TemplateUse::required,
          superRackMissingOption, checkSuperRackWrite, writeSuperRack, nullptr,
          false, false, false, "<input.ksn>",
          "           SuperRack Performer transfers third-party VST3 only; Waves plug-ins are not transferable" },
        { rapp::targetLiveProfessor, "liveprofessor", TemplateUse::optional,
          liveProfessorMissingOption, checkLiveProfessorWrite, writeLiveProfessor, nullptr,
          true, true, true, "<input>", nullptr },
        { rapp::targetReaper, "reaper", TemplateUse::optional,
          reaperMissingOption, checkReaperWrite, writeReaper, makeReaperStateProbe,
          false, false, false, "<input>", nullptr },
    };
    return hosts;
}

RackReadResult HostFormat::read (const juce::File& file) const
{
    // Every operation reads its inputs here, so that every refusal about an input names it, once:
    // a file that is not there as such, and a reader's own words ("XML parse failed") with the
    // file's path when they do not give it.
    RackReadResult result;
    struct stat info;
    if (::lstat (file.getFullPathName().toRawUTF8(), &info) != 0 && errno == ENOENT)
    {
        result.error = fileNotFoundError (file);
        result.session.sourceFile = file.getFullPathName();
        return result;
    }
    result = readersOf (descriptor()).file (file);
    if (! result.ok)
        result.error = namingFile (result.error, file);
    return result;
}

const HostFormat* hostForFile (const juce::File& file)
{
    const auto extension = file.getFileExtension().toLowerCase();
    for (const auto& host : hostFormats())
        if (extension == host.descriptor().extension)
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

const HostFormat* hostWith (bool HostFormat::*flag)
{
    for (const auto& host : hostFormats())
        if (host.*flag)
            return &host;
    return nullptr;
}

const HostFormat* hostWithStateProbe()
{
    for (const auto& host : hostFormats())
        if (host.makeStateProbe != nullptr)
            return &host;
    return nullptr;
}

juce::String detectFormat (const juce::File& file)
{
    const auto* host = hostForFile (file);
    return host != nullptr ? host->descriptor().formatId : "";
}

bool readHostInput (const juce::File& input, RackReadResult& result)
{
    const auto* host = hostForFile (input);
    if (host == nullptr)
    {
        result = {};
        result.error = "RAPP input must be " + spokenList (extensions());
        return false;
    }
    result = host->read (input);
    return true;
}

juce::String unknownTargetRefusal()
{
    return "target must be " + spokenList (targetWords());
}

juce::String templateExtensionRefusal (const HostFormat& host, const juce::File& templateFile)
{
    const juce::String extension = host.descriptor().extension;
    if (templateFile == juce::File() || host.templateUse == TemplateUse::none || templateFile.getFileExtension().toLowerCase() == extension)
        return {};
    return "--template: "
         + refusalOf (host, host.templateUse == TemplateUse::required ? " template extension must be " : " optional template extension must be ")
         + extension + ": " + templateFile.getFullPathName();
}

juce::String inputKindsRead()
{
    auto kinds = extensions();
    const auto last = kinds[kinds.size() - 1];
    kinds.remove (kinds.size() - 1);
    return "vornconv reads " + kinds.joinIntoString (", ") + " and " + last;
}

juce::String usageTargetWords()
{
    return targetWords().joinIntoString ("|");
}

juce::String usageExtensions()
{
    return extensions().joinIntoString ("  ");
}

juce::StringArray usageConvertLines()
{
    juce::StringArray lines;
    for (const auto& host : hostFormats())
    {
        // A host without a fixed capacity is shaped by the profile, which its writer requires.
        const bool needsProfile = ! host.descriptor().capacity.fixed;
        lines.add (juce::String ("  vornconv --convert ") + host.targetWord
                   + (needsProfile ? " --profile <strips>x<slots>" : "") + " --output <new" + host.descriptor().extension
                   + "> " + host.usageInput);
        if (host.usageNote != nullptr)
            lines.add (host.usageNote);
    }
    return lines;
}

} // namespace vornconv::app
