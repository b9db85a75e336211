#include "LogLine.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "FrameFilter.h"
#include "FrameSyntax.h"

namespace {

constexpr Microseconds kMicrosecondsPerSecond = 1000000;
constexpr size_t kMicrosecondDigits = 6;
constexpr size_t kMostSecondDigits = 12;
constexpr size_t kErrorIdDigits = 8;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view NextWord(std::string_view& rest)
{
    size_t start = 0;
    while (start < rest.size() && IsBlank(rest[start])) {
        ++start;
    }
    size_t end = start;
    while (end < rest.size() && !IsBlank(rest[end])) {
        ++end;
    }
    std::string_view word = rest.substr(start, end - start);
    rest = rest.substr(end);
    return word;
}

bool ParseDecimal(std::string_view digits, int64_t& value)
{
    value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return !digits.empty();
}

std::string ParseStamp(std::string_view word, Microseconds& time)
{
    size_t dot = word.find('.');
    if (word.size() < 2 || word.front() != '(' || word.back() != ')' || dot == std::string_view::npos) {
        return "expected a time stamp (SECONDS.MICROSECONDS) first";
    }
    std::string_view seconds = word.substr(1, dot - 1);
    std::string_view micros = word.substr(dot + 1, word.size() - dot - 2);
    int64_t wholeSeconds = 0;
    int64_t fraction = 0;
    if (seconds.size() > kMostSecondDigits || micros.size() != kMicrosecondDigits ||
        !ParseDecimal(seconds, wholeSeconds) || !ParseDecimal(micros, fraction)) {
        return "the time stamp must be (SECONDS.MICROSECONDS) with 6 digits after the point";
    }
    time = wholeSeconds * kMicrosecondsPerSecond + fraction;
    return {};
}

std::string ParseLogFrame(std::string_view text, LogEntry& entry)
{
    size_t hash = text.find('#');
    if (hash != std::string_view::npos && hash + 1 < text.size() && text[hash + 1] == '#') {
        entry.fdFrame = true;
        return {};
    }
    uint32_t errorId = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + std::min(hash, text.size()), errorId, 16);
    if (hash == kErrorIdDigits && error == std::errc() && end == text.data() + hash &&
        (errorId & kErrorFrameFlag) != 0) {
        entry.errorFrame = true;
        return {};
    }
    std::string problem = ParseFrameText(text, entry.frame);
    return problem.empty() ? problem : std::string(text) + ": " + problem;
}

void AppendFormat(std::string& out, const char* format, long long value)
{
    char text[32];
    snprintf(text, sizeof(text), format, value);
    out += text;
}

} // namespace

std::string LogFrameText(const CanMessageDescriptor& frame)
{
    if (IsErrorFrame(frame)) {
        std::string out;
        AppendFormat(out, "%08llX#", FlaggedId(frame));
        for (size_t i = 0; i < frame.length && i < kCanMaxDataBytes; ++i) {
            AppendFormat(out, "%02llX", frame.data[i]);
        }
        return out;
    }
    return FrameText(frame);
}

std::string LogLine(Microseconds time, std::string_view device, size_t deviceWidth,
                    const CanMessageDescriptor& frame)
{
    std::string line = AbsoluteStamp(time);
    if (device.size() < deviceWidth) {
        line.append(deviceWidth - device.size(), ' ');
    }
    line += device;
    line += ' ';
    return line + LogFrameText(frame);
}

std::string ParseLogLine(std::string_view line, LogEntry& entry)
{
    entry = LogEntry{};
    if (line.find('\0') != std::string_view::npos) {
        return "the line holds a NUL byte: not a log line (a binary or damaged file?)";
    }
    std::string_view rest = line;
    std::string problem = ParseStamp(NextWord(rest), entry.time);
    if (!problem.empty()) {
        return problem;
    }
    std::string_view device = NextWord(rest);
    std::string_view frame = NextWord(rest);
    if (device.empty() || frame.empty()) {
        return "expected (SECONDS.MICROSECONDS) DEVICE ID#DATA";
    }
    entry.device = std::string(device);
    return ParseLogFrame(frame, entry);
}

bool IsLogCommentLine(std::string_view line)
{
    std::string_view rest = line;
    std::string_view first = NextWord(rest);
    return first.empty() || first[0] == '#';
}

std::string AbsoluteStamp(Microseconds time)
{
    std::string out;
    AppendFormat(out, "(%010lld.", time / kMicrosecondsPerSecond);
    AppendFormat(out, "%06lld) ", time % kMicrosecondsPerSecond);
    return out;
}

// The local calendar time of a wall-clock time in microseconds.
static tm LocalTime(Microseconds time)
{
    time_t seconds = static_cast<time_t>(time / kMicrosecondsPerSecond);
    tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return local;
}

std::string DateStamp(Microseconds time)
{
    tm local = LocalTime(time);
    char date[32];
    strftime(date, sizeof(date), "(%Y-%m-%d %H:%M:%S.", &local);
    std::string out = date;
    AppendFormat(out, "%06lld) ", time % kMicrosecondsPerSecond);
    return out;
}

std::string RelativeStamp(Microseconds difference)
{
    difference = difference < 0 ? 0 : difference;
    std::string out;
    AppendFormat(out, "(%03lld.", difference / kMicrosecondsPerSecond);
    AppendFormat(out, "%06lld) ", difference % kMicrosecondsPerSecond);
    return out;
}

std::string LogFileName(Microseconds time)
{
    tm local = LocalTime(time);
    char name[64];
    strftime(name, sizeof(name), "candump-%Y-%m-%d_%H%M%S.log", &local);
    return name;
}
