// Faults that a member of a virtual bus asked for (can-fault): a table in the bus segment that every
// sender consults for each attempt to put a frame on the wire. Like everything in the segment, any
// member may write anything into it, so a sender reads every record as untrusted input.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "FaultConfinement.h"

struct BusFrame;

constexpr uint32_t kBusFaultCount = 16;

// One requested fault. Its writer claims a free record (state 0 -> 1), fills it in and arms it
// (state 2); senders take from armed records only.
struct alignas(64) BusFaultShared
{
    std::atomic<uint32_t> state;
    std::atomic<uint32_t> kind;     // BusErrorKind
    std::atomic<uint32_t> bitrate;  // kbit/s of the frames it hits; 0: every rate
    std::atomic<uint32_t> idMatch;  // bit 0: any id; bit 1: the id is extended
    std::atomic<uint32_t> id;       // the id it hits unless any id
    std::atomic<int64_t> remaining; // frames still to corrupt
    std::atomic<uint64_t> until;    // monotonic time after which the record no longer hits
};

// The fault, if any, that the sender's attempt to put frame on the wire at now meets; takes one frame
// from a record that counts them. senderState lets a record that holds a sender until bus-off let go.
std::optional<BusErrorKind> TakeInjectedFault(BusFaultShared (&faults)[kBusFaultCount], const BusFrame& frame,
                                              ControllerState senderState, uint64_t now);
