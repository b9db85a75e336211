// Threads behind Win32 handles: a thread handle is signalled when the thread has ended.
#include "KernelObject.h"
#include "winbase.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

class ThreadObject : public KernelObject
{
public:
    ThreadObject(LPTHREAD_START_ROUTINE start, LPVOID parameter) : m_start(start), m_parameter(parameter) {}

    bool Wait(DWORD milliseconds) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto finished = [this] { return m_finished; };
        if (milliseconds == INFINITE) {
            m_done.wait(lock, finished);
            return true;
        }
        return m_done.wait_for(lock, std::chrono::milliseconds(milliseconds), finished);
    }

    DWORD ExitCode()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_finished ? m_exitCode : STILL_ACTIVE;
    }

    static void* Run(void* self);

    void Finish(DWORD exitCode)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_exitCode = exitCode;
            m_finished = true;
        }
        m_done.notify_all();
    }

private:
    LPTHREAD_START_ROUTINE m_start;
    LPVOID m_parameter;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    DWORD m_exitCode = STILL_ACTIVE;
};

// ExitThread leaves through pthread_exit, which unwinds the thread's frames; the exit code travels here.
thread_local DWORD t_exitCode = 0;
thread_local bool t_exiting = false;

// Marks the thread finished and drops the thread's own reference however the routine is left.
class ThreadEnd
{
public:
    explicit ThreadEnd(ThreadObject* thread) : m_thread(thread) {}
    ~ThreadEnd()
    {
        m_thread->Finish(t_exiting ? t_exitCode : m_returned);
        m_thread->Release();
    }
    DWORD m_returned = 0;

private:
    ThreadObject* m_thread;
};

// The calling thread's id once asked; 0 until then.
thread_local DWORD t_threadId = 0;

} // namespace

void* ThreadObject::Run(void* self)
{
    auto* thread = static_cast<ThreadObject*>(self);
    ThreadEnd end(thread);
    end.m_returned = thread->m_start(thread->m_parameter);
    return nullptr;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    LPDWORD threadId)
{
    auto* thread = new ThreadObject(start, parameter);
    thread->AddRef(); // the running thread's reference
    pthread_t id;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int error = pthread_create(&id, &attributes, &ThreadObject::Run, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        thread->Release();
        thread->Release();
        SetLastError(8); // ERROR_NOT_ENOUGH_MEMORY
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = 0; // Linux thread ids are only known inside the thread
    }
    return thread;
}

void ExitThread(DWORD exitCode)
{
    t_exitCode = exitCode;
    t_exiting = true;
    pthread_exit(nullptr);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    if (handle == nullptr) {
        SetLastError(6); // ERROR_INVALID_HANDLE
        return WAIT_FAILED;
    }
    return ObjectFromHandle(handle)->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode)
{
    auto* thread = dynamic_cast<ThreadObject*>(ObjectFromHandle(handle));
    if (thread == nullptr) {
        return FALSE;
    }
    *exitCode = thread->ExitCode();
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    if (handle == nullptr) {
        SetLastError(6); // ERROR_INVALID_HANDLE
        return FALSE;
    }
    ObjectFromHandle(handle)->Release();
    return TRUE;
}

DWORD GetCurrentThreadId()
{
    // Asked on every cross-thread message, so the system call is made once per thread; a forked child's
    // one thread has an id of its own and asks again.
    static const int forgetInChild = pthread_atfork(nullptr, nullptr, [] { t_threadId = 0; });
    (void)forgetInChild;
    if (t_threadId == 0) {
        t_threadId = static_cast<DWORD>(syscall(SYS_gettid));
    }
    return t_threadId;
}
