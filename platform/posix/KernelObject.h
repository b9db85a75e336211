// Reference-counted objects behind HANDLE values, as Win32 keeps them: a handle and a running thread
// each hold a reference, and the object goes away with the last one.
#pragma once

#include <atomic>

#include "wintypes.h"

class KernelObject
{
public:
    virtual ~KernelObject() = default;
    void AddRef() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void Release()
    {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }
    // Waits until the object is signalled; false on timeout.
    virtual bool Wait(DWORD milliseconds) = 0;

private:
    std::atomic<int> m_refs{1};
};

inline KernelObject* ObjectFromHandle(HANDLE handle)
{
    return static_cast<KernelObject*>(handle);
}
