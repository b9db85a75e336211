// The console's keyboard interface and its commands in the closed state.
#include <gtest/gtest.h>

#include "ConsoleDialogProc.h"
#include "DialogTestSupport.h"

namespace {

class ConsoleCommands : public testing::Test
{
protected:
    void SetUp() override
    {
        PrepareConsole();
        m_console = std::make_unique<ModalDialog>(ConsoleTemplateFromResource(), ConsoleDialogProc, 0,
                                                  L"CAN - Check");
        m_dialog = m_console->Window();
        ASSERT_NE(m_dialog, nullptr);
        ASSERT_TRUE(WaitForFocus(m_dialog, IDCANCEL));
    }

    std::unique_ptr<ModalDialog> m_console;
    HWND m_dialog = nullptr;
};

TEST_F(ConsoleCommands, TabInTheClosedStateReachesOnlyCancelBitRateListAndConnect)
{
    const int cycle[] = {1000, 1017, IDCANCEL, 1000};
    for (int id : cycle) {
        PostKey(m_dialog, VK_TAB);
        EXPECT_TRUE(WaitForFocus(m_dialog, id)) << "Tab should move to " << id;
    }
}

TEST_F(ConsoleCommands, PreviousControlInTheClosedStateIsConnectThenBitRateList)
{
    SendMessageW(m_dialog, WM_NEXTDLGCTL, 1, 0);
    EXPECT_TRUE(WaitForFocus(m_dialog, 1017));
    SendMessageW(m_dialog, WM_NEXTDLGCTL, 1, 0);
    EXPECT_TRUE(WaitForFocus(m_dialog, 1000));
}

TEST_F(ConsoleCommands, EscapeEndsTheConsoleWithZero)
{
    PostKey(m_dialog, VK_ESCAPE);
    EXPECT_EQ(m_console->Result(), 0);
    EXPECT_FALSE(IsWindow(m_dialog));
}

TEST_F(ConsoleCommands, CancelButtonEndsTheConsoleWithZero)
{
    SendDlgItemMessageW(m_dialog, IDCANCEL, BM_CLICK, 0, 0);
    EXPECT_EQ(m_console->Result(), 0);
}

TEST_F(ConsoleCommands, CommandIdOkDoesNothing)
{
    SendMessageW(m_dialog, WM_COMMAND, IDOK, 0);
    EXPECT_FALSE(m_console->Finished());
    EXPECT_TRUE(IsWindow(m_dialog));
}

// The edit's ES_NUMBER stays; the console's subclass lets hexadecimal digits in, as upper case.
TEST_F(ConsoleCommands, PayloadEditTakesTwoHexDigitsInUpperCaseAndRefusesOtherCharacters)
{
    HWND payload = GetDlgItem(m_dialog, 1010); // data byte 4, "AA" from InitConsole
    EnableWindow(payload, TRUE);
    SendMessageW(payload, EM_SETSEL, 0, -1);
    // 'g' and ' ' are refused, 'c' finds the edit full, Backspace makes room for 'e'.
    for (WCHAR typed : {L'g', L'7', L' ', L'b', L'c', WCHAR{VK_BACK}, L'e'}) {
        PostMessageW(payload, WM_CHAR, typed, 1);
    }
    WaitUntil([payload] { return WindowText(payload) == L"7E"; });
    EXPECT_EQ(WindowText(payload), L"7E");
    EXPECT_EQ(GetWindowLongW(payload, GWL_STYLE) & ES_NUMBER, ES_NUMBER);
}

TEST_F(ConsoleCommands, TextSetByTheProgramIsNotFiltered)
{
    HWND frameId = GetDlgItem(m_dialog, 1001);
    SetWindowTextW(frameId, L"1F");
    EXPECT_EQ(WindowText(frameId), L"1F");
}

} // namespace
