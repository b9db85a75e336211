// bench-receive: how many received frames per second reach the console's receive list through
// ReceiveCallback, with the console headless and connected and a peer process flooding the bus.
//
//   bench-receive [seconds [flood-rate]]
//   bench-receive --saturated [seconds [busy-loops]]     (SaturatedBus.h; 60 s and none by default)
//
// Phase 1 offers frames at 64,000 per second (three times the fastest classic CAN bus) and counts how
// many reach the list and how many the driver dropped. Phase 2 floods the bus at flood-rate frames per
// second (1,000,000 unless given; 0: as fast as the peer can send) and measures the rate at which
// frames reach the list. A frame has reached the list when its row's last cell, the payload, has been
// written: the list is subclassed to count those updates.
//
// The peer sends in batches and sleeps between them, so that, like a device on another machine, it
// leaves most of the processor time to the console. A peer sending as fast as it can (flood-rate 0)
// keeps one core busy, which a device on a real bus never does; that figure says more about the share
// of the processors the console gets than about the console.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ConnectedConsole.h"
#include "SaturatedBus.h"
#include "cCanPort.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReceiveList = 1014;
constexpr int kPayloadColumn = 4;
constexpr uint32_t kPacedRate = 64000;
constexpr uint32_t kDefaultFloodRate = 1000000;
// Frames per batch: 16 every 250 us at the paced rate, 1,000 every millisecond when flooding.
constexpr uint64_t kPacedBatch = 16;
constexpr uint64_t kFloodBatch = 1000;

// Written by the list's subclass procedure on the dialog's thread, read by the bench's thread.
std::atomic<uint64_t> framesShown{0};
std::atomic<WNDPROC> listProcedure{nullptr};

LRESULT CALLBACK CountShownFrames(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LVM_SETITEMTEXTW && reinterpret_cast<const LVITEMW*>(lParam)->iSubItem == kPayloadColumn) {
        framesShown.fetch_add(1, std::memory_order_relaxed);
    }
    return CallWindowProcW(listProcedure.load(), window, message, wParam, lParam);
}

// The peer: sends count frames on CAN1 in batches, rate frames/s (0: as fast as it can). Like frames
// on a bus, the batches never come faster than the rate: a peer held up by the scheduler goes on from
// where it is instead of catching up in a burst the rate does not allow.
int RunPeer(uint32_t rate, uint64_t count, uint64_t batch)
{
    cCanPort port;
    if (port.OpenWithBaudrate(uint8_t(1), 125) != 0) {
        fprintf(stderr,
                "bench-receive: the peer cannot open CAN1: (is librvcan32ce.so beside the program?)\n");
        return 1;
    }
    cCanPacket packet;
    packet.SetId(0x321);
    const uint8_t payload[8] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04};
    packet.SetData(8, payload);
    const auto batchTime = std::chrono::nanoseconds(rate != 0 ? batch * 1000000000ull / rate : 0);
    Clock::time_point due = Clock::now();
    for (uint64_t sent = 0; sent < count;) {
        if (port.Send(packet) == 0) {
            ++sent;
        }
        if (rate != 0 && sent % batch == 0) {
            due = std::max(due + batchTime, Clock::now());
            std::this_thread::sleep_until(due);
        }
    }
    return 0;
}

pid_t StartPeer(const char* program, uint32_t rate, uint64_t count, uint64_t batch)
{
    std::string rateText = std::to_string(rate);
    std::string countText = std::to_string(count);
    std::string batchText = std::to_string(batch);
    char* arguments[] = {const_cast<char*>(program),
                         const_cast<char*>("--peer"),
                         rateText.data(),
                         countText.data(),
                         batchText.data(),
                         nullptr};
    pid_t peer = 0;
    if (posix_spawn(&peer, "/proc/self/exe", nullptr, nullptr, arguments, environ) != 0) {
        perror("bench-receive: posix_spawn of the peer");
        exit(1);
    }
    return peer;
}

void WaitForPeer(pid_t peer)
{
    int status = 0;
    waitpid(peer, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench-receive: the peer failed\n");
        exit(1);
    }
}

// Waits until no frame has reached the list for a while: the console has shown all it will.
void WaitUntilQuiet()
{
    uint64_t last = framesShown.load();
    do {
        last = framesShown.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (framesShown.load() != last);
}

void MeasurePaced(const char* program, double seconds)
{
    uint64_t offered = static_cast<uint64_t>(kPacedRate * seconds);
    uint64_t before = framesShown.load();
    WaitForPeer(StartPeer(program, kPacedRate, offered, kPacedBatch));
    WaitUntilQuiet();
    uint64_t shown = framesShown.load() - before;
    printf("paced_offered %llu\n", static_cast<unsigned long long>(offered));
    printf("paced_shown %llu\n", static_cast<unsigned long long>(shown));
    printf("dropped_at_%u_per_second %llu\n", kPacedRate,
           static_cast<unsigned long long>(offered > shown ? offered - shown : 0));
}

void MeasureFlood(const char* program, double seconds, uint32_t rate)
{
    pid_t peer = StartPeer(program, rate, 500000000, kFloodBatch);
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // past the start
    uint64_t first = framesShown.load();
    Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    uint64_t shown = framesShown.load() - first;
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    kill(peer, SIGTERM);
    waitpid(peer, nullptr, 0);
    WaitUntilQuiet();
    printf("frames_per_second %.0f\n", shown / elapsed);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "--peer") == 0) {
        return RunPeer(static_cast<uint32_t>(strtoul(argv[2], nullptr, 10)), strtoull(argv[3], nullptr, 10),
                       strtoull(argv[4], nullptr, 10));
    }
    if (argc == 3 && strcmp(argv[1], "--saturating-peer") == 0) {
        return RunSaturatingPeer(atof(argv[2]));
    }
    if (argc == 2 && strcmp(argv[1], "--busy-loop") == 0) {
        return RunBusyLoop();
    }
    if (argc > 1 && strcmp(argv[1], "--saturated") == 0) {
        return RunSaturatedBus(argv[0], argc > 2 ? atof(argv[2]) : 60.0, argc > 3 ? atoi(argv[3]) : 0);
    }
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    uint32_t floodRate = argc > 2 ? static_cast<uint32_t>(strtoul(argv[2], nullptr, 10)) : kDefaultFloodRate;
    ConsoleProgram console;
    if (!ConnectOnBusOfItsOwn(console, "bench-receive")) {
        return 1;
    }
    HWND list = GetDlgItem(console.Dialog(), kReceiveList);
    listProcedure = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(list, GWLP_WNDPROC));
    SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CountShownFrames));

    MeasurePaced(argv[0], seconds);
    MeasureFlood(argv[0], seconds, floodRate);
    console.Cancel();
    return 0;
}
