// The test hooks: two empty function pointers, the two actions a test puts behind them, and, in a
// build made for tests only, the environment that sets them for a run of the program.

#include "model/TestHooks.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vornconv::testHooks
{

void (*afterFileRead) (const char*) = nullptr;
void (*beforeFolderMade) (const char*) = nullptr;

void changeOneByteInPlace (const char* path)
{
    const int fd = ::open (path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return;
    struct stat info;
    char byte = 0;
    if (::fstat (fd, &info) == 0 && S_ISREG (info.st_mode) && info.st_size > 0
        && ::pread (fd, &byte, 1, info.st_size / 2) == 1)
    {
        byte = (char) (byte ^ 1);
        (void) ! ::pwrite (fd, &byte, 1, info.st_size / 2);
    }
    ::close (fd);
}

void makeFolderNow (const char* path)
{
    ::mkdir (path, 0777);
}

#if VORN_TEST_HOOKS

namespace
{

const char* changedName = nullptr;
const char* madeName = nullptr;

bool hasName (const char* path, const char* name)
{
    const char* slash = std::strrchr (path, '/');
    return name != nullptr && std::strcmp (slash != nullptr ? slash + 1 : path, name) == 0;
}

void changeNamedFile (const char* path)
{
    if (hasName (path, changedName))
        changeOneByteInPlace (path);
}

void makeNamedFolder (const char* path)
{
    if (hasName (path, madeName))
        makeFolderNow (path);
}

const char* nonEmpty (const char* value)
{
    return value != nullptr && *value != 0 ? value : nullptr;
}

} // namespace

void installFromEnvironment()
{
    changedName = nonEmpty (std::getenv ("VORN_TEST_CHANGE_WHILE_READ"));
    madeName = nonEmpty (std::getenv ("VORN_TEST_FOLDER_MADE_MEANWHILE"));
    if (changedName != nullptr)
        afterFileRead = changeNamedFile;
    if (madeName != nullptr)
        beforeFolderMade = makeNamedFolder;
}

#else

void installFromEnvironment() {}

#endif

} // namespace vornconv::testHooks
