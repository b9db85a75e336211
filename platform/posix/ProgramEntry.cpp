// The process entry of a Win32-style program on this platform: what the C runtime does on Windows
// before it calls wWinMain, and the terminal front end that shows the program's dialogs.
#include <cstdio>
#include <string>

#include "TextConversion.h"
#include "platform.h"
#include "terminal/TerminalFrontEnd.h"
#include "terminal/TerminationSignals.h"

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

std::string ProgramName(const char* path)
{
    std::string name = path != nullptr ? path : "program";
    size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// A Win32 program's command line is its own; this entry answers only the question every terminal user
// asks first, so that it does not start the program to find out.
bool AsksForHelp(int argc, char** argv)
{
    return argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h");
}

void PrintUsage(const std::string& name)
{
    std::printf(
        "usage: %s [-h|--help]\n"
        "  Shows the program's window in this terminal (at least 80x24) and takes nothing from its\n"
        "  command line. Tab/Shift+Tab move, Space/Enter press, Up/Down choose and scroll, Esc ends;\n"
        "  the bottom line shows the latest debug-output line.\n",
        name.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    if (AsksForHelp(argc, argv)) {
        PrintUsage(ProgramName(argv[0]));
        return 0;
    }
    TerminalFrontEnd terminal;
    // Without a terminal the dialog could neither be shown nor answered: say so instead of waiting.
    std::string problem = terminal.Start();
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: %s\n", ProgramName(argc > 0 ? argv[0] : nullptr).c_str(), problem.c_str());
        return 1;
    }
    std::wstring commandLine = CommandLineOf(argc, argv);
    int result = wWinMain(GetModuleHandleW(nullptr), nullptr, commandLine.data(), SW_SHOWNORMAL);
    terminal.Stop();
    // Ended by SIGINT, SIGTERM or SIGHUP: the code a shell gives a program killed by it, 128 + its
    // number, whatever the program answered.
    int endingSignal = TerminationSignal();
    return endingSignal != 0 ? 128 + endingSignal : result;
}
