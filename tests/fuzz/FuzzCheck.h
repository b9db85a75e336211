// How the fuzz targets report a broken rule: as a crash, which libFuzzer records with its input.
#pragma once

#include <string>

// Writes what went wrong and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void FailFuzzCheck(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A wide text for a failure message, with everything but printable ASCII escaped.
std::string Printable(const std::wstring& text);

// Drops the platform's debug-output lines, which would drown libFuzzer's own output.
void SilenceDebugOutput();
