// soak-member DEVICE MEMBER LIFETIME_S: one member of the bus soak. Receives every frame on DEVICE and
// checks it, sends checked frames of its own with a short gap, and prints
// "status CHECKED CORRUPT SENT" every 100 ms, until it is killed or its lifetime ends.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "SoakFrame.h"
#include "ToolSupport.h"
#include "cDriverDevice.h"

namespace {

constexpr const char* kTool = "soak-member";
constexpr uint32_t kDeepQueue = 32768;
constexpr useconds_t kSendGapUs = 200;
// A status line this often, however long the timed bus keeps a transmit call waiting.
constexpr std::chrono::milliseconds kStatusInterval{100};

// Advanced by the receive function (one call at a time), read by main for its status lines.
std::atomic<uint64_t> checkedFrames{0};
std::atomic<uint64_t> corruptFrames{0};

void CheckFrame(CanMessageDescriptor* frame)
{
    if (frame == nullptr || !IsIntactSoakFrame(*frame)) {
        corruptFrames.fetch_add(1);
    }
    checkedFrames.fetch_add(1);
}

} // namespace

int main(int argc, char** argv)
{
    uint32_t member = 0;
    uint32_t lifetime = 0;
    if (argc != 4 || !ParseNumber(argv[2], 255, member) || !ParseNumber(argv[3], 3600, lifetime)) {
        fputs("usage: soak-member DEVICE MEMBER LIFETIME_S\n", stderr);
        return 2;
    }
    alarm(lifetime); // never outlives a failed soak for long
    cDriverDevice device;
    std::string error;
    if (!device.Open(argv[1], 125, error) || !device.StartReceive(&CheckFrame, error, kDeepQueue)) {
        return ReportFailure(kTool, error);
    }
    uint64_t sent = 0;
    auto nextStatus = std::chrono::steady_clock::now();
    for (uint32_t sequence = 0;; ++sequence) {
        if (device.Transmit(SoakFrame(static_cast<uint8_t>(member), sequence), error)) {
            ++sent;
        }
        if (auto now = std::chrono::steady_clock::now(); now >= nextStatus) {
            nextStatus = now + kStatusInterval;
            printf("status %llu %llu %llu\n", static_cast<unsigned long long>(checkedFrames.load()),
                   static_cast<unsigned long long>(corruptFrames.load()),
                   static_cast<unsigned long long>(sent));
            fflush(stdout);
        }
        usleep(kSendGapUs);
    }
}
