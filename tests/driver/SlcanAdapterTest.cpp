// A device mapped to a serial-line CAN adapter, against an adapter of the test's own on a
// pseudo-terminal that says exactly what each test needs: answers and refusals, frames among garbage, a
// sudden end. The device is reached through the driver's entry points, as the console and the tools
// reach it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "DriverTestSupport.h"
#include "cScriptedSlcanAdapter.h"

namespace {

using Dialogue = std::vector<std::pair<std::string, std::string>>;

class SlcanAdapter : public DriverDevicesTest
{
protected:
    void TearDown() override
    {
        DriverDevicesTest::TearDown();
        unsetenv("RVCAN32CE_CAN1");
        unsetenv("RVCAN32CE_CAN2");
    }

    void Map(const char* variable, const std::string& value) { setenv(variable, value.c_str(), 1); }

    static std::vector<std::string> Lines(const Dialogue& dialogue)
    {
        std::vector<std::string> lines;
        for (const auto& [line, answer] : dialogue) {
            lines.push_back(line);
        }
        return lines;
    }
};

// An adapter that answers: a refusal to C (its channel was closed) is no failure, one to S or O is, and
// once the adapter has answered, each frame waits for its answer: z confirms it, BEL refuses it.
TEST_F(SlcanAdapter, ActsOnTheAdaptersAnswersAndRefusals)
{
    const Dialogue dialogue = {
        {"C", "\a"},                                              // open: the channel was not open
        {"C", "\r"},           {"S8", "\a"},                      // 1000 kbit/s refused
        {"C", "\r"},           {"S6", "\r"},         {"O", "\a"}, // the channel refused
        {"C", "\r"},           {"S6", "\r"},         {"O", "\r"}, // 500 kbit/s, open
        {"t1232AABB", "z\r"},  {"R123456784", "\a"},              // sent; refused (queue full)
        {"T1FFFFFFF0", "Z\r"},
    };
    cScriptedSlcanAdapter adapter([&](cScriptedSlcanAdapter& a) { a.Converse(dialogue); });
    std::future<std::vector<std::string>> received = adapter.received.get_future();
    Map("RVCAN32CE_CAN1", adapter.Mapping());
    DWORD device = m_driver.api.CanCreateDevice(L"CAN1:", 0);
    ASSERT_NE(device, 0u) << LastError();
    m_opened.push_back(device);

    std::string where = "the adapter on " + adapter.Path();
    EXPECT_FALSE(m_driver.SetRate(device, 1000));
    EXPECT_EQ(LastError(), where + " refused 1000 kbit/s (S8)");
    EXPECT_FALSE(m_driver.SetRate(device, 500));
    EXPECT_EQ(LastError(), where + " refused to open its channel (O)");
    EXPECT_TRUE(m_driver.SetRate(device, 500));
    EXPECT_TRUE(Send(device, "123#AABB"));
    EXPECT_FALSE(Send(device, "12345678#R4"));
    EXPECT_EQ(LastError(),
              where + " refused the frame (BEL): its transmit queue is full, or it is off the bus");
    EXPECT_TRUE(Send(device, "1FFFFFFF#"));
    ASSERT_EQ(received.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(received.get(), Lines(dialogue));

    // The port is this device's alone.
    Map("RVCAN32CE_CAN2", adapter.Mapping());
    EXPECT_EQ(m_driver.api.CanCreateDevice(L"CAN2:", 0), 0u);
    EXPECT_EQ(LastError(), "RVCAN32CE_CAN2=\"" + adapter.Mapping() + "\": " + adapter.Path() +
                               " is in use by another program; to share an adapter, serve it with can-serve");
}

// An adapter that never answers, as the kernel's slcan and python-can at the far end of a null modem:
// what it sends is input, split wherever the reads fall.
TEST_F(SlcanAdapter, DeliversFramesAmongGarbageAndCountsTheRest)
{
    cScriptedSlcanAdapter adapter([](cScriptedSlcanAdapter& a) {
        a.WaitForGo();
        a.Write("t1230\r");
        a.Write("t12"); // a line split across writes
        std::this_thread::sleep_for(20ms);
        a.Write("34AABBCCDD\r");
        a.Write("xyz\rt12G0\r" + std::string(40, '7') + "\r"); // malformed twice, overlong: 3 drops
        a.Write("C\rS6\rO\r\a");                               // a peer host's commands, an answer to nothing
        a.Write("F04\re1\rF00\rsp128005\r");                   // two errors, status without one, a state
        a.Write("T1ABCDEF02AABBEA5F\rr7FF80063\r");            // stamped 59999 ms, then 99 after the wrap
    });
    Map("RVCAN32CE_CAN1", adapter.Mapping());
    DWORD device = Open(L"CAN1:");
    cCollector& errors = cCollector::Slot(1);
    ASSERT_TRUE(m_driver.registerErrorCallback(device, errors.Function()));
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(device, received.Function()));
    adapter.go.store(true);

    ASSERT_TRUE(received.WaitForCount(4));
    std::vector<std::string> records; // came before the frames after them, on the same thread
    for (const CanMessageDescriptor& frame : errors.Frames()) {
        records.push_back(Text(frame));
    }
    EXPECT_EQ(records, (std::vector<std::string>{"20000004#000C000000000000", "20000088#0000000000000000",
                                                 "20000204#0010000000000580"}));
    RvCanBusState state{};
    ASSERT_TRUE(m_driver.readBusState(device, &state));
    EXPECT_EQ(std::make_tuple(state.state, state.transmitErrors, state.receiveErrors),
              std::make_tuple(uint32_t{RVCAN_STATE_ERROR_PASSIVE}, 5u, 128u));
    EXPECT_EQ(received.Texts(),
              (std::vector<std::string>{"123#", "123#AABBCCDD", "1ABCDEF0#AABB", "7FF#R8"}));
    std::vector<CanMessageDescriptor> frames = received.Frames();
    EXPECT_EQ(frames[3].timestamp - frames[2].timestamp, 100u);
    RvCanCounters counters = m_driver.Counters(device);
    EXPECT_EQ(counters.dropped, 3u);
    EXPECT_EQ(counters.errorFrames, 3u);
    EXPECT_EQ(Fault(device), "");
}

TEST_F(SlcanAdapter, AdapterPulledOutMidTrafficIsAFaultThatSendsReport)
{
    cScriptedSlcanAdapter adapter([](cScriptedSlcanAdapter& a) {
        a.WaitForGo();
        for (int i = 0; i < 1000; ++i) {
            a.Write(i % 2 == 0 ? "t1231AA\r" : "t1232AABB\r");
        }
        a.Write("t12"); // cut off mid-line
        a.WaitForGo();  // what the device has not read when the terminal closes is lost, as on a real port
        a.Vanish();
    });
    Map("RVCAN32CE_CAN1", adapter.Mapping());
    DWORD device = Open(L"CAN1:");
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(device, received.Function()));
    adapter.go.store(true);

    ASSERT_TRUE(received.WaitForCount(1000));
    EXPECT_EQ(Fault(device), "");
    adapter.go.store(true);
    for (auto waited = 0ms; Fault(device).empty() && waited < kPatience; waited += 1ms) {
        std::this_thread::sleep_for(1ms);
    }
    // The kernel says either: a hang-up (read gives 0) or an I/O error.
    std::string gone = Fault(device);
    EXPECT_TRUE(gone == "adapter on " + adapter.Path() + " went away: the port hung up" ||
                gone == "adapter on " + adapter.Path() + " went away: Input/output error")
        << gone;
    EXPECT_FALSE(Send(device, "123#11"));
    EXPECT_EQ(LastError(), gone);
    EXPECT_EQ(received.Count(), 1000u);
}

} // namespace
