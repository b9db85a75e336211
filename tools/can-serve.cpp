// can-serve: a socketcand-compatible daemon. It serves this machine's CAN buses (the driver's virtual
// buses CAN0: to CAN9:, and SocketCAN interfaces through the driver's RVCAN32CE_CANn mapping) over TCP
// with socketcand's ASCII protocol, so that python-can, SavvyCAN, Kayak and the driver's own socketcand
// client on other machines reach them. It listens on the loopback address unless told otherwise: the
// protocol has no authentication, so whoever reaches the port can use the buses.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "DeviceName.h"
#include "ToolSupport.h"
#include "cBeacon.h"
#include "cCyclicJobs.h"
#include "cServeClient.h"
#include "cServedBus.h"

namespace {

constexpr const char* kTool = "can-serve";
constexpr const char* kUsage =
    "usage: can-serve [-l ADDRESS] [-p PORT] [-b RATE] [-e] [-n] [BUS...]\n"
    "  BUS         CAN0: to CAN9: (or CAN0 to CAN9 in capitals; default: all ten), served as CAN0 to\n"
    "              CAN9; any other name is a SocketCAN interface (can0, vcan0), served under its name\n"
    "  -l ADDRESS  listen on ADDRESS (default 127.0.0.1); anyone who reaches it can use the buses\n"
    "  -p PORT     TCP port (default 29536; 0 picks a free one, printed at start)\n"
    "  -b RATE     bit rate of the buses: 10 20 50 100 125 250 500 800 1000 kbit/s, as 500, 500k or\n"
    "              500000 (default 125)\n"
    "  -e          send the buses' error frames to clients in raw mode (< error ... >), as socketcand\n"
    "              does when given an error mask\n"
    "  -n          send no discovery beacon (UDP port 42000)\n"
    "  -h, --help  show this and exit\n";
constexpr option kLongOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
constexpr uint32_t kDefaultRate = 125;
constexpr uint32_t kDefaultPort = 29536;
constexpr size_t kMostClients = 64;
constexpr int kListenBacklog = 16;

struct ServeOptions
{
    std::string address = "127.0.0.1";
    uint32_t port = kDefaultPort;
    uint32_t rate = kDefaultRate;
    bool beacon = true;
    // Off by default, as in socketcand: a client that does not expect `< error ... >` (python-can 4.1)
    // warns about every one.
    bool errorFrames = false;
    bool help = false;
    std::vector<std::string> buses;
};

// Written by the signal handler (write is safe there), read by the main loop's poll; set before the
// handler is installed.
int g_interruptWake = -1;

void OnInterrupt(int)
{
    uint64_t one = 1;
    (void)!write(g_interruptWake, &one, sizeof(one));
}

bool ParseOptions(int argc, char** argv, ServeOptions& options, std::string& error)
{
    optind = 1;
    int option;
    while ((option = getopt_long(argc, argv, "+l:p:b:enh", kLongOptions, nullptr)) != -1) {
        switch (option) {
        case 'l': options.address = optarg; break;
        case 'p':
            if (!ParseNumber(optarg, 65535, options.port)) {
                error = std::string("-p needs a port 0 to 65535, not ") + optarg;
                return false;
            }
            break;
        case 'b':
            if (!ParseBitRate(optarg, options.rate)) {
                error = std::string("-b ") + optarg + ": not a bit rate; " + BitRateAdvice();
                return false;
            }
            break;
        case 'e': options.errorFrames = true; break;
        case 'n': options.beacon = false; break;
        case 'h': options.help = true; return true;
        default: error = "unknown option"; return false;
        }
    }
    for (int i = optind; i < argc; ++i) {
        options.buses.emplace_back(argv[i]);
    }
    return true;
}

// The buses to serve, each on a driver device: CANn on CANn:, an interface on a device the command line
// leaves free (from CAN9: down), mapped to it with RVCAN32CE_CANn before the driver is loaded. A name
// that means no bus here, or a bus named twice, refuses the command line.
bool PlanBuses(const ServeOptions& options, std::vector<std::unique_ptr<cServedBus>>& buses,
               std::string& error)
{
    std::vector<std::string> names = options.buses;
    if (names.empty()) {
        for (int n = 0; n < 10; ++n) {
            names.push_back("CAN" + std::to_string(n) + ":");
        }
    }
    std::vector<ResolvedDevice> resolved;
    bool used[cServedBus::kMostBuses] = {};
    for (const std::string& name : names) {
        resolved.push_back(
            ResolveDeviceName(name, &IsCanInterface, kSocketCanExists, ColonlessBus::InCapitals));
        const ResolvedDevice& device = resolved.back();
        if (device.kind == DeviceKind::Refused) {
            error = device.name;
            return false;
        }
        if (device.kind == DeviceKind::VirtualBus && used[device.bus]) {
            error = "CAN" + std::to_string(device.bus) + " is named twice";
            return false;
        }
        if (device.kind == DeviceKind::VirtualBus) {
            used[device.bus] = true;
        }
    }
    int free = cServedBus::kMostBuses - 1;
    for (const ResolvedDevice& device : resolved) {
        bool onInterface = device.kind == DeviceKind::Interface;
        int n = static_cast<int>(device.bus);
        std::string served = onInterface ? device.name : "CAN" + std::to_string(n);
        if (onInterface) {
            while (free >= 0 && used[free]) {
                --free;
            }
            if (free < 0) {
                error = "at most ten buses: the driver has ten devices";
                return false;
            }
            n = free;
            used[n] = true;
            setenv(("RVCAN32CE_CAN" + std::to_string(n)).c_str(), device.name.c_str(), 1); // DeviceMapping.h
        }
        for (const auto& bus : buses) {
            if (bus->Answers(served)) {
                error = served + " is named twice";
                return false;
            }
        }
        buses.push_back(std::make_unique<cServedBus>(served, "CAN" + std::to_string(n) + ":", options.rate));
    }
    return true;
}

int Listen(const ServeOptions& options, sockaddr_storage& bound, std::string& error)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string port = std::to_string(options.port);
    int status = getaddrinfo(options.address.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        error =
            "-l " + options.address + ": not a numeric IPv4 or IPv6 address (" + gai_strerror(status) + ")";
        return -1;
    }
    int listener = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(listener, found->ai_addr, found->ai_addrlen) != 0 || listen(listener, kListenBacklog) != 0) {
        error = "listening on " + options.address + " port " + port + " failed: " + strerror(errno) +
                (errno == EADDRINUSE ? "; another server has the port: choose one with -p" : "");
        freeaddrinfo(found);
        if (listener >= 0) {
            close(listener);
        }
        return -1;
    }
    freeaddrinfo(found);
    socklen_t length = sizeof(bound);
    getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
    return listener;
}

// A client whose machine vanished (the connection half-open) holds its slot no longer than about a
// minute: the kernel probes an idle connection and ends it when no probe is answered.
void KeepAlive(int socket)
{
    int on = 1;
    int idleSeconds = 30;
    int intervalSeconds = 10;
    int probes = 3;
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof(idleSeconds));
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof(intervalSeconds));
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
}

// "127.0.0.1:29536", "[::1]:29536": an IPv6 address in brackets, as a URL writes it.
std::string PeerName(const sockaddr_storage& peer)
{
    char host[NI_MAXHOST] = "?";
    char service[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof(peer), host, sizeof(host), service,
                sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV);
    bool v6 = peer.ss_family == AF_INET6;
    return (v6 ? "[" : "") + std::string(host) + (v6 ? "]:" : ":") + service;
}

class cServer
{
public:
    cServer(std::vector<std::unique_ptr<cServedBus>> buses, int listener, int endedWake)
        : m_owned(std::move(buses)), m_listener(listener), m_endedWake(endedWake)
    {
        for (const auto& bus : m_owned) {
            m_buses.push_back(bus.get());
        }
    }

    ~cServer()
    {
        m_clients.clear(); // each ends its connection and joins its thread
        close(m_listener);
    }

    void Accept()
    {
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        int socket =
            accept4(m_listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0) {
            return;
        }
        // Every message on the wire at once, not after a delayed acknowledgement.
        int on = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        KeepAlive(socket);
        std::string name = PeerName(peer);
        if (m_clients.size() >= kMostClients) {
            std::string refusal = FormatSocketcandMessage(SocketcandError(
                "too many clients (" + std::to_string(kMostClients) +
                "); try again in a few seconds: a connection that opens no bus is closed after " +
                std::to_string(cServeClient::kOpeningDeadline.count()) + " s"));
            (void)!send(socket, refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            close(socket);
            fprintf(stderr, "%s: %s refused: %zu clients already\n", kTool, name.c_str(), kMostClients);
            return;
        }
        fprintf(stderr, "%s: %s connected\n", kTool, name.c_str());
        m_clients.push_back(
            std::make_unique<cServeClient>(socket, ++m_lastId, name, m_buses, m_jobs, m_endedWake));
    }

    void Reap()
    {
        std::erase_if(m_clients, [](const auto& client) { return client->Ended(); });
        // What a hostile client took goes back to the system when it leaves, not only to the allocator.
        malloc_trim(0);
    }

    const std::vector<std::unique_ptr<cServedBus>>& Buses() const { return m_owned; }

private:
    // Destroyed in reverse: the clients first (they use the jobs and the buses), then the jobs, then the
    // buses. All touched by the main thread only.
    std::vector<std::unique_ptr<cServedBus>> m_owned;
    std::vector<cServedBus*> m_buses;
    cCyclicJobs m_jobs;
    std::vector<std::unique_ptr<cServeClient>> m_clients;
    int m_listener;
    int m_endedWake;
    uint64_t m_lastId = 0;
};

int Serve(const ServeOptions& options, std::vector<std::unique_ptr<cServedBus>> buses)
{
    // Two allocator arenas for all the threads, not one per client thread: memory that clients freed
    // is then whole enough for Reap's malloc_trim to give back (about 14 MB of 37 stayed behind in
    // per-thread arenas after 64 hostile clients; 2 MB with two). Set before any thread starts.
    mallopt(M_ARENA_MAX, 2);
    std::string error;
    std::vector<std::string> names;
    for (size_t slot = 0; slot < buses.size(); ++slot) {
        if (!buses[slot]->Open(slot, options.errorFrames, error)) {
            return ReportFailure(kTool, buses[slot]->Name() + ": " + error);
        }
        names.push_back(buses[slot]->Name());
    }
    sockaddr_storage bound{};
    int listener = Listen(options, bound, error);
    if (listener < 0) {
        return ReportFailure(kTool, error);
    }
    cBeacon beacon;
    if (options.beacon && !beacon.Open(bound, names, error)) {
        close(listener);
        return ReportFailure(kTool, error);
    }
    int endedWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    g_interruptWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    InstallInterruptHandler(OnInterrupt);
    signal(SIGPIPE, SIG_IGN);

    std::string list;
    for (const std::string& name : names) {
        list += " " + name;
    }
    printf("%s: listening on %s, buses%s at %u kbit/s%s\n", kTool, PeerName(bound).c_str(), list.c_str(),
           options.rate, options.beacon ? "" : ", no beacon");
    fflush(stdout);

    {
        cServer server(std::move(buses), listener, endedWake);
        auto nextBeacon = std::chrono::steady_clock::now();
        for (;;) {
            if (options.beacon && std::chrono::steady_clock::now() >= nextBeacon) {
                beacon.Send();
                nextBeacon += cBeacon::kBeaconPeriod;
            }
            auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                nextBeacon - std::chrono::steady_clock::now());
            pollfd fds[3] = {{listener, POLLIN, 0}, {g_interruptWake, POLLIN, 0}, {endedWake, POLLIN, 0}};
            int timeout = options.beacon ? static_cast<int>(std::max<int64_t>(waitMs.count(), 0)) + 1 : -1;
            if (poll(fds, 3, timeout) < 0 && errno != EINTR) {
                break;
            }
            if (fds[1].revents & POLLIN) {
                break;
            }
            if (fds[2].revents & POLLIN) {
                uint64_t count = 0;
                (void)!read(endedWake, &count, sizeof(count));
                server.Reap();
            }
            if (fds[0].revents & POLLIN) {
                server.Accept();
            }
        }
        fprintf(stderr, "%s: ending\n", kTool);
        for (const auto& bus : server.Buses()) {
            if (bus->RemoteFramesDropped() != 0) {
                fprintf(stderr, "%s: %s: %llu remote frames not served (the protocol cannot carry them)\n",
                        kTool, bus->Name().c_str(),
                        static_cast<unsigned long long>(bus->RemoteFramesDropped()));
            }
        }
    }
    close(endedWake);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    ServeOptions options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        fprintf(stderr, "%s: %s\n%s", kTool, error.c_str(), kUsage);
        return 2;
    }
    if (options.help) {
        fputs(kUsage, stdout);
        return 0;
    }
    std::vector<std::unique_ptr<cServedBus>> buses;
    if (!PlanBuses(options, buses, error)) {
        ReportFailure(kTool, error);
        return 2;
    }
    return Serve(options, std::move(buses));
}
