// bench-serve: the network path of can-serve at a saturated bus. A sending client puts 0-byte frames on
// virtual bus CAN1 through can-serve for SECONDS, as fast as the wire at 1000 kbit/s takes them (wire
// timing on); a receiving client gets them back through the same server. Each frame carries can-serve's
// time stamp, taken when the bus delivered it to the server's device, that is when it ended on the
// wire (the driver's own delivery adds tens of µs, see bench-bus); the receiving client compares it with
// its clock when it has parsed the frame. Reports the frames sent, received and lost, and that added
// latency p50/p99/max. Beside it, python-can's socketcand client receives too
// (python/bench/bench_socketcand_receiver.py, the same measure up to python-can handing the frame out).
// Before that, on the idle bus, a cyclic job of can-serve (BCM mode's "< add >", every 10 ms for 5 s)
// is timed the same way.
//
//   bench-serve [SECONDS [PYTHON]]     defaults: 10, python3 (- for no python-can receiver)
//
// The clients are written out here over plain sockets with the protocol module; no device of the
// driver runs in this process, so the only threads that spin on the bus are the server's.
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
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SocketcandProtocol.h"
#include "cSocketcandSplitter.h"

extern char** environ;

namespace {

constexpr size_t kMostFrames = 4000000;
constexpr uint32_t kRate = 1000;
constexpr size_t kBatch = 64;
constexpr uint32_t kCyclicId = 0x123;
constexpr int64_t kCyclicPeriodUs = 10000;

int64_t WallMicroseconds()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return int64_t{now.tv_sec} * 1000000 + now.tv_usec;
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

// A client with CAN1 open; in raw mode with the stream started when raw is set. -1 on failure.
int Connect(uint16_t port, bool raw)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    char reply[64];
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        recv(fd, reply, sizeof(reply), 0) <= 0 || send(fd, "< open CAN1 >", 13, 0) <= 0 ||
        recv(fd, reply, sizeof(reply), 0) <= 0) {
        close(fd);
        return -1;
    }
    if (raw && (send(fd, "< rawmode >", 11, 0) <= 0 || recv(fd, reply, sizeof(reply), 0) <= 0 ||
                send(fd, "< echo >", 8, 0) <= 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// What a receiving client got. The reader thread writes; count is read by main while it runs, the rest
// after it was joined.
struct Received
{
    std::vector<int64_t> latencyUs;
    std::vector<int64_t> stampUs; // can-serve's stamp of each frame
    std::vector<uint32_t> id;
    uint64_t errors = 0;
    std::atomic<size_t> count{0};
};

void Receive(int fd, Received& received)
{
    cSocketcandSplitter splitter;
    char bytes[65536];
    ssize_t count;
    while ((count = recv(fd, bytes, sizeof(bytes), 0)) > 0) {
        int64_t now = WallMicroseconds();
        splitter.Feed(std::string_view(bytes, static_cast<size_t>(count)), [&](std::string_view text) {
            SocketcandMessage message;
            if (!ParseSocketcandMessage(text, message).empty() || message.kind == SocketcandKind::Error) {
                ++received.errors;
            } else if (message.kind == SocketcandKind::Frame) {
                int64_t stamp =
                    static_cast<int64_t>(message.time.seconds) * 1000000 + message.time.microseconds;
                received.stampUs.push_back(stamp);
                received.latencyUs.push_back(now - stamp);
                received.id.push_back(message.frame.id);
                received.count.store(received.id.size());
            }
        });
    }
}

// Sends 0-byte frames (ids counting through 000 to 7FF) until stop, keeping at most kMostInFlight
// ahead of the receiver: enough to keep the wire busy, and no backlog that outlasts the run in the
// sockets' buffers. Returns how many it sent.
size_t SendFrames(int fd, const std::atomic<bool>& stop, const Received& received)
{
    constexpr size_t kMostInFlight = 2048; // 70 ms of the wire
    size_t sent = 0;
    while (!stop.load()) {
        if (sent - std::min(sent, received.count.load()) > kMostInFlight) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        std::string batch;
        for (size_t i = 0; i < kBatch; ++i) {
            SocketcandFrame frame;
            frame.id = static_cast<uint32_t>(sent + i) & 0x7FF;
            batch += FormatSocketcandMessage(SocketcandSend(frame));
        }
        if (send(fd, batch.data(), batch.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(batch.size())) {
            break;
        }
        sent += kBatch;
    }
    return sent;
}

double Percentile(std::vector<int64_t> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    size_t at =
        std::min(values.size() - 1, static_cast<size_t>(static_cast<double>(values.size()) * fraction));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return static_cast<double>(values[at]);
}

// Returns once count() has not changed for 500 ms (30 s at most).
template <typename Count> void WaitUntilStill(Count count)
{
    size_t last = count();
    for (int still = 0, round = 0; still < 5 && round < 300; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        size_t now = count();
        still = now == last ? still + 1 : 0;
        last = now;
    }
}

void MeasureCyclicJob(uint16_t port)
{
    int job = Connect(port, false);
    int watcher = Connect(port, true);
    if (job < 0 || watcher < 0) {
        fprintf(stderr, "bench-serve: connecting to can-serve failed\n");
        return;
    }
    Received received;
    std::thread reader([&] { Receive(watcher, received); });
    const char* add = "< add 0 10000 123 2 AA BB >";
    send(job, add, strlen(add), 0);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    send(job, "< delete 123 >", 14, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    shutdown(watcher, SHUT_RDWR);
    reader.join();
    close(job);
    close(watcher);
    std::vector<int64_t> deviation;
    std::vector<int64_t>& stamps = received.stampUs;
    for (size_t i = 1; i < stamps.size(); ++i) {
        deviation.push_back(std::llabs(stamps[i] - stamps[i - 1] - kCyclicPeriodUs));
    }
    int64_t drift = stamps.size() > 1 ? stamps.back() - stamps.front() -
                                            static_cast<int64_t>(stamps.size() - 1) * kCyclicPeriodUs
                                      : 0;
    printf("cyclic_frames %zu\ncyclic_period_deviation_p50_us %.0f\ncyclic_period_deviation_p99_us %.0f\n"
           "cyclic_period_deviation_max_us %.0f\ncyclic_last_frame_offset_us %lld\n",
           stamps.size(), Percentile(deviation, 0.5), Percentile(deviation, 0.99), Percentile(deviation, 1.0),
           static_cast<long long>(drift));
}

void MeasureSaturatedBus(uint16_t port, int seconds)
{
    int receiving = Connect(port, true);
    int sending = Connect(port, true);
    if (receiving < 0 || sending < 0) {
        fprintf(stderr, "bench-serve: connecting to can-serve failed\n");
        return;
    }
    Received received;
    received.latencyUs.reserve(kMostFrames);
    received.stampUs.reserve(kMostFrames);
    received.id.reserve(kMostFrames);
    Received senderReplies; // refusals of sends, if any
    std::thread reader([&] { Receive(receiving, received); });
    std::thread replies([&] { Receive(sending, senderReplies); });
    std::atomic<bool> stop{false};
    size_t sent = 0;
    std::thread sender([&] { sent = SendFrames(sending, stop, received); });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop.store(true);
    sender.join();
    // What the server still holds goes out on the wire before the counts are taken.
    WaitUntilStill([&] { return received.count.load(); });
    shutdown(sending, SHUT_RDWR);
    shutdown(receiving, SHUT_RDWR);
    reader.join();
    replies.join();
    close(sending);
    close(receiving);
    size_t got = received.id.size();
    double span = got > 1 ? static_cast<double>(received.stampUs.back() - received.stampUs.front()) / 1e6 : 0;
    printf("sent %zu\nrefused %llu\nreceived %zu\nlost %zd\nbus_frames_per_s %.0f\n", sent,
           static_cast<unsigned long long>(senderReplies.errors), got,
           static_cast<ssize_t>(sent - senderReplies.errors) - static_cast<ssize_t>(got),
           span > 0 ? static_cast<double>(got - 1) / span : 0.0);
    printf("latency_p50_us %.0f\nlatency_p99_us %.0f\nlatency_max_us %.0f\n",
           Percentile(received.latencyUs, 0.5), Percentile(received.latencyUs, 0.99),
           Percentile(received.latencyUs, 1.0));
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
    setenv("RVCAN32CE_NAMESPACE", ("bench-serve-" + std::to_string(getpid())).c_str(), 1);
    unsetenv("RVCAN32CE_BUS_TIMING");
    unsetenv("RVCAN32CE_CAN1");

    Child server =
        Spawn({Folder(argv[0]) + "/can-serve", "-p", "0", "-n", "-b", std::to_string(kRate), "CAN1"});
    std::string listening = server.pid > 0 ? ReadLine(server.out) : "";
    size_t at = listening.find("127.0.0.1:");
    if (at == std::string::npos) {
        fprintf(stderr, "bench-serve: can-serve did not start (%s)\n", listening.c_str());
        return 1;
    }
    uint16_t port = static_cast<uint16_t>(atoi(listening.c_str() + at + 10));

    MeasureCyclicJob(port);
    Child receiver;
    if (python != "-") {
        receiver = Spawn({python, std::string(PYTHON_BENCH_DIR) + "/bench_socketcand_receiver.py",
                          std::to_string(port), std::to_string(seconds + 3)});
        if (receiver.pid < 0 || ReadLine(receiver.out).rfind("ready", 0) != 0) {
            fprintf(stderr, "bench-serve: python-can's receiver did not start\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // its stream starts after a grace
    }
    printf("seconds %d\n", seconds);
    MeasureSaturatedBus(port, seconds);
    if (receiver.pid > 0) {
        printf("%s", ReadLine(receiver.out).c_str());
        waitpid(receiver.pid, nullptr, 0);
    }
    kill(server.pid, SIGTERM);
    int status = 0;
    waitpid(server.pid, &status, 0);
    return 0;
}
