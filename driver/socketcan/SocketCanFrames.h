// How the driver's message record and SocketCAN's classic frame (linux/can.h) turn into each other.
// Pure functions, so that they are tested on any Linux kernel, with or without SocketCAN.
#pragma once

#include <cstdint>

#include <linux/can.h>
#include <sys/time.h>

#include "CanMessageDescriptor.h"

// The same rules as the virtual bus (FrameFromMessage): refused (false) when extended or remote is not
// 0 or 1, the id is wider than its format, a data frame is longer than 8 bytes or a remote DLC is over
// 8. A remote frame's length and data are not read: it goes out with the DLC in reserved (FrameRules.h).
bool CanFrameFromMessage(const CanMessageDescriptor& message, can_frame& frame);

// An error frame reports a bus condition (CAN_ERR_FLAG); it goes to the error function only.
bool IsErrorFrame(const can_frame& frame);

// The record for a received error frame (ErrorFrames.h): its classes and data as the kernel gave them,
// with its own length, which is 8 for every frame a controller reports (a hand-made one may be shorter:
// a tool then prints it as candump does).
CanMessageDescriptor ErrorMessageFromCanFrame(const can_frame& frame, uint32_t timestampMs);

// The record for a received data or remote frame, as on the virtual bus (MessageFromFrame): extended and
// remote from the id's flags, data bytes past the length 0, a remote frame with length 0 and its DLC in
// reserved; own marks a frame this socket sent (MSG_CONFIRM).
CanMessageDescriptor MessageFromCanFrame(const can_frame& frame, uint32_t timestampMs, bool own);

// The kernel's receive time (SO_TIMESTAMP, wall clock) in milliseconds, cut to 32 bits.
uint32_t TimestampMilliseconds(const timeval& time);

// How many frames the socket dropped since the last report, from two readings of SO_RXQ_OVFL's
// counter, which wraps at 2^32.
uint32_t DropsSince(uint32_t previousCount, uint32_t currentCount);
