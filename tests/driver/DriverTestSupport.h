// What the driver's tests share: the driver library loaded as the console loads it, receive functions
// that collect frames, child processes with bounded waits, and frames built from cansend syntax.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/types.h>

#include "platform.h"

#include "CanDriverTable.h"
#include "RvCanExports.h"

using namespace std::chrono_literals;

// Every wait in these tests ends by this deadline at the latest, so that a hang fails the test.
constexpr std::chrono::milliseconds kPatience = 10s;

// Gives this test process its own ten buses (and its children, which inherit the environment), and
// removes their segments when the process ends. Call once, first thing in main.
void UsePrivateBuses();

// The driver library loaded by LoadLibraryW(L"rvcan32ce.dll"), every entry point resolved.
class cLoadedDriver
{
public:
    cLoadedDriver();
    ~cLoadedDriver();
    cLoadedDriver(const cLoadedDriver&) = delete;
    cLoadedDriver& operator=(const cLoadedDriver&) = delete;

    bool Loaded() const { return m_library != nullptr; }
    void Unload();
    // Creates the device and sets rate; 0 when either fails.
    DWORD Open(const wchar_t* name, DWORD rate);
    BOOL SetRate(DWORD device, DWORD rate);
    BOOL StartReceiving(DWORD device, CanReceiveFunction function, DWORD depth = 250);
    RvCanCounters Counters(DWORD device);

    CanDriverTable api{};
    RvCanReadCountersFn readCounters = nullptr;
    RvCanGetLastErrorFn getLastError = nullptr;
    RvCanGetDeviceFaultFn getDeviceFault = nullptr;
    RvCanReadBusStateFn readBusState = nullptr;
    RvCanRegisterErrorCallbackFn registerErrorCallback = nullptr;

private:
    HMODULE m_library = nullptr;
};

// A frame from cansend syntax; the test fails on a malformed text.
CanMessageDescriptor Frame(const std::string& text);
std::string Text(const CanMessageDescriptor& frame);

// A test with the driver loaded; the devices it opens are closed when it ends.
class DriverDevicesTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_driver.Loaded()); }
    void TearDown() override
    {
        for (DWORD device : m_opened) {
            m_driver.api.CanCloseDevice(device);
        }
    }

    DWORD Open(const wchar_t* name, DWORD rate = 125)
    {
        DWORD device = m_driver.Open(name, rate);
        EXPECT_NE(device, 0u);
        m_opened.push_back(device);
        return device;
    }

    BOOL Send(DWORD device, const std::string& text)
    {
        CanMessageDescriptor frame = Frame(text);
        return m_driver.api.CanTransmittMessageEx(device, &frame);
    }

    // RvCanGetDeviceFault's text for device, empty while it works.
    std::string Fault(DWORD device)
    {
        char text[512] = {};
        return m_driver.getDeviceFault(device, text, sizeof(text)) > 0 ? text : "";
    }

    // RvCanGetLastError's text for this thread.
    std::string LastError()
    {
        char text[512] = {};
        m_driver.getLastError(text, sizeof(text));
        return text;
    }

    cLoadedDriver m_driver;
    std::vector<DWORD> m_opened;
};

// Frames received through one of a few fixed receive functions (the driver passes no context).
class cCollector
{
public:
    // Collector number index (0 to 7), emptied; its function is Function().
    static cCollector& Slot(int index);
    CanReceiveFunction Function() const { return m_function; }

    void Clear();
    // The ID#DATA texts received so far.
    std::vector<std::string> Texts();
    std::vector<CanMessageDescriptor> Frames();
    size_t Count();
    // True once count frames have arrived, false after kPatience.
    bool WaitForCount(size_t count);

    void Add(const CanMessageDescriptor& frame);

private:
    std::mutex m_lock; // guards m_frames: the driver's receive thread adds, the test thread reads
    std::condition_variable m_added;
    std::vector<CanMessageDescriptor> m_frames;
    CanReceiveFunction m_function = nullptr;
    friend struct CollectorTable;
};

// A program started with a pipe on its standard output (and another on standard error).
class cChildProcess
{
public:
    explicit cChildProcess(const std::vector<std::string>& arguments);
    ~cChildProcess(); // kills it if still running

    cChildProcess(const cChildProcess&) = delete;
    cChildProcess& operator=(const cChildProcess&) = delete;

    // The next line of standard output without its newline; nothing after kPatience or at its end.
    std::optional<std::string> ReadLine();
    std::string ReadAllErrors();
    // Closes the reading end of its standard output, as `| head` does when it has had enough.
    void CloseOutput();
    void Signal(int signal);
    // Its exit status, or -1 when it did not end within kPatience (it is then killed), or
    // 128 + signal when a signal ended it.
    int Wait();

private:
    std::optional<std::string> TakeLine();

    pid_t m_pid = -1;
    int m_output = -1;
    int m_errors = -1;
    std::string m_pending;
};

std::string HelperPath(const char* name);
