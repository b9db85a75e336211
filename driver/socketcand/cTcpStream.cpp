#include "cTcpStream.h"

#include <chrono>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, whose types it uses.
#include <mstcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// A silent connection is probed after this long; probes unanswered until kDeadPeerSeconds end it.
constexpr uint32_t kKeepAliveIdleSeconds = 2;

#if defined(_WIN32)
using Socket = SOCKET;
using PollEntry = WSAPOLLFD;
constexpr Socket kNoSocket = INVALID_SOCKET;

int LastSocketError()
{
    return WSAGetLastError();
}

bool WouldBlock(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAEINTR;
}

int PollSockets(PollEntry* entries, unsigned count, int timeoutMs)
{
    return WSAPoll(entries, count, timeoutMs);
}

void CloseSocket(Socket socket)
{
    closesocket(socket);
}

std::string SystemText(int error)
{
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(error), 0, text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) {
        text[--length] = 0;
    }
    return length > 0 ? std::string(text) : "Winsock error " + std::to_string(error);
}

bool SetNonBlocking(Socket socket)
{
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

// select, not WSAPoll: before Windows 10 2004, WSAPoll never reported a refused connect, which then
// looked like no answer at all.
int WaitConnected(Socket socket, int timeoutMs)
{
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, nullptr, &writable, &failed, &timeout);
}

void KeepAlive(Socket socket)
{
    // Windows sends 10 probes, a number no option changes: the interval fits them into the rest.
    tcp_keepalive settings{1, kKeepAliveIdleSeconds * 1000,
                           (cTcpStream::kDeadPeerSeconds - kKeepAliveIdleSeconds) * 1000 / 10};
    DWORD returned = 0;
    WSAIoctl(socket, SIO_KEEPALIVE_VALS, &settings, sizeof(settings), nullptr, 0, &returned, nullptr,
             nullptr);
}
#else
using Socket = int;
using PollEntry = pollfd;
constexpr Socket kNoSocket = -1;

int LastSocketError()
{
    return errno;
}

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS || error == EINTR;
}

int PollSockets(PollEntry* entries, unsigned count, int timeoutMs)
{
    return poll(entries, count, timeoutMs);
}

void CloseSocket(Socket socket)
{
    close(socket);
}

std::string SystemText(int error)
{
    return strerror(error);
}

bool SetNonBlocking(Socket socket)
{
    int flags = fcntl(socket, F_GETFL);
    return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

int WaitConnected(Socket socket, int timeoutMs)
{
    pollfd writable{socket, POLLOUT, 0};
    return poll(&writable, 1, timeoutMs);
}

void SetTcpOption(Socket socket, int name, int value)
{
    setsockopt(socket, IPPROTO_TCP, name, &value, sizeof(value));
}

void KeepAlive(Socket socket)
{
    int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    SetTcpOption(socket, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
    SetTcpOption(socket, TCP_KEEPINTVL, 1);
    SetTcpOption(socket, TCP_KEEPCNT, cTcpStream::kDeadPeerSeconds - kKeepAliveIdleSeconds);
    SetTcpOption(socket, TCP_USER_TIMEOUT, cTcpStream::kDeadPeerSeconds * 1000);
}
#endif

void NoDelay(Socket socket)
{
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
}

uint64_t NowMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int LeftMs(uint64_t deadline)
{
    uint64_t now = NowMs();
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

// A non-blocking connect to one address; kNoSocket, with error, when it is refused or times out.
Socket ConnectTo(const addrinfo& address, uint64_t deadline, uint32_t timeoutMs, std::string& error)
{
    Socket connecting = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (connecting == kNoSocket) {
        error = "socket: " + SystemText(LastSocketError());
        return kNoSocket;
    }
    if (!SetNonBlocking(connecting)) {
        error = "setting non-blocking mode: " + SystemText(LastSocketError());
        CloseSocket(connecting);
        return kNoSocket;
    }
    if (connect(connecting, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0 &&
        !WouldBlock(LastSocketError())) {
        error = SystemText(LastSocketError());
        CloseSocket(connecting);
        return kNoSocket;
    }
    int ready = WaitConnected(connecting, LeftMs(deadline));
    int failure = 0;
    socklen_t size = sizeof(failure);
    if (ready <= 0) {
        error = ready == 0 ? "no answer within " + std::to_string(timeoutMs) + " ms"
                           : SystemText(LastSocketError());
    } else if (getsockopt(connecting, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &size) != 0 ||
               failure != 0) {
        error = SystemText(failure != 0 ? failure : LastSocketError());
    } else {
        return connecting;
    }
    CloseSocket(connecting);
    return kNoSocket;
}

} // namespace

struct cTcpStream::Handles
{
    Socket socket = kNoSocket;
#if defined(_WIN32)
    Socket wake = kNoSocket; // a UDP socket connected to itself: Wake sends it a datagram
    bool started = false;    // WSAStartup succeeded; WSACleanup is owed
#else
    int wake = -1; // eventfd
#endif

    ~Handles()
    {
        if (socket != kNoSocket) {
            CloseSocket(socket);
        }
#if defined(_WIN32)
        if (wake != kNoSocket) {
            CloseSocket(wake);
        }
        if (started) {
            WSACleanup();
        }
#else
        if (wake >= 0) {
            close(wake);
        }
#endif
    }

    bool Start(std::string& error)
    {
#if defined(_WIN32)
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        if (!started) {
            error = "WSAStartup failed";
            return false;
        }
        wake = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof(self);
        if (wake == kNoSocket || bind(wake, reinterpret_cast<sockaddr*>(&self), size) != 0 ||
            getsockname(wake, reinterpret_cast<sockaddr*>(&self), &size) != 0 ||
            connect(wake, reinterpret_cast<sockaddr*>(&self), size) != 0 || !SetNonBlocking(wake)) {
            error = "creating the wake-up socket on 127.0.0.1: " + SystemText(LastSocketError());
            return false;
        }
#else
        wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0) {
            error = "eventfd: " + SystemText(errno);
            return false;
        }
#endif
        return true;
    }

    void DrainWake()
    {
        char bytes[64];
#if defined(_WIN32)
        while (recv(wake, bytes, sizeof(bytes), 0) > 0) {
        }
#else
        while (read(wake, bytes, sizeof(bytes)) > 0) {
        }
#endif
    }
};

std::unique_ptr<cTcpStream> cTcpStream::Connect(const std::string& host, uint16_t port, uint32_t timeoutMs,
                                                std::string& error)
{
    auto handles = std::make_unique<Handles>();
    if (!handles->Start(error)) {
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* addresses = nullptr;
    int failed = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
    if (failed != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(failed);
        return nullptr;
    }
    const uint64_t deadline = NowMs() + timeoutMs;
    std::string why = "no address";
    for (addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        handles->socket = ConnectTo(*address, deadline, timeoutMs, why);
        if (handles->socket != kNoSocket || LeftMs(deadline) == 0) {
            break;
        }
    }
    freeaddrinfo(addresses);
    if (handles->socket == kNoSocket) {
        bool v6 = host.find(':') != std::string::npos;
        error =
            "cannot connect to " + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + ": " + why;
        return nullptr;
    }
    NoDelay(handles->socket);
    KeepAlive(handles->socket);
    return std::unique_ptr<cTcpStream>(new cTcpStream(std::move(handles)));
}

cTcpStream::cTcpStream(std::unique_ptr<Handles> handles) : m_handles(std::move(handles)) {}

cTcpStream::~cTcpStream() = default;

cTcpStream::Sent cTcpStream::Send(const char* bytes, size_t size, uint32_t timeoutMs, size_t& sent,
                                  std::string& error)
{
    const uint64_t deadline = NowMs() + timeoutMs;
    sent = 0;
    while (sent < size) {
#if defined(_WIN32)
        long result = ::send(m_handles->socket, bytes + sent, static_cast<int>(size - sent), 0);
#else
        long result = ::send(m_handles->socket, bytes + sent, size - sent, MSG_NOSIGNAL);
#endif
        if (result > 0) {
            sent += static_cast<size_t>(result);
            continue;
        }
        int failure = LastSocketError();
        if (!WouldBlock(failure)) {
            error = SystemText(failure);
            return Sent::Failed;
        }
        PollEntry writable{};
        writable.fd = m_handles->socket;
        writable.events = POLLOUT;
        int left = LeftMs(deadline);
        if (left == 0 || PollSockets(&writable, 1, left) == 0) {
            error = "the server took no data for " + std::to_string(timeoutMs) + " ms";
            return Sent::NoRoom;
        }
    }
    return Sent::All;
}

cTcpStream::Wait cTcpStream::WaitReadable(uint32_t timeoutMs)
{
    PollEntry waits[2] = {};
    waits[0].fd = m_handles->socket;
    waits[0].events = POLLIN;
    waits[1].fd = m_handles->wake;
    waits[1].events = POLLIN;
    int ready = PollSockets(waits, 2, static_cast<int>(timeoutMs));
    if (ready <= 0) {
        return Wait::TimedOut; // a signal counts as a timeout: the caller looks again
    }
    if ((waits[1].revents & POLLIN) != 0) {
        m_handles->DrainWake();
        return Wait::Woken;
    }
    return Wait::Readable; // POLLIN, or POLLHUP/POLLERR that the next Read reports
}

void cTcpStream::WaitForWake(uint32_t timeoutMs)
{
    PollEntry wake{};
    wake.fd = m_handles->wake;
    wake.events = POLLIN;
    if (PollSockets(&wake, 1, static_cast<int>(timeoutMs)) > 0) {
        m_handles->DrainWake();
    }
}

long cTcpStream::Read(char* buffer, size_t size, std::string& error)
{
#if defined(_WIN32)
    long result = recv(m_handles->socket, buffer, static_cast<int>(size), 0);
#else
    long result = recv(m_handles->socket, buffer, size, 0);
#endif
    if (result >= 0) {
        return result;
    }
    int failure = LastSocketError();
    if (WouldBlock(failure)) {
        return kNothingYet;
    }
    error = SystemText(failure);
    return -1;
}

void cTcpStream::Wake()
{
#if defined(_WIN32)
    char one = 1;
    ::send(m_handles->wake, &one, 1, 0);
#else
    eventfd_write(m_handles->wake, 1);
#endif
}
