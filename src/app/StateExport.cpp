#include "app/StateExport.h"

#include "model/AtomicFileCommit.h"
#include "model/PrivateFiles.h"

#include <cerrno>
#include <set>
#include <vector>

namespace vornconv::app
{

namespace
{

struct ExportItem
{
    juce::File target;
    const juce::MemoryBlock* bytes = nullptr; // the session's own block, which outlives the call
};

// The folder's child named name. File::getChildFile would take a name starting with "~" as
// home-relative; joining the text keeps every export inside the folder (names never hold "/").
juce::File childInside (const juce::File& directory, const juce::String& name)
{
    return juce::File (directory.getFullPathName() + juce::File::getSeparatorString() + name);
}

} // namespace

bool exportStates (const RackSession& session, const juce::File& directory, juce::String& error)
{
    std::vector<ExportItem> items;
    std::set<juce::File> targets;  // looked up in log time: a session may hold thousands of states
    for (const auto& strip : session.strips)
    {
        for (int position = 0; position < strip.plugins.size(); ++position)
        {
            const auto& slot = strip.plugins.getReference (position);
            if (! slot.occupied)
                continue;
            const auto& state = slot.state;
            if (state.component.isEmpty())
            {
                error = "refusing partial state export at strip " + juce::String (strip.index) + ", slot " + juce::String (position);
                return false;
            }
            const auto stem = juce::File::createLegalFileName (slot.name) + "__" + juce::String (strip.index) + "-" + juce::String (position);
            const auto plan = [&] (const juce::String& extension, const juce::MemoryBlock& bytes) {
                const auto target = childInside (directory, stem + extension);
                if (target.exists() || target.isSymbolicLink())
                {
                    error = "refusing to replace existing state export: " + target.getFullPathName();
                    return false;
                }
                if (! targets.insert (target).second)
                {
                    error = "duplicate state export target: " + target.getFullPathName();
                    return false;
                }
                items.push_back ({ target, &bytes });
                return true;
            };
            if (! plan (".comp", state.component))
                return false;
            if (! state.controller.isEmpty() && ! plan (".cont", state.controller))
                return false;
        }
    }

    juce::Array<juce::File> createdFolders;
    if (! createMissingFolders (directory, createdFolders))
    {
        removeCreatedFolders (createdFolders);
        error = "could not create state export directory";
        return false;
    }
    if (items.empty())
        return true;

    // Each temporary lies beside its target, is written through the descriptor that created it,
    // and is removed on every path out but its commit (an interruption included).
    std::vector<TemporaryFileBeside> temporaries;
    const auto fail = [&] (const juce::String& message) {
        temporaries.clear(); // deletes the temporary files before their folder is removed
        removeCreatedFolders (createdFolders);
        error = message;
        return false;
    };

    for (const auto& item : items)
    {
        temporaries.emplace_back();
        juce::String ignored;
        auto& temporary = temporaries.back();
        if (! makeTemporaryBeside (item.target, temporary, ignored)
            || ! writeAllBytes (temporary.fd, item.bytes->getData(), item.bytes->getSize()) || ! temporary.close())
            return fail ("could not write temporary state export");
    }

    juce::Array<juce::File> committed;
    for (size_t i = 0; i < items.size(); ++i)
    {
        juce::String commitError;
        if (! commitNewFileExclusive (temporaries[i].file, items[i].target, commitError))
        {
            for (const auto& f : committed)
                f.deleteFile();
            return fail (commitError);
        }
        temporaries[i].release();
        committed.add (items[i].target);
    }
    return true;
}

} // namespace vornconv::app
