// The Windows CE calls that desktop Windows lacks, on top of their desktop counterparts.
#include "win32.h"

#include <cstdarg>
#include <string>

namespace {

constexpr size_t kWsprintfLimit = 1024; // wvsprintfW never writes more than 1024 characters

bool NarrowAsciiName(LPCWSTR wide, std::string& narrow)
{
    for (; *wide != 0; ++wide) {
        if (*wide > 0x7F) {
            return false;
        }
        narrow.push_back(static_cast<char>(*wide));
    }
    return true;
}

} // namespace

FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName)
{
    if (IS_INTRESOURCE(procName)) {
        return GetProcAddress(module, reinterpret_cast<LPCSTR>(procName));
    }
    std::string name;
    if (!NarrowAsciiName(procName, name)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return GetProcAddress(module, name.c_str());
}

void NKDbgPrintfW(LPCWSTR format, ...)
{
    WCHAR line[kWsprintfLimit];
    va_list arguments;
    va_start(arguments, format);
    wvsprintfW(line, format, arguments);
    va_end(arguments);
    line[kWsprintfLimit - 1] = 0;
    OutputDebugStringW(line);
}
