// Ending the program on SIGINT, SIGTERM and SIGHUP the way the operator ends it: the handler only notes
// the signal and wakes the modal loop, and the front end then presses Escape in each open window, so
// the program leaves through its own close path and the terminal is given back by Stop.
#pragma once

#include "InputWatcher.h"

// Installs the handlers; a signal wakes watcher. The loop's thread, after the screen is set up.
void StartCatchingTermination(InputWatcher& watcher);
// Puts the previous handlers back; watcher is no longer woken. The loop's thread.
void StopCatchingTermination();
// The number of the first of these signals that came, or 0. Any thread.
int TerminationSignal();
