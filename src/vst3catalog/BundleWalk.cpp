#include "vst3catalog/BundleWalk.h"

#include <algorithm>
#include <filesystem>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace vornconv::vst3catalog
{
namespace
{

namespace fs = std::filesystem;

// Deeper trees than this are not plug-in folders; the limit keeps the recursion bounded.
constexpr int maximumDepth = 64;

using DirectoryKey = std::pair<dev_t, ino_t>;

struct Walk
{
    std::set<DirectoryKey> visited;
    std::vector<WalkItem> items;
};

bool directoryKey (const std::string& path, DirectoryKey& key)
{
    struct stat info {};
    if (::stat (path.c_str(), &info) != 0 || ! S_ISDIR (info.st_mode))
        return false;
    key = { info.st_dev, info.st_ino };
    return true;
}

void walkFolder (Walk& walk, const fs::path& folder, int depth)
{
    std::vector<fs::path> entries;
    std::error_code ec;
    fs::directory_iterator it (folder, fs::directory_options::skip_permission_denied, ec);
    while (! ec && it != fs::directory_iterator())
    {
        entries.push_back (it->path());
        it.increment (ec);
    }
    if (ec && ec != std::errc::permission_denied)
        walk.items.push_back ({ false, folder.string(), ec.message() });

    std::sort (entries.begin(), entries.end(),
               [] (const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });

    for (const auto& entry : entries)
    {
        DirectoryKey key;
        if (! directoryKey (entry.string(), key) || ! walk.visited.insert (key).second)
            continue;
        if (entry.extension() == ".vst3")
            walk.items.push_back ({ true, entry.string(), {} });
        else if (depth < maximumDepth)
            walkFolder (walk, entry, depth + 1);
        else
            walk.items.push_back ({ false, entry.string(), "folders nested too deeply" });
    }
}

} // namespace

std::vector<std::string> defaultScanRoots()
{
    std::vector<std::string> roots { "/Library/Audio/Plug-Ins/VST3" };
    std::string home;
    if (const passwd* account = ::getpwuid (::getuid()); account != nullptr && account->pw_dir != nullptr)
        home = account->pw_dir;
    const bool hasHome = ! home.empty() && home.front() == '/';
    if (hasHome)
        roots.push_back ((fs::path (home) / "Library/Audio/Plug-Ins/VST3").string());
    if (hasHome)
        roots.push_back ((fs::path (home) / ".vst3").string());
    roots.push_back ("/usr/lib/vst3");
    roots.push_back ("/usr/local/lib/vst3");
    return roots;
}

std::vector<WalkItem> findBundles (const std::vector<std::string>& roots)
{
    Walk walk;
    for (const auto& root : roots)
    {
        DirectoryKey key;
        if (! directoryKey (root, key) || ! walk.visited.insert (key).second)
            continue;
        walkFolder (walk, fs::path (root), 0);
    }
    return walk.items;
}

} // namespace vornconv::vst3catalog
