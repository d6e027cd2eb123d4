#include "rapp/Vst3FactoryCache.h"
#include "rapp/Vst3ModuleIndex.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <juce_cryptography/juce_cryptography.h>

#include <cstdlib>
#include <sys/stat.h>

using namespace vornconv;
using namespace vornconv::rapp;
namespace cache = vornconv::rapp::Vst3FactoryCache;

namespace
{

const juce::String cidA = "0123456789ABCDEF0123456789ABCDEF";
const juce::String cidB = "00112233445566770011223344556677";
const juce::String cidC = "11111111222222223333333344444444";

juce::String cidNumber (int i)
{
    return juce::String::toHexString (0x10 + i).paddedLeft ('0', 32).toUpperCase();
}

juce::String row (const juce::String& cid, const juce::String& name, const juce::String& path = "/P/Fx.vst3",
                  const juce::String& vendor = "Acme", const juce::String& flag = {})
{
    auto text = cid + "\t" + name + "\t" + vendor + "\t1.0\t" + path;
    if (flag.isNotEmpty())
        text << "\t" << flag;
    return text;
}

std::string bytesOf (const juce::File& file)
{
    juce::MemoryBlock block;
    file.loadFileAsData (block);
    return block.toString().toStdString();
}

void writeBytes (const juce::File& file, const std::string& bytes)
{
    ASSERT_TRUE (file.getParentDirectory().createDirectory());
    juce::FileOutputStream out (file);
    ASSERT_TRUE (out.openedOk());
    ASSERT_TRUE (out.setPosition (0) && out.truncate().wasOk());
    ASSERT_TRUE (out.write (bytes.data(), bytes.size()));
    out.flush();
    ASSERT_TRUE (out.getStatus().wasOk());
}

// ---------------------------------------------------------------------------------------------

TEST (Vst3FactoryCacheRecords, ValidateAcceptsAndRefusesLines)
{
    struct Case { const char* what; std::string text; bool ok; juce::String error; int available, unavailable; };
    const std::vector<Case> cases {
        { "trailing TAB makes five fields", (row (cidA, "Fx") + "\t\r\n").toStdString(), true, {}, 1, 0 },
        { "six fields, flag 0", (row (cidA, "Fx", "/P/Fx.VST3", "", "0") + "\r\n").toStdString(), true, {}, 0, 1 },
        { "CR-only line ends", (row (cidA, "A") + "\r" + row (cidB, "B") + "\r").toStdString(), true, {}, 2, 0 },
        { "identical duplicate", (row (cidA, "Fx") + "\n" + row (cidA.toLowerCase(), "Fx") + "\n").toStdString(), true, {}, 1, 0 },
        { "conflicting duplicate", (row (cidA, "Fx") + "\n" + row (cidA.toLowerCase(), "Fx", "/P/Fx.vst3", "Other") + "\n").toStdString(),
          false, "conflicting duplicate VST3 CID in factory cache: " + cidA, 0, 0 },
        { "flag 2", (row (cidA, "Fx", "/P/Fx.vst3", "Acme", "2") + "\n").toStdString(), false, "invalid factory cache availability flag", 0, 0 },
        { "four fields", (cidA + "\tFx\tAcme\t/P/Fx.vst3\n").toStdString(), false, "invalid persistent factory cache row", 0, 0 },
        { "seven fields", (row (cidA, "Fx", "/P/Fx.vst3", "Acme", "1") + "\tx\n").toStdString(), false, "invalid persistent factory cache row", 0, 0 },
        { "31-digit CID", (row (cidA.dropLastCharacters (1), "Fx") + "\n").toStdString(), false, "invalid VST3 identity in factory cache", 0, 0 },
        { "empty name", (row (cidA, "") + "\n").toStdString(), false, "invalid VST3 identity in factory cache", 0, 0 },
        { "relative path", (row (cidA, "Fx", "P/Fx.vst3") + "\n").toStdString(), false, "invalid VST3 identity in factory cache", 0, 0 },
        { "home-relative path", (row (cidA, "Fx", "~/Fx.vst3") + "\n").toStdString(), false, "invalid VST3 identity in factory cache", 0, 0 },
        { "wrong extension", (row (cidA, "Fx", "/P/Fx.vst") + "\n").toStdString(), false, "invalid VST3 identity in factory cache", 0, 0 },
        { "byte-order mark", "\xEF\xBB\xBF" + (row (cidA, "Fx") + "\n").toStdString(), false, "invalid VST3 identity in factory cache", 0, 0 },
        { "empty file", "", false, "factory cache is empty or unreadable", 0, 0 },
        { "invalid UTF-8", (row (cidA, "Fx") + "\n").toStdString() + "\xFF\n", false, "factory cache is empty or unreadable", 0, 0 },
        { "NUL byte", std::string ("x\0y\n", 4), false, "factory cache is empty or unreadable", 0, 0 },
        { "blank lines only", " \r\n\t\r\n\r\n", false, "factory cache has no plugin identities", 0, 0 },
    };

    vorntest::TempFolder dir;
    const auto file = dir.file ("cache.tsv");
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        writeBytes (file, c.text);
        FactoryCacheStats stats { 9, 9 };
        juce::String error = "stale";
        EXPECT_EQ (cache::validate (file, stats, error), c.ok);
        EXPECT_EQ (error, c.error);
        EXPECT_EQ (stats.available, c.available);
        EXPECT_EQ (stats.unavailable, c.unavailable);
    }

    FactoryCacheStats stats;
    juce::String error;
    EXPECT_FALSE (cache::validate (dir.file ("absent.tsv"), stats, error));
    EXPECT_EQ (error, "factory cache does not exist: " + dir.file ("absent.tsv").getFullPathName());
}

TEST (Vst3FactoryCacheMerge, WritesSortedUpperCaseCrLfTextThatTheCatalogReaderLoads)
{
    vorntest::TempFolder dir;
    const auto file = dir.file ("cache.tsv");
    writeBytes (file, (row (cidC.toLowerCase(), "Old C", "/P/C.vst3", "Acme", "0") + "\n").toStdString());
    ::chmod (file.getFullPathName().toRawUTF8(), 0640);

    const auto scan = "DIAGNOSTIC\tsomething\n"
                    + row (cidB, "Bee", "/P/B.vst3") + "\r\n"
                    + "ERROR\t\"/P/X.vst3\"\tcould not load\n"
                    + "  " + row (cidA, "Ignored: leading blank") + "\n"
                    + row (cidA.toLowerCase(), "Ay", "/P/A.vst3", "") + "  \n"
                    + "SCAN_SUMMARY\t2\n\n";
    FactoryCacheStats stats;
    juce::String error;
    ASSERT_TRUE (cache::mergeScan (file, scan, file, FactoryScanScope::Individual, stats, error)) << error;
    EXPECT_EQ (stats.available, 2);
    EXPECT_EQ (stats.unavailable, 1);

    const std::string expected = (cidB + "\tBee\tAcme\t1.0\t/P/B.vst3\t1\r\n"
                                + cidA + "\tAy\t\t1.0\t/P/A.vst3\t1\r\n"
                                + cidC + "\tOld C\tAcme\t1.0\t/P/C.vst3\t0\r\n").toStdString();
    EXPECT_EQ (bytesOf (file), expected);

    struct stat info;
    ASSERT_EQ (::stat (file.getFullPathName().toRawUTF8(), &info), 0);
    EXPECT_EQ (info.st_mode & 0777, 0640u);
    EXPECT_EQ (dir.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1);

    Vst3ModuleIndex index;
    ASSERT_TRUE (index.loadFactoryCatalog (file, error)) << error;
    ASSERT_EQ (index.entries.size(), 3);
    const auto* c = index.findByClassId (cidC);
    ASSERT_NE (c, nullptr);
    EXPECT_EQ (c->name, "Old C");
    EXPECT_FALSE (c->available);
    EXPECT_TRUE (index.findByClassId (cidA)->available);
    EXPECT_EQ (index.findByClassId (cidA)->bundle, juce::File ("/P/A.vst3"));

    ASSERT_TRUE (cache::validate (file, stats, error)) << error;
    EXPECT_EQ (stats.available, 2);
}

TEST (Vst3FactoryCacheMerge, GlobalScopeClearsUnscannedFlagsIndividualKeepsThem)
{
    vorntest::TempFolder dir;
    const auto existing = dir.file ("cache.tsv");
    juce::String ten, scan;
    for (int i = 0; i < 10; ++i)
        ten << row (cidNumber (i), "Fx " + juce::String (i), "/P/Fx.vst3", "Acme", i == 9 ? "0" : "1") << "\r\n";
    for (int i : { 0, 4, 9 })
        scan << row (cidNumber (i), "New " + juce::String (i), "/P/New.vst3") << "\n";
    writeBytes (existing, ten.toStdString());

    struct Case { FactoryScanScope scope; int available, unavailable; };
    for (const auto& c : { Case { FactoryScanScope::Global, 3, 7 }, Case { FactoryScanScope::Individual, 10, 0 } })
    {
        SCOPED_TRACE ((int) c.scope);
        const auto output = dir.file ("out/" + juce::String ((int) c.scope) + "/cache.tsv");
        FactoryCacheStats stats;
        juce::String error;
        ASSERT_TRUE (cache::mergeScan (existing, scan, output, c.scope, stats, error)) << error;
        EXPECT_EQ (stats.available, c.available);
        EXPECT_EQ (stats.unavailable, c.unavailable);

        const auto lines = juce::StringArray::fromLines (juce::String (bytesOf (output)).trimEnd());
        ASSERT_EQ (lines.size(), 10);
        for (int i = 0; i < 10; ++i)
        {
            const bool scanned = i == 0 || i == 4 || i == 9;
            const auto fields = juce::StringArray::fromTokens (lines[i].trimEnd(), "\t", "");
            EXPECT_EQ (fields[0], cidNumber (i));
            EXPECT_EQ (fields[1], (scanned ? "New " : "Fx ") + juce::String (i));
            const bool available = scanned || (c.scope == FactoryScanScope::Individual && i != 9);
            EXPECT_EQ (fields[5], available ? "1" : "0") << i;
        }
    }
    EXPECT_EQ (bytesOf (existing), ten.toStdString());
}

TEST (Vst3FactoryCacheMerge, FailuresLeaveTheOutputAlone)
{
    const std::string old = (row (cidA, "Fx", "/P/Fx.vst3", "Acme", "1") + "\r\n").toStdString();
    const std::string broken = "not a cache line\r\n" + old;
    struct Case { const char* what; std::string existing; juce::String scan; FactoryScanScope scope; juce::String error; };
    const std::vector<Case> cases {
        { "only errors and diagnostics", old, juce::String ("ERROR\tx\tfailed\nDIAGNOSTIC\ty\nSCAN_SUMMARY\t0\n\n"), FactoryScanScope::Global,
          "factory scan produced no valid VST3 identities" },
        { "six-field scanner row", old, row (cidB, "B", "/P/B.vst3", "Acme", "1"), FactoryScanScope::Global, "invalid factory scanner row" },
        { "bad identity after a good row", old, row (cidB, "B") + "\n" + row (cidC, "C", "/P/C.dll"), FactoryScanScope::Global,
          "invalid VST3 identity in factory cache" },
        { "per-bundle merge into a damaged cache", broken, row (cidB, "B"), FactoryScanScope::Individual,
          "existing factory cache is invalid and was kept: invalid persistent factory cache row" },
    };

    vorntest::TempFolder dir;
    const auto file = dir.file ("cache.tsv");
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        writeBytes (file, c.existing);
        FactoryCacheStats stats { 5, 5 };
        juce::String error;
        EXPECT_FALSE (cache::mergeScan (file, c.scan, file, c.scope, stats, error));
        EXPECT_EQ (error, c.error);
        EXPECT_EQ (stats.available + stats.unavailable, 0);
        EXPECT_EQ (bytesOf (file), c.existing);
    }

    // A full scan rebuilds a damaged cache from what it scanned.
    writeBytes (file, broken);
    FactoryCacheStats stats;
    juce::String error;
    ASSERT_TRUE (cache::mergeScan (file, row (cidB, "B"), file, FactoryScanScope::Global, stats, error)) << error;
    EXPECT_EQ (bytesOf (file), (row (cidB, "B", "/P/Fx.vst3", "Acme", "1") + "\r\n").toStdString());

    // Where the output cannot be written, nothing is left behind.
    writeBytes (dir.file ("plain"), "x");
    EXPECT_FALSE (cache::mergeScan ({}, row (cidB, "B"), dir.file ("plain/cache.tsv"), FactoryScanScope::Global, stats, error));
    EXPECT_EQ (error, "could not create factory cache directory");
    ASSERT_TRUE (dir.file ("folder").createDirectory());
    EXPECT_FALSE (cache::mergeScan ({}, row (cidB, "B"), dir.file ("folder"), FactoryScanScope::Global, stats, error));
    EXPECT_EQ (error, "could not atomically replace factory cache");
    EXPECT_EQ (dir.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 3);

    // A missing parent folder is created.
    ASSERT_TRUE (cache::mergeScan ({}, row (cidB, "B"), dir.file ("new/deeper/cache.tsv"), FactoryScanScope::Global, stats, error)) << error;
    EXPECT_TRUE (dir.file ("new/deeper/cache.tsv").existsAsFile());
}

// ---------------------------------------------------------------------------------------------
// The live host's caches

TEST (Vst3FactoryCacheLive, IdentityKeyAndBundleFingerprint)
{
    EXPECT_EQ (cache::liveIdentityKey ("/p/X.vst3", -1, "1.0"), "4:VST39:/p/X.vst32:-13:1.0");
    EXPECT_EQ (cache::liveIdentityKey (juce::String::fromUTF8 ("/p/\xEC\x86\x8C.vst3"), 12, ""),
               juce::String::fromUTF8 ("4:VST39:/p/\xEC\x86\x8C.vst32:120:"));

    vorntest::TempFolder dir;
    const auto bundle = dir.file ("Fx.vst3");
    EXPECT_EQ (cache::bundleFingerprint (bundle), "");

    const auto t = [] (int s) { return juce::Time ((juce::int64) s * 1000); };
    writeBytes (bundle.getChildFile ("Contents/x86_64-linux/Fx.so"), "elf");
    writeBytes (bundle.getChildFile ("Contents/Info.plist"), "<plist/>");
    ASSERT_TRUE (bundle.getChildFile ("Contents/Info.plist").setLastModificationTime (t (1700000100)));
    ASSERT_TRUE (bundle.getChildFile ("Contents/x86_64-linux/Fx.so").setLastModificationTime (t (1700000200)));
    ASSERT_TRUE (bundle.setLastModificationTime (t (1700000000)));
    const auto head = bundle.getFullPathName() + ":1700000000000:" + juce::String (bundle.getSize());
    EXPECT_EQ (cache::bundleFingerprint (bundle), head + "|Fx.so:3:1700000200000|Info:8:1700000100000");

    // The macOS folder takes precedence; its files come in path order, links followed.
    writeBytes (bundle.getChildFile ("Contents/MacOS/b"), "12");
    writeBytes (bundle.getChildFile ("Contents/MacOS/B2"), "1");
    ASSERT_TRUE (bundle.getChildFile ("Contents/MacOS/sub").createDirectory());
    ASSERT_EQ (::symlink ("b", bundle.getChildFile ("Contents/MacOS/a").getFullPathName().toRawUTF8()), 0);
    for (const char* name : { "b", "B2" })
        ASSERT_TRUE (bundle.getChildFile ("Contents/MacOS").getChildFile (name).setLastModificationTime (t (1700000300)));
    EXPECT_EQ (cache::bundleFingerprint (bundle), head + "|B2:1:1700000300000|a:2:1700000300000|b:2:1700000300000"
                                                + "|Info:8:1700000100000");
}

struct FakeClass { juce::String cid, name, vendor; };
struct LivePlugin { juce::String name, bundlePath, uniqueHex, fileTime, version, probeError; };

// A home folder with an installed bundle and the live host's three caches about it, all
// consistent; each test then breaks one thing.
class Vst3FactoryCacheImport : public ::testing::Test
{
protected:
    vorntest::TempFolder home;
    juce::String savedHome;
    bool hadHome = false;
    juce::File bundle, live, converter;
    int calls = 0;

    void SetUp() override
    {
        if (const char* h = std::getenv ("HOME"))
        {
            hadHome = true;
            savedHome = h;
        }
        ::setenv ("HOME", home.path().c_str(), 1);
        bundle = home.file ("Library/Audio/Plug-Ins/VST3/Fake.vst3");
        live = home.file ("live/known.xml");
        converter = home.file ("converter/factory.tsv");
        writeBundle ({ { cidA, "Fake EQ", "Acme" }, { cidB, "Fake Comp", "Acme" } });
    }

    void TearDown() override
    {
        if (hadHome) ::setenv ("HOME", savedHome.toRawUTF8(), 1);
        else ::unsetenv ("HOME");
    }

    void writeBundle (const std::vector<FakeClass>& classes)
    {
        juce::String json = "{ \"Classes\": [";
        for (size_t i = 0; i < classes.size(); ++i)
            json << (i > 0 ? ", " : "") << "{ \"CID\": \"" << classes[i].cid << "\", \"Category\": \"Audio Module Class\", \"Name\": \""
                 << classes[i].name << "\", \"Vendor\": \"" << classes[i].vendor << "\", \"Version\": \"1.0.0\" }";
        json << "] }";
        writeBytes (bundle.getChildFile ("Contents/Resources/moduleinfo.json"), json.toStdString());
        writeBytes (bundle.getChildFile ("Contents/MacOS/Fake"), "binary");
        writeBytes (bundle.getChildFile ("Contents/Info.plist"), "<plist/>");
        settle (bundle);
    }

    static void settle (const juce::File& b)
    {
        ASSERT_TRUE (b.setLastModificationTime (juce::Time ((juce::int64) 1700000000 * 1000)));
    }

    LivePlugin plugin (const juce::String& cid, const juce::String& name) const
    {
        return { name, bundle.getFullPathName(), juce::String::toHexString ((int) deriveUniqueId (cid)),
                 juce::String::toHexString (bundle.getLastModificationTime().toMilliseconds()), "1.0.0", {} };
    }

    static juce::String signature (const juce::String& juceVersion = juce::SystemStats::getJUCEVersion(),
                                   const juce::String& build = cache::hostOsBuild(), const juce::String& translation = "native")
    {
        juce::XmlElement environment ("Environment");
        environment.setAttribute ("schema", 1);
        environment.setAttribute ("build", build);
        environment.setAttribute ("architecture", "x86_64");
        environment.setAttribute ("translation", translation);
        environment.setAttribute ("juce", juceVersion);
        return environment.toString (juce::XmlElement::TextFormat().singleLine().withoutHeader());
    }

    static juce::String modes (const std::vector<juce::String>& list)
    {
        juce::String text;
        for (const auto& m : list)
            text << "<Mode " << m << "/>";
        return text;
    }

    static juce::String goodModes()
    {
        return modes ({ "index=\"0\" status=\"1\" supported=\"1\" selectedAuxInputs=\"0\"",
                        "index=\"1\" status=\"0\" supported=\"0\" selectedAuxInputs=\"-1\"",
                        "index=\"2\" status=\"2\" supported=\"0\" selectedAuxInputs=\"-1\"",
                        "index=\"3\" status=\"1\" supported=\"1\" selectedAuxInputs=\"2\"" });
    }

    // Writes the three caches. The layout records are made for the bundle as it is now.
    void writeLive (const std::vector<LivePlugin>& plugins, const juce::String& state = "complete",
                    const juce::String& sig = signature(), const juce::String& modeText = goodModes(),
                    int layoutCopies = 1, const juce::String& extraKnown = {})
    {
        juce::XmlElement known ("KNOWNPLUGINS");
        juce::XmlElement layout ("PluginLayoutCache");
        layout.setAttribute ("schema", 2);
        const auto sigBytes = sig.toStdString();
        const auto environmentHash = juce::SHA256 (sigBytes.data(), sigBytes.size()).toHexString();
        for (const auto& p : plugins)
        {
            auto* e = known.createNewChildElement ("PLUGIN");
            e->setAttribute ("name", p.name);
            e->setAttribute ("format", "VST3");
            e->setAttribute ("file", p.bundlePath);
            e->setAttribute ("uniqueId", p.uniqueHex);
            e->setAttribute ("fileTime", p.fileTime);
            e->setAttribute ("version", p.version);
            const auto unique = (juce::int32) (juce::uint32) p.uniqueHex.getHexValue64();
            for (int copy = 0; copy < layoutCopies; ++copy)
            {
                auto* l = layout.createNewChildElement ("Plugin");
                l->setAttribute ("identity", cache::liveIdentityKey (p.bundlePath, unique, p.version));
                l->setAttribute ("environment", environmentHash);
                l->setAttribute ("path", p.bundlePath);
                l->setAttribute ("fingerprint", cache::bundleFingerprint (juce::File (p.bundlePath)));
                l->setAttribute ("lastProbeError", p.probeError);
                auto capabilities = juce::parseXML ("<Capabilities schema=\"2\" defaultMainInputs=\"2\" defaultMainOutputs=\"2\" "
                                                    "defaultAuxInputs=\"0\" defaultAuxOutputs=\"1\">" + modeText + "</Capabilities>");
                l->addChildElement (capabilities.release());
            }
        }
        auto knownText = known.toString();
        if (extraKnown.isNotEmpty())
            knownText = knownText.replace ("</KNOWNPLUGINS>", extraKnown + "</KNOWNPLUGINS>");
        writeBytes (live, knownText.toStdString());

        juce::XmlElement environment ("PluginScanEnvironment");
        environment.setAttribute ("schema", 1);
        environment.setAttribute ("state", state);
        if (state == "complete")
            environment.setAttribute ("catalogHash", juce::SHA256 (live).toHexString());
        environment.setAttribute ("signature", sig);
        writeBytes (live.getSiblingFile ("plugin_scan_environment.xml"), environment.toString().toStdString());
        writeBytes (live.getSiblingFile ("plugin_layout_capabilities.xml"), layout.toString().toStdString());
    }

    void editFile (const juce::String& name, const juce::String& from, const juce::String& to)
    {
        const auto file = live.getSiblingFile (name);
        const auto text = file.loadFileAsString();
        ASSERT_TRUE (text.contains (from)) << from;
        writeBytes (file, text.replace (from, to).toStdString());
    }

    bool run (juce::String& report, juce::String& error, FactoryCacheStats& stats, const cache::IsolatedCheck& check = {})
    {
        return cache::importVornLive (live, converter, stats, report, error, check);
    }
};

TEST_F (Vst3FactoryCacheImport, ImportsVerifiedPluginsAndKeepsOtherRecords)
{
    auto eq = plugin (cidA, "Fake EQ");
    eq.probeError = "late\r\nissue";
    auto gone = plugin (cidC, "Gone");
    gone.bundlePath = home.file ("Missing.vst3").getFullPathName();
    writeLive ({ eq, plugin (cidB, "Fake Comp"), gone }, "complete", signature(), goodModes(), 1,
               "<PLUGIN format=\"AudioUnit\" name=\"AU\"/><OTHER/>");
    writeBytes (converter, (row (cidC, "Kept", "/P/Kept.vst3", "Acme", "0") + "\r\n").toStdString());

    juce::String report, error;
    FactoryCacheStats stats;
    ASSERT_TRUE (run (report, error, stats)) << error << report;
    EXPECT_EQ (error, "");
    EXPECT_EQ (report, "VORN Live individually verified layouts (global scan: complete): imported 2, skipped 1.\n"
                       "Note: Fake EQ has a retained verified layout and later probe issue: late  issue\n"
                       "Skipped: Gone (VST3 bundle is missing)\n");
    EXPECT_EQ (stats.available, 2);
    EXPECT_EQ (stats.unavailable, 1);
    const auto path = bundle.getFullPathName();
    EXPECT_EQ (bytesOf (converter), (cidB + "\tFake Comp\tAcme\t1.0.0\t" + path + "\t1\r\n"
                                   + cidA + "\tFake EQ\tAcme\t1.0.0\t" + path + "\t1\r\n"
                                   + cidC + "\tKept\tAcme\t1.0\t/P/Kept.vst3\t0\r\n").toStdString());
}

TEST_F (Vst3FactoryCacheImport, PendingScanNeedsNoCatalogHash)
{
    writeLive ({ plugin (cidA, "Fake EQ") }, "pending");
    juce::String report, error;
    FactoryCacheStats stats;
    ASSERT_TRUE (run (report, error, stats)) << error << report;
    EXPECT_EQ (report, "VORN Live individually verified layouts (global scan: pending): imported 1, skipped 0.\n");
    EXPECT_EQ (stats.available, 1);
}

TEST_F (Vst3FactoryCacheImport, RefusesInconsistentCachesAndKeepsTheConverterCache)
{
    const std::string kept = (row (cidC, "Kept", "/P/Kept.vst3", "Acme", "1") + "\r\n").toStdString();
    const auto environmentFile = live.getSiblingFile ("plugin_scan_environment.xml");
    const auto layoutFile = live.getSiblingFile ("plugin_layout_capabilities.xml");
    struct Case { const char* what; std::function<void()> breakIt; juce::String error; };
    const std::vector<Case> cases {
        { "live cache missing", [&] { live.deleteFile(); },
          "VORN Live cache or scan environment could not be read. Existing converter cache was kept." },
        { "environment missing", [&] { environmentFile.deleteFile(); },
          "VORN Live cache or scan environment could not be read. Existing converter cache was kept." },
        { "live cache not XML", [&] { writeBytes (live, "<KNOWNPLUGINS>"); },
          "VORN Live plugin cache is missing or invalid." },
        { "live cache root", [&] { writeBytes (live, "<PLUGINS/>"); }, "VORN Live plugin cache is missing or invalid." },
        { "environment schema", [&] { editFile ("plugin_scan_environment.xml", "schema=\"1\"", "schema=\"1x\""); },
          "VORN Live scan environment record is missing or invalid. Existing converter cache was kept." },
        { "environment state", [&] { editFile ("plugin_scan_environment.xml", "\"complete\"", "\"done\""); },
          "VORN Live scan environment state is invalid; existing converter cache was kept." },
        { "catalog hash", [&] { writeBytes (live, live.loadFileAsString().toStdString() + "\n"); },
          "VORN Live plugin cache does not match its completed environment record. Existing converter cache was kept." },
        { "catalog hash missing", [&] { editFile ("plugin_scan_environment.xml", "catalogHash=", "otherHash="); },
          "VORN Live plugin cache does not match its completed environment record. Existing converter cache was kept." },
        { "JUCE version", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature ("JUCE v8.0.0")); },
          "VORN Live cache environment does not match this converter. Existing cache was kept." },
        { "OS build", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature (juce::SystemStats::getJUCEVersion(), "21G72")); },
          "VORN Live cache environment does not match this converter. Existing cache was kept." },
        { "empty OS build", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature (juce::SystemStats::getJUCEVersion(), "")); },
          "VORN Live cache environment does not match this converter. Existing cache was kept." },
        { "translation", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature (juce::SystemStats::getJUCEVersion(), cache::hostOsBuild(), "rosetta")); },
          "VORN Live cache environment does not match this converter. Existing cache was kept." },
        { "layout missing", [&] { layoutFile.deleteFile(); },
          "VORN Live per-plugin verified layout cache could not be read; existing converter cache was kept." },
        { "layout schema", [&] { editFile ("plugin_layout_capabilities.xml", "PluginLayoutCache schema=\"2\"", "PluginLayoutCache schema=\"1\""); },
          "VORN Live per-plugin verified layout cache is missing or invalid; existing converter cache was kept." },
        { "nothing imported", [&] { writeLive ({ plugin (cidA, "Other Name") }); },
          "No verified VST3 identities could be imported. Existing converter cache was kept." },
        { "invalid converter cache", [&] { writeBytes (converter, kept + "junk\r\n"); },
          "Existing converter cache is invalid and was kept: invalid persistent factory cache row" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        writeLive ({ plugin (cidA, "Fake EQ") });
        writeBytes (converter, kept);
        c.breakIt();
        const auto before = bytesOf (converter);
        juce::String report = "stale", error;
        FactoryCacheStats stats { 4, 4 };
        EXPECT_FALSE (run (report, error, stats));
        EXPECT_EQ (error, c.error);
        EXPECT_EQ (stats.available + stats.unavailable, 0);
        EXPECT_EQ (bytesOf (converter), before);
    }
}

TEST_F (Vst3FactoryCacheImport, SkipsPluginsThatCannotBeProven)
{
    const auto one = [this] (std::function<void (LivePlugin&)> edit) { auto p = plugin (cidA, "Fake EQ"); edit (p); return p; };
    const juce::String badLayout = "no valid same-environment, same-fingerprint verified layout";
    const juce::String badTime = "catalog file timestamp changed or unavailable";
    struct Case { const char* what; std::function<void()> prepare; juce::String reason; };
    const std::vector<Case> cases {
        { "bundle time differs from fileTime", [&] { writeLive ({ one ([] (LivePlugin& p) { p.fileTime = juce::String::toHexString (p.fileTime.getHexValue64() + 1000); }) }); }, badTime },
        { "fileTime 0", [&] { writeLive ({ one ([] (LivePlugin& p) { p.fileTime = "0"; }) }); }, badTime },
        { "fileTime empty", [&] { writeLive ({ one ([] (LivePlugin& p) { p.fileTime = ""; }) }); }, badTime },
        { "fileTime not hexadecimal", [&] { writeLive ({ one ([] (LivePlugin& p) { p.fileTime = "x" + p.fileTime; }) }); }, badTime },
        { "modes 0 to 2 only", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature(),
              modes ({ "index=\"0\" status=\"1\" supported=\"1\" selectedAuxInputs=\"0\"", "index=\"1\" status=\"0\" supported=\"0\" selectedAuxInputs=\"-1\"",
                       "index=\"2\" status=\"0\" supported=\"0\" selectedAuxInputs=\"-1\"" })); }, badLayout },
        { "no mode supported", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature(),
              modes ({ "index=\"0\" status=\"1\" supported=\"0\" selectedAuxInputs=\"-1\"", "index=\"1\" status=\"0\" supported=\"0\" selectedAuxInputs=\"-1\"",
                       "index=\"2\" status=\"0\" supported=\"0\" selectedAuxInputs=\"-1\"", "index=\"3\" status=\"2\" supported=\"0\" selectedAuxInputs=\"-1\"" })); }, badLayout },
        { "supported mode without status 1", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature(),
              goodModes().replace ("index=\"3\" status=\"1\"", "index=\"3\" status=\"2\"")); }, badLayout },
        { "repeated mode index", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature(),
              goodModes().replace ("index=\"2\"", "index=\"1\"")); }, badLayout },
        { "unsupported mode with aux inputs", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature(),
              goodModes().replace ("selectedAuxInputs=\"-1\"", "selectedAuxInputs=\"0\"")); }, badLayout },
        { "lenient number", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature(),
              goodModes().replace ("index=\"3\"", "index=\"3x\"")); }, badLayout },
        { "stranger child", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature(), goodModes() + "<Extra/>"); }, badLayout },
        { "two layout records", [&] { writeLive ({ plugin (cidA, "Fake EQ") }, "complete", signature(), goodModes(), 2); }, badLayout },
        { "layout of another environment", [&] { writeLive ({ plugin (cidA, "Fake EQ") });
              editFile ("plugin_layout_capabilities.xml", "environment=\"", "environment=\"0"); }, badLayout },
        { "binary changed since verification", [&] { writeLive ({ plugin (cidA, "Fake EQ") });
              writeBytes (bundle.getChildFile ("Contents/MacOS/Fake"), "patched"); }, badLayout },
        { "name not installed", [&] { writeLive ({ plugin (cidA, "Other") }); }, "installed moduleinfo CID could not be matched" },
        { "vendor with TAB", [&] { writeBundle ({ { cidA, "Fake EQ", "Ac\\tme" } }); writeLive ({ plugin (cidA, "Fake EQ") }); },
          "catalog fields contain unsupported control characters" },
        // These two class ids fold to the same uniqueId.
        { "ambiguous", [&] { writeBundle ({ { "0000000000000000000000000000001F", "Twin", "" }, { "00000000000000000000000100000000", "Twin", "" } });
              writeLive ({ plugin ("0000000000000000000000000000001F", "Twin") }); }, "installed moduleinfo CID is ambiguous" },
        { "bundle missing", [&] { writeLive ({ one ([this] (LivePlugin& p) { p.bundlePath = home.file ("None.vst3").getFullPathName(); }) }); },
          "VST3 bundle is missing" },
        { "relative bundle path", [&] { writeLive ({ one ([] (LivePlugin& p) { p.bundlePath = "Fake.vst3"; }) }); }, "VST3 bundle is missing" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        writeBundle ({ { cidA, "Fake EQ", "Acme" } });
        c.prepare();
        juce::String report, error;
        FactoryCacheStats stats;
        EXPECT_FALSE (run (report, error, stats));
        EXPECT_EQ (error, "No verified VST3 identities could be imported. Existing converter cache was kept.");
        const auto name = juce::String (c.what) == "ambiguous" ? "Twin" : (juce::String (c.what) == "name not installed" ? "Other" : "Fake EQ");
        EXPECT_EQ (report, juce::String ("Skipped: ") + name + " (" + c.reason + ")\n");
        EXPECT_FALSE (converter.exists());
    }
}

TEST_F (Vst3FactoryCacheImport, IsolatedCheckRunsOncePerBundle)
{
    bundle.getChildFile ("Contents/Resources/moduleinfo.json").deleteFile();
    settle (bundle);
    writeLive ({ plugin (cidA, "Fake EQ"), plugin (cidB, "Fake Comp") });
    const auto path = bundle.getFullPathName();

    juce::String report, error;
    FactoryCacheStats stats;
    const auto check = [&] (const juce::File& b, juce::String& rows, juce::String&) {
        ++calls;
        rows = "DIAGNOSTIC\tloaded\n" + row (cidA, "Fake EQ", b.getFullPathName()) + "\r\n" + row (cidB, "Fake Comp", b.getFullPathName()) + "\n";
        return true;
    };
    ASSERT_TRUE (run (report, error, stats, check)) << error << report;
    EXPECT_EQ (calls, 1);
    EXPECT_EQ (stats.available, 2);
    EXPECT_EQ (bytesOf (converter), (cidB + "\tFake Comp\tAcme\t1.0\t" + path + "\t1\r\n"
                                   + cidA + "\tFake EQ\tAcme\t1.0\t" + path + "\t1\r\n").toStdString());
}

TEST_F (Vst3FactoryCacheImport, IsolatedCheckResultsAreDistrusted)
{
    bundle.getChildFile ("Contents/Resources/moduleinfo.json").deleteFile();
    settle (bundle);
    const auto path = bundle.getFullPathName();
    const auto good = row (cidA, "Fake EQ", path) + "\n";
    struct Case { const char* what; std::function<bool (juce::String&, juce::String&)> check; juce::String reason; };
    const std::vector<Case> cases {
        { "failed silently", [] (juce::String&, juce::String&) { return false; },
          "isolated factory check failed: isolated factory check failed" },
        { "failed with a reason", [] (juce::String&, juce::String& e) { e = "child crashed"; return false; },
          "isolated factory check failed: child crashed" },
        { "foreign bundle", [] (juce::String& r, juce::String&) { r = row (cidA, "Fake EQ", "/Other/Fake.vst3"); return true; },
          "isolated factory check failed: isolated factory returned invalid, conflicting or foreign rows" },
        { "repeated class id", [&] (juce::String& r, juce::String&) { r = good + row (cidA.toLowerCase(), "Fake EQ 2", path); return true; },
          "isolated factory check failed: isolated factory returned invalid, conflicting or foreign rows" },
        { "six fields", [&] (juce::String& r, juce::String&) { r = good.trimEnd() + "\t1"; return true; },
          "isolated factory check failed: isolated factory returned invalid, conflicting or foreign rows" },
        { "no rows", [] (juce::String& r, juce::String&) { r = "DIAGNOSTIC\tnothing\n"; return true; },
          "isolated factory check failed: invalid isolated factory results: factory catalog has no plugin records" },
        { "bundle changed meanwhile", [&] (juce::String& r, juce::String&) {
              r = good; writeBytes (bundle.getChildFile ("Contents/MacOS/Fake"), "patched"); return true; },
          "isolated factory check failed: plug-in changed during isolated factory check" },
        { "other class only", [&] (juce::String& r, juce::String&) { r = row (cidB, "Fake Comp", path); return true; },
          "isolated factory CID could not be uniquely matched" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        writeBytes (bundle.getChildFile ("Contents/MacOS/Fake"), "binary");
        settle (bundle);
        writeLive ({ plugin (cidA, "Fake EQ") });
        juce::String report, error;
        FactoryCacheStats stats;
        EXPECT_FALSE (run (report, error, stats, [&] (const juce::File&, juce::String& rows, juce::String& e) { return c.check (rows, e); }));
        EXPECT_EQ (error, "No verified VST3 identities could be imported. Existing converter cache was kept.");
        EXPECT_EQ (report, "Skipped: Fake EQ (" + c.reason + ")\n");
    }
}

TEST_F (Vst3FactoryCacheImport, ChangesDuringTheImportAreRefused)
{
    // A second bundle, known only through the isolated check, whose check disturbs the first.
    const auto other = home.file ("Library/Audio/Plug-Ins/VST3/Other.vst3");
    writeBytes (other.getChildFile ("Contents/MacOS/Other"), "binary");
    settle (other);
    auto second = plugin (cidC, "Other");
    second.bundlePath = other.getFullPathName();
    second.uniqueHex = juce::String::toHexString ((int) deriveUniqueId (cidC));
    second.fileTime = juce::String::toHexString (other.getLastModificationTime().toMilliseconds());

    struct Case { const char* what; std::function<void()> disturb; juce::String error; };
    const std::vector<Case> cases {
        { "live cache rewritten", [&] { writeBytes (live, live.loadFileAsString().toStdString() + " "); },
          "VORN Live cache changed during import; existing converter cache was kept." },
        { "imported bundle changed", [&] { writeBytes (bundle.getChildFile ("Contents/MacOS/Fake"), "patched"); },
          "A verified plug-in changed during import; existing converter cache was kept." },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        writeBytes (bundle.getChildFile ("Contents/MacOS/Fake"), "binary");
        settle (bundle);
        writeLive ({ plugin (cidA, "Fake EQ"), second });
        juce::String report, error;
        FactoryCacheStats stats;
        EXPECT_FALSE (run (report, error, stats, [&] (const juce::File& b, juce::String& rows, juce::String&) {
            c.disturb();
            rows = row (cidC, "Other", b.getFullPathName());
            return true;
        }));
        EXPECT_EQ (error, c.error);
        EXPECT_FALSE (converter.exists());
    }
}

} // namespace
