// This platform's stand-in for a resource section: linked into the program, it registers the console's
// template before main runs, as the loader makes a Windows program's resources available before
// WinMain. The registry it fills is created on first use, so the order of static initialisation does
// not matter.
#include "ConsoleResources.h"

namespace {

[[maybe_unused]] const bool kConsoleResourcesRegistered = (RegisterConsoleResources(), true);

} // namespace
