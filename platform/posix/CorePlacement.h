// Keeping a sending thread off the core of the thread it sends to (MessageQueue.h), so that two threads
// passing messages back and forth run side by side. Inside the windowing layer only.
#pragma once

#include "MessageQueue.h"

// Moves the calling thread to another core when the target thread last served a message on this one;
// notes the core it sends from on the target. True when it still shares that core: with only one core
// to run on, or moved less than a millisecond ago.
bool MoveAwayFromServingThread(ThreadQueue& target);
