#pragma once

#include "model/Expected.h"
#include "model/RackModel.h"

// Export of every plug-in's component and controller state to files named after the plug-in,
// strip and slot ("<name>__<strip>-<slot>.comp" and ".cont"). All or nothing, and nothing is
// ever replaced.
namespace vornconv::app
{

// Writes the state files into directory (made when missing). Success when every planned file now
// exists under its final name. On a failure nothing written by this call remains and no folder
// this call made is left behind; a refusal about the folder or a file in it (one that stands
// there, the folder not made, a temporary or a commit refused) begins with "--export-states: ",
// the option that gave it.
Expected<void> exportStates (const RackSession& session, const juce::File& directory);

} // namespace vornconv::app
