#pragma once

// Finding the VST3 bundles below the plug-in folders for `--all`.

#include <string>
#include <vector>

namespace vornconv::vst3catalog
{

// The folders `--all` scans, in order: the macOS-style system and user folders, then the
// user's ".vst3", "/usr/lib/vst3" and "/usr/local/lib/vst3". The user's folders are left out
// when the account has no absolute home directory.
std::vector<std::string> defaultScanRoots();

struct WalkItem
{
    bool isBundle = false;
    std::string path;      // the bundle, or the folder whose walk failed
    std::string message;   // the system's message for a failed folder
};

// Walks every root that is a directory, entries in name order, following symbolic links but
// visiting each directory (and so each bundle) once, and without descending into bundles.
// Roots that are not directories and entries without permission are skipped in silence; other
// failures become items in walk order.
std::vector<WalkItem> findBundles (const std::vector<std::string>& roots);

} // namespace vornconv::vst3catalog
