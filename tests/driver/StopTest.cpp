// What stopping promises: once CanStopReceiveQueue, CanRegisterCallback(null) or CanCloseDevice has
// returned, the function is not running and is not called again; after CanCloseDevice no library
// thread runs, so the library can be unloaded at once. Checked while another process floods the bus.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <dirent.h>
#include <dlfcn.h>

#include "DriverTestSupport.h"

namespace {

constexpr int kStopRounds = 40;

// The receive function under test and what it reports: written by the test thread and the driver's
// receive thread alike, so every field is atomic. stopped is set by the test thread when a stop has
// returned.
struct Watch
{
    std::atomic<bool> stopped{false};
    std::atomic<int> calls{0};
    std::atomic<int> lateCalls{0};
    std::atomic<DWORD> device{0};
    std::atomic<CanStopReceiveQueueFn> stopFromInside{nullptr};
    std::atomic<CanRegisterCallbackFn> registerFromInside{nullptr};
    std::atomic<CanCloseDeviceFn> closeFromInside{nullptr};
};
Watch g_watch;

void Reset()
{
    g_watch.stopped = false;
    g_watch.calls = 0;
    g_watch.lateCalls = 0;
    g_watch.stopFromInside = nullptr;
    g_watch.registerFromInside = nullptr;
    g_watch.closeFromInside = nullptr;
}

void CountAndLinger(CanMessageDescriptor*)
{
    if (g_watch.stopped.load()) {
        g_watch.lateCalls.fetch_add(1);
    }
    g_watch.calls.fetch_add(1);
    // Long enough that stops often land while the function runs.
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (g_watch.stopped.load()) {
        g_watch.lateCalls.fetch_add(1); // still running after the stop returned
    }
}

void StopFromInside(CanMessageDescriptor*)
{
    if (g_watch.calls.fetch_add(1) > 0) {
        g_watch.lateCalls.fetch_add(1);
    }
    if (CanStopReceiveQueueFn stop = g_watch.stopFromInside.load()) {
        stop(g_watch.device);
    }
    if (CanRegisterCallbackFn enrol = g_watch.registerFromInside.load()) {
        enrol(g_watch.device, nullptr);
    }
    if (CanCloseDeviceFn close = g_watch.closeFromInside.load()) {
        close(g_watch.device);
    }
}

bool WaitForCalls(int count)
{
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (g_watch.calls.load() < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

size_t ThreadsOfThisProcess()
{
    size_t threads = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks)) {
            threads += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(tasks);
    }
    return threads;
}

// A joined thread can still be listed for a moment: the kernel wakes the joiner when the thread
// lets go of its memory, and drops its task entry only after that.
size_t ThreadsOfThisProcessOnceSettledAt(size_t expected)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    size_t threads = ThreadsOfThisProcess();
    while (threads != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        threads = ThreadsOfThisProcess();
    }
    return threads;
}

class Stopping : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Reset();
        ASSERT_TRUE(m_driver.Loaded());
        m_flood = std::make_unique<cChildProcess>(
            std::vector<std::string>{HelperPath("bus-member"), "flood", "CAN4:", "125", "100"});
        ASSERT_EQ(m_flood->ReadLine(), "flooding");
    }

    cLoadedDriver m_driver;
    std::unique_ptr<cChildProcess> m_flood;
};

TEST_F(Stopping, NoCallAfterStopReceiveQueueReturns)
{
    DWORD device = m_driver.Open(L"CAN4:", 125);
    ASSERT_NE(device, 0u);
    ASSERT_TRUE(m_driver.api.CanRegisterCallback(device, &CountAndLinger));
    for (int round = 0; round < kStopRounds; ++round) {
        g_watch.stopped = false;
        int before = g_watch.calls.load();
        ASSERT_TRUE(m_driver.api.CanStartReceiveQueue(device, 250));
        ASSERT_TRUE(WaitForCalls(before + 1));
        ASSERT_TRUE(m_driver.api.CanStopReceiveQueue(device));
        g_watch.stopped = true;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    EXPECT_EQ(g_watch.lateCalls.load(), 0);
    m_driver.api.CanCloseDevice(device);
}

TEST_F(Stopping, NoCallAfterRegisteringNullReturns)
{
    DWORD device = m_driver.Open(L"CAN4:", 125);
    ASSERT_NE(device, 0u);
    ASSERT_TRUE(m_driver.api.CanStartReceiveQueue(device, 250));
    for (int round = 0; round < kStopRounds; ++round) {
        g_watch.stopped = false;
        int before = g_watch.calls.load();
        ASSERT_TRUE(m_driver.api.CanRegisterCallback(device, &CountAndLinger));
        ASSERT_TRUE(WaitForCalls(before + 1));
        ASSERT_TRUE(m_driver.api.CanRegisterCallback(device, nullptr));
        g_watch.stopped = true;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    EXPECT_EQ(g_watch.lateCalls.load(), 0);
    m_driver.api.CanCloseDevice(device);
}

struct InsideCase
{
    const char* what;
    void (*arm)(const CanDriverTable&);
};

TEST_F(Stopping, StopCallsFromInsideTheFunctionEndDeliveriesWithoutDeadlock)
{
    const InsideCase cases[] = {
        {"CanStopReceiveQueue",
         [](const CanDriverTable& api) { g_watch.stopFromInside = api.CanStopReceiveQueue; }},
        {"CanRegisterCallback(null)",
         [](const CanDriverTable& api) { g_watch.registerFromInside = api.CanRegisterCallback; }},
        {"CanCloseDevice", [](const CanDriverTable& api) { g_watch.closeFromInside = api.CanCloseDevice; }},
    };
    size_t threadsBefore = ThreadsOfThisProcess();
    for (const InsideCase& c : cases) {
        Reset();
        c.arm(m_driver.api);
        g_watch.device = m_driver.Open(L"CAN4:", 125);
        ASSERT_NE(g_watch.device, 0u);
        ASSERT_TRUE(m_driver.StartReceiving(g_watch.device, &StopFromInside));
        ASSERT_TRUE(WaitForCalls(1)) << c.what;
        std::this_thread::sleep_for(20ms); // the flood goes on; no second call may come
        EXPECT_EQ(g_watch.calls.load(), 1) << c.what;
        EXPECT_EQ(g_watch.lateCalls.load(), 0) << c.what;
        m_driver.api.CanCloseDevice(g_watch.device); // refused after a close from inside: harmless
    }
    // Closed from inside its function, a device's thread ends just after the function returns; the
    // library may be unloaded only then.
    EXPECT_EQ(ThreadsOfThisProcessOnceSettledAt(threadsBefore), threadsBefore);
}

TEST_F(Stopping, QueueStoppedFromInsideStartsAgainFromOutside)
{
    g_watch.stopFromInside = m_driver.api.CanStopReceiveQueue;
    g_watch.device = m_driver.Open(L"CAN4:", 125);
    ASSERT_TRUE(m_driver.StartReceiving(g_watch.device, &StopFromInside));
    ASSERT_TRUE(WaitForCalls(1));
    g_watch.stopFromInside = nullptr;
    ASSERT_TRUE(m_driver.api.CanRegisterCallback(g_watch.device, &CountAndLinger));
    ASSERT_TRUE(m_driver.api.CanStartReceiveQueue(g_watch.device, 250));
    EXPECT_TRUE(WaitForCalls(10));
    m_driver.api.CanCloseDevice(g_watch.device);
}

TEST_F(Stopping, CloseAndUnloadWhileFramesFlowLeavesNoThreadBehind)
{
    std::string library = HelperPath("librvcan32ce.so");
    m_driver.Unload();
    size_t threadsBefore = ThreadsOfThisProcess();
    for (int round = 0; round < 5; ++round) {
        cLoadedDriver driver;
        ASSERT_TRUE(driver.Loaded());
        DWORD device = driver.Open(L"CAN4:", 125);
        ASSERT_NE(device, 0u);
        int before = g_watch.calls.load();
        ASSERT_TRUE(driver.StartReceiving(device, &CountAndLinger));
        ASSERT_TRUE(WaitForCalls(before + 5));
        ASSERT_TRUE(driver.api.CanCloseDevice(device));
        EXPECT_EQ(ThreadsOfThisProcessOnceSettledAt(threadsBefore), threadsBefore) << "round " << round;
        driver.Unload();
        // Really gone: a thread still in its code would crash the test from here on.
        EXPECT_EQ(dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "round " << round;
    }
}

TEST_F(Stopping, UnloadingWithDevicesStillOpenClosesThemFirst)
{
    std::string library = HelperPath("librvcan32ce.so");
    m_driver.Unload();
    size_t threadsBefore = ThreadsOfThisProcess();
    {
        cLoadedDriver driver;
        DWORD device = driver.Open(L"CAN4:", 125);
        ASSERT_NE(device, 0u);
        int before = g_watch.calls.load();
        ASSERT_TRUE(driver.StartReceiving(device, &CountAndLinger));
        ASSERT_TRUE(WaitForCalls(before + 5));
    }
    EXPECT_EQ(ThreadsOfThisProcessOnceSettledAt(threadsBefore), threadsBefore);
    EXPECT_EQ(dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

} // namespace
