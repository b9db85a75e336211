#include "FrameSyntax.h"

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

// The classes of linux/can/error.h, by bit.
constexpr const char* kErrorClasses[] = {"tx-timeout",
                                         "lost-arbitration",
                                         "controller-problem",
                                         "protocol-violation",
                                         "transceiver-status",
                                         "no-acknowledgement-on-tx",
                                         "bus-off",
                                         "bus-error",
                                         "restarted-after-bus-off"};

std::string ErrorClassNames(uint32_t flaggedId)
{
    std::string names;
    for (size_t bit = 0; bit < sizeof(kErrorClasses) / sizeof(kErrorClasses[0]); ++bit) {
        if ((flaggedId & (1u << bit)) != 0) {
            names += names.empty() ? "" : ",";
            names += kErrorClasses[bit];
        }
    }
    return names.empty() ? "no error class" : names;
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
    bool error = IsErrorFrame(frame);
    AppendFormat(line,
                 error                    ? "%08X"
                 : frame.extended == 1    ? "%08X"
                 : style.indentStandardId ? "     %03X"
                                          : "%03X",
                 error ? FlaggedId(frame) : frame.id);
    bool remote = frame.remote == 1 && !error;
    size_t length = std::min<size_t>(frame.length, kCanMaxDataBytes);
    AppendFormat(line, "   [%u] ", remote ? RemoteDlc(frame) : static_cast<uint32_t>(length));
    if (remote) {
        return line + " remote request" + lineEnd;
    }
    for (size_t i = 0; i < length; ++i) {
        AppendFormat(line, " %02X", frame.data[i]);
    }
    if (error) {
        return line + "   ERRORFRAME" + lineEnd + "\n\t" + ErrorClassNames(FlaggedId(frame));
    }
    return line + (style.ascii ? AsciiColumn(frame, length) : "") + lineEnd;
}
