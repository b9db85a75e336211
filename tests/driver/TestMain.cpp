#include <gtest/gtest.h>

#include <thread>

#include <unistd.h>

#include "DriverTestSupport.h"

namespace {

// A run that takes longer has hung: the default SIGALRM action ends it, and the test fails.
constexpr unsigned kWholeRunSeconds = 300;

} // namespace

int main(int argc, char** argv)
{
    UsePrivateBuses();
    alarm(kWholeRunSeconds);
    // Runtimes that start a helper thread of their own with the first thread (ThreadSanitizer's, for
    // one) do it now, so the tests that count this process's threads see it in their baseline.
    std::thread([] {}).join();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
