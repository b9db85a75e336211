#include "ToolSupport.h"

#include <charconv>
#include <csignal>
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

void InstallInterruptHandler(void (*onInterrupt)(int))
{
#ifdef _WIN32
    // Windows runs the handler on a thread of its own; there is no sigaction and nothing to restart.
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
#else
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}
