// How the windowing layer calls the front end (FrontEnd.h). Not part of the program's API.
//
// FrontEndHooks.cpp also keeps the installed front end and the open modal windows, for SetFrontEnd and
// FrontEndActiveWindow; FrontEnd.cpp holds the input the front end delivers and calls down from there.
#pragma once

#include "winuser.h"

class ThreadQueue;

// Calls the front end's changed() when the queue's windows changed, at most every 20 ms. Only a thread
// inside a modal loop calls out. An idle caller learns in how many milliseconds a change held back is
// due (-1: none is), which its wait must not outlast.
int NotifyFrontEndOfChanges(ThreadQueue& queue, bool idle);
void FrontEndWindowOpened(HWND window);
void FrontEndWindowClosing(HWND window);
// The descriptor a modal loop of this window polls: the front end's, when the window is the active
// modal window; -1 otherwise.
int FrontEndInputDescriptorFor(HWND modalWindow);
void FrontEndInputReady();
