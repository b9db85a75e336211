// How the driver's message record and SocketCAN's classic frame (linux/can.h) turn into each other.
// Pure functions, so that they are tested on any Linux kernel, with or without SocketCAN.
#pragma once

#include <cstdint>

#include <linux/can.h>
#include <sys/time.h>

#include "CanMessageDescriptor.h"

// The same rules as the virtual bus (FrameFromMessage): refused (false) when extended or remote is not
// 0 or 1, the id is wider than its format or a data frame is longer than 8 bytes. A remote frame's
// length and data are not read: it goes out with length 0.
bool CanFrameFromMessage(const CanMessageDescriptor& message, can_frame& frame);

// An error frame reports a bus condition (CAN_ERR_FLAG); it is counted, never delivered.
bool IsErrorFrame(const can_frame& frame);

// The record for a received data or remote frame: extended and remote from the id's flags, data bytes
// past the length 0, reserved 0.
CanMessageDescriptor MessageFromCanFrame(const can_frame& frame, uint32_t timestampMs);

// The kernel's receive time (SO_TIMESTAMP, wall clock) in milliseconds, cut to 32 bits.
uint32_t TimestampMilliseconds(const timeval& time);

// How many frames the socket dropped since the last report, from two readings of SO_RXQ_OVFL's
// counter, which wraps at 2^32.
uint32_t DropsSince(uint32_t previousCount, uint32_t currentCount);
