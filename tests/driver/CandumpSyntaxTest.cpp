// candump's filters and log line, and what a device argument opens: the examples of FrameFilter.h,
// LogLine.h and DeviceName.h, each run as written there.
#include <gtest/gtest.h>

#include "DeviceName.h"
#include "FrameFilter.h"
#include "FrameSyntax.h"
#include "LogLine.h"

namespace {

CanMessageDescriptor Parsed(const char* text)
{
    CanMessageDescriptor frame{};
    EXPECT_EQ(ParseFrameText(text, frame), "") << text;
    return frame;
}

struct FilterCase
{
    const char* argument;
    const char* frame;
    bool passes;
};

// Each filter of FrameFilter.h against frames on either side of it, as a CAN_RAW socket decides.
const FilterCase kFilterCases[] = {
    {"CAN1:", "7FF#", true},
    {"CAN1:", "1FFFFFFF#R", true},
    {"CAN1:,123:7FF", "123#01", true},
    {"CAN1:,123:7FF", "00000123#01", true},
    {"CAN1:,123:7FF", "123#R", true},
    {"CAN1:,123:7FF", "124#01", false},
    {"CAN1:,123:C00007FF", "123#01", true},
    {"CAN1:,123:C00007FF", "00000123#01", false},
    {"CAN1:,123:C00007FF", "123#R", false},
    {"CAN1:,12345678:1FFFFFFF", "12345678#", true},
    {"CAN1:,12345678:1FFFFFFF", "00000678#", false},
    {"CAN1:,00000123:DFFFFFFF", "123#", false},
    {"CAN1:,123~7FF", "123#", false},
    {"CAN1:,123~7FF", "124#", true},
    {"CAN1:,100:700,200:700", "1FF#", true},
    {"CAN1:,100:700,200:700", "2AB#", true},
    {"CAN1:,100:700,200:700", "300#", false},
    {"CAN1:,100:F00,j,123:0FF", "123#", true},
    {"CAN1:,100:F00,j,123:0FF", "223#", false},
    {"CAN1:,100:F00,j,123:0FF", "124#", false},
    {"can0,#FFFFFFFF", "123#", true},
};

TEST(FrameFilter, PassesWhatACanRawSocketWithTheSameFiltersReceives)
{
    for (const FilterCase& c : kFilterCases) {
        std::string device;
        FrameFilter filter;
        ASSERT_EQ(ParseDeviceFilters(c.argument, device, filter), "") << c.argument;
        EXPECT_EQ(filter.Passes(Parsed(c.frame)), c.passes) << c.argument << " " << c.frame;
    }
}

TEST(FrameFilter, ErrorFramesPassOnlyTheirErrorMask)
{
    CanMessageDescriptor busOff{};
    busOff.extended = 1;
    busOff.id = kErrorFrameFlag | 0x40;
    std::string device;
    FrameFilter filter;
    ASSERT_EQ(ParseDeviceFilters("can0,#40", device, filter), "");
    EXPECT_TRUE(filter.Passes(busOff));
    ASSERT_EQ(ParseDeviceFilters("can0,#04", device, filter), "");
    EXPECT_FALSE(filter.Passes(busOff));
    ASSERT_EQ(ParseDeviceFilters("can0", device, filter), "");
    EXPECT_FALSE(filter.Passes(busOff));
}

TEST(FrameFilter, RefusesMalformedFiltersNamingTheItem)
{
    const std::pair<const char*, const char*> cases[] = {
        {",123:7FF", "a device name comes before its filters, e.g. CAN1:,123:7FF"},
        {"CAN1:,", "filter : expected ID:MASK, ID~MASK (inverted), #ERRORMASK or j, e.g. 123:7FF"},
        {"CAN1:,123:7FF,123456789:1", "filter 123456789:1: the id and the mask are 1 to 8 hex digits each"},
        {"CAN1:,12G:7FF", "filter 12G:7FF: the id and the mask are 1 to 8 hex digits each"},
        {"CAN1:,#", "error mask #: write # and 1 to 8 hex digits, e.g. #FFFFFFFF"},
    };
    for (const auto& [argument, problem] : cases) {
        std::string device;
        FrameFilter filter;
        EXPECT_EQ(ParseDeviceFilters(argument, device, filter), problem) << argument;
    }
}

struct LogCase
{
    const char* line;
    Microseconds time;
    const char* device;
    const char* frame; // FrameText of the frame read
    uint32_t reserved; // a remote frame's DLC, bits 8-11
};

// The examples of LogLine.h, candump's padded device names, and canplayer's input written by python-can.
const LogCase kLogCases[] = {
    {"(1436509052.249713) CAN1: 123#DEADBEEF", 1436509052249713, "CAN1:", "123#DEADBEEF", 0},
    {"(1436509052.249800) vcan0 12345678#1122", 1436509052249800, "vcan0", "12345678#1122", 0},
    {"(1436509052.250000) vcan0 123#R", 1436509052250000, "vcan0", "123#R", 0},
    {"(1436509052.250000) vcan0 123#R4", 1436509052250000, "vcan0", "123#R4", 0x400},
    {"(0000000001.000001)  can0 7FF#", 1000001, "can0", "7FF#", 0},
};

TEST(LogLine, ReadsAndWritesCandumpsLogLines)
{
    for (const LogCase& c : kLogCases) {
        LogEntry entry;
        ASSERT_EQ(ParseLogLine(c.line, entry), "") << c.line;
        EXPECT_EQ(entry.time, c.time) << c.line;
        EXPECT_EQ(entry.device, c.device) << c.line;
        EXPECT_EQ(FrameText(entry.frame), c.frame) << c.line;
        EXPECT_EQ(entry.frame.reserved, c.reserved) << c.line;
        EXPECT_EQ(LogLine(entry.time, entry.device, 5, entry.frame), c.line) << c.line;
    }
    LogEntry error;
    ASSERT_EQ(ParseLogLine("(1436509052.251000) can0 20000004#0004000000000000", error), "");
    EXPECT_TRUE(error.errorFrame);
    LogEntry fd;
    ASSERT_EQ(ParseLogLine("(1436509052.251000) can0 123##1112233", fd), "");
    EXPECT_TRUE(fd.fdFrame);
}

TEST(LogLine, RefusesWhatIsNotALogLine)
{
    const std::pair<const char*, const char*> cases[] = {
        {"vcan0 123#00", "expected a time stamp (SECONDS.MICROSECONDS) first"},
        {"(12.5) vcan0 123#00",
         "the time stamp must be (SECONDS.MICROSECONDS) with 6 digits after the point"},
        {"(12.500000) vcan0", "expected (SECONDS.MICROSECONDS) DEVICE ID#DATA"},
        {"(12.500000) vcan0 1234#00", "1234#00: the id must have 3 hex digits (standard) or 8 (extended)"},
        {"(12.500000) vcan0 123#R9",
         "123#R9: a remote frame is ID#R, or ID#R followed by its DLC 0 to 8 (123#R4)"},
    };
    for (const auto& [line, problem] : cases) {
        LogEntry entry;
        EXPECT_EQ(ParseLogLine(line, entry), problem) << line;
    }
}

TEST(LogLine, StampsAreCandumps)
{
    EXPECT_EQ(AbsoluteStamp(1436509052249713), "(1436509052.249713) ");
    EXPECT_EQ(RelativeStamp(87), "(000.000087) ");
    EXPECT_EQ(RelativeStamp(-5), "(000.000000) ");
    EXPECT_EQ(RelativeStamp(1234000001), "(1234.000001) ");
}

bool NoInterfaces(const std::string&)
{
    return false;
}

bool OnlyVcan0(const std::string& name)
{
    return name == "vcan0";
}

TEST(DeviceName, OpensWhatTheNameSaysOrRefusesSayingWhatWasMeant)
{
    ResolvedDevice bus = ResolveDeviceName("can1:", &NoInterfaces, true);
    EXPECT_EQ(bus.kind, DeviceKind::VirtualBus);
    EXPECT_EQ(bus.name, "CAN1:");
    EXPECT_EQ(bus.bus, 1u);
    ResolvedDevice vcan = ResolveDeviceName("vcan0", &OnlyVcan0, true);
    EXPECT_EQ(vcan.kind, DeviceKind::Interface);
    EXPECT_EQ(vcan.name, "vcan0");
    ResolvedDevice colonless = ResolveDeviceName("CAN1", &OnlyVcan0, true);
    EXPECT_EQ(colonless.kind, DeviceKind::Refused);
    EXPECT_EQ(colonless.name,
              "CAN1 is not a device: the virtual bus is CAN1: (with the colon), and no SocketCAN "
              "interface is named CAN1");
    EXPECT_EQ(ResolveDeviceName("can0", &OnlyVcan0, true).kind, DeviceKind::Refused);
    ResolvedDevice windows = ResolveDeviceName("vcan0", &OnlyVcan0, false);
    EXPECT_EQ(windows.kind, DeviceKind::Refused);
    EXPECT_EQ(windows.name,
              "vcan0 is not a device: SocketCAN interfaces exist only on Linux; the devices here are "
              "the virtual buses CAN0: to CAN9:");
}

bool Can0AndCAN2(const std::string& name)
{
    return name == "can0" || name == "CAN2";
}

// can-serve's bus names: "can0" is the controller where there is one (never virtual bus 0 in silence);
// "CAN1" in capitals, as its clients open it, is the virtual bus unless an interface has that name.
TEST(DeviceName, ServedNamesMeanWhatCanDumpsMeanAndCapitalsNeedNoColon)
{
    const struct
    {
        const char* text;
        DeviceKind kind;
        const char* name;
    } cases[] = {
        {"can0", DeviceKind::Interface, "can0"},
        {"CAN1", DeviceKind::VirtualBus, "CAN1:"},
        {"can1:", DeviceKind::VirtualBus, "CAN1:"},
        {"CAN2", DeviceKind::Interface, "CAN2"},
        {"can1", DeviceKind::Refused,
         "can1 is not a device: the virtual bus is CAN1: or CAN1 (in capitals), and no SocketCAN interface "
         "is named can1"},
    };
    for (const auto& c : cases) {
        ResolvedDevice device = ResolveDeviceName(c.text, &Can0AndCAN2, true, ColonlessBus::InCapitals);
        EXPECT_EQ(device.kind, c.kind) << c.text;
        EXPECT_EQ(device.name, c.name) << c.text;
    }
}

TEST(DeviceName, BitRatesInEveryUsualForm)
{
    const std::pair<const char*, uint32_t> accepted[] = {
        {"500", 500},      {"500k", 500}, {"500K", 500}, {"500000", 500}, {"1000", 1000},
        {"1000000", 1000}, {"10", 10},    {"10000", 10}, {"125k", 125},
    };
    for (const auto& [text, rate] : accepted) {
        uint32_t parsed = 0;
        EXPECT_TRUE(ParseBitRate(text, parsed)) << text;
        EXPECT_EQ(parsed, rate) << text;
    }
    for (const char* text :
         {"", "k", "300", "500kk", "500000k", "5e5", "-500", "0", "12500", "00000000500"}) {
        uint32_t parsed = 0;
        EXPECT_FALSE(ParseBitRate(text, parsed)) << text;
    }
}

} // namespace
