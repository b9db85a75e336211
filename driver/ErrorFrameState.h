// What an error frame in SocketCAN's form (ErrorFrames.h) tells of the controller that sent it: its
// fault confinement state and error counters, for the kinds of device that learn them only from such
// frames (a socketcand server's bus, vcan). The kernel fills a state change in the way read here: bus-off as
// its own class, warning and passive in data[1] (for either counter), a return to error active as
// kCanControllerActive, a restart as its own class, and the counters in data[6]/[7] with
// kCanErrorCounters (or, from older controller drivers, without it).
#pragma once

#include <cstdint>

#include "cCanDevice.h"

// The state after a frame of classBits with details data: what the frame says, the rest as before
// (a bus error or an overflow alone says nothing of the state).
DeviceBusState BusStateAfterErrorFrame(const DeviceBusState& before, uint32_t classBits,
                                       const uint8_t (&data)[8]);
