#include "app/Operations.h"

namespace vornconv::app
{

int runTargetOperation (const CommandLineOptions& options)
{
    if (options.plan.isNotEmpty()) return refuseUnavailable ("--plan");
    if (options.convert.isNotEmpty()) return refuseUnavailable ("--convert");
    return refuseUnavailable ("--selection-report");
}

} // namespace vornconv::app
