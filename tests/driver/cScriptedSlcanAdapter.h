// A serial-line CAN adapter that says exactly what a test needs, on a pseudo-terminal: the device opens
// Path() as it opens an adapter's port, and the script runs on the terminal's other end. Every wait gives
// up after 10 s, so that a device that stops talking fails the test instead of hanging it.
#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class cScriptedSlcanAdapter
{
public:
    using Script = std::function<void(cScriptedSlcanAdapter& adapter)>;

    explicit cScriptedSlcanAdapter(Script script);
    ~cScriptedSlcanAdapter(); // waits for the script to end

    cScriptedSlcanAdapter(const cScriptedSlcanAdapter&) = delete;
    cScriptedSlcanAdapter& operator=(const cScriptedSlcanAdapter&) = delete;

    const std::string& Path() const { return m_path; }
    // The value of RVCAN32CE_CANn that maps a device to this adapter.
    std::string Mapping() const { return "slcan:" + m_path; }

    // For the script:
    void Write(const std::string& bytes);
    // The next line from the device without its carriage return; empty after the wait.
    std::string ReadLine();
    // Reads a line and answers it, for each (line, answer) in turn; what it read goes to received.
    void Converse(const std::vector<std::pair<std::string, std::string>>& dialogue);
    // Closes the terminal, as an adapter pulled out does.
    void Vanish();
    // Waits until the test sets go (at most 10 s), and clears it for the next wait.
    void WaitForGo();

    std::atomic<bool> go{false};
    std::promise<std::vector<std::string>> received; // the lines Converse read, for the test to check

private:
    Script m_script;
    int m_master = -1; // the adapter's end; the script's, and the destructor's after the join
    int m_slave = -1;  // kept open so that the device's close and reopen never hang the terminal up
    std::string m_path;
    std::thread m_thread;
};
