#include "TerminalScreen.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string_view>

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
    // The release is asked for only to be ignored: ncurses, given a release nobody asked for, reads on
    // for the next event, and does so with a blocking read, so the program would hang after a click
    // until the next key or mouse event.
    mousemask(BUTTON1_PRESSED | BUTTON1_RELEASED | BUTTON1_CLICKED | BUTTON4_PRESSED | BUTTON5_PRESSED,
              nullptr);
    curs_set(0);
}

} // namespace

SCREEN* OpenTerminalScreen()
{
    // A dumb terminal cannot place the cursor, so it cannot show the dialog: refused as an unknown one.
    const char* type = std::getenv("TERM");
    if (type != nullptr && std::string_view(type) == "dumb") {
        return nullptr;
    }
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
