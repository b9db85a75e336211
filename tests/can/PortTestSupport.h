#pragma once

#include <chrono>
#include <functional>

#include "cCanPort.h"

// Runs work on a second thread and reports whether it finished within the timeout. A port operation
// that finishes there proves the port's lock was free (it is recursive for its own holder).
bool FinishesOnAnotherThread(std::function<void()> work,
                             std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A page that can be neither read nor written, for faults on purpose.
const uint8_t* UnreadablePage();
