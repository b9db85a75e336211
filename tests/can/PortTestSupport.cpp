#include "PortTestSupport.h"

#include <future>
#include <memory>
#include <thread>

#include <sys/mman.h>
#include <unistd.h>

bool FinishesOnAnotherThread(std::function<void()> work, std::chrono::milliseconds timeout)
{
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> done = finished->get_future();
    // Detached: if the lock is held for good, the thread stays blocked and the test fails instead of hanging.
    std::thread([work, finished] {
        work();
        finished->set_value();
    }).detach();
    return done.wait_for(timeout) == std::future_status::ready;
}

const uint8_t* UnreadablePage()
{
    static void* const page =
        mmap(nullptr, static_cast<size_t>(getpagesize()), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return static_cast<const uint8_t*>(page);
}
