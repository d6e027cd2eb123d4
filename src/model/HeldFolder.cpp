#include "model/HeldFolder.h"

#include "model/AtomicFileCommit.h"
#include "model/TestHooks.h"

#include "model/Utf8Text.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vornconv
{

namespace
{

bool sameFile (const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string randomSuffix()
{
    static std::atomic<unsigned> counter { 0 };
    auto& random = juce::Random::getSystemRandom();
    return juce::String::toHexString (random.nextInt64()).paddedLeft ('0', 16).toStdString()
         + juce::String::toHexString ((int) ++counter).toStdString();
}

// "<name>.tmp-<random>", name cut short (never inside a character's bytes) where the two would pass
// limit while name fits it. A name too long for the folder is left whole, so that its refusal is
// the system's own.
std::string temporaryName (const std::string& name, size_t limit)
{
    const std::string suffix = ".tmp-" + randomSuffix();
    size_t keep = name.size();
    if (name.size() <= limit && name.size() + suffix.size() > limit)
    {
        keep = limit > suffix.size() ? limit - suffix.size() : 0;
        while (keep > 0 && (static_cast<unsigned char> (name[keep]) & 0xC0) == 0x80)
            --keep;
    }
    return name.substr (0, keep) + suffix;
}

} // namespace

//==============================================================================
// The folder

HeldFolder& HeldFolder::operator= (HeldFolder&& other) noexcept
{
    if (this != &other)
    {
        removeMadeFolders();
        path = std::move (other.path);
        role = std::move (other.role);
        handle = std::move (other.handle);
        foundPath = std::move (other.foundPath);
        found = std::move (other.found);
        made = std::move (other.made);
        other.made.clear();
    }
    return *this;
}

HeldFolder::~HeldFolder()
{
    removeMadeFolders();
}

bool HeldFolder::holds (const juce::String& name) const
{
    struct stat info;
    return handle != nullptr && ::fstatat (handle->fd, name.toRawUTF8(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool HeldFolder::stillAtItsPath (juce::String& error) const
{
    struct stat atPath, held;
    bool same = found != nullptr && ::stat (foundPath.getFullPathName().toRawUTF8(), &atPath) == 0
             && ::fstat (found->fd, &held) == 0 && sameFile (atPath, held);
    for (size_t i = 0; same && i < made.size(); ++i)
        same = ::fstatat (made[i].parent->fd, made[i].name.c_str(), &atPath, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISDIR (atPath.st_mode) && ::fstat (made[i].folder->fd, &held) == 0 && sameFile (atPath, held);
    if (! same)
        error = role + " was moved or replaced during the run: " + path.getFullPathName();
    return same;
}

void HeldFolder::removeMadeFolders()
{
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        removeRegistered (it->registration);
}

void HeldFolder::keep()
{
    std::vector<HeldFile> none;
    keep (none);
}

void HeldFolder::keep (std::vector<HeldFile>& files)
{
    std::vector<int*> registrations;
    registrations.reserve (made.size() + files.size());
    for (auto& folder : made)
        registrations.push_back (&folder.registration);
    for (auto& file : files)
        registrations.push_back (&file.registration);
    forgetRegistrations (registrations);
    for (auto& file : files)
        file.release();
}

juce::String heldFolderFailure (const juce::File& folder, int code)
{
    auto text = " " + folder.getFullPathName() + systemReason (code);
    if (code != ENOTDIR)
        return text;
    // What stands in the way, the deepest first: a file, else a link where the run makes folders
    // (it never follows one there).
    for (auto part = folder; part.getParentDirectory() != part; part = part.getParentDirectory())
        if (part.exists() && ! part.isDirectory())
            return text + " (" + part.getFullPathName() + " is a file, not a folder)";
    for (auto part = folder; part.getParentDirectory() != part; part = part.getParentDirectory())
        if (part.isSymbolicLink())
            return text + " (" + part.getFullPathName() + " is a link, not a folder)";
    return text;
}

bool openHeldFolder (const juce::File& folder, bool create, const juce::String& role, HeldFolder& out)
{
    out = HeldFolder();
    out.path = folder;
    out.role = role;

    // The deepest folder that exists, by its path; the missing ones below it, deepest first.
    std::vector<juce::File> missing;
    auto at = folder;
    for (;;)
    {
        const auto pathText = at.getFullPathName();
        const int fd = pathText.isEmpty() ? -1 : ::open (pathText.toRawUTF8(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0)
        {
            out.found = std::make_shared<const FolderHandle> (fd);
            out.foundPath = at;
            break;
        }
        if (pathText.isEmpty())
            errno = ENOENT;
        if (errno != ENOENT || ! create || at.getParentDirectory() == at)
            return false;
        missing.push_back (at);
        at = at.getParentDirectory();
    }

    auto current = out.found;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
    {
        HeldFolder::MadeFolder step;
        step.parent = current;
        step.name = it->getFileName().toStdString();
        if (testHooks::beforeFolderMade != nullptr)
            testHooks::beforeFolderMade (it->getFullPathName().toRawUTF8());
        if (! makeRegisteredFolderIn (current, step.name, step.folder, step.registration))
        {
            const int code = errno;
            out.removeMadeFolders();
            errno = code;
            return false;
        }
        current = step.folder;
        out.made.push_back (std::move (step));
    }
    out.handle = current;
    return true;
}

//==============================================================================
// Files in it

HeldFile::HeldFile (HeldFile&& other) noexcept
    : folder (std::move (other.folder)), name (std::move (other.name)), fd (other.fd), registration (other.registration)
{
    other.fd = -1;
    other.registration = 0;
}

HeldFile& HeldFile::operator= (HeldFile&& other) noexcept
{
    if (this != &other)
    {
        remove();
        folder = std::move (other.folder);
        name = std::move (other.name);
        fd = other.fd;
        registration = other.registration;
        other.fd = -1;
        other.registration = 0;
    }
    return *this;
}

HeldFile::~HeldFile()
{
    remove();
}

bool HeldFile::close()
{
    if (fd < 0)
        return true;
    const int result = ::close (fd);
    fd = -1;
    if (result != 0)
        return false;
    // Written: what is published from now on must be what was written (and then proven).
    sealRegisteredFile (registration);
    return true;
}

void HeldFile::remove()
{
    close();
    removeRegistered (registration);
}

void HeldFile::release()
{
    close();
    if (registration != 0)
        forgetRegistrations ({ &registration });
}

juce::File HeldFile::pathThroughHandle() const
{
    if (folder == nullptr)
        return {};
    return juce::File ("/proc/self/fd/" + juce::String (folder->fd) + "/"
                       + utf8::toTextReplacingMalformed (name.data(), name.size()));
}

bool makeTemporaryIn (const HeldFolder& folder, const juce::String& finalName, HeldFile& out)
{
    out.remove();
    if (folder.handle == nullptr)
    {
        errno = ENOENT;
        return false;
    }
    // The limit is the folder's own (255 bytes on most file systems, less on a few).
    const long fromSystem = ::fpathconf (folder.handle->fd, _PC_NAME_MAX);
    const size_t limit = fromSystem > 0 ? (size_t) fromSystem : 255;
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        auto name = temporaryName (finalName.toStdString(), limit);
        int fd = -1, registration = 0;
        if (createRegisteredFileIn (folder.handle, name, fd, registration))
        {
            out.folder = folder.handle;
            out.name = std::move (name);
            out.fd = fd;
            out.registration = registration;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    errno = EEXIST;
    return false;
}

} // namespace vornconv
