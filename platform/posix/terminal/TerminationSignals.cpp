#include "TerminationSignals.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

constexpr std::array<int, 3> kTerminationSignals = {SIGINT, SIGTERM, SIGHUP};

// Whom the handler wakes; set by StartCatchingTermination before the handlers are installed, cleared
// by StopCatchingTermination after they are removed. The handler may run on any thread.
std::atomic<InputWatcher*> terminationWatcher{nullptr};
// The first signal that came; set by the handler, read by any thread. Lock-free, so async-signal-safe.
std::atomic<int> firstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
// What was installed before ours, in the order of kTerminationSignals; written by Start and Stop only.
std::array<struct sigaction, kTerminationSignals.size()> previousActions;

void OnTermination(int signal)
{
    int savedErrno = errno;
    int none = 0;
    firstSignal.compare_exchange_strong(none, signal);
    if (InputWatcher* watcher = terminationWatcher.load()) {
        watcher->Wake(); // async-signal-safe: one write
    }
    errno = savedErrno;
}

} // namespace

void StartCatchingTermination(InputWatcher& watcher)
{
    terminationWatcher = &watcher;
    struct sigaction onTermination = {};
    onTermination.sa_handler = OnTermination;
    onTermination.sa_flags = SA_RESTART;
    sigemptyset(&onTermination.sa_mask);
    for (size_t i = 0; i < kTerminationSignals.size(); ++i) {
        sigaction(kTerminationSignals[i], &onTermination, &previousActions[i]);
    }
}

void StopCatchingTermination()
{
    for (size_t i = 0; i < kTerminationSignals.size(); ++i) {
        sigaction(kTerminationSignals[i], &previousActions[i], nullptr);
    }
    terminationWatcher = nullptr;
}

int TerminationSignal()
{
    return firstSignal.load();
}
