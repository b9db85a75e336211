// candump's receive filters, as can-dump takes them after a device name, and the kernel's rule for
// which frames they let through (a CAN_RAW socket's CAN_RAW_FILTER and CAN_RAW_ERR_FILTER):
//
//   CAN1:                        every data and remote frame (candump's default filter 0:0)
//   CAN1:,123:7FF                id & 7FF == 123: standard 123, and extended 00000123 too
//   CAN1:,123:C00007FF           only the standard data frame 123 (the mask includes EFF and RTR)
//   CAN1:,12345678:1FFFFFFF      8 digits: the id is extended (CAN_EFF_FLAG set)
//   CAN1:,123~7FF                inverted: every frame whose id & 7FF is not 123
//   CAN1:,100:700,200:700        several filters: a frame passes if any passes
//   CAN1:,100:F00,j,123:0FF      j: a frame passes only if every filter passes (candump's join)
//   can0,#FFFFFFFF               error frames of every class, beside every data and remote frame
//
// Ids and masks are 1 to 8 hex digits and carry the kernel's flags: 80000000 extended (EFF),
// 40000000 remote (RTR). An error frame is a descriptor whose id carries kErrorFrameFlag, the bits
// below it naming its error classes (linux/can/error.h); the driver never delivers one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "CanMessageDescriptor.h"

constexpr uint32_t kExtendedFlag = 0x80000000u;   // CAN_EFF_FLAG
constexpr uint32_t kRemoteFlag = 0x40000000u;     // CAN_RTR_FLAG
constexpr uint32_t kErrorFrameFlag = 0x20000000u; // CAN_ERR_FLAG, also candump's CAN_INV_FILTER
constexpr uint32_t kErrorClassMask = 0x1FFFFFFFu; // CAN_ERR_MASK

struct CanIdFilter
{
    uint32_t id = 0;
    uint32_t mask = 0;
    bool inverted = false;
};

struct FrameFilter
{
    std::vector<CanIdFilter> filters; // none: every data and remote frame passes, as candump's 0:0
    bool join = false;
    uint32_t errorMask = 0; // the error classes shown; 0: no error frames
    bool errorMaskGiven = false;

    // True when the kernel would deliver frame to a socket with these filters.
    bool Passes(const CanMessageDescriptor& frame) const;
};

// The id as the kernel writes it: with EFF and RTR flags, or kErrorFrameFlag and the classes.
uint32_t FlaggedId(const CanMessageDescriptor& frame);
bool IsErrorFrame(const CanMessageDescriptor& frame);

// Splits "DEVICE[,FILTER]*" into the device and its filters. Returns an empty string on success,
// otherwise what is wrong, naming the item.
std::string ParseDeviceFilters(std::string_view argument, std::string& device, FrameFilter& filter);
