#include "SocketcandProtocol.h"

#include <cstdio>
#include <vector>

#include "HexDigit.h"

namespace {

constexpr uint32_t kStandardIdLimit = 0x7FF;
constexpr uint32_t kExtendedIdLimit = 0x1FFFFFFF;
constexpr size_t kExtendedIdDigits = 8;
constexpr size_t kMicrosecondDigits = 6;
constexpr size_t kMostSecondDigits = 18; // below 2^63 whatever the digits
constexpr uint32_t kMicrosecondsPerSecond = 1000000;

using Words = std::vector<std::string_view>;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool ParseHex(std::string_view word, size_t mostDigits, uint32_t& value)
{
    if (word.empty() || word.size() > mostDigits) {
        return false;
    }
    value = 0;
    for (char c : word) {
        int digit = HexValue(c);
        if (digit < 0) {
            return false;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

bool ParseDecimal(std::string_view word, size_t mostDigits, uint64_t& value)
{
    if (word.empty() || word.size() > mostDigits) {
        return false;
    }
    value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

bool ParseDecimal32(std::string_view word, uint32_t& value)
{
    uint64_t wide = 0;
    if (!ParseDecimal(word, 10, wide) || wide > UINT32_MAX) {
        return false;
    }
    value = static_cast<uint32_t>(wide);
    return true;
}

std::string ParseId(std::string_view word, SocketcandFrame& frame)
{
    uint32_t id = 0;
    if (!ParseHex(word, kExtendedIdDigits, id)) {
        return "an id is 1 to 8 hex digits";
    }
    if (id > kExtendedIdLimit) {
        return "an id is at most 1FFFFFFF";
    }
    frame.id = id;
    frame.extended = word.size() == kExtendedIdDigits || id > kStandardIdLimit;
    return {};
}

// SECS.USECS, or SECS alone; the fraction is read as a decimal fraction.
std::string ParseTime(std::string_view word, SocketcandTime& time)
{
    size_t dot = word.find('.');
    std::string_view fraction = dot == std::string_view::npos ? std::string_view() : word.substr(dot + 1);
    if (!ParseDecimal(word.substr(0, dot), kMostSecondDigits, time.seconds)) {
        return "a time is decimal seconds, optionally with up to 6 decimals";
    }
    uint64_t micro = 0;
    if (dot != std::string_view::npos && !ParseDecimal(fraction, kMicrosecondDigits, micro)) {
        return "a time is decimal seconds, optionally with up to 6 decimals";
    }
    for (size_t i = fraction.size(); i < kMicrosecondDigits; ++i) {
        micro *= 10;
    }
    time.microseconds = static_cast<uint32_t>(micro);
    return {};
}

// An interval given as two words, SECS and USECS.
std::string ParseInterval(std::string_view secs, std::string_view usecs, SocketcandTime& interval)
{
    uint64_t micro = 0;
    if (!ParseDecimal(secs, kMostSecondDigits, interval.seconds) || !ParseDecimal(usecs, 10, micro)) {
        return "an interval is two decimal numbers, seconds and microseconds";
    }
    // 0 1500000 means 1.5 s, as the broadcast manager reads it.
    interval.seconds += micro / kMicrosecondsPerSecond;
    interval.microseconds = static_cast<uint32_t>(micro % kMicrosecondsPerSecond);
    return {};
}

// Data words: each one byte of one or two hex digits, or several bytes as an even number of digits.
std::string ParseData(const Words& words, size_t first, SocketcandFrame& frame)
{
    size_t length = 0;
    for (size_t w = first; w < words.size(); ++w) {
        std::string_view word = words[w];
        if (word.size() > 2 && word.size() % 2 != 0) {
            return "data is hex bytes, spaced or as one string of digit pairs";
        }
        for (size_t i = 0; i < word.size(); i += 2) {
            uint32_t byte = 0;
            if (!ParseHex(word.substr(i, 2), 2, byte)) {
                return "data is hex bytes, spaced or as one string of digit pairs";
            }
            if (length == kSocketcandMaxData) {
                return "a frame has at most 8 data bytes";
            }
            frame.data[length++] = static_cast<uint8_t>(byte);
        }
    }
    frame.length = static_cast<uint8_t>(length);
    return {};
}

// ID DLC BYTES..., the DLC a hex digit that must match the count of bytes.
std::string ParseIdLengthData(const Words& words, size_t first, SocketcandFrame& frame)
{
    if (words.size() < first + 2) {
        return "expected an id and a length";
    }
    std::string reason = ParseId(words[first], frame);
    uint32_t length = 0;
    if (reason.empty() && (!ParseHex(words[first + 1], 1, length) || length > kSocketcandMaxData)) {
        reason = "the length is 0 to 8";
    }
    if (reason.empty()) {
        reason = ParseData(words, first + 2, frame);
    }
    if (reason.empty() && frame.length != length) {
        reason = "the length does not match the count of data bytes";
    }
    return reason;
}

std::string Expect(const Words& words, size_t count, const char* usage)
{
    return words.size() == count ? std::string() : std::string("expected ") + usage;
}

std::string ParseFrame(const Words& words, SocketcandMessage& message)
{
    if (words.size() < 3) {
        return "expected < frame ID SECS.USECS DATA >";
    }
    std::string reason = ParseId(words[1], message.frame);
    if (reason.empty()) {
        reason = ParseTime(words[2], message.time);
    }
    return reason.empty() ? ParseData(words, 3, message.frame) : reason;
}

// An error frame's words: class, time and, from can-serve, one word of details.
bool ParseErrorFrame(const Words& words, SocketcandMessage& message)
{
    uint32_t errorClass = 0;
    if ((words.size() != 3 && words.size() != 4) || !ParseHex(words[1], kExtendedIdDigits, errorClass) ||
        !ParseTime(words[2], message.time).empty() || !ParseData(words, 3, message.frame).empty()) {
        message.time = {};
        message.frame = {};
        return false;
    }
    message.kind = SocketcandKind::ErrorFrame;
    message.errorClass = errorClass & kExtendedIdLimit; // without CAN_ERR_FLAG, should a server write it
    return true;
}

std::string ParseError(const Words& words, SocketcandMessage& message)
{
    if (ParseErrorFrame(words, message)) {
        return {};
    }
    message.kind = SocketcandKind::Error;
    for (size_t i = 1; i < words.size(); ++i) {
        message.text += (i > 1 ? " " : "");
        message.text += words[i];
    }
    return {};
}

std::string ParseBusTiming(const Words& words, SocketcandMessage& message)
{
    if (words.size() != 10) {
        return "expected < BUS B bitrate sample_point tq prop_seg phase_seg1 phase_seg2 sjw brp >";
    }
    if (words[0].size() > kSocketcandMaxBusName) {
        return "a bus name has at most 16 characters";
    }
    SocketcandBusTiming& t = message.timing;
    uint32_t* fields[] = {&t.bitrate,   &t.samplePoint, &t.tq,  &t.propSeg,
                          &t.phaseSeg1, &t.phaseSeg2,   &t.sjw, &t.brp};
    for (size_t i = 0; i < 8; ++i) {
        if (!ParseDecimal32(words[i + 2], *fields[i])) {
            return "bit timing values are decimal numbers";
        }
    }
    message.text = words[0];
    message.kind = SocketcandKind::BusTiming;
    return {};
}

std::string ParseOpen(const Words& words, SocketcandMessage& message)
{
    std::string reason = Expect(words, 2, "< open BUS >");
    if (reason.empty() && words[1].size() > kSocketcandMaxBusName) {
        reason = "a bus name has at most 16 characters";
    }
    if (reason.empty()) {
        message.text = words[1];
    }
    return reason;
}

// The words of a command that has two interval words first.
std::string ParseWithInterval(const Words& words, SocketcandMessage& message, const char* usage)
{
    if (words.size() < 4) {
        return std::string("expected ") + usage;
    }
    std::string reason = ParseInterval(words[1], words[2], message.interval);
    if (!reason.empty()) {
        return reason;
    }
    if (message.kind == SocketcandKind::Subscribe) {
        reason = Expect(words, 4, usage);
        return reason.empty() ? ParseId(words[3], message.frame) : reason;
    }
    return ParseIdLengthData(words, 3, message.frame);
}

std::string ParseIdOnly(const Words& words, SocketcandMessage& message, const char* usage)
{
    std::string reason = Expect(words, 2, usage);
    return reason.empty() ? ParseId(words[1], message.frame) : reason;
}

struct Command
{
    std::string_view name;
    SocketcandKind kind;
};

const Command kCommands[] = {
    {"hi", SocketcandKind::Hi},
    {"ok", SocketcandKind::Ok},
    {"echo", SocketcandKind::Echo},
    {"rawmode", SocketcandKind::RawMode},
    {"bcmmode", SocketcandKind::BcmMode},
    {"open", SocketcandKind::Open},
    {"error", SocketcandKind::Error},
    {"send", SocketcandKind::Send},
    {"frame", SocketcandKind::Frame},
    {"add", SocketcandKind::Add},
    {"update", SocketcandKind::Update},
    {"delete", SocketcandKind::Delete},
    {"subscribe", SocketcandKind::Subscribe},
    {"unsubscribe", SocketcandKind::Unsubscribe},
    {"filter", SocketcandKind::Filter},
};

std::string ParseWords(const Words& words, SocketcandMessage& message)
{
    switch (message.kind) {
    case SocketcandKind::Hi:
    case SocketcandKind::Ok:
    case SocketcandKind::Echo:
    case SocketcandKind::RawMode:
    case SocketcandKind::BcmMode: return Expect(words, 1, "no arguments");
    case SocketcandKind::Open: return ParseOpen(words, message);
    case SocketcandKind::Error:
    case SocketcandKind::ErrorFrame: return ParseError(words, message);
    case SocketcandKind::Send: return ParseIdLengthData(words, 1, message.frame);
    case SocketcandKind::Frame: return ParseFrame(words, message);
    case SocketcandKind::Add: return ParseWithInterval(words, message, "< add SECS USECS ID DLC DATA >");
    case SocketcandKind::Update: return ParseIdLengthData(words, 1, message.frame);
    case SocketcandKind::Delete: return ParseIdOnly(words, message, "< delete ID >");
    case SocketcandKind::Subscribe: return ParseWithInterval(words, message, "< subscribe SECS USECS ID >");
    case SocketcandKind::Unsubscribe: return ParseIdOnly(words, message, "< unsubscribe ID >");
    case SocketcandKind::Filter:
        return ParseWithInterval(words, message, "< filter SECS USECS ID DLC MASK >");
    case SocketcandKind::BusTiming: return ParseBusTiming(words, message);
    }
    return "unknown command";
}

std::string SplitWords(std::string_view bytes, Words& words)
{
    if (bytes.size() < 2 || bytes.front() != '<' || bytes.back() != '>') {
        return "a message is enclosed in '<' and '>'";
    }
    std::string_view inner = bytes.substr(1, bytes.size() - 2);
    for (char c : inner) {
        if (!IsBlank(c) && (c < 0x21 || c > 0x7E || c == '<' || c == '>')) {
            return "the message holds a byte that is not printable ASCII";
        }
    }
    size_t i = 0;
    while (i < inner.size()) {
        while (i < inner.size() && IsBlank(inner[i])) {
            ++i;
        }
        size_t start = i;
        while (i < inner.size() && !IsBlank(inner[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(inner.substr(start, i - start));
        }
    }
    return words.empty() ? "the message is empty" : std::string();
}

void AppendFormat(std::string& out, const char* format, uint64_t value)
{
    char text[24];
    snprintf(text, sizeof(text), format, static_cast<unsigned long long>(value));
    out += text;
}

void AppendId(std::string& out, const SocketcandFrame& frame)
{
    AppendFormat(out, frame.extended ? " %08llX" : " %03llX", frame.id);
}

void AppendTime(std::string& out, SocketcandTime time)
{
    AppendFormat(out, " %llu", time.seconds);
    AppendFormat(out, ".%06llu", time.microseconds);
}

void AppendInterval(std::string& out, SocketcandTime interval)
{
    AppendFormat(out, " %llu", interval.seconds);
    AppendFormat(out, " %llu", interval.microseconds);
}

void AppendIdLengthData(std::string& out, const SocketcandFrame& frame)
{
    AppendId(out, frame);
    AppendFormat(out, " %llu", frame.length);
    for (size_t i = 0; i < frame.length && i < kSocketcandMaxData; ++i) {
        AppendFormat(out, " %02llX", frame.data[i]);
    }
}

void AppendCompactData(std::string& out, const SocketcandFrame& frame)
{
    for (size_t i = 0; i < frame.length && i < kSocketcandMaxData; ++i) {
        AppendFormat(out, "%02llX", frame.data[i]);
    }
}

void AppendText(std::string& out, std::string_view text)
{
    for (char c : text) {
        bool fits = c >= 0x20 && c <= 0x7E && c != '<' && c != '>';
        out += fits ? c : '?';
    }
}

void AppendArguments(std::string& out, const SocketcandMessage& message, SocketcandDataForm form)
{
    switch (message.kind) {
    case SocketcandKind::Open:
        out += ' ';
        AppendText(out, message.text);
        return;
    case SocketcandKind::Error:
        if (!message.text.empty()) {
            out += ' ';
            AppendText(out, message.text);
        }
        return;
    case SocketcandKind::ErrorFrame:
        AppendFormat(out, " %03llX", message.errorClass);
        AppendTime(out, message.time);
        if (message.frame.length > 0) {
            out += ' ';
            AppendCompactData(out, message.frame);
        }
        return;
    case SocketcandKind::Frame:
        AppendId(out, message.frame);
        AppendTime(out, message.time);
        if (form == SocketcandDataForm::Spaced) {
            for (size_t i = 0; i < message.frame.length && i < kSocketcandMaxData; ++i) {
                AppendFormat(out, " %02llX", message.frame.data[i]);
            }
            return;
        }
        out += ' '; // stays even without data: python-can splits the message into three words
        AppendCompactData(out, message.frame);
        return;
    case SocketcandKind::Send:
    case SocketcandKind::Update: AppendIdLengthData(out, message.frame); return;
    case SocketcandKind::Add:
    case SocketcandKind::Filter:
        AppendInterval(out, message.interval);
        AppendIdLengthData(out, message.frame);
        return;
    case SocketcandKind::Subscribe:
        AppendInterval(out, message.interval);
        AppendId(out, message.frame);
        return;
    case SocketcandKind::Delete:
    case SocketcandKind::Unsubscribe: AppendId(out, message.frame); return;
    default: return;
    }
}

std::string_view CommandName(SocketcandKind kind)
{
    if (kind == SocketcandKind::ErrorFrame) {
        return "error";
    }
    for (const Command& command : kCommands) {
        if (command.kind == kind) {
            return command.name;
        }
    }
    return {};
}

} // namespace

std::string ParseSocketcandMessage(std::string_view bytes, SocketcandMessage& message)
{
    message = SocketcandMessage();
    Words words;
    std::string reason = SplitWords(bytes, words);
    if (!reason.empty()) {
        return reason;
    }
    for (const Command& command : kCommands) {
        if (command.name == words[0]) {
            message.kind = command.kind;
            reason = ParseWords(words, message);
            if (!reason.empty()) {
                message = SocketcandMessage();
            }
            return reason;
        }
    }
    // Bit timing is the one command that names its bus first.
    if (words.size() >= 2 && words[1] == "B") {
        reason = ParseBusTiming(words, message);
        if (!reason.empty()) {
            message = SocketcandMessage();
        }
        return reason;
    }
    std::string unknown = "unknown command '";
    AppendText(unknown, words[0].substr(0, kSocketcandMaxBusName));
    return unknown + "'";
}

std::string FormatSocketcandMessage(const SocketcandMessage& message, SocketcandDataForm form)
{
    std::string out = "<";
    if (message.kind == SocketcandKind::BusTiming) {
        out += ' ';
        AppendText(out, message.text);
        const SocketcandBusTiming& t = message.timing;
        out += " B";
        for (uint32_t value :
             {t.bitrate, t.samplePoint, t.tq, t.propSeg, t.phaseSeg1, t.phaseSeg2, t.sjw, t.brp}) {
            AppendFormat(out, " %llu", value);
        }
    } else {
        out += ' ';
        out += CommandName(message.kind);
        AppendArguments(out, message, form);
    }
    out += " >";
    return out;
}

SocketcandMessage SocketcandSend(const SocketcandFrame& frame)
{
    SocketcandMessage message;
    message.kind = SocketcandKind::Send;
    message.frame = frame;
    return message;
}

SocketcandMessage SocketcandReceived(const SocketcandFrame& frame, SocketcandTime time)
{
    SocketcandMessage message;
    message.kind = SocketcandKind::Frame;
    message.frame = frame;
    message.time = time;
    return message;
}

SocketcandMessage SocketcandErrorFrame(uint32_t errorClass,
                                       const std::array<uint8_t, kSocketcandMaxData>& details,
                                       SocketcandTime time)
{
    SocketcandMessage message;
    message.kind = SocketcandKind::ErrorFrame;
    message.errorClass = errorClass & kExtendedIdLimit;
    message.frame.length = kSocketcandMaxData;
    message.frame.data = details;
    message.time = time;
    return message;
}

SocketcandMessage SocketcandError(std::string_view text)
{
    SocketcandMessage message;
    message.kind = SocketcandKind::Error;
    message.text = text;
    return message;
}
