// Forced into the shared dialog tests on Windows: <windows.h> maps names such as MessageBox to their
// wide functions by macro, which would rename the tests' fixtures of the same name.
#pragma once

#include "platform.h"

#undef MessageBox
