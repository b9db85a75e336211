// Hardware faults inside guarded blocks become a false result. A fault signal raised while the thread
// is inside RunGuarded jumps back to its landing point; any other is handed to whoever handled the
// signal before us (the default action, or a sanitizer's reporter).
#include "../FaultGuard.h"

#include <csetjmp>
#include <csignal>
#include <cstring>
#include <mutex>

#include <pthread.h>

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr int kSignalSlots = 32;

// Written once under std::call_once before the handlers are installed; read by the handlers.
struct sigaction previousActions[kSignalSlots];

// The landing point of the innermost guarded block of this thread, or null outside guarded blocks.
thread_local sigjmp_buf* t_landing = nullptr;

void PassOn(int signal, siginfo_t* info, void* context)
{
    const struct sigaction& previous = previousActions[signal];
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) {
        // Returning re-raises the fault with the default action: the process ends as it would have.
        struct sigaction fallback
        {
        };
        fallback.sa_handler = SIG_DFL;
        sigaction(signal, &fallback, nullptr);
        return;
    }
    previous.sa_handler(signal);
}

void OnFault(int signal, siginfo_t* info, void* context)
{
    if (sigjmp_buf* landing = t_landing) {
        siglongjmp(*landing, 1);
    }
    PassOn(signal, info, context);
}

void UnblockFaultSignals()
{
    sigset_t faults;
    sigemptyset(&faults);
    for (int signal : kFaultSignals) {
        sigaddset(&faults, signal);
    }
    pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
}

void InstallHandlers()
{
    for (int signal : kFaultSignals) {
        struct sigaction action
        {
        };
        action.sa_sigaction = &OnFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, &previousActions[signal]);
    }
}

} // namespace

bool RunGuarded(void (*body)(void*), void* context)
{
    static std::once_flag installed;
    std::call_once(installed, InstallHandlers);

    sigjmp_buf landing;
    sigjmp_buf* outer = t_landing;
    // The mask is not saved, which would cost a system call on every guarded call; after a fault the
    // fault signals are unblocked instead, since a runtime that wraps our handler (ThreadSanitizer's
    // does) may have blocked the one raised, and a blocked fault signal ends the process.
    if (sigsetjmp(landing, 0) != 0) {
        t_landing = outer;
        UnblockFaultSignals();
        return false;
    }
    t_landing = &landing;
    body(context);
    t_landing = outer;
    return true;
}
