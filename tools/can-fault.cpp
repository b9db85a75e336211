// can-fault: makes frames on a virtual bus fail, as a disturbed wire or a faulty node would: it writes
// requests into the bus's fault table (driver/BusFaults.h), which every sender consults for each attempt
// to put a frame on the wire. It attaches the bus as any member does, so it can do what a member can.
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include <getopt.h>

#include "BusFaults.h"
#include "BusPlatform.h"
#include "DeviceName.h"
#include "FrameSyntax.h"
#include "ToolSupport.h"
#include "cBusSegment.h"

namespace {

constexpr const char* kTool = "can-fault";
constexpr const char* kUsage =
    "usage: can-fault [-e ERROR] [-n COUNT] [-b RATE] [-w] DEVICE ID\n"
    "       can-fault [-e ERROR] [-b RATE] [-w] -o DEVICE ID\n"
    "       can-fault [-e ERROR] [-b RATE] [-w] -t MS DEVICE\n"
    "       can-fault -l DEVICE\n"
    "       can-fault -c DEVICE\n"
    "  DEVICE    CAN0: to CAN9:, a virtual bus (not one that RVCAN32CE_CANn puts elsewhere)\n"
    "  ID        the frames' id: 123 (3 hex digits: standard), 12345678 (8: extended), or any\n"
    "  -e ERROR  the error they meet: bit, stuff, form, crc or ack (default crc)\n"
    "  -n COUNT  corrupt the next COUNT frames of ID (default 1); each is sent again, as CAN does\n"
    "  -o        keep ID's frames failing until their sender is bus-off\n"
    "  -t MS     disturb the whole bus for MS milliseconds: every frame fails meanwhile\n"
    "  -b RATE   only frames at this bit rate: 10 20 50 100 125 250 500 800 1000 kbit/s, as 500, 500k\n"
    "            or 500000 (default: every rate)\n"
    "  -w        wait until the fault is used up: its frames hit, its sender bus-off, its time over\n"
    "  -l        list the armed faults\n"
    "  -c        clear every fault\n"
    "  -h, --help  show this and exit\n";
constexpr option kLongOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
constexpr uint32_t kLargestNumber = 1000000000;
constexpr uint64_t kNanosecondsPerMillisecond = 1000000;
constexpr int64_t kWaitPollMicroseconds = 10000;
constexpr const char* kAnyId = "any";
constexpr const char* kErrorNames[] = {"bit", "stuff", "form", "crc", "ack"}; // by BusErrorKind

enum class Command
{
    Arm,
    List,
    Clear,
};

struct FaultOptions
{
    Command command = Command::Arm;
    BusFaultRequest request{.kind = BusErrorKind::Crc};
    uint32_t durationMs = 0;
    bool wait = false;
    bool help = false; // -h or --help: the usage only
    ResolvedDevice device;
};

// Set by the SIGINT/SIGTERM handler, read by -w's wait; sig_atomic_t because a handler may write nothing
// else.
volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int)
{
    g_interrupted = 1;
}

// What RVCAN32CE_CANn puts the driver's device CANn: on instead of the virtual bus (driver/DeviceMapping.h),
// or empty: faults armed on the virtual bus would not reach that device.
std::string MappedElsewhere(uint32_t bus, std::string& variable)
{
    variable = "RVCAN32CE_CAN" + std::to_string(bus);
    const char* value = getenv(variable.c_str());
    return value == nullptr ? std::string() : std::string(value);
}

bool ParseErrorKind(const std::string& text, BusErrorKind& kind)
{
    for (uint32_t i = 0; i < std::size(kErrorNames); ++i) {
        if (text == kErrorNames[i]) {
            kind = static_cast<BusErrorKind>(i);
            return true;
        }
    }
    return false;
}

// cansend's id (the part before '#'), or any.
std::string ParseIdText(const std::string& text, BusFaultRequest& request)
{
    if (text == kAnyId) {
        request.anyId = true;
        return {};
    }
    CanMessageDescriptor frame{};
    std::string problem = text.find('#') == std::string::npos ? ParseFrameText(text + "#", frame)
                                                              : "the id must be hexadecimal";
    request.id = frame.id;
    request.extended = frame.extended != 0;
    return problem.empty() ? "" : text + ": " + problem + ", or any";
}

// What each option asks for; which of them go together is checked after (CheckCombination).
struct GivenOptions
{
    bool count = false;
    bool untilBusOff = false;
    bool duration = false;
    bool list = false;
    bool clear = false;
    bool error = false;
    bool rate = false;
};

bool ParseOneOption(int option, FaultOptions& options, GivenOptions& given, std::string& error)
{
    uint32_t count = 0;
    switch (option) {
    case 'e':
        given.error = ParseErrorKind(optarg, options.request.kind);
        error = given.error ? "" : std::string("-e ") + optarg + ": use bit, stuff, form, crc or ack";
        break;
    case 'n':
        given.count = ParseNumber(optarg, kLargestNumber, count) && count > 0;
        options.request.remaining = count;
        error = given.count ? "" : std::string("-n needs a number from 1 on, not ") + optarg;
        break;
    case 't':
        given.duration = ParseNumber(optarg, kLargestNumber, options.durationMs) && options.durationMs > 0;
        error = given.duration ? "" : std::string("-t needs milliseconds from 1 on, not ") + optarg;
        break;
    case 'b':
        given.rate = ParseBitRate(optarg, options.request.bitrate);
        error = given.rate ? "" : std::string("-b ") + optarg + ": not a bit rate; " + BitRateAdvice();
        break;
    case 'o': given.untilBusOff = true; break;
    case 'w': options.wait = true; break;
    case 'l': given.list = true; break;
    case 'c': given.clear = true; break;
    default: error = "unknown option"; break;
    }
    return error.empty();
}

// The command the options name, or why they do not go together.
std::string CheckCombination(const GivenOptions& given, bool wait, FaultOptions& options)
{
    int commands = (given.count ? 1 : 0) + (given.untilBusOff ? 1 : 0) + (given.duration ? 1 : 0) +
                   (given.list ? 1 : 0) + (given.clear ? 1 : 0);
    if (commands > 1) {
        return "-n, -o, -t, -l and -c each ask for something else: give one of them";
    }
    if ((given.list || given.clear) && (given.error || given.rate || wait)) {
        return given.list ? "-l takes just a DEVICE" : "-c takes just a DEVICE";
    }
    if (given.untilBusOff && options.request.kind == BusErrorKind::Ack) {
        return "-o with -e ack would never end: an error-passive sender's acknowledgement errors count "
               "nothing, so it never goes bus-off; use another error";
    }
    options.command = given.list ? Command::List : given.clear ? Command::Clear : Command::Arm;
    options.request.mode = given.untilBusOff ? BusFaultMode::UntilBusOff
                           : given.duration  ? BusFaultMode::Window
                                             : BusFaultMode::Count;
    return {};
}

std::string ParseOperands(int count, char** operands, FaultOptions& options)
{
    bool takesId = options.command == Command::Arm && options.request.mode != BusFaultMode::Window;
    if (count != (takesId ? 2 : 1)) {
        return takesId ? "expected DEVICE and ID" : "expected just a DEVICE";
    }
    options.device = ResolveDeviceName(operands[0], &IsCanInterface, kSocketCanExists);
    if (options.device.kind == DeviceKind::Refused) {
        return options.device.name;
    }
    if (options.device.kind == DeviceKind::Interface) {
        return options.device.name + " is a SocketCAN interface: can-fault reaches the virtual buses only";
    }
    options.request.anyId = !takesId;
    return takesId ? ParseIdText(operands[1], options.request) : "";
}

bool ParseOptions(int argc, char** argv, FaultOptions& options, std::string& error)
{
    GivenOptions given;
    int option = 0;
    while ((option = getopt_long(argc, argv, "he:n:t:b:owlc", kLongOptions, nullptr)) != -1) {
        if (option == 'h') {
            options.help = true;
            return true;
        }
        if (!ParseOneOption(option, options, given, error)) {
            return false;
        }
    }
    error = CheckCombination(given, options.wait, options);
    if (error.empty()) {
        error = ParseOperands(argc - optind, argv + optind, options);
    }
    return error.empty();
}

std::string IdText(const BusFaultRequest& request)
{
    char text[16];
    snprintf(text, sizeof(text), request.extended ? "%08" PRIX32 : "%03" PRIX32, request.id);
    return request.anyId ? "every id" : text;
}

std::string RateText(const BusFaultRequest& request)
{
    return request.bitrate == 0 ? "at every rate" : "at " + std::to_string(request.bitrate) + " kbit/s";
}

std::string TimeLeftText(uint64_t until, uint64_t now)
{
    char text[48];
    snprintf(text, sizeof(text), "for %.3f s more", static_cast<double>(until - now) / 1e9);
    return text;
}

// "crc error in the next 2 frames of 123 at every rate", as -l lists a record and arming confirms it.
std::string DescribeFault(const BusFaultRequest& request, uint64_t now)
{
    std::string text = std::string(kErrorNames[static_cast<uint32_t>(request.kind)]) + " error in ";
    switch (request.mode) {
    case BusFaultMode::Count:
        text += "the next " + std::to_string(request.remaining) +
                (request.remaining == 1 ? " frame" : " frames") + " of " + IdText(request) + " " +
                RateText(request);
        break;
    case BusFaultMode::UntilBusOff:
        text +=
            "the frames of " + IdText(request) + " " + RateText(request) + " until their sender is bus-off";
        break;
    case BusFaultMode::Window: text += "every frame " + RateText(request); break;
    }
    return request.until != 0 ? text + ", " + TimeLeftText(request.until, now) : text;
}

int ListFaults(const std::string& device, BusFaultShared (&faults)[kBusFaultCount])
{
    uint64_t now = MonotonicNanoseconds();
    for (uint32_t index = 0; index < kBusFaultCount; ++index) {
        uint32_t state = faults[index].state.load();
        if ((state & kBusFaultPhaseMask) != kBusFaultArmed) {
            continue;
        }
        std::optional<BusFaultRequest> request = ReadBusFault(faults[index]);
        if (request && request->until != 0 && request->until <= now) {
            continue; // over: it hits nothing, and the next sender's attempt frees it
        }
        std::string text = request ? DescribeFault(*request, now)
                                   : "a record no sender takes: another member wrote it (-c clears it)";
        printf("%s %u: %s\n", device.c_str(), index, text.c_str());
    }
    return 0;
}

// Until the armed record is freed (used up, or cleared by someone) or, for a time window, its time is
// over; false when interrupted first.
bool WaitUntilUsedUp(BusFaultShared& fault, const ArmedBusFault& armed, const BusFaultRequest& request)
{
    while (fault.state.load() == armed.state) {
        if (request.mode == BusFaultMode::Window && MonotonicNanoseconds() >= request.until) {
            FreeBusFault(fault, armed.state);
            return true;
        }
        if (!SleepUntil(SteadyMicroseconds() + kWaitPollMicroseconds, g_interrupted)) {
            return false;
        }
    }
    return true;
}

int ArmFault(const FaultOptions& options, BusFaultShared (&faults)[kBusFaultCount])
{
    BusFaultRequest request = options.request;
    uint64_t now = MonotonicNanoseconds();
    if (request.mode == BusFaultMode::Window) {
        request.until = now + uint64_t{options.durationMs} * kNanosecondsPerMillisecond;
    }
    std::optional<ArmedBusFault> armed = ArmBusFault(faults, request);
    const std::string& device = options.device.name;
    if (!armed) {
        return ReportFailure(kTool, device + ": all " + std::to_string(kBusFaultCount) +
                                        " fault records are taken; can-fault -l " + device +
                                        " lists them, -c " + "clears them");
    }
    printf("%s %u: %s\n", device.c_str(), armed->index, DescribeFault(request, now).c_str());
    fflush(stdout);
    if (options.wait && !WaitUntilUsedUp(faults[armed->index], *armed, request)) {
        return ReportFailure(kTool,
                             "interrupted: the fault stays armed (can-fault -c " + device + " clears it)");
    }
    return 0;
}

int Run(const FaultOptions& options, cBusSegment& bus)
{
    BusFaultShared(&faults)[kBusFaultCount] = bus.Ring().faults;
    switch (options.command) {
    case Command::List: return ListFaults(options.device.name, faults);
    case Command::Clear: ClearBusFaults(faults); return 0;
    case Command::Arm: return ArmFault(options, faults);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    FaultOptions options;
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
    std::string variable;
    std::string mapped = MappedElsewhere(options.device.bus, variable);
    if (!mapped.empty()) {
        return ReportFailure(kTool, options.device.name + " is " + mapped + " (" + variable +
                                        "), not a virtual bus: can-fault reaches the virtual buses only");
    }
    InstallInterruptHandler(&OnInterrupt);
    cBusSegment bus;
    if (!bus.Attach(options.device.bus)) {
        return ReportFailure(kTool, options.device.name + " cannot be opened: " + bus.LastError());
    }
    return Run(options, bus);
}
