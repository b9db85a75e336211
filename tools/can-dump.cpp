// can-dump: prints the frames received on CAN bus devices in can-utils' candump formats, through the
// driver library: candump's filters after each device, its log format (-L, -l) and its time stamps.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <semaphore.h>
#include <unistd.h>

#include "BusStateName.h"
#include "CanWireTime.h"
#include "DeviceName.h"
#include "FrameFilter.h"
#include "FrameRules.h"
#include "FrameSyntax.h"
#include "LogLine.h"
#include "ToolSupport.h"
#include "cDriverDevice.h"

namespace {

constexpr const char* kTool = "can-dump";
constexpr const char* kUsage =
    "usage: can-dump [-b RATE] [-t a|d|z|A] [-L] [-l] [-e] [-n COUNT] [-T MS] [-a] [-c] [-d]\n"
    "                DEVICE[,FILTER]...\n"
    "  DEVICE    CAN0: to CAN9:, or a SocketCAN interface by its name (can0, vcan0), or any (every\n"
    "            SocketCAN interface); several devices are dumped together; RVCAN32CE_CANn=IFACE\n"
    "            puts CANn: on a SocketCAN interface, RVCAN32CE_CANn=socketcand://HOST[:PORT]/BUS on\n"
    "            a bus of a socketcand server\n"
    "  FILTER    as candump: ID:MASK (passes when id & MASK == ID & MASK), ID~MASK (inverted),\n"
    "            #ERRORMASK (error frames), j (every filter must pass); 8 id digits: extended id.\n"
    "            e.g. CAN1:,123:7FF  CAN1:,12345678:1FFFFFFF  vcan0,100~700,#FFFFFFFF\n"
    "  -b RATE   bit rate: 10 20 50 100 125 250 500 800 1000 kbit/s, as 500, 500k or 500000 (default\n"
    "            125 on CAN0:..CAN9:; an interface named directly keeps its rate unless -b is given)\n"
    "  -t TYPE   time stamps in microseconds: a absolute, A absolute with date, d delta, z from zero\n"
    "  -L        candump's log format on standard output: (SECONDS.MICROSECONDS) DEVICE ID#DATA\n"
    "  -l        log into the file candump-YYYY-MM-DD_HHMMSS.log instead (-L also prints)\n"
    "  -e        show error frames and what they report, as candump -e (any device: the driver\n"
    "            gives them in SocketCAN's form)\n"
    "  -n COUNT  end after COUNT frames (default: until Ctrl+C)\n"
    "  -T MS     end (exit 0) after MS milliseconds without a frame\n"
    "  -a        the data also as text, as candump -a\n"
    "  -c        color each device's name (-cc: its lines, -ccc: with the stamps), as candump -c\n"
    "  -d        at the end, report each device's frames received and dropped, the bus load, and\n"
    "            its controller's state and error counters where the device knows them\n"
    "  -h, --help  show this and exit\n"
    "  not taken: candump's -H (the driver has no hardware stamps), -x (it does not say which frames\n"
    "  this machine sent), -i -S -s -f -r -D -8\n";
constexpr option kLongOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
constexpr uint32_t kDefaultRate = 125;
constexpr uint32_t kLargestNumber = 1000000000;
constexpr uint32_t kOutputCheckMs = 100;
constexpr size_t kMostDevices = 10;
constexpr int kLogFileMode = 0644; // as candump's fopen leaves it under the usual umask
constexpr int kMostColorLevel = 3;
constexpr const char* kAnyInterface = "any";

// candump's options that can-dump does not take, and why.
constexpr std::pair<char, const char*> kNotTaken[] = {
    {'H', "the driver gives no hardware time stamps"},
    {'x', "the driver does not say which frames this machine sent (candump's TX/RX), and classic CAN "
          "has no BRS/ESI"},
    {'i', "binary output is candump's own"},
    {'S', "swapped byte order is not printed here"},
    {'s', "there is no silent or animation mode; -l writes nothing on standard output"},
    {'f', "-l names the log file as candump does"},
    {'r', "the driver sets the receive buffers itself"},
    {'D', "a device that fails ends can-dump"},
    {'8', "classic CAN frames only: a DLC is their length"},
};

struct DumpOptions
{
    uint32_t rate = 0; // 0: not given
    char stamps = 0;   // candump's -t type, 0 for none
    bool logFormat = false;
    bool logFile = false;
    bool errorFrames = false;
    uint32_t count = 0;      // 0: until interrupted
    uint32_t quietEndMs = 0; // -T: 0 for never
    bool ascii = false;
    int colorLevel = 0;
    bool reportDrops = false;
    bool help = false; // -h or --help: the usage only
    std::vector<std::string> arguments;
};

struct DumpDevice
{
    ResolvedDevice resolved;
    size_t index = 0;  // its place on the command line, which picks its color
    std::string label; // as the lines show it
    FrameFilter filter;
    uint32_t rate = kDefaultRate;
    cDriverDevice driver;
};

// The receive functions get nothing but the frame, so what they need lives here. options, devices,
// deviceWidth and log are set by main before any queue starts and only read until the queues have
// stopped; busyNanoseconds is advanced by each device's receive function and read by main after the
// queues stopped. Printing (the lines, printed, extendedSeen, firstTime and lastTime) happens under
// output, from the devices' receive threads; lastFrame is stored by the receive
// functions and read by main's wait. outputError (an errno value, 0 while writing
// works) is set under output or by main's wait and read by all; finished is posted by a receive
// function or by the signal handler (sem_post is safe there) and waited for by main.
struct DumpState
{
    DumpOptions options;
    std::vector<std::unique_ptr<DumpDevice>> devices;
    size_t deviceWidth = 0;
    FILE* log = nullptr;
    std::atomic<uint64_t> busyNanoseconds[kMostDevices];
    std::mutex output;
    uint32_t printed = 0;
    bool extendedSeen = false; // a line showed an extended id: standard ids are indented from then on
    Microseconds firstTime = -1;
    Microseconds lastTime = -1;
    std::atomic<int> outputError{0};
    std::atomic<int64_t> lastFrame{0}; // SteadyMicroseconds of the latest frame that passed, for -T
    sem_t finished;
};
DumpState g_dump;

uint64_t WireNanoseconds(const CanMessageDescriptor& message, uint32_t rate)
{
    BusFrame frame;
    frame.id = message.id;
    frame.extended = message.extended == 1;
    frame.remote = message.remote == 1;
    frame.length = static_cast<uint8_t>(
        std::min<uint32_t>(frame.remote ? RemoteDlcOf(message) : message.length, kCanMaxDataBytes));
    if (!frame.remote) {
        std::copy(message.data, message.data + frame.length, frame.data);
    }
    return CanWireNanoseconds(CanWireBits(frame), rate);
}

std::string StampFor(Microseconds now)
{
    if (g_dump.firstTime < 0) {
        g_dump.firstTime = now;
        g_dump.lastTime = now;
    }
    std::string stamp;
    switch (g_dump.options.stamps) {
    case 'a': stamp = AbsoluteStamp(now); break;
    case 'A': stamp = DateStamp(now); break;
    case 'd': stamp = RelativeStamp(now - g_dump.lastTime); break;
    case 'z': stamp = RelativeStamp(now - g_dump.firstTime); break;
    }
    g_dump.lastTime = now;
    return stamp;
}

// False when the write failed; errno then says why.
bool WriteLine(FILE* file, const std::string& line)
{
    errno = 0;
    return fputs(line.c_str(), file) != EOF && fputc('\n', file) != EOF && fflush(file) == 0;
}

// Writes the frame's lines; on a failed write it notes why and lets main end. Called under output.
void PrintFrame(const DumpDevice& device, const CanMessageDescriptor& frame)
{
    // Stamped here, under the lock, so that the lines' stamps never go backwards. The driver's own
    // stamp counts milliseconds; candump users compare microseconds of the wall clock.
    Microseconds now = WallMicroseconds();
    std::string stamp = StampFor(now);
    const DumpOptions& options = g_dump.options;
    if (g_dump.log != nullptr &&
        !WriteLine(g_dump.log, LogLine(now, device.label, g_dump.deviceWidth, frame))) {
        g_dump.outputError.store(errno != 0 ? errno : EIO);
        sem_post(&g_dump.finished);
        return;
    }
    bool toOutput = options.logFormat || g_dump.log == nullptr;
    DumpStyle style;
    style.indentStandardId = g_dump.extendedSeen;
    style.ascii = options.ascii;
    style.colorLevel = options.colorLevel;
    style.colorIndex = device.index;
    style.errorDetails = options.errorFrames;
    g_dump.extendedSeen = g_dump.extendedSeen || (frame.extended == 1 && !IsErrorFrame(frame));
    std::string line = options.logFormat ? LogLine(now, device.label, g_dump.deviceWidth, frame)
                                         : DumpLine(stamp, device.label, g_dump.deviceWidth, frame, style);
    // Flushed so that a pipe reader sees each frame as it arrives, as with candump. SIGPIPE is blocked
    // on the driver's thread, so a closed pipe shows here as EPIPE.
    if (toOutput && !WriteLine(stdout, line)) {
        g_dump.outputError.store(FailedWriteError());
        sem_post(&g_dump.finished);
        return;
    }
    if (++g_dump.printed == options.count) {
        sem_post(&g_dump.finished);
    }
}

void OnDeviceFrame(size_t index, const CanMessageDescriptor& frame)
{
    const DumpDevice& device = *g_dump.devices[index];
    if (!IsErrorFrame(frame)) {
        g_dump.busyNanoseconds[index].fetch_add(WireNanoseconds(frame, device.rate));
    }
    if (!device.filter.Passes(frame)) {
        return;
    }
    g_dump.lastFrame.store(SteadyMicroseconds());
    std::lock_guard<std::mutex> lock(g_dump.output);
    uint32_t limit = g_dump.options.count;
    // The rest of a burst that arrived before main stopped the queues, or after a failed write.
    if ((limit != 0 && g_dump.printed >= limit) || g_dump.outputError.load() != 0) {
        return;
    }
    PrintFrame(device, frame);
}

template <size_t Index> void OnFrame(CanMessageDescriptor* frame)
{
    if (frame != nullptr) {
        OnDeviceFrame(Index, *frame);
    }
}

// One receive function per device, so that each knows its device.
template <size_t... Index>
constexpr std::array<CanReceiveFunction, sizeof...(Index)> ReceiveFunctions(std::index_sequence<Index...>)
{
    return {&OnFrame<Index>...};
}
constexpr auto kReceiveFunctions = ReceiveFunctions(std::make_index_sequence<kMostDevices>());

void OnInterrupt(int)
{
    sem_post(&g_dump.finished);
}

bool ParseStampType(const char* text, char& stamps)
{
    if (strlen(text) != 1 || strchr("adzA", text[0]) == nullptr) {
        return false;
    }
    stamps = text[0];
    return true;
}

// "-x is candump's, not taken here: ..." or "unknown option -Q".
std::string UnknownOption(int option)
{
    for (const auto& [letter, why] : kNotTaken) {
        if (letter == option) {
            return std::string("-") + letter + " is candump's, not taken here: " + why;
        }
    }
    return option == 0 ? std::string("unknown option")
                       : std::string("unknown option -") + static_cast<char>(option);
}

bool ParseOptions(int argc, char** argv, DumpOptions& options, std::string& error)
{
    int option = 0;
    opterr = 0; // the errors are ours, naming what is not taken
    while ((option = getopt_long(argc, argv, ":hb:t:n:T:dLleac", kLongOptions, nullptr)) != -1) {
        switch (option) {
        case 'b':
            if (!ParseBitRate(optarg, options.rate)) {
                error = std::string("-b ") + optarg + ": not a bit rate; " + BitRateAdvice();
                return false;
            }
            break;
        case 't':
            if (!ParseStampType(optarg, options.stamps)) {
                error = std::string("-t ") + optarg + ": the time stamp type is a, A, d or z";
                return false;
            }
            break;
        case 'n':
            if (!ParseNumber(optarg, kLargestNumber, options.count)) {
                error = std::string("-n needs a whole number, not ") + optarg;
                return false;
            }
            break;
        case 'T':
            if (!ParseNumber(optarg, kLargestNumber, options.quietEndMs) || options.quietEndMs == 0) {
                error = std::string("-T needs milliseconds, a whole number from 1, not ") + optarg;
                return false;
            }
            break;
        case 'a': options.ascii = true; break;
        case 'c': options.colorLevel = std::min(options.colorLevel + 1, kMostColorLevel); break;
        case 'd': options.reportDrops = true; break;
        case 'L': options.logFormat = true; break;
        case 'l': options.logFile = true; break;
        case 'e': options.errorFrames = true; break;
        case 'h': options.help = true; return true;
        case ':': error = std::string("-") + static_cast<char>(optopt) + " needs a value"; return false;
        default: error = UnknownOption(optopt); return false;
        }
    }
    if (optind == argc) {
        error = "expected a DEVICE";
        return false;
    }
    if (argc - optind > static_cast<int>(kMostDevices)) {
        error = "at most 10 devices at once";
        return false;
    }
    options.arguments.assign(argv + optind, argv + argc);
    return true;
}

// Adds the device an argument names, with its filters; "any" adds every SocketCAN interface, each with
// the filters, as candump's any receives from all of them.
bool AddDevices(const DumpOptions& options, const std::string& argument, std::string& error)
{
    std::string name;
    FrameFilter filter;
    error = ParseDeviceFilters(argument, name, filter);
    if (!error.empty()) {
        error = argument + ": " + error;
        return false;
    }
    std::vector<std::string> names{name};
    if (name == kAnyInterface) {
        names = CanInterfaces();
        if (names.empty()) {
            error = "any: no SocketCAN interface here; name the virtual buses, e.g. CAN0: CAN1:";
            return false;
        }
    }
    for (const std::string& each : names) {
        auto device = std::make_unique<DumpDevice>();
        device->resolved = ResolveDeviceName(each, &IsCanInterface, kSocketCanExists);
        if (device->resolved.kind == DeviceKind::Refused) {
            error = device->resolved.name;
            return false;
        }
        if (g_dump.devices.size() == kMostDevices) {
            error = "at most 10 devices at once";
            return false;
        }
        device->index = g_dump.devices.size();
        device->label = device->resolved.name;
        device->filter = filter;
        if (options.errorFrames && !device->filter.errorMaskGiven) {
            device->filter.errorMask = kErrorClassMask;
        }
        g_dump.deviceWidth = std::max(g_dump.deviceWidth, device->label.size());
        g_dump.devices.push_back(std::move(device));
    }
    return true;
}

// Reads each device argument: its name, what the name opens, its filters.
bool ParseDevices(const DumpOptions& options, std::string& error)
{
    for (const std::string& argument : options.arguments) {
        if (!AddDevices(options, argument, error)) {
            return false;
        }
    }
    return true;
}

// Error frames reach the same function as the device's frames, which passes them through its error mask.
bool StartErrorFrames(size_t index, std::string& error)
{
    DumpDevice& device = *g_dump.devices[index];
    if (device.filter.errorMask == 0 || device.driver.ReceiveErrorFrames(kReceiveFunctions[index])) {
        return true;
    }
    error = device.label + ": this driver cannot deliver error frames (it lacks RvCanRegisterErrorCallback); "
                           "install the driver built with this tool";
    return false;
}

bool OpenDevices(std::string& error)
{
    for (size_t i = 0; i < g_dump.devices.size(); ++i) {
        DumpDevice& device = *g_dump.devices[i];
        bool onInterface = device.resolved.kind == DeviceKind::Interface;
        uint32_t asked = g_dump.options.rate;
        // An interface named like candump names it is left at its rate, as candump leaves it.
        uint32_t rate = asked != 0 ? asked : onInterface ? cDriverDevice::kKeepRate : kDefaultRate;
        device.rate = rate != 0 ? rate : kDefaultRate;
        bool opened = onInterface ? device.driver.OpenInterface(device.label, rate, error)
                                  : device.driver.Open(device.label, rate, error);
        if (!opened) {
            return false;
        }
    }
    return true;
}

bool StartDevices(std::string& error)
{
    for (size_t i = 0; i < g_dump.devices.size(); ++i) {
        if (!StartErrorFrames(i, error) ||
            !g_dump.devices[i]->driver.StartReceive(kReceiveFunctions[i], error)) {
            return false;
        }
    }
    return true;
}

void StopDevices()
{
    for (auto& device : g_dump.devices) {
        device->driver.StopReceive();
    }
}

bool OpenLogFile(std::string& error)
{
    if (!g_dump.options.logFile) {
        return true;
    }
    std::string name = LogFileName(WallMicroseconds());
    // Never over an earlier log: two runs in one second would otherwise share a name.
    int file = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, kLogFileMode);
    g_dump.log = file >= 0 ? fdopen(file, "w") : nullptr;
    if (g_dump.log == nullptr) {
        if (file >= 0) {
            close(file);
        }
        error = "cannot create the log file " + name + ": " + strerror(errno);
        return false;
    }
    fprintf(stderr, "%s: logging to %s\n", kTool, name.c_str());
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

// Returns "DEVICE FAULT" when a device's fault ended the wait, else empty.
std::string WaitUntilFinished()
{
    // Ends with the COUNTth frame, after -T's milliseconds without a frame, with Ctrl+C (a signal that
    // interrupts the wait also posts), with a failed write, when the reader of standard output is gone or
    // when a device has failed for good (a lost connection), which are looked at every kOutputCheckMs so that
    // `can-dump CAN1: | head -n 3` ends even on a bus that has gone quiet.
    bool watchOutput = g_dump.log == nullptr || g_dump.options.logFormat;
    int64_t quietEnd = int64_t{g_dump.options.quietEndMs} * 1000;
    g_dump.lastFrame.store(SteadyMicroseconds());
    for (;;) {
        uint32_t waitMs = kOutputCheckMs;
        if (quietEnd > 0) {
            int64_t left = g_dump.lastFrame.load() + quietEnd - SteadyMicroseconds();
            if (left <= 0) {
                return {}; // -T: quiet for that long
            }
            waitMs = static_cast<uint32_t>(std::min<int64_t>(waitMs, (left + 999) / 1000));
        }
        timespec deadline = AfterMilliseconds(waitMs);
        if (sem_timedwait(&g_dump.finished, &deadline) == 0) {
            return {};
        }
        if (errno == ETIMEDOUT && watchOutput && StandardOutputClosed()) {
            g_dump.outputError.store(EPIPE);
            return {};
        }
        for (const auto& device : g_dump.devices) {
            std::string fault = device->driver.Fault();
            if (!fault.empty()) {
                return device->label + " " + fault;
            }
        }
    }
}

// After the devices are closed: the status for a failed write, or death by SIGPIPE as candump dies.
int EndForOutputError(int error)
{
    if (error == EPIPE) {
        return EndForClosedOutput(kTool);
    }
    return ReportFailure(kTool, std::string("writing ") +
                                    (g_dump.log != nullptr ? "the log file" : "standard output") +
                                    " failed: " + strerror(error));
}

// A socketcand client gets what its server sends, at the pace of TCP, not the wire: their wire time
// says nothing of the server's bus.
bool OnSocketcandServer(const DumpDevice& device)
{
    if (device.resolved.kind != DeviceKind::VirtualBus) {
        return false;
    }
    const char* mapping = getenv(("RVCAN32CE_CAN" + std::to_string(device.resolved.bus)).c_str());
    return mapping != nullptr && strncmp(mapping, "socketcand://", 13) == 0;
}

std::string LoadText(const DumpDevice& device, double load)
{
    if (OnSocketcandServer(device)) {
        return "bus load not known (a socketcand server's bus: its wire is not seen here)";
    }
    if (load > 100.0) {
        return "bus load not known (more frames than a " + std::to_string(device.rate) +
               " kbit/s bus carries: is -b the bus's rate?)";
    }
    char text[32];
    snprintf(text, sizeof(text), "bus load %.1f %%", load);
    return text;
}

// ", error-passive, TEC 128, REC 0", or nothing where the device or the driver cannot tell.
std::string BusStateText(const DumpDevice& device)
{
    RvCanBusState state{};
    if (!device.driver.ReadBusState(state) || state.state == RVCAN_STATE_UNKNOWN) {
        return {};
    }
    return std::string(", ") + BusStateName(state.state) + ", TEC " + std::to_string(state.transmitErrors) +
           ", REC " + std::to_string(state.receiveErrors);
}

// Busy time is the wire time of the frames received, so frames the driver dropped do not count.
void ReportDrops(std::chrono::steady_clock::duration elapsed)
{
    double elapsedNs = static_cast<double>(std::chrono::nanoseconds(elapsed).count());
    for (size_t i = 0; i < g_dump.devices.size(); ++i) {
        const DumpDevice& device = *g_dump.devices[i];
        RvCanCounters counters{};
        if (!device.driver.ReadCounters(counters)) {
            ReportFailure(kTool, "RvCanReadCounters is missing: this driver cannot count dropped frames");
            return;
        }
        double busy = static_cast<double>(g_dump.busyNanoseconds[i].load());
        double load = elapsedNs > 0 ? 100.0 * busy / elapsedNs : 0.0;
        fprintf(stderr, "%s: %s %llu frames received, %llu dropped, %s%s\n", kTool, device.label.c_str(),
                static_cast<unsigned long long>(counters.received),
                static_cast<unsigned long long>(counters.dropped), LoadText(device, load).c_str(),
                BusStateText(device).c_str());
    }
}

// The fuzzer runs main many times in one process.
void ResetState()
{
    g_dump.options = DumpOptions{};
    g_dump.devices.clear();
    g_dump.deviceWidth = 0;
    g_dump.log = nullptr;
    for (auto& busy : g_dump.busyNanoseconds) {
        busy.store(0);
    }
    g_dump.printed = 0;
    g_dump.extendedSeen = false;
    g_dump.firstTime = -1;
    g_dump.lastTime = -1;
    g_dump.outputError.store(0);
}

int Dump()
{
    std::string error;
    if (!OpenDevices(error) || !OpenLogFile(error) || !StartDevices(error)) {
        StopDevices();
        g_dump.devices.clear();
        return ReportFailure(kTool, error);
    }
    auto started = std::chrono::steady_clock::now();
    std::string fault = WaitUntilFinished();
    StopDevices();
    if (g_dump.options.reportDrops) {
        ReportDrops(std::chrono::steady_clock::now() - started);
    }
    g_dump.devices.clear();
    if (!fault.empty()) {
        return ReportFailure(kTool, fault);
    }
    int outputError = g_dump.outputError.load();
    return outputError == 0 ? 0 : EndForOutputError(outputError);
}

} // namespace

int main(int argc, char** argv)
{
    ResetState();
    std::string error;
    if (!ParseOptions(argc, argv, g_dump.options, error)) {
        ReportFailure(kTool, error);
        fputs(kUsage, stderr);
        return 2;
    }
    if (g_dump.options.help) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (!ParseDevices(g_dump.options, error)) {
        g_dump.devices.clear();
        ReportFailure(kTool, error);
        return 2;
    }
    sem_init(&g_dump.finished, 0, 0);
    InstallInterruptHandler(&OnInterrupt);
    int status = Dump();
    if (g_dump.log != nullptr && fclose(g_dump.log) != 0 && status == 0) {
        status = ReportFailure(kTool, std::string("closing the log file failed: ") + strerror(errno));
    }
    sem_destroy(&g_dump.finished);
    return status;
}
