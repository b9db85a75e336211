// can-serve serving vcan0, reached over the VM's loopback by a socketcand client written out here and by
// the driver's own client: cansend's frames reach the client, the client's frames reach candump. Runs inside
// the SocketCAN VM (run-vm-tests.sh) with root rights, can-serve beside it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ProcessLines.h"
#include "SocketcandProtocol.h"
#include "cSocketcandSplitter.h"

namespace {

// A blocking client; each wait gives up after 10 s.
class Client
{
public:
    explicit Client(uint16_t port)
    {
        m_socket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~Client() { close(m_socket); }

    bool Connected() const { return m_connected; }

    void Send(const std::string& text)
    {
        ASSERT_EQ(send(m_socket, text.data(), text.size(), 0), ssize_t(text.size()));
    }

    // The next message, or "" after 10 s or when the server closed.
    std::string Next()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_messages.empty() && std::chrono::steady_clock::now() < deadline) {
            pollfd wait{m_socket, POLLIN, 0};
            char bytes[1024];
            ssize_t count = poll(&wait, 1, 100) == 1 ? recv(m_socket, bytes, sizeof(bytes), 0) : -1;
            if (count == 0) {
                break;
            }
            if (count > 0) {
                m_splitter.Feed(std::string_view(bytes, static_cast<size_t>(count)),
                                [this](std::string_view message) { m_messages.emplace_back(message); });
            }
        }
        if (m_messages.empty()) {
            return {};
        }
        std::string message = m_messages.front();
        m_messages.erase(m_messages.begin());
        return message;
    }

private:
    int m_socket = -1;
    bool m_connected = false;
    cSocketcandSplitter m_splitter;
    std::vector<std::string> m_messages;
};

uint16_t ServerPort(const ProcessLines& server)
{
    for (const std::string& line : server.Lines()) {
        size_t at = line.find("127.0.0.1:");
        if (at != std::string::npos) {
            return static_cast<uint16_t>(std::stoi(line.substr(at + 10)));
        }
    }
    return 0;
}

TEST(ServeOnVcan, CansendReachesTheClientAndTheClientsFramesReachCandump)
{
    ASSERT_TRUE(RunShell("ip link set lo up"));
    ProcessLines server("./can-serve -p 0 -n vcan0");
    ASSERT_TRUE(server.WaitFor(
        [](const std::string& line) { return line.find("listening on") != std::string::npos; }));
    Client client(ServerPort(server));
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Next(), "< hi >");
    client.Send("< open vcan0 >");
    EXPECT_EQ(client.Next(), "< ok >");
    client.Send("< rawmode >");
    EXPECT_EQ(client.Next(), "< ok >");
    client.Send("< echo >");
    EXPECT_EQ(client.Next(), "< echo >");

    struct Cansent
    {
        const char* text;
        uint32_t id;
        bool extended;
        std::vector<uint8_t> data;
    };
    const Cansent cansent[] = {
        {"123#DEADBEEF", 0x123, false, {0xDE, 0xAD, 0xBE, 0xEF}},
        {"12345678#", 0x12345678, true, {}},
        {"7FF#0011223344556677", 0x7FF, false, {0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}}};
    for (const Cansent& sent : cansent) {
        ASSERT_TRUE(RunShell(std::string("cansend vcan0 ") + sent.text));
        SocketcandMessage message;
        std::string line = client.Next();
        ASSERT_EQ(ParseSocketcandMessage(line, message), "") << line;
        EXPECT_EQ(message.kind, SocketcandKind::Frame) << line;
        EXPECT_EQ(message.frame.id, sent.id) << line;
        EXPECT_EQ(message.frame.extended, sent.extended) << line;
        EXPECT_EQ(std::vector<uint8_t>(message.frame.data.begin(),
                                       message.frame.data.begin() + message.frame.length),
                  sent.data)
            << line;
    }

    ProcessLines candump("candump -L vcan0");
    ASSERT_TRUE(candump.WaitUntilListening("vcan0 7FF#AA", [&] { client.Send("< send 7FF 1 AA >"); }));
    client.Send("< send 1AAAAAAA 2 1 F1 >< send 000 0 >< send 00000001 8 1 2 3 4 5 6 7 8 >");
    for (const char* expected : {"vcan0 1AAAAAAA#01F1", "vcan0 000#", "vcan0 00000001#0102030405060708"}) {
        EXPECT_TRUE(candump.WaitFor([&](const std::string& line) {
            return WithoutTimestamp(line) == expected;
        })) << expected;
    }
}

// The driver's own socketcand client (a device mapped to socketcand://...) through can-serve to vcan0:
// can-dump hears cansend, candump hears can-send.
TEST(ServeOnVcan, TheDriversClientReachesVcanThroughCanServe)
{
    ASSERT_TRUE(RunShell("ip link set lo up"));
    ProcessLines server("./can-serve -p 0 -n vcan0");
    ASSERT_TRUE(server.WaitFor(
        [](const std::string& line) { return line.find("listening on") != std::string::npos; }));
    std::string mapping =
        "env RVCAN32CE_CAN2=socketcand://127.0.0.1:" + std::to_string(ServerPort(server)) + "/vcan0 ";

    ProcessLines canDump(mapping + "./can-dump CAN2:");
    ASSERT_TRUE(canDump.WaitUntilListening("7FF   [1]  AA", [] { RunShell("cansend vcan0 7FF#AA"); }))
        << testing::PrintToString(canDump.Lines()) << testing::PrintToString(server.Lines());
    ASSERT_TRUE(RunShell("cansend vcan0 123#DEADBEEF"));
    ASSERT_TRUE(RunShell("cansend vcan0 12345678#"));
    for (const char* expected : {"  CAN2:  123   [4]  DE AD BE EF", "  CAN2:  12345678   [0] "}) {
        EXPECT_TRUE(canDump.WaitFor([&](const std::string& line) { return line == expected; })) << expected;
    }

    ProcessLines candump("candump -L vcan0");
    ASSERT_TRUE(
        candump.WaitUntilListening("vcan0 7FF#BB", [&] { RunShell(mapping + "./can-send CAN2: 7FF#BB"); }));
    ASSERT_TRUE(RunShell(mapping + "./can-send CAN2: 1AAAAAAA#01F1"));
    ASSERT_TRUE(RunShell(mapping + "./can-send CAN2: 000#"));
    for (const char* expected : {"vcan0 1AAAAAAA#01F1", "vcan0 000#"}) {
        EXPECT_TRUE(candump.WaitFor([&](const std::string& line) {
            return WithoutTimestamp(line) == expected;
        })) << expected;
    }
}

} // namespace
