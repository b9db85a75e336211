#include "cSlcanDevice.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

#include "BusPlatform.h"
#include "DebugOutputLine.h"
#include "ErrorFrames.h"
#include "FrameRules.h"

namespace {

// A waiting receive thread looks at its stop flag at least this often, even if a wake-up were lost.
constexpr uint32_t kIdleWakeMs = 100;
// A caller waiting for an answer looks again this often, in case the receive thread started or ended.
constexpr uint32_t kAnswerPollMs = 5;
constexpr size_t kReadBytes = 4096;
// Reading what came before a queue started stops after this much, so that a flooding adapter cannot
// keep StartQueue busy: what is left is then taken as new.
constexpr size_t kDiscardLimitBytes = 256 * 1024;

uint64_t NowMs()
{
    return MonotonicNanoseconds() / 1000000;
}

CanMessageDescriptor MessageFromSlcan(const SlcanFrame& slcan, uint32_t timestamp)
{
    BusFrame frame;
    frame.id = slcan.id;
    frame.extended = slcan.extended;
    frame.remote = slcan.remote;
    frame.length = slcan.length;
    std::copy(slcan.data.begin(), slcan.data.end(), frame.data);
    return MessageFromFrame(frame, timestamp, false);
}

} // namespace

cSlcanDevice::cSlcanDevice(SlcanAddress address) : m_address(std::move(address)) {}

cSlcanDevice::~cSlcanDevice()
{
    EndReceiveThreadForGood();
}

bool cSlcanDevice::Open(std::string& error)
{
    m_port = cSerialPort::Open(m_address.port, m_address.speed, error);
    if (!m_port) {
        return false;
    }
    // Answered or not, this tells whether the adapter answers commands.
    return Command(SlcanCommand('C'), false, error);
}

bool cSlcanDevice::SetBitrate(uint32_t kbitPerSecond, std::string& why)
{
    std::string rate = SlcanBitrateCommand(kbitPerSecond);
    if (!IsSupportedBitrate(kbitPerSecond) || rate.empty()) {
        why = std::to_string(kbitPerSecond) + " kbit/s is not one of " + kSupportedBitratesText;
        return false;
    }
    if (!Command(SlcanCommand('C'), false, why)) {
        return false;
    }
    if (!Command(rate, true, why)) {
        why = "the adapter on " + m_address.port + " refused " + std::to_string(kbitPerSecond) + " kbit/s (" +
              rate.substr(0, rate.size() - 1) + ")" + (why.empty() ? "" : ": " + why);
        return false;
    }
    if (!Command(SlcanCommand('O'), true, why)) {
        why = "the adapter on " + m_address.port + " refused to open its channel (O)" +
              (why.empty() ? "" : ": " + why);
        return false;
    }
    return true;
}

// why stays empty on a refusal, for the caller to name what was refused.
bool cSlcanDevice::Command(const std::string& command, bool refusalFails, std::string& why)
{
    uint64_t ticket = 0;
    if (!WriteLine(command, kTransmitWaitMs, true, ticket, why)) {
        return false;
    }
    if (OnReceiveThread()) {
        return true; // the answer comes to this thread, after the function returns
    }
    uint32_t waitMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_answerLock);
        waitMs = m_peerSilent ? kSilentPeerWaitMs : kAnswerWaitMs;
    }
    Answer answer = AwaitAnswer(ticket, waitMs);
    if (m_fault.Set()) {
        why = Fault();
        return false;
    }
    std::lock_guard<std::mutex> lock(m_answerLock);
    if (answer == Answer::None) {
        m_peerSilent = true; // not required: the kernel's slcan and python-can never wait for one
        return true;
    }
    m_peerSilent = false;
    m_answersFrames = true;
    return answer == Answer::Done || !refusalFails;
}

bool cSlcanDevice::Transmit(const CanMessageDescriptor& message, uint32_t waitMs, std::string& why)
{
    BusFrame frame;
    if (!FrameFromMessage(message, kDefaultBitrate, frame)) {
        why = "extended and remote must be 0 or 1, the id must fit its format, and a data frame has at "
              "most 8 bytes";
        return false;
    }
    SlcanFrame sending;
    sending.id = frame.id;
    sending.extended = frame.extended;
    sending.remote = frame.remote;
    sending.length = frame.length;
    std::copy(frame.data, frame.data + (frame.remote ? 0 : frame.length), sending.data.begin());
    const uint64_t start = NowMs();
    bool asks = false;
    {
        std::lock_guard<std::mutex> lock(m_answerLock);
        asks = m_answersFrames;
    }
    uint64_t ticket = 0;
    if (!WriteLine(FormatSlcanFrame(sending), waitMs, asks, ticket, why)) {
        return false;
    }
    if (!asks || OnReceiveThread()) {
        return true;
    }
    uint64_t spent = NowMs() - start;
    Answer answer = AwaitAnswer(ticket, spent < waitMs ? static_cast<uint32_t>(waitMs - spent) : 0);
    if (answer == Answer::Refused) {
        why = "the adapter on " + m_address.port +
              " refused the frame (BEL): its transmit queue is full, or it is off the bus";
        return false;
    }
    if (answer == Answer::None && m_fault.Set()) {
        why = Fault();
        return false;
    }
    if (answer == Answer::None && waitMs > 0) {
        std::lock_guard<std::mutex> lock(m_answerLock);
        m_answersFrames = false; // commands only: do not hold every frame up for an answer that never comes
    }
    return true;
}

bool cSlcanDevice::WriteLine(const std::string& line, uint32_t waitMs, bool asks, uint64_t& ticket,
                             std::string& why)
{
    std::lock_guard<std::mutex> lock(m_writing);
    if (m_fault.Set()) {
        why = Fault();
        return false;
    }
    if (asks) {
        std::lock_guard<std::mutex> answers(m_answerLock);
        ticket = ++m_asked; // before the line goes out, so that a quick answer finds its ticket
    }
    std::string bytes = m_tail + line;
    size_t written = 0;
    cSerialPort::Sent outcome = m_port->Write(bytes.data(), bytes.size(), waitMs, written, why);
    if (outcome == cSerialPort::Sent::Failed) {
        Lose(why);
        why = Fault();
        return false;
    }
    bool lineStarted = written > m_tail.size();
    m_tail = bytes.substr(written);
    if (!lineStarted) {
        m_tail.resize(m_tail.size() - std::min(m_tail.size(), line.size()));
        if (asks) {
            std::lock_guard<std::mutex> answers(m_answerLock);
            --m_asked; // nothing of it went out: no answer comes
        }
    }
    return lineStarted;
}

cSlcanDevice::Answer cSlcanDevice::AwaitAnswer(uint64_t ticket, uint32_t waitMs)
{
    const uint64_t deadline = NowMs() + waitMs;
    for (;;) {
        bool readerRuns = m_receiverRunning.load();
        {
            std::unique_lock<std::mutex> lock(m_answerLock);
            if (m_answers >= ticket) {
                return m_refusals[(ticket - 1) % m_refusals.size()] ? Answer::Refused : Answer::Done;
            }
            uint64_t now = NowMs();
            if (now >= deadline || m_fault.Set()) {
                m_answers = std::max(m_answers, ticket); // a late answer is not taken for a later line's
                return Answer::None;
            }
            uint32_t step = static_cast<uint32_t>(std::min<uint64_t>(deadline - now, kAnswerPollMs));
            if (readerRuns) {
                m_answered.wait_for(lock, std::chrono::milliseconds(step),
                                    [&] { return m_answers >= ticket || m_fault.Set(); });
                continue;
            }
        }
        ReadOnce(kAnswerPollMs, false);
    }
}

void cSlcanDevice::ReadOnce(uint32_t waitMs, bool deliver)
{
    cSerialPort::Wait wait = m_port->WaitReadable(waitMs);
    if (wait != cSerialPort::Wait::Readable) {
        return;
    }
    std::array<char, kReadBytes> buffer;
    // Off the receive thread, never wait for the lock: the receive thread may hold it while its function
    // waits for this very thread (the console's does).
    std::unique_lock<std::mutex> lock(m_reading, std::defer_lock);
    if (deliver) {
        lock.lock();
    } else if (m_receiverRunning.load() || !lock.try_lock() || m_receiverRunning.load()) {
        // The receive thread reads, and delivers; or another caller reads, and takes the answers.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    std::string why;
    long count = m_port->Read(buffer.data(), buffer.size(), why);
    if (count < 0) {
        Lose(why);
        return;
    }
    TakeBytes(std::string_view(buffer.data(), static_cast<size_t>(count)), deliver);
}

// Caller holds m_reading.
void cSlcanDevice::TakeBytes(std::string_view bytes, bool deliver)
{
    m_splitter.Feed(bytes, [&](std::string_view line) {
        CountSplitterDrops(); // before a frame behind them is delivered
        TakeLine(line, deliver && !m_stopThread.load());
    });
    CountSplitterDrops();
}

// Caller holds m_reading.
void cSlcanDevice::CountSplitterDrops()
{
    uint64_t drops = m_splitter.DroppedLines();
    m_dropped.fetch_add(drops - m_splitterDrops);
    m_splitterDrops = drops;
}

// Caller holds m_reading.
void cSlcanDevice::TakeLine(std::string_view bytes, bool deliver)
{
    SlcanLine line;
    if (!ParseSlcanLine(bytes, line).empty()) {
        m_dropped.fetch_add(1);
        return;
    }
    switch (line.kind) {
    case SlcanKind::Frame:
        if (deliver) {
            Deliver(MessageFromSlcan(line.frame, m_clock.Timestamp(line.stamp, MonotonicNanoseconds() / 1000,
                                                                   MillisecondTicks())));
        }
        break;
    case SlcanKind::Done:
    case SlcanKind::Sent: TakeAnswer(false); break;
    case SlcanKind::Refused: TakeAnswer(true); break;
    case SlcanKind::Status:
    case SlcanKind::Error:
    case SlcanKind::State: TakeErrorReport(line, deliver); break;
    case SlcanKind::Version:
    case SlcanKind::Serial: break;
    case SlcanKind::Command: m_skipped.fetch_add(1); break;
    }
}

// Caller holds m_reading.
void cSlcanDevice::TakeErrorReport(const SlcanLine& line, bool deliver)
{
    bool stateChanged = true;
    if (std::optional<SlcanControllerState> reported = SlcanReportedState(line)) {
        std::lock_guard<std::mutex> lock(m_busStateLock);
        uint32_t state = static_cast<uint32_t>(reported->state);
        stateChanged = state != m_busState.state;
        m_busState = {state, reported->transmitErrors, reported->receiveErrors};
    }
    std::optional<SlcanErrorFrame> report = SlcanErrorFrameOf(line);
    // A state line repeats the state with new counters: only a change is an error frame.
    if (!report || (line.kind == SlcanKind::State && !stateChanged)) {
        return;
    }
    m_errorFrames.fetch_add(1);
    if (deliver) {
        uint8_t details[8] = {};
        std::copy(report->data.begin(), report->data.end(), details);
        DeliverError(
            ErrorFrameMessage(report->classBits, details, MillisecondTicks())); // lines carry no stamp
    }
}

DeviceBusState cSlcanDevice::BusState() const
{
    std::lock_guard<std::mutex> lock(m_busStateLock);
    return m_busState;
}

void cSlcanDevice::TakeAnswer(bool refused)
{
    {
        std::lock_guard<std::mutex> lock(m_answerLock);
        if (m_answers == m_asked) {
            m_skipped.fetch_add(1); // nothing waits for it (its line was given up on)
            return;
        }
        m_refusals[m_answers % m_refusals.size()] = refused;
        ++m_answers;
    }
    m_answered.notify_all();
}

void cSlcanDevice::Close()
{
    cReceivingDevice::Close();
    if (!OnReceiveThread() && m_port && !m_fault.Set()) {
        uint64_t ignored = 0;
        std::string why;
        WriteLine(SlcanCommand('C'), cSerialPort::kDrainMs, false, ignored, why); // off the bus
    }
}

void cSlcanDevice::ResetCounters()
{
    m_received.store(0);
    m_dropped.store(0);
    m_errorFrames.store(0);
}

DeviceCounters cSlcanDevice::Counters() const
{
    return DeviceCounters{m_received.load(), m_dropped.load(), m_errorFrames.load()};
}

std::string cSlcanDevice::Fault() const
{
    return m_fault.Text();
}

void cSlcanDevice::Lose(const std::string& reason)
{
    if (m_fault.SetOnce("adapter on " + m_address.port + " went away: " + reason)) {
        m_answered.notify_all();        // a caller waiting for an answer stops waiting
        WriteDebugLine(m_fault.Text()); // the console's only sign that its adapter is gone
    }
}

void cSlcanDevice::WakeReceiveThread()
{
    if (m_port) {
        m_port->Wake();
    }
    {
        std::lock_guard<std::mutex> lock(m_wakeLock);
        m_woken = true;
    }
    m_wake.notify_all();
}

void cSlcanDevice::PrepareReception(uint32_t, bool onReceiveThread)
{
    if (!onReceiveThread) {
        DiscardPending();
    }
}

void cSlcanDevice::DiscardPending()
{
    std::array<char, kReadBytes> buffer;
    std::lock_guard<std::mutex> lock(m_reading);
    for (size_t discarded = 0; discarded < kDiscardLimitBytes && !m_fault.Set();) {
        if (m_port->WaitReadable(0) != cSerialPort::Wait::Readable) {
            return;
        }
        std::string why;
        long count = m_port->Read(buffer.data(), buffer.size(), why);
        if (count < 0) {
            Lose(why);
        }
        if (count <= 0) {
            return;
        }
        TakeBytes(std::string_view(buffer.data(), static_cast<size_t>(count)), false);
        discarded += static_cast<size_t>(count);
    }
}

void cSlcanDevice::ReceiveLoop()
{
    {
        std::lock_guard<std::mutex> lock(m_reading);
        m_receiverRunning.store(true);
    }
    while (!m_stopThread.load()) {
        if (m_fault.Set()) {
            // Nothing more comes: wait to be stopped.
            std::unique_lock<std::mutex> lock(m_wakeLock);
            m_wake.wait_for(lock, std::chrono::milliseconds(kIdleWakeMs), [this] { return m_woken; });
            m_woken = false;
            continue;
        }
        ReadOnce(kIdleWakeMs, true);
    }
    {
        std::lock_guard<std::mutex> lock(m_reading);
        m_receiverRunning.store(false);
    }
}
