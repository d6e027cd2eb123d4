#include "SprkFixture.h"

#include "model/Vst3State.h"
#include "waves/WavesSessionTransfer.h"
#include "writers/SuperRackSprkWriter.h"

using namespace vornconv;

namespace
{

const juce::String proQ = "ED57BD725C60467EA64DD2F400758B6F";

// A SuperRack Performer session with one named mono strip holding one FabFilter plug-in.
void fillSource (vorntest::SprkFixture& f)
{
    f.setTracks (2);
    f.exec ("INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name) VALUES(1000,-1,'Kick');"
            "UPDATE chainer SET num_inputs=1,num_outputs=1 WHERE obj_id=1000;");
    f.inRoute (0, 0, 3);
    f.outRoute (0, 0, 5);
    f.addPlug (1, 0, 0, "Pro-Q 3", "FabFilter", "'VS2S'", "'" + rapp::makeAdditionalInfo (proQ).replace ("\n", "'||char(10)||'") + "'");
    f.addState (1, vst3::buildSuperRackPreset (proQ, juce::MemoryBlock ("ABC", 3), juce::MemoryBlock ("xy", 2)));
}

} // namespace

TEST (SuperRackConvert, ConvertRunnerWritesAVerifiedPerformerSessionOnce)
{
    vorntest::TempFolder root;
    const auto tmp = root.file ("tmp");
    tmp.createDirectory();
    vorntest::SprkFixture source ("src.sprk");
    fillSource (source);
    source.close();
    vorntest::SprkFixture base ("tmpl.sprk");
    vorntest::makeSprkTemplate (base);
    base.close();
    const auto catalog = root.file ("cat.tsv");
    catalog.replaceWithText (proQ + "\tPro-Q 3\tFabFilter\t3.0\t/opt/vst3/ProQ3.vst3\n");
    const auto output = root.file ("out/new.sprk");
    const auto sourceDigest = waves::fileSha256 (source.file);

    const std::vector<std::string> args = { "--convert", "superrack-performer", "--factory-catalog", catalog.getFullPathName().toStdString(),
                                            "--template", base.file.getFullPathName().toStdString(), "--output",
                                            output.getFullPathName().toStdString(), source.file.getFullPathName().toStdString() };
    const std::vector<std::string> env = { "TMPDIR=" + tmp.getFullPathName().toStdString(), "HOME=" + root.path() };
    const auto run = vorntest::runVornconvBinary (args, root.path(), env);
    EXPECT_EQ (run.exitCode, 0) << run.out;
    EXPECT_EQ (run.out, ("CANDIDATE  " + source.file.getFullPathName() + " -> " + output.getFullPathName()
                         + "\nWARNING    converter exact reread passed; SuperRack host load/DSP validation pending\n\n")
                            .toStdString());
    ASSERT_TRUE (output.existsAsFile());
    EXPECT_EQ (waves::fileSha256 (source.file), sourceDigest);
    EXPECT_EQ (tmp.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);

    // The same conversion again refuses to replace what it wrote.
    const auto digest = waves::fileSha256 (output);
    const auto again = vorntest::runVornconvBinary (args, root.path(), env);
    EXPECT_EQ (again.exitCode, 1);
    EXPECT_EQ (again.out, ("ERROR   refusing to replace existing output: " + output.getFullPathName() + "\n\n").toStdString());
    EXPECT_EQ (waves::fileSha256 (output), digest);
    EXPECT_EQ (output.getParentDirectory().getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1);
}
