// The 32-byte record in which the program and the CAN driver library exchange one message, in both
// directions. Its layout is binding on both sides.
#pragma once

#include <cstddef>
#include <cstdint>

struct CanMessageDescriptor
{
    uint32_t extended;  // 1: 29-bit identifier; 0: 11-bit
    uint32_t id;        // frame identifier
    uint32_t remote;    // 1: remote frame; 0: data frame
    uint16_t length;    // number of meaningful bytes in data
    uint16_t gap;       // neither side writes or reads it
    uint32_t timestamp; // transmit: tick count when filled; receive: the driver's value
    uint32_t reserved;  // 0 on transmit, never read
    uint8_t data[8];
};

static_assert(sizeof(CanMessageDescriptor) == 32);
static_assert(offsetof(CanMessageDescriptor, extended) == 0);
static_assert(offsetof(CanMessageDescriptor, id) == 4);
static_assert(offsetof(CanMessageDescriptor, remote) == 8);
static_assert(offsetof(CanMessageDescriptor, length) == 12);
static_assert(offsetof(CanMessageDescriptor, timestamp) == 16);
static_assert(offsetof(CanMessageDescriptor, reserved) == 20);
static_assert(offsetof(CanMessageDescriptor, data) == 24);

constexpr size_t kCanMaxDataBytes = sizeof(CanMessageDescriptor::data);
