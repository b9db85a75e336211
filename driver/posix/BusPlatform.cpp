// Linux: cross-process futexes on words inside the shared mapping (so never FUTEX_PRIVATE_FLAG),
// kill(pid, 0) for liveness, CLOCK_MONOTONIC for both clocks.
#include "../BusPlatform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>

#include <linux/futex.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is a plain 32-bit word");

uint32_t* FutexAddress(std::atomic<uint32_t>& word)
{
    return reinterpret_cast<uint32_t*>(&word);
}

} // namespace

void SleepOnSharedWord(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs)
{
    timespec timeout{static_cast<time_t>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000000L};
    // Relative timeout; EAGAIN (word changed), EINTR and ETIMEDOUT all just return to the caller's check.
    syscall(SYS_futex, FutexAddress(word), FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

void WakeSharedWordSleepers(std::atomic<uint32_t>& word)
{
    syscall(SYS_futex, FutexAddress(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

uint32_t CurrentProcessId()
{
    return static_cast<uint32_t>(getpid());
}

bool ProcessIsAlive(uint32_t processId)
{
    // EPERM means it exists but belongs to another user.
    return kill(static_cast<pid_t>(processId), 0) == 0 || errno != ESRCH;
}

uint64_t MonotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

uint32_t MillisecondTicks()
{
    return static_cast<uint32_t>(MonotonicNanoseconds() / 1000000u); // wraps like GetTickCount
}

void BlockAsynchronousSignals()
{
    sigset_t all;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) {
        sigdelset(&all, fault); // faults belong to the thread that raises them
    }
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

void PreferPreciseTimers()
{
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}

void PauseWhileSpinning()
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}
