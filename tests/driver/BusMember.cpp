// bus-member: another process on a virtual bus, for the driver's tests.
//
//   bus-member receive DEVICE RATE COUNT   prints "ready", then each received frame as ID#DATA, and
//                                          ends after COUNT frames
//   bus-member send DEVICE RATE FRAME...   sends the frames in order
//   bus-member flood DEVICE RATE ID        sends frames with id ID as fast as it can, printing
//                                          "flooding" after the first, until it is killed
//   bus-member stall DEVICE                takes the bus's writers' lock, half writes a frame 666#66,
//                                          prints "stalled" and waits to be killed
// Every mode ends by itself after a while, so a helper never outlives a failed test for long.
#include <atomic>
#include <cstdio>
#include <string>

#include <semaphore.h>
#include <unistd.h>

#include "FrameSyntax.h"
#include "ToolSupport.h"
#include "cBusRing.h"
#include "cBusSegment.h"
#include "cDriverDevice.h"

namespace {

constexpr const char* kTool = "bus-member";
constexpr unsigned kLifetimeSeconds = 30;
constexpr uint32_t kDeepQueue = 32768;

// Written by main before the queue starts; frames is advanced by the receive function, one call at a
// time; done is posted by it after the last wanted frame.
struct ReceiveState
{
    uint32_t wanted = 0;
    std::atomic<uint32_t> frames{0};
    sem_t done;
};
ReceiveState g_receive;

void PrintFrame(CanMessageDescriptor* frame)
{
    if (g_receive.frames.load() >= g_receive.wanted) {
        return;
    }
    printf("%s\n", FrameText(*frame).c_str());
    fflush(stdout);
    if (g_receive.frames.fetch_add(1) + 1 == g_receive.wanted) {
        sem_post(&g_receive.done);
    }
}

bool OpenDevice(cDriverDevice& device, const char* name, const char* rateText)
{
    uint32_t rate = 0;
    std::string error = "bad rate";
    if (!ParseNumber(rateText, 100000, rate) || !device.Open(name, rate, error)) {
        ReportFailure(kTool, error);
        return false;
    }
    return true;
}

int Receive(int argc, char** argv)
{
    cDriverDevice device;
    if (argc != 5 || !OpenDevice(device, argv[2], argv[3]) ||
        !ParseNumber(argv[4], 1000000, g_receive.wanted)) {
        return 2;
    }
    sem_init(&g_receive.done, 0, 0);
    std::string error;
    if (!device.StartReceive(&PrintFrame, error, kDeepQueue)) {
        return ReportFailure(kTool, error);
    }
    printf("ready\n");
    fflush(stdout);
    while (sem_wait(&g_receive.done) != 0) {
    }
    device.Close();
    return 0;
}

int Send(int argc, char** argv)
{
    cDriverDevice device;
    if (argc < 5 || !OpenDevice(device, argv[2], argv[3])) {
        return 2;
    }
    for (int i = 4; i < argc; ++i) {
        CanMessageDescriptor frame{};
        std::string error = ParseFrameText(argv[i], frame);
        if (!error.empty() || !device.Transmit(frame, error)) {
            return ReportFailure(kTool, error);
        }
    }
    return 0;
}

int Flood(int argc, char** argv)
{
    cDriverDevice device;
    uint32_t id = 0;
    if (argc != 5 || !OpenDevice(device, argv[2], argv[3]) || !ParseNumber(argv[4], 0x7FF, id)) {
        return 2;
    }
    CanMessageDescriptor frame{};
    frame.id = id;
    frame.length = 8;
    for (uint64_t count = 0;; ++count) {
        frame.data[0] = static_cast<uint8_t>(count);
        std::string error;
        if (!device.Transmit(frame, error)) {
            return ReportFailure(kTool, error);
        }
        if (count == 0) {
            printf("flooding\n");
            fflush(stdout);
        }
    }
}

int Stall(int argc, char** argv)
{
    std::string name = argc == 3 ? cDriverDevice::NormalisedDeviceName(argv[2]) : "";
    if (name.size() != 5) {
        return 2;
    }
    cBusSegment segment;
    if (!segment.Attach(static_cast<uint32_t>(name[3] - '0'))) {
        return ReportFailure(kTool, segment.LastError());
    }
    cBusRing ring(segment);
    BusFrame frame;
    frame.id = 0x666;
    frame.bitrate = 125;
    frame.length = 1;
    frame.data[0] = 0x66;
    ring.BeginPublish(frame);
    printf("stalled\n");
    fflush(stdout);
    for (;;) {
        pause(); // until SIGKILL, or the lifetime alarm
    }
}

} // namespace

int main(int argc, char** argv)
{
    alarm(kLifetimeSeconds);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "receive") {
        return Receive(argc, argv);
    }
    if (mode == "send") {
        return Send(argc, argv);
    }
    if (mode == "flood") {
        return Flood(argc, argv);
    }
    if (mode == "stall") {
        return Stall(argc, argv);
    }
    fputs("usage: bus-member receive|send|flood|stall DEVICE ...\n", stderr);
    return 2;
}
