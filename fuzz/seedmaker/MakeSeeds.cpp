// Writes the seed corpus of every fuzz target: small, valid inputs made with the project's own
// builders and writers and the test fixtures, so that the fuzzers start from the shapes the
// readers accept whole. Usage: fuzz_make_seeds <repository root> <seed folder>

#include "RackBuilders.h"
#include "ReaperFixtures.h"
#include "SelectionSource.h"
#include "SprkFixture.h"

#include "app/HostRegistry.h"
#include "model/AudioUnitState.h"
#include "model/JsonWriter.h"
#include "model/ParameterSnapshot.h"
#include "model/Vst3State.h"
#include "rapp/RappSelection.h"
#include "rapp/RappConversionPlan.h"
#include "rapp/Vst3ModuleIndex.h"
#include "readers/LiveProfessorRack2Reader.h"
#include "readers/ReaperRppText.h"
#include "readers/ValueTreeReader.h"
#include "readers/SuperRackSprkReader.h"
#include "readers/VornKsnReader.h"
#include "writers/VornKsnWriter.h"

#include <juce_data_structures/juce_data_structures.h>
#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

using namespace vornconv;
using vorntest::bytesOf;
using vorntest::fourCc;

namespace
{

juce::File seedRoot;
juce::File repoRoot;
int written = 0;

void seed (const char* target, const char* name, const void* data, size_t size)
{
    const auto file = seedRoot.getChildFile (target).getChildFile (name);
    file.getParentDirectory().createDirectory();
    juce::FileOutputStream out (file);
    if (! out.openedOk() || ! out.setPosition (0) || ! out.truncate().wasOk() || ! out.write (data, size))
    {
        std::fprintf (stderr, "cannot write %s\n", file.getFullPathName().toRawUTF8());
        std::exit (1);
    }
    ++written;
}

void seed (const char* target, const char* name, const juce::MemoryBlock& bytes)
{
    seed (target, name, bytes.getData(), bytes.getSize());
}

void seed (const char* target, const char* name, const juce::String& text)
{
    seed (target, name, text.toRawUTF8(), text.getNumBytesAsUTF8());
}

void seedFile (const char* target, const char* name, const juce::File& file)
{
    juce::MemoryBlock bytes;
    if (! file.loadFileAsData (bytes))
    {
        std::fprintf (stderr, "cannot read %s\n", file.getFullPathName().toRawUTF8());
        std::exit (1);
    }
    seed (target, name, bytes);
}

//==============================================================================
// Property lists: an AudioUnit class-info dictionary, and one with every value kind, in both forms.
std::pair<juce::MemoryBlock, juce::MemoryBlock> plistForms (plist_t root)
{
    char* xml = nullptr;
    char* bin = nullptr;
    uint32_t xmlSize = 0, binSize = 0;
    plist_to_xml (root, &xml, &xmlSize);
    plist_to_bin (root, &bin, &binSize);
    std::pair<juce::MemoryBlock, juce::MemoryBlock> forms { juce::MemoryBlock (xml, xmlSize), juce::MemoryBlock (bin, binSize) };
    plist_to_xml_free (xml);
    plist_to_bin_free (bin);
    plist_free (root);
    return forms;
}

plist_t classInfo()
{
    auto dict = plist_new_dict();
    plist_dict_set_item (dict, "type", plist_new_uint (fourCc ("aufx")));
    plist_dict_set_item (dict, "subtype", plist_new_uint (fourCc ("Dly1")));
    plist_dict_set_item (dict, "manufacturer", plist_new_uint (fourCc ("Acme")));
    plist_dict_set_item (dict, "version", plist_new_uint (65536));
    plist_dict_set_item (dict, "name", plist_new_string ("Untitled"));
    plist_dict_set_item (dict, "jucePluginState", plist_new_data ("\x01\x02\x03\x04", 4));
    return dict;
}

plist_t everyKind()
{
    auto dict = classInfo();
    auto array = plist_new_array();
    plist_array_append_item (array, plist_new_real (0.25));
    plist_array_append_item (array, plist_new_bool (1));
    plist_array_append_item (array, plist_new_date (600000000, 0));
    plist_array_append_item (array, plist_new_uid (3));
    plist_array_append_item (array, plist_new_string (u8"키 ü"));
    auto inner = plist_new_dict();
    plist_dict_set_item (inner, "negative", plist_new_uint ((uint64_t) -5));
    plist_dict_set_item (inner, "empty", plist_new_array());
    plist_array_append_item (array, inner);
    plist_dict_set_item (dict, "data", array);
    return dict;
}

void propertyListSeeds()
{
    const auto [auXml, auBin] = plistForms (classInfo());
    const auto [allXml, allBin] = plistForms (everyKind());
    seed ("property_list", "class-info.xml", auXml);
    seed ("property_list", "class-info.bplist", auBin);
    seed ("property_list", "every-kind.xml", allXml);
    seed ("property_list", "every-kind.bplist", allBin);

    juce::String error;
    for (const auto& [name, plist] : { std::pair { "reaper-xml.bin", auXml }, std::pair { "reaper-binary.bin", auBin } })
    {
        juce::MemoryBlock wrapper;
        if (! audioUnit::buildReaperState (plist, wrapper, error))
        {
            std::fprintf (stderr, "AudioUnit wrapper: %s\n", error.toRawUTF8());
            std::exit (1);
        }
        seed ("audio_unit_state", name, wrapper);
    }
    // The shapes REAPER saves: an instrument with 34 outputs and a preset name, an effect whose
    // sidechain pair is unconnected, and one routed to other track channels.
    using vorntest::makeAudioUnitWrapper;
    using vorntest::sequentialMasks;
    seed ("audio_unit_state", "reaper-instrument.bin", makeAudioUnitWrapper ({}, sequentialMasks (34), auXml, "Freeze 1"));
    seed ("audio_unit_state", "reaper-sidechain-unconnected.bin", makeAudioUnitWrapper ({ 1, 2, 0, 0 }, sequentialMasks (2), auBin));
    seed ("audio_unit_state", "reaper-routed.bin", makeAudioUnitWrapper ({ 4, 8 }, { 4, 8 }, auBin, "No Autogain"));
    seed ("audio_unit_state", "descriptor.txt", juce::String ("AudioUnit:Effects/aufx,Dly1,Acme"));
}

//==============================================================================
void vst3Seeds()
{
    seed ("vst3_container", "juce-state.bin", vst3::buildJuceVst3State (bytesOf ("COMP"), bytesOf ("CTRL")));
    seed ("vst3_container", "juce-state-component-only.bin", vst3::buildJuceVst3State (bytesOf ("component bytes"), {}));

    const auto withController = vst3::buildSuperRackPreset ("ED57BD725C60467EA64DD2F400758B6F", bytesOf ("ABC"), bytesOf ("xy"));
    const auto withoutController = vst3::buildSuperRackPreset ("0123456789abcdef0123456789ABCDEF", bytesOf ("state"), {});
    seed ("vst3_text", "superrack-preset.txt", withController);
    seed ("vst3_text", "superrack-preset-crlf.txt", withoutController.replace ("\n", "\r\n\r\n") + "\r\n");
    seed ("vst3_text", "memory-block-3.txt", juce::String ("3.gI1X"));
    seed ("vst3_text", "memory-block-empty.txt", juce::String ("0."));
    seed ("vst3_text", "memory-block-40.txt", bytesOf ("0123456789012345678901234567890123456789").toBase64Encoding());

    // The decoded preset wrappers: the chunk list at base 45.
    for (const auto& [name, text] : { std::pair { "superrack-blob-2.bin", withController },
                                      std::pair { "superrack-blob-1.bin", withoutController } })
    {
        const auto preset = vst3::parseSuperRackPreset (text);
        if (! preset.ok)
        {
            std::fprintf (stderr, "SuperRack preset: %s\n", preset.error.toRawUTF8());
            std::exit (1);
        }
        seed ("vst3_container", name, preset.blob);
    }

    using vorntest::makeWrapper;
    using vorntest::programTail;
    seed ("reaper_vst3_state", "stereo.bin", makeWrapper (934538646u, 2, 2, 0, "COMP", "CONT", programTail()));
    seed ("reaper_vst3_state", "sidechain.bin", makeWrapper (7u, 4, 2, 65535, "component", "", programTail (2)));
    seed ("reaper_vst3_state", "short-tail.bin", makeWrapper (0x12345678u, 1, 4, 68, "C", "controller", std::string ("\0\0\0\0", 4)));
    seed ("reaper_vst3_state", "saved.bin", makeWrapper (934538646u, 2, 2, vorntest::reaperMarkerFull, "T", "", vorntest::reaperSavedTail()));
    seed ("reaper_vst3_state", "saved-zero.bin",
          makeWrapper (1397572658u, 4, 2, vorntest::reaperMarkerZero, "component", "ctl", vorntest::reaperSavedTail ("Program 1")));
    seed ("reaper_vst3_state", "sidechain-unconnected.bin",
          vorntest::makeWrapperWithMasks (7u, { 1, 2, 0, 0 }, vorntest::sequentialMasks (2), vorntest::reaperMarkerFull, "component", "",
                                          vorntest::reaperSavedTail()));

    seed ("parameter_snapshot", "three.bin", parameterState::encode ({ 0.25f, 1.0f, 0.0f }, 0));
    seed ("parameter_snapshot", "empty-keyed.bin", parameterState::encode ({}, 0x0102030405060708LL));
}

//==============================================================================
void textSeeds()
{
    seed ("strict_xml", "declaration-comments.xml",
          juce::String ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- head -->\n<a x=\"1\" y='&amp;&#65;&#x42;'>"
                        "<b/><c>t&lt;&gt;&quot;&apos;</c><![CDATA[raw <text>]]></a>\n<!-- tail -->\n"));
    seed ("strict_xml", "plist-doctype.xml",
          juce::String ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\"><dict><key>k</key>"
                        "<integer>1</integer></dict></plist>\n"));
    seed ("strict_xml", "nested.xml", juce::String (u8"<r><s><t><u><v name=\"킥\">ü</v></u></t></s></r>"));

    seed ("utf8_text", "mixed.txt", juce::String (u8"Kick 킥 ü € 𝄞 \t\r\n"));
    seed ("utf8_text", "edges.bin", juce::MemoryBlock ("\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", 19));
    seed ("utf8_text", "malformed.bin", juce::MemoryBlock ("a\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82", 12));

    seed ("bounded_json", "values.json",
          juce::String (u8"{\"a\": [1, -2, 3.5, -0.25e-3, 1E+2, true, false, null], \"s\": \"q\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9 킥\", "
                        "\"o\": {\"n\": {}}, \"big\": 123456789012345678}"));
    seed ("bounded_json", "array.json", juce::String ("[[[\"x\"], {\"y\": [0]}], \"\\u0007\"]"));
    // What only the strict parse refuses, and what no JSON parse should take.
    seed ("bounded_json", "repeated-key.json", juce::String ("{\"a\": 1, \"b\": {\"c\": 2, \"c\": 3}}"));
    seed ("bounded_json", "two-documents.json", juce::String ("{\"a\": [1, 2]} {\"b\": 3}\n"));
    seed ("bounded_json", "leading-zero.json", juce::String ("[01, -0, 0.5e-0, 1.]"));
    seed ("bounded_json", "escapes.json", juce::String ("[\"\\ud83c\\udfb8\", \"\\ud83c\", \"\\u0000\", \"\\q\", 'x']"));
    seed ("bounded_json", "wide-numbers.json",
          juce::String ("[9223372036854775807, -9223372036854775808, 9223372036854775808, 1e308, 1e309, -2147483649]"));
}

//==============================================================================
// The bundled example scene, and what the scene writer makes of it.
void sessionWriterSeeds()
{
    const auto example = repoRoot.getChildFile ("examples/stage-left.ksn");
    seedFile ("vorn_ksn", "stage-left.ksn", example);
    seedFile ("strict_xml", "stage-left.ksn", example);

    rapp::Vst3ModuleIndex index;
    juce::String error;
    if (! index.loadFactoryCatalog (repoRoot.getChildFile ("examples/stage-left-catalog.tsv"), error))
    {
        std::fprintf (stderr, "example catalog: %s\n", error.toRawUTF8());
        std::exit (1);
    }
    seedFile ("factory_catalog", "stage-left-catalog.tsv", repoRoot.getChildFile ("examples/stage-left-catalog.tsv"));

    const auto source = readVornKsn (example);
    const juce::TemporaryFile scene (".ksn");
    const auto plan = rapp::inspect (source, app::hostOf (rapp::targetVornScene)->rules, index, nullptr);
    rapp::WriteOptions options;
    options.output = scene.getFile();
    const auto sceneResult = rapp::writeVornKsn (source, index, plan, options);
    if (sceneResult.ok)
        seedFile ("vorn_ksn", "written.ksn", scene.getFile());
    else
        std::fprintf (stderr, "note: no written scene seed: %s\n", sceneResult.error.toRawUTF8());

    scene.getFile().deleteFile();
}

void reaperSeeds()
{
    const juce::String cid = "ED57BD725C60467EA64DD2F400758B6F";
    const auto project = vorntest::oneTrackProject (cid);
    seed ("reaper_rpp", "one-track.rpp", project);

    // A project as REAPER itself saves it.
    seed ("reaper_rpp", "host-saved.rpp", vorntest::hostSavedProject (cid));
    seed ("reaper_rpp", "one-track-crlf.rpp", project.replace ("\n", "\r\n"));

    // AudioUnits as REAPER saves them: an instrument (AUi) with 34 outputs and a preset name, an
    // effect whose sidechain pair is unconnected, and one routed to channels 3/4.
    auto auUnit = [] (int fx, const char* header, const char* type, const char* subtype, const juce::MemoryBlock& wrapper,
                      const char* preset = "")
    {
        juce::StringArray lines;
        appendReaperBase64Lines (lines, wrapper, "        ");
        return juce::String ("      BYPASS 0 0 0\n      <AU ") + header + " \"" + preset + "\" " + juce::String (fourCc (type)) + " "
             + juce::String (fourCc (subtype)) + " " + juce::String (fourCc ("Acme")) + "\n" + lines.joinIntoString ("\n")
             + "\n      >\n      FLOATPOS 0 0 0 0\n      FXID {5E1C0A11-0000-4000-8000-00000000000" + juce::String (fx) + "}\n";
    };
    using vorntest::makeAudioUnitWrapper;
    using vorntest::sequentialMasks;
    seed ("reaper_rpp", "host-saved-audio-units.rpp",
          "<REAPER_PROJECT 0.1 \"6.81/OSX64\" 1700000000\n  SAMPLERATE 48000 0 0\n"
          "  <TRACK {0D6B2C1E-0000-4000-8000-000000000001}\n    NAME Keys\n    NCHAN 34\n    <FXCHAIN\n      SHOW 0\n"
          + auUnit (1, "\"AUi: Synth One (Acme) (34ch)\" \"Acme: Synth One\"", "aumu", "Syn1",
                    makeAudioUnitWrapper ({}, sequentialMasks (34), vorntest::auClassInfo ("aumu", "Syn1", "Acme"), "Freeze 1"), "Freeze 1")
          + auUnit (2, "\"AU: Comp Two (Acme)\" \"Acme: Comp Two\"", "aufx", "Cmp2",
                    makeAudioUnitWrapper ({ 1, 2, 0, 0 }, sequentialMasks (2), vorntest::auClassInfo ("aufx", "Cmp2", "Acme")))
          + "    >\n  >\n  <TRACK {0D6B2C1E-0000-4000-8000-000000000002}\n    NAME Bus\n    NCHAN 4\n    <FXCHAIN\n"
          + auUnit (3, "\"AU: Bus Three (Acme)\" \"Acme: Bus Three\"", "aufx", "Bus3",
                    makeAudioUnitWrapper ({ 4, 8 }, { 4, 8 }, vorntest::auClassInfo ("aufx", "Bus3", "Acme")))
          + "    >\n  >\n>\n");

    // Text as real machines hold it: a leading byte-order mark, and NUL bytes in a name and after
    // the root, which refuse the file.
    const auto text = project.toStdString();
    const auto withNulAfter = [&text] (const std::string& after)
    {
        const auto at = text.find (after) + after.size();
        return text.substr (0, at) + std::string (1, '\0') + text.substr (at);
    };
    const auto seedBytes = [] (const char* target, const char* name, const std::string& bytes)
    { seed (target, name, bytes.data(), bytes.size()); };
    seedBytes ("reaper_rpp", "byte-order-mark.rpp", "\xEF\xBB\xBF" + text);
    seedBytes ("reaper_rpp", "nul-in-name.rpp", withNulAfter ("NAME \"Ki"));
    seedBytes ("reaper_rpp", "nul-after-root.rpp", text + std::string (1, '\0'));

    seed ("reaper_cache", "vstplugins.ini",
          juce::String ("[vstcache]\r\nFabFilter_Pro-Q_4.vst3=0000000000000000,934538646{" + cid + ",Pro-Q 4 (FabFilter)\r\n"
                        "Comp.vst3=00A1,4000000000{0123456789abcdef0123456789ABCDEF,Comp (Vendor)\r\n"
                        "New.vst3=00A3,42{00112233445566770011223344556677,Gate (Other)!!!VSTi  \r\n"
                        "Old.dylib=00,5{" + cid + ",VST2\r\n"));
    // REAPER writes names as plug-ins report them: 8-bit bytes in rows that are skipped and in
    // .vst3 rows, whose class ids then lose their REAPER identity; a leading byte-order mark.
    const std::string proQRow = "FabFilter_Pro-Q_4.vst3=0000000000000000,934538646{" + cid.toStdString() + ",Pro-Q 4 (FabFilter)\r\n";
    seedBytes ("reaper_cache", "8-bit-rows.ini",
               "[vstcache]\r\nMicroTonicVST.vst=00A0,1397572658,\xB5Tonic (Sonic Charge)!!!VSTi\r\n"
               "UAD_Precision_Reflection_Engine.vst=00A1,1,UAD Precision Reflection Engine\xC5 (Universal Audio, Inc.)\r\n" + proQRow
               + "MicroTonic.vst3=00A2,1397572659{56534D54546F6E696300000000000001,\xB5Tonic (Sonic Charge)\r\n"
                 "\xB5Gate.vst3=00A3,44{00112233445566770011223344556677,Gate (Other)\r\n");
    seedBytes ("reaper_cache", "byte-order-mark.ini", "\xEF\xBB\xBF" + proQRow);
    seed ("factory_catalog", "rows.tsv",
          juce::String (cid + "\tPro-Q 4\tFabFilter\t4.0\t/opt/vst3/FabFilter Pro-Q 4.vst3\n"
                        "0123456789abcdef0123456789ABCDEF\tComp\tVendor\t1.0\t/p/Comp.vst3\t0\r\n"
                        "\n00112233445566770011223344556677\tGate\tOther\t2.1\t/p/Gate.vst3\t1\r"));
    seed ("module_info", "moduleinfo.json",
          juce::String ("{ \"Name\": \"X\", \"Version\": \"1.0\", \"Factory Info\": { \"Vendor\": \"Maker\" }, \"Classes\": [ "
                        "{ \"CID\": \"" + cid + "\", \"Category\": \"Audio Module Class\", \"Name\": \"Pro-Q 4\", "
                        "\"Vendor\": \"FabFilter\", \"Version\": \"4.0\", \"Sub Categories\": [\"Fx\", \"EQ\"], }, "
                        "{ \"CID\": \"0123456789abcdef0123456789ABCDEF\", \"Category\": \"Component Controller Class\" }, "
                        "{ \"CID\": \"00112233445566770011223344556677\", \"Category\": \"Audio Module Class\", \"Name\": \"Gate\" }, ], }"));
    seed ("bounded_json", "moduleinfo.json", juce::String ("{ \"Classes\": [ { \"CID\": \"" + cid + "\", \"Name\": \"Pro-Q 4\" } ] }"));
}

//==============================================================================
// LiveProfessor: a project tree laid out as the host saves it, with and without the converter's
// metadata node and clean snapshot.
juce::ValueTree node (const char* type, std::initializer_list<std::pair<const char*, juce::var>> properties = {},
                      std::initializer_list<juce::ValueTree> children = {})
{
    juce::ValueTree n (type);
    for (const auto& [name, value] : properties)
        n.setProperty (name, value, nullptr);
    for (const auto& child : children)
        n.appendChild (child, nullptr);
    return n;
}

juce::ValueTree plugin (juce::int64 uid, const char* typeId, const char* name, const juce::MemoryBlock& chunk)
{
    auto parameters = node ("parameters", { { "P0", 0.25 }, { "P1", 1.0 } });
    return node ("Plugin", { { "pluginUid", uid }, { "pluginTypeId", typeId }, { "pluginTypeName", name } }, {
        node ("ProcessorSettingsContainer", { { "id", uid } },
              { node ("processorState", { { "enabled", true }, { "bypassed", false }, { "audioMute", false } }) }),
        node ("Plugin", {}, { node ("PluginSnapshot", { { "chunkData", juce::var (chunk) }, { "SnapshotIdTag", uid } }, { parameters }) }) });
}

juce::ValueTree chain (juce::int64 id, const char* name, int inputs, std::initializer_list<juce::ValueTree> plugins,
                       std::initializer_list<std::pair<juce::int64, const char*>> order)
{
    auto processorOrder = node ("ProcessorOrder");
    for (const auto& [uid, type] : order)
        processorOrder.appendChild (node ("plug", { { "id", uid }, { "type", type } }), nullptr);
    return node ("Chain", {}, {
        node ("ChainSettings", { { "ChainColour", "ff336699" }, { "ChainInputCount", inputs }, { "ChainOutputCount", 2 }, { "SideChainCount", 0 } },
              { node ("ProcessorSettingsContainer", { { "id", id }, { "name", name } },
                      { node ("processorState", { { "inputGain", 1.0 }, { "outputGain", 0.5 }, { "audioMute", false },
                                                  { "isolate", false }, { "bypassed", false }, { "enabled", true } }) }),
                processorOrder }),
        node ("ChainPlugins", {}, plugins),
        node ("ChainSnapshotList", {}, { node ("ChainSnapshot", { { "name", "A" } }) }) });
}

juce::ValueTree point (juce::int64 outNode, juce::int64 outChannel, juce::int64 inNode, juce::int64 inChannel)
{
    return node ("outputs", { { "nodeId", outNode }, { "channelId", outChannel } },
                 { node ("point", { { "outputNodeId", outNode }, { "outputChannelId", outChannel }, { "inputNodeId", inNode },
                                    { "inputChannelId", inChannel }, { "isMidi", false } }) });
}

juce::ValueTree liveProfessorProject()
{
    const auto auChunk = vorntest::auClassInfo ("aufx", "Dly1", "Acme");
    const auto vst3Chunk = vst3::buildJuceVst3State (bytesOf ("COMP"), bytesOf ("CTRL"));
    return node ("LiveProfessorProjectFile", { { "appVersion", "2.5.1" } }, {
        node ("AudioMidiHardware", {}, { node ("IOdeviceProperties", { { "inputDeviceName", "MADI In" }, { "outputDeviceName", "MADI Out" } }) }),
        node ("projectSettings", { { "BufferSize", 128 } }),
        node ("Chains", {}, {
            chain (100, "Vox", 2, { plugin (7001, "VST3-Comp-1a2b3c4d", "Comp", vst3Chunk) }, { { 7001, "VST3-Comp-1a2b3c4d" } }),
            chain (200, u8"킥", 1, { plugin (7002, "AudioUnit-Delay-ab", "Delay", auChunk) }, { { 7002, "AudioUnit-Delay-ab" } }) }),
        node ("GlobalSnapshot", {}, { node ("AudioPatch", {}, { point (1, 0, 100, 0), point (1, 1, 100, 1), point (100, 0, 2, 0),
                                                                point (100, 1, 2, 1), point (1, 2, 200, 0), point (200, 0, 2, 2) }) }) });
}

juce::MemoryBlock streamOf (const juce::ValueTree& tree)
{
    juce::MemoryOutputStream out;
    tree.writeToStream (out);
    return out.getMemoryBlock();
}

void liveProfessorSeeds()
{
    const auto project = liveProfessorProject();
    seed ("live_professor_rack2", "project.rack2", streamOf (project));

    // Every value kind of the stream form.
    juce::Array<juce::var> list { 1, juce::var ("two"), juce::var (juce::Array<juce::var> { 3.5 }) };
    const auto kinds = node ("Kinds", { { "i", 42 }, { "t", true }, { "f", false }, { "d", -0.5 }, { "s", u8"킥" },
                                        { "l", (juce::int64) 1 << 40 }, { "a", list }, { "b", juce::var (bytesOf ("\x01\x00\x02")) },
                                        { "u", juce::var::undefined() }, { "n", -70000 } },
                             { node ("Child"), node ("Child", { { "x", "" } }) });
    seed ("value_tree", "kinds.bin", streamOf (kinds));
    seed ("value_tree", "project.rack2", streamOf (project));

    // The converter's own shape: metadata node and the marked clean snapshot.
    auto withSnapshots = project.createCopy();
    withSnapshots.appendChild (node ("GlobalSnapshots", {}, { node ("GlobalSnapshot", { { "GSname", "Scene 1" } }) }), nullptr);
    const auto bytes = streamOf (withSnapshots);
    TreeNode converted;
    juce::String error;
    if (! readValueTreeBytes (bytes.getData(), bytes.getSize(), converted, error))
    {
        std::fprintf (stderr, "LiveProfessor project: %s\n", error.toRawUTF8());
        std::exit (1);
    }
    rapp::DeploymentProfile profile;
    profile.strips = 2;
    profile.slots = 1;
    profile.ioInputs = 2;
    profile.ioOutputs = 2;
    PluginBinding a;
    a.chainIndex = 0;
    a.slotIndex = 0;
    a.runtimeId = 7001;
    PluginBinding b;
    b.chainIndex = 1;
    b.slotIndex = 0;
    b.runtimeId = 7002;
    juce::MemoryOutputStream out;
    if (markConverterCleanSnapshot (converted, error) && appendConverterMetadata (converted, { a, b }, profile, "", error)
        && writeValueTree (converted, out))
        seed ("live_professor_rack2", "converted.rack2", out.getMemoryBlock());
    else
        std::fprintf (stderr, "note: no converted LiveProfessor seed: %s\n", error.toRawUTF8());

    seed ("live_professor_catalog", "Plugins.xml",
          juce::String ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PROPERTIES>\n  <VALUE name=\"other\" val=\"1\"/>\n"
                        "  <VALUE name=\"KnownPluginList\">\n    <KNOWNPLUGINS>\n"
                        "      <PLUGIN format=\"VST3\" name=\"EQ Test\" manufacturer=\"Maker\" file=\"/x/EQ.vst3\" uniqueId=\"beb1ab47\" "
                        "version=\"1.0\" numInputs=\"2\" numOutputs=\"2\" uid=\"6d1d17dd\"/>\n"
                        "      <PLUGIN format=\"AudioUnit\" name=\"Delay\" manufacturer=\"Maker\" version=\"1\" "
                        "file=\"AudioUnit:Effects/aufx,Dly1,Acme\" numInputs=\"0\" numOutputs=\"2\" uniqueId=\"1234\" uid=\"5\"/>\n"
                        "      <PLUGIN format=\"VST\" name=\"Old\" manufacturer=\"Maker\" file=\"/x/Old.vst\" uniqueId=\"1\" uid=\"1\"/>\n"
                        "    </KNOWNPLUGINS>\n  </VALUE>\n</PROPERTIES>\n"));
}

//==============================================================================
void selectionSeeds()
{
    const juce::TemporaryFile sourceFile (".ksn");
    sourceFile.getFile().replaceWithText ("abc");
    const auto source = vornfuzz::selectionSource (sourceFile.getFile());
    const auto report = rapp::buildSelectionReportJson (source, vornfuzz::selectionCapacity(), vornfuzz::selectionTarget);
    sourceFile.getFile().deleteFile();
    if (! report.contains (vornfuzz::selectionSourceSha256))
    {
        std::fprintf (stderr, "selection report lacks the source digest: %s\n", report.toRawUTF8());
        std::exit (1);
    }
    seed ("rapp_selection", "report.json", report);
    seed ("bounded_json", "selection-report.json", report);

    // A hand-edited selection: the sidechained plug-in and its source channel kept, moved slots.
    const auto edited = juce::String ("{\"schema\": \"") + rapp::selectionSchema + "\", \"target\": \"reaper\", \"sourceSha256\": \""
                      + vornfuzz::selectionSourceSha256 + "\", \"targetStrips\": 3, \"targetSlots\": 4, \"channels\": ["
                      "{\"sourceIndex\": 0, \"targetIndex\": 2, \"plugins\": [{\"sourceSlot\": 1, \"targetSlot\": 0}, "
                      "{\"sourceSlot\": 0, \"targetSlot\": 3, \"selected\": true}]}, "
                      "{\"sourceIndex\": 4, \"targetIndex\": 0, \"plugins\": [{\"sourceSlot\": 2, \"targetSlot\": 1}, "
                      "{\"sourceSlot\": 0, \"selected\": false}]}, "
                      "{\"sourceIndex\": 6, \"targetIndex\": 1, \"plugins\": [{\"sourceSlot\": 0, \"targetSlot\": 0}]}, "
                      "{\"sourceIndex\": 2, \"selected\": false}]}";
    seed ("rapp_selection", "edited.json", edited);

    // The report with a repeated key, text after it, and a renamed channel.
    seed ("rapp_selection", "repeated-key.json", report.replaceFirstOccurrenceOf ("\"targetIndex\": 0,", "\"targetIndex\": 0, \"targetIndex\": 2,"));
    seed ("rapp_selection", "trailing.json", report + "\n}");
    seed ("rapp_selection", "renamed.json", report.replaceFirstOccurrenceOf ("\"Ch 3\"", "\"Bass\""));
}

//==============================================================================
// SuperRack sessions made the way the reader tests make them, with small pages to stay small.
const char* const eqPreset = "VlNU\nMwEAAABFRDU3QkQ3MjVDNjA0NjdFQTY0REQyRjQwMDc1OEI2RjUAAAAAAAAAQUJDeHlMaXN0AgAAAENvbXAwAAAAAAAAAAMAAAAAAAAAQ29udDMAAAAAAAAAAgAAAAAAAAA=";

void finishDatabase (vorntest::SprkFixture& f, const char* name)
{
    f.exec ("VACUUM;");
    f.close();
    seedFile ("superrack_sprk", name, f.file);
}

void startSmall (vorntest::SprkFixture& f)
{
    // The fixture has made its tables already; a vacuum at the end rewrites them in 512-byte pages.
    f.exec ("PRAGMA page_size=512;");
}

void superRackSeeds()
{
    {
        vorntest::SprkFixture f;
        startSmall (f);
        f.setTracks (2);
        f.exec ("INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1000,-1,'Kick');"
                "UPDATE chainer SET num_inputs=1,num_outputs=0 WHERE obj_id=1000;"
                "INSERT INTO snapshot(id,number,name,note) VALUES(4,3,'Verse','v');");
        f.inRoute (0, 0, 3);
        f.outRoute (0, 0, 5);
        f.inRoute (1, 0, 6);
        f.inRoute (1, 1, 7);
        f.param (1, 1, "-3.5");
        f.param (1, 2, "0.0");
        f.param (0, 7, "'x'");
        f.addPlug (1, 0, 0, "Pro-Q 3", "FabFilter");
        f.addState (1, eqPreset);
        f.addPlug (2, 1, 1, "Comp", "Acme", "'VS2S'", "''", "0", "1");
        f.addSidechain (2, "1,0,0,1000,0,0,0,0");
        f.addState (2, eqPreset, 1, 0);
        finishDatabase (f, "performer.sprk");
    }
    {
        vorntest::SprkFixture f;
        startSmall (f);
        f.makeSoundGrid();
        f.setTracks (1);
        f.inRoute (0, 0, 1, 1);
        f.addPlug (1, 0, 0, "Delay", "Acme", "'AUfx'", "'<plist/>'");
        f.setInfo (juce::String (superRackMetadata::headerV2) + "|0");
        finishDatabase (f, "soundgrid.sprk");
    }
}

} // namespace

int main (int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf (stderr, "usage: %s <repository root> <seed folder>\n", argv[0]);
        return 2;
    }
    repoRoot = juce::File (juce::String::fromUTF8 (argv[1]));
    seedRoot = juce::File (juce::String::fromUTF8 (argv[2]));

    propertyListSeeds();
    vst3Seeds();
    textSeeds();
    sessionWriterSeeds();
    reaperSeeds();
    liveProfessorSeeds();
    selectionSeeds();
    superRackSeeds();
    std::printf ("%d seeds written to %s\n", written, seedRoot.getFullPathName().toRawUTF8());
    return 0;
}
