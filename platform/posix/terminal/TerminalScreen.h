// Setting up ncurses for the terminal front end on standard input and output, and giving the terminal
// back as it was.
#pragma once

#include <curses.h>

// The screen on the terminal named by TERM, set to the input modes the front end reads in: keys one at
// a time, unechoed and without waiting, function keys decoded, button 1 and the wheel reported, no
// cursor. Null when the terminal type is unknown or "dumb".
SCREEN* OpenTerminalScreen();
// Restores the terminal's modes and frees screen.
void CloseTerminalScreen(SCREEN* screen);
