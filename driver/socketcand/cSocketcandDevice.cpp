#include "cSocketcandDevice.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "BusPlatform.h"
#include "DebugOutputLine.h"
#include "ErrorFrameState.h"
#include "ErrorFrames.h"
#include "FrameRules.h"

namespace {

// A waiting receive thread looks at its stop flag at least this often, even if a wake-up were lost.
constexpr uint32_t kIdleWakeMs = 100;
constexpr size_t kReadBytes = 16 * 1024;
// How long the thread lets frames gather while the server's come back to back (cDeliveryPacer).
constexpr uint32_t kGatherMs = 1;
// Reading what came before a queue started stops after this much, so that a flooding server cannot keep
// StartQueue busy: what is left is then taken as new.
constexpr size_t kDiscardLimitBytes = 4 * 1024 * 1024;

uint32_t TimestampMilliseconds(const SocketcandTime& time)
{
    return static_cast<uint32_t>(time.seconds * 1000 + time.microseconds / 1000);
}

CanMessageDescriptor MessageFromFrame(const SocketcandFrame& frame, const SocketcandTime& time)
{
    CanMessageDescriptor message{};
    message.extended = frame.extended ? 1 : 0;
    message.id = frame.id;
    message.length = frame.length;
    message.timestamp = TimestampMilliseconds(time);
    std::copy(frame.data.begin(), frame.data.begin() + frame.length, message.data);
    return message;
}

// How many frames a server's "< error N frames dropped... >" says it dropped for us (can-serve's word
// to a client that reads too slowly); 0 for any other complaint.
uint64_t FramesDroppedIn(const std::string& text)
{
    constexpr std::string_view kDropped = " frames dropped";
    size_t digits = 0;
    while (digits < text.size() && digits < 12 && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    if (digits == 0 || text.compare(digits, kDropped.size(), kDropped) != 0) {
        return 0;
    }
    return std::stoull(text.substr(0, digits));
}

SocketcandMessage Command(SocketcandKind kind, std::string text = {})
{
    SocketcandMessage message;
    message.kind = kind;
    message.text = std::move(text);
    return message;
}

} // namespace

cSocketcandDevice::cSocketcandDevice(SocketcandAddress address) : m_address(std::move(address)) {}

cSocketcandDevice::~cSocketcandDevice()
{
    EndReceiveThreadForGood();
}

bool cSocketcandDevice::Open(std::string& error)
{
    m_stream = cTcpStream::Connect(m_address.host, m_address.port, kConnectTimeoutMs, error);
    if (!m_stream) {
        error += "; is the server running, and does it listen on that address?";
        return false;
    }
    if (!Handshake(error)) {
        error = m_address.Describe() + ": " + error;
        return false;
    }
    return true;
}

bool cSocketcandDevice::Handshake(std::string& error)
{
    SocketcandMessage answer;
    if (!AwaitAnswer("connecting", answer, error)) {
        return false;
    }
    if (answer.kind == SocketcandKind::Error) {
        error = "the server refused the connection: " + answer.text;
        return false;
    }
    if (answer.kind != SocketcandKind::Hi) {
        error = "the server did not greet with < hi > (is it a socketcand server?)";
        return false;
    }
    const std::pair<SocketcandKind, const char*> steps[] = {
        {SocketcandKind::Open, "< open >"},
        {SocketcandKind::RawMode, "< rawmode >"},
    };
    for (const auto& [kind, name] : steps) {
        std::string why;
        if (!SendMessage(Command(kind, kind == SocketcandKind::Open ? m_address.bus : ""), kTransmitWaitMs,
                         why)) {
            error = std::string("sending ") + name + ": " + why;
            return false;
        }
        if (!AwaitAnswer(name, answer, error)) {
            return false;
        }
        if (answer.kind == SocketcandKind::Error) {
            error = std::string("the server refused ") + name + ": " + answer.text;
            return false;
        }
        if (answer.kind != SocketcandKind::Ok) {
            error = std::string("the server answered ") + name + " with something other than < ok >";
            return false;
        }
    }
    // A server that cannot tell whether the < ok > went out in a read of its own (python-can's client
    // needs that) may hold the raw stream back until the client speaks again: the echo, whose answer
    // the receive thread passes over, starts it at once.
    std::string why;
    if (!SendMessage(Command(SocketcandKind::Echo), kTransmitWaitMs, why)) {
        error = "sending < echo >: " + why;
        return false;
    }
    return true;
}

bool cSocketcandDevice::AwaitAnswer(const char* after, SocketcandMessage& answer, std::string& error)
{
    const uint64_t deadline = MonotonicNanoseconds() / 1000000 + kAnswerTimeoutMs;
    std::array<char, kReadBytes> buffer;
    bool answered = false;
    for (;;) {
        uint64_t now = MonotonicNanoseconds() / 1000000;
        if (now >= deadline ||
            m_stream->WaitReadable(static_cast<uint32_t>(deadline - now)) == cTcpStream::Wait::TimedOut) {
            error = std::string("no answer after ") + after + " within " + std::to_string(kAnswerTimeoutMs) +
                    " ms";
            return false;
        }
        long count = m_stream->Read(buffer.data(), buffer.size(), error);
        if (count == 0) {
            error = std::string("the server closed the connection after ") + after;
        }
        if (count == 0 || count == -1) {
            return false;
        }
        // The server says nothing unasked before the raw stream starts, and what comes after the answer
        // that starts it was received before any queue started: only the first message counts.
        m_splitter.Feed(std::string_view(buffer.data(), static_cast<size_t>(std::max(count, 0L))),
                        [&](std::string_view message) {
                            if (!answered) {
                                answered = ParseSocketcandMessage(message, answer).empty();
                            }
                        });
        if (answered) {
            return true;
        }
    }
}

bool cSocketcandDevice::SendMessage(const SocketcandMessage& message, uint32_t waitMs, std::string& why)
{
    std::string line = FormatSocketcandMessage(message);
    std::lock_guard<std::mutex> lock(m_sending);
    if (m_fault.Set()) {
        why = Fault();
        return false;
    }
    size_t sent = 0;
    cTcpStream::Sent outcome = m_stream->Send(line.data(), line.size(), waitMs, sent, why);
    if (outcome == cTcpStream::Sent::All) {
        return true;
    }
    if (outcome == cTcpStream::Sent::Failed || sent > 0) {
        Lose(sent > 0 ? "a message was cut short: " + why : why);
        why = Fault();
    }
    return false;
}

bool cSocketcandDevice::SetBitrate(uint32_t kbitPerSecond, std::string& why)
{
    if (!IsSupportedBitrate(kbitPerSecond)) {
        why = std::to_string(kbitPerSecond) + " kbit/s is not one of " + kSupportedBitratesText;
        return false;
    }
    if (m_address.kbitPerSecond != 0 && m_address.kbitPerSecond != kbitPerSecond) {
        why = "the bus " + m_address.Describe() + " runs at " + std::to_string(m_address.kbitPerSecond) +
              " kbit/s (as its mapping says), not at " + std::to_string(kbitPerSecond);
        return false;
    }
    return true;
}

bool cSocketcandDevice::Transmit(const CanMessageDescriptor& message, uint32_t waitMs, std::string& why)
{
    BusFrame frame;
    if (!FrameFromMessage(message, kDefaultBitrate, frame)) {
        why = "extended and remote must be 0 or 1, the id must fit its format, and a data frame has at "
              "most 8 bytes";
        return false;
    }
    if (frame.remote) {
        why = "socketcand cannot carry remote frames: its send has no way to say one";
        return false;
    }
    SocketcandFrame sending;
    sending.id = frame.id;
    sending.extended = frame.extended;
    sending.length = frame.length;
    std::copy(frame.data, frame.data + frame.length, sending.data.begin());
    return SendMessage(SocketcandSend(sending), waitMs, why);
}

void cSocketcandDevice::ResetCounters()
{
    m_received.store(0);
    m_dropped.store(0);
    m_errorFrames.store(0);
}

DeviceCounters cSocketcandDevice::Counters() const
{
    return DeviceCounters{m_received.load(), m_dropped.load(), m_errorFrames.load()};
}

DeviceBusState cSocketcandDevice::BusState() const
{
    std::lock_guard<std::mutex> lock(m_busStateLock);
    return m_busState;
}

std::string cSocketcandDevice::Fault() const
{
    return m_fault.Text();
}

void cSocketcandDevice::Lose(const std::string& reason)
{
    if (m_fault.SetOnce("connection to " + m_address.Describe() + " lost: " + reason)) {
        WriteDebugLine(m_fault.Text()); // the console's only sign that its bus is gone
    }
}

void cSocketcandDevice::WakeReceiveThread()
{
    if (m_stream) {
        m_stream->Wake();
    }
}

void cSocketcandDevice::PrepareReception(uint32_t, bool onReceiveThread)
{
    if (!onReceiveThread) {
        DiscardPending();
        m_pacer.Forget();
        m_gatherNext = false;
    }
}

void cSocketcandDevice::DiscardPending()
{
    std::array<char, kReadBytes> buffer;
    for (size_t discarded = 0; discarded < kDiscardLimitBytes && !m_fault.Set();) {
        if (m_stream->WaitReadable(0) != cTcpStream::Wait::Readable) {
            return;
        }
        std::string why;
        long count = m_stream->Read(buffer.data(), buffer.size(), why);
        if (count == 0 || count == -1) {
            Lose(count == 0 ? "the server closed the connection" : why);
            return;
        }
        if (count > 0) {
            TakeBytes(buffer.data(), static_cast<size_t>(count), false);
            discarded += static_cast<size_t>(count);
        }
    }
}

void cSocketcandDevice::ReceiveLoop()
{
    std::array<char, kReadBytes> buffer;
    while (!m_stopThread.load()) {
        if (m_fault.Set()) {
            m_stream->WaitForWake(kIdleWakeMs); // nothing more comes: wait to be stopped
            continue;
        }
        if (m_stream->WaitReadable(kIdleWakeMs) != cTcpStream::Wait::Readable) {
            continue; // timeout or wake-up: the loop's condition decides
        }
        std::string why;
        long count = m_stream->Read(buffer.data(), buffer.size(), why);
        if (count == 0 || count == -1) {
            Lose(count == 0 ? "the server closed the connection" : why);
        } else if (count > 0) {
            TakeBytes(buffer.data(), static_cast<size_t>(count), true);
            if (m_gatherNext) {
                // The bus is busy: the next frames gather meanwhile, and a wake-up ends the wait. The
                // stream waits in whole milliseconds, on Windows too.
                m_stream->WaitForWake(kGatherMs);
            }
        }
    }
}

void cSocketcandDevice::TakeBytes(const char* bytes, size_t size, bool deliver)
{
    m_splitter.Feed(std::string_view(bytes, size), [&](std::string_view message) {
        // After a stop from inside the function the rest of the read is not delivered, as frames that
        // came while the queue was stopped are not.
        if (deliver && !m_stopThread.load()) {
            Take(message);
        }
    });
    uint64_t dropped = m_splitter.DroppedMessages();
    if (deliver) {
        m_dropped.fetch_add(dropped - m_splitterDrops);
    }
    m_splitterDrops = dropped;
}

void cSocketcandDevice::Take(std::string_view bytes)
{
    SocketcandMessage message;
    if (!ParseSocketcandMessage(bytes, message).empty()) {
        m_dropped.fetch_add(1);
        return;
    }
    switch (message.kind) {
    case SocketcandKind::Frame:
        m_gatherNext =
            m_pacer.GatherNext(message.time.seconds * 1000000000u + message.time.microseconds * 1000u);
        Deliver(MessageFromFrame(message.frame, message.time));
        break;
    case SocketcandKind::ErrorFrame: TakeErrorFrame(message); break;
    case SocketcandKind::Error: m_dropped.fetch_add(FramesDroppedIn(message.text)); break;
    case SocketcandKind::Ok:
    case SocketcandKind::Echo: break;       // answers to nothing we wait for now
    default: m_dropped.fetch_add(1); break; // nothing a server sends in raw mode
    }
}

void cSocketcandDevice::TakeErrorFrame(const SocketcandMessage& message)
{
    m_errorFrames.fetch_add(1);
    uint8_t details[kSocketcandMaxData] = {};
    std::copy(message.frame.data.begin(), message.frame.data.end(), details);
    {
        std::lock_guard<std::mutex> lock(m_busStateLock);
        m_busState = BusStateAfterErrorFrame(m_busState, message.errorClass, details);
    }
    DeliverError(ErrorFrameMessage(message.errorClass, details, TimestampMilliseconds(message.time)));
}
