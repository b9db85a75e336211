#include "cScriptedSlcanAdapter.h"

#include <chrono>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kPatienceMs = 10000;

} // namespace

cScriptedSlcanAdapter::cScriptedSlcanAdapter(Script script) : m_script(std::move(script))
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0) {
        m_path = ptsname(m_master);
        m_slave = open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios settings{};
        tcgetattr(m_slave, &settings);
        cfmakeraw(&settings); // no echo of what the script writes before the device opens
        tcsetattr(m_slave, TCSANOW, &settings);
    }
    m_thread = std::thread([this] { m_script(*this); });
}

cScriptedSlcanAdapter::~cScriptedSlcanAdapter()
{
    m_thread.join();
    Vanish();
}

void cScriptedSlcanAdapter::Write(const std::string& bytes)
{
    ssize_t ignored = write(m_master, bytes.data(), bytes.size());
    (void)ignored;
}

std::string cScriptedSlcanAdapter::ReadLine()
{
    std::string line;
    char c = 0;
    for (;;) {
        pollfd readable{m_master, POLLIN, 0};
        if (poll(&readable, 1, kPatienceMs) != 1 || read(m_master, &c, 1) != 1) {
            return {};
        }
        if (c == '\r') {
            return line;
        }
        line += c;
    }
}

void cScriptedSlcanAdapter::Converse(const std::vector<std::pair<std::string, std::string>>& dialogue)
{
    std::vector<std::string> lines;
    for (const auto& [expected, answer] : dialogue) {
        lines.push_back(ReadLine());
        if (!answer.empty()) {
            Write(answer);
        }
    }
    received.set_value(lines);
}

void cScriptedSlcanAdapter::Vanish()
{
    for (int* fd : {&m_master, &m_slave}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void cScriptedSlcanAdapter::WaitForGo()
{
    using namespace std::chrono;
    auto deadline = steady_clock::now() + milliseconds(kPatienceMs);
    while (!go.exchange(false) && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
    }
}
