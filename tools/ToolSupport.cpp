#include "ToolSupport.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <poll.h>
#include <unistd.h>
#endif

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

bool StandardOutputClosed()
{
#ifdef _WIN32
    return false;
#else
    // No events asked for: poll reports only POLLERR, which a pipe's writing end gets once its reader is
    // gone, and POLLHUP (a terminal hung up), after which every write fails too.
    pollfd output{STDOUT_FILENO, 0, 0};
    return poll(&output, 1, 0) == 1 && (output.revents & (POLLERR | POLLHUP)) != 0;
#endif
}

int EndForClosedOutput(const char* tool)
{
#ifndef _WIN32
    struct sigaction current = {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_UNBLOCK, &pipeSignal, nullptr);
        raise(SIGPIPE);
    }
#endif
    return ReportFailure(tool, std::string("writing standard output failed: ") + strerror(EPIPE));
}
