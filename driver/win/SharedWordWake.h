// Windows: how a sleeper on a word inside a bus segment is woken from another process. Windows has no
// cross-process futex (WaitOnAddress works within one process only), so each segment carries a named
// semaphore and a shared count of its sleepers; a waker releases one token per counted sleeper.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <windows.h>

struct SegmentWake
{
    HANDLE semaphore = nullptr;
    std::atomic<uint32_t>* sleepers = nullptr; // inside the segment, shared by every process on the bus
};

// Called by cBusSegment when it maps or unmaps a segment. The segment outlives every sleep on its
// words: a device stops its receive thread before it detaches.
void RegisterSegmentWake(const void* base, size_t size, SegmentWake wake);
void UnregisterSegmentWake(const void* base);

// The wake-up of the segment holding address; false for memory outside every mapped segment.
bool FindSegmentWake(const void* address, SegmentWake& wake);
