#include "DebugOutputLine.h"

#include <dlfcn.h>

namespace {

using OutputDebugStringFn = void (*)(const wchar_t*);

// The Win32 layer of a program on this platform exports OutputDebugStringW as kernel32 does on Windows;
// the library looks it up at run time, since a program without it (a bus tool, python) must still load
// the library.
OutputDebugStringFn ProgramDebugOutput()
{
    static const OutputDebugStringFn found =
        reinterpret_cast<OutputDebugStringFn>(dlsym(RTLD_DEFAULT, "OutputDebugStringW"));
    return found;
}

} // namespace

void WriteDebugLine(const std::string& text)
{
    OutputDebugStringFn output = ProgramDebugOutput();
    if (output == nullptr) {
        return;
    }
    output(DebugLineText(text).c_str());
}
