#include "cErrorFrameReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef __linux__
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

constexpr int kStopCheckMs = 100;

} // namespace

cErrorFrameReader::~cErrorFrameReader()
{
    Stop();
}

#ifdef __linux__

bool cErrorFrameReader::Start(const std::string& interfaceName, uint32_t errorMask, size_t device,
                              Deliver deliver, std::string& error)
{
    Stop();
    m_socket = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (m_socket < 0) {
        error = std::string("socket(PF_CAN) for error frames failed: ") + strerror(errno);
        return false;
    }
    can_err_mask_t mask = errorMask & CAN_ERR_MASK;
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(if_nametoindex(interfaceName.c_str()));
    if (setsockopt(m_socket, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) != 0 ||
        setsockopt(m_socket, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &mask, sizeof(mask)) != 0 ||
        address.can_ifindex == 0 ||
        bind(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = "opening " + interfaceName + " for error frames failed: " + strerror(errno);
        close(m_socket);
        m_socket = -1;
        return false;
    }
    m_device = device;
    m_deliver = deliver;
    m_stopping = false;
    m_thread = std::thread(&cErrorFrameReader::ReadLoop, this);
    return true;
}

void cErrorFrameReader::ReadLoop()
{
    while (!m_stopping.load()) {
        pollfd readable{m_socket, POLLIN, 0};
        if (poll(&readable, 1, kStopCheckMs) != 1) {
            continue;
        }
        can_frame received{};
        if (read(m_socket, &received, sizeof(received)) != static_cast<ssize_t>(sizeof(received)) ||
            (received.can_id & CAN_ERR_FLAG) == 0) {
            continue;
        }
        CanMessageDescriptor frame{};
        frame.extended = 1;
        frame.id = received.can_id & (CAN_ERR_FLAG | CAN_ERR_MASK);
        frame.length = std::min<uint16_t>(received.can_dlc, CAN_MAX_DLEN);
        memcpy(frame.data, received.data, frame.length);
        m_deliver(m_device, frame);
    }
}

void cErrorFrameReader::Stop()
{
    m_stopping = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
}

#else

bool cErrorFrameReader::Start(const std::string& interfaceName, uint32_t, size_t, Deliver, std::string& error)
{
    error = interfaceName + ": error frames come only from SocketCAN interfaces, which exist only on Linux";
    return false;
}

void cErrorFrameReader::Stop() {}

void cErrorFrameReader::ReadLoop() {}

#endif
