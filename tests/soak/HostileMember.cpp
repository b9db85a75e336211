// hostile-member receive|send DEVICE: an ordinary member of a bus under attack (bus-hostile), reaching
// the driver through its entry points as the console does. Prints "ready" once the device is open, then
// every 100 ms "status COUNT BAD" (receive: frames delivered, frames that break the frame rules; send:
// frames sent, sends refused), and ends cleanly with "done COUNT BAD DROPPED" when its standard input
// closes. A sender prints "refused REASON" for each send the driver refuses. On a failure to open it prints
// the driver's reason on standard error and exits with 1.
#include <atomic>
#include <cstdio>
#include <string>

#include <poll.h>
#include <unistd.h>

#include "ToolSupport.h"
#include "cDriverDevice.h"

namespace {

constexpr const char* kTool = "hostile-member";
constexpr unsigned kLifetimeSeconds = 120;
constexpr int kStatusMs = 100;
constexpr useconds_t kSendGapUs = 200;
constexpr uint32_t kDeepQueue = 32768; // a reader's window spans the whole ring

// Advanced by the receive function (one call at a time), read by main for its status lines.
std::atomic<uint64_t> g_count{0};
std::atomic<uint64_t> g_bad{0};

// What no controller can put on a wire, whatever another member wrote into the segment.
bool BreaksFrameRules(const CanMessageDescriptor& frame)
{
    if (frame.extended > 1 || frame.remote > 1 || frame.length > 8) {
        return true;
    }
    if (frame.id > (frame.extended != 0 ? 0x1FFFFFFFu : 0x7FFu)) {
        return true;
    }
    if (frame.remote != 0) {
        for (uint8_t byte : frame.data) {
            if (byte != 0) {
                return true;
            }
        }
        return frame.length != 0;
    }
    return false;
}

void CheckFrame(CanMessageDescriptor* frame)
{
    if (frame == nullptr || BreaksFrameRules(*frame)) {
        if (g_bad.fetch_add(1) == 0 && frame != nullptr) {
            fprintf(stderr, "%s: delivered a broken frame: id %#x extended %u remote %u length %u\n", kTool,
                    static_cast<unsigned>(frame->id), frame->extended, frame->remote, frame->length);
        }
    }
    g_count.fetch_add(1);
}

// True once standard input has closed (or anything arrived on it).
bool AskedToLeave(int timeoutMs)
{
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, timeoutMs) > 0;
}

void PrintStatus(const char* what)
{
    printf("%s %llu %llu\n", what, static_cast<unsigned long long>(g_count.load()),
           static_cast<unsigned long long>(g_bad.load()));
    fflush(stdout);
}

void Receive(cDriverDevice& device)
{
    while (!AskedToLeave(kStatusMs)) {
        PrintStatus("status");
    }
    device.StopReceive();
}

void Send(cDriverDevice& device)
{
    CanMessageDescriptor frame{};
    frame.length = 8;
    uint64_t nextStatus = 0;
    for (uint32_t sequence = 0; !AskedToLeave(0); ++sequence) {
        frame.id = 0x100 + (sequence & 0xFF);
        for (int i = 0; i < 4; ++i) {
            frame.data[i] = static_cast<uint8_t>(sequence >> (8 * i));
        }
        std::string error;
        if (device.Transmit(frame, error)) {
            g_count.fetch_add(1);
        } else {
            g_bad.fetch_add(1);
            printf("refused %s\n", error.c_str());
            fflush(stdout);
        }
        if (sequence >= nextStatus) {
            PrintStatus("status");
            nextStatus = sequence + kStatusMs * 1000 / kSendGapUs;
        }
        usleep(kSendGapUs);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string mode = argc == 3 ? argv[1] : "";
    if (mode != "receive" && mode != "send") {
        fputs("usage: hostile-member receive|send DEVICE\n", stderr);
        return 2;
    }
    alarm(kLifetimeSeconds); // never outlives a failed attack for long
    cDriverDevice device;
    std::string error;
    if (!device.Open(argv[2], 125, error) ||
        (mode == "receive" && !device.StartReceive(&CheckFrame, error, kDeepQueue))) {
        return ReportFailure(kTool, error);
    }
    printf("ready\n");
    fflush(stdout);
    if (mode == "receive") {
        Receive(device);
    } else {
        Send(device);
    }
    RvCanCounters counters{};
    device.ReadCounters(counters);
    device.Close();
    printf("done %llu %llu %llu\n", static_cast<unsigned long long>(g_count.load()),
           static_cast<unsigned long long>(g_bad.load()), static_cast<unsigned long long>(counters.dropped));
    fflush(stdout);
    return 0;
}
