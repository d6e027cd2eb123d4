#pragma once

#include "model/RackModel.h"

// The manifest: one line of JSON (schema "vorn-rack-manifest-v1") that describes a session's
// meaning and its plug-in states by size and SHA-256 digest. It holds no path and no time, so
// the same session always gives the same line.
namespace vornconv::app
{

// SHA-256 as 64 lower-case hexadecimal digits; the empty text for an empty block.
juce::String sha256Hex (const juce::MemoryBlock& bytes);

// The document on one line, without a line break. Never fails.
juce::String buildManifestJson (const RackSession& session);

} // namespace vornconv::app
