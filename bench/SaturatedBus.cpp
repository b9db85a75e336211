#include "SaturatedBus.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <dirent.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ConnectedConsole.h"
#include "cBusRing.h"
#include "cBusSegment.h"
#include "cCanPort.h"

extern char** environ;

namespace {

constexpr int kReceiveList = 1014;
constexpr int kPayloadColumn = 4;
constexpr int kBaudrateList = 1000;
constexpr int kFastestRateIndex = 8; // 1000 kbit/s in the console's list
constexpr uint32_t kRate = 1000;
constexpr uint32_t kBus = 1;
// More frames than 60 s of the saturated bus (21,277 frames/s), so that every one gets its times.
constexpr size_t kMostFrames = 4000000;

// Written by the list's subclass procedure on the dialog's thread; read by the bench's thread once the
// list is quiet (framesShown's release pairs with its acquire).
std::atomic<uint64_t> framesShown{0};
std::atomic<WNDPROC> listProcedure{nullptr};
std::atomic<pid_t> dialogThread{0};
std::vector<uint64_t> shownAt; // by the frame's place in the list's order

uint64_t Now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now); // the clock the driver stamps frames' ends with
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

pid_t ThreadId()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

LRESULT CALLBACK NoteShownFrame(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LVM_SETITEMTEXTW && reinterpret_cast<const LVITEMW*>(lParam)->iSubItem == kPayloadColumn) {
        uint64_t index = framesShown.load(std::memory_order_relaxed);
        if (index < shownAt.size()) {
            shownAt[index] = Now();
        }
        dialogThread.store(ThreadId(), std::memory_order_relaxed);
        framesShown.store(index + 1, std::memory_order_release);
    }
    return CallWindowProcW(listProcedure.load(), window, message, wParam, lParam);
}

// Every frame on the bus at the console's rate, with its end on the wire, read from the ring as a
// member reads it; wakes every 20 ms, so that it costs next to nothing.
class cBusFollower
{
public:
    bool Start()
    {
        if (!m_segment.Attach(kBus)) {
            fprintf(stderr, "bench-receive: %s\n", m_segment.LastError().c_str());
            return false;
        }
        m_ring = std::make_unique<cBusRing>(m_segment);
        m_cursor = m_ring->Head();
        m_ends.reserve(kMostFrames);
        m_thread = std::thread([this] { Follow(); });
        return true;
    }

    void Stop()
    {
        m_stop.store(true);
        m_thread.join();
    }

    const std::vector<uint64_t>& Ends() const { return m_ends; }
    uint64_t Dropped() const { return m_dropped; }
    pid_t Thread() const { return m_threadId.load(); }

private:
    void Follow()
    {
        m_threadId.store(ThreadId());
        BusFrame frame;
        while (!m_stop.load()) {
            while (m_ring->ReadNext(m_cursor, kBusSlotCount, frame, m_dropped)) {
                if (frame.bitrate == kRate && !frame.errorEntry && m_ends.size() < kMostFrames) {
                    m_ends.push_back(frame.endTime);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    cBusSegment m_segment;
    std::unique_ptr<cBusRing> m_ring;
    uint64_t m_cursor = 0;
    uint64_t m_dropped = 0;       // the follower's own, which must stay 0 for the counts to hold
    std::vector<uint64_t> m_ends; // written by the follower, read after Stop
    std::atomic<bool> m_stop{false};
    std::atomic<pid_t> m_threadId{0};
    std::thread m_thread;
};

pid_t Spawn(const char* program, std::vector<std::string> arguments)
{
    std::vector<char*> argv{const_cast<char*>(program)};
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
        perror("bench-receive: posix_spawn");
        exit(1);
    }
    return child;
}

// Processor time so far of each of this process's threads, in clock ticks.
std::map<pid_t, uint64_t> ThreadTimes()
{
    std::map<pid_t, uint64_t> times;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return times;
    }
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::string path = std::string("/proc/self/task/") + entry->d_name + "/stat";
        FILE* stat = fopen(path.c_str(), "r");
        if (stat == nullptr) {
            continue;
        }
        char line[1024] = {};
        if (fgets(line, sizeof(line), stat) != nullptr) {
            const char* fields = strrchr(line, ')'); // the name may hold spaces
            unsigned long long user = 0;
            unsigned long long system = 0;
            if (fields != nullptr &&
                sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) ==
                    2) {
                times[static_cast<pid_t>(atoi(entry->d_name))] = user + system;
            }
        }
        fclose(stat);
    }
    closedir(tasks);
    return times;
}

// Processor time the machine's host took from all of its cores so far (the steal column of
// /proc/stat), in clock ticks: a run that lost frames while it grew lost them to the host.
uint64_t StolenTicks()
{
    FILE* stat = fopen("/proc/stat", "r");
    if (stat == nullptr) {
        return 0;
    }
    unsigned long long steal = 0;
    if (fscanf(stat, "cpu %*u %*u %*u %*u %*u %*u %*u %llu", &steal) != 1) {
        steal = 0;
    }
    fclose(stat);
    return steal;
}

struct ConsoleTime
{
    double dialog = 0;  // seconds
    double receive = 0; // the busiest of the driver's threads
    double others = 0;
};

ConsoleTime ConsoleTimeBetween(const std::map<pid_t, uint64_t>& before,
                               const std::map<pid_t, uint64_t>& after, const std::vector<pid_t>& benchThreads)
{
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    ConsoleTime time;
    for (const auto& [thread, ticks] : after) {
        if (std::find(benchThreads.begin(), benchThreads.end(), thread) != benchThreads.end()) {
            continue;
        }
        auto earlier = before.find(thread);
        double seconds = (ticks - (earlier == before.end() ? 0 : earlier->second)) / tick;
        if (thread == dialogThread.load()) {
            time.dialog = seconds;
        } else if (seconds > time.receive) {
            time.others += time.receive;
            time.receive = seconds;
        } else {
            time.others += seconds;
        }
    }
    return time;
}

void WaitUntilQuiet()
{
    uint64_t last = 0;
    do {
        last = framesShown.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    } while (framesShown.load() != last);
}

double Percentile(std::vector<int64_t> values, double share)
{
    if (values.empty()) {
        return 0;
    }
    size_t index =
        std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return static_cast<double>(values[index]) / 1000.0;
}

void PrintLag(const std::vector<uint64_t>& ends, uint64_t shown)
{
    std::vector<int64_t> lags;
    size_t matched = std::min<size_t>({ends.size(), shown, shownAt.size()});
    lags.reserve(matched);
    for (size_t i = 0; i < matched; ++i) {
        lags.push_back(static_cast<int64_t>(shownAt[i]) - static_cast<int64_t>(ends[i]));
    }
    printf("lag_p50_us %.0f\nlag_p99_us %.0f\nlag_max_us %.0f%s\n", Percentile(lags, 0.5),
           Percentile(lags, 0.99), Percentile(lags, 1.0),
           ends.size() == shown ? "" : " (frames matched in order; drops shift them)");
}

} // namespace

int RunSaturatingPeer(double seconds)
{
    cCanPort port;
    if (port.OpenWithBaudrate(uint8_t(kBus), static_cast<int32_t>(kRate)) != 0) {
        fprintf(stderr,
                "bench-receive: the peer cannot open CAN1: (is librvcan32ce.so beside the program?)\n");
        return 1;
    }
    cCanPacket packet;
    packet.SetId(0x100);
    packet.length = 0; // SetData takes 1 to 8 bytes
    const uint64_t end = Now() + static_cast<uint64_t>(seconds * 1e9);
    while (Now() < end) {
        port.Send(packet); // waits while the transmit queue is full: the wire sets the pace
    }
    return 0;
}

int RunBusyLoop()
{
    for (;;) {
        asm volatile("" ::: "memory");
    }
}

int RunSaturatedBus(const char* program, double seconds, int busyLoops)
{
    shownAt.assign(kMostFrames, 0);
    ConsoleProgram console;
    std::string bus = "bench-receive-" + std::to_string(getpid());
    setenv("RVCAN32CE_NAMESPACE", bus.c_str(), 1);
    setenv("RVCAN32CE_BUS_TIMING", "wire", 1);
    console.Select(kBaudrateList, kFastestRateIndex);
    console.Press(kConnectButton);
    if (console.Text(kConnectButton) != L"Close") {
        fprintf(stderr,
                "bench-receive: the console cannot connect (is librvcan32ce.so beside the program?)\n");
        return 1;
    }
    HWND list = GetDlgItem(console.Dialog(), kReceiveList);
    listProcedure = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(list, GWLP_WNDPROC));
    SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&NoteShownFrame));
    cBusFollower follower;
    if (!follower.Start()) {
        return 1;
    }
    std::vector<pid_t> loops;
    for (int i = 0; i < busyLoops; ++i) {
        loops.push_back(Spawn(program, {"--busy-loop"}));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The peer sends a little longer than the console is measured, so that the bus is saturated
    // throughout the measurement.
    pid_t peer = Spawn(program, {"--saturating-peer", std::to_string(seconds + 1)});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::map<pid_t, uint64_t> before = ThreadTimes();
    uint64_t stolenBefore = StolenTicks();
    uint64_t start = Now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::map<pid_t, uint64_t> after = ThreadTimes();
    double elapsed = static_cast<double>(Now() - start) / 1e9;
    double stolen =
        static_cast<double>(StolenTicks() - stolenBefore) / static_cast<double>(sysconf(_SC_CLK_TCK));
    int status = 0;
    waitpid(peer, &status, 0);
    for (pid_t loop : loops) {
        kill(loop, SIGKILL);
        waitpid(loop, nullptr, 0);
    }
    WaitUntilQuiet();
    follower.Stop();

    ConsoleTime time = ConsoleTimeBetween(before, after, {ThreadId(), follower.Thread()});
    uint64_t shown = framesShown.load(std::memory_order_acquire);
    const std::vector<uint64_t>& ends = follower.Ends();
    printf("busy_loops %d\n", busyLoops);
    printf("frames_on_bus %zu\n", ends.size());
    printf("frames_in_list %llu\n", static_cast<unsigned long long>(shown));
    printf("frames_dropped %lld\n", static_cast<long long>(ends.size()) - static_cast<long long>(shown));
    printf("console_cpu_percent %.1f (dialog thread %.1f, receive thread %.1f, others %.1f)\n",
           100 * (time.dialog + time.receive + time.others) / elapsed, 100 * time.dialog / elapsed,
           100 * time.receive / elapsed, 100 * time.others / elapsed);
    PrintLag(ends, shown);
    printf("stolen_by_host_percent %.1f (of one core)\n", 100 * stolen / elapsed);
    if (follower.Dropped() != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench-receive: the peer failed or the bus follower fell behind (%llu)\n",
                static_cast<unsigned long long>(follower.Dropped()));
        return 1;
    }
    // Esc (IDCANCEL) while the bus is saturated: the time until the program has ended.
    pid_t closingPeer = Spawn(program, {"--saturating-peer", "2"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    uint64_t pressed = Now();
    console.Cancel();
    printf("close_ms %.1f\n", static_cast<double>(Now() - pressed) / 1e6);
    waitpid(closingPeer, nullptr, 0);
    return 0;
}
