// The fault guard on Windows: the same cases as the Linux test, raised the Windows way (a page without
// access instead of mmap PROT_NONE). An in-page error (EXCEPTION_IN_PAGE_ERROR) needs a failing
// device under a mapped file and is not raised here; it is caught by the same code path.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "platform.h"

namespace {

void WriteToAnInaccessiblePage()
{
    static void* const page = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    *static_cast<volatile int*>(page) = 1;
}

void ExecuteAnIllegalInstruction()
{
    asm volatile("ud2");
}

void DivideByZero()
{
    // In assembly, so that the compiler cannot see the division by zero and drop it.
    unsigned int dividend = 1, divisor = 0;
    asm volatile("xor %%edx, %%edx\n\tdivl %1" : "+a"(dividend) : "r"(divisor) : "edx");
}

struct FaultCase
{
    const char* name;
    void (*raise)();
};

const FaultCase kFaults[] = {
    {"AccessViolation", WriteToAnInaccessiblePage},
    {"IllegalInstruction", ExecuteAnIllegalInstruction},
    {"IntegerDivideByZero", DivideByZero},
};

class FaultGuard : public testing::TestWithParam<FaultCase>
{
};

TEST_P(FaultGuard, CatchesTheFaultAndTheThreadGoesOn)
{
    EXPECT_FALSE(RunGuarded([] { GetParam().raise(); }));
    EXPECT_FALSE(RunGuarded([] { GetParam().raise(); })); // the landing point was reset
    int completed = 0;
    EXPECT_TRUE(RunGuarded([&] { completed = 1; }));
    EXPECT_EQ(completed, 1);
}

TEST_P(FaultGuard, CatchesTheFaultOnAnotherThread)
{
    bool result = true;
    auto raise = GetParam().raise;
    std::thread([&] { result = RunGuarded([&] { raise(); }); }).join();
    EXPECT_FALSE(result);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultGuard, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(FaultGuardNesting, InnerFaultLandsInTheInnerBlockOnly)
{
    bool inner = true;
    bool afterInner = false;
    bool outer = RunGuarded([&] {
        inner = RunGuarded([] { WriteToAnInaccessiblePage(); });
        afterInner = true;
    });
    EXPECT_FALSE(inner);
    EXPECT_TRUE(afterInner);
    EXPECT_TRUE(outer);

    bool outerAfterInnerReturned = RunGuarded([&] {
        RunGuarded([] {});
        WriteToAnInaccessiblePage();
    });
    EXPECT_FALSE(outerAfterInnerReturned);
}

// g++ raises C++ exceptions as SEH exceptions of its own code: the guard must let them unwind.
TEST(FaultGuardExceptions, CppExceptionsPassThroughTheHandler)
{
    bool caught = false;
    RunGuarded([&] {
        try {
            throw std::runtime_error("through");
        } catch (const std::runtime_error&) {
            caught = true;
        }
    });
    EXPECT_TRUE(caught);
}

TEST(FaultGuardDeathTest, FaultOutsideAGuardedBlockIsNotCaught)
{
    RunGuarded([] {}); // the handler is installed by now
    EXPECT_DEATH(WriteToAnInaccessiblePage(), "");
}

} // namespace
