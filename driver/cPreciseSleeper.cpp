// The part of the precise sleep every platform shares; each platform's file sleeps and interrupts.
#include "cPreciseSleeper.h"

#include "BusPlatform.h"

void cPreciseSleeper::WaitUntil(uint64_t deadline, const std::atomic<bool>& stop)
{
    for (;;) {
        // Read before stop, so that an Interrupt after that look changes the word the sleep checks.
        uint32_t seen = m_interrupts.load(std::memory_order_seq_cst);
        if (stop.load(std::memory_order_seq_cst) || MonotonicNanoseconds() >= deadline) {
            return;
        }
        SleepUntil(deadline, seen);
    }
}
