#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ErrorFrames.h"
#include "SlcanAddress.h"
#include "SlcanProtocol.h"
#include "cSlcanClock.h"
#include "cSlcanSplitter.h"

namespace {

using K = SlcanKind;

SlcanLine Frame(char kind, uint32_t id, uint8_t length, std::vector<uint8_t> data = {}, SlcanStamp stamp = {})
{
    SlcanLine line;
    line.kind = K::Frame;
    line.frame.id = id;
    line.frame.extended = kind == 'T' || kind == 'R';
    line.frame.remote = kind == 'r' || kind == 'R';
    line.frame.length = length;
    std::copy(data.begin(), data.end(), line.frame.data.begin());
    line.stamp = stamp;
    return line;
}

SlcanLine Answer(K kind, std::string text = {})
{
    SlcanLine line;
    line.kind = kind;
    line.text = std::move(text);
    return line;
}

SlcanLine Extended(SlcanLine line)
{
    line.frame.extended = true;
    return line;
}

SlcanLine Status(uint8_t flags)
{
    SlcanLine line = Answer(K::Status);
    line.flags = flags;
    return line;
}

SlcanLine State(ControllerState state, uint32_t receiveErrors, uint32_t transmitErrors)
{
    SlcanLine line = Answer(K::State);
    line.controller = {state, transmitErrors, receiveErrors};
    return line;
}

constexpr SlcanStamp Ms(uint32_t value)
{
    return {SlcanStampKind::Milliseconds, value};
}

struct Example
{
    const char* text;
    SlcanLine line;
    const char* formatted; // FormatSlcanFrame of a frame, without the carriage return
};

// The protocol's own examples (Lawicel's manual: t10021133, T12ABCDEF2AA55, r1003, R12ABCDEF6), time
// stamps of both widths, the answers, and a peer host's commands.
TEST(SlcanProtocol, ParsesTheProtocolsExamples)
{
    const std::vector<Example> examples = {
        {"t10021133", Frame('t', 0x100, 2, {0x11, 0x33}), "t10021133"},
        {"T12ABCDEF2AA55", Frame('T', 0x12ABCDEF, 2, {0xAA, 0x55}), "T12ABCDEF2AA55"},
        {"r1003", Frame('r', 0x100, 3), "r1003"},
        {"R12ABCDEF6", Frame('R', 0x12ABCDEF, 6), "R12ABCDEF6"},
        {"t7ff0", Frame('t', 0x7FF, 0), "t7FF0"},
        {"T1fffffff81122334455667788",
         Frame('T', 0x1FFFFFFF, 8, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}),
         "T1FFFFFFF81122334455667788"},
        {"t10021133EA5F", Frame('t', 0x100, 2, {0x11, 0x33}, Ms(0xEA5F)), "t10021133"},
        {"t100211330001E240", Frame('t', 0x100, 2, {0x11, 0x33}, {SlcanStampKind::Microseconds, 123456}),
         "t10021133"},
        {"r1003ffff", Frame('r', 0x100, 3, {}, Ms(0xFFFF)), "r1003"},
        {"", Answer(K::Done), nullptr},
        {"\a", Answer(K::Refused), nullptr},
        {"z", Answer(K::Sent), nullptr},
        {"Z", Extended(Answer(K::Sent)), nullptr},
        {"F0C", Status(0x0C), nullptr},
        {"V1013", Answer(K::Version, "1013"), nullptr},
        {"vSTM32", Answer(K::Version, "STM32"), nullptr},
        {"NA123", Answer(K::Serial, "A123"), nullptr},
        {"e1a", Answer(K::Error, "1a"), nullptr},
        {"sa057033", State(ControllerState::ErrorActive, 57, 33), nullptr},
        {"sb256256", State(ControllerState::BusOff, 256, 256), nullptr},
        {"C", Answer(K::Command, "C"), nullptr},
        {"S6", Answer(K::Command, "S6"), nullptr},
        {"Z1", Answer(K::Command, "Z1"), nullptr},
        {"F", Answer(K::Command, "F"), nullptr},
        {"s031C", Answer(K::Command, "s031C"), nullptr},
    };
    for (const Example& example : examples) {
        SCOPED_TRACE(example.text);
        SlcanLine line;
        EXPECT_EQ(ParseSlcanLine(example.text, line), "");
        EXPECT_EQ(line, example.line);
        if (example.formatted != nullptr) {
            EXPECT_EQ(FormatSlcanFrame(line.frame), std::string(example.formatted) + "\r");
        }
    }
}

TEST(SlcanProtocol, RefusesMalformedLinesSayingWhy)
{
    const std::vector<std::pair<std::string, std::string>> malformed = {
        {"t12", "a frame line is cut short before its DLC"},
        {"t1G30", "a standard id has 3 hex digits"},
        {"t8000", "a standard id is at most 7FF"},
        {"T2000000000", "an extended id is at most 1FFFFFFF"},
        {"T123456", "a frame line is cut short before its DLC"},
        {"t1239", "the DLC is a digit 0 to 8"},
        {"t123211", "fewer data bytes than the DLC says"},
        {"t1232112G", "a data byte is 2 hex digits"},
        {"t12321122333", "a time stamp has 4 or 8 hex digits"},
        {"t1230EA5X", "a time stamp is hex digits"},
        {"zz", "an answer z stands alone"},
        {std::string("t1230\0", 6), "a line holds a byte that is not printable ASCII"},
        {"x123", "line starts with unknown 'x'"},
        {"\a\a", "a line holds a byte that is not printable ASCII"},
    };
    for (const auto& [text, reason] : malformed) {
        SCOPED_TRACE(text);
        SlcanLine line;
        line.text = "left over";
        EXPECT_EQ(ParseSlcanLine(text, line), reason);
        EXPECT_EQ(line, SlcanLine());
    }
}

// Error lines (the kernel's examples among them), Lawicel's status flags and state lines, each with the
// error frame it reports in SocketCAN's form and the state it tells.
TEST(SlcanProtocol, ReportsErrorLinesStatusFlagsAndStateLinesAsSocketCanErrorFrames)
{
    using CS = ControllerState;
    constexpr uint32_t kBusError = kCanErrorProtocol | kCanErrorBusError;
    constexpr uint32_t kStateChange = kCanErrorController | kCanErrorCounters;
    struct Case
    {
        const char* text;
        std::optional<SlcanErrorFrame> frame;
        std::optional<SlcanControllerState> state;
    };
    const std::vector<Case> cases = {
        {"e1a", SlcanErrorFrame{kBusError | kCanErrorAck, {0, 0, 0, kCanLocationAckSlot}}, {}},
        {"e3bcO",
         SlcanErrorFrame{
             kBusError | kCanErrorController,
             {0, kCanControllerTxOverflow, kCanProtocolBit0 | kCanProtocolBit, kCanLocationCrcSequence}},
         {}},
        {"e3fso",
         SlcanErrorFrame{kBusError | kCanErrorController,
                         {0, kCanControllerRxOverflow, kCanProtocolForm | kCanProtocolStuff}},
         {}},
        {"e1x", SlcanErrorFrame{kBusError, {}}, {}}, // not the kernel's form: a bus error of unknown kind
        {"e2a", SlcanErrorFrame{kBusError, {}}, {}},
        {"F0C",
         SlcanErrorFrame{kCanErrorController,
                         {0, kCanControllerRxOverflow | kCanControllerRxWarning | kCanControllerTxWarning}},
         SlcanControllerState{CS::ErrorWarning, 0, 0}},
        {"F23",
         SlcanErrorFrame{kCanErrorController,
                         {0, kCanControllerRxOverflow | kCanControllerTxOverflow | kCanControllerRxPassive |
                                 kCanControllerTxPassive}},
         SlcanControllerState{CS::ErrorPassive, 0, 0}},
        {"FC0", SlcanErrorFrame{kCanErrorLostArbitration | kBusError, {}},
         SlcanControllerState{CS::ErrorActive, 0, 0}},
        {"F10", {}, SlcanControllerState{CS::ErrorActive, 0, 0}}, // the unused bit
        {"F00", {}, SlcanControllerState{CS::ErrorActive, 0, 0}},
        {"sa057033", SlcanErrorFrame{kStateChange, {0, kCanControllerActive, 0, 0, 0, 0, 33, 57}},
         SlcanControllerState{CS::ErrorActive, 33, 57}},
        {"sw100100",
         SlcanErrorFrame{kStateChange,
                         {0, kCanControllerTxWarning | kCanControllerRxWarning, 0, 0, 0, 0, 100, 100}},
         SlcanControllerState{CS::ErrorWarning, 100, 100}},
        {"sp128005", SlcanErrorFrame{kStateChange, {0, kCanControllerRxPassive, 0, 0, 0, 0, 5, 128}},
         SlcanControllerState{CS::ErrorPassive, 5, 128}},
        {"sb256256", SlcanErrorFrame{kCanErrorBusOff, {}}, SlcanControllerState{CS::BusOff, 256, 256}},
        {"t1230", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SlcanLine line;
        ASSERT_EQ(ParseSlcanLine(c.text, line), "");
        EXPECT_EQ(SlcanErrorFrameOf(line), c.frame);
        EXPECT_EQ(SlcanReportedState(line), c.state);
    }
}

TEST(SlcanProtocol, FormatsTheCommandsAHostWrites)
{
    EXPECT_EQ(SlcanCommand('O'), "O\r");
    const std::vector<std::pair<uint32_t, std::string>> rates = {
        {10, "S0\r"},  {20, "S1\r"},  {50, "S2\r"},  {100, "S3\r"},  {125, "S4\r"},
        {250, "S5\r"}, {500, "S6\r"}, {800, "S7\r"}, {1000, "S8\r"}, {750, ""},
    };
    for (const auto& [rate, command] : rates) {
        EXPECT_EQ(SlcanBitrateCommand(rate), command) << rate;
    }
}

std::vector<std::string> Split(cSlcanSplitter& splitter, const std::vector<std::string>& reads)
{
    std::vector<std::string> lines;
    for (const std::string& read : reads) {
        splitter.Feed(read, [&](std::string_view line) { lines.emplace_back(line); });
    }
    return lines;
}

TEST(SlcanSplitter, JoinsSplitLinesAndDropsOverlongOnes)
{
    cSlcanSplitter splitter;
    std::string longest = "T1FFFFFFF81122334455667788FFFFFFFF";
    ASSERT_EQ(longest.size(), kSlcanMaxLineBytes);
    EXPECT_EQ(Split(splitter, {"t12", "30\r\nz", "\r\a", "t1", "\a", longest + "\r", longest + "0\rt1230\r",
                               std::string(5000, 'x') + "\a\r"}),
              (std::vector<std::string>{"t1230", "z", "\a", "\a", longest, "t1230", "\a", ""}));
    EXPECT_EQ(splitter.DroppedLines(), 3u); // "t1" cut short by a refusal, the two overlong lines
}

TEST(SlcanClock, MovesOnByTheAdaptersStampsAndCountsTurnsFromTheHostsClock)
{
    struct Step
    {
        SlcanStamp stamp;
        uint64_t hostMicroseconds;
        uint32_t hostTicks;
        uint32_t expected;
    };
    const std::vector<Step> steps = {
        {Ms(59990), 1000000, 5000, 5000},                                    // the first: the host's ticks
        {Ms(5), 1015000, 5015, 5015},                                        // wrapped at 60000: 15 ms later
        {Ms(10), 1015000 + 120005000, 125020, 5015 + 120005},                // two whole turns unseen
        {{}, 200000000, 7777, 7777},                                         // no stamp: the host's ticks
        {{SlcanStampKind::Microseconds, 0xFFFFFF00}, 300000000, 9000, 9000}, // another kind: starts over
        {{SlcanStampKind::Microseconds, 0x00001000}, 300004000, 9004, 9004}, // wrapped at 2^32: 4.352 ms
    };
    cSlcanClock clock;
    for (const Step& step : steps) {
        EXPECT_EQ(clock.Timestamp(step.stamp, step.hostMicroseconds, step.hostTicks), step.expected)
            << step.stamp.value;
    }
    cSlcanClock clone;
    clone.Timestamp(Ms(65000), 0, 100);
    EXPECT_EQ(clone.Timestamp(Ms(464), 1000000, 1100), 1100u); // a clone wrapping at 65536: 1 s later
}

TEST(SlcanAddress, TakesThePortAndTheLinesSpeed)
{
    struct Case
    {
        const char* value;
        const char* port;
        uint32_t speed;
        const char* error;
    };
    const char* syntax = " (expected slcan:PORT[@SPEED], e.g. slcan:/dev/ttyACM0 or slcan:COM5)";
    const std::vector<Case> cases = {
        {"slcan:/dev/ttyACM0", "/dev/ttyACM0", 115200, ""},
        {"slcan:/dev/ttyUSB0@921600", "/dev/ttyUSB0", 921600, ""},
        {"slcan:COM5", "COM5", 115200, ""},
        {"slcan:", "", 0, "no serial port"},
        {"slcan:@115200", "", 0, "no serial port"},
        {"slcan:/dev/tty S0", "", 0, "a serial port's name has no blanks or control characters"},
        {"slcan:/dev/ttyS0@115201", "", 0,
         "the serial line's speed after @ is one of 9600, 19200, 38400, 57600, 115200, 230400, 460800, "
         "500000, "
         "576000, 921600, 1000000, 2000000, 3000000 bit/s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        SlcanAddress address;
        std::string error;
        EXPECT_EQ(ParseSlcanAddress(c.value, address, error), *c.error == 0);
        EXPECT_EQ(error, *c.error == 0 ? "" : c.error + std::string(syntax));
        if (*c.error == 0) {
            EXPECT_EQ(address.port, c.port);
            EXPECT_EQ(address.speed, c.speed);
        }
    }
    EXPECT_EQ(WindowsPortPath("COM5"), "\\\\.\\COM5");
    EXPECT_EQ(WindowsPortPath("com12"), "\\\\.\\com12");
    EXPECT_EQ(WindowsPortPath("\\\\.\\COM3"), "\\\\.\\COM3");
    EXPECT_EQ(WindowsPortPath("COMX"), "COMX");
}

} // namespace
