#include "SceneFixture.h"
#include "TestSupport.h"

#include "model/TestHooks.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The folder an output or an export goes into is held by the run from the moment it opens it:
// what happens to its path meanwhile (moved, replaced by another folder or by a link to the
// user's folder, made by another run) never leads the run to write, commit or remove anything
// elsewhere, and whole paths near the system's limit are written.
namespace
{

using vorntest::errorLines;

using vorntest::ProcessResult;

// A sandbox with a scene of one plug-in (a component and a controller state) and its catalog.
struct Sandbox : vorntest::ProgramSandbox
{
    Sandbox()
    {
        write ("in.ksn", vorntest::convertibleScene());
        write ("cat.tsv", vorntest::convertibleSceneCatalog());
    }

    std::vector<std::string> convertTo (const juce::String& output) const
    {
        return { "--convert", "vorn", "--factory-catalog", "cat.tsv", "--output", output.toStdString(), "in.ksn" };
    }

    std::vector<std::string> exportTo (const juce::String& folder) const
    {
        return { "--export-states", folder.toStdString(), "in.ksn" };
    }
};

// The names in a folder and what each holds (a small file's text, a larger one's size), links not
// followed, whatever the length of the paths below it.
std::map<std::string, std::string> contentsOf (const juce::File& folder)
{
    std::map<std::string, std::string> contents;
    const auto path = folder.getFullPathName().toStdString();
    DIR* dir = opendir (path.c_str());
    if (dir == nullptr)
        return contents;
    while (const auto* entry = readdir (dir))
    {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat info;
        std::string held = "?";
        if (fstatat (dirfd (dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG (info.st_mode))
            held = info.st_size <= 64 ? folder.getChildFile (juce::String (name)).loadFileAsString().toStdString()
                                      : std::to_string (info.st_size) + " bytes";
        contents[name] = held;
    }
    closedir (dir);
    return contents;
}

bool isLinkTo (const juce::File& link, const juce::File& target)
{
    return link.isSymbolicLink() && link.getLinkedTarget() == target;
}

} // namespace

// Between the run's last step and its commit (for the export: once its first file is in place),
// the folder is moved away, replaced by a new folder, or replaced by a link to a folder of the
// user's that holds a file of the same name as the run's first file; for a convert, also before
// the temporary is read back. The run refuses, naming the folder, and leaves nothing anywhere:
// not in the moved folder (no temporary, no committed file), not in what now stands at the path,
// and every file of the user's folder is kept, also when the run is interrupted there instead.
TEST (OutputFolders, AFolderMovedOrReplacedBeforeTheCommitIsRefusedWithNothingLeft)
{
    if (! vornconv::testHooks::available)
        GTEST_SKIP() << "a build without test hooks";

    enum class Swap { moved, replacedByFolder, replacedByLink };
    const struct
    {
        bool exporting;
        Swap swap;
        bool interrupt;
        const char* point = nullptr; // where the swap happens, when not before the commit
    } cases[] = {
        { false, Swap::moved, false },  { false, Swap::replacedByFolder, false },  { false, Swap::replacedByLink, false },
        { true, Swap::moved, false },   { true, Swap::replacedByFolder, false },   { true, Swap::replacedByLink, false },
        { false, Swap::replacedByLink, true }, { true, Swap::replacedByLink, true },
        { false, Swap::moved, false, "read-back:1" }, { false, Swap::replacedByLink, false, "read-back:1" },
    };
    for (const auto& c : cases)
    {
        const std::string point = c.point != nullptr ? c.point : c.exporting ? "commit:2" : "commit:1";
        SCOPED_TRACE (std::string (c.exporting ? "export" : "convert") + " swap " + std::to_string ((int) c.swap) + " at "
                      + point + (c.interrupt ? " interrupted" : ""));
        Sandbox box;
        // The convert goes into a folder that exists, the export into one the run makes.
        const auto folder = box.work.getChildFile (c.exporting ? "states" : "out");
        const auto away = box.work.getChildFile ("away");
        const auto mine = box.work.getChildFile ("mine");
        if (! c.exporting)
            ASSERT_TRUE (folder.createDirectory());
        box.write ("mine/" + juce::String (c.exporting ? "TestComp__0-0.comp" : "new.ksn"), "the user's own");
        box.write ("mine/keep.txt", "the user's too");
        const auto mineBefore = contentsOf (mine);

        const auto args = c.exporting ? box.exportTo ("states") : box.convertTo ("out/new.ksn");
        const auto r = box.runStoppedAt (args, point, [&] (pid_t) {
            ASSERT_TRUE (folder.moveFileTo (away));
            if (c.swap == Swap::replacedByFolder)
                ASSERT_TRUE (folder.createDirectory());
            if (c.swap == Swap::replacedByLink)
                ASSERT_EQ (::symlink (mine.getFullPathName().toRawUTF8(), folder.getFullPathName().toRawUTF8()), 0);
        }, c.interrupt);

        EXPECT_EQ (r.exitCode, 1) << r.out;
        if (! c.interrupt)
            EXPECT_EQ (errorLines (r).joinIntoString ("\n"),
                       c.exporting ? "ERROR   --export-states: state export folder was moved or replaced during the run: " + folder.getFullPathName()
                                   : "ERROR   --output: atomic scene move failed: output folder was moved or replaced during the run: "
                                         + folder.getFullPathName());
        EXPECT_EQ (r.err, "");
        EXPECT_EQ (contentsOf (away), (std::map<std::string, std::string>()));
        EXPECT_EQ (contentsOf (mine), mineBefore);
        if (c.swap == Swap::moved)
            EXPECT_FALSE (folder.exists() || folder.isSymbolicLink());
        if (c.swap == Swap::replacedByFolder)
            EXPECT_TRUE (folder.isDirectory() && contentsOf (folder).empty());
        if (c.swap == Swap::replacedByLink)
            EXPECT_TRUE (isLinkTo (folder, mine));
        EXPECT_EQ (box.tmpEntries(), 0);
    }
}

// Another run makes the output's missing folder between this run's finding it missing and its
// making it: the folder is taken as it is and both outputs are written. Something else put there
// (a link to the user's folder, a file) is refused and nothing is written through it.
TEST (OutputFolders, AFolderAnotherRunMakesMeanwhileIsTaken)
{
    if (! vornconv::testHooks::available)
        GTEST_SKIP() << "a build without test hooks";

    enum class Meanwhile { otherRun, link, file };
    const struct
    {
        bool exporting;
        Meanwhile meanwhile;
    } cases[] = {
        { false, Meanwhile::otherRun }, { true, Meanwhile::otherRun }, { false, Meanwhile::link },
        { true, Meanwhile::link },      { false, Meanwhile::file },    { true, Meanwhile::file },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::string (c.exporting ? "export" : "convert") + " meanwhile " + std::to_string ((int) c.meanwhile));
        Sandbox box;
        const auto shared = box.work.getChildFile ("new");
        const auto mine = box.work.getChildFile ("mine");
        box.write ("mine/keep.txt", "the user's own");

        const auto args = c.exporting ? box.exportTo ("new/states") : box.convertTo ("new/a.ksn");
        const auto r = box.runStoppedAt (args, "make-folder:1", [&] (pid_t) {
            if (c.meanwhile == Meanwhile::otherRun)
            {
                const auto other = box.run (box.convertTo ("new/b.ksn"), vorntest::hangSilenceMs);
                EXPECT_EQ (other.exitCode, 0) << other.out;
            }
            if (c.meanwhile == Meanwhile::link)
                ASSERT_EQ (::symlink (mine.getFullPathName().toRawUTF8(), shared.getFullPathName().toRawUTF8()), 0);
            if (c.meanwhile == Meanwhile::file)
                ASSERT_TRUE (shared.replaceWithText ("a file"));
        });

        EXPECT_EQ (r.err, "");
        EXPECT_EQ (contentsOf (mine), (std::map<std::string, std::string> { { "keep.txt", "the user's own" } }));
        EXPECT_EQ (box.tmpEntries(), 0);
        if (c.meanwhile == Meanwhile::otherRun)
        {
            EXPECT_EQ (r.exitCode, 0) << r.out;
            const auto made = contentsOf (shared);
            EXPECT_EQ (made.size(), 2u);
            EXPECT_EQ (made.count ("b.ksn"), 1u);
            EXPECT_EQ (made.count (c.exporting ? "states" : "a.ksn"), 1u);
            if (c.exporting)
                EXPECT_EQ (contentsOf (shared.getChildFile ("states")).size(), 2u);
        }
        else
        {
            EXPECT_EQ (r.exitCode, 1) << r.out;
            // The refusal names the folder and what stands in its way.
            const auto folder = c.exporting ? shared.getChildFile ("states") : shared;
            EXPECT_EQ (errorLines (r).joinIntoString ("\n"),
                       juce::String (c.exporting ? "ERROR   --export-states: could not create state export directory "
                                                 : "ERROR   --output: could not create output directory ")
                           + folder.getFullPathName() + ": Not a directory (" + shared.getFullPathName()
                           + (c.meanwhile == Meanwhile::link ? " is a link, not a folder)" : " is a file, not a folder)"));
        }
    }
}

// An output path of 4,080 bytes, which the system can name (a `touch` makes it), is written,
// and so is an export whose files' paths are as long: the temporaries beside them would pass
// the system's limit on a whole path.
TEST (OutputFolders, AnOutputPathOf4080BytesIsWritten)
{
    Sandbox box;
    constexpr size_t total = 4080;
    // Folders of 200-byte names, as deep as leaves room for the last name.
    auto deep = box.work;
    while (deep.getFullPathName().getNumBytesAsUTF8() + 1 + 200 + 1 + 100 < total)
    {
        deep = juce::File (deep.getFullPathName() + "/" + juce::String::repeatedString ("d", 200));
        ASSERT_TRUE (deep.createDirectory());
    }
    const auto lastName = [&] (size_t fixedBytes) {
        return juce::String::repeatedString ("n", (int) (total - deep.getFullPathName().getNumBytesAsUTF8() - 1 - fixedBytes));
    };
    const auto output = juce::File (deep.getFullPathName() + "/" + lastName (4) + ".ksn");
    const auto states = juce::File (deep.getFullPathName() + "/" + lastName (1 + 18));
    ASSERT_EQ (output.getFullPathName().getNumBytesAsUTF8(), total);
    ASSERT_EQ (states.getChildFile ("TestComp__0-0.comp").getFullPathName().getNumBytesAsUTF8(), total);

    const auto converted = box.run (box.convertTo (output.getFullPathName()), vorntest::hangSilenceMs);
    EXPECT_EQ (converted.exitCode, 0) << converted.out;
    const auto exported = box.run (box.exportTo (states.getFullPathName()), vorntest::hangSilenceMs);
    EXPECT_EQ (exported.exitCode, 0) << exported.out;

    const auto inDeep = contentsOf (deep);
    EXPECT_EQ (inDeep.size(), 2u);
    EXPECT_EQ (inDeep.count (output.getFileName().toStdString()), 1u);
    const auto exportedFiles = contentsOf (states);
    EXPECT_EQ (exportedFiles.size(), 2u);
    EXPECT_EQ (exportedFiles.count ("TestComp__0-0.comp"), 1u);
    EXPECT_EQ (exportedFiles.count ("TestComp__0-0.cont"), 1u);
    EXPECT_EQ (exportedFiles.at ("TestComp__0-0.cont"), "ctl");
    EXPECT_EQ (box.tmpEntries(), 0);
}
