// One process's attachment to one virtual bus: the shared segment that every process opening the same
// bus maps.
//
// A bus is private to the user who opens it (the user's id is part of its name, and every object of it
// is readable and writable by that user only, in a directory only that user can write), unless
// RVCAN32CE_GROUP names a group: then the buses are the group's, shared by its members (objects owned
// by the group, mode 0660, in a directory only its members can write; posix/BusRendezvous.h). Nothing in the
// segment is trusted: other members can write anything into it, so readers check every frame (cBusRing) and
// the segment holds no lock, pointer or list that a member must follow.
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

    // Maps bus 0 to 9. Waits about 2 s at most for another process attaching to the same bus, and fails
    // at once when a signal handler of the program runs on this thread meanwhile. On failure returns
    // false and LastError() says why and what to do.
    bool Attach(uint32_t bus);
    void Detach();
    bool IsAttached() const { return m_layout != nullptr; }
    const std::string& LastError() const { return m_lastError; }

    BusRingShared& Ring();

    // The name of bus's shared objects for this process (BusSegmentName.h), with a leading '/'; empty
    // when RVCAN32CE_NAMESPACE or RVCAN32CE_GROUP cannot be used.
    static std::string SegmentName(uint32_t bus);
#ifndef _WIN32
    // The full path of bus's lock file for this process; empty when the environment cannot be used.
    static std::string LockFilePath(uint32_t bus);
#endif

private:
    std::string m_name;
    std::string m_path;   // Linux: the lock file's, for error texts
    int m_directory = -1; // Linux: where the lock file is
    int m_fd = -1;        // Linux: the bus's lock file, which names the segment
    int m_segmentId = -1; // Linux: the System V segment
    BusSegmentLayout* m_layout = nullptr;
    std::string m_lastError;
};
