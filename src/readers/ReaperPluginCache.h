#pragma once

#include "rapp/Vst3ModuleIndex.h"

#include <juce_core/juce_core.h>

// Reader of REAPER's VST plug-in cache (reaper-vstplugins64.ini): the ids and names REAPER gives
// the VST3 classes it has scanned, joined onto the VST3 module index (Vst3ModuleEntry's reaper
// fields), which the REAPER writer names its plug-ins by.
namespace vornconv
{

// Joins the cache onto the index: stores REAPER's id, key and name per class, and adds classes
// the index lacks as unavailable entries. A class id that two keys of one cache give different
// identities becomes ambiguous (reaperAmbiguousKeys) with a line in warnings; one key with two
// identities, or an identity that differs from an earlier cache's, fails. UTF-8 is checked only
// in the rows that are used: a .vst3 row whose key or name is not UTF-8 costs its class id the
// REAPER identity (reaperUnreadableKeys) with a line in warnings; a NUL byte anywhere refuses the
// file. A failure's error may hold a second line that tells why; a cache of which no row could be
// used is named. A line already in warnings is not added again.
bool loadReaperCache (rapp::Vst3ModuleIndex& index, const juce::File& file, juce::StringArray& warnings, juce::String& error);

} // namespace vornconv
