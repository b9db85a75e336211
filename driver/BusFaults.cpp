#include "BusFaults.h"

#include "BusLayout.h"

namespace {

constexpr uint32_t kLargestKind = static_cast<uint32_t>(BusErrorKind::Ack);
constexpr uint32_t kLargestMode = static_cast<uint32_t>(BusFaultMode::UntilBusOff);
constexpr uint32_t kIdMatchBits = kBusFaultAnyId | kBusFaultExtendedId;

bool IsArmed(uint32_t state)
{
    return (state & kBusFaultPhaseMask) == kBusFaultArmed;
}

// The record's words as a request, checked as a parser checks bytes; nothing for a record no sender
// can act on, which then hits no frame.
std::optional<BusFaultRequest> Snapshot(const BusFaultShared& fault)
{
    uint32_t kind = fault.kind.load(std::memory_order_relaxed);
    uint32_t mode = fault.mode.load(std::memory_order_relaxed);
    uint32_t idMatch = fault.idMatch.load(std::memory_order_relaxed);
    uint64_t until = fault.until.load(std::memory_order_relaxed);
    if (kind > kLargestKind || mode > kLargestMode || (idMatch & ~kIdMatchBits) != 0 ||
        (static_cast<BusFaultMode>(mode) == BusFaultMode::Window && until == 0)) {
        return std::nullopt;
    }
    BusFaultRequest request;
    request.kind = static_cast<BusErrorKind>(kind);
    request.mode = static_cast<BusFaultMode>(mode);
    request.bitrate = fault.bitrate.load(std::memory_order_relaxed);
    request.anyId = (idMatch & kBusFaultAnyId) != 0;
    request.extended = (idMatch & kBusFaultExtendedId) != 0;
    request.id = fault.id.load(std::memory_order_relaxed);
    request.remaining = fault.remaining.load(std::memory_order_relaxed);
    request.until = until;
    return request;
}

bool Matches(const BusFaultRequest& request, const BusFrame& frame)
{
    if (request.bitrate != 0 && request.bitrate != frame.bitrate) {
        return false;
    }
    return request.anyId || (request.id == frame.id && request.extended == frame.extended);
}

// One frame from a counting record: never below 0, and the record that gives its last is freed.
bool TakeOneFrame(BusFaultShared& fault, uint32_t state)
{
    int64_t remaining = fault.remaining.load();
    while (remaining > 0) {
        if (fault.remaining.compare_exchange_weak(remaining, remaining - 1)) {
            if (remaining == 1) {
                FreeBusFault(fault, state);
            }
            return true;
        }
    }
    FreeBusFault(fault, state);
    return false;
}

// What an armed, matching record does to this attempt; false when it lets the frame pass.
bool Hits(BusFaultShared& fault, uint32_t state, const BusFaultRequest& request, const ErrorCounters& sender)
{
    switch (request.mode) {
    case BusFaultMode::Count: return TakeOneFrame(fault, state);
    case BusFaultMode::Window: return true;
    case BusFaultMode::UntilBusOff:
        if (StateOf(sender) == ControllerState::BusOff) {
            FreeBusFault(fault, state);
            return false;
        }
        if (StateOf(AfterTransmitError(sender, request.kind)) == ControllerState::BusOff) {
            FreeBusFault(fault, state);
        }
        return true;
    }
    return false;
}

} // namespace

std::optional<BusErrorKind> TakeInjectedFault(BusFaultShared (&faults)[kBusFaultCount], const BusFrame& frame,
                                              ErrorCounters sender, uint64_t now)
{
    for (BusFaultShared& fault : faults) {
        uint32_t state = fault.state.load(std::memory_order_acquire);
        if (!IsArmed(state)) {
            continue;
        }
        std::optional<BusFaultRequest> request = Snapshot(fault);
        if (!request) {
            continue;
        }
        if (request->until != 0 && now >= request->until) {
            FreeBusFault(fault, state);
            continue;
        }
        if (Matches(*request, frame) && Hits(fault, state, *request, sender)) {
            return request->kind;
        }
    }
    return std::nullopt;
}

std::optional<ArmedBusFault> ArmBusFault(BusFaultShared (&faults)[kBusFaultCount],
                                         const BusFaultRequest& request)
{
    for (uint32_t index = 0; index < kBusFaultCount; ++index) {
        BusFaultShared& fault = faults[index];
        uint32_t state = fault.state.load();
        if ((state & kBusFaultPhaseMask) != kBusFaultFree) {
            continue;
        }
        uint32_t generation = (state & ~kBusFaultPhaseMask) + kBusFaultGenerationStep;
        if (!fault.state.compare_exchange_strong(state, generation | kBusFaultClaimed)) {
            continue;
        }
        fault.kind.store(static_cast<uint32_t>(request.kind), std::memory_order_relaxed);
        fault.mode.store(static_cast<uint32_t>(request.mode), std::memory_order_relaxed);
        fault.bitrate.store(request.bitrate, std::memory_order_relaxed);
        fault.idMatch.store((request.anyId ? kBusFaultAnyId : 0) |
                                (request.extended ? kBusFaultExtendedId : 0),
                            std::memory_order_relaxed);
        fault.id.store(request.id, std::memory_order_relaxed);
        fault.remaining.store(request.remaining, std::memory_order_relaxed);
        fault.until.store(request.until, std::memory_order_relaxed);
        // A member's -c may have freed it meanwhile: arming it then could hand it to two writers.
        uint32_t claimed = generation | kBusFaultClaimed;
        if (fault.state.compare_exchange_strong(claimed, generation | kBusFaultArmed,
                                                std::memory_order_release)) {
            return ArmedBusFault{index, generation | kBusFaultArmed};
        }
    }
    return std::nullopt;
}

std::optional<BusFaultRequest> ReadBusFault(const BusFaultShared& fault)
{
    return IsArmed(fault.state.load(std::memory_order_acquire)) ? Snapshot(fault) : std::nullopt;
}

void ClearBusFaults(BusFaultShared (&faults)[kBusFaultCount])
{
    for (BusFaultShared& fault : faults) {
        fault.state.fetch_and(~kBusFaultPhaseMask);
    }
}

void FreeBusFault(BusFaultShared& fault, uint32_t state)
{
    fault.state.compare_exchange_strong(state, state & ~kBusFaultPhaseMask);
}
