#include "FuzzConsole.h"

#include "ConsoleIds.h"
#include "FakeDriverControl.h"

ConsoleProgram& ConnectedConsole()
{
    // Never destroyed: libFuzzer ends the process with exit(), while the program's thread may still be
    // in its modal loop; the pointer keeps it reachable for the leak checker.
    static ConsoleProgram* const console = [] {
        SilenceDebugOutput();
        FakeDriver::Reset();
        auto* program = new ConsoleProgram;
        program->Press(kConnect);
        if (program->Text(kConnect) != L"Close" || program->RowCount() != 50) {
            FailFuzzCheck("the console did not connect through the fake driver");
        }
        return program;
    }();
    return *console;
}
