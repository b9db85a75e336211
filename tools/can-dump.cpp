// can-dump: prints every frame received on a CAN bus device in can-utils' candump format, through the
// driver library.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <getopt.h>
#include <semaphore.h>

#include "CanWireTime.h"
#include "FrameSyntax.h"
#include "ToolSupport.h"
#include "cDriverDevice.h"

namespace {

constexpr const char* kTool = "can-dump";
constexpr const char* kUsage =
    "usage: can-dump [-b RATE] [-t] [-n COUNT] [-d] DEVICE\n"
    "  DEVICE    CAN0: to CAN9:; RVCAN32CE_CANn=IFACE puts CANn: on a SocketCAN interface,\n"
    "            RVCAN32CE_CANn=socketcand://HOST[:PORT]/BUS on a bus of a socketcand server\n"
    "  -b RATE   bit rate in kbit/s: 10 20 50 100 125 250 500 800 1000 (default 125)\n"
    "  -t        print the driver's timestamp of each frame, in seconds\n"
    "  -n COUNT  end after COUNT frames (default: until Ctrl+C)\n"
    "  -d        at the end, report the frames received and dropped, and the bus load seen\n"
    "  -h, --help  show this and exit\n";
constexpr option kLongOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
constexpr uint32_t kDefaultRate = 125;
constexpr uint32_t kLargestNumber = 1000000000;
constexpr uint32_t kOutputCheckMs = 100;

struct DumpOptions
{
    uint32_t rate = kDefaultRate;
    bool timestamps = false;
    uint32_t count = 0; // 0: until interrupted
    bool reportDrops = false;
    bool help = false; // -h or --help: the usage only
    std::string device;
};

// The receive function gets nothing but the frame, so what it needs lives here. g_dump is written by
// main before the queue starts and only read afterwards; printed and busyNanoseconds are advanced by the
// receive function (one call at a time) and read by main after the queue stopped; outputError (an errno
// value, 0 while writing works) is set by the receive function or by main's wait and read by both;
// finished is posted by the receive function or by the signal handler (sem_post is safe there) and
// waited for by main.
struct DumpState
{
    DumpOptions options;
    std::atomic<uint32_t> printed{0};
    std::atomic<uint64_t> busyNanoseconds{0}; // the wire time of the frames received
    std::atomic<int> outputError{0};
    sem_t finished;
};
DumpState g_dump;

uint64_t WireNanoseconds(const CanMessageDescriptor& message, uint32_t rate)
{
    BusFrame frame;
    frame.id = message.id;
    frame.extended = message.extended == 1;
    frame.remote = message.remote == 1;
    frame.length = static_cast<uint8_t>(std::min<uint16_t>(message.length, kCanMaxDataBytes));
    std::copy(message.data, message.data + frame.length, frame.data);
    return CanWireNanoseconds(CanWireBits(frame), rate);
}

void OnFrame(CanMessageDescriptor* frame)
{
    if (frame == nullptr) {
        return;
    }
    g_dump.busyNanoseconds.fetch_add(WireNanoseconds(*frame, g_dump.options.rate));
    uint32_t limit = g_dump.options.count;
    if (limit != 0 && g_dump.printed.load() >= limit) {
        return; // the rest of a burst that arrived before main stopped the queue
    }
    if (g_dump.outputError.load() != 0) {
        return; // the frames that arrive until main has stopped the queue
    }
    std::string line = DumpLine(g_dump.options.device, *frame, g_dump.options.timestamps) + "\n";
    // Flushed so that a pipe reader sees each frame as it arrives, as with candump. SIGPIPE is blocked
    // on the driver's thread, so a closed pipe shows here as EPIPE.
    errno = 0;
    if (fputs(line.c_str(), stdout) == EOF || fflush(stdout) != 0) {
        g_dump.outputError.store(errno != 0 ? errno : EIO);
        sem_post(&g_dump.finished);
        return;
    }
    if (g_dump.printed.fetch_add(1) + 1 == limit) {
        sem_post(&g_dump.finished);
    }
}

void OnInterrupt(int)
{
    sem_post(&g_dump.finished);
}

bool ParseOptions(int argc, char** argv, DumpOptions& options, std::string& error)
{
    int option = 0;
    while ((option = getopt_long(argc, argv, "hb:tn:d", kLongOptions, nullptr)) != -1) {
        bool valid = true;
        switch (option) {
        case 'b': valid = ParseNumber(optarg, kLargestNumber, options.rate); break;
        case 't': options.timestamps = true; break;
        case 'n': valid = ParseNumber(optarg, kLargestNumber, options.count); break;
        case 'd': options.reportDrops = true; break;
        case 'h': options.help = true; return true;
        default: error = "unknown option"; return false;
        }
        if (!valid) {
            error = std::string("-") + static_cast<char>(option) + " needs a whole number, not " + optarg;
            return false;
        }
    }
    if (argc - optind != 1) {
        error = "expected one DEVICE";
        return false;
    }
    options.device = cDriverDevice::NormalisedDeviceName(argv[optind]);
    return true;
}

timespec AfterMilliseconds(uint32_t milliseconds)
{
    timespec when{};
    clock_gettime(CLOCK_REALTIME, &when);
    uint64_t nanoseconds = static_cast<uint64_t>(when.tv_nsec) + uint64_t{milliseconds} * 1000000u;
    when.tv_sec += static_cast<time_t>(nanoseconds / 1000000000u);
    when.tv_nsec = static_cast<long>(nanoseconds % 1000000000u);
    return when;
}

// Returns the device's fault when it ended the wait, else empty.
std::string WaitUntilFinished(const cDriverDevice& device)
{
    // Ends with the COUNTth frame, with Ctrl+C (a signal that interrupts the wait also posts), with a
    // failed write, when the reader of standard output is gone or when the device has failed for good
    // (a lost connection), which are looked at every kOutputCheckMs so that `can-dump CAN1: | head -n 3`
    // ends even on a bus that has gone quiet.
    for (;;) {
        timespec deadline = AfterMilliseconds(kOutputCheckMs);
        if (sem_timedwait(&g_dump.finished, &deadline) == 0) {
            return {};
        }
        if (errno == ETIMEDOUT && StandardOutputClosed()) {
            g_dump.outputError.store(EPIPE);
            return {};
        }
        std::string fault = device.Fault();
        if (!fault.empty()) {
            return fault;
        }
    }
}

// After the device is closed: the status for a failed write, or death by SIGPIPE as candump dies.
int EndForOutputError(int error)
{
    if (error == EPIPE) {
        return EndForClosedOutput(kTool);
    }
    return ReportFailure(kTool, std::string("writing standard output failed: ") + strerror(error));
}

// Busy time is the wire time of the frames received, so frames the driver dropped do not count.
void ReportDrops(const cDriverDevice& device, std::chrono::steady_clock::duration elapsed)
{
    RvCanCounters counters{};
    if (!device.ReadCounters(counters)) {
        ReportFailure(kTool, "RvCanReadCounters is missing: this driver cannot count dropped frames");
        return;
    }
    double elapsedNs = static_cast<double>(std::chrono::nanoseconds(elapsed).count());
    double load =
        elapsedNs > 0 ? 100.0 * static_cast<double>(g_dump.busyNanoseconds.load()) / elapsedNs : 0.0;
    fprintf(stderr, "%s: %s %llu frames received, %llu dropped, bus load %.1f %%\n", kTool,
            g_dump.options.device.c_str(), static_cast<unsigned long long>(counters.received),
            static_cast<unsigned long long>(counters.dropped), load);
}

} // namespace

int main(int argc, char** argv)
{
    std::string error;
    g_dump.options = DumpOptions{}; // the fuzzer runs main many times in one process
    g_dump.printed.store(0);
    g_dump.busyNanoseconds.store(0);
    g_dump.outputError.store(0);
    if (!ParseOptions(argc, argv, g_dump.options, error)) {
        ReportFailure(kTool, error);
        fputs(kUsage, stderr);
        return 2;
    }
    if (g_dump.options.help) {
        fputs(kUsage, stdout);
        return 0;
    }
    sem_init(&g_dump.finished, 0, 0);
    InstallInterruptHandler(&OnInterrupt);
    cDriverDevice device;
    if (!device.Open(g_dump.options.device, g_dump.options.rate, error) ||
        !device.StartReceive(&OnFrame, error)) {
        return ReportFailure(kTool, error);
    }
    auto started = std::chrono::steady_clock::now();
    std::string fault = WaitUntilFinished(device);
    device.StopReceive();
    if (g_dump.options.reportDrops) {
        ReportDrops(device, std::chrono::steady_clock::now() - started);
    }
    device.Close();
    sem_destroy(&g_dump.finished);
    if (!fault.empty()) {
        return ReportFailure(kTool, g_dump.options.device + " " + fault);
    }
    int outputError = g_dump.outputError.load();
    return outputError == 0 ? 0 : EndForOutputError(outputError);
}
