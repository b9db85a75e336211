#include "InputWatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool MakePipe(int (&ends)[2])
{
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        ends[0] = ends[1] = -1;
        return false;
    }
    return true;
}

void ClosePipe(int (&ends)[2])
{
    for (int& end : ends) {
        if (end >= 0) {
            close(end);
            end = -1;
        }
    }
}

} // namespace

InputWatcher::~InputWatcher()
{
    Stop();
}

bool InputWatcher::Start(int inputDescriptor, void (*arrived)(), const sigset_t& signals)
{
    m_input = inputDescriptor;
    m_arrived = arrived;
    m_signals = signals;
    if (!MakePipe(m_wake) || !MakePipe(m_stop)) {
        int error = errno;
        Stop();
        errno = error;
        return false;
    }
    m_stopping = false;
    m_pending = false;
    m_masked = pthread_sigmask(SIG_BLOCK, &m_signals, &m_previousMask) == 0;
    m_thread = std::thread([this] {
        pthread_sigmask(SIG_UNBLOCK, &m_signals, nullptr);
        Watch();
    });
    return true;
}

void InputWatcher::Stop()
{
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_consumed.notify_all();
        char stop = 0;
        // The pipe is empty and non-blocking; a failed write leaves m_stopping to end the wait below.
        (void)!write(m_stop[1], &stop, 1);
        m_thread.join();
    }
    if (m_masked) {
        pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
        m_masked = false;
    }
    ClosePipe(m_wake);
    ClosePipe(m_stop);
}

void InputWatcher::Wake() const
{
    char wake = 0;
    // A full pipe already wakes the loop, so a failed write loses nothing.
    (void)!write(m_wake[1], &wake, 1);
}

void InputWatcher::DrainWakePipe()
{
    char drained[64];
    while (read(m_wake[0], drained, sizeof drained) > 0) {
    }
}

void InputWatcher::Consumed()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending = false;
    }
    m_consumed.notify_all();
}

// True when the input or the wake pipe is readable, false when stopping.
bool InputWatcher::WaitForInput()
{
    for (;;) {
        // A negative descriptor is not polled.
        pollfd descriptors[3] = {{m_input, POLLIN, 0}, {m_wake[0], POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        int ready = poll(descriptors, 3, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || descriptors[2].revents != 0) {
            return false;
        }
        if (descriptors[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // A terminal that hung up stays "readable"; report it once and watch only the wake pipe,
            // which still brings the signal that ends the program.
            m_input = -1;
        }
        DrainWakePipe();
        return true;
    }
}

void InputWatcher::Watch()
{
    while (WaitForInput()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pending = true;
        }
        // Outside the lock: arrived takes the windowing layer's own.
        m_arrived();
        std::unique_lock<std::mutex> lock(m_mutex);
        // Standard input stays readable until the loop has read it; wait for that, or for Stop.
        m_consumed.wait(lock, [this] { return !m_pending || m_stopping; });
        if (m_stopping) {
            return;
        }
    }
}
