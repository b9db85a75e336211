// The bus tools beside can-utils on vcan0, named as a can-utils user names it: can-dump's log lines and
// filters against candump's, and each player replaying the other's log file. Runs inside the SocketCAN
// VM (run-vm-tests.sh) with root rights.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LogLine.h"
#include "ProcessLines.h"

namespace {

constexpr const char* kProbe = "7FF#AA";
constexpr const char* kMarker = "1FFFFFFF#EE"; // cangen sends standard frames only
// The two in candump's long format.
constexpr const char* kLongProbe = "7FF   [1]  AA";
constexpr const char* kLongMarker = "1FFFFFFF   [1]  EE";
constexpr int kFrames = 40;
constexpr int kGapMs = 10;
constexpr Microseconds kGapTolerance = 2000;

std::vector<std::string> WithoutTimestamps(const std::vector<std::string>& lines)
{
    std::vector<std::string> frames;
    for (const std::string& line : lines) {
        if (line.rfind("(", 0) == 0) {
            frames.push_back(WithoutTimestamp(line));
        }
    }
    return frames;
}

// The lines after the probes, up to the marker.
std::vector<std::string> Traffic(const std::vector<std::string>& lines, const char* probe = kProbe,
                                 const char* marker = kMarker)
{
    std::vector<std::string> traffic;
    for (const std::string& line : lines) {
        if (line.find(marker) != std::string::npos) {
            break;
        }
        if (line.find(probe) == std::string::npos) {
            traffic.push_back(line);
        }
    }
    return traffic;
}

bool Listening(ProcessLines& dump, const char* shown = kProbe)
{
    return dump.WaitUntilListening(shown, [] { RunShell(std::string("cansend vcan0 ") + kProbe); });
}

// Both saw the marker, and what was on its way has arrived.
void WaitForMarker(ProcessLines& first, ProcessLines& second)
{
    RunShell(std::string("cansend vcan0 ") + kMarker);
    auto marker = [](const std::string& line) { return line.find(kMarker) != std::string::npos; };
    EXPECT_TRUE(first.WaitFor(marker));
    EXPECT_TRUE(second.WaitFor(marker));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// The last is an error frame (controller problems): shown only where an error mask asks for it.
const char* const kTraffic[] = {"123#DEADBEEF", "12345678#1122334455667788",
                                "0AB#",         "321#R",
                                "00000123#01",  "124#0102",
                                "7FE#R",        "1FFFFFFE#",
                                "123#R3",       "20000004#0004000000000000"};
constexpr size_t kDataFrames = std::size(kTraffic) - 1;

TEST(ToolsBesideCanUtils, CanDumpLogsTheLinesCandumpLogs)
{
    ProcessLines candump("candump -L vcan0");
    ProcessLines canDump("can-dump -L vcan0");
    ASSERT_TRUE(Listening(candump));
    ASSERT_TRUE(Listening(canDump));
    for (const char* frame : kTraffic) {
        ASSERT_TRUE(RunShell(std::string("cansend vcan0 ") + frame));
    }
    WaitForMarker(candump, canDump);
    std::vector<std::string> expected = Traffic(WithoutTimestamps(candump.Lines()));
    EXPECT_EQ(expected.size(), kDataFrames);
    EXPECT_EQ(Traffic(WithoutTimestamps(canDump.Lines())), expected);
}

// Several filters on one interface each: a frame shows once per device whose filters pass it.
TEST(ToolsBesideCanUtils, CanDumpPassesWhatCandumpPassesWithTheSameFilters)
{
    const std::string devices = "vcan0,7FF:7FF vcan0,123:7FF vcan0,123:C00007FF vcan0,123~7FF "
                                "vcan0,100:700,200:700 vcan0,100:F00,j,123:0FF vcan0,12345678:1FFFFFFF "
                                "vcan0,00000123:DFFFFFFF vcan0,#FFFFFFFF";
    ProcessLines candump("candump -L " + devices);
    ProcessLines canDump("can-dump -L " + devices);
    ASSERT_TRUE(Listening(candump));
    ASSERT_TRUE(Listening(canDump));
    for (const char* frame : kTraffic) {
        ASSERT_TRUE(RunShell(std::string("cansend vcan0 ") + frame));
    }
    WaitForMarker(candump, canDump);
    std::vector<std::string> expected = Traffic(WithoutTimestamps(candump.Lines()));
    std::vector<std::string> ours = Traffic(WithoutTimestamps(canDump.Lines()));
    std::sort(expected.begin(), expected.end());
    std::sort(ours.begin(), ours.end());
    EXPECT_GT(expected.size(), std::size(kTraffic));
    EXPECT_EQ(ours, expected);
}

// Error frames as a controller's driver sends them, one of each class with its details (every
// protocol violation bit and location, every controller bit), and counters. Classes above CAN_ERR_CNT
// are left out: candump 2020.11 calls them invalid and repeats its line.
std::vector<std::string> ErrorTraffic()
{
    std::vector<std::string> frames = {
        "20000088#0000190000000000", "2000008C#0014020A00000880", "20000004#0030000000008000",
        "20000040#0000000000000000", "20000100#0000000000000000", "20000020#0000000000000000",
        "20000200#0000000000000810", "20000002#0B00000000000000", "20000001#0000000000000000",
        "20000010#0000000007000000", "20000004#00FF000000000000", "20000004#0000000000000000",
        "20000004#00040000",         "20000080#0000000000000000"};
    const char* const bits[] = {"01", "02", "04", "08", "10", "20", "40", "80", "E0", "1F", "00"};
    for (unsigned location = 0; location < 32; ++location) {
        char frame[32];
        snprintf(frame, sizeof(frame), "20000008#0000%s%02X00000000", bits[location % std::size(bits)],
                 location);
        frames.push_back(frame);
    }
    return frames;
}

// Byte for byte what candump prints for the same error frames, with -e and the error mask candump
// 2020.11 needs beside it, in color, and without -e (no details).
TEST(ToolsBesideCanUtils, CanDumpShowsErrorFramesAsCandumpDoes)
{
    const std::pair<const char*, const char*> commands[] = {
        {"candump -e vcan0,#FFFFFFFF", "can-dump -e vcan0"},
        {"candump -e -cc vcan0,#FFFFFFFF", "can-dump -e -cc vcan0"},
        {"candump vcan0,#FFFFFFFF", "can-dump vcan0,#FFFFFFFF"},
    };
    std::vector<std::unique_ptr<ProcessLines>> dumps;
    for (const auto& [candump, canDump] : commands) {
        dumps.push_back(std::make_unique<ProcessLines>(candump));
        dumps.push_back(std::make_unique<ProcessLines>(canDump));
    }
    for (auto& dump : dumps) {
        ASSERT_TRUE(Listening(*dump, kLongProbe));
    }
    std::vector<std::string> frames = ErrorTraffic();
    for (const std::string& frame : frames) {
        ASSERT_TRUE(RunShell("cansend vcan0 " + frame));
    }
    RunShell(std::string("cansend vcan0 ") + kMarker);
    for (auto& dump : dumps) {
        EXPECT_TRUE(dump->WaitFor(
            [](const std::string& line) { return line.find(kLongMarker) != std::string::npos; }));
    }
    for (size_t i = 0; i < std::size(commands); ++i) {
        std::vector<std::string> expected = Traffic(dumps[2 * i]->Lines(), kLongProbe, kLongMarker);
        EXPECT_GE(expected.size(), frames.size()) << commands[i].first;
        EXPECT_EQ(Traffic(dumps[2 * i + 1]->Lines(), kLongProbe, kLongMarker), expected)
            << commands[i].second;
    }
}

// vcan has no controller: its state is what the last error frame said.
TEST(ToolsBesideCanUtils, CanDumpReportsTheStateTheErrorFramesGave)
{
    ProcessLines canDump("can-dump -d -T 1500 vcan0");
    ASSERT_TRUE(Listening(canDump, kLongProbe));
    ASSERT_TRUE(
        RunShell("cansend vcan0 20000004#0030000000008000 && cansend vcan0 20000040#0000000000000000"));
    EXPECT_TRUE(
        canDump.WaitFor([](const std::string& line) { return line.find(", bus-off") != std::string::npos; }));
    bool reported = false;
    for (const std::string& line : canDump.Lines()) {
        if (line.rfind("can-dump: vcan0 ", 0) == 0) {
            EXPECT_NE(line.find(" dropped, bus load "), std::string::npos) << line;
            EXPECT_EQ(line.substr(line.find(" %, ")), " %, bus-off, TEC 128, REC 0") << line;
            reported = true;
        }
    }
    EXPECT_TRUE(reported);
}

std::vector<LogEntry> ReadLog(const std::vector<std::string>& lines)
{
    std::vector<LogEntry> entries;
    for (const std::string& line : lines) {
        LogEntry entry;
        if (ParseLogLine(line, entry).empty() && line.find(kProbe) == std::string::npos &&
            line.find(kMarker) == std::string::npos) {
            entries.push_back(entry);
        }
    }
    return entries;
}

// cangen's traffic logged by recorder into a fresh directory: the log file's frames.
std::vector<LogEntry> RecordLog(const std::string& recorder, std::string& logFile)
{
    std::string directory = "/tmp/tools-log-" + std::to_string(std::rand());
    std::filesystem::create_directory(directory);
    {
        ProcessLines recording("sh -c 'cd " + directory + " && exec " + recorder + " -l vcan0'");
        // The log is compared with its replay, not with cangen, so a late start costs nothing.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_TRUE(RunShell("cangen vcan0 -g " + std::to_string(kGapMs) + " -n " + std::to_string(kFrames)));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::vector<std::string> lines;
    for (const auto& file : std::filesystem::directory_iterator(directory)) {
        logFile = file.path();
        std::ifstream log(logFile);
        for (std::string line; std::getline(log, line);) {
            lines.push_back(line);
        }
    }
    return ReadLog(lines);
}

// The replay, as candump saw it, matches the log frame for frame, and its gaps the logged ones: the
// median of (replayed gap - logged gap) within kGapTolerance. Not each gap: the VM's emulated CPU
// stalls for 10 ms and more at times on a loaded host, for canplayer as for can-play, and a frame held
// up makes its gap longer and the next one shorter, which the median evens out. A player that ignored
// the stamps or misread their unit would be off by the whole 10 ms gap on every frame.
void ExpectReplay(const std::vector<LogEntry>& log, const std::string& player)
{
    ASSERT_GE(log.size(), static_cast<size_t>(kFrames / 2));
    ProcessLines candump("candump -L vcan0");
    ASSERT_TRUE(Listening(candump));
    ASSERT_TRUE(RunShell(player));
    RunShell(std::string("cansend vcan0 ") + kMarker);
    ASSERT_TRUE(
        candump.WaitFor([](const std::string& line) { return line.find(kMarker) != std::string::npos; }));
    std::vector<LogEntry> replay = ReadLog(candump.Lines());
    ASSERT_EQ(replay.size(), log.size()) << player;
    std::vector<Microseconds> gapErrors;
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(LogFrameText(replay[i].frame), LogFrameText(log[i].frame)) << player << " frame " << i;
        if (i > 0) {
            Microseconds logged = log[i].time - log[i - 1].time;
            Microseconds replayed = replay[i].time - replay[i - 1].time;
            gapErrors.push_back(replayed - logged);
        }
    }
    std::sort(gapErrors.begin(), gapErrors.end());
    Microseconds median = gapErrors[gapErrors.size() / 2];
    EXPECT_LE(std::abs(median), kGapTolerance) << player << ": median gap error";
    printf("%s: gap error median %lld us, from %lld to %lld us\n", player.c_str(),
           static_cast<long long>(median), static_cast<long long>(gapErrors.front()),
           static_cast<long long>(gapErrors.back()));
}

TEST(ToolsBesideCanUtils, CanplayerReplaysACanDumpLog)
{
    std::string logFile;
    std::vector<LogEntry> log = RecordLog("can-dump", logFile);
    // canplayer looks for due frames every -g ms (1 by default), which alone takes half the tolerance
    // in the VM; with -g 0 it looks continuously, as can-play waits for each deadline.
    ExpectReplay(log, "canplayer -g 0 -I " + logFile);
}

TEST(ToolsBesideCanUtils, CanPlayReplaysACandumpLog)
{
    std::string logFile;
    std::vector<LogEntry> log = RecordLog("candump", logFile);
    ExpectReplay(log, "can-play -I " + logFile);
}

} // namespace
