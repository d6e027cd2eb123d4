#include "model/TestHooks.h"

#if VORN_TEST_HOOKS
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#endif

namespace vornconv::testHooks
{

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

#else

void stopPoint (const char*) {}

#endif

} // namespace vornconv::testHooks
