// Wakes the dialog's modal loop for the terminal front end, for four reasons: keys on standard input, a
// resized terminal, a signal to end the program, and a new debug line from any thread. Its thread polls
// standard input and a wake pipe, which signal handlers can write, and tells the loop through a
// function (FrontEndInputArrived), so that the loop itself sleeps on its wake word and no other
// thread's message to it costs a pipe write. ncurses itself still reads standard input, on the loop's
// thread.
#pragma once

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

class InputWatcher
{
public:
    InputWatcher() = default;
    ~InputWatcher();
    InputWatcher(const InputWatcher&) = delete;
    InputWatcher& operator=(const InputWatcher&) = delete;

    // Creates the pipes and the thread that watches the input descriptor and calls arrived, from that
    // thread, whenever the loop has something to read; false (errno set) on failure. The signals are
    // taken on the watcher's thread only: blocked in the calling thread, and so in every thread it
    // starts later, unblocked in the watcher's, which sleeps in poll. A thread asleep on a futex, as
    // the loop's is, may otherwise get them, and under ThreadSanitizer, which runs a handler only at
    // the thread's next intercepted call, the handler would wait as long as that sleep.
    bool Start(int inputDescriptor, void (*arrived)(), const sigset_t& signals);
    // Ends and joins the thread; closes the pipes; unblocks the signals again.
    void Stop();

    // Has the watcher call arrived. Any thread; async-signal-safe.
    void Wake() const;
    // The loop's thread, once it has read all waiting input: lets the watcher look again.
    void Consumed();

private:
    void Watch();
    bool WaitForInput();
    void DrainWakePipe();

    int m_input = -1; // the watcher's; -1 once the terminal hung up
    void (*m_arrived)() = nullptr;
    sigset_t m_signals{};
    sigset_t m_previousMask{}; // the starting thread's, restored by Stop
    bool m_masked = false;
    int m_wake[2] = {-1, -1}; // written by any thread and the signal handlers, read by the watcher
    int m_stop[2] = {-1, -1}; // written by Stop, read by the watcher
    std::mutex m_mutex;
    std::condition_variable m_consumed;
    // Set by the watcher when it reported input, cleared by Consumed; guarded by m_mutex.
    bool m_pending = false;
    // Set by Stop, read by the watcher; guarded by m_mutex.
    bool m_stopping = false;
    std::thread m_thread;
};
