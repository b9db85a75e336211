// The process entry of a Win32-style program on this platform: what the C runtime does on Windows
// before it calls wWinMain.
#include <string>

#include "TextConversion.h"
#include "platform.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);

namespace {

// Everything after the program's name, as Windows hands it over.
std::wstring CommandLineOf(int argc, char** argv)
{
    std::string line;
    for (int i = 1; i < argc; ++i) {
        line += (i > 1 ? " " : "") + std::string(argv[i]);
    }
    return WideFromNarrow(line);
}

} // namespace

int main(int argc, char** argv)
{
    std::wstring commandLine = CommandLineOf(argc, argv);
    return wWinMain(GetModuleHandleW(nullptr), nullptr, commandLine.data(), SW_SHOWNORMAL);
}
