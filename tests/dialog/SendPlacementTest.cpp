// This platform's cross-thread sends on a machine with several cores: a sender found on the core of the
// thread that serves it moves to another core, and keeps the cores it may run on.
#include <sched.h>

#include <gtest/gtest.h>

#include "DialogTestSupport.h"
#include "TestTemplates.h"

namespace {

constexpr UINT kEcho = WM_APP + 1;

bool Restrict(DWORD thread, const cpu_set_t& cpus)
{
    return sched_setaffinity(static_cast<pid_t>(thread), sizeof(cpus), &cpus) == 0;
}

cpu_set_t OnlyCpu(int cpu)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return one;
}

TEST(SendPlacement, SenderOnTheServingThreadsCoreMovesAwayAndKeepsItsCores)
{
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    if (CPU_COUNT(&allowed) < 2) {
        GTEST_SKIP() << "needs two cores";
    }
    int shared = 0;
    while (!CPU_ISSET(shared, &allowed)) {
        ++shared;
    }
    TestDialog test;
    test.onAppMessage = [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return sched_getcpu() + 1; };
    ModalDialog dialog(PlainTemplate(L"Placement"), TestDialogProc, reinterpret_cast<LPARAM>(&test),
                       L"Placement");
    ASSERT_TRUE(Restrict(dialog.ThreadId(), OnlyCpu(shared)));

    int movedFrom = -1, landedOn = -1;
    cpu_set_t after;
    std::thread sender([&] {
        // On the shared core with the dialog's thread, then free to run anywhere again: the scheduler
        // leaves a running thread where it is.
        Restrict(0, OnlyCpu(shared));
        ASSERT_EQ(SendMessageW(dialog.Window(), kEcho, 0, 0), shared + 1);
        Restrict(0, allowed);
        movedFrom = sched_getcpu();
        ASSERT_EQ(SendMessageW(dialog.Window(), kEcho, 0, 0), shared + 1);
        landedOn = sched_getcpu();
        sched_getaffinity(0, sizeof(after), &after);
    });
    sender.join();
    if (movedFrom != shared) {
        GTEST_SKIP() << "the scheduler moved the sender before it sent";
    }
    EXPECT_NE(landedOn, shared);
    EXPECT_TRUE(CPU_EQUAL(&after, &allowed)) << "the sender may still run on every core it could before";
}

} // namespace
