// bench-bus: how fast frames travel from sending processes to one receiving process over a virtual
// bus of the driver library, through its entry points.
//
// Two phases on a private bus between one sender and one receiver: a flood (frames/s delivered to the
// receiver's function), then paced frames carrying their send time (send-to-callback latency, including
// the receiver's wake-up from sleep when the gap is longer than its spin). Then, on another private
// bus, four senders at once flood one receiver, each frame numbered, and the receiver checks that it
// got each sender's frames once and in order; each sender stays at most kSenderWindow frames ahead of
// what the receiver has taken, so the receiver keeps up. The figures, one "name value" line each:
//   frames_per_second N            one sender
//   latency_p50_us N
//   latency_p99_us N
//   four_senders_frames_per_second N
//   four_senders_lost N            frames a sender sent that never arrived (the driver's drops included)
//   four_senders_duplicated N      frames that arrived more than once or out of order
// Wire timing is off (RVCAN32CE_BUS_TIMING=none): these cases measure the ring, not a CAN bus's pace.
//
// bench-bus -w instead runs the timing run on the timed bus (RVCAN32CE_BUS_TIMING=wire): at each of
// the nine bit rates, one sender sends 8-byte standard frames for about a second, back to back or, with
// -L PERCENT, evenly spaced so that they keep the wire busy that share of the time (the ratio below is
// then that share), and one line per rate compares the frames/s received with the most the wire
// carries for those frames, and gives the p99 of |actual - ideal| delivery time: jitter_p99_us against
// each frame's end on the wire (as its sender reserved it, read from the ring), backtoback_p99_us
// against the ends the frames would have if each followed the one before without a gap (a sender held
// up by the scheduler adds gaps).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <getopt.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BusPlatform.h"
#include "CanWireTime.h"
#include "ToolSupport.h"
#include "cBusRing.h"
#include "cBusSegment.h"
#include "cDriverDevice.h"

namespace {

constexpr const char* kTool = "bench-bus";
constexpr const char* kDevice = "CAN0:";
constexpr const char* kFourSenderDevice = "CAN1:";
constexpr uint32_t kRate = 1000;
constexpr uint32_t kFloodId = 0x100;
constexpr uint32_t kLatencyId = 0x200;
constexpr uint32_t kEndOfPhaseId = 0x7FF;
constexpr uint32_t kRingDepth = 32768; // let the receiver fall as far behind as the ring allows
constexpr uint32_t kLargestNumber = 100000000;
constexpr uint32_t kSenderCount = 4;
constexpr uint32_t kFirstSenderId = 0x300; // sender n sends id 0x300 + n, payload its frame number
// How far a four-sender sender may run ahead of the receiver: the four together stay well inside the
// receiver's queue, so a receiver that keeps up loses nothing and every loss is the bus's fault.
constexpr uint64_t kSenderWindow = 4096;
constexpr uint32_t kWindowCheckInterval = 64;

struct BenchOptions
{
    bool wireTiming = false;
    uint32_t loadPercent = 100; // -w: the share of the wire the timing run's frames take
    uint32_t floodFrames = 3000000;
    uint32_t latencyFrames = 20000;
    uint32_t gapMicroseconds = 200;
    uint32_t framesPerSender = 1000000; // the four-sender case; 0 leaves it out
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

// What the four-sender receiver counts per sender: frames in order, frames missing before one that
// arrived, and frames that came again or out of order.
struct SenderTally
{
    uint64_t next = 0; // the frame number expected next
    uint64_t received = 0;
    uint64_t lost = 0;
    uint64_t duplicated = 0;
};

struct TallyResult
{
    SenderTally senders[kSenderCount];
    uint64_t dropped = 0;
    uint64_t firstNs = 0;
    uint64_t lastNs = 0;
};

// How many frames of each sender the receiver has taken, in memory the five processes share (not the
// bus's): written by the receiver's receive thread, read by the senders to keep within kSenderWindow.
struct SenderProgress
{
    alignas(64) std::atomic<uint64_t> taken[kSenderCount];
};

// Written only by the four-sender receiver's receive thread until phaseEnded is posted, then read by
// its main thread; progress is set before the receiver starts.
struct TallyState
{
    TallyResult result;
    SenderProgress* progress = nullptr;
    sem_t phaseEnded;
};
TallyState g_tally;

void OnNumberedFrame(CanMessageDescriptor* frame)
{
    if (frame->id == kEndOfPhaseId) {
        sem_post(&g_tally.phaseEnded);
        return;
    }
    uint32_t sender = frame->id - kFirstSenderId;
    if (sender >= kSenderCount || frame->length != sizeof(uint64_t)) {
        return;
    }
    uint64_t now = NowNs();
    TallyResult& result = g_tally.result;
    if (result.firstNs == 0) {
        result.firstNs = now;
    }
    result.lastNs = now;
    uint64_t number = 0;
    memcpy(&number, frame->data, sizeof(number));
    SenderTally& tally = result.senders[sender];
    if (number < tally.next) {
        ++tally.duplicated;
        return;
    }
    tally.lost += number - tally.next;
    tally.next = number + 1;
    ++tally.received;
    g_tally.progress->taken[sender].store(tally.next, std::memory_order_relaxed);
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

void WaitForPhaseEnd(sem_t& phaseEnded)
{
    while (sem_wait(&phaseEnded) != 0 && errno == EINTR) {
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
    WaitForPhaseEnd(g_receiver.phaseEnded);
    RvCanCounters counters{};
    device.ReadCounters(counters);
    g_receiver.flood.dropped = counters.dropped;
    WriteAll(toSender, &g_receiver.flood, sizeof(g_receiver.flood));
    WaitForPhaseEnd(g_receiver.phaseEnded);
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

// The four-sender receiver: reports readiness, then its tally once the end-of-phase frame arrived.
int RunTallyReceiver(SenderProgress& progress, int toMain)
{
    sem_init(&g_tally.phaseEnded, 0, 0);
    g_tally.progress = &progress;
    cDriverDevice device;
    std::string error;
    if (!device.Open(kFourSenderDevice, kRate, error) ||
        !device.StartReceive(&OnNumberedFrame, error, kRingDepth)) {
        return ReportFailure(kTool, "four-sender receiver: " + error);
    }
    char ready = 'r';
    WriteAll(toMain, &ready, 1);
    WaitForPhaseEnd(g_tally.phaseEnded);
    device.StopReceive();
    RvCanCounters counters{};
    device.ReadCounters(counters);
    g_tally.result.dropped = counters.dropped;
    WriteAll(toMain, &g_tally.result, sizeof(g_tally.result));
    device.Close();
    return 0;
}

// Sender number index: opens its device, waits for the start, sends frames numbered 0 to frames - 1.
int RunNumberedSender(uint32_t index, uint32_t frames, const SenderProgress& progress, int start)
{
    cDriverDevice device;
    std::string error;
    if (!device.Open(kFourSenderDevice, kRate, error)) {
        return ReportFailure(kTool, "four-sender sender: " + error);
    }
    char go = 0;
    if (!ReadAll(start, &go, 1)) {
        return 1;
    }
    for (uint32_t number = 0; number < frames; ++number) {
        while (number % kWindowCheckInterval == 0 &&
               number - progress.taken[index].load(std::memory_order_relaxed) >= kSenderWindow) {
            sched_yield(); // on two cores, the receiver may need this one
        }
        if (!SendFrame(device, kFirstSenderId + index, number)) {
            return 1;
        }
    }
    device.Close();
    return 0;
}

bool EndedWell(pid_t child)
{
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void PrintTally(const TallyResult& result, uint32_t framesPerSender)
{
    uint64_t received = 0;
    uint64_t lost = 0;
    uint64_t duplicated = 0;
    for (const SenderTally& tally : result.senders) {
        received += tally.received;
        lost += tally.lost + (framesPerSender - std::min<uint64_t>(tally.next, framesPerSender));
        duplicated += tally.duplicated;
    }
    double seconds = static_cast<double>(result.lastNs - result.firstNs) / 1e9;
    printf("four_senders_frames_sent %llu\n",
           static_cast<unsigned long long>(kSenderCount) * framesPerSender);
    printf("four_senders_frames_received %llu\n", static_cast<unsigned long long>(received));
    printf("four_senders_frames_dropped %llu\n", static_cast<unsigned long long>(result.dropped));
    printf("four_senders_frames_per_second %.0f\n",
           seconds > 0 ? static_cast<double>(received) / seconds : 0.0);
    printf("four_senders_lost %llu\n", static_cast<unsigned long long>(lost));
    printf("four_senders_duplicated %llu\n", static_cast<unsigned long long>(duplicated));
}

// Four sending processes start together on one bus and one receiving process tallies their frames;
// this process ends the phase once all four have finished.
int RunFourSenders(const BenchOptions& options)
{
    int results[2];
    int start[2];
    if (pipe(results) != 0 || pipe(start) != 0) {
        return ReportFailure(kTool, std::string("pipe failed: ") + strerror(errno));
    }
    void* shared =
        mmap(nullptr, sizeof(SenderProgress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        return ReportFailure(kTool, std::string("mmap failed: ") + strerror(errno));
    }
    SenderProgress* progress = new (shared) SenderProgress{};
    fflush(stdout);
    pid_t receiver = fork();
    if (receiver == 0) {
        close(results[0]);
        close(start[0]);
        close(start[1]);
        _exit(RunTallyReceiver(*progress, results[1]));
    }
    close(results[1]);
    pid_t senders[kSenderCount] = {};
    for (uint32_t i = 0; i < kSenderCount && receiver > 0; ++i) {
        senders[i] = fork();
        if (senders[i] == 0) {
            close(start[1]);
            _exit(RunNumberedSender(i, options.framesPerSender, *progress, start[0]));
        }
    }
    close(start[0]);
    cDriverDevice device;
    std::string error;
    char ready = 0;
    bool started =
        receiver > 0 && device.Open(kFourSenderDevice, kRate, error) && ReadAll(results[0], &ready, 1);
    const char go[kSenderCount] = {};
    started = started && WriteAll(start[1], go, sizeof(go));
    close(start[1]); // a sender still waiting for the start now reads the end and gives up
    bool sendersWell = true;
    for (pid_t sender : senders) {
        sendersWell = (sender > 0 && EndedWell(sender)) && sendersWell;
    }
    TallyResult result;
    bool tallied =
        started && SendFrame(device, kEndOfPhaseId, 0) && ReadAll(results[0], &result, sizeof(result));
    close(results[0]);
    device.Close();
    if (!tallied && receiver > 0) {
        kill(receiver, SIGKILL); // it would wait for the end of the phase for ever
    }
    bool receiverWell = receiver > 0 && EndedWell(receiver);
    munmap(shared, sizeof(SenderProgress));
    if (!started || !sendersWell || !tallied || !receiverWell) {
        return ReportFailure(kTool, "the four-sender case failed" + (error.empty() ? "" : ": " + error));
    }
    PrintTally(result, options.framesPerSender);
    return 0;
}

// One sending process (this one) and one receiving process: the flood, then the latency phase.
int RunOneSender(const BenchOptions& options)
{
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

// The timing run. Arrival times are written by the receiving device's thread (one call at a time) and
// read by the main thread once arrived has reached the frames it sent; end times likewise by the
// thread that reads the ring beside it.
struct TimingState
{
    std::vector<uint64_t> arrivalNs;
    std::atomic<uint32_t> arrived{0};
    std::vector<uint64_t> endNs;
    std::atomic<uint32_t> ended{0};
};
TimingState g_timing;

constexpr uint32_t kTimingRates[] = {10, 20, 50, 100, 125, 250, 500, 800, 1000};
constexpr uint32_t kTimingId = 0x100;
constexpr double kTimingSeconds = 1.0;
constexpr uint32_t kTimingMinimumFrames = 100;

void OnTimedFrame(CanMessageDescriptor* frame)
{
    uint32_t index = g_timing.arrived.load(std::memory_order_relaxed);
    if (frame->id == kTimingId && index < g_timing.arrivalNs.size()) {
        g_timing.arrivalNs[index] = NowNs();
        g_timing.arrived.store(index + 1, std::memory_order_release);
    }
}

CanMessageDescriptor TimedFrame(uint32_t number)
{
    CanMessageDescriptor frame{};
    frame.id = kTimingId;
    frame.length = 8;
    uint64_t payload = number;
    memcpy(frame.data, &payload, sizeof(payload));
    return frame;
}

uint64_t TimedFrameNs(uint32_t number, uint32_t rate)
{
    CanMessageDescriptor message = TimedFrame(number);
    BusFrame frame;
    frame.id = message.id;
    frame.length = static_cast<uint8_t>(message.length);
    memcpy(frame.data, message.data, sizeof(frame.data));
    return CanWireNanoseconds(CanWireBits(frame), rate);
}

struct TimingResult
{
    double framesPerSecond = 0;
    double maximumPerSecond = 0;
    uint32_t jitterP99Us = 0;
    uint32_t backToBackP99Us = 0;
};

// Reads the frames' end times straight from the ring of the bus, as a member does, until count frames
// of the run or stop.
void ReadEndTimes(cBusRing& ring, uint64_t cursor, uint32_t count, const std::atomic<bool>& stop)
{
    BusFrame frame;
    while (g_timing.ended.load() < count && !stop.load()) {
        uint64_t dropped = 0;
        if (ring.ReadNext(cursor, kBusSlotCount, frame, dropped)) {
            if (frame.id == kTimingId && !frame.errorEntry) { // an error entry is no frame that ended
                g_timing.endNs[g_timing.ended.load()] = frame.endTime;
                g_timing.ended.fetch_add(1);
            }
        } else {
            ring.WaitForFrame(cursor, stop, 100);
        }
    }
}

uint32_t JitterP99Us(const std::vector<uint64_t>& arrivals, const std::vector<uint64_t>& ends)
{
    std::vector<uint32_t> jitter;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        uint64_t error = arrivals[i] > ends[i] ? arrivals[i] - ends[i] : ends[i] - arrivals[i];
        jitter.push_back(static_cast<uint32_t>(std::min<uint64_t>(error, UINT32_MAX)));
    }
    return (Percentile(jitter, 0.99) + 500) / 1000;
}

// ideal[i] is when frame i ends if every frame follows the one before without a gap; the start of
// that schedule is the median of the frames' offsets from it, so one late first frame shifts nothing.
TimingResult CompareWithTheWire(const std::vector<uint64_t>& arrivals, uint32_t rate)
{
    std::vector<uint64_t> ideal(arrivals.size(), 0);
    for (size_t i = 1; i < arrivals.size(); ++i) {
        ideal[i] = ideal[i - 1] + TimedFrameNs(static_cast<uint32_t>(i), rate);
    }
    std::vector<int64_t> offsets;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        offsets.push_back(static_cast<int64_t>(arrivals[i] - arrivals[0]) - static_cast<int64_t>(ideal[i]));
    }
    std::vector<int64_t> sorted = offsets;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
    int64_t start = sorted[sorted.size() / 2];
    std::vector<uint32_t> jitter;
    for (int64_t offset : offsets) {
        jitter.push_back(static_cast<uint32_t>(std::min<int64_t>(std::abs(offset - start), UINT32_MAX)));
    }
    TimingResult result;
    double seconds = static_cast<double>(arrivals.back() - arrivals.front()) / 1e9;
    double idealSeconds = static_cast<double>(ideal.back()) / 1e9;
    result.framesPerSecond = static_cast<double>(arrivals.size() - 1) / seconds;
    result.maximumPerSecond = static_cast<double>(arrivals.size() - 1) / idealSeconds;
    result.backToBackP99Us = (Percentile(jitter, 0.99) + 500) / 1000;
    return result;
}

// Sends the timing run's frames, each period after the one before (0: as fast as they are taken); a
// sender that is held up sends the frames due meanwhile at once.
bool SendTimedFrames(cDriverDevice& sender, uint32_t frames, uint64_t periodNs, std::string& error)
{
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (uint32_t i = 0; i < frames; ++i) {
        if (periodNs != 0) {
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            uint64_t next = static_cast<uint64_t>(due.tv_nsec) + periodNs;
            due.tv_sec += static_cast<time_t>(next / 1000000000u);
            due.tv_nsec = static_cast<long>(next % 1000000000u);
        }
        CanMessageDescriptor frame = TimedFrame(i);
        if (!sender.Transmit(frame, error)) {
            return false;
        }
    }
    return true;
}

bool MeasureRate(uint32_t rate, uint32_t loadPercent, TimingResult& result)
{
    const uint64_t periodNs = loadPercent >= 100 ? 0 : TimedFrameNs(0, rate) * 100 / loadPercent;
    uint32_t frames =
        std::max(kTimingMinimumFrames, static_cast<uint32_t>(kTimingSeconds * 1e9 * loadPercent / 100 /
                                                             static_cast<double>(TimedFrameNs(0, rate))));
    g_timing.arrivalNs.assign(frames, 0);
    g_timing.arrived = 0;
    g_timing.endNs.assign(frames, 0);
    g_timing.ended = 0;
    cDriverDevice receiver;
    cDriverDevice sender;
    std::string error;
    if (!receiver.Open(kDevice, rate, error) || !receiver.StartReceive(&OnTimedFrame, error) ||
        !sender.Open(kDevice, rate, error)) {
        ReportFailure(kTool, "timing run: " + error);
        return false;
    }
    cBusSegment segment;
    if (!segment.Attach(0)) {
        ReportFailure(kTool, "timing run: " + segment.LastError());
        return false;
    }
    cBusRing ring(segment);
    std::atomic<bool> stopReading{false};
    std::thread endReader(ReadEndTimes, std::ref(ring), ring.Head(), frames, std::cref(stopReading));
    if (!SendTimedFrames(sender, frames, periodNs, error)) {
        ReportFailure(kTool, "timing run: " + error);
        return false;
    }
    uint64_t deadline = NowNs() + 2 * static_cast<uint64_t>(kTimingSeconds * 1e9) + 5000000000ull;
    while (g_timing.arrived.load(std::memory_order_acquire) < frames && NowNs() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    receiver.StopReceive();
    stopReading = true;
    ring.WakeWaiters();
    endReader.join();
    uint32_t arrived = g_timing.arrived.load(std::memory_order_acquire);
    if (arrived < frames || g_timing.ended.load() < frames) {
        ReportFailure(kTool, "timing run: " + std::to_string(arrived) + " of " + std::to_string(frames) +
                                 " frames arrived at " + std::to_string(rate) + " kbit/s");
        return false;
    }
    result = CompareWithTheWire(g_timing.arrivalNs, rate);
    result.jitterP99Us = JitterP99Us(g_timing.arrivalNs, g_timing.endNs);
    return true;
}

int RunWireTiming(uint32_t loadPercent)
{
    setenv("RVCAN32CE_BUS_TIMING", "wire", 1);
    for (uint32_t rate : kTimingRates) {
        TimingResult result;
        if (!MeasureRate(rate, loadPercent, result)) {
            return 1;
        }
        printf("wire_kbit %u frames_per_second %.1f maximum %.1f ratio %.4f jitter_p99_us %u "
               "backtoback_p99_us %u\n",
               rate, result.framesPerSecond, result.maximumPerSecond,
               result.framesPerSecond / result.maximumPerSecond, result.jitterP99Us, result.backToBackP99Us);
        fflush(stdout);
    }
    return 0;
}

bool ParseOptions(int argc, char** argv, BenchOptions& options)
{
    int option = 0;
    while ((option = getopt(argc, argv, "n:l:g:s:wL:")) != -1) {
        bool valid = false;
        switch (option) {
        case 'w': valid = options.wireTiming = true; break;
        case 'L': valid = ParseNumber(optarg, 100, options.loadPercent) && options.loadPercent != 0; break;
        case 'n': valid = ParseNumber(optarg, kLargestNumber, options.floodFrames); break;
        case 'l': valid = ParseNumber(optarg, kLargestNumber, options.latencyFrames); break;
        case 'g': valid = ParseNumber(optarg, 999999, options.gapMicroseconds); break;
        case 's': valid = ParseNumber(optarg, kLargestNumber, options.framesPerSender); break;
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
        fputs("usage: bench-bus [-n FLOOD_FRAMES] [-l LATENCY_FRAMES] [-g GAP_US] [-s FRAMES_PER_SENDER] | "
              "bench-bus -w [-L LOAD_PERCENT]\n"
              "  defaults: -n 3000000 -l 20000 -g 200 -s 1000000 (four senders; -s 0 leaves them out)\n",
              stderr);
        return 2;
    }
    // Buses of our own, so that nothing else on the machine disturbs the figures.
    std::string space = "bench" + std::to_string(getpid());
    setenv("RVCAN32CE_NAMESPACE", space.c_str(), 1);
    if (options.wireTiming) {
        return RunWireTiming(options.loadPercent);
    }
    setenv("RVCAN32CE_BUS_TIMING", "none", 1); // these cases measure the ring, not a wire
    int status = RunOneSender(options);
    if (status == 0 && options.framesPerSender != 0) {
        status = RunFourSenders(options);
    }
    return status;
}
