// Windows: sleepers on a word inside a bus segment wait on that segment's named semaphore (see
// SharedWordWake.h); words elsewhere use WaitOnAddress. Liveness by OpenProcess, clocks by
// QueryPerformanceCounter.
#include "../BusPlatform.h"

#include "SharedWordWake.h"

#include <algorithm>
#include <climits>

#include <immintrin.h>

namespace {

// More receive threads than could sleep on one bus at once: 64 devices in each of 64 processes.
constexpr uint32_t kMostSleepers = 4096;

void SleepOnSegmentWord(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs,
                        const SegmentWake& wake)
{
    // Counted before the word is checked again, so a waker that changes the word afterwards sees us.
    wake.sleepers->fetch_add(1, std::memory_order_seq_cst);
    if (word.load(std::memory_order_seq_cst) == expected) {
        WaitForSingleObject(wake.semaphore, timeoutMs);
    }
    wake.sleepers->fetch_sub(1, std::memory_order_seq_cst);
    // A token released for us after we timed out wakes a later sleeper early: callers re-check.
}

} // namespace

void SleepOnSharedWord(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs)
{
    SegmentWake wake;
    if (FindSegmentWake(&word, wake)) {
        SleepOnSegmentWord(word, expected, timeoutMs, wake);
        return;
    }
    WaitOnAddress(&word, &expected, sizeof(expected), timeoutMs);
}

void WakeSharedWordSleepers(std::atomic<uint32_t>& word)
{
    SegmentWake wake;
    if (!FindSegmentWake(&word, wake)) {
        WakeByAddressAll(&word);
        return;
    }
    // The caller's store to word comes before this count is read (the sleeper's side is the mirror).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // The count lives in the segment, so any member can set it: at most kMostSleepers tokens, which a
    // wrong count turns into a few spurious wake-ups, never a flood of them or a refused release.
    uint32_t sleepers = std::min(wake.sleepers->load(std::memory_order_seq_cst), kMostSleepers);
    if (sleepers > 0) {
        ReleaseSemaphore(wake.semaphore, static_cast<LONG>(sleepers), nullptr);
    }
}

uint32_t CurrentProcessId()
{
    return static_cast<uint32_t>(GetCurrentProcessId());
}

bool ProcessIsAlive(uint32_t processId)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) {
        // Access denied means it exists but belongs to someone else.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

uint64_t MonotonicNanoseconds()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000000u + ticks % perSecond * 1000000000u / perSecond;
}

uint32_t MillisecondTicks()
{
    return static_cast<uint32_t>(MonotonicNanoseconds() / 1000000u); // wraps like GetTickCount
}

void BlockAsynchronousSignals()
{
    // Windows delivers Ctrl+C to a thread of its own, never to a thread inside the library.
}

void PreferPreciseTimers()
{
    // A high-resolution waitable timer has no slack to set (cPreciseSleeper).
}

void PauseWhileSpinning()
{
    _mm_pause();
}
