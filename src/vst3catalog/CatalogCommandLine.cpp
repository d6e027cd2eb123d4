#include "vst3catalog/CatalogCommandLine.h"

#include "vst3catalog/BundleWalk.h"
#include "vst3catalog/CatalogInterrupts.h"
#include "vst3catalog/CatalogText.h"

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

    int result = 0;
    for (const auto& bundle : args)
    {
        if (interruptNoticed (bundle, err))
            return 1;
        const IsolationOutcome outcome = catalogBundleIsolated (settings.selfPath, bundle, settings.limits, out, err);
        if (endsTheRun (outcome))
            return 1;
        if (outcome != bundleRead)
            result = 1;
    }
    return interruptNoticed (args.back(), err) ? 1 : result;
}

} // namespace vornconv::vst3catalog
