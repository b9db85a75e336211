// How long a classic CAN 2.0 frame occupies the wire: its exact length in bits, from start of frame
// to the end of the interframe space, with the stuff bits of its actual contents.
//
//   bits = stuffed(SOF .. CRC) + 13
//   SOF .. CRC, before stuffing (n = data bytes, 0 for a remote frame):
//     standard: SOF 1, id 11, RTR 1, IDE 1, r0 1, DLC 4, data 8n, CRC 15            = 34 + 8n
//     extended: SOF 1, id 11, SRR 1, IDE 1, id 18, RTR 1, r1 1, r0 1, DLC 4, data 8n,
//               CRC 15                                                              = 54 + 8n
//   the 13 unstuffed: CRC delimiter 1, ACK slot 1, ACK delimiter 1, EOF 7, intermission 3
//   CRC-15: generator 0x4599, register starting at 0, over the unstuffed SOF .. data.
//   stuffing: after 5 equal bits in SOF .. CRC the transmitter inserts one of the opposite level,
//   which starts the next run; so at most floor((field bits - 1) / 4) stuff bits: a standard
//   8-byte frame takes 111 to at most 135 bits, an extended one 131 to at most 160.
//   time = bits * 1,000,000 / rate ns (rate in kbit/s; exact for the nine rates).
#pragma once

#include <cstdint>

#include "BusLayout.h"

// Its bits on the wire. A remote frame's DLC is frame.length, the length it asks for, and it carries
// no data; a data frame's length above 8 counts as 8 (DLC 9-15 of classic CAN carry 8 bytes).
uint32_t CanWireBits(const BusFrame& frame);

// How long that many bits take at a rate in kbit/s; 0 for a rate of 0.
uint64_t CanWireNanoseconds(uint32_t bits, uint32_t kbitPerSecond);

// The most frames of that length a bus at that rate carries in a second, back to back.
double CanMaxFramesPerSecond(uint32_t bits, uint32_t kbitPerSecond);
