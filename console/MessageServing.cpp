#include "MessageServing.h"

void ServeSentMessagesUntil(const std::function<bool()>& done)
{
    while (!done()) {
        MSG message;
        // PeekMessage delivers the messages sent to this thread's windows before it looks at the queue.
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
        Sleep(1);
    }
}
