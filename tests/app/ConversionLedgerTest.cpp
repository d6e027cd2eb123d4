#include "RackBuilders.h"
#include "SprkFixture.h"

#include "app/HostRegistry.h"
#include "app/Manifest.h"
#include "model/Vst3State.h"
#include "model/ParameterSnapshot.h"
#include "writers/ConversionLedger.h"
#include "writers/SuperRackSprkWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <string>
#include <tuple>

using namespace vornconv;

namespace
{

const juce::String proQ = "ED57BD725C60467EA64DD2F400758B6F";

// Every field the ledger accounts for, as its notes name them ("ledger." + field).
const std::vector<std::string> ledgerFields = {
    "sampleRate", "bufferSize", "inputDevice", "outputDevice", "strips",
    "strip.name", "strip.inputGainDb", "strip.outputGainDb", "strip.pan", "strip.muted", "strip.soloed", "strip.bypassed",
    "strip.inputChannels", "strip.outputChannels", "strip.routePatches", "strip.colour",
    "slot.name", "slot.vendor", "slot.bypassed", "slot.muted", "slot.sidechainSource", "slot.componentSha256",
    "slot.controllerSha256", "slot.parameterSha256", "slot.parameterValuesSha256", "slot.parameterMirrorComplete", "snapshots",
};

// One session rich in what a host may not hold: device names, vendors, complete parameter
// mirrors, colours, a plug-in name whose parentheses do not balance, an AudioUnit, and three
// strips (fewer than the sixteen channels a scene keeps active); with what every target needs
// to take it: the module index (with REAPER's identity of the class), LiveProfessor's list, a
// profile and a SuperRack host-save base.
struct RichSession
{
    vorntest::TempFolder temp;
    rapp::Vst3ModuleIndex index;
    rapp::LiveProfessorPluginCatalog catalog;
    rapp::SideInput pluginList;    // the catalog, as LiveProfessor's record loads it
    rapp::DeploymentProfile profile { 3, 8, 16, 16 };
    vorntest::SprkFixture base { "base.sprk" };
    RackReadResult source = vorntest::completeRead ("vorn.ksn");

    RichSession()
    {
        vorntest::makeSprkTemplate (base);
        base.close();

        const auto bundle = temp.file ("ProQ3.vst3");
        bundle.createDirectory();
        auto module = vorntest::installedModule (proQ, "Pro-Q 3", bundle);
        module.vendor = "FabFilter";
        module.version = "3.0";
        module.reaperId = 934538646u;
        module.reaperName = "Pro-Q 3 (FabFilter)";
        module.reaperKey = "ProQ3.vst3";
        index.entries.add (module);
        catalog.entries.add (vorntest::liveProfessorVst3 (module, 4, 2));
        catalog.entries.add (vorntest::liveProfessorAu ("Satt", "aufx", "Satt", "Acme", 0x5a17u));
        pluginList = catalog;

        auto& session = source.session;
        session.sampleRate = 48000.0;
        session.bufferSize = 128;
        session.inputDevice = "Stage In";
        session.outputDevice = "Stage Out";
        session.capacityStrips = 64;
        session.capacitySlots = 8;

        auto kick = stripRoutedFrom (0, "Kick", 1, 0);
        kick.hasColour = true;
        kick.colour = 0xff3366ccu;
        kick.outputGainDb = -1.5f;
        kick.plugins.add (proQSlot ("Pro-Q 3", "COMP-kick"));

        auto snare = stripRoutedFrom (1, "Snare", 2, 2);
        snare.hasColour = true;
        snare.colour = 0xff00aa00u;
        snare.plugins.add (proQSlot ("My EQ (old", "COMP-snare"));
        auto satt = vorntest::proven (vorntest::auSlot ("Satt", "aufx", "Satt", "Acme"));
        satt.vendor = "Acme";
        satt.uniqueId = 0x5a17u;
        satt.state.encoding = PluginStateEncoding::audioUnitPlist;
        satt.state.raw = vorntest::auClassInfo ("aufx", "Satt", "Acme");
        snare.plugins.add (satt);

        auto vocal = stripRoutedFrom (2, "Vocal", 2, 4);
        vocal.plugins.add (PluginRef());
        vocal.plugins.add (proQSlot ("Pro-Q 3", "COMP-vocal"));
        session.strips.add (kick, snare, vocal);
    }

    // A proven strip fed from physical inputs from on (one or two of them) to the outputs 0 and 1.
    static RackStrip stripRoutedFrom (int index, const juce::String& name, int inputs, int from)
    {
        auto s = vorntest::proven (vorntest::strip (index, name, inputs, 2));
        for (int c = 0; c < inputs; ++c)
            s.routePatches.add ({ true, c, from + c });
        for (int c = 0; c < 2; ++c)
            s.routePatches.add ({ false, c, c });
        s.routeInL = from;
        s.routeInR = inputs == 2 ? from + 1 : -1;
        s.routeOutL = 0;
        s.routeOutR = 1;
        return s;
    }

    static PluginRef proQSlot (const juce::String& name, const std::string& component)
    {
        auto p = vorntest::proven (vorntest::vst3Slot (proQ, name, "FabFilter"));
        p.state = vorntest::vst3State (PluginStateEncoding::vst3Container, component, "CTRL");
        p.state.parameters = parameterState::encode ({ 0.25f, 1.0f, 0.5f }, 0);
        p.state.parameterMirrorComplete = true;
        return p;
    }

    rapp::WriteOptions optionsFor (const app::Host& host, const juce::File& output) const
    {
        rapp::WriteOptions options;
        options.output = output;
        options.profile = &profile;
        if (host.loadSideInput != nullptr)
            options.sideInput = &pluginList;
        if (host.target == rapp::targetSuperRackPerformer)
            options.templateFile = base.file;
        return options;
    }
};

//==============================================================================
// The fields of two manifests that differ, as the ledger names them, found from the manifests
// alone: floats within the read-back comparison's tolerances are equal, the routing is compared
// as a set of physical patches.

juce::var parsed (const RackSession& session)
{
    return juce::JSON::parse (app::buildManifestJson (session));
}

std::set<std::tuple<bool, int, int>> patchSet (const juce::var& strip)
{
    std::set<std::tuple<bool, int, int>> set;
    for (const auto& patch : *strip["routePatches"].getArray())
        if ((int) patch["physicalChannel"] >= 0)
            set.emplace (patch["direction"].toString() == "input", (int) patch["rackChannel"], (int) patch["physicalChannel"]);
    if (set.empty())
    {
        const auto summary = [&] (bool input, int rack, const char* key, bool stereoOnly)
        {
            const bool stereo = (int) strip[input ? "inputChannels" : "outputChannels"] >= 2;
            if ((int) strip[key] >= 0 && (stereo || ! stereoOnly))
                set.emplace (input, rack, (int) strip[key]);
        };
        summary (true, 0, "routeInL", false);
        summary (true, 1, "routeInR", true);
        summary (false, 0, "routeOutL", false);
        summary (false, 1, "routeOutR", true);
    }
    return set;
}

std::map<int, juce::var> byKey (const juce::var& array, const char* key)
{
    std::map<int, juce::var> items;
    for (const auto& item : *array.getArray())
        items.emplace ((int) item[key], item);
    return items;
}

std::set<std::string> differingFields (const RackSession& from, const RackSession& to)
{
    std::set<std::string> fields;
    const auto a = parsed (from), b = parsed (to);
    const double rateA = a["sampleRate"], rateB = b["sampleRate"];
    if (! ((rateA <= 0 && rateB <= 0) || std::abs (rateA - rateB) <= 0.001))
        fields.insert ("sampleRate");
    if (! (((int) a["bufferSize"] < 1 && (int) b["bufferSize"] < 1) || a["bufferSize"] == b["bufferSize"]))
        fields.insert ("bufferSize");
    for (const char* key : { "inputDevice", "outputDevice" })
        if (a[key] != b[key])
            fields.insert (key);

    const auto stripsA = byKey (a["strips"], "index"), stripsB = byKey (b["strips"], "index");
    for (const auto* side : { &stripsA, &stripsB })
        for (const auto& [index, strip] : *side)
            if ((side == &stripsA ? stripsB : stripsA).count (index) == 0)
                fields.insert ("strips");

    for (const auto& [index, x] : stripsA)
    {
        const auto found = stripsB.find (index);
        if (found == stripsB.end())
            continue;
        const auto& y = found->second;
        for (const char* key : { "name", "muted", "soloed", "bypassed", "inputChannels", "outputChannels" })
            if (x[key] != y[key])
                fields.insert (std::string ("strip.") + key);
        for (const char* key : { "inputGainDb", "outputGainDb", "pan" })
            if (! (std::abs ((double) x[key] - (double) y[key]) <= 0.0001))
                fields.insert (std::string ("strip.") + key);
        if (patchSet (x) != patchSet (y))
            fields.insert ("strip.routePatches");

        const auto slotsA = byKey (x["plugins"], "slot"), slotsB = byKey (y["plugins"], "slot");
        for (const auto& [slot, p] : slotsA)
        {
            const auto other = slotsB.find (slot);
            if (other == slotsB.end())
                continue;
            for (const char* key : { "name", "vendor", "bypassed", "muted", "sidechainSource", "componentSha256", "controllerSha256",
                                     "parameterSha256", "parameterValuesSha256", "parameterMirrorComplete" })
                if (p[key] != other->second[key])
                    fields.insert (std::string ("slot.") + key);
        }
    }

    // The snapshots and the colour, which the manifest leaves out.
    juce::StringArray snapshotsFrom, snapshotsTo;
    for (const auto& snapshot : from.snapshots)
        snapshotsFrom.add (snapshot.name);
    for (const auto& snapshot : to.snapshots)
        snapshotsTo.add (snapshot.name);
    if (snapshotsFrom != snapshotsTo)
        fields.insert ("snapshots");
    for (const auto& strip : from.strips)
        for (const auto& other : to.strips)
            if (other.index == strip.index
                && (strip.hasColour != other.hasColour || (strip.hasColour && strip.colour != other.colour)))
                fields.insert ("strip.colour");
    return fields;
}

int notesFor (const NoteList& notes, const std::string& field)
{
    int n = 0;
    for (const auto& note : notes)
        n += note.code == rapp::ledgerNoteCode (field) ? 1 : 0;
    return n;
}

} // namespace

// One rich session converted to each target: every field whose value differs between the
// source's manifest and the output's (and the colour) has exactly one note, the ledger's or the
// writer's own, and no field that kept its value has a ledger note. The plan's check lists a
// ledger note for every field that differs, since a plan prints none of the writer's notes. The
// check and the write leave the session they were given as it was read, whatever they make of
// it for their document and their proof: the ledger compares the output with it, and the
// convert prints what its notes say.
TEST (ConversionLedgerTargets, EveryFieldAConversionDidNotCarryHasExactlyOneNote)
{
    RichSession rich;
    const auto asRead = app::buildManifestJson (rich.source.session);
    const auto notesAsRead = rich.source.session.notes.size();
    // What each host holds differently from the rich session (the strips: a scene keeps sixteen;
    // the snapshots: the session has none, and every host but REAPER holds one).
    const std::map<rapp::Target, std::set<std::string>> expected = {
        { rapp::targetVornScene, { "strips", "strip.colour", "slot.name", "snapshots" } },
        { rapp::targetSuperRackPerformer, { "inputDevice", "outputDevice", "strip.colour", "slot.bypassed", "snapshots" } },
        // (A project gives every plug-in a parameter mirror, an AudioUnit's too.)
        { rapp::targetLiveProfessor, { "sampleRate", "strip.colour", "slot.name", "slot.vendor", "slot.parameterSha256",
                                       "slot.parameterValuesSha256", "slot.parameterMirrorComplete", "snapshots" } },
        { rapp::targetReaper, { "bufferSize", "inputDevice", "outputDevice", "strip.colour", "slot.parameterSha256",
                                "slot.parameterValuesSha256", "slot.parameterMirrorComplete" } },
    };

    for (const auto* each : app::hosts())
    {
        const auto& host = *each;
        SCOPED_TRACE (host.targetWord);
        const auto output = rich.temp.file (juce::String ("out") + host.extension);
        const auto options = rich.optionsFor (host, output);
        ASSERT_FALSE (host.missingFrom (options).has_value()) << host.missingFrom (options)->message;

        const auto plan = rapp::inspect (rich.source, host.rules, rich.index, options.profile, options.sideInput);
        const auto checked = host.check (rich.source, rich.index, plan, options);
        ASSERT_TRUE (checked.ok) << checked.error;
        const auto written = host.write (rich.source, rich.index, plan, options);
        ASSERT_TRUE (written.ok) << written.error;
        EXPECT_EQ (app::buildManifestJson (rich.source.session), asRead);
        EXPECT_EQ (rich.source.session.notes.size(), notesAsRead);
        ASSERT_NE (checked.compared, nullptr);
        ASSERT_NE (written.compared, nullptr);
        const auto read = host.read (output);
        ASSERT_TRUE (read.isComplete()) << read.error;

        const auto differing = differingFields (rich.source.session, read.session);
        EXPECT_EQ (differing, expected.at (host.target));

        const auto printed = rapp::unnotedLedger (written);
        for (const auto& field : ledgerFields)
        {
            SCOPED_TRACE (field);
            const bool differs = differing.count (field) > 0;
            const int byWriter = written.notedFields.contains (juce::String (field)) ? 1 : 0;
            if (differs)
            {
                EXPECT_EQ (notesFor (printed, field) + byWriter, 1);
                EXPECT_EQ (notesFor (checked.compared->ledger, field), 1);
            }
            else
            {
                EXPECT_EQ (notesFor (written.compared->ledger, field), 0);
                EXPECT_EQ (notesFor (checked.compared->ledger, field), 0);
            }
        }
        // The plan and the convert keep one ledger (a scene's snapshot is named after its file,
        // which only the convert knows); every note names its field's key.
        ASSERT_EQ (checked.compared->ledger.size(), written.compared->ledger.size());
        for (int i = 0; i < written.compared->ledger.size(); ++i)
        {
            const auto& note = written.compared->ledger[i];
            const auto outputName = host.target == rapp::targetVornScene ? output.getFileNameWithoutExtension() : juce::String ("?");
            EXPECT_EQ (note.text, checked.compared->ledger[i].text.replace ("the output's file name", outputName));
            EXPECT_TRUE (note.code.startsWith ("ledger.")) << note.code;
            const auto key = note.code.fromLastOccurrenceOf (".", false, false);
            EXPECT_TRUE (note.text.contains (" " + key + " ") || note.text.startsWith (key + " ") || note.text.startsWith (key + ":"))
                << note.text;
        }
        output.deleteFile();
    }
}

namespace
{

// The five conversions that changed a field without a note, in a sandbox of the program: the
// example scene, a SuperRack session of three strips of FabFilter plug-ins, what the program
// writes of it as a LiveProfessor project, the module index with REAPER's identities, and
// LiveProfessor's list and a parameter probe.
struct LedgerSandbox : vorntest::ProgramSandbox
{
    vorntest::SprkFixture session { "three.sprk" };
    juce::File bundle = root.file ("work/ProQ3.vst3");

    LedgerSandbox()
    {
        const auto example = juce::File (VORN_EXAMPLES_DIR "/stage-left.ksn").loadFileAsString();
        // The example with centred pans and no sidechain, as REAPER takes it; and with a plug-in
        // name whose parentheses do not balance.
        const auto plain = example.replace ("pan=\"-0.25\"", "pan=\"0.0\"").replace ("pan=\"0.5\"", "pan=\"0.0\"")
                               .replace ("sidechainSrc=\"1\"", "sidechainSrc=\"0\"");
        write ("plain.ksn", plain);
        write ("unbalanced.ksn", example.replace ("name=\"Gate One\"", "name=\"My EQ (old\""));
        const juce::File examples (VORN_EXAMPLES_DIR);
        write ("reaper.ini", examples.getChildFile ("stage-left-reaper.ini").loadFileAsString()
                                 + "ProQ3.vst3=0000000000000000,934538646{" + proQ + ",Pro-Q 3 (FabFilter)\n");
        bundle.createDirectory();
        write ("cat.tsv", examples.getChildFile ("stage-left-catalog.tsv").loadFileAsString() + proQ + "\tPro-Q 3\tFabFilter\t3.0\t"
                              + bundle.getFullPathName() + "\n");

        session.setTracks (3);
        for (int s = 0; s < 3; ++s)
        {
            session.exec ("INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(" + juce::String (1000 + s) + ",-1,'"
                          + juce::StringArray ({ "Kick", "Snare", "Vox" })[s] + "');");
            for (int c = 0; c < 2; ++c)
            {
                session.inRoute (s, c, 2 * s + c);
                session.outRoute (s, c, c);
            }
            session.addPlug (s + 1, s, 0, "Pro-Q 3", "FabFilter", "'VS2S'",
                             "'" + rapp::makeAdditionalInfo (proQ).replace ("\n", "'||char(10)||'") + "'");
            session.addState (s + 1, vst3::buildSuperRackPreset (proQ, juce::MemoryBlock ("ABC", 3), juce::MemoryBlock ("xy", 2)));
        }
        session.close();
        EXPECT_TRUE (session.file.copyFileTo (work.getChildFile ("three.sprk")));

        const auto uniqueId = juce::String::toHexString ((juce::int64) rapp::deriveUniqueId (proQ));
        const auto uid = juce::String::toHexString ((juce::int64) rapp::deriveUid (proQ));
        liveProfessorList().getParentDirectory().createDirectory();
        liveProfessorList().replaceWithText (
            "<PROPERTIES><VALUE name=\"KnownPluginList\"><KNOWNPLUGINS><PLUGIN format=\"VST3\" name=\"Pro-Q 3\" manufacturer=\"FabFilter\" "
            "version=\"3.0\" file=\"" + bundle.getFullPathName() + "\" numInputs=\"2\" numOutputs=\"2\" uniqueId=\"" + uniqueId
            + "\" uid=\"" + uid + "\"/></KNOWNPLUGINS></VALUE></PROPERTIES>");
        write ("probe.sh", "#!/bin/sh\nprintf 'VNPM\\t2\\nP\\t0\\t0.25\\nP\\t1\\t1\\n'\n");
        work.getChildFile ("probe.sh").setExecutePermission (true);
    }
};

juce::String utf8 (const char* text) { return juce::String::fromUTF8 (text); }

} // namespace

// Each of the five shows its note in the convert's output (after the writer's notes) and among
// the plan's findings, in the same words.
TEST (ConversionLedgerTargets, TheConvertAndThePlanSayWhatEachConversionDidNotCarry)
{
    LedgerSandbox box;
    const std::vector<std::string> reaper = { "reaper", "--profile", "16x8", "--io", "16x16", "--factory-catalog", "cat.tsv",
                                              "--reaper-cache", "reaper.ini" };
    const std::vector<std::string> reaperOfThree = { "reaper", "--profile", "3x8", "--io", "16x16", "--factory-catalog", "cat.tsv",
                                                     "--reaper-cache", "reaper.ini" };
    const std::vector<std::string> liveProfessor = { "liveprofessor", "--profile", "3x8", "--io", "16x16", "--factory-catalog", "cat.tsv",
                                                     "--plugin-probe", "probe.sh", "--parameter-cache", "cache" };
    const std::vector<std::string> vorn = { "vorn", "--factory-catalog", "cat.tsv" };
    struct Case
    {
        const char* label;
        std::vector<std::string> target;   // the target word and the options plan and convert share
        const char* input;
        const char* output;
        std::vector<std::pair<const char*, juce::String>> notes;   // code, text
    };
    // In order: the LiveProfessor project the third writes is the input of the second and the fourth.
    const std::vector<Case> cases = {
        { "scene to REAPER: the device names", reaper, "plain.ksn", "plain.rpp",
          { { "ledger.inputDevice", utf8 (u8"inputDevice not carried — REAPER projects store no inputDevice (source: Stage Interface)") },
            { "ledger.outputDevice", utf8 (u8"outputDevice not carried — REAPER projects store no outputDevice (source: Stage Interface)") } } },
        { "SuperRack to LiveProfessor: the vendors", liveProfessor, "three.sprk", "three.rack2",
          { { "ledger.slot.vendor",
              utf8 (u8"3 plug-ins: vendor not carried — LiveProfessor projects store no vendor (first: strip 0, slot 0, FabFilter)") } } },
        { "LiveProfessor to REAPER: the parameter mirrors", reaperOfThree, "three.rack2", "three.rpp",
          { { "ledger.slot.parameterSha256", utf8 (u8"3 plug-ins: parameterSha256 not carried — REAPER projects store no "
                                                   u8"parameterSha256 (first: strip 0, slot 0, Pro-Q 3)") },
            { "ledger.slot.parameterValuesSha256", utf8 (u8"3 plug-ins: parameterValuesSha256 not carried — REAPER projects store no "
                                                         u8"parameterValuesSha256 (first: strip 0, slot 0, Pro-Q 3)") },
            { "ledger.slot.parameterMirrorComplete", utf8 (u8"3 plug-ins: parameterMirrorComplete not carried — REAPER projects store "
                                                           u8"no parameterMirrorComplete (first: strip 0, slot 0, Pro-Q 3)") } } },
        { "LiveProfessor to Vorn Live: the colours, and the strips added", vorn, "three.rack2", "three.ksn",
          { { "ledger.strips", utf8 (u8"strips: 13 added — Vorn Live scenes hold 16 strips where the source has 3 (first: strip 3, Ch 4)") },
            { "ledger.strip.colour", utf8 (u8"3 strips: colour not carried — Vorn Live scenes store no colour (first: strip 0, ffff7b33)") } } },
        { "scene to Vorn Live: the plug-in name", vorn, "unbalanced.ksn", "renamed.ksn",
          { { "ledger.slot.name", utf8 (u8"1 plug-in: name replaced — Vorn Live scenes hold another value "
                                        u8"(first: strip 1, slot 2, My EQ (old → Gate One)") } } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        auto planArgs = std::vector<std::string> { "--plan" };
        planArgs.insert (planArgs.end(), c.target.begin(), c.target.end());
        planArgs.push_back (c.input);
        const auto plan = box.run (planArgs);
        EXPECT_EQ (plan.exitCode, 0) << plan.out;

        auto convertArgs = std::vector<std::string> { "--convert" };
        convertArgs.insert (convertArgs.end(), c.target.begin(), c.target.end());
        convertArgs.insert (convertArgs.end(), { "--output", c.output, c.input });
        const auto convert = box.run (convertArgs);
        ASSERT_EQ (convert.exitCode, 0) << convert.out;

        const auto planLines = plan.outLines();
        const auto convertLines = convert.outLines();
        for (const auto& [code, text] : c.notes)
        {
            EXPECT_TRUE (planLines.contains (rapp::formatIssueLine ({ rapp::severityWarning, code, text }))) << code << "\n" << plan.out;
            const int at = convertLines.indexOf ("WARNING    " + text);
            EXPECT_GE (at, 0) << code << "\n" << convert.out;
            // After the writer's own notes (every writer says that its read-back passed).
            int readBackPassed = -1;
            for (int i = 0; i < convertLines.size() && readBackPassed < 0; ++i)
                readBackPassed = convertLines[i].contains ("reread passed") ? i : -1;
            EXPECT_GT (at, readBackPassed) << convert.out;
        }
    }
}

namespace
{

// The plug-ins of a dump by strip index and slot position, as it prints them ("  1    Snare",
// then "         [2] Gate One   ...").
std::map<std::pair<int, int>, juce::String> dumpedPlugins (const juce::StringArray& lines)
{
    std::map<std::pair<int, int>, juce::String> plugins;
    int strip = -1;
    for (const auto& line : lines)
    {
        const auto text = line.trimStart();
        if (line.startsWith ("  ") && juce::CharacterFunctions::isDigit (line[2]))
            strip = text.getIntValue();
        else if (strip >= 0 && text.startsWith ("[") && text.contains ("] "))
            plugins[{ strip, text.substring (1).getIntValue() }] = text.fromFirstOccurrenceOf ("] ", false, false)
                                                                       .upToFirstOccurrenceOf ("  ", false, false);
    }
    return plugins;
}

} // namespace

// The ledger counts strips and slots as the dump does: the strip and slot it names first hold a
// plug-in in the dump of the input, the one it names where it names the plug-in.
TEST (ConversionLedgerTargets, ItsStripsAndSlotsAreTheDumpsNumbers)
{
    LedgerSandbox box;
    box.write ("stage-left.ksn", juce::File (VORN_EXAMPLES_DIR "/stage-left.ksn").loadFileAsString());
    const std::vector<std::vector<std::string>> plans = {
        // Without a factory catalog: the example's plug-ins lose their parameter mirrors in REAPER.
        { "--plan", "reaper", "--profile", "16x8", "--io", "16x16", "--reaper-cache", "reaper.ini", "stage-left.ksn" },
        { "--plan", "vorn", "--factory-catalog", "cat.tsv", "unbalanced.ksn" },
        { "--plan", "liveprofessor", "--profile", "3x8", "--io", "16x16", "--factory-catalog", "cat.tsv", "--plugin-probe", "probe.sh",
          "--parameter-cache", "cache", "three.sprk" },
    };
    int named = 0;
    for (const auto& args : plans)
    {
        SCOPED_TRACE (args.back());
        const auto dump = dumpedPlugins (box.run ({ args.back() }).outLines());
        ASSERT_FALSE (dump.empty());
        const auto plan = box.run (args);
        EXPECT_EQ (plan.exitCode, 0) << plan.out;
        int ledger = 0;
        for (const auto& line : plan.outLines())
        {
            if (! line.startsWith ("  WARNING ledger.slot.") || ! line.contains ("(first: strip "))
                continue;
            ++ledger;
            const auto place = line.fromFirstOccurrenceOf ("(first: strip ", false, false);
            const int strip = place.getIntValue();
            const int slot = place.fromFirstOccurrenceOf (", slot ", false, false).getIntValue();
            const auto found = dump.find ({ strip, slot });
            ASSERT_NE (found, dump.end()) << line;
            // A state's digests name the plug-in itself.
            const auto what = place.fromFirstOccurrenceOf (", slot ", false, false).fromFirstOccurrenceOf (", ", false, false);
            if (line.contains ("Sha256") || line.contains ("parameterMirrorComplete"))
            {
                EXPECT_EQ (what, found->second + ")") << line;
                ++named;
            }
        }
        EXPECT_GT (ledger, 0) << plan.out;
    }
    EXPECT_GT (named, 0);
}
