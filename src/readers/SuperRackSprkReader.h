#pragma once

#include "model/RackModel.h"

// Reader of Waves SuperRack sessions (.sprk, SQLite), Performer and SoundGrid alike: the active
// snapshot's strips, routes, plug-in slots with their states and sidechains, and the converter's
// own metadata records. The user's file is only copied; a private copy is opened read-only.
namespace vornconv
{

// Never throws: a hard error gives ok false, status 0 and the error; a session whose plug-in
// states or sidechains cannot all be proven gives status 2.
RackReadResult readSuperRackSprk (const juce::File& sprk);

} // namespace vornconv
