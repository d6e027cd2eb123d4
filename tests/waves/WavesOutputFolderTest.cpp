// The Waves transfer's output goes into its folder as held when the transfer began: a folder moved
// away or replaced by a link to the user's folder before the commit is refused, naming it, and
// nothing is left in either.

#include "WavesFixture.h"

#include "model/TestHooks.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using vorntest::entriesOf;

TEST (WavesOutputFolder, AFolderMovedOrReplacedBeforeTheCommitIsRefusedWithNothingLeft)
{
    if (! vornconv::testHooks::available)
        GTEST_SKIP() << "a build without test hooks";

    // An LV1 show of 8 inputs, one with a plug-in, into a SoundGrid template of 64 rack channels.
    vorntest::WavesFixture source ("show.emo", true);
    source.addChannels (0, 8, "In");
    source.addPlug (5, 0, 0, 0, "EQ");
    vorntest::WavesFixture hostTemplate ("template.sprk", false);
    hostTemplate.base = 5000;
    hostTemplate.addChannels (0, 64, "T");
    source.close();
    hostTemplate.close();

    for (const bool byLink : { false, true })
    {
        SCOPED_TRACE (byLink ? "replaced by a link" : "moved");
        vorntest::TempFolder work, tmp;
        const std::vector<std::string> env { "TMPDIR=" + tmp.path() };
        const auto report = vorntest::runVornconvBinary ({ "--waves-selection-report", "superrack-soundgrid",
                                                           source.file.getFullPathName().toStdString() }, {}, env);
        ASSERT_EQ (report.exitCode, 0) << report.out;
        const auto selection = work.file ("pick.json");
        ASSERT_TRUE (selection.replaceWithText (report.out));
        const auto out = work.file ("out");
        const auto away = work.file ("away");
        const auto mine = work.file ("mine");
        ASSERT_TRUE (out.createDirectory());
        ASSERT_TRUE (mine.createDirectory());
        ASSERT_TRUE (mine.getChildFile ("result.sprk").replaceWithText ("the user's own"));

        auto environment = env;
        environment.push_back ("VORN_TEST_STOP=commit:1");
        auto running = vorntest::startProgram (vorntest::vornconvBinary(),
                                               { "--waves-convert", "superrack-soundgrid", source.file.getFullPathName().toStdString(),
                                                 "--selection", selection.getFullPathName().toStdString(), "--template",
                                                 hostTemplate.file.getFullPathName().toStdString(), "--output",
                                                 out.getChildFile ("result.sprk").getFullPathName().toStdString() },
                                               {}, environment);
        siginfo_t info {};
        if (waitid (P_PID, (id_t) running.pid, &info, WSTOPPED | WEXITED | WNOWAIT) == 0 && info.si_code == CLD_STOPPED)
        {
            EXPECT_TRUE (out.moveFileTo (away));
            if (byLink)
                EXPECT_EQ (::symlink (mine.getFullPathName().toRawUTF8(), out.getFullPathName().toRawUTF8()), 0);
            kill (running.pid, SIGCONT);
        }
        else
            ADD_FAILURE() << "the transfer did not stop before its commit";
        const auto run = vorntest::finishProgram (running, vorntest::hangSilenceMs);

        EXPECT_EQ (run.exitCode, 1) << run.out;
        EXPECT_EQ (run.outLines().joinIntoString ("\n"), "ERROR   --output: output folder was moved or replaced during the run: " + out.getFullPathName());
        EXPECT_EQ (entriesOf (away).joinIntoString (", "), "");
        EXPECT_EQ (entriesOf (mine).joinIntoString (", "), "result.sprk");
        EXPECT_EQ (mine.getChildFile ("result.sprk").loadFileAsString(), "the user's own");
        EXPECT_EQ (tmp.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
    }
}
