// bench-bus: how fast frames travel from one sending process to one receiving process over a virtual
// bus of the driver library, through its entry points.
//
// Two phases on a private bus: a flood (frames/s delivered to the receiver's function), then paced
// frames carrying their send time (send-to-callback latency, including the receiver's wake-up from
// sleep when the gap is longer than its spin). The last three lines of output are the figures:
//   frames_per_second N
//   latency_p50_us N
//   latency_p99_us N
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <getopt.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ToolSupport.h"
#include "cDriverDevice.h"

namespace {

constexpr const char* kTool = "bench-bus";
constexpr const char* kDevice = "CAN0:";
constexpr uint32_t kRate = 1000;
constexpr uint32_t kFloodId = 0x100;
constexpr uint32_t kLatencyId = 0x200;
constexpr uint32_t kEndOfPhaseId = 0x7FF;
constexpr uint32_t kRingDepth = 32768; // let the receiver fall as far behind as the ring allows
constexpr uint32_t kLargestNumber = 100000000;

struct BenchOptions
{
    uint32_t floodFrames = 3000000;
    uint32_t latencyFrames = 20000;
    uint32_t gapMicroseconds = 200;
};

struct FloodResult
{
    uint64_t received = 0;
    uint64_t dropped = 0;
    uint64_t firstNs = 0;
    uint64_t lastNs = 0;
};

// What the receiving process's function fills in; written only by the driver's receive thread (one
// call at a time) until phaseEnded is posted, read by the receiver's main thread afterwards.
struct ReceiverState
{
    FloodResult flood;
    std::vector<uint32_t> latenciesNs;
    sem_t phaseEnded;
};
ReceiverState g_receiver;

uint64_t NowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void OnFrame(CanMessageDescriptor* frame)
{
    uint64_t now = NowNs();
    if (frame->id == kFloodId) {
        if (g_receiver.flood.received++ == 0) {
            g_receiver.flood.firstNs = now;
        }
        g_receiver.flood.lastNs = now;
    } else if (frame->id == kLatencyId) {
        uint64_t sent = 0;
        memcpy(&sent, frame->data, sizeof(sent));
        g_receiver.latenciesNs.push_back(static_cast<uint32_t>(std::min<uint64_t>(now - sent, UINT32_MAX)));
    } else if (frame->id == kEndOfPhaseId) {
        sem_post(&g_receiver.phaseEnded);
    }
}

bool WriteAll(int fd, const void* data, size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = write(fd, next, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        next += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t size)
{
    char* next = static_cast<char*>(data);
    while (size > 0) {
        ssize_t got = read(fd, next, size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        next += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

void WaitForPhaseEnd()
{
    while (sem_wait(&g_receiver.phaseEnded) != 0 && errno == EINTR) {
    }
}

// The receiving process: reports readiness, then per phase its results, on toSender.
int RunReceiver(const BenchOptions& options, int toSender)
{
    sem_init(&g_receiver.phaseEnded, 0, 0);
    g_receiver.latenciesNs.reserve(options.latencyFrames);
    cDriverDevice device;
    std::string error;
    if (!device.Open(kDevice, kRate, error) || !device.StartReceive(&OnFrame, error, kRingDepth)) {
        return ReportFailure(kTool, "receiver: " + error);
    }
    char ready = 'r';
    WriteAll(toSender, &ready, 1);
    WaitForPhaseEnd();
    RvCanCounters counters{};
    device.ReadCounters(counters);
    g_receiver.flood.dropped = counters.dropped;
    WriteAll(toSender, &g_receiver.flood, sizeof(g_receiver.flood));
    WaitForPhaseEnd();
    device.StopReceive();
    uint32_t count = static_cast<uint32_t>(g_receiver.latenciesNs.size());
    WriteAll(toSender, &count, sizeof(count));
    WriteAll(toSender, g_receiver.latenciesNs.data(), count * sizeof(uint32_t));
    device.Close();
    return 0;
}

bool SendFrame(cDriverDevice& device, uint32_t id, uint64_t payload)
{
    CanMessageDescriptor frame{};
    frame.id = id;
    frame.length = sizeof(payload);
    memcpy(frame.data, &payload, sizeof(payload));
    std::string error;
    if (!device.Transmit(frame, error)) {
        ReportFailure(kTool, "sender: " + error);
        return false;
    }
    return true;
}

void PauseMicroseconds(uint32_t microseconds)
{
    timespec gap{0, static_cast<long>(microseconds) * 1000L};
    nanosleep(&gap, nullptr);
}

uint32_t Percentile(std::vector<uint32_t> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    size_t index =
        std::min(values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

// The sending process: floods, then paces, and prints what the receiver measured.
int RunSender(const BenchOptions& options, int fromReceiver)
{
    cDriverDevice device;
    std::string error;
    if (!device.Open(kDevice, kRate, error)) {
        return ReportFailure(kTool, "sender: " + error);
    }
    char ready = 0;
    if (!ReadAll(fromReceiver, &ready, 1)) {
        return ReportFailure(kTool, "the receiving process ended before it was ready");
    }
    uint64_t start = NowNs();
    for (uint32_t i = 0; i < options.floodFrames; ++i) {
        if (!SendFrame(device, kFloodId, i)) {
            return 1;
        }
    }
    uint64_t sendNs = NowNs() - start;
    SendFrame(device, kEndOfPhaseId, 0);
    FloodResult flood;
    if (!ReadAll(fromReceiver, &flood, sizeof(flood))) {
        return ReportFailure(kTool, "the receiving process ended during the flood");
    }
    for (uint32_t i = 0; i < options.latencyFrames; ++i) {
        PauseMicroseconds(options.gapMicroseconds);
        SendFrame(device, kLatencyId, NowNs());
    }
    SendFrame(device, kEndOfPhaseId, 0);
    uint32_t count = 0;
    std::vector<uint32_t> latencies;
    if (ReadAll(fromReceiver, &count, sizeof(count))) {
        latencies.resize(count);
        ReadAll(fromReceiver, latencies.data(), count * sizeof(uint32_t));
    }
    device.Close();

    double receiveSeconds = static_cast<double>(flood.lastNs - flood.firstNs) / 1e9;
    printf("flood_frames_sent %u\n", options.floodFrames);
    printf("flood_frames_received %llu\n", static_cast<unsigned long long>(flood.received));
    printf("flood_frames_dropped %llu\n", static_cast<unsigned long long>(flood.dropped));
    printf("send_frames_per_second %.0f\n", options.floodFrames / (static_cast<double>(sendNs) / 1e9));
    printf("latency_frames %u gap_us %u\n", count, options.gapMicroseconds);
    printf("frames_per_second %.0f\n",
           receiveSeconds > 0 ? static_cast<double>(flood.received) / receiveSeconds : 0.0);
    printf("latency_p50_us %u\n", (Percentile(latencies, 0.50) + 500) / 1000);
    printf("latency_p99_us %u\n", (Percentile(latencies, 0.99) + 500) / 1000);
    return 0;
}

bool ParseOptions(int argc, char** argv, BenchOptions& options)
{
    int option = 0;
    while ((option = getopt(argc, argv, "n:l:g:")) != -1) {
        bool valid = false;
        switch (option) {
        case 'n': valid = ParseNumber(optarg, kLargestNumber, options.floodFrames); break;
        case 'l': valid = ParseNumber(optarg, kLargestNumber, options.latencyFrames); break;
        case 'g': valid = ParseNumber(optarg, 999999, options.gapMicroseconds); break;
        default: break;
        }
        if (!valid) {
            return false;
        }
    }
    return optind == argc;
}

} // namespace

int main(int argc, char** argv)
{
    BenchOptions options;
    if (!ParseOptions(argc, argv, options)) {
        fputs("usage: bench-bus [-n FLOOD_FRAMES] [-l LATENCY_FRAMES] [-g GAP_US]\n", stderr);
        return 2;
    }
    // A bus of our own, so that nothing else on the machine disturbs the figures.
    std::string space = "bench" + std::to_string(getpid());
    setenv("RVCAN32CE_NAMESPACE", space.c_str(), 1);
    int channel[2];
    if (pipe(channel) != 0) {
        return ReportFailure(kTool, std::string("pipe failed: ") + strerror(errno));
    }
    fflush(stdout);
    pid_t receiver = fork();
    if (receiver < 0) {
        return ReportFailure(kTool, std::string("fork failed: ") + strerror(errno));
    }
    if (receiver == 0) {
        close(channel[0]);
        _exit(RunReceiver(options, channel[1]));
    }
    close(channel[1]);
    int status = RunSender(options, channel[0]);
    close(channel[0]);
    int receiverStatus = 0;
    waitpid(receiver, &receiverStatus, 0);
    if (!WIFEXITED(receiverStatus) || WEXITSTATUS(receiverStatus) != 0) {
        return ReportFailure(kTool, "the receiving process failed");
    }
    return status;
}
