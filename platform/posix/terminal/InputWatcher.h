// Wakes the dialog's modal loop for the terminal front end: the loop polls one descriptor, and the
// front end needs it readable for four reasons, keys on standard input, a resized terminal, a signal to
// end the program, and a new debug line from any thread. ncurses itself still reads standard input, on the
// loop's thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

class InputWatcher
{
public:
    InputWatcher() = default;
    ~InputWatcher();
    InputWatcher(const InputWatcher&) = delete;
    InputWatcher& operator=(const InputWatcher&) = delete;

    // Creates the pipes and the thread that watches the input descriptor; false (errno set) on failure.
    bool Start(int inputDescriptor);
    // Ends and joins the thread; closes the pipes.
    void Stop();

    // What the modal loop polls.
    int WakeDescriptor() const { return m_wake[0]; }
    // Makes the wake descriptor readable. Any thread; async-signal-safe.
    void Wake() const;
    // The loop's thread, once it has read all waiting input: drains the wake descriptor and lets the
    // watcher look at the input again.
    void Consumed();

private:
    void Watch();
    bool WaitForInput();

    int m_input = -1;
    int m_wake[2] = {-1, -1}; // written by any thread and the SIGWINCH handler, read by the loop
    int m_stop[2] = {-1, -1}; // written by Stop, read by the watcher
    std::mutex m_mutex;
    std::condition_variable m_consumed;
    // Set by the watcher when it reported input, cleared by Consumed; guarded by m_mutex.
    bool m_pending = false;
    // Set by Stop, read by the watcher; guarded by m_mutex.
    bool m_stopping = false;
    std::thread m_thread;
};
