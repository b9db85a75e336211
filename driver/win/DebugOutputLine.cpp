#include "DebugOutputLine.h"

#include <windows.h>

void WriteDebugLine(const std::string& text)
{
    std::string line = "rvcan32ce: " + text + "\r\n";
    OutputDebugStringW(std::wstring(line.begin(), line.end()).c_str());
}
