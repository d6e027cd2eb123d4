#include "app/SessionFormats.h"

#include "readers/LiveProfessorRack2Reader.h"
#include "readers/ReaperRppReader.h"
#include "readers/SuperRackSprkReader.h"
#include "readers/VornKsnReader.h"

namespace vornconv::app
{

juce::String detectFormat (const juce::File& file)
{
    const auto extension = file.getFileExtension().toLowerCase();
    if (extension == ".ksn")   return "vorn.ksn";
    if (extension == ".sprk")  return "waves.sprk";
    if (extension == ".rack2") return "liveprofessor.rack2";
    if (extension == ".rpp")   return "reaper.rpp";
    return {};
}

RackReadResult readSessionFile (const juce::File& file, const juce::String& formatId)
{
    if (formatId == "vorn.ksn")
        return readVornKsn (file);
    if (formatId == "waves.sprk")
        return readSuperRackSprk (file);
    if (formatId == "liveprofessor.rack2")
        return readLiveProfessorRack2 (file);
    if (formatId == "reaper.rpp")
        return readReaperRpp (file);
    RackReadResult result;
    result.session.sourceFormat = formatId;
    result.session.sourceFile = file.getFullPathName();
    result.error = "no session reader for format " + formatId;
    return result;
}

} // namespace vornconv::app
