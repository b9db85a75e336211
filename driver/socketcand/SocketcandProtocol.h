// socketcand's ASCII protocol: one message between '<' and '>', words separated by blanks. Pure
// functions over bytes, shared by the driver's client and the can-serve daemon, so that both are tested
// and fuzzed without a socket. cSocketcandSplitter cuts a byte stream into messages.
//
//   < hi >  < ok >  < echo >  < rawmode >  < bcmmode >          no arguments
//   < open can0 >                                              bus name, 1 to 16 printable characters
//   < error could not open bus >                               a refusal, any words
//   < error 004 23.424242 >                                    an error frame: class (hex), time
//   < error 004 23.424242 0004000000000000 >                   ... and its 8 detail bytes (can-serve)
//   < send 123 4 11 22 33 44 >                                 id, length (hex digit), that many bytes
//   < send 1AAAAAAA 2 1 F1 >                                   bytes of one or two hex digits
//   < frame 123 23.424242 11223344 >                           id, time SECS.USECS, data
//   < frame 123 23.424242 11 22 33 44 >                        the spaced data form is read as well
//   < add 1 0 123 8 11 22 33 44 55 66 77 88 >                  cyclic job: SECS USECS, then as send
//   < update 123 3 11 22 33 >  < delete 123 >                  the job with that id
//   < subscribe 0 0 123 >  < unsubscribe 123 >                 receive an id, throttled by SECS USECS
//   < filter 1 500000 123 8 FF 00 F8 00 00 00 00 00 >          receive an id when the masked bytes change
//   < can0 B 500000 875 0 0 0 0 1 0 >                          bit timing: rate, sample point, tq,
//                                                              prop_seg, phase_seg1/2, sjw, brp
//
// Error frames are SocketCAN's (linux/can/error.h): the class is the frame's id without CAN_ERR_FLAG,
// the details its data. socketcand sends the class and the time alone (and only in raw mode, when the
// daemon was started with an error mask); can-serve adds the details as a frame's data, which readers
// that split off the first two words (python-can) pass over. Without details they are 0.
//
// Ids: an id of 8 hex digits, or one above 7FF, is extended; otherwise standard. At most 8 digits, at
// most 1FFFFFFF. Formatting writes 3 digits for a standard id and 8 for an extended one, so a formatted
// message parses back to the same message. The time's fraction is a decimal fraction of up to 6 digits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The longest message either side accepts, brackets included (cSocketcandSplitter's bound). The longest known
// message (a filter with 8 mask bytes and a 29-bit id, or a bit timing command) is about 80 bytes; refusals
// get room to explain.
constexpr size_t kSocketcandMaxMessageBytes = 256;
constexpr size_t kSocketcandMaxBusName = 16;
constexpr size_t kSocketcandMaxData = 8;

enum class SocketcandKind
{
    Hi,
    Ok,
    Echo,
    RawMode,
    BcmMode,
    Open,        // text: bus name
    Error,       // text: the words after "error", joined by one blank
    ErrorFrame,  // errorClass, time, frame.data: the details (frame.length of them; 0 from socketcand)
    Send,        // frame
    Frame,       // frame, time
    Add,         // interval, frame
    Update,      // frame
    Delete,      // frame.id, frame.extended
    Subscribe,   // interval, frame.id, frame.extended
    Unsubscribe, // frame.id, frame.extended
    Filter,      // interval, frame (data: the mask)
    BusTiming,   // text: bus name, timing
};

struct SocketcandFrame
{
    uint32_t id = 0;
    bool extended = false;
    uint8_t length = 0;
    std::array<uint8_t, kSocketcandMaxData> data{}; // bytes past length are 0
    bool operator==(const SocketcandFrame&) const = default;
};

// A time stamp or an interval: seconds and microseconds (below 1000000).
struct SocketcandTime
{
    uint64_t seconds = 0;
    uint32_t microseconds = 0;
    bool operator==(const SocketcandTime&) const = default;
};

struct SocketcandBusTiming
{
    uint32_t bitrate = 0;
    uint32_t samplePoint = 0;
    uint32_t tq = 0;
    uint32_t propSeg = 0;
    uint32_t phaseSeg1 = 0;
    uint32_t phaseSeg2 = 0;
    uint32_t sjw = 0;
    uint32_t brp = 0;
    bool operator==(const SocketcandBusTiming&) const = default;
};

// One message. Only the fields its kind names are meaningful; the others stay at their defaults.
struct SocketcandMessage
{
    SocketcandKind kind = SocketcandKind::Hi;
    std::string text;
    SocketcandFrame frame;
    SocketcandTime time;     // Frame, ErrorFrame: when it was received
    SocketcandTime interval; // Add, Subscribe, Filter
    uint32_t errorClass = 0;
    SocketcandBusTiming timing;
    bool operator==(const SocketcandMessage&) const = default;
};

// Turns one whole message, "<" to ">" as cSocketcandSplitter hands it out, into message (reset first).
// Returns an empty string on success, otherwise why the message is malformed, e.g. "unknown command
// 'isotpmode'" or "a frame has at most 8 data bytes". Any byte outside printable ASCII and blanks makes
// a message malformed.
std::string ParseSocketcandMessage(std::string_view bytes, SocketcandMessage& message);

// How a received frame's data is written: raw mode's one string of digit pairs ("11223344"), or BCM
// mode's spaced bytes ("11 22 33 44"), as socketcand writes them in each mode.
enum class SocketcandDataForm
{
    Compact,
    Spaced,
};

// The message's canonical text: ParseSocketcandMessage(FormatSocketcandMessage(m)) gives m back for
// every m it produced. A compact frame without data keeps an empty data word ("< frame 123 1.000000  >"),
// as socketcand writes it and as python-can's reader needs it. Characters of text that cannot stand in a
// message ('<', '>', control characters) become '?'.
std::string FormatSocketcandMessage(const SocketcandMessage& message,
                                    SocketcandDataForm form = SocketcandDataForm::Compact);

// Shorthands for the messages a client and a server write most.
SocketcandMessage SocketcandSend(const SocketcandFrame& frame);
SocketcandMessage SocketcandReceived(const SocketcandFrame& frame, SocketcandTime time);
// An error frame with all 8 detail bytes, as can-serve sends it; the class without CAN_ERR_FLAG.
SocketcandMessage SocketcandErrorFrame(uint32_t errorClass,
                                       const std::array<uint8_t, kSocketcandMaxData>& details,
                                       SocketcandTime time);
SocketcandMessage SocketcandError(std::string_view text);
