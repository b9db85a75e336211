// The driver's word to the operator: why it refused to open a device or to set its rate, or why a device
// stopped working, as a line of the process's debug output ("rvcan32ce: ...\r\n"). A program that shows
// only a box with its own text ("cannot open CAN port.") thus still lets the operator see the reason:
// on Windows with a debug-output viewer, on Linux on the terminal front end's status line. Where the
// process has no debug output (the bus tools, python), nothing is written: they report the reason
// themselves through RvCanGetLastError.
#pragma once

#include <string>

void WriteDebugLine(const std::string& text);

// The whole line as OutputDebugStringW takes it. The driver's own texts are ASCII, but a path or value
// it quotes may hold any byte: each non-ASCII byte becomes '?', never a wide character of its own
// (a signed char would widen to an invalid one).
inline std::wstring DebugLineText(const std::string& text)
{
    std::wstring line = L"rvcan32ce: ";
    for (unsigned char c : text) {
        line.push_back(c < 0x80 ? static_cast<wchar_t>(c) : L'?');
    }
    return line + L"\r\n";
}
