#include "writers/ReaperRppWriterInternal.h"

#include "RackBuilders.h"
#include "ReaperFixtures.h"
#include "TestSupport.h"

#include "model/AudioUnitState.h"
#include "model/ReaperVst3State.h"
#include "readers/ReaperRppReader.h"
#include "readers/ReaperRppText.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vornconv;
using namespace vornconv::rapp::reaperWriter;
using vorntest::bytesOf;
using vorntest::fourCc;
using vorntest::makeWrapper;
using vorntest::programTail;
using vorntest::stringOf;

namespace
{

constexpr juce::uint32 protoId = 934538646u;
const juce::String protoCid = "ED57BD725C60467EA64DD2F400758B6F";
const juce::String otherCid = "0123456789ABCDEF0123456789ABCDEF";

juce::MemoryBlock auPlist()
{
    return vorntest::auClassInfo ("aufx", "Satt", "Acme", "<key>data</key><data>AAEC</data>");
}

// The AudioUnit "Satt" with its ClassInfo state.
PluginRef sattSlot (const juce::String& vendor)
{
    auto au = vorntest::auSlot ("Satt", "aufx", "Satt", "Acme");
    au.vendor = vendor;
    au.state.encoding = PluginStateEncoding::audioUnitPlist;
    au.state.raw = auPlist();
    return au;
}

juce::StringArray linesOf (const char* text)
{
    auto lines = juce::StringArray::fromLines (text);
    if (! lines.isEmpty() && lines[lines.size() - 1].isEmpty())
        lines.remove (lines.size() - 1);
    return lines;
}

// A prototype track of the built-in shape: 4-in/2-out wrapper, one VST3 unit.
TrackPrototype makePrototype()
{
    TrackPrototype p;
    p.track = linesOf ("  <TRACK {AAABDE1A-5CB6-A84B-9FAD-D8341BB68D98}\n"
                       "    NAME \"\"\n"
                       "    VOLPAN 1 0 -1 -1 1\n"
                       "    MUTESOLO 0 0 0\n"
                       "    IPHASE 0\n"
                       "    PLAYOFFS 0 1\n"
                       "    REC 0 0 1 0 0 0 0 0\n"
                       "    NCHAN 2\n"
                       "    FX 1\n"
                       "    TRACKID {AAABDE1A-5CB6-A84B-9FAD-D8341BB68D98}\n"
                       "    MAINSEND 1 0\n"
                       "    <FXCHAIN\n"
                       "      SHOW 0\n"
                       "      BYPASS 0 0 0\n"
                       "      <VST \"VST3: Pro-Q 4 (FabFilter)\" \"FabFilter_Pro-Q_4.vst3\" 0 \"\" 934538646{ED57BD725C60467EA64DD2F400758B6F} \"\"\n"
                       "        AAAA\n"
                       "      >\n"
                       "      FXID {1CB0EB53-8D4C-3844-ABD8-3E0B85985EFB}\n"
                       "    >\n"
                       "  >\n");
    p.fxChain = { 11, 18 };
    p.unitFirst = 13;
    p.unitLast = 17;
    p.unit = copyRange (p.track, p.unitFirst, p.unitLast);
    p.hostId = protoId;
    p.cid = protoCid;
    juce::String error;
    EXPECT_TRUE (splitReaperVst3State (makeWrapper (protoId, 4, 2, 0, "PROTO", "", programTail()), protoId, p.state, error)) << error;
    return p;
}

PluginRef vst3Slot (const juce::String& cid, const std::string& comp, const juce::String& name, const juce::String& vendor)
{
    auto slot = vorntest::vst3Slot (cid, name, vendor);
    slot.state = vorntest::vst3State (PluginStateEncoding::none, comp, "CTRL");
    return slot;
}

juce::String joined (const juce::StringArray& lines)
{
    return lines.joinIntoString ("\n");
}

} // namespace

TEST (ReaperTrackBuilderText, Utf8HexAndLineHelpers)
{
    EXPECT_EQ (utf8Hex ({}), "-");
    EXPECT_EQ (utf8Hex ("Kick"), "4B69636B");
    EXPECT_EQ (utf8Hex (juce::String::fromUTF8 ("\xc3\xa9\xea\xb0\x80")), "C3A9EAB080");

    auto lines = linesOf ("A 1\n  NAME \"x\"\n  NAMEX 2\n  <B\n    <C\n    >\n  >\n");
    juce::String error;
    EXPECT_TRUE (replaceUniqueCommand (lines, "NAME", "NAME \"y\"", error));
    EXPECT_EQ (lines[1], "  NAME \"y\"");
    EXPECT_EQ (lines[2], "  NAMEX 2");
    EXPECT_FALSE (replaceUniqueCommand (lines, "VOLPAN", "VOLPAN 1", error));
    EXPECT_EQ (error, "REAPER template is missing VOLPAN");
    auto twice = linesOf ("FX 1\n  FX 0\n");
    EXPECT_FALSE (replaceUniqueCommand (twice, "FX", "FX 1", error));
    EXPECT_EQ (error, "REAPER template has multiple FX commands");

    const auto span = findUniqueBlock (lines, "<B", error);
    EXPECT_EQ (span.first, 3);
    EXPECT_EQ (span.last, 6);
    EXPECT_FALSE (findUniqueBlock (linesOf ("<B\n  <C\n  >\n"), "<B", error).isValid());
    EXPECT_EQ (error, "REAPER template is missing or has unbalanced <B block");
    EXPECT_FALSE (findUniqueBlock (lines, "<D", error).isValid());
    EXPECT_EQ (error, "REAPER template is missing or has unbalanced <D block");
    EXPECT_FALSE (findUniqueBlock (linesOf ("<B\n>\n<B\n>\n"), "<B", error).isValid());
    EXPECT_EQ (error, "REAPER template has multiple <B blocks");

    auto edited = linesOf ("a\nb\nc\nd\n");
    replaceRange (edited, 1, 2, copyRange (linesOf ("x\ny\nz\n"), 0, 2));
    EXPECT_EQ (joined (edited), "a\nx\ny\nz\nd");
    replaceRange (edited, 1, 0, juce::StringArray ("i"));
    EXPECT_EQ (joined (edited), "a\ni\nx\ny\nz\nd");
    EXPECT_TRUE (copyRange (edited, 3, 2).isEmpty());
}

TEST (ReaperTrackBuilderRouting, CanonicalRoutingTable)
{
    struct Case
    {
        const char* label;
        std::function<void (RackStrip&)> setUp;
        rapp::DeploymentProfile profile;
        int inFirst, inSpan;
        bool shared;
        int outFirst;
        const char* error;
    };
    auto patch = [] (RackStrip& s, bool in, int rack, int phys) { s.routePatches.add ({ in, rack, phys }); };
    const rapp::DeploymentProfile io { 2, 4, 8, 8 };
    const rapp::DeploymentProfile noIo { 2, 4, 0, 0 };
    const Case cases[] = {
        { "no route at all", [] (RackStrip&) {}, noIo, -1, 2, false, -1, nullptr },
        { "stereo patches 3/4", [&] (RackStrip& s) { s.routeInL = 3; s.routeInR = 4; patch (s, true, 0, 3); patch (s, true, 1, 4); }, io, 3, 2, false, -1, nullptr },
        { "shared mono from patches", [&] (RackStrip& s) { s.routeInL = s.routeInR = 3; patch (s, true, 0, 3); patch (s, true, 1, 3); }, io, 3, 1, true, -1, nullptr },
        { "shared mono from summary", [] (RackStrip& s) { s.routeInL = s.routeInR = 6; }, io, 6, 1, true, -1, nullptr },
        { "mono output summary", [] (RackStrip& s) { s.outputChannels = 1; s.routeOutL = 5; }, io, -1, 2, false, 5, nullptr },
        { "stereo output summary", [] (RackStrip& s) { s.routeOutL = 5; s.routeOutR = 6; }, io, -1, 2, false, 5, nullptr },
        { "patches 4 and 6", [&] (RackStrip& s) { patch (s, true, 0, 4); patch (s, true, 1, 6); }, io, 0, 0, false, 0,
          "REAPER writer requires adjacent ordered physical patches" },
        { "duplicate rack channel 0", [&] (RackStrip& s) { patch (s, true, 0, 4); patch (s, true, 0, 5); }, io, 0, 0, false, 0,
          "REAPER writer found duplicate rack-channel patches" },
        { "no patch on rack channel 0", [&] (RackStrip& s) { patch (s, true, 1, 4); patch (s, true, 1, 5); }, io, 0, 0, false, 0,
          "REAPER writer has no physical patch for rack channel 0" },
        { "one patch for two channels", [&] (RackStrip& s) { patch (s, true, 0, 4); }, io, 0, 0, false, 0,
          "REAPER writer requires exactly one physical patch per rack channel" },
        { "negative physical channel", [&] (RackStrip& s) { patch (s, false, 0, -1); patch (s, false, 1, 2); }, io, 0, 0, false, 0,
          "REAPER writer found an invalid physical patch" },
        { "summary disagrees", [&] (RackStrip& s) { s.routeInL = 2; patch (s, true, 0, 4); patch (s, true, 1, 5); }, io, 0, 0, false, 0,
          "REAPER writer route summary disagrees with physical patches" },
        { "gap in stereo summary", [] (RackStrip& s) { s.routeOutL = 2; s.routeOutR = 4; }, io, 0, 0, false, 0,
          "REAPER writer requires one mono route or one adjacent stereo route" },
        { "shared output is not allowed", [] (RackStrip& s) { s.routeOutL = s.routeOutR = 2; }, io, 0, 0, false, 0,
          "REAPER writer requires one mono route or one adjacent stereo route" },
        { "route without io", [] (RackStrip& s) { s.routeOutL = 0; s.routeOutR = 1; }, noIo, 0, 0, false, 0,
          "REAPER physical routing requires an explicit I/O profile" },
        { "input past io", [] (RackStrip& s) { s.routeInL = 7; s.routeInR = 8; }, io, 0, 0, false, 0,
          "REAPER input route exceeds the deployment I/O profile" },
        { "shared input on the last channel fits", [] (RackStrip& s) { s.routeInL = s.routeInR = 7; }, io, 7, 1, true, -1, nullptr },
        { "output past io", [] (RackStrip& s) { s.outputChannels = 1; s.routeOutL = 8; }, io, 0, 0, false, 0,
          "REAPER output route exceeds the deployment I/O profile" },
        { "three channels", [] (RackStrip& s) { s.inputChannels = 3; }, io, 0, 0, false, 0,
          "REAPER writer supports only mono or stereo strips" },
    };
    for (const auto& c : cases)
    {
        RackReadResult session;
        session.session.strips.add (vorntest::strip (0, "A"), vorntest::strip (1, "B"));
        RackStrip strip = vorntest::strip (1, "B");
        c.setUp (strip);
        CanonicalPhysicalRouting routing;
        juce::String error;
        const bool ok = canonicalRouting (session, strip, c.profile, routing, error);
        if (c.error != nullptr)
        {
            EXPECT_FALSE (ok) << c.label;
            EXPECT_EQ (error, c.error) << c.label;
            continue;
        }
        ASSERT_TRUE (ok) << c.label << ": " << error;
        EXPECT_EQ (routing.inputFirst, c.inFirst) << c.label;
        EXPECT_EQ (routing.inputSpan, c.inSpan) << c.label;
        EXPECT_EQ (routing.sharedMonoInput, c.shared) << c.label;
        EXPECT_EQ (routing.outputFirst, c.outFirst) << c.label;
    }
}

TEST (ReaperTrackBuilderRouting, SidechainSourceMustBeOneOtherExistingStrip)
{
    RackReadResult session;
    session.session.strips.add (vorntest::strip (0, "A"), vorntest::strip (1, "B"));
    const rapp::DeploymentProfile profile { 2, 4, 0, 0 };
    struct Case { std::vector<int> sources; int slot; const char* error; };
    const Case cases[] = {
        { { -1, 0 }, 1, nullptr },
        { { 0, 0 }, -1, "REAPER writer requires one valid non-self sidechain source per track" },
        { { 1 }, -1, "REAPER writer requires one valid non-self sidechain source per track" },
        { { 2 }, -1, "REAPER writer requires one valid non-self sidechain source per track" },
    };
    for (const auto& c : cases)
    {
        RackStrip strip = vorntest::strip (1, "B");
        for (const int source : c.sources)
        {
            auto slot = vst3Slot (protoCid, "C", "P", "V");
            slot.sidechainSource = source;
            strip.plugins.add (slot);
        }
        CanonicalPhysicalRouting routing;
        juce::String error;
        const bool ok = canonicalRouting (session, strip, profile, routing, error);
        EXPECT_EQ (ok, c.error == nullptr);
        EXPECT_EQ (error, c.error == nullptr ? juce::String() : juce::String (c.error));
        if (ok)
        {
            EXPECT_EQ (routing.sidechainSlot, c.slot);
            EXPECT_EQ (routing.sidechainSource, 0);
        }
    }
}

TEST (ReaperTrackBuilderState, ReplaceVstStateWritesSelfContainedLines)
{
    juce::MemoryBlock state;
    for (int i = 0; i < 1000; ++i)
        state.append ("\x01\xfe\x7f", 3);
    auto unit = linesOf ("      BYPASS 0 0 0\n"
                         "      <VST \"VST3: X\" \"x.vst3\" 0 \"\" 4294967295{ed57bd725c60467ea64dd2f400758b6f} \"\"\n"
                         "        old\n"
                         "        <NESTED\n"
                         "        >\n"
                         "      >\n"
                         "      FXID {x}\n");
    juce::uint32 id = 0;
    juce::String cid, error;
    ASSERT_TRUE (replaceVstState (unit, state, id, cid, error)) << error;
    EXPECT_EQ (id, 4294967295u);
    EXPECT_EQ (cid, protoCid);
    EXPECT_EQ (unit[0], "      BYPASS 0 0 0");
    EXPECT_EQ (unit[unit.size() - 2], "      >");
    EXPECT_EQ (unit[unit.size() - 1], "      FXID {x}");
    juce::MemoryOutputStream decoded;
    for (int i = 2; i < unit.size() - 2; ++i)
    {
        EXPECT_TRUE (unit[i].startsWith ("        ")) << i;
        const auto piece = unit[i].trim();
        EXPECT_LE (piece.length(), 128);
        juce::MemoryOutputStream one;
        ASSERT_TRUE (juce::Base64::convertFromBase64 (one, piece)) << i;
        EXPECT_EQ (juce::Base64::toBase64 (one.getData(), one.getDataSize()), piece) << "line " << i << " is not canonical";
        decoded.write (one.getData(), one.getDataSize());
    }
    EXPECT_EQ (stringOf (decoded.getMemoryBlock()), stringOf (state));

    struct Bad { const char* vst; const char* error; };
    const Bad bad[] = {
        { "<VST \"X\" {ED57BD725C60467EA64DD2F400758B6F}", "REAPER template VST line has no valid numeric host id" },
        { "<VST \"X\" 4294967296{ED57BD725C60467EA64DD2F400758B6F}", "REAPER template VST line has no valid numeric host id" },
        { "<VST \"X\" 12{ED57BD725C60467EA64DD2F400758B6}", "REAPER template VST line has no exact 32-hex CID" },
        { "<VST \"X\" 12", "REAPER template VST line has no exact 32-hex CID" },
        { "<VST \"X\" 12{ED57BD725C60467EA64DD2F400758B6G}", "REAPER template VST CID is not hexadecimal" },
    };
    for (const auto& b : bad)
    {
        auto lines = linesOf ((juce::String ("BYPASS 0 0 0\n") + b.vst + "\n  AAAA\n>\n").toRawUTF8());
        error.clear();
        EXPECT_FALSE (replaceVstState (lines, state, id, cid, error)) << b.vst;
        EXPECT_EQ (error, b.error) << b.vst;
    }
    auto unbalanced = linesOf ("<VST \"X\" 12{ED57BD725C60467EA64DD2F400758B6F}\n  AAAA\n");
    EXPECT_FALSE (replaceVstState (unbalanced, state, id, cid, error));
    EXPECT_EQ (error, "REAPER template VST block is unbalanced");
    auto two = linesOf ("<VST \"X\" 12{ED57BD725C60467EA64DD2F400758B6F}\n>\n<VST \"Y\" 1{ED57BD725C60467EA64DD2F400758B6F}\n>\n");
    EXPECT_FALSE (replaceVstState (two, state, id, cid, error));
    EXPECT_EQ (error, "REAPER v1 writer requires exactly one VST block");
    juce::StringArray empty;
    error.clear();
    EXPECT_FALSE (replaceVstState (empty, state, id, cid, error));
    EXPECT_TRUE (error.isNotEmpty());
}

// Builds two tracks from the prototype, puts them into a project and reads it back: the reader
// must grade it complete and give back every field the builder wrote.
TEST (ReaperTrackBuilderTrack, BuiltTracksReadBackStrictly)
{
    const auto prototype = makePrototype();
    rapp::Vst3ModuleEntry other;
    other.classId = otherCid;
    other.reaperId = 77u;
    other.reaperName = "Comp (Acme)";
    other.reaperKey = "Acme_Comp.vst3";

    RackReadResult source;
    auto kick = vorntest::strip (0, "Kick");
    kick.inputChannels = 1;
    kick.routeInL = 2;
    kick.outputGainDb = -6.0f;
    kick.pan = 0.25f;
    kick.muted = true;
    auto vox = vorntest::strip (1, juce::String::fromUTF8 ("Vox \xea\xb0\x80"));
    vox.routeInL = 3;
    vox.routeInR = 4;
    vox.routePatches.add ({ true, 0, 3 });
    vox.routePatches.add ({ true, 1, 4 });
    vox.outputChannels = 1;
    vox.routeOutL = 5;
    vox.soloed = true;
    vox.bypassed = true;
    vox.plugins.add (vst3Slot (protoCid, "EQSTATE", "Pro-Q 4", "FabFilter"));
    auto sidechained = vst3Slot (otherCid, "COMPSTATE", "Comp", {});
    sidechained.sidechainSource = 0;
    sidechained.bypassed = true;
    vox.plugins.add (sidechained);
    vox.plugins.add (PluginRef());
    vox.plugins.add (sattSlot ("Acme"));
    source.session.strips.add (kick, vox);

    const rapp::DeploymentProfile profile { 2, 4, 8, 8 };
    std::vector<SourcePlugin> sources;
    const auto& voxRef = source.session.strips.getReference (1);
    sources.push_back ({ 1, 0, &voxRef.plugins.getReference (0), nullptr, protoCid });
    sources.push_back ({ 1, 1, &voxRef.plugins.getReference (1), &other, otherCid });
    sources.push_back ({ 1, 3, &voxRef.plugins.getReference (3), nullptr, {} });

    juce::StringArray project ("<REAPER_PROJECT 0.1 \"7.65/macOS-arm64\"");
    juce::StringArray voxLines;
    for (const auto& strip : source.session.strips)
    {
        CanonicalPhysicalRouting routing;
        juce::StringArray track;
        juce::String error;
        ASSERT_TRUE (canonicalRouting (source, strip, profile, routing, error)) << error;
        ASSERT_TRUE (buildTrack (prototype, strip, routing, sources, track, error)) << error;
        project.addArray (track);
        if (strip.index == 1)
            voxLines = track;
    }
    project.add (">");

    const auto text = joined (voxLines);
    EXPECT_TRUE (text.contains ("\n    REC 0 1027 1 0 0 0 0 0\n")) << text;
    EXPECT_TRUE (text.contains ("\n    MAINSEND 0 0\n    HWOUT 1029 0 1 0 0 0 1024 -1:U -1\n")) << text;
    EXPECT_TRUE (text.contains ("\n    NCHAN 4\n    <EXT\n      VORN_CHANNEL_LAYOUT 2,1\n")) << text;
    EXPECT_TRUE (text.contains ("\n      VORN_PLUGIN_VENDOR_SLOT_1 -\n")) << text;
    EXPECT_TRUE (text.contains ("\n      VORN_SIDECHAIN_SLOT_1 0\n    >\n    AUXRECV 0 0 1 0 0 0 0 0 2 -1:U 31 -1 ''\n")) << text;
    EXPECT_TRUE (text.contains ("\n    FX 0\n")) << text;
    EXPECT_TRUE (text.contains ("<VST \"VST3: Comp (Acme)\" \"Acme_Comp.vst3\" 0 \"\" 77{" + otherCid + "} \"\"")) << text;
    EXPECT_TRUE (text.contains ("<AU \"AU: Satt (Acme)\" \"Acme: Satt\" \"\" ")) << text;
    EXPECT_FALSE (text.contains ("AAABDE1A")) << "the prototype's ids must not reach the output";
    const auto kickText = joined (copyRange (project, 1, project.size() - 1));
    EXPECT_TRUE (kickText.contains ("\n    VOLPAN 0.501187233627 -0.500000000000 -1 -1 1\n")) << kickText;
    EXPECT_TRUE (kickText.contains ("\n    REC 0 2 1 0 0 0 0 0\n")) << kickText;

    vorntest::TempFolder folder;
    const auto file = folder.file ("built.rpp");
    ASSERT_TRUE (file.replaceWithText (joined (project) + "\n"));
    const auto read = readReaperRpp (file);
    ASSERT_TRUE (read.ok) << read.error;
    for (const auto& note : read.session.notes)
        ADD_FAILURE() << note.code << " " << note.text;
    ASSERT_EQ (read.status, readComplete);
    ASSERT_EQ (read.session.strips.size(), 2);

    const auto& k = read.session.strips.getReference (0);
    EXPECT_EQ (k.name, "Kick");
    EXPECT_NEAR (k.outputGainDb, -6.0f, 1e-4);
    EXPECT_NEAR (k.pan, 0.25f, 1e-6);
    EXPECT_TRUE (k.muted);
    EXPECT_EQ (k.inputChannels, 1);
    EXPECT_EQ (k.routeInL, 2);
    EXPECT_TRUE (k.plugins.isEmpty());

    const auto& v = read.session.strips.getReference (1);
    EXPECT_EQ (v.name, vox.name);
    EXPECT_TRUE (v.soloed);
    EXPECT_TRUE (v.bypassed);
    EXPECT_EQ (v.routeInL, 3);
    EXPECT_EQ (v.routeInR, 4);
    EXPECT_EQ (v.outputChannels, 1);
    EXPECT_EQ (v.routeOutL, 5);
    ASSERT_EQ (v.plugins.size(), 4);
    EXPECT_EQ (v.plugins[0].classId, protoCid);
    EXPECT_EQ (stringOf (v.plugins[0].state.component), "EQSTATE");
    EXPECT_FALSE (v.plugins[0].bypassed);
    EXPECT_EQ (v.plugins[1].classId, otherCid);
    EXPECT_EQ (v.plugins[1].name, "Comp");
    EXPECT_EQ (v.plugins[1].vendor, "");
    EXPECT_EQ (stringOf (v.plugins[1].state.component), "COMPSTATE");
    EXPECT_EQ (stringOf (v.plugins[1].state.controller), "CTRL");
    EXPECT_EQ (v.plugins[1].sidechainSource, 0);
    EXPECT_TRUE (v.plugins[1].bypassed);
    EXPECT_FALSE (v.plugins[2].occupied);
    EXPECT_EQ (v.plugins[3].format, "AU");
    EXPECT_EQ (v.plugins[3].auSubtype, fourCc ("Satt"));
    EXPECT_EQ (stringOf (v.plugins[3].state.raw), stringOf (auPlist()));
}

TEST (ReaperTrackBuilderTrack, SharedMonoInputGetsItsMarker)
{
    const auto prototype = makePrototype();
    RackReadResult source;
    auto strip = vorntest::strip (0, "Gtr");
    strip.routeInL = strip.routeInR = 3;
    strip.routePatches.add ({ true, 0, 3 });
    strip.routePatches.add ({ true, 1, 3 });
    source.session.strips.add (strip);
    CanonicalPhysicalRouting routing;
    juce::StringArray track;
    juce::String error;
    ASSERT_TRUE (canonicalRouting (source, strip, { 1, 1, 4, 4 }, routing, error)) << error;
    ASSERT_TRUE (buildTrack (prototype, strip, routing, {}, track, error)) << error;
    const auto text = joined (track);
    EXPECT_TRUE (text.contains ("\n    REC 0 3 1 0 0 0 0 0\n")) << text;
    EXPECT_TRUE (text.contains ("\n      VORN_SHARED_MONO_INPUT 3\n")) << text;
    EXPECT_TRUE (text.contains ("\n    MAINSEND 1 0\n")) << text;
    EXPECT_FALSE (text.contains ("HWOUT")) << text;
    EXPECT_TRUE (text.contains ("\n    <FXCHAIN\n      SHOW 0\n    >\n")) << "an empty chain keeps only its header: " << text;
}

TEST (ReaperTrackBuilderTrack, RefusedUnits)
{
    const auto prototype = makePrototype();
    rapp::Vst3ModuleEntry quoted;
    quoted.classId = otherCid;
    quoted.reaperId = 5;
    quoted.reaperName = "Bad \"Name\"";
    quoted.reaperKey = "bad.vst3";
    rapp::Vst3ModuleEntry noId = quoted;
    noId.reaperName = "Fine";
    noId.reaperId = 0;

    const auto au = sattSlot ("Ac\"me");
    auto auSidechain = au;
    auSidechain.vendor = "Acme";
    auSidechain.sidechainSource = 0;

    struct Case { const char* label; PluginRef plugin; const rapp::Vst3ModuleEntry* entry; juce::String cid; const char* error; };
    const Case cases[] = {
        { "quote in cache name", vst3Slot (otherCid, "C", "P", "V"), &quoted, otherCid, "REAPER cache identity cannot be encoded for CID 0123456789ABCDEF0123456789ABCDEF" },
        { "no host id", vst3Slot (otherCid, "C", "P", "V"), &noId, otherCid,
          "REAPER cache has no numeric host ID for CID 0123456789ABCDEF0123456789ABCDEF of P (strip 1, slot 0): --reaper-cache supplies "
          "it (REAPER's reaper-vstplugins64.ini, with a row for the plug-in)" },
        { "no entry", vst3Slot (otherCid, "C", "P", "V"), nullptr, otherCid,
          "REAPER cache has no numeric host ID for CID 0123456789ABCDEF0123456789ABCDEF of P (strip 1, slot 0): --reaper-cache supplies "
          "it (REAPER's reaper-vstplugins64.ini, with a row for the plug-in)" },
        { "quote in AU vendor", au, nullptr, {}, "REAPER AudioUnit identity contains unsafe text" },
        { "AU as sidechain target", auSidechain, nullptr, {}, "REAPER AudioUnit sidechain wrapper has not been host-verified" },
    };
    for (const auto& c : cases)
    {
        RackReadResult source;
        source.session.strips.add (vorntest::strip (0, "A"));
        auto strip = vorntest::strip (1, "B");
        strip.plugins.add (c.plugin);
        source.session.strips.add (strip);
        const std::vector<SourcePlugin> sources { { 1, 0, &source.session.strips.getReference (1).plugins.getReference (0), c.entry, c.cid } };
        CanonicalPhysicalRouting routing;
        juce::StringArray track;
        juce::String error;
        ASSERT_TRUE (canonicalRouting (source, strip, { 2, 1, 0, 0 }, routing, error)) << c.label << error;
        EXPECT_FALSE (buildTrack (prototype, strip, routing, sources, track, error)) << c.label;
        EXPECT_EQ (error, c.error) << c.label;
    }
}
