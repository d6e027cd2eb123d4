#pragma once

#include <juce_core/juce_core.h>

// Folders that outlast a run and that several runs may make at the same moment (the parameter
// mirror cache): one run's mkdir then fails because another run's has just succeeded, and that
// is no failure as long as what stands there now is a folder.
namespace vornconv
{

// Makes folder and the missing folders above it, one at a time from the deepest that stands (mode
// 0777 before umask), as openHeldFolder makes an output's folders. A folder that already stands
// there (a link to one included) is used as it is. A name taken meanwhile counts as made when a
// folder stands there, and fails with ENOTDIR when a link, a file or anything else does. False
// with errno set when the folder cannot be made.
bool makeFolderWithParents (const juce::File& folder);

} // namespace vornconv
