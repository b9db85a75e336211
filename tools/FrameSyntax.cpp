#include "FrameSyntax.h"

#include "ErrorFrames.h"
#include "FrameFilter.h"
#include "FrameRules.h"
#include "HexDigit.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr size_t kStandardIdDigits = 3;
constexpr size_t kExtendedIdDigits = 8;

std::string ParseId(std::string_view digits, CanMessageDescriptor& frame)
{
    if (digits.size() != kStandardIdDigits && digits.size() != kExtendedIdDigits) {
        return "the id must have 3 hex digits (standard) or 8 (extended)";
    }
    uint32_t id = 0;
    for (char c : digits) {
        int value = HexValue(c);
        if (value < 0) {
            return "the id must be hexadecimal";
        }
        id = id << 4 | static_cast<uint32_t>(value);
    }
    bool extended = digits.size() == kExtendedIdDigits;
    if (!extended && id > kStandardIdLimit) {
        return "a standard id is at most 7FF";
    }
    if (extended && id > kExtendedIdLimit) {
        return "an extended id is at most 1FFFFFFF";
    }
    frame.id = id;
    frame.extended = extended ? 1 : 0;
    return {};
}

std::string ParseData(std::string_view text, CanMessageDescriptor& frame)
{
    size_t length = 0;
    bool afterByte = false;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '.' && afterByte && i + 1 < text.size()) {
            afterByte = false; // one separator between two bytes
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || HexValue(text[i]) < 0 || HexValue(text[i + 1]) < 0) {
            return "data must be pairs of hex digits, optionally separated by '.'";
        }
        if (length == kCanMaxDataBytes) {
            return "a frame has at most 8 data bytes";
        }
        frame.data[length++] = static_cast<uint8_t>(HexValue(text[i]) << 4 | HexValue(text[i + 1]));
        i += 2;
        afterByte = true;
    }
    frame.length = static_cast<uint16_t>(length);
    return {};
}

// cansend's R{len}: the DLC of a remote frame, which the record carries in reserved (length counts
// data bytes, of which a remote frame has none).
std::string ParseRemote(std::string_view text, CanMessageDescriptor& frame)
{
    if (text.size() > 2 || (text.size() == 2 && (text[1] < '0' || text[1] > '8'))) {
        return "a remote frame is ID#R, or ID#R followed by its DLC 0 to 8 (123#R4)";
    }
    uint32_t dlc = text.size() == 2 ? static_cast<uint32_t>(text[1] - '0') : 0;
    frame.remote = 1;
    frame.reserved = dlc << kReservedRemoteDlcShift;
    return {};
}

// A record's remote DLC, at most 8 as a bus frame has it.
uint32_t RemoteDlc(const CanMessageDescriptor& frame)
{
    return std::min<uint32_t>(RemoteDlcOf(frame), kCanMaxDataBytes);
}

void AppendFormat(std::string& out, const char* format, uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), format, value);
    out += text;
}

void AppendId(std::string& out, const CanMessageDescriptor& frame)
{
    AppendFormat(out, frame.extended == 1 ? "%08X" : "%03X", frame.id);
}

} // namespace

std::string ParseFrameText(std::string_view text, CanMessageDescriptor& frame)
{
    frame = CanMessageDescriptor{};
    size_t hash = text.find('#');
    if (hash == std::string_view::npos) {
        return "expected ID#DATA, e.g. 123#DEADBEEF";
    }
    std::string problem = ParseId(text.substr(0, hash), frame);
    if (!problem.empty()) {
        return problem;
    }
    std::string_view rest = text.substr(hash + 1);
    if (!rest.empty() && rest[0] == '#') {
        return "CAN FD frames (ID##DATA) are not supported";
    }
    if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        return ParseRemote(rest, frame);
    }
    return ParseData(rest, frame);
}

std::string FrameText(const CanMessageDescriptor& frame)
{
    std::string out;
    AppendId(out, frame);
    out += '#';
    if (frame.remote == 1) {
        uint32_t dlc = RemoteDlc(frame);
        return out + (dlc == 0 ? "R" : "R" + std::to_string(dlc));
    }
    for (size_t i = 0; i < frame.length && i < kCanMaxDataBytes; ++i) {
        AppendFormat(out, "%02X", frame.data[i]);
    }
    return out;
}

namespace {

// candump's colors, one per device in command-line order: bold blue, red, green, bold, magenta, cyan.
constexpr const char* kColors[] = {"\33[1m\33[34m", "\33[1m\33[31m", "\33[1m\33[32m",
                                   "\33[1m",        "\33[1m\33[35m", "\33[1m\33[36m"};
constexpr const char* kColorOff = "\33[0m";
constexpr int kLineColor = 2;  // -cc: the line from the device on
constexpr int kStampColor = 3; // -ccc: the stamp as well
constexpr char kFirstPrintable = 0x20;
constexpr char kLastPrintable = 0x7E;

// -a: each missing byte's three columns, then the data as text.
std::string AsciiColumn(const CanMessageDescriptor& frame, size_t length)
{
    std::string column((kCanMaxDataBytes - length) * 3 + 3, ' ');
    column += '\'';
    for (size_t i = 0; i < length; ++i) {
        char c = static_cast<char>(frame.data[i]);
        column += c >= kFirstPrintable && c <= kLastPrintable ? c : '.';
    }
    return column + '\'';
}

// What candump -e of can-utils 2020.11 writes after an error frame's line, in its words.
constexpr const char* kErrorDetailSeparator = "\n\t";
constexpr uint8_t kErrorClassCount = 9; // a tenth bit (CAN_ERR_CNT) has no name of its own
constexpr const char* kErrorClasses[kErrorClassCount] = {"tx-timeout",
                                                         "lost-arbitration",
                                                         "controller-problem",
                                                         "protocol-violation",
                                                         "transceiver-status",
                                                         "no-acknowledgement-on-tx",
                                                         "bus-off",
                                                         "bus-error",
                                                         "restarted-after-bus-off"};
constexpr const char* kControllerProblems[] = {"rx-overflow",         "tx-overflow",      "rx-error-warning",
                                               "tx-error-warning",    "rx-error-passive", "tx-error-passive",
                                               "back-to-error-active"};
constexpr const char* kProtocolViolations[] = {
    "single-bit-error",       "frame-format-error", "bit-stuffing-error", "tx-dominant-bit-error",
    "tx-recessive-bit-error", "bus-overload",       "active-error",       "error-on-tx"};
// By data[3], the location's code; an empty name for 0, which candump leaves out.
constexpr const char* kViolationLocations[] = {"",
                                               "unspecified",
                                               "id.28-to-id.21",
                                               "start-of-frame",
                                               "bit-srtr",
                                               "bit-ide",
                                               "id.20-to-id.18",
                                               "id.17-to-id.13",
                                               "crc-sequence",
                                               "reserved-bit-0",
                                               "data-field",
                                               "data-length-code",
                                               "bit-rtr",
                                               "reserved-bit-1",
                                               "id.4-to-id.0",
                                               "id.12-to-id.5",
                                               "unspecified",
                                               "active-error-flag",
                                               "intermission",
                                               "tolerate-dominant-bits",
                                               "unspecified",
                                               "unspecified",
                                               "passive-error-flag",
                                               "error-delimiter",
                                               "crc-delimiter",
                                               "acknowledge-slot",
                                               "end-of-frame",
                                               "acknowledge-delimiter",
                                               "overload-flag",
                                               "unspecified",
                                               "unspecified",
                                               "unspecified"};
constexpr size_t kLostArbitrationByte = 0;
constexpr size_t kControllerByte = 1;
constexpr size_t kViolationByte = 2;
constexpr size_t kLocationByte = 3;
constexpr size_t kTransmitCounterByte = 6;
constexpr size_t kReceiveCounterByte = 7;

// The names of the bits set in bits, joined by ','.
template <size_t Count> std::string BitNames(uint8_t bits, const char* const (&names)[Count])
{
    std::string text;
    for (size_t bit = 0; bit < Count; ++bit) {
        if ((bits & (1u << bit)) != 0) {
            text += text.empty() ? "" : ",";
            text += names[bit];
        }
    }
    return text;
}

// What follows a class's name: the bit of lost arbitration, the controller's problems, the protocol
// violation and where it happened.
std::string ClassDetails(uint32_t classBit, const uint8_t* data)
{
    switch (classBit) {
    case kCanErrorLostArbitration: return "{at bit " + std::to_string(data[kLostArbitrationByte]) + "}";
    case kCanErrorController: return "{" + BitNames(data[kControllerByte], kControllerProblems) + "}";
    case kCanErrorProtocol: {
        uint8_t code = data[kLocationByte];
        const char* location = code < std::size(kViolationLocations) ? kViolationLocations[code] : "";
        return "{{" + BitNames(data[kViolationByte], kProtocolViolations) + "}{" + location + "}}";
    }
    default: return {};
    }
}

// Each class on a line of its own, then the error counters when either is not 0.
std::string ErrorDetails(const CanMessageDescriptor& frame)
{
    uint32_t classes = FlaggedId(frame);
    std::string text;
    for (uint8_t bit = 0; bit < kErrorClassCount; ++bit) {
        uint32_t classBit = 1u << bit;
        if ((classes & classBit) != 0) {
            text += text.empty() ? "" : kErrorDetailSeparator;
            text += kErrorClasses[bit] + ClassDetails(classBit, frame.data);
        }
    }
    uint8_t transmit = frame.data[kTransmitCounterByte];
    uint8_t receive = frame.data[kReceiveCounterByte];
    if (transmit != 0 || receive != 0) {
        text += kErrorDetailSeparator;
        text += "error-counter-tx-rx{{" + std::to_string(transmit) + "}{" + std::to_string(receive) + "}}";
    }
    return kErrorDetailSeparator + text;
}

// An error frame's line from its id on: its bytes, ERRORFRAME in the column after eight bytes, and
// with details its classes below.
std::string ErrorFrameEnd(const CanMessageDescriptor& frame, bool details)
{
    size_t length = std::min<size_t>(frame.length, kCanMaxDataBytes);
    std::string line;
    AppendFormat(line, "%08X", FlaggedId(frame));
    AppendFormat(line, "   [%u] ", static_cast<uint32_t>(length));
    for (size_t i = 0; i < length; ++i) {
        AppendFormat(line, " %02X", frame.data[i]);
    }
    line.append((kCanMaxDataBytes - length) * 3 + 3, ' ');
    return line + "ERRORFRAME" + (details ? ErrorDetails(frame) : "");
}

} // namespace

std::string DumpLine(std::string_view stamp, std::string_view device, size_t deviceWidth,
                     const CanMessageDescriptor& frame, const DumpStyle& style)
{
    const char* color = style.colorLevel > 0 ? kColors[style.colorIndex % std::size(kColors)] : "";
    std::string line = " ";
    line += style.colorLevel >= kStampColor ? color : "";
    line += stamp;
    line += " ";
    line += style.colorLevel > 0 && style.colorLevel < kStampColor ? color : "";
    if (device.size() < deviceWidth) {
        line.append(deviceWidth - device.size(), ' ');
    }
    line += device;
    line += style.colorLevel == 1 ? kColorOff : "";
    line += "  ";
    std::string lineEnd = style.colorLevel >= kLineColor ? kColorOff : "";
    if (IsErrorFrame(frame)) {
        return line + ErrorFrameEnd(frame, style.errorDetails) + lineEnd;
    }
    AppendFormat(line,
                 frame.extended == 1      ? "%08X"
                 : style.indentStandardId ? "     %03X"
                                          : "%03X",
                 frame.id);
    bool remote = frame.remote == 1;
    size_t length = std::min<size_t>(frame.length, kCanMaxDataBytes);
    AppendFormat(line, "   [%u] ", remote ? RemoteDlc(frame) : static_cast<uint32_t>(length));
    if (remote) {
        return line + " remote request" + lineEnd;
    }
    for (size_t i = 0; i < length; ++i) {
        AppendFormat(line, " %02X", frame.data[i]);
    }
    return line + (style.ascii ? AsciiColumn(frame, length) : "") + lineEnd;
}
