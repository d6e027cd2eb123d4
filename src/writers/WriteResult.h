#pragma once

#include <juce_core/juce_core.h>

namespace vornconv::rapp
{

// What every writer returns: ok only once the output is committed; notes are sentences for
// the user, printed as warnings by the convert runner, in the order added.
struct WriteResult
{
    bool ok = false;
    juce::String error;
    juce::StringArray notes;
};

} // namespace vornconv::rapp
