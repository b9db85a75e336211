#include "StatusLine.h"

#include <algorithm>
#include <mutex>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "../DebugOutput.h"
#include "CellMapping.h"

namespace {

constexpr const wchar_t* kKeyHelp =
    L" Tab/Shift+Tab: move   Space/Enter: press   Up/Down: choose, scroll   Esc: end";

// The latest debug line and whom to wake for it. Written by the debug-output sink on any thread and
// by Start/Stop; read by the loop's thread when it draws; guarded by mutex.
struct DebugLine
{
    std::mutex mutex;
    std::wstring text;
    InputWatcher* watcher = nullptr;
};

DebugLine& TheDebugLine()
{
    static DebugLine line;
    return line;
}

void ShowDebugLine(LPCWSTR text)
{
    std::wstring line = text;
    line.erase(std::remove_if(line.begin(), line.end(), [](wchar_t c) { return c == L'\r' || c == L'\n'; }),
               line.end());
    DebugLine& debug = TheDebugLine();
    std::lock_guard<std::mutex> lock(debug.mutex);
    debug.text = line;
    if (debug.watcher != nullptr) {
        debug.watcher->Wake();
    }
}

bool SameTerminal(int a, int b)
{
    struct stat first = {}, second = {};
    return isatty(a) && isatty(b) && fstat(a, &first) == 0 && fstat(b, &second) == 0 &&
           first.st_rdev == second.st_rdev;
}

void SetWatcher(InputWatcher* watcher)
{
    std::lock_guard<std::mutex> lock(TheDebugLine().mutex);
    TheDebugLine().watcher = watcher;
}

std::wstring LatestDebugLine()
{
    std::lock_guard<std::mutex> lock(TheDebugLine().mutex);
    return TheDebugLine().text.empty() ? L"" : L" " + TheDebugLine().text;
}

} // namespace

void StartShowingDebugLines(InputWatcher& watcher)
{
    if (SameTerminal(STDERR_FILENO, STDOUT_FILENO)) {
        SetWatcher(&watcher);
        SetDebugOutputSink(ShowDebugLine);
    }
}

void StopShowingDebugLines()
{
    SetDebugOutputSink(nullptr);
    SetWatcher(nullptr);
}

void DrawStatusLine(WINDOW* window)
{
    int rows = getmaxy(window), columns = getmaxx(window);
    std::wstring status = LatestDebugLine();
    if (status.empty()) {
        status = columns < kMinimumColumns || rows < kMinimumRows
                     ? L" Terminal smaller than 80x24: enlarge it to see the whole dialog."
                     : kKeyHelp;
    }
    status.resize(static_cast<size_t>(std::max(columns, 0)), L' ');
    mvwaddnwstr(window, rows - 1, 0, status.c_str(), columns);
    mvwchgat(window, rows - 1, 0, -1, A_REVERSE, 0, nullptr);
}
