#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameSyntax.h"

namespace {

struct ParsedExample
{
    const char* text;
    uint32_t extended;
    uint32_t id;
    uint32_t remote;
    uint16_t length;
    std::vector<uint8_t> data;
    const char* canonical; // FrameText of the result
    uint32_t reserved = 0; // a remote frame's DLC, bits 8-11
};

// The examples of FrameSyntax.h, and their neighbours.
const ParsedExample kParsedExamples[] = {
    {"123#DEADBEEF", 0, 0x123, 0, 4, {0xDE, 0xAD, 0xBE, 0xEF}, "123#DEADBEEF"},
    {"12345678#11.22", 1, 0x12345678, 0, 2, {0x11, 0x22}, "12345678#1122"},
    {"123#", 0, 0x123, 0, 0, {}, "123#"},
    {"123#R", 0, 0x123, 1, 0, {}, "123#R"},
    {"7ff#0011223344556677",
     0,
     0x7FF,
     0,
     8,
     {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77},
     "7FF#0011223344556677"},
    {"1FFFFFFF#aa.BB.cc", 1, 0x1FFFFFFF, 0, 3, {0xAA, 0xBB, 0xCC}, "1FFFFFFF#AABBCC"},
    {"00000001#", 1, 0x1, 0, 0, {}, "00000001#"},
    {"000#r", 0, 0x0, 1, 0, {}, "000#R"},
    {"123#R4", 0, 0x123, 1, 0, {}, "123#R4", 0x400},
    {"12345678#r8", 1, 0x12345678, 1, 0, {}, "12345678#R8", 0x800},
    {"123#R0", 0, 0x123, 1, 0, {}, "123#R"},
};

TEST(FrameSyntax, ParsesTheDocumentedExamples)
{
    for (const ParsedExample& example : kParsedExamples) {
        CanMessageDescriptor frame;
        memset(&frame, 0xA5, sizeof(frame));
        ASSERT_EQ(ParseFrameText(example.text, frame), "") << example.text;
        EXPECT_EQ(frame.extended, example.extended) << example.text;
        EXPECT_EQ(frame.id, example.id) << example.text;
        EXPECT_EQ(frame.remote, example.remote) << example.text;
        EXPECT_EQ(frame.length, example.length) << example.text;
        std::vector<uint8_t> data(frame.data, frame.data + frame.length);
        EXPECT_EQ(data, example.data) << example.text;
        EXPECT_EQ(frame.timestamp, 0u) << example.text;
        EXPECT_EQ(frame.reserved, example.reserved) << example.text;
        for (size_t i = frame.length; i < kCanMaxDataBytes; ++i) {
            EXPECT_EQ(frame.data[i], 0) << example.text << " byte " << i;
        }
    }
}

TEST(FrameSyntax, FrameTextGivesTheParsedFrameBack)
{
    for (const ParsedExample& example : kParsedExamples) {
        CanMessageDescriptor frame{};
        ASSERT_EQ(ParseFrameText(example.text, frame), "");
        EXPECT_EQ(FrameText(frame), example.canonical);
        CanMessageDescriptor again{};
        ASSERT_EQ(ParseFrameText(FrameText(frame), again), "");
        EXPECT_EQ(memcmp(&frame, &again, sizeof(frame)), 0) << example.text;
    }
}

struct RefusedExample
{
    const char* text;
    const char* problem;
};

const RefusedExample kRefusedExamples[] = {
    {"123", "expected ID#DATA, e.g. 123#DEADBEEF"},
    {"", "expected ID#DATA, e.g. 123#DEADBEEF"},
    {"1234#00", "the id must have 3 hex digits (standard) or 8 (extended)"},
    {"#00", "the id must have 3 hex digits (standard) or 8 (extended)"},
    {"12G#00", "the id must be hexadecimal"},
    {"800#00", "a standard id is at most 7FF"},
    {"20000000#00", "an extended id is at most 1FFFFFFF"},
    {"123##100", "CAN FD frames (ID##DATA) are not supported"},
    {"123#R9", "a remote frame is ID#R, or ID#R followed by its DLC 0 to 8 (123#R4)"},
    {"123#R44", "a remote frame is ID#R, or ID#R followed by its DLC 0 to 8 (123#R4)"},
    {"123#RA", "a remote frame is ID#R, or ID#R followed by its DLC 0 to 8 (123#R4)"},
    {"123#ABC", "data must be pairs of hex digits, optionally separated by '.'"},
    {"123#.11", "data must be pairs of hex digits, optionally separated by '.'"},
    {"123#11..22", "data must be pairs of hex digits, optionally separated by '.'"},
    {"123#11.", "data must be pairs of hex digits, optionally separated by '.'"},
    {"123#1X", "data must be pairs of hex digits, optionally separated by '.'"},
    {"123#001122334455667788", "a frame has at most 8 data bytes"},
};

TEST(FrameSyntax, RefusesMalformedTextSayingWhy)
{
    for (const RefusedExample& example : kRefusedExamples) {
        CanMessageDescriptor frame{};
        EXPECT_EQ(ParseFrameText(example.text, frame), example.problem) << example.text;
    }
}

struct DumpExample
{
    const char* frame;
    const char* stamp;
    const char* device;
    size_t deviceWidth;
    const char* line;
    DumpStyle style = {};
};

// candump's long format, with the examples of FrameSyntax.h.
const DumpExample kDumpExamples[] = {
    {"123#DEADBEEF", "", "CAN1:", 0, "  CAN1:  123   [4]  DE AD BE EF"},
    {"12345678#11.22", "", "CAN1:", 0, "  CAN1:  12345678   [2]  11 22"},
    {"123#R", "", "CAN1:", 0, "  CAN1:  123   [0]  remote request"},
    {"123#R4", "", "can0", 5, "   can0  123   [4]  remote request"},
    {"123#", "", "CAN1:", 0, "  CAN1:  123   [0] "},
    {"001#0102030405060708", "", "CAN1:", 0, "  CAN1:  001   [8]  01 02 03 04 05 06 07 08"},
    {"123#DEADBEEF", "(1436509052.249713) ", "CAN1:", 5,
     " (1436509052.249713)  CAN1:  123   [4]  DE AD BE EF"},
    {"123#", "(000.000087) ", "can0", 5, " (000.000087)   can0  123   [0] "},
    // As candump printed them in the SocketCAN VM: after an extended id, with -a, -c, -cc and -ccc.
    {"7FF#33", "", "vcan0", 0, "  vcan0       7FF   [1]  33", {.indentStandardId = true}},
    {"123#41424344", "", "vcan0", 0, "  vcan0  123   [4]  41 42 43 44               'ABCD'", {.ascii = true}},
    {"001#",
     "",
     "vcan0",
     0,
     "  vcan0       001   [0]                            ''",
     {.indentStandardId = true, .ascii = true}},
    {"12345678#01020304050607",
     "",
     "vcan0",
     0,
     "  vcan0  12345678   [7]  01 02 03 04 05 06 07      '.......'",
     {.ascii = true}},
    {"123#41424344",
     "(1796750898.766385) ",
     "vcan0",
     0,
     " (1796750898.766385)  \33[1m\33[34mvcan0\33[0m  123   [4]  41 42 43 44",
     {.colorLevel = 1}},
    {"12345678#02",
     "",
     "vcan1",
     0,
     "  \33[1m\33[31mvcan1  12345678   [1]  02\33[0m",
     {.colorLevel = 2, .colorIndex = 1}},
    {"7FF#33", "", "vcan0", 0, " \33[1m\33[34m vcan0  7FF   [1]  33\33[0m", {.colorLevel = 3}},
};

TEST(FrameSyntax, DumpLineIsCandumpsLine)
{
    for (const DumpExample& example : kDumpExamples) {
        CanMessageDescriptor frame{};
        ASSERT_EQ(ParseFrameText(example.frame, frame), "");
        EXPECT_EQ(DumpLine(example.stamp, example.device, example.deviceWidth, frame, example.style),
                  example.line);
    }
}

struct ErrorExample
{
    const char* frame;
    const char* line; // after "  vcan0  "
    DumpStyle style = {.errorDetails = true};
};

// As candump -e vcan0,#FFFFFFFF printed them in the SocketCAN VM (can-utils 2020.11): each class on a
// line of its own, the counters when either is not 0, a bit without a name (CAN_ERR_CNT) as nothing.
const ErrorExample kErrorExamples[] = {
    {"20000004#0004000000000000", "20000004   [8]  00 04 00 00 00 00 00 00   ERRORFRAME", {}},
    {"2000008C#0014020A00000880", "2000008C   [8]  00 14 02 0A 00 00 08 80   "
                                  "ERRORFRAME\n\tcontroller-problem{rx-error-warning,rx-error-passive}"
                                  "\n\tprotocol-violation{{frame-format-error}{data-field}}\n\tbus-"
                                  "error\n\terror-counter-tx-rx{{8}{128}}"},
    {"20000088#0000191F00000000",
     "20000088   [8]  00 00 19 1F 00 00 00 00   ERRORFRAME\n\tprotocol-violation{{single-bit-error,"
     "tx-dominant-bit-error,tx-recessive-bit-error}{unspecified}}\n\tbus-error"},
    {"20000008#0000001400000000",
     "20000008   [8]  00 00 00 14 00 00 00 00   ERRORFRAME\n\tprotocol-violation{{}{unspecified}}"},
    {"20000200#0000000000000810",
     "20000200   [8]  00 00 00 00 00 00 08 10   ERRORFRAME\n\t\n\terror-counter-tx-rx{{8}{16}}"},
    {"20000002#0500000000000000",
     "20000002   [8]  05 00 00 00 00 00 00 00   ERRORFRAME\n\tlost-arbitration{at bit 5}"},
    {"20000004#0000000000000000",
     "20000004   [8]  00 00 00 00 00 00 00 00   ERRORFRAME\n\tcontroller-problem{}"},
    {"20000004#00040000",
     "20000004   [4]  00 04 00 00               ERRORFRAME\n\tcontroller-problem{rx-error-warning}"},
    {"20000040#0000000000000000",
     "20000040   [8]  00 00 00 00 00 00 00 00   ERRORFRAME\n\tbus-off\33[0m",
     {.colorLevel = 2, .errorDetails = true}},
};

TEST(FrameSyntax, DumpLineShowsWhatAnErrorFrameReportsAsCandumpDoes)
{
    for (const ErrorExample& example : kErrorExamples) {
        // cansend's text, whose id ParseFrameText refuses: it is wider than 29 bits.
        std::string text = example.frame;
        CanMessageDescriptor frame{};
        ASSERT_EQ(ParseFrameText("000" + text.substr(8), frame), "");
        frame.extended = 1;
        frame.id = static_cast<uint32_t>(std::stoul(text.substr(0, 8), nullptr, 16));
        std::string prefix = example.style.colorLevel == 2 ? "  \33[1m\33[34mvcan0  " : "  vcan0  ";
        EXPECT_EQ(DumpLine("", "vcan0", 0, frame, example.style), prefix + example.line) << example.frame;
    }
}

TEST(FrameSyntax, DumpLineShowsAtMostEightBytesOfAnOverlongRecord)
{
    CanMessageDescriptor frame{};
    frame.id = 0x10;
    frame.length = 12;
    memset(frame.data, 0x5A, sizeof(frame.data));
    EXPECT_EQ(DumpLine("", "CAN2:", 0, frame), "  CAN2:  010   [8]  5A 5A 5A 5A 5A 5A 5A 5A");
}

} // namespace
