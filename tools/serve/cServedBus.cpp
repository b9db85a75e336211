#include "cServedBus.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <sys/time.h>
#include <utility>

#include "cServeClient.h"

namespace {

// The driver's receive queue for each bus: as deep as the bus's ring, so the server drops nothing of
// its own accord; a client too slow for the bus loses frames in its own queue, not everybody's.
constexpr uint32_t kReceiveDepth = 32768;
// Own frames not seen back after this long are forgotten (a device that does not loop them back, a
// frame the bus refused late): the list stays short and a stale entry cannot hide a later frame.
constexpr auto kOwnFrameLifetime = std::chrono::seconds(2);
constexpr size_t kMostOwnFrames = 4096;

// The receive function gets nothing but the frame, so each slot has a function of its own that finds its
// bus here. Written by the main thread while the slot's device is not receiving; read by the slot's
// receive thread.
std::array<std::atomic<cServedBus*>, cServedBus::kMostBuses> g_servedBuses{};

template <void (cServedBus::*Handle)(const CanMessageDescriptor&), size_t Slot>
void WINAPI ReceiveOnSlot(CanMessageDescriptor* message)
{
    cServedBus* bus = g_servedBuses[Slot].load(std::memory_order_acquire);
    if (bus != nullptr && message != nullptr) {
        (bus->*Handle)(*message);
    }
}

template <void (cServedBus::*Handle)(const CanMessageDescriptor&), size_t... Slots>
constexpr auto ReceiveFunctions(std::index_sequence<Slots...>)
{
    return std::array<CanReceiveFunction, sizeof...(Slots)>{ReceiveOnSlot<Handle, Slots>...};
}

constexpr auto kSlots = std::make_index_sequence<cServedBus::kMostBuses>();
constexpr auto kReceiveFunctions = ReceiveFunctions<&cServedBus::OnReceive>(kSlots);
constexpr auto kErrorFrameFunctions = ReceiveFunctions<&cServedBus::OnErrorFrame>(kSlots);

std::string Upper(std::string_view text)
{
    std::string upper;
    for (char c : text) {
        upper += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

SocketcandTime Now()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return {static_cast<uint64_t>(now.tv_sec), static_cast<uint32_t>(now.tv_usec)};
}

} // namespace

cServedBus::cServedBus(std::string name, std::string device, uint32_t kbitPerSecond)
    : m_name(std::move(name)), m_deviceName(std::move(device)), m_kbit(kbitPerSecond)
{}

cServedBus::~cServedBus()
{
    Close();
}

bool cServedBus::Open(size_t slot, bool forwardErrorFrames, std::string& error)
{
    if (!m_driverDevice.Open(m_deviceName, m_kbit, error)) {
        return false;
    }
    m_slot = slot;
    g_servedBuses[slot].store(this, std::memory_order_release);
    if (forwardErrorFrames) {
        m_driverDevice.ReceiveErrorFrames(
            kErrorFrameFunctions[slot]); // a driver without them serves frames only
    }
    if (!m_driverDevice.StartReceive(kReceiveFunctions[slot], error, kReceiveDepth)) {
        Close();
        return false;
    }
    return true;
}

void cServedBus::Close()
{
    m_driverDevice.Close(); // when it returns, the receive function has ended for good
    if (m_slot < kMostBuses) {
        g_servedBuses[m_slot].store(nullptr, std::memory_order_release);
        m_slot = kMostBuses;
    }
}

bool cServedBus::Answers(std::string_view name) const
{
    std::string upper = Upper(name);
    std::string own = Upper(m_name);
    return upper == own || (own.size() == 4 && own.compare(0, 3, "CAN") == 0 && upper == own + ":");
}

void cServedBus::Attach(cServeClient* client)
{
    std::lock_guard lock(m_mutex);
    m_clients.push_back(client);
}

void cServedBus::Detach(cServeClient* client)
{
    std::lock_guard lock(m_mutex);
    m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
}

bool cServedBus::Transmit(const SocketcandFrame& frame, uint64_t origin, std::string& error)
{
    CanMessageDescriptor message{};
    message.extended = frame.extended ? 1 : 0;
    message.id = frame.id;
    message.length = frame.length;
    std::copy(frame.data.begin(), frame.data.begin() + frame.length, message.data);
    {
        // Listed before it is sent: the device may receive it back before Transmit returns.
        std::lock_guard lock(m_mutex);
        if (m_ownFrames.size() == kMostOwnFrames) {
            m_ownFrames.pop_front();
        }
        m_ownFrames.push_back({frame, origin, std::chrono::steady_clock::now()});
    }
    if (m_driverDevice.Transmit(message, error)) {
        return true;
    }
    std::lock_guard lock(m_mutex);
    for (auto it = m_ownFrames.rbegin(); it != m_ownFrames.rend(); ++it) {
        if (it->origin == origin && it->frame == frame) {
            m_ownFrames.erase(std::next(it).base());
            break;
        }
    }
    return false;
}

// Called with m_mutex held. The oldest matching frame sent is the one that came back: a device's frames
// of the same content leave in the order they were queued.
uint64_t cServedBus::TakeOrigin(const SocketcandFrame& frame)
{
    auto now = std::chrono::steady_clock::now();
    while (!m_ownFrames.empty() && now - m_ownFrames.front().sent > kOwnFrameLifetime) {
        m_ownFrames.pop_front();
    }
    for (auto it = m_ownFrames.begin(); it != m_ownFrames.end(); ++it) {
        if (it->frame == frame) {
            uint64_t origin = it->origin;
            m_ownFrames.erase(it);
            return origin;
        }
    }
    return 0;
}

void cServedBus::OnReceive(const CanMessageDescriptor& message)
{
    SocketcandTime time = Now();
    if (message.remote != 0) {
        m_remoteDropped.fetch_add(1);
        return;
    }
    ServedFrame served;
    served.frame.id = message.id;
    served.frame.extended = message.extended != 0;
    served.frame.length = static_cast<uint8_t>(std::min<size_t>(message.length, kSocketcandMaxData));
    std::copy(message.data, message.data + served.frame.length, served.frame.data.begin());
    SocketcandMessage received = SocketcandReceived(served.frame, time);
    // A line break before each frame: python-can 4.1's reader skips one byte too many after each read,
    // so a message that a read cuts in two is lost unless a byte separates it from the one before. Before,
    // not after: a read that ends in a lone separator makes it log a warning, and reads end after a
    // message far more often than inside one.
    served.compact = "\n" + FormatSocketcandMessage(received);
    served.spaced = "\n" + FormatSocketcandMessage(received, SocketcandDataForm::Spaced);
    std::lock_guard lock(m_mutex);
    served.origin = TakeOrigin(served.frame);
    for (cServeClient* client : m_clients) {
        client->OnBusFrame(served);
    }
}

void cServedBus::OnErrorFrame(const CanMessageDescriptor& message)
{
    std::array<uint8_t, kSocketcandMaxData> details{};
    std::copy(message.data, message.data + kSocketcandMaxData, details.begin());
    // A line break before it, as before a frame (OnReceive says why).
    std::string line = "\n" + FormatSocketcandMessage(SocketcandErrorFrame(message.id, details, Now()));
    std::lock_guard lock(m_mutex);
    for (cServeClient* client : m_clients) {
        client->OnBusErrorFrame(line);
    }
}
