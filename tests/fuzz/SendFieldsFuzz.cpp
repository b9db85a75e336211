// The field texts of a send: any texts in the frame-id edit, the delay edit and the eight payload edits
// (set as a program sets them, so the edits' digit filter does not apply), either state of the
// extended-frame and loop check boxes, and any length selection including none. The frame the fake
// driver receives must be the one the rules give, computed here by a parser of its own: the console
// reads at most 19 characters of each edit, parses them as the C library's "%x" does (a text that does
// not parse is 0), masks the identifier to 11 or 29 bits and keeps each payload byte's low 8 bits; length
// index 0 or no selection sends eight zero bytes with length 8. With the loop box checked the frame comes
// from the SendThread, which is stopped again at once; the delay is only exercised, as nothing shows it.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <mutex>

#include <fuzzer/FuzzedDataProvider.h>

#include "posix/DebugOutput.h"

#include "ConsoleIds.h"
#include "FakeDriverControl.h"
#include "FuzzConsole.h"

namespace {

constexpr size_t kReadCharacters = 19; // GetWindowTextW into 20 characters, the terminator included
constexpr size_t kLongestText = 40;
constexpr int kNoSelection = 9;
constexpr uint32_t kStandardMask = 0x7FF;
constexpr uint32_t kExtendedMask = 0x1FFFFFFF;

// The debug-output lines of the current send: written by the sink on the dialog's thread, read and
// cleared by the fuzzing thread; debugLinesMutex protects them.
std::mutex debugLinesMutex;
std::vector<std::wstring> debugLines;

void KeepDebugLine(LPCWSTR line)
{
    std::lock_guard<std::mutex> lock(debugLinesMutex);
    debugLines.push_back(line);
}

std::vector<std::wstring> TakeDebugLines()
{
    std::lock_guard<std::mutex> lock(debugLinesMutex);
    return std::move(debugLines);
}

// Wide characters a scan could mistake for digits, signs or blanks, reached from the bytes 0xF0 to 0xFF.
constexpr wchar_t kUnusualCharacters[] = {0x00A0, 0x2003, 0x3000, 0x0660, 0x0669,  0xFF10, 0xFF19, 0xFF21,
                                          0xFF41, 0x2212, 0xFE63, 0x00B2, 0x1D7CE, 0xD800, 0xFFFF, 0x10FFFF};

std::wstring Widened(const std::string& bytes)
{
    std::wstring text;
    for (unsigned char byte : bytes) {
        if (byte == 0) {
            break; // where a program's text ends
        }
        text += byte >= 0xF0 ? kUnusualCharacters[byte - 0xF0] : static_cast<wchar_t>(byte);
    }
    return text;
}

bool IsCLocaleSpace(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

int HexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// "%x" into an unsigned int: blanks, a sign, an optional 0x, hex digits, converted as strtoul converts
// (saturating at the largest unsigned long, a minus sign negating), then cut to 32 bits. No digit: 0.
uint32_t ReferenceHexadecimal(std::wstring text)
{
    text = text.substr(0, kReadCharacters);
    size_t i = 0;
    while (i < text.size() && IsCLocaleSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    bool sawDigit = false;
    if (i + 1 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X')) {
        sawDigit = true; // "0x" alone reads as 0
        i += 2;
    }
    unsigned long value = 0;
    bool overflow = false;
    for (; i < text.size() && HexDigit(text[i]) >= 0; ++i) {
        sawDigit = true;
        if (value > (~0UL - static_cast<unsigned long>(HexDigit(text[i]))) / 16) {
            overflow = true;
        }
        value = value * 16 + static_cast<unsigned long>(HexDigit(text[i]));
    }
    if (!sawDigit) {
        return 0;
    }
    if (overflow) {
        return 0xFFFFFFFFu;
    }
    return static_cast<uint32_t>(negative ? 0UL - value : value);
}

struct SendInput
{
    bool extended = false;
    bool loop = false;
    int lengthChoice = 8; // 0 to 8, or kNoSelection
    std::wstring identifier;
    std::wstring delay;
    std::wstring payload[8];
};

SendInput ReadInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    SendInput input;
    uint8_t flags = provider.ConsumeIntegral<uint8_t>();
    input.extended = (flags & 1) != 0;
    input.loop = (flags & 0x0E) == 0x0E; // one input in eight: a thread start is slower than a send
    input.lengthChoice = provider.ConsumeIntegralInRange<int>(0, kNoSelection);
    input.identifier = Widened(provider.ConsumeRandomLengthString(kLongestText));
    input.delay = Widened(provider.ConsumeRandomLengthString(kLongestText));
    for (std::wstring& byteText : input.payload) {
        byteText = Widened(provider.ConsumeRandomLengthString(kLongestText));
    }
    return input;
}

CanMessageDescriptor ReferenceFrame(const SendInput& input)
{
    CanMessageDescriptor frame{};
    frame.extended = input.extended ? 1 : 0;
    frame.id = ReferenceHexadecimal(input.identifier) & (input.extended ? kExtendedMask : kStandardMask);
    bool bytesTaken = input.lengthChoice >= 1 && input.lengthChoice <= 8;
    frame.length = static_cast<uint16_t>(bytesTaken ? input.lengthChoice : 8);
    for (int i = 0; bytesTaken && i < input.lengthChoice; ++i) {
        frame.data[i] = static_cast<uint8_t>(ReferenceHexadecimal(input.payload[i]));
    }
    return frame;
}

void FillFields(ConsoleProgram& console, const SendInput& input)
{
    console.SetText(kFrameId, input.identifier.c_str());
    console.SetText(kDelay, input.delay.c_str());
    for (int i = 0; i < 8; ++i) {
        console.SetText(kPayload0 + i, input.payload[i].c_str());
    }
    console.Check(kExtended, input.extended);
    console.Check(kLoop, input.loop);
    console.Select(kLength, input.lengthChoice == kNoSelection ? -1 : input.lengthChoice);
}

std::vector<CanMessageDescriptor> Transmitted()
{
    std::vector<CanMessageDescriptor> frames;
    for (const FakeCanCall& call : FakeDriver::RawCalls()) {
        if (std::string(call.name) == "CanTransmittMessageEx") {
            frames.push_back(call.message);
        }
    }
    return frames;
}

void Send(ConsoleProgram& console, bool loop)
{
    console.Press(kTransmit);
    if (!loop) {
        return;
    }
    if (!console.WaitFor([] { return !Transmitted().empty(); })) {
        FailFuzzCheck("the SendThread sent nothing within 10 s");
    }
    console.Press(kTransmit); // stops the thread and waits for it
    if (console.Text(kTransmit) != L"Start") {
        FailFuzzCheck("periodic sending did not stop");
    }
}

// Every press writes the length as the list's selection index (-1 for none) and the check box's state.
void ExpectDebugLines(const SendInput& input)
{
    int selection = input.lengthChoice == kNoSelection ? -1 : input.lengthChoice;
    std::vector<std::wstring> expected = {L"frame length: " + std::to_wstring(selection) + L"\r\n",
                                          L"is ext frame: " + std::to_wstring(input.extended ? 1 : 0) +
                                              L"\r\n"};
    std::vector<std::wstring> lines = TakeDebugLines();
    if (lines != expected) {
        FailFuzzCheck("the send wrote %zu debug lines, the first %s; the rules give %s", lines.size(),
                      lines.empty() ? "none" : Printable(lines[0]).c_str(), Printable(expected[0]).c_str());
    }
}

void ExpectFrame(const CanMessageDescriptor& sent, const CanMessageDescriptor& expected,
                 const SendInput& input)
{
    bool same = sent.extended == expected.extended && sent.id == expected.id && sent.remote == 0 &&
                sent.length == expected.length && memcmp(sent.data, expected.data, expected.length) == 0;
    if (!same) {
        FailFuzzCheck("id text %s (extended %d), length choice %d: sent id %x length %u data %02x %02x %02x "
                      "%02x %02x %02x %02x %02x; the rules give id %x length %u data %02x %02x %02x %02x "
                      "%02x %02x %02x %02x",
                      Printable(input.identifier).c_str(), input.extended, input.lengthChoice, sent.id,
                      sent.length, sent.data[0], sent.data[1], sent.data[2], sent.data[3], sent.data[4],
                      sent.data[5], sent.data[6], sent.data[7], expected.id, expected.length,
                      expected.data[0], expected.data[1], expected.data[2], expected.data[3],
                      expected.data[4], expected.data[5], expected.data[6], expected.data[7]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ConsoleProgram& console = ConnectedConsole();
    // Installed once, after the console silenced the debug output.
    static const DebugOutputSink silenced = SetDebugOutputSink(&KeepDebugLine);
    (void)silenced;
    SendInput input = ReadInput(data, size);
    FillFields(console, input);
    FakeDriver::Reset(); // only this send's calls; the port stays open
    TakeDebugLines();
    Send(console, input.loop);
    ExpectDebugLines(input);
    std::vector<CanMessageDescriptor> frames = Transmitted();
    if (frames.empty() || (!input.loop && frames.size() != 1)) {
        FailFuzzCheck("%zu frames sent for one press", frames.size());
    }
    CanMessageDescriptor expected = ReferenceFrame(input);
    for (const CanMessageDescriptor& sent : frames) {
        ExpectFrame(sent, expected, input);
    }
    return 0;
}
