// The dialog tests' main: every test runs under a watchdog, so a hang fails the program instead of
// stalling the run.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

constexpr auto kLimit = std::chrono::seconds(30);

class Watchdog : public testing::EmptyTestEventListener
{
public:
    Watchdog() : m_thread([this] { Watch(); }) {}
    ~Watchdog() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    void OnTestStart(const testing::TestInfo& test) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_current = std::string(test.test_suite_name()) + "." + test.name();
        m_deadline = std::chrono::steady_clock::now() + kLimit;
        m_running = true;
        m_changed.notify_all();
    }

    void OnTestEnd(const testing::TestInfo&) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        m_changed.notify_all();
    }

private:
    void Watch()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stopping) {
            if (m_running && std::chrono::steady_clock::now() >= m_deadline) {
                std::fprintf(stderr, "watchdog: %s did not finish within %lld s: hung\n", m_current.c_str(),
                             static_cast<long long>(kLimit.count()));
                std::fflush(stderr);
                std::_Exit(3);
            }
            if (m_running) {
                m_changed.wait_until(lock, m_deadline);
            } else {
                m_changed.wait(lock);
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_current;                            // guarded by m_mutex
    std::chrono::steady_clock::time_point m_deadline; // guarded by m_mutex
    bool m_running = false;                           // guarded by m_mutex
    bool m_stopping = false;                          // guarded by m_mutex
    std::thread m_thread;
};

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // The listener list owns the watchdog and deletes it after the run.
    testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    return RUN_ALL_TESTS();
}
