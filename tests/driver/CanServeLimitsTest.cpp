// can-serve against clients that try to wear it down: connections that never open a bus give their
// slot back, a client's subscriptions and jobs have a cap it is told about, one client's job cannot
// starve another's, and a client that hangs up takes its jobs with it at once. The server serves its own
// CAN0: (a virtual bus of this test process's own, which the test watches through the driver).
#include <gtest/gtest.h>

#include <poll.h>
#include <regex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "DriverTestSupport.h"

namespace {

// A socketcand client over TCP, with bounded waits.
class cConnection
{
public:
    // Connects without waiting for the server to accept.
    explicit cConnection(uint16_t port) : m_socket(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    }
    ~cConnection() { close(m_socket); }

    void Send(const std::string& text)
    {
        for (size_t sent = 0; sent < text.size();) {
            pollfd fd{m_socket, POLLOUT, 0};
            ASSERT_EQ(poll(&fd, 1, static_cast<int>(kPatience.count())), 1) << "the server stopped reading";
            ssize_t count = send(m_socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            ASSERT_TRUE(count > 0 || errno == EAGAIN) << strerror(errno);
            sent += count > 0 ? static_cast<size_t>(count) : 0;
        }
    }

    // The next "< ... >" message; empty once the server closed the connection or after kPatience.
    std::string Read()
    {
        for (;;) {
            size_t start = m_pending.find('<');
            size_t end = m_pending.find('>', start);
            if (start != std::string::npos && end != std::string::npos) {
                std::string message = m_pending.substr(start, end + 1 - start);
                m_pending.erase(0, end + 1);
                return message;
            }
            pollfd fd{m_socket, POLLIN, 0};
            char bytes[4096];
            ssize_t count = poll(&fd, 1, static_cast<int>(kPatience.count())) == 1
                                ? recv(m_socket, bytes, sizeof(bytes), 0)
                                : 0;
            if (count <= 0) {
                return {};
            }
            m_pending.append(bytes, static_cast<size_t>(count));
        }
    }

    // Greeted, on CAN0 in BCM mode.
    void Open()
    {
        ASSERT_EQ(Read(), "< hi >");
        Send("< open CAN0 >");
        ASSERT_EQ(Read(), "< ok >");
    }

private:
    int m_socket;
    std::string m_pending;
};

class CanServeLimits : public DriverDevicesTest
{
protected:
    void SetUp() override { Serve("125"); }

    // can-serve on CAN0 at kbitPerSecond.
    void Serve(const char* kbitPerSecond)
    {
        DriverDevicesTest::SetUp();
        unsetenv("RVCAN32CE_CAN0"); // the server's CAN0: is this process's virtual bus
        m_rate = static_cast<DWORD>(std::stoi(kbitPerSecond));
        m_server = std::make_unique<cChildProcess>(
            std::vector<std::string>{HelperPath("can-serve"), "-n", "-p", "0", "-b", kbitPerSecond, "CAN0"});
        std::smatch match;
        std::string listening = m_server->ReadLine().value_or("");
        ASSERT_TRUE(std::regex_search(listening, match, std::regex(R"(listening on 127\.0\.0\.1:(\d+),)")))
            << listening;
        m_port = static_cast<uint16_t>(std::stoi(match[1]));
    }

    // The frames on CAN0: from now on, collected.
    cCollector& Watch()
    {
        cCollector& collector = cCollector::Slot(0);
        EXPECT_TRUE(m_driver.StartReceiving(Open(L"CAN0:", m_rate), collector.Function(), 32768));
        return collector;
    }

    std::unique_ptr<cChildProcess> m_server;
    uint16_t m_port = 0;
    DWORD m_rate = 125;
};

// At 50 kbit/s an 8-byte frame takes about 2.7 ms.
class CanServeLimitsSlowBus : public CanServeLimits
{
protected:
    void SetUp() override { Serve("50"); }
};

size_t CountId(cCollector& collector, uint32_t first, uint32_t last)
{
    size_t count = 0;
    for (const CanMessageDescriptor& frame : collector.Frames()) {
        count += frame.id >= first && frame.id <= last ? 1 : 0;
    }
    return count;
}

// 80 connections that never send a byte (more than the 64 slots) and python-can's own client, which
// gives up on a refusal and is started again until it is served: served once the silent ones have
// been closed, 5 s after they came, each told why.
TEST_F(CanServeLimits, SilentConnectionsGiveTheirSlotsBackToAnHonestClient)
{
    std::vector<std::unique_ptr<cConnection>> silent;
    for (int i = 0; i < 80; ++i) {
        silent.push_back(std::make_unique<cConnection>(m_port));
    }
    cChildProcess honest({"/usr/bin/python3", "-c", R"(
import sys, time
import can
start = time.monotonic()
while time.monotonic() - start < 20:
    try:
        can.Bus(interface="socketcand", host="127.0.0.1", port=int(sys.argv[1]), channel="CAN0").shutdown()
        print("served", flush=True)
        break
    except can.CanError:
        time.sleep(0.2)
)",
                          std::to_string(m_port)});
    std::optional<std::string> served = honest.ReadLine();
    EXPECT_EQ(served, "served") << honest.ReadAllErrors();
    EXPECT_EQ(silent.front()->Read(), "< hi >");
    EXPECT_EQ(silent.front()->Read(), "< error no bus opened within 5 s; the connection closes >");
    EXPECT_EQ(silent.front()->Read(), "");
}

// Past its cap, a subscription or a job is refused with an error, and the connection goes on.
TEST_F(CanServeLimits, SubscriptionAndJobCapsAnswerAnErrorAndTheConnectionStays)
{
    struct CapCase
    {
        const char* command; // with %03X for ids from 000, and 1FFFFFFF for the one past the cap
        size_t cap;
        const char* error;
    };
    const CapCase cases[] = {
        {"< subscribe 0 0 %03X >", 2048,
         "< error at most 2048 subscriptions and filters per connection: unsubscribe one first >"},
        {"< add 10 0 %03X 0 >", 256, "< error at most 256 cyclic jobs per connection: delete one first >"},
    };
    for (const CapCase& c : cases) {
        cConnection client(m_port);
        client.Open();
        std::string commands;
        for (size_t i = 0; i <= c.cap; ++i) {
            char command[64];
            snprintf(command, sizeof(command), c.command, static_cast<unsigned>(i == c.cap ? 0x1FFFFFFF : i));
            commands += command;
        }
        client.Send(commands);
        EXPECT_EQ(client.Read(), c.error) << c.command;
        client.Send("< echo >");
        EXPECT_EQ(client.Read(), "< echo >") << c.command;
    }
}

// A job at 1 µs of one client beside a job at 10 ms of another: the second keeps its frames.
TEST_F(CanServeLimits, OneClientsFastJobLeavesAnotherClientsJobItsFrames)
{
    cCollector& bus = Watch();
    cConnection greedy(m_port);
    cConnection modest(m_port);
    greedy.Open();
    modest.Open();
    greedy.Send("< add 0 1 7FF 1 AA >");
    modest.Send("< add 0 10000 001 1 BB >");
    std::this_thread::sleep_for(200ms); // both running
    bus.Clear();
    std::this_thread::sleep_for(2s);
    size_t modestFrames = CountId(bus, 0x001, 0x001);
    size_t greedyFrames = CountId(bus, 0x7FF, 0x7FF);
    EXPECT_GE(modestFrames, 160u) << "of 200 due; the 1 µs job sent " << greedyFrames;
    EXPECT_GT(greedyFrames, 1000u); // the bus otherwise its own: about 2270 frames/s at 125 kbit/s
}

// A client makes jobs that fill the bus, queues frames that keep its thread in transmits for seconds
// (they all fit in the connection's buffers, so the hang-up reaches the server at once), and hangs up:
// its jobs end at once, though its frames go on as it asked.
TEST_F(CanServeLimitsSlowBus, JobsOfAClientThatHungUpEndWhileItsFramesStillGoOut)
{
    cCollector& bus = Watch();
    {
        cConnection client(m_port);
        client.Open();
        std::string commands;
        for (unsigned id = 0x100; id < 0x200; ++id) {
            char command[64];
            snprintf(command, sizeof(command), "< add 0 10000 %X 8 11 22 33 44 55 66 77 88 >", id);
            commands += command;
        }
        for (int i = 0; i < 1000; ++i) {
            commands += "< send 7FF 8 11 22 33 44 55 66 77 88 >";
        }
        client.Send(commands);
    }
    std::this_thread::sleep_for(1s);
    bus.Clear();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(CountId(bus, 0x100, 0x1FF), 0u) << "frames of the jobs 1 s after the hang-up";
    EXPECT_GT(CountId(bus, 0x7FF, 0x7FF), 0u) << "the frames it sent stopped with it";
}

} // namespace
