// One device's record in its bus's node table (BusLayout.h: BusNodeShared), and what a sender asks the
// table: whether any other live node at its bit rate would acknowledge its frame, and at which rates
// the others are.
//
// Threads: Claim and Release run on the device's owning thread (Attach, Close); Refresh on any thread
// (the transmit thread keeps the record alive, callers refresh it when the rate or state changes);
// the questions on any thread. The record's words are atomics, and so is m_index, which a refresh that
// finds its record taken over changes when it claims another; m_token never changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "BusLayout.h"
#include "FaultConfinement.h"

// What a node tells the others about itself.
struct BusNodeStatus
{
    uint32_t bitrate = 0;
    ControllerState state = ControllerState::ErrorActive;
    ErrorCounters counters;
};

class cBusNode
{
public:
    explicit cBusNode(BusNodeShared (&nodes)[kBusNodeCount]);
    ~cBusNode();

    cBusNode(const cBusNode&) = delete;
    cBusNode& operator=(const cBusNode&) = delete;

    // Takes a free or abandoned record and fills it in; false when all are live (the device then
    // acknowledges nobody, and is not counted by others).
    bool Claim(const BusNodeStatus& status);
    // Writes status and the time; claims a record again when another member took this one over.
    void Refresh(const BusNodeStatus& status);
    void Release();

    // Whether a live node other than this one, at kbitPerSecond, takes part in the bus (not bus-off).
    bool OthersAcknowledge(uint32_t kbitPerSecond) const;
    // The bit rates of the other live nodes, lowest first, each once.
    std::vector<uint32_t> OtherRates() const;
    // How many other live nodes are at kbitPerSecond.
    uint32_t OthersAt(uint32_t kbitPerSecond) const;

private:
    bool IsOthersLiveRecord(const BusNodeShared& node, uint64_t now) const;
    bool TakeRecord(uint32_t index, uint64_t now);

    BusNodeShared (&m_nodes)[kBusNodeCount];
    const uint64_t m_token;
    std::atomic<uint32_t> m_index{kBusNodeCount}; // kBusNodeCount: no record
};
