#include "DebugOutputLine.h"

#include <windows.h>

void WriteDebugLine(const std::string& text)
{
    OutputDebugStringW(DebugLineText(text).c_str());
}
