// One thread's sleep until a moment on the monotonic clock (MonotonicNanoseconds), on the kernel's
// high-resolution timers rather than the scheduler's tick, that another thread of the process can end
// at once. The driver's library threads wait this way for a frame's end on the wire and for their turn
// on it: a spin would cost a core at a busy bus's pace, a tick-bound sleep would wake them late.
//
// Linux: a private futex wait with an absolute CLOCK_MONOTONIC deadline. Windows: a high-resolution
// waitable timer (CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, Windows 10 1803 and later) and an event, in
// one WaitForMultipleObjects; where the system has no such timer, an ordinary one with the timer
// resolution raised to 1 ms while this object lives.
#pragma once

#include <atomic>
#include <cstdint>

class cPreciseSleeper
{
public:
    cPreciseSleeper();
    ~cPreciseSleeper();

    cPreciseSleeper(const cPreciseSleeper&) = delete;
    cPreciseSleeper& operator=(const cPreciseSleeper&) = delete;

    // Sleeps until the clock reaches deadline or stop is set; one thread sleeps on an object at a time.
    void WaitUntil(uint64_t deadline, const std::atomic<bool>& stop);
    // Ends the current wait early, so that it sees stop, which the caller set before. Any thread.
    void Interrupt();

private:
    // Returns at the deadline, on an Interrupt since interrupts read seen, or for no reason.
    void SleepUntil(uint64_t deadline, uint32_t seen);

    // Counts interrupts, so that one that comes between a sleeper's look at its stop flag and its sleep
    // still ends that sleep (Linux: the futex word). Any thread increments it; the sleeper reads it.
    std::atomic<uint32_t> m_interrupts{0};
    void* m_timer = nullptr;              // Windows: the waitable timer, owned by this object
    void* m_event = nullptr;              // Windows: the auto-reset event Interrupt sets
    bool m_raisedTimerResolution = false; // Windows without high-resolution timers
};
