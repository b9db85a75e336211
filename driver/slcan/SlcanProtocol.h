// The serial-line CAN protocol ("slcan", after Lawicel's CANUSB) that CANable, USBtin, CANUSB and their
// clones speak over a serial port: one line per message, ended by a carriage return. Pure functions over
// bytes, apart from any port, so that they are tested and fuzzed alone. cSlcanSplitter cuts a byte stream
// into lines.
//
// What an adapter sends (and a peer host on a null-modem cable, whose frames look the same):
//   t10021133           standard data frame: id 100 (3 hex digits), DLC 2, bytes 11 33
//   T12ABCDEF2AA55      extended data frame: id 12ABCDEF (8 hex digits), DLC 2, bytes AA 55
//   r1003               standard remote frame: id 100, DLC 3 (a remote frame keeps its DLC, no data)
//   R12ABCDEF6          extended remote frame: id 12ABCDEF, DLC 6
//   t10021133EA5F       ... with a time stamp after the data: 4 hex digits of ms, wrapping at 60000
//   t100211330001E240   ... or 8 hex digits of µs (newer firmware)
//   (empty line)        "done": the answer to a command
//   z  Z                "sent": the answer to a standard (t, r) or extended (T, R) frame
//   BEL (0x07)          "refused", without a carriage return: the answer to a command or a frame
//   F00                 status flags, 2 hex digits (the answer to F; non-zero flags are bus errors)
//   V1013  v1013        hardware and firmware version
//   NA123               serial number
//   e...                an error line, where a firmware reports bus errors unasked
//   sp128005            a state line: the controller's new state, receive and transmit error counters
// Status flags, as Lawicel's CAN232/CANUSB manuals give them (the SJA1000's interrupt flags since the
// last F): bit 0 receive FIFO full, 1 transmit FIFO full, 2 error warning, 3 data overrun, 4 unused,
// 5 error passive, 6 arbitration lost, 7 bus error. They have no bus-off flag.
// Error and state lines are the kernel slcan driver's extension (Linux 6.0), which some firmware sends
// unasked: "eN" and N error codes, a ACK, b bit 0, B bit 1, c CRC, f form, o receive overrun, O transmit
// overrun, s stuff error ("e1a", "e3bcO"); "s", a state letter (a active, w warning, p passive, b bus
// off) and the receive and transmit error counters in 3 decimal digits each ("sa057033").
// What a host sends (commands, which a peer host's lines also are):
//   C  O  L             close, open, open listen-only
//   S0..S8              bit rate 10, 20, 50, 100, 125, 250, 500, 800, 1000 kbit/s
//   s031C  M00000000  m00000000  Z0  Z1  F  V  N  ...
//
// Hex digits are read in either case and written in upper case. A formatted frame parses back to the same
// frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FaultConfinement.h"

// The longest line a peer sends that means anything: an extended frame of 8 bytes with a 32-bit time
// stamp, "T" + 8 + 1 + 16 + 8 characters, carriage return not counted (cSlcanSplitter's bound).
constexpr size_t kSlcanMaxLineBytes = 34;
constexpr size_t kSlcanMaxData = 8;
constexpr char kSlcanEndOfLine = '\r';
constexpr char kSlcanRefusal = '\a';

struct SlcanFrame
{
    uint32_t id = 0;
    bool extended = false;
    bool remote = false;
    uint8_t length = 0;                        // the DLC: data bytes, or what a remote frame asks for
    std::array<uint8_t, kSlcanMaxData> data{}; // bytes past length, and all of a remote frame's, are 0
    bool operator==(const SlcanFrame&) const = default;
};

enum class SlcanStampKind
{
    None,
    Milliseconds, // 4 hex digits, 0 to EA5F on most firmware (some clones wrap at 10000 hex instead)
    Microseconds, // 8 hex digits, wrapping at 2^32
};

struct SlcanStamp
{
    SlcanStampKind kind = SlcanStampKind::None;
    uint32_t value = 0;
    bool operator==(const SlcanStamp&) const = default;
};

enum class SlcanKind
{
    Frame,   // frame, stamp
    Done,    // an empty line: a command was carried out
    Sent,    // z or Z: a frame was taken (extended: frame.extended)
    Refused, // BEL
    Status,  // flags
    Version, // text: the digits after V or v
    Serial,  // text: the characters after N
    Error,   // text: the characters after e
    State,   // controller
    Command, // text: the whole line; a host's command, as a peer host on a null-modem cable sends
};

// What an adapter says of its controller; counters it does not give are 0.
struct SlcanControllerState
{
    ControllerState state = ControllerState::ErrorActive;
    uint32_t transmitErrors = 0;
    uint32_t receiveErrors = 0;
    bool operator==(const SlcanControllerState&) const = default;
};

// One line. Only the fields its kind names are meaningful; the others stay at their defaults.
struct SlcanLine
{
    SlcanKind kind = SlcanKind::Done;
    SlcanFrame frame;
    SlcanStamp stamp;
    uint8_t flags = 0;
    std::string text;
    SlcanControllerState controller;
    bool operator==(const SlcanLine&) const = default;
};

// An error frame in SocketCAN's form (ErrorFrames.h): the id's class bits and the 8 detail bytes.
struct SlcanErrorFrame
{
    uint32_t classBits = 0;
    std::array<uint8_t, 8> data{};
    bool operator==(const SlcanErrorFrame&) const = default;
};

// Turns one line, as cSlcanSplitter hands it out (without its carriage return; a refusal is the one byte
// BEL), into line (reset first). Returns an empty string on success, otherwise why the line is malformed,
// e.g. "a standard id has 3 hex digits" or "line starts with unknown 'x'". Any byte outside printable
// ASCII makes a line malformed.
std::string ParseSlcanLine(std::string_view bytes, SlcanLine& line);

// The error frame a line reports, as the kernel's slcan would make it: an error line's errors (one not
// in the kernel's form is a bus error of unspecified kind), non-zero status flags, a state line's state
// change. Nothing for other lines, and for flags that say nothing (F00).
std::optional<SlcanErrorFrame> SlcanErrorFrameOf(const SlcanLine& line);
// The controller's state a line tells: a state line's, or a status line's (passive, warning or else
// active, counters 0); nothing for other lines.
std::optional<SlcanControllerState> SlcanReportedState(const SlcanLine& line);

// The line that sends frame, carriage return included: "t10021133\r". frame must be valid (id within
// its format, length at most 8).
std::string FormatSlcanFrame(const SlcanFrame& frame);

// The command lines a host writes, carriage return included.
std::string SlcanCommand(char command); // "C\r", "O\r", "V\r", "N\r", "F\r"
// "S6\r" for 500; empty for a rate that has no S command (every rate of the driver's nine has one).
std::string SlcanBitrateCommand(uint32_t kbitPerSecond);
