#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>

#include <sys/mman.h>
#include <unistd.h>

#include "platform.h"

namespace {

void WriteToAnInaccessiblePage()
{
    static void* const page =
        mmap(nullptr, static_cast<size_t>(getpagesize()), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
}

// Reading a mapping past the end of its file raises a bus error.
void ReadPastTheEndOfAMappedFile()
{
    static volatile const char* const mapping = [] {
        FILE* file = tmpfile();
        void* address =
            mmap(nullptr, static_cast<size_t>(getpagesize()), PROT_READ, MAP_SHARED, fileno(file), 0);
        return static_cast<const char*>(address);
    }();
    (void)mapping[0];
}

void ExecuteAnIllegalInstruction()
{
    __builtin_trap();
}

void DivideByZero()
{
#if defined(__x86_64__)
    // In assembly, so that no sanitizer turns the division into a report of its own.
    unsigned int dividend = 1, divisor = 0;
    asm volatile("xor %%edx, %%edx\n\tdivl %1" : "+a"(dividend) : "r"(divisor) : "edx");
#else
    raise(SIGFPE);
#endif
}

struct FaultCase
{
    const char* name;
    void (*raise)();
};

const FaultCase kFaults[] = {
    {"AccessViolation", WriteToAnInaccessiblePage},
    {"BusError", ReadPastTheEndOfAMappedFile},
    {"IllegalInstruction", ExecuteAnIllegalInstruction},
    {"ArithmeticFault", DivideByZero},
};

class FaultGuard : public testing::TestWithParam<FaultCase>
{
};

TEST_P(FaultGuard, CatchesTheFaultAndTheThreadGoesOn)
{
    EXPECT_FALSE(RunGuarded([] { GetParam().raise(); }));
    EXPECT_FALSE(RunGuarded([] { GetParam().raise(); })); // the signal was not left blocked
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

TEST(FaultGuardDeathTest, FaultOutsideAGuardedBlockIsNotCaught)
{
    RunGuarded([] {}); // the handlers are installed by now
    EXPECT_DEATH(WriteToAnInaccessiblePage(), "");
}

} // namespace
