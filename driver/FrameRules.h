// What the virtual controller accepts and how a bus frame becomes the record handed to the receive
// function: the rules of one CAN controller, apart from the bus itself.
#pragma once

#include <cstdint>

#include "BusLayout.h"
#include "CanMessageDescriptor.h"

constexpr uint32_t kDefaultBitrate = 125; // kbit/s, until CanSetBaudrate says otherwise
constexpr uint32_t kStandardIdLimit = 0x7FF;
constexpr uint32_t kExtendedIdLimit = 0x1FFFFFFF;

// The nine rates of the console: 10, 20, 50, 100, 125, 250, 500, 800, 1000 kbit/s.
bool IsSupportedBitrate(uint32_t kbitPerSecond);
// Its place among those nine, 0 to 8; kBusRateCount for any other rate.
uint32_t BitrateIndex(uint32_t kbitPerSecond);
constexpr const char* kSupportedBitratesText = "10, 20, 50, 100, 125, 250, 500, 800, 1000";

// The record's reserved word, which the console writes as 0 and never reads, carries what the other
// fields cannot say:
// - both ways, a remote frame's DLC, bits 8-11 (0 to 8): length counts data bytes, of which a remote
//   frame has none, and the console leaves it unwritten on a remote frame; its 0 sends DLC 0;
// - on receive, bit 0: the receiving device sent the frame itself.
// Every other bit is 0 on receive and not read on transmit.
constexpr uint32_t kReservedOwnFrame = 1u << 0;
constexpr int kReservedRemoteDlcShift = 8;
constexpr uint32_t kReservedRemoteDlcMask = 0xFu << kReservedRemoteDlcShift;

// A remote frame's DLC as the record carries it in reserved.
uint32_t RemoteDlcOf(const CanMessageDescriptor& message);

// Takes from a transmitted record what travels on the bus. Refused (false): extended or remote other
// than 0 or 1, an identifier wider than its format, a data frame longer than 8 bytes, a remote DLC
// over 8. A remote frame carries no data, so its length and data fields are not read (the sender need
// not fill them); frame.length is its DLC, from reserved.
bool FrameFromMessage(const CanMessageDescriptor& message, uint32_t bitrate, BusFrame& frame);

// The record for a received frame: timestamp is the receiver's tick count, the gap and the data bytes
// past length are 0; a remote frame has length 0 and its DLC in reserved; own marks a frame the
// receiving device sent.
CanMessageDescriptor MessageFromFrame(const BusFrame& frame, uint32_t timestamp, bool own);

// One acceptance filter: a set bit in mask means "any value"; every other identifier bit must equal the
// one in code. The default, mask 0xFFFFFFFF, lets every frame through.
bool PassesAcceptanceFilter(uint32_t id, uint32_t code, uint32_t mask);
