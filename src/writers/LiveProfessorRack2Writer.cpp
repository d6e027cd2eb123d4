// The LiveProfessor 2 project writer: a rack session as a new .rack2 value tree, from a host-saved
// template or the built-in native profile, proven by reading it back.
//
// This file holds the project prepared in memory (everything before the output is needed), its
// proof, and checkLiveProfessorRack2Write and writeLiveProfessorRack2, the latter through the
// verified-write pipeline. The tree steps it runs are declared in LiveProfessorRack2WriterInternal.h,
// each in a file of its own:
//   - LiveProfessorInternalProfile.cpp: the built-in native profile, the starting tree without a
//     template.
//   - LiveProfessorNodeMakers.cpp: the chain and plug-in node makers the profile and the template
//     path share.
//   - LiveProfessorTemplateTopology.cpp: topology synthesis from a single prototype, and the
//     binding of chains and plug-ins to the session's strips and slots.
//   - LiveProfessorPatchInventory.cpp: the patch inventories a synthesised topology gets.
//   - LiveProfessorRepeatedState.cpp: mixer state, plug-in states and routing in every place.
//   - LiveProfessorRuntimeIds.cpp: stable runtime ids, and the controller assignments that follow
//     or lose their processor.

#include "writers/LiveProfessorRack2Writer.h"
#include "writers/LiveProfessorRack2WriterInternal.h"

#include "readers/ValueTreeReader.h"
#include "writers/ConversionLedger.h"
#include "writers/VerifiedWrite.h"

#include <algorithm>
#include <iterator>
#include <set>

//==============================================================================
namespace vornconv::rapp
{

namespace
{

using namespace liveProfessorWriter;

const char* const preflightRefusal = "RAPP preflight blocked LiveProfessor output";
const char* const noteRemovedAssignments = u8" LiveProfessor controller assignment는 출력에 없는 processor를 가리켜 제거했다";

TreeNode* child (TreeNode* tree, const char* type) { return tree != nullptr ? findChild (*tree, type) : nullptr; }

// The template is read once: the same tree is checked by the project reader and becomes the
// starting tree, so the file cannot change between the check and its use.
bool readTemplate (const juce::File& templateFile, TreeNode& tree, juce::String& error)
{
    if (! templateFile.existsAsFile())
    {
        error = "LiveProfessor template file does not exist";
        return false;
    }
    TreeNode root;
    const auto checked = readLiveProfessorRack2 (templateFile, root);
    if (! checked.isComplete())
    {
        error = "LiveProfessor template reader is not complete" + incompleteReadReason (checked);
        return false;
    }
    if (! isValidTree (root) || root.type != "LiveProfessorProjectFile")
    {
        error = "LiveProfessor template ValueTree parse failed";
        return false;
    }
    tree = std::move (root);
    return true;
}

// The project as it is to be written.
struct PreparedProject
{
    TreeNode root;
    int removedAssignments = 0;   // controller assignments whose processor is gone
    bool templateRefused = false; // the template file was refused as such
};

// Everything the writer does before it needs the output: the starting tree from the template or
// the built-in profile, the device settings, the topology, its binding to the session, the
// states and routing in every repeated place, the stable runtime ids, the controller assignments
// that still resolve, the clean snapshot and the converter metadata.
Expected<void> prepareProject (const RackReadResult& source, const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                               const juce::File& templateFile, const DeploymentProfile& profile, PreparedProject& project)
{
    juce::String error;
    const auto& session = source.session;
    const bool withTemplate = templateFile != juce::File();
    auto& root = project.root;
    if (withTemplate)
    {
        if (! readTemplate (templateFile, root, error))
        {
            project.templateRefused = true;
            return failure (error);
        }
    }
    else
    {
        root = buildInternalProfile2026_1 (session, index, catalog, profile, error);
        if (! isValidTree (root))
            return failure (error);
    }

    auto* device = child (child (&root, "AudioMidiHardware"), "IOdeviceProperties");
    auto* settings = child (&root, "projectSettings");
    if (device == nullptr || settings == nullptr)
        return failure ("LiveProfessor profile lacks audio device/project settings");
    if (session.inputDevice.isNotEmpty())
        setProperty (*device, "inputDeviceName", session.inputDevice);
    if (session.outputDevice.isNotEmpty())
        setProperty (*device, "outputDeviceName", session.outputDevice);
    if (session.bufferSize > 0)
        setProperty (*settings, "BufferSize", (int) session.bufferSize);

    removeNodesOfType (root, "VORNConverterMetadata");
    const auto processorsBefore = processorIds (root);

    const auto* chains = child (&root, "Chains");
    if (chains == nullptr || chains->children.size() != (size_t) session.strips.size())
        if (! synthesiseTopologyFromSinglePrototype (root, session, index, catalog, error))
            return failure (error);

    ChainIdMap chainIds;
    juce::Array<PluginBinding> bindings;
    if (! bindMainTopology (root, session, profile, index, catalog, chainIds, bindings, error)
        || ! updateRepeatedState (root, session, chainIds, bindings, error)
        || ! remapPluginRuntimeIds (root, session, bindings, error))
        return failure (error);

    // Rebuilt chains and remapped plug-ins leave the processors they replaced behind; a
    // controller assignment naming one of them would name nothing in the host.
    const auto processorsAfter = processorIds (root);
    std::set<juce::int64> gone;
    std::set_difference (processorsBefore.begin(), processorsBefore.end(), processorsAfter.begin(), processorsAfter.end(),
                         std::inserter (gone, gone.end()));
    project.removedAssignments = removeDanglingControllerAssignments (root, gone);

    if (! markConverterCleanSnapshot (root, error)
        || ! appendConverterMetadata (root, bindings, profile, withTemplate ? juce::StringRef() : juce::StringRef (internalProfileName),
                                      error))
        return failure (error);
    return success();
}

// The written project, read back, must be complete and hold the session exactly, its plug-ins
// identified as LiveProfessor identifies them; it stores no sample rate, so the device decides
// that (and the notes say so).
ReadBackProof liveProfessorProof (const RackReadResult& source, const Vst3ModuleIndex& index,
                                  const LiveProfessorPluginCatalog& catalog)
{
    ReadBackProof proof;
    proof.accept = [] (const RackReadResult& reread) -> Expected<void>
    {
        if (reread.isComplete())
            return success();
        return failure ("written LiveProfessor project failed converter reread validation" + incompleteReadReason (reread));
    };
    proof.expected = [&source, &index, &catalog]() -> Expected<RackSession>
    {
        RackSession expected = source.session;
        expected.sampleRate = 0.0;
        for (auto& strip : expected.strips)
            for (auto& slot : strip.plugins)
            {
                if (! slot.occupied)
                    continue;
                const auto* entry = catalog.findUnique (slot, index);
                if (entry == nullptr)
                    return failure ("internal LiveProfessor canonical identity mapping failed");
                slot.uniqueId = entry->uniqueId;
                slot.classId = {};
                slot.deprecatedUid = 0;
                slot.file = juce::File();
            }
        return expected;
    };
    proof.refusal = [] (const RackSession&, const RackSession&, const RackSemanticComparison& comparison)
    {
        return "written LiveProfessor project failed exact semantic validation: " + comparison.summary();
    };
    return proof;
}

// The write's steps once the preflight allows: the project prepared when the output is claimed
// (or, for a check, at once), streamed as a value tree, released, read back with the project
// reader and proven.
VerifiedOutput projectSteps (const RackReadResult& source, const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                             const juce::File& templateFile, const DeploymentProfile& profile, PreparedProject& project,
                             WriteResult& result)
{
    VerifiedOutput steps;
    steps.prepare = [&source, &index, &catalog, &templateFile, &profile, &project, &result]
    {
        auto prepared = prepareProject (source, index, catalog, templateFile, profile, project);
        if (! prepared && project.templateRefused)
            result.refusedPath = RefusedPath::templateFile;
        return prepared;
    };
    steps.writeDocument = [&project] (juce::OutputStream& out) { return writeValueTree (project.root, out); };
    steps.documentWritten = [&project] { project.root = {}; };
    readBackWith (steps, liveProfessorRack2Output);
    steps.ledger.carried = &source.session;
    steps.proof = liveProfessorProof (source, index, catalog);
    steps.writeFailed = "temporary LiveProfessor project write failed";
    steps.commitFailed = "atomic LiveProfessor project move failed: ";
    return steps;
}

// The LiveProfessor writer in the shell every writer's check and write runs in.
PlannedWrite projectWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const LiveProfessorPluginCatalog& catalog,
                           const juce::File& templateFile, const DeploymentProfile& profile, PreparedProject& project)
{
    PlannedWrite write;
    write.target = liveProfessorRack2Output.target;
    write.blocked = preflightRefusal;
    write.steps = [&source, &index, &catalog, &templateFile, &profile, &project] (WriteResult& result)
    {
        return projectSteps (source, index, catalog, templateFile, profile, project, result);
    };
    write.committed = [&source, &templateFile, &project] (WriteResult& result)
    {
        const auto& session = source.session;
        result.notes.add (templateFile != juce::File()
                              ? juce::String ("converter exact reread passed; LiveProfessor host load/DSP validation pending")
                              : juce::String ("internal liveprofessor-2026.1-native-v1 exact reread passed; LiveProfessor host load/save/DSP validation pending"));
        if (project.removedAssignments > 0)
            result.notes.add (juce::String (project.removedAssignments) + juce::String::fromUTF8 (noteRemovedAssignments));
        if (session.sampleRate > 0.0)
        {
            result.notes.add (juce::String::fromUTF8 (u8"LiveProfessor project에는 검증된 sample-rate 필드가 없어 audio device 설정이 결정한다"));
            result.notedFields.add (ledgerField::sampleRate);
        }
        if (session.bufferSize < 1)
        {
            result.notes.add (juce::String::fromUTF8 (u8"source buffer size가 없어 LiveProfessor profile의 BufferSize를 유지했다"));
            result.notedFields.add (ledgerField::bufferSize);
        }
    };
    return write;
}

RackReadResult readProjectBytes (const juce::File& name, std::string_view bytes)
{
    return readLiveProfessorRack2Bytes (bytes.data(), bytes.size(), name == juce::File() ? juce::String() : name.getFullPathName());
}

// LiveProfessor's plug-in list, as the host's record loaded it for the run; null when it did not.
const LiveProfessorPluginCatalog* pluginListOf (const WriteOptions& options)
{
    return std::any_cast<LiveProfessorPluginCatalog> (options.sideInput);
}

// A request without what the writer cannot do without is refused as the command line refuses it.
Expected<void> checkRequest (const WriteOptions& options)
{
    if (options.profile == nullptr)
        return failure ("LiveProfessor writer requires --profile <strips>x<slots>");
    if (pluginListOf (options) == nullptr)
        return failure ("LiveProfessor plugin catalog is unavailable");
    return success();
}

WriteResult refusedRequest (const juce::String& refusal)
{
    WriteResult result;
    result.error = refusal;
    return result;
}

} // namespace

const OutputHost liveProfessorRack2Output = []
{
    OutputHost host;
    host.target = targetLiveProfessor;
    host.hostName = "LiveProfessor";
    host.documents = "projects";
    host.readers.file = readLiveProfessorRack2;
    host.readers.bytes = readProjectBytes;
    return host;
}();

WriteResult checkLiveProfessorRack2Write (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                          const WriteOptions& options)
{
    if (const auto request = checkRequest (options); ! request)
        return refusedRequest (request.message());
    PreparedProject project;
    return checkPlannedWrite (plan, projectWrite (source, index, *pluginListOf (options), options.templateFile, *options.profile,
                                                  project));
}

WriteResult writeLiveProfessorRack2 (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                     const WriteOptions& options)
{
    if (const auto request = checkRequest (options); ! request)
        return refusedRequest (request.message());
    PreparedProject project;
    return writePlannedOutput (plan, projectWrite (source, index, *pluginListOf (options), options.templateFile, *options.profile,
                                                   project),
                               options.output);
}

} // namespace vornconv::rapp
