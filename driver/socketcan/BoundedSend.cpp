#include "BoundedSend.h"

SendAttempt SendWithin(uint32_t limitMs, const SendSteps& steps)
{
    const uint64_t deadline = steps.nowMs() + limitMs;
    for (;;) {
        SendAttempt outcome = steps.attempt();
        if (outcome == SendAttempt::Sent || outcome == SendAttempt::Failed) {
            return outcome;
        }
        uint64_t now = steps.nowMs();
        if (now >= deadline) {
            return outcome;
        }
        steps.wait(outcome, static_cast<uint32_t>(deadline - now));
    }
}
