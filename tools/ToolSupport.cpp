#include "ToolSupport.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace {

constexpr int64_t kMicrosecondsPerSecond = 1000000;
constexpr int64_t kNanosecondsPerMicrosecond = 1000;
constexpr int64_t kSleepSliceMicroseconds = 50000;
#ifdef _WIN32
constexpr int64_t kWindowsTickMicroseconds = 16000;
#endif
constexpr size_t kInterfaceNameLimit = 16; // IFNAMSIZ, with the terminating zero
constexpr int kArphrdCan = 280;

int64_t ClockMicroseconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * kMicrosecondsPerSecond +
           now.tv_nsec / kNanosecondsPerMicrosecond;
}

} // namespace

bool ParseNumber(const char* text, uint32_t limit, uint32_t& value)
{
    const char* end = text + strlen(text);
    uint32_t parsed = 0;
    auto [next, error] = std::from_chars(text, end, parsed);
    if (error != std::errc() || next != end || next == text || parsed > limit) {
        return false;
    }
    value = parsed;
    return true;
}

int ReportFailure(const char* tool, const std::string& message)
{
    fprintf(stderr, "%s: %s\n", tool, message.c_str());
    return 1;
}

void InstallInterruptHandler(void (*onInterrupt)(int))
{
#ifdef _WIN32
    // Windows runs the handler on a thread of its own; there is no sigaction and nothing to restart.
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
#else
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

#ifdef _WIN32
namespace {

// NtQueryInformationFile's answer for FilePipeLocalInformation (winternl.h does not declare it).
struct PipeLocalInformation
{
    ULONG type;
    ULONG configuration;
    ULONG maximumInstances;
    ULONG currentInstances;
    ULONG inboundQuota;
    ULONG readDataAvailable;
    ULONG outboundQuota;
    ULONG writeQuotaAvailable;
    ULONG state;
    ULONG end;
};
struct IoStatus
{
    LONG_PTR status;
    ULONG_PTR information;
};
using NtQueryInformationFileFn = LONG(NTAPI*)(HANDLE, IoStatus*, PVOID, ULONG, int);
constexpr int kFilePipeLocalInformation = 24;
constexpr ULONG kPipeClosingState = 4; // FILE_PIPE_CLOSING_STATE: the other end is gone
constexpr LONG kStatusPipeBroken = static_cast<LONG>(0xC000014B);

} // namespace

bool StandardOutputClosed()
{
    // A pipe whose reading end was closed is in the closing state; that is the one case told here.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE || GetFileType(output) != FILE_TYPE_PIPE) {
        return false;
    }
    auto query = reinterpret_cast<NtQueryInformationFileFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    if (query == nullptr) {
        return false;
    }
    PipeLocalInformation pipe{};
    IoStatus status{};
    LONG result = query(output, &status, &pipe, sizeof(pipe), kFilePipeLocalInformation);
    return result == kStatusPipeBroken || (result >= 0 && pipe.state == kPipeClosingState);
}
#else
bool StandardOutputClosed()
{
    // No events asked for: poll reports only POLLERR, which a pipe's writing end gets once its reader is
    // gone, and POLLHUP (a terminal hung up), after which every write fails too.
    pollfd output{STDOUT_FILENO, 0, 0};
    return poll(&output, 1, 0) == 1 && (output.revents & (POLLERR | POLLHUP)) != 0;
}
#endif

int FailedWriteError()
{
    int error = errno != 0 ? errno : EIO;
#ifdef _WIN32
    // The pipe is closing (232), broken (109), or under Wine a Unix pipe without reader (233).
    DWORD last = GetLastError();
    if (last == ERROR_NO_DATA || last == ERROR_BROKEN_PIPE || last == ERROR_PIPE_NOT_CONNECTED) {
        return EPIPE;
    }
#endif
    return error;
}

int EndForClosedOutput(const char* tool)
{
#ifndef _WIN32
    struct sigaction current = {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_UNBLOCK, &pipeSignal, nullptr);
        raise(SIGPIPE);
    }
#endif
    return ReportFailure(tool, std::string("writing standard output failed: ") + strerror(EPIPE));
}

bool IsCanInterface(const std::string& name)
{
    if (!kSocketCanExists || name.empty() || name.size() >= kInterfaceNameLimit || name == "." ||
        name == ".." || name.find('/') != std::string::npos) {
        return false;
    }
    std::ifstream type("/sys/class/net/" + name + "/type");
    int kind = 0;
    return static_cast<bool>(type >> kind) && kind == kArphrdCan;
}

std::vector<std::string> CanInterfaces()
{
    std::vector<std::string> names;
    std::error_code failed;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net", failed)) {
        std::string name = entry.path().filename().string();
        if (IsCanInterface(name)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

int64_t WallMicroseconds()
{
    return ClockMicroseconds(CLOCK_REALTIME);
}

int64_t SteadyMicroseconds()
{
    return ClockMicroseconds(CLOCK_MONOTONIC);
}

bool SleepUntil(int64_t deadline, const volatile sig_atomic_t& interrupted)
{
    for (;;) {
        if (interrupted != 0) {
            return false;
        }
        int64_t now = SteadyMicroseconds();
        if (now >= deadline) {
            return true;
        }
        int64_t wait = std::min(deadline - now, kSleepSliceMicroseconds);
#ifdef _WIN32
        // Sleep may run a whole scheduler tick (15.6 ms) over; the last tick is spent yielding instead.
        if (wait > kWindowsTickMicroseconds) {
            Sleep(static_cast<DWORD>((wait - kWindowsTickMicroseconds) / 1000));
        } else {
            SwitchToThread();
        }
#else
        int64_t until = now + wait;
        timespec at{static_cast<time_t>(until / kMicrosecondsPerSecond),
                    static_cast<long>(until % kMicrosecondsPerSecond * kNanosecondsPerMicrosecond)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr); // a signal ends it early
#endif
    }
}
