// The terminal front end's bottom line: the latest debug line, or the key help until there is one.
// Debug lines written to the terminal the dialog is drawn on would garble it, so while the front end
// runs on the terminal of standard error they are shown here instead.
#pragma once

#include <curses.h>

#include "InputWatcher.h"

// Takes over the debug output if standard error is the terminal of standard output; a new line wakes
// watcher. The loop's thread.
void StartShowingDebugLines(InputWatcher& watcher);
// Gives the debug output back; watcher is no longer woken. The loop's thread.
void StopShowingDebugLines();
// Draws the status line on the last row of window. The loop's thread.
void DrawStatusLine(WINDOW* window);
