// Small pieces both bus tools share: reading numeric options and reporting a failure.
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
