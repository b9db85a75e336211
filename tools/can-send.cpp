// can-send: puts frames on a CAN bus through the driver library, in the manner of can-utils' cansend
// (one frame in ID#DATA syntax) and cangen (-r: random frames).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <random>
#include <string>

#include <getopt.h>

#include "DeviceName.h"
#include "FrameSyntax.h"
#include "ToolSupport.h"
#include "cDriverDevice.h"

namespace {

constexpr const char* kTool = "can-send";
constexpr const char* kUsage =
    "usage: can-send [-b RATE] [-g MS] [-n COUNT] DEVICE ID#DATA\n"
    "       can-send [-b RATE] [-g MS] [-n COUNT] -r DEVICE\n"
    "  DEVICE    CAN0: to CAN9:, or a SocketCAN interface by its name (can0, vcan0), left at its\n"
    "            rate unless -b is given; RVCAN32CE_CANn=IFACE puts CANn: on a SocketCAN interface,\n"
    "            RVCAN32CE_CANn=socketcand://HOST[:PORT]/BUS on a bus of a socketcand server\n"
    "  ID#DATA   123#DEADBEEF (3 hex digits: standard id, 8: extended), 123# (no data), 123#R (remote),\n"
    "            123#R4 (remote with DLC 4, 0 to 8)\n"
    "  -b RATE   bit rate: 10 20 50 100 125 250 500 800 1000 kbit/s, as 500, 500k or 500000 (default\n"
    "            125 on CAN0:..CAN9:)\n"
    "  -g MS     gap between frames in milliseconds (default 0; 200 with -r)\n"
    "  -n COUNT  number of frames (default 1; with -r 0, which means until Ctrl+C)\n"
    "  -r        random frames like cangen: random standard id, length and data\n"
    "  -h, --help  show this and exit\n";
constexpr option kLongOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
constexpr uint32_t kDefaultRate = 125;
constexpr uint32_t kRandomGapMs = 200;
constexpr uint32_t kLargestNumber = 1000000000;
constexpr uint32_t kLargestStandardId = 0x7FF;

// Set by the SIGINT/SIGTERM handler, read by the send loop between frames; sig_atomic_t because a
// handler may write nothing else.
volatile sig_atomic_t g_interrupted = 0;

struct SendOptions
{
    uint32_t rate = 0; // 0: not given
    uint32_t gapMs = 0;
    uint32_t count = 1;
    bool random = false;
    bool help = false; // -h or --help: the usage only
    ResolvedDevice device;
    CanMessageDescriptor frame{};
};

bool ParseOptions(int argc, char** argv, SendOptions& options, std::string& error)
{
    bool gapGiven = false;
    bool countGiven = false;
    int option = 0;
    while ((option = getopt_long(argc, argv, "hb:g:n:r", kLongOptions, nullptr)) != -1) {
        bool valid = true;
        switch (option) {
        case 'b':
            if (!ParseBitRate(optarg, options.rate)) {
                error = std::string("-b ") + optarg + ": not a bit rate; " + BitRateAdvice();
                return false;
            }
            break;
        case 'g': valid = gapGiven = ParseNumber(optarg, kLargestNumber, options.gapMs); break;
        case 'n': valid = countGiven = ParseNumber(optarg, kLargestNumber, options.count); break;
        case 'r': options.random = true; break;
        case 'h': options.help = true; return true;
        default: error = "unknown option"; return false;
        }
        if (!valid) {
            error = std::string("-") + static_cast<char>(option) + " needs a whole number, not " + optarg;
            return false;
        }
    }
    int needed = options.random ? 1 : 2;
    if (argc - optind != needed) {
        error = options.random ? "-r takes just a DEVICE" : "expected DEVICE and ID#DATA";
        return false;
    }
    options.device = ResolveDeviceName(argv[optind], &IsCanInterface, kSocketCanExists);
    if (options.device.kind == DeviceKind::Refused) {
        error = options.device.name;
        return false;
    }
    if (options.random) {
        options.gapMs = gapGiven ? options.gapMs : kRandomGapMs;
        options.count = countGiven ? options.count : 0;
        return true;
    }
    error = ParseFrameText(argv[optind + 1], options.frame);
    if (!error.empty()) {
        error = std::string(argv[optind + 1]) + ": " + error;
        return false;
    }
    return true;
}

void OnInterrupt(int)
{
    g_interrupted = 1;
}

// Ctrl+C ends the sleep within 50 ms wherever the handler runs (SleepUntil).
void SleepGap(uint32_t milliseconds)
{
    SleepUntil(SteadyMicroseconds() + int64_t{milliseconds} * 1000, g_interrupted);
}

CanMessageDescriptor RandomFrame(std::mt19937& generator)
{
    CanMessageDescriptor frame{};
    frame.id = std::uniform_int_distribution<uint32_t>(0, kLargestStandardId)(generator);
    frame.length =
        static_cast<uint16_t>(std::uniform_int_distribution<uint32_t>(0, kCanMaxDataBytes)(generator));
    std::uniform_int_distribution<uint32_t> byte(0, 0xFF);
    for (uint16_t i = 0; i < frame.length; ++i) {
        frame.data[i] = static_cast<uint8_t>(byte(generator));
    }
    return frame;
}

// Acknowledged by the bus itself (without RVCAN32CE_BUS_ACK=wire), frames go out whether anybody
// hears them or not: a sender alone at its rate, perhaps beside nodes at another, is told so once.
void NoteWhenAlone(const cDriverDevice& device, const std::string& deviceName, uint32_t rate)
{
    const char* acknowledgement = getenv("RVCAN32CE_BUS_ACK");
    RvCanBusNodes nodes{};
    if ((acknowledgement != nullptr && strcmp(acknowledgement, "wire") == 0) || !device.ReadBusNodes(nodes) ||
        nodes.atItsRate > 0) {
        return;
    }
    std::string others;
    for (uint32_t i = 0; i < nodes.otherRateCount && i < std::size(nodes.otherRates); ++i) {
        others += (others.empty() ? "" : ", ") + std::to_string(nodes.otherRates[i]);
    }
    fprintf(stderr, "%s: nobody else is on %s at %u kbit/s to receive its frames%s\n", kTool,
            deviceName.c_str(), rate,
            others.empty() ? "" : (" (others are at " + others + " kbit/s)").c_str());
}

// accepted counts the frames the driver took; it puts them on the bus after the call returns.
int SendFrames(cDriverDevice& device, const SendOptions& options, uint32_t& accepted)
{
    std::mt19937 generator{std::random_device{}()};
    for (accepted = 0; (options.count == 0 || accepted < options.count) && g_interrupted == 0; ++accepted) {
        if (accepted > 0 && options.gapMs > 0) {
            SleepGap(options.gapMs);
            if (g_interrupted != 0) {
                break;
            }
        }
        CanMessageDescriptor frame = options.random ? RandomFrame(generator) : options.frame;
        std::string error;
        if (!device.Transmit(frame, error)) {
            return ReportFailure(kTool, options.device.name + " " + FrameText(frame) + ": " + error);
        }
    }
    return 0;
}

// A run of a fixed count is expected to put all of them on the bus (one stopped by Ctrl+C, what it
// sent): those refused, never tried after a refusal, or dropped when the device closed are reported,
// and fail the run.
// The driver's reason for the dropped ones, when it has one, leads: "no node acknowledged 123#11:
// nobody else at 125 kbit/s is on CAN1:" when acknowledgement comes from the wire (RVCAN32CE_BUS_ACK).
int ReportUnsent(const SendOptions& options, uint32_t accepted, bool refused, DWORD droppedAtClose,
                 const std::string& droppedReason)
{
    uint64_t wanted = options.count > 0 && g_interrupted == 0 ? options.count : accepted + (refused ? 1 : 0);
    uint64_t notSent = wanted - accepted + droppedAtClose;
    if (notSent == 0) {
        return 0;
    }
    std::string message = std::to_string(notSent) + " of " + std::to_string(wanted) + " frames were not sent";
    if (droppedAtClose > 0 && !droppedReason.empty()) {
        return ReportFailure(kTool, droppedReason + " (" + message + ")");
    }
    if (droppedAtClose > 0) {
        message +=
            " (" + std::to_string(droppedAtClose) +
            " still queued when the device closed: the bus did not take them in the 1 s closing gives)";
    }
    return ReportFailure(kTool, message);
}

} // namespace

int main(int argc, char** argv)
{
    SendOptions options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        ReportFailure(kTool, error);
        fputs(kUsage, stderr);
        return 2;
    }
    if (options.help) {
        fputs(kUsage, stdout);
        return 0;
    }
    InstallInterruptHandler(&OnInterrupt);
    cDriverDevice device;
    bool onInterface = options.device.kind == DeviceKind::Interface;
    // An interface named like cansend names it is left at its rate, as cansend leaves it.
    bool opened = onInterface ? device.OpenInterface(options.device.name, options.rate, error)
                              : device.Open(options.device.name,
                                            options.rate != 0 ? options.rate : kDefaultRate, error);
    if (!opened) {
        return ReportFailure(kTool, error);
    }
    if (!onInterface) {
        NoteWhenAlone(device, options.device.name, options.rate != 0 ? options.rate : kDefaultRate);
    }
    // Closing waits for the queued frames (1 s at most), so the count is settled when it returns.
    uint32_t accepted = 0;
    int status = SendFrames(device, options, accepted);
    DWORD droppedAtClose = 0;
    std::string droppedReason;
    device.Close(&droppedAtClose, &droppedReason);
    return ReportUnsent(options, accepted, status != 0, droppedAtClose, droppedReason) != 0 ? 1 : status;
}
