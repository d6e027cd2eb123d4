// The test hooks: the stop points, two empty function pointers and the two actions a test puts
// behind them, and, in a build made for tests only, the environment that sets them for a run.

#include "model/TestHooks.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace vornconv::testHooks
{

void (*afterFileRead) (const char*) = nullptr;
void (*beforeFolderMade) (const char*) = nullptr;
void (*afterWavesSessionWritten) (const char*) = nullptr;

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

struct Request
{
    std::string point;
    long count = 0; // 0: no point is named
};

Request requested()
{
    Request request;
    const char* text = std::getenv ("VORN_TEST_STOP");
    const char* colon = text != nullptr ? std::strrchr (text, ':') : nullptr;
    if (colon == nullptr || colon == text)
        return request;
    char* end = nullptr;
    const long count = std::strtol (colon + 1, &end, 10);
    if (end == colon + 1 || *end != 0 || count <= 0)
        return request;
    request.point.assign (text, (size_t) (colon - text));
    request.count = count;
    return request;
}

} // namespace

void stopPoint (const char* point)
{
    static const Request request = requested();
    static std::atomic<long> reached { 0 };
    if (request.count > 0 && request.point == point && ++reached == request.count)
        std::raise (SIGSTOP);
}

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

void stopPoint (const char*) {}

void installFromEnvironment() {}

#endif

} // namespace vornconv::testHooks
