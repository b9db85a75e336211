// The text forms of a frame that the bus tools share with can-utils: cansend's ID#DATA, which can-send
// reads, and candump's line, which can-dump prints.
//
//   123#DEADBEEF        standard id 0x123, length 4, data DE AD BE EF
//   12345678#11.22      extended id 0x12345678 (8 digits), length 2: a '.' may separate bytes
//   123#                standard id 0x123, no data
//   123#R               remote frame, standard id 0x123, DLC 0
//   123#R4              remote frame with DLC 4: length 0 (it has no data), the DLC in reserved
//                       (driver/FrameRules.h)
//
//   DumpLine("", "CAN1:", 0, 123#DEADBEEF)     "  CAN1:  123   [4]  DE AD BE EF"
//   DumpLine("", "CAN1:", 0, 12345678#11.22)   "  CAN1:  12345678   [2]  11 22"
//   DumpLine("", "CAN1:", 0, 123#R)            "  CAN1:  123   [0]  remote request"
//   DumpLine("", "can0", 5, 123#R4)            "   can0  123   [4]  remote request"
//   DumpLine("", "vcan0", 0, 7FF#33, indented) "  vcan0       7FF   [1]  33" (after an extended id)
//   DumpLine("", "vcan0", 0, 123#4142, ascii)  "  vcan0  123   [2]  41 42                     'AB'"
//   with the stamp "(1436509052.249713) "      " (1436509052.249713)  CAN1:  123   [4]  DE AD BE EF"
//   an error frame (FrameFilter.h)             "  can0  20000004   [8]  00 04 00 00 00 00 00 00   ERRORFRAME"
//   the same with errorDetails                 "  can0  20000004   [8]  00 04 00 00 00 00 00 00   ERRORFRAME
//                                               \tcontroller-problem{rx-error-warning}"
//   20000088#0000190000000810, errorDetails    "...   ERRORFRAME\n\tprotocol-violation{{single-bit-error,
//                                               tx-dominant-bit-error,tx-recessive-bit-error}{}}\n\tbus-error
//                                               \n\terror-counter-tx-rx{{8}{16}}"
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "CanMessageDescriptor.h"

// Fills frame (cleared first; timestamp 0) from text. Returns an empty string on success, otherwise
// what is wrong with the text, for the user.
std::string ParseFrameText(std::string_view text, CanMessageDescriptor& frame);

// The ID#DATA form of a frame, a remote frame's DLC after R unless it is 0:
// ParseFrameText(FrameText(f)) gives f back.
std::string FrameText(const CanMessageDescriptor& frame);

// How candump dresses its line beyond the frame itself.
struct DumpStyle
{
    // Once an extended id was shown, candump right-aligns standard ids in the extended ids' 8 columns
    // ("     7FF").
    bool indentStandardId = false;
    bool ascii = false;    // -a: the data bytes as text after them, '.' for what does not print
    int colorLevel = 0;    // -c given 1, 2 or 3 times: the device name, the line, the line and its stamp
    size_t colorIndex = 0; // the device's place on the command line, which picks its color
    // -e: an error frame's classes and their details below its line, each on a line of its own
    // starting with a tab, in the words of candump -e (can-utils 2020.11); its error counters too when
    // either is not 0.
    bool errorDetails = false;
};

// candump's line for a received frame on device, without the newline: stamp is one of LogLine.h's
// stamps or empty, the device is right-aligned in deviceWidth characters as candump aligns several.
// An error frame's line shows ERRORFRAME after its bytes, and with errorDetails what it reports below.
std::string DumpLine(std::string_view stamp, std::string_view device, size_t deviceWidth,
                     const CanMessageDescriptor& frame, const DumpStyle& style = {});
