// Error frames as the driver hands them over, on every kind of device: in SocketCAN's form
// (linux/can/error.h), so that a tool prints the same text for the same frame whichever bus it came
// from. The record is a CanMessageDescriptor with extended 1, id kCanErrorFlag | class bits, length 8
// and the details in data; it reaches the error receive function (RvCanRegisterErrorCallback), never
// the function of CanRegisterCallback. The constants are the kernel's values, spelt out here because
// Windows has no such header.
#pragma once

#include <cstdint>

#include "CanMessageDescriptor.h"

constexpr uint32_t kCanErrorFlag = 0x20000000u; // CAN_ERR_FLAG

// Class bits of the id (CAN_ERR_*).
constexpr uint32_t kCanErrorTxTimeout = 0x001;
constexpr uint32_t kCanErrorLostArbitration = 0x002;
constexpr uint32_t kCanErrorController = 0x004; // data[1]
constexpr uint32_t kCanErrorProtocol = 0x008;   // data[2] type, data[3] location
constexpr uint32_t kCanErrorTransceiver = 0x010;
constexpr uint32_t kCanErrorAck = 0x020;
constexpr uint32_t kCanErrorBusOff = 0x040;
constexpr uint32_t kCanErrorBusError = 0x080;
constexpr uint32_t kCanErrorRestarted = 0x100;
constexpr uint32_t kCanErrorCounters = 0x200; // data[6] transmit, data[7] receive error counter

// data[1], the controller's state (CAN_ERR_CRTL_*).
constexpr uint8_t kCanControllerRxOverflow = 0x01;
constexpr uint8_t kCanControllerTxOverflow = 0x02;
constexpr uint8_t kCanControllerRxWarning = 0x04;
constexpr uint8_t kCanControllerTxWarning = 0x08;
constexpr uint8_t kCanControllerRxPassive = 0x10;
constexpr uint8_t kCanControllerTxPassive = 0x20;
constexpr uint8_t kCanControllerActive = 0x40;

// data[2], the protocol violation (CAN_ERR_PROT_*).
constexpr uint8_t kCanProtocolBit = 0x01;
constexpr uint8_t kCanProtocolForm = 0x02;
constexpr uint8_t kCanProtocolStuff = 0x04;
constexpr uint8_t kCanProtocolBit0 = 0x08;
constexpr uint8_t kCanProtocolBit1 = 0x10;
constexpr uint8_t kCanProtocolOverload = 0x20;
constexpr uint8_t kCanProtocolActive = 0x40;
constexpr uint8_t kCanProtocolTx = 0x80;

// data[3], where in the frame (CAN_ERR_PROT_LOC_*), the few the virtual bus uses.
constexpr uint8_t kCanLocationUnspecified = 0x00;
constexpr uint8_t kCanLocationCrcSequence = 0x08;
constexpr uint8_t kCanLocationCrcDelimiter = 0x18;
constexpr uint8_t kCanLocationAckSlot = 0x19;
constexpr uint8_t kCanLocationData = 0x0A;

// An error frame's record: classBits without the flag, the eight detail bytes, the receiver's tick count.
CanMessageDescriptor ErrorFrameMessage(uint32_t classBits, const uint8_t (&data)[8], uint32_t timestamp);
bool IsErrorFrameMessage(const CanMessageDescriptor& message);
