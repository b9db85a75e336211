// Linux: FUTEX_WAIT_BITSET takes an absolute deadline on CLOCK_MONOTONIC (without FUTEX_CLOCK_REALTIME)
// and sleeps on a high-resolution timer, so a deadline is met within the thread's timer slack (50 µs
// by default) plus the wake-up's own latency; FUTEX_WAKE ends the wait at once.
#include "cPreciseSleeper.h"

#include <climits>
#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

cPreciseSleeper::cPreciseSleeper() = default;
cPreciseSleeper::~cPreciseSleeper() = default;

void cPreciseSleeper::SleepUntil(uint64_t deadline, uint32_t seen)
{
    timespec at{static_cast<time_t>(deadline / 1000000000u), static_cast<long>(deadline % 1000000000u)};
    // EAGAIN (interrupted since seen), EINTR and ETIMEDOUT all return to the caller's checks.
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_interrupts), FUTEX_WAIT_BITSET_PRIVATE, seen, &at,
            nullptr, FUTEX_BITSET_MATCH_ANY);
}

void cPreciseSleeper::Interrupt()
{
    m_interrupts.fetch_add(1, std::memory_order_seq_cst);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_interrupts), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}
