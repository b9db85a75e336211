#include "ProcessLines.h"

#include <csignal>
#include <cstdlib>

ProcessLines::ProcessLines(const std::string& command)
{
    // The shell reports the command's process id first, then becomes the command.
    std::string line = "echo $$; exec timeout 60 " + command + " 2>&1";
    m_pipe = popen(line.c_str(), "r");
    char first[32] = {};
    if (m_pipe != nullptr && fgets(first, sizeof(first), m_pipe) != nullptr) {
        m_pid = strtol(first, nullptr, 10);
    }
    m_reader = std::thread([this] { Read(); });
}

ProcessLines::~ProcessLines()
{
    if (m_pid > 0) {
        kill(static_cast<pid_t>(m_pid), SIGTERM);
    }
    m_reader.join(); // the pipe ends when the command does
    if (m_pipe != nullptr) {
        pclose(m_pipe);
    }
}

void ProcessLines::Read()
{
    char buffer[512];
    while (m_pipe != nullptr && fgets(buffer, sizeof(buffer), m_pipe) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.push_back(line);
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_ended = true;
    m_changed.notify_all();
}

bool ProcessLines::WaitFor(const std::function<bool(const std::string&)>& match,
                           std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(m_lock);
    bool found = false;
    m_changed.wait_for(lock, limit, [&] {
        for (const std::string& line : m_lines) {
            found = found || match(line);
        }
        return found || m_ended;
    });
    return found;
}

bool ProcessLines::WaitUntilListening(const std::string& marker, const std::function<void()>& probe)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        probe();
        if (WaitFor([&](const std::string& line) { return line.find(marker) != std::string::npos; },
                    std::chrono::milliseconds(100))) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> ProcessLines::Lines() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lines;
}

std::string WithoutTimestamp(const std::string& line)
{
    size_t end = line.find(") ");
    return end == std::string::npos ? line : line.substr(end + 2);
}

bool RunShell(const std::string& command)
{
    int status = system(command.c_str());
    if (status != 0) {
        fprintf(stderr, "'%s' failed with status %d\n", command.c_str(), status);
    }
    return status == 0;
}
