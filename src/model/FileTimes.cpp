// File times at the file system's own precision, read with stat (links followed).

#include "model/FileTimes.h"

#include <limits>

#include <sys/stat.h>

namespace vornconv
{

FileStamp fileStamp (const juce::File& file)
{
    FileStamp stamp;
    if (file == juce::File())
        return stamp;
    struct stat info {};
    if (::stat (file.getFullPathName().toRawUTF8(), &info) != 0)
        return stamp;
   #if JUCE_MAC
    const auto& modified = info.st_mtimespec;
   #else
    const auto& modified = info.st_mtim;
   #endif
    stamp.exists = true;
    stamp.regularFile = S_ISREG (info.st_mode);
    stamp.size = (juce::int64) info.st_size;
    // Nanoseconds since 1970 fit 64 bits until the year 2262; times beyond (a file touched to the
    // far future) are held at that limit instead of overflowing.
    constexpr juce::int64 secondsLimit = std::numeric_limits<juce::int64>::max() / 1000000000 - 1;
    const auto seconds = juce::jlimit (-secondsLimit, secondsLimit, (juce::int64) modified.tv_sec);
    stamp.modifiedNanos = seconds * 1000000000 + (juce::int64) modified.tv_nsec;
    return stamp;
}

juce::int64 modificationMillis (const juce::File& file)
{
    const auto nanos = fileStamp (file).modifiedNanos;
    // Rounded down, also before 1970.
    return nanos >= 0 ? nanos / 1000000 : -((-nanos + 999999) / 1000000);
}

} // namespace vornconv
