// A device mapped to a serial-line CAN adapter (SlcanAddress.h): its serial port, opened exclusively, and
// a library thread per started queue that reads it and calls the registered receive function.
//
// - Opening: opens the port and closes the adapter's channel (C), in case a program before left it open.
//   The adapter goes on the bus when a rate is set: CanSetBaudrate writes C, S0..S8, O, each in a write
//   of its own (some firmware reads only the first command of a USB packet), and waits for each answer
//   kAnswerWaitMs at most (kSilentPeerWaitMs once the peer has left one unanswered: the kernel's slcan,
//   python-can and a host on a null-modem cable never answer). A refusal (BEL) to S or O fails the call
//   with the reason; one to C is the answer of a channel that was not open.
// - Transmit: one line per frame, waiting the caller's time for room. An adapter that answered at open
//   answers frames too (z, Z, or an empty line): the call then waits for its frame's answer within the
//   same time, and a BEL (the adapter's queue full, or the bus off) refuses the frame. One whose frame
//   answer does not come in time is taken for one that does not answer frames, and not waited for again.
// - Reception: frames t, T, r, R with the adapter's time stamp when it gives one (cSlcanClock), else the
//   host's tick count. Adapters do not echo a host's own frames, so this device does not receive itself.
//   Frames that came before the queue started are discarded when it starts. Everything the port gives
//   is input: a malformed line, or one longer than any valid line, is dropped and counted as a drop;
//   error lines (e), non-zero status flags (F) and changes of state (s) go to the error function as
//   the kernel's slcan would report them in SocketCAN's form (SlcanErrorFrameOf), with the host's tick
//   count; a peer host's commands are skipped and counted (SkippedLines).
// - State: BusState() is what the latest status or state line said (a status line gives no counters:
//   0), unknown until one comes. The device never asks for F itself: a peer host on a null-modem cable
//   would take it for a command, and Lawicel's flags are interrupt flags that reading clears. The depth
//   passed to StartQueue is checked but not used: the port's buffers hold what the function has not taken
//   yet.
// - Loss: a port that fails or hangs up (the adapter unplugged) is lost for good: the receive thread
//   stops reading and every later call refuses with Fault()'s text "adapter on PORT went away: ...".
// - Closing writes C without waiting for an answer and gives unsent bytes cSerialPort::kDrainMs.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "SlcanAddress.h"
#include "SlcanProtocol.h"
#include "cDeviceFault.h"
#include "cReceivingDevice.h"
#include "cSerialPort.h"
#include "cSlcanClock.h"
#include "cSlcanSplitter.h"

class cSlcanDevice : public cReceivingDevice
{
public:
    static constexpr uint32_t kAnswerWaitMs = 100;
    static constexpr uint32_t kSilentPeerWaitMs = 20;
    static constexpr uint32_t kTransmitWaitMs = 500;

    explicit cSlcanDevice(SlcanAddress address);
    ~cSlcanDevice() override;

    cSlcanDevice(const cSlcanDevice&) = delete;
    cSlcanDevice& operator=(const cSlcanDevice&) = delete;

    // Opens the port; on failure error says why and what the user can do.
    bool Open(std::string& error);

    bool SetBitrate(uint32_t kbitPerSecond, std::string& why) override;
    bool Transmit(const CanMessageDescriptor& message, uint32_t waitMs, std::string& why) override;
    uint32_t DefaultTransmitWaitMs() const override { return kTransmitWaitMs; }
    void Close() override;
    void ResetCounters() override;
    DeviceCounters Counters() const override;
    DeviceBusState BusState() const override;
    std::string Fault() const override;
    // Lines that were neither frames nor answers: a peer host's commands, answers nothing waited for.
    uint64_t SkippedLines() const { return m_skipped.load(); }

private:
    enum class Answer
    {
        Done,
        Refused,
        None, // not within the wait
    };

    // Writes command and waits for its answer; false, with why, on a refusal or a lost port.
    bool Command(const std::string& command, bool refusalFails, std::string& why);
    // Writes one line after what is left of an earlier one. asks: the line awaits an answer, whose number
    // goes to ticket. False when none of the line went out.
    bool WriteLine(const std::string& line, uint32_t waitMs, bool asks, uint64_t& ticket, std::string& why);
    Answer AwaitAnswer(uint64_t ticket, uint32_t waitMs);
    // Reads what the port holds within waitMs, off the receive thread while none runs.
    void ReadOnce(uint32_t waitMs, bool deliver);
    void DiscardPending();
    void TakeBytes(std::string_view bytes, bool deliver);
    void CountSplitterDrops();
    void TakeLine(std::string_view bytes, bool deliver);
    void TakeErrorReport(const SlcanLine& line, bool deliver);
    void TakeAnswer(bool refused);
    void Lose(const std::string& reason);
    void ReceiveLoop() override;
    void WakeReceiveThread() override;
    void PrepareReception(uint32_t depth, bool onReceiveThread) override;

    const SlcanAddress m_address;
    std::unique_ptr<cSerialPort> m_port; // from Open to the destructor

    // Serialises reading the port and guards the fields below it: whoever reads (the receive thread, or a
    // caller waiting for an answer while no receive thread runs) parses what it read before letting go.
    std::mutex m_reading;
    cSlcanSplitter m_splitter;
    uint64_t m_splitterDrops = 0; // the splitter's drop count already added to m_dropped
    cSlcanClock m_clock;
    // The receive thread reads: callers wait for its answers instead. Written by the receive thread under
    // m_reading, read by callers without it.
    std::atomic<bool> m_receiverRunning{false};

    // Serialises writes, so that two callers' lines never interleave, and guards m_tail.
    std::mutex m_writing;
    std::string m_tail; // the end of a line the port did not take in time: it goes out first next time

    // Guards the answer bookkeeping: lines that await an answer get tickets 1, 2, ... in the order they
    // are written, and answers are given to them in the order they come.
    std::mutex m_answerLock;
    std::condition_variable m_answered;
    uint64_t m_asked = 0;
    uint64_t m_answers = 0;
    std::array<bool, 64> m_refusals{}; // whether answer n (mod 64) was a refusal
    bool m_peerSilent = false;         // a command went unanswered: wait kSilentPeerWaitMs only
    bool m_answersFrames = false;      // frames are answered, so Transmit waits for the answer

    std::mutex m_wakeLock; // guards nothing but m_woken, for the receive thread's wait after a loss
    std::condition_variable m_wake;
    bool m_woken = false;

    cDeviceFault m_fault; // set by any thread that finds the port gone

    std::atomic<uint64_t> m_dropped{0}; // written by readers, reset by callers
    std::atomic<uint64_t> m_errorFrames{0};
    std::atomic<uint64_t> m_skipped{0};

    mutable std::mutex m_busStateLock; // guards m_busState: readers of the port write, callers read
    DeviceBusState m_busState;
};
