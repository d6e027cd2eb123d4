// The dump operation (the runner of a run without a conversion or report operation, which the
// system's documents call DumpMain): for each input file a readable listing of its session, its
// raw value tree (--tree) or its manifest (--manifest), optionally followed by the export of its
// plug-in states.
//
// In this file, in order:
//   - the printed names and the slot row;
//   - the banner, the verbatim text lines and the value-tree dump;
//   - column fitting and the text dump;
//   - the dump of one file, and of every input word.

#include "app/DumpMain.h"

#include "app/HostRegistry.h"
#include "app/Manifest.h"
#include "app/Operations.h"
#include "app/StateExport.h"
#include "model/UntrustedFile.h"
#include "readers/ValueTreeDump.h"
#include "readers/ValueTreeReader.h"

#include <cstring>

namespace vornconv::app
{

namespace
{

constexpr int treeDumpLevels = 12;

juce::String statusName (juce::int32 status)
{
    const auto name = readStatusName (status);
    return name.isEmpty() ? juce::String ("?") : name;
}

// Empty for "none"; "?" for any value without a name.
juce::String dumpEncodingName (PluginStateEncoding encoding)
{
    if (encoding == PluginStateEncoding::none)
        return {};
    const auto name = pluginStateEncodingName (encoding);
    return name.isEmpty() ? juce::String ("?") : name;
}

juce::String fidelityText (Fidelity fidelity)
{
    const auto name = fidelityName (fidelity);
    return name.isEmpty() ? juce::String ("?") : name;
}

juce::String bytes (const juce::MemoryBlock& block)
{
    return juce::String ((juce::int64) block.getSize()) + "B";
}

juce::String slotRow (const PluginRef& slot, int position)
{
    auto row = "         [" + juce::String (position) + "] " + fitColumn (slot.name, 34)
             + fitColumn (slot.vendor, 22) + fitColumn (slot.format, 6, ColumnFit::keepWhole);
    const auto& state = slot.state;
    const auto encoding = dumpEncodingName (state.encoding);
    if (encoding.isNotEmpty())
    {
        row << encoding;
        if (! state.component.isEmpty())
            row << "  split=OK comp=" << bytes (state.component) << " cont=" << bytes (state.controller);
        else if (! state.raw.isEmpty())
            row << "  split=NO raw=" << bytes (state.raw);
    }
    if (slot.bypassed)
        row << "  [bypassed]";
    return row;
}

juce::StringArray banner (const juce::File& file)
{
    return { {}, juce::String::repeatedString ("=", 68), "FILE    " + file.getFullPathName() };
}

// Streams text exactly as it is, line by line: every line of it already ends with "\n". The text
// is walked once as UTF-8 bytes (indexing a String by character would cost time in its length),
// and each line goes out as it is met, so that a tree of a million values is never held twice.
void streamText (const juce::String& text, const Stream& stream)
{
    const char* start = text.toRawUTF8();
    const char* const end = start + text.getNumBytesAsUTF8();
    while (start < end)
    {
        const auto* newline = static_cast<const char*> (std::memchr (start, '\n', (size_t) (end - start)));
        const auto* lineEnd = newline != nullptr ? newline : end;
        stream (juce::StringArray (juce::String::fromUTF8 (start, (int) (lineEnd - start))));
        start = newline != nullptr ? newline + 1 : end; // a final line without "\n" gets one, as every line does
    }
}

bool dumpsValueTree (const Host& host) { return host.dumpsValueTree; }

// The value tree of one file: its lines go to stream as they are met; the decision holds a refusal.
Decision dumpTree (const juce::File& file, const Host& host, const Stream& stream)
{
    if (! host.dumpsValueTree)
        return refusal (juce::String ("--tree is only supported for ") + hostWhere (dumpsValueTree)->extension);
    TreeNode tree;
    juce::String error;
    TreeReadFault fault;
    if (! readValueTreeFile (file, tree, error, fault))
    {
        // A file that cannot be read says why; a stream that is well formed but too large for
        // the limits says so; anything else is no value tree at all.
        return refusal (namingFile (fault == TreeReadFault::unreadableFile ? error
                                    : fault == TreeReadFault::overLimit   ? "ValueTree exceeds a safety limit: " + error
                                                                          : juce::String ("ValueTree parse failed"),
                                    file));
    }
    stream (juce::StringArray (juce::String()));
    streamText (describeValueTree (tree, 0, treeDumpLevels), stream);
    return {};
}

} // namespace

juce::String fitColumn (const juce::String& text, int width, ColumnFit fit)
{
    // A text that fills the column would run into the next one: a name is cut, with a mark; a
    // number or a key is kept whole. Either way one blank stands before the next column.
    if (text.length() < width)
        return text.paddedRight (' ', width);
    if (fit == ColumnFit::keepWhole)
        return text + " ";
    return text.substring (0, juce::jmax (0, width - 2)) + juce::String::fromUTF8 ("\xe2\x80\xa6") + (width >= 2 ? " " : "");
}

juce::StringArray formatTextDump (const RackReadResult& read)
{
    const auto& session = read.session;
    juce::StringArray lines;
    lines.add ("READ    " + statusName (read.status));
    auto formatLine = "FORMAT  " + session.sourceFormat + "   app=" + session.sourceApp;
    if (session.sourceVersion.isNotEmpty())
        formatLine << " ver=" << session.sourceVersion;
    lines.add (formatLine);
    if (session.sampleRate > 0.0 || session.bufferSize > 0 || session.inputDevice.isNotEmpty())
        lines.add ("DEVICE  in=" + session.inputDevice + "  out=" + session.outputDevice + "  "
                   + juce::String (session.sampleRate) + " Hz / " + juce::String (session.bufferSize) + " smp");

    int stripsInUse = 0;
    for (const auto& strip : session.strips)
        for (const auto& slot : strip.plugins)
            if (slot.occupied)
            {
                ++stripsInUse;
                break;
            }
    lines.add ("RACK    " + juce::String (session.strips.size()) + " strips (" + juce::String (stripsInUse) + " in use), "
               + juce::String (session.countPlugins()) + " plugins, " + juce::String (session.snapshots.size()) + " snapshots");
    if (session.capacityStrips >= 1 && session.capacitySlots >= 1)
        lines.add ("CAPACITY " + juce::String (session.capacityStrips) + " strips x " + juce::String (session.capacitySlots) + " slots");
    else
        lines.add (juce::String::fromUTF8 ("CAPACITY variable/unconfirmed \xe2\x80\x94 current session occupancy is not a host limit"));

    lines.add ({});
    lines.add ("  IDX  NAME                 I/O   SLOTS");
    for (const auto& strip : session.strips)
    {
        bool occupied = false;
        for (const auto& slot : strip.plugins)
            occupied = occupied || slot.occupied;
        if (! occupied && strip.name.isEmpty())
            continue;
        lines.add ("  " + fitColumn (juce::String (strip.index), 5, ColumnFit::keepWhole)
                   + fitColumn (strip.name.isEmpty() ? juce::String ("-") : strip.name, 21)
                   + fitColumn (juce::String (strip.inputChannels) + "/" + juce::String (strip.outputChannels), 6, ColumnFit::keepWhole));
        for (int position = 0; position < strip.plugins.size(); ++position)
            if (strip.plugins.getReference (position).occupied)
                lines.add (slotRow (strip.plugins.getReference (position), position));
    }

    if (! session.snapshots.isEmpty())
    {
        lines.add ({});
        lines.add ("SNAPSHOTS");
        for (const auto& snapshot : session.snapshots)
            lines.add ("  " + fitColumn (juce::String (snapshot.number), 6, ColumnFit::keepWhole) + (snapshot.name.isEmpty() ? juce::String ("-") : snapshot.name));
    }
    if (! session.notes.isEmpty())
    {
        lines.add ({});
        lines.add ("NOTES");
        for (const auto& note : session.notes)
            lines.add ("  " + fitColumn (fidelityText (note.fidelity), 9, ColumnFit::keepWhole) + fitColumn (note.code, 22, ColumnFit::keepWhole)
                       + note.text);
    }
    return lines;
}

Decision dumpFile (const juce::File& file, bool tree, bool manifest, const juce::File& exportDirectory, const Stream& stream)
{
    // The banner is out before the file is looked at: reading it may take long.
    if (! manifest)
        stream (banner (file));
    if (file.isDirectory())
        return refusal (folderNotFileError (file));
    if (! file.existsAsFile())
        return refusal (fileNotFoundError (file));
    const auto* host = hostForFile (file);
    if (host == nullptr)
    {
        const auto extension = file.getFileExtension();
        return refusal ("unrecognised extension: " + (extension.isEmpty() ? juce::String ("(none)") : extension) + " ("
                        + inputKindsRead() + "): " + file.getFullPathName());
    }
    if (tree)
        return dumpTree (file, *host, stream);

    const auto read = host->read (file);
    if (! read.ok)
        return refusal (read.error);
    Decision decided;
    if (manifest)
    {
        decided.add (buildManifestJson (read.session));
        return decided;
    }
    decided.add (formatTextDump (read));
    if (! isGiven (exportDirectory))
        return decided;
    // The listing is out before the export, which may take long.
    stream (decided.lines);
    if (const auto exported = exportStates (read.session, exportDirectory); ! exported)
        return refusal (exported.message());
    noteOutputWritten (exportDirectory);
    Decision done;
    done.add (juce::String());
    done.add ("EXPORT  plugin states -> " + exportDirectory.getFullPathName());
    return done;
}

Decision runDump (const CommandLineOptions& options, const Stream& stream)
{
    // Each export is all or nothing; several inputs into one folder could not be: a refusal of a
    // later one would leave the earlier ones' files.
    if (isGiven (options.exportStates) && options.inputs.size() > 1)
        return refusal ("--export-states takes one input file (" + juce::String (options.inputs.size())
                        + " were given); export each on its own");
    int failures = 0;
    for (const auto& word : options.inputs)
    {
        // Each file's lines are out before the next file is read.
        const auto decided = dumpFile (resolveArgument (word), options.tree, options.manifest, options.exportStates, stream);
        stream (decided.lines);
        if (decided.failed)
            ++failures;
    }
    Decision end;
    end.add (juce::String());
    end.failed = failures > 0;
    return end;
}

} // namespace vornconv::app
