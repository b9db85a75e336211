// This platform's cross-thread sends: what a sender keeps of a dialog that ended, and on a machine with
// several cores, a sender found on the core of the thread that serves it moves to another core before it
// waits and keeps the cores it may run on.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sched.h>

#include <gtest/gtest.h>

#include "DialogTestSupport.h"
#include "TestTemplates.h"

namespace {

constexpr UINT kWhereIsThread = WM_APP + 1;

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

// The core a thread of this process last ran on, from /proc (field 39 of its stat line).
int LastCpuOf(DWORD thread)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2)); // from field 3, the state
    std::string field;
    for (int number = 3; number <= 39 && fields >> field; ++number) {
    }
    return std::stoi(field);
}

int OpenFileDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Sends to a control of a dialog on its own thread, then ends the dialog; gives the dialog's handle.
HWND SendToADialogThatEnds(const wchar_t* caption)
{
    TestDialog test;
    ModalDialog dialog(PlainTemplate(caption), TestDialogProc, reinterpret_cast<LPARAM>(&test), caption);
    SendMessageW(GetDlgItem(dialog.Window(), IDCANCEL), WM_GETTEXTLENGTH, 0, 0);
    EndDialog(dialog.Window(), 1);
    EXPECT_EQ(dialog.Result(), 1);
    return dialog.Window();
}

TEST(PlatformSends, ASenderKeepsNothingOfADialogThatEnded)
{
    // This thread's own queue and descriptors come with its first send; looking the first dialog up
    // once it is gone leaves nothing of it with this thread, whatever it remembered.
    EXPECT_FALSE(IsWindow(SendToADialogThatEnds(L"First")));
    int descriptors = OpenFileDescriptors();
    SendToADialogThatEnds(L"Second");
    EXPECT_EQ(OpenFileDescriptors(), descriptors) << "the ended dialog's thread queue is still held";
}

TEST(PlatformSends, SenderOnTheServingThreadsCoreMovesAwayAndKeepsItsCores)
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
    // Answers where the thread in wParam last ran: the sender, waiting for this answer.
    test.onAppMessage = [](HWND, UINT, WPARAM wParam, LPARAM) -> LRESULT {
        return LastCpuOf(static_cast<DWORD>(wParam));
    };
    ModalDialog dialog(PlainTemplate(L"Placement"), TestDialogProc, reinterpret_cast<LPARAM>(&test),
                       L"Placement");
    ASSERT_TRUE(Restrict(dialog.ThreadId(), OnlyCpu(shared)));

    int before = -1, whileWaiting = -1;
    cpu_set_t after;
    std::thread sender([&] {
        // On the shared core with the dialog's thread, then free to run anywhere again: the scheduler
        // leaves a running thread where it is.
        Restrict(0, OnlyCpu(shared));
        SendMessageW(dialog.Window(), kWhereIsThread, GetCurrentThreadId(), 0);
        Restrict(0, allowed);
        before = sched_getcpu();
        whileWaiting =
            static_cast<int>(SendMessageW(dialog.Window(), kWhereIsThread, GetCurrentThreadId(), 0));
        sched_getaffinity(0, sizeof(after), &after);
    });
    sender.join();
    if (before != shared) {
        GTEST_SKIP() << "the scheduler moved the sender before it sent";
    }
    EXPECT_NE(whileWaiting, shared);
    EXPECT_TRUE(CPU_EQUAL(&after, &allowed)) << "the sender may still run on every core it could before";
}

} // namespace
