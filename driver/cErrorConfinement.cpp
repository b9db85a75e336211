#include "cErrorConfinement.h"

#include <algorithm>

#include "BusPlatform.h"
#include "DebugOutputLine.h"
#include "ErrorFrames.h"

namespace {

// A device whose queue does not run still gets its counters right; what it owes is bounded, the
// oldest going first, as a full receive queue drops its oldest frames.
constexpr size_t kOwedLimit = 4096;
constexpr uint32_t kWarningLevel = 96;
constexpr uint32_t kPassiveLevel = 128;

uint64_t Pack(ErrorCounters counters)
{
    return uint64_t{counters.transmit} << 32 | counters.receive;
}

ErrorCounters Unpack(uint64_t packed)
{
    return ErrorCounters{static_cast<uint32_t>(packed >> 32), static_cast<uint32_t>(packed)};
}

uint32_t Ticks(uint64_t nanoseconds)
{
    return static_cast<uint32_t>(nanoseconds / 1000000u); // MillisecondTicks counts the same clock's ms
}

uint8_t CounterByte(uint32_t counter)
{
    return static_cast<uint8_t>(std::min(counter, 255u));
}

const char* StateName(ControllerState state)
{
    switch (state) {
    case ControllerState::ErrorActive: return "error-active";
    case ControllerState::ErrorWarning: return "error-warning";
    case ControllerState::ErrorPassive: return "error-passive";
    case ControllerState::BusOff: return "bus-off";
    }
    return "unknown";
}

// data[2] and data[3] of a protocol error frame: what was violated and where.
void DescribeViolation(BusErrorKind kind, uint8_t& type, uint8_t& location)
{
    switch (kind) {
    case BusErrorKind::Bit:
        type = kCanProtocolBit;
        location = kCanLocationUnspecified;
        return;
    case BusErrorKind::Stuff:
        type = kCanProtocolStuff;
        location = kCanLocationData;
        return;
    case BusErrorKind::Form:
        type = kCanProtocolForm;
        location = kCanLocationCrcDelimiter;
        return;
    case BusErrorKind::Crc:
        type = 0;
        location = kCanLocationCrcSequence;
        return;
    case BusErrorKind::Ack:
        type = 0;
        location = kCanLocationAckSlot;
        return;
    }
    type = 0;
    location = kCanLocationUnspecified;
}

// data[1] of a controller frame: which counter stands at the new level (SocketCAN's can_change_state).
uint8_t ControllerDetail(ControllerState state, ErrorCounters counters)
{
    if (state == ControllerState::ErrorActive) {
        return kCanControllerActive;
    }
    uint32_t level = state == ControllerState::ErrorPassive ? kPassiveLevel : kWarningLevel;
    uint8_t transmit =
        state == ControllerState::ErrorPassive ? kCanControllerTxPassive : kCanControllerTxWarning;
    uint8_t receive =
        state == ControllerState::ErrorPassive ? kCanControllerRxPassive : kCanControllerRxWarning;
    return static_cast<uint8_t>((counters.transmit >= level ? transmit : 0) |
                                (counters.receive >= level ? receive : 0));
}

CanMessageDescriptor ControllerFrame(ControllerState state, ErrorCounters counters, uint64_t due)
{
    uint8_t data[8] = {};
    data[6] = CounterByte(counters.transmit);
    data[7] = CounterByte(counters.receive);
    if (state == ControllerState::BusOff) {
        return ErrorFrameMessage(kCanErrorBusOff | kCanErrorCounters, data, Ticks(due));
    }
    data[1] = ControllerDetail(state, counters);
    return ErrorFrameMessage(kCanErrorController | kCanErrorCounters, data, Ticks(due));
}

} // namespace

cErrorConfinement::cErrorConfinement(uint32_t bus, std::function<void(ControllerState)> onStateChange)
    : m_bus(bus), m_onStateChange(std::move(onStateChange))
{}

ErrorCounters cErrorConfinement::Counters() const
{
    return Unpack(m_counters.load(std::memory_order_acquire));
}

ControllerState cErrorConfinement::State() const
{
    return StateOf(Counters());
}

uint64_t cErrorConfinement::BusOffSince() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_busOffSince;
}

CanMessageDescriptor cErrorConfinement::ProtocolFrame(BusErrorKind kind, bool transmitter,
                                                      ErrorCounters counters, uint64_t due) const
{
    uint8_t data[8] = {};
    DescribeViolation(kind, data[2], data[3]);
    data[2] |= transmitter ? kCanProtocolTx : 0;
    data[6] = CounterByte(counters.transmit);
    data[7] = CounterByte(counters.receive);
    uint32_t classBits = kCanErrorProtocol | kCanErrorBusError | kCanErrorCounters;
    return ErrorFrameMessage(kind == BusErrorKind::Ack ? classBits | kCanErrorAck : classBits, data,
                             Ticks(due));
}

void cErrorConfinement::TransmitFailed(BusErrorKind kind, uint64_t end)
{
    Update([kind](ErrorCounters counters) { return AfterTransmitError(counters, kind); }, end, kind, true);
}

void cErrorConfinement::TransmitSucceeded(uint64_t end)
{
    if (Counters().transmit != 0) { // else nothing to count down: every frame of an error-free bus
        Update(AfterTransmitSuccess, end);
    }
}

void cErrorConfinement::ReceiveFailed(BusErrorKind kind, uint64_t end)
{
    Update(AfterReceiveError, end, kind, false);
}

void cErrorConfinement::ReceiveSucceeded(uint64_t end)
{
    if (Counters().receive != 0) {
        Update(AfterReceiveSuccess, end);
    }
}

bool cErrorConfinement::Restart(uint64_t now)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (StateOf(m_current) != ControllerState::BusOff) {
            return false;
        }
        m_current = AfterRestart();
        m_counters.store(Pack(m_current), std::memory_order_release);
        uint8_t data[8] = {};
        Owe(now, ErrorFrameMessage(kCanErrorRestarted | kCanErrorCounters, data, Ticks(now)));
    }
    Announce(ControllerState::ErrorActive);
    return true;
}

void cErrorConfinement::Update(ErrorCounters (*rule)(ErrorCounters), uint64_t due)
{
    Update([rule](ErrorCounters counters) { return rule(counters); }, due, std::nullopt, false);
}

void cErrorConfinement::Update(const std::function<ErrorCounters(ErrorCounters)>& rule, uint64_t due,
                               std::optional<BusErrorKind> error, bool transmitter)
{
    ControllerState before;
    ControllerState after;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        before = StateOf(m_current);
        m_current = rule(m_current);
        m_counters.store(Pack(m_current), std::memory_order_release);
        after = StateOf(m_current);
        if (error) {
            Owe(due, ProtocolFrame(*error, transmitter, m_current, due));
        }
        if (after != before) {
            m_busOffSince = after == ControllerState::BusOff ? due : m_busOffSince;
            Owe(due, ControllerFrame(after, m_current, due));
        }
    }
    if (after != before) {
        Announce(after);
    }
}

// Caller holds m_lock.
void cErrorConfinement::Owe(uint64_t due, const CanMessageDescriptor& message)
{
    if (m_owed.size() >= kOwedLimit) {
        m_owed.pop_front();
    }
    m_owed.push_back(Owed{due, message});
    m_owedCount.store(m_owed.size(), std::memory_order_release);
}

void cErrorConfinement::Announce(ControllerState after)
{
    WriteDebugLine("CAN" + std::to_string(m_bus) + ": " + StateName(after));
    if (m_onStateChange) {
        m_onStateChange(after);
    }
}

bool cErrorConfinement::TakeDue(uint64_t until, CanMessageDescriptor& message)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_owed.empty() || m_owed.front().due > until) {
        return false;
    }
    message = m_owed.front().message;
    m_owed.pop_front();
    m_owedCount.store(m_owed.size(), std::memory_order_release);
    return true;
}

void cErrorConfinement::ForgetOwed()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_owed.clear();
    m_owedCount.store(0, std::memory_order_release);
}
