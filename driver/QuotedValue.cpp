#include "QuotedValue.h"

#include <cstdio>

namespace {

void AppendEscaped(std::string& out, unsigned char c)
{
    switch (c) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    }
    if (c < 0x20 || c == 0x7F) {
        char hex[5];
        snprintf(hex, sizeof(hex), "\\x%02x", c);
        out += hex;
        return;
    }
    out += static_cast<char>(c);
}

} // namespace

std::string QuotedValue(const std::string& value)
{
    std::string out = "\"";
    size_t shown = value.size() > kQuotedValueLimit ? kQuotedValueLimit : value.size();
    for (size_t i = 0; i < shown; ++i) {
        AppendEscaped(out, static_cast<unsigned char>(value[i]));
    }
    out += "\"";
    if (shown < value.size()) {
        out.insert(out.size() - 1, "...");
        out += "(" + std::to_string(value.size()) + " bytes)";
    }
    return out;
}
