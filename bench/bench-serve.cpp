// bench-serve: the network path of can-serve at a saturated bus. A sending client puts 0-byte frames on
// virtual bus CAN1 through can-serve as fast as the wire at 1000 kbit/s takes them (wire timing on), a
// receiving client gets them back through the same server, and a device of this process on the bus
// marks when each frame ended on the wire (its receive function runs then). Reports the frames the bus
// carried, the ones the receiving client missed, and the added latency (frame on the bus to the frame
// parsed at the receiving client) p50/p99/max. Beside it, python-can's socketcand client receives too
// (python/bench/bench_socketcand_receiver.py), timed from can-serve's stamp to python-can's hand-out.
//
//   bench-serve [SECONDS [PYTHON]]     defaults: 10, python3 (- for no python-can receiver)
//
// Both clients are written out here over plain sockets with the protocol module.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SocketcandProtocol.h"
#include "cDriverDevice.h"
#include "cSocketcandSplitter.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMostFrames = 4000000;
constexpr uint32_t kRate = 1000;
constexpr size_t kBatch = 64;

// Each frame's arrival at this process's device: written by the driver's receive thread (one call at a
// time), read by main after the device stopped.
struct Arrivals
{
    std::vector<int64_t> at = std::vector<int64_t>(kMostFrames);
    std::vector<uint32_t> id = std::vector<uint32_t>(kMostFrames);
    std::atomic<size_t> count{0};
};
Arrivals g_onBus;

int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void WINAPI OnBus(CanMessageDescriptor* message)
{
    size_t n = g_onBus.count.load(std::memory_order_relaxed);
    if (n < kMostFrames) {
        g_onBus.at[n] = Now();
        g_onBus.id[n] = message->id;
        g_onBus.count.store(n + 1, std::memory_order_release);
    }
}

struct Child
{
    pid_t pid = -1;
    FILE* out = nullptr;
};

Child Spawn(std::vector<std::string> arguments)
{
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe[0]);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    Child child;
    if (posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        child.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipe[1]);
    child.out = fdopen(pipe[0], "r");
    return child;
}

std::string ReadLine(FILE* from)
{
    char line[512] = {};
    return fgets(line, sizeof(line), from) != nullptr ? line : "";
}

// A client in raw mode with the stream started; -1 on failure.
int Connect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        return -1;
    }
    char reply[64];
    for (const char* command : {"< open CAN1 >", "< rawmode >"}) {
        if (recv(fd, reply, sizeof(reply), 0) <= 0 || send(fd, command, strlen(command), 0) <= 0) {
            return -1;
        }
    }
    if (recv(fd, reply, sizeof(reply), 0) <= 0 || send(fd, "< echo >", 8, 0) <= 0) {
        return -1;
    }
    return fd;
}

// Written by the reader thread; count is read by main while it runs, the rest after it was joined.
struct Received
{
    std::vector<int64_t> at;
    std::vector<uint32_t> id;
    uint64_t errors = 0;
    std::atomic<size_t> count{0};
};

// Returns once count() has not changed for 300 ms (10 s at most).
template <typename Count> void WaitUntilStill(Count count)
{
    size_t last = count();
    for (int still = 0, round = 0; still < 3 && round < 100; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        size_t now = count();
        still = now == last ? still + 1 : 0;
        last = now;
    }
}

void Receive(int fd, Received& received)
{
    cSocketcandSplitter splitter;
    char bytes[65536];
    ssize_t count;
    while ((count = recv(fd, bytes, sizeof(bytes), 0)) > 0) {
        int64_t now = Now();
        splitter.Feed(std::string_view(bytes, static_cast<size_t>(count)), [&](std::string_view text) {
            SocketcandMessage message;
            if (!ParseSocketcandMessage(text, message).empty() || message.kind == SocketcandKind::Error) {
                ++received.errors;
            } else if (message.kind == SocketcandKind::Frame) {
                received.at.push_back(now);
                received.id.push_back(message.frame.id);
                received.count.store(received.at.size());
            }
        });
    }
}

void SendFrames(int fd, const std::atomic<bool>& stop)
{
    uint32_t id = 0;
    while (!stop.load()) {
        std::string batch;
        for (size_t i = 0; i < kBatch; ++i) {
            SocketcandFrame frame;
            frame.id = id++ & 0x7FF;
            batch += FormatSocketcandMessage(SocketcandSend(frame));
        }
        if (send(fd, batch.data(), batch.size(), MSG_NOSIGNAL) <= 0) {
            return;
        }
    }
}

uint64_t Percentile(std::vector<int64_t> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    size_t at =
        std::min(values.size() - 1, static_cast<size_t>(static_cast<double>(values.size()) * fraction));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return static_cast<uint64_t>(values[at]);
}

std::string Folder(const char* program)
{
    std::string path = program;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = argc > 1 ? atoi(argv[1]) : 10;
    std::string python = argc > 2 ? argv[2] : "python3";
    std::string bin = Folder(argv[0]);
    setenv("RVCAN32CE_NAMESPACE", ("bench-serve-" + std::to_string(getpid())).c_str(), 1);
    unsetenv("RVCAN32CE_BUS_TIMING");
    unsetenv("RVCAN32CE_CAN1");

    cDriverDevice device;
    std::string error;
    if (!device.Open("CAN1:", kRate, error) || !device.StartReceive(OnBus, error, 32768)) {
        fprintf(stderr, "bench-serve: %s\n", error.c_str());
        return 1;
    }
    Child server = Spawn({bin + "/can-serve", "-p", "0", "-n", "-b", std::to_string(kRate), "CAN1"});
    std::string listening = server.pid > 0 ? ReadLine(server.out) : "";
    size_t at = listening.find("127.0.0.1:");
    if (at == std::string::npos) {
        fprintf(stderr, "bench-serve: can-serve did not start (%s)\n", listening.c_str());
        return 1;
    }
    uint16_t port = static_cast<uint16_t>(atoi(listening.c_str() + at + 10));

    Child receiver;
    if (python != "-") {
        receiver = Spawn({python, std::string(PYTHON_BENCH_DIR) + "/bench_socketcand_receiver.py",
                          std::to_string(port), std::to_string(seconds + 2)});
        if (receiver.pid < 0 || ReadLine(receiver.out).rfind("ready", 0) != 0) {
            fprintf(stderr, "bench-serve: python-can's receiver did not start\n");
            return 1;
        }
    }
    int receiving = Connect(port);
    int sending = Connect(port);
    if (receiving < 0 || sending < 0) {
        fprintf(stderr, "bench-serve: connecting to can-serve failed\n");
        return 1;
    }
    Received received;
    received.at.reserve(kMostFrames);
    received.id.reserve(kMostFrames);
    std::thread reader([&] { Receive(receiving, received); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // python-can's stream starts after a grace
    size_t before = g_onBus.count.load();
    std::atomic<bool> stop{false};
    std::thread sender([&] { SendFrames(sending, stop); });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop.store(true);
    size_t carried = g_onBus.count.load() - before;
    // The server would go on sending what its socket still holds for seconds: a reset discards it.
    linger reset{1, 0};
    setsockopt(sending, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    shutdown(sending, SHUT_RDWR);
    sender.join();
    close(sending);
    WaitUntilStill([] { return g_onBus.count.load(); });
    WaitUntilStill([&] { return received.count.load(); });
    device.StopReceive();
    shutdown(receiving, SHUT_RDWR);
    reader.join();

    size_t onBus = g_onBus.count.load() - before;
    size_t matched = 0;
    std::vector<int64_t> latency;
    for (size_t i = 0; i < received.at.size() && before + i < g_onBus.count.load(); ++i) {
        if (received.id[i] != g_onBus.id[before + i]) {
            break;
        }
        ++matched;
        latency.push_back(received.at[i] - g_onBus.at[before + i]);
    }
    printf("seconds %d\nbus_frames %zu\nbus_frames_per_s %.0f\n", seconds, onBus,
           static_cast<double>(carried) / seconds);
    printf("client_frames %zu\nclient_lost %zu\nclient_in_order %zu\nclient_errors %llu\n",
           received.at.size(), onBus - std::min(onBus, received.at.size()), matched,
           static_cast<unsigned long long>(received.errors));
    printf("latency_p50_us %.1f\nlatency_p99_us %.1f\nlatency_max_us %.1f\n", Percentile(latency, 0.5) / 1e3,
           Percentile(latency, 0.99) / 1e3, Percentile(latency, 1.0) / 1e3);
    if (receiver.pid > 0) {
        printf("%s", ReadLine(receiver.out).c_str());
        waitpid(receiver.pid, nullptr, 0);
    }
    kill(server.pid, SIGTERM);
    int status = 0;
    waitpid(server.pid, &status, 0);
    close(receiving);
    return onBus == matched ? 0 : 1;
}
