// Watching the terminal's size for the terminal front end: SIGWINCH wakes the modal loop, which then
// asks the terminal for its new size before it reads the input and redraws.
#pragma once

#include "InputWatcher.h"

// Installs the SIGWINCH handler, which chains to the one ncurses installed and wakes watcher. The
// loop's thread, after the screen is set up.
void StartWatchingResize(InputWatcher& watcher);
// Puts the previous handler back; watcher is no longer woken. The loop's thread.
void StopWatchingResize();
// Tells ncurses the terminal's new size if a SIGWINCH came since the last call. The loop's thread.
void TakeNewTerminalSize();
