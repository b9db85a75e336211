// The driver library through its entry points, loaded as the console loads it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "DriverTestSupport.h"
#include "FrameRules.h"

namespace {

std::string NarrowName(const wchar_t* name)
{
    return std::string(name, name + wcslen(name));
}

// For the life of the object, devices opened publish frames at once, as if frames took no time.
class cBusTimingOff
{
public:
    cBusTimingOff() { setenv("RVCAN32CE_BUS_TIMING", "none", 1); }
    ~cBusTimingOff() { unsetenv("RVCAN32CE_BUS_TIMING"); }
};

class Driver : public DriverDevicesTest
{
};

TEST_F(Driver, ResolvesAllTenEntryPointsAndTheExtras)
{
    const CanDriverTable& api = m_driver.api;
    const void* entries[] = {
        reinterpret_cast<const void*>(api.CanReset),
        reinterpret_cast<const void*>(api.CanTransmittMessageEx),
        reinterpret_cast<const void*>(api.CanRegisterCallback),
        reinterpret_cast<const void*>(api.CanStartReceiveQueue),
        reinterpret_cast<const void*>(api.CanStopReceiveQueue),
        reinterpret_cast<const void*>(api.CanReadDescriptorEx),
        reinterpret_cast<const void*>(api.CanWriteDescriptorEx),
        reinterpret_cast<const void*>(api.CanSetBaudrate),
        reinterpret_cast<const void*>(api.CanCreateDevice),
        reinterpret_cast<const void*>(api.CanCloseDevice),
        reinterpret_cast<const void*>(m_driver.readCounters),
        reinterpret_cast<const void*>(m_driver.getLastError),
        reinterpret_cast<const void*>(m_driver.readBusState),
        reinterpret_cast<const void*>(m_driver.registerErrorCallback),
    };
    for (size_t i = 0; i < std::size(entries); ++i) {
        EXPECT_NE(entries[i], nullptr) << "entry " << i;
    }
}

TEST_F(Driver, OpensCan0ToCan9AndNothingElse)
{
    const wchar_t* accepted[] = {L"CAN0:", L"CAN1:", L"CAN2:", L"CAN3:", L"CAN4:", L"CAN5:",
                                 L"CAN6:", L"CAN7:", L"CAN8:", L"CAN9:", L"can1:"};
    for (const wchar_t* name : accepted) {
        DWORD device = m_driver.api.CanCreateDevice(name, 0);
        EXPECT_NE(device, 0u) << NarrowName(name);
        EXPECT_TRUE(m_driver.api.CanCloseDevice(device));
    }
    const wchar_t* refused[] = {L"CAN10:", L"CAN1", L"COM1:", L"CANA:", L"", L"CAN1:x"};
    for (const wchar_t* name : refused) {
        EXPECT_EQ(m_driver.api.CanCreateDevice(name, 0), 0u);
        EXPECT_EQ(LastError(), "the device name must be CAN0: to CAN9:");
    }
    EXPECT_EQ(m_driver.api.CanCreateDevice(nullptr, 0), 0u);
    EXPECT_EQ(m_driver.api.CanCreateDevice(L"CAN1:", 1), 0u);
    EXPECT_EQ(LastError(), "the second argument must be 0");
}

TEST_F(Driver, ClosedHandleIsRefusedEverywhere)
{
    DWORD device = m_driver.api.CanCreateDevice(L"CAN1:", 0);
    ASSERT_TRUE(m_driver.api.CanCloseDevice(device));
    EXPECT_FALSE(m_driver.api.CanCloseDevice(device));
    EXPECT_FALSE(m_driver.SetRate(device, 125));
    EXPECT_FALSE(Send(device, "123#"));
    EXPECT_FALSE(m_driver.api.CanStopReceiveQueue(device));
    EXPECT_EQ(LastError(), "unknown device handle " + std::to_string(device));
    DWORD reopened = m_driver.api.CanCreateDevice(L"CAN1:", 0);
    EXPECT_NE(reopened, device); // the slot is reused, the handle is not
    m_driver.api.CanCloseDevice(reopened);
}

TEST_F(Driver, AcceptsTheNineBitRatesOfTheConsole)
{
    DWORD device = Open(L"CAN1:");
    for (DWORD rate : {10u, 20u, 50u, 100u, 125u, 250u, 500u, 800u, 1000u}) {
        EXPECT_TRUE(m_driver.SetRate(device, rate)) << rate;
    }
}

TEST_F(Driver, RefusesOtherBitRatesAndKeepsTheRateItHad)
{
    DWORD sender = Open(L"CAN1:", 250);
    DWORD receiver = Open(L"CAN1:", 250);
    for (DWORD rate : {0u, 1u, 33u, 1001u, 125000u}) {
        EXPECT_FALSE(m_driver.SetRate(sender, rate)) << rate;
    }
    EXPECT_EQ(LastError(), "125000 kbit/s is not one of 10, 20, 50, 100, 125, 250, 500, 800, 1000");
    const DWORD secondWordSet[2] = {125, 1};
    EXPECT_FALSE(m_driver.api.CanSetBaudrate(sender, secondWordSet));
    EXPECT_FALSE(m_driver.api.CanSetBaudrate(sender, nullptr));

    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(receiver, received.Function()));
    ASSERT_TRUE(Send(sender, "321#01"));
    ASSERT_TRUE(received.WaitForCount(1));
    EXPECT_EQ(received.Texts(), (std::vector<std::string>{"321#01"}));
}

TEST_F(Driver, SendersOwnDeviceReceivesItsFrameWithTheReceiveTick)
{
    DWORD device = Open(L"CAN1:");
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(device, received.Function()));
    DWORD before = GetTickCount();
    ASSERT_TRUE(Send(device, "12345678#0022448899BBEEFF"));
    ASSERT_TRUE(received.WaitForCount(1));
    DWORD after = GetTickCount();
    CanMessageDescriptor frame = received.Frames().at(0);
    EXPECT_EQ(frame.extended, 1u);
    EXPECT_EQ(frame.id, 0x12345678u);
    EXPECT_EQ(frame.remote, 0u);
    EXPECT_EQ(frame.length, 8);
    const uint8_t data[8] = {0x00, 0x22, 0x44, 0x88, 0x99, 0xBB, 0xEE, 0xFF};
    EXPECT_EQ(memcmp(frame.data, data, 8), 0);
    EXPECT_EQ(frame.reserved, kReservedOwnFrame);
    EXPECT_LE(frame.timestamp - before, after - before); // within [before, after], wrap-safe
}

// The python plugin's receive_own_messages rests on this mark, on a timed bus and on an untimed one.
TEST_F(Driver, OnlyTheSendersOwnDeviceMarksTheFrameAsItsOwn)
{
    auto marks = [](cCollector& collector) {
        std::vector<uint32_t> reserved;
        for (const CanMessageDescriptor& frame : collector.Frames()) {
            reserved.push_back(frame.reserved);
        }
        return reserved;
    };
    struct Case
    {
        const char* timing;
        const wchar_t* bus;
        int slot;
    };
    for (const Case& c : {Case{"wire", L"CAN4:", 0}, Case{"none", L"CAN5:", 2}}) {
        SCOPED_TRACE(c.timing);
        setenv("RVCAN32CE_BUS_TIMING", c.timing, 1);
        DWORD sender = Open(c.bus);
        DWORD other = Open(c.bus);
        unsetenv("RVCAN32CE_BUS_TIMING");
        cCollector& atSender = cCollector::Slot(c.slot);
        cCollector& atOther = cCollector::Slot(c.slot + 1);
        ASSERT_TRUE(m_driver.StartReceiving(sender, atSender.Function()));
        ASSERT_TRUE(m_driver.StartReceiving(other, atOther.Function()));
        ASSERT_TRUE(Send(sender, "123#01"));
        ASSERT_TRUE(atOther.WaitForCount(1)); // in this order on the bus
        ASSERT_TRUE(Send(other, "456#02"));
        ASSERT_TRUE(atSender.WaitForCount(2));
        ASSERT_TRUE(atOther.WaitForCount(2));
        EXPECT_EQ(atSender.Texts(), (std::vector<std::string>{"123#01", "456#02"}));
        EXPECT_EQ(marks(atSender), (std::vector<uint32_t>{kReservedOwnFrame, 0}));
        EXPECT_EQ(marks(atOther), (std::vector<uint32_t>{0, kReservedOwnFrame}));
    }
}

TEST_F(Driver, RemoteFrameKeepsItsDlcInReserved)
{
    DWORD sender = Open(L"CAN1:");
    DWORD receiver = Open(L"CAN1:");
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(receiver, received.Function()));
    CanMessageDescriptor remote = Frame("321#R");
    remote.length = 200; // what a console leaves unwritten: not read
    remote.reserved = 4u << kReservedRemoteDlcShift;
    ASSERT_TRUE(m_driver.api.CanTransmittMessageEx(sender, &remote));
    remote.reserved = 9u << kReservedRemoteDlcShift;
    EXPECT_FALSE(m_driver.api.CanTransmittMessageEx(sender, &remote));
    ASSERT_TRUE(received.WaitForCount(1));
    CanMessageDescriptor frame = received.Frames().at(0);
    EXPECT_EQ(frame.remote, 1u);
    EXPECT_EQ(frame.length, 0u); // the console shows no data bytes
    EXPECT_EQ(frame.reserved, 4u << kReservedRemoteDlcShift);
}

TEST_F(Driver, QueueSeesOnlyFramesSentAfterItStarted)
{
    DWORD sender = Open(L"CAN1:");
    DWORD receiver = Open(L"CAN1:");
    DWORD watcher = Open(L"CAN1:");
    cCollector& watched = cCollector::Slot(1);
    ASSERT_TRUE(m_driver.StartReceiving(watcher, watched.Function()));
    ASSERT_TRUE(Send(sender, "001#01"));
    ASSERT_TRUE(watched.WaitForCount(1)); // off the wire before the receiver starts
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.StartReceiving(receiver, received.Function()));
    ASSERT_TRUE(Send(sender, "002#02"));
    ASSERT_TRUE(received.WaitForCount(1));
    EXPECT_EQ(received.Texts(), (std::vector<std::string>{"002#02"}));
}

TEST_F(Driver, TwoBusesDoNotMix)
{
    DWORD one = Open(L"CAN1:");
    DWORD two = Open(L"CAN2:");
    cCollector& onOne = cCollector::Slot(0);
    cCollector& onTwo = cCollector::Slot(1);
    ASSERT_TRUE(m_driver.StartReceiving(one, onOne.Function()));
    ASSERT_TRUE(m_driver.StartReceiving(two, onTwo.Function()));
    ASSERT_TRUE(Send(one, "111#11"));
    ASSERT_TRUE(Send(two, "222#22"));
    ASSERT_TRUE(Send(one, "112#12"));
    ASSERT_TRUE(onOne.WaitForCount(2));
    ASSERT_TRUE(onTwo.WaitForCount(1));
    EXPECT_EQ(onOne.Texts(), (std::vector<std::string>{"111#11", "112#12"}));
    EXPECT_EQ(onTwo.Texts(), (std::vector<std::string>{"222#22"}));
}

TEST_F(Driver, DevicesAtDifferentBitRatesDoNotHearEachOther)
{
    DWORD slow = Open(L"CAN3:", 125);
    DWORD fast = Open(L"CAN3:", 500);
    DWORD fastListener = Open(L"CAN3:", 500);
    cCollector& atSlow = cCollector::Slot(0);
    cCollector& atFast = cCollector::Slot(1);
    ASSERT_TRUE(m_driver.StartReceiving(slow, atSlow.Function()));
    ASSERT_TRUE(m_driver.StartReceiving(fastListener, atFast.Function()));
    ASSERT_TRUE(Send(slow, "125#01"));
    ASSERT_TRUE(Send(fast, "500#02"));
    ASSERT_TRUE(Send(slow, "125#03"));
    ASSERT_TRUE(atSlow.WaitForCount(2));
    ASSERT_TRUE(atFast.WaitForCount(1));
    EXPECT_EQ(atSlow.Texts(), (std::vector<std::string>{"125#01", "125#03"}));
    EXPECT_EQ(atFast.Texts(), (std::vector<std::string>{"500#02"}));
}

TEST_F(Driver, RefusesFramesTheControllerCannotSend)
{
    DWORD device = Open(L"CAN1:");
    CanMessageDescriptor frame = Frame("123#01");
    struct Case
    {
        const char* what;
        void (*spoil)(CanMessageDescriptor&);
    };
    const Case cases[] = {
        {"nine data bytes", [](CanMessageDescriptor& f) { f.length = 9; }},
        {"standard id above 7FF", [](CanMessageDescriptor& f) { f.id = 0x800; }},
        {"extended id above 1FFFFFFF", [](CanMessageDescriptor& f) { f.extended = 1, f.id = 0x20000000; }},
        {"extended neither 0 nor 1", [](CanMessageDescriptor& f) { f.extended = 2; }},
        {"remote neither 0 nor 1", [](CanMessageDescriptor& f) { f.remote = 2; }},
    };
    for (const Case& c : cases) {
        CanMessageDescriptor spoilt = frame;
        c.spoil(spoilt);
        EXPECT_FALSE(m_driver.api.CanTransmittMessageEx(device, &spoilt)) << c.what;
    }
    EXPECT_FALSE(m_driver.api.CanTransmittMessageEx(device, nullptr));
    EXPECT_EQ(LastError(), "no message");
}

TEST_F(Driver, AcceptanceFilterLetsOnlyMatchingIdsThrough)
{
    DWORD device = Open(L"CAN1:");
    cCollector& received = cCollector::Slot(0);
    ASSERT_TRUE(m_driver.api.CanWriteDescriptorEx(device, 0, 0x120, 0x00F));
    DWORD code = 0;
    DWORD mask = 0;
    ASSERT_TRUE(m_driver.api.CanReadDescriptorEx(device, 0, &code, &mask));
    EXPECT_EQ(code, 0x120u);
    EXPECT_EQ(mask, 0x00Fu);
    EXPECT_FALSE(m_driver.api.CanWriteDescriptorEx(device, 1, 0, 0));
    m_driver.api.CanRegisterCallback(device, received.Function());
    ASSERT_TRUE(m_driver.api.CanStartReceiveQueue(device, 250));
    for (const char* text : {"120#01", "130#02", "12F#03", "020#04"}) {
        ASSERT_TRUE(Send(device, text));
    }
    ASSERT_TRUE(received.WaitForCount(2));
    ASSERT_TRUE(Send(device, "121#05")); // a marker: nothing sent before it is still on its way
    ASSERT_TRUE(received.WaitForCount(3));
    EXPECT_EQ(received.Texts(), (std::vector<std::string>{"120#01", "12F#03", "121#05"}));
}

// Holds the receive function on its first frame until released.
struct Gate
{
    std::atomic<bool> open{false};
    std::atomic<int> calls{0};
    std::vector<uint32_t> ids; // written only by the receive thread
};
Gate g_gate;

void WaitAtGate(CanMessageDescriptor* frame)
{
    g_gate.ids.push_back(frame->id);
    g_gate.calls.fetch_add(1);
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!g_gate.open.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
}

TEST_F(Driver, FullQueueDropsTheOldestFramesAndCountsThem)
{
    cBusTimingOff untimed; // every frame on the bus before the gate opens
    DWORD sender = Open(L"CAN1:");
    DWORD receiver = Open(L"CAN1:");
    g_gate.open = false;
    g_gate.calls = 0;
    g_gate.ids.clear();
    ASSERT_TRUE(m_driver.StartReceiving(receiver, &WaitAtGate, 250));
    ASSERT_TRUE(Send(sender, "000#"));
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (g_gate.calls.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    for (uint32_t id = 1; id <= 1000; ++id) {
        CanMessageDescriptor frame{};
        frame.id = id;
        ASSERT_TRUE(m_driver.api.CanTransmittMessageEx(sender, &frame));
    }
    g_gate.open = true;
    deadline = std::chrono::steady_clock::now() + kPatience;
    while (g_gate.calls.load() < 251 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(m_driver.api.CanStopReceiveQueue(receiver));
    ASSERT_EQ(g_gate.ids.size(), 251u);
    EXPECT_EQ(g_gate.ids[0], 0u);
    EXPECT_EQ(g_gate.ids[1], 751u);
    EXPECT_EQ(g_gate.ids[250], 1000u);
    RvCanCounters counters = m_driver.Counters(receiver);
    EXPECT_EQ(counters.received, 251u);
    EXPECT_EQ(counters.dropped, 750u);

    const DWORD resetRecord[2] = {0, 0};
    ASSERT_TRUE(m_driver.api.CanReset(receiver, resetRecord));
    counters = m_driver.Counters(receiver);
    EXPECT_EQ(counters.received, 0u);
    EXPECT_EQ(counters.dropped, 0u);
}

TEST_F(Driver, RefusesAQueueOfDepthZero)
{
    DWORD device = Open(L"CAN1:");
    EXPECT_FALSE(m_driver.api.CanStartReceiveQueue(device, 0));
    EXPECT_EQ(LastError(), "the depth must be at least 1");
}

} // namespace
