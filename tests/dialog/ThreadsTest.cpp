// Messages between threads: sent messages run on the dialog's thread, which serves them whenever it waits.
#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "DialogTestSupport.h"
#include "TestTemplates.h"

namespace {

constexpr UINT kBusy = WM_APP;
constexpr UINT kEcho = WM_APP + 1;

TEST(DialogThreads, SentMessagesRunOnTheDialogsThread)
{
    TestDialog test;
    test.onAppMessage = [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return GetCurrentThreadId(); };
    ModalDialog dialog(PlainTemplate(L"Owner thread"), TestDialogProc, reinterpret_cast<LPARAM>(&test),
                       L"Owner thread");
    EXPECT_EQ(static_cast<DWORD>(SendMessageW(dialog.Window(), kEcho, 0, 0)), dialog.ThreadId());
    EXPECT_NE(dialog.ThreadId(), GetCurrentThreadId());
}

TEST(DialogThreads, EightThreadsSendingAtOnceWhileTheDialogIsBusyAllGetTheirAnswers)
{
    constexpr int kThreads = 8;
    constexpr int kMessagesEach = 25;
    std::atomic<int> inside{0}, mostInside{0}, handled{0};
    std::atomic<bool> busy{false};
    TestDialog test;
    test.onAppMessage = [&](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
        int now = ++inside;
        mostInside = std::max(mostInside.load(), now);
        LRESULT answer = 0;
        if (message == kBusy) {
            busy = true;
            Sleep(200);
        } else {
            ++handled;
            answer = static_cast<LRESULT>(wParam) * 2 + 1;
        }
        --inside;
        return answer;
    };
    ModalDialog dialog(PlainTemplate(L"Busy"), TestDialogProc, reinterpret_cast<LPARAM>(&test), L"Busy");
    HWND window = dialog.Window();
    PostMessageW(window, kBusy, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return busy.load(); }));
    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kMessagesEach; ++i) {
                WPARAM value = static_cast<WPARAM>(t * 1000 + i);
                if (SendMessageW(window, kEcho, value, 0) != static_cast<LRESULT>(value * 2 + 1)) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(handled.load(), kThreads * kMessagesEach);
    EXPECT_EQ(mostInside.load(), 1) << "the dialog procedure ran one message at a time";
}

TEST(DialogThreads, SendToADestroyedWindowReturnsZeroAtOnce)
{
    TestDialog test;
    test.onAppMessage = [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 5; };
    HWND gone = nullptr;
    {
        ModalDialog dialog(PlainTemplate(L"Gone"), TestDialogProc, reinterpret_cast<LPARAM>(&test), L"Gone");
        gone = dialog.Window();
        ASSERT_EQ(SendMessageW(gone, kEcho, 0, 0), 5);
        SendMessageW(gone, WM_COMMAND, IDCANCEL, 0);
        ASSERT_EQ(dialog.Result(), IDCANCEL);
    }
    EXPECT_FALSE(IsWindow(gone));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendMessageW(gone, kEcho, 0, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(DialogThreads, SendersStillWaitingWhenTheDialogEndsAreReleasedWithZero)
{
    constexpr int kWaiting = 3;
    std::atomic<int> started{0}, echoed{0};
    std::atomic<bool> busy{false};
    TestDialog test;
    test.onAppMessage = [&](HWND dialog, UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == kEcho) {
            ++echoed;
            return 1;
        }
        // Busy until the senders are queued, then the dialog ends.
        busy = true;
        WaitUntil([&] { return started.load() == kWaiting; });
        Sleep(100);
        EndDialog(dialog, 9);
        return 0;
    };
    ModalDialog dialog(PlainTemplate(L"Ending"), TestDialogProc, reinterpret_cast<LPARAM>(&test), L"Ending");
    HWND window = dialog.Window();
    PostMessageW(window, kBusy, 0, 0);
    // Sent messages run before posted ones, so the senders start only once the dialog is busy.
    ASSERT_TRUE(WaitUntil([&] { return busy.load(); }));
    std::atomic<int> released{0}, nonzero{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kWaiting; ++t) {
        senders.emplace_back([&] {
            ++started;
            if (SendMessageW(window, kEcho, 0, 0) != 0) {
                ++nonzero;
            }
            ++released;
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(dialog.Result(), 9);
    EXPECT_EQ(released.load(), kWaiting);
    EXPECT_EQ(nonzero.load(), 0);
    EXPECT_EQ(echoed.load(), 0);
}

// Dialog A's thread, blocked in a send to dialog B, serves the send that B's thread makes back to A.
TEST(DialogThreads, DialogThreadBlockedInASendToAnotherThreadServesThatThreadsSends)
{
    std::atomic<HWND> windowA{nullptr}, windowB{nullptr};
    TestDialog testA;
    testA.onAppMessage = [&](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == kBusy) {
            return SendMessageW(windowB.load(), kBusy, 0, 0) + 1;
        }
        return 100;
    };
    TestDialog testB;
    testB.onAppMessage = [&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        return SendMessageW(windowA.load(), kEcho, 0, 0) + 10;
    };
    ModalDialog dialogA(PlainTemplate(L"Dialog A"), TestDialogProc, reinterpret_cast<LPARAM>(&testA),
                        L"Dialog A");
    ModalDialog dialogB(PlainTemplate(L"Dialog B"), TestDialogProc, reinterpret_cast<LPARAM>(&testB),
                        L"Dialog B");
    windowA = dialogA.Window();
    windowB = dialogB.Window();
    DWORD_PTR answer = 0;
    ASSERT_NE(SendMessageTimeoutW(windowA.load(), kBusy, 0, 0, SMTO_NORMAL, 5000, &answer), 0) << "deadlock";
    EXPECT_EQ(answer, 111u);
}

TEST(DialogThreads, DialogThreadWaitingWithPeekMessageServesSendsAndKeepsPostedMessages)
{
    constexpr UINT kLater = WM_APP + 2;
    std::atomic<bool> released{false}, waiting{false};
    std::atomic<int> later{0};
    TestDialog test;
    test.onAppMessage = [&](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == kEcho) {
            released = true;
            return 5;
        }
        if (message == kLater) {
            ++later;
            return 0;
        }
        waiting = true;
        while (!released) {
            MSG peeked;
            PeekMessageW(&peeked, nullptr, 0, 0, PM_NOREMOVE);
            Sleep(1);
        }
        return 0;
    };
    ModalDialog dialog(PlainTemplate(L"Peeking"), TestDialogProc, reinterpret_cast<LPARAM>(&test),
                       L"Peeking");
    HWND window = dialog.Window();
    PostMessageW(window, kBusy, 0, 0);
    PostMessageW(window, kLater, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return waiting.load(); }));
    EXPECT_EQ(SendMessageW(window, kEcho, 0, 0), 5);
    EXPECT_TRUE(WaitUntil([&] { return later.load() == 1; })) << "PM_NOREMOVE leaves the posted message";
    SendMessageW(window, WM_NULL, 0, 0);
    EXPECT_EQ(later.load(), 1);
}

TEST(DialogThreads, SendMessageTimeoutGivesUpOnABusyDialog)
{
    std::atomic<bool> busy{false};
    TestDialog test;
    test.onAppMessage = [&](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == kBusy) {
            busy = true;
            Sleep(300);
        }
        return 1;
    };
    ModalDialog dialog(PlainTemplate(L"Slow"), TestDialogProc, reinterpret_cast<LPARAM>(&test), L"Slow");
    PostMessageW(dialog.Window(), kBusy, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return busy.load(); }));
    DWORD_PTR answer = 99;
    EXPECT_EQ(SendMessageTimeoutW(dialog.Window(), kEcho, 0, 0, SMTO_NORMAL, 50, &answer), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(answer, 99u);
}

// A message given up at its deadline may still be running; its answer, when it comes, must not be
// taken for the answer of the sender's next message.
TEST(DialogThreads, AMessageGivenUpWhileRunningDoesNotAnswerTheNextOne)
{
    std::atomic<bool> running{false}, release{false};
    TestDialog test;
    test.onAppMessage = [&](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == kBusy) {
            running = true;
            while (!release) {
                Sleep(1);
            }
            return 111;
        }
        Sleep(50); // long after the first message's answer
        return 5;
    };
    ModalDialog dialog(PlainTemplate(L"Given up"), TestDialogProc, reinterpret_cast<LPARAM>(&test),
                       L"Given up");
    DWORD_PTR answer = 0;
    ASSERT_EQ(SendMessageTimeoutW(dialog.Window(), kBusy, 0, 0, SMTO_NORMAL, 50, &answer), 0);
    ASSERT_TRUE(running.load());
    std::thread releaser([&] {
        Sleep(100);
        release = true;
    });
    EXPECT_EQ(SendMessageW(dialog.Window(), kEcho, 0, 0), 5);
    releaser.join();
}

TEST(DialogThreads, ControlsOfAnEndedDialogAreNeitherFoundNorServed)
{
    TestDialog test;
    HWND window = nullptr, cancel = nullptr;
    {
        ModalDialog dialog(PlainTemplate(L"Ended"), TestDialogProc, reinterpret_cast<LPARAM>(&test),
                           L"Ended");
        window = dialog.Window();
        cancel = GetDlgItem(window, IDCANCEL);
        ASSERT_NE(cancel, nullptr);
        ASSERT_EQ(SendMessageW(cancel, WM_GETTEXTLENGTH, 0, 0), 6); // "Cancel"
        EXPECT_TRUE(EndDialog(window, 3));
        ASSERT_EQ(dialog.Result(), 3);
    }
    EXPECT_EQ(GetDlgItem(window, IDCANCEL), nullptr);
    EXPECT_FALSE(IsWindow(cancel));
    EXPECT_EQ(SendMessageW(cancel, WM_GETTEXTLENGTH, 0, 0), 0);
}

TEST(DialogThreads, GetDlgItemFollowsAControlsNewId)
{
    constexpr int kNewId = 77;
    TestDialog test;
    ModalDialog dialog(PlainTemplate(L"Renumbered"), TestDialogProc, reinterpret_cast<LPARAM>(&test),
                       L"Renumbered");
    HWND cancel = GetDlgItem(dialog.Window(), IDCANCEL);
    ASSERT_NE(cancel, nullptr);
    SetWindowLongPtrW(cancel, GWLP_ID, kNewId);
    EXPECT_EQ(GetDlgItem(dialog.Window(), IDCANCEL), nullptr);
    EXPECT_EQ(GetDlgItem(dialog.Window(), kNewId), cancel);
}

// A sender that found the window just before the dialog ended must get 0, not wait for a thread that
// no longer serves anything.
TEST(DialogThreads, SendsRacingTheDialogsEndAllReturn)
{
    constexpr int kRounds = 30;
    constexpr int kSenders = 2;
    for (int round = 0; round < kRounds; ++round) {
        TestDialog test;
        test.onAppMessage = [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 1; };
        auto dialog = std::make_unique<ModalDialog>(PlainTemplate(L"Racing"), TestDialogProc,
                                                    reinterpret_cast<LPARAM>(&test), L"Racing");
        HWND window = dialog->Window();
        // Shared with the senders, which outlive this round if one of them hangs.
        auto finished = std::make_shared<std::atomic<int>>(0);
        std::vector<std::thread> senders;
        for (int t = 0; t < kSenders; ++t) {
            senders.emplace_back([window, finished] {
                while (SendMessageW(window, kEcho, 0, 0) != 0) {
                }
                ++*finished;
            });
        }
        Sleep(static_cast<DWORD>(round % 3));
        dialog.reset(); // ends the dialog while the senders send
        bool allReturned = WaitUntil([&] { return finished->load() == kSenders; });
        for (std::thread& sender : senders) {
            if (allReturned) {
                sender.join();
            } else {
                sender.detach();
            }
        }
        ASSERT_TRUE(allReturned) << "a sender still waits after the dialog ended, round " << round;
    }
}

TEST(DialogThreads, EndDialogFromAnotherThreadWakesTheLoop)
{
    TestDialog test;
    ModalDialog dialog(PlainTemplate(L"Woken"), TestDialogProc, reinterpret_cast<LPARAM>(&test), L"Woken");
    EXPECT_TRUE(EndDialog(dialog.Window(), 12));
    EXPECT_EQ(dialog.Result(), 12);
}

} // namespace
