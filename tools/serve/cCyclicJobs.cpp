#include "cCyclicJobs.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "CanWireTime.h"

#include "cServedBus.h"

namespace {

// The period asked for, but at least the frame's time on the wire at the bus's rate: a shorter one
// asks for more than the bus carries. Zero (sent once) stays zero.
std::chrono::steady_clock::duration Period(SocketcandTime time, const SocketcandFrame& frame,
                                           uint32_t kbitPerSecond)
{
    // Longer periods are as good as never, and their nanoseconds would overflow the clock.
    constexpr uint64_t kLongestPeriodSeconds = 1000000000;
    std::chrono::steady_clock::duration asked =
        std::chrono::seconds(std::min(time.seconds, kLongestPeriodSeconds)) +
        std::chrono::microseconds(time.microseconds);
    if (asked == std::chrono::steady_clock::duration::zero()) {
        return asked;
    }
    BusFrame wire;
    wire.id = frame.id;
    wire.extended = frame.extended;
    wire.length = frame.length;
    std::copy(frame.data.begin(), frame.data.begin() + frame.length, wire.data);
    std::chrono::nanoseconds floor(CanWireNanoseconds(CanWireBits(wire), kbitPerSecond));
    return std::max<std::chrono::steady_clock::duration>(asked, floor);
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
    Job job{&bus, frame, Period(period, frame, bus.KbitPerSecond()), now};
    job.next = now + job.period;
    Key key{client, frame.id, frame.extended};
    {
        std::lock_guard lock(m_mutex);
        auto existing = m_jobs.find(key);
        if (existing != m_jobs.end()) {
            EraseLocked(existing);
        } else if (std::distance(m_jobs.lower_bound(Key{client, 0, false}),
                                 m_jobs.lower_bound(Key{client + 1, 0, false})) >=
                   static_cast<ptrdiff_t>(kMostJobsPerClient)) {
            error = "at most " + std::to_string(kMostJobsPerClient) +
                    " cyclic jobs per connection: delete one first";
            return false;
        }
        m_jobs.emplace(key, job);
        if (job.period != Clock::duration::zero()) {
            m_deadlines.emplace(job.next, key);
        }
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
    auto it = m_jobs.find(Key{client, id.id, id.extended});
    if (it == m_jobs.end()) {
        error = JobName(id);
        return false;
    }
    EraseLocked(it);
    return true;
}

void cCyclicJobs::RemoveAll(uint64_t client)
{
    std::unique_lock lock(m_mutex);
    auto it = m_jobs.lower_bound(Key{client, 0, false});
    while (it != m_jobs.end() && std::get<0>(it->first) == client) {
        EraseLocked(it++);
    }
    m_sent.wait(lock, [&] { return m_sendingFor != client; });
}

void cCyclicJobs::EraseLocked(std::map<Key, Job>::iterator job)
{
    if (job->second.period != Clock::duration::zero()) {
        m_deadlines.erase(Deadline{job->second.next, job->first});
    }
    m_jobs.erase(job);
}

// The job with the earliest deadline goes first; its next deadline goes back into the order.
void cCyclicJobs::Run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_deadlines.empty()) {
            m_changed.wait(lock);
            continue;
        }
        auto [due, key] = *m_deadlines.begin();
        Clock::time_point now = Clock::now();
        if (due > now) {
            m_changed.wait_until(lock, due);
            continue;
        }
        m_deadlines.erase(m_deadlines.begin());
        Job& job = m_jobs.at(key);
        job.next += job.period;
        if (job.next <= now) {
            job.next = now + job.period; // a whole period behind: skip, do not burst
        }
        m_deadlines.emplace(job.next, key);
        cServedBus* bus = job.bus;
        SocketcandFrame frame = job.frame;
        uint64_t client = std::get<0>(key);
        // Sent unlocked, so a client's command never waits for a bus.
        m_sendingFor = client;
        lock.unlock();
        std::string error;
        bus->Transmit(frame, client, error); // a refusal (queue full for 500 ms) is retried next period
        lock.lock();
        m_sendingFor = 0;
        m_sent.notify_all();
    }
}
