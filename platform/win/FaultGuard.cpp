// Hardware faults inside guarded blocks become a false result, by a vectored exception handler.
//
// The landing point is a context rewrite rather than setjmp/longjmp: RunGuarded captures its own
// register context (RtlCaptureContext) before the body runs; on a fault the handler copies that context
// into the exception's context record and returns EXCEPTION_CONTINUE_EXECUTION, so the system itself
// resumes the thread at the landing point and unwinds its own exception-dispatch frames. A longjmp out
// of the handler would instead abandon those frames, and MinGW's x64 longjmp unwinds through SEH,
// which is not meant to run from inside a vectored handler.
//
// Only the codes below are caught, and only while the faulting thread is inside a guarded block; C++
// exceptions (raised as SEH exceptions by g++) and faults elsewhere go on to the next handler.
// Stack overflow is not caught: resuming after it would leave the stack's guard page spent.
#include "../FaultGuard.h"

#include "win32.h"

#include <mutex>

namespace {

struct Landing
{
    CONTEXT context;
    volatile LONG faulted; // set by the handler before resuming at context
};

// The slot holding each thread's innermost Landing, or null outside guarded blocks. Allocated once
// under std::call_once; read by the handler on the faulting thread. A TLS slot (not thread_local,
// which MinGW emulates with lazily allocated storage) is safe to read inside an exception handler.
DWORD landingSlot = TLS_OUT_OF_INDEXES;

bool IsHardwareFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW: return true;
    }
    return false;
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* exception)
{
    if (!IsHardwareFault(exception->ExceptionRecord->ExceptionCode)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    auto* landing = static_cast<Landing*>(TlsGetValue(landingSlot));
    if (landing == nullptr) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    landing->faulted = 1;
    *exception->ContextRecord = landing->context;
    return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallHandler()
{
    landingSlot = TlsAlloc();
    AddVectoredExceptionHandler(1, OnException); // first, ahead of any debugger-less default handling
}

// Runs the body with landing as this thread's innermost landing point; not inlined, so that the
// captured context belongs to a frame that stays alive until the body has returned or faulted.
__attribute__((noinline)) bool RunWithLanding(Landing& landing, void (*body)(void*), void* context)
{
    void* outer = TlsGetValue(landingSlot);
    landing.faulted = 0;
    RtlCaptureContext(&landing.context);
    // Execution comes back here a second time, with faulted set, when the body faults.
    if (landing.faulted != 0) {
        TlsSetValue(landingSlot, outer);
        return false;
    }
    TlsSetValue(landingSlot, &landing);
    body(context);
    TlsSetValue(landingSlot, outer);
    return true;
}

} // namespace

bool RunGuarded(void (*body)(void*), void* context)
{
    static std::once_flag installed;
    std::call_once(installed, InstallHandler);
    if (landingSlot == TLS_OUT_OF_INDEXES) {
        OutputDebugStringW(L"RunGuarded: TlsAlloc failed, running the body unguarded\r\n");
        body(context);
        return true;
    }
    Landing landing; // CONTEXT must be 16-byte aligned; its type carries that alignment
    return RunWithLanding(landing, body, context);
}
