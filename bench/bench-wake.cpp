// bench-wake: what one wake-up costs on this machine, the figure the driver's delivery period and the
// windowing layer's spins are chosen on. Prints:
//   timer_wake_cpu_us N     processor time charged per wake-up of a thread sleeping 300 µs on a timer
//   timer_wake_late_us N    how late such a wake-up comes, mean
//   futex_round_trip_other_core_us WALL CPU   two threads waking each other in turn, one per core
//   futex_round_trip_same_core_us WALL CPU    the same two threads on one core
// A round trip is two wake-ups; CPU is both threads' processor time per round trip. On a virtual
// machine a wake-up that has to rouse an idle core costs far more than one on a busy core.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <thread>

#include <linux/futex.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kTimerWakeUps = 5000;
constexpr long kTimerPeriodNanoseconds = 300000;
constexpr int kRoundTrips = 20000;

int64_t Nanoseconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void TimerWakeUps()
{
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL); // as the driver's threads
    const int64_t cpuBefore = Nanoseconds(CLOCK_THREAD_CPUTIME_ID);
    int64_t deadline = Nanoseconds(CLOCK_MONOTONIC);
    int64_t lateness = 0;
    for (int i = 0; i < kTimerWakeUps; ++i) {
        deadline += kTimerPeriodNanoseconds;
        timespec at{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        lateness += Nanoseconds(CLOCK_MONOTONIC) - deadline;
    }
    const int64_t cpu = Nanoseconds(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
    printf("timer_wake_cpu_us %.1f\n", cpu / 1000.0 / kTimerWakeUps);
    printf("timer_wake_late_us %.1f\n", lateness / 1000.0 / kTimerWakeUps);
}

// The two threads take turns: each waits on the word until it holds its own number, then hands over.
class cTurns
{
public:
    void WaitFor(uint32_t mine)
    {
        for (uint32_t seen = m_turn.load(); seen != mine; seen = m_turn.load()) {
            syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_turn), FUTEX_WAIT_PRIVATE, seen, nullptr,
                    nullptr, 0);
        }
    }

    void HandTo(uint32_t other)
    {
        m_turn.store(other);
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_turn), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
                nullptr, 0);
    }

private:
    std::atomic<uint32_t> m_turn{0};
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is a plain 32-bit word");

bool RunOn(int cpu)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof(one), &one) == 0;
}

void RoundTrips(const char* name, int cpuA, int cpuB)
{
    cTurns turns;
    std::atomic<bool> partnerPlaced{false};
    std::thread partner([&] {
        partnerPlaced = RunOn(cpuB);
        for (int i = 0; i < kRoundTrips; ++i) {
            turns.WaitFor(1);
            turns.HandTo(0);
        }
    });
    cpu_set_t allowed;
    sched_getaffinity(0, sizeof(allowed), &allowed);
    const bool placed = RunOn(cpuA);
    usleep(10000); // the partner reaches its first wait
    const int64_t wallBefore = Nanoseconds(CLOCK_MONOTONIC);
    const int64_t cpuBefore = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < kRoundTrips; ++i) {
        turns.HandTo(1);
        turns.WaitFor(0);
    }
    const int64_t cpu = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;
    const int64_t wall = Nanoseconds(CLOCK_MONOTONIC) - wallBefore;
    partner.join();
    sched_setaffinity(0, sizeof(allowed), &allowed);
    if (!placed || !partnerPlaced.load()) {
        fprintf(stderr, "bench-wake: cannot place the threads on cores %d and %d\n", cpuA, cpuB);
        return;
    }
    printf("%s %.1f %.1f\n", name, wall / 1000.0 / kRoundTrips, cpu / 1000.0 / kRoundTrips);
}

} // namespace

int main()
{
    TimerWakeUps();
    if (std::thread::hardware_concurrency() >= 2) {
        RoundTrips("futex_round_trip_other_core_us", 0, 1);
    }
    RoundTrips("futex_round_trip_same_core_us", 0, 0);
    return 0;
}
