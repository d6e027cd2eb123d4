#include "CatalogTestSupport.h"

#include "vst3catalog/BundleWalk.h"

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

}

// A word that begins with "-" is an option: one the tool does not have, or one that stands alone
// given with others, is refused by name before any bundle is read; a bundle of such a name is
// given with its folder.
TEST (CatalogCommandLine, AnUnknownOrMisplacedOptionIsRefusedByNameThroughTheProgram)
{
    TempDir dir;
    const std::string good = makeBundle (dir.path, "Good.vst3", "v1");
    const struct { std::vector<std::string> args; std::string err; } cases[] = {
        { { "--al" }, "ERROR\tunknown option: --al (a bundle whose name begins with - is given as ./--al)\n" },
        { { good, "-x.vst3" }, "ERROR\tunknown option: -x.vst3 (a bundle whose name begins with - is given as ./-x.vst3)\n" },
        { { "--help", "-h" }, "ERROR\toption --help stands alone: give it without other arguments\n" },
        { { "--all", good }, "ERROR\toption --all stands alone: give it without other arguments\n" },
    };
    for (const auto& c : cases)
    {
        const ToolRun run = runProcess (VORNVST3CATALOG_BIN, c.args);
        EXPECT_EQ (run.exitCode, 1) << c.args[0];
        EXPECT_EQ (run.out, "") << c.args[0];
        EXPECT_EQ (run.err, c.err);
    }
}

TEST (CatalogCommandLine, APathThatIsNoBundleIsToldAsSuchThroughTheProgram)
{
    // No child is started for it, so there is no reader failure to report, only the cause.
    TempDir dir;
    const std::string good = makeBundle (dir.path, "Good.vst3", "v1");
    const std::string missing = (dir.path / "Missing.vst3").string();
    const std::string file = (dir.path / "File.vst3").string();
    { std::ofstream (file) << "x"; }
    const ToolRun run = runProcess (VORNVST3CATALOG_BIN, { missing, good, file });
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (run.out, alphaRow + good + "\n");
    EXPECT_EQ (run.err, "ERROR\t\"" + missing + "\"\tbundle does not exist\nERROR\t\"" + file + "\"\tbundle is not a directory\n");
}

TEST (CatalogCommandLine, AScanThatFindsNothingNamesTheFoldersItSearchedThroughTheProgram)
{
    const auto roots = vornconv::vst3catalog::defaultScanRoots();
    const ToolRun run = runProcess (VORNVST3CATALOG_BIN, { "--all" });
    const auto lines = splitLines (run.err);
    ASSERT_FALSE (lines.empty());
    if (lines.back().rfind ("SCAN_SUMMARY\tattempted=0\t", 0) != 0)
        GTEST_SKIP() << "this machine has VST3 bundles installed";
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (run.out, "");
    ASSERT_EQ (lines.size(), roots.size() + 1) << run.err;
    for (size_t i = 0; i < roots.size(); ++i)
        EXPECT_EQ (lines[i].rfind ("ERROR\t\"" + roots[i] + "\"\tno VST3 bundle found", 0), 0u) << lines[i];
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
    EXPECT_EQ (run.err, "ERROR\t\"" + (dir.path / "None.vst3").string() + "\"\tbundle does not exist\n");
}

TEST (CatalogCommandLine, RowsThatCannotBeWrittenAreAnErrorAndEndTheRun)
{
    TempDir dir;
    const std::string first = makeBundle (dir.path, "First.vst3", "v1");
    const std::string second = makeBundle (dir.path, "Second.vst3", "v1");
    const struct { const char* stdoutPath; int flags; const char* line; } cases[] = {
        { "/dev/full", O_WRONLY, "ERROR\t\"/dev/stdout\"\tunable to write catalog rows: No space left on device\n" },
        { "/dev/null", O_RDONLY, "ERROR\t\"/dev/stdout\"\tunable to write catalog rows: Bad file descriptor\n" },
        // A reader that is gone (`vornvst3catalog --all | head -c 10`) must not end the tool in silence.
        { goneReader, O_WRONLY, "ERROR\t\"/dev/stdout\"\tunable to write catalog rows: Broken pipe\n" },
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

// What a plug-in writes to a descriptor it inherited (the row channel included) must not certify
// another bundle's classes: a row that names any other bundle costs the bundle being read all its
// rows, with a line that says why.
TEST (CatalogCommandLine, APluginCannotCertifyAnotherBundle)
{
    TempDir dir;
    const std::string forger = makeBundle (dir.path, "Forger.vst3", "forge");
    const std::string honest = makeBundle (dir.path, "Honest.vst3", "v1");
    const ToolRun run = runProcess (VORNVST3CATALOG_BIN, { forger, honest });
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (run.out, alphaRow + honest + "\n");
    const auto lines = splitLines (run.err);
    EXPECT_NE (std::find (lines.begin(), lines.end(),
                          "ERROR\t\"" + forger + "\"\tcatalog row for another bundle refused: \"/forged.vst3\""),
               lines.end())
        << run.err;
}

// A plug-in gets the reader's standard descriptors and nothing else: with `3>&1` descriptor 3 of
// the tool is the catalog itself, and a row a plug-in writes there must not reach it.
TEST (CatalogCommandLine, APluginReachesNoDescriptorOfTheToolsCaller)
{
    TempDir dir;
    const std::string good = makeBundle (dir.path, "Good.vst3", "v1");
    const std::string forger = makeBundle (dir.path, "Forger.vst3", "inherited");
    const ToolRun run = runProcess (VORNVST3CATALOG_BIN, { good, forger }, {}, {}, O_WRONLY, [] {
        if (::dup2 (1, 3) != 3)
            ::_exit (126);
    });
    EXPECT_EQ (run.out, alphaRow + good + "\n");
    EXPECT_EQ (run.out.find ("Forged"), std::string::npos) << run.out;
}

// One bundle, however its path is written, gives the same rows.
TEST (CatalogCommandLine, EachBundlePathIsWrittenInOneForm)
{
    TempDir dir;
    makeBundle (dir.path, "Ok.vst3", "v1");
    fs::create_directory (dir.path / "sub");
    const fs::path previous = fs::current_path();
    fs::current_path (dir.path);
    const ToolRun run = runInProcess ({ "./Ok.vst3", "Ok.vst3/", "sub/..//./Ok.vst3", (fs::current_path() / "." / "Ok.vst3//").string() });
    fs::current_path (previous);
    EXPECT_EQ (run.exitCode, 0) << run.err;
    const std::string own = (fs::canonical (dir.path) / "Ok.vst3").string();
    const std::string viaSub = (fs::canonical (dir.path) / "sub/../Ok.vst3").string();
    EXPECT_EQ (run.out, alphaRow + own + "\n" + alphaRow + own + "\n" + alphaRow + viaSub + "\n" + alphaRow + own + "\n");
}

// A class that the factory describes only in wide text gets no row, but the user is told.
TEST (CatalogCommandLine, AClassDescribedOnlyInWideTextIsNamed)
{
    TempDir dir;
    const std::string bundle = makeBundle (dir.path, "Wide.vst3", "wide");
    const ToolRun run = runProcess (VORNVST3CATALOG_BIN, { bundle });
    EXPECT_EQ (run.exitCode, 0) << run.err;
    EXPECT_EQ (run.out, "0123456789ABCDEFFEDCBA9876543210\tAlpha\tAlpha Vendor\t1.2.3\t" + bundle + "\n");
    EXPECT_EQ (run.err, "DIAGNOSTIC\t\"" + bundle + "\"\nDIAGNOSTIC\t\"" + bundle
                        + "\"\tclass 2 is described only through getClassInfoUnicode and is not listed\n");
}
