// BCM mode's cyclic transmissions ("< add SECS USECS ID DLC DATA >"), for all clients of a server, on
// one thread of their own. A job is sent on its bus every period, each time counted from the first
// (absolute deadlines), so the period holds without drifting; a job that fell a whole period behind (its
// bus was busy) skips the sends it missed instead of bursting. A job with period 0 is sent once, and once
// again on each update. Jobs belong to a client and end with it.
//
// Fair between jobs and clients: the due jobs are sent in the order of their deadlines, so a job that
// asks for more than the bus carries cannot starve another one, and no period is shorter than its
// frame's time on the wire at the bus's rate (a 1 µs period becomes about 0.5 ms at 125 kbit/s). A
// client has at most kMostJobsPerClient jobs: socketcand's broadcast manager is bounded by its socket's
// memory too, and more jobs than that at any period ask for more than a bus carries.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "SocketcandProtocol.h"

class cServedBus;

class cCyclicJobs
{
public:
    static constexpr size_t kMostJobsPerClient = 256;

    cCyclicJobs();
    ~cCyclicJobs(); // stops the thread

    cCyclicJobs(const cCyclicJobs&) = delete;
    cCyclicJobs& operator=(const cCyclicJobs&) = delete;

    // A new job, or one that replaces the client's job for the same id. False with error when the
    // client has kMostJobsPerClient jobs already, or when the first send fails.
    bool Add(uint64_t client, cServedBus& bus, const SocketcandFrame& frame, SocketcandTime period,
             std::string& error);
    // New content for the client's job on the frame's id; its timing stays. False with error when
    // there is no such job or its send fails.
    bool Update(uint64_t client, const SocketcandFrame& frame, std::string& error);
    bool Delete(uint64_t client, const SocketcandFrame& id, std::string& error);
    // When it returns, none of the client's jobs is sent any more.
    void RemoveAll(uint64_t client);

private:
    using Clock = std::chrono::steady_clock;
    using Key = std::tuple<uint64_t, uint32_t, bool>; // client, id, extended

    struct Job
    {
        cServedBus* bus;
        SocketcandFrame frame;
        Clock::duration period; // zero: not repeated
        Clock::time_point next;
    };
    using Deadline = std::pair<Clock::time_point, Key>;

    void Run();
    // Under m_mutex: drops the key's job and its deadline.
    void EraseLocked(std::map<Key, Job>::iterator job);

    // All touched by the clients' threads and the job thread, under m_mutex. m_changed wakes the job
    // thread for a new deadline or the stop; m_sent wakes RemoveAll once the job thread's send for its
    // client (m_sendingFor, 0 for none) is over, so no job of a gone client is sent after it returned.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::condition_variable m_sent;
    std::map<Key, Job> m_jobs;
    std::set<Deadline> m_deadlines; // of the repeated jobs in m_jobs, earliest first
    uint64_t m_sendingFor = 0;
    bool m_stopping = false;
    std::thread m_thread; // started by the constructor, joined by the destructor
};
