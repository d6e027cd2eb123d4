#pragma once

#include "model/RackModel.h"

// Export of every plug-in's component and controller state to files named after the plug-in,
// strip and slot ("<name>__<strip>-<slot>.comp" and ".cont"). All or nothing, and nothing is
// ever replaced.
namespace vornconv::app
{

// Writes the state files into directory (made when missing). True when every planned file now
// exists under its final name. False with error set when nothing written by this call remains
// and no folder this call made is left behind.
bool exportStates (const RackSession& session, const juce::File& directory, juce::String& error);

} // namespace vornconv::app
