#include "cCanPacket.h"

#include "platform.h"

#include <cstring>

namespace {

constexpr uint32_t kMaxDataBytes = sizeof(cCanPacket::data);

} // namespace

cCanPacket::cCanPacket() : id(0), extended(0), remote(0), length(kMaxDataBytes)
{
    memset(data, 0, sizeof(data));
}

cCanPacket::cCanPacket(const cCanPacket& other)
    : id(other.id), extended(other.extended), remote(other.remote), length(other.length)
{
    memcpy(data, other.data, sizeof(data));
}

cCanPacket& cCanPacket::operator=(const cCanPacket& other)
{
    id = other.id;
    extended = other.extended;
    remote = other.remote;
    memcpy(data, other.data, sizeof(data));
    length = other.length;
    return *this;
}

cCanPacket::~cCanPacket() = default;

void cCanPacket::SetId(uint32_t identifier)
{
    id = identifier & (extended != 0 ? kExtendedIdMask : kStandardIdMask);
}

uint32_t cCanPacket::GetId() const
{
    return id;
}

int32_t cCanPacket::SetData(uint8_t count, const uint8_t* bytes)
{
    if (count == 0 || count > kMaxDataBytes) {
        return -1;
    }
    length = count;
    if (bytes == nullptr) {
        return -1; // as unreadable as any other invalid address
    }
    bool copied = RunGuarded([&] { memcpy(data, bytes, count); });
    return copied ? 0 : -1;
}
