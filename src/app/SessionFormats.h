#pragma once

#include "model/RackModel.h"

// The choice of a session reader by file name, shared by the dump and every runner.
namespace vornconv::app
{

// "vorn.ksn", "waves.sprk", "liveprofessor.rack2" or "reaper.rpp" from the lower-cased extension;
// empty for any other. Never touches the file system.
juce::String detectFormat (const juce::File& file);

// Runs the reader of formatId on file. A format whose reader this build does not carry gives a
// failed result whose error says so.
RackReadResult readSessionFile (const juce::File& file, const juce::String& formatId);

} // namespace vornconv::app
