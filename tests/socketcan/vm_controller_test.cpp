// The driver, the bus tools and the console on real CAN controllers: can0 and can1, two emulated
// SJA1000s on one bus, inside the SocketCAN VM (run-vm-tests.sh) with RVCAN32CE_CAN1=can0. The tests
// named Unprivileged* run as an ordinary user without capabilities, with both controllers up at
// 500 kbit/s; the others run as root.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "ConsoleHarness.h"
#include "ConsoleIds.h"
#include "ProcessLines.h"
#include "cCanPacket.h"
#include "cCanPort.h"

namespace {

constexpr uint32_t kPrivilegedRunRate = 500000; // what run-vm-tests.sh leaves both controllers at

struct ShellResult
{
    int status = -1;
    std::string output; // stdout and stderr
};

ShellResult RunCapturing(const std::string& command)
{
    ShellResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        result.output += buffer;
    }
    result.status = pclose(pipe);
    return result;
}

std::string SysfsValue(const std::string& interfaceName, const std::string& name)
{
    std::ifstream file("/sys/class/net/" + interfaceName + "/" + name);
    std::string value;
    std::getline(file, value);
    return value;
}

bool IsUp(const std::string& interfaceName)
{
    return (std::stoul(SysfsValue(interfaceName, "flags"), nullptr, 16) & 1) != 0; // IFF_UP
}

// Each time the interface goes down and up again the count grows: a controller left as it was keeps it.
std::string CarrierChanges(const std::string& interfaceName)
{
    return SysfsValue(interfaceName, "carrier_changes");
}

// The rate `ip -d link` shows; 0 while the controller has none.
uint32_t Bitrate(const std::string& interfaceName)
{
    std::string details = RunCapturing("ip -d link show " + interfaceName).output;
    size_t at = details.find(" bitrate ");
    return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(details.substr(at + 9)));
}

bool RunAt(const std::string& interfaceName, uint32_t bitsPerSecond)
{
    return RunShell("ip link set " + interfaceName + " down && ip link set " + interfaceName +
                    " type can bitrate " + std::to_string(bitsPerSecond) + " && ip link set " +
                    interfaceName + " up");
}

// Gives the controller back to its driver, which registers it anew: down, with no bit rate, as a
// freshly plugged-in adapter.
void MakeFresh(const std::string& interfaceName)
{
    std::string device =
        RunCapturing("basename $(readlink /sys/class/net/" + interfaceName + "/device)").output;
    device.erase(device.find_last_not_of('\n') + 1);
    std::string driver = "/sys/bus/pci/drivers/kvaser_pci/";
    ASSERT_TRUE(
        RunShell("echo " + device + " >" + driver + "unbind && echo " + device + " >" + driver + "bind"));
    ASSERT_TRUE(RunShell("for i in $(seq 50); do [ -e /sys/class/net/" + interfaceName +
                         " ] && break; sleep 0.1; done; [ -e /sys/class/net/" + interfaceName + " ]"));
    ASSERT_FALSE(IsUp(interfaceName));
    ASSERT_EQ(Bitrate(interfaceName), 0u);
}

cCanPacket Packet(uint32_t id, std::vector<uint8_t> data)
{
    cCanPacket packet;
    packet.extended = 0;
    packet.remote = 0;
    packet.SetId(id);
    packet.length = static_cast<uint32_t>(data.size());
    std::copy(data.begin(), data.end(), packet.data);
    return packet;
}

// What a command printed, for a failure message.
std::string Output(const ProcessLines& command)
{
    std::string text;
    for (const std::string& line : command.Lines()) {
        text += line + "\n";
    }
    return text;
}

bool CandumpShows(ProcessLines& candump, const std::string& expected)
{
    return candump.WaitFor([&](const std::string& line) { return WithoutTimestamp(line) == expected; });
}

// A candump on can1 that surely listens: it has seen a frame of its own interface's.
bool StartListeningOnCan1(ProcessLines& candump)
{
    return candump.WaitUntilListening("can1 7FF#AA", [] { RunShell("cansend can1 7FF#AA"); });
}

bool StartListeningCanDump(ProcessLines& canDump)
{
    return canDump.WaitUntilListening("7FF   [1]  AA", [] { RunShell("cansend can1 7FF#AA"); });
}

class OnController : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_STREQ(getenv("RVCAN32CE_CAN1"), "can0");
        ASSERT_EQ(geteuid(), 0u) << "runs as root";
    }

    Watchdog watchdog{"a controller test", std::chrono::seconds(90)};
};

TEST_F(OnController, FreshControllerIsGivenTheRateAndBroughtUp)
{
    MakeFresh("can0");
    ASSERT_TRUE(RunAt("can1", 500000));
    ProcessLines canDump("can-dump -b 500 CAN1:");
    ASSERT_TRUE(StartListeningCanDump(canDump)) << Output(canDump);
    EXPECT_TRUE(IsUp("can0"));
    EXPECT_EQ(Bitrate("can0"), 500000u);
    ASSERT_TRUE(RunShell("cansend can1 123#DEADBEEF"));
    EXPECT_TRUE(canDump.WaitFor([](const std::string& l) { return l == "  CAN1:  123   [4]  DE AD BE EF"; }));
}

// A live controller is shared: a tool asked for another rate refuses, saying how to change it on
// purpose, and the controller runs on untouched; taken down as the refusal says, the next connect sets it.
TEST_F(OnController, ControllerUpAtAnotherRateIsRefusedUntilTakenDownOnPurpose)
{
    ASSERT_TRUE(RunAt("can0", 500000));
    ASSERT_TRUE(RunAt("can1", 125000));
    std::string changesBefore = CarrierChanges("can0");
    ShellResult refused = RunCapturing("can-send -b 125 CAN1: 456#03");
    EXPECT_NE(refused.status, 0) << refused.output;
    EXPECT_NE(refused.output.find("can0 is up at 500000 bit/s, shared, so not changed for one program: "
                                  "connect at 500 kbit/s, or change it on purpose: 'ip link set can0 down'"),
              std::string::npos)
        << refused.output;
    EXPECT_EQ(Bitrate("can0"), 500000u);
    EXPECT_EQ(CarrierChanges("can0"), changesBefore) << "the controller was taken down";

    ProcessLines candump("candump -L can1");
    ASSERT_TRUE(StartListeningOnCan1(candump));
    ASSERT_TRUE(RunShell("ip link set can0 down"));
    ShellResult sent = RunCapturing("can-send -b 125 CAN1: 456#03");
    EXPECT_EQ(sent.status, 0) << sent.output;
    EXPECT_TRUE(CandumpShows(candump, "can1 456#03"));
    EXPECT_TRUE(IsUp("can0"));
    EXPECT_EQ(Bitrate("can0"), 125000u);
}

// Frames of the flood's two ids that came back to the sending port. On a controller a frame comes back
// only once it was sent on the bus, so these are what really went out. Written by the driver's
// receive thread, read by the test after the port stopped.
std::atomic<int> g_floodEchoes{0};
std::atomic<bool> g_endMarkEchoed{false};

void WINAPI CountFloodEchoes(CanMessageDescriptor* message)
{
    if (message->id == 0x100) {
        g_floodEchoes.fetch_add(1);
    } else if (message->id == 0x101) {
        g_endMarkEchoed.store(true);
    }
}

// The console's own send path, as fast as it goes, while cangen fills the same transmit queue: each
// send is sent or refused within the bounded wait (plus the emulation's scheduling), and exactly the
// frames reported sent go out on the bus.
TEST_F(OnController, FloodIsSentOrRefusedWithinTheBoundedWait)
{
    constexpr int kFrames = 3000;
    ASSERT_TRUE(RunAt("can0", 500000));
    ASSERT_TRUE(RunAt("can1", 500000));
    cCanPort port;
    ASSERT_EQ(port.OpenWithBaudrate(1, 500), 0);
    ASSERT_EQ(port.StartReceive(CountFloodEchoes), 0);
    ProcessLines rival("cangen can0 -g 0 -i -I 200 -L 8");
    int sent = 0;
    int refused = 0;
    int waited = 0; // sends that met a full queue and had to wait (took more than 1 ms)
    std::chrono::steady_clock::duration longest{};
    for (int i = 0; i < kFrames; ++i) {
        auto start = std::chrono::steady_clock::now();
        int result = port.Send(Packet(0x100, {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}));
        auto took = std::chrono::steady_clock::now() - start;
        longest = std::max(longest, took);
        waited += took > std::chrono::milliseconds(1) ? 1 : 0;
        (result == 0 ? sent : refused) += 1;
    }
    RunShell("kill $(pidof cangen)");
    // The end mark follows the flood through the same queue: when it is back, so is everything before.
    for (int tries = 0; tries < 100 && port.Send(Packet(0x101, {})) != 0; ++tries) {
    }
    for (int wait = 0; wait < 500 && !g_endMarkEchoed.load(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    port.StopReceive();
    port.Close();
    long longestMs = std::chrono::duration_cast<std::chrono::milliseconds>(longest).count();
    printf("flood of %d frames on can0 beside cangen: %d sent, %d refused, %d waited for the queue, "
           "longest send %ld ms\n",
           kFrames, sent, refused, waited, longestMs);
    EXPECT_TRUE(g_endMarkEchoed.load());
    EXPECT_EQ(sent + refused, kFrames);
    EXPECT_LT(longestMs, 1000) << "a send hung";
    EXPECT_EQ(g_floodEchoes.load(), sent);
}

struct ConsoleCase
{
    int listIndex;
    int32_t kbitPerSecond;
    uint32_t can0Before; // the rate can0 is left down at; 0: a fresh controller
};

class ConsoleOnController : public OnController, public testing::WithParamInterface<ConsoleCase>
{
};

TEST_P(ConsoleOnController, ConnectsAtTheRateSendsAndLists)
{
    const ConsoleCase& c = GetParam();
    if (c.can0Before == 0) {
        MakeFresh("can0");
    } else {
        ASSERT_TRUE(RunAt("can0", c.can0Before));
        ASSERT_TRUE(RunShell("ip link set can0 down"));
    }
    ASSERT_TRUE(RunAt("can1", static_cast<uint32_t>(c.kbitPerSecond) * 1000));
    ProcessLines candump("candump -L can1");
    ASSERT_TRUE(StartListeningOnCan1(candump));
    ConsoleProgram console;
    console.Select(kBaudrates, c.listIndex);
    console.Press(kConnect);
    ASSERT_EQ(console.Text(kConnect), L"Close");
    ASSERT_EQ(FindErrorBox(), nullptr);
    EXPECT_EQ(Bitrate("can0"), static_cast<uint32_t>(c.kbitPerSecond) * 1000);

    console.Press(kTransmit);
    EXPECT_TRUE(CandumpShows(candump, "can1 123#00224488AABBEEFF"));
    ASSERT_TRUE(RunShell("cansend can1 456#0102"));
    EXPECT_TRUE(console.WaitFor([&] {
        for (int row = 0; row < console.RowCount(); ++row) {
            if (console.Cell(row, 0) == L"456" && console.Cell(row, 4) == L"01 02 ") {
                return true;
            }
        }
        return false;
    }));
    console.Press(kConnect);
    EXPECT_EQ(console.Cancel(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, ConsoleOnController,
                         testing::Values(ConsoleCase{4, 125, 0}, ConsoleCase{6, 500, 125000}),
                         [](const auto& info) { return std::to_string(info.param.kbitPerSecond) + "kbit"; });

class UnprivilegedOnController : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_STREQ(getenv("RVCAN32CE_CAN1"), "can0");
        ASSERT_NE(geteuid(), 0u) << "runs as an ordinary user";
        ASSERT_TRUE(IsUp("can0"));
        ASSERT_EQ(Bitrate("can0"), kPrivilegedRunRate);
        changesBefore = CarrierChanges("can0");
    }
    void TearDown() override
    {
        EXPECT_TRUE(IsUp("can0"));
        EXPECT_EQ(Bitrate("can0"), kPrivilegedRunRate);
        EXPECT_EQ(CarrierChanges("can0"), changesBefore) << "the controller was taken down";
    }

    Watchdog watchdog{"an unprivileged controller test", std::chrono::seconds(60)};
    std::string changesBefore;
};

TEST_F(UnprivilegedOnController, AtTheRunningRateSendsAndReceives)
{
    ProcessLines candump("candump -L can1");
    ASSERT_TRUE(StartListeningOnCan1(candump));
    ShellResult sent = RunCapturing("can-send -b 500 CAN1: 321#11");
    EXPECT_EQ(sent.status, 0) << sent.output;
    EXPECT_TRUE(CandumpShows(candump, "can1 321#11"));

    ProcessLines canDump("can-dump -b 500 CAN1:");
    ASSERT_TRUE(StartListeningCanDump(canDump)) << Output(canDump);
    ASSERT_TRUE(RunShell("cansend can1 654#AABB"));
    EXPECT_TRUE(canDump.WaitFor([](const std::string& l) { return l == "  CAN1:  654   [2]  AA BB"; }));
}

TEST_F(UnprivilegedOnController, RateChangeIsRefusedAndTheToolsSayWhy)
{
    for (const char* command : {"can-send -b 125 CAN1: 456#03", "can-dump -b 125 -n 1 CAN1:"}) {
        ShellResult result = RunCapturing(std::string("timeout 20 ") + command);
        EXPECT_NE(result.status, 0) << command;
        EXPECT_NE(result.output.find("can0 is up at 500000 bit/s, shared"), std::string::npos)
            << result.output;
        EXPECT_NE(result.output.find("ip link set can0 type can bitrate 125000"), std::string::npos)
            << result.output;
    }
}

TEST_F(UnprivilegedOnController, ConsoleAtAnotherRateShowsTheErrorBox)
{
    ConsoleProgram console;
    console.Select(kBaudrates, 4); // 125 kbit/s
    console.PostPress(kConnect);
    HWND box = nullptr;
    ASSERT_TRUE(console.WaitFor([&] { return (box = FindErrorBox()) != nullptr; }));
    EXPECT_TRUE(console.WaitFor([&] {
        WCHAR text[64] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 64);
        return std::wstring(text) == L"cannot open CAN port.";
    }));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(console.WaitFor([] { return FindErrorBox() == nullptr; }));
    EXPECT_EQ(console.Text(kConnect), L"Open");
    EXPECT_EQ(console.Cancel(), 0);
}

// `ip -d link`'s "state ERROR-ACTIVE (berr-counter tx 0 rx 0)" as can-dump -d ends its report:
// ", error-active, TEC 0, REC 0". The counters are 0 where ip shows none.
std::string StateAsCanDumpReports(const std::string& details)
{
    size_t at = details.find("can state ") + 10;
    std::string state = details.substr(at, details.find(' ', at) - at);
    for (char& c : state) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    std::string transmit = "0";
    std::string receive = "0";
    size_t counters = details.find("berr-counter tx ");
    if (counters != std::string::npos) {
        std::string rest = details.substr(counters + 16);
        transmit = rest.substr(0, rest.find(' '));
        receive = rest.substr(rest.find(" rx ") + 4);
        receive = receive.substr(0, receive.find_first_not_of("0123456789"));
    }
    return ", " + state + ", TEC " + transmit + ", REC " + receive + "\n";
}

// An ordinary user reads the controller's state and counters from the kernel (RvCanReadBusState).
TEST_F(UnprivilegedOnController, CanDumpReportsTheControllersStateAndCounters)
{
    std::string details = RunCapturing("ip -d link show can0").output;
    ASSERT_NE(details.find("can state "), std::string::npos) << details;
    ShellResult dump = RunCapturing("timeout 20 can-dump -d -T 500 can0");
    EXPECT_EQ(dump.status, 0) << dump.output;
    EXPECT_NE(dump.output.find(StateAsCanDumpReports(details)), std::string::npos) << dump.output << details;
}

} // namespace
