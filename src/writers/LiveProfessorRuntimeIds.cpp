// Runtime ids of a LiveProfessor 2 project: every bound plug-in's provisional or template id
// replaced, wherever the project refers to it, by the stable id of its source place; controller
// assignments that follow a renamed plug-in, and those removed whose processor is gone.

#include "writers/LiveProfessorRack2WriterInternal.h"

#include <algorithm>
#include <memory>

namespace vornconv::rapp::liveProfessorWriter
{

namespace
{

bool replaceIfReference (TreeNode& node, std::string_view name, juce::int64 oldId, juce::int64 newId)
{
    auto* value = findProperty (node, name);
    if (value == nullptr || ! isIntegerValue (*value) || (juce::int64) *value != oldId)
        return false;
    *value = int64Value (newId);
    return true;
}

// Every int and int64 property value of a tree, counted, and every place a plug-in runtime id is
// referred to, so that all bindings are remapped with one walk of the tree. The counts follow the
// replacements as they are made.
struct RuntimeIdIndex
{
    enum Counter { plugCounter, pluginCounter, processorCounter, snapshotCounter, noCounter, notAReference };

    struct Reference
    {
        juce::int64 value;
        TreeNode* node;
        size_t property;
        Counter counter;
    };

    std::vector<juce::int64> values;            // sorted
    std::map<juce::int64, juce::int64> changes; // added (or, negative, removed) since the walk
    std::vector<Reference> references;          // sorted by value

    Counter counterFor (const std::string& type, const std::string& name) const
    {
        if (type == "plug" && name == "id") return plugCounter;
        if (type == "Plugin" && (name == "pluginUid" || name == "PluginId")) return pluginCounter;
        if (type == "ProcessorSettingsContainer" && name == "id") return processorCounter;
        if (type == "PluginSnapshot" && name == "SnapshotIdTag") return snapshotCounter;
        if (type == "storedViewSetItem" && name == "storedViewSetItemPluginId") return noCounter;
        return notAReference;
    }

    void walk (TreeNode& node)
    {
        for (size_t i = 0; i < node.properties.size(); ++i)
        {
            const auto& value = node.properties[i].value;
            if (! isIntegerValue (value))
                continue;
            values.push_back ((juce::int64) value);
            const auto counter = counterFor (node.type, node.properties[i].name);
            if (counter != notAReference)
                references.push_back ({ (juce::int64) value, &node, i, counter });
        }
        for (auto& child : node.children)
            walk (child);
    }

    explicit RuntimeIdIndex (TreeNode& root)
    {
        walk (root);
        std::sort (values.begin(), values.end());
        std::sort (references.begin(), references.end(),
                   [] (const Reference& a, const Reference& b) { return a.value < b.value; });
    }

    juce::int64 count (juce::int64 value) const
    {
        const auto range = std::equal_range (values.begin(), values.end(), value);
        const auto changed = changes.find (value);
        return (juce::int64) (range.second - range.first) + (changed != changes.end() ? changed->second : 0);
    }

    // replaceRuntimeIdReferences over the whole tree, without walking it.
    void replace (juce::int64 oldId, juce::int64 newId, RuntimeIdReplacementCounts& counts)
    {
        const auto first = std::lower_bound (references.begin(), references.end(), oldId,
                                             [] (const Reference& r, juce::int64 v) { return r.value < v; });
        juce::int64 replaced = 0;
        for (auto it = first; it != references.end() && it->value == oldId; ++it)
        {
            auto& value = it->node->properties[it->property].value;
            if (! isIntegerValue (value) || (juce::int64) value != oldId)
                continue;
            value = int64Value (newId);
            ++replaced;
            switch (it->counter)
            {
                case plugCounter: ++counts.plug; break;
                case pluginCounter: ++counts.plugin; break;
                case processorCounter: ++counts.processorSettings; break;
                case snapshotCounter: ++counts.snapshot; break;
                case noCounter:
                case notAReference: break;
            }
        }
        changes[oldId] -= replaced;
        changes[newId] += replaced;
    }
};

// The runtime id a ControllableId names ("Processor" and the id in decimal), or -1.
juce::int64 controlledProcessor (const juce::var& value)
{
    if (! value.isString())
        return -1;
    const auto text = value.toString();
    const std::string_view bytes (text.toRawUTF8(), text.getNumBytesAsUTF8());
    constexpr std::string_view prefix ("Processor");
    if (bytes.size() <= prefix.size() || bytes.size() > prefix.size() + 18 || bytes.compare (0, prefix.size(), prefix) != 0)
        return -1;
    juce::int64 id = 0;
    for (const char c : bytes.substr (prefix.size()))
    {
        if (c < '0' || c > '9')
            return -1;
        id = id * 10 + (c - '0');
    }
    return id;
}

// Points every ControllableId that names a renamed processor at its new id.
void renameControllerAssignments (TreeNode& tree, const std::map<juce::int64, juce::int64>& renamed)
{
    for (auto& property : tree.properties)
        if (property.name == "ControllableId")
        {
            const auto found = renamed.find (controlledProcessor (property.value));
            if (found != renamed.end())
                property.value = "Processor" + juce::String (found->second);
        }
    for (auto& child : tree.children)
        renameControllerAssignments (child, renamed);
}

void collectProcessorIds (const TreeNode& tree, std::set<juce::int64>& ids)
{
    juce::int64 id = 0;
    if (tree.type == "ProcessorSettingsContainer" && idProperty (tree, "id", id))
        ids.insert (id);
    for (const auto& child : tree.children)
        collectProcessorIds (child, ids);
}

} // namespace

bool treeContainsNumericValue (const TreeNode& tree, juce::int64 value)
{
    for (const auto& property : tree.properties)
        if (isIntegerValue (property.value) && (juce::int64) property.value == value)
            return true;
    for (const auto& child : tree.children)
        if (treeContainsNumericValue (child, value))
            return true;
    return false;
}

void replaceRuntimeIdReferences (TreeNode& tree, juce::int64 oldId, juce::int64 newId,
                                 RuntimeIdReplacementCounts& counts)
{
    if (tree.type == "plug")
    {
        counts.plug += replaceIfReference (tree, "id", oldId, newId) ? 1 : 0;
    }
    else if (tree.type == "Plugin")
    {
        counts.plugin += replaceIfReference (tree, "pluginUid", oldId, newId) ? 1 : 0;
        counts.plugin += replaceIfReference (tree, "PluginId", oldId, newId) ? 1 : 0;
    }
    else if (tree.type == "ProcessorSettingsContainer")
    {
        counts.processorSettings += replaceIfReference (tree, "id", oldId, newId) ? 1 : 0;
    }
    else if (tree.type == "PluginSnapshot")
    {
        counts.snapshot += replaceIfReference (tree, "SnapshotIdTag", oldId, newId) ? 1 : 0;
    }
    else if (tree.type == "storedViewSetItem")
    {
        replaceIfReference (tree, "storedViewSetItemPluginId", oldId, newId);
    }
    for (auto& child : tree.children)
        replaceRuntimeIdReferences (child, oldId, newId, counts);
}

bool remapPluginRuntimeIds (TreeNode& root, const RackSession& session, juce::Array<PluginBinding>& bindings,
                            juce::String& error)
{
    const auto strips = stripsByIndex (session);
    std::unique_ptr<RuntimeIdIndex> ids;
    std::map<juce::int64, juce::int64> renamed;
    for (auto& binding : bindings)
    {
        const auto* slot = occupiedSlot (stripWithIndex (strips, binding.chainIndex), binding.slotIndex);
        if (slot == nullptr || binding.chainIndex < 0 || binding.chainIndex > 63 || binding.slotIndex > 7
            || slot->sidechainSource < -1 || slot->sidechainSource > 63)
            return fails (error, "LiveProfessor stable runtime id cannot represent source location");

        const auto stable = makeStableRuntimeId (binding.chainIndex, binding.slotIndex, slot->sidechainSource);
        if (binding.runtimeId == stable)
            continue;
        if (ids == nullptr)
            ids = std::make_unique<RuntimeIdIndex> (root);
        if (ids->count (stable) > 0)
            return fails (error, "LiveProfessor stable runtime id collides with template state");

        RuntimeIdReplacementCounts counts;
        ids->replace (binding.runtimeId, stable, counts);
        if (counts.plug < 1 || counts.plugin < 1 || counts.processorSettings < 1 || counts.snapshot < 1
            || ids->count (binding.runtimeId) > 0)
            return fails (error, "LiveProfessor plugin runtime id has an unmodelled native reference");
        renamed[binding.runtimeId] = stable;
        binding.runtimeId = stable;
    }
    // A controller assignment names its processor in text; the plug-in it controls is still there
    // under its new id, so the assignment follows it.
    if (! renamed.empty())
        renameControllerAssignments (root, renamed);
    return true;
}

// The ids of every ProcessorSettingsContainer of the tree.
std::set<juce::int64> processorIds (const TreeNode& root)
{
    std::set<juce::int64> ids;
    collectProcessorIds (root, ids);
    return ids;
}

// Removes every node whose ControllableId names a processor ("Processor" and its runtime id)
// among the gone ones, with its subtree, and returns how many were removed. Assignments that name
// anything else are kept.
int removeDanglingControllerAssignments (TreeNode& root, const std::set<juce::int64>& goneProcessors)
{
    int removed = 0;
    const auto dangling = [&goneProcessors] (const TreeNode& node) {
        const auto* controllable = findProperty (node, "ControllableId");
        if (controllable == nullptr)
            return false;
        const auto id = controlledProcessor (*controllable);
        return id >= 0 && goneProcessors.count (id) != 0;
    };
    for (auto& child : root.children)
        if (! dangling (child))
            removed += removeDanglingControllerAssignments (child, goneProcessors);
    const auto kept = std::remove_if (root.children.begin(), root.children.end(), dangling);
    removed += (int) std::distance (kept, root.children.end());
    root.children.erase (kept, root.children.end());
    return removed;
}

} // namespace vornconv::rapp::liveProfessorWriter
