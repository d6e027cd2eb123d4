#include "vst3catalog/BundleReader.h"

#include "vst3catalog/CatalogText.h"
#include "vst3catalog/Vst3FactoryAbi.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <system_error>
#include <unistd.h>

namespace vornconv::vst3catalog
{
namespace
{

namespace fs = std::filesystem;

const char* const audioModuleCategory = "Audio Module Class";

bool isRegularFile (const std::string& path)
{
    struct stat info {};
    return ::stat (path.c_str(), &info) == 0 && S_ISREG (info.st_mode);
}

bool isDirectory (const std::string& path)
{
    struct stat info {};
    return ::stat (path.c_str(), &info) == 0 && S_ISDIR (info.st_mode);
}

// The bundle's name without ".vst3", ignoring trailing slashes of the path.
std::string bundleStem (const std::string& bundlePath)
{
    std::string path = bundlePath;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return fs::path (path).stem().string();
}

bool sameCategory (const char* category, std::size_t size)
{
    return catalogField (category, size) == audioModuleCategory;
}

bool writeAll (int fd, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size())
    {
        const ssize_t n = ::write (fd, text.data() + written, text.size() - written);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        written += static_cast<std::size_t> (n);
    }
    return true;
}

void releaseInterface (void* object)
{
    const auto* table = static_cast<const abi::UnknownTable*> (static_cast<abi::InterfaceObject*> (object)->table);
    table->release (object);
}

// Whether the factory describes class i as an audio class through its wide-text information only.
bool describedOnlyInWideText (void* factory3, abi::int32 i)
{
    if (factory3 == nullptr)
        return false;
    const auto* table3 = static_cast<const abi::PluginFactory3Table*> (static_cast<abi::InterfaceObject*> (factory3)->table);
    abi::PClassInfoW info;
    std::memset (&info, 0, sizeof (info));
    return table3->getClassInfoUnicode (factory3, i, &info) == abi::kResultOk
        && sameCategory (info.category, sizeof (info.category));
}

void* queryFactory (void* factory, const unsigned char* iid)
{
    const auto* table = static_cast<const abi::UnknownTable*> (static_cast<abi::InterfaceObject*> (factory)->table);
    void* other = nullptr;
    if (table->queryInterface (factory, iid, &other) != abi::kResultOk)
        return nullptr;
    return other;
}

// Lists the classes of a factory; fills rows, and notes for the classes it cannot list.
void listClasses (void* factory, const std::string& bundlePath, const std::string& rowBundlePath,
                  std::vector<std::string>& rows, std::vector<std::string>& notes)
{
    const auto* table = static_cast<const abi::PluginFactoryTable*> (static_cast<abi::InterfaceObject*> (factory)->table);

    abi::PFactoryInfo factoryInfo;
    std::memset (&factoryInfo, 0, sizeof (factoryInfo));
    table->getFactoryInfo (factory, &factoryInfo);
    const std::string factoryVendor = catalogField (factoryInfo.vendor, sizeof (factoryInfo.vendor));

    // The newer interface is asked for through the object's own queryInterface: a type check
    // of our own cannot see through a module boundary.
    void* factory2 = queryFactory (factory, abi::iidPluginFactory2);
    void* factory3 = nullptr; // asked for only when a class needs it
    bool askedForFactory3 = false;
    const auto* table2 = factory2 != nullptr
        ? static_cast<const abi::PluginFactory2Table*> (static_cast<abi::InterfaceObject*> (factory2)->table)
        : nullptr;

    const abi::int32 count = table->countClasses (factory);
    for (abi::int32 i = 0; i < count; ++i)
    {
        if (table2 != nullptr)
        {
            abi::PClassInfo2 info;
            std::memset (&info, 0, sizeof (info));
            if (table2->getClassInfo2 (factory2, i, &info) == abi::kResultOk)
            {
                if (sameCategory (info.category, sizeof (info.category)))
                {
                    std::string vendor = catalogField (info.vendor, sizeof (info.vendor));
                    if (vendor.empty())
                        vendor = factoryVendor;
                    rows.push_back (catalogRow (classIdText (info.cid), catalogField (info.name, sizeof (info.name)),
                                                vendor, catalogField (info.version, sizeof (info.version)),
                                                rowBundlePath));
                }
                continue;
            }
        }

        abi::PClassInfo info;
        std::memset (&info, 0, sizeof (info));
        if (table->getClassInfo (factory, i, &info) == abi::kResultOk)
        {
            if (sameCategory (info.category, sizeof (info.category)))
                rows.push_back (catalogRow (classIdText (info.cid), catalogField (info.name, sizeof (info.name)),
                                            factoryVendor, std::string(), rowBundlePath));
            continue;
        }

        // JUCE's factory, for one, refuses the 8-bit calls for a class whose texts need more.
        if (! askedForFactory3)
        {
            askedForFactory3 = true;
            factory3 = queryFactory (factory, abi::iidPluginFactory3);
        }
        if (describedOnlyInWideText (factory3, i))
            notes.push_back (quotedPath (bundlePath) + "\tclass " + std::to_string (i)
                             + " is described only through getClassInfoUnicode and is not listed\n");
    }

    if (factory3 != nullptr)
        releaseInterface (factory3);
    if (factory2 != nullptr)
        releaseInterface (factory2);
}

BundleCatalog failure (const std::string& message)
{
    BundleCatalog result;
    result.error = "\t" + message + "\n";
    return result;
}

} // namespace

std::string architectureFolderName()
{
    struct utsname names {};
    if (::uname (&names) == 0 && names.machine[0] != 0)
        return std::string (names.machine) + "-linux";
#if defined(__x86_64__)
    return "x86_64-linux";
#elif defined(__aarch64__)
    return "aarch64-linux";
#else
    return "unknown-linux";
#endif
}

std::string findBundleBinary (const std::string& bundlePath)
{
    const std::string folder = (fs::path (bundlePath) / "Contents" / architectureFolderName()).string();
    const std::string named = (fs::path (folder) / (bundleStem (bundlePath) + ".so")).string();
    if (isRegularFile (named))
        return named;
    if (! isDirectory (folder))
        return {};

    std::vector<std::string> candidates;
    std::error_code ec;
    fs::directory_iterator it (folder, fs::directory_options::skip_permission_denied, ec);
    for (; ! ec && it != fs::directory_iterator(); it.increment (ec))
    {
        const fs::path& entry = it->path();
        if (entry.extension() == ".so" && isRegularFile (entry.string()))
            candidates.push_back (entry.string());
    }
    if (candidates.empty())
        return {};
    return *std::min_element (candidates.begin(), candidates.end());
}

std::string bundlePathProblem (const std::string& bundlePath)
{
    struct stat info {};
    if (::stat (bundlePath.c_str(), &info) != 0)
    {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR)
            return "bundle does not exist";
        return std::string ("bundle cannot be examined: ") + std::strerror (code);
    }
    return S_ISDIR (info.st_mode) ? std::string() : "bundle is not a directory";
}

BundleCatalog readBundleCatalog (const std::string& bundlePath, const std::string& rowBundlePath)
{
    if (const auto problem = bundlePathProblem (bundlePath); ! problem.empty())
        return failure (problem);
    if (! isRowSafeBundlePath (rowBundlePath))
        return failure ("bundle path contains TAB, CR, LF, trailing whitespace or invalid UTF-8");

    const std::string binary = findBundleBinary (bundlePath);
    if (binary.empty())
        return failure ("missing Contents/" + architectureFolderName() + " binary");

    ::dlerror();
    void* library = ::dlopen (binary.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr)
    {
        const char* message = ::dlerror();
        return failure (std::string ("dlopen: ") + (message != nullptr ? message : "unknown error"));
    }

    const auto getFactory = reinterpret_cast<abi::GetPluginFactoryFunction> (::dlsym (library, "GetPluginFactory"));
    if (getFactory == nullptr)
    {
        ::dlclose (library);
        return failure ("GetPluginFactory missing");
    }
    const auto moduleEntry = reinterpret_cast<abi::ModuleEntryFunction> (::dlsym (library, "ModuleEntry"));
    const auto moduleExit = reinterpret_cast<abi::ModuleExitFunction> (::dlsym (library, "ModuleExit"));

    if (moduleEntry != nullptr && ! moduleEntry (library))
    {
        ::dlclose (library);
        return failure ("ModuleEntry refused initialisation");
    }
    const bool entered = moduleEntry != nullptr;

    void* factory = getFactory();
    if (factory == nullptr)
    {
        if (entered && moduleExit != nullptr)
            moduleExit();
        ::dlclose (library);
        return failure ("GetPluginFactory returned null");
    }

    BundleCatalog result;
    listClasses (factory, bundlePath, rowBundlePath, result.rows, result.notes);
    releaseInterface (factory);
    if (entered && moduleExit != nullptr)
        moduleExit();
    ::dlclose (library);

    if (result.rows.empty())
    {
        auto refused = failure ("no Audio Module Class exported");
        refused.notes = std::move (result.notes);
        return refused;
    }
    result.ok = true;
    return result;
}

int runChildMode (const std::string& bundlePath)
{
    auto fail = [&bundlePath] (const std::string& error)
    {
        writeAll (2, "ERROR\t" + quotedPath (bundlePath) + error);
        return 1;
    };

    // Rows leave through a private copy of standard output; standard output itself then points
    // at standard error, so whatever the plug-in prints while it loads cannot reach the catalog.
    std::fflush (stdout);
    const int rowFd = ::fcntl (1, F_DUPFD_CLOEXEC, 3);
    if (rowFd < 0 || ::dup2 (2, 1) < 0)
        return fail ("\tunable to separate catalog output\n");

    const BundleCatalog catalog = readBundleCatalog (bundlePath, catalogBundlePath (bundlePath));
    std::fflush (stdout);
    for (const auto& note : catalog.notes)
        writeAll (2, note);
    if (! catalog.ok)
    {
        ::close (rowFd);
        return fail (catalog.error);
    }

    std::string text;
    for (const auto& row : catalog.rows)
        text += row;
    const bool written = writeAll (rowFd, text);
    ::close (rowFd);
    return written ? 0 : fail ("\tunable to write catalog rows\n");
}

} // namespace vornconv::vst3catalog
