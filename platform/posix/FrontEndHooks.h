// How the windowing layer calls the front end (FrontEnd.h). Not part of the program's API.
//
// FrontEndHooks.cpp also keeps the installed front end and the open modal windows, for SetFrontEnd and
// FrontEndActiveWindow; FrontEnd.cpp holds the input the front end delivers and calls down from there.
#pragma once

#include <atomic>

#include "winuser.h"

class ThreadQueue;

// Calls the front end's changed() when the queue's windows changed, at most every 20 ms. Only a thread
// inside a modal loop calls out. An idle caller learns in how many milliseconds a change held back is
// due (-1: none is), which its wait must not outlast.
int NotifyFrontEndOfChanges(ThreadQueue& queue, bool idle);
void FrontEndWindowOpened(HWND window);
void FrontEndWindowClosing(HWND window);
// The flag that ends a modal loop's wait when the front end has input (FrontEndInputArrived), when the
// window is the active modal window; null otherwise.
std::atomic<bool>* FrontEndInputFor(HWND modalWindow);
void FrontEndInputReady();
