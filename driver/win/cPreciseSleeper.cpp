// Windows: Sleep, std::this_thread::sleep_for and WaitOnAddress count in milliseconds of the system
// tick (15.6 ms unless someone raised the resolution; Wine rounds waits below 1 ms down to none), so a
// sleep until a frame's end would wake far too late or spin. A high-resolution waitable timer wakes
// within some tens of microseconds; the event beside it lets Interrupt end the wait at once.
#include "cPreciseSleeper.h"

#include "BusPlatform.h"

#include <windows.h>

#include <timeapi.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

cPreciseSleeper::cPreciseSleeper()
{
    m_timer =
        CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (m_timer == nullptr) {
        // Before Windows 10 1803: an ordinary timer fires on the tick, so make the tick 1 ms.
        m_timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        m_raisedTimerResolution = timeBeginPeriod(1) == TIMERR_NOERROR;
    }
    m_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

cPreciseSleeper::~cPreciseSleeper()
{
    if (m_raisedTimerResolution) {
        timeEndPeriod(1);
    }
    for (void* handle : {m_timer, m_event}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
}

void cPreciseSleeper::SleepUntil(uint64_t deadline, uint32_t)
{
    uint64_t now = MonotonicNanoseconds();
    if (deadline <= now) {
        return;
    }
    if (m_timer == nullptr || m_event == nullptr) {
        Sleep(1); // no kernel objects to spare: coarse, but never a spin
        return;
    }
    // Relative due time, negative, in 100 ns units.
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>((deadline - now + 99) / 100);
    if (!SetWaitableTimer(m_timer, &due, 0, nullptr, nullptr, FALSE)) {
        Sleep(1);
        return;
    }
    HANDLE both[2] = {m_event, m_timer};
    WaitForMultipleObjects(2, both, FALSE, INFINITE);
}

void cPreciseSleeper::Interrupt()
{
    m_interrupts.fetch_add(1, std::memory_order_seq_cst);
    if (m_event != nullptr) {
        SetEvent(m_event);
    }
}
