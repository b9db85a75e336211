// The part of a bus segment that every platform shares: the frame ring. It lives in memory mapped by
// every process on the bus, so it holds only lock-free atomics and fixed-width values, never pointers.
#pragma once

#include <atomic>
#include <cstdint>

#include "BusFaults.h"

constexpr uint32_t kBusSlotCount = 32768; // a power of two: a ticket's slot is ticket & (count - 1)
constexpr uint32_t kBusSlotMask = kBusSlotCount - 1;
constexpr uint32_t kBusCount = 10;     // "CAN0:" to "CAN9:"
constexpr uint32_t kBusRateCount = 9;  // each of the nine bit rates is a wire of its own on every bus
constexpr uint32_t kBusNodeCount = 64; // records of the node table: devices on a timed bus at once

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "atomics shared between processes must not hide a lock");

// One frame as it travels on the bus, unpacked.
struct BusFrame
{
    uint32_t id = 0;
    uint32_t bitrate = 0; // kbit/s of the sender
    bool extended = false;
    bool remote = false;
    uint8_t length = 0; // 0 to 8: data bytes; of a remote frame, its DLC (it carries no data)
    uint8_t data[8] = {};
    // When its last bit leaves the wire, on the monotonic clock (MonotonicNanoseconds); 0 when its
    // sender does not time the bus (RVCAN32CE_BUS_TIMING=none).
    uint64_t endTime = 0;
    // An error entry: an attempt of the frame (id, extended, bit rate) that failed with errorKind
    // (BusErrorKind), ending with its error frame at endTime. It carries no data.
    bool errorEntry = false;
    uint8_t errorKind = 0;
};

// One published frame. A writer claims ticket t with a fetch-add on the head, then writes its slot as:
// sequence 2t+1, the words, sequence 2t+2. A reader that sees 2t+2 both before and after copying the
// words has an untorn frame; any other value is someone else's frame, an unfinished one, or garbage.
struct alignas(32) BusSlot
{
    std::atomic<uint64_t> sequence;
    std::atomic<uint32_t> id;
    // bit 0 extended, bit 1 remote, bit 2 error entry (then dataLow is its kind), bits 8-15 length,
    // bits 16-31 bit rate
    std::atomic<uint32_t> format;
    std::atomic<uint32_t> dataLow;
    std::atomic<uint32_t> dataHigh;
    std::atomic<uint32_t> endTimeLow;
    std::atomic<uint32_t> endTimeHigh;
};
static_assert(sizeof(BusSlot) == 32);

// Who has the wire of one bit rate next (cBusWire). Both words are plain numbers that any member may
// overwrite: a reader of them bounds every wait they could cause.
struct alignas(64) BusWireShared
{
    // When the last frame reserved on this wire ends, on the monotonic clock; in the past when it is idle.
    std::atomic<uint64_t> busyUntil;
    // The lowest arbitration key bid for the slot that starts at busyUntil: the low 32 bits of that
    // busyUntil, with bit 0 set, in the high half, the key in the low half.
    std::atomic<uint64_t> bid;
};

// One device of a timed bus in the node table, so that a sender can tell whether anybody would
// acknowledge its frame. A device claims a free record with a compare-and-swap of owner from 0 to its
// token, or a record whose aliveAt is older than kBusNodeLifetimeNanoseconds (its process died) by a
// compare-and-swap of aliveAt; it refreshes aliveAt every kBusNodeRefreshNanoseconds at most and frees
// owner when it closes. Any member may write anything here: a record counts only while its aliveAt
// lies within the lifetime before now, and nothing read here makes anyone wait.
struct alignas(64) BusNodeShared
{
    std::atomic<uint64_t> owner;   // 0: free; else the claimant's token
    std::atomic<uint64_t> aliveAt; // MonotonicNanoseconds of its last refresh
    std::atomic<uint32_t> bitrate; // kbit/s
    std::atomic<uint32_t> flags;   // kBusNodeAcknowledges
    std::atomic<uint32_t> transmitErrors;
    std::atomic<uint32_t> receiveErrors;
    std::atomic<uint32_t> state; // ControllerState
};
constexpr uint32_t kBusNodeAcknowledges = 1u << 0; // it takes part in the bus: not bus-off
constexpr uint64_t kBusNodeRefreshNanoseconds = 250000000;
constexpr uint64_t kBusNodeLifetimeNanoseconds = 1000000000;

struct BusRingShared
{
    // Tickets claimed so far; the next writer claims ticket head (fetch-add, never a lock). A claimed
    // ticket may still be being written, or never be, when its writer died or stopped halfway.
    alignas(64) std::atomic<uint64_t> head;
    // 1 while some reader may sleep on it; a writer that finds 1 clears it and wakes the sleepers.
    alignas(64) std::atomic<uint32_t> wakeFlag;
    alignas(64) BusSlot slots[kBusSlotCount];
    BusWireShared wires[kBusRateCount]; // by the rate's place in 10, 20, .. 1000 kbit/s
    BusFaultShared faults[kBusFaultCount];
    BusNodeShared nodes[kBusNodeCount];
};
