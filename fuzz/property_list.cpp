// AudioUnit class-info property lists, XML and binary: the strict whole-document reader and the
// identity taken from it.

#include "FuzzSupport.h"

#include "model/AudioUnitState.h"
#include "model/PropertyList.h"

using namespace vornconv;

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    juce::Array<propertyList::TopLevelEntry> entries;
    juce::String error;
    const bool dictionary = propertyList::readDictionary (data, size, entries, error);
    FUZZ_CHECK (dictionary == error.isEmpty());

    audioUnit::Identity identity;
    juce::String identityError;
    const bool identified = audioUnit::parsePropertyList (vornfuzz::blockOf (data, size), identity, identityError);
    if (identified)
    {
        // An identity only ever comes from a dictionary that the strict reader accepts whole.
        FUZZ_CHECK (dictionary);
        FUZZ_CHECK (identity.type != 0 && identity.subtype != 0 && identity.manufacturer != 0);
    }
    else
    {
        FUZZ_CHECK (identity.type == 0 && identity.subtype == 0 && identity.manufacturer == 0);
        FUZZ_CHECK (identityError.isNotEmpty());
    }
    return 0;
}
