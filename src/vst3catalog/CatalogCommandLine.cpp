#include "vst3catalog/CatalogCommandLine.h"

#include "vst3catalog/BundleWalk.h"
#include "vst3catalog/CatalogText.h"

namespace vornconv::vst3catalog
{
namespace
{

int scanAll (const CatalogSettings& settings, std::ostream& out, std::ostream& err)
{
    long long attempted = 0, succeeded = 0, failed = 0;
    for (const auto& item : findBundles (settings.roots))
    {
        if (! item.isBundle)
        {
            err << "ERROR\t" << quotedPath (item.path) << "\tdirectory traversal: " << item.message << '\n' << std::flush;
            ++failed;
            continue;
        }
        ++attempted;
        if (catalogBundleIsolated (settings.selfPath, item.path, settings.limits, out, err) == 0)
            ++succeeded;
        else
            ++failed;
    }
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
        if (catalogBundleIsolated (settings.selfPath, bundle, settings.limits, out, err) != 0)
            result = 1;
    return result;
}

} // namespace vornconv::vst3catalog
