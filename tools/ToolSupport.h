// Small pieces both bus tools share: reading numeric options, reporting a failure, signals and pipes.
#pragma once

#include <cstdint>
#include <string>

// Whole decimal number without sign or trailing characters, at most limit.
bool ParseNumber(const char* text, uint32_t limit, uint32_t& value);

// Writes "TOOL: MESSAGE" and a newline to standard error and returns the exit status for a failure.
int ReportFailure(const char* tool, const std::string& message);

// Calls onInterrupt on Ctrl+C and on a request to terminate. A blocking sleep of the program's own is
// interrupted by it (no automatic restart), so a tool ends at once.
void InstallInterruptHandler(void (*onInterrupt)(int));

// True once nothing can read standard output any more (the reading end of its pipe was closed), so a
// tool that only writes there can end without waiting for a write to fail. False where this cannot be
// told (a terminal, a file, Windows).
bool StandardOutputClosed();

// Ends the program as a write to a closed pipe ends a program by default: by SIGPIPE, from the calling
// thread, unless the signal is ignored or does not exist. Then it reports the broken pipe and returns the
// exit status for a failure.
int EndForClosedOutput(const char* tool);
