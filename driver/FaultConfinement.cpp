#include "FaultConfinement.h"

#include <algorithm>

namespace {

constexpr uint32_t kWarningLimit = 96;
constexpr uint32_t kPassiveLimit = 128;
constexpr uint32_t kBusOffLimit = 256;
constexpr uint32_t kTransmitErrorStep = 8;

} // namespace

ControllerState StateOf(const ErrorCounters& counters)
{
    if (counters.transmit >= kBusOffLimit) {
        return ControllerState::BusOff;
    }
    uint32_t worst = std::max(counters.transmit, counters.receive);
    if (worst >= kPassiveLimit) {
        return ControllerState::ErrorPassive;
    }
    return worst >= kWarningLimit ? ControllerState::ErrorWarning : ControllerState::ErrorActive;
}

ErrorCounters AfterTransmitError(ErrorCounters counters, BusErrorKind kind)
{
    ControllerState state = StateOf(counters);
    if (state == ControllerState::BusOff ||
        (kind == BusErrorKind::Ack && state == ControllerState::ErrorPassive)) {
        return counters;
    }
    counters.transmit = std::min(counters.transmit + kTransmitErrorStep, kBusOffLimit);
    return counters;
}

ErrorCounters AfterTransmitSuccess(ErrorCounters counters)
{
    if (counters.transmit > 0 && counters.transmit < kBusOffLimit) {
        --counters.transmit;
    }
    return counters;
}

ErrorCounters AfterReceiveError(ErrorCounters counters)
{
    // The counter only says passive from 128 on; a receiver never goes bus-off, so it stops counting
    // where a byte of an error frame can still hold it.
    counters.receive = std::min(counters.receive + 1, 255u);
    return counters;
}

ErrorCounters AfterReceiveSuccess(ErrorCounters counters)
{
    if (counters.receive > kPassiveLimit - 1) {
        counters.receive = kPassiveLimit - 1;
    } else if (counters.receive > 0) {
        --counters.receive;
    }
    return counters;
}

ErrorCounters AfterRestart()
{
    return ErrorCounters{};
}

uint64_t BusOffRecoveryNanoseconds(uint32_t kbitPerSecond)
{
    constexpr uint64_t kRecessiveBits = 128 * 11;
    return kbitPerSecond == 0 ? 0 : kRecessiveBits * 1000000ull / kbitPerSecond;
}
