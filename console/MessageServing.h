// Waiting on the dialog's thread without blocking the threads that send it messages.
#pragma once

#include <functional>

#include "platform.h"

// Serves the messages other threads send to this thread's windows until done() holds.
void ServeSentMessagesUntil(const std::function<bool()>& done);
