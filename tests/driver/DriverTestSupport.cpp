#include "DriverTestSupport.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FrameSyntax.h"
#include "cBusSegment.h"

namespace {

template <class Entry> void Resolve(HMODULE library, LPCWSTR name, Entry& entry)
{
    entry = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddressW(library, name)));
}

void RemovePrivateSegments()
{
    for (uint32_t bus = 0; bus < kBusCount; ++bus) {
        unlink(cBusSegment::LockFilePath(bus).c_str());
    }
}

int RemainingMilliseconds(std::chrono::steady_clock::time_point deadline)
{
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

void UsePrivateBuses()
{
    std::string space = "t" + std::to_string(getpid());
    setenv("RVCAN32CE_NAMESPACE", space.c_str(), 1);
    atexit(&RemovePrivateSegments);
}

std::string HelperPath(const char* name)
{
    char path[PATH_MAX] = {};
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string program(path, length > 0 ? static_cast<size_t>(length) : 0);
    return program.substr(0, program.rfind('/') + 1) + name;
}

cLoadedDriver::cLoadedDriver()
{
    m_library = LoadLibraryW(L"rvcan32ce.dll");
    if (m_library == nullptr) {
        return;
    }
    Resolve(m_library, L"CanCreateDevice", api.CanCreateDevice);
    Resolve(m_library, L"CanCloseDevice", api.CanCloseDevice);
    Resolve(m_library, L"CanReset", api.CanReset);
    Resolve(m_library, L"CanTransmittMessageEx", api.CanTransmittMessageEx);
    Resolve(m_library, L"CanRegisterCallback", api.CanRegisterCallback);
    Resolve(m_library, L"CanStartReceiveQueue", api.CanStartReceiveQueue);
    Resolve(m_library, L"CanStopReceiveQueue", api.CanStopReceiveQueue);
    Resolve(m_library, L"CanReadDescriptorEx", api.CanReadDescriptorEx);
    Resolve(m_library, L"CanWriteDescriptorEx", api.CanWriteDescriptorEx);
    Resolve(m_library, L"CanSetBaudrate", api.CanSetBaudrate);
    Resolve(m_library, L"RvCanReadCounters", readCounters);
    Resolve(m_library, L"RvCanGetLastError", getLastError);
    Resolve(m_library, L"RvCanGetDeviceFault", getDeviceFault);
    Resolve(m_library, L"RvCanReadBusState", readBusState);
    Resolve(m_library, L"RvCanRegisterErrorCallback", registerErrorCallback);
}

cLoadedDriver::~cLoadedDriver()
{
    Unload();
}

void cLoadedDriver::Unload()
{
    if (m_library != nullptr) {
        FreeLibrary(m_library);
        m_library = nullptr;
    }
}

DWORD cLoadedDriver::Open(const wchar_t* name, DWORD rate)
{
    DWORD device = api.CanCreateDevice(name, 0);
    if (device != 0 && !SetRate(device, rate)) {
        api.CanCloseDevice(device);
        return 0;
    }
    return device;
}

BOOL cLoadedDriver::SetRate(DWORD device, DWORD rate)
{
    const DWORD record[2] = {rate, 0};
    return api.CanSetBaudrate(device, record);
}

BOOL cLoadedDriver::StartReceiving(DWORD device, CanReceiveFunction function, DWORD depth)
{
    api.CanWriteDescriptorEx(device, 0, 0xFFFFFFFFu, 0xFFFFFFFFu);
    api.CanRegisterCallback(device, function);
    return api.CanStartReceiveQueue(device, depth);
}

RvCanCounters cLoadedDriver::Counters(DWORD device)
{
    RvCanCounters counters{};
    EXPECT_TRUE(readCounters(device, &counters));
    return counters;
}

CanMessageDescriptor Frame(const std::string& text)
{
    CanMessageDescriptor frame{};
    std::string problem = ParseFrameText(text, frame);
    EXPECT_EQ(problem, "") << text;
    return frame;
}

std::string Text(const CanMessageDescriptor& frame)
{
    return FrameText(frame);
}

// The fixed receive functions and their collectors.
struct CollectorTable
{
    static constexpr int kSlots = 8;
    std::array<cCollector, kSlots> collectors;

    template <int Index> static void Receive(CanMessageDescriptor* frame)
    {
        if (frame != nullptr) {
            Instance().collectors[Index].Add(*frame);
        }
    }

    template <int... Index> void Bind(std::integer_sequence<int, Index...>)
    {
        ((collectors[Index].m_function = &Receive<Index>), ...);
    }

    static CollectorTable& Instance()
    {
        // Built on first use by the test thread, before any receive function is registered.
        static CollectorTable table;
        return table;
    }

    CollectorTable() { Bind(std::make_integer_sequence<int, kSlots>()); }
    CollectorTable(const CollectorTable&) = delete;
};

cCollector& cCollector::Slot(int index)
{
    cCollector& collector = CollectorTable::Instance().collectors.at(static_cast<size_t>(index));
    collector.Clear();
    return collector;
}

void cCollector::Clear()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_frames.clear();
}

void cCollector::Add(const CanMessageDescriptor& frame)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_frames.push_back(frame);
    }
    m_added.notify_all();
}

std::vector<CanMessageDescriptor> cCollector::Frames()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frames;
}

std::vector<std::string> cCollector::Texts()
{
    std::vector<std::string> texts;
    for (const CanMessageDescriptor& frame : Frames()) {
        texts.push_back(Text(frame));
    }
    return texts;
}

size_t cCollector::Count()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frames.size();
}

bool cCollector::WaitForCount(size_t count)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_added.wait_for(lock, kPatience, [&] { return m_frames.size() >= count; });
}

cChildProcess::cChildProcess(const std::vector<std::string>& arguments)
{
    int output[2];
    int errors[2];
    if (pipe2(output, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return;
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        dup2(output[1], STDOUT_FILENO);
        dup2(errors[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(output[1]);
    close(errors[1]);
    m_output = output[0];
    m_errors = errors[0];
    if (m_pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
    }
}

cChildProcess::~cChildProcess()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    close(m_output);
    close(m_errors);
}

std::optional<std::string> cChildProcess::TakeLine()
{
    size_t end = m_pending.find('\n');
    if (end == std::string::npos) {
        return std::nullopt;
    }
    std::string line = m_pending.substr(0, end);
    m_pending.erase(0, end + 1);
    return line;
}

std::optional<std::string> cChildProcess::ReadLine()
{
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
        if (std::optional<std::string> line = TakeLine()) {
            return line;
        }
        pollfd ready{m_output, POLLIN, 0};
        if (poll(&ready, 1, RemainingMilliseconds(deadline)) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        ssize_t got = read(m_output, buffer, sizeof(buffer));
        if (got <= 0) {
            return std::nullopt;
        }
        m_pending.append(buffer, static_cast<size_t>(got));
    }
}

std::string cChildProcess::ReadAllErrors()
{
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
        pollfd ready{m_errors, POLLIN, 0};
        if (poll(&ready, 1, RemainingMilliseconds(deadline)) <= 0) {
            return text;
        }
        char buffer[4096];
        ssize_t got = read(m_errors, buffer, sizeof(buffer));
        if (got <= 0) {
            return text;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
}

void cChildProcess::CloseOutput()
{
    close(m_output);
    m_output = -1;
}

void cChildProcess::Signal(int signal)
{
    if (m_pid > 0) {
        kill(m_pid, signal);
    }
}

int cChildProcess::Wait()
{
    if (m_pid <= 0) {
        return -1;
    }
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    int status = 0;
    while (waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
            return -1;
        }
        usleep(1000);
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
