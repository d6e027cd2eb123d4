// The readers of each host: the one place where a host's descriptor meets its reader.

#include "readers/HostReaders.h"

#include "readers/LiveProfessorRack2Reader.h"
#include "readers/ReaperRppReader.h"
#include "readers/SuperRackSprkReader.h"
#include "readers/VornKsnReader.h"

namespace vornconv
{

namespace
{

RackReadResult readLiveProfessorBytes (const juce::File& name, std::string_view bytes)
{
    return readLiveProfessorRack2Bytes (bytes.data(), bytes.size(), name == juce::File() ? juce::String() : name.getFullPathName());
}

struct BoundReaders
{
    rapp::Target target;
    HostReaders readers;
};

// target; file reader, bytes reader (none for a database, which SQLite reads from a file), and
// the reader of bytes taken over where the bytes reader would copy them.
const BoundReaders hostReaders[] = {
    { rapp::targetVornScene, { readVornKsn, readVornKsnBytes, readVornKsnDocument } },
    { rapp::targetSuperRackPerformer, { readSuperRackSprk, nullptr } },
    { rapp::targetLiveProfessor, { readLiveProfessorRack2, readLiveProfessorBytes } },
    { rapp::targetReaper, { readReaperRpp, readReaperRppBytes } },
};

} // namespace

const HostReaders& readersOf (const rapp::HostDescriptor& host)
{
    static const HostReaders none;
    for (const auto& bound : hostReaders)
        if (bound.target == host.target)
            return bound.readers;
    return none;
}

} // namespace vornconv
