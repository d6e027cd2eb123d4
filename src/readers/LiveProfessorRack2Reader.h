#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"
#include "readers/ValueTreeReader.h"

#include <juce_core/juce_core.h>

#include <map>

// Reader of LiveProfessor 2 projects (.rack2): one JUCE value tree in its binary stream form,
// read with the bounded value-tree reader and checked strictly. Chains become strips, the
// plug-ins of a chain its slots, the live audio patch the physical patches and sidechain
// sources, and the snapshots RackSnapshot rows.
//
// Also here, because the reader and the writer must agree on them: the stable runtime ids that
// encode a plug-in's place, the converter's metadata node that ties every plug-in runtime id to
// the source strip and slot it came from, and the marked clean global snapshot from which the
// physical patch and the plug-in states are recovered after the host has saved the project
// again and dropped the hardware connections from the live patch.
namespace vornconv
{

// The sourceFormat of every session this reader reads.
constexpr const char* liveProfessorRack2FormatId = "liveprofessor.rack2";

// Reads the project strictly. Never throws: a structural fault gives ok false, status 0 and the
// error; what cannot be proven becomes a DROPPED note and status 2.
RackReadResult readLiveProfessorRack2 (const juce::File& file);

// The same, keeping the tree that was read in root (empty when none could be read).
RackReadResult readLiveProfessorRack2 (const juce::File& file, TreeNode& root);

// The same checks on the stream form held in memory; sourcePath becomes the session's sourceFile.
RackReadResult readLiveProfessorRack2Bytes (const void* data, size_t size, const juce::String& sourcePath);

// The same checks on a tree already read (an empty tree is a stream that could not be read).
RackReadResult readLiveProfessorRack2Tree (const TreeNode& root, const juce::String& sourcePath);

// GSname of the converter's clean global snapshot.
extern const char* const cleanSnapshotName;

// Stable runtime id: 0xAC710000 + chain * 1024 + slot * 128 + sidechainSource + 1, for chains
// 0..63, slots 0..7 and sidechain sources -1..63. Every other value is a native runtime id.
constexpr juce::int64 stableRuntimeIdBase = 0xAC710000;

bool isStableRuntimeId (juce::int64 id) noexcept;
int stableRuntimeIdChain (juce::int64 id) noexcept;           // bits 10..15
int stableRuntimeIdSlot (juce::int64 id) noexcept;            // bits 7..9
int stableRuntimeIdSidechainSource (juce::int64 id) noexcept; // bits 0..6, minus 1

// 0 when any part is outside its range.
juce::int64 makeStableRuntimeId (int chain, int slot, int sidechainSource) noexcept;

struct ConverterSlotLocation
{
    juce::int32 chainIndex = -1;
    juce::int32 slotIndex = -1;
};

// Runtime id to the source place it was written for.
using ConverterSlotMap = std::map<juce::int64, ConverterSlotLocation>;

// One bound source slot of the writer; the metadata records its place and runtime id, the
// writer's tree steps also carry what they store for it.
struct PluginBinding
{
    juce::int32 chainIndex = -1;
    juce::int32 slotIndex = -1;
    juce::int64 runtimeId = 0;
    juce::String typeId;               // the plug-in's pluginTypeId text
    juce::MemoryBlock stateBytes;      // stored as chunkData
    bool hasParameters = false;        // parameterValues are stored as P0 .. Pn
    juce::Array<float> parameterValues;
};

// Validates the root's metadata node, if any. present tells whether there was one; entries is
// filled only on success. On false, error holds the message and the read must stop.
bool readConverterMetadata (const TreeNode& root, bool& present, ConverterSlotMap& entries, juce::String& error);

// Names the one global snapshot of root's GlobalSnapshots as the clean snapshot.
bool markConverterCleanSnapshot (TreeNode& root, juce::String& error);

// Appends the metadata node as root's last child; nativeWriterProfile is stored only when not
// empty. Refuses a root that already holds one.
bool appendConverterMetadata (TreeNode& root, const juce::Array<PluginBinding>& bindings,
                              const rapp::DeploymentProfile& profile, juce::StringRef nativeWriterProfile,
                              juce::String& error);

} // namespace vornconv
