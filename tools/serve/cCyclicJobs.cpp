#include "cCyclicJobs.h"

#include <cstdio>

#include "cServedBus.h"

namespace {

std::chrono::steady_clock::duration Period(SocketcandTime time)
{
    return std::chrono::seconds(time.seconds) + std::chrono::microseconds(time.microseconds);
}

std::string JobName(const SocketcandFrame& frame)
{
    char name[40];
    snprintf(name, sizeof(name), "no cyclic job for id %0*X", frame.extended ? 8 : 3, frame.id);
    return name;
}

} // namespace

cCyclicJobs::cCyclicJobs() : m_thread([this] { Run(); }) {}

cCyclicJobs::~cCyclicJobs()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

bool cCyclicJobs::Add(uint64_t client, cServedBus& bus, const SocketcandFrame& frame, SocketcandTime period,
                      std::string& error)
{
    Clock::time_point now = Clock::now();
    Job job{&bus, frame, Period(period), now};
    job.next = now + job.period;
    {
        std::lock_guard lock(m_mutex);
        m_jobs[Key{client, frame.id, frame.extended}] = job;
    }
    m_changed.notify_all();
    return bus.Transmit(frame, client, error); // the first send at once, as the broadcast manager does
}

bool cCyclicJobs::Update(uint64_t client, const SocketcandFrame& frame, std::string& error)
{
    cServedBus* bus = nullptr;
    bool once = false;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_jobs.find(Key{client, frame.id, frame.extended});
        if (it == m_jobs.end()) {
            error = JobName(frame);
            return false;
        }
        it->second.frame = frame;
        bus = it->second.bus;
        once = it->second.period == Clock::duration::zero();
    }
    return !once || bus->Transmit(frame, client, error);
}

bool cCyclicJobs::Delete(uint64_t client, const SocketcandFrame& id, std::string& error)
{
    std::lock_guard lock(m_mutex);
    if (m_jobs.erase(Key{client, id.id, id.extended}) == 0) {
        error = JobName(id);
        return false;
    }
    return true;
}

void cCyclicJobs::RemoveAll(uint64_t client)
{
    std::unique_lock lock(m_mutex);
    auto first = m_jobs.lower_bound(Key{client, 0, false});
    auto last = m_jobs.lower_bound(Key{client + 1, 0, false});
    m_jobs.erase(first, last);
    m_sent.wait(lock, [&] { return m_sendingFor != client; });
}

void cCyclicJobs::Run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        Clock::time_point now = Clock::now();
        Clock::time_point earliest = Clock::time_point::max();
        for (auto& [key, job] : m_jobs) {
            if (job.period == Clock::duration::zero()) {
                continue;
            }
            if (job.next <= now) {
                cServedBus* bus = job.bus;
                SocketcandFrame frame = job.frame;
                uint64_t client = std::get<0>(key);
                job.next += job.period;
                if (job.next <= now) {
                    job.next = now + job.period; // a whole period behind: skip, do not burst
                }
                // Sent unlocked, so a client's command never waits for a bus. The map may change
                // meanwhile: the scan starts again.
                m_sendingFor = client;
                lock.unlock();
                std::string error;
                bus->Transmit(frame, client,
                              error); // a refusal (queue full for 500 ms) is retried next period
                lock.lock();
                m_sendingFor = 0;
                m_sent.notify_all();
                earliest = Clock::time_point::min();
                break;
            }
            earliest = std::min(earliest, job.next);
        }
        if (earliest == Clock::time_point::min()) {
            continue;
        }
        if (earliest == Clock::time_point::max()) {
            m_changed.wait(lock);
        } else {
            m_changed.wait_until(lock, earliest);
        }
    }
}
