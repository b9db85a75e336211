// Where a thread that sends messages runs, relative to the thread that serves them.
#include "CorePlacement.h"

#include <chrono>

#include <sched.h>

// The scheduler tends to wake a thread on the core of the thread that woke it, and a busy machine
// stops it from looking for an idle core; two threads passing messages back and forth can then end up
// sharing one core while the other idles, each spinning through the other's turn. Excluding this core
// for a moment moves the sender to another one; the full set is restored at once, so the scheduler
// stays free to move it later. At most once a millisecond per thread.
bool MoveAwayFromServingThread(ThreadQueue& target)
{
    int cpu = sched_getcpu();
    if (cpu < 0) {
        return false;
    }
    target.NoteSendingCpu(cpu);
    if (target.ServingCpu() != cpu) {
        return false;
    }
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0 || CPU_COUNT(&allowed) < 2 ||
        !CPU_ISSET(cpu, &allowed)) {
        return true;
    }
    thread_local std::chrono::steady_clock::time_point t_lastMove;
    auto now = std::chrono::steady_clock::now();
    if (now - t_lastMove < std::chrono::milliseconds(1)) {
        return true;
    }
    t_lastMove = now;
    cpu_set_t others = allowed;
    CPU_CLR(cpu, &others);
    if (sched_setaffinity(0, sizeof(others), &others) == 0) {
        sched_setaffinity(0, sizeof(allowed), &allowed);
    }
    cpu = sched_getcpu();
    target.NoteSendingCpu(cpu);
    return cpu == target.ServingCpu();
}
