#include "RackBuilders.h"
#include "ReaperFixtures.h"
#include "TestSupport.h"

#include "model/AudioUnitState.h"
#include "readers/ReaperRppReader.h"
#include "readers/ReaperRppText.h"

#include <gtest/gtest.h>

namespace
{

const juce::String cid = "ED57BD725C60467EA64DD2F400758B6F";

struct Files
{
    vorntest::TempFolder folder;
    juce::File input = folder.file ("a.rpp");
    juce::File catalog = folder.file ("cat.tsv");
    juce::File cache = folder.file ("rc.ini");

    Files()
    {
        input.replaceWithText (vorntest::oneTrackProject (cid));
        catalog.replaceWithText (cid + "\tPro-Q 4\tFabFilter\t4.0\t/opt/vst3/FabFilter Pro-Q 4.vst3\n");
        cache.replaceWithText ("[vstcache]\nFabFilter_Pro-Q_4.vst3=0000000000000000,934538646{" + cid + ",Pro-Q 4 (FabFilter)\n");
    }
};

const char* const writerNote = "WARNING    exact converter reread passed for REAPER cache-verified multi-CID reaper-7.65-native-v1; host load pending";
// The probe session carries no audio setup of its own.
const juce::String noRateNote = juce::String::fromUTF8 (u8"WARNING    source sample rate가 없어 REAPER profile 설정을 유지했다");
// The plug-in no catalog row makes available, which the output holds inactive (bypassed).
const juce::String writtenInactive = juce::String::fromUTF8 (u8"  WARNING strip 0, slot 0 (Pro-Q 4)           최신 factory cache에 없어 inactive로 기록한다");

} // namespace

TEST (ReaperConvert, ConvertAndStateProbeWriteVerifiedProjects)
{
    Files f;
    struct Case
    {
        const char* label;
        juce::StringArray extra;
        bool withCatalog;
        const char* prefix;
        juce::StringArray tail;
    };
    const Case cases[] = {
        { "convert", {}, true, "CANDIDATE  ", { writerNote } },
        { "slot probe", { "--reaper-state-probe", "0:0" }, true, "STATE PROBE  ", { writerNote, noRateNote } },
        { "normalized probe", { "--reaper-normalized-probe" }, true, "STATE PROBE  ", { writerNote, noRateNote } },
        { "unavailable plug-in", {}, false, "CANDIDATE  ", { writerNote, writtenInactive, "UNAVAILABLE_PLUGINS 1" } },
        { "probe keeps the source's unavailable count", { "--reaper-normalized-probe" }, false, "STATE PROBE  ",
          { writerNote, noRateNote, writtenInactive, "UNAVAILABLE_PLUGINS 1" } },
    };
    int n = 0;
    for (const auto& c : cases)
    {
        const auto output = f.folder.file ("out" + juce::String (n++) + ".rpp");
        juce::StringArray args { "--convert", "reaper", "--profile", "1x1", "--reaper-cache", f.cache.getFullPathName(),
                                 "--output", output.getFullPathName() };
        if (c.withCatalog)
            args.addArray ({ "--factory-catalog", f.catalog.getFullPathName() });
        args.addArray (c.extra);
        args.add (f.input.getFullPathName());
        const auto run = vorntest::invoke (args);
        juce::StringArray expected { c.prefix + f.input.getFullPathName() + " -> " + output.getFullPathName() };
        expected.addArray (c.tail);
        expected.add ({});
        EXPECT_EQ (run.lines, expected) << c.label << "\n" << run.lines.joinIntoString ("\n");
        EXPECT_EQ (run.status, 0) << c.label;
        const auto read = vornconv::readReaperRpp (output);
        EXPECT_EQ (read.status, vornconv::readComplete) << c.label;
        ASSERT_EQ (read.session.strips.size(), 1) << c.label;
        ASSERT_EQ (read.session.strips.getReference (0).plugins.size(), 1) << c.label;
        const auto& slot = read.session.strips.getReference (0).plugins.getReference (0);
        EXPECT_EQ (vorntest::stringOf (slot.state.component), "COMP") << c.label;
        EXPECT_EQ (slot.bypassed, ! c.withCatalog) << c.label;
    }

    const auto again = vorntest::invoke ({ "--convert", "reaper", "--profile", "1x1", "--factory-catalog", f.catalog.getFullPathName(),
                                           "--output", f.folder.file ("none.rpp").getFullPathName(), f.input.getFullPathName() });
    EXPECT_EQ (again.lines[0], "ERROR   REAPER internal profile requires a complete native cache identity for CID " + cid
                                   + " of Pro-Q 4 (strip 0, slot 0): --reaper-cache supplies it (REAPER's reaper-vstplugins64.ini, "
                                     "with a row for the plug-in)");
    EXPECT_EQ (again.status, 1);
    EXPECT_FALSE (f.folder.file ("none.rpp").exists());
}

TEST (ReaperConvert, RealCachesAndARealTemplateThroughTheProgram)
{
    Files f;
    const juce::String shared = "ABCDEF0123456789ABCDEF0123456789";
    const auto cache = f.folder.file ("real.ini");
    cache.replaceWithText ("[vstcache]\n"
                           "DirectionalCompressor.vst3=00A1,1397572658{" + shared + ",DirectionalCompressor (IEM)\n"
                           "FabFilter_Pro-Q_4.vst3=0000000000000000,934538646{" + cid + ",Pro-Q 4 (FabFilter)\n"
                           "DistanceCompensator.vst3=00A3,1397572658{" + shared + ",DistanceCompensator (IEM)\n");
    const auto wrapper = vorntest::makeWrapper (934538646u, 2, 2, vorntest::reaperMarkerFull, "T", "", vorntest::reaperSavedTail());
    const auto templateFile = f.folder.file ("saved.rpp");
    templateFile.replaceWithText ("<REAPER_PROJECT 0.1 \"7.30/linux-x86_64\" 1733300000\n  SAMPLERATE 48000 1 0\n"
                                  "  <TRACK {3F2C7C59-93F1-4E5D-8C7B-0F3A3AFC1E11}\n    NAME Vox\n    VOLPAN 1 0 -1 -1 1\n    MUTESOLO 0 0 0\n"
                                  "    IPHASE 0\n    PLAYOFFS 0 1\n    SEL 1\n    REC 0 0 1 0 0 0 0 0\n    VU 2\n    NCHAN 2\n    FX 1\n"
                                  "    TRACKID {3F2C7C59-93F1-4E5D-8C7B-0F3A3AFC1E11}\n    MAINSEND 1 0\n    <FXCHAIN\n      SHOW 0\n      BYPASS 0 0 0\n"
                                  "      <VST \"VST3: Pro-Q 4 (FabFilter)\" \"FabFilter Pro-Q 4.vst3\" 0 \"\" 934538646{" + cid + "} \"\"\n"
                                  "        " + juce::Base64::toBase64 (wrapper.getData(), wrapper.getSize()) + "\n"
                                  "      >\n      FLOATPOS 0 0 0 0\n      FXID {0E2A1D4C-7E55-4F0B-9C43-6C0C2D1B9A77}\n      WAK 0 0 0\n    >\n  >\n>\n");

    for (const bool withTemplate : { false, true })
    {
        const auto output = f.folder.file (withTemplate ? "templated.rpp" : "cached.rpp");
        juce::StringArray args { "--convert", "reaper", "--profile", "1x1", "--factory-catalog", f.catalog.getFullPathName(),
                                 "--reaper-cache", cache.getFullPathName(), "--output", output.getFullPathName() };
        if (withTemplate)
            args.addArray ({ "--template", templateFile.getFullPathName() });
        args.add (f.input.getFullPathName());
        const auto run = vorntest::invoke (args);
        ASSERT_GE (run.lines.size(), 2) << run.lines.joinIntoString ("\n");
        EXPECT_EQ (run.lines[0], "WARNING REAPER cache gives class id " + shared
                                     + " to DirectionalCompressor.vst3 and DistanceCompensator.vst3; plug-ins of this class id cannot be written to REAPER");
        EXPECT_EQ (run.lines[1], "CANDIDATE  " + f.input.getFullPathName() + " -> " + output.getFullPathName());
        EXPECT_EQ (run.status, 0) << run.lines.joinIntoString ("\n");
        const auto read = vornconv::readReaperRpp (output);
        EXPECT_EQ (read.status, vornconv::readComplete);
        ASSERT_EQ (read.session.strips.size(), 1);
        EXPECT_EQ (vorntest::stringOf (read.session.strips[0].plugins[0].state.component), "COMP");
    }

    // A cache of REAPER 5 (or of an early REAPER 6) has no class ids at all: the refusal says so,
    // without naming versions the file cannot tell.
    cache.replaceWithText ("[vstcache]\nFabFilter_Pro-Q_4.vst3=0000000000000000,934538646,Pro-Q 4 (FabFilter)\n");
    const auto plan = [&] (const juce::File& reaperCache)
    {
        return vorntest::runVornconvBinary ({ "--plan", "reaper", "--profile", "1x1", "--factory-catalog",
                                              f.catalog.getFullPathName().toStdString(), "--reaper-cache",
                                              reaperCache.getFullPathName().toStdString(), f.input.getFullPathName().toStdString() });
    };
    const auto old = plan (cache);
    EXPECT_EQ (old.exitCode, 1);
    juce::StringArray oldRefusal ("ERROR   --reaper-cache: REAPER VST cache has no entries matching the module index in " + cache.getFullPathName()
                                  + "; --reaper-cache takes REAPER's VST plug-in cache, reaper-vstplugins64.ini");
    oldRefusal.add ("ERROR   no .vst3 row of this REAPER VST cache carries a class id: the REAPER that saved it recorded none; rescan "
                    "the plug-ins in a newer REAPER");
    EXPECT_EQ (old.outLines(), oldRefusal);

    // REAPER's AudioUnit cache given in its place is refused as what it is. Its rows are keyed by
    // the component's "maker: name"; their values are not read.
    const auto auCache = f.folder.file ("reaper-auplugins64.ini");
    auCache.replaceWithText ("[auplugins]\nApple: AUDelay=\nBABY Audio: Transit 2=\nNative Instruments: Kontakt=<inst>\n");
    const auto au = plan (auCache);
    EXPECT_EQ (au.exitCode, 1);
    EXPECT_EQ (au.outLines(), juce::StringArray ("ERROR   --reaper-cache: REAPER cache " + auCache.getFullPathName() + " is REAPER's "
                                            "AudioUnit plug-in cache, not its VST cache; --reaper-cache takes REAPER's VST plug-in cache, "
                                            "reaper-vstplugins64.ini"));
}

TEST (ReaperConvert, AnAudioUnitEditedInReaperIsCarried)
{
    // A converter-written project whose AudioUnit REAPER saved again: a preset chosen and the
    // plug-in's sidechain pair unconnected. Its property list is carried, and written back in the
    // plain wrapper.
    const auto plist = vorntest::auClassInfo ("aufx", "Satt", "Acme", "<key>data</key><data>AAEC</data>");
    const auto saved = vorntest::makeAudioUnitWrapper ({ 1, 2, 0, 0 }, vorntest::sequentialMasks (2), plist, "Freeze 1");
    juce::StringArray body;
    vornconv::appendReaperBase64Lines (body, saved, "        ");
    auto text = vorntest::oneTrackProject (cid);
    const int vst = text.indexOf ("      <VST ");
    const int end = text.indexOf (vst, "      >\n");
    ASSERT_TRUE (vst > 0 && end > vst);
    text = text.substring (0, vst) + "      <AU \"AU: Satt (Acme)\" \"Acme: Satt\" \"\" " + juce::String (vorntest::fourCc ("aufx")) + " "
         + juce::String (vorntest::fourCc ("Satt")) + " " + juce::String (vorntest::fourCc ("Acme")) + "\n"
         + body.joinIntoString ("\n") + "\n" + text.substring (end);
    text = text.replace ("50726F2D512034", "53617474").replace ("46616246696C746572", "41636D65");
    vorntest::TempFolder folder;
    const auto input = folder.file ("edited.rpp");
    input.replaceWithText (text);
    const auto source = vornconv::readReaperRpp (input);
    ASSERT_EQ (source.status, vornconv::readComplete) << source.session.notes.size();

    const auto output = folder.file ("out.rpp");
    const auto run = vorntest::invoke ({ "--convert", "reaper", "--profile", "1x1", "--output", output.getFullPathName(),
                                         input.getFullPathName() });
    EXPECT_EQ (run.status, 0) << run.lines.joinIntoString ("\n");
    const auto read = vornconv::readReaperRpp (output);
    ASSERT_EQ (read.status, vornconv::readComplete);
    const auto& slot = read.session.strips[0].plugins[0];
    EXPECT_EQ (slot.format, "AU");
    EXPECT_EQ (slot.name, "Satt");
    EXPECT_EQ (slot.state.raw, plist);
    EXPECT_TRUE (read.session.notes.isEmpty());

    juce::MemoryBlock plain;
    juce::String error;
    ASSERT_TRUE (vornconv::audioUnit::buildReaperState (plist, plain, error)) << error;
    juce::StringArray plainBody;
    vornconv::appendReaperBase64Lines (plainBody, plain, "");
    EXPECT_TRUE (output.loadFileAsString().contains (plainBody[0])) << output.loadFileAsString();
}

namespace
{

// The one-track project with its plug-in's state in another wrapper.
juce::String withWrapper (const juce::MemoryBlock& wrapper)
{
    const auto plain = vorntest::makeWrapper (934538646u, 2, 2, 0, "COMP", "CONT", vorntest::programTail());
    const auto text = vorntest::oneTrackProject (cid);
    const auto line = juce::Base64::toBase64 (plain.getData(), plain.getSize());
    EXPECT_TRUE (text.contains (line));
    return text.replace (line, juce::Base64::toBase64 (wrapper.getData(), wrapper.getSize()));
}

juce::StringArray linesStarting (const juce::StringArray& lines, const juce::String& start)
{
    juce::StringArray found;
    for (const auto& line : lines)
        if (line.startsWith (start))
            found.add (line);
    return found;
}

} // namespace

// A plug-in whose state its reader refused for its pin map (a mono output fanned to both
// channels) blocks for that reason, in the reader's words, not for a missing stream.
TEST (ReaperConvert, APlanBlocksASlotForTheReasonItsStateWasRefused)
{
    Files f;
    const auto fanned = vorntest::makeWrapperWithMasks (934538646u, { 1 }, { 3 }, 0, "COMP", "CONT", vorntest::programTail());
    f.input.replaceWithText (withWrapper (fanned));
    const auto read = vornconv::readReaperRpp (f.input);
    ASSERT_EQ (read.session.strips.size(), 1);
    ASSERT_TRUE (read.session.strips[0].plugins[0].state.component.isEmpty());
    juce::String reason;
    for (const auto& note : read.session.notes)
        if (note.code == "plugin[0:0].state" && note.fidelity == vornconv::Fidelity::dropped)
            reason = note.text;
    ASSERT_TRUE (reason.isNotEmpty());

    const juce::StringArray options { "reaper", "--profile", "1x1", "--factory-catalog", f.catalog.getFullPathName(),
                                      "--reaper-cache", f.cache.getFullPathName() };
    auto plan = juce::StringArray ("--plan");
    plan.addArray (options);
    plan.add (f.input.getFullPathName());
    const auto planned = vorntest::invoke (plan);
    EXPECT_EQ (planned.status, 1);
    const auto slotBlockers = linesStarting (planned.lines, "  BLOCKER strip 0, slot 0 ");
    ASSERT_EQ (slotBlockers.size(), 1) << planned.lines.joinIntoString ("\n");
    EXPECT_EQ (slotBlockers[0].substring (46), reason);

    // The convert refuses for the same reason, before it says so.
    auto convert = juce::StringArray ("--convert");
    convert.addArray (options);
    convert.addArray ({ "--output", f.folder.file ("fanned.rpp").getFullPathName(), f.input.getFullPathName() });
    const auto converted = vorntest::invoke (convert);
    EXPECT_EQ (converted.status, 1);
    EXPECT_TRUE (converted.lines.contains (slotBlockers[0])) << converted.lines.joinIntoString ("\n");
    EXPECT_FALSE (f.folder.file ("fanned.rpp").exists());
}

// A project REAPER saved itself is read, but its plan says in plain words why it does not
// convert, once; a project the converter wrote has no such line.
TEST (ReaperConvert, AProjectReaperSavedItselfSaysWhyItIsNotConverted)
{
    Files f;
    const auto saved = f.folder.file ("saved.rpp");
    saved.replaceWithText (vorntest::hostSavedProject (cid));
    const juce::String line = "  BLOCKER source.reaperSaved                  a project REAPER itself saved, without this converter's "
                              "track ids and markers, is read, reported and exported, but not converted: only projects this "
                              "converter wrote convert back";
    for (const auto* target : { "vorn", "reaper" })
    {
        // A scene is not shaped by a profile.
        juce::StringArray args { "--plan", target, "--profile", "1x1", "--factory-catalog", f.catalog.getFullPathName(),
                                 "--reaper-cache", f.cache.getFullPathName(), saved.getFullPathName() };
        if (juce::String (target) == "vorn")
            args.removeRange (2, 2);
        const auto plan = vorntest::invoke (args);
        EXPECT_EQ (plan.status, 1) << target;
        const auto blockers = linesStarting (plan.lines, "  BLOCKER ");
        ASSERT_GE (blockers.size(), 3) << plan.lines.joinIntoString ("\n");
        EXPECT_TRUE (blockers.indexOf (line) > blockers.indexOf (linesStarting (blockers, "  BLOCKER source.stripCoverage ")[0]))
            << plan.lines.joinIntoString ("\n");
        EXPECT_EQ (linesStarting (plan.lines, "  BLOCKER source.reaperSaved ").size(), 1) << target;
        EXPECT_EQ (linesStarting (plan.lines, "  BLOCKER source.reaperSaved "), juce::StringArray (line));
    }

    const auto own = vorntest::invoke ({ "--plan", "reaper", "--profile", "1x1", "--factory-catalog", f.catalog.getFullPathName(),
                                         "--reaper-cache", f.cache.getFullPathName(), f.input.getFullPathName() });
    EXPECT_EQ (own.status, 0) << own.lines.joinIntoString ("\n");
    EXPECT_TRUE (linesStarting (own.lines, "  BLOCKER ").isEmpty());
}
