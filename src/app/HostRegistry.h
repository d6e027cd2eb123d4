#pragma once

#include "app/CommandLine.h"
#include "model/RackModel.h"
#include "rapp/HostRules.h"
#include "rapp/RappConversionPlan.h"
#include "writers/OutputHost.h"
#include "writers/WriteOptions.h"

#include <optional>
#include <vector>

// The hosts whose sessions vornconv reads and writes: one record per host, filled by field name in
// the host's own file (app/hosts/<Host>.cpp), and one registry that lists them. Everything the
// program asks of a host is a field of its record, or a constant of a layer below that the record
// refers to (its reader's format id; its writer's OutputHost, which names the host and its
// readers). Format detection, the target words, the usage, the checks of the options, the runners'
// refusals and their choice of reader, preflight rules and writer all come from the registry; the
// layers below are given what they need of a host by the caller.
namespace vornconv::app
{

struct Host;

// What a host's writer takes as --template: nothing (the option is refused), or a file of the
// host's own format that it may or must have.
enum class TemplateUse
{
    none,
    optional,
    required
};

// A diagnostic session that plan and convert work on in place of the source, when the command line
// asks for one and the profile is there (REAPER's state probe session).
struct StateProbe
{
    // The options that ask for it, as a plan names them ("--reaper-state-probe 0:1"); empty when
    // they ask for none.
    juce::String (*asked) (const CommandLineOptions& options) = nullptr;
    // The session, or its refusal.
    Expected<RackReadResult> (*make) (const CommandLineOptions& options, const RackReadResult& source,
                                      const rapp::Vst3ModuleIndex& index, const rapp::WriteOptions& writeOptions) = nullptr;
};

struct Host
{
    //==========================================================================
    // Who it is
    rapp::Target target = rapp::targetVornScene;
    const char* targetWord = "";    // the value of --plan, --convert and --selection-report, and a selection's target
    const char* formatId = "";      // the sourceFormat its reader stamps (the reader's constant)
    const char* extension = "";     // lower case, with its dot: its files carry it
    const char* targetName = "";    // the host as a plan names its target ("REAPER (.rpp)")
    // What its writer says of it (writers/<Host>Writer.h): its name and documents as messages name
    // them, its readers, and what the ledger of a write must know of it.
    const rapp::OutputHost* output = nullptr;

    //==========================================================================
    // Reading
    bool dumpsValueTree = false;    // --tree can print the file's value tree

    //==========================================================================
    // Planning
    rapp::HostRules rules;          // its capacity and the preflight's rules of it
    // Its files hold their strips at 0 to n - 1 in order, without gaps: a selection's kept
    // channels must take exactly those places.
    bool holdsStripsInOrder = false;

    //==========================================================================
    // Writing
    TemplateUse templateUse = TemplateUse::none;
    // The option the writer cannot do without and that is missing, as the blocker a plan lists and
    // a convert prints before it refuses with the blocker's message: the key ("target.profile",
    // "target.template") and what supplies it; none when nothing is missing. Null for a writer that
    // needs nothing but the output.
    std::optional<rapp::Issue> (*missingOption) (const Host& host, const rapp::WriteOptions& options) = nullptr;
    // The writer's proof without an output (what a plan's "WRITE: allowed" promises), and its write,
    // once nothing is missing.
    rapp::WriterFunction check = nullptr;
    rapp::WriterFunction write = nullptr;

    //==========================================================================
    // What it takes besides the session and the options every host takes
    // Plan and convert first fill every VST3 slot's parameter mirror (--plugin-probe and
    // --parameter-cache are then required, and refused for every other host).
    bool preparesParameterMirrors = false;
    // Loads, once for a plan or a convert, what its preflight rules and its writer take besides
    // (LiveProfessor's plug-in list), or its refusal. Null for a host that takes nothing.
    Expected<rapp::SideInput> (*loadSideInput)() = nullptr;
    // Joins a file of the host's own that the options name onto the module index of every plan and
    // convert, whatever their target (REAPER's plug-in cache, which names REAPER's ids): the
    // warnings about what it could not use, or the refusal. Null for a host that has none.
    Expected<juce::StringArray> (*joinModuleIndex) (const CommandLineOptions& options, rapp::Vst3ModuleIndex& index) = nullptr;
    // The probe options (--reaper-state-probe, --reaper-normalized-probe) are taken only by a host
    // that has one.
    StateProbe stateProbe;

    //==========================================================================
    // Usage
    const char* usageInput = "";    // the input named on the usage's convert line
    const char* usageNote = nullptr; // a line the usage adds under it, or nullptr

    // The option its writer cannot do without that options lack (missingOption), as its blocker;
    // none when nothing is missing.
    std::optional<rapp::Issue> missingFrom (const rapp::WriteOptions& options) const;

    // The host as refusals name it ("REAPER"), and its files, after the host ("projects").
    const char* hostName() const { return output->hostName; }
    const char* documents() const { return output->documents; }

    // The host's own reader of a file, as every operation reads its inputs: a failed read's
    // error names the file (a missing one is "file not found: " and its path).
    RackReadResult read (const juce::File& file) const;
};

// Every host, in the order the usage and the refusals list them.
const std::vector<const Host*>& hosts();

// The host of a target value; null for a value no host has.
const Host* hostOf (rapp::Target target);

// The host whose extension the file's lower-cased extension is; null for any other. Never
// touches the file system.
const Host* hostForFile (const juce::File& file);

// The host of a target word (already lower-cased); null for any other word.
const Host* hostForTargetWord (const juce::String& word);

// The first host for which has is true; null when none is.
const Host* hostWhere (bool (*has) (const Host& host));

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

// For the hosts' missingOption: a blocker with its key and the text that says what supplies it;
// the host's name followed by what it refuses; a host shaped by the profile refused without one,
// under the preflight's own key ("REAPER writer requires --profile <strips>x<slots>").
rapp::Issue missingOptionIssue (const char* code, const juce::String& message);
juce::String refusalOf (const Host& host, const char* what);
rapp::Issue missingProfile (const Host& host);

// The format id of the file's host; empty for any other extension.
juce::String detectFormat (const juce::File& file);

// Reads an input of the conversion operations with the reader its extension selects (a read that
// failed included: the result says so). For an extension no host has, nothing is read: the
// runners' refusal, with the input's path.
Expected<RackReadResult> readHostInput (const juce::File& input);

// "target must be " and the target words, as a list ("a, b, c, or d").
juce::String unknownTargetRefusal();

// "RAPP input must be " and the extensions, as a list: the runners' refusal of an input no host
// reads.
juce::String unknownInputRefusal();

// A --template that the host's writer cannot take by its extension, refused with the options:
// "--template: SuperRack template extension must be .sprk: <path>", "--template: REAPER optional
// template extension must be .rpp: <path>". Success when it can (or when none is given).
Expected<void> checkTemplateExtension (const Host& host, const juce::File& templateFile);

// "vornconv reads " and the extensions: the inputs the reading operations take.
juce::String inputKindsRead();

// The usage lines that depend on the hosts: the target words joined by "|", the extensions
// joined by two blanks, and each host's convert line (and note).
juce::String usageTargetWords();
juce::String usageExtensions();
juce::StringArray usageConvertLines();

} // namespace vornconv::app
