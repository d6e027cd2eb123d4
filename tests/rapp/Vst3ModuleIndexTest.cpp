#include "rapp/Vst3ModuleIndex.h"

#include "RackBuilders.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

using namespace vornconv;
using vornconv::rapp::Vst3ModuleIndex;

namespace
{

const juce::String cidA = "0123456789ABCDEF0123456789ABCDEF";
const juce::String cidB = "00112233445566770011223344556677";
const juce::String cidC = "11111111222222223333333344444444";

juce::String catalogRow (const juce::String& cid, const juce::String& name, const juce::String& bundle,
                         const juce::String& flag = {})
{
    auto row = cid + "\t" + name + "\tVendor\t1.0\t" + bundle;
    if (flag.isNotEmpty())
        row << "\t" << flag;
    return row + "\n";
}

void writeModuleInfo (const juce::File& bundle, const juce::String& json)
{
    auto info = bundle.getChildFile ("Contents/Resources/moduleinfo.json");
    ASSERT_TRUE (info.getParentDirectory().createDirectory());
    ASSERT_TRUE (info.replaceWithText (json));
}

juce::String audioModule (const juce::String& cid, const juce::String& name, const juce::String& vendor = "Maker")
{
    return "{ \"CID\": \"" + cid + "\", \"Category\": \"Audio Module Class\", \"Name\": \"" + name
         + "\", \"Vendor\": \"" + vendor + "\", \"Version\": \"2.0\", },";
}

juce::String moduleInfo (const juce::String& classes)
{
    return "{ \"Name\": \"X\", \"Classes\": [ " + classes + " ], }";
}

PluginRef vst3Slot (juce::uint32 uniqueId, juce::uint32 uid, const juce::String& classId = {})
{
    auto ref = vorntest::vst3Slot (classId, "Slot");
    ref.uniqueId = uniqueId;
    ref.deprecatedUid = uid;
    return ref;
}

} // namespace

//==============================================================================
TEST (Vst3Identity, DerivesUniqueIdAndSignedByteUid)
{
    struct Case { const char* cid; juce::uint32 uniqueId, uid; };
    const Case cases[] = {
        { "0123456789ABCDEF0123456789ABCDEF", 0xe26ab0d0u, 0x99edfa10u },  // bytes >= 0x80 sign-extend
        { "0123456789abcdef0123456789abcdef", 0xe26ab0d0u, 0x99edfa10u },
        { "00112233445566770011223344556677", 0x94d8fc48u, 0xf790ac88u },
        { "11111111222222223333333344444444", 0xaaaaa262u, 0x4d2e9a80u },
        { "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", 0xffff87c0u, 0x3082df00u },
        { "00000000000000000000000000000001", 0x00000001u, 0x00000001u },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (rapp::deriveUniqueId (c.cid), c.uniqueId) << c.cid;
        EXPECT_EQ (rapp::deriveUid (c.cid), c.uid) << c.cid;
    }
}

TEST (Vst3Identity, RecognisesOnlyThirtyTwoHexDigits)
{
    EXPECT_TRUE (isHexClassId ("0123456789abcdefABCDEF0123456789"));
    for (const char* bad : { "", "0123456789ABCDEF0123456789ABCDE", "0123456789ABCDEF0123456789ABCDEF0",
                             "0123456789ABCDEF0123456789ABCDEG", " 0123456789ABCDEF0123456789ABCDE" })
    {
        EXPECT_FALSE (isHexClassId (bad)) << bad;
        EXPECT_EQ (rapp::deriveUniqueId (bad), 0u) << bad;
    }
}

TEST (Vst3Identity, RemovesOnlyTrailingCommasOutsideStrings)
{
    const std::pair<const char*, const char*> cases[] = {
        { "{\"a\": [1, 2, ], }", "{\"a\": [1, 2 ] }" },
        { "[1,\n\t]", "[1\n\t]" },
        { "{\"a\": \"x,]\", \"b\": 1,}", "{\"a\": \"x,]\", \"b\": 1}" },
        { "{\"a\": \"q\\\",}\",}", "{\"a\": \"q\\\",}\"}" },
        { "[1, 2]", "[1, 2]" },
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ (rapp::removeTrailingJsonCommas (in), juce::String (out)) << in;
}

//==============================================================================
TEST (Vst3BundleScan, ReadsAudioModulesAndWarnsAboutBrokenBundles)
{
    vorntest::TempFolder temp;
    const auto root = temp.file ("VST3");

    // Written out of name order; the scan must still visit A, C, D, F, then sub/.
    writeModuleInfo (root.getChildFile ("sub/Late.vst3"), moduleInfo (audioModule (cidA, "Late", "")));
    writeModuleInfo (root.getChildFile ("A.vst3"),
                     moduleInfo ("\"not an object\", { \"CID\": \"" + cidC + "\", \"Category\": \"Component Controller Class\" }, "
                                 + audioModule (cidA.toLowerCase(), "Comp,]") + audioModule (cidB, "Gate")));
    writeModuleInfo (root.getChildFile ("A.vst3/Contents/Inner.vst3"), moduleInfo (audioModule (cidC, "Inner")));
    writeModuleInfo (root.getChildFile ("C.vst3"), "{ \"Classes\": 5 }");
    writeModuleInfo (root.getChildFile ("D.vst3"), moduleInfo (audioModule ("XYZ", "Bad") + audioModule ("123", "Bad")));
    writeModuleInfo (root.getChildFile ("F.vst3"), juce::String::repeatedString ("[", 100000));
    writeModuleInfo (root.getChildFile ("sub/B.vst3"), "{ \"Classes\": [ ");
    ASSERT_TRUE (root.getChildFile ("E.vst3").createDirectory());  // no moduleinfo: silent
    ASSERT_EQ (symlink (root.getFullPathName().toRawUTF8(),
                        root.getChildFile ("sub/loop").getFullPathName().toRawUTF8()), 0);

    Vst3ModuleIndex index;
    index.warnings.add ("stale");
    index.scanLocations ({ root, temp.file ("missing") });

    const auto info = [&] (const char* bundle)
    { return root.getChildFile (bundle).getChildFile ("Contents/Resources/moduleinfo.json").getFullPathName(); };
    juce::StringArray expectedWarnings;
    expectedWarnings.add (info ("C.vst3") + ": missing Classes");
    expectedWarnings.add (info ("D.vst3") + ": invalid Audio Module CID");
    expectedWarnings.add (info ("F.vst3") + ": invalid JSON");
    expectedWarnings.add (info ("sub/B.vst3") + ": invalid JSON");
    EXPECT_EQ (index.warnings.joinIntoString ("\n"), expectedWarnings.joinIntoString ("\n"));

    ASSERT_EQ (index.entries.size(), 2);  // the controller class and the nested bundle add nothing
    const auto& a = index.entries.getReference (0);
    EXPECT_EQ (a.classId, cidA);
    EXPECT_EQ (a.name, "Late");            // the later bundle's non-empty name wins
    EXPECT_EQ (a.vendor, "Maker");         // its empty vendor does not
    EXPECT_EQ (a.version, "2.0");
    EXPECT_EQ (a.bundle, root.getChildFile ("sub/Late.vst3"));
    EXPECT_EQ (a.uid, 0x99edfa10u);
    EXPECT_FALSE (a.available);
    EXPECT_EQ (index.entries.getReference (1).classId, cidB);
    EXPECT_EQ (index.findByClassId (cidA.toLowerCase()), &a);

    // The comma inside the first bundle's name survives when that bundle is scanned alone.
    Vst3ModuleIndex single;
    single.addBundle (root.getChildFile ("A.vst3"));
    ASSERT_NE (single.findByClassId (cidA), nullptr);
    EXPECT_EQ (single.findByClassId (cidA)->name, "Comp,]");
}

TEST (Vst3BundleScan, DefaultRootsIncludeTheUserFolders)
{
    vorntest::TempFolder temp;
    writeModuleInfo (temp.file ("Library/Audio/Plug-Ins/VST3/Mac.vst3"), moduleInfo (audioModule (cidA, "Mac")));
    writeModuleInfo (temp.file (".vst3/Linux.vst3"), moduleInfo (audioModule (cidB, "Linux")));

    const juce::String oldHome = std::getenv ("HOME") != nullptr ? std::getenv ("HOME") : "";
    setenv ("HOME", temp.path().c_str(), 1);
    Vst3ModuleIndex index;
    index.scanDefaultLocations();
    setenv ("HOME", oldHome.toRawUTF8(), 1);

    ASSERT_NE (index.findByClassId (cidA), nullptr);
    EXPECT_EQ (index.findByClassId (cidA)->bundle, temp.file ("Library/Audio/Plug-Ins/VST3/Mac.vst3"));
    ASSERT_NE (index.findByClassId (cidB), nullptr);
    EXPECT_EQ (index.findByClassId (cidB)->bundle, temp.file (".vst3/Linux.vst3"));
}

//==============================================================================
TEST (Vst3FactoryCatalog, RowTable)
{
    const juce::String cid31 = cidA.dropLastCharacters (1);
    // The first bad row is named by its line.
    const juce::String noRows = "factory catalog has no plugin records";
    const juce::String badColumns = "invalid factory catalog row (expected 5 or 6 tab-separated columns) at line 1";
    const juce::String badFlag = "invalid availability flag in factory catalog at line 1";

    struct Case
    {
        juce::String text;
        juce::String error;   // empty: the load succeeds
        int entries;
        bool firstAvailable;
    };
    const Case cases[] = {
        { catalogRow (cidA, "Comp", "/p/Comp.vst3"), {}, 1, true },
        { catalogRow (cidA, "Comp", "/p/Comp.vst3", "1"), {}, 1, true },
        { catalogRow (cidA, "Comp", "/p/Comp.vst3", "0"), {}, 1, false },
        { catalogRow (cidA, "Comp", "/p/Comp.vst3", "2"), badFlag, 0, false },
        { catalogRow (cidA, "Comp", "/p/Comp.vst3\t"), {}, 1, true },   // trailing TAB is trailing whitespace
        { catalogRow (cidA, "", "/p/Comp.vst3"), {}, 1, true },          // empty name column counts
        { cidA + "\tComp\tVendor\t1.0\n", badColumns, 0, false },
        { catalogRow (cidA, "Comp", "/p/Comp.vst3", "1\tmore"), badColumns, 0, false },
        { "  " + cidA.toLowerCase() + " \tComp\tV\t1\t/p/C.vst3\n", {}, 1, true },
        { " " + cid31 + "\tComp\tV\t1\t/p/C.vst3\n", "invalid VST3 CID in factory catalog:  " + cid31 + " at line 1", 0, false },
        { "XYZ\ta\tb\tc\td\t7\n", "invalid VST3 CID in factory catalog: XYZ at line 1", 0, false },  // CID before flag
        { "\n \n\t\n", noRows, 0, false },
        { "", noRows, 0, false },
        { catalogRow (cidA, "Comp", "/p/C.vst3").trimEnd() + "\r" + catalogRow (cidB, "Gate", "/p/G.vst3").trimEnd() + "\r", {}, 2, true },
        { catalogRow (cidA, "Comp", "/p/C.vst3").trimEnd() + "\r\n" + catalogRow (cidB, "Gate", "/p/G.vst3", "0").trimEnd(), {}, 2, true },
        { catalogRow (cidA, "Comp", "/p/C.vst3") + "bad row\n" + catalogRow (cidB, "Gate", "/p/G.vst3"),
          badColumns.replace ("line 1", "line 2"), 1, true },
        // Blank lines count as lines; a CR LF is one line end.
        { catalogRow (cidA, "Comp", "/p/C.vst3").trimEnd() + "\r\n\r\n \nbad row\n", badColumns.replace ("line 1", "line 4"), 1, true },
        { catalogRow (cidA, "Comp", "/p/C.vst3") + catalogRow (cidA.toLowerCase(), "", "/p/C.vst3", "0"), {}, 1, false },
    };

    for (const auto& c : cases)
    {
        Vst3ModuleIndex index;
        juce::String error = "stale";
        const bool ok = index.loadFactoryCatalogText (c.text, error);
        EXPECT_EQ (ok, c.error.isEmpty()) << c.text;
        if (! ok)
            EXPECT_EQ (error, c.error) << c.text;
        ASSERT_EQ (index.entries.size(), c.entries) << c.text;
        if (c.entries > 0)
        {
            const auto& first = index.entries.getReference (0);
            EXPECT_EQ (first.classId, cidA) << c.text;
            EXPECT_EQ (first.available, c.firstAvailable) << c.text;
            EXPECT_EQ (first.uniqueId, 0xe26ab0d0u);
            EXPECT_EQ (first.uid, 0x99edfa10u);
            EXPECT_EQ (first.reaperId, 0u);
        }
    }
}

TEST (Vst3FactoryCatalog, KeepsTextsAndBundlesByTheMergeRule)
{
    vorntest::TempFolder temp;
    const auto bundle = temp.file ("Comp.vst3");
    ASSERT_TRUE (bundle.createDirectory());

    Vst3ModuleIndex index;
    juce::String error;
    ASSERT_TRUE (index.loadFactoryCatalogText (catalogRow (cidA, "Comp", bundle.getFullPathName())
                                                   + cidA + "\t\tOther\t\t" + temp.file ("Gone.vst3").getFullPathName() + "\n"
                                                   + catalogRow (cidB, "Rel", "relative/R.vst3"),
                                               error)) << error;
    const auto& a = index.entries.getReference (0);
    EXPECT_EQ (a.name, "Comp");
    EXPECT_EQ (a.vendor, "Other");
    EXPECT_EQ (a.version, "1.0");
    EXPECT_EQ (a.bundle, bundle);  // the second row's bundle does not exist
    EXPECT_EQ (index.findByClassId (cidB)->bundle, juce::File());  // a relative path never becomes a File
}

// Every refusal of a catalog file names it: a missing file and a folder as such, an empty file,
// and a bad row with its line in the file.
TEST (Vst3FactoryCatalog, RefusesMissingEmptyAndFolderFilesNamingThem)
{
    vorntest::TempFolder temp;
    const auto empty = temp.file ("empty.tsv");
    ASSERT_TRUE (empty.create());
    const auto bad = temp.file ("bad.tsv");
    ASSERT_TRUE (bad.replaceWithText ("\n" + catalogRow (cidA, "Comp", "/p/C.vst3") + "[vstcache]\n"));
    const auto blank = temp.file ("blank.tsv");
    ASSERT_TRUE (blank.replaceWithText ("\n \n"));
    struct Case { juce::File file; juce::String error; };
    const Case cases[] = {
        { temp.file ("missing.tsv"), "file not found: " + temp.file ("missing.tsv").getFullPathName() },
        { empty, "factory catalog is empty or unreadable: " + empty.getFullPathName() },
        { temp.folder, "a folder, not a file: " + temp.folder.getFullPathName() },
        { bad, "invalid factory catalog row (expected 5 or 6 tab-separated columns) at line 3 of " + bad.getFullPathName() },
        { blank, "factory catalog has no plugin records: " + blank.getFullPathName() },
    };
    for (const auto& c : cases)
    {
        Vst3ModuleIndex index;
        juce::String error;
        EXPECT_FALSE (index.loadFactoryCatalog (c.file, error));
        EXPECT_EQ (error, c.error);
    }

    const auto good = temp.file ("good.tsv");
    ASSERT_TRUE (good.replaceWithText (catalogRow (cidA, "Comp", "/p/C.vst3")));
    Vst3ModuleIndex index;
    juce::String error;
    EXPECT_TRUE (index.loadFactoryCatalog (good, error)) << error;
    EXPECT_NE (index.findByClassId (cidA), nullptr);
}

//==============================================================================
TEST (Vst3Lookups, ResolveClassIdTable)
{
    // Two classes share a uniqueId only when their words fold alike; build such a pair by hand.
    Vst3ModuleIndex index;
    juce::String error;
    ASSERT_TRUE (index.loadFactoryCatalogText (catalogRow (cidA, "A", "/p/A.vst3") + catalogRow (cidB, "B", "/p/B.vst3")
                                                   + catalogRow (cidC, "C", "/p/C.vst3"),
                                               error));
    auto twin = index.entries.getReference (2);
    twin.classId = "22222222222222222222222222222222";
    twin.uid = 0x12345678u;  // uniqueId shared with C, uid unique
    index.addOrReplace (twin);

    struct Case { PluginRef ref; juce::String expected; };
    PluginRef au = vst3Slot (0xe26ab0d0u, 0);
    au.format = "AU";
    const Case cases[] = {
        { vst3Slot (0xe26ab0d0u, 0), cidA },
        { vst3Slot (0xe26ab0d0u, 0x4d2e9a80u), cidA },         // the first pass decides
        { vst3Slot (0, 0x99edfa10u), cidA },                     // the older uid, signed-byte rule
        { vst3Slot (0, 0xbe9e7a10u), {} },                       // the unsigned-byte fold matches nothing
        { vst3Slot (0x11111111u, 0xf790ac88u), cidB },           // no uniqueId match: fall back to uid
        { vst3Slot (0xaaaaa262u, 0x12345678u), {} },             // shared uniqueId: empty, uid not consulted
        { vst3Slot (0, 0), {} },
        { au, {} },
    };
    for (const auto& c : cases)
        EXPECT_EQ (index.resolveClassId (c.ref), c.expected)
            << juce::String::toHexString (c.ref.uniqueId) << "/" << juce::String::toHexString (c.ref.deprecatedUid);

    EXPECT_EQ (index.findUniqueByBundle (juce::File ("/p/A.vst3")), &index.entries.getReference (0));
    EXPECT_EQ (index.findUniqueByBundle (juce::File ("/p/C.vst3")), nullptr);  // C and its twin
    EXPECT_EQ (index.findUniqueByBundle (juce::File ("/p/none.vst3")), nullptr);
    EXPECT_EQ (index.findUniqueByBundle (juce::File()), nullptr);
}

TEST (Vst3Lookups, ClassIdLookupSeesDirectAppendsAndCopiesStayApart)
{
    Vst3ModuleIndex index;
    juce::String error;
    ASSERT_TRUE (index.loadFactoryCatalogText (catalogRow (cidA, "A", "/p/A.vst3"), error));

    auto copy = index;  // copies answer on their own
    rapp::Vst3ModuleEntry added;
    added.classId = cidB;
    copy.entries.add (added);
    EXPECT_NE (copy.findByClassId (cidB), nullptr);
    EXPECT_EQ (index.findByClassId (cidB), nullptr);

    auto again = index.entries.getReference (0);
    again.name = "A2";
    copy.addOrReplace (again);  // merged into the existing entry, not appended
    EXPECT_EQ (copy.entries.size(), 2);
    EXPECT_EQ (copy.findByClassId (cidA)->name, "A2");
    EXPECT_EQ (index.findByClassId (cidA)->name, "A");
}

TEST (Vst3Lookups, AppliesCachedAvailability)
{
    Vst3ModuleIndex index;
    juce::String error;
    ASSERT_TRUE (index.loadFactoryCatalogText (catalogRow (cidA, "A", "/p/A.vst3") + catalogRow (cidB, "B", "/p/B.vst3", "0"),
                                               error));

    RackReadResult result;
    result.session.strips.resize (2);
    auto& slots = result.session.strips.getReference (0).plugins;
    slots.add (vst3Slot (0, 0, cidA.toLowerCase()));     // available by class id
    slots.add (vst3Slot (0, 0, cidB));                   // catalog flag 0
    slots.add (vst3Slot (0, 0, cidC));                   // unknown: registered, marked
    slots.add (vst3Slot (0xe26ab0d0u, 0));               // resolved through uniqueId, available
    slots.add (vst3Slot (0x1234u, 0));                   // unresolved
    PluginRef au = vst3Slot (0, 0);
    au.format = "AU";
    slots.add (au);
    slots.add (PluginRef());                             // empty slot
    result.session.strips.getReference (1).plugins.add (vst3Slot (0, 0, "not a cid"));

    EXPECT_EQ (index.applyCachedAvailability (result), 4);
    const bool expected[] = { false, true, true, false, true, false, false };
    for (int i = 0; i < slots.size(); ++i)
    {
        EXPECT_EQ (slots[i].unavailable, expected[i]) << i;
        EXPECT_EQ (slots[i].inactive, expected[i]) << i;
    }
    EXPECT_TRUE (result.session.strips[1].plugins[0].unavailable);

    ASSERT_NE (index.findByClassId (cidC), nullptr);
    EXPECT_FALSE (index.findByClassId (cidC)->available);
    EXPECT_EQ (index.entries.size(), 3);
}
