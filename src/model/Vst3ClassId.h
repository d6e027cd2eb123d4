#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>

// The one rule for a VST3 class id: 32 hexadecimal digits, compared without regard to case and
// stored in upper case. Every reader stores the ids it reads in that form, every index keys on it,
// and every writer and report prints it; ids are told apart or matched only through here.
namespace vornconv
{

// Exactly 32 characters, each 0-9, A-F or a-f.
bool isHexClassId (juce::StringRef text) noexcept;

// The same rule over bytes that need not be text (a preset's id field).
bool isHexClassIdBytes (const void* bytes, size_t size) noexcept;

// The form a class id is stored and printed in: upper case. A text that is not a class id is
// upper-cased all the same, so that two spellings of it still meet; refusing it is the caller's.
juce::String storedClassId (const juce::String& classId);

// Whether two texts name the same class: equal once both are in stored form.
bool sameClassId (const juce::String& a, const juce::String& b);

} // namespace vornconv
