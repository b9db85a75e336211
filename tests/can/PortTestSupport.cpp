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
    auto worker = std::make_unique<std::thread>([work, finished] {
        work();
        finished->set_value();
    });
    if (done.wait_for(timeout) != std::future_status::ready) {
        // The lock is held for good: the thread stays blocked and the test fails instead of hanging. It is
        // let go, never detached: after a pthread_detach of a thread that may not have started,
        // winpthreads (the MinGW build's std::thread) starts some later threads never.
        worker.release();
        return false;
    }
    worker->join();
    return true;
}

const uint8_t* UnreadablePage()
{
    static void* const page =
        mmap(nullptr, static_cast<size_t>(getpagesize()), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return static_cast<const uint8_t*>(page);
}
