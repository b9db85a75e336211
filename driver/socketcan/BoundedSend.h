// Sending without blocking the caller for long: a frame that finds the transmit queue full is tried
// again until a time limit, then given up. The steps are passed in, so that the rule is tested without
// a full queue (vcan never has one: it transmits at once).
#pragma once

#include <cstdint>
#include <functional>

enum class SendAttempt
{
    Sent,
    SocketFull, // EAGAIN: the socket's send buffer is full; it signals POLLOUT when it drains
    QueueFull,  // ENOBUFS: the interface's queue is full; nothing signals when it drains
    Failed,     // any other error: trying again does not help
};

struct SendSteps
{
    std::function<SendAttempt()> attempt;
    // Waits before the next attempt after a full socket or queue, at most leftMs.
    std::function<void(SendAttempt why, uint32_t leftMs)> wait;
    std::function<uint64_t()> nowMs; // a monotonic clock
};

// The last attempt's outcome: Sent, Failed, or the full kind once limitMs have passed.
SendAttempt SendWithin(uint32_t limitMs, const SendSteps& steps);
