// A virtual controller's fault confinement: its two error counters kept by the rules of
// FaultConfinement.h, and the error frames (ErrorFrames.h) that its errors and state changes owe the
// device's error function, each due at a moment on the wire's timeline.
//
// The transmit thread reports its attempts, the receive thread the frames and error entries it reads,
// a caller a restart; each report updates the counters and queues what the device owes: the error
// frame of the attempt or reception, then, when the state changed, the controller's frame ("bus-off",
// a warning or passive level, "active" on the way back, "restarted"). The receive thread hands the
// queued frames over in order, those due by the entry it has just handed over (TakeDue), so that a
// sender's own error frames arrive at their end on the wire, in order with its frames. A state change
// also writes a debug line "CAN<n>: bus-off" / "error-passive" / "error-warning" / "error-active" at once.
//
// Threads: any. m_lock guards the counters' updates and the queue; m_counters mirrors the counters for
// readers that take no lock (the receive thread's hot path) and m_owedCount the queue's length.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "CanDriverTable.h"
#include "FaultConfinement.h"

class cErrorConfinement
{
public:
    // bus names the device in debug lines; onStateChange runs, on the reporting thread and outside the
    // lock, after every change of state.
    cErrorConfinement(uint32_t bus, std::function<void(ControllerState)> onStateChange);

    ErrorCounters Counters() const;
    ControllerState State() const;
    // When the controller went bus-off, on the wire's timeline; meaningful while it is.
    uint64_t BusOffSince() const;

    // The transmitter's attempt that ended at end failed with kind, or went out.
    void TransmitFailed(BusErrorKind kind, uint64_t end);
    void TransmitSucceeded(uint64_t end);
    // The receiver read another node's error entry, or another node's frame, ending at end.
    void ReceiveFailed(BusErrorKind kind, uint64_t end);
    void ReceiveSucceeded(uint64_t end);
    // A bus-off controller starts again with both counters 0 (by its owner, or by itself at now);
    // false, changing nothing, when it is not bus-off.
    bool Restart(uint64_t now);

    // Whether any frame is owed at all, without a lock.
    bool Owes() const { return m_owedCount.load(std::memory_order_acquire) != 0; }
    // The oldest frame owed that is due by until, removed from the queue.
    bool TakeDue(uint64_t until, CanMessageDescriptor& message);
    // A receive queue starts again: what was owed before it belongs to no reception.
    void ForgetOwed();

private:
    struct Owed
    {
        uint64_t due;
        CanMessageDescriptor message;
    };

    void Update(ErrorCounters (*rule)(ErrorCounters), uint64_t due);
    // Applies rule to the counters under m_lock, owes the error frame of error (if any) and the state
    // change's frame, then announces a change outside the lock.
    void Update(const std::function<ErrorCounters(ErrorCounters)>& rule, uint64_t due,
                std::optional<BusErrorKind> error, bool transmitter);
    void Owe(uint64_t due, const CanMessageDescriptor& message);
    void Announce(ControllerState after);
    CanMessageDescriptor ProtocolFrame(BusErrorKind kind, bool transmitter, ErrorCounters counters,
                                       uint64_t due) const;

    const uint32_t m_bus;
    const std::function<void(ControllerState)> m_onStateChange;

    mutable std::mutex m_lock;
    ErrorCounters m_current;             // under m_lock
    uint64_t m_busOffSince = 0;          // under m_lock
    std::deque<Owed> m_owed;             // under m_lock, at most kOwedLimit
    std::atomic<uint64_t> m_counters{0}; // m_current as transmit << 32 | receive, for lock-free reads
    std::atomic<size_t> m_owedCount{0};
};
