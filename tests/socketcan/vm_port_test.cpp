// The port (cCanPort) and the bus tools on a SocketCAN interface, against can-utils. Runs inside the
// SocketCAN VM (run-vm-tests.sh) with RVCAN32CE_CAN1=vcan0 and root rights.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/time.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "FrameRules.h"
#include "ProcessLines.h"
#include "cCanPacket.h"
#include "cCanPort.h"
#include "cDriverDevice.h"

namespace {

// What the receive function got. Written by the driver's receive thread, read by the test; g_lock
// guards it.
std::mutex g_lock;
std::condition_variable g_arrived;
std::vector<CanMessageDescriptor> g_received;

void WINAPI Collect(CanMessageDescriptor* message)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_received.push_back(*message);
    g_arrived.notify_all();
}

bool WaitForReceived(size_t count)
{
    std::unique_lock<std::mutex> lock(g_lock);
    return g_arrived.wait_for(lock, std::chrono::seconds(10), [&] { return g_received.size() >= count; });
}

std::vector<CanMessageDescriptor> Received()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_received;
}

size_t ThreadCount()
{
    auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

uint32_t WallClockMilliseconds()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000);
}

cCanPacket Packet(uint32_t id, bool extended, std::vector<uint8_t> data, bool remote = false)
{
    cCanPacket packet;
    packet.extended = extended ? 1 : 0;
    packet.remote = remote ? 1 : 0;
    packet.SetId(id);
    packet.length = static_cast<uint32_t>(data.size());
    std::copy(data.begin(), data.end(), packet.data);
    return packet;
}

// Ends the test program if a step hangs (a stop that never returns, a send that blocks).
class Watchdog
{
public:
    Watchdog()
        : m_thread([this] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_done.wait_for(lock, std::chrono::seconds(30), [this] { return m_finished; })) {
                  fprintf(stderr, "watchdog: a step hung for 30 s\n");
                  abort();
              }
          })
    {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

class PortOnVcan : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_STREQ(getenv("RVCAN32CE_CAN1"), "vcan0");
        {
            std::lock_guard<std::mutex> lock(g_lock);
            g_received.clear();
        }
        ASSERT_EQ(port.OpenWithBaudrate(1, 125), 0);
        ASSERT_EQ(port.StartReceive(Collect), 0);
    }
    void TearDown() override
    {
        port.StopReceive();
        port.Close();
    }

    Watchdog watchdog;
    cCanPort port;
};

struct CansendCase
{
    const char* name;
    const char* text;
    uint32_t extended;
    uint32_t id;
    uint32_t remote;
    uint16_t length;
    std::vector<uint8_t> data;
};

const std::vector<CansendCase> kCansendCases = {
    {"Standard", "123#DEADBEEF", 0, 0x123, 0, 4, {0xDE, 0xAD, 0xBE, 0xEF}},
    {"Extended",
     "12345678#1122334455667788",
     1,
     0x12345678,
     0,
     8,
     {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
    {"ZeroLength", "7FF#", 0, 0x7FF, 0, 0, {}},
    {"EightBytes", "000#0102030405060708", 0, 0, 0, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
    {"Remote", "456#R", 0, 0x456, 1, 0, {}},
    {"ExtendedRemote", "1FFFFFFF#R", 1, 0x1FFFFFFF, 1, 0, {}},
};

TEST_F(PortOnVcan, CansendFramesReachTheReceiveFunctionWithTheirFields)
{
    for (size_t i = 0; i < kCansendCases.size(); ++i) {
        const CansendCase& c = kCansendCases[i];
        SCOPED_TRACE(c.name);
        uint32_t before = WallClockMilliseconds();
        ASSERT_TRUE(RunShell(std::string("cansend vcan0 ") + c.text));
        ASSERT_TRUE(WaitForReceived(i + 1));
        uint32_t after = WallClockMilliseconds();
        CanMessageDescriptor got = Received()[i];
        EXPECT_EQ(got.extended, c.extended);
        EXPECT_EQ(got.id, c.id);
        EXPECT_EQ(got.remote, c.remote);
        EXPECT_EQ(got.length, c.length);
        EXPECT_EQ(std::vector<uint8_t>(got.data, got.data + got.length), c.data);
        // The kernel's receive time, on the wall clock in ms, lies between the two readings.
        EXPECT_LE(got.timestamp - before, after - before);
    }
    EXPECT_EQ(Received().size(), kCansendCases.size());
}

TEST_F(PortOnVcan, OwnFramesComeBack)
{
    ASSERT_EQ(port.Send(Packet(0x321, false, {0xAA, 0x55})), 0);
    ASSERT_TRUE(WaitForReceived(1));
    CanMessageDescriptor got = Received()[0];
    EXPECT_EQ(got.id, 0x321u);
    EXPECT_EQ(got.length, 2u);
    EXPECT_EQ(got.data[0], 0xAA);
    EXPECT_EQ(got.data[1], 0x55);
    EXPECT_EQ(got.reserved, kReservedOwnFrame); // the kernel's MSG_CONFIRM: this socket sent it
}

// cansend's frames come from another socket: not marked as own; a remote frame's DLC is in reserved.
TEST_F(PortOnVcan, RemoteFrameOfAnotherSocketKeepsItsDlc)
{
    ASSERT_TRUE(RunShell("cansend vcan0 456#R3"));
    ASSERT_TRUE(WaitForReceived(1));
    CanMessageDescriptor got = Received()[0];
    EXPECT_EQ(got.remote, 1u);
    EXPECT_EQ(got.length, 0u);
    EXPECT_EQ(got.reserved, 3u << kReservedRemoteDlcShift);
}

TEST_F(PortOnVcan, PortFramesAreSeenByCandumpExactly)
{
    ProcessLines candump("candump -L vcan0");
    ASSERT_TRUE(candump.WaitUntilListening("vcan0 7FF#AA", [] { RunShell("cansend vcan0 7FF#AA"); }));
    const std::vector<std::pair<cCanPacket, std::string>> sent = {
        {Packet(0x123, false, {0x00, 0x22, 0x44, 0x88, 0xAA, 0xBB, 0xEE, 0xFF}),
         "vcan0 123#00224488AABBEEFF"},
        {Packet(0x1ABCDEF0, true, {0x01}), "vcan0 1ABCDEF0#01"},
        {Packet(0x7FF, false, {}), "vcan0 7FF#"},
        {Packet(0x200, false, {}, true), "vcan0 200#R"},
    };
    for (const auto& [packet, line] : sent) {
        ASSERT_EQ(port.Send(packet), 0);
    }
    ASSERT_TRUE(
        candump.WaitFor([&](const std::string& l) { return WithoutTimestamp(l) == sent.back().second; }));
    std::vector<std::string> ours;
    for (const std::string& line : candump.Lines()) {
        if (WithoutTimestamp(line) != "vcan0 7FF#AA") {
            ours.push_back(WithoutTimestamp(line));
        }
    }
    std::vector<std::string> expected;
    for (const auto& entry : sent) {
        expected.push_back(entry.second);
    }
    EXPECT_EQ(ours, expected);
}

TEST(ToolsOnVcan, CanSendFramesAreSeenByCandump)
{
    Watchdog watchdog;
    ProcessLines candump("candump -L vcan0");
    ASSERT_TRUE(candump.WaitUntilListening("vcan0 7FF#AA", [] { RunShell("cansend vcan0 7FF#AA"); }));
    for (const char* frame : {"123#DEADBEEF", "12345678#11.22", "5A5#", "321#R", "7FE#0102030405060708"}) {
        ASSERT_TRUE(RunShell(std::string("can-send CAN1: ") + frame));
        std::string expected = std::string("vcan0 ") + frame;
        if (expected == "vcan0 12345678#11.22") {
            expected = "vcan0 12345678#1122";
        }
        EXPECT_TRUE(candump.WaitFor([&](const std::string& l) { return WithoutTimestamp(l) == expected; }))
            << expected;
    }
}

TEST(ToolsOnVcan, CansendFramesAreSeenByCanDump)
{
    Watchdog watchdog;
    ProcessLines canDump("can-dump CAN1:");
    ASSERT_TRUE(canDump.WaitUntilListening("7FF   [1]  AA", [] { RunShell("cansend vcan0 7FF#AA"); }));
    const std::vector<std::pair<const char*, const char*>> frames = {
        {"123#DEADBEEF", "  CAN1:  123   [4]  DE AD BE EF"},
        {"12345678#1122334455667788", "  CAN1:  12345678   [8]  11 22 33 44 55 66 77 88"},
        // After an extended id, standard ids right-aligned in its 8 columns, as candump prints them.
        {"0AB#", "  CAN1:       0AB   [0] "},
        {"321#R", "  CAN1:       321   [0]  remote request"},
    };
    for (const auto& [text, line] : frames) {
        ASSERT_TRUE(RunShell(std::string("cansend vcan0 ") + text));
        std::string expected = line;
        EXPECT_TRUE(canDump.WaitFor([&](const std::string& l) { return l == expected; })) << expected;
    }
}

TEST(DriverOnVcan, ErrorFramesAreCountedNotDelivered)
{
    Watchdog watchdog;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_received.clear();
    }
    cDriverDevice device;
    std::string error;
    ASSERT_TRUE(device.Open("CAN1:", 125, error)) << error;
    ASSERT_TRUE(device.StartReceive(Collect, error)) << error;
    // An eight-digit id with bit 29 set is an error frame to cansend (here: controller problems).
    ASSERT_TRUE(RunShell("cansend vcan0 20000004#0004000000000000"));
    ASSERT_TRUE(RunShell("cansend vcan0 111#01"));
    ASSERT_TRUE(WaitForReceived(1));
    device.StopReceive();
    std::vector<CanMessageDescriptor> got = Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x111u);
    RvCanCounters counters{};
    ASSERT_TRUE(device.ReadCounters(counters));
    EXPECT_EQ(counters.received, 1u);
    EXPECT_EQ(counters.errorFrames, 1u);
    EXPECT_EQ(counters.dropped, 0u);
}

// vcan has no bit timing: the console's nine rates are taken as they are, any other rate is refused.
TEST_F(PortOnVcan, NineRatesAreAcceptedOthersRefused)
{
    for (int32_t rate : {10, 20, 50, 100, 125, 250, 500, 800, 1000}) {
        EXPECT_EQ(port.SetBaudrate(rate), 0) << rate;
    }
    for (int32_t rate : {0, 33, 2000}) {
        EXPECT_EQ(port.SetBaudrate(rate), -1) << rate;
    }
}

// vxcan has no bit timing either; only a CAN controller ("can" in `ip -d link`) is given a rate.
TEST(DriverOnVcan, VxcanTakesTheNineRatesToo)
{
    Watchdog watchdog;
    ASSERT_TRUE(
        RunShell("ip link add vxa type vxcan peer name vxb && ip link set vxa up && ip link set vxb up"));
    setenv("RVCAN32CE_CAN4", "vxa", 1);
    cCanPort port;
    EXPECT_EQ(port.OpenWithBaudrate(4, 500), 0);
    EXPECT_EQ(port.SetBaudrate(1000), 0);
    EXPECT_EQ(port.SetBaudrate(33), -1);
    port.Close();
    unsetenv("RVCAN32CE_CAN4");
    RunShell("ip link del vxa");
}

// An interface that is gone cannot take any rate; nothing can be sent to it either.
TEST(DriverOnVcan, InterfaceRemovedAfterOpeningRefusesRateAndSends)
{
    Watchdog watchdog;
    ASSERT_TRUE(RunShell("ip link add vcan5 type vcan && ip link set vcan5 up"));
    setenv("RVCAN32CE_CAN5", "vcan5", 1);
    cCanPort port;
    ASSERT_EQ(port.OpenWithBaudrate(5, 125), 0);
    ASSERT_EQ(port.StartReceive(Collect), 0);
    ASSERT_TRUE(RunShell("ip link del vcan5"));
    EXPECT_EQ(port.SetBaudrate(250), -1);
    EXPECT_EQ(port.Send(Packet(0x123, false, {1})), -1);
    EXPECT_EQ(port.StopReceive(), 0);
    EXPECT_EQ(port.Close(), 0);
    unsetenv("RVCAN32CE_CAN5");
}

TEST(DriverOnVcan, MappingToMissingOrNonCanInterfaceFailsToOpen)
{
    Watchdog watchdog;
    cCanPort port;
    setenv("RVCAN32CE_CAN6", "nosuchcan", 1);
    EXPECT_EQ(port.OpenWithBaudrate(6, 125), -1);
    setenv("RVCAN32CE_CAN6", "lo", 1);
    EXPECT_EQ(port.OpenWithBaudrate(6, 125), -1);
    unsetenv("RVCAN32CE_CAN6");
}

TEST_F(PortOnVcan, InterfaceGoingDownRefusesSendsAndComesBack)
{
    ASSERT_TRUE(RunShell("ip link set vcan0 down"));
    EXPECT_EQ(port.Send(Packet(0x123, false, {1})), -1);
    EXPECT_EQ(port.Send(Packet(0x123, false, {2})), -1);
    ASSERT_TRUE(RunShell("ip link set vcan0 up"));
    ASSERT_EQ(port.Send(Packet(0x124, false, {3})), 0);
    ASSERT_TRUE(WaitForReceived(1));
    EXPECT_EQ(Received()[0].id, 0x124u);
}

TEST(DriverOnVcan, StoppingWhileFramesFloodLeavesNoThread)
{
    Watchdog watchdog;
    ProcessLines flood("cangen vcan0 -g 0"); // until the test ends: its reader thread stays
    size_t threadsBefore = ThreadCount();
    cDriverDevice device;
    std::string error;
    ASSERT_TRUE(device.Open("CAN1:", 125, error)) << error;
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(device.StartReceive(Collect, error)) << error;
        device.StopReceive(); // returns only when the function is not running
    }
    device.Close();
    // A joined thread leaves /proc a moment after the join returns; a leaked one never does.
    for (int wait = 0; wait < 200 && ThreadCount() != threadsBefore; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

} // namespace
