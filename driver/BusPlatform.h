// What the bus needs from the operating system besides the segment itself: sleeping on a shared word,
// telling whether a member process still lives, and the clocks. One implementation per platform.
#pragma once

#include <atomic>
#include <cstdint>

// Sleeps while word still holds expected, at most timeoutMs; returns early on a wake-up from any process
// sharing the word, and sometimes for no reason, so callers re-check what they wait for.
void SleepOnSharedWord(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs);
// Wakes every thread of every process sleeping on word.
void WakeSharedWordSleepers(std::atomic<uint32_t>& word);

uint32_t CurrentProcessId();
// False only when the process is known to be gone.
bool ProcessIsAlive(uint32_t processId);

// Milliseconds since an arbitrary start, 32 bits, wrapping: the tick count a receiving device stamps.
uint32_t MillisecondTicks();
uint64_t MonotonicNanoseconds();

// Keeps signals such as Ctrl+C's away from the calling library thread, so that they reach the
// program's own threads and never interrupt a receive function in the middle.
void BlockAsynchronousSignals();

// Lets the calling thread's timed sleeps end as close to their deadlines as the kernel can (Linux: a
// timer slack of 1 µs instead of 50 µs), for a library thread that sleeps until frames' ends.
void PreferPreciseTimers();

// Tells the processor that this thread is spinning.
void PauseWhileSpinning();
