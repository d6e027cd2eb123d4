#pragma once

#include "model/RackModel.h"
#include "rapp/HostDescriptor.h"
#include "rapp/RappConversionPlan.h"
#include "writers/ReaperStateProbe.h"
#include "writers/WriteResult.h"

#include <vector>

namespace vornconv::rapp
{
struct Vst3ModuleIndex;
struct LiveProfessorPluginCatalog;
} // namespace vornconv::rapp

// The command line's table of hosts: for each host its descriptor (rapp/HostDescriptor.cpp: format
// id, extension, names, capacity, preflight rules; its readers in readers/HostReaders.cpp), the
// adapters of its writer and what the command line shows of it. Format detection, the target
// words, the usage, the runners' refusals and their choice of reader and writer all come from it.
namespace vornconv::app
{

// What a writer takes from the command line besides the session and the module index.
struct WriteOptions
{
    juce::File output;
    juce::File templateFile;                                   // File() when not given
    const rapp::DeploymentProfile* profile = nullptr;          // null when --profile is absent
    const rapp::LiveProfessorPluginCatalog* catalog = nullptr; // null unless the host needs it
};

// What a host's writer takes as --template: nothing (the option is refused), or a file of the
// host's own format that it may or must have.
enum class TemplateUse
{
    none,
    optional,
    required
};

struct HostFormat
{
    rapp::Target target;        // the host's descriptor
    const char* targetWord;     // the value of --plan, --convert and --selection-report, and a selection's target

    TemplateUse templateUse;
    // The option the writer cannot do without and that is missing, as the blocker a plan lists and
    // a convert prints before it refuses with the blocker's message: the key ("target.profile",
    // "target.template") and what supplies it. An issue with an empty code when all are there.
    rapp::Issue (*missingOption) (const HostFormat&, const WriteOptions&);
    // The writer's proof without an output, when missingOption gave nothing: what a plan's
    // "WRITE: allowed" promises. The plan is the preflight of the session for this host, which the
    // writer takes as its verdict.
    rapp::WriteResult (*checkWrite) (const RackReadResult&, const rapp::Vst3ModuleIndex&, const WriteOptions&,
                                     const rapp::ConversionPlan&);
    // Writes, verifies and commits the output, when missingOption gave nothing; the plan as above.
    rapp::WriteResult (*write) (const RackReadResult&, const rapp::Vst3ModuleIndex&, const WriteOptions&,
                                const rapp::ConversionPlan&);
    // Plan and convert given the state probe options (--reaper-state-probe,
    // --reaper-normalized-probe) work on the host's diagnostic state probe session instead of its
    // source, once the profile is there: false with the probe's refusal. Null for every host that
    // has none, which refuses those options.
    bool (*makeStateProbe) (const RackReadResult& source, const rapp::Vst3ModuleIndex&, const WriteOptions&,
                            const rapp::ReaperStateProbe&, RackReadResult& probe, juce::String& error);

    // Plan and convert first fill every VST3 slot's parameter mirror (--plugin-probe and
    // --parameter-cache are then required, and refused for every other host).
    bool preparesParameterMirrors;
    // Plan and convert need LiveProfessor's plug-in list.
    bool needsPluginCatalog;
    // --tree can print the file's value tree.
    bool dumpsValueTree;

    const char* usageInput;     // the input named on the usage's convert line
    const char* usageNote;      // a line the usage adds under it, or nullptr

    const rapp::HostDescriptor& descriptor() const { return rapp::hostDescriptor (target); }

    // The host's own reader of a file, as every operation reads its inputs: a failed read's
    // error names the file (a missing one is "file not found: " and its path).
    RackReadResult read (const juce::File& file) const;
};

// The keys of the issues that plan and convert add to the preflight's: the writer's own refusal
// in a plan, an option the writer cannot do without (besides the preflight's "target.profile" and
// "target.catalog"), and a profile fitted to a selection.
namespace issueCode
{
constexpr const char* writer = "target.writer";
constexpr const char* missingTemplate = "target.template";
constexpr const char* fittedProfile = "selection.profile";
// What the temporary folder refused (no room, a document changed under the run), not the writer.
constexpr const char* temporaryFolder = "temporary.folder";
} // namespace issueCode

// Every host, in the order of the descriptors.
const std::vector<HostFormat>& hostFormats();

// The host whose extension the file's lower-cased extension is; null for any other. Never
// touches the file system.
const HostFormat* hostForFile (const juce::File& file);

// The host of a target word (already lower-cased); null for any other word.
const HostFormat* hostForTargetWord (const juce::String& word);

// The first host that has what member points at (a flag that is true, an adapter that is
// there); null when none has.
const HostFormat* hostWith (bool HostFormat::*flag);
const HostFormat* hostWithStateProbe();

// The format id of the file's host ("vorn.ksn", "waves.sprk", "liveprofessor.rack2",
// "reaper.rpp"); empty for any other extension.
juce::String detectFormat (const juce::File& file);

// Reads an input of the conversion operations with the reader its extension selects. For an
// extension no host has, nothing is read: false, with the runners' refusal as the error.
bool readHostInput (const juce::File& input, RackReadResult& result);

// "target must be vorn, superrack-performer, liveprofessor, or reaper"
juce::String unknownTargetRefusal();

// A --template that the host's writer cannot take by its extension, refused with the options:
// "--template: SuperRack template extension must be .sprk: <path>", "--template: REAPER optional
// template extension must be .rpp: <path>"; empty when it can (or when none is given).
juce::String templateExtensionRefusal (const HostFormat& host, const juce::File& templateFile);

// "vornconv reads .ksn, .sprk, .rack2 and .rpp": the inputs the reading operations take.
juce::String inputKindsRead();

// The usage lines that depend on the hosts: the target words joined by "|", the extensions
// joined by two blanks, and each host's convert line (and note).
juce::String usageTargetWords();
juce::String usageExtensions();
juce::StringArray usageConvertLines();

} // namespace vornconv::app
