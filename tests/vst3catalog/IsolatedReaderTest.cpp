#include "CatalogTestSupport.h"

#include "vst3catalog/IsolatedReader.h"

using namespace catalogtest;
using vornconv::vst3catalog::IsolationLimits;

namespace
{

const std::string alphaCid = "0123456789ABCDEFFEDCBA9876543210";
const std::string betaCid = "A0B1C2D3E4F5061728394A5B6C7D8E9F";

std::string okRows (const std::string& bundle)
{
    return alphaCid + "\tAlpha\tAlpha Vendor\t1.2.3\t" + bundle + "\n"
         + betaCid + "\tBe ta Line\tFV\t2.0 \t" + bundle + "\n";
}

ToolRun readIsolated (const std::string& bundle, const IsolationLimits& limits = {})
{
    std::ostringstream out, err;
    ToolRun run;
    run.exitCode = vornconv::vst3catalog::catalogBundleIsolated (VORNVST3CATALOG_BIN, bundle, limits, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

struct EnvironmentOverride
{
    std::string name;
    std::string saved;
    bool had = false;
    EnvironmentOverride (const std::string& n, const std::string& value) : name (n)
    {
        if (const char* old = std::getenv (n.c_str()))
        {
            had = true;
            saved = old;
        }
        ::setenv (n.c_str(), value.c_str(), 1);
    }
    ~EnvironmentOverride()
    {
        if (had)
            ::setenv (name.c_str(), saved.c_str(), 1);
        else
            ::unsetenv (name.c_str());
    }
};

} // namespace

TEST (IsolatedReader, ListsAudioClassesWithTheNewerFactoryAndCleansTheirTexts)
{
    TempDir dir;
    const std::string bundle = makeBundle (dir.path, "Fake.vst3", "ok");
    const ToolRun run = readIsolated (bundle);
    EXPECT_EQ (run.exitCode, 0);
    EXPECT_EQ (run.out, okRows (bundle));   // the controller class is left out
    EXPECT_EQ (run.err, "");
}

TEST (IsolatedReader, FallsBackToTheFirstFactoryWithoutTheNewerInterface)
{
    TempDir dir;
    const std::string bundle = makeBundle (dir.path, "Old.vst3", "v1");
    const ToolRun run = readIsolated (bundle);
    EXPECT_EQ (run.exitCode, 0);
    EXPECT_EQ (run.out, alphaCid + "\tAlpha\tFV\t\t" + bundle + "\n");
    EXPECT_EQ (run.err, "");
}

TEST (IsolatedReader, PluginOutputBecomesDiagnosticsAndNeverARow)
{
    TempDir dir;
    const std::string bundle = makeBundle (dir.path, "Chatty.vst3", "chatter");
    const ToolRun run = readIsolated (bundle);
    EXPECT_EQ (run.exitCode, 0);
    EXPECT_EQ (run.out, okRows (bundle));

    const auto lines = splitLines (run.err);
    ASSERT_FALSE (lines.empty());
    EXPECT_EQ (lines.front(), "DIAGNOSTIC\t\"" + bundle + "\"");
    for (const char* expected : { "DIAGNOSTIC\twarning one", "DIAGNOSTIC\twarning two",
                                  "DIAGNOSTIC\thello from the plug-in" })
        EXPECT_NE (std::find (lines.begin(), lines.end(), expected), lines.end()) << expected;
    EXPECT_NE (run.err.find ("Forged"), std::string::npos);
    for (const auto& line : lines)
        EXPECT_EQ (line.rfind ("DIAGNOSTIC\t", 0), 0u) << line;
}

TEST (IsolatedReader, MalformedClassTextsAreRepairedSoTheRowStaysValidUtf8)
{
    TempDir dir;
    const std::string bundle = makeBundle (dir.path, "Old.vst3", "badtext");
    const ToolRun run = readIsolated (bundle);
    EXPECT_EQ (run.exitCode, 0) << run.err;
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ (run.out, "5E112233445566778899AABBCCDDEEFF\tOld" + r + r + "Amp" + r + r
                        + "\tVen" + r + r + r + "dor\t1." + r + r + r + r + "0\t" + bundle + "\n");
    EXPECT_EQ (run.err, "");
}

TEST (IsolatedReader, FailedBundlesCostOnlyTheirRowsAndSayWhy)
{
    const struct
    {
        const char* mode;
        const char* childError;   // what the child reported, seen among the DIAGNOSTIC lines
        const char* error;        // the end of the ERROR line
    } cases[] = {
        { "nullfactory", "\tGetPluginFactory returned null", "\tisolation reader failed" },
        { "nosymbol", "\tGetPluginFactory missing", "\tisolation reader failed" },
        { "entryfalse", "\tModuleEntry refused initialisation", "\tisolation reader failed" },
        { "noaudio", "\tno Audio Module Class exported", "\tisolation reader failed" },
        { "bigout", "", "\tcatalog reader timed out or output failed" },
    };
    for (const auto& c : cases)
    {
        TempDir dir;
        const std::string bundle = makeBundle (dir.path, std::string (c.mode) + ".vst3", c.mode);
        const std::string quoted = "\"" + bundle + "\"";
        const ToolRun run = readIsolated (bundle);
        EXPECT_EQ (run.exitCode, 1) << c.mode;
        EXPECT_EQ (run.out, "") << c.mode;
        const auto lines = splitLines (run.err);
        ASSERT_FALSE (lines.empty()) << c.mode;
        EXPECT_EQ (lines.back(), "ERROR\t" + quoted + c.error) << c.mode;
        if (*c.childError != 0)
            EXPECT_NE (std::find (lines.begin(), lines.end(), "DIAGNOSTIC\tERROR\t" + quoted + c.childError), lines.end())
                << c.mode << "\n" << run.err;
    }
}

TEST (IsolatedReader, BundleLayoutProblems)
{
    TempDir dir;
    // Binary not named after the bundle: the folder's first module is taken.
    const std::string misnamed = makeBundle (dir.path, "Named.vst3", "v1", "Other.so");
    ToolRun run = readIsolated (misnamed);
    EXPECT_EQ (run.exitCode, 0);
    EXPECT_EQ (run.out, alphaCid + "\tAlpha\tFV\t\t" + misnamed + "\n");

    const struct { std::string bundle; std::string childError; } failures[] = {
        { makeBundle (dir.path, "Empty.vst3", ""), "\tmissing Contents/x86_64-linux binary" },
        { (dir.path / "Absent.vst3").string(), "\tbundle does not exist" },
        { [&] { std::ofstream (dir.path / "File.vst3") << "x"; return (dir.path / "File.vst3").string(); }(), "\tbundle is not a directory" },
        { (dir.path / "File.vst3" / "Inner.vst3").string(), "\tbundle does not exist" },
        { makeBundle (dir.path, "Tab\tName.vst3", "ok"),
          "\tbundle path contains TAB, CR, LF, trailing whitespace or invalid UTF-8" },
    };
    for (const auto& f : failures)
    {
        run = readIsolated (f.bundle);
        EXPECT_EQ (run.exitCode, 1) << f.bundle;
        EXPECT_EQ (run.out, "") << f.bundle;
        EXPECT_NE (run.err.find ("DIAGNOSTIC\tERROR\t\"" + f.bundle + "\"" + f.childError + "\n"), std::string::npos) << run.err;
    }

    const std::string text = makeBundle (dir.path, "Text.vst3", "");
    { std::ofstream (fs::path (text) / "Contents/x86_64-linux/Text.so") << "not a module\n"; }
    run = readIsolated (text);
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_NE (run.err.find ("DIAGNOSTIC\tERROR\t\"" + text + "\"\tdlopen: "), std::string::npos) << run.err;
}

TEST (IsolatedReader, RelativeBundlePathsAreWrittenAbsolute)
{
    TempDir dir;
    makeBundle (dir.path, "Rel.vst3", "v1");
    const fs::path previous = fs::current_path();
    fs::current_path (dir.path);
    const ToolRun run = readIsolated ("Rel.vst3");
    fs::current_path (previous);
    EXPECT_EQ (run.exitCode, 0);
    EXPECT_EQ (run.out, alphaCid + "\tAlpha\tFV\t\t" + (fs::canonical (dir.path) / "Rel.vst3").string() + "\n");
}

TEST (IsolatedReader, CrashingBundleReportsItsSignal)
{
    // Let the crash end the child the way it would without the address sanitizer.
    const char* old = std::getenv ("ASAN_OPTIONS");
    EnvironmentOverride asan ("ASAN_OPTIONS", std::string (old != nullptr ? old : "") + ":handle_segv=0");
    TempDir dir;
    const std::string bundle = makeBundle (dir.path, "Crash.vst3", "crash");
    const ToolRun run = readIsolated (bundle);
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (run.out, "");
    EXPECT_EQ (splitLines (run.err).back(), "ERROR\t\"" + bundle + "\"\tisolation reader failed (signal 11)");
}

TEST (IsolatedReader, HangingBundlesAreEndedByTheAlarmOrTheDeadline)
{
    TempDir dir;
    IsolationLimits limits;
    limits.childAlarmSeconds = 1;
    limits.deadlineMilliseconds = 10000;
    const std::string hang = makeBundle (dir.path, "Hang.vst3", "hang");
    ToolRun run = readIsolated (hang, limits);
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (run.out, "");
    EXPECT_EQ (run.err, "ERROR\t\"" + hang + "\"\tisolation reader failed (signal 14)\n");

    limits.deadlineMilliseconds = 1500;
    const std::string blocked = makeBundle (dir.path, "Blocked.vst3", "blockalarm");
    const auto start = std::chrono::steady_clock::now();
    run = readIsolated (blocked, limits);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_EQ (run.out, "");
    EXPECT_EQ (run.err, "ERROR\t\"" + blocked + "\"\tcatalog reader timed out or output failed\n");
    EXPECT_GE (elapsed, std::chrono::milliseconds (1500));
    EXPECT_LT (elapsed, std::chrono::milliseconds (8000));
}
