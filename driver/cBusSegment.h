// One process's attachment to one virtual bus: the shared segment that every process on the machine
// opening the same bus maps, and the lock that lets one member at a time publish a frame.
//
// The segment of bus N is created by the first process that attaches and removed by the last one
// that detaches. A segment left by processes that died is checked before use and re-initialised when
// it does not match this build's layout, so it never breaks a later run.
#pragma once

#include <cstdint>
#include <string>

#include "BusLayout.h"

struct BusSegmentLayout;

class cBusSegment
{
public:
    cBusSegment() = default;
    ~cBusSegment();

    cBusSegment(const cBusSegment&) = delete;
    cBusSegment& operator=(const cBusSegment&) = delete;

    // Maps bus 0 to 9. On failure returns false and LastError() names the call that failed.
    bool Attach(uint32_t bus);
    void Detach();
    bool IsAttached() const { return m_layout != nullptr; }
    const std::string& LastError() const { return m_lastError; }

    BusRingShared& Ring();

    // Waits at most about a second for the right to publish; false when a member that stopped without
    // dying holds it. A member that died holding it is detected and its half-written frame overwritten.
    bool LockWriters();
    void UnlockWriters();

    // The shared-memory name of a bus: /rvcan32ce-bus-N-vV, or /rvcan32ce-NAMESPACE-bus-N-vV when the
    // environment variable RVCAN32CE_NAMESPACE names a private set of buses (tests use this so that
    // runs in parallel never share a bus). Empty when the namespace holds characters other than
    // letters, digits, '-' and '_', or is longer than 32 characters.
    static std::string SegmentName(uint32_t bus);

private:
    bool OpenAndLock(const std::string& name, int& fd);
    bool MapLocked(int fd);
    void ReleaseDescriptor(int fd);
    bool RepairWriterLock();

    std::string m_name;
    int m_fd = -1;
    BusSegmentLayout* m_layout = nullptr;
    std::string m_lastError;
};
