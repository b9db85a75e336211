#include "cSocketCanDevice.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "BoundedSend.h"
#include "BusPlatform.h"
#include "BusStateName.h"
#include "DebugOutputLine.h"
#include "ErrorFrameState.h"
#include "ErrorFrames.h"
#include "FrameRules.h"
#include "QuotedValue.h"
#include "SocketCanBitrate.h"
#include "SocketCanController.h"
#include "SocketCanFrames.h"

namespace {

// A waiting receive thread looks at its stop flag at least this often, even if a wake-up were lost.
constexpr int kIdleWakeMs = 100;
// After a socket error (the interface went down) the thread waits this long before reading again.
constexpr int kErrorPauseMs = 50;
// Receive buffer asked for: room for tens of thousands of frames, so that a reader that falls behind
// during a burst catches up instead of losing frames.
constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;
constexpr unsigned kBatchFrames = 64;

std::string CallFailed(const char* call, const std::string& interfaceName)
{
    return std::string(call) + " on " + interfaceName + " failed: " + strerror(errno);
}

bool SetOption(int socket, int level, int name, int value)
{
    return setsockopt(socket, level, name, &value, sizeof(value)) == 0;
}

} // namespace

// recvmmsg's arrays for one batch, with room for the two control messages asked for.
struct cSocketCanDevice::ReceiveBatch
{
    static constexpr size_t kControlBytes = CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(uint32_t));

    std::array<can_frame, kBatchFrames> frames{};
    std::array<iovec, kBatchFrames> buffers{};
    std::array<mmsghdr, kBatchFrames> headers{};
    alignas(cmsghdr) std::array<std::array<char, kControlBytes>, kBatchFrames> control{};

    void Prepare()
    {
        for (size_t i = 0; i < kBatchFrames; ++i) {
            buffers[i] = iovec{&frames[i], sizeof(can_frame)};
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_iov = &buffers[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            headers[i].msg_hdr.msg_control = control[i].data();
            headers[i].msg_hdr.msg_controllen = kControlBytes;
        }
    }
};

cSocketCanDevice::cSocketCanDevice(std::string interfaceName) : m_interface(std::move(interfaceName)) {}

cSocketCanDevice::~cSocketCanDevice()
{
    EndReceiveThreadForGood();
    if (m_socket >= 0) {
        close(m_socket);
    }
    if (m_wake >= 0) {
        close(m_wake);
    }
}

bool cSocketCanDevice::Open(std::string& error)
{
    if (m_interface.size() >= IFNAMSIZ) {
        error =
            "interface name " + QuotedValue(m_interface) + " is longer than " + std::to_string(IFNAMSIZ - 1);
        return false;
    }
    unsigned index = if_nametoindex(m_interface.c_str());
    if (index == 0) {
        error = "interface " + QuotedValue(m_interface) + " does not exist (see 'ip link')";
        return false;
    }
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_socket = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
    if (m_wake < 0 || m_socket < 0) {
        error = CallFailed(m_wake < 0 ? "eventfd" : "socket(PF_CAN, SOCK_RAW, CAN_RAW)", m_interface);
        return false;
    }
    if (!Configure(error)) {
        return false;
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        error = CallFailed("bind", m_interface) + " (is it a CAN interface?)";
        return false;
    }
    return true;
}

bool cSocketCanDevice::Configure(std::string& error)
{
    SetReception(false); // until a queue starts
    if (!SetOption(m_socket, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, 1) ||
        !SetOption(m_socket, SOL_SOCKET, SO_TIMESTAMP, 1) ||
        !SetOption(m_socket, SOL_SOCKET, SO_RXQ_OVFL, 1)) {
        error = CallFailed("setsockopt", m_interface);
        return false;
    }
    // Beyond net.core.rmem_max only with CAP_NET_ADMIN; otherwise the kernel caps SO_RCVBUF itself.
    if (!SetOption(m_socket, SOL_SOCKET, SO_RCVBUFFORCE, kReceiveBufferBytes) &&
        !SetOption(m_socket, SOL_SOCKET, SO_RCVBUF, kReceiveBufferBytes)) {
        error = CallFailed("setsockopt(SO_RCVBUF)", m_interface);
        return false;
    }
    return true;
}

// An empty filter list lets no frame in; one filter with mask 0 lets every data and remote frame in.
void cSocketCanDevice::SetReception(bool on)
{
    can_filter all{0, 0};
    setsockopt(m_socket, SOL_CAN_RAW, CAN_RAW_FILTER, on ? &all : nullptr, on ? sizeof(all) : 0);
    can_err_mask_t errors = on ? CAN_ERR_MASK : 0;
    setsockopt(m_socket, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof(errors));
}

bool cSocketCanDevice::SetBitrate(uint32_t kbitPerSecond, std::string& why)
{
    if (!IsSupportedBitrate(kbitPerSecond)) {
        why = std::to_string(kbitPerSecond) + " kbit/s is not one of " + kSupportedBitratesText;
        return false;
    }
    if (!ApplyInterfaceBitrate(m_interface, kbitPerSecond, why)) {
        return false;
    }
    DropPendingError();
    return true;
}

// Taking the interface down leaves ENETDOWN pending on the bound socket, and the next send would fail
// with it although the interface is up again.
void cSocketCanDevice::DropPendingError()
{
    int pending = 0;
    socklen_t size = sizeof(pending);
    getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &pending, &size);
}

bool cSocketCanDevice::Transmit(const CanMessageDescriptor& message, uint32_t waitMs, std::string& why)
{
    can_frame frame;
    if (!CanFrameFromMessage(message, frame)) {
        why = "extended and remote must be 0 or 1, the id must fit its format, and a data frame has at "
              "most 8 bytes";
        return false;
    }
    int lastError = 0;
    SendSteps steps;
    steps.attempt = [&] {
        if (send(m_socket, &frame, sizeof(frame), MSG_DONTWAIT) == static_cast<ssize_t>(sizeof(frame))) {
            return SendAttempt::Sent;
        }
        lastError = errno;
        if (lastError == EAGAIN || lastError == EINTR) {
            return SendAttempt::SocketFull;
        }
        return lastError == ENOBUFS ? SendAttempt::QueueFull : SendAttempt::Failed;
    };
    steps.wait = [&](SendAttempt why, uint32_t leftMs) {
        pollfd writable{m_socket, POLLOUT, 0};
        if (why == SendAttempt::SocketFull) {
            poll(&writable, 1, static_cast<int>(leftMs));
        } else {
            poll(nullptr, 0, 1); // nothing signals a drained device queue: look again shortly
        }
    };
    steps.nowMs = [] { return MonotonicNanoseconds() / 1000000; };
    SendAttempt outcome = SendWithin(waitMs, steps);
    if (outcome == SendAttempt::Sent) {
        return true;
    }
    errno = lastError;
    why = outcome == SendAttempt::Failed ? CallFailed("send", m_interface)
                                         : "the transmit queue of " + m_interface + " stayed full for " +
                                               std::to_string(waitMs) + " ms (" + strerror(lastError) + ")";
    return false;
}

void cSocketCanDevice::PrepareReception(uint32_t, bool onReceiveThread)
{
    if (onReceiveThread) {
        return; // the thread is still reading: it only has to go on delivering
    }
    eventfd_t ignored = 0;
    eventfd_read(m_wake, &ignored);
    DiscardPending();
    m_pacer.Forget();
    m_gatherNext = false;
    SetReception(true);
}

void cSocketCanDevice::EndReception()
{
    SetReception(false);
}

void cSocketCanDevice::WakeReceiveThread()
{
    if (m_wake >= 0) {
        eventfd_write(m_wake, 1);
    }
}

void cSocketCanDevice::ResetCounters()
{
    m_received.store(0);
    m_dropped.store(0);
    m_errorFrames.store(0);
}

DeviceCounters cSocketCanDevice::Counters() const
{
    return DeviceCounters{m_received.load(), m_dropped.load(), m_errorFrames.load()};
}

DeviceBusState cSocketCanDevice::BusState() const
{
    DeviceBusState state;
    {
        std::lock_guard<std::mutex> lock(m_reportedLock);
        state = m_reported;
    }
    ReadControllerState(m_interface, state);
    return state;
}

bool cSocketCanDevice::RestartController(std::string& why)
{
    return RestartIfBusOff(m_interface, why);
}

void cSocketCanDevice::NoteErrorFrame(const CanMessageDescriptor& errorFrame)
{
    DeviceBusState before;
    DeviceBusState after;
    {
        std::lock_guard<std::mutex> lock(m_reportedLock);
        before = m_reported;
        after = BusStateAfterErrorFrame(before, errorFrame.id & ~kCanErrorFlag, errorFrame.data);
        m_reported = after;
    }
    if (after.state != before.state) {
        WriteDebugLine(m_interface + ": " + BusStateName(after.state));
    }
}

// No receive thread runs: the frames left from an earlier queue go, but
// their drop count is taken as the new starting point.
void cSocketCanDevice::DiscardPending()
{
    auto batch = std::make_unique<ReceiveBatch>();
    for (int round = 0; round < 1024; ++round) { // bounded: the buffer is not refilled while filtered
        batch->Prepare();
        int count = recvmmsg(m_socket, batch->headers.data(), kBatchFrames, MSG_DONTWAIT, nullptr);
        if (count <= 0) {
            return;
        }
        ReadBatch(*batch, count, false);
    }
}

void cSocketCanDevice::ReceiveLoop()
{
    auto batch = std::make_unique<ReceiveBatch>();
    while (!m_stopThread.load()) {
        pollfd waits[2] = {{m_socket, POLLIN, 0}, {m_wake, POLLIN, 0}};
        if (poll(waits, 2, kIdleWakeMs) <= 0 || (waits[1].revents & POLLIN) != 0) {
            continue; // timeout, signal or wake-up: the loop's condition decides
        }
        batch->Prepare();
        int count = recvmmsg(m_socket, batch->headers.data(), kBatchFrames, MSG_DONTWAIT, nullptr);
        if (count > 0) {
            ReadBatch(*batch, count, true);
            if (m_gatherNext) {
                GatherFrames();
            }
        } else if (errno != EAGAIN && errno != EINTR) {
            WaitForWake(kErrorPauseMs); // the interface went down or away; it may come back
        }
    }
}

// The first count entries of the batch hold what recvmmsg read.
void cSocketCanDevice::ReadBatch(ReceiveBatch& batch, int count, bool deliver)
{
    for (int i = 0; i < count; ++i) {
        msghdr& header = batch.headers[i].msg_hdr;
        timeval received{};
        for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr; item = CMSG_NXTHDR(&header, item)) {
            if (item->cmsg_level != SOL_SOCKET) {
                continue;
            }
            if (item->cmsg_type == SO_TIMESTAMP) {
                memcpy(&received, CMSG_DATA(item), sizeof(received));
            } else if (item->cmsg_type == SO_RXQ_OVFL) {
                uint32_t overflows = 0;
                memcpy(&overflows, CMSG_DATA(item), sizeof(overflows));
                if (deliver) {
                    m_dropped.fetch_add(DropsSince(m_overflowCount, overflows));
                }
                m_overflowCount = overflows;
            }
        }
        const can_frame& frame = batch.frames[i];
        if (!deliver || batch.headers[i].msg_len < sizeof(can_frame)) {
            continue;
        }
        m_gatherNext = m_pacer.GatherNext(static_cast<uint64_t>(received.tv_sec) * 1000000000u +
                                          static_cast<uint64_t>(received.tv_usec) * 1000u);
        DeliverFrame(frame, (header.msg_flags & MSG_CONFIRM) != 0, TimestampMilliseconds(received));
        if (m_stopThread.load()) {
            return; // stopped from inside the function: the rest of the batch is not delivered
        }
    }
}

// own: CAN_RAW_RECV_OWN_MSGS marked the frame as this socket's (MSG_CONFIRM).
void cSocketCanDevice::DeliverFrame(const can_frame& frame, bool own, uint32_t timestampMs)
{
    if (!IsErrorFrame(frame)) {
        Deliver(MessageFromCanFrame(frame, timestampMs, own));
        return;
    }
    m_errorFrames.fetch_add(1);
    CanMessageDescriptor message = ErrorMessageFromCanFrame(frame, timestampMs);
    NoteErrorFrame(message);
    DeliverError(message);
}

// The bus is busy: the frames of the next batch gather in the socket meanwhile, and a wake-up ends the
// wait for the loop's condition to decide.
void cSocketCanDevice::GatherFrames() const
{
    pollfd wake{m_wake, POLLIN, 0};
    const timespec window{0, static_cast<long>(kBatchWindowNanoseconds)};
    ppoll(&wake, 1, &window, nullptr);
}

void cSocketCanDevice::WaitForWake(int timeoutMs) const
{
    pollfd wake{m_wake, POLLIN, 0};
    poll(&wake, 1, timeoutMs);
}
