#include "TestSupport.h"

#include "model/Vst3State.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Files an attacker or a careless user could hand the program. Each must end in its own refusal
// (one ERROR line naming what is wrong, exit 1) or in the format's own result: never a hang, a
// crash, a sanitizer report, a silent re-decoding, or a private file left in $TMPDIR.
namespace
{

const char* const fakeCid = "0123456789ABCDEF0123456789ABCDEF";

std::string memoryBlockText (const std::string& bytes)
{
    return juce::MemoryBlock (bytes.data(), bytes.size()).toBase64Encoding().toStdString();
}

// A JUCE VST3 container around raw XML, as a scene's pluginState carries it.
std::string containerWithXml (const std::string& xml)
{
    std::string bytes = "VC2!";
    const auto size = (juce::uint32) xml.size();
    bytes.append (reinterpret_cast<const char*> (&size), 4);
    return bytes + xml + std::string (1, '\0');
}

std::string sceneWith (const std::string& pluginState, const char* format = "VST3")
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VornLiveScene version=\"1\"><Strips><Strip index=\"0\" name=\"Kick\">"
           "<Slot index=\"0\" state=\"0\" pluginState=\"" + pluginState + "\"><PLUGIN name=\"Fake EQ\" format=\"" + format
           + "\" manufacturer=\"Acme\" uniqueId=\"e26ab0d0\" uid=\"be9e7a10\"/></Slot></Strip></Strips></VornLiveScene>";
}

// The program's sandbox with a good scene and a catalog of its plug-in.
struct Sandbox : vorntest::ProgramSandbox
{
    Sandbox()
    {
        const auto state = vornconv::vst3::buildJuceVst3State (juce::MemoryBlock ("ABC", 3), {}).toBase64Encoding().toStdString();
        writeBytes ("good.ksn", sceneWith (state));
        writeBytes ("cat.tsv", std::string (fakeCid) + "\tFake EQ\tAcme\t1.0.0\t" + work.getChildFile ("Fake.vst3").getFullPathName().toStdString() + "\n");
    }
};

using vorntest::errorLines;

} // namespace

TEST (HostileInput, EachFileEndsInOneClearRefusal)
{
    Sandbox box;
    // Processing instructions: JUCE's XML parser loops for ever on one inside content that text
    // follows, wherever the XML comes from.
    box.writeBytes ("pi.ksn", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VornLiveScene version=\"1\"><?x y?>t</VornLiveScene>");
    box.writeBytes ("pi-vst3.ksn", sceneWith (memoryBlockText (containerWithXml (
                                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VST3PluginState><IComponent><?x?>t</IComponent>"
                                       "<IEditController/></VST3PluginState>"))));
    box.writeBytes ("pi-au.ksn", sceneWith (memoryBlockText ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                                             "<key><?x?>name</key><string>a</string></dict></plist>"), "AU"));
    // Not regular files: a FIFO and a device would make a plain read wait or run for ever.
    ::mkfifo (box.path ("fifo.ksn").toRawUTF8(), 0600);
    ::mkfifo (box.path ("fifo.rack2").toRawUTF8(), 0600);
    ::mkfifo (box.path ("fifo.tsv").toRawUTF8(), 0600);
    ::mkfifo (box.path ("fifo.json").toRawUTF8(), 0600);
    ::symlink ("/dev/zero", box.path ("zero.ksn").toRawUTF8());
    ::symlink ("/dev/zero", box.path ("zero.rack2").toRawUTF8());
    // Text that is not UTF-8, or that a NUL would cut short: never re-decoded, never shortened.
    box.writeBytes ("latin1.tsv", std::string (fakeCid) + "\tM\xFCller EQ\tAcme\t1.0.0\t/x/M\xC3\xBCller EQ.vst3\n");
    box.writeBytes ("nul.tsv", std::string ("# catalog\n\0", 11) + fakeCid + "\tFake EQ\tAcme\t1.0.0\t/x/Fake.vst3\n");
    box.writeBytes ("nul.ini", "[vst3]\nFake.vst3=00,1234{" + std::string (fakeCid) + "},F" + std::string (1, '\0') + "\n");
    box.writeBytes ("latin1.json", "{\"schema\": \"vorn-rapp-selection-v1\", \"x\": \"\xE9\"}");
    box.write ("probe.sh", "#!/bin/sh\n");
    const auto plugins = box.liveProfessorList();
    plugins.getParentDirectory().createDirectory();
    plugins.replaceWithText ("<PROPERTIES><VALUE name=\"KnownPluginList\"><?x?>t</VALUE></PROPERTIES>");

    struct Case
    {
        const char* what;
        std::vector<std::string> args;
        juce::String error; // the one ERROR line
    };
    const juce::String work = box.work.getFullPathName() + "/";
    const Case cases[] = {
        { "instruction in scene content", { "pi.ksn" }, "ERROR   XML parse failed" },
        { "instruction in a VST3 container", { "pi-vst3.ksn" },
          "ERROR   invalid VST3 state at strip 0, slot 0: embedded xml did not parse" },
        { "instruction in an AudioUnit property list", { "pi-au.ksn" },
          "ERROR   invalid AudioUnit state at strip 0, slot 0: " },
        { "FIFO named as a scene", { "fifo.ksn" }, "ERROR   not a regular file: " + work + "fifo.ksn" },
        { "device named as a scene", { "zero.ksn" }, "ERROR   not a regular file: " + work + "zero.ksn" },
        { "FIFO named as a project tree", { "--tree", "fifo.rack2" }, "ERROR   not a regular file: " + work + "fifo.rack2" },
        { "device named as a project tree", { "--tree", "zero.rack2" }, "ERROR   not a regular file: " + work + "zero.rack2" },
        { "FIFO named as a project", { "fifo.rack2" }, "ERROR   not a regular file: " + work + "fifo.rack2" },
        { "FIFO as a factory catalog", { "--plan", "vorn", "--factory-catalog", "fifo.tsv", "good.ksn" },
          "ERROR   --factory-catalog: factory catalog cannot be read: not a regular file: " + work + "fifo.tsv" },
        { "Latin-1 factory catalog", { "--plan", "vorn", "--factory-catalog", "latin1.tsv", "good.ksn" },
          "ERROR   --factory-catalog: factory catalog cannot be read: not valid UTF-8 text (byte 34): " + work + "latin1.tsv" },
        { "NUL in a factory catalog", { "--plan", "vorn", "--factory-catalog", "nul.tsv", "good.ksn" },
          "ERROR   --factory-catalog: factory catalog cannot be read: NUL byte in text (byte 10): " + work + "nul.tsv" },
        { "NUL in a REAPER cache", { "--plan", "reaper", "--factory-catalog", "cat.tsv", "--reaper-cache", "nul.ini", "good.ksn" },
          "ERROR   --reaper-cache: REAPER VST cache cannot be read: NUL byte in text (byte 60): " + work + "nul.ini" },
        { "instruction in LiveProfessor's plug-in list",
          { "--plan", "liveprofessor", "--factory-catalog", "cat.tsv", "--plugin-probe", "probe.sh", "--parameter-cache", "cache", "good.ksn" },
          "ERROR   LiveProfessor plugin catalog XML parse failed" },
        { "FIFO as a selection file", { "--plan", "vorn", "--factory-catalog", "cat.tsv", "--selection", "fifo.json", "good.ksn" },
          "ERROR   --selection: selection file cannot be read: not a regular file: " + work + "fifo.json" },
        { "Latin-1 selection file", { "--plan", "vorn", "--factory-catalog", "cat.tsv", "--selection", "latin1.json", "good.ksn" },
          "ERROR   --selection: selection file cannot be read: not valid UTF-8 text (byte 43): " + work + "latin1.json" },
    };
    for (const auto& c : cases)
    {
        const auto r = box.run (c.args, vorntest::hangSilenceMs);
        EXPECT_EQ (r.exitCode, 1) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ (r.err, "") << c.what;
        const auto errors = errorLines (r);
        ASSERT_EQ (errors.size(), 1) << c.what << "\n" << r.out;
        EXPECT_TRUE (errors[0].startsWith (c.error)) << c.what << "\n" << errors[0];
        EXPECT_EQ (box.tmpEntries(), 0) << c.what;
    }
}

// JUCE's JSON parser overflows a signed integer on 20 or more digits: a bundle's moduleinfo.json
// with such a number costs that bundle only, as any invalid JSON does.
TEST (HostileInput, ABundleWithAnOverlongNumberIsSkippedAlone)
{
    Sandbox box;
    const auto bundle = box.home.getChildFile (".vst3/Long.vst3/Contents/Resources");
    ASSERT_TRUE (bundle.createDirectory());
    bundle.getChildFile ("moduleinfo.json").replaceWithText ("{\"Name\": \"Long\", \"Version\": 123456789012345678901234, \"Classes\": []}");
    const auto r = box.run ({ "--plan", "vorn", "good.ksn" }, vorntest::hangSilenceMs);
    EXPECT_EQ (r.err, "");
    EXPECT_TRUE (r.exitCode == 0 || r.exitCode == 1) << r.out;
    EXPECT_TRUE (r.out.find ("VST3 moduleinfo: 0 indexed, 1 skipped") != std::string::npos) << r.out;
}

// Lines that cannot reach their reader are a failure, whatever the operation did.
TEST (HostileInput, AnUnwritableStandardOutputFailsTheRun)
{
    Sandbox box;
    const int full = ::open ("/dev/full", O_WRONLY);
    ASSERT_GE (full, 0);
    const pid_t pid = fork();
    if (pid == 0)
    {
        ::dup2 (full, 1);
        ::chdir (box.work.getFullPathName().toRawUTF8());
        const auto bin = vorntest::vornconvBinary();
        ::execl (bin.c_str(), bin.c_str(), "--session-report", "good.ksn", (char*) nullptr);
        ::_exit (127);
    }
    ::close (full);
    int status = 0;
    ::waitpid (pid, &status, 0);
    ASSERT_TRUE (WIFEXITED (status));
    EXPECT_EQ (WEXITSTATUS (status), 1);
}
