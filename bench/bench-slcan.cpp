// bench-slcan: the slcan device at a saturated 1000 kbit/s bus, through a null modem of two
// pseudo-terminals (socat). A peer thread here plays the adapter: it writes 8-byte frames for SECONDS at
// the bus's limit for them (9,009 frames/s: 111 bits each, stuff bits aside), each carrying its number
// and its write time on the monotonic clock; the receiver compares that with its clock when the frame is
// handed out. Ours is the driver library, reached as the tools reach it (CAN1: mapped with
// RVCAN32CE_CAN1=slcan:PORT); then, in the same run, python-can's slcan interface on a fresh null modem
// (python/bench/bench_slcan_receiver.py). Reports frames/s delivered, lost, latency p50/p99/max.
//
//   bench-slcan [SECONDS [PYTHON [RATE]]]   defaults: 10, python3 (- for none), 9009 (0: as fast as the
//                                            null modem takes them)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "SlcanProtocol.h"
#include "cDriverDevice.h"

extern char** environ;

namespace {

constexpr size_t kMostFrames = 4000000;
constexpr uint32_t kBusLimit = 9009;

uint64_t MonotonicMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
}

pid_t Spawn(std::vector<std::string> arguments, int output = -1)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Two pseudo-terminals joined by socat, as two ends of a null-modem cable.
struct NullModem
{
    std::string folder;
    pid_t socat = -1;

    NullModem()
    {
        char name[] = "/tmp/bench-slcan.XXXXXX";
        folder = mkdtemp(name);
        socat = Spawn({"socat", "pty,raw,echo=0,link=" + End("a"), "pty,raw,echo=0,link=" + End("b")});
        struct stat info
        {
        };
        for (int i = 0;
             i < 1000 && (stat(End("a").c_str(), &info) != 0 || stat(End("b").c_str(), &info) != 0); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~NullModem()
    {
        kill(socat, SIGTERM);
        waitpid(socat, nullptr, 0);
        unlink(End("a").c_str());
        unlink(End("b").c_str());
        rmdir(folder.c_str());
    }
    std::string End(const char* end) const { return folder + "/" + end; }
};

// The adapter: frames numbered 0, 1, ... with their write time, paced at rate per second (0: unpaced),
// a line per write as an adapter's USB packets come. Returns how many it wrote.
uint32_t Play(const std::string& port, double seconds, uint32_t rate)
{
    int fd = open(port.c_str(), O_WRONLY | O_NOCTTY);
    if (fd < 0) {
        perror(port.c_str());
        return 0;
    }
    uint64_t start = MonotonicMicroseconds();
    uint64_t end = start + uint64_t(seconds * 1e6);
    uint32_t sent = 0;
    for (uint64_t now = start; now < end && sent < kMostFrames; now = MonotonicMicroseconds()) {
        if (rate != 0) {
            uint64_t due = start + uint64_t(sent) * 1000000 / rate;
            if (due > now) {
                timespec until{time_t(due / 1000000), long(due % 1000000) * 1000};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
                now = MonotonicMicroseconds();
            }
        }
        SlcanFrame frame;
        frame.id = 0x123;
        frame.length = 8;
        uint32_t stamp = static_cast<uint32_t>(now);
        for (int i = 0; i < 4; ++i) {
            frame.data[i] = static_cast<uint8_t>(sent >> (24 - 8 * i));
            frame.data[4 + i] = static_cast<uint8_t>(stamp >> (24 - 8 * i));
        }
        std::string line = FormatSlcanFrame(frame);
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            break;
        }
        ++sent;
    }
    close(fd);
    return sent;
}

// What our receive function saw. Written by the driver's receive thread only; read after it stopped.
struct Received
{
    std::vector<uint32_t> latencies; // µs
    uint32_t outOfOrder = 0;
    uint32_t next = 0;
} g_received;

void Receive(CanMessageDescriptor* message)
{
    uint32_t now = static_cast<uint32_t>(MonotonicMicroseconds());
    uint32_t number = 0;
    uint32_t stamp = 0;
    for (int i = 0; i < 4; ++i) {
        number = number << 8 | message->data[i];
        stamp = stamp << 8 | message->data[4 + i];
    }
    if (number != g_received.next) {
        ++g_received.outOfOrder;
    }
    g_received.next = number + 1;
    if (g_received.latencies.size() < kMostFrames) {
        g_received.latencies.push_back(now - stamp);
    }
}

void Report(const char* who, uint32_t sent, double seconds, std::vector<uint32_t> latencies)
{
    std::sort(latencies.begin(), latencies.end());
    size_t count = latencies.size();
    auto at = [&](size_t permille) {
        return count == 0 ? 0u : latencies[std::min(count - 1, count * permille / 1000)];
    };
    std::printf(
        "%-10s sent %7u, delivered %7zu (%6.0f frames/s), lost %7lld, latency p50 %5u us, p99 %6u us, "
        "max %7u us\n",
        who, sent, count, count / seconds, static_cast<long long>(sent) - static_cast<long long>(count),
        at(500), at(990), count == 0 ? 0u : latencies.back());
}

void RunOurs(double seconds, uint32_t rate)
{
    NullModem modem;
    setenv("RVCAN32CE_CAN1", ("slcan:" + modem.End("a")).c_str(), 1);
    cDriverDevice device;
    std::string error;
    g_received.latencies.reserve(size_t(seconds * 20000));
    if (!device.Open("CAN1:", 1000, error) || !device.StartReceive(Receive, error)) {
        std::fprintf(stderr, "bench-slcan: %s\n", error.c_str());
        return;
    }
    uint32_t sent = Play(modem.End("b"), seconds, rate);
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the last frames' way
    device.StopReceive();
    RvCanCounters counters{};
    device.ReadCounters(counters);
    device.Close();
    Report("ours", sent, seconds, g_received.latencies);
    if (g_received.outOfOrder != 0 || counters.dropped != 0) {
        std::printf("           %u out of order, %llu dropped\n", g_received.outOfOrder,
                    static_cast<unsigned long long>(counters.dropped));
    }
}

void RunPython(const std::string& python, double seconds, uint32_t rate)
{
    NullModem modem;
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return;
    }
    std::string script = std::string(PYTHON_BENCH_DIR) + "/bench_slcan_receiver.py";
    pid_t receiver = Spawn({python, script, modem.End("a"), std::to_string(seconds + 1)}, pipe[1]);
    close(pipe[1]);
    FILE* out = fdopen(pipe[0], "r");
    char line[256] = {};
    if (receiver < 0 || std::fgets(line, sizeof(line), out) == nullptr) {
        std::fprintf(stderr, "bench-slcan: python-can's receiver did not start\n");
        return;
    }
    uint32_t sent = Play(modem.End("b"), seconds, rate);
    unsigned frames = 0, p50 = 0, p99 = 0, most = 0;
    if (std::fgets(line, sizeof(line), out) == nullptr ||
        std::sscanf(line, "frames %u p50 %u p99 %u max %u", &frames, &p50, &p99, &most) != 4) {
        std::fprintf(stderr, "bench-slcan: python-can's receiver said '%s'\n", line);
    }
    waitpid(receiver, nullptr, 0);
    fclose(out);
    std::printf("%-10s sent %7u, delivered %7u (%6.0f frames/s), lost %7lld, latency p50 %5u us, p99 %6u us, "
                "max %7u us\n",
                "python-can", sent, frames, frames / seconds,
                static_cast<long long>(sent) - static_cast<long long>(frames), p50, p99, most);
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    std::string python = argc > 2 ? argv[2] : "python3";
    uint32_t rate = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : kBusLimit;
    std::printf("8-byte frames through a null modem for %.0f s, %s\n", seconds,
                rate == 0 ? "as fast as it takes them"
                          : ("paced at " + std::to_string(rate) + " frames/s").c_str());
    RunOurs(seconds, rate);
    if (python != "-") {
        RunPython(python, seconds, rate);
    }
    return 0;
}
