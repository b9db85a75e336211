#include "TerminalFrontEnd.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <unistd.h>

#include "../FrontEnd.h"
#include "../commctrl.h"
#include "HitTest.h"
#include "ResizeWatch.h"
#include "StatusLine.h"
#include "TerminalScreen.h"
#include "TerminationSignals.h"

namespace {

constexpr int kWheelRows = 3;

bool IsArrowOrPageKey(UINT key)
{
    return key == VK_UP || key == VK_DOWN || key == VK_PRIOR || key == VK_NEXT || key == VK_HOME ||
           key == VK_END;
}

} // namespace

TerminalFrontEnd::~TerminalFrontEnd()
{
    Stop();
}

std::string TerminalFrontEnd::Start()
{
    if (!isatty(STDIN_FILENO)) {
        return "standard input is not a terminal (isatty failed); run the program in a terminal";
    }
    if (!isatty(STDOUT_FILENO)) {
        return "standard output is not a terminal (isatty failed); run the program in a terminal";
    }
    m_screen = OpenTerminalScreen();
    if (m_screen == nullptr) {
        return "newterm failed: this terminal type is unknown; set TERM (for example TERM=xterm)";
    }
    // The signals whose handlers wake the watcher (TerminationSignals.h, ResizeWatch.h).
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGWINCH}) {
        sigaddset(&signals, signal);
    }
    if (!m_watcher.Start(STDIN_FILENO, FrontEndInputArrived, signals)) {
        std::string reason = std::strerror(errno);
        CloseTerminalScreen(m_screen);
        m_screen = nullptr;
        return "pipe2 failed (" + reason + ")";
    }
    StartWatchingResize(m_watcher);
    StartCatchingTermination(m_watcher);
    StartShowingDebugLines(m_watcher);

    FrontEnd frontEnd;
    frontEnd.context = this;
    frontEnd.windowOpened = OnWindowOpened;
    frontEnd.windowClosing = OnWindowClosing;
    frontEnd.changed = OnChanged;
    frontEnd.inputReady = OnInputReady;
    SetFrontEnd(&frontEnd);
    m_started = true;
    return {};
}

void TerminalFrontEnd::Stop()
{
    if (!m_started) {
        return;
    }
    m_started = false;
    SetFrontEnd(nullptr);
    StopShowingDebugLines();
    StopCatchingTermination();
    StopWatchingResize();
    m_watcher.Stop();
    CloseTerminalScreen(m_screen);
    m_screen = nullptr;
}

void TerminalFrontEnd::OnWindowOpened(void* self, HWND window)
{
    auto* frontEnd = static_cast<TerminalFrontEnd*>(self);
    if (frontEnd->m_windows.empty()) {
        GetDialogUnitRect(window, &frontEnd->m_firstWindowUnits);
    }
    frontEnd->m_windows.push_back(window);
    frontEnd->WakeIfTerminating();
    frontEnd->Redraw();
}

void TerminalFrontEnd::OnWindowClosing(void* self, HWND window)
{
    auto* frontEnd = static_cast<TerminalFrontEnd*>(self);
    std::erase(frontEnd->m_windows, window);
    if (frontEnd->m_windows.empty()) {
        frontEnd->m_listViewTops.clear();
    }
    frontEnd->WakeIfTerminating(); // the window below is closed next
    frontEnd->Redraw();
}

void TerminalFrontEnd::OnChanged(void* self)
{
    auto* frontEnd = static_cast<TerminalFrontEnd*>(self);
    frontEnd->DeliverPendingArrow();
    frontEnd->Redraw();
}

void TerminalFrontEnd::OnInputReady(void* self)
{
    auto* frontEnd = static_cast<TerminalFrontEnd*>(self);
    TakeNewTerminalSize();
    frontEnd->ReadInput();
    frontEnd->m_watcher.Consumed();
    if (TerminationSignal() != 0) {
        frontEnd->m_input.clear(); // what is typed once the program is ending goes nowhere
        frontEnd->EscapeOnTermination();
    } else {
        frontEnd->DeliverOneInput();
    }
    // The loop handles what the input posted, then comes back here for the next one.
    if (!frontEnd->m_input.empty()) {
        frontEnd->m_watcher.Wake();
    }
    frontEnd->Redraw();
}

void TerminalFrontEnd::Redraw()
{
    werase(stdscr);
    m_painted.clear();
    CellScale scale = ChooseScale(COLS, LINES, m_firstWindowUnits.right - m_firstWindowUnits.left,
                                  m_firstWindowUnits.bottom - m_firstWindowUnits.top);
    for (HWND window : m_windows) {
        m_painted.push_back(PaintWindow(stdscr, scale, window, m_listViewTops));
    }
    DrawStatusLine(stdscr);
    bool caret = !m_painted.empty() && m_painted.back().cursorRow >= 0;
    curs_set(caret ? 1 : 0);
    if (caret) {
        wmove(stdscr, m_painted.back().cursorRow, m_painted.back().cursorColumn);
    }
    wrefresh(stdscr);
}

void TerminalFrontEnd::ReadInput()
{
    wint_t key = 0;
    for (int result = wget_wch(stdscr, &key); result != ERR; result = wget_wch(stdscr, &key)) {
        bool functionKey = result == KEY_CODE_YES;
        if (functionKey && key == KEY_RESIZE) {
            continue; // the new size is taken; the redraw after the input uses it
        }
        QueuedInput input;
        if (functionKey && key == KEY_MOUSE) {
            input.isMouse = getmouse(&input.mouse) == OK;
            if (input.isMouse) {
                m_input.push_back(input);
            }
            continue;
        }
        if (std::optional<Keystroke> keystroke = TranslateKey(functionKey, key)) {
            input.key = *keystroke;
            m_input.push_back(input);
        }
    }
}

void TerminalFrontEnd::DeliverOneInput()
{
    if (m_input.empty()) {
        return;
    }
    QueuedInput input = m_input.front();
    m_input.pop_front();
    if (input.isMouse) {
        HandleMouse(input.mouse);
    } else {
        HandleKey(input.key);
    }
}

void TerminalFrontEnd::HandleKey(const Keystroke& key)
{
    if (ScrollFocusedListView(key.virtualKey)) {
        return;
    }
    FrontEndKeystroke(key.virtualKey, key.character, key.modifiers);
}

// A focused list view scrolls by rows and pages, whatever row is selected.
bool TerminalFrontEnd::ScrollFocusedListView(UINT virtualKey)
{
    const PaintedControl* view = PaintedControlOf(m_painted, GetFocus());
    if (view == nullptr || view->kind != ControlKind::ListView || !IsArrowOrPageKey(virtualKey)) {
        return false;
    }
    int top = m_listViewTops[view->control];
    int page = std::max(ListViewDataRows(*view), 1);
    switch (virtualKey) {
    case VK_UP: --top; break;
    case VK_DOWN: ++top; break;
    case VK_PRIOR: top -= page; break;
    case VK_NEXT: top += page; break;
    case VK_HOME: top = 0; break;
    case VK_END: top = INT32_MAX / 2; break;
    }
    Scroll(*view, top);
    return true;
}

void TerminalFrontEnd::Scroll(const PaintedControl& view, int top)
{
    auto count = static_cast<int>(SendMessageW(view.control, LVM_GETITEMCOUNT, 0, 0));
    int last = std::max(count - ListViewDataRows(view), 0);
    m_listViewTops[view.control] = std::clamp(top, 0, last);
}

void TerminalFrontEnd::HandleMouse(const MEVENT& event)
{
    if ((event.bstate & BUTTON4_PRESSED) != 0) {
        ScrollAt(event.y, event.x, -kWheelRows);
    } else if ((event.bstate & BUTTON5_PRESSED) != 0) {
        ScrollAt(event.y, event.x, kWheelRows);
    } else if ((event.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED)) != 0) {
        Click(event.y, event.x);
    }
}

void TerminalFrontEnd::ScrollAt(int row, int column, int rows)
{
    const PaintedControl* view = InteractiveControlAt(m_painted, row, column);
    if (view != nullptr && view->kind == ControlKind::ListView) {
        // Focused, the list stops following its writes and stays where the wheel puts it.
        if (IsWindowEnabled(view->control)) {
            SetFocus(view->control);
        }
        Scroll(*view, m_listViewTops[view->control] + rows);
    }
}

// A click focuses and presses the control under it; on a list box's arrows it also moves the selection.
void TerminalFrontEnd::Click(int row, int column)
{
    m_arrowTarget = nullptr;
    const PaintedControl* target = InteractiveControlAt(m_painted, row, column);
    if (target == nullptr) {
        return;
    }
    RECT client = {};
    GetClientRect(target->control, &client);
    POINT point{client.right / 2, client.bottom / 2};
    int offset = column - target->cells.column;
    if (target->kind == ControlKind::Edit) {
        // The edit places its caret at x / 8 pixels: one character per cell after the bracket.
        point = POINT{std::max(target->textOffset + offset - 1, 0) * 8 + 1, 1};
    } else if (target->kind == ControlKind::ListBox) {
        point = POINT{1, 1}; // the item shown, which is the selected one
        int arrows = target->cells.columns - 3;
        m_arrowKey = offset == arrows ? VK_UP : offset == arrows + 1 ? VK_DOWN : 0;
        m_arrowTarget = m_arrowKey != 0 ? target->control : nullptr;
    }
    if (!FrontEndClick(target->control, point)) {
        m_arrowTarget = nullptr;
    }
    DeliverPendingArrow();
}

void TerminalFrontEnd::DeliverPendingArrow()
{
    if (m_arrowTarget != nullptr && GetFocus() == m_arrowTarget) {
        FrontEndKeystroke(m_arrowKey, 0, 0);
        m_arrowTarget = nullptr;
    }
}

void TerminalFrontEnd::WakeIfTerminating() const
{
    if (TerminationSignal() != 0) {
        m_watcher.Wake();
    }
}

// A termination signal presses Escape once in the active window, as the operator would, and again in
// each window below it as it becomes the active one: the program ends through its own close path.
void TerminalFrontEnd::EscapeOnTermination()
{
    if (TerminationSignal() != 0 && !m_windows.empty() && m_escapedWindow != m_windows.back()) {
        m_escapedWindow = m_windows.back();
        FrontEndKeystroke(VK_ESCAPE, 0, 0);
    }
}
