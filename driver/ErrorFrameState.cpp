#include "ErrorFrameState.h"

#include "ErrorFrames.h"
#include "RvCanExports.h"

namespace {

constexpr uint8_t kPassive = kCanControllerRxPassive | kCanControllerTxPassive;
constexpr uint8_t kWarning = kCanControllerRxWarning | kCanControllerTxWarning;

uint32_t StateFrom(uint32_t before, uint32_t classBits, uint8_t controller)
{
    if ((classBits & kCanErrorBusOff) != 0) {
        return RVCAN_STATE_BUS_OFF;
    }
    if ((classBits & kCanErrorController) != 0) {
        if ((controller & kPassive) != 0) {
            return RVCAN_STATE_ERROR_PASSIVE;
        }
        if ((controller & kWarning) != 0) {
            return RVCAN_STATE_ERROR_WARNING;
        }
        if ((controller & kCanControllerActive) != 0) {
            return RVCAN_STATE_ERROR_ACTIVE;
        }
    }
    if ((classBits & kCanErrorRestarted) != 0) {
        return RVCAN_STATE_ERROR_ACTIVE;
    }
    return before;
}

} // namespace

DeviceBusState BusStateAfterErrorFrame(const DeviceBusState& before, uint32_t classBits,
                                       const uint8_t (&data)[8])
{
    DeviceBusState after = before;
    after.state = StateFrom(before.state, classBits, data[1]);
    // Controller drivers filled data[6] and data[7] before the kernel had a class bit to say so.
    if ((classBits & kCanErrorCounters) != 0 || data[6] != 0 || data[7] != 0) {
        after.transmitErrors = data[6];
        after.receiveErrors = data[7];
    } else if ((classBits & kCanErrorRestarted) != 0) {
        after.transmitErrors = 0; // a restart starts both counters again
        after.receiveErrors = 0;
    }
    return after;
}
