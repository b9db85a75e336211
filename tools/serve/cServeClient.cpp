#include "cServeClient.h"

#include <cerrno>
#include <cstdio>

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cCyclicJobs.h"

namespace {

constexpr size_t kReadBytes = 4096;
// How long a refused client is given to read why before the connection closes.
constexpr int kRefusalLingerMs = 1000;
// How often a busy client's socket is looked at for a hang-up between its commands.
constexpr auto kHangUpLook = std::chrono::milliseconds(50);

using Clock = std::chrono::steady_clock;

SocketcandMessage Plain(SocketcandKind kind)
{
    SocketcandMessage message;
    message.kind = kind;
    return message;
}

std::string CommandWord(std::string_view bytes)
{
    size_t start = bytes.find_first_not_of("< \t\r\n");
    size_t end = bytes.find_first_of(" \t\r\n>", start);
    return start == std::string_view::npos ? std::string() : std::string(bytes.substr(start, end - start));
}

} // namespace

cServeClient::cServeClient(int socket, uint64_t id, std::string peer, const std::vector<cServedBus*>& buses,
                           cCyclicJobs& jobs, int endedWake)
    : m_socket(socket), m_peer(std::move(peer)), m_buses(buses), m_jobs(jobs), m_endedWake(endedWake),
      m_id(id), m_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_thread([this] { Run(); })
{}

cServeClient::~cServeClient()
{
    Stop();
    m_thread.join();
    close(m_socket);
    if (m_wake >= 0) {
        close(m_wake);
    }
}

void cServeClient::Stop()
{
    m_stopping.store(true);
    Wake();
}

void cServeClient::Wake()
{
    std::lock_guard lock(m_mutex);
    WakeLocked();
}

void cServeClient::WakeLocked()
{
    if (!m_wakePending && m_wake >= 0) {
        m_wakePending = true;
        uint64_t one = 1;
        (void)!write(m_wake, &one, sizeof(one));
    }
}

void cServeClient::Run()
{
    if (m_wake >= 0) {
        Serve();
    }
    if (m_bus != nullptr) {
        m_bus->Detach(this);
    }
    m_jobs.RemoveAll(m_id);
    shutdown(m_socket, SHUT_RDWR);
    uint64_t dropped = 0;
    {
        std::lock_guard lock(m_mutex);
        dropped = m_queue.Dropped();
    }
    fprintf(stderr, "can-serve: %s left (%llu frames dropped for it, %llu malformed messages)\n",
            m_peer.c_str(), static_cast<unsigned long long>(dropped),
            static_cast<unsigned long long>(m_malformed));
    m_ended.store(true);
    uint64_t one = 1;
    (void)!write(m_endedWake, &one, sizeof(one));
}

void cServeClient::Serve()
{
    Reply(Plain(SocketcandKind::Hi));
    Clock::time_point closeBy = Clock::time_point::max();
    while (!m_stopping.load()) {
        if (!m_closeAfterReply && Clock::now() >= OpeningDeadline()) {
            ReplyError("no bus opened within " + std::to_string(kOpeningDeadline.count()) +
                       " s; the connection closes");
            m_closeAfterReply = true;
        }
        bool readCommands = false;
        bool empty = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_held && Clock::now() - m_heldSince >= kStreamGrace) {
                m_held = false;
                FlushLocked();
            }
            readCommands = !m_queue.OverBound() && !m_closeAfterReply;
            empty = m_queue.Empty();
            if (m_broken) {
                return;
            }
        }
        if (m_closeAfterReply && (empty || Clock::now() >= closeBy)) {
            return;
        }
        if (m_closeAfterReply && closeBy == Clock::time_point::max()) {
            closeBy = Clock::now() + std::chrono::milliseconds(kRefusalLingerMs);
        }
        bool readable = false;
        if (!WaitForWork(readCommands, readable) || (readable && !ReadCommands())) {
            return;
        }
    }
}

bool cServeClient::WaitForWork(bool readCommands, bool& readable)
{
    pollfd fds[2] = {{m_socket, 0, 0}, {m_wake, POLLIN, 0}};
    int timeoutMs = -1;
    {
        std::lock_guard lock(m_mutex);
        if (!m_queue.Empty() && !m_held) {
            fds[0].events |= POLLOUT;
        }
        if (m_held) {
            auto left = kStreamGrace - (Clock::now() - m_heldSince);
            timeoutMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
            timeoutMs = timeoutMs < 0 ? 0 : timeoutMs;
        }
    }
    if (readCommands) {
        fds[0].events |= POLLIN;
    }
    if (m_closeAfterReply) {
        timeoutMs = kRefusalLingerMs;
    } else if (Clock::time_point deadline = OpeningDeadline(); deadline != Clock::time_point::max()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        left = std::max<decltype(left)>(left, 0);
        timeoutMs = timeoutMs < 0 ? static_cast<int>(left) : std::min(timeoutMs, static_cast<int>(left));
    }
    if (poll(fds, 2, timeoutMs) < 0) {
        return errno == EINTR;
    }
    if (fds[1].revents & POLLIN) {
        std::lock_guard lock(m_mutex);
        uint64_t count = 0;
        (void)!read(m_wake, &count, sizeof(count));
        m_wakePending = false;
    }
    if (fds[0].revents & POLLOUT) {
        std::lock_guard lock(m_mutex);
        FlushLocked();
    }
    readable = (fds[0].revents & POLLIN) != 0;
    // Hung up or failed with nothing left to read: the peer is gone.
    return readable || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

bool cServeClient::ReadCommands()
{
    char bytes[kReadBytes];
    ssize_t count = recv(m_socket, bytes, sizeof(bytes), 0);
    if (count == 0) {
        return false;
    }
    if (count < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    m_splitter.Feed(std::string_view(bytes, static_cast<size_t>(count)),
                    [this](std::string_view message) { Handle(message); });
    return true;
}

Clock::time_point cServeClient::OpeningDeadline()
{
    return m_bus == nullptr ? m_connectedAt + kOpeningDeadline : Clock::time_point::max();
}

bool cServeClient::HungUp()
{
    Clock::time_point now = Clock::now();
    if (now - m_hangUpLookedAt < kHangUpLook) {
        return false;
    }
    m_hangUpLookedAt = now;
    pollfd fd{m_socket, POLLRDHUP, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void cServeClient::Handle(std::string_view bytes)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_closeAfterReply || m_broken) {
            return;
        }
    }
    // A client may queue many commands that each wait for the bus, then hang up: its jobs must not run
    // on until the last of them is done. Its frames still go out, as a one-shot script expects.
    if (!m_hungUp && HungUp()) {
        m_hungUp = true;
        m_jobs.RemoveAll(m_id);
    }
    ReleaseStream();
    SocketcandMessage message;
    std::string reason = ParseSocketcandMessage(bytes, message);
    if (!reason.empty()) {
        ++m_malformed;
        ReplyError(reason);
        return;
    }
    Mode mode;
    {
        std::lock_guard lock(m_mutex);
        mode = m_mode;
    }
    if (message.kind == SocketcandKind::Echo) {
        Reply(message);
    } else if (mode == Mode::NoBus) {
        HandleWithoutBus(message);
    } else if (mode == Mode::Bcm) {
        HandleBcm(message);
    } else {
        HandleRaw(message);
    }
}

void cServeClient::HandleWithoutBus(const SocketcandMessage& message)
{
    if (message.kind != SocketcandKind::Open && message.kind != SocketcandKind::BusTiming) {
        ReplyError("open a bus first: < open BUS >");
        return;
    }
    cServedBus* bus = nullptr;
    std::string names;
    for (cServedBus* served : m_buses) {
        names += " " + served->Name();
        if (served->Answers(message.text)) {
            bus = served;
        }
    }
    if (bus == nullptr) {
        ReplyError("no bus " + message.text + " here; buses:" + names);
        m_closeAfterReply = message.kind == SocketcandKind::Open; // the protocol ends a refused open
        return;
    }
    if (message.kind == SocketcandKind::BusTiming) {
        // The rate is can-serve's, set on its command line for all clients; a client may only confirm it.
        if (message.timing.bitrate == bus->KbitPerSecond() * 1000) {
            Reply(Plain(SocketcandKind::Ok));
        } else {
            ReplyError(bus->Name() + " runs at " + std::to_string(bus->KbitPerSecond()) +
                       " kbit/s, set by can-serve -b; it cannot change to " +
                       std::to_string(message.timing.bitrate) + " bit/s");
        }
        return;
    }
    m_bus = bus;
    bus->Attach(this);
    SetMode(Mode::Bcm);
    Reply(Plain(SocketcandKind::Ok));
    fprintf(stderr, "can-serve: %s opened %s\n", m_peer.c_str(), bus->Name().c_str());
}

void cServeClient::HandleBcm(const SocketcandMessage& message)
{
    std::string error;
    bool done = true;
    SubscriptionKey key{message.frame.id, message.frame.extended};
    switch (message.kind) {
    case SocketcandKind::Send: Send(message.frame); return;
    case SocketcandKind::Add:
        done = m_hungUp || m_jobs.Add(m_id, *m_bus, message.frame, message.interval, error);
        break;
    case SocketcandKind::Update: done = m_hungUp || m_jobs.Update(m_id, message.frame, error); break;
    case SocketcandKind::Delete: done = m_jobs.Delete(m_id, message.frame, error); break;
    case SocketcandKind::Subscribe:
    case SocketcandKind::Filter: Subscribe(message); return;
    case SocketcandKind::Unsubscribe: {
        std::lock_guard lock(m_mutex);
        done = m_subscriptions.erase(key) != 0;
        error = "no subscription for that id";
        break;
    }
    case SocketcandKind::RawMode: SetMode(Mode::Raw); return;
    case SocketcandKind::BcmMode: Reply(Plain(SocketcandKind::Ok)); return;
    default:
        ReplyError("'" + CommandWord(FormatSocketcandMessage(message)) + "' is not a command of BCM mode");
        return;
    }
    if (!done) {
        ReplyError(error);
    }
}

void cServeClient::Subscribe(const SocketcandMessage& message)
{
    Subscription subscription;
    subscription.throttle = std::chrono::seconds(message.interval.seconds) +
                            std::chrono::microseconds(message.interval.microseconds);
    subscription.filtered = message.kind == SocketcandKind::Filter;
    subscription.mask = message.frame;
    SubscriptionKey key{message.frame.id, message.frame.extended};
    {
        std::lock_guard lock(m_mutex);
        if (m_subscriptions.size() < kMostSubscriptions || m_subscriptions.contains(key)) {
            m_subscriptions[key] = subscription;
            return;
        }
    }
    ReplyError("at most " + std::to_string(kMostSubscriptions) +
               " subscriptions and filters per connection: unsubscribe one first");
}

void cServeClient::HandleRaw(const SocketcandMessage& message)
{
    switch (message.kind) {
    case SocketcandKind::Send: Send(message.frame); return;
    case SocketcandKind::BcmMode: SetMode(Mode::Bcm); return;
    case SocketcandKind::RawMode: Reply(Plain(SocketcandKind::Ok)); return;
    default:
        ReplyError("'" + CommandWord(FormatSocketcandMessage(message)) + "' is not a command of raw mode");
        return;
    }
}

void cServeClient::Send(const SocketcandFrame& frame)
{
    std::string error;
    if (!m_bus->Transmit(frame, m_id, error)) {
        ReplyError(error);
    }
}

// Each switch forgets the other mode's jobs, as socketcand closes one socket and opens the other.
void cServeClient::SetMode(Mode mode)
{
    m_jobs.RemoveAll(m_id);
    std::lock_guard lock(m_mutex);
    m_subscriptions.clear();
    if (m_mode != Mode::NoBus) {
        m_queue.PushReply(FormatSocketcandMessage(Plain(SocketcandKind::Ok)));
        FlushLocked();
    }
    m_mode = mode;
    m_held = mode == Mode::Raw;
    m_heldSince = Clock::now();
}

void cServeClient::ReleaseStream()
{
    std::lock_guard lock(m_mutex);
    if (m_held) {
        m_held = false;
        FlushLocked();
    }
}

void cServeClient::Reply(const SocketcandMessage& message)
{
    std::lock_guard lock(m_mutex);
    m_queue.PushReply(FormatSocketcandMessage(message));
    FlushLocked();
}

void cServeClient::ReplyError(const std::string& text)
{
    Reply(SocketcandError(text));
}

void cServeClient::FlushLocked()
{
    while (!m_held && !m_broken && !m_queue.Empty()) {
        std::string_view pending = m_queue.Pending();
        ssize_t sent = send(m_socket, pending.data(), pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            m_queue.Consume(static_cast<size_t>(sent));
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                m_broken = true;
            }
            WakeLocked(); // the client thread waits for room, or notices the break
            return;
        }
    }
}

void cServeClient::OnBusFrame(const ServedFrame& frame)
{
    if (frame.origin == m_id) {
        return;
    }
    std::lock_guard lock(m_mutex);
    if (m_mode == Mode::Raw) {
        m_queue.PushFrame(frame.compact);
    } else if (m_mode == Mode::Bcm && Deliverable(frame, Clock::now())) {
        m_queue.PushFrame(frame.spaced);
    } else {
        return;
    }
    FlushLocked();
}

void cServeClient::OnBusErrorFrame(std::string_view message)
{
    std::lock_guard lock(m_mutex);
    if (m_mode == Mode::Raw) {
        m_queue.PushFrame(message);
        FlushLocked();
    }
}

// BCM reception: a subscribed id always, a filtered one when its masked content or length changed;
// either at most once per throttle interval (the broadcast manager would send the latest frame at the
// interval's end; this drops it).
bool cServeClient::Deliverable(const ServedFrame& frame, Clock::time_point now)
{
    auto it = m_subscriptions.find(SubscriptionKey{frame.frame.id, frame.frame.extended});
    if (it == m_subscriptions.end()) {
        return false;
    }
    Subscription& subscription = it->second;
    if (subscription.delivered && subscription.throttle != Clock::duration::zero() &&
        now - subscription.deliveredAt < subscription.throttle) {
        return false;
    }
    if (subscription.filtered && subscription.delivered) {
        bool changed = frame.frame.length != subscription.last.length;
        for (size_t i = 0; i < subscription.mask.length && !changed; ++i) {
            changed = ((frame.frame.data[i] ^ subscription.last.data[i]) & subscription.mask.data[i]) != 0;
        }
        if (!changed) {
            return false;
        }
    }
    subscription.last = frame.frame;
    subscription.delivered = true;
    subscription.deliveredAt = now;
    return true;
}
