#include "vst3catalog/CatalogCommandLine.h"

#include "vst3catalog/BundleReader.h"
#include "vst3catalog/BundleWalk.h"
#include "vst3catalog/CatalogInterrupts.h"
#include "vst3catalog/CatalogText.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace vornconv::vst3catalog
{
namespace
{

// A watched signal that arrived while no child was running is noticed here, before the next
// bundle (the subject then) or at the end of the run (the subject then is the last bundle or
// folder handled).
bool interruptNoticed (const std::string& subject, std::ostream& err)
{
    const int signalNumber = receivedInterrupt();
    if (signalNumber == 0)
        return false;
    err << interruptedLine (subject, signalNumber) << std::flush;
    return true;
}

// An interrupted read and rows that could not be written end the run; both have printed their
// line already.
bool endsTheRun (IsolationOutcome outcome)
{
    return outcome == bundleInterrupted || outcome == catalogOutputFailed;
}

// Why a folder of `--all` gave no bundle: ": the folder does not exist", ": not a directory",
// the system's reason, or " in this folder or below it".
std::string emptyRootReason (const std::string& root)
{
    struct stat info {};
    if (::stat (root.c_str(), &info) != 0)
    {
        const int code = errno;
        return code == ENOENT || code == ENOTDIR ? std::string (": the folder does not exist")
                                                 : std::string (": the folder cannot be examined: ") + std::strerror (code);
    }
    return S_ISDIR (info.st_mode) ? " in this folder or below it" : ": not a directory";
}

int scanAll (const CatalogSettings& settings, std::ostream& out, std::ostream& err)
{
    const auto items = findBundles (settings.roots);
    // Before the first bundle the subject of an interruption is the last folder walked.
    std::string subject = settings.roots.empty() ? std::string() : settings.roots.back();

    long long attempted = 0, succeeded = 0, failed = 0;
    for (const auto& item : items)
    {
        if (! item.isBundle)
        {
            err << "ERROR\t" << quotedPath (item.path) << "\tdirectory traversal: " << item.message << '\n' << std::flush;
            ++failed;
            continue;
        }
        subject = item.path;
        if (interruptNoticed (subject, err))
            return 1;
        ++attempted;
        const IsolationOutcome outcome = catalogBundleIsolated (settings.selfPath, item.path, settings.limits, out, err);
        if (endsTheRun (outcome))
            return 1;
        if (outcome == bundleRead)
            ++succeeded;
        else
            ++failed;
    }
    if (interruptNoticed (subject, err))
        return 1;
    // Nothing to read: say where the tool looked, so that a plug-in installed elsewhere is found.
    if (attempted == 0)
        for (const auto& root : settings.roots)
            err << "ERROR\t" << quotedPath (root) << "\tno VST3 bundle found" << emptyRootReason (root) << '\n' << std::flush;
    err << "SCAN_SUMMARY\tattempted=" << attempted << "\tsucceeded=" << succeeded << "\tfailed=" << failed << '\n'
        << std::flush;
    return attempted == 0 || succeeded == 0 ? 1 : 0;
}

} // namespace

const char* const usageText = "usage: vornvst3catalog <plugin.vst3> [<plugin.vst3> ...]\n       vornvst3catalog --all\n";

bool isChildModeInvocation (const std::vector<std::string>& args)
{
    return args.size() == 2 && args[0] == "--one";
}

int runCatalogCommandLine (const std::vector<std::string>& args, const CatalogSettings& settings,
                           std::ostream& out, std::ostream& err)
{
    if (args.empty())
    {
        err << usageText << std::flush;
        return 1;
    }
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h"))
    {
        err << usageText << std::flush;
        return 0;
    }
    if (args.size() == 1 && args[0] == "--all")
        return scanAll (settings, out, err);
    // Any other word that begins with "-" is an option the tool does not have, or one that stands
    // alone given with others: refused by name before any bundle is read, so that a mistyped
    // option is never taken for a bundle path. A bundle of such a name is given with its folder.
    for (const auto& word : args)
    {
        if (word.empty() || word[0] != '-')
            continue;
        if (word == "--all" || word == "--help" || word == "-h")
            err << "ERROR\toption " << word << " stands alone: give it without other arguments\n" << std::flush;
        else
            err << "ERROR\tunknown option: " << word << " (a bundle whose name begins with - is given as ./" << word << ")\n" << std::flush;
        return 1;
    }

    int result = 0;
    for (const auto& bundle : args)
    {
        if (interruptNoticed (bundle, err))
            return 1;
        // A path that is no bundle at all is told as such here, without a child whose failure
        // would only say that the reader failed.
        if (const auto problem = bundlePathProblem (bundle); ! problem.empty())
        {
            err << "ERROR\t" << quotedPath (bundle) << '\t' << problem << '\n' << std::flush;
            result = 1;
            continue;
        }
        const IsolationOutcome outcome = catalogBundleIsolated (settings.selfPath, bundle, settings.limits, out, err);
        if (endsTheRun (outcome))
            return 1;
        if (outcome != bundleRead)
            result = 1;
    }
    return interruptNoticed (args.back(), err) ? 1 : result;
}

} // namespace vornconv::vst3catalog
