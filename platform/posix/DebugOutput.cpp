#include "DebugOutput.h"
#include "TextConversion.h"
#include "winbase.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>

#include <unistd.h>

namespace {

constexpr size_t kWsprintfLimit = 1024; // wsprintfW never writes more than 1024 characters

void WriteToStandardError(LPCWSTR text)
{
    std::string bytes = NarrowFromWide(text);
    const char* next = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t written = write(STDERR_FILENO, next, left);
        if (written <= 0) {
            return;
        }
        next += written;
        left -= static_cast<size_t>(written);
    }
}

// Read on every output line from any thread; written by the front end at start and end.
std::atomic<DebugOutputSink> debugSink{nullptr};

} // namespace

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink)
{
    return debugSink.exchange(sink);
}

void OutputDebugStringW(LPCWSTR text)
{
    if (text == nullptr) {
        return;
    }
    DebugOutputSink sink = debugSink.load();
    (sink != nullptr ? sink : WriteToStandardError)(text);
}

void NKDbgPrintfW(LPCWSTR format, ...)
{
    WCHAR line[kWsprintfLimit];
    va_list arguments;
    va_start(arguments, format);
    int length = vswprintf(line, kWsprintfLimit, format, arguments);
    va_end(arguments);
    if (length < 0) {
        line[kWsprintfLimit - 1] = 0; // too long: keep what fits
    }
    OutputDebugStringW(line);
}

int wsprintfW(LPWSTR buffer, LPCWSTR format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = vswprintf(buffer, kWsprintfLimit, format, arguments);
    va_end(arguments);
    if (length < 0) {
        buffer[kWsprintfLimit - 1] = 0;
        return static_cast<int>(wcslen(buffer));
    }
    return length;
}

void ReportUnimplemented(const wchar_t* what, HWND window, UINT message)
{
    NKDbgPrintfW(L"windowing: not implemented: %ls (window %p, message 0x%04x)\r\n", what,
                 static_cast<void*>(window), message);
}
