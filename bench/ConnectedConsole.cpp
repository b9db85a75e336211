#include "ConnectedConsole.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

bool ConnectOnBusOfItsOwn(ConsoleProgram& console, const char* benchName)
{
    std::string bus = std::string(benchName) + "-" + std::to_string(getpid());
    setenv("RVCAN32CE_NAMESPACE", bus.c_str(), 1);
    setenv("RVCAN32CE_BUS_TIMING", "none", 1); // peers offer more than a wire carries, on purpose
    console.Press(kConnectButton);
    if (console.Text(kConnectButton) != L"Close") {
        fprintf(stderr, "%s: the console cannot connect (is librvcan32ce.so beside the program?)\n",
                benchName);
        return false;
    }
    return true;
}
