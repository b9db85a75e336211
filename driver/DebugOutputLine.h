// The driver's word to the operator: why it refused to open a device or to set its rate, or why a device
// stopped working, as a line of the process's debug output ("rvcan32ce: ...\r\n"). A program that shows
// only a box with its own text ("cannot open CAN port.") thus still lets the operator see the reason:
// on Windows with a debug-output viewer, on Linux on the terminal front end's status line. Where the
// process has no debug output (the bus tools, python), nothing is written: they report the reason
// themselves through RvCanGetLastError.
#pragma once

#include <string>

void WriteDebugLine(const std::string& text);
