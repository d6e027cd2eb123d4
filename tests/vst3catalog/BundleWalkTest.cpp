#include "CatalogTestSupport.h"

#include "vst3catalog/BundleWalk.h"

using namespace catalogtest;
using vornconv::vst3catalog::findBundles;

namespace
{

std::vector<std::string> bundlePaths (const std::vector<vornconv::vst3catalog::WalkItem>& items)
{
    std::vector<std::string> paths;
    for (const auto& item : items)
    {
        EXPECT_TRUE (item.isBundle) << item.path << ": " << item.message;
        paths.push_back (item.path);
    }
    return paths;
}

} // namespace

TEST (BundleWalk, VisitsFoldersSortedOnceEachWithoutDescendingIntoBundles)
{
    TempDir dir;
    const fs::path root = dir.path / "root";
    makeBundle (root, "b.vst3", "");
    makeBundle (root, "a.vst3", "");
    makeBundle (root / "a.vst3" / "Contents", "inner.vst3", "");   // inside a bundle: not visited
    makeBundle (root / "sub", "c.vst3", "");
    makeBundle (root / "Z-upper", "d.vst3", "");
    { std::ofstream (root / "file.vst3") << "not a folder"; }
    fs::create_directory_symlink (root, root / "sub" / "loop");       // cycle back to the root
    fs::create_directory_symlink (root / "sub", root / "x-alias");    // second way into sub
    fs::create_directory_symlink (dir.path / "missing", root / "dangling.vst3");
    const fs::path other = dir.path / "other";
    makeBundle (other, "e.vst3", "");
    fs::create_directory_symlink (other / "e.vst3", root / "linked.vst3");  // a linked bundle counts

    const auto items = findBundles ({ (dir.path / "absent").string(), root.string(), (root / "sub").string() });
    const std::vector<std::string> expected = {
        (root / "Z-upper" / "d.vst3").string(),
        (root / "a.vst3").string(),
        (root / "b.vst3").string(),
        (root / "linked.vst3").string(),
        (root / "sub" / "c.vst3").string(),
    };
    EXPECT_EQ (bundlePaths (items), expected);
}

TEST (BundleWalk, ScanAllCountsAttemptsSuccessesAndFailures)
{
    TempDir dir;
    const fs::path root = dir.path / "vst3";
    const std::string crash = makeBundle (root, "1-Crash.vst3", "crash");
    const std::string ok = makeBundle (root, "2-Good.vst3", "v1");

    auto settings = testSettings();
    settings.roots = { root.string(), (dir.path / "absent").string() };
    ToolRun run = runInProcess ({ "--all" }, settings);
    EXPECT_EQ (run.exitCode, 0);
    EXPECT_EQ (run.out, "0123456789ABCDEFFEDCBA9876543210\tAlpha\tFV\t\t" + ok + "\n");
    auto lines = splitLines (run.err);
    ASSERT_GE (lines.size(), 2u);
    EXPECT_EQ (lines.back(), "SCAN_SUMMARY\tattempted=2\tsucceeded=1\tfailed=1");
    EXPECT_EQ (lines[lines.size() - 2].rfind ("ERROR\t\"" + crash + "\"\tisolation reader failed", 0), 0u) << run.err;

    fs::remove_all (ok);
    run = runInProcess ({ "--all" }, settings);
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (splitLines (run.err).back(), "SCAN_SUMMARY\tattempted=1\tsucceeded=0\tfailed=1");

    // Nothing found: every folder searched is named, with why it gave nothing.
    fs::create_directories (dir.path / "empty" / "sub");
    { std::ofstream (dir.path / "file") << "x"; }
    settings.roots = { (dir.path / "absent").string(), (dir.path / "empty").string(), (dir.path / "file").string() };
    run = runInProcess ({ "--all" }, settings);
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (run.out, "");
    EXPECT_EQ (run.err, "ERROR\t\"" + (dir.path / "absent").string() + "\"\tno VST3 bundle found: the folder does not exist\n"
                        "ERROR\t\"" + (dir.path / "empty").string() + "\"\tno VST3 bundle found in this folder or below it\n"
                        "ERROR\t\"" + (dir.path / "file").string() + "\"\tno VST3 bundle found: not a directory\n"
                        "SCAN_SUMMARY\tattempted=0\tsucceeded=0\tfailed=0\n");
}
