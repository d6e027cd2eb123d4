// The tolerances and the byte comparison every proof of a session shares.

#include "model/ValueComparison.h"

#include <cmath>
#include <cstring>

namespace vornconv
{

bool withinTolerance (double a, double b, double tolerance) noexcept
{
    return std::isfinite (a) && std::isfinite (b) && std::fabs (a - b) <= tolerance;
}

bool sameBytes (const void* a, size_t aSize, const void* b, size_t bSize) noexcept
{
    // memcmp is not given a null pointer, not even for no bytes.
    return aSize == bSize && (aSize == 0 || std::memcmp (a, b, aSize) == 0);
}

bool sameBytes (const juce::MemoryBlock& a, const juce::MemoryBlock& b) noexcept
{
    return sameBytes (a.getData(), a.getSize(), b.getData(), b.getSize());
}

} // namespace vornconv
