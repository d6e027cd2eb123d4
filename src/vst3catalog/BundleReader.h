#pragma once

// Reading one VST3 bundle's plug-in factory inside the current process: the child side of the
// catalog tool (`--one`). Loading a plug-in runs foreign code, so this is only ever done in a
// process of its own.

#include <string>
#include <vector>

namespace vornconv::vst3catalog
{

// The folder inside "Contents" that holds this machine's module binary, e.g. "x86_64-linux".
std::string architectureFolderName();

// The module binary of a bundle: Contents/<arch>/<bundle name>.so when that is a regular file,
// otherwise the first regular ".so" file of that folder in name order (links followed).
// Empty when there is none.
std::string findBundleBinary (const std::string& bundlePath);

// Why a path cannot be read as a bundle before anything inside it is looked at: "bundle does not
// exist", "bundle is not a directory", or the system's reason for not telling; empty for a
// directory (links followed).
std::string bundlePathProblem (const std::string& bundlePath);

struct BundleCatalog
{
    bool ok = false;
    std::string error;               // "\t" + message + "\n" when not ok
    std::vector<std::string> rows;   // complete catalog rows, each ending with LF
    std::vector<std::string> notes;  // lines for standard error (the parent's DIAGNOSTIC lines), each ending with LF
};

// Loads the bundle's module, calls ModuleEntry / GetPluginFactory / ModuleExit and lists its
// "Audio Module Class" classes as rows. rowBundlePath is written into the rows' last column. An
// audio class that the factory describes only through its wide-text class information (the
// 8-bit calls refuse it) gets no row but a note naming the bundle and the class index, so that
// the class missing from the catalog is told.
BundleCatalog readBundleCatalog (const std::string& bundlePath, const std::string& rowBundlePath);

// The child mode on this process's descriptors: rows go to what standard output was on entry,
// while everything else (the plug-in's own standard output included) goes to standard error.
// Returns the exit code: 0 when at least one row was written, else 1.
int runChildMode (const std::string& bundlePath);

} // namespace vornconv::vst3catalog
