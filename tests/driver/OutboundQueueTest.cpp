#include <gtest/gtest.h>

#include <string>

#include "cOutboundQueue.h"

namespace {

const std::string kFrame = "\n< frame 123 1.000000 11 >"; // 26 bytes

TEST(OutboundQueue, DropsFramesPastTheBoundAndTellsTheClientOnceItHasDrained)
{
    cOutboundQueue queue;
    size_t fitting = cOutboundQueue::kBoundBytes / kFrame.size();
    for (size_t i = 0; i < fitting + 5; ++i) {
        queue.PushFrame(kFrame);
    }
    EXPECT_EQ(queue.Dropped(), 5u);
    EXPECT_EQ(queue.Pending().size(), fitting * kFrame.size());

    queue.PushReply("< echo >");               // a reply is never dropped
    queue.Consume(queue.Pending().size() - 8); // all but the reply written
    const std::string notice = "\n< error 5 frames dropped: the client reads too slowly >";
    EXPECT_EQ(std::string(queue.Pending()), "< echo >" + notice);
    queue.PushFrame(kFrame);
    queue.PushFrame(kFrame);
    EXPECT_EQ(queue.Dropped(), 5u);
    EXPECT_EQ(std::string(queue.Pending()), "< echo >" + notice + kFrame + kFrame);
}

} // namespace
