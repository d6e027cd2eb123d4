// The binary parameter snapshot ("VNPM").

#include "FuzzSupport.h"

#include "model/ParameterSnapshot.h"

#include <cmath>

using namespace vornconv;

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    parameterState::Snapshot snapshot;
    juce::String error;
    if (! parameterState::decode (vornfuzz::blockOf (data, size), snapshot, error))
    {
        FUZZ_CHECK (error.isNotEmpty());
        return 0;
    }
    FUZZ_CHECK (size == parameterState::snapshotHeaderSize + 4 * (size_t) snapshot.values.size());
    for (const auto v : snapshot.values)
        FUZZ_CHECK (std::isfinite (v) && v >= 0.0f && v <= 1.0f);
    // Accepted bytes are exactly what encoding the values gives.
    FUZZ_CHECK (vornfuzz::sameBytes (parameterState::encode (snapshot.values, snapshot.key), data, size));
    return 0;
}
