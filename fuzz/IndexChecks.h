#pragma once

// What the VST3 module index promises after any load, whatever the files held: one entry per
// class id, each id 32 upper-case hexadecimal digits and found again by lookup in any case,
// derived ids that match the class id, texts that are well-formed UTF-8, and no REAPER identity
// for a class id that a cache row left unreadable.

#include "ReadResultChecks.h"

#include "rapp/Vst3ModuleIndex.h"

namespace vornfuzz
{

inline void checkIndex (const vornconv::rapp::Vst3ModuleIndex& index)
{
    using namespace vornconv::rapp;
    using vornconv::isHexClassId;
    for (const auto& entry : index.entries)
    {
        FUZZ_CHECK (isHexClassId (entry.classId) && entry.classId == entry.classId.toUpperCase());
        FUZZ_CHECK (entry.uniqueId == deriveUniqueId (entry.classId) && entry.uid == deriveUid (entry.classId));
        FUZZ_CHECK (index.findByClassId (entry.classId.toLowerCase()) == &entry);
        for (const auto* text : { &entry.name, &entry.vendor, &entry.version, &entry.reaperKey, &entry.reaperName })
            FUZZ_CHECK (isCleanText (*text));
        // A class id that a row left unreadable has no REAPER identity.
        for (const auto& key : entry.reaperUnreadableKeys)
            FUZZ_CHECK (isCleanText (key));
        if (! entry.reaperUnreadableKeys.isEmpty())
            FUZZ_CHECK (entry.reaperId == 0 && entry.reaperKey.isEmpty() && entry.reaperName.isEmpty());
    }
    for (const auto& warning : index.warnings)
        FUZZ_CHECK (isCleanText (warning));
}

} // namespace vornfuzz
