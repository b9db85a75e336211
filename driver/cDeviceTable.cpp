#include "cDeviceTable.h"

#include <vector>

namespace {

constexpr uint32_t kIndexBits = 8;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr uint32_t kGenerationLimit = 1u << (32 - kIndexBits);

} // namespace

cDeviceTable::~cDeviceTable()
{
    std::vector<std::shared_ptr<cCanDevice>> open;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (Entry& entry : m_entries) {
            if (entry.device) {
                open.push_back(std::move(entry.device));
            }
        }
    }
    for (const std::shared_ptr<cCanDevice>& device : open) {
        device->Close();
    }
}

uint32_t cDeviceTable::Add(std::shared_ptr<cCanDevice> device)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (uint32_t index = 0; index < kCapacity; ++index) {
        Entry& entry = m_entries[index];
        if (!entry.device) {
            entry.generation = (entry.generation + 1) % kGenerationLimit;
            entry.device = std::move(device);
            return entry.generation << kIndexBits | (index + 1);
        }
    }
    return 0;
}

bool cDeviceTable::Decode(uint32_t handle, uint32_t& index) const
{
    uint32_t slot = handle & kIndexMask;
    if (slot == 0 || slot > kCapacity) {
        return false;
    }
    index = slot - 1;
    return m_entries[index].device && m_entries[index].generation == handle >> kIndexBits;
}

std::shared_ptr<cCanDevice> cDeviceTable::Find(uint32_t handle) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    uint32_t index = 0;
    return Decode(handle, index) ? m_entries[index].device : nullptr;
}

std::shared_ptr<cCanDevice> cDeviceTable::Remove(uint32_t handle)
{
    std::lock_guard<std::mutex> lock(m_lock);
    uint32_t index = 0;
    if (!Decode(handle, index)) {
        return nullptr;
    }
    return std::move(m_entries[index].device);
}
