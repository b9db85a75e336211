// The serial-line CAN protocol as the driver reads an adapter: the bytes it sends, cut into lines by the
// splitter in reads of a size the input chooses, each line parsed, stamped frames timed by the clock.
// Rules checked: the splitter hands out only lines within its bound, without a carriage return, a
// refusal alone; a parsed frame is one CAN can carry and formats into a line that parses back to the
// same frame; a refused line comes with a reason and leaves nothing set; only error, status and state
// lines report an error frame or a state.
//
// Input: the first byte is the read size (1 to 256), the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "SlcanProtocol.h"
#include "cSlcanClock.h"
#include "cSlcanSplitter.h"

namespace {

void CheckSplit(std::string_view line)
{
    bool refusal = line.size() == 1 && line[0] == kSlcanRefusal;
    if (line.size() > kSlcanMaxLineBytes || line.find(kSlcanEndOfLine) != std::string_view::npos ||
        (!refusal && line.find(kSlcanRefusal) != std::string_view::npos)) {
        FailFuzzCheck("splitter handed out '%.*s'", static_cast<int>(line.size()), line.data());
    }
}

void CheckFrame(std::string_view bytes, const SlcanFrame& frame)
{
    if (frame.length > kSlcanMaxData || frame.id > (frame.extended ? 0x1FFFFFFFu : 0x7FFu)) {
        FailFuzzCheck("parsed an impossible frame from '%.*s'", static_cast<int>(bytes.size()), bytes.data());
    }
    for (size_t i = frame.remote ? 0 : frame.length; i < kSlcanMaxData; ++i) {
        if (frame.data[i] != 0) {
            FailFuzzCheck("byte %zu beyond the data of '%.*s' is set", i, static_cast<int>(bytes.size()),
                          bytes.data());
        }
    }
    std::string text = FormatSlcanFrame(frame);
    SlcanLine again;
    std::string reason = ParseSlcanLine(std::string_view(text).substr(0, text.size() - 1), again);
    if (!reason.empty() || !(again.frame == frame) || again.stamp.kind != SlcanStampKind::None) {
        FailFuzzCheck("'%.*s' formats as '%s', which does not parse back (%s)",
                      static_cast<int>(bytes.size()), bytes.data(), text.c_str(), reason.c_str());
    }
}

// Only error, status and state lines report anything, and a state line always both an error frame and
// a state.
void CheckErrorReport(std::string_view bytes, const SlcanLine& line)
{
    std::optional<SlcanErrorFrame> frame = SlcanErrorFrameOf(line);
    std::optional<SlcanControllerState> state = SlcanReportedState(line);
    bool reports =
        line.kind == SlcanKind::Error || line.kind == SlcanKind::Status || line.kind == SlcanKind::State;
    if ((!reports && (frame || state)) || (line.kind == SlcanKind::State && (!frame || !state)) ||
        (frame && frame->classBits == 0)) {
        FailFuzzCheck("'%.*s' reports what it cannot", static_cast<int>(bytes.size()), bytes.data());
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
    cSlcanSplitter splitter;
    cSlcanClock clock;
    uint64_t host = 0;
    for (size_t at = 0; at < stream.size(); at += chunk) {
        splitter.Feed(stream.substr(at, chunk), [&](std::string_view bytes) {
            CheckSplit(bytes);
            SlcanLine line;
            std::string reason = ParseSlcanLine(bytes, line);
            if (!reason.empty()) {
                if (!(line == SlcanLine())) {
                    FailFuzzCheck("refused line left fields set: '%s'", reason.c_str());
                }
                return;
            }
            CheckErrorReport(bytes, line);
            if (line.kind == SlcanKind::Frame) {
                CheckFrame(bytes, line.frame);
                host += 1000;
                clock.Timestamp(line.stamp, host, static_cast<uint32_t>(host / 1000));
            }
        });
    }
    return 0;
}
