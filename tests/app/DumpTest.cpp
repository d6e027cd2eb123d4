#include "RackBuilders.h"
#include "TestSupport.h"

#include "app/DumpMain.h"
#include "app/HostRegistry.h"

#include <gtest/gtest.h>
#include <juce_data_structures/juce_data_structures.h>

using namespace vornconv;
using vorntest::invoke;
using vorntest::plugin;

namespace
{

const juce::String banner = juce::String::repeatedString ("=", 68);

TEST (DetectFormat, ByLowerCasedExtensionOnly)
{
    struct Case { const char* name; const char* format; };
    const Case cases[] = {
        { "/x/a.ksn", "vorn.ksn" }, { "/x/a.KSN", "vorn.ksn" }, { "/x/b.Sprk", "waves.sprk" },
        { "/x/c.rack2", "liveprofessor.rack2" }, { "/x/.rack2", "liveprofessor.rack2" },
        { "/x/d.RPP", "reaper.rpp" }, { "/x/a.txt", "" }, { "/x/noext", "" }, { "/x/a.", "" },
        { "/x/a.ksn.bak", "" }, { "/x/a.emo", "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (app::detectFormat (juce::File (c.name)), c.format) << c.name;
}

// A name that does not fit is cut with a mark, a number or a key kept whole; either keeps one blank
// before the next column.
TEST (FitColumn, CutsWithAMarkOrKeepsWholeAndPadsByCharacters)
{
    EXPECT_EQ (app::fitColumn ("123456", 5), juce::String::fromUTF8 ("123\xe2\x80\xa6 "));
    EXPECT_EQ (app::fitColumn ("12345", 5), juce::String::fromUTF8 ("123\xe2\x80\xa6 "));
    EXPECT_EQ (app::fitColumn ("123456", 5, app::ColumnFit::keepWhole), "123456 ");
    EXPECT_EQ (app::fitColumn ("12345", 5, app::ColumnFit::keepWhole), "12345 ");
    EXPECT_EQ (app::fitColumn ("1234", 5, app::ColumnFit::keepWhole), "1234 ");
    EXPECT_EQ (app::fitColumn ("1234", 5), "1234 ");
    EXPECT_EQ (app::fitColumn ("12", 5), "12   ");
    EXPECT_EQ (app::fitColumn (juce::String::fromUTF8 ("킥드럼"), 5), juce::String::fromUTF8 ("킥드럼  "));
    EXPECT_EQ (app::fitColumn (juce::String::fromUTF8 ("가나다라마바"), 5), juce::String::fromUTF8 ("가나다\xe2\x80\xa6 "));
    EXPECT_EQ (app::fitColumn ("", 3), "   ");
}

// A strip name longer than its column no longer runs into the I/O column.
TEST (TextDump, ALongStripNameStaysApartFromTheNextColumnThroughTheProgram)
{
    vorntest::TempFolder tmp;
    const auto scene = tmp.file ("long.ksn");
    const auto text = juce::File (VORN_EXAMPLES_DIR "/stage-left.ksn").loadFileAsString();
    ASSERT_TRUE (scene.replaceWithText (text.replace ("name=\"Bass DI\"", "name=\"Genesis_voice_MIXING2\"")));
    const auto run = vorntest::runVornconvBinary ({ scene.getFullPathName().toStdString() });
    EXPECT_EQ (run.exitCode, 0) << run.out;
    EXPECT_TRUE (run.outLines().contains (juce::String::fromUTF8 ("  3    Genesis_voice_MIXIN\xe2\x80\xa6 1/2   "))) << run.out;
}

TEST (TextDump, ListsTheSessionLineByLine)
{
    RackReadResult read;
    read.ok = true;
    read.status = 2;
    auto& s = read.session;
    s.sourceFormat = "waves.sprk";
    s.sourceApp = "SuperRack";
    s.sampleRate = 44100.5;
    s.bufferSize = 0;
    s.inputDevice = "In";
    s.outputDevice = "Out";

    RackStrip unnamedEmpty;                 // counted, not listed
    unnamedEmpty.index = 0;
    unnamedEmpty.plugins.add (PluginRef());
    RackStrip namedEmpty;                   // listed, not in use
    namedEmpty.index = 1;
    namedEmpty.name = juce::String::fromUTF8 ("보컬");
    RackStrip busy;
    busy.index = 123456;
    busy.inputChannels = 1;
    busy.outputChannels = 2;
    auto none = plugin ("VST3", "Gate", "Acme");
    none.bypassed = true;
    auto split = plugin ("VST3", "0123456789012345678901234567890123456789", "Vendor");
    split.state.encoding = PluginStateEncoding::juceVst3Xml;
    split.state.component.setSize (3);
    auto raw = plugin ("AU", "AUEQ", "Apple");
    raw.state.encoding = PluginStateEncoding::hostSpecific;
    raw.state.raw.setSize (17);
    auto unknown = plugin ("VST3", "X", "Y");
    unknown.state.encoding = (PluginStateEncoding) 9;
    busy.plugins.add (none, PluginRef(), split, raw, unknown);
    s.strips.add (unnamedEmpty, namedEmpty, busy);
    s.snapshots.add ({ 3, "Show", {} });
    s.snapshots.add ({ 4, {}, {} });
    s.notes.add (Fidelity::dropped, "strip.colour", "no colours");
    s.notes.add ((Fidelity) 7, "x", "y");

    const juce::StringArray expected {
        "READ    partial (writer blocked)",
        "FORMAT  waves.sprk   app=SuperRack",
        "DEVICE  in=In  out=Out  44100.5 Hz / 0 smp",
        "RACK    3 strips (1 in use), 4 plugins, 2 snapshots",
        juce::String::fromUTF8 ("CAPACITY variable/unconfirmed \xe2\x80\x94 current session occupancy is not a host limit"),
        "",
        "  IDX  NAME                 I/O   SLOTS",
        juce::String::fromUTF8 ("  1    보컬                   2/2   "),
        // What does not fit its column is cut with a mark, one blank before the next column.
        "  123456 -                    1/2   ",
        "         [0] Gate                              Acme                  VST3    [bypassed]",
        juce::String::fromUTF8 ("         [2] 01234567890123456789012345678901\xe2\x80\xa6 Vendor                VST3  juce-vst3-xml  split=OK comp=3B cont=0B"),
        "         [3] AUEQ                              Apple                 AU    host-specific  split=NO raw=17B",
        "         [4] X                                 Y                     VST3  ?",
        "",
        "SNAPSHOTS",
        "  3     Show",
        "  4     -",
        "",
        "NOTES",
        "  DROPPED  strip.colour          no colours",
        "  ?        x                     y",
    };
    EXPECT_EQ (app::formatTextDump (read), expected);

    // The DEVICE line depends on rate, buffer and input device only; the version joins FORMAT.
    s.sampleRate = 0;
    s.inputDevice.clear();
    s.sourceVersion = "7";
    s.capacityStrips = 64;
    s.capacitySlots = 8;
    read.status = 5;
    const auto lines = app::formatTextDump (read);
    EXPECT_EQ (lines[0], "READ    ?");
    EXPECT_EQ (lines[1], "FORMAT  waves.sprk   app=SuperRack ver=7");
    EXPECT_EQ (lines[2], "RACK    3 strips (1 in use), 4 plugins, 2 snapshots");
    EXPECT_EQ (lines[3], "CAPACITY 64 strips x 8 slots");
    s.bufferSize = 256;
    EXPECT_EQ (app::formatTextDump (read)[2], "DEVICE  in=  out=Out  0 Hz / 256 smp");
}

juce::StringArray args (std::initializer_list<juce::String> words)
{
    juce::StringArray a;
    for (const auto& w : words)
        a.add (w);
    return a;
}

TEST (DumpFile, RefusalsPrintOneLineAfterTheBanner)
{
    vorntest::TempFolder tmp;
    const auto text = tmp.file ("notes.txt");
    const auto noext = tmp.file ("noext");
    const auto scene = tmp.file ("s.ksn");
    const auto empty = tmp.file ("empty.rack2");
    const auto truncated = tmp.file ("trunc.rack2");
    const auto session = tmp.file ("a.sprk");
    for (const auto& f : { text, noext, scene, empty, session })
        ASSERT_TRUE (f.replaceWithText (f == empty ? "" : "x"));
    juce::MemoryBlock cut;
    cut.loadFromHexString ("410001017000");
    ASSERT_TRUE (truncated.replaceWithData (cut.getData(), cut.getSize()));

    struct Case { juce::StringArray args; juce::File file; juce::String error; };
    const Case cases[] = {
        { args ({ tmp.file ("missing.ksn").getFullPathName() }), tmp.file ("missing.ksn"),
          "ERROR   file not found: " + tmp.file ("missing.ksn").getFullPathName() },
        { args ({ tmp.folder.getFullPathName() + "/" }), tmp.folder, "ERROR   a folder, not a file: " + tmp.folder.getFullPathName() },
        // An extension no reader takes is refused naming the ones read and the file.
        { args ({ text.getFullPathName() }), text, "ERROR   unrecognised extension: .txt (" + app::inputKindsRead() + "): " + text.getFullPathName() },
        { args ({ noext.getFullPathName() }), noext, "ERROR   unrecognised extension: (none) (" + app::inputKindsRead() + "): " + noext.getFullPathName() },
        { args ({ "--tree", scene.getFullPathName() }), scene, "ERROR   --tree is only supported for .rack2" },
        { args ({ "--tree", text.getFullPathName() }), text, "ERROR   unrecognised extension: .txt (" + app::inputKindsRead() + "): " + text.getFullPathName() },
        { args ({ "--tree", empty.getFullPathName() }), empty, "ERROR   ValueTree parse failed (in " + empty.getFullPathName() + ")" },
        { args ({ "--tree", truncated.getFullPathName() }), truncated, "ERROR   ValueTree parse failed (in " + truncated.getFullPathName() + ")" },
        { args ({ session.getFullPathName() }), session,
          "ERROR   could not distinguish SuperRack Performer from SoundGrid: no such table: main.info (in " + session.getFullPathName() + ")" },
        { args ({ scene.getFullPathName() }), scene, "ERROR   XML parse failed (in " + scene.getFullPathName() + ")" },
    };
    for (const auto& c : cases)
    {
        const auto inv = invoke (c.args);
        EXPECT_EQ (inv.status, 1) << c.error;
        EXPECT_EQ (inv.lines, args ({ "", banner, "FILE    " + c.file.getFullPathName(), c.error, "" })) << c.error;
    }

    // The manifest leaves the banner out; a later good file still runs after a failed one.
    auto inv = invoke (args ({ "--manifest", tmp.file ("missing.ksn").getFullPathName() }));
    EXPECT_EQ (inv.lines, args ({ "ERROR   file not found: " + tmp.file ("missing.ksn").getFullPathName(), "" }));

    // An export that the tree or the manifest would silently drop is refused before anything runs.
    inv = invoke (args ({ "--manifest", "--export-states", tmp.file ("out").getFullPathName(), scene.getFullPathName() }));
    EXPECT_EQ (inv.status, 1);
    EXPECT_EQ (inv.lines, args ({ "ERROR   --manifest is not an option of --export-states; it goes with a dump (no operation)" }));
    EXPECT_FALSE (tmp.file ("out").exists());
}

TEST (DumpFile, TreePrintsTheValueTree)
{
    vorntest::TempFolder tmp;
    juce::ValueTree root ("LiveProfessorProjectFile");
    root.setProperty ("version", 2, nullptr);
    juce::ValueTree chain ("Chain");
    chain.setProperty ("name", "Kick\nDrum", nullptr);
    root.appendChild (chain, nullptr);
    const auto file = tmp.file ("p.rack2");
    {
        juce::FileOutputStream out (file);
        root.writeToStream (out);
    }
    // Both flags: the tree wins and the banner is left out.
    const auto inv = invoke (args ({ "--tree", "--manifest", file.getFullPathName() }));
    EXPECT_EQ (inv.status, 0);
    EXPECT_EQ (inv.lines, args ({ "", "LiveProfessorProjectFile  [version=2]", "  Chain  [name=Kick", "Drum]", "" }));

    // A wide tree prints in time linear in its text: 150,000 nodes are a few megabytes of lines.
    juce::ValueTree wide ("Root");
    for (int i = 0; i < 150000; ++i)
        wide.appendChild (juce::ValueTree ("N"), nullptr);
    const auto wideFile = tmp.file ("wide.rack2");
    {
        juce::FileOutputStream out (wideFile);
        wide.writeToStream (out);
    }
    const auto wideDump = invoke (args ({ "--tree", "--manifest", wideFile.getFullPathName() }));
    EXPECT_EQ (wideDump.status, 0);
    ASSERT_EQ (wideDump.lines.size(), 150000 + 3);
    EXPECT_EQ (wideDump.lines[1], "Root");
    EXPECT_EQ (wideDump.lines[150001], "  N");
}

} // namespace
