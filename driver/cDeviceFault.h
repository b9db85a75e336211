// Why a device no longer works at all (a lost connection, an adapter pulled out): set once, by whichever
// thread finds out first, and read by any thread. The first reason stays; later ones are dropped.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

class cDeviceFault
{
public:
    bool Set() const { return m_set.load(); }
    // Empty while the device works.
    std::string Text() const;
    // True when this call set the fault (the first to find out).
    bool SetOnce(const std::string& text);

private:
    std::atomic<bool> m_set{false}; // set once, after m_text is written
    mutable std::mutex m_lock;      // guards m_text
    std::string m_text;
};
