// One TCP connection to a server, the same on Linux (BSD sockets, poll, an eventfd) and Windows
// (Winsock 2, WSAPoll, a loopback UDP socket): the only place where the socketcand client touches
// sockets. It moves bytes and never parses them.
//
// - Connecting gives up after its time limit, whichever address of the host it tries.
// - No added latency: TCP_NODELAY, so a short line goes out at once instead of after a delayed ACK.
// - A peer that vanishes without a word (cable pulled, machine off) is noticed by TCP keepalive probes
//   after about kDeadPeerSeconds of silence, and data it no longer acknowledges fails the connection
//   after as long (Linux: TCP_USER_TIMEOUT).
// - Wake ends a WaitReadable of another thread at once, so a receive thread can be stopped without
//   waiting for its timeout.
//
// Threads: one thread may wait and read while others send (sends are serialised by the caller) and any
// thread may Wake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class cTcpStream
{
public:
    static constexpr uint32_t kDeadPeerSeconds = 5;

    enum class Wait
    {
        Readable, // data, or the end of the stream: Read tells which
        Woken,
        TimedOut,
    };

    // Null, with error saying what failed, when no address of host answers within timeoutMs.
    static std::unique_ptr<cTcpStream> Connect(const std::string& host, uint16_t port, uint32_t timeoutMs,
                                               std::string& error);
    ~cTcpStream();

    cTcpStream(const cTcpStream&) = delete;
    cTcpStream& operator=(const cTcpStream&) = delete;

    enum class Sent
    {
        All,
        NoRoom, // the peer took no data for timeoutMs
        Failed, // the connection is broken; error says how
    };

    // Sends all size bytes, waiting at most timeoutMs for room. sent says how many went out, so that a
    // caller knows whether a refusal left half a message on the stream.
    Sent Send(const char* bytes, size_t size, uint32_t timeoutMs, size_t& sent, std::string& error);
    Wait WaitReadable(uint32_t timeoutMs);
    // Waits for Wake alone, at most timeoutMs: for a reader whose stream has ended.
    void WaitForWake(uint32_t timeoutMs);
    static constexpr long kNothingYet = -2;
    // Bytes read (> 0); 0 when the peer closed the stream; -1 on an error, said in error; kNothingYet
    // when a readable wait was not followed by data after all.
    long Read(char* buffer, size_t size, std::string& error);
    void Wake();

private:
    struct Handles;
    explicit cTcpStream(std::unique_ptr<Handles> handles);

    std::unique_ptr<Handles> m_handles; // the socket and the wake handle, owned
};
