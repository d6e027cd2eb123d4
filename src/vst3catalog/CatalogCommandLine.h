#pragma once

// The catalog tool's command line, apart from the child mode `--one` (see BundleReader.h),
// which main runs on the process's own descriptors.

#include "vst3catalog/IsolatedReader.h"

#include <ostream>
#include <string>
#include <vector>

namespace vornconv::vst3catalog
{

struct CatalogSettings
{
    std::string selfPath;             // the program started for each bundle
    IsolationLimits limits;
    std::vector<std::string> roots;   // the folders of `--all`
};

extern const char* const usageText;

// Whether the arguments (without the program name) ask for the child mode.
bool isChildModeInvocation (const std::vector<std::string>& args);

// Usage, `--all` or a list of bundle paths; rows to out, every other line to err.
// Returns the exit code. A signal noted by the interrupt watch (see CatalogInterrupts.h) or
// rows that cannot be written to out end the run at once with exit code 1.
int runCatalogCommandLine (const std::vector<std::string>& args, const CatalogSettings& settings,
                           std::ostream& out, std::ostream& err);

} // namespace vornconv::vst3catalog
