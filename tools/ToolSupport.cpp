#include "ToolSupport.h"

#include <charconv>
#include <cstdio>
#include <cstring>

bool ParseNumber(const char* text, uint32_t limit, uint32_t& value)
{
    const char* end = text + strlen(text);
    uint32_t parsed = 0;
    auto [next, error] = std::from_chars(text, end, parsed);
    if (error != std::errc() || next != end || next == text || parsed > limit) {
        return false;
    }
    value = parsed;
    return true;
}

int ReportFailure(const char* tool, const std::string& message)
{
    fprintf(stderr, "%s: %s\n", tool, message.c_str());
    return 1;
}
