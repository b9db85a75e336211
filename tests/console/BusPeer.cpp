#include "BusPeer.h"

#include <algorithm>
#include <cstdio>

namespace {

// The receive function has no context argument: the one peer that receives is reached through this.
// Set and cleared on the test's thread around the receive queue's lifetime.
std::atomic<BusPeer*> receivingPeer{nullptr};

// The peer's flood comes back to it (self-reception); it is counted, not kept.
constexpr uint32_t kFloodId = 0x7AA;

} // namespace

std::string CompactFrame(const CanMessageDescriptor& message)
{
    char text[64];
    int at = snprintf(text, sizeof(text), message.extended == 1 ? "%08X#" : "%03X#", message.id);
    for (size_t i = 0; i < std::min<size_t>(message.length, 8); ++i) {
        at += snprintf(text + at, sizeof(text) - static_cast<size_t>(at), "%02X", message.data[i]);
    }
    return text;
}

BusPeer::BusPeer(uint8_t port, int32_t baudrate)
{
    if (m_port.OpenWithBaudrate(port, baudrate) == 0) {
        receivingPeer.store(this);
        m_port.StartReceive(&BusPeer::OnMessage);
    }
}

BusPeer::~BusPeer()
{
    StopFlood();
    m_port.StopReceive();
    receivingPeer.store(nullptr);
    m_port.Close();
}

void WINAPI BusPeer::OnMessage(CanMessageDescriptor* message)
{
    BusPeer* peer = receivingPeer.load();
    if (peer == nullptr || message == nullptr) {
        return;
    }
    if (message->id == kFloodId) {
        return;
    }
    std::lock_guard<std::mutex> lock(peer->m_mutex);
    peer->m_received.push_back(CompactFrame(*message));
}

int32_t BusPeer::Send(uint32_t id, bool extended, std::vector<uint8_t> data)
{
    cCanPacket packet;
    packet.extended = extended ? 1 : 0;
    packet.SetId(id);
    packet.SetData(static_cast<uint8_t>(data.size()), data.data());
    return m_port.Send(packet);
}

std::vector<std::string> BusPeer::Received()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

void BusPeer::StartFlood()
{
    m_flooding = true;
    m_flood = std::thread([this] {
        cCanPacket packet;
        packet.SetId(kFloodId);
        while (m_flooding.load()) {
            if (m_port.Send(packet) == 0) {
                m_flooded.fetch_add(1);
            }
        }
    });
}

void BusPeer::StopFlood()
{
    m_flooding = false;
    if (m_flood.joinable()) {
        m_flood.join();
    }
}
