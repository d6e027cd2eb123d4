#pragma once

// What every reader promises about its result, whatever the input: a failure is a failed read
// with a reason, a success is graded complete or partial, and every text in the session is
// well-formed UTF-8 (foreign bytes reach a juce::String only through the checked conversion).

#include "FuzzSupport.h"

#include "model/RackModel.h"
#include "model/Utf8Text.h"

namespace vornfuzz
{

inline bool isCleanText (const juce::String& text)
{
    const auto* bytes = text.toRawUTF8();
    return vornconv::utf8::isValid (bytes, text.getNumBytesAsUTF8());
}

inline void checkReadResult (const vornconv::RackReadResult& result)
{
    using namespace vornconv;
    if (! result.ok)
    {
        FUZZ_CHECK (result.status == readFailed);
        FUZZ_CHECK (result.error.isNotEmpty());
    }
    else
    {
        FUZZ_CHECK (result.status == readComplete || result.status == readPartial);
    }
    FUZZ_CHECK (isCleanText (result.error));

    const auto& s = result.session;
    for (const auto* text : { &s.sourceFormat, &s.sourceApp, &s.sourceVersion, &s.sourceFile, &s.sourceSnapshotStatus,
                              &s.inputDevice, &s.outputDevice })
        FUZZ_CHECK (isCleanText (*text));
    for (const auto& note : s.notes)
        FUZZ_CHECK (isCleanText (note.code) && isCleanText (note.text));
    for (const auto& snapshot : s.snapshots)
        FUZZ_CHECK (isCleanText (snapshot.name) && isCleanText (snapshot.note));
    for (const auto& strip : s.strips)
    {
        FUZZ_CHECK (isCleanText (strip.name));
        for (const auto& parameter : strip.sourceParameters)
            FUZZ_CHECK (isCleanText (parameter.name) && isCleanText (parameter.value));
        for (const auto& slot : strip.plugins)
            for (const auto* text : { &slot.name, &slot.vendor, &slot.format, &slot.classId, &slot.descriptionXml,
                                      &slot.pendingSidechainReason, &slot.pendingStateReason })
                FUZZ_CHECK (isCleanText (*text));
    }
}

} // namespace vornfuzz
