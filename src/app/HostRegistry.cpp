// The registry of hosts: the one list of their records, the lookups, reading an input with its
// host's reader, and the texts that list the hosts.

#include "app/HostRegistry.h"

#include "model/UntrustedFile.h"

#include <cerrno>
#include <sys/stat.h>

namespace vornconv::app
{

// Each host's record, from its own file (app/hosts).
const Host& vornLiveHost();
const Host& superRackPerformerHost();
const Host& liveProfessorHost();
const Host& reaperHost();

const std::vector<const Host*>& hosts()
{
    static const std::vector<const Host*> all = { &vornLiveHost(), &superRackPerformerHost(), &liveProfessorHost(), &reaperHost() };
    return all;
}

namespace
{

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
    for (const auto* host : hosts())
        values.add (host->targetWord);
    return values;
}

juce::StringArray extensions()
{
    juce::StringArray values;
    for (const auto* host : hosts())
        values.add (host->extension);
    return values;
}

} // namespace

const Host* hostOf (rapp::Target target)
{
    for (const auto* host : hosts())
        if (host->target == target)
            return host;
    return nullptr;
}

const Host* hostForFile (const juce::File& file)
{
    const auto extension = file.getFileExtension().toLowerCase();
    for (const auto* host : hosts())
        if (extension == host->extension)
            return host;
    return nullptr;
}

const Host* hostForTargetWord (const juce::String& word)
{
    for (const auto* host : hosts())
        if (word == host->targetWord)
            return host;
    return nullptr;
}

const Host* hostWhere (bool (*has) (const Host& host))
{
    for (const auto* host : hosts())
        if (has (*host))
            return host;
    return nullptr;
}

RackReadResult Host::read (const juce::File& file) const
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
    result = output->readers.file (file);
    if (! result.ok)
        result.error = namingFile (result.error, file);
    return result;
}

std::optional<rapp::Issue> Host::missingFrom (const rapp::WriteOptions& options) const
{
    if (missingOption == nullptr)
        return std::nullopt;
    return missingOption (*this, options);
}

rapp::Issue missingOptionIssue (const char* code, const juce::String& message)
{
    return { rapp::severityBlocker, code, message };
}

juce::String refusalOf (const Host& host, const char* what)
{
    return host.hostName() + juce::String (what);
}

rapp::Issue missingProfile (const Host& host)
{
    return missingOptionIssue ("target.profile", refusalOf (host, " writer requires --profile <strips>x<slots>"));
}

juce::String detectFormat (const juce::File& file)
{
    const auto* host = hostForFile (file);
    return host != nullptr ? host->formatId : "";
}

Expected<RackReadResult> readHostInput (const juce::File& input)
{
    const auto* host = hostForFile (input);
    if (host == nullptr)
        return failure (unknownInputRefusal() + ": " + input.getFullPathName());
    return host->read (input);
}

juce::String unknownTargetRefusal()
{
    return "target must be " + spokenList (targetWords());
}

juce::String unknownInputRefusal()
{
    return "RAPP input must be " + spokenList (extensions());
}

Expected<void> checkTemplateExtension (const Host& host, const juce::File& templateFile)
{
    const juce::String extension = host.extension;
    if (templateFile == juce::File() || host.templateUse == TemplateUse::none || templateFile.getFileExtension().toLowerCase() == extension)
        return success();
    return failure ("--template: "
                    + refusalOf (host, host.templateUse == TemplateUse::required ? " template extension must be "
                                                                                 : " optional template extension must be ")
                    + extension + ": " + templateFile.getFullPathName());
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
    for (const auto* host : hosts())
    {
        // A host without a fixed capacity is shaped by the profile, which its writer requires.
        const bool needsProfile = ! host->rules.capacity.fixed;
        lines.add (juce::String ("  vornconv --convert ") + host->targetWord + (needsProfile ? " --profile <strips>x<slots>" : "")
                   + " --output <new" + host->extension + "> " + host->usageInput);
        if (host->usageNote != nullptr)
            lines.add (host->usageNote);
    }
    return lines;
}

} // namespace vornconv::app
