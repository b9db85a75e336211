#include "SlcanProtocol.h"

#include <cstdio>

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
    if (IsCommandLetter(bytes[0])) {
        line.kind = SlcanKind::Command;
        line.text = std::string(bytes);
        return {};
    }
    return std::string("line starts with unknown '") + bytes[0] + "'";
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
