#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform.h"

namespace {

DWORD WINAPI ReturnParameter(LPVOID parameter)
{
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter));
}

DWORD WINAPI ExitWithSeven(LPVOID)
{
    ExitThread(7);
}

DWORD WINAPI WaitForRelease(LPVOID parameter)
{
    auto* release = static_cast<std::atomic<bool>*>(parameter);
    while (!release->load()) {
        Sleep(1);
    }
    return 3;
}

} // namespace

TEST(Threads, ExitCodeIsTheReturnedValue)
{
    HANDLE thread =
        CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(uintptr_t(42)), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, ExitThreadEndsTheThreadWithItsCode)
{
    HANDLE thread = CreateThread(nullptr, 0, ExitWithSeven, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);
}

TEST(Threads, RunningThreadIsStillActiveAndWaitTimesOut)
{
    std::atomic<bool> release{false};
    HANDLE thread = CreateThread(nullptr, 0, WaitForRelease, &release, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, STILL_ACTIVE);
    release = true;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 3u);
    CloseHandle(thread);
}

namespace {

// The thread outlives its handle, so what it touches must outlive the test.
std::atomic<bool> releaseUnowned{false};
std::atomic<bool> unownedEnded{false};

DWORD WINAPI EndWhenReleased(LPVOID)
{
    WaitForRelease(&releaseUnowned);
    unownedEnded = true;
    return 0;
}

} // namespace

TEST(Threads, HandleClosedBeforeTheThreadEndsIsHarmless)
{
    HANDLE thread = CreateThread(nullptr, 0, EndWhenReleased, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    releaseUnowned = true; // the thread ends with its own reference; nothing is left behind (see ASan runs)
    for (int waited = 0; !unownedEnded && waited < 5000; ++waited) {
        Sleep(1);
    }
    EXPECT_TRUE(unownedEnded);
}

TEST(CriticalSection, IsRecursiveForItsOwnerAndExcludesOthers)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = TryEnterCriticalSection(&section); }).join();
    EXPECT_FALSE(otherGotIt);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    std::thread([&] {
        otherGotIt = TryEnterCriticalSection(&section);
        if (otherGotIt) {
            LeaveCriticalSection(&section);
        }
    }).join();
    EXPECT_TRUE(otherGotIt);
    DeleteCriticalSection(&section);
}

TEST(TickCount, CountsMilliseconds)
{
    DWORD before = GetTickCount();
    Sleep(100);
    DWORD elapsed = GetTickCount() - before;
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 1000u);
}
