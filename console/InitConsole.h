// Puts the console's controls into their first state (the closed state) when the dialog initialises.
#pragma once

#include "platform.h"

void InitConsole(HWND hDlg);
