// Small pieces both bus tools share: reading numeric options, reporting a failure, signals and pipes.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

// Whole decimal number without sign or trailing characters, at most limit.
bool ParseNumber(const char* text, uint32_t limit, uint32_t& value);

// Writes "TOOL: MESSAGE" and a newline to standard error and returns the exit status for a failure.
int ReportFailure(const char* tool, const std::string& message);

// Calls onInterrupt on Ctrl+C and on a request to terminate. A blocking sleep of the program's own is
// interrupted by it (no automatic restart), so a tool ends at once.
void InstallInterruptHandler(void (*onInterrupt)(int));

// True once nothing can read standard output any more (the reading end of its pipe was closed), so a
// tool that only writes there can end without waiting for a write to fail. False where this cannot be
// told (a terminal, a file).
bool StandardOutputClosed();

// errno for a write to standard output that just failed: EPIPE whenever the pipe's reader is gone, also
// on Windows, whose C library says EINVAL there.
int FailedWriteError();

// Ends the program as a write to a closed pipe ends a program by default: by SIGPIPE, from the calling
// thread, unless the signal is ignored or does not exist. Then it reports the broken pipe and returns the
// exit status for a failure.
int EndForClosedOutput(const char* tool);

// True when name is a SocketCAN interface of this machine (Linux: /sys/class/net/NAME/type is
// ARPHRD_CAN). Always false where there is no SocketCAN; kSocketCanExists says which.
bool IsCanInterface(const std::string& name);
// The SocketCAN interfaces of this machine by name, sorted (candump's any); none where there is no
// SocketCAN.
std::vector<std::string> CanInterfaces();
#ifdef __linux__
constexpr bool kSocketCanExists = true;
#else
constexpr bool kSocketCanExists = false;
#endif

// Microseconds on the wall clock since the Unix epoch, for time stamps a user compares with candump's.
int64_t WallMicroseconds();
// Microseconds on a clock that never jumps, for deadlines.
int64_t SteadyMicroseconds();

// Sleeps until the steady clock reaches deadline (SteadyMicroseconds), or until interrupted is set by
// a signal handler; returns false in that case. Waits in slices of at most 50 ms, because on Windows a
// Ctrl+C handler runs on a thread of its own and cannot cut a sleep short.
bool SleepUntil(int64_t deadline, const volatile sig_atomic_t& interrupted);
