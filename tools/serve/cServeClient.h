// One connection to can-serve, on a thread of its own: it greets, reads the client's messages, answers
// them, and writes the frames its bus hands it. A client that blocks in a send to the bus (a full
// transmit queue waits up to 500 ms) holds up only itself; a client that reads slowly loses frames in its
// own bounded queue (cOutboundQueue). Frames are written by the bus's receive thread at once when nothing
// is queued, so a frame costs no thread switch on its way out.
//
// python-can 4.1 reads each handshake reply with one recv and compares it whole, so after the "< ok >"
// to "< rawmode >" the raw stream is held back until the client's next message, or kStreamGrace at the
// latest; frames received meanwhile are queued, not lost. A client that wants the stream at once sends
// "< echo >" after that "< ok >".
//
// Limits, so that no client wears the server down: a connection that has not opened a bus within
// kOpeningDeadline is told so and closed, giving its slot back; a client has at most
// kMostSubscriptions subscriptions and filters (every standard id once) and cCyclicJobs's jobs, and
// past them the command is answered "< error ... >" and the connection stays. Once the client has
// hung up, the jobs it made end at once (a transmit blocks for 500 ms at most, and the hang-up is
// looked for between commands, not only after the commands still buffered are done).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "SocketcandProtocol.h"
#include "cOutboundQueue.h"
#include "cServedBus.h"
#include "cSocketcandSplitter.h"

class cCyclicJobs;

class cServeClient
{
public:
    static constexpr auto kStreamGrace = std::chrono::milliseconds(200);
    static constexpr auto kOpeningDeadline = std::chrono::seconds(5);
    static constexpr size_t kMostSubscriptions = 2048;

    // Takes socket (connected, non-blocking). id is unique in the process and not 0. endedWake (an
    // eventfd) is written when the client has ended and may be destroyed without waiting.
    cServeClient(int socket, uint64_t id, std::string peer, const std::vector<cServedBus*>& buses,
                 cCyclicJobs& jobs, int endedWake);
    ~cServeClient(); // ends the connection and joins the thread

    cServeClient(const cServeClient&) = delete;
    cServeClient& operator=(const cServeClient&) = delete;

    // Ends the connection soon; the thread then cleans up.
    void Stop();
    bool Ended() const { return m_ended.load(); }

    // On the bus's receive thread, with the bus's lock held.
    void OnBusFrame(const ServedFrame& frame);
    // The same for an error frame's message: raw mode only, where socketcand sends them.
    void OnBusErrorFrame(std::string_view message);

private:
    enum class Mode
    {
        NoBus,
        Bcm,
        Raw,
    };

    // A BCM receive job: "< subscribe >" (no mask) or "< filter >" (mask).
    struct Subscription
    {
        std::chrono::steady_clock::duration throttle{};
        bool filtered = false;
        SocketcandFrame mask;
        SocketcandFrame last; // content of the last frame delivered
        bool delivered = false;
        std::chrono::steady_clock::time_point deliveredAt{};
    };
    using SubscriptionKey = std::tuple<uint32_t, bool>;

    void Run();
    void Serve();
    // Waits for the socket or a wake; returns false when the connection is gone. readable tells whether
    // the client sent something.
    bool WaitForWork(bool readCommands, bool& readable);
    bool ReadCommands();
    // When a connection that has not opened a bus is closed; max once it has opened one.
    std::chrono::steady_clock::time_point OpeningDeadline();
    // Whether the client has hung up (looked at every kHangUpLook at most); its jobs end then.
    bool HungUp();
    void Subscribe(const SocketcandMessage& message);
    void Handle(std::string_view bytes);
    void HandleWithoutBus(const SocketcandMessage& message);
    void HandleBcm(const SocketcandMessage& message);
    void HandleRaw(const SocketcandMessage& message);
    void Send(const SocketcandFrame& frame);
    void Reply(const SocketcandMessage& message);
    void ReplyError(const std::string& text);
    void SetMode(Mode mode);
    void ReleaseStream();
    void FlushLocked();
    bool Deliverable(const ServedFrame& frame, std::chrono::steady_clock::time_point now);
    void Wake();
    void WakeLocked();

    const int m_socket;       // owned; closed by the destructor
    const std::string m_peer; // "address:port", for the log
    const std::vector<cServedBus*>& m_buses;
    cCyclicJobs& m_jobs;
    const int m_endedWake;
    const uint64_t m_id; // unique in this process, never 0
    int m_wake = -1;     // eventfd: more to write, or Stop

    // Only the client thread touches these.
    cSocketcandSplitter m_splitter;
    cServedBus* m_bus = nullptr;
    bool m_closeAfterReply = false;
    std::chrono::steady_clock::time_point m_heldSince{};
    const std::chrono::steady_clock::time_point m_connectedAt = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point m_hangUpLookedAt{};
    bool m_hungUp = false;

    // Touched by the client thread and the bus's receive thread, under m_mutex.
    std::mutex m_mutex;
    cOutboundQueue m_queue;
    Mode m_mode = Mode::NoBus;
    bool m_held = false;        // the raw stream waits for the client's next message
    bool m_broken = false;      // a write failed: the connection is gone
    bool m_wakePending = false; // m_wake written and not yet drained
    uint64_t m_malformed = 0;   // messages refused, for the log
    std::map<SubscriptionKey, Subscription> m_subscriptions;

    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_ended{false};
    std::thread m_thread; // started by the constructor, joined by the destructor
};
