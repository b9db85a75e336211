#include <gtest/gtest.h>

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
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
