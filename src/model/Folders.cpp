// Making a folder that other runs may be making at the same moment, with the one way the program
// makes folders: from the deepest folder that stands, each missing one made and opened from its
// parent's handle, a name taken meanwhile settled by what stands there.

#include "model/Folders.h"

#include "model/HeldFolder.h"

namespace vornconv
{

bool makeFolderWithParents (const juce::File& folder)
{
    bool made = false;
    int code = 0;
    {
        HeldFolder held;
        made = openHeldFolder (folder, true, "folder", held);
        code = errno;
        if (made)
            held.keep();
    } // what the held folder lets go of here must not change the reason
    errno = code;
    return made;
}

} // namespace vornconv
