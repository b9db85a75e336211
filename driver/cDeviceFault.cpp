#include "cDeviceFault.h"

std::string cDeviceFault::Text() const
{
    if (!m_set.load()) {
        return {};
    }
    std::lock_guard<std::mutex> lock(m_lock);
    return m_text;
}

bool cDeviceFault::SetOnce(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_set.load()) {
        return false;
    }
    m_text = text;
    m_set.store(true);
    return true;
}
