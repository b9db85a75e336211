// can-send and can-dump as users run them: what can-send puts on the bus, can-dump prints in
// candump's format; errors go to standard error with a non-zero exit; Ctrl+C ends both cleanly.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <thread>

#include <unistd.h>

#include "DriverTestSupport.h"

namespace {

constexpr const char* kProbe = "7FF#";
constexpr const char* kProbeLine = "  CAN7:  7FF   [0] ";

std::vector<std::string> Tool(const char* name, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), HelperPath(name));
    return arguments;
}

class Tools : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_driver.Loaded());
        m_prober = m_driver.Open(L"CAN7:", 125);
        ASSERT_NE(m_prober, 0u);
    }
    void TearDown() override { m_driver.api.CanCloseDevice(m_prober); }

    // Starts can-dump and returns once it prints frames: it sees only frames sent after it started
    // its queue, so probes go out until the first one shows. Returns the first line after the probes.
    std::unique_ptr<cChildProcess> StartDump(std::vector<std::string> arguments)
    {
        m_probing = false;
        auto dump = std::make_unique<cChildProcess>(Tool("can-dump", arguments));
        std::thread prober([this, stop = &m_probing] {
            CanMessageDescriptor probe = Frame(kProbe);
            for (int sent = 0; !stop->load() && sent < 2000; ++sent) {
                m_driver.api.CanTransmittMessageEx(m_prober, &probe);
                std::this_thread::sleep_for(5ms);
            }
        });
        m_firstLine = dump->ReadLine();
        m_probing = true;
        prober.join();
        return dump;
    }

    // The next line that is not a probe still on its way.
    std::optional<std::string> NextLineAfterProbes(cChildProcess& dump)
    {
        std::optional<std::string> line = dump.ReadLine();
        while (line && line->find(" 7FF   [0]") != std::string::npos) {
            line = dump.ReadLine();
        }
        return line;
    }

    int Run(const char* name, std::vector<std::string> arguments, std::string* errors = nullptr)
    {
        cChildProcess tool(Tool(name, arguments));
        int status = tool.Wait();
        if (errors != nullptr) {
            *errors = tool.ReadAllErrors();
        }
        return status;
    }

    cLoadedDriver m_driver;
    DWORD m_prober = 0;
    std::atomic<bool> m_probing{false};
    std::optional<std::string> m_firstLine;
};

TEST_F(Tools, DumpPrintsWhatSendSentInCandumpFormat)
{
    auto dump = StartDump({"CAN7:"});
    ASSERT_EQ(m_firstLine, kProbeLine);
    struct Case
    {
        const char* frame;
        const char* line;
    };
    const Case cases[] = {
        {"123#DEADBEEF", "  CAN7:  123   [4]  DE AD BE EF"},
        {"12345678#11.22", "  CAN7:  12345678   [2]  11 22"},
        // From the first extended id on, standard ids are right-aligned in its 8 columns, as candump does.
        {"123#", "  CAN7:       123   [0] "},
        {"123#R", "  CAN7:       123   [0]  remote request"},
        {"123#R4", "  CAN7:       123   [4]  remote request"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Run("can-send", {"CAN7:", c.frame}), 0) << c.frame;
    }
    ASSERT_EQ(Run("can-send", {"-n", "3", "-g", "1", "can7:", "7FE#01"}), 0);
    EXPECT_EQ(NextLineAfterProbes(*dump), cases[0].line);
    for (size_t i = 1; i < std::size(cases); ++i) {
        EXPECT_EQ(dump->ReadLine(), cases[i].line);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(dump->ReadLine(), "  CAN7:       7FE   [1]  01");
    }
    dump->Signal(SIGINT);
    EXPECT_EQ(dump->Wait(), 0);
    EXPECT_EQ(dump->ReadAllErrors(), "");
}

// candump's -T: a bus quiet for that long ends the dump, successfully.
TEST_F(Tools, DumpEndsAfterTheQuietTimeOfMinusT)
{
    auto dump = StartDump({"-T", "300", "CAN7:"});
    ASSERT_EQ(m_firstLine, kProbeLine);
    EXPECT_EQ(dump->Wait(), 0);
    EXPECT_EQ(dump->ReadAllErrors(), "");
}

TEST_F(Tools, DumpWithTimestampsCountAndDropReport)
{
    auto dump = StartDump({"-t", "a", "-d", "-n", "3", "CAN7:"});
    ASSERT_TRUE(m_firstLine);
    EXPECT_TRUE(std::regex_match(*m_firstLine, std::regex(R"( \(\d{10}\.\d{6}\)  CAN7:  7FF   \[0\] )")))
        << *m_firstLine;
    CanMessageDescriptor frame = Frame("100#01");
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(m_driver.api.CanTransmittMessageEx(m_prober, &frame));
    }
    EXPECT_EQ(dump->Wait(), 0);
    std::smatch report;
    std::string errors = dump->ReadAllErrors();
    ASSERT_TRUE(std::regex_match(
        errors, report,
        std::regex(
            R"(can-dump: CAN7: (\d+) frames received, 0 dropped, bus load \d+\.\d %, error-active, TEC 0, REC 0\n)")))
        << errors;
    EXPECT_GE(std::stoul(report[1]), 3u);
}

// `can-dump CAN7: | head -n 1`: once the reader is gone, can-dump leaves the bus and dies of SIGPIPE as
// candump does, whether frames keep coming or the bus is quiet.
TEST_F(Tools, DumpEndsByBrokenPipeWhenItsReaderCloses)
{
    for (bool traffic : {true, false}) {
        auto dump = StartDump({"CAN7:"});
        ASSERT_TRUE(m_firstLine);
        dump->CloseOutput();
        CanMessageDescriptor frame = Frame("100#01");
        for (int i = 0; traffic && i < 3; ++i) {
            ASSERT_TRUE(m_driver.api.CanTransmittMessageEx(m_prober, &frame));
        }
        EXPECT_EQ(dump->Wait(), 128 + SIGPIPE) << (traffic ? "with" : "without") << " traffic";
        EXPECT_EQ(dump->ReadAllErrors(), "");
    }
}

TEST_F(Tools, SendOfRandomFramesEndsCleanlyOnCtrlC)
{
    auto dump = StartDump({"CAN7:"});
    cChildProcess sender(Tool("can-send", {"-r", "-g", "2", "CAN7:"}));
    std::regex randomLine(R"(  CAN7:  [0-7][0-9A-F]{2}   \[([0-8])\] ( [0-9A-F]{2})*)");
    for (int i = 0; i < 5; ++i) {
        std::optional<std::string> line = NextLineAfterProbes(*dump);
        ASSERT_TRUE(line);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(*line, match, randomLine)) << *line;
        EXPECT_EQ(line->size(), 19 + 3 * std::stoul(match[1])) << *line;
    }
    sender.Signal(SIGINT);
    EXPECT_EQ(sender.Wait(), 0);
    EXPECT_EQ(sender.ReadAllErrors(), "");
}

// A log candump wrote, played onto CAN7: by assignment: the frames of the assigned log device arrive as
// logged; the error frame and the other device's frame are skipped, and the report counts them all.
TEST_F(Tools, PlayReplaysACandumpLogOntoTheAssignedDevice)
{
    char path[] = "/tmp/can-play-test-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    const std::string log = "(1436509052.249713) vcan0 123#DEADBEEF\n"
                            "(1436509052.259713) vcan0 12345678#1122\n"
                            "(1436509052.269713) vcan0 20000004#0004000000000000\n"
                            "(1436509052.279713)  can1 321#R\n"
                            "(1436509052.289713) vcan0 7FE#\n";
    ASSERT_EQ(write(file, log.data(), log.size()), static_cast<ssize_t>(log.size()));
    close(file);
    auto dump = StartDump({"CAN7:"});
    std::string errors;
    EXPECT_EQ(Run("can-play", {"-I", path, "CAN7:=vcan0"}, &errors), 0);
    unlink(path);
    EXPECT_TRUE(
        std::regex_match(errors, std::regex(R"(can-play: 3 frames sent, 0 refused, 2 skipped; the latest )"
                                            R"(frame went out \d+\.\d{3} ms after its time \(line \d\)\n)")))
        << errors;
    EXPECT_EQ(NextLineAfterProbes(*dump), "  CAN7:  123   [4]  DE AD BE EF");
    EXPECT_EQ(dump->ReadLine(), "  CAN7:  12345678   [2]  11 22");
    EXPECT_EQ(dump->ReadLine(), "  CAN7:       7FE   [0] "); // after an extended id, as candump
}

// A member that sends back to back with the lowest identifier keeps every frame of can-send off the
// bus; closing drops what is still queued after its second. can-send must not call that a success. At
// 10 kbit/s each of the holder's frames lasts 13 ms, time enough even on a loaded machine to bid for
// the next slot before it is given.
TEST_F(Tools, SendReportsTheFramesAHeldBusNeverTook)
{
    cChildProcess holder(Tool("can-send", {"-b", "10", "-n", "1000000", "CAN7:", "000#0011223344556677"}));
    std::this_thread::sleep_for(300ms); // its queue full, its frames back to back
    std::string errors;
    EXPECT_EQ(Run("can-send", {"-b", "10", "-n", "20", "CAN7:", "123#11"}, &errors), 1);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        errors, match, std::regex(R"(^can-send: ([0-9]+) of 20 frames were not sent \(\1 still queued )")))
        << errors;
    EXPECT_GT(std::stoi(match[1]), 0);
}

// A can-send alone at its rate says so, and who is on the bus instead: once as a note when the bus
// acknowledges its frames anyway, and as the failure of the frame nobody acknowledged, after the
// second closing gives it, when acknowledgement comes from the wire.
TEST_F(Tools, SendAloneAtItsRateSaysSo)
{
    const struct
    {
        const char* acknowledgement;
        int status;
        const char* errors;
    } cases[] = {
        {"always", 0,
         "can-send: nobody else is on CAN7: at 125 kbit/s to receive its frames (others are at 500 "
         "kbit/s)\n"},
        {"wire", 1,
         "can-send: no node acknowledged 123#11: nobody else at 125 kbit/s is on CAN7: (others are at 500 "
         "kbit/s) "
         "(1 of 1 frames were not sent)\n"},
    };
    ASSERT_TRUE(m_driver.SetRate(m_prober, 500)); // on the bus, at another rate
    for (const auto& c : cases) {
        setenv("RVCAN32CE_BUS_ACK", c.acknowledgement, 1);
        std::string errors;
        int status = Run("can-send", {"CAN7:", "123#11"}, &errors);
        unsetenv("RVCAN32CE_BUS_ACK");
        EXPECT_EQ(status, c.status) << c.acknowledgement;
        EXPECT_EQ(errors, c.errors);
    }
}

struct ErrorCase
{
    const char* tool;
    std::vector<std::string> arguments;
    int status;
    const char* firstErrorLine;
    const char* group = nullptr; // RVCAN32CE_GROUP for the tool, when set
};

TEST_F(Tools, ReportErrorsOnStandardErrorAndExitNonZero)
{
    // A value from the environment is quoted and cut, so that it can forge no line of the error.
    static const std::string hostileGroup = "evil\n" + std::string(4995, 'x');
    static const std::string hostileGroupError =
        "can-dump: CanCreateDevice(CAN7:) failed: RVCAN32CE_GROUP=\"evil\\n" + std::string(59, 'x') +
        "...\"(5000 bytes): there is no such group";
    // A NUL inside a log line once ended the line there, and the frame before it was sent.
    char nulLog[] = "/tmp/can-play-nul-XXXXXX";
    int file = mkstemp(nulLog);
    ASSERT_GE(file, 0);
    const char withNulText[] = "(1436509052.249713) CAN7: 123#AA\0 junk\n";
    const std::string withNul(withNulText, sizeof(withNulText) - 1);
    ASSERT_EQ(write(file, withNul.data(), withNul.size()), static_cast<ssize_t>(withNul.size()));
    close(file);
    const std::string nulError =
        std::string("can-play: ") + nulLog +
        " line 1: the line holds a NUL byte: not a log line (a binary or damaged file?)";
    const ErrorCase cases[] = {
        {"can-send",
         {"-b", "33", "CAN7:", "123#00"},
         2,
         "can-send: -b 33: not a bit rate; use 10, 20, 50, 100, 125, 250, 500, 800 or 1000 kbit/s (500, 500k "
         "and 500000 are the same)"},
        {"can-dump",
         {"-b", "1001k", "CAN7:"},
         2,
         "can-dump: -b 1001k: not a bit rate; use 10, 20, 50, 100, 125, 250, 500, 800 or 1000 kbit/s (500, "
         "500k and 500000 are the same)"},
        {"can-send",
         {"CAN12:", "123#00"},
         2,
         "can-send: CAN12: is not a device: no SocketCAN interface is named CAN12: ('ip link show type can' "
         "and 'ip link show type vcan' list them); the virtual buses are CAN0: to CAN9:, and "
         "RVCAN32CE_CANn=IFACE puts CANn: on an interface"},
        {"can-dump",
         {"CAN7"},
         2,
         "can-dump: CAN7 is not a device: the virtual bus is CAN7: (with the colon), and no SocketCAN "
         "interface is named CAN7"},
        {"can-dump",
         {"CAN7:,123:7FF,12#34"},
         2,
         "can-dump: CAN7:,123:7FF,12#34: filter 12#34: expected ID:MASK, ID~MASK (inverted), #ERRORMASK or "
         "j, "
         "e.g. 123:7FF"},
        {"can-dump",
         {"CAN7:"},
         1,
         "can-dump: CanCreateDevice(CAN7:) failed: RVCAN32CE_GROUP=\"nogroup\": this process is not a member "
         "of "
         "group nogroup; add the user to it (then log in again) or unset RVCAN32CE_GROUP for private buses",
         "nogroup"},
        {"can-dump", {"CAN7:"}, 1, hostileGroupError.c_str(), hostileGroup.c_str()},
        {"can-send",
         {"CAN7:", "1234#00"},
         2,
         "can-send: 1234#00: the id must have 3 hex digits (standard) or 8 (extended)"},
        {"can-send", {"CAN7:"}, 2, "can-send: expected DEVICE and ID#DATA"},
        {"can-play", {"-l", "2"}, 2, "can-play: -l needs -I FILE: standard input cannot be read twice"},
        {"can-play", {"-I", nulLog, "CAN7:=CAN7:"}, 1, nulError.c_str()},
        {"can-send", {"-n", "x", "CAN7:", "123#"}, 2, "can-send: -n needs a whole number, not x"},
        {"can-dump", {}, 2, "can-dump: expected a DEVICE"},
        {"can-dump",
         {"-x", "CAN7:"},
         2,
         "can-dump: -x is candump's, not taken here: the driver does not say which frames this machine sent "
         "(candump's TX/RX), and classic CAN has no BRS/ESI"},
        {"can-serve",
         {"-b", "33"},
         2,
         "can-serve: -b 33: not a bit rate; use 10, 20, 50, 100, 125, 250, 500, 800 or 1000 kbit/s (500, "
         "500k and 500000 are the same)"},
        {"can-serve",
         {"can7"},
         2,
         "can-serve: can7 is not a device: the virtual bus is CAN7: or CAN7 (in capitals), and no SocketCAN "
         "interface is named can7"},
        {"can-fault",
         {"-o", "-e", "ack", "CAN7:", "123"},
         2,
         "can-fault: -o with -e ack would never end: an error-passive sender's acknowledgement errors count "
         "nothing, so it never goes bus-off; use another error"},
        {"can-fault",
         {"-n", "2", "-t", "100", "CAN7:"},
         2,
         "can-fault: -n, -o, -t, -l and -c each ask for something else: give one of them"},
        {"can-fault",
         {"-l", "CAN7:"},
         1,
         "can-fault: CAN7: cannot be opened: RVCAN32CE_GROUP=\"nogroup\": this process is not a member of "
         "group nogroup; add the user to it (then log in again) or unset RVCAN32CE_GROUP for private buses",
         "nogroup"},
    };
    for (const ErrorCase& c : cases) {
        if (c.group != nullptr) {
            setenv("RVCAN32CE_GROUP", c.group, 1); // the open devices of this process keep their bus
        }
        std::string errors;
        EXPECT_EQ(Run(c.tool, c.arguments, &errors), c.status) << c.firstErrorLine;
        unsetenv("RVCAN32CE_GROUP");
        EXPECT_EQ(errors.substr(0, errors.find('\n')), c.firstErrorLine);
    }
    unlink(nulLog);
}

TEST_F(Tools, HelpPrintsTheUsageOnStandardOutputAndExitsZero)
{
    // can-check too: a terminal user's first question does not start the console.
    for (const char* name : {"can-send", "can-dump", "can-play", "can-serve", "can-fault", "can-check"}) {
        for (const char* option : {"-h", "--help"}) {
            cChildProcess tool(Tool(name, {option}));
            EXPECT_EQ(tool.ReadLine().value_or("").rfind(std::string("usage: ") + name + " ", 0), 0u)
                << name << " " << option;
            EXPECT_EQ(tool.Wait(), 0) << name << " " << option;
            EXPECT_EQ(tool.ReadAllErrors(), "") << name << " " << option;
        }
    }
}

} // namespace
