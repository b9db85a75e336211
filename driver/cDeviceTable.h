// The devices of this process, by handle. A handle is a 32-bit value that is never 0 and never names a
// closed device again: the slot index in its low byte, the slot's reuse count above it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "cCanDevice.h"

class cDeviceTable
{
public:
    cDeviceTable() = default;
    // Closes every device still open, so that no receive thread outlives the library's code.
    ~cDeviceTable();

    cDeviceTable(const cDeviceTable&) = delete;
    cDeviceTable& operator=(const cDeviceTable&) = delete;

    // 0 when every slot is taken.
    uint32_t Add(std::shared_ptr<cCanDevice> device);
    std::shared_ptr<cCanDevice> Find(uint32_t handle) const;
    // Takes the device out of the table; null for an unknown handle.
    std::shared_ptr<cCanDevice> Remove(uint32_t handle);

    static constexpr uint32_t kCapacity = 64;

private:
    struct Entry
    {
        std::shared_ptr<cCanDevice> device;
        uint32_t generation = 0;
    };

    bool Decode(uint32_t handle, uint32_t& index) const;

    mutable std::mutex m_lock; // guards m_entries; held only for lookups, never during device calls
    std::array<Entry, kCapacity> m_entries;
};
