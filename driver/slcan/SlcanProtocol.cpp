#include "SlcanProtocol.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "ErrorFrames.h"
#include "HexDigit.h"

namespace {

constexpr uint32_t kStandardIdLimit = 0x7FF;
constexpr uint32_t kExtendedIdLimit = 0x1FFFFFFF;
constexpr size_t kStandardIdDigits = 3;
constexpr size_t kExtendedIdDigits = 8;
constexpr size_t kMillisecondStampDigits = 4;
constexpr size_t kMicrosecondStampDigits = 8;

// S0..S8, in the order of the command's digit.
constexpr uint32_t kRates[] = {10, 20, 50, 100, 125, 250, 500, 800, 1000};

bool ParseHex(std::string_view digits, uint32_t& value)
{
    if (digits.empty() || digits.size() > 8) {
        return false;
    }
    value = 0;
    for (char c : digits) {
        int digit = HexValue(c);
        if (digit < 0) {
            return false;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

bool IsPrintable(std::string_view bytes)
{
    for (char c : bytes) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// A letter a host starts a command with (Lawicel's set and the common additions).
bool IsCommandLetter(char c)
{
    constexpr std::string_view kLetters = "CcOLSsMmZFVNQWGXUPAEB";
    return kLetters.find(c) != std::string_view::npos;
}

constexpr size_t kStateLineBytes = 8; // "sa057033"
constexpr size_t kCounterDigits = 3;

constexpr uint8_t kFlagReceiveFull = 0x01;
constexpr uint8_t kFlagTransmitFull = 0x02;
constexpr uint8_t kFlagWarning = 0x04;
constexpr uint8_t kFlagOverrun = 0x08;
constexpr uint8_t kFlagPassive = 0x20;
constexpr uint8_t kFlagArbitrationLost = 0x40;
constexpr uint8_t kFlagBusError = 0x80;

bool ParseStateLetter(char letter, ControllerState& state)
{
    constexpr std::string_view kLetters = "awpb"; // in ControllerState's order
    size_t at = kLetters.find(letter);
    if (at == std::string_view::npos) {
        return false;
    }
    state = static_cast<ControllerState>(at);
    return true;
}

bool ParseCounter(std::string_view digits, uint32_t& value)
{
    const char* end = digits.data() + digits.size();
    auto [stop, error] = std::from_chars(digits.data(), end, value);
    return error == std::errc() && stop == end;
}

// "sXrrrttt"; false for anything else, such as a host's s031C.
bool ParseState(std::string_view bytes, SlcanControllerState& controller)
{
    return bytes.size() == kStateLineBytes && ParseStateLetter(bytes[1], controller.state) &&
           ParseCounter(bytes.substr(2, kCounterDigits), controller.receiveErrors) &&
           ParseCounter(bytes.substr(2 + kCounterDigits, kCounterDigits), controller.transmitErrors);
}

std::string ParseStamp(std::string_view digits, SlcanStamp& stamp)
{
    if (digits.empty()) {
        return {};
    }
    if (digits.size() != kMillisecondStampDigits && digits.size() != kMicrosecondStampDigits) {
        return "a time stamp has 4 or 8 hex digits";
    }
    if (!ParseHex(digits, stamp.value)) {
        return "a time stamp is hex digits";
    }
    stamp.kind = digits.size() == kMillisecondStampDigits ? SlcanStampKind::Milliseconds
                                                          : SlcanStampKind::Microseconds;
    return {};
}

// t, T, r or R and what follows.
std::string ParseFrame(std::string_view bytes, SlcanLine& line)
{
    SlcanFrame& frame = line.frame;
    frame.extended = bytes[0] == 'T' || bytes[0] == 'R';
    frame.remote = bytes[0] == 'r' || bytes[0] == 'R';
    size_t idDigits = frame.extended ? kExtendedIdDigits : kStandardIdDigits;
    if (bytes.size() < 1 + idDigits + 1) {
        return "a frame line is cut short before its DLC";
    }
    if (!ParseHex(bytes.substr(1, idDigits), frame.id)) {
        return frame.extended ? "an extended id has 8 hex digits" : "a standard id has 3 hex digits";
    }
    if (frame.id > (frame.extended ? kExtendedIdLimit : kStandardIdLimit)) {
        return frame.extended ? "an extended id is at most 1FFFFFFF" : "a standard id is at most 7FF";
    }
    char dlc = bytes[1 + idDigits];
    if (dlc < '0' || dlc > '8') {
        return "the DLC is a digit 0 to 8";
    }
    frame.length = static_cast<uint8_t>(dlc - '0');
    std::string_view rest = bytes.substr(2 + idDigits);
    size_t dataDigits = frame.remote ? 0 : 2 * frame.length;
    if (rest.size() < dataDigits) {
        return "fewer data bytes than the DLC says";
    }
    for (size_t i = 0; i < dataDigits / 2; ++i) {
        uint32_t byte = 0;
        if (!ParseHex(rest.substr(2 * i, 2), byte)) {
            return "a data byte is 2 hex digits";
        }
        frame.data[i] = static_cast<uint8_t>(byte);
    }
    return ParseStamp(rest.substr(dataDigits), line.stamp);
}

std::string ParseLine(std::string_view bytes, SlcanLine& line)
{
    if (bytes.size() == 1 && bytes[0] == kSlcanRefusal) {
        line.kind = SlcanKind::Refused;
        return {};
    }
    if (!IsPrintable(bytes)) {
        return "a line holds a byte that is not printable ASCII";
    }
    if (bytes.empty()) {
        line.kind = SlcanKind::Done;
        return {};
    }
    std::string_view rest = bytes.substr(1);
    switch (bytes[0]) {
    case 't':
    case 'T':
    case 'r':
    case 'R': line.kind = SlcanKind::Frame; return ParseFrame(bytes, line);
    case 'z':
        if (!rest.empty()) {
            return "an answer z stands alone";
        }
        line.kind = SlcanKind::Sent;
        return {};
    case 'e':
        line.kind = SlcanKind::Error;
        line.text = std::string(rest);
        return {};
    case 'v':
        line.kind = SlcanKind::Version;
        line.text = std::string(rest);
        return {};
    }
    // Upper-case answers share their letter with the command that asks for them: the length tells.
    uint32_t value = 0;
    if (bytes[0] == 'Z' && rest.empty()) {
        line.kind = SlcanKind::Sent;
        line.frame.extended = true;
        return {};
    }
    if (bytes[0] == 'F' && rest.size() == 2 && ParseHex(rest, value)) {
        line.kind = SlcanKind::Status;
        line.flags = static_cast<uint8_t>(value);
        return {};
    }
    if ((bytes[0] == 'V' || bytes[0] == 'N') && !rest.empty()) {
        line.kind = bytes[0] == 'V' ? SlcanKind::Version : SlcanKind::Serial;
        line.text = std::string(rest);
        return {};
    }
    if (bytes[0] == 's' && ParseState(bytes, line.controller)) {
        line.kind = SlcanKind::State;
        return {};
    }
    line.controller = {};
    if (IsCommandLetter(bytes[0])) {
        line.kind = SlcanKind::Command;
        line.text = std::string(bytes);
        return {};
    }
    return std::string("line starts with unknown '") + bytes[0] + "'";
}

// One of the kernel's error codes added to report; false for a code it does not know.
bool AddErrorCode(char code, SlcanErrorFrame& report)
{
    switch (code) {
    case 'a':
        report.classBits |= kCanErrorAck;
        report.data[3] = kCanLocationAckSlot;
        return true;
    case 'b': report.data[2] |= kCanProtocolBit0; return true;
    case 'B': report.data[2] |= kCanProtocolBit1; return true;
    case 'c':
        report.data[2] |= kCanProtocolBit; // as the kernel reports a CRC error
        report.data[3] = kCanLocationCrcSequence;
        return true;
    case 'f': report.data[2] |= kCanProtocolForm; return true;
    case 's': report.data[2] |= kCanProtocolStuff; return true;
    case 'o':
        report.classBits |= kCanErrorController;
        report.data[1] |= kCanControllerRxOverflow;
        return true;
    case 'O':
        report.classBits |= kCanErrorController;
        report.data[1] |= kCanControllerTxOverflow;
        return true;
    }
    return false;
}

// "N" and N codes after the e.
SlcanErrorFrame ErrorLineFrame(std::string_view text)
{
    const SlcanErrorFrame unspecified{kCanErrorProtocol | kCanErrorBusError, {}};
    if (text.empty() || text[0] < '0' || text[0] > '8' ||
        text.size() < 1 + static_cast<size_t>(text[0] - '0')) {
        return unspecified;
    }
    SlcanErrorFrame report = unspecified;
    for (char code : text.substr(1, static_cast<size_t>(text[0] - '0'))) {
        if (!AddErrorCode(code, report)) {
            return unspecified;
        }
    }
    return report;
}

SlcanErrorFrame StatusFrame(uint8_t flags)
{
    SlcanErrorFrame report;
    uint8_t& controller = report.data[1];
    controller |= (flags & (kFlagReceiveFull | kFlagOverrun)) != 0 ? kCanControllerRxOverflow : 0;
    controller |= (flags & kFlagTransmitFull) != 0 ? kCanControllerTxOverflow : 0;
    // The flags do not say which counter crossed the limit.
    controller |= (flags & kFlagWarning) != 0 ? kCanControllerRxWarning | kCanControllerTxWarning : 0;
    controller |= (flags & kFlagPassive) != 0 ? kCanControllerRxPassive | kCanControllerTxPassive : 0;
    report.classBits |= controller != 0 ? kCanErrorController : 0;
    report.classBits |= (flags & kFlagArbitrationLost) != 0 ? kCanErrorLostArbitration : 0;
    report.classBits |= (flags & kFlagBusError) != 0 ? kCanErrorProtocol | kCanErrorBusError : 0;
    return report;
}

// As the kernel reports a change of state: bus-off alone; the others with the counters, warning and
// passive on the side of the larger counter (both when equal).
SlcanErrorFrame StateChangeFrame(const SlcanControllerState& controller)
{
    SlcanErrorFrame report;
    if (controller.state == ControllerState::BusOff) {
        report.classBits = kCanErrorBusOff;
        return report;
    }
    report.classBits = kCanErrorController | kCanErrorCounters;
    bool transmitSide = controller.transmitErrors >= controller.receiveErrors;
    bool receiveSide = controller.transmitErrors <= controller.receiveErrors;
    uint8_t& bits = report.data[1];
    switch (controller.state) {
    case ControllerState::ErrorActive: bits = kCanControllerActive; break;
    case ControllerState::ErrorWarning:
        bits = (transmitSide ? kCanControllerTxWarning : 0) | (receiveSide ? kCanControllerRxWarning : 0);
        break;
    default:
        bits = (transmitSide ? kCanControllerTxPassive : 0) | (receiveSide ? kCanControllerRxPassive : 0);
    }
    report.data[6] = static_cast<uint8_t>(std::min<uint32_t>(controller.transmitErrors, 255));
    report.data[7] = static_cast<uint8_t>(std::min<uint32_t>(controller.receiveErrors, 255));
    return report;
}

void AppendHex(std::string& text, uint32_t value, int digits)
{
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "%0*X", digits, value);
    text += buffer;
}

} // namespace

std::string ParseSlcanLine(std::string_view bytes, SlcanLine& line)
{
    line = SlcanLine();
    std::string reason = ParseLine(bytes, line);
    if (!reason.empty()) {
        line = SlcanLine();
    }
    return reason;
}

std::optional<SlcanErrorFrame> SlcanErrorFrameOf(const SlcanLine& line)
{
    switch (line.kind) {
    case SlcanKind::Error: return ErrorLineFrame(line.text);
    case SlcanKind::Status:
        if (SlcanErrorFrame report = StatusFrame(line.flags); report.classBits != 0) {
            return report;
        }
        return std::nullopt;
    case SlcanKind::State: return StateChangeFrame(line.controller);
    default: return std::nullopt;
    }
}

std::optional<SlcanControllerState> SlcanReportedState(const SlcanLine& line)
{
    if (line.kind == SlcanKind::State) {
        return line.controller;
    }
    if (line.kind != SlcanKind::Status) {
        return std::nullopt;
    }
    SlcanControllerState controller;
    if ((line.flags & kFlagPassive) != 0) {
        controller.state = ControllerState::ErrorPassive;
    } else if ((line.flags & kFlagWarning) != 0) {
        controller.state = ControllerState::ErrorWarning;
    }
    return controller;
}

std::string FormatSlcanFrame(const SlcanFrame& frame)
{
    std::string text(1, frame.remote ? (frame.extended ? 'R' : 'r') : (frame.extended ? 'T' : 't'));
    AppendHex(text, frame.id, frame.extended ? kExtendedIdDigits : kStandardIdDigits);
    text += static_cast<char>('0' + frame.length);
    for (size_t i = 0; !frame.remote && i < frame.length; ++i) {
        AppendHex(text, frame.data[i], 2);
    }
    return text + kSlcanEndOfLine;
}

std::string SlcanCommand(char command)
{
    return std::string(1, command) + kSlcanEndOfLine;
}

std::string SlcanBitrateCommand(uint32_t kbitPerSecond)
{
    for (size_t i = 0; i < std::size(kRates); ++i) {
        if (kRates[i] == kbitPerSecond) {
            return std::string("S") + static_cast<char>('0' + i) + kSlcanEndOfLine;
        }
    }
    return {};
}
