// A CAN controller's fault confinement as ISO 11898-1 has it, as pure functions over its two error
// counters: what each event does to them and which state they put the controller in. The virtual
// bus's devices keep their counters by these rules; the rules do not know about the bus.
#pragma once

#include <cstdint>

enum class ControllerState : uint32_t
{
    ErrorActive = 0,  // both counters below 96
    ErrorWarning = 1, // either at 96 or more, both below 128
    ErrorPassive = 2, // either at 128 or more, transmit at most 255
    BusOff = 3,       // transmit above 255: the controller neither sends nor receives
};

struct ErrorCounters
{
    uint32_t transmit = 0; // TEC
    uint32_t receive = 0;  // REC
};

// The kind of error a node detected, as far as the rules tell them apart.
enum class BusErrorKind : uint32_t
{
    Bit = 0,
    Stuff = 1,
    Form = 2,
    Crc = 3,
    Ack = 4, // only a transmitter sees it: nobody acknowledged its frame
};

ControllerState StateOf(const ErrorCounters& counters);
// The transmitter of a frame detected an error in it (+8; an error-passive transmitter's acknowledgement
// error counts nothing when it sends no dominant bit in its passive error flag).
ErrorCounters AfterTransmitError(ErrorCounters counters, BusErrorKind kind);
// The transmitter's frame went out acknowledged (-1, not below 0).
ErrorCounters AfterTransmitSuccess(ErrorCounters counters);
// A receiver detected an error in a frame on the bus (+1).
ErrorCounters AfterReceiveError(ErrorCounters counters);
// A receiver took a frame without error (-1; above 127 it falls back to 127).
ErrorCounters AfterReceiveSuccess(ErrorCounters counters);
// A bus-off controller restarted (by its owner, or by itself after 128 occurrences of 11 recessive bits).
ErrorCounters AfterRestart();
// How long a bus-off controller that recovers by itself waits: 128 x 11 bit times at kbitPerSecond.
uint64_t BusOffRecoveryNanoseconds(uint32_t kbitPerSecond);
