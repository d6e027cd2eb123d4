#include "readers/ReaperPluginCache.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace vornconv;
using vornconv::rapp::Vst3ModuleIndex;

namespace
{

const juce::String cidA = "0123456789ABCDEF0123456789ABCDEF";
const juce::String cidB = "00112233445566770011223344556677";
const juce::String cidC = "11111111222222223333333344444444";

juce::String catalogRow (const juce::String& cid, const juce::String& name, const juce::String& bundle)
{
    return cid + "\t" + name + "\tVendor\t1.0\t" + bundle + "\n";
}

} // namespace

TEST (ReaperPluginCache, LineTable)
{
    const juce::String key = "Comp.vst3";
    const auto line = [&] (const juce::String& id, const juce::String& cid, const juce::String& name)
    { return key + "=00A1B2C3D4E5F600," + id + "{" + cid + "," + name + "\n"; };
    vorntest::TempFolder temp;
    const auto file = temp.file ("reaper.ini");
    const juce::String none = "REAPER VST cache has no entries matching the module index in " + file.getFullPathName();
    const juce::String noClassIds = "no .vst3 row of this REAPER VST cache carries a class id: the REAPER that saved it recorded"
                                    " none; rescan the plug-ins in a newer REAPER";
    const juce::String audioUnits = "REAPER cache " + file.getFullPathName() + " is REAPER's AudioUnit plug-in cache, not its VST cache";
    const juce::String badRow = "invalid REAPER VST3 cache row: " + key;
    const juce::String badIdentity = "invalid REAPER VST3 identity row: " + key;

    struct Case { juce::String text, error; };
    const Case cases[] = {
        { "[vstcache]\n" + line ("123", cidA, "Comp (Maker)"), {} },
        { "Old.dylib=00,5{" + cidB + ",VST2\nOld.vst=1,2{" + cidB + ",x\n", none },
        { "Comp.VST3=00,77{" + cidA + ",Comp, with comma!!!VSTi\n", {} },
        { key + "=00A1\n" + key + "=00A1,\n" + key + "=00A1,123\n", none + "\n" + noClassIds },   // unscanned lines
        { "[vstcache]\nOld.dll=00,5{" + cidB + ",VST2\n" + key + "=00A1B2C3D4E5F600,1397572658,Comp (Maker)\n", none + "\n" + noClassIds },
        { "=0,1{" + cidA + ",x\n", none },
        // REAPER's AudioUnit cache: told by its section or by rows keyed "maker: name".
        { "[auplugins]\nApple: AUDelay=\nBABY Audio: Transit 2=<inst>\n", audioUnits },
        { "[AUPLUGINS_ARM64]\n", audioUnits },
        { "Apple: AUDelay=\nWaves: C1 comp Mono=00\n", audioUnits },
        { "[vstcache]\n", none },
        { "[vstcache]\nApple: AUDelay=\nreaeq.dll=00,1\n", none },
        { "[auplugins]\n" + key + "=00A1B2C3D4E5F600,1397572658,Comp (Maker)\n", none + "\n" + noClassIds },
        { line ("123", cidA.dropLastCharacters (1), "Comp"), badRow },
        { line ("123", cidA, "").trimEnd().dropLastCharacters (1) + "\n", badRow },  // no comma after the CID
        { key + "=00,{" + cidA + ",Comp\n", badRow },
        { line ("0", cidA, "Comp"), badIdentity },
        { line ("12a", cidA, "Comp"), badIdentity },
        { line ("4294967296", cidA, "Comp"), badIdentity },
        { line ("-5", cidA, "Comp"), badIdentity },
        { line ("123", cidA, ""), badIdentity },
        { line ("123", cidA.replace ("F", "G"), "Comp"), badIdentity },
        { line ("123", cidA, "Comp") + line ("124", cidA, "Comp"), "conflicting REAPER cache identity for CID " + cidA },
        { line ("123", cidA, "Comp") + line ("123", cidA, "Other"), "conflicting REAPER cache identity for CID " + cidA },
        { line ("123", cidA, "Comp") + line ("123", cidA.toLowerCase(), "Comp"), {} },
    };

    for (const auto& c : cases)
    {
        ASSERT_TRUE (file.replaceWithText (c.text));
        Vst3ModuleIndex index;
        juce::String error;
        juce::StringArray warnings;
        const bool ok = loadReaperCache (index, file, warnings, error);
        EXPECT_EQ (ok, c.error.isEmpty()) << c.text;
        EXPECT_EQ (error, c.error) << c.text;
    }
}

TEST (ReaperPluginCache, StoresIdentitiesAndAddsUnknownClassesUnavailable)
{
    vorntest::TempFolder temp;
    Vst3ModuleIndex index;
    juce::String error;
    juce::StringArray warnings;
    ASSERT_TRUE (index.loadFactoryCatalogText (catalogRow (cidA, "Comp", "/p/Comp.vst3"), error)) << error;

    const auto cache = temp.file ("reaper-vstplugins64.ini");
    ASSERT_TRUE (cache.replaceWithText ("[vstcache]\r\n"
                                        "Comp.vst3=00A1,4000000000{" + cidA + ",Comp (Maker)\r\n"
                                        "Copy.vst3=00A2,4000000000{" + cidA + ",Comp (Maker)\r\n"
                                        "New.vst3=00A3,42{" + cidB.toLowerCase() + ",Gate (Other)  \r\n"));
    ASSERT_TRUE (loadReaperCache (index, cache, warnings, error)) << error;
    ASSERT_TRUE (loadReaperCache (index, cache, warnings, error)) << error;  // the same identities again are fine

    ASSERT_EQ (index.entries.size(), 2);
    const auto& a = index.entries.getReference (0);
    EXPECT_EQ (a.reaperId, 4000000000u);
    EXPECT_EQ (a.reaperKey, "Comp.vst3");
    EXPECT_EQ (a.reaperName, "Comp (Maker)");
    EXPECT_TRUE (a.available);

    const auto& b = index.entries.getReference (1);
    EXPECT_EQ (b.classId, cidB);
    EXPECT_EQ (b.name, "Gate (Other)");
    EXPECT_EQ (b.reaperId, 42u);
    EXPECT_EQ (b.reaperKey, "New.vst3");
    EXPECT_EQ (b.uniqueId, 0x94d8fc48u);
    EXPECT_FALSE (b.available);
    EXPECT_EQ (b.bundle, juce::File());

    // A second cache that gives a stored class another id fails and names the class.
    ASSERT_TRUE (cache.replaceWithText ("X.vst3=0,43{" + cidB + ",Gate (Other)\n"));
    EXPECT_FALSE (loadReaperCache (index, cache, warnings, error));
    EXPECT_EQ (error, "conflicting REAPER cache identity for CID " + cidB);

    EXPECT_FALSE (loadReaperCache (index, temp.file ("missing.ini"), warnings, error));
    EXPECT_EQ (error, "file not found: " + temp.file ("missing.ini").getFullPathName());
    EXPECT_FALSE (loadReaperCache (index, temp.folder, warnings, error));
    EXPECT_EQ (error, "a folder, not a file: " + temp.folder.getFullPathName());
    ASSERT_TRUE (temp.file ("empty.ini").create());
    EXPECT_FALSE (loadReaperCache (index, temp.file ("empty.ini"), warnings, error));
    EXPECT_EQ (error, "REAPER VST cache is empty or unreadable: " + temp.file ("empty.ini").getFullPathName());
}

TEST (ReaperPluginCache, ClassIdSharedByTwoPluginsIsAmbiguousAndTheRestLoads)
{
    vorntest::TempFolder temp;
    const auto cache = temp.file ("reaper-vstplugins64.ini");
    const juce::String shared = "ABCDEF0123456789ABCDEF0123456789";
    ASSERT_TRUE (cache.replaceWithText ("[vstcache]\n"
                                        "DirectionalCompressor.vst3=00A1,1397572658{" + shared + ",DirectionalCompressor (IEM)\n"
                                        "Comp.vst3=00A2,42{" + cidA + ",Comp (Maker)\n"
                                        "DistanceCompensator.vst3=00A3,1397572658{" + shared + ",DistanceCompensator (IEM)\n"));
    Vst3ModuleIndex index;
    juce::String error;
    juce::StringArray warnings;
    ASSERT_TRUE (loadReaperCache (index, cache, warnings, error)) << error;
    ASSERT_TRUE (loadReaperCache (index, cache, warnings, error)) << error;  // the same cache again changes nothing

    const auto* ambiguous = index.findByClassId (shared);
    ASSERT_NE (ambiguous, nullptr);
    EXPECT_EQ (ambiguous->reaperId, 0u);
    EXPECT_TRUE (ambiguous->reaperKey.isEmpty());
    EXPECT_TRUE (ambiguous->reaperName.isEmpty());
    EXPECT_EQ (ambiguous->reaperAmbiguousKeys, juce::StringArray ({ "DirectionalCompressor.vst3", "DistanceCompensator.vst3" }));
    EXPECT_EQ (warnings, juce::StringArray ("REAPER cache gives class id " + shared
                                                      + " to DirectionalCompressor.vst3 and DistanceCompensator.vst3;"
                                                        " plug-ins of this class id cannot be written to REAPER"));

    const auto* comp = index.findByClassId (cidA);
    ASSERT_NE (comp, nullptr);
    EXPECT_EQ (comp->reaperId, 42u);
    EXPECT_EQ (comp->reaperKey, "Comp.vst3");
    EXPECT_TRUE (comp->reaperAmbiguousKeys.isEmpty());

    // One key with two identities is still a broken cache, also when the class id is ambiguous.
    ASSERT_TRUE (cache.replaceWithText ("A.vst3=0,7{" + shared + ",A (V)\nB.vst3=0,8{" + shared + ",B (V)\nA.vst3=0,9{" + shared + ",A (V)\n"));
    Vst3ModuleIndex fresh;
    juce::StringArray freshWarnings;
    EXPECT_FALSE (loadReaperCache (fresh, cache, freshWarnings, error));
    EXPECT_EQ (error, "conflicting REAPER cache identity for CID " + shared);
}

// REAPER writes plug-in names as the plug-ins report them, 8-bit bytes included. A row the load
// skips is skipped whatever its bytes; a .vst3 row whose key or name is not UTF-8 costs only its
// class id the REAPER identity, with one warning; a NUL byte anywhere still refuses the file.
TEST (ReaperPluginCache, RowsAreCheckedAsUtf8OnlyWhereUsed)
{
    vorntest::TempFolder temp;
    const auto cache = temp.file ("reaper-vstplugins64.ini");
    const auto write = [&cache] (const std::string& bytes) { ASSERT_TRUE (cache.replaceWithData (bytes.data(), bytes.size())); };
    const std::string a = cidA.toStdString(), b = cidB.toStdString(), c = cidC.toStdString();
    const auto replacement = juce::String::fromUTF8 ("\xEF\xBF\xBD");

    write ("[vstcache]\r\n"
           "MicroTonicVST.vst=00A0,1397572658,\xB5Tonic (Sonic Charge)!!!VSTi\r\n"
           "UAD_Precision_Reflection_Engine.vst=00A0,1,UAD Precision Reflection Engine\xC5 (Universal Audio, Inc.)\r\n"
           "\xB5 a line of its own\r\n"
           "Comp.vst3=00A1,42{" + a + ",Comp (Maker)\r\n"
           "Tonic.vst3=00A2,43{" + b + ",\xB5Tonic (Sonic Charge)\r\n"
           "Tonic.vst3=00A2,43{" + b + ",\xB5Tonic (Sonic Charge)\r\n"
           "Tonic copy.vst3=00A3,43{" + b + ",Tonic (Sonic Charge)\r\n"
           "\xB5Gate.vst3=00A4,44{" + c + ",Gate (Other)\r\n");
    Vst3ModuleIndex index;
    juce::String error;
    juce::StringArray warnings;
    ASSERT_TRUE (loadReaperCache (index, cache, warnings, error)) << error;

    const auto* comp = index.findByClassId (cidA);
    ASSERT_NE (comp, nullptr);
    EXPECT_EQ (comp->reaperId, 42u);
    EXPECT_EQ (comp->reaperName, "Comp (Maker)");
    EXPECT_TRUE (comp->reaperUnreadableKeys.isEmpty());

    // A readable row after an unreadable one for the same class id does not restore it: what
    // the unreadable row says is unknown.
    const auto* tonic = index.findByClassId (cidB);
    ASSERT_NE (tonic, nullptr);
    EXPECT_EQ (tonic->reaperId, 0u);
    EXPECT_TRUE (tonic->reaperKey.isEmpty() && tonic->reaperName.isEmpty());
    EXPECT_EQ (tonic->reaperUnreadableKeys, juce::StringArray ("Tonic.vst3"));
    const auto* gate = index.findByClassId (cidC);
    ASSERT_NE (gate, nullptr);
    EXPECT_EQ (gate->reaperId, 0u);
    EXPECT_EQ (gate->name, "Gate (Other)");
    EXPECT_FALSE (gate->available);
    EXPECT_EQ (gate->reaperUnreadableKeys, juce::StringArray (replacement + "Gate.vst3"));
    juce::StringArray expected;
    expected.add ("REAPER cache row Tonic.vst3 is not valid UTF-8 text; plug-ins of class id " + cidB + " cannot be written to REAPER");
    expected.add ("REAPER cache row " + replacement + "Gate.vst3 is not valid UTF-8 text; plug-ins of class id " + cidC
                  + " cannot be written to REAPER");
    EXPECT_EQ (warnings, expected);

    // A row that is refused names its key as well as it can.
    const auto path = cache.getFullPathName();
    const std::string nul (1, '\0');
    struct Case { std::string bytes; juce::String error; };
    const Case refused[] = {
        { "Comp.vst3=00A1,42{" + a + ",Comp\nOld.dylib=00,5,VST2 " + nul + "\n", "REAPER VST cache cannot be read: NUL byte in text (byte 76): " + path },
        { "\xEF\xBB\xBF[vstcache]\n" + nul, "REAPER VST cache cannot be read: NUL byte in text (byte 14): " + path },
        { std::string ("\xFF\xFE[\0v\0", 6), "REAPER VST cache cannot be read: not valid UTF-8 text (byte 0): " + path },
        { "\xB5X.vst3=00,{" + a + ",Comp\n", "invalid REAPER VST3 cache row: " + replacement + "X.vst3" },
        { "\xB5X.vst3=00,4\xB5{" + a + ",Comp\n", "invalid REAPER VST3 identity row: " + replacement + "X.vst3" },
        // The class id is 32 characters: a two-byte one among them keeps the row's shape.
        { "X.vst3=00,4{" + a.substr (0, 31) + "\xC3\xA9,Comp\n", "invalid REAPER VST3 identity row: X.vst3" },
        { "X.vst3=00,4{" + a.substr (0, 31) + "\xE9,Comp\n", "invalid REAPER VST3 identity row: X.vst3" },
        { "Tonic.vst3=00A2,43{" + b + ",\xB5Tonic\n", "REAPER VST cache has no entries matching the module index in " + path },
    };
    for (const auto& r : refused)
    {
        write (r.bytes);
        Vst3ModuleIndex fresh;
        juce::StringArray freshWarnings;
        EXPECT_FALSE (loadReaperCache (fresh, cache, freshWarnings, error)) << r.bytes;
        EXPECT_EQ (error, r.error) << r.bytes;
    }
}

