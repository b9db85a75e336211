// The bus tools' input: the ID#DATA frame syntax on its own, candump's log line and filters, and whole
// command lines of can-send and can-dump, run through their main functions (compiled in under other
// names). No driver library lies beside this program, so a command line the tool accepts ends at loading
// the driver, with exit status 1; one it refuses ends with status 2 and a message. Both verdicts are
// checked against a model of the options, the device names and the frame and filter syntax written here
// from the tools' usage texts and the GNU getopt rules.
//
// Input: the first byte chooses frame text (0), can-send (1), can-dump (2), a log line (3) or a device
// with filters (4); the rest is the text, or the command line's arguments separated by zero bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <getopt.h>
#include <unistd.h>

#include "DeviceName.h"
#include "FrameFilter.h"
#include "FrameSyntax.h"
#include "FuzzCheck.h"
#include "LogLine.h"
#include "ToolSupport.h"

int CanSendMain(int argc, char** argv);
int CanDumpMain(int argc, char** argv);

namespace {

constexpr int kRefused = 2;
constexpr int kDriverMissing = 1;
constexpr size_t kMostArguments = 12;
constexpr uint32_t kLargestNumber = 1000000000;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// ID#DATA as the usage describes it: 3 hex digits up to 7FF or 8 up to 1FFFFFFF, '#', then R alone or
// with a DLC 0 to 8, or up to 8 bytes of two hex digits with single dots allowed between bytes.
bool ReferenceFrame(std::string_view text, CanMessageDescriptor& frame)
{
    frame = CanMessageDescriptor{};
    size_t hash = text.find('#');
    if (hash != 3 && hash != 8) {
        return false;
    }
    for (size_t i = 0; i < hash; ++i) {
        if (HexDigit(text[i]) < 0) {
            return false;
        }
        frame.id = frame.id * 16 + static_cast<uint32_t>(HexDigit(text[i]));
    }
    frame.extended = hash == 8 ? 1 : 0;
    if (frame.id > (hash == 8 ? 0x1FFFFFFFu : 0x7FFu)) {
        return false;
    }
    std::string_view data = text.substr(hash + 1);
    if (!data.empty() && (data[0] == 'R' || data[0] == 'r')) {
        // R alone, or R and the DLC 0 to 8, which the record carries in reserved bits 8-11.
        bool withDlc = data.size() == 2 && data[1] >= '0' && data[1] <= '8';
        frame.remote = 1;
        frame.reserved = withDlc ? static_cast<uint32_t>(data[1] - '0') << 8 : 0;
        return data.size() == 1 || withDlc;
    }
    size_t i = 0;
    while (i < data.size()) {
        if (frame.length > 0 && data[i] == '.') {
            ++i; // one dot between two bytes, never at the end
        }
        if (i + 2 > data.size() || HexDigit(data[i]) < 0 || HexDigit(data[i + 1]) < 0 || frame.length == 8) {
            return false;
        }
        frame.data[frame.length++] = static_cast<uint8_t>(HexDigit(data[i]) * 16 + HexDigit(data[i + 1]));
        i += 2;
    }
    return true;
}

void CheckFrameText(const std::string& text)
{
    CanMessageDescriptor parsed{};
    CanMessageDescriptor expected{};
    std::string problem = ParseFrameText(text, parsed);
    bool valid = ReferenceFrame(text, expected);
    if (valid != problem.empty()) {
        FailFuzzCheck("frame text \"%s\": the tools say \"%s\", the syntax says %s", text.c_str(),
                      problem.c_str(), valid ? "valid" : "invalid");
    }
    if (valid && memcmp(&parsed, &expected, sizeof(parsed)) != 0) {
        FailFuzzCheck("frame text \"%s\" parsed to another frame than the syntax gives", text.c_str());
    }
    if (valid) {
        CanMessageDescriptor again{};
        if (!ParseFrameText(FrameText(parsed), again).empty() ||
            memcmp(&again, &parsed, sizeof(again)) != 0) {
            FailFuzzCheck("frame text \"%s\" does not come back from FrameText", text.c_str());
        }
    }
}

bool IsNumber(const std::string& text)
{
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > kLargestNumber) {
            return false;
        }
    }
    return !text.empty();
}

bool IsHex(std::string_view text, size_t most)
{
    if (text.empty() || text.size() > most) {
        return false;
    }
    for (char c : text) {
        if (HexDigit(c) < 0) {
            return false;
        }
    }
    return true;
}

// candump's filter items as the usage gives them: ID:MASK, ID~MASK, #ERRORMASK, j; 1 to 8 hex digits.
bool ReferenceFilterItem(std::string_view item)
{
    if (item == "j" || item == "J") {
        return true;
    }
    if (!item.empty() && item[0] == '#') {
        return IsHex(item.substr(1), 8);
    }
    size_t separator = item.find_first_of(":~");
    return separator != std::string_view::npos && IsHex(item.substr(0, separator), 8) &&
           IsHex(item.substr(separator + 1), 8);
}

// CAN0: to CAN9: in any letter case, or a SocketCAN interface of this machine.
bool ReferenceDeviceName(const std::string& name)
{
    bool bus = name.size() == 5 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'A' || name[1] == 'a') &&
               (name[2] == 'N' || name[2] == 'n') && name[3] >= '0' && name[3] <= '9' && name[4] == ':';
    return bus || IsCanInterface(name);
}

bool ReferenceDeviceWithFilters(const std::string& text, bool filtersAllowed)
{
    size_t comma = text.find(',');
    if (!ReferenceDeviceName(text.substr(0, comma))) {
        return false;
    }
    if (comma != std::string::npos && !filtersAllowed) {
        return false;
    }
    while (comma != std::string::npos) {
        size_t next = text.find(',', comma + 1);
        if (!ReferenceFilterItem(std::string_view(text).substr(comma + 1, next - comma - 1))) {
            return false;
        }
        comma = next;
    }
    return true;
}

// 500, 500k, 500000: one of the nine rates in kbit/s (a k may follow), or a thousand times one in
// bit/s; at most 7 digits.
bool ReferenceBitRate(std::string text)
{
    const uint64_t rates[] = {10, 20, 50, 100, 125, 250, 500, 800, 1000};
    bool kilo = !text.empty() && (text.back() == 'k' || text.back() == 'K');
    if (kilo) {
        text.pop_back();
    }
    if (text.size() > 7 || !IsNumber(text)) {
        return false;
    }
    uint64_t value = std::stoull(text);
    for (uint64_t rate : rates) {
        if (value == rate || (!kilo && value == rate * 1000)) {
            return true;
        }
    }
    return false;
}

struct ToolModel
{
    const char* name;
    int (*main)(int, char**);
    std::string withArgument; // option letters that take an argument
    std::string flags;        // option letters without one
};

const ToolModel kCanSend = {"can-send", &CanSendMain, "bgn", "r"};
const ToolModel kCanDump = {"can-dump", &CanDumpMain, "btnT", "dLleac"};

bool ReferenceOptionArgument(char letter, const std::string& argument)
{
    switch (letter) {
    case 'b': return ReferenceBitRate(argument);
    case 't': return argument == "a" || argument == "A" || argument == "d" || argument == "z";
    case 'T': return IsNumber(argument) && argument.find_first_not_of('0') != std::string::npos;
    }
    return IsNumber(argument);
}

enum class Verdict
{
    Refused,
    Accepted,
    Help
};

// GNU getopt_long in its permuting mode: "--" ends the options, "-" alone and anything not starting
// with '-' are operands, letters may be grouped, an option's number follows it or is the next
// argument. Options are read in order, and -h or --help (or an abbreviation of it) ends the reading
// with the usage.
Verdict ReferenceVerdict(const ToolModel& tool, const std::vector<std::string>& arguments)
{
    std::vector<std::string> operands;
    bool random = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") {
            operands.insert(operands.end(), arguments.begin() + static_cast<long>(i) + 1, arguments.end());
            break;
        }
        if (argument.size() < 2 || argument[0] != '-') {
            operands.push_back(argument);
            continue;
        }
        if (argument[1] == '-') {
            std::string name = argument.substr(2);
            return std::string("help").rfind(name, 0) == 0 ? Verdict::Help : Verdict::Refused;
        }
        for (size_t at = 1; at < argument.size(); ++at) {
            char letter = argument[at];
            if (letter == 'h') {
                return Verdict::Help;
            }
            if (tool.withArgument.find(letter) != std::string::npos) {
                std::string number = argument.substr(at + 1);
                if (number.empty()) {
                    if (++i == arguments.size()) {
                        return Verdict::Refused;
                    }
                    number = arguments[i];
                }
                if (!ReferenceOptionArgument(letter, number)) {
                    return Verdict::Refused;
                }
                break;
            }
            if (tool.flags.find(letter) == std::string::npos) {
                return Verdict::Refused;
            }
            random |= letter == 'r';
        }
    }
    bool accepted = false;
    if (tool.main == &CanDumpMain) {
        accepted = !operands.empty() && operands.size() <= 10;
        for (const std::string& operand : operands) {
            accepted = accepted && ReferenceDeviceWithFilters(operand, true);
        }
    } else {
        CanMessageDescriptor frame{};
        accepted = random ? operands.size() == 1 : operands.size() == 2 && ReferenceFrame(operands[1], frame);
        accepted = accepted && ReferenceDeviceWithFilters(operands[0], false);
    }
    return accepted ? Verdict::Accepted : Verdict::Refused;
}

// Runs the tool's main with its standard error captured.
int RunTool(const ToolModel& tool, std::vector<std::string> arguments, std::string& errors)
{
    std::vector<char*> argv;
    std::string name = tool.name;
    argv.push_back(name.data());
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    optind = 0; // getopt starts afresh, as in a new process

    fflush(stderr);
    FILE* capture = tmpfile();
    int saved = dup(STDERR_FILENO);
    dup2(fileno(capture), STDERR_FILENO);
    int status = tool.main(static_cast<int>(argv.size() - 1), argv.data());
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);

    rewind(capture);
    char buffer[4096];
    size_t read = 0;
    while ((read = fread(buffer, 1, sizeof(buffer), capture)) > 0) {
        errors.append(buffer, read);
    }
    fclose(capture);
    return status;
}

std::string Joined(const std::vector<std::string>& arguments)
{
    std::string line;
    for (const std::string& argument : arguments) {
        line += " [" + argument + "]";
    }
    return line;
}

void CheckCommandLine(const ToolModel& tool, const std::vector<std::string>& arguments)
{
    std::string errors;
    int status = RunTool(tool, arguments, errors);
    Verdict verdict = ReferenceVerdict(tool, arguments);
    if (verdict == Verdict::Help) {
        if (status != 0 || !errors.empty()) {
            FailFuzzCheck("%s%s: asking for help ended with status %d: \"%s\"", tool.name,
                          Joined(arguments).c_str(), status, errors.c_str());
        }
        return;
    }
    bool accepted = verdict == Verdict::Accepted;
    std::string prefix = std::string(tool.name) + ": ";
    if (errors.rfind(prefix, 0) != 0) {
        FailFuzzCheck("%s%s: status %d without a message naming the tool: \"%s\"", tool.name,
                      Joined(arguments).c_str(), status, errors.c_str());
    }
    if (accepted && (status != kDriverMissing ||
                     errors.find("LoadLibraryW(rvcan32ce.dll) failed") == std::string::npos)) {
        FailFuzzCheck("%s%s: a valid command line ended with status %d: \"%s\"", tool.name,
                      Joined(arguments).c_str(), status, errors.c_str());
    }
    if (!accepted && status != kRefused) {
        FailFuzzCheck("%s%s: a malformed command line ended with status %d: \"%s\"", tool.name,
                      Joined(arguments).c_str(), status, errors.c_str());
    }
}

// A line that parses comes back the same from LogLine.
void CheckLogLine(const std::string& text)
{
    LogEntry entry;
    if (!ParseLogLine(text, entry).empty() || entry.errorFrame || entry.fdFrame) {
        return;
    }
    std::string written = LogLine(entry.time, entry.device, 0, entry.frame);
    LogEntry again;
    std::string problem = ParseLogLine(written, again);
    if (!problem.empty() || again.time != entry.time || again.device != entry.device ||
        memcmp(&again.frame, &entry.frame, sizeof(again.frame)) != 0) {
        FailFuzzCheck("log line \"%s\" came back from LogLine as \"%s\" (%s)", text.c_str(), written.c_str(),
                      problem.c_str());
    }
}

void CheckDeviceFilters(const std::string& text)
{
    std::string device;
    FrameFilter filter;
    std::string problem = ParseDeviceFilters(text, device, filter);
    size_t comma = text.find(',');
    bool valid = !text.empty() && comma != 0 &&
                 ReferenceDeviceWithFilters("CAN1:" + text.substr(std::min(comma, text.size())), true);
    if (valid != problem.empty()) {
        FailFuzzCheck("filters \"%s\": the tools say \"%s\", the syntax says %s", text.c_str(),
                      problem.c_str(), valid ? "valid" : "invalid");
    }
}

std::vector<std::string> SplitArguments(const uint8_t* data, size_t size)
{
    std::vector<std::string> arguments(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != 0) {
            arguments.back() += static_cast<char>(data[i]);
        } else if (arguments.size() < kMostArguments) {
            arguments.emplace_back();
        }
    }
    return size == 0 ? std::vector<std::string>{} : arguments;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return -1;
    }
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 5) {
    case 0: CheckFrameText(text); break;
    case 1: CheckCommandLine(kCanSend, SplitArguments(data + 1, size - 1)); break;
    case 2: CheckCommandLine(kCanDump, SplitArguments(data + 1, size - 1)); break;
    case 3: CheckLogLine(text); break;
    case 4: CheckDeviceFilters(text); break;
    }
    return 0;
}
