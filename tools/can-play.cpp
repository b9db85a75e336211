// can-play: replays candump log files (can-dump -L and -l write them too) onto CAN bus devices through
// the driver library, in the manner of can-utils' canplayer: each frame at its recorded time on an
// absolute schedule, or at a fixed gap, once or in loops.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <getopt.h>

#include "DeviceName.h"
#include "FrameSyntax.h"
#include "LogLine.h"
#include "ToolSupport.h"
#include "cDriverDevice.h"

namespace {

constexpr const char* kTool = "can-play";
constexpr const char* kUsage =
    "usage: can-play [-I FILE] [-b RATE] [-l COUNT|i] [-t] [-g MS] [-s SECONDS] [-n COUNT] [-v]\n"
    "                [DEVICE=LOGDEVICE]...\n"
    "  -I FILE   the candump log to play (default: standard input); lines as candump -L writes them:\n"
    "            (1436509052.249713) vcan0 123#DEADBEEF\n"
    "  DEVICE=LOGDEVICE  send the frames logged on LOGDEVICE on DEVICE, e.g. CAN1:=vcan0; with\n"
    "            assignments, frames of other log devices are skipped; without, each frame goes to the\n"
    "            device named in the log (CAN0: to CAN9:, or a SocketCAN interface)\n"
    "  -b RATE   bit rate: 10 20 50 100 125 250 500 800 1000 kbit/s, as 500, 500k or 500000 (default\n"
    "            125 on CAN0:..CAN9:; an interface named directly keeps its rate unless -b is given)\n"
    "  -l COUNT  play the log COUNT times, i: until Ctrl+C (needs -I)\n"
    "  -t        ignore the time stamps: each frame as soon as the bus takes it\n"
    "  -g MS     ignore the time stamps: frames MS milliseconds apart\n"
    "  -s SECONDS  a recorded gap longer than SECONDS is skipped\n"
    "  -n COUNT  end after COUNT frames\n"
    "  -v        print each frame as it is sent\n"
    "  -h, --help  show this and exit\n"
    "At the end: frames sent, frames refused, and how late the latest frame went out.\n";
constexpr option kLongOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
constexpr uint32_t kDefaultRate = 125;
constexpr uint32_t kLargestNumber = 1000000000;
constexpr uint32_t kEndlessLoops = 0;
constexpr int64_t kMicrosecondsPerMillisecond = 1000;
constexpr int64_t kMicrosecondsPerSecond = 1000000;
constexpr size_t kLongestLine = 1024;
constexpr uint32_t kRefusalsToGiveUp = 10;

// Set by the SIGINT/SIGTERM handler, read by the play loop and its sleeps; sig_atomic_t because a
// handler may write nothing else.
volatile sig_atomic_t g_interrupted = 0;

struct PlayOptions
{
    std::string input; // empty: standard input
    uint32_t rate = 0; // 0: not given
    uint32_t loops = 1;
    bool ignoreStamps = false;
    bool fixedGap = false;
    uint32_t gapMs = 0;
    bool skipLongGaps = false;
    uint32_t longestGapSeconds = 0;
    uint32_t count = 0; // 0: the whole log
    bool verbose = false;
    bool help = false;
    std::map<std::string, std::string> assignments; // log device -> our device
};

// Where frames go and what happened to them.
struct Player
{
    explicit Player(const PlayOptions& playOptions) : options(playOptions) {}

    const PlayOptions& options;
    std::map<std::string, std::unique_ptr<cDriverDevice>> devices; // by the name it was opened with
    uint64_t sent = 0;
    uint64_t refused = 0;
    uint64_t skipped = 0; // error and CAN FD frames, and frames of log devices not assigned
    uint32_t refusedInARow = 0;
    int64_t latestLateness = -1; // the largest, in microseconds
    std::string latestWhere;     // "line N"
    bool failed = false;         // input or device trouble that ended the replay
};

void OnInterrupt(int)
{
    g_interrupted = 1;
}

bool ParseAssignment(const std::string& text, PlayOptions& options, std::string& error)
{
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
        error = text + ": expected DEVICE=LOGDEVICE, e.g. CAN1:=vcan0";
        return false;
    }
    options.assignments[text.substr(equals + 1)] = text.substr(0, equals);
    return true;
}

bool ParseNumberOption(int option, const char* text, uint32_t& value, std::string& error)
{
    if (!ParseNumber(text, kLargestNumber, value)) {
        error = std::string("-") + static_cast<char>(option) + " needs a whole number, not " + text;
        return false;
    }
    return true;
}

bool ParseOption(int option, PlayOptions& options, std::string& error)
{
    switch (option) {
    case 'I': options.input = optarg; return true;
    case 'b':
        if (!ParseBitRate(optarg, options.rate)) {
            error = std::string("-b ") + optarg + ": not a bit rate; " + BitRateAdvice();
            return false;
        }
        return true;
    case 'l':
        if (strcmp(optarg, "i") == 0) {
            options.loops = kEndlessLoops;
            return true;
        }
        return ParseNumberOption(option, optarg, options.loops, error);
    case 't': options.ignoreStamps = true; return true;
    case 'g': options.fixedGap = true; return ParseNumberOption(option, optarg, options.gapMs, error);
    case 's':
        options.skipLongGaps = true;
        return ParseNumberOption(option, optarg, options.longestGapSeconds, error);
    case 'n': return ParseNumberOption(option, optarg, options.count, error);
    case 'v': options.verbose = true; return true;
    case 'h': options.help = true; return true;
    }
    error = "unknown option";
    return false;
}

bool ParseOptions(int argc, char** argv, PlayOptions& options, std::string& error)
{
    int option = 0;
    while ((option = getopt_long(argc, argv, "hI:b:l:tg:s:n:v", kLongOptions, nullptr)) != -1) {
        if (!ParseOption(option, options, error)) {
            return false;
        }
        if (options.help) {
            return true;
        }
    }
    if (options.loops != 1 && options.input.empty()) {
        error = "-l needs -I FILE: standard input cannot be read twice";
        return false;
    }
    if (options.loops == 0 && options.count == 0 && options.input.empty()) {
        error = "-l i needs -I FILE";
        return false;
    }
    for (int i = optind; i < argc; ++i) {
        if (!ParseAssignment(argv[i], options, error)) {
            return false;
        }
    }
    return true;
}

// The name of the device a log device's frames go to.
std::string TargetName(const Player& player, const std::string& logDevice)
{
    auto assigned = player.options.assignments.find(logDevice);
    return assigned == player.options.assignments.end() ? logDevice : assigned->second;
}

// The device a log device's frames go to; null when they are skipped (another device was assigned)
// or when it cannot be opened (player.failed is then set and the reason printed).
cDriverDevice* DeviceFor(Player& player, const std::string& logDevice)
{
    std::string name = logDevice;
    if (!player.options.assignments.empty()) {
        auto assigned = player.options.assignments.find(logDevice);
        if (assigned == player.options.assignments.end()) {
            return nullptr;
        }
        name = assigned->second;
    }
    auto known = player.devices.find(name);
    if (known != player.devices.end()) {
        return known->second.get();
    }
    ResolvedDevice resolved = ResolveDeviceName(name, &IsCanInterface, kSocketCanExists);
    std::string error = resolved.name;
    auto device = std::make_unique<cDriverDevice>();
    uint32_t asked = player.options.rate;
    bool opened = false;
    if (resolved.kind == DeviceKind::VirtualBus) {
        opened = device->Open(resolved.name, asked != 0 ? asked : kDefaultRate, error);
    } else if (resolved.kind == DeviceKind::Interface) {
        opened = device->OpenInterface(resolved.name, asked, error);
    }
    if (!opened) {
        ReportFailure(
            kTool,
            (player.options.assignments.empty() ? "the log's device " : "") + error +
                (player.options.assignments.empty() ? "; assign a device with DEVICE=" + logDevice : ""));
        player.failed = true;
        return nullptr;
    }
    return player.devices.emplace(name, std::move(device)).first->second.get();
}

void Send(Player& player, cDriverDevice& device, const LogEntry& entry, int64_t deadline, uint64_t line)
{
    std::string error;
    if (!device.Transmit(entry.frame, error)) {
        if (player.refused++ == 0) {
            ReportFailure(kTool,
                          "line " + std::to_string(line) + ": " + FrameText(entry.frame) + ": " + error);
        }
        if (++player.refusedInARow == kRefusalsToGiveUp) {
            ReportFailure(kTool, std::to_string(kRefusalsToGiveUp) + " frames refused in a row: giving up");
            player.failed = true;
        }
        return;
    }
    // Late is how long after its deadline the driver took the frame: on a timed bus a full transmit
    // queue holds the call until the wire has room, as a controller would.
    int64_t lateness = SteadyMicroseconds() - deadline;
    if (lateness > player.latestLateness) {
        player.latestLateness = lateness;
        player.latestWhere = "line " + std::to_string(line);
    }
    ++player.sent;
    player.refusedInARow = 0;
    if (player.options.verbose) {
        printf("%s\n", LogLine(WallMicroseconds(), TargetName(player, entry.device), 0, entry.frame).c_str());
    }
}

// The schedule: each frame's deadline follows the previous one's by the recorded gap (or the fixed
// one), so time lost on one frame is made up on the next and a long log does not drift.
struct Schedule
{
    bool started = false;
    int64_t deadline = 0;     // steady clock, microseconds
    Microseconds logTime = 0; // the previous frame's stamp
};

int64_t NextDeadline(Schedule& schedule, const PlayOptions& options, Microseconds logTime, bool newPass)
{
    if (!schedule.started) {
        schedule.started = true;
        schedule.deadline = SteadyMicroseconds();
    } else if (options.ignoreStamps) {
        schedule.deadline = std::max(schedule.deadline, SteadyMicroseconds());
    } else if (options.fixedGap) {
        schedule.deadline += int64_t{options.gapMs} * kMicrosecondsPerMillisecond;
    } else if (!newPass) {
        int64_t gap = std::max<int64_t>(0, logTime - schedule.logTime); // a stamp going back: at once
        bool skip = options.skipLongGaps && gap > int64_t{options.longestGapSeconds} * kMicrosecondsPerSecond;
        schedule.deadline += skip ? 0 : gap;
    }
    schedule.logTime = logTime;
    return schedule.deadline;
}

// Read by the byte rather than with fgets, so that a NUL inside a line is kept and refused with the line
// instead of silently ending it.
bool ReadLine(FILE* input, std::string& line, bool& tooLong)
{
    line.clear();
    tooLong = false;
    int c = getc(input);
    if (c == EOF) {
        return false;
    }
    for (; c != EOF && c != '\n'; c = getc(input)) {
        if (line.size() == kLongestLine) {
            tooLong = true;
            break;
        }
        line += static_cast<char>(c);
    }
    while (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

// One pass over the log. False when the replay ends (input trouble, a device that cannot be opened,
// Ctrl+C or the count reached).
bool PlayPass(Player& player, FILE* input, Schedule& schedule)
{
    const PlayOptions& options = player.options;
    std::string text;
    bool tooLong = false;
    bool newPass = true;
    for (uint64_t line = 1; ReadLine(input, text, tooLong); ++line) {
        LogEntry entry;
        std::string problem = tooLong ? "the line is longer than 1024 characters" : "";
        if (problem.empty() && IsLogCommentLine(text)) {
            continue;
        }
        problem = problem.empty() ? ParseLogLine(text, entry) : problem;
        if (!problem.empty()) {
            ReportFailure(kTool, (options.input.empty() ? "standard input" : options.input) + " line " +
                                     std::to_string(line) + ": " + problem);
            player.failed = true;
            return false;
        }
        if (entry.errorFrame || entry.fdFrame) {
            ++player.skipped;
            continue;
        }
        cDriverDevice* device = DeviceFor(player, entry.device);
        if (device == nullptr) {
            player.skipped += player.failed ? 0 : 1;
            if (player.failed) {
                return false;
            }
            continue;
        }
        int64_t deadline = NextDeadline(schedule, options, entry.time, newPass);
        newPass = false;
        if (!SleepUntil(deadline, g_interrupted)) {
            return false;
        }
        Send(player, *device, entry, deadline, line);
        if (player.failed || (options.count != 0 && player.sent + player.refused >= options.count)) {
            return false;
        }
    }
    if (ferror(input)) {
        ReportFailure(kTool, "reading " +
                                 (options.input.empty() ? std::string("standard input") : options.input) +
                                 " failed: " + strerror(errno));
        player.failed = true;
        return false;
    }
    return true;
}

int Play(const PlayOptions& options)
{
    FILE* input = stdin;
    if (!options.input.empty() && (input = fopen(options.input.c_str(), "r")) == nullptr) {
        return ReportFailure(kTool, "cannot open " + options.input + ": " + strerror(errno));
    }
    Player player(options);
    Schedule schedule;
    for (uint32_t pass = 0; options.loops == kEndlessLoops || pass < options.loops; ++pass) {
        if (pass > 0) {
            rewind(input);
        }
        if (!PlayPass(player, input, schedule)) {
            break;
        }
    }
    if (input != stdin) {
        fclose(input);
    }
    player.devices.clear(); // each close gives queued frames time to go out
    char lateness[32];
    snprintf(lateness, sizeof(lateness), "%.3f", static_cast<double>(player.latestLateness) / 1000.0);
    std::string latest = player.latestLateness < 0 ? "no frame went out"
                                                   : std::string("the latest frame went out ") + lateness +
                                                         " ms after its time (" + player.latestWhere + ")";
    fprintf(stderr, "%s: %llu frames sent, %llu refused, %llu skipped; %s%s\n", kTool,
            static_cast<unsigned long long>(player.sent), static_cast<unsigned long long>(player.refused),
            static_cast<unsigned long long>(player.skipped), latest.c_str(),
            g_interrupted != 0 ? "; interrupted" : "");
    return player.failed || player.refused > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    PlayOptions options;
    std::string error;
    g_interrupted = 0;
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
    return Play(options);
}
