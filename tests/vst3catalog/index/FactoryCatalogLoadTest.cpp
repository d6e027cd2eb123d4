// The catalog tool's standard output, loaded the way the converter loads --factory-catalog.

#include "../CatalogTestSupport.h"

#include "rapp/Vst3ModuleIndex.h"

using namespace catalogtest;
using vornconv::rapp::Vst3ModuleIndex;

namespace
{

bool loadRows (const std::string& rows, const fs::path& folder, Vst3ModuleIndex& index, juce::String& error)
{
    const fs::path file = folder / "rows.tsv";
    { std::ofstream (file, std::ios::binary) << rows; }
    return index.loadFactoryCatalog (juce::File (file.string()), error);
}

} // namespace

TEST (FactoryCatalogLoad, ToolOutputLoadsWithEveryClassAvailable)
{
    TempDir dir;
    const std::string crash = makeBundle (dir.path, "Crash.vst3", "crash");
    const std::string fake = makeBundle (dir.path, "Fake.vst3", "ok");
    const ToolRun run = runProcess (VORNVST3CATALOG_BIN, { crash, fake });
    EXPECT_EQ (run.exitCode, 1);

    Vst3ModuleIndex index;
    juce::String error;
    ASSERT_TRUE (loadRows (run.out, dir.path, index, error)) << error;
    ASSERT_EQ (index.entries.size(), 2);

    const struct { const char* cid; const char* name; const char* vendor; const char* version; } expected[] = {
        { "0123456789ABCDEFFEDCBA9876543210", "Alpha", "Alpha Vendor", "1.2.3" },
        { "A0B1C2D3E4F5061728394A5B6C7D8E9F", "Be ta Line", "FV", "2.0 " },
    };
    for (const auto& e : expected)
    {
        const auto* entry = index.findByClassId (juce::String (e.cid).toLowerCase());
        ASSERT_NE (entry, nullptr) << e.cid;
        EXPECT_EQ (entry->classId, e.cid);
        EXPECT_EQ (entry->name, e.name);
        EXPECT_EQ (entry->vendor, e.vendor);
        EXPECT_EQ (entry->version, e.version);
        EXPECT_EQ (entry->bundle.getFullPathName().toStdString(), fake);
        EXPECT_TRUE (entry->available);
        EXPECT_EQ (entry->uniqueId, vornconv::rapp::deriveUniqueId (e.cid));
        EXPECT_NE (entry->uniqueId, 0u);
    }
    EXPECT_EQ (index.findUniqueByBundle (juce::File (crash)), nullptr);
}

TEST (FactoryCatalogLoad, PluginChatterAndRelativePathsCannotSpoilTheCatalog)
{
    TempDir dir;
    makeBundle (dir.path, "Chatty.vst3", "chatter");
    const fs::path previous = fs::current_path();
    fs::current_path (dir.path);
    const ToolRun run = runProcess (VORNVST3CATALOG_BIN, { "Chatty.vst3" });
    fs::current_path (previous);
    EXPECT_EQ (run.exitCode, 0) << run.err;

    Vst3ModuleIndex index;
    juce::String error;
    ASSERT_TRUE (loadRows (run.out, dir.path, index, error)) << error;
    EXPECT_EQ (index.entries.size(), 2);
    EXPECT_EQ (index.findByClassId ("0123456789ABCDEF0123456789ABCDEF"), nullptr);   // the forged line
    const auto* entry = index.findByClassId ("0123456789ABCDEFFEDCBA9876543210");
    ASSERT_NE (entry, nullptr);
    EXPECT_EQ (entry->bundle, juce::File ((fs::canonical (dir.path) / "Chatty.vst3").string()));
}
