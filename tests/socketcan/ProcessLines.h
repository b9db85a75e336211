// A command (candump, can-dump) run through the shell, whose output lines are collected on a thread of
// their own, so that a test can wait for a line with a time limit. The command runs under
// `timeout`, and is killed when the object goes, so nothing outlives the test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ProcessLines
{
public:
    explicit ProcessLines(const std::string& command);
    ~ProcessLines();

    ProcessLines(const ProcessLines&) = delete;
    ProcessLines& operator=(const ProcessLines&) = delete;

    // Waits until some line satisfies match; false after limit.
    bool WaitFor(const std::function<bool(const std::string&)>& match,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Repeats probe every 100 ms until a line contains marker: the command is then surely listening.
    bool WaitUntilListening(const std::string& marker, const std::function<void()>& probe);
    std::vector<std::string> Lines() const;

private:
    void Read();

    FILE* m_pipe = nullptr;
    long m_pid = 0;
    mutable std::mutex m_lock; // guards m_lines and m_ended between the reader thread and the test
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
    bool m_ended = false;
    std::thread m_reader; // joined in the destructor, after the command is killed
};

// The part of a `candump -L` line after the timestamp: "vcan0 123#DEADBEEF".
std::string WithoutTimestamp(const std::string& line);
// Runs a shell command; false (and a message on stderr) when it fails.
bool RunShell(const std::string& command);
