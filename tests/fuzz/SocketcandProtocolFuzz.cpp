// socketcand's protocol as both ends read it: the bytes a peer sends, cut into messages by the splitter
// in reads of a size the input chooses, each message parsed. Rules checked: the splitter hands out only
// whole messages within its bound; a parsed message formats into printable text that parses back to the
// same message; a refused one comes with a reason.
//
// Input: the first byte is the read size (1 to 256), the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "SocketcandProtocol.h"
#include "cSocketcandSplitter.h"

namespace {

void CheckSplit(std::string_view message)
{
    if (message.size() < 2 || message.size() > kSocketcandMaxMessageBytes || message.front() != '<' ||
        message.back() != '>' || message.substr(1).find('<') != std::string_view::npos ||
        message.find('>') != message.size() - 1) {
        FailFuzzCheck("splitter handed out '%.*s'", static_cast<int>(message.size()), message.data());
    }
}

void CheckFormatted(const std::string& text)
{
    for (char c : text) {
        if (c < 0x20 || c > 0x7E) {
            FailFuzzCheck("formatted text holds byte 0x%02X: '%s'", static_cast<uint8_t>(c), text.c_str());
        }
    }
    if (text.size() < 4 || text.compare(0, 2, "< ") != 0 || text.compare(text.size() - 2, 2, " >") != 0) {
        FailFuzzCheck("formatted text is not a message: '%s'", text.c_str());
    }
}

void CheckMessage(std::string_view bytes)
{
    CheckSplit(bytes);
    SocketcandMessage message;
    std::string reason = ParseSocketcandMessage(bytes, message);
    if (!reason.empty()) {
        if (!(message == SocketcandMessage())) {
            FailFuzzCheck("refused message left fields set: '%s'", reason.c_str());
        }
        return;
    }
    if (message.frame.length > kSocketcandMaxData || message.time.microseconds >= 1000000 ||
        message.interval.microseconds >= 1000000 || message.frame.id > 0x1FFFFFFF ||
        (!message.frame.extended && message.frame.id > 0x7FF)) {
        FailFuzzCheck("parsed an impossible message from '%.*s'", static_cast<int>(bytes.size()),
                      bytes.data());
    }
    std::string text = FormatSocketcandMessage(message);
    CheckFormatted(text);
    SocketcandMessage again;
    reason = ParseSocketcandMessage(text, again);
    if (!reason.empty() || !(again == message)) {
        FailFuzzCheck("'%.*s' formats as '%s', which does not parse back (%s)",
                      static_cast<int>(bytes.size()), bytes.data(), text.c_str(), reason.c_str());
    }
    if (FormatSocketcandMessage(again) != text) {
        FailFuzzCheck("'%s' is not canonical", text.c_str());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    size_t chunk = static_cast<size_t>(data[0]) + 1;
    std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    cSocketcandSplitter splitter;
    for (size_t at = 0; at < stream.size(); at += chunk) {
        splitter.Feed(stream.substr(at, chunk), CheckMessage);
    }
    return 0;
}
