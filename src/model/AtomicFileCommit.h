#pragma once

#include <juce_core/juce_core.h>

namespace vornconv
{

// Publishes a finished temporary file at target in one atomic step that fails, and changes
// nothing, when anything (file, folder, link, even a dangling one) already stands at target.
// temporary must be a regular file (not a link, FIFO or folder). Both paths must lie on one file
// system, so callers create their temporary file beside the target. There is no retry and no
// copy fallback; on failure the temporary file stays where it is for its owner to delete.
bool commitNewFileExclusive (const juce::File& temporary, const juce::File& target, juce::String& error);

} // namespace vornconv
