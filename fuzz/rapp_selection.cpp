// The selection file a user hands back (--selection): checked against a fixed session and
// projected onto the kept channels and plug-ins.

#include "ReadResultChecks.h"
#include "SelectionSource.h"

#include "rapp/RappSelection.h"

using namespace vornconv;

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto& scratch = vornfuzz::ScratchFolder::get();
    static const auto sourceFile = scratch.write ("in.ksn", reinterpret_cast<const uint8_t*> ("abc"), 3);
    static const auto source = vornfuzz::selectionSource (sourceFile);
    const auto capacity = vornfuzz::selectionCapacity();

    const auto selection = scratch.write ("selection.json", data, size);
    RackReadResult out;
    out.error = "untouched";
    juce::String error;
    if (! rapp::applySelectionFile (source, selection, capacity, vornfuzz::selectionTarget, out, error))
    {
        FUZZ_CHECK (error.isNotEmpty() && vornfuzz::isCleanText (error));
        FUZZ_CHECK (out.error == "untouched" && out.session.strips.isEmpty());
        return 0;
    }

    // The projection fits the capacity and keeps only plug-ins of the source.
    FUZZ_CHECK (out.session.strips.size() >= 1 && out.session.strips.size() <= capacity.strips);
    int kept = 0;
    for (const auto& strip : out.session.strips)
    {
        FUZZ_CHECK (strip.index >= 0 && strip.index < capacity.strips);
        FUZZ_CHECK (strip.plugins.size() <= capacity.slots);
        for (const auto& slot : strip.plugins)
            kept += slot.occupied ? 1 : 0;
    }
    FUZZ_CHECK (kept <= source.session.countPlugins());
    vornfuzz::checkReadResult (out);
    return 0;
}
