#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "ErrorFrameState.h"
#include "ErrorFrames.h"
#include "RvCanExports.h"
#include "SocketcandProtocol.h"
#include "cSocketcandSplitter.h"

namespace {

using K = SocketcandKind;

SocketcandFrame Frame(uint32_t id, bool extended, std::vector<uint8_t> data)
{
    SocketcandFrame frame;
    frame.id = id;
    frame.extended = extended;
    frame.length = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), frame.data.begin());
    return frame;
}

SocketcandMessage Message(K kind, SocketcandFrame frame = {}, SocketcandTime interval = {})
{
    SocketcandMessage message;
    message.kind = kind;
    message.frame = frame;
    message.interval = interval;
    return message;
}

SocketcandMessage Named(K kind, std::string text)
{
    SocketcandMessage message = Message(kind);
    message.text = std::move(text);
    return message;
}

SocketcandMessage Timed(SocketcandMessage message, SocketcandTime time)
{
    message.time = time;
    return message;
}

SocketcandMessage ErrorFrame(uint32_t errorClass, SocketcandTime time, std::vector<uint8_t> details = {})
{
    SocketcandMessage message = Timed(Message(K::ErrorFrame, Frame(0, false, details)), time);
    message.errorClass = errorClass;
    return message;
}

SocketcandMessage BusTiming()
{
    SocketcandMessage message = Named(K::BusTiming, "can0");
    message.timing = {500000, 875, 0, 0, 0, 0, 1, 0};
    return message;
}

struct Example
{
    const char* text;
    SocketcandMessage message;
    const char* canonical; // FormatSocketcandMessage of the message
};

// The protocol description's own examples (and python-can's forms), each with its canonical text.
const std::vector<Example>& Examples()
{
    static const std::vector<Example> examples = {
        {"< hi >", Message(K::Hi), "< hi >"},
        {"< ok >", Message(K::Ok), "< ok >"},
        {"< echo >", Message(K::Echo), "< echo >"},
        {"< rawmode >", Message(K::RawMode), "< rawmode >"},
        {"< bcmmode >", Message(K::BcmMode), "< bcmmode >"},
        {"< open can0 >", Named(K::Open, "can0"), "< open can0 >"},
        {"<open vcan1>", Named(K::Open, "vcan1"), "< open vcan1 >"},
        {"< error could not  open bus >", Named(K::Error, "could not open bus"),
         "< error could not open bus >"},
        {"< error >", Named(K::Error, ""), "< error >"},
        {"< error 004 23.424242 >", ErrorFrame(4, {23, 424242}), "< error 004 23.424242 >"},
        // python-can's example, and a server that writes the whole id, CAN_ERR_FLAG included
        {"< error 1ABCDEF0 1680000001.0 >", ErrorFrame(0x1ABCDEF0, {1680000001, 0}),
         "< error 1ABCDEF0 1680000001.000000 >"},
        {"< error 20000040 2.000001 >", ErrorFrame(0x40, {2, 1}), "< error 040 2.000001 >"},
        // can-serve's, with the details: controller passive, counters 26 and 32
        {"< error 204 1.5 0030000000001A20 >",
         ErrorFrame(0x204, {1, 500000}, {0, 0x30, 0, 0, 0, 0, 0x1A, 0x20}),
         "< error 204 1.500000 0030000000001A20 >"},
        {"< error 3 frames lost >", Named(K::Error, "3 frames lost"), "< error 3 frames lost >"},
        {"< send 123 0 >", Message(K::Send, Frame(0x123, false, {})), "< send 123 0 >"},
        {"< send 1AAAAAAA 2 1 F1 >", Message(K::Send, Frame(0x1AAAAAAA, true, {0x01, 0xF1})),
         "< send 1AAAAAAA 2 01 F1 >"},
        // python-can: plain hex id, length in hex, bytes in lower case without leading zeros
        {"< send 12345 3 a 0 ff >", Message(K::Send, Frame(0x12345, true, {0x0A, 0x00, 0xFF})),
         "< send 00012345 3 0A 00 FF >"},
        {"< send 7FF 8 1 2 3 4 5 6 7 8 >", Message(K::Send, Frame(0x7FF, false, {1, 2, 3, 4, 5, 6, 7, 8})),
         "< send 7FF 8 01 02 03 04 05 06 07 08 >"},
        {"< send 00000001 0 >", Message(K::Send, Frame(1, true, {})), "< send 00000001 0 >"},
        {"< frame 123 23.424242 11223344 >",
         Timed(Message(K::Frame, Frame(0x123, false, {0x11, 0x22, 0x33, 0x44})), {23, 424242}),
         "< frame 123 23.424242 11223344 >"},
        {"< frame 123 23.424242 11 22 33 44 >",
         Timed(Message(K::Frame, Frame(0x123, false, {0x11, 0x22, 0x33, 0x44})), {23, 424242}),
         "< frame 123 23.424242 11223344 >"},
        {"< frame 1FFFFFFF 1.5  >", Timed(Message(K::Frame, Frame(0x1FFFFFFF, true, {})), {1, 500000}),
         "< frame 1FFFFFFF 1.500000  >"},
        {"< add 1 0 123 8 11 22 33 44 55 66 77 88 >",
         Message(K::Add, Frame(0x123, false, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}), {1, 0}),
         "< add 1 0 123 8 11 22 33 44 55 66 77 88 >"},
        {"< add 0 10 123 8 11 22 33 44 55 66 77 88 >",
         Message(K::Add, Frame(0x123, false, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}), {0, 10}),
         "< add 0 10 123 8 11 22 33 44 55 66 77 88 >"},
        {"< add 0 20000 123 4 42 42 42 42 >",
         Message(K::Add, Frame(0x123, false, {0x42, 0x42, 0x42, 0x42}), {0, 20000}),
         "< add 0 20000 123 4 42 42 42 42 >"},
        {"< add 0 1500000 123 0 >", Message(K::Add, Frame(0x123, false, {}), {1, 500000}),
         "< add 1 500000 123 0 >"},
        {"< update 123 3 11 22 33 >", Message(K::Update, Frame(0x123, false, {0x11, 0x22, 0x33})),
         "< update 123 3 11 22 33 >"},
        {"< delete 123 >", Message(K::Delete, Frame(0x123, false, {})), "< delete 123 >"},
        {"< subscribe 0 0 123 >", Message(K::Subscribe, Frame(0x123, false, {})), "< subscribe 0 0 123 >"},
        {"< unsubscribe 123 >", Message(K::Unsubscribe, Frame(0x123, false, {})), "< unsubscribe 123 >"},
        {"< filter 0 0 123 1 FF >", Message(K::Filter, Frame(0x123, false, {0xFF})),
         "< filter 0 0 123 1 FF >"},
        {"< filter 1 500000 123 8 FF 00 F8 00 00 00 00 00 >",
         Message(K::Filter, Frame(0x123, false, {0xFF, 0, 0xF8, 0, 0, 0, 0, 0}), {1, 500000}),
         "< filter 1 500000 123 8 FF 00 F8 00 00 00 00 00 >"},
        {"< can0 B 500000 875 0 0 0 0 1 0 >", BusTiming(), "< can0 B 500000 875 0 0 0 0 1 0 >"},
    };
    return examples;
}

TEST(SocketcandProtocol, ParsesTheProtocolsExamples)
{
    for (const Example& example : Examples()) {
        SocketcandMessage message;
        ASSERT_EQ(ParseSocketcandMessage(example.text, message), "") << example.text;
        EXPECT_EQ(message, example.message) << example.text;
    }
}

TEST(SocketcandProtocol, FormatsTheCanonicalTextThatParsesBack)
{
    for (const Example& example : Examples()) {
        std::string text = FormatSocketcandMessage(example.message);
        EXPECT_EQ(text, example.canonical) << example.text;
        SocketcandMessage again;
        ASSERT_EQ(ParseSocketcandMessage(text, again), "") << text;
        EXPECT_EQ(again, example.message) << text;
    }
}

TEST(SocketcandProtocol, WritesBcmModesFramesWithSpacedBytes)
{
    SocketcandMessage frame = SocketcandReceived(Frame(0x123, false, {0x11, 0x22}), {23, 424242});
    EXPECT_EQ(FormatSocketcandMessage(frame, SocketcandDataForm::Spaced), "< frame 123 23.424242 11 22 >");
    frame.frame.length = 0;
    EXPECT_EQ(FormatSocketcandMessage(frame, SocketcandDataForm::Spaced), "< frame 123 23.424242 >");
}

struct Malformed
{
    const char* text;
    const char* reason;
};

const Malformed kMalformed[] = {
    {"hi", "a message is enclosed in '<' and '>'"},
    {"<  >", "the message is empty"},
    {"< isotpmode >", "unknown command 'isotpmode'"},
    {"< hi there >", "expected no arguments"},
    {"< open >", "expected < open BUS >"},
    {"< open abcdefghijklmnopq >", "a bus name has at most 16 characters"},
    {"< send 123 >", "expected an id and a length"},
    {"< send 123456789 0 >", "an id is 1 to 8 hex digits"},
    {"< send 3FFFFFFF 0 >", "an id is at most 1FFFFFFF"},
    {"< send 12G 0 >", "an id is 1 to 8 hex digits"},
    {"< send 123 9 1 2 3 4 5 6 7 8 9 >", "the length is 0 to 8"},
    {"< send 123 2 11 >", "the length does not match the count of data bytes"},
    {"< send 123 1 123 >", "data is hex bytes, spaced or as one string of digit pairs"},
    {"< frame 123 1.0 112233445566778899 >", "a frame has at most 8 data bytes"},
    {"< frame 123 1.1234567 >", "a time is decimal seconds, optionally with up to 6 decimals"},
    {"< frame 123 >", "expected < frame ID SECS.USECS DATA >"},
    {"< subscribe 0 x 123 >", "an interval is two decimal numbers, seconds and microseconds"},
    {"< subscribe 0 0 123 4 >", "expected < subscribe SECS USECS ID >"},
    {"< delete >", "expected < delete ID >"},
    {"< can0 B 500000 875 >",
     "expected < BUS B bitrate sample_point tq prop_seg phase_seg1 phase_seg2 sjw brp >"},
    {"< echo\x01 >", "the message holds a byte that is not printable ASCII"},
};

TEST(SocketcandProtocol, NamesWhatIsWrongWithAMalformedMessage)
{
    for (const Malformed& example : kMalformed) {
        SocketcandMessage message;
        message.text = "left over";
        EXPECT_EQ(ParseSocketcandMessage(example.text, message), example.reason) << example.text;
        EXPECT_EQ(message, SocketcandMessage()) << example.text;
    }
    SocketcandMessage message;
    EXPECT_EQ(ParseSocketcandMessage(std::string_view("< echo\0 >", 9), message),
              "the message holds a byte that is not printable ASCII");
}

struct StateStep
{
    uint32_t classBits;
    uint8_t data[8];
    DeviceBusState after; // from the row before (the first from unknown)
};

constexpr uint32_t kUnknown = RVCAN_STATE_UNKNOWN;

// A controller's way down to bus-off and back, as the kernel reports it, among frames that say nothing
// of the state.
const StateStep kStateSteps[] = {
    {kCanErrorProtocol | kCanErrorBusError, {0, 0, kCanProtocolStuff, 0, 0, 0, 0, 0}, {kUnknown, 0, 0}},
    {kCanErrorController | kCanErrorCounters, {0, kCanControllerTxWarning, 0, 0, 0, 0, 96, 3}, {1, 96, 3}},
    {kCanErrorController, {0, kCanControllerRxOverflow, 0, 0, 0, 0, 0, 0}, {1, 96, 3}},
    {kCanErrorController | kCanErrorCounters,
     {0, kCanControllerRxPassive, 0, 0, 0, 0, 100, 128},
     {2, 100, 128}},
    {kCanErrorBusOff, {}, {3, 100, 128}},
    {kCanErrorRestarted, {}, {0, 0, 0}},
    {kCanErrorController | kCanErrorCounters, {0, kCanControllerTxWarning, 0, 0, 0, 0, 97, 0}, {1, 97, 0}},
    {kCanErrorController | kCanErrorCounters, {0, kCanControllerActive, 0, 0, 0, 0, 95, 0}, {0, 95, 0}},
    {kCanErrorController, {}, {0, 95, 0}}, // socketcand's: the class alone
};

TEST(ErrorFrameState, FollowsWhatEachErrorFrameSaysOfTheController)
{
    DeviceBusState state;
    for (size_t row = 0; row < std::size(kStateSteps); ++row) {
        state = BusStateAfterErrorFrame(state, kStateSteps[row].classBits, kStateSteps[row].data);
        const DeviceBusState& after = kStateSteps[row].after;
        EXPECT_EQ(std::tie(state.state, state.transmitErrors, state.receiveErrors),
                  std::tie(after.state, after.transmitErrors, after.receiveErrors))
            << "row " << row;
    }
}

std::vector<std::string> Split(cSocketcandSplitter& splitter, std::string_view bytes)
{
    std::vector<std::string> messages;
    splitter.Feed(bytes, [&](std::string_view message) { messages.emplace_back(message); });
    return messages;
}

TEST(SocketcandSplitter, CutsMessagesAcrossReadsAndCountsWhatItDrops)
{
    cSocketcandSplitter splitter;
    EXPECT_EQ(Split(splitter, "< hi >< ok"), std::vector<std::string>{"< hi >"});
    EXPECT_TRUE(splitter.InsideMessage());
    EXPECT_EQ(Split(splitter, " >\n"), std::vector<std::string>{"< ok >"});
    EXPECT_FALSE(splitter.InsideMessage());
    EXPECT_EQ(Split(splitter, "xy< send 1 <echo>"), std::vector<std::string>{"<echo>"});
    EXPECT_EQ(splitter.StrayBytes(), 2u);
    EXPECT_EQ(splitter.DroppedMessages(), 1u);
}

TEST(SocketcandSplitter, HoldsAtMostOneMessageOfTheBoundAndSkipsALongerOne)
{
    cSocketcandSplitter splitter;
    std::string longest = "<" + std::string(kSocketcandMaxMessageBytes - 2, 'a') + ">";
    EXPECT_EQ(Split(splitter, longest), std::vector<std::string>{longest});
    std::string longer = "<" + std::string(kSocketcandMaxMessageBytes * 100, 'a') + ">< echo >";
    EXPECT_EQ(Split(splitter, longer), std::vector<std::string>{"< echo >"});
    EXPECT_EQ(splitter.DroppedMessages(), 1u);
    EXPECT_EQ(splitter.StrayBytes(), 0u);
}

} // namespace
