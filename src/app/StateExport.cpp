#include "app/StateExport.h"

#include "model/AtomicFileCommit.h"
#include "model/UntrustedFile.h"
#include "model/Utf8Text.h"

#include <cerrno>
#include <set>
#include <string>
#include <vector>

namespace vornconv::app
{

namespace
{

struct ExportItem
{
    juce::String name; // in the folder
    juce::File target;
    const juce::MemoryBlock* bytes = nullptr; // the session's own block, which outlives the call
};

// The folder's child named name. File::getChildFile would take a name starting with "~" as
// home-relative; joining the text keeps every export inside the folder (names never hold "/").
juce::File childInside (const juce::File& directory, const juce::String& name)
{
    return juce::File (directory.getFullPathName() + juce::File::getSeparatorString() + name);
}

// The plug-in's name without control characters (C0, DEL and C1), which go the way the
// characters a file name cannot hold go: a TAB or a line break in a file name breaks every
// listing and script that meets it. Works on the UTF-8 bytes: C0 and DEL are single bytes, C1
// characters are C2 80 to C2 9F.
juce::String withoutControlCharacters (const juce::String& name)
{
    const char* bytes = name.toRawUTF8();
    const size_t size = name.getNumBytesAsUTF8();
    std::string kept;
    kept.reserve (size);
    for (size_t i = 0; i < size; ++i)
    {
        const auto b = static_cast<unsigned char> (bytes[i]);
        if (b < 0x20 || b == 0x7F)
            continue;
        if (b == 0xC2 && i + 1 < size && static_cast<unsigned char> (bytes[i + 1]) >= 0x80
            && static_cast<unsigned char> (bytes[i + 1]) <= 0x9F)
        {
            ++i;
            continue;
        }
        kept.push_back (bytes[i]);
    }
    return kept.size() == size ? name : utf8::toTextReplacingMalformed (kept.data(), kept.size());
}

// Why an occupied slot has no component state to export, in the terms of what the slot holds.
// Only a VST3 state splits into the component and controller parts an export writes; other
// formats keep one state of their own, and a VST3 state the reader could not split stays whole.
juce::String whyStateCannotBeSplit (const RackSession& session, const RackStrip& strip, int position, const PluginRef& slot)
{
    const auto& state = slot.state;
    if (state.encoding == PluginStateEncoding::none && state.raw.isEmpty())
        return "it carries no saved state";
    if (isAudioUnitFormat (slot.format) || state.encoding == PluginStateEncoding::audioUnitPlist)
        return "its AudioUnit state is one property list, not the component and controller parts an export writes";
    if (slot.format == "VST3")
    {
        juce::String reason ("its VST3 state could not be split into component and controller parts");
        // The reader's own words when it gave any: what it kept pending, else what it dropped.
        auto why = slot.pendingStateReason;
        const auto code = "plugin[" + juce::String (strip.index) + ":" + juce::String (position) + "].state";
        for (const auto& note : session.notes.items)
            if (why.isEmpty() && note.fidelity == Fidelity::dropped && note.code == code)
                why = note.text;
        if (why.isNotEmpty())
            reason << " (" << why << ")";
        return reason;
    }
    if (slot.format.isEmpty())
        return "its format is unknown, so its state has no component and controller parts";
    return "its " + formatForMessage (slot.format) + " state is one block, not the component and controller parts an export writes";
}

} // namespace

Expected<void> exportStates (const RackSession& session, const juce::File& directory)
{
    juce::String error;
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
                return failure ("refusing partial state export at strip " + juce::String (strip.index) + ", slot " + juce::String (position)
                                + " (" + (slot.name.isEmpty() ? juce::String ("unnamed plug-in") : slot.name)
                                + "): " + whyStateCannotBeSplit (session, strip, position, slot));
            }
            const auto stem = juce::File::createLegalFileName (withoutControlCharacters (slot.name)) + "__" + juce::String (strip.index) + "-" + juce::String (position);
            const auto plan = [&] (const juce::String& extension, const juce::MemoryBlock& bytes) {
                const auto name = stem + extension;
                const auto target = childInside (directory, name);
                if (target.exists() || target.isSymbolicLink())
                {
                    error = "--export-states: refusing to replace existing state export: " + target.getFullPathName();
                    return false;
                }
                if (! targets.insert (target).second)
                {
                    error = "duplicate state export target: " + target.getFullPathName();
                    return false;
                }
                items.push_back ({ name, target, &bytes });
                return true;
            };
            if (! plan (".comp", state.component))
                return failure (error);
            if (! state.controller.isEmpty() && ! plan (".cont", state.controller))
                return failure (error);
        }
    }

    // The folder is held from here on: every temporary, every commit and every removal goes through
    // its handle, so a folder moved or replaced meanwhile (a link to a folder of the user's) is
    // never written into or cleaned up in. Unless the export finishes, whatever it made goes again
    // on the way out, whatever the way (a refusal, or an exception unwinding through it): the
    // files, temporary or under their final names, and then the folders made for it.
    HeldFolder folder;
    if (! openHeldFolder (directory, true, "state export folder", folder))
    {
        const int code = errno;
        return failure ("--export-states: could not create state export directory" + heldFolderFailure (directory, code));
    }
    std::vector<HeldFile> files;
    if (items.empty())
    {
        folder.keep();
        return success();
    }

    // Each temporary is written through the descriptor that created it. Nothing is committed
    // before every temporary is complete.
    files.reserve (items.size());
    for (const auto& item : items)
    {
        files.emplace_back();
        auto& temporary = files.back();
        if (! makeTemporaryIn (folder, item.name, temporary)
            || ! writeAllBytes (temporary.fd, item.bytes->getData(), item.bytes->getSize()) || ! temporary.close())
        {
            return failure ("--export-states: " + namingFile ("could not write temporary state export" + systemReason (errno), directory));
        }
    }

    // Each file stays registered under its final name until the whole export is in place, so that
    // an interruption meanwhile takes all of them away.
    for (size_t i = 0; i < items.size(); ++i)
        if (! commitNewFileExclusiveProvisionally (folder, files[i], items[i].name, error))
            return failure ("--export-states: " + error);
    folder.keep (files);
    return success();
}

} // namespace vornconv::app
