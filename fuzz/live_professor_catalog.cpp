// LiveProfessor 2's own plug-in list (Plugins.xml), and the lookups the converter makes in it.

#include "ReadResultChecks.h"

#include "rapp/LiveProfessorPluginCatalog.h"

#include <set>

using namespace vornconv;

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto file = vornfuzz::ScratchFolder::get().write ("Plugins.xml", data, size);
    rapp::LiveProfessorPluginCatalog catalog;
    juce::String error;
    if (! catalog.load (file, error))
    {
        FUZZ_CHECK (error.isNotEmpty() && catalog.entries.isEmpty());
        FUZZ_CHECK (vornfuzz::isCleanText (error));
        return 0;
    }

    std::set<juce::String> identifiers;
    for (const auto& entry : catalog.entries)
    {
        FUZZ_CHECK (entry.format == "VST3" || entry.format == "AU");
        FUZZ_CHECK (entry.name.isNotEmpty() && entry.uniqueId != 0 && entry.uid != 0);
        FUZZ_CHECK (identifiers.insert (entry.identifier).second);
        for (const auto* text : { &entry.name, &entry.manufacturer, &entry.version, &entry.file, &entry.xml })
            FUZZ_CHECK (vornfuzz::isCleanText (*text));

        // Looking an entry up by its own identity finds it, or finds that it is not unique.
        PluginRef slot;
        slot.occupied = true;
        slot.format = entry.format;
        slot.name = entry.name;
        slot.uniqueId = entry.uniqueId;
        slot.auType = entry.auType;
        slot.auSubtype = entry.auSubtype;
        slot.auManufacturer = entry.auManufacturer;
        const auto* found = catalog.findUnique (slot);
        FUZZ_CHECK (found == nullptr || found == &entry);
    }
    return 0;
}
