#include "TerminalScreen.h"

#include <clocale>
#include <cstdio>

namespace {

constexpr int kEscapeDelayMilliseconds = 25;

void SetInputModes()
{
    set_escdelay(kEscapeDelayMilliseconds);
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    mouseinterval(0);
    mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED | BUTTON4_PRESSED | BUTTON5_PRESSED, nullptr);
    curs_set(0);
}

} // namespace

SCREEN* OpenTerminalScreen()
{
    setlocale(LC_CTYPE, "");
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen != nullptr) {
        SetInputModes();
    }
    return screen;
}

void CloseTerminalScreen(SCREEN* screen)
{
    endwin();
    delscreen(screen);
}
