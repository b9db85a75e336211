// Each test program gets buses of its own, so that tests running at the same time never meet on a bus.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <unistd.h>

int main(int argc, char** argv)
{
    std::string name = "console-test-" + std::to_string(getpid());
    setenv("RVCAN32CE_NAMESPACE", name.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
