// candump's log line, which can-dump writes (-L, -l) and can-play reads, and candump's time stamps:
//
//   (1436509052.249713) CAN1: 123#DEADBEEF        a data frame received on CAN1:
//   (1436509052.249800) vcan0 12345678#1122       an extended one (8 id digits)
//   (1436509052.250000) vcan0 123#R               a remote frame; 123#R4: one with DLC 4
//   (1436509052.251000) can0 20000004#0004000000000000   an error frame (can-dump -e)
//
// The seconds are at least 10 digits, the microseconds exactly 6. Several devices in one log are padded
// on the left to the longest name, as candump pads them; a reader splits at blanks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "CanMessageDescriptor.h"

// A moment counted in microseconds since the Unix epoch (or since any other origin for a relative
// stamp); never negative where a stamp is printed.
using Microseconds = int64_t;

struct LogEntry
{
    Microseconds time = 0;
    std::string device;
    CanMessageDescriptor frame{};
    // What the player cannot put on a bus: an error frame, or a CAN FD frame (ID##FLAGSDATA).
    bool errorFrame = false;
    bool fdFrame = false;
};

// candump's ID#DATA of a log line: FrameText, and an error frame as its 8-digit flagged id and data.
std::string LogFrameText(const CanMessageDescriptor& frame);

// "(SECONDS.MICROSECONDS) DEVICE ID#DATA", the device right-aligned in deviceWidth characters.
std::string LogLine(Microseconds time, std::string_view device, size_t deviceWidth,
                    const CanMessageDescriptor& frame);

// Reads one line (without its newline). Returns an empty string on success, otherwise what is wrong.
std::string ParseLogLine(std::string_view line, LogEntry& entry);

// True for a line that holds no frame: empty, blanks only, or a comment starting with '#'.
bool IsLogCommentLine(std::string_view line);

// candump's -t stamps, with the trailing blank: 'a' "(1436509052.249713) ", 'A'
// "(2015-07-10 08:17:32.249713) " in local time, and for 'd' and 'z' a difference "(000.000087) ".
std::string AbsoluteStamp(Microseconds time);
std::string DateStamp(Microseconds time);
std::string RelativeStamp(Microseconds difference);

// candump's name for a log file started at time, in local time: "candump-2015-07-10_081732.log".
std::string LogFileName(Microseconds time);
