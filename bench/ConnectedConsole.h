// The benchmarks' console: the whole program, headless, connected to CAN1 of a bus of its own.
#pragma once

#include "ConsoleHarness.h"

constexpr int kConnectButton = 1017;

// Gives the process a private set of untimed buses (RVCAN32CE_BUS_TIMING=none; peers it starts
// afterwards inherit both) and presses Connect; false, with the reason on standard error, when the
// console cannot connect.
bool ConnectOnBusOfItsOwn(ConsoleProgram& console, const char* benchName);
