#include "ResizeWatch.h"

#include <atomic>
#include <cerrno>
#include <csignal>

#include <curses.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Whom the SIGWINCH handler wakes; set by StartWatchingResize before the handler is installed, cleared
// by StopWatchingResize after it is removed. The handler may run on any thread.
std::atomic<InputWatcher*> resizeWatcher{nullptr};
// Set by the SIGWINCH handler, taken by the loop's thread, which then asks the terminal for its size.
std::atomic<bool> terminalResized{false};
// ncurses's own SIGWINCH handling, which ours chains to; written by Start and Stop only.
struct sigaction previousResizeAction;

void OnResize(int signal)
{
    int savedErrno = errno;
    if ((previousResizeAction.sa_flags & SA_SIGINFO) == 0 && previousResizeAction.sa_handler != SIG_DFL &&
        previousResizeAction.sa_handler != SIG_IGN) {
        previousResizeAction.sa_handler(signal);
    }
    terminalResized = true;
    if (InputWatcher* watcher = resizeWatcher.load()) {
        watcher->Wake(); // async-signal-safe: one write
    }
    errno = savedErrno;
}

} // namespace

void StartWatchingResize(InputWatcher& watcher)
{
    resizeWatcher = &watcher;
    struct sigaction onResize = {};
    onResize.sa_handler = OnResize;
    onResize.sa_flags = SA_RESTART;
    sigemptyset(&onResize.sa_mask);
    sigaction(SIGWINCH, &onResize, &previousResizeAction);
}

void StopWatchingResize()
{
    sigaction(SIGWINCH, &previousResizeAction, nullptr);
    resizeWatcher = nullptr;
}

void TakeNewTerminalSize()
{
    winsize size = {};
    if (terminalResized.exchange(false) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 &&
        size.ws_col > 0) {
        resizeterm(size.ws_row, size.ws_col);
        clearok(curscr, TRUE);
    }
}
