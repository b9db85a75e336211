// The console fuzz targets' one headless console per fuzzing process, running beside the fake driver
// and connected.
#pragma once

#include "ConsoleHarness.h"
#include "FuzzCheck.h"

// Starts the whole program on a thread of its own and connects it through the fake driver. The
// program runs until the fuzzing process ends; only the fuzzing thread drives it.
ConsoleProgram& ConnectedConsole();
