#include "CatalogTestSupport.h"

using namespace catalogtest;

namespace
{

const std::string usage = "usage: vornvst3catalog <plugin.vst3> [<plugin.vst3> ...]\n       vornvst3catalog --all\n";
const std::string alphaRow = "0123456789ABCDEFFEDCBA9876543210\tAlpha\tFV\t\t";

} // namespace

TEST (CatalogCommandLine, UsageAndExitCodes)
{
    const struct { std::vector<std::string> args; int exitCode; } cases[] = {
        { {}, 1 },
        { { "--help" }, 0 },
        { { "-h" }, 0 },
    };
    for (const auto& c : cases)
    {
        const ToolRun run = runProcess (VORNVST3CATALOG_BIN, c.args);
        EXPECT_EQ (run.exitCode, c.exitCode) << c.args.size();
        EXPECT_EQ (run.out, "");
        EXPECT_EQ (run.err, usage);
    }

    // Anything else is a list of bundles: "--help" among others is just a missing bundle.
    const ToolRun run = runInProcess ({ "--help", "-h" });
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_NE (run.err.find ("ERROR\t\"--help\"\tisolation reader failed\n"), std::string::npos) << run.err;
    EXPECT_NE (run.err.find ("ERROR\t\"-h\"\tisolation reader failed\n"), std::string::npos) << run.err;
}

TEST (CatalogCommandLine, BundlesAreReadInOrderAndACrashCostsOnlyItsOwnRows)
{
    TempDir dir;
    const std::string crash = makeBundle (dir.path, "Crash.vst3", "crash");
    const std::string first = makeBundle (dir.path, "First.vst3", "v1");
    const std::string second = makeBundle (dir.path, "Second.vst3", "v1");
    const ToolRun run = runInProcess ({ second, crash, first });
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (run.out, alphaRow + second + "\n" + alphaRow + first + "\n");
    EXPECT_NE (run.err.find ("ERROR\t\"" + crash + "\"\tisolation reader failed"), std::string::npos) << run.err;
}

TEST (CatalogCommandLine, WorksWhenStartedThroughPath)
{
    TempDir dir;
    const std::string bundle = makeBundle (dir.path, "Fake.vst3", "v1");
    const fs::path binFolder = dir.path / "bin";
    fs::create_directory (binFolder);
    fs::create_symlink (VORNVST3CATALOG_BIN, binFolder / "vornvst3catalog");
    const ToolRun run = runProcess ("vornvst3catalog", { bundle }, binFolder.string());
    EXPECT_EQ (run.exitCode, 0) << run.err;
    EXPECT_EQ (run.out, alphaRow + bundle + "\n");
}

TEST (CatalogCommandLine, ChildModeKeepsPluginOutputOffTheRows)
{
    TempDir dir;
    const std::string bundle = makeBundle (dir.path, "Chatty.vst3", "chatter");
    ToolRun run = runProcess (VORNVST3CATALOG_BIN, { "--one", bundle });
    EXPECT_EQ (run.exitCode, 0);
    const auto rows = splitLines (run.out);
    ASSERT_EQ (rows.size(), 2u) << run.out;
    for (const auto& row : rows)
        EXPECT_EQ (std::count (row.begin(), row.end(), '\t'), 4) << row;
    EXPECT_NE (run.err.find ("hello from the plug-in\n"), std::string::npos);
    EXPECT_NE (run.err.find ("Forged"), std::string::npos);

    run = runProcess (VORNVST3CATALOG_BIN, { "--one", (dir.path / "None.vst3").string() });
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (run.out, "");
    EXPECT_EQ (run.err, "ERROR\t\"" + (dir.path / "None.vst3").string() + "\"\tmissing Contents/x86_64-linux binary\n");
}

TEST (CatalogCommandLine, RowsThatCannotBeWrittenAreAnErrorAndEndTheRun)
{
    TempDir dir;
    const std::string first = makeBundle (dir.path, "First.vst3", "v1");
    const std::string second = makeBundle (dir.path, "Second.vst3", "v1");
    const struct { const char* stdoutPath; int flags; const char* line; } cases[] = {
        { "/dev/full", O_WRONLY, "ERROR\t\"/dev/stdout\"\tunable to write catalog rows: No space left on device\n" },
        { "/dev/null", O_RDONLY, "ERROR\t\"/dev/stdout\"\tunable to write catalog rows: Bad file descriptor\n" },
    };
    for (const auto& c : cases)
    {
        const ToolRun run = runProcess (VORNVST3CATALOG_BIN, { first, second }, {}, c.stdoutPath, c.flags);
        EXPECT_EQ (run.exitCode, 1) << c.stdoutPath;
        EXPECT_EQ (run.err, c.line) << c.stdoutPath;   // once: the second bundle is not read in vain
    }

    // The same in a scan: no summary claims a result nobody received.
    std::ostream broken (nullptr);
    std::ostringstream err;
    auto settings = testSettings();
    settings.roots = { dir.path.string() };
    EXPECT_EQ (vornconv::vst3catalog::runCatalogCommandLine ({ "--all" }, settings, broken, err), 1);
    EXPECT_EQ (err.str().rfind ("ERROR\t\"/dev/stdout\"\tunable to write catalog rows", 0), 0u) << err.str();
    EXPECT_EQ (splitLines (err.str()).size(), 1u) << err.str();
}
