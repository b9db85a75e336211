// A device mapped to a socketcand server, against a small server of the test's own on 127.0.0.1 that
// says exactly what each test needs: well-formed frames among garbage, error frames, a refusal, a sudden
// end; and can-serve between such a server and the device. The device is reached through the driver's
// entry points, as the console and the tools reach it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <tuple>

#include "DriverTestSupport.h"
#include "SocketcandAddress.h"
#include "cScriptedSocketcandServer.h"

namespace {

class SocketcandClient : public DriverDevicesTest
{
protected:
    void TearDown() override
    {
        DriverDevicesTest::TearDown();
        unsetenv("RVCAN32CE_CAN1");
    }

    void Map(const std::string& value) { setenv("RVCAN32CE_CAN1", value.c_str(), 1); }
};

TEST_F(SocketcandClient, DeliversWellFormedFramesWithTheServersTimeAndCountsTheRest)
{
    cScriptedSocketcandServer server([](cScriptedSocketcandServer& s) {
        s.WaitForGo();
        s.Write("< frame 123 23.424242 11223344 >");
        s.Write("< frame 1FFFFFFFF 1.000000 11 >");                          // id too wide
        s.Write("< frame 124 1.000000 AABBCCDDEEFF00112233 >");              // 9 bytes
        s.Write("< frame 12G 1.000000 11 >");                                // not a number
        s.Write(std::string("< frame 125 1.0\0 11 >", 21));                  // a NUL
        s.Write("<" + std::string(100000, 'x') + ">");                       // no end in sight
        s.Write("< error 12 frames dropped: the client reads too slowly >"); // can-serve's word
        s.Write("< error could not send >");                                 // about no frame of ours
        s.Write("< frame 1ABCDEF0 4294967.296001 AA BB >");
        s.Write("< frame 7FF 10.000001  >");
        s.received.set_value(s.ReadMessage());
    });
    Map(server.Mapping() + "@500");
    DWORD device = Open(L"CAN1:", 500);
    const DWORD otherRate[2] = {125, 0};
    EXPECT_FALSE(m_driver.api.CanSetBaudrate(device, otherRate));
    EXPECT_EQ(LastError(),
              "the bus " + server.Where() + " runs at 500 kbit/s (as its mapping says), not at 125");
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(device, received.Function()));
    server.go.store(true);

    ASSERT_TRUE(received.WaitForCount(3));
    EXPECT_EQ(received.Texts(), (std::vector<std::string>{"123#11223344", "1ABCDEF0#AABB", "7FF#"}));
    std::vector<CanMessageDescriptor> frames = received.Frames();
    EXPECT_EQ(frames[0].timestamp, 23424u);
    EXPECT_EQ(frames[1].timestamp, 0u); // 4294967296 ms wraps to 0, as the 32-bit tick count does
    EXPECT_EQ(frames[2].timestamp, 10000u);
    EXPECT_EQ(m_driver.Counters(device).dropped, 5u + 12u);

    ASSERT_TRUE(Send(device, "00000123#0102"));
    std::future<std::string> sent = server.received.get_future();
    ASSERT_EQ(sent.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(sent.get(), "< send 00000123 2 01 02 >");
    EXPECT_FALSE(Send(device, "123#R"));
    EXPECT_EQ(LastError(), "socketcand cannot carry remote frames: its send has no way to say one");
}

// An error frame's record as the error function gets it: its id and its 8 detail bytes.
std::string ErrorRecord(const CanMessageDescriptor& frame)
{
    char text[40];
    snprintf(text, sizeof(text), "%u %08X %u ", frame.extended, frame.id, frame.length);
    std::string record = text;
    for (uint8_t byte : frame.data) {
        snprintf(text, sizeof(text), "%02X", byte);
        record += text;
    }
    return record;
}

TEST_F(SocketcandClient, HandsErrorFramesToTheErrorFunctionInOrderAndTellsTheStateTheySay)
{
    cScriptedSocketcandServer server([](cScriptedSocketcandServer& s) {
        s.WaitForGo();
        s.Write("< error 040 3.000001 >");             // socketcand's: bus-off, no details
        s.Write("< error 204 4.5 0010000000001A80 >"); // can-serve's: receive passive, counters 26 and 128
        s.Write("< frame 123 5.000000 11 >");
        s.received.set_value(s.ReadMessage());
    });
    Map(server.Mapping());
    DWORD device = Open(L"CAN1:", 500);
    RvCanBusState state{};
    ASSERT_TRUE(m_driver.readBusState(device, &state));
    EXPECT_EQ(state.state, RVCAN_STATE_UNKNOWN);
    cCollector& errors = cCollector::Slot(1);
    ASSERT_TRUE(m_driver.registerErrorCallback(device, errors.Function()));
    cCollector& frames = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(device, frames.Function()));
    server.go.store(true);

    ASSERT_TRUE(frames.WaitForCount(1));
    std::vector<CanMessageDescriptor> records = errors.Frames(); // before the frame, on the same thread
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(ErrorRecord(records[0]), "1 20000040 8 0000000000000000");
    EXPECT_EQ(records[0].timestamp, 3000u);
    EXPECT_EQ(ErrorRecord(records[1]), "1 20000204 8 0010000000001A80");
    EXPECT_EQ(records[1].timestamp, 4500u);
    ASSERT_TRUE(m_driver.readBusState(device, &state));
    EXPECT_EQ(std::tie(state.state, state.transmitErrors, state.receiveErrors),
              std::make_tuple(uint32_t{RVCAN_STATE_ERROR_PASSIVE}, 26u, 128u));
    EXPECT_EQ(m_driver.Counters(device).errorFrames, 2u);
    EXPECT_EQ(m_driver.Counters(device).received, 1u);
    EXPECT_TRUE(Send(device, "123#")); // ends the server's script
}

// A bus that can-serve serves (here a socketcand server's, as the driver reaches it) hands its error
// frames through the driver's error function to can-serve, which sends them on to a raw-mode client.
TEST_F(SocketcandClient, ErrorFramesCrossCanServeUnchanged)
{
    cScriptedSocketcandServer upstream([](cScriptedSocketcandServer& s) {
        s.WaitForGo();
        s.Write("< error 20C 7.000001 0024100000001A20 >");
        s.received.set_value(s.ReadMessage()); // until can-serve ends
    });
    setenv("RVCAN32CE_CAN0", upstream.Mapping().c_str(), 1); // can-serve's CAN0: is that bus
    cChildProcess serve({HelperPath("can-serve"), "-e", "-n", "-p", "0", "-b", "500", "CAN0"});
    unsetenv("RVCAN32CE_CAN0");
    std::smatch match;
    std::string listening = serve.ReadLine().value_or("");
    ASSERT_TRUE(std::regex_search(listening, match, std::regex(R"(listening on (127\.0\.0\.1:\d+),)")))
        << listening;
    Map("socketcand://" + match[1].str() + "/CAN0");
    DWORD device = Open(L"CAN1:", 500);
    cCollector& errors = cCollector::Slot(1);
    ASSERT_TRUE(m_driver.registerErrorCallback(device, errors.Function()));
    ASSERT_TRUE(m_driver.StartReceiving(device, cCollector::Slot(0).Function()));
    upstream.go.store(true);

    ASSERT_TRUE(errors.WaitForCount(1));
    EXPECT_EQ(ErrorRecord(errors.Frames()[0]), "1 2000020C 8 0024100000001A20");
}

TEST_F(SocketcandClient, ServerGoneMidTrafficIsAFaultThatSendsReport)
{
    cScriptedSocketcandServer server([](cScriptedSocketcandServer& s) {
        s.WaitForGo();
        for (int i = 0; i < 1000; ++i) {
            s.Write("< frame 123 1.000000 " + std::string(i % 2 == 0 ? "11" : "1122") + " >");
        }
        s.Write("< frame 123 1.0"); // cut off mid-message
        s.CloseClient();
    });
    Map(server.Mapping());
    DWORD device = Open(L"CAN1:");
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(device, received.Function()));
    EXPECT_EQ(Fault(device), "");
    server.go.store(true);

    ASSERT_TRUE(received.WaitForCount(1000));
    std::string lost = "connection to " + server.Where() + " lost: the server closed the connection";
    for (auto waited = 0ms; Fault(device).empty() && waited < kPatience; waited += 1ms) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(Fault(device), lost);
    EXPECT_FALSE(Send(device, "123#11"));
    EXPECT_EQ(LastError(), lost);
    EXPECT_EQ(received.Count(), 1000u);
}

// A server that stops reading: once the connection's buffers are full, a send gives up after its bounded
// wait instead of blocking its caller for good.
TEST_F(SocketcandClient, ServerThatStopsReadingMakesSendsRefuseInsteadOfHang)
{
    cScriptedSocketcandServer server([](cScriptedSocketcandServer& s) { s.WaitForGo(); });
    Map(server.Mapping());
    DWORD device = Open(L"CAN1:");
    CanMessageDescriptor frame = Frame("12345678#1122334455667788");
    bool refused = false;
    for (int sent = 0; sent < 10000000 && !refused; ++sent) {
        refused = !m_driver.api.CanTransmittMessageEx(device, &frame);
    }
    server.go.store(true);
    ASSERT_TRUE(refused);
    // A line the server took only in part would make it misread the rest: such a connection is lost.
    std::string why = LastError();
    EXPECT_TRUE(why == "the server took no data for 500 ms" ||
                why == "connection to " + server.Where() +
                           " lost: a message was cut short: the server took no data for 500 ms")
        << why;
}

TEST_F(SocketcandClient, RefusalsEndTheOpenWithAReason)
{
    cScriptedSocketcandServer refusing([](cScriptedSocketcandServer&) {}, "< error no such bus >");
    Map(refusing.Mapping());
    EXPECT_EQ(m_driver.api.CanCreateDevice(L"CAN1:", 0), 0u);
    EXPECT_EQ(LastError(), "RVCAN32CE_CAN1=\"" + refusing.Mapping() + "\": " + refusing.Where() +
                               ": the server refused < open >: no such bus");

    Map("socketcand://127.0.0.1:1/vcan0");
    EXPECT_EQ(m_driver.api.CanCreateDevice(L"CAN1:", 0), 0u);
    EXPECT_EQ(LastError(),
              "RVCAN32CE_CAN1=\"socketcand://127.0.0.1:1/vcan0\": cannot connect to 127.0.0.1:1: "
              "Connection refused; is the server running, and does it listen on that address?");
}

struct AddressCase
{
    const char* text;
    const char* host; // null: refused, error says why
    uint16_t port;
    const char* bus;
    uint32_t rate;
};

TEST(SocketcandAddressTest, DocumentedFormsParseAndOthersAreRefused)
{
    const AddressCase cases[] = {
        {"socketcand://bench:29536/can0", "bench", 29536, "can0", 0},
        {"socketcand://127.0.0.1/vcan0@500", "127.0.0.1", 29536, "vcan0", 500},
        {"socketcand://[::1]/CAN1", "::1", 29536, "CAN1", 0},
        {"socketcand://[::1]:4000/CAN1", "::1", 4000, "CAN1", 0},
        {"socketcand://host:0/can0", nullptr, 0, nullptr, 0},
        {"socketcand://host:65536/can0", nullptr, 0, nullptr, 0},
        {"socketcand://host/", nullptr, 0, nullptr, 0},
        {"socketcand://host", nullptr, 0, nullptr, 0},
        {"socketcand:///can0", nullptr, 0, nullptr, 0},
        {"socketcand://host/a23456789abcdef01", nullptr, 0, nullptr, 0},
        {"socketcand://host/can 0", nullptr, 0, nullptr, 0},
        {"socketcand://host/can0@fast", nullptr, 0, nullptr, 0},
        {"socketcand://[::1/can0", nullptr, 0, nullptr, 0},
    };
    for (const AddressCase& c : cases) {
        SocketcandAddress address;
        std::string error;
        bool parsed = ParseSocketcandAddress(c.text, address, error);
        EXPECT_EQ(parsed, c.host != nullptr) << c.text << ": " << error;
        if (parsed && c.host != nullptr) {
            EXPECT_EQ(address.host, c.host) << c.text;
            EXPECT_EQ(address.port, c.port) << c.text;
            EXPECT_EQ(address.bus, c.bus) << c.text;
            EXPECT_EQ(address.kbitPerSecond, c.rate) << c.text;
        } else if (!parsed) {
            EXPECT_NE(error.find("(expected socketcand://HOST[:PORT]/BUS[@RATE])"), std::string::npos)
                << error;
        }
    }
}

} // namespace
