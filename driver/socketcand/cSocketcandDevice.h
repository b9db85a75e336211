// A device mapped to a bus of a socketcand server (SocketcandAddress.h): one TCP connection, and a
// library thread per started queue that reads it and calls the registered receive function.
//
// - Opening: connects (giving up after kConnectTimeoutMs), then < hi >, < open BUS >, < ok >,
//   < rawmode >, < ok >, each answer awaited kAnswerTimeoutMs at most, and < echo > to start the raw
//   stream at once. A refusal (< error ... >) is the device's error, with the server's words.
// - Reception: in raw mode the server sends every frame of its bus but our own (servers do not echo a
//   client's frames, so unlike the other kinds this one does not receive itself) as
//   < frame ID SECS.USECS DATA >; the timestamp handed on is that time in ms (32 bits, wrapping), the
//   server's receive time as SocketCAN's is the kernel's. Frames that came before the queue started are
//   discarded when it starts. Error frames (< error CLASS SECS.USECS [DETAILS] >) go to the error
//   function in SocketCAN's form, stamped as frames are; what they say of the controller's state and
//   counters is BusState(), unknown until one says it (socketcand's carry no details, so only bus-off
//   and restarts tell; can-serve's carry them all). Everything the server sends is
//   input: the splitter keeps at most one message of kSocketcandMaxMessageBytes; a malformed message,
//   or a frame the protocol cannot carry, is dropped and counted as a drop, never delivered.
// - Drops: a queue whose function falls behind is bounded by the TCP buffers: the server, not this
//   device, then decides what to drop (can-serve says "< error 12 frames dropped: ... >", counted here).
//   Other < error ... > lines (a send the server refused) are passed over: nothing ties them to a call.
//   The depth passed to StartQueue is checked but not used.
// - Transmit: < send ID LEN BYTES >. A connection that takes no data for kTransmitWaitMs refuses the
//   frame; one that took only part of a line is broken for good, since the server would misread the
//   rest. Remote frames are refused: socketcand's send has no way to say one.
// - Bit rate: the protocol does not tell the server's rate. Every rate the driver knows is accepted,
//   unless the mapping names the bus's rate (.../BUS@500): then any other rate is refused.
// - Loss: a connection that ends, fails or stops answering (cTcpStream's keepalive) is lost for good:
//   the receive thread stops reading, every later Transmit refuses with Fault()'s text "connection to
//   HOST:PORT/BUS lost: ...", and the tools show that text. Closing never waits for the server.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "SocketcandAddress.h"
#include "SocketcandProtocol.h"
#include "cDeliveryPacer.h"
#include "cDeviceFault.h"
#include "cReceivingDevice.h"
#include "cSocketcandSplitter.h"
#include "cTcpStream.h"

class cSocketcandDevice : public cReceivingDevice
{
public:
    static constexpr uint32_t kConnectTimeoutMs = 3000;
    static constexpr uint32_t kAnswerTimeoutMs = 3000;
    static constexpr uint32_t kTransmitWaitMs = 500;

    explicit cSocketcandDevice(SocketcandAddress address);
    ~cSocketcandDevice() override;

    cSocketcandDevice(const cSocketcandDevice&) = delete;
    cSocketcandDevice& operator=(const cSocketcandDevice&) = delete;

    // Connects and opens the bus in raw mode; on failure error says which step failed and why.
    bool Open(std::string& error);

    bool SetBitrate(uint32_t kbitPerSecond, std::string& why) override;
    bool Transmit(const CanMessageDescriptor& message, uint32_t waitMs, std::string& why) override;
    uint32_t DefaultTransmitWaitMs() const override { return kTransmitWaitMs; }
    void ResetCounters() override;
    DeviceCounters Counters() const override;
    DeviceBusState BusState() const override;
    std::string Fault() const override;

private:
    bool Handshake(std::string& error);
    // Sends one message; on failure, why says what happened (and a half-sent line loses the connection).
    bool SendMessage(const SocketcandMessage& message, uint32_t waitMs, std::string& why);
    // The next message during the handshake, read on the caller's thread.
    bool AwaitAnswer(const char* after, SocketcandMessage& answer, std::string& error);
    void ReceiveLoop() override;
    void WakeReceiveThread() override;
    void PrepareReception(uint32_t depth, bool onReceiveThread) override;
    // Reads what the connection holds now, without waiting, and forgets it.
    void DiscardPending();
    // Takes read bytes apart and hands on what they hold.
    void TakeBytes(const char* bytes, size_t size, bool deliver);
    void Take(std::string_view bytes);
    void TakeErrorFrame(const SocketcandMessage& message);
    void Lose(const std::string& reason);

    const SocketcandAddress m_address;
    std::unique_ptr<cTcpStream> m_stream; // from Open to the destructor

    // Holds the start of a message whose end has not come yet: touched by the caller in Open and
    // PrepareReception while no receive thread runs, else by the receive thread only.
    cSocketcandSplitter m_splitter;
    uint64_t m_splitterDrops = 0; // the splitter's drop count already added to m_dropped; as m_splitter
    cDeliveryPacer m_pacer;       // whether the server's frames come back to back, as m_splitter
    bool m_gatherNext = false;    // so that the next ones are read in a batch; as m_splitter

    std::mutex m_sending; // serialises SendMessage, so that two callers' lines never interleave

    cDeviceFault m_fault; // set by any thread that finds the connection gone

    std::atomic<uint64_t> m_dropped{0}; // written by the receive thread, reset by callers
    std::atomic<uint64_t> m_errorFrames{0};

    mutable std::mutex m_busStateLock; // guards m_busState: the receive thread writes, callers read
    DeviceBusState m_busState;
};
