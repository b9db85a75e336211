#include "FuzzCheck.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "posix/DebugOutput.h"

void FailFuzzCheck(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    fputs("fuzz check failed: ", stderr);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
    abort();
}

std::string Printable(const std::wstring& text)
{
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[16];
            snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out + "\"";
}

void SilenceDebugOutput()
{
    SetDebugOutputSink([](LPCWSTR) {});
}
