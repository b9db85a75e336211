// The terminal front end: draws the running dialogs with ncurses and hands the terminal's keys and
// mouse clicks to the windowing layer (FrontEnd.h) as the dialog manager's input.
//
// Implemented
//   drawing      every open modal window, oldest first, centred, its caption as a title bar; visible
//                controls only, at their cells (CellMapping.h); disabled ones dimmed; the focused one
//                between ">" and "<"; list boxes as their selected item with arrows; the list view with
//                its column titles and rows; the status line: the latest debug line or the key help;
//                redrawn on every change the layer reports, on input and on SIGWINCH
//   keys         KeyTranslation.h, one keystroke delivered per pass of the modal loop so that typed-ahead
//                keys reach the control focused by the keys before them; Up/Down/Page Up/Page Down/Home/
//                End scroll a focused list view; a list view without the focus follows its writes, the
//                row written last in view and marked with an arrow
//   mouse        button 1 focuses and presses the control under it (on a list box's arrows it also steps
//                the selection); the wheel focuses and scrolls the list view under it
//   signals      SIGINT, SIGTERM and SIGHUP press Escape in each open window in turn, newest first
//                (TerminationSignals.h); TERM=dumb is refused as an unknown terminal
// Deliberately not
//   Colours, icons' pictures (an icon is "(!)"), horizontal scrolling of the list view (its columns are
//   scaled to fit), drag, double clicks, clicks outside the active modal window.
//
// Everything runs on the thread of the modal loop, from the layer's callbacks, except the input watcher
// (InputWatcher.h), the signal handlers (ResizeWatch.h, TerminationSignals.h) and the debug-output sink
// (StatusLine.h), which only note what happened and wake the loop.
#pragma once

#include <curses.h>

#include <deque>
#include <string>
#include <vector>

#include "../winuser.h"
#include "DialogPainter.h"
#include "InputWatcher.h"
#include "KeyTranslation.h"

class TerminalFrontEnd
{
public:
    TerminalFrontEnd() = default;
    ~TerminalFrontEnd();
    TerminalFrontEnd(const TerminalFrontEnd&) = delete;
    TerminalFrontEnd& operator=(const TerminalFrontEnd&) = delete;

    // Takes over the terminal on standard input and output and installs the front end. Returns an empty
    // string, or what failed and what the user can do about it.
    std::string Start();
    // Gives the terminal back as it was; the front end is removed.
    void Stop();

private:
    static void OnWindowOpened(void* self, HWND window);
    static void OnWindowClosing(void* self, HWND window);
    static void OnChanged(void* self);
    static void OnInputReady(void* self);

    void Redraw();
    void ReadInput();
    void DeliverOneInput();
    void HandleKey(const Keystroke& key);
    void HandleMouse(const MEVENT& event);
    void Click(int row, int column);
    void ScrollAt(int row, int column, int rows);
    bool ScrollFocusedListView(UINT virtualKey);
    void Scroll(const PaintedControl& view, int top);
    void DeliverPendingArrow();
    void WakeIfTerminating() const;
    void EscapeOnTermination();

    SCREEN* m_screen = nullptr;
    InputWatcher m_watcher;
    bool m_started = false;
    std::vector<HWND> m_windows;          // open modal windows, oldest first
    std::vector<PaintedWindow> m_painted; // as last drawn, oldest first
    RECT m_firstWindowUnits = {};         // the first dialog's size decides the scale
    ListViewTops m_listViewTops;
    // Input read but not yet delivered. A keystroke goes to the control that has the focus when it is
    // delivered, so each waits until the loop has handled the one before (as typed-ahead keys do on
    // Win32).
    struct QueuedInput
    {
        bool isMouse = false;
        Keystroke key;
        MEVENT mouse = {};
    };
    std::deque<QueuedInput> m_input;
    // A click on a list box's arrows: the arrow key it stands for, delivered once the click has given
    // the list box the focus.
    HWND m_arrowTarget = nullptr;
    UINT m_arrowKey = 0;
    // The window Escape was pressed in for a termination signal, so that it is pressed once per window.
    HWND m_escapedWindow = nullptr;
};
