// See compat/posix/DebugOutput.h.
#include "posix/DebugOutput.h"

#include <atomic>
#include <string>

#ifndef DBG_PRINTEXCEPTION_WIDE_C
#define DBG_PRINTEXCEPTION_WIDE_C 0x4001000AL
#endif

namespace {

// Written by the test's thread; read by the handler on whichever thread writes a line.
std::atomic<DebugOutputSink> debugSink{nullptr};
PVOID handler = nullptr; // installed once, by the first SetDebugOutputSink (the test's main thread)

std::wstring WideFromNarrow(const char* text, ULONG_PTR length)
{
    std::wstring wide;
    for (ULONG_PTR i = 0; i + 1 < length && text[i] != 0; ++i) {
        wide.push_back(static_cast<unsigned char>(text[i]));
    }
    return wide;
}

LONG CALLBACK OnDebugPrint(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    DebugOutputSink sink = debugSink.load();
    if (sink == nullptr || record.NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (record.ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C) {
        sink(reinterpret_cast<LPCWSTR>(record.ExceptionInformation[1]));
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (record.ExceptionCode == DBG_PRINTEXCEPTION_C) {
        std::wstring line = WideFromNarrow(reinterpret_cast<const char*>(record.ExceptionInformation[1]),
                                           record.ExceptionInformation[0]);
        sink(line.c_str());
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink)
{
    if (handler == nullptr) {
        handler = AddVectoredExceptionHandler(1, OnDebugPrint);
    }
    return debugSink.exchange(sink);
}
